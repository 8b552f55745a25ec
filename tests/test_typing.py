"""The package's Python code and type stubs pass `mypy --strict` (configured in pyproject.toml)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.skipif(os.environ.get("PVM_ASAN") == "1", reason="type checking does not depend on the build")
def test_mypy_strict_is_clean(tmp_path):
    pytest.importorskip("mypy")
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"), "--cache-dir", str(tmp_path)],
        cwd=ROOT, capture_output=True, text=True, timeout=600,
    )
    assert r.returncode == 0, r.stdout + r.stderr
