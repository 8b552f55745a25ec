"""The direct jump: offset decoding into an absolute target, and `jump_fn`."""

import traceback

import pytest
from hypothesis import given, strategies as st

from pvmtest import build_blob, check_group_class, regs
from qorvel_pvm.cpvm.instructions.tables import ops_offset
from qorvel_pvm.cpvm.instructions.tables.ops_offset import CyWArgsOneOffset
from qorvel_pvm.cpvm.vm_interpreter import call_handler, decode
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

M64 = 2**64
GROUP = CyWArgsOneOffset()


def code_le(code, pos, n):
    """n little-endian code bytes at pos; positions wrap at 2**32, bytes past the end are 0."""
    return sum((code[p] if (p := (pos + i) % 2**32) < len(code) else 0) << (8 * i) for i in range(n))


def signed(v, n):
    return v - (1 << (8 * n)) if n and v >> (8 * n - 1) else v


def model(code, pc, skip):
    lx = min(4, skip & 0xFF)
    return ((pc + signed(code_le(code, pc + 1, lx), lx)) % M64, 0, 0, 0, 0)


def program(code, starts=None):
    return CyProgram(build_blob(bytes(code), range(len(code)) if starts is None else starts))


@pytest.mark.parametrize(
    "code,pc,skip,vx",
    [
        ([0] * 10 + [40, 0x05], 10, 1, 15),
        ([0] * 10 + [40, 0xFB], 10, 1, 5),
        ([40, 0x00, 0x80], 0, 2, M64 - 32768),  # signed offset, kept as a 64-bit pattern
        ([40, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77], 0, 7, 0x44332211),  # at most 4 offset bytes
        ([40, 0xFF, 0xFF, 0xFF, 0xFF], 0, 4, M64 - 1),
        ([40, 0x7F, 0xFF], 0, 0, 0),  # no offset byte: the target is pc itself
        ([40, 0x05], 1, 4, 1),  # offset bytes past the end of the code read as zero
    ],
)
def test_decode_layout(code, pc, skip, vx):
    assert decode(GROUP, pc, program(code), skip) == (vx, 0, 0, 0, 0)


def test_decode_stops_at_the_end_of_the_code():
    # The blob's bitmask (0xFF) follows the code directly; it must not be read as offset bytes.
    prog = program([40] * 8)
    assert decode(GROUP, 7, prog, 4) == (7, 0, 0, 0, 0)
    assert decode(GROUP, 2**32 - 1, prog, 4) == model([40] * 8, 2**32 - 1, 4)


@given(
    code=st.binary(max_size=16),
    pc=st.one_of(st.integers(0, 20), st.integers(2**32 - 6, 2**32 - 1)),
    skip=st.one_of(st.integers(0, 8), st.integers(0, 2**32 - 1)),
)
def test_decode_matches_model(code, pc, skip):
    prog = CyProgram(build_blob(code, range(len(code))))
    assert decode(GROUP, pc, prog, skip) == model(code, pc, skip)


def test_jump_branches_to_the_low_32_bits_of_the_target():
    prog, r, mem = program([0] * 8), regs(*range(13)), CyMemory()
    entry = GROUP.get_table()[40]
    assert call_handler(entry, prog, r, mem, 0, 5, 0, 0, 0, 0) == 5
    assert call_handler(entry, prog, r, mem, 0, 2**32 + 3, 0, 0, 0, 0) == 3
    assert list(r) == list(range(13))


@pytest.mark.parametrize("vx", [M64 - 32768, 2, 100])
def test_jump_passes_the_branch_exit_through(vx):
    prog = program([0, 0, 0, 0], starts=[0, 1, 3])  # 2 is not an instruction start
    with pytest.raises(PvmExit) as info:
        call_handler(GROUP.get_table()[40], prog, regs(), CyMemory(), 0, vx, 0, 0, 0, 0)
    assert info.value.code == 1
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert "qorvel_pvm.cpvm.instructions.tables.ops_offset.jump_fn" in names


def test_group_class():
    table = check_group_class(ops_offset, CyWArgsOneOffset, [40])
    assert (table[40].gas_cost, table[40].is_terminating) == (1, True)
