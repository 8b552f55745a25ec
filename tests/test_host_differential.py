"""Host calls answered by a handler, held to one behaviour whichever run path
takes them.  Random programs with frequent host calls run three ways that
must agree on everything a caller sees: with a handler on the default path
(the native loop allowed), with the same handler on the general path, and
stopping at every host call to apply the handler's effect between runs
(which defines what a handled call must do).  Handlers that misbehave get
the same outcome on both paths, and many short handled runs do not grow
the process."""

import enum
import gc
import os
import random
import signal
import sys
from array import array

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from pvmtest import build_blob, engine_switches, regs
from qorvel_pvm import HostExit, Interpreter, run
from qorvel_pvm.asm import assemble
from qorvel_pvm.common.types import Accessibility
from qorvel_pvm.cpvm import vm_interpreter, vm_status
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit
from test_native_loop import ADDRESSES, ENGINES, OPCODES, new_memory

ECALLI = 10
U64 = (1 << 64) - 1
STATUS = {"halt": 0, "panic": 1}


@pytest.fixture(params=[True, False] + (["compiler"] if "compiler" in ENGINES else []),
                ids=["default", "general"] + (["compiler"] if "compiler" in ENGINES else []))
def native(request):
    """The path runs take: the default one, the general path, or the block
    compiler from the first block on."""
    with engine_switches(bool(request.param), request.param == "compiler"):
        yield request.param


def memory_state(memory):
    try:
        return memory.__reduce__()
    except ValueError as exc:  # a page store the handler broke
        return str(exc)


def _adapt_host(host):
    """`host` under the Python API's reply rules, for the low-level run (which
    takes a CyStatus, not HostExit, as the request to end the run)."""
    def call(index, registers, memory):
        try:
            reply = host(index, registers, memory)
        except HostExit as e:
            return vm_status.CyStatus(vm_status.EXIT_HALT if e.status == "halt" else vm_status.EXIT_PANIC)
        if reply is None or (isinstance(reply, int) and not isinstance(reply, bool)):
            return reply
        raise TypeError(f"a host handler must return None or an int, not {type(reply).__name__!r}")
    return call


def run_handled(it, registers, memory, host, pc=0, gas=10_000):
    """A run with `host` as handler (HostExit honoured as by the Python API);
    the outcome tuple, or the exception's type and message."""
    try:
        return it.run(registers, memory, pc, gas, None, _adapt_host(host))
    except Exception as exc:  # noqa: BLE001 - compared by the callers
        return type(exc), str(exc)


def run_stepped(it, registers, memory, host, pc=0, gas=10_000):
    """The same run without a handler: each stop at a host call applies the
    handler to the returned registers and memory and runs on from the
    returned pc and gas, as an embedder would."""
    # Asked only for block gas, so `it` keeps its own cache untouched.
    blocks = vm_interpreter.Interpreter(it.program)
    for _ in range(100_000):
        try:
            res = it.run(registers, memory, pc, gas)
        except Exception as exc:  # noqa: BLE001
            return type(exc), str(exc)
        if res[0] != vm_status.EXIT_HOST_CALL:
            return res
        _, pc, gas, _, index = res
        # A handled call finds the rest of its block already paid for: the
        # stop gave that gas back, and the run from pc charges it again.
        left = gas - blocks.compile_block(pc).total_gas
        try:
            reply = host(index, registers, memory)
        except HostExit as e:
            return STATUS[e.status], pc, left, None, None
        except Exception as exc:  # noqa: BLE001
            return type(exc), str(exc)
        if reply:
            if reply > left:
                return vm_status.EXIT_OUT_OF_GAS, pc, 0, None, None
            gas -= reply
    raise AssertionError("the run did not end")


# ----- random programs -----------------------------------------------------------------

# Pages the handler writes or changes: read-only data, read-write data, heap
# pages never written, the stack, and pages without any permission.
HOST_PAGES = [0x10000, 0x11000, 0x20000, 0x30000, 0x31000, 0x32000, 0x33000, 0xFEFDE000, 0xFEFDF000]


