// The native run loop (see native_loop.hpp for what it promises the driver).
//
// Native form.  Each block gets a plain array of `Op`, built from the
// driver's cached CyBlockInfo right after that is compiled, so both forms
// always hold the same instructions: the address of the op's code in the run
// loop, the operands decoded when the block was compiled and the
// instruction's pc.  A block also records where its last instruction goes
// on (the next instruction, a branch target) and, once they have been
// looked up, the blocks there: a taken branch goes straight to the next
// native block.  Dynamic jumps go through the cache's native jump table,
// which links each entry to its block on first use.  Blocks are only freed
// with their interpreter.
//
// The loop.  One function, `execute`, holds the code of every instruction
// under a label and dispatches with a computed goto from each instruction to
// the next (direct threading): no call, no result test per instruction.  It
// runs on the caller's registers and takes no references.  Arithmetic uses
// the shared rules of alu.hpp.  Loads and stores test the permission bits
// and find the page buffer through the memory's page map; the first access
// to a page, an access across pages and a refused access go through
// vm_memory's direct load and store, which apply every rule of `read` and
// `write`.  A host call goes to the driver's host-call function and the
// block goes on after it; without a handler the run stops there.
//
// Python code can run only at a host call, at the periodic check that lets
// other threads run, and in error paths.  After each, the loop fetches the
// memory's page map again (Python code may have changed the page store or
// released the buffers) and checks that the interpreter's blocks were not
// handed to Python code and that no table entry changed; if either
// happened, the rest of the run goes to the general path.
#include "native_loop.hpp"

#include "profiler.hpp"

#include "abi/op_table.hpp"
#include "alu.hpp"
#include "capi.hpp"
#include "module.hpp"
#include "numeric.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

