// The native run loop: the engine that runs a native form of the driver's
// compiled blocks in one C++ function, with no Python call per instruction.
//
// The driver keeps one `Cache` per interpreter (the native blocks, their
// links and the native jump table) and asks `eligible` before each run: the
// loop runs only exact CyProgram and CyMemory objects whose blocks no Python
// code has seen (`expose`) and whose table entries are still as their groups
// built them.  It then calls `run` with an engine::Request and gets an
// engine::Outcome back (engine.hpp).  A run that outlasts its first window
// of gas gives up the interpreter lock until it needs it again.
#pragma once

#include "engine.hpp"
#include "native_blocks.hpp"

#include <vector>
#include "native_support.hpp"

namespace pvm::native_loop {

struct Cache;

// Binds what the native engines use of the other modules; -1 with an exception.
int init(const engine::native::Setup& setup);

// Switched off by tests and benchmarks to send every run down the general path.
extern bool enabled;

Cache* new_cache(const CyProgram* program);  // NULL with MemoryError
void free_cache(Cache* cache);

// A cached block was handed to Python code, which may change it; only the
// general path honours that, so the interpreter's runs take it from now on.
void expose(Cache* cache);
bool exposed(const Cache* cache);

// Number of blocks given a native form so far.
Py_ssize_t native_blocks(const Cache* cache);

// The plain native form of the block at `pc`, built on first use, for an
// engine that translates it further; nullptr with an exception (with the
// interpreter lock held).
const engine::blocks::Block* block_at(Cache* cache, const engine::Driver& driver, CyProgram* program, uint32_t pc);

// Whether the blocks are still as built: not exposed, their entries
// unchanged (with the lock held).
bool current(Cache* cache);

// Calls `f(block)` for each block of the plain form built so far.
template <class F>
void each_block(const Cache* cache, F f);

// Whether a run of `program` on `memory` may take the loop.
bool eligible(Cache* cache, PyObject* program, PyObject* memory);

engine::Outcome run(Cache* cache, const engine::Driver& driver, const engine::Request& request);

// The blocks of the plain form by start pc (nullptr: not built), for each_block.
const std::vector<engine::blocks::Block*>& plain_blocks(const Cache* cache);

template <class F>
void each_block(const Cache* cache, F f) {
    for (const engine::blocks::Block* b : plain_blocks(cache))
        if (b != nullptr && b->kind == engine::blocks::Kind::normal) f(b);
}

}  // namespace pvm::native_loop
