"""The driver's two run paths: the native run loop and the general path through
`CyBlockInfo.execute`.  Random programs over every opcode run both ways and
must agree on everything a caller can see; the cases the native loop must
leave to the general path are checked one by one."""

import gc
import importlib
import os
import pkgutil
import random
import sys
import threading
import time
from array import array

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from pvmtest import build_blob, on_engine, regs
from qorvel_pvm import Interpreter
from qorvel_pvm.asm import assemble
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.instructions import op_table, tables
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram


def _defined_opcodes():
    ops = set()
    for info in pkgutil.iter_modules(tables.__path__):
        mod = importlib.import_module(f"{tables.__name__}.{info.name}")
        for obj in vars(mod).values():
            if isinstance(obj, type) and issubclass(obj, op_table.CyTable) and obj is not op_table.CyTable:
                ops |= set(obj().get_table())
    return sorted(ops)


OPCODES = _defined_opcodes()
U64 = (1 << 64) - 1

# Addresses around the pages of the memory below: read-only data at
# 0x10000-0x11FFF, read-write data and heap at 0x30000-0x32FFF, the stack
# at 0xFEFDE000-0xFEFDFFFF, nothing at 0x20000 and 0x33000, and the top of
# the address space.
ADDRESSES = [0x10000, 0x10FFE, 0x11FFC, 0x20000, 0x30000, 0x30FFD, 0x31FF9, 0x32FFC, 0x33000,
             0xFEFDFFF8, 0xFEFDDFFC, 0xFFFFFFFE, 0xFFFF0000, 0]


def new_memory():
    return CyMemory.from_pc(bytes(range(256)) * 20, b"\x5a" * 100, b"", 2, 8192)


# The ways a run can go: the general path, the native loop, and (where it is
# supported) the block compiler from the first block on.
ENGINES = ["general", "native"] + (["compiler"] if vm_interpreter.engine() == "compiler" else [])


def run_both(blob, registers, gas, memory_factory=new_memory, pc=0):
    """Runs the program on each path with equal inputs; returns the outcomes,
    the general path's first."""
    outcomes = []
    for engine in ENGINES:
        with on_engine(engine):
            it = vm_interpreter.Interpreter(CyProgram(blob), jit=engine == "compiler")
            mem = memory_factory()
            r = array("Q", registers)
            try:
                res = it.run(r, mem, pc, gas)
            except Exception as exc:  # noqa: BLE001 - compared below
                res = (type(exc), str(exc))
            try:
                state = mem.__reduce__()
            except ValueError as exc:
                state = str(exc)
            outcomes.append((res, list(r), state, it.native_blocks))
    return outcomes


def assert_same(outcomes):
    (general, g_regs, g_mem, g_native), *others = outcomes
    assert g_native == 0
    for engine, (result, regs_, mem, _) in zip(ENGINES[1:], others):
        assert (engine, result, regs_, mem) == (engine, general, g_regs, g_mem)


@st.composite
def programs(draw):
    """Raw code: instructions of random opcodes (mostly defined ones) with
    random operand bytes, register nibbles kept small, a jump table into
    the code, registers that point near the interesting pages."""
    rnd = random.Random(draw(st.integers(0, 2**32)))
    n = draw(st.integers(1, 40))
    code = bytearray()
    starts = []
    for _ in range(n):
        starts.append(len(code))
        op = rnd.choice(OPCODES) if rnd.random() < 0.95 else rnd.randrange(256)
        code.append(op)
        size = rnd.choice([0, 1, 1, 2, 2, 2, 3, 3, 4, 5, 6, 7, 9, 10, 12])
        for k in range(size):
            if k == 0:
                code.append(rnd.randrange(13) | rnd.randrange(13) << 4)
            elif rnd.random() < 0.6:
                code.append(rnd.choice([0, 1, 2, 4, 8, 0xFF, 0xFC, 0x10, 0x20]))
            else:
                code.append(rnd.randrange(256))
    jumps = [rnd.choice(starts + [len(code), 1]) for _ in range(rnd.randrange(4))]
    registers = []
    for _ in range(13):
        kind = rnd.random()
        if kind < 0.5:
            registers.append((rnd.choice(ADDRESSES) + rnd.randrange(-8, 9)) & 0xFFFFFFFF)
        elif kind < 0.75:
            registers.append(rnd.randrange(8))
        else:
            registers.append(rnd.getrandbits(64))
    gas = draw(st.integers(0, 400))
    return build_blob(bytes(code), starts, jumps), registers, gas


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(programs())
def test_random_programs_agree_on_both_paths(case):
    blob, registers, gas = case
    assert_same(run_both(blob, registers, gas))


