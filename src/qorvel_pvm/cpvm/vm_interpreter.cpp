// qorvel_pvm.cpvm.vm_interpreter: the driver that runs programs, and the
// native bridges.
//
// The driver (`Interpreter`) turns a program into compiled basic blocks, one
// per start pc, caches them for its own lifetime, and runs them with gas:
// before each block it checks the remaining gas against the block's total,
// charges it and calls `execute`; a `PvmExit` ends the run with its status.
//
// `CyBlockInfo.execute`, the groups' `get_props` and the handlers are native
// fast paths with no Python view of their own.  The bridges here make them
// callable from Python for tests and tools, checking every argument before
// anything runs:
//
//   execute_block(block, program, pc, registers, memory) -> (next_pc, total_gas)
//   decode(group, pc, program, skip) -> (vx, vy, ra, rb, rd)
//   call_handler(entry, program, registers, memory, counter, vx, vy, ra, rb, rd) -> int
//   get_table(group) -> dict   (with a Python subclass's override, as the fast path does)
//
// `registers` is any writable, C-contiguous buffer of at least 13 unsigned
// 64-bit items (an array.array('Q') for instance).  The buffer stays exported
// for the whole call, so Python code reached from a handler cannot resize or
// free it underneath the handlers.
#include "abi/block.hpp"
#include "abi/memory.hpp"
#include "abi/op_table.hpp"
#include "abi/program.hpp"
#include "abi/status.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

using namespace pvm;

ModuleGuard guard("vm_interpreter");

constexpr Py_ssize_t kRegisterCount = 13;

// ----- classes bound at import ----------------------------------------------------

struct Classes {
    PyTypeObject* program = nullptr;
    CyProgram_vtable* program_vtable = nullptr;
    PyTypeObject* memory = nullptr;
    CyMemory_vtable* memory_vtable = nullptr;
    PyTypeObject* entry = nullptr;
    PyTypeObject* table = nullptr;
    CyTable_vtable* table_vtable = nullptr;
    PyTypeObject* block = nullptr;
    CyBlockInfo_vtable* block_vtable = nullptr;
    PyTypeObject* compiled = nullptr;
};
Classes cls;

int import_classes() {
    if (import_class(kProgramModule, "CyProgram", sizeof(CyProgram), &cls.program, &cls.program_vtable,
                     kCyProgramVtableSig) < 0 ||
        import_class(kMemoryModule, "CyMemory", sizeof(CyMemory), &cls.memory, &cls.memory_vtable,
                     kCyMemoryVtableSig) < 0 ||
        import_class<void>(kOpTableModule, "CyTableEntry", sizeof(CyTableEntry), &cls.entry, nullptr, nullptr) < 0 ||
        import_class(kOpTableModule, "CyTable", sizeof(CyTable), &cls.table, &cls.table_vtable, kCyTableVtableSig) <
            0 ||
        import_class(kBlockModule, "CyBlockInfo", sizeof(CyBlockInfo), &cls.block, &cls.block_vtable,
                     kCyBlockInfoVtableSig) < 0 ||
        import_class<void>(kBlockModule, "CyCompiledInstruction", sizeof(CyCompiledInstruction), &cls.compiled,
                           nullptr, nullptr) < 0)
        return -1;
    return 0;
}

// ----- register arrays --------------------------------------------------------------

