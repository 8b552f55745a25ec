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

// Whether a run of `program` on `memory` may take the loop.
bool eligible(Cache* cache, PyObject* program, PyObject* memory);

engine::Outcome run(Cache* cache, const engine::Driver& driver, const engine::Request& request);

}  // namespace pvm::native_loop
