"""Compiled instructions, blocks, the execute loop and the bridges that reach it."""

import builtins
import pickle
import sys
from array import array

import pytest

from pvmtest import build_blob, regs
from qorvel_pvm.cpvm import vm_block
from qorvel_pvm.cpvm.instructions.op_table import CyTableEntry
from qorvel_pvm.cpvm.instructions.tables.ops_no_args import InstructionsWoArgs
from qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm import CyInstructionsWArgs2Reg1Imm
from qorvel_pvm.cpvm.vm_block import CyBlockInfo, CyCompiledInstruction as CI
from qorvel_pvm.cpvm.vm_interpreter import call_handler, execute_block
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

ENTRY = "qorvel_pvm.cpvm.instructions.op_table.CyTableEntry"
COMPILED = "qorvel_pvm.cpvm.vm_block.CyCompiledInstruction"
NO_PICKLE = "self.fn cannot be converted to a Python object for pickling"
WARNING = "\u26a0\ufe0f Block ended without termination instruction\n"

TABLE = InstructionsWoArgs().get_table()
TRAP, FALL = TABLE[0], TABLE[1]
PROGRAM = CyProgram(build_blob(bytes(64), range(64)))


def ci(entry, next_pc, opcode=1, vx=0, vy=0, ra=0, rb=0, rd=0):
    return CI(opcode, next_pc, entry, vx, vy, ra, rb, rd)


def run(instructions, pc=0, gas=9, memory=None, registers=None):
    block = instructions if isinstance(instructions, CyBlockInfo) else CyBlockInfo(gas, instructions)
    return execute_block(block, PROGRAM, pc, registers if registers is not None else regs(),
                         memory if memory is not None else CyMemory())


@pytest.fixture
def fall_continues():
    """The shared fall-through entry, made non-terminating for one test."""
    FALL.is_terminating = False
    yield
    FALL.is_terminating = True


# ----- CyCompiledInstruction ----------------------------------------------------------------

def test_compiled_instruction_fields_and_defaults():
    c = CI(-5, 0xFFFFFFFF, TRAP, (1 << 64) - 1, 7, 255, 1, 12)
    assert (c.opcode, c.next_pc, c.handler, c.vx, c.vy, c.ra, c.rb, c.rd) == (
        -5, 0xFFFFFFFF, TRAP, (1 << 64) - 1, 7, 255, 1, 12)
    n = CI.__new__(CI)
    assert (n.opcode, n.next_pc, n.handler, n.vx, n.vy, n.ra, n.rb, n.rd) == (0, 0, None, 0, 0, 0, 0, 0)
    assert CI.__doc__.endswith("\n\nPre-compiled instruction with decoded operands and cached function pointers.")
    kw = CI(opcode=1, next_pc=2, handler=FALL, vx=3, vy=4, ra=5, rb=6, rd=7)
    assert (kw.next_pc, kw.rd) == (2, 7)


BASE = dict(opcode=1, next_pc=2, handler=FALL, vx=0, vy=0, ra=0, rb=0, rd=0)


@pytest.mark.parametrize("changes,exc,message", [
    (dict(vx=-1, opcode="x"), OverflowError, "can't convert negative value to uint64_t"),
    (dict(vy=1 << 64, handler=None), OverflowError, None),
    (dict(ra=256, opcode=True), OverflowError, "value too large to convert to uint8_t"),
    (dict(rd=1.0), TypeError, "an integer is required"),
    (dict(opcode=True), TypeError, r"Argument 'opcode' has incorrect type \(expected int, got bool\)"),
    (dict(next_pc=2.0, handler=None), TypeError, "Argument 'next_pc' has incorrect type"),
    (dict(handler=None), TypeError, f"Argument 'handler' has incorrect type \\(expected {ENTRY}, got NoneType\\)"),
    (dict(opcode=1 << 31), OverflowError, "value too large to convert to int"),
    (dict(opcode=-(1 << 31) - 1), OverflowError, "value too large to convert to int"),
    (dict(next_pc=-1), OverflowError, "can't convert negative value to uint32_t"),
])
def test_compiled_instruction_checks_in_order(changes, exc, message):
    with pytest.raises(exc, match=message):
        CI(**{**BASE, **changes})


