// SPDX-License-Identifier: MIT
// Block validators of _tav_utf8check, x86-64 only: aligned 16-byte blocks,
// all-ASCII ones passed by their sign mask while at a character boundary,
// any other run through the per-byte step written out for its 16 positions.
// _tav_utf8vld_validate_sse2 is baseline x86-64; _tav_utf8vld_validate_sse4
// needs SSE4.1 (TAV_CPU_SSE41) and carries its own target attribute.
#include "utf8_internal.h"

#if defined(TAV_UTF8_X86_64)

using namespace tav_utf8;

namespace tav_utf8_block TAV_UTF8_HIDDEN {

// Byte k of a block for the SSE2 machine. Each position shifts the register
// right by one byte before reading, so byte k is read as the lowest byte
// after k shifts.
template <int K>
TAV_UTF8_FORCE_INLINE unsigned sse2_byte(__m128i &v) {
    if constexpr (K > 0) v = _mm_srli_si128(v, 1);
    return static_cast<unsigned>(_mm_cvtsi128_si32(v)) & 0xFFu;
}

// Byte k of a block for the SSE4.1 machine: extracted by its index, the
// register is never changed. Byte 0 is the low byte of the low 32 bits.
template <int K>
TAV_UTF8_INLINE_TARGETED("sse4.1") unsigned sse4_byte(const __m128i &v) {
    if constexpr (K == 0) {
        return static_cast<unsigned>(_mm_cvtsi128_si32(v)) & 0xFFu;
    } else {
        return static_cast<unsigned>(_mm_extract_epi8(v, K));
    }
}

}  // namespace tav_utf8_block

#define TAV_SSE2_BYTE(v, k) tav_utf8_block::sse2_byte<k>(v)
#define TAV_SSE4_BYTE(v, k) tav_utf8_block::sse4_byte<k>(v)

// Block position k: one test site per state (0, 2-8), the per-byte step of
// utf8_step written out. A passed test jumps to the site of position n = k + 1
// for the next state; a failed one rejects the block. READ(v, k) gives byte k
// and runs exactly once per site: the SSE2 read shifts the register.
#define TAV_BLOCK_SITES(READ, v, k, n)                                            \
    S0_##k : {                                                                    \
        const unsigned b = READ(v, k);                                            \
        if (b < 0x80u) goto S0_##n;                              /* 00-7F */      \
        if (b - 0xC2u < 0x1Eu) goto S2_##n;                      /* C2-DF */      \
        if ((b & 0xF0u) == 0xE0u) {                              /* E0-EF */      \
            if (b == 0xE0u) goto S4_##n;                         /* E0 */         \
            if (b == 0xEDu) goto S5_##n;                         /* ED */         \
            goto S3_##n;                                         /* E1-EC, EE-EF */ \
        }                                                                         \
        if (b - 0xF0u < 0x05u) {                                 /* F0-F4 */      \
            if (b == 0xF0u) goto S6_##n;                         /* F0 */         \
            if (b == 0xF4u) goto S8_##n;                         /* F4 */         \
            goto S7_##n;                                         /* F1-F3 */      \
        }                                                                         \
        goto tav_block_rejected;                                 /* 80-C1, F5-FF */ \
    }                                                                             \
    S2_##k : if ((READ(v, k) & 0xC0u) == 0x80u) goto S0_##n;     /* 80-BF */      \
    goto tav_block_rejected;                                                      \
    S3_##k : if ((READ(v, k) & 0xC0u) == 0x80u) goto S2_##n;     /* 80-BF */      \
    goto tav_block_rejected;                                                      \
    S4_##k : if ((READ(v, k) & 0xE0u) == 0xA0u) goto S2_##n;     /* A0-BF */      \
    goto tav_block_rejected;                                                      \
    S5_##k : if ((READ(v, k) & 0xE0u) == 0x80u) goto S2_##n;     /* 80-9F */      \
    goto tav_block_rejected;                                                      \
    S6_##k : if (READ(v, k) - 0x90u < 0x30u) goto S3_##n;        /* 90-BF */      \
    goto tav_block_rejected;                                                      \
    S7_##k : if ((READ(v, k) & 0xC0u) == 0x80u) goto S3_##n;     /* 80-BF */      \
    goto tav_block_rejected;                                                      \
    S8_##k : if ((READ(v, k) & 0xF0u) == 0x80u) goto S3_##n;     /* 80-8F */      \
    goto tav_block_rejected;

