// SPDX-License-Identifier: MIT
// The masking library's compiler-specific spellings, in one place: target
// attributes, forced inlining, symbol visibility, branch hints and the
// intrinsic headers. Every other file of the library uses these macros, so a
// build with another compiler needs only this header's branch for it
// (.ci/cross checks that no raw attribute appears elsewhere).
//
// GCC and clang, clang in MSVC mode included, need the target attribute on
// each function that uses a wider instruction set's intrinsics. MSVC compiles
// intrinsics anywhere and has no such attribute, so its branch leaves it out.
#ifndef TAV_MASK_COMPILER_H
#define TAV_MASK_COMPILER_H

#include "tav_bytemask.h"  // TAV_MASK_X86_64, TAV_MASK_AARCH64

#if defined(_MSC_VER) && !defined(__clang__)
#define TAV_MASK_TARGETED(features)
#define TAV_MASK_INLINE_TARGETED(features) __forceinline
#define TAV_MASK_FORCE_INLINE __forceinline
#define TAV_MASK_HIDDEN
#define TAV_MASK_EXPECT(x, likely) (x)
#else
// A function that needs `features` ("avx2", "sse4.1", ...) beyond the baseline.
#define TAV_MASK_TARGETED(features) __attribute__((target(features)))
// A helper inlined into such functions, which must carry the same target.
#define TAV_MASK_INLINE_TARGETED(features) __attribute__((target(features), always_inline)) inline
#define TAV_MASK_FORCE_INLINE __attribute__((always_inline)) inline
// Internal namespaces: nothing in them leaves the module, whatever the
// optimisation level.
#define TAV_MASK_HIDDEN __attribute__((visibility("hidden")))
// x, with the value it usually has.
#define TAV_MASK_EXPECT(x, likely) __builtin_expect((x), (likely))
#endif

#if defined(TAV_MASK_X86_64)
#include <immintrin.h>  // SSE2/AVX2/AVX-512 load/xor/store, SSE4.1 _mm_insert_epi8
#elif defined(TAV_MASK_AARCH64)
#include <arm_neon.h>  // vld1q_u8, veorq_u8, vst1q_u8
#endif

#endif  // TAV_MASK_COMPILER_H
