"""The public conformance vectors (tests/vectors/conformance, CC0): each one
through the library and all of them through `qorvel-pvm vectors`, with the
page-fault address compared exactly."""

from pathlib import Path

import pytest

from qorvel_pvm.vectors import check_vector, load_file

from test_cli import cli

CONFORMANCE = Path(__file__).resolve().parent / "vectors" / "conformance"
FILES = sorted(CONFORMANCE.glob("*.json"))


def test_the_whole_set_is_there():
    assert len(FILES) == 135 and (CONFORMANCE / "README.md").is_file()


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.stem)
def test_conformance_vector(path):
    for vector in load_file(path):
        assert check_vector(vector) == []


def test_vectors_command_runs_the_conformance_set():
    r = cli("vectors", CONFORMANCE)
    assert r.stdout.endswith(f"{len(FILES)} passed, 0 failed\n"), r.stdout[-3000:]
    assert r.returncode == 0
