"""How fast qorvel_pvm runs: fixed workloads, measured three ways in one run.

Workloads (programs written with `qorvel_pvm.asm`, run through
`qorvel_pvm.Interpreter(blob).run(...)`):

  block     a long arithmetic block: 1,000 `add_imm_64` and a loop counter,
            one basic block of 1,002 instructions run K times
  loop      a tight counted loop of short blocks: `add_imm_64` + `branch_ne_imm`
  memory    a load/store loop over 64 KiB of writable pages: `add_imm_64`,
            `store_ind_u64`, `load_ind_u64`, `branch_ne_imm`
  memcopy   a 64 KiB copy through `CyMemory.read` and `CyMemory.write`
  sieve     a real program: examples/sieve.pvmasm, the sieve of Eratosthenes
            over N + 1 flag bytes of heap, then a hash of the primes
  run       a `run()` call of a program that halts at once, given a memory
            (the fixed cost of a call)
  run-new   the same without a memory, so that `run()` makes a new one
  service   compiled-style code: bench/programs/service.pvmasm in the
            standard container (bench/service.py) parses a 128 KiB argument
            of records with calls and returns through the jump table, frames
            on the stack, a hash table and a log on the heap, and a host
            call about every 820 instructions (one per record, and one per
            key weight it has not cached), answered by a Python handler
            (`host=`)
  service-resume
            the same program without a handler: the run stops at each host
            call, the benchmark answers it and runs again from there
  hostcall  a loop of 22 simple instructions and one `ecalli`, with a
            handler that does nothing

For each workload:

  speed      units per second, wall clock, best of several timed batches
             (units are guest instructions, bytes for memcopy, calls for run)
  host/unit  host instructions per unit from valgrind's callgrind: the
             workload runs in two processes at two sizes and the difference
             of the instruction totals is divided by the difference of the
             units, so interpreter start-up, imports and block compilation
             cancel out
  vs ref     the speed divided by the speed of bench/reference.py, a plain
             Python interpreter of the same machine, on the same input

Before timing, the native and the reference interpreters run every workload
and a program that uses every instruction, and must agree (status, pc, gas,
registers and memory); the reference, which has no host handlers, answers
host calls by stopping and resuming.  The service must also halt with the
results bench/service.py computes for its input, with the handler and by
stopping and resuming alike.

Besides, the sieve runs on a bound of 10,000,000 against the same algorithm
in C++ (bench/sieve_native.cpp, compiled with $CXX or g++ at -O3 into a
temporary directory): both must find the same primes, and the ratio of their
best wall-clock times is reported as "N x native".  And batches of 8 runs
(compiled-style sorting, the sieve, the service with its handler) run on 1,
2 and all cores through `qorvel_pvm.run_many` (bench/parallel.py).

The figures are printed and written into docs/PERFORMANCE.md (between its
"bench:results" markers).

The package is imported as it is installed; when it is not importable the
script installs it first with `pip install .` into the running interpreter's
environment (`--install` forces that).

Usage: python bench/run.py [--install] [--no-callgrind] [--no-native] [--no-doc]
                           [--only KEY,...]
(`--only` takes workload keys, `native` for the comparison with C++ and
`parallel` for the batches on several cores.)
"""

from __future__ import annotations

import argparse
import concurrent.futures
import datetime
import gc
import json
import os
import platform
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DOC = ROOT / "docs" / "PERFORMANCE.md"
BEGIN_MARK = "<!-- bench:results:begin -->"
END_MARK = "<!-- bench:results:end -->"

GAS = 1 << 62
HALT = "load_imm_jump_ind r0, r12, 0, -0x10000"  # jump to 0xFFFF0000 (r12 is 0): halt
HEAP = 0x20000  # first writable page of CyMemory.from_pc(b"", b"", b"", z, s)
KIB64 = 0x10000


# ----- the package -----------------------------------------------------------------------


