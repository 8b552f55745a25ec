// The block compiler (see jit.hpp for what it promises the driver).
//
// Generated code.  All blocks of a program share one register assignment:
// rbx, rbp, r12, rsi, rdi, r8, r9, r10 and r11 hold guest registers 1 to 9,
// guest registers 0, 10, 11 and 12 stay in the run's register array, which
// r15 points at; r14 points at the memory's page map (the read entries, the
// write entries right after them), r13 holds the gas window and rax, rcx
// and rdx are scratch.  A block starts by charging its gas from the window
// (`sub r13, gas`, leaving to `run` when the window cannot pay); loads and
// stores look their page up in the map, test the offset and access the
// page in place; a block's exits jump to the next block's code directly
// when it existed when the block was compiled, else through an 8-byte slot
// in the code buffer that first leads back to `run` and is then pointed at
// the next block.  Dynamic jumps test the halt address and the jump-table
// index and go through the compiler's jump table (code addresses by index).
//
// Leaving the code.  Code is entered through `enter` (made once per buffer),
// which saves the callee-saved registers, loads the guest registers and
// jumps to the code; every way out goes to `leave`, with rax pointing at an
// `Exit` that says why (and rdx holding an address where one matters),
// which stores the guest registers back and returns to `run`.  `run` then
// does what the native loop does at the same point, with the interpreter
// lock handled the same way (run_lock.hpp), and enters the code again where
// the exit says.
#include "jit.hpp"

#include "code_buffer.hpp"
#include "x64.hpp"

#include "engines/native_blocks.hpp"
#include "engines/native_support.hpp"
#include "engines/run_lock.hpp"
#include "numeric.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace pvm::jit {

bool enabled = true;
size_t code_limit = size_t{64} << 20;

namespace {

using engine::End;
using engine::HostCall;
using engine::Outcome;
using engine::native::bound;
using namespace engine::blocks;
using namespace x64;

constexpr uint64_t kCheckGas = 1 << 14;  // the gas window, as the native loop's
constexpr int32_t kWriteEntries = static_cast<int32_t>(kPageCount * sizeof(uintptr_t));

// The host registers that hold guest registers, given to the guest
// registers a program uses most (the rest stay in the register array).
constexpr Reg kHomes[] = {RBX, RBP, R12, RSI, RDI, R8, R9, R10, R11};

// What `enter` and `leave` share with `run`.
struct Context {
    uint64_t* regs;          // the guest registers (r15)
    const uintptr_t* map;    // the page map's read entries (r14)
    uint64_t window;         // the gas window (r13)
    const struct Exit* exit; // why the code was left
    uint64_t value;          // rdx at the exit: the address of an access or a jump
};
static_assert(offsetof(Context, regs) == 0 && offsetof(Context, map) == 8 && offsetof(Context, window) == 16 &&
              offsetof(Context, exit) == 24 && offsetof(Context, value) == 32);

enum class Why : uint8_t {
    refill,  // the window cannot pay for `block`: the window is as before the charge
    load,    // an access the map cannot serve (value: the address)
    store,
    host,    // an ecalli
    group,   // sbrk: the group's handler
    link,    // exit `which` of `block` leads to a block not linked yet
    djump,   // a jump-table entry used for the first time (value: the jump address)
    halt,
    panic,
};

struct Exit {
    Why why;
    uint8_t which = 0;
    const Block* block = nullptr;
    const Op* op = nullptr;
    const uint8_t* resume = nullptr;  // where the code goes on after the slow path
    const uint8_t** slot = nullptr;   // link: the slot (writable view), nullptr when none
};

using EnterFn = void (*)(Context*, const uint8_t*);

// The translator's working memory, kept from block to block (see below).
struct Scratch;
struct ScratchDelete {
    void operator()(Scratch* s) const;
};

}  // namespace

struct Cache {
    std::unique_ptr<CodeBuffer> code;
    bool full = false;                      // no more code: the buffer is full or could not be made
    EnterFn enter = nullptr;
    const uint8_t* leave = nullptr;
    std::vector<const uint8_t*> entries;    // a block's code by start pc (nullptr: not compiled)
    std::unique_ptr<const uint8_t*[]> jumps;  // code by jump-table index, read by the code
    uint32_t jump_count = 0;
    std::deque<Exit> exits;                 // stable addresses, named by the code
    std::unique_ptr<Scratch, ScratchDelete> scratch;
    size_t blocks = 0;
    Reg home[13] = {};                      // where each guest register lives (RSP: the register array)
    size_t limit = code_limit;              // the buffer's size, as the limit was when the cache was made
};

namespace {

// ----- the machine --------------------------------------------------------------------

bool cpu_supported() {
#if defined(__x86_64__) && defined(__linux__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_POPCNT)) return false;
    if (!__get_cpuid(0x80000001, &a, &b, &c, &d) || !(c & bit_LZCNT)) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d) || !(b & bit_BMI)) return false;
    return true;
#else
    return false;
#endif
}

// ----- enter and leave ----------------------------------------------------------------

constexpr Reg kSaved[] = {RBX, RBP, R12, R13, R14, R15};

Mem slot_of(uint8_t g) { return at(R15, 8 * g); }

// enter(ctx = rdi, code = rsi) and leave (rax = the exit, rdx = its value).
bool make_gates(Cache* c) {
    const Reg* const home = c->home;
    Asm a;
    for (Reg r : kSaved) a.push(r);
    a.push(RDI);  // the context, at [rsp] while the code runs
    a.movW_rr(RAX, RSI);  // rsi and rdi are guest registers from here on
    a.movW(R15, at(RDI, 0));
    a.movW(R14, at(RDI, 8));
    a.movW(R13, at(RDI, 16));
    for (uint8_t g = 0; g <= kLastRegister; ++g)
        if (home[g] != RSP) a.movW(home[g], slot_of(g));
    a.jmp_reg(RAX);
    a.align(16);
    const size_t leave_at = a.size();
    for (uint8_t g = 0; g <= kLastRegister; ++g)
        if (home[g] != RSP) a.movW(slot_of(g), home[g]);
    a.movW(RCX, at(RSP, 0));
    a.movW(at(RCX, 24), RAX);
    a.movW(at(RCX, 32), RDX);
    a.movW(at(RCX, 16), R13);
    a.pop(RCX);
    for (int i = 5; i >= 0; --i) a.pop(kSaved[i]);
    a.ret();
    uint8_t* dst = c->code->reserve(a.size());
    if (dst == nullptr) return false;
    a.place(c->code->writable(dst), dst);
    c->enter = reinterpret_cast<EnterFn>(reinterpret_cast<uintptr_t>(dst));
    c->leave = dst + leave_at;
    return true;
}

// The guest registers an instruction names (bits 0, 1, 2: ra, rb, rd).
unsigned registers_named(int opcode) {
    if (opcode == 20 || opcode == 50 || opcode == 51 || (opcode >= 52 && opcode <= 62) ||
        (opcode >= 70 && opcode <= 73) || (opcode >= 80 && opcode <= 90))
        return 1;
    if (opcode >= 100 && opcode <= 111) return 5;
    if ((opcode >= 120 && opcode <= 161) || (opcode >= 170 && opcode <= 180)) return 3;
    if (opcode >= 190 && opcode <= 230) return 7;
    return 0;
}

