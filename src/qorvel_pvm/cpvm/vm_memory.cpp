// qorvel_pvm.cpvm.vm_memory: the guest memory of the virtual machine.
//
// `CyMemory` is a flat 32-bit byte address space cut into 4096-byte pages.
// Pages are stored sparsely: `_pages` maps a page index to the address of a
// raw 4096-byte buffer, created the first time something is written to the
// page.  Each page has a read and a write permission, kept twice: as two
// Python sets (`_r_pages`, `_w_pages`) that construction fills and equality
// and pickling see, and as two fixed bitsets that every check consults.
//
// `read` and `write` check every page of a range before the first byte moves,
// then copy page by page, so a refused access (PvmExit(2, address)) has no
// effect at all.
//
// Safety of the page store: `_pages` is an ordinary dict that Python code may
// edit, so its values cannot be trusted as pointers.  Every memory keeps a
// native registry of the buffers it allocated; a value from `_pages` is used
// as a page only when it is one of this memory's live buffers, and the
// buffers are released from the registry (each exactly once), never from the
// dict.
#include "abi/memory.hpp"
#include "abi/status.hpp"
#include "abi/utils.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "numeric.hpp"
#include "pickle.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <sys/mman.h>

namespace {

using namespace pvm;

ModuleGuard guard("vm_memory");

extern PyTypeObject CyMemoryType;

constexpr uint32_t kPageMask = kPageSize - 1;
constexpr uint32_t kLastPage = kPageCount - 1;

// The exact CyMemory allocated last, while its permission bitsets are still
// known to be all clear (see mem_alloc); NULL once anything set a bit.
CyMemory* fresh_memory = nullptr;

// Where an exact CyMemory lives (see mem_alloc): a mapping of its own, the
// cycle collector's header first, then the object, then a word that says
// which 4 KiB chunks of its bitsets may hold a set bit (bit i: bytes
// [4096 i, 4096 (i + 1)) from `_r_bitset`, the write bitset following the
// read one).  A freed mapping is cleaned for the next memory by clearing
// those chunks only.
constexpr size_t kGcHeader = 2 * sizeof(uintptr_t);
constexpr size_t kMappedSize =
    (kGcHeader + sizeof(CyMemory) + sizeof(uint64_t) + kPageSize - 1) / kPageSize * kPageSize;
constexpr size_t kChunkWords = 512;
static_assert(offsetof(CyMemory, _w_bitset) == offsetof(CyMemory, _r_bitset) + sizeof(uint64_t) * kBitsetWords);
static_assert(2 * kBitsetWords == 64 * kChunkWords && sizeof(CyMemory) % sizeof(uint64_t) == 0);
bool mapped_alloc = false;  // exact CyMemory objects are mapped (decided at import)

inline uint64_t* dirty_chunks(CyMemory* self) {
    return mapped_alloc && Py_TYPE(self) == &CyMemoryType
               ? reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(self) + sizeof(CyMemory))
               : nullptr;
}

// Words [first, last] of `bits`, one of the memory's bitsets, are about to
// be written.
inline void bitsets_touched(CyMemory* self, const uint64_t* bits, uint32_t first, uint32_t last) {
    if (self == fresh_memory) fresh_memory = nullptr;
    if (uint64_t* dirty = dirty_chunks(self)) {
        const size_t base = static_cast<size_t>(bits - self->_r_bitset);
        for (size_t c = (base + first) / kChunkWords; c <= (base + last) / kChunkWords; ++c)
            *dirty |= uint64_t{1} << c;
    }
}

// Clears both bitsets: the chunks that may hold a bit where that is known.
void clear_bitsets(CyMemory* self) {
    uint64_t* dirty = dirty_chunks(self);
    if (dirty == nullptr) {
        std::memset(self->_r_bitset, 0, sizeof self->_r_bitset);
        std::memset(self->_w_bitset, 0, sizeof self->_w_bitset);
        return;
    }
    for (uint64_t d = *dirty; d != 0; d &= d - 1)
        std::memset(self->_r_bitset + static_cast<size_t>(__builtin_ctzll(d)) * kChunkWords, 0,
                    kChunkWords * sizeof(uint64_t));
    *dirty = 0;
}

// Names bound from the other modules when this one loads.
PyObject* PvmExitType = nullptr;           // strong
PyObject* CommonAccessibility = nullptr;   // strong
PyObject* DefaultAccess = nullptr;         // CommonAccessibility.READ, strong
utils::get_pages_fn* get_pages = nullptr;
utils::size_fn* total_page_size = nullptr;
utils::size_fn* total_zone_size = nullptr;

// Interned attribute names of the overridable operations.
PyObject* str_read = nullptr;
PyObject* str_write = nullptr;
PyObject* str_get_byte = nullptr;
PyObject* str_set_byte = nullptr;
PyObject* str_sync = nullptr;
PyObject* str_value = nullptr;

constexpr const char* kQualRead = "qorvel_pvm.cpvm.vm_memory.CyMemory.read";
constexpr const char* kQualWrite = "qorvel_pvm.cpvm.vm_memory.CyMemory.write";
constexpr const char* kQualGetByte = "qorvel_pvm.cpvm.vm_memory.CyMemory._get_byte";
constexpr const char* kQualSetByte = "qorvel_pvm.cpvm.vm_memory.CyMemory._set_byte";
constexpr const char* kQualGetByteC = "qorvel_pvm.cpvm.vm_memory.CyMemory._get_byte_c";
constexpr const char* kQualSetByteC = "qorvel_pvm.cpvm.vm_memory.CyMemory._set_byte_c";
constexpr const char* kQualSync = "qorvel_pvm.cpvm.vm_memory.CyMemory._sync_bitsets_from_sets";
constexpr const char* kQualCheck = "qorvel_pvm.cpvm.vm_memory.CyMemory._check_access_c";
constexpr const char* kQualZero = "qorvel_pvm.cpvm.vm_memory.CyMemory._zero_memory_range_c";

// ----- page geometry ---------------------------------------------------------

uint32_t _get_start_page(uint32_t addr) { return addr >> kPageShift; }
uint32_t _get_page_offset(uint32_t addr) { return addr & kPageMask; }
uint32_t _norm(uint32_t addr) { return addr & 0xFFFFFFFFu; }

// First page and page count of a byte range, in 32-bit arithmetic.  A zero
// length is not special-cased: callers that give it a meaning test it first.
void _get_page_range(uint32_t start_addr, uint32_t length, uint32_t* start_page, uint32_t* num_pages) {
    const uint32_t first = start_addr >> kPageShift;
    const uint32_t end_addr = start_addr + length - 1u;
    *start_page = first;
    *num_pages = (end_addr >> kPageShift) - first + 1u;
}

// The pages of a byte range of non-zero length, for the range operations.
// This is the formula above, except for a range that runs past 0xFFFFFFFF:
// wrapped round, its end lands at or below its own start page, and the
// formula would count 0, 1 or a bogus number of pages for it (0x20ff8 with
// length 0xffffffff ends inside page 0x20 and would look like one page).
// Every such range gets the count up to and including page 0x100000
// instead: checks fail there, changes stop before it.
void span_pages(uint32_t start_addr, uint32_t length, uint32_t* start_page, uint32_t* num_pages) {
    _get_page_range(start_addr, length, start_page, num_pages);
    if (uint64_t{start_addr} + length > (uint64_t{1} << 32)) *num_pages = kPageCount - *start_page + 1;
}

// ----- the buffer registry ---------------------------------------------------
//
// An open-addressing hash set of the buffer addresses one memory allocated
// (linear probing, at most half full, 0 marks an empty slot).  Lookups are
// O(1) and touch no Python object.

// The registry also owns the memory's page map (below): it lives and dies
// with the buffers it points to, so a mapped pointer never outlives its
// buffer.
struct MapState;
void map_destroy(MapState* m);

struct Registry {
    uintptr_t* slots;
    size_t capacity;  // a power of two
    unsigned shift;   // 64 - log2(capacity)
    size_t count;
    MapState* map;    // NULL until a page is first looked up
};

inline size_t registry_home(const Registry* r, uintptr_t p) {
    // Buffers are at least 16-byte aligned: drop the low bits, then spread.
    return static_cast<size_t>((static_cast<uint64_t>(p >> 4) * 0x9E3779B97F4A7C15ull) >> r->shift);
}

