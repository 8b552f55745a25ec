// qorvel_pvm.cpvm.vm_utils: numeric helpers and lookup tables.
//
// Each helper is published as a native function with its signature text for
// the other extension modules and is also callable from Python under the same
// name, with its arguments converted to the declared widths.  Helpers refuse
// what they cannot represent (a byte count above 8, a bytes object of the
// wrong length, a page range past 2**32) with a Python exception and their
// error value instead of reading or computing past it.
#include "abi/utils.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "numeric.hpp"

#include <cstring>

namespace {

using namespace pvm;

ModuleGuard guard("vm_utils");

// ----- lookup tables --------------------------------------------------------

// BYTE_TO_BITS_LUT[b][k] is bit k of b (least significant first): unpacks the
// instruction-start bitmask one byte at a time.  BYTES_TO_BYTE_LUT[b] is b
// with its bit order reversed: converts between LSB-first and MSB-first
// packings of that mask.
uint8_t BYTE_TO_BITS_LUT[256][8];
uint8_t BYTES_TO_BYTE_LUT[256];

void fill_tables() {
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned k = 0; k < 8; ++k) BYTE_TO_BITS_LUT[b][k] = static_cast<uint8_t>((b >> k) & 1);
        BYTES_TO_BYTE_LUT[b] = num::reverse_bits(static_cast<uint8_t>(b));
    }
}

// ----- native helpers -------------------------------------------------------

bool check_count(uint8_t n, const char* what) {
    if (n <= 8) return true;
    PyErr_Format(PyExc_ValueError, "%s: byte count must be 0 to 8, got %u", what, static_cast<unsigned>(n));
    return false;
}

uint8_t clamp_12(uint8_t x) { return num::clamp_12(x); }
uint8_t clamp_4(uint8_t x) { return num::clamp_4(x); }
uint8_t clamp_4_max0(int8_t x) { return num::clamp_4_max0(x); }

int64_t z(uint64_t x, uint8_t n) {
    if (!check_count(n, "z")) return -1;
    return num::z(x, n);
}

int64_t chi(uint64_t x, uint8_t n) {
    if (!check_count(n, "chi")) return -1;
    return num::chi(x, n);
}

uint64_t z_inv(int64_t x, uint8_t n) {
    if (!check_count(n, "z_inv")) return 0;
    return num::z_inv(x, n);
}

PyObject* le_bytes(uint64_t v, uint8_t n, const char* what) {
    if (!check_count(n, what)) return nullptr;
    uint8_t buf[8];
    num::store_le(buf, v, n);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), n);
}

PyObject* uint8_to_bytes_le(uint8_t v, uint8_t n) { return le_bytes(v, n, "uint8_to_bytes_le"); }
PyObject* uint16_to_bytes_le(uint16_t v, uint8_t n) { return le_bytes(v, n, "uint16_to_bytes_le"); }
PyObject* uint32_to_bytes_le(uint32_t v, uint8_t n) { return le_bytes(v, n, "uint32_to_bytes_le"); }
PyObject* uint64_to_bytes_le(uint64_t v, uint8_t n) { return le_bytes(v, n, "uint64_to_bytes_le"); }

// Reads exactly `width` little-endian bytes from a bytes object.
bool read_exact(PyObject* d, unsigned width, const char* what, uint64_t* out) {
    if (!PyBytes_Check(d)) {
        PyErr_Format(PyExc_TypeError, "%s: expected bytes, got %.200s", what, Py_TYPE(d)->tp_name);
        return false;
    }
    if (PyBytes_GET_SIZE(d) != static_cast<Py_ssize_t>(width)) {
        PyErr_Format(PyExc_ValueError, "%s: expected %u bytes, got %zd", what, width, PyBytes_GET_SIZE(d));
        return false;
    }
    *out = num::load_le(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(d)), width);
    return true;
}

uint8_t bytes_to_uint8_le(PyObject* d) {
    uint64_t v;
    return read_exact(d, 1, "bytes_to_uint8_le", &v) ? static_cast<uint8_t>(v) : 0xFF;
}
uint16_t bytes_to_uint16_le(PyObject* d) {
    uint64_t v;
    return read_exact(d, 2, "bytes_to_uint16_le", &v) ? static_cast<uint16_t>(v) : 0xFFFF;
}
uint32_t bytes_to_uint32_le(PyObject* d) {
    uint64_t v;
    return read_exact(d, 4, "bytes_to_uint32_le", &v) ? static_cast<uint32_t>(v) : 0xFFFFFFFFu;
}
uint64_t bytes_to_uint64_le(PyObject* d) {
    uint64_t v;
    return read_exact(d, 8, "bytes_to_uint64_le", &v) ? v : ~uint64_t{0};
}

