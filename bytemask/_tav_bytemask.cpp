// SPDX-License-Identifier: MIT
// XOR masker library of _tav_bytemask: record, byte loop, the dispatcher and,
// on x86-64 only, the SSE2 routine. The SSE2 routine assembles its key vector
// with SSE4.1 byte inserts, so it carries the SSE4.1 target; the cffi module
// is built for SSE4.1 as a whole on x86-64. Elsewhere the byte loop serves
// every implementation number.
#include <cstdlib>  // malloc, free

#if defined(__x86_64__)
#include <immintrin.h>  // SSE2 load/xor/store, SSE4.1 _mm_insert_epi8
#endif

#include "tav_bytemask.h"

namespace {

xormask_state *record(void *handle) { return static_cast<xormask_state *>(handle); }

// Mask n bytes one at a time, taking the key from stream position p on.
inline void mask_bytes(const uint8_t key[4], size_t p, uint8_t *data, size_t n) {
    for (size_t i = 0; i < n; ++i) data[i] ^= key[(p + i) & 3];
}

#if defined(__x86_64__)
// 16 key bytes starting at key phase q: key[q%4], key[(q+1)%4], ...
__attribute__((target("sse4.1"))) inline __m128i key_vector(const uint8_t key[4], size_t q) {
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
#endif

// Byte loop: implementation 1 and every number but 2 (on x86-64; all numbers elsewhere).
inline size_t process_simple(xormask_state *st, uint8_t *data, size_t length) {
    const size_t p = st->pointer;
    mask_bytes(st->mask, p, data, length);
    return st->pointer = p + length;
}

#if defined(__x86_64__)
// Aligned 16-byte blocks between a byte-wise head and tail: implementation 2.
__attribute__((target("sse4.1"))) inline size_t process_sse2(xormask_state *st, uint8_t *data, size_t length) {
    size_t p = st->pointer;
    if (length >= 16) {
        // Head: bring data to a 16-byte boundary.
        const size_t misalign = reinterpret_cast<uintptr_t>(data) & 15u;
        if (misalign != 0) {
            const size_t head = 16 - misalign;
            mask_bytes(st->mask, p, data, head);
            data += head;
            p += head;
            length -= head;
        }
        if (length >= 16) {
            // Every block starts at the same key phase, so one vector serves all.
            const __m128i key = key_vector(st->mask, p);
            __m128i *block = reinterpret_cast<__m128i *>(data);
            const size_t blocks = length / 16;
            size_t j = 0;
            for (; j + 4 <= blocks; j += 4) {
                __m128i a = _mm_load_si128(block + j);
                __m128i b = _mm_load_si128(block + j + 1);
                __m128i c = _mm_load_si128(block + j + 2);
                __m128i d = _mm_load_si128(block + j + 3);
                _mm_store_si128(block + j, _mm_xor_si128(a, key));
                _mm_store_si128(block + j + 1, _mm_xor_si128(b, key));
                _mm_store_si128(block + j + 2, _mm_xor_si128(c, key));
                _mm_store_si128(block + j + 3, _mm_xor_si128(d, key));
            }
            for (; j < blocks; ++j) _mm_store_si128(block + j, _mm_xor_si128(_mm_load_si128(block + j), key));
            data += 16 * blocks;
            p += 16 * blocks;
            length &= 15u;
        }
    }
    // Tail, or the whole of a short buffer.
    mask_bytes(st->mask, p, data, length);
    return st->pointer = p + length;
}
#endif  // __x86_64__

}  // namespace

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
        st->impl = 2;  // the default: the SSE2 routine on x86-64
    } else if (impl < 3) {
        st->impl = impl;  // 1, 2 and negative numbers are kept as given
    }
    return st->impl;  // 3 and above leave the number in force
}

TAV_MASK_API size_t _tav_xormask_process_simple(void *handle, uint8_t *data, size_t length) {
    return process_simple(record(handle), data, length);
}

#if defined(__x86_64__)
TAV_MASK_API __attribute__((target("sse4.1"))) size_t _tav_xormask_process_sse2(void *handle, uint8_t *data, size_t length) {
    return process_sse2(record(handle), data, length);
}
#endif

// The routines are called directly, not through the exported (interposable) symbols.
TAV_MASK_API size_t tav_xormask_process(void *handle, uint8_t *data, size_t length) {
    xormask_state *st = record(handle);
#if defined(__x86_64__)
    if (st->impl == 2) return process_sse2(st, data, length);
#endif
    return process_simple(st, data, length);
}
