// SPDX-License-Identifier: MIT
// The vector validator, written once over a register trait V and compiled
// once per processor family (utf8_ssse3.cpp, utf8_avx2.cpp, utf8_avx512.cpp).
//
// Method: the nibble lookups of Keiser and Lemire, "Validating UTF-8 In Less
// Than One Instruction Per Byte" (Software: Practice and Experience, 2021).
// Three 16-entry lookups on the high and low nibble of the previous byte and
// the high nibble of the current byte give the errors of each pair of
// adjacent bytes; a saturating subtraction marks the bytes that must be the
// third or fourth of a sequence. A block whose error vector is zero, after
// blocks that were all zero, leaves the stream well formed up to the
// character its last bytes begin.
//
// Exact and incremental: the carried state is walked byte by byte to a
// character boundary, the vector check runs from there, and the automaton
// takes over from the last character boundary before the first flagged unit
// (it rejects inside that unit, at the exact byte) and over the last
// character of the chunk (its state is the one carried out). So the results,
// the state and both indices are those of _tav_utf8vld_validate_table.
//
// The including file defines, before this header:
//   TAV_LOOKUP_TARGET  the target attribute of its family, e.g. "avx2"
//   TAV_LOOKUP_NS      the namespace of this instantiation
// and then the trait (see Ssse3 in utf8_ssse3.cpp for its members). No
// include guard: each family includes this once, in its own namespace, and
// undefines the macros at its end.
#include <cstring>      // memcpy
#include <type_traits>  // the trait's optional members

#include "utf8_internal.h"

#define TAV_LOOKUP_INLINE TAV_UTF8_INLINE_TARGETED(TAV_LOOKUP_TARGET)

// Test builds of the library (never the module) define TAV_LOOKUP_PROBE to
// learn where the automaton takes over: a result can be exact even when the
// vector check flags too much (valid text falls back to the slow path) or a
// unit too late (a rejection then hides within the bytes looked back at).
#if defined(TAV_LOOKUP_PROBE) && !defined(TAV_LOOKUP_PROBE_DECLARED)
#define TAV_LOOKUP_PROBE_DECLARED
// flagged: 1 when a unit at offset `unit` was flagged, 0 at the end of the
// chunk; `from`: the offset where the automaton starts.
extern "C" void tav_lookup_probe(int flagged, size_t unit, size_t from);
#endif

