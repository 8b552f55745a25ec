// Module initialisation, traceback entries and unraisable reports.
//
// Every extension module of the package initialises through `ModuleGuard`:
// it is loaded once per process and into one interpreter only, because the
// classes are static types shared by address between the modules and their
// method tables are bound once.  A second initialisation (for instance after
// the module was removed from sys.modules) is refused instead of silently
// creating a second set of tables that other modules would not see.
#pragma once

#include "ref.hpp"

#include <frameobject.h>

#include <cstdint>
#include <cstring>

namespace pvm {

class ModuleGuard {
public:
    explicit constexpr ModuleGuard(const char* short_name) : short_name_(short_name) {}

    // Py_mod_create: refuses a second interpreter or a second initialisation
    // and creates the module object.
    PyObject* create(PyObject* spec) {
        PyInterpreterState* interp = PyInterpreterState_Get();
        int64_t id = PyInterpreterState_GetID(interp);
        if (id == -1) return nullptr;
        if (interp_id_ == -1) {
            interp_id_ = id;
        } else if (interp_id_ != id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one "
                            "interpreter per process.");
            return nullptr;
        }
        if (module_ != nullptr) {
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.",
                         short_name_);
            return nullptr;
        }
        if (!check_version()) return nullptr;
        Owned name = Owned::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) return nullptr;
        module_ = PyModule_NewObject(name.get());
        if (module_ == nullptr) return nullptr;
        return Py_NewRef(module_);
    }

    // Called at the end of a successful Py_mod_exec: sets `__test__` = {}.
    int finish(PyObject* module) {
        Owned d = Owned::steal(PyDict_New());
        if (!d) return -1;
        return PyModule_AddObjectRef(module, "__test__", d.get());
    }

    // Called when Py_mod_exec fails, so that a later import may try again.
    int fail() {
        Py_CLEAR(module_);
        return -1;
    }

    PyObject* module() const { return module_; }

private:
    bool check_version() const {
        int rt_major = static_cast<int>((Py_Version >> 24) & 0xFF);
        int rt_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
        if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return true;
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compile time Python version %d.%d of module '%.100s' %s runtime "
                                "version %d.%d",
                                PY_MAJOR_VERSION, PY_MINOR_VERSION, short_name_, "does not match",
                                rt_major, rt_minor) == 0;
    }

    const char* short_name_;
    PyObject* module_ = nullptr;  // strong: the module lives until the process ends
    int64_t interp_id_ = -1;
};

// On a Python built without the global interpreter lock, every module says
// that it needs the lock: importing one turns the lock on.  The modules keep
// state shared between threads (block caches, the memories' page maps, the
// spare objects of the instruction groups) that the lock guards.
#ifdef Py_mod_gil
#define PVM_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define PVM_GIL_SLOT
#endif

// Defines PyInit_<name> for a module with multi-phase initialisation whose
// create step is guarded by `guard` and whose body is `exec_fn(module)`.
#define PVM_DEFINE_MODULE(name, doc, methods, guard, exec_fn)                                     \
    static PyObject* name##_create(PyObject* spec, PyModuleDef*) { return (guard).create(spec); } \
    static int name##_exec(PyObject* m) {                                                        \
        if (exec_fn(m) < 0) return (guard).fail();                                               \
        if ((guard).finish(m) < 0) return (guard).fail();                                        \
        return 0;                                                                                \
    }                                                                                            \
    static PyModuleDef_Slot name##_slots[] = {                                                   \
        {Py_mod_create, reinterpret_cast<void*>(name##_create)},                                 \
        {Py_mod_exec, reinterpret_cast<void*>(name##_exec)},                                     \
        PVM_GIL_SLOT{0, nullptr}};                                                               \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name, doc, 0, methods,              \
                                     name##_slots, nullptr, nullptr, nullptr};                   \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }

// Adds a traceback entry for the operation `qualname` (for example
// "qorvel_pvm.cpvm.vm_memory.CyMemory.read") to the pending exception.
// The entry is a frame of an empty code object named after the operation,
// built with the public frame API (the interpreter's own shortcut for this
// is private and no longer exported from 3.13 on).  The pending exception is
// set aside while the objects are made; if making them fails, the exception
// passes on without the entry.
inline void add_traceback(const char* qualname, const char* file, int line) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(file, qualname, line);
    PyObject* globals = code != nullptr ? PyDict_New() : nullptr;
    PyFrameObject* frame = globals != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();  // a failure above only loses the entry
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}
#define PVM_TRACEBACK(qualname) ::pvm::add_traceback((qualname), __FILE__, __LINE__)

// Reports the pending exception through sys.unraisablehook naming the
// operation; used by operations that cannot fail and carry on with their
// neutral result.
inline void write_unraisable(const char* qualname) {
    PyObject* exc = PyErr_GetRaisedException();
    Owned ctx = Owned::steal(PyUnicode_FromString(qualname));
    PyErr_SetRaisedException(exc);
    PyErr_WriteUnraisable(ctx ? ctx.get() : Py_None);
}

// A static type object with every slot empty but the name, size, flags and
// docstring; modules fill in the rest before PyType_Ready.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, unsigned long flags, const char* doc) {
    PyTypeObject t;
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_flags = flags;
    t.tp_doc = doc;
    return t;
}

// Adds a ready static type to a module under its short name.
inline int add_type(PyObject* module, PyTypeObject* type, const char* name) {
    if (PyType_Ready(type) < 0) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace pvm
