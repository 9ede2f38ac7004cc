// SPDX-License-Identifier: MIT
// The masking kernel, written once over a register trait V and compiled once
// per processor family in _tav_bytemask.cpp (SSE2, AVX2, AVX-512; NEON on
// aarch64).
//
// dst[i] = src[i] XOR key byte (p + i) % 4 for i < n; with src == dst it
// masks in place. src and dst are the same buffer or do not overlap. A
// piece of V::kBlocksFrom bytes or more gets a head that brings dst to a
// multiple of the register width and aligned stores, four blocks at a time;
// the trait's tail masks the rest, or the whole of a shorter piece. Each
// block starts at the same key phase (the width is a multiple of 4), so one
// key register serves them all. Nothing outside the two buffers is read or
// written.
//
// The trait supplies the register and its operations and says how the
// edges are done:
//   reg, Key                 the register type, and how the key travels
//                            along the edges (a key word, or key and position)
//   kWidth, kBlocksFrom      register width; shortest piece that gets blocks
//   start(key, p)            the Key for stream position p
//   head(src, dst, h, k)     the h (> 0) bytes up to dst's boundary; returns
//                            the Key after them
//   splat(k)                 the key register for the first block
//   skip(k, m)               the Key m bytes (a multiple of 4) further on
//   load(src), store(dst, v) (store: aligned), xor_(a, b)
//   tail(src, dst, n, k)     the last n bytes (n < kBlocksFrom)
//
// The including file defines TAV_MASK_TARGET (the family's target
// attribute, a string; left undefined for baseline code) and TAV_MASK_NS
// (the namespace of this instantiation) before this header and the trait
// after it. No include guard: each family includes it once and undefines
// the macros after its routines.
#include <cstdint>  // uint8_t, uint64_t, uintptr_t
#include <cstring>  // memcpy

#include "mask_compiler.h"

#if defined(TAV_MASK_TARGET)
#define TAV_MASK_INLINE TAV_MASK_INLINE_TARGETED(TAV_MASK_TARGET)
#else
#define TAV_MASK_INLINE TAV_MASK_FORCE_INLINE
#endif

#ifndef TAV_MASK_WORDS_DEFINED
#define TAV_MASK_WORDS_DEFINED
namespace tav_mask TAV_MASK_HIDDEN {

// Key word for stream position q: byte k (lowest address first) is
// key[(q + k) % 4], two copies of the rotated key. A step of a multiple of
// 4 bytes keeps the word; others rotate it.
inline uint64_t key_word(const uint8_t key[4], size_t q) {
    uint32_t w;
    std::memcpy(&w, key, 4);
    const unsigned s = 8u * static_cast<unsigned>(q & 3u);
    if (s != 0) w = (w >> s) | (w << (32u - s));
    return static_cast<uint64_t>(w) << 32 | w;
}

// The key word `bytes` (0-3) positions further on.
inline uint64_t rotate_bytes(uint64_t k, unsigned bytes) {
    const unsigned s = 8u * bytes;
    return s == 0 ? k : (k >> s) | (k << (64u - s));
}

// XOR the first sizeof(T) bytes of the key word into sizeof(T) bytes (1, 2, 4 or 8).
template <class T>
inline void xor_word(const uint8_t *src, uint8_t *dst, uint64_t k) {
    T v;
    std::memcpy(&v, src, sizeof v);
    v ^= static_cast<T>(k);
    std::memcpy(dst, &v, sizeof v);
}

// Mask n bytes one at a time, the key from stream position p on.
inline void xor_bytes(const uint8_t key[4], size_t p, const uint8_t *src, uint8_t *dst, size_t n) {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i] ^ key[(p + i) & 3];
}

}  // namespace tav_mask
#endif

