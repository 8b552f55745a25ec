// qorvel_pvm.cpvm.vm_block: compiled instructions and basic blocks.
//
// A `CyCompiledInstruction` is one instruction with its operands decoded in
// advance and its handler entry cached; a `CyBlockInfo` is a basic block: its
// gas total and its compiled instructions in program order.  The fast path
// `execute` runs a block: one indirect call per instruction through the
// cached entry, one test for a pending exception, one compare for the
// fall-through value, until the first terminating entry.
//
// Blocks are ordinary mutable Python objects, and a handler can reach Python
// code (a memory subclass overriding `read`, a garbage-collection callback).
// `execute` therefore holds a strong reference to the list, to the element
// and to its entry across each call, and checks the index against the list's
// current size before reading an element.
#include "abi/block.hpp"
#include "abi/memory.hpp"
#include "abi/op_table.hpp"
#include "abi/program.hpp"
#include "abi/status.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "pickle.hpp"

#include <algorithm>

namespace {

using namespace pvm;

ModuleGuard guard("vm_block");

constexpr const char* kEntryName = "qorvel_pvm.cpvm.instructions.op_table.CyTableEntry";
constexpr const char* kCompiledName = "qorvel_pvm.cpvm.vm_block.CyCompiledInstruction";

// Bound at import.
PyObject* builtin_print = nullptr;  // the `print` seen at import, used even if builtins.print changes
PyObject* no_termination_warning = nullptr;
PyTypeObject* entry_type = nullptr;
PyTypeObject* table_type = nullptr;
CyTable_vtable* table_vtable = nullptr;
PyTypeObject* program_type = nullptr;
CyProgram_vtable* program_vtable = nullptr;
PyTypeObject* memory_type = nullptr;
CyMemory_vtable* memory_vtable = nullptr;
PyTypeObject* status_type = nullptr;
CyStatus_vtable* status_vtable = nullptr;
PyObject* exit_type = nullptr;
PyObject* str_next_pc = nullptr;
PyObject* str_gas_cost = nullptr;

extern PyTypeObject CyCompiledInstructionType;
extern PyTypeObject CyBlockInfoType;

// ----- CyCompiledInstruction ------------------------------------------------------------

CyCompiledInstruction* as_compiled(PyObject* o) { return reinterpret_cast<CyCompiledInstruction*>(o); }

PyObject* compiled_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_compiled(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->handler = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

void compiled_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_compiled(self)->handler);
    Py_TYPE(self)->tp_free(self);
}

int compiled_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_compiled(self)->handler);
    return 0;
}

int compiled_clear(PyObject* self) {
    replace_field(as_compiled(self)->handler, Py_None);
    return 0;
}

PyObject* get_opcode(PyObject* self, void*) { return PyLong_FromLong(as_compiled(self)->opcode); }
PyObject* get_next_pc(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_compiled(self)->next_pc); }
PyObject* get_handler(PyObject* self, void*) { return Py_NewRef(as_compiled(self)->handler); }
PyObject* get_vx(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_compiled(self)->vx); }
PyObject* get_vy(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(as_compiled(self)->vy); }
PyObject* get_ra(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_compiled(self)->ra); }
PyObject* get_rb(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_compiled(self)->rb); }
PyObject* get_rd(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_compiled(self)->rd); }

int set_opcode(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_i32(v, &as_compiled(self)->opcode) ? 0 : -1;
}
int set_next_pc(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u32(v, &as_compiled(self)->next_pc) ? 0 : -1;
}
int set_handler(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (!check_instance_or_none(v, entry_type, kEntryName)) return -1;
    replace_field(as_compiled(self)->handler, v);
    return 0;
}
int set_vx(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u64(v, &as_compiled(self)->vx) ? 0 : -1;
}
int set_vy(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u64(v, &as_compiled(self)->vy) ? 0 : -1;
}
int set_ra(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u8(v, &as_compiled(self)->ra) ? 0 : -1;
}
int set_rb(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u8(v, &as_compiled(self)->rb) ? 0 : -1;
}
int set_rd(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u8(v, &as_compiled(self)->rd) ? 0 : -1;
}

