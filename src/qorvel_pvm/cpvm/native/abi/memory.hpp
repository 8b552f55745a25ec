// Shared layout of qorvel_pvm.cpvm.vm_memory: CyMemory, its method table
// and the page geometry functions it publishes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace pvm {

inline constexpr const char* kMemoryModule = "qorvel_pvm.cpvm.vm_memory";

inline constexpr uint32_t kPageSize = 4096;
inline constexpr uint32_t kPageShift = 12;
inline constexpr uint32_t kPageCount = 1u << 20;   // pages in the address space
inline constexpr uint32_t kBitsetWords = kPageCount / 64;

// Access modes.
inline constexpr int kAccRead = 0;
inline constexpr int kAccWrite = 1;
inline constexpr int kAccNone = 2;

struct CyMemory;

// Method table, in slot order.  `skip_dispatch` is the dispatch flag of the
// overridable operations: 0 lets a Python subclass's override run.
struct CyMemory_vtable {
    uint8_t* (*_get_cpage)(CyMemory* self, uint32_t page_idx, int create);  // NULL: absent or error
    void (*_clear_bitsets)(CyMemory* self);
    int (*_sync_bitsets_from_sets)(CyMemory* self, int skip_dispatch);       // -1 on error
    void (*_set_byte_c)(CyMemory* self, uint32_t addr, uint8_t value);
    uint8_t (*_get_byte_c)(CyMemory* self, uint32_t addr);
    int (*_has_access_c)(CyMemory* self, uint32_t page_idx, int mode);
    void (*_set_access_c)(CyMemory* self, uint32_t page_idx, int mode, int value);
    void (*_set_access_range_c)(CyMemory* self, uint32_t start_page, uint32_t num_pages, int mode,
                                int value);
    int (*_check_access_c)(CyMemory* self, uint32_t start_page, uint32_t num_pages, int mode,
                           uint32_t fault_addr);                              // -1: PvmExit raised
    void (*_alter_accessibility_c)(CyMemory* self, uint32_t start_addr, uint32_t length,
                                   uint8_t access);
    void (*_zero_memory_range_c)(CyMemory* self, uint32_t start_page, uint32_t num_pages);
    int (*_is_accessible_c)(CyMemory* self, uint32_t address, uint32_t length, int access);
    PyObject* (*_set_byte)(CyMemory* self, uint32_t addr, uint8_t value, int skip_dispatch);
    int (*_get_byte)(CyMemory* self, uint32_t addr, int skip_dispatch);     // -1 on error
    PyObject* (*read)(CyMemory* self, uint32_t address, int32_t length, int skip_dispatch);
    int (*write)(CyMemory* self, uint32_t address, PyObject* data, int skip_dispatch);  // -1 on error
};
inline constexpr const char* kCyMemoryVtableSig = "CyMemory_vtable";

struct CyMemory {
    PyObject_HEAD
    CyMemory_vtable* vtab;
    PyObject* _pages;     // dict: page index -> buffer address, or None
    PyObject* _r_pages;   // set or None
    PyObject* _w_pages;   // set or None
    uint64_t _r_bitset[kBitsetWords];
    uint64_t _w_bitset[kBitsetWords];
    int32_t heap_break;
    void* _owned;         // native registry of the buffers this memory allocated
    // Set while a run uses the memory without holding the interpreter lock:
    // Python code (another thread) must not touch it then.
    uint32_t _busy;
    // The thread whose runs use the memory (0: none).  Runs on other threads
    // are refused, even while the owner's host handler holds the lock.
    unsigned long _owner;
};

inline constexpr const char* kMemoryBusyMessage = "memory is in use by a running program";

// A run's claim on its memory, for as long as the claim lives: refused with
// RuntimeError while the memory is busy or claimed from another thread.
// Claims on one thread nest (a host handler may start a run on the memory
// of the run that called it).
class MemoryClaim {
public:
    bool acquire(CyMemory* memory) {
        const unsigned long me = PyThread_get_thread_ident();
        if (memory->_busy != 0 || (memory->_owner != 0 && memory->_owner != me)) {
            PyErr_SetString(PyExc_RuntimeError, kMemoryBusyMessage);
            return false;
        }
        memory_ = memory;
        previous_ = memory->_owner;
        memory->_owner = me;
        return true;
    }
    ~MemoryClaim() {
        if (memory_ != nullptr) memory_->_owner = previous_;
    }
    MemoryClaim() = default;
    MemoryClaim(const MemoryClaim&) = delete;
    MemoryClaim& operator=(const MemoryClaim&) = delete;

private:
    CyMemory* memory_ = nullptr;
    unsigned long previous_ = 0;
};

// Published page geometry.
using page_fn = uint32_t(uint32_t);
using page_range_fn = void(uint32_t, uint32_t, uint32_t*, uint32_t*);
inline constexpr const char* kPageFnSig = "uint32_t (uint32_t)";
inline constexpr const char* kPageRangeSig = "void (uint32_t, uint32_t, uint32_t *, uint32_t *)";

// Direct loads and stores for the native engines (exact CyMemory only): 0
// done, 1 refused with the fault address set, -1 with an exception.  They
// apply the rules of `read` and `write` (every page checked first, zeros for
// a page without a buffer, buffers created on first write) without building
// a Python object.
using direct_load_fn = int(CyMemory*, uint32_t address, uint32_t length, uint64_t* value, uint32_t* fault);
using direct_store_fn = int(CyMemory*, uint32_t address, uint32_t length, uint64_t value, uint32_t* fault);
inline constexpr const char* kDirectLoadSig = "int (CyMemory *, uint32_t, uint32_t, uint64_t *, uint32_t *)";
inline constexpr const char* kDirectStoreSig = "int (CyMemory *, uint32_t, uint32_t, uint64_t, uint32_t *)";

// The page map of a memory, for engines that move bytes straight to and
// from the page buffers: two arrays with one entry per page of the address
// space (mapped from the operating system, which backs only the parts that
// are written), so a lookup is one load.  An entry is the distance from a
// guest address to the host address of its byte: for a guest address `a`
// in the page, the byte is at `entry + a`.  `read[page]` is set for a page
// that may be read, to its buffer or, while it has none, to a shared page of
// zeros that is never written; `write[page]` is set for a page that may be
// written and has a buffer of its own.  0 means neither (the page is not
// mapped yet, or lacks the permission): the engine takes the slow path,
// which applies every rule.
//
// The memory keeps the map in step with its page store and its permission
// bits: pages the memory creates are entered as they are created, every
// permission change updates the entries it covers, and any other change to
// the store (from Python code) empties the map the next time it is asked
// for.  An engine asks for it (`page_map`) at the start of a run and again
// after anything that may have run Python code; between those points the map
// and every buffer in it stay valid.
struct PageMap {
    const uintptr_t* read;   // kPageCount entries
    const uintptr_t* write;  // kPageCount entries, always right after `read` (read + kPageCount)
    // Looking a page up in the store may run Python code (a key that is not
    // an exact int) or fails (a store that is not a dict): the engine then
    // makes each access it cannot serve the way `read` and `write` do, once.
    bool store_runs_code;
};

inline uint8_t* map_host(uintptr_t entry, uint32_t address) { return reinterpret_cast<uint8_t*>(entry + address); }

// The memory's page map, brought up to date with its page store; a map
// with no entries while none was needed yet or when the store cannot be
// mapped (then with `store_runs_code`).  Never NULL; sets no exception.
using page_map_fn = PageMap*(CyMemory*);
inline constexpr const char* kPageMapSig = "PageMap *(CyMemory *)";

}  // namespace pvm
