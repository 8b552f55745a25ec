// qorvel_pvm.cpvm.vm_program: the program object.
//
// `CyProgram(blob)` decodes a standard PVM program blob
//
//   E(jump-table entries) ++ z ++ E(code length) ++ entries (z bytes each, LE)
//   ++ code ++ bitmask (one bit per code byte, LSB first)
//
// where E is the variable-length natural-number encoding, and keeps the code
// bytes (`zeta`), the jump table and the basic-block starts.  The object is
// immutable once made: everything is decoded in `__new__`, so the native views
// that handlers and decoders use (code pointer, block-start bitmap, jump
// entries) never change under them.
//
// The fast paths the instruction groups call are `branch` and `djump`; the
// block builder uses `skip` and the basic-block starts.  An exit of the guest
// is raised as `PvmExit` (0 halt, 1 panic).
#include "abi/program.hpp"
#include "abi/status.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"

#include <cstring>
#include <limits>

namespace {

using namespace pvm;

ModuleGuard guard("vm_program");

PyObject* exit_type = nullptr;  // PvmExit, bound at import

extern PyTypeObject CyProgramType;

constexpr uint32_t kNotTaken = 0xFFFFFFFFu;  // "continue with the next instruction"
constexpr uint32_t kMaxSkip = 24;
constexpr uint32_t kHaltAddress = 0xFFFF0000u;  // djump to this address halts
constexpr uint32_t kJumpAlignment = 2;          // jump addresses are multiples of this

// ----- block-ending opcodes -------------------------------------------------------

// Opcodes after which a basic block ends: trap and fall-through (0, 1), jump
// (40), the indirect jump (50), load-and-jump and the compare branches
// (80..90), the register-register branches (170..175), the indirect
// load-and-jump (180), and every opcode that no instruction group defines
// (it executes as a trap).  The defined opcodes that continue a block are
// the host call (10), the wide immediate load (20), the immediate stores
// (30..33), the immediate load and the absolute loads and stores (51..62),
// the indirect immediate stores (70..73), the two-register group (100..111),
// the two-register-immediate group (120..161) and the three-register group
// (190..230).  The instruction groups import this module, so the set is
// written down here rather than read from their tables.
constexpr bool ends_block(uint8_t opcode) {
    return !(opcode == 10 || opcode == 20 || (opcode >= 30 && opcode <= 33) || (opcode >= 51 && opcode <= 62) ||
             (opcode >= 70 && opcode <= 73) || (opcode >= 100 && opcode <= 111) ||
             (opcode >= 120 && opcode <= 161) || (opcode >= 190 && opcode <= 230));
}

// ----- natural numbers ------------------------------------------------------------

struct Reader {
    const uint8_t* data;
    size_t len;
    size_t pos = 0;

    size_t remaining() const { return len - pos; }

    bool truncated(const char* what) {
        PyErr_Format(PyExc_ValueError, "program blob is truncated: %s is missing", what);
        return false;
    }

    // Little-endian unsigned of n bytes (n <= 8).
    bool le(unsigned n, uint64_t* out, const char* what) {
        if (remaining() < n) return truncated(what);
        uint64_t v = 0;
        for (unsigned i = 0; i < n; ++i) v |= static_cast<uint64_t>(data[pos + i]) << (8 * i);
        pos += n;
        *out = v;
        return true;
    }