namespace pvm::native_loop {

bool enabled = true;
bool unlocking = true;

namespace {

using engine::End;
using engine::HostCall;
using engine::Outcome;

constexpr uint32_t kHaltAddress = 0xFFFF0000u;
constexpr uint32_t kOffsetMask = kPageSize - 1;
constexpr uint32_t kBuiltinGas = 1;          // the gas cost of every built-in entry
// The loop charges blocks from a window of at most this much gas and makes
// its periodic check each time the window runs out: one comparison per block
// serves both the gas check and the count to the next periodic check.
constexpr uint64_t kCheckGas = 1 << 14;
constexpr uint8_t kLastRegister = 12;
// A run without the interpreter lock takes it this often (at least) on the
// thread that runs signal handlers, so that Ctrl-C stops it promptly.
using Clock = std::chrono::steady_clock;
constexpr Clock::duration kSignalInterval = std::chrono::milliseconds(1);
// The interval grows with the time the lock took to get (so that a busy
// Python thread does not slow the run down much), by this much at most.
constexpr Clock::duration kMaxSignalDelay = std::chrono::milliseconds(50);
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

struct Bound {
    PyTypeObject* program_type = nullptr;
    PyTypeObject* memory_type = nullptr;
    PyTypeObject* compiled_type = nullptr;
    PyObject* const* entries = nullptr;
    PyObject* exit_type = nullptr;
    const uint64_t* entry_changes = nullptr;
    direct_load_fn* load = nullptr;
    direct_store_fn* store = nullptr;
    page_map_fn* page_map = nullptr;
    const void* const* labels[2] = {};  // the code of each kind of op, from `execute<false>` and `<true>`
};
Bound bound;

}  // namespace

// The native blocks of one form of the loop: the plain one, or the one that
// keeps a gas profile (their ops point into different code).
struct Forms {
    std::vector<Block*> blocks;  // by start pc: every code position and one past the end
    std::vector<Block*> jumps;   // by jump-table index: the block at the entry's target
    std::vector<Block*> far;     // blocks of runs started past the code (freed with the cache)
};

struct Cache {
    Forms forms[2];              // [0] plain, [1] profiling
    size_t slots = 0;            // code positions and one past the end
    size_t jump_count = 0;
    uint64_t used[4] = {};       // opcodes whose entries the native blocks rely on
    uint64_t entries_seen = 0;   // *entry_changes when the entries were last found as built
    bool exposed = false;
    Py_ssize_t built = 0;
};

namespace {

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

// ----- the interpreter lock ---------------------------------------------------------
//
// A thread that asks for the interpreter lock while another holds it sleeps
// until the lock is handed over, which takes far longer (tens of
// microseconds) than a host handler's usual Python code.  Runs that take the
// lock for a slow path say so, and a run about to take it spins a little
// while another run holds it: it then takes the lock as it comes free,
// without sleeping.  A hint only: when it is wrong, a run spins for nothing
// or sleeps as it would anyway.
std::atomic<bool> runs_hold_lock{false};
constexpr Clock::duration kMaxSpin = std::chrono::microseconds(50);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void take_lock(PyThreadState* state) {
    if (runs_hold_lock.load(std::memory_order_relaxed)) {
        const Clock::time_point until = Clock::now() + kMaxSpin;
        for (unsigned i = 1; runs_hold_lock.load(std::memory_order_relaxed); ++i) {
            cpu_relax();
            if (i % 64 == 0 && Clock::now() > until) break;
        }
    }
    PyEval_RestoreThread(state);
    runs_hold_lock.store(true, std::memory_order_relaxed);
}

// Whether this thread is its interpreter's only one: then no thread can be
// waiting for the lock, and a run keeps it (giving it up and taking it back
// at every host call would only cost time).  Another thread can only appear
// through Python code this one runs, with the lock (a host handler); the run
// looks again at each periodic check, which also lets such a thread run.
inline bool alone() {
    PyThreadState* const me = PyThreadState_Get();
    return PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(me)) == me && PyThreadState_Next(me) == nullptr;
}

PyThreadState* give_lock() {
    PyThreadState* state = PyEval_SaveThread();
    runs_hold_lock.store(false, std::memory_order_relaxed);
    return state;
}

// ----- the loop -------------------------------------------------------------------

inline bool entries_current(Cache* cache);
Block* block_for(Cache* cache, bool profiling, const engine::Driver& driver, CyProgram* program, uint32_t pc);

// An exception left by a group handler or the program at `op`: a PvmExit
// with a halt or panic code becomes that exit here, a page fault that exit
// at the first refused page of the access (as the driver reports it);
// anything else fails the run, with the traceback entry the block loop adds
// on the general path.
End from_exception(CyMemory* memory, const Op* op, uint32_t* fault) {
    if (PyErr_ExceptionMatches(bound.exit_type)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
        long code = -1;
        if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) >= 1 && PyLong_Check(PyTuple_GET_ITEM(args, 0)))
            code = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
        if (code == kHalt || code == kPanic) {
            Py_DECREF(exc);
            return static_cast<End>(code);
        }
        if (code == kPageFault && PyTuple_GET_SIZE(args) >= 2 && PyLong_Check(PyTuple_GET_ITEM(args, 1))) {
            const unsigned long long address = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(args, 1));
            if (!PyErr_Occurred() && address <= 0xFFFFFFFFull) {
                *fault = engine::fault_page(memory, op->opcode, static_cast<uint32_t>(address));
                Py_DECREF(exc);
                return End::page_fault;
            }
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc);
    }
    add_traceback("qorvel_pvm.cpvm.vm_block.CyBlockInfo.execute", __FILE__, __LINE__);
    return End::failed;
}

// Calls the group's own handler of `op`.
inline void call_group(CyProgram* program, uint64_t* regs, CyMemory* memory, const Op* op) {
    const auto* entry = reinterpret_cast<const CyTableEntry*>(bound.entries[op->opcode]);
    entry->fn(program, regs, memory, op->pc, op->vx, op->vy, op->ra, op->rb, op->rd);
}

