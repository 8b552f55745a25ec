// qorvel_pvm.cpvm.instructions.tables.ops_reg_two_imm
//
// The instruction group with one register and two immediates:
// `store_imm_ind_u8` .. `store_imm_ind_u64` (opcodes 70 to 73) store the low
// bytes of the second immediate at the register plus the first immediate.
// The stores go through the memory's `write` (memory_handlers.hpp); a refused store
// changes nothing.
#include "decode.hpp"
#include "group.hpp"
#include "memory_handlers.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_reg_two_imm"

extern pvm::Group group;

// Operand layout:
//   pc+1                 low 4 bits: ra (capped at 12); bits 4-6: length lx of the
//                        first immediate (capped at 4); bit 7 ignored
//   pc+2 .. pc+1+lx      first immediate (the offset), sign-extended
//   pc+2+lx ..           second immediate (the value), sign-extended; min(4, max(0, skip - lx - 1)) bytes
InstructionProps get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    const uint8_t b = pvm::decode::code_at(program, pc + 1);
    const unsigned lx = pvm::num::clamp_4((b >> 4) & 7);
    const pvm::decode::ImmediatePair imm = pvm::decode::immediate_pair(program, pc + 2, lx, skip);
    InstructionProps props{};
    props.ra = pvm::decode::reg_lo(b);
    props.vx = imm.vx;
    props.vy = imm.vy;
    return props;
}

// The low bytes of vy at (registers[ra] + vx) mod 2^32.
PVM_STORE_HANDLERS(group, store_imm_ind, pvm::memory_handlers::at_ra_plus_vx, pvm::memory_handlers::value_vy);

const pvm::OpcodeDef kOpcodes[] = {
    {70, store_imm_ind_u8, 1, 0},
    {71, store_imm_ind_u16, 1, 0},
    {72, store_imm_ind_u32, 1, 0},
    {73, store_imm_ind_u64, 1, 0},
};

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("chi", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "InstructionsWArgs1Reg2Imm", get_props, kOpcodes, std::size(kOpcodes), kBindings,
                  std::size(kBindings)}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_reg_two_imm,
                        "Instructions with one register and two immediates: stores of an immediate through a "
                        "register.",
                        group)