    // E(x): one byte below 128; otherwise the count of leading one bits of the
    // first byte is the number l of little-endian bytes that follow, and the
    // rest of the first byte holds the bits above them (l = 8: no such bits).
    bool natural(uint64_t* out, const char* what) {
        if (remaining() < 1) return truncated(what);
        const uint8_t head = data[pos++];
        if (head < 0x80) {
            *out = head;
            return true;
        }
        unsigned l = 0;
        while (l < 8 && (head & (0x80u >> l))) ++l;
        uint64_t low;
        if (!le(l, &low, what)) return false;
        if (l == 8) {
            *out = low;
            return true;
        }
        const uint64_t high = head & ((1u << (8 - l)) - 1);
        *out = (high << (8 * l)) | low;
        return true;
    }
};

// The encoded size of x under E.
size_t natural_size(uint64_t x) {
    if (x < 128) return 1;
    for (unsigned l = 1; l < 8; ++l)
        if (x < (uint64_t{1} << (7 * (l + 1)))) return 1 + l;
    return 9;
}

uint8_t* write_natural(uint8_t* out, uint64_t x) {
    if (x < 128) {
        *out++ = static_cast<uint8_t>(x);
        return out;
    }
    for (unsigned l = 1; l < 8; ++l) {
        if (x < (uint64_t{1} << (7 * (l + 1)))) {
            *out++ = static_cast<uint8_t>(256 - (1u << (8 - l)) + (x >> (8 * l)));
            for (unsigned i = 0; i < l; ++i) *out++ = static_cast<uint8_t>(x >> (8 * i));
            return out;
        }
    }
    *out++ = 0xFF;
    for (unsigned i = 0; i < 8; ++i) *out++ = static_cast<uint8_t>(x >> (8 * i));
    return out;
}

// ----- native views ---------------------------------------------------------------

inline bool block_bit(const CyProgram* self, uint32_t pos) {
    if (self->_block_bits == nullptr) return pos == 0;
    if (pos > static_cast<uint32_t>(self->zeta_len)) return false;
    return (self->_block_bits[pos >> 6] >> (pos & 63)) & 1;
}

// Bytes after the opcode at `pc` up to the next instruction start, at most
// 24; positions past the code count as starts.
inline uint32_t skip_at(const CyProgram* self, uint32_t pc) {
    const uint32_t len = static_cast<uint32_t>(self->zeta_len);
    if (pc >= len || self->_start_flags == nullptr) return 0;
    if (self->_skip_cache != nullptr) return static_cast<uint32_t>(self->_skip_cache[pc]);
    // _start_flags has zeta_len + 25 bytes, so these 24 are inside it.
    const void* hit = std::memchr(self->_start_flags + pc + 1, 1, kMaxSkip);
    return hit ? static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - (self->_start_flags + pc + 1)) : kMaxSkip;
}

// Raises PvmExit(code) and returns the handler error value.
uint32_t raise_exit(uint8_t code, const char* where) {
    Owned arg = Owned::steal(PyLong_FromLong(code));
    if (arg) {
        Owned exc = Owned::steal(PyObject_CallOneArg(exit_type, arg.get()));
        if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    }
    PVM_TRACEBACK(where);
    return kNotTaken;
}

// ----- method table ---------------------------------------------------------------

PyObject* program_precompute_cache(CyProgram* self) {
    const uint32_t len = static_cast<uint32_t>(self->zeta_len);
    if (self->_skip_cache != nullptr || len == 0 || self->_start_flags == nullptr) Py_RETURN_NONE;
    auto* cache = static_cast<int32_t*>(PyMem_Malloc(sizeof(int32_t) * len));
    if (cache == nullptr) return PyErr_NoMemory();
    // Backwards: the skip at p is 0 when p + 1 starts an instruction, else one
    // more than the skip at p + 1 (capped).  Position len counts as a start.
    const uint8_t* flags = self->_start_flags;
    int32_t next = 0;
    for (uint32_t p = len; p-- > 0;) {
        next = flags[p + 1] ? 0 : (next < static_cast<int32_t>(kMaxSkip) ? next + 1 : static_cast<int32_t>(kMaxSkip));
        cache[p] = next;
    }
    self->_skip_cache = cache;
    self->_skip_cache_len = static_cast<int32_t>(len);
    Py_RETURN_NONE;
}

// Size of the blob that `encode_into` writes; -1 with OverflowError when it
// does not fit an int32.
int32_t program_encode_size(CyProgram* self) {
    const uint64_t code = static_cast<uint64_t>(self->zeta_len);
    const uint64_t entries = static_cast<uint64_t>(self->jump_table_len);
    const uint64_t size = natural_size(entries) + 1 + natural_size(code) + entries * static_cast<uint64_t>(self->z) +
                          code + (code + 7) / 8;
    if (size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        PyErr_SetString(PyExc_OverflowError, "encoded program does not fit in 2**31 - 1 bytes");
        return -1;
    }
    return static_cast<int32_t>(size);
}