// A register array borrowed from a Python buffer for the length of one call.
class RegisterBuffer {
public:
    RegisterBuffer() = default;
    RegisterBuffer(const RegisterBuffer&) = delete;
    RegisterBuffer& operator=(const RegisterBuffer&) = delete;
    ~RegisterBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Exports `obj` and checks it; false with TypeError or ValueError.
    bool acquire(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_BufferError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "registers must be a writable buffer of unsigned 64-bit integers, not '%.200s'",
                             Py_TYPE(obj)->tp_name);
            }
            return false;
        }
        held_ = true;
        if (view_.readonly) return type_error("registers buffer is read-only");
        if (!PyBuffer_IsContiguous(&view_, 'C')) return type_error("registers buffer must be C-contiguous");
        const char* fmt = view_.format ? view_.format : "B";
        if (!is_u64_format(fmt) || view_.itemsize != 8) {
            PyErr_Format(PyExc_TypeError,
                         "registers buffer must hold unsigned 64-bit items (format 'Q'), not format '%.20s' of "
                         "%zd-byte items",
                         fmt, view_.itemsize);
            return false;
        }
        if (view_.len / 8 < kRegisterCount) {
            PyErr_Format(PyExc_ValueError, "registers buffer holds %zd registers, at least %zd are needed",
                         view_.len / 8, kRegisterCount);
            return false;
        }
        if (reinterpret_cast<uintptr_t>(view_.buf) % alignof(uint64_t) != 0) {
            PyErr_SetString(PyExc_ValueError, "registers buffer is not aligned to 8 bytes");
            return false;
        }
        return true;
    }

    uint64_t* data() const { return static_cast<uint64_t*>(view_.buf); }
    size_t count() const { return static_cast<size_t>(view_.len / 8); }

private:
    static bool type_error(const char* msg) {
        PyErr_SetString(PyExc_TypeError, msg);
        return false;
    }

    // Native-order unsigned 64-bit: 'Q', or 'L' where long has 64 bits, with
    // an optional native or little-endian prefix.
    static bool is_u64_format(const char* fmt) {
        if (*fmt == '@' || *fmt == '=' || *fmt == '<') {
            const bool standard = *fmt != '@';
            ++fmt;
            if (standard && fmt[0] == 'L') return false;  // standard 'L' is 4 bytes
        }
        if (fmt[0] == '\0' || fmt[1] != '\0') return false;
        return fmt[0] == 'Q' || (fmt[0] == 'L' && sizeof(long) == 8);
    }

    Py_buffer view_{};
    bool held_ = false;
};

// The registers handlers actually run on.  A compiled instruction built from
// Python may carry any register index up to 255, and handlers index the
// array without a bound check, so every call runs on a 256-slot file: the
// caller's registers are copied in before and back after, and an index
// above 12 reaches a scratch slot instead of memory past the caller's array.
class RegisterFile {
public:
    static constexpr size_t kSlots = 256;

    void load(const RegisterBuffer& regs) {
        count_ = std::min(regs.count(), kSlots);
        std::memcpy(r_, regs.data(), count_ * sizeof(uint64_t));
    }
    void store(const RegisterBuffer& regs) const { std::memcpy(regs.data(), r_, count_ * sizeof(uint64_t)); }
    uint64_t* data() { return r_; }

private:
    uint64_t r_[kSlots] = {};
    size_t count_ = 0;
};

// ----- argument helpers ------------------------------------------------------------

bool check_instance(PyObject* o, PyTypeObject* type, const char* name) {
    return check_arg_type(o, type, name, false, false);
}

PyObject* props_tuple(const InstructionProps& p) {
    return Py_BuildValue("(KKBBB)", static_cast<unsigned long long>(p.vx), static_cast<unsigned long long>(p.vy),
                         p.ra, p.rb, p.rd);
}

// ----- bridges ----------------------------------------------------------------------

PyObject* execute_block(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"block", "program", "pc", "registers", "memory", nullptr};
    PyObject *block, *program, *opc, *registers, *memory;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOO:execute_block", const_cast<char**>(kwlist), &block,
                                     &program, &opc, &registers, &memory))
        return nullptr;
    if (!check_instance(block, cls.block, "block") || !check_instance(program, cls.program, "program") ||
        !check_instance(memory, cls.memory, "memory"))
        return nullptr;
    uint32_t pc;
    if (!to_u32(opc, &pc)) return nullptr;
    RegisterBuffer regs;
    if (!regs.acquire(registers)) return nullptr;
    RegisterFile file;
    file.load(regs);
    auto* b = reinterpret_cast<CyBlockInfo*>(block);
    PyObject* r = b->vtab->execute(b, reinterpret_cast<CyProgram*>(program), pc, file.data(),
                                   reinterpret_cast<CyMemory*>(memory));
    file.store(regs);
    return r;
}

