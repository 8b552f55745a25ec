// Test-only extension module: exercises the native support layer from
// Python.  It makes deliberately wrong bindings (missing names, wrong
// signature texts, classes of the wrong size), exposes the integer and
// argument conversions, and defines a small class that uses the shared
// pickling machinery.  The test build installs it; the package does not ship it.
#include "abi/status.hpp"
#include "abi/utils.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "pickle.hpp"

#include <string>

namespace {

using namespace pvm;

ModuleGuard guard("_abi_probe");

// bind(kind, module, name, signature): binds a native name and returns True.
PyObject* bind(PyObject*, PyObject* args) {
    const char *kind, *mod, *name, *sig;
    if (!PyArg_ParseTuple(args, "ssss", &kind, &mod, &name, &sig)) return nullptr;
    if (kind[0] == 'f') {
        void (*fn)() = nullptr;
        if (bind_function(mod, name, &fn, sig) < 0) return nullptr;
    } else {
        void* var = nullptr;
        if (bind_variable(mod, name, &var, sig) < 0) return nullptr;
    }
    Py_RETURN_TRUE;
}

// import_class(module, name, size_delta): imports a class expecting its
// instance size to be CyStatus's plus `size_delta`.
PyObject* import_class_py(PyObject*, PyObject* args) {
    const char *mod, *name;
    int delta;
    if (!PyArg_ParseTuple(args, "ssi", &mod, &name, &delta)) return nullptr;
    PyTypeObject* t = nullptr;
    CyStatus_vtable* vt = nullptr;
    if (import_class(mod, name, sizeof(CyStatus) + delta, &t, &vt, kCyStatusVtableSig) < 0) return nullptr;
    return reinterpret_cast<PyObject*>(t);
}

// convert(width, value): one of "u8", "i8", "u32", "i32", "u64".
PyObject* convert(PyObject*, PyObject* args) {
    const char* width;
    PyObject* v;
    if (!PyArg_ParseTuple(args, "sO", &width, &v)) return nullptr;
    std::string w(width);
    if (w == "u8") {
        uint8_t x;
        return to_u8(v, &x) ? PyLong_FromUnsignedLong(x) : nullptr;
    }
    if (w == "i8") {
        int8_t x;
        return to_i8(v, &x) ? PyLong_FromLong(x) : nullptr;
    }
    if (w == "u32") {
        uint32_t x;
        return to_u32(v, &x) ? PyLong_FromUnsignedLong(x) : nullptr;
    }
    if (w == "i32") {
        int32_t x;
        return to_i32(v, &x) ? PyLong_FromLong(x) : nullptr;
    }
    uint64_t x;
    return to_u64(v, &x) ? PyLong_FromUnsignedLongLong(x) : nullptr;
}

// check_list(value, exact): the argument check for a declared list.
PyObject* check_list(PyObject*, PyObject* args) {
    PyObject* v;
    int exact;
    if (!PyArg_ParseTuple(args, "Op", &v, &exact)) return nullptr;
    if (!check_arg_type(v, &PyList_Type, "items", true, exact)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* unraisable(PyObject*, PyObject* name) {
    PyErr_SetString(PyExc_ValueError, "reported, not raised");
    write_unraisable(PyUnicode_AsUTF8(name));
    Py_RETURN_NONE;
}

PyObject* traceback(PyObject*, PyObject* name) {
    PyErr_SetString(PyExc_ValueError, "with an entry");
    PVM_TRACEBACK(PyUnicode_AsUTF8(name));
    return nullptr;
}

// ----- Sample: a class with one number and one list ----------------------------------

struct Sample {
    PyObject_HEAD
    uint32_t count;
    PyObject* items;
};

extern PyTypeObject SampleType;

PyObject* sample_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* s = reinterpret_cast<Sample*>(type->tp_alloc(type, 0));
    if (s != nullptr) s->items = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(s);
}

void sample_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Sample*>(self)->items);
    Py_TYPE(self)->tp_free(self);
}

int sample_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Sample*>(self)->items);
    return 0;
}

int sample_clear(PyObject* self) {
    replace_field(reinterpret_cast<Sample*>(self)->items, Py_None);
    return 0;
}

PyObject* get_count(PyObject* self, void*) { return PyLong_FromUnsignedLong(reinterpret_cast<Sample*>(self)->count); }
int set_count(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u32(v, &reinterpret_cast<Sample*>(self)->count) ? 0 : -1;
}
PyObject* get_items(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Sample*>(self)->items); }
int set_items(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (!check_setter_type(v, &PyList_Type)) return -1;
    replace_field(reinterpret_cast<Sample*>(self)->items, v);
    return 0;
}

const PickleField sample_fields[] = {{"count", get_count, set_count, false}, {"items", get_items, set_items, true}};
PickleSpec sample_pickle{"Sample", &SampleType, sample_fields, 2, "_reconstruct_Sample"};

PyGetSetDef sample_getset[] = {{"count", get_count, set_count, nullptr, nullptr},
                               {"items", get_items, set_items, nullptr, nullptr},
                               {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyMethodDef sample_methods[] = {PVM_PICKLE_METHODS(sample_pickle), {nullptr, nullptr, 0, nullptr}};

PyTypeObject SampleType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm._abi_probe.Sample", sizeof(Sample),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, nullptr);
    t.tp_new = sample_new;
    t.tp_dealloc = sample_dealloc;
    t.tp_traverse = sample_traverse;
    t.tp_clear = sample_clear;
    t.tp_getset = sample_getset;
    t.tp_methods = sample_methods;
    return t;
}();

PyMethodDef methods[] = {{"bind", bind, METH_VARARGS, nullptr},
                         {"import_class", import_class_py, METH_VARARGS, nullptr},
                         {"convert", convert, METH_VARARGS, nullptr},
                         {"check_list", check_list, METH_VARARGS, nullptr},
                         {"unraisable", unraisable, METH_O, nullptr},
                         {"traceback", traceback, METH_O, nullptr},
                         PVM_RECONSTRUCTOR(sample_pickle),
                         {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject* m) {
    if (add_type(m, &SampleType, "Sample") < 0) return -1;
    return init_pickle(m, sample_pickle);
}

}  // namespace

PVM_DEFINE_MODULE(_abi_probe, "Test-only probe of the native support layer.", methods, guard, exec_module)
