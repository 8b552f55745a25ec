"""Regressions for faults where Python code run in the middle of a native
operation, or a shared table entry changed from Python, could crash the
interpreter or hang it.

Each case runs in a child interpreter with the debug allocator, so that a
use of a freed object shows up as a crash or a wrong value in the child
instead of corrupting the test run.
"""

import subprocess
import sys
import textwrap

import pytest

from pvmtest import child_env

# A comparison of two memories reads `self._pages` and then looks up
# `other._pages`.  A property on the other side that replaces the first page
# store must not free the dict that is being compared.
EQUALITY_KEEPS_OWN_PAGE_STORE = """
from qorvel_pvm.cpvm.vm_memory import CyMemory

class Plain(CyMemory):
    pass

class Replacing(CyMemory):
    @property
    def _pages(self):
        theirs = {int("1"): int("0")}
        victim._pages = {}  # drops the store the comparison is holding
        return theirs

victim = Plain()
victim._pages = {int("1"): int("0")}
result = victim == Replacing()
first, second = {}, {}
assert first is not second, "a dict was freed twice"
print(result)
"""

# The driver reads the exit code and the fault address from the exception's
# arguments, and also looks up `gas_cost` on it.  A PvmExit subclass whose
# `gas_cost` replaces its own arguments must not leave the driver reading a
# freed tuple.
EXIT_ARGS_SURVIVE_GAS_COST_LOOKUP = """
from array import array
from qorvel_pvm.asm import assemble
from qorvel_pvm.cpvm.vm_interpreter import Interpreter
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import PvmExit

class SlipperyExit(PvmExit):
    @property
    def gas_cost(self):
        self.args = ()  # drops the tuple holding the code and the address
        return 2

    @gas_cost.setter
    def gas_cost(self, value):
        pass

class Faulting(CyMemory):
    def read(self, address, length):
        raise SlipperyExit(2, int("305419896"))

mem = Faulting.from_pc(b"", b"", b"", 1, 0)
prog = CyProgram(assemble("add_imm_64 r1, r0, 0x20000\\nload_ind_u8 r2, r1, 0\\ntrap"))
code, pc, gas, fault, call = Interpreter(prog).run(array("Q", [0] * 13), mem, 0, 10)
print(code, fault)
"""

# Compiling a block stops at its first terminating entry.  The trap entry is
# shared and its flag can be cleared from Python; a block that reaches a trap
# (every position past the code compiles to one) must still end there, since
# the trap always exits, instead of compiling the whole address space.
TRAP_ENDS_BLOCK_WHATEVER_ITS_FLAG = """
import os, resource
if not os.environ.get("PVM_ASAN"):  # the sanitizer runtime needs a large address space
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
from array import array
from qorvel_pvm.asm import assemble
from qorvel_pvm.cpvm.vm_interpreter import Interpreter
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.instructions.tables.ops_no_args import InstructionsWoArgs

table = InstructionsWoArgs().get_table()
table[0].is_terminating = False
table[1].is_terminating = False
it = Interpreter(CyProgram(assemble("fallthrough")))
for pc in (5000, 0):
    block = it.compile_block(pc)
    print([(i.opcode, i.next_pc) for i in block.instructions], end=" ")
print(it.run(array("Q", [0] * 13), CyMemory(), 0, 10)[0])
"""


def run_child(code):
    env = child_env(PYTHONMALLOC="debug")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize(
    "code,expected",
    [
        (EQUALITY_KEEPS_OWN_PAGE_STORE, "True"),
        (EXIT_ARGS_SURVIVE_GAS_COST_LOOKUP, "2 305418240"),
        (TRAP_ENDS_BLOCK_WHATEVER_ITS_FLAG, "[(0, 5001)] [(1, 1), (0, 2)] 1"),
    ],
    ids=["memory-equality", "exit-args", "trap-flag-cleared"],
)
def test_native_code_survives_python_side_effects(code, expected):
    try:
        child = run_child(code)
    except subprocess.TimeoutExpired:
        pytest.fail("the child did not finish")
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == expected
