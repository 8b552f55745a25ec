"""The driver end to end: block compilation, caching, gas, exits and input checks."""

import signal
from array import array

import pytest

from qorvel_pvm import CyMemory, CyProgram, Interpreter, PvmExit, run
from qorvel_pvm.asm import assemble, decode_blob
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.vm_block import CyBlockInfo, CyCompiledInstruction
from qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm import CyInstructionsWArgs2Reg1Imm

HALT = "load_imm_jump_ind r0, r0, 0, -65536"  # djump to 0xFFFF0000


def outcome(result):
    return result.status, result.pc, result.gas


@pytest.mark.parametrize(
    "source,pc,expected",
    [
        ("trap", 0, ("panic", 0, 99)),
        ("fallthrough\ntrap", 0, ("panic", 1, 98)),
        ("fallthrough", 0, ("panic", 1, 98)),  # runs off the end of the code
        ("add_imm_64 r1, r1, 1\n.insn 240", 0, ("panic", 3, 98)),  # undefined opcode ends the block as trap
        (".insn 255\ntrap", 0, ("panic", 0, 99)),
        ("add_imm_64 r1, r1, 100\ntrap", 1, ("panic", 1, 99)),  # start inside an instruction
        ("trap", 5000, ("panic", 5000, 99)),  # far past the code
        (HALT, 0, ("halt", 0, 99)),
        ("add_imm_64 r1, r1, 1\n" + HALT, 0, ("halt", 3, 98)),
    ],
)
def test_exit_status_pc_and_gas(source, pc, expected):
    assert outcome(run(assemble(source), pc=pc, gas=100)) == expected


def test_taken_branch_to_a_non_block_start_panics_at_the_branch():
    src = """
        branch_eq_imm r1, 0, inside
        add_imm_64 r2, r2, 1
    inside:
        trap
    """
    # `inside` follows an ordinary instruction, so it is no block start
    r = run(assemble(src), gas=50)
    assert outcome(r) == ("panic", 0, 49)


def test_counted_loop_gas_and_registers():
    src = """
        add_imm_64 r1, r1, 10
        fallthrough
    loop:
        add_imm_64 r2, r2, 3
        add_imm_64 r1, r1, -1
        branch_ne_imm r1, 0, loop
    """ + HALT
    r = run(assemble(src), gas=1000)
    # a loop head must start a block, hence the fall-through before it
    assert r.status == "halt" and r.registers[1:3] == [0, 30]
    assert r.gas == 1000 - (2 + 10 * 3 + 1)


def test_out_of_gas_stops_at_a_block_boundary_with_gas_unchanged():
    src = """
    loop:
        add_imm_64 r2, r2, 1
        add_imm_64 r3, r3, 1
        jump loop
    """
    r = run(assemble(src), gas=7)
    # two blocks of 3 run; the third needs 3 with 1 left
    assert outcome(r) == ("out-of-gas", 0, 1)
    assert r.registers[2:4] == [2, 2]


