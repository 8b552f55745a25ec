"""Numeric helpers and lookup tables shared by the PVM modules."""

from typing import Any, Final

# BYTE_TO_BITS_LUT[b][k] is bit k of b, least significant first;
# BYTES_TO_BYTE_LUT[b] is b with its bit order reversed.
BYTE_TO_BITS_LUT: Final[tuple[tuple[int, int, int, int, int, int, int, int], ...]]
BYTES_TO_BYTE_LUT: Final[tuple[int, ...]]

def clamp_12(x: int, /) -> int:
    """clamp_12(x) -> min(12, x)"""

def clamp_4(x: int, /) -> int:
    """clamp_4(x) -> min(4, x)"""

def clamp_4_max0(x: int, /) -> int:
    """clamp_4_max0(x) -> min(4, max(0, x))"""

def z(x: int, n: int, /) -> int:
    """z(x, n) -> signed reading of the low n bytes of x"""

def chi(x: int, n: int, /) -> int:
    """chi(x, n) -> low n bytes of x sign-extended to 64 bits (as a signed int)"""

def z_inv(x: int, n: int, /) -> int:
    """z_inv(x, n) -> x mod 2**(8n)"""

def uint8_to_bytes_le(v: int, n: int, /) -> bytes:
    """uint8_to_bytes_le(v, n) -> n little-endian bytes of v"""

def uint16_to_bytes_le(v: int, n: int, /) -> bytes:
    """uint16_to_bytes_le(v, n) -> n little-endian bytes of v"""

def uint32_to_bytes_le(v: int, n: int, /) -> bytes:
    """uint32_to_bytes_le(v, n) -> n little-endian bytes of v"""

def uint64_to_bytes_le(v: int, n: int, /) -> bytes:
    """uint64_to_bytes_le(v, n) -> n little-endian bytes of v"""

def bytes_to_uint8_le(d: bytes, /) -> int:
    """bytes_to_uint8_le(d) -> int"""

def bytes_to_uint16_le(d: bytes, /) -> int:
    """bytes_to_uint16_le(d) -> int"""

def bytes_to_uint32_le(d: bytes, /) -> int:
    """bytes_to_uint32_le(d) -> int"""

def bytes_to_uint64_le(d: bytes, /) -> int:
    """bytes_to_uint64_le(d) -> int"""

def total_page_size(n: int, /) -> int:
    """total_page_size(n) -> n rounded up to 4096"""

def total_zone_size(n: int, /) -> int:
    """total_zone_size(n) -> n rounded up to 65536"""

def get_pages(address: int, size: int, /) -> list[int]:
    """get_pages(address, size) -> list of the page numbers the byte range touches"""

def b(x: int, n: int, is_reversed: bool = False) -> bytes:
    """b(x, n, is_reversed=False) -> the low n bytes of x, little-endian (big-endian if reversed)"""

def b_inv(data: bytes, is_reversed: bool = False) -> int:
    """b_inv(data, is_reversed=False) -> the unsigned value of up to 8 little-endian bytes"""

__native_api__: dict[str, Any]
__test__: dict[str, Any]
