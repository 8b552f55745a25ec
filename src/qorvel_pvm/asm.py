"""Assembler and disassembler for PVM program blobs.

Text to blob (`assemble`) and blob to text (`disassemble`) for every
instruction of this package's groups, plus the blob codec the rest of the
package reuses (`encode_natural`, `decode_natural`, `build_blob`,
`decode_blob`) and a per-instruction view for traces (`disassemble_at`,
`decode_operands`).  The syntax is described in docs/ASSEMBLY.md.

The decoding here mirrors the interpreter's operand decoders byte for byte:
skip lengths come from the bitmask (at most 24, bits past the end of the code
count as set), immediates are sign-extended from their byte length, offsets
are signed and relative to the instruction's own pc (the register-register
branches take their target modulo 2**32), immediate lengths are clamped to 4,
register numbers above 12 read as 12, `load_imm_64` always reads 8 bytes,
and code bytes at or past the end of the code read as zero.
"""

from __future__ import annotations

import bisect
import difflib
import re
from dataclasses import dataclass
from collections.abc import Callable, Iterable, Sequence
from typing import NamedTuple, Union

_LINE_BREAK = re.compile(r"\r\n|\r|\n")

__all__ = [
    "AsmError",
    "Blob",
    "INSTRUCTIONS",
    "OPCODES",
    "InstructionInfo",
    "assemble",
    "build_blob",
    "decode_blob",
    "decode_natural",
    "decode_operands",
    "disassemble",
    "disassemble_at",
    "encode_natural",
    "skip_at",
]

MASK64 = (1 << 64) - 1

#: A decoded operand record: (vx, vy, ra, rb, rd).
Record = tuple[int, int, int, int, int]
MAX_SKIP = 24

# Operand formats, one per instruction group.
NO_ARGS = "no_args"                  # opcode
OFFSET = "offset"                    # opcode, offset
REG_IMM_OFFSET = "reg_imm_offset"    # opcode, reg | lx << 4, imm, offset
TWO_REG = "two_reg"                  # opcode, rd | ra << 4
TWO_REG_IMM = "two_reg_imm"          # opcode, ra | rb << 4, imm
TWO_REG_TWO_IMM = "two_reg_two_imm"  # opcode, ra | rb << 4, lx, imm x, imm y
ONE_IMM = "one_imm"                  # opcode, imm
REG_IMM64 = "reg_imm64"              # opcode, ra, 8-byte imm
TWO_IMM = "two_imm"                  # opcode, lx, imm x, imm y
REG_IMM = "reg_imm"                  # opcode, ra, imm
REG_TWO_IMM = "reg_two_imm"          # opcode, ra | lx << 4, imm x, imm y
TWO_REG_OFFSET = "two_reg_offset"    # opcode, ra | rb << 4, offset
THREE_REG = "three_reg"              # opcode, ra | rb << 4, rd

# Operand names in the order the text writes them.
_SIGNATURES = {
    NO_ARGS: (),
    OFFSET: ("target",),
    REG_IMM_OFFSET: ("ra", "imm", "target"),
    TWO_REG: ("rd", "ra"),
    TWO_REG_IMM: ("ra", "rb", "imm"),
    TWO_REG_TWO_IMM: ("ra", "rb", "imm_x", "imm_y"),
    ONE_IMM: ("index",),
    REG_IMM64: ("ra", "imm64"),
    TWO_IMM: ("addr", "imm"),
    REG_IMM: ("ra", "imm"),  # ("ra", "addr") for the absolute loads and stores
    REG_TWO_IMM: ("ra", "imm_x", "imm_y"),
    TWO_REG_OFFSET: ("ra", "rb", "target"),
    THREE_REG: ("rd", "ra", "rb"),
}

# Forms whose target is taken modulo 2**32 (any offset reaches any address).
_WRAPPING_TARGET = frozenset((TWO_REG_OFFSET,))


class InstructionInfo(NamedTuple):
    """One mnemonic: its name, opcode and operand format."""

    name: str
    opcode: int
    form: str

    @property
    def operands(self) -> tuple[str, ...]:
        """Operand names in text order."""
        if self.form == REG_IMM and 52 <= self.opcode <= 62:
            return ("ra", "addr")
        return _SIGNATURES[self.form]

    @property
    def has_target(self) -> bool:
        return self.form in (OFFSET, REG_IMM_OFFSET, TWO_REG_OFFSET)


def _group(form: str, first: int, names: str) -> list[InstructionInfo]:
    return [InstructionInfo(n, first + i, form) for i, n in enumerate(names.split())]


