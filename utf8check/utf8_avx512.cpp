// SPDX-License-Identifier: MIT
// _tav_utf8vld_validate_avx512: the vector validator of utf8_lookup.h on
// 64-byte registers, two blocks per step, the last bytes by a masked load.
// Needs AVX-512F and AVX-512BW (TAV_CPU_AVX512F | TAV_CPU_AVX512BW). The
// decoder's AVX-512 routines (utf8_decode.h) live here too; its transcoders
// also need VBMI and VBMI2. Only this file's functions carry those targets.
// x86-64 only.
#include "utf8_internal.h"

#if defined(TAV_UTF8_X86_64)

// GCC 12's AVX-512 headers start some intrinsics (the lane broadcast,
// valignd) from a self-initialised "undefined" register, which
// -Wmaybe-uninitialized (or -Wuninitialized) reports wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#define TAV_LOOKUP_TARGET "avx512f,avx512bw"
#define TAV_LOOKUP_NS tav_utf8_avx512
#include "utf8_lookup.h"

namespace tav_utf8_avx512 TAV_UTF8_HIDDEN {

// The register trait of the kernel (members as in utf8_ssse3.cpp).
struct Avx512 {
    using reg = __m512i;
    static constexpr size_t kWidth = 64;
    static constexpr size_t kGroup = 2;
    // The bytes before a block come from shuffles: three loads that cross
    // cache lines cost more (bench_decode, dense text: 0.86-0.91x).
    static constexpr bool kReload = false;

    // The first n (< 64) bytes.
    static TAV_LOOKUP_INLINE __mmask64 first(size_t n) { return (uint64_t{1} << n) - 1; }

    static TAV_LOOKUP_INLINE reg zero() { return _mm512_setzero_si512(); }
    static TAV_LOOKUP_INLINE reg splat(uint8_t b) { return _mm512_set1_epi8(static_cast<char>(b)); }
    static TAV_LOOKUP_INLINE reg table(const uint8_t (&t)[16]) {
        return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i *>(t)));
    }
    static TAV_LOOKUP_INLINE reg load(const uint8_t *p) { return _mm512_loadu_si512(p); }
    // A masked load: the bytes past p + n are neither read nor able to fault.
    static TAV_LOOKUP_INLINE reg load_tail(const uint8_t *p, size_t n) { return _mm512_maskz_loadu_epi8(first(n), p); }
    static TAV_LOOKUP_INLINE reg lookup(reg t, reg idx) { return _mm512_shuffle_epi8(t, idx); }
    static TAV_LOOKUP_INLINE reg high_nibbles(reg v, reg low_nibble) {
        return _mm512_and_si512(_mm512_srli_epi16(v, 4), low_nibble);
    }
    static TAV_LOOKUP_INLINE reg and_(reg a, reg b) { return _mm512_and_si512(a, b); }
    static TAV_LOOKUP_INLINE reg or_(reg a, reg b) { return _mm512_or_si512(a, b); }
    static TAV_LOOKUP_INLINE reg xor_(reg a, reg b) { return _mm512_xor_si512(a, b); }
    static TAV_LOOKUP_INLINE reg subs(reg a, reg b) { return _mm512_subs_epu8(a, b); }
    // valignd brings the last lane of `before` under the first three lanes
    // of `cur`; then the lane-wise alignr.
    static TAV_LOOKUP_INLINE void previous(reg cur, reg before, reg &p1, reg &p2, reg &p3) {
        const reg below = _mm512_alignr_epi32(cur, before, 12);
        p1 = _mm512_alignr_epi8(cur, below, 15);
        p2 = _mm512_alignr_epi8(cur, below, 14);
        p3 = _mm512_alignr_epi8(cur, below, 13);
    }
    static TAV_LOOKUP_INLINE bool ascii(reg v) { return _mm512_movepi8_mask(v) == 0; }
    static TAV_LOOKUP_INLINE bool nonzero(reg v) { return _mm512_test_epi8_mask(v, v) != 0; }
    static TAV_LOOKUP_INLINE bool nonzero_in_first(reg v, size_t n) {
        return _mm512_mask_test_epi8_mask(first(n), v, v) != 0;
    }
    static TAV_LOOKUP_INLINE reg last_bytes_max(uint8_t third_last, uint8_t second_last, uint8_t last) {
        // Bytes 60-63 are the top 32-bit element: FF, then the three maxima.
        const uint32_t top = uint32_t{last} << 24 | uint32_t{second_last} << 16 | uint32_t{third_last} << 8 | 0xFFu;
        return _mm512_mask_set1_epi32(_mm512_set1_epi8(-1), 0x8000, static_cast<int>(top));
    }

    // For the decoder's measure (utf8_decode.h).
    static TAV_LOOKUP_INLINE reg max_(reg a, reg b) { return _mm512_max_epu8(a, b); }
    static TAV_LOOKUP_INLINE reg sub_(reg a, reg b) { return _mm512_sub_epi8(a, b); }
    static TAV_LOOKUP_INLINE reg continuations(reg v) {
        return _mm512_movm_epi8(_mm512_cmplt_epi8_mask(v, _mm512_set1_epi8(-64)));
    }
    static TAV_LOOKUP_INLINE size_t sum_bytes(reg v) {
        return static_cast<size_t>(_mm512_reduce_add_epi64(_mm512_sad_epu8(v, _mm512_setzero_si512())));
    }
    static TAV_LOOKUP_INLINE void store(uint8_t *p, reg v) { _mm512_storeu_si512(p, v); }
};

}  // namespace tav_utf8_avx512

