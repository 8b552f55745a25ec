// The interpreter lock over one run of a native engine.
//
// A run still going after its first window of gas gives the lock up and goes
// on without it, taking it back only to touch Python objects (a slow load or
// store, sbrk, a host call, a block looked up for the first time, a check)
// and at the end.  While the lock is given up the memory is marked busy, so
// that Python code on another thread gets an error instead of racing the
// run.  A run whose thread is its interpreter's only one keeps the lock:
// nobody can be waiting for it.
//
// A run whose host calls come so close together that the lock would be given
// up for only microseconds at a time (a handler every few hundred
// instructions) keeps it for a while instead: handing the lock between
// threads costs more than that, and Python's own switching lets other
// threads in (at the handler's Python code and at the periodic checks).
// Holds alternate with stretches as long in which the lock is given up at
// every chance, so that threads waiting for it get it.
//
// Without the lock a periodic check is made only when something asks for it
// (`check_due`): the engine's blocks changed on another thread, a stop was
// requested for some thread, or it is time to let signal handlers run (on
// the thread that runs them, about every millisecond).
#pragma once

#include "engine.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace pvm::engine {

// Switched off by benchmarks to keep the interpreter lock for whole runs.
extern bool unlocking;

// A hint that some run holds the lock for a slow path (see take_lock).
extern std::atomic<bool> runs_hold_lock;

// Takes the lock back for a run (spinning briefly while another run holds
// it for a slow path: a thread that finds the lock taken sleeps until it is
// handed over, which costs far more than a host handler's Python code).
void take_lock(PyThreadState* state);
PyThreadState* give_lock();
// Whether this thread is its interpreter's only one (with the lock held).
bool alone();

class RunLock {
public:
    using Clock = std::chrono::steady_clock;

    RunLock(CyMemory* memory, const Driver& driver)
        : memory_(memory), driver_(driver), interrupts_at_(__atomic_load_n(driver.interrupts, __ATOMIC_RELAXED)) {}

    bool released() const { return state_ != nullptr; }

    // Before anything that touches a Python object.
    void take() {
        if (state_ != nullptr) [[unlikely]] {
            take_lock(state_);
            state_ = nullptr;
            memory_->_busy = 0;
        }
    }

    // The same before a host call: when the run went without the lock for
    // only a short stretch since the last one, it keeps the lock for a while.
    void take_for_host() {
        if (state_ != nullptr) {
            take();
            const Clock::time_point now = Clock::now();
            if (now - given_at_ < kShortStretch && now >= no_hold_until_) hold_until_ = now + kHoldTime;
        }
    }

    // After a slow path: goes on without the lock again when the run may.
    void give() {
        if (lock_free_ && !solo_) {
            if (hold_until_ != Clock::time_point{}) {
                const Clock::time_point now = Clock::now();
                if (now < hold_until_) return;
                // As long again with the lock given up at every chance: a
                // thread waiting for it gets it (a hold that started again at
                // once would wake the waiters, restarting their wait before
                // they ask for the lock, and starve them).
                hold_until_ = {};
                no_hold_until_ = now + kHoldTime;
            }
            memory_->_busy = 1;
            state_ = give_lock();
            given_at_ = Clock::now();
        }
    }

    // Without the lock, at a periodic check: whether it should be made now
    // (`changed`: the engine's blocks were exposed or their entries changed
    // meanwhile); if so, takes the lock.  Taking it may mean waiting for
    // another thread's Python code: the longer that took, the longer until
    // the next signal check (by kMaxSignalDelay at most).
    bool check_due(bool changed) {
        if (!changed && __atomic_load_n(driver_.interrupts, __ATOMIC_RELAXED) == interrupts_at_ &&
            (!driver_.signals || Clock::now() < next_check_))
            return false;
        const Clock::time_point asked = Clock::now();
        take();
        const Clock::time_point got = Clock::now();
        next_check_ = got + kSignalInterval + std::min<Clock::duration>(16 * (got - asked), kMaxSignalDelay);
        return true;
    }

    // The check itself, with the lock: lets other threads and signal
    // handlers run (false with their exception).
    bool check() {
        interrupts_at_ = __atomic_load_n(driver_.interrupts, __ATOMIC_RELAXED);
        return driver_.let_others_run();
    }

    // After a check the run passed: from the first on, the run may go on
    // without the lock.
    void checked() {
        solo_ = alone();
        if (!lock_free_ && unlocking) {
            lock_free_ = true;
            next_check_ = Clock::now() + kSignalInterval;
        }
    }

    // The end of the run: with the lock, which Python code then keeps for
    // any time (so no run should spin for it).
    void finish() {
        take();
        runs_hold_lock.store(false, std::memory_order_relaxed);
    }

private:
    static constexpr Clock::duration kSignalInterval = std::chrono::microseconds(250);
    static constexpr Clock::duration kMaxSignalDelay = std::chrono::milliseconds(50);
    // A stretch without the lock shorter than this makes the run keep it for
    // kHoldTime (Python's own interval between switching threads).
    static constexpr Clock::duration kShortStretch = std::chrono::microseconds(20);
    static constexpr Clock::duration kHoldTime = std::chrono::milliseconds(5);

    CyMemory* memory_;
    const Driver& driver_;
    PyThreadState* state_ = nullptr;  // the thread's state while the lock is given up
    bool lock_free_ = false;          // past the first check: goes on without the lock
    bool solo_ = false;               // the thread was alone at the last check: keeps the lock
    Clock::time_point hold_until_{};  // keeps the lock until then (none: the epoch)
    Clock::time_point no_hold_until_{};  // no new hold before then
    Clock::time_point given_at_{};    // when the lock was last given up
    uint64_t interrupts_at_;
    Clock::time_point next_check_{};
};

}  // namespace pvm::engine