// Gives the host registers to the guest registers the blocks built so far
// (the code a long run starts with) name most often.
void choose_homes(Cache* c, native_loop::Cache* native) {
    uint64_t uses[13] = {};
    native_loop::each_block(native, [&uses](const Block* b) {
        // A block that branches back (a loop) likely runs more often.
        const uint64_t weight = b->target_ok && b->exits[1] <= b->start ? 8 : 1;
        const Op* ops = ops_of(b);
        for (uint32_t i = 0; i < b->count; ++i) {
            const unsigned named = registers_named(ops[i].opcode);
            if (named & 1) uses[ops[i].ra] += weight;
            if (named & 2) uses[ops[i].rb] += weight;
            if (named & 4) uses[ops[i].rd] += weight;
        }
    });
    uint8_t order[13];
    for (uint8_t g = 0; g < 13; ++g) order[g] = g;
    std::stable_sort(order, order + 13, [&uses](uint8_t x, uint8_t y) { return uses[x] > uses[y]; });
    for (Reg& h : c->home) h = RSP;
    for (size_t k = 0; k < std::size(kHomes); ++k) c->home[order[k]] = kHomes[k];
}

// Makes the cache's buffer and gates on first use; false when it cannot.
bool ready(Cache* c, native_loop::Cache* native, const CyProgram* program) {
    if (c->enter != nullptr) return true;
    if (c->full) return false;
    choose_homes(c, native);
    c->code.reset(CodeBuffer::create(c->limit));
    if (!c->code || !make_gates(c)) {
        c->full = true;
        return false;
    }
    const size_t slots = static_cast<size_t>(program->zeta_len > 0 ? program->zeta_len : 0) + 1;
    c->entries.assign(slots, nullptr);
    c->jump_count = program->_jump_entries != nullptr && program->jump_table_len > 0
                        ? static_cast<uint32_t>(program->jump_table_len)
                        : 0;
    c->jumps.reset(new (std::nothrow) const uint8_t*[c->jump_count + 1]());
    if (!c->jumps) {
        c->full = true;
        c->enter = nullptr;
        return false;
    }
    return true;
}

// ----- translation ----------------------------------------------------------------------

// A cold path that leaves the code.
struct Stub {
    Asm::Label label;
    Exit* exit;
    bool address;      // rdx = eax before leaving
    bool refill;       // give the block's gas back before leaving
};
// An exit through a link slot.
struct Link {
    Asm::Label slot;
    Asm::Label stub;
    Exit* exit;
};
// Where the code goes on after a slow path.
struct Resume {
    Exit* exit;
    Asm::Label label;
};
// The page-crossing test of an unaligned access of `n` bytes.
struct Crossing {
    Asm::Label test;
    Asm::Label back;
    Asm::Label* slow;
    unsigned n;
};
// A run of accesses through one base register, and its cold path.
struct Group {
    Asm::Label slow;
    Asm::Label done;
    const Op* first;
    uint32_t count;
};
// The cold path of a refused dynamic jump: the halt address halts, any
// other address panics.
struct Refusal {
    Asm::Label label;
    Exit* halt;
    Asm::Label* panic;
};

// What a translation works in: the code being assembled and the lists of
// cold paths and labels.  Kept by the cache and emptied for each block, so
// that translating a block allocates nothing once the first blocks are done
// (translation runs with the interpreter lock held and calls no Python
// code, so one translation runs at a time).
struct Scratch {
    Asm a;
    std::deque<Stub> stubs;
    std::deque<Link> links;
    std::deque<Resume> resumes;
    std::deque<Crossing> crossings;
    std::deque<Group> groups;
    std::deque<Refusal> refusals;

    void clear() {
        a.reset();
        stubs.clear();
        links.clear();
        resumes.clear();
        crossings.clear();
        groups.clear();
        refusals.clear();
    }
};

void ScratchDelete::operator()(Scratch* s) const { delete s; }

Scratch& scratch_of(Cache* c) {
    if (!c->scratch) c->scratch.reset(new Scratch());
    c->scratch->clear();
    return *c->scratch;
}

class Translator {
public:
    Translator(Cache* c, const Block* b)
        : c_(c), b_(b), home_(c->home), s_(scratch_of(c)), a_(s_.a), stubs_(s_.stubs), links_(s_.links),
          resumes_(s_.resumes), crossings_(s_.crossings), groups_(s_.groups), refusals_(s_.refusals) {}

    // The block's code, placed in the buffer; nullptr when the buffer is full.
    const uint8_t* compile();

private:
    Cache* c_;
    const Block* b_;
    const Reg* home_;
    Scratch& s_;
    Asm& a_;
    Asm::Label entry_;
    std::deque<Stub>& stubs_;
    std::deque<Link>& links_;
    std::deque<Resume>& resumes_;
    std::deque<Crossing>& crossings_;
    std::deque<Group>& groups_;
    std::deque<Refusal>& refusals_;

    // ----- operands

    bool home(uint8_t g) const { return home_[g] != RSP; }
    Opnd guest(uint8_t g) const { return home(g) ? Opnd(home_[g]) : Opnd(slot_of(g)); }

    void load(Reg dst, uint8_t g) {
        if (home_[g] != dst) a_.movW(dst, guest(g));
    }
    void load32(Reg dst, uint8_t g) { a_.mov(dst, guest(g)); }
    void store(uint8_t g, Reg src) {
        if (home(g)) {
            if (home_[g] != src) a_.movW_rr(home_[g], src);
        } else {
            a_.movW(slot_of(g), src);
        }
    }
    // Register g = v (rcx the scratch: rax may hold an address).
    void store_imm(uint8_t g, uint64_t v) {
        if (home(g)) {
            a_.mov_imm(home_[g], v);
        } else if (fits_i32(static_cast<int64_t>(v))) {
            a_.movW_imm32(slot_of(g), static_cast<int32_t>(v));
        } else {
            a_.mov_imm(RCX, v);
            a_.movW(slot_of(g), RCX);
        }
    }
    // rax = a 32-bit result, sign-extended into register g.
    void store32(uint8_t g) {
        a_.movsxdW(RAX, Opnd(RAX));
        store(g, RAX);
    }

    // ----- exits