int compiled_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"opcode", "next_pc", "handler", "vx", "vy", "ra", "rb", "rd", nullptr};
    PyObject *opcode, *next_pc, *handler, *ovx, *ovy, *ora, *orb, *ord;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOOO:CyCompiledInstruction", const_cast<char**>(kwlist),
                                     &opcode, &next_pc, &handler, &ovx, &ovy, &ora, &orb, &ord))
        return -1;
    // The operands first, then the declared object types, then the stores.
    uint64_t vx, vy;
    uint8_t ra, rb, rd;
    if (!to_u64(ovx, &vx) || !to_u64(ovy, &vy) || !to_u8(ora, &ra) || !to_u8(orb, &rb) || !to_u8(ord, &rd))
        return -1;
    if (!check_arg_type(opcode, &PyLong_Type, "opcode", false, true) ||
        !check_arg_type(next_pc, &PyLong_Type, "next_pc", false, true) ||
        !check_arg_type(handler, entry_type, "handler", false, false))
        return -1;
    CyCompiledInstruction* c = as_compiled(self);
    if (!to_i32(opcode, &c->opcode)) return -1;
    if (!to_u32(next_pc, &c->next_pc)) return -1;
    replace_field(c->handler, handler);
    c->vx = vx;
    c->vy = vy;
    c->ra = ra;
    c->rb = rb;
    c->rd = rd;
    return 0;
}

PyObject* compiled_repr(PyObject* self) {
    CyCompiledInstruction* c = as_compiled(self);
    return PyUnicode_FromFormat("<%s opcode=%d next_pc=%lu vx=%llu vy=%llu ra=%u rb=%u rd=%u>",
                                type_short_name(Py_TYPE(self)), c->opcode, static_cast<unsigned long>(c->next_pc),
                                static_cast<unsigned long long>(c->vx), static_cast<unsigned long long>(c->vy),
                                static_cast<unsigned>(c->ra), static_cast<unsigned>(c->rb),
                                static_cast<unsigned>(c->rd));
}

const PickleField compiled_fields[] = {
    {"handler", get_handler, set_handler, true}, {"next_pc", get_next_pc, set_next_pc, false},
    {"opcode", get_opcode, set_opcode, false},   {"ra", get_ra, set_ra, false},
    {"rb", get_rb, set_rb, false},               {"rd", get_rd, set_rd, false},
    {"vx", get_vx, set_vx, false},               {"vy", get_vy, set_vy, false},
};
PickleSpec compiled_pickle{"CyCompiledInstruction", &CyCompiledInstructionType, compiled_fields, 8,
                           "_reconstruct_CyCompiledInstruction"};

