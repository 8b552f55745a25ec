// The driver's native run loop: a second form of each compiled block and the
// loop that runs it.  Included once, by vm_interpreter.cpp inside its own
// namespace and after the driver's block cache: it uses `Interpreter`,
// `block_at`, `opcodes`, `cls` and `exit_type` from there, and the headers
// included there (alu.hpp among them).
//
// A run takes this path only when nothing in it can execute Python code: the
// program and the memory are exactly CyProgram and CyMemory, no trace hook
// (or host handler) is given, the interpreter never handed one of its cached
// blocks to Python code (`compile_block`, a trace hook), and every table
// entry its blocks use still has its built-in gas cost and terminating flag.
// Everything else runs on the general path, `CyBlockInfo.execute` over the
// block's list, unchanged.
//
// The native form of a block is a plain array of `Op`: a handler pointer and
// the operands decoded when the block was compiled, built from the cached
// CyBlockInfo right after it is compiled, so both forms always hold the same
// instructions.  The loop takes no references and makes no Python calls per
// instruction.  Each handler returns the next op, or NULL when the block ends
// (the next pc in `Ctx::next_pc`) or the guest exits (`Ctx::status`).
//
// Handlers compute with the shared arithmetic rules (alu.hpp); loads and
// stores go straight to the memory's page buffers through vm_memory's direct
// access functions, with the same permission checks and page creation as
// `read` and `write`.  Instructions whose handler only computes on registers
// and has no native op here run the group's own handler function, which is
// a plain C function.  Exits follow the run rules: a block is charged its
// whole gas when it starts and an exit inside it gives nothing back; the pc
// reported is the exiting instruction's; a refused access reports the start
// address of the first page of the access that lacks the permission.
//
// The loop checks for signals every few thousand blocks and, at the same
// point, lets other Python threads run.  Since those threads may change the
// interpreter or the table entries meanwhile, the conditions above are
// checked again before the loop goes on; when they no longer hold, the run
// continues on the general path from the same state.
#pragma once

namespace fast {

using namespace pvm;

constexpr uint8_t kRunning = kContinue;
constexpr uint8_t kHostExit = kHostCall;  // an ecalli without a host handler
constexpr uint8_t kFailed = 254;   // an exception is set
constexpr uint32_t kHaltAddress = 0xFFFF0000u;

// How a fast run ended; turned into the run's result by the driver.
struct Exit {
    uint8_t status;      // kHalt, kPanic, kPageFault, kOutOfGas, kHostExit or kFailed
    uint32_t pc;         // where the run stopped (the exiting instruction, the
                         // unaffordable block, or the instruction after an ecalli)
    uint64_t gas;        // gas left
    uint32_t fault;      // page fault: start address of the refused page
    uint32_t host_index; // host exit: the call index
    bool interrupted;    // kFailed: a signal handler raised at the periodic check
};

struct Op;

// A page buffer the loads and stores of this run may use directly.
struct PageSlot {
    uint32_t page;  // kNoPage: empty
    uint8_t* buf;
};
constexpr uint32_t kNoPage = 0xFFFFFFFFu;
constexpr unsigned kPageSlots = 16;

// The state a block runs on.
struct Ctx {
    uint64_t* regs;
    CyProgram* program;
    CyMemory* memory;
    uint32_t next_pc = 0;
    uint8_t status = kRunning;
    uint32_t exit_pc = 0;
    uint32_t fault = 0;
    uint32_t host_index = 0;
    uint32_t gas_back = 0;
    // The run's page table: buffers of pages that were accessed, valid for
    // the memory's buffer registry and page store version they were found
    // in.  Permissions are not cached: every access tests the bits.
    PageSlot pages[kPageSlots] = {};
    void* pages_owner = nullptr;
    PyObject* pages_store = nullptr;
    uint64_t pages_version = 0;
};

using OpFn = const Op* (*)(Ctx* c, const Op* op);

struct Op {
    OpFn fn;
    uint64_t vx;
    uint64_t vy;
    instr_fn_t handler;  // the group's own handler of this instruction
    uint32_t pc;
    uint32_t next_pc;
    uint32_t aux;        // branch target, or the gas an ecalli gives back
    uint8_t ra, rb, rd;
    uint8_t target_ok;   // a taken branch to `aux` lands on a block start
};

struct Block {
    uint32_t gas;
    uint32_t count;
    Op* ops;  // `count` ops, allocated with the block
};

// A cache slot whose block has no native form: the general path runs it.
inline Block general_only{0, 0, nullptr};

// Functions of vm_memory, bound at import.
inline direct_load_fn* direct_load = nullptr;
inline direct_store_fn* direct_store = nullptr;
inline direct_buffer_fn* direct_buffer = nullptr;

// Switched off from the tests to run the general path with plain inputs.
inline bool enabled = true;

// ----- exits and control transfer ------------------------------------------------

inline const Op* leave(Ctx* c, const Op* op, uint8_t status) {
    c->status = status;
    c->exit_pc = op->pc;
    return nullptr;
}

inline const Op* go(Ctx* c, uint32_t pc) {
    c->next_pc = pc;
    return nullptr;
}

// An exception left by a group handler or the program: a PvmExit with a halt
// or panic code becomes that exit at this instruction; anything else fails
// the run, with the traceback entry the block loop adds on the general path.
inline const Op* from_exception(Ctx* c, const Op* op) {
    if (PyErr_ExceptionMatches(exit_type)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
        long code = -1;
        if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) >= 1 && PyLong_Check(PyTuple_GET_ITEM(args, 0)))
            code = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
        if (code == kHalt || code == kPanic) {
            Py_DECREF(exc);
            return leave(c, op, static_cast<uint8_t>(code));
        }
        PyErr_SetRaisedException(exc);
    }
    add_traceback("qorvel_pvm.cpvm.vm_block.CyBlockInfo.execute", __FILE__, __LINE__);
    c->status = kFailed;
    return nullptr;
}

