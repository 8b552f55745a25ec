"""Instruction traces: one record per instruction a run executes.

`run(..., trace_instructions=fn)` calls `fn` with an `InstructionRecord` for
each instruction, in order, after it ran: its pc, the instruction as the
disassembler prints it, the gas left after its block was charged, the
registers it wrote (their new values) and the memory it read or wrote.  An
instruction that ends the run (a trap, a page fault, a halt) is recorded too.
`InstructionRecord.to_json()` and `end_record(result)` give the JSON objects
that `qorvel-pvm run --trace-instructions FILE` writes, one per line
(docs/DEBUGGING.md describes them).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Literal, Optional

from .asm import decode_blob, disassemble_at

if TYPE_CHECKING:
    from .cpvm.vm_program import CyProgram
    from .interpreter import RunResult

__all__ = ["MemoryAccess", "InstructionRecord", "end_record"]


@dataclass(frozen=True)
class MemoryAccess:
    """A load (`kind` "read") or store ("write") of `data` at `address`."""

    kind: Literal["read", "write"]
    address: int
    data: bytes

    def to_json(self) -> dict[str, Any]:
        return {"access": self.kind, "address": self.address, "length": len(self.data), "bytes": self.data.hex()}


@dataclass(frozen=True)
class InstructionRecord:
    """One executed instruction.  `registers` maps each register it wrote
    (by number) to its new value; `gas` is what was left after its block
    was charged."""

    pc: int
    instruction: str
    gas: int
    registers: dict[int, int] = field(default_factory=dict)
    memory: tuple[MemoryAccess, ...] = ()

    def to_json(self) -> dict[str, Any]:
        return {
            "pc": self.pc,
            "instruction": self.instruction,
            "gas": self.gas,
            "registers": {f"r{r}": v for r, v in self.registers.items()},
            "memory": [m.to_json() for m in self.memory],
        }


def end_record(result: "RunResult") -> dict[str, Any]:
    """How the run ended, as the last line of a trace file."""
    return {
        "end": result.status,
        "pc": result.pc,
        "gas": result.gas,
        "fault_address": result.fault_address,
        "host_call": result.host_call,
    }


RawRecord = tuple[int, int, tuple[tuple[int, int], ...], tuple[tuple[bool, int, bytes], ...]]


def _adapter(fn: Callable[[InstructionRecord], object], program: "CyProgram") -> Callable[[RawRecord], None]:
    """The callable a run hands its raw records to: it makes each record,
    with the instruction's text (decoded once per pc), and passes it to `fn`."""
    code: Optional[bytes] = None
    bitmask: Optional[bytes] = None
    texts: dict[int, str] = {}

    def text(pc: int) -> str:
        nonlocal code, bitmask
        if pc in texts:
            return texts[pc]
        if code is None:
            parts = decode_blob(program.encode())
            code, bitmask = bytes(parts.code), bytes(parts.bitmask)
        assert bitmask is not None
        if pc >= len(code):
            t = "trap  ; past the end of the code"
        else:
            t, _ = disassemble_at(code, bitmask, pc)
            if t.startswith((".byte", ".insn")):
                t += "  ; not an instruction: runs as trap"
        texts[pc] = t
        return t

    def call(raw: RawRecord) -> None:
        pc, gas, written, accesses = raw
        fn(InstructionRecord(
            pc, text(pc), gas, dict(written),
            tuple(MemoryAccess("write" if w else "read", address, data) for w, address, data in accesses),
        ))

    return call
