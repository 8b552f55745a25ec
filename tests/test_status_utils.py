"""The status module and the numeric helpers."""

import pickle

import pytest
from hypothesis import given, strategies as st

from qorvel_pvm.common.types import Accessibility
from qorvel_pvm.cpvm import vm_status, vm_utils
from qorvel_pvm.cpvm.vm_status import CyStatus, PvmExit

U64 = st.integers(0, 2**64 - 1)


def test_fixed_statuses_and_page_fault():
    codes = {name: getattr(vm_status, name).code for name in ("HALT", "PANIC", "OUT_OF_GAS", "CONTINUE")}
    assert codes == {"HALT": 0, "PANIC": 1, "OUT_OF_GAS": 3, "CONTINUE": 255}
    pf = vm_status.PAGE_FAULT(0xFFFFFFFF)
    assert (pf.code, pf.register) == (2, 0xFFFFFFFF)
    with pytest.raises(OverflowError, match="uint32_t"):
        vm_status.PAGE_FAULT(2**32)


def test_status_fields_convert_and_pickle():
    s = CyStatus(1, 2)
    s.set_values(2, 0x1000)
    assert (s.code, s.register) == (2, 0x1000)
    with pytest.raises(OverflowError, match="value too large to convert to uint8_t"):
        s.code = 256
    with pytest.raises(NotImplementedError, match="__del__"):
        del s.register
    assert s.code == 2
    t = pickle.loads(pickle.dumps(s))
    assert t == s and t is not s
    assert repr(t) == "CyStatus(code=2, register=4096)"


@pytest.mark.parametrize("args,code,address", [((1,), 1, None), ((2, 0x1234), 2, 0x1234), ((), None, None)])
def test_pvm_exit_args_and_attributes(args, code, address):
    e = PvmExit(*args)
    assert e.args == args and e.code == code and e.address == address
    e.next_pc, e.gas_cost = 7, 3
    assert (e.next_pc, e.gas_cost) == (7, 3)
    assert isinstance(e, Exception)


def test_accessibility_values():
    assert [m.value for m in (Accessibility.READ, Accessibility.WRITE, Accessibility.NONE)] == [0, 1, 2]


@pytest.mark.parametrize("x", [0, 4, 5, 11, 12, 13, 255])
def test_clamps(x):
    assert vm_utils.clamp_12(x) == min(12, x)
    assert vm_utils.clamp_4(x) == min(4, x)


@pytest.mark.parametrize("x,expected", [(-128, 0), (-1, 0), (0, 0), (3, 3), (4, 4), (5, 4), (127, 4)])
def test_clamp_4_max0(x, expected):
    assert vm_utils.clamp_4_max0(x) == expected


def signed(x, n):
    if n == 0:
        return 0
    x &= (1 << (8 * n)) - 1
    return x - (1 << (8 * n)) if x >> (8 * n - 1) else x


@given(U64, st.integers(0, 8))
def test_z_chi_z_inv_model(x, n):
    assert vm_utils.z(x, n) == signed(x, n)
    assert vm_utils.chi(x, n) == signed(x, n)
    assert vm_utils.z_inv(signed(x, 8), n) == x % (1 << (8 * n))


@pytest.mark.parametrize("fn", [vm_utils.z, vm_utils.chi, vm_utils.uint64_to_bytes_le])
def test_byte_count_above_eight_is_refused(fn):
    with pytest.raises(ValueError, match="byte count must be 0 to 8"):
        fn(1, 9)


@pytest.mark.parametrize(
    "fn,back,width", [
        (vm_utils.uint8_to_bytes_le, vm_utils.bytes_to_uint8_le, 1),
        (vm_utils.uint16_to_bytes_le, vm_utils.bytes_to_uint16_le, 2),
        (vm_utils.uint32_to_bytes_le, vm_utils.bytes_to_uint32_le, 4),
        (vm_utils.uint64_to_bytes_le, vm_utils.bytes_to_uint64_le, 8),
    ])
def test_byte_conversions(fn, back, width):
    top = (1 << (8 * width)) - 1
    data = fn(top - 1, width)
    assert data == (top - 1).to_bytes(width, "little") and back(data) == top - 1
    with pytest.raises(ValueError, match=f"expected {width} bytes, got {width + 1}"):
        back(b"\0" * (width + 1))
    with pytest.raises(TypeError, match="expected bytes"):
        back(bytearray(width))
    with pytest.raises(OverflowError):
        fn(top + 1, width)


@pytest.mark.parametrize(
    "n,page,zone", [(0, 0, 0), (1, 4096, 65536), (4096, 4096, 65536), (4097, 8192, 65536), (65537, 69632, 131072)]
)
def test_rounding(n, page, zone):
    assert vm_utils.total_page_size(n) == page and vm_utils.total_zone_size(n) == zone


def test_rounding_past_32_bits_is_refused():
    assert vm_utils.total_page_size(0xFFFFF000) == 0xFFFFF000
    with pytest.raises(OverflowError):
        vm_utils.total_page_size(0xFFFFF001)
    with pytest.raises(OverflowError):
        vm_utils.total_zone_size(0xFFFF0001)


@pytest.mark.parametrize(
    "address,size,pages",
    [(0, 0, []), (0xFFF, 2, [0, 1]), (0x1000, 4096, [1]), (0x1000, 4097, [1, 2]), (0xFFFFF000, 4096, [0xFFFFF])],
)
def test_get_pages(address, size, pages):
    assert vm_utils.get_pages(address, size) == pages


def test_get_pages_past_the_address_space_is_refused():
    with pytest.raises(ValueError, match="runs past the end"):
        vm_utils.get_pages(0xFFFFF000, 4097)


@given(U64, st.integers(0, 8), st.booleans())
def test_b_and_b_inv_round_trip(x, n, rev):
    data = vm_utils.b(x, n, rev)
    assert len(data) == n
    assert vm_utils.b_inv(data, rev) == x % (1 << (8 * n))
    assert vm_utils.b(x, n, is_reversed=rev) == data


def test_lookup_tables():
    bits = vm_utils.BYTE_TO_BITS_LUT
    assert len(bits) == 256 and bits[0b1000_0001] == (1, 0, 0, 0, 0, 0, 0, 1) and bits[2] == (0, 1, 0, 0, 0, 0, 0, 0)
    assert vm_utils.BYTES_TO_BYTE_LUT[1] == 0x80 and sorted(vm_utils.BYTES_TO_BYTE_LUT) == list(range(256))
