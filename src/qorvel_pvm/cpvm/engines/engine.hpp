// What the driver hands an engine and what an engine hands back.
//
// The driver (vm_interpreter) runs a program's basic blocks through one of
// its engines: the general path (the driver's own loop over the cached
// CyBlockInfo objects, every Python-visible hook honoured) or a native
// engine, which runs its own form of the same blocks.  A native engine gets
// one `Request`: the program, the memory, the 13 registers it works on in
// place, where to start and with how much gas, and how to make host calls.
// It returns one `Outcome`: how the run ended, where, with what gas left.
// An engine that meets a block it cannot run hands the run back (`handover`)
// at a block boundary, or right after a handled host call, and the general
// path goes on from there with the same state.
//
// An engine may give up the interpreter lock while it touches only native
// state; it marks the memory busy (`_busy`) meanwhile and takes the lock
// back before anything that touches a Python object and before it returns.
//
// The rules every engine keeps: a block is charged its whole gas when it
// starts and a run with less gas left stops "out of gas" at the block's
// start; an exit inside a block gives nothing back; a page fault reports the
// start of the first page of the access that lacks the permission; a host
// call without a handler stops after the `ecalli` and gives back the gas of
// the block's instructions after it; a handled host call goes on inside the
// block, charged nothing more.
#pragma once

#include "abi/block.hpp"
#include "abi/memory.hpp"
#include "abi/program.hpp"
#include "abi/status.hpp"

#include <cstdint>

namespace pvm::engine {

// How a run on an engine ended.
enum class End : uint8_t {
    halt = kHalt,
    panic = kPanic,
    page_fault = kPageFault,
    out_of_gas = kOutOfGas,
    host = kHostCall,  // an ecalli without a host handler
    failed = 250,      // an exception is set
    handover = 251,    // the general path goes on from `pc` and `gas`
    tier_up = 252,     // the block compiler goes on from `pc` (a block start, uncharged) and `gas`
};

// A host call, made by the driver for an engine: calls the run's host
// handler for call `index` with the registers as the engine left them (the
// engine works on the caller's registers in place, so the handler sees and
// changes the same values).
struct HostCall {
    enum class Reply : uint8_t {
        go_on,   // the run goes on after the ecalli; *gas may have been charged
        end,     // the run ends after the ecalli with *status (halt, panic,
                 // or out of gas with *gas set to 0)
        failed,  // an exception is set (the handler raised, or its reply was bad)
    };
    Reply (*call)(void* context, uint32_t index, uint64_t* gas, uint8_t* status);
    void* context;
};

class Profiler;

// What the driver hands an engine for one run.
struct Request {
    CyProgram* program;
    CyMemory* memory;
    uint64_t* registers;    // the 13 registers, changed in place
    uint32_t pc;
    uint64_t gas;
    const HostCall* host;   // nullptr: an ecalli stops the run (End::host)
    Profiler* profiler;     // nullptr: no gas profile is kept (profiler.hpp)
    bool tier_up = false;   // the native loop hands the run to the block compiler at its first check
};

// What comes back.
struct Outcome {
    End end = End::failed;
    uint32_t pc = 0;           // where the run stopped: the exiting instruction, the block that
                               // could not be paid for, the instruction after an ecalli, or where
                               // the general path goes on
    uint64_t gas = 0;          // gas left
    uint32_t fault = 0;        // page fault: start address of the first refused page
    uint32_t host_index = 0;   // End::host: the call index
    bool interrupted = false;  // End::failed: a signal handler (Ctrl-C) raised; pc and gas
                               // form a state a later run resumes from at equal total gas
    bool charged = false;      // End::handover: the block at pc was already paid for (the
                               // rest of a block after a handled host call)
};

// ----- the fault rule ----------------------------------------------------------------
//
// What every engine (and the general path) reports for a page fault.

// The width in bytes and the access mode of the guest loads and stores, by
// opcode; false for an instruction that does not access memory.
inline bool memory_access_of(int32_t opcode, unsigned* width, int* mode) {
    static constexpr unsigned kStoreWidths[4] = {1, 2, 4, 8};
    static constexpr unsigned kLoadWidths[7] = {1, 1, 2, 2, 4, 4, 8};  // u8 i8 u16 i16 u32 i32 u64
    struct Range {
        int32_t first;
        int32_t last;
        int mode;
    };
    static constexpr Range kRanges[] = {
        {30, 33, kAccWrite},   // store an immediate at an immediate address
        {52, 58, kAccRead},    // load from an immediate address
        {59, 62, kAccWrite},   // store a register at an immediate address
        {70, 73, kAccWrite},   // store an immediate through a register
        {120, 123, kAccWrite}, // store a register through a register
        {124, 130, kAccRead},  // load through a register
    };
    for (const Range& r : kRanges) {
        if (opcode < r.first || opcode > r.last) continue;
        const int32_t i = opcode - r.first;
        *mode = r.mode;
        *width = r.mode == kAccRead ? kLoadWidths[i] : kStoreWidths[i];
        return true;
    }
    return false;
}

// The fault address a run reports for a page fault raised at `address` by
// the instruction `opcode`: the start of the first page of the access that
// lacks the permission, found from the access's width and mode (known by
// opcode) and the memory's permission bits.  For an access that runs past
// 0xFFFFFFFF from pages that allow it, that is the page past the top, whose
// address modulo 2^32 is 0.  An exit whose access is not known this way (an
// instruction that does not access memory, a memory subclass refusing an
// access the permission bits allow) reports the page of `address`.
inline uint32_t fault_page(CyMemory* memory, int32_t opcode, uint32_t address) {
    const uint32_t first = address >> kPageShift;
    unsigned width;
    int mode;
    if (memory_access_of(opcode, &width, &mode)) {
        const uint64_t last = (static_cast<uint64_t>(address) + width - 1) >> kPageShift;
        for (uint64_t page = first; page <= last; ++page) {
            if (page >= kPageCount) return 0;
            if (!memory->vtab->_has_access_c(memory, static_cast<uint32_t>(page), mode))
                return static_cast<uint32_t>(page << kPageShift);
        }
    }
    return first << kPageShift;
}

// Services of the driver an engine uses.
struct Driver {
    // The driver's compiled block at `pc` (compiled on first use); borrowed,
    // nullptr with an exception.
    CyBlockInfo* (*block_at)(void* interpreter, uint32_t pc);
    void* interpreter;
    // Lets other Python threads run and pending signal handlers run; false
    // with the exception a signal handler raised.  Any Python code may run.
    bool (*let_others_run)();
    // Changes when runs are asked to stop from another thread (an exception
    // is pending for one of them): an engine running without the
    // interpreter lock then takes it and lets others run, which raises the
    // exception in the run it was meant for.  Read atomically.
    const uint64_t* interrupts;
    // Whether this thread runs signal handlers (the main thread does): an
    // engine without the lock takes it now and then to let them run.
    bool signals;
};

}  // namespace pvm::engine