_ALL = (
    _group(NO_ARGS, 0, "trap fallthrough")
    + _group(OFFSET, 40, "jump")
    + _group(
        REG_IMM_OFFSET,
        80,
        "load_imm_jump branch_eq_imm branch_ne_imm branch_lt_u_imm branch_le_u_imm"
        " branch_ge_u_imm branch_gt_u_imm branch_lt_s_imm branch_le_s_imm"
        " branch_ge_s_imm branch_gt_s_imm",
    )
    + _group(
        TWO_REG,
        100,
        "move_reg sbrk count_set_bits_64 count_set_bits_32 leading_zero_bits_64"
        " leading_zero_bits_32 trailing_zero_bits_64 trailing_zero_bits_32"
        " sign_extend_8 sign_extend_16 zero_extend_16 reverse_bytes",
    )
    + _group(
        TWO_REG_IMM,
        120,
        "store_ind_u8 store_ind_u16 store_ind_u32 store_ind_u64 load_ind_u8"
        " load_ind_i8 load_ind_u16 load_ind_i16 load_ind_u32 load_ind_i32"
        " load_ind_u64 add_imm_32 and_imm xor_imm or_imm mul_imm_32 set_lt_u_imm"
        " set_lt_s_imm shlo_l_imm_32 shlo_r_imm_32 shar_r_imm_32 neg_add_imm_32"
        " set_gt_u_imm set_gt_s_imm shlo_l_imm_alt_32 shlo_r_imm_alt_32"
        " shar_r_imm_alt_32 cmov_iz_imm cmov_nz_imm add_imm_64 mul_imm_64"
        " shlo_l_imm_64 shlo_r_imm_64 shar_r_imm_64 neg_add_imm_64"
        " shlo_l_imm_alt_64 shlo_r_imm_alt_64 shar_r_imm_alt_64 rot_r_64_imm"
        " rot_r_64_imm_alt rot_r_32_imm rot_r_32_imm_alt",
    )
    + _group(TWO_REG_TWO_IMM, 180, "load_imm_jump_ind")
    + _group(ONE_IMM, 10, "ecalli")
    + _group(REG_IMM64, 20, "load_imm_64")
    + _group(TWO_IMM, 30, "store_imm_u8 store_imm_u16 store_imm_u32 store_imm_u64")
    + _group(
        REG_IMM,
        50,
        "jump_ind load_imm load_u8 load_i8 load_u16 load_i16 load_u32 load_i32 load_u64"
        " store_u8 store_u16 store_u32 store_u64",
    )
    + _group(
        REG_TWO_IMM,
        70,
        "store_imm_ind_u8 store_imm_ind_u16 store_imm_ind_u32 store_imm_ind_u64",
    )
    + _group(
        TWO_REG_OFFSET,
        170,
        "branch_eq branch_ne branch_lt_u branch_lt_s branch_ge_u branch_ge_s",
    )
    + _group(
        THREE_REG,
        190,
        "add_32 sub_32 mul_32 div_u_32 div_s_32 rem_u_32 rem_s_32 shlo_l_32 shlo_r_32"
        " shar_r_32 add_64 sub_64 mul_64 div_u_64 div_s_64 rem_u_64 rem_s_64 shlo_l_64"
        " shlo_r_64 shar_r_64 and xor or mul_upper_s_s mul_upper_u_u mul_upper_s_u"
        " set_lt_u set_lt_s cmov_iz cmov_nz rot_l_64 rot_l_32 rot_r_64 rot_r_32"
        " and_inv or_inv xnor max max_u min min_u",
    )
)

#: Mnemonic -> InstructionInfo, for every instruction the package's groups define.
INSTRUCTIONS: dict[str, InstructionInfo] = {i.name: i for i in _ALL}
#: Opcode -> InstructionInfo.
OPCODES: dict[int, InstructionInfo] = {i.opcode: i for i in _ALL}
assert len(INSTRUCTIONS) == len(OPCODES) == len(_ALL)


class AsmError(ValueError):
    """An assembly error; `line` is the 1-based source line (None if unknown)."""

    def __init__(self, message: str, line: int | None = None):
        self.message = message
        self.line = line
        super().__init__(message if line is None else f"line {line}: {message}")

    def __reduce__(self) -> tuple[type[AsmError], tuple[str, int | None]]:
        return (type(self), (self.message, self.line))


# ---------------------------------------------------------------------------
# Blob codec


def encode_natural(x: int) -> bytes:
    """The variable-length encoding E(x) of a natural number x < 2**64."""
    if not isinstance(x, int) or isinstance(x, bool):
        raise TypeError(f"encode_natural() needs an int, got {type(x).__name__}")
    if x < 0 or x > MASK64:
        raise ValueError(f"natural number out of range (0 to 2**64-1): {x}")
    if x < 128:
        return bytes((x,))
    for l in range(1, 8):
        if x < 1 << (7 * (l + 1)):
            head = 256 - (1 << (8 - l)) + (x >> (8 * l))
            return bytes((head,)) + (x & ((1 << (8 * l)) - 1)).to_bytes(l, "little")
    return b"\xff" + x.to_bytes(8, "little")


def decode_natural(data: Iterable[int], pos: int = 0) -> tuple[int, int]:
    """Read E(x) from `data` at `pos`; returns (x, position after it).

    Raises ValueError if the encoding runs past the end of `data`.
    """
    if not isinstance(data, (bytes, bytearray)):
        data = bytes(data)
    if not 0 <= pos < len(data):
        raise ValueError(f"truncated natural number at offset {pos}")
    head = data[pos]
    if head < 128:
        return head, pos + 1
    l = 8 - ((~head) & 0xFF).bit_length()  # number of leading one bits
    if pos + 1 + l > len(data):
        raise ValueError(f"truncated natural number at offset {pos}: needs {l} more bytes")
    low = int.from_bytes(data[pos + 1 : pos + 1 + l], "little")
    if l == 8:
        return low, pos + 9
    return ((head & ((1 << (7 - l)) - 1)) << (8 * l)) | low, pos + 1 + l