PyGetSetDef compiled_getset[] = {
    {"opcode", get_opcode, set_opcode, "opcode: 'int'", nullptr},
    {"next_pc", get_next_pc, set_next_pc, "next_pc: 'uint32_t'", nullptr},
    {"handler", get_handler, set_handler, "handler: qorvel_pvm.cpvm.instructions.op_table.CyTableEntry", nullptr},
    {"vx", get_vx, set_vx, "vx: 'uint64_t'", nullptr},
    {"vy", get_vy, set_vy, "vy: 'uint64_t'", nullptr},
    {"ra", get_ra, set_ra, "ra: 'uint8_t'", nullptr},
    {"rb", get_rb, set_rb, "rb: 'uint8_t'", nullptr},
    {"rd", get_rd, set_rd, "rd: 'uint8_t'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef compiled_methods[] = {PVM_PICKLE_METHODS(compiled_pickle), {nullptr, nullptr, 0, nullptr}};

PyTypeObject CyCompiledInstructionType = [] {
    PyTypeObject t = static_type(
        kCompiledName, sizeof(CyCompiledInstruction), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        "CyCompiledInstruction(int opcode: int, int next_pc: int, CyTableEntry handler: CyTableEntry, uint64_t vx: "
        "uint64_t, uint64_t vy: uint64_t, uint8_t ra: uint8_t, uint8_t rb: uint8_t, uint8_t rd: uint8_t)\n\n"
        "Pre-compiled instruction with decoded operands and cached function pointers.");
    t.tp_new = compiled_new;
    t.tp_init = compiled_init;
    t.tp_dealloc = compiled_dealloc;
    t.tp_traverse = compiled_traverse;
    t.tp_clear = compiled_clear;
    t.tp_repr = compiled_repr;
    t.tp_getset = compiled_getset;
    t.tp_methods = compiled_methods;
    return t;
}();

// ----- CyBlockInfo: execute -----------------------------------------------------------

constexpr const char* kExecuteName = "qorvel_pvm.cpvm.vm_block.CyBlockInfo.execute";

// The pending-exception test of the loop.  The loop runs on one thread with
// the interpreter lock held, so the thread state is fetched once per block
// and each test is a single load.
struct PendingError {
    PyThreadState* ts = PyThreadState_Get();
    bool operator()() const {
#if PY_VERSION_HEX >= 0x030C0000
        return ts->current_exception != nullptr;
#else
        return PyErr_Occurred() != nullptr;
#endif
    }
};

int fail(PyObject* exc_type, const char* fmt, uint32_t index) {
    PyErr_Format(exc_type, fmt, static_cast<unsigned long>(index));
    PVM_TRACEBACK(kExecuteName);
    return -1;
}

// Adds `next_pc` and `gas_cost` to a pending PvmExit and raises it again;
// any other exception passes unchanged.
int leave_with_exception(uint32_t next_pc, uint32_t started) {
    if (PyErr_ExceptionMatches(exit_type)) {
        PyObject* exc = PyErr_GetRaisedException();
        Owned pc = Owned::steal(PyLong_FromUnsignedLong(next_pc));
        Owned gas = Owned::steal(pc ? PyLong_FromUnsignedLong(started) : nullptr);
        if (!gas || PyObject_SetAttr(exc, str_next_pc, pc.get()) < 0 ||
            PyObject_SetAttr(exc, str_gas_cost, gas.get()) < 0) {
            Py_DECREF(exc);  // the failure to annotate is raised instead
        } else {
            PyErr_SetRaisedException(exc);
        }
    }
    PVM_TRACEBACK(kExecuteName);
    return -1;
}

PyObject* block_result(uint32_t pc, uint32_t total_gas) {
    PyObject* r = PyTuple_New(2);
    if (r == nullptr) return nullptr;
    PyObject* a = PyLong_FromUnsignedLong(pc);
    PyObject* b = a ? PyLong_FromUnsignedLong(total_gas) : nullptr;
    if (b == nullptr) {
        Py_XDECREF(a);
        Py_DECREF(r);
        return nullptr;
    }
    PyTuple_SET_ITEM(r, 0, a);
    PyTuple_SET_ITEM(r, 1, b);
    return r;
}

inline int finish(uint32_t pc, uint32_t total_gas, uint32_t* next_pc, uint32_t* gas) {
    *next_pc = pc;
    *gas = total_gas;
    return 0;
}

// The loop itself, over the instructions from list index `first` on, at most
// `limit` of them, the first one called with `start_pc` as its counter: 0
// with the pc to continue at in *next_pc, the block's gas (read at entry) in
// *gas, the number of instructions run in *ran and whether a terminating one
// ended the block in *ended; or -1 with an exception set.  Running into the
// end of the list without a terminating instruction prints the warning; a
// stop at `limit` does not (the rest of the block has not run yet).
int run_range(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr, CyMemory* memory,
              uint32_t first, uint32_t limit, uint32_t* next_pc, uint32_t* gas, uint32_t* ran, int* ended) {
    // The list seen at entry is the one that runs, even if the attribute is
    // replaced meanwhile; its length is read once.
    const Owned list = Owned::incref(self->instructions);
    if (list.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        PVM_TRACEBACK(kExecuteName);
        return -1;
    }
    auto* items = reinterpret_cast<PyListObject*>(list.get());
    const uint32_t count = static_cast<uint32_t>(Py_SIZE(items));
    const uint32_t total_gas = self->total_gas;
    const PendingError pending;
    uint32_t pc = start_pc;
    *ran = 0;
    *ended = 0;
    const uint32_t end = limit < count - std::min(first, count) ? first + limit : count;

    for (uint32_t i = first; i < end; ++i) {
        // A handler may have shrunk the list through Python code.
        if (i >= static_cast<uint64_t>(Py_SIZE(items))) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            PVM_TRACEBACK(kExecuteName);
            return -1;
        }
        PyObject* item = items->ob_item[i];
        if (!PyObject_TypeCheck(item, &CyCompiledInstructionType)) {
            if (item == Py_None) return fail(PyExc_TypeError, "instruction %lu of the block is None", i);
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(item)->tp_name, kCompiledName);
            PVM_TRACEBACK(kExecuteName);
            return -1;
        }
        // Both stay alive across the call whatever the handler does to the
        // list, the element or the entry.
        const Owned hold_item = Owned::incref(item);
        CyCompiledInstruction* ins = as_compiled(item);
        if (ins->handler == Py_None)
            return fail(PyExc_TypeError, "instruction %lu of the block has no handler entry", i);
        const Owned hold_entry = Owned::incref(ins->handler);
        auto* entry = reinterpret_cast<CyTableEntry*>(ins->handler);
        const instr_fn_t fn = entry->fn;
        if (fn == nullptr)
            return fail(PyExc_TypeError, "instruction %lu of the block has an entry without a handler function", i);

        const uint32_t r = fn(program, reg_arr, memory, pc, ins->vx, ins->vy, ins->ra, ins->rb, ins->rd);
        *ran = i + 1 - first;
        if (pending()) [[unlikely]]
            return leave_with_exception(ins->next_pc, i + 1);
        pc = r == kFallThrough ? ins->next_pc : r;
        if (entry->is_terminating) {
            *ended = 1;
            return finish(pc, total_gas, next_pc, gas);
        }
    }
    if (end < count) return finish(pc, total_gas, next_pc, gas);

    Owned printed = Owned::steal(PyObject_CallOneArg(builtin_print, no_termination_warning));
    if (!printed) {
        PVM_TRACEBACK(kExecuteName);
        return -1;
    }
    return finish(pc, total_gas, next_pc, gas);
}