Registry* registry_new() {
    auto* r = static_cast<Registry*>(PyMem_Malloc(sizeof(Registry)));
    if (r == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    r->capacity = 16;
    r->shift = 64 - 4;
    r->count = 0;
    r->map = nullptr;
    r->slots = static_cast<uintptr_t*>(PyMem_Calloc(r->capacity, sizeof(uintptr_t)));
    if (r->slots == nullptr) {
        PyMem_Free(r);
        PyErr_NoMemory();
        return nullptr;
    }
    return r;
}

inline bool registry_contains(const Registry* r, uintptr_t p) {
    if (r == nullptr) return false;
    const size_t mask = r->capacity - 1;
    for (size_t i = registry_home(r, p);; i = (i + 1) & mask) {
        uintptr_t s = r->slots[i];
        if (s == p) return true;
        if (s == 0) return false;
    }
}

void registry_place(Registry* r, uintptr_t p) {
    const size_t mask = r->capacity - 1;
    size_t i = registry_home(r, p);
    while (r->slots[i] != 0) i = (i + 1) & mask;
    r->slots[i] = p;
    ++r->count;
}

// Adds a buffer; false with MemoryError when the table cannot grow.
bool registry_add(Registry* r, uintptr_t p) {
    if ((r->count + 1) * 2 > r->capacity) {
        size_t new_cap = r->capacity * 2;
        auto* fresh = static_cast<uintptr_t*>(PyMem_Calloc(new_cap, sizeof(uintptr_t)));
        if (fresh == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        uintptr_t* old = r->slots;
        size_t old_cap = r->capacity;
        r->slots = fresh;
        r->capacity = new_cap;
        r->shift -= 1;
        r->count = 0;
        for (size_t i = 0; i < old_cap; ++i)
            if (old[i] != 0) registry_place(r, old[i]);
        PyMem_Free(old);
    }
    registry_place(r, p);
    return true;
}

// Removes a buffer (backward-shift deletion keeps every probe chain intact).
void registry_remove(Registry* r, uintptr_t p) {
    const size_t mask = r->capacity - 1;
    size_t i = registry_home(r, p);
    while (r->slots[i] != p) {
        if (r->slots[i] == 0) return;
        i = (i + 1) & mask;
    }
    r->slots[i] = 0;
    --r->count;
    for (size_t j = (i + 1) & mask; r->slots[j] != 0; j = (j + 1) & mask) {
        size_t home = registry_home(r, r->slots[j]);
        // Move the entry back when its home is not in the (cyclic) range (i, j].
        bool stays = (i < j) ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays) {
            r->slots[i] = r->slots[j];
            r->slots[j] = 0;
            i = j;
        }
    }
}

// Releases every buffer of the registry and the registry itself.
void registry_destroy(Registry* r) {
    if (r == nullptr) return;
    map_destroy(r->map);
    for (size_t i = 0; i < r->capacity; ++i)
        if (r->slots[i] != 0) PyMem_Free(reinterpret_cast<void*>(r->slots[i]));
    PyMem_Free(r->slots);
    PyMem_Free(r);
}

inline Registry* registry_of(const CyMemory* self) { return static_cast<Registry*>(self->_owned); }

// Releases every buffer this memory owns.
void release_buffers(CyMemory* self) {
    Registry* r = registry_of(self);
    self->_owned = nullptr;
    registry_destroy(r);
}

// Allocates a zero-filled page buffer owned by `self`; NULL with MemoryError.
uint8_t* new_page_buffer(CyMemory* self) {
    if (self->_owned == nullptr) {
        self->_owned = registry_new();
        if (self->_owned == nullptr) return nullptr;
    }
    void* buf = PyMem_Calloc(1, kPageSize);
    if (buf == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!registry_add(registry_of(self), reinterpret_cast<uintptr_t>(buf))) {
        PyMem_Free(buf);
        return nullptr;
    }
    return static_cast<uint8_t*>(buf);
}

// Gives back a buffer that never made it into the page store.
void drop_page_buffer(CyMemory* self, uint8_t* buf) {
    Registry* r = registry_of(self);
    if (r != nullptr && registry_contains(r, reinterpret_cast<uintptr_t>(buf))) {
        registry_remove(r, reinterpret_cast<uintptr_t>(buf));
        PyMem_Free(buf);
    }
}

// ----- the page map ----------------------------------------------------------
//
// Every page lookup goes through the memory's page map first (its layout is
// shared with the engines, abi/memory.hpp), whose read entries also tell
// which readable pages have no buffer yet.  The map describes one page store
// object in one version of it: the dict's version changes with every change
// to it, so a map whose store and version are still those it was filled for
// is exact.  Pages this module creates are entered together with the version
// their insertion gives the store.  That is sound only when the insertion
// runs no Python code, i.e. when every key and value of the store is an
// exact int (comparing ints or freeing one runs no Python code); any other
// store is not mapped at all, and every lookup in it goes to the dict.  Any other change
// (Python code setting or deleting items, a new store, new buffers from a
// pickled state) leaves the map stale, and it is emptied the next time it is
// asked for.  Releasing the buffers destroys the registry and the map with
// it.  Every change of a permission bit updates the entries it covers; a
// page that loses its read permission is forgotten (looked up again when it
// is next used).

// A page of zeros standing for the pages that have no buffer yet.  Read-only
// data: nothing may write it, and nothing does (no write entry points here).
alignas(64) const uint8_t kZeroPage[kPageSize] = {};

// The entries of the empty map: all unmapped, never written (zero-filled
// storage that costs nothing until written, and nothing writes it).
uintptr_t no_entries[2 * kPageCount];

PageMap empty_map{no_entries, no_entries + kPageCount, false};
PageMap unmapped{no_entries, no_entries + kPageCount, true};  // for a store that cannot be mapped

// The map keeps a bit per region of 1024 pages that has entries, so that
// emptying it and following permission changes visit only those.
constexpr uint32_t kRegionBits = 10;
constexpr uint32_t kRegions = kPageCount >> kRegionBits;

struct MapState {
    PageMap map;              // first: what the engines see
    uintptr_t* read;          // map.read and map.write, writable here
    uintptr_t* write;
    PyObject* store;          // the page store it describes (borrowed, compared only)
    uint64_t version;         // and that store's version
    bool valid;               // store and version are set
    bool usable;              // every key and value of the store is an exact int
    uint64_t regions[kRegions / 64];
};

// The version of a dict, which changes with every change to it and is never
// given to two dicts.  Python versions without the field do not map pages.
#if PY_VERSION_HEX < 0x030E0000
constexpr bool kCanMap = true;
inline uint64_t store_version(PyObject* store) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(store)->ma_version_tag;
#pragma GCC diagnostic pop
}
#else
constexpr bool kCanMap = false;
inline uint64_t store_version(PyObject*) { return 0; }
#endif

// Both arrays live in one mapping from the operating system: it reads as
// zeros and is backed only where written (an allocator might hand out reused
// memory and clear all of it).
constexpr size_t kEntriesSize = 2 * kPageCount * sizeof(uintptr_t);

// Entry arrays of freed maps, emptied, for the next memories that need a map
// (up to kSpareMaps): mapping 16 MiB and faulting the pages of its first
// entries in again costs more than emptying the regions a memory used.
constexpr int kSpareMaps = 8;
constexpr size_t kSpareMapRegions = 16;
uintptr_t* spare_maps[kSpareMaps];
int spare_map_count = 0;

void map_empty(MapState* m);

void map_destroy(MapState* m) {
    if (m == nullptr) return;
    // A map that used many regions goes back to the system: emptying it
    // would cost more, and keeping it would keep all those pages.
    size_t regions = 0;
    for (const uint64_t r : m->regions) regions += static_cast<size_t>(__builtin_popcountll(r));
    if (spare_map_count < kSpareMaps && regions <= kSpareMapRegions) {
        map_empty(m);
        spare_maps[spare_map_count++] = m->read;
    } else {
        munmap(m->read, kEntriesSize);
    }
    PyMem_Free(m);
}

// Calls f(first, last) for each region with entries that meets pages
// [start, end), with the part of it that does.
template <class F>
void each_region(const MapState* m, uint32_t start, uint32_t end, F f) {
    for (uint32_t w = (start >> kRegionBits) / 64; w <= ((end - 1) >> kRegionBits) / 64; ++w) {
        for (uint64_t bits = m->regions[w]; bits != 0; bits &= bits - 1) {
            const uint32_t base = (w * 64 + static_cast<uint32_t>(__builtin_ctzll(bits))) << kRegionBits;
            const uint32_t lo = std::max(start, base), hi = std::min(end, base + (1u << kRegionBits));
            if (lo < hi) f(lo, hi);
        }
    }
}

void map_empty(MapState* m) {
    each_region(m, 0, kPageCount, [m](uint32_t lo, uint32_t hi) {
        std::memset(m->read + lo, 0, (hi - lo) * sizeof(uintptr_t));
        std::memset(m->write + lo, 0, (hi - lo) * sizeof(uintptr_t));
    });
    std::memset(m->regions, 0, sizeof m->regions);
}

// Whether every key and value of the store is an exact int: looking a page up
// then compares ints only, and replacing a value frees an int, so neither
// can run Python code.
bool only_ints(PyObject* store) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(store, &pos, &k, &v))
        if (!PyLong_CheckExact(k) || !PyLong_CheckExact(v)) return false;
    return true;
}

inline MapState* map_of(const CyMemory* self);

// The memory's map, up to date with `store` (its exact-dict page store), or
// NULL when the store is not mapped.  Creates the registry and the map on
// first use; an allocation failure only means no map (nothing is raised).
MapState* current_map(CyMemory* self, PyObject* store) {
    if (!kCanMap) return nullptr;
    Registry* r = registry_of(self);
    if (r == nullptr) {
        r = registry_new();
        if (r == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        self->_owned = r;
    }
    MapState* m = r->map;
    if (m == nullptr) {
        m = static_cast<MapState*>(PyMem_Calloc(1, sizeof(MapState)));
        if (m == nullptr) return nullptr;
        void* p = spare_map_count > 0 ? spare_maps[--spare_map_count]
                                      : mmap(nullptr, kEntriesSize, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            PyMem_Free(m);
            return nullptr;
        }
        m->read = static_cast<uintptr_t*>(p);
        m->write = m->read + kPageCount;
        m->map = PageMap{m->read, m->write, false};
        r->map = m;
    }
    const uint64_t version = store_version(store);
    if (m->valid && m->store == store && m->version == version) return m->usable ? m : nullptr;
    map_empty(m);
    m->store = store;
    m->version = version;
    m->valid = true;
    m->usable = only_ints(store);
    return m->usable ? m : nullptr;
}

// The entry that puts page `page` at `buf`.
inline uintptr_t delta(const uint8_t* buf, uint32_t page) {
    return reinterpret_cast<uintptr_t>(buf) - (static_cast<uintptr_t>(page) << kPageShift);
}

// The buffer a read entry of `page` names (kZeroPage: none yet).
inline const uint8_t* mapped_buffer(uintptr_t entry, uint32_t page) {
    return reinterpret_cast<const uint8_t*>(entry + (static_cast<uintptr_t>(page) << kPageShift));
}

// Sets the entries of `page`, whose buffer is `buf` (kZeroPage: none yet), by
// the permissions it has now.  A distance of 0 cannot be told from an unset
// entry: such a page stays unmapped.
void map_set(const CyMemory* self, MapState* m, uint32_t page, const uint8_t* buf) {
    const uint64_t w = (self->_w_bitset[page >> 6] >> (page & 63)) & 1;
    const uint64_t r = ((self->_r_bitset[page >> 6] >> (page & 63)) & 1) | w;
    const uintptr_t d = delta(buf, page);
    m->read[page] = r && d != 0 ? d : 0;
    m->write[page] = w && d != 0 && buf != kZeroPage ? d : 0;
}

// Enters `page` -> `buf` (NULL: no buffer).
void map_enter(CyMemory* self, MapState* m, uint32_t page, const uint8_t* buf) {
    m->regions[(page >> kRegionBits) / 64] |= uint64_t{1} << ((page >> kRegionBits) % 64);
    map_set(self, m, page, buf != nullptr ? buf : kZeroPage);
}

// The permissions of pages [start, start + n) changed: their entries follow.
void map_permissions_changed(CyMemory* self, uint32_t start, uint32_t n) {
    MapState* m = map_of(self);
    if (m == nullptr || n == 0 || start > kLastPage) return;
    const uint32_t end = n > kPageCount - start ? kPageCount : start + n;
    each_region(m, start, end, [self, m](uint32_t lo, uint32_t hi) {
        for (uint32_t page = lo; page < hi; ++page)
            if (m->read[page] != 0) map_set(self, m, page, mapped_buffer(m->read[page], page));
    });
}

// The map of a memory for an engine (published as `_page_map`).  A memory
// that never looked a page up gets the empty map (its first slow access makes
// the real one), a store that cannot be mapped the empty map that says so.
PageMap* page_map(CyMemory* self) {
    PyObject* store = self->_pages;
    if (!kCanMap || !PyDict_CheckExact(store)) return &unmapped;
    if (map_of(self) == nullptr) return PyDict_GET_SIZE(store) == 0 || only_ints(store) ? &empty_map : &unmapped;
    MapState* m = current_map(self, store);
    return m != nullptr ? &m->map : &unmapped;
}

inline MapState* map_of(const CyMemory* self) {
    const Registry* r = registry_of(self);
    return r != nullptr ? r->map : nullptr;
}

// ----- the page store --------------------------------------------------------

void foreign_page_error(uint32_t page_idx) {
    PyErr_Format(PyExc_ValueError, "_pages[%u] does not hold a page buffer of this memory",
                 static_cast<unsigned>(page_idx));
}

// Reads a page-store value as an address; false when it cannot be one.  Runs
// no Python code.
inline bool value_as_address(PyObject* v, uintptr_t* out) {
    if (!PyLong_Check(v)) return false;
    int overflow;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0 || x < 0) return false;  // x == -1 with an error cannot happen for an int
    *out = static_cast<uintptr_t>(x);
    return true;
}

// Creates the buffer of `page` and enters it into the store under `key`
// (a new int key); NULL with an exception.
uint8_t* create_page(CyMemory* self, PyObject* pages, PyObject* key) {
    uint8_t* buf = new_page_buffer(self);
    if (buf == nullptr) return nullptr;
    Owned value = Owned::steal(PyLong_FromVoidPtr(buf));
    if (!value || PyDict_SetItem(pages, key, value.get()) < 0) {
        drop_page_buffer(self, buf);
        return nullptr;
    }
    return buf;
}

