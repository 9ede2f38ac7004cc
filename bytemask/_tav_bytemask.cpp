// SPDX-License-Identifier: MIT
// XOR masker library of _tav_bytemask: record, byte loop, the dispatcher and,
// on x86-64 only, the vector routines. The SSE2 routine assembles its key
// vector with SSE4.1 byte inserts, so it carries the SSE4.1 target; the cffi
// module is built for SSE4.1 as a whole on x86-64. The AVX2 and AVX-512
// routines carry their own targets and sit behind no implementation number:
// callers that have checked the processor call them by name. Beside the
// in-place routines, the copy routines write the masked bytes of one buffer
// into another in the same pass. Elsewhere the byte loops serve everything.
#include <cstdlib>  // malloc, free
#include <cstring>  // memcpy: word-sized reads and writes at any alignment

#if defined(__x86_64__)
#include <immintrin.h>  // SSE2/AVX2/AVX-512 load/xor/store, SSE4.1 _mm_insert_epi8
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

#if defined(__x86_64__)
// ---------------------------------------------------------------- copy and wide kernels
//
// These kernels write dst[i] = src[i] XOR key byte (p + i) % 4; with
// src == dst they mask in place. src and dst are the same buffer or do not
// overlap. Loads from src are unaligned; stores to dst are aligned after a
// head. Each source byte is read once and each destination byte written
// once; nothing outside the two buffers is accessed.
//
// They carry the key as a 64-bit word: two copies of the key rotated so that
// its byte 0 (lowest address) is the key byte of the next data byte. A 4-,
// 8-, 16-, 32- or 64-byte step keeps the word; a 1- or 2-byte step rotates it
// by 8 or 16 bits.

// Key word for stream position q: byte k is key[(q + k) % 4].
inline uint64_t key_word(const uint8_t key[4], size_t q) {
    uint32_t w;
    std::memcpy(&w, key, 4);
    const unsigned s = 8u * static_cast<unsigned>(q & 3u);
    if (s != 0) w = (w >> s) | (w << (32u - s));
    return static_cast<uint64_t>(w) << 32 | w;
}

inline uint64_t rotate_bytes(uint64_t k, unsigned bytes) { return (k >> (8u * bytes)) | (k << (64u - 8u * bytes)); }

// XOR the first sizeof(T) bytes of the key word into sizeof(T) bytes (1, 2, 4 or 8).
template <class T>
inline void xor_word(const uint8_t *src, uint8_t *dst, uint64_t k) {
    T v;
    std::memcpy(&v, src, sizeof v);
    v ^= static_cast<T>(k);
    std::memcpy(dst, &v, sizeof v);
}

inline void xor_16(const uint8_t *src, uint8_t *dst, uint64_t k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_xor_si128(v, _mm_set1_epi64x(static_cast<long long>(k))));
}

__attribute__((target("avx2"))) inline void xor_32(const uint8_t *src, uint8_t *dst, uint64_t k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst),
                        _mm256_xor_si256(v, _mm256_set1_epi64x(static_cast<long long>(k))));
}

// The head bytes (fewer than 32) up to a 32- or 16-byte boundary of dst, in
// steps of 1, 2, 4, 8 and 16, smallest first, so that each step lands on an
// address aligned to its size; advances src and dst and returns the key
// word for the byte after them.
inline uint64_t xor_up_to_boundary(const uint8_t *&src, uint8_t *&dst, size_t head, uint64_t k) {
    if (head & 1) xor_word<uint8_t>(src, dst, k), src += 1, dst += 1, k = rotate_bytes(k, 1);
    if (head & 2) xor_word<uint16_t>(src, dst, k), src += 2, dst += 2, k = rotate_bytes(k, 2);
    if (head & 4) xor_word<uint32_t>(src, dst, k), src += 4, dst += 4;
    if (head & 8) xor_word<uint64_t>(src, dst, k), src += 8, dst += 8;
    if (head & 16) xor_16(src, dst, k), src += 16, dst += 16;
    return k;
}

// The last n bytes (fewer than 32) in steps of 16, 8, 4, 2 and 1, largest first.
inline void xor_rest(const uint8_t *src, uint8_t *dst, size_t n, uint64_t k) {
    if (n & 16) xor_16(src, dst, k), src += 16, dst += 16;
    if (n & 8) xor_word<uint64_t>(src, dst, k), src += 8, dst += 8;
    if (n & 4) xor_word<uint32_t>(src, dst, k), src += 4, dst += 4;
    if (n & 2) xor_word<uint16_t>(src, dst, k), src += 2, dst += 2, k = rotate_bytes(k, 2);
    if (n & 1) xor_word<uint8_t>(src, dst, k);
}