// Runs the request (keeping its gas profile when Profiling); with `request`
// NULL only hands out the label table.
template <bool Profiling>
Outcome execute(Cache* cache, const engine::Driver* driver, const engine::Request* request) {
    static const void* const labels[] = {
#define PVM_LABEL(opcode, name, kind, ...) &&op_##name,
        PVM_NATIVE_OPS(PVM_LABEL)
#undef PVM_LABEL
        &&op_handover,
        &&op_link,
    };
    Outcome out;
    if (request == nullptr) {
        bound.labels[Profiling] = labels;
        return out;
    }
    Forms& forms = cache->forms[Profiling];
    engine::Profiler* const prof = request->profiler;
    engine::Flow flow = engine::Flow::none;  // of the last block entered (profiling)
    CyProgram* const program = request->program;
    CyMemory* const mem = request->memory;
    uint64_t* const regs = request->registers;
    const HostCall* const host = request->host;
    // The memory's page map, fetched again after anything that may have run
    // Python code.
    const PageMap* map = bound.page_map(mem);
    const uintptr_t* reads = map->read;
    const uintptr_t* writes = map->write;
    if (forms.blocks.empty()) {
        forms.blocks.resize(cache->slots, nullptr);
        forms.jumps.resize(cache->jump_count, nullptr);
    }
    Block** const jumps = forms.jumps.data();
    const uint32_t jump_count = static_cast<uint32_t>(forms.jumps.size());
    // Gas left = reserve + window; blocks are charged from the window.
    uint64_t window = request->gas < kCheckGas ? request->gas : kCheckGas;
    uint64_t reserve = request->gas - window;
    const Op* op = nullptr;
    Block* nb = nullptr;
    [[maybe_unused]] Block* blk = nullptr;  // the block running (profiling)
    uint32_t jump_address = 0;     // for `djump`
    uint32_t access_address = 0;   // for the slow loads and stores
    uint32_t access_length = 0;
    bool access_signed = false;
    uint64_t access_value = 0;
    uint64_t total = 0;            // gas left, at a refill or a host call
    // The interpreter lock.  A run still going after its first window of gas
    // gives the lock up and goes on without it, taking it back only to touch
    // Python objects (a slow load or store, sbrk, a host call, a block looked
    // up for the first time, a check) and at the end.  While the lock is
    // given up the memory is marked busy, so that Python code on another
    // thread gets an error instead of racing the run.  Other threads may run
    // the same interpreter meanwhile: links between blocks and the jump
    // table are read and written atomically, and everything else they change
    // (new blocks, the entries, exposure) is looked at only under the lock.
    PyThreadState* unlocked = nullptr;  // the thread's state while the lock is given up
    bool lock_free = false;             // past the first window: goes on without the lock
    bool solo = false;                  // the thread was alone at the last check: keeps the lock
    uint64_t entries_at = 0;            // *entry_changes at the last check
    uint64_t interrupts_at = *driver->interrupts;
    Clock::time_point next_check{};     // signals: when the lock is next taken to run their handlers

#define REG(i) regs[i]
#define DISPATCH() goto* op->code
#define LOCK()                                      \
    do {                                            \
        if (unlocked != nullptr) [[unlikely]] {     \
            take_lock(unlocked);                    \
            unlocked = nullptr;                     \
            mem->_busy = 0;                         \
        }                                           \
    } while (0)
#define UNLOCK()                                    \
    do {                                            \
        if (lock_free && !solo) {                   \
            mem->_busy = 1;                         \
            unlocked = give_lock();                 \
        }                                           \
    } while (0)
// Goes on with the next op after a slow path.
#define RESUME() \
    do {         \
        UNLOCK(); \
        NEXT();  \
    } while (0)
#define NEXT()       \
    do {             \
        ++op;        \
        DISPATCH();  \
    } while (0)
// Enters block B: charges its gas from the window (when the window cannot
// pay, `refill` gives it back and decides between out of gas and the
// periodic check), then runs its first op.
#define ENTER(B)                                                                   \
    do {                                                                           \
        nb = (B);                                                                  \
        if (__builtin_sub_overflow(window, uint64_t{nb->gas}, &window)) [[unlikely]] \
            goto refill;                                                           \
        PROFILE_ENTER();                                                           \
        op = ops_of(nb);                                                           \
        DISPATCH();                                                                \
    } while (0)
// Profiling: a block entered (stubs only pass control on; a block that hands
// the run over leaves its entry to the general path).
#define PROFILE_ENTER()                                          \
    do {                                                         \
        if constexpr (Profiling) {                               \
            if (nb->kind != Kind::stub) {                        \
                prof->leave(flow);                               \
                flow = nb->flow;                                 \
                if (nb->kind == Kind::normal) {                  \
                    prof->enter(nb->start, nb->gas);             \
                    blk = nb;                                    \
                }                                                \
            }                                                    \
        }                                                        \
    } while (0)
// Goes on at exit T of the block whose last op is `op`.
#define FOLLOW(T) ENTER(__atomic_load_n(&links_after(op)[T], __ATOMIC_ACQUIRE))
// A dynamic jump through the native jump table; the halt address is tested
// first, as the program does.  Address 0 wraps to an index past the table.
#define DJUMP(ADDRESS)                                                \
    do {                                                              \
        jump_address = (ADDRESS);                                     \
        if (jump_address == kHaltAddress) goto halt;                  \
        const uint32_t i_ = (jump_address >> 1) - 1;                  \
        if ((jump_address & 1) != 0 || i_ >= jump_count) goto panic;  \
        Block* const j_ = __atomic_load_n(&jumps[i_], __ATOMIC_ACQUIRE); \
        if (j_ == nullptr) [[unlikely]] goto djump_resolve;           \
        ENTER(j_);                                                    \
    } while (0)

#define AT_VX static_cast<uint32_t>(op->vx)
#define AT_RA_VX static_cast<uint32_t>(REG(op->ra) + op->vx)
#define AT_RB_VX static_cast<uint32_t>(REG(op->rb) + op->vx)
#define VAL_VY op->vy
#define VAL_RA REG(op->ra)

// The code of each kind of op.
#define TRAP_CODE() goto panic;
#define FALL_CODE() FOLLOW(0);
#define ECALLI_CODE() goto ecalli;
#define IMM_CODE()          \
    REG(op->ra) = op->vx;   \
    NEXT();
#define LOAD_CODE(N, SIGNED, AT)                                                                  \
    {                                                                                             \
        const uint32_t a_ = AT;                                                                   \
        const uintptr_t e_ = reads[a_ >> kPageShift];                                             \
        if (e_ != 0 && (a_ & kOffsetMask) <= kPageSize - (N)) [[likely]] {                        \
            alu::U<N> v_;                                                                         \
            std::memcpy(&v_, map_host(e_, a_), N);                                                \
            v_ = alu::to_little(v_);                                                              \
            REG(op->ra) = (SIGNED) ? alu::widen_signed<N>(v_) : static_cast<uint64_t>(v_);        \
            NEXT();                                                                               \
        }                                                                                         \
        access_address = a_;                                                                      \
        access_length = N;                                                                        \
        access_signed = SIGNED;                                                                   \
        goto load_slow;                                                                           \
    }
#define STORE_CODE(N, AT, VAL)                                                                    \
    {                                                                                             \
        const uint32_t a_ = AT;                                                                   \
        const uintptr_t e_ = writes[a_ >> kPageShift];                                            \
        if (e_ != 0 && (a_ & kOffsetMask) <= kPageSize - (N)) [[likely]] {                        \
            const alu::U<N> v_ = alu::to_little(static_cast<alu::U<N>>(VAL));                     \
            std::memcpy(map_host(e_, a_), &v_, N);                                                \
            NEXT();                                                                               \
        }                                                                                         \
        access_address = a_;                                                                      \
        access_length = N;                                                                        \
        access_value = VAL;                                                                       \
        goto store_slow;                                                                          \
    }
#define JUMP_CODE() FOLLOW(1);
#define JUMP_IND_CODE() DJUMP(static_cast<uint32_t>(REG(op->ra) + op->vx));
#define IMM_JUMP_CODE()     \
    REG(op->ra) = op->vx;   \
    FOLLOW(1);
#define BRANCH_IMM_CODE(C)                   \
    if (C(REG(op->ra), op->vx)) FOLLOW(1);   \
    FOLLOW(0);
#define UNARY_CODE(F)                   \
    REG(op->rd) = F(REG(op->ra));       \
    NEXT();
#define GROUP_CHECKED_CODE()                            \
    LOCK();                                             \
    call_group(program, regs, mem, op);                 \
    if (PyErr_Occurred()) [[unlikely]] goto raised;     \
    RESUME();
#define REG_IMM_CODE(R)                              \
    REG(op->ra) = R(REG(op->rb), op->vx);            \
    NEXT();
#define CMOV_IMM_CODE(IF_ZERO)                                      \
    if ((REG(op->rb) == 0) == (IF_ZERO)) REG(op->ra) = op->vx;      \
    NEXT();
#define BRANCH_CODE(C)                              \
    if (C(REG(op->ra), REG(op->rb))) FOLLOW(1);     \
    FOLLOW(0);
#define IMM_JUMP_IND_CODE()                                  \
    {                                                        \
        const uint64_t base_ = REG(op->rb);                  \
        REG(op->ra) = op->vx;                                \
        DJUMP(static_cast<uint32_t>(base_ + op->vy));        \
    }
#define THREE_CODE(R)                                   \
    REG(op->rd) = R(REG(op->ra), REG(op->rb));          \
    NEXT();
#define CMOV_CODE(IF_ZERO)                                                \
    if ((REG(op->rb) == 0) == (IF_ZERO)) REG(op->rd) = REG(op->ra);       \
    NEXT();

    // The first block.
    nb = block_for(cache, Profiling, *driver, program, request->pc);
    if (nb == nullptr) {
        out.end = End::failed;
        out.pc = request->pc;
        out.gas = request->gas;
        return out;
    }
    ENTER(nb);

#define PVM_CODE(opcode, name, kind, ...) \
    op_##name : kind##_CODE(__VA_ARGS__)
    PVM_NATIVE_OPS(PVM_CODE)
#undef PVM_CODE

op_handover:
    // A block without a native form: the general path runs it, uncharged here.
    out.end = End::handover;
    out.pc = op->pc;
    goto done;

op_link: {
    // A stub: exit vx of block vy goes on at a block not looked up yet.
    LOCK();
    Block* const owner = reinterpret_cast<Block*>(op->vy);
    const auto which = static_cast<int>(op->vx);
    if (which == 1 && !owner->target_ok) {
        op = ops_of(owner) + owner->count - 1;  // a taken branch to a non-block start
        goto panic;
    }
    nb = block_for(cache, Profiling, *driver, program, owner->exits[which]);
    if (nb == nullptr) goto failed;
    __atomic_store_n(&links_of(owner)[which], nb, __ATOMIC_RELEASE);
    // Compiling a block may run Python code (a group's Python decoder).
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    UNLOCK();
    ENTER(nb);
}

djump_resolve: {
    // A jump-table entry used for the first time: its target must start a
    // block, by the program's own rule.
    LOCK();
    const uint32_t index = (jump_address >> 1) - 1;
    const uint32_t target = program->_jump_entries[index];
    program->vtab->branch(program, static_cast<int32_t>(op->pc), static_cast<int32_t>(target), 1);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(bound.exit_type)) goto failed;
        PyErr_Clear();
        goto panic;
    }
    nb = block_for(cache, Profiling, *driver, program, target);
    if (nb == nullptr) goto failed;
    __atomic_store_n(&jumps[index], nb, __ATOMIC_RELEASE);
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    UNLOCK();
    ENTER(nb);
}

