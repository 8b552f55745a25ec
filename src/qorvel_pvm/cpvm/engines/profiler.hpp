// The gas profile of one run, kept by whichever engine runs its blocks.
//
// Every block a run enters is counted with the gas charged to it, and the
// gas is also added to the current node of a calling-context tree: compiled
// code calls a function by a jump that leaves the return address in r0
// (`load_imm_jump r0, ...`, or `load_imm r0` / `load_imm_64 r0` and then
// `jump`) and returns with `jump_ind r0, 0`, so a block ending in a call
// makes the block entered next the entry of a callee (a child of the current
// node, named by its entry pc) and a block ending in a return goes back to
// the caller's node.  Gas a host handler charges is added to the block of
// the call; gas given back when the run stops inside a block is taken from
// it.  So the gas of the blocks, and of the nodes, adds up exactly to the gas
// the run used.
//
// An engine calls `leave` when a block hands control on (with how it does)
// and `enter` when the next block is charged; the rest of a block after a
// handled host call is not a new entry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace pvm::engine {

// How a block hands control on, by compiled code's calling convention.
enum class Flow : uint8_t { none, call, ret };

// The flow of a block whose last instruction has `opcode`, `ra` and `vx`,
// after an instruction `before` (opcode and ra; -1 when there is none).
constexpr Flow flow_of(int opcode, uint8_t ra, uint64_t vx, int before_opcode, uint8_t before_ra) {
    constexpr int kJump = 40, kJumpInd = 50, kLoadImm = 51, kLoadImm64 = 20, kLoadImmJump = 80;
    if (opcode == kLoadImmJump && ra == 0) return Flow::call;
    if (opcode == kJump && (before_opcode == kLoadImm || before_opcode == kLoadImm64) && before_ra == 0)
        return Flow::call;
    if (opcode == kJumpInd && ra == 0 && vx == 0) return Flow::ret;
    return Flow::none;
}

class Profiler {
public:
    // A run starting at `start_pc` in a program of `code_length` code bytes.
    Profiler(uint32_t start_pc, uint32_t code_length);

    void leave(Flow flow) { pending_ = flow; }

    // Block `start` is charged `gas`.
    void enter(uint32_t start, uint32_t gas) {
        if (pending_ != Flow::none) follow(start);
        block_ = start;
        Count& c = count(start);
        ++c.entries;
        c.gas += gas;
        nodes_[node_].gas += gas;
    }

    // Gas charged (positive) or given back (negative) inside the current block.
    void adjust(int64_t gas) {
        count(block_).gas += static_cast<uint64_t>(gas);
        nodes_[node_].gas += static_cast<uint64_t>(gas);
    }

    // (blocks, nodes): [(start pc, entries, gas)] by pc, and the tree as
    // [(function pc, parent index or -1, exclusive gas, calls)], root first.
    PyObject* to_python() const;

private:
    struct Count {
        uint64_t entries = 0;
        uint64_t gas = 0;
    };
    struct Node {
        uint32_t function;
        int32_t parent;
        uint64_t gas;
        uint64_t calls;
    };

    Count& count(uint32_t pc) { return pc < near_.size() ? near_[pc] : far_[pc]; }
    void follow(uint32_t start);  // applies the pending call or return on entering `start`

    std::vector<Count> near_;                    // by pc within the code
    std::unordered_map<uint32_t, Count> far_;    // pcs past it (a run started there)
    std::vector<Node> nodes_;
    std::unordered_map<uint64_t, uint32_t> children_;  // (node << 32 | function) -> node
    std::vector<uint32_t> stack_;                      // the callers' nodes
    uint32_t node_ = 0;
    uint32_t block_;
    Flow pending_ = Flow::none;
};

}  // namespace pvm::engine
