// SPDX-License-Identifier: MIT
// _tav_utf8vld_validate_avx2: the vector validator of utf8_lookup.h on
// 32-byte registers, two blocks per step. Needs AVX2 (TAV_CPU_AVX2); only
// this file's functions carry that target. x86-64 only.
// The decoder's AVX2 routines (utf8_decode.h) live here too.
#include "utf8_internal.h"

#if defined(TAV_UTF8_X86_64)

#define TAV_LOOKUP_TARGET "avx2"
#define TAV_LOOKUP_NS tav_utf8_avx2
#include "utf8_lookup.h"

namespace tav_utf8_avx2 TAV_UTF8_HIDDEN {

// The register trait of the kernel (members as in utf8_ssse3.cpp).
struct Avx2 {
    using reg = __m256i;
    static constexpr size_t kWidth = 32;
    static constexpr size_t kGroup = 2;
    // The bytes before a block come from shuffles: three loads that cross
    // cache lines cost more (bench_decode, dense text: 0.94-1.03x).
    static constexpr bool kReload = false;

    static TAV_LOOKUP_INLINE reg zero() { return _mm256_setzero_si256(); }
    static TAV_LOOKUP_INLINE reg splat(uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
    static TAV_LOOKUP_INLINE reg table(const uint8_t (&t)[16]) {
        return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(t)));
    }
    static TAV_LOOKUP_INLINE reg load(const uint8_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    // The first n (< 32) bytes at p, then zeros; reads nothing past p + n.
    // From 16 bytes: the first 16, and the last 16 moved down by 32 - n
    // places (a byte shuffle by a window into kDown) to follow them.
    static TAV_LOOKUP_INLINE reg load_tail(const uint8_t *p, size_t n) {
        if (n < 16) {
            uint64_t lo, hi;
            load_partial16(p, n, lo, hi);
            return _mm256_set_m128i(_mm_setzero_si128(),
                                    _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)));
        }
        // Byte m of the window at 32 - n takes byte m + 32 - n; 0x80 gives zero.
        alignas(32) static constexpr uint8_t kDown[32] = {
            0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
            0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n - 16));
        const __m128i down = _mm_loadu_si128(reinterpret_cast<const __m128i *>(kDown + (32 - n)));
        return _mm256_set_m128i(_mm_shuffle_epi8(last, down), first);
    }
    // pshufb looks up within each 16-byte lane: the table is in both.
    static TAV_LOOKUP_INLINE reg lookup(reg t, reg idx) { return _mm256_shuffle_epi8(t, idx); }
    static TAV_LOOKUP_INLINE reg high_nibbles(reg v, reg low_nibble) {
        return _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibble);
    }
    static TAV_LOOKUP_INLINE reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
    static TAV_LOOKUP_INLINE reg or_(reg a, reg b) { return _mm256_or_si256(a, b); }
    static TAV_LOOKUP_INLINE reg xor_(reg a, reg b) { return _mm256_xor_si256(a, b); }
    static TAV_LOOKUP_INLINE reg subs(reg a, reg b) { return _mm256_subs_epu8(a, b); }
    // alignr works within 16-byte lanes: bring in the lane below each lane
    // first (the last lane of `before` under the first lane of `cur`).
    static TAV_LOOKUP_INLINE void previous(reg cur, reg before, reg &p1, reg &p2, reg &p3) {
        const reg below = _mm256_permute2x128_si256(before, cur, 0x21);
        p1 = _mm256_alignr_epi8(cur, below, 15);
        p2 = _mm256_alignr_epi8(cur, below, 14);
        p3 = _mm256_alignr_epi8(cur, below, 13);
    }
    static TAV_LOOKUP_INLINE bool ascii(reg v) { return _mm256_movemask_epi8(v) == 0; }
    static TAV_LOOKUP_INLINE bool nonzero(reg v) { return !_mm256_testz_si256(v, v); }
    static TAV_LOOKUP_INLINE bool nonzero_in_first(reg v, size_t n) {
        const unsigned zeros =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
        return (~zeros & ((1u << n) - 1)) != 0;
    }
    static TAV_LOOKUP_INLINE reg last_bytes_max(uint8_t third_last, uint8_t second_last, uint8_t last) {
        return _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(third_last),
                                static_cast<char>(second_last), static_cast<char>(last));
    }

    // For the decoder's measure (utf8_decode.h).
    static TAV_LOOKUP_INLINE reg max_(reg a, reg b) { return _mm256_max_epu8(a, b); }
    static TAV_LOOKUP_INLINE reg sub_(reg a, reg b) { return _mm256_sub_epi8(a, b); }
    static TAV_LOOKUP_INLINE reg continuations(reg v) { return _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v); }
    static TAV_LOOKUP_INLINE size_t sum_bytes(reg v) {
        const __m256i s = _mm256_sad_epu8(v, _mm256_setzero_si256());
        return static_cast<size_t>(_mm256_extract_epi64(s, 0) + _mm256_extract_epi64(s, 1) +
                                   _mm256_extract_epi64(s, 2) + _mm256_extract_epi64(s, 3));
    }
    static TAV_LOOKUP_INLINE void store(uint8_t *p, reg v) { _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v); }
};

}  // namespace tav_utf8_avx2

