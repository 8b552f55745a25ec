"""Running PVM programs from Python.

`run` executes a program once; `Interpreter` keeps the compiled blocks of one
program for repeated runs.  Both check their inputs before anything runs and
return a `RunResult` with the final status, pc, gas, registers and memory.

Host calls (`ecalli`) go to the embedder.  With a handler passed as
`host=fn`, the run calls `fn(call, registers, memory)` at each host call and
then goes on with the next instruction, charged nothing more:

- `call` is the call index (0 to 2**32 - 1), `registers` the run's 13
  registers as a mutable sequence of ints (an `array('Q')`; assignments are
  seen by the guest, values must fit 64 bits, its length cannot change) and
  `memory` the run's `CyMemory`.
- Returning None or 0 goes on; returning a positive int charges that much
  gas on top of the host call's own (when less is left, the run stops with
  "out-of-gas", gas 0, at the instruction after the call).
- Raising `HostExit("halt")` or `HostExit("panic")` ends the run with that
  status at the instruction after the call.
- Any other exception ends the run and propagates to the caller of `run`.
  (A run works on its own copy of the registers: the sequence passed as
  `registers=` is never changed, whatever the handler does.)

Without a handler, a host call stops the run with status "host",
`RunResult.host_call` the index and `pc` the instruction after the call, the
gas of the block's instructions after the call given back.  Running again
from that pc with the returned registers, memory and gas continues the
program at the same total gas as an uninterrupted run.

To look inside a run:

- `breakpoints={pc, ...}` stops the run before the instruction at any of
  those pcs executes (status "breakpoint", `pc` at it), and `max_steps=N`
  after N instructions (status "step", `pc` the next one).  A stop inside a
  basic block gives back the gas of the block's instructions that did not
  start; running again from the returned pc, registers, memory and gas goes
  on exactly as if nothing had stopped, and a breakpoint at the pc a run
  starts from does not stop it before that instruction.
- `trace_instructions=fn` calls `fn` with a `qorvel_pvm.trace.InstructionRecord`
  for each instruction that runs.
- `profile=True` keeps a gas profile: `RunResult.profile` is a
  `qorvel_pvm.profile.Profile` (gas by block and by function).

Runs with breakpoints, a step limit or an instruction trace take the
driver's general path; the others, profiled or not, the native loop where
they can.
"""

from __future__ import annotations

import os
from array import array
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Callable, Iterable, Literal, Optional, Sequence, Union

from .cpvm import vm_interpreter, vm_status
from .cpvm.vm_block import CyBlockInfo
from .cpvm.vm_memory import CyMemory
from .cpvm.vm_program import CyProgram
from .trace import InstructionRecord, _adapter

if TYPE_CHECKING:
    from .profile import Profile, RawProfile

__all__ = ["RunResult", "Interpreter", "run", "HostExit", "HostHandler", "Status", "STATUS_NAMES"]

REGISTER_COUNT = 13
_U32_MAX = (1 << 32) - 1

#: Status names by the exit code the native driver reports.
STATUS_NAMES: dict[int, "Status"] = {
    0: "halt", 1: "panic", 2: "page-fault", 3: "out-of-gas", 4: "host", 5: "breakpoint", 6: "step",
}

Status = Literal["halt", "panic", "page-fault", "out-of-gas", "host", "breakpoint", "step"]

ProgramLike = Union[bytes, bytearray, memoryview, CyProgram]
InstructionTrace = Callable[["InstructionRecord"], object]
TraceHook = Callable[[int, CyBlockInfo, "array[int]"], None]
#: A host-call handler: `fn(call, registers, memory)` returning None or an
#: int, the extra gas to charge.
HostHandler = Callable[[int, "array[int]", CyMemory], Optional[int]]


class HostExit(Exception):
    """Raised by a host handler to end the run: `HostExit("halt")` or
    `HostExit("panic")`.

    The run then stops with that status at the instruction after the host
    call; the registers and memory are as the handler left them.
    """

    _CODES = {"halt": vm_status.EXIT_HALT, "panic": vm_status.EXIT_PANIC}

    def __init__(self, status: Literal["halt", "panic"]):
        if status not in self._CODES:
            raise ValueError(f"HostExit status must be 'halt' or 'panic', not {status!r}")
        super().__init__(status)
        self._status: Literal["halt", "panic"] = status

    @property
    def status(self) -> Literal["halt", "panic"]:
        """The status the run ends with (fixed when the exception is made)."""
        return self._status


@dataclass
class RunResult:
    """The outcome of a run.

    `status` is "halt", "panic", "page-fault", "out-of-gas", "host",
    "breakpoint" or "step"; `pc` is the instruction that exited (the block
    start that ran out of gas, the instruction after a host call that
    stopped the run or that a host handler ended, the instruction a
    breakpoint or the step limit stopped the run before); `gas` is what is
    left; `fault_address` is, for a page fault, the start of the first page
    of the faulting access that lacks the permission; `host_call` is the
    index of the host call that stopped the run (status "host"); `profile`
    is the run's gas profile when `profile=True` asked for one.
    """

    status: Status
    pc: int
    gas: int
    registers: list[int]
    fault_address: Optional[int]
    memory: CyMemory = field(repr=False)
    host_call: Optional[int] = None
    profile: Optional["Profile"] = field(default=None, repr=False)


