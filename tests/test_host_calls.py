"""Host calls (ecalli) with and without a handler, and how exits are charged
and reported: no gas back for an exit inside a block, the page-fault address
at the first refused page."""

from array import array

import pytest

from qorvel_pvm import CyMemory, HostExit, Interpreter, PvmExit, run
from qorvel_pvm.asm import assemble
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.instructions.tables import ops_one_imm
from qorvel_pvm.cpvm.instructions.tables.ops_one_imm import InstructionsWArgs1Imm
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import EXIT_HOST_CALL

from pvmtest import build_blob, check_group_class, regs

# One block of six instructions with two host calls inside it:
#   0 add_imm_64 r1, r1, 5 | 3 ecalli 7 | 5 add_imm_64 r1, r1, 1 |
#   8 ecalli 0xffffffff | 13 load_ind_u8 r3, r2, 0 | 15 trap
PROGRAM = assemble("""
    add_imm_64 r1, r1, 5
    .insn 0x0a, 0x07
    add_imm_64 r1, r1, 1
    .insn 0x0a, 0xff, 0xff, 0xff, 0xff
    load_ind_u8 r3, r2, 0
    trap
""")
DATA = 0x20000


def data_memory() -> CyMemory:
    return CyMemory.from_pc(b"", b"\x09", b"", 0, 0)  # page 0x20 writable, holding 9


def test_group_class():
    table = check_group_class(ops_one_imm, InstructionsWArgs1Imm, [10])
    assert (table[10].gas_cost, table[10].is_terminating) == (1, False)
    entry = table[10]
    with pytest.raises(PvmExit) as e:
        vm_interpreter.call_handler(entry, CyProgram(PROGRAM), regs(), CyMemory(), 3, 2**64 - 2, 0, 0, 0, 0)
    assert e.value.args == (EXIT_HOST_CALL, 0xFFFFFFFE) == (4, 0xFFFFFFFE)


def run_without_handler(gas):
    """Runs PROGRAM to its end, resuming after every host stop."""
    calls, pc, registers, memory = [], 0, [0] * 13, data_memory()
    registers[2] = DATA
    while True:
        r = run(PROGRAM, registers=registers, memory=memory, pc=pc, gas=gas)
        if r.status != "host":
            return r, calls
        calls.append((r.host_call, r.pc, r.gas))
        pc, registers, gas = r.pc, r.registers, r.gas


@pytest.mark.parametrize("gas", [6, 100])
def test_stopping_and_resuming_charges_what_an_uninterrupted_run_does(gas):
    end, calls = run_without_handler(gas)
    # Each stop gives back the instructions after the call: 6 - 2 and 6 - 4.
    assert calls == [(7, 5, gas - 2), (0xFFFFFFFF, 13, gas - 4)]
    seen = []
    handled = run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), gas=gas,
                  host=lambda call, r, m: seen.append(call))
    assert seen == [7, 0xFFFFFFFF]
    assert (end.status, end.pc, end.gas, end.registers) == ("panic", 15, gas - 6, [0, 6, DATA, 9] + [0] * 9)
    assert (handled.status, handled.pc, handled.gas, handled.registers) == (end.status, end.pc, end.gas,
                                                                           end.registers)


def test_any_pc_starts_a_run_also_inside_a_block():
    it = Interpreter(PROGRAM)
    r = it.run(pc=5, gas=3)  # add_imm_64, ecalli: 4 instructions left in the block, 3 gas
    assert (r.status, r.pc, r.gas) == ("out-of-gas", 5, 3)
    r = it.run(pc=5, gas=4, registers=regs(0, 0, DATA), memory=data_memory())
    assert (r.status, r.pc, r.gas, r.host_call) == ("host", 13, 2, 0xFFFFFFFF)


@pytest.mark.parametrize("code, index", [
    (b"\x0a", 0),                          # no immediate bytes
    (b"\x0a\x80", 0xFFFFFF80),             # one byte, sign-extended
    (b"\x0a\x34\x12", 0x1234),
    (b"\x0a\x01\x02\x03\x04\x05\x06", 0x04030201),  # at most four bytes count
])
def test_ecalli_index_decoding(code, index):
    blob = build_blob(code + b"\x00", [0, len(code)])
    r = run(blob, gas=10)
    assert (r.status, r.host_call, r.pc, r.gas) == ("host", index, len(code), 9)
    assert vm_interpreter.decode(InstructionsWArgs1Imm(), 0, CyProgram(blob), len(code) - 1)[0] == (
        index if index < 0x80000000 else index | 0xFFFFFFFF00000000)


def test_handler_sees_and_changes_registers_and_memory():
    def host(call, registers, memory):
        if call == 7:
            assert isinstance(registers, array) and len(registers) == 13 and registers[1] == 5
            registers[1] = 100
            memory.write(DATA, b"\x2a")
            with pytest.raises(BufferError):
                registers.append(0)  # the run's array cannot change its length

    r = run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), gas=100, host=host)
    assert r.registers[1] == 101 and r.registers[3] == 42


@pytest.mark.parametrize("charge, status, pc, gas", [
    (0, "panic", 15, 94),
    (10, "panic", 15, 74),            # charged at both calls
    (47, "panic", 15, 0),             # both fit exactly
    (48, "out-of-gas", 13, 0),        # the first charge fits, the second does not
    (1 << 80, "out-of-gas", 5, 0),
])
def test_handler_charges_gas(charge, status, pc, gas):
    r = run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), gas=100, host=lambda *a: charge)
    assert (r.status, r.pc, r.gas) == (status, pc, gas)