def test_a_long_run_can_be_interrupted():
    class Stop(Exception):
        pass

    def stop(*_):
        raise Stop

    old = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(Stop):  # uninterrupted, this loop would take about a minute
            run(assemble("loop:\n    jump loop"), gas=4_000_000_000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_page_fault_keeps_earlier_changes_and_charges_the_whole_block():
    mem = CyMemory.from_pc(b"", b"", b"", 1, 0)  # page 0x20 writable
    src = """
        add_imm_64 r1, r0, 0x20000
        store_ind_u64 r1, r1, 0
        store_ind_u64 r1, r1, 0x1000
        add_imm_64 r2, r2, 1
        trap
    """
    blob = assemble(src)
    r = run(blob, memory=mem, gas=10)
    assert (r.status, r.fault_address) == ("page-fault", 0x21000)
    assert r.pc == decode_blob(blob).starts()[2] and r.gas == 5  # all five charged, none given back
    assert r.registers[1:3] == [0x20000, 0]
    assert mem.read(0x20000, 8) == (0x20000).to_bytes(8, "little")
    assert r.memory is mem


def test_blocks_are_compiled_once_and_reused():
    src = """
        add_imm_64 r1, r1, 5
        fallthrough
    loop:
        add_imm_64 r1, r1, -1
        branch_ne_imm r1, 0, loop
        trap
    """
    it = Interpreter(assemble(src))
    first = it.run(gas=100)
    assert it.cached_blocks == 3
    block = it.compile_block(0)
    assert isinstance(block, CyBlockInfo) and it.compile_block(0) is block
    second = it.run(gas=100)
    assert it.cached_blocks == 3 and outcome(first) == outcome(second)
    assert [i.opcode for i in block.instructions] == [149, 1]
    assert block.total_gas == 2


def test_compiled_block_is_live_for_the_shared_entry_flags():
    it = Interpreter(assemble("fallthrough\nadd_imm_64 r1, r1, 7\ntrap"))
    block = it.compile_block(0)
    assert [i.opcode for i in block.instructions] == [1]
    assert block.instructions[0].next_pc == 1


def test_trace_sees_each_block_and_current_registers():
    seen = []
    src = "add_imm_64 r1, r1, 2\nfallthrough\nadd_imm_64 r1, r1, 3\n" + HALT
    Interpreter(assemble(src)).run(gas=100, trace=lambda pc, block, regs: seen.append((pc, regs[1])))
    assert seen == [(0, 2)]  # the halting block exits before its trace


def test_trace_exception_propagates():
    def boom(*_):
        raise KeyError("stop")

    with pytest.raises(KeyError):
        Interpreter(assemble("fallthrough\ntrap")).run(gas=10, trace=boom)


class FaultyMemory(CyMemory):
    def read(self, address, length):
        raise ValueError("not today")


class ForeignExit(CyMemory):
    def read(self, address, length):
        raise PvmExit(7)


@pytest.mark.parametrize("memory_class,exc", [(FaultyMemory, ValueError), (ForeignExit, PvmExit)])
def test_errors_that_are_not_run_statuses_propagate(memory_class, exc):
    mem = memory_class.from_pc(b"", b"", b"", 1, 0)
    with pytest.raises(exc):
        run(assemble("add_imm_64 r1, r0, 0x20000\nload_ind_u8 r2, r1, 0\ntrap"), memory=mem, gas=10)


@pytest.mark.parametrize(
    "kwargs,exc,text",
    [
        ({"registers": [0] * 12}, ValueError, "exactly 13"),
        ({"registers": [0] * 12 + [2**64]}, ValueError, "registers[12]"),
        ({"registers": [0] * 12 + [-1]}, ValueError, "registers[12]"),
        ({"registers": [0] * 12 + ["1"]}, TypeError, "registers[12] must be an int"),
        ({"registers": 5}, TypeError, "sequence"),
        ({"registers": {i: 100 + i for i in range(13)}}, TypeError, "sequence"),  # not its keys
        ({"registers": set(range(13))}, TypeError, "sequence"),
        ({"gas": -1}, ValueError, "gas"),
        ({"gas": 1.5}, TypeError, "gas"),
        ({"pc": 2**32}, ValueError, "pc"),
        ({"memory": {}}, TypeError, "CyMemory"),
    ],
)
def test_bad_input_is_refused_before_running(kwargs, exc, text):
    with pytest.raises(exc, match=text.replace("[", r"\[").replace("]", r"\]")):
        run(assemble("trap"), **kwargs)


def test_bad_programs_are_refused():
    with pytest.raises(TypeError, match="program"):
        run("trap")
    with pytest.raises(ValueError):
        run(b"\x05")
    assert run(CyProgram(assemble("trap"))).status == "panic"


def test_native_run_checks_its_arguments():
    it = vm_interpreter.Interpreter(CyProgram(assemble("trap")))
    with pytest.raises(ValueError, match="at least 13"):
        it.run(array("Q", [0] * 12), CyMemory(), 0, 10)
    with pytest.raises(TypeError):
        it.run(array("q", [0] * 13), CyMemory(), 0, 10)
    with pytest.raises(ValueError, match="negative"):
        it.run(array("Q", [0] * 13), CyMemory(), 0, -5)
    with pytest.raises(TypeError):
        vm_interpreter.Interpreter(b"trap")


def test_register_index_above_12_stays_inside_the_register_file():
    # Instructions built from Python may carry any uint8 register index.
    table = CyInstructionsWArgs2Reg1Imm().get_table()
    add = CyCompiledInstruction(149, 3, table[149], 7, 0, 200, 201, 0)
    block = CyBlockInfo(1, [add])
    regs = array("Q", range(13))
    prog = CyProgram(assemble("trap"))
    vm_interpreter.execute_block(block, prog, 0, regs, CyMemory())
    assert list(regs) == list(range(13))
    assert vm_interpreter.call_handler(table[149], prog, regs, CyMemory(), 0, 1, 0, 255, 250, 0) == 0xFFFFFFFF
    assert list(regs) == list(range(13))
