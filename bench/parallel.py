"""Throughput of batches of runs on 1, 2 and all cores (`qorvel_pvm.run_many`).

Each batch is 8 independent jobs, each with its own memory:

  sort      bench/programs/sort.pvmasm: 500,000 pseudo-random numbers made,
            sorted by a recursive quicksort and hashed, through calls and
            returns by the jump table, frames on the stack and an array on
            the heap (compiled-style code, no host calls)
  sieve     examples/sieve.pvmasm up to 10,000,000
  service   bench/programs/service.pvmasm on 128 KiB with its Python host
            handler (a host call about every 820 instructions)

The batch runs with `workers` = 1 (one by one on the calling thread), 2 and
the number of cores; the figure is guest instructions per second over the
batch (best wall-clock time of several), and the speed-up is against one
worker.  Every result is checked against the expected one first.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SORT = HERE / "programs" / "sort.pvmasm"
SIEVE = ROOT / "examples" / "sieve.pvmasm"
JOBS = 8
GAS = 1 << 62
STACK_TOP, HALT_ADDRESS, HEAP = 0xFEFE0000, 0xFFFF0000, 0x20000
ARGS_START = 0xFEFF0000
MASK = (1 << 64) - 1


def expected_sort(n: int, seed: int) -> int:
    """The hash sort.pvmasm computes, in Python."""
    x, values = seed, []
    for _ in range(n):
        x ^= (x << 13) & MASK
        x ^= x >> 7
        x ^= (x << 17) & MASK
        values.append(x)
    h = 0xCBF29CE484222325
    for v in sorted(values):
        h = ((h ^ v) * 0x100000001B3) & MASK
    return h


@dataclass
class Batch:
    key: str
    title: str
    make_jobs: Callable[[], list]        # a fresh batch (new memories each time)
    check: Callable[[list], None]       # raises on a wrong result


def sort_batch(n: int = 500_000) -> Batch:
    from qorvel_pvm import CyMemory, CyProgram, Job
    from qorvel_pvm.asm import assemble

    program = CyProgram(assemble(SORT.read_text()))
    seeds = [0x9E3779B97F4A7C15 + k for k in range(JOBS)]

    def make_jobs() -> list:
        jobs = []
        for seed in seeds:
            registers = [0] * 13
            registers[0], registers[1], registers[7], registers[8] = HALT_ADDRESS, STACK_TOP, n, seed
            memory = CyMemory.from_pc(b"", b"", b"", 0, 1 << 16, HEAP)
            jobs.append(Job(program, registers=registers, memory=memory, gas=GAS))
        return jobs

    hashes = [expected_sort(n, seed) for seed in seeds]

    def check(results: list) -> None:
        got = [(r.status, r.registers[7], r.registers[8]) for r in results]
        if got != [("halt", h, 1) for h in hashes]:
            raise AssertionError(f"sort: {got}")
    return Batch("sort", f"sort of {n:,} numbers (calls, frames, heap)", make_jobs, check)


# How many primes there are up to the bounds the batch is run with.
PRIME_COUNTS = {2_000_000: 148_933, 10_000_000: 664_579}


def sieve_batch(bound: int = 10_000_000) -> Batch:
    from qorvel_pvm import CyMemory, CyProgram, Job
    from qorvel_pvm.asm import assemble

    program = CyProgram(assemble(SIEVE.read_text()))
    arg = str(bound).encode()

    def make_jobs() -> list:
        jobs = []
        for _ in range(JOBS):
            registers = [0] * 13
            registers[0], registers[1], registers[7], registers[8] = HALT_ADDRESS, STACK_TOP, ARGS_START, len(arg)
            memory = CyMemory.from_pc(b"", b"", arg, 0, 4096, HEAP)
            jobs.append(Job(program, registers=registers, memory=memory, gas=GAS))
        return jobs

    def check(results: list) -> None:
        got = {(r.status, r.registers[7]) for r in results}
        if got != {("halt", PRIME_COUNTS[bound])}:
            raise AssertionError(f"sieve: {got}")
    return Batch("sieve", f"sieve up to {bound:,}", make_jobs, check)


def service_batch(size: int = 128 * 1024) -> Batch:
    sys.path.insert(0, str(HERE))
    import service
    from qorvel_pvm import Job, image

    container = service.container()
    program = image.load(container).program
    arg = service.make_input(size)
    expected = tuple(service.expected(arg))

    def make_jobs() -> list:
        jobs = []
        for _ in range(JOBS):
            img = image.load(container, args=arg)
            jobs.append(Job(program, registers=img.registers, memory=img.memory, gas=GAS, host=service.handle))
        return jobs

    def check(results: list) -> None:
        got = {(r.status, tuple(r.registers[7:10])) for r in results}
        if got != {("halt", expected)}:
            raise AssertionError(f"service: {got}, expected {expected}")
    return Batch("service", f"service on {size // 1024} KiB with a host handler", make_jobs, check)


def worker_counts() -> list[int]:
    cores = os.cpu_count() or 1
    return sorted({1, 2, cores})


def measure(repeats: int = 7) -> dict[str, dict[int, float]]:
    """Guest instructions per second of each batch, by number of workers."""
    import time

    from qorvel_pvm import run_many

    rates: dict[str, dict[int, float]] = {}
    for batch in (sort_batch(), sieve_batch(), service_batch()):
        rates[batch.key] = {}
        batch.check(run_many(batch.make_jobs(), workers=2))  # warm-up: compiles blocks
        for workers in worker_counts():
            best = float("inf")
            instructions = 0
            for _ in range(repeats):
                jobs = batch.make_jobs()
                start = time.perf_counter()
                results = run_many(jobs, workers=workers)
                best = min(best, time.perf_counter() - start)
                batch.check(results)
                instructions = sum(GAS - r.gas for r in results)
            rates[batch.key][workers] = instructions / best
        print(f"  {batch.key:<8} " + "   ".join(
            f"{w} worker{'s' if w > 1 else ''} {r / 1e6:,.0f} M instr/s" for w, r in rates[batch.key].items()),
            flush=True)
    return rates


TITLES = {"sort": "sort of 500,000 numbers (calls, frames, heap)", "sieve": "sieve up to 10,000,000",
          "service": "service on 128 KiB, Python host handler"}


def table(rates: dict[str, dict[int, float]]) -> tuple[list[str], list[list[str]]]:
    counts = worker_counts()
    headers = ["batch of 8 jobs"] + [f"{w} worker{'s' if w > 1 else ''}" for w in counts]
    rows = []
    for key, by_workers in rates.items():
        one = by_workers[1]
        rows.append([TITLES[key]] + [
            f"{by_workers[w] / 1e6:,.0f} M instr/s" + ("" if w == 1 else f" ({by_workers[w] / one:.2f}x)")
            for w in counts])
    return headers, rows


if __name__ == "__main__":
    sys.path.insert(0, str(ROOT / "src"))
    measure()
