// qorvel_pvm.cpvm.instructions.tables.ops_two_imm
//
// The instruction group with two immediates: `store_imm_u8` .. `store_imm_u64`
// (opcodes 30 to 33) store the low bytes of the second immediate at the
// address given by the first.  The stores go through the memory's `write`
// (memory_handlers.hpp), so a Python subclass of CyMemory that overrides it sees them
// and a refused store changes nothing.
#include "decode.hpp"
#include "group.hpp"
#include "memory_handlers.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_two_imm"

extern pvm::Group group;

// Operand layout:
//   pc+1                 low 3 bits: length lx of the first immediate (capped at 4); bits 3-7 ignored
//   pc+2 .. pc+1+lx      first immediate (the address), sign-extended
//   pc+2+lx ..           second immediate (the value), sign-extended; min(4, max(0, skip - lx - 1)) bytes
InstructionProps get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    const unsigned lx = pvm::num::clamp_4(pvm::decode::code_at(program, pc + 1) & 7);
    const pvm::decode::ImmediatePair imm = pvm::decode::immediate_pair(program, pc + 2, lx, skip);
    InstructionProps props{};
    props.vx = imm.vx;
    props.vy = imm.vy;
    return props;
}

// The low bytes of vy at the address vx mod 2^32.
PVM_STORE_HANDLERS(group, store_imm, pvm::memory_handlers::at_vx, pvm::memory_handlers::value_vy);

const pvm::OpcodeDef kOpcodes[] = {
    {30, store_imm_u8, 1, 0},
    {31, store_imm_u16, 1, 0},
    {32, store_imm_u32, 1, 0},
    {33, store_imm_u64, 1, 0},
};

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("chi", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "InstructionsWArgs2Imm", get_props, kOpcodes, std::size(kOpcodes), kBindings,
                  std::size(kBindings)}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_two_imm, "Instructions with two immediates: stores of an immediate at an immediate address.",
                        group)
