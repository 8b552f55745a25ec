"""Trap and fall-through: the group without operands."""

import traceback

import pytest

from pvmtest import build_blob, check_group_class, regs
from qorvel_pvm.cpvm import vm_interpreter as vi
from qorvel_pvm.cpvm.instructions.tables import ops_no_args
from qorvel_pvm.cpvm.instructions.tables.ops_no_args import InstructionsWoArgs
from qorvel_pvm.cpvm.vm_block import CyBlockInfo, CyCompiledInstruction
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

GROUP = InstructionsWoArgs()
TABLE = GROUP.get_table()
PROGRAM = CyProgram(build_blob(bytes([1, 1, 0]), [0, 1, 2]))


def test_group_class():
    assert check_group_class(ops_no_args, InstructionsWoArgs, [0, 1]) is TABLE
    assert TABLE[0] is not TABLE[1]
    assert [(e.gas_cost, e.is_terminating) for e in TABLE.values()] == [(1, True), (1, True)]


@pytest.mark.parametrize("pc,skip", [(0, 0), (2, 1), (3, 24), (1000, 5), (0xFFFFFFFF, 0xFFFFFFFF)])
def test_get_props_decodes_nothing(pc, skip):
    assert vi.decode(GROUP, pc, PROGRAM, skip) == (0, 0, 0, 0, 0)


@pytest.mark.parametrize("values,operands", [((), (0, 0, 0, 0, 0)), ((1, 2, 3) * 4 + (5,), ((1 << 64) - 1, 9, 12, 12, 12))])
def test_trap_raises_exit_1_and_changes_nothing(values, operands):
    registers = regs(*values)
    before = registers.tolist()
    with pytest.raises(PvmExit) as info:
        vi.call_handler(TABLE[0], PROGRAM, registers, CyMemory(), 7, *operands)
    assert info.value.args == (1,) and registers.tolist() == before
    assert "ops_no_args.trap_fn" in "".join(traceback.format_tb(info.value.__traceback__))


@pytest.mark.parametrize("counter", [0, 1, 0xFFFFFFFF])
def test_fall_through_returns_the_continue_value(counter):
    registers = regs(4, 5)
    assert vi.call_handler(TABLE[1], PROGRAM, registers, CyMemory(), counter, 1, 2, 3, 4, 5) == 0xFFFFFFFF
    assert registers.tolist() == regs(4, 5).tolist()


class Group(InstructionsWoArgs):
    pass


@pytest.mark.parametrize("result,error", [({}, None), (None, None), ([], "Expected dict, got list"),
                                          ("TABLE", "Expected dict, got str")])
def test_subclass_get_table_override_runs_on_the_fast_path(result, error):
    class Override(InstructionsWoArgs):
        def get_table(self):
            return result

    if error:
        with pytest.raises(TypeError, match=error):
            vi.get_table(Override())
    else:
        assert vi.get_table(Override()) is result
    assert vi.get_table(Group()) is TABLE


# ----- through real blocks ----------------------------------------------------------------

def compile_block(program, pc):
    """Builds the block starting at pc the way the driver does."""
    items, gas = [], 0
    while True:
        opcode = program.instruction_set[pc] if pc < program.zeta_len else 0
        entry, skip = TABLE[opcode], program.skip(pc)
        items.append(CyCompiledInstruction(opcode, pc + 1 + skip, entry, *vi.decode(GROUP, pc, program, skip)))
        gas += entry.gas_cost
        if entry.is_terminating:
            return CyBlockInfo(gas, items)
        pc += 1 + skip


def test_fall_through_blocks_then_trap():
    code = bytes([1, 1, 0, 0, 1, 0])
    program = CyProgram(build_blob(code, [0, 1, 2, 4]))  # bytes 3 and 5 are operand bytes
    assert program.basic_blocks == (0, 1, 2, 4, 6)
    pc, trail = 0, []
    with pytest.raises(PvmExit) as info:
        while True:
            trail.append(pc)
            pc, gas = vi.execute_block(compile_block(program, pc), program, pc, regs(), CyMemory())
            assert gas == 1
    assert trail == [0, 1, 2]
    assert (info.value.args, info.value.next_pc, info.value.gas_cost) == ((1,), 4, 1)
