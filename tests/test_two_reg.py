"""Two-register instructions: decoder, handlers, heap growth, table and pickling."""

import pytest
from hypothesis import given, strategies as st

from pvmtest import build_blob, check_group_class, regs
from qorvel_pvm.common.types import Accessibility
from qorvel_pvm.cpvm.instructions.tables import ops_two_reg
from qorvel_pvm.cpvm.instructions.tables.ops_two_reg import CyInstructionsWArgs2Reg
from qorvel_pvm.cpvm.vm_interpreter import call_handler, decode
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram

M64 = (1 << 64) - 1
M32 = (1 << 32) - 1
FALL_THROUGH = 0xFFFFFFFF
GROUP = CyInstructionsWArgs2Reg()
TABLE = GROUP.get_table()


def program_of(code: bytes) -> CyProgram:
    return CyProgram(build_blob(code, [0]))


PROGRAM = program_of(bytes([100, 0x21]))


def i32(x: int) -> int:
    """A 32-bit address as the signed value the heap_break field holds."""
    x &= M32
    return x - (1 << 32) if x & 0x80000000 else x


def run_op(opcode, a, ra=1, rd=2, memory=None, registers=None):
    r = registers if registers is not None else regs()
    r[ra] = a & M64
    mem = memory if memory is not None else CyMemory()
    result = call_handler(TABLE[opcode], PROGRAM, r, mem, 0, 0, 0, ra, 0, rd)
    assert result == FALL_THROUGH
    return r


# ----- table, class, pickling ----------------------------------------------------


def test_group_class():
    assert check_group_class(ops_two_reg, CyInstructionsWArgs2Reg, range(100, 112)) is TABLE
    assert {(e.gas_cost, e.is_terminating) for e in TABLE.values()} == {(1, False)}
    assert len({id(e) for e in TABLE.values()}) == 12


# ----- decoder -------------------------------------------------------------------


@pytest.mark.parametrize(
    "byte, ra, rd",
    [(0x2A, 2, 10), (0xFF, 12, 12), (0x00, 0, 0), (0xC0, 12, 0), (0x0D, 0, 12), (0xD3, 12, 3), (0x9B, 9, 11)],
)
@pytest.mark.parametrize("skip", [0, 1, 7, 0xFFFFFFFF])
def test_decoder_register_byte(byte, ra, rd, skip):
    program = program_of(bytes([1, 100, byte, 1]))
    assert decode(GROUP, 1, program, skip) == (0, 0, ra, 0, rd)


@pytest.mark.parametrize("pc", [3, 4, 1000, 0x7FFFFFFF, 0xFFFFFFFE])
@pytest.mark.parametrize("skip", [0, 1, 0xFFFFFFFF])
def test_decoder_reads_nothing_past_the_end(pc, skip):
    # The code ends at byte 4; an operand byte at or past it reads as zero.
    program = program_of(bytes([1, 1, 1, 0xFF]))
    assert decode(GROUP, pc, program, skip) == (0, 0, 0, 0, 0)


# ----- register handlers ------------------------------------------------------------


def _tz(v, bits):
    return bits if v == 0 else (v & -v).bit_length() - 1


def _sext(v, bits):
    v &= (1 << bits) - 1
    return (v | (M64 ^ ((1 << bits) - 1))) if v >> (bits - 1) else v


MODEL = {
    100: lambda a: a,
    102: lambda a: bin(a).count("1"),
    103: lambda a: bin(a & M32).count("1"),
    104: lambda a: 64 - a.bit_length(),
    105: lambda a: 32 - (a & M32).bit_length(),
    106: lambda a: _tz(a, 64),
    107: lambda a: _tz(a & M32, 32),
    108: lambda a: _sext(a, 8),
    109: lambda a: _sext(a, 16),
    110: lambda a: a & 0xFFFF,
    111: lambda a: int.from_bytes(a.to_bytes(8, "little"), "big"),
}


@pytest.mark.parametrize(
    "opcode, a, expected",
    [
        (100, M64, M64),
        (102, 0xFFFFFFFF00000000, 32),
        (102, M64, 64),
        (102, 0, 0),
        (103, 0xFFFFFFFF00000000, 0),
        (103, M64, 32),
        (104, 0, 64),
        (104, 1, 63),
        (104, 0x8000000000000000, 0),
        (105, 0x0000000100000000, 32),
        (105, 0x80000000, 0),
        (105, 0xFFFFFFFF00000001, 31),
        (106, 0, 64),
        (106, 0x8000000000000000, 63),
        (106, 1, 0),
        (107, 0x0000000100000000, 32),
        (107, 0x80000000, 31),
        (107, 0xFFFFFFFF00000002, 1),
        (108, 0x1234567890ABCD80, 0xFFFFFFFFFFFFFF80),
        (108, 0x7F, 0x7F),
        (108, 0xFFFFFFFFFFFFFF7F, 0x7F),
        (109, 0x8000, 0xFFFFFFFFFFFF8000),
        (109, 0xFFFF7FFF, 0x7FFF),
        (110, 0xFFFFFFFFFFFF8000, 0x8000),
        (111, 0x0102030405060708, 0x0807060504030201),
        (111, 0xFF, 0xFF00000000000000),
    ],
)
def test_handler_edge_values(opcode, a, expected):
    assert MODEL[opcode](a) == expected  # the model agrees with the table
    r = run_op(opcode, a, ra=3, rd=7)
    assert r[7] == expected
    assert r[3] == a  # source untouched
    assert [r[i] for i in range(13) if i not in (3, 7)] == [0] * 11