// The page's 4096 bytes, or NULL: without an exception the page has no buffer
// (and `create` was 0); with one the lookup or the allocation failed.
//
// A page the map knows costs no dict lookup; a page known to have no buffer
// is created with one insertion.  Otherwise the store is looked up.  The
// outcome goes into the map only when nothing in the lookup or the insertion
// can have run Python code: the map was current (so every key is an exact
// int) and the page's value, if any, is an exact int too (replacing any
// other value could run its __del__).  Everything else takes the held path,
// which trusts nothing that Python code may have changed meanwhile.
uint8_t* mem_get_cpage(CyMemory* self, uint32_t page_idx, int create) {
    PyObject* pages = self->_pages;
    if (!PyDict_CheckExact(pages)) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'", Py_TYPE(pages)->tp_name,
                     "get");
        return nullptr;
    }
    MapState* m = page_idx <= kLastPage ? current_map(self, pages) : nullptr;
    const uintptr_t e = m != nullptr ? m->read[page_idx] : 0;
    if (e != 0) {
        const uint8_t* known = mapped_buffer(e, page_idx);
        if (known != kZeroPage) return const_cast<uint8_t*>(known);
        if (!create) return nullptr;
    }
    Owned key = Owned::steal(PyLong_FromUnsignedLong(page_idx));
    if (!key) return nullptr;
    // A key's __eq__ may run Python code that replaces the store while it is
    // searched, and so may the __del__ of a value an insertion replaces: the
    // dict is held.
    Owned hold = Owned::incref(pages);
    uintptr_t addr = 0;
    PyObject* v = nullptr;
    if (e == 0) {
        v = PyDict_GetItemWithError(pages, key.get());  // borrowed
        if (v == nullptr && PyErr_Occurred()) return nullptr;
        if (v != nullptr && !value_as_address(v, &addr)) {
            foreign_page_error(page_idx);
            return nullptr;
        }
    }
    const bool mapped = m != nullptr && (v == nullptr || PyLong_CheckExact(v));
    if (addr == 0 && create) {
        uint8_t* buf = create_page(self, pages, key.get());
        if (buf == nullptr) return nullptr;
        addr = reinterpret_cast<uintptr_t>(buf);
        if (mapped) m->version = store_version(pages);  // only this insertion changed the store
    }
    if (mapped) {
        if (addr != 0 && !registry_contains(registry_of(self), addr)) {
            foreign_page_error(page_idx);
            return nullptr;
        }
        map_enter(self, m, page_idx, reinterpret_cast<const uint8_t*>(addr));
        return reinterpret_cast<uint8_t*>(addr);
    }
    if (addr == 0) return nullptr;
    // Checked last: the Python code that may have run above can have
    // re-initialised this memory and released the buffer, or given it a new
    // store with buffers of its own (one of which may sit where the old one
    // was).
    if (self->_pages != pages || !registry_contains(registry_of(self), addr)) {
        foreign_page_error(page_idx);
        return nullptr;
    }
    return reinterpret_cast<uint8_t*>(addr);
}

void mem_zero_memory_range_c(CyMemory* self, uint32_t start_page, uint32_t num_pages) {
    uint32_t end = start_page + num_pages;
    if (num_pages == 0 || start_page >= end) return;
    // Only the pages of the address space exist.
    if (end > kPageCount) end = kPageCount;
    for (uint32_t pg = start_page; pg < end; ++pg) {
        uint8_t* p = mem_get_cpage(self, pg, 1);
        if (p == nullptr) {
            if (PyErr_Occurred()) write_unraisable(kQualZero);
            return;
        }
        std::memset(p, 0, kPageSize);
    }
}

// ----- permissions -----------------------------------------------------------

inline uint64_t word_mask(uint32_t lo_bit, uint32_t hi_bit) {
    return (~uint64_t{0} >> (63 - hi_bit)) & (~uint64_t{0} << lo_bit);
}

// 1 when every page of [start, start + n) has the access; pages past 0xFFFFF
// have none, so a range that reaches them fails.
int range_has_access(const CyMemory* self, uint32_t start, uint32_t n, int mode) {
    if (n == 0) return 1;
    if (start > kLastPage || n > kPageCount - start) return 0;
    const uint32_t last = start + n - 1;
    const uint32_t w_first = start >> 6, w_last = last >> 6;
    for (uint32_t w = w_first; w <= w_last; ++w) {
        uint64_t have = self->_w_bitset[w];
        if (mode != kAccWrite) have |= self->_r_bitset[w];
        const uint64_t need = word_mask(w == w_first ? (start & 63) : 0, w == w_last ? (last & 63) : 63);
        if ((have & need) != need) return 0;
    }
    return 1;
}

// Sets or clears the bits of pages [start, start + n) in one bitset, stopping
// at the last page of the address space.
void bitset_assign(uint64_t* bits, uint32_t start, uint32_t n, int value) {
    if (n == 0 || start > kLastPage) return;
    if (n > kPageCount - start) n = kPageCount - start;
    const uint32_t last = start + n - 1;
    const uint32_t w_first = start >> 6, w_last = last >> 6;
    for (uint32_t w = w_first; w <= w_last; ++w) {
        const uint64_t m = word_mask(w == w_first ? (start & 63) : 0, w == w_last ? (last & 63) : 63);
        bits[w] = value ? (bits[w] | m) : (bits[w] & ~m);
    }
}

int mem_has_access_c(CyMemory* self, uint32_t page_idx, int mode) {
    if (page_idx > kLastPage) return 0;
    uint64_t word = self->_w_bitset[page_idx >> 6];
    if (mode != kAccWrite) word |= self->_r_bitset[page_idx >> 6];
    return static_cast<int>((word >> (page_idx & 63)) & 1);
}

void mem_set_access_c(CyMemory* self, uint32_t page_idx, int mode, int value) {
    if (page_idx > kLastPage) return;
    uint64_t* bits = mode == kAccRead ? self->_r_bitset : mode == kAccWrite ? self->_w_bitset : nullptr;
    if (bits == nullptr) return;
    if (value) bitsets_touched(self, bits, page_idx >> 6, page_idx >> 6);
    const uint64_t mask = uint64_t{1} << (page_idx & 63);
    if (value)
        bits[page_idx >> 6] |= mask;
    else
        bits[page_idx >> 6] &= ~mask;
    map_permissions_changed(self, page_idx, 1);
}

void mem_set_access_range_c(CyMemory* self, uint32_t start_page, uint32_t num_pages, int mode, int value) {
    uint64_t* bits = mode == kAccRead ? self->_r_bitset : mode == kAccWrite ? self->_w_bitset : nullptr;
    if (bits == nullptr || num_pages == 0 || start_page > kLastPage) return;
    const uint32_t last = num_pages > kPageCount - start_page ? kLastPage : start_page + num_pages - 1;
    if (value) bitsets_touched(self, bits, start_page >> 6, last >> 6);  // clearing leaves no bit set
    bitset_assign(bits, start_page, num_pages, value);
    map_permissions_changed(self, start_page, num_pages);
}

void mem_clear_bitsets(CyMemory* self) {
    clear_bitsets(self);
    map_permissions_changed(self, 0, kPageCount);
}

