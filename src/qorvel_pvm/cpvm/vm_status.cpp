// qorvel_pvm.cpvm.vm_status: run status values and the exit exception.
//
// `CyStatus` is a small (code, register) record; the module publishes the
// four fixed statuses CONTINUE, HALT, OUT_OF_GAS and PANIC as native
// variables and PAGE_FAULT(address) as a native function.  `PvmExit` is the
// exception through which guest execution ends: PvmExit(code) or
// PvmExit(code, address), with the block executor adding `next_pc` and
// `gas_cost` to it on the way out.
#include "abi/status.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "pickle.hpp"

#include <cstddef>

namespace {

using namespace pvm;

ModuleGuard guard("vm_status");

extern PyTypeObject CyStatusType;

// ----- CyStatus -----------------------------------------------------------------

int status_set_values(CyStatus* self, uint8_t code, uint32_t reg) {
    self->code = code;
    self->register_ = reg;
    return 0;
}

CyStatus_vtable status_vtable = {status_set_values};

PyObject* status_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<CyStatus*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->vtab = &status_vtable;
    self->code = 0;
    self->register_ = 0;
    return reinterpret_cast<PyObject*>(self);
}

int status_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"code", "register", nullptr};
    PyObject* ocode = nullptr;
    PyObject* oreg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:CyStatus", const_cast<char**>(kwlist), &ocode, &oreg))
        return -1;
    uint8_t code = 0;
    uint32_t reg = 0;
    if (ocode && !to_u8(ocode, &code)) return -1;
    if (oreg && !to_u32(oreg, &reg)) return -1;
    auto* s = reinterpret_cast<CyStatus*>(self);
    return s->vtab->set_values(s, code, reg);
}

CyStatus* new_status(uint8_t code, uint32_t reg) {
    auto* s = reinterpret_cast<CyStatus*>(status_new(&CyStatusType, nullptr, nullptr));
    if (s != nullptr) status_set_values(s, code, reg);
    return s;
}

PyObject* get_code(PyObject* self, void*) { return PyLong_FromUnsignedLong(reinterpret_cast<CyStatus*>(self)->code); }
PyObject* get_register(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(reinterpret_cast<CyStatus*>(self)->register_);
}
int set_code(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u8(v, &reinterpret_cast<CyStatus*>(self)->code) ? 0 : -1;
}
int set_register(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u32(v, &reinterpret_cast<CyStatus*>(self)->register_) ? 0 : -1;
}

PyObject* status_set_values_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_values() takes exactly 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    uint8_t code;
    uint32_t reg;
    if (!to_u8(args[0], &code) || !to_u32(args[1], &reg)) return nullptr;
    auto* s = reinterpret_cast<CyStatus*>(self);
    s->vtab->set_values(s, code, reg);
    Py_RETURN_NONE;
}

PyObject* status_repr(PyObject* self) {
    auto* s = reinterpret_cast<CyStatus*>(self);
    return PyUnicode_FromFormat("CyStatus(code=%u, register=%u)", static_cast<unsigned>(s->code),
                                static_cast<unsigned>(s->register_));
}

