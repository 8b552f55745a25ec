// qorvel_pvm.cpvm.vm_interpreter: the driver that runs programs, and the
// native bridges.
//
// The driver (`Interpreter`) turns a program into compiled basic blocks, one
// per start pc, caches them for its own lifetime, and runs them with gas:
// before each block it checks the remaining gas against the block's total,
// charges it and calls `execute`; a `PvmExit` ends the run with its status.
// An exit inside a block gives no gas back; a page fault is reported at the
// first page of the access that lacks the permission.  A host call (`ecalli`)
// either goes to the run's host handler, after which the rest of the block
// runs already paid for, or stops the run with status 4, the gas of the
// instructions after the call given back.
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
#include "numeric.hpp"
#include "engines/native_loop.hpp"
#include "engines/profiler.hpp"
#include "engines/run_lock.hpp"
#include "jit/jit.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
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
    PyTypeObject* status = nullptr;
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
                           nullptr, nullptr) < 0 ||
        import_class<void>(kStatusModule, "CyStatus", sizeof(CyStatus), &cls.status, nullptr, nullptr) < 0)
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

    void load(const RegisterBuffer& regs) { load(regs.data(), regs.count()); }
    void store(const RegisterBuffer& regs) const { store(regs.data()); }
    void load(const uint64_t* values, size_t count) {
        count_ = std::min(count, kSlots);
        std::memcpy(r_, values, count_ * sizeof(uint64_t));
    }
    void store(uint64_t* values) const { std::memcpy(values, r_, count_ * sizeof(uint64_t)); }
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
    MemoryClaim claim;
    if (!claim.acquire(reinterpret_cast<CyMemory*>(memory))) return nullptr;
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
    MemoryClaim claim;
    if (!claim.acquire(reinterpret_cast<CyMemory*>(memory))) return nullptr;
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
    {"qorvel_pvm.cpvm.instructions.tables.ops_one_imm", "InstructionsWArgs1Imm"},
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
constexpr int kEcalliOpcode = 10;  // the host call

// Opcode -> (entry, owning group), built from the TABLEs at import.  The
// entries are held strongly: TABLE dicts are reachable from Python.
struct OpcodeSlot {
    PyObject* entry = nullptr;
    CyTable* decoder = nullptr;
};
OpcodeSlot opcodes[256];
PyObject* opcode_entries[256];  // opcodes[op].entry, for the native engines
PyObject* exit_type = nullptr;  // PvmExit
PyObject* str_gas_cost = nullptr;
PyObject* str_next_pc = nullptr;

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
            opcode_entries[op] = value;
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
    str_next_pc = PyUnicode_InternFromString("next_pc");
    return exit_type && str_gas_cost && str_next_pc ? 0 : -1;
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
    native_loop::Cache* native;  // the native loop's form of the blocks
    jit::Cache* jit;             // the block compiler's code (nullptr: runs do not use it)
    uint64_t native_gas;         // gas the native loop spent in this interpreter's runs, up to kWarmGas
    // The register ints of the last RunResult, held, with their values: ints
    // never change, so the same object passed back in (as a run resumed
    // from a result does) needs no conversion.
    PyObject* last_regs[13];
    uint64_t last_values[13];
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
        // Compiling may run Python code (a group's Python decoder), during
        // which another thread may have cached the block: the first one stays.
        if (CyBlockInfo* first = (*self->near)[pc]; first != nullptr) {
            Py_DECREF(block);
            return first;
        }
        (*self->near)[pc] = reinterpret_cast<CyBlockInfo*>(block);  // the cache owns it
    } else {
        Owned key = Owned::steal(PyLong_FromUnsignedLong(pc));
        PyObject* first = key ? PyDict_SetDefault(self->far, key.get(), block) : nullptr;
        Py_DECREF(block);
        if (first == nullptr) return nullptr;
        if (first != block) return reinterpret_cast<CyBlockInfo*>(first);
    }
    ++self->cached;
    return reinterpret_cast<CyBlockInfo*>(block);
}

// A Python function that does nothing.  Calling it is how a long run lets
// other Python threads run and lets pending signal handlers run: entering a
// Python function is where the interpreter honours a waiting thread's
// request for the lock (handing the lock over and waiting until that thread
// took it) and runs signal handlers.  Releasing and retaking the lock from
// native code would not do: the run retakes it before a waiting thread wakes.
PyObject* thread_switch = nullptr;

// Threads whose runs were asked to stop (`_interrupt_thread`): their next
// check raises KeyboardInterrupt.  Touched only under the lock; `interrupts`
// counts the requests, for runs that do not hold the lock.
std::vector<unsigned long> stop_requests;
uint64_t interrupts = 0;

// Whether a stop was asked for this thread (and forgets the request).
bool stop_requested() {
    if (stop_requests.empty()) [[likely]]
        return false;
    const unsigned long me = PyThread_get_thread_ident();
    for (auto it = stop_requests.begin(); it != stop_requests.end(); ++it) {
        if (*it == me) {
            stop_requests.erase(it);
            return true;
        }
    }
    return false;
}

// False with the exception a signal handler (or another pending call)
// raised, or KeyboardInterrupt when another thread asked this one's runs to stop.
bool let_others_run() {
    Owned r = Owned::steal(PyObject_CallNoArgs(thread_switch));
    if (!r || PyErr_CheckSignals() != 0) return false;
    if (stop_requested()) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return false;
    }
    return true;
}

// Tests: runs that may use the block compiler start on it at once.
bool jit_eager = false;
// Runs of an interpreter whose runs spent this much gas on the native loop
// (short runs, each ending before its first check) start on the compiler.
constexpr uint64_t kWarmGas = 1 << 14;
// The thread signal handlers run on.
unsigned long main_thread = 0;

// The driver's compiled block for an engine.
CyBlockInfo* engine_block_at(void* interpreter, uint32_t pc) {
    return block_at(static_cast<Interpreter*>(interpreter), pc);
}

PyObject* interpreter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"program", "jit", nullptr};
    PyObject* program;
    PyObject* ojit = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:Interpreter", const_cast<char**>(kwlist), &program, &ojit))
        return nullptr;
    if (!check_instance(program, cls.program, "program")) return nullptr;
    int use_jit = jit::enabled;
    if (ojit != Py_None) {
        use_jit = PyObject_IsTrue(ojit);
        if (use_jit < 0) return nullptr;
    }
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
    self->native = native_loop::new_cache(prog);
    if (self->native == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    if (use_jit && jit::supported()) {
        self->jit = jit::new_cache();
        if (self->jit == nullptr) {
            Py_DECREF(self);
            return nullptr;
        }
    }
    return reinterpret_cast<PyObject*>(self);
}

// The cached blocks are shown to the collector (and so to
// gc.get_referents) only once they were handed to Python code anyway: until
// then nothing but compiled instructions can hang off them, so they close no
// cycle, and a block changed through the collector's back door would go
// unseen by the native loop.
int interpreter_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<Interpreter*>(o);
    Py_VISIT(self->program);
    if (self->native == nullptr || !native_loop::exposed(self->native)) return 0;
    Py_VISIT(self->far);
    if (self->near)
        for (CyBlockInfo* b : *self->near) Py_VISIT(b);
    return 0;
}

int interpreter_clear(PyObject* o) {
    auto* self = reinterpret_cast<Interpreter*>(o);
    for (PyObject*& r : self->last_regs) Py_CLEAR(r);
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
    native_loop::free_cache(self->native);
    self->native = nullptr;
    jit::free_cache(self->jit);
    self->jit = nullptr;
    for (PyObject*& r : self->last_regs) Py_CLEAR(r);
    Py_CLEAR(self->far);
    Py_CLEAR(self->program);
    Py_TYPE(o)->tp_free(o);
}

// ----- leaving a block ------------------------------------------------------------

// What the driver learns about a PvmExit that left a block.
struct BlockExit {
    long code = -1;              // the exit code (first argument), -1 if none
    Owned arg;                   // the second argument (fault address, host-call index), if any
    uint32_t pc = 0;             // the instruction that exited
    uint32_t next_pc = 0;        // the instruction after it
    int32_t opcode = -1;         // its opcode, -1 when unknown
    uint64_t gas_started = 0;    // gas of the instructions that started, up to and including it
};

