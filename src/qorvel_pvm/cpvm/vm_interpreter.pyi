"""Running compiled programs; native bridges for tests and tools."""

from array import array
from collections.abc import Buffer, Callable, Iterable, Sequence
from typing import Any, Self, TypeVar, final

from qorvel_pvm.cpvm.instructions.op_table import CyTable, CyTableEntry
from qorvel_pvm.cpvm.vm_block import CyBlockInfo
from qorvel_pvm.cpvm.vm_memory import CyMemory
from qorvel_pvm.cpvm.vm_program import CyProgram
from qorvel_pvm.cpvm.vm_status import CyStatus

# A register array: a writable, C-contiguous buffer of at least 13 unsigned
# 64-bit items, such as array.array("Q").
_Registers = TypeVar("_Registers", bound=Buffer)

@final
class Interpreter:
    """Runs one CyProgram, compiling each basic block once.  jit: whether long runs translate blocks to machine code (None: the module's default, see engine())."""

    def __new__(cls, program: CyProgram, jit: object = None) -> Self: ...
    @property
    def program(self) -> CyProgram:
        """The program this interpreter runs."""

    @property
    def cached_blocks(self) -> int:
        """Number of basic blocks compiled so far."""

    @property
    def native_blocks(self) -> int:
        """Number of basic blocks given a native form for the native run loop so far."""

    @property
    def compiled_blocks(self) -> int | None:
        """Number of basic blocks translated to machine code so far (None: this interpreter does not use the block compiler)."""

    @property
    def code_size(self) -> int | None:
        """Bytes of machine code made for this interpreter's blocks so far (None: this interpreter does not use the block compiler)."""

    def run(
        self,
        registers: _Registers,
        memory: CyMemory,
        pc: int,
        gas: int,
        trace: Callable[[int, CyBlockInfo, _Registers], object] | None = None,
        host: Callable[[int, _Registers, CyMemory], int | CyStatus | None] | None = None,
        *,
        breakpoints: Iterable[int] | None = None,
        max_steps: int | None = None,
        trace_instructions: Callable[[tuple[int, int, tuple[tuple[int, int], ...], tuple[tuple[bool, int, bytes], ...]]], object] | None = None,
    ) -> tuple[int, int, int, int | None, int | None]:
        """Run from pc until the program exits, runs out of gas or makes a host call it cannot hand to a handler.  Returns (status, pc, gas, fault_address, host_call) with status 0 halt, 1 panic, 2 page fault, 3 out of gas, 4 host call, 5 breakpoint, 6 step.  registers (a writable buffer of at least 13 unsigned 64-bit items) and memory are changed in place.  trace, if given, is called as trace(start_pc, block, registers) after each block that runs to its end.  host, if given, is called as host(index, registers, memory) at each host call and returns None or 0 to go on, a positive int to charge that much gas, or the CyStatus HALT or PANIC to end the run.  The run stops before an instruction at a pc in breakpoints (but the first it runs) and after max_steps instructions; trace_instructions, if given, is called with (pc, gas, ((register, value), ...), ((is_write, address, bytes), ...)) for each instruction that runs."""

    def call(
        self,
        *,
        registers: Sequence[int] | None = None,
        memory: CyMemory | None = None,
        pc: int = 0,
        gas: int = 10000,
        trace: Callable[[int, CyBlockInfo, array[int]], object] | None = None,
        host: Callable[[int, array[int], CyMemory], object] | None = None,
        breakpoints: Iterable[int] | None = None,
        max_steps: int | None = None,
        trace_instructions: Callable[[Any], object] | None = None,
        profile: bool = False,
    ) -> Any:
        """qorvel_pvm.Interpreter.run in one native call: checks the arguments as the Python API does (registers a sequence of 13 ints or None, memory a CyMemory or None for a new one), runs and returns the RunResult.  The defaults are those of Interpreter.run."""

    def compile_block(self, pc: int, /) -> CyBlockInfo:
        """The compiled basic block starting at pc (built once, then cached)."""

def _bind_api(
    result_type: type,
    status_names: dict[int, Any],
    defaults: dict[str, Any],
    host_exit: type[BaseException],
    trace_adapter: Callable[[Any, CyProgram], Callable[[Any], object]],
    make_profile: Callable[[Any, int], Any],
    /,
) -> None:
    """The RunResult class, the status names by exit code, the keyword defaults of Interpreter.run, the exception class a host handler raises to end the run, the maker of the callable that turns raw instruction records into the records a trace_instructions callback gets, and the maker of a run's profile from its raw counts, which Interpreter.call works with (called by qorvel_pvm.interpreter)."""

def _set_native_loop(on: object, /) -> bool:
    """Let runs that qualify take the native run loop (the default) or send every run down the general path.  Returns the previous setting.  Meant for tests and benchmarks."""

def engine() -> str:
    """Which engine long runs of new interpreters take: "compiler" (blocks translated to machine code) or "native loop" (where the compiler is not supported, or turned off with QORVEL_PVM_JIT=0)."""

def _set_jit(on: object, /) -> bool:
    """Whether new interpreters use the block compiler by default.  Returns the previous setting.  Meant for tests and benchmarks."""

def _set_code_limit(size: int, /) -> int:
    """The bytes of machine code each new interpreter's blocks may take (past them, its runs go on on the native loop).  Returns the previous limit.  Meant for tests."""

def _set_jit_eager(on: object, /) -> bool:
    """Let runs of interpreters that use the block compiler start on it at once instead of after their first window of gas.  Returns the previous setting.  Meant for tests."""

def _set_unlocking(on: object, /) -> bool:
    """Let long runs on the native loop give up the interpreter lock (the default) or keep it for the whole run.  Returns the previous setting.  Meant for benchmarks."""

def _find_main_thread() -> None:
    """Look up the main thread again (after a fork, in the child)."""

def _interrupt_thread(ident: int, stop: object, /) -> None:
    """Ask the runs of the thread `ident` (a threading ident) to stop: the next check a run there makes, also without the interpreter lock, raises KeyboardInterrupt.  With stop false, withdraw the request."""

def execute_block(block: CyBlockInfo, program: CyProgram, pc: int, registers: Buffer, memory: CyMemory) -> tuple[int, int]:
    """Run a compiled block from pc and return (next pc, total gas); an exit of the guest raises PvmExit carrying next_pc and gas_cost."""

def decode(group: CyTable, pc: int, program: CyProgram, skip: int) -> tuple[int, int, int, int, int]:
    """The operands (vx, vy, ra, rb, rd) that an instruction group decodes for the instruction at pc with the given skip length."""

def call_handler(
    entry: CyTableEntry,
    program: CyProgram,
    registers: Buffer,
    memory: CyMemory,
    counter: int,
    vx: int,
    vy: int,
    ra: int,
    rb: int,
    rd: int,
) -> int:
    """Call the handler of one table entry and return its result: the pc to continue at, or 0xFFFFFFFF for the next instruction."""

def get_table(group: CyTable, /) -> dict[int, CyTableEntry]:
    """The opcode table of an instruction group through its native method table, running a Python subclass's get_table override as the block builder would."""

__test__: dict[str, Any]