inline const Op* branch(Ctx* c, const Op* op, bool taken) {
    if (!taken) return go(c, op->next_pc);
    if (!op->target_ok) [[unlikely]]
        return leave(c, op, kPanic);
    return go(c, op->aux);
}

// A dynamic jump through the program's jump table; the halt address is
// tested first, as the program does, so that a halt raises nothing.
inline const Op* djump(Ctx* c, const Op* op, uint32_t address) {
    if (address == kHaltAddress) return leave(c, op, kHalt);
    const uint32_t r = c->program->vtab->djump(c->program, op->pc, address);
    if (PyErr_Occurred()) [[unlikely]]
        return from_exception(c, op);
    return go(c, r);
}

// ----- handlers ----------------------------------------------------------------------

inline const Op* op_trap(Ctx* c, const Op* op) { return leave(c, op, kPanic); }
inline const Op* op_fallthrough(Ctx* c, const Op* op) { return go(c, op->next_pc); }

// The group's own handler, for instructions that only compute on registers.
inline const Op* op_group(Ctx* c, const Op* op) {
    op->handler(c->program, c->regs, c->memory, op->pc, op->vx, op->vy, op->ra, op->rb, op->rd);
    return op + 1;
}

// The same for a handler that may raise (sbrk).
inline const Op* op_group_checked(Ctx* c, const Op* op) {
    op->handler(c->program, c->regs, c->memory, op->pc, op->vx, op->vy, op->ra, op->rb, op->rd);
    if (PyErr_Occurred()) [[unlikely]]
        return from_exception(c, op);
    return op + 1;
}

// rb op immediate -> ra (the two-register-one-immediate arithmetic).
template <alu::Rule R>
const Op* op_reg_imm(Ctx* c, const Op* op) {
    c->regs[op->ra] = R(c->regs[op->rb], op->vx);
    return op + 1;
}

template <bool IfZero>
const Op* op_cmov_imm(Ctx* c, const Op* op) {
    if ((c->regs[op->rb] == 0) == IfZero) c->regs[op->ra] = op->vx;
    return op + 1;
}

