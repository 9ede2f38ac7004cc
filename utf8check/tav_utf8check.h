/* SPDX-License-Identifier: MIT */
/* Incremental, fail-fast UTF-8 (RFC 3629) validation: public interface of _tav_utf8check. */
#ifndef TAV_UTF8CHECK_H
#define TAV_UTF8CHECK_H

#include <stddef.h> /* size_t */
#include <stdint.h> /* uint8_t */

/* A binding that compiles this library into itself may define TAV_UTF8_API first,
 * to keep the symbols out of its own exports. */
#ifndef TAV_UTF8_API
#ifdef __cplusplus
#define TAV_UTF8_API extern "C" __attribute__((visibility("default")))
#else
#define TAV_UTF8_API __attribute__((visibility("default")))
#endif
#endif

/* Automaton states shared by every routine. */
#define UTF8_ACCEPT 0 /* at a character boundary */
#define UTF8_REJECT 1 /* sticky until reset */

/* Layout of the record behind a handle. Callers only pass the handle around;
 * the layout is given for tests and debuggers, which may read it. */
typedef struct utf8vld_state {
    size_t current_index; /* offset of the rejected byte, else the last call's length */
    size_t total_index;   /* running sum of current_index since new/reset */
    int state;            /* automaton state, 0 to 8 */
    int impl;             /* implementation number read by the dispatcher */
} utf8vld_state;

/* Life cycle and counters. */
TAV_UTF8_API void *tav_utf8vld_new(void);
TAV_UTF8_API void tav_utf8vld_free(void *handle);
TAV_UTF8_API void tav_utf8vld_reset(void *handle);
TAV_UTF8_API int tav_utf8vld_get_impl(void *handle);
TAV_UTF8_API int tav_utf8vld_set_impl(void *handle, int impl);
TAV_UTF8_API size_t tav_utf8vld_get_current_index(void *handle);
TAV_UTF8_API size_t tav_utf8vld_get_total_index(void *handle);

/* Validation: -1 this call rejected a byte, 0 complete UTF-8 so far, 1 otherwise.
 * The dispatcher runs the unrolled routine for impl 2, the table-driven one else. */
TAV_UTF8_API int tav_utf8vld_validate(void *handle, const uint8_t *data, size_t length);
TAV_UTF8_API int _tav_utf8vld_validate_table(void *handle, const uint8_t *data, size_t length);
TAV_UTF8_API int _tav_utf8vld_validate_unrolled(void *handle, const uint8_t *data, size_t length);

/* Processor features that select routines, as bits of tav_cpu_features().
 * A feature counts only when the operating system saves its registers
 * (XGETBV), not just when CPUID lists it. 0 on processors other than x86-64.
 * Each call runs CPUID: callers ask once and keep the answer. */
#define TAV_CPU_SSE2 (1u << 0) /* set on every x86-64 processor */
#define TAV_CPU_SSSE3 (1u << 1)
#define TAV_CPU_SSE41 (1u << 2)
#define TAV_CPU_AVX2 (1u << 3)
#define TAV_CPU_AVX512F (1u << 4)
#define TAV_CPU_AVX512BW (1u << 5)
#define TAV_CPU_AVX512VL (1u << 6)
#define TAV_CPU_AVX512VBMI (1u << 7)
TAV_UTF8_API unsigned tav_cpu_features(void);

#if defined(__x86_64__)
/* Block validators for long pieces, reached only through these symbols, and
 * built and exported on x86-64 only.
 * Same decisions and states as the routines above, but after a rejection
 * current_index counts whole units consumed (a byte in the head or tail, 16
 * bytes for a block), and a record already rejected returns -1 with
 * current_index 0. The SSE4.1 routine needs a processor with SSE4.1
 * (TAV_CPU_SSE41). */
TAV_UTF8_API int _tav_utf8vld_validate_sse2(void *handle, const uint8_t *data, size_t length);
TAV_UTF8_API int _tav_utf8vld_validate_sse4(void *handle, const uint8_t *data, size_t length);

/* Vector validators (nibble lookups over 16, 32 or 64 bytes at a time),
 * built and exported on x86-64 only, reached only through these symbols.
 * Exactly the effects of _tav_utf8vld_validate_table for every input, entry
 * state and chunking: the same result, state, current_index (the offset of
 * the rejected byte itself) and total_index, and a record already rejected
 * gets 1 with the indices advanced by the length. They read no byte outside
 * data[0] to data[length - 1] and none at all for length 0.
 * None tests the processor: call each only when tav_cpu_features() has all
 * the bits named beside it. */
TAV_UTF8_API int _tav_utf8vld_validate_ssse3(void *handle, const uint8_t *data,
                                             size_t length); /* TAV_CPU_SSSE3 */
TAV_UTF8_API int _tav_utf8vld_validate_avx2(void *handle, const uint8_t *data,
                                            size_t length); /* TAV_CPU_AVX2 */
TAV_UTF8_API int _tav_utf8vld_validate_avx512(void *handle, const uint8_t *data,
                                              size_t length); /* TAV_CPU_AVX512F | TAV_CPU_AVX512BW */
#endif

#if defined(__aarch64__)
/* The vector validator on 16-byte NEON registers, built and exported on
 * aarch64 only, with the exact effects of the x86-64 ones above. NEON is
 * part of every aarch64 processor: no feature to check. */
TAV_UTF8_API int _tav_utf8vld_validate_neon(void *handle, const uint8_t *data, size_t length);
#endif

#endif /* TAV_UTF8CHECK_H */
