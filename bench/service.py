"""The compiled-code workload of bench/run.py: bench/programs/service.pvmasm.

What the program does is described at the top of its source.  This module
builds its container (the program with its read-only data, read-write data
and heap pages), makes its input, answers its host calls and computes in
plain Python what the program must halt with, so that the benchmark can
check that the guest did all the work.

    >>> blob = container()
    >>> data = make_input(1)
    >>> expected(data)[0]          # the number of records
    1
"""

from __future__ import annotations

import random
import struct
from functools import lru_cache
from pathlib import Path
from typing import MutableSequence, NamedTuple

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "programs" / "service.pvmasm"

MASK64 = (1 << 64) - 1
FNV_BASIS = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3
SUBMIT_CALL, WEIGHT_CALL = 1, 2

# The container's layout: the addresses in the program follow from these
# (read-only data at 0x10000, read-write data at 0x30000, as 256 bytes of
# read-only data put the writable zone one 64 KiB zone above the minimum).
READ_ONLY = bytes(1 if 48 <= b <= 57 else 2 if 97 <= b <= 122 else 0 for b in range(256))
READ_WRITE = struct.pack("<5Q", FNV_BASIS, FNV_PRIME, 0, 0, 0)  # basis, prime, log end, limit, start
HEAP_PAGES = 4            # the key counters at 0x31000
STACK_SIZE = 64 * 1024
WRITE_START = 0x30000
COUNTERS, COUNTER_COUNT = 0x31000, 2048
COUNTERS_END = COUNTERS + 8 * COUNTER_COUNT
BUCKETS = 4096

# The generator always draws this many bytes of records (and cuts the
# prefix it needs), so that runs of different sizes, such as the two
# callgrind processes, spend the same host work making their input.
STREAM_BYTES = 384 * 1024
SEED = 20261208
VOCABULARY = 1500          # distinct keys, well under the table's 4096 buckets
DEEP_EVERY = 64            # every 64th record nests 40 to 63 parentheses deep


@lru_cache(maxsize=None)
def program_blob() -> bytes:
    """The program, assembled from its source."""
    from qorvel_pvm.asm import assemble

    return assemble(SOURCE.read_text())


@lru_cache(maxsize=None)
def container() -> bytes:
    """The program in the standard container."""
    from qorvel_pvm import image

    return image.build(READ_ONLY, READ_WRITE, HEAP_PAGES, STACK_SIZE, program_blob())


# ----- input -------------------------------------------------------------------------------


def _number(rng: random.Random) -> str:
    return str(rng.randrange(1, 10 ** rng.randint(1, 6)))  # 1 to 6 digits


def _expression(rng: random.Random, nesting: int) -> str:
    """term (+|- term)*, term = factor (* factor)*, factor = number or a
    parenthesised expression (while `nesting` allows)."""
    terms = []
    for _ in range(rng.randint(1, 3)):
        factors = []
        for _ in range(rng.randint(1, 3)):
            if nesting and rng.random() < 0.15:
                factors.append("(" + _expression(rng, nesting - 1) + ")")
            else:
                factors.append(_number(rng))
        terms.append("*".join(factors))
    out = terms[0]
    for t in terms[1:]:
        out += rng.choice("+-") + t
    return out


def _deep(rng: random.Random, depth: int) -> str:
    """An expression nested `depth` parentheses deep."""
    inner = _number(rng)
    for _ in range(depth):
        inner = f"{_number(rng)}*({inner}){rng.choice('+-')}{_number(rng)}"
    return inner


@lru_cache(maxsize=4)
def _stream(size: int) -> tuple[bytes, tuple[int, ...]]:
    """At least `size` bytes of records and the offsets where records end."""
    rng = random.Random(SEED)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(3, 11))) for _ in range(VOCABULARY)]
    out: list[str] = []
    ends: list[int] = []
    length = 0
    while length < size:
        # A few keys are frequent, most are rare: half the records use the first 64 words.
        key = rng.choice(words[:64] if rng.random() < 0.5 else words)
        if (len(ends) + 1) % DEEP_EVERY == 0:
            expr = _deep(rng, rng.randint(40, 63))
        else:
            expr = _expression(rng, 2)
        record = f"{key} {expr}\n"
        out.append(record)
        length += len(record)
        ends.append(length)
    return "".join(out).encode(), tuple(ends)


