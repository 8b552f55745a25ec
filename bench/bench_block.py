"""Cost of the block execution loop in host instructions, measured with callgrind.

Prints, for `CyBlockInfo.execute` alone (the Python bridge that calls it is
not counted):

- host instructions per executed guest instruction in a long block, from the
  difference between two block lengths, so fixed per-block costs cancel;
- the per-block overhead of execute: a one-instruction block minus one
  instruction's cost (reading the list, the result tuple).

Usage: python bench/bench_block.py          (runs itself under valgrind)
       python bench/bench_block.py --inner SCENARIO LENGTH REPEATS   (one measurement)

The long blocks use fall-through (its entry made non-terminating for the
run) and, when the two-register-immediate group is built, `add_imm_64`.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "src"), str(ROOT / "tests")]

REPEATS = 200
SHORT, LONG = 500, 1500


def inner(scenario: str, length: int, repeats: int) -> None:
    from pvmtest import build_blob, regs
    from qorvel_pvm.cpvm.instructions.tables.ops_no_args import InstructionsWoArgs
    from qorvel_pvm.cpvm.vm_block import CyBlockInfo, CyCompiledInstruction as CI
    from qorvel_pvm.cpvm.vm_interpreter import execute_block
    from qorvel_pvm.cpvm.vm_memory import CyMemory
    from qorvel_pvm.cpvm.vm_program import CyProgram

    fall = InstructionsWoArgs().get_table()[1]
    if scenario == "fallthrough":
        fall.is_terminating = False  # a long block of no-op instructions
        body = [CI(1, i + 1, fall, 0, 0, 0, 0, 0) for i in range(length)]
        sys.stdout = open(os.devnull, "w")  # the end-of-block warning
    elif scenario == "add_imm":
        from qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm import CyInstructionsWArgs2Reg1Imm
        add = CyInstructionsWArgs2Reg1Imm().get_table()[149]
        body = [CI(149, i + 1, add, 1, 0, 1, 1, 0) for i in range(length)]
        body.append(CI(1, length + 1, fall, 0, 0, 0, 0, 0))
    else:  # "single": one terminating fall-through per block
        body = [CI(1, 1, fall, 0, 0, 0, 0, 0)]
    block = CyBlockInfo(len(body), body)
    program = CyProgram(build_blob(b"\x01", [0]))
    registers, memory = regs(), CyMemory()
    for _ in range(repeats):
        execute_block(block, program, 0, registers, memory)


def measure(scenario: str, length: int, repeats: int) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--toggle-collect=*block_execute*",
               sys.executable, __file__, "--inner", scenario, str(length), str(repeats)]
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = out.read_text()
    m = re.search(r"^(?:summary|totals):\s+(\d+)", text, re.M)
    if not m:
        raise RuntimeError("no totals in callgrind output")
    return int(m.group(1))


def main() -> None:
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is required")
    scenarios = ["fallthrough"]
    try:
        import qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm  # noqa: F401
        scenarios.append("add_imm")
    except ImportError:
        pass
    per_instruction = {}
    for scenario in scenarios:
        short = measure(scenario, SHORT, REPEATS)
        long = measure(scenario, LONG, REPEATS)
        per_instruction[scenario] = (long - short) / ((LONG - SHORT) * REPEATS)
        print(f"{scenario:12s} host instructions per guest instruction: {per_instruction[scenario]:.1f}")
    single = measure("single", 1, REPEATS) / REPEATS
    overhead = single - per_instruction["fallthrough"]
    print(f"execute per-block overhead (one-instruction block minus one instruction): {overhead:.0f} "
          f"host instructions ({single:.0f} for the whole block)")


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--inner":
        inner(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        main()