PyObject* decode(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"group", "pc", "program", "skip", nullptr};
    PyObject *group, *opc, *program, *oskip;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO:decode", const_cast<char**>(kwlist), &group, &opc, &program,
                                     &oskip))
        return nullptr;
    if (!check_instance(group, cls.table, "group") || !check_instance(program, cls.program, "program")) return nullptr;
    uint32_t pc, skip;
    if (!to_u32(opc, &pc) || !to_u32(oskip, &skip)) return nullptr;
    auto* table = reinterpret_cast<CyTable*>(group);
    if (table->vtab == nullptr) {
        PyErr_SetString(PyExc_TypeError, "group object has no method table");
        return nullptr;
    }
    const InstructionProps props = table->vtab->get_props(table, pc, reinterpret_cast<CyProgram*>(program), skip);
    if (PyErr_Occurred()) return nullptr;
    return props_tuple(props);
}

PyObject* call_handler(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"entry", "program", "registers", "memory", "counter",
                                   "vx",    "vy",      "ra",        "rb",     "rd",      nullptr};
    PyObject *entry, *program, *registers, *memory, *ocounter, *ovx, *ovy, *ora, *orb, *ord;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOOOOO:call_handler", const_cast<char**>(kwlist), &entry,
                                     &program, &registers, &memory, &ocounter, &ovx, &ovy, &ora, &orb, &ord))
        return nullptr;
    if (!check_instance(entry, cls.entry, "entry") || !check_instance(program, cls.program, "program") ||
        !check_instance(memory, cls.memory, "memory"))
        return nullptr;
    uint32_t counter;
    uint64_t vx, vy;
    uint8_t ra, rb, rd;
    if (!to_u32(ocounter, &counter) || !to_u64(ovx, &vx) || !to_u64(ovy, &vy) || !to_u8(ora, &ra) ||
        !to_u8(orb, &rb) || !to_u8(ord, &rd))
        return nullptr;
    const instr_fn_t fn = reinterpret_cast<CyTableEntry*>(entry)->fn;
    if (fn == nullptr) {
        PyErr_SetString(PyExc_TypeError, "entry has no handler function");
        return nullptr;
    }
    RegisterBuffer regs;
    if (!regs.acquire(registers)) return nullptr;
    RegisterFile file;
    file.load(regs);
    const uint32_t r = fn(reinterpret_cast<CyProgram*>(program), file.data(), reinterpret_cast<CyMemory*>(memory),
                          counter, vx, vy, ra, rb, rd);
    file.store(regs);
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromUnsignedLong(r);
}

// The extended method table of an instruction group, found through the
// group's class (a Python subclass inherits its group's); NULL with
// TypeError for a CyTable that is not a group.
CyGroup_vtable* group_vtable(PyObject* group) {
    if (!check_instance(group, cls.table, "group")) return nullptr;
    Owned cap = Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(group)), kVtableAttr));
    if (!cap) PyErr_Clear();
    if (!cap || !PyCapsule_IsValid(cap.get(), kCyGroupVtableSig)) {
        PyErr_Format(PyExc_TypeError, "%.200s is not an instruction group", Py_TYPE(group)->tp_name);
        return nullptr;
    }
    return static_cast<CyGroup_vtable*>(PyCapsule_GetPointer(cap.get(), kCyGroupVtableSig));
}

PyObject* get_table(PyObject*, PyObject* group) {
    CyGroup_vtable* vt = group_vtable(group);
    if (vt == nullptr) return nullptr;
    return vt->get_table(reinterpret_cast<CyTable*>(group), 0);
}

// ----- the driver ----------------------------------------------------------------------

// The instruction groups the driver compiles with: each group's TABLE is
// bound natively by name and one instance of its class decodes operands.
// Adding a group is one line here.
struct GroupSlot {
    const char* module;
    const char* class_name;
    PyObject** table = nullptr;   // the group module's TABLE variable
    CyTable* decoder = nullptr;   // strong, for the life of the process
};