    Exit* exit(Why why, const Op* op = nullptr) {
        c_->exits.push_back(Exit{why, 0, b_, op, nullptr, nullptr});
        return &c_->exits.back();
    }
    // A cold path that leaves the code; returns its label.
    Asm::Label& stub(Exit* e, bool address = false, bool refill = false) {
        stubs_.push_back(Stub{{}, e, address, refill});
        return stubs_.back().label;
    }
    // Leaves the code here and goes on right after when entered again.
    void leave_here(Exit* e) {
        a_.mov_imm(RAX, reinterpret_cast<uintptr_t>(e));
        a_.jmp_abs(c_->leave);
        resume_here(e);
    }
    // Goes on at exit `which` of the block.
    void follow(int which, const Op* last) {
        if (which == 1 && !b_->target_ok) {
            a_.jmp(stub(exit(Why::panic, last)));
            return;
        }
        const uint32_t target = b_->exits[which];
        if (target == b_->start) {
            a_.jmp(entry_);
        } else if (target < c_->entries.size() && c_->entries[target] != nullptr) {
            a_.jmp_abs(c_->entries[target]);
        } else {
            Exit* e = exit(Why::link);
            e->which = static_cast<uint8_t>(which);
            links_.push_back(Link{{}, {}, e});
            a_.jmp_slot(links_.back().slot);
        }
    }
    // A conditional exit: `cond` taken goes to exit 1.
    void branch(Cond cond, const Op* op) {
        const uint32_t target = b_->exits[1];
        if (!b_->target_ok) {
            a_.jcc(cond, stub(exit(Why::panic, op)));
        } else if (target == b_->start) {
            a_.jcc(cond, entry_);
        } else if (target < c_->entries.size() && c_->entries[target] != nullptr) {
            a_.jcc_abs(cond, c_->entries[target]);
        } else {
            Asm::Label not_taken;
            a_.jcc(negate(cond), not_taken);
            follow(1, op);
            a_.bind(not_taken);
        }
        follow(0, op);
    }

    // ----- memory

    // eax = the guest address of an access: vx, or register g + vx (mod 2^32).
    void address(int g, uint64_t vx) {
        const auto disp = static_cast<int32_t>(static_cast<uint32_t>(vx));
        if (g < 0) {
            a_.mov_imm(RAX, static_cast<uint32_t>(vx));
        } else if (home(static_cast<uint8_t>(g))) {
            a_.lea(RAX, at(home_[g], disp));
        } else {
            a_.mov(RAX, slot_of(static_cast<uint8_t>(g)));
            if (disp != 0) a_.alu_imm(Asm::ADD, false, Opnd(RAX), disp);
        }
    }
    // rdx = the host address of guest page eax >> 12 minus its guest address
    // (the entry), or off to the slow path when the map has none or the
    // access of `n` bytes crosses the page.
    void page(bool write, unsigned n, Asm::Label& slow) {
        a_.mov(RCX, Opnd(RAX));
        a_.shift_imm(Asm::SHR, false, Opnd(RCX), 12);
        a_.movW(RDX, at(R14, RCX, 3, write ? kWriteEntries : 0));
        a_.test(true, Opnd(RDX), RDX);
        a_.jcc(E, slow);
        if (n > 1) {
            // An aligned access stays within its page; others are tested
            // on a cold path, which comes back here when they do too.
            crossings_.push_back(Crossing{{}, {}, &slow, n});
            Crossing& x = crossings_.back();
            a_.test8_imm(RAX, static_cast<uint8_t>(n - 1));
            a_.jcc(NE, x.test);
            a_.bind(x.back);
        }
    }
    // The code goes on here after the slow path of exit `e`.
    void resume_here(Exit* e) {
        resumes_.push_back(Resume{e, {}});
        a_.bind(resumes_.back().label);
    }
    void emit_load(const Op* op, int at_reg, unsigned n, bool sign) {
        address(at_reg, op->vx);
        Exit* e = exit(Why::load, op);
        page(false, n, stub(e, true));
        const Reg dst = home(op->ra) ? home_[op->ra] : RCX;
        load_from(dst, at(RDX, RAX, 0), n, sign);
        if (dst == RCX) store(op->ra, RCX);
        resume_here(e);
    }
    void load_from(Reg dst, Mem m, unsigned n, bool sign) {
        switch (n) {
            case 1: sign ? a_.movsx8W(dst, m) : a_.movzx8(dst, m); break;
            case 2: sign ? a_.movsx16W(dst, m) : a_.movzx16(dst, m); break;
            case 4: sign ? a_.movsxdW(dst, m) : a_.mov(dst, m); break;
            default: a_.movW(dst, m); break;
        }
    }
    // A store of register `value_reg` (>= 0) or of vy.
    void emit_store(const Op* op, int at_reg, unsigned n, int value_reg) {
        address(at_reg, op->vx);
        Exit* e = exit(Why::store, op);
        page(true, n, stub(e, true));
        store_to(at(RDX, RAX, 0), n, value_reg, op->vy);
        resume_here(e);
    }
    // [m] = register `value_reg` (>= 0) or v, n bytes (rcx the scratch).
    void store_to(Mem m, unsigned n, int value_reg, uint64_t v) {
        if (value_reg >= 0) {
            Reg v = home(static_cast<uint8_t>(value_reg)) ? home_[value_reg] : RCX;
            if (v == RCX) a_.movW(RCX, slot_of(static_cast<uint8_t>(value_reg)));
            switch (n) {
                case 1: a_.mov8(m, v); break;
                case 2: a_.mov16(m, v); break;
                case 4: a_.mov(m, v); break;
                default: a_.movW(m, v); break;
            }
        } else {
            switch (n) {
                case 1: a_.mov8_imm(m, static_cast<uint8_t>(v)); break;
                case 2: a_.mov16_imm(m, static_cast<uint16_t>(v)); break;
                case 4: a_.mov_imm32(m, static_cast<uint32_t>(v)); break;
                default:
                    if (fits_i32(static_cast<int64_t>(v))) {
                        a_.movW_imm32(m, static_cast<int32_t>(v));
                    } else {
                        a_.mov_imm(RCX, v);
                        a_.movW(m, RCX);
                    }
                    break;
            }
        }
    }

    // ----- runs of accesses through one base register

    // An access through a base register: a load into `value` (signed or
    // not), or a store of register `value` (or of vy when value < 0).
    struct Access {
        uint8_t base;
        unsigned n;
        bool store;
        bool sign;
        int value;
    };
    static bool access_of(const Op* op, Access* out) {
        const int code = op->opcode;
        if (code >= 70 && code <= 73) {
            *out = Access{op->ra, 1u << (code - 70), true, false, -1};
        } else if (code >= 120 && code <= 123) {
            *out = Access{op->rb, 1u << (code - 120), true, false, op->ra};
        } else if (code >= 124 && code <= 130) {
            const int k = code - 124;
            *out = Access{op->rb, k == 6 ? 8u : 1u << (k / 2), false, k < 6 && (k & 1), op->ra};
        } else {
            return false;
        }
        return out->base < 13 && (out->value < 13);
    }

