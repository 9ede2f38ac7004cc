// SPDX-License-Identifier: MIT
// XOR masker library of _tav_bytemask: record, byte loop, the dispatcher and
// the vector routines, all of them one kernel (mask_kernel.h) over a
// register trait per processor family: on x86-64 SSE2, AVX2 and AVX-512, on
// aarch64 NEON. The in-place SSE2 routine assembles its key vector with
// SSE4.1 byte inserts, so it carries the SSE4.1 target; the cffi module is
// built for SSE4.1 as a whole on x86-64. The AVX2 and AVX-512 routines carry
// their own targets and sit behind no implementation number: callers that
// have checked the processor call them by name. Beside the in-place
// routines, the copy routines write the masked bytes of one buffer into
// another in the same pass. NEON is part of every aarch64 processor, so the
// dispatcher runs it for implementation 2 there. Elsewhere the byte loops
// serve everything.
#include <cstdlib>  // malloc, free
#include <cstring>  // memcpy: word-sized reads and writes at any alignment

#include "mask_compiler.h"
#include "tav_bytemask.h"

namespace {

xormask_state *record(void *handle) { return static_cast<xormask_state *>(handle); }

// Byte loop: implementation 1 and every number but 2 (on x86-64 and aarch64;
// all numbers elsewhere).
inline size_t process_simple(xormask_state *st, uint8_t *data, size_t length) {
    const size_t p = st->pointer;
    for (size_t i = 0; i < length; ++i) data[i] ^= st->mask[(p + i) & 3];
    return st->pointer = p + length;
}

}  // namespace

#if defined(TAV_MASK_X86_64)
// ---------------------------------------------------------------- SSE2
#define TAV_MASK_TARGET "sse2"
#define TAV_MASK_NS tav_mask_sse2
#include "mask_kernel.h"

namespace tav_mask_sse2 TAV_MASK_HIDDEN {

// 16-byte registers; from 32 bytes on, a head of up to 15 bytes brings dst
// to a 16-byte boundary; the rest, or a shorter piece, in word steps.
struct Sse2 {
    using reg = __m128i;
    using Key = uint64_t;
    static constexpr size_t kWidth = 16;
    static constexpr size_t kBlocksFrom = 32;

    static TAV_MASK_INLINE Key start(const uint8_t key[4], size_t p) { return tav_mask::key_word(key, p); }
    static TAV_MASK_INLINE Key skip(Key k, size_t) { return k; }
    static TAV_MASK_INLINE reg splat(Key k) { return _mm_set1_epi64x(static_cast<long long>(k)); }
    static TAV_MASK_INLINE reg load(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static TAV_MASK_INLINE void store(uint8_t *p, reg v) { _mm_store_si128(reinterpret_cast<__m128i *>(p), v); }
    static TAV_MASK_INLINE reg xor_(reg a, reg b) { return _mm_xor_si128(a, b); }
    static TAV_MASK_INLINE void xor_16(const uint8_t *src, uint8_t *dst, Key k) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_xor_si128(load(src), splat(k)));
    }
    static TAV_MASK_INLINE Key head(const uint8_t *src, uint8_t *dst, size_t h, Key k) {
        return step_head<Sse2>(src, dst, h, k);
    }
    static TAV_MASK_INLINE void tail(const uint8_t *src, uint8_t *dst, size_t n, Key k) {
        step_rest<Sse2>(src, dst, n, k);
    }
};

}  // namespace tav_mask_sse2
#undef TAV_MASK_INLINE
#undef TAV_MASK_NS
#undef TAV_MASK_TARGET

// ---------------------------------------------------------------- SSE4.1: the in-place SSE2 routine
#define TAV_MASK_TARGET "sse4.1"
#define TAV_MASK_NS tav_mask_sse41
#include "mask_kernel.h"

namespace tav_mask_sse41 TAV_MASK_HIDDEN {

// The key and the stream position of the next byte.
struct KeyAt {
    const uint8_t *key;
    size_t p;
};

// _tav_xormask_process_sse2: 16-byte registers, aligned loads and stores;
// a piece below 16 bytes, the head up to the first 16-byte boundary and the
// tail go byte by byte, and the key vector is assembled from the key bytes
// with SSE4.1 inserts. In place only.
struct Sse2Bytes : tav_mask_sse2::Sse2 {
    using Key = KeyAt;
    static constexpr size_t kBlocksFrom = 16;