GroupSlot groups[] = {
    {"qorvel_pvm.cpvm.instructions.tables.ops_no_args", "InstructionsWoArgs"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_offset", "CyWArgsOneOffset"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_reg_imm_offset", "InstructionsWArgs1Reg1Imm1Offset"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_two_reg", "CyInstructionsWArgs2Reg"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_two_reg_imm", "CyInstructionsWArgs2Reg1Imm"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_two_reg_two_imm", "CyInstructionsWArgs2Reg2Imm"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_reg_ext_imm", "InstructionsWArgs1Reg1ExtImm"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_two_imm", "InstructionsWArgs2Imm"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_reg_imm", "InstructionsWArgs1Reg1Imm"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_reg_two_imm", "InstructionsWArgs1Reg2Imm"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_two_reg_offset", "InstructionsWArgs2Reg1Offset"},
    {"qorvel_pvm.cpvm.instructions.tables.ops_three_reg", "InstructionsWArgs3Reg"},
};

constexpr int kTrapOpcode = 0;

// Opcode -> (entry, owning group), built from the TABLEs at import.  The
// entries are held strongly: TABLE dicts are reachable from Python.
struct OpcodeSlot {
    PyObject* entry = nullptr;
    CyTable* decoder = nullptr;
};
OpcodeSlot opcodes[256];
PyObject* exit_type = nullptr;  // PvmExit
PyObject* str_gas_cost = nullptr;

int bind_groups() {
    for (GroupSlot& g : groups) {
        if (bind_variable(g.module, kTableName, &g.table, kTableSig) < 0) return -1;
        PyTypeObject* type = nullptr;
        if (import_class<void>(g.module, g.class_name, sizeof(CyTable), &type, nullptr, nullptr) < 0) return -1;
        g.decoder = reinterpret_cast<CyTable*>(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type)));
        Py_DECREF(type);
        if (g.decoder == nullptr) return -1;
        PyObject* table = *g.table;
        if (!PyDict_Check(table)) {
            PyErr_Format(PyExc_TypeError, "%s.TABLE is not a dict", g.module);
            return -1;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(table, &pos, &key, &value)) {
            long op = PyLong_AsLong(key);
            if (op == -1 && PyErr_Occurred()) return -1;
            if (op < 0 || op > 255 || !PyObject_TypeCheck(value, cls.entry)) {
                PyErr_Format(PyExc_TypeError, "%s.TABLE has a bad entry for opcode %ld", g.module, op);
                return -1;
            }
            if (opcodes[op].entry != nullptr) {
                PyErr_Format(PyExc_ValueError, "opcode %ld is defined by two instruction groups", op);
                return -1;
            }
            opcodes[op] = {Py_NewRef(value), g.decoder};
        }
    }
    if (opcodes[kTrapOpcode].entry == nullptr) {
        PyErr_SetString(PyExc_ImportError, "no instruction group defines the trap opcode 0");
        return -1;
    }
    Owned status = Owned::steal(PyImport_ImportModule(kStatusModule));
    if (!status) return -1;
    exit_type = PyObject_GetAttrString(status.get(), "PvmExit");
    str_gas_cost = PyUnicode_InternFromString("gas_cost");
    return exit_type && str_gas_cost ? 0 : -1;
}

extern PyTypeObject InterpreterType;

struct Interpreter {
    PyObject_HEAD
    CyProgram* program;
    // Compiled blocks by start pc: a slot per code position (and one past the
    // end), a dict for start pcs further out.
    std::vector<CyBlockInfo*>* near;
    PyObject* far;
    Py_ssize_t cached;
};

// Creates one compiled instruction, fields set directly.
PyObject* new_compiled(int32_t opcode, uint32_t next_pc, PyObject* entry, const InstructionProps& p) {
    PyObject* o = cls.compiled->tp_alloc(cls.compiled, 0);
    if (o == nullptr) return nullptr;
    auto* c = reinterpret_cast<CyCompiledInstruction*>(o);
    c->opcode = opcode;
    c->next_pc = next_pc;
    c->handler = Py_NewRef(entry);
    c->vx = p.vx;
    c->vy = p.vy;
    c->ra = p.ra;
    c->rb = p.rb;
    c->rd = p.rd;
    return o;
}

