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

#if defined(__x86_64__)
#include <immintrin.h>  // SSE2 to AVX-512 intrinsics; each is used under its routine's target
#elif defined(__aarch64__)
#include <arm_neon.h>  // AdvSIMD: vqtbl1q_u8, vextq_u8, vqsubq_u8, vmaxvq_u8
#endif

#endif  // TAV_UTF8_COMPILER_H