    // Compiled code keeps values in frames and structures: several accesses
    // in a row through the same base register, which nothing among them
    // changes but the last.  When they all fit in one page, one map lookup
    // and one bounds test serve them all; rdx then points at the lowest
    // byte any of them touches, and each access is one instruction at a
    // fixed distance from it.  When the test fails (a page with no entry, a
    // run across a page boundary), the accesses run one by one on a cold
    // path, as they would without grouping.  Returns how many ops the run
    // took (0: no run starts at `ops[0]`).
    uint32_t group(const Op* ops, uint32_t left) {
        Access first{};
        if (left < 2 || !access_of(&ops[0], &first)) return 0;
        int64_t lo = 0, hi = first.n;
        bool writes = first.store;
        uint32_t k = 1;
        if (!first.store && first.value == first.base) return 0;
        for (; k < left; ++k) {
            Access x{};
            if (!access_of(&ops[k], &x) || x.base != first.base) break;
            const int64_t d = static_cast<int32_t>(static_cast<uint32_t>(ops[k].vx - ops[0].vx));
            const int64_t l = std::min(lo, d), h = std::max(hi, d + static_cast<int64_t>(x.n));
            if (h - l > static_cast<int64_t>(kPageSize)) break;
            lo = l;
            hi = h;
            writes |= x.store;
            if (!x.store && x.value == x.base) {  // the base changes: the run ends with this access
                ++k;
                break;
            }
        }
        if (k < 2) return 0;
        const auto span = static_cast<int32_t>(hi - lo);
        groups_.push_back(Group{{}, {}, ops, k});
        Group& g = groups_.back();
        address(first.base, ops[0].vx + static_cast<uint64_t>(lo));
        a_.mov(RCX, Opnd(RAX));
        a_.shift_imm(Asm::SHR, false, Opnd(RCX), 12);
        a_.movW(RDX, at(R14, RCX, 3, writes ? kWriteEntries : 0));
        a_.test(true, Opnd(RDX), RDX);
        a_.jcc(E, g.slow);
        a_.lea(RCX, at(RAX, span - 1));
        a_.alu(Asm::XOR, false, RCX, Opnd(RAX));
        a_.test_imm(false, Opnd(RCX), static_cast<int32_t>(~(kPageSize - 1)));
        a_.jcc(NE, g.slow);
        a_.alu(Asm::ADD, true, RDX, Opnd(RAX));
        for (uint32_t i = 0; i < k; ++i) {
            Access x{};
            access_of(&ops[i], &x);
            const auto disp = static_cast<int32_t>(
                static_cast<int32_t>(static_cast<uint32_t>(ops[i].vx - ops[0].vx)) - lo);
            const Mem m = at(RDX, disp);
            if (x.store) {
                store_to(m, x.n, x.value, ops[i].vy);
            } else {
                const uint8_t dst_g = static_cast<uint8_t>(x.value);
                const Reg dst = home(dst_g) ? home_[dst_g] : RCX;
                load_from(dst, m, x.n, x.sign);
                if (dst == RCX) store(dst_g, RCX);
            }
        }
        a_.bind(g.done);
        return k;
    }
    // The cold paths of the runs: the same accesses one by one.
    void group_paths() {
        for (Group& g : groups_) {
            a_.bind(g.slow);
            for (uint32_t i = 0; i < g.count; ++i) op(&g.first[i]);
            a_.jmp(g.done);
        }
    }

    // ----- dynamic jumps: eax = the address

    // The jump-table index (address / 2 - 1) comes from one rotation: an odd
    // address puts its low bit at the top, and address 0 wraps round, so
    // that one unsigned comparison with the table's size refuses both, and
    // the halt address too while the table has fewer than 0x7FFF7FFF
    // entries (a table that large takes the tests one by one).
    void djump(const Op* op) {
        Exit* halt = exit(Why::halt, op);
        Asm::Label& panic = stub(exit(Why::panic, op));
        const uint32_t count = c_->jump_count;
        if (count < 0x7FFF7FFFu) {
            Asm::Label& refused = cold_djump(halt, panic);
            a_.lea(RCX, at(RAX, -2));
            a_.shift_imm(Asm::ROR, false, Opnd(RCX), 1);
            a_.alu_imm(Asm::CMP, false, Opnd(RCX), static_cast<int32_t>(count));
            a_.jcc(AE, refused);
        } else {
            a_.alu_imm(Asm::CMP, false, Opnd(RAX), static_cast<int32_t>(kHaltAddress));
            a_.jcc(E, stub(halt));
            a_.test8_imm(RAX, 1);
            a_.jcc(NE, panic);
            a_.mov(RCX, Opnd(RAX));
            a_.shift_imm(Asm::SHR, false, Opnd(RCX), 1);
            a_.alu_imm(Asm::SUB, false, Opnd(RCX), 1);
            a_.alu_imm(Asm::CMP, false, Opnd(RCX), static_cast<int32_t>(count));
            a_.jcc(AE, panic);
        }
        a_.mov_imm(RDX, reinterpret_cast<uintptr_t>(c_->jumps.get()));
        a_.movW(RDX, at(RDX, RCX, 3));
        a_.test(true, Opnd(RDX), RDX);
        a_.jcc(E, stub(exit(Why::djump, op), true));
        a_.jmp_reg(RDX);
    }

    Asm::Label& cold_djump(Exit* halt, Asm::Label& panic) {
        refusals_.push_back(Refusal{{}, halt, &panic});
        return refusals_.back().label;
    }

    // ----- arithmetic

