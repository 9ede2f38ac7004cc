// SPDX-License-Identifier: MIT
// _tav_utf8vld_validate_ssse3: the vector validator of utf8_lookup.h on
// 16-byte registers, four blocks per step. Needs SSSE3 (TAV_CPU_SSSE3) for
// its byte shuffles and alignr; only this file's functions carry that
// target. x86-64 only.
#include "utf8_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>  // SSE2 and SSSE3 (pshufb, palignr)

#define TAV_LOOKUP_TARGET "ssse3"
#define TAV_LOOKUP_NS tav_utf8_ssse3
#include "utf8_lookup.h"

namespace tav_utf8_ssse3 __attribute__((visibility("hidden"))) {

// The register trait of the kernel: what it needs of a vector of bytes.
struct Ssse3 {
    using reg = __m128i;
    static constexpr size_t kWidth = 16;
    static constexpr size_t kGroup = 4;

    static TAV_LOOKUP_INLINE reg zero() { return _mm_setzero_si128(); }
    static TAV_LOOKUP_INLINE reg splat(uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
    // A 16-entry table, in every 16-byte lane.
    static TAV_LOOKUP_INLINE reg table(const uint8_t (&t)[16]) {
        return _mm_load_si128(reinterpret_cast<const __m128i *>(t));
    }
    static TAV_LOOKUP_INLINE reg load(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    // The first n (< 16) bytes at p, then zeros; reads nothing past p + n.
    static TAV_LOOKUP_INLINE reg load_tail(const uint8_t *p, size_t n) {
        alignas(16) uint8_t buf[16] = {};
        std::memcpy(buf, p, n);
        return _mm_load_si128(reinterpret_cast<const __m128i *>(buf));
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
};

}  // namespace tav_utf8_ssse3

// Needs SSSE3; the caller checks the processor.
TAV_UTF8_API __attribute__((target("ssse3"))) int _tav_utf8vld_validate_ssse3(void *handle, const uint8_t *data,
                                                                              size_t length) {
    return tav_utf8_ssse3::validate<tav_utf8_ssse3::Ssse3>(tav_utf8::record(handle), data, length);
}

#undef TAV_LOOKUP_INLINE
#undef TAV_LOOKUP_NS
#undef TAV_LOOKUP_TARGET
#endif  // __x86_64__
