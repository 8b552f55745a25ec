// Arithmetic rules of the instruction set, written once for every group.
//
// A rule computes a 64-bit register value from two 64-bit operands.  Rules
// over a width take only the low `Bytes` bytes of each operand, compute in
// that width (wrapping by truncation) and sign-extend the result to 64 bits,
// so a 32-bit result becomes its own sign extension and a 64-bit one is
// unchanged.  The register-immediate group, the three-register group and the
// driver's native block form all compute through these rules, so they agree
// bit for bit.
#pragma once

#include <bit>
#include <cstdint>

namespace pvm::alu {

// The unsigned and signed word of a width in bytes.
template <unsigned Bytes>
struct Word;
template <>
struct Word<1> {
    using U = uint8_t;
    using S = int8_t;
};
template <>
struct Word<2> {
    using U = uint16_t;
    using S = int16_t;
};
template <>
struct Word<4> {
    using U = uint32_t;
    using S = int32_t;
};
template <>
struct Word<8> {
    using U = uint64_t;
    using S = int64_t;
};

template <unsigned Bytes>
using U = typename Word<Bytes>::U;
template <unsigned Bytes>
using S = typename Word<Bytes>::S;

// A result of `Bytes` bytes widened to a register: sign-extended from its top bit.
template <unsigned Bytes>
constexpr uint64_t widen_signed(U<Bytes> v) {
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<S<Bytes>>(v)));
}

// Byte order of guest memory: little-endian, whatever the host's.
template <class T>
constexpr T to_little(T v) {
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
        return v;
    } else if constexpr (sizeof(T) == 2) {
        return __builtin_bswap16(v);
    } else if constexpr (sizeof(T) == 4) {
        return __builtin_bswap32(v);
    } else {
        return __builtin_bswap64(v);
    }
}

using Rule = uint64_t (*)(uint64_t, uint64_t);

// Shift and rotate amounts are reduced modulo the width in bits.
template <unsigned Bytes>
constexpr unsigned amount(uint64_t a) {
    return static_cast<unsigned>(a & (8 * Bytes - 1));
}

template <unsigned Bytes>
constexpr uint64_t add(uint64_t a, uint64_t b) {
    return widen_signed<Bytes>(static_cast<U<Bytes>>(static_cast<U<Bytes>>(a) + static_cast<U<Bytes>>(b)));
}
template <unsigned Bytes>
constexpr uint64_t sub(uint64_t a, uint64_t b) {
    return widen_signed<Bytes>(static_cast<U<Bytes>>(static_cast<U<Bytes>>(a) - static_cast<U<Bytes>>(b)));
}
template <unsigned Bytes>
constexpr uint64_t mul(uint64_t a, uint64_t b) {
    return widen_signed<Bytes>(static_cast<U<Bytes>>(static_cast<U<Bytes>>(a) * static_cast<U<Bytes>>(b)));
}
// Reverse subtraction: X - B.
template <unsigned Bytes>
constexpr uint64_t neg_add(uint64_t b, uint64_t x) {
    return sub<Bytes>(x, b);
}
template <unsigned Bytes>
constexpr uint64_t shl(uint64_t value, uint64_t by) {
    return widen_signed<Bytes>(static_cast<U<Bytes>>(static_cast<U<Bytes>>(value) << amount<Bytes>(by)));
}
template <unsigned Bytes>
constexpr uint64_t shr(uint64_t value, uint64_t by) {
    return widen_signed<Bytes>(static_cast<U<Bytes>>(static_cast<U<Bytes>>(value) >> amount<Bytes>(by)));
}
// Arithmetic right shift of the value's low `Bytes` bytes read as signed.
template <unsigned Bytes>
constexpr uint64_t sar(uint64_t value, uint64_t by) {
    return widen_signed<Bytes>(
        static_cast<U<Bytes>>(static_cast<S<Bytes>>(static_cast<U<Bytes>>(value)) >> amount<Bytes>(by)));
}
template <unsigned Bytes>
constexpr uint64_t rot_r(uint64_t value, uint64_t by) {
    return widen_signed<Bytes>(std::rotr(static_cast<U<Bytes>>(value), static_cast<int>(amount<Bytes>(by))));
}
template <unsigned Bytes>
constexpr uint64_t rot_l(uint64_t value, uint64_t by) {
    return widen_signed<Bytes>(std::rotl(static_cast<U<Bytes>>(value), static_cast<int>(amount<Bytes>(by))));
}

constexpr uint64_t bit_and(uint64_t a, uint64_t b) { return a & b; }
constexpr uint64_t bit_xor(uint64_t a, uint64_t b) { return a ^ b; }
constexpr uint64_t bit_or(uint64_t a, uint64_t b) { return a | b; }
constexpr uint64_t lt_u(uint64_t a, uint64_t b) { return a < b; }
constexpr uint64_t lt_s(uint64_t a, uint64_t b) { return static_cast<int64_t>(a) < static_cast<int64_t>(b); }
constexpr uint64_t gt_u(uint64_t a, uint64_t b) { return a > b; }
constexpr uint64_t gt_s(uint64_t a, uint64_t b) { return static_cast<int64_t>(a) > static_cast<int64_t>(b); }

constexpr uint64_t eq(uint64_t a, uint64_t b) { return a == b; }
constexpr uint64_t ne(uint64_t a, uint64_t b) { return a != b; }
constexpr uint64_t ge_u(uint64_t a, uint64_t b) { return a >= b; }
constexpr uint64_t ge_s(uint64_t a, uint64_t b) { return static_cast<int64_t>(a) >= static_cast<int64_t>(b); }

