"""The pure-Python reference interpreter (bench/reference.py): the public
conformance vectors, host calls, gas of exits, page-fault addresses and the
three-register arithmetic against a direct model."""

import json
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from qorvel_pvm.asm import INSTRUCTIONS, OPCODES as ASM_OPCODES, assemble

sys.path.insert(0, str(Path(__file__).parent.parent / "bench"))
import reference as ref  # noqa: E402

VECTORS = sorted((Path(__file__).parent / "vectors" / "conformance").glob("*.json"))
M64 = 2**64


def vector_memory(v):
    mem = ref.Memory()
    for run in v["initial-page-map"]:
        pages = range(run["address"] >> 12, (run["address"] + run["length"] + 4095) >> 12)
        (mem.writable if run["is-writable"] else mem.readable).update(pages)
    for chunk in v["initial-memory"]:
        mem.poke(chunk["address"], bytes(chunk["contents"]))
    return mem


def test_every_vector_is_there():
    assert len(VECTORS) == 135


@pytest.mark.parametrize("path", VECTORS, ids=lambda p: p.stem)
def test_conformance_vector(path):
    v = json.loads(path.read_text())
    mem = vector_memory(v)
    r = ref.Interpreter(bytes(v["program"])).run(
        registers=v["initial-regs"], memory=mem, pc=v["initial-pc"], gas=v["initial-gas"])
    assert (r.status, r.pc, r.gas, r.registers) == (
        v["expected-status"], v["expected-pc"], v["expected-gas"], v["expected-regs"])
    if r.status == "page-fault":
        assert r.fault_address == v["expected-page-fault-address"]
    expected = vector_memory({"initial-page-map": [], "initial-memory": v["expected-memory"]})
    for run in v["initial-page-map"]:
        for page in range(run["address"] >> 12, (run["address"] + run["length"] + 4095) >> 12):
            want = bytes(expected.pages.get(page, bytes(4096)))
            assert bytes(mem.pages.get(page, bytes(4096))) == want, hex(page << 12)


def test_reference_and_assembler_name_the_same_instructions():
    assert {op: name for op, (name, _, _) in ref.OPCODES.items()} == \
        {op: info.name for op, info in ASM_OPCODES.items()}


def run(text, gas=1000, **kw):
    return ref.Interpreter(assemble(text)).run(gas=gas, **kw)


# --- host calls and gas -------------------------------------------------------------------


def test_host_call_stops_after_the_call_and_resumes():
    text = "load_imm r1, 5\necalli 7\nadd_64 r2, r1, r1\nadd_64 r2, r2, r1\ntrap\n"
    interp = ref.Interpreter(assemble(text))
    r = interp.run(gas=100)
    assert (r.status, r.host_call, r.pc, r.gas) == ("host", 7, 5, 98)  # 3 not run given back
    r2 = interp.run(registers=r.registers, memory=r.memory, pc=r.pc, gas=r.gas)
    # The rest of the block (two adds and the trap) is charged again as a block of its own.
    assert (r2.status, r2.registers[2], r2.gas) == ("panic", 15, 95)
    assert 100 - r2.gas == 5  # as much as an uninterrupted run


@pytest.mark.parametrize("index,want", [(0, 0), (-1, 0xFFFFFFFF), (0xFFFFFFFF, 0xFFFFFFFF), (0x12345, 0x12345)])
def test_host_call_index_is_32_bit(index, want):
    assert run(f"ecalli {index}").host_call == want


@pytest.mark.parametrize("text,status,pc,gas", [
    ("load_imm r1, 1\ntrap\nfallthrough", "panic", 3, 98),              # no gas back
    ("load_imm r1, 1\nload_u8 r2, 0x10\ntrap", "page-fault", 3, 97),    # fault mid-block
    ("load_imm r1, 1\nload_imm r2, 2\ntrap", "out-of-gas", 0, 2),
])
def test_exits_charge_the_whole_block(text, status, pc, gas):
    r = run(text, gas=100 if status != "out-of-gas" else 2)
    assert (r.status, r.pc, r.gas) == (status, pc, gas)


@pytest.mark.parametrize("text,fault", [
    ("store_u16 r0, 0x20fff", 0x21000),     # page 0x20 writable, 0x21 not
    ("load_u32 r1, 0x21001", 0x21000),
    ("load_u8 r1, 0x1000", 0x1000),
    ("store_imm_u64 0x22ffc, 1", 0x22000),  # page 0x22 read-only
])
def test_page_fault_reports_the_first_refused_page(text, fault):
    mem = ref.Memory()
    mem.writable.add(0x20)
    mem.readable.add(0x22)
    r = run(text, memory=mem)
    assert (r.status, r.fault_address) == ("page-fault", fault)


