// Operand decoding shared by the instruction groups.
//
// Every decoder reads code bytes through these helpers, which treat bytes at
// or past the end of the code (`zeta_len`) as zero: no decoder reads outside
// the code, whatever program counter and skip length it is handed.  Positions
// are unsigned 32-bit sums and wrap like the guest's program counter.
#pragma once

#include "abi/program.hpp"
#include "numeric.hpp"

#include <cstring>

namespace pvm::decode {

// Byte `pos` of the code, 0 at or past the end.
inline uint8_t code_at(const CyProgram* p, uint32_t pos) {
    return (p->zeta != nullptr && p->zeta_len > 0 && pos < static_cast<uint32_t>(p->zeta_len)) ? p->zeta[pos] : 0;
}

// `n` (0..8) little-endian code bytes starting at `pos`; bytes past the end
// of the code read as zero.
inline uint64_t code_le(const CyProgram* p, uint32_t pos, unsigned n) {
    const uint32_t len = p->zeta_len > 0 ? static_cast<uint32_t>(p->zeta_len) : 0;
    if (p->zeta != nullptr && pos < len && len - pos >= n) return num::load_le(p->zeta + pos, n);
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= static_cast<uint64_t>(code_at(p, pos + i)) << (8 * i);
    return v;
}

// Register indices from the two nibbles of a register byte, capped at 12.
inline uint8_t reg_lo(uint8_t byte) { return num::clamp_12(byte & 0x0F); }
inline uint8_t reg_hi(uint8_t byte) { return num::clamp_12(byte >> 4); }

// A signed offset of `n` code bytes at `pos`, added to `pc` as a 64-bit
// two's-complement sum (the absolute target before reduction to 32 bits).
inline uint64_t offset_target(const CyProgram* p, uint32_t pc, uint32_t pos, unsigned n) {
    return static_cast<uint64_t>(num::z(code_le(p, pos, n), n)) + pc;
}

// An immediate of `n` code bytes at `pos`, sign-extended to 64 bits.
inline uint64_t immediate(const CyProgram* p, uint32_t pos, unsigned n) {
    return static_cast<uint64_t>(num::chi(code_le(p, pos, n), n));
}

// Length of an operand that fills the rest of an instruction whose skip
// length is `skip` after `used` operand bytes: skip - used, computed exactly
// (a short skip gives a negative number, never an unsigned wrap-around), must
// fit a signed 8-bit value and is then clamped to 0..4.  Returns -1 with
// OverflowError set when the difference does not fit.
inline int rest_length(uint32_t skip, unsigned used) {
    const int64_t diff = static_cast<int64_t>(skip) - static_cast<int64_t>(used);
    if (diff > INT8_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int8_t");
        return -1;
    }
    if (diff < INT8_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too small to convert to int8_t");
        return -1;
    }
    return num::clamp_4_max0(static_cast<int8_t>(diff));
}

// Length of an immediate that fills the rest of an instruction after `used`
// operand bytes: min(4, max(0, skip - used)) on ordinary integers.  Unlike
// `rest_length` it has no 8-bit range to leave, so it cannot fail; the
// register-free and register-plus-immediate forms of the later groups use it.
inline unsigned tail_length(uint32_t skip, unsigned used) {
    return skip <= used ? 0u : (skip - used >= 4 ? 4u : static_cast<unsigned>(skip - used));
}

// Two sign-extended immediates back to back at `pos`: the first of `lx`
// bytes (0..4), the second filling the rest of an instruction whose skip is
// `skip` and whose first operand byte precedes `pos` (`lx + 1` bytes used).
struct ImmediatePair {
    uint64_t vx;
    uint64_t vy;
};
inline ImmediatePair immediate_pair(const CyProgram* p, uint32_t pos, unsigned lx, uint32_t skip) {
    return {immediate(p, pos, lx), immediate(p, pos + lx, tail_length(skip, lx + 1))};
}

}  // namespace pvm::decode
