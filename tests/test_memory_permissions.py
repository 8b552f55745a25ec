"""Page permissions: the two sets, the two bitsets and the page-fault exit."""

import pytest

from qorvel_pvm.cpvm.vm_memory import CommonAccessibility as Acc
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_status import PvmExit
from test_memory_native import vcall

READ, WRITE = Acc.READ, Acc.WRITE


def fault_address(fn, *args):
    with pytest.raises(PvmExit) as info:
        fn(*args)
    assert info.value.code == 2
    return info.value.address


@pytest.mark.parametrize("reads, writes, can_read, can_write", [
    ([16], [], True, False),
    ([], [16], True, True),      # write implies read
    ([16], [16], True, True),
    ([], [], False, False),
])
def test_set_permissions(reads, writes, can_read, can_write):
    mem = CyMemory(allowed_read_pages=reads, allowed_write_pages=writes)
    assert mem.is_accessible(0x10000, 1) is can_read
    assert mem.is_accessible(0x10000, 4096, READ) is can_read
    assert mem.is_accessible(0x10000, 1, Acc.NONE) is can_read   # mode 2 checks like a read
    assert mem.is_accessible(0x10000, 1, WRITE) is can_write
    assert vcall(mem, "_has_access_c", 16, 2) == can_read


def test_read_only_page_refuses_write():
    mem = CyMemory(allowed_read_pages=[16])
    assert fault_address(mem.write, 0x10005, b"ab") == 0x10005
    assert mem._pages == {}


@pytest.mark.parametrize("addr", [0, 0x1234, 0xFFFFFFFF])
@pytest.mark.parametrize("access", [READ, WRITE, Acc.NONE])
def test_empty_ranges(addr, access):
    mem = CyMemory(allowed_read_pages=[1], allowed_write_pages=[2])
    assert mem.is_accessible(addr, 0, access) is True
    mem.alter_accessibility(addr, 0, access)
    assert [vcall(mem, "_has_access_c", p, m) for p in (0, 1, 2, 0xFFFFF) for m in (0, 1)] == \
        [0, 0, 1, 0, 1, 1, 0, 0]


def test_range_into_page_past_the_top_is_refused():
    mem = CyMemory(allowed_write_pages=[0xFFFFF])
    assert mem.is_accessible(0xFFFFF000, 0x1000)
    assert not mem.is_accessible(0xFFFFF000, 0x2000)
    assert fault_address(mem.read, 0xFFFFF000, 0x2000) == 0xFFFFF000
    mem.alter_accessibility(0, 0xFFFFFFFF, WRITE)
    # A range that wraps round to end just below its start is not empty.
    assert not mem.is_accessible(0x1000, 0xFFFFFFFF)


# Ranges that run past 0xFFFFFFFF count every page up to the top, wherever
# their wrapped end lands: below the start page or inside it.
@pytest.mark.parametrize("start", [0x20001, 0x20FF8, 0x20FFF])
def test_range_wrapping_past_the_top_spans_to_the_top(start):
    mem = CyMemory(allowed_write_pages=[0x20])
    assert not mem.is_accessible(start, 0xFFFFFFFF, WRITE)
    mem.alter_accessibility(start, 0xFFFFFFFF, WRITE)
    assert mem.is_accessible(0x20000, 0x1000, WRITE) and mem.is_accessible(0xFFFFF000, 0x1000, WRITE)
    assert not mem.is_accessible(0x1F000, 0x1000)
    assert not mem.is_accessible(start, 0xFFFFFFFF, WRITE)   # page 0x100000 does not exist


def test_alter_changes_bitsets_only():
    mem = CyMemory(allowed_read_pages=[17])
    mem.alter_accessibility(0x10000, 1, WRITE)
    assert mem.is_accessible(0x10000, 1, WRITE) and mem.is_accessible(0x10000, 1)
    assert vcall(mem, "_has_access_c", 16, 1) == 1
    assert (mem._r_pages, mem._w_pages) == ({17}, set())
    mem.alter_accessibility(0x11000, 1, Acc.NONE)
    assert not mem.is_accessible(0x11000, 1)
    mem._sync_bitsets_from_sets()                 # back to what the sets say
    assert not mem.is_accessible(0x10000, 1) and mem.is_accessible(0x11000, 1)


