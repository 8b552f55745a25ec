"""The indirect load-and-jump: decoding and `load_imm_jump_ind_fn`."""

import traceback

import pytest
from hypothesis import given, strategies as st

from pvmtest import assert_decodes_like, build_blob, check_group_class, regs
from qorvel_pvm.cpvm.instructions.tables import ops_two_reg_two_imm
from qorvel_pvm.cpvm.instructions.tables.ops_two_reg_two_imm import CyInstructionsWArgs2Reg2Imm as Group
from qorvel_pvm.cpvm.vm_interpreter import call_handler, decode
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

M64 = 2**64
GROUP = Group()
ENTRY = GROUP.get_table()[180]
MODULE = "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_two_imm"


def code_le(code, pos, n):
    """n little-endian code bytes at pos; positions wrap at 2**32, bytes past the end are 0."""
    return sum((code[p] if (p := (pos + i) % 2**32) < len(code) else 0) << (8 * i) for i in range(n))


def signed(v, n):
    return v - (1 << (8 * n)) if n and v >> (8 * n - 1) else v


def model(code, pc, skip):
    b1, b2 = code_le(code, pc + 1, 1), code_le(code, pc + 2, 1)
    lx = min(4, b2 & 7)
    rest = skip - lx - 2
    if rest > 127:
        return OverflowError
    ly = min(4, max(0, rest))
    vx = signed(code_le(code, pc + 3, lx), lx) % M64
    vy = signed(code_le(code, pc + 3 + lx, ly), ly) % M64
    return (vx, vy, min(12, b1 & 0x0F), min(12, b1 >> 4), 0)


def program(code, starts=None, jump_table=()):
    return CyProgram(build_blob(bytes(code), range(len(code)) if starts is None else starts, jump_table))


PAD = [0] * 50


@pytest.mark.parametrize(
    "code,pc,skip,expected",
    [
        (PAD + [180, 0x21, 0x01, 0x07, 0x04], 50, 4, (7, 4, 1, 2, 0)),
        ([180, 0x00, 0x01, 0x80, 0xFF], 0, 4, (M64 - 128, M64 - 1, 0, 0, 0)),  # both sign-extended
        ([180, 0xFE, 0xF9, 0x07, 0x04], 0, 4, (7, 4, 12, 12, 0)),  # bits 3-7 ignored, registers capped
        ([180, 0x00, 0x07, 1, 2, 3, 4, 5, 6], 0, 8, (0x04030201, 0x0605, 0, 0, 0)),  # length 7 -> 4
        ([180, 0x00, 0x02, 1, 2, 3, 4, 5, 6, 7], 0, 20, (0x0201, 0x06050403, 0, 0, 0)),  # second length <= 4
        ([180, 0x21, 0x00, 0x05], 0, 1, (0, 0, 1, 2, 0)),  # short skip: the rest is negative, read as 0
        ([180, 0x21, 0x00, 0x05], 0, 2, (0, 0, 1, 2, 0)),
        ([180, 0x21], 0, 5, (0, 0, 1, 2, 0)),  # pc+2 and beyond past the end read as zero
        ([180, 0x21, 0x01, 0x09], 0, 6, (9, 0, 1, 2, 0)),
    ],
)
def test_decode_layout(code, pc, skip, expected):
    assert decode(GROUP, pc, program(code), skip) == expected


@pytest.mark.parametrize("lx,skip,fails", [(0, 129, False), (0, 130, True), (4, 133, False), (4, 134, True)])
def test_second_length_int8_boundary(lx, skip, fails):
    prog = program([180, 0x00, lx, 0, 0, 0, 0])
    if not fails:
        assert decode(GROUP, 0, prog, skip)[2:] == (0, 0, 0)
        return
    with pytest.raises(OverflowError, match="^value too large to convert to int8_t$") as info:
        decode(GROUP, 0, prog, skip)
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert f"{MODULE}.CyInstructionsWArgs2Reg2Imm.get_props" in names


@given(
    code=st.binary(max_size=16),
    pc=st.one_of(st.integers(0, 20), st.integers(2**32 - 6, 2**32 - 1)),
    skip=st.one_of(st.integers(0, 12), st.integers(124, 140), st.integers(0, 2**32 - 1)),
)
def test_decode_matches_model(code, pc, skip):
    assert_decodes_like(GROUP, model, code, pc, skip)


# 64 block starts and a jump table whose entry for address 2k is position k, so
# the position djump returns shows the address the handler computed.
JUMPS = program([0] * 64, jump_table=range(1, 64))


@pytest.mark.parametrize(
    "ra,rb,base,vx,vy,result",
    [
        (3, 3, 100, 5, 2, 51),  # the base is read before the load writes the same register
        (1, 4, 0xFFFFFFFF, 9, 3, 1),  # the sum is reduced to 32 bits
        (1, 4, M64 - 1, 9, 3, 1),  # the 64-bit sum wraps
        (1, 4, 6, 9, M64 - 2, 2),  # a negative second immediate
        (12, 12, 8, M64 - 1, 0, 4),
    ],
)
def test_load_imm_jump_ind(ra, rb, base, vx, vy, result):
    r = regs(*[base if i == rb else 1000 + i for i in range(13)])
    assert call_handler(ENTRY, JUMPS, r, CyMemory(), 0, vx, vy, ra, rb, 0) == result
    assert r[ra] == vx
    assert [r[i] for i in range(13) if i not in (ra, rb)] == [1000 + i for i in range(13) if i not in (ra, rb)]


@pytest.mark.parametrize(
    "base,vy,code",
    [
        (0x1FFFF0000, 0, 0),  # the halt address, after reduction to 32 bits
        (0xFFFFFFFF, 1, 1),  # address 0
        (M64 - 1, 2, 1),  # odd address 1
        (200, 0, 1),  # past the jump table
    ],
)
def test_djump_exit_leaves_the_register_written(base, vy, code):
    r = regs(0, base)
    with pytest.raises(PvmExit) as info:
        call_handler(ENTRY, JUMPS, r, CyMemory(), 0, 77, vy, 0, 1, 0)
    assert info.value.code == code
    assert list(r[:2]) == [77, base]
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert f"{MODULE}.load_imm_jump_ind_fn" in names


def test_group_class():
    assert check_group_class(ops_two_reg_two_imm, Group, [180]) == {180: ENTRY}
    assert (ENTRY.gas_cost, ENTRY.is_terminating) == (1, True)
