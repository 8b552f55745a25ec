"""Looking inside a run: breakpoints and step limits that a run resumes from
exactly, instruction records, and the gas profile's accounting."""

import random
from array import array
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from pvmtest import regs
from qorvel_pvm import CyMemory, Interpreter, run
from qorvel_pvm.asm import assemble, decode_blob, disassemble_at
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.trace import InstructionRecord, MemoryAccess, end_record
from test_host_differential import Host, _adapt_host, host_programs, memory_state, new_memory

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
STOPS = {5: "breakpoint", 6: "step"}


def resumed(blob, registers, gas, stops, host_factory=Host):
    """Runs `blob` to its end through the low-level run, stopping where
    `stops(pcs)` says (breakpoints and a step limit for each run) and
    resuming from each stop; the end, the registers, the memory and the
    calls the handler saw."""
    it = vm_interpreter.Interpreter(CyProgram(blob))
    pcs = CyProgram(blob).instruction_set
    r, mem, host = array("Q", registers), new_memory(), host_factory()
    pc, runs = 0, 0
    while True:
        breakpoints, max_steps = stops(pcs)
        try:
            res = it.run(r, mem, pc, gas, None, _adapt_host(host), breakpoints=breakpoints, max_steps=max_steps)
        except Exception as exc:  # noqa: BLE001 - compared by the caller
            res = (type(exc), str(exc))
        runs += 1
        if res[0] not in STOPS:
            return (res, list(r), memory_state(mem), host.calls), runs
        _, pc, gas, _, _ = res
        assert runs < 100_000


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(host_programs(), st.integers(0, 2**32))
def test_stopping_anywhere_and_resuming_equals_an_uninterrupted_run(case, seed):
    blob, registers, gas = case
    rnd = random.Random(seed)
    whole, _ = resumed(blob, registers, gas, lambda pcs: (None, None))
    stopped, runs = resumed(blob, registers, gas, lambda pcs: (
        set(rnd.sample(pcs, min(len(pcs), rnd.randrange(3)))), rnd.choice([None, 1, 1, 2, 3, 7])))
    assert stopped == whole
    # Every instruction recorded, with the same end.
    records = []
    it = vm_interpreter.Interpreter(CyProgram(blob))
    r, mem, host = array("Q", registers), new_memory(), Host()
    try:
        res = it.run(r, mem, 0, gas, None, _adapt_host(host), trace_instructions=records.append)
    except Exception as exc:  # noqa: BLE001
        res = (type(exc), str(exc))
    assert (res, list(r), memory_state(mem), host.calls) == whole


COUNTDOWN = assemble("""
    load_imm r1, 3
    fallthrough
loop:
    add_imm_64 r1, r1, -1
    add_imm_64 r2, r2, 10
    branch_ne_imm r1, 0, loop
    load_imm_jump_ind r0, r12, 0, -0x10000
""")  # pcs 0, 3 | loop: 4, 7, 10 | 13


@pytest.mark.parametrize("kwargs, status, pc, gas", [
    ({"breakpoints": {7}}, "breakpoint", 7, 100 - 2 - 3 + 2),        # inside the loop block: 2 not started
    ({"breakpoints": {4}}, "breakpoint", 4, 100 - 2),                # a block start, not yet charged
    ({"breakpoints": {0}}, "halt", 13, 100 - 2 - 9 - 1),             # the first pc does not stop the run
    ({"max_steps": 0}, "step", 0, 100),
    ({"max_steps": 1}, "step", 3, 100 - 2 + 1),
    ({"max_steps": 3}, "step", 7, 100 - 2 - 3 + 2),
    ({"max_steps": 5}, "step", 4, 100 - 2 - 3),                      # a whole block, the next not charged
    ({"max_steps": 1000}, "halt", 13, 100 - 2 - 9 - 1),
    ({"breakpoints": [13, 10], "max_steps": 3}, "step", 7, 100 - 2 - 3 + 2),
])
def test_where_stops_fall_and_what_they_give_back(kwargs, status, pc, gas):
    r = run(COUNTDOWN, gas=100, **kwargs)
    assert (r.status, r.pc, r.gas) == (status, pc, gas)


def test_a_breakpoint_stops_each_time_its_pc_comes_round():
    it, pcs = Interpreter(COUNTDOWN), []
    r = it.run(gas=100, breakpoints={10})
    while r.status == "breakpoint":
        pcs.append((r.pc, r.registers[1]))
        r = it.run(registers=r.registers, pc=r.pc, gas=r.gas, breakpoints={10})
    assert pcs == [(10, 2), (10, 1), (10, 0)] and (r.status, r.gas) == ("halt", 100 - 12)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"breakpoints": 5}, TypeError, "iterable of pcs"),
    ({"breakpoints": ["1"]}, TypeError, "a breakpoint must be an int"),
    ({"breakpoints": [2**32]}, ValueError, "between 0 and 4294967295"),
    ({"max_steps": -1}, ValueError, "max_steps must be between 0"),
    ({"max_steps": 1.0}, TypeError, "max_steps must be an int"),
    ({"trace_instructions": 3}, TypeError, "trace_instructions must be callable"),
])
def test_bad_debugging_arguments_are_refused(kwargs, error, message):
    with pytest.raises(error, match=message):
        run(COUNTDOWN, **kwargs)


