"""Runs on several threads: results equal to runs one by one, memories that
are busy while a run uses them without the interpreter lock, host handlers
that run Python code (and other runs) inside a run, and Ctrl-C."""

import pickle
import signal
import threading
import time

import pytest

from qorvel_pvm import CyMemory, HostExit, Interpreter, Job, run, run_many
from qorvel_pvm.asm import assemble
from qorvel_pvm.common.types import Accessibility
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.vm_program import CyProgram

BUFFER = 0x20000
BUSY = "memory is in use by a running program"
# Loops long past the first gas window (after which a run gives up the
# lock); a run that is not stopped ends out of gas after some seconds.
FOREVER_GAS = 3 * 10**10

# r7 rounds; each stores a running hash into a 32 KiB ring at r8 and reads
# it back, and makes a host call every (r9 + 1) rounds.
WORK = assemble("""
    load_imm r2, 0
    fallthrough
loop:
    mul_imm_64 r3, r3, 31
    add_64 r3, r3, r2
    and_imm r5, r2, 4095
    shlo_l_imm_64 r5, r5, 3
    add_64 r5, r5, r8
    store_ind_u64 r3, r5, 0
    load_ind_u64 r6, r5, 0
    xor r4, r4, r6
    and r10, r2, r9
    branch_ne_imm r10, 0, next
    ecalli 1
    fallthrough
next:
    add_imm_64 r2, r2, 1
    branch_ne r2, r7, loop
    load_imm r0, -65536
    jump_ind r0, 0
""")
SPIN = assemble("""
    fallthrough
loop:
    add_imm_64 r1, r1, 1
    jump loop
""")


def work_registers(rounds, every):
    registers = [0] * 13
    registers[7], registers[8], registers[9] = rounds, BUFFER, every
    return registers


def work_memory(pages=8):
    memory = CyMemory()
    memory.alter_accessibility(BUFFER, pages * 4096, Accessibility.WRITE)
    return memory


class Handler:
    """A host handler that changes registers and memory, charges gas now and
    then and, from round `fail_at` on, raises."""

    def __init__(self, fail_at=None):
        self.fail_at = fail_at

    def __call__(self, index, registers, memory):
        i = registers[2]
        if self.fail_at is not None and i >= self.fail_at:
            raise ValueError(f"refused at round {i}")
        registers[4] ^= 0x9E3779B97F4A7C15
        memory.write(BUFFER + (i * 40) % 4088, i.to_bytes(8, "little"))
        return 7 if i % 3 == 0 else None


def work_jobs(program):
    """(job, description) pairs covering the ways a run ends."""
    def job(rounds=60_000, every=255, gas=10**8, pages=8, fail_at=None):
        return Job(program, registers=work_registers(rounds, every), memory=work_memory(pages), gas=gas,
                   host=Handler(fail_at))
    return [
        job(), job(every=4095), job(rounds=90_000, every=63),
        job(pages=7),              # page fault at round 3584
        job(gas=400_000),          # out of gas
        job(fail_at=20_000),       # the handler raises
    ]


def outcome(result):
    if isinstance(result, BaseException):
        return type(result), str(result)
    return result.status, result.pc, result.gas, result.registers, result.fault_address, result.memory.__reduce__()


def test_runs_on_threads_equal_runs_one_by_one():
    program = CyProgram(WORK)
    one_by_one = [outcome(r) for r in run_many(work_jobs(program) * 2, workers=1, return_exceptions=True)]
    assert {o[0] for o in one_by_one} == {"halt", "page-fault", "out-of-gas", ValueError}
    # The jobs share one Interpreter, whose blocks the threads build as they go.
    for _ in range(3):
        threaded = run_many(work_jobs(program) + work_jobs(program), workers=4, return_exceptions=True)
        assert [outcome(r) for r in threaded] == one_by_one


@pytest.mark.parametrize("workers", [1, 2])
def test_a_program_that_does_not_decode_is_its_jobs_exception(workers):
    jobs = [Job(SPIN, gas=20), Job(b"\x01"), Job(SPIN, gas=20)]
    results = run_many(jobs, workers=workers, return_exceptions=True)
    assert [type(r) for r in results] == [type(results[0]), ValueError, type(results[0])]
    assert results[0].status == results[2].status == "out-of-gas"
    with pytest.raises(ValueError, match="program blob is truncated"):
        run_many(jobs, workers=workers)


def test_a_failing_job_stops_the_batch_and_raises():
    jobs = [Job(WORK, work_registers(10**9, 0), work_memory(), gas=10**9, host=Handler(fail_at=5)) for _ in range(3)]
    with pytest.raises(ValueError, match="refused at round 5"):
        run_many(jobs, workers=2)