// Rounds n up to a multiple of `unit`; a result past 32 bits is refused.
uint32_t round_up(uint32_t n, uint32_t unit, const char* what) {
    uint64_t r = (static_cast<uint64_t>(n) + unit - 1) / unit * unit;
    if (r > 0xFFFFFFFFu) {
        PyErr_Format(PyExc_OverflowError, "%s(%u) does not fit in 32 bits", what, n);
        return 0;
    }
    return static_cast<uint32_t>(r);
}

uint32_t total_page_size(uint32_t n) { return round_up(n, 4096, "total_page_size"); }
uint32_t total_zone_size(uint32_t n) { return round_up(n, 65536, "total_zone_size"); }

PyObject* get_pages(uint32_t address, uint32_t size) {
    if (size == 0) return PyList_New(0);
    uint64_t last = static_cast<uint64_t>(address) + size - 1;
    if (last > 0xFFFFFFFFu) {
        PyErr_Format(PyExc_ValueError,
                     "get_pages: the range of %u bytes at 0x%x runs past the end of the address space",
                     size, address);
        return nullptr;
    }
    uint32_t first = address >> 12, end = static_cast<uint32_t>(last >> 12);
    Owned list = Owned::steal(PyList_New(end - first + 1));
    if (!list) return nullptr;
    for (uint32_t p = first; p <= end; ++p) {
        PyObject* v = PyLong_FromUnsignedLong(p);
        if (v == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), p - first, v);
    }
    return list.release();
}

PyObject* b(uint64_t x, uint8_t n, int is_reversed) {
    if (!check_count(n, "b")) return nullptr;
    uint8_t buf[8];
    num::store_le(buf, x, n);
    if (is_reversed)
        for (unsigned i = 0; i < n / 2u; ++i) std::swap(buf[i], buf[n - 1 - i]);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), n);
}

uint64_t b_inv(PyObject* data, int is_reversed) {
    if (!PyBytes_Check(data)) {
        PyErr_Format(PyExc_TypeError, "b_inv: expected bytes, got %.200s", Py_TYPE(data)->tp_name);
        return 0;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n > 8) {
        PyErr_Format(PyExc_ValueError, "b_inv: at most 8 bytes, got %zd", n);
        return 0;
    }
    uint8_t buf[8];
    std::memcpy(buf, PyBytes_AS_STRING(data), static_cast<size_t>(n));
    if (is_reversed)
        for (Py_ssize_t i = 0; i < n / 2; ++i) std::swap(buf[i], buf[n - 1 - i]);
    return num::load_le(buf, static_cast<unsigned>(n));
}

// ----- Python wrappers --------------------------------------------------------

template <class T>
bool conv(PyObject* o, T* out);
template <> bool conv(PyObject* o, uint8_t* out) { return to_u8(o, out); }
template <> bool conv(PyObject* o, int8_t* out) { return to_i8(o, out); }
template <> bool conv(PyObject* o, uint32_t* out) { return to_u32(o, out); }
template <> bool conv(PyObject* o, uint64_t* out) { return to_u64(o, out); }
template <> bool conv(PyObject* o, int64_t* out) { return to_i64(o, out); }
template <> bool conv(PyObject* o, uint16_t* out) {
    uint32_t v;
    if (!to_u32(o, &v)) return false;
    if (v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint16_t");
        return false;
    }
    *out = static_cast<uint16_t>(v);
    return true;
}

PyObject* result(uint8_t v) { return PyErr_Occurred() ? nullptr : PyLong_FromUnsignedLong(v); }
PyObject* result(uint16_t v) { return PyErr_Occurred() ? nullptr : PyLong_FromUnsignedLong(v); }
PyObject* result(uint32_t v) { return PyErr_Occurred() ? nullptr : PyLong_FromUnsignedLong(v); }
PyObject* result(uint64_t v) { return PyErr_Occurred() ? nullptr : PyLong_FromUnsignedLongLong(v); }
PyObject* result(int64_t v) { return PyErr_Occurred() ? nullptr : PyLong_FromLongLong(v); }
PyObject* result(PyObject* v) { return v; }