PyObject* status_richcompare(PyObject* a, PyObject* b, int op) {
    if (!PyObject_TypeCheck(b, &CyStatusType) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    auto* x = reinterpret_cast<CyStatus*>(a);
    auto* y = reinterpret_cast<CyStatus*>(b);
    bool eq = x->code == y->code && x->register_ == y->register_;
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

const PickleField status_fields[] = {
    {"code", get_code, set_code, false},
    {"register", get_register, set_register, false},
};
PickleSpec status_pickle{"CyStatus", &CyStatusType, status_fields, 2, "_reconstruct_CyStatus"};

PyGetSetDef status_getset[] = {
    {"code", get_code, set_code, "code: 'uint8_t'", nullptr},
    {"register", get_register, set_register, "register: 'uint32_t'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef status_methods[] = {
    {"set_values", cfunc(status_set_values_py), METH_FASTCALL,
     "set_values(code, register)\n\nSet both fields."},
    PVM_PICKLE_METHODS(status_pickle),
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject CyStatusType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm.vm_status.CyStatus", sizeof(CyStatus),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                 "CyStatus(code=0, register=0)\n\nA run status: an exit code and an "
                                 "associated register value.");
    t.tp_new = status_new;
    t.tp_init = status_init;
    t.tp_repr = status_repr;
    t.tp_richcompare = status_richcompare;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_getset = status_getset;
    t.tp_methods = status_methods;
    return t;
}();

// The four fixed statuses, published by address.
CyStatus* CONTINUE = nullptr;
CyStatus* HALT = nullptr;
CyStatus* OUT_OF_GAS = nullptr;
CyStatus* PANIC = nullptr;

CyStatus* PAGE_FAULT(uint32_t address) { return new_status(kPageFault, address); }

PyObject* page_fault_py(PyObject*, PyObject* arg) {
    uint32_t address;
    if (!to_u32(arg, &address)) return nullptr;
    return reinterpret_cast<PyObject*>(PAGE_FAULT(address));
}

// ----- PvmExit --------------------------------------------------------------------

PyObject* exit_arg(PyObject* self, Py_ssize_t i) {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(self)->args;
    if (args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > i)
        return Py_NewRef(PyTuple_GET_ITEM(args, i));
    Py_RETURN_NONE;
}

PyObject* exit_code(PyObject* self, void*) { return exit_arg(self, 0); }
PyObject* exit_address(PyObject* self, void*) { return exit_arg(self, 1); }

PyGetSetDef exit_getset[] = {
    {"code", exit_code, nullptr, "The exit code (first argument): 0 halt, 1 panic, 2 page fault, 4 host call.", nullptr},
    {"address", exit_address, nullptr, "The second argument: the faulting address of a page fault, the index of a host call; or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject PvmExitType = [] {
    // GC support, construction and the instance dict are inherited from Exception.
    PyTypeObject t = static_type("qorvel_pvm.cpvm.vm_status.PvmExit", sizeof(PyBaseExceptionObject),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                 "PvmExit(code[, address])\n\nRaised when guest execution ends: code 0 "
                                 "halt, 1 panic (trap), 2 page fault at `address`, 4 host call (ecalli) with "
                                 "the call index as `address`.  The block executor adds `next_pc` and "
                                 "`gas_cost`.");
    t.tp_getset = exit_getset;
    return t;
}();

PyMethodDef module_methods[] = {
    {"PAGE_FAULT", page_fault_py, METH_O, "PAGE_FAULT(address) -> CyStatus(2, address)"},
    PVM_RECONSTRUCTOR(status_pickle),
    {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject* m) {
    if (add_type(m, &CyStatusType, "CyStatus") < 0) return -1;
    if (publish_vtable(&CyStatusType, &status_vtable, kCyStatusVtableSig) < 0) return -1;
    PvmExitType.tp_base = reinterpret_cast<PyTypeObject*>(PyExc_Exception);
    if (add_type(m, &PvmExitType, "PvmExit") < 0) return -1;

    struct {
        const char* name;
        CyStatus** slot;
        uint8_t code;
    } fixed[] = {{"CONTINUE", &CONTINUE, kContinue},
                 {"HALT", &HALT, kHalt},
                 {"OUT_OF_GAS", &OUT_OF_GAS, kOutOfGas},
                 {"PANIC", &PANIC, kPanic}};
    for (auto& f : fixed) {
        *f.slot = new_status(f.code, 0);
        if (*f.slot == nullptr) return -1;
        if (PyModule_AddObjectRef(m, f.name, reinterpret_cast<PyObject*>(*f.slot)) < 0) return -1;
        if (publish_variable(m, f.name, f.slot, kStatusVarSig) < 0) return -1;
    }
    if (publish_function(m, "PAGE_FAULT", PAGE_FAULT, kPageFaultSig) < 0) return -1;
    if (PyModule_AddIntConstant(m, "EXIT_HALT", kHalt) < 0 || PyModule_AddIntConstant(m, "EXIT_PANIC", kPanic) < 0 ||
        PyModule_AddIntConstant(m, "EXIT_PAGE_FAULT", kPageFault) < 0 ||
        PyModule_AddIntConstant(m, "EXIT_OUT_OF_GAS", kOutOfGas) < 0 ||
        PyModule_AddIntConstant(m, "EXIT_HOST_CALL", kHostCall) < 0 ||
        PyModule_AddIntConstant(m, "EXIT_CONTINUE", kContinue) < 0)
        return -1;
    return init_pickle(m, status_pickle);
}

}  // namespace

PVM_DEFINE_MODULE(vm_status, "Run status values and the PvmExit exception.", module_methods, guard, exec_module)
