// SPDX-License-Identifier: MIT
// UTF-8 validator library of _tav_utf8check: record, byte-class automaton,
// table-driven and unrolled validators, the dispatcher, the processor query
// and, on x86-64 only, the block validators. Baseline code everywhere: the
// SSE4.1 routine carries its own target attribute.
#include <cstdlib>  // malloc, free

#if defined(__x86_64__)
#include <cpuid.h>      // __get_cpuid, __get_cpuid_count
#include <immintrin.h>  // SSE2 loads, move-mask, byte shift; SSE4.1 byte extract
#endif

#include "tav_utf8check.h"

namespace {

// Bytes 0-255: the class of each byte value. Bytes 256-399: next state for
// state s and class c at 256 + 16 * s + c (columns 12-15 are never indexed).
const uint8_t UTF8VALIDATOR_DFA[400] = {
    // 00-7F: class 0
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,
    0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,
    // 80-8F: class 1; 90-9F: class 9
    1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1, 9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,9,
    // A0-BF: class 7
    7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7, 7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,7,
    // C0-C1: class 8 (overlong); C2-DF: class 2
    8,8,2,2,2,2,2,2,2,2,2,2,2,2,2,2, 2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,2,
    // E0: 10; E1-EC: 3; ED: 4 (surrogates follow); EE-EF: 3
    10,3,3,3,3,3,3,3,3,3,3,3,3,4,3,3,
    // F0: 11; F1-F3: 6; F4: 5; F5-FF: 8 (beyond U+10FFFF)
    11,6,6,6,5,8,8,8,8,8,8,8,8,8,8,8,
    // state 0: between characters
    0,1,2,3,5,8,7,1,1,1,4,6,1,1,1,1,
    // state 1: rejected, absorbing
    1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,
    // state 2: one continuation byte left
    1,0,1,1,1,1,1,0,1,0,1,1,1,1,1,1,
    // state 3: two continuation bytes left
    1,2,1,1,1,1,1,2,1,2,1,1,1,1,1,1,
    // state 4: after E0, A0-BF only (no overlong)
    1,1,1,1,1,1,1,2,1,1,1,1,1,1,1,1,
    // state 5: after ED, 80-9F only (no surrogates)
    1,2,1,1,1,1,1,1,1,2,1,1,1,1,1,1,
    // state 6: after F0, 90-BF only (no overlong)
    1,1,1,1,1,1,1,3,1,3,1,1,1,1,1,1,
    // state 7: after F1-F3, three continuation bytes left
    1,3,1,1,1,1,1,3,1,3,1,1,1,1,1,1,
    // state 8: after F4, 80-8F only (nothing above U+10FFFF)
    1,3,1,1,1,1,1,1,1,1,1,1,1,1,1,1,
};

utf8vld_state *record(void *handle) { return static_cast<utf8vld_state *>(handle); }

// The single exit of the scalar routines: store what the call consumed.
inline int finish(utf8vld_state *st, int s, size_t consumed) {
    st->state = s;
    st->current_index = consumed;
    st->total_index += consumed;
    return s == UTF8_ACCEPT ? 0 : 1;
}

inline int reject(utf8vld_state *st, size_t offset) {
    st->state = UTF8_REJECT;
    st->current_index = offset;
    st->total_index += offset;
    return -1;
}

#if defined(__x86_64__)
// One byte of the automaton by range comparisons (RFC 3629 section 4;
// Unicode 15 chapter 3, table 3-7), for the block validators' head and
// tail. Never entered in UTF8_REJECT.
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

// Byte k of a block for the SSE2 machine. Each position shifts the register
// right by one byte before reading, so byte k is read as the lowest byte
// after k shifts.
template <int K>
__attribute__((always_inline)) inline unsigned sse2_byte(__m128i &v) {
    if constexpr (K > 0) v = _mm_srli_si128(v, 1);
    return static_cast<unsigned>(_mm_cvtsi128_si32(v)) & 0xFFu;
}

// Byte k of a block for the SSE4.1 machine: extracted by its index, the
// register is never changed. Byte 0 is the low byte of the low 32 bits.
template <int K>
__attribute__((target("sse4.1"), always_inline)) inline unsigned sse4_byte(const __m128i &v) {
    if constexpr (K == 0) {
        return static_cast<unsigned>(_mm_cvtsi128_si32(v)) & 0xFFu;
    } else {
        return static_cast<unsigned>(_mm_extract_epi8(v, K));
    }
}

#endif  // __x86_64__

}  // namespace

#if defined(__x86_64__)
#define TAV_SSE2_BYTE(v, k) sse2_byte<k>(v)
#define TAV_SSE4_BYTE(v, k) sse4_byte<k>(v)

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

