"""Two registers and one immediate: decoder, table, loads and stores, arithmetic."""

import traceback

import pytest
from hypothesis import given, settings, strategies as st

from pvmtest import build_blob, check_group_class, regs
from qorvel_pvm.cpvm.instructions.tables import ops_two_reg_imm
from qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm import CyInstructionsWArgs2Reg1Imm
from qorvel_pvm.cpvm.vm_block import CyBlockInfo, CyCompiledInstruction
from qorvel_pvm.cpvm.vm_interpreter import call_handler, decode, execute_block
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

M64 = (1 << 64) - 1
M32 = (1 << 32) - 1
FALL_THROUGH = 0xFFFFFFFF
MODULE = "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm"
GROUP = CyInstructionsWArgs2Reg1Imm()
TABLE = GROUP.get_table()
PROGRAM = CyProgram(build_blob(bytes([149, 0x21, 0x01]), [0]))


def imm(x: int) -> int:
    """A negative immediate as the unsigned 64-bit value the decoder produces."""
    return x & M64


def run_op(opcode, r, vx, ra, rb, memory=None):
    mem = memory if memory is not None else CyMemory()
    assert call_handler(TABLE[opcode], PROGRAM, r, mem, 0, vx, 0, ra, rb, 0) == FALL_THROUGH
    return r


def frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


# ----- class, TABLE, pickling ---------------------------------------------------


def test_group_class():
    assert check_group_class(ops_two_reg_imm, CyInstructionsWArgs2Reg1Imm, range(120, 162)) is TABLE
    assert {(e.gas_cost, e.is_terminating) for e in TABLE.values()} == {(1, False)}
    assert len({id(e) for e in TABLE.values()}) == 42

    class Sub(CyInstructionsWArgs2Reg1Imm):
        pass

    # A subclass group still decodes with this group's decoder.
    assert decode(Sub(), 0, PROGRAM, 2) == decode(GROUP, 0, PROGRAM, 2)


# ----- decoder --------------------------------------------------------------------


def program_of(code) -> CyProgram:
    return CyProgram(build_blob(bytes(code), [0]))


@pytest.mark.parametrize(
    "byte, ra, rb",
    [(0x21, 1, 2), (0xF3, 3, 12), (0xDE, 12, 12), (0x0C, 12, 0), (0xC0, 0, 12), (0x00, 0, 0)],
)
def test_decode_registers(byte, ra, rb):
    assert decode(GROUP, 0, program_of([149, byte, 1]), 2) == (1, 0, ra, rb, 0)


IMM = [0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88]


@pytest.mark.parametrize(
    "skip, vx",
    [
        (0, 0),
        (1, 0),
        (2, 0xFFFFFFFFFFFFFF81),
        (3, 0xFFFFFFFFFFFF8281),
        (4, 0xFFFFFFFFFF838281),
        (5, 0xFFFFFFFF84838281),
        (9, 0xFFFFFFFF84838281),  # never more than four immediate bytes
        (128, 0xFFFFFFFF84838281),
        (129, 0),  # skip - 1 = 128 reads as the signed byte -128
        (256, 0),  # -1
        (257, 0),  # 0
        (259, 0xFFFFFFFFFFFF8281),  # 2: only the low byte of skip - 1 counts
    ],
)
def test_decode_immediate_length(skip, vx):
    assert decode(GROUP, 0, program_of([149, 0x21] + IMM), skip) == (vx, 0, 1, 2, 0)


@pytest.mark.parametrize(
    "imm_bytes, vx",
    [
        ([0xFF], M64),
        ([0x7F], 0x7F),
        ([0x34, 0x12], 0x1234),
        ([0x00, 0x80], 0xFFFFFFFFFFFF8000),
        ([0xFF, 0xFF, 0x7F], 0x7FFFFF),
        ([0x00, 0x00, 0x00, 0x80], 0xFFFFFFFF80000000),
        ([0xFF, 0xFF, 0xFF, 0x7F], 0x7FFFFFFF),
    ],
)
def test_decode_sign_extension(imm_bytes, vx):
    code = [149, 0x21] + imm_bytes
    assert decode(GROUP, 0, program_of(code), len(code) - 1)[0] == vx