// Fills in `out` from the block's instruction list for an exit after `started`
// instructions (1-based: the exiting one is number `started`).  Instructions
// inside a block follow each other, so an instruction's pc is the previous
// one's next_pc.  If Python code changed the list meanwhile, the block start
// and the whole block's gas stand in.
void locate_exit(CyBlockInfo* block, uint32_t start, Py_ssize_t started, BlockExit* out) {
    out->pc = start;
    out->next_pc = start;
    out->opcode = -1;
    out->gas_started = block->total_gas;
    PyObject* list = block->instructions;
    if (started <= 0 || list == nullptr || !PyList_Check(list) || started > PyList_GET_SIZE(list)) return;
    uint64_t gas = 0;
    uint32_t pc = start;
    for (Py_ssize_t i = 0; i < started; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyObject_TypeCheck(item, cls.compiled)) return;
        auto* c = reinterpret_cast<CyCompiledInstruction*>(item);
        if (PyObject_TypeCheck(c->handler, cls.entry)) gas += reinterpret_cast<CyTableEntry*>(c->handler)->gas_cost;
        if (i + 1 < started) {
            pc = c->next_pc;
        } else {
            out->pc = pc;
            out->next_pc = c->next_pc;
            out->opcode = c->opcode;
        }
    }
    out->gas_started = gas;
}

