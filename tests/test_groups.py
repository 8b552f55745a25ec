"""The six later instruction groups: classes, decoders, the three-register
arithmetic against a Python model, loads and stores, jumps and branches, and
whole programs written with them."""

import importlib
import subprocess
import sys
import traceback

import pytest
from hypothesis import given, settings, strategies as st

from pvmtest import assert_decodes_like, build_blob, check_group_class, child_env, regs
from qorvel_pvm import run
from qorvel_pvm.cpvm.vm_interpreter import call_handler
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import TERMINATING_OPCODES, CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

M64 = (1 << 64) - 1
M32 = (1 << 32) - 1
FALL_THROUGH = 0xFFFFFFFF
PKG = "qorvel_pvm.cpvm.instructions.tables."

# module -> (class name, opcodes, opcodes that end a block)
GROUPS = {
    "ops_reg_ext_imm": ("InstructionsWArgs1Reg1ExtImm", [20], set()),
    "ops_two_imm": ("InstructionsWArgs2Imm", range(30, 34), set()),
    "ops_reg_imm": ("InstructionsWArgs1Reg1Imm", range(50, 63), {50}),
    "ops_reg_two_imm": ("InstructionsWArgs1Reg2Imm", range(70, 74), set()),
    "ops_two_reg_offset": ("InstructionsWArgs2Reg1Offset", range(170, 176), set(range(170, 176))),
    "ops_three_reg": ("InstructionsWArgs3Reg", range(190, 231), set()),
}


def group(name):
    return getattr(importlib.import_module(PKG + name), GROUPS[name][0])()


def table(name):
    return group(name).get_table()


def handler(opcode):
    return next(table(n)[opcode] for n, (_, ops, _) in GROUPS.items() if opcode in ops)


def frames(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__)]


def sext(v, n):
    return v - (1 << 8 * n) if n and v >> (8 * n - 1) else v


def signed(v, bits=64):
    return v - (1 << bits) if v >> (bits - 1) else v


@pytest.mark.parametrize("name", sorted(GROUPS))
def test_group_class(name):
    cls_name, opcodes, ending = GROUPS[name]
    module = importlib.import_module(PKG + name)
    tbl = check_group_class(module, getattr(module, cls_name), opcodes)
    assert {op: (e.gas_cost, e.is_terminating) for op, e in tbl.items()} == {op: (1, op in ending) for op in opcodes}
    assert {op for op in opcodes if op in TERMINATING_OPCODES} == ending