// Wraps a native helper of one or two converted integer arguments.
template <auto Fn, class A>
PyObject* wrap1(PyObject*, PyObject* arg) {
    A a;
    if (!conv(arg, &a)) return nullptr;
    return result(Fn(a));
}

template <auto Fn, class A, class B>
PyObject* wrap2(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    A a;
    B b2;
    if (!conv(args[0], &a) || !conv(args[1], &b2)) return nullptr;
    return result(Fn(a, b2));
}

template <auto Fn>
PyObject* wrap_bytes(PyObject*, PyObject* arg) {
    return result(Fn(arg));
}

PyObject* py_b(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"x", "n", "is_reversed", nullptr};
    PyObject *ox, *on;
    int rev = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|p:b", const_cast<char**>(kwlist), &ox, &on, &rev))
        return nullptr;
    uint64_t x;
    uint8_t n;
    if (!to_u64(ox, &x) || !to_u8(on, &n)) return nullptr;
    return b(x, n, rev);
}

PyObject* py_b_inv(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"data", "is_reversed", nullptr};
    PyObject* data;
    int rev = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|p:b_inv", const_cast<char**>(kwlist), &data, &rev))
        return nullptr;
    return result(b_inv(data, rev));
}

#define FAST(fn, doc) {#fn, cfunc(fn), METH_FASTCALL, doc}
#define ONE(name, fn, doc) {name, cfunc(fn), METH_O, doc}

PyMethodDef methods[] = {
    ONE("clamp_12", (wrap1<clamp_12, uint8_t>), "clamp_12(x) -> min(12, x)"),
    ONE("clamp_4", (wrap1<clamp_4, uint8_t>), "clamp_4(x) -> min(4, x)"),
    ONE("clamp_4_max0", (wrap1<clamp_4_max0, int8_t>), "clamp_4_max0(x) -> min(4, max(0, x))"),
    {"z", cfunc(wrap2<z, uint64_t, uint8_t>), METH_FASTCALL,
     "z(x, n) -> signed reading of the low n bytes of x"},
    {"chi", cfunc(wrap2<chi, uint64_t, uint8_t>), METH_FASTCALL,
     "chi(x, n) -> low n bytes of x sign-extended to 64 bits (as a signed int)"},
    {"z_inv", cfunc(wrap2<z_inv, int64_t, uint8_t>), METH_FASTCALL,
     "z_inv(x, n) -> x mod 2**(8n)"},
    {"uint8_to_bytes_le", cfunc(wrap2<uint8_to_bytes_le, uint8_t, uint8_t>),
     METH_FASTCALL, "uint8_to_bytes_le(v, n) -> n little-endian bytes of v"},
    {"uint16_to_bytes_le", cfunc(wrap2<uint16_to_bytes_le, uint16_t, uint8_t>),
     METH_FASTCALL, "uint16_to_bytes_le(v, n) -> n little-endian bytes of v"},
    {"uint32_to_bytes_le", cfunc(wrap2<uint32_to_bytes_le, uint32_t, uint8_t>),
     METH_FASTCALL, "uint32_to_bytes_le(v, n) -> n little-endian bytes of v"},
    {"uint64_to_bytes_le", cfunc(wrap2<uint64_to_bytes_le, uint64_t, uint8_t>),
     METH_FASTCALL, "uint64_to_bytes_le(v, n) -> n little-endian bytes of v"},
    ONE("bytes_to_uint8_le", wrap_bytes<bytes_to_uint8_le>, "bytes_to_uint8_le(d) -> int"),
    ONE("bytes_to_uint16_le", wrap_bytes<bytes_to_uint16_le>, "bytes_to_uint16_le(d) -> int"),
    ONE("bytes_to_uint32_le", wrap_bytes<bytes_to_uint32_le>, "bytes_to_uint32_le(d) -> int"),
    ONE("bytes_to_uint64_le", wrap_bytes<bytes_to_uint64_le>, "bytes_to_uint64_le(d) -> int"),
    ONE("total_page_size", (wrap1<total_page_size, uint32_t>), "total_page_size(n) -> n rounded up to 4096"),
    ONE("total_zone_size", (wrap1<total_zone_size, uint32_t>), "total_zone_size(n) -> n rounded up to 65536"),
    {"get_pages", cfunc(wrap2<get_pages, uint32_t, uint32_t>), METH_FASTCALL,
     "get_pages(address, size) -> list of the page numbers the byte range touches"},
    {"b", cfunc(py_b), METH_VARARGS | METH_KEYWORDS,
     "b(x, n, is_reversed=False) -> the low n bytes of x, little-endian (big-endian if reversed)"},
    {"b_inv", cfunc(py_b_inv), METH_VARARGS | METH_KEYWORDS,
     "b_inv(data, is_reversed=False) -> the unsigned value of up to 8 little-endian bytes"},
    {nullptr, nullptr, 0, nullptr}};