bool is_instruction_start(const CyProgram* p, uint32_t pc) {
    return p->zeta_len > 0 && pc < static_cast<uint32_t>(p->zeta_len) && p->_start_flags != nullptr &&
           p->_start_flags[pc] != 0;
}

// Decodes the basic block starting at `pc`: instructions up to and including
// the first terminating one.  A position past the code, a position inside an
// instruction and an opcode no group defines compile to the trap entry.
PyObject* compile_block(CyProgram* program, uint32_t pc) {
    Owned list = Owned::steal(PyList_New(0));
    if (!list) return nullptr;
    uint64_t total_gas = 0;
    uint32_t cur = pc;
    for (;;) {
        int32_t opcode = kTrapOpcode;
        PyObject* entry = opcodes[kTrapOpcode].entry;
        InstructionProps props{0, 0, 0, 0, 0};
        uint32_t skip = 0;
        if (is_instruction_start(program, cur)) {
            opcode = program->zeta[cur];
            skip = program->vtab->skip(program, static_cast<int32_t>(cur));
            if (PyErr_Occurred()) return nullptr;
            const OpcodeSlot& slot = opcodes[opcode];
            if (slot.entry != nullptr) {
                entry = slot.entry;
                props = slot.decoder->vtab->get_props(slot.decoder, cur, program, skip);
                if (PyErr_Occurred()) return nullptr;
            }
        }
        const uint32_t next_pc = cur + 1 + skip;
        Owned ins = Owned::steal(new_compiled(opcode, next_pc, entry, props));
        if (!ins || PyList_Append(list.get(), ins.get()) < 0) return nullptr;
        auto* e = reinterpret_cast<CyTableEntry*>(entry);
        total_gas += e->gas_cost;
        // A trap always exits, so it ends the block even when its shared
        // entry's flag was cleared from Python; otherwise the positions past
        // the code, which all compile to traps, would never end the block.
        if (e->is_terminating || entry == opcodes[kTrapOpcode].entry) break;
        cur = next_pc;
    }
    PyObject* block = cls.block->tp_alloc(cls.block, 0);
    if (block == nullptr) return nullptr;
    auto* b = reinterpret_cast<CyBlockInfo*>(block);
    b->vtab = cls.block_vtable;
    b->total_gas = total_gas > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total_gas);
    b->instructions = list.release();
    return block;
}

// The cached block at `pc`, compiled on first use (borrowed reference).
CyBlockInfo* block_at(Interpreter* self, uint32_t pc) {
    const bool is_near = pc < self->near->size();
    if (is_near) {
        CyBlockInfo* b = (*self->near)[pc];
        if (b != nullptr) return b;
    } else {
        Owned key = Owned::steal(PyLong_FromUnsignedLong(pc));
        if (!key) return nullptr;
        PyObject* b = PyDict_GetItemWithError(self->far, key.get());
        if (b != nullptr) return reinterpret_cast<CyBlockInfo*>(b);
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* block = compile_block(self->program, pc);
    if (block == nullptr) return nullptr;
    if (is_near) {
        (*self->near)[pc] = reinterpret_cast<CyBlockInfo*>(block);  // the cache owns it
    } else {
        Owned key = Owned::steal(PyLong_FromUnsignedLong(pc));
        int rc = key ? PyDict_SetItem(self->far, key.get(), block) : -1;
        Py_DECREF(block);
        if (rc < 0) return nullptr;
    }
    ++self->cached;
    return reinterpret_cast<CyBlockInfo*>(block);
}

PyObject* interpreter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"program", nullptr};
    PyObject* program;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:Interpreter", const_cast<char**>(kwlist), &program))
        return nullptr;
    if (!check_instance(program, cls.program, "program")) return nullptr;
    auto* self = reinterpret_cast<Interpreter*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    auto* prog = reinterpret_cast<CyProgram*>(program);
    self->program = reinterpret_cast<CyProgram*>(Py_NewRef(program));
    self->far = PyDict_New();
    const size_t slots = static_cast<size_t>(prog->zeta_len > 0 ? prog->zeta_len : 0) + 1;
    self->near = new (std::nothrow) std::vector<CyBlockInfo*>();
    if (self->far == nullptr || self->near == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    self->near->resize(slots, nullptr);
    return reinterpret_cast<PyObject*>(self);
}

