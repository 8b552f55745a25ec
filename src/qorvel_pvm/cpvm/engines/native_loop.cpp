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

#include "native_blocks.hpp"
#include "native_support.hpp"
#include "profiler.hpp"
#include "run_lock.hpp"

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

namespace {

using engine::End;
using engine::HostCall;
using engine::Outcome;
using namespace engine::blocks;
using engine::native::bound;

constexpr uint32_t kOffsetMask = kPageSize - 1;
// The loop charges blocks from a window of at most this much gas and makes
// its periodic check each time the window runs out: one comparison per block
// serves both the gas check and the count to the next periodic check.
constexpr uint64_t kCheckGas = 1 << 14;


// The code of each kind of op, from `execute<false>` and `<true>`.
const void* const* labels_of[2] = {};

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


// ----- the loop -------------------------------------------------------------------

inline bool entries_current(Cache* cache);
Block* block_for(Cache* cache, bool profiling, const engine::Driver& driver, CyProgram* program, uint32_t pc);

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
        labels_of[Profiling] = labels;
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
    // The interpreter lock (run_lock.hpp).  Other threads may run the same
    // interpreter while this run goes on without it: links between blocks
    // and the jump table are read and written atomically, and everything
    // else they change (new blocks, the entries, exposure) is looked at only
    // under the lock.
    engine::RunLock lock(mem, *driver);
    uint64_t entries_at = 0;  // *entry_changes at the last check

#define REG(i) regs[i]
#define DISPATCH() goto* op->code
#define LOCK() lock.take()
#define UNLOCK() lock.give()
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
    engine::native::call_group(program, regs, mem, op);                 \
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
    if (nb == nullptr) {
        jump_address = owner->exits[which];
        goto no_block;
    }
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
    if (nb == nullptr) {
        jump_address = target;
        goto no_block;
    }
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
    // Without the lock, the check is made only when something asks for it.
    if (lock.released() && !lock.check_due(__atomic_load_n(&cache->exposed, __ATOMIC_RELAXED) ||
                                           __atomic_load_n(bound.entry_changes, __ATOMIC_RELAXED) != entries_at))
        goto new_window;
    if (!lock.check()) {
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
    if (request->tier_up) {
        // A long run: the block compiler takes it from this block, uncharged.
        out.end = End::tier_up;
        out.pc = nb->start;
        window = total;
        reserve = 0;
        goto done;
    }
    lock.checked();
    UNLOCK();
new_window:
    window = total < kCheckGas + nb->gas ? total : kCheckGas + nb->gas;
    reserve = total - window;
    window -= nb->gas;
    PROFILE_ENTER();
    op = ops_of(nb);
    DISPATCH();

ecalli: {
    lock.take_for_host();
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
    engine::native::call_group(program, regs, mem, op);
    map = bound.page_map(mem), reads = map->read, writes = map->write;
    if (PyErr_Occurred()) goto raised;
    RESUME();

group_access:
    // A store whose lookups may run Python code: the access is made once,
    // by the group's own handler, as on the general path.  That code may
    // have exposed the interpreter's blocks or changed table entries: the
    // rest of the run then goes to the general path.
    engine::native::call_group(program, regs, mem, op);
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
    out.end = engine::native::from_exception(mem, op->opcode, &out.fault);
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

no_block:
    // Looking the next block up failed.  Compiling it may run Python code
    // (a collection, a group's Python decoder), and so signal handlers:
    // after Ctrl-C the run resumes from that block, not yet charged.
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        out.interrupted = true;
        out.pc = jump_address;
        goto failed_here;
    }
failed:
    out.pc = op != nullptr ? op->pc : request->pc;
failed_here:
    out.end = End::failed;

done:
    lock.finish();
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
    const void* const* labels = labels_of[profiling];
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

int init(const engine::native::Setup& setup) {
    if (engine::native::bind(setup) < 0) return -1;
    execute<false>(nullptr, nullptr, nullptr);  // fill labels_of
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

bool exposed(const Cache* cache) { return __atomic_load_n(&cache->exposed, __ATOMIC_RELAXED); }

const Block* block_at(Cache* cache, const engine::Driver& driver, CyProgram* program, uint32_t pc) {
    return block_for(cache, false, driver, program, pc);
}

bool current(Cache* cache) { return !cache->exposed && entries_current(cache); }

const std::vector<Block*>& plain_blocks(const Cache* cache) { return cache->forms[0].blocks; }

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
