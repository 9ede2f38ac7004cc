// SPDX-License-Identifier: MIT
// The validator library's compiler-specific spellings, in one place: target
// attributes, forced inlining, symbol visibility and the intrinsic headers.
// Every other file of the library uses these macros, so a build with another
// compiler needs only this header's branch for it (.ci/cross checks that no
// raw attribute appears elsewhere).
//
// GCC and clang, clang in MSVC mode included, need the target attribute on
// each function that uses a wider instruction set's intrinsics. MSVC compiles
// intrinsics anywhere and has no such attribute, so its branch leaves it out.
#ifndef TAV_UTF8_COMPILER_H
#define TAV_UTF8_COMPILER_H

#include "tav_utf8check.h"  // TAV_UTF8_X86_64, TAV_UTF8_AARCH64

#if defined(_MSC_VER) && !defined(__clang__)
#define TAV_UTF8_TARGETED(features)
#define TAV_UTF8_INLINE_TARGETED(features) __forceinline
#define TAV_UTF8_FORCE_INLINE __forceinline
#define TAV_UTF8_HIDDEN
#else
// A function that needs `features` ("avx2", "sse4.1", ...) beyond the baseline.
#define TAV_UTF8_TARGETED(features) __attribute__((target(features)))
// A helper inlined into such functions, which must carry the same target.
#define TAV_UTF8_INLINE_TARGETED(features) __attribute__((target(features), always_inline)) inline
#define TAV_UTF8_FORCE_INLINE __attribute__((always_inline)) inline
// Internal namespaces: nothing in them leaves the module, whatever the
// optimisation level.
#define TAV_UTF8_HIDDEN __attribute__((visibility("hidden")))
#endif

#if defined(TAV_UTF8_X86_64)
#include <immintrin.h>  // SSE2 to AVX-512 intrinsics; each is used under its routine's target
#elif defined(TAV_UTF8_AARCH64)
#include <arm_neon.h>  // AdvSIMD: vqtbl1q_u8, vextq_u8, vqsubq_u8, vmaxvq_u8
#endif

// The processor query's instructions (tav_cpu_features, x86-64 only):
//   TAV_UTF8_CPUID(leaf, &eax, &ebx, &ecx, &edx) and
//   TAV_UTF8_CPUID_COUNT(leaf, subleaf, ...)  CPUID into the four registers;
//                                             false when the leaf is beyond
//                                             the processor's highest
//   tav_utf8::xcr0()                          XCR0, read only after CPUID
//                                             reports OSXSAVE
#if defined(TAV_UTF8_X86_64)
#include <cstdint>  // uint32_t, uint64_t
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>  // __cpuid, __cpuidex, _xgetbv

namespace tav_utf8 TAV_UTF8_HIDDEN {
inline bool cpuid(unsigned leaf, unsigned sub, unsigned *a, unsigned *b, unsigned *c, unsigned *d) {
    int r[4];
    __cpuid(r, static_cast<int>(leaf & 0x80000000u));
    if (static_cast<unsigned>(r[0]) < leaf) return false;
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(sub));
    *a = static_cast<unsigned>(r[0]), *b = static_cast<unsigned>(r[1]);
    *c = static_cast<unsigned>(r[2]), *d = static_cast<unsigned>(r[3]);
    return true;
}
inline uint64_t xcr0() { return _xgetbv(0); }
}  // namespace tav_utf8
#define TAV_UTF8_CPUID(leaf, a, b, c, d) tav_utf8::cpuid(leaf, 0, a, b, c, d)
#define TAV_UTF8_CPUID_COUNT(leaf, sub, a, b, c, d) tav_utf8::cpuid(leaf, sub, a, b, c, d)
#else
#include <cpuid.h>  // __get_cpuid, __get_cpuid_count

#define TAV_UTF8_CPUID(leaf, a, b, c, d) __get_cpuid(leaf, a, b, c, d)
#define TAV_UTF8_CPUID_COUNT(leaf, sub, a, b, c, d) __get_cpuid_count(leaf, sub, a, b, c, d)
namespace tav_utf8 TAV_UTF8_HIDDEN {
// XGETBV is written as the instruction, so the caller needs no XSAVE target.
inline uint64_t xcr0() {
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}
}  // namespace tav_utf8
#endif
#endif

#endif  // TAV_UTF8_COMPILER_H