    static TAV_MASK_INLINE Key start(const uint8_t key[4], size_t p) { return {key, p}; }
    static TAV_MASK_INLINE Key skip(Key k, size_t m) { return {k.key, k.p + m}; }
    // 16 key bytes starting at key phase p: key[p%4], key[(p+1)%4], ...
    static TAV_MASK_INLINE reg splat(Key k) {
        const uint8_t *key = k.key;
        const size_t q = k.p;
        __m128i v = _mm_setzero_si128();
        v = _mm_insert_epi8(v, key[(q + 0) & 3], 0);
        v = _mm_insert_epi8(v, key[(q + 1) & 3], 1);
        v = _mm_insert_epi8(v, key[(q + 2) & 3], 2);
        v = _mm_insert_epi8(v, key[(q + 3) & 3], 3);
        v = _mm_insert_epi8(v, key[(q + 0) & 3], 4);
        v = _mm_insert_epi8(v, key[(q + 1) & 3], 5);
        v = _mm_insert_epi8(v, key[(q + 2) & 3], 6);
        v = _mm_insert_epi8(v, key[(q + 3) & 3], 7);
        v = _mm_insert_epi8(v, key[(q + 0) & 3], 8);
        v = _mm_insert_epi8(v, key[(q + 1) & 3], 9);
        v = _mm_insert_epi8(v, key[(q + 2) & 3], 10);
        v = _mm_insert_epi8(v, key[(q + 3) & 3], 11);
        v = _mm_insert_epi8(v, key[(q + 0) & 3], 12);
        v = _mm_insert_epi8(v, key[(q + 1) & 3], 13);
        v = _mm_insert_epi8(v, key[(q + 2) & 3], 14);
        v = _mm_insert_epi8(v, key[(q + 3) & 3], 15);
        return v;
    }
    static TAV_MASK_INLINE reg load(const uint8_t *p) { return _mm_load_si128(reinterpret_cast<const __m128i *>(p)); }
    static TAV_MASK_INLINE Key head(const uint8_t *src, uint8_t *dst, size_t h, Key k) {
        tav_mask::xor_bytes(k.key, k.p, src, dst, h);
        return {k.key, k.p + h};
    }
    static TAV_MASK_INLINE void tail(const uint8_t *src, uint8_t *dst, size_t n, Key k) {
        tav_mask::xor_bytes(k.key, k.p, src, dst, n);
    }
};

// The dispatcher's copy of _tav_xormask_process_sse2, called without the
// exported (interposable) symbol.
TAV_MASK_TARGETED("sse4.1") size_t process_sse2(xormask_state *st, uint8_t *data, size_t length) {
    return run<Sse2Bytes>(st, data, data, length);
}

}  // namespace tav_mask_sse41
#undef TAV_MASK_INLINE
#undef TAV_MASK_NS
#undef TAV_MASK_TARGET

// ---------------------------------------------------------------- AVX2
#define TAV_MASK_TARGET "avx2"
#define TAV_MASK_NS tav_mask_avx2
#include "mask_kernel.h"

namespace tav_mask_avx2 TAV_MASK_HIDDEN {

// 32-byte registers; from 64 bytes on, a head of up to 31 bytes brings dst
// to a 32-byte boundary; the rest, or a shorter piece, in one unaligned
// 32-byte step and word steps.
struct Avx2 {
    using reg = __m256i;
    using Key = uint64_t;
    static constexpr size_t kWidth = 32;
    static constexpr size_t kBlocksFrom = 64;

    static TAV_MASK_INLINE Key start(const uint8_t key[4], size_t p) { return tav_mask::key_word(key, p); }
    static TAV_MASK_INLINE Key skip(Key k, size_t) { return k; }
    static TAV_MASK_INLINE reg splat(Key k) { return _mm256_set1_epi64x(static_cast<long long>(k)); }
    static TAV_MASK_INLINE reg load(const uint8_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static TAV_MASK_INLINE void store(uint8_t *p, reg v) { _mm256_store_si256(reinterpret_cast<__m256i *>(p), v); }
    static TAV_MASK_INLINE reg xor_(reg a, reg b) { return _mm256_xor_si256(a, b); }
    static TAV_MASK_INLINE void xor_16(const uint8_t *src, uint8_t *dst, Key k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_xor_si128(v, _mm_set1_epi64x(static_cast<long long>(k))));
    }
    static TAV_MASK_INLINE Key head(const uint8_t *src, uint8_t *dst, size_t h, Key k) {
        return step_head<Avx2>(src, dst, h, k);
    }
    // Up to 63 bytes: one unaligned 32-byte step first where they fill it.
    static TAV_MASK_INLINE void tail(const uint8_t *src, uint8_t *dst, size_t n, Key k) {
        if (n >= 32) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), xor_(load(src), splat(k)));
            src += 32;
            dst += 32;
            n -= 32;
        }
        step_rest<Avx2>(src, dst, n, k);
    }
};

}  // namespace tav_mask_avx2
#undef TAV_MASK_INLINE
#undef TAV_MASK_NS
#undef TAV_MASK_TARGET

