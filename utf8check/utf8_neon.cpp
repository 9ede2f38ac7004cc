// SPDX-License-Identifier: MIT
// _tav_utf8vld_validate_neon: the vector validator of utf8_lookup.h on
// 16-byte NEON registers, four blocks per step, the lookups by vqtbl1q_u8.
// The decoder's NEON routines (utf8_decode.h) live here too.
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

    // For the decoder's measure (utf8_decode.h).
    static TAV_LOOKUP_INLINE reg max_(reg a, reg b) { return vmaxq_u8(a, b); }
    static TAV_LOOKUP_INLINE reg sub_(reg a, reg b) { return vsubq_u8(a, b); }
    // 0xFF at bytes 80-BF: as signed bytes, those below -64.
    static TAV_LOOKUP_INLINE reg continuations(reg v) { return vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(-64)); }
    static TAV_LOOKUP_INLINE size_t sum_bytes(reg v) { return vaddlvq_u8(v); }
    static TAV_LOOKUP_INLINE void store(uint8_t *p, reg v) { vst1q_u8(p, v); }
};

}  // namespace tav_utf8_neon

#define TAV_DECODE_TARGET TAV_LOOKUP_TARGET
#include "utf8_decode.h"

namespace tav_utf8_neon TAV_UTF8_HIDDEN {

using tav_utf8::kCompress;

// Bit k set where lane k of a comparison's result is all ones (NEON has no
// movemask): each lane keeps its own bit, and one across-lanes add joins them.
alignas(16) constexpr uint8_t kByteBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
alignas(16) constexpr uint16_t kLaneBits16[8] = {1, 2, 4, 8, 16, 32, 64, 128};

// The lane trait of the Latin-1 transcoder (members as in utf8_ssse3.cpp):
// sixteen 16-bit lanes per step, in two registers, so that the loads, the
// loop and the test for ASCII serve a whole register of input.
template <class T, int N>
struct Parts {
    T v[N];
};

struct Lanes16 {
    static constexpr int N = 2;
    using reg = Parts<uint16x8_t, N>;
    using mask = reg;  // all ones in a lane that is set
    static constexpr size_t kLanes = 16;

    static TAV_DECODE_INLINE uint8x16_t load(const uint8_t *p) { return vld1q_u8(p); }
    static TAV_DECODE_INLINE bool ascii(uint8x16_t b) { return vmaxvq_u8(b) < 0x80; }
    static TAV_DECODE_INLINE reg widen(uint8x16_t b) { return {{vmovl_u8(vget_low_u8(b)), vmovl_high_u8(b)}}; }
    static TAV_DECODE_INLINE void store_ascii(uint8_t *d, uint8x16_t b) { vst1q_u8(d, b); }
    static TAV_DECODE_INLINE reg splat(uint32_t x) {
        const uint16x8_t v = vdupq_n_u16(static_cast<uint16_t>(x));
        return {{v, v}};
    }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) {
        for (int k = 0; k < N; ++k) a.v[k] = vandq_u16(a.v[k], b.v[k]);
        return a;
    }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) {
        for (int k = 0; k < N; ++k) a.v[k] = vorrq_u16(a.v[k], b.v[k]);
        return a;
    }
    template <int s>
    static TAV_DECODE_INLINE reg shl(reg a) {
        for (int k = 0; k < N; ++k) a.v[k] = vshlq_n_u16(a.v[k], s);
        return a;
    }
    static TAV_DECODE_INLINE mask ge(reg a, uint32_t x) {
        const uint16x8_t t = vdupq_n_u16(static_cast<uint16_t>(x));
        for (int k = 0; k < N; ++k) a.v[k] = vcgeq_u16(a.v[k], t);
        return a;
    }
    static TAV_DECODE_INLINE reg blend(mask m, reg a, reg b) {
        for (int k = 0; k < N; ++k) a.v[k] = vbslq_u16(m.v[k], b.v[k], a.v[k]);
        return a;
    }
    // Not 80-BF: b ^ 0x80 is at least 0x40.
    static TAV_DECODE_INLINE mask lead(reg b) {
        for (int k = 0; k < N; ++k) b.v[k] = vcgeq_u16(veorq_u16(b.v[k], vdupq_n_u16(0x80)), vdupq_n_u16(0x40));
        return b;
    }
    // Per register: the kept lanes to the front (TBL gives 0 for the
    // tables' 0x80), narrowed to bytes; eight bytes stored, count kept.
    static TAV_DECODE_INLINE size_t compress(uint8_t *d, reg v, mask m) {
        size_t o = 0;
        for (int k = 0; k < N; ++k) {
            const unsigned b = vaddvq_u16(vandq_u16(m.v[k], vld1q_u16(kLaneBits16)));
            const uint8x16_t packed = vqtbl1q_u8(vreinterpretq_u8_u16(v.v[k]), vld1q_u8(kCompress.shuffle16[b]));
            vst1_u8(d + o, vmovn_u16(vreinterpretq_u16_u8(packed)));
            o += kCompress.count[b];
        }
        return o;
    }
};

