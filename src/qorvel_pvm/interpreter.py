"""Running PVM programs from Python.

`run` executes a program once; `Interpreter` keeps the compiled blocks of one
program for repeated runs.  Both check their inputs before anything runs and
return a `RunResult` with the final status, pc, gas, registers and memory.
"""

from __future__ import annotations

from array import array
from dataclasses import dataclass, field
from typing import Callable, Optional, Sequence, Union

from .cpvm import vm_interpreter
from .cpvm.vm_memory import CyMemory
from .cpvm.vm_program import CyProgram

__all__ = ["RunResult", "Interpreter", "run", "STATUS_NAMES"]

REGISTER_COUNT = 13
_U64_MAX = (1 << 64) - 1
_U32_MAX = (1 << 32) - 1
_GAS_MAX = (1 << 63) - 1

#: Status names by the exit code the native driver reports.
STATUS_NAMES = {0: "halt", 1: "panic", 2: "page-fault", 3: "out-of-gas"}

ProgramLike = Union[bytes, bytearray, memoryview, CyProgram]
TraceHook = Callable[[int, object, array], None]


@dataclass
class RunResult:
    """The outcome of a run.

    `status` is "halt", "panic", "page-fault" or "out-of-gas"; `pc` is the
    instruction that exited (or the block start that ran out of gas); `gas`
    is what is left; `fault_address` is the refused address of a page fault.
    """

    status: str
    pc: int
    gas: int
    registers: list[int]
    fault_address: Optional[int]
    memory: CyMemory = field(repr=False)


def _as_program(program: ProgramLike) -> CyProgram:
    if isinstance(program, CyProgram):
        return program
    if isinstance(program, (bytes, bytearray, memoryview)):
        return CyProgram(bytes(program))
    raise TypeError(f"program must be a program blob (bytes) or a CyProgram, not {type(program).__name__}")


def _check_int(name: str, value, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be between {low} and {high}, got {value}")
    return value


def _as_registers(registers: Optional[Sequence[int]]) -> array:
    if registers is None:
        return array("Q", [0] * REGISTER_COUNT)
    if isinstance(registers, (str, bytes)) or not hasattr(registers, "__len__"):
        raise TypeError(f"registers must be a sequence of {REGISTER_COUNT} ints")
    if len(registers) != REGISTER_COUNT:
        raise ValueError(f"registers must hold exactly {REGISTER_COUNT} values, got {len(registers)}")
    # Fast path for the usual list of plain ints; anything else is checked
    # one by one so the error names the register.
    if all(type(v) is int for v in registers):
        try:
            return array("Q", registers)
        except OverflowError:
            pass
    return array("Q", [_check_int(f"registers[{i}]", v, 0, _U64_MAX) for i, v in enumerate(registers)])


class Interpreter:
    """Runs one program, compiling each basic block once and caching it.

    >>> it = Interpreter(blob)
    >>> it.run(gas=1000).status
    'halt'
    """

    def __init__(self, program: ProgramLike):
        self.program = _as_program(program)
        self._native = vm_interpreter.Interpreter(self.program)
        # `run` below, done natively in one call (same checks, messages and
        # result): for a short run the bookkeeping in Python costs more than
        # the run itself.
        self.run = self._native.call

    @property
    def cached_blocks(self) -> int:
        """Number of basic blocks compiled so far."""
        return self._native.cached_blocks

    def compile_block(self, pc: int):
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
    ) -> RunResult:
        """Runs from `pc` with `gas` until the program exits or runs out of gas.

        `trace`, if given, is called after each executed block with the
        block's start pc, the block and the register array.
        """
        return self._native.call(registers=registers, memory=memory, pc=pc, gas=gas, trace=trace)


vm_interpreter._bind_api(RunResult, STATUS_NAMES, Interpreter.run.__kwdefaults__)


def run(
    program: ProgramLike,
    *,
    registers: Optional[Sequence[int]] = None,
    memory: Optional[CyMemory] = None,
    pc: int = 0,
    gas: int = 10_000,
) -> RunResult:
    """Runs `program` (a blob or a `CyProgram`) once and returns the outcome."""
    return Interpreter(program).run(registers=registers, memory=memory, pc=pc, gas=gas)
