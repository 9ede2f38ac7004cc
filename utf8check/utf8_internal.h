// SPDX-License-Identifier: MIT
// Internal header of the validator library, shared by every routine file:
// the record, the byte-class automaton (its table and its per-byte step by
// range comparisons) and the exits that store a call's outcome. Nothing here
// is exported: the table has hidden visibility and the helpers are inline.
#ifndef TAV_UTF8_INTERNAL_H
#define TAV_UTF8_INTERNAL_H

#include "tav_utf8check.h"
#include "utf8_compiler.h"

namespace tav_utf8 TAV_UTF8_HIDDEN {

// Bytes 0-255: the class of each byte value. Bytes 256-399: next state for
// state s and class c at 256 + 16 * s + c (columns 12-15 are never indexed).
// One definition, in _tav_utf8check.cpp; hidden, like everything in this
// namespace: private to the module, whatever the optimisation level.
extern const uint8_t UTF8VALIDATOR_DFA[400];

inline utf8vld_state *record(void *handle) { return static_cast<utf8vld_state *>(handle); }

// The end of a call that rejected nothing: store the state the chunk ends in.
inline int finish(utf8vld_state *st, int s, size_t consumed) {
    st->state = s;
    st->current_index = consumed;
    st->total_index += consumed;
    return s == UTF8_ACCEPT ? 0 : 1;
}

// The end of the call that rejected the byte at `offset`.
inline int reject(utf8vld_state *st, size_t offset) {
    st->state = UTF8_REJECT;
    st->current_index = offset;
    st->total_index += offset;
    return -1;
}

// One byte of the automaton by range comparisons (RFC 3629 section 4;
// Unicode 15 chapter 3, table 3-7). Never entered in UTF8_REJECT.
inline int utf8_step(int s, unsigned b) {
    switch (s) {
    case 0:
        if (b < 0x80) return 0;                 // 00-7F       U+0000-007F
        if (b - 0xC2u < 0x1Eu) return 2;        // C2-DF       U+0080-07FF
        if (b - 0xE1u < 0x0Cu || (b & 0xFEu) == 0xEEu) return 3;  // E1-EC, EE-EF
        if (b == 0xE0) return 4;                // E0 A0-BF    U+0800-0FFF
        if (b == 0xF4) return 8;                // F4 80-8F    U+100000-10FFFF
        if (b == 0xED) return 5;                // ED 80-9F    U+D000-D7FF
        if (b - 0xF1u < 0x03u) return 7;        // F1-F3       U+40000-FFFFF
        if (b == 0xF0) return 6;                // F0 90-BF    U+10000-3FFFF
        return UTF8_REJECT;                     // 80-C1, F5-FF
    case 2: return (b & 0xC0u) == 0x80u ? 0 : UTF8_REJECT;   // 80-BF
    case 3: return (b & 0xC0u) == 0x80u ? 2 : UTF8_REJECT;   // 80-BF
    case 4: return (b & 0xE0u) == 0xA0u ? 2 : UTF8_REJECT;   // A0-BF
    case 5: return (b & 0xE0u) == 0x80u ? 2 : UTF8_REJECT;   // 80-9F
    case 6: return b - 0x90u < 0x30u ? 3 : UTF8_REJECT;      // 90-BF
    case 7: return (b & 0xC0u) == 0x80u ? 3 : UTF8_REJECT;   // 80-BF
    case 8: return (b & 0xF0u) == 0x80u ? 3 : UTF8_REJECT;   // 80-8F
    default: return UTF8_REJECT;
    }
}

// The table-driven automaton over data[i, n) from state s (not
// UTF8_REJECT), ending the call: the exact offset of the first rejected
// byte, or the state after the last byte with current_index n.
inline int run_table(utf8vld_state *st, const uint8_t *data, size_t n, size_t i, int s) {
    // A pointer-sized state keeps the dependent chain per byte at a shift,
    // an add and the next-state load.
    size_t q = static_cast<size_t>(s);
    const uint8_t *next_state = UTF8VALIDATOR_DFA + 256;
    for (; i < n; ++i) {
        q = next_state[16 * q + UTF8VALIDATOR_DFA[data[i]]];
        if (q == UTF8_REJECT) return reject(st, i);
    }
    return finish(st, static_cast<int>(q), n);
}

}  // namespace tav_utf8

#endif  // TAV_UTF8_INTERNAL_H