// Raises PvmExit(2, address).
void raise_page_fault(uint32_t address) {
    Owned code = Owned::steal(PyLong_FromLong(kPageFault));
    Owned addr = Owned::steal(PyLong_FromUnsignedLong(address));
    if (!code || !addr) return;
    PyObject* args[2] = {code.get(), addr.get()};
    Owned exc = Owned::steal(PyObject_Vectorcall(PvmExitType, args, 2, nullptr));
    if (!exc) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

int mem_check_access_c(CyMemory* self, uint32_t start_page, uint32_t num_pages, int mode, uint32_t fault_addr) {
    if (range_has_access(self, start_page, num_pages, mode)) return 0;
    raise_page_fault(fault_addr);
    PVM_TRACEBACK(kQualCheck);
    return -1;
}

void mem_alter_accessibility_c(CyMemory* self, uint32_t start_addr, uint32_t length, uint8_t access) {
    if (length == 0) return;
    uint32_t start_page, num_pages;
    span_pages(start_addr, length, &start_page, &num_pages);
    if (access == kAccRead) {
        mem_set_access_range_c(self, start_page, num_pages, kAccRead, 1);
        mem_set_access_range_c(self, start_page, num_pages, kAccWrite, 0);
    } else if (access == kAccWrite) {
        mem_set_access_range_c(self, start_page, num_pages, kAccWrite, 1);
        mem_set_access_range_c(self, start_page, num_pages, kAccRead, 0);
    } else {
        mem_set_access_range_c(self, start_page, num_pages, kAccRead, 0);
        mem_set_access_range_c(self, start_page, num_pages, kAccWrite, 0);
    }
}

int mem_is_accessible_c(CyMemory* self, uint32_t address, uint32_t length, int access) {
    if (length == 0) return 1;
    uint32_t start_page, num_pages;
    span_pages(address, length, &start_page, &num_pages);
    return range_has_access(self, start_page, num_pages, access);
}

// Grants `mode` to every page index in `pages` (a set, or None for none).
int grant_from_set(CyMemory* self, PyObject* pages, int mode) {
    if (pages == Py_None) return 0;
    Owned it = Owned::steal(PyObject_GetIter(pages));
    if (!it) return -1;
    while (Owned item = Owned::steal(PyIter_Next(it.get()))) {
        int32_t pg;
        if (!to_i32(item.get(), &pg)) return -1;
        mem_set_access_c(self, static_cast<uint32_t>(pg), mode, 1);
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Python-visible wrappers, referenced by the override dispatch.
PyObject* py_sync(PyObject* self, PyObject*);
PyObject* py_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_get_byte(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_set_byte(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The Python override of an overridable operation, or NULL.  Only instances
// of Python subclasses look anything up.  NULL with an exception when the
// lookup failed.
inline PyObject* override_of(CyMemory* self, int skip_dispatch, PyObject* name, PyCFunction builtin) {
    if (skip_dispatch || !is_python_subclass(reinterpret_cast<PyObject*>(self))) return nullptr;
    return find_override(reinterpret_cast<PyObject*>(self), name, builtin);
}

// Whether the override lookup of an operation failed: only instances of
// Python subclasses look anything up.
inline bool override_failed(CyMemory* self, int skip_dispatch) {
    return !skip_dispatch && is_python_subclass(reinterpret_cast<PyObject*>(self)) && PyErr_Occurred();
}

int mem_sync_bitsets_from_sets(CyMemory* self, int skip_dispatch) {
    if (Owned ov = Owned::steal(override_of(self, skip_dispatch, str_sync, cfunc(py_sync)))) {
        Owned r = Owned::steal(PyObject_CallNoArgs(ov.get()));
        if (!r) {
            PVM_TRACEBACK(kQualSync);
            return -1;
        }
        return 0;
    }
    if (override_failed(self, skip_dispatch)) return -1;
    // Only the words the sets name are written below; the rest must be
    // clear first, which a memory fresh from mem_alloc already is.
    if (self != fresh_memory) mem_clear_bitsets(self);
    fresh_memory = nullptr;
    // The sets are held across the loops: converting an element may run
    // Python code that replaces them.
    Owned r = Owned::incref(self->_r_pages);
    Owned w = Owned::incref(self->_w_pages);
    if (grant_from_set(self, r.get(), kAccRead) < 0 || grant_from_set(self, w.get(), kAccWrite) < 0) {
        PVM_TRACEBACK(kQualSync);
        return -1;
    }
    return 0;
}

// ----- byte access -----------------------------------------------------------

void mem_set_byte_c(CyMemory* self, uint32_t addr, uint8_t value) {
    uint8_t* p = mem_get_cpage(self, addr >> kPageShift, 1);
    if (p == nullptr) {
        if (PyErr_Occurred()) write_unraisable(kQualSetByteC);
        return;
    }
    p[addr & kPageMask] = value;
}

uint8_t mem_get_byte_c(CyMemory* self, uint32_t addr) {
    uint8_t* p = mem_get_cpage(self, addr >> kPageShift, 0);
    if (p == nullptr) {
        if (PyErr_Occurred()) write_unraisable(kQualGetByteC);
        return 0;
    }
    return p[addr & kPageMask];
}

PyObject* mem_set_byte(CyMemory* self, uint32_t addr, uint8_t value, int skip_dispatch) {
    if (Owned ov = Owned::steal(override_of(self, skip_dispatch, str_set_byte, cfunc(py_set_byte)))) {
        PyObject* r = PyObject_CallFunction(ov.get(), "kI", static_cast<unsigned long>(addr),
                                            static_cast<unsigned>(value));
        if (r == nullptr) PVM_TRACEBACK(kQualSetByte);
        return r;
    }
    if (override_failed(self, skip_dispatch)) return nullptr;
    mem_set_byte_c(self, addr, value);
    Py_RETURN_NONE;
}

int mem_get_byte(CyMemory* self, uint32_t addr, int skip_dispatch) {
    if (Owned ov = Owned::steal(override_of(self, skip_dispatch, str_get_byte, cfunc(py_get_byte)))) {
        Owned r = Owned::steal(PyObject_CallFunction(ov.get(), "k", static_cast<unsigned long>(addr)));
        int32_t v;
        if (!r || !to_i32(r.get(), &v)) {
            PVM_TRACEBACK(kQualGetByte);
            return -1;
        }
        return v;
    }
    if (override_failed(self, skip_dispatch)) return -1;
    return mem_get_byte_c(self, addr);
}

// ----- reads and writes ------------------------------------------------------

PyObject* mem_read(CyMemory* self, uint32_t address, int32_t length, int skip_dispatch) {
    if (Owned ov = Owned::steal(override_of(self, skip_dispatch, str_read, cfunc(py_read)))) {
        Owned r = Owned::steal(
            PyObject_CallFunction(ov.get(), "ki", static_cast<unsigned long>(address), static_cast<int>(length)));
        if (r && r.get() != Py_None && !PyBytes_CheckExact(r.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(r.get())->tp_name);
            r.reset();
        }
        if (!r) PVM_TRACEBACK(kQualRead);
        return r.release();
    }
    if (override_failed(self, skip_dispatch)) return nullptr;
    if (length < 1) return PyBytes_FromStringAndSize(nullptr, 0);
    address = _norm(address);
    uint32_t start_page, num_pages;
    span_pages(address, static_cast<uint32_t>(length), &start_page, &num_pages);
    if (mem_check_access_c(self, start_page, num_pages, kAccRead, address) < 0) {
        PVM_TRACEBACK(kQualRead);
        return nullptr;
    }
    Owned result = Owned::steal(PyBytes_FromStringAndSize(nullptr, length));
    if (!result) {
        PVM_TRACEBACK(kQualRead);
        return nullptr;
    }
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.get()));
    uint32_t cur = address, remaining = static_cast<uint32_t>(length);
    while (remaining > 0) {
        const uint32_t off = cur & kPageMask;
        uint32_t chunk = kPageSize - off;
        if (chunk > remaining) chunk = remaining;
        const uint8_t* src = mem_get_cpage(self, cur >> kPageShift, 0);
        if (src != nullptr) {
            std::memcpy(out, src + off, chunk);
        } else {
            if (PyErr_Occurred()) {
                PVM_TRACEBACK(kQualRead);
                return nullptr;
            }
            std::memset(out, 0, chunk);
        }
        out += chunk;
        remaining -= chunk;
        cur += chunk;
    }
    return result.release();
}

// Views `data` as one-dimensional unsigned bytes.
bool byte_view(PyObject* data, Py_buffer* view) {
    if (PyObject_GetBuffer(data, view, PyBUF_RECORDS_RO) < 0) return false;
    const char* fmt = view->format;
    if (fmt != nullptr && (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '>' || *fmt == '!')) ++fmt;
    if (view->ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 1, got %d)", view->ndim);
    } else if (view->itemsize != 1 || (fmt != nullptr && std::strcmp(fmt, "B") != 0)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'const unsigned char' but got '%s'",
                     view->format ? view->format : "?");
    } else {
        return true;
    }
    PyBuffer_Release(view);
    return false;
}

// Copies `length` bytes to `address`, page by page, creating pages.  The
// source is strided when the view is not contiguous.
int copy_in(CyMemory* self, uint32_t address, const uint8_t* src, Py_ssize_t stride, uint32_t length) {
    uint32_t cur = address, remaining = length;
    while (remaining > 0) {
        const uint32_t off = cur & kPageMask;
        uint32_t chunk = kPageSize - off;
        if (chunk > remaining) chunk = remaining;
        uint8_t* dst = mem_get_cpage(self, cur >> kPageShift, 1);
        if (dst == nullptr) return -1;
        if (stride == 1) {
            std::memcpy(dst + off, src, chunk);
            src += chunk;
        } else {
            for (uint32_t k = 0; k < chunk; ++k, src += stride) dst[off + k] = *src;
        }
        remaining -= chunk;
        cur += chunk;
    }
    return 0;
}

int mem_write(CyMemory* self, uint32_t address, PyObject* data, int skip_dispatch) {
    if (Owned ov = Owned::steal(override_of(self, skip_dispatch, str_write, cfunc(py_write)))) {
        Owned r = Owned::steal(PyObject_CallFunction(ov.get(), "kO", static_cast<unsigned long>(address), data));
        if (!r) {
            PVM_TRACEBACK(kQualWrite);
            return -1;
        }
        return 0;
    }
    if (override_failed(self, skip_dispatch)) return -1;
    // Bytes, what host code usually writes, need no buffer view.
    if (PyBytes_CheckExact(data) && PyBytes_GET_SIZE(data) <= INT32_MAX) {
        const auto length = static_cast<uint32_t>(PyBytes_GET_SIZE(data));
        if (length == 0) return 0;
        address = _norm(address);
        uint32_t start_page, num_pages;
        span_pages(address, length, &start_page, &num_pages);
        if (mem_check_access_c(self, start_page, num_pages, kAccWrite, address) < 0 ||
            copy_in(self, address, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)), 1, length) < 0) {
            PVM_TRACEBACK(kQualWrite);
            return -1;
        }
        return 0;
    }
    int truth = PyObject_IsTrue(data);
    if (truth <= 0) {
        if (truth < 0) PVM_TRACEBACK(kQualWrite);
        return truth;
    }
    address = _norm(address);
    Py_buffer view;
    if (!byte_view(data, &view)) {
        PVM_TRACEBACK(kQualWrite);
        return -1;
    }
    if (view.len > INT32_MAX) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        PVM_TRACEBACK(kQualWrite);
        return -1;
    }
    const auto length = static_cast<uint32_t>(view.len);
    uint32_t start_page, num_pages;
    span_pages(address, length, &start_page, &num_pages);
    if (mem_check_access_c(self, start_page, num_pages, kAccWrite, address) < 0) {
        PyBuffer_Release(&view);
        PVM_TRACEBACK(kQualWrite);
        return -1;
    }
    int rc = copy_in(self, address, static_cast<const uint8_t*>(view.buf), view.strides ? view.strides[0] : 1, length);
    PyBuffer_Release(&view);
    if (rc < 0) PVM_TRACEBACK(kQualWrite);
    return rc;
}

// ----- direct loads and stores of the engines --------------------------------
//
// A native engine loads and stores through these two functions instead of
// `read` and `write` when the memory is exactly a CyMemory (no override can
// be due) and its page map cannot serve the access: the first access to a
// page, an access across two pages, a refused access.  They apply the same
// rules: every page of the access is checked before a byte moves, a read of
// a page without a buffer gives zeros, a write creates the buffers of the
// pages it touches.  They build no Python object: a refused access reports
// the start address of the first page that lacks the permission instead of
// raising.

// 0 when every page of [address, address + length) has the access; else 1
// with the start address of the first page that lacks it in *fault.  An
// access that runs past 0xFFFFFFFF is refused: the first page it lacks is
// the one past the top, whose address modulo 2^32 is 0.
inline int direct_check(const CyMemory* self, uint32_t address, uint32_t length, int mode, uint32_t* fault) {
    const uint64_t last = (uint64_t{address} + length - 1) >> kPageShift;
    for (uint64_t pg = address >> kPageShift; pg <= last; ++pg) {
        if (pg > kLastPage) {
            *fault = 0;
            return 1;
        }
        if (!mem_has_access_c(const_cast<CyMemory*>(self), static_cast<uint32_t>(pg), mode)) {
            *fault = static_cast<uint32_t>(pg << kPageShift);
            return 1;
        }
    }
    return 0;
}

// Calls `piece(page, offset, done, chunk)` for each page-sized piece of the
// access [address, address + length), in address order; stops and returns
// false as soon as `piece` does.
template <class Piece>
inline bool each_piece(uint32_t address, uint32_t length, Piece piece) {
    for (uint32_t done = 0; done < length;) {
        const uint32_t cur = address + done;
        const uint32_t off = cur & kPageMask;
        const uint32_t chunk = std::min(kPageSize - off, length - done);
        if (!piece(cur >> kPageShift, off, done, chunk)) return false;
        done += chunk;
    }
    return true;
}

// Loads `length` (1, 2, 4 or 8) bytes at `address`, little-endian, into
// *value.  0 on success; 1 when refused (the fault address in *fault, *value
// untouched); -1 with an exception when a page buffer cannot be looked up.
int direct_load(CyMemory* self, uint32_t address, uint32_t length, uint64_t* value, uint32_t* fault) {
    if (direct_check(self, address, length, kAccRead, fault)) return 1;
    uint8_t bytes[8] = {};
    const bool ok = each_piece(address, length, [&](uint32_t page, uint32_t off, uint32_t done, uint32_t chunk) {
        const uint8_t* src = mem_get_cpage(self, page, 0);
        if (src != nullptr) std::memcpy(bytes + done, src + off, chunk);
        return src != nullptr || !PyErr_Occurred();
    });
    if (!ok) return -1;
    *value = num::load_le(bytes, length);
    return 0;
}

// Stores the low `length` (1, 2, 4 or 8) bytes of `value` at `address`,
// little-endian, creating page buffers as `write` does.  Returns as
// `direct_load`; a refused store changes nothing.
int direct_store(CyMemory* self, uint32_t address, uint32_t length, uint64_t value, uint32_t* fault) {
    if (direct_check(self, address, length, kAccWrite, fault)) return 1;
    uint8_t bytes[8];
    num::store_le(bytes, value, 8);
    const bool ok = each_piece(address, length, [&](uint32_t page, uint32_t off, uint32_t done, uint32_t chunk) {
        uint8_t* dst = mem_get_cpage(self, page, 1);
        if (dst != nullptr) std::memcpy(dst + off, bytes + done, chunk);
        return dst != nullptr;
    });
    return ok ? 0 : -1;
}

CyMemory_vtable memory_vtable = {
    mem_get_cpage,
    mem_clear_bitsets,
    mem_sync_bitsets_from_sets,
    mem_set_byte_c,
    mem_get_byte_c,
    mem_has_access_c,
    mem_set_access_c,
    mem_set_access_range_c,
    mem_check_access_c,
    mem_alter_accessibility_c,
    mem_zero_memory_range_c,
    mem_is_accessible_c,
    mem_set_byte,
    mem_get_byte,
    mem_read,
    mem_write,
};

inline CyMemory* as_memory(PyObject* o) { return reinterpret_cast<CyMemory*>(o); }