@pytest.mark.parametrize("access, readable, writable", [(READ, True, False), (WRITE, True, True), (Acc.NONE, False, False)])
def test_alter_spans_pages(access, readable, writable):
    mem = CyMemory(allowed_read_pages=[15, 16, 17, 18], allowed_write_pages=[16, 17])
    mem.alter_accessibility(0x10FFF, 2, access)   # touches pages 16 and 17
    for page in (16, 17):
        assert mem.is_accessible(page * 4096, 1) is readable
        assert mem.is_accessible(page * 4096, 1, WRITE) is writable
    assert mem.is_accessible(15 * 4096, 1) and mem.is_accessible(18 * 4096, 1)


@pytest.mark.parametrize("length", [0x2000, 0xFFFFFFFF])
def test_alter_past_the_top_stops_at_last_page(length):
    mem = CyMemory(allowed_read_pages=[0, 1])
    mem.alter_accessibility(0xFFFFF000, length, Acc.NONE)
    mem.alter_accessibility(0xFFFFE000, length, WRITE)
    assert mem.is_accessible(0xFFFFE000, 0x2000, WRITE)
    assert mem.is_accessible(0, 0x2000) and not mem.is_accessible(0, 1, WRITE)  # bottom pages untouched


def test_set_access_range_is_bounded():
    mem = CyMemory()
    vcall(mem, "_set_access_range_c", 0xFFFF0, 0xFFFFFFFF, 1, 1)   # wrapping count
    assert mem.is_accessible(0xFFFF0000, 0x10000, WRITE)
    assert not mem.is_accessible(0, 1)
    vcall(mem, "_set_access_range_c", 0x100000, 5, 0, 1)
    vcall(mem, "_set_access_c", 0x100000, 0, 1)
    assert vcall(mem, "_has_access_c", 0x100000, 0) == 0
    vcall(mem, "_set_access_range_c", 0, 1 << 20, 0, 1)
    assert mem.is_accessible(0, 0xFFFFFFFF)
    vcall(mem, "_clear_bitsets")
    assert not mem.is_accessible(0xFFFF0000, 1)


@pytest.mark.parametrize("start, count, mode, ok", [
    (16, 2, 0, True), (16, 3, 0, False), (16, 2, 1, False), (17, 1, 1, True), (16, 0, 1, True),
    (0xFFFFF, 2, 0, False),
])
def test_check_access(start, count, mode, ok):
    mem = CyMemory(allowed_read_pages=[16], allowed_write_pages=[17, 0xFFFFF])
    if ok:
        assert vcall(mem, "_check_access_c", start, count, mode, 0xABC) == 0
    else:
        assert fault_address(vcall, mem, "_check_access_c", start, count, mode, 0xABC) == 0xABC


@pytest.mark.parametrize("pages, error, message", [
    ({"x"}, TypeError, "an integer is required"),
    ({1 << 40}, OverflowError, "value too large to convert to int"),
])
def test_sync_rejects_bad_elements(pages, error, message):
    mem = CyMemory()
    mem._r_pages = pages
    with pytest.raises(error, match=message):
        mem._sync_bitsets_from_sets()


def test_sync_ignores_out_of_range_and_none():
    mem = CyMemory()
    mem._r_pages = {-1, 0x100000, 3}
    mem._w_pages = None
    mem._sync_bitsets_from_sets()
    assert mem.is_accessible(0x3000, 1) and not mem.is_accessible(0xFFFFF000, 1)


def test_sync_takes_no_arguments():
    with pytest.raises(TypeError):
        CyMemory()._sync_bitsets_from_sets(1)


@pytest.mark.parametrize("access, error", [(object(), AttributeError), (Acc, AttributeError)])
def test_access_kind_needs_value(access, error):
    with pytest.raises(error):
        CyMemory().is_accessible(0, 1, access)