// The block machine: one jump on the carried state into position 0, straight
// code through the 16 positions, and the state as a number again after byte
// 15. No table, no loop counter, no state stored inside the block.
#define TAV_BLOCK_MACHINE(READ, v, s)                                             \
    switch (s) {                                                                  \
    case 0: goto S0_0;                                                            \
    case 2: goto S2_0;                                                            \
    case 3: goto S3_0;                                                            \
    case 4: goto S4_0;                                                            \
    case 5: goto S5_0;                                                            \
    case 6: goto S6_0;                                                            \
    case 7: goto S7_0;                                                            \
    case 8: goto S8_0;                                                            \
    default: goto tav_block_rejected;                                             \
    }                                                                             \
    TAV_BLOCK_SITES(READ, v, 0, 1)                                                \
    TAV_BLOCK_SITES(READ, v, 1, 2)                                                \
    TAV_BLOCK_SITES(READ, v, 2, 3)                                                \
    TAV_BLOCK_SITES(READ, v, 3, 4)                                                \
    TAV_BLOCK_SITES(READ, v, 4, 5)                                                \
    TAV_BLOCK_SITES(READ, v, 5, 6)                                                \
    TAV_BLOCK_SITES(READ, v, 6, 7)                                                \
    TAV_BLOCK_SITES(READ, v, 7, 8)                                                \
    TAV_BLOCK_SITES(READ, v, 8, 9)                                                \
    TAV_BLOCK_SITES(READ, v, 9, 10)                                               \
    TAV_BLOCK_SITES(READ, v, 10, 11)                                              \
    TAV_BLOCK_SITES(READ, v, 11, 12)                                              \
    TAV_BLOCK_SITES(READ, v, 12, 13)                                              \
    TAV_BLOCK_SITES(READ, v, 13, 14)                                              \
    TAV_BLOCK_SITES(READ, v, 14, 15)                                              \
    TAV_BLOCK_SITES(READ, v, 15, 16)                                              \
    S0_16 : s = 0; goto tav_block_end;                                            \
    S2_16 : s = 2; goto tav_block_end;                                            \
    S3_16 : s = 3; goto tav_block_end;                                            \
    S4_16 : s = 4; goto tav_block_end;                                            \
    S5_16 : s = 5; goto tav_block_end;                                            \
    S6_16 : s = 6; goto tav_block_end;                                            \
    S7_16 : s = 7; goto tav_block_end;                                            \
    S8_16 : s = 8; goto tav_block_end;                                            \
    tav_block_rejected : s = UTF8_REJECT;                                         \
    goto tav_done;                                                                \
    tav_block_end:;

// Body of both block validators: byte-wise head up to the first 16-byte
// boundary, aligned blocks (all-ASCII ones passed by their sign mask while at
// a character boundary), byte-wise tail. p counts whole units consumed, so a
// rejected byte counts with its unit (itself, or its whole block). The record
// is read once at entry and written once at the single exit.
#define TAV_BLOCK_VALIDATE(READ)                                                  \
    utf8vld_state *st = record(handle);                                           \
    int s = st->state;                                                            \
    size_t p = 0;                                                                 \
    if (s != UTF8_REJECT) {                                                       \
        const size_t a = reinterpret_cast<uintptr_t>(data) & 15u;                 \
        if (a != 0) {                                                             \
            const size_t h = length < 16 - a ? length : 16 - a;                   \
            while (p < h) {                                                       \
                s = utf8_step(s, data[p++]);                                      \
                if (s == UTF8_REJECT) goto tav_done;                              \
            }                                                                     \
        }                                                                         \
        const size_t end = p + ((length - p) & ~size_t{15});                      \
        while (p < end) {                                                         \
            /* The next block; at the last block this names bytes past the end, \
               which a hint may do: it reads nothing. */                          \
            _mm_prefetch(reinterpret_cast<const char *>(data + p + 16), _MM_HINT_T0); \
            __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(data + p)); \
            p += 16;                                                              \
            if (s == UTF8_ACCEPT) {                                               \
                if (_mm_movemask_epi8(v) == 0) continue; /* all ASCII */          \
            }                                                                     \
            TAV_BLOCK_MACHINE(READ, v, s)                                         \
        }                                                                         \
        while (p < length) {                                                      \
            s = utf8_step(s, data[p++]);                                          \
            if (s == UTF8_REJECT) break;                                          \
        }                                                                         \
    }                                                                             \
    tav_done:                                                                     \
    st->state = s;                                                                \
    st->current_index = p;                                                        \
    st->total_index += p;                                                         \
    return s == UTF8_ACCEPT ? 0 : (s == UTF8_REJECT ? -1 : 1);

TAV_UTF8_API int _tav_utf8vld_validate_sse2(void *handle, const uint8_t *data, size_t length) {
    TAV_BLOCK_VALIDATE(TAV_SSE2_BYTE)
}

// Needs SSE4.1 for its byte extracts; the caller checks the processor.
TAV_UTF8_API TAV_UTF8_TARGETED("sse4.1") int _tav_utf8vld_validate_sse4(void *handle, const uint8_t *data,
                                                                        size_t length) {
    TAV_BLOCK_VALIDATE(TAV_SSE4_BYTE)
}

#undef TAV_BLOCK_VALIDATE
#undef TAV_BLOCK_MACHINE
#undef TAV_BLOCK_SITES
#undef TAV_SSE4_BYTE
#undef TAV_SSE2_BYTE

#endif  // TAV_UTF8_X86_64