// False with RuntimeError while a run uses the memory without the
// interpreter lock (on another thread): every Python-level use of a memory
// asks this first, so that nothing races the run.
inline bool usable(PyObject* o) {
    if (as_memory(o)->_busy == 0) [[likely]]
        return true;
    PyErr_SetString(PyExc_RuntimeError, kMemoryBusyMessage);
    return false;
}

// ----- argument parsing ------------------------------------------------------

// Sorts the positional and keyword arguments of a METH_FASTCALL |
// METH_KEYWORDS method into `out` by parameter name; parameters not given
// stay NULL.  The messages are the interpreter's own.
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, int nparams, int nrequired, PyObject** out) {
    for (int i = 0; i < nparams; ++i) out[i] = nullptr;
    if (nargs > nparams) {
        if (nparams == nrequired)
            PyErr_Format(PyExc_TypeError, "%s() takes exactly %d positional argument%s (%zd given)", fname, nparams,
                         nparams == 1 ? "" : "s", nargs);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional argument%s (%zd given)", fname, nparams,
                         nparams == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
        int found = -1;
        for (int i = 0; i < nparams; ++i) {
            if (PyUnicode_CompareWithASCIIString(kw, names[i]) == 0) {
                found = i;
                break;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, kw);
            return false;
        }
        if (out[found] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", fname,
                         names[found], found + 1);
            return false;
        }
        out[found] = args[nargs + k];
    }
    for (int i = 0; i < nrequired; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", fname, names[i], i + 1);
            return false;
        }
    }
    return true;
}

// ----- Python-visible methods ------------------------------------------------

PyObject* py_sync(PyObject* self, PyObject*) {
    if (!usable(self)) return nullptr;
    if (mem_sync_bitsets_from_sets(as_memory(self), 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(self)) return nullptr;
    static const char* const names[] = {"address", "length"};
    PyObject* a[2];
    if (!parse_args("read", args, nargs, kwnames, names, 2, 2, a)) return nullptr;
    uint32_t address;
    int32_t length;
    if (!to_u32(a[0], &address) || !to_i32(a[1], &length)) return nullptr;
    return mem_read(as_memory(self), address, length, 1);
}

PyObject* py_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(self)) return nullptr;
    static const char* const names[] = {"address", "data"};
    PyObject* a[2];
    if (!parse_args("write", args, nargs, kwnames, names, 2, 2, a)) return nullptr;
    uint32_t address;
    if (!to_u32(a[0], &address)) return nullptr;
    if (mem_write(as_memory(self), address, a[1], 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_get_byte(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(self)) return nullptr;
    static const char* const names[] = {"addr"};
    PyObject* a[1];
    if (!parse_args("_get_byte", args, nargs, kwnames, names, 1, 1, a)) return nullptr;
    uint32_t addr;
    if (!to_u32(a[0], &addr)) return nullptr;
    int v = mem_get_byte(as_memory(self), addr, 1);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(v);
}

PyObject* py_set_byte(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(self)) return nullptr;
    static const char* const names[] = {"addr", "value"};
    PyObject* a[2];
    if (!parse_args("_set_byte", args, nargs, kwnames, names, 2, 2, a)) return nullptr;
    uint32_t addr;
    uint8_t value;
    if (!to_u32(a[0], &addr) || !to_u8(a[1], &value)) return nullptr;
    return mem_set_byte(as_memory(self), addr, value, 1);
}

// The `.value` of an access kind, as a Python object.
PyObject* access_value(PyObject* access) { return PyObject_GetAttr(access, str_value); }

PyObject* py_is_accessible(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(self)) return nullptr;
    static const char* const names[] = {"address", "length", "access"};
    PyObject* a[3];
    if (!parse_args("is_accessible", args, nargs, kwnames, names, 3, 2, a)) return nullptr;
    uint32_t address, length;
    if (!to_u32(a[0], &address) || !to_u32(a[1], &length)) return nullptr;
    Owned value = Owned::steal(access_value(a[2] ? a[2] : DefaultAccess));
    int32_t mode;
    if (!value || !to_i32(value.get(), &mode)) return nullptr;
    return PyBool_FromLong(mem_is_accessible_c(as_memory(self), address, length, mode));
}

PyObject* py_alter_accessibility(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(self)) return nullptr;
    static const char* const names[] = {"start", "len_", "access"};
    PyObject* a[3];
    if (!parse_args("alter_accessibility", args, nargs, kwnames, names, 3, 3, a)) return nullptr;
    uint32_t start, len;
    if (!to_u32(a[0], &start) || !to_u32(a[1], &len)) return nullptr;
    Owned value = Owned::steal(access_value(a[2]));
    uint8_t access;
    if (!value || !to_u8(value.get(), &access)) return nullptr;
    mem_alter_accessibility_c(as_memory(self), start, len, access);
    Py_RETURN_NONE;
}

PyObject* py_zero_memory_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!usable(self)) return nullptr;
    static const char* const names[] = {"start_page", "num_pages"};
    PyObject* a[2];
    if (!parse_args("zero_memory_range", args, nargs, kwnames, names, 2, 2, a)) return nullptr;
    int32_t start, count;
    if (!to_i32(a[0], &start) || !to_i32(a[1], &count)) return nullptr;
    mem_zero_memory_range_c(as_memory(self), static_cast<uint32_t>(start), static_cast<uint32_t>(count));
    Py_RETURN_NONE;
}

// ----- construction ----------------------------------------------------------

// A CyMemory carries its two permission bitsets inline: 256 KiB, of which a
// run touches a few words.  Through the ordinary allocator every new memory
// would be cleared byte by byte, and cleared again when its bitsets are
// rebuilt from the permission sets.  An exact CyMemory is therefore mapped
// straight from the operating system, which hands out pages that read as
// zero and are only backed once written; the rebuild then skips its clear
// (fresh_memory).  Python subclasses keep the ordinary allocator.
//
// The object is preceded by the cycle collector's header, which for a
// collected type without a managed dict or weak-reference slot is two words
// (its zero state means "not tracked").  The module checks that size at
// import against what sys.getsizeof counts for the header; if it differs,
// every memory uses the ordinary allocator (mapped_alloc stays false).
//
// Freed mappings are kept, cleaned, for the next memories (up to
// kSpareMemories of them): mapping and unmapping 260 KiB and faulting its
// first pages in again costs the kernel several microseconds, clearing the
// chunks a memory's permissions touched a few hundred nanoseconds.
constexpr int kSpareMemories = 8;
char* spare_memories[kSpareMemories];
int spare_memory_count = 0;

PyObject* mem_alloc(PyTypeObject* type, Py_ssize_t nitems) {
    if (!mapped_alloc || type != &CyMemoryType || nitems != 0 || (type->tp_flags & Py_TPFLAGS_PREHEADER) != 0)
        return PyType_GenericAlloc(type, nitems);
    void* mem = spare_memory_count > 0
                    ? spare_memories[--spare_memory_count]
                    : mmap(nullptr, kMappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return PyErr_NoMemory();
    PyObject* op = reinterpret_cast<PyObject*>(static_cast<char*>(mem) + kGcHeader);
    PyObject_Init(op, type);
    PyObject_GC_Track(op);
    fresh_memory = as_memory(op);
    return op;
}

// mapped_alloc is decided once, at import, before any other memory exists,
// so every exact CyMemory is freed the way it was allocated.
void mem_free(void* op) {
    if (!mapped_alloc || Py_TYPE(static_cast<PyObject*>(op)) != &CyMemoryType) {
        PyObject_GC_Del(op);
        return;
    }
    if (op == fresh_memory) fresh_memory = nullptr;
    char* base = static_cast<char*>(op) - kGcHeader;
    if (spare_memory_count == kSpareMemories) {
        munmap(base, kMappedSize);
        return;
    }
    // Back to the state mmap hands out: all zeros (the collector's header
    // says "not tracked", every field and bit clear, no dirty chunk).
    auto* self = static_cast<CyMemory*>(op);
    clear_bitsets(self);
    std::memset(base, 0, kGcHeader + offsetof(CyMemory, _r_bitset));
    auto* tail = reinterpret_cast<char*>(self->_w_bitset + kBitsetWords);
    std::memset(tail, 0, static_cast<size_t>(reinterpret_cast<char*>(self) + sizeof(CyMemory) - tail));
    spare_memories[spare_memory_count++] = base;
}

// Enables mem_alloc's mapping when the collector's header has the size it
// assumes: sys.getsizeof counts the header on top of __sizeof__.  The probe
// memory is gone before the mapping is enabled.
int check_mapped_alloc() {
    Py_ssize_t header = -1;
    {
        Owned probe = Owned::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&CyMemoryType)));
        Owned sys = Owned::steal(probe ? PyImport_ImportModule("sys") : nullptr);
        Owned total = Owned::steal(sys ? PyObject_CallMethod(sys.get(), "getsizeof", "O", probe.get()) : nullptr);
        Owned own = Owned::steal(total ? PyObject_CallMethod(probe.get(), "__sizeof__", nullptr) : nullptr);
        if (!own) return -1;
        header = PyLong_AsSsize_t(total.get()) - PyLong_AsSsize_t(own.get());
        if (PyErr_Occurred()) return -1;
    }
    mapped_alloc = header == static_cast<Py_ssize_t>(kGcHeader);
    return 0;
}

PyObject* mem_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<CyMemory*>(type->tp_alloc(type, 0));  // zeroed: bitsets clear
    if (self == nullptr) return nullptr;
    self->vtab = &memory_vtable;
    self->_pages = Py_NewRef(Py_None);
    self->_r_pages = Py_NewRef(Py_None);
    self->_w_pages = Py_NewRef(Py_None);
    self->heap_break = 0;
    self->_owned = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

// Stores the bytes of a {address: byte} map without checking permissions.
int store_byte_map(CyMemory* self, PyObject* data) {
    const Py_ssize_t size = PyDict_GET_SIZE(data);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(data, &pos, &k, &v)) {
        Owned key = Owned::incref(k), value = Owned::incref(v);
        uint32_t addr;
        uint8_t byte;
        if (!to_u32(key.get(), &addr) || !to_u8(value.get(), &byte)) return -1;
        mem_set_byte_c(self, addr, byte);
        if (PyDict_GET_SIZE(data) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
    }
    return 0;
}

int mem_init(PyObject* op, PyObject* args, PyObject* kwds) {
    if (!usable(op)) return -1;
    static const char* kwlist[] = {"data", "allowed_read_pages", "allowed_write_pages", "heap", nullptr};
    PyObject *data = Py_None, *reads = Py_None, *writes = Py_None, *oheap = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOO:CyMemory", const_cast<char**>(kwlist), &data, &reads,
                                     &writes, &oheap))
        return -1;
    int32_t heap = 0;
    if (oheap != nullptr && !to_i32(oheap, &heap)) return -1;
    if (!check_arg_type(data, &PyDict_Type, "data", true, true) ||
        !check_arg_type(reads, &PyList_Type, "allowed_read_pages", true, true) ||
        !check_arg_type(writes, &PyList_Type, "allowed_write_pages", true, true))
        return -1;
    CyMemory* self = as_memory(op);
    // A fresh page store; the buffers of a previous one are released.
    Owned pages = Owned::steal(PyDict_New());
    if (!pages) return -1;
    replace_field(self->_pages, pages.get());
    release_buffers(self);
    Owned r = Owned::steal(PySet_New(reads == Py_None ? nullptr : reads));
    if (!r) return -1;
    replace_field(self->_r_pages, r.get());
    Owned w = Owned::steal(PySet_New(writes == Py_None ? nullptr : writes));
    if (!w) return -1;
    replace_field(self->_w_pages, w.get());
    self->heap_break = heap;
    // The built-in rebuild clears the bitsets itself; only an override may
    // rely on finding them clear, so a plain memory skips this 256 KiB pass.
    if (is_python_subclass(reinterpret_cast<PyObject*>(self))) mem_clear_bitsets(self);
    if (self->vtab->_sync_bitsets_from_sets(self, 0) < 0) return -1;
    if (data != Py_None && PyDict_GET_SIZE(data) > 0) {
        Owned hold = Owned::incref(data);
        if (store_byte_map(self, data) < 0) return -1;
    }
    return 0;
}

