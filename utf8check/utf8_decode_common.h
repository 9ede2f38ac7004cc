// SPDX-License-Identifier: MIT
// The decoder's parts that every routine family shares: CPython's error
// position from a rejected offset, the portable measure and transcoder
// (also the vector routines' tails), and the driver that removes a masking
// key chunk by chunk in front of any family's routines. Baseline code: a
// family's routine inlines these under its own target.
#ifndef TAV_UTF8_DECODE_COMMON_H
#define TAV_UTF8_DECODE_COMMON_H

#include <cstring>  // memcpy, memmove

#include "utf8_internal.h"

namespace tav_utf8 TAV_UTF8_HIDDEN {

// Bytes of the character a lead byte begins (1 for ASCII and for bytes that
// begin none, whose rejection happens elsewhere).
inline size_t char_length(unsigned b) { return b < 0xC0u ? 1 : b < 0xE0u ? 2 : b < 0xF0u ? 3 : 4; }

inline bool continuation(unsigned b) { return (b & 0xC0u) == 0x80u; }

// The bound on every code point of valid UTF-8 whose largest byte is b.
inline uint32_t max_char_of(unsigned b) {
    if (b < 0x80u) return 0x7F;
    if (b < 0xC4u) return 0xFF;  // leads C2-C3: U+0080-00FF
    if (b < 0xF0u) return 0xFFFF;
    return 0x10FFFF;
}

// The start of the character that holds offset b - 1, when src[0, b) is a
// well-formed prefix: the last byte before b that is not a continuation, at
// most three back; b itself when none is.
inline size_t lead_before(const uint8_t *src, size_t b) {
    for (size_t k = b; k > 0 && b - k < 3;) {
        --k;
        if (!continuation(src[k])) return k;
    }
    return b;
}

// The automaton rejected the byte at r of a stream whose bytes before r
// are a well-formed prefix: CPython's error. A character still open at r
// makes the byte at r a bad continuation (start at its lead, end at r),
// else r itself is a bad start byte (end r + 1).
inline int rejected_at(const uint8_t *src, size_t r, tav_utf8_measure *out) {
    const size_t lead = lead_before(src, r);
    if (lead < r && lead + char_length(src[lead]) > r) {
        *out = {0, 0, TAV_UTF8_INVALID_CONTINUATION, lead, r};
    } else {
        *out = {0, 0, TAV_UTF8_INVALID_START, r, r + 1};
    }
    return -1;
}

// A well-formed stream of n bytes that ends inside its last character.
inline int ended_early(const uint8_t *src, size_t n, tav_utf8_measure *out) {
    *out = {0, 0, TAV_UTF8_UNEXPECTED_END, lead_before(src, n), n};
    return -1;
}

inline bool ascii_word(const uint8_t *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return (w & 0x8080808080808080ull) == 0;
}

// The portable measure: eight ASCII bytes at a time, the automaton over
// every other character.
inline int measure_scalar(const uint8_t *src, size_t n, tav_utf8_measure *out) {
    size_t i = 0, conts = 0;
    unsigned top = 0;  // the largest lead byte
    while (i < n) {
        if (n - i >= 8 && ascii_word(src + i)) {
            i += 8;
            continue;
        }
        const unsigned b = src[i];
        if (b < 0x80u) {
            ++i;
            continue;
        }
        int s = utf8_step(UTF8_ACCEPT, b);
        if (s == UTF8_REJECT) return rejected_at(src, i, out);
        const size_t lead = i++;
        while (s != UTF8_ACCEPT) {
            if (i == n) return ended_early(src, n, out);
            s = utf8_step(s, src[i]);
            if (s == UTF8_REJECT) return rejected_at(src, i, out);
            ++i;
        }
        conts += i - lead - 1;
        if (b > top) top = b;
    }
    *out = {n - conts, max_char_of(top), TAV_UTF8_VALID, 0, 0};
    return 0;
}

// Decodes src[i, n) into dst[o, cap) as if it were UTF-8 and returns the
// units written; the bytes at i that continue a character already written
// are passed over. Any input stays within both buffers: a byte read past
// n counts as 0, and decoding stops when dst is full.
template <class Unit>
inline size_t decode_scalar(const uint8_t *src, size_t i, size_t n, Unit *dst, size_t o, size_t cap) {
    while (i < n && continuation(src[i])) ++i;
    while (i < n && o < cap) {
        if (n - i >= 8 && cap - o >= 8 && ascii_word(src + i)) {
            for (int k = 0; k < 8; ++k) dst[o + k] = src[i + k];
            i += 8, o += 8;
            continue;
        }
        const uint32_t b = src[i];
        const size_t len = char_length(b);
        uint32_t c = b;
        if (len > 1) {
            const auto at = [&](size_t k) -> uint32_t { return i + k < n ? src[i + k] & 0x3Fu : 0u; };
            if (len == 2) {
                c = (b & 0x1Fu) << 6 | at(1);
            } else if (len == 3) {
                c = (b & 0x0Fu) << 12 | at(1) << 6 | at(2);
            } else {
                c = (b & 0x07u) << 18 | at(1) << 12 | at(2) << 6 | at(3);
            }
        }
        dst[o++] = static_cast<Unit>(c);
        i += len;
    }
    return o;
}

// Byte shuffles that move the lanes named by a bit mask to the front, for
// families without a compress instruction (Lemire and Mula's tables).
struct alignas(64) CompressTables {
    uint8_t shuffle16[256][16];  // 8 lanes of 16 bits: their bytes, in order, then 0x80 (zero)
    uint8_t shuffle32[16][16];   // 4 lanes of 32 bits
    uint32_t perm32[256];        // 8 lanes of 32 bits: lane numbers for a lane permute, a nibble each
    uint8_t count[256];          // bits set
};

constexpr CompressTables make_compress_tables() {
    CompressTables t{};
    for (unsigned m = 0; m < 256; ++m) {
        unsigned k = 0;
        for (unsigned j = 0; j < 8; ++j) {
            if (!(m >> j & 1)) continue;
            t.shuffle16[m][2 * k] = static_cast<uint8_t>(2 * j);
            t.shuffle16[m][2 * k + 1] = static_cast<uint8_t>(2 * j + 1);
            t.perm32[m] |= j << (4 * k);
            if (m < 16) {
                for (unsigned b = 0; b < 4; ++b) t.shuffle32[m][4 * k + b] = static_cast<uint8_t>(4 * j + b);
            }
            ++k;
        }
        t.count[m] = static_cast<uint8_t>(k);
        for (unsigned b = 2 * k; b < 16; ++b) t.shuffle16[m][b] = 0x80;
        if (m < 16) {
            for (unsigned b = 4 * k; b < 16; ++b) t.shuffle32[m][b] = 0x80;
        }
    }
    return t;
}

inline constexpr CompressTables kCompress = make_compress_tables();

// Masked input: the routines run on unmasked copies of chunks of this size
// on the stack, cut at character boundaries.
constexpr size_t kMaskChunk = 8192;

// dst[0, n) = src[0, n) XOR the key from key byte `phase`.
inline void unmask_into(const uint8_t *src, size_t n, const uint8_t *key, size_t phase, uint8_t *dst) {
    uint8_t k8[8];
    for (int j = 0; j < 8; ++j) k8[j] = key[(phase + j) & 3];
    uint64_t k;
    std::memcpy(&k, k8, 8);
    size_t i = 0;
    for (; n - i >= 8; i += 8) {
        uint64_t w;
        std::memcpy(&w, src + i, 8);
        w ^= k;
        std::memcpy(dst + i, &w, 8);
    }
    for (; i < n; ++i) dst[i] = src[i] ^ k8[i & 7];
}

// Runs `part(buf, m)` over the unmasked stream in pieces that end at a
// character boundary (the last one at n); a character cut by a chunk's end
// moves to the front of the next chunk. Stops when part returns false.
template <class Part>
inline void masked_pieces(const uint8_t *src, size_t n, const uint8_t *key, Part part) {
    uint8_t buf[kMaskChunk];
    size_t pos = 0;    // stream offset of buf[0]
    size_t carry = 0;  // bytes at the front of buf from the chunk before
    for (;;) {
        const size_t take = n - pos - carry < kMaskChunk - carry ? n - pos - carry : kMaskChunk - carry;
        unmask_into(src + pos + carry, take, key, (pos + carry) & 3, buf + carry);
        const size_t have = carry + take;
        const bool last = pos + have == n;
        const size_t cut = last ? have : lead_before(buf, have);
        if (!part(buf, cut, pos, last) || last) return;
        carry = have - cut;
        std::memmove(buf, buf + cut, carry);
        pos += cut;
    }
}

// A family's measure of masked input, from its measure of plain input.
template <class Measure>
inline int measure_masked(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out, Measure measure) {
    size_t length = 0;
    uint32_t max_char = 0x7F;
    int result = 0;
    masked_pieces(src, n, key, [&](const uint8_t *buf, size_t m, size_t pos, bool last) {
        tav_utf8_measure part;
        if (measure(buf, m, &part) != 0) {
            // A piece other than the last ends before a lead byte, which a
            // character still open there cannot take.
            if (!last && part.reason == TAV_UTF8_UNEXPECTED_END) part.reason = TAV_UTF8_INVALID_CONTINUATION;
            *out = {0, 0, part.reason, pos + part.start, pos + part.end};
            result = -1;
            return false;
        }
        length += part.length;
        if (part.max_char > max_char) max_char = part.max_char;
        return true;
    });
    if (result == 0) *out = {length, max_char, TAV_UTF8_VALID, 0, 0};
    return result;
}

// A family's transcoder of masked input, from its transcoder of plain input.
template <class Unit, class Convert>
inline size_t convert_masked(const uint8_t *src, size_t n, const uint8_t *key, Unit *dst, size_t dst_len,
                             Convert convert) {
    size_t o = 0;
    masked_pieces(src, n, key, [&](const uint8_t *buf, size_t m, size_t, bool) {
        o += convert(buf, m, dst + o, dst_len - o);
        return true;
    });
    return o;
}

// A family's routines, from its routines for plain input.
template <class Measure>
inline int measure_with(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out, Measure measure) {
    if (key != nullptr) return measure_masked(src, n, key, out, measure);
    return measure(src, n, out);
}

template <class Unit, class Convert>
inline size_t convert_with(const uint8_t *src, size_t n, const uint8_t *key, Unit *dst, size_t dst_len,
                           Convert convert) {
    if (key != nullptr) return convert_masked(src, n, key, dst, dst_len, convert);
    return convert(src, n, dst, dst_len);
}

// A family's Latin-1 transcoder. Valid UTF-8 with as many code points as
// bytes is ASCII, which is copied (and unmasked) as it is.
template <class Convert>
inline size_t to_latin1(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst, size_t dst_len,
                        Convert convert) {
    if (n == dst_len) {
        if (key != nullptr) {
            unmask_into(src, n, key, 0, dst);
        } else if (n != 0) {
            std::memcpy(dst, src, n);
        }
        return n;
    }
    if (key != nullptr) return convert_masked(src, n, key, dst, dst_len, convert);
    return convert(src, n, dst, dst_len);
}

}  // namespace tav_utf8

#endif  // TAV_UTF8_DECODE_COMMON_H