    // rd = ra OP rb (64-bit).
    void alu3(Asm::Alu op, uint8_t rd, uint8_t ra, uint8_t rb) {
        if (rd == rb && rd != ra && op != Asm::SUB) std::swap(ra, rb);  // rd = rb OP ra: the same
        if (rd == ra && (home(rd) || home(rb))) {
            if (home(rd)) {
                a_.alu(op, true, home_[rd], guest(rb));
            } else {
                a_.alu(op, true, slot_of(rd), home_[rb]);
            }
            return;
        }
        if (home(rd) && rd != ra && rd != rb) {
            // Straight into rd's host register, which holds no operand.
            if (op == Asm::ADD && home(ra) && home(rb)) {
                a_.leaW(home_[rd], at(home_[ra], home_[rb], 0));
            } else {
                a_.movW(home_[rd], guest(ra));
                a_.alu(op, true, home_[rd], guest(rb));
            }
            return;
        }
        load(RAX, ra);
        a_.alu(op, true, RAX, guest(rb));
        store(rd, RAX);
    }
    void alu3_32(Asm::Alu op, uint8_t rd, uint8_t ra, uint8_t rb) {
        load32(RAX, ra);
        a_.alu(op, false, RAX, guest(rb));
        store32(rd);
    }
    // ra = rb OP imm (64-bit).
    void alu_imm(Asm::Alu op, uint8_t ra, uint8_t rb, uint64_t v) {
        const bool small = fits_i32(static_cast<int64_t>(v));
        if (ra == rb && small) {
            a_.alu_imm(op, true, guest(ra), static_cast<int32_t>(v));
            return;
        }
        if (home(ra) && small) {  // ra != rb: ra's host register holds no operand
            if (op == Asm::ADD && home(rb)) {
                a_.leaW(home_[ra], at(home_[rb], static_cast<int32_t>(v)));
            } else {
                a_.movW(home_[ra], guest(rb));
                a_.alu_imm(op, true, Opnd(home_[ra]), static_cast<int32_t>(v));
            }
            return;
        }
        load(RAX, rb);
        if (small) {
            a_.alu_imm(op, true, Opnd(RAX), static_cast<int32_t>(v));
        } else {
            a_.mov_imm(RCX, v);
            a_.alu(op, true, RAX, Opnd(RCX));
        }
        store(ra, RAX);
    }
    void alu_imm32(Asm::Alu op, uint8_t ra, uint8_t rb, uint64_t v) {
        load32(RAX, rb);
        a_.alu_imm(op, false, Opnd(RAX), static_cast<int32_t>(static_cast<uint32_t>(v)));
        store32(ra);
    }
    // dst = value << / >> amount, value and amount guest registers or immediates.
    void shift(Asm::Shift s, bool w, uint8_t dst, int value_reg, uint64_t value_imm, int amount_reg,
               uint64_t amount_imm) {
        if (w && value_reg >= 0 && amount_reg < 0) {
            // By an immediate: in place, or in dst's host register.
            const auto n = static_cast<uint8_t>(amount_imm & 63);
            if (dst == value_reg) {
                a_.shift_imm(s, true, guest(dst), n);
                return;
            }
            if (home(dst)) {
                a_.movW(home_[dst], guest(static_cast<uint8_t>(value_reg)));
                a_.shift_imm(s, true, Opnd(home_[dst]), n);
                return;
            }
        }
        if (amount_reg >= 0) load32(RCX, static_cast<uint8_t>(amount_reg));
        if (value_reg >= 0) {
            w ? load(RAX, static_cast<uint8_t>(value_reg)) : load32(RAX, static_cast<uint8_t>(value_reg));
        } else {
            a_.mov_imm(RAX, w ? value_imm : static_cast<uint32_t>(value_imm));
        }
        if (amount_reg >= 0) {
            a_.shift_cl(s, w, Opnd(RAX));
        } else {
            a_.shift_imm(s, w, Opnd(RAX), static_cast<uint8_t>(amount_imm & (w ? 63 : 31)));
        }
        w ? store(dst, RAX) : store32(dst);
    }
    // rd = (ra CMP rb / imm) ? 1 : 0, or the comparison alone (flags).
    void compare(uint8_t ra, int rb, uint64_t imm) {
        if (rb < 0) {
            if (fits_i32(static_cast<int64_t>(imm))) {
                a_.alu_imm(Asm::CMP, true, guest(ra), static_cast<int32_t>(imm));
            } else {
                a_.mov_imm(RCX, imm);
                if (home(ra)) {
                    a_.alu(Asm::CMP, true, home_[ra], Opnd(RCX));
                } else {
                    a_.alu(Asm::CMP, true, slot_of(ra), RCX);
                }
            }
        } else if (home(ra)) {
            a_.alu(Asm::CMP, true, home_[ra], guest(static_cast<uint8_t>(rb)));
        } else if (home(static_cast<uint8_t>(rb))) {
            a_.alu(Asm::CMP, true, slot_of(ra), home_[rb]);
        } else {
            load(RAX, ra);
            a_.alu(Asm::CMP, true, RAX, guest(static_cast<uint8_t>(rb)));
        }
    }
    void set_if(Cond cond, uint8_t dst) {
        a_.setcc(cond, RAX);
        a_.movzx8(RAX, Opnd(RAX));
        store(dst, RAX);
    }
    // rd = ra / rb or ra % rb, by the rules of alu.hpp (no fault).
    void divide(bool w, bool sign, bool remainder, uint8_t rd, uint8_t ra, uint8_t rb) {
        Asm::Label zero, minus_one, done;
        w ? load(RCX, rb) : load32(RCX, rb);
        w ? load(RAX, ra) : load32(RAX, ra);
        a_.test(w, Opnd(RCX), RCX);
        a_.jcc(E, zero);
        if (sign) {
            a_.alu_imm(Asm::CMP, w, Opnd(RCX), -1);
            a_.jcc(E, minus_one);
            w ? a_.cqo() : a_.cdq();
            a_.idiv(w, Opnd(RCX));
        } else {
            a_.alu(Asm::XOR, false, RDX, Opnd(RDX));
            a_.div(w, Opnd(RCX));
        }
        if (remainder) a_.movW_rr(RAX, RDX);
        if (!w) a_.movsxdW(RAX, Opnd(RAX));
        a_.jmp(done);
        a_.bind(zero);
        if (remainder) {
            if (!w) a_.movsxdW(RAX, Opnd(RAX));  // the dividend
        } else {
            a_.mov_imm(RAX, ~uint64_t{0});
        }
        if (sign) {
            a_.jmp(done);
            a_.bind(minus_one);
            if (remainder) {
                a_.alu(Asm::XOR, false, RAX, Opnd(RAX));
            } else {
                a_.neg(w, Opnd(RAX));
                if (!w) a_.movsxdW(RAX, Opnd(RAX));
            }
        }
        a_.bind(done);
        store(rd, RAX);
    }
    // rd = ra if (rb == 0) == if_zero (vx when `imm`).
    void cmov(bool if_zero, uint8_t dst, uint8_t rb, int ra, uint64_t imm) {
        Asm::Label skip;
        if (home(rb)) {
            a_.test(true, Opnd(home_[rb]), home_[rb]);
        } else {
            a_.alu_imm(Asm::CMP, true, Opnd(slot_of(rb)), 0);
        }
        a_.jcc(if_zero ? NE : E, skip);
        if (ra >= 0) {
            load(RAX, static_cast<uint8_t>(ra));
            store(dst, RAX);
        } else {
            store_imm(dst, imm);
        }
        a_.bind(skip);
    }

    bool op(const Op* op);
};

