// SPDX-License-Identifier: MIT
// The decoder's vector routines, written once and compiled once per
// processor family (utf8_ssse3.cpp, utf8_avx2.cpp, utf8_avx512.cpp), after
// that family's utf8_lookup.h and its trait.
//
// The measure is the lookup validator's own loop (scan in utf8_lookup.h)
// with a tally of the blocks it passes: the largest byte, which bounds the
// code points of valid text, and the continuation bytes, whose count taken
// from the length is the number of code points. Errors come from the
// automaton's exact offset, so their positions are CPython's.
//
// The transcoders follow Lemire and Mula, "Transcoding billions of Unicode
// characters per second with SIMD instructions" (Software: Practice and
// Experience, 2022), and, for the compress step, Clausecker and Lemire,
// "Transcoding Unicode characters with AVX-512 instructions" (2023): each
// step widens K bytes to K lanes of the output's width, with the K bytes
// one, two and three places on (plain unaligned loads), so every lane
// holds the code point of the character that would start there; the lanes
// of lead and ASCII bytes are then compressed to the front and stored
// whole. A step of K ASCII bytes is widened and stored as it is.
//
// The including file defines, besides the lookup macros:
//   TAV_DECODE_TARGET  the transcoders' target attribute
// and, after this header, the traits its transcoders instantiate: lanes of
// 16 or 32 bits for transcode (SSSE3 and AVX2: Latin-1 and UCS-4), byte
// planes for transcode_planes (UCS-2, every family). AVX-512 has kernels of
// its own for Latin-1 and UCS-4, built on VBMI2's byte compress.
#include "utf8_decode_common.h"

#define TAV_DECODE_INLINE TAV_UTF8_INLINE_TARGETED(TAV_DECODE_TARGET)

namespace TAV_LOOKUP_NS TAV_UTF8_HIDDEN {

// The measure's tally: a running byte maximum, and per byte lane a count of
// continuation bytes, summed before it can wrap.
template <class V>
struct MeasureTally {
    typename V::reg top, conts;
    unsigned blocks = 0;
    size_t total = 0;
    bool flagged_ = false;