def ensure_package(force_install: bool) -> None:
    """Makes `qorvel_pvm` importable: when it is not (or with `force_install`),
    installs it with pip and starts the script again in a fresh process."""
    if not force_install:
        try:
            import qorvel_pvm.asm  # noqa: F401
            from qorvel_pvm import Interpreter  # noqa: F401
            return
        except ImportError as e:
            print(f"qorvel_pvm is not importable ({e}); installing it with pip", flush=True)
    cmd = [sys.executable, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", str(ROOT)]
    print("$ " + " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)
    # Extension modules cannot be loaded twice into one process: start afresh.
    args = [a for a in sys.argv[1:] if a != "--install"]
    os.execv(sys.executable, [sys.executable, str(Path(__file__).resolve()), *args])


# ----- workloads -------------------------------------------------------------------------

BLOCK_LEN = 1000


def block_source() -> str:
    adds = "\n".join(f"    add_imm_64 r{1 + k % 10}, r{1 + k % 10}, {k % 7 + 1}" for k in range(BLOCK_LEN))
    return f"""
top:
{adds}
    add_imm_64 r0, r0, -1
    branch_ne_imm r0, 0, top
    {HALT}
"""


LOOP_SOURCE = f"""
loop:
    add_imm_64 r1, r1, -1
    branch_ne_imm r1, 0, loop
    {HALT}
"""

# r1 starts at the end of the region and walks down 8 bytes at a time; each
# word receives its own address and the loop ends when the word read back is
# the region's start, so every iteration depends on the load.
MEMORY_SOURCE = f"""
loop:
    add_imm_64 r1, r1, -8
    store_ind_u64 r1, r1, 0
    load_ind_u64 r2, r1, 0
    branch_ne_imm r2, {HEAP:#x}, loop
    {HALT}
"""

RUN_SOURCE = HALT

# A chain of ONCE_BLOCKS blocks of 8 instructions, each run at most once:
# r0 counts the blocks down and the run halts when it reaches 0, so a run of
# `size` blocks translates `size` blocks (the program is the same at every
# size, so assembling it costs the same).
ONCE_BLOCKS = 20_000


def once_source() -> str:
    blocks = []
    for k in range(ONCE_BLOCKS):
        adds = "\n".join(f"    add_imm_64 r{1 + (k + j) % 10}, r{1 + (k + j) % 10}, {j + 1}" for j in range(6))
        blocks.append(f"{adds}\n    add_imm_64 r0, r0, -1\n    branch_eq_imm r0, 0, done")
    return "\n".join(blocks) + f"\n    trap\ndone:\n    {HALT}\n"


# 22 simple instructions and a host call per iteration (the call in the
# middle of the block, so that each call resumes inside it); r1 counts down.
HOSTCALL_SOURCE = f"""
loop:
    add_imm_64 r2, r2, 3
    xor r3, r3, r2
    add_64 r4, r4, r3
    shlo_l_imm_64 r5, r2, 1
    and_imm r6, r4, 0xff
    or r7, r7, r6
    sub_64 r8, r8, r5
    xor_imm r9, r9, 5
    add_64 r10, r10, r2
    move_reg r11, r9
    ecalli 0
    shlo_r_imm_64 r5, r4, 3
    add_64 r2, r2, r5
    xor r3, r3, r11
    and_imm r6, r3, 0xfff
    add_64 r4, r4, r6
    or_imm r7, r7, 1
    sub_64 r8, r8, r7
    add_imm_64 r9, r9, 7
    xor r10, r10, r8
    move_reg r11, r4
    add_imm_64 r1, r1, -1
    branch_ne_imm r1, 0, loop
    {HALT}
"""


def ignore_host_call(call, registers, memory):
    return None


def run_resuming(run, registers, memory, gas, handler):
    """Runs without a host handler: at each stop with status "host", applies
    `handler` to the returned registers and memory and runs again from the
    returned pc with the gas left.  Returns the last result.  This is how the
    reference interpreter, which stops at every host call, runs the host-call
    workloads."""
    r = run(registers=registers, memory=memory, gas=gas)
    while r.status == "host":
        regs = list(r.registers)
        handler(r.host_call, regs, r.memory)
        r = run(registers=regs, memory=r.memory, pc=r.pc, gas=r.gas)
    return r

SIEVE = ROOT / "examples" / "sieve.pvmasm"
# The standard program layout the sieve runs in: its argument (N in decimal)
# at 0xFEFF0000, the stack below 0xFEFE0000, the heap break at 0x20000.
ARGS_START, STACK_TOP, HALT_ADDRESS = 0xFEFF0000, 0xFEFE0000, 0xFFFF0000


@dataclass
class Workload:
    key: str
    title: str
    unit: str          # what one unit is: "instr", "B" or "call"
    size: int          # size of one timed call
    cg_sizes: tuple[int, int]  # the two callgrind sizes
    describe: Callable[[int], str]


WORKLOADS = [
    Workload("block", "long arithmetic block", "instr", 100, (20, 220),
             lambda n: f"{n} x block of {BLOCK_LEN:,} add_imm_64 + counter + branch"),
    Workload("loop", "tight counted loop", "instr", 100_000, (10_000, 60_000),
             lambda n: f"{n:,} x (add_imm_64, branch_ne_imm)"),
    Workload("memory", "load/store loop", "instr", 65536, (16384, 65536),
             lambda n: f"{n:,} x (add_imm_64, store_ind_u64, load_ind_u64, branch_ne_imm)"),
    Workload("memcopy", "64 KiB copy (read + write)", "B", 1, (10, 110),
             lambda n: "read(0x20000, 65536), write(0x30000, ...)"),
    Workload("sieve", "sieve (a real program)", "instr", 300_000, (20_000, 120_000),
             lambda n: f"examples/sieve.pvmasm, primes up to {n:,} ({n / 1024:,.0f} KiB of flags) and their hash"),
    Workload("run", "run() call, halt only", "call", 1, (200, 1200),
             lambda n: "run() of a program that halts at once, memory given"),
    Workload("run-new", "run() call with a new memory", "call", 1, (100, 300),
             lambda n: "the same, run() makes a new empty memory"),
    Workload("service", "compiled-code service, host handler", "instr", 128 * 1024, (128 * 1024, 384 * 1024),
             lambda n: f"bench/programs/service.pvmasm on a {n // 1024:,} KiB argument: "
                       "calls, frames, heap, a host call every ~820 instructions, host=fn"),
    Workload("service-resume", "compiled-code service, stop/resume", "instr", 128 * 1024,
             (128 * 1024, 384 * 1024),
             lambda n: f"the same, {n // 1024:,} KiB; each host call stops the run, which resumes from its pc"),
    Workload("once", "blocks run once (each compiled)", "instr", ONCE_BLOCKS, (4_000, ONCE_BLOCKS),
             lambda n: f"a chain of {n:,} blocks of 8 instructions (6 add_imm_64, a counter, a branch), "
                       "each run once by a new interpreter"),
    Workload("hostcall", "trivial host call every 23 instructions, with a handler", "instr", 20_000,
             (2_000, 12_000),
             lambda n: f"{n:,} x (22 simple instructions + ecalli), host=lambda call, registers, memory: None"),
]
BY_KEY = {w.key: w for w in WORKLOADS}


class Case:
    """One workload on one implementation: `once()` does one timed call and
    returns (units, outcome), the outcome being what the two implementations
    must agree on."""

    def __init__(self, key: str, size: int, native: bool):
        import reference as ref
        from qorvel_pvm import CyMemory, Interpreter
        from qorvel_pvm.asm import assemble

        self.key, self.size = key, size
        make_interpreter = Interpreter if native else ref.Interpreter
        if native:
            def layout(z):
                return CyMemory.from_pc(b"", b"", b"", z, 4096)
        else:
            def layout(z):
                return ref.Memory.from_pc(b"", b"", b"", z, 4096)
        regs = [0] * 13
        self.memory = None  # None: each run() makes a new one
        if key == "memcopy":
            mem = layout(32)  # 128 KiB writable from 0x20000
            mem.write(HEAP, bytes(range(256)) * 256)
            self.memory = mem

            def once():
                mem.write(HEAP + KIB64, mem.read(HEAP, KIB64))
                return KIB64, mem.read(HEAP + KIB64, KIB64)
            self.once = once
            return
        if key == "sieve":
            arg = str(size).encode()
            source = SIEVE.read_text()
            regs[0], regs[1], regs[7], regs[8] = HALT_ADDRESS, STACK_TOP, ARGS_START, len(arg)
            memory_class = CyMemory if native else ref.Memory
            interpreter = make_interpreter(assemble(source))

            def once():
                # A new memory each time: the sieve takes its flags from the heap.
                memory = memory_class.from_pc(b"", b"", arg, 0, 4096, HEAP)
                r = interpreter.run(registers=regs, memory=memory, gas=GAS)
                return GAS - r.gas, (r.status, r.pc, r.gas, list(r.registers), r.fault_address)
            self.once = once
            return
        if key in ("service", "service-resume"):
            import service
            from qorvel_pvm import image

            arg = service.make_input(size)
            if native:
                container = service.container()
                interpreter = make_interpreter(image.load(container).program)

                def start():
                    img = image.load(container, args=arg)  # a new memory each time
                    return img.registers, img.memory
            else:
                interpreter = make_interpreter(service.program_blob())

                def start():
                    memory = ref.Memory.from_pc(service.READ_ONLY, service.READ_WRITE, arg, service.HEAP_PAGES,
                                                service.STACK_SIZE, heap=service.WRITE_START)
                    registers = [0] * 13
                    registers[0], registers[1], registers[7], registers[8] = \
                        HALT_ADDRESS, STACK_TOP, ARGS_START, len(arg)
                    return registers, memory
            with_handler = native and key == "service"

            def once():
                registers, memory = start()
                if with_handler:
                    r = interpreter.run(registers=registers, memory=memory, gas=GAS, host=service.handle)
                else:
                    r = run_resuming(interpreter.run, registers, memory, GAS, service.handle)
                # The globals and the key counters (the table and the log are in the digest, r9).
                data = r.memory.read(service.WRITE_START, service.COUNTERS_END - service.WRITE_START)
                return GAS - r.gas, (r.status, r.pc, r.gas, list(r.registers), r.fault_address, data)
            self.once = once
            return
        if key == "block":
            source, regs[0] = block_source(), size
        elif key == "loop":
            source, regs[1] = LOOP_SOURCE, size
        elif key == "memory":
            source, regs[1] = MEMORY_SOURCE, HEAP + 8 * size
            self.memory = layout(128)  # 512 KiB writable from 0x20000
            # The pages exist before the first run, as they do for every run
            # after it: the figures are those of the loop at every size.
            self.memory.write(HEAP, bytes(128 * 4096))
        elif key == "hostcall":
            source, regs[1] = HOSTCALL_SOURCE, size
        elif key == "once":
            blob = assemble(once_source())
            regs[0] = size

            def once():
                # A new interpreter each time: every block is compiled again.
                r = make_interpreter(blob).run(registers=regs, gas=GAS)
                return GAS - r.gas, (r.status, r.pc, r.gas, list(r.registers), r.fault_address)
            self.once = once
            return
        else:
            source = RUN_SOURCE
            if key == "run":
                self.memory = CyMemory() if native else ref.Memory()
        interpreter = make_interpreter(assemble(source))
        memory = self.memory

        def once():
            if key != "hostcall":
                r = interpreter.run(registers=regs, memory=memory, gas=GAS)
            elif native:
                r = interpreter.run(registers=regs, memory=memory, gas=GAS, host=ignore_host_call)
            else:
                r = run_resuming(interpreter.run, regs, memory, GAS, ignore_host_call)
            outcome = (r.status, r.pc, r.gas, list(r.registers), r.fault_address)
            if key == "memory":
                outcome += (r.memory.read(HEAP, 8 * size),)
            return GAS - r.gas, outcome
        self.once = once


def coverage_program() -> str:
    """A program that runs every instruction once (branches both ways) and
    halts, storing every result it computes into memory at r1."""
    from qorvel_pvm.asm import INSTRUCTIONS, NO_ARGS, OFFSET, REG_IMM_OFFSET, TWO_REG, TWO_REG_IMM, TWO_REG_TWO_IMM

    out = [".jumptable via_table",
           f"    add_imm_64 r1, r1, {HEAP:#x}",     # r1: results
           "    add_imm_64 r2, r2, -0x12345678",     # r2: a negative value
           "    add_imm_64 r3, r3, 0x4321",          # r3: a small positive value
           "    add_imm_64 r11, r11, 0x1000",        # r11: sbrk size
           "    fallthrough"]
    slot = 0

    def keep(reg):
        nonlocal slot
        out.append(f"    store_ind_u64 {reg}, r1, {8 * slot}")
        slot += 1

    label = 0
    for name, info in INSTRUCTIONS.items():
        if info.form == TWO_REG:
            if name == "sbrk":
                out.append("    sbrk r4, r11")
                keep("r4")
                out.append("    store_ind_u32 r2, r4, 0x7fc")  # into the new heap page
                continue
            for src in ("r2", "r3"):
                out.append(f"    {name} r4, {src}")
                keep("r4")
        elif info.form == TWO_REG_IMM:
            if name.startswith("store"):
                out.append(f"    {name} r2, r1, {8 * slot + 3}")
                slot += 2
            elif name.startswith("load"):
                for off in (8 * slot - 13, 8 * slot - 5):  # bytes the stores above wrote
                    out.append(f"    {name} r4, r1, {off}")
                    keep("r4")
            else:
                for src, imm in (("r2", 5), ("r3", -3), ("r2", 0x7fffffff), ("r12", 0)):
                    out.append("    move_reg r4, r3")
                    out.append(f"    {name} r4, {src}, {imm}")
                    keep("r4")
        elif info.form == REG_IMM_OFFSET:
            for src, imm in (("r2", -1), ("r3", 0x4321), ("r3", 0x4322), ("r2", -0x12345678)):
                label += 1
                if name == "load_imm_jump":
                    out.append(f"    {name} r4, {imm}, T{label}")
                    out.append("    trap")
                else:
                    out.append(f"    {name} {src}, {imm}, T{label}")
                    out.append("    add_imm_64 r5, r5, 1")
                    out.append("    fallthrough")
                out.append(f"T{label}:")
                out.append("    shlo_l_imm_64 r5, r5, 1")
                keep("r4" if name == "load_imm_jump" else "r5")
        elif info.form == OFFSET:
            out += ["    jump J1", "    trap", "J1:"]
        elif info.form == NO_ARGS:
            pass  # trap and fallthrough are used above
        elif info.form == TWO_REG_TWO_IMM:  # the indirect jump, through entry 0 of the jump table
            out += ["    load_imm_jump_ind r4, r12, 77, 2", "    trap", "via_table:"]
            keep("r4")
    out.append(f"    {HALT}")
    return "\n".join(out)


def snapshot(memory) -> list[Optional[bytes]]:
    """The bytes of the writable pages of the programs below (4 pages and one
    page of heap growth), None for a page that is not readable."""
    pages = []
    for page in range(5):
        try:
            pages.append(memory.read(HEAP + page * 4096, 4096))
        except Exception:  # the page fault of either implementation
            pages.append(None)
    return pages


def check_agreement() -> list[str]:
    """Runs programs on both interpreters; returns the disagreements."""
    import reference as ref
    from qorvel_pvm import CyMemory, Interpreter
    from qorvel_pvm.asm import assemble

    problems = []
    programs = {
        "every instruction": (coverage_program(), [0] * 13, 100_000),
        "trap": ("trap", [0] * 13, 100),
        "page fault": ("store_ind_u8 r0, r0, 0x1000\n" + HALT, [0] * 13, 100),
        "out of gas": (LOOP_SOURCE, [0, 1000] + [0] * 11, 1001),
    }
    for name, (source, regs, gas) in programs.items():
        blob = assemble(source)
        a = Interpreter(blob).run(registers=regs, memory=CyMemory.from_pc(b"", b"", b"", 4, 4096), gas=gas)
        b = ref.Interpreter(blob).run(registers=regs, memory=ref.Memory.from_pc(b"", b"", b"", 4, 4096), gas=gas)
        got = (a.status, a.pc, a.gas, a.registers, a.fault_address, snapshot(a.memory))
        want = (b.status, b.pc, b.gas, b.registers, b.fault_address, snapshot(b.memory))
        if got != want:
            problems.append(f"{name}: native {got[:5]} reference {want[:5]}"
                            + ("" if got[5] == want[5] else " (memory differs)"))
        elif name == "every instruction" and a.status != "halt":
            problems.append(f"{name}: ended with {a.status} at pc {a.pc}, expected a halt")
    small = {"sieve": 5000, "service": 8192, "service-resume": 8192, "hostcall": 300, "once": 300,
             "memory": 2048}
    for w in WORKLOADS:
        size = {"loop": min(w.size, 2000), "block": min(w.size, 5), **small}.get(w.key, w.size)
        (_, a), (_, b) = Case(w.key, size, True).once(), Case(w.key, size, False).once()
        if a != b:
            problems.append(f"{w.key}: native {a[:5]} reference {b[:5]}")
        elif w.key != "memcopy" and a[0] != "halt":
            problems.append(f"{w.key}: ended with {a[0]} at pc {a[1]}, expected a halt")
    return problems + check_service(small["service"], BY_KEY["service"].size)


def check_service(*sizes: int) -> list[str]:
    """The service must halt with the results bench/service.py computes, and
    end in the same state with a handler and by stopping and resuming."""
    import service

    problems = []
    for size in sizes:
        want = service.expected(service.make_input(size))
        outcomes = {key: Case(key, size, True).once()[1] for key in ("service", "service-resume")}
        for key, (status, pc, _, registers, _, _) in outcomes.items():
            if status != "halt" or tuple(registers[7:10]) != tuple(want):
                problems.append(f"{key} ({size} bytes): {status} at pc {pc} with r7, r8, r9 = {registers[7:10]}, "
                                f"expected a halt with {list(want)}")
        if outcomes["service"] != outcomes["service-resume"]:
            problems.append(f"service ({size} bytes): the run with a handler and the stop/resume run end in "
                            "different states")
    return problems


# ----- wall clock ------------------------------------------------------------------------


def best_time(batch: Callable[[], object], repeats: int) -> float:
    """The shortest of `repeats` wall-clock times of `batch()`, the garbage
    collector paused."""
    best = float("inf")
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter()
            batch()
            best = min(best, time.perf_counter() - start)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def units_per_second(case: Case, batch_seconds: float, repeats: int) -> float:
    """Best rate over `repeats` batches, each long enough to take about `batch_seconds`."""
    units, _ = case.once()  # warm-up: compiles blocks, creates pages
    start = time.perf_counter()
    case.once()
    number = max(1, int(batch_seconds / max(time.perf_counter() - start, 1e-9)))

    def batch() -> None:
        for _ in range(number):
            case.once()
    return units * number / best_time(batch, repeats)


# ----- against native code ---------------------------------------------------------------

NATIVE_SOURCE = HERE / "sieve_native.cpp"
NATIVE_BOUND = 10_000_000
NATIVE_REPEATS = 5


class Disagreement(Exception):
    """The PVM and the native program computed different results."""


@dataclass
class NativeRatio:
    pvm_seconds: float     # best wall-clock time of one Interpreter.run of the sieve
    native_seconds: float  # best wall-clock time of the same sieve in C++
    compiler: str          # the compiler and its flags, for the report
    primes: int

    @property
    def ratio(self) -> float:
        return self.pvm_seconds / self.native_seconds


def native_compiler() -> list[str]:
    """The C++ compiler the package builds with: $CXX, else g++."""
    return shlex.split(os.environ.get("CXX") or "g++")


def native_ratio() -> NativeRatio | str:
    """Runs the sieve up to NATIVE_BOUND on the PVM and as C++ compiled at the
    package's optimisation level (-O3), best of NATIVE_REPEATS runs each.
    Returns why not when there is no compiler; raises Disagreement when the
    two find different primes."""
    cxx = native_compiler()
    if shutil.which(cxx[0]) is None:
        return f"not measured: no C++ compiler (`{cxx[0]}` not found; set CXX)"
    first_line = (subprocess.run([*cxx, "--version"], capture_output=True, text=True).stdout.splitlines() or [""])[0]
    version = first_line.split()[-1] if first_line.split() else "?"
    flags = ["-std=c++20", "-O3", "-DNDEBUG"]  # the package's Release flags
    with tempfile.TemporaryDirectory() as tmp:
        exe = Path(tmp) / "sieve_native"
        proc = subprocess.run([*cxx, *flags, str(NATIVE_SOURCE), "-o", str(exe)], capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"compiling {NATIVE_SOURCE.name} failed:\n{proc.stderr[-3000:]}")
        out = subprocess.run([str(exe), str(NATIVE_BOUND), str(NATIVE_REPEATS)], capture_output=True, text=True,
                             check=True).stdout
    fields = dict(item.split("=", 1) for item in out.split())
    native = [int(fields[name]) for name in ("r7", "r8", "r9")]

    case = Case("sieve", NATIVE_BOUND, True)
    _, (status, pc, _, registers, _) = case.once()  # compiles the blocks
    if status != "halt" or registers[7:10] != native:
        raise Disagreement(f"sieve up to {NATIVE_BOUND:,}: the PVM ended with {status} at pc {pc}, "
                           f"r7, r8, r9 = {registers[7:10]}; the native program printed {native}")
    best = best_time(case.once, NATIVE_REPEATS)
    return NativeRatio(best, int(fields["best_ns"]) / 1e9, f"{os.path.basename(cxx[0])} {version} {flags[1]}",
                       registers[7])


def fmt_seconds(value: float) -> str:
    return f"{value:.3g} s" if value >= 1 else f"{value * 1e3:.3g} ms"


def native_line(native: NativeRatio | str) -> str:
    if isinstance(native, str):
        return f"Sieve against native code: {native}."
    return (f"Sieve against native code: `examples/sieve.pvmasm` up to {NATIVE_BOUND:,} ({native.primes:,} primes) "
            f"takes {fmt_seconds(native.pvm_seconds)} in `Interpreter.run`, the same algorithm in C++ "
            f"(`bench/sieve_native.cpp`, {native.compiler}) {fmt_seconds(native.native_seconds)}: "
            f"**{native.ratio:.3g} x native** (best of {NATIVE_REPEATS} runs each, wall clock).")


# ----- callgrind -------------------------------------------------------------------------


def inner(key: str, size: int) -> None:
    """One callgrind measurement: runs the workload at `size` and prints its
    units (memcopy and the run calls: `size` calls after a first one)."""
    case = Case(key, size, True)
    units = 0
    if key in ("memcopy", "run", "run-new"):
        case.once()  # the first call creates pages / compiles the block
        for _ in range(size):
            units += case.once()[0]
    else:
        units = case.once()[0]
    print(json.dumps({"units": units}))


OUR_MODULES = [  # shared-object name prefix -> where its cost is counted
    ("vm_block", "execute loop"),
    ("ops_", "handlers"),
    ("op_table", "handlers"),
    ("vm_program", "handlers"),
    ("vm_utils", "handlers"),
    ("vm_memory", "memory"),
    ("vm_interpreter", "driver"),
    ("vm_status", "driver"),
]
CATEGORIES = ["execute loop", "handlers", "memory", "driver", "compiled code"]
OTHER = "Python & other"


def category_of(obj: str) -> Optional[str]:
    if obj.strip() == "???":  # code with no file behind it: mostly what the block compiler made
        return "compiled code"
    base = os.path.basename(obj)
    for prefix, category in OUR_MODULES:
        if base.startswith(prefix) and ".cpython-" in base:
            return category
    return None


@dataclass
class Profile:
    total: int
    self_cost: dict[tuple[str, str], int]   # (object, function) -> instructions in it
    by_category: dict[str, int]             # our modules, with the calls they make outside


def parse_callgrind(path: Path) -> Profile:
    """Reads a callgrind file written with --compress-strings=no and --compress-pos=no.

    A category's cost is the instructions of its own functions plus
    everything they call outside the package (allocation, dict lookups,
    memcpy ...); calls between the package's modules are counted where they
    land."""
    total = 0
    self_cost: dict[tuple[str, str], int] = {}
    by_category = dict.fromkeys(CATEGORIES, 0)
    ob = fn = ""
    callee_ob: Optional[str] = None
    in_call = False
    with open(path) as f:
        for line in f:
            if not line or line[0] == "\n":
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                parts = line.split()
                if len(parts) < 2:
                    continue
                cost = int(parts[1])
                if in_call:
                    in_call = False
                    caller = category_of(ob)
                    # Code with no file behind it includes the linker's call
                    # stubs (which call everything through the C library):
                    # only its own instructions count as compiled code.
                    if caller not in (None, "compiled code") and category_of(callee_ob or ob) is None:
                        by_category[caller] += cost
                    callee_ob = None
                else:
                    key = (ob, fn)
                    self_cost[key] = self_cost.get(key, 0) + cost
                    category = category_of(ob)
                    if category is not None:
                        by_category[category] += cost
            elif line.startswith("ob="):
                ob = line[3:].strip()
            elif line.startswith("fn="):
                fn = line[3:].strip()
            elif line.startswith("cob="):
                callee_ob = line[4:].strip()
            elif line.startswith("calls="):
                in_call = True
            elif line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
    return Profile(total, self_cost, by_category)


def run_callgrind(key: str, size: int, tmp: Path, compiler: bool = True) -> tuple[int, Profile]:
    out = tmp / f"callgrind.{key}.{size}.{int(compiler)}.out"
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--compress-strings=no",
           "--compress-pos=no", sys.executable, str(Path(__file__).resolve()), "--inner", key, str(size)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    if not compiler:
        env["QORVEL_PVM_JIT"] = "0"
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind run of {key} ({size}) failed:\n{proc.stderr[-3000:]}")
    units = json.loads(proc.stdout.strip().splitlines()[-1])["units"]
    return units, parse_callgrind(out)


def short_name(fn: str) -> str:
    """A function's name without return type, namespaces and parameters:
    `unsigned int (anonymous namespace)::load_ind<8u, false, &(anonymous
    namespace)::kLoadU64>(pvm::CyProgram*, ...)` -> `load_ind<8u, false, &kLoadU64>`."""
    fn = fn.split("'")[0].replace("(anonymous namespace)::", "")
    depth, cut = 0, len(fn)
    for i, ch in enumerate(fn):  # the parameter list starts at the first '(' outside <>
        depth += (ch == "<") - (ch == ">")
        if ch == "(" and depth == 0:
            cut = i
            break
    name, depth, start = fn[:cut], 0, 0
    for i, ch in enumerate(name):  # the name follows the last ' ' or '::' outside <>
        depth += (ch == "<") - (ch == ">")
        if depth == 0 and ch == " ":
            start = i + 1
        elif depth == 0 and name.startswith("::", i):
            start = i + 2
    name = name[start:]
    name = re.sub(r"&\([^()]*?(\w+(?:<[^<>()]*>)?)\([^()]*\)\)", r"\1", name)  # &(T f<..>(args)) -> f<..>
    return re.sub(r"(?:\w+::)+", "", name)


@dataclass
class HostCost:
    per_unit: float
    shares: dict[str, float]            # category -> share of the difference
    top: list[tuple[str, float]]        # function -> share


def host_cost(small: tuple[int, Profile], large: tuple[int, Profile]) -> HostCost:
    (u1, p1), (u2, p2) = small, large
    units = u2 - u1
    diff = p2.total - p1.total
    shares = {c: (p2.by_category[c] - p1.by_category[c]) / diff for c in CATEGORIES}
    shares[OTHER] = 1.0 - sum(shares.values())
    deltas: dict[str, int] = {}
    for key, cost in p2.self_cost.items():
        name = short_name(key[1])
        if key[0].strip() == "???":
            name = "[compiled code]"
        elif name.startswith("0x"):  # no symbols (an installed wheel is stripped): name the module
            name = "[" + os.path.basename(key[0]).split(".")[0] + "]"
        deltas[name] = deltas.get(name, 0) + cost - p1.self_cost.get(key, 0)
    top = sorted(((n, d / diff) for n, d in deltas.items() if d / diff >= 0.01), key=lambda t: -t[1])[:4]
    return HostCost(diff / units, shares, top)


# Workloads also measured on the native loop alone (QORVEL_PVM_JIT=0), under
# the key KEY + NATIVE_SUFFIX: what the block compiler gains, or costs.
NATIVE_ALSO = ["block", "loop", "memory", "sieve", "service", "service-resume", "hostcall", "once"]
NATIVE_SUFFIX = "@native-loop"


def measure_host(keys: list[str]) -> dict[str, HostCost]:
    jobs = [(k, s, True) for k in keys for s in BY_KEY[k].cg_sizes]
    jobs += [(k, s, False) for k in keys if k in NATIVE_ALSO for s in BY_KEY[k].cg_sizes]
    results = {}
    with tempfile.TemporaryDirectory() as tmp, \
            concurrent.futures.ThreadPoolExecutor(max_workers=max(1, min(2, os.cpu_count() or 1))) as pool:
        futures = {job: pool.submit(run_callgrind, job[0], job[1], Path(tmp), job[2]) for job in jobs}
        for job, fut in futures.items():
            results[job] = fut.result()
    costs = {}
    for k, _, compiler in jobs:
        small, large = BY_KEY[k].cg_sizes
        costs[k if compiler else k + NATIVE_SUFFIX] = host_cost(results[k, small, compiler],
                                                               results[k, large, compiler])
    return costs


# ----- report ----------------------------------------------------------------------------


def machine() -> dict[str, str]:
    info = {"model": platform.processor() or platform.machine(), "cpus": str(os.cpu_count() or "?"), "cores": "?"}
    try:
        text = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        fields = dict(line.split(":", 1) for line in text.splitlines() if ":" in line)
        fields = {k.strip(): v.strip() for k, v in fields.items()}
        info["model"] = fields.get("Model name", info["model"])
        info["cpus"] = fields.get("CPU(s)", info["cpus"])
        if "Core(s) per socket" in fields and "Socket(s)" in fields:
            info["cores"] = str(int(fields["Core(s) per socket"]) * int(fields["Socket(s)"]))
    except (OSError, subprocess.CalledProcessError, ValueError):
        pass
    info["os"] = f"{platform.system()} {platform.release()}"
    info["python"] = platform.python_version()
    try:
        info["valgrind"] = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        info["valgrind"] = "not installed"
    return info


def fmt_rate(value: float, unit: str) -> str:
    """`1.42e8, "instr"` -> `142 M instr/s`; bytes as `GB/s`."""
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k"), (1, "")):
        if value >= scale or scale == 1:
            break
    number = f"{value / scale:#.3g}".rstrip(".")  # 1.00, 40.8, 141
    if "e" in number:  # 999.5 and up
        number = f"{value / scale:.0f}"
    if unit == "B":
        return f"{number} {prefix}B/s"
    return f"{number} {prefix} {UNIT_NAMES[unit]}/s".replace("  ", " ")


def fmt_ratio(value: float) -> str:
    return f"{value:,.0f}x" if value >= 10 else f"{value:.2g}x"


def fmt_host(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:.3g}"


def table_rows(rates, host):
    rows = []
    for w in WORKLOADS:
        if w.key not in rates:
            continue
        native, reference = rates[w.key]
        cost = host.get(w.key)
        loop_alone = host.get(w.key + NATIVE_SUFFIX)
        rows.append([w.title, w.describe(w.size), fmt_rate(native, w.unit),
                     f"{fmt_host(cost.per_unit)} per {'byte' if w.unit == 'B' else w.unit}" if cost else "n/a",
                     f"{fmt_host(loop_alone.per_unit)} per {w.unit}" if loop_alone else "",
                     fmt_rate(reference, w.unit), fmt_ratio(native / reference)])
    return rows


UNIT_NAMES = {"instr": "instr", "call": "calls", "B": "bytes"}
HEADERS = ["Workload", "One timed call", "Native", "Host instructions", "Native loop alone", "Reference",
           "Native vs reference"]
SHARE_HEADERS = ["Workload", *CATEGORIES, OTHER, "Largest functions (own instructions)"]


def share_rows(host):
    rows = []
    for w in WORKLOADS:
        cost = host.get(w.key)
        if cost is None:
            continue
        top = ", ".join(f"`{n}` {s:.0%}" for n, s in cost.top)
        shares = [f"{max(0.0, cost.shares[c]):.0%}" for c in [*CATEGORIES, OTHER]]
        rows.append([w.title, *shares, top])
    return rows


def print_table(headers, rows) -> None:
    widths = [max(len(str(r[i])) for r in [headers, *rows]) for i in range(len(headers))]
    for r in [headers, ["-" * w for w in widths], *rows]:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())


def markdown_table(headers, rows) -> str:
    lines = ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines)