def test_modules_initialise_once():
    code = f"""
import sys, importlib
for name in {sorted(GROUPS)!r}:
    importlib.import_module({PKG!r} + name)
    del sys.modules[{PKG!r} + name]
    try:
        importlib.import_module({PKG!r} + name)
    except RuntimeError as e:
        print(e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(), check=True)
    assert out.stdout.splitlines() == [
        f"Module '{name}' has already been imported. Re-initialisation is not supported." for name in sorted(GROUPS)
    ]


# ----- decoders -------------------------------------------------------------------


def at(code, i):
    return code[i] if i < len(code) else 0


def le(code, p, n):
    return int.from_bytes(bytes(at(code, p + i) for i in range(n)), "little")


def imm(code, p, n):
    return sext(le(code, p, n), n) & M64


def tail(skip, used):
    return min(4, max(0, skip - used))


def reg(b):
    return min(12, b)


def model_ext(code, pc, skip):
    return le(code, pc + 2, 8), 0, reg(at(code, pc + 1) & 15), 0, 0


def model_two_imm(code, pc, skip):
    lx = min(4, at(code, pc + 1) & 7)
    return imm(code, pc + 2, lx), imm(code, pc + 2 + lx, tail(skip, lx + 1)), 0, 0, 0


def model_reg_imm(code, pc, skip):
    return imm(code, pc + 2, tail(skip, 1)), 0, reg(at(code, pc + 1) & 15), 0, 0


def model_reg_two_imm(code, pc, skip):
    b = at(code, pc + 1)
    lx = min(4, (b >> 4) & 7)
    return imm(code, pc + 2, lx), imm(code, pc + 2 + lx, tail(skip, lx + 1)), reg(b & 15), 0, 0


def model_offset(code, pc, skip):
    b = at(code, pc + 1)
    n = tail(skip, 1)
    return (pc + sext(le(code, pc + 2, n), n)) & M32, 0, reg(b & 15), reg(b >> 4), 0


def model_three_reg(code, pc, skip):
    b = at(code, pc + 1)
    return 0, 0, reg(b & 15), reg(b >> 4), reg(at(code, pc + 2))


DECODERS = {
    "ops_reg_ext_imm": model_ext,
    "ops_two_imm": model_two_imm,
    "ops_reg_imm": model_reg_imm,
    "ops_reg_two_imm": model_reg_two_imm,
    "ops_two_reg_offset": model_offset,
    "ops_three_reg": model_three_reg,
}


@pytest.mark.parametrize("name", sorted(DECODERS))
@settings(max_examples=150)
@given(
    code=st.binary(min_size=1, max_size=14),
    pc=st.integers(0, 16),
    skip=st.one_of(st.integers(0, 24), st.integers(0, 2**32 - 1)),
)
def test_decoder_matches_model(name, code, pc, skip):
    # Positions past the code (the blob's bitmask follows it) read as zero.
    assert_decodes_like(group(name), DECODERS[name], code, pc, skip)


@pytest.mark.parametrize(
    "name, code, skip, expected",
    [
        ("ops_reg_ext_imm", [20, 0xF3] + list(range(0x81, 0x89)), 9, (0x8887868584838281, 0, 3, 0, 0)),
        ("ops_two_imm", [30, 0x0A, 0x34, 0x12, 0x80], 4, (0x1234, M64 - 0x7F, 0, 0, 0)),  # lx 2 of bits 0-2
        ("ops_two_imm", [33, 0x07, 1, 2, 3, 4, 5], 6, (0x04030201, 5, 0, 0, 0)),  # lx capped at 4
        ("ops_reg_imm", [51, 0xFD, 0xFF], 2, (M64, 0, 12, 0, 0)),
        ("ops_reg_two_imm", [70, 0x9E, 0x10, 0x20], 3, (0x10, 0x20, 12, 0, 0)),  # bit 7 ignored
        ("ops_two_reg_offset", [170, 0xC1, 0xFE], 2, (M32 - 1, 0, 1, 12, 0)),  # pc 0 - 2 wraps
        ("ops_three_reg", [190, 0x21, 0xFF], 2, (0, 0, 1, 2, 12)),
    ],
)
def test_decoder_examples(name, code, skip, expected):
    assert_decodes_like(group(name), lambda *_: expected, bytes(code), 0, skip)


# ----- three-register arithmetic ---------------------------------------------------


def w32(v):
    return sext(v & M32, 4) & M64


def div(x, y):  # rounds toward zero
    q = abs(x) // abs(y)
    return q if (x < 0) == (y < 0) else -q


def rem(x, y):
    return x - y * div(x, y)


def rot_l(v, n, bits):
    n %= bits
    return ((v << n) | (v >> (bits - n))) & ((1 << bits) - 1)


s32 = lambda v: signed(v & M32, 32)

# opcode -> R[rd] as a function of A, B (None: rd unchanged)
MODEL = {
    190: lambda a, b: w32(a + b),
    191: lambda a, b: w32(a - b),
    192: lambda a, b: w32(a * b),
    193: lambda a, b: M64 if b & M32 == 0 else w32((a & M32) // (b & M32)),
    194: lambda a, b: M64 if b & M32 == 0 else w32(div(s32(a), s32(b))),
    195: lambda a, b: w32(a) if b & M32 == 0 else w32((a & M32) % (b & M32)),
    196: lambda a, b: w32(a) if b & M32 == 0 else w32(rem(s32(a), s32(b))),
    197: lambda a, b: w32((a & M32) << (b % 32)),
    198: lambda a, b: w32((a & M32) >> (b % 32)),
    199: lambda a, b: w32(s32(a) >> (b % 32)),
    200: lambda a, b: a + b,
    201: lambda a, b: a - b,
    202: lambda a, b: a * b,
    203: lambda a, b: M64 if b == 0 else a // b,
    204: lambda a, b: M64 if b == 0 else div(signed(a), signed(b)),
    205: lambda a, b: a if b == 0 else a % b,
    206: lambda a, b: a if b == 0 else rem(signed(a), signed(b)),
    207: lambda a, b: a << (b % 64),
    208: lambda a, b: a >> (b % 64),
    209: lambda a, b: signed(a) >> (b % 64),
    210: lambda a, b: a & b,
    211: lambda a, b: a ^ b,
    212: lambda a, b: a | b,
    213: lambda a, b: (signed(a) * signed(b)) >> 64,
    214: lambda a, b: (a * b) >> 64,
    215: lambda a, b: (signed(a) * b) >> 64,
    216: lambda a, b: int(a < b),
    217: lambda a, b: int(signed(a) < signed(b)),
    218: lambda a, b: a if b == 0 else None,
    219: lambda a, b: a if b != 0 else None,
    220: lambda a, b: rot_l(a, b % 64, 64),
    221: lambda a, b: w32(rot_l(a & M32, b % 32, 32)),
    222: lambda a, b: rot_l(a, -(b % 64), 64),
    223: lambda a, b: w32(rot_l(a & M32, -(b % 32), 32)),
    224: lambda a, b: a & ~b,
    225: lambda a, b: a | ~b,
    226: lambda a, b: ~(a ^ b),
    227: lambda a, b: max(signed(a), signed(b)),
    228: lambda a, b: max(a, b),
    229: lambda a, b: min(signed(a), signed(b)),
    230: lambda a, b: min(a, b),
}
assert sorted(MODEL) == list(range(190, 231))

EDGES = [0, 1, 2, 31, 32, 33, 63, 64, 65, 0x7FFFFFFF, 0x80000000, M32, 1 << 32, 0xFFFFFFFF80000000,
         (1 << 63) - 1, 1 << 63, M64 - 1, M64]
OPERAND = st.one_of(st.sampled_from(EDGES), st.integers(0, M64), st.integers(0, M32).map(lambda v: w32(v)))


def three_reg(opcode, a, b, ra=1, rb=2, rd=3, old=0xD0D0):
    r = regs(*range(100, 113))
    r[rd] = old
    r[ra] = a
    r[rb] = b
    assert call_handler(handler(opcode), JUMPS, r, CyMemory(), 0, 0, 0, ra, rb, rd) == FALL_THROUGH
    return r


@pytest.mark.parametrize("opcode", sorted(MODEL))
@settings(max_examples=60)
@given(a=OPERAND, b=OPERAND)
def test_three_reg_model(opcode, a, b):
    expected = MODEL[opcode](a, b)
    r = three_reg(opcode, a, b)
    assert r[3] == (0xD0D0 if expected is None else expected & M64)
    assert [r[i] for i in range(13) if i != 3] == [100 + i if i > 2 else (a, b)[i - 1] if i else 100
                                                    for i in range(13) if i != 3]
    # rd may be one of the sources: both are read before it is written.
    for ra, rb, rd in [(4, 5, 4), (4, 5, 5)]:
        old = a if rd == ra else b
        assert three_reg(opcode, a, b, ra, rb, rd, old)[rd] == (old if expected is None else expected & M64)
    if a == b:
        assert three_reg(opcode, a, a, 6, 6, 6, old=a)[6] == (a if expected is None else expected & M64)


# ----- loads and stores ------------------------------------------------------------

VALUE = 0x8182838485868788


class Recording(CyMemory):
    def __init__(self, *args):
        super().__init__(*args)
        self.calls = []

    def read(self, address, length):
        self.calls.append(("read", address, length))
        return super().read(address, length)

    def write(self, address, data):
        self.calls.append(("write", address, bytes(data)))
        return super().write(address, data)


# opcode, width, (vx, vy, ra) for an access at `address` storing/loading register 1 or vy
def store_operands(opcode, address, base=0x10000):
    if opcode in range(30, 34):
        return address, VALUE, 0
    if opcode in range(59, 63):
        return address, 0, 1
    return (address - base) & M64, VALUE, 2  # 70-73: register 2 holds the base


STORES = [(30 + i, 1 << i) for i in range(4)] + [(59 + i, 1 << i) for i in range(4)] + \
         [(70 + i, 1 << i) for i in range(4)]
LOADS = [(52, 1, False), (53, 1, True), (54, 2, False), (55, 2, True), (56, 4, False), (57, 4, True),
         (58, 8, False)]


@pytest.mark.parametrize("cls", [CyMemory, Recording])
@pytest.mark.parametrize("opcode, width", STORES)
def test_stores(opcode, width, cls):
    mem = cls(None, [0x21], [0x21])
    mem.write(0x21100, b"\xAA" * 10)
    vx, vy, ra = store_operands(opcode, 0x21100)
    r = regs(0, VALUE, 0x10000)
    assert call_handler(handler(opcode), JUMPS, r, mem, 0, vx, vy, ra, 0, 0) == FALL_THROUGH
    assert mem.read(0x21100, 10) == VALUE.to_bytes(8, "little")[:width] + b"\xAA" * (10 - width)
    assert list(r) == list(regs(0, VALUE, 0x10000))
    if cls is Recording:
        assert mem.calls[1] == ("write", 0x21100, VALUE.to_bytes(8, "little")[:width])


@pytest.mark.parametrize("opcode, width", STORES)
def test_store_fault_changes_nothing(opcode, width):
    mem = CyMemory(None, [0x21, 0x22], [0x21])  # page 0x22 readable only
    address = 0x22000 - width // 2 if width > 1 else 0x22000
    vx, vy, ra = store_operands(opcode, address)
    before = mem.read(0x21F00, 0x200)
    with pytest.raises(PvmExit) as info:
        call_handler(handler(opcode), JUMPS, regs(0, VALUE, 0x10000), mem, 0, vx, vy, ra, 0, 0)
    assert info.value.args[:2] == (2, address)
    assert any(f.startswith(PKG) and f.rpartition(".")[2].startswith("store_") for f in frames(info.value))
    assert mem.read(0x21F00, 0x200) == before


@pytest.mark.parametrize("cls", [CyMemory, Recording])
@pytest.mark.parametrize("opcode, width, is_signed", LOADS)
@pytest.mark.parametrize("data", [0x8182838485868788, 0x7172737475767778])
def test_loads(opcode, width, is_signed, data, cls):
    mem = cls(None, [0x21], [0x21])
    mem.write(0x21FF8, data.to_bytes(8, "little"))
    r = regs(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xDEAD)
    assert call_handler(handler(opcode), JUMPS, r, mem, 0, 0x21FF8, 0, 12, 0, 0) == FALL_THROUGH
    value = data & ((1 << 8 * width) - 1)
    assert r[12] == (sext(value, width) & M64 if is_signed else value)
    if cls is Recording:
        assert mem.calls[-1] == ("read", 0x21FF8, width)


@pytest.mark.parametrize("opcode, width, is_signed", LOADS)
def test_load_fault_leaves_register(opcode, width, is_signed):
    mem = CyMemory(None, [0x21], [])
    address = 0x22000 - width // 2 if width > 1 else 0x22000
    r = regs(0, 0x1234)
    with pytest.raises(PvmExit) as info:
        call_handler(handler(opcode), JUMPS, r, mem, 0, address, 0, 1, 0, 0)
    assert info.value.args[:2] == (2, address)
    assert PKG + f"ops_reg_imm.load_{'i' if is_signed else 'u'}{8 * width}" in frames(info.value)
    assert r[1] == 0x1234


@pytest.mark.parametrize(
    "opcode, vx, base, address",
    [
        (62, 0x1FFFFFFF0, 0, 0xFFFFFFF0),  # an immediate address is taken mod 2^32
        (33, M64 - 15, 0, 0xFFFFFFF0),
        (73, 0x10, M64 - 0x1F, 0xFFFFFFF0),  # base + offset wraps
        (73, M64 - 0xF, 0x100000000, 0xFFFFFFF0),
    ],
)
def test_addresses_wrap_to_32_bits(opcode, vx, base, address):
    mem = CyMemory(None, [0xFFFFF], [0xFFFFF])
    call_handler(handler(opcode), JUMPS, regs(0, VALUE, base), mem, 0, vx, VALUE, 1 if opcode == 62 else 2, 0, 0)
    assert mem.read(address, 8) == VALUE.to_bytes(8, "little")


# ----- jumps and branches ------------------------------------------------------------

# 64 one-byte instructions, each a block start; jump-table entry k (address
# 2k) is position k, so a djump result shows the address computed.
JUMPS = CyProgram(build_blob(bytes(64), range(64), range(1, 64)))
SOME_STARTS = CyProgram(build_blob(bytes(8), [0, 1, 3, 5]))  # 2 and 4 are inside instructions


@pytest.mark.parametrize("base, vx, result", [(10, 4, 7), (M64, 11, 5), (0x100000006, 0, 3)])
def test_jump_ind(base, vx, result):
    assert call_handler(handler(50), JUMPS, regs(0, 0, base), CyMemory(), 0, vx, 0, 2, 0, 0) == result


@pytest.mark.parametrize("base, code", [(0xFFFF0000, 0), (0, 1), (3, 1), (1000, 1)])
def test_jump_ind_exits(base, code):
    with pytest.raises(PvmExit) as info:
        call_handler(handler(50), JUMPS, regs(base), CyMemory(), 0, 0, 0, 0, 0, 0)
    assert info.value.code == code and PKG + "ops_reg_imm.jump_ind" in frames(info.value)


CONDITIONS = {
    170: lambda a, b: a == b,
    171: lambda a, b: a != b,
    172: lambda a, b: a < b,
    173: lambda a, b: signed(a) < signed(b),
    174: lambda a, b: a >= b,
    175: lambda a, b: signed(a) >= signed(b),
}
NAMES = ["eq", "ne", "lt_u", "lt_s", "ge_u", "ge_s"]
PAIRS = [(5, 5), (M64 - 1, 1), (1, M64 - 1), (1 << 63, (1 << 63) - 1), ((1 << 63) - 1, 1 << 63), (7, 8)]


@pytest.mark.parametrize("opcode", sorted(CONDITIONS))
@pytest.mark.parametrize("a, b", PAIRS)
def test_branches(opcode, a, b):
    r = regs(*[0] * 11, a, b)
    taken = CONDITIONS[opcode](a, b)
    assert call_handler(handler(opcode), SOME_STARTS, r, CyMemory(), 0, 3, 0, 11, 12, 0) == \
        (3 if taken else FALL_THROUGH)
    # A taken branch to a position that does not start a block panics.
    if taken:
        with pytest.raises(PvmExit) as info:
            call_handler(handler(opcode), SOME_STARTS, r, CyMemory(), 0, 2, 0, 11, 12, 0)
        assert info.value.code == 1
        assert f"{PKG}ops_two_reg_offset.branch_{NAMES[opcode - 170]}" in frames(info.value)
    else:
        assert call_handler(handler(opcode), SOME_STARTS, r, CyMemory(), 0, 2, 0, 11, 12, 0) == FALL_THROUGH
    assert list(r) == list(regs(*[0] * 11, a, b))


# ----- whole programs ------------------------------------------------------------------


def le_bytes(v, n):
    return list(v.to_bytes(n, "little"))


def test_sum_loop_through_memory():
    """Sums 10..1 in a loop closed by a register-register branch, keeping the
    total in memory through absolute stores and loads; halts through jump_ind."""
    code = (
        [20, 0x02] + le_bytes(0xFFFF0000, 8)  # 0: load_imm_64 r2, 0xFFFF0000
        + [51, 0x01, 10]  # 10: load_imm r1, 10
        + [51, 0x03, 1]  # 13: load_imm r3, 1
        + [30, 0x03] + le_bytes(0x21000, 3) + [0]  # 16: store_imm_u8 [0x21000], 0
        + [1]  # 22: fallthrough (the loop starts a block)
        + [56, 0x04] + le_bytes(0x21000, 4)  # 23: load_u32 r4, [0x21000]
        + [200, 0x14, 4]  # 29: add_64 r4 = r4 + r1
        + [61, 0x04] + le_bytes(0x21000, 4)  # 32: store_u32 [0x21000], r4
        + [201, 0x31, 1]  # 38: sub_64 r1 = r1 - r3
        + [171, 0x01, (23 - 41) & 0xFF]  # 41: branch_ne r1, r0 -> 23
        + [50, 0x02]  # 44: jump_ind r2 + 0: halts
    )
    starts = [0, 10, 13, 16, 22, 23, 29, 32, 38, 41, 44]
    mem = CyMemory(None, [0x21], [0x21])
    result = run(build_blob(bytes(code), starts), memory=mem, gas=1000)
    assert (result.status, result.registers[4], result.registers[1]) == ("halt", 55, 0)
    assert mem.read(0x21000, 4) == (55).to_bytes(4, "little")
    # Five instructions before the loop, ten rounds of five, the final jump.
    assert result.gas == 1000 - 5 - 10 * 5 - 1
