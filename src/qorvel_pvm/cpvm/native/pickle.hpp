// The one pickling machinery shared by every class of the package.
//
// A class lists its fields once, in alphabetical order of their names, each
// with a getter and a setter (usually its attribute accessors).  From that
// list it gets `__reduce__`, `__setstate__` and a module-level reconstructor:
//
//   state    = (field values in alphabetical order) [+ (__dict__,) if non-empty]
//   reduce   = (reconstructor, (type, checksum, state))                 plain form
//            | (reconstructor, (type, checksum, None), state)           set-state form
//
// The set-state form is used when the instance dictionary was appended or an
// object-valued field is not None.  The checksum written is the first seven
// hex digits of the SHA-256 digest of the field names joined by spaces; the
// reconstructor also accepts the SHA-1 and MD5 variants of the same text.
#pragma once

#include "convert.hpp"

#include <cstdint>
#include <string>

namespace pvm {

struct PickleField {
    const char* name;
    getter get;    // returns a new reference
    setter set;    // assigns one state element; -1 with an exception on error
    bool is_object;  // object-valued: a non-None value selects the set-state form
};

struct PickleSpec {
    const char* class_name;       // for error messages
    PyTypeObject* type;           // base class whose __new__ creates objects
    const PickleField* fields;    // alphabetical
    Py_ssize_t nfields;
    const char* reconstructor_name;  // module attribute of the reconstructor
    // Filled by `init_pickle`:
    long long checksums[3] = {0, 0, 0};  // SHA-256, SHA-1, MD5 prefixes
    std::string members{};               // "a, b, c" for the checksum message
    PyObject* reconstructor = nullptr;   // strong, for the life of the process
};

namespace detail {

inline long long digest_prefix(PyObject* hashlib, const char* algo, PyObject* text) {
    Owned h = Owned::steal(PyObject_CallMethod(hashlib, "new", "sO", algo, text));
    if (!h) return -1;
    Owned hex = Owned::steal(PyObject_CallMethod(h.get(), "hexdigest", nullptr));
    if (!hex) return -1;
    Owned head = Owned::steal(PyUnicode_Substring(hex.get(), 0, 7));
    if (!head) return -1;
    Owned value = Owned::steal(PyLong_FromUnicodeObject(head.get(), 16));
    if (!value) return -1;
    return PyLong_AsLongLong(value.get());
}

}  // namespace detail

// Computes the accepted checksums and binds the module's reconstructor.
// Call from the module's exec step after the reconstructor was added.
inline int init_pickle(PyObject* module, PickleSpec& spec) {
    std::string joined;
    for (Py_ssize_t i = 0; i < spec.nfields; ++i) {
        if (i) {
            joined += ' ';
            spec.members += ", ";
        }
        joined += spec.fields[i].name;
        spec.members += spec.fields[i].name;
    }
    Owned hashlib = Owned::steal(PyImport_ImportModule("hashlib"));
    if (!hashlib) return -1;
    Owned text = Owned::steal(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
    if (!text) return -1;
    const char* algos[3] = {"sha256", "sha1", "md5"};
    for (int i = 0; i < 3; ++i) {
        spec.checksums[i] = detail::digest_prefix(hashlib.get(), algos[i], text.get());
        if (spec.checksums[i] == -1) return -1;
    }
    spec.reconstructor = PyObject_GetAttrString(module, spec.reconstructor_name);
    return spec.reconstructor ? 0 : -1;
}

// Returns a new reference to the instance dict if it exists and is non-empty,
// None-free NULL without exception otherwise.
inline PyObject* nonempty_instance_dict(PyObject* self) {
    PyObject* d = PyObject_GetAttrString(self, "__dict__");
    if (d == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        return nullptr;
    }
    int truth = PyObject_IsTrue(d);
    if (truth <= 0) {
        Py_DECREF(d);
        return nullptr;  // an error of the truth test stays pending
    }
    return d;
}

inline PyObject* pickle_reduce(PyObject* self, const PickleSpec& spec) {
    Owned dict = Owned::steal(nonempty_instance_dict(self));
    if (!dict && PyErr_Occurred()) return nullptr;
    Py_ssize_t n = spec.nfields + (dict ? 1 : 0);
    Owned state = Owned::steal(PyTuple_New(n));
    if (!state) return nullptr;
    bool setstate_form = static_cast<bool>(dict);
    for (Py_ssize_t i = 0; i < spec.nfields; ++i) {
        PyObject* v = spec.fields[i].get(self, nullptr);
        if (v == nullptr) return nullptr;
        if (spec.fields[i].is_object && v != Py_None) setstate_form = true;
        PyTuple_SET_ITEM(state.get(), i, v);
    }
    if (dict) PyTuple_SET_ITEM(state.get(), spec.nfields, dict.release());
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (setstate_form)
        return Py_BuildValue("O(OLO)O", spec.reconstructor, type, spec.checksums[0], Py_None, state.get());
    return Py_BuildValue("O(OLO)", spec.reconstructor, type, spec.checksums[0], state.get());
}

// Applies a state tuple: every field's setter in order, then the instance
// dictionary from the element after the fields when it is present and true.
// A tuple shorter than the field list is refused before anything is read.
inline int pickle_apply_state(PyObject* self, const PickleSpec& spec, PyObject* state) {
    Py_ssize_t len = PyTuple_GET_SIZE(state);
    if (len < spec.nfields) {
        PyErr_Format(PyExc_TypeError, "%s state tuple has %zd elements, expected at least %zd",
                     spec.class_name, len, spec.nfields);
        return -1;
    }
    for (Py_ssize_t i = 0; i < spec.nfields; ++i) {
        if (spec.fields[i].set(self, PyTuple_GET_ITEM(state, i), nullptr) < 0) return -1;
    }
    if (len > spec.nfields) {
        PyObject* extra = PyTuple_GET_ITEM(state, spec.nfields);
        int truth = PyObject_IsTrue(extra);
        if (truth < 0) return -1;
        if (truth) {
            Owned d = Owned::steal(PyObject_GetAttrString(self, "__dict__"));
            if (!d) return -1;
            Owned r = Owned::steal(PyObject_CallMethod(d.get(), "update", "O", extra));
            if (!r) return -1;
        }
    }
    return 0;
}

inline PyObject* pickle_setstate(PyObject* self, const PickleSpec& spec, PyObject* state) {
    if (!check_state_tuple(state)) return nullptr;
    if (pickle_apply_state(self, spec, state) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The module-level reconstructor: (type, checksum, state or None).
inline PyObject* pickle_reconstruct(const PickleSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    const char* funcname) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 3 positional arguments (%zd given)", funcname,
                     nargs);
        return nullptr;
    }
    int64_t checksum;
    if (!to_i64(args[1], &checksum)) return nullptr;
    PyObject* state = args[2];
    if (state != Py_None && !check_arg_type(state, &PyTuple_Type, "state", true, true)) return nullptr;
    if (checksum != spec.checksums[0] && checksum != spec.checksums[1] && checksum != spec.checksums[2]) {
        Owned pickle = Owned::steal(PyImport_ImportModule("pickle"));
        if (!pickle) return nullptr;
        Owned err = Owned::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
        if (!err) return nullptr;
        PyErr_Format(err.get(), "Incompatible checksums (0x%llx vs (0x%llx, 0x%llx, 0x%llx) = (%s))",
                     static_cast<unsigned long long>(checksum),
                     static_cast<unsigned long long>(spec.checksums[0]),
                     static_cast<unsigned long long>(spec.checksums[1]),
                     static_cast<unsigned long long>(spec.checksums[2]), spec.members.c_str());
        return nullptr;
    }
    Owned obj = Owned::steal(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(spec.type), "__new__", "O", args[0]));
    if (!obj) return nullptr;
    if (state != Py_None && pickle_apply_state(obj.get(), spec, state) < 0) return nullptr;
    return obj.release();
}

// Method-table entries for a class whose PickleSpec is the static `S`.
template <PickleSpec& S>
PyObject* reduce_method(PyObject* self, PyObject*) {
    return pickle_reduce(self, S);
}

template <PickleSpec& S>
PyObject* setstate_method(PyObject* self, PyObject* state) {
    return pickle_setstate(self, S, state);
}

template <PickleSpec& S>
PyObject* reconstruct_function(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return pickle_reconstruct(S, args, nargs, S.reconstructor_name);
}

#define PVM_PICKLE_METHODS(spec)                                                        \
    {"__reduce__", ::pvm::cfunc(::pvm::reduce_method<spec>), METH_NOARGS, \
     nullptr},                                                                          \
    {"__setstate__", ::pvm::cfunc(::pvm::setstate_method<spec>), METH_O, nullptr}

#define PVM_RECONSTRUCTOR(spec)                                                                    \
    {(spec).reconstructor_name, ::pvm::cfunc(::pvm::reconstruct_function<spec>), \
     METH_FASTCALL, nullptr}

}  // namespace pvm