def test_decode_past_end_of_code():
    # The blob stores the bitmask right after the code, so a read past the
    # code would see non-zero bytes here.
    code = [149, 0x21, 0x7F]
    blob = build_blob(bytes(code), [0])
    assert blob.endswith(bytes(code) + b"\x01")
    p = CyProgram(blob)
    assert decode(GROUP, 0, p, 5) == (0x7F, 0, 1, 2, 0)  # missing bytes read as zero
    assert decode(GROUP, 2, p, 5) == (0, 0, 0, 0, 0)  # register byte itself is past the end
    assert decode(GROUP, 3, p, 5) == (0, 0, 0, 0, 0)
    # Positions wrap at 32 bits: from pc 0xFFFFFFFE the immediate starts at
    # byte 0; from 0xFFFFFFFF the register byte is byte 0 (149 = 0x95).
    assert decode(GROUP, 0xFFFFFFFE, p, 5) == (0x7F2195, 0, 0, 0, 0)
    assert decode(GROUP, 0xFFFFFFFF, p, 5) == (0x7F21, 0, 5, 9, 0)


@settings(max_examples=200)
@given(st.binary(min_size=1, max_size=8), st.integers(0, 300), st.integers(0, 10))
def test_decode_model(code, skip, pc):
    p = program_of(code)
    at = lambda i: code[i] if i < len(code) else 0
    lx = min(4, max(0, ((skip - 1) & 0xFF) - (256 if (skip - 1) & 0x80 else 0)))
    raw = int.from_bytes(bytes(at(pc + 2 + i) for i in range(lx)), "little")
    vx = (raw - (1 << (8 * lx)) if lx and raw >> (8 * lx - 1) else raw) & M64
    byte = at(pc + 1)
    assert decode(GROUP, pc, p, skip) == (vx, 0, min(byte & 15, 12), min(byte >> 4, 12), 0)


# ----- loads and stores ----------------------------------------------------------

VALUE = 0x8182838485868788


def rw_memory(*pages, cls=CyMemory):
    return cls(None, list(pages), list(pages))


STORES = [(120, 1), (121, 2), (122, 4), (123, 8)]
LOADS = [(124, 1, False), (125, 1, True), (126, 2, False), (127, 2, True),
         (128, 4, False), (129, 4, True), (130, 8, False)]


@pytest.mark.parametrize("opcode, width", STORES)
def test_store_widths(opcode, width):
    mem = rw_memory(1)
    mem.write(0x1100, b"\xAA" * 10)
    r = regs(0, VALUE, 0x1000)
    run_op(opcode, r, 0x100, ra=1, rb=2, memory=mem)
    assert mem.read(0x1100, 10) == VALUE.to_bytes(8, "little")[:width] + b"\xAA" * (10 - width)
    assert list(r) == list(regs(0, VALUE, 0x1000))


@pytest.mark.parametrize("opcode, width, signed", LOADS)
@pytest.mark.parametrize("data", [0x8182838485868788, 0x7172737475767778])
def test_load_widths(opcode, width, signed, data):
    mem = rw_memory(1)
    mem.write(0x1100, data.to_bytes(8, "little"))
    r = regs(0, 0xDEAD, 0x1000)
    run_op(opcode, r, 0x100, ra=1, rb=2, memory=mem)
    value = data & ((1 << (8 * width)) - 1)
    if signed and value >> (8 * width - 1):
        value |= M64 ^ ((1 << (8 * width)) - 1)
    assert list(r) == list(regs(0, value, 0x1000))


@pytest.mark.parametrize(
    "base, vx, address",
    [
        (0x1000, imm(-4), 0x0FFC),
        (M64, 1, 0),
        (0x100000010, 0, 0x10),
        (0xFFFFFFFF00001000, 0x10, 0x1010),
        (0x10, imm(-0x20), 0xFFFFFFF0),
    ],
)
def test_effective_address_wraps(base, vx, address):
    mem = rw_memory(0, 1, 0xFFFFF)
    run_op(123, regs(0, VALUE, base), vx, ra=1, rb=2, memory=mem)
    assert mem.read(address, 8) == VALUE.to_bytes(8, "little")
    r = run_op(130, regs(0, 0, base), vx, ra=1, rb=2, memory=mem)
    assert r[1] == VALUE


def test_ra_equal_rb_uses_old_base():
    mem = rw_memory(1)
    mem.write(0x1008, (0x55).to_bytes(8, "little"))
    assert run_op(130, regs(0, 0, 0x1000), 8, ra=2, rb=2, memory=mem)[2] == 0x55
    run_op(122, regs(0, 0, 0x1000), 4, ra=2, rb=2, memory=mem)
    assert mem.read(0x1004, 4) == (0x1000).to_bytes(4, "little")


