// Shared layout of qorvel_pvm.cpvm.instructions.op_table: the handler
// protocol, CyTableEntry, CyTable and the method table of every group class.
#pragma once

#include "memory.hpp"
#include "program.hpp"

namespace pvm {

inline constexpr const char* kOpTableModule = "qorvel_pvm.cpvm.instructions.op_table";

// An instruction handler.  Returns the pc to continue at, or kFallThrough to
// continue with the next instruction; on failure it sets an exception and
// returns kFallThrough.
using instr_fn_t = uint32_t (*)(CyProgram* program, uint64_t* registers, CyMemory* memory,
                                uint32_t counter, uint64_t vx, uint64_t vy, uint8_t ra, uint8_t rb,
                                uint8_t rd);
inline constexpr uint32_t kFallThrough = 0xFFFFFFFFu;

struct CyTableEntry {
    PyObject_HEAD
    instr_fn_t fn;  // empty (nullptr) in an entry created from Python
    uint32_t gas_cost;
    int is_terminating;
};

// Decoded operands, returned by value.
struct InstructionProps {
    uint64_t vx;
    uint64_t vy;
    uint8_t ra;
    uint8_t rb;
    uint8_t rd;
};

struct CyTable;

struct CyTable_vtable {
    InstructionProps (*get_props)(CyTable* self, uint32_t program_counter, CyProgram* program,
                                  uint32_t skip_index);
};
inline constexpr const char* kCyTableVtableSig = "CyTable_vtable";

struct CyTable {
    PyObject_HEAD
    CyTable_vtable* vtab;
};

// Every instruction group extends the base table with `get_table`.
struct CyGroup_vtable {
    CyTable_vtable base;
    PyObject* (*get_table)(CyTable* self, int skip_dispatch);  // new reference or NULL
};
inline constexpr const char* kCyGroupVtableSig = "CyGroup_vtable";

// op_table counts every change to an entry's gas cost or terminating flag
// in this variable.
inline constexpr const char* kEntryChangesName = "_entry_changes";
inline constexpr const char* kEntryChangesSig = "uint64_t";

// A group module publishes its opcode table under this name.
inline constexpr const char* kTableName = "TABLE";
inline constexpr const char* kTableSig = "PyObject *";

}  // namespace pvm
