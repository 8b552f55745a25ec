// The native form of the driver's compiled blocks, shared by the native
// engines: the native loop runs it, the block compiler translates it further.
//
// A block is a header (`Block`) followed in the same allocation by its ops
// (`Op`: the decoded operands, the pc, and the address of the op's code in
// the native loop), then the blocks its last op's two exits lead to, then
// two stubs (see native_loop.cpp).  `PVM_NATIVE_OPS` lists every
// instruction with a native form and the kind of code that runs it; the
// kinds say whether an instruction ends a block and where a branch target
// was decoded (`kTable`).
#pragma once

#include "alu.hpp"
#include "numeric.hpp"
#include "profiler.hpp"

#include <cstdint>

namespace pvm::engine::blocks {

constexpr uint32_t kHaltAddress = 0xFFFF0000u;
constexpr uint32_t kBuiltinGas = 1;          // the gas cost of every built-in entry
constexpr uint8_t kLastRegister = 12;
constexpr int kEcalliOpcode = 10;

struct Op {
    const void* code;  // the instruction's code in `execute`
    uint64_t vx;
    uint64_t vy;
    uint32_t pc;
    uint8_t ra, rb, rd;
    uint8_t opcode;
};
static_assert(sizeof(Op) == 32);

// A block's ops follow it in the same allocation (`ops_of`), and after the
// last op come the blocks its two exits lead to (`links_of`), so that a
// block-ending op finds them next to itself.  An exit whose block was not
// looked up yet leads to a stub: a block of no gas whose one op looks the
// block up, links it in place of the stub and enters it, so a block-ending
// op never tests whether its successor is known.
enum class Kind : uint8_t { normal, stub, handover };

struct Block {
    uint32_t gas;        // charged when the block starts
    uint32_t start;      // its pc
    uint32_t count;      // number of ops
    uint32_t exits[2];   // where the last op goes on: [0] the next instruction, [1] its branch target
    bool target_ok;      // exits[1] starts a basic block (else a taken branch panics)
    Kind kind;
    engine::Flow flow;   // how the last op hands control on (for a gas profile)
};

inline Op* ops_of(Block* b) { return reinterpret_cast<Op*>(b + 1); }
inline const Op* ops_of(const Block* b) { return reinterpret_cast<const Op*>(b + 1); }
// The blocks at exits[0] and exits[1] (or their stubs), after the last op.
inline Block** links_of(Block* b) { return reinterpret_cast<Block**>(ops_of(b) + b->count); }
inline Block* const* links_after(const Op* last) { return reinterpret_cast<Block* const*>(last + 1); }

// ----- the instructions ---------------------------------------------------------
//
// One line per opcode: opcode, name, kind of code, the kind's arguments.
// The kinds are defined in `execute`; KIND_END says whether a kind ends a
// block and KIND_TARGET where its branch target was decoded.

#define PVM_NATIVE_OPS(X)                                    \
    X(0, trap, TRAP)                                         \
    X(1, fallthrough, FALL)                                  \
    X(10, ecalli, ECALLI)                                    \
    X(20, load_imm_64, IMM)                                  \
    X(30, store_imm_u8, STORE, 1, AT_VX, VAL_VY)             \
    X(31, store_imm_u16, STORE, 2, AT_VX, VAL_VY)            \
    X(32, store_imm_u32, STORE, 4, AT_VX, VAL_VY)            \
    X(33, store_imm_u64, STORE, 8, AT_VX, VAL_VY)            \
    X(40, jump, JUMP)                                        \
    X(50, jump_ind, JUMP_IND)                                \
    X(51, load_imm, IMM)                                     \
    X(52, load_u8, LOAD, 1, false, AT_VX)                    \
    X(53, load_i8, LOAD, 1, true, AT_VX)                     \
    X(54, load_u16, LOAD, 2, false, AT_VX)                   \
    X(55, load_i16, LOAD, 2, true, AT_VX)                    \
    X(56, load_u32, LOAD, 4, false, AT_VX)                   \
    X(57, load_i32, LOAD, 4, true, AT_VX)                    \
    X(58, load_u64, LOAD, 8, false, AT_VX)                   \
    X(59, store_u8, STORE, 1, AT_VX, VAL_RA)                 \
    X(60, store_u16, STORE, 2, AT_VX, VAL_RA)                \
    X(61, store_u32, STORE, 4, AT_VX, VAL_RA)                \
    X(62, store_u64, STORE, 8, AT_VX, VAL_RA)                \
    X(70, store_imm_ind_u8, STORE, 1, AT_RA_VX, VAL_VY)      \
    X(71, store_imm_ind_u16, STORE, 2, AT_RA_VX, VAL_VY)     \
    X(72, store_imm_ind_u32, STORE, 4, AT_RA_VX, VAL_VY)     \
    X(73, store_imm_ind_u64, STORE, 8, AT_RA_VX, VAL_VY)     \
    X(80, load_imm_jump, IMM_JUMP)                           \
    X(81, branch_eq_imm, BRANCH_IMM, alu::eq)                \
    X(82, branch_ne_imm, BRANCH_IMM, alu::ne)                \
    X(83, branch_lt_u_imm, BRANCH_IMM, alu::lt_u)            \
    X(84, branch_le_u_imm, BRANCH_IMM, not_gt_u)             \
    X(85, branch_ge_u_imm, BRANCH_IMM, alu::ge_u)            \
    X(86, branch_gt_u_imm, BRANCH_IMM, alu::gt_u)            \
    X(87, branch_lt_s_imm, BRANCH_IMM, alu::lt_s)            \
    X(88, branch_le_s_imm, BRANCH_IMM, not_gt_s)             \
    X(89, branch_ge_s_imm, BRANCH_IMM, alu::ge_s)            \
    X(90, branch_gt_s_imm, BRANCH_IMM, alu::gt_s)            \
    X(100, move_reg, UNARY, same)                            \
    X(101, sbrk, GROUP_CHECKED)                              \
    X(102, count_set_bits_64, UNARY, alu::count_ones<8>)                         \
    X(103, count_set_bits_32, UNARY, alu::count_ones<4>)                         \
    X(104, leading_zero_bits_64, UNARY, alu::leading_zeros<8>)                      \
    X(105, leading_zero_bits_32, UNARY, alu::leading_zeros<4>)                      \
    X(106, trailing_zero_bits_64, UNARY, alu::trailing_zeros<8>)                     \
    X(107, trailing_zero_bits_32, UNARY, alu::trailing_zeros<4>)                     \
    X(108, sign_extend_8, UNARY, sign_extend<1>)             \
    X(109, sign_extend_16, UNARY, sign_extend<2>)            \
    X(110, zero_extend_16, UNARY, zero_extend<2>)            \
    X(111, reverse_bytes, UNARY, alu::reverse_bytes)                             \
    X(120, store_ind_u8, STORE, 1, AT_RB_VX, VAL_RA)         \
    X(121, store_ind_u16, STORE, 2, AT_RB_VX, VAL_RA)        \
    X(122, store_ind_u32, STORE, 4, AT_RB_VX, VAL_RA)        \
    X(123, store_ind_u64, STORE, 8, AT_RB_VX, VAL_RA)        \
    X(124, load_ind_u8, LOAD, 1, false, AT_RB_VX)            \
    X(125, load_ind_i8, LOAD, 1, true, AT_RB_VX)             \
    X(126, load_ind_u16, LOAD, 2, false, AT_RB_VX)           \
    X(127, load_ind_i16, LOAD, 2, true, AT_RB_VX)            \
    X(128, load_ind_u32, LOAD, 4, false, AT_RB_VX)           \
    X(129, load_ind_i32, LOAD, 4, true, AT_RB_VX)            \
    X(130, load_ind_u64, LOAD, 8, false, AT_RB_VX)           \
    X(131, add_imm_32, REG_IMM, alu::add<4>)                 \
    X(132, and_imm, REG_IMM, alu::bit_and)                   \
    X(133, xor_imm, REG_IMM, alu::bit_xor)                   \
    X(134, or_imm, REG_IMM, alu::bit_or)                     \
    X(135, mul_imm_32, REG_IMM, alu::mul<4>)                 \
    X(136, set_lt_u_imm, REG_IMM, alu::lt_u)                 \
    X(137, set_lt_s_imm, REG_IMM, alu::lt_s)                 \
    X(138, shlo_l_imm_32, REG_IMM, alu::shl<4>)              \
    X(139, shlo_r_imm_32, REG_IMM, alu::shr<4>)              \
    X(140, shar_r_imm_32, REG_IMM, alu::sar<4>)              \
    X(141, neg_add_imm_32, REG_IMM, alu::neg_add<4>)         \
    X(142, set_gt_u_imm, REG_IMM, alu::gt_u)                 \
    X(143, set_gt_s_imm, REG_IMM, alu::gt_s)                 \
    X(144, shlo_l_imm_alt_32, REG_IMM, alu::swapped<alu::shl<4>>) \
    X(145, shlo_r_imm_alt_32, REG_IMM, alu::swapped<alu::shr<4>>) \
    X(146, shar_r_imm_alt_32, REG_IMM, alu::swapped<alu::sar<4>>) \
    X(147, cmov_iz_imm, CMOV_IMM, true)                      \
    X(148, cmov_nz_imm, CMOV_IMM, false)                     \
    X(149, add_imm_64, REG_IMM, alu::add<8>)                 \
    X(150, mul_imm_64, REG_IMM, alu::mul<8>)                 \
    X(151, shlo_l_imm_64, REG_IMM, alu::shl<8>)              \
    X(152, shlo_r_imm_64, REG_IMM, alu::shr<8>)              \
    X(153, shar_r_imm_64, REG_IMM, alu::sar<8>)              \
    X(154, neg_add_imm_64, REG_IMM, alu::neg_add<8>)         \
    X(155, shlo_l_imm_alt_64, REG_IMM, alu::swapped<alu::shl<8>>) \
    X(156, shlo_r_imm_alt_64, REG_IMM, alu::swapped<alu::shr<8>>) \
    X(157, shar_r_imm_alt_64, REG_IMM, alu::swapped<alu::sar<8>>) \
    X(158, rot_r_64_imm, REG_IMM, alu::rot_r<8>)             \
    X(159, rot_r_64_imm_alt, REG_IMM, alu::swapped<alu::rot_r<8>>) \
    X(160, rot_r_32_imm, REG_IMM, alu::rot_r<4>)             \
    X(161, rot_r_32_imm_alt, REG_IMM, alu::swapped<alu::rot_r<4>>) \
    X(170, branch_eq, BRANCH, alu::eq)                       \
    X(171, branch_ne, BRANCH, alu::ne)                       \
    X(172, branch_lt_u, BRANCH, alu::lt_u)                   \
    X(173, branch_lt_s, BRANCH, alu::lt_s)                   \
    X(174, branch_ge_u, BRANCH, alu::ge_u)                   \
    X(175, branch_ge_s, BRANCH, alu::ge_s)                   \
    X(180, load_imm_jump_ind, IMM_JUMP_IND)                  \
    X(190, add_32, THREE, alu::add<4>)                       \
    X(191, sub_32, THREE, alu::sub<4>)                       \
    X(192, mul_32, THREE, alu::mul<4>)                       \
    X(193, div_u_32, THREE, alu::div_u<4>)                   \
    X(194, div_s_32, THREE, alu::div_s<4>)                   \
    X(195, rem_u_32, THREE, alu::rem_u<4>)                   \
    X(196, rem_s_32, THREE, alu::rem_s<4>)                   \
    X(197, shlo_l_32, THREE, alu::shl<4>)                    \
    X(198, shlo_r_32, THREE, alu::shr<4>)                    \
    X(199, shar_r_32, THREE, alu::sar<4>)                    \
    X(200, add_64, THREE, alu::add<8>)                       \
    X(201, sub_64, THREE, alu::sub<8>)                       \
    X(202, mul_64, THREE, alu::mul<8>)                       \
    X(203, div_u_64, THREE, alu::div_u<8>)                   \
    X(204, div_s_64, THREE, alu::div_s<8>)                   \
    X(205, rem_u_64, THREE, alu::rem_u<8>)                   \
    X(206, rem_s_64, THREE, alu::rem_s<8>)                   \
    X(207, shlo_l_64, THREE, alu::shl<8>)                    \
    X(208, shlo_r_64, THREE, alu::shr<8>)                    \
    X(209, shar_r_64, THREE, alu::sar<8>)                    \
    X(210, and_, THREE, alu::bit_and)                        \
    X(211, xor_, THREE, alu::bit_xor)                        \
    X(212, or_, THREE, alu::bit_or)                          \
    X(213, mul_upper_s_s, THREE, alu::mul_upper_s_s)         \
    X(214, mul_upper_u_u, THREE, alu::mul_upper_u_u)         \
    X(215, mul_upper_s_u, THREE, alu::mul_upper_s_u)         \
    X(216, set_lt_u, THREE, alu::lt_u)                       \
    X(217, set_lt_s, THREE, alu::lt_s)                       \
    X(218, cmov_iz, CMOV, true)                              \
    X(219, cmov_nz, CMOV, false)                             \
    X(220, rot_l_64, THREE, alu::rot_l<8>)                   \
    X(221, rot_l_32, THREE, alu::rot_l<4>)                   \
    X(222, rot_r_64, THREE, alu::rot_r<8>)                   \
    X(223, rot_r_32, THREE, alu::rot_r<4>)                   \
    X(224, and_inv, THREE, alu::and_inv)                     \
    X(225, or_inv, THREE, alu::or_inv)                       \
    X(226, xnor, THREE, alu::xnor)                           \
    X(227, max, THREE, alu::max_s)                           \
    X(228, max_u, THREE, alu::max_u)                         \
    X(229, min, THREE, alu::min_s)                           \
    X(230, min_u, THREE, alu::min_u)

// "At most" as "not above"; the one-register rules of the two-register group.
constexpr uint64_t not_gt_u(uint64_t a, uint64_t b) { return !alu::gt_u(a, b); }
constexpr uint64_t not_gt_s(uint64_t a, uint64_t b) { return !alu::gt_s(a, b); }
constexpr uint64_t same(uint64_t a) { return a; }
template <unsigned Bytes>
constexpr uint64_t sign_extend(uint64_t a) {
    return num::sign_extend(a, Bytes);
}
template <unsigned Bytes>
constexpr uint64_t zero_extend(uint64_t a) {
    return num::low_bytes(a, Bytes);
}

// Where a block-ending kind's branch target was decoded.
enum class Target : uint8_t { none, vx, vy };

#define TRAP_END true
#define FALL_END true
#define ECALLI_END false
#define IMM_END false
#define STORE_END false
#define LOAD_END false
#define JUMP_END true
#define JUMP_IND_END true
#define IMM_JUMP_END true
#define BRANCH_IMM_END true
#define UNARY_END false
#define GROUP_CHECKED_END false
#define REG_IMM_END false
#define CMOV_IMM_END false
#define BRANCH_END true
#define IMM_JUMP_IND_END true
#define THREE_END false
#define CMOV_END false

#define JUMP_TARGET Target::vx
#define IMM_JUMP_TARGET Target::vy
#define BRANCH_IMM_TARGET Target::vy
#define BRANCH_TARGET Target::vx

struct Native {
    int16_t index = -1;  // position in PVM_NATIVE_OPS (and in the label table); -1: none
    bool terminating = false;
    Target target = Target::none;
};

struct NativeTable {
    Native ops[256];
};

#define PVM_TARGET_OF(kind) PVM_TARGET_OF_##kind
#define PVM_TARGET_OF_TRAP Target::none
#define PVM_TARGET_OF_FALL Target::none
#define PVM_TARGET_OF_ECALLI Target::none
#define PVM_TARGET_OF_IMM Target::none
#define PVM_TARGET_OF_STORE Target::none
#define PVM_TARGET_OF_LOAD Target::none
#define PVM_TARGET_OF_JUMP JUMP_TARGET
#define PVM_TARGET_OF_JUMP_IND Target::none
#define PVM_TARGET_OF_IMM_JUMP IMM_JUMP_TARGET
#define PVM_TARGET_OF_BRANCH_IMM BRANCH_IMM_TARGET
#define PVM_TARGET_OF_UNARY Target::none
#define PVM_TARGET_OF_GROUP_CHECKED Target::none
#define PVM_TARGET_OF_REG_IMM Target::none
#define PVM_TARGET_OF_CMOV_IMM Target::none
#define PVM_TARGET_OF_BRANCH BRANCH_TARGET
#define PVM_TARGET_OF_IMM_JUMP_IND Target::none
#define PVM_TARGET_OF_THREE Target::none
#define PVM_TARGET_OF_CMOV Target::none

constexpr NativeTable build_table() {
    NativeTable t{};
    int16_t index = 0;
#define PVM_ENTER_OP(opcode, name, kind, ...) \
    t.ops[opcode] = Native{index++, kind##_END, PVM_TARGET_OF(kind)};
    PVM_NATIVE_OPS(PVM_ENTER_OP)
#undef PVM_ENTER_OP
    return t;
}

constexpr NativeTable kTable = build_table();

// The labels after the ops' own: the op of a block that hands the run over,
// and the op of a stub.
#define PVM_COUNT_OP(opcode, name, kind, ...) +1
constexpr int kHandoverIndex = 0 PVM_NATIVE_OPS(PVM_COUNT_OP);
constexpr int kLinkIndex = kHandoverIndex + 1;
#undef PVM_COUNT_OP

}  // namespace pvm::engine::blocks
