"""Instruction handler entries and the base class of the instruction groups."""

from typing import Any, NoReturn, TypeVar

from typing_extensions import disjoint_base

_T = TypeVar("_T", bound=CyTable)

@disjoint_base
class CyTableEntry:
    """One instruction handler with its gas cost and whether it ends a basic block."""

    @property
    def gas_cost(self) -> int: ...
    @gas_cost.setter
    def gas_cost(self, value: int) -> None: ...
    @property
    def is_terminating(self) -> bool: ...
    @is_terminating.setter
    def is_terminating(self, value: bool) -> None: ...
    # An entry holds a native handler and cannot be pickled.
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

@disjoint_base
class CyTable:
    """Base class implementation for all instruction tables."""

    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

def _reconstruct_CyTable(cls: type[_T], checksum: int, state: tuple[Any, ...] | None, /) -> _T: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