int interpreter_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<Interpreter*>(o);
    Py_VISIT(self->program);
    Py_VISIT(self->far);
    if (self->near)
        for (CyBlockInfo* b : *self->near) Py_VISIT(b);
    return 0;
}

int interpreter_clear(PyObject* o) {
    auto* self = reinterpret_cast<Interpreter*>(o);
    if (self->near) {
        for (CyBlockInfo*& b : *self->near) Py_CLEAR(b);
    }
    if (self->far) PyDict_Clear(self->far);
    self->cached = 0;
    return 0;
}

void interpreter_dealloc(PyObject* o) {
    auto* self = reinterpret_cast<Interpreter*>(o);
    PyObject_GC_UnTrack(o);
    if (self->near) {
        for (CyBlockInfo* b : *self->near) Py_XDECREF(b);
        delete self->near;
        self->near = nullptr;
    }
    Py_CLEAR(self->far);
    Py_CLEAR(self->program);
    Py_TYPE(o)->tp_free(o);
}

// The pc of instruction `k` (0-based) of a block that started at `start`:
// instructions inside a block follow each other, so it is the previous
// instruction's next_pc.  Falls back to the block start if Python code
// changed the list meanwhile.
uint32_t instruction_pc(CyBlockInfo* block, uint32_t start, Py_ssize_t k, uint64_t* gas_of_started) {
    *gas_of_started = block->total_gas;
    PyObject* list = block->instructions;
    if (k <= 0 || list == nullptr || !PyList_Check(list) || k > PyList_GET_SIZE(list)) return start;
    uint64_t gas = 0;
    uint32_t pc = start;
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyObject_TypeCheck(item, cls.compiled)) return start;
        auto* c = reinterpret_cast<CyCompiledInstruction*>(item);
        if (PyObject_TypeCheck(c->handler, cls.entry)) gas += reinterpret_cast<CyTableEntry*>(c->handler)->gas_cost;
        if (i + 1 < k) pc = c->next_pc;
    }
    *gas_of_started = gas;
    return pc;
}

// Result of a run: (status code, pc, gas left, fault address or None).
PyObject* run_result(int code, uint32_t pc, uint64_t gas, PyObject* fault) {
    return Py_BuildValue("(iIKO)", code, pc, static_cast<unsigned long long>(gas), fault ? fault : Py_None);
}

