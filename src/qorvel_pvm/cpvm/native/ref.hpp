// Owned and borrowed object references.
//
// An `Owned` holds one strong reference and releases it when it goes out of
// scope; a `Borrowed` is a plain pointer that documents "someone else keeps
// this alive".  Code that hands a reference to CPython calls `release()`, so
// every transfer of ownership is visible at the call site.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <utility>

namespace pvm {

// The last dotted component of a type's name ("CyMemory" for
// "qorvel_pvm.cpvm.vm_memory.CyMemory"), as messages and reprs show it.
inline const char* type_short_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

class Owned {
public:
    Owned() noexcept = default;
    // Adopts a new reference (the result of a CPython call that returns one).
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    // Takes an additional reference to an object someone else owns.
    static Owned incref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Owned(p);
    }

    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Owned() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller, who now owns it.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Owned(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Casts any C function to the PyCFunction slot of a method table; the
// METH_* flags next to it tell CPython the real signature.
template <class F>
inline PyCFunction cfunc(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A reference that is valid only while its owner keeps the object alive.
using Borrowed = PyObject*;

// Replaces the object held in a struct field, taking a new reference to
// `value` and dropping the old one only after the field is updated (the old
// object's destructor may run arbitrary code that looks at the field).
inline void replace_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    Py_XINCREF(value);
    field = value;
    Py_XDECREF(old);
}

// Saves the pending exception and puts it back when the scope ends; used by
// destructors, which must not clobber an exception in flight.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { PyErr_SetRaisedException(exc_); }

private:
    PyObject* exc_;
};

}  // namespace pvm