def test_load_fault_leaves_register():
    mem = CyMemory(None, [1], [])
    r = regs(0, 0x1234, 0x2FFC)
    with pytest.raises(PvmExit) as info:
        run_op(130, r, 0, ra=1, rb=2, memory=mem)
    assert info.value.args[:2] == (2, 0x2FFC)
    assert MODULE + ".load_ind_u64" in frames(info.value)
    assert list(r) == list(regs(0, 0x1234, 0x2FFC))
    # A read straddling a readable and an unreadable page faults at its start.
    with pytest.raises(PvmExit) as info:
        run_op(130, r, 0, ra=1, rb=2, memory=CyMemory(None, [2], []))
    assert info.value.args[:2] == (2, 0x2FFC) and r[1] == 0x1234


@pytest.mark.parametrize("opcode, width", STORES)
def test_store_fault_changes_nothing(opcode, width):
    # Page 1 writable, page 2 readable only: a store that reaches page 2
    # faults before writing its first byte.
    mem = CyMemory(None, [1, 2], [1])
    address = 0x2000 - width // 2 if width > 1 else 0x2000
    before = mem.read(0x1F00, 0x200)
    pages = dict(mem._pages)
    r = regs(0, VALUE, address)
    with pytest.raises(PvmExit) as info:
        run_op(opcode, r, 0, ra=1, rb=2, memory=mem)
    assert info.value.args[:2] == (2, address)
    assert MODULE + f".store_ind_u{8 * width}" in frames(info.value)
    assert mem.read(0x1F00, 0x200) == before and mem._pages == pages
    assert list(r) == list(regs(0, VALUE, address))


# ----- memory subclasses --------------------------------------------------------


class Recording(CyMemory):
    def __init__(self, *args, reply=None):
        super().__init__(*args)
        self.calls = []
        self.reply = reply

    def read(self, address, length):
        self.calls.append(("read", address, length))
        return self.reply(address, length) if self.reply else super().read(address, length)

    def write(self, address, data):
        self.calls.append(("write", address, bytes(data)))
        return super().write(address, data)


def test_overrides_run():
    mem = Recording(None, [1], [1])
    run_op(121, regs(0, 0x123456789ABCDEF0, 0x1000), 6, ra=1, rb=2, memory=mem)
    assert mem.calls == [("write", 0x1006, b"\xF0\xDE")]
    r = run_op(127, regs(0, 0, 0x1000), 6, ra=3, rb=2, memory=mem)
    assert mem.calls[-1] == ("read", 0x1006, 2) and r[3] == 0xFFFFFFFFFFFFDEF0
    mem.reply = lambda a, n: bytes(range(1, n + 1))
    assert run_op(130, regs(), 0x10, ra=4, rb=0, memory=mem)[4] == 0x0807060504030201


@pytest.mark.parametrize("opcode, width", STORES)
def test_store_data_seen_by_overrides(opcode, width):
    """Each store hands `write` bytes holding its own value: objects an
    override keeps never change, and a hash taken of one always matches
    its contents."""
    kept, hashes = [], []

    class Keep(CyMemory):
        def write(self, address, data):
            hashes.append((hash(data), data.hex()))
            if address == 0x1000:
                kept.append(data)
            return super().write(address, data)

    mem = Keep(None, [1], [1])
    for i, v in enumerate([VALUE, 1, 2, VALUE >> 8, 3]):
        run_op(opcode, regs(0, v, 0x1000), 8 * (i % 2), ra=1, rb=2, memory=mem)
    values = [VALUE, 2, 3]
    assert kept == [(v & ((1 << 8 * width) - 1)).to_bytes(width, "little") for v in values]
    assert all(type(k) is bytes for k in kept)
    assert all(h == hash(bytes.fromhex(x)) for h, x in hashes)
    assert mem.read(0x1008, width) == (VALUE >> 8).to_bytes(8, "little")[:width]


@pytest.mark.parametrize(
    "reply, exc",
    [
        (None, TypeError),
        (b"", ValueError),
        (b"\x01\x02\x03", ValueError),
        (b"\x01" * 9, ValueError),
        ("12345678", TypeError),
    ],
)
@pytest.mark.parametrize("opcode", [124, 125, 128, 130])
def test_bad_read_results_leave_register(opcode, reply, exc):
    mem = Recording(None, [1], [1], reply=lambda a, n: reply)
    r = regs(0, 0xABCDEF, 0x1000)
    with pytest.raises(exc):
        run_op(opcode, r, 0, ra=1, rb=2, memory=mem)
    assert list(r) == list(regs(0, 0xABCDEF, 0x1000))


