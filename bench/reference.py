"""A plain Python interpreter of the same machine, for comparison.

This is the interpreter a user would write in an afternoon: decode the blob,
keep the registers in a list of ints and the memory in a dict of pages with
two permission sets, and dispatch each instruction through a dict of
opcode -> function.  It follows the same rules as `qorvel_pvm`, so the two
can be run side by side and must agree:

- a basic block starts at 0 and after every instruction that ends one
  (trap, fall-through, the jumps, every branch and both dynamic jumps; an
  opcode no instruction has executes as a trap and ends a block too);
- before a block runs, its gas (1 per instruction) is charged in full; with
  too little gas left the run stops out of gas at the block's start;
- an exit (halt, panic, page fault) stops at the instruction that caused it
  and gives nothing back;
- a host call (`ecalli`) stops the run with status "host", the call's index
  and the pc of the next instruction, and gives back the gas of the block's
  instructions after it (a later run from that pc charges them again);
- a taken branch must land on a basic-block start, a dynamic jump goes
  through the jump table (address 2 is the first entry, 0xFFFF0000 halts),
  anything else panics; a position that starts no instruction runs as trap;
- a load or store checks every page it touches before it moves a byte; a
  write permission implies read; a refused access is a page fault, reported
  at the start of the first page of the access that lacks the permission.

    >>> from qorvel_pvm.asm import assemble
    >>> Interpreter(assemble("trap")).run().status
    'panic'
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, NamedTuple, Optional

MASK32 = 0xFFFFFFFF
MASK64 = (1 << 64) - 1
PAGE_SIZE = 4096
MAX_SKIP = 24
HALT_ADDRESS = 0xFFFF0000
REGISTER_COUNT = 13


# ----- exits ----------------------------------------------------------------------------


class Exit(Exception):
    """The guest stopped: `status` is "halt", "panic", "page-fault" (`address`
    the faulting page's start) or "host" (`address` the host-call index)."""

    def __init__(self, status: str, address: Optional[int] = None):
        super().__init__(status, address)
        self.status = status
        self.address = address


# ----- numbers --------------------------------------------------------------------------


def signed(value: int, bits: int) -> int:
    """The two's-complement reading of the low `bits` bits of `value`."""
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def sx32(value: int) -> int:
    """The low 32 bits of `value`, sign-extended to a 64-bit register value."""
    return signed(value, 32) & MASK64


def sx(value: int, nbytes: int) -> int:
    """An `nbytes`-byte little-endian immediate, sign-extended to 64 bits (0 bytes: 0)."""
    return signed(value, 8 * nbytes) & MASK64 if nbytes else 0


# ----- memory ---------------------------------------------------------------------------


def page_range(address: int, length: int) -> tuple[int, int]:
    """First page and page count of a byte range (length >= 1).  A range that
    runs past the top of the address space counts on into page numbers past
    the last page, which never have access."""
    first = address >> 12
    last = ((address + length - 1) & MASK32) >> 12
    return first, (last - first + 1) & MASK32


class Memory:
    """Guest memory: 4096-byte pages created on first write, a set of readable
    and a set of writable pages (writable pages are readable too)."""

    def __init__(self):
        self.pages: dict[int, bytearray] = {}
        self.readable: set[int] = set()
        self.writable: set[int] = set()
        self.heap_break = 0

    @classmethod
    def from_pc(cls, read: bytes, write: bytes, args: bytes, z: int, s: int, heap: int = 0) -> "Memory":
        """The standard layout: read-only data at 0x10000, read-write data two
        zones up plus `z` extra writable pages (the heap starts after them), a
        stack of `s` bytes below 0xFEFE0000 and the arguments at 0xFEFF0000."""

        def round_up(n, unit):
            return (n + unit - 1) // unit * unit

        def pages(address, size):
            return range(address >> 12, (address + size + PAGE_SIZE - 1) >> 12) if size else range(0)

        mem = cls()
        mem.heap_break = heap
        read_start = 0x10000
        mem.poke(read_start, read)
        mem.readable.update(pages(read_start, round_up(len(read), PAGE_SIZE)))
        write_start = 0x20000 + round_up(len(read), 0x10000)
        mem.poke(write_start, write)
        heap_pages = pages(write_start, round_up(len(write), PAGE_SIZE) + z * PAGE_SIZE)
        mem.writable.update(heap_pages)
        if heap_pages:
            mem.heap_break = (heap_pages[-1] + 1) * PAGE_SIZE
        stack_size = round_up(s, PAGE_SIZE)
        mem.writable.update(pages(0xFEFE0000 - stack_size, stack_size))
        arg_start = 0xFEFF0000
        mem.poke(arg_start, args)
        mem.readable.update(pages(arg_start, round_up(len(args), PAGE_SIZE)))
        return mem

    def poke(self, address: int, data: bytes) -> None:
        """Stores bytes without any permission check (to load a program image)."""
        for i, b in enumerate(data):
            a = (address + i) & MASK32
            self.pages.setdefault(a >> 12, bytearray(PAGE_SIZE))[a & 0xFFF] = b

    def check(self, address: int, length: int, write: bool) -> None:
        """Raises a page fault at `address` unless every page of the range allows the access."""
        first, count = page_range(address, length)
        for i in range(count):
            page = first + i
            if page in self.writable or (not write and page in self.readable):
                continue
            raise Exit("page-fault", (page << 12) & MASK32)

    def read(self, address: int, length: int) -> bytes:
        if length < 1:
            return b""
        address &= MASK32
        self.check(address, length, write=False)
        out = bytearray()
        while len(out) < length:
            offset = address & 0xFFF
            n = min(PAGE_SIZE - offset, length - len(out))
            page = self.pages.get(address >> 12)
            out += page[offset:offset + n] if page is not None else bytes(n)
            address = (address + n) & MASK32
        return bytes(out)

    def write(self, address: int, data: bytes) -> None:
        if not data:
            return
        address &= MASK32
        self.check(address, len(data), write=True)
        done = 0
        while done < len(data):
            offset = address & 0xFFF
            n = min(PAGE_SIZE - offset, len(data) - done)
            page = self.pages.setdefault(address >> 12, bytearray(PAGE_SIZE))
            page[offset:offset + n] = data[done:done + n]
            done += n
            address = (address + n) & MASK32

    def make_writable(self, address: int, length: int) -> None:
        """Grants write access to the pages of a byte range (the heap growth of `sbrk`)."""
        if length == 0:
            return
        first, count = page_range(address, length)
        for page in range(first, first + count):
            self.writable.add(page)
            self.readable.discard(page)


# ----- the program ----------------------------------------------------------------------


def read_natural(data: bytes, pos: int) -> tuple[int, int]:
    """A variable-length natural number at `pos`: (value, position after it)."""
    first = data[pos]
    n = 0  # leading one bits = number of bytes that follow
    while n < 8 and first & (0x80 >> n):
        n += 1
    if n == 0:
        return first, pos + 1
    if len(data) < pos + 1 + n:
        raise ValueError("program blob is truncated")
    rest = int.from_bytes(data[pos + 1:pos + 1 + n], "little")
    if n == 8:
        return rest, pos + 9
    return ((first & ((1 << (7 - n)) - 1)) << (8 * n)) | rest, pos + 1 + n


# Opcodes that continue a basic block: host calls, immediate loads, loads,
# stores and arithmetic.  Every other opcode ends one (an unknown opcode
# traps, so it ends one too).
CONTINUES_BLOCK = frozenset(
    [10, 20, 30, 31, 32, 33, *range(51, 63), 70, 71, 72, 73, *range(100, 112),
     *range(120, 162), *range(190, 231)]
)


def ends_block(opcode: int) -> bool:
    """Whether an instruction ends a basic block."""
    return opcode not in CONTINUES_BLOCK


class Program:
    """A decoded program blob: jump table, code bytes, which positions start an
    instruction, the skip length of every position and the basic-block starts."""

    def __init__(self, blob: bytes):
        blob = bytes(blob)
        count, pos = read_natural(blob, 0)
        width = blob[pos]
        code_len, pos = read_natural(blob, pos + 1)
        self.jump_table = [int.from_bytes(blob[pos + i * width:pos + (i + 1) * width], "little")
                           for i in range(count)]
        pos += count * width
        self.code = blob[pos:pos + code_len]
        mask = blob[pos + code_len:pos + code_len + (code_len + 7) // 8]
        if len(self.code) != code_len or len(mask) != (code_len + 7) // 8:
            raise ValueError("program blob is truncated")
        self.is_start = [bool(mask[p >> 3] >> (p & 7) & 1) for p in range(code_len)]
        self.block_starts = {0}
        for p in range(code_len):
            if self.is_start[p] and ends_block(self.code[p]):
                self.block_starts.add(p + 1 + self.skip(p))

    def skip(self, pc: int) -> int:
        """Bytes after the opcode at `pc` up to the next instruction start (at most 24)."""
        for n in range(MAX_SKIP):
            p = pc + 1 + n
            if p >= len(self.code) or self.is_start[p]:
                return n
        return MAX_SKIP

    def byte(self, pos: int) -> int:
        """A code byte; bytes past the end of the code read as 0."""
        return self.code[pos] if pos < len(self.code) else 0

    def le(self, pos: int, n: int) -> int:
        """`n` little-endian code bytes from `pos`."""
        return sum(self.byte(pos + i) << (8 * i) for i in range(n))


# ----- decoding -------------------------------------------------------------------------


class Instruction(NamedTuple):
    pc: int
    next_pc: int
    opcode: int
    fn: Callable
    vx: int = 0  # first immediate or target
    vy: int = 0  # second immediate or target
    ra: int = 0
    rb: int = 0
    rd: int = 0


def decode_none(prog: Program, pc: int, skip: int) -> dict:
    return {}


def decode_offset(prog: Program, pc: int, skip: int) -> dict:
    n = min(4, skip)
    return {"vx": (pc + signed(prog.le(pc + 1, n), 8 * n) if n else pc) & MASK64}


def decode_reg_imm_offset(prog: Program, pc: int, skip: int) -> dict:
    b = prog.byte(pc + 1)
    nx = min(4, (b >> 4) & 7)
    ny = min(4, max(0, skip - nx - 1))
    offset = signed(prog.le(pc + 2 + nx, ny), 8 * ny) if ny else 0
    return {"ra": min(12, b & 15), "vx": sx(prog.le(pc + 2, nx), nx), "vy": (pc + offset) & MASK64}


def decode_two_reg(prog: Program, pc: int, skip: int) -> dict:
    b = prog.byte(pc + 1)
    return {"rd": min(12, b & 15), "ra": min(12, b >> 4)}


def decode_two_reg_imm(prog: Program, pc: int, skip: int) -> dict:
    b = prog.byte(pc + 1)
    n = min(4, max(0, skip - 1))
    return {"ra": min(12, b & 15), "rb": min(12, b >> 4), "vx": sx(prog.le(pc + 2, n), n)}


def decode_two_reg_two_imm(prog: Program, pc: int, skip: int) -> dict:
    b = prog.byte(pc + 1)
    nx = min(4, prog.byte(pc + 2) & 7)
    ny = min(4, max(0, skip - nx - 2))
    return {"ra": min(12, b & 15), "rb": min(12, b >> 4),
            "vx": sx(prog.le(pc + 3, nx), nx), "vy": sx(prog.le(pc + 3 + nx, ny), ny)}


def decode_one_imm(prog: Program, pc: int, skip: int) -> dict:
    n = min(4, skip)
    return {"vx": sx(prog.le(pc + 1, n), n)}


def decode_reg_imm64(prog: Program, pc: int, skip: int) -> dict:
    return {"ra": min(12, prog.byte(pc + 1) & 15), "vx": prog.le(pc + 2, 8)}


def decode_two_imm(prog: Program, pc: int, skip: int) -> dict:
    nx = min(4, prog.byte(pc + 1) & 7)
    ny = min(4, max(0, skip - nx - 1))
    return {"vx": sx(prog.le(pc + 2, nx), nx), "vy": sx(prog.le(pc + 2 + nx, ny), ny)}


def decode_reg_imm(prog: Program, pc: int, skip: int) -> dict:
    n = min(4, max(0, skip - 1))
    return {"ra": min(12, prog.byte(pc + 1) & 15), "vx": sx(prog.le(pc + 2, n), n)}


def decode_reg_two_imm(prog: Program, pc: int, skip: int) -> dict:
    b = prog.byte(pc + 1)
    nx = min(4, (b >> 4) & 7)
    ny = min(4, max(0, skip - nx - 1))
    return {"ra": min(12, b & 15), "vx": sx(prog.le(pc + 2, nx), nx),
            "vy": sx(prog.le(pc + 2 + nx, ny), ny)}


def decode_two_reg_offset(prog: Program, pc: int, skip: int) -> dict:
    b = prog.byte(pc + 1)
    n = min(4, max(0, skip - 1))
    offset = signed(prog.le(pc + 2, n), 8 * n) if n else 0
    return {"ra": min(12, b & 15), "rb": min(12, b >> 4), "vx": (pc + offset) & MASK32}


def decode_three_reg(prog: Program, pc: int, skip: int) -> dict:
    b = prog.byte(pc + 1)
    return {"ra": min(12, b & 15), "rb": min(12, b >> 4), "rd": min(12, prog.byte(pc + 2))}


# ----- the machine ----------------------------------------------------------------------


class Machine:
    """What an instruction sees: the program, the registers and the memory."""

    def __init__(self, program: Program, regs: list[int], mem: Memory):
        self.program = program
        self.regs = regs
        self.mem = mem

    def branch(self, target: int, condition: bool) -> Optional[int]:
        """None (continue with the next instruction) if not taken; otherwise the
        target, which must start a basic block."""
        if not condition:
            return None
        target &= MASK32
        if target not in self.program.block_starts:
            raise Exit("panic")
        return target

    def djump(self, address: int) -> int:
        """A jump through the jump table: entry k has the address 2 * (k + 1)."""
        if address == HALT_ADDRESS:
            raise Exit("halt")
        table = self.program.jump_table
        if address == 0 or address % 2 or address > 2 * len(table):
            raise Exit("panic")
        target = table[address // 2 - 1]
        if target not in self.program.block_starts:
            raise Exit("panic")
        return target


# ----- instructions ---------------------------------------------------------------------
#
# Each takes the machine and the decoded instruction and returns the pc to
# continue at, or None for the next instruction.


def trap(m, i):
    raise Exit("panic")


def fallthrough(m, i):
    return None


def jump(m, i):
    return m.branch(i.vx, True)


def load_imm_jump(m, i):
    m.regs[i.ra] = i.vx
    return m.branch(i.vy, True)


def compare_branch(test):
    def handler(m, i):
        return m.branch(i.vy, test(m.regs[i.ra], i.vx))
    return handler


def s64(v):
    return signed(v, 64)


BRANCHES = {
    81: ("branch_eq_imm", lambda a, b: a == b),
    82: ("branch_ne_imm", lambda a, b: a != b),
    83: ("branch_lt_u_imm", lambda a, b: a < b),
    84: ("branch_le_u_imm", lambda a, b: a <= b),
    85: ("branch_ge_u_imm", lambda a, b: a >= b),
    86: ("branch_gt_u_imm", lambda a, b: a > b),
    87: ("branch_lt_s_imm", lambda a, b: s64(a) < s64(b)),
    88: ("branch_le_s_imm", lambda a, b: s64(a) <= s64(b)),
    89: ("branch_ge_s_imm", lambda a, b: s64(a) >= s64(b)),
    90: ("branch_gt_s_imm", lambda a, b: s64(a) > s64(b)),
}


# Two registers: rd = f(ra).

def sbrk(m, i):
    size = m.regs[i.ra] & MASK32
    if size and m.mem.heap_break + size > MASK32:  # would wrap: refused, 0
        m.regs[i.rd] = 0
        return None
    m.mem.make_writable(m.mem.heap_break, size)
    m.regs[i.rd] = sx32(m.mem.heap_break)
    m.mem.heap_break = (m.mem.heap_break + size) & MASK32


def trailing_zeros(v, bits):
    return bits if v == 0 else (v & -v).bit_length() - 1


UNARY = {
    100: ("move_reg", lambda a: a),
    102: ("count_set_bits_64", lambda a: a.bit_count()),
    103: ("count_set_bits_32", lambda a: (a & MASK32).bit_count()),
    104: ("leading_zero_bits_64", lambda a: 64 - a.bit_length()),
    105: ("leading_zero_bits_32", lambda a: 32 - (a & MASK32).bit_length()),
    106: ("trailing_zero_bits_64", lambda a: trailing_zeros(a, 64)),
    107: ("trailing_zero_bits_32", lambda a: trailing_zeros(a & MASK32, 32)),
    108: ("sign_extend_8", lambda a: signed(a, 8) & MASK64),
    109: ("sign_extend_16", lambda a: signed(a, 16) & MASK64),
    110: ("zero_extend_16", lambda a: a & 0xFFFF),
    111: ("reverse_bytes", lambda a: int.from_bytes(a.to_bytes(8, "little"), "big")),
}


def unary(f):
    def handler(m, i):
        m.regs[i.rd] = f(m.regs[i.ra])
    return handler


# Two registers and an immediate: loads and stores at (rb + imm) mod 2**32.

def store(nbytes):
    def handler(m, i):
        value = m.regs[i.ra] & ((1 << (8 * nbytes)) - 1)
        m.mem.write((m.regs[i.rb] + i.vx) & MASK32, value.to_bytes(nbytes, "little"))
    return handler


def load(nbytes, is_signed):
    def handler(m, i):
        value = int.from_bytes(m.mem.read((m.regs[i.rb] + i.vx) & MASK32, nbytes), "little")
        m.regs[i.ra] = signed(value, 8 * nbytes) & MASK64 if is_signed else value
    return handler


MEMORY_OPS = {
    120: ("store_ind_u8", store(1)),
    121: ("store_ind_u16", store(2)),
    122: ("store_ind_u32", store(4)),
    123: ("store_ind_u64", store(8)),
    124: ("load_ind_u8", load(1, False)),
    125: ("load_ind_i8", load(1, True)),
    126: ("load_ind_u16", load(2, False)),
    127: ("load_ind_i16", load(2, True)),
    128: ("load_ind_u32", load(4, False)),
    129: ("load_ind_i32", load(4, True)),
    130: ("load_ind_u64", load(8, False)),
}


def rot_r(v, n, bits):
    mask = (1 << bits) - 1
    v &= mask
    n %= bits
    return ((v >> n) | (v << (bits - n))) & mask


# ra = f(rb, imm); None leaves ra as it was (the conditional moves).
ARITHMETIC = {
    131: ("add_imm_32", lambda b, x: sx32(b + x)),
    132: ("and_imm", lambda b, x: b & x),
    133: ("xor_imm", lambda b, x: b ^ x),
    134: ("or_imm", lambda b, x: b | x),
    135: ("mul_imm_32", lambda b, x: sx32((b & MASK32) * (x & MASK32))),
    136: ("set_lt_u_imm", lambda b, x: int(b < x)),
    137: ("set_lt_s_imm", lambda b, x: int(s64(b) < s64(x))),
    138: ("shlo_l_imm_32", lambda b, x: sx32((b & MASK32) << (x % 32))),
    139: ("shlo_r_imm_32", lambda b, x: sx32((b & MASK32) >> (x % 32))),
    140: ("shar_r_imm_32", lambda b, x: (signed(b, 32) >> (x % 32)) & MASK64),
    141: ("neg_add_imm_32", lambda b, x: sx32(x - b)),
    142: ("set_gt_u_imm", lambda b, x: int(b > x)),
    143: ("set_gt_s_imm", lambda b, x: int(s64(b) > s64(x))),
    144: ("shlo_l_imm_alt_32", lambda b, x: sx32((x & MASK32) << (b % 32))),
    145: ("shlo_r_imm_alt_32", lambda b, x: sx32((x & MASK32) >> (b % 32))),
    146: ("shar_r_imm_alt_32", lambda b, x: (signed(x, 32) >> (b % 32)) & MASK64),
    147: ("cmov_iz_imm", lambda b, x: x if b == 0 else None),
    148: ("cmov_nz_imm", lambda b, x: x if b != 0 else None),
    149: ("add_imm_64", lambda b, x: (b + x) & MASK64),
    150: ("mul_imm_64", lambda b, x: (b * x) & MASK64),
    151: ("shlo_l_imm_64", lambda b, x: (b << (x % 64)) & MASK64),
    152: ("shlo_r_imm_64", lambda b, x: b >> (x % 64)),
    153: ("shar_r_imm_64", lambda b, x: (s64(b) >> (x % 64)) & MASK64),
    154: ("neg_add_imm_64", lambda b, x: (x - b) & MASK64),
    155: ("shlo_l_imm_alt_64", lambda b, x: (x << (b % 64)) & MASK64),
    156: ("shlo_r_imm_alt_64", lambda b, x: x >> (b % 64)),
    157: ("shar_r_imm_alt_64", lambda b, x: (s64(x) >> (b % 64)) & MASK64),
    158: ("rot_r_64_imm", lambda b, x: rot_r(b, x, 64)),
    159: ("rot_r_64_imm_alt", lambda b, x: rot_r(x, b, 64)),
    160: ("rot_r_32_imm", lambda b, x: sx32(rot_r(b, x, 32))),
    161: ("rot_r_32_imm_alt", lambda b, x: sx32(rot_r(x, b, 32))),
}


def arithmetic(f):
    def handler(m, i):
        value = f(m.regs[i.rb], i.vx)
        if value is not None:
            m.regs[i.ra] = value
    return handler


def load_imm_jump_ind(m, i):
    base = m.regs[i.rb]  # read before ra is written: ra may be rb
    m.regs[i.ra] = i.vx
    return m.djump((base + i.vy) & MASK32)


# Host calls, immediate loads and absolute memory access.

def ecalli(m, i):
    raise Exit("host", i.vx & MASK32)


def load_immediate(m, i):
    m.regs[i.ra] = i.vx


def jump_ind(m, i):
    return m.djump((m.regs[i.ra] + i.vx) & MASK32)


def store_imm(nbytes):
    def handler(m, i):
        value = i.vy & ((1 << (8 * nbytes)) - 1)
        m.mem.write(i.vx & MASK32, value.to_bytes(nbytes, "little"))
    return handler


def store_imm_ind(nbytes):
    def handler(m, i):
        value = i.vy & ((1 << (8 * nbytes)) - 1)
        m.mem.write((m.regs[i.ra] + i.vx) & MASK32, value.to_bytes(nbytes, "little"))
    return handler


def load_abs(nbytes, is_signed):
    def handler(m, i):
        value = int.from_bytes(m.mem.read(i.vx & MASK32, nbytes), "little")
        m.regs[i.ra] = signed(value, 8 * nbytes) & MASK64 if is_signed else value
    return handler


def store_abs(nbytes):
    def handler(m, i):
        value = m.regs[i.ra] & ((1 << (8 * nbytes)) - 1)
        m.mem.write(i.vx & MASK32, value.to_bytes(nbytes, "little"))
    return handler


ABSOLUTE = {
    30: ("store_imm_u8", store_imm(1), decode_two_imm),
    31: ("store_imm_u16", store_imm(2), decode_two_imm),
    32: ("store_imm_u32", store_imm(4), decode_two_imm),
    33: ("store_imm_u64", store_imm(8), decode_two_imm),
    50: ("jump_ind", jump_ind, decode_reg_imm),
    51: ("load_imm", load_immediate, decode_reg_imm),
    52: ("load_u8", load_abs(1, False), decode_reg_imm),
    53: ("load_i8", load_abs(1, True), decode_reg_imm),
    54: ("load_u16", load_abs(2, False), decode_reg_imm),
    55: ("load_i16", load_abs(2, True), decode_reg_imm),
    56: ("load_u32", load_abs(4, False), decode_reg_imm),
    57: ("load_i32", load_abs(4, True), decode_reg_imm),
    58: ("load_u64", load_abs(8, False), decode_reg_imm),
    59: ("store_u8", store_abs(1), decode_reg_imm),
    60: ("store_u16", store_abs(2), decode_reg_imm),
    61: ("store_u32", store_abs(4), decode_reg_imm),
    62: ("store_u64", store_abs(8), decode_reg_imm),
    70: ("store_imm_ind_u8", store_imm_ind(1), decode_reg_two_imm),
    71: ("store_imm_ind_u16", store_imm_ind(2), decode_reg_two_imm),
    72: ("store_imm_ind_u32", store_imm_ind(4), decode_reg_two_imm),
    73: ("store_imm_ind_u64", store_imm_ind(8), decode_reg_two_imm),
}


# Two registers and an offset: branch to vx if test(R[ra], R[rb]).
REG_BRANCHES = {
    170: ("branch_eq", lambda a, b: a == b),
    171: ("branch_ne", lambda a, b: a != b),
    172: ("branch_lt_u", lambda a, b: a < b),
    173: ("branch_lt_s", lambda a, b: s64(a) < s64(b)),
    174: ("branch_ge_u", lambda a, b: a >= b),
    175: ("branch_ge_s", lambda a, b: s64(a) >= s64(b)),
}


def reg_branch(test):
    def handler(m, i):
        return m.branch(i.vx, test(m.regs[i.ra], m.regs[i.rb]))
    return handler


def div_trunc(x, y):
    """x / y rounded toward zero."""
    q = abs(x) // abs(y)
    return q if (x < 0) == (y < 0) else -q


def rem_trunc(x, y):
    """The remainder with the sign of x."""
    return x - y * div_trunc(x, y)


def rot_l(v, n, bits):
    return rot_r(v, bits - n % bits, bits)


def div_s_32(a, b):
    sa, sb = signed(a, 32), signed(b, 32)
    if sb == 0:
        return MASK64
    if sa == -(1 << 31) and sb == -1:
        return sa & MASK64
    return div_trunc(sa, sb) & MASK64


def rem_s_32(a, b):
    sa, sb = signed(a, 32), signed(b, 32)
    if sb == 0:
        return sa & MASK64
    if sa == -(1 << 31) and sb == -1:
        return 0
    return rem_trunc(sa, sb) & MASK64


def div_s_64(a, b):
    if b == 0:
        return MASK64
    if s64(a) == -(1 << 63) and s64(b) == -1:
        return a
    return div_trunc(s64(a), s64(b)) & MASK64


def rem_s_64(a, b):
    if b == 0:
        return a
    if s64(a) == -(1 << 63) and s64(b) == -1:
        return 0
    return rem_trunc(s64(a), s64(b)) & MASK64


# Three registers: rd = f(A, B); None leaves rd as it was (the conditional moves).
THREE_REG = {
    190: ("add_32", lambda a, b: sx32(a + b)),
    191: ("sub_32", lambda a, b: sx32(a - b)),
    192: ("mul_32", lambda a, b: sx32(a * b)),
    193: ("div_u_32", lambda a, b: MASK64 if b & MASK32 == 0 else sx32((a & MASK32) // (b & MASK32))),
    194: ("div_s_32", div_s_32),
    195: ("rem_u_32", lambda a, b: sx32(a if b & MASK32 == 0 else (a & MASK32) % (b & MASK32))),
    196: ("rem_s_32", rem_s_32),
    197: ("shlo_l_32", lambda a, b: sx32((a & MASK32) << (b % 32))),
    198: ("shlo_r_32", lambda a, b: sx32((a & MASK32) >> (b % 32))),
    199: ("shar_r_32", lambda a, b: (signed(a, 32) >> (b % 32)) & MASK64),
    200: ("add_64", lambda a, b: (a + b) & MASK64),
    201: ("sub_64", lambda a, b: (a - b) & MASK64),
    202: ("mul_64", lambda a, b: (a * b) & MASK64),
    203: ("div_u_64", lambda a, b: MASK64 if b == 0 else a // b),
    204: ("div_s_64", div_s_64),
    205: ("rem_u_64", lambda a, b: a if b == 0 else a % b),
    206: ("rem_s_64", rem_s_64),
    207: ("shlo_l_64", lambda a, b: (a << (b % 64)) & MASK64),
    208: ("shlo_r_64", lambda a, b: a >> (b % 64)),
    209: ("shar_r_64", lambda a, b: (s64(a) >> (b % 64)) & MASK64),
    210: ("and", lambda a, b: a & b),
    211: ("xor", lambda a, b: a ^ b),
    212: ("or", lambda a, b: a | b),
    213: ("mul_upper_s_s", lambda a, b: ((s64(a) * s64(b)) >> 64) & MASK64),
    214: ("mul_upper_u_u", lambda a, b: (a * b) >> 64),
    215: ("mul_upper_s_u", lambda a, b: ((s64(a) * b) >> 64) & MASK64),
    216: ("set_lt_u", lambda a, b: int(a < b)),
    217: ("set_lt_s", lambda a, b: int(s64(a) < s64(b))),
    218: ("cmov_iz", lambda a, b: a if b == 0 else None),
    219: ("cmov_nz", lambda a, b: a if b != 0 else None),
    220: ("rot_l_64", lambda a, b: rot_l(a, b, 64)),
    221: ("rot_l_32", lambda a, b: sx32(rot_l(a, b, 32))),
    222: ("rot_r_64", lambda a, b: rot_r(a, b, 64)),
    223: ("rot_r_32", lambda a, b: sx32(rot_r(a, b, 32))),
    224: ("and_inv", lambda a, b: a & ~b & MASK64),
    225: ("or_inv", lambda a, b: (a | ~b) & MASK64),
    226: ("xnor", lambda a, b: ~(a ^ b) & MASK64),
    227: ("max", lambda a, b: max(s64(a), s64(b)) & MASK64),
    228: ("max_u", lambda a, b: max(a, b)),
    229: ("min", lambda a, b: min(s64(a), s64(b)) & MASK64),
    230: ("min_u", lambda a, b: min(a, b)),
}


def three_reg(f):
    def handler(m, i):
        value = f(m.regs[i.ra], m.regs[i.rb])
        if value is not None:
            m.regs[i.rd] = value
    return handler


# opcode -> (name, handler, operand decoder)
OPCODES: dict[int, tuple[str, Callable, Callable]] = {
    0: ("trap", trap, decode_none),
    1: ("fallthrough", fallthrough, decode_none),
    40: ("jump", jump, decode_offset),
    80: ("load_imm_jump", load_imm_jump, decode_reg_imm_offset),
    180: ("load_imm_jump_ind", load_imm_jump_ind, decode_two_reg_two_imm),
    101: ("sbrk", sbrk, decode_two_reg),
}
OPCODES.update({op: (name, compare_branch(f), decode_reg_imm_offset) for op, (name, f) in BRANCHES.items()})
OPCODES.update({op: (name, unary(f), decode_two_reg) for op, (name, f) in UNARY.items()})
OPCODES.update({op: (name, f, decode_two_reg_imm) for op, (name, f) in MEMORY_OPS.items()})
OPCODES.update({op: (name, arithmetic(f), decode_two_reg_imm) for op, (name, f) in ARITHMETIC.items()})
OPCODES[10] = ("ecalli", ecalli, decode_one_imm)
OPCODES[20] = ("load_imm_64", load_immediate, decode_reg_imm64)
OPCODES.update(ABSOLUTE)
OPCODES.update({op: (name, reg_branch(f), decode_two_reg_offset) for op, (name, f) in REG_BRANCHES.items()})
OPCODES.update({op: (name, three_reg(f), decode_three_reg) for op, (name, f) in THREE_REG.items()})


# ----- running --------------------------------------------------------------------------


@dataclass
class Result:
    status: str  # "halt", "panic", "page-fault", "host" or "out-of-gas"
    pc: int
    gas: int
    registers: list[int]
    fault_address: Optional[int]
    memory: Memory
    host_call: Optional[int] = None  # the index of a host call (status "host")


class Interpreter:
    """Runs one program; decoded blocks are kept for later runs."""

    def __init__(self, blob: bytes):
        self.program = Program(blob)
        self.blocks: dict[int, list[Instruction]] = {}

    def decode(self, pc: int) -> Instruction:
        prog = self.program
        if pc >= len(prog.code) or not prog.is_start[pc] or prog.code[pc] not in OPCODES:
            return Instruction(pc, pc + 1, 0, trap)  # runs as trap
        opcode = prog.code[pc]
        skip = prog.skip(pc)
        _, fn, decode = OPCODES[opcode]
        return Instruction(pc, pc + 1 + skip, opcode, fn, **decode(prog, pc, skip))

    def block(self, pc: int) -> list[Instruction]:
        """The instructions from `pc` up to and including the first that ends a block."""
        block = self.blocks.get(pc)
        if block is None:
            block = self.blocks[pc] = []
            while True:
                ins = self.decode(pc)
                block.append(ins)
                if ends_block(ins.opcode):
                    break
                pc = ins.next_pc
        return block

    def run(self, *, registers=None, memory: Optional[Memory] = None, pc: int = 0, gas: int = 10_000) -> Result:
        regs = list(registers) if registers is not None else [0] * REGISTER_COUNT
        if len(regs) != REGISTER_COUNT:
            raise ValueError(f"registers must hold exactly {REGISTER_COUNT} values")
        mem = memory if memory is not None else Memory()
        machine = Machine(self.program, regs, mem)
        while True:
            block = self.block(pc)
            if gas < len(block):
                return Result("out-of-gas", pc, gas, regs, None, mem)
            gas -= len(block)
            for started, ins in enumerate(block, 1):
                try:
                    target = ins.fn(machine, ins)
                except Exit as e:
                    if e.status == "host":  # resumes after the call; its rest is charged again then
                        return Result("host", ins.next_pc, gas + len(block) - started, regs, None, mem, e.address)
                    return Result(e.status, ins.pc, gas, regs, e.address, mem)
            pc = ins.next_pc if target is None else target
