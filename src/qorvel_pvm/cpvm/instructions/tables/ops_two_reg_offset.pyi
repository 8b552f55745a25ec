"""Instructions with two registers and one offset: the register-register compare branches."""

from typing import Any, TypeVar

from qorvel_pvm.cpvm.instructions.op_table import CyTable, CyTableEntry

_T = TypeVar("_T", bound=InstructionsWArgs2Reg1Offset)

class InstructionsWArgs2Reg1Offset(CyTable):
    def get_table(self) -> dict[int, CyTableEntry]:
        """Return the instruction table mapping opcodes to their handlers."""

def _reconstruct_InstructionsWArgs2Reg1Offset(cls: type[_T], checksum: int, state: tuple[Any, ...] | None, /) -> _T: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