def test_override_exception_propagates_with_handler_frame():
    def boom(a, n):
        raise KeyError("boom")

    r = regs(0, 7, 0x1000)
    with pytest.raises(KeyError) as info:
        run_op(129, r, 0, ra=1, rb=2, memory=Recording(reply=boom))
    assert MODULE + ".load_ind_i32" in frames(info.value)
    assert r[1] == 7


def test_block_mutated_by_read_override():
    """A `read` override that empties the running block's list and drops the
    last references to its elements ends the block with a clean exception."""
    entries = [TABLE[130], TABLE[149], TABLE[149]]
    block = CyBlockInfo(3, [
        CyCompiledInstruction(op, pc + 1, e, vx, 0, ra, rb, 0)
        for pc, (op, e, vx, ra, rb) in enumerate([
            (130, entries[0], 0x10, 1, 2),
            (149, entries[1], 5, 1, 1),
            (149, entries[2], 5, 1, 1),
        ])
    ])

    def shrink(address, length):
        block.instructions.clear()
        return (40).to_bytes(8, "little")

    mem = Recording(None, [1], [1], reply=shrink)
    r = regs(0, 0, 0x1000)
    with pytest.raises(IndexError, match="list index out of range"):
        execute_block(block, PROGRAM, 0, r, mem)
    assert r[1] == 40  # the load completed; nothing after it ran

    # An override that swaps the running element and the rest of the list for
    # other instructions: the running load still completes on what it held,
    # the block goes on with what the list holds now.
    block.instructions = [CyCompiledInstruction(130, 1, TABLE[130], 0x10, 0, 1, 2, 0),
                          CyCompiledInstruction(149, 2, TABLE[149], 1, 0, 1, 1, 0)]

    def swap(address, length):
        block.instructions[:] = [CyCompiledInstruction(149, 7, TABLE[149], 100, 0, 3, 3, 0)] * 2
        return (40).to_bytes(8, "little")

    mem.reply = swap
    r = regs(0, 0, 0x1000)
    execute_block(block, PROGRAM, 0, r, mem)
    assert (r[1], r[3]) == (40, 100)


def test_read_override_cannot_resize_registers():
    def grow(address, length):
        r.extend([0] * 1000)
        return bytes(length)

    r = regs(0, 0, 0x1000)
    with pytest.raises(BufferError):
        run_op(130, r, 0, ra=1, rb=2, memory=Recording(reply=grow))
    assert len(r) == 13


# ----- arithmetic --------------------------------------------------------------


def sx32(v):
    v &= M32
    return v | 0xFFFFFFFF00000000 if v >> 31 else v


def s64(v):
    return v - (1 << 64) if v >> 63 else v


def s32(v):
    v &= M32
    return v - (1 << 32) if v >> 31 else v


def rotr(v, n, bits):
    mask = (1 << bits) - 1
    v &= mask
    n %= bits
    return ((v >> n) | (v << (bits - n))) & mask


