"""Printed form, equality and the pickled state of CyMemory."""

import copy
import pickle

import pytest

from qorvel_pvm.cpvm import vm_memory
from qorvel_pvm.cpvm.vm_memory import CommonAccessibility as Acc
from qorvel_pvm.cpvm.vm_memory import CyMemory

CHECKSUM = 0xA308B66
WORDS = 16384


def test_repr():
    mem = CyMemory()
    assert repr(mem) == "CyMemory(pages=0, heap=0)"
    mem._set_byte(0x5000, 1)
    mem.heap_break = 139264
    assert repr(mem) == "CyMemory(pages=1, heap=139264)"
    assert repr(type("Sub", (CyMemory,), {})(heap=-3)) == "CyMemory(pages=0, heap=-3)"
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        repr(CyMemory.__new__(CyMemory))


@pytest.mark.parametrize("a, b, equal", [
    (CyMemory(), CyMemory(), True),
    (CyMemory(heap=1), CyMemory(heap=2), True),
    (CyMemory(allowed_read_pages=[1]), CyMemory(), False),
    (CyMemory(allowed_write_pages=[1]), CyMemory(), False),
    (CyMemory({0: 1}), CyMemory({0: 1}), False),     # page stores map to different buffers
    (CyMemory(), type("Sub", (CyMemory,), {})(), True),
])
def test_equality(a, b, equal):
    assert (a == b) is equal and (a != b) is (not equal)


def test_comparison_with_other_types():
    mem = CyMemory()
    assert (mem == 5) is False and (mem != 5) is True
    assert mem.__eq__(5) is NotImplemented and mem.__ne__(5) is NotImplemented
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(mem, op)(CyMemory()) is NotImplemented
    with pytest.raises(TypeError):
        mem < CyMemory()
    with pytest.raises(TypeError):
        hash(mem)


def populated():
    mem = CyMemory({0x10005: 7, 0x20000: 9}, [16], [32], 0x1234)
    mem.alter_accessibility(0x50000, 0x2000, Acc.WRITE)   # bitsets only
    mem.alter_accessibility(0x10000, 1, Acc.NONE)
    return mem


def assert_same_memory(a, b):
    assert a.contents_equal(b) and b.contents_equal(a)


def equal_after(change):
    mem, other = populated(), populated()
    change(other)
    return mem.contents_equal(other)


@pytest.mark.parametrize("change", [
    lambda m: m._set_byte(0x7FFFF, 1),                        # a byte on a page not stored
    lambda m: m._set_byte(0x20000, 8),
    lambda m: m.alter_accessibility(0x60000, 1, Acc.READ),
    lambda m: m.alter_accessibility(0x50000, 1, Acc.READ),    # writable -> read-only
    lambda m: setattr(m, "heap_break", 0),
])
def test_contents_equal_sees_every_difference(change):
    assert not equal_after(change)


def test_contents_equal_ignores_buffers_and_absent_zero_pages():
    mem = populated()
    assert mem.contents_equal(populated()) and mem != populated()
    assert equal_after(lambda m: m.zero_memory_range(0x90, 2))   # zero pages read as absent ones
    assert CyMemory.__new__(CyMemory).contents_equal(CyMemory())
    # A writable page is readable whether or not its read bit is set.
    assert CyMemory({}, [5], [5]).contents_equal(CyMemory({}, [], [5]))
    assert not CyMemory({}, [5], []).contents_equal(CyMemory({}, [], [5]))
    with pytest.raises(TypeError, match="must be a CyMemory, not int"):
        mem.contents_equal(5)


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_round_trip_keeps_pages_and_bitset_permissions(protocol):
    mem = populated()
    back = pickle.loads(pickle.dumps(mem, protocol))
    assert_same_memory(mem, back)
    assert back.is_accessible(0x50000, 0x2000, Acc.WRITE) and not back.is_accessible(0x10000, 1)
    assert back._get_byte(0x10005) == 7 and back._get_byte(0x20000) == 9
    assert set(back._pages.values()).isdisjoint(mem._pages.values())  # buffers of its own
    back._set_byte(0x10005, 8)
    assert mem._get_byte(0x10005) == 7


def test_reduce_forms():
    fn, args = CyMemory.__new__(CyMemory).__reduce__()
    assert fn is vm_memory._reconstruct_CyMemory
    assert args[:2] == (CyMemory, CHECKSUM) and len(args[2]) == 6
    assert args[2][0] is None and args[2][1] == [0] * WORDS and args[2][5] == 0
    fn, args, state = CyMemory({0x1001: 3}).__reduce__()
    assert args == (CyMemory, CHECKSUM, None)
    assert state[0] == {1: b"\x00\x03" + bytes(4094)}
    with pytest.raises(TypeError):
        CyMemory().__reduce__(1)


