"""The test-vector runner: the shipped vectors, and what it reports for wrong ones."""

import copy
import io
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from qorvel_pvm import CyMemory
from qorvel_pvm.asm import OPCODES, assemble, decode_blob
from qorvel_pvm.vectors import (
    VectorError,
    build_memory,
    check_paths,
    check_vector,
    load_file,
    memory_chunks,
    parse_vector,
)
from pvmtest import child_env
from test_cli import cli

VECTORS = Path(__file__).resolve().parent / "vectors"
SHIPPED = sorted(VECTORS.glob("*.json"))


def base_vector(**changes):
    """A small valid vector: store r1 at 0x20000, then halt."""
    v = {
        "name": "store_and_halt",
        "initial-regs": [0x20000, 0x0201] + [0] * 11,
        "initial-pc": 0,
        "initial-page-map": [{"address": 0x20000, "length": 4096, "is-writable": True}],
        "initial-memory": [],
        "initial-gas": 10,
        "program": list(assemble("store_ind_u16 r1, r0, 0\nload_imm_jump_ind r2, r2, 0, -0x10000")),
        "expected-status": "halt",
        "expected-regs": [0x20000, 0x0201] + [0] * 11,
        "expected-pc": 2,
        "expected-memory": [{"address": 0x20000, "contents": [1, 2]}],
        "expected-gas": 8,
    }
    v.update(changes)
    return v


def problems(obj):
    return check_vector(parse_vector(obj))


def run_files(tmp_path, *objs):
    for i, obj in enumerate(objs):
        (tmp_path / f"v{i}.json").write_text(json.dumps(obj))
    out = io.StringIO()
    result = check_paths([tmp_path], out=out)
    return result, out.getvalue().splitlines()


@pytest.mark.parametrize("path", SHIPPED, ids=lambda p: p.stem)
def test_shipped_vector_passes(path):
    for vector in load_file(path):
        assert check_vector(vector) == []


def test_shipped_vectors_cover_every_group_and_status():
    # The project's vectors and the public conformance set together.  A host
    # call stops a run with a status no vector can expect: host calls are
    # tested on their own.
    forms, statuses = set(), set()
    for path in SHIPPED + sorted((VECTORS / "conformance").glob("*.json")):
        for v in load_file(path):
            blob = decode_blob(v.program)
            forms |= {OPCODES[blob.code[pc]].form for pc in blob.starts() if blob.code[pc] in OPCODES}
            statuses.add(v.expected_status)
    assert forms == {info.form for info in OPCODES.values()} - {"one_imm"}
    assert statuses == {"halt", "panic", "page-fault", "out-of-gas"}
    assert len(SHIPPED) >= 12


@pytest.mark.parametrize("jobs", [[], ["--jobs", "2"]])
def test_vectors_command_on_shipped_vectors(jobs):
    r = cli("vectors", *jobs, *SHIPPED)
    assert r.returncode == 0
    assert r.stdout == f"{len(SHIPPED)} passed, 0 failed\n"


def test_one_path_is_not_a_sequence_of_letters():
    for path in (SHIPPED[0], str(SHIPPED[0])):
        assert check_paths(path, out=io.StringIO()) == (1, 0)


def test_vectors_command_with_no_vectors_fails(tmp_path):
    (tmp_path / "empty.json").write_text("[]")
    r = cli("vectors", tmp_path)
    assert r.returncode == 2
    assert "error: no vectors found" in r.stderr


def test_vectors_command_reports_failures(tmp_path):
    good = base_vector()
    bad = base_vector(name="wrong", **{"expected-pc": 3, "expected-gas": 7})
    bad["expected-regs"] = [0x20000, 0x0202] + [0] * 11
    (tmp_path / "a.json").write_text(json.dumps([good, bad]))
    r = cli("vectors", tmp_path / "a.json", "-v")
    assert r.returncode == 1
    assert r.stdout.splitlines() == [
        f"ok   store_and_halt ({tmp_path / 'a.json'})",
        f"FAIL wrong ({tmp_path / 'a.json'}): pc: expected 3, got 2; gas: expected 7, got 8; "
        "regs: r1 expected 514 (0x202), got 513 (0x201)",
        "1 passed, 1 failed",
    ]


@pytest.mark.parametrize("changes, named", [
    ({"expected-status": "panic"}, ["status: expected panic, got halt"]),
    ({"expected-status": "page-fault", "expected-pc": 0}, ["status: expected page-fault, got halt", "pc: "]),
    ({"expected-memory": []}, ["memory: 2 bytes differ (0x20000: expected 0x00, got 0x01, 0x20001: expected 0x00, got 0x02)"]),
    ({"expected-memory": [{"address": 0x20000, "contents": [1, 2, 0, 0, 7]}]},
     ["memory: 1 byte differs (0x20004: expected 0x07, got 0x00)"]),
    ({"initial-gas": 1, "expected-gas": 1}, ["status: expected halt, got out-of-gas", "pc: expected 2, got 0",
                                             "memory: 2 bytes differ"]),
])
def test_every_differing_field_is_named(changes, named):
    got = problems(base_vector(**changes))
    assert len(got) == len(named)
    for text, start in zip(got, named):
        assert text.startswith(start)


def test_memory_is_compared_as_nonzero_bytes():
    # Chunks split anywhere and padded with zeros describe the same memory.
    chunks = [{"address": 0x1FFFE, "contents": [0, 0, 1]}, {"address": 0x20001, "contents": [2, 0, 0]}]
    assert problems(base_vector(**{"expected-memory": chunks})) == []
    # Bytes on inaccessible pages are not part of memory after the run.
    hidden = base_vector(**{"initial-memory": [{"address": 0x40000, "contents": [9]}]})
    assert problems(hidden) == []
    # Readable-only pages are.
    ro = base_vector(**{"initial-memory": [{"address": 0x30010, "contents": [9]}]})
    ro["initial-page-map"].append({"address": 0x30000, "length": 1, "is-writable": False})
    assert problems(ro) == ["memory: 1 byte differs (0x30010: expected 0x00, got 0x09)"]