// Writes the blob into `buffer` (any writable buffer) at `offset`; returns
// the offset just past it, or -1 with an exception.
int32_t program_encode_into(CyProgram* self, PyObject* buffer, int32_t offset) {
    const int32_t size = program_encode_size(self);
    if (size < 0) return -1;
    if (offset < 0) {
        PyErr_Format(PyExc_ValueError, "offset must not be negative, got %d", offset);
        return -1;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(buffer, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return -1;
    const int64_t end = static_cast<int64_t>(offset) + size;
    if (end > view.len || end > std::numeric_limits<int32_t>::max()) {
        PyErr_Format(PyExc_ValueError, "buffer of %zd bytes cannot hold %d bytes at offset %d", view.len, size,
                     offset);
        PyBuffer_Release(&view);
        return -1;
    }
    uint8_t* out = static_cast<uint8_t*>(view.buf) + offset;
    out = write_natural(out, static_cast<uint64_t>(self->jump_table_len));
    *out++ = static_cast<uint8_t>(self->z);
    out = write_natural(out, static_cast<uint64_t>(self->zeta_len));
    for (int32_t i = 0; i < self->jump_table_len; ++i)
        for (int32_t k = 0; k < self->z; ++k) *out++ = static_cast<uint8_t>(self->_jump_entries[i] >> (8 * k));
    if (self->zeta_len > 0) {
        std::memcpy(out, self->zeta, static_cast<size_t>(self->zeta_len));
        out += self->zeta_len;
        const Py_ssize_t mask_len = PyBytes_GET_SIZE(self->offset_bitmask);
        std::memcpy(out, PyBytes_AS_STRING(self->offset_bitmask), static_cast<size_t>(mask_len));
    }
    PyBuffer_Release(&view);
    return static_cast<int32_t>(end);
}

// A branch: not taken (condition 0) continues with the next instruction; a
// taken branch must land on a basic-block start, else the guest panics.
uint32_t program_branch(CyProgram* self, int32_t, int32_t target, int condition) {
    if (!condition) return kNotTaken;
    const uint32_t t = static_cast<uint32_t>(target);
    if (block_bit(self, t)) return t;
    return raise_exit(kPanic, "qorvel_pvm.cpvm.vm_program.CyProgram.branch");
}

uint32_t program_skip(CyProgram* self, int32_t pc) { return skip_at(self, static_cast<uint32_t>(pc)); }

// A dynamic jump through the jump table: the halt address ends the program;
// the address must otherwise be a non-zero multiple of 2 naming an entry
// (address / 2 - 1) whose target starts a basic block, else the guest panics.
uint32_t program_djump(CyProgram* self, uint32_t, uint32_t address) {
    constexpr const char* where = "qorvel_pvm.cpvm.vm_program.CyProgram.djump";
    if (address == kHaltAddress) return raise_exit(kHalt, where);
    const uint64_t limit = static_cast<uint64_t>(self->jump_table_len) * kJumpAlignment;
    if (address == 0 || address % kJumpAlignment != 0 || address > limit || self->_jump_entries == nullptr)
        return raise_exit(kPanic, where);
    const uint32_t target = self->_jump_entries[address / kJumpAlignment - 1];
    if (block_bit(self, target)) return target;
    return raise_exit(kPanic, where);
}

CyProgram_vtable program_vtable = {program_precompute_cache, program_encode_size, program_encode_into,
                                   program_branch, program_skip, program_djump};

// ----- construction ---------------------------------------------------------------

// Decodes the blob into `self` (whose object fields are None and native views
// empty); -1 with ValueError when the blob is malformed.
int decode_blob(CyProgram* self, const uint8_t* data, size_t len) {
    Reader r{data, len};
    uint64_t entries, z, code_len;
    if (!r.natural(&entries, "the jump table length")) return -1;
    if (!r.le(1, &z, "the jump table entry size")) return -1;
    if (!r.natural(&code_len, "the code length")) return -1;
    if (z > 4) {
        PyErr_Format(PyExc_ValueError, "jump table entry size must be 0 to 4 bytes, got %llu",
                     static_cast<unsigned long long>(z));
        return -1;
    }
    if (z == 0 && entries != 0) {
        PyErr_Format(PyExc_ValueError, "jump table entry size is 0 but the table has %llu entries",
                     static_cast<unsigned long long>(entries));
        return -1;
    }
    constexpr uint64_t kMaxLen = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
    if (entries > kMaxLen) {
        PyErr_Format(PyExc_ValueError, "jump table length %llu does not fit in 2**31 - 1",
                     static_cast<unsigned long long>(entries));
        return -1;
    }
    if (code_len > kMaxLen) {
        PyErr_Format(PyExc_ValueError, "code length %llu does not fit in 2**31 - 1",
                     static_cast<unsigned long long>(code_len));
        return -1;
    }
    if (entries != 0 && r.remaining() / z < entries) {
        PyErr_Format(PyExc_ValueError,
                     "program blob is truncated: the jump table needs %llu bytes, %zu remain",
                     static_cast<unsigned long long>(entries * z), r.remaining());
        return -1;
    }
    const size_t njump = static_cast<size_t>(entries);
    const size_t ncode = static_cast<size_t>(code_len);
    const size_t nmask = (ncode + 7) / 8;

    // Jump table: native entries and the Python view.
    if (njump != 0) {
        self->_jump_entries = static_cast<uint32_t*>(PyMem_Malloc(sizeof(uint32_t) * njump));
        if (self->_jump_entries == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    Owned table = Owned::steal(PyTuple_New(static_cast<Py_ssize_t>(njump)));
    if (!table) return -1;
    for (size_t i = 0; i < njump; ++i) {
        uint64_t e = 0;
        if (!r.le(static_cast<unsigned>(z), &e, "a jump table entry")) return -1;  // checked above
        self->_jump_entries[i] = static_cast<uint32_t>(e);
        PyObject* v = PyLong_FromUnsignedLong(static_cast<unsigned long>(e));
        if (v == nullptr) return -1;
        PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), v);
    }

    if (r.remaining() < ncode) {
        PyErr_Format(PyExc_ValueError, "program blob is truncated: the code needs %zu bytes, %zu remain", ncode,
                     r.remaining());
        return -1;
    }
    const uint8_t* code = r.data + r.pos;
    r.pos += ncode;
    if (r.remaining() < nmask) {
        PyErr_Format(PyExc_ValueError, "program blob is truncated: the bitmask needs %zu bytes, %zu remain", nmask,
                     r.remaining());
        return -1;
    }
    const uint8_t* mask = r.data + r.pos;
    r.pos += nmask;
    if (r.remaining() != 0) {
        PyErr_Format(PyExc_ValueError, "program blob has %zu trailing bytes after the bitmask", r.remaining());
        return -1;
    }

    Owned code_obj = Owned::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(code),
                                                            static_cast<Py_ssize_t>(ncode)));
    if (!code_obj) return -1;
    Owned mask_obj = Owned::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mask),
                                                            static_cast<Py_ssize_t>(nmask)));
    if (!mask_obj) return -1;

    // One flag byte per position; the 25 positions past the code count as
    // instruction starts, so a skip scan never leaves the buffer.
    Owned flags_obj = Owned::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(ncode + kMaxSkip + 1)));
    if (!flags_obj) return -1;
    auto* flags = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(flags_obj.get()));
    for (size_t p = 0; p < ncode; ++p) flags[p] = (mask[p >> 3] >> (p & 7)) & 1;
    std::memset(flags + ncode, 1, kMaxSkip + 1);

    // Install the views before the block scan, which reads them.
    self->z = static_cast<int32_t>(z);
    self->jump_table_len = static_cast<int32_t>(njump);
    self->instruction_set_len = static_cast<int32_t>(ncode);
    self->zeta_len = static_cast<int32_t>(ncode);
    self->zeta = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(code_obj.get()));
    self->_start_flags = flags;
    replace_field(self->jump_table, table.get());
    replace_field(self->instruction_set, code_obj.get());
    replace_field(self->offset_bitmask, mask_obj.get());
    replace_field(self->_extended_bitmask, flags_obj.get());

    // Basic-block starts: 0, and the position after every block-ending
    // instruction (opcode position + 1 + skip, at most the code length).
    const size_t nwords = (ncode + 1 + 63) / 64;
    self->_block_bits = static_cast<uint64_t*>(PyMem_Calloc(nwords, sizeof(uint64_t)));
    if (self->_block_bits == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    self->_block_bits[0] = 1;
    for (size_t p = 0; p < ncode; ++p) {
        if (!flags[p] || !ends_block(code[p])) continue;
        const size_t next = p + 1 + skip_at(self, static_cast<uint32_t>(p));
        self->_block_bits[next >> 6] |= uint64_t{1} << (next & 63);
    }
    Owned starts = Owned::steal(PyList_New(0));
    if (!starts) return -1;
    for (size_t w = 0; w < nwords; ++w) {
        for (uint64_t bits = self->_block_bits[w]; bits != 0; bits &= bits - 1) {
            const size_t pos = w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
            Owned v = Owned::steal(PyLong_FromSize_t(pos));
            if (!v || PyList_Append(starts.get(), v.get()) < 0) return -1;
        }
    }
    Owned starts_tuple = Owned::steal(PyList_AsTuple(starts.get()));
    if (!starts_tuple) return -1;
    Owned starts_set = Owned::steal(PyFrozenSet_New(starts.get()));
    if (!starts_set) return -1;
    replace_field(self->basic_blocks, starts_tuple.get());
    replace_field(self->_basic_blocks_set, starts_set.get());
    return 0;
}