class Host:
    """A deterministic handler: what it does at a call depends only on the
    number of calls before, the call index and the registers.  It changes
    registers, writes memory (pages never written before included, pointing
    a register at what it wrote so the program is likely to read it),
    changes permissions, charges gas, ends the run or raises."""

    def __init__(self):
        self.calls = []

    def __call__(self, index, registers, memory):
        rnd = random.Random(f"{len(self.calls)}:{index}:{list(registers)}")
        self.calls.append((index, tuple(registers)))
        for _ in range(rnd.choice([0, 0, 1, 2, 3])):
            registers[rnd.randrange(13)] = rnd.choice(
                [rnd.randrange(8), rnd.getrandbits(64), (rnd.choice(ADDRESSES) + rnd.randrange(-8, 9)) & 0xFFFFFFFF])
        if rnd.random() < 0.4:
            address = rnd.choice(HOST_PAGES) + rnd.choice([0, 1, 8, 0xFF8, 0xFFD])
            data = rnd.randbytes(rnd.choice([1, 2, 4, 8, 16]))
            if memory.is_accessible(address, len(data), Accessibility.WRITE):
                memory.write(address, data)
            else:  # a page the program cannot write, or none at all
                for k, byte in enumerate(data):
                    memory._set_byte(address + k, byte)
            registers[rnd.randrange(1, 13)] = address
        if rnd.random() < 0.1:
            memory.alter_accessibility(rnd.choice(HOST_PAGES), 4096, rnd.choice(list(Accessibility)))
        roll = rnd.random()
        if roll < 0.2:
            return rnd.choice([1, 2, 7, 60, 1 << 70])
        if roll < 0.25:
            raise HostExit("halt")
        if roll < 0.3:
            raise HostExit("panic")
        if roll < 0.32:
            raise LookupError(f"no host function {index}")
        return rnd.choice([None, 0])


@st.composite
def host_programs(draw):
    """Raw code over every opcode with about every third instruction a host
    call (with 0 to 4 index bytes), often the first one, some at the very
    end of the code; registers pointing near the interesting pages."""
    rnd = random.Random(draw(st.integers(0, 2**32)))
    code, starts = bytearray(), []
    calls_first = rnd.random() < 0.5
    for n in range(draw(st.integers(1, 30))):
        starts.append(len(code))
        if rnd.random() < 0.3 or (n == 0 and calls_first):
            code.append(ECALLI)
            code += rnd.randbytes(rnd.choice([0, 1, 1, 2, 4]))
            continue
        code.append(rnd.choice(OPCODES) if rnd.random() < 0.95 else rnd.randrange(256))
        for k in range(rnd.choice([0, 1, 1, 2, 2, 2, 3, 3, 4, 5, 6, 7, 9, 10, 12])):
            if k == 0:
                code.append(rnd.randrange(13) | rnd.randrange(13) << 4)
            else:
                code.append(rnd.choice([0, 1, 2, 4, 8, 0xFF, 0xFC, 0x10, 0x20, rnd.randrange(256)]))
    jumps = [rnd.choice(starts + [len(code), 1]) for _ in range(rnd.randrange(4))]
    registers = [rnd.choice([rnd.randrange(8), rnd.getrandbits(64),
                             (rnd.choice(ADDRESSES) + rnd.randrange(-8, 9)) & 0xFFFFFFFF]) for _ in range(13)]
    gas = rnd.randrange(16) if rnd.random() < 0.2 else rnd.randrange(16, 400)
    return build_blob(bytes(code), starts, jumps), registers, gas


def three_ways(blob, registers, gas, memory_factory=new_memory, host_factory=lambda it: Host(), pc=0):
    """The outcome, final registers, memory state and calls the handler saw,
    for a handled run on the default path, one on the general path and the
    stepped run."""
    outcomes = []
    for how in ("default", "general", "stepped") + (("compiler",) if "compiler" in ENGINES else ()):
        with engine_switches(how != "general", how == "compiler"):
            it = vm_interpreter.Interpreter(CyProgram(blob))
            # Blocks the native loop built in a run without a handler are
            # where a handled run of the same interpreter starts from.
            it.run(array("Q", registers), memory_factory(), pc, gas)
            host = host_factory(it)
            r, mem = array("Q", registers), memory_factory()
            runner = run_stepped if how == "stepped" else run_handled
            res = runner(it, r, mem, host, pc, gas)
            outcomes.append((res, list(r), memory_state(mem), getattr(host, "calls", None)))
    return outcomes


