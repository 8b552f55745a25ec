// Native interface between the extension modules of the package.
//
// A module publishes its native functions and variables in one module-level
// dict, `__native_api__`, mapping each name to a capsule whose pointer is the
// function (or the address of the variable) and whose capsule name is the
// declared signature text, for example "uint32_t (uint32_t)" or
// "PyObject *".  A class that has a method table stores it in a capsule under
// `__native_vtable__` in its type dict.
//
// An importer binds each name it needs when it loads and compares the
// signature text; a missing module or name is ImportError, a different text
// or a class of another layout is TypeError.  Binding failures therefore show
// up at import time instead of as a crash later on.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <type_traits>

namespace pvm {

inline constexpr const char* kApiAttr = "__native_api__";
inline constexpr const char* kVtableAttr = "__native_vtable__";

// ----- publishing ---------------------------------------------------------

namespace detail {

inline PyObject* api_dict(PyObject* module) {
    PyObject* d = PyObject_GetAttrString(module, kApiAttr);  // new ref or NULL
    if (d != nullptr) return d;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    d = PyDict_New();
    if (d == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module, kApiAttr, d) < 0) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

inline int publish_pointer(PyObject* module, const char* name, void* ptr, const char* sig) {
    Owned d = Owned::steal(api_dict(module));
    if (!d) return -1;
    Owned cap = Owned::steal(PyCapsule_New(ptr, sig, nullptr));
    if (!cap) return -1;
    return PyDict_SetItemString(d.get(), name, cap.get());
}

inline PyObject* lookup_capsule(const char* modname, const char* name, const char* kind) {
    Owned mod = Owned::steal(PyImport_ImportModule(modname));
    if (!mod) return nullptr;
    Owned d = Owned::steal(PyObject_GetAttrString(mod.get(), kApiAttr));
    PyObject* cap = nullptr;
    if (d) {
        cap = PyDict_GetItemString(d.get(), name);  // borrowed
    } else {
        PyErr_Clear();
    }
    if (cap == nullptr) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", modname, kind,
                     name);
        return nullptr;
    }
    Py_INCREF(cap);
    return cap;
}

inline void* capsule_pointer(PyObject* cap, const char* modname, const char* name, const char* kind,
                             const char* sig) {
    const char* actual = PyCapsule_GetName(cap);
    if (!PyCapsule_IsValid(cap, actual) || actual == nullptr || std::strcmp(actual, sig) != 0) {
        PyErr_Format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     kind, modname, name, sig, actual ? actual : "<none>");
        return nullptr;
    }
    return PyCapsule_GetPointer(cap, actual);
}

}  // namespace detail

// Publishes a native function under `name` with its signature text.
template <class Fn>
int publish_function(PyObject* module, const char* name, Fn* fn, const char* sig) {
    return detail::publish_pointer(module, name, reinterpret_cast<void*>(fn), sig);
}

// Publishes the address of a native variable under `name`.
template <class T>
int publish_variable(PyObject* module, const char* name, T* var, const char* sig) {
    return detail::publish_pointer(module, name, static_cast<void*>(const_cast<std::remove_cv_t<T>*>(var)),
                                   sig);
}

// ----- binding ------------------------------------------------------------

template <class Fn>
int bind_function(const char* modname, const char* name, Fn** out, const char* sig) {
    Owned cap = Owned::steal(detail::lookup_capsule(modname, name, "function"));
    if (!cap) return -1;
    void* p = detail::capsule_pointer(cap.get(), modname, name, "function", sig);
    if (p == nullptr) return -1;
    *out = reinterpret_cast<Fn*>(p);
    return 0;
}

// Binds a pointer to the exporting module's variable itself, so later
// assignments in the exporter (a table filled at import) are seen.
template <class T>
int bind_variable(const char* modname, const char* name, T** out, const char* sig) {
    Owned cap = Owned::steal(detail::lookup_capsule(modname, name, "variable"));
    if (!cap) return -1;
    void* p = detail::capsule_pointer(cap.get(), modname, name, "variable", sig);
    if (p == nullptr) return -1;
    *out = static_cast<T*>(p);
    return 0;
}

// ----- classes and method tables ------------------------------------------

// Stores the method table of a ready type in its dict.
inline int publish_vtable(PyTypeObject* type, void* vtable, const char* sig) {
    Owned cap = Owned::steal(PyCapsule_New(vtable, sig, nullptr));
    if (!cap) return -1;
    if (PyDict_SetItemString(type->tp_dict, kVtableAttr, cap.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

// Imports `modname.clsname`, checks it is a type whose instances have exactly
// `size` bytes (the layout this module was compiled against) and returns a
// new reference to it.
inline PyTypeObject* import_type(const char* modname, const char* clsname, size_t size) {
    Owned mod = Owned::steal(PyImport_ImportModule(modname));
    if (!mod) return nullptr;
    Owned obj = Owned::steal(PyObject_GetAttrString(mod.get(), clsname));
    if (!obj) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "%.200s does not define expected class %.200s", modname,
                         clsname);
        }
        return nullptr;
    }
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", modname, clsname);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    if (static_cast<size_t>(type->tp_basicsize) != size) {
        PyErr_Format(PyExc_TypeError,
                     "%.200s.%.200s has instance size %zd, expected %zu: the module was built "
                     "against a different layout",
                     modname, clsname, type->tp_basicsize, size);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// Reads the method table stored by `publish_vtable`.
template <class VT>
VT* import_vtable(PyTypeObject* type, const char* sig) {
    PyObject* cap = PyDict_GetItemString(type->tp_dict, kVtableAttr);  // borrowed
    if (cap == nullptr) {
        PyErr_Format(PyExc_TypeError, "%.200s has no method table", type->tp_name);
        return nullptr;
    }
    void* p = detail::capsule_pointer(cap, type->tp_name, "method table", "method table", sig);
    return static_cast<VT*>(p);
}

// Class plus method table, the usual form of a shared class import.
template <class VT>
int import_class(const char* modname, const char* clsname, size_t size, PyTypeObject** type_out,
                 VT** vtable_out, const char* vtable_sig) {
    PyTypeObject* t = import_type(modname, clsname, size);
    if (t == nullptr) return -1;
    if (vtable_out != nullptr) {
        VT* vt = import_vtable<VT>(t, vtable_sig);
        if (vt == nullptr) {
            Py_DECREF(t);
            return -1;
        }
        *vtable_out = vt;
    }
    *type_out = t;  // kept for the life of the process
    return 0;
}

// A Python-level subclass: a heap type, or an instance with a __dict__.
// Only such objects can override the overridable fast paths, so plain
// instances never pay for an attribute lookup.
inline bool is_python_subclass(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    return (t->tp_flags & Py_TPFLAGS_HEAPTYPE) || t->tp_dictoffset != 0;
}

// Looks up `name` on a Python subclass instance and returns the override if
// it is not the class's own built-in method (`builtin` is the C function of
// that method); NULL without an exception when there is no override.
inline PyObject* find_override(PyObject* self, PyObject* name, PyCFunction builtin) {
    PyObject* attr = PyObject_GetAttr(self, name);
    if (attr == nullptr) return nullptr;
    if (PyCFunction_Check(attr) && PyCFunction_GET_FUNCTION(attr) == builtin) {
        Py_DECREF(attr);
        return nullptr;
    }
    return attr;
}

}  // namespace pvm
