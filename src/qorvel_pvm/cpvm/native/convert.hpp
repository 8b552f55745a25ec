// Integer and argument conversion with the package's error texts.
//
// Every Python-facing integer (argument, attribute, pickled field) goes
// through these helpers so that each width reports the same messages
// everywhere.  They return false with an exception set on failure and never
// touch the destination in that case, so callers keep their old value.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <limits>

namespace pvm {

// Turns `o` into an exact int: ints pass through, objects with __index__ are
// converted, anything else is TypeError "an integer is required".
inline Owned as_index(PyObject* o) {
    if (PyLong_Check(o)) return Owned::incref(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb == nullptr || nb->nb_index == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Owned();
    }
    return Owned::steal(PyNumber_Index(o));
}

namespace detail {

// Reads an int as a signed 64-bit value; `overflow` is -1 or +1 when it does
// not fit (value below or above the int64 range).
inline bool long_value(PyObject* o, long long* out, int* overflow) {
    Owned v = as_index(o);
    if (!v) return false;
    *out = PyLong_AsLongLongAndOverflow(v.get(), overflow);
    return !(*out == -1 && *overflow == 0 && PyErr_Occurred());
}

inline bool overflow_error(const char* msg) {
    PyErr_SetString(PyExc_OverflowError, msg);
    return false;
}

template <class T>
inline bool unsigned_narrow(PyObject* o, T* out, const char* negative, const char* too_large) {
    long long x;
    int overflow;
    if (!long_value(o, &x, &overflow)) return false;
    if (overflow < 0 || (overflow == 0 && x < 0)) return overflow_error(negative);
    if (overflow > 0 || static_cast<unsigned long long>(x) > std::numeric_limits<T>::max())
        return overflow_error(too_large);
    *out = static_cast<T>(x);
    return true;
}

template <class T>
inline bool signed_narrow(PyObject* o, T* out, const char* too_large) {
    long long x;
    int overflow;
    if (!long_value(o, &x, &overflow)) return false;
    if (overflow != 0 || x < std::numeric_limits<T>::min() || x > std::numeric_limits<T>::max())
        return overflow_error(too_large);
    *out = static_cast<T>(x);
    return true;
}

}  // namespace detail

inline bool to_u8(PyObject* o, uint8_t* out) {
    return detail::unsigned_narrow(o, out, "can't convert negative value to uint8_t",
                                   "value too large to convert to uint8_t");
}

inline bool to_u32(PyObject* o, uint32_t* out) {
    return detail::unsigned_narrow(o, out, "can't convert negative value to uint32_t",
                                   "value too large to convert to uint32_t");
}

inline bool to_i8(PyObject* o, int8_t* out) {
    return detail::signed_narrow(o, out, "value too large to convert to int8_t");
}

inline bool to_i32(PyObject* o, int32_t* out) {
    return detail::signed_narrow(o, out, "value too large to convert to int");
}

inline bool to_i64(PyObject* o, int64_t* out) {
    Owned v = as_index(o);
    if (!v) return false;
    long long x = PyLong_AsLongLong(v.get());
    if (x == -1 && PyErr_Occurred()) return false;
    *out = x;
    return true;
}

// uint64: negative values get the package's message, values above 2**64-1
// keep the interpreter's own OverflowError text.
inline bool to_u64(PyObject* o, uint64_t* out) {
    Owned v = as_index(o);
    if (!v) return false;
    int overflow;
    long long probe = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (probe == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && probe < 0))
        return detail::overflow_error("can't convert negative value to uint64_t");
    unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = x;
    return true;
}

// Truth value of an attribute assignment: True/False/None directly,
// everything else through its truth test.  -1 on error.
inline int to_flag(PyObject* o) {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

// ----- argument and attribute checks --------------------------------------

// Adds a note to the pending exception (BaseException.add_note).
inline void add_note_to_pending(const char* text) {
    PyObject* exc = PyErr_GetRaisedException();
    Owned r = Owned::steal(PyObject_CallMethod(exc, "add_note", "s", text));
    if (!r) {
        Py_DECREF(exc);
        return;  // the failure of add_note is the pending exception now
    }
    PyErr_SetRaisedException(exc);
}

// Argument of a declared type.  `exact` demands exactly `type` (built-in
// containers and int); otherwise subclass instances are accepted.  None is
// accepted when `none_ok`.  Error: TypeError "Argument 'x' has incorrect type
// (expected T, got U)", with a note when a subclass of an exact built-in type
// was passed.
inline bool check_arg_type(PyObject* o, PyTypeObject* type, const char* name, bool none_ok,
                           bool exact) {
    if (none_ok && o == Py_None) return true;
    if (Py_IS_TYPE(o, type)) return true;
    bool subclass = PyObject_TypeCheck(o, type);
    if (!exact && subclass) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, type->tp_name, Py_TYPE(o)->tp_name);
    if (exact && subclass)
        add_note_to_pending(
            "Note that subclasses of built-in types are rejected here: pass an instance of exactly "
            "the expected type.");
    return false;
}

// Attribute setter or state element of a declared container type: exactly
// `type` or None, else TypeError "Expected T, got U".
inline bool check_setter_type(PyObject* o, PyTypeObject* type) {
    if (o == Py_None || Py_IS_TYPE(o, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(o)->tp_name);
    return false;
}

// Object of a class (subclasses allowed) or None, else TypeError
// "Cannot convert U to T" where T is the class's full dotted name.
inline bool check_instance_or_none(PyObject* o, PyTypeObject* type, const char* full_name) {
    if (o == Py_None || PyObject_TypeCheck(o, type)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name, full_name);
    return false;
}

// Deleting a numeric attribute is refused.
inline int refuse_delete() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// Creation of a class that takes no constructor arguments: refuses any,
// unless a Python subclass defines its own __init__ to take them.
inline bool check_no_args(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    const bool has_args =
        (args != nullptr && PyTuple_GET_SIZE(args) != 0) || (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0);
    if (has_args && type->tp_init == PyBaseObject_Type.tp_init) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments", type_short_name(type));
        return false;
    }
    return true;
}

// `__setstate__` argument: a tuple, never None.
inline bool check_state_tuple(PyObject* state) {
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "cannot pass None into a C function argument that is declared 'not None'");
        return false;
    }
    return check_setter_type(state, &PyTuple_Type);
}

}  // namespace pvm
