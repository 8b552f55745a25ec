"""Construction, the standard program layout and the Python-visible attributes."""

import pytest

from qorvel_pvm.cpvm.vm_memory import CommonAccessibility as Acc
from qorvel_pvm.cpvm.vm_memory import CyMemory

WRITE = Acc.WRITE


def readable(mem, page):
    return mem.is_accessible(page * 4096, 1)


def writable(mem, page):
    return mem.is_accessible(page * 4096, 1, WRITE)


def test_new_and_default_construction():
    raw = CyMemory.__new__(CyMemory)
    assert (raw._pages, raw._r_pages, raw._w_pages, raw.heap_break) == (None, None, None, 0)
    mem = CyMemory()
    assert (mem._pages, mem._r_pages, mem._w_pages, mem.heap_break) == ({}, set(), set(), 0)
    assert not mem.is_accessible(0, 1)


def test_construction_from_byte_map():
    mem = CyMemory({0x10000: 1, 0x10001: 2}, [16], [], 5)
    assert mem._get_byte(0x10000) == 1 and mem._get_byte(0x10001) == 2
    assert set(mem._pages) == {16}
    assert readable(mem, 16) and not writable(mem, 16)
    assert mem.heap_break == 5


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(data={5: 300}), OverflowError, "value too large to convert to uint8_t"),
    (dict(data={-1: 3}), OverflowError, "can't convert negative value to uint32_t"),
    (dict(data={"a": 3}), TypeError, "an integer is required"),
    (dict(allowed_read_pages=(1, 2)), TypeError,
     r"Argument 'allowed_read_pages' has incorrect type \(expected list, got tuple\)"),
    (dict(allowed_write_pages={1}), TypeError, "Argument 'allowed_write_pages'"),
    (dict(data=[]), TypeError, r"Argument 'data' has incorrect type \(expected dict, got list\)"),
    (dict(heap=1 << 31), OverflowError, "value too large to convert to int"),
    (dict(heap=1, bogus=2), TypeError, "bogus"),
])
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error, match=message):
        CyMemory(**kwargs)


def test_byte_map_error_keeps_earlier_bytes():
    mem = CyMemory()
    with pytest.raises(OverflowError):
        mem.__init__({0x100: 1, 0x200: 999, 0x300: 3})
    assert mem._get_byte(0x100) == 1 and mem._get_byte(0x300) == 0


def test_byte_map_changing_size_is_refused():
    class Value:
        def __index__(self):
            data[0x9999] = 0
            return 1
    data = {1: Value()}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        CyMemory(data)


def test_reinitialisation_starts_over():
    mem = CyMemory({0x3000: 1}, [3], [4], 7)
    mem.alter_accessibility(0x9000, 1, WRITE)
    mem.__init__(allowed_read_pages=[5])
    assert (mem._pages, mem._r_pages, mem._w_pages, mem.heap_break) == ({}, {5}, set(), 0)
    assert readable(mem, 5) and not readable(mem, 3) and not readable(mem, 9)


def test_from_pc_read_only_image():
    mem = CyMemory.from_pc(b"\x01\x02", b"", b"", 0, 0)
    assert type(mem) is CyMemory
    assert mem.read(0x10000, 3) == b"\x01\x02\x00"
    assert mem._r_pages == {16} and mem._w_pages == set()
    assert not writable(mem, 16) and mem.heap_break == 0


def test_from_pc_full_layout():
    mem = CyMemory.from_pc(b"r" * 5000, b"\xAA", b"argv", 1, 4096, heap=9)
    write_start = 0x20000 + 0x10000                   # read data rounded up to a whole zone
    assert mem._r_pages == {16, 17, 0xFEFF0}
    assert mem._w_pages == {write_start >> 12, (write_start >> 12) + 1, 0xFEFDF}
    assert mem.heap_break == write_start + 0x2000
    assert mem.read(0x10000, 5001) == b"r" * 5000 + b"\x00"
    assert mem._get_byte(write_start) == 0xAA
    assert mem.read(0xFEFF0000, 4) == b"argv"
    assert writable(mem, 0xFEFDF) and not readable(mem, 0xFEFE0) and not writable(mem, 0xFEFF0)
    assert set(mem._pages) == {16, 17, write_start >> 12, 0xFEFF0}