// SSE2: from 32 bytes on, a head of up to 15 bytes brings dst to a 16-byte
// boundary, then aligned 16-byte stores, four blocks at a time; the rest,
// or a shorter buffer, in steps.
inline void xor_sse2(uint64_t k, const uint8_t *src, uint8_t *dst, size_t n) {
    if (n >= 32) {
        const size_t head = (0 - reinterpret_cast<uintptr_t>(dst)) & 15u;
        k = xor_up_to_boundary(src, dst, head, k);
        n -= head;
        const __m128i key = _mm_set1_epi64x(static_cast<long long>(k));
        const __m128i *in = reinterpret_cast<const __m128i *>(src);
        __m128i *out = reinterpret_cast<__m128i *>(dst);
        const size_t blocks = n / 16;
        size_t j = 0;
        for (; j + 4 <= blocks; j += 4) {
            const __m128i a = _mm_loadu_si128(in + j);
            const __m128i b = _mm_loadu_si128(in + j + 1);
            const __m128i c = _mm_loadu_si128(in + j + 2);
            const __m128i d = _mm_loadu_si128(in + j + 3);
            _mm_store_si128(out + j, _mm_xor_si128(a, key));
            _mm_store_si128(out + j + 1, _mm_xor_si128(b, key));
            _mm_store_si128(out + j + 2, _mm_xor_si128(c, key));
            _mm_store_si128(out + j + 3, _mm_xor_si128(d, key));
        }
        for (; j < blocks; ++j) _mm_store_si128(out + j, _mm_xor_si128(_mm_loadu_si128(in + j), key));
        src += 16 * blocks;
        dst += 16 * blocks;
        n &= 15u;
    }
    xor_rest(src, dst, n, k);
}

// AVX2: from 64 bytes on, a head of up to 31 bytes brings dst to a 32-byte
// boundary, then aligned 32-byte stores, four blocks at a time; the rest,
// or a shorter buffer, in one unaligned 32-byte step and smaller steps.
__attribute__((target("avx2"))) inline void xor_avx2(uint64_t k, const uint8_t *src, uint8_t *dst, size_t n) {
    if (n >= 64) {
        const size_t head = (0 - reinterpret_cast<uintptr_t>(dst)) & 31u;
        k = xor_up_to_boundary(src, dst, head, k);
        n -= head;
        const __m256i key = _mm256_set1_epi64x(static_cast<long long>(k));
        const __m256i *in = reinterpret_cast<const __m256i *>(src);
        __m256i *out = reinterpret_cast<__m256i *>(dst);
        const size_t blocks = n / 32;
        size_t j = 0;
        for (; j + 4 <= blocks; j += 4) {
            const __m256i a = _mm256_loadu_si256(in + j);
            const __m256i b = _mm256_loadu_si256(in + j + 1);
            const __m256i c = _mm256_loadu_si256(in + j + 2);
            const __m256i d = _mm256_loadu_si256(in + j + 3);
            _mm256_store_si256(out + j, _mm256_xor_si256(a, key));
            _mm256_store_si256(out + j + 1, _mm256_xor_si256(b, key));
            _mm256_store_si256(out + j + 2, _mm256_xor_si256(c, key));
            _mm256_store_si256(out + j + 3, _mm256_xor_si256(d, key));
        }
        for (; j < blocks; ++j) _mm256_store_si256(out + j, _mm256_xor_si256(_mm256_loadu_si256(in + j), key));
        src += 32 * blocks;
        dst += 32 * blocks;
        n &= 31u;
    } else if (n >= 32) {
        xor_32(src, dst, k);
        src += 32;
        dst += 32;
        n -= 32;
    }
    xor_rest(src, dst, n, k);
}

// One 64-byte vector under a byte mask: masked-off bytes are neither read
// nor written and cannot fault.
__attribute__((target("avx512f,avx512bw"))) inline void xor_64_masked(const uint8_t *src, uint8_t *dst, __mmask64 m,
                                                                      __m512i key) {
    _mm512_mask_storeu_epi8(dst, m, _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, src), key));
}