bool Translator::op(const Op* op) {
    const uint8_t ra = op->ra, rb = op->rb, rd = op->rd;
    const uint64_t vx = op->vx, vy = op->vy;
    switch (op->opcode) {
        case 0:  // trap
            a_.jmp(stub(exit(Why::panic, op)));
            return true;
        case 1:  // fallthrough
            follow(0, op);
            return true;
        case 10:  // ecalli
            leave_here(exit(Why::host, op));
            return true;
        case 20:  // load_imm_64
        case 51:  // load_imm
            store_imm(ra, vx);
            return true;
        case 30: case 31: case 32: case 33:  // store_imm_u8..u64: [vx] = vy
            emit_store(op, -1, 1u << (op->opcode - 30), -1);
            return true;
        case 40:  // jump
            follow(1, op);
            return true;
        case 50:  // jump_ind
            address(ra, vx);
            djump(op);
            return true;
        case 52: case 53: case 54: case 55: case 56: case 57: case 58: {  // load_{u8,i8,...,u64} [vx]
            const int k = op->opcode - 52;
            emit_load(op, -1, k == 6 ? 8 : 1u << (k / 2), k < 6 && (k & 1));
            return true;
        }
        case 59: case 60: case 61: case 62:  // store_u8..u64: [vx] = ra
            emit_store(op, -1, 1u << (op->opcode - 59), ra);
            return true;
        case 70: case 71: case 72: case 73:  // store_imm_ind: [ra + vx] = vy
            emit_store(op, ra, 1u << (op->opcode - 70), -1);
            return true;
        case 80:  // load_imm_jump
            store_imm(ra, vx);
            follow(1, op);
            return true;
        case 81: case 82: case 83: case 84: case 85: case 86: case 87: case 88: case 89: case 90: {
            static constexpr Cond kConds[] = {E, NE, B, BE, AE, A, L, LE, GE, G};
            compare(ra, -1, vx);
            branch(kConds[op->opcode - 81], op);
            return true;
        }
        case 100:  // move_reg
            if (home(rd)) {
                load(home_[rd], ra);
            } else if (home(ra)) {
                store(rd, home_[ra]);
            } else {
                load(RAX, ra);
                store(rd, RAX);
            }
            return true;
        case 101:  // sbrk
            leave_here(exit(Why::group, op));
            return true;
        case 102: a_.popcnt(true, RAX, guest(ra)); store(rd, RAX); return true;
        case 103: a_.popcnt(false, RAX, guest(ra)); store(rd, RAX); return true;
        case 104: a_.lzcnt(true, RAX, guest(ra)); store(rd, RAX); return true;
        case 105: a_.lzcnt(false, RAX, guest(ra)); store(rd, RAX); return true;
        case 106: a_.tzcnt(true, RAX, guest(ra)); store(rd, RAX); return true;
        case 107: a_.tzcnt(false, RAX, guest(ra)); store(rd, RAX); return true;
        case 108: a_.movsx8W(RAX, guest(ra)); store(rd, RAX); return true;
        case 109: a_.movsx16W(RAX, guest(ra)); store(rd, RAX); return true;
        case 110: a_.movzx16(RAX, guest(ra)); store(rd, RAX); return true;
        case 111: load(RAX, ra); a_.bswapW(RAX); store(rd, RAX); return true;
        case 120: case 121: case 122: case 123:  // store_ind: [rb + vx] = ra
            emit_store(op, rb, 1u << (op->opcode - 120), ra);
            return true;
        case 124: case 125: case 126: case 127: case 128: case 129: case 130: {  // load_ind: ra = [rb + vx]
            const int k = op->opcode - 124;
            emit_load(op, rb, k == 6 ? 8 : 1u << (k / 2), k < 6 && (k & 1));
            return true;
        }
        // ra = rb OP vx
        case 131: alu_imm32(Asm::ADD, ra, rb, vx); return true;
        case 132: alu_imm(Asm::AND, ra, rb, vx); return true;
        case 133: alu_imm(Asm::XOR, ra, rb, vx); return true;
        case 134: alu_imm(Asm::OR, ra, rb, vx); return true;
        case 135:
            load32(RAX, rb);
            a_.imul_imm(false, RAX, Opnd(RAX), static_cast<int32_t>(static_cast<uint32_t>(vx)));
            store32(ra);
            return true;
        case 136: compare(rb, -1, vx); set_if(B, ra); return true;
        case 137: compare(rb, -1, vx); set_if(L, ra); return true;
        case 138: shift(Asm::SHL, false, ra, rb, 0, -1, vx); return true;
        case 139: shift(Asm::SHR, false, ra, rb, 0, -1, vx); return true;
        case 140: shift(Asm::SAR, false, ra, rb, 0, -1, vx); return true;
        case 141:  // ra = vx - rb (32-bit)
            a_.mov_imm(RAX, static_cast<uint32_t>(vx));
            a_.alu(Asm::SUB, false, RAX, guest(rb));
            store32(ra);
            return true;
        case 142: compare(rb, -1, vx); set_if(A, ra); return true;
        case 143: compare(rb, -1, vx); set_if(G, ra); return true;
        case 144: shift(Asm::SHL, false, ra, -1, vx, rb, 0); return true;
        case 145: shift(Asm::SHR, false, ra, -1, vx, rb, 0); return true;
        case 146: shift(Asm::SAR, false, ra, -1, vx, rb, 0); return true;
        case 147: cmov(true, ra, rb, -1, vx); return true;
        case 148: cmov(false, ra, rb, -1, vx); return true;
        case 149: alu_imm(Asm::ADD, ra, rb, vx); return true;
        case 150:
            if (fits_i32(static_cast<int64_t>(vx))) {
                a_.imul_imm(true, RAX, guest(rb), static_cast<int32_t>(vx));
            } else {
                a_.mov_imm(RAX, vx);
                a_.imul(true, RAX, guest(rb));
            }
            store(ra, RAX);
            return true;
        case 151: shift(Asm::SHL, true, ra, rb, 0, -1, vx); return true;
        case 152: shift(Asm::SHR, true, ra, rb, 0, -1, vx); return true;
        case 153: shift(Asm::SAR, true, ra, rb, 0, -1, vx); return true;
        case 154:  // ra = vx - rb
            a_.mov_imm(RAX, vx);
            a_.alu(Asm::SUB, true, RAX, guest(rb));
            store(ra, RAX);
            return true;
        case 155: shift(Asm::SHL, true, ra, -1, vx, rb, 0); return true;
        case 156: shift(Asm::SHR, true, ra, -1, vx, rb, 0); return true;
        case 157: shift(Asm::SAR, true, ra, -1, vx, rb, 0); return true;
        case 158: shift(Asm::ROR, true, ra, rb, 0, -1, vx); return true;
        case 159: shift(Asm::ROR, true, ra, -1, vx, rb, 0); return true;
        case 160: shift(Asm::ROR, false, ra, rb, 0, -1, vx); return true;
        case 161: shift(Asm::ROR, false, ra, -1, vx, rb, 0); return true;
        case 170: case 171: case 172: case 173: case 174: case 175: {
            static constexpr Cond kConds[] = {E, NE, B, L, AE, GE};
            compare(ra, rb, 0);
            branch(kConds[op->opcode - 170], op);
            return true;
        }
        case 180:  // load_imm_jump_ind: jump to rb + vy, ra = vx
            address(rb, vy);
            store_imm(ra, vx);
            djump(op);
            return true;
        // rd = ra OP rb
        case 190: alu3_32(Asm::ADD, rd, ra, rb); return true;
        case 191: alu3_32(Asm::SUB, rd, ra, rb); return true;
        case 192:
            load32(RAX, ra);
            a_.imul(false, RAX, guest(rb));
            store32(rd);
            return true;
        case 193: divide(false, false, false, rd, ra, rb); return true;
        case 194: divide(false, true, false, rd, ra, rb); return true;
        case 195: divide(false, false, true, rd, ra, rb); return true;
        case 196: divide(false, true, true, rd, ra, rb); return true;
        case 197: shift(Asm::SHL, false, rd, ra, 0, rb, 0); return true;
        case 198: shift(Asm::SHR, false, rd, ra, 0, rb, 0); return true;
        case 199: shift(Asm::SAR, false, rd, ra, 0, rb, 0); return true;
        case 200: alu3(Asm::ADD, rd, ra, rb); return true;
        case 201: alu3(Asm::SUB, rd, ra, rb); return true;
        case 202:
            if (rd == ra && home(rd)) {
                a_.imul(true, home_[rd], guest(rb));
            } else {
                load(RAX, ra);
                a_.imul(true, RAX, guest(rb));
                store(rd, RAX);
            }
            return true;
        case 203: divide(true, false, false, rd, ra, rb); return true;
        case 204: divide(true, true, false, rd, ra, rb); return true;
        case 205: divide(true, false, true, rd, ra, rb); return true;
        case 206: divide(true, true, true, rd, ra, rb); return true;
        case 207: shift(Asm::SHL, true, rd, ra, 0, rb, 0); return true;
        case 208: shift(Asm::SHR, true, rd, ra, 0, rb, 0); return true;
        case 209: shift(Asm::SAR, true, rd, ra, 0, rb, 0); return true;
        case 210: alu3(Asm::AND, rd, ra, rb); return true;
        case 211: alu3(Asm::XOR, rd, ra, rb); return true;
        case 212: alu3(Asm::OR, rd, ra, rb); return true;
        case 213:  // the high half of signed * signed
            load(RAX, ra);
            a_.imul1(true, guest(rb));
            store(rd, RDX);
            return true;
        case 214:  // unsigned * unsigned
            load(RAX, ra);
            a_.mul(true, guest(rb));
            store(rd, RDX);
            return true;
        case 215:  // signed * unsigned: the unsigned product's high half, less rb when ra < 0
            load(RCX, rb);
            load(RAX, ra);
            a_.mul(true, Opnd(RCX));
            load(RAX, ra);
            a_.shift_imm(Asm::SAR, true, Opnd(RAX), 63);
            a_.alu(Asm::AND, true, RAX, Opnd(RCX));
            a_.alu(Asm::SUB, true, RDX, Opnd(RAX));
            store(rd, RDX);
            return true;
        case 216: compare(ra, rb, 0); set_if(B, rd); return true;
        case 217: compare(ra, rb, 0); set_if(L, rd); return true;
        case 218: cmov(true, rd, rb, ra, 0); return true;
        case 219: cmov(false, rd, rb, ra, 0); return true;
        case 220: shift(Asm::ROL, true, rd, ra, 0, rb, 0); return true;
        case 221: shift(Asm::ROL, false, rd, ra, 0, rb, 0); return true;
        case 222: shift(Asm::ROR, true, rd, ra, 0, rb, 0); return true;
        case 223: shift(Asm::ROR, false, rd, ra, 0, rb, 0); return true;
        case 224:  // ra & ~rb
        case 225:  // ra | ~rb
            load(RCX, rb);
            a_.not_(true, Opnd(RCX));
            a_.alu(op->opcode == 224 ? Asm::AND : Asm::OR, true, RCX, guest(ra));
            store(rd, RCX);
            return true;
        case 226:  // ~(ra ^ rb)
            load(RAX, ra);
            a_.alu(Asm::XOR, true, RAX, guest(rb));
            a_.not_(true, Opnd(RAX));
            store(rd, RAX);
            return true;
        case 227: case 228: case 229: case 230: {  // max, max_u, min, min_u
            static constexpr Cond kTake[] = {L, B, GE, AE};  // when rb is taken
            load(RAX, ra);
            a_.alu(Asm::CMP, true, RAX, guest(rb));
            a_.cmovW(kTake[op->opcode - 227], RAX, guest(rb));
            store(rd, RAX);
            return true;
        }
        default:
            return false;
    }
}

