"""The standard program container: a program together with its memory.

A container is one blob::

    o_len   3 bytes LE    length of the read-only data
    w_len   3 bytes LE    length of the read-write data
    z       2 bytes LE    extra heap pages after the read-write data
    s       3 bytes LE    stack size in bytes
    o       o_len bytes   read-only data, placed at 0x10000
    w       w_len bytes   read-write data, placed at write_start
    c_len   4 bytes LE    length of the program blob
    c       c_len bytes   the program blob (jump table, code, bitmask)

with nothing after `c`.  `write_start` is 0x20000 plus `o_len` rounded up to
a multiple of 0x10000; the heap starts there.  The stack ends at 0xFEFE0000
and the arguments start at 0xFEFF0000.

`load` turns a container and an argument string into what a run needs;
`build` makes a container.  A malformed container or an argument that does
not fit is a ValueError naming the field, raised before anything is built::

    >>> from qorvel_pvm import run
    >>> from qorvel_pvm.asm import assemble
    >>> image = load(build(b"", b"", 0, 4096, assemble("load_imm_jump_ind r0, r0, 0, 0")), args=b"hi")
    >>> run(image.program, memory=image.memory, registers=image.registers).status
    'halt'
"""

from __future__ import annotations

from typing import NamedTuple, Union

from .cpvm.vm_memory import CyMemory
from .cpvm.vm_program import CyProgram

__all__ = ["Image", "load", "build", "ARGS_MAX", "REGISTER_COUNT"]

PAGE_SIZE = 0x1000
ZONE_SIZE = 0x10000
READ_START = 0x10000
WRITE_BASE = 0x20000
STACK_END = 0xFEFE0000
ARGS_START = 0xFEFF0000
#: Returning from the entry point jumps here, which halts.
HALT_ADDRESS = 0xFFFF0000
#: The top 64 KiB of the address space stay unmapped.
TOP_RESERVED = 0xFFFF0000
#: Largest argument string.
ARGS_MAX = 1 << 24
REGISTER_COUNT = 13

_HEADER = (("read_only length", 3), ("read_write length", 3), ("heap_pages", 2), ("stack_size", 3))
_FIELD_MAX = {"read_only": (1 << 24) - 1, "read_write": (1 << 24) - 1, "heap_pages": (1 << 16) - 1,
              "stack_size": (1 << 24) - 1, "program": (1 << 32) - 1}

BytesLike = Union[bytes, bytearray, memoryview]


class Image(NamedTuple):
    """What `load` returns: everything a run of the container starts with."""

    program: CyProgram
    memory: CyMemory
    registers: list[int]


def _round_up(n: int, unit: int) -> int:
    return -(-n // unit) * unit


def _as_bytes(value: object, name: str) -> bytes:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"{name} must be bytes, not {type(value).__name__}")


def _write_start(read_only_len: int) -> int:
    return WRITE_BASE + _round_up(read_only_len, ZONE_SIZE)


def _check_layout(read_only_len: int, read_write_len: int, heap_pages: int, stack_size: int, args_len: int) -> int:
    """Checks that the regions fit the address space; returns write_start."""
    if args_len > ARGS_MAX:
        raise ValueError(f"args: {args_len} bytes, at most {ARGS_MAX} fit below the reserved top 64 KiB")
    write_start = _write_start(read_only_len)
    heap_end = write_start + _round_up(read_write_len, PAGE_SIZE) + heap_pages * PAGE_SIZE
    stack_start = STACK_END - _round_up(stack_size, PAGE_SIZE)
    if heap_end > stack_start:
        raise ValueError(
            f"heap_pages: the read-write data and heap end at {heap_end:#x}, past the stack's start {stack_start:#x}"
        )
    if ARGS_START + _round_up(args_len, PAGE_SIZE) > TOP_RESERVED:
        raise ValueError("args: the arguments reach the reserved top 64 KiB")
    return write_start


