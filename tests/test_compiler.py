"""The block compiler against programs meant to break it: random bytes as
code, jumps into the middle of instructions and past the code, one huge
block and thousands of small ones.  Each runs on the compiler from its
first block and must end as on the native loop and the general path, with
the process intact.  Also: the limit on machine code per interpreter,
code buffers given back when interpreters go, and the switch that turns the
compiler off."""

import gc
import os
import random
import subprocess
import sys
from array import array
from pathlib import Path

import pytest

from pvmtest import build_blob, child_env, on_engine, regs
from qorvel_pvm import Interpreter, image
from qorvel_pvm.asm import INSTRUCTIONS, assemble, decode_blob
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from test_host_differential import assert_agree, three_ways
from test_native_loop import ADDRESSES, ENGINES, assert_same, new_memory, run_both

pytestmark = pytest.mark.skipif("compiler" not in ENGINES, reason="the block compiler is not supported here")

OP = {name: info.opcode for name, info in INSTRUCTIONS.items()}
U32 = (1 << 32) - 1


def compiled_blocks(blob, registers, gas):
    """Blocks the compiler translated in an eager run of the program."""
    with on_engine("compiler"):
        it = vm_interpreter.Interpreter(CyProgram(blob), jit=True)
        it.run(array("Q", registers), new_memory(), 0, gas)
        return it.compiled_blocks


def random_registers(rnd):
    return [rnd.choice([rnd.randrange(8), rnd.getrandbits(64), (rnd.choice(ADDRESSES) + rnd.randrange(-8, 9)) & U32])
            for _ in range(13)]