const uint8_t* Translator::compile() {
    a_.bind(entry_);
    a_.alu_imm(Asm::SUB, true, Opnd(R13), static_cast<int32_t>(b_->gas));
    Exit* refill = exit(Why::refill);
    a_.jcc(B, stub(refill, false, true));
    const Op* ops = ops_of(b_);
    for (uint32_t i = 0; i < b_->count;) {
        if (const uint32_t k = group(&ops[i], b_->count - i)) {
            i += k;
            continue;
        }
        if (!op(&ops[i])) return nullptr;
        ++i;
    }
    // The cold paths, then the link slots.
    group_paths();
    for (Refusal& r : refusals_) {
        a_.bind(r.label);
        a_.alu_imm(Asm::CMP, false, Opnd(RAX), static_cast<int32_t>(kHaltAddress));
        a_.jcc(NE, *r.panic);
        a_.mov_imm(RAX, reinterpret_cast<uintptr_t>(r.halt));
        a_.jmp_abs(c_->leave);
    }
    for (Crossing& x : crossings_) {
        a_.bind(x.test);
        a_.mov(RCX, Opnd(RAX));
        a_.alu_imm(Asm::AND, false, Opnd(RCX), 0xFFF);
        a_.alu_imm(Asm::CMP, false, Opnd(RCX), static_cast<int32_t>(kPageSize - x.n));
        a_.jcc(A, *x.slow);
        a_.jmp(x.back);
    }
    for (Stub& s : stubs_) {
        a_.bind(s.label);
        if (s.refill) a_.alu_imm(Asm::ADD, true, Opnd(R13), static_cast<int32_t>(b_->gas));
        if (s.address) a_.mov(RDX, Opnd(RAX));
        a_.mov_imm(RAX, reinterpret_cast<uintptr_t>(s.exit));
        a_.jmp_abs(c_->leave);
    }
    for (Link& l : links_) {
        a_.bind(l.stub);
        a_.mov_imm(RAX, reinterpret_cast<uintptr_t>(l.exit));
        a_.jmp_abs(c_->leave);
    }
    a_.align(8);
    for (Link& l : links_) {
        a_.bind(l.slot);
        a_.u64(0);
    }
    uint8_t* dst = c_->code->reserve(a_.size());
    if (dst == nullptr) return nullptr;
    uint8_t* w = c_->code->writable(dst);
    a_.place(w, dst);
    refill->resume = dst;
    for (Resume& r : resumes_) r.exit->resume = dst + r.label.pos;
    for (Link& l : links_) {
        auto** slot = reinterpret_cast<const uint8_t**>(w + l.slot.pos);
        *slot = dst + l.stub.pos;
        l.exit->slot = slot;
    }
    return dst;
}

// ----- the run ---------------------------------------------------------------------------

// Width and signedness of a load or store instruction (engine::memory_access_of).
bool load_signed(int opcode) {
    const int k = opcode >= 124 ? opcode - 124 : opcode - 52;
    return k < 6 && (k & 1);
}
uint64_t store_value(const Op* op, const uint64_t* regs) {
    const int o = op->opcode;
    return (o >= 59 && o <= 62) || (o >= 120 && o <= 123) ? regs[op->ra] : op->vy;
}

}  // namespace

bool supported() {
    static const bool yes = cpu_supported();
    return yes;
}

Cache* new_cache() {
    auto* c = new (std::nothrow) Cache();
    if (c == nullptr) PyErr_NoMemory();
    return c;
}

void free_cache(Cache* cache) { delete cache; }

bool has_room(const Cache* cache) { return cache != nullptr && !cache->full; }

size_t code_size(const Cache* cache) { return cache->code ? cache->code->used() : 0; }

size_t compiled_blocks(const Cache* cache) { return cache->blocks; }

