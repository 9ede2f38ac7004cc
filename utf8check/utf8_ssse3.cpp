// SPDX-License-Identifier: MIT
// _tav_utf8vld_validate_ssse3: the vector validator of utf8_lookup.h on
// 16-byte registers, four blocks per step. Needs SSSE3 (TAV_CPU_SSSE3) for
// its byte shuffles and alignr; only this file's functions carry that
// target. x86-64 only.
// The decoder's SSSE3 routines (utf8_decode.h) live here too.
#include "utf8_internal.h"

#if defined(TAV_UTF8_X86_64)

#define TAV_LOOKUP_TARGET "ssse3"
#define TAV_LOOKUP_NS tav_utf8_ssse3
#include "utf8_lookup.h"

namespace tav_utf8_ssse3 TAV_UTF8_HIDDEN {

// The register trait of the kernel: what it needs of a vector of bytes.
struct Ssse3 {
    using reg = __m128i;
    static constexpr size_t kWidth = 16;
    static constexpr size_t kGroup = 4;
    // The bytes before a block are loaded again, not shuffled in: the three
    // byte shifts (and the copies that non-VEX code makes for them) cost
    // more than three loads (bench_decode, dense text: +8-18%).
    static constexpr bool kReload = true;

    static TAV_LOOKUP_INLINE reg zero() { return _mm_setzero_si128(); }
    static TAV_LOOKUP_INLINE reg splat(uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
    // A 16-entry table, in every 16-byte lane.
    static TAV_LOOKUP_INLINE reg table(const uint8_t (&t)[16]) {
        return _mm_load_si128(reinterpret_cast<const __m128i *>(t));
    }
    static TAV_LOOKUP_INLINE reg load(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    // The first n (< 16) bytes at p, then zeros; reads nothing past p + n.
    static TAV_LOOKUP_INLINE reg load_tail(const uint8_t *p, size_t n) {
        uint64_t lo, hi;
        load_partial16(p, n, lo, hi);
        return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
    }
    // t[idx] for each byte; every index is 0-15.
    static TAV_LOOKUP_INLINE reg lookup(reg t, reg idx) { return _mm_shuffle_epi8(t, idx); }
    // There is no byte shift: shift 16-bit lanes and drop the bits from the neighbour.
    static TAV_LOOKUP_INLINE reg high_nibbles(reg v, reg low_nibble) {
        return _mm_and_si128(_mm_srli_epi16(v, 4), low_nibble);
    }
    static TAV_LOOKUP_INLINE reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
    static TAV_LOOKUP_INLINE reg or_(reg a, reg b) { return _mm_or_si128(a, b); }
    static TAV_LOOKUP_INLINE reg xor_(reg a, reg b) { return _mm_xor_si128(a, b); }
    static TAV_LOOKUP_INLINE reg subs(reg a, reg b) { return _mm_subs_epu8(a, b); }
    // The block moved up by 1, 2 and 3 bytes, the last bytes of `before` coming in.
    static TAV_LOOKUP_INLINE void previous(reg cur, reg before, reg &p1, reg &p2, reg &p3) {
        p1 = _mm_alignr_epi8(cur, before, 15);
        p2 = _mm_alignr_epi8(cur, before, 14);
        p3 = _mm_alignr_epi8(cur, before, 13);
    }
    static TAV_LOOKUP_INLINE bool ascii(reg v) { return _mm_movemask_epi8(v) == 0; }
    static TAV_LOOKUP_INLINE bool nonzero(reg v) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) != 0xFFFF;
    }
    // Some byte among the first n (< 16) is not zero.
    static TAV_LOOKUP_INLINE bool nonzero_in_first(reg v, size_t n) {
        const unsigned zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
        return (~zeros & ((1u << n) - 1)) != 0;
    }
    // All 0xFF but the last three bytes.
    static TAV_LOOKUP_INLINE reg last_bytes_max(uint8_t third_last, uint8_t second_last, uint8_t last) {
        return _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(third_last),
                             static_cast<char>(second_last), static_cast<char>(last));
    }

    // For the decoder's measure (utf8_decode.h).
    static TAV_LOOKUP_INLINE reg max_(reg a, reg b) { return _mm_max_epu8(a, b); }
    static TAV_LOOKUP_INLINE reg sub_(reg a, reg b) { return _mm_sub_epi8(a, b); }
    // 0xFF at bytes 80-BF: as signed bytes, those below -64.
    static TAV_LOOKUP_INLINE reg continuations(reg v) { return _mm_cmplt_epi8(v, _mm_set1_epi8(-64)); }
    static TAV_LOOKUP_INLINE size_t sum_bytes(reg v) {
        const __m128i s = _mm_sad_epu8(v, _mm_setzero_si128());
        return static_cast<size_t>(_mm_cvtsi128_si32(s)) + static_cast<size_t>(_mm_extract_epi16(s, 4));
    }
    static TAV_LOOKUP_INLINE void store(uint8_t *p, reg v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }
};

}  // namespace tav_utf8_ssse3