def random_bytes_program(seed, host_calls=False):
    """Random bytes as code, a random instruction-start mask (always 0), a
    jump table into starts, the middle of instructions, the end of the code
    and past it."""
    rnd = random.Random(seed)
    code = bytearray(rnd.randbytes(rnd.randrange(1, 120)))
    if host_calls:
        for k in rnd.sample(range(len(code)), len(code) // 6):
            code[k] = OP["ecalli"]
    starts = sorted({0} | {k for k in range(len(code)) if rnd.random() < rnd.choice([0.1, 0.4, 0.9])})
    table = [rnd.choice([rnd.choice(starts), rnd.randrange(len(code) + 1), len(code) + rnd.randrange(1, 9), U32])
             for _ in range(rnd.randrange(6))]
    gas = rnd.choice([rnd.randrange(12), rnd.randrange(12, 3000)])
    return build_blob(bytes(code), starts, table), random_registers(rnd), gas


@pytest.mark.parametrize("seed", range(150))
def test_random_bytes_as_code(seed):
    assert_same(run_both(*random_bytes_program(seed)))


@pytest.mark.parametrize("seed", range(60))
def test_random_bytes_with_host_calls_and_a_handler(seed):
    assert_agree(three_ways(*random_bytes_program(seed, host_calls=True)))


# A loop of two blocks, then a dynamic jump through r1: the table's entry
# k is reached with r1 = 2 * (k + 1).
DYNAMIC = """
        add_imm_64 r2, r2, 1
        branch_ne_imm r2, 3, 0
        add_imm_64 r3, r3, 7
        {jump}
        add_imm_64 r4, r4, 1
        trap
    there:
        add_imm_64 r5, r5, 1
        load_imm_jump_ind r6, r0, 0, -65536
"""


@pytest.mark.parametrize("jump", ["jump_ind r1, 0", "load_imm_jump_ind r7, r1, 5, 0"])
@pytest.mark.parametrize("target", ["block", "inside", "mid-instruction", "end", "past", "far", "odd", "beyond-table"])
def test_dynamic_jumps_into_and_past_the_code(jump, target):
    parts = decode_blob(assemble(DYNAMIC.format(jump=jump)))
    starts = parts.starts()
    there, end = starts[-2], len(parts.code)
    entry = {"block": there, "inside": starts[-1], "mid-instruction": there + 1, "end": end, "past": end + 3,
             "far": U32}.get(target, there)
    blob = build_blob(parts.code, starts, [entry, there, starts[2]])
    r1 = {"odd": 3, "beyond-table": 8}.get(target, 2)
    for gas in (3, 6, 9, 11, 12, 100):  # out of gas at each block on the way
        outcomes = run_both(blob, regs(0, r1), gas)
        assert_same(outcomes)
    assert outcomes[0][0][0] == (0 if target == "block" else 1)


def straight_line(n, seed, fault_at=None):
    """n instructions in one basic block and a trap: arithmetic, stores and
    loads through r2 (which points into read-write data); instruction
    `fault_at` stores into read-only data."""
    rnd = random.Random(seed)
    shapes = [
        lambda: bytes([OP["add_imm_64"], 0x11, rnd.randrange(256)]),
        lambda: bytes([OP["xor"], 0x31, rnd.randrange(5, 12)]),
        lambda: bytes([OP["store_ind_u64"], 0x20 | rnd.choice([1, 3, 5]), rnd.randrange(0, 0x78, 8)]),
        lambda: bytes([OP["load_ind_u32"], 0x20 | rnd.randrange(5, 12), rnd.randrange(0, 0x78, 4)]),
        lambda: bytes([OP["mul_64"], 0x31, rnd.randrange(5, 12)]),
        lambda: bytes([OP["shlo_r_imm_64"], 0x10 | rnd.randrange(5, 12), rnd.randrange(64)]),
    ]
    code, starts = bytearray(), []
    for k in range(n):
        starts.append(len(code))
        code += bytes([OP["store_u8"], 1, 0, 0, 1, 0]) if k == fault_at else rnd.choice(shapes)()
    starts.append(len(code))
    code.append(OP["trap"])
    return build_blob(bytes(code), starts), starts


@pytest.mark.parametrize("gas", [100_000, 100_001, 250_000])
@pytest.mark.parametrize("fault_at", [None, 70_000])
def test_one_huge_block(gas, fault_at):
    """100,000 instructions in one block: one gas short of it, just enough,
    and a store into read-only data far inside it."""
    blob, starts = straight_line(100_000, gas, fault_at)
    outcomes = run_both(blob, regs(0, 0, 0x30000), gas)
    assert_same(outcomes)
    status, pc, left, fault, _ = outcomes[0][0]
    assert compiled_blocks(blob, regs(0, 0, 0x30000), gas) == 1
    if gas < 100_001:
        assert (status, pc) == (3, 0)
    elif fault_at is None:
        assert (status, pc, left) == (1, starts[-1], gas - 100_001)
    else:
        assert (status, pc, fault) == (2, starts[fault_at], 0x10000)


@pytest.mark.parametrize("shape", ["fallthrough", "jump", "branch"])
def test_many_small_blocks(shape):
    """10,000 blocks of one instruction and 10,000 of another, run through
    three times: each pair ends in a fallthrough, a jump to the next block,
    or a branch that skips the next pair or not."""
    code, starts = bytearray(), []
    n = 10_000
    for k in range(n):
        starts.append(len(code))
        code += bytes([OP["add_imm_64"], 0x11, k & 0x7F])
        starts.append(len(code))
        if shape == "fallthrough":
            code.append(OP["fallthrough"])
        elif shape == "jump":
            code += bytes([OP["jump"], 2])
        else:  # branch_(eq|ne)_imm r1, k & 0x7F: past the next pair (7 bytes) or on
            op = OP["branch_eq_imm"] if k % 3 else OP["branch_ne_imm"]
            code += bytes([op, 0x11, k & 0x7F, 11 if k < n - 1 else 4])
    starts.append(len(code))
    code += bytes([OP["add_imm_64"], 0x22, 0xFF])  # r2 -= 1, round again while r2 != 0
    starts.append(len(code))
    code += bytes([OP["branch_ne_imm"], 0x02]) + (-len(code) & U32).to_bytes(4, "little")
    starts.append(len(code))
    code.append(OP["trap"])
    blob = build_blob(bytes(code), starts)
    for gas in (40_000, 200_000):
        outcomes = run_both(blob, regs(0, 0, 3), gas)
        assert_same(outcomes)
    assert outcomes[0][0][0] == 1
    assert compiled_blocks(blob, regs(0, 0, 3), 200_000) > n // 2


def test_code_size_limit_leaves_long_runs_to_the_native_loop():
    """With room for a few blocks' code, a long run over many blocks still
    ends as on the native loop; the compiler stops taking blocks."""
    code, starts = bytearray(), []
    for k in range(300):  # 300 blocks in a loop of 2000 rounds
        starts.append(len(code))
        code += bytes([OP["add_imm_64"], 0x11, k & 0x7F, OP["xor"], 0x21, 3])
        starts.append(len(code) - 3)
        starts.append(len(code))
        code.append(OP["fallthrough"])
    starts.append(len(code))
    code += bytes([OP["add_imm_64"], 0x22, 0xFF])
    starts.append(len(code))
    code += bytes([OP["branch_ne_imm"], 0x02]) + (-len(code) & U32).to_bytes(4, "little")
    starts.append(len(code))
    code.append(OP["trap"])
    blob = build_blob(bytes(code), starts)
    gas = 4 * 300 * 2000 + 10_000

    def run(jit, limit):
        previous = vm_interpreter._set_code_limit(limit)
        try:
            it = vm_interpreter.Interpreter(CyProgram(blob), jit=jit)
            r, mem = regs(0, 0, 2000), new_memory()
            return it.run(r, mem, 0, gas), list(r), mem.__reduce__(), it
        finally:
            vm_interpreter._set_code_limit(previous)

    *want, _ = run(False, 1 << 26)
    *got, it = run(True, 1024)
    assert got == want and want[0][0] == 1
    assert 0 < it.compiled_blocks < 30 and it.code_size <= 1024
    *whole, it = run(True, 1 << 26)
    assert whole == want and it.compiled_blocks > 300


def access_runs(seed):
    """A loop over runs of loads and stores through one base register (r1 or
    r2), as frames and structures are used: offsets close together or up to
    a page apart, the base near page edges, in read-only, unwritten and
    missing pages, some loads into the base itself."""
    rnd = random.Random(seed)
    loads = [OP[n] for n in ("load_ind_u8", "load_ind_i8", "load_ind_u16", "load_ind_i16", "load_ind_u32",
                             "load_ind_i32", "load_ind_u64")]
    stores = [OP[n] for n in ("store_ind_u8", "store_ind_u16", "store_ind_u32", "store_ind_u64")]
    imm_stores = [OP[n] for n in ("store_imm_ind_u8", "store_imm_ind_u16", "store_imm_ind_u32", "store_imm_ind_u64")]
    code, starts = bytearray(), []

    def put(b):
        starts.append(len(code))
        code.extend(b)

    for _ in range(rnd.randrange(1, 4)):
        base = rnd.choice([1, 2])
        center = rnd.choice([0, 8, 0x800, 0xFF8, rnd.randrange(-0x1000, 0x1000)])
        for _ in range(rnd.randrange(2, 9)):
            off = (center + rnd.choice([0, 1, 3, 8, 16, -8, rnd.randrange(-40, 40), rnd.randrange(-0x1000, 0x1000)])) & U32
            kind = rnd.random()
            if kind < 0.4:
                dst = base if rnd.random() < 0.08 else rnd.choice([3, 4, 6, 11, 12])
                put(bytes([rnd.choice(loads), dst | base << 4]) + off.to_bytes(4, "little"))
            elif kind < 0.8:
                put(bytes([rnd.choice(stores), rnd.choice([0, 3, 4, 7, 12]) | base << 4]) + off.to_bytes(4, "little"))
            else:
                put(bytes([rnd.choice(imm_stores), base | 4 << 4]) + off.to_bytes(4, "little")
                    + rnd.getrandbits(32).to_bytes(4, "little"))
        put(bytes([OP["add_imm_64"], 0x33, rnd.randrange(256)]))
    put(bytes([OP["add_imm_64"], 0x55, 0xFF]))
    put(bytes([OP["branch_ne_imm"], 0x05]) + (-len(code) & U32).to_bytes(4, "little"))
    put(bytes([OP["trap"]]))
    pointer = [rnd.choice(ADDRESSES + [0x31000, 0x32000, 0xFEFDE000]) + rnd.randrange(-24, 25) & U32 for _ in range(2)]
    registers = [rnd.getrandbits(64), *pointer, 5, rnd.getrandbits(64), rnd.randrange(1, 6)] + \
        [rnd.getrandbits(64) for _ in range(7)]
    return build_blob(bytes(code), starts), registers


@pytest.mark.parametrize("seed", range(300))
def test_runs_of_accesses_through_one_base(seed):
    blob, registers = access_runs(seed)
    assert_same(run_both(blob, registers, 100_000))


@pytest.mark.parametrize("page_end", [0x33000, 0x12000, 0xFEFE0000])
@pytest.mark.parametrize("past", [-1, 0, 1, 7])
@pytest.mark.parametrize("store", [False, True])
def test_run_of_accesses_at_the_end_of_a_page(page_end, past, store):
    """Two accesses through r1, twice: first well inside a page (which puts
    the page in the map), then with their last byte just before, at or past
    the end of the page, which has no next page: past it, the second one
    faults."""
    width = {False: ("load_ind_u32", "load_ind_u64"), True: ("store_ind_u32", "store_ind_u64")}[store]
    source = f"""
    again:
        {width[0]} r{2 if store else 3}, r1, 0
        {width[1]} r{2 if store else 4}, r1, 16
        add_imm_64 r1, r1, 256
        add_imm_64 r5, r5, -1
        branch_ne_imm r5, 0, again
        trap
    """
    base = page_end - 24 + past - 256
    outcomes = run_both(assemble(source), regs(0, base, 7, 0, 0, 2), 100)
    assert_same(outcomes)
    status, _, _, fault, _ = outcomes[0][0]
    writable = page_end != 0x12000
    if past > 0:
        assert (status, fault) == (2, page_end if writable or not store else page_end - 0x1000)
    else:
        assert (status, fault) == ((1, None) if writable or not store else (2, page_end - 0x1000))


EXAMPLES = sorted((Path(__file__).parent.parent / "examples").glob("*.pvm*"))


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_example_programs_on_every_engine(path):
    """The shipped programs, as `qorvel-pvm run` lays them out (the sieve's
    container as `--image` does, with the argument "1000")."""
    if path.suffix == ".pvmimg":
        img = image.load(path.read_bytes(), args=b"1000")
        blob = image._parse(path.read_bytes())[4]  # the container's program blob
        registers = list(img.registers)

        def memory():
            return image.load(path.read_bytes(), args=b"1000").memory
    else:
        blob, registers = assemble(path.read_text()), [0xFFFF0000, 0xFEFE0000] + [0] * 11

        def memory():
            return CyMemory.from_pc(b"", b"", b"", 16, 65536, 0x20000)
    outcomes = run_both(blob, registers, 10**7, memory)
    assert_same(outcomes)
    assert outcomes[0][0][0] in (0, 1)  # halt or panic (jumptable ends its script with a trap)


def _mapped():
    """Lines of /proc/self/maps, VmSize in KiB, open file descriptors."""
    with open("/proc/self/maps") as f:
        lines = sum(1 for _ in f)
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) for line in f if line.startswith("VmSize:"))
    return lines, size, len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_code_buffers_go_with_their_interpreters():
    program = CyProgram(assemble("""
    loop:
        add_imm_64 r1, r1, -1
        store_ind_u32 r1, r2, 0
        branch_ne_imm r1, 0, loop
        trap
    """))
    with on_engine("compiler"):
        def batch(n):
            for _ in range(n):
                it = vm_interpreter.Interpreter(program, jit=True)
                assert it.run(regs(0, 20, 0x30000), new_memory(), 0, 1000)[0] == 1
                assert it.compiled_blocks >= 2
            gc.collect()

        batch(200)
        lines, size, fds = _mapped()
        batch(10_000)
        after = _mapped()
    assert after[0] <= lines + 4 and after[1] <= size + 4096 and after[2] <= fds


def test_jit_switch_names_the_engine():
    blob = assemble("add_imm_64 r1, r0, 42\nload_imm_jump_ind r0, r0, 0, -65536")
    assert Interpreter(blob, jit=False).engine == "native loop"
    assert Interpreter(blob, jit=True).engine == "compiler"
    assert vm_interpreter.Interpreter(CyProgram(blob), jit=False).compiled_blocks is None
    script = """
import qorvel_pvm
from qorvel_pvm.asm import assemble
blob = assemble('''
loop:
    add_imm_64 r1, r1, 1
    branch_ne_imm r1, 100000, loop
    trap
''')
it = qorvel_pvm.Interpreter(blob)
result = it.run(gas=1_000_000)
print(qorvel_pvm.engine(), '|', it.engine, '|', it._native.compiled_blocks, result.status, result.registers[1], result.gas)
"""
    for value, engine in (("0", "native loop"), ("1", "compiler")):
        out = subprocess.run([sys.executable, "-c", script], env=child_env(QORVEL_PVM_JIT=value),
                             capture_output=True, text=True, check=True).stdout.split()
        compiled = "None" if engine == "native loop" else "2"
        assert " ".join(out) == f"{engine} | {engine} | {compiled} panic 100000 799999"
