// SPDX-License-Identifier: MIT
// Helpers shared by the native tests and the fuzzers: a failure counter, a
// seeded generator, buffers at a chosen address residue, guard pages, the
// corpus texts, and oracles written from RFC 3629 and RFC 6455 (not from the libraries).
#ifndef TAV_NATIVE_SUPPORT_H
#define TAV_NATIVE_SUPPORT_H

#include <dirent.h>     // opendir, readdir
#include <sys/mman.h>   // mmap, mprotect
#include <sys/wait.h>   // waitpid
#include <unistd.h>     // fork, sysconf

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
// Under memcheck the slack around a piece is made inaccessible byte by byte,
// so a read of any byte outside the piece is reported, also inside the
// 16-byte block that holds the piece's first byte.
#define TAV_NOACCESS(p, n) VALGRIND_MAKE_MEM_NOACCESS((p), (n))
#define TAV_DEFINED(p, n) VALGRIND_MAKE_MEM_DEFINED((p), (n))
#define TAV_UNDER_VALGRIND() (RUNNING_ON_VALGRIND != 0)
#else
#define TAV_NOACCESS(p, n) ((void)0)
#define TAV_DEFINED(p, n) ((void)0)
#define TAV_UNDER_VALGRIND() false
#endif

namespace nt {

// ---------------------------------------------------------------- failures

inline long g_failures = 0;
inline long g_checks = 0;
inline const long kMaxPrinted = 40;

inline void vfail(const char *file, int line, const char *what, const char *fmt, va_list ap) {
    ++g_failures;
    if (g_failures > kMaxPrinted) return;
    std::fprintf(stderr, "%s:%d: FAILED %s | ", file, line, what);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
}

inline void fail(const char *file, int line, const char *what, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfail(file, line, what, fmt, ap);
    va_end(ap);
}

// EXPECT_EQ(actual, expected, printf-style context...)
#define EXPECT_EQ(actual, expected, ...)                                                         \
    do {                                                                                         \
        ++::nt::g_checks;                                                                        \
        const long long a_ = static_cast<long long>(actual);                                     \
        const long long e_ = static_cast<long long>(expected);                                   \
        if (a_ != e_) {                                                                          \
            char what_[160];                                                                     \
            std::snprintf(what_, sizeof what_, "%s == %lld, expected %lld", #actual, a_, e_);    \
            ::nt::fail(__FILE__, __LINE__, what_, __VA_ARGS__);                                  \
        }                                                                                        \
    } while (0)

#define EXPECT_TRUE(cond, ...)                                                                   \
    do {                                                                                         \
        ++::nt::g_checks;                                                                        \
        if (!(cond)) ::nt::fail(__FILE__, __LINE__, #cond, __VA_ARGS__);                         \
    } while (0)

inline int summary(const char *name) {
    std::printf("%s: %ld checks, %ld failures\n", name, g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}

// Sweep size: 1 by default; TAV_NATIVE_QUICK=1 shortens the sweeps for slow
// runners such as memcheck.
inline bool quick() {
    const char *q = std::getenv("TAV_NATIVE_QUICK");
    return q != nullptr && q[0] == '1';
}

// ---------------------------------------------------------------- random

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() {  // splitmix64
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(next() % n); }
    unsigned range(unsigned lo, unsigned hi) { return lo + below(hi - lo + 1); }  // inclusive
    uint8_t byte() { return static_cast<uint8_t>(next()); }
};

// ---------------------------------------------------------------- memory

// A piece of n bytes whose address is congruent to `residue` mod `align`
// (16 or 64). The allocation ends exactly at the piece's end
// (AddressSanitizer sees any read past it); the slack before it holds a
// canary and is inaccessible under memcheck.
class Piece {
public:
    static constexpr uint8_t kCanary = 0xA5;

    Piece(const uint8_t *src, size_t n, unsigned residue, unsigned align = 16) : n_(n), slack_(residue % align) {
        void *raw = nullptr;
        if (posix_memalign(&raw, align, slack_ + n + (slack_ + n == 0 ? 1 : 0)) != 0) std::abort();
        raw_ = static_cast<uint8_t *>(raw);
        std::memset(raw_, kCanary, slack_);
        if (n != 0) std::memcpy(raw_ + slack_, src, n);
        TAV_NOACCESS(raw_, slack_);
    }
    Piece(const Piece &) = delete;
    Piece &operator=(const Piece &) = delete;
    ~Piece() {
        TAV_DEFINED(raw_, slack_);
        std::free(raw_);
    }
    uint8_t *data() { return raw_ + slack_; }
    size_t size() const { return n_; }
    // True when no byte before the piece was written.
    bool slack_intact() {
        TAV_DEFINED(raw_, slack_);
        bool ok = true;
        for (size_t i = 0; i < slack_; ++i) ok = ok && raw_[i] == kCanary;
        TAV_NOACCESS(raw_, slack_);
        return ok;
    }

private:
    uint8_t *raw_ = nullptr;
    size_t n_;
    size_t slack_;
};

// One read-write page between two inaccessible pages.
class GuardedPage {
public:
    GuardedPage() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *m = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) std::abort();
        map_ = static_cast<uint8_t *>(m);
        if (mprotect(map_, page_, PROT_NONE) != 0 || mprotect(map_ + 2 * page_, page_, PROT_NONE) != 0) std::abort();
    }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;
    ~GuardedPage() { munmap(map_, 3 * page_); }
    size_t page() const { return page_; }
    uint8_t *at_start() { return map_ + page_; }                 // first byte after the lower guard
    uint8_t *at_end(size_t n) { return map_ + 2 * page_ - n; }   // last n bytes before the upper guard

private:
    uint8_t *map_ = nullptr;
    size_t page_ = 0;
};

// Runs body() in a child process; a fault there fails this check instead of
// ending the whole test program. Returns the child's failure count.
template <class F>
long in_child(const char *name, F body) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        g_failures = 0;
        body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(g_failures > 255 ? 255 : static_cast<int>(g_failures));
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) std::abort();
    ++g_checks;
    if (WIFSIGNALED(status)) {
        fail(__FILE__, __LINE__, name, "child killed by signal %d (a byte outside the piece was touched?)",
             WTERMSIG(status));
        return 1;
    }
    const long child_failures = WEXITSTATUS(status);
    if (child_failures != 0) fail(__FILE__, __LINE__, name, "%ld failures in the child", child_failures);
    return child_failures;
}