def test_subclass_of_int_gets_a_note_and_failed_next_pc_keeps_opcode():
    with pytest.raises(TypeError) as info:
        CI(**{**BASE, "opcode": True})
    assert info.value.__notes__
    c = CI.__new__(CI)
    with pytest.raises(OverflowError):
        c.__init__(**{**BASE, "opcode": 7, "next_pc": 1 << 32})
    assert (c.opcode, c.next_pc, c.handler) == (7, 0, None)


@pytest.mark.parametrize("args,kwargs", [((), {}), ((1,) * 7, {}), ((1,) * 9, {}), ((1,), BASE),
                                         ((), {**BASE, "extra": 1})])
def test_compiled_instruction_argument_counts(args, kwargs):
    with pytest.raises(TypeError):
        CI(*args, **kwargs)


@pytest.mark.parametrize("name,value,exc,message", [
    ("opcode", 1 << 40, OverflowError, "value too large to convert to int"),
    ("next_pc", 1 << 32, OverflowError, "value too large to convert to uint32_t"),
    ("ra", -1, OverflowError, "can't convert negative value to uint8_t"),
    ("rb", "1", TypeError, "an integer is required"),
    ("vx", -2, OverflowError, "can't convert negative value to uint64_t"),
    ("handler", 3, TypeError, f"Cannot convert int to {ENTRY}"),
])
def test_compiled_instruction_setters_keep_old_value(name, value, exc, message):
    c = ci(FALL, 9, ra=1, rb=1, vx=1)
    old = getattr(c, name)
    with pytest.raises(exc, match=message):
        setattr(c, name, value)
    assert getattr(c, name) == old


def test_compiled_instruction_deletion():
    c = ci(FALL, 9)
    for name in ("opcode", "next_pc", "vx", "vy", "ra", "rb", "rd"):
        with pytest.raises(NotImplementedError, match="__del__"):
            delattr(c, name)
    del c.handler
    assert c.handler is None

    class Entry(CyTableEntry):
        pass

    c.handler = e = Entry()
    assert c.handler is e


# ----- CyBlockInfo ------------------------------------------------------------------------

def test_block_info_construction():
    items = [ci(FALL, 1)]
    b = CyBlockInfo(7, items)
    assert b.total_gas == 7 and b.instructions is items
    assert CyBlockInfo.__new__(CyBlockInfo).instructions is None
    assert CyBlockInfo.__doc__.endswith("\n\nCompiled basic block with pre-decoded instructions.")
    assert CyBlockInfo(total_gas=1, instructions=[]).total_gas == 1


class ListSub(list):
    pass


@pytest.mark.parametrize("args,exc,message,note", [
    ((-1, []), OverflowError, "can't convert negative value to uint32_t", False),
    ((1, ListSub()), TypeError, r"Argument 'instructions' has incorrect type \(expected list, got ListSub\)", True),
    ((1, None), TypeError, r"\(expected list, got NoneType\)", False),
    ((1, ()), TypeError, r"\(expected list, got tuple\)", False),
    ((1,), TypeError, None, False),
])
def test_block_info_argument_errors(args, exc, message, note):
    with pytest.raises(exc, match=message) as info:
        CyBlockInfo(*args)
    assert bool(getattr(info.value, "__notes__", None)) == note


def test_block_info_setters():
    b = CyBlockInfo(1, [])
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        b.instructions = ()
    with pytest.raises(NotImplementedError):
        del b.total_gas
    del b.instructions
    assert b.instructions is None


# ----- pickling ----------------------------------------------------------------------------

class Tagged(CI):
    pass


def test_pickling_forms_and_round_trips():
    c = CI(3, 4, FALL, 5, 6, 7, 8, 9)
    c.handler = None
    fn, args = c.__reduce__()
    assert fn is vm_block._reconstruct_CyCompiledInstruction
    assert args == (CI, 0x8AA3521, (None, 4, 3, 7, 8, 9, 5, 6))
    back = pickle.loads(pickle.dumps(c))
    assert (back.opcode, back.next_pc, back.vx, back.vy, back.ra, back.rb, back.rd) == (3, 4, 5, 6, 7, 8, 9)
    c.handler = FALL
    assert c.__reduce__()[1] == (CI, 0x8AA3521, None)
    for obj in (c, CyBlockInfo(1, [c])):
        with pytest.raises(TypeError, match=NO_PICKLE):
            pickle.dumps(obj)

    t = Tagged(1, 2, FALL, 0, 0, 0, 0, 0)  # a subclass's __dict__ travels
    t.handler = None
    t.note = "x"
    state = t.__reduce__()[2]
    assert len(state) == 9 and state[8] == {"note": "x"}
    back = pickle.loads(pickle.dumps(t))
    assert type(back) is Tagged and back.note == "x" and back.next_pc == 2

    b = CyBlockInfo(5, [])
    assert b.__reduce__()[1] == (CyBlockInfo, 0x9CD97A4, None)
    back = pickle.loads(pickle.dumps(b))
    assert back.total_gas == 5 and back.instructions == []
    empty = CyBlockInfo.__new__(CyBlockInfo)
    assert empty.__reduce__()[1] == (CyBlockInfo, 0x9CD97A4, (None, 0))