// ---------------------------------------------------------------- AVX-512
#define TAV_MASK_TARGET "avx512f,avx512bw"
#define TAV_MASK_NS tav_mask_avx512
#include "mask_kernel.h"

namespace tav_mask_avx512 TAV_MASK_HIDDEN {

// 64-byte registers and byte masks: masked-off bytes are neither read nor
// written and cannot fault. Below 64 bytes, one masked vector. From 64
// bytes on, the head is a masked vector on the 64-byte line that holds
// dst's first byte (so the head store never crosses a line), and the tail a
// masked vector for the rest.
struct Avx512 {
    using reg = __m512i;
    using Key = uint64_t;
    static constexpr size_t kWidth = 64;
    static constexpr size_t kBlocksFrom = 64;

    static TAV_MASK_INLINE Key start(const uint8_t key[4], size_t p) { return tav_mask::key_word(key, p); }
    static TAV_MASK_INLINE Key skip(Key k, size_t) { return k; }
    static TAV_MASK_INLINE reg splat(Key k) { return _mm512_set1_epi64(static_cast<long long>(k)); }
    static TAV_MASK_INLINE reg load(const uint8_t *p) { return _mm512_loadu_si512(p); }
    static TAV_MASK_INLINE void store(uint8_t *p, reg v) { _mm512_store_si512(p, v); }
    static TAV_MASK_INLINE reg xor_(reg a, reg b) { return _mm512_xor_si512(a, b); }
    static TAV_MASK_INLINE void xor_masked(const uint8_t *src, uint8_t *dst, __mmask64 m, reg key) {
        _mm512_mask_storeu_epi8(dst, m, _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, src), key));
    }
    // The first n (< 64) bytes.
    static TAV_MASK_INLINE __mmask64 first(size_t n) { return (static_cast<uint64_t>(1) << n) - 1; }
    static TAV_MASK_INLINE Key head(const uint8_t *src, uint8_t *dst, size_t h, Key k) {
        // The line starts 64 - h bytes before dst, at the key phase of dst + h.
        k = rotate_bytes(k, static_cast<unsigned>(h & 3u));
        const size_t lead = 64 - h;
        // The addresses before the buffers are formed as integers: only the
        // masked-on bytes, the buffers' own, are accessed.
        const uint8_t *line_src = reinterpret_cast<const uint8_t *>(reinterpret_cast<uintptr_t>(src) - lead);
        uint8_t *line_dst = reinterpret_cast<uint8_t *>(reinterpret_cast<uintptr_t>(dst) - lead);
        xor_masked(line_src, line_dst, ~static_cast<uint64_t>(0) << lead, splat(k));
        return k;
    }
    static TAV_MASK_INLINE void tail(const uint8_t *src, uint8_t *dst, size_t n, Key k) {
        if (n != 0) xor_masked(src, dst, first(n), splat(k));
    }
};

}  // namespace tav_mask_avx512
#undef TAV_MASK_INLINE
#undef TAV_MASK_NS
#undef TAV_MASK_TARGET
#endif  // TAV_MASK_X86_64

#if defined(TAV_MASK_AARCH64)
// ---------------------------------------------------------------- NEON
// Baseline on aarch64: no target attribute.
#define TAV_MASK_NS tav_mask_neon
#include "mask_kernel.h"

namespace tav_mask_neon TAV_MASK_HIDDEN {

// 16-byte registers; the edges as for SSE2.
struct Neon {
    using reg = uint8x16_t;
    using Key = uint64_t;
    static constexpr size_t kWidth = 16;
    static constexpr size_t kBlocksFrom = 32;

    static TAV_MASK_INLINE Key start(const uint8_t key[4], size_t p) { return tav_mask::key_word(key, p); }
    static TAV_MASK_INLINE Key skip(Key k, size_t) { return k; }
    static TAV_MASK_INLINE reg splat(Key k) { return vreinterpretq_u8_u64(vdupq_n_u64(k)); }
    static TAV_MASK_INLINE reg load(const uint8_t *p) { return vld1q_u8(p); }
    static TAV_MASK_INLINE void store(uint8_t *p, reg v) { vst1q_u8(p, v); }
    static TAV_MASK_INLINE reg xor_(reg a, reg b) { return veorq_u8(a, b); }
    static TAV_MASK_INLINE void xor_16(const uint8_t *src, uint8_t *dst, Key k) { store(dst, xor_(load(src), splat(k))); }
    static TAV_MASK_INLINE Key head(const uint8_t *src, uint8_t *dst, size_t h, Key k) {
        return step_head<Neon>(src, dst, h, k);
    }
    static TAV_MASK_INLINE void tail(const uint8_t *src, uint8_t *dst, size_t n, Key k) {
        step_rest<Neon>(src, dst, n, k);
    }
};

}  // namespace tav_mask_neon
#undef TAV_MASK_INLINE
#undef TAV_MASK_NS
#endif  // TAV_MASK_AARCH64