// Takes the pending PvmExit apart.  Returns the exception (a new reference,
// the error indicator cleared) with `out` filled in, or nullptr with the
// exception left pending when its code is not one the driver handles.
PyObject* take_exit(CyBlockInfo* block, uint32_t start, BlockExit* out) {
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
    const bool known = (code >= kHalt && code <= kPageFault) || code == kHostCall;
    if (!known) {
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    Py_ssize_t started = 0;
    Owned gc = Owned::steal(PyObject_GetAttr(exc, str_gas_cost));
    if (gc && PyLong_Check(gc.get())) started = PyLong_AsSsize_t(gc.get());
    if (started < 0) started = 0;
    PyErr_Clear();
    out->code = code;
    if (PyTuple_GET_SIZE(args) >= 2) out->arg = Owned::incref(PyTuple_GET_ITEM(args, 1));
    locate_exit(block, start, started, out);
    // Only `ecalli` makes host calls.  A host-call exit from any other
    // instruction (a memory subclass's `read` raising it, say) is not one:
    // it passes on unchanged like any other exit the driver does not know.
    if (code == kHostCall && out->opcode >= 0 && out->opcode != kEcalliOpcode) {
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    // The executor also records the pc after the exiting instruction; it
    // stands in when the list no longer tells (changed from Python).
    if (out->opcode < 0) {
        Owned next = Owned::steal(PyObject_GetAttr(exc, str_next_pc));
        if (next && PyLong_Check(next.get())) {
            const unsigned long v = PyLong_AsUnsignedLong(next.get());
            if (!PyErr_Occurred() && v <= 0xFFFFFFFFul) out->next_pc = static_cast<uint32_t>(v);
        }
        PyErr_Clear();
    }
    return exc;
}

// How a run ended, before it is handed to Python: the status code, the pc,
// the gas left, the fault address of a page fault (a 32-bit int, or what a
// memory subclass raised) and the call index of a host stop.
struct Finish {
    int code = -1;
    uint32_t pc = 0;
    uint64_t gas = 0;
    Owned fault;
    Owned host_call;

    bool set(int c, uint32_t at, uint64_t left) {
        code = c;
        pc = at;
        gas = left;
        return true;
    }
    // The same with an index or address made an int; false with MemoryError.
    bool set_with(int c, uint32_t at, uint64_t left, uint32_t value) {
        Owned v = Owned::steal(PyLong_FromUnsignedLong(value));
        if (!v) return false;
        (c == kHostCall ? host_call : fault) = std::move(v);
        return set(c, at, left);
    }
};

// The low-level result: (status code, pc, gas left, fault address or None,
// host-call index or None).
PyObject* finish_tuple(const Finish& f) {
    Owned code = Owned::steal(PyLong_FromLong(f.code));
    Owned pc = Owned::steal(code ? PyLong_FromUnsignedLong(f.pc) : nullptr);
    Owned gas = Owned::steal(pc ? PyLong_FromUnsignedLongLong(f.gas) : nullptr);
    if (!gas) return nullptr;
    return PyTuple_Pack(5, code.get(), pc.get(), gas.get(), f.fault ? f.fault.get() : Py_None,
                        f.host_call ? f.host_call.get() : Py_None);
}

// Ends the run on a halt, panic or page fault that left a block.  The whole
// block stays charged (`gas` is what was left after charging it); the pc is
// the instruction that exited.
bool finish_with_exit(const BlockExit& ex, CyMemory* memory, uint64_t gas, Finish* out) {
    if (ex.code != kPageFault) return out->set(static_cast<int>(ex.code), ex.pc, gas);
    // A page fault whose address is not a 32-bit int (a Python memory
    // subclass may raise anything) is reported as it came.
    if (!ex.arg || !PyLong_Check(ex.arg.get())) {
        out->fault = Owned::incref(ex.arg.get() ? ex.arg.get() : Py_None);
        return out->set(kPageFault, ex.pc, gas);
    }
    const unsigned long long a = PyLong_AsUnsignedLongLong(ex.arg.get());
    if (PyErr_Occurred() || a > 0xFFFFFFFFull) {
        PyErr_Clear();
        out->fault = Owned::incref(ex.arg.get());
        return out->set(kPageFault, ex.pc, gas);
    }
    return out->set_with(kPageFault, ex.pc, gas, engine::fault_page(memory, ex.opcode, static_cast<uint32_t>(a)));
}

// The call index of a host-call exit, checked.
bool host_call_index(const BlockExit& ex, uint32_t* index) {
    if (ex.arg && PyLong_Check(ex.arg.get())) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(ex.arg.get());
        if (!PyErr_Occurred() && v <= 0xFFFFFFFFull) {
            *index = static_cast<uint32_t>(v);
            return true;
        }
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_ValueError, "host-call exit without a 32-bit call index");
    return false;
}

// ----- host calls ----------------------------------------------------------------
//
// One function makes every host call, for the general path and for the
// engines: it calls `handler(index, registers, memory)` and reads the reply.
// The registers object is the run's own (made once per run): the engines work
// on its values in place, and the general path writes its register file back
// into them before the call and reads it again after.
//
// Replies, with the Python API's rules (`api`): None or 0 goes on; a positive
// int charges that much gas (with less left the run stops out of gas, gas
// 0, at the instruction after the call); raising `HostExit("halt")` or
// `HostExit("panic")` ends the run with that status there; any other reply
// is a TypeError, a negative charge a ValueError.  The low-level
// `vm_interpreter.Interpreter.run` takes the CyStatus HALT or PANIC as the
// reply that ends the run instead of HostExit.

struct Host {
    PyObject* handler;    // callable
    bool api;             // the Python API's replies
    PyObject* registers;  // what the handler gets as its registers
    PyObject* memory;
};

using HostReply = engine::HostCall::Reply;

HostReply host_exit_reply(uint8_t* status);

HostReply call_host(const Host& host, uint32_t index, uint64_t* gas, uint8_t* status) {
    Owned call = Owned::steal(PyLong_FromUnsignedLong(index));
    if (!call) return HostReply::failed;
    PyObject* args[3] = {call.get(), host.registers, host.memory};
    Owned reply = Owned::steal(PyObject_Vectorcall(host.handler, args, 3, nullptr));
    if (!reply) return host.api ? host_exit_reply(status) : HostReply::failed;
    PyObject* r = reply.get();
    if (r == Py_None) return HostReply::go_on;
    if (PyLong_Check(r) && !PyBool_Check(r)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(r, &overflow);
        if (n == -1 && PyErr_Occurred()) return HostReply::failed;
        if (overflow < 0 || (overflow == 0 && n < 0)) {
            PyErr_SetString(PyExc_ValueError, "a host handler must not return a negative gas charge");
            return HostReply::failed;
        }
        const uint64_t charge = overflow > 0 ? UINT64_MAX : static_cast<uint64_t>(n);
        if (charge > *gas) {
            *gas = 0;
            *status = kOutOfGas;
            return HostReply::end;
        }
        *gas -= charge;
        return HostReply::go_on;
    }
    if (host.api) {
        Owned type_name = Owned::steal(PyType_GetName(Py_TYPE(r)));
        if (type_name)
            PyErr_Format(PyExc_TypeError,
                         "a host handler must return None or an int (gas to charge), not %R; it ends the run by "
                         "raising HostExit",
                         type_name.get());
        return HostReply::failed;
    }
    if (PyObject_TypeCheck(r, cls.status)) {
        const uint8_t code = reinterpret_cast<CyStatus*>(r)->code;
        if (code == kHalt || code == kPanic) {
            *status = code;
            return HostReply::end;
        }
        PyErr_Format(PyExc_ValueError, "a host handler may end the run only with halt or panic, not exit code %u",
                     static_cast<unsigned>(code));
        return HostReply::failed;
    }
    PyErr_Format(PyExc_TypeError, "a host handler must return None, an int (gas to charge) or a CyStatus, not '%.200s'",
                 Py_TYPE(r)->tp_name);
    return HostReply::failed;
}

HostReply engine_host_call(void* context, uint32_t index, uint64_t* gas, uint8_t* status) {
    return call_host(*static_cast<const Host*>(context), index, gas, status);
}

constexpr uint32_t kSignalCheckBlocks = 4096;


// Records on the exception a signal handler raised (KeyboardInterrupt for
// Ctrl-C) where the run stopped: `pc` (the block that was to run next),
// `gas` (left) and `registers` (a list of the `count` values at `values`),
// so a caller can report the state at the interruption.  If recording
// fails, the exception passes on as is.
void note_interruption(const uint64_t* values, size_t count, uint32_t pc, uint64_t gas) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    Owned opc = Owned::steal(PyLong_FromUnsignedLong(pc));
    Owned ogas = Owned::steal(PyLong_FromUnsignedLongLong(gas));
    Owned regs = Owned::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; regs && i < count; ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (item == nullptr) regs.reset();
        else PyList_SET_ITEM(regs.get(), static_cast<Py_ssize_t>(i), item);
    }
    if (!opc || !ogas || !regs || PyObject_SetAttrString(exc, "pc", opc.get()) < 0 ||
        PyObject_SetAttrString(exc, "gas", ogas.get()) < 0 ||
        PyObject_SetAttrString(exc, "registers", regs.get()) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// The finish of a run that ended on an engine; false with an exception.
bool engine_finish(const engine::Outcome& e, Finish* out) {
    switch (e.end) {
        case engine::End::failed:
        case engine::End::handover:
            return false;
        case engine::End::page_fault:
            return out->set_with(kPageFault, e.pc, e.gas, e.fault);
        case engine::End::host:
            return out->set_with(kHostCall, e.pc, e.gas, e.host_index);
        default:
            return out->set(static_cast<int>(e.end), e.pc, e.gas);
    }
}

struct RunOptions;
bool run_checked(PyObject* o, uint64_t* values, size_t count, PyObject* registers, PyObject* memory, uint32_t pc,
                 uint64_t gas, const RunOptions& opt, Finish* out);

// ----- stepping: breakpoints, step limits, instruction traces -------------------

// What an instruction that ran wrote and accessed, for an instruction trace:
// the register its operands name as the destination (unless it writes only
// on a condition), and the memory it loads from or stores to.
int destination_of(int32_t opcode, const CyCompiledInstruction* ins) {
    const bool to_ra = opcode == 20 || opcode == 51 || (opcode >= 52 && opcode <= 58) || opcode == 80 ||
                       opcode == 180 || (opcode >= 124 && opcode <= 146) || (opcode >= 149 && opcode <= 161);
    const bool to_rd = (opcode >= 100 && opcode <= 111) || (opcode >= 190 && opcode <= 217) ||
                       (opcode >= 220 && opcode <= 230);
    return to_ra ? ins->ra : to_rd ? ins->rd : -1;
}

// The address of a load's or store's access, from the registers before it ran.
uint32_t access_address(int32_t opcode, const CyCompiledInstruction* ins, const uint64_t* before) {
    if (opcode >= 70 && opcode <= 73) return static_cast<uint32_t>(before[ins->ra] + ins->vx);
    if (opcode >= 120 && opcode <= 130) return static_cast<uint32_t>(before[ins->rb] + ins->vx);
    return static_cast<uint32_t>(ins->vx);
}

// The raw record of one instruction: (pc, gas, ((register, value), ...),
// ((is_write, address, bytes), ...)).  `before` holds the registers before it
// ran, `after` after; `completed` is false when it left with an exit.
PyObject* instruction_record(uint32_t pc, uint64_t gas, const CyCompiledInstruction* ins, const uint64_t* before,
                             const uint64_t* after, CyMemory* memory, bool completed) {
    const int32_t opcode = ins->handler == opcodes[ins->opcode & 0xFF].entry ? ins->opcode : kTrapOpcode;
    // Of the instructions that can exit, only the load-and-jumps have written
    // their register before they do (a faulting load writes nothing).
    constexpr int32_t kLoadImmJump = 80, kLoadImmJumpInd = 180;
    const int dest = completed || opcode == kLoadImmJump || opcode == kLoadImmJumpInd ? destination_of(opcode, ins) : -1;
    Owned written = Owned::steal(PyList_New(0));
    if (!written) return nullptr;
    for (int r = 0; r < kRegisterCount; ++r) {
        if (r != dest && before[r] == after[r]) continue;
        Owned item = Owned::steal(Py_BuildValue("(iK)", r, static_cast<unsigned long long>(after[r])));
        if (!item || PyList_Append(written.get(), item.get()) < 0) return nullptr;
    }
    Owned accesses = Owned::steal(PyList_New(0));
    if (!accesses) return nullptr;
    unsigned width;
    int mode;
    if (completed && engine::memory_access_of(opcode, &width, &mode)) {
        const uint32_t address = access_address(opcode, ins, before);
        // The bytes as the memory holds them now: what was read, or written.
        Owned bytes = Owned::steal(memory->vtab->read(memory, address, static_cast<int32_t>(width), 1));
        if (!bytes) {
            PyErr_Clear();
        } else {
            Owned item = Owned::steal(Py_BuildValue("(OkO)", mode == kAccWrite ? Py_True : Py_False,
                                                    static_cast<unsigned long>(address), bytes.get()));
            if (!item || PyList_Append(accesses.get(), item.get()) < 0) return nullptr;
        }
    }
    Owned w = Owned::steal(PyList_AsTuple(written.get()));
    Owned a = Owned::steal(w ? PyList_AsTuple(accesses.get()) : nullptr);
    if (!a) return nullptr;
    return Py_BuildValue("(kKOO)", static_cast<unsigned long>(pc), static_cast<unsigned long long>(gas), w.get(),
                         a.get());
}

// The gas of the first `started` instructions of a block's list, as the
// exits count it.
uint64_t started_gas(CyBlockInfo* block, uint32_t start, uint32_t started) {
    BlockExit ex;
    locate_exit(block, start, static_cast<Py_ssize_t>(started), &ex);
    return started == 0 ? 0 : ex.gas_started;
}

// How the driver's general path runs, besides the block trace hook and the
// host handler: stops before instructions, instruction records, a profile.
struct RunOptions {
    PyObject* trace = Py_None;                      // block trace hook
    PyObject* host = Py_None;                       // host handler
    bool api_replies = false;                       // the Python API's host replies
    std::vector<uint32_t> breakpoints;              // sorted
    uint64_t max_steps = UINT64_MAX;                // instructions before a "step" stop
    PyObject* trace_instructions = Py_None;         // called with each instruction's record
    engine::Profiler* profiler = nullptr;

    // Whether the run stops between instructions or reports each.
    bool stepping() const { return !breakpoints.empty() || max_steps != UINT64_MAX || trace_instructions != Py_None; }
    bool breakpoint_at(uint32_t pc) const { return std::binary_search(breakpoints.begin(), breakpoints.end(), pc); }
};

inline bool api_int(PyObject* value, const char* name, int index, uint64_t low, uint64_t high, uint64_t* out);

// The stops and records asked for, checked: `breakpoints` None or an
// iterable of pcs, `max_steps` None or an int from 0, `trace_instructions`
// None or callable.  False with TypeError or ValueError.
bool debug_options(PyObject* breakpoints, PyObject* max_steps, PyObject* trace_instructions, RunOptions* opt) {
    if (breakpoints != Py_None) {
        Owned it = Owned::steal(PyUnicode_Check(breakpoints) || PyBytes_Check(breakpoints)
                                    ? nullptr
                                    : PyObject_GetIter(breakpoints));
        if (!it) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "breakpoints must be an iterable of pcs (ints), not '%.200s'",
                         Py_TYPE(breakpoints)->tp_name);
            return false;
        }
        while (Owned item = Owned::steal(PyIter_Next(it.get()))) {
            if (!PyLong_Check(item.get()) || PyBool_Check(item.get())) {
                PyErr_Format(PyExc_TypeError, "a breakpoint must be an int (a pc), not '%.200s'",
                             Py_TYPE(item.get())->tp_name);
                return false;
            }
            const unsigned long long v = PyLong_AsUnsignedLongLong(item.get());
            if ((v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || v > 0xFFFFFFFFull) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "a breakpoint must be between 0 and 4294967295, got %S", item.get());
                return false;
            }
            opt->breakpoints.push_back(static_cast<uint32_t>(v));
        }
        if (PyErr_Occurred()) return false;
        std::sort(opt->breakpoints.begin(), opt->breakpoints.end());
    }
    if (max_steps != Py_None) {
        uint64_t steps;
        if (!api_int(max_steps, "max_steps", -1, 0, INT64_MAX, &steps)) return false;
        opt->max_steps = steps;
    }
    if (trace_instructions != Py_None && !PyCallable_Check(trace_instructions)) {
        PyErr_SetString(PyExc_TypeError, "trace_instructions must be callable");
        return false;
    }
    opt->trace_instructions = trace_instructions;
    return true;
}