namespace TAV_MASK_NS TAV_MASK_HIDDEN {

using tav_mask::rotate_bytes;
using tav_mask::xor_word;

// Edges in word steps, for traits whose Key is the key word and which have
// a 16-byte step V::xor_16.
//
// The head bytes (fewer than 32) up to dst's 16- or 32-byte boundary, in
// steps of 1, 2, 4, 8 and 16, smallest first, so that each step lands on an
// address aligned to its size; returns the key word after them.
template <class V>
TAV_MASK_INLINE uint64_t step_head(const uint8_t *src, uint8_t *dst, size_t head, uint64_t k) {
    // Laid out in line: a misaligned dst takes most of these steps.
    if (TAV_MASK_EXPECT(head & 1, 1)) xor_word<uint8_t>(src, dst, k), src += 1, dst += 1, k = rotate_bytes(k, 1);
    if (TAV_MASK_EXPECT(head & 2, 2)) xor_word<uint16_t>(src, dst, k), src += 2, dst += 2, k = rotate_bytes(k, 2);
    if (TAV_MASK_EXPECT(head & 4, 4)) xor_word<uint32_t>(src, dst, k), src += 4, dst += 4;
    if (TAV_MASK_EXPECT(head & 8, 8)) xor_word<uint64_t>(src, dst, k), src += 8, dst += 8;
    if (TAV_MASK_EXPECT(head & 16, 16)) V::xor_16(src, dst, k);
    return k;
}

// The last n bytes (fewer than 32) in steps of 16, 8, 4, 2 and 1, largest first.
template <class V>
TAV_MASK_INLINE void step_rest(const uint8_t *src, uint8_t *dst, size_t n, uint64_t k) {
    if (n & 16) V::xor_16(src, dst, k), src += 16, dst += 16;
    if (n & 8) xor_word<uint64_t>(src, dst, k), src += 8, dst += 8;
    if (n & 4) xor_word<uint32_t>(src, dst, k), src += 4, dst += 4;
    if (n & 2) xor_word<uint16_t>(src, dst, k), src += 2, dst += 2, k = rotate_bytes(k, 2);
    if (n & 1) xor_word<uint8_t>(src, dst, k);
}

template <class V>
TAV_MASK_INLINE void mask(const uint8_t key[4], size_t p, const uint8_t *src, uint8_t *dst, size_t n) {
    using reg = typename V::reg;
    constexpr size_t W = V::kWidth;
    typename V::Key k = V::start(key, p);
    if (n < V::kBlocksFrom) {
        // A short piece returns at once: its path meets none of the head's branches.
        V::tail(src, dst, n, k);
        return;
    }
    const size_t misalign = reinterpret_cast<uintptr_t>(dst) & (W - 1);
    if (misalign != 0) {
        const size_t head = W - misalign;
        k = V::head(src, dst, head, k);
        src += head;
        dst += head;
        n -= head;
    }
    const size_t blocks = n / W;
    if (blocks != 0) {
        // The key register is built only when a block needs it.
        const reg key_reg = V::splat(k);
        for (size_t j = blocks / 4; j != 0; --j, src += 4 * W, dst += 4 * W) {
            const reg a = V::load(src);
            const reg b = V::load(src + W);
            const reg c = V::load(src + 2 * W);
            const reg d = V::load(src + 3 * W);
            V::store(dst, V::xor_(a, key_reg));
            V::store(dst + W, V::xor_(b, key_reg));
            V::store(dst + 2 * W, V::xor_(c, key_reg));
            V::store(dst + 3 * W, V::xor_(d, key_reg));
        }
        // Counted loops over the pointers: the fewest instructions around one
        // to three blocks, where small pieces spend their time.
        for (size_t j = blocks % 4; j != 0; --j, src += W, dst += W) V::store(dst, V::xor_(V::load(src), key_reg));
        n %= W;
        k = V::skip(k, W * blocks);
    }
    V::tail(src, dst, n, k);
}

// A routine's whole call: mask from the record's pointer, then advance it.
template <class V>
TAV_MASK_INLINE size_t run(xormask_state *st, const uint8_t *src, uint8_t *dst, size_t n) {
    const size_t p = st->pointer;
    const size_t end = p + n;  // one value kept across the kernel instead of two
    mask<V>(st->mask, p, src, dst, n);
    return st->pointer = end;
}

}  // namespace TAV_MASK_NS