#define TAV_DECODE_TARGET "ssse3"
#include "utf8_decode.h"

namespace tav_utf8_ssse3 TAV_UTF8_HIDDEN {

using tav_utf8::kCompress;

// Lane traits of the transcoders: the members utf8_decode.h's transcode
// needs. Eight 16-bit lanes per step.
struct Lanes16 {
    using reg = __m128i;
    using mask = __m128i;  // all ones in a lane that is set
    static constexpr size_t kLanes = 8;

    static TAV_DECODE_INLINE __m128i load(const uint8_t *p) {
        return _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
    }
    static TAV_DECODE_INLINE bool ascii(__m128i b) { return _mm_movemask_epi8(b) == 0; }
    static TAV_DECODE_INLINE reg widen(__m128i b) { return _mm_unpacklo_epi8(b, _mm_setzero_si128()); }
    static TAV_DECODE_INLINE void store_ascii(uint8_t *d, __m128i b) {
        _mm_storel_epi64(reinterpret_cast<__m128i *>(d), b);
    }
    static TAV_DECODE_INLINE void store_ascii(uint16_t *d, __m128i b) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), widen(b));
    }
    static TAV_DECODE_INLINE reg splat(uint32_t x) { return _mm_set1_epi16(static_cast<short>(x)); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return _mm_or_si128(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return _mm_slli_epi16(a, k); }
    // Lanes hold bytes, so a signed comparison orders them.
    static TAV_DECODE_INLINE mask ge(reg a, uint32_t x) { return _mm_cmpgt_epi16(a, splat(x - 1)); }
    static TAV_DECODE_INLINE reg blend(mask m, reg a, reg b) { return _mm_or_si128(_mm_and_si128(m, b), _mm_andnot_si128(m, a)); }
    // Not 80-BF: b ^ 0x80 is at least 0x40.
    static TAV_DECODE_INLINE mask lead(reg b) { return _mm_cmpgt_epi16(_mm_xor_si128(b, splat(0x80)), splat(0x3F)); }
    static TAV_DECODE_INLINE unsigned bits(mask m) {
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(m, m))) & 0xFF;
    }
    static TAV_DECODE_INLINE reg packed(reg v, unsigned m) {
        return _mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i *>(kCompress.shuffle16[m])));
    }
    static TAV_DECODE_INLINE size_t compress(uint16_t *d, reg v, mask m) {
        const unsigned b = bits(m);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), packed(v, b));
        return kCompress.count[b];
    }
    static TAV_DECODE_INLINE size_t compress(uint8_t *d, reg v, mask m) {
        const unsigned b = bits(m);
        const reg p = packed(v, b);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(p, p));
        return kCompress.count[b];
    }
};

// Four 32-bit lanes per step.
struct Lanes32 {
    using reg = __m128i;
    using mask = __m128i;
    static constexpr size_t kLanes = 4;

    static TAV_DECODE_INLINE __m128i load(const uint8_t *p) {
        int32_t w;
        std::memcpy(&w, p, 4);
        return _mm_cvtsi32_si128(w);
    }
    static TAV_DECODE_INLINE bool ascii(__m128i b) { return _mm_movemask_epi8(b) == 0; }
    static TAV_DECODE_INLINE reg widen(__m128i b) {
        const __m128i z = _mm_setzero_si128();
        return _mm_unpacklo_epi16(_mm_unpacklo_epi8(b, z), z);
    }
    static TAV_DECODE_INLINE void store_ascii(uint32_t *d, __m128i b) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), widen(b));
    }
    static TAV_DECODE_INLINE reg splat(uint32_t x) { return _mm_set1_epi32(static_cast<int>(x)); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return _mm_or_si128(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return _mm_slli_epi32(a, k); }
    static TAV_DECODE_INLINE mask ge(reg a, uint32_t x) { return _mm_cmpgt_epi32(a, splat(x - 1)); }
    static TAV_DECODE_INLINE reg blend(mask m, reg a, reg b) { return _mm_or_si128(_mm_and_si128(m, b), _mm_andnot_si128(m, a)); }
    static TAV_DECODE_INLINE mask lead(reg b) { return _mm_cmpgt_epi32(_mm_xor_si128(b, splat(0x80)), splat(0x3F)); }
    static TAV_DECODE_INLINE size_t compress(uint32_t *d, reg v, mask m) {
        const unsigned b = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(m)));
        const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i *>(kCompress.shuffle32[b]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_shuffle_epi8(v, shuffle));
        return kCompress.count[b];
    }
};