def test_records_of_the_heap_example():
    """The first block and the start of the walk, checked by hand."""
    records = []
    memory = CyMemory.from_pc(b"", b"", b"", 16, 0x10000, heap=0x30000)
    r = run(assemble((EXAMPLES / "heap.pvmasm").read_text()), memory=memory, gas=100_000,
            trace_instructions=records.append)
    assert r.status == "halt" and len(records) == 3 + 3 + 5 * 511 + 1 + 3 + 4 * 512 + 2
    first = records[:4]
    assert first == [
        InstructionRecord(0, "and_imm r6, r6, 0", 100_000 - 6, {6: 0}),
        InstructionRecord(2, "add_imm_64 r5, r6, 8192", 100_000 - 6, {5: 8192}),
        InstructionRecord(6, "sbrk r0, r5", 100_000 - 6, {0: 0x30000}),
        InstructionRecord(8, "move_reg r2, r0", 100_000 - 6, {2: 0x30000}),
    ]
    store = records[7]  # store_ind_u64 r3, r2, 0 in the first round of `build`
    assert (store.instruction, store.registers, store.memory) == (
        "store_ind_u64 r3, r2, 0", {}, (MemoryAccess("write", 0x30000, (0x30010).to_bytes(8, "little")),))
    load = next(rec for rec in records if rec.instruction.startswith("load_ind_u64"))
    assert (load.registers, load.memory) == ({2: 0x30010}, (MemoryAccess("read", 0x30000, load.memory[0].data),))
    assert records[-1].instruction.startswith("load_imm_jump_ind") and records[-1].registers == {6: 0}
    assert end_record(r) == {"end": "halt", "pc": records[-1].pc, "gas": r.gas, "fault_address": None,
                             "host_call": None}


def test_an_exit_is_recorded_and_a_callback_error_ends_the_run():
    records = []
    blob = assemble("add_imm_64 r1, r1, 7\nstore_u8 r1, 0x50000\nadd_imm_64 r1, r1, 1\ntrap")
    r = run(blob, gas=10, trace_instructions=records.append)
    assert (r.status, r.fault_address) == ("page-fault", 0x50000)
    assert [(rec.pc, rec.registers, rec.memory) for rec in records] == [(0, {1: 7}, ()), (3, {}, ())]

    def stop(record):
        raise RuntimeError("seen enough")

    with pytest.raises(RuntimeError, match="seen enough"):
        run(blob, gas=10, trace_instructions=stop)


CALLS = assemble("""
.jumptable main_f, main_g, f_back
main:
    load_imm r7, 3
    load_imm_jump r0, 2, f          ; f(3)
main_f:
    load_imm r0, 4
    jump g                          ; a call by load_imm + jump
main_g:
    load_imm_jump_ind r0, r12, 0, -0x10000

f:                                  ; f(n): f(n - 1) unless n is 0
    add_imm_64 r1, r1, -8
    store_ind_u64 r0, r1, 0
    branch_eq_imm r7, 0, f_done
    add_imm_64 r7, r7, -1
    load_imm_jump r0, 6, f
f_back:
    fallthrough
f_done:
    load_ind_u64 r0, r1, 0
    add_imm_64 r1, r1, 8
    jump_ind r0, 0

g:
    add_imm_64 r9, r9, 1
    jump_ind r0, 0
""")


def pc_of(blob, text):
    parts = decode_blob(blob)
    return next(pc for pc in parts.starts() if disassemble_at(parts.code, parts.bitmask, pc)[0] == text)


@pytest.mark.parametrize("native", [True, False])
def test_profile_follows_nested_and_recursive_calls(native):
    previous = vm_interpreter._set_native_loop(native)
    try:
        memory = CyMemory.from_pc(b"", b"", b"", 0, 4096)
        r = run(CALLS, memory=memory, registers=regs(0, 0xFEFE0000), gas=1000, profile=True)
    finally:
        vm_interpreter._set_native_loop(previous)
    p = r.profile
    assert r.status == "halt" and sum(b.gas for b in p.blocks) == p.total == 1000 - r.gas
    f, g = pc_of(CALLS, "add_imm_64 r1, r1, -8"), pc_of(CALLS, "add_imm_64 r9, r9, 1")
    # main -> f -> f -> f -> f (n = 3, 2, 1, 0), main -> g; each context entered once
    contexts = {p.stack(n.index): (n.gas, n.calls) for n in p.nodes}
    assert contexts == {
        (0,): (2 + 2 + 1, 1),  # main's three blocks
        (0, f): (9, 1), (0, f, f): (9, 1), (0, f, f, f): (9, 1),  # entry, call, the block after it
        (0, f, f, f, f): (3 + 3, 1),  # the innermost f's entry and done blocks
        (0, g): (2, 1),
    }


def test_profile_totals_with_host_charges_and_stops():
    blob = assemble("add_imm_64 r1, r1, 1\necalli 3\nadd_imm_64 r1, r1, 1\necalli 4\nadd_imm_64 r1, r1, 1\ntrap")
    for host in (lambda c, r, m: 10, None):
        r = run(blob, gas=100, host=host, profile=True)
        assert sum(b.gas for b in r.profile.blocks) == r.profile.total == 100 - r.gas
