"""Differential fuzzing of the run engines.

Random programs run on every engine a caller can end up on: the general path
(every block through its Python-visible object), the native loop and the
block compiler from the first block on.  Each program runs twice on each
engine's interpreter, first without a host handler and then, on the same
(now warm) interpreter, with a handler that changes registers and memory,
charges gas, ends the run or raises.  Everything a caller sees must agree:
the returned tuple (status, pc, gas, fault address, host call) or the
exception's type and message, the registers, the memory state
(`memory.__reduce__()`) and the calls the handler saw.

Programs are drawn from a seed and their index alone, so any program can be
run again by itself (`--seed S --only N`).  Work is spread over processes
by index; the run stops at the first disagreement (or a worker that dies)
and prints the seed, the index, the program blob and the inputs.

    python tools/fuzz.py --programs 1000000 --seed 1 --jobs 2
    python tools/fuzz.py --seed 1 --only 123456        # one program, verbose

It runs the qorvel_pvm that Python imports: the installed package (`make
fuzz` installs it first), or the sources with PYTHONPATH=src after `make
inplace`.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import queue
import random
import sys
import time
from array import array

from qorvel_pvm import HostExit
from qorvel_pvm.asm import INSTRUCTIONS, build_blob
from qorvel_pvm.common.types import Accessibility
from qorvel_pvm.cpvm import vm_interpreter, vm_status
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram

U32 = (1 << 32) - 1
U64 = (1 << 64) - 1
HALT_ADDRESS = 0xFFFF0000

# ----- memory ----------------------------------------------------------------------

# Read-only data at 0x10000-0x11FFF, read-write data and heap at
# 0x30000-0x32FFF (the break after the data), the stack at
# 0xFEFDE000-0xFEFDFFFF, the arguments at 0xFEFF0000; nothing at 0x20000,
# 0x33000 and the rest.
ADDRESSES = [0x10000, 0x10FFE, 0x11FFC, 0x12000, 0x20000, 0x30000, 0x30FFD, 0x31FF9, 0x32FFC, 0x33000,
             0xFEFDFFF8, 0xFEFDDFFC, 0xFEFDE000, 0xFEFF0000, 0xFFFFFFFE, 0xFFFF0000, 0]
READ_ONLY = bytes(range(256)) * 20


def layout_memory():
    return CyMemory.from_pc(READ_ONLY, b"\x5a" * 100, b"argument", 2, 8192)


def sparse_memory():
    """Pages given one by one: 0x20 read-write with data, 0x21 read-only,
    0x22 write-only (write implies read), the top page readable; a heap
    break that sbrk moves from 0x40000."""
    return CyMemory({0x20000: 9, 0x20FFF: 7, 0x21000: 3, 0xFFFFF000: 1},
                    [0x20, 0x21, 0xFFFFF], [0x20, 0x22], 0x40000)


MEMORIES = [layout_memory, sparse_memory]


def memory_state(memory):
    try:
        return memory.__reduce__()
    except ValueError as exc:  # a page store a handler broke
        return ("unreadable", str(exc))


# ----- program generator -----------------------------------------------------------

OPS = {name: (info.opcode, info.form) for name, info in INSTRUCTIONS.items()}
BY_FORM: dict[str, list[str]] = {}
for _name, (_op, _form) in OPS.items():
    BY_FORM.setdefault(_form, []).append(_name)
DEFINED = sorted(op for op, _ in OPS.values())
LOADS_STORES = [n for n in OPS if n.startswith(("load_", "store_")) and n not in ("load_imm", "load_imm_64")
                and not n.startswith("load_imm_jump")]
ARITH = BY_FORM["three_reg"] + [n for n in BY_FORM["two_reg_imm"] if n not in LOADS_STORES] + \
    [n for n in BY_FORM["two_reg"] if n != "sbrk"]
BRANCHES = [n for n in BY_FORM["reg_imm_offset"] if n != "load_imm_jump"] + BY_FORM["two_reg_offset"]


def imm_bytes(value: int, n: int) -> bytes:
    return (value & ((1 << (8 * n)) - 1)).to_bytes(n, "little")


def small_len(rnd, value):
    """The fewest bytes (0 to 4) that sign-extend back to `value` (a 32-bit
    quantity), sometimes more than needed."""
    v = value & U32
    if v & 0x80000000:
        v -= 1 << 32
    n = 0 if v == 0 else next(k for k in range(1, 5) if -(1 << (8 * k - 1)) <= v < (1 << (8 * k - 1)))
    return min(4, n + (rnd.random() < 0.2))


def reg(rnd):
    return rnd.randrange(13) if rnd.random() < 0.97 else rnd.randrange(13, 16)


def dest_reg(rnd, calm):
    """A register an instruction writes: mostly (in a calm program always)
    one of r5-r12, so that the pointers in r1-r4 last."""
    return rnd.randrange(5, 13) if calm or rnd.random() < 0.8 else reg(rnd)


def base_reg(rnd, calm):
    """The base register of an access: mostly (in a calm program always) one
    of r1-r4, which start out pointing into pages the program may use."""
    return rnd.randrange(1, 5) if calm or rnd.random() < 0.7 else reg(rnd)


def address(rnd):
    return (rnd.choice(ADDRESSES) + rnd.randrange(-9, 10)) & U32


# Pages that exist with some permission in the default memory.
USABLE = [0x10000, 0x11000, 0x30000, 0x31000, 0x32000, 0xFEFDE000, 0xFEFDF000]


# Pages a calm program reads and writes: read-write data, heap, stack.
WRITABLE = [0x30000, 0x31000, 0x32000, 0xFEFDE000, 0xFEFDF000]


def pointer_value(rnd, calm=False):
    """An address for an access: in a calm program one well inside a
    writable page, else mostly one in or at the edge of a usable page."""
    if calm:
        return rnd.choice(WRITABLE) + rnd.randrange(0x10, 0xF00)
    if rnd.random() < 0.8:
        return rnd.choice(USABLE) + rnd.choice([0, 8, 0x100, 0x7F8, 0xFF8, 0xFFC, 0xFFF, rnd.randrange(4096)])
    return address(rnd)


def register_value(rnd):
    kind = rnd.random()
    if kind < 0.45:
        return address(rnd)
    if kind < 0.7:
        return rnd.randrange(8)
    if kind < 0.8:
        return rnd.choice([U64, 1 << 63, (1 << 63) - 1, U32, 1 << 31, 0xFFFFFFFF80000000])
    return rnd.getrandbits(64)


class Program:
    """Instructions laid out in two passes so that branch offsets can point
    at blocks not yet placed.  Each part is one or more instructions: its
    length, a maker of its bytes from (its own pc, the block starts, the
    code length), and whether it ends a basic block."""

    def __init__(self):
        self.parts = []

    def add(self, length, make, ends_block=False):
        self.parts.append((length, make, ends_block))

    def fixed(self, b, ends_block=False):
        self.add(len(b), lambda *_a: b, ends_block)

    def layout(self):
        """(code, instruction-start positions of the parts, block starts)."""
        pcs, blocks, pc = [], [0], 0
        for length, _, ends in self.parts:
            pcs.append(pc)
            pc += length
            if ends:
                blocks.append(pc)
        blocks = sorted(set(b for b in blocks if b < pc)) or [0]
        code = bytearray()
        for (length, make, _), at in zip(self.parts, pcs):
            b = make(at, blocks, pc)
            assert len(b) == length, (b, length)
            code += b
        return bytes(code), pcs, blocks


def target_offset(rnd, own, blocks, end, calm):
    """A branch target: mostly the start of a basic block (loops backwards as
    well as forwards), sometimes any other position or past the code."""
    roll = rnd.random()
    if calm or roll < 0.95:
        t = rnd.choice(blocks)
    elif roll < 0.98:
        t = rnd.randrange(end + 1)
    else:
        t = end + rnd.randrange(0, 40)
    return (t - own) & U32


def structured(rnd, host, calm):
    """A program of well-formed instructions: arithmetic, loads and stores
    of every width near page edges, branches and loops over the program's
    own instructions, dynamic jumps through the jump table, sbrk, host
    calls; returns (code, starts, jump table).  A calm program's accesses
    stay inside writable pages and its jumps go to block starts, so that it
    tends to run until its gas is gone."""
    p = Program()
    loop_reg = rnd.randrange(5, 13)
    table_size = rnd.choice([0, 1, 2, 4, 8]) if not calm else rnd.choice([1, 2, 4, 8])

    def branch(b0, backwards=False):
        r = random.Random(rnd.getrandbits(32))

        def make(own, blocks, end):
            if backwards:
                blocks = [q for q in blocks if q <= own] or blocks
            return b0 + imm_bytes(target_offset(r, own, blocks, end, calm), 4)
        p.add(len(b0) + 4, make, ends_block=True)

    for _ in range(rnd.randrange(1, 60)):
        roll = rnd.random()
        if roll < 0.3:
            op, form = OPS[rnd.choice(ARITH)]
            if form == "three_reg":
                p.fixed(bytes([op, reg(rnd) | reg(rnd) << 4, dest_reg(rnd, calm)]))
            elif form == "two_reg":
                p.fixed(bytes([op, dest_reg(rnd, calm) | reg(rnd) << 4]))
            else:
                v = rnd.choice([rnd.randrange(-4, 65), rnd.getrandbits(32), 0x1000, -8])
                p.fixed(bytes([op, dest_reg(rnd, calm) | reg(rnd) << 4]) + imm_bytes(v, small_len(rnd, v)))
        elif roll < 0.58:
            op, form = OPS[rnd.choice(LOADS_STORES)]
            if form == "two_reg_imm":  # through a base register
                v = rnd.choice([0, 1, 2, 4, 7, 8, -1, -8] + ([] if calm else [0xFFF, 0x1000]))
                p.fixed(bytes([op, dest_reg(rnd, calm) | base_reg(rnd, calm) << 4]) + imm_bytes(v, small_len(rnd, v)))
            elif form == "reg_imm":  # an absolute address
                p.fixed(bytes([op, dest_reg(rnd, calm)]) + imm_bytes(pointer_value(rnd, calm), 4))
            elif form == "two_imm":  # an immediate stored at an absolute address
                p.fixed(bytes([op, 4]) + imm_bytes(pointer_value(rnd, calm), 4)
                        + imm_bytes(rnd.getrandbits(32), rnd.randrange(5)))
            else:  # reg_two_imm: an immediate stored through a base register
                x = rnd.choice([0, 1, 3, 8, -4] + ([] if calm else [0xFFC]))
                lx = small_len(rnd, x)
                p.fixed(bytes([op, base_reg(rnd, calm) | lx << 4]) + imm_bytes(x, lx)
                        + imm_bytes(rnd.getrandbits(32), rnd.randrange(5)))
        elif roll < 0.64:
            # A register set to an address or a loop count.
            v = pointer_value(rnd, calm) if rnd.random() < 0.5 else rnd.randrange(1, 40)
            p.fixed(bytes([OPS["load_imm"][0], dest_reg(rnd, calm)]) + imm_bytes(v, 4))
        elif roll < 0.76:
            op, form = OPS[rnd.choice(BRANCHES)]
            if rnd.random() < 0.5:  # a counted loop: decrement, branch back while not zero
                p.fixed(bytes([OPS["add_imm_64"][0], loop_reg | loop_reg << 4, 0xFF]))
                branch(bytes([OPS["branch_ne_imm"][0], loop_reg]), backwards=True)
            elif form == "reg_imm_offset":
                v = rnd.randrange(-2, 9)
                k = small_len(rnd, v)
                branch(bytes([op, reg(rnd) | k << 4]) + imm_bytes(v, k))
            else:
                branch(bytes([op, reg(rnd) | reg(rnd) << 4]))
        elif roll < 0.79:
            branch(bytes([OPS["jump"][0]]))
        elif roll < 0.85:
            # A dynamic jump: through the table (2, 4, 6, ...), to an odd
            # address, past the table or to the halt address.
            ra = rnd.randrange(5 if calm else 1, 13)
            if calm:
                v = HALT_ADDRESS if rnd.random() < 0.1 else 2 * rnd.randrange(1, table_size + 1)
            else:
                v = rnd.choice([2, 4, 6, 8, 2 * rnd.randrange(1, 9), 3, 0, 100, HALT_ADDRESS])
            if rnd.random() < 0.5:
                p.fixed(bytes([OPS["load_imm"][0], ra]) + imm_bytes(v, 4))
                p.fixed(bytes([OPS["jump_ind"][0], ra]), ends_block=True)
            else:  # the base cleared first: the target is the second immediate
                p.fixed(bytes([OPS["load_imm"][0], ra]) + imm_bytes(0, 4))
                p.fixed(bytes([OPS["load_imm_jump_ind"][0], dest_reg(rnd, calm) | ra << 4, 4])
                        + imm_bytes(rnd.randrange(40), 4) + imm_bytes(v, 4), ends_block=True)
        elif roll < 0.89:
            # sbrk by nothing, a little, a page or more, or a register's value.
            rs = rnd.randrange(5 if calm else 1, 13)
            if rnd.random() < 0.8:
                v = rnd.choice([0, 1, 7, 4096, 5000, 0x10000, 0x7FFFFFFF])
                p.fixed(bytes([OPS["load_imm"][0], rs]) + imm_bytes(v, 4))
            p.fixed(bytes([OPS["sbrk"][0], dest_reg(rnd, calm) | rs << 4]))
        elif roll < 0.89 + (0.07 if host else 0.02):
            p.fixed(bytes([OPS["ecalli"][0]]) + rnd.randbytes(rnd.choice([0, 1, 1, 2, 4])))
        elif roll < 0.97:
            p.fixed(bytes([OPS["load_imm_64"][0], dest_reg(rnd, calm)]) + register_value(rnd).to_bytes(8, "little"))
        else:
            p.fixed(bytes([0 if rnd.random() < 0.2 and not calm else 1]), ends_block=True)  # trap, fallthrough
    if calm and rnd.random() < 0.7:  # round again, r5 times (or until the gas is gone)
        p.fixed(bytes([OPS["add_imm_64"][0], 5 | 5 << 4, 0xFF]))
        p.add(6, lambda own, blocks, end: bytes([OPS["branch_ne_imm"][0], 5]) + imm_bytes(-own, 4), ends_block=True)
    code, pcs, blocks = p.layout()
    # Starts: every instruction; sometimes extra marks inside instructions,
    # or one left out (its bytes then belong to the instruction before).
    starts = set(pcs)
    if not calm and rnd.random() < 0.1:
        for _ in range(rnd.randrange(1, 4)):
            starts.add(rnd.randrange(len(code)))
    if not calm and rnd.random() < 0.05 and len(pcs) > 1:
        starts.discard(rnd.choice(pcs[1:]))
    return code, sorted(starts), jump_table(rnd, blocks, len(code), table_size, calm)


def raw(rnd, host, calm):
    """Random opcodes (mostly defined ones) with random operand bytes,
    register nibbles mostly small; sometimes random bytes as code with a
    random start mask."""
    code, starts = bytearray(), []
    if rnd.random() < 0.15:
        code = bytearray(rnd.randbytes(rnd.randrange(1, 80)))
        starts = sorted({0} | {i for i in range(len(code)) if rnd.random() < 0.3})
        return bytes(code), starts, jump_table(rnd, starts, len(code), rnd.choice([0, 1, 2, 4, 8]))
    for _ in range(rnd.randrange(1, 40)):
        starts.append(len(code))
        if host and rnd.random() < 0.2:
            code.append(OPS["ecalli"][0])
            code += rnd.randbytes(rnd.choice([0, 1, 2, 4]))
            continue
        code.append(rnd.choice(DEFINED) if rnd.random() < 0.95 else rnd.randrange(256))
        for k in range(rnd.choice([0, 1, 1, 2, 2, 2, 3, 3, 4, 5, 6, 7, 9, 10, 12])):
            if k == 0:
                code.append(rnd.randrange(13) | rnd.randrange(13) << 4)
            elif rnd.random() < 0.6:
                code.append(rnd.choice([0, 1, 2, 4, 8, 0xFF, 0xFC, 0x10, 0x20]))
            else:
                code.append(rnd.randrange(256))
    return bytes(code), starts, jump_table(rnd, starts, len(code), rnd.choice([0, 1, 2, 4, 8]))


def jump_table(rnd, starts, end, size, calm=False):
    """`size` entries: mostly `starts`, else the middle of an instruction,
    the end of the code or past it."""
    table = []
    for _ in range(size):
        roll = rnd.random()
        if calm or roll < 0.7:
            table.append(rnd.choice(starts))
        elif roll < 0.85:
            table.append(rnd.randrange(end + 1))  # the middle of an instruction, or the end
        else:
            table.append(rnd.choice([end + 1, end + 100, 1 << 20, U32]))
    return table


class Case:
    """One generated program and its inputs."""

    __slots__ = ("blob", "registers", "gas", "pc", "memory", "host_seed")

    def __init__(self, seed: int, index: int):
        rnd = random.Random(seed * 1_000_003_000_000 + index)
        host = rnd.random() < 0.6  # programs with frequent host calls
        calm = rnd.random() < 0.5
        code, starts, table = (structured if calm or rnd.random() < 0.5 else raw)(rnd, host, calm)
        self.blob = build_blob(code, starts, table)
        self.registers = [pointer_value(rnd, calm) if 1 <= k <= 4 else register_value(rnd) for k in range(13)]
        roll = rnd.random()
        if roll < 0.25:
            self.gas = rnd.randrange(40)  # runs out at or near a block boundary
        elif roll < 0.75:
            self.gas = rnd.randrange(40, 5000)
        else:  # long enough for a run that starts on the native loop to move to the compiler
            self.gas = rnd.randrange(5000, 100_000)
        self.pc = 0 if rnd.random() < 0.9 else rnd.randrange(len(code) + 3)
        self.memory = rnd.randrange(len(MEMORIES)) if not calm and rnd.random() < 0.3 else 0
        self.host_seed = rnd.getrandbits(32)

    def describe(self) -> str:
        return (f"blob={self.blob.hex()}\nregisters={self.registers}\ngas={self.gas} pc={self.pc} "
                f"memory={MEMORIES[self.memory].__name__} host_seed={self.host_seed}")


# ----- host handler ----------------------------------------------------------------

HOST_PAGES = [0x10000, 0x11000, 0x20000, 0x21000, 0x22000, 0x30000, 0x31000, 0x32000, 0x33000, 0xFEFDE000,
              0xFEFDF000]


class Host:
    """A deterministic handler: what it does depends only on its seed, the
    number of calls before, the call index and the registers.  It changes
    registers, writes memory (pages the program may not write included),
    changes permissions, charges gas, ends the run (as a status, or by an
    exception that propagates) or raises."""

    def __init__(self, seed):
        self.seed, self.calls, self.charged = seed, [], 0

    def __call__(self, index, registers, memory):
        regs_now = tuple(registers)
        rnd = random.Random(hash((self.seed, len(self.calls), index, regs_now)))
        self.calls.append((index, regs_now))
        for _ in range(rnd.choice([0, 0, 1, 2, 3])):
            registers[rnd.randrange(13)] = rnd.choice(
                [rnd.randrange(8), rnd.getrandbits(64), address(rnd), 2 * rnd.randrange(1, 6)])
        if rnd.random() < 0.4:
            at = rnd.choice(HOST_PAGES) + rnd.choice([0, 1, 8, 0xFF8, 0xFFD])
            data = rnd.randbytes(rnd.choice([1, 2, 4, 8, 16]))
            if memory.is_accessible(at, len(data), Accessibility.WRITE):
                memory.write(at, data)
            else:
                for k, byte in enumerate(data):
                    memory._set_byte(at + k, byte)
            registers[rnd.randrange(1, 13)] = at
        if rnd.random() < 0.08:
            memory.alter_accessibility(rnd.choice(HOST_PAGES), 4096, rnd.choice(list(Accessibility)))
        if rnd.random() < 0.03:
            memory.heap_break = rnd.choice([0x30000, 0x32800, 0x40000])
        roll = rnd.random()
        if roll < 0.2:
            charge = rnd.choice([1, 2, 7, 60, 1 << 70])
            self.charged += charge
            return charge
        if roll < 0.24:
            return vm_status.CyStatus(vm_status.EXIT_HALT)
        if roll < 0.28:
            return vm_status.CyStatus(vm_status.EXIT_PANIC)
        if roll < 0.29:
            raise HostExit("halt")  # not a reply the low-level run takes: it propagates
        if roll < 0.3:
            raise LookupError(f"no host function {index}")
        if roll < 0.3 + 0.005:
            memory.write(0x10000, b"\x01")  # a page it may not write: the memory's own exception
        return rnd.choice([None, 0])


# ----- engines ---------------------------------------------------------------------

# general: every run on the general path; native: the native loop alone;
# compiler: the block compiler from the first block on; default: what a new
# interpreter does by default, the native loop first and the compiler once
# the run has used its first window of gas.
ENGINES = ["general", "native"] + (["compiler", "default"] if vm_interpreter.engine() == "compiler" else [])


def run_engine(engine: str, case: Case):
    """The program's two runs on `engine`: without a handler, then with one
    on the same interpreter.  Returns what a caller sees of each."""
    vm_interpreter._set_native_loop(engine != "general")
    vm_interpreter._set_jit_eager(engine == "compiler")
    it = vm_interpreter.Interpreter(CyProgram(case.blob), jit=engine in ("compiler", "default"))
    seen = []
    for handled in (False, True):
        r = array("Q", case.registers)
        mem = MEMORIES[case.memory]()
        host = Host(case.host_seed) if handled else None
        try:
            res = it.run(r, mem, case.pc, case.gas, None, host)
        except Exception as exc:  # noqa: BLE001 - compared across engines
            res = (type(exc).__name__, str(exc))
        seen.append((res, r.tolist(), memory_state(mem), host and host.calls,
                     host.charged if host else 0))
    return seen, it


def check(case: Case):
    """Runs the case on every engine; returns (None, gas charged to blocks,
    compiled blocks) when all agree, else (description of the difference, ...)."""
    outcomes = {}
    compiled = 0
    for engine in ENGINES:
        outcomes[engine], it = run_engine(engine, case)
        if engine in ("compiler", "default"):
            compiled += it.compiled_blocks or 0
    want = outcomes["general"]
    for engine in ENGINES[1:]:
        got = outcomes[engine]
        for k, label in enumerate(("without a handler", "with a handler")):
            if got[k][:4] != want[k][:4]:
                return (f"{engine} differs from the general path {label}:\n"
                        f"  general : {want[k][:4]!r}\n  {engine:8}: {got[k][:4]!r}"), 0, compiled
    used = 0
    for res, _, _, _, charged in want:
        if isinstance(res[0], int) and isinstance(res[2], int):
            used += max(0, case.gas - res[2] - charged)
    return None, used, compiled


# ----- driver ----------------------------------------------------------------------

def worker(wid, jobs, seed, count, chunk, current, out):
    """Checks programs wid*chunk.., (wid+jobs)*chunk.., ... below count;
    `current` holds the index being checked, for a report if this process
    dies."""
    done = used = compiled = 0
    last = time.monotonic()
    for base in range(wid * chunk, count, jobs * chunk):
        for index in range(base, min(base + chunk, count)):
            current.value = index
            case = Case(seed, index)
            diff, u, c = check(case)
            if diff:
                out.put(("mismatch", wid, index, diff + "\n" + case.describe()))
                return
            done += 1
            used += u
            compiled += c
            now = time.monotonic()
            if now - last > 2:
                out.put(("progress", wid, done, used, compiled))
                done = used = compiled = 0
                last = now
    out.put(("progress", wid, done, used, compiled))
    out.put(("done", wid))


# Seconds a worker may go without reporting before the run counts it as hung
# (it reports every two seconds; one program takes milliseconds).
STALL = 120


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--programs", type=int, default=1_000_000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--chunk", type=int, default=1000)
    ap.add_argument("--only", type=int, help="check the program of this index alone and print each engine's outcome")
    args = ap.parse_args(argv)

    if args.only is not None:
        case = Case(args.seed, args.only)
        print(case.describe())
        for engine in ENGINES:
            seen, _ = run_engine(engine, case)
            for label, s in zip(("no handler", "handler"), seen):
                print(f"{engine:8} {label:10}: {s[0]!r} registers={s[1]}")
        diff, _, _ = check(case)
        print(diff or "all engines agree")
        return 1 if diff else 0

    print(f"fuzz: {args.programs} programs, seed {args.seed}, {args.jobs} processes, engines {', '.join(ENGINES)}",
          flush=True)
    ctx = mp.get_context("fork")
    out = ctx.Queue()
    currents = [ctx.Value("q", -1) for _ in range(args.jobs)]
    procs = [ctx.Process(target=worker, args=(w, args.jobs, args.seed, args.programs, args.chunk, currents[w], out))
             for w in range(args.jobs)]
    start = time.monotonic()
    for p in procs:
        p.start()
    done = used = compiled = 0
    finished = set()
    last_print = start
    heard = [start] * len(procs)
    failure = None
    while len(finished) < len(procs) and failure is None:
        try:
            msg = out.get(timeout=1)
        except queue.Empty:
            for w, p in enumerate(procs):
                if w not in finished and not p.is_alive() and p.exitcode != 0:
                    failure = (f"worker {w} died (exit code {p.exitcode}) on program {currents[w].value}:\n"
                               + Case(args.seed, currents[w].value).describe())
            msg = None
        now = time.monotonic()
        for w, p in enumerate(procs):
            if failure is None and w not in finished and now - heard[w] > STALL:
                failure = (f"worker {w} silent for {STALL} s on program {currents[w].value}:\n"
                           + Case(args.seed, currents[w].value).describe())
        if msg is None:
            pass
        elif msg[0] == "progress":
            heard[msg[1]] = now
            done += msg[2]
            used += msg[3]
            compiled += msg[4]
        elif msg[0] == "done":
            finished.add(msg[1])
        else:
            failure = f"mismatch on program {msg[2]}:\n{msg[3]}"
        if now - last_print > 10 or len(finished) == len(procs):
            rate = done / (now - start)
            eta = (args.programs - done) / rate if rate else 0
            print(f"  {done:>9} programs  {used:>12} gas  {rate:7.0f}/s  eta {eta:5.0f} s", flush=True)
            last_print = now
    for p in procs:
        if p.is_alive():
            p.terminate()
        p.join()
    elapsed = time.monotonic() - start
    runs = done * 2
    print(f"programs: {done}\n"
          f"runs per engine: {runs} ({done} without and {done} with a host handler)\n"
          f"checks: {runs * (len(ENGINES) - 1)} ({', '.join(e + ' vs general' for e in ENGINES[1:])})\n"
          f"instructions charged (blocks entered, per engine): {used}\n"
          f"blocks compiled to machine code: {compiled}\n"
          f"time: {elapsed:.1f} s")
    if failure:
        print(f"FAILED: {failure}\nreproduce: {sys.executable} tools/fuzz.py --seed {args.seed} --only "
              f"{failure.split('program ')[1].split(':')[0]}", flush=True)
        return 1
    print("mismatches: 0")
    return 0


if __name__ == "__main__":
    sys.exit(main())