def _as_program(program: ProgramLike) -> CyProgram:
    if isinstance(program, CyProgram):
        return program
    if isinstance(program, (bytes, bytearray, memoryview)):
        return CyProgram(bytes(program))
    raise TypeError(f"program must be a program blob (bytes) or a CyProgram, not {type(program).__name__}")


def _check_int(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low} and {high}, got {value}")
    return value


class Interpreter:
    """Runs one program, compiling each basic block once and caching it.

    >>> it = Interpreter(blob)
    >>> it.run(gas=1000).status
    'halt'
    """

    def __init__(self, program: ProgramLike, *, jit: Optional[bool] = None):
        """`jit`: whether long runs translate blocks to machine code (None:
        the default, which `engine()` names)."""
        if jit is not None and not isinstance(jit, bool):
            raise TypeError(f"jit must be a bool or None, not '{type(jit).__name__}'")
        self.program = _as_program(program)
        self._native = vm_interpreter.Interpreter(self.program, jit)
        # `run` below, done natively in one call (same checks, messages and
        # result): for a short run the bookkeeping in Python costs more than
        # the run itself.  The instance attribute saves the method's frame.
        setattr(self, "run", self._native.call)

    @property
    def cached_blocks(self) -> int:
        """Number of basic blocks compiled so far."""
        return self._native.cached_blocks

    @property
    def engine(self) -> str:
        """The engine long runs of this interpreter take: "compiler" or "native loop"."""
        return "native loop" if self._native.compiled_blocks is None else "compiler"

    def compile_block(self, pc: int) -> CyBlockInfo:
        """The compiled block (`CyBlockInfo`) starting at `pc`, from the cache."""
        return self._native.compile_block(_check_int("pc", pc, 0, _U32_MAX))

    def run(
        self,
        *,
        registers: Optional[Sequence[int]] = None,
        memory: Optional[CyMemory] = None,
        pc: int = 0,
        gas: int = 10_000,
        trace: Optional[TraceHook] = None,
        host: Optional[HostHandler] = None,
        breakpoints: Optional[Iterable[int]] = None,
        max_steps: Optional[int] = None,
        trace_instructions: Optional[InstructionTrace] = None,
        profile: bool = False,
    ) -> RunResult:
        """Runs from `pc` with `gas` until the program exits, runs out of gas,
        makes a host call without a `host` handler or stops where asked.

        `trace`, if given, is called after each block that runs to its end
        with the block's start pc (for the rest of a block after a host call,
        the pc it resumed at), the block and the register array.  `host`
        handles host calls, and `breakpoints`, `max_steps`,
        `trace_instructions` and `profile` look inside the run, as the module
        documentation describes.  Any pc may start a run, also one inside a
        basic block.
        """
        result: RunResult = self._native.call(
            registers=registers, memory=memory, pc=pc, gas=gas, trace=trace, host=host, breakpoints=breakpoints,
            max_steps=max_steps, trace_instructions=trace_instructions, profile=profile,
        )
        return result


def engine() -> str:
    """The engine long runs take by default: "compiler" (blocks translated to
    x86-64 machine code), or "native loop" where that is not supported or
    was turned off (the environment variable QORVEL_PVM_JIT=0, read at
    import).  Runs that need the general path (trace hooks, breakpoints,
    subclasses) take it whatever this says."""
    return vm_interpreter.engine()


def _make_profile(raw: "RawProfile", start_pc: int) -> "Profile":
    from .profile import Profile

    return Profile.from_native(raw, start_pc)


# The native run reads host handlers' replies by the rules above (None or an
# int, HostExit to end the run), hands raw instruction records to the
# adapter of trace.py and makes a profile from its raw counts.
vm_interpreter._bind_api(RunResult, STATUS_NAMES, Interpreter.run.__kwdefaults__ or {}, HostExit, _adapter,
                         _make_profile)
# Long runs let signal handlers run on the main thread; in the child of a
# fork, that is the thread that forked.
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=vm_interpreter._find_main_thread)


def run(
    program: ProgramLike,
    *,
    registers: Optional[Sequence[int]] = None,
    memory: Optional[CyMemory] = None,
    pc: int = 0,
    gas: int = 10_000,
    trace: Optional[TraceHook] = None,
    host: Optional[HostHandler] = None,
    breakpoints: Optional[Iterable[int]] = None,
    max_steps: Optional[int] = None,
    trace_instructions: Optional[InstructionTrace] = None,
    profile: bool = False,
) -> RunResult:
    """Runs `program` (a blob or a `CyProgram`) once and returns the outcome;
    the arguments are those of `Interpreter.run`."""
    return Interpreter(program).run(
        registers=registers, memory=memory, pc=pc, gas=gas, trace=trace, host=host, breakpoints=breakpoints,
        max_steps=max_steps, trace_instructions=trace_instructions, profile=profile,
    )