PyObject* interpreter_run(PyObject* o, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"registers",   "memory",    "pc", "gas", "trace", "host", "breakpoints",
                                   "max_steps", "trace_instructions", nullptr};
    PyObject *registers, *memory, *opc, *ogas, *trace = Py_None, *host = Py_None, *breakpoints = Py_None,
                                                *max_steps = Py_None, *trace_instructions = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|OO$OOO:run", const_cast<char**>(kwlist), &registers, &memory,
                                     &opc, &ogas, &trace, &host, &breakpoints, &max_steps, &trace_instructions))
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
    if (host != Py_None && !PyCallable_Check(host)) {
        PyErr_SetString(PyExc_TypeError, "host must be callable or None");
        return nullptr;
    }
    RunOptions opt;
    opt.trace = trace;
    opt.host = host;
    if (!debug_options(breakpoints, max_steps, trace_instructions, &opt)) return nullptr;
    RegisterBuffer regs;
    if (!regs.acquire(registers)) return nullptr;
    Finish finish;
    if (!run_checked(o, regs.data(), regs.count(), registers, memory, pc, static_cast<uint64_t>(signed_gas), opt,
                     &finish))
        return nullptr;
    return finish_tuple(finish);
}

// The flow of a cached block (how its last instruction hands control on).
engine::Flow block_flow(CyBlockInfo* block) {
    PyObject* list = block->instructions;
    if (list == nullptr || !PyList_Check(list) || PyList_GET_SIZE(list) == 0) return engine::Flow::none;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    auto get = [list](Py_ssize_t i) -> const CyCompiledInstruction* {
        PyObject* item = PyList_GET_ITEM(list, i);
        return PyObject_TypeCheck(item, cls.compiled) ? reinterpret_cast<const CyCompiledInstruction*>(item) : nullptr;
    };
    const CyCompiledInstruction* last = get(n - 1);
    const CyCompiledInstruction* before = n > 1 ? get(n - 2) : nullptr;
    if (last == nullptr) return engine::Flow::none;
    return engine::flow_of(last->opcode, last->ra, last->vx, before ? before->opcode : -1, before ? before->ra : 0);
}

// The run itself, its arguments checked (`memory` a CyMemory, `trace` and
// `host` None or callable).  The `count` registers at `values` are updated
// in place; `registers` is the object they belong to, handed to the trace
// hook and the host handler (which may read and change them).  `api_replies`
// reads the host handler's replies by the Python API's rules.
//
// The native loop takes the run when it may (native_loop::eligible, and no
// stop or record between instructions is asked for); it may hand the rest of
// the run to the general path below, which then goes on from the same pc and
// gas.  The general path runs whole blocks, or, when the run stops between
// instructions or records each, the parts of a block up to the next stop.
bool run_checked(PyObject* o, uint64_t* values, size_t count, PyObject* registers, PyObject* memory, uint32_t pc,
                 uint64_t gas, const RunOptions& opt, Finish* out) {
    auto* self = reinterpret_cast<Interpreter*>(o);
    // Held for the whole run: Python code reached from a handler may drop
    // its own references to any of them.
    const Owned hold_self = Owned::incref(o);
    const Owned hold_memory = Owned::incref(memory);
    const Owned hold_host = Owned::incref(opt.host);
    PyObject* const host = opt.host;
    PyObject* const trace = opt.trace;
    engine::Profiler* const prof = opt.profiler;
    CyProgram* program = self->program;
    auto* mem = reinterpret_cast<CyMemory*>(memory);
    MemoryClaim claim;
    if (!claim.acquire(mem)) return false;
    const Host host_call{host, opt.api_replies, registers, memory};
    // A trace hook sees the cached blocks: from then on they may have been
    // changed from Python, which only the general path honours.
    if (trace != Py_None) native_loop::expose(self->native);
    const bool stepping = opt.stepping();
    // The rest of a block after a handled host call runs as the block
    // cached at the instruction after the call, already paid for.
    bool charge = true;
    if (!stepping && native_loop::eligible(self->native, reinterpret_cast<PyObject*>(program), memory)) {
        const engine::HostCall engine_host{engine_host_call, const_cast<Host*>(&host_call)};
        const engine::HostCall* const hc = host != Py_None ? &engine_host : nullptr;
        // Long runs move on to the block compiler when the interpreter has one with room.
        const bool compile = prof == nullptr && jit::has_room(self->jit);
        const engine::Request request{program, mem, values, pc, gas, hc, prof, compile};
        const engine::Driver driver{engine_block_at, self, let_others_run, &interrupts,
                                    PyThread_get_thread_ident() == main_thread};
        engine::Outcome outcome;
        if (compile && (jit_eager || self->native_gas >= kWarmGas)) {
            // A warm interpreter (or a test): the compiler from the first block on.
            outcome.end = engine::End::tier_up;
            outcome.pc = pc;
            outcome.gas = gas;
        } else {
            outcome = native_loop::run(self->native, driver, request);
            // Many short runs warm an interpreter up as one long run does.
            if (outcome.end != engine::End::tier_up && gas >= outcome.gas)
                self->native_gas = std::min(kWarmGas, self->native_gas + (gas - outcome.gas));
        }
        if (outcome.end == engine::End::tier_up) {
            const engine::Request rest{program, mem, values, outcome.pc, outcome.gas, hc, nullptr, false};
            outcome = jit::run(self->jit, self->native, driver, rest);
            // Blocks it cannot compile go on on the native loop, which hands
            // on what it cannot run either.
            if (outcome.end == engine::End::handover && !outcome.charged &&
                native_loop::eligible(self->native, reinterpret_cast<PyObject*>(program), memory)) {
                const engine::Request after{program, mem, values, outcome.pc, outcome.gas, hc, nullptr, false};
                outcome = native_loop::run(self->native, driver, after);
            }
        }
        if (outcome.end != engine::End::handover) {
            if (outcome.interrupted) note_interruption(values, count, outcome.pc, outcome.gas);
            return engine_finish(outcome, out);
        }
        pc = outcome.pc;
        gas = outcome.gas;
        charge = !outcome.charged;
    }
    RegisterFile file;
    file.load(values, count);
    bool finished = false;
    // Signals (Ctrl-C, alarms) are looked at every few thousand blocks, so a
    // long run can be interrupted; a handler's exception ends the run.  Other
    // Python threads get the interpreter lock at the same point.
    uint32_t until_signal_check = kSignalCheckBlocks;
    bool interrupted = false;
    uint64_t steps_left = opt.max_steps;
    bool first = true;  // before the run's first instruction: its own breakpoint does not stop it
    // Stops the run before the instruction at `at`, giving back the gas of
    // the block's instructions that did not start.
    auto stop_before = [&](int code, uint32_t at, uint64_t back) {
        gas += back;
        if (prof != nullptr) prof->adjust(-static_cast<int64_t>(back));
        finished = out->set(code, at, gas);
    };
    for (;;) {
        // Not between a handled host call and the rest of its block: the
        // state noted at an interruption must be one a later run can resume
        // from at equal total gas, i.e. a block start with its gas uncharged.
        if (charge && --until_signal_check == 0) {
            until_signal_check = kSignalCheckBlocks;
            if (!let_others_run()) {
                interrupted = true;
                break;
            }
        }
        if (stepping && charge && ((!first && opt.breakpoint_at(pc)) || steps_left == 0)) {
            stop_before(steps_left == 0 ? kStep : kBreakpoint, pc, 0);
            break;
        }
        CyBlockInfo* block = block_at(self, pc);
        if (block == nullptr) break;
        const Owned hold_block = Owned::incref(reinterpret_cast<PyObject*>(block));
        const uint64_t cost = charge ? block->total_gas : 0;
        if (gas < cost) {
            finished = out->set(kOutOfGas, pc, gas);
            break;
        }
        gas -= cost;
        if (prof != nullptr && charge) prof->enter(pc, static_cast<uint32_t>(cost));
        const bool charged = charge;
        charge = true;
        const uint32_t start = pc;
        const uint64_t block_gas = gas;  // gas left after the block was charged
        int rc;
        if (!stepping) {
            rc = block->vtab->execute_to(block, program, start, file.data(), mem, &pc);
        } else {
            // The block in parts: up to the next breakpoint, the step limit
            // or (recording) one instruction at a time.
            // Held for looking ahead: a record's callback may change the block.
            const Owned hold_list = Owned::incref(block->instructions);
            PyObject* list = hold_list.get();
            auto size = [list]() -> uint32_t {
                return list != nullptr && PyList_Check(list) ? static_cast<uint32_t>(PyList_GET_SIZE(list)) : 0;
            };
            const uint32_t n = size();
            uint32_t index = 0, cur = start, ran = 0;
            int ended = 0;
            rc = 0;
            for (;;) {
                // A block entered uncharged (the rest after a handled host
                // call) was not looked at before it started.
                if ((index > 0 || !charged) && ((!first && opt.breakpoint_at(cur)) || steps_left == 0)) {
                    stop_before(steps_left == 0 ? kStep : kBreakpoint, cur,
                                block->total_gas > started_gas(block, start, index)
                                    ? block->total_gas - started_gas(block, start, index)
                                    : 0);
                    rc = 1;
                    break;
                }
                uint64_t limit = opt.trace_instructions != Py_None ? 1 : steps_left;
                // The next breakpoint in the block, by the instructions' pcs.
                uint32_t at = cur;
                for (uint32_t j = index + 1; j < size() && j - index < limit; ++j) {
                    PyObject* item = PyList_GET_ITEM(list, j - 1);
                    if (!PyObject_TypeCheck(item, cls.compiled)) break;
                    at = reinterpret_cast<CyCompiledInstruction*>(item)->next_pc;
                    if (opt.breakpoint_at(at)) {
                        limit = j - index;
                        break;
                    }
                }
                uint64_t before[kRegisterCount];
                std::memcpy(before, file.data(), sizeof before);
                const Owned hold_ins = Owned::incref(index < size() ? PyList_GET_ITEM(list, index) : Py_None);
                rc = block->vtab->execute_part(block, program, cur, file.data(), mem, index,
                                               static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX)), &pc,
                                               &ran, &ended);
                first = false;
                steps_left -= std::min<uint64_t>(ran, steps_left);  // an exiting instruction counts too
                if (rc < 0) break;
                if (opt.trace_instructions != Py_None && ran == 1 && PyObject_TypeCheck(hold_ins.get(), cls.compiled)) {
                    Owned record = Owned::steal(instruction_record(
                        cur, block_gas, reinterpret_cast<CyCompiledInstruction*>(hold_ins.get()), before, file.data(),
                        mem, true));
                    file.store(values);
                    Owned r = Owned::steal(record ? PyObject_CallOneArg(opt.trace_instructions, record.get()) : nullptr);
                    if (!r) {
                        rc = -2;
                        break;
                    }
                    file.load(values, count);
                }
                index += ran;
                cur = pc;
                if (ended || index >= n || ran == 0) break;
            }
            if (rc == 1 || rc == -2) break;  // stopped, or the record's callback raised
            if (rc < 0 && opt.trace_instructions != Py_None && PyErr_ExceptionMatches(exit_type)) {
                // The instruction that left the block is recorded too.
                PyObject* exc = PyErr_GetRaisedException();
                const uint32_t at = index;
                PyObject* item = at < size() ? PyList_GET_ITEM(list, at) : nullptr;
                if (item != nullptr && PyObject_TypeCheck(item, cls.compiled)) {
                    uint64_t unchanged[kRegisterCount];
                    std::memcpy(unchanged, file.data(), sizeof unchanged);
                    Owned record = Owned::steal(instruction_record(cur, block_gas,
                                                                   reinterpret_cast<CyCompiledInstruction*>(item),
                                                                   unchanged, file.data(), mem, false));
                    file.store(values);
                    Owned r = Owned::steal(record ? PyObject_CallOneArg(opt.trace_instructions, record.get()) : nullptr);
                    if (!r) {
                        Py_DECREF(exc);
                        break;
                    }
                    file.load(values, count);
                }
                PyErr_SetRaisedException(exc);
            }
        }
        if (rc < 0) {
            if (!PyErr_ExceptionMatches(exit_type)) break;
            BlockExit ex;
            const Owned exc = Owned::steal(take_exit(block, start, &ex));
            if (!exc) break;
            if (ex.code != kHostCall) {
                finished = finish_with_exit(ex, mem, gas, out);
                break;
            }
            uint32_t index;
            if (!host_call_index(ex, &index)) break;
            // The instructions after the call have not run.  When the run
            // stops here their gas goes back (all of the block's gas was paid,
            // also for the uncharged rest after an earlier handled call), and
            // a run from next_pc charges them again.
            const uint64_t unstarted = block->total_gas > ex.gas_started ? block->total_gas - ex.gas_started : 0;
            if (host == Py_None) {
                gas += unstarted;
                if (prof != nullptr) prof->adjust(-static_cast<int64_t>(unstarted));
                finished = out->set_with(kHostCall, ex.next_pc, gas, index);
                break;
            }
            file.store(values);
            uint8_t status = 0;
            const uint64_t before = gas;
            const HostReply reply = call_host(host_call, index, &gas, &status);
            if (prof != nullptr) prof->adjust(static_cast<int64_t>(before - gas));
            file.load(values, count);
            if (reply == HostReply::end) {
                finished = out->set(status, ex.next_pc, gas);
                break;
            }
            if (reply == HostReply::failed) {
                if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
                    // Ctrl-C inside the handler: the call is done, the run would
                    // resume after it, paying again for the rest of the block.
                    pc = ex.next_pc;
                    gas += unstarted;
                    if (prof != nullptr) prof->adjust(-static_cast<int64_t>(unstarted));
                    interrupted = true;
                }
                break;
            }
            pc = ex.next_pc;
            charge = false;
            continue;
        }
        if (prof != nullptr) prof->leave(block_flow(block));
        if (trace != Py_None) {
            file.store(values);
            Owned t = Owned::steal(PyObject_CallFunction(trace, "IOO", start, block, registers));
            if (!t) {
                // Ctrl-C while the hook ran: the block is done, pc is the next one.
                interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
                break;
            }
            file.load(values, count);
        }
    }
    file.store(values);
    if (interrupted) note_interruption(values, count, pc, gas);
    return finished;
}

