"""Run status values and the PvmExit exception."""

from typing import Any, ClassVar, Final, TypeVar

from typing_extensions import disjoint_base

_S = TypeVar("_S", bound=CyStatus)

EXIT_HALT: Final = 0
EXIT_PANIC: Final = 1
EXIT_PAGE_FAULT: Final = 2
EXIT_OUT_OF_GAS: Final = 3
EXIT_HOST_CALL: Final = 4
EXIT_CONTINUE: Final = 255

@disjoint_base
class CyStatus:
    """A run status: an exit code and an associated register value."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, code: int = 0, register: int = 0) -> None: ...
    @property
    def code(self) -> int: ...
    @code.setter
    def code(self, value: int) -> None: ...
    @property
    def register(self) -> int: ...
    @register.setter
    def register(self, value: int) -> None: ...
    def set_values(self, code: int, register: int, /) -> None:
        """Set both fields."""

    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

CONTINUE: Final[CyStatus]
HALT: Final[CyStatus]
OUT_OF_GAS: Final[CyStatus]
PANIC: Final[CyStatus]

def PAGE_FAULT(address: int, /) -> CyStatus:
    """PAGE_FAULT(address) -> CyStatus(2, address)"""

class PvmExit(Exception):
    """Raised when guest execution ends: code 0 halt, 1 panic (trap), 2 page fault at `address`, 4 host call (ecalli) with the call index as `address`.  The block executor adds `next_pc` and `gas_cost`."""

    # Set by the block executor on an exit that leaves a block.
    next_pc: int
    gas_cost: int
    def __init__(self, code: int, address: int = ..., /) -> None: ...
    @property
    def code(self) -> int:
        """The exit code (first argument): 0 halt, 1 panic, 2 page fault, 4 host call."""

    @property
    def address(self) -> int | None:
        """The second argument: the faulting address of a page fault, the index of a host call; or None."""

def _reconstruct_CyStatus(cls: type[_S], checksum: int, state: tuple[Any, ...] | None, /) -> _S: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