Outcome run(Cache* c, native_loop::Cache* nc, const engine::Driver& driver, const engine::Request& request) {
    Outcome out;
    CyProgram* const program = request.program;
    CyMemory* const mem = request.memory;
    uint64_t* const regs = request.registers;
    const HostCall* const host = request.host;
    if (!ready(c, nc, program)) {
        out.end = End::handover;
        out.pc = request.pc;
        out.gas = request.gas;
        return out;
    }
    engine::RunLock lock(mem, driver);
    uint64_t entries_at = *bound.entry_changes;
    uint64_t window = request.gas < kCheckGas ? request.gas : kCheckGas;
    uint64_t reserve = request.gas - window;
    uint64_t total = 0;
    Context ctx{regs, nullptr, 0, nullptr, 0};
    const Op* op = nullptr;

    // The code of the block at `pc` (compiled on first use); nullptr when
    // the run cannot go on there: `out` then says how it ends.
    auto code_at = [&](uint32_t pc) -> const uint8_t* {
        if (pc < c->entries.size() && c->entries[pc] != nullptr) return c->entries[pc];
        const Block* b = native_loop::block_at(nc, driver, program, pc);
        if (b == nullptr) {
            // Compiling may run Python code, and so signal handlers: after
            // Ctrl-C the run resumes from this block, not yet charged.
            out.end = End::failed;
            out.pc = pc;
            out.interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
            return nullptr;
        }
        if (b->kind != Kind::normal || pc >= c->entries.size()) {
            out.end = End::handover;
            out.pc = pc;
            return nullptr;
        }
        const uint8_t* code = Translator(c, b).compile();
        if (code == nullptr) {
            c->full = true;  // the rest of the program's runs stay on the native loop
            out.end = End::handover;
            out.pc = pc;
            return nullptr;
        }
        c->entries[pc] = code;
        ++c->blocks;
        return code;
    };

    const uint8_t* target = code_at(request.pc);
    if (target == nullptr) {
        out.gas = request.gas;
        return out;
    }
    for (;;) {
        if (!lock.released()) {
            ctx.map = bound.page_map(mem)->read;
            lock.give();
        }
        ctx.window = window;
        c->enter(&ctx, target);
        window = ctx.window;
        const Exit* e = ctx.exit;
        op = e->op;
        switch (e->why) {
            case Why::refill: {
                const Block* b = e->block;
                total = reserve + window;
                if (total < b->gas) {
                    out.end = End::out_of_gas;
                    out.pc = b->start;
                    goto done;
                }
                if (!lock.released() || lock.check_due(native_loop::exposed(nc) ||
                                                       __atomic_load_n(bound.entry_changes, __ATOMIC_RELAXED) !=
                                                           entries_at)) {
                    if (!lock.check()) {
                        out.interrupted = true;
                        out.pc = b->start;
                        goto failed_here;
                    }
                    if (!native_loop::current(nc)) {
                        out.end = End::handover;
                        out.pc = b->start;
                        goto done;
                    }
                    entries_at = __atomic_load_n(bound.entry_changes, __ATOMIC_RELAXED);
                    lock.checked();
                    ctx.map = bound.page_map(mem)->read;
                }
                window = total < kCheckGas + b->gas ? total : kCheckGas + b->gas;
                reserve = total - window;
                target = e->resume;
                continue;
            }
            case Why::load:
            case Why::store: {
                lock.take();
                const auto address = static_cast<uint32_t>(ctx.value);
                unsigned width = 8;
                int mode = kAccRead;
                engine::memory_access_of(op->opcode, &width, &mode);
                int rc = -1;
                uint32_t fault = 0;
                if (!bound.page_map(mem)->store_runs_code) {
                    if (e->why == Why::load) {
                        uint64_t value;
                        rc = bound.load(mem, address, width, &value, &fault);
                        if (rc == 0) regs[op->ra] = load_signed(op->opcode) ? num::sign_extend(value, width) : value;
                    } else {
                        rc = bound.store(mem, address, width, store_value(op, regs), &fault);
                    }
                    if (rc > 0) {
                        out.fault = fault;
                        out.end = End::page_fault;
                        out.pc = op->pc;
                        goto done;
                    }
                    if (rc < 0) PyErr_Clear();
                }
                if (rc != 0) {
                    // The page store failed or may run Python code: the
                    // group's own handler makes the access, as on the general path.
                    engine::native::call_group(program, regs, mem, op);
                    if (PyErr_Occurred()) goto raised;
                    if (!native_loop::current(nc)) {
                        out.end = End::handover;
                        out.pc = op[1].pc;
                        out.charged = true;
                        goto done;
                    }
                }
                target = e->resume;
                continue;
            }
            case Why::host: {
                lock.take_for_host();
                const auto index = static_cast<uint32_t>(op->vx);
                const uint64_t rest = op->vy;  // the gas of the ops after the call
                out.pc = op[1].pc;
                if (host == nullptr) {
                    out.end = End::host;
                    out.host_index = index;
                    reserve += rest;
                    goto done;
                }
                uint8_t status = 0;
                total = reserve + window;
                const HostCall::Reply reply = host->call(host->context, index, &total, &status);
                if (window > total) window = total;
                reserve = total - window;
                if (reply == HostCall::Reply::go_on) {
                    if (!native_loop::current(nc)) {
                        out.end = End::handover;
                        out.charged = true;
                        goto done;
                    }
                    target = e->resume;
                    continue;
                }
                if (reply == HostCall::Reply::end) {
                    out.end = static_cast<End>(status);
                    goto done;
                }
                if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
                    out.interrupted = true;
                    reserve += rest;
                }
                goto failed_here;
            }
            case Why::group:
                lock.take();
                engine::native::call_group(program, regs, mem, op);
                if (PyErr_Occurred()) goto raised;
                target = e->resume;
                continue;
            case Why::link: {
                lock.take();
                const uint32_t pc = e->block->exits[e->which];
                const uint8_t* code = code_at(pc);
                if (code == nullptr) {
                    if (out.end == End::failed) goto failed_here;
                    goto done;
                }
                __atomic_store_n(e->slot, code, __ATOMIC_RELEASE);
                target = code;
                continue;
            }
            case Why::djump: {
                lock.take();
                const auto address = static_cast<uint32_t>(ctx.value);
                const uint32_t index = (address >> 1) - 1;
                const uint32_t pc = program->_jump_entries[index];
                program->vtab->branch(program, static_cast<int32_t>(op->pc), static_cast<int32_t>(pc), 1);
                if (PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(bound.exit_type)) {
                        out.pc = op->pc;
                        goto failed_here;
                    }
                    PyErr_Clear();
                    out.end = End::panic;
                    out.pc = op->pc;
                    goto done;
                }
                const uint8_t* code = code_at(pc);
                if (code == nullptr) {
                    if (out.end == End::failed) goto failed_here;
                    goto done;
                }
                __atomic_store_n(&c->jumps[index], code, __ATOMIC_RELEASE);
                target = code;
                continue;
            }
            case Why::halt:
                out.end = End::halt;
                out.pc = op->pc;
                goto done;
            case Why::panic:
                out.end = End::panic;
                out.pc = op->pc;
                goto done;
        }
    }

raised:
    out.end = engine::native::from_exception(mem, op->opcode, &out.fault);
    out.pc = op->pc;
    goto done;
failed_here:
    out.end = End::failed;
done:
    lock.finish();
    out.gas = reserve + window;
    return out;
}

}  // namespace pvm::jit