#endif  // __x86_64__

TAV_UTF8_API void *tav_utf8vld_new(void) {
    auto *st = static_cast<utf8vld_state *>(std::malloc(sizeof(utf8vld_state)));
    if (st != nullptr) {
        st->current_index = 0;
        st->total_index = 0;
        st->state = UTF8_ACCEPT;
        st->impl = 4;
    }
    return st;
}

TAV_UTF8_API void tav_utf8vld_free(void *handle) { std::free(handle); }

TAV_UTF8_API void tav_utf8vld_reset(void *handle) {
    utf8vld_state *st = record(handle);
    st->current_index = 0;
    st->total_index = 0;
    st->state = UTF8_ACCEPT;
}

TAV_UTF8_API int tav_utf8vld_get_impl(void *handle) { return record(handle)->impl; }

TAV_UTF8_API int tav_utf8vld_set_impl(void *handle, int impl) {
    utf8vld_state *st = record(handle);
    if (impl == 0) {
        st->impl = 4;  // the default: table-driven
    } else if (impl < 5) {
        st->impl = impl;  // 1-4 and negative numbers are kept as given
    }
    return st->impl;  // 5 and above leave the number in force
}

TAV_UTF8_API size_t tav_utf8vld_get_current_index(void *handle) { return record(handle)->current_index; }

TAV_UTF8_API size_t tav_utf8vld_get_total_index(void *handle) { return record(handle)->total_index; }

TAV_UTF8_API int _tav_utf8vld_validate_table(void *handle, const uint8_t *data, size_t length) {
    utf8vld_state *st = record(handle);
    // A pointer-sized state keeps the dependent chain per byte at a shift,
    // an add and the next-state load.
    size_t s = static_cast<size_t>(st->state);
    if (s != UTF8_REJECT) {
        const uint8_t *next_state = UTF8VALIDATOR_DFA + 256;
        for (size_t i = 0; i < length; ++i) {
            s = next_state[16 * s + UTF8VALIDATOR_DFA[data[i]]];
            if (s == UTF8_REJECT) return reject(st, i);
        }
    }
    return finish(st, static_cast<int>(s), length);
}

// The switch on the state is threaded: each state is a label, and a passed
// test jumps straight to the label of the next state, so a byte costs its
// range test and no jump on the state. The carried state is switched on once.
#define TAV_NEXT_BYTE(here)                         \
    do {                                            \
        if (i == length) {                          \
            s = here;                               \
            goto done;                              \
        }                                           \
        b = data[i];                                \
    } while (0)

TAV_UTF8_API int _tav_utf8vld_validate_unrolled(void *handle, const uint8_t *data, size_t length) {
    utf8vld_state *st = record(handle);
    int s = st->state;
    size_t i = 0;
    unsigned b;
    switch (s) {
    case 0: goto s0;
    case 2: goto s2;
    case 3: goto s3;
    case 4: goto s4;
    case 5: goto s5;
    case 6: goto s6;
    case 7: goto s7;
    case 8: goto s8;
    default: goto done;  // UTF8_REJECT: no byte is examined
    }
s0:
    TAV_NEXT_BYTE(0);
    // ASCII first: a run of ASCII costs one comparison per byte.
    while (b < 0x80) {                                                    // 00-7F
        if (++i == length) {
            s = 0;
            goto done;
        }
        b = data[i];
    }
    ++i;
    // The lead bytes are tested by range first, then by value inside the
    // range: a chain of value tests would be compiled into a jump table.
    if (b - 0xC2u < 0x1Eu) goto s2;                                       // C2-DF
    if ((b & 0xF0u) == 0xE0u) {                                           // E0-EF
        if (b == 0xE0) goto s4;                                           // E0, then A0-BF
        if (b == 0xED) goto s5;                                           // ED, then 80-9F
        goto s3;                                                          // E1-EC, EE-EF
    }
    if (b - 0xF0u < 0x05u) {                                              // F0-F4
        if (b == 0xF0) goto s6;                                           // F0, then 90-BF
        if (b == 0xF4) goto s8;                                           // F4, then 80-8F
        goto s7;                                                          // F1-F3
    }
    goto rejected;                                                        // 80-C1, F5-FF
s2:
    TAV_NEXT_BYTE(2);
    ++i;
    if ((b & 0xC0u) == 0x80u) goto s0;                                    // 80-BF
    goto rejected;
s3:
    TAV_NEXT_BYTE(3);
    ++i;
    if ((b & 0xC0u) == 0x80u) goto s2;                                    // 80-BF
    goto rejected;
s4:
    TAV_NEXT_BYTE(4);
    ++i;
    if ((b & 0xE0u) == 0xA0u) goto s2;                                    // A0-BF: no overlong
    goto rejected;
s5:
    TAV_NEXT_BYTE(5);
    ++i;
    if ((b & 0xE0u) == 0x80u) goto s2;                                    // 80-9F: no surrogate
    goto rejected;
s6:
    TAV_NEXT_BYTE(6);
    ++i;
    if (b - 0x90u < 0x30u) goto s3;                                       // 90-BF: no overlong
    goto rejected;
s7:
    TAV_NEXT_BYTE(7);
    ++i;
    if ((b & 0xC0u) == 0x80u) goto s3;                                    // 80-BF
    goto rejected;
s8:
    TAV_NEXT_BYTE(8);
    ++i;
    if ((b & 0xF0u) == 0x80u) goto s3;                                    // 80-8F: up to U+10FFFF
    goto rejected;
rejected:
    return reject(st, i - 1);
done:
    return finish(st, s, length);
}