// ----- run() of the Python API ----------------------------------------------------------
//
// `qorvel_pvm.Interpreter.run` checks its arguments, makes the register
// array and, without a memory, a new CyMemory, runs, and wraps the outcome
// in a RunResult.  For a short run that bookkeeping in Python costs more
// than the run, so `Interpreter.call` does all of it here: the same checks in
// the same order with the same messages, then `run` above.  interpreter.py
// hands over its RunResult class and status names once (`_bind_api`).

// The keyword-only arguments of Interpreter.run, in this order.
constexpr const char* kRunArgs[] = {"registers", "memory",    "pc",        "gas", "trace", "host", "breakpoints",
                                    "max_steps", "trace_instructions", "profile"};
constexpr Py_ssize_t kRunArgCount = 10;

// The fields of RunResult, in order; the result is built without running the
// dataclass's __init__, which only assigns them.
constexpr const char* kResultFields[] = {"status",        "pc",     "gas",       "registers",
                                         "fault_address", "memory", "host_call", "profile"};
constexpr size_t kResultFieldCount = sizeof kResultFields / sizeof kResultFields[0];

constexpr int kStatusCount = 7;  // halt, panic, page fault, out of gas, host, breakpoint, step

struct Api {
    PyObject* field_names[kResultFieldCount] = {};  // interned
    PyObject* result_type = nullptr;   // RunResult
    PyObject* host_exit = nullptr;     // HostExit, which a host handler raises to end the run
    PyObject* trace_adapter = nullptr; // (fn, program) -> the callable the driver hands raw records to
    PyObject* make_profile = nullptr;  // (raw, start pc) -> the profile a result carries
    PyObject* status_name[7] = {};     // by exit code (0 to 6)
    PyObject* array_type = nullptr;    // array.array
    PyObject* no_args = nullptr;       // ()
    PyObject* arg_names[kRunArgCount] = {};  // interned
    PyObject* defaults[kRunArgCount] = {};   // of Interpreter.run
};
Api api;