// ---------------------------------------------------------------- UTF-8 oracle

enum class Scan { Complete, Partial, Invalid };

struct ScanResult {
    Scan kind;
    size_t offset;  // first rejected byte (Invalid)
    int state;      // automaton state at the end (Complete: 0, Partial: 2-8)
};

// Walks a whole stream by the byte ranges of RFC 3629 section 4. The state
// numbers name where a partial stream stands: 2/3 continuation bytes left
// after an unrestricted lead, 4 after E0, 5 after ED, 6 after F0, 7 after
// F1-F3, 8 after F4.
inline ScanResult rfc3629_scan(const uint8_t *d, size_t n) {
    size_t i = 0;
    while (i < n) {
        const unsigned b = d[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        unsigned lo2 = 0x80, hi2 = 0xBF;  // range of the second byte
        int len = 0, lead_state = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2, lead_state = 2;
        } else if (b == 0xE0) {
            len = 3, lead_state = 4, lo2 = 0xA0;
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            len = 3, lead_state = 3;
        } else if (b == 0xED) {
            len = 3, lead_state = 5, hi2 = 0x9F;
        } else if (b == 0xF0) {
            len = 4, lead_state = 6, lo2 = 0x90;
        } else if (b >= 0xF1 && b <= 0xF3) {
            len = 4, lead_state = 7;
        } else if (b == 0xF4) {
            len = 4, lead_state = 8, hi2 = 0x8F;
        } else {
            return {Scan::Invalid, i, 1};
        }
        for (int k = 1; k < len; ++k) {
            if (i + k >= n) {
                // Partial: name the state by what is still missing.
                const int left = len - k;
                const int st = k == 1 ? lead_state : (left == 2 ? 3 : 2);
                return {Scan::Partial, 0, st};
            }
            const unsigned c = d[i + k];
            const unsigned lo = k == 1 ? lo2 : 0x80u, hi = k == 1 ? hi2 : 0xBFu;
            if (c < lo || c > hi) return {Scan::Invalid, i + k, 1};
        }
        i += static_cast<size_t>(len);
    }
    return {Scan::Complete, 0, 0};
}