def _min_width(values: Iterable[int]) -> int:
    """Smallest jump-table entry width (1..4) that holds every value."""
    return max((max(1, (v.bit_length() + 7) // 8) for v in values), default=0)


def build_blob(
    code: Iterable[int],
    starts: Iterable[int],
    jump_table: Iterable[int] = (),
    z: int | None = None,
) -> bytes:
    """A program blob from code bytes, instruction-start positions and a jump table.

    `z` is the bytes per jump-table entry; by default the smallest that fits
    every entry (0 when the table is empty).
    """
    code = bytes(code)
    jump_table = [int(e) for e in jump_table]
    if z is None:
        z = _min_width(jump_table)
    if not 0 <= z <= 4:
        raise ValueError(f"jump-table entry width must be 0 to 4, got {z}")
    if jump_table and z == 0:
        raise ValueError("jump-table entry width 0 with a non-empty jump table")
    mask = bytearray((len(code) + 7) // 8)
    for s in starts:
        if not 0 <= s < len(code):
            raise ValueError(f"instruction start {s} is outside the code (length {len(code)})")
        mask[s >> 3] |= 1 << (s & 7)
    out = bytearray(encode_natural(len(jump_table)))
    out.append(z)
    out += encode_natural(len(code))
    for e in jump_table:
        if not 0 <= e < 1 << (8 * z):
            raise ValueError(f"jump-table entry {e} does not fit in {z} bytes")
        out += e.to_bytes(z, "little")
    return bytes(out + code + mask)


def skip_at(bitmask: Sequence[int], code_len: int, pc: int) -> int:
    """The skip length at `pc`: bytes after the opcode up to the next
    instruction start, at most 24; bits past the end of the code (or of
    `bitmask`) count as set."""
    for j in range(pc + 1, pc + 1 + MAX_SKIP):
        if j >= code_len or (j >> 3) >= len(bitmask) or (bitmask[j >> 3] >> (j & 7)) & 1:
            return j - pc - 1
    return MAX_SKIP


@dataclass(frozen=True)
class Blob:
    """The parts of a program blob."""

    jump_table: tuple[int, ...]
    z: int
    code: bytes
    bitmask: bytes

    def is_start(self, pc: int) -> bool:
        """Whether an instruction starts at `pc` (False outside the code)."""
        return 0 <= pc < len(self.code) and bool((self.bitmask[pc >> 3] >> (pc & 7)) & 1)

    def starts(self) -> list[int]:
        """Every instruction start, ascending."""
        return [pc for pc in range(len(self.code)) if (self.bitmask[pc >> 3] >> (pc & 7)) & 1]

    def skip(self, pc: int) -> int:
        return skip_at(self.bitmask, len(self.code), pc)

    def jump_address(self, index: int) -> int:
        """The dynamic-jump address that selects jump-table entry `index`."""
        return 2 * (index + 1)

    def encode(self) -> bytes:
        """The blob again, written canonically."""
        return build_blob(self.code, self.starts(), self.jump_table, self.z)


def decode_blob(blob: object) -> Blob:
    """Split a program blob into jump table, code and bitmask.

    Raises ValueError for a malformed blob (truncated, trailing bytes, entry
    width above 4, width 0 with entries), TypeError for a non-bytes object.
    """
    if isinstance(blob, str) or not isinstance(blob, (bytes, bytearray, memoryview)):
        raise TypeError(f"a program blob must be bytes-like, not {type(blob).__name__}")
    data = bytes(blob)
    try:
        count, pos = decode_natural(data, 0)
    except ValueError:
        raise ValueError("program blob is truncated: no jump-table length") from None
    if pos >= len(data):
        raise ValueError("program blob is truncated: no jump-table entry width")
    z = data[pos]
    pos += 1
    if z > 4:
        raise ValueError(f"jump-table entry width {z} is above 4")
    if z == 0 and count:
        raise ValueError(f"jump-table entry width is 0 but the table has {count} entries")
    try:
        code_len, pos = decode_natural(data, pos)
    except ValueError:
        raise ValueError("program blob is truncated: no code length") from None
    need = count * z + code_len + (code_len + 7) // 8
    have = len(data) - pos
    if have < need:
        raise ValueError(
            f"program blob is truncated: {count} jump-table entries of {z} bytes and "
            f"{code_len} code bytes with their bitmask need {need} bytes, {have} remain"
        )
    if have > need:
        raise ValueError(f"program blob has {have - need} trailing bytes")
    table = tuple(
        int.from_bytes(data[pos + k * z : pos + (k + 1) * z], "little") for k in range(count)
    )
    pos += count * z
    code = data[pos : pos + code_len]
    bitmask = data[pos + code_len :]
    return Blob(table, z, code, bitmask)


# ---------------------------------------------------------------------------
# Operand decoding (the interpreter's decoders, in Python)


def _code_le(code: Sequence[int], pos: int, n: int) -> int:
    """`n` little-endian code bytes from `pos` (32-bit wrapping positions);
    bytes at or past the end of the code read as zero."""
    v = 0
    size = len(code)
    for i in range(n):
        p = (pos + i) & 0xFFFFFFFF
        if p < size:
            v |= code[p] << (8 * i)
    return v


def _signed(raw: int, n: int) -> int:
    """Two's-complement reading of an n-byte value (0 for n = 0)."""
    if n == 0:
        return 0
    return raw - (1 << (8 * n)) if raw >> (8 * n - 1) else raw


def _int8_difference(value: int) -> int:
    if value > 127:
        raise OverflowError("value too large to convert to int8_t")
    return value


def _clamp4_max0(value: int) -> int:
    return min(4, max(0, value))


def decode_operands(opcode: int, code: Sequence[int], pc: int, skip: int) -> Record:
    """(vx, vy, ra, rb, rd) as the group that owns `opcode` decodes them.

    Values are unsigned 64-bit like the interpreter's; targets are absolute
    (pc plus the signed offset).  Raises ValueError for an opcode no group
    defines.
    """
    info = OPCODES.get(opcode)
    if info is None:
        raise ValueError(f"no instruction has opcode {opcode}")
    form = info.form
    pc &= 0xFFFFFFFF
    if form == NO_ARGS:
        return 0, 0, 0, 0, 0
    if form in _NEW_DECODERS:
        return _NEW_DECODERS[form](code, pc, skip)
    if form == OFFSET:
        lx = min(4, skip & 0xFF)
        return (pc + _signed(_code_le(code, pc + 1, lx), lx)) & MASK64, 0, 0, 0, 0
    byte1 = _code_le(code, pc + 1, 1)
    if form == TWO_REG:
        return 0, 0, min(12, byte1 >> 4), 0, min(12, byte1 & 15)
    ra, rb = min(12, byte1 & 15), min(12, byte1 >> 4)
    if form == REG_IMM_OFFSET:
        lx = min(4, (byte1 >> 4) & 7)
        ly = _clamp4_max0(_int8_difference(skip - lx - 1))
        vx = _signed(_code_le(code, pc + 2, lx), lx) & MASK64
        vy = (pc + _signed(_code_le(code, pc + 2 + lx, ly), ly)) & MASK64
        return vx, vy, ra, 0, 0
    if form == TWO_REG_IMM:
        s = (skip - 1) & 0xFF
        lx = _clamp4_max0(s - 256 if s > 127 else s)
        return _signed(_code_le(code, pc + 2, lx), lx) & MASK64, 0, ra, rb, 0
    # TWO_REG_TWO_IMM
    lx = min(4, _code_le(code, pc + 2, 1) & 7)
    ly = _clamp4_max0(_int8_difference(skip - lx - 2))
    vx = _signed(_code_le(code, pc + 3, lx), lx) & MASK64
    vy = _signed(_code_le(code, pc + 3 + lx, ly), ly) & MASK64
    return vx, vy, ra, rb, 0


def _sext(code: Sequence[int], pos: int, n: int) -> int:
    """`n` code bytes from `pos`, sign-extended to an unsigned 64-bit value."""
    return _signed(_code_le(code, pos, n), n) & MASK64


# The decoders of the formats whose lengths are plain integer arithmetic on
# the skip (no 8-bit wrap-around): each returns (vx, vy, ra, rb, rd).


def _dec_one_imm(code: Sequence[int], pc: int, skip: int) -> Record:
    lx = min(4, skip)
    return _sext(code, pc + 1, lx), 0, 0, 0, 0


def _dec_reg_imm64(code: Sequence[int], pc: int, skip: int) -> Record:
    return _code_le(code, pc + 2, 8), 0, min(12, _code_le(code, pc + 1, 1) & 15), 0, 0


def _dec_two_imm(code: Sequence[int], pc: int, skip: int) -> Record:
    lx = min(4, _code_le(code, pc + 1, 1) & 7)
    ly = _clamp4_max0(skip - lx - 1)
    return _sext(code, pc + 2, lx), _sext(code, pc + 2 + lx, ly), 0, 0, 0


def _dec_reg_imm(code: Sequence[int], pc: int, skip: int) -> Record:
    lx = _clamp4_max0(skip - 1)
    return _sext(code, pc + 2, lx), 0, min(12, _code_le(code, pc + 1, 1) & 15), 0, 0


def _dec_reg_two_imm(code: Sequence[int], pc: int, skip: int) -> Record:
    byte1 = _code_le(code, pc + 1, 1)
    lx = min(4, (byte1 >> 4) & 7)
    ly = _clamp4_max0(skip - lx - 1)
    return _sext(code, pc + 2, lx), _sext(code, pc + 2 + lx, ly), min(12, byte1 & 15), 0, 0


def _dec_two_reg_offset(code: Sequence[int], pc: int, skip: int) -> Record:
    byte1 = _code_le(code, pc + 1, 1)
    lx = _clamp4_max0(skip - 1)
    target = (pc + _signed(_code_le(code, pc + 2, lx), lx)) & 0xFFFFFFFF
    return target, 0, min(12, byte1 & 15), min(12, byte1 >> 4), 0


def _dec_three_reg(code: Sequence[int], pc: int, skip: int) -> Record:
    byte1 = _code_le(code, pc + 1, 1)
    rd = min(12, _code_le(code, pc + 2, 1))
    return 0, 0, min(12, byte1 & 15), min(12, byte1 >> 4), rd


_NEW_DECODERS: dict[str, Callable[[Sequence[int], int, int], Record]] = {
    ONE_IMM: _dec_one_imm,
    REG_IMM64: _dec_reg_imm64,
    TWO_IMM: _dec_two_imm,
    REG_IMM: _dec_reg_imm,
    REG_TWO_IMM: _dec_reg_two_imm,
    TWO_REG_OFFSET: _dec_two_reg_offset,
    THREE_REG: _dec_three_reg,
}


def _s64(v: int) -> int:
    return v - (1 << 64) if v >> 63 else v


def _text_operands(info: InstructionInfo, record: Record) -> tuple[int, ...]:
    """Operands in text order (immediates signed, targets absolute) from a
    decoded (vx, vy, ra, rb, rd) record."""
    vx, vy, ra, rb, rd = record
    form = info.form
    if form == NO_ARGS:
        return ()
    if form == OFFSET:
        return (_s64(vx),)
    if form == REG_IMM_OFFSET:
        return (ra, _s64(vx), _s64(vy))
    if form == TWO_REG:
        return (rd, ra)
    if form == TWO_REG_IMM:
        return (ra, rb, _s64(vx))
    if form == ONE_IMM:
        return (_s64(vx),)
    if form == REG_IMM64:
        return (ra, _s64(vx))
    if form == TWO_IMM:
        return (_s64(vx), _s64(vy))
    if form == REG_IMM:
        return (ra, _s64(vx))
    if form == REG_TWO_IMM:
        return (ra, _s64(vx), _s64(vy))
    if form == TWO_REG_OFFSET:
        return (ra, rb, vx)
    if form == THREE_REG:
        return (rd, ra, rb)
    return (ra, rb, _s64(vx), _s64(vy))


def _record(info: InstructionInfo, ops: Sequence[int]) -> Record:
    """The decoded record an instruction with text operands `ops` must give."""
    form = info.form
    if form == NO_ARGS:
        return 0, 0, 0, 0, 0
    if form == OFFSET:
        return ops[0] & MASK64, 0, 0, 0, 0
    if form == REG_IMM_OFFSET:
        return ops[1] & MASK64, ops[2] & MASK64, ops[0], 0, 0
    if form == TWO_REG:
        return 0, 0, ops[1], 0, ops[0]
    if form == TWO_REG_IMM:
        return ops[2] & MASK64, 0, ops[0], ops[1], 0
    if form == ONE_IMM:
        return ops[0] & MASK64, 0, 0, 0, 0
    if form in (REG_IMM64, REG_IMM):
        return ops[1] & MASK64, 0, ops[0], 0, 0
    if form == TWO_IMM:
        return ops[0] & MASK64, ops[1] & MASK64, 0, 0, 0
    if form == REG_TWO_IMM:
        return ops[1] & MASK64, ops[2] & MASK64, ops[0], 0, 0
    if form == TWO_REG_OFFSET:
        return ops[2] & 0xFFFFFFFF, 0, ops[0], ops[1], 0
    if form == THREE_REG:
        return 0, 0, ops[1], ops[2], ops[0]
    return ops[2] & MASK64, ops[3] & MASK64, ops[0], ops[1], 0


# ---------------------------------------------------------------------------
# Encoding


def _value_len(v: int) -> int | None:
    """Bytes needed for the signed value v (0 for 0); None above 4 bytes."""
    if v == 0:
        return 0
    for n in (1, 2, 3, 4):
        if -(1 << (8 * n - 1)) <= v < 1 << (8 * n - 1):
            return n
    return None


def _offset(info: InstructionInfo, target: int, pc: int) -> int:
    """The offset an instruction at `pc` stores to reach `target`.  Targets of
    the register-register branches are taken modulo 2**32, so their offset is
    the signed 32-bit difference; the other forms keep the plain difference
    (out of reach when it needs more than 4 bytes)."""
    if info.form in _WRAPPING_TARGET:
        return ((target - pc + (1 << 31)) & 0xFFFFFFFF) - (1 << 31)
    return target - pc


def _imm_len(v: int) -> int:
    """Bytes of the shortest encoding of a value the parser has range-checked."""
    n = _value_len(v)
    if n is None:
        raise ValueError(f"value {v} needs more than 4 bytes")
    return n


def _le(v: int, n: int) -> bytes:
    return (v & ((1 << (8 * n)) - 1)).to_bytes(n, "little")


def _encode(info: InstructionInfo, ops: Sequence[int], pc: int, olen: int | None = None) -> bytes:
    """Encode an instruction at `pc` with the shortest immediates; the offset
    takes `olen` bytes when given (at least the bytes it needs), else the
    fewest.  Immediates are signed values that fit 32 bits."""
    form = info.form
    op = info.opcode
    if form == NO_ARGS:
        return bytes((op,))
    if form == TWO_REG:
        return bytes((op, ops[0] | ops[1] << 4))
    if form == TWO_REG_IMM:
        lx = _imm_len(ops[2])
        return bytes((op, ops[0] | ops[1] << 4)) + _le(ops[2], lx)
    if form == TWO_REG_TWO_IMM:
        lx, ly = _imm_len(ops[2]), _imm_len(ops[3])
        return bytes((op, ops[0] | ops[1] << 4, lx)) + _le(ops[2], lx) + _le(ops[3], ly)
    if form == ONE_IMM:
        return bytes((op,)) + _le(ops[0], _imm_len(ops[0]))
    if form == REG_IMM64:
        return bytes((op, ops[0])) + _le(ops[1], 8)
    if form == TWO_IMM:
        lx, ly = _imm_len(ops[0]), _imm_len(ops[1])
        return bytes((op, lx)) + _le(ops[0], lx) + _le(ops[1], ly)
    if form == REG_IMM:
        return bytes((op, ops[0])) + _le(ops[1], _imm_len(ops[1]))
    if form == REG_TWO_IMM:
        lx, ly = _imm_len(ops[1]), _imm_len(ops[2])
        return bytes((op, ops[0] | lx << 4)) + _le(ops[1], lx) + _le(ops[2], ly)
    if form == THREE_REG:
        return bytes((op, ops[1] | ops[2] << 4, ops[0]))
    offset = _offset(info, ops[-1], pc)
    n = _imm_len(offset) if olen is None else olen
    if form == TWO_REG_OFFSET:
        return bytes((op, ops[0] | ops[1] << 4)) + _le(offset, n)
    if form == OFFSET:
        return bytes((op,)) + _le(offset, n)
    lx = _imm_len(ops[1])
    return bytes((op, ops[0] | lx << 4)) + _le(ops[1], lx) + _le(offset, n)


# ---------------------------------------------------------------------------
# Parsing

_LABEL_DEF = re.compile(r"\s*([A-Za-z_][A-Za-z0-9_]*)\s*:")
_LABEL_REF = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)\s*(?:([+-])\s*(\S+))?$")
_REGISTER = re.compile(r"[rR](\d+)$")
_NUMBER = re.compile(
    r"[+-]?(?:0[xX][0-9a-fA-F](?:_?[0-9a-fA-F])*|0[bB][01](?:_?[01])*"
    r"|0[oO][0-7](?:_?[0-7])*|[0-9](?:_?[0-9])*)$"
)
_IMM_MIN, _IMM_MAX = -(1 << 31), (1 << 31) - 1
_DIRECTIVES = (".byte", ".insn", ".jumptable", ".jumpwidth")


def _parse_int(tok: str, line: int, what: str) -> int:
    t = tok.strip()
    if not _NUMBER.match(t):
        raise AsmError(f"bad {what} {tok.strip()!r}: expected a decimal or hex number", line)
    sign = -1 if t[0] == "-" else 1
    t = t.lstrip("+-")
    base = {"x": 16, "b": 2, "o": 8}.get(t[1:2].lower(), 10) if t[:1] == "0" else 10
    return sign * int(t[2:] if base != 10 else t, base)


def _parse_reg(tok: str, line: int) -> int:
    m = _REGISTER.match(tok.strip())
    if not m or int(m.group(1)) > 12:
        raise AsmError(f"bad register {tok.strip()!r}: registers are r0 to r12", line)
    return int(m.group(1))


def _parse_imm(tok: str, line: int) -> int:
    v = _parse_int(tok, line, "immediate")
    if v >= 1 << 63 and v <= MASK64:
        v -= 1 << 64  # the unsigned 64-bit form of a sign-extended value
    if not _IMM_MIN <= v <= _IMM_MAX:
        raise AsmError(
            f"immediate {tok.strip()} is out of range: immediates are sign-extended from at "
            f"most 4 bytes, so they lie in -0x80000000..0x7fffffff (or the 64-bit "
            f"two's-complement form of a negative one)",
            line,
        )
    return v


def _parse_imm64(tok: str, line: int) -> int:
    """A full 64-bit immediate: -2**63..2**64-1, negative ones as their
    two's complement (kept signed, like the other immediates)."""
    v = _parse_int(tok, line, "immediate")
    if not -(1 << 63) <= v <= MASK64:
        raise AsmError(
            f"immediate {tok.strip()} is out of range: a 64-bit immediate lies in "
            f"-0x8000000000000000..0xffffffffffffffff",
            line,
        )
    return _s64(v & MASK64)


def _parse_addr(tok: str, line: int, what: str = "addr") -> int:
    """An operand used modulo 2**32 (an absolute address, a host-call index):
    besides the signed immediates it takes 0x80000000..0xffffffff, stored as
    the negative immediate that decodes to the same 32 bits (0xffff0000 is
    -0x10000)."""
    noun = "address" if what == "addr" else "host-call index"
    v = _parse_int(tok, line, noun)
    if 1 << 31 <= v < 1 << 32:
        return v - (1 << 32)
    try:
        return _parse_imm(tok, line)
    except AsmError:
        raise AsmError(
            f"{noun} {tok.strip()} is out of range: it lies in 0..0xffffffff "
            f"(or -0x80000000..-1, the same values counted down from 2**32)",
            line,
        ) from None


class _Ref(NamedTuple):
    """A code position written in the source: a label plus an addend, or an
    absolute address when `label` is None."""

    label: str | None
    addend: int
    line: int


#: A text operand: a register number or immediate, or a target not yet resolved.
Operand = Union[int, _Ref]


def _parse_ref(tok: str, line: int, what: str) -> _Ref:
    t = tok.strip()
    m = _LABEL_REF.match(t)
    if m:
        addend = 0
        if m.group(2):
            addend = _parse_int(m.group(3), line, f"{what} offset")
            if m.group(2) == "-":
                addend = -addend
        return _Ref(m.group(1), addend, line)
    if _NUMBER.match(t):
        return _Ref(None, _parse_int(t, line, what), line)
    raise AsmError(f"bad {what} {t!r}: expected a label, label+N, label-N or an address", line)


def _split_operands(rest: str) -> list[str]:
    rest = rest.strip()
    return [] if not rest else [p.strip() for p in rest.split(",")]


def _byte_list(args: list[str], line: int, directive: str) -> bytes:
    if not args:
        raise AsmError(f"{directive} needs at least one byte", line)
    out = bytearray()
    for a in args:
        v = _parse_int(a, line, "byte")
        if not 0 <= v <= 255:
            raise AsmError(f"byte value {a} is out of range (0 to 255)", line)
        out.append(v)
    return bytes(out)


@dataclass
class _Item:
    line: int
    kind: str  # "insn", "data" (no instruction start) or "raw" (one instruction's bytes)
    data: bytes = b""
    info: InstructionInfo | None = None
    ops: tuple[Operand, ...] = ()  # text operands; a target is a _Ref until layout resolves it
    olen: int = 0  # offset bytes of a target-bearing instruction
    size: int = 0

    @property
    def insn(self) -> InstructionInfo:
        """The instruction of an "insn" item."""
        if self.info is None:
            raise AssertionError(f"line {self.line}: a {self.kind} item has no instruction")
        return self.info


def _parse(
    text: str,
) -> tuple[list[_Item], dict[str, tuple[int, int]], list[_Ref], tuple[int, int] | None]:
    items: list[_Item] = []
    labels: dict[str, tuple[int, int]] = {}  # name -> (item index, line)
    table: list[_Ref] = []
    width: tuple[int, int] | None = None  # (z, line)
    # Lines end at a newline (or CR LF, or a CR); other characters that
    # str.splitlines() breaks at (form feed, U+2028, ...) stay inside a line,
    # as they do in an editor, so a comment cannot hide code after them.
    for line_no, raw in enumerate(_LINE_BREAK.split(text), 1):
        body = re.split(r"[;#]", raw, maxsplit=1)[0]
        while True:
            m = _LABEL_DEF.match(body)
            if not m:
                break
            name = m.group(1)
            if name in labels:
                raise AsmError(
                    f"label {name!r} is already defined on line {labels[name][1]}", line_no
                )
            labels[name] = (len(items), line_no)
            body = body[m.end() :]
        body = body.strip()
        if not body:
            continue
        head, rest = (body.split(None, 1) + [""])[:2]
        word = head.lower()
        args = _split_operands(rest)
        if any(a == "" for a in args):
            raise AsmError("empty operand", line_no)
        if word.startswith("."):
            if word in (".byte", ".insn"):
                items.append(_Item(line_no, "data" if word == ".byte" else "raw",
                                   _byte_list(args, line_no, word)))
            elif word == ".jumptable":
                if not args:
                    raise AsmError(".jumptable needs at least one entry", line_no)
                table.extend(_parse_ref(a, line_no, "jump-table entry") for a in args)
            elif word == ".jumpwidth":
                if width is not None:
                    raise AsmError(
                        f"the jump-table entry width is already set on line {width[1]}", line_no
                    )
                if len(args) != 1:
                    raise AsmError(".jumpwidth takes one operand (0 to 4)", line_no)
                z = _parse_int(args[0], line_no, "width")
                if not 0 <= z <= 4:
                    raise AsmError(f"jump-table entry width {z} is out of range (0 to 4)", line_no)
                width = (z, line_no)
            else:
                raise AsmError(
                    f"unknown directive {head!r}: expected one of {', '.join(_DIRECTIVES)}",
                    line_no,
                )
            continue
        info = INSTRUCTIONS.get(word)
        if info is None:
            hint = difflib.get_close_matches(word, INSTRUCTIONS, n=1)
            extra = f" (did you mean {hint[0]!r}?)" if hint else ""
            raise AsmError(f"unknown mnemonic {head!r}{extra}", line_no)
        names = info.operands
        if len(args) != len(names):
            raise AsmError(
                f"{info.name} takes {len(names)} operand{'s' if len(names) != 1 else ''}"
                f"{' (' + ', '.join(names) + ')' if names else ''}, got {len(args)}",
                line_no,
            )
        ops: list[Operand] = []
        for name, arg in zip(names, args):
            if name.startswith("r"):
                ops.append(_parse_reg(arg, line_no))
            elif name == "target":
                ops.append(_parse_ref(arg, line_no, "target"))
            elif name == "imm64":
                ops.append(_parse_imm64(arg, line_no))
            elif name in ("addr", "index"):
                ops.append(_parse_addr(arg, line_no, name))
            else:
                ops.append(_parse_imm(arg, line_no))
        items.append(_Item(line_no, "insn", info=info, ops=tuple(ops)))
    return items, labels, table, width


# ---------------------------------------------------------------------------
# Layout and assembly


def _resolve(ref: _Ref, labels: dict[str, tuple[int, int]], addrs: Sequence[int]) -> int:
    if ref.label is None:
        return ref.addend
    entry = labels.get(ref.label)
    if entry is None:
        hint = difflib.get_close_matches(ref.label, labels, n=1)
        extra = f" (did you mean {hint[0]!r}?)" if hint else ""
        raise AsmError(f"undefined label {ref.label!r}{extra}", ref.line)
    return addrs[entry[0]] + ref.addend


def _resolve_operand(
    op: Operand, labels: dict[str, tuple[int, int]], addrs: Sequence[int]
) -> int:
    return _resolve(op, labels, addrs) if isinstance(op, _Ref) else op


def _addresses(items: Sequence[_Item]) -> list[int]:
    addrs = [0] * (len(items) + 1)
    for i, it in enumerate(items):
        addrs[i + 1] = addrs[i] + it.size
    return addrs


def _layout(items: Sequence[_Item], labels: dict[str, tuple[int, int]]) -> list[int]:
    """Give every item its size and return item addresses (plus the end).

    Offsets depend on where labels land, and label positions on the offsets'
    sizes, so offset lengths are recomputed until nothing changes.  Starting
    from the smallest sizes this reaches the shortest consistent layout when
    every target moves away as code grows (plain labels); targets that can
    come closer (absolute addresses, label+N) could make sizes oscillate, so
    after a while sizes are only allowed to grow, which always terminates.
    """
    branches = []
    for it in items:
        if it.kind == "insn":
            it.size = len(_encode(it.insn, [0 if isinstance(o, _Ref) else o for o in it.ops], 0, 0))
            if it.insn.has_target:
                branches.append(it)
        else:
            it.size = len(it.data)
    base = {id(it): it.size for it in branches}
    grow_only_after = 4 * len(branches) + 8
    passes = 0
    while True:
        addrs = _addresses(items)
        changed = False
        for i, it in enumerate(items):
            if it.kind == "insn" and it.insn.has_target:
                offset = _offset(it.insn, _resolve_operand(it.ops[-1], labels, addrs), addrs[i])
                need = _value_len(offset)
                need = 4 if need is None else need  # out of range: reported below
                if passes >= grow_only_after:
                    need = max(need, it.olen)
                if need != it.olen:
                    it.olen = need
                    it.size = base[id(it)] + need
                    changed = True
        if not changed:
            return addrs
        passes += 1


def assemble(text: str) -> bytes:
    """Assemble source text into a program blob.

    Raises AsmError (a ValueError) naming the line of the first error.
    """
    if not isinstance(text, str):
        raise TypeError(f"assemble() needs source text (str), not {type(text).__name__}")
    items, labels, table_refs, width = _parse(text)
    addrs = _layout(items, labels)
    code = bytearray()
    starts = []
    final: dict[int, tuple[int, ...]] = {}  # item index -> resolved operands
    for i, it in enumerate(items):
        pc = addrs[i]
        if it.kind == "data":
            code += it.data
            continue
        starts.append(pc)
        if it.kind == "raw":
            code += it.data
            continue
        info = it.insn
        ops = tuple(_resolve_operand(o, labels, addrs) for o in it.ops)
        if info.has_target and _value_len(_offset(info, ops[-1], pc)) is None:
            raise AsmError(
                f"target {ops[-1]} is out of reach of this instruction at pc {pc}: "
                f"offsets are signed 32-bit (-0x80000000..0x7fffffff)",
                it.line,
            )
        final[i] = ops
        code += _encode(info, ops, pc, it.olen if info.has_target else None)
    # Data after an instruction (not an instruction start) lengthens its
    # skip, and the decoders size operands from the skip: refuse code that
    # would not decode to what was written.
    mask = bytearray((len(code) + 7) // 8)
    for s in starts:
        mask[s >> 3] |= 1 << (s & 7)
    for i, it in enumerate(items):
        if it.kind != "insn":
            continue
        pc = addrs[i]
        info = it.insn
        got = decode_operands(info.opcode, code, pc, skip_at(mask, len(code), pc))
        if got != _record(info, final[i]):
            shown = _format_insn(info, _text_operands(info, got), str)
            raise AsmError(
                f"the .byte data after this {info.name} would be read as part of its "
                f"operands (it would decode as '{shown}'); start an instruction between "
                f"them or write the instruction's bytes with .insn",
                it.line,
            )
    entries = []
    for ref in table_refs:
        v = _resolve(ref, labels, addrs)
        if not 0 <= v < 1 << 32:
            raise AsmError(f"jump-table entry {v} is out of range (0 to 0xffffffff)", ref.line)
        entries.append(v)
    if width is None:
        z = _min_width(entries)
    else:
        z = width[0]
        if entries and z == 0:
            raise AsmError("jump-table entry width 0 with a non-empty jump table", width[1])
        too_big = [e for e in entries if e >= 1 << (8 * z)]
        if too_big:
            raise AsmError(f"jump-table entry {too_big[0]} does not fit in {z} bytes", width[1])
    return build_blob(bytes(code), starts, entries, z)


# ---------------------------------------------------------------------------
# Disassembly


def _fmt_imm(v: int) -> str:
    if -0x10000 < v < 0x10000:
        return str(v)
    return f"-{-v:#x}" if v < 0 else f"{v:#x}"


def _format_insn(
    info: InstructionInfo, ops: Sequence[int], target_text: Callable[[int], str]
) -> str:
    parts = []
    for name, v in zip(info.operands, ops):
        if name.startswith("r"):
            parts.append(f"r{v}")
        elif name == "target":
            parts.append(target_text(v))
        elif name in ("addr", "index"):
            parts.append(_fmt_imm(v & 0xFFFFFFFF))
        elif name == "imm64" and not -0x10000 < v < 0x10000:
            parts.append(f"{v & MASK64:#x}")
        else:
            parts.append(_fmt_imm(v))
    return info.name + (" " + ", ".join(parts) if parts else "")


def _hex_bytes(data: Iterable[int]) -> str:
    return ", ".join(f"0x{b:02x}" for b in data)


def disassemble_at(code: Iterable[int], bitmask: Sequence[int], pc: int) -> tuple[str, int]:
    """The instruction at `pc` as the interpreter decodes it, and its length.

    Targets are written as absolute addresses.  An opcode no group defines
    gives `.insn` with the instruction's bytes; a position that is not an
    instruction start gives `.byte` with its one byte (length 1).  Raises
    ValueError for a pc outside the code.
    """
    code = bytes(code)
    if not 0 <= pc < len(code):
        raise ValueError(f"pc {pc} is outside the code (length {len(code)})")
    if (pc >> 3) < len(bitmask) and not (bitmask[pc >> 3] >> (pc & 7)) & 1:
        return f".byte 0x{code[pc]:02x}", 1
    skip = skip_at(bitmask, len(code), pc)
    info = OPCODES.get(code[pc])
    if info is None:
        return ".insn " + _hex_bytes(code[pc : pc + 1 + skip]), 1 + skip
    ops = _text_operands(info, decode_operands(info.opcode, code, pc, skip))
    return _format_insn(info, ops, str), 1 + skip


def _chunks(data: list[str], n: int) -> list[list[str]]:
    return [data[i : i + n] for i in range(0, len(data), n)]


# A decoded instruction: its mnemonic and its text operands.
_Decoded = tuple[InstructionInfo, tuple[int, ...]]


def _disassembly(blob: Blob, fallback: bool) -> str:
    code = blob.code
    n = len(code)
    starts = blob.starts()
    # Items: (start, end, kind, payload); kind "data", "insn" or "raw".
    items: list[tuple[int, int, str, _Decoded | None]] = []
    if starts and starts[0] > 0 or not starts and n:
        items.append((0, starts[0] if starts else n, "data", None))
    for k, pc in enumerate(starts):
        nxt = starts[k + 1] if k + 1 < len(starts) else n
        end = pc + 1 + blob.skip(pc)
        info = OPCODES.get(code[pc])
        kind, used = "raw", end
        payload: _Decoded | None = None
        if info is not None:
            ops = _text_operands(info, decode_operands(info.opcode, code, pc, end - pc - 1))
            canon = _encode(info, ops, pc)
            if code[pc : pc + len(canon)] == canon and pc + len(canon) <= end:
                if not (fallback and info.has_target):
                    kind, payload, used = "insn", (info, ops), pc + len(canon)
                else:
                    payload = (info, ops)
        items.append((pc, used, kind, payload))
        if used < nxt:
            items.append((used, nxt, "data", None))
    targets = set(blob.jump_table)
    for start, end, kind, payload in items:
        if kind == "insn" and payload is not None and payload[0].has_target:
            targets.add(payload[1][-1])
    # Split data runs at targets so that a target into data gets its own label.
    split: list[tuple[int, int, str, _Decoded | None]] = []
    ordered = sorted(targets)
    for start, end, kind, payload in items:
        if kind == "data":
            cuts = ordered[bisect.bisect_right(ordered, start):bisect.bisect_left(ordered, end)]
            for a, b in zip([start] + cuts, cuts + [end]):
                split.append((a, b, kind, None))
        else:
            split.append((start, end, kind, payload))
    items = split
    item_starts = [it[0] for it in items]
    labelled: set[int] = set()

    def target_text(t: int) -> str:
        if not 0 <= t <= n:
            return str(t)
        if t == n:
            labelled.add(t)
            return f"L{t}"
        s = item_starts[bisect.bisect_right(item_starts, t) - 1]
        labelled.add(s)
        return f"L{s}" if s == t else f"L{s}+{t - s}"

    body = []
    for start, end, kind, payload in items:
        if kind == "insn" and payload is not None:
            body.append((start, "    " + _format_insn(payload[0], payload[1], target_text)))
        elif kind == "raw":
            line = "    .insn " + _hex_bytes(code[start:end])
            if payload is not None:
                line += "  ; " + _format_insn(payload[0], payload[1], str)
            body.append((start, line))
        else:
            for chunk_start in range(start, end, 16):
                body.append(
                    (chunk_start, "    .byte " + _hex_bytes(code[chunk_start : min(end, chunk_start + 16)]))
                )
    header = []
    if blob.z != _min_width(blob.jump_table):
        header.append(f".jumpwidth {blob.z}")
    for chunk in _chunks([target_text(t) for t in blob.jump_table], 8):
        header.append(".jumptable " + ", ".join(chunk))
    out = header[:]
    for pos, line in body:
        if pos in labelled:
            out.append(f"L{pos}:")
            labelled.discard(pos)
        out.append(line)
    if n in labelled:
        out.append(f"L{n}:")
    return "\n".join(out) + "\n"


def disassemble(blob: object) -> str:
    """Program blob to source text that assembles back to the same blob.

    Instructions in their shortest encoding come out as mnemonics with
    labels for targets; any other bytes of an instruction (an opcode no group
    defines, a longer-than-needed encoding) come out as `.insn`, bytes that
    start no instruction as `.byte`.  The blob header is written canonically,
    so a blob whose lengths use a longer-than-needed natural encoding or
    whose last bitmask byte has bits set past the code reassembles to the
    canonical form of the same program.
    """
    parts = decode_blob(blob)
    canonical = parts.encode()
    text = _disassembly(parts, fallback=False)
    try:
        if assemble(text) == canonical:
            return text
    except AsmError:
        pass
    # The labelled layout settles elsewhere than this blob's (possible for a
    # blob this assembler did not write): keep every instruction with a
    # target as raw bytes, so the layout is fixed.
    return _disassembly(parts, fallback=True)