constexpr uint64_t and_inv(uint64_t a, uint64_t b) { return a & ~b; }
constexpr uint64_t or_inv(uint64_t a, uint64_t b) { return a | ~b; }
constexpr uint64_t xnor(uint64_t a, uint64_t b) { return ~(a ^ b); }

constexpr uint64_t max_s(uint64_t a, uint64_t b) { return lt_s(a, b) ? b : a; }
constexpr uint64_t max_u(uint64_t a, uint64_t b) { return a < b ? b : a; }
constexpr uint64_t min_s(uint64_t a, uint64_t b) { return lt_s(a, b) ? a : b; }
constexpr uint64_t min_u(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Division and remainder over the low `Bytes` bytes of each operand.  None
// of them faults: a zero divisor gives all ones (division) or the dividend
// (remainder); the one signed overflow, the most negative value divided by
// -1, gives the dividend (division) or 0 (remainder).  Quotients round
// toward zero and a signed remainder has the sign of the dividend.
template <unsigned Bytes>
constexpr uint64_t div_u(uint64_t a, uint64_t b) {
    const U<Bytes> x = static_cast<U<Bytes>>(a), y = static_cast<U<Bytes>>(b);
    if (y == 0) return ~uint64_t{0};
    return widen_signed<Bytes>(static_cast<U<Bytes>>(x / y));
}
template <unsigned Bytes>
constexpr uint64_t rem_u(uint64_t a, uint64_t b) {
    const U<Bytes> x = static_cast<U<Bytes>>(a), y = static_cast<U<Bytes>>(b);
    return widen_signed<Bytes>(y == 0 ? x : static_cast<U<Bytes>>(x % y));
}
template <unsigned Bytes>
constexpr uint64_t div_s(uint64_t a, uint64_t b) {
    const S<Bytes> x = static_cast<S<Bytes>>(static_cast<U<Bytes>>(a));
    const S<Bytes> y = static_cast<S<Bytes>>(static_cast<U<Bytes>>(b));
    if (y == 0) return ~uint64_t{0};
    if (y == -1) return widen_signed<Bytes>(static_cast<U<Bytes>>(U<Bytes>{0} - static_cast<U<Bytes>>(x)));
    return widen_signed<Bytes>(static_cast<U<Bytes>>(x / y));
}
template <unsigned Bytes>
constexpr uint64_t rem_s(uint64_t a, uint64_t b) {
    const S<Bytes> x = static_cast<S<Bytes>>(static_cast<U<Bytes>>(a));
    const S<Bytes> y = static_cast<S<Bytes>>(static_cast<U<Bytes>>(b));
    if (y == 0) return widen_signed<Bytes>(static_cast<U<Bytes>>(x));
    if (y == -1) return 0;  // also the overflowing case, whose remainder is 0
    return widen_signed<Bytes>(static_cast<U<Bytes>>(x % y));
}

// The high 64 bits of the 128-bit product, with each operand read as signed
// or unsigned.
__extension__ typedef __int128 int128;
__extension__ typedef unsigned __int128 uint128;

constexpr uint64_t mul_upper_u_u(uint64_t a, uint64_t b) {
    return static_cast<uint64_t>((static_cast<uint128>(a) * b) >> 64);
}
constexpr uint64_t mul_upper_s_s(uint64_t a, uint64_t b) {
    const int128 p = static_cast<int128>(static_cast<int64_t>(a)) * static_cast<int64_t>(b);
    return static_cast<uint64_t>(static_cast<uint128>(p) >> 64);
}
// |a| <= 2^63 and b < 2^64, so the signed 128-bit product cannot overflow.
constexpr uint64_t mul_upper_s_u(uint64_t a, uint64_t b) {
    const int128 p = static_cast<int128>(static_cast<int64_t>(a)) * static_cast<int128>(b);
    return static_cast<uint64_t>(static_cast<uint128>(p >> 64));
}

// Bit counts over the low `Bytes` bytes of a value: 1 bits, 0 bits above
// the highest 1 bit and 0 bits below the lowest one (the width in bits
// when those bytes are all 0), and the byte reversal of the whole register.
template <unsigned Bytes>
constexpr uint64_t count_ones(uint64_t a) {
    return static_cast<uint64_t>(__builtin_popcountll(static_cast<U<Bytes>>(a)));
}
template <unsigned Bytes>
constexpr uint64_t leading_zeros(uint64_t a) {
    const U<Bytes> v = static_cast<U<Bytes>>(a);
    return v == 0 ? uint64_t{8 * Bytes} : static_cast<uint64_t>(__builtin_clzll(v)) - (64 - 8 * Bytes);
}
template <unsigned Bytes>
constexpr uint64_t trailing_zeros(uint64_t a) {
    const U<Bytes> v = static_cast<U<Bytes>>(a);
    return v == 0 ? uint64_t{8 * Bytes} : static_cast<uint64_t>(__builtin_ctzll(v));
}
constexpr uint64_t reverse_bytes(uint64_t a) { return __builtin_bswap64(a); }

// The same rule with its operands swapped (the `_alt` forms of the
// register-immediate group: the immediate is the value, the register the amount).
template <Rule R>
constexpr uint64_t swapped(uint64_t b, uint64_t x) {
    return R(x, b);
}

}  // namespace pvm::alu