def _parse(blob: bytes) -> tuple[bytes, bytes, int, int, bytes]:
    pos = 0

    def take(n: int, field: str) -> bytes:
        nonlocal pos
        if len(blob) - pos < n:
            raise ValueError(f"{field}: the container is truncated ({n} bytes needed at offset {pos}, "
                             f"{len(blob) - pos} remain)")
        chunk = blob[pos:pos + n]
        pos += n
        return chunk

    o_len, w_len, heap_pages, stack_size = (int.from_bytes(take(n, f), "little") for f, n in _HEADER)
    read_only = take(o_len, "read_only")
    read_write = take(w_len, "read_write")
    c_len = int.from_bytes(take(4, "program length"), "little")
    program = take(c_len, "program")
    if pos != len(blob):
        raise ValueError(f"program: {len(blob) - pos} bytes follow the program blob")
    return read_only, read_write, heap_pages, stack_size, program


def load(blob: BytesLike, args: BytesLike = b"") -> Image:
    """Reads a container and lays out its memory for the argument string
    `args`.

    Returns an `Image`: the `CyProgram`, the `CyMemory` (read-only data
    readable at 0x10000; read-write data and `heap_pages` extra pages
    writable at `write_start`, the heap break after them; a stack of
    `stack_size` bytes, rounded up to whole pages, below 0xFEFE0000; the
    arguments readable at 0xFEFF0000), the 13 starting registers (r0
    0xFFFF0000 so that returning from the entry halts, r1 0xFEFE0000 the
    stack top, r7 0xFEFF0000 the arguments, r8 their length, the rest 0).
    The run starts at pc 0.
    """
    blob = _as_bytes(blob, "blob")
    args = _as_bytes(args, "args")
    read_only, read_write, heap_pages, stack_size, code = _parse(blob)
    write_start = _check_layout(len(read_only), len(read_write), heap_pages, stack_size, len(args))
    try:
        program = CyProgram(code)
    except ValueError as e:
        raise ValueError(f"program: {e}") from None
    memory = CyMemory.from_pc(read_only, read_write, args, heap_pages, stack_size, heap=write_start)
    registers = [0] * REGISTER_COUNT
    registers[0] = HALT_ADDRESS
    registers[1] = STACK_END
    registers[7] = ARGS_START
    registers[8] = len(args)
    return Image(program, memory, registers)


def build(read_only: BytesLike, read_write: BytesLike, heap_pages: int, stack_size: int,
          program: Union[BytesLike, CyProgram]) -> bytes:
    """Makes a container; the inverse of `load`.

    `program` is a program blob (checked by parsing it) or a `CyProgram`.
    Every field is range-checked as `load` would: a value that does not fit
    its field or a layout that does not fit the address space is a
    ValueError naming the field.
    """
    read_only = _as_bytes(read_only, "read_only")
    read_write = _as_bytes(read_write, "read_write")
    if isinstance(program, CyProgram):
        code = program.encode()
    else:
        code = _as_bytes(program, "program")
    for name, value in (("heap_pages", heap_pages), ("stack_size", stack_size)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    sizes = {"read_only": len(read_only), "read_write": len(read_write), "heap_pages": heap_pages,
             "stack_size": stack_size, "program": len(code)}
    for name, value in sizes.items():
        if not 0 <= value <= _FIELD_MAX[name]:
            what = "length" if name in ("read_only", "read_write", "program") else "value"
            raise ValueError(f"{name}: {what} {value} does not fit its field (0 to {_FIELD_MAX[name]})")
    _check_layout(len(read_only), len(read_write), heap_pages, stack_size, 0)
    try:
        CyProgram(code)
    except ValueError as e:
        raise ValueError(f"program: {e}") from None
    return b"".join((
        len(read_only).to_bytes(3, "little"),
        len(read_write).to_bytes(3, "little"),
        heap_pages.to_bytes(2, "little"),
        stack_size.to_bytes(3, "little"),
        read_only,
        read_write,
        len(code).to_bytes(4, "little"),
        code,
    ))