PyObject* program_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"blob", nullptr};
    PyObject* blob;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:CyProgram", const_cast<char**>(kwlist), &blob)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(blob, &view, PyBUF_C_CONTIGUOUS) < 0) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "CyProgram() argument 'blob' must be a bytes-like object, not '%.200s'",
                         Py_TYPE(blob)->tp_name);
        }
        return nullptr;
    }
    Owned obj = Owned::steal(type->tp_alloc(type, 0));
    if (!obj) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    auto* self = reinterpret_cast<CyProgram*>(obj.get());
    self->vtab = &program_vtable;
    for (PyObject** f : {&self->jump_table, &self->instruction_set, &self->offset_bitmask, &self->basic_blocks,
                         &self->_extended_bitmask, &self->_basic_blocks_set})
        *f = Py_NewRef(Py_None);
    self->_exec_blocks = PyDict_New();
    int rc = self->_exec_blocks ? decode_blob(self, static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len))
                                : -1;
    PyBuffer_Release(&view);
    if (rc < 0) return nullptr;
    return obj.release();
}

int program_traverse(PyObject* self, visitproc visit, void* arg) {
    // Only the driver's block cache can hold arbitrary objects; the other
    // fields are bytes, tuples and sets of ints.
    Py_VISIT(reinterpret_cast<CyProgram*>(self)->_exec_blocks);
    return 0;
}