@pytest.mark.parametrize("opcode", sorted(MODEL))
def test_handler_same_register(opcode):
    a = 0x8000000080008080
    r = run_op(opcode, a, ra=12, rd=12)
    assert r[12] == MODEL[opcode](a)


@pytest.mark.parametrize("opcode", sorted(MODEL))
@given(a=st.integers(0, M64) | st.sampled_from([0, 1, M64, 1 << 63, 1 << 31, 1 << 32, M32, 0xFF80, 0x80]))
def test_handlers_match_model(opcode, a):
    assert run_op(opcode, a)[2] == MODEL[opcode](a)


# ----- sbrk ---------------------------------------------------------------------------


def writable(mem, address, length=1):
    return mem.is_accessible(address, length, Accessibility.WRITE)


def readable(mem, address, length=1):
    return mem.is_accessible(address, length, Accessibility.READ)


def memory_at(heap_break):
    mem = CyMemory()
    mem.heap_break = i32(heap_break)
    return mem


def sbrk(mem, request, ra=4, rd=5, registers=None):
    r = run_op(101, request, ra=ra, rd=rd, memory=mem, registers=registers)
    return r[rd]


def test_sbrk_grows_by_request_and_grants_pages():
    mem = memory_at(0x30000)
    assert not writable(mem, 0x30000)
    assert sbrk(mem, 8192) == 0x30000
    assert mem.heap_break == 0x32000
    assert writable(mem, 0x30000, 0x2000) and readable(mem, 0x30000, 0x2000)
    assert not readable(mem, 0x2F000) and not readable(mem, 0x32000)
    assert mem._r_pages == set() and mem._w_pages == set()  # only the bitsets change
    assert sbrk(mem, 0) == 0x32000
    assert mem.heap_break == 0x32000 and not readable(mem, 0x32000)


def test_sbrk_unaligned_break_is_not_rounded():
    mem = memory_at(0x30800)
    assert sbrk(mem, 0x1000) == 0x30800
    assert mem.heap_break == 0x31800
    assert writable(mem, 0x30000, 0x2000) and not readable(mem, 0x32000)
    assert sbrk(mem, 1) == 0x31800 and mem.heap_break == 0x31801


def test_sbrk_uses_low_32_bits_and_reads_source_first():
    mem = memory_at(0x40000)
    assert sbrk(mem, 0x100001000) == 0x40000
    assert mem.heap_break == 0x41000
    assert writable(mem, 0x40000, 0x1000) and not readable(mem, 0x41000)
    # rd == ra: the request is read before the old break is written.
    assert sbrk(mem, 0x2000, ra=6, rd=6) == 0x41000
    assert mem.heap_break == 0x43000


@pytest.mark.parametrize("heap_break", [0, 0x1234, 0x30000, 0xFFFFFFFF])
def test_sbrk_zero_request_changes_no_permission(heap_break):
    mem = memory_at(heap_break)
    d = sbrk(mem, 0)
    assert d == (i32(heap_break) & M64)
    assert mem.heap_break == i32(heap_break)
    assert not readable(mem, heap_break & ~0xFFF)


@pytest.mark.parametrize(
    "heap_break, req, new_break",
    [
        (0xFFFFE000, 0x1FFF, 0xFFFFFFFF),  # ends on the last byte of the address space
        (0x7FFFF000, 0x1000, 0x80000000),  # crossing 2^31 is no overflow
        (0, M32, M32),
        (0x80000000, 0x3000, 0x80003000),  # a break above 2^31 is returned sign-extended
    ],
)
def test_sbrk_grants_requests_that_fit(heap_break, req, new_break):
    mem = memory_at(heap_break)
    assert sbrk(mem, req) == (i32(heap_break) & M64)
    assert mem.heap_break == i32(new_break)
    assert writable(mem, heap_break, req)


@pytest.mark.parametrize(
    "heap_break, req",
    [
        (0xFFFFE000, 0x2000),  # would leave the break at 2^32, i.e. 0
        (0xFFFFF000, 0x2000),  # would wrap the break to 0x1000
        (0xFEFF0000, 0x01020000),
        (0x80000000, 0x80000000),
        (1, M32),
        (M32, 1),
    ],
)
def test_sbrk_refuses_growth_past_the_top(heap_break, req):
    mem = memory_at(heap_break)
    mem.alter_accessibility(0x10000, 0x1000, Accessibility.READ)
    r = regs()
    r[5] = 0x5555
    assert sbrk(mem, req, registers=r) == 0
    assert mem.heap_break == i32(heap_break)
    assert not readable(mem, heap_break & ~0xFFF)
    assert not readable(mem, 0xFFFFF000) and not readable(mem, 0) and not readable(mem, 0x1000)
    assert readable(mem, 0x10000) and not writable(mem, 0x10000)
    # The heap is still usable for a request that fits.
    if heap_break <= 0xFFFFE000:
        assert sbrk(mem, 0x1000) == i32(heap_break) & M64
        assert mem.heap_break == i32(heap_break + 0x1000)