def assert_agree(outcomes):
    default, general, stepped, *compiler = outcomes
    assert general == stepped
    assert default == stepped
    assert compiler in ([], [stepped])
    return stepped


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(host_programs())
def test_random_programs_with_a_handler_agree_three_ways(case):
    blob, registers, gas = case
    assert_agree(three_ways(blob, registers, gas))


# ----- hostile handlers ----------------------------------------------------------------

DATA = 0x20000


def data_memory():
    """Pages 0x20 and 0x21 writable, holding 9 and 3 at their starts."""
    return CyMemory({DATA: 9, DATA + 0x1000: 3}, [], [0x20, 0x21])


def both_agree(blob, host_factory, registers=(0, 0, DATA), gas=1000, memory_factory=data_memory, pc=0):
    """The handled run (on the path the `native` fixture chose) against the
    stepped run, the handlers made by `host_factory(interpreter)`; returns
    the handled run's outcome, registers and memory."""
    registers = regs(*registers)
    it = vm_interpreter.Interpreter(CyProgram(blob))
    host = host_factory(it)
    r, mem = array("Q", registers), memory_factory()
    got = run_handled(it, r, mem, host, pc, gas)
    previous = vm_interpreter._set_native_loop(True)
    try:
        it2 = vm_interpreter.Interpreter(CyProgram(blob))
        host2 = host_factory(it2)
        r2, mem2 = array("Q", registers), memory_factory()
        want = run_stepped(it2, r2, mem2, host2, pc, gas)
    finally:
        vm_interpreter._set_native_loop(previous)
    assert (got, list(r), memory_state(mem), getattr(host, "calls", None)) == (
        want, list(r2), memory_state(mem2), getattr(host2, "calls", None))
    return got, r, mem


# One block with two host calls, then a load through r2.
TWO_CALLS = assemble("""
    add_imm_64 r1, r1, 5
    ecalli 1
    add_imm_64 r1, r1, 1
    ecalli 2
    add_imm_64 r1, r1, 100
    load_ind_u8 r3, r2, 0
    trap
""")
TRAP = len(CyProgram(TWO_CALLS).instruction_set) - 1


@pytest.mark.parametrize("at_call", [1, 2])
@pytest.mark.parametrize("error", ["lookup", "memory", "host-exit"])
def test_handler_exception_propagates_with_its_changes_kept(native, at_call, error):
    raised = []

    def host(index, registers, memory):
        registers[5] += 50 + index
        memory.write(DATA + 8, bytes([index]))
        if index == at_call:
            if error == "lookup":
                raised.append(LookupError("no such host function"))
                raise raised[0]
            if error == "memory":
                memory.write(0x10000, b"\x01")  # a page it may not write: the memory's exit
            raise HostExit("halt")  # the low-level run does not take HostExit as a reply

    r = regs(0, 0, DATA)
    memory = data_memory()
    expected = {"lookup": LookupError, "memory": PvmExit, "host-exit": HostExit}[error]
    with pytest.raises(expected) as e:
        vm_interpreter.Interpreter(CyProgram(TWO_CALLS)).run(r, memory, 0, 100, None, host)
    if raised:
        assert e.value is raised[0]
    assert list(r[:6]) == [0, 5 + (at_call == 2), DATA, 0, 0, 51 + (at_call == 2) * 52]
    assert memory.read(DATA + 8, 1) == bytes([at_call])
    # The Python API lets it through too, with nothing more run.
    if error != "host-exit":
        with pytest.raises(expected):
            run(TWO_CALLS, registers=regs(0, 0, DATA), memory=data_memory(), host=host)