refill:
    // The window cannot pay for `nb` (and wrapped round trying): out of
    // gas, or the periodic check and a new window.  Other threads and signal
    // handlers run at the check, and may change anything the loop relies on.
    window += nb->gas;
    total = reserve + window;
    if (total < nb->gas) goto out_of_gas;
    if (unlocked != nullptr) {
        // Without the lock, the check is made only when something asks for
        // it: another thread exposed the blocks or changed an entry, a run
        // was interrupted, or it is time to let signal handlers run (on the
        // thread that runs them).  Taking the lock may mean waiting for
        // another thread's Python code: the longer that took, the longer
        // until the next time.
        if (!__atomic_load_n(&cache->exposed, __ATOMIC_RELAXED) &&
            __atomic_load_n(bound.entry_changes, __ATOMIC_RELAXED) == entries_at &&
            __atomic_load_n(driver->interrupts, __ATOMIC_RELAXED) == interrupts_at &&
            (!driver->signals || Clock::now() < next_check))
            goto new_window;
        const Clock::time_point asked = Clock::now();
        LOCK();
        const Clock::time_point got = Clock::now();
        next_check = got + kSignalInterval + std::min<Clock::duration>(16 * (got - asked), kMaxSignalDelay);
    }
    interrupts_at = __atomic_load_n(driver->interrupts, __ATOMIC_RELAXED);
    if (!driver->let_others_run()) {
        out.interrupted = true;
        out.pc = nb->start;
        goto failed_here;
    }
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    if (cache->exposed || !entries_current(cache)) {
        out.end = End::handover;
        out.pc = nb->start;
        goto done;
    }
    entries_at = __atomic_load_n(bound.entry_changes, __ATOMIC_RELAXED);
    solo = alone();
    if (!lock_free && unlocking) {
        lock_free = true;
        next_check = Clock::now() + kSignalInterval;
    }
    UNLOCK();
