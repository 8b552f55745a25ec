// Shared layout of qorvel_pvm.cpvm.vm_status: CyStatus and the exit codes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace pvm {

// Exit codes used throughout the package.
inline constexpr uint8_t kHalt = 0;
inline constexpr uint8_t kPanic = 1;  // the trap exit
inline constexpr uint8_t kPageFault = 2;
inline constexpr uint8_t kOutOfGas = 3;
inline constexpr uint8_t kHostCall = 4;  // ecalli: PvmExit(4, index)
// How a run can stop between instructions (never raised as exits).
inline constexpr uint8_t kBreakpoint = 5;
inline constexpr uint8_t kStep = 6;
inline constexpr uint8_t kContinue = 255;

inline constexpr const char* kStatusModule = "qorvel_pvm.cpvm.vm_status";

struct CyStatus;

struct CyStatus_vtable {
    // Sets both fields; 0 on success (it cannot fail).
    int (*set_values)(CyStatus* self, uint8_t code, uint32_t reg);
};
inline constexpr const char* kCyStatusVtableSig = "CyStatus_vtable";

struct CyStatus {
    PyObject_HEAD
    CyStatus_vtable* vtab;
    uint8_t code;
    uint32_t register_;  // Python attribute `register`
};

// Native exports of vm_status.
using PageFaultFn = CyStatus* (uint32_t address);  // new reference, NULL on error
inline constexpr const char* kPageFaultSig = "CyStatus *(uint32_t)";
inline constexpr const char* kStatusVarSig = "CyStatus *";  // CONTINUE, HALT, OUT_OF_GAS, PANIC
inline constexpr const char* kStatusVarNames[4] = {"CONTINUE", "HALT", "OUT_OF_GAS", "PANIC"};

}  // namespace pvm
