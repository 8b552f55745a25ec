"""Load-and-jump and the compare-with-immediate branches: decoding and handlers."""

import traceback

import pytest
from hypothesis import given, strategies as st

from pvmtest import assert_decodes_like, build_blob, check_group_class, regs
from qorvel_pvm.cpvm.instructions.tables import ops_reg_imm_offset
from qorvel_pvm.cpvm.instructions.tables.ops_reg_imm_offset import InstructionsWArgs1Reg1Imm1Offset as Group
from qorvel_pvm.cpvm.vm_interpreter import call_handler, decode
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

M64 = 2**64
GROUP = Group()
TABLE = GROUP.get_table()
MODULE = "qorvel_pvm.cpvm.instructions.tables.ops_reg_imm_offset"
NOT_TAKEN = 0xFFFFFFFF
HANDLERS = ["load_imm_jump_fn", "branch_eq_imm_fn", "branch_ne_imm_fn", "branch_lt_u_imm", "branch_le_u_imm",
            "branch_ge_u_imm", "branch_gt_u_imm", "branch_lt_s_imm", "branch_le_s_imm", "branch_ge_s_imm",
            "branch_gt_s_imm"]


def code_le(code, pos, n):
    """n little-endian code bytes at pos; positions wrap at 2**32, bytes past the end are 0."""
    return sum((code[p] if (p := (pos + i) % 2**32) < len(code) else 0) << (8 * i) for i in range(n))


def signed(v, n):
    return v - (1 << (8 * n)) if n and v >> (8 * n - 1) else v


def model(code, pc, skip):
    b = code_le(code, pc + 1, 1)
    lx = min(4, (b >> 4) & 7)
    rest = skip - lx - 1
    if rest > 127:
        return OverflowError
    ly = min(4, max(0, rest))
    vx = signed(code_le(code, pc + 2, lx), lx) % M64
    vy = (pc + signed(code_le(code, pc + 2 + lx, ly), ly)) % M64
    return (vx, vy, min(12, b & 0x0F), 0, 0)


def program(code, starts=None):
    return CyProgram(build_blob(bytes(code), range(len(code)) if starts is None else starts))


PAD = [0] * 100


@pytest.mark.parametrize(
    "code,pc,skip,expected",
    [
        (PAD + [81, 0x13, 0x05, 0x0A], 100, 3, (5, 110, 3, 0, 0)),
        (PAD + [81, 0x10, 0xFF, 0xFE], 100, 3, (M64 - 1, 98, 0, 0, 0)),  # both sign-extended
        (PAD + [81, 0x9D, 0xFF, 0xFE], 100, 3, (M64 - 1, 98, 12, 0, 0)),  # bit 7 ignored, ra capped
        (PAD + [81, 0x0E], 100, 1, (0, 100, 12, 0, 0)),  # no offset: the target is pc
        (PAD + [81, 0x0F], 100, 0, (0, 100, 12, 0, 0)),  # short skip: the rest is negative, read as 0
        (PAD + [81, 0x70, 1, 2, 3, 4, 0xFC, 0xFF], 100, 7, (0x04030201, 96, 0, 0, 0)),  # length field 7 -> 4
        (PAD + [81, 0x51, 0x80, 0, 0, 0x80, 1, 2, 3, 4, 5], 100, 20, (0xFFFFFFFF80000080, 0x04030201 + 100, 1, 0, 0)),
        ([81, 0x21, 0x34, 0x12, 0x05], 0, 8, (0x1234, 5, 1, 0, 0)),  # bytes past the end read as zero
    ],
)
def test_decode_layout(code, pc, skip, expected):
    assert decode(GROUP, pc, program(code), skip) == expected


@pytest.mark.parametrize("lx,skip,fails", [(0, 128, False), (0, 129, True), (4, 132, False), (4, 133, True)])
def test_second_length_int8_boundary(lx, skip, fails):
    prog = program([81, lx << 4, 0, 0, 0, 0])
    if not fails:
        assert decode(GROUP, 0, prog, skip)[2] == 0
        return
    with pytest.raises(OverflowError, match="^value too large to convert to int8_t$") as info:
        decode(GROUP, 0, prog, skip)
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert f"{MODULE}.InstructionsWArgs1Reg1Imm1Offset.get_props" in names


