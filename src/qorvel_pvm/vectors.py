"""Conformance test vectors: load them, run them, compare the outcome.

A vector is a JSON object describing one run of a program and its expected
outcome::

    {
      "name": "add_and_halt",
      "initial-regs": [0, 0, ...],              13 unsigned 64-bit values
      "initial-pc": 0,
      "initial-page-map": [{"address": 131072, "length": 4096, "is-writable": true}],
      "initial-memory": [{"address": 131072, "contents": [1, 2, 3]}],
      "initial-gas": 100,
      "program": [0, 0, 3, ...],                the program blob, as bytes
      "expected-status": "halt",                "halt", "panic", "page-fault" or "out-of-gas"
      "expected-regs": [...],
      "expected-pc": 5,
      "expected-memory": [{"address": 131072, "contents": [1, 2, 3]}],
      "expected-gas": 96,
      "expected-page-fault-address": 131072     only for page faults, optional
    }

Memory: the regions of the page map are readable, and writable where
"is-writable" is set (a region covers every page it touches); every other page
is inaccessible.  The initial memory is placed before the run whatever the
permissions.  The heap break starts at 0 (the format has no field for it).
The expected memory lists the non-zero bytes of accessible memory after the
run (pages the program made accessible, with sbrk for instance, included);
chunks may hold zero bytes, which are ignored: the comparison is between the
maps of address to non-zero byte.  The page-fault address must equal the
run's `fault_address` exactly: the start of the first page of the faulting
access that lacks the permission.

A file holds one vector object or a list of them.  `check_paths` runs files
and directories of them (the `vectors` command of ``python -m qorvel_pvm``)::

    >>> from qorvel_pvm.vectors import load_file, check_vector
    >>> for vector in load_file("tests/vectors/trap.json"):
    ...     print(vector.name, check_vector(vector))
    trap []
"""

from __future__ import annotations

import json
import multiprocessing
import os
import signal
import sys
from dataclasses import dataclass
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor
from itertools import repeat
from typing import Any, Generator, Iterable, Optional, Sequence, TextIO, Union

from .common.types import Accessibility
from .cpvm.vm_memory import CyMemory
from .interpreter import Interpreter, RunResult

__all__ = [
    "STATUSES",
    "Region",
    "Vector",
    "VectorError",
    "parse_vector",
    "load_file",
    "find_vector_files",
    "build_memory",
    "nonzero_memory",
    "memory_chunks",
    "run_vector",
    "check_vector",
    "check_file",
    "check_paths",
]

STATUSES = ("halt", "panic", "page-fault", "out-of-gas")

PAGE_SIZE = 4096
REGISTER_COUNT = 13
_U32 = 1 << 32
_U64 = 1 << 64
_GAS_MAX = (1 << 63) - 1
#: Differing bytes shown in a failure line before the rest is only counted.
_SHOWN_BYTES = 4

PathLike = Union[str, "os.PathLike[str]"]


class VectorError(ValueError):
    """A vector file or object that does not have the vector format."""