// ra op rb -> rd (the three-register arithmetic).
template <alu::Rule R>
const Op* op_three(Ctx* c, const Op* op) {
    c->regs[op->rd] = R(c->regs[op->ra], c->regs[op->rb]);
    return op + 1;
}

// rd = ra when rb is zero (IfZero) or non-zero; otherwise rd is not written.
template <bool IfZero>
const Op* op_cmov(Ctx* c, const Op* op) {
    if ((c->regs[op->rb] == 0) == IfZero) c->regs[op->rd] = c->regs[op->ra];
    return op + 1;
}

// An immediate into ra (load_imm, load_imm_64).
inline const Op* op_load_imm(Ctx* c, const Op* op) {
    c->regs[op->ra] = op->vx;
    return op + 1;
}

// A host call without a host handler: the run stops after the ecalli and
// gives back the gas of the block's instructions after it.
inline const Op* op_ecalli(Ctx* c, const Op* op) {
    c->status = kHostExit;
    c->exit_pc = op->next_pc;
    c->host_index = static_cast<uint32_t>(op->vx);
    c->gas_back = op->aux;
    return nullptr;
}

// Branch conditions: the comparison rules, and "at most" as "not above".
using Cond = alu::Rule;
template <Cond C>
constexpr uint64_t negated(uint64_t a, uint64_t b) {
    return !C(a, b);
}

// Register against immediate; the target was decoded into vy.
template <Cond C>
const Op* op_branch_imm(Ctx* c, const Op* op) {
    return branch(c, op, C(c->regs[op->ra], op->vx));
}

// Register against register; the target was decoded into vx.
template <Cond C>
const Op* op_branch_regs(Ctx* c, const Op* op) {
    return branch(c, op, C(c->regs[op->ra], c->regs[op->rb]));
}

inline const Op* op_jump(Ctx* c, const Op* op) { return branch(c, op, true); }

inline const Op* op_load_imm_jump(Ctx* c, const Op* op) {
    c->regs[op->ra] = op->vx;
    return branch(c, op, true);
}

inline const Op* op_load_imm_jump_ind(Ctx* c, const Op* op) {
    const uint64_t base = c->regs[op->rb];
    c->regs[op->ra] = op->vx;
    return djump(c, op, static_cast<uint32_t>(base + op->vy));
}

inline const Op* op_jump_ind(Ctx* c, const Op* op) {
    return djump(c, op, static_cast<uint32_t>(c->regs[op->ra] + op->vx));
}

// ----- loads and stores ------------------------------------------------------------
//
// An access within one page whose buffer is in the run's page table, and
// which the permission bits allow, moves its bytes directly.  Anything else
// (the first access to a page, a page without a buffer, an access across
// two pages, a refused access) goes through vm_memory's direct load or
// store, which applies every rule, and then records the page.
//
// The table needs no check per access beyond the permission bits: within a
// block no Python code runs, and buffers are only released, and the page
// store only changed, by Python code.  The only calls that could run any
// (a page store lookup, through a key's __eq__) are the calls into vm_memory
// on the slow path; after each, the table is kept only if the buffer
// registry, the page store and its version are still those it was filled
// from.  Creating a page changes the version, which empties the table once.

inline uint64_t store_version(PyObject* store) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(store)->ma_version_tag;
#pragma GCC diagnostic pop
}

inline void pages_reset(Ctx* c) {
    for (PageSlot& p : c->pages) p = PageSlot{kNoPage, nullptr};
    CyMemory* m = c->memory;
    c->pages_owner = m->_owned;
    c->pages_store = PyDict_CheckExact(m->_pages) ? m->_pages : nullptr;
    c->pages_version = c->pages_store != nullptr ? store_version(c->pages_store) : 0;
}

// Empties the table unless the memory's buffers and page store are those it
// was filled from.
inline void pages_revalidate(Ctx* c) {
    CyMemory* m = c->memory;
    if (m->_owned != c->pages_owner || m->_pages != c->pages_store || c->pages_store == nullptr ||
        store_version(c->pages_store) != c->pages_version)
        pages_reset(c);
}