@pytest.mark.parametrize("recon,good,members", [
    (vm_block._reconstruct_CyCompiledInstruction, (0x8AA3521, 0x6E5C108, 0x7387600),
     "handler, next_pc, opcode, ra, rb, rd, vx, vy"),
    (vm_block._reconstruct_CyBlockInfo, (0x9CD97A4, 0x52A8BE9, 0x9033FEF), "instructions, total_gas"),
])
def test_reconstructor_checksums(recon, good, members):
    cls = CI if "Compiled" in recon.__name__ else CyBlockInfo
    for checksum in good:
        assert type(recon(cls, checksum, None)) is cls
    with pytest.raises(pickle.PickleError) as info:
        recon(cls, 0x123, None)
    expected = "Incompatible checksums (0x123 vs (%s) = (%s))" % (", ".join(hex(g) for g in good), members)
    assert str(info.value) == expected


@pytest.mark.parametrize("obj,state,exc", [
    (CI.__new__(CI), (None, 1, 2), TypeError),
    (CyBlockInfo.__new__(CyBlockInfo), ([],), TypeError),
    (CyBlockInfo.__new__(CyBlockInfo), None, TypeError),
    (CyBlockInfo.__new__(CyBlockInfo), [[], 1], TypeError),
    (CyBlockInfo.__new__(CyBlockInfo), ((), 1), TypeError),
    (CI.__new__(CI), (5, 1, 2, 3, 4, 5, 6, 7), TypeError),
    (CyBlockInfo.__new__(CyBlockInfo), ([], 1, {"a": 1}), AttributeError),
])
def test_bad_states_are_refused(obj, state, exc):
    with pytest.raises(exc):
        obj.__setstate__(state)


# ----- execute ------------------------------------------------------------------------------

@pytest.mark.parametrize("terminating,instructions,pc,gas,result,printed", [
    (True, [], 17, 4, (17, 4), WARNING),  # an empty block returns its start
    (True, [ci(FALL, 11), ci(TRAP, 12), ci(TRAP, 13)], 0, 30, (11, 30), ""),
    (False, [ci(FALL, 3), ci(FALL, 5), ci(FALL, 8)], 1, 3, (8, 3), WARNING),  # ran off the end
])
def test_execute_returns_next_pc_and_gas(terminating, instructions, pc, gas, result, printed, capsys):
    FALL.is_terminating = terminating
    try:
        assert run(instructions, pc=pc, gas=gas) == result
    finally:
        FALL.is_terminating = True
    assert capsys.readouterr().out == printed


def test_exit_is_annotated_with_next_pc_and_started_count(fall_continues):
    with pytest.raises(PvmExit) as info:
        run([ci(FALL, 3), ci(FALL, 5), ci(TRAP, 8, opcode=0), ci(FALL, 9)])
    assert (info.value.args, info.value.next_pc, info.value.gas_cost) == ((1,), 8, 3)


def test_is_terminating_is_read_live():
    block = CyBlockInfo(2, [ci(FALL, 1), ci(TRAP, 2)])
    assert run(block) == (1, 2)
    FALL.is_terminating = False
    try:
        with pytest.raises(PvmExit) as info:
            run(block)
    finally:
        FALL.is_terminating = True
    assert info.value.gas_cost == 2


@pytest.mark.parametrize("element,exc,message", [
    (5, TypeError, f"Cannot convert int to {COMPILED}"),
    (None, TypeError, "instruction 1 of the block is None"),
    (CI.__new__(CI), TypeError, "instruction 1 of the block has no handler entry"),
    (ci(CyTableEntry(), 4), TypeError, "instruction 1 of the block has an entry without a handler function"),
])
def test_bad_elements_are_refused_after_earlier_ones_ran(fall_continues, element, exc, message):
    with pytest.raises(exc, match=message):
        run([ci(FALL, 1), element])