// AVX-512: below 64 bytes, one masked vector. From 64 bytes on, a masked
// vector on the 64-byte line that holds dst's first byte (so the head store
// never crosses a line), aligned 64-byte stores four blocks at a time, and a
// masked vector for the rest. Every block then starts at the key phase of
// that line's first byte, so one key vector serves them all.
__attribute__((target("avx512f,avx512bw"))) inline void xor_avx512(const uint8_t key[4], size_t p, const uint8_t *src,
                                                                   uint8_t *dst, size_t n) {
    if (n < 64) {
        if (n != 0) {
            const __m512i k = _mm512_set1_epi64(static_cast<long long>(key_word(key, p)));
            xor_64_masked(src, dst, (static_cast<uint64_t>(1) << n) - 1, k);
        }
        return;
    }
    const size_t lead = reinterpret_cast<uintptr_t>(dst) & 63u;  // bytes of the line before dst
    const __m512i k = _mm512_set1_epi64(static_cast<long long>(key_word(key, p - lead)));
    if (lead != 0) {
        // The addresses before the buffers are formed as integers: only the
        // masked-on bytes, the buffers' own, are accessed.
        const uint8_t *line_src = reinterpret_cast<const uint8_t *>(reinterpret_cast<uintptr_t>(src) - lead);
        uint8_t *line_dst = reinterpret_cast<uint8_t *>(reinterpret_cast<uintptr_t>(dst) - lead);
        xor_64_masked(line_src, line_dst, ~static_cast<uint64_t>(0) << lead, k);
        src += 64 - lead;
        dst += 64 - lead;
        n -= 64 - lead;
    }
    const __m512i *in = reinterpret_cast<const __m512i *>(src);
    __m512i *out = reinterpret_cast<__m512i *>(dst);
    const size_t blocks = n / 64;
    size_t j = 0;
    for (; j + 4 <= blocks; j += 4) {
        const __m512i a = _mm512_loadu_si512(in + j);
        const __m512i b = _mm512_loadu_si512(in + j + 1);
        const __m512i c = _mm512_loadu_si512(in + j + 2);
        const __m512i d = _mm512_loadu_si512(in + j + 3);
        _mm512_store_si512(out + j, _mm512_xor_si512(a, k));
        _mm512_store_si512(out + j + 1, _mm512_xor_si512(b, k));
        _mm512_store_si512(out + j + 2, _mm512_xor_si512(c, k));
        _mm512_store_si512(out + j + 3, _mm512_xor_si512(d, k));
    }
    for (; j < blocks; ++j) _mm512_store_si512(out + j, _mm512_xor_si512(_mm512_loadu_si512(in + j), k));
    n &= 63u;
    if (n != 0) xor_64_masked(src + 64 * blocks, dst + 64 * blocks, (static_cast<uint64_t>(1) << n) - 1, k);
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

TAV_MASK_API size_t _tav_xormask_copy_simple(void *handle, const uint8_t *src, uint8_t *dst, size_t length) {
    xormask_state *st = record(handle);
    const size_t p = st->pointer;
    for (size_t i = 0; i < length; ++i) dst[i] = src[i] ^ st->mask[(p + i) & 3];
    return st->pointer = p + length;
}

#if defined(__x86_64__)
TAV_MASK_API __attribute__((target("sse4.1"))) size_t _tav_xormask_process_sse2(void *handle, uint8_t *data, size_t length) {
    return process_sse2(record(handle), data, length);
}

TAV_MASK_API __attribute__((target("avx2"))) size_t _tav_xormask_process_avx2(void *handle, uint8_t *data, size_t length) {
    xormask_state *st = record(handle);
    const size_t p = st->pointer;
    xor_avx2(key_word(st->mask, p), data, data, length);
    return st->pointer = p + length;
}

TAV_MASK_API __attribute__((target("avx512f,avx512bw"))) size_t _tav_xormask_process_avx512(void *handle, uint8_t *data,
                                                                                              size_t length) {
    xormask_state *st = record(handle);
    const size_t p = st->pointer;
    xor_avx512(st->mask, p, data, data, length);
    return st->pointer = p + length;
}

TAV_MASK_API size_t _tav_xormask_copy_sse2(void *handle, const uint8_t *src, uint8_t *dst, size_t length) {
    xormask_state *st = record(handle);
    const size_t p = st->pointer;
    xor_sse2(key_word(st->mask, p), src, dst, length);
    return st->pointer = p + length;
}

TAV_MASK_API __attribute__((target("avx2"))) size_t _tav_xormask_copy_avx2(void *handle, const uint8_t *src, uint8_t *dst,
                                                                            size_t length) {
    xormask_state *st = record(handle);
    const size_t p = st->pointer;
    xor_avx2(key_word(st->mask, p), src, dst, length);
    return st->pointer = p + length;
}

TAV_MASK_API __attribute__((target("avx512f,avx512bw"))) size_t _tav_xormask_copy_avx512(void *handle, const uint8_t *src,
                                                                                          uint8_t *dst, size_t length) {
    xormask_state *st = record(handle);
    const size_t p = st->pointer;
    xor_avx512(st->mask, p, src, dst, length);
    return st->pointer = p + length;
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