MEMORY_OPS = ["store_ind_u8", "store_ind_u16", "store_ind_u32", "store_ind_u64", "load_ind_u8", "load_ind_i8",
              "load_ind_u16", "load_ind_i16", "load_ind_u32", "load_ind_i32", "load_ind_u64"]


@st.composite
def memory_loops(draw):
    """A loop over a block of loads and stores through base registers that
    point near page boundaries, the bases moving a little each round: pages
    are created, read before and after they exist, and refused."""
    rnd = random.Random(draw(st.integers(0, 2**32)))
    lines = ["loop:"]
    for _ in range(rnd.randrange(1, 12)):
        op = rnd.choice(MEMORY_OPS)
        lines.append(f"    {op} r{rnd.randrange(1, 9)}, r{rnd.randrange(1, 9)}, {rnd.randrange(-9, 10)}")
    step = rnd.choice([1, 3, 8, 4093])
    lines += [f"    add_imm_64 r{k}, r{k}, {step}" for k in range(1, 9)]
    lines += ["    add_imm_64 r12, r12, -1", "    branch_ne_imm r12, 0, loop", "    trap"]
    registers = [0] + [(rnd.choice(ADDRESSES) + rnd.randrange(-12, 12)) & 0xFFFFFFFF for _ in range(8)]
    registers += [0, 0, 0, rnd.randrange(1, 6)]
    return assemble("\n".join(lines)), registers, draw(st.integers(0, 200))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(memory_loops())
def test_memory_loops_agree_on_both_paths(case):
    blob, registers, gas = case
    assert_same(run_both(blob, registers, gas))


@pytest.mark.parametrize("gas", range(0, 12))
def test_out_of_gas_at_every_block_boundary(gas):
    blob = assemble("""
        add_imm_64 r1, r1, 3
        add_imm_64 r2, r1, 0x30000
        store_ind_u64 r1, r2, 0
        load_ind_u64 r3, r2, 0
        branch_ne_imm r1, 12, 0
        trap
    """)
    outcomes = run_both(blob, [0] * 13, gas)
    assert_same(outcomes)


def test_native_loop_is_taken_for_plain_runs():
    blob = assemble("add_imm_64 r1, r1, 1\ntrap")
    it = vm_interpreter.Interpreter(CyProgram(blob))
    r = regs()
    assert it.run(r, new_memory(), 0, 100) == (1, 3, 98, None, None)
    assert it.native_blocks == 1 and r[1] == 1


def test_exit_rules():
    """The whole block is charged at its start; the fault address is the start
    of the first refused page of the access."""
    blob = assemble("""
        add_imm_64 r1, r0, 0x32FFE
        store_ind_u32 r1, r1, 0
        add_imm_64 r2, r2, 1
        trap
    """)
    it = vm_interpreter.Interpreter(CyProgram(blob))
    r = regs()
    status, pc, gas, fault, _ = it.run(r, new_memory(), 0, 10)
    assert (status, gas, fault) == (2, 6, 0x33000)
    assert pc == 5 and r[1] == 0x32FFE and r[2] == 0
    # An access that runs past the top of the address space faults; when the
    # pages below the top allow it, the first page it lacks is the one past
    # the top, whose address modulo 2**32 is 0.
    mem = CyMemory(allowed_read_pages=[0xFFFFF])
    it = vm_interpreter.Interpreter(CyProgram(assemble("load_ind_u32 r1, r2, 0\ntrap")))
    r = regs(0, 0, 0xFFFFFFFE)
    assert it.run(r, mem, 0, 10)[::3] == (2, 0) and r[1] == 0