namespace TAV_LOOKUP_NS TAV_UTF8_HIDDEN {

using tav_utf8::finish;
using tav_utf8::reject;
using tav_utf8::run_table;
using tav_utf8::utf8_step;

// Error bits of a pair of adjacent bytes (p, c).
constexpr uint8_t TOO_SHORT = 0x01;   // p C0-FF (a lead), c not 80-BF
constexpr uint8_t TOO_LONG = 0x02;    // p 00-7F, c 80-BF
constexpr uint8_t OVERLONG_3 = 0x04;  // E0 80-9F
constexpr uint8_t TOO_LARGE = 0x08;   // F4-FF 90-BF: above U+10FFFF
constexpr uint8_t SURROGATE = 0x10;   // ED A0-BF: U+D800-DFFF
constexpr uint8_t OVERLONG_2 = 0x20;  // C0-C1 80-BF
constexpr uint8_t OVERLONG_4 = 0x40;  // F0 80-8F; also F5-FF 80-8F
constexpr uint8_t TWO_CONTS = 0x80;   // 80-BF 80-BF, unless c is a third or fourth byte
constexpr uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

// errors(p, c) = H1[p >> 4] & L1[p & 15] & H2[c >> 4].
alignas(16) constexpr uint8_t kH1[16] = {
    // 0-7: ASCII
    TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG,
    // 8-B: continuation
    TWO_CONTS, TWO_CONTS, TWO_CONTS, TWO_CONTS,
    TOO_SHORT | OVERLONG_2,                 // C
    TOO_SHORT,                              // D
    TOO_SHORT | OVERLONG_3 | SURROGATE,     // E
    TOO_SHORT | TOO_LARGE | OVERLONG_4,     // F
};
alignas(16) constexpr uint8_t kL1[16] = {
    CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4,   // 0: C0, E0, F0
    CARRY | OVERLONG_2,                             // 1: C1
    CARRY, CARRY,                                   // 2-3
    CARRY | TOO_LARGE,                              // 4: F4
    CARRY | TOO_LARGE | OVERLONG_4, CARRY | TOO_LARGE | OVERLONG_4,  // 5-C: F5-FC
    CARRY | TOO_LARGE | OVERLONG_4, CARRY | TOO_LARGE | OVERLONG_4,
    CARRY | TOO_LARGE | OVERLONG_4, CARRY | TOO_LARGE | OVERLONG_4,
    CARRY | TOO_LARGE | OVERLONG_4, CARRY | TOO_LARGE | OVERLONG_4,
    CARRY | TOO_LARGE | OVERLONG_4 | SURROGATE,     // D: ED, FD
    CARRY | TOO_LARGE | OVERLONG_4, CARRY | TOO_LARGE | OVERLONG_4,  // E-F: FE, FF
};
alignas(16) constexpr uint8_t kH2[16] = {
    // 0-7: ASCII
    TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
    TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | OVERLONG_4,  // 8
    TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE,   // 9
    TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,    // A
    TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,    // B
    // C-F: lead
    TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
};

// The constants of the check, loaded once per call.
template <class V>
struct Consts {
    typename V::reg h1, l1, h2, low_nibble, third, fourth, top_bit, last_max;
};

template <class V>
TAV_LOOKUP_INLINE Consts<V> consts() {
    return {V::table(kH1), V::table(kL1), V::table(kH2), V::splat(0x0F),
            // sat(p2 - 0x60) >= 0x80 exactly when p2 is E0-FF; sat(p3 - 0x70) when p3 is F0-FF.
            V::splat(0xE0 - 0x80), V::splat(0xF0 - 0x80), V::splat(0x80),
            // Above these, the last three bytes begin a character the block does not finish.
            V::last_bytes_max(0xEF, 0xDF, 0xBF)};
}

// The error vector of block `cur` whose bytes one, two and three places
// before are p1, p2 and p3: zero where the pair of a byte and the one
// before it is allowed and the byte is a required continuation exactly when
// the bytes two and three before call for one.
template <class V>
TAV_LOOKUP_INLINE typename V::reg errors_of(const Consts<V> &k, typename V::reg cur, typename V::reg p1,
                                            typename V::reg p2, typename V::reg p3) {
    const auto pair = V::and_(V::and_(V::lookup(k.h1, V::high_nibbles(p1, k.low_nibble)),
                                      V::lookup(k.l1, V::and_(p1, k.low_nibble))),
                              V::lookup(k.h2, V::high_nibbles(cur, k.low_nibble)));
    const auto must23 = V::and_(V::or_(V::subs(p2, k.third), V::subs(p3, k.fourth)), k.top_bit);
    return V::xor_(must23, pair);
}

// The error vector of block `cur` after block `before`, which the shuffles
// of V::previous move in.
template <class V>
TAV_LOOKUP_INLINE typename V::reg block_errors(const Consts<V> &k, typename V::reg cur, typename V::reg before) {
    typename V::reg p1, p2, p3;
    V::previous(cur, before, p1, p2, p3);
    return errors_of<V>(k, cur, p1, p2, p3);
}

// Whether the trait reads the bytes before a block again from memory
// (V::kReload) rather than shuffling them in from the block before; false
// for a trait that does not say.
template <class V, class = void>
struct Reloads : std::false_type {};
template <class V>
struct Reloads<V, std::void_t<decltype(V::kReload)>> : std::integral_constant<bool, V::kReload> {};

// The error vector of the block `cur` at data + i after block `before`.
// With kReload, past the first block of the vector part (at `start`),
// the three bytes before the block are loaded again: loads instead of the
// shuffles that bind on dense text.
template <class V>
TAV_LOOKUP_INLINE typename V::reg errors_at(const Consts<V> &k, const uint8_t *data, size_t start, size_t i,
                                            typename V::reg cur, typename V::reg before) {
    if constexpr (Reloads<V>::value) {
        if (i != start) {
            const uint8_t *p = data + i;
            return errors_of<V>(k, cur, V::load(p - 1), V::load(p - 2), V::load(p - 3));
        }
    } else {
        (void)data, (void)start, (void)i;
    }
    return block_errors<V>(k, cur, before);
}

// Non-zero when the block's last bytes begin a character it does not finish.
template <class V>
TAV_LOOKUP_INLINE typename V::reg unfinished(const Consts<V> &k, typename V::reg last) {
    return V::subs(last, k.last_max);
}

// The last character boundary before offset b, looking back at most three
// bytes and never before `start`: the last byte that is not a continuation,
// or b itself when the three before it all are. Valid for a stream that is
// well formed up to the character its last bytes begin.
inline size_t boundary_before(const uint8_t *data, size_t start, size_t b) {
    for (size_t k = b; k > start && b - k < 3;) {
        --k;
        if ((data[k] & 0xC0u) != 0x80u) return k;
    }
    return b;
}

// Whether the chunk's last bytes begin a character they do not finish: a
// lead (C0-FF) last, E0-FF second to last or F0-FF third to last, never
// looking before `start`. C0, C1 and F5-FF count: only the automaton rejects
// them there. Valid for a stream that is well formed up to the character its
// last bytes begin; when false, that character is complete and the state is
// UTF8_ACCEPT.
inline bool ends_open(const uint8_t *data, size_t start, size_t n) {
    const size_t k = n - start;
    // From three bytes on, one branch for the three tests.
    if (k >= 3) return (data[n - 1] >= 0xC0) | (data[n - 2] >= 0xE0) | (data[n - 3] >= 0xF0);
    return (k >= 1 && data[n - 1] >= 0xC0) || (k == 2 && data[n - 2] >= 0xE0);
}

// The first n (< 16) bytes at p as two little-endian words, zero above
// them; reads nothing outside p[0, n). For the traits whose registers have
// no masked load: two word loads that overlap, not a copy through memory.
inline void load_partial16(const uint8_t *p, size_t n, uint64_t &lo, uint64_t &hi) {
    hi = 0;
    if (n >= 8) {
        std::memcpy(&lo, p, 8);
        uint64_t last;  // bytes n - 8 to n - 1: its top n - 8 bytes are bytes 8 to n - 1
        std::memcpy(&last, p + n - 8, 8);
        if (n > 8) hi = last >> (8 * (16 - n));
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        lo = a | uint64_t{b} << (8 * (n - 4));
    } else {
        // 1-3 bytes: the first, the middle and the last (some the same).
        lo = n == 0 ? 0 : p[0] | uint64_t{p[n / 2]} << (8 * (n / 2)) | uint64_t{p[n - 1]} << (8 * (n - 1));
    }
}

// What a caller learns of the blocks besides their errors. The validator
// learns nothing; the decoder's measure counts and bounds the characters
// (utf8_decode.h). block() sees every block that is not all ASCII, each byte
// once (the last one padded with zeros); flagged() says the automaton took
// over before the end.
struct NoTally {
    template <class R>
    TAV_LOOKUP_INLINE void block(R) {}
    TAV_LOOKUP_INLINE void flagged() {}
};

// The end of a chunk that is well formed up to its last character. When
// the last bytes begin one they do not finish, the automaton walks it: its
// state is carried out, and a last byte that can start no character (C0,
// C1, F5-FF: flagged only by the byte after it) is rejected.
TAV_LOOKUP_INLINE int chunk_end(utf8vld_state *st, const uint8_t *data, size_t start, size_t n) {
    if (ends_open(data, start, n)) {
        const size_t from = boundary_before(data, start, n);
#if defined(TAV_LOOKUP_PROBE)
        tav_lookup_probe(0, n, from);
#endif
        return run_table(st, data, n, from, UTF8_ACCEPT);
    }
#if defined(TAV_LOOKUP_PROBE)
    tav_lookup_probe(0, n, n);
#endif
    return finish(st, UTF8_ACCEPT, n);
}

// The end of a chunk that leaves nothing open: its last block is all ASCII,
// or padded with zeros and its error vector is zero. The first zero is
// flagged exactly when the last bytes begin a character they do not finish
// (a lead last: TOO_SHORT; E0-FF second or F0-FF third to last: a required
// continuation), and the zeros after it only then; so no errors at all
// means no errors in the bytes and a last character complete.
TAV_LOOKUP_INLINE int ascii_end(utf8vld_state *st, size_t n) {
#if defined(TAV_LOOKUP_PROBE)
    tav_lookup_probe(0, n, n);
#endif
    return finish(st, UTF8_ACCEPT, n);
}

// The stream is well formed up to the character that begins before unit
// i, and ill formed within it: the automaton finds the byte.
template <class Tally>
TAV_LOOKUP_INLINE int hand_over(utf8vld_state *st, const uint8_t *data, size_t start, size_t i, size_t n,
                                Tally &tally) {
    const size_t from = boundary_before(data, start, i);
#if defined(TAV_LOOKUP_PROBE)
    tav_lookup_probe(1, i, from);
#endif
    tally.flagged();
    return run_table(st, data, n, from, UTF8_ACCEPT);
}

template <class V, class Tally>
TAV_LOOKUP_INLINE int scan(utf8vld_state *st, const uint8_t *data, size_t n, Tally &tally) {
    using reg = typename V::reg;
    constexpr size_t W = V::kWidth;
    constexpr size_t G = V::kGroup;  // blocks per loop step, one test per group
    int s = st->state;
    if (s == UTF8_REJECT) return finish(st, UTF8_REJECT, n);

    // Inside a character: byte by byte to its end (at most three bytes).
    size_t i = 0;
    while (s != UTF8_ACCEPT) {
        if (i == n) return finish(st, s, n);
        s = utf8_step(s, data[i]);
        if (s == UTF8_REJECT) return reject(st, i);
        ++i;
    }
    const size_t start = i;  // a character boundary

    if (n - i <= W) {
        // At most a block: one load (padded when short), the constants only
        // when it is not all ASCII. ASCII after a boundary leaves nothing open.
        const size_t rest = n - i;
        const reg cur = rest == W ? V::load(data + i) : V::load_tail(data + i, rest);
        if (V::ascii(cur)) return ascii_end(st, n);
        const reg e = block_errors<V>(consts<V>(), cur, V::zero());
        if (rest < W) {
            // Padded: a valid chunk that ends on a boundary has no errors at
            // all (see ascii_end).
            if (!V::nonzero(e)) {
                tally.block(cur);
                return ascii_end(st, n);
            }
            if (V::nonzero_in_first(e, rest)) return hand_over(st, data, start, i, n, tally);
        } else if (V::nonzero(e)) {
            return hand_over(st, data, start, i, n, tally);
        }
        tally.block(cur);
        return chunk_end(st, data, start, n);
    }

    const Consts<V> k = consts<V>();
    // `before` is the block before the next one; the bytes it ends with
    // wait for continuations exactly when unfinished(before) is not zero,
    // which is tested only where an ASCII block follows it.
    reg before = V::zero();  // at a boundary, as after ASCII
    // The errors of the groups since `mark` are ORed together and tested
    // once per four groups; when they are not zero, the blocks from mark
    // are checked again one by one to find the first flagged one.
    reg errors = V::zero();
    size_t mark = i;
    reg mark_before = before;
    unsigned unchecked = 0;
    while (n - i >= G * W) {
        reg b[G];
        for (size_t g = 0; g < G; ++g) b[g] = V::load(data + i + g * W);
        reg any = b[0];
        for (size_t g = 1; g < G; ++g) any = V::or_(any, b[g]);
        if (V::ascii(any)) {
            // All ASCII: an error only when the bytes before wait for continuations.
            if (V::nonzero(V::or_(errors, unfinished<V>(k, before)))) goto recheck;
            // A run of ASCII leaves nothing open: while it lasts, only the
            // top bits are tested, once per four groups. The loop runs on a
            // pointer and its last start; the block before the next one is
            // loaded again after it, not carried through it.
            if (n - i >= 5 * G * W) {
                const uint8_t *span = data + i + G * W;
                const uint8_t *const last = data + n - 4 * G * W;
                do {
                    reg top = V::load(span);
                    for (size_t q = 1; q < 4 * G; ++q) top = V::or_(top, V::load(span + q * W));
                    if (!V::ascii(top)) break;
                    span += 4 * G * W;
                } while (span <= last);
                i = static_cast<size_t>(span - data) - G * W;
            }
            before = V::load(data + i + (G - 1) * W);
            i += G * W;
            if (n - i < 4 * G * W) {
                // The run may reach the end: the rest (less than four groups
                // and a block) is tested at once, its last block by a load
                // that overlaps the bytes before it.
                reg top = V::load(data + n - W);
                for (size_t q = i; n - q > W; q += W) top = V::or_(top, V::load(data + q));
                if (V::ascii(top)) return ascii_end(st, n);
            }
            mark = i, mark_before = before, unchecked = 0;
            continue;
        }
        errors = V::or_(errors, errors_at<V>(k, data, start, i, b[0], before));
        for (size_t g = 1; g < G; ++g) errors = V::or_(errors, errors_at<V>(k, data, start, i + g * W, b[g], b[g - 1]));
        for (size_t g = 0; g < G; ++g) tally.block(b[g]);
        before = b[G - 1];
        i += G * W;
        if (++unchecked == 4) {
            if (V::nonzero(errors)) goto recheck;
            mark = i, mark_before = before, unchecked = 0;
        }
    }
    // All groups checked (none, or the last test passed): errors is zero.
    if (unchecked != 0 && V::nonzero(errors)) goto recheck;
    for (; n - i >= W; i += W) {
        const reg cur = V::load(data + i);
        if (V::nonzero(V::ascii(cur) ? unfinished<V>(k, before) : errors_at<V>(k, data, start, i, cur, before)))
            goto flagged;
        if (!V::ascii(cur)) tally.block(cur);
        before = cur;
    }
    if (i < n) {
        // The last bytes, padded with zeros: ASCII ends on a boundary, and
        // so do other bytes with no errors at all (see ascii_end); errors at
        // the padding alone leave the last character open.
        const size_t rest = n - i;
        const reg cur = V::load_tail(data + i, rest);
        if (V::ascii(cur)) {
            if (V::nonzero(unfinished<V>(k, before))) goto flagged;
            return ascii_end(st, n);
        }
        const reg e = block_errors<V>(k, cur, before);
        tally.block(cur);
        if (!V::nonzero(e)) return ascii_end(st, n);
        if (V::nonzero_in_first(e, rest)) goto flagged;
    }
    return chunk_end(st, data, start, n);

recheck:
    // A block from mark on has errors, or an ASCII block follows a character
    // left open: the first such block is the flagged unit.
    i = mark, before = mark_before;
    for (; n - i >= W; i += W) {
        const reg cur = V::load(data + i);
        if (V::nonzero(V::ascii(cur) ? unfinished<V>(k, before) : errors_at<V>(k, data, start, i, cur, before)))
            break;
        before = cur;
    }

flagged:
    return hand_over(st, data, start, i, n, tally);
}

template <class V>
TAV_UTF8_TARGETED(TAV_LOOKUP_TARGET) int validate(utf8vld_state *st, const uint8_t *data, size_t n) {
    NoTally none;
    return scan<V>(st, data, n, none);
}

}  // namespace TAV_LOOKUP_NS