// Turns a PvmExit leaving block `block` (started at `start`, its gas
// `charged` already taken) into the run's result.  The gas of the
// instructions that never started is given back.  Exits with a code other
// than halt, panic and page fault are not statuses of this driver and
// propagate unchanged.
PyObject* finish_with_exit(CyBlockInfo* block, uint32_t start, uint64_t gas_before) {
    PyObject* exc = PyErr_GetRaisedException();
    // Held: the `gas_cost` lookup below may run Python code that replaces
    // the exception's arguments.
    const Owned hold_args = Owned::incref(reinterpret_cast<PyBaseExceptionObject*>(exc)->args);
    PyObject* args = hold_args.get();
    long code = -1;
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) >= 1 && PyLong_Check(PyTuple_GET_ITEM(args, 0))) {
        code = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
        if (code == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    if (code < kHalt || code > kPageFault) {
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    Py_ssize_t started = 0;
    Owned gc = Owned::steal(PyObject_GetAttr(exc, str_gas_cost));
    if (gc && PyLong_Check(gc.get())) started = PyLong_AsSsize_t(gc.get());
    if (started < 0) started = 0;
    PyErr_Clear();
    uint64_t charged;
    uint32_t pc = instruction_pc(block, start, started, &charged);
    uint64_t gas = gas_before >= charged ? gas_before - charged : 0;
    PyObject* fault = nullptr;
    if (code == kPageFault && PyTuple_GET_SIZE(args) >= 2) fault = PyTuple_GET_ITEM(args, 1);
    PyObject* result = run_result(static_cast<int>(code), pc, gas, fault);
    Py_DECREF(exc);
    return result;
}

constexpr uint32_t kSignalCheckBlocks = 4096;

// Records on the exception a signal handler raised (KeyboardInterrupt for
// Ctrl-C) where the run stopped: `pc` (the block that was to run next),
// `gas` (left) and `registers` (a list), so a caller can report the state
// at the interruption.  If recording fails, the exception passes on as is.
void note_interruption(PyObject* registers, uint32_t pc, uint64_t gas) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    Owned opc = Owned::steal(PyLong_FromUnsignedLong(pc));
    Owned ogas = Owned::steal(PyLong_FromUnsignedLongLong(gas));
    Owned regs = Owned::steal(PySequence_List(registers));
    if (!opc || !ogas || !regs || PyObject_SetAttrString(exc, "pc", opc.get()) < 0 ||
        PyObject_SetAttrString(exc, "gas", ogas.get()) < 0 ||
        PyObject_SetAttrString(exc, "registers", regs.get()) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

PyObject* interpreter_run(PyObject* o, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"registers", "memory", "pc", "gas", "trace", nullptr};
    PyObject *registers, *memory, *opc, *ogas, *trace = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|O:run", const_cast<char**>(kwlist), &registers, &memory, &opc,
                                     &ogas, &trace))
        return nullptr;
    if (!check_instance(memory, cls.memory, "memory")) return nullptr;
    uint32_t pc;
    int64_t signed_gas;
    if (!to_u32(opc, &pc) || !to_i64(ogas, &signed_gas)) return nullptr;
    if (signed_gas < 0) {
        PyErr_SetString(PyExc_ValueError, "gas must not be negative");
        return nullptr;
    }
    if (trace != Py_None && !PyCallable_Check(trace)) {
        PyErr_SetString(PyExc_TypeError, "trace must be callable or None");
        return nullptr;
    }
    RegisterBuffer regs;
    if (!regs.acquire(registers)) return nullptr;
    RegisterFile file;
    file.load(regs);

    auto* self = reinterpret_cast<Interpreter*>(o);
    // Held for the whole run: Python code reached from a handler may drop
    // its own references to either.
    const Owned hold_self = Owned::incref(o);
    const Owned hold_memory = Owned::incref(memory);
    CyProgram* program = self->program;
    auto* mem = reinterpret_cast<CyMemory*>(memory);
    uint64_t gas = static_cast<uint64_t>(signed_gas);
    PyObject* result = nullptr;
    // Signals (Ctrl-C, alarms) are looked at every few thousand blocks, so a
    // long run can be interrupted; a handler's exception ends the run.
    uint32_t until_signal_check = kSignalCheckBlocks;
    bool interrupted = false;
    for (;;) {
        if (--until_signal_check == 0) {
            until_signal_check = kSignalCheckBlocks;
            if (PyErr_CheckSignals() < 0) {
                interrupted = true;
                break;
            }
        }
        CyBlockInfo* block = block_at(self, pc);
        if (block == nullptr) break;
        const Owned hold_block = Owned::incref(reinterpret_cast<PyObject*>(block));
        const uint64_t cost = block->total_gas;
        if (gas < cost) {
            result = run_result(kOutOfGas, pc, gas, nullptr);
            break;
        }
        const uint64_t gas_before = gas;
        gas -= cost;
        const uint32_t start = pc;
        if (block->vtab->execute_to(block, program, start, file.data(), mem, &pc) < 0) {
            if (PyErr_ExceptionMatches(exit_type)) result = finish_with_exit(block, start, gas_before);
            break;
        }
        if (trace != Py_None) {
            file.store(regs);
            Owned t = Owned::steal(PyObject_CallFunction(trace, "IOO", start, block, registers));
            if (!t) {
                // Ctrl-C while the hook ran: the block is done, pc is the next one.
                interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
                break;
            }
            file.load(regs);
        }
    }
    file.store(regs);
    if (interrupted) note_interruption(registers, pc, gas);
    return result;
}

