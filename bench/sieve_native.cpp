// The prime sieve of examples/sieve.pvmasm as native code, for the "x native"
// ratio of bench/run.py.
//
// The same steps as the guest program: read the bound N in decimal from the
// first argument (at most 2**24), take N + 1 zeroed flag bytes from the heap,
// mark the multiples of every prime i from i * i while i * i <= N, then scan
// 2 .. N counting the primes, keeping the largest and folding each into an
// FNV-1a style hash (h = (h xor p) * 0x100000001b3 from 0xcbf29ce484222325,
// modulo 2**64).
//
// Usage: sieve_native N [REPEATS]
// Prints "r7=COUNT r8=LARGEST r9=HASH best_ns=T": the results under the
// register names the guest leaves them in, and the shortest wall-clock time
// of REPEATS (default 1) runs of the sieve, allocation and release included.

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

struct Result {
    std::uint64_t count;
    std::uint64_t largest;
    std::uint64_t hash;
};

Result sieve(std::uint64_t n) {
    auto* flag = static_cast<unsigned char*>(std::calloc(n + 1, 1));
    if (flag == nullptr) {
        std::perror("calloc");
        std::exit(1);
    }
    for (std::uint64_t i = 2; i * i <= n; ++i) {
        if (flag[i] != 0) {
            continue;  // composite: its multiples are marked already
        }
        for (std::uint64_t j = i * i; j <= n; j += i) {
            flag[j] = 1;
        }
    }
    Result r{0, 0, 0xcbf29ce484222325ULL};
    for (std::uint64_t i = 2; i <= n; ++i) {
        if (flag[i] == 0) {
            ++r.count;
            r.largest = i;
            r.hash = (r.hash ^ i) * 0x100000001b3ULL;
        }
    }
    std::free(flag);
    return r;
}

// The bound as the guest reads it: decimal digits only, at most 2**24.
bool parse_bound(const char* text, std::uint64_t& n) {
    n = 0;
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
        n = n * 10 + static_cast<std::uint64_t>(*text - '0');
        if (n > (1U << 24)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t n = 0;
    if (argc < 2 || argc > 3 || !parse_bound(argv[1], n)) {
        std::fprintf(stderr, "usage: %s N [REPEATS]  (N: decimal, at most 2**24)\n", argv[0]);
        return 2;
    }
    const long repeats = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 1;
    if (repeats < 1) {
        std::fprintf(stderr, "REPEATS must be at least 1\n");
        return 2;
    }
    Result first{};
    std::int64_t best = INT64_MAX;
    for (long k = 0; k < repeats; ++k) {
        const auto start = std::chrono::steady_clock::now();
        const Result r = sieve(n);
        const auto stop = std::chrono::steady_clock::now();
        const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count();
        if (ns < best) {
            best = ns;
        }
        if (k == 0) {
            first = r;
        } else if (r.count != first.count || r.largest != first.largest || r.hash != first.hash) {
            std::fprintf(stderr, "runs disagree\n");
            return 1;
        }
    }
    std::printf("r7=%" PRIu64 " r8=%" PRIu64 " r9=%" PRIu64 " best_ns=%" PRId64 "\n", first.count, first.largest,
                first.hash, best);
    return 0;
}
