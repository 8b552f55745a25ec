// Instructions with two register operands, a destination and a source:
// register move, heap growth (`sbrk`), bit counting, sign and zero extension
// and byte reversal (opcodes 100 to 111).
//
// Operands: one code byte after the opcode; its low nibble is the destination
// `rd`, its high nibble the source `ra`, each capped at 12.  Every handler
// reads the source before it writes the destination, so `rd` may equal `ra`.
// Only `sbrk` touches guest memory: it grants write access through the
// memory's permission operation and moves `heap_break`.
#include "abi/memory.hpp"
#include "decode.hpp"
#include "group.hpp"
#include "numeric.hpp"

namespace {

using namespace pvm::group_kit;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_two_reg"

// ----- counting ------------------------------------------------------------

// Number of 1 bits in `val`.
uint32_t _count_set_bits_c(uint64_t val) { return static_cast<uint32_t>(__builtin_popcountll(val)); }

// Number of 0 bits above the highest 1 bit within the low `bitsize` bits
// (1..64); `bitsize` when those bits are all 0.
uint32_t _leading_zeros_c(uint64_t val, uint32_t bitsize) {
    if (bitsize == 0) return 0;
    if (bitsize < 64) val &= (uint64_t{1} << bitsize) - 1;
    else bitsize = 64;
    if (val == 0) return bitsize;
    return static_cast<uint32_t>(__builtin_clzll(val)) - (64 - bitsize);
}

// Number of 0 bits below the lowest 1 bit within the low `bitsize` bits
// (1..64); `bitsize` when those bits are all 0.
uint32_t _trailing_zeros_c(uint64_t val, uint32_t bitsize) {
    if (bitsize == 0) return 0;
    if (bitsize < 64) val &= (uint64_t{1} << bitsize) - 1;
    else bitsize = 64;
    if (val == 0) return bitsize;
    return static_cast<uint32_t>(__builtin_ctzll(val));
}

// ----- decoder ---------------------------------------------------------------

InstructionProps get_props(CyTable*, uint32_t program_counter, CyProgram* program, uint32_t) {
    // The register byte; a missing byte (an opcode at the end of the code)
    // reads as zero, i.e. registers 0 and 0.
    const uint8_t byte_val = pvm::decode::code_at(program, program_counter + 1);
    InstructionProps props{};
    props.rd = pvm::decode::reg_lo(byte_val);
    props.ra = pvm::decode::reg_hi(byte_val);
    return props;
}

// ----- handlers --------------------------------------------------------------

#define TWO_REG_HANDLER(name)                                                                          \
    uint32_t name(CyProgram*, uint64_t* registers, CyMemory*, uint32_t, uint64_t, uint64_t, uint8_t ra, \
                  uint8_t, uint8_t rd)

TWO_REG_HANDLER(move_reg) {
    registers[rd] = registers[ra];
    return kFallThrough;
}

TWO_REG_HANDLER(count_set_bits_64) {
    registers[rd] = _count_set_bits_c(registers[ra]);
    return kFallThrough;
}

TWO_REG_HANDLER(count_set_bits_32) {
    registers[rd] = _count_set_bits_c(registers[ra] & 0xFFFFFFFFu);
    return kFallThrough;
}

TWO_REG_HANDLER(leading_zero_bits_64) {
    registers[rd] = _leading_zeros_c(registers[ra], 64);
    return kFallThrough;
}

TWO_REG_HANDLER(leading_zero_bits_32) {
    registers[rd] = _leading_zeros_c(registers[ra] & 0xFFFFFFFFu, 32);
    return kFallThrough;
}

TWO_REG_HANDLER(trailing_zero_bits_64) {
    registers[rd] = _trailing_zeros_c(registers[ra], 64);
    return kFallThrough;
}

TWO_REG_HANDLER(trailing_zero_bits_32) {
    registers[rd] = _trailing_zeros_c(registers[ra] & 0xFFFFFFFFu, 32);
    return kFallThrough;
}

TWO_REG_HANDLER(sign_extend_8) {
    registers[rd] = pvm::num::sign_extend(registers[ra], 1);
    return kFallThrough;
}

TWO_REG_HANDLER(sign_extend_16) {
    registers[rd] = pvm::num::sign_extend(registers[ra], 2);
    return kFallThrough;
}

TWO_REG_HANDLER(zero_extend_16) {
    registers[rd] = registers[ra] & 0xFFFFu;
    return kFallThrough;
}

TWO_REG_HANDLER(reverse_bytes) {
    registers[rd] = __builtin_bswap64(registers[ra]);
    return kFallThrough;
}

#undef TWO_REG_HANDLER

// Grows the heap by the low 32 bits of registers[ra]: the pages covering the
// requested bytes from the current break become writable (and so readable),
// registers[rd] receives the old break (sign-extended from the 32-bit field)
// and the break moves up by exactly the request, without page rounding.
//
// The break is a 32-bit address and never wraps: a request whose end would
// reach or pass the top of the address space (break + request >= 2^32) is
// refused.  The break and every permission stay as they were and
// registers[rd] receives 0, the value a heap allocator tests for.  Letting it
// wrap would hand out a "new" region at low addresses that overlaps program
// data, and granting the pages of such a range would run through the whole
// address space.  A request of 0 always fits: it returns the break.
uint32_t sbrk(CyProgram*, uint64_t* registers, CyMemory* memory, uint32_t, uint64_t, uint64_t, uint8_t ra, uint8_t,
              uint8_t rd) {
    const uint32_t req = static_cast<uint32_t>(registers[ra]);
    const int32_t old_heap_break = memory->heap_break;
    const uint32_t start = static_cast<uint32_t>(old_heap_break);
    if (req != 0 && uint64_t{start} + req > 0xFFFFFFFFu) {
        registers[rd] = 0;
        return kFallThrough;
    }
    memory->vtab->_alter_accessibility_c(memory, start, req, static_cast<uint8_t>(pvm::kAccWrite));
    if (PyErr_Occurred()) {
        PVM_TRACEBACK(MODULE_NAME ".sbrk");
        return kFallThrough;
    }
    registers[rd] = static_cast<uint64_t>(static_cast<int64_t>(old_heap_break));
    memory->heap_break = static_cast<int32_t>(start + req);
    return kFallThrough;
}

// ----- the group ---------------------------------------------------------------

const pvm::OpcodeDef kOpcodes[] = {
    {100, move_reg, 1, 0},
    {101, sbrk, 1, 0},
    {102, count_set_bits_64, 1, 0},
    {103, count_set_bits_32, 1, 0},
    {104, leading_zero_bits_64, 1, 0},
    {105, leading_zero_bits_32, 1, 0},
    {106, trailing_zero_bits_64, 1, 0},
    {107, trailing_zero_bits_32, 1, 0},
    {108, sign_extend_8, 1, 0},
    {109, sign_extend_16, 1, 0},
    {110, zero_extend_16, 1, 0},
    {111, reverse_bytes, 1, 0},
};

// Names this group requires of vm_utils at import.  The handlers use the
// inline helpers of numeric.hpp, which are the same code, so only the
// presence and declared types of the exports are checked here.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("b", pvm::utils::kBSig),
    pvm::utils_function("z", pvm::utils::kSignedReadSig),
    pvm::utils_function("z_inv", pvm::utils::kZInvSig),
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "CyInstructionsWArgs2Reg", get_props, kOpcodes, std::size(kOpcodes), kBindings,
                  std::size(kBindings), /*import_status=*/true}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_two_reg, "Instructions with two register operands.", group)