new_window:
    window = total < kCheckGas + nb->gas ? total : kCheckGas + nb->gas;
    reserve = total - window;
    window -= nb->gas;
    PROFILE_ENTER();
    op = ops_of(nb);
    DISPATCH();

ecalli: {
    LOCK();
    const uint32_t index = static_cast<uint32_t>(op->vx);
    // Ops after the call in this block: their gas goes back when the run stops here.
    const uint64_t rest = op->vy;  // set when the block was built
    out.pc = op[1].pc;
    if (host == nullptr) {
        out.end = End::host;
        out.host_index = index;
        reserve += rest;
        if constexpr (Profiling) prof->adjust(-static_cast<int64_t>(rest));
        goto done;
    }
    uint8_t status = 0;
    total = reserve + window;
    const uint64_t before = total;
    const HostCall::Reply reply = host->call(host->context, index, &total, &status);
    if constexpr (Profiling) prof->adjust(static_cast<int64_t>(before - total));
    // The window keeps counting towards the next periodic check (a handler
    // in C runs no check of its own); a charge comes out of the reserve.
    if (window > total) window = total;
    reserve = total - window;
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    if (reply == HostCall::Reply::go_on) [[likely]] {
        if (cache->exposed || !entries_current(cache)) [[unlikely]] {
            out.end = End::handover;
            out.charged = true;
            goto done;
        }
        RESUME();
    }
    if (reply == HostCall::Reply::end) {
        out.end = static_cast<End>(status);
        goto done;
    }
    // Ctrl-C inside the handler: the call is done, and a run resuming after
    // it pays again for the rest of the block.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        out.interrupted = true;
        reserve += rest;
        if constexpr (Profiling) prof->adjust(-static_cast<int64_t>(rest));
    }
    goto failed_here;
}