inline int run_block(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr, CyMemory* memory,
                     uint32_t* next_pc, uint32_t* gas) {
    uint32_t ran;
    int ended;
    return run_range(self, program, start_pc, reg_arr, memory, 0, UINT32_MAX, next_pc, gas, &ran, &ended);
}

// Method-table `execute`: the result as the tuple (next pc, total_gas).
PyObject* block_execute(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr,
                        CyMemory* memory) {
    uint32_t pc, gas;
    if (run_block(self, program, start_pc, reg_arr, memory, &pc, &gas) < 0) return nullptr;
    return block_result(pc, gas);
}

// Method-table `execute_to`: the same run for native callers (the driver),
// handing back the next pc without building Python objects.
int block_execute_to(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr, CyMemory* memory,
                     uint32_t* next_pc) {
    uint32_t gas;
    return run_block(self, program, start_pc, reg_arr, memory, next_pc, &gas);
}

// Method-table `execute_part`: part of the block, for a driver that stops
// between instructions (breakpoints, steps, instruction traces).
int block_execute_part(CyBlockInfo* self, CyProgram* program, uint32_t start_pc, uint64_t* reg_arr,
                       CyMemory* memory, uint32_t first, uint32_t limit, uint32_t* next_pc, uint32_t* ran,
                       int* ended) {
    uint32_t gas;
    return run_range(self, program, start_pc, reg_arr, memory, first, limit, next_pc, &gas, ran, ended);
}

CyBlockInfo_vtable block_vtable = {block_execute, block_execute_to, block_execute_part};

// ----- CyBlockInfo: object ----------------------------------------------------------------

CyBlockInfo* as_block(PyObject* o) { return reinterpret_cast<CyBlockInfo*>(o); }

PyObject* block_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_block(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->vtab = &block_vtable;
    self->instructions = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

void block_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_block(self)->instructions);
    Py_TYPE(self)->tp_free(self);
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_block(self)->instructions);
    return 0;
}

int block_clear(PyObject* self) {
    replace_field(as_block(self)->instructions, Py_None);
    return 0;
}

PyObject* get_total_gas(PyObject* self, void*) { return PyLong_FromUnsignedLong(as_block(self)->total_gas); }
PyObject* get_instructions(PyObject* self, void*) { return Py_NewRef(as_block(self)->instructions); }

int set_total_gas(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) return refuse_delete();
    return to_u32(v, &as_block(self)->total_gas) ? 0 : -1;
}
int set_instructions(PyObject* self, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (!check_setter_type(v, &PyList_Type)) return -1;
    replace_field(as_block(self)->instructions, v);
    return 0;
}

int block_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"total_gas", "instructions", nullptr};
    PyObject *ogas, *instructions;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:CyBlockInfo", const_cast<char**>(kwlist), &ogas, &instructions))
        return -1;
    uint32_t total_gas;
    if (!to_u32(ogas, &total_gas)) return -1;
    if (!check_arg_type(instructions, &PyList_Type, "instructions", false, true)) return -1;
    as_block(self)->total_gas = total_gas;
    replace_field(as_block(self)->instructions, instructions);
    return 0;
}

PyObject* block_repr(PyObject* self) {
    CyBlockInfo* b = as_block(self);
    if (PyList_Check(b->instructions))
        return PyUnicode_FromFormat("<%s total_gas=%lu, %zd instructions>", type_short_name(Py_TYPE(self)),
                                    static_cast<unsigned long>(b->total_gas), PyList_GET_SIZE(b->instructions));
    return PyUnicode_FromFormat("<%s total_gas=%lu, no instructions>", type_short_name(Py_TYPE(self)),
                                static_cast<unsigned long>(b->total_gas));
}