def test_faulting_load_leaves_its_register():
    r = run("load_imm r1, 9\nload_u64 r1, 0x10\ntrap")
    assert (r.status, r.registers[1]) == ("page-fault", 9)


# --- control flow ----------------------------------------------------------------------


@pytest.mark.parametrize("op,a,b,taken", [
    ("branch_eq", 3, 3, True), ("branch_ne", 3, 3, False),
    ("branch_lt_u", 1, -1, True), ("branch_lt_s", 1, -1, False),
    ("branch_ge_u", 1, -1, False), ("branch_ge_s", 1, -1, True),
])
def test_register_branches(op, a, b, taken):
    r = run(f"load_imm r1, {a}\nload_imm r2, {b}\n{op} r1, r2, yes\nload_imm r3, 1\ntrap\n"
            "yes: load_imm r3, 2\ntrap")
    assert r.registers[3] == (2 if taken else 1)


def test_jump_ind_through_the_table_and_halt():
    r = run(".jumptable there\nload_imm r0, -0x10000\nload_imm r4, 1\njump_ind r4, 1\ntrap\n"
            "there: jump_ind r0, 0")
    assert (r.status, r.pc) == ("halt", 12)


# --- three-register arithmetic against a model -------------------------------------------


def s(v, bits=64):
    v &= (1 << bits) - 1
    return v - (1 << bits) if v >> (bits - 1) else v


def w32(v):
    return s(v, 32) % M64


def model(name, a, b, old):
    a32, b32, sa, sb, sa32, sb32 = a % 2**32, b % 2**32, s(a), s(b), s(a, 32), s(b, 32)

    def tdiv(x, y):
        return int(abs(x) // abs(y)) * (1 if (x < 0) == (y < 0) else -1)

    table = {
        "add_32": lambda: w32(a + b), "sub_32": lambda: w32(a - b), "mul_32": lambda: w32(a * b),
        "div_u_32": lambda: M64 - 1 if b32 == 0 else w32(a32 // b32),
        "div_s_32": lambda: M64 - 1 if b32 == 0 else sa32 if (sa32, sb32) == (-2**31, -1) else tdiv(sa32, sb32),
        "rem_u_32": lambda: w32(a32) if b32 == 0 else w32(a32 % b32),
        "rem_s_32": lambda: sa32 if b32 == 0 else 0 if (sa32, sb32) == (-2**31, -1)
        else sa32 - sb32 * tdiv(sa32, sb32),
        "shlo_l_32": lambda: w32(a32 << (b % 32)), "shlo_r_32": lambda: w32(a32 >> (b % 32)),
        "shar_r_32": lambda: sa32 >> (b % 32),
        "add_64": lambda: a + b, "sub_64": lambda: a - b, "mul_64": lambda: a * b,
        "div_u_64": lambda: M64 - 1 if b == 0 else a // b,
        "div_s_64": lambda: M64 - 1 if b == 0 else a if (sa, sb) == (-2**63, -1) else tdiv(sa, sb),
        "rem_u_64": lambda: a if b == 0 else a % b,
        "rem_s_64": lambda: a if b == 0 else 0 if (sa, sb) == (-2**63, -1) else sa - sb * tdiv(sa, sb),
        "shlo_l_64": lambda: a << (b % 64), "shlo_r_64": lambda: a >> (b % 64),
        "shar_r_64": lambda: sa >> (b % 64),
        "and": lambda: a & b, "xor": lambda: a ^ b, "or": lambda: a | b,
        "mul_upper_s_s": lambda: (sa * sb) >> 64, "mul_upper_u_u": lambda: (a * b) >> 64,
        "mul_upper_s_u": lambda: (sa * b) >> 64,
        "set_lt_u": lambda: int(a < b), "set_lt_s": lambda: int(sa < sb),
        "cmov_iz": lambda: a if b == 0 else old, "cmov_nz": lambda: a if b != 0 else old,
        "rot_l_64": lambda: int(format(a, "064b")[b % 64:] + format(a, "064b")[:b % 64], 2),
        "rot_r_64": lambda: int(format(a, "064b")[64 - b % 64:] + format(a, "064b")[:64 - b % 64], 2),
        "rot_l_32": lambda: w32(int(format(a32, "032b")[b % 32:] + format(a32, "032b")[:b % 32], 2)),
        "rot_r_32": lambda: w32(int(format(a32, "032b")[32 - b % 32:] + format(a32, "032b")[:32 - b % 32], 2)),
        "and_inv": lambda: a & ~b, "or_inv": lambda: a | ~b, "xnor": lambda: ~(a ^ b),
        "max": lambda: max(sa, sb), "max_u": lambda: max(a, b),
        "min": lambda: min(sa, sb), "min_u": lambda: min(a, b),
    }
    return table[name]() % M64


THREE = sorted(n for n, i in INSTRUCTIONS.items() if i.form == "three_reg")
EDGES = [0, 1, 2, 31, 32, 63, 64, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, M64 - 1, M64 - 2**31]
values = st.one_of(st.sampled_from(EDGES), st.integers(0, M64 - 1))


@settings(max_examples=400, deadline=None)
@given(st.sampled_from(THREE), values, values, values)
def test_three_register_arithmetic(name, a, b, old):
    r = ref.Interpreter(assemble(f"{name} r3, r1, r2\ntrap")).run(registers=[0, a, b, old] + [0] * 9)
    assert r.registers[3] == model(name, a, b, old)


@pytest.mark.parametrize("name", THREE)
def test_three_register_same_register_operands(name):
    a = 0x8000_0000_0000_0001
    r = ref.Interpreter(assemble(f"{name} r1, r1, r1\ntrap")).run(registers=[0, a] + [0] * 11)
    assert r.registers[1] == model(name, a, a, a)


# --- decoders: the assembler's and the reference's agree on any bytes -----------------------


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(ASM_OPCODES)), st.binary(max_size=30), st.integers(0, 24), st.integers(0, 40))
def test_decoders_agree(opcode, tail, skip, pc):
    from qorvel_pvm.asm import decode_operands

    code = bytes(pc) + bytes([opcode]) + tail
    prog = ref.Program(ref_blob(code))
    _, _, decode = ref.OPCODES[opcode]
    d = {"vx": 0, "vy": 0, "ra": 0, "rb": 0, "rd": 0, **decode(prog, pc, skip)}
    assert decode_operands(opcode, code, pc, skip) == (d["vx"], d["vy"], d["ra"], d["rb"], d["rd"])


