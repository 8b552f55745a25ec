"""The command line: ``python -m qorvel_pvm`` (installed as ``qorvel-pvm``).

    qorvel-pvm run PROGRAM [--gas N] [--pc N] [--reg rN=V ...] [--trace] [--json] ...
    qorvel-pvm profile PROGRAM [--symbols FILE] [--folded FILE] [--speedscope FILE] [--svg FILE] ...
    qorvel-pvm asm SOURCE -o BLOB
    qorvel-pvm disasm BLOB
    qorvel-pvm vectors [--jobs N [--threads]] PATH...

PROGRAM, SOURCE and BLOB may be '-' for standard input; `asm -o -` writes
the blob to standard output.

`main(argv)` returns the exit code: 0 when a program halts or stops where
`--break` or `--max-steps` asked (or a command succeeds), 1 when it ends
otherwise (or vectors fail), 2 for usage errors,
unreadable files and assembler errors, which are reported as one line on
standard error, and 130 when a run is stopped with Ctrl-C (after printing
the state at the interruption).
"""

from __future__ import annotations

import argparse
import bisect
import contextlib
import dataclasses
import json
import os
import re
import sys
from collections import deque
from typing import Any, Callable, Iterator, NamedTuple, Optional, Protocol, Sequence, TextIO

from . import __version__
from .asm import AsmError, assemble, decode_blob, disassemble, disassemble_at
from .common.types import Accessibility
from .cpvm.vm_block import CyBlockInfo
from .cpvm.vm_memory import CyMemory
from .cpvm.vm_program import CyProgram
from .interpreter import Interpreter, RunResult
from .profile import Profile, block_location, function_name, load_symbols
from .trace import end_record

__all__ = ["main"]

SOURCE_EXTENSIONS = (".pvmasm", ".s", ".asm")
PAGE_SIZE = 4096
REGISTER_COUNT = 13
DEFAULT_GAS = 1_000_000  # run() in Python defaults to 10_000: a command line run is usually a whole program
DEFAULT_HEAP_PAGES = 16
DEFAULT_STACK_SIZE = 65536
DEFAULT_TOP = 10  # rows of the profile's tables
HEAP_START = 0x20000  # the first writable page of the layout when there is no data
STACK_END = 0xFEFE0000  # the stack ends here and grows down
_U32 = 1 << 32
_U64 = 1 << 64
_GAS_MAX = (1 << 63) - 1
MAX_DUMP = 1 << 20  # bytes per --dump: a dump is for reading, not for saving memory


class UsageError(Exception):
    """A problem with the command's input: reported on one line, exit code 2."""


# ---------------------------------------------------------------------------
# Argument parsing


def _number(text: str) -> int:
    """A decimal, 0x hex, 0o octal or 0b binary integer, with optional '_'."""
    for base in (0, 10):  # base 10 also takes decimals with leading zeros
        try:
            return int(text.strip(), base)
        except ValueError:
            pass
    raise argparse.ArgumentTypeError(f"not a number: '{text}'")


