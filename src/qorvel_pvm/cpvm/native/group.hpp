// What every instruction-group module has in common, written once.
//
// A group module defines its decoder, its handlers and its opcode list, and
// hands them to `Group`.  `Group` provides the rest: the group class derived
// from CyTable (method table = CyTable's with `get_props` overridden and
// `get_table` appended), `get_table` with its Python-subclass dispatch,
// pickling through the CyTable rules with the module's own reconstructor, the
// imports every group makes, and the native `TABLE` export built at import.
//
// Usage in a group module:
//
//   pvm::Group group{{"qorvel_pvm.cpvm.instructions.tables.ops_x", "CyGroupName", decoder,
//                     opcodes, std::size(opcodes), extra_bindings, std::size(extra_bindings)}};
//   PVM_DEFINE_GROUP_MODULE(ops_x, "doc", group)
#pragma once

#include "abi/op_table.hpp"
#include "abi/status.hpp"
#include "abi/utils.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "pickle.hpp"

#include <string>

namespace pvm {

// One opcode of a group's TABLE.
struct OpcodeDef {
    int opcode;
    instr_fn_t fn;
    uint32_t gas_cost;
    int is_terminating;
};

// A native name bound from another module at import: the import fails if it
// is missing or declared with another signature.
struct NativeBinding {
    const char* module;
    const char* name;
    const char* sig;
    bool is_function;
    void** out;  // may be null when the binding is only required, not used
};

// A vm_utils export required at import (the groups call the inline
// numeric.hpp versions; the binding checks presence and declared type).
constexpr NativeBinding utils_function(const char* name, const char* sig) {
    return {utils::kModule, name, sig, true, nullptr};
}
constexpr NativeBinding utils_variable(const char* name, const char* sig) {
    return {utils::kModule, name, sig, false, nullptr};
}

// The two lookup tables every group with operands binds first.
#define PVM_UTILS_LOOKUP_TABLES                                                    \
    ::pvm::utils_variable("BYTES_TO_BYTE_LUT", ::pvm::utils::kBytesToByteLutSig), \
        ::pvm::utils_variable("BYTE_TO_BITS_LUT", ::pvm::utils::kByteToBitsLutSig)

struct GroupSpec {
    const char* module_name;  // full dotted module name
    const char* class_name;   // short class name
    InstructionProps (*get_props)(CyTable* self, uint32_t pc, CyProgram* program, uint32_t skip);
    const OpcodeDef* opcodes;
    size_t nopcodes;
    const NativeBinding* bindings;  // in import order, after the shared class imports
    size_t nbindings;
    bool import_status = false;     // also import CyStatus, PvmExit and the four status values
};

// Classes every group imports; filled by the first group that loads.
struct SharedClasses {
    PyTypeObject* table_type = nullptr;
    CyTable_vtable* table_vtable = nullptr;
    PyTypeObject* entry_type = nullptr;
    PyTypeObject* program_type = nullptr;
    PyTypeObject* memory_type = nullptr;
    PyTypeObject* status_type = nullptr;
    CyStatus_vtable* status_vtable = nullptr;
    PyTypeObject* exit_type = nullptr;
};

class Group {
public:
    explicit Group(GroupSpec spec)
        : spec_(spec),
          qualname_(std::string(spec.module_name) + "." + spec.class_name),
          get_props_tb_(qualname_ + ".get_props"),
          get_table_doc_(std::string(spec.class_name) +
                         ".get_table(self) -> dict\n\nReturn the instruction table mapping opcodes to their handlers."),
          reconstructor_name_(std::string("_reconstruct_") + spec.class_name),
          guard_(short_name(spec.module_name)) {}

    // The module's TABLE (None until the import builds it).
    PyObject* table() const { return table_; }
    const SharedClasses& classes() const { return classes_; }
    PyObject* exit_type() const { return reinterpret_cast<PyObject*>(classes_.exit_type); }
    const char* get_props_traceback() const { return get_props_tb_.c_str(); }
    ModuleGuard& guard() { return guard_; }

    // Fast-path get_table with the Python-subclass dispatch.
    PyObject* get_table(CyTable* self, int skip_dispatch) {
        PyObject* obj = reinterpret_cast<PyObject*>(self);
        if (!skip_dispatch && is_python_subclass(obj)) {
            Owned name = Owned::steal(PyUnicode_FromString("get_table"));
            if (!name) return nullptr;
            Owned override = Owned::steal(find_override(obj, name.get(), builtin_get_table_));
            if (override) {
                Owned r = Owned::steal(PyObject_CallNoArgs(override.get()));
                if (!r) return nullptr;
                if (!check_setter_type(r.get(), &PyDict_Type)) return nullptr;
                return r.release();
            }
            if (PyErr_Occurred()) return nullptr;
        }
        return Py_NewRef(table_);
    }