SHARED = CyMemory()


@pytest.mark.parametrize("args, error, message", [
    (([b"x"],), TypeError, "run_many() takes Job objects, not 'bytes'"),
    (([Job(SPIN), Job(SPIN, memory=SHARED), Job(SPIN, memory=SHARED)], 2), ValueError,
     "jobs 1 and 2 share a memory: each job running on its own thread needs its own"),
    (([], 0), ValueError, "workers must be at least 1, got 0"),
    (([], 1.5), TypeError, "workers must be an int, not 'float'"),
])
def test_bad_batches_are_refused(args, error, message):
    with pytest.raises(error) as e:
        run_many(*args)
    assert str(e.value) == message


def wait_until(condition, what, timeout=60.0):
    """Polls `condition` until it holds; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.001)


def busy(memory):
    try:
        memory.heap_break
    except RuntimeError as e:
        assert str(e) == BUSY
        return True
    return False


class Background:
    """A run of `blob` on another thread, kept for inspection."""

    def __init__(self, blob, memory, **kwargs):
        self.result = self.error = self.ident = None
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(blob, memory, kwargs), daemon=True)
        self.thread.start()

    def _run(self, blob, memory, kwargs):
        self.ident = threading.get_ident()
        try:
            self.result = run(blob, memory=memory, **kwargs)
        except BaseException as e:
            self.error = e
        finally:
            self.done.set()

    def stop(self):
        vm_interpreter._interrupt_thread(self.thread.ident, True)
        assert self.done.wait(60), "the run did not stop"
        self.thread.join()


def test_a_memory_is_busy_while_a_run_uses_it_without_the_lock():
    memory = work_memory()
    spin = Background(SPIN, memory, gas=FOREVER_GAS)
    # This thread keeps running (and polling) while the run goes on.
    wait_until(lambda: busy(memory), "the run gave up the lock")
    for use in [
        lambda: memory.read(BUFFER, 8), lambda: memory.write(BUFFER, b"x"), lambda: pickle.dumps(memory),
        lambda: memory.alter_accessibility(BUFFER, 4096, Accessibility.NONE), lambda: memory == CyMemory(),
        lambda: repr(memory), lambda: memory.contents_equal(memory), lambda: CyMemory().contents_equal(memory),
        lambda: run(SPIN, memory=memory, gas=10),
    ]:
        with pytest.raises(RuntimeError, match=BUSY):
            use()
    spin.stop()
    assert isinstance(spin.error, KeyboardInterrupt) and spin.result is None
    # Usable again at once, after a run that ended with an exception.
    assert not busy(memory) and memory.read(BUFFER, 2) == b"\0\0"
    assert run(SPIN, memory=memory, gas=100).status == "out-of-gas"


def test_a_host_handler_may_use_its_memory_and_start_runs_on_others():
    memory = work_memory()
    in_handler, go = threading.Event(), threading.Event()
    nested = []

    def handler(index, registers, memory):
        if registers[2] != 51_200:
            return None
        # Inside the run that owns the memory: the handler may use it...
        memory.write(BUFFER, b"handler")
        # ... and start a long run of its own on another memory.
        nested.append(run(SPIN, memory=CyMemory(), gas=200_000))
        in_handler.set()
        assert go.wait(60)
        return None

    registers = work_registers(60_000, 255)
    owner = Background(WORK, memory, registers=registers, gas=10**8, host=handler)
    assert in_handler.wait(60)
    # While the owner's handler runs, the memory is the owner's: a run on
    # another thread is refused, other uses wait for nothing.
    with pytest.raises(RuntimeError, match=BUSY):
        run(SPIN, memory=memory, gas=10)
    go.set()
    assert owner.done.wait(60) and owner.error is None
    assert owner.result.status == "halt" and (nested[0].status, nested[0].registers[1]) == ("out-of-gas", 99_999)
    alone = run(WORK, registers=registers, memory=work_memory(), gas=10**8, host=lambda i, r, m: (
        m.write(BUFFER, b"handler") if r[2] == 51_200 else None))
    assert outcome(owner.result) == outcome(alone)


def interrupt_main_when(condition):
    main = threading.main_thread().ident

    def watch():
        wait_until(condition, "the runs gave up the lock")
        signal.pthread_kill(main, signal.SIGINT)
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    return watcher


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
def test_ctrl_c_stops_a_run_without_the_lock_promptly():
    memory = CyMemory()
    watcher = interrupt_main_when(lambda: busy(memory))
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        run(SPIN, memory=memory, gas=FOREVER_GAS)
    assert time.monotonic() - started < 10
    watcher.join()
    assert not busy(memory)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
def test_ctrl_c_comes_through_soon_after_another_thread_held_the_lock_long():
    # A thread holding the lock for a long while (one long C call) makes
    # the run wait for it once; the signal checks after that stay frequent.
    memory = CyMemory()
    sent = []

    def other():
        wait_until(lambda: busy(memory), "the run gave up the lock")
        sum(range(10**7))  # holds the lock throughout
        wait_until(lambda: busy(memory), "the run gave up the lock again")
        sent.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    watcher = threading.Thread(target=other, daemon=True)
    watcher.start()
    with pytest.raises(KeyboardInterrupt):
        run(SPIN, memory=memory, gas=FOREVER_GAS)
    assert time.monotonic() - sent[0] < 1.0
    watcher.join()


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
def test_ctrl_c_stops_the_workers_of_a_batch():
    memories = [CyMemory() for _ in range(3)]
    jobs = [Job(SPIN, memory=m, gas=FOREVER_GAS) for m in memories]
    watcher = interrupt_main_when(lambda: sum(map(busy, memories)) == 2)
    with pytest.raises(KeyboardInterrupt):
        run_many(jobs, workers=2)
    watcher.join()
    assert not any(map(busy, memories))
    assert not [t for t in threading.enumerate() if t.name.startswith("qorvel_pvm worker")]
    # A later run on a thread of the same ident is not stopped by the request.
    assert run_many([Job(SPIN, gas=100_000)] * 2, workers=2)[0].status == "out-of-gas"


# A host call every third instruction, for as long as the gas lasts: a run
# that keeps the lock between close host calls.
CALLS = assemble("""
    fallthrough