def once_line(host) -> str:
    """What compiling costs a program that runs each block once."""
    jit, native = host.get("once"), host.get("once" + NATIVE_SUFFIX)
    if jit is None or native is None:
        return "Blocks run once: not measured."
    return (f"Blocks run once (each compiled, then run once): {fmt_host(jit.per_unit)} host instructions per guest "
            f"instruction with the block compiler, {fmt_host(native.per_unit)} on the native loop alone "
            f"(QORVEL_PVM_JIT=0): **{jit.per_unit / native.per_unit:.2f} x**.")


def parallel_lines(parallel) -> list[str]:
    if not parallel:
        return ["Batches on several cores: not measured (--only without `parallel`)."]
    import parallel as par
    headers, rows = par.table(parallel)
    return [
        "Batches of 8 independent runs on 1, 2 and all cores (`bench/parallel.py`, `qorvel_pvm.run_many`;",
        "guest instructions per second over the batch, speed-up against one worker):",
        "",
        markdown_table(headers, rows),
    ]


def results_section(info, rates, host, native, parallel, elapsed) -> str:
    today = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    return "\n".join([
        BEGIN_MARK,
        f"Measured on {today} by `bench/run.py` ({elapsed:.0f} s in all), {info['package']}, on:",
        "",
        f"- CPU: {info['model']}, {info['cores']} cores ({info['cpus']} logical CPUs)",
        f"- {info['os']}, Python {info['python']}, {info['valgrind']}",
        "",
        markdown_table(HEADERS, table_rows(rates, host)),
        "",
        native_line(native),
        "",
        once_line(host),
        "",
        *parallel_lines(parallel),
        "",
        "Where the host instructions of each workload go (shares of the callgrind difference; a",
        "module's share includes what it calls in the Python runtime and the C library):",
        "",
        markdown_table(SHARE_HEADERS, share_rows(host)),
        END_MARK,
    ])