// ----- the standard program layout -------------------------------------------

constexpr uint32_t kReadStart = 0x10000;
constexpr uint32_t kWriteBase = 0x20000;
constexpr uint32_t kStackEnd = 0xFEFE0000u;
constexpr uint32_t kArgStart = 0xFEFF0000u;

// Stores `image` at `start` the way `mem._set_byte(start + i, b)` would, for
// every byte.  A plain CyMemory takes the page copies directly (its
// `_set_byte` cannot be overridden); anything else gets the Python calls.
int place_image(PyObject* mem, uint64_t start, PyObject* image) {
    if (image == Py_None) {
        Owned it = Owned::steal(PyObject_GetIter(image));  // the interpreter's TypeError
        return -1;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(image));
    const Py_ssize_t n = PyBytes_GET_SIZE(image);
    if (Py_IS_TYPE(mem, &CyMemoryType)) {
        CyMemory* self = as_memory(mem);
        const uint64_t room = start > 0xFFFFFFFFull ? 0 : 0x100000000ull - start;
        const uint64_t fit = static_cast<uint64_t>(n) < room ? static_cast<uint64_t>(n) : room;
        uint64_t done = 0;
        while (done < fit) {
            const auto cur = static_cast<uint32_t>(start + done);
            const uint32_t off = cur & kPageMask;
            uint64_t chunk = kPageSize - off;
            if (chunk > fit - done) chunk = fit - done;
            uint8_t* dst = mem_get_cpage(self, cur >> kPageShift, 1);
            if (dst != nullptr)
                std::memcpy(dst + off, bytes + done, chunk);
            else if (PyErr_Occurred())
                write_unraisable(kQualSetByteC);
            done += chunk;
        }
        if (fit < static_cast<uint64_t>(n)) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
            return -1;
        }
        return 0;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Owned addr = Owned::steal(PyLong_FromUnsignedLongLong(start + static_cast<uint64_t>(i)));
        Owned b = Owned::steal(PyLong_FromLong(bytes[i]));
        if (!addr || !b) return -1;
        Owned r = Owned::steal(PyObject_CallMethodObjArgs(mem, str_set_byte, addr.get(), b.get(), nullptr));
        if (!r) return -1;
    }
    return 0;
}

// Checks a uint32 helper result: the helpers report errors with a pending
// exception.
inline bool helper_ok() { return !PyErr_Occurred(); }

// A layout value that is passed on as uint32.
bool layout_u32(int64_t v, uint32_t* out) {
    if (v < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint32_t");
        return false;
    }
    if (v > 0xFFFFFFFFll) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// mem.<attr>.update(pages)
int update_pages(PyObject* mem, const char* attr, PyObject* pages) {
    Owned set = Owned::steal(PyObject_GetAttrString(mem, attr));
    if (!set) return -1;
    Owned r = Owned::steal(PyObject_CallMethod(set.get(), "update", "O", pages));
    return r ? 0 : -1;
}

// get_pages(start, total_page_size(size)) as a new list.
PyObject* pages_of(uint32_t start, uint32_t size) {
    uint32_t total = total_page_size(size);
    if (!helper_ok()) return nullptr;
    return get_pages(start, total);
}

// Refuses a read-write region (the data plus `z` extra pages) that would
// leave the address space or put the heap break past the largest value
// heap_break holds: unchecked, z * 4096 wraps in 32 bits and the layout
// silently gets the wrong pages.
bool check_layout_sizes(PyObject* read, PyObject* write, PyObject* argv, int32_t z, int32_t s) {
    if (z < 0) {
        PyErr_Format(PyExc_ValueError, "from_pc: z (extra heap pages) must not be negative, got %d", static_cast<int>(z));
        return false;
    }
    // A negative stack size is refused the way the stack's own layout refuses
    // one below 2^31 in magnitude; read as unsigned it would be a stack of
    // gigabytes.
    if (s < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint32_t");
        return false;
    }
    // The arguments fill at most the area from kArgStart up to the reserved top 64 KiB.
    constexpr uint64_t kArgMax = 0xFFFF0000u - kArgStart;
    if (argv != Py_None && static_cast<uint64_t>(PyBytes_GET_SIZE(argv)) > kArgMax) {
        PyErr_Format(PyExc_ValueError, "from_pc: %zd bytes of args do not fit the argument area (at most %llu)",
                     PyBytes_GET_SIZE(argv), static_cast<unsigned long long>(kArgMax));
        return false;
    }
    if (read == Py_None || write == Py_None) return true;  // fails later, when iterated
    const auto read_len = static_cast<uint64_t>(PyBytes_GET_SIZE(read));
    const auto write_len = static_cast<uint64_t>(PyBytes_GET_SIZE(write));
    constexpr uint64_t kZone = 65536;
    const uint64_t write_start = kWriteBase + (read_len + kZone - 1) / kZone * kZone;
    const uint64_t size = (write_len + kPageSize - 1) / kPageSize * kPageSize + uint64_t(z) * kPageSize;
    const uint64_t heap_max = 0x7FFFFFFF;  // heap_break is a signed 32-bit field
    if (size != 0 && write_start + size > heap_max) {
        PyErr_Format(PyExc_ValueError,
                     "from_pc: %llu bytes of read-write data and %d extra pages from 0x%llx would put the heap "
                     "break at 0x%llx, past 0x%llx",
                     static_cast<unsigned long long>(write_len), static_cast<int>(z),
                     static_cast<unsigned long long>(write_start), static_cast<unsigned long long>(write_start + size),
                     static_cast<unsigned long long>(heap_max));
        return false;
    }
    // The stack grows down from kStackEnd and must not reach into the heap.
    const uint64_t stack_start = kStackEnd - (uint64_t(s) + kPageSize - 1) / kPageSize * kPageSize;
    if (write_start + size > stack_start) {
        PyErr_Format(PyExc_ValueError,
                     "from_pc: a stack of %d bytes from 0x%llx would overlap the heap, which ends at 0x%llx",
                     static_cast<int>(s), static_cast<unsigned long long>(stack_start),
                     static_cast<unsigned long long>(write_start + size));
        return false;
    }
    return true;
}

PyObject* py_from_pc(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"read", "write", "args", "z", "s", "heap"};
    PyObject* a[6];
    if (!parse_args("from_pc", args, nargs, kwnames, names, 6, 5, a)) return nullptr;
    int32_t z, s;
    uint32_t heap = 0;
    if (!to_i32(a[3], &z) || !to_i32(a[4], &s) || (a[5] && !to_u32(a[5], &heap))) return nullptr;
    PyObject *read = a[0], *write = a[1], *argv = a[2];
    if (!check_arg_type(read, &PyBytes_Type, "read", true, true) ||
        !check_arg_type(write, &PyBytes_Type, "write", true, true) ||
        !check_arg_type(argv, &PyBytes_Type, "args", true, true))
        return nullptr;
    if (!check_layout_sizes(read, write, argv, z, s)) return nullptr;

    Owned kwargs = Owned::steal(Py_BuildValue("{s:{},s:[],s:[],s:k}", "data", "allowed_read_pages",
                                              "allowed_write_pages", "heap", static_cast<unsigned long>(heap)));
    if (!kwargs) return nullptr;
    Owned empty = Owned::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    Owned mem = Owned::steal(PyObject_Call(cls, empty.get(), kwargs.get()));
    if (!mem) return nullptr;

    // Read-only data.
    if (place_image(mem.get(), kReadStart, read) < 0) return nullptr;
    const auto read_len = static_cast<uint32_t>(PyBytes_GET_SIZE(read));
    Owned pages = Owned::steal(pages_of(kReadStart, read_len));
    if (!pages || update_pages(mem.get(), "_r_pages", pages.get()) < 0) return nullptr;

    // Read-write data, followed by `z` extra pages.
    uint32_t zone = total_zone_size(read_len);
    if (!helper_ok()) return nullptr;
    uint32_t write_start;
    if (!layout_u32(int64_t{kWriteBase} + zone, &write_start)) return nullptr;
    if (place_image(mem.get(), write_start, write) < 0) return nullptr;
    uint32_t write_size = total_page_size(static_cast<uint32_t>(PyBytes_GET_SIZE(write)));
    if (!helper_ok()) return nullptr;
    write_size += static_cast<uint32_t>(z) * kPageSize;
    Owned w_pages = Owned::steal(get_pages(write_start, write_size));
    if (!w_pages || update_pages(mem.get(), "_w_pages", w_pages.get()) < 0) return nullptr;
    const Py_ssize_t nw = PyObject_Size(w_pages.get());
    if (nw < 0) return nullptr;
    if (nw > 0) {
        Owned last = Owned::steal(PySequence_GetItem(w_pages.get(), nw - 1));
        if (!last) return nullptr;
        Owned one = Owned::steal(PyLong_FromLong(1));
        Owned page_size = Owned::steal(PyLong_FromLong(kPageSize));
        if (!one || !page_size) return nullptr;
        Owned next = Owned::steal(PyNumber_Add(last.get(), one.get()));
        if (!next) return nullptr;
        Owned brk = Owned::steal(PyNumber_Multiply(next.get(), page_size.get()));
        if (!brk || PyObject_SetAttrString(mem.get(), "heap_break", brk.get()) < 0) return nullptr;
    }

    // The stack, ending below the argument area.
    uint32_t stack_size = total_page_size(static_cast<uint32_t>(s));
    if (!helper_ok()) return nullptr;
    uint32_t stack_start;
    if (!layout_u32(int64_t{kStackEnd} - stack_size, &stack_start)) return nullptr;
    pages = Owned::steal(get_pages(stack_start, stack_size));
    if (!pages || update_pages(mem.get(), "_w_pages", pages.get()) < 0) return nullptr;

    // Arguments.
    if (place_image(mem.get(), kArgStart, argv) < 0) return nullptr;
    pages = Owned::steal(pages_of(kArgStart, static_cast<uint32_t>(PyBytes_GET_SIZE(argv))));
    if (!pages || update_pages(mem.get(), "_r_pages", pages.get()) < 0) return nullptr;

    Owned r = Owned::steal(PyObject_CallMethodNoArgs(mem.get(), str_sync));
    if (!r) return nullptr;
    return mem.release();
}

// ----- lifetime and the collector --------------------------------------------

void mem_dealloc(PyObject* op) {
    CyMemory* self = as_memory(op);
    PyObject_GC_UnTrack(op);
    {
        SavedError saved;
        release_buffers(self);
        Py_CLEAR(self->_pages);
        Py_CLEAR(self->_r_pages);
        Py_CLEAR(self->_w_pages);
    }
    Py_TYPE(op)->tp_free(op);
}

int mem_traverse(PyObject* op, visitproc visit, void* arg) {
    CyMemory* self = as_memory(op);
    Py_VISIT(self->_pages);
    Py_VISIT(self->_r_pages);
    Py_VISIT(self->_w_pages);
    return 0;
}

int mem_clear(PyObject* op) {
    CyMemory* self = as_memory(op);
    replace_field(self->_pages, Py_None);
    replace_field(self->_r_pages, Py_None);
    replace_field(self->_w_pages, Py_None);
    return 0;
}

// ----- attributes ------------------------------------------------------------

