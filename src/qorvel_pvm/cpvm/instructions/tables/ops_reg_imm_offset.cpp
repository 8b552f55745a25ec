// qorvel_pvm.cpvm.instructions.tables.ops_reg_imm_offset
//
// The instruction group with one register, one immediate and one offset
// relative to the instruction's own address: `load_imm_jump` (opcode 80) and
// the ten branches that compare a register with an immediate (81 to 90).
// Every instruction ends a basic block and hands its target to the program's
// `branch`, also when the condition is false: the program decides what a
// taken and a not-taken branch return.
#include "decode.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;

#define PVM_GROUP_MODULE "qorvel_pvm.cpvm.instructions.tables.ops_reg_imm_offset"

InstructionProps reg_imm_offset_get_props(CyTable* self, uint32_t pc, CyProgram* program, uint32_t skip);

// Bound for the import contract of this group; the decoder and the handlers
// use the inline versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("chi", pvm::utils::kSignedReadSig),
    pvm::utils_function("z", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_4_max0", pvm::utils::kClampSignedSig),
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

using pvm::branch_to;

uint32_t load_imm_jump_fn(CyProgram* program, uint64_t* registers, CyMemory*, uint32_t counter, uint64_t vx,
                          uint64_t vy, uint8_t ra, uint8_t, uint8_t) {
    // The register is written first and stays written when `branch` raises.
    registers[ra] = vx;
    return branch_to(program, counter, vy, 1, PVM_GROUP_MODULE ".load_imm_jump_fn");
}

// The comparison handlers: reg is registers[ra], compared with the immediate
// vx either as unsigned or as signed 64-bit values.
#define PVM_COMPARE_BRANCH(name, expr)                                                                        \
    uint32_t name(CyProgram* program, uint64_t* registers, CyMemory*, uint32_t counter, uint64_t vx,           \
                  uint64_t vy, uint8_t ra, uint8_t, uint8_t) {                                                 \
        const uint64_t reg = registers[ra];                                                                    \
        [[maybe_unused]] const int64_t sreg = pvm::num::z(reg, 8);                                             \
        [[maybe_unused]] const int64_t simm = pvm::num::z(vx, 8);                                              \
        return branch_to(program, counter, vy, (expr) ? 1 : 0, PVM_GROUP_MODULE "." #name);                    \
    }

PVM_COMPARE_BRANCH(branch_eq_imm_fn, reg == vx)
PVM_COMPARE_BRANCH(branch_ne_imm_fn, reg != vx)
PVM_COMPARE_BRANCH(branch_lt_u_imm, reg < vx)
PVM_COMPARE_BRANCH(branch_le_u_imm, reg <= vx)
PVM_COMPARE_BRANCH(branch_ge_u_imm, reg >= vx)
PVM_COMPARE_BRANCH(branch_gt_u_imm, reg > vx)
PVM_COMPARE_BRANCH(branch_lt_s_imm, sreg < simm)
PVM_COMPARE_BRANCH(branch_le_s_imm, sreg <= simm)
PVM_COMPARE_BRANCH(branch_ge_s_imm, sreg >= simm)
PVM_COMPARE_BRANCH(branch_gt_s_imm, sreg > simm)

#undef PVM_COMPARE_BRANCH

const pvm::OpcodeDef kOpcodes[] = {
    {80, load_imm_jump_fn, 1, 1}, {81, branch_eq_imm_fn, 1, 1}, {82, branch_ne_imm_fn, 1, 1},
    {83, branch_lt_u_imm, 1, 1},  {84, branch_le_u_imm, 1, 1},  {85, branch_ge_u_imm, 1, 1},
    {86, branch_gt_u_imm, 1, 1},  {87, branch_lt_s_imm, 1, 1},  {88, branch_le_s_imm, 1, 1},
    {89, branch_ge_s_imm, 1, 1},  {90, branch_gt_s_imm, 1, 1},
};

pvm::Group group{{PVM_GROUP_MODULE, "InstructionsWArgs1Reg1Imm1Offset", reg_imm_offset_get_props, kOpcodes,
                  std::size(kOpcodes), kBindings, std::size(kBindings)}};

// Operand layout:
//   pc+1                 low 4 bits: register; bits 4-6: immediate length lx; bit 7 ignored
//   pc+2 .. pc+1+lx      immediate, sign-extended
//   pc+2+lx .. +ly       offset, signed, relative to pc; ly = the rest of the skip
InstructionProps reg_imm_offset_get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    InstructionProps props{};
    const uint8_t b = pvm::decode::code_at(program, pc + 1);
    const unsigned lx = pvm::num::clamp_4((b >> 4) & 7);
    const int ly = pvm::decode::rest_length(skip, lx + 1);
    if (ly < 0) {
        PVM_TRACEBACK(group.get_props_traceback());
        return props;
    }
    props.ra = pvm::decode::reg_lo(b);
    props.vx = pvm::decode::immediate(program, pc + 2, lx);
    props.vy = pvm::decode::offset_target(program, pc, pc + 2 + lx, static_cast<unsigned>(ly));
    return props;
}

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_reg_imm_offset,
                        "Instructions with one register, one immediate and one offset: load-and-jump and the "
                        "compare-with-immediate branches.",
                        group)
