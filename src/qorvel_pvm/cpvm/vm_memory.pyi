"""Paged guest memory with per-page read and write permissions."""

from collections.abc import Buffer
from typing import Any, ClassVar, Final, Self, TypeVar

from typing_extensions import disjoint_base

from qorvel_pvm.common.types import Accessibility

_M = TypeVar("_M", bound=CyMemory)

# Access modes of the native permission checks.
ACC_READ: Final = 0
ACC_WRITE: Final = 1
ACC_NONE: Final = 2
PAGE_SIZE: Final = 4096

# The access-kind enumeration the Python-visible methods take.
CommonAccessibility = Accessibility

@disjoint_base
class CyMemory:
    """Paged guest memory: a sparse 32-bit address space of 4096-byte pages with a read and a write permission per page.  data maps byte addresses to byte values; the two lists name the pages that may be read and written."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(
        self,
        data: dict[int, int] | None = None,
        allowed_read_pages: list[int] | None = None,
        allowed_write_pages: list[int] | None = None,
        heap: int = 0,
    ) -> None: ...
    @classmethod
    def from_pc(cls, read: bytes, write: bytes, args: bytes, z: int, s: int, heap: int = 0) -> Self:
        """A memory with the standard program layout: read-only data at 0x10000, read-write data and z extra pages above it, a stack of s bytes below 0xFEFE0000 and the arguments at 0xFEFF0000."""

    # Page store: page index -> address of the page's native buffer.
    @property
    def _pages(self) -> dict[int, int]: ...
    @_pages.setter
    def _pages(self, value: dict[int, int] | None) -> None: ...
    @_pages.deleter
    def _pages(self) -> None: ...
    @property
    def _r_pages(self) -> set[int]: ...
    @_r_pages.setter
    def _r_pages(self, value: set[int] | None) -> None: ...
    @_r_pages.deleter
    def _r_pages(self) -> None: ...
    @property
    def _w_pages(self) -> set[int]: ...
    @_w_pages.setter
    def _w_pages(self, value: set[int] | None) -> None: ...
    @_w_pages.deleter
    def _w_pages(self) -> None: ...
    @property
    def heap_break(self) -> int: ...
    @heap_break.setter
    def heap_break(self, value: int) -> None: ...
    def read(self, address: int, length: int) -> bytes:
        """Read length bytes; every page needs read access, else PvmExit(2, address)."""

    def write(self, address: int, data: Buffer) -> None:
        """Write a bytes-like object; every page needs write access, else PvmExit(2, address) and nothing is written."""

    def _get_byte(self, addr: int) -> int:
        """The byte at addr (0 for a page never written); permissions are not checked."""

    def _set_byte(self, addr: int, value: int) -> None:
        """Store one byte, creating its page; permissions are not checked."""

    def is_accessible(self, address: int, length: int, access: Accessibility = ...) -> bool:
        """Whether every page of the range has the access."""

    def alter_accessibility(self, start: int, len_: int, access: Accessibility) -> None:
        """Give every page of the range the access (in the bitsets only)."""

    def zero_memory_range(self, start_page: int, num_pages: int) -> None:
        """Fill whole pages with zeros, creating them."""

    def _sync_bitsets_from_sets(self) -> None:
        """Rebuild the permission bitsets from _r_pages and _w_pages."""

    def contents_equal(self, other: CyMemory, /) -> bool:
        """Whether both memories hold the same bytes on every page (a page not in the store reads as zeros), the same read and write permission on every page and the same heap_break.  Unlike ==, which compares the page stores as they are (buffer addresses included), this is true for a copy made by pickling."""

    # Compares the page stores as they are, buffer addresses included:
    # contents_equal compares what a program can observe.
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...], /) -> None: ...

def _reconstruct_CyMemory(cls: type[_M], checksum: int, state: tuple[Any, ...] | None, /) -> _M: ...

__native_api__: dict[str, Any]
__test__: dict[str, Any]