def write_doc(section: str) -> None:
    text = DOC.read_text() if DOC.exists() else "# Performance\n\n## Results\n\n"
    if BEGIN_MARK in text and END_MARK in text:
        head, rest = text.split(BEGIN_MARK, 1)
        tail = rest.split(END_MARK, 1)[1]
        text = head + section + tail
    else:
        text = text.rstrip("\n") + "\n\n" + section + "\n"
    DOC.parent.mkdir(parents=True, exist_ok=True)
    DOC.write_text(text)


# ----- main ------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--install", action="store_true", help="pip install the package first, even if importable")
    parser.add_argument("--no-callgrind", action="store_true", help="skip the host instruction counts")
    parser.add_argument("--no-native", action="store_true", help="skip the comparison with the sieve in C++")
    parser.add_argument("--no-doc", action="store_true", help="do not rewrite docs/PERFORMANCE.md")
    parser.add_argument("--only", metavar="KEYS",
                        help="measure only these workloads (comma-separated keys, `native` for the "
                             "comparison with C++, `parallel` for the batches on several cores); implies --no-doc")
    parser.add_argument("--inner", nargs=2, metavar=("WORKLOAD", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.inner:
        inner(args.inner[0], int(args.inner[1]))
        return 0

    started = time.perf_counter()
    ensure_package(args.install)
    import qorvel_pvm
    print(f"qorvel_pvm {qorvel_pvm.__version__} from {Path(qorvel_pvm.__file__).parent}")

    problems = check_agreement()
    if problems:
        print("the reference interpreter and qorvel_pvm disagree:")
        for p in problems:
            print("  " + p)
        return 1
    print("reference and native agree on every workload and on a program using every instruction")

    workloads = WORKLOADS
    with_native = not args.no_native
    with_parallel = True
    if args.only:
        keys = args.only.split(",")
        unknown = [k for k in keys if k not in BY_KEY and k not in ("native", "parallel")]
        if unknown:
            parser.error(f"unknown workloads {unknown}; known: {', '.join(BY_KEY)}, native, parallel")
        workloads = [BY_KEY[k] for k in keys if k in BY_KEY]
        with_native = with_native and "native" in keys
        with_parallel = "parallel" in keys
        args.no_doc = True
    rates = {}
    for w in workloads:
        native = units_per_second(Case(w.key, w.size, True), 0.2, 5)
        reference = units_per_second(Case(w.key, w.size, False), 0.3, 3)
        rates[w.key] = (native, reference)
        print(f"  {w.key:<14} native {fmt_rate(native, w.unit):>16}   reference {fmt_rate(reference, w.unit):>16}",
              flush=True)

    versus_native: NativeRatio | str = "not measured (--no-native)"
    if with_native:
        try:
            versus_native = native_ratio()
        except Disagreement as e:
            print(f"the PVM and the native sieve disagree: {e}")
            return 1
        print("  " + native_line(versus_native).replace("`", "").replace("**", ""), flush=True)

    parallel: dict[str, dict[int, float]] = {}
    if with_parallel:
        import parallel as par
        print("batches on several cores:", flush=True)
        parallel = par.measure()

    host: dict[str, HostCost] = {}
    if args.no_callgrind:
        print("callgrind skipped (--no-callgrind)")
    elif shutil.which("valgrind") is None:
        print("valgrind not found: host instruction counts skipped")
    else:
        print("counting host instructions with callgrind ...", flush=True)
        host = measure_host([w.key for w in workloads])

    elapsed = time.perf_counter() - started
    print()
    print_table(HEADERS, table_rows(rates, host))
    if with_native:
        print()
        print(native_line(versus_native).replace("`", "").replace("**", ""))
    if parallel:
        import parallel as par
        print()
        print_table(*par.table(parallel))
    if host:
        print()
        print(once_line(host).replace("**", ""))
        print()
        print("host instructions by module (share of the callgrind difference):")
        print_table(SHARE_HEADERS, share_rows(host))
    print(f"\n{elapsed:.0f} s")

    if args.no_doc:
        return 0
    if any(w.key not in host for w in WORKLOADS):
        print(f"{DOC.relative_to(ROOT)} not updated: the host instruction counts are missing")
        return 0
    info = machine()
    info["package"] = f"qorvel_pvm {qorvel_pvm.__version__} " + (
        "built in the source tree" if Path(qorvel_pvm.__file__).parent == ROOT / "src" / "qorvel_pvm"
        else "installed")
    write_doc(results_section(info, rates, host, versus_native, parallel, elapsed))
    print(f"figures written to {DOC.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
