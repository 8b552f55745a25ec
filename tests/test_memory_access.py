"""Byte access, range reads and writes, and the Python-subclass overrides."""

import array

import pytest

from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_status import PvmExit
from test_memory_native import vcall


def rw(*pages):
    return CyMemory(allowed_write_pages=list(pages))


@pytest.mark.parametrize("pages, address, data", [
    ((1, 2), 0x1FFE, b"\x01\x02\x03\x04"),  # across a page boundary
    (range(16, 34), 0x10123, bytes(range(256)) * 280 + b"tail"),  # about 17.5 pages, unaligned
])
def test_write_read_round_trip_creates_the_pages(pages, address, data):
    mem = rw(*pages)
    mem.write(address, data)
    assert mem.read(address - 1, len(data) + 2) == b"\0" + data + b"\0"
    assert [mem._get_byte(address + i) for i in (0, 1, len(data) - 1)] == [data[0], data[1], data[-1]]
    assert set(mem._pages) == set(pages)


def test_write_at_top_of_address_space():
    mem = rw(0xFFFFF)
    mem.write(0xFFFFFFFE, b"\xAA\xBB")
    assert mem.read(0xFFFFFFFE, 2) == b"\xAA\xBB"
    with pytest.raises(PvmExit) as info:
        mem.write(0xFFFFFFFF, b"\x01\x02")               # wraps into page 0x100000
    assert (info.value.code, info.value.address) == (2, 0xFFFFFFFF)
    assert mem._get_byte(0xFFFFFFFF) == 0xBB and mem._get_byte(0) == 0


def test_read_of_unwritten_readable_page_allocates_nothing():
    mem = CyMemory(allowed_read_pages=[3])
    assert mem.read(0x3000, 16) == bytes(16)
    assert mem._pages == {}


@pytest.mark.parametrize("call", [
    lambda m: m.read(0x5000, 0) == b"",
    lambda m: m.read(0x5000, -5) == b"",
    *(lambda m, d=d: m.write(0x5000, d) is None for d in (b"", None, bytearray(), 0)),
])
def test_empty_access_needs_no_permission_and_stores_nothing(call):
    mem = CyMemory()
    assert call(mem)
    assert mem._pages == {}


def test_faulting_access_has_no_effect():
    mem = CyMemory(allowed_read_pages=[2], allowed_write_pages=[1])
    with pytest.raises(PvmExit) as info:
        mem.read(0x2FFE, 4)
    assert info.value.address == 0x2FFE
    with pytest.raises(PvmExit) as info:
        mem.write(0x1FFE, b"\x01\x02\x03\x04")          # page 2 is readable, not writable
    assert info.value.address == 0x1FFE
    assert mem._pages == {}


@pytest.mark.parametrize("data", [bytearray(b"\x01\x02"), memoryview(b"\x00\x01\x02")[1:], array.array("B", [1, 2]),
                                  memoryview(b"\x01\x09\x02")[::2]])
def test_write_accepts_byte_buffers(data):
    mem = rw(0)
    mem.write(0x10, data)
    assert mem.read(0x10, 3) == b"\x01\x02\x00"


@pytest.mark.parametrize("data, error", [
    ([1, 2], TypeError), ("ab", TypeError), (array.array("I", [1]), ValueError),
    (memoryview(bytes(4)).cast("B", (2, 2)), ValueError),
])
def test_write_rejects_other_objects(data, error):
    mem = rw(0)
    with pytest.raises(error):
        mem.write(0, data)
    assert mem._pages == {}


def test_unchecked_bytes_ignore_permissions():
    mem = CyMemory()
    mem._set_byte(0x7123, 7)
    assert mem._get_byte(0x7123) == 7
    assert mem._get_byte(0x9000) == 0 and set(mem._pages) == {7}
    with pytest.raises(PvmExit):
        mem.read(0x7123, 1)


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m._set_byte(0, 256), OverflowError, "value too large to convert to uint8_t"),
    (lambda m: m._set_byte(-1, 0), OverflowError, "can't convert negative value to uint32_t"),
    (lambda m: m._get_byte(1 << 32), OverflowError, "value too large to convert to uint32_t"),
    (lambda m: m.read(0, 1 << 31), OverflowError, "value too large to convert to int"),
    (lambda m: m.read("0", 1), TypeError, "an integer is required"),
    (lambda m: m.read(0), TypeError, "missing required argument 'length'"),
    (lambda m: m.write(0, b"", 1), TypeError, "at most 2|exactly 2"),
    (lambda m: m.read(0, 1, size=1), TypeError, "unexpected keyword argument 'size'"),
])
def test_argument_conversion(call, error, message):
    mem = CyMemory()
    with pytest.raises(error, match=message):
        call(mem)
    assert mem._pages == {}


