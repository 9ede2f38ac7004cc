// SPDX-License-Identifier: MIT
// A plain UTF-8 decoder written from RFC 3629 (section 4's byte ranges) and
// CPython's strict error rules, the reference of the decoder tests, the
// fuzzer and the benchmark; and the decoder's routine families as a table.
#ifndef TAV_DECODE_MODEL_H
#define TAV_DECODE_MODEL_H

#include <cstring>  // strchr, strncmp
#include <vector>

#include "native_support.h"
#include "tav_utf8check.h"

namespace nt {

struct Decoded {
    int reason = TAV_UTF8_VALID;
    size_t start = 0, end = 0;  // of the UnicodeDecodeError, when invalid
    std::vector<uint32_t> chars;
    uint32_t max_char = 0x7F;  // the str's kind: 0x7F, 0xFF, 0xFFFF or 0x10FFFF
};

// CPython's rules: a byte that starts no character is an "invalid start
// byte" (start = its offset, end = start + 1); a character whose byte k
// (k >= 1) is outside its allowed range is an "invalid continuation byte"
// (start = its lead, end = the offset of that byte); a character that the
// input ends inside, well formed so far, is "unexpected end of data"
// (start = its lead, end = the input's length). The first fault decides.
inline Decoded reference_decode(const uint8_t *d, size_t n) {
    Decoded out;
    uint32_t top = 0;
    size_t i = 0;
    while (i < n) {
        const uint32_t b = d[i];
        size_t len;
        uint32_t lo2 = 0x80, hi2 = 0xBF, c;
        if (b <= 0x7F) {
            len = 1, c = b;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = 2, c = b & 0x1F;
        } else if (b == 0xE0) {
            len = 3, c = 0, lo2 = 0xA0;  // no overlong form
        } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
            len = 3, c = b & 0x0F;
        } else if (b == 0xED) {
            len = 3, c = 0xD, hi2 = 0x9F;  // no surrogates
        } else if (b == 0xF0) {
            len = 4, c = 0, lo2 = 0x90;  // no overlong form
        } else if (b >= 0xF1 && b <= 0xF3) {
            len = 4, c = b & 0x07;
        } else if (b == 0xF4) {
            len = 4, c = 4, hi2 = 0x8F;  // nothing above U+10FFFF
        } else {
            out.reason = TAV_UTF8_INVALID_START, out.start = i, out.end = i + 1;
            return out;
        }
        for (size_t k = 1; k < len; ++k) {
            if (i + k == n) {
                out.reason = TAV_UTF8_UNEXPECTED_END, out.start = i, out.end = n;
                return out;
            }
            const uint32_t x = d[i + k];
            if (x < (k == 1 ? lo2 : 0x80u) || x > (k == 1 ? hi2 : 0xBFu)) {
                out.reason = TAV_UTF8_INVALID_CONTINUATION, out.start = i, out.end = i + k;
                return out;
            }
            c = c << 6 | (x & 0x3F);
        }
        out.chars.push_back(c);
        if (c > top) top = c;
        i += len;
    }
    out.max_char = top <= 0x7F ? 0x7F : top <= 0xFF ? 0xFF : top <= 0xFFFF ? 0xFFFF : 0x10FFFF;
    return out;
}

using MeasureFn = int (*)(const uint8_t *, size_t, const uint8_t *, tav_utf8_measure *);
using Latin1Fn = size_t (*)(const uint8_t *, size_t, const uint8_t *, uint8_t *, size_t);
using Ucs2Fn = size_t (*)(const uint8_t *, size_t, const uint8_t *, uint16_t *, size_t);
using Ucs4Fn = size_t (*)(const uint8_t *, size_t, const uint8_t *, uint32_t *, size_t);

struct Family {
    const char *name;
    MeasureFn measure;
    Latin1Fn latin1;
    Ucs2Fn ucs2;
    Ucs4Fn ucs4;
    unsigned needs;  // TAV_CPU_* bits
    size_t width;    // bytes per vector step, for sweeps (0: scalar)
};

inline const Family kFamilies[] = {
    {"scalar", tav_utf8_measure_scalar, tav_utf8_to_latin1_scalar, tav_utf8_to_ucs2_scalar, tav_utf8_to_ucs4_scalar,
     0, 0},
#if defined(__x86_64__)
    {"ssse3", tav_utf8_measure_ssse3, tav_utf8_to_latin1_ssse3, tav_utf8_to_ucs2_ssse3, tav_utf8_to_ucs4_ssse3,
     TAV_CPU_SSSE3, 16},
    {"avx2", tav_utf8_measure_avx2, tav_utf8_to_latin1_avx2, tav_utf8_to_ucs2_avx2, tav_utf8_to_ucs4_avx2,
     TAV_CPU_AVX2, 32},
    {"avx512", tav_utf8_measure_avx512, tav_utf8_to_latin1_avx512, tav_utf8_to_ucs2_avx512, tav_utf8_to_ucs4_avx512,
     TAV_CPU_AVX512F | TAV_CPU_AVX512BW | TAV_CPU_AVX512VBMI | TAV_CPU_AVX512VBMI2, 64},
#elif defined(__aarch64__)
    {"neon", tav_utf8_measure_neon, tav_utf8_to_latin1_neon, tav_utf8_to_ucs2_neon, tav_utf8_to_ucs4_neon, 0, 16},
#endif
};

// Whether TAV_NATIVE_DECODERS (names separated by commas; unset: every
// family) names the family. Emulated runs name the vector family alone: the
// portable one is the same source that x86-64 runs in full, natively.
inline bool chosen_family(const char *name) {
    const char *list = std::getenv("TAV_NATIVE_DECODERS");
    if (list == nullptr || *list == '\0') return true;
    const size_t len = std::strlen(name);
    for (const char *p = list; *p != '\0';) {
        const char *end = std::strchr(p, ',');
        const size_t n = end == nullptr ? std::strlen(p) : static_cast<size_t>(end - p);
        if (n == len && std::strncmp(p, name, n) == 0) return true;
        p += end == nullptr ? n : n + 1;
    }
    return false;
}

// The families this processor runs; prints the others as skipped, with the reason.
inline std::vector<Family> runnable_families() {
    const unsigned have = tav_cpu_features();
    std::vector<Family> out;
    for (const Family &f : kFamilies) {
        if ((f.needs & have) != f.needs) {
            std::printf("skipped decoder family %s: the processor lacks a feature it needs (needs 0x%x, has 0x%x)\n",
                        f.name, f.needs, have);
        } else if (!chosen_family(f.name)) {
            std::printf("skipped decoder family %s: TAV_NATIVE_DECODERS leaves it out\n", f.name);
        } else {
            out.push_back(f);
        }
    }
    return out;
}

}  // namespace nt

#endif  // TAV_DECODE_MODEL_H