# A loop with two host calls per round that read and write memory.
LOOP = assemble("""
    add_imm_64 r4, r0, 6
    fallthrough
loop:
    ecalli 1
    load_ind_u64 r3, r2, 0
    add_imm_64 r3, r3, 1
    store_ind_u64 r3, r2, 0
    ecalli 2
    add_imm_64 r4, r4, -1
    branch_ne_imm r4, 0, loop
    trap
""")


class Counting:
    """Changes a register and memory at every call and charges a little gas;
    at call number `stop_at` it charges nothing and, if `interrupt`, raises
    KeyboardInterrupt after its changes."""

    def __init__(self, stop_at=None, interrupt=True):
        self.calls, self.stop_at, self.interrupt = 0, stop_at, interrupt

    def __call__(self, index, registers, memory):
        self.calls += 1
        registers[5] = (registers[5] * 3 + index) & U64
        memory.write(DATA + 0x100 + self.calls, bytes([index]))
        if self.calls == self.stop_at:
            if self.interrupt:
                raise KeyboardInterrupt
            return None
        return self.calls % 3


@pytest.mark.parametrize("stop_at", [1, 2, 3, 8, 12])
def test_ctrl_c_in_a_handler_resumes_at_equal_total_gas(native, stop_at):
    """Ctrl-C inside the handler (the first call of a block or a later one):
    the call counts as done, the state noted resumes after it."""
    whole_regs, whole_mem = regs(0, 0, DATA), data_memory()
    whole = run_handled(vm_interpreter.Interpreter(CyProgram(LOOP)), whole_regs, whole_mem,
                        Counting(stop_at, interrupt=False), 0, 500)
    # Blocks: 2 instructions, 6 rounds of 7, the trap; charges 1, 2, 0, 1, 2, 0, ...
    assert whole[:3] == (1, len(CyProgram(LOOP).instruction_set) - 1, 500 - 45 - 12 + stop_at % 3)
    host = Counting(stop_at)
    it = vm_interpreter.Interpreter(CyProgram(LOOP))
    r, mem = regs(0, 0, DATA), data_memory()
    with pytest.raises(KeyboardInterrupt) as e:
        it.run(r, mem, 0, 500, None, _adapt_host(host))
    assert list(r) == e.value.registers
    rest_regs = array("Q", e.value.registers)
    rest = run_handled(it, rest_regs, mem, host, e.value.pc, e.value.gas)
    assert (rest, rest_regs, memory_state(mem)) == (whole, whole_regs, memory_state(whole_mem))


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_ctrl_c_arriving_during_a_handled_run_resumes_at_equal_total_gas(native):
    """Ctrl-C (here from a timer the handler starts) arriving while the run
    loop runs after a handled call ends the run at its next periodic check;
    the state noted resumes at equal total gas."""
    # Long enough to outlast the timer and the next check on every engine.
    rounds = 30_000_000 if native else 3_000_000
    blob = assemble(f"""
        ecalli 1
        fallthrough
    loop:
        add_imm_64 r1, r1, 1
        branch_ne_imm r1, {rounds}, loop
        trap
    """)
    gas = 3 * rounds
    whole = run_handled(vm_interpreter.Interpreter(CyProgram(blob)), regs(), CyMemory(), lambda *a: None, 0, gas)
    armed = [True]

    def on_alarm(signum, frame):
        if armed[0]:  # one that comes too late must not reach other tests
            raise KeyboardInterrupt

    def host(index, registers, memory):
        signal.setitimer(signal.ITIMER_REAL, 0.0005)

    old_handler = signal.signal(signal.SIGALRM, on_alarm)
    it = vm_interpreter.Interpreter(CyProgram(blob))
    try:
        with pytest.raises(KeyboardInterrupt) as e:
            it.run(regs(), CyMemory(), 0, gas, None, host)
    finally:
        armed[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old_handler)
    rest_regs = array("Q", e.value.registers)
    assert 0 < rest_regs[1] < rounds
    assert run_handled(it, rest_regs, CyMemory(), lambda *a: None, e.value.pc, e.value.gas) == whole
    assert rest_regs[1] == rounds


