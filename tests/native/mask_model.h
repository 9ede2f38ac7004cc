// SPDX-License-Identifier: MIT
// The masking routines as tables of callables, shared by the native tests
// and the fuzzer, with what each needs of the processor; and buffers placed
// at any offset in a 64-byte line.
#ifndef TAV_MASK_MODEL_H
#define TAV_MASK_MODEL_H

#include <climits>

#include "native_support.h"
#include "tav_bytemask.h"

namespace nt {

using ProcessFn = size_t (*)(void *, uint8_t *, size_t);
using CopyFn = size_t (*)(void *, const uint8_t *, uint8_t *, size_t);

// What a routine needs beyond the module's own build (SSE4.1 on x86-64).
enum class Needs { nothing, avx2, avx512 };

struct Masker {
    const char *name;
    ProcessFn fn;
    bool sets_impl;  // a dispatcher run: store `impl` in the record first
    int impl;
    Needs needs;
};

struct Copier {
    const char *name;
    CopyFn fn;
    Needs needs;
};

// Every in-place routine called directly (the vector ones exist on x86-64
// or on aarch64 only), and the dispatcher for numbers set_impl keeps and
// for numbers only a direct write can put in the record (0, 3).
inline const Masker kAllMaskers[] = {
    {"simple", _tav_xormask_process_simple, false, 0, Needs::nothing},
#if defined(__x86_64__)
    {"sse2", _tav_xormask_process_sse2, false, 0, Needs::nothing},
    {"avx2", _tav_xormask_process_avx2, false, 0, Needs::avx2},
    {"avx512", _tav_xormask_process_avx512, false, 0, Needs::avx512},
#elif defined(__aarch64__)
    {"neon", _tav_xormask_process_neon, false, 0, Needs::nothing},
#endif
    {"dispatch impl 2", tav_xormask_process, true, 2, Needs::nothing},
    {"dispatch impl 1", tav_xormask_process, true, 1, Needs::nothing},
    {"dispatch impl -1", tav_xormask_process, true, -1, Needs::nothing},
    {"dispatch impl INT_MIN", tav_xormask_process, true, INT_MIN, Needs::nothing},
    {"dispatch impl 0 in record", tav_xormask_process, true, 0, Needs::nothing},
    {"dispatch impl 3 in record", tav_xormask_process, true, 3, Needs::nothing},
};

inline const Copier kAllCopiers[] = {
    {"copy simple", _tav_xormask_copy_simple, Needs::nothing},
#if defined(__x86_64__)
    {"copy sse2", _tav_xormask_copy_sse2, Needs::nothing},
    {"copy avx2", _tav_xormask_copy_avx2, Needs::avx2},
    {"copy avx512", _tav_xormask_copy_avx512, Needs::avx512},
#elif defined(__aarch64__)
    {"copy neon", _tav_xormask_copy_neon, Needs::nothing},
#endif
};

// Whether this processor runs a routine with these needs. The compiler's
// check asks CPUID and the operating system's register state (XGETBV), as
// tav_cpu_features does; under memcheck it sees memcheck's processor, which
// has no AVX-512.
inline bool runs_here(Needs needs) {
    switch (needs) {
    case Needs::nothing: return true;
#if defined(__x86_64__)
    case Needs::avx2: return __builtin_cpu_supports("avx2");
    case Needs::avx512: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
    default: return false;
    }
}

inline const char *needs_name(Needs needs) {
    return needs == Needs::avx2 ? "AVX2" : needs == Needs::avx512 ? "AVX-512F and AVX-512BW" : "nothing";
}

template <class T, size_t N>
std::vector<T> runnable(const T (&all)[N]) {
    std::vector<T> out;
    for (const T &r : all)
        if (runs_here(r.needs)) out.push_back(r);
    return out;
}

// The routines this processor runs.
inline const std::vector<Masker> &maskers() {
    static const std::vector<Masker> list = runnable(kAllMaskers);
    return list;
}

inline const std::vector<Copier> &copiers() {
    static const std::vector<Copier> list = runnable(kAllCopiers);
    return list;
}

inline xormask_state *mask_record(void *h) { return static_cast<xormask_state *>(h); }

// Names the routines this build or this processor leaves out, with the reason.
inline void print_skipped_maskers() {
#if !defined(__x86_64__)
    std::printf("skipped sse2, avx2, avx512 and their copy routines: they exist on x86-64 only\n");
#endif
#if !defined(__aarch64__)
    std::printf("skipped neon and its copy routine: they exist on aarch64 only\n");
#endif
    for (const Masker &m : kAllMaskers)
        if (!runs_here(m.needs)) std::printf("skipped %s: the processor lacks %s\n", m.name, needs_name(m.needs));
    for (const Copier &c : kAllCopiers)
        if (!runs_here(c.needs)) std::printf("skipped %s: the processor lacks %s\n", c.name, needs_name(c.needs));
}

// n bytes at offset `residue` (mod 64) in a 64-byte line, after `residue`
// canary bytes and followed by `after` canary bytes. With after = 0 the
// allocation ends at the piece's last byte, so AddressSanitizer sees any
// access past it; with canaries after it, a write past it shows in any
// build. Under memcheck the canaries are inaccessible.
class LinePiece {
public:
    static constexpr uint8_t kCanary = 0xA5;

    LinePiece(const uint8_t *src, size_t n, unsigned residue, size_t after = 0)
        : n_(n), before_(residue & 63u), after_(after) {
        const size_t total = before_ + n + after;
        void *raw = nullptr;
        if (posix_memalign(&raw, 64, total == 0 ? 1 : total) != 0) std::abort();
        raw_ = static_cast<uint8_t *>(raw);
        std::memset(raw_, kCanary, before_);
        if (n != 0) std::memcpy(raw_ + before_, src, n);
        std::memset(raw_ + before_ + n, kCanary, after_);
        TAV_NOACCESS(raw_, before_);
        TAV_NOACCESS(raw_ + before_ + n, after_);
    }
    LinePiece(const LinePiece &) = delete;
    LinePiece &operator=(const LinePiece &) = delete;
    ~LinePiece() {
        TAV_DEFINED(raw_, before_ + n_ + after_);
        std::free(raw_);
    }
    uint8_t *data() { return raw_ + before_; }
    size_t size() const { return n_; }
    // True when no canary byte was written.
    bool canaries_intact() {
        TAV_DEFINED(raw_, before_);
        TAV_DEFINED(raw_ + before_ + n_, after_);
        bool ok = true;
        for (size_t i = 0; i < before_; ++i) ok = ok && raw_[i] == kCanary;
        for (size_t i = 0; i < after_; ++i) ok = ok && raw_[before_ + n_ + i] == kCanary;
        TAV_NOACCESS(raw_, before_);
        TAV_NOACCESS(raw_ + before_ + n_, after_);
        return ok;
    }

private:
    uint8_t *raw_ = nullptr;
    size_t n_;
    size_t before_;
    size_t after_;
};

}  // namespace nt

#endif  // TAV_MASK_MODEL_H
