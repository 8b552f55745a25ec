// Load and store handlers, written once for every group that accesses memory.
//
// A group picks where the address comes from and, for stores, where the
// value comes from; the access itself is access.hpp's (the memory's `read`
// and `write` with dispatch, checked results, nothing changed on a fault).
// A failed access adds a traceback entry naming the handler.
//
//   PVM_STORE_HANDLERS(group, store_imm, memory_handlers::at_vx, memory_handlers::value_vy)
// defines store_imm_u8 .. store_imm_u64 (instr_fn_t) named "<MODULE_NAME>.store_imm_u8" ...;
//   PVM_LOAD_HANDLERS(group, load, memory_handlers::at_vx)
// defines load_u8, load_i8 .. load_u64 into registers[ra].
#pragma once

#include "access.hpp"
#include "group.hpp"

namespace pvm::memory_handlers {

// Address of an access: a 64-bit sum taken modulo 2^32.
using Address = uint32_t (*)(const uint64_t* registers, uint64_t vx, uint8_t ra, uint8_t rb);
// Value of a store.
using Value = uint64_t (*)(const uint64_t* registers, uint64_t vy, uint8_t ra);

inline uint32_t at_vx(const uint64_t*, uint64_t vx, uint8_t, uint8_t) { return static_cast<uint32_t>(vx); }
inline uint32_t at_ra_plus_vx(const uint64_t* registers, uint64_t vx, uint8_t ra, uint8_t) {
    return static_cast<uint32_t>(registers[ra] + vx);
}
inline uint64_t value_vy(const uint64_t*, uint64_t vy, uint8_t) { return vy; }
inline uint64_t value_ra(const uint64_t* registers, uint64_t, uint8_t ra) { return registers[ra]; }

// Stores the low `Bytes` bytes of the value at the address.
template <unsigned Bytes, Address At, Value Of, Group& G, const char* Name>
uint32_t store(CyProgram*, uint64_t* registers, CyMemory* memory, uint32_t, uint64_t vx, uint64_t vy, uint8_t ra,
               uint8_t rb, uint8_t) {
    if (!access::store<Bytes>(memory, G.classes().memory_type, At(registers, vx, ra, rb), Of(registers, vy, ra)))
        PVM_TRACEBACK(Name);
    return kFallThrough;
}

// Loads `Bytes` bytes at the address into registers[ra], zero- or
// sign-extended; the address is taken before ra is written, and ra keeps
// its value when the read fails.
template <unsigned Bytes, bool Signed, Address At, Group& G, const char* Name>
uint32_t load(CyProgram*, uint64_t* registers, CyMemory* memory, uint32_t, uint64_t vx, uint64_t, uint8_t ra,
              uint8_t rb, uint8_t) {
    if (!access::load<Bytes, Signed>(memory, G.classes().memory_type, At(registers, vx, ra, rb), &registers[ra]))
        PVM_TRACEBACK(Name);
    return kFallThrough;
}

}  // namespace pvm::memory_handlers

// One handler `prefix<suffix>` with its traceback name MODULE_NAME ".<prefix><suffix>".
#define PVM_MEMORY_HANDLER(prefix, suffix, ...)                                  \
    constexpr char prefix##suffix##_name[] = MODULE_NAME "." #prefix #suffix; \
    constexpr ::pvm::instr_fn_t prefix##suffix = __VA_ARGS__, prefix##suffix##_name>

#define PVM_STORE_HANDLERS(group, prefix, at, of)                                                  \
    PVM_MEMORY_HANDLER(prefix, _u8, ::pvm::memory_handlers::store<1, at, of, group);              \
    PVM_MEMORY_HANDLER(prefix, _u16, ::pvm::memory_handlers::store<2, at, of, group);             \
    PVM_MEMORY_HANDLER(prefix, _u32, ::pvm::memory_handlers::store<4, at, of, group);             \
    PVM_MEMORY_HANDLER(prefix, _u64, ::pvm::memory_handlers::store<8, at, of, group)

#define PVM_LOAD_HANDLERS(group, prefix, at)                                                         \
    PVM_MEMORY_HANDLER(prefix, _u8, ::pvm::memory_handlers::load<1, false, at, group);              \
    PVM_MEMORY_HANDLER(prefix, _i8, ::pvm::memory_handlers::load<1, true, at, group);               \
    PVM_MEMORY_HANDLER(prefix, _u16, ::pvm::memory_handlers::load<2, false, at, group);             \
    PVM_MEMORY_HANDLER(prefix, _i16, ::pvm::memory_handlers::load<2, true, at, group);              \
    PVM_MEMORY_HANDLER(prefix, _u32, ::pvm::memory_handlers::load<4, false, at, group);             \
    PVM_MEMORY_HANDLER(prefix, _i32, ::pvm::memory_handlers::load<4, true, at, group);              \
    PVM_MEMORY_HANDLER(prefix, _u64, ::pvm::memory_handlers::load<8, false, at, group)
