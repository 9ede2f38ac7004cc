/* SPDX-License-Identifier: MIT */
/* In-place XOR with a repeating 4-byte key (RFC 6455 section 5.3): public interface of _tav_bytemask. */
#ifndef TAV_BYTEMASK_H
#define TAV_BYTEMASK_H

#include <stddef.h> /* size_t */
#include <stdint.h> /* uint8_t */

/* The processor families with routines of their own, as GCC and clang and as
 * MSVC name them (ARM64EC, which also defines _M_X64, gets the portable ones). */
#if defined(__x86_64__) || (defined(_M_X64) && !defined(_M_ARM64EC))
#define TAV_MASK_X86_64 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TAV_MASK_AARCH64 1
#endif

/* A binding that compiles this library into itself may define TAV_MASK_API first,
 * to keep the symbols out of its own exports. */
#ifndef TAV_MASK_API
/* Windows exports a DLL's symbols by dllexport, whatever the compiler. */
#if defined(_WIN32)
#define TAV_MASK_EXPORT __declspec(dllexport)
#else
#define TAV_MASK_EXPORT __attribute__((visibility("default")))
#endif
#ifdef __cplusplus
#define TAV_MASK_API extern "C" TAV_MASK_EXPORT
#else
#define TAV_MASK_API TAV_MASK_EXPORT
#endif
#endif

/* Layout of the record behind a handle, for tests and debuggers. */
typedef struct xormask_state {
    uint8_t mask[4]; /* the key, as supplied */
    size_t pointer;  /* bytes masked since new/reset; the key phase is pointer mod 4 */
    int impl;        /* 2 (default): SSE2 routine on x86-64, NEON routine on
                        aarch64; anything else, and every number on other
                        processors: byte loop */
} xormask_state;

TAV_MASK_API void *tav_xormask_new(const uint8_t *key); /* copies key[0..3] */
TAV_MASK_API void tav_xormask_free(void *handle);
TAV_MASK_API void tav_xormask_reset(void *handle);
TAV_MASK_API size_t tav_xormask_pointer(void *handle);
TAV_MASK_API int tav_xormask_get_impl(void *handle);
TAV_MASK_API int tav_xormask_set_impl(void *handle, int impl);

/* Mask data[0..length-1] in place and return the new pointer. */
TAV_MASK_API size_t tav_xormask_process(void *handle, uint8_t *data, size_t length);
TAV_MASK_API size_t _tav_xormask_process_simple(void *handle, uint8_t *data, size_t length);
#if defined(TAV_MASK_X86_64)
/* Built and exported on x86-64 only; needs SSE4.1 for its key vector. */
TAV_MASK_API size_t _tav_xormask_process_sse2(void *handle, uint8_t *data, size_t length);

/* Wider routines with the effect of the byte loop (the same bytes, `pointer`
 * advanced by length, the new pointer returned); built and exported on
 * x86-64 only, behind no implementation number. The caller checks the
 * processor first: the validator library's tav_cpu_features() reports it,
 * this library asks nothing at run time.
 *   _tav_xormask_process_avx2    needs AVX2 (TAV_CPU_AVX2)
 *   _tav_xormask_process_avx512  needs AVX-512F and AVX-512BW
 *                                (TAV_CPU_AVX512F | TAV_CPU_AVX512BW) */
TAV_MASK_API size_t _tav_xormask_process_avx2(void *handle, uint8_t *data, size_t length);
TAV_MASK_API size_t _tav_xormask_process_avx512(void *handle, uint8_t *data, size_t length);
#endif
#if defined(TAV_MASK_AARCH64)
/* Built and exported on aarch64 only, where NEON is part of every processor:
 * the effect of the byte loop; the dispatcher runs it for impl 2. */
TAV_MASK_API size_t _tav_xormask_process_neon(void *handle, uint8_t *data, size_t length);
#endif

/* Masked copy: dst[i] = src[i] XOR mask[(pointer + i) mod 4] for i < length,
 * in one pass; src is only read; then `pointer` advances by length and the
 * new pointer is returned, as if src had been copied to dst and masked in
 * place. src and dst are the same buffer or do not overlap. The byte loop is
 * built everywhere; SSE2, AVX2 and AVX-512 on x86-64 only, with the
 * processor requirements of the in-place routines of the same width (SSE2:
 * every x86-64 processor); NEON on aarch64 only. */
TAV_MASK_API size_t _tav_xormask_copy_simple(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
#if defined(TAV_MASK_X86_64)
TAV_MASK_API size_t _tav_xormask_copy_sse2(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
TAV_MASK_API size_t _tav_xormask_copy_avx2(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
TAV_MASK_API size_t _tav_xormask_copy_avx512(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
#endif
#if defined(TAV_MASK_AARCH64)
TAV_MASK_API size_t _tav_xormask_copy_neon(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
#endif

#endif /* TAV_BYTEMASK_H */