    // Module exec body: the import sequence shared by all groups.
    int exec(PyObject* m, PyCFunction get_table_py, PyCFunction reduce_py, PyCFunction setstate_py,
             PyCFunction reconstruct_py, CyGroup_vtable* vtable, PyTypeObject* type, newfunc new_fn) {
        builtin_get_table_ = get_table_py;
        table_ = Py_None;
        if (publish_variable(m, kTableName, &table_, kTableSig) < 0) return -1;

        // The class: derived from CyTable, method table extended.
        if (import_class(kOpTableModule, "CyTable", sizeof(CyTable), &classes_.table_type,
                         &classes_.table_vtable, kCyTableVtableSig) < 0)
            return -1;
        vtable->base = *classes_.table_vtable;
        vtable->base.get_props = spec_.get_props;
        type_methods_[0] = {"get_table", get_table_py, METH_NOARGS, get_table_doc_.c_str()};
        type_methods_[1] = {"__reduce__", reduce_py, METH_NOARGS, nullptr};
        type_methods_[2] = {"__setstate__", setstate_py, METH_O, nullptr};
        type_methods_[3] = {nullptr, nullptr, 0, nullptr};
        type_name_ = qualname_;
        *type = static_type(type_name_.c_str(), sizeof(CyTable), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                            nullptr);
        type->tp_base = classes_.table_type;
        type->tp_methods = type_methods_;
        type->tp_new = new_fn;
        base_new_ = classes_.table_type->tp_new;
        vtable_ = vtable;
        if (add_type(m, type, spec_.class_name) < 0) return -1;
        if (publish_vtable(type, vtable, kCyGroupVtableSig) < 0) return -1;

        // The classes the handlers and decoders work on.
        if (import_class<void>(kProgramModule, "CyProgram", sizeof(CyProgram), &classes_.program_type, nullptr,
                               nullptr) < 0 ||
            import_class<void>(kMemoryModule, "CyMemory", sizeof(CyMemory), &classes_.memory_type, nullptr,
                               nullptr) < 0 ||
            import_class<void>(kOpTableModule, "CyTableEntry", sizeof(CyTableEntry), &classes_.entry_type,
                               nullptr, nullptr) < 0)
            return -1;
        // CyStatus (with its method table) and PvmExit come before the
        // status values bound from the same module.
        if (spec_.import_status &&
            import_class(kStatusModule, "CyStatus", sizeof(CyStatus), &classes_.status_type,
                         &classes_.status_vtable, kCyStatusVtableSig) < 0)
            return -1;
        if (import_exit_type() < 0) return -1;
        if (spec_.import_status) {
            for (const char* name : kStatusVarNames) {
                void* unused;
                if (bind_variable(kStatusModule, name, &unused, kStatusVarSig) < 0) return -1;
            }
        }
        for (size_t i = 0; i < spec_.nbindings; ++i) {
            const NativeBinding& b = spec_.bindings[i];
            void* p = nullptr;
            int rc = b.is_function ? bind_function(b.module, b.name, reinterpret_cast<void (**)()>(&p), b.sig)
                                   : bind_variable(b.module, b.name, &p, b.sig);
            if (rc < 0) return -1;
            if (b.out) *b.out = p;
        }

        // TABLE, in the order of the opcode list.
        Owned table = Owned::steal(PyDict_New());
        if (!table) return -1;
        for (size_t i = 0; i < spec_.nopcodes; ++i) {
            const OpcodeDef& op = spec_.opcodes[i];
            Owned entry = Owned::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(classes_.entry_type)));
            if (!entry) return -1;
            auto* e = reinterpret_cast<CyTableEntry*>(entry.get());
            e->fn = op.fn;
            e->gas_cost = op.gas_cost;
            e->is_terminating = op.is_terminating;
            Owned key = Owned::steal(PyLong_FromLong(op.opcode));
            if (!key || PyDict_SetItem(table.get(), key.get(), entry.get()) < 0) return -1;
        }
        table_ = table.release();  // lives until the process ends

        // Pickling: the CyTable rules with this module's own reconstructor.
        pickle_.class_name = spec_.class_name;
        pickle_.type = type;
        pickle_.fields = nullptr;
        pickle_.nfields = 0;
        pickle_.reconstructor_name = reconstructor_name_.c_str();
        module_methods_[0] = {reconstructor_name_.c_str(), reconstruct_py, METH_FASTCALL, nullptr};
        module_methods_[1] = {nullptr, nullptr, 0, nullptr};
        if (PyModule_AddFunctions(m, module_methods_) < 0) return -1;
        return init_pickle(m, pickle_);
    }

    // Creation: CyTable's routine, then this class's method table.
    PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwds) {
        PyObject* o = base_new_(type, args, kwds);
        if (o != nullptr) reinterpret_cast<CyTable*>(o)->vtab = &vtable_->base;
        return o;
    }

    PickleSpec& pickle() { return pickle_; }

