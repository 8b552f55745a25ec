"""Instructions with one register and one immediate: the indirect jump, the immediate load, and loads and stores at an immediate address."""

from typing import Any, TypeVar

from qorvel_pvm.cpvm.instructions.op_table import CyTable, CyTableEntry

_T = TypeVar("_T", bound=InstructionsWArgs1Reg1Imm)

class InstructionsWArgs1Reg1Imm(CyTable):
    def get_table(self) -> dict[int, CyTableEntry]:
        """Return the instruction table mapping opcodes to their handlers."""

def _reconstruct_InstructionsWArgs1Reg1Imm(cls: type[_T], checksum: int, state: tuple[Any, ...] | None, /) -> _T: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
