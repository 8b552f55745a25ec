// qorvel_pvm.cpvm.instructions.tables.ops_two_reg_two_imm
//
// The instruction group with two registers and two immediates:
// `load_imm_jump_ind` (opcode 180) loads an immediate into one register and
// jumps dynamically, through the program's jump table, to the address formed
// by another register plus a second immediate.  The jump-table lookup, and
// any halt or panic it causes, belong to the program's `djump`.
#include "decode.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;

#define PVM_GROUP_MODULE "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_two_imm"

InstructionProps two_reg_two_imm_get_props(CyTable* self, uint32_t pc, CyProgram* program, uint32_t skip);

uint32_t load_imm_jump_ind_fn(CyProgram* program, uint64_t* registers, CyMemory*, uint32_t counter, uint64_t vx,
                              uint64_t vy, uint8_t ra, uint8_t rb, uint8_t) {
    // The base is read before the load, so ra == rb jumps from the old value;
    // the loaded register stays written when `djump` raises.
    const uint64_t base = registers[rb];
    registers[ra] = vx;
    return pvm::djump_to(program, counter, static_cast<uint32_t>(base + vy), PVM_GROUP_MODULE ".load_imm_jump_ind_fn");
}

const pvm::OpcodeDef kOpcodes[] = {
    {180, load_imm_jump_ind_fn, 1, 1},
};

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("chi", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_4_max0", pvm::utils::kClampSignedSig),
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{PVM_GROUP_MODULE, "CyInstructionsWArgs2Reg2Imm", two_reg_two_imm_get_props, kOpcodes,
                  std::size(kOpcodes), kBindings, std::size(kBindings)}};

// Operand layout:
//   pc+1                  low 4 bits: ra; high 4 bits: rb
//   pc+2                  low 3 bits: length lx of the first immediate; bits 3-7 ignored
//   pc+3 .. pc+2+lx       first immediate (the value loaded), sign-extended
//   pc+3+lx .. +ly        second immediate (added to rb), sign-extended; ly = the rest of the skip
// Neither immediate is relative to pc.
InstructionProps two_reg_two_imm_get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    InstructionProps props{};
    const uint8_t regs = pvm::decode::code_at(program, pc + 1);
    const unsigned lx = pvm::num::clamp_4(pvm::decode::code_at(program, pc + 2) & 7);
    const int ly = pvm::decode::rest_length(skip, lx + 2);
    if (ly < 0) {
        PVM_TRACEBACK(group.get_props_traceback());
        return props;
    }
    props.ra = pvm::decode::reg_lo(regs);
    props.rb = pvm::decode::reg_hi(regs);
    props.vx = pvm::decode::immediate(program, pc + 3, lx);
    props.vy = pvm::decode::immediate(program, pc + 3 + lx, static_cast<unsigned>(ly));
    return props;
}

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_two_reg_two_imm,
                        "Instructions with two registers and two immediates: the indirect load-and-jump.", group)
