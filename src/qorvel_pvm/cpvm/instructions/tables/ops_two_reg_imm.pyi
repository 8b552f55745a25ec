"""Instructions with two registers and one immediate: register-indirect loads and stores, arithmetic, logic, comparisons, conditional moves, shifts and rotates."""

from typing import Any, TypeVar

from qorvel_pvm.cpvm.instructions.op_table import CyTable, CyTableEntry

_T = TypeVar("_T", bound=CyInstructionsWArgs2Reg1Imm)

class CyInstructionsWArgs2Reg1Imm(CyTable):
    def get_table(self) -> dict[int, CyTableEntry]:
        """Return the instruction table mapping opcodes to their handlers."""

def _reconstruct_CyInstructionsWArgs2Reg1Imm(cls: type[_T], checksum: int, state: tuple[Any, ...] | None, /) -> _T: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
