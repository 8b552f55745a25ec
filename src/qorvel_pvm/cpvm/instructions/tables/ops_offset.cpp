// qorvel_pvm.cpvm.instructions.tables.ops_offset
//
// The instruction group whose only operand is a signed offset relative to the
// instruction's own address: `jump` (opcode 40), the unconditional direct
// jump.  The decoder turns the offset into an absolute target once, when the
// block is compiled; the handler hands that target to the program's `branch`,
// which decides whether it is a valid block start.
#include "decode.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;

constexpr const char* kModuleName = "qorvel_pvm.cpvm.instructions.tables.ops_offset";

// Operand layout: opcode at pc, then clamp_4(skip) offset bytes,
// little-endian and signed.  The skip length reaches the length rule as its
// low byte, as every group hands it to the 8-bit clamp.
InstructionProps jump_get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    const unsigned lx = pvm::num::clamp_4(static_cast<uint8_t>(skip));
    InstructionProps props{};
    props.vx = pvm::decode::offset_target(program, pc, pc + 1, lx);
    return props;
}

// jump: always taken; the target is the low 32 bits of the decoded absolute
// target, read as a signed 32-bit program counter.
uint32_t jump_fn(CyProgram* program, uint64_t*, CyMemory*, uint32_t counter, uint64_t vx, uint64_t, uint8_t,
                 uint8_t, uint8_t) {
    return pvm::branch_to(program, counter, vx, 1, "qorvel_pvm.cpvm.instructions.tables.ops_offset.jump_fn");
}

const pvm::OpcodeDef kOpcodes[] = {
    {40, jump_fn, 1, 1},
};

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("z", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{kModuleName, "CyWArgsOneOffset", jump_get_props, kOpcodes, std::size(kOpcodes), kBindings,
                  std::size(kBindings), /*import_status=*/true}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_offset, "Instructions with one offset: the direct jump.", group)