// A host handler raised: HostExit("halt") or HostExit("panic") ends the run
// with that status; anything else fails it.
HostReply host_exit_reply(uint8_t* status) {
    if (api.host_exit == nullptr || !PyErr_ExceptionMatches(api.host_exit)) return HostReply::failed;
    PyObject* exc = PyErr_GetRaisedException();
    Owned name = Owned::steal(PyObject_GetAttrString(exc, "status"));
    if (name && PyUnicode_Check(name.get())) {
        for (const uint8_t code : {kHalt, kPanic}) {
            if (PyUnicode_CompareWithASCIIString(name.get(), code == kHalt ? "halt" : "panic") == 0) {
                Py_DECREF(exc);
                *status = code;
                return HostReply::end;
            }
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return HostReply::failed;
}

PyObject* bind_api(PyObject*, PyObject* args) {
    PyObject *result_type, *status_names, *defaults, *host_exit, *trace_adapter, *make_profile;
    if (!PyArg_ParseTuple(args, "O!O!O!O!OO:_bind_api", &PyType_Type, &result_type, &PyDict_Type, &status_names,
                          &PyDict_Type, &defaults, &PyType_Type, &host_exit, &trace_adapter, &make_profile))
        return nullptr;
    if (!PyCallable_Check(trace_adapter) || !PyCallable_Check(make_profile)) {
        PyErr_SetString(PyExc_TypeError, "_bind_api: trace_adapter and make_profile must be callable");
        return nullptr;
    }
    // Interpreter.run's defaults, so that both spellings of the call agree.
    for (Py_ssize_t i = 0; i < kRunArgCount; ++i) {
        Owned name = Owned::steal(PyUnicode_InternFromString(kRunArgs[i]));
        if (!name) return nullptr;
        PyObject* d = PyDict_GetItemWithError(defaults, name.get());
        if (d == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "_bind_api: no default for %s", kRunArgs[i]);
            return nullptr;
        }
        Py_XSETREF(api.defaults[i], Py_NewRef(d));
        Py_XSETREF(api.arg_names[i], name.release());
    }
    // A plain dataclass with exactly these fields, nothing run on creation.
    Owned fields = Owned::steal(PyObject_GetAttrString(result_type, "__dataclass_fields__"));
    if (!fields || !PyDict_Check(fields.get())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_bind_api: result_type is not a dataclass");
        return nullptr;
    }
    Owned names = Owned::steal(PyDict_Keys(fields.get()));
    if (!names) return nullptr;
    bool same = PyList_GET_SIZE(names.get()) == static_cast<Py_ssize_t>(kResultFieldCount);
    for (size_t i = 0; same && i < kResultFieldCount; ++i) {
        Owned name = Owned::steal(PyUnicode_InternFromString(kResultFields[i]));
        if (!name) return nullptr;
        same = PyUnicode_Compare(PyList_GET_ITEM(names.get(), static_cast<Py_ssize_t>(i)), name.get()) == 0;
        Py_XSETREF(api.field_names[i], name.release());
    }
    // A result without a profile leaves `profile` to the class's default.
    Owned profile_default = Owned::steal(PyObject_GetAttrString(result_type, "profile"));
    if (!profile_default) PyErr_Clear();
    if (!same || !profile_default || profile_default.get() != Py_None ||
        PyObject_HasAttrString(result_type, "__post_init__") ||
        reinterpret_cast<PyTypeObject*>(result_type)->tp_setattro != PyObject_GenericSetAttr) {
        PyErr_SetString(PyExc_TypeError, "_bind_api: result_type must be a plain dataclass with the fields status, "
                                         "pc, gas, registers, fault_address, memory, host_call, profile (default None)");
        return nullptr;
    }
    if (api.no_args == nullptr && (api.no_args = PyTuple_New(0)) == nullptr) return nullptr;
    if (api.array_type == nullptr) {
        Owned mod = Owned::steal(PyImport_ImportModule("array"));
        if (!mod) return nullptr;
        api.array_type = PyObject_GetAttrString(mod.get(), "array");
        if (api.array_type == nullptr) return nullptr;
    }
    Py_XSETREF(api.result_type, Py_NewRef(result_type));
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(host_exit),
                          reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        PyErr_SetString(PyExc_TypeError, "_bind_api: host_exit must be an exception class");
        return nullptr;
    }
    Py_XSETREF(api.host_exit, Py_NewRef(host_exit));
    Py_XSETREF(api.trace_adapter, Py_NewRef(trace_adapter));
    Py_XSETREF(api.make_profile, Py_NewRef(make_profile));
    for (int code = 0; code < kStatusCount; ++code) {
        Owned key = Owned::steal(PyLong_FromLong(code));
        PyObject* name = key ? PyDict_GetItemWithError(status_names, key.get()) : nullptr;
        if (name == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "_bind_api: no status name for exit code %d", code);
            return nullptr;
        }
        Py_XSETREF(api.status_name[code], Py_NewRef(name));
    }
    Py_RETURN_NONE;
}

// The name of an argument in a message: `name`, or `name[index]`.
PyObject* api_name(const char* name, int index) {
    return index < 0 ? PyUnicode_FromString(name) : PyUnicode_FromFormat("%s[%d]", name, index);
}

// `value` as an int in [low, high] into *out, or the errors of the Python
// API: TypeError "<name> must be an int, not <type>", ValueError "<name>
// must be between <low> and <high>, got <value>".
bool api_int_slow(PyObject* value, const char* name, int index, uint64_t low, uint64_t high, uint64_t* out) {
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        Owned type_name = Owned::steal(PyType_GetName(Py_TYPE(value)));
        Owned arg = Owned::steal(type_name ? api_name(name, index) : nullptr);
        if (arg) PyErr_Format(PyExc_TypeError, "%U must be an int, not %U", arg.get(), type_name.get());
        return false;
    }
    int overflow;
    const long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    uint64_t v = 0;
    bool fits = false;
    if (overflow == 0 && x >= 0) {
        v = static_cast<uint64_t>(x);
        fits = true;
    } else if (overflow > 0) {
        v = PyLong_AsUnsignedLongLong(value);
        fits = !(v == static_cast<uint64_t>(-1) && PyErr_Occurred());
        PyErr_Clear();
    }
    if (!fits || v < low || v > high) {
        Owned arg = Owned::steal(api_name(name, index));
        if (arg)
            PyErr_Format(PyExc_ValueError, "%U must be between %llu and %llu, got %S", arg.get(),
                         static_cast<unsigned long long>(low), static_cast<unsigned long long>(high), value);
        return false;
    }
    *out = v;
    return true;
}

// The same, with the usual values (exact ints in range) taken directly.
inline bool api_int(PyObject* value, const char* name, int index, uint64_t low, uint64_t high, uint64_t* out) {
    if (PyLong_CheckExact(value)) {
        auto* v = reinterpret_cast<PyLongObject*>(value);
        uint64_t x;
        bool valid;
        if (PyUnstable_Long_IsCompact(v)) {
            const Py_ssize_t c = PyUnstable_Long_CompactValue(v);
            x = static_cast<uint64_t>(c);
            valid = c >= 0;
        } else {
            // Below 2**63 the signed conversion reads the digits directly
            // (the unsigned one goes through a byte array).
            int overflow;
            const long long y = PyLong_AsLongLongAndOverflow(value, &overflow);
            x = static_cast<uint64_t>(y);
            valid = overflow == 0 && y >= 0;
            if (overflow > 0) {
                x = PyLong_AsUnsignedLongLong(value);  // too large: an error
                valid = !(x == UINT64_MAX && PyErr_Occurred());
                if (!valid) PyErr_Clear();
            }
        }
        if (valid && x >= low && x <= high) {
            *out = x;
            return true;
        }
    }
    return api_int_slow(value, name, index, low, high, out);
}

