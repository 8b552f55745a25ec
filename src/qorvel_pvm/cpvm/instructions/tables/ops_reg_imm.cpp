// qorvel_pvm.cpvm.instructions.tables.ops_reg_imm
//
// The instruction group with one register and one immediate: the indirect
// jump `jump_ind` (opcode 50, ends a block), `load_imm` (51), the loads from
// an immediate address (52 to 58) and the stores of a register at an
// immediate address (59 to 62).
//
// Loads and stores go through the memory's `read` and `write` (memory_handlers.hpp),
// so a Python subclass of CyMemory that overrides them sees every access; a
// refused load leaves the register unchanged, a refused store changes no
// byte.  The jump goes through the program's jump table (`djump`).
#include "decode.hpp"
#include "group.hpp"
#include "memory_handlers.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_reg_imm"

extern pvm::Group group;

// Operand layout:
//   pc+1              low 4 bits: ra (capped at 12); high 4 bits ignored
//   pc+2 ..           immediate, sign-extended; min(4, max(0, skip - 1)) bytes
InstructionProps get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    InstructionProps props{};
    props.ra = pvm::decode::reg_lo(pvm::decode::code_at(program, pc + 1));
    props.vx = pvm::decode::immediate(program, pc + 2, pvm::decode::tail_length(skip, 1));
    return props;
}

// Dynamic jump to (registers[ra] + vx) mod 2^32 through the jump table.
uint32_t jump_ind(CyProgram* program, uint64_t* registers, CyMemory*, uint32_t counter, uint64_t vx, uint64_t,
                  uint8_t ra, uint8_t, uint8_t) {
    return pvm::djump_to(program, counter, static_cast<uint32_t>(registers[ra] + vx), MODULE_NAME ".jump_ind");
}

uint32_t load_imm(CyProgram*, uint64_t* registers, CyMemory*, uint32_t, uint64_t vx, uint64_t, uint8_t ra, uint8_t,
                  uint8_t) {
    registers[ra] = vx;
    return kFallThrough;
}

// Loads into and stores of registers[ra] at the address vx mod 2^32; a
// failed load leaves registers[ra] unchanged.
PVM_LOAD_HANDLERS(group, load, pvm::memory_handlers::at_vx);
PVM_STORE_HANDLERS(group, store, pvm::memory_handlers::at_vx, pvm::memory_handlers::value_ra);

// Only the indirect jump ends a block.
const pvm::OpcodeDef kOpcodes[] = {
    {50, jump_ind, 1, 1},  {51, load_imm, 1, 0},  {52, load_u8, 1, 0},   {53, load_i8, 1, 0},
    {54, load_u16, 1, 0},  {55, load_i16, 1, 0},  {56, load_u32, 1, 0},  {57, load_i32, 1, 0},
    {58, load_u64, 1, 0},  {59, store_u8, 1, 0},  {60, store_u16, 1, 0}, {61, store_u32, 1, 0},
    {62, store_u64, 1, 0},
};
static_assert(std::size(kOpcodes) == 13);

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("chi", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "InstructionsWArgs1Reg1Imm", get_props, kOpcodes, std::size(kOpcodes), kBindings,
                  std::size(kBindings)}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_reg_imm,
                        "Instructions with one register and one immediate: the indirect jump, the immediate load, "
                        "and loads and stores at an immediate address.",
                        group)
