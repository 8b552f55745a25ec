// qorvel_pvm.cpvm.instructions.tables.ops_two_reg_offset
//
// The instruction group with two registers and one offset: the branches that
// compare two registers (opcodes 170 to 175).  Each ends a basic block and
// hands its target and the outcome of the comparison to the program's
// `branch`, which panics on a taken branch to a position that does not start
// a basic block and otherwise says where execution continues.
#include "alu.hpp"
#include "decode.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;
using namespace pvm::alu;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_offset"

// Operand layout:
//   pc+1        low 4 bits: ra; high 4 bits: rb (each capped at 12)
//   pc+2 ..     offset relative to pc, signed; min(4, max(0, skip - 1)) bytes
// vx is the absolute target, (pc + offset) mod 2^32.
InstructionProps get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t skip) {
    const uint8_t b = pvm::decode::code_at(program, pc + 1);
    InstructionProps props{};
    props.ra = pvm::decode::reg_lo(b);
    props.rb = pvm::decode::reg_hi(b);
    props.vx = static_cast<uint32_t>(
        pvm::decode::offset_target(program, pc, pc + 2, pvm::decode::tail_length(skip, 1)));
    return props;
}

// Branch to vx when Cond(registers[ra], registers[rb]) holds.
template <Rule Cond, const char* Name>
uint32_t branch(CyProgram* program, uint64_t* registers, CyMemory*, uint32_t counter, uint64_t vx, uint64_t,
                uint8_t ra, uint8_t rb, uint8_t) {
    return pvm::branch_to(program, counter, vx, Cond(registers[ra], registers[rb]) != 0, Name);
}

constexpr char kEq[] = MODULE_NAME ".branch_eq";
constexpr char kNe[] = MODULE_NAME ".branch_ne";
constexpr char kLtU[] = MODULE_NAME ".branch_lt_u";
constexpr char kLtS[] = MODULE_NAME ".branch_lt_s";
constexpr char kGeU[] = MODULE_NAME ".branch_ge_u";
constexpr char kGeS[] = MODULE_NAME ".branch_ge_s";

constexpr instr_fn_t branch_eq = branch<eq, kEq>;
constexpr instr_fn_t branch_ne = branch<ne, kNe>;
constexpr instr_fn_t branch_lt_u = branch<lt_u, kLtU>;
constexpr instr_fn_t branch_lt_s = branch<lt_s, kLtS>;
constexpr instr_fn_t branch_ge_u = branch<ge_u, kGeU>;
constexpr instr_fn_t branch_ge_s = branch<ge_s, kGeS>;

// Every branch ends a block.
const pvm::OpcodeDef kOpcodes[] = {
    {170, branch_eq, 1, 1},   {171, branch_ne, 1, 1},   {172, branch_lt_u, 1, 1},
    {173, branch_lt_s, 1, 1}, {174, branch_ge_u, 1, 1}, {175, branch_ge_s, 1, 1},
};

// Bound for the import contract of this group; the decoder uses the inline
// versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("z", pvm::utils::kSignedReadSig),
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "InstructionsWArgs2Reg1Offset", get_props, kOpcodes, std::size(kOpcodes), kBindings,
                  std::size(kBindings)}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_two_reg_offset,
                        "Instructions with two registers and one offset: the register-register compare branches.",
                        group)
