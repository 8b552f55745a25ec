// What the native engines (the native loop, the block compiler) bind from
// the other modules and the slow paths they share.
#pragma once

#include "engine.hpp"

namespace pvm::engine::native {

// What the driver hands the native engines once, at import.
struct Setup {
    PyTypeObject* program_type;  // the exact types a run needs
    PyTypeObject* memory_type;
    PyTypeObject* compiled_type; // CyCompiledInstruction
    PyObject* const* entries;    // 256 slots: opcode -> the driver's CyTableEntry (NULL: undefined)
    PyObject* exit_type;         // PvmExit
};

struct Bound {
    PyTypeObject* program_type = nullptr;
    PyTypeObject* memory_type = nullptr;
    PyTypeObject* compiled_type = nullptr;
    PyObject* const* entries = nullptr;
    PyObject* exit_type = nullptr;
    const uint64_t* entry_changes = nullptr;  // op_table's count of entry changes
    direct_load_fn* load = nullptr;
    direct_store_fn* store = nullptr;
    page_map_fn* page_map = nullptr;
};
extern Bound bound;

// Binds the rest from the other modules; -1 with an exception.
int bind(const Setup& setup);

// An exception left by a group handler or the program at the instruction
// `opcode`: a PvmExit with a halt or panic code becomes that exit, a page
// fault that exit at the first refused page of the access (as the driver
// reports it, into *fault); anything else fails the run, with the traceback
// entry the block loop adds on the general path.
End from_exception(CyMemory* memory, int opcode, uint32_t* fault);

// Calls the group's own handler of the instruction (an op of a native block).
template <class Op>
inline void call_group(CyProgram* program, uint64_t* regs, CyMemory* memory, const Op* op) {
    const auto* entry = reinterpret_cast<const CyTableEntry*>(bound.entries[op->opcode]);
    entry->fn(program, regs, memory, op->pc, op->vx, op->vy, op->ra, op->rb, op->rd);
}

}  // namespace pvm::engine::native
