// qorvel_pvm.cpvm.instructions.tables.ops_three_reg
//
// The instruction group with three registers (opcodes 190 to 230):
// arithmetic, division and remainder, shifts and rotates, logic, the upper
// halves of 128-bit products, comparisons, conditional moves, minimum and
// maximum, each computing registers[rd] from registers[ra] and registers[rb].
// The arithmetic is that of alu.hpp, shared with the register-immediate group:
// "_32" results are the low 32 bits sign-extended to 64, shift and rotate
// amounts are taken modulo the width, and division never faults.
#include "alu.hpp"
#include "decode.hpp"
#include "group.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;
using namespace pvm::alu;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_three_reg"

// Operand layout:
//   pc+1     low 4 bits: ra; high 4 bits: rb (each capped at 12)
//   pc+2     rd, capped at 12
// The skip length plays no part; bytes past the end of the code read as 0.
InstructionProps get_props(CyTable*, uint32_t pc, CyProgram* program, uint32_t) {
    const uint8_t b = pvm::decode::code_at(program, pc + 1);
    InstructionProps props{};
    props.ra = pvm::decode::reg_lo(b);
    props.rb = pvm::decode::reg_hi(b);
    props.rd = pvm::num::clamp_12(pvm::decode::code_at(program, pc + 2));
    return props;
}

// registers[rd] = R(registers[ra], registers[rb]); both sources are read
// before rd is written, so rd may be either of them.
template <Rule R>
uint32_t compute(CyProgram*, uint64_t* registers, CyMemory*, uint32_t, uint64_t, uint64_t, uint8_t ra, uint8_t rb,
                 uint8_t rd) {
    registers[rd] = R(registers[ra], registers[rb]);
    return kFallThrough;
}

// registers[rd] = registers[ra] when registers[rb] is zero (IfZero) or
// non-zero (!IfZero); otherwise rd is not written at all.
template <bool IfZero>
uint32_t cmov(CyProgram*, uint64_t* registers, CyMemory*, uint32_t, uint64_t, uint64_t, uint8_t ra, uint8_t rb,
              uint8_t rd) {
    if ((registers[rb] == 0) == IfZero) registers[rd] = registers[ra];
    return kFallThrough;
}

constexpr instr_fn_t add_32 = compute<add<4>>;
constexpr instr_fn_t sub_32 = compute<sub<4>>;
constexpr instr_fn_t mul_32 = compute<mul<4>>;
constexpr instr_fn_t div_u_32 = compute<div_u<4>>;
constexpr instr_fn_t div_s_32 = compute<div_s<4>>;
constexpr instr_fn_t rem_u_32 = compute<rem_u<4>>;
constexpr instr_fn_t rem_s_32 = compute<rem_s<4>>;
constexpr instr_fn_t shlo_l_32 = compute<shl<4>>;
constexpr instr_fn_t shlo_r_32 = compute<shr<4>>;
constexpr instr_fn_t shar_r_32 = compute<sar<4>>;
constexpr instr_fn_t add_64 = compute<add<8>>;
constexpr instr_fn_t sub_64 = compute<sub<8>>;
constexpr instr_fn_t mul_64 = compute<mul<8>>;
constexpr instr_fn_t div_u_64 = compute<div_u<8>>;
constexpr instr_fn_t div_s_64 = compute<div_s<8>>;
constexpr instr_fn_t rem_u_64 = compute<rem_u<8>>;
constexpr instr_fn_t rem_s_64 = compute<rem_s<8>>;
constexpr instr_fn_t shlo_l_64 = compute<shl<8>>;
constexpr instr_fn_t shlo_r_64 = compute<shr<8>>;
constexpr instr_fn_t shar_r_64 = compute<sar<8>>;
// `and`, `xor` and `or` are reserved words of C++; their handlers carry a
// trailing underscore.
constexpr instr_fn_t and_ = compute<bit_and>;
constexpr instr_fn_t xor_ = compute<bit_xor>;
constexpr instr_fn_t or_ = compute<bit_or>;
constexpr instr_fn_t mul_upper_s_s = compute<pvm::alu::mul_upper_s_s>;
constexpr instr_fn_t mul_upper_u_u = compute<pvm::alu::mul_upper_u_u>;
constexpr instr_fn_t mul_upper_s_u = compute<pvm::alu::mul_upper_s_u>;
constexpr instr_fn_t set_lt_u = compute<lt_u>;
constexpr instr_fn_t set_lt_s = compute<lt_s>;
constexpr instr_fn_t cmov_iz = cmov<true>;
constexpr instr_fn_t cmov_nz = cmov<false>;
constexpr instr_fn_t rot_l_64 = compute<rot_l<8>>;
constexpr instr_fn_t rot_l_32 = compute<rot_l<4>>;
constexpr instr_fn_t rot_r_64 = compute<rot_r<8>>;
constexpr instr_fn_t rot_r_32 = compute<rot_r<4>>;
constexpr instr_fn_t and_inv = compute<pvm::alu::and_inv>;
constexpr instr_fn_t or_inv = compute<pvm::alu::or_inv>;
constexpr instr_fn_t xnor = compute<pvm::alu::xnor>;
constexpr instr_fn_t max = compute<max_s>;
constexpr instr_fn_t max_u = compute<pvm::alu::max_u>;
constexpr instr_fn_t min = compute<min_s>;
constexpr instr_fn_t min_u = compute<pvm::alu::min_u>;

// Every instruction of the group costs 1 gas and does not end a block.
const pvm::OpcodeDef kOpcodes[] = {
    {190, add_32, 1, 0},        {191, sub_32, 1, 0},        {192, mul_32, 1, 0},        {193, div_u_32, 1, 0},
    {194, div_s_32, 1, 0},      {195, rem_u_32, 1, 0},      {196, rem_s_32, 1, 0},      {197, shlo_l_32, 1, 0},
    {198, shlo_r_32, 1, 0},     {199, shar_r_32, 1, 0},     {200, add_64, 1, 0},        {201, sub_64, 1, 0},
    {202, mul_64, 1, 0},        {203, div_u_64, 1, 0},      {204, div_s_64, 1, 0},      {205, rem_u_64, 1, 0},
    {206, rem_s_64, 1, 0},      {207, shlo_l_64, 1, 0},     {208, shlo_r_64, 1, 0},     {209, shar_r_64, 1, 0},
    {210, and_, 1, 0},          {211, xor_, 1, 0},          {212, or_, 1, 0},           {213, mul_upper_s_s, 1, 0},
    {214, mul_upper_u_u, 1, 0}, {215, mul_upper_s_u, 1, 0}, {216, set_lt_u, 1, 0},      {217, set_lt_s, 1, 0},
    {218, cmov_iz, 1, 0},       {219, cmov_nz, 1, 0},       {220, rot_l_64, 1, 0},      {221, rot_l_32, 1, 0},
    {222, rot_r_64, 1, 0},      {223, rot_r_32, 1, 0},      {224, and_inv, 1, 0},       {225, or_inv, 1, 0},
    {226, xnor, 1, 0},          {227, max, 1, 0},           {228, max_u, 1, 0},         {229, min, 1, 0},
    {230, min_u, 1, 0},
};
static_assert(std::size(kOpcodes) == 41);

// Bound for the import contract of this group; the decoder uses the inline
// version of the same rule.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "InstructionsWArgs3Reg", get_props, kOpcodes, std::size(kOpcodes), kBindings,
                  std::size(kBindings)}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_three_reg,
                        "Instructions with three registers: arithmetic, division, shifts, rotates, logic, "
                        "comparisons, conditional moves, minimum and maximum.",
                        group)