def test_page_map_permissions():
    v = parse_vector(base_vector(**{"initial-page-map": [
        {"address": 0x10FFF, "length": 2, "is-writable": False},  # touches pages 0x10 and 0x11
        {"address": 0x20000, "length": 0, "is-writable": True},   # no page at all
    ]}))
    mem = build_memory(v)
    assert sorted(mem._r_pages) == [0x10, 0x11] and mem._w_pages == set()
    assert check_vector(v)[0] == "status: expected halt, got page-fault"


@pytest.mark.parametrize("expected, passes", [(0x30000, True), (0x30004, False), (0x30001, False), (0x31000, False)])
def test_page_fault_address_is_compared_exactly(expected, passes):
    v = base_vector(**{
        "initial-regs": [0x30004, 0x0201] + [0] * 11, "expected-regs": [0x30004, 0x0201] + [0] * 11,
        "expected-status": "page-fault", "expected-pc": 0, "expected-gas": 8, "expected-memory": [],
        "expected-page-fault-address": expected,
    })
    got = problems(v)
    assert got == ([] if passes else [f"page-fault-address: expected {expected:#x}, got 0x30000"])


def test_memory_chunks_lists_runs_of_nonzero_bytes():
    mem = CyMemory({0x20000: 1, 0x20001: 2, 0x20003: 3, 0x50000: 4}, [0x20], [])
    assert memory_chunks(mem) == [{"address": 0x20000, "contents": [1, 2]}, {"address": 0x20003, "contents": [3]}]


@pytest.mark.parametrize("mangle, message", [
    (lambda v: v.pop("expected-gas"), "missing field 'expected-gas'"),
    (lambda v: v.update({"initial-regs": [0] * 12}), "'initial-regs' must be a list of 13 integers"),
    (lambda v: v.update({"expected-status": "halted"}), "'expected-status' must be one of"),
    (lambda v: v.update({"program": [256]}), "'program[0]' must be in 0..0xff"),
    (lambda v: v.update({"initial-gas": -1}), "'initial-gas' must be in"),
    (lambda v: v["initial-page-map"][0].update({"is-writable": 1}), "is-writable' must be true or false"),
    (lambda v: v.update({"initial-memory": [{"address": 0xFFFFFFFF, "contents": [1, 2]}]}), "runs past the end"),
])
def test_malformed_vectors_are_refused(mangle, message):
    v = base_vector()
    mangle(v)
    with pytest.raises(VectorError, match=message.replace("(", r"\(").replace("[", r"\[")):
        parse_vector(v)


def test_a_name_cannot_add_lines_to_the_report(tmp_path):
    (passed, failed), lines = run_files(tmp_path, base_vector(name="x\nFAIL forged\r", program=[1, 2, 3]))
    assert (passed, failed, len(lines)) == (0, 1, 2) and lines[0].startswith("FAIL x\\nFAIL forged\\r ")


def test_bad_files_count_as_failures(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "broken.json").write_text("{not json")
    (tmp_path / "sub" / "deep.json").write_text("[" * 100_000 + "]" * 100_000)
    missing = base_vector()
    del missing["program"]
    wrong_blob = base_vector(name="blob", program=[1, 2, 3])
    (passed, failed), lines = run_files(tmp_path, base_vector(), missing, wrong_blob)
    assert (passed, failed) == (1, 4)
    assert any("broken.json: not valid JSON" in line for line in lines)
    assert any("deep.json: not valid JSON: nested too deeply" in line for line in lines)
    assert any(line.endswith("v1.json: vector: missing field 'program'") for line in lines)
    assert any(line.startswith("FAIL blob ") and "program: the interpreter refuses it" in line for line in lines)
    assert lines[-1] == "1 passed, 4 failed"


@pytest.mark.parametrize("jobs, threads", [(1, False), (3, False), (3, True)])
def test_jobs_keep_the_report_and_progress_is_shown(tmp_path, jobs, threads):
    files = [base_vector(name=f"v{i}", **({"expected-gas": 7} if i % 4 == 0 else {})) for i in range(12)]
    _, reference = run_files(tmp_path, *files)
    out, progress = io.StringIO(), io.StringIO()
    assert check_paths([tmp_path], out=out, jobs=jobs, progress=progress, threads=threads) == (9, 3)
    assert out.getvalue().splitlines() == reference
    shown = progress.getvalue()
    assert "\r12/12 files, 9 passed, 3 failed" in shown and shown.endswith("\r\033[K")


def test_ctrl_c_stops_parallel_workers(tmp_path):
    # Ctrl-C on a terminal reaches the whole process group: one short report, no worker tracebacks.
    failing = json.dumps([base_vector(**{"expected-gas": 7})] * 300)
    for i in range(40):
        (tmp_path / f"v{i:02}.json").write_text(failing)
    with open(tmp_path / "out", "w") as out:
        p = subprocess.Popen([sys.executable, "-m", "qorvel_pvm", "vectors", "--jobs", "2", *[str(tmp_path)] * 20],
                             stdout=out, stderr=subprocess.PIPE, text=True, env=child_env(), start_new_session=True)
        deadline = time.monotonic() + 60
        while (tmp_path / "out").stat().st_size == 0:
            assert time.monotonic() < deadline and p.poll() is None
            time.sleep(0.05)
        os.killpg(p.pid, signal.SIGINT)
        err = p.communicate(timeout=30)[1]
    assert p.returncode == 130 and err.endswith("interrupted\n") and "Traceback" not in err, err
