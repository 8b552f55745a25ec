// The block compiler: the engine that translates the native form of each
// basic block into x86-64 machine code on first use and runs that.
//
// The driver hands it a run the native loop would take, once the native loop
// has run the run's first window of gas (`End::tier_up`): short runs never
// pay for translation.  Generated code keeps nine of the thirteen guest
// registers in host registers, charges each block's gas at its start, does
// arithmetic inline, loads and stores through the memory's page map with
// the permission test, and goes straight from a block to the next through
// an 8-byte link (or directly when the next block's code already exists).
// Everything else (the first use of a link or a jump-table entry, an access
// the map cannot serve, a host call, sbrk, a periodic check, an exit of the
// program) returns to `run`, which does what the native loop does there and
// goes on.  Blocks without a native form, a full code buffer and a change to
// the blocks hand the run back to the driver (`End::handover`).
//
// Supported on x86-64 Linux with the POPCNT, LZCNT and BMI1 instructions;
// elsewhere `supported()` is false and runs stay on the native loop.
#pragma once

#include "engines/engine.hpp"
#include "engines/native_loop.hpp"

#include <cstddef>

namespace pvm::jit {

struct Cache;

// Whether this machine can run compiled blocks.
bool supported();

// The default for new interpreters: on where supported, off with the
// environment variable QORVEL_PVM_JIT=0 (read at import).
extern bool enabled;

// Bytes of code a program's blocks may take; past it, runs of the program
// go on on the native loop.
extern size_t code_limit;

Cache* new_cache();  // NULL with MemoryError
void free_cache(Cache* cache);

// Runs the request (which starts at a block start, uncharged) on compiled
// blocks of `native`, the interpreter's native-loop cache.
engine::Outcome run(Cache* cache, native_loop::Cache* native, const engine::Driver& driver,
                    const engine::Request& request);

// Whether the cache can take more code (false once the buffer was full or
// could not be made).
bool has_room(const Cache* cache);

// Bytes of generated code and blocks compiled, for tests and tools.
size_t code_size(const Cache* cache);
size_t compiled_blocks(const Cache* cache);

}  // namespace pvm::jit