// Records the buffer of `page` after a slow access succeeded.
inline void pages_record(Ctx* c, uint32_t page) {
    uint8_t* buf = direct_buffer(c->memory, page);
    if (buf == nullptr) PyErr_Clear();  // no buffer yet: nothing to record
    pages_revalidate(c);
    if (buf != nullptr && c->pages_store != nullptr) c->pages[page % kPageSlots] = PageSlot{page, buf};
}

inline bool has_access(const CyMemory* m, uint32_t page, bool write) {
    uint64_t word = m->_w_bitset[page >> 6];
    if (!write) word |= m->_r_bitset[page >> 6];
    return (word >> (page & 63)) & 1;
}

// The buffer to access `Bytes` bytes at `address` directly, or NULL.
template <unsigned Bytes, bool Write>
inline uint8_t* direct_bytes(const Ctx* c, uint32_t address) {
    const uint32_t page = address >> kPageShift;
    const uint32_t off = address & (kPageSize - 1);
    const PageSlot& slot = c->pages[page % kPageSlots];
    if (slot.page != page || off > kPageSize - Bytes || !has_access(c->memory, page, Write)) return nullptr;
    return slot.buf + off;
}

using AddressFn = uint32_t (*)(const Ctx*, const Op*);
using ValueFn = uint64_t (*)(const Ctx*, const Op*);

// registers[rb] + vx, on the low 32 bits of each.
inline uint32_t at_rb_vx(const Ctx* c, const Op* op) {
    return static_cast<uint32_t>(c->regs[op->rb]) + static_cast<uint32_t>(op->vx);
}
inline uint64_t value_ra(const Ctx* c, const Op* op) { return c->regs[op->ra]; }
// vx as an address; registers[ra] + vx.
inline uint32_t at_vx(const Ctx*, const Op* op) { return static_cast<uint32_t>(op->vx); }
inline uint32_t at_ra_vx(const Ctx* c, const Op* op) { return static_cast<uint32_t>(c->regs[op->ra] + op->vx); }
inline uint64_t value_vy(const Ctx*, const Op* op) { return op->vy; }

// A refused or failed access: a page fault exits; a failure of the page
// store itself is left to the group's handler, which raises exactly what
// the general path raises (or completes the access if it now can).
inline const Op* access_refused(Ctx* c, const Op* op, int rc, uint32_t fault) {
    if (rc > 0) {
        c->fault = fault;
        return leave(c, op, kPageFault);
    }
    PyErr_Clear();
    const Op* next = op_group_checked(c, op);
    pages_revalidate(c);
    return next;
}

template <unsigned Bytes, bool Signed>
[[gnu::noinline]] const Op* load_slow(Ctx* c, const Op* op, uint32_t address) {
    uint64_t v;
    uint32_t fault;
    const int rc = direct_load(c->memory, address, Bytes, &v, &fault);
    if (rc != 0) return access_refused(c, op, rc, fault);
    c->regs[op->ra] = Signed ? alu::widen_signed<Bytes>(static_cast<alu::U<Bytes>>(v)) : v;
    pages_record(c, address >> kPageShift);
    return op + 1;
}

template <unsigned Bytes>
[[gnu::noinline]] const Op* store_slow(Ctx* c, const Op* op, uint32_t address, uint64_t value) {
    uint32_t fault;
    const int rc = direct_store(c->memory, address, Bytes, value, &fault);
    if (rc != 0) return access_refused(c, op, rc, fault);
    pages_record(c, address >> kPageShift);
    return op + 1;
}

template <unsigned Bytes, bool Signed, AddressFn A>
const Op* op_load(Ctx* c, const Op* op) {
    const uint32_t address = A(c, op);
    const uint8_t* p = direct_bytes<Bytes, false>(c, address);
    if (p == nullptr) [[unlikely]]
        return load_slow<Bytes, Signed>(c, op, address);
    alu::U<Bytes> v;
    std::memcpy(&v, p, Bytes);
    v = alu::to_little(v);
    c->regs[op->ra] = Signed ? alu::widen_signed<Bytes>(v) : static_cast<uint64_t>(v);
    return op + 1;
}