// The plane trait of transcode_planes (members as in utf8_avx2.cpp): 16
// bytes per step.
struct Planes {
    using reg = __m128i;
    static constexpr size_t kBytes = 16;

    static TAV_DECODE_INLINE reg load(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static TAV_DECODE_INLINE bool ascii(reg b) { return _mm_movemask_epi8(b) == 0; }
    static TAV_DECODE_INLINE void store_ascii(uint16_t *d, reg b) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_unpacklo_epi8(b, _mm_setzero_si128()));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 8), _mm_unpackhi_epi8(b, _mm_setzero_si128()));
    }
    static TAV_DECODE_INLINE reg splat(uint8_t x) { return _mm_set1_epi8(static_cast<char>(x)); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return _mm_and_si128(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return _mm_or_si128(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return _mm_slli_epi16(a, k); }
    template <int k>
    static TAV_DECODE_INLINE reg shr(reg a) { return _mm_srli_epi16(a, k); }
    static TAV_DECODE_INLINE reg ge(reg a, uint8_t x) { return _mm_cmpeq_epi8(_mm_max_epu8(a, splat(x)), a); }
    static TAV_DECODE_INLINE reg keep(reg m, reg a) { return _mm_and_si128(m, a); }
    static TAV_DECODE_INLINE reg blend(reg m, reg a, reg b) { return _mm_or_si128(_mm_and_si128(m, b), _mm_andnot_si128(m, a)); }
    static TAV_DECODE_INLINE uint32_t lead_bits(reg b) {
        return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(b, splat(0xC0)))) & 0xFFFF;
    }
    static TAV_DECODE_INLINE size_t group(uint16_t *d, __m128i units, unsigned m) {
        const __m128i s = _mm_load_si128(reinterpret_cast<const __m128i *>(kCompress.shuffle16[m]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_shuffle_epi8(units, s));
        return kCompress.count[m];
    }
    static TAV_DECODE_INLINE size_t compress(uint16_t *d, reg lo, reg hi, uint32_t m) {
        const size_t k = group(d, _mm_unpacklo_epi8(lo, hi), m & 0xFF);
        return k + group(d + k, _mm_unpackhi_epi8(lo, hi), m >> 8);
    }
};

}  // namespace tav_utf8_ssse3

namespace tav_utf8_ssse3 TAV_UTF8_HIDDEN {

// The routines for plain input, each compiled once; the exported ones add
// the masked driver.
TAV_UTF8_TARGETED("ssse3") int measure_plain(const uint8_t *src, size_t n, tav_utf8_measure *out) {
    return measure<Ssse3>(src, n, out);
}
TAV_UTF8_TARGETED("ssse3") size_t latin1_plain(const uint8_t *src, size_t n, uint8_t *dst, size_t cap) {
    return transcode<Lanes16, 2>(src, n, dst, cap);
}
TAV_UTF8_TARGETED("ssse3") size_t ucs2_plain(const uint8_t *src, size_t n, uint16_t *dst, size_t cap) {
    return transcode_planes<Planes>(src, n, dst, cap);
}
TAV_UTF8_TARGETED("ssse3") size_t ucs4_plain(const uint8_t *src, size_t n, uint32_t *dst, size_t cap) {
    return transcode<Lanes32, 4>(src, n, dst, cap);
}

}  // namespace tav_utf8_ssse3

// The decoder on SSSE3 (utf8_decode.h); needs SSSE3, which the caller checks.
TAV_UTF8_API int tav_utf8_measure_ssse3(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out) {
    return tav_utf8::measure_with(src, n, key, out, tav_utf8_ssse3::measure_plain);
}

TAV_UTF8_API size_t tav_utf8_to_latin1_ssse3(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                             size_t dst_len) {
    return tav_utf8::to_latin1(src, n, key, dst, dst_len, tav_utf8_ssse3::latin1_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs2_ssse3(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                           size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_ssse3::ucs2_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs4_ssse3(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                           size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_ssse3::ucs4_plain);
}

// Needs SSSE3; the caller checks the processor.
TAV_UTF8_API TAV_UTF8_TARGETED("ssse3") int _tav_utf8vld_validate_ssse3(void *handle, const uint8_t *data,
                                                                        size_t length) {
    return tav_utf8_ssse3::validate<tav_utf8_ssse3::Ssse3>(tav_utf8::record(handle), data, length);
}

#undef TAV_DECODE_INLINE
#undef TAV_DECODE_TARGET
#undef TAV_LOOKUP_INLINE
#undef TAV_LOOKUP_NS
#undef TAV_LOOKUP_TARGET
#endif  // TAV_UTF8_X86_64