// ---------------------------------------------------------------- UTF-8 generator

// Bytes that take a stream from UTF8_ACCEPT into state s (s = 0, 2..8).
inline std::vector<uint8_t> prefix_for_state(int s, Rng &rng) {
    static const std::vector<std::vector<uint8_t>> options[9] = {
        {{}, {'a'}, {0xC3, 0xA9}, {0xF0, 0x9F, 0x98, 0x80}},
        {},
        {{0xC2}, {0xDF}, {0xE1, 0x80}, {0xF1, 0x80, 0x80}, {0xE0, 0xA0}},
        {{0xE1}, {0xEF}, {0xF0, 0x90}, {0xF4, 0x8F}},
        {{0xE0}},
        {{0xED}},
        {{0xF0}},
        {{0xF1}, {0xF3}},
        {{0xF4}},
    };
    const auto &opts = options[s];
    std::vector<uint8_t> out;
    const unsigned ascii = rng.below(3);  // some ASCII first, so totals differ
    for (unsigned k = 0; k < ascii; ++k) out.push_back(static_cast<uint8_t>('A' + k));
    const auto &pick = opts[rng.below(static_cast<unsigned>(opts.size()))];
    out.insert(out.end(), pick.begin(), pick.end());
    return out;
}

// Bytes that complete a sequence from state s.
inline void completion_for_state(int s, Rng &rng, std::vector<uint8_t> &out) {
    auto cont = [&] { out.push_back(static_cast<uint8_t>(0x80 + rng.below(0x40))); };
    switch (s) {
    case 2: cont(); break;
    case 3: cont(); cont(); break;
    case 4: out.push_back(static_cast<uint8_t>(0xA0 + rng.below(0x20))); cont(); break;
    case 5: out.push_back(static_cast<uint8_t>(0x80 + rng.below(0x20))); cont(); break;
    case 6: out.push_back(static_cast<uint8_t>(0x90 + rng.below(0x30))); cont(); cont(); break;
    case 7: cont(); cont(); cont(); break;
    case 8: out.push_back(static_cast<uint8_t>(0x80 + rng.below(0x10))); cont(); cont(); break;
    default: break;
    }
}