def make_input(size: int) -> bytes:
    """The first records of the input stream, ending at the first record end
    at or after `size` bytes."""
    data, ends = _stream(max(size, STREAM_BYTES))
    for end in ends:
        if end >= size:
            return data[:end]
    return data


# ----- the host --------------------------------------------------------------------------


# The host's data: a weight for each value of a key's low byte, and a salt
# its replies are folded with.  A host call looks its answer up rather than
# computing a hash in Python, as a host that serves a program would.
WEIGHTS = tuple((((b * 0x9E3779B97F4A7C15) & MASK64) >> 61) + 1 for b in range(256))
SALT = 0x5DEECE66D2545F49


def weight(key: int) -> int:
    """The host's weight of a key: 1 to 8."""
    return WEIGHTS[key & 0xFF]


def reply(key: int, total: int) -> tuple[int, int]:
    """The host's answer to a request: the reply word and 1 (accept) or 0."""
    word = key ^ total ^ SALT
    return word, int(word & 3 != 0)


def handle(call: int, registers: MutableSequence[int], memory) -> None:
    """The host-call handler.  Call 2: the weight of the key in r7, into r7.
    Call 1: the record (key in r7, its new total in r8) is answered with a
    reply written to the buffer r9 points at and 1 (accept) or 0 in r7.
    Works on the memory of either interpreter."""
    if call == WEIGHT_CALL:
        registers[7] = WEIGHTS[registers[7] & 0xFF]
        return
    if call != SUBMIT_CALL:
        raise RuntimeError(f"the service made an unknown host call {call}")
    word = registers[7] ^ registers[8] ^ SALT
    memory.write(registers[9], word.to_bytes(8, "little"))
    registers[7] = 1 if word & 3 else 0


# ----- what the program computes ----------------------------------------------------------


class Expected(NamedTuple):
    records: int
    reply_hash: int
    digest: int


def _fnv(h: int, value: int) -> int:
    return ((h ^ value) * FNV_PRIME) & MASK64


class _Parser:
    def __init__(self, data: bytes, pos: int):
        self.data, self.pos = data, pos

    def peek(self) -> int:
        return self.data[self.pos] if self.pos < len(self.data) else -1

    def expr(self) -> int:
        value = self.term()
        while self.peek() in (43, 45):
            op = self.peek()
            self.pos += 1
            value = (value + self.term()) if op == 43 else (value - self.term())
        return value & MASK64

    def term(self) -> int:
        value = self.factor()
        while self.peek() == 42:
            self.pos += 1
            value = (value * self.factor()) & MASK64
        return value

    def factor(self) -> int:
        if self.peek() == 40:
            self.pos += 1
            value = self.expr()
            assert self.peek() == 41, "')' expected"
            self.pos += 1
            return value
        start = self.pos
        while 48 <= self.peek() <= 57:
            self.pos += 1
        assert self.pos > start, "a number expected"
        return int(self.data[start:self.pos]) & MASK64


def expected(data: bytes) -> Expected:
    """r7, r8 and r9 of a run of the service on `data`."""
    table: list[tuple[int, int]] = [(0, 0)] * BUCKETS
    counters = [0] * COUNTER_COUNT
    log: list[tuple[int, int]] = []
    reply_hash = FNV_BASIS
    records = 0
    pos = 0
    while pos < len(data):
        space = data.index(b" ", pos)
        key = FNV_BASIS
        for byte in data[pos:space]:
            key = _fnv(key, byte)
        key |= 1
        parser = _Parser(data, space + 1)
        value = parser.expr() * weight(key) & MASK64
        assert data[parser.pos] == 10, "a newline expected"
        pos = parser.pos + 1
        counters[key >> 53] += 1
        slot = (key >> 7) % BUCKETS
        while table[slot][0] not in (0, key):
            slot = (slot + 1) % BUCKETS
        old = table[slot][1] if table[slot][0] == key else 0
        total = (old + value) & MASK64
        table[slot] = (key, total)
        word, accepted = reply(key, total)
        reply_hash = _fnv(reply_hash, word)
        records += 1
        if accepted:
            log.append((key, word))
    digest = FNV_BASIS
    for key, total in table:
        if key:
            digest = _fnv(_fnv(digest, key), total)
    for count in counters:
        digest = _fnv(digest, count)
    for key, word in log:
        digest = _fnv(_fnv(digest, key), word)
    return Expected(records, reply_hash, digest)