template <unsigned Bytes, AddressFn A, ValueFn V>
const Op* op_store(Ctx* c, const Op* op) {
    const uint32_t address = A(c, op);
    const uint64_t value = V(c, op);
    uint8_t* p = direct_bytes<Bytes, true>(c, address);
    if (p == nullptr) [[unlikely]]
        return store_slow<Bytes>(c, op, address, value);
    const alu::U<Bytes> v = alu::to_little(static_cast<alu::U<Bytes>>(value));
    std::memcpy(p, &v, Bytes);
    return op + 1;
}

// ----- the opcode table ---------------------------------------------------------------

// Where a block-ending instruction's branch target was decoded.
enum class Target : uint8_t { none, vx, vy };

struct Native {
    OpFn fn = nullptr;       // nullptr: no native op, the block runs on the general path
    bool terminating = false;
    Target target = Target::none;
};

struct NativeTable {
    Native ops[256];
};

constexpr NativeTable build_table() {
    NativeTable t{};
    auto set = [&t](int op, OpFn fn, bool terminating = false, Target target = Target::none) {
        t.ops[op] = Native{fn, terminating, target};
    };
    using namespace alu;
    set(0, op_trap, true);
    set(1, op_fallthrough, true);
    set(10, op_ecalli);
    set(20, op_load_imm);
    // Stores of an immediate at an immediate address.
    set(30, op_store<1, at_vx, value_vy>);
    set(31, op_store<2, at_vx, value_vy>);
    set(32, op_store<4, at_vx, value_vy>);
    set(33, op_store<8, at_vx, value_vy>);
    set(40, op_jump, true, Target::vx);
    set(50, op_jump_ind, true);
    set(51, op_load_imm);
    // Loads and stores at an immediate address.
    set(52, op_load<1, false, at_vx>);
    set(53, op_load<1, true, at_vx>);
    set(54, op_load<2, false, at_vx>);
    set(55, op_load<2, true, at_vx>);
    set(56, op_load<4, false, at_vx>);
    set(57, op_load<4, true, at_vx>);
    set(58, op_load<8, false, at_vx>);
    set(59, op_store<1, at_vx, value_ra>);
    set(60, op_store<2, at_vx, value_ra>);
    set(61, op_store<4, at_vx, value_ra>);
    set(62, op_store<8, at_vx, value_ra>);
    // Stores of an immediate through a register.
    set(70, op_store<1, at_ra_vx, value_vy>);
    set(71, op_store<2, at_ra_vx, value_vy>);
    set(72, op_store<4, at_ra_vx, value_vy>);
    set(73, op_store<8, at_ra_vx, value_vy>);
    set(80, op_load_imm_jump, true, Target::vy);
    set(81, op_branch_imm<eq>, true, Target::vy);
    set(82, op_branch_imm<ne>, true, Target::vy);
    set(83, op_branch_imm<lt_u>, true, Target::vy);
    set(84, op_branch_imm<negated<gt_u>>, true, Target::vy);
    set(85, op_branch_imm<ge_u>, true, Target::vy);
    set(86, op_branch_imm<gt_u>, true, Target::vy);
    set(87, op_branch_imm<lt_s>, true, Target::vy);
    set(88, op_branch_imm<negated<gt_s>>, true, Target::vy);
    set(89, op_branch_imm<ge_s>, true, Target::vy);
    set(90, op_branch_imm<gt_s>, true, Target::vy);
    // Two registers: moves, bit counts, extensions, byte reversal; sbrk may raise.
    for (int op = 100; op <= 111; ++op) set(op, op_group);
    set(101, op_group_checked);
    // Register-indirect loads and stores.
    set(120, op_store<1, at_rb_vx, value_ra>);
    set(121, op_store<2, at_rb_vx, value_ra>);
    set(122, op_store<4, at_rb_vx, value_ra>);
    set(123, op_store<8, at_rb_vx, value_ra>);
    set(124, op_load<1, false, at_rb_vx>);
    set(125, op_load<1, true, at_rb_vx>);
    set(126, op_load<2, false, at_rb_vx>);
    set(127, op_load<2, true, at_rb_vx>);
    set(128, op_load<4, false, at_rb_vx>);
    set(129, op_load<4, true, at_rb_vx>);
    set(130, op_load<8, false, at_rb_vx>);
    // Register-immediate arithmetic.
    set(131, op_reg_imm<add<4>>);
    set(132, op_reg_imm<bit_and>);
    set(133, op_reg_imm<bit_xor>);
    set(134, op_reg_imm<bit_or>);
    set(135, op_reg_imm<mul<4>>);
    set(136, op_reg_imm<alu::lt_u>);
    set(137, op_reg_imm<alu::lt_s>);
    set(138, op_reg_imm<shl<4>>);
    set(139, op_reg_imm<shr<4>>);
    set(140, op_reg_imm<sar<4>>);
    set(141, op_reg_imm<neg_add<4>>);
    set(142, op_reg_imm<alu::gt_u>);
    set(143, op_reg_imm<alu::gt_s>);
    set(144, op_reg_imm<swapped<shl<4>>>);
    set(145, op_reg_imm<swapped<shr<4>>>);
    set(146, op_reg_imm<swapped<sar<4>>>);
    set(147, op_cmov_imm<true>);
    set(148, op_cmov_imm<false>);
    set(149, op_reg_imm<add<8>>);
    set(150, op_reg_imm<mul<8>>);
    set(151, op_reg_imm<shl<8>>);
    set(152, op_reg_imm<shr<8>>);
    set(153, op_reg_imm<sar<8>>);
    set(154, op_reg_imm<neg_add<8>>);
    set(155, op_reg_imm<swapped<shl<8>>>);
    set(156, op_reg_imm<swapped<shr<8>>>);
    set(157, op_reg_imm<swapped<sar<8>>>);
    set(158, op_reg_imm<rot_r<8>>);
    set(159, op_reg_imm<swapped<rot_r<8>>>);
    set(160, op_reg_imm<rot_r<4>>);
    set(161, op_reg_imm<swapped<rot_r<4>>>);
    // Two registers and an offset.
    set(170, op_branch_regs<eq>, true, Target::vx);
    set(171, op_branch_regs<ne>, true, Target::vx);
    set(172, op_branch_regs<lt_u>, true, Target::vx);
    set(173, op_branch_regs<lt_s>, true, Target::vx);
    set(174, op_branch_regs<ge_u>, true, Target::vx);
    set(175, op_branch_regs<ge_s>, true, Target::vx);
    set(180, op_load_imm_jump_ind, true);
    // Three registers.
    set(190, op_three<add<4>>);
    set(191, op_three<sub<4>>);
    set(192, op_three<mul<4>>);
    set(193, op_three<div_u<4>>);
    set(194, op_three<div_s<4>>);
    set(195, op_three<rem_u<4>>);
    set(196, op_three<rem_s<4>>);
    set(197, op_three<shl<4>>);
    set(198, op_three<shr<4>>);
    set(199, op_three<sar<4>>);
    set(200, op_three<add<8>>);
    set(201, op_three<sub<8>>);
    set(202, op_three<mul<8>>);
    set(203, op_three<div_u<8>>);
    set(204, op_three<div_s<8>>);
    set(205, op_three<rem_u<8>>);
    set(206, op_three<rem_s<8>>);
    set(207, op_three<shl<8>>);
    set(208, op_three<shr<8>>);
    set(209, op_three<sar<8>>);
    set(210, op_three<bit_and>);
    set(211, op_three<bit_xor>);
    set(212, op_three<bit_or>);
    set(213, op_three<mul_upper_s_s>);
    set(214, op_three<mul_upper_u_u>);
    set(215, op_three<mul_upper_s_u>);
    set(216, op_three<alu::lt_u>);
    set(217, op_three<alu::lt_s>);
    set(218, op_cmov<true>);
    set(219, op_cmov<false>);
    set(220, op_three<rot_l<8>>);
    set(221, op_three<rot_l<4>>);
    set(222, op_three<rot_r<8>>);
    set(223, op_three<rot_r<4>>);
    set(224, op_three<and_inv>);
    set(225, op_three<or_inv>);
    set(226, op_three<xnor>);
    set(227, op_three<max_s>);
    set(228, op_three<max_u>);
    set(229, op_three<min_s>);
    set(230, op_three<min_u>);
    return t;
}

