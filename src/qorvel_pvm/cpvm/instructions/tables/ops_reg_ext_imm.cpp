// qorvel_pvm.cpvm.instructions.tables.ops_reg_ext_imm
//
// The instruction group with one register and one full 64-bit immediate:
// `load_imm_64` (opcode 20) writes the eight code bytes after the register
// byte into the register, unchanged (no sign extension is needed).
#include "decode.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_reg_ext_imm"

// Operand layout:
//   pc+1             low 4 bits: ra (capped at 12); high 4 bits ignored
//   pc+2 .. pc+9     the immediate, little-endian, all eight bytes
// The skip length plays no part; bytes past the end of the code read as 0.
InstructionProps get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t) {
    InstructionProps props{};
    props.ra = pvm::decode::reg_lo(pvm::decode::code_at(program, pc + 1));
    props.vx = pvm::decode::code_le(program, pc + 2, 8);
    return props;
}

uint32_t load_imm_64(CyProgram*, uint64_t* registers, CyMemory*, uint32_t, uint64_t vx, uint64_t, uint8_t ra,
                     uint8_t, uint8_t) {
    registers[ra] = vx;
    return kFallThrough;
}

const pvm::OpcodeDef kOpcodes[] = {
    {20, load_imm_64, 1, 0},
};

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "InstructionsWArgs1Reg1ExtImm", get_props, kOpcodes, std::size(kOpcodes),
                  kBindings, std::size(kBindings)}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_reg_ext_imm,
                        "Instructions with one register and one 64-bit immediate: the wide immediate load.", group)
