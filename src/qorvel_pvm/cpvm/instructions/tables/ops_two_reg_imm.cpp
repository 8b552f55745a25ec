// Instructions with two registers and one immediate (opcodes 120 to 161):
// register-indirect loads and stores, and register-immediate arithmetic,
// logic, comparisons, conditional moves, shifts and rotates.
//
// Operands: the code byte after the opcode holds `ra` in its low nibble and
// `rb` in its high nibble (each capped at 12); the remaining bytes of the
// instruction, at most four, are the immediate `vx`, sign-extended to 64 bits.
//
// Every handler reads its sources before it writes `registers[ra]`, so `ra`
// may equal `rb`.  The handlers are built from a handful of shared rules:
// the effective address, the access width with its byte order and sign
// extension, and the arithmetic rules written once over the operand width
// (32-bit results are sign-extended to 64 bits).  The `_alt` forms are the
// same rules with the operands swapped.
//
// Loads and stores go through the memory's `read` and `write` with dispatch
// enabled, so a Python subclass of CyMemory that overrides them is honoured.
// Whatever such an override returns is checked before a byte of it is used.
#include "access.hpp"
#include "alu.hpp"
#include "decode.hpp"
#include "group.hpp"
#include "numeric.hpp"

#include <iterator>

namespace {

using namespace pvm::group_kit;
using namespace pvm::alu;

#define MODULE_NAME "qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm"

// The group object; defined below, used by the memory handlers for the
// CyMemory class it imported.
extern pvm::Group group;

// ----- decoder ---------------------------------------------------------------

// Register byte at pc + 1, then an immediate of min(4, max(0, skip - 1))
// bytes (skip - 1 taken as a signed byte).  Code bytes at or past the end of
// the code read as zero, so decoding never reads outside the code.
InstructionProps get_props(CyTable*, uint32_t program_counter, CyProgram* program, uint32_t skip_index) {
    const uint8_t byte_val = pvm::decode::code_at(program, program_counter + 1);
    const uint8_t lx = pvm::num::clamp_4_max0(static_cast<int8_t>(static_cast<uint8_t>(skip_index - 1)));
    InstructionProps props{};
    props.ra = pvm::decode::reg_lo(byte_val);
    props.rb = pvm::decode::reg_hi(byte_val);
    props.vx = lx == 0 ? 0 : pvm::decode::immediate(program, program_counter + 2, lx);
    return props;
}

// ----- memory access rules -------------------------------------------------------

// Effective address: (registers[rb] + vx) mod 2^32; only the low 32 bits of
// the base and of the immediate take part.
inline uint32_t effective_address(const uint64_t* registers, uint8_t rb, uint64_t vx) {
    return static_cast<uint32_t>(registers[rb]) + static_cast<uint32_t>(vx);
}

// ----- memory handlers ---------------------------------------------------------

#define HANDLER_ARGS                                                                                  \
    CyProgram *, uint64_t *registers, CyMemory *memory, uint32_t, uint64_t vx, uint64_t, uint8_t ra, \
        uint8_t rb, uint8_t

// Stores: registers[ra] mod 2^(8·Bytes) at the effective address of rb.
// A refused write changes no byte of memory and no register.
template <unsigned Bytes, const char* Name>
uint32_t store_ind(HANDLER_ARGS) {
    if (!pvm::access::store<Bytes>(memory, group.classes().memory_type, effective_address(registers, rb, vx),
                                   registers[ra]))
        PVM_TRACEBACK(Name);
    return kFallThrough;
}

// Loads: `Bytes` bytes at the effective address of rb into registers[ra],
// zero- or sign-extended.  The address is taken before ra is written, and
// ra keeps its value when the read fails.
template <unsigned Bytes, bool Signed, const char* Name>
uint32_t load_ind(HANDLER_ARGS) {
    if (!pvm::access::load<Bytes, Signed>(memory, group.classes().memory_type, effective_address(registers, rb, vx),
                                          &registers[ra]))
        PVM_TRACEBACK(Name);
    return kFallThrough;
}

// Traceback names of the memory handlers.
constexpr char kStoreU8[] = MODULE_NAME ".store_ind_u8";
constexpr char kStoreU16[] = MODULE_NAME ".store_ind_u16";
constexpr char kStoreU32[] = MODULE_NAME ".store_ind_u32";
constexpr char kStoreU64[] = MODULE_NAME ".store_ind_u64";
constexpr char kLoadU8[] = MODULE_NAME ".load_ind_u8";
constexpr char kLoadI8[] = MODULE_NAME ".load_ind_i8";
constexpr char kLoadU16[] = MODULE_NAME ".load_ind_u16";
constexpr char kLoadI16[] = MODULE_NAME ".load_ind_i16";
constexpr char kLoadU32[] = MODULE_NAME ".load_ind_u32";
constexpr char kLoadI32[] = MODULE_NAME ".load_ind_i32";
constexpr char kLoadU64[] = MODULE_NAME ".load_ind_u64";

constexpr instr_fn_t store_ind_u8 = store_ind<1, kStoreU8>;
constexpr instr_fn_t store_ind_u16 = store_ind<2, kStoreU16>;
constexpr instr_fn_t store_ind_u32 = store_ind<4, kStoreU32>;
constexpr instr_fn_t store_ind_u64 = store_ind<8, kStoreU64>;
constexpr instr_fn_t load_ind_u8 = load_ind<1, false, kLoadU8>;
constexpr instr_fn_t load_ind_i8 = load_ind<1, true, kLoadI8>;
constexpr instr_fn_t load_ind_u16 = load_ind<2, false, kLoadU16>;
constexpr instr_fn_t load_ind_i16 = load_ind<2, true, kLoadI16>;
constexpr instr_fn_t load_ind_u32 = load_ind<4, false, kLoadU32>;
constexpr instr_fn_t load_ind_i32 = load_ind<4, true, kLoadI32>;
constexpr instr_fn_t load_ind_u64 = load_ind<8, false, kLoadU64>;

// ----- arithmetic handlers ------------------------------------------------------

// A = rule(B, X), B read before A is written.
template <Rule R>
uint32_t compute(CyProgram*, uint64_t* registers, CyMemory*, uint32_t, uint64_t vx, uint64_t, uint8_t ra,
                 uint8_t rb, uint8_t) {
    registers[ra] = R(registers[rb], vx);
    return kFallThrough;
}

// A = X when B is zero (IfZero) or non-zero (!IfZero); otherwise A is not
// written at all.
template <bool IfZero>
uint32_t cmov(CyProgram*, uint64_t* registers, CyMemory*, uint32_t, uint64_t vx, uint64_t, uint8_t ra,
              uint8_t rb, uint8_t) {
    if ((registers[rb] == 0) == IfZero) registers[ra] = vx;
    return kFallThrough;
}

constexpr instr_fn_t add_imm_32 = compute<add<4>>;
constexpr instr_fn_t and_imm = compute<bit_and>;
constexpr instr_fn_t xor_imm = compute<bit_xor>;
constexpr instr_fn_t or_imm = compute<bit_or>;
constexpr instr_fn_t mul_imm_32 = compute<mul<4>>;
constexpr instr_fn_t set_lt_u_imm = compute<lt_u>;
constexpr instr_fn_t set_lt_s_imm = compute<lt_s>;
constexpr instr_fn_t shlo_l_imm_32 = compute<shl<4>>;
constexpr instr_fn_t shlo_r_imm_32 = compute<shr<4>>;
constexpr instr_fn_t shar_r_imm_32 = compute<sar<4>>;
constexpr instr_fn_t neg_add_imm_32 = compute<neg_add<4>>;
constexpr instr_fn_t set_gt_u_imm = compute<gt_u>;
constexpr instr_fn_t set_gt_s_imm = compute<gt_s>;
constexpr instr_fn_t shlo_l_imm_alt_32 = compute<swapped<shl<4>>>;
constexpr instr_fn_t shlo_r_imm_alt_32 = compute<swapped<shr<4>>>;
constexpr instr_fn_t shar_r_imm_alt_32 = compute<swapped<sar<4>>>;
constexpr instr_fn_t cmov_iz_imm = cmov<true>;
constexpr instr_fn_t cmov_nz_imm = cmov<false>;
constexpr instr_fn_t add_imm_64 = compute<add<8>>;
constexpr instr_fn_t mul_imm_64 = compute<mul<8>>;
constexpr instr_fn_t shlo_l_imm_64 = compute<shl<8>>;
constexpr instr_fn_t shlo_r_imm_64 = compute<shr<8>>;
constexpr instr_fn_t shar_r_imm_64 = compute<sar<8>>;
constexpr instr_fn_t neg_add_imm_64 = compute<neg_add<8>>;
constexpr instr_fn_t shlo_l_imm_alt_64 = compute<swapped<shl<8>>>;
constexpr instr_fn_t shlo_r_imm_alt_64 = compute<swapped<shr<8>>>;
constexpr instr_fn_t shar_r_imm_alt_64 = compute<swapped<sar<8>>>;
constexpr instr_fn_t rot_r_64_imm = compute<rot_r<8>>;
constexpr instr_fn_t rot_r_64_imm_alt = compute<swapped<rot_r<8>>>;
constexpr instr_fn_t rot_r_32_imm = compute<rot_r<4>>;
constexpr instr_fn_t rot_r_32_imm_alt = compute<swapped<rot_r<4>>>;

// ----- TABLE ---------------------------------------------------------------------

// Every instruction of the group costs 1 gas and does not end a block.
constexpr pvm::OpcodeDef kOpcodes[] = {
    {120, store_ind_u8, 1, 0},       {121, store_ind_u16, 1, 0},      {122, store_ind_u32, 1, 0},
    {123, store_ind_u64, 1, 0},      {124, load_ind_u8, 1, 0},        {125, load_ind_i8, 1, 0},
    {126, load_ind_u16, 1, 0},       {127, load_ind_i16, 1, 0},       {128, load_ind_u32, 1, 0},
    {129, load_ind_i32, 1, 0},       {130, load_ind_u64, 1, 0},       {131, add_imm_32, 1, 0},
    {132, and_imm, 1, 0},            {133, xor_imm, 1, 0},            {134, or_imm, 1, 0},
    {135, mul_imm_32, 1, 0},         {136, set_lt_u_imm, 1, 0},       {137, set_lt_s_imm, 1, 0},
    {138, shlo_l_imm_32, 1, 0},      {139, shlo_r_imm_32, 1, 0},      {140, shar_r_imm_32, 1, 0},
    {141, neg_add_imm_32, 1, 0},     {142, set_gt_u_imm, 1, 0},       {143, set_gt_s_imm, 1, 0},
    {144, shlo_l_imm_alt_32, 1, 0},  {145, shlo_r_imm_alt_32, 1, 0},  {146, shar_r_imm_alt_32, 1, 0},
    {147, cmov_iz_imm, 1, 0},        {148, cmov_nz_imm, 1, 0},        {149, add_imm_64, 1, 0},
    {150, mul_imm_64, 1, 0},         {151, shlo_l_imm_64, 1, 0},      {152, shlo_r_imm_64, 1, 0},
    {153, shar_r_imm_64, 1, 0},      {154, neg_add_imm_64, 1, 0},     {155, shlo_l_imm_alt_64, 1, 0},
    {156, shlo_r_imm_alt_64, 1, 0},  {157, shar_r_imm_alt_64, 1, 0},  {158, rot_r_64_imm, 1, 0},
    {159, rot_r_64_imm_alt, 1, 0},   {160, rot_r_32_imm, 1, 0},       {161, rot_r_32_imm_alt, 1, 0},
};
static_assert(std::size(kOpcodes) == 42);

// The numeric helpers of vm_utils this group binds when it loads.  The
// handlers and the decoder use the inline versions of the same rules.
const pvm::NativeBinding kBindings[] = {
    PVM_UTILS_LOOKUP_TABLES,
    pvm::utils_function("uint16_to_bytes_le", pvm::utils::kToBytes16Sig),
    pvm::utils_function("uint32_to_bytes_le", pvm::utils::kToBytes32Sig),
    pvm::utils_function("uint64_to_bytes_le", pvm::utils::kToBytes64Sig),
    pvm::utils_function("b", pvm::utils::kBSig),
    pvm::utils_function("uint8_to_bytes_le", pvm::utils::kToBytes8Sig),
    pvm::utils_function("chi", pvm::utils::kSignedReadSig),
    pvm::utils_function("z", pvm::utils::kSignedReadSig),
    pvm::utils_function("bytes_to_uint16_le", pvm::utils::kFromBytes16Sig),
    pvm::utils_function("bytes_to_uint32_le", pvm::utils::kFromBytes32Sig),
    pvm::utils_function("bytes_to_uint64_le", pvm::utils::kFromBytes64Sig),
    pvm::utils_function("b_inv", pvm::utils::kBInvSig),
    pvm::utils_function("z_inv", pvm::utils::kZInvSig),
    pvm::utils_function("bytes_to_uint8_le", pvm::utils::kFromBytes8Sig),
    pvm::utils_function("clamp_4_max0", pvm::utils::kClampSignedSig),
    pvm::utils_function("clamp_12", pvm::utils::kClampSig),
    pvm::utils_function("clamp_4", pvm::utils::kClampSig),
};

pvm::Group group{{MODULE_NAME, "CyInstructionsWArgs2Reg1Imm", get_props, kOpcodes, std::size(kOpcodes),
                  kBindings, std::size(kBindings)}};

}  // namespace

PVM_DEFINE_GROUP_MODULE(ops_two_reg_imm,
                        "Instructions with two registers and one immediate: register-indirect loads and "
                        "stores, arithmetic, logic, comparisons, conditional moves, shifts and rotates.",
                        group)