int program_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<CyProgram*>(self)->_exec_blocks);
    return 0;
}

void program_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    auto* self = reinterpret_cast<CyProgram*>(obj);
    Py_CLEAR(self->_exec_blocks);
    Py_CLEAR(self->jump_table);
    Py_CLEAR(self->instruction_set);
    Py_CLEAR(self->offset_bitmask);
    Py_CLEAR(self->basic_blocks);
    Py_CLEAR(self->_extended_bitmask);
    Py_CLEAR(self->_basic_blocks_set);
    self->zeta = nullptr;
    self->_start_flags = nullptr;
    PyMem_Free(self->_skip_cache);
    PyMem_Free(self->_block_bits);
    PyMem_Free(self->_jump_entries);
    Py_TYPE(obj)->tp_free(obj);
}

// ----- Python view ----------------------------------------------------------------

CyProgram* as_program(PyObject* o) { return reinterpret_cast<CyProgram*>(o); }

PyObject* get_object_field(PyObject* field) { return Py_NewRef(field ? field : Py_None); }

#define PVM_PROGRAM_OBJECT_GETTER(field) \
    PyObject* get_##field(PyObject* self, void*) { return get_object_field(as_program(self)->field); }
#define PVM_PROGRAM_INT_GETTER(field) \
    PyObject* get_##field(PyObject* self, void*) { return PyLong_FromLong(as_program(self)->field); }

PVM_PROGRAM_OBJECT_GETTER(jump_table)
PVM_PROGRAM_OBJECT_GETTER(instruction_set)
PVM_PROGRAM_OBJECT_GETTER(offset_bitmask)
PVM_PROGRAM_OBJECT_GETTER(basic_blocks)
PVM_PROGRAM_OBJECT_GETTER(_extended_bitmask)
PVM_PROGRAM_OBJECT_GETTER(_basic_blocks_set)
PVM_PROGRAM_OBJECT_GETTER(_exec_blocks)
PVM_PROGRAM_INT_GETTER(z)
PVM_PROGRAM_INT_GETTER(instruction_set_len)
PVM_PROGRAM_INT_GETTER(jump_table_len)
PVM_PROGRAM_INT_GETTER(zeta_len)
PVM_PROGRAM_INT_GETTER(_skip_cache_len)