load_slow: {
    LOCK();
    if (map->store_runs_code) goto group_access;
    uint64_t value;
    uint32_t fault;
    const int rc = bound.load(mem, access_address, access_length, &value, &fault);
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    if (rc == 0) {
        REG(op->ra) = access_signed ? num::sign_extend(value, access_length) : value;
        RESUME();
    }
    if (rc > 0) {
        out.fault = fault;
        goto page_fault;
    }
    goto access_failed;
}

store_slow: {
    LOCK();
    if (map->store_runs_code) goto group_access;
    uint32_t fault;
    const int rc = bound.store(mem, access_address, access_length, access_value, &fault);
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    if (rc == 0) RESUME();
    if (rc > 0) {
        out.fault = fault;
        goto page_fault;
    }
    goto access_failed;
}

access_failed:
    // The page store failed without running Python code (a value that is
    // not a page of this memory, no memory left): the group's own handler
    // repeats the access through `read` or `write` and raises exactly what
    // the general path raises (or completes the access if it now can).
    PyErr_Clear();
    call_group(program, regs, mem, op);
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    if (PyErr_Occurred()) goto raised;
    RESUME();

group_access:
    // A store whose lookups may run Python code: the access is made once,
    // by the group's own handler, as on the general path.  That code may
    // have exposed the interpreter's blocks or changed table entries: the
    // rest of the run then goes to the general path.
    call_group(program, regs, mem, op);
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    if (PyErr_Occurred()) goto raised;
    if (cache->exposed || !entries_current(cache)) {
        out.end = End::handover;
        out.pc = op[1].pc;
        out.charged = true;
        goto done;
    }
    RESUME();

// Exits at the op that caused them.
raised:
    out.end = from_exception(mem, op, &out.fault);
    goto at_op;
halt:
    out.end = End::halt;
    goto at_op;
panic:
    out.end = End::panic;
    goto at_op;
page_fault:
    out.end = End::page_fault;
at_op:
    out.pc = op->pc;
    goto done;

out_of_gas:
    out.end = End::out_of_gas;
    out.pc = nb->start;
    goto done;

failed:
    out.pc = op != nullptr ? op->pc : request->pc;
failed_here:
    out.end = End::failed;

done:
    LOCK();
    runs_hold_lock.store(false, std::memory_order_relaxed);  // Python code runs next, for any time
    out.gas = reserve + window;
    return out;

#undef REG
#undef DISPATCH
#undef LOCK
#undef UNLOCK
#undef RESUME
#undef NEXT
#undef ENTER
#undef FOLLOW
#undef DJUMP
}

// ----- native blocks ----------------------------------------------------------------

// An entry of the driver's table still as its group built it.
inline bool entry_builtin(int opcode) {
    const auto* e = reinterpret_cast<const CyTableEntry*>(bound.entries[opcode]);
    return e != nullptr && e->fn != nullptr && e->gas_cost == kBuiltinGas &&
           (e->is_terminating != 0) == kTable.ops[opcode].terminating;
}

bool entries_intact(const Cache* cache) {
    for (int w = 0; w < 4; ++w) {
        for (uint64_t bits = cache->used[w]; bits != 0; bits &= bits - 1) {
            if (!entry_builtin(w * 64 + __builtin_ctzll(bits))) return false;
        }
    }
    return true;
}

// Whether the entries the native blocks rely on are still as built: one
// comparison while no entry changed since they were last checked.
inline bool entries_current(Cache* cache) {
    if (*bound.entry_changes == cache->entries_seen) [[likely]]
        return true;
    if (!entries_intact(cache)) return false;
    cache->entries_seen = *bound.entry_changes;
    return true;
}