// The plane trait of transcode_planes (members as in utf8_avx2.cpp), for
// UCS-2, and of transcode_planes4, for UCS-4: 16 bytes per step. NEON
// shifts bytes, so the masks drop nothing.
struct Planes {
    using reg = uint8x16_t;
    static constexpr size_t kBytes = 16;

    static TAV_DECODE_INLINE reg load(const uint8_t *p) { return vld1q_u8(p); }
    static TAV_DECODE_INLINE bool ascii(reg b) { return vmaxvq_u8(b) < 0x80; }
    static TAV_DECODE_INLINE void store_ascii(uint16_t *d, reg b) {
        vst1q_u16(d, vmovl_u8(vget_low_u8(b)));
        vst1q_u16(d + 8, vmovl_high_u8(b));
    }
    static TAV_DECODE_INLINE void store_ascii(uint32_t *d, reg b) {
        const uint16x8_t lo = vmovl_u8(vget_low_u8(b)), hi = vmovl_high_u8(b);
        vst1q_u32(d, vmovl_u16(vget_low_u16(lo)));
        vst1q_u32(d + 4, vmovl_high_u16(lo));
        vst1q_u32(d + 8, vmovl_u16(vget_low_u16(hi)));
        vst1q_u32(d + 12, vmovl_high_u16(hi));
    }
    static TAV_DECODE_INLINE reg splat(uint8_t x) { return vdupq_n_u8(x); }
    static TAV_DECODE_INLINE reg and_(reg a, reg b) { return vandq_u8(a, b); }
    static TAV_DECODE_INLINE reg or_(reg a, reg b) { return vorrq_u8(a, b); }
    template <int k>
    static TAV_DECODE_INLINE reg shl(reg a) { return vshlq_n_u8(a, k); }
    template <int k>
    static TAV_DECODE_INLINE reg shr(reg a) { return vshrq_n_u8(a, k); }
    static TAV_DECODE_INLINE reg ge(reg a, uint8_t x) { return vcgeq_u8(a, splat(x)); }
    static TAV_DECODE_INLINE reg keep(reg m, reg a) { return vandq_u8(m, a); }
    static TAV_DECODE_INLINE reg blend(reg m, reg a, reg b) { return vbslq_u8(m, b, a); }
    // A bit per byte that is not 80-BF (below -64 as a signed byte).
    static TAV_DECODE_INLINE uint32_t lead_bits(reg b) {
        const reg leads = vcgeq_s8(vreinterpretq_s8_u8(b), vdupq_n_s8(-64));
        const reg bits = vandq_u8(leads, vld1q_u8(kByteBits));
        return vaddv_u8(vget_low_u8(bits)) | static_cast<uint32_t>(vaddv_u8(vget_high_u8(bits))) << 8;
    }
    static TAV_DECODE_INLINE size_t group(uint16_t *d, uint8x16_t units, unsigned m) {
        vst1q_u16(d, vreinterpretq_u16_u8(vqtbl1q_u8(units, vld1q_u8(kCompress.shuffle16[m]))));
        return kCompress.count[m];
    }
    // ZIP interleaves the planes into the 16-bit units of positions 0-7 and 8-15.
    static TAV_DECODE_INLINE size_t compress(uint16_t *d, reg lo, reg hi, uint32_t m) {
        const size_t k = group(d, vzip1q_u8(lo, hi), m & 0xFF);
        return k + group(d + k, vzip2q_u8(lo, hi), m >> 8);
    }
    // Four 32-bit units, the kept ones to the front.
    static TAV_DECODE_INLINE size_t group(uint32_t *d, uint16x8_t units, unsigned m) {
        vst1q_u32(d, vreinterpretq_u32_u8(vqtbl1q_u8(vreinterpretq_u8_u16(units), vld1q_u8(kCompress.shuffle32[m]))));
        return kCompress.count[m];
    }
    // Three planes: ZIP makes the low and high planes 16-bit halves, the top
    // plane (and zeros) the upper halves, and then 32-bit units of four
    // positions at a time.
    static TAV_DECODE_INLINE size_t compress(uint32_t *d, reg lo, reg hi, reg top, uint32_t m) {
        const uint16x8_t low0 = vreinterpretq_u16_u8(vzip1q_u8(lo, hi)), low1 = vreinterpretq_u16_u8(vzip2q_u8(lo, hi));
        const uint16x8_t up0 = vreinterpretq_u16_u8(vzip1q_u8(top, vdupq_n_u8(0)));
        const uint16x8_t up1 = vreinterpretq_u16_u8(vzip2q_u8(top, vdupq_n_u8(0)));
        size_t k = group(d, vzip1q_u16(low0, up0), m & 0xF);
        k += group(d + k, vzip2q_u16(low0, up0), m >> 4 & 0xF);
        k += group(d + k, vzip1q_u16(low1, up1), m >> 8 & 0xF);
        return k + group(d + k, vzip2q_u16(low1, up1), m >> 12);
    }
};