const PickleField block_fields[] = {
    {"instructions", get_instructions, set_instructions, true},
    {"total_gas", get_total_gas, set_total_gas, false},
};
PickleSpec block_pickle{"CyBlockInfo", &CyBlockInfoType, block_fields, 2, "_reconstruct_CyBlockInfo"};

PyGetSetDef block_getset[] = {
    {"total_gas", get_total_gas, set_total_gas, "total_gas: 'uint32_t'", nullptr},
    {"instructions", get_instructions, set_instructions, "instructions: list", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef block_methods[] = {PVM_PICKLE_METHODS(block_pickle), {nullptr, nullptr, 0, nullptr}};

PyTypeObject CyBlockInfoType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm.vm_block.CyBlockInfo", sizeof(CyBlockInfo),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                                 "CyBlockInfo(uint32_t total_gas: uint32_t, list instructions: List)\n\n"
                                 "Compiled basic block with pre-decoded instructions.");
    t.tp_new = block_new;
    t.tp_init = block_init;
    t.tp_dealloc = block_dealloc;
    t.tp_traverse = block_traverse;
    t.tp_clear = block_clear;
    t.tp_repr = block_repr;
    t.tp_getset = block_getset;
    t.tp_methods = block_methods;
    return t;
}();

PyMethodDef module_methods[] = {PVM_RECONSTRUCTOR(compiled_pickle), PVM_RECONSTRUCTOR(block_pickle),
                                {nullptr, nullptr, 0, nullptr}};

// ----- import ---------------------------------------------------------------------------

int import_exit_type() {
    Owned mod = Owned::steal(PyImport_ImportModule(kStatusModule));
    if (!mod) return -1;
    exit_type = PyObject_GetAttrString(mod.get(), "PvmExit");  // kept for the life of the process
    if (exit_type == nullptr) return -1;
    if (!PyExceptionClass_Check(exit_type)) {
        PyErr_Format(PyExc_TypeError, "%s.PvmExit is not an exception class", kStatusModule);
        return -1;
    }
    return 0;
}

int exec_module(PyObject* m) {
    {
        Owned builtins = Owned::steal(PyImport_ImportModule("builtins"));
        if (!builtins) return -1;
        builtin_print = PyObject_GetAttrString(builtins.get(), "print");
        if (builtin_print == nullptr) return -1;
    }
    no_termination_warning = PyUnicode_FromString("\u26a0\ufe0f Block ended without termination instruction");
    str_next_pc = PyUnicode_InternFromString("next_pc");
    str_gas_cost = PyUnicode_InternFromString("gas_cost");
    if (!no_termination_warning || !str_next_pc || !str_gas_cost) return -1;

    if (add_type(m, &CyCompiledInstructionType, "CyCompiledInstruction") < 0) return -1;
    if (add_type(m, &CyBlockInfoType, "CyBlockInfo") < 0) return -1;
    if (publish_vtable(&CyBlockInfoType, &block_vtable, kCyBlockInfoVtableSig) < 0) return -1;

    if (import_class(kProgramModule, "CyProgram", sizeof(CyProgram), &program_type, &program_vtable,
                     kCyProgramVtableSig) < 0 ||
        import_class(kMemoryModule, "CyMemory", sizeof(CyMemory), &memory_type, &memory_vtable,
                     kCyMemoryVtableSig) < 0 ||
        import_class<void>(kOpTableModule, "CyTableEntry", sizeof(CyTableEntry), &entry_type, nullptr, nullptr) < 0 ||
        import_class(kOpTableModule, "CyTable", sizeof(CyTable), &table_type, &table_vtable, kCyTableVtableSig) < 0 ||
        import_class(kStatusModule, "CyStatus", sizeof(CyStatus), &status_type, &status_vtable,
                     kCyStatusVtableSig) < 0 ||
        import_exit_type() < 0)
        return -1;

    // The status values are not used here, but a vm_status without them is
    // not one this module was built for.
    for (const char* name : kStatusVarNames) {
        CyStatus** unused;
        if (bind_variable(kStatusModule, name, &unused, kStatusVarSig) < 0) return -1;
    }

    if (init_pickle(m, compiled_pickle) < 0) return -1;
    return init_pickle(m, block_pickle);
}

}  // namespace

PVM_DEFINE_MODULE(vm_block, "Compiled instructions and basic blocks.", module_methods, guard, exec_module)