@pytest.mark.parametrize("page, access, stops", [
    (0x20, Accessibility.NONE, "load"),     # readable and writable before, nothing after
    (0x20, Accessibility.READ, "store"),
    (0x20, Accessibility.WRITE, None),
    (0x22, Accessibility.WRITE, None),      # no permission before
    (0x22, Accessibility.READ, "store"),
])
def test_handler_changes_permissions(native, page, access, stops):
    blob = assemble("""
        load_ind_u8 r3, r2, 0
        store_ind_u8 r3, r2, 1
        ecalli 1
        load_ind_u8 r4, r2, 2
        store_ind_u8 r3, r2, 3
        ecalli 2
        load_ind_u8 r5, r2, 0
        trap
    """)

    def host(index, registers, memory):
        if index == 1:
            memory.alter_accessibility(page << 12, 4096, access)
            registers[2] = page << 12

    (status, *_, fault, _), r, mem = both_agree(blob, lambda it: host, registers=(0, 0, DATA))
    assert (status, fault) == ((2, page << 12) if stops else (1, None))
    assert mem._get_byte(DATA + 1) == 9  # the store before the call
    assert (r[3], r[5]) == (9, 0 if stops else 9 * (page == 0x20))


@pytest.mark.parametrize("how", ["write", "write-across", "set-byte", "zero-range"])
@pytest.mark.parametrize("address", [DATA + 0x10, DATA + 0x1000, DATA + 0x2000, 0x10008])
def test_handler_writes_a_page_the_program_then_reads(native, how, address):
    """Also a page never written (0x22, with a buffer only after the call) and
    a read-only one, read before the call in the same block and after it in
    the same and the next block."""
    blob = assemble("""
        load_ind_u64 r3, r2, 0
        ecalli 1
        load_ind_u64 r4, r2, 0
        load_ind_u64 r5, r2, -8
        fallthrough
        load_ind_u64 r6, r2, 0
        trap
    """)
    pattern = bytes(range(0x71, 0x79))

    def host(index, registers, memory):
        if how == "write":
            memory.write(address, pattern)
        elif how == "write-across":
            memory.write(address - 4, pattern)
        elif how == "set-byte":
            for k, b in enumerate(pattern):
                memory._set_byte(address + k, b)
        else:
            memory.zero_memory_range(address >> 12, 1)

    def memory():
        return CyMemory({DATA: 9, DATA + 0x1000: 3, 0x10008: 1}, [0x10], [0x20, 0x21, 0x22])

    (status, *_), r, _ = both_agree(blob, lambda it: host, registers=(0, 0, address),
                                    memory_factory=memory)
    value = int.from_bytes(pattern, "little")
    if how in ("write", "write-across") and address == 0x10008:
        assert status is PvmExit  # the handler's own write was refused
    elif how in ("write", "set-byte"):
        assert (status, r[4], r[6]) == (1, value, value)
    elif how == "write-across":
        assert (status, r[4], r[5]) == (1, value >> 32, (value & 0xFFFFFFFF) << 32)
    else:
        assert (status, r[4], r[6]) == (1, 0, 0)


PROGRAM_READS_AFTER = assemble("""
    load_ind_u64 r3, r2, 0
    store_ind_u64 r3, r2, 8
    ecalli 1
    load_ind_u64 r4, r2, 0
    load_ind_u64 r5, r2, 8
    store_ind_u64 r2, r2, 16
    fallthrough
    load_ind_u64 r6, r2, 16
    load_ind_u64 r7, r2, 0x1000
    store_ind_u64 r7, r2, 0x1008
    ecalli 2
    load_ind_u64 r8, r2, 0x1008
    add_imm_64 r9, r9, 1
    branch_ne_imm r9, 3, 0
    trap
""")
OTHER = CyMemory({DATA: 0x44, DATA + 0x1000: 0x55}, [], [0x20, 0x21])