// One well-formed character, biased to the edges of each range.
inline void push_char(Rng &rng, std::vector<uint8_t> &out) {
    static const uint8_t edges[][4] = {
        {0x00}, {0x7F}, {0xC2, 0x80}, {0xDF, 0xBF}, {0xE0, 0xA0, 0x80}, {0xED, 0x9F, 0xBF},
        {0xEE, 0x80, 0x80}, {0xEF, 0xBF, 0xBF}, {0xF0, 0x90, 0x80, 0x80}, {0xF4, 0x8F, 0xBF, 0xBF},
    };
    static const int edge_len[] = {1, 1, 2, 2, 3, 3, 3, 3, 4, 4};
    const unsigned kind = rng.below(16);
    if (kind < 5) {  // an ASCII run, long enough to fill whole blocks now and then
        const unsigned run = rng.below(8) == 0 ? rng.range(16, 48) : rng.range(1, 6);
        for (unsigned k = 0; k < run; ++k) out.push_back(static_cast<uint8_t>(0x20 + rng.below(0x5F)));
    } else if (kind < 7) {
        const unsigned e = rng.below(10);
        out.insert(out.end(), edges[e], edges[e] + edge_len[e]);
    } else {
        static const int leads[] = {2, 3, 4, 5, 6, 7, 8};
        const int s = leads[rng.below(7)];
        switch (s) {
        case 2: out.push_back(static_cast<uint8_t>(0xC2 + rng.below(30))); break;
        case 3: out.push_back(rng.below(2) ? static_cast<uint8_t>(0xE1 + rng.below(12)) : static_cast<uint8_t>(0xEE + rng.below(2))); break;
        case 4: out.push_back(0xE0); break;
        case 5: out.push_back(0xED); break;
        case 6: out.push_back(0xF0); break;
        case 7: out.push_back(static_cast<uint8_t>(0xF1 + rng.below(3))); break;
        default: out.push_back(0xF4); break;
        }
        completion_for_state(s, rng, out);
    }
}

// n bytes for a piece entered in state s: mostly well-formed text that
// first completes the pending sequence, often with one fault planted at a
// random offset; sometimes arbitrary or boundary bytes.
inline std::vector<uint8_t> random_piece(size_t n, int s, Rng &rng) {
    static const uint8_t boundary[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                       0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    static const uint8_t faults[][2] = {{0x80}, {0xBF}, {0xC0}, {0xC1}, {0xF5}, {0xFF}, {0x41},
                                        {0xE0, 0x80}, {0xED, 0xA0}, {0xF0, 0x8F}, {0xF4, 0x90}, {0xC2, 0x41}};
    static const int fault_len[] = {1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2};
    std::vector<uint8_t> out;
    out.reserve(n + 64);
    const unsigned mode = rng.below(10);
    if (mode == 0) {
        while (out.size() < n) out.push_back(rng.byte());
    } else if (mode == 1) {
        while (out.size() < n) out.push_back(boundary[rng.below(sizeof boundary)]);
    } else {
        if (s != 0 && rng.below(5) != 0) completion_for_state(s, rng, out);
        while (out.size() < n) push_char(rng, out);
        out.resize(n);
        if (n != 0 && mode >= 4) {
            const unsigned f = rng.below(12);
            const size_t at = rng.below(static_cast<unsigned>(n));
            for (int k = 0; k < fault_len[f] && at + k < n; ++k) out[at + k] = faults[f][k];
        }
    }
    out.resize(n);
    return out;
}

// ---------------------------------------------------------------- masking model

// RFC 6455 section 5.3: byte i of the stream is XORed with key[i mod 4].
inline void xor_model(const uint8_t key[4], size_t pointer, uint8_t *d, size_t n) {
    for (size_t i = 0; i < n; ++i) d[i] ^= key[(pointer + i) % 4];
}

// ---------------------------------------------------------------- corpus

// The .txt files of the corpus that TAV_NATIVE_CORPUS names (its ascii,
// lipsum and wikipedia_mars folders), by folder/name in name order; none
// when it is unset.
inline std::vector<std::pair<std::string, std::vector<uint8_t>>> corpus_texts() {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    const char *root = std::getenv("TAV_NATIVE_CORPUS");
    if (root == nullptr) return out;
    for (const char *folder : {"ascii", "lipsum", "wikipedia_mars"}) {
        const std::string dir = std::string(root) + "/" + folder;
        DIR *dp = opendir(dir.c_str());
        if (dp == nullptr) continue;
        std::vector<std::string> names;
        while (dirent *e = readdir(dp)) {
            const std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) names.push_back(name);
        }
        closedir(dp);
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            std::ifstream f(dir + "/" + name, std::ios::binary);
            out.emplace_back(std::string(folder) + "/" + name,
                             std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()));
        }
    }
    return out;
}

}  // namespace nt

#endif  // TAV_NATIVE_SUPPORT_H