#define TAV_DECODE_TARGET "avx2"
#include "utf8_decode.h"

namespace tav_utf8_avx2 TAV_UTF8_HIDDEN {

using tav_utf8::kCompress;

// Lane traits of the transcoders (members as in utf8_ssse3.cpp). Sixteen
// 16-bit lanes per step, compressed as two halves of eight by table.
struct Lanes16 {
    using reg = __m256i;
    using mask = __m256i;
    static constexpr size_t kLanes = 16;

    static TAV_DECODE_INLINE __m128i load(const uint8_t *p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
    static TAV_DECODE_INLINE bool ascii(__m128i b) { return _mm_movemask_epi8(b) == 0; }
    static TAV_DECODE_INLINE reg widen(__m128i b) { return _mm256_cvtepu8_epi16(b); }
    static TAV_DECODE_INLINE void store_ascii(uint8_t *d, __m128i b) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), b);
    }
    static TAV_DECODE_INLINE void store_ascii(uint16_t *d, __m128i b) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), widen(b));
    }
    static TAV_DECODE_INLINE reg splat(uint32_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return _mm256_or_si256(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return _mm256_slli_epi16(a, k); }
    static TAV_DECODE_INLINE mask ge(reg a, uint32_t x) { return _mm256_cmpgt_epi16(a, splat(x - 1)); }
    static TAV_DECODE_INLINE reg blend(mask m, reg a, reg b) { return _mm256_blendv_epi8(a, b, m); }
    static TAV_DECODE_INLINE mask lead(reg b) {
        return _mm256_cmpgt_epi16(_mm256_xor_si256(b, splat(0x80)), splat(0x3F));
    }
    // Bits 0-7: lanes 0-7; bits 16-23: lanes 8-15 (packs works per 128-bit half).
    static TAV_DECODE_INLINE unsigned bits(mask m) {
        return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(m, _mm256_setzero_si256())));
    }
    static TAV_DECODE_INLINE __m128i packed(__m128i v, unsigned m) {
        return _mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i *>(kCompress.shuffle16[m])));
    }
    static TAV_DECODE_INLINE size_t compress(uint16_t *d, reg v, mask m) {
        const unsigned b = bits(m), lo = b & 0xFF, hi = b >> 16 & 0xFF;
        const size_t first = kCompress.count[lo];
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), packed(_mm256_castsi256_si128(v), lo));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + first), packed(_mm256_extracti128_si256(v, 1), hi));
        return first + kCompress.count[hi];
    }
    static TAV_DECODE_INLINE size_t compress(uint8_t *d, reg v, mask m) {
        const unsigned b = bits(m), lo = b & 0xFF, hi = b >> 16 & 0xFF;
        const size_t first = kCompress.count[lo];
        const __m128i a = packed(_mm256_castsi256_si128(v), lo), c = packed(_mm256_extracti128_si256(v, 1), hi);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(a, a));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(d + first), _mm_packus_epi16(c, c));
        return first + kCompress.count[hi];
    }
};

// Eight 32-bit lanes per step, compressed by a lane permute.
struct Lanes32 {
    using reg = __m256i;
    using mask = __m256i;
    static constexpr size_t kLanes = 8;

    static TAV_DECODE_INLINE __m128i load(const uint8_t *p) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
    }
    static TAV_DECODE_INLINE bool ascii(__m128i b) { return _mm_movemask_epi8(b) == 0; }
    static TAV_DECODE_INLINE reg widen(__m128i b) { return _mm256_cvtepu8_epi32(b); }
    static TAV_DECODE_INLINE void store_ascii(uint32_t *d, __m128i b) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), widen(b));
    }
    static TAV_DECODE_INLINE reg splat(uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return _mm256_or_si256(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return _mm256_slli_epi32(a, k); }
    static TAV_DECODE_INLINE mask ge(reg a, uint32_t x) { return _mm256_cmpgt_epi32(a, splat(x - 1)); }
    static TAV_DECODE_INLINE reg blend(mask m, reg a, reg b) { return _mm256_blendv_epi8(a, b, m); }
    static TAV_DECODE_INLINE mask lead(reg b) {
        return _mm256_cmpgt_epi32(_mm256_xor_si256(b, splat(0x80)), splat(0x3F));
    }
    static TAV_DECODE_INLINE size_t compress(uint32_t *d, reg v, mask m) {
        const unsigned b = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
        const __m256i nibbles = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(kCompress.perm32[b])),
                                                  _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), _mm256_permutevar8x32_epi32(v, nibbles));
        return kCompress.count[b];
    }
};

// The plane trait of transcode_planes: 32 bytes per step.
struct Planes {
    using reg = __m256i;
    static constexpr size_t kBytes = 32;