# opcode -> (name, A' from (A, B, X))
MODEL = {
    131: ("add_imm_32", lambda a, b, x: sx32(b + x)),
    132: ("and_imm", lambda a, b, x: b & x),
    133: ("xor_imm", lambda a, b, x: b ^ x),
    134: ("or_imm", lambda a, b, x: b | x),
    135: ("mul_imm_32", lambda a, b, x: sx32((b & M32) * (x & M32))),
    136: ("set_lt_u_imm", lambda a, b, x: int(b < x)),
    137: ("set_lt_s_imm", lambda a, b, x: int(s64(b) < s64(x))),
    138: ("shlo_l_imm_32", lambda a, b, x: sx32((b & M32) << (x % 32))),
    139: ("shlo_r_imm_32", lambda a, b, x: sx32((b & M32) >> (x % 32))),
    140: ("shar_r_imm_32", lambda a, b, x: (s32(b) >> (x % 32)) & M64),
    141: ("neg_add_imm_32", lambda a, b, x: sx32(x - b)),
    142: ("set_gt_u_imm", lambda a, b, x: int(b > x)),
    143: ("set_gt_s_imm", lambda a, b, x: int(s64(b) > s64(x))),
    144: ("shlo_l_imm_alt_32", lambda a, b, x: sx32((x & M32) << (b % 32))),
    145: ("shlo_r_imm_alt_32", lambda a, b, x: sx32((x & M32) >> (b % 32))),
    146: ("shar_r_imm_alt_32", lambda a, b, x: (s32(x) >> (b % 32)) & M64),
    147: ("cmov_iz_imm", lambda a, b, x: x if b == 0 else a),
    148: ("cmov_nz_imm", lambda a, b, x: x if b != 0 else a),
    149: ("add_imm_64", lambda a, b, x: (b + x) & M64),
    150: ("mul_imm_64", lambda a, b, x: (b * x) & M64),
    151: ("shlo_l_imm_64", lambda a, b, x: (b << (x % 64)) & M64),
    152: ("shlo_r_imm_64", lambda a, b, x: b >> (x % 64)),
    153: ("shar_r_imm_64", lambda a, b, x: (s64(b) >> (x % 64)) & M64),
    154: ("neg_add_imm_64", lambda a, b, x: (x - b) & M64),
    155: ("shlo_l_imm_alt_64", lambda a, b, x: (x << (b % 64)) & M64),
    156: ("shlo_r_imm_alt_64", lambda a, b, x: x >> (b % 64)),
    157: ("shar_r_imm_alt_64", lambda a, b, x: (s64(x) >> (b % 64)) & M64),
    158: ("rot_r_64_imm", lambda a, b, x: rotr(b, x, 64)),
    159: ("rot_r_64_imm_alt", lambda a, b, x: rotr(x, b, 64)),
    160: ("rot_r_32_imm", lambda a, b, x: sx32(rotr(b, x, 32))),
    161: ("rot_r_32_imm_alt", lambda a, b, x: sx32(rotr(x, b, 32))),
}
assert sorted(MODEL) == list(range(131, 162))


def arith(opcode, b, x, a=0x5A5A):
    return run_op(opcode, regs(0, a, b), x, ra=1, rb=2)[1]


@pytest.mark.parametrize(
    "opcode, b, x, expected",
    [
        (131, 0x7FFFFFFF, 1, 0xFFFFFFFF80000000),
        (131, 0x100000001, 1, 2),
        (154, 1, 0, M64),
        (141, 1, 0, M64),
        (135, 0x10000, 0x10000, 0),
        (151, 0x1234, 64, 0x1234),
        (151, 1, imm(-1), 1 << 63),
        (138, 0x1_8000_0001, 32, 0xFFFFFFFF80000001),
        (140, 0x80000000, 4, 0xFFFFFFFFF8000000),
        (140, 0xFFFFFFFF_7FFFFFFF, 4, 0x07FFFFFF),
        (139, 0x80000000, 4, 0x08000000),
        (153, 1 << 63, 63, M64),
        (137, M64, 0, 1),
        (136, M64, 0, 0),
        (142, M64, M64, 0),
        (143, 0, M64, 1),
        (160, 1, 1, 0xFFFFFFFF80000000),
        (158, 1, 1, 1 << 63),
        (159, 1, 1, 1 << 63),  # B = 1 rotates X = 1
        (161, 33, 1, 0xFFFFFFFF80000000),
        (144, 33, 1, 2),
        (146, 36, 0x80000000, 0xFFFFFFFFF8000000),
        (157, 1, M64, M64),
        (147, 0, 9, 9),  # cmov: A keeps 0x5A5A unless the condition holds
        (147, 3, 9, 0x5A5A),
        (148, 0, 9, 0x5A5A),
        (148, 3, 9, 9),
    ],
)
def test_arithmetic_cases(opcode, b, x, expected):
    assert arith(opcode, b, x) == expected


u64 = st.integers(0, M64)
immediates = st.one_of(
    st.integers(-(1 << 31), (1 << 31) - 1).map(imm),
    st.sampled_from([0, 1, 31, 32, 33, 63, 64, 65, imm(-1), imm(-32), 1 << 63, M32]),
    u64,
)
operands = st.one_of(u64, st.sampled_from([0, 1, 31, 32, 63, 64, M32, 1 << 31, 1 << 63, M64]))


@settings(max_examples=400)
@given(st.sampled_from(sorted(MODEL)), operands, operands, immediates,
       st.integers(0, 12), st.integers(0, 12))
def test_arithmetic_model(opcode, a, b, x, ra, rb):
    values = [(0x1111 * (i + 1)) & M64 for i in range(13)]
    values[ra] = a
    values[rb] = b  # with ra == rb, A and B are the same old value
    expected = list(values)
    expected[ra] = MODEL[opcode][1](values[ra], values[rb], x)
    r = run_op(opcode, regs(*values), x, ra=ra, rb=rb)
    assert list(r) == expected, MODEL[opcode][0]
