// SPDX-License-Identifier: MIT
// _tav_native, which library routine serves a call: the processor check, the
// routine in force for a chunk of n bytes, the interpreter lock around long
// calls, and fresh records. Part of the one unit that _tav_native.cpp builds.
#ifndef TAV_CAPI_ROUTINES_H
#define TAV_CAPI_ROUTINES_H

#include <cstdint>  // uintptr_t
#include <cstdlib>  // getenv, strtoul
#include <cstring>  // memcpy

#include "module.h"

namespace {

// The processor's features as the validator library reports them, less any
// that TAV_CPU_FEATURES_MASK takes away (tests force the fallbacks with it;
// it can only remove features, never add one).
inline unsigned cpu_features() {
    unsigned features = tav_cpu_features();
    if (const char *mask = std::getenv("TAV_CPU_FEATURES_MASK"); mask != nullptr && *mask != '\0') {
        features &= static_cast<unsigned>(std::strtoul(mask, nullptr, 0));
    }
    return features;
}

// The widest masking routine this processor runs: what "auto" masks with, up
// to AVX2_FROM bytes on a processor with AVX-512. NEON is part of every
// aarch64 processor.
inline int widest_mask(unsigned features) {
#if defined(TAV_MASK_X86_64)
    if ((features & TAV_CPU_AVX512F) && (features & TAV_CPU_AVX512BW)) return MASK_AVX512;
    if (features & TAV_CPU_AVX2) return MASK_AVX2;
    if (features & TAV_CPU_SSE41) return MASK_SSE2;
#elif defined(TAV_MASK_AARCH64)
    return MASK_NEON;
#endif
    (void)features;
    return MASK_BYTES;
}

// With AVX-512, "auto" masks buffers of at least this many bytes with AVX2.
// `python -m tav.bench.mask` (Intel Xeon, 2 MiB of L2 a core; its table of the
// automatic choice beside each routine forced, thread CPU time): below 1 MiB
// AVX-512 is ahead or level (1.2-1.4x AVX2 at 16-48 KiB, within 3% from 64 KiB
// to 1 MiB); from 1.25 MiB on, out of the L2, AVX2 is ahead in nearly every
// run (2-4 MiB: 1.02-1.19x), and at 16-64 MiB the lead goes either way with
// the machine's load. AMD's Zen 4 runs AVX-512 on 256-bit units, where AVX2
// should be level with it out of the L2; not measured here.
constexpr size_t AVX2_FROM = 1024 * 1024;

// The widest vector validator this processor runs, or 0.
inline int best_vector_routine(unsigned features) {
#if defined(TAV_UTF8_X86_64)
    if ((features & TAV_CPU_AVX512F) && (features & TAV_CPU_AVX512BW)) return UTF8_AVX512;
    if (features & TAV_CPU_AVX2) return UTF8_AVX2;
    if (features & TAV_CPU_SSSE3) return UTF8_SSSE3;
#elif defined(TAV_UTF8_AARCH64)
    return UTF8_NEON;
#endif
    (void)features;
    return 0;
}

// Whether this processor runs the validation routine `routine`.
inline bool runs_utf8(const Shared *sh, int routine) {
    if (routine <= UTF8_UNROLLED) return true;
#if defined(TAV_UTF8_X86_64)
    return routine == UTF8_SSE2 || (routine <= UTF8_AVX512 && routine <= sh->vector_routine);
#else
    return routine == sh->vector_routine;
#endif
}

// Whether this processor runs the masking routine `routine`.
inline bool runs_mask(const Shared *sh, int routine) {
    if (routine == MASK_BYTES || routine == MASK_AUTO) return true;
#if defined(TAV_MASK_X86_64)
    if (routine == MASK_SSE2) return sh->has_sse41;
    return (routine == MASK_AVX2 || routine == MASK_AVX512) && routine <= sh->auto_mask;
#else
    return routine == sh->auto_mask;
#endif
}

// The masking routine in force for a buffer of n bytes.
inline int mask_routine_for(const Shared *sh, size_t n) {
    const int routine = sh->mask_routine.load(std::memory_order_relaxed);
    if (routine != MASK_AUTO) return routine;
    return n >= sh->auto_large_from ? sh->auto_large : sh->auto_mask;
}

#if defined(TAV_UTF8_X86_64)
inline int run_vector(int routine, utf8vld_state *rec, const uint8_t *p, size_t n) {
    switch (routine) {
        case UTF8_AVX512: return _tav_utf8vld_validate_avx512(rec, p, n);
        case UTF8_AVX2: return _tav_utf8vld_validate_avx2(rec, p, n);
        default: return _tav_utf8vld_validate_ssse3(rec, p, n);
    }
}
#elif defined(TAV_UTF8_AARCH64)
inline int run_vector(int, utf8vld_state *rec, const uint8_t *p, size_t n) {
    return _tav_utf8vld_validate_neon(rec, p, n);
}
#endif

// One chunk through the routine in force. With `exact`, a rejection leaves the
// record as the dispatcher alone leaves it: the block validator locates a
// rejection only to its 16-byte unit, so its rejected chunk is undone and
// replayed through the dispatcher.
inline int run_validate(const Shared *sh, utf8vld_state *rec, const uint8_t *p, size_t n, [[maybe_unused]] bool exact) {
    const int routine = sh->utf8_routine.load(std::memory_order_relaxed);
    if (routine == UTF8_TABLE) return _tav_utf8vld_validate_table(rec, p, n);
#if defined(TAV_UTF8_X86_64) || defined(TAV_UTF8_AARCH64)
    if (routine >= UTF8_SSSE3) return run_vector(routine, rec, p, n);
    if (routine == UTF8_AUTO && sh->vector_routine != 0) {
        if (n >= VECTOR_FROM[sh->vector_routine]) return run_vector(sh->vector_routine, rec, p, n);
        return tav_utf8vld_validate(rec, p, n);
    }
#endif
#if defined(TAV_UTF8_X86_64)
    bool block = routine == UTF8_SSE2;
    if (routine == UTF8_AUTO) {
        const size_t head = (0 - reinterpret_cast<uintptr_t>(p)) & 15u;  // bytes before the first boundary
        block = n >= head + static_cast<size_t>(BLOCK_VALIDATOR_THRESHOLD);
    }
    if (block) {
        const utf8vld_state saved = *rec;
        const int r = _tav_utf8vld_validate_sse2(rec, p, n);
        if (r >= 0 || !exact) return r;
        *rec = saved;
    }
#endif
    return tav_utf8vld_validate(rec, p, n);
}

// n bytes masked in place with `routine` (from mask_routine_for).
inline void run_mask_with(int routine, xormask_state *rec, uint8_t *p, size_t n) {
    switch (routine) {
#if defined(TAV_MASK_X86_64)
        case MASK_AVX512: _tav_xormask_process_avx512(rec, p, n); return;
        case MASK_AVX2: _tav_xormask_process_avx2(rec, p, n); return;
        case MASK_SSE2: _tav_xormask_process_sse2(rec, p, n); return;
#elif defined(TAV_MASK_AARCH64)
        case MASK_NEON: _tav_xormask_process_neon(rec, p, n); return;
#endif
        default: _tav_xormask_process_simple(rec, p, n); return;
    }
}

inline void run_mask(const Shared *sh, xormask_state *rec, uint8_t *p, size_t n) {
    run_mask_with(mask_routine_for(sh, n), rec, p, n);
}

// dst = src masked, in one pass (the masked copies read and write each byte once).
inline void run_copy(const Shared *sh, xormask_state *rec, const uint8_t *src, uint8_t *dst, size_t n) {
    switch (mask_routine_for(sh, n)) {
#if defined(TAV_MASK_X86_64)
        case MASK_AVX512: _tav_xormask_copy_avx512(rec, src, dst, n); return;
        case MASK_AVX2: _tav_xormask_copy_avx2(rec, src, dst, n); return;
        case MASK_SSE2: _tav_xormask_copy_sse2(rec, src, dst, n); return;
#elif defined(TAV_MASK_AARCH64)
        case MASK_NEON: _tav_xormask_copy_neon(rec, src, dst, n); return;
#endif
        default: _tav_xormask_copy_simple(rec, src, dst, n); return;
    }
}

// f() with the interpreter lock released when n is large enough for that to pay.
template <typename F>
inline auto unlocked_if_long(const Shared *sh, Py_ssize_t n, F f) {
    if (n >= sh->release_from.load(std::memory_order_relaxed)) {
        PyThreadState *ts = PyEval_SaveThread();
        auto r = f();
        PyEval_RestoreThread(ts);
        return r;
    }
    return f();
}

// Fresh records, field for field as tav_utf8vld_new (then set_impl(2): the
// dispatcher runs the unrolled routine) and tav_xormask_new leave them.
inline void init_validator_record(utf8vld_state *rec) {
    rec->current_index = 0;
    rec->total_index = 0;
    rec->state = UTF8_ACCEPT;
    rec->impl = 2;
}

inline void init_masker_record(xormask_state *rec, const uint8_t key[4]) {
    std::memcpy(rec->mask, key, 4);
    rec->pointer = 0;
    rec->impl = 2;
}

}  // namespace

#endif  // TAV_CAPI_ROUTINES_H
