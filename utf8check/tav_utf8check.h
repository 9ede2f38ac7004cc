/* SPDX-License-Identifier: MIT */
/* Incremental, fail-fast UTF-8 (RFC 3629) validation: public interface of _tav_utf8check. */
#ifndef TAV_UTF8CHECK_H
#define TAV_UTF8CHECK_H

#include <stddef.h> /* size_t */
#include <stdint.h> /* uint8_t */

/* The processor families with routines of their own, as GCC and clang and as
 * MSVC name them (ARM64EC, which also defines _M_X64, gets the portable ones). */
#if defined(__x86_64__) || (defined(_M_X64) && !defined(_M_ARM64EC))
#define TAV_UTF8_X86_64 1
#elif defined(__aarch64__) || defined(_M_ARM64)
#define TAV_UTF8_AARCH64 1
#endif

/* A binding that compiles this library into itself may define TAV_UTF8_API first,
 * to keep the symbols out of its own exports. */
#ifndef TAV_UTF8_API
/* Windows exports a DLL's symbols by dllexport, whatever the compiler. */
#if defined(_WIN32)
#define TAV_UTF8_EXPORT __declspec(dllexport)
#else
#define TAV_UTF8_EXPORT __attribute__((visibility("default")))
#endif
#ifdef __cplusplus
#define TAV_UTF8_API extern "C" TAV_UTF8_EXPORT
#else
#define TAV_UTF8_API TAV_UTF8_EXPORT
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
#define TAV_CPU_AVX512VBMI2 (1u << 8) /* with POPCNT, which every such processor has */
TAV_UTF8_API unsigned tav_cpu_features(void);

#if defined(TAV_UTF8_X86_64)
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

/* Decoding into the code units of a Python str (PEP 393).
 *
 * A caller measures the input first: the measure says whether it is UTF-8
 * and, if so, how many code points it holds and the largest class among
 * them, which picks the str's kind. The caller then allocates the str and
 * converts into its buffer with the transcoder of that kind, dst_len being
 * the measured length. The transcoders trust the measure: on input that is
 * not UTF-8, whose code points do not fit their units, or with another
 * dst_len, the units they write are unspecified, but they never write more
 * than dst_len units nor read outside src[0, n).
 *
 * Every routine takes `key`: NULL for plain input, else the 4-byte masking
 * key of RFC 6455 (section 5.3) applied from key[0], which the routine
 * removes as it reads; src itself is never written.
 *
 * Routine families, each a complete set:
 *   _scalar  portable, any processor
 *   _ssse3   x86-64, needs TAV_CPU_SSSE3
 *   _avx2    x86-64, needs TAV_CPU_AVX2
 *   _avx512  x86-64, needs TAV_CPU_AVX512F | TAV_CPU_AVX512BW | TAV_CPU_AVX512VBMI | TAV_CPU_AVX512VBMI2
 * None tests the processor: the caller checks tav_cpu_features() first. */

/* Why a measure rejected its input: CPython's UnicodeDecodeError reasons. */
#define TAV_UTF8_VALID 0
#define TAV_UTF8_INVALID_START 1        /* "invalid start byte" */
#define TAV_UTF8_INVALID_CONTINUATION 2 /* "invalid continuation byte" */
#define TAV_UTF8_UNEXPECTED_END 3       /* "unexpected end of data" */

typedef struct tav_utf8_measure {
    size_t length;     /* code points, when valid */
    uint32_t max_char; /* 0x7F, 0xFF, 0xFFFF or 0x10FFFF: a bound on every code point, when valid */
    int reason;        /* TAV_UTF8_VALID or why not */
    size_t start, end; /* when invalid: the UnicodeDecodeError's start and end, as
                        * bytes(src).decode("utf-8") gives them */
} tav_utf8_measure;

/* 0 when src[0, n) is UTF-8, else -1 (out->reason, start, end say why and where). */
TAV_UTF8_API int tav_utf8_measure_scalar(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out);
/* Code units written: for valid input, out->length of its measure. */
TAV_UTF8_API size_t tav_utf8_to_latin1_scalar(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                              size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs2_scalar(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                            size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs4_scalar(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                            size_t dst_len);

#if defined(TAV_UTF8_X86_64)
/* Needs TAV_CPU_SSSE3. */
TAV_UTF8_API int tav_utf8_measure_ssse3(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out);
TAV_UTF8_API size_t tav_utf8_to_latin1_ssse3(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                             size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs2_ssse3(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                           size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs4_ssse3(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                           size_t dst_len);
/* Needs TAV_CPU_AVX2. */
TAV_UTF8_API int tav_utf8_measure_avx2(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out);
TAV_UTF8_API size_t tav_utf8_to_latin1_avx2(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                            size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs2_avx2(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                          size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs4_avx2(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                          size_t dst_len);
/* Needs TAV_CPU_AVX512F | TAV_CPU_AVX512BW | TAV_CPU_AVX512VBMI | TAV_CPU_AVX512VBMI2. */
TAV_UTF8_API int tav_utf8_measure_avx512(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out);
TAV_UTF8_API size_t tav_utf8_to_latin1_avx512(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                              size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs2_avx512(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                            size_t dst_len);
TAV_UTF8_API size_t tav_utf8_to_ucs4_avx512(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                            size_t dst_len);
#endif

#if defined(TAV_UTF8_AARCH64)
/* The vector validator on 16-byte NEON registers, built and exported on
 * aarch64 only, with the exact effects of the x86-64 ones above. NEON is
 * part of every aarch64 processor: no feature to check. */
TAV_UTF8_API int _tav_utf8vld_validate_neon(void *handle, const uint8_t *data, size_t length);
#endif

#endif /* TAV_UTF8CHECK_H */