REPLACEMENTS = {
    "init": lambda m: m.__init__({DATA: 0x77}, [0x21], [0x20]),
    "init-empty": lambda m: m.__init__(),
    "init-twice": lambda m: (m.__init__({DATA: 1}, [], [0x20]), m.__init__({DATA + 0x1000: 2}, [], [0x21])),
    "pages-empty": lambda m: setattr(m, "_pages", {}),
    "pages-none": lambda m: setattr(m, "_pages", None),
    "pages-deleted": lambda m: delattr(m, "_pages"),
    "foreign-pages": lambda m: setattr(m, "_pages", dict(OTHER._pages)),
    "setstate": lambda m: m.__setstate__(OTHER.__reduce__()[2]),
    "zero-range": lambda m: m.zero_memory_range(0x20, 2),
    "permission-sets": lambda m: (m._w_pages.clear(), m._sync_bitsets_from_sets()),
}


@pytest.mark.parametrize("at_call", [1, 2])
@pytest.mark.parametrize("name", REPLACEMENTS)
def test_handler_replaces_the_memory_contents(native, name, at_call):
    """The program read and wrote the pages before the call and reads and
    writes them after it, in the same block and in later ones."""
    def host(index, registers, memory):
        if index == at_call:
            REPLACEMENTS[name](memory)

    both_agree(PROGRAM_READS_AFTER, lambda it: host)


# The main program calls out twice; `side` (not reached from it) is what
# runs started by the handler execute.
MAIN = """
    ecalli 1
    load_ind_u64 r3, r2, 0
    add_imm_64 r3, r3, 1
    ecalli 2
    load_ind_u64 r4, r2, 0x1000
    store_ind_u64 r4, r2, 0x1008
    fallthrough
    load_ind_u64 r5, r2, 0x10
    trap
"""
SIDE = """
    add_imm_64 r9, r9, 3
    store_ind_u64 r9, r2, 0
    store_ind_u64 r9, r2, 0x1000
    ecalli 3
    add_imm_64 r9, r9, 1
    store_ind_u64 r9, r2, 0x10
    trap
"""
REENTRANT = assemble(MAIN + SIDE)
SIDE_PC = CyProgram(assemble(MAIN)).instruction_set_len


@pytest.mark.parametrize("whose", ["same-interpreter", "new-interpreter", "python-api"])
@pytest.mark.parametrize("memory", ["other", "same"])
@pytest.mark.parametrize("nested", [False, True])
def test_reentrant_handler(native, whose, memory, nested):
    """The handler starts runs of its own: on the interpreter running it
    (blocks it has not compiled yet), on a new one, or through the Python
    API; on another memory or on the one the program is using; with a
    handler of its own or without."""
    def host_factory(it):
        log = []

        def inner_host(index, registers, mem):
            registers[10] = 1000 + index

        def host(index, registers, mem):
            target = mem if memory == "same" else CyMemory({}, [], [0x20, 0x21])
            r = regs(0, 0, DATA, 0, 0, 0, 0, 0, 0, index)
            h = inner_host if nested else None
            if whose == "python-api":
                res = run(REENTRANT, registers=r, memory=target, pc=SIDE_PC, gas=50, host=h)
                log.append((res.status, res.pc, res.gas, res.registers, res.host_call))
            else:
                inner = it if whose == "same-interpreter" else vm_interpreter.Interpreter(it.program)
                log.append((run_handled(inner, r, target, h, SIDE_PC, 50) if nested
                            else inner.run(r, target, SIDE_PC, 50), list(r)))
            registers[11] = len(log)

        host.calls = log
        return host

    (status, *_), r, mem = both_agree(REENTRANT, host_factory)
    assert status == 1 and r[11] == 2
    if memory == "same":  # each inner run stores r9 = index + 3 (and one more after its host call)
        assert (r[3], r[4], r[5]) == (5, 5, 6 if nested else 0)


def _pc_after(source):
    """The pc right after the instructions of `source`."""
    return CyProgram(assemble(source + "\ntrap")).instruction_set_len - 1


CHANGED_BLOCK_HEAD = """
    fallthrough
loop:
    add_imm_64 r1, r1, 1
    ecalli 1
"""
CHANGED_BLOCK = assemble(CHANGED_BLOCK_HEAD + """
    add_imm_64 r4, r4, 2
    add_imm_64 r3, r3, 1
    branch_lt_u_imm r3, 3, loop
    fallthrough
    add_imm_64 r5, r5, 7
    trap
""")
BLOCK_PCS = {
    "running": 1,                                   # the block the call is in, run again by the loop
    "rest": _pc_after(CHANGED_BLOCK_HEAD),          # the rest of it after the call
    "later": len(CyProgram(CHANGED_BLOCK).instruction_set) - 4,  # not run yet
}