def ref_blob(code):
    from qorvel_pvm.asm import build_blob

    return build_blob(code, [])


# --- the example program -------------------------------------------------------------------

SIEVE = assemble((Path(__file__).parent.parent / "examples" / "sieve.pvmasm").read_text())


def run_sieve(args: bytes):
    """The program in the standard layout: no data, heap from 0x20000, a
    one-page stack, the arguments at 0xFEFF0000."""
    mem = ref.Memory.from_pc(b"", b"", args, 0, 4096, heap=0x20000)
    regs = [0xFFFF0000, 0xFEFE0000] + [0] * 5 + [0xFEFF0000, len(args)] + [0] * 4
    return ref.Interpreter(SIEVE).run(registers=regs, memory=mem, gas=10**8)


def primes_model(n):
    primes = [p for p in range(2, n + 1) if all(p % q for q in range(2, int(p**0.5) + 1))]
    h = 0xCBF29CE484222325
    for p in primes:
        h = ((h ^ p) * 0x100000001B3) % M64
    return len(primes), primes[-1] if primes else 0, h


@pytest.mark.parametrize("args,n", [(b"1000", 1000), (b"", 100), (b"0", 0), (b"1", 1), (b"2", 2),
                                    (b"0097", 97), (b"4096", 4096)])
def test_sieve_counts_primes(args, n):
    r = run_sieve(args)
    assert r.status == "halt"
    assert (r.registers[7], r.registers[8], r.registers[9]) == primes_model(n)
    assert r.registers[2] == n and r.registers[0] == 0xFFFF0000 and r.registers[1] == 0xFEFE0000


def test_sieve_documented_result():
    r = run_sieve(b"1000")
    assert (r.status, r.registers[7], r.registers[8], r.registers[9], 10**8 - r.gas) == (
        "halt", 168, 997, 0xD397ADC67590553C, 11356)


@pytest.mark.parametrize("args", [b"12a", b"-5", b" 7", b"16777217", b"99999999999999999999999"])
def test_sieve_refuses_bad_arguments(args):
    r = run_sieve(args)
    assert (r.status, r.registers[7], r.registers[8]) == ("halt", M64 - 1, 0)