class CountingMemory(CyMemory):
    def __init__(self, *a, **k):
        super().__init__(*a, **k)
        self.calls = 0

    def read(self, address, length):
        self.calls += 1
        return super().read(address, length)

    def write(self, address, data):
        self.calls += 1
        return super().write(address, data)


def test_memory_subclass_sees_every_access():
    blob = assemble("""
    loop:
        add_imm_64 r1, r1, -8
        store_ind_u64 r1, r1, 0x20100
        load_ind_u64 r2, r1, 0x20100
        branch_ne_imm r1, 0, loop
        trap
    """)
    mem = CountingMemory(allowed_write_pages=[0x20])
    it = vm_interpreter.Interpreter(CyProgram(blob))
    assert it.run(regs(0, 80), mem, 0, 1000)[0] == 1
    assert mem.calls == 20 and it.native_blocks == 0


def test_trace_and_exposed_blocks_take_the_general_path():
    blob = assemble("add_imm_64 r1, r1, 1\nadd_imm_64 r1, r1, 1\ntrap")
    it = vm_interpreter.Interpreter(CyProgram(blob))
    seen = []
    it.run(regs(), new_memory(), 0, 100, lambda pc, block, r: seen.append(pc))
    assert seen == [] and it.native_blocks == 0  # the block traps before the hook
    it = vm_interpreter.Interpreter(CyProgram(blob))
    it.run(regs(), new_memory(), 0, 100)
    assert it.native_blocks == 1
    block = it.compile_block(0)
    block.instructions[0].vx = 5  # honoured from now on
    r = regs()
    it.run(r, new_memory(), 0, 100)
    assert r[1] == 6


def test_changed_table_entry_is_honoured():
    from qorvel_pvm.cpvm.instructions.tables import ops_two_reg_imm

    entry = ops_two_reg_imm.CyInstructionsWArgs2Reg1Imm().get_table()[149]
    blob = assemble("add_imm_64 r1, r1, 1\ntrap")
    it = vm_interpreter.Interpreter(CyProgram(blob))
    assert it.run(regs(), new_memory(), 0, 100)[2] == 98
    entry.gas_cost = 5
    try:
        # The cached block keeps its total; the changed entry sends the run
        # down the general path, which is what decides.
        outcomes = run_both(blob, [0] * 13, 100)
        assert_same(outcomes)
        assert outcomes[1][3] == 0
    finally:
        entry.gas_cost = 1


def test_store_creates_pages_and_reads_see_changes_from_python():
    blob = assemble("""
        load_ind_u64 r2, r1, 0
        store_ind_u8 r2, r1, 0x1001
        trap
    """)
    mem = CyMemory(allowed_write_pages=[0x20, 0x21])
    it = vm_interpreter.Interpreter(CyProgram(blob))
    r = regs(0, 0x20000)
    it.run(r, mem, 0, 100)
    assert sorted(mem._pages) == [0x21] and mem.read(0x21001, 1) == b"\0"
    mem.write(0x20000, b"\x07")  # a page store change between runs
    it.run(r, mem, 0, 100)
    assert r[2] == 7 and mem.read(0x21001, 1) == b"\x07"
    del mem._pages[0x21]
    it.run(r, mem, 0, 100)
    assert mem.read(0x21000, 2) == b"\0\x07"


def test_foreign_page_value_raises_as_on_the_general_path():
    blob = assemble("load_ind_u8 r2, r1, 0\ntrap")

    def memory():
        mem = CyMemory(allowed_read_pages=[0x20])
        mem._pages[0x20] = 12345
        return mem

    (general, *_), *others = run_both(blob, [0, 0x20000] + [0] * 11, 10, memory)
    assert general[0] is ValueError and all(other[0] == general for other in others)


