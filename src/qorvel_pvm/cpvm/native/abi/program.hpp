// Shared layout of qorvel_pvm.cpvm.vm_program: CyProgram and its method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace pvm {

inline constexpr const char* kProgramModule = "qorvel_pvm.cpvm.vm_program";

struct CyProgram;

// Method table, in slot order.  Operations that can fail return their error
// value (NULL, -1 or 0xFFFFFFFF) with an exception set.
struct CyProgram_vtable {
    PyObject* (*_precompute_cache)(CyProgram* self);
    int32_t (*encode_size)(CyProgram* self);
    int32_t (*encode_into)(CyProgram* self, PyObject* buffer, int32_t offset);
    uint32_t (*branch)(CyProgram* self, int32_t pc, int32_t target, int condition);
    uint32_t (*skip)(CyProgram* self, int32_t pc);
    uint32_t (*djump)(CyProgram* self, uint32_t pc, uint32_t address);
};
inline constexpr const char* kCyProgramVtableSig = "CyProgram_vtable";

struct CyProgram {
    PyObject_HEAD
    CyProgram_vtable* vtab;
    int32_t z;
    PyObject* jump_table;
    PyObject* instruction_set;
    PyObject* offset_bitmask;
    PyObject* basic_blocks;
    int32_t instruction_set_len;
    int32_t jump_table_len;
    PyObject* _extended_bitmask;
    uint8_t* zeta;        // the code bytes
    int32_t zeta_len;     // number of code bytes
    PyObject* _basic_blocks_set;
    PyObject* _exec_blocks;
    int32_t* _skip_cache;
    int32_t _skip_cache_len;
    // Native views private to vm_program, built once when the program is
    // decoded and never changed afterwards.
    uint64_t* _block_bits;        // bit p set: position p (0..zeta_len) starts a basic block
    const uint8_t* _start_flags;  // byte p is 1 at an instruction start (zeta_len + 25 bytes,
                                  // positions past the code count as starts)
    uint32_t* _jump_entries;      // the jump_table_len jump-table entries
};

}  // namespace pvm
