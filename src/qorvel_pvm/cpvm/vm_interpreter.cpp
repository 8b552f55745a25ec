// qorvel_pvm.cpvm.vm_interpreter: running programs, and the native bridges.
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
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"

#include <cstring>

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
    auto* b = reinterpret_cast<CyBlockInfo*>(block);
    return b->vtab->execute(b, reinterpret_cast<CyProgram*>(program), pc, regs.data(),
                            reinterpret_cast<CyMemory*>(memory));
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
    const uint32_t r = fn(reinterpret_cast<CyProgram*>(program), regs.data(), reinterpret_cast<CyMemory*>(memory),
                          counter, vx, vy, ra, rb, rd);
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

int exec_module(PyObject*) { return import_classes(); }

}  // namespace

PVM_DEFINE_MODULE(vm_interpreter, "Running compiled programs; native bridges for tests and tools.", module_methods,
                  guard, exec_module)