inline constexpr NativeTable kTable = build_table();

// Gas every built-in entry costs.
constexpr uint32_t kBuiltinGas = 1;

// ----- the per-interpreter cache of native blocks ------------------------------------------

struct Cache {
    std::vector<Block*> blocks;  // by start pc, like the driver's own cache; nullptr: not built yet
    uint64_t used[4] = {};       // opcodes whose entries the native blocks rely on
    bool exposed = false;        // a cached CyBlockInfo reached Python code
    Py_ssize_t built = 0;        // native blocks built
};

inline void free_cache(Cache* cache) {
    if (cache == nullptr) return;
    for (Block* b : cache->blocks)
        if (b != nullptr && b != &general_only) PyMem_Free(b);
    delete cache;
}

// An entry of the driver's table still as its group built it: a handler, the
// gas cost of every instruction and its terminating flag.
inline bool entry_builtin(int opcode) {
    const auto* e = reinterpret_cast<const CyTableEntry*>(opcodes[opcode].entry);
    return e != nullptr && e->fn != nullptr && e->gas_cost == kBuiltinGas &&
           (e->is_terminating != 0) == kTable.ops[opcode].terminating;
}

inline bool entries_intact(const Cache* cache) {
    for (int w = 0; w < 4; ++w) {
        for (uint64_t bits = cache->used[w]; bits != 0; bits &= bits - 1) {
            if (!entry_builtin(w * 64 + __builtin_ctzll(bits))) return false;
        }
    }
    return true;
}