TAV_MASK_API void *tav_xormask_new(const uint8_t *key) {
    auto *st = static_cast<xormask_state *>(std::malloc(sizeof(xormask_state)));
    if (st != nullptr) {
        for (int k = 0; k < 4; ++k) st->mask[k] = key[k];
        st->pointer = 0;
        st->impl = 2;
    }
    return st;
}

TAV_MASK_API void tav_xormask_free(void *handle) { std::free(handle); }

TAV_MASK_API void tav_xormask_reset(void *handle) { record(handle)->pointer = 0; }

TAV_MASK_API size_t tav_xormask_pointer(void *handle) { return record(handle)->pointer; }

TAV_MASK_API int tav_xormask_get_impl(void *handle) { return record(handle)->impl; }

TAV_MASK_API int tav_xormask_set_impl(void *handle, int impl) {
    xormask_state *st = record(handle);
    if (impl == 0) {
        st->impl = 2;  // the default: the vector routine (SSE2 on x86-64, NEON on aarch64)
    } else if (impl < 3) {
        st->impl = impl;  // 1, 2 and negative numbers are kept as given
    }
    return st->impl;  // 3 and above leave the number in force
}

TAV_MASK_API size_t _tav_xormask_process_simple(void *handle, uint8_t *data, size_t length) {
    return process_simple(record(handle), data, length);
}

TAV_MASK_API size_t _tav_xormask_copy_simple(void *handle, const uint8_t *src, uint8_t *dst, size_t length) {
    xormask_state *st = record(handle);
    const size_t p = st->pointer;
    for (size_t i = 0; i < length; ++i) dst[i] = src[i] ^ st->mask[(p + i) & 3];
    return st->pointer = p + length;
}

#if defined(TAV_MASK_X86_64)
TAV_MASK_API TAV_MASK_TARGETED("sse4.1") size_t _tav_xormask_process_sse2(void *handle, uint8_t *data, size_t length) {
    return tav_mask_sse41::run<tav_mask_sse41::Sse2Bytes>(record(handle), data, data, length);
}

TAV_MASK_API TAV_MASK_TARGETED("avx2") size_t _tav_xormask_process_avx2(void *handle, uint8_t *data, size_t length) {
    return tav_mask_avx2::run<tav_mask_avx2::Avx2>(record(handle), data, data, length);
}

TAV_MASK_API TAV_MASK_TARGETED("avx512f,avx512bw") size_t _tav_xormask_process_avx512(void *handle, uint8_t *data,
                                                                                      size_t length) {
    return tav_mask_avx512::run<tav_mask_avx512::Avx512>(record(handle), data, data, length);
}

TAV_MASK_API TAV_MASK_TARGETED("sse2") size_t _tav_xormask_copy_sse2(void *handle, const uint8_t *src, uint8_t *dst,
                                                                     size_t length) {
    return tav_mask_sse2::run<tav_mask_sse2::Sse2>(record(handle), src, dst, length);
}

TAV_MASK_API TAV_MASK_TARGETED("avx2") size_t _tav_xormask_copy_avx2(void *handle, const uint8_t *src, uint8_t *dst,
                                                                     size_t length) {
    return tav_mask_avx2::run<tav_mask_avx2::Avx2>(record(handle), src, dst, length);
}

TAV_MASK_API TAV_MASK_TARGETED("avx512f,avx512bw") size_t _tav_xormask_copy_avx512(void *handle, const uint8_t *src,
                                                                                   uint8_t *dst, size_t length) {
    return tav_mask_avx512::run<tav_mask_avx512::Avx512>(record(handle), src, dst, length);
}
#endif

#if defined(TAV_MASK_AARCH64)
TAV_MASK_API size_t _tav_xormask_process_neon(void *handle, uint8_t *data, size_t length) {
    return tav_mask_neon::run<tav_mask_neon::Neon>(record(handle), data, data, length);
}

TAV_MASK_API size_t _tav_xormask_copy_neon(void *handle, const uint8_t *src, uint8_t *dst, size_t length) {
    return tav_mask_neon::run<tav_mask_neon::Neon>(record(handle), src, dst, length);
}
#endif

// The routines are called directly, not through the exported (interposable) symbols.
TAV_MASK_API size_t tav_xormask_process(void *handle, uint8_t *data, size_t length) {
    xormask_state *st = record(handle);
#if defined(TAV_MASK_X86_64)
    if (st->impl == 2) return tav_mask_sse41::process_sse2(st, data, length);
#elif defined(TAV_MASK_AARCH64)
    if (st->impl == 2) return tav_mask_neon::run<tav_mask_neon::Neon>(st, data, data, length);
#endif
    return process_simple(st, data, length);
}