@pytest.mark.parametrize("which", BLOCK_PCS)
def test_handler_changes_a_compiled_block(native, which):
    """A block handed to Python and changed by the handler is honoured the
    next time it runs: also the rest of the block the call is in, and the
    block the run returns to."""
    pc = BLOCK_PCS[which]

    def host_factory(it):
        def host(index, registers, memory):
            if registers[3] == 0:
                it.compile_block(pc).instructions[0].vx = 10
        return host

    (status, *_), r, _ = both_agree(CHANGED_BLOCK, host_factory, registers=())
    assert status == 1
    assert (r[1], r[4], r[5]) == {"running": (21, 6, 7), "rest": (3, 30, 7), "later": (3, 6, 10)}[which]


class Three(enum.IntEnum):
    THREE = 3


@pytest.mark.parametrize("reply, error", [
    (-1, ValueError), (-(1 << 80), ValueError), (True, TypeError), (False, TypeError), (1.0, TypeError),
    ("1", TypeError), (b"", TypeError), ([], TypeError), (Three.THREE, None), (0, None), (None, None),
])
def test_handler_replies(native, reply, error):
    """Through the Python API: a bad reply ends the run with the documented
    error and the handler's register changes kept; good ones go on."""
    def host(index, registers, memory):
        registers[6] = 66
        return reply

    r = regs(0, 0, DATA)
    it = vm_interpreter.Interpreter(CyProgram(TWO_CALLS))
    if error is None:
        res = run_handled(it, r, data_memory(), host, 0, 100)
        assert res == (1, TRAP, 93 - 2 * (reply or 0), None, None) and (r[1], r[6]) == (106, 66)
        return
    with pytest.raises(error):
        it.run(r, data_memory(), 0, 100, None, _adapt_host(host))
    assert (r[1], r[6]) == (5, 66)
    with pytest.raises(error):
        run(TWO_CALLS, registers=regs(0, 0, DATA), memory=data_memory(), host=host)


@pytest.mark.parametrize("reply, outcome", [
    (vm_status.HALT, (0, 5, 93, None, None)),
    (vm_status.PANIC, (1, 5, 93, None, None)),
    (vm_status.CyStatus(0, 7), (0, 5, 93, None, None)),
    (vm_status.OUT_OF_GAS, ValueError),
    (vm_status.CONTINUE, ValueError),
    (vm_status.PAGE_FAULT(DATA), ValueError),
    (vm_status.CyStatus(vm_status.EXIT_HOST_CALL, 3), ValueError),
    (True, TypeError),
    (2.5, TypeError),
])
def test_low_level_replies(native, reply, outcome):
    """The native driver's own reply protocol: a CyStatus ends the run when it
    is halt or panic and is an error otherwise."""
    r = regs(0, 0, DATA)
    it = vm_interpreter.Interpreter(CyProgram(TWO_CALLS))
    if isinstance(outcome, tuple):
        assert it.run(r, data_memory(), 0, 100, None, lambda *a: reply) == outcome
    else:
        with pytest.raises(outcome):
            it.run(r, data_memory(), 0, 100, None, lambda *a: reply)
    assert r[1] == 5


@pytest.mark.parametrize("extra, status, pc, left", [
    (0, "panic", TRAP, 0),          # charges exactly what is left at the first call, nothing at the second
    (1, "out-of-gas", 5, 0),       # one more than is left at the first call
])
@pytest.mark.parametrize("gas", [7, 8, 50])
def test_handler_charges_what_is_left_and_one_more(native, gas, extra, status, pc, left):
    """The block costs 7; the first call charges what is left after it (plus
    `extra`), the second one charges 0 with 0 left."""
    def host(index, registers, memory):
        if index == 1:
            return gas - 7 + extra
        return 0

    (code, res_pc, res_gas, *_), r, _ = both_agree(TWO_CALLS, lambda it: host, gas=gas)
    assert (code, res_pc, res_gas) == ({"panic": 1, "out-of-gas": 3}[status], pc, left)
    assert r[1] == (106 if status == "panic" else 5)