class Tagged(CyMemory):
    pass


def test_subclass_with_instance_dict():
    mem = Tagged({0: 1}, [0])
    mem.tag = "hello"
    state = mem.__reduce__()[2]
    assert len(state) == 7 and state[6] == {"tag": "hello"}
    back = pickle.loads(pickle.dumps(mem))
    assert type(back) is Tagged and back.tag == "hello" and back.read(0, 1) == b"\x01"
    assert copy.deepcopy(mem)._get_byte(0) == 1


@pytest.mark.parametrize("checksum, ok", [(0xA308B66, True), (0xDA54CD1, True), (0x6FCC932, True), (0x1234, False)])
def test_reconstructor_checksums(checksum, ok):
    if ok:
        assert vm_memory._reconstruct_CyMemory(CyMemory, checksum, None)._pages is None
    else:
        with pytest.raises(pickle.PickleError, match=(
                r"Incompatible checksums \(0x1234 vs \(0xa308b66, 0xda54cd1, 0x6fcc932\) = "
                r"\(_pages, _r_bitset, _r_pages, _w_bitset, _w_pages, heap_break\)\)")):
            vm_memory._reconstruct_CyMemory(CyMemory, checksum, None)


def state(**changes):
    base = [{}, [0] * WORDS, set(), [0] * WORDS, set(), 0]
    for pos, value in changes.items():
        base[int(pos[1:])] = value
    return tuple(base)


@pytest.mark.parametrize("bad, error, message", [
    (state(p1=[0] * (WORDS - 1)), IndexError,
     "not enough values found during array assignment, expected 16384, got 16383"),
    (state(p3=[0] * (WORDS + 1)), IndexError, "too many values found during array assignment, expected 16384"),
    (state(p1=[-1] * WORDS), OverflowError, "can't convert negative value to uint64_t"),
    (state(p2=[1]), TypeError, "Expected set, got list"),
    (state(p4=frozenset()), TypeError, "Expected set, got frozenset"),
    (state(p5=1 << 40), OverflowError, "value too large to convert to int"),
    (state()[:5], TypeError, "at least 6"),
])
def test_setstate_rejects_bad_fields(bad, error, message):
    with pytest.raises(error, match=message):
        CyMemory().__setstate__(bad)


@pytest.mark.parametrize("pages, error, message", [
    ([], TypeError, "Expected dict, got list"),
    ({1: b"x"}, ValueError, "holds 1 bytes, expected 4096"),
    ({1: bytes(4096), 2: bytearray(4096)}, TypeError, "bytearray"),
    ({0x100000: bytes(4096)}, ValueError, "not a page"),
    ({-1: bytes(4096)}, ValueError, "not a page"),
    ({"1": bytes(4096)}, ValueError, "not a page"),
    ({True: bytes(4096)}, ValueError, "not a page"),
])
def test_setstate_checks_pages_whole_before_use(pages, error, message):
    mem = CyMemory({0x3000: 5})
    before = dict(mem._pages)
    with pytest.raises(error, match=message):
        mem.__setstate__(state(p0=pages))
    assert mem._pages == before and mem._get_byte(0x3000) == 5


def test_setstate_argument_forms():
    mem = CyMemory()
    with pytest.raises(TypeError, match="Expected tuple, got list"):
        mem.__setstate__(list(state()))
    with pytest.raises(TypeError, match="cannot pass None"):
        mem.__setstate__(None)
    with pytest.raises(TypeError, match="Argument 'state'"):
        vm_memory._reconstruct_CyMemory(CyMemory, CHECKSUM, [])


def test_setstate_replaces_store_and_keeps_bitsets_unsynced():
    mem = CyMemory({0x3000: 5}, [3])
    bits = [0] * WORDS
    bits[0] = 1 << 7                                 # page 7 writable, not in any set
    assert mem.__setstate__(state(p0={7: b"\x11" * 4096}, p3=bits, p4={9}, p5=-4)) is None
    assert set(mem._pages) == {7} and mem._get_byte(0x3000) == 0
    assert mem.read(0x7000, 2) == b"\x11\x11" and mem.is_accessible(0x7000, 1, Acc.WRITE)
    assert not mem.is_accessible(0x9000, 1) and mem._w_pages == {9} and mem.heap_break == -4