    TAV_LOOKUP_INLINE void block(typename V::reg b) {
        top = V::max_(top, b);
        conts = V::sub_(conts, V::continuations(b));  // each 0xFF adds one
        if (++blocks == 255) flush();
    }
    TAV_LOOKUP_INLINE void flush() {
        total += V::sum_bytes(conts);
        conts = V::zero();
        blocks = 0;
    }
    TAV_LOOKUP_INLINE void flagged() { flagged_ = true; }
};

template <class V>
TAV_LOOKUP_INLINE int measure(const uint8_t *src, size_t n, tav_utf8_measure *out) {
    utf8vld_state st = {0, 0, UTF8_ACCEPT, 0};
    MeasureTally<V> tally = {V::zero(), V::zero()};
    const int r = scan<V>(&st, src, n, tally);
    if (r < 0) return tav_utf8::rejected_at(src, st.current_index, out);
    if (r > 0) return tav_utf8::ended_early(src, n, out);
    // The automaton took over although the text is well formed: the tally
    // missed blocks, so count again (the vector check flags no valid text;
    // this keeps the counts exact regardless).
    if (tally.flagged_) return tav_utf8::measure_scalar(src, n, out);
    tally.flush();
    alignas(64) uint8_t top[V::kWidth];
    V::store(top, tally.top);
    unsigned m = 0;
    for (size_t k = 0; k < V::kWidth; ++k) m = top[k] > m ? top[k] : m;
    *out = {n - tally.total, tav_utf8::max_char_of(m), TAV_UTF8_VALID, 0, 0};
    return 0;
}

// Decodes src[0, n) into dst[0, cap) (see decode_scalar for any input)
// with characters of at most kMaxLen bytes: 2 for Latin-1, 3 for UCS-2, 4
// for UCS-4. D is the lane trait whose lanes hold one code unit.
template <class D, size_t kMaxLen, class Unit>
TAV_DECODE_INLINE size_t transcode(const uint8_t *src, size_t n, Unit *dst, size_t cap) {
    constexpr size_t K = D::kLanes;
    using reg = typename D::reg;
    size_t i = 0, o = 0;
    // A step reads src[i, i + K + kMaxLen - 1) and stores K units.
    while (n - i >= K + kMaxLen - 1 && cap - o >= K) {
        const auto raw = D::load(src + i);
        if (D::ascii(raw)) {
            D::store_ascii(dst + o, raw);
            i += K, o += K;
            continue;
        }
        const reg b0 = D::widen(raw);
        const reg low6 = D::splat(0x3F);
        // The code point of a character of 2, 3 or 4 bytes starting in each lane.
        reg v = b0;
        reg acc = D::or_(D::template shl<6>(D::and_(b0, D::splat(0x1F))), D::and_(D::widen(D::load(src + i + 1)), low6));
        v = D::blend(D::ge(b0, 0xC0), v, acc);
        if constexpr (kMaxLen >= 3) {
            // 16-bit lanes drop the lead's marker bit as it moves out; 32-bit ones mask it.
            acc = D::or_(D::template shl<6>(acc), D::and_(D::widen(D::load(src + i + 2)), low6));
            v = D::blend(D::ge(b0, 0xE0), v, kMaxLen == 4 ? D::and_(acc, D::splat(0xFFFF)) : acc);
        }
        if constexpr (kMaxLen >= 4) {
            acc = D::or_(D::template shl<6>(acc), D::and_(D::widen(D::load(src + i + 3)), low6));
            v = D::blend(D::ge(b0, 0xF0), v, D::and_(acc, D::splat(0x1FFFFF)));
        }
        o += D::compress(dst + o, v, D::lead(b0));
        i += K;
    }
    return tav_utf8::decode_scalar(src, i, n, dst, o, cap);
}

// UCS-2: the code points of K positions are computed as two byte planes
// (low and high byte) on whole registers, which costs half the lane
// operations of 16-bit lanes, and interleaved to 16-bit units only to be
// compressed. P is the plane trait (see utf8_avx2.cpp); byte shifts are
// 16-bit shifts whose bits from the neighbouring byte the masks drop.
template <class P>
TAV_DECODE_INLINE size_t transcode_planes(const uint8_t *src, size_t n, uint16_t *dst, size_t cap) {
    constexpr size_t K = P::kBytes;
    using reg = typename P::reg;
    size_t i = 0, o = 0;
    while (n - i >= K + 2 && cap - o >= K) {
        const reg b0 = P::load(src + i);
        if (P::ascii(b0)) {
            P::store_ascii(dst + o, b0);
            i += K, o += K;
            continue;
        }
        const reg b1 = P::load(src + i + 1), b2 = P::load(src + i + 2);
        const auto is2 = P::ge(b0, 0xC0), is3 = P::ge(b0, 0xE0);
        // 110aaaaa 10bbbbbb: aaaaabbbbbb; 1110cccc 10aaaaaa 10bbbbbb: ccccaaaaaabbbbbb.
        const reg low6 = P::splat(0x3F), top2 = P::splat(0xC0);
        const reg lo2 = P::or_(P::and_(P::template shl<6>(b0), top2), P::and_(b1, low6));
        const reg lo3 = P::or_(P::and_(P::template shl<6>(b1), top2), P::and_(b2, low6));
        const reg hi2 = P::and_(P::template shr<2>(b0), P::splat(0x07));
        const reg hi3 = P::or_(P::and_(P::template shl<4>(b0), P::splat(0xF0)),
                               P::and_(P::template shr<2>(b1), P::splat(0x0F)));
        const reg lo = P::blend(is3, P::blend(is2, b0, lo2), lo3);
        const reg hi = P::blend(is3, P::keep(is2, hi2), hi3);
        o += P::compress(dst + o, lo, hi, P::lead_bits(b0));
        i += K;
    }
    return tav_utf8::decode_scalar(src, i, n, dst, o, cap);
}

}  // namespace TAV_LOOKUP_NS