def test_decode_stops_at_the_end_of_the_code():
    # The blob's bitmask (0xFF) follows the code; it must not be read as operand bytes.
    code = [81, 0x40, 0, 0, 0, 0, 0, 0]
    prog = program(code)
    assert decode(GROUP, 0, prog, 12) == (0, 0, 0, 0, 0)
    assert decode(GROUP, 6, prog, 10) == (0, 6, 0, 0, 0)


@given(
    code=st.binary(max_size=16),
    pc=st.one_of(st.integers(0, 20), st.integers(2**32 - 6, 2**32 - 1)),
    skip=st.one_of(st.integers(0, 12), st.integers(120, 140), st.integers(0, 2**32 - 1)),
)
def test_decode_matches_model(code, pc, skip):
    assert_decodes_like(GROUP, model, code, pc, skip)


def s64(v):
    return v - M64 if v >> 63 else v


CONDITIONS = {
    81: lambda a, b: a == b,
    82: lambda a, b: a != b,
    83: lambda a, b: a < b,
    84: lambda a, b: a <= b,
    85: lambda a, b: a >= b,
    86: lambda a, b: a > b,
    87: lambda a, b: s64(a) < s64(b),
    88: lambda a, b: s64(a) <= s64(b),
    89: lambda a, b: s64(a) >= s64(b),
    90: lambda a, b: s64(a) > s64(b),
}
PAIRS = [(5, 5), (M64 - 1, 1), (1, M64 - 1), (2**63, 2**63 - 1), (2**63 - 1, 2**63), (0, M64 - 1), (7, 8)]


@pytest.mark.parametrize("opcode", sorted(CONDITIONS))
@pytest.mark.parametrize("reg,imm", PAIRS)
def test_comparisons_signed_and_unsigned(opcode, reg, imm):
    prog = program([0] * 8)
    r = regs(*[0] * 12, reg)  # register 12: the highest index the decoder produces
    result = call_handler(TABLE[opcode], prog, r, CyMemory(), 0, imm, 3, 12, 0, 0)
    assert result == (3 if CONDITIONS[opcode](reg, imm) else NOT_TAKEN)
    assert r[12] == reg


@pytest.mark.parametrize("opcode", sorted(CONDITIONS))
def test_taken_branch_exit_passes_through_with_traceback(opcode):
    reg, imm = next(p for p in [(0, 0), (0, 1), (1, 0)] if CONDITIONS[opcode](*p))
    prog = program([0, 0, 0, 0], starts=[0, 1, 3])  # 2 is not an instruction start
    with pytest.raises(PvmExit) as info:
        call_handler(TABLE[opcode], prog, regs(reg), CyMemory(), 0, imm, 2, 0, 0, 0)
    assert info.value.code == 1
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert f"{MODULE}.{HANDLERS[opcode - 80]}" in names


def test_load_imm_jump_writes_its_register_before_branching():
    ok, bad = program([0] * 8), program([0, 0, 0, 0], starts=[0, 1, 3])
    r = regs(1, 2, 3)
    assert call_handler(TABLE[80], ok, r, CyMemory(), 0, M64 - 2, 5, 1, 0, 0) == 5
    assert list(r[:3]) == [1, M64 - 2, 3]
    r = regs(1, 2, 3)
    with pytest.raises(PvmExit) as info:
        call_handler(TABLE[80], bad, r, CyMemory(), 0, 7, 2, 0, 0, 0)
    assert info.value.code == 1 and list(r[:3]) == [7, 2, 3]
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert f"{MODULE}.load_imm_jump_fn" in names


def test_target_is_the_low_32_bits_of_vy():
    r = regs()
    assert call_handler(TABLE[81], program([0] * 8), r, CyMemory(), 0, 0, 2**32 + 4, 0, 0, 0) == 4
    with pytest.raises(PvmExit):  # -4 as a signed 32-bit pc
        call_handler(TABLE[80], program([0] * 8), r, CyMemory(), 0, 0, M64 - 4, 0, 0, 0)


def test_group_class():
    assert check_group_class(ops_reg_imm_offset, Group, range(80, 91)) is TABLE
    assert all((e.gas_cost, e.is_terminating) == (1, True) for e in TABLE.values())