#undef PVM_PROGRAM_OBJECT_GETTER
#undef PVM_PROGRAM_INT_GETTER

PyGetSetDef program_getset[] = {
    {"z", get_z, nullptr, "z: 'int' -- bytes per jump-table entry", nullptr},
    {"jump_table", get_jump_table, nullptr, "jump_table: tuple -- the jump-table entries", nullptr},
    {"instruction_set", get_instruction_set, nullptr, "instruction_set: bytes -- the code bytes", nullptr},
    {"offset_bitmask", get_offset_bitmask, nullptr,
     "offset_bitmask: bytes -- instruction starts, one bit per code byte, least significant bit first", nullptr},
    {"basic_blocks", get_basic_blocks, nullptr, "basic_blocks: tuple -- the basic-block starts in ascending order",
     nullptr},
    {"instruction_set_len", get_instruction_set_len, nullptr, "instruction_set_len: 'int'", nullptr},
    {"jump_table_len", get_jump_table_len, nullptr, "jump_table_len: 'int'", nullptr},
    {"_extended_bitmask", get__extended_bitmask, nullptr,
     "_extended_bitmask: bytes -- 1 at each instruction start, one byte per position; the 25 positions past the "
     "code count as starts",
     nullptr},
    {"zeta_len", get_zeta_len, nullptr, "zeta_len: 'int' -- number of code bytes", nullptr},
    {"_basic_blocks_set", get__basic_blocks_set, nullptr, "_basic_blocks_set: frozenset", nullptr},
    {"_exec_blocks", get__exec_blocks, nullptr, "_exec_blocks: dict -- compiled blocks cached by the driver",
     nullptr},
    {"_skip_cache_len", get__skip_cache_len, nullptr, "_skip_cache_len: 'int'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// A program counter from Python: an unsigned 32-bit int.
bool to_pc(PyObject* o, int32_t* out) {
    uint32_t v;
    if (!to_u32(o, &v)) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool check_nargs(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional argument%s (%zd given)", name, expected,
                 expected == 1 ? "" : "s", nargs);
    return false;
}

PyObject* py_precompute_cache(PyObject* self, PyObject*) {
    return as_program(self)->vtab->_precompute_cache(as_program(self));
}

PyObject* py_encode_size(PyObject* self, PyObject*) {
    const int32_t n = as_program(self)->vtab->encode_size(as_program(self));
    return n < 0 ? nullptr : PyLong_FromLong(n);
}

PyObject* py_encode_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("encode_into", nargs, 2)) return nullptr;
    int32_t offset;
    if (!to_i32(args[1], &offset)) return nullptr;
    const int32_t end = as_program(self)->vtab->encode_into(as_program(self), args[0], offset);
    return end < 0 ? nullptr : PyLong_FromLong(end);
}

PyObject* py_encode(PyObject* self, PyObject*) {
    const int32_t n = as_program(self)->vtab->encode_size(as_program(self));
    if (n < 0) return nullptr;
    Owned out = Owned::steal(PyByteArray_FromStringAndSize(nullptr, n));
    if (!out) return nullptr;
    if (as_program(self)->vtab->encode_into(as_program(self), out.get(), 0) < 0) return nullptr;
    return PyBytes_FromStringAndSize(PyByteArray_AS_STRING(out.get()), n);
}

PyObject* py_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("branch", nargs, 3)) return nullptr;
    int32_t pc, target;
    if (!to_pc(args[0], &pc) || !to_pc(args[1], &target)) return nullptr;
    Owned cond = as_index(args[2]);
    if (!cond) return nullptr;
    const int taken = PyObject_IsTrue(cond.get());
    if (taken < 0) return nullptr;
    const uint32_t r = as_program(self)->vtab->branch(as_program(self), pc, target, taken);
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromUnsignedLong(r);
}

PyObject* py_skip(PyObject* self, PyObject* arg) {
    int32_t pc;
    if (!to_pc(arg, &pc)) return nullptr;
    return PyLong_FromUnsignedLong(as_program(self)->vtab->skip(as_program(self), pc));
}

PyObject* py_djump(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("djump", nargs, 2)) return nullptr;
    uint32_t pc, address;
    if (!to_u32(args[0], &pc) || !to_u32(args[1], &address)) return nullptr;
    const uint32_t r = as_program(self)->vtab->djump(as_program(self), pc, address);
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromUnsignedLong(r);
}

