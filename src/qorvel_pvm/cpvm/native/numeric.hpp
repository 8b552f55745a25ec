// Numeric rules of the instruction set, written once.
//
// vm_utils publishes these as native functions (and Python functions for
// tools and tests); the instruction groups bind those exports when they load
// and call the inline versions here on their hot paths, so both always agree.
#pragma once

#include <cstdint>

namespace pvm::num {

inline constexpr uint8_t clamp_12(uint8_t x) { return x < 12 ? x : 12; }
inline constexpr uint8_t clamp_4(uint8_t x) { return x < 4 ? x : 4; }
inline constexpr uint8_t clamp_4_max0(int8_t x) { return x < 0 ? 0 : (x > 4 ? 4 : static_cast<uint8_t>(x)); }

// Low n bytes of x (n = 0..8).
inline constexpr uint64_t low_bytes(uint64_t x, unsigned n) {
    return n >= 8 ? x : (n == 0 ? 0 : x & ((uint64_t{1} << (8 * n)) - 1));
}

// Low n bytes of x sign-extended from bit 8n-1 to 64 bits; 0 when n is 0.
inline constexpr uint64_t sign_extend(uint64_t x, unsigned n) {
    if (n == 0) return 0;
    if (n >= 8) return x;
    const unsigned shift = 64 - 8 * n;
    return static_cast<uint64_t>(static_cast<int64_t>(x << shift) >> shift);
}

// Two's-complement signed reading of the low n bytes of x.
inline constexpr int64_t z(uint64_t x, unsigned n) { return static_cast<int64_t>(sign_extend(x, n)); }

// The low n bytes of x sign-extended (the same bits as z, kept signed so that
// callers store it as a uint64 pattern).
inline constexpr int64_t chi(uint64_t x, unsigned n) { return static_cast<int64_t>(sign_extend(x, n)); }

// x mod 2^(8n).
inline constexpr uint64_t z_inv(int64_t x, unsigned n) { return low_bytes(static_cast<uint64_t>(x), n); }

// Little-endian load/store of n bytes (n = 0..8) without alignment demands.
inline uint64_t load_le(const uint8_t* p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

inline void store_le(uint8_t* p, uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline constexpr uint8_t reverse_bits(uint8_t b) {
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

}  // namespace pvm::num