PyObject* interpreter_compile_block(PyObject* o, PyObject* arg) {
    uint32_t pc;
    if (!to_u32(arg, &pc)) return nullptr;
    CyBlockInfo* b = block_at(reinterpret_cast<Interpreter*>(o), pc);
    return b ? Py_NewRef(reinterpret_cast<PyObject*>(b)) : nullptr;
}

PyObject* interpreter_get_program(PyObject* o, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(reinterpret_cast<Interpreter*>(o)->program));
}

PyObject* interpreter_get_cached(PyObject* o, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<Interpreter*>(o)->cached);
}

PyMethodDef interpreter_methods[] = {
    {"run", cfunc(interpreter_run), METH_VARARGS | METH_KEYWORDS,
     "run(registers, memory, pc, gas, trace=None) -> tuple\n\nRun from pc until the program exits or runs out "
     "of gas.  Returns (status, pc, gas, fault_address) with status 0 halt, 1 panic, 2 page fault, 3 out of "
     "gas.  registers (a writable buffer of at least 13 unsigned 64-bit items) and memory are changed in "
     "place.  trace, if given, is called as trace(start_pc, block, registers) after each block."},
    {"compile_block", interpreter_compile_block, METH_O,
     "compile_block(pc) -> CyBlockInfo\n\nThe compiled basic block starting at pc (built once, then cached)."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef interpreter_getset[] = {
    {"program", interpreter_get_program, nullptr, "The program this interpreter runs.", nullptr},
    {"cached_blocks", interpreter_get_cached, nullptr, "Number of basic blocks compiled so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject InterpreterType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm.vm_interpreter.Interpreter", sizeof(Interpreter),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                                 "Interpreter(program)\n\nRuns one CyProgram, compiling each basic block once.");
    t.tp_new = interpreter_new;
    t.tp_dealloc = interpreter_dealloc;
    t.tp_traverse = interpreter_traverse;
    t.tp_clear = interpreter_clear;
    t.tp_methods = interpreter_methods;
    t.tp_getset = interpreter_getset;
    return t;
}();

PyMethodDef module_methods[] = {
    {"execute_block", cfunc(execute_block), METH_VARARGS | METH_KEYWORDS,
     "execute_block(block, program, pc, registers, memory) -> tuple\n\nRun a compiled block from pc and return "
     "(next pc, total gas); an exit of the guest raises PvmExit carrying next_pc and gas_cost."},
    {"decode", cfunc(decode), METH_VARARGS | METH_KEYWORDS,
     "decode(group, pc, program, skip) -> tuple\n\nThe operands (vx, vy, ra, rb, rd) that an instruction group "
     "decodes for the instruction at pc with the given skip length."},
    {"call_handler", cfunc(call_handler), METH_VARARGS | METH_KEYWORDS,
     "call_handler(entry, program, registers, memory, counter, vx, vy, ra, rb, rd) -> int\n\nCall the handler of "
     "one table entry and return its result: the pc to continue at, or 0xFFFFFFFF for the next instruction."},
    {"get_table", get_table, METH_O,
     "get_table(group) -> dict\n\nThe opcode table of an instruction group through its native method table, "
     "running a Python subclass's get_table override as the block builder would."},
    {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject* m) {
    if (import_classes() < 0 || bind_groups() < 0) return -1;
    return add_type(m, &InterpreterType, "Interpreter");
}

}  // namespace

PVM_DEFINE_MODULE(vm_interpreter, "Running compiled programs; native bridges for tests and tools.", module_methods,
                  guard, exec_module)
