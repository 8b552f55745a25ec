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


# ----- the page map and the native loop -------------------------------------------------

# A store value the first write replaces (an int subclass equal to 0, "no
# buffer yet") whose __del__ re-initialises the memory mid-insertion: the
# write must not touch the freed map or buffer, on either path.
REPLACED_VALUE_REINITIALISES = """
from array import array
from qorvel_pvm.asm import assemble
from qorvel_pvm.cpvm import vm_interpreter
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram

blob = assemble("store_imm_u64 0x20000, 7\\nload_imm_jump_ind r0, r12, 0, -0x10000\\n")
for native in (True, False):
    vm_interpreter._set_native_loop(native)
    mem = CyMemory({}, [], [0x20])
    mem._get_byte(0)                  # the memory has a page map
    keep = []
    class Zero(int):
        def __del__(self):
            keep.append(mem._pages)
            mem.__init__({}, [], [0x20])
    mem._pages[0x20] = Zero(0)
    try:
        vm_interpreter.Interpreter(CyProgram(blob)).run(array("Q", [0] * 13), mem, 0, 100)
    except ValueError as e:
        print(e)
"""


def test_a_store_value_freed_by_an_insertion_cannot_free_what_the_write_uses():
    out = subprocess.run([sys.executable, "-X", "dev", "-c", REPLACED_VALUE_REINITIALISES],
                         env=child_env(PYTHONMALLOC="debug"), capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["_pages[32] does not hold a page buffer of this memory"] * 2


def test_a_store_whose_lookups_run_code_is_looked_up_once_as_on_the_general_path():
    """A key colliding with a page index whose __eq__ revokes the page and
    raises: one lookup, the lookup's error, on both paths."""
    from array import array

    from qorvel_pvm.asm import assemble
    from qorvel_pvm.common.types import Accessibility
    from qorvel_pvm.cpvm import vm_interpreter
    from qorvel_pvm.cpvm.vm_memory import CyMemory
    from qorvel_pvm.cpvm.vm_program import CyProgram

    blob = assemble("load_u8 r1, 0x20000\nload_imm_jump_ind r0, r12, 0, -0x10000\n")
    for native in (True, False):
        previous = vm_interpreter._set_native_loop(native)
        mem, calls = CyMemory({}, [0x20], []), []

        class Key:
            def __hash__(self):
                return 0x20

            def __eq__(self, other):
                calls.append(other)
                mem.alter_accessibility(0x20000, 1, Accessibility.NONE)
                raise RuntimeError("store lookup failed")

        mem._pages[Key()] = 0
        try:
            with pytest.raises(RuntimeError, match="store lookup failed"):
                vm_interpreter.Interpreter(CyProgram(blob)).run(array("Q", [0] * 13), mem, 0, 100)
        finally:
            vm_interpreter._set_native_loop(previous)
        assert len(calls) == 1


def test_get_cpage_takes_any_page_index():
    from qorvel_pvm.cpvm.vm_memory import CyMemory
    from test_memory_native import vcall

    mem = CyMemory({}, [], [])
    mem._get_byte(0)  # the memory has a page map
    assert vcall(mem, "_get_cpage", 0x100000, 0) is None
    assert vcall(mem, "_get_cpage", 0x40000000, 1)  # a buffer under a key no access reaches


def test_blocks_are_not_handed_out_through_the_collector():
    import gc
    from array import array

    from qorvel_pvm import CyMemory
    from qorvel_pvm.asm import assemble
    from qorvel_pvm.cpvm import vm_interpreter
    from qorvel_pvm.cpvm.vm_block import CyBlockInfo
    from qorvel_pvm.cpvm.vm_program import CyProgram

    it = vm_interpreter.Interpreter(CyProgram(assemble("add_imm_64 r1, r1, 5\ntrap")))
    it.run(array("Q", [0] * 13), CyMemory(), 0, 10)
    assert not any(isinstance(o, CyBlockInfo) for o in gc.get_referents(it))
    it.compile_block(0)  # handed to Python code: the general path from now on, and visible
    assert any(isinstance(o, CyBlockInfo) for o in gc.get_referents(it))


def test_a_handler_in_c_does_not_keep_a_long_run_from_its_checks():
    """A host call every few instructions, answered by a C function (no
    Python frame, so no check of its own): a signal still ends the run."""
    import signal

    from qorvel_pvm import run
    from qorvel_pvm.asm import assemble

    blob = assemble("l:\necalli 0\nadd_imm_64 r1, r1, 1\njump l")

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with pytest.raises(KeyboardInterrupt) as e:
            run(blob, gas=300_000_000, host=object.__init__)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert e.value.pc == 0 and e.value.gas > 0  # stopped at a block start, long before the end