loop:
    add_imm_64 r1, r1, 1
    ecalli 1
    jump loop
""")


class Until:
    """A handler that counts its calls and ends the run once `stop` is set."""

    def __init__(self, stop):
        self.stop, self.calls = stop, 0

    def __call__(self, index, registers, memory):
        self.calls += 1
        if self.stop.is_set():
            raise HostExit("halt")


@pytest.mark.parametrize("jit", [False, True], ids=["native loop", "compiler"])
def test_other_threads_run_during_runs_with_close_host_calls(jit):
    """A thread that sleeps a millisecond at a time keeps waking while a run
    makes a host call every few instructions; it ends the run once it has
    woken 50 times (the run's gas lasts seconds)."""
    stop, ticks = threading.Event(), []

    def ticker():
        while len(ticks) < 50:
            time.sleep(0.001)
            ticks.append(1)
        stop.set()
    handler = Until(stop)
    thread = threading.Thread(target=ticker, daemon=True)
    thread.start()
    result = Interpreter(CALLS, jit=jit).run(memory=CyMemory(), gas=60_000_000, host=handler)
    thread.join()
    assert (result.status, len(ticks)) == ("halt", 50) and handler.calls > 1


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="needs the main thread")
def test_ctrl_c_stops_a_batch_of_runs_with_close_host_calls():
    stop = threading.Event()
    handlers = [Until(stop), Until(stop)]
    jobs = [Job(CALLS, memory=CyMemory(), gas=FOREVER_GAS, host=h) for h in handlers]
    watchdog = threading.Timer(30, stop.set)  # ends the runs should Ctrl-C not come through
    watchdog.start()
    sent = []

    def both_called():
        if all(h.calls > 300_000 for h in handlers):  # well into the runs
            sent.append(time.monotonic())
            return True
        return False
    watcher = interrupt_main_when(both_called)
    try:
        with pytest.raises(KeyboardInterrupt):
            run_many(jobs, workers=2)
        assert time.monotonic() - sent[0] < 5
    finally:
        stop.set()
        watchdog.cancel()
    watcher.join()


def test_threads_sharing_an_interpreter_build_each_block_once():
    jobs = [j for _ in range(3) for j in work_jobs(WORK)[:4]]
    alone = vm_interpreter.Interpreter(CyProgram(WORK))
    expected = [outcome(r) for r in run_many([j for _ in range(3) for j in work_jobs(WORK)[:4]], workers=1)]
    for j in work_jobs(WORK)[:4]:
        alone.call(registers=j.registers, memory=j.memory, gas=j.gas, host=j.host)
    shared = vm_interpreter.Interpreter(CyProgram(WORK))
    results = [None] * len(jobs)

    def go(i, j):
        results[i] = shared.call(registers=j.registers, memory=j.memory, gas=j.gas, host=j.host)
    threads = [threading.Thread(target=go, args=(i, j)) for i, j in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [outcome(r) for r in results] == expected
    assert shared.native_blocks == alone.native_blocks and shared.cached_blocks == alone.cached_blocks
