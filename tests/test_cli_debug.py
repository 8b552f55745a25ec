"""The command line's debugging tools: breakpoints, steps, instruction traces
and the profile command, run as a user runs them (a subprocess)."""

import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import qorvel_pvm
from pvmtest import child_env
from qorvel_pvm import Interpreter
from qorvel_pvm.asm import assemble, decode_blob, disassemble_at
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.profile import load_symbols

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
FIB = EXAMPLES / "fib.pvmasm"
SYMBOLS = EXAMPLES / "fib.sym"
GAS = 1_000_000

def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "qorvel_pvm", *map(str, args)],
                          capture_output=True, text=True, env=child_env(), cwd=cwd, timeout=120)


def field(out, name):
    m = re.search(rf"^{name}: (.*)$", out, re.M)
    assert m, out
    return m.group(1)


def registers(out):
    found = dict(re.findall(r"^r(\d+)\s+= (\d+)\s+0x[0-9a-f]{16}", out, re.M))
    assert len(found) == 13, out
    return [int(found[str(i)]) for i in range(13)]


FIB_BLOB = assemble(FIB.read_text())
_FIB = decode_blob(FIB_BLOB)
#: Instruction pcs of fib.pvmasm in order; its labels' pcs.
PCS = _FIB.starts()
FIB_ENTRY, FIB_SMALL, SUM_SQUARES, SQUARE, RETURN = 44, 89, 91, 117, 42


def text_at(pc):
    return disassemble_at(_FIB.code, _FIB.bitmask, pc)[0]


def test_fib_example_and_its_symbols():
    r = cli("run", FIB)
    assert r.returncode == 0 and field(r.stdout, "gas") == f"1589 used, {GAS - 1589} left"
    assert (registers(r.stdout)[7], registers(r.stdout)[8], int(field(r.stdout, "pc"))) == (55, 385, RETURN)
    symbols = load_symbols(SYMBOLS)
    assert symbols == {0: "main", FIB_ENTRY: "fib", SUM_SQUARES: "sum_squares", SQUARE: "square"}
    # Each named function is the target of a call that leaves its return address in r0.
    for pc in (FIB_ENTRY, SUM_SQUARES, SQUARE):
        assert any(text_at(p).startswith("load_imm_jump r0, ") and text_at(p).endswith(f", {pc}") for p in PCS)
    assert text_at(FIB_SMALL) == "jump_ind r0, 0"


# ---------------------------------------------------------------------------
# Containers and blobs in the wrong place; usage errors (no run needed)


@pytest.mark.parametrize("args, stdin, message", [
    (["run", EXAMPLES / "sieve.pvmimg"], None,
     f"{EXAMPLES / 'sieve.pvmimg'}: a program container, not a program blob: run it with --image {EXAMPLES / 'sieve.pvmimg'}"),
    (["profile", EXAMPLES / "sieve.pvmimg"], None, "a program container, not a program blob: run it with --image"),
    (["run", "-"], "sieve", "<stdin>: a program container, not a program blob: run it with --image -"),
    (["disasm", EXAMPLES / "sieve.pvmimg"], None, "a program container, not a program blob (disasm reads the program blob alone)"),
    (["run", "--image", "fib.bin"], None, "fib.bin: a program blob, not a program container: run it without --image"),
])
def test_program_files_in_the_wrong_place(tmp_path, args, stdin, message):
    (tmp_path / "fib.bin").write_bytes(FIB_BLOB)
    data = (EXAMPLES / "sieve.pvmimg").read_bytes() if stdin else b""
    r = subprocess.run([sys.executable, "-m", "qorvel_pvm", *map(str, args)], input=data, capture_output=True,
                       env=child_env(), cwd=tmp_path, timeout=120)
    lines = r.stderr.decode().splitlines()
    assert r.returncode == 2 and r.stdout == b""
    assert len(lines) == 1 and lines[0].startswith("python -m qorvel_pvm: error: ") and message in lines[0], lines


