"""The command line, run as a user runs it: a subprocess, its output and exit code."""

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from pvmtest import child_env
from qorvel_pvm.asm import assemble

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
U64 = 2**64


def cli(*args, cwd=None):
    env = child_env()
    return subprocess.run(
        [sys.executable, "-m", "qorvel_pvm", *map(str, args)],
        capture_output=True, text=True, env=env, cwd=cwd, timeout=120,
    )


def registers(out):
    """Register values from a run's report."""
    found = dict(re.findall(r"^r(\d+)\s+= (\d+)\s+0x[0-9a-f]{16}", out, re.M))
    assert len(found) == 13, out
    return [int(found[str(i)]) for i in range(13)]


def field(out, name):
    m = re.search(rf"^{name}: (.*)$", out, re.M)
    assert m, out
    return m.group(1)


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_bytes(text) if isinstance(text, bytes) else p.write_text(text)
    return p


def collatz_steps(n):
    steps = odd = 0
    while n > 1:
        n, steps, odd = (3 * n + 1, steps + 1, odd + 1) if n % 2 else (n // 2, steps + 1, odd)
    return steps, odd


# ---------------------------------------------------------------------------
# The shipped examples do what their headers say.

@pytest.mark.parametrize("name, expected", [
    ("collatz", {0: 1, 1: 111, 2: 41}),
    ("jumptable", {0: U64 - 27, 1: 0, 3: 7}),
    ("heap", {0: 0x30000, 1: 512, 4: 0x31FF0, 5: 0x32000}),
    ("powers", {1: 64, 4: 1 << 63, 5: 63}),
])
def test_examples_halt_with_documented_result(name, expected):
    r = cli("run", EXAMPLES / f"{name}.pvmasm")
    assert r.returncode == 0, r.stdout + r.stderr
    assert field(r.stdout, "status") == "halt"
    regs = registers(r.stdout)
    assert {k: regs[k] for k in expected} == expected
    assert r.stderr == ""


@pytest.mark.parametrize("args, primes, largest, gas", [
    ("31303030", 168, 997, 11356),  # "1000"
    ("", 25, 97, 1129),             # no argument: up to 100
    ("3130x", None, None, None),    # not hex: a usage error
])
def test_sieve_container_runs_from_its_image(args, primes, largest, gas):
    r = cli("run", "--image", EXAMPLES / "sieve.pvmimg", *(["--args", args] if args else []))
    if primes is None:
        assert r.returncode == 2 and "--args" in r.stderr
        return
    assert r.returncode == 0, r.stdout + r.stderr
    regs = registers(r.stdout)
    assert (regs[7], regs[8]) == (primes, largest)
    assert field(r.stdout, "gas").startswith(f"{gas} used")


def test_shipped_container_is_the_assembled_sieve(tmp_path):
    """The image in examples/ is what `asm --image` makes of its source today."""
    out = tmp_path / "sieve.pvmimg"
    r = cli("asm", "--image", EXAMPLES / "sieve.pvmasm", "-o", out)
    assert r.returncode == 0 and "a container" in r.stdout, r.stderr
    assert out.read_bytes() == (EXAMPLES / "sieve.pvmimg").read_bytes()
    r = cli("asm", "--stack-size", "4096", EXAMPLES / "sieve.pvmasm", "-o", out)
    assert r.returncode == 2 and "apply only to asm --image" in r.stderr


def test_collatz_reports_gas_and_signed_values():
    out = cli("run", EXAMPLES / "collatz.pvmasm").stdout
    assert field(out, "gas") == "755 used, 999245 left"
    out = cli("run", EXAMPLES / "jumptable.pvmasm").stdout
    assert re.search(r"^r0  = 18446744073709551589  0xffffffffffffffe5  \(-27\)$", out, re.M)


@pytest.mark.parametrize("n", [1, 6, 97, 871])
def test_collatz_input_register(n):
    out = cli("run", EXAMPLES / "collatz.pvmasm", "--reg", f"r0={n}").stdout
    assert registers(out)[1:3] == list(collatz_steps(n))


def test_powers_fill_memory():
    r = cli("run", EXAMPLES / "powers.pvmasm", "--dump", "0x20000:512", "--dump", "0x1fff8:16")
    dump = r.stdout[r.stdout.index("memory 0x00020000"):]
    data = bytes.fromhex("".join(line.split(None, 1)[1] for line in dump.splitlines()[1:33]))
    assert data == b"".join((1 << k).to_bytes(8, "little") for k in range(64))
    # 0x1fff8..0x1ffff sits on an inaccessible page.
    assert "0001fff0                          -- -- -- -- -- -- -- --\n  00020000  01 00" in r.stdout


@pytest.mark.parametrize("pages, start", [(0, 0x20000), (4, 0x24000)])
def test_heap_pages_move_the_heap(pages, start):
    regs = registers(cli("run", EXAMPLES / "heap.pvmasm", "--heap-pages", pages).stdout)
    assert (regs[0], regs[1], regs[5]) == (start, 512, start + 8192)


def test_without_writable_pages_powers_faults():
    r = cli("run", EXAMPLES / "powers.pvmasm", "--heap-pages", "0")
    assert r.returncode == 1
    assert field(r.stdout, "status") == "page-fault"
    assert field(r.stdout, "fault address") == "0x00020000 (page 0x20)"


# ---------------------------------------------------------------------------
# Statuses, options and program formats.

@pytest.mark.parametrize("stack, status", [(None, "halt"), ("0", "page-fault"), ("1", "halt")])
def test_stack_size(tmp_path, stack, status):
    # Stores 8 bytes just below 0xfefe0000, the top of the stack.
    src = write(tmp_path, "s.pvmasm", "store_ind_u64 r0, r1, -0x1020008\nload_imm_jump_ind r1, r1, 0, -0x10000\n")
    r = cli("run", src, *(["--stack-size", stack] if stack else []))
    assert field(r.stdout, "status") == status
    assert r.returncode == (0 if status == "halt" else 1)


# A first block of 1 gas, then a loop block of 2.
LOOP = "fallthrough\nl: add_imm_64 r0, r0, 1\njump l"


@pytest.mark.parametrize("source, args, status, pc, gas", [
    ("trap", [], "panic", 0, "1 used, 999999 left"),
    (LOOP, ["--gas", "7"], "out-of-gas", 1, "7 used, 0 left"),
    (LOOP, ["--gas", "0x8"], "out-of-gas", 1, "7 used, 1 left"),
    ("trap\nadd_imm_64 r0, r0, 1\nload_imm_jump_ind r1, r1, 0, -0x10000", ["--pc", "1"], "halt", 4, "2 used, 999998 left"),
])
def test_statuses_and_exit_codes(tmp_path, source, args, status, pc, gas):
    r = cli("run", write(tmp_path, "p.s", source), *args)
    assert (field(r.stdout, "status"), int(field(r.stdout, "pc")), field(r.stdout, "gas")) == (status, pc, gas)
    assert r.returncode == (0 if status == "halt" else 1)
    assert ("fault address" in r.stdout) is (status == "page-fault")


def test_registers_from_the_command_line(tmp_path):
    src = write(tmp_path, "p.asm", "add_imm_64 r12, r12, 1\nload_imm_jump_ind r0, r0, 0, -0x10000")
    out = cli("run", src, "--reg", "r3=-1", "--reg", "R12=0x7f", "--reg", f"r5={U64 - 1}").stdout
    assert registers(out) == [0, 0, 0, U64 - 1, 0, U64 - 1] + [0] * 6 + [0x80]


def test_program_formats(tmp_path):
    text = "add_imm_64 r1, r1, 9\nload_imm_jump_ind r0, r0, 0, -0x10000\n"
    blob = assemble(text)
    for name, content in [("p.pvmasm", text), ("p.txt", text), ("p", text), ("p.bin", blob), ("p.s", text)]:
        r = cli("run", write(tmp_path, name, content))
        assert r.returncode == 0 and registers(r.stdout)[1] == 9, (name, r.stderr)


def test_trace(tmp_path):
    src = write(tmp_path, "t.s", "add_imm_64 r1, r1, 5\nfallthrough\nl: add_imm_64 r1, r1, -1\n"
                "branch_ne_imm r1, 3, l\nstore_ind_u8 r1, r1, 0\n")
    out = cli("run", src, "--trace").stdout
    regs_after = lambda r1: " ".join(f"r{i}={r1 if i == 1 else 0}" for i in range(13))
    assert out.startswith(
        "block 0 (2 gas)\n"
        "         0  add_imm_64 r1, r1, 5\n"
        "         3  fallthrough\n"
        f"  -> {regs_after(5)}\n"
        "block 4 (2 gas)\n"
        "         4  add_imm_64 r1, r1, -1\n"
        "         7  branch_ne_imm r1, 3, 4\n"
        f"  -> {regs_after(4)}\n"
        "block 4 (2 gas)\n"
    )
    # The block that ends the run, up to the faulting store.
    assert (
        "block 11\n"
        "        11  store_ind_u8 r1, r1, 0\n"
        f"  => page-fault; {regs_after(3)}\n\nstatus: page-fault\n"
    ) in out


def test_trace_of_out_of_gas_and_long_runs():
    # 20 gas: start block 4, then for 27 (odd) 1 + 2 + 5, for 82 (even)
    # 1 + 2 + 3, then 1: the 2-gas block at pc 12 cannot be paid for.
    out = cli("run", EXAMPLES / "collatz.pvmasm", "--trace", "--gas", "20").stdout
    assert "block 12 (2 gas): not run, 1 gas left\n\nstatus: out-of-gas\npc: 12\n" in out
    out = cli("run", EXAMPLES / "jumptable.pvmasm", "--trace").stdout
    assert out.count("load_imm_jump_ind r2, r2, 0, 0") == 8
    assert "  => halt; r0=-27 " in out


@pytest.mark.parametrize("args", [
    ["run", EXAMPLES / "collatz.pvmasm", "--trace"],
    ["vectors", "-v", "many.json"],  # more output than a pipe holds
])
def test_output_into_closed_pipe_is_quiet(tmp_path, args):
    one = (ROOT / "tests" / "vectors" / "trap.json").read_text()
    write(tmp_path, "many.json", "[" + ",".join([one] * 3000) + "]")
    args = [tmp_path / a if a == "many.json" else a for a in args]
    env = child_env()
    p = subprocess.Popen([sys.executable, "-m", "qorvel_pvm", *map(str, args)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    p.stdout.readline()
    p.stdout.close()
    err = p.stderr.read().decode()
    assert p.wait(timeout=60) == 1
    assert "Traceback" not in err and "Error" not in err


# ---------------------------------------------------------------------------
# asm and disasm.

def test_asm_disasm_round_trip(tmp_path):
    out_blob = tmp_path / "jt.pvm"
    r = cli("asm", EXAMPLES / "jumptable.pvmasm", "-o", out_blob)
    assert r.returncode == 0 and r.stdout.startswith(f"wrote {out_blob}: ")
    blob = out_blob.read_bytes()
    assert blob == assemble((EXAMPLES / "jumptable.pvmasm").read_text())
    text = cli("disasm", out_blob).stdout
    assert text.startswith(".jumptable ") and assemble(text) == blob
    assert registers(cli("run", out_blob).stdout)[0] == U64 - 27


def cli_bytes(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "qorvel_pvm", *map(str, args)], input=stdin,
                          capture_output=True, env=child_env(), timeout=120)


def test_dash_means_standard_input_and_output():
    text = (EXAMPLES / "jumptable.pvmasm").read_bytes()
    r = cli_bytes("asm", "-", "-o", "-", stdin=text)
    assert r.returncode == 0 and r.stdout == assemble(text.decode())
    assert r.stderr.decode().startswith("wrote standard output: ")
    assert assemble(cli_bytes("disasm", "-", stdin=r.stdout).stdout.decode()) == r.stdout
    assert registers(cli_bytes("run", "-", stdin=r.stdout).stdout.decode())[0] == U64 - 27
    r = cli_bytes("run", "-")
    assert r.returncode == 2 and r.stderr.decode().endswith("error: <stdin>: empty file: not a program\n")


@pytest.mark.parametrize("first", [b"#", b";"])
def test_a_blob_that_reads_as_a_comment_runs_as_a_blob(first):
    # Its jump-table size byte is '#' or ';': as UTF-8 text it is one comment line.
    blob = first + b"\x01\x02" + b"\x02" * first[0] + b"\x32\x00\x01"   # jump_ind r0, 0: returns
    r = cli_bytes("run", "-", "--reg", "r0=0xffff0000", stdin=blob)
    assert r.returncode == 0 and r.stdout.decode().startswith("status: halt"), r.stdout


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_a_full_standard_output_is_an_error_line():
    with open("/dev/full", "wb") as full:
        r = subprocess.run([sys.executable, "-m", "qorvel_pvm", "run", EXAMPLES / "collatz.pvmasm"], stdout=full,
                           stderr=subprocess.PIPE, env=child_env(), timeout=120)
    assert r.returncode == 2 and r.stderr.decode().endswith("error: cannot write the output: No space left on device\n")


@pytest.mark.parametrize("source, args, expected", [
    ("collatz", [], {"status": "halt", "pc": 42, "gas_used": 755, "gas_left": 1_000_000 - 755,
                     "fault_address": None, "host_call": None}),
    ("powers", ["--heap-pages", "0", "--dump", "0x1fffe:4"],
     {"status": "page-fault", "fault_address": 0x20000,
      "dumps": [{"address": 0x1FFFE, "length": 4, "hex": "--------"}]}),
])
def test_run_json(source, args, expected):
    r = cli("run", EXAMPLES / f"{source}.pvmasm", "--json", "--trace", *args)
    report = json.loads(r.stdout)   # one object, the trace on standard error
    assert {k: report[k] for k in expected} == expected
    assert len(report["registers"]) == 13 and r.stderr.startswith("block ")
    assert r.returncode == (0 if expected["status"] == "halt" else 1)


@pytest.mark.parametrize("json_output, trace", [(False, False), (True, False), (False, True)])
def test_ctrl_c_reports_the_state(tmp_path, json_output, trace):
    src = write(tmp_path, "spin.s", "l: add_imm_64 r1, r1, 1\njump l\n")
    args = ["run", src, "--gas", str(1 << 62)] + (["--json"] if json_output else []) + (["--trace"] if trace else [])
    with open(tmp_path / "out", "w") as out_file:   # a file: a trace would fill a pipe and block the run
        p = subprocess.Popen([sys.executable, "-m", "qorvel_pvm", *map(str, args)], stdout=out_file,
                             stderr=subprocess.PIPE, text=True, env=child_env())
        stat, deadline = Path(f"/proc/{p.pid}/stat"), time.monotonic() + 60
        while int(stat.read_text().rsplit(")", 1)[1].split()[11]) < 50:   # 0.5 s of CPU: running
            assert time.monotonic() < deadline
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        err = p.communicate(timeout=60)[1]
    out = (tmp_path / "out").read_text()
    assert p.returncode == 130, err
    if json_output:
        report = json.loads(out)
        state = report["status"], report["pc"], report["registers"][1], report["gas_used"]
    else:
        state = field(out, "status"), int(field(out, "pc").split()[0]), registers(out)[1], \
            int(field(out, "gas").split()[0])
    status, pc, r1, used = state
    assert status == "interrupted" and pc == 0 and r1 > (10 if trace else 1000) and used == 2 * r1


# ---------------------------------------------------------------------------
# Usage errors: exit code 2 and one clear line, never a traceback.

@pytest.mark.parametrize("args, message", [
    (["run", "missing.bin"], "cannot read missing.bin: No such file or directory"),
    (["run", "bad.pvmasm"], "bad.pvmasm: line 2: unknown mnemonic 'add_imm_6' (did you mean 'add_imm_64'?)"),
    (["run", "bad.txt"], "bad.txt: line 2: unknown mnemonic"),
    (["run", "bad.bin"], "bad.bin: not a program blob: "),
    (["run", "binary.s"], "binary.s: not UTF-8 text"),
    (["run", "ok.s", "--heap-pages", "0xfffff"], "overlap"),
    (["asm", "bad.pvmasm", "-o", "out.pvm"], "bad.pvmasm: line 2: "),
    (["asm", "ok.s", "-o", "no/such/dir/out.pvm"], "cannot write no/such/dir/out.pvm"),
    (["disasm", "ok.s"], "ok.s: not a program blob: "),
    (["run", "vector.json"], "vector.json: not a program: this looks like JSON (test vectors run with the 'vectors'"),
    (["run", "empty.bin"], "empty.bin: empty file: not a program"),
    (["vectors", "nowhere"], "nowhere: no such file or directory"),
    (["vectors", "."], ".: no .json vector files in this directory"),
])
def test_input_errors(tmp_path, args, message):
    write(tmp_path, "bad.pvmasm", "trap\nadd_imm_6 r1, r1, 1\n")
    write(tmp_path, "bad.txt", "trap\nadd_imm_6 r1, r1, 1\n")
    write(tmp_path, "bad.bin", b"\x00\x01\x02\xff")
    write(tmp_path, "binary.s", b"\xff\xfe\x00")
    write(tmp_path, "ok.s", "trap\n")
    write(tmp_path, "empty.bin", b"")
    if "vector.json" in args:  # kept out of the directory `vectors .` searches
        write(tmp_path, "vector.json", '{"name": "trap", "initial-pc": 0}\n')
    r = cli(*args, cwd=tmp_path)
    assert r.returncode == 2
    assert r.stdout == ""
    lines = r.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("python -m qorvel_pvm: error: "), r.stderr
    assert message in lines[0]


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["frobnicate"], "invalid choice"),
    (["run", "x", "--reg", "r13=1"], "no register 'r13': registers are r0 to r12"),
    (["run", "x", "--reg", "r1"], "expected rN=VALUE"),
    (["run", "x", "--reg", f"r1={U64}"], "does not fit in 64 bits"),
    (["run", "x", "--gas", "-1"], "gas must be in 0..0x7fffffffffffffff"),
    (["run", "x", "--pc", "ten"], "not a number: 'ten'"),
    (["run", "x", "--dump", "0xffffffff:2"], "not inside the 32-bit address space"),
    (["run", "x", "--dump", "0:0x100001"], "at most 0x100000 bytes per dump"),
    (["asm", "x"], "the following arguments are required: -o/--output"),
    (["vectors", "--jobs", "-1", "x"], "jobs must be in 0..0x400"),
])
def test_argument_errors(args, message):
    r = cli(*args)
    assert r.returncode == 2
    assert message in r.stderr and "Traceback" not in r.stderr
