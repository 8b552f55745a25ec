"""The program object: code bytes, jump table and basic blocks."""

from collections.abc import Buffer
from typing import Any, Final, Self

from typing_extensions import disjoint_base

from qorvel_pvm.cpvm.vm_block import CyBlockInfo

# Opcodes after which a basic block ends (including every undefined opcode).
TERMINATING_OPCODES: Final[frozenset[int]]

@disjoint_base
class CyProgram:
    """A decoded program: code bytes, instruction starts, jump table and basic-block starts.  ValueError for a malformed blob."""

    def __new__(cls, blob: Buffer) -> Self: ...
    @property
    def z(self) -> int:
        """bytes per jump-table entry"""

    @property
    def jump_table(self) -> tuple[int, ...]:
        """the jump-table entries"""

    @property
    def instruction_set(self) -> bytes:
        """the code bytes"""

    @property
    def offset_bitmask(self) -> bytes:
        """instruction starts, one bit per code byte, least significant bit first"""

    @property
    def basic_blocks(self) -> tuple[int, ...]:
        """the basic-block starts in ascending order"""

    @property
    def instruction_set_len(self) -> int: ...
    @property
    def jump_table_len(self) -> int: ...
    @property
    def _extended_bitmask(self) -> bytes:
        """1 at each instruction start, one byte per position; the 25 positions past the code count as starts"""

    @property
    def zeta_len(self) -> int:
        """number of code bytes"""

    @property
    def _basic_blocks_set(self) -> frozenset[int]: ...
    @property
    def _exec_blocks(self) -> dict[int, CyBlockInfo]:
        """compiled blocks cached by the driver"""

    @property
    def _skip_cache_len(self) -> int: ...
    def _precompute_cache(self) -> None:
        """Compute the skip length of every code position once, so that skip() is a lookup."""

    def encode_size(self) -> int:
        """Size of the program blob in bytes."""

    def encode_into(self, buffer: Buffer, offset: int, /) -> int:
        """Write the program blob into a writable buffer at offset and return the offset just past it."""

    def encode(self) -> bytes:
        """The program blob."""

    def branch(self, pc: int, target: int, condition: int, /) -> int:
        """Target of a branch: 0xFFFFFFFF when the condition is 0 (not taken), the target when it starts a basic block; otherwise PvmExit(1) is raised."""

    def skip(self, pc: int, /) -> int:
        """Number of bytes after the opcode at pc up to the next instruction start, at most 24."""

    def djump(self, pc: int, address: int, /) -> int:
        """Target of a jump through the jump table.  Address 0xFFFF0000 raises PvmExit(0); address 0, an odd address, one past the table or an entry that does not start a basic block raise PvmExit(1)."""

    def __reduce__(self) -> tuple[type[Self], tuple[bytes]]: ...

__test__: dict[str, Any]