def test_instructions_none_is_refused():
    with pytest.raises(TypeError, match="object of type 'NoneType' has no len()"):
        run(CyBlockInfo.__new__(CyBlockInfo))


def test_subclasses_run():
    class Block(CyBlockInfo):
        pass

    assert run(Block(3, [Tagged(1, 6, FALL, 0, 0, 0, 0, 0)])) == (6, 3)


def test_warning_uses_the_print_seen_at_import(monkeypatch, capsys):
    def broken(*args, **kwargs):
        raise AssertionError("replaced print was called")

    monkeypatch.setattr(builtins, "print", broken)
    assert run([], pc=2) == (2, 9)
    assert capsys.readouterr().out == WARNING


def test_print_failure_leaves_execute(monkeypatch):
    class Closed:
        def write(self, text):
            raise OSError("stdout is gone")

    monkeypatch.setattr(sys, "stdout", Closed())
    with pytest.raises(OSError, match="stdout is gone"):
        run([])


# ----- the bridges --------------------------------------------------------------------------

@pytest.mark.parametrize("registers,exc", [
    (b"\0" * 104, TypeError), (bytearray(104), TypeError), ([0] * 13, TypeError),
    (array("d", [0] * 13), TypeError), (array("I", [0] * 26), TypeError),
    (array("Q", [0] * 12), ValueError), (memoryview(array("Q", [0] * 26))[::2], TypeError),
    (memoryview(array("Q", [0] * 13)).toreadonly(), TypeError),
    (memoryview(bytearray(112))[1:105].cast("Q"), ValueError),
])
def test_bad_register_buffers_are_refused_before_anything_runs(registers, exc):
    with pytest.raises(exc):
        run([ci(TRAP, 1)], registers=registers)
    with pytest.raises(exc):
        call_handler(TRAP, PROGRAM, registers, CyMemory(), 0, 0, 0, 0, 0, 0)


@pytest.mark.parametrize("registers", [array("Q", [0] * 13), array("L", [0] * 20),
                                       memoryview(bytearray(104)).cast("Q")])
def test_register_buffers_accepted(registers):
    assert run([ci(FALL, 4)], registers=registers) == (4, 9)


def test_call_handler_refuses_an_empty_entry():
    with pytest.raises(TypeError, match="no handler function"):
        call_handler(CyTableEntry(), PROGRAM, regs(), CyMemory(), 0, 0, 0, 0, 0, 0)


# ----- Python code reached from a handler ---------------------------------------------------
# A load calls the memory's `read`, which runs a Python subclass's override in
# the middle of the block; the override can change the block under execute.

def two_reg_imm_table():
    return CyInstructionsWArgs2Reg1Imm().get_table()


class HookMemory(CyMemory):
    hook = None

    def read(self, address, length):
        self.hook()
        return bytes(length)


def load(table, next_pc):
    return CI(124, next_pc, table[124], 0x1000, 0, 1, 2, 0)  # load_ind_u8 r1 <- [r2 + 0x1000]


def test_running_element_dropped_by_a_handler_stays_alive():
    table = two_reg_imm_table()
    block = CyBlockInfo(3, [load(table, 2), ci(TRAP, 7)])
    memory = HookMemory()

    def drop():
        block.instructions[0] = None
        block.instructions[1].handler = None  # seen when element 1 runs
        block.instructions = None

    memory.hook = drop
    with pytest.raises(TypeError, match="instruction 1 of the block has no handler entry"):
        run(block, memory=memory)


def test_other_handler_exceptions_pass_unchanged_and_exits_keep_register_changes():
    table = two_reg_imm_table()
    memory = HookMemory()

    def fail():
        raise ValueError("from read")

    memory.hook = fail
    with pytest.raises(ValueError, match="from read") as info:
        run([load(table, 2), ci(TRAP, 3)], memory=memory)
    assert not hasattr(info.value, "next_pc") and not hasattr(info.value, "gas_cost")

    memory.hook = lambda: None
    registers = regs(0, 0xDEAD)
    with pytest.raises(PvmExit) as info:
        run([load(table, 2), ci(TRAP, 3)], registers=registers, memory=memory)
    assert registers[1] == 0 and (info.value.next_pc, info.value.gas_cost) == (3, 2)
    with pytest.raises(PvmExit) as info:  # a real page fault from a plain memory
        run([load(table, 2), ci(TRAP, 3)])
    assert (info.value.args, info.value.next_pc, info.value.gas_cost) == ((2, 0x1000), 2, 1)