// The routines for plain input, each compiled once; the exported ones add
// the masked driver.
TAV_UTF8_TARGETED(TAV_DECODE_TARGET) int measure_plain(const uint8_t *src, size_t n, tav_utf8_measure *out) {
    return measure<Neon>(src, n, out);
}
TAV_UTF8_TARGETED(TAV_DECODE_TARGET) size_t latin1_plain(const uint8_t *src, size_t n, uint8_t *dst, size_t cap) {
    return transcode<Lanes16, 2>(src, n, dst, cap);
}
TAV_UTF8_TARGETED(TAV_DECODE_TARGET) size_t ucs2_plain(const uint8_t *src, size_t n, uint16_t *dst, size_t cap) {
    return transcode_planes<Planes>(src, n, dst, cap);
}
TAV_UTF8_TARGETED(TAV_DECODE_TARGET) size_t ucs4_plain(const uint8_t *src, size_t n, uint32_t *dst, size_t cap) {
    return transcode_planes4<Planes>(src, n, dst, cap);
}

}  // namespace tav_utf8_neon

// The decoder on NEON (utf8_decode.h).
TAV_UTF8_API int tav_utf8_measure_neon(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out) {
    return tav_utf8::measure_with(src, n, key, out, tav_utf8_neon::measure_plain);
}

TAV_UTF8_API size_t tav_utf8_to_latin1_neon(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                            size_t dst_len) {
    return tav_utf8::to_latin1(src, n, key, dst, dst_len, tav_utf8_neon::latin1_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs2_neon(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                          size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_neon::ucs2_plain);
}

TAV_UTF8_API size_t tav_utf8_to_ucs4_neon(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                          size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, tav_utf8_neon::ucs4_plain);
}

// NEON is baseline on aarch64: every caller may use it.
TAV_UTF8_API TAV_UTF8_TARGETED(TAV_LOOKUP_TARGET) int _tav_utf8vld_validate_neon(void *handle,
                                                                                 const uint8_t *data,
                                                                                 size_t length) {
    return tav_utf8_neon::validate<tav_utf8_neon::Neon>(tav_utf8::record(handle), data, length);
}

#undef TAV_DECODE_INLINE
#undef TAV_DECODE_TARGET
#undef TAV_LOOKUP_INLINE
#undef TAV_LOOKUP_NS
#undef TAV_LOOKUP_TARGET
#endif  // TAV_UTF8_AARCH64