// The registers into `values`, checked like the Python API does: None is 13
// zeros.  `given` receives the caller's int objects (held), which the result
// reuses for the registers the run left unchanged.  False with the
// exception set.
bool api_registers(PyObject* registers, uint64_t* values, Owned* given, PyObject* const* known = nullptr,
                   const uint64_t* known_values = nullptr) {
    if (registers != Py_None) {
        // A dict would give its keys and a set its elements in no set
        // order: neither is a sequence of register values.  (A list or a
        // tuple, the usual arguments, skips the tests.)
        if (!PyList_CheckExact(registers) && !PyTuple_CheckExact(registers) &&
            (PyUnicode_Check(registers) || PyBytes_Check(registers) || PyDict_Check(registers) ||
             PyAnySet_Check(registers) ||
             !(PyList_Check(registers) || PyTuple_Check(registers) || PyObject_HasAttrString(registers, "__len__")))) {
            PyErr_Format(PyExc_TypeError, "registers must be a sequence of %zd ints", kRegisterCount);
            return false;
        }
        const Py_ssize_t n = PyObject_Size(registers);
        if (n < 0) return false;
        if (n != kRegisterCount) {
            PyErr_Format(PyExc_ValueError, "registers must hold exactly %zd values, got %zd", kRegisterCount, n);
            return false;
        }
        Owned seq = Owned::steal(PySequence_Fast(registers, "registers must be iterable"));
        if (!seq) return false;
        if (PySequence_Fast_GET_SIZE(seq.get()) != kRegisterCount) {
            PyErr_Format(PyExc_ValueError, "registers buffer holds %zd registers, at least %zd are needed",
                         PySequence_Fast_GET_SIZE(seq.get()), kRegisterCount);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(seq.get());
        for (Py_ssize_t i = 0; i < kRegisterCount; ++i) {
            if (known != nullptr && items[i] == known[i])
                values[i] = known_values[i];
            else if (!api_int(items[i], "registers", static_cast<int>(i), 0, UINT64_MAX, &values[i]))
                return false;
            if (PyLong_CheckExact(items[i])) given[i] = Owned::incref(items[i]);
        }
    }
    return true;
}

// The registers as a list of ints: the given int object where the value is
// still the one it was converted to, else a new int.
PyObject* api_register_list(const uint64_t* values, size_t count, const uint64_t* given_values = nullptr,
                            const Owned* given = nullptr) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    for (size_t i = 0; list != nullptr && i < count; ++i) {
        PyObject* item = given != nullptr && given[i] && given_values[i] == values[i]
                             ? Py_NewRef(given[i].get())
                             : PyLong_FromUnsignedLongLong(values[i]);
        if (item == nullptr) Py_CLEAR(list);
        else PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* interpreter_call(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (api.result_type == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "call() needs _bind_api() first");
        return nullptr;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "Interpreter.run() takes 1 positional argument but %zd were given", nargs + 1);
        return nullptr;
    }
    PyObject* value[kRunArgCount];
    for (Py_ssize_t i = 0; i < kRunArgCount; ++i) value[i] = api.defaults[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < kRunArgCount && key != api.arg_names[i]) ++i;  // interned: the usual case
        for (i = i < kRunArgCount ? i : 0; i < kRunArgCount && key != api.arg_names[i]; ++i)
            if (PyUnicode_Compare(key, api.arg_names[i]) == 0) break;
        if (i == kRunArgCount) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_TypeError, "Interpreter.run() got an unexpected keyword argument '%S'", key);
            return nullptr;
        }
        value[i] = args[k];
    }
    PyObject *registers = value[0], *memory = value[1], *opc = value[2], *ogas = value[3], *trace = value[4],
             *host = value[5], *breakpoints = value[6], *max_steps = value[7], *trace_instructions = value[8],
             *oprofile = value[9];
    uint64_t values[kRegisterCount] = {};
    Owned given[kRegisterCount];
    auto* self = reinterpret_cast<Interpreter*>(o);
    if (!api_registers(registers, values, given, self->last_regs, self->last_values)) return nullptr;
    uint64_t given_values[kRegisterCount];
    std::memcpy(given_values, values, sizeof values);
    Owned mem;
    if (memory == Py_None) {
        mem = Owned::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(cls.memory)));
        if (!mem) return nullptr;
    } else if (!PyObject_TypeCheck(memory, cls.memory)) {
        Owned type_name = Owned::steal(PyType_GetName(Py_TYPE(memory)));
        if (type_name) PyErr_Format(PyExc_TypeError, "memory must be a CyMemory, not %U", type_name.get());
        return nullptr;
    } else {
        mem = Owned::incref(memory);
    }
    uint64_t pc, gas;
    if (!api_int(opc, "pc", -1, 0, UINT32_MAX, &pc) || !api_int(ogas, "gas", -1, 0, INT64_MAX, &gas))
        return nullptr;
    if (trace != Py_None && !PyCallable_Check(trace)) {
        PyErr_SetString(PyExc_TypeError, "trace must be callable");
        return nullptr;
    }
    if (host != Py_None && !PyCallable_Check(host)) {
        PyErr_SetString(PyExc_TypeError, "host must be callable");
        return nullptr;
    }
    RunOptions opt;
    opt.trace = trace;
    opt.host = host;
    opt.api_replies = true;
    if (!debug_options(breakpoints, max_steps, trace_instructions, &opt)) return nullptr;
    const int profile = PyObject_IsTrue(oprofile);
    if (profile < 0) return nullptr;
    // The records a trace callback gets are made in Python from the raw ones.
    Owned record_adapter;
    if (trace_instructions != Py_None) {
        record_adapter = Owned::steal(PyObject_CallFunctionObjArgs(
            api.trace_adapter, trace_instructions, reinterpret_cast<PyObject*>(self->program), nullptr));
        if (!record_adapter) return nullptr;
        opt.trace_instructions = record_adapter.get();
    }
    std::unique_ptr<engine::Profiler> profiler;
    if (profile) {
        profiler = std::make_unique<engine::Profiler>(static_cast<uint32_t>(pc),
                                                      static_cast<uint32_t>(std::max(self->program->zeta_len, 0)));
        opt.profiler = profiler.get();
    }
    // A trace hook and a host handler get the registers as an array('Q'), as
    // with the Python API.
    Owned arr;
    RegisterBuffer buffer;
    uint64_t* regs = values;
    if (trace != Py_None || host != Py_None) {
        arr = Owned::steal(PyObject_CallFunction(api.array_type, "sy#", "Q", reinterpret_cast<const char*>(values),
                                                 static_cast<Py_ssize_t>(sizeof values)));
        if (!arr || !buffer.acquire(arr.get())) return nullptr;
        regs = buffer.data();
    }
    Finish finish;
    if (!run_checked(o, regs, kRegisterCount, arr.get(), mem.get(), static_cast<uint32_t>(pc), gas, opt, &finish))
        return nullptr;
    // -> RunResult(status, pc, gas, registers, fault_address, memory, host_call, profile)
    Owned profile_object;
    if (profiler) {
        Owned raw = Owned::steal(profiler->to_python());
        Owned start = Owned::steal(raw ? PyLong_FromUnsignedLongLong(pc) : nullptr);
        profile_object = Owned::steal(start ? PyObject_CallFunctionObjArgs(api.make_profile, raw.get(), start.get(),
                                                                           nullptr)
                                            : nullptr);
        if (!profile_object) return nullptr;
    }
    PyObject* status = finish.code >= 0 && finish.code < kStatusCount ? api.status_name[finish.code] : nullptr;
    if (status == nullptr) {
        Owned code = Owned::steal(PyLong_FromLong(finish.code));
        if (code) PyErr_SetObject(PyExc_KeyError, code.get());
        return nullptr;
    }
    Owned end_pc = Owned::steal(PyLong_FromUnsignedLong(finish.pc));
    Owned gas_left = Owned::steal(end_pc ? PyLong_FromUnsignedLongLong(finish.gas) : nullptr);
    Owned reg_list = Owned::steal(gas_left ? api_register_list(regs, kRegisterCount, given_values, given) : nullptr);
    if (!reg_list) return nullptr;
    for (Py_ssize_t i = 0; i < kRegisterCount; ++i) {
        Py_XSETREF(self->last_regs[i], Py_NewRef(PyList_GET_ITEM(reg_list.get(), i)));
        self->last_values[i] = regs[i];
    }
    PyObject* fields[kResultFieldCount] = {status,
                                           end_pc.get(),
                                           gas_left.get(),
                                           reg_list.get(),
                                           finish.fault ? finish.fault.get() : Py_None,
                                           mem.get(),
                                           finish.host_call ? finish.host_call.get() : Py_None,
                                           profile_object ? profile_object.get() : Py_None};
    auto* type = reinterpret_cast<PyTypeObject*>(api.result_type);
    Owned result = Owned::steal(PyBaseObject_Type.tp_new(type, api.no_args, nullptr));
    if (!result) return nullptr;
    // `profile` is left to its class default (None) unless a profile was
    // asked for: the field is newer than the others, and a run that does not
    // ask for one should not pay for it.
    const size_t set = profile_object ? kResultFieldCount : kResultFieldCount - 1;
    for (size_t i = 0; i < set; ++i)
        if (PyObject_GenericSetAttr(result.get(), api.field_names[i], fields[i]) < 0) return nullptr;
    return result.release();
}

PyObject* interpreter_compile_block(PyObject* o, PyObject* arg) {
    uint32_t pc;
    if (!to_u32(arg, &pc)) return nullptr;
    // Python code may change the block it receives; only the general path
    // honours that, so this interpreter's runs take it from now on.
    native_loop::expose(reinterpret_cast<Interpreter*>(o)->native);
    CyBlockInfo* b = block_at(reinterpret_cast<Interpreter*>(o), pc);
    return b ? Py_NewRef(reinterpret_cast<PyObject*>(b)) : nullptr;
}

PyObject* interpreter_get_program(PyObject* o, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(reinterpret_cast<Interpreter*>(o)->program));
}

PyObject* interpreter_get_cached(PyObject* o, void*) {
    return PyLong_FromSsize_t(reinterpret_cast<Interpreter*>(o)->cached);
}

PyObject* interpreter_get_native(PyObject* o, void*) {
    return PyLong_FromSsize_t(native_loop::native_blocks(reinterpret_cast<Interpreter*>(o)->native));
}