// The native form of `gb`, the cached CyBlockInfo starting at `start`, or
// &general_only when one of its instructions has no native op or an entry
// that is not as built; nullptr with an exception.
inline Block* build_block(Cache* cache, CyBlockInfo* gb, uint32_t start, CyProgram* program) {
    PyObject* list = gb->instructions;
    if (list == nullptr || !PyList_CheckExact(list)) return &general_only;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n <= 0 || static_cast<uint64_t>(gb->total_gas) != static_cast<uint64_t>(n) * kBuiltinGas)
        return &general_only;
    uint64_t used[4] = {};
    // Checked first, so that nothing is allocated for a block that cannot run natively.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (Py_TYPE(item) != cls.compiled) return &general_only;
        auto* ins = reinterpret_cast<CyCompiledInstruction*>(item);
        int opcode = ins->opcode;
        if (opcode < 0 || opcode > 255) return &general_only;
        // An undefined opcode or a position inside an instruction compiles to the trap entry.
        if (ins->handler != opcodes[opcode].entry) opcode = 0;
        if (ins->handler != opcodes[opcode].entry || kTable.ops[opcode].fn == nullptr || !entry_builtin(opcode))
            return &general_only;
        if (kTable.ops[opcode].terminating != (i == n - 1)) return &general_only;
        used[opcode >> 6] |= uint64_t{1} << (opcode & 63);
    }
    auto* b = static_cast<Block*>(PyMem_Malloc(sizeof(Block) + static_cast<size_t>(n) * sizeof(Op)));
    if (b == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    b->gas = gb->total_gas;
    b->count = static_cast<uint32_t>(n);
    b->ops = reinterpret_cast<Op*>(b + 1);
    uint32_t pc = start;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto* ins = reinterpret_cast<CyCompiledInstruction*>(PyList_GET_ITEM(list, i));
        const int opcode = ins->handler == opcodes[ins->opcode].entry ? ins->opcode : 0;
        const Native& nat = kTable.ops[opcode];
        Op& op = b->ops[i];
        op.fn = nat.fn;
        op.vx = ins->vx;
        op.vy = ins->vy;
        op.handler = reinterpret_cast<CyTableEntry*>(ins->handler)->fn;
        op.pc = pc;
        op.next_pc = ins->next_pc;
        op.ra = ins->ra;
        op.rb = ins->rb;
        op.rd = ins->rd;
        op.aux = nat.fn == op_ecalli ? static_cast<uint32_t>(n - 1 - i) * kBuiltinGas : 0;
        op.target_ok = 0;
        if (nat.target != Target::none) {
            // The program never changes, so whether a taken branch lands on
            // a block start is decided once, by the program's own rule.
            const uint64_t target = nat.target == Target::vx ? ins->vx : ins->vy;
            const uint32_t t = static_cast<uint32_t>(target);
            const uint32_t r = program->vtab->branch(program, static_cast<int32_t>(pc), static_cast<int32_t>(t), 1);
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(exit_type)) {
                    PyMem_Free(b);
                    return nullptr;
                }
                PyErr_Clear();
            } else {
                op.aux = r;
                op.target_ok = 1;
            }
        }
        pc = ins->next_pc;
    }
    for (int w = 0; w < 4; ++w) cache->used[w] |= used[w];
    ++cache->built;
    return b;
}