#define TAV_DECODE_TARGET "avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt"
#include "utf8_decode.h"

namespace tav_utf8_avx512 TAV_UTF8_HIDDEN {

// The plane trait of transcode_planes (members as in utf8_avx2.cpp): 64
// bytes per step, interleaved by VBMI's two-register byte permute and
// compressed by VBMI2.
struct Planes {
    using reg = __m512i;
    using mask = __mmask64;
    static constexpr size_t kBytes = 64;

    static TAV_DECODE_INLINE reg load(const uint8_t *p) { return _mm512_loadu_si512(p); }
    static TAV_DECODE_INLINE bool ascii(reg b) { return _mm512_movepi8_mask(b) == 0; }
    static TAV_DECODE_INLINE void store_ascii(uint16_t *d, reg b) {
        _mm512_storeu_si512(d, _mm512_cvtepu8_epi16(_mm512_castsi512_si256(b)));
        _mm512_storeu_si512(d + 32, _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(b, 1)));
    }
    static TAV_DECODE_INLINE reg splat(uint8_t x) { return _mm512_set1_epi8(static_cast<char>(x)); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return _mm512_and_si512(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return _mm512_or_si512(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return _mm512_slli_epi16(a, k); }
    template <int k>
    static TAV_DECODE_INLINE reg shr(reg a) { return _mm512_srli_epi16(a, k); }
    static TAV_DECODE_INLINE mask ge(reg a, uint8_t x) { return _mm512_cmpge_epu8_mask(a, splat(x)); }
    static TAV_DECODE_INLINE reg keep(mask m, reg a) { return _mm512_maskz_mov_epi8(m, a); }
    static TAV_DECODE_INLINE reg blend(mask m, reg a, reg b) { return _mm512_mask_mov_epi8(a, m, b); }
    static TAV_DECODE_INLINE uint64_t lead_bits(reg b) { return ~_mm512_cmplt_epi8_mask(b, splat(0xC0)); }
    // Byte 2k of the first result is lo[k], byte 2k + 1 is hi[k]; the
    // second result does the same from position 32.
    static TAV_DECODE_INLINE size_t compress(uint16_t *d, reg lo, reg hi, uint64_t m) {
        alignas(64) static constexpr uint8_t kFirst[64] = {
            0,  64, 1,  65, 2,  66, 3,  67, 4,  68, 5,  69, 6,  70, 7,  71, 8,  72, 9,  73, 10, 74,
            11, 75, 12, 76, 13, 77, 14, 78, 15, 79, 16, 80, 17, 81, 18, 82, 19, 83, 20, 84, 21, 85,
            22, 86, 23, 87, 24, 88, 25, 89, 26, 90, 27, 91, 28, 92, 29, 93, 30, 94, 31, 95};
        const reg first = _mm512_load_si512(kFirst);
        const reg second = _mm512_add_epi8(first, splat(32));
        const __mmask32 m0 = static_cast<__mmask32>(m), m1 = static_cast<__mmask32>(m >> 32);
        _mm512_storeu_si512(d, _mm512_maskz_compress_epi16(m0, _mm512_permutex2var_epi8(lo, first, hi)));
        const size_t k = static_cast<size_t>(_mm_popcnt_u32(m0));
        _mm512_storeu_si512(d + k, _mm512_maskz_compress_epi16(m1, _mm512_permutex2var_epi8(lo, second, hi)));
        return k + static_cast<size_t>(_mm_popcnt_u32(m1));
    }
};

// Latin-1 on 64 byte lanes, compressed by VBMI2's byte compress: for
// valid input C2 xx is xx and C3 xx is xx | 0x40 (U+0080-00FF).
TAV_DECODE_INLINE size_t transcode_latin1(const uint8_t *src, size_t n, uint8_t *dst, size_t cap) {
    size_t i = 0, o = 0;
    const __m512i c0 = _mm512_set1_epi8(static_cast<char>(0xC0)), bit6 = _mm512_set1_epi8(0x40);
    // A step reads src[i, i + 65) and stores 64 bytes.
    while (n - i >= 65 && cap - o >= 64) {
        const __m512i b0 = _mm512_loadu_si512(src + i);
        const __mmask64 high = _mm512_movepi8_mask(b0);
        if (high == 0) {
            _mm512_storeu_si512(dst + o, b0);
            i += 64, o += 64;
            continue;
        }
        const __m512i b1 = _mm512_loadu_si512(src + i + 1);
        const __mmask64 leads = _mm512_cmpge_epu8_mask(b0, c0);
        // Byte shifts are 16-bit ones; the mask keeps bit 0 of the byte itself.
        const __m512i two = _mm512_or_si512(b1, _mm512_and_si512(_mm512_slli_epi16(b0, 6), bit6));
        const __mmask64 keep = ~(high & ~leads);  // all but 80-BF
        _mm512_storeu_si512(dst + o, _mm512_maskz_compress_epi8(keep, _mm512_mask_mov_epi8(b0, leads, two)));
        o += static_cast<size_t>(_mm_popcnt_u64(keep));
        i += 64;
    }
    return tav_utf8::decode_scalar(src, i, n, dst, o, cap);
}

// UCS-4 on 64 byte lanes: the code points as three byte planes (bits
// 0-7, 8-15, 16-20), each compressed by VBMI2's byte compress, then woven
// into 32-bit units 16 at a time by byte permutes (VBMI). The permutes
// grow with the characters, not with the bytes, which suits the 4-byte
// characters of this kind.
TAV_DECODE_INLINE size_t transcode_ucs4(const uint8_t *src, size_t n, uint32_t *dst, size_t cap) {
    // Byte 4k of unit k from the first plane, 4k + 1 from the second (64 +
    // k: the permute's second register), 4k + 2 from the third.
    alignas(64) static constexpr uint8_t kWeave[64] = {
        0,  64, 0,  0, 1,  65, 1,  0, 2,  66, 2,  0, 3,  67, 3,  0, 4,  68, 4,  0, 5,  69,
        5,  0,  6,  70, 6, 0,  7,  71, 7, 0,  8,  72, 8, 0,  9,  73, 9,  0,  10, 74, 10, 0,
        11, 75, 11, 0, 12, 76, 12, 0, 13, 77, 13, 0, 14, 78, 14, 0, 15, 79, 15, 0};
    constexpr __mmask64 kLow2 = 0x3333333333333333ull, kThird = 0x4444444444444444ull;
    const __m512i weave = _mm512_load_si512(kWeave), sixteen = _mm512_set1_epi8(16);
    const __m512i low6 = _mm512_set1_epi8(0x3F), top2 = _mm512_set1_epi8(static_cast<char>(0xC0));
    const __m512i top4 = _mm512_set1_epi8(static_cast<char>(0xF0)), low4 = _mm512_set1_epi8(0x0F);
    size_t i = 0, o = 0;
    // A step reads src[i, i + 67) and stores up to 64 units.
    while (n - i >= 67 && cap - o >= 64) {
        const __m512i b0 = _mm512_loadu_si512(src + i);
        if (_mm512_movepi8_mask(b0) == 0) {
            _mm512_storeu_si512(dst + o, _mm512_cvtepu8_epi32(_mm512_castsi512_si128(b0)));
            _mm512_storeu_si512(dst + o + 16, _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(b0, 1)));
            _mm512_storeu_si512(dst + o + 32, _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(b0, 2)));
            _mm512_storeu_si512(dst + o + 48, _mm512_cvtepu8_epi32(_mm512_extracti32x4_epi32(b0, 3)));
            i += 64, o += 64;
            continue;
        }
        const __m512i b1 = _mm512_loadu_si512(src + i + 1), b2 = _mm512_loadu_si512(src + i + 2),
                      b3 = _mm512_loadu_si512(src + i + 3);
        const __mmask64 is2 = _mm512_cmpge_epu8_mask(b0, top2);
        const __mmask64 is3 = _mm512_cmpge_epu8_mask(b0, _mm512_set1_epi8(static_cast<char>(0xE0)));
        const __mmask64 is4 = _mm512_cmpge_epu8_mask(b0, top4);
        const __m512i s1 = _mm512_and_si512(b1, low6), s2 = _mm512_and_si512(b2, low6),
                      s3 = _mm512_and_si512(b3, low6);
        __m512i p0 = _mm512_mask_mov_epi8(
            b0, is2, _mm512_ternarylogic_epi32(top2, _mm512_slli_epi16(b0, 6), s1, 0xCA));
        p0 = _mm512_mask_mov_epi8(p0, is3, _mm512_ternarylogic_epi32(top2, _mm512_slli_epi16(b1, 6), s2, 0xCA));
        p0 = _mm512_mask_mov_epi8(p0, is4, _mm512_ternarylogic_epi32(top2, _mm512_slli_epi16(b2, 6), s3, 0xCA));
        // Bits 8-15: the low four bits of one byte over bits 5-2 of the next.
        __m512i p1 = _mm512_maskz_mov_epi8(is2, _mm512_and_si512(_mm512_srli_epi16(b0, 2), _mm512_set1_epi8(0x07)));
        p1 = _mm512_mask_mov_epi8(
            p1, is3,
            _mm512_ternarylogic_epi32(top4, _mm512_slli_epi16(b0, 4), _mm512_and_si512(_mm512_srli_epi16(b1, 2), low4),
                                      0xCA));
        p1 = _mm512_mask_mov_epi8(
            p1, is4,
            _mm512_ternarylogic_epi32(top4, _mm512_slli_epi16(b1, 4), _mm512_and_si512(_mm512_srli_epi16(b2, 2), low4),
                                      0xCA));
        // 11110www 10zzyyyy: bits 16-20 are www zz.
        const __m512i p2 = _mm512_maskz_mov_epi8(
            is4, _mm512_or_si512(_mm512_and_si512(_mm512_slli_epi16(b0, 2), _mm512_set1_epi8(0x1C)),
                                 _mm512_and_si512(_mm512_srli_epi16(b1, 4), _mm512_set1_epi8(0x03))));
        const __mmask64 lead = ~_mm512_cmplt_epi8_mask(b0, top2);  // all but 80-BF
        const __m512i c0 = _mm512_maskz_compress_epi8(lead, p0), c1 = _mm512_maskz_compress_epi8(lead, p1),
                      c2 = _mm512_maskz_compress_epi8(lead, p2);
        const size_t count = static_cast<size_t>(_mm_popcnt_u64(lead));
        __m512i idx = weave;
        for (size_t g = 0; g * 16 < count; ++g) {
            const __m512i units = _mm512_or_si512(_mm512_maskz_permutex2var_epi8(kLow2, c0, idx, c1),
                                                  _mm512_maskz_permutexvar_epi8(kThird, idx, c2));
            _mm512_storeu_si512(dst + o + 16 * g, units);
            idx = _mm512_add_epi8(idx, sixteen);
        }
        o += count;
        i += 64;
    }
    return tav_utf8::decode_scalar(src, i, n, dst, o, cap);
}

}  // namespace tav_utf8_avx512