def test_other_threads_run_during_a_long_run():
    blob = assemble("""
    loop:
        add_imm_64 r1, r1, -1
        branch_ne_imm r1, 0, loop
        trap
    """)
    ticks = []
    stop = threading.Event()

    def worker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    t = threading.Thread(target=worker)
    t.start()
    try:
        time.sleep(0.01)
        before = len(ticks)
        it = vm_interpreter.Interpreter(CyProgram(blob))
        # Long enough (tens of milliseconds on any engine) for the worker to tick.
        it.run(regs(0, 100_000_000), new_memory(), 0, 300_000_000)
        during = len(ticks) - before
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)
    assert during > 0


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(bool(os.environ.get("PVM_ASAN")), reason="the sanitizer keeps freed memory in quarantine")
def test_many_short_runs_do_not_grow_the_process():
    blob = assemble("""
        add_imm_64 r1, r1, 0x20000
        store_ind_u64 r1, r1, 0
        load_ind_u64 r2, r1, 0
        trap
    """)
    it = Interpreter(blob)
    mem = CyMemory(allowed_write_pages=[0x20])

    def batch(n):
        for _ in range(n):
            it.run(memory=mem, gas=100)
            it.run(gas=100)  # a new memory every time
        gc.collect()

    batch(2_000)
    before = _rss_kib()
    batch(10_000)
    assert _rss_kib() - before < 2048


def _vector_files():
    from pathlib import Path

    root = Path(__file__).parent / "vectors"
    return sorted(str(p.relative_to(root)) for p in root.rglob("*.json"))


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("name", _vector_files())
def test_vectors_pass_on_every_engine(name, engine):
    from pathlib import Path

    from qorvel_pvm.vectors import check_vector, load_file

    with on_engine(engine):
        for vector in load_file(Path(__file__).parent / "vectors" / name):
            assert check_vector(vector) == []


def test_every_opcode_has_a_native_form():
    """A program over every defined opcode runs on the native loop alone."""
    code, starts = bytearray(), []
    for op in OPCODES:
        starts.append(len(code))
        code += bytes([op, 0x21, 0x03, 0, 0, 0])
    blob = build_blob(bytes(code), starts)
    it = vm_interpreter.Interpreter(CyProgram(blob))
    pcs = starts + [len(code)]
    for pc in pcs:
        it.run(regs(), new_memory(), pc, 100)
    assert it.native_blocks == it.cached_blocks


@pytest.mark.parametrize("gas", [3, 4, 5, 6, 100])
def test_host_call_stop_and_resume_on_both_paths(gas):
    """Without a handler the run stops after the ecalli with the rest of the
    block's gas given back; resuming there charges it again."""
    blob = assemble("""
        add_imm_64 r1, r1, 5
        ecalli 7
        add_imm_64 r2, r1, 1
        add_imm_64 r3, r2, 1
        trap
    """)
    outcomes = run_both(blob, [0] * 13, gas)
    assert_same(outcomes)
    (result, registers, *_), *_ = outcomes
    if gas >= 5:
        assert result[0] == 4 and result[4] == 7 and result[2] == gas - 2
        resumed = run_both(blob, registers, result[2], pc=result[1])
        assert_same(resumed)
        assert resumed[0][0][:3] == (1, 11, gas - 5)


def test_host_handler_runs_on_the_native_loop():
    blob = assemble("ecalli 3\nadd_imm_64 r1, r1, 1\ntrap")
    calls = []

    def host(index, registers, memory):
        calls.append(index)
        registers[2] = 9

    it = Interpreter(blob)
    r = it.run(gas=100, host=host)
    assert (r.status, r.registers[1:3], calls) == ("panic", [1, 9], [3])
    assert it._native.native_blocks == 1


def test_new_and_reinitialised_memories_have_exactly_their_permissions():
    m = CyMemory(allowed_read_pages=[5], allowed_write_pages=[0xFFFFF])
    assert [m.is_accessible(p << 12, 1) for p in (4, 5, 6)] == [False, True, False]
    m.__init__(allowed_read_pages=[7])  # the old bits go
    assert [m.is_accessible(p << 12, 1) for p in (5, 7, 0xFFFFF)] == [False, True, False]
    fresh = CyMemory.__new__(CyMemory)  # never initialised: nothing may be readable
    assert not any(fresh.is_accessible(p << 12, 1) for p in range(0, 0x100000, 0x1111))
    sub = CountingMemory(allowed_write_pages=[3])
    assert sub.is_accessible(0x3000, 1) and not sub.is_accessible(0x4000, 1)