PyMethodDef interpreter_methods[] = {
    {"run", cfunc(interpreter_run), METH_VARARGS | METH_KEYWORDS,
     "run(registers, memory, pc, gas, trace=None, host=None, *, breakpoints=None, max_steps=None, "
     "trace_instructions=None) -> tuple\n\nRun from pc until the program exits, "
     "runs out of gas or makes a host call it cannot hand to a handler.  Returns (status, pc, gas, "
     "fault_address, host_call) with status 0 halt, 1 panic, 2 page fault, 3 out of gas, 4 host call, "
     "5 breakpoint, 6 step.  "
     "registers (a writable buffer of at least 13 unsigned 64-bit items) and memory are changed in place.  "
     "trace, if given, is called as trace(start_pc, block, registers) after each block that runs to its end.  "
     "host, if given, is called as host(index, registers, memory) at each host call and returns None or 0 to "
     "go on, a positive int to charge that much gas, or the CyStatus HALT or PANIC to end the run.  "
     "The run stops before an instruction at a pc in breakpoints (but the first it runs) and after max_steps "
     "instructions; trace_instructions, if given, is called with (pc, gas, ((register, value), ...), "
     "((is_write, address, bytes), ...)) for each instruction that runs."},
    {"call", cfunc(interpreter_call), METH_FASTCALL | METH_KEYWORDS,
     "call(*, registers=None, memory=None, pc=0, gas=10000, trace=None, host=None, breakpoints=None, "
     "max_steps=None, trace_instructions=None, profile=False) -> RunResult\n\n"
     "qorvel_pvm.Interpreter.run in one native call: checks the arguments as the Python API does (registers "
     "a sequence of 13 ints or None, memory a CyMemory or None for a new one), runs and returns the "
     "RunResult.  The defaults are those of Interpreter.run."},
    {"compile_block", interpreter_compile_block, METH_O,
     "compile_block(pc) -> CyBlockInfo\n\nThe compiled basic block starting at pc (built once, then cached)."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* interpreter_get_compiled(PyObject* o, void*) {
    const jit::Cache* c = reinterpret_cast<Interpreter*>(o)->jit;
    if (c == nullptr) Py_RETURN_NONE;
    return PyLong_FromSize_t(jit::compiled_blocks(c));
}

PyObject* interpreter_get_code_size(PyObject* o, void*) {
    const jit::Cache* c = reinterpret_cast<Interpreter*>(o)->jit;
    if (c == nullptr) Py_RETURN_NONE;
    return PyLong_FromSize_t(jit::code_size(c));
}

PyGetSetDef interpreter_getset[] = {
    {"program", interpreter_get_program, nullptr, "The program this interpreter runs.", nullptr},
    {"cached_blocks", interpreter_get_cached, nullptr, "Number of basic blocks compiled so far.", nullptr},
    {"native_blocks", interpreter_get_native, nullptr,
     "Number of basic blocks given a native form for the native run loop so far.", nullptr},
    {"compiled_blocks", interpreter_get_compiled, nullptr,
     "Number of basic blocks translated to machine code so far (None: this interpreter does not use the block "
     "compiler).", nullptr},
    {"code_size", interpreter_get_code_size, nullptr,
     "Bytes of machine code made for this interpreter's blocks so far (None: this interpreter does not use the "
     "block compiler).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject InterpreterType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm.vm_interpreter.Interpreter", sizeof(Interpreter),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                                 "Interpreter(program, jit=None)\n\nRuns one CyProgram, compiling each basic block once.  "
                                 "jit: whether long runs translate blocks to machine code (None: the module's "
                                 "default, see engine()).");
    t.tp_new = interpreter_new;
    t.tp_dealloc = interpreter_dealloc;
    t.tp_traverse = interpreter_traverse;
    t.tp_clear = interpreter_clear;
    t.tp_methods = interpreter_methods;
    t.tp_getset = interpreter_getset;
    return t;
}();

// Switches the native run loop on or off (for tests and benchmarks that
// compare it with the general path); returns whether it was on.
PyObject* set_native_loop(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    const bool was = native_loop::enabled;
    native_loop::enabled = on != 0;
    return PyBool_FromLong(was);
}

PyObject* py_engine(PyObject*, PyObject*) {
    return PyUnicode_FromString(jit::enabled && jit::supported() ? "compiler" : "native loop");
}

PyObject* set_code_limit(PyObject*, PyObject* arg) {
    const size_t limit = PyLong_AsSize_t(arg);
    if (limit == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    const size_t was = jit::code_limit;
    jit::code_limit = limit;
    return PyLong_FromSize_t(was);
}

PyObject* set_jit_eager(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    const bool was = jit_eager;
    jit_eager = on != 0;
    return PyBool_FromLong(was);
}

PyObject* set_jit(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    const bool was = jit::enabled;
    jit::enabled = on != 0;
    return PyBool_FromLong(was);
}

PyObject* set_unlocking(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    const bool was = engine::unlocking;
    engine::unlocking = on != 0;
    return PyBool_FromLong(was);
}

PyObject* interrupt_thread(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_interrupt_thread() takes 2 arguments (ident, stop)");
        return nullptr;
    }
    const unsigned long ident = PyLong_AsUnsignedLong(args[0]);
    if (ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    const int stop = PyObject_IsTrue(args[1]);
    if (stop < 0) return nullptr;
    std::erase(stop_requests, ident);
    if (stop) {
        stop_requests.push_back(ident);
        __atomic_fetch_add(&interrupts, 1, __ATOMIC_RELAXED);
    }
    Py_RETURN_NONE;
}

int find_main_thread();

PyObject* py_find_main_thread(PyObject*, PyObject*) {
    if (find_main_thread() < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"_bind_api", bind_api, METH_VARARGS,
     "_bind_api(result_type, status_names, defaults, host_exit, trace_adapter, make_profile) -> None\n\n"
     "The RunResult class, the status names by exit code, the keyword defaults of Interpreter.run, the "
     "exception class a host handler raises to end the run, the maker of the callable that turns raw "
     "instruction records into the records a trace_instructions callback gets, and the maker of a run's "
     "profile from its raw counts, which Interpreter.call works with (called by qorvel_pvm.interpreter)."},
    {"_set_native_loop", set_native_loop, METH_O,
     "_set_native_loop(on) -> bool\n\nLet runs that qualify take the native run loop (the default) or send "
     "every run down the general path.  Returns the previous setting.  Meant for tests and benchmarks."},
    {"engine", py_engine, METH_NOARGS,
     "engine() -> str\n\nWhich engine long runs of new interpreters take: \"compiler\" (blocks translated to "
     "machine code) or \"native loop\" (where the compiler is not supported, or turned off with "
     "QORVEL_PVM_JIT=0)."},
    {"_set_jit", set_jit, METH_O,
     "_set_jit(on) -> bool\n\nWhether new interpreters use the block compiler by default.  Returns the previous "
     "setting.  Meant for tests and benchmarks."},
    {"_set_code_limit", set_code_limit, METH_O,
     "_set_code_limit(size) -> int\n\nThe bytes of machine code each new interpreter's blocks may take (past them, "
     "its runs go on on the native loop).  Returns the previous limit.  Meant for tests."},
    {"_set_jit_eager", set_jit_eager, METH_O,
     "_set_jit_eager(on) -> bool\n\nLet runs of interpreters that use the block compiler start on it at once "
     "instead of after their first window of gas.  Returns the previous setting.  Meant for tests."},
    {"_set_unlocking", set_unlocking, METH_O,
     "_set_unlocking(on) -> bool\n\nLet long runs on the native loop give up the interpreter lock (the default) "
     "or keep it for the whole run.  Returns the previous setting.  Meant for benchmarks."},
    {"_find_main_thread", py_find_main_thread, METH_NOARGS,
     "_find_main_thread() -> None\n\nLook up the main thread again (after a fork, in the child)."},
    {"_interrupt_thread", cfunc(interrupt_thread), METH_FASTCALL,
     "_interrupt_thread(ident, stop) -> None\n\nAsk the runs of the thread `ident` (a threading ident) to stop: "
     "the next check a run there makes, also without the interpreter lock, raises KeyboardInterrupt.  With stop "
     "false, withdraw the request."},
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

int make_thread_switch() {
    Owned globals = Owned::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return -1;
    thread_switch = PyRun_String("lambda: None", Py_eval_input, globals.get(), globals.get());
    return thread_switch ? 0 : -1;
}

// The ident of the main thread, where signal handlers run (found again in
// the child of a fork, whose main thread is the thread that forked).
int find_main_thread() {
    Owned threading = Owned::steal(PyImport_ImportModule("threading"));
    Owned thread = Owned::steal(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Owned ident = Owned::steal(thread ? PyObject_GetAttrString(thread.get(), "ident") : nullptr);
    if (!ident) return -1;
    main_thread = PyLong_AsUnsignedLong(ident.get());
    return PyErr_Occurred() ? -1 : 0;
}

int exec_module(PyObject* m) {
    if (import_classes() < 0 || bind_groups() < 0 || make_thread_switch() < 0 || find_main_thread() < 0)
        return -1;
    // QORVEL_PVM_JIT=0 turns the block compiler off for the process.
    const char* env = getenv("QORVEL_PVM_JIT");
    jit::enabled = env == nullptr || std::strcmp(env, "0") != 0;
    const engine::native::Setup setup{cls.program, cls.memory, cls.compiled, opcode_entries, exit_type};
    if (native_loop::init(setup) < 0) return -1;
    return add_type(m, &InterpreterType, "Interpreter");
}

}  // namespace

PVM_DEFINE_MODULE(vm_interpreter, "Running compiled programs; native bridges for tests and tools.", module_methods,
                  guard, exec_module)