namespace tav_utf8_avx512 TAV_UTF8_HIDDEN {

// The routines for plain input, each compiled once; the exported ones add
// the masked driver.
TAV_UTF8_TARGETED("avx512f,avx512bw") int measure_plain(const uint8_t *src, size_t n, tav_utf8_measure *out) {
    return measure<Avx512>(src, n, out);
}
TAV_UTF8_TARGETED(TAV_DECODE_TARGET) size_t latin1_plain(const uint8_t *src, size_t n, uint8_t *dst, size_t cap) {
    return transcode_latin1(src, n, dst, cap);
}
TAV_UTF8_TARGETED(TAV_DECODE_TARGET) size_t ucs2_plain(const uint8_t *src, size_t n, uint16_t *dst, size_t cap) {
    return transcode_planes<Planes>(src, n, dst, cap);
}
TAV_UTF8_TARGETED(TAV_DECODE_TARGET) size_t ucs4_plain(const uint8_t *src, size_t n, uint32_t *dst, size_t cap) {
    return transcode_ucs4(src, n, dst, cap);
}

}  // namespace tav_utf8_avx512

// The decoder on AVX-512 (utf8_decode.h): the measure needs AVX-512F and
// AVX-512BW, the transcoders also VBMI and VBMI2; the caller checks the
// processor.
TAV_UTF8_API int tav_utf8_measure_avx512(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out) {
    return tav_utf8::measure_with(src, n, key, out, tav_utf8_avx512::measure_plain);
}

TAV_UTF8_API size_t tav_utf8_to_latin1_avx512(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                              size_t dst_len) {
    return tav_utf8::to_latin1(src, n, key, dst, dst_len, tav_utf8_avx512::latin1_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs2_avx512(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                            size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_avx512::ucs2_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs4_avx512(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                            size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_avx512::ucs4_plain);
}

// Needs AVX-512F and AVX-512BW; the caller checks the processor.
TAV_UTF8_API TAV_UTF8_TARGETED("avx512f,avx512bw") int _tav_utf8vld_validate_avx512(void *handle,
                                                                                    const uint8_t *data,
                                                                                    size_t length) {
    return tav_utf8_avx512::validate<tav_utf8_avx512::Avx512>(tav_utf8::record(handle), data, length);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#undef TAV_DECODE_INLINE
#undef TAV_DECODE_TARGET
#undef TAV_LOOKUP_INLINE
#undef TAV_LOOKUP_NS
#undef TAV_LOOKUP_TARGET
#endif  // TAV_UTF8_X86_64