def test_from_pc_write_region_and_heap():
    mem = CyMemory.from_pc(b"", b"\xAA", b"", 1, 4096)
    assert mem._get_byte(0x20000) == 0xAA
    assert writable(mem, 32) and writable(mem, 33) and not writable(mem, 34)
    assert mem.heap_break == 0x22000 and writable(mem, 0xFEFDF)


class Layout(CyMemory):
    def __init__(self, *args, **kwargs):
        self.log = [kwargs]
        super().__init__(*args, **kwargs)

    def _set_byte(self, addr, value):
        self.log.append((addr, value))
        return super()._set_byte(addr, value)


def test_from_pc_on_subclass_goes_through_python_methods():
    mem = Layout.from_pc(b"\x05", b"", b"\x06", 0, 0, 3)
    assert type(mem) is Layout
    assert mem.log == [dict(data={}, allowed_read_pages=[], allowed_write_pages=[], heap=3),
                       (0x10000, 5), (0xFEFF0000, 6)]
    assert mem.heap_break == 3 and readable(mem, 16)


@pytest.mark.parametrize("args, error, message", [
    ((None, b"", b"", 0, 0), TypeError, "not iterable"),
    ((bytearray(), b"", b"", 0, 0), TypeError, r"Argument 'read' has incorrect type \(expected bytes, got bytearray\)"),
    ((b"", b"", "x", 0, 0), TypeError, "Argument 'args'"),
    ((b"", b"", b"", 0, 0, 1 << 31), OverflowError, "value too large to convert to int"),
    ((b"", b"", b"", 0, 0, -1), OverflowError, "can't convert negative value to uint32_t"),
    ((b"", b"", b"", 0, -0x1000), OverflowError, "can't convert negative value to uint32_t"),
    ((b"", b"", b""), TypeError, "missing required argument 'z'"),
    # z * 4096 would wrap in 32 bits, or the heap break pass 2**31 - 1.
    ((b"", b"", b"", 1 << 20, 0), ValueError, "would put the heap break at 0x100020000"),
    ((b"", b"", b"", 0x7FFE0, 0), ValueError, "heap break at 0x80000000, past 0x7fffffff"),
    ((b"", b"w", b"", 0x7FFDF, 0), ValueError, "1 bytes of read-write data and 524255 extra pages"),
    ((b"", b"", b"", -1, 0), ValueError, "z .* must not be negative"),
    # a stack reaching into the heap, a negative stack size of any magnitude, arguments past 0xFFFF0000
    ((b"", b"", b"", 0x7FF00, 0x7FFFFFFF), ValueError, "would overlap the heap, which ends at 0x7ff20000"),
    ((b"", b"", b"", 0, -(1 << 31)), OverflowError, "can't convert negative value to uint32_t"),
    ((b"", b"", b"A" * ((1 << 24) + 1), 0, 0), ValueError, "16777217 bytes of args do not fit"),
])
def test_from_pc_errors(args, error, message):
    with pytest.raises(error, match=message):
        CyMemory.from_pc(*args)


def test_from_pc_largest_heap():
    assert CyMemory.from_pc(b"", b"", b"", 0x7FFDF, 0).heap_break == 0x7FFFF000


@pytest.mark.parametrize("name, value, message", [
    ("_pages", [], "Expected dict, got list"),
    ("_r_pages", [1], "Expected set, got list"),
    ("_w_pages", frozenset(), "Expected set, got frozenset"),
    ("heap_break", 1 << 31, "value too large to convert to int"),
    ("heap_break", "1", "an integer is required"),
])
def test_attribute_setters(name, value, message):
    with pytest.raises((TypeError, OverflowError), match=message):
        setattr(CyMemory(), name, value)


def test_attribute_deletion_and_docs():
    mem = CyMemory()
    for name in ("_pages", "_r_pages", "_w_pages"):
        delattr(mem, name)
        assert getattr(mem, name) is None
    with pytest.raises(NotImplementedError, match="__del__"):
        del mem.heap_break
    assert CyMemory.heap_break.__doc__ == "heap_break: 'int'"
    assert CyMemory._pages.__doc__ == "_pages: dict"