private:
    static const char* short_name(const char* dotted) {
        const char* dot = std::strrchr(dotted, '.');
        return dot ? dot + 1 : dotted;
    }

    int import_exit_type() {
        Owned mod = Owned::steal(PyImport_ImportModule(kStatusModule));
        if (!mod) return -1;
        Owned exc = Owned::steal(PyObject_GetAttrString(mod.get(), "PvmExit"));
        if (!exc) return -1;
        if (!PyType_Check(exc.get()) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(exc.get()),
                                                          reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
            PyErr_Format(PyExc_TypeError, "%s.PvmExit is not an exception class", kStatusModule);
            return -1;
        }
        classes_.exit_type = reinterpret_cast<PyTypeObject*>(exc.release());
        return 0;
    }

    GroupSpec spec_;
    std::string qualname_;
    std::string get_props_tb_;
    std::string get_table_doc_;
    std::string reconstructor_name_;
    std::string type_name_;
    ModuleGuard guard_;
    SharedClasses classes_;
    PyObject* table_ = nullptr;
    PyCFunction builtin_get_table_ = nullptr;
    newfunc base_new_ = nullptr;
    CyGroup_vtable* vtable_ = nullptr;
    PyMethodDef type_methods_[4] = {};
    PyMethodDef module_methods_[2] = {};
    PickleSpec pickle_{nullptr, nullptr, nullptr, 0, nullptr};
};

// Control transfer shared by the jump and branch handlers: hands the target
// (the low 32 bits of a decoded absolute target, read as a signed 32-bit
// program counter) to the program's `branch` and passes on its result, or
// its exception with a traceback entry naming the handler.
inline uint32_t branch_to(CyProgram* program, uint32_t counter, uint64_t target, int condition,
                          const char* handler) {
    const uint32_t r = program->vtab->branch(program, static_cast<int32_t>(counter),
                                             static_cast<int32_t>(static_cast<uint32_t>(target)), condition);
    if (PyErr_Occurred()) {
        add_traceback(handler, __FILE__, __LINE__);
        return kFallThrough;
    }
    return r;
}

// The same for the dynamic jump through the program's jump table.
inline uint32_t djump_to(CyProgram* program, uint32_t counter, uint32_t address, const char* handler) {
    const uint32_t r = program->vtab->djump(program, counter, address);
    if (PyErr_Occurred()) {
        add_traceback(handler, __FILE__, __LINE__);
        return kFallThrough;
    }
    return r;
}

// The names every group module's decoder and handlers are written with
// (`using namespace pvm::group_kit;` in the module).
namespace group_kit {
using ::pvm::CyMemory;
using ::pvm::CyProgram;
using ::pvm::CyTable;
using ::pvm::InstructionProps;
using ::pvm::instr_fn_t;
using ::pvm::kFallThrough;
}  // namespace group_kit

// Defines the module's group class and PyInit for the `Group` object `group`.
#define PVM_DEFINE_GROUP_MODULE(name, doc, group)                                                         \
    namespace {                                                                                         \
    PyTypeObject name##_type;                                                                           \
    ::pvm::CyGroup_vtable name##_vtable;                                                                \
    PyObject* name##_get_table_fast(::pvm::CyTable* self, int skip_dispatch) {                          \
        return (group).get_table(self, skip_dispatch);                                                  \
    }                                                                                                   \
    PyObject* name##_get_table_py(PyObject* self, PyObject*) {                                          \
        return (group).get_table(reinterpret_cast<::pvm::CyTable*>(self), 1);                           \
    }                                                                                                   \
    PyObject* name##_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {                          \
        return (group).create(type, args, kwds);                                                        \
    }                                                                                                   \
    PyObject* name##_reduce(PyObject* self, PyObject*) { return ::pvm::pickle_reduce(self, (group).pickle()); } \
    PyObject* name##_setstate(PyObject* self, PyObject* state) {                                        \
        return ::pvm::pickle_setstate(self, (group).pickle(), state);                                   \
    }                                                                                                   \
    PyObject* name##_reconstruct(PyObject*, PyObject* const* args, Py_ssize_t nargs) {                  \
        return ::pvm::pickle_reconstruct((group).pickle(), args, nargs, (group).pickle().reconstructor_name); \
    }                                                                                                   \
    int name##_exec_body(PyObject* m) {                                                                 \
        name##_vtable.get_table = name##_get_table_fast;                                                \
        int rc = (group).exec(m, ::pvm::cfunc(name##_get_table_py), ::pvm::cfunc(name##_reduce),        \
                              ::pvm::cfunc(name##_setstate), ::pvm::cfunc(name##_reconstruct),          \
                              &name##_vtable, &name##_type, name##_new);                                \
        return rc;                                                                                      \
    }                                                                                                   \
    }                                                                                                   \
    PVM_DEFINE_MODULE(name, doc, nullptr, (group).guard(), name##_exec_body)

}  // namespace pvm