PyObject* get_pages_attr(PyObject* op, void*) { return usable(op) ? Py_NewRef(as_memory(op)->_pages) : nullptr; }
PyObject* get_r_pages(PyObject* op, void*) { return usable(op) ? Py_NewRef(as_memory(op)->_r_pages) : nullptr; }
PyObject* get_w_pages(PyObject* op, void*) { return usable(op) ? Py_NewRef(as_memory(op)->_w_pages) : nullptr; }
PyObject* get_heap_break(PyObject* op, void*) {
    return usable(op) ? PyLong_FromLong(as_memory(op)->heap_break) : nullptr;
}

int set_container(PyObject*& field, PyObject* v, PyTypeObject* type) {
    if (v == nullptr) v = Py_None;
    if (!check_setter_type(v, type)) return -1;
    replace_field(field, v);
    return 0;
}

int set_pages_attr(PyObject* op, PyObject* v, void*) {
    return usable(op) ? set_container(as_memory(op)->_pages, v, &PyDict_Type) : -1;
}
int set_r_pages(PyObject* op, PyObject* v, void*) {
    return usable(op) ? set_container(as_memory(op)->_r_pages, v, &PySet_Type) : -1;
}
int set_w_pages(PyObject* op, PyObject* v, void*) {
    return usable(op) ? set_container(as_memory(op)->_w_pages, v, &PySet_Type) : -1;
}
int set_heap_break(PyObject* op, PyObject* v, void*) {
    if (!usable(op)) return -1;
    if (v == nullptr) return refuse_delete();
    return to_i32(v, &as_memory(op)->heap_break) ? 0 : -1;
}

// ----- representation and equality -------------------------------------------

PyObject* mem_repr(PyObject* op) {
    if (!usable(op)) return nullptr;
    CyMemory* self = as_memory(op);
    Py_ssize_t n = PyObject_Size(self->_pages);
    if (n < 0) return nullptr;
    return PyUnicode_FromFormat("CyMemory(pages=%zd, heap=%d)", n, static_cast<int>(self->heap_break));
}

// self.<field> == other.<attr>; a false result ends the comparison.  The
// field is held before the lookup: `other` may be of a subclass whose
// attribute runs Python code that replaces this memory's field.
PyObject* compare_field(PyObject* mine, PyObject* other, const char* attr) {
    Owned hold = Owned::incref(mine);
    Owned theirs = Owned::steal(PyObject_GetAttrString(other, attr));
    if (!theirs) return nullptr;
    return PyObject_RichCompare(hold.get(), theirs.get(), Py_EQ);
}

PyObject* mem_equal(CyMemory* self, PyObject* other) {
    if (!PyObject_TypeCheck(other, &CyMemoryType)) Py_RETURN_NOTIMPLEMENTED;
    struct {
        PyObject* CyMemory::*field;
        const char* attr;
    } const parts[] = {{&CyMemory::_pages, "_pages"}, {&CyMemory::_r_pages, "_r_pages"}, {&CyMemory::_w_pages, "_w_pages"}};
    Owned result;
    for (const auto& p : parts) {
        result = Owned::steal(compare_field(self->*p.field, other, p.attr));
        if (!result) return nullptr;
        if (&p == &parts[2]) break;
        int truth = PyObject_IsTrue(result.get());
        if (truth < 0) return nullptr;
        if (!truth) break;
    }
    return result.release();
}

PyObject* mem_richcompare(PyObject* op, PyObject* other, int cmp) {
    if (!usable(op)) return nullptr;
    if (cmp != Py_EQ && cmp != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Owned eq = Owned::steal(mem_equal(as_memory(op), other));
    if (!eq || cmp == Py_EQ || eq.get() == Py_NotImplemented) return eq.release();
    int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return nullptr;
    return PyBool_FromLong(!truth);
}

// ----- content comparison ----------------------------------------------------
//
// `==` compares the page stores as they are, buffer addresses included, so
// two memories with the same bytes in buffers of their own differ.
// contents_equal compares what a program can observe instead: the bytes of
// every page (a page not in the store reads as zeros), the effective read and
// write permission of every page, and heap_break.

// Appends the page indices of a page store to `out` (a list); None is an
// empty store, keys that are not page indices name nothing and are skipped.
int collect_page_indices(PyObject* pages, PyObject* out) {
    if (pages == Py_None) return 0;
    if (!PyDict_CheckExact(pages)) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.30s'", Py_TYPE(pages)->tp_name,
                     "keys");
        return -1;
    }
    Owned keys = Owned::steal(PyDict_Keys(pages));
    if (!keys) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (!PyLong_CheckExact(key)) continue;
        unsigned long idx = PyLong_AsUnsignedLong(key);
        if (idx == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            continue;
        }
        if (idx >= kPageCount) continue;
        if (PyList_Append(out, key) < 0) return -1;
    }
    return 0;
}

// The page's bytes copied into `buf` (zeros when the page is not stored);
// -1 with an exception when the store cannot be read.
int copy_page(CyMemory* mem, uint32_t idx, uint8_t* buf) {
    if (mem->_pages == Py_None) {
        std::memset(buf, 0, kPageSize);
        return 0;
    }
    const uint8_t* p = mem_get_cpage(mem, idx, 0);
    if (p == nullptr) {
        if (PyErr_Occurred()) return -1;
        std::memset(buf, 0, kPageSize);
        return 0;
    }
    std::memcpy(buf, p, kPageSize);
    return 0;
}

// 1 when equal, 0 when not, -1 with an exception.
int memory_contents_equal(CyMemory* a, CyMemory* b) {
    if (a->heap_break != b->heap_break) return 0;
    // Permissions word by word: a page is readable when either bit is set.
    for (uint32_t w = 0; w < kBitsetWords; ++w) {
        if (a->_w_bitset[w] != b->_w_bitset[w] ||
            (a->_r_bitset[w] | a->_w_bitset[w]) != (b->_r_bitset[w] | b->_w_bitset[w]))
            return 0;
    }
    Owned indices = Owned::steal(PyList_New(0));
    if (!indices) return -1;
    // Held: a lookup in one store may run Python code (a key's __eq__) that
    // replaces either store.
    Owned hold_a = Owned::incref(a->_pages), hold_b = Owned::incref(b->_pages);
    if (collect_page_indices(hold_a.get(), indices.get()) < 0 || collect_page_indices(hold_b.get(), indices.get()) < 0)
        return -1;
    static uint8_t page_a[kPageSize], page_b[kPageSize];  // under the interpreter lock
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(indices.get()); ++i) {
        const auto idx = static_cast<uint32_t>(PyLong_AsUnsignedLong(PyList_GET_ITEM(indices.get(), i)));
        if (copy_page(a, idx, page_a) < 0 || copy_page(b, idx, page_b) < 0) return -1;
        if (std::memcmp(page_a, page_b, kPageSize) != 0) return 0;
    }
    return 1;
}

PyObject* py_contents_equal(PyObject* self, PyObject* other) {
    if (!usable(self)) return nullptr;
    if (!PyObject_TypeCheck(other, &CyMemoryType)) {
        PyErr_Format(PyExc_TypeError, "contents_equal() argument must be a CyMemory, not %.200s",
                     Py_TYPE(other)->tp_name);
        return nullptr;
    }
    if (!usable(other)) return nullptr;
    Owned hold = Owned::incref(other);
    int r = memory_contents_equal(as_memory(self), as_memory(other));
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

// ----- pickled state ---------------------------------------------------------
//
// Position 0 carries the page contents, {page index: 4096 bytes}, never a
// buffer address: addresses mean nothing outside the memory that owns them.

// The buffer behind a page-store entry, or NULL (with ValueError) when the
// entry is not a page of this memory.  `*absent` is set for a value of 0.
uint8_t* entry_buffer(CyMemory* self, PyObject* key, PyObject* value, uint32_t* page_out, bool* absent) {
    *absent = false;
    long long idx = -1;
    if (PyLong_Check(key)) {
        int overflow;
        idx = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow != 0) idx = -1;
    }
    if (idx < 0 || idx > kLastPage) {
        PyErr_Format(PyExc_ValueError, "_pages key %R is not a page index", key);
        return nullptr;
    }
    const auto page = static_cast<uint32_t>(idx);
    *page_out = page;
    uintptr_t addr;
    if (!value_as_address(value, &addr)) {
        foreign_page_error(page);
        return nullptr;
    }
    if (addr == 0) {
        *absent = true;
        return nullptr;
    }
    if (!registry_contains(registry_of(self), addr)) {
        foreign_page_error(page);
        return nullptr;
    }
    return reinterpret_cast<uint8_t*>(addr);
}

PyObject* state_get_pages(PyObject* op, void*) {
    if (!usable(op)) return nullptr;
    CyMemory* self = as_memory(op);
    if (self->_pages == Py_None) Py_RETURN_NONE;
    Owned hold = Owned::incref(self->_pages);
    Owned out = Owned::steal(PyDict_New());
    if (!out) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(hold.get(), &pos, &k, &v)) {
        uint32_t page;
        bool absent;
        uint8_t* buf = entry_buffer(self, k, v, &page, &absent);
        if (buf == nullptr) {
            if (absent) continue;
            return nullptr;
        }
        Owned key = Owned::steal(PyLong_FromUnsignedLong(page));
        Owned data = Owned::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), kPageSize));
        if (!key || !data || PyDict_SetItem(out.get(), key.get(), data.get()) < 0) return nullptr;
    }
    return out.release();
}