@dataclass(frozen=True)
class Region:
    """One entry of the initial page map."""

    address: int
    length: int
    writable: bool

    def pages(self) -> range:
        """The page indices the region touches."""
        if self.length == 0:
            return range(0)
        return range(self.address // PAGE_SIZE, (self.address + self.length - 1) // PAGE_SIZE + 1)


@dataclass
class Vector:
    """One parsed test vector."""

    name: str
    program: bytes
    initial_regs: list[int]
    initial_pc: int
    initial_gas: int
    initial_page_map: list[Region]
    initial_memory: list[tuple[int, bytes]]
    expected_status: str
    expected_regs: list[int]
    expected_pc: int
    expected_gas: int
    expected_memory: list[tuple[int, bytes]]
    expected_page_fault_address: Optional[int] = None
    source: Optional[str] = None

    def label(self) -> str:
        """The name, with the file it came from, on one line: control
        characters in a name (a line break, say) are shown escaped, so that
        a vector file cannot add lines to a report."""
        name = "".join(c if c.isprintable() or c == " " else repr(c)[1:-1] for c in self.name)
        return f"{name} ({self.source})" if self.source else name


# ---------------------------------------------------------------------------
# Parsing


def _field(obj: dict[str, Any], key: str) -> Any:
    try:
        return obj[key]
    except KeyError:
        raise VectorError(f"missing field '{key}'") from None


def _int(value: object, key: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise VectorError(f"'{key}' must be an integer, got {json.dumps(value)[:40]}")
    if not low <= value <= high:
        raise VectorError(f"'{key}' must be in {low}..{high:#x}, got {value}")
    return value


def _registers(value: object, key: str) -> list[int]:
    if not isinstance(value, list) or len(value) != REGISTER_COUNT:
        raise VectorError(f"'{key}' must be a list of {REGISTER_COUNT} integers")
    return [_int(v, f"{key}[{i}]", 0, _U64 - 1) for i, v in enumerate(value)]


def _bytes(value: object, key: str) -> bytes:
    if not isinstance(value, list):
        raise VectorError(f"'{key}' must be a list of byte values")
    for i, b in enumerate(value):
        _int(b, f"{key}[{i}]", 0, 255)
    return bytes(value)


def _chunks(value: object, key: str) -> list[tuple[int, bytes]]:
    if not isinstance(value, list):
        raise VectorError(f"'{key}' must be a list of {{address, contents}} objects")
    chunks = []
    for i, chunk in enumerate(value):
        where = f"{key}[{i}]"
        if not isinstance(chunk, dict):
            raise VectorError(f"'{where}' must be an object with 'address' and 'contents'")
        address = _int(_field(chunk, "address"), f"{where}.address", 0, _U32 - 1)
        contents = _bytes(_field(chunk, "contents"), f"{where}.contents")
        if address + len(contents) > _U32:
            raise VectorError(f"'{where}' runs past the end of the 32-bit address space")
        chunks.append((address, contents))
    return chunks


def _page_map(value: object) -> list[Region]:
    key = "initial-page-map"
    if not isinstance(value, list):
        raise VectorError(f"'{key}' must be a list of {{address, length, is-writable}} objects")
    regions = []
    for i, entry in enumerate(value):
        where = f"{key}[{i}]"
        if not isinstance(entry, dict):
            raise VectorError(f"'{where}' must be an object with 'address', 'length' and 'is-writable'")
        address = _int(_field(entry, "address"), f"{where}.address", 0, _U32 - 1)
        length = _int(_field(entry, "length"), f"{where}.length", 0, _U32)
        writable = _field(entry, "is-writable")
        if not isinstance(writable, bool):
            raise VectorError(f"'{where}.is-writable' must be true or false")
        if address + length > _U32:
            raise VectorError(f"'{where}' runs past the end of the 32-bit address space")
        regions.append(Region(address, length, writable))
    return regions


def parse_vector(obj: object, source: Optional[str] = None) -> Vector:
    """A `Vector` from a decoded JSON object; VectorError when malformed."""
    if not isinstance(obj, dict):
        raise VectorError(f"a vector must be a JSON object, got {type(obj).__name__}")
    name = obj.get("name", None)
    if name is None:
        name = os.path.splitext(os.path.basename(source))[0] if source else "<unnamed>"
    elif not isinstance(name, str):
        raise VectorError("'name' must be a string")
    status = _field(obj, "expected-status")
    if status not in STATUSES:
        raise VectorError(f"'expected-status' must be one of {', '.join(STATUSES)}, got {json.dumps(status)[:40]}")
    fault = obj.get("expected-page-fault-address")
    if fault is not None:
        fault = _int(fault, "expected-page-fault-address", 0, _U32 - 1)
    return Vector(
        name=name,
        program=_bytes(_field(obj, "program"), "program"),
        initial_regs=_registers(_field(obj, "initial-regs"), "initial-regs"),
        initial_pc=_int(_field(obj, "initial-pc"), "initial-pc", 0, _U32 - 1),
        initial_gas=_int(_field(obj, "initial-gas"), "initial-gas", 0, _GAS_MAX),
        initial_page_map=_page_map(_field(obj, "initial-page-map")),
        initial_memory=_chunks(_field(obj, "initial-memory"), "initial-memory"),
        expected_status=status,
        expected_regs=_registers(_field(obj, "expected-regs"), "expected-regs"),
        expected_pc=_int(_field(obj, "expected-pc"), "expected-pc", 0, _U32 - 1),
        expected_gas=_int(_field(obj, "expected-gas"), "expected-gas", 0, _GAS_MAX),
        expected_memory=_chunks(_field(obj, "expected-memory"), "expected-memory"),
        expected_page_fault_address=fault,
        source=source,
    )


def load_file(path: PathLike) -> list[Vector]:
    """The vectors of one JSON file (an object or a list of objects).

    Raises OSError when the file cannot be read and VectorError when it is not
    JSON or not in the vector format.
    """
    path = os.fspath(path)
    with open(path, "rb") as f:
        raw = f.read()
    try:
        data = json.loads(raw)
    except (ValueError, UnicodeDecodeError) as e:
        raise VectorError(f"not valid JSON: {e}") from None
    except RecursionError:
        raise VectorError("not valid JSON: nested too deeply") from None
    items = data if isinstance(data, list) else [data]
    vectors = []
    for i, item in enumerate(items):
        try:
            vectors.append(parse_vector(item, path))
        except VectorError as e:
            where = f"vector {i}" if isinstance(data, list) else "vector"
            raise VectorError(f"{where}: {e}") from None
    return vectors


def find_vector_files(paths: Union[PathLike, Iterable[PathLike]]) -> list[str]:
    """The files named, and the .json files under the directories named
    (recursively, sorted); `paths` may also be one path.  Raises
    FileNotFoundError for a path that does not exist and VectorError for a
    directory without any .json file."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]  # one path, not a sequence of one-letter paths
    files = []
    for p in paths:
        p = os.fspath(p)
        if os.path.isdir(p):
            found = []
            for root, dirs, names in os.walk(p):
                dirs.sort()
                found += [os.path.join(root, n) for n in sorted(names) if n.endswith(".json")]
            if not found:
                raise VectorError(f"{p}: no .json vector files in this directory")
            files += found
        elif os.path.exists(p):
            files.append(p)
        else:
            raise FileNotFoundError(f"{p}: no such file or directory")
    return files


# ---------------------------------------------------------------------------
# Running


def build_memory(vector: Vector) -> CyMemory:
    """The guest memory a vector starts with."""
    readable: set[int] = set()
    writable: set[int] = set()
    for region in vector.initial_page_map:
        pages = region.pages()
        readable.update(pages)
        if region.writable:
            writable.update(pages)
    data = {}
    for address, contents in vector.initial_memory:
        for i, b in enumerate(contents):
            data[address + i] = b
    return CyMemory(data, sorted(readable), sorted(writable))


def nonzero_memory(memory: CyMemory) -> dict[int, int]:
    """Address to value of every non-zero byte on a readable page."""
    out: dict[int, int] = {}
    pages = memory._pages or {}
    for page in sorted(pages):
        base = page * PAGE_SIZE
        if not memory.is_accessible(base, PAGE_SIZE, Accessibility.READ):
            continue
        data = memory.read(base, PAGE_SIZE)
        if not data.strip(b"\0"):
            continue
        for offset, b in enumerate(data):
            if b:
                out[base + offset] = b
    return out


def memory_chunks(memory: CyMemory) -> list[dict[str, Any]]:
    """The non-zero bytes of readable memory as expected-memory chunks: runs
    of consecutive non-zero bytes, in address order."""
    chunks: list[dict[str, Any]] = []
    last = None
    for address, b in sorted(nonzero_memory(memory).items()):
        if last is not None and address == last + 1:
            chunks[-1]["contents"].append(b)
        else:
            chunks.append({"address": address, "contents": [b]})
        last = address
    return chunks


def run_vector(vector: Vector) -> RunResult:
    """Runs a vector's program from its initial state.

    A program blob the interpreter refuses raises ValueError.
    """
    return Interpreter(vector.program).run(
        registers=vector.initial_regs,
        memory=build_memory(vector),
        pc=vector.initial_pc,
        gas=vector.initial_gas,
    )


def _hex(v: Optional[int]) -> str:
    return "none" if v is None else f"{v:#x}"


def _memory_difference(expected: dict[int, int], actual: dict[int, int]) -> Optional[str]:
    if expected == actual:
        return None
    wrong = sorted(a for a in expected.keys() | actual.keys() if expected.get(a, 0) != actual.get(a, 0))
    shown = ", ".join(
        f"{a:#x}: expected {expected.get(a, 0):#04x}, got {actual.get(a, 0):#04x}" for a in wrong[:_SHOWN_BYTES]
    )
    more = f", and {len(wrong) - _SHOWN_BYTES} more" if len(wrong) > _SHOWN_BYTES else ""
    noun = "byte differs" if len(wrong) == 1 else "bytes differ"
    return f"{len(wrong)} {noun} ({shown}{more})"


def check_vector(vector: Vector) -> list[str]:
    """Runs a vector and returns one text per field that differs from the
    expectation (an empty list when the vector passes)."""
    try:
        result = run_vector(vector)
    except ValueError as e:
        return [f"program: the interpreter refuses it ({e})"]
    problems = []
    if result.status != vector.expected_status:
        problems.append(f"status: expected {vector.expected_status}, got {result.status}")
    if result.pc != vector.expected_pc:
        problems.append(f"pc: expected {vector.expected_pc}, got {result.pc}")
    if result.gas != vector.expected_gas:
        problems.append(f"gas: expected {vector.expected_gas}, got {result.gas}")
    wrong = [
        f"r{i} expected {e} ({e:#x}), got {a} ({a:#x})"
        for i, (e, a) in enumerate(zip(vector.expected_regs, result.registers))
        if e != a
    ]
    if wrong:
        problems.append("regs: " + ", ".join(wrong))
    expected_memory = {
        address + i: b for address, contents in vector.expected_memory for i, b in enumerate(contents) if b
    }
    difference = _memory_difference(expected_memory, nonzero_memory(result.memory))
    if difference:
        problems.append(f"memory: {difference}")
    want = vector.expected_page_fault_address
    if vector.expected_status == "page-fault" and want is not None:
        got = result.fault_address
        if got != want:
            problems.append(f"page-fault-address: expected {_hex(want)}, got {_hex(got)}")
    return problems


def check_file(path: str, verbose: bool = False) -> tuple[list[str], int, int]:
    """Runs the vectors of one file: the report lines (one per failing
    vector, or one for a file that cannot be read, which counts as one
    failure; with `verbose` also one per passing vector), passed, failed."""
    try:
        vectors = load_file(path)
    except (OSError, VectorError) as e:
        return [f"FAIL {path}: {e}"], 0, 1
    lines: list[str] = []
    passed = failed = 0
    for vector in vectors:
        problems = check_vector(vector)
        if problems:
            failed += 1
            lines.append(f"FAIL {vector.label()}: " + "; ".join(problems))
        else:
            passed += 1
            if verbose:
                lines.append(f"ok   {vector.label()}")
    return lines, passed, failed


def _file_results(
    files: list[str], verbose: bool, jobs: int, threads: bool = False
) -> Generator[tuple[list[str], int, int], None, None]:
    """check_file of every file, in order; in `jobs` worker processes (or
    threads) when that is more than one."""
    if jobs <= 1 or len(files) <= 1:
        for path in files:
            yield check_file(path, verbose)
        return
    pool: Executor
    if threads:
        # Long runs proceed in parallel; reading and comparing the vectors
        # takes turns on the interpreter lock.
        pool = ThreadPoolExecutor(max_workers=min(jobs, len(files)), thread_name_prefix="qorvel_pvm vectors")
    else:
        # Ctrl-C reaches the whole process group: the workers ignore it and
        # the main process stops them, so one interruption gives one report.
        # Workers start from a fork server where there is one: forking this
        # process, which may have threads (runs in progress), could copy a
        # lock some thread holds.
        methods = multiprocessing.get_all_start_methods()
        context = multiprocessing.get_context("forkserver" if "forkserver" in methods else None)
        pool = ProcessPoolExecutor(
            max_workers=min(jobs, len(files)), mp_context=context, initializer=signal.signal,
            initargs=(signal.SIGINT, signal.SIG_IGN),
        )
    try:
        yield from pool.map(check_file, files, repeat(verbose), chunksize=max(1, min(8, len(files) // (jobs * 8))))
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def check_paths(
    paths: Union[PathLike, Sequence[PathLike]],
    out: Optional[TextIO] = None,
    verbose: bool = False,
    jobs: int = 1,
    progress: Optional[TextIO] = None,
    threads: bool = False,
) -> tuple[int, int]:
    """Runs every vector in the files and directories named.

    Writes one line per failing vector (and per unreadable file, which counts
    as one failure) naming every field that differs, then the line
    "N passed, N failed"; with `verbose`, also a line per passing vector.
    `jobs` above 1 runs the files in that many worker processes, or with
    `threads` in that many threads of this process (the report keeps the
    file order either way).  `progress`, a terminal stream, gets a status line
    ("files done/total, passed, failed") rewritten as the files finish.
    Returns (passed, failed).  Raises FileNotFoundError or VectorError for a
    path that names no vectors at all.
    """
    out = sys.stdout if out is None else out
    files = find_vector_files(paths)
    passed = failed = 0
    shown = False
    results = _file_results(files, verbose, jobs, threads)
    try:
        for done, (lines, ok, bad) in enumerate(results, 1):
            passed, failed = passed + ok, failed + bad
            if lines and shown and progress is not None:
                progress.write("\r\033[K")  # clear the status line before the report lines
                progress.flush()
            for line in lines:
                print(line, file=out)
            if progress is not None:
                out.flush()
                progress.write(f"\r{done}/{len(files)} files, {passed} passed, {failed} failed")
                progress.flush()
                shown = True
    finally:
        results.close()  # stops the worker processes now, also on Ctrl-C or a closed pipe
    if shown and progress is not None:
        progress.write("\r\033[K")
        progress.flush()
    print(f"{passed} passed, {failed} failed", file=out)
    return passed, failed
