"""Instructions with two immediates: stores of an immediate at an immediate address."""

from typing import Any, TypeVar

from qorvel_pvm.cpvm.instructions.op_table import CyTable, CyTableEntry

_T = TypeVar("_T", bound=InstructionsWArgs2Imm)

class InstructionsWArgs2Imm(CyTable):
    def get_table(self) -> dict[int, CyTableEntry]:
        """Return the instruction table mapping opcodes to their handlers."""

def _reconstruct_InstructionsWArgs2Imm(cls: type[_T], checksum: int, state: tuple[Any, ...] | None, /) -> _T: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
