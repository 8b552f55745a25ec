"""Instructions with three registers: arithmetic, division, shifts, rotates, logic, comparisons, conditional moves, minimum and maximum."""

from typing import Any, TypeVar

from qorvel_pvm.cpvm.instructions.op_table import CyTable, CyTableEntry

_T = TypeVar("_T", bound=InstructionsWArgs3Reg)

class InstructionsWArgs3Reg(CyTable):
    def get_table(self) -> dict[int, CyTableEntry]:
        """Return the instruction table mapping opcodes to their handlers."""

def _reconstruct_InstructionsWArgs3Reg(cls: type[_T], checksum: int, state: tuple[Any, ...] | None, /) -> _T: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