// Restores the page store from {page index: 4096 bytes}: the whole state is
// checked first, then the memory gets new buffers of its own, and only then
// the previous store and its buffers are replaced.
int state_set_pages(PyObject* op, PyObject* v, void*) {
    if (!usable(op)) return -1;
    CyMemory* self = as_memory(op);
    if (v == nullptr) v = Py_None;
    if (!check_setter_type(v, &PyDict_Type)) return -1;
    if (v == Py_None) {
        replace_field(self->_pages, Py_None);
        release_buffers(self);
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *data;
    while (PyDict_Next(v, &pos, &k, &data)) {
        long long idx = -1;
        if (PyLong_CheckExact(k)) {
            int overflow;
            idx = PyLong_AsLongLongAndOverflow(k, &overflow);
            if (overflow != 0) idx = -1;
        }
        if (idx < 0 || idx > kLastPage) {
            PyErr_Format(PyExc_ValueError, "pickled page index %R is not a page of the address space", k);
            return -1;
        }
        if (!PyBytes_CheckExact(data)) {
            PyErr_Format(PyExc_TypeError, "pickled page %lld holds %.200s, expected bytes", idx, Py_TYPE(data)->tp_name);
            return -1;
        }
        if (PyBytes_GET_SIZE(data) != kPageSize) {
            PyErr_Format(PyExc_ValueError, "pickled page %lld holds %zd bytes, expected %u", idx,
                         PyBytes_GET_SIZE(data), static_cast<unsigned>(kPageSize));
            return -1;
        }
    }
    // Build the new store under a registry of its own.
    Registry* previous = registry_of(self);
    self->_owned = nullptr;
    Owned pages = Owned::steal(PyDict_New());
    bool ok = static_cast<bool>(pages);
    pos = 0;
    while (ok && PyDict_Next(v, &pos, &k, &data)) {
        uint8_t* buf = new_page_buffer(self);
        if (buf == nullptr) {
            ok = false;
            break;
        }
        std::memcpy(buf, PyBytes_AS_STRING(data), kPageSize);
        Owned addr = Owned::steal(PyLong_FromVoidPtr(buf));
        ok = addr && PyDict_SetItem(pages.get(), k, addr.get()) == 0;
    }
    if (!ok) {
        registry_destroy(registry_of(self));
        self->_owned = previous;
        return -1;
    }
    replace_field(self->_pages, pages.get());
    registry_destroy(previous);
    return 0;
}

PyObject* get_bitset(const uint64_t* bits) {
    Owned list = Owned::steal(PyList_New(kBitsetWords));
    if (!list) return nullptr;
    for (uint32_t i = 0; i < kBitsetWords; ++i) {
        PyObject* w = PyLong_FromUnsignedLongLong(bits[i]);
        if (w == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, w);
    }
    return list.release();
}

// Converts a sequence of exactly 16384 words; the bitset changes only when
// the whole sequence converted.
int set_bitset(uint64_t* bits, PyObject* v) {
    if (v == nullptr) return refuse_delete();
    Owned it = Owned::steal(PyObject_GetIter(v));
    if (!it) return -1;
    auto* tmp = static_cast<uint64_t*>(PyMem_Malloc(sizeof(uint64_t) * kBitsetWords));
    if (tmp == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t n = 0;
    int rc = 0;
    while (Owned item = Owned::steal(PyIter_Next(it.get()))) {
        if (n == kBitsetWords) {
            PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd",
                         static_cast<Py_ssize_t>(kBitsetWords));
            rc = -1;
            break;
        }
        if (!to_u64(item.get(), &tmp[n])) {
            rc = -1;
            break;
        }
        ++n;
    }
    if (rc == 0 && PyErr_Occurred()) rc = -1;
    if (rc == 0 && n != kBitsetWords) {
        PyErr_Format(PyExc_IndexError, "not enough values found during array assignment, expected %zd, got %zd",
                     static_cast<Py_ssize_t>(kBitsetWords), n);
        rc = -1;
    }
    if (rc == 0) std::memcpy(bits, tmp, sizeof(uint64_t) * kBitsetWords);
    PyMem_Free(tmp);
    return rc;
}

PyObject* state_get_r_bitset(PyObject* op, void*) { return usable(op) ? get_bitset(as_memory(op)->_r_bitset) : nullptr; }
PyObject* state_get_w_bitset(PyObject* op, void*) { return usable(op) ? get_bitset(as_memory(op)->_w_bitset) : nullptr; }
int state_set_r_bitset(PyObject* op, PyObject* v, void*) {
    if (!usable(op)) return -1;
    bitsets_touched(as_memory(op), as_memory(op)->_r_bitset, 0, kBitsetWords - 1);
    const int rc = set_bitset(as_memory(op)->_r_bitset, v);
    map_permissions_changed(as_memory(op), 0, kPageCount);
    return rc;
}
int state_set_w_bitset(PyObject* op, PyObject* v, void*) {
    if (!usable(op)) return -1;
    bitsets_touched(as_memory(op), as_memory(op)->_w_bitset, 0, kBitsetWords - 1);
    const int rc = set_bitset(as_memory(op)->_w_bitset, v);
    map_permissions_changed(as_memory(op), 0, kPageCount);
    return rc;
}

const PickleField memory_fields[] = {
    {"_pages", state_get_pages, state_set_pages, true},
    {"_r_bitset", state_get_r_bitset, state_set_r_bitset, false},
    {"_r_pages", get_r_pages, set_r_pages, true},
    {"_w_bitset", state_get_w_bitset, state_set_w_bitset, false},
    {"_w_pages", get_w_pages, set_w_pages, true},
    {"heap_break", get_heap_break, set_heap_break, false},
};
PickleSpec memory_pickle{"CyMemory", &CyMemoryType, memory_fields, 6, "_reconstruct_CyMemory"};

// ----- the type --------------------------------------------------------------

PyGetSetDef memory_getset[] = {
    {"_pages", get_pages_attr, set_pages_attr, "_pages: dict", nullptr},
    {"_r_pages", get_r_pages, set_r_pages, "_r_pages: set", nullptr},
    {"_w_pages", get_w_pages, set_w_pages, "_w_pages: set", nullptr},
    {"heap_break", get_heap_break, set_heap_break, "heap_break: 'int'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef memory_methods[] = {
    {"_sync_bitsets_from_sets", py_sync, METH_NOARGS,
     "_sync_bitsets_from_sets()\n\nRebuild the permission bitsets from _r_pages and _w_pages."},
    {"_set_byte", cfunc(py_set_byte), kFastKw,
     "_set_byte(addr, value)\n\nStore one byte, creating its page; permissions are not checked."},
    {"_get_byte", cfunc(py_get_byte), kFastKw,
     "_get_byte(addr)\n\nThe byte at addr (0 for a page never written); permissions are not checked."},
    {"read", cfunc(py_read), kFastKw,
     "read(address, length)\n\nRead length bytes; every page needs read access, else PvmExit(2, address)."},
    {"write", cfunc(py_write), kFastKw,
     "write(address, data)\n\nWrite a bytes-like object; every page needs write access, else "
     "PvmExit(2, address) and nothing is written."},
    {"is_accessible", cfunc(py_is_accessible), kFastKw,
     "is_accessible(address, length, access=Accessibility.READ)\n\nWhether every page of the range has the "
     "access."},
    {"alter_accessibility", cfunc(py_alter_accessibility), kFastKw,
     "alter_accessibility(start, len_, access)\n\nGive every page of the range the access (in the bitsets "
     "only)."},
    {"zero_memory_range", cfunc(py_zero_memory_range), kFastKw,
     "zero_memory_range(start_page, num_pages)\n\nFill whole pages with zeros, creating them."},
    {"from_pc", cfunc(py_from_pc), kFastKw | METH_CLASS,
     "from_pc(read, write, args, z, s, heap=0)\n\nA memory with the standard program layout: read-only data "
     "at 0x10000, read-write data and z extra pages above it, a stack of s bytes below 0xFEFE0000 and the "
     "arguments at 0xFEFF0000."},
    {"contents_equal", py_contents_equal, METH_O,
     "contents_equal(other)\n\nWhether both memories hold the same bytes on every page (a page not in the "
     "store reads as zeros), the same read and write permission on every page and the same heap_break.  "
     "Unlike ==, which compares the page stores as they are (buffer addresses included), this is true for "
     "a copy made by pickling."},
    PVM_PICKLE_METHODS(memory_pickle),
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject CyMemoryType = [] {
    PyTypeObject t = static_type(
        "qorvel_pvm.cpvm.vm_memory.CyMemory", sizeof(CyMemory),
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
        "CyMemory(data=None, allowed_read_pages=None, allowed_write_pages=None, heap=0)\n\n"
        "Paged guest memory: a sparse 32-bit address space of 4096-byte pages with a read and a write "
        "permission per page.  data maps byte addresses to byte values; the two lists name the pages "
        "that may be read and written.");
    t.tp_alloc = mem_alloc;
    t.tp_free = mem_free;
    t.tp_new = mem_new;
    t.tp_init = mem_init;
    t.tp_dealloc = mem_dealloc;
    t.tp_traverse = mem_traverse;
    t.tp_clear = mem_clear;
    t.tp_repr = mem_repr;
    t.tp_richcompare = mem_richcompare;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_getset = memory_getset;
    t.tp_methods = memory_methods;
    return t;
}();

PyMethodDef module_methods[] = {PVM_RECONSTRUCTOR(memory_pickle), {nullptr, nullptr, 0, nullptr}};

// ----- module initialisation -------------------------------------------------

int intern(PyObject** slot, const char* text) {
    *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}

int import_names() {
    PyTypeObject* status_type = nullptr;
    CyStatus_vtable* status_vtable = nullptr;
    if (import_class(kStatusModule, "CyStatus", sizeof(CyStatus), &status_type, &status_vtable,
                     kCyStatusVtableSig) < 0)
        return -1;
    {
        Owned mod = Owned::steal(PyImport_ImportModule(kStatusModule));
        if (!mod) return -1;
        Owned exit = Owned::steal(PyObject_GetAttrString(mod.get(), "PvmExit"));
        if (!exit) return -1;
        if (!PyExceptionClass_Check(exit.get())) {
            PyErr_Format(PyExc_TypeError, "%s.PvmExit is not an exception class", kStatusModule);
            return -1;
        }
        PvmExitType = exit.release();
    }
    for (const char* name : kStatusVarNames) {
        CyStatus** unused;
        if (bind_variable(kStatusModule, name, &unused, kStatusVarSig) < 0) return -1;
    }
    uint8_t* lut1;
    uint8_t* lut2;
    if (bind_variable(utils::kModule, "BYTES_TO_BYTE_LUT", &lut1, utils::kBytesToByteLutSig) < 0 ||
        bind_variable(utils::kModule, "BYTE_TO_BITS_LUT", &lut2, utils::kByteToBitsLutSig) < 0)
        return -1;
    PageFaultFn* page_fault;
    if (bind_function(kStatusModule, "PAGE_FAULT", &page_fault, kPageFaultSig) < 0) return -1;
    if (bind_function(utils::kModule, "get_pages", &get_pages, utils::kGetPagesSig) < 0 ||
        bind_function(utils::kModule, "total_page_size", &total_page_size, utils::kSizeSig) < 0 ||
        bind_function(utils::kModule, "total_zone_size", &total_zone_size, utils::kSizeSig) < 0)
        return -1;
    return 0;
}

int exec_module(PyObject* m) {
    if (publish_function(m, "_direct_load", direct_load, kDirectLoadSig) < 0 ||
        publish_function(m, "_direct_store", direct_store, kDirectStoreSig) < 0 ||
        publish_function(m, "_page_map", page_map, kPageMapSig) < 0 ||
        publish_function(m, "_get_start_page", _get_start_page, kPageFnSig) < 0 ||
        publish_function(m, "_get_page_offset", _get_page_offset, kPageFnSig) < 0 ||
        publish_function(m, "_norm", _norm, kPageFnSig) < 0 ||
        publish_function(m, "_get_page_range", _get_page_range, kPageRangeSig) < 0)
        return -1;
    if (intern(&str_read, "read") < 0 || intern(&str_write, "write") < 0 || intern(&str_get_byte, "_get_byte") < 0 ||
        intern(&str_set_byte, "_set_byte") < 0 || intern(&str_sync, "_sync_bitsets_from_sets") < 0 ||
        intern(&str_value, "value") < 0)
        return -1;
    if (add_type(m, &CyMemoryType, "CyMemory") < 0) return -1;
    if (publish_vtable(&CyMemoryType, &memory_vtable, kCyMemoryVtableSig) < 0) return -1;
    if (import_names() < 0) return -1;

    {
        Owned types = Owned::steal(PyImport_ImportModule("qorvel_pvm.common.types"));
        if (!types) return -1;
        CommonAccessibility = PyObject_GetAttrString(types.get(), "Accessibility");
        if (CommonAccessibility == nullptr) return -1;
        if (PyModule_AddObjectRef(m, "CommonAccessibility", CommonAccessibility) < 0) return -1;
        DefaultAccess = PyObject_GetAttrString(CommonAccessibility, "READ");
        if (DefaultAccess == nullptr) return -1;
    }
    if (PyModule_AddIntConstant(m, "ACC_READ", kAccRead) < 0 || PyModule_AddIntConstant(m, "ACC_WRITE", kAccWrite) < 0 ||
        PyModule_AddIntConstant(m, "ACC_NONE", kAccNone) < 0 ||
        PyModule_AddIntConstant(m, "PAGE_SIZE", kPageSize) < 0)
        return -1;
    if (init_pickle(m, memory_pickle) < 0) return -1;
    return check_mapped_alloc();
}

}  // namespace

PVM_DEFINE_MODULE(vm_memory, "Paged guest memory with per-page read and write permissions.", module_methods,
                  guard, exec_module)