@pytest.mark.parametrize("charge, outcome", [
    (1, (1, 9, 0, None, None)),    # exactly enough left for the next block
    (2, (3, 6, 1, None, None)),    # one short: out of gas at its start, gas unchanged
    (3, (3, 6, 0, None, None)),    # all that is left
    (4, (3, 5, 0, None, None)),    # one more than is left: out of gas after the call
])
def test_charge_leaves_too_little_for_the_next_block(native, charge, outcome):
    blob = assemble("""
        add_imm_64 r1, r1, 1
        ecalli 1
        fallthrough
        add_imm_64 r2, r2, 1
        trap
    """)
    res, r, _ = both_agree(blob, lambda it: (lambda *a: charge), gas=6)
    assert res == outcome


# ----- leaks ---------------------------------------------------------------------------


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


SHORT = assemble("""
    add_imm_64 r1, r1, 0x20000
    ecalli 1
    store_ind_u64 r1, r1, 0
    ecalli 2
    load_ind_u64 r2, r1, 0
    trap
""")


def _leak_batch(it, native_it, memory, n):
    def good(index, registers, memory):
        registers[3] += index
        memory.write(0x20008, b"\x01\x02")
        return 1

    def raising(index, registers, memory):
        registers[4] = 4
        if index == 2:
            raise LookupError("no such host function")

    def leaving(index, registers, memory):
        raise HostExit("panic")

    def interrupted(index, registers, memory):
        raise KeyboardInterrupt

    for k in range(n):
        it.run(memory=memory, gas=100, host=good)
        it.run(memory=CyMemory(allowed_write_pages=[0x20]), gas=100, host=good)  # a new memory every time
        native_it.run(regs(), memory, 0, 100, None, good)
        if k % 4 == 0:
            it.run(gas=100, host=leaving)
            with pytest.raises(LookupError):
                it.run(memory=memory, gas=100, host=raising)
            with pytest.raises(LookupError):
                native_it.run(regs(), memory, 0, 100, None, raising)
        if k % 16 == 0:
            with pytest.raises(KeyboardInterrupt):
                it.run(gas=100, host=interrupted)
    gc.collect()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.skipif(bool(os.environ.get("PVM_ASAN")), reason="the sanitizer keeps freed memory in quarantine")
def test_many_short_handled_runs_do_not_grow_the_process():
    it = Interpreter(SHORT)
    native_it = vm_interpreter.Interpreter(CyProgram(SHORT))
    memory = CyMemory(allowed_write_pages=[0x20])
    _leak_batch(it, native_it, memory, 1_000)
    blocks, rss = sys.getallocatedblocks(), _rss_kib()
    _leak_batch(it, native_it, memory, 5_000)  # about 19,000 runs
    # Python objects (an exception, a register array, a result kept per run)
    # show in the allocator's block count, native buffers in the RSS.
    assert sys.getallocatedblocks() - blocks < 200
    assert _rss_kib() - rss < 2048


def test_handled_runs_keep_no_references(native):
    """Exact counts, so also meaningful under the sanitizer: a run keeps
    nothing it was given, whether the handler returns, ends the run or
    raises."""
    it = Interpreter(SHORT)
    native_it = vm_interpreter.Interpreter(CyProgram(SHORT))
    memory = CyMemory(allowed_write_pages=[0x20])
    r = regs()

    def host(index, registers, memory):
        if index == 2:
            raise LookupError

    objects = [it, native_it, memory, r, host, native_it.program]

    def raising_runs(n):
        for _ in range(n):
            r[1] = 0
            with pytest.raises(LookupError):
                native_it.run(r, memory, 0, 100, None, host)

    _leak_batch(it, native_it, memory, 4)
    raising_runs(3)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    _leak_batch(it, native_it, memory, 40)
    raising_runs(50)
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before