#undef TAV_NEXT_BYTE

TAV_UTF8_API int tav_utf8vld_validate(void *handle, const uint8_t *data, size_t length) {
    if (record(handle)->impl == 2) return _tav_utf8vld_validate_unrolled(handle, data, length);
    return _tav_utf8vld_validate_table(handle, data, length);
}

#if defined(__x86_64__)
namespace {

// CPUID bits (Intel SDM vol. 2A, CPUID): leaf 1 ECX, leaf 7 subleaf 0 EBX and ECX.
constexpr unsigned kL1Ssse3 = 1u << 9, kL1Sse41 = 1u << 19, kL1Osxsave = 1u << 27, kL1Avx = 1u << 28;
constexpr unsigned kL7Avx2 = 1u << 5, kL7Avx512f = 1u << 16, kL7Avx512bw = 1u << 30, kL7Avx512vl = 1u << 31;
constexpr unsigned kL7cAvx512vbmi = 1u << 1;
// XCR0: the register state the operating system saves on a context switch.
// AVX needs XMM and YMM (bits 1, 2); AVX-512 also the opmask and the upper
// ZMM registers (bits 5-7).
constexpr uint64_t kXcr0Avx = 0x06, kXcr0Avx512 = 0xE6;

// XCR0, read only after CPUID reports OSXSAVE. XGETBV is written as the
// instruction, so this function needs no XSAVE target.
inline uint64_t xcr0() {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}

}  // namespace
#endif

// A processor feature is reported only when the operating system also saves
// the registers it uses. An operating system that enables AVX-512 state
// lazily, on first use, shows no AVX-512 here: the answer errs towards less.
TAV_UTF8_API unsigned tav_cpu_features(void) {
#if defined(__x86_64__)
    unsigned f = TAV_CPU_SSE2;  // part of every x86-64 processor
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return f;
    if (ecx & kL1Ssse3) f |= TAV_CPU_SSSE3;
    if (ecx & kL1Sse41) f |= TAV_CPU_SSE41;
    const uint64_t xcr = (ecx & kL1Osxsave) ? xcr0() : 0;
    const bool avx_state = (ecx & kL1Avx) && (xcr & kXcr0Avx) == kXcr0Avx;
    const bool avx512_state = avx_state && (xcr & kXcr0Avx512) == kXcr0Avx512;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return f;
    if (avx_state && (ebx & kL7Avx2)) f |= TAV_CPU_AVX2;
    if (avx512_state && (ebx & kL7Avx512f)) {
        f |= TAV_CPU_AVX512F;
        if (ebx & kL7Avx512bw) f |= TAV_CPU_AVX512BW;
        if (ebx & kL7Avx512vl) f |= TAV_CPU_AVX512VL;
        if (ecx & kL7cAvx512vbmi) f |= TAV_CPU_AVX512VBMI;
    }
    return f;
#else
    return 0;  // no routine here needs a feature test
#endif
}

#if defined(__x86_64__)
TAV_UTF8_API int _tav_utf8vld_validate_sse2(void *handle, const uint8_t *data, size_t length) {
    TAV_BLOCK_VALIDATE(TAV_SSE2_BYTE)
}

// Needs SSE4.1 for its byte extracts; the caller checks the processor.
TAV_UTF8_API __attribute__((target("sse4.1"))) int _tav_utf8vld_validate_sse4(void *handle, const uint8_t *data,
                                                                              size_t length) {
    TAV_BLOCK_VALIDATE(TAV_SSE4_BYTE)
}
#endif  // __x86_64__
