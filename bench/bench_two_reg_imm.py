"""Host instructions per guest instruction for the two-register-one-immediate group.

Measured with valgrind's callgrind.  Each workload runs, in four separate
processes, a block of N and of 2N identical instructions, R and 2R times.
The double difference of the instruction totals,
(T(2N, 2R) - T(2N, R)) - (T(N, 2R) - T(N, R)), is the cost of N x R guest
instructions alone: interpreter start-up, imports, block building and the
per-block call all cancel out.  Workloads:

  add_imm_64       1,000 x `add_imm_64` (arithmetic handler)
  load_ind_u64     1,000 x 8-byte load from a plain CyMemory
  store_ind_u64    1,000 x 8-byte store to a plain CyMemory

Usage: python bench/bench_two_reg_imm.py [--reps R]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(HERE), "src")
TESTS = os.path.join(os.path.dirname(HERE), "tests")

BLOCK = 1000
# workload -> (opcode, vx, ra, rb)
WORKLOADS = {
    "add_imm_64": (149, 3, 1, 1),
    "load_ind_u64": (130, 0x10, 1, 2),
    "store_ind_u64": (123, 0x10, 1, 2),
}


def child(workload: str, count: int, reps: int) -> None:
    """Builds a block of `count` instructions of `workload` (plus a
    terminating fall-through) and executes it `reps` times."""
    sys.path[:0] = [SRC, TESTS]
    from pvmtest import build_blob, regs
    from qorvel_pvm.cpvm.instructions.tables.ops_no_args import InstructionsWoArgs
    from qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm import CyInstructionsWArgs2Reg1Imm
    from qorvel_pvm.cpvm.vm_block import CyBlockInfo, CyCompiledInstruction
    from qorvel_pvm.cpvm.vm_interpreter import execute_block
    from qorvel_pvm.cpvm.vm_memory import CyMemory
    from qorvel_pvm.cpvm.vm_program import CyProgram

    opcode, vx, ra, rb = WORKLOADS[workload]
    table = CyInstructionsWArgs2Reg1Imm().get_table()
    fallthrough = InstructionsWoArgs().get_table()[1]
    program = CyProgram(build_blob(bytes([1]), [0]))
    instructions = [CyCompiledInstruction(opcode, i + 1, table[opcode], vx, 0, ra, rb, 0) for i in range(count)]
    instructions.append(CyCompiledInstruction(1, count + 1, fallthrough, 0, 0, 0, 0, 0))
    block = CyBlockInfo(count + 1, instructions)
    memory = CyMemory(None, [1], [1])
    memory.write(0x1010, bytes(range(8)))
    registers = regs(0, 0x0102030405060708, 0x1000)
    for _ in range(reps):
        execute_block(block, program, 0, registers, memory)


def instructions_of(workload: str, count: int, reps: int) -> int:
    """Total host instructions of one child run under callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, os.path.abspath(__file__), "--child", workload, str(count), str(reps)],
            check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        with open(out) as f:
            for line in f:
                m = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if m:
                    return int(m.group(1))
    raise RuntimeError("callgrind wrote no instruction total")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=20, help="executions of each block (default 20)")
    parser.add_argument("--child", nargs=3, metavar=("WORKLOAD", "COUNT", "REPS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        workload, count, reps = args.child
        child(workload, int(count), int(reps))
        return
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is required (valgrind --tool=callgrind)")
    print(f"host instructions per guest instruction (callgrind; blocks of {BLOCK} and {2 * BLOCK} "
          f"instructions, run {args.reps} and {2 * args.reps} times)")
    for workload in WORKLOADS:
        t = {(n, r): instructions_of(workload, n, r)
             for n in (BLOCK, 2 * BLOCK) for r in (args.reps, 2 * args.reps)}
        extra = (t[2 * BLOCK, 2 * args.reps] - t[2 * BLOCK, args.reps]) - (t[BLOCK, 2 * args.reps] - t[BLOCK, args.reps])
        per = extra / (BLOCK * args.reps)
        print(f"  {workload:<14} {per:8.1f}")


if __name__ == "__main__":
    main()
