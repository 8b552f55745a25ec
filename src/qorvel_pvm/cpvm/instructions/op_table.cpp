// qorvel_pvm.cpvm.instructions.op_table: the handler protocol shared by every
// instruction group.
//
// `CyTableEntry` pairs a native handler with its gas cost and whether it ends
// a basic block; entries are created by the group modules while they build
// their TABLE and are shared by every compiled instruction made from them.
// `CyTable` is the base class of the groups: its method table holds the
// operand decoder `get_props`, which each group overrides and extends with
// `get_table`.
#include "abi/memory.hpp"
#include "abi/op_table.hpp"
#include "abi/program.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "pickle.hpp"

namespace {

using namespace pvm;

ModuleGuard guard("op_table");

// Classes the handlers and decoders work on, bound at import.
PyTypeObject* program_type = nullptr;
CyProgram_vtable* program_vtable = nullptr;
PyTypeObject* memory_type = nullptr;
CyMemory_vtable* memory_vtable = nullptr;

// ----- CyTableEntry ---------------------------------------------------------------

// Counts the changes made to any entry's gas cost or terminating flag, so
// that a native engine relying on the built-in values notices a change with
// one comparison (published as `_entry_changes`).
uint64_t entry_changes = 0;

constexpr const char* kNoPickleEntry = "self.fn cannot be converted to a Python object for pickling";

PyObject* entry_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (!check_no_args(type, args, kwds)) return nullptr;
    auto* self = reinterpret_cast<CyTableEntry*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->fn = nullptr;  // only the group modules set a handler
    self->gas_cost = 0;
    self->is_terminating = 0;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* entry_get_gas_cost(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(reinterpret_cast<CyTableEntry*>(self)->gas_cost);
}

int entry_set_gas_cost(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    if (!to_u32(v, &reinterpret_cast<CyTableEntry*>(self)->gas_cost)) return -1;
    __atomic_fetch_add(&entry_changes, 1, __ATOMIC_RELAXED);  // read by runs without the lock
    return 0;
}

PyObject* entry_get_is_terminating(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<CyTableEntry*>(self)->is_terminating != 0);
}

int entry_set_is_terminating(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    int flag = to_flag(v);
    if (flag < 0) return -1;
    reinterpret_cast<CyTableEntry*>(self)->is_terminating = flag;
    __atomic_fetch_add(&entry_changes, 1, __ATOMIC_RELAXED);  // read by runs without the lock
    return 0;
}

PyObject* entry_refuse_pickle(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoPickleEntry);
    return nullptr;
}

PyObject* entry_repr(PyObject* self) {
    auto* e = reinterpret_cast<CyTableEntry*>(self);
    return PyUnicode_FromFormat("<%s gas_cost=%lu is_terminating=%s%s>", Py_TYPE(self)->tp_name,
                                static_cast<unsigned long>(e->gas_cost), e->is_terminating ? "True" : "False",
                                e->fn ? "" : " (no handler)");
}

PyGetSetDef entry_getset[] = {
    {"gas_cost", entry_get_gas_cost, entry_set_gas_cost, "gas_cost: 'uint32_t'", nullptr},
    {"is_terminating", entry_get_is_terminating, entry_set_is_terminating, "is_terminating: 'bool'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef entry_methods[] = {{"__reduce__", entry_refuse_pickle, METH_NOARGS, nullptr},
                               {"__setstate__", entry_refuse_pickle, METH_O, nullptr},
                               {nullptr, nullptr, 0, nullptr}};

PyTypeObject CyTableEntryType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm.instructions.op_table.CyTableEntry", sizeof(CyTableEntry),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                 "CyTableEntry()\n\nOne instruction handler with its gas cost and whether "
                                 "it ends a basic block.");
    t.tp_new = entry_new;
    t.tp_repr = entry_repr;
    t.tp_getset = entry_getset;
    t.tp_methods = entry_methods;
    return t;
}();

// ----- CyTable --------------------------------------------------------------------

// The base decoder: no operands.
InstructionProps table_get_props(CyTable*, uint32_t, CyProgram*, uint32_t) { return InstructionProps{0, 0, 0, 0, 0}; }

CyTable_vtable table_vtable = {table_get_props};

PyObject* table_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (!check_no_args(type, args, kwds)) return nullptr;
    auto* self = reinterpret_cast<CyTable*>(type->tp_alloc(type, 0));
    if (self != nullptr) self->vtab = &table_vtable;
    return reinterpret_cast<PyObject*>(self);
}

extern PyTypeObject CyTableType;

PickleSpec table_pickle{"CyTable", &CyTableType, nullptr, 0, "_reconstruct_CyTable"};

PyMethodDef table_methods[] = {PVM_PICKLE_METHODS(table_pickle), {nullptr, nullptr, 0, nullptr}};

PyTypeObject CyTableType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm.instructions.op_table.CyTable", sizeof(CyTable),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                                 "Base class implementation for all instruction tables.");
    t.tp_new = table_new;
    t.tp_methods = table_methods;
    return t;
}();

PyMethodDef module_methods[] = {PVM_RECONSTRUCTOR(table_pickle), {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject* m) {
    if (add_type(m, &CyTableEntryType, "CyTableEntry") < 0) return -1;
    if (add_type(m, &CyTableType, "CyTable") < 0) return -1;
    if (publish_vtable(&CyTableType, &table_vtable, kCyTableVtableSig) < 0) return -1;
    if (publish_variable(m, kEntryChangesName, &entry_changes, kEntryChangesSig) < 0) return -1;
    if (import_class(kProgramModule, "CyProgram", sizeof(CyProgram), &program_type, &program_vtable,
                     kCyProgramVtableSig) < 0)
        return -1;
    if (import_class(kMemoryModule, "CyMemory", sizeof(CyMemory), &memory_type, &memory_vtable,
                     kCyMemoryVtableSig) < 0)
        return -1;
    return init_pickle(m, table_pickle);
}

}  // namespace

PVM_DEFINE_MODULE(op_table, "Instruction handler entries and the base class of the instruction groups.",
                  module_methods, guard, exec_module)
