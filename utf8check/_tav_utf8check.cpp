// SPDX-License-Identifier: MIT
// UTF-8 validator library of _tav_utf8check, scalar part: the automaton's
// table, the record's life cycle, the table-driven and unrolled validators,
// the dispatcher and the processor query. Baseline code on every processor.
// The block validators (utf8_block.cpp) and the vector validators
// (utf8_ssse3.cpp, utf8_avx2.cpp, utf8_avx512.cpp) live beside it.
#include <cstdlib>  // malloc, free

#include "utf8_internal.h"

using namespace tav_utf8;

namespace tav_utf8 TAV_UTF8_HIDDEN {

// The one definition of the automaton's table, laid out in utf8_internal.h.
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

}  // namespace tav_utf8

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
    if (st->state == UTF8_REJECT) return finish(st, UTF8_REJECT, length);
    return run_table(st, data, length, 0, st->state);
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

#if defined(TAV_UTF8_X86_64)
namespace {

// CPUID bits (Intel SDM vol. 2A, CPUID): leaf 1 ECX, leaf 7 subleaf 0 EBX and ECX.
constexpr unsigned kL1Ssse3 = 1u << 9, kL1Sse41 = 1u << 19, kL1Popcnt = 1u << 23, kL1Osxsave = 1u << 27,
                   kL1Avx = 1u << 28;
constexpr unsigned kL7Avx2 = 1u << 5, kL7Avx512f = 1u << 16, kL7Avx512bw = 1u << 30, kL7Avx512vl = 1u << 31;
constexpr unsigned kL7cAvx512vbmi = 1u << 1, kL7cAvx512vbmi2 = 1u << 6;
// XCR0: the register state the operating system saves on a context switch.
// AVX needs XMM and YMM (bits 1, 2); AVX-512 also the opmask and the upper
// ZMM registers (bits 5-7).
constexpr uint64_t kXcr0Avx = 0x06, kXcr0Avx512 = 0xE6;

}  // namespace
#endif

// A processor feature is reported only when the operating system also saves
// the registers it uses. An operating system that enables AVX-512 state
// lazily, on first use, shows no AVX-512 here: the answer errs towards less.
TAV_UTF8_API unsigned tav_cpu_features(void) {
#if defined(TAV_UTF8_X86_64)
    unsigned f = TAV_CPU_SSE2;  // part of every x86-64 processor
    unsigned eax, ebx, ecx, edx;
    if (!TAV_UTF8_CPUID(1, &eax, &ebx, &ecx, &edx)) return f;
    if (ecx & kL1Ssse3) f |= TAV_CPU_SSSE3;
    if (ecx & kL1Sse41) f |= TAV_CPU_SSE41;
    const bool popcnt = (ecx & kL1Popcnt) != 0;
    const uint64_t xcr = (ecx & kL1Osxsave) ? xcr0() : 0;
    const bool avx_state = (ecx & kL1Avx) && (xcr & kXcr0Avx) == kXcr0Avx;
    const bool avx512_state = avx_state && (xcr & kXcr0Avx512) == kXcr0Avx512;
    if (!TAV_UTF8_CPUID_COUNT(7, 0, &eax, &ebx, &ecx, &edx)) return f;
    if (avx_state && (ebx & kL7Avx2)) f |= TAV_CPU_AVX2;
    if (avx512_state && (ebx & kL7Avx512f)) {
        f |= TAV_CPU_AVX512F;
        if (ebx & kL7Avx512bw) f |= TAV_CPU_AVX512BW;
        if (ebx & kL7Avx512vl) f |= TAV_CPU_AVX512VL;
        if (ecx & kL7cAvx512vbmi) f |= TAV_CPU_AVX512VBMI;
        if ((ecx & kL7cAvx512vbmi2) && popcnt) f |= TAV_CPU_AVX512VBMI2;
    }
    return f;
#else
    return 0;  // no routine here needs a feature test
#endif
}
