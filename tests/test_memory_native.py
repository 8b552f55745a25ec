"""Page geometry and the page store, reached through the native entries.

The published functions and the method table of CyMemory are called through
ctypes with the Python calling convention (the interpreter lock stays held and
a pending exception is raised), the same way another extension module uses them.
"""

import ctypes

import pytest

from qorvel_pvm.cpvm import vm_memory
from qorvel_pvm.cpvm.vm_memory import CyMemory

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]

u32, i32, u8, vp, obj = ctypes.c_uint32, ctypes.c_int32, ctypes.c_uint8, ctypes.c_void_p, ctypes.py_object


def _pointer(capsule):
    return _capsule_pointer(capsule, _capsule_name(capsule))


def api(name, restype, *argtypes):
    capsule = vm_memory.__native_api__[name]
    return ctypes.PYFUNCTYPE(restype, *argtypes)(_pointer(capsule))


# Method-table slots: (index, result, argument types after self).
_SLOTS = {
    "_get_cpage": (0, vp, u32, ctypes.c_int),
    "_clear_bitsets": (1, None),
    "_sync_bitsets_from_sets": (2, ctypes.c_int, ctypes.c_int),
    "_set_byte_c": (3, None, u32, u8),
    "_get_byte_c": (4, u8, u32),
    "_has_access_c": (5, ctypes.c_int, u32, ctypes.c_int),
    "_set_access_c": (6, None, u32, ctypes.c_int, ctypes.c_int),
    "_set_access_range_c": (7, None, u32, u32, ctypes.c_int, ctypes.c_int),
    "_check_access_c": (8, ctypes.c_int, u32, u32, ctypes.c_int, u32),
    "_alter_accessibility_c": (9, None, u32, u32, u8),
    "_zero_memory_range_c": (10, None, u32, u32),
    "_is_accessible_c": (11, ctypes.c_int, u32, u32, ctypes.c_int),
    "_set_byte": (12, obj, u32, u8, ctypes.c_int),
    "_get_byte": (13, ctypes.c_int, u32, ctypes.c_int),
    "read": (14, obj, u32, i32, ctypes.c_int),
    "write": (15, ctypes.c_int, u32, obj, ctypes.c_int),
}
_table = ctypes.cast(_pointer(CyMemory.__dict__["__native_vtable__"]), ctypes.POINTER(vp))


def vcall(mem, slot, *args):
    """Calls a method-table operation of `mem` as another module would."""
    index, restype, *argtypes = _SLOTS[slot]
    fn = ctypes.PYFUNCTYPE(restype, vp, *argtypes)(_table[index])
    return fn(id(mem), *args)


def page_range(addr, length):
    start, count = u32(), u32()
    api("_get_page_range", None, u32, u32, ctypes.POINTER(u32), ctypes.POINTER(u32))(
        addr, length, ctypes.byref(start), ctypes.byref(count))
    return start.value, count.value


def test_published_signatures():
    names = {k: _capsule_name(v).decode() for k, v in vm_memory.__native_api__.items()}
    assert names == {
        "_get_start_page": "uint32_t (uint32_t)",
        "_get_page_offset": "uint32_t (uint32_t)",
        "_norm": "uint32_t (uint32_t)",
        "_get_page_range": "void (uint32_t, uint32_t, uint32_t *, uint32_t *)",
        "_direct_load": "int (CyMemory *, uint32_t, uint32_t, uint64_t *, uint32_t *)",
        "_direct_store": "int (CyMemory *, uint32_t, uint32_t, uint64_t, uint32_t *)",
        "_page_map": "PageMap *(CyMemory *)",
    }
    assert _capsule_name(CyMemory.__dict__["__native_vtable__"]) == b"CyMemory_vtable"


@pytest.mark.parametrize("addr, page, offset", [(0, 0, 0), (0x1FFF, 1, 0xFFF), (0xFFFFFFFF, 0xFFFFF, 0xFFF)])
def test_page_and_offset(addr, page, offset):
    assert api("_get_start_page", u32, u32)(addr) == page
    assert api("_get_page_offset", u32, u32)(addr) == offset
    assert api("_norm", u32, u32)(addr) == addr


@pytest.mark.parametrize("addr, length, expected", [
    (0x0FFF, 2, (0, 2)),
    (0x1000, 4096, (1, 1)),
    (0x1000, 0, (1, 0)),
    (0x1001, 0, (1, 1)),
    (0, 0, (0, 1 << 20)),
    (0xFFFFF000, 0x1000, (0xFFFFF, 1)),
    (0xFFFFF000, 0x2000, (0xFFFFF, 0xFFF00002)),  # runs past the top: the count wraps
])
def test_page_range(addr, length, expected):
    assert page_range(addr, length) == expected


def test_get_cpage_creates_once():
    mem = CyMemory()
    assert vcall(mem, "_get_cpage", 7, 0) is None
    assert mem._pages == {}
    buf = vcall(mem, "_get_cpage", 7, 1)
    assert mem._pages == {7: buf}
    assert ctypes.string_at(buf, 4096) == bytes(4096)
    assert vcall(mem, "_get_cpage", 7, 1) == buf == vcall(mem, "_get_cpage", 7, 0)


def test_get_cpage_without_store():
    mem = CyMemory.__new__(CyMemory)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
        vcall(mem, "_get_cpage", 0, 1)


@pytest.mark.parametrize("start, count, created", [
    (5, 2, {5, 6}),
    (5, 0, set()),
    (-1, 2, set()),                      # start 0xFFFFFFFF: the end wraps to 1
    (0xFFFFE, 100, {0xFFFFE, 0xFFFFF}),  # clamped to the address space
    (0x100000, 3, set()),
])
def test_zero_memory_range(start, count, created):
    mem = CyMemory()
    mem.zero_memory_range(start, count)
    assert set(mem._pages) == created


def test_zero_memory_range_clears_existing_page():
    mem = CyMemory({0x5010: 9})
    mem.zero_memory_range(5, 1)
    assert mem._get_byte(0x5010) == 0


def test_zero_memory_range_huge_count_is_bounded():
    mem = CyMemory()
    vcall(mem, "_zero_memory_range_c", 0xFFF00, 0xFFFFFFFF - 0xFFF00)  # would reach past 2**20 pages
    assert set(mem._pages) == set(range(0xFFF00, 0x100000))


def test_plain_instance_runs_builtin_with_either_flag():
    mem = CyMemory({0x1000: 5}, allowed_write_pages=[1])
    for flag in (0, 1):
        assert vcall(mem, "_get_byte", 0x1000, flag) == 5
        assert vcall(mem, "read", 0x1000, 2, flag) == b"\x05\x00"
    vcall(mem, "_set_byte", 0x1001, 6, 0)
    assert vcall(mem, "write", 0x1002, b"\x07", 0) == 0
    assert mem.read(0x1000, 4) == b"\x05\x06\x07\x00"


def test_module_initialises_once(monkeypatch):
    import importlib
    import sys
    monkeypatch.delitem(sys.modules, "qorvel_pvm.cpvm.vm_memory")
    with pytest.raises(RuntimeError, match="Module 'vm_memory' has already been imported. "
                                           "Re-initialisation is not supported."):
        importlib.import_module("qorvel_pvm.cpvm.vm_memory")
    assert vm_memory.__test__ == {}
    assert vm_memory.CommonAccessibility.READ.value == 0