@pytest.mark.parametrize("status", ["halt", "panic"])
def test_handler_ends_the_run(status):
    def host(call, registers, memory):
        registers[4] = 4
        raise HostExit(status)

    r = run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), gas=100, host=host)
    assert (r.status, r.pc, r.gas, r.registers[4], r.host_call) == (status, 5, 94, 4, None)


@pytest.mark.parametrize("reply, error", [
    (-1, ValueError), ("1", TypeError), (True, TypeError), (1.0, TypeError),
])
def test_bad_handler_replies_are_errors(reply, error):
    with pytest.raises(error):
        run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), host=lambda *a: reply)


def test_host_exit_takes_only_halt_or_panic():
    with pytest.raises(ValueError, match="halt"):
        HostExit("page-fault")


def test_handler_exception_propagates_with_registers_written_back():
    def host(call, registers, memory):
        registers[5] = 55
        raise KeyError("no such host function")

    registers = regs()
    with pytest.raises(KeyError):
        vm_interpreter.Interpreter(CyProgram(PROGRAM)).run(registers, data_memory(), 0, 100, None, host)
    assert registers[1] == 5 and registers[5] == 55


def test_trace_sees_the_rest_of_the_block_after_a_host_call():
    starts = []
    run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), gas=100, host=lambda *a: None,
        trace=lambda start, block, registers: starts.append(start))
    assert starts == []  # the block ends in a trap: no block ran to its end
    blob = assemble("add_imm_64 r1, r1, 1\n.insn 0x0a, 0x01\nfallthrough\ntrap")
    run(blob, gas=100, host=lambda *a: None, trace=lambda start, block, registers: starts.append(start))
    assert starts == [5]


@pytest.mark.parametrize("src, fault", [
    ("add_imm_64 r1, r0, 0x20fff\nstore_ind_u16 r1, r1, 0", 0x21000),   # second page not writable
    ("add_imm_64 r1, r0, 0x21001\nload_ind_u32 r2, r1, 0", 0x21000),    # first page not readable
    ("add_imm_64 r1, r0, 0x10ffe\nstore_ind_u8 r1, r1, 0", 0x10000),    # read-only page
    ("add_imm_64 r1, r0, 0x1ffff\nload_ind_u16 r2, r1, 0", 0x1f000),    # both pages refused: the first
    ("add_imm_64 r1, r0, -4\nload_ind_u64 r2, r1, 0", 0),               # past the readable top page: the
                                                                         # page past it, at 2**32 mod 2**32
    ("add_imm_64 r1, r0, -4\nstore_ind_u64 r1, r1, 0", 0xFFFFF000),     # the top page refuses first
    ("add_imm_64 r1, r0, 0x20ffc\nload_ind_u64 r2, r1, 0", 0x21000),
])
def test_fault_address_is_the_first_refused_page_and_the_block_stays_charged(src, fault):
    memory = CyMemory({}, [0x10, 0xFFFFF], [0x20])  # 0x10 and the top page read-only, 0x20 writable
    blob = assemble(src + "\nadd_imm_64 r3, r3, 1\ntrap")
    r = run(blob, memory=memory, gas=10)
    assert (r.status, r.fault_address, r.gas, r.registers[3]) == ("page-fault", fault, 6, 0)


def test_memory_keeps_the_access_address_in_its_exit():
    memory = CyMemory.from_pc(b"", b"", b"", 1, 0)
    with pytest.raises(PvmExit) as e:
        memory.write(0x20FFF, b"\x01\x02")
    assert (e.value.code, e.value.address) == (2, 0x20FFF)


class Refusing(CyMemory):
    def read(self, address, length):
        raise PvmExit(2, address)  # refuses what the permission bits allow


def test_fault_address_falls_back_to_the_page_of_the_address():
    memory = Refusing.from_pc(b"", b"", b"", 1, 0)
    r = run(assemble("add_imm_64 r1, r0, 0x20ff0\nload_ind_u32 r2, r1, 0\ntrap"), memory=memory, gas=10)
    assert (r.status, r.fault_address) == ("page-fault", 0x20000)


def test_only_ecalli_makes_host_calls():
    """A memory override raising the host-call exit is not a host call: it
    propagates instead of being reported as one with the load skipped."""
    class Refusing(CyMemory):
        def read(self, address, length):
            raise PvmExit(EXIT_HOST_CALL, 99)

    blob = assemble("load_ind_u8 r3, r2, 0\ntrap")
    with pytest.raises(PvmExit) as e:
        run(blob, memory=Refusing(), gas=10)
    assert e.value.code == EXIT_HOST_CALL


@pytest.mark.parametrize("calls_before", [0, 1])
def test_ctrl_c_in_a_handler_notes_a_resumable_state(calls_before):
    """Ctrl-C while the handler runs (also one reached after an earlier
    handled call of the same block) notes the pc after the call and the gas
    with the rest of the block given back: resuming there, the total charged
    equals an uninterrupted run."""
    seen = []

    def host(call, registers, memory):
        seen.append(call)
        if len(seen) > calls_before:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as e:
        run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), gas=100, host=host)
    stop_pc = (5, 13)[calls_before]
    assert (e.value.pc, e.value.gas) == (stop_pc, 100 - (2, 4)[calls_before])
    rest = run(PROGRAM, registers=e.value.registers, memory=data_memory(), pc=e.value.pc, gas=e.value.gas,
               host=lambda *a: None)
    whole = run(PROGRAM, registers=regs(0, 0, DATA), memory=data_memory(), gas=100, host=lambda *a: None)
    assert (rest.status, rest.pc, rest.gas, rest.registers) == (whole.status, whole.pc, whole.gas, whole.registers)
