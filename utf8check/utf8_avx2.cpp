// SPDX-License-Identifier: MIT
// _tav_utf8vld_validate_avx2: the vector validator of utf8_lookup.h on
// 32-byte registers, two blocks per step. Needs AVX2 (TAV_CPU_AVX2); only
// this file's functions carry that target. x86-64 only.
#include "utf8_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>  // AVX2

#define TAV_LOOKUP_TARGET "avx2"
#define TAV_LOOKUP_NS tav_utf8_avx2
#include "utf8_lookup.h"

namespace tav_utf8_avx2 __attribute__((visibility("hidden"))) {

// The register trait of the kernel (members as in utf8_ssse3.cpp).
struct Avx2 {
    using reg = __m256i;
    static constexpr size_t kWidth = 32;
    static constexpr size_t kGroup = 2;

    static TAV_LOOKUP_INLINE reg zero() { return _mm256_setzero_si256(); }
    static TAV_LOOKUP_INLINE reg splat(uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
    static TAV_LOOKUP_INLINE reg table(const uint8_t (&t)[16]) {
        return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(t)));
    }
    static TAV_LOOKUP_INLINE reg load(const uint8_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static TAV_LOOKUP_INLINE reg load_tail(const uint8_t *p, size_t n) {
        alignas(32) uint8_t buf[32] = {};
        std::memcpy(buf, p, n);
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(buf));
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
};

}  // namespace tav_utf8_avx2

// Needs AVX2; the caller checks the processor.
TAV_UTF8_API __attribute__((target("avx2"))) int _tav_utf8vld_validate_avx2(void *handle, const uint8_t *data,
                                                                            size_t length) {
    return tav_utf8_avx2::validate<tav_utf8_avx2::Avx2>(tav_utf8::record(handle), data, length);
}

#undef TAV_LOOKUP_INLINE
#undef TAV_LOOKUP_NS
#undef TAV_LOOKUP_TARGET
#endif  // __x86_64__