def test_store_none_is_an_error_or_neutral(monkeypatch):
    reports = []
    monkeypatch.setattr("sys.unraisablehook", lambda u: reports.append((u.object, type(u.exc_value))))
    mem = CyMemory.__new__(CyMemory)
    CyMemory.__init__(mem, allowed_read_pages=[0], allowed_write_pages=[0])
    mem._pages = None
    with pytest.raises(AttributeError):
        mem.read(0, 1)
    with pytest.raises(AttributeError):
        mem.write(0, b"\x01")
    mem._set_byte(0, 1)                                 # reported as unraisable, no effect
    assert mem._get_byte(0) == 0
    assert reports == [("qorvel_pvm.cpvm.vm_memory.CyMemory._set_byte_c", AttributeError),
                       ("qorvel_pvm.cpvm.vm_memory.CyMemory._get_byte_c", AttributeError)]


# ----- overrides ----------------------------------------------------------------

class Recording(CyMemory):
    def __init__(self, *args, **kwargs):
        self.calls = []
        super().__init__(*args, **kwargs)

    def read(self, address, length):
        self.calls.append(("read", address, length))
        return b"R" * length

    def write(self, address, data):
        self.calls.append(("write", address, data))
        return "dropped"

    def _get_byte(self, addr):
        self.calls.append(("get", addr))
        return 42

    def _set_byte(self, addr, value):
        self.calls.append(("set", addr, value))
        return "kept"

    def _sync_bitsets_from_sets(self):
        self.calls.append(("sync",))


def test_overrides_run_with_dispatch_enabled():
    mem = Recording()
    assert mem.calls == [("sync",)]                    # __init__ rebuilds through the override
    data = b"xy"
    assert vcall(mem, "read", 0xFFFFFFFF, 3, 0) == b"RRR"
    assert vcall(mem, "write", 0x10, data, 0) == 0
    assert vcall(mem, "_get_byte", 5, 0) == 42
    assert vcall(mem, "_set_byte", 6, 7, 0) == "kept"
    assert vcall(mem, "_sync_bitsets_from_sets", 0) == 0
    assert mem.calls[1:] == [("read", 0xFFFFFFFF, 3), ("write", 0x10, data), ("get", 5), ("set", 6, 7), ("sync",)]
    assert mem.calls[2][2] is data


def test_builtin_runs_with_dispatch_disabled():
    mem = Recording(allowed_write_pages=[0])
    CyMemory._sync_bitsets_from_sets(mem)
    assert vcall(mem, "write", 0, b"\x09", 1) == 0
    assert vcall(mem, "read", 0, 1, 1) == b"\x09"
    assert vcall(mem, "_get_byte", 0, 1) == 9
    assert CyMemory.read(mem, 0, 1) == b"\x09"          # Python-level calls run the built-in code
    assert mem.calls == [("sync",)]


@pytest.mark.parametrize("result, ok", [(None, True), (b"ab", True), (bytearray(b"ab"), False), ("ab", False)])
def test_read_override_result_type(result, ok):
    class M(CyMemory):
        def read(self, address, length):
            return result
    mem = M()
    if ok:
        assert vcall(mem, "read", 0, 2, 0) == result
    else:
        with pytest.raises(TypeError, match=f"Expected bytes, got {type(result).__name__}"):
            vcall(mem, "read", 0, 2, 0)


def test_subclass_without_override_and_override_errors():
    class Plain(CyMemory):
        pass

    class Failing(CyMemory):
        def _get_byte(self, addr):
            return "x"

        def write(self, address, data):
            raise KeyError("boom")

    mem = Plain({0: 4}, allowed_read_pages=[0])
    assert vcall(mem, "read", 0, 1, 0) == b"\x04"
    bad = Failing()
    with pytest.raises(TypeError):
        vcall(bad, "_get_byte", 0, 0)
    with pytest.raises(KeyError):
        vcall(bad, "write", 0, b"\x01", 0)


def test_sync_override_failure_fails_init():
    class M(CyMemory):
        def _sync_bitsets_from_sets(self):
            raise RuntimeError("no")
    with pytest.raises(RuntimeError, match="no"):
        M()


def test_lookup_happens_only_for_dispatch_on_subclasses():
    looked_up = []

    class Counting(CyMemory):
        def __getattribute__(self, name):
            looked_up.append(name)
            return super().__getattribute__(name)

    mem = Counting(allowed_write_pages=[0])
    looked_up.clear()
    vcall(mem, "write", 0, b"\x01", 1)
    vcall(mem, "read", 0, 1, 1)
    assert looked_up == []
    vcall(mem, "write", 0, b"\x01", 0)
    vcall(mem, "read", 0, 1, 0)
    vcall(mem, "_get_byte", 0, 0)
    assert looked_up == ["write", "read", "_get_byte"]