PyObject* lut_tuple_1d() {
    Owned t = Owned::steal(PyTuple_New(256));
    if (!t) return nullptr;
    for (int i = 0; i < 256; ++i) {
        PyObject* v = PyLong_FromLong(BYTES_TO_BYTE_LUT[i]);
        if (v == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, v);
    }
    return t.release();
}

PyObject* lut_tuple_2d() {
    Owned t = Owned::steal(PyTuple_New(256));
    if (!t) return nullptr;
    for (int i = 0; i < 256; ++i) {
        PyObject* row = Py_BuildValue("(iiiiiiii)", BYTE_TO_BITS_LUT[i][0], BYTE_TO_BITS_LUT[i][1],
                                      BYTE_TO_BITS_LUT[i][2], BYTE_TO_BITS_LUT[i][3], BYTE_TO_BITS_LUT[i][4],
                                      BYTE_TO_BITS_LUT[i][5], BYTE_TO_BITS_LUT[i][6], BYTE_TO_BITS_LUT[i][7]);
        if (row == nullptr) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, row);
    }
    return t.release();
}

int exec_module(PyObject* m) {
    using namespace pvm::utils;
    fill_tables();
    if (publish_function(m, "clamp_12", clamp_12, kClampSig) < 0 ||
        publish_function(m, "clamp_4", clamp_4, kClampSig) < 0 ||
        publish_function(m, "clamp_4_max0", clamp_4_max0, kClampSignedSig) < 0 ||
        publish_function(m, "z", z, kSignedReadSig) < 0 || publish_function(m, "chi", chi, kSignedReadSig) < 0 ||
        publish_function(m, "z_inv", z_inv, kZInvSig) < 0 ||
        publish_function(m, "uint8_to_bytes_le", uint8_to_bytes_le, kToBytes8Sig) < 0 ||
        publish_function(m, "uint16_to_bytes_le", uint16_to_bytes_le, kToBytes16Sig) < 0 ||
        publish_function(m, "uint32_to_bytes_le", uint32_to_bytes_le, kToBytes32Sig) < 0 ||
        publish_function(m, "uint64_to_bytes_le", uint64_to_bytes_le, kToBytes64Sig) < 0 ||
        publish_function(m, "bytes_to_uint8_le", bytes_to_uint8_le, kFromBytes8Sig) < 0 ||
        publish_function(m, "bytes_to_uint16_le", bytes_to_uint16_le, kFromBytes16Sig) < 0 ||
        publish_function(m, "bytes_to_uint32_le", bytes_to_uint32_le, kFromBytes32Sig) < 0 ||
        publish_function(m, "bytes_to_uint64_le", bytes_to_uint64_le, kFromBytes64Sig) < 0 ||
        publish_function(m, "total_page_size", total_page_size, kSizeSig) < 0 ||
        publish_function(m, "total_zone_size", total_zone_size, kSizeSig) < 0 ||
        publish_function(m, "get_pages", get_pages, kGetPagesSig) < 0 ||
        publish_function(m, "b", b, kBSig) < 0 || publish_function(m, "b_inv", b_inv, kBInvSig) < 0 ||
        publish_variable(m, "BYTES_TO_BYTE_LUT", &BYTES_TO_BYTE_LUT, kBytesToByteLutSig) < 0 ||
        publish_variable(m, "BYTE_TO_BITS_LUT", &BYTE_TO_BITS_LUT, kByteToBitsLutSig) < 0)
        return -1;
    Owned t1 = Owned::steal(lut_tuple_1d());
    if (!t1 || PyModule_AddObjectRef(m, "BYTES_TO_BYTE_LUT", t1.get()) < 0) return -1;
    Owned t2 = Owned::steal(lut_tuple_2d());
    if (!t2 || PyModule_AddObjectRef(m, "BYTE_TO_BITS_LUT", t2.get()) < 0) return -1;
    return 0;
}

}  // namespace

PVM_DEFINE_MODULE(vm_utils, "Numeric helpers and lookup tables shared by the PVM modules.", methods, guard,
                  exec_module)
