// The interpreter lock over a native engine's run (see run_lock.hpp).
#include "run_lock.hpp"

namespace pvm::engine {

bool unlocking = true;
std::atomic<bool> runs_hold_lock{false};

namespace {

constexpr std::chrono::steady_clock::duration kMaxSpin = std::chrono::microseconds(50);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

// Runs that take the lock for a slow path say so, and a run about to take it
// spins a little while another run holds it: it then takes the lock as it
// comes free, without sleeping.  A hint only: when it is wrong, a run spins
// for nothing or sleeps as it would anyway.
void take_lock(PyThreadState* state) {
    if (runs_hold_lock.load(std::memory_order_relaxed)) {
        const auto until = std::chrono::steady_clock::now() + kMaxSpin;
        for (unsigned i = 1; runs_hold_lock.load(std::memory_order_relaxed); ++i) {
            cpu_relax();
            if (i % 64 == 0 && std::chrono::steady_clock::now() > until) break;
        }
    }
    PyEval_RestoreThread(state);
    runs_hold_lock.store(true, std::memory_order_relaxed);
}

PyThreadState* give_lock() {
    PyThreadState* state = PyEval_SaveThread();
    runs_hold_lock.store(false, std::memory_order_relaxed);
    return state;
}

// Another thread can only appear through Python code this one runs, with
// the lock (a host handler); a run looks again at each periodic check, which
// also lets such a thread run.
bool alone() {
    PyThreadState* const me = PyThreadState_Get();
    return PyInterpreterState_ThreadHead(PyThreadState_GetInterpreter(me)) == me && PyThreadState_Next(me) == nullptr;
}

}  // namespace pvm::engine
