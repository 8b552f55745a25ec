"""Cost of reads and writes on a plain CyMemory.

Workloads: 1-byte, 8-byte and 64 KiB `read` and `write` through the
Python-level methods, on readable and writable pages that already have
buffers (the 64 KiB range starts mid-page, so it touches 17 pages), plus a
read of never-written pages and, as a floor, an attribute read.

Reported per call:
  ns      wall time from timeit (best of 5 repeats)
  Ir      host instructions from valgrind's callgrind (with --callgrind):
          each workload runs in two processes, N and 2N calls; the
          difference of the totals divided by N is the cost of one call of
          the Python loop, so start-up and imports cancel out.

Usage: python bench/bench_memory.py [--callgrind] [--number N]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(HERE), "src")

BASE = 0x100000            # pages 256.. are readable and writable
KIB64 = 64 * 1024

SETUP = f"""
from qorvel_pvm.cpvm.vm_memory import CyMemory
mem = CyMemory(None, [], list(range(256, 320)))
mem.write({BASE}, bytes(range(256)) * 1024)      # 64 pages with buffers
one, eight, big = b"\\x01", bytes(8), bytes({KIB64})
empty = CyMemory(None, list(range(256, 320)), [])
"""

WORKLOADS = {
    "read 1 B": "mem.read(0x100FFF, 1)",
    "read 8 B": "mem.read(0x100FF8, 8)",
    "read 64 KiB": "mem.read(0x100800, 65536)",
    "read 64 KiB unwritten": "empty.read(0x100800, 65536)",
    "write 1 B": "mem.write(0x100FFF, one)",
    "write 8 B": "mem.write(0x100FF8, eight)",
    "write 64 KiB": "mem.write(0x100800, big)",
    "attribute (floor)": "mem.heap_break",
}


def time_ns(stmt: str, number: int) -> float:
    sys.path.insert(0, SRC)
    best = min(timeit.repeat(stmt, SETUP, number=number, repeat=5))
    return best / number * 1e9


def callgrind_total(stmt: str, count: int) -> int:
    script = SETUP + f"\nfor _ in range({count}):\n    {stmt}\n"
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        env = dict(os.environ, PYTHONPATH=SRC, PYTHONMALLOC="malloc")
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                               "-c", script], env=env, capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(proc.stderr[-2000:])
        with open(out) as f:
            m = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
        return int(m.group(1))


def ir_per_call(stmt: str, count: int) -> float:
    return (callgrind_total(stmt, 2 * count) - callgrind_total(stmt, count)) / count


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--callgrind", action="store_true", help="also count host instructions with callgrind")
    ap.add_argument("--number", type=int, default=20000, help="timeit calls per repeat (small workloads)")
    args = ap.parse_args()
    if args.callgrind and shutil.which("valgrind") is None:
        sys.exit("valgrind not found")
    print(f"{'workload':<24}{'ns/call':>12}" + (f"{'Ir/call':>12}" if args.callgrind else ""))
    for name, stmt in WORKLOADS.items():
        number = args.number // 20 if "KiB" in name else args.number
        line = f"{name:<24}{time_ns(stmt, number):>12.1f}"
        if args.callgrind:
            count = 200 if "KiB" in name else 2000
            line += f"{ir_per_call(stmt, count):>12.0f}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