def _bounded(low: int, high: int, what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        value = _number(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} must be in {low}..{high:#x}, got {text}")
        return value

    parse.__name__ = what  # argparse names the type in some messages
    return parse


def _register_assignment(text: str) -> tuple[int, int]:
    name, sep, value = text.partition("=")
    name = name.strip().lower()
    if not sep or not name.startswith("r") or not name[1:].isdigit():
        raise argparse.ArgumentTypeError(f"expected rN=VALUE (for example r1=42), got '{text}'")
    index = int(name[1:])
    if index >= REGISTER_COUNT:
        raise argparse.ArgumentTypeError(f"no register '{name}': registers are r0 to r12")
    v = _number(value)
    if not -(1 << 63) <= v < _U64:
        raise argparse.ArgumentTypeError(f"value of {name} does not fit in 64 bits: {value}")
    return index, v % _U64


def _dump_range(text: str) -> tuple[int, int]:
    address, sep, length = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected ADDRESS:LENGTH (for example 0x20000:64), got '{text}'")
    a, n = _number(address), _number(length)
    if not 0 <= a < _U32 or not 0 <= n or a + n > _U32:
        raise argparse.ArgumentTypeError(f"range {text} is not inside the 32-bit address space")
    if n > MAX_DUMP:
        raise argparse.ArgumentTypeError(f"at most {MAX_DUMP:#x} bytes per dump, got {length}")
    return a, n


def _hex_bytes(text: str) -> bytes:
    digits = text[2:] if text.lower().startswith("0x") else text
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not hex bytes (an even number of hex digits): {text!r}") from None


def _prog_name() -> str:
    if os.path.basename(sys.argv[0]) == "__main__.py":
        return "python -m qorvel_pvm"
    return "qorvel-pvm"


RUN_HELP = """\
Run a program and print how it ended: the status (halt, panic, page-fault or
out-of-gas), the pc of the instruction that ended the run (for out-of-gas,
of the block that could not be paid for), the gas used and left, the refused
address of a page fault, and the thirteen registers in decimal and hex (with
the signed value when the top bit is set).

PROGRAM is a program blob or assembler source: a file ending in .pvmasm, .s or
.asm is assembled; any other file (or '-', standard input) is assembled when
it is UTF-8 text that assembles, and read as a blob otherwise.  An empty file
is a usage error.

Memory has the standard program layout, without data: --heap-pages writable
pages from 0x20000, the heap break right after them (sbrk grows the heap
from there), a stack of --stack-size bytes ending at 0xfefe0000, and nothing
else accessible.  Numbers may be decimal or 0x hex.

With --image FILE instead of PROGRAM, FILE is a program container (see
qorvel_pvm.image): its read-only and read-write data, heap pages and stack
size give the memory, the argument string of --args (hex) is placed at
0xfeff0000, and the registers start as the container's entry expects (--reg
still overrides them).  --heap-pages and --stack-size do not apply.

A host call (ecalli) stops the run: it is reported as "host call N at pc P",
P the instruction after the call.

--break PC (repeatable) stops the run before the instruction at PC executes,
with status "breakpoint"; --max-steps N stops it after N instructions, with
status "step".  Either way pc is the next instruction to run, which is shown
disassembled; running again from there with the registers, memory and gas
left continues the program as if it had not stopped.  A breakpoint at the pc
a run starts from does not stop it before its first instruction, so a run
resumed from a breakpoint goes on.

--trace-instructions FILE writes each instruction the run executes to FILE
as one JSON object per line: pc, instruction (disassembly), gas (left after
its block was charged), registers (those it wrote: {"r3": value}) and
memory (the accesses it made: access, address, length, bytes in hex); then
one line with how the run ended: end (the status), pc, gas, fault_address,
host_call.  --last N keeps only the last N instructions.  FILE '-' is
standard output; everything else then goes to standard error.

--json prints the outcome as one JSON object instead: status, pc, gas_used,
gas_left, registers (unsigned), fault_address and host_call (null when there
is none), and "dumps" for --dump (hex, "--" for an inaccessible byte);
--trace then goes to standard error.

Ctrl-C stops the run and prints where it was: the pc of the block that was to
run next, the gas used and left and the registers (with --json, an object
with status "interrupted"); the exit code is then 130.

Exit code: 0 when the program halts or stops at a --break pc or after
--max-steps instructions, as asked; 1 for a panic, a page fault, running out
of gas or a host call; 2 for usage errors, unreadable files, malformed
containers and assembler errors; 130 when interrupted.
"""

PROFILE_HELP = """\
Run a program as `run` does (PROGRAM or --image FILE, the same memory layout
and options; a host call stops the run) and show where it spent its gas:
how the run ended, the basic blocks that used the most gas (entries, gas,
share of the total) and the functions that did, by inclusive gas (the
function and everything it called; a recursive function counts once) and
exclusive gas (its own code).  Functions follow compiled code's calling
convention: a jump that leaves the return address in r0 calls the function
at its target, and `jump_ind r0, 0` returns; the run's first function is
the one it starts in.

--symbols FILE names pcs: one 'PC NAME' per line, PC decimal or 0x hex, '#'
starts a comment.  A function without a name is shown as pc_N (N its entry
pc, decimal); a block as the symbol at or before it plus an offset.

Files for viewers: --folded FILE writes folded stacks ('main;f;g 120' per
call chain, gas as the count: flame-graph tools read them), --speedscope
FILE a speedscope JSON profile (open it at speedscope.app), --svg FILE a
flame graph: the root at the bottom, each frame as wide as its inclusive
gas, tooltips with the figures; it needs no scripts.  One of them may be
'-' for standard output; the report then goes to standard error.

Exit code: as for run: 0 when the program halts, 1 when it ends otherwise
(the report and files are written either way), 2 for usage errors
(including a malformed symbol file or an unwritable output), 130 when
interrupted.
"""

VECTORS_HELP = """\
Run the test vectors in the JSON files named and in the .json files under the
directories named (a file holds one vector or a list of them).

Each vector names its initial registers, pc, gas, page map, memory and
program blob, and the expected status, registers, pc, gas and memory.  The
page-map regions are readable, and writable where is-writable is set;
everything else is inaccessible.  Expected memory is every non-zero byte of
accessible memory after the run; it is compared as a map of address to
non-zero byte, so chunks may be split anywhere and may hold zeros.  An
expected page-fault address must equal the start of the first page of the
faulting access that lacks the permission.

Prints one line per failing vector naming every field that differs, then
"N passed, N failed".  On a terminal, a status line on standard error shows
the files done so far.  --jobs N runs the files in N processes (0: one per
core), or with --threads in N threads of this process; the report keeps
the file order.  Exit code 1 when any vector failed,
2 when a path does not exist, a directory holds no .json file or the files
hold no vector.
"""


def _add_program_arguments(parser: argparse.ArgumentParser) -> None:
    """The arguments that say what to run and how: `run` and `profile` share them."""
    parser.add_argument(
        "program", metavar="PROGRAM", nargs="?", help="program blob or assembler source file ('-': standard input)"
    )
    parser.add_argument("--image", metavar="FILE", help="run a program container instead of PROGRAM")
    parser.add_argument(
        "--args", type=_hex_bytes, default=None, metavar="HEX",
        help="argument string for --image, as hex digits (default: empty)",
    )
    parser.add_argument(
        "--gas", type=_bounded(0, _GAS_MAX, "gas"), default=DEFAULT_GAS, metavar="N",
        help=f"gas to run with (default {DEFAULT_GAS:_}); every instruction costs 1",
    )
    parser.add_argument(
        "--pc", type=_bounded(0, _U32 - 1, "pc"), default=0, metavar="N", help="program counter to start at (default 0)"
    )
    parser.add_argument(
        "--reg", type=_register_assignment, action="append", default=[], metavar="rN=V",
        help="initial value of a register (repeatable; V may be negative: r1=-1 is 0xffffffffffffffff); "
        "registers not given start at 0",
    )
    parser.add_argument(
        "--heap-pages", type=_bounded(0, 0xFFFFF, "heap pages"), default=None, metavar="Z",
        help=f"writable pages from 0x20000 (default {DEFAULT_HEAP_PAGES}); the heap break starts after them",
    )
    parser.add_argument(
        "--stack-size", type=_bounded(0, STACK_END, "stack size"), default=None, metavar="S",
        help=f"stack size in bytes, rounded up to whole pages, below 0xfefe0000 (default {DEFAULT_STACK_SIZE})",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=_prog_name(),
        description="Run, profile, assemble and disassemble PVM programs, and check conformance vectors.",
        epilog="Exit codes: 0 success (run: the program halted or stopped where asked), 1 the program ended otherwise "
        "or vectors failed, 2 usage error, unreadable file or assembler error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    raw = argparse.RawDescriptionHelpFormatter
    run = sub.add_parser("run", help="run a program and print how it ended", formatter_class=raw, description=RUN_HELP)
    _add_program_arguments(run)
    run.add_argument(
        "--trace", action="store_true",
        help="print each basic block as it runs: its start pc and gas, its instructions (pc and "
        "disassembly) and the registers after it (signed decimal); the block that ends the run is "
        "printed up to the instruction that ended it",
    )
    run.add_argument(
        "--json", action="store_true",
        help="print the outcome as one JSON object (status, pc, gas_used, gas_left, registers, "
        "fault_address, host_call); --trace output then goes to standard error",
    )
    run.add_argument(
        "--dump", type=_dump_range, action="append", default=[], metavar="ADDR:LEN",
        help="after the run, print LEN bytes (at most 1 MiB) of memory from ADDR in hex "
        "(repeatable); bytes on inaccessible pages show as '--'",
    )
    run.add_argument(
        "--break", dest="breakpoints", type=_bounded(0, _U32 - 1, "pc"), action="append", default=[],
        metavar="PC",
        help="stop before the instruction at PC runs, with status 'breakpoint' (repeatable); a "
        "breakpoint at the pc the run starts from does not stop it there",
    )
    run.add_argument(
        "--max-steps", type=_bounded(1, _GAS_MAX, "max steps"), default=None, metavar="N",
        help="stop after N instructions, with status 'step' and the pc of the next instruction",
    )
    run.add_argument(
        "--trace-instructions", metavar="FILE", default=None,
        help="write every instruction the run executes to FILE ('-': standard output, and the "
        "report goes to standard error) as JSON lines, then a line with how the run ended",
    )
    run.add_argument(
        "--last", type=_bounded(0, _GAS_MAX, "last"), default=None, metavar="N",
        help="with --trace-instructions: keep only the last N instructions",
    )

    prof = sub.add_parser(
        "profile", help="run a program and show where it spends its gas", formatter_class=raw,
        description=PROFILE_HELP,
    )
    _add_program_arguments(prof)
    prof.add_argument(
        "--symbols", metavar="FILE",
        help="names for pcs: lines of 'PC NAME' (PC decimal or 0x hex; '#' starts a comment)",
    )
    prof.add_argument("--folded", metavar="FILE", help="write folded stacks (for flame-graph tools) to FILE")
    prof.add_argument("--speedscope", metavar="FILE", help="write a speedscope profile (JSON) to FILE")
    prof.add_argument("--svg", metavar="FILE", help="write a flame graph (SVG) to FILE")
    prof.add_argument(
        "--top", type=_bounded(0, 1 << 20, "top"), default=DEFAULT_TOP, metavar="N",
        help=f"rows of the block and function tables (default {DEFAULT_TOP})",
    )

    asm = sub.add_parser(
        "asm",
        help="assemble source text into a program blob",
        description="Assemble SOURCE (see docs/ASSEMBLY.md for the syntax) and write the program blob to BLOB.",
    )
    asm.add_argument("source", metavar="SOURCE", help="assembler source file ('-': standard input)")
    asm.add_argument(
        "-o", "--output", required=True, metavar="BLOB", help="file to write the blob to ('-': standard output)"
    )
    asm.add_argument(
        "--image", action="store_true",
        help="write a program container (for run --image) holding the blob, no data, --heap-pages extra "
        "heap pages and a stack of --stack-size bytes",
    )
    asm.add_argument(
        "--heap-pages", type=_bounded(0, 0xFFFF, "heap pages"), default=0, metavar="Z",
        help="with --image: extra heap pages after the (empty) read-write data (default 0)",
    )
    asm.add_argument(
        "--stack-size", type=_bounded(0, 0xFFFFFF, "stack size"), default=DEFAULT_STACK_SIZE, metavar="S",
        help=f"with --image: stack size in bytes (default {DEFAULT_STACK_SIZE:#x})",
    )

    dis = sub.add_parser(
        "disasm",
        help="print a program blob as assembler source",
        description="Print the program blob BLOB as assembler source that assembles back to the same blob.",
    )
    dis.add_argument("blob", metavar="BLOB", help="program blob file ('-': standard input)")

    vec = sub.add_parser("vectors", help="run conformance test vectors", formatter_class=raw, description=VECTORS_HELP)
    vec.add_argument("paths", nargs="+", metavar="PATH", help="vector file or directory")
    vec.add_argument("-v", "--verbose", action="store_true", help="also print a line for every passing vector")
    vec.add_argument(
        "-j", "--jobs", type=_bounded(0, 1024, "jobs"), default=1, metavar="N",
        help="run the files in N worker processes (default 1; 0: one per core)",
    )
    vec.add_argument("--threads", action="store_true", help="run the N jobs as threads of this process")
    return parser


# ---------------------------------------------------------------------------
# Reading programs


def _name(path: str) -> str:
    """How messages name an input: '-' is standard input."""
    return "<stdin>" if path == "-" else path


def _read(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror or e}") from None


def _assemble_text(path: str, data: bytes) -> bytes:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise UsageError(f"{path}: not UTF-8 text ({e.reason} at byte {e.start})") from None
    try:
        return assemble(text)
    except AsmError as e:
        raise UsageError(f"{path}: {e}") from None


class _ContainerGiven(UsageError):
    """A program container where a bare program blob was expected."""


def _is_container(data: bytes) -> bool:
    from .image import load

    try:
        load(data)
    except ValueError:
        return False
    return True


def _check_blob(path: str, data: bytes, container_hint: str = "") -> bytes:
    """`data` if it is a program blob.  A program container is told apart
    from other non-blobs: `container_hint` says what to do with one."""
    try:
        decode_blob(data)
    except ValueError as e:
        if _is_container(data):
            raise _ContainerGiven(f"{path}: a program container, not a program blob{container_hint}") from None
        raise UsageError(f"{path}: not a program blob: {e}") from None
    return data


_CONTROL_BYTES = re.compile(rb"[\x00-\x08\x0e-\x1f\x7f]")
# A line with something before its comment.
_INSTRUCTION_LINE = re.compile(r"^[ \t]*[^\s;#]", re.M)


def load_program(path: str) -> bytes:
    """The program blob of a blob file or an assembler source file."""
    data = _read(path)
    path = _name(path)
    if not data:
        raise UsageError(f"{path}: empty file: not a program")
    if path.lower().endswith(SOURCE_EXTENSIONS):
        return _assemble_text(path, data)
    # A container is run with --image, which also lays out its data.
    hint = f": run it with --image {'-' if path == '<stdin>' else path}"
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return _check_blob(path, data, hint)
    # Control bytes other than white space never occur in source text, and
    # a file without a single instruction is no program to run: such bytes
    # are taken as a blob first (a blob can read as UTF-8, for instance one
    # comment line when its first byte is '#' or ';').
    if _CONTROL_BYTES.search(data) or not _INSTRUCTION_LINE.search(text):
        try:
            return _check_blob(path, data, hint)
        except _ContainerGiven:
            raise
        except UsageError:
            pass
    try:
        return assemble(text)
    except AsmError as e:
        asm_error = e
    try:
        return _check_blob(path, data, hint)
    except _ContainerGiven:
        raise
    except UsageError:
        # Neither: report what the file most looks like.  Blobs almost always
        # hold NUL bytes; text never does.
        if b"\0" in data:
            raise
        if data.lstrip().startswith((b"{", b"[")):
            raise UsageError(
                f"{path}: not a program: this looks like JSON (test vectors run with the 'vectors' command)"
            ) from None
        raise UsageError(f"{path}: {asm_error}") from None


# ---------------------------------------------------------------------------
# run


def _signed(v: int) -> int:
    return v - _U64 if v >= 1 << 63 else v


def _instruction_text(code: bytes, bitmask: Sequence[int], pc: int) -> str:
    """The instruction at `pc` as it runs, disassembled."""
    if pc >= len(code):
        return "trap  ; past the end of the code"
    text, _ = disassemble_at(code, bitmask, pc)
    if text.startswith((".byte", ".insn")):
        text += "  ; not an instruction: runs as trap"
    return text


class _Tracer:
    """Prints each block after it runs, and the block that ended the run."""

    def __init__(self, blob: bytes, interpreter: Interpreter, out: TextIO):
        parts = decode_blob(blob)
        self.code = parts.code
        self.bitmask = parts.bitmask
        self.interpreter = interpreter
        self.blocks = interpreter.program.basic_blocks
        self.out = out
        self.count = 0

    def _text(self, pc: int) -> str:
        return _instruction_text(self.code, self.bitmask, pc)

    def _pcs(self, start: int, block: CyBlockInfo) -> list[int]:
        pcs = [start]
        for ins in block.instructions[:-1]:
            pcs.append(ins.next_pc)
        return pcs

    def _registers(self, registers: Sequence[int]) -> str:
        return " ".join(f"r{i}={_signed(v)}" for i, v in enumerate(registers))

    def __call__(self, start: int, block: object, registers: Sequence[int]) -> None:
        assert isinstance(block, CyBlockInfo)
        self.count += 1
        print(f"block {start} ({block.total_gas} gas)", file=self.out)
        for pc in self._pcs(start, block):
            print(f"  {pc:>8}  {self._text(pc)}", file=self.out)
        print(f"  -> {self._registers(registers)}", file=self.out)

    def finish(self, first_pc: int, result: RunResult) -> None:
        """The last block: not run (out of gas), or run up to the exit."""
        if result.status == "out-of-gas":
            block = self.interpreter.compile_block(result.pc)
            print(
                f"block {result.pc} ({block.total_gas} gas): not run, {result.gas} gas left", file=self.out
            )
            return
        # The exiting block started at the run's first pc, or (reached by a
        # jump or after a block end) at the last basic-block start before
        # the exit.
        start = first_pc
        if self.count:
            k = bisect.bisect_right(self.blocks, result.pc)
            start = self.blocks[k - 1] if k else result.pc
        pcs = self._pcs(start, self.interpreter.compile_block(start))
        if result.status in ("breakpoint", "step"):
            # Stopped before result.pc: show what ran of the block up to it.
            pcs = pcs[: pcs.index(result.pc)] if result.pc in pcs else []
            if pcs:
                print(f"block {start}", file=self.out)
            for pc in pcs:
                print(f"  {pc:>8}  {self._text(pc)}", file=self.out)
            print(f"  => {result.status} at {result.pc}; {self._registers(result.registers)}", file=self.out)
            return
        if result.pc not in pcs:
            pcs, start = [result.pc], result.pc
        # A host call stops the run with pc after the call: show up to the call.
        pcs = pcs[: pcs.index(result.pc) + (0 if result.status == "host" and len(pcs) > 1 else 1)]
        print(f"block {start}", file=self.out)
        for pc in pcs:
            print(f"  {pc:>8}  {self._text(pc)}", file=self.out)
        print(f"  => {result.status}; {self._registers(result.registers)}", file=self.out)


def _memory(heap_pages: int, stack_size: int) -> CyMemory:
    stack_bytes = -(-stack_size // PAGE_SIZE) * PAGE_SIZE
    if HEAP_START + heap_pages * PAGE_SIZE > STACK_END - stack_bytes:
        raise UsageError(
            f"{heap_pages} heap pages from {HEAP_START:#x} and a stack of {stack_size} bytes below "
            f"{STACK_END:#x} overlap"
        )
    # The heap break starts after the writable pages; with none, at their
    # start (from_pc would otherwise leave it at 0, and sbrk would hand out
    # the page at address 0).
    return CyMemory.from_pc(b"", b"", b"", heap_pages, stack_size, HEAP_START)


def _print_result(
    result: RunResult, gas: int, out: TextIO, next_instruction: Optional[str] = None, registers: bool = True
) -> None:
    print(f"status: {result.status}", file=out)
    if result.status == "host":
        print(f"host call {result.host_call} at pc {result.pc}", file=out)
    print(f"pc: {result.pc}", file=out)
    if next_instruction is not None:
        print(f"next: {next_instruction}", file=out)
    print(f"gas: {gas - result.gas} used, {result.gas} left", file=out)
    if result.fault_address is not None:
        a = result.fault_address
        print(f"fault address: {a:#010x} (page {a // PAGE_SIZE:#x})", file=out)
    if not registers:
        return
    for i, v in enumerate(result.registers):
        line = f"r{i:<2} = {v:<20}  0x{v:016x}"
        if v >= 1 << 63:
            line += f"  ({_signed(v)})"
        print(line, file=out)


def _dump_values(memory: CyMemory, address: int, length: int) -> list[Optional[int]]:
    """The bytes of a range, None for those on an inaccessible page."""
    values: list[Optional[int]] = []
    a, end = address, address + length
    while a < end:
        n = min(end, (a // PAGE_SIZE + 1) * PAGE_SIZE) - a
        if memory.is_accessible(a, n, Accessibility.READ):
            values += memory.read(a, n)
        else:
            values += [None] * n
        a += n
    return values


def _print_dump(memory: CyMemory, address: int, length: int, out: TextIO) -> None:
    print(f"memory {address:#010x}..{address + length:#010x}:", file=out)
    values = _dump_values(memory, address, length)
    end = address + length
    first = address - address % 16
    for row in range(first, end, 16):
        cells = []
        for a in range(row, row + 16):
            if not address <= a < end:
                cells.append("  ")
            else:
                v = values[a - address]
                cells.append("--" if v is None else f"{v:02x}")
        print(f"  {row:08x}  " + " ".join(cells).rstrip(), file=out)


def _json_value(value: object) -> Any:
    """A JSON form of a host-call description: its fields for a dataclass,
    a list for a tuple, the text otherwise."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return dataclasses.asdict(value)
    if isinstance(value, tuple):
        return list(value)
    return str(value)


def _print_json(report: dict[str, Any], out: TextIO) -> None:
    print(json.dumps(report, default=_json_value), file=out)


def _result_json(result: RunResult, gas: int, dumps: list[tuple[int, int]]) -> dict[str, Any]:
    report: dict[str, Any] = {
        "status": result.status,
        "pc": result.pc,
        "gas_used": gas - result.gas,
        "gas_left": result.gas,
        "registers": list(result.registers),
        "fault_address": result.fault_address,
        "host_call": getattr(result, "host_call", None),
    }
    if dumps:
        report["dumps"] = [
            {
                "address": a,
                "length": n,
                "hex": "".join("--" if v is None else f"{v:02x}" for v in _dump_values(result.memory, a, n)),
            }
            for a, n in dumps
        ]
    return report


def _report_interruption(e: KeyboardInterrupt, gas: int, as_json: bool, out: TextIO) -> None:
    """The state a run had when Ctrl-C stopped it, as far as it is known:
    the native run loop records it on the exception; an interruption inside
    the trace printer leaves none."""
    pc: Optional[int] = getattr(e, "pc", None)
    left: Optional[int] = getattr(e, "gas", None)
    registers: Optional[list[int]] = getattr(e, "registers", None)
    if as_json:
        _print_json(
            {
                "status": "interrupted",
                "pc": pc,
                "gas_used": None if left is None else gas - left,
                "gas_left": left,
                "registers": registers,
            },
            out,
        )
        return
    print("status: interrupted", file=out)
    if pc is None or left is None or registers is None:
        print("(stopped outside the run loop: no state recorded)", file=out)
        return
    print(f"pc: {pc} (the next block to run)", file=out)
    print(f"gas: {gas - left} used, {left} left", file=out)
    for i, v in enumerate(registers):
        line = f"r{i:<2} = {v:<20}  0x{v:016x}"
        if v >= 1 << 63:
            line += f"  ({_signed(v)})"
        print(line, file=out)


def _load_image(args: argparse.Namespace) -> tuple[bytes, CyMemory, list[int]]:
    """The program blob, memory and registers of `run --image`."""
    from .image import load

    for flag, value in (("--heap-pages", args.heap_pages), ("--stack-size", args.stack_size)):
        if value is not None:
            raise UsageError(f"{flag} does not apply to --image: the container sets the memory layout")
    data = _read(args.image)
    try:
        image = load(data, args.args or b"")
    except ValueError as e:
        name = _name(args.image)
        if args.args is None and _is_blob(data):
            raise UsageError(f"{name}: a program blob, not a program container: run it without --image") from None
        raise UsageError(f"{name}: not a valid program container: {e}") from None
    return image.program.encode(), image.memory, image.registers


def _is_blob(data: bytes) -> bool:
    try:
        CyProgram(data)
    except ValueError:
        return False
    return True


class _Prepared(NamedTuple):
    """What a run of the command line starts from."""

    name: str
    blob: bytes
    interpreter: Interpreter
    registers: list[int]
    memory: CyMemory


def _prepare(args: argparse.Namespace) -> _Prepared:
    """The program, registers and memory that the program arguments name."""
    if (args.program is None) == (args.image is None):
        raise UsageError(f"{args.command} needs either PROGRAM or --image FILE")
    if args.image is None and args.args is not None:
        raise UsageError("--args applies only to --image")
    memory: Optional[CyMemory]
    if args.image is not None:
        blob, memory, registers = _load_image(args)
        name = _name(args.image)
    else:
        blob, name = load_program(args.program), _name(args.program)
        registers = [0] * REGISTER_COUNT
        memory = None
    try:
        interpreter = Interpreter(blob)
    except ValueError as e:
        raise UsageError(f"{name}: not a program blob: {e}") from None
    for index, value in args.reg:
        registers[index] = value
    if memory is None:
        memory = _memory(
            DEFAULT_HEAP_PAGES if args.heap_pages is None else args.heap_pages,
            DEFAULT_STACK_SIZE if args.stack_size is None else args.stack_size,
        )
    return _Prepared(name, blob, interpreter, registers, memory)


@contextlib.contextmanager
def _writing(path: str) -> Iterator[None]:
    """Turns a failure to write `path` into the usage error "cannot write";
    a reader that went away (BrokenPipeError) is main's to handle."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None


def _open_output(path: str) -> TextIO:
    """A text file to write to, standard output for '-'."""
    if path == "-":
        return sys.stdout
    with _writing(path):
        stream = open(path, "w", encoding="utf-8")
    return stream


def _end_output(stream: TextIO) -> None:
    """Writes out what `stream` still buffers (a full disk shows up here as
    much as at a write): standard output is flushed, a file closed."""
    if stream is sys.stdout:
        stream.flush()
    else:
        stream.close()


class _TraceRecord(Protocol):
    def to_json(self) -> dict[str, Any]: ...


class _InstructionLog:
    """Writes the instructions a run executes as JSON lines, then how the
    run ended.  With `last`, only the last `last` instructions are kept
    (in memory) and written at the end."""

    def __init__(self, path: str, last: Optional[int]):
        self.path = path
        self.stream = _open_output(path)
        self.kept: Optional[deque[_TraceRecord]] = None if last is None else deque(maxlen=last)

    def _write(self, obj: dict[str, Any]) -> None:
        line = json.dumps(obj) + "\n"
        with _writing(self.path):
            self.stream.write(line)

    def __call__(self, record: _TraceRecord) -> None:
        if self.kept is not None:
            self.kept.append(record)
        else:
            self._write(record.to_json())

    def finish(self, end: dict[str, Any]) -> None:
        for record in self.kept or ():
            self._write(record.to_json())
        self._write(end)
        with _writing(self.path):
            _end_output(self.stream)


#: Endings a run of the command line succeeds with: the program halted, or
#: stopped where --break or --max-steps asked it to.
_ASKED_FOR = ("halt", "breakpoint", "step")


def _exit_code(result: RunResult) -> int:
    return 0 if result.status in _ASKED_FOR else 1


def cmd_run(args: argparse.Namespace, out: TextIO) -> int:
    if args.last is not None and args.trace_instructions is None:
        raise UsageError("--last applies only to --trace-instructions")
    run = _prepare(args)
    # With the instruction trace on standard output, the rest goes to
    # standard error so that the output stays JSON lines.
    if args.trace_instructions == "-":
        out = sys.stderr
    log = _InstructionLog(args.trace_instructions, args.last) if args.trace_instructions is not None else None
    trace_out = sys.stderr if args.json else out
    tracer = _Tracer(run.blob, run.interpreter, trace_out) if args.trace else None
    try:
        result = run.interpreter.run(
            registers=run.registers, memory=run.memory, pc=args.pc, gas=args.gas, trace=tracer,
            breakpoints=set(args.breakpoints) or None, max_steps=args.max_steps, trace_instructions=log,
        )
    except KeyboardInterrupt as e:
        if tracer is not None:
            print(file=trace_out)
        if log is not None:
            left = getattr(e, "gas", None)
            log.finish({"end": "interrupted", "pc": getattr(e, "pc", None), "gas": left,
                        "fault_address": None, "host_call": None})
        _report_interruption(e, args.gas, args.json, out)
        return 130
    if log is not None:
        log.finish(end_record(result))
    if tracer is not None:
        tracer.finish(args.pc, result)
        print(file=trace_out)
    if args.json:
        _print_json(_result_json(result, args.gas, args.dump), out)
        return _exit_code(result)
    _print_result(result, args.gas, out, _next_instruction(run.blob, result))
    for address, length in args.dump:
        _print_dump(result.memory, address, length, out)
    return _exit_code(result)


def _next_instruction(blob: bytes, result: RunResult) -> Optional[str]:
    """The instruction a run that stopped where asked goes on with."""
    if result.status not in ("breakpoint", "step"):
        return None
    parts = decode_blob(blob)
    return _instruction_text(parts.code, parts.bitmask, result.pc)


# ---------------------------------------------------------------------------
# profile


def _load_symbols(path: str) -> dict[int, str]:
    try:
        return load_symbols(path)
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror or e}") from None
    except ValueError as e:
        raise UsageError(str(e)) from None


def _share(part: int, total: int) -> str:
    return f"{100 * part / total:.1f}%" if total else "-"


def _print_profile_tables(profile: Profile, symbols: Optional[dict[int, str]], top: int, out: TextIO) -> None:
    total = profile.total
    blocks = profile.top_blocks(top)
    if blocks:
        print(f"\ntop blocks by gas ({len(blocks)} of {len(profile.blocks)}):", file=out)
        print(f"  {'pc':>10}  {'entries':>10}  {'gas':>12}  {'share':>6}" + ("  location" if symbols else ""), file=out)
        for b in blocks:
            line = f"  {b.pc:>10}  {b.entries:>10}  {b.gas:>12}  {_share(b.gas, total):>6}"
            if symbols:
                line += f"  {block_location(b.pc, symbols)}"
            print(line, file=out)
    functions = profile.top_functions(top)
    if functions:
        count = len(profile.functions())
        print(f"\ntop functions by inclusive gas ({len(functions)} of {count}):", file=out)
        print(
            f"  {'inclusive':>12}  {'share':>6}  {'exclusive':>12}  {'share':>6}  {'calls':>8}  function", file=out
        )
        for f in functions:
            print(
                f"  {f.inclusive:>12}  {_share(f.inclusive, total):>6}  {f.exclusive:>12}  "
                f"{_share(f.exclusive, total):>6}  {f.calls:>8}  {function_name(f.pc, symbols)}",
                file=out,
            )


def cmd_profile(args: argparse.Namespace, out: TextIO) -> int:
    symbols = _load_symbols(args.symbols) if args.symbols is not None else None
    files = [(what, path) for what, path in
             (("folded stacks", args.folded), ("speedscope profile", args.speedscope), ("flame graph", args.svg))
             if path is not None]
    if sum(path == "-" for _, path in files) > 1:
        raise UsageError("only one of --folded, --speedscope and --svg can write to standard output")
    if any(path == "-" for _, path in files):
        out = sys.stderr
    run = _prepare(args)
    # The files are opened before the run: one that cannot be written is
    # reported before a run that may take long, not after it.
    streams: list[tuple[str, str, TextIO]] = []
    try:
        for what, path in files:
            streams.append((what, path, _open_output(path)))
        return _profile_run(args, run, symbols, streams, out)
    finally:
        for _, _, stream in streams:
            if stream is not sys.stdout:
                try:
                    stream.close()
                except OSError:
                    pass  # reported by the write that met it


def _profile_run(args: argparse.Namespace, run: _Prepared, symbols: Optional[dict[int, str]],
                 streams: list[tuple[str, str, TextIO]], out: TextIO) -> int:
    try:
        result = run.interpreter.run(
            registers=run.registers, memory=run.memory, pc=args.pc, gas=args.gas, profile=True
        )
    except KeyboardInterrupt as e:
        _report_interruption(e, args.gas, False, out)
        return 130
    profile = result.profile
    assert profile is not None  # profile=True always gives one
    _print_result(result, args.gas, out, registers=False)
    used = args.gas - result.gas
    if profile.total != used:
        print(
            f"{_prog_name()}: warning: the profile accounts for {profile.total} gas, the run used {used}",
            file=sys.stderr,
        )
    _print_profile_tables(profile, symbols, args.top, out)
    title = f"{os.path.basename(run.name)}: {profile.total} gas"
    if any(path != "-" for _, path, _ in streams):
        print(file=out)
    for what, path, stream in streams:
        if what == "folded stacks":
            text = profile.folded(symbols)
        elif what == "speedscope profile":
            text = json.dumps(profile.speedscope(symbols, name=title)) + "\n"
        else:
            text = profile.svg(symbols, title=title)
        with _writing(path):
            stream.write(text)
            _end_output(stream)
        if path != "-":
            print(f"wrote {what} to {path}", file=out)
    return _exit_code(result)


# ---------------------------------------------------------------------------
# asm, disasm, vectors


def cmd_asm(args: argparse.Namespace, out: TextIO) -> int:
    blob = _assemble_text(_name(args.source), _read(args.source))
    data = blob
    if args.image:
        from .image import build

        try:
            data = build(b"", b"", args.heap_pages, args.stack_size, blob)
        except ValueError as e:
            raise UsageError(f"cannot build a container: {e}") from None
    elif args.heap_pages != 0 or args.stack_size != DEFAULT_STACK_SIZE:
        raise UsageError("--heap-pages and --stack-size apply only to asm --image")
    to_stdout = args.output == "-"
    with _writing(args.output):
        if to_stdout:
            # The blob alone on standard output; the summary goes to standard error.
            out.flush()
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        else:
            with open(args.output, "wb") as f:
                f.write(data)
    parts = decode_blob(blob)
    print(
        f"wrote {'standard output' if to_stdout else args.output}: {len(data)} bytes "
        f"({'a container: ' if args.image else ''}{len(parts.code)} code bytes, "
        f"{len(parts.jump_table)} jump-table entries)",
        file=sys.stderr if to_stdout else out,
    )
    return 0


def cmd_disasm(args: argparse.Namespace, out: TextIO) -> int:
    data = _check_blob(_name(args.blob), _read(args.blob), " (disasm reads the program blob alone)")
    out.write(disassemble(data))
    return 0


def cmd_vectors(args: argparse.Namespace, out: TextIO) -> int:
    from .vectors import VectorError, check_paths

    jobs = args.jobs or os.cpu_count() or 1
    progress = sys.stderr if sys.stderr.isatty() else None
    try:
        passed, failed = check_paths(args.paths, out=out, verbose=args.verbose, jobs=jobs, progress=progress,
                                     threads=args.threads)
    except BrokenPipeError:
        raise  # the reader went away: not a problem with the paths
    except (OSError, VectorError) as e:
        raise UsageError(str(e)) from None
    if not passed + failed:
        # Only files holding an empty list: nothing was checked, which must
        # not pass for success.
        raise UsageError("no vectors found: the files hold empty lists")
    return 1 if failed else 0


COMMANDS: dict[str, Callable[[argparse.Namespace, TextIO], int]] = {
    "run": cmd_run, "profile": cmd_profile, "asm": cmd_asm, "disasm": cmd_disasm, "vectors": cmd_vectors,
}


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line with `argv` (default: sys.argv[1:]); returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)  # exits with code 2 on a usage error
    out = sys.stdout
    try:
        code = COMMANDS[args.command](args, out)
        out.flush()
        return code
    except UsageError as e:
        print(f"{parser.prog}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{parser.prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, and keep the
        # flush at exit from failing again on the closed pipe.
        _drop_stdout()
        return 1
    except OSError as e:
        # Files the commands name report their own errors; what is left is
        # the standard output failing (a full disk, say).
        print(f"{parser.prog}: error: cannot write the output: {e.strerror or e}", file=sys.stderr)
        _drop_stdout()
        return 2


def _drop_stdout() -> None:
    """Sends what the standard output still holds nowhere, so that the
    flush at exit does not fail again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


if __name__ == "__main__":
    sys.exit(main())
