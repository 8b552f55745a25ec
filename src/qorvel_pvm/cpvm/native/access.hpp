// Guest loads and stores through a memory's `read` and `write`, shared by
// every group that accesses memory.
//
// The access goes through the memory's method table with dispatch enabled,
// so a Python subclass of CyMemory that overrides `read` or `write` sees
// every access; whatever such an override returns is checked before a byte
// of it is used.  A refused access raises what the memory raised (a page
// fault is `PvmExit(2, address)`) and changes no register and no byte.
#pragma once

#include "abi/memory.hpp"
#include "alu.hpp"
#include "ref.hpp"

#include <cstring>

namespace pvm::access {

// The memory handed to a handler must be a CyMemory (`memory_type`): its
// method table is what the access goes through.
inline bool check_memory(CyMemory* memory, PyTypeObject* memory_type) {
    PyObject* o = reinterpret_cast<PyObject*>(memory);
    if (o != nullptr && memory_type != nullptr && PyObject_TypeCheck(o, memory_type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument 'memory' has incorrect type (expected %.200s, got %.200s)",
                 memory_type ? memory_type->tp_name : "CyMemory", o ? Py_TYPE(o)->tp_name : "NULL");
    return false;
}

// The little-endian bytes of the low `Bytes` bytes of `value`, as a bytes
// object for `write` (a new reference).
//
// A store would otherwise allocate and free one bytes object per executed
// instruction.  Each width keeps the object of its previous store instead and
// refills it when this module holds the only reference to it again, which is
// always the case after a plain CyMemory's `write`; then no one else can see
// the change.  Its cached hash is reset with the contents.  An object that a
// `write` override kept is left alone and a fresh one is made.  Single bytes
// come from CPython's shared one-byte objects and are never refilled.
template <unsigned Bytes>
PyObject* value_bytes(uint64_t value) {
    const alu::U<Bytes> le = alu::to_little(static_cast<alu::U<Bytes>>(value));
    if constexpr (Bytes == 1) {
        const char byte = static_cast<char>(le);
        return PyBytes_FromStringAndSize(&byte, 1);
    } else {
        static PyObject* spare = nullptr;  // strong, for the life of the process
        if (spare == nullptr || Py_REFCNT(spare) != 1) {
            PyObject* fresh = PyBytes_FromStringAndSize(nullptr, Bytes);
            if (fresh == nullptr) return nullptr;
            Py_XSETREF(spare, fresh);
        }
        std::memcpy(PyBytes_AS_STRING(spare), &le, Bytes);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        reinterpret_cast<PyBytesObject*>(spare)->ob_shash = -1;
#pragma GCC diagnostic pop
        return Py_NewRef(spare);
    }
}

// The unsigned little-endian value of a `read` result, which must be bytes
// of exactly the access width: a Python override of `read` may hand back
// None or a string of another length, and neither may be read past its end.
template <unsigned Bytes>
bool bytes_value(PyObject* data, alu::U<Bytes>* out) {
    if (!PyBytes_Check(data)) {
        PyErr_Format(PyExc_TypeError, "Expected bytes, got %.200s", Py_TYPE(data)->tp_name);
        return false;
    }
    if (PyBytes_GET_SIZE(data) != static_cast<Py_ssize_t>(Bytes)) {
        PyErr_Format(PyExc_ValueError, "Expected %u bytes from read, got %zd", Bytes, PyBytes_GET_SIZE(data));
        return false;
    }
    alu::U<Bytes> v;
    std::memcpy(&v, PyBytes_AS_STRING(data), Bytes);
    *out = alu::to_little(v);
    return true;
}

// Stores the low `Bytes` bytes of `value` at `address`; false with the
// exception set when the memory refuses.
template <unsigned Bytes>
bool store(CyMemory* memory, PyTypeObject* memory_type, uint32_t address, uint64_t value) {
    if (!check_memory(memory, memory_type)) return false;
    Owned data = Owned::steal(value_bytes<Bytes>(value));
    return data && memory->vtab->write(memory, address, data.get(), 0) >= 0;
}

// Loads `Bytes` bytes at `address`, zero- or sign-extended to 64 bits, into
// `*out`; false with the exception set (and `*out` untouched) when the
// memory refuses.
template <unsigned Bytes, bool Signed>
bool load(CyMemory* memory, PyTypeObject* memory_type, uint32_t address, uint64_t* out) {
    if (!check_memory(memory, memory_type)) return false;
    Owned data = Owned::steal(memory->vtab->read(memory, address, static_cast<int32_t>(Bytes), 0));
    alu::U<Bytes> value;
    if (!data || !bytes_value<Bytes>(data.get(), &value)) return false;
    *out = Signed ? alu::widen_signed<Bytes>(value) : static_cast<uint64_t>(value);
    return true;
}

}  // namespace pvm::access
