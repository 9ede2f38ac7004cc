// SPDX-License-Identifier: MIT
// _tav_utf8vld_validate_neon: the vector validator of utf8_lookup.h on
// 16-byte NEON registers, four blocks per step, the lookups by vqtbl1q_u8.
// NEON is part of every aarch64 processor: the target attribute only names
// it. aarch64 only.
#include "utf8_internal.h"

#if defined(TAV_UTF8_AARCH64)

#if defined(__clang__)
#define TAV_LOOKUP_TARGET "neon"
#else
#define TAV_LOOKUP_TARGET "+simd"
#endif
#define TAV_LOOKUP_NS tav_utf8_neon
#include "utf8_lookup.h"

namespace tav_utf8_neon TAV_UTF8_HIDDEN {

alignas(16) constexpr uint8_t kIndex[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// The register trait of the kernel (members as in utf8_ssse3.cpp).
struct Neon {
    using reg = uint8x16_t;
    static constexpr size_t kWidth = 16;
    static constexpr size_t kGroup = 4;

    static TAV_LOOKUP_INLINE reg zero() { return vdupq_n_u8(0); }
    static TAV_LOOKUP_INLINE reg splat(uint8_t b) { return vdupq_n_u8(b); }
    static TAV_LOOKUP_INLINE reg table(const uint8_t (&t)[16]) { return vld1q_u8(t); }
    static TAV_LOOKUP_INLINE reg load(const uint8_t *p) { return vld1q_u8(p); }
    static TAV_LOOKUP_INLINE reg load_tail(const uint8_t *p, size_t n) {
        alignas(16) uint8_t buf[16] = {};
        std::memcpy(buf, p, n);
        return vld1q_u8(buf);
    }
    // TBL gives 0 for an index above 15; every index here is 0-15.
    static TAV_LOOKUP_INLINE reg lookup(reg t, reg idx) { return vqtbl1q_u8(t, idx); }
    // A byte shift exists: no mask needed.
    static TAV_LOOKUP_INLINE reg high_nibbles(reg v, reg) { return vshrq_n_u8(v, 4); }
    static TAV_LOOKUP_INLINE reg and_(reg a, reg b) { return vandq_u8(a, b); }
    static TAV_LOOKUP_INLINE reg or_(reg a, reg b) { return vorrq_u8(a, b); }
    static TAV_LOOKUP_INLINE reg xor_(reg a, reg b) { return veorq_u8(a, b); }
    static TAV_LOOKUP_INLINE reg subs(reg a, reg b) { return vqsubq_u8(a, b); }
    // EXT takes the last bytes of `before` and the first of `cur`.
    static TAV_LOOKUP_INLINE void previous(reg cur, reg before, reg &p1, reg &p2, reg &p3) {
        p1 = vextq_u8(before, cur, 15);
        p2 = vextq_u8(before, cur, 14);
        p3 = vextq_u8(before, cur, 13);
    }
    static TAV_LOOKUP_INLINE bool ascii(reg v) { return vmaxvq_u8(v) < 0x80; }
    // The maximum over four 32-bit lanes is cheaper than over sixteen bytes.
    static TAV_LOOKUP_INLINE bool nonzero(reg v) { return vmaxvq_u32(vreinterpretq_u32_u8(v)) != 0; }
    static TAV_LOOKUP_INLINE bool nonzero_in_first(reg v, size_t n) {
        const reg in_first = vcltq_u8(vld1q_u8(kIndex), vdupq_n_u8(static_cast<uint8_t>(n)));
        return nonzero(vandq_u8(v, in_first));
    }
    static TAV_LOOKUP_INLINE reg last_bytes_max(uint8_t third_last, uint8_t second_last, uint8_t last) {
        reg v = vdupq_n_u8(0xFF);
        v = vsetq_lane_u8(third_last, v, 13);
        v = vsetq_lane_u8(second_last, v, 14);
        return vsetq_lane_u8(last, v, 15);
    }
};

}  // namespace tav_utf8_neon

// NEON is baseline on aarch64: every caller may use it.
TAV_UTF8_API TAV_UTF8_TARGETED(TAV_LOOKUP_TARGET) int _tav_utf8vld_validate_neon(void *handle,
                                                                                 const uint8_t *data,
                                                                                 size_t length) {
    return tav_utf8_neon::validate<tav_utf8_neon::Neon>(tav_utf8::record(handle), data, length);
}

#undef TAV_LOOKUP_INLINE
#undef TAV_LOOKUP_NS
#undef TAV_LOOKUP_TARGET
#endif  // TAV_UTF8_AARCH64
