// Native exports of qorvel_pvm.cpvm.vm_utils: numeric helpers and lookup
// tables, with the signature texts under which they are published.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace pvm::utils {

inline constexpr const char* kModule = "qorvel_pvm.cpvm.vm_utils";

using clamp_fn = uint8_t(uint8_t);           // clamp_12, clamp_4
using clamp_signed_fn = uint8_t(int8_t);     // clamp_4_max0
using signed_read_fn = int64_t(uint64_t, uint8_t);  // z, chi
using z_inv_fn = uint64_t(int64_t, uint8_t);
using to_bytes8_fn = PyObject*(uint8_t, uint8_t);
using to_bytes16_fn = PyObject*(uint16_t, uint8_t);
using to_bytes32_fn = PyObject*(uint32_t, uint8_t);
using to_bytes64_fn = PyObject*(uint64_t, uint8_t);
using from_bytes8_fn = uint8_t(PyObject*);
using from_bytes16_fn = uint16_t(PyObject*);
using from_bytes32_fn = uint32_t(PyObject*);
using from_bytes64_fn = uint64_t(PyObject*);
using size_fn = uint32_t(uint32_t);          // total_page_size, total_zone_size
using get_pages_fn = PyObject*(uint32_t, uint32_t);
using b_fn = PyObject*(uint64_t, uint8_t, int);  // b(x, n, is_reversed)
using b_inv_fn = uint64_t(PyObject*, int);        // b_inv(data, is_reversed)

inline constexpr const char* kClampSig = "uint8_t (uint8_t)";
inline constexpr const char* kClampSignedSig = "uint8_t (int8_t)";
inline constexpr const char* kSignedReadSig = "int64_t (uint64_t, uint8_t)";
inline constexpr const char* kZInvSig = "uint64_t (int64_t, uint8_t)";
inline constexpr const char* kToBytes8Sig = "PyObject *(uint8_t, uint8_t)";
inline constexpr const char* kToBytes16Sig = "PyObject *(uint16_t, uint8_t)";
inline constexpr const char* kToBytes32Sig = "PyObject *(uint32_t, uint8_t)";
inline constexpr const char* kToBytes64Sig = "PyObject *(uint64_t, uint8_t)";
inline constexpr const char* kFromBytes8Sig = "uint8_t (PyObject *)";
inline constexpr const char* kFromBytes16Sig = "uint16_t (PyObject *)";
inline constexpr const char* kFromBytes32Sig = "uint32_t (PyObject *)";
inline constexpr const char* kFromBytes64Sig = "uint64_t (PyObject *)";
inline constexpr const char* kSizeSig = "uint32_t (uint32_t)";
inline constexpr const char* kGetPagesSig = "PyObject *(uint32_t, uint32_t)";
inline constexpr const char* kBSig = "PyObject *(uint64_t, uint8_t, int)";
inline constexpr const char* kBInvSig = "uint64_t (PyObject *, int)";

// Lookup tables: BYTES_TO_BYTE_LUT[256] and BYTE_TO_BITS_LUT[256][8].
inline constexpr const char* kBytesToByteLutSig = "uint8_t [256]";
inline constexpr const char* kByteToBitsLutSig = "uint8_t [256][8]";

}  // namespace pvm::utils