    static TAV_DECODE_INLINE reg load(const uint8_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static TAV_DECODE_INLINE bool ascii(reg b) { return _mm256_movemask_epi8(b) == 0; }
    static TAV_DECODE_INLINE void store_ascii(uint16_t *d, reg b) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), _mm256_cvtepu8_epi16(_mm256_castsi256_si128(b)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 16), _mm256_cvtepu8_epi16(_mm256_extracti128_si256(b, 1)));
    }
    static TAV_DECODE_INLINE reg splat(uint8_t x) { return _mm256_set1_epi8(static_cast<char>(x)); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return _mm256_and_si256(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return _mm256_or_si256(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return _mm256_slli_epi16(a, k); }
    template <int k>
    static TAV_DECODE_INLINE reg shr(reg a) { return _mm256_srli_epi16(a, k); }
    // All ones where the unsigned byte is at least x.
    static TAV_DECODE_INLINE reg ge(reg a, uint8_t x) { return _mm256_cmpeq_epi8(_mm256_max_epu8(a, splat(x)), a); }
    static TAV_DECODE_INLINE reg keep(reg m, reg a) { return _mm256_and_si256(m, a); }
    static TAV_DECODE_INLINE reg blend(reg m, reg a, reg b) { return _mm256_blendv_epi8(a, b, m); }
    // A bit per byte that is not 80-BF (below -64 as a signed byte).
    static TAV_DECODE_INLINE uint32_t lead_bits(reg b) {
        return ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(splat(0xC0), b)));
    }
    static TAV_DECODE_INLINE size_t group(uint16_t *d, __m128i units, unsigned m) {
        const __m128i s = _mm_load_si128(reinterpret_cast<const __m128i *>(kCompress.shuffle16[m]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_shuffle_epi8(units, s));
        return kCompress.count[m];
    }
    // Interleaving works per 128-bit half: `a` holds positions 0-7 and
    // 16-23, `b` 8-15 and 24-31.
    static TAV_DECODE_INLINE size_t compress(uint16_t *d, reg lo, reg hi, uint32_t m) {
        const reg a = _mm256_unpacklo_epi8(lo, hi), b = _mm256_unpackhi_epi8(lo, hi);
        size_t k = group(d, _mm256_castsi256_si128(a), m & 0xFF);
        k += group(d + k, _mm256_castsi256_si128(b), m >> 8 & 0xFF);
        k += group(d + k, _mm256_extracti128_si256(a, 1), m >> 16 & 0xFF);
        return k + group(d + k, _mm256_extracti128_si256(b, 1), m >> 24);
    }
};

}  // namespace tav_utf8_avx2

namespace tav_utf8_avx2 TAV_UTF8_HIDDEN {

// The routines for plain input, each compiled once; the exported ones add
// the masked driver.
TAV_UTF8_TARGETED("avx2") int measure_plain(const uint8_t *src, size_t n, tav_utf8_measure *out) {
    return measure<Avx2>(src, n, out);
}
TAV_UTF8_TARGETED("avx2") size_t latin1_plain(const uint8_t *src, size_t n, uint8_t *dst, size_t cap) {
    return transcode<Lanes16, 2>(src, n, dst, cap);
}
TAV_UTF8_TARGETED("avx2") size_t ucs2_plain(const uint8_t *src, size_t n, uint16_t *dst, size_t cap) {
    return transcode_planes<Planes>(src, n, dst, cap);
}
TAV_UTF8_TARGETED("avx2") size_t ucs4_plain(const uint8_t *src, size_t n, uint32_t *dst, size_t cap) {
    return transcode<Lanes32, 4>(src, n, dst, cap);
}

}  // namespace tav_utf8_avx2

// The decoder on AVX2 (utf8_decode.h); needs AVX2, which the caller checks.
TAV_UTF8_API int tav_utf8_measure_avx2(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out) {
    return tav_utf8::measure_with(src, n, key, out, tav_utf8_avx2::measure_plain);
}

TAV_UTF8_API size_t tav_utf8_to_latin1_avx2(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                            size_t dst_len) {
    return tav_utf8::to_latin1(src, n, key, dst, dst_len, tav_utf8_avx2::latin1_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs2_avx2(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                          size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_avx2::ucs2_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs4_avx2(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                          size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_avx2::ucs4_plain);
}

// Needs AVX2; the caller checks the processor.
TAV_UTF8_API TAV_UTF8_TARGETED("avx2") int _tav_utf8vld_validate_avx2(void *handle, const uint8_t *data,
                                                                      size_t length) {
    return tav_utf8_avx2::validate<tav_utf8_avx2::Avx2>(tav_utf8::record(handle), data, length);
}

#undef TAV_DECODE_INLINE
#undef TAV_DECODE_TARGET
#undef TAV_LOOKUP_INLINE
#undef TAV_LOOKUP_NS
#undef TAV_LOOKUP_TARGET
#endif  // TAV_UTF8_X86_64
