"""Many runs at once: a batch of jobs on threads of this process.

A run on the native loop gives up the interpreter lock once it is past its
first few thousand instructions and takes it back only to touch Python
objects (a host handler, a new page, the end of the run), so runs of
different programs on different memories use different cores:

>>> from qorvel_pvm import CyMemory
>>> from qorvel_pvm.asm import assemble
>>> from qorvel_pvm.parallel import Job, run_many
>>> blob = assemble("load_imm r7, 42\\ntrap")
>>> [r.registers[7] for r in run_many([Job(blob), Job(blob, memory=CyMemory())], workers=2)]
[42, 42]

A job's memory belongs to its run while the run goes on: nothing else may
use it meanwhile, and `run_many` refuses a batch in which two jobs share a
memory when it runs them on several threads.  Jobs of the same program share
one `Interpreter`, so its blocks are compiled once for the whole batch.

Jobs and results pickle, so the same jobs run on other machines through
any engine that ships pickled calls, with `run_job` as the function to call
(see examples/dask_batch.py).
"""

from __future__ import annotations

import os
import threading
from typing import Iterable, NamedTuple, Optional, Sequence, Union, cast

from .cpvm import vm_interpreter
from .cpvm.vm_memory import CyMemory
from .interpreter import HostHandler, Interpreter, ProgramLike, RunResult

__all__ = ["Job", "run_job", "run_many"]


class Job(NamedTuple):
    """One run: the program (a blob or a `CyProgram`) and the arguments
    `run()` takes for it.  Without a memory the run makes a new one."""

    program: ProgramLike
    registers: Optional[Sequence[int]] = None
    memory: Optional[CyMemory] = None
    pc: int = 0
    gas: int = 10_000
    host: Optional[HostHandler] = None


def run_job(job: Job, interpreter: Optional[Interpreter] = None) -> RunResult:
    """Runs one job (on `interpreter`, an Interpreter of the job's program,
    when given) and returns its result."""
    if not isinstance(job, Job):
        raise TypeError(f"a job must be a Job, not '{type(job).__name__}'")
    if interpreter is None:
        interpreter = Interpreter(job.program)
    return interpreter.run(registers=job.registers, memory=job.memory, pc=job.pc, gas=job.gas, host=job.host)


def _interpreters(jobs: Sequence[Job]) -> list[Union[Interpreter, Exception]]:
    """An Interpreter per job, shared by the jobs of the same program (the
    same CyProgram object, or equal blobs); for a program that cannot be
    run (a blob that does not decode), the exception making it raised."""
    by_program: dict[object, Union[Interpreter, Exception]] = {}
    found = []
    for job in jobs:
        key: object = job.program if isinstance(job.program, bytes) else id(job.program)
        interpreter = by_program.get(key)
        if interpreter is None:
            try:
                interpreter = Interpreter(job.program)
            except Exception as e:
                interpreter = e
            by_program[key] = interpreter
        found.append(interpreter)
    return found


def _run(job: Job, interpreter: Union[Interpreter, Exception]) -> RunResult:
    if isinstance(interpreter, Exception):
        raise interpreter
    return run_job(job, interpreter)


def _check_memories(batch: Sequence[Job]) -> None:
    """Refuses jobs sharing a memory: on several threads their runs would
    find it busy or see each other's changes, depending on timing."""
    first: dict[int, int] = {}
    for i, job in enumerate(batch):
        if job.memory is not None:
            j = first.setdefault(id(job.memory), i)
            if j != i:
                raise ValueError(f"jobs {j} and {i} share a memory: each job running on its own thread needs its own")


def run_many(
    jobs: Iterable[Job], workers: Optional[int] = None, *, return_exceptions: bool = False
) -> list[Union[RunResult, BaseException]]:
    """Runs the jobs on `workers` threads (default: one per core, at most
    one per job) and returns their results in the order of the jobs.

    A job that raises (also for a program that does not decode) stops the
    batch: jobs not started yet are not run, and the first exception (in
    job order) is raised once the running ones ended.  With
    `return_exceptions`, every job runs and an exception takes the place of
    its job's result.  On more than one thread, jobs must not share a
    memory (ValueError).  Ctrl-C stops the runs in progress (each
    raises KeyboardInterrupt at its next check) and raises KeyboardInterrupt.
    With one worker the jobs run one by one on the calling thread.
    """
    batch = list(jobs)
    for job in batch:
        if not isinstance(job, Job):
            raise TypeError(f"run_many() takes Job objects, not '{type(job).__name__}'")
    if workers is None:
        workers = os.cpu_count() or 1
    elif isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int, not '{type(workers).__name__}'")
    elif workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    workers = min(workers, len(batch))
    if workers > 1:
        _check_memories(batch)
    interpreters = _interpreters(batch)
    results: list[Union[RunResult, BaseException, None]] = [None] * len(batch)
    errors: dict[int, BaseException] = {}
    if workers <= 1:
        for i, job in enumerate(batch):
            try:
                results[i] = _run(job, interpreters[i])
            except Exception as e:
                if not return_exceptions:
                    raise
                results[i] = e
        return cast(list[Union[RunResult, BaseException]], results)

    lock = threading.Lock()
    next_job = 0
    stopping = False
    running: set[int] = set()  # thread idents of the workers inside a run
    # Set when the last worker is done.  Waited for instead of joining the
    # threads: a join that Ctrl-C interrupts may take a thread that is still
    # running for finished (Python 3.12).
    left = workers
    all_done = threading.Event()

    def worker() -> None:
        nonlocal next_job, stopping, left
        me = threading.get_ident()
        try:
            while True:
                with lock:
                    if stopping or next_job >= len(batch):
                        return
                    i = next_job
                    next_job += 1
                    running.add(me)
                try:
                    results[i] = _run(batch[i], interpreters[i])
                except BaseException as e:
                    with lock:
                        errors[i] = e
                        if not return_exceptions or not isinstance(e, Exception):
                            stopping = True
                finally:
                    with lock:
                        running.discard(me)
        finally:
            # A stop asked for after this thread's last run must not reach
            # a later run on a thread that gets the same ident.
            with lock:
                vm_interpreter._interrupt_thread(me, False)
                left -= 1
                if left == 0:
                    all_done.set()

    threads = [threading.Thread(target=worker, name=f"qorvel_pvm worker {n}", daemon=True) for n in range(workers)]
    try:
        for t in threads:
            t.start()
        all_done.wait()
    except BaseException:
        # Ctrl-C (or another exception) while starting or waiting: no new
        # runs, and the runs in progress stop at their next check.  A thread
        # that is not alive now runs no job (it finds `stopping` set).
        with lock:
            stopping = True
            for ident in running:
                vm_interpreter._interrupt_thread(ident, True)
        while any(t.is_alive() for t in threads):
            all_done.wait(0.01)
        raise
    for i in sorted(errors):
        if return_exceptions and isinstance(errors[i], Exception):
            results[i] = errors[i]
        else:
            raise errors[i]
    # Every job ran: each has its result or (return_exceptions) its exception.
    return cast(list[Union[RunResult, BaseException]], results)