// A block of `count` ops with its links and their two stubs, which follow
// its ops: [Block][count ops][2 links][stub 0: Block, op, 2 links][stub 1],
// for the form of the loop whose code `labels` names.
Block* new_block(const void* const* labels, Py_ssize_t count, uint32_t start, uint32_t gas) {
    constexpr size_t kLinks = 2 * sizeof(Block*);
    constexpr size_t kStub = sizeof(Block) + sizeof(Op) + kLinks;
    const size_t size = sizeof(Block) + static_cast<size_t>(count) * sizeof(Op) + kLinks + 2 * kStub;
    auto* b = static_cast<Block*>(PyMem_Malloc(size));
    if (b == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    *b = Block{gas, start, static_cast<uint32_t>(count), {0, 0}, false, Kind::normal, engine::Flow::none};
    auto* stubs = reinterpret_cast<char*>(links_of(b)) + kLinks;
    for (int exit = 0; exit < 2; ++exit) {
        auto* stub = reinterpret_cast<Block*>(stubs + exit * kStub);
        *stub = Block{0, start, 1, {0, 0}, false, Kind::stub, engine::Flow::none};
        ops_of(stub)[0] = Op{labels[kLinkIndex], static_cast<uint64_t>(exit), reinterpret_cast<uint64_t>(b),
                             start, 0, 0, 0, 0};
        links_of(stub)[0] = links_of(stub)[1] = nullptr;
        links_of(b)[exit] = stub;
    }
    return b;
}

// A block the general path runs: one op that hands the run over, no gas.
Block* handover_block(const void* const* labels, uint32_t start) {
    Block* b = new_block(labels, 1, start, 0);
    if (b != nullptr) {
        b->kind = Kind::handover;
        ops_of(b)[0] = Op{labels[kHandoverIndex], 0, 0, start, 0, 0, 0, 0};
    }
    return b;
}

// The native form of `gb`, the cached CyBlockInfo starting at `start`; a
// handover block when one of its instructions has no native op, an entry
// that is not as built or a register index past 12; nullptr with an
// exception.
Block* build_block(Cache* cache, const void* const* labels, CyBlockInfo* gb, uint32_t start, CyProgram* program) {
    PyObject* list = gb->instructions;
    if (list == nullptr || !PyList_CheckExact(list)) return handover_block(labels, start);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n <= 0 || static_cast<uint64_t>(gb->total_gas) != static_cast<uint64_t>(n) * kBuiltinGas)
        return handover_block(labels, start);
    uint64_t used[4] = {};
    // Checked first, so that nothing is built for a block that cannot run natively.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyObject_TypeCheck(item, bound.compiled_type)) return handover_block(labels, start);
        auto* ins = reinterpret_cast<CyCompiledInstruction*>(item);
        int opcode = ins->opcode;
        if (opcode < 0 || opcode > 255) return handover_block(labels, start);
        // An undefined opcode or a position inside an instruction compiles to the trap entry.
        if (ins->handler != bound.entries[opcode]) opcode = 0;
        if (ins->handler != bound.entries[opcode] || kTable.ops[opcode].index < 0 || !entry_builtin(opcode) ||
            kTable.ops[opcode].terminating != (i == n - 1) || ins->ra > kLastRegister ||
            ins->rb > kLastRegister || ins->rd > kLastRegister)
            return handover_block(labels, start);
        used[opcode >> 6] |= uint64_t{1} << (opcode & 63);
    }
    Block* b = new_block(labels, n, start, gb->total_gas);
    if (b == nullptr) return nullptr;
    uint32_t pc = start;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* ins = reinterpret_cast<CyCompiledInstruction*>(PyList_GET_ITEM(list, i));
        const int opcode = ins->handler == bound.entries[ins->opcode] ? ins->opcode : 0;
        const Native& nat = kTable.ops[opcode];
        ops_of(b)[i] = Op{labels[nat.index], ins->vx, ins->vy, pc, ins->ra, ins->rb, ins->rd,
                          static_cast<uint8_t>(opcode)};
        // An ecalli keeps the gas of the ops after it, given back when the
        // run stops at the call (its vy is not an operand).
        if (nat.index == kTable.ops[kEcalliOpcode].index)
            ops_of(b)[i].vy = static_cast<uint64_t>(n - 1 - i) * kBuiltinGas;
        if (i == n - 1) {
            b->exits[0] = ins->next_pc;
            const Op* before = i > 0 ? &ops_of(b)[i - 1] : nullptr;
            b->flow = engine::flow_of(opcode, ins->ra, ins->vx, before ? before->opcode : -1, before ? before->ra : 0);
            if (nat.target != Target::none) {
                // The program never changes, so whether a taken branch lands
                // on a block start is decided once, by the program's own rule.
                const auto t = static_cast<uint32_t>(nat.target == Target::vx ? ins->vx : ins->vy);
                program->vtab->branch(program, static_cast<int32_t>(pc), static_cast<int32_t>(t), 1);
                if (PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(bound.exit_type)) {
                        PyMem_Free(b);
                        return nullptr;
                    }
                    PyErr_Clear();
                } else {
                    b->exits[1] = t;
                    b->target_ok = true;
                }
            }
        }
        pc = ins->next_pc;
    }
    for (int w = 0; w < 4; ++w) cache->used[w] |= used[w];
    ++cache->built;
    return b;
}