// The native block at `pc` (built on first use), &general_only, or nullptr
// with an exception.
inline Block* block_for(Interpreter* self, Cache* cache, uint32_t pc) {
    if (pc >= cache->blocks.size()) return &general_only;
    Block* b = cache->blocks[pc];
    if (b != nullptr) [[likely]]
        return b;
    CyBlockInfo* gb = block_at(self, pc);
    if (gb == nullptr) return nullptr;
    b = build_block(cache, gb, pc, self->program);
    if (b == nullptr) return nullptr;
    cache->blocks[pc] = b;
    return b;
}

// Whether a run may take the native loop at all.
inline bool eligible(const Interpreter* self, const Cache* cache, PyObject* memory, PyObject* trace) {
    return enabled && cache != nullptr && !cache->exposed && trace == Py_None &&
           Py_IS_TYPE(memory, cls.memory) && Py_IS_TYPE(reinterpret_cast<PyObject*>(self->program), cls.program) &&
           entries_intact(cache);
}

enum class Outcome { done, general };

// Runs from *pc with *gas.  `done`: the run ended, `*exit` says how (with
// kFailed an exception is set).  `general`: the run must go on on the
// general path from *pc and *gas (a block without a native form, or the
// conditions changed while other threads ran).
inline Outcome run(Interpreter* self, Cache* cache, uint64_t* regs, CyMemory* memory, uint32_t* pc_io,
                   uint64_t* gas_io, uint32_t check_every, Exit* exit) {
    Ctx c{regs, self->program, memory};
    pages_reset(&c);
    uint32_t pc = *pc_io;
    uint64_t gas = *gas_io;
    uint32_t until_check = check_every;
    Outcome outcome = Outcome::done;
    bool interrupted = false;
    for (;;) {
        if (--until_check == 0) [[unlikely]] {
            until_check = check_every;
            // Other threads run here; they may change anything a run relies on.
            if (!let_others_run()) {
                c.status = kFailed;
                interrupted = true;
                break;
            }
            if (cache->exposed || !entries_intact(cache)) {
                outcome = Outcome::general;
                break;
            }
            pages_reset(&c);
        }
        Block* b = block_for(self, cache, pc);
        if (b == nullptr) [[unlikely]] {
            c.status = kFailed;
            break;
        }
        if (b == &general_only) [[unlikely]] {
            outcome = Outcome::general;
            break;
        }
        if (gas < b->gas) {
            c.status = kOutOfGas;
            c.exit_pc = pc;
            break;
        }
        gas -= b->gas;
        const Op* op = b->ops;
        do {
            op = op->fn(&c, op);
        } while (op != nullptr);
        if (c.status != kRunning) [[unlikely]] {
            if (c.status == kHostExit) gas += c.gas_back;
            break;
        }
        pc = c.next_pc;
    }
    *pc_io = pc;
    *gas_io = gas;
    exit->status = c.status;
    exit->pc = c.exit_pc;
    exit->gas = gas;
    exit->fault = c.fault;
    exit->host_index = c.host_index;
    exit->interrupted = interrupted;
    return outcome;
}

}  // namespace fast
