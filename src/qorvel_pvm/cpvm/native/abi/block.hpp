// Shared layout of qorvel_pvm.cpvm.vm_block: compiled instructions and blocks.
#pragma once

#include "op_table.hpp"

namespace pvm {

inline constexpr const char* kBlockModule = "qorvel_pvm.cpvm.vm_block";

struct CyCompiledInstruction {
    PyObject_HEAD
    int32_t opcode;
    uint32_t next_pc;
    PyObject* handler;  // CyTableEntry or None
    uint64_t vx;
    uint64_t vy;
    uint8_t ra;
    uint8_t rb;
    uint8_t rd;
};

struct CyBlockInfo;

struct CyBlockInfo_vtable {
    // Runs the block; returns (next pc, total_gas) or NULL with an exception.
    PyObject* (*execute)(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr,
                         CyMemory* memory);
    // The same run for native callers: 0 with the next pc in *next_pc, or -1
    // with an exception set; no result objects are built.
    int (*execute_to)(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr,
                      CyMemory* memory, uint32_t* next_pc);
    // Part of the block: at most `limit` instructions from list index
    // `first`, the first called with `start_pc` as its counter, stopping
    // after a terminating one.  0 with the pc to continue at in *next_pc, the
    // number run in *ran and whether a terminating instruction ended the
    // block in *ended; -1 with an exception set (a PvmExit carries next_pc
    // and gas_cost counted from the start of the block, as with `execute`).
    int (*execute_part)(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr,
                        CyMemory* memory, uint32_t first, uint32_t limit, uint32_t* next_pc, uint32_t* ran,
                        int* ended);
};
inline constexpr const char* kCyBlockInfoVtableSig = "CyBlockInfo_vtable";

struct CyBlockInfo {
    PyObject_HEAD
    CyBlockInfo_vtable* vtab;
    uint32_t total_gas;
    PyObject* instructions;  // list or None
};

}  // namespace pvm