// A program pickles as its blob.
PyObject* py_reduce(PyObject* self, PyObject*) {
    Owned blob = Owned::steal(py_encode(self, nullptr));
    if (!blob) return nullptr;
    return Py_BuildValue("O(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), blob.get());
}

PyObject* program_repr(PyObject* self) {
    CyProgram* p = as_program(self);
    const Py_ssize_t blocks = p->basic_blocks && PyTuple_Check(p->basic_blocks) ? PyTuple_GET_SIZE(p->basic_blocks) : 0;
    return PyUnicode_FromFormat("<%s: %d code bytes, %d jump-table entries, %zd basic blocks>",
                                type_short_name(Py_TYPE(self)), p->zeta_len, p->jump_table_len, blocks);
}

PyMethodDef program_methods[] = {
    {"_precompute_cache", py_precompute_cache, METH_NOARGS,
     "_precompute_cache(self)\n\nCompute the skip length of every code position once, so that skip() is a "
     "lookup."},
    {"encode_size", py_encode_size, METH_NOARGS, "encode_size(self) -> int\n\nSize of the program blob in bytes."},
    {"encode_into", cfunc(py_encode_into), METH_FASTCALL,
     "encode_into(self, buffer, offset) -> int\n\nWrite the program blob into a writable buffer at offset and "
     "return the offset just past it."},
    {"encode", py_encode, METH_NOARGS, "encode(self) -> bytes\n\nThe program blob."},
    {"branch", cfunc(py_branch), METH_FASTCALL,
     "branch(self, pc, target, condition) -> int\n\nTarget of a branch: 0xFFFFFFFF when the condition is 0 (not "
     "taken), the target when it starts a basic block; otherwise PvmExit(1) is raised."},
    {"skip", py_skip, METH_O,
     "skip(self, pc) -> int\n\nNumber of bytes after the opcode at pc up to the next instruction start, at most "
     "24."},
    {"djump", cfunc(py_djump), METH_FASTCALL,
     "djump(self, pc, address) -> int\n\nTarget of a jump through the jump table.  Address 0xFFFF0000 raises "
     "PvmExit(0); address 0, an odd address, one past the table or an entry that does not start a basic block "
     "raise PvmExit(1)."},
    {"__reduce__", py_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject CyProgramType = [] {
    PyTypeObject t = static_type("qorvel_pvm.cpvm.vm_program.CyProgram", sizeof(CyProgram),
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                                 "CyProgram(blob)\n\nA decoded program: code bytes, instruction starts, jump "
                                 "table and basic-block starts.  ValueError for a malformed blob.");
    t.tp_new = program_new;
    t.tp_dealloc = program_dealloc;
    t.tp_traverse = program_traverse;
    t.tp_clear = program_clear;
    t.tp_repr = program_repr;
    t.tp_getset = program_getset;
    t.tp_methods = program_methods;
    return t;
}();

int exec_module(PyObject* m) {
    if (add_type(m, &CyProgramType, "CyProgram") < 0) return -1;
    if (publish_vtable(&CyProgramType, &program_vtable, kCyProgramVtableSig) < 0) return -1;

    Owned status = Owned::steal(PyImport_ImportModule(kStatusModule));
    if (!status) return -1;
    exit_type = PyObject_GetAttrString(status.get(), "PvmExit");  // kept for the life of the process
    if (exit_type == nullptr) return -1;
    if (!PyExceptionClass_Check(exit_type)) {
        PyErr_Format(PyExc_TypeError, "%s.PvmExit is not an exception class", kStatusModule);
        return -1;
    }

    // The block-ending opcodes, for tools and for checking against the groups.
    Owned ending = Owned::steal(PyFrozenSet_New(nullptr));
    if (!ending) return -1;
    for (int op = 0; op < 256; ++op) {
        if (!ends_block(static_cast<uint8_t>(op))) continue;
        Owned v = Owned::steal(PyLong_FromLong(op));
        if (!v || PySet_Add(ending.get(), v.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(m, "TERMINATING_OPCODES", ending.get());
}

}  // namespace

PVM_DEFINE_MODULE(vm_program, "The program object: code bytes, jump table and basic blocks.", nullptr, guard,
                  exec_module)