// The native block at `pc` in the plain or the profiling form, built on
// first use; nullptr with an exception.
Block* block_for(Cache* cache, bool profiling, const engine::Driver& driver, CyProgram* program, uint32_t pc) {
    Forms& forms = cache->forms[profiling];
    const void* const* labels = bound.labels[profiling];
    if (pc >= forms.blocks.size()) {
        // Only a run can start out there, past the code, where the general
        // path compiles traps: it runs there.
        for (Block* b : forms.far)
            if (b->start == pc) return b;
        Block* b = handover_block(labels, pc);
        if (b != nullptr) forms.far.push_back(b);
        return b;
    }
    if (forms.blocks[pc] != nullptr) return forms.blocks[pc];
    CyBlockInfo* gb = driver.block_at(driver.interpreter, pc);
    if (gb == nullptr) return nullptr;
    // Compiling may have run Python code, and another thread's run may have
    // built the block meanwhile: the first one stays (links may lead to it).
    if (forms.blocks[pc] != nullptr) return forms.blocks[pc];
    Block* b = build_block(cache, labels, gb, pc, program);
    if (b == nullptr) return nullptr;
    forms.blocks[pc] = b;
    return b;
}

}  // namespace

// ----- the interface ----------------------------------------------------------------

int init(const Setup& setup) {
    bound.program_type = setup.program_type;
    bound.memory_type = setup.memory_type;
    bound.compiled_type = setup.compiled_type;
    bound.entries = setup.entries;
    bound.exit_type = setup.exit_type;
    if (bind_variable(kOpTableModule, kEntryChangesName, &bound.entry_changes, kEntryChangesSig) < 0 ||
        bind_function(kMemoryModule, "_direct_load", &bound.load, kDirectLoadSig) < 0 ||
        bind_function(kMemoryModule, "_direct_store", &bound.store, kDirectStoreSig) < 0 ||
        bind_function(kMemoryModule, "_page_map", &bound.page_map, kPageMapSig) < 0)
        return -1;
    execute<false>(nullptr, nullptr, nullptr);  // fill bound.labels
    execute<true>(nullptr, nullptr, nullptr);
    return 0;
}

Cache* new_cache(const CyProgram* program) {
    auto* cache = new (std::nothrow) Cache();
    if (cache == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    const size_t slots = static_cast<size_t>(program->zeta_len > 0 ? program->zeta_len : 0) + 1;
    const size_t jumps = program->_jump_entries != nullptr && program->jump_table_len > 0
                             ? static_cast<size_t>(program->jump_table_len)
                             : 0;
    cache->slots = slots;
    cache->jump_count = jumps;
    cache->forms[0].blocks.resize(slots, nullptr);
    cache->forms[0].jumps.resize(jumps, nullptr);
    cache->entries_seen = *bound.entry_changes;
    return cache;
}

void free_cache(Cache* cache) {
    if (cache == nullptr) return;
    for (Forms& forms : cache->forms) {
        for (Block* b : forms.blocks) PyMem_Free(b);
        for (Block* b : forms.far) PyMem_Free(b);
    }
    delete cache;
}

void expose(Cache* cache) { __atomic_store_n(&cache->exposed, true, __ATOMIC_RELAXED); }

bool exposed(const Cache* cache) { return cache->exposed; }

Py_ssize_t native_blocks(const Cache* cache) { return cache->built; }

bool eligible(Cache* cache, PyObject* program, PyObject* memory) {
    return enabled && cache != nullptr && !cache->exposed && Py_IS_TYPE(memory, bound.memory_type) &&
           Py_IS_TYPE(program, bound.program_type) && entries_current(cache);
}

engine::Outcome run(Cache* cache, const engine::Driver& driver, const engine::Request& request) {
    return request.profiler != nullptr ? execute<true>(cache, &driver, &request)
                                       : execute<false>(cache, &driver, &request);
}

}  // namespace pvm::native_loop