@pytest.mark.parametrize("args, message", [
    (["run", FIB, "--last", "3"], "--last applies only to --trace-instructions"),
    (["run", FIB, "--max-steps", "0"], "max steps must be in 1.."),
    (["profile"], "profile needs either PROGRAM or --image FILE"),
    (["profile", FIB, "--folded", "-", "--svg", "-"], "only one of --folded, --speedscope and --svg"),
    (["profile", FIB, "--symbols", "bad.sym"], "bad.sym: line 3: not a pc (decimal or 0x hex, below 2**32): '0x'"),
    # A full disk shows up when the buffered records are written out at the end.
    pytest.param(["run", FIB, "--trace-instructions", "/dev/full"], "cannot write /dev/full",
                 marks=pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")),
])
def test_debugging_usage_errors(tmp_path, args, message):
    (tmp_path / "bad.sym").write_text("0 main\n# next\n0x f\n")
    r = cli(*args, cwd=tmp_path)
    assert r.returncode == 2 and message in r.stderr and "Traceback" not in r.stderr, r.stderr


def test_profile_refuses_an_output_it_cannot_write_before_running(tmp_path):
    r = cli("profile", FIB, "--folded", "stacks.txt", "--svg", "no/such/dir/flame.svg", cwd=tmp_path)
    assert r.returncode == 2 and "cannot write no/such/dir/flame.svg" in r.stderr
    assert r.stdout == ""  # no run report: the run did not start


# ---------------------------------------------------------------------------
# Breakpoints and steps


@pytest.mark.parametrize("breaks, status, pc, used, regs", [
    # At fib's entry, called by main's first block (7 instructions).
    ([FIB_ENTRY], "breakpoint", FIB_ENTRY, 7, {0: 2, 7: 10}),
    # fib(10) .. fib(2) each run their test and their first call (6 gas),
    # then fib(1) its test: the first return of a small case comes before square.
    ([SQUARE, FIB_SMALL], "breakpoint", FIB_SMALL, 7 + 9 * 6 + 1, {7: 1}),
    # A breakpoint where the run starts does not stop it there.
    ([0], "halt", RETURN, 1589, {7: 55, 8: 385}),
])
def test_breakpoints(breaks, status, pc, used, regs):
    r = cli("run", FIB, *[a for b in breaks for a in ("--break", b)])
    assert r.returncode == 0, r.stderr
    assert (field(r.stdout, "status"), int(field(r.stdout, "pc"))) == (status, pc)
    assert field(r.stdout, "gas") == f"{used} used, {GAS - used} left"
    values = registers(r.stdout)
    assert {k: values[k] for k in regs} == regs
    if status == "breakpoint":
        assert field(r.stdout, "next") == text_at(pc)


@pytest.mark.parametrize("steps, status, pc, used", [
    (3, "step", PCS[3], 3),          # inside main's first block: the rest of it is not charged
    (1588, "step", RETURN, 1588),    # before the last instruction
    (1589, "halt", RETURN, 1589),    # the last instruction halts: the program's own ending
])
def test_max_steps(steps, status, pc, used):
    r = cli("run", FIB, "--max-steps", steps)
    assert r.returncode == 0, r.stderr
    assert (field(r.stdout, "status"), int(field(r.stdout, "pc"))) == (status, pc)
    assert field(r.stdout, "gas") == f"{used} used, {GAS - used} left"


def test_breakpoint_json_and_block_trace():
    r = cli("run", FIB, "--break", FIB_SMALL, "--json", "--trace")
    report = json.loads(r.stdout)
    assert (report["status"], report["pc"], report["gas_used"], report["registers"][7]) == ("breakpoint", FIB_SMALL, 62, 1)
    assert r.returncode == 0
    # The block trace ends where the run stopped, before the instruction at the breakpoint.
    assert re.search(rf"  => breakpoint at {FIB_SMALL}; r0=6 r1=\S+ r2=0 ", r.stderr), r.stderr
    r = cli("run", FIB, "--max-steps", 2, "--trace")
    assert f"block 0\n         0  {text_at(0)}\n  {PCS[1]:>8}  {text_at(PCS[1])}\n  => step at {PCS[2]}; " in r.stdout


@pytest.mark.parametrize("how", ["breakpoints", "max_steps"])
def test_resuming_from_every_stop_ends_as_one_run(how):
    """The resume loop of docs/DEBUGGING.md: the same end and total gas as a
    run that never stopped."""
    def fresh():
        return CyMemory.from_pc(b"", b"", b"", 16, 65536, 0x20000)

    whole = Interpreter(FIB_BLOB).run(memory=fresh(), gas=GAS)
    it = Interpreter(FIB_BLOB)
    options = {"breakpoints": {FIB_ENTRY}} if how == "breakpoints" else {"max_steps": 100}
    r = it.run(memory=fresh(), gas=GAS, **options)
    stops = 0
    while r.status in ("breakpoint", "step"):
        stops += 1
        r = it.run(registers=r.registers, memory=r.memory, pc=r.pc, gas=r.gas, **options)
    assert stops == (177 if how == "breakpoints" else 1589 // 100)
    assert (r.status, r.pc, r.gas, r.registers) == (whole.status, whole.pc, whole.gas, whole.registers)
    assert r.memory.contents_equal(whole.memory)


# ---------------------------------------------------------------------------
# Instruction traces


def read_lines(text):
    return [json.loads(line) for line in text.splitlines()]


# fib(2): main's 7, fib 19 (with fib(1) and fib(0)), main's 3, sum_squares
# of 1 and 2 with two squares 21, main's last 4.
FIB2_STEPS = 7 + 19 + 3 + 21 + 4


def test_instruction_trace(tmp_path):
    out = tmp_path / "trace.jsonl"
    r = cli("run", FIB, "--reg", "r7=2", "--trace-instructions", out)
    assert r.returncode == 0 and field(r.stdout, "status") == "halt"
    lines = read_lines(out.read_text())
    assert len(lines) == FIB2_STEPS + 1
    assert [line["pc"] for line in lines[:7]] == PCS[:7]
    first, store = lines[0], lines[4]
    assert first == {"pc": 0, "instruction": text_at(0), "gas": GAS - 7,
                     "registers": {"r0": 2**64 - 0x10000}, "memory": []}
    # r1 = 0xfefe0000 - 16 (as a 64-bit value 0xfffffffffefdfff0); the store writes r0 there.
    assert store["instruction"] == "store_ind_u64 r0, r1, 0" and store["registers"] == {}
    assert store["memory"] == [{"access": "write", "address": 0xFEFDFFF0, "length": 8, "bytes": "0000ffffffffffff"}]
    # main reloads n after fib returned 1.
    reload = next(line for line in lines if line["instruction"] == "load_ind_u64 r7, r1, 8" and line["pc"] < FIB_ENTRY)
    assert reload["registers"] == {"r7": 2}
    assert reload["memory"] == [{"access": "read", "address": 0xFEFDFFF8, "length": 8, "bytes": "0200000000000000"}]
    assert lines[-2]["pc"] == RETURN and lines[-2]["gas"] == GAS - FIB2_STEPS
    assert lines[-1] == {"end": "halt", "pc": RETURN, "gas": GAS - FIB2_STEPS, "fault_address": None, "host_call": None}


@pytest.mark.parametrize("last", [0, 4, FIB2_STEPS + 10])
def test_instruction_trace_keeps_the_last_lines(last):
    r = cli("run", FIB, "--reg", "r7=2", "--trace-instructions", "-", "--last", last)
    # Standard output holds only the trace; the report goes to standard error.
    lines = read_lines(r.stdout)
    kept = min(last, FIB2_STEPS)
    assert len(lines) == kept + 1 and lines[-1]["end"] == "halt"
    pcs = [line["pc"] for line in lines[:-1]]
    # main's last block is instructions 10 to 13; a long enough tail starts at pc 0.
    assert pcs == {0: [], 4: PCS[10:14]}.get(last, pcs) and pcs[:1] in ([], [PCS[10]], [0])
    assert field(r.stderr, "status") == "halt" and r.returncode == 0


def test_instruction_trace_of_a_fault():
    r = cli("run", FIB, "--stack-size", "0", "--trace-instructions", "-", "--last", "1", "--json")
    lines = read_lines(r.stdout)
    assert len(lines) == 2 and lines[0]["pc"] in (PCS[3], PCS[4])   # the store, or the last instruction before it
    assert lines[1] == {"end": "page-fault", "pc": PCS[4], "gas": GAS - 7, "fault_address": 0xFEFDF000, "host_call": None}
    assert json.loads(r.stderr)["status"] == "page-fault" and r.returncode == 1


# ---------------------------------------------------------------------------
# The profile command


def table(out, heading):
    """The rows of a table of the report, split into fields."""
    block = out[out.index(heading):].split("\n\n")[0].splitlines()
    return [row.split() for row in block[2:]]


def test_profile_of_fib(tmp_path):
    files = {"folded": tmp_path / "fib.folded", "speedscope": tmp_path / "fib.json", "svg": tmp_path / "fib.svg"}
    r = cli("profile", FIB, "--symbols", SYMBOLS, *[a for k, p in files.items() for a in (f"--{k}", p)])
    assert r.returncode == 0, r.stderr
    assert (field(r.stdout, "status"), field(r.stdout, "gas")) == ("halt", f"1589 used, {GAS - 1589} left")
    assert table(r.stdout, "top functions") == [
        ["1589", "100.0%", "14", "0.9%", "1", "main"],
        ["1498", "94.3%", "1498", "94.3%", "177", "fib"],
        ["77", "4.8%", "57", "3.6%", "1", "sum_squares"],
        ["20", "1.3%", "20", "1.3%", "10", "square"],
    ]
    # fib's two blocks of 5 instructions run 88 times each; the first is right after its test.
    blocks = table(r.stdout, "top blocks")
    assert blocks[:2] == [[str(PCS[PCS.index(FIB_ENTRY) + 1]), "88", "440", "27.7%", "fib+4"],
                          ["76", "88", "440", "27.7%", "fib+32"]]
    assert len(blocks) == 10 and sum(int(row[2]) for row in blocks) < 1589
    folded = files["folded"].read_text().splitlines()
    assert folded[:2] == ["main 14", "main;fib 15"] and folded[-2:] == ["main;sum_squares 57", "main;sum_squares;square 20"]
    assert sum(int(line.rsplit(" ", 1)[1]) for line in folded) == 1589
    assert max(line.count("fib") for line in folded) == 10   # fib(10) down to fib(1)
    doc = json.loads(files["speedscope"].read_text())
    assert doc["profiles"][0]["endValue"] == sum(doc["profiles"][0]["weights"]) == 1589
    assert {f["name"] for f in doc["shared"]["frames"]} == {"main", "fib", "sum_squares", "square"}
    svg = files["svg"].read_text()
    assert ET.fromstring(svg).find("{http://www.w3.org/2000/svg}title").text == "fib.pvmasm: 1589 gas"
    for name in ("wrote folded stacks to", "wrote speedscope profile to", "wrote flame graph to"):
        assert name in r.stdout


def test_profile_without_symbols_and_of_a_container():
    r = cli("profile", FIB, "--top", "2", "--folded", "-")
    assert r.stdout.splitlines()[:2] == ["pc_0 14", f"pc_0;pc_{FIB_ENTRY} 15"]   # the report on standard error
    assert [row[-1] for row in table(r.stderr, "top functions")] == ["pc_0", f"pc_{FIB_ENTRY}"]
    assert len(table(r.stderr, "top blocks")) == 2 and "location" not in r.stderr
    r = cli("profile", "--image", EXAMPLES / "sieve.pvmimg", "--args", "31303030")
    assert r.returncode == 0 and field(r.stdout, "gas").startswith("11356 used")
    assert table(r.stdout, "top functions") == [["11356", "100.0%", "11356", "100.0%", "1", "pc_0"]]


@pytest.mark.parametrize("source, args, status, used", [
    # The first block (7 gas) is charged whole before its store faults.
    (FIB, ["--stack-size", "0"], "page-fault", 7),
    # A host call stops the run: the rest of its block is given back, and
    # taken off the block's gas in the profile.
    ("add_imm_64 r1, r1, 1\necalli 7\nadd_imm_64 r1, r1, 1\ntrap\n", [], "host", 2),
])
def test_profile_of_runs_that_do_not_halt(tmp_path, source, args, status, used):
    if isinstance(source, str):
        (tmp_path / "p.s").write_text(source)
        source = tmp_path / "p.s"
    r = cli("profile", source, *args, "--folded", tmp_path / "out.folded")
    assert r.returncode == 1 and field(r.stdout, "status") == status
    assert field(r.stdout, "gas").startswith(f"{used} used")
    assert (tmp_path / "out.folded").read_text() == f"pc_0 {used}\n"
    assert table(r.stdout, "top blocks")[0][:3] == ["0", "1", str(used)]
