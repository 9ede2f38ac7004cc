// SPDX-License-Identifier: MIT
// Timing aid, not a test: the decoder's routines natively, GB/s of input
// per text, side by side. For each family: the measure alone, the
// transcoder of the text's kind alone, and both (the whole decode into a
// buffer allocated once); beside them the lookup validator of the same
// width and a load-only loop (an OR over the buffer: the read bound).
// Built with TAV_BENCH_CPYTHON and linked with libpython, it also times
// CPython's own decoder (PyUnicode_DecodeUTF8, what bytes.decode runs) and
// each family's decode into a new str (measure, PyUnicode_New, transcode),
// and prints their ratio. Thread CPU time, contenders interleaved, the
// median of the rounds.
//
//   g++ -std=c++17 -O3 -Iutf8check -Itests/native tests/native/bench_decode.cpp
//       utf8check/_tav_utf8check.cpp utf8check/utf8_block.cpp utf8check/utf8_ssse3.cpp
//       utf8check/utf8_avx2.cpp utf8check/utf8_avx512.cpp utf8check/utf8_decode_scalar.cpp
//       -o build/bench_decode                                     (one command line)
//   with CPython: add -DTAV_BENCH_CPYTHON $(python3.11-config --includes --ldflags --embed)
//   build/bench_decode [--rounds N] TEXT...
#if defined(TAV_BENCH_CPYTHON)
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "decode_model.h"

namespace {

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

volatile uint64_t g_sink;

// The read bound: every byte loaded and ORed, at each register width.
uint64_t load_only_scalar(const uint8_t *p, size_t n) {
    uint64_t acc = 0, w;
    size_t i = 0;
    for (; n - i >= 8; i += 8) std::memcpy(&w, p + i, 8), acc |= w;
    for (; i < n; ++i) acc |= p[i];
    return acc;
}

#if defined(__x86_64__)
__attribute__((target("sse2"))) uint64_t load_only_sse2(const uint8_t *p, size_t n) {
    __m128i a = _mm_setzero_si128(), b = a;
    size_t i = 0;
    for (; n - i >= 32; i += 32) {
        a = _mm_or_si128(a, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)));
        b = _mm_or_si128(b, _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16)));
    }
    return static_cast<uint64_t>(_mm_movemask_epi8(_mm_or_si128(a, b))) | load_only_scalar(p + i, n - i);
}

__attribute__((target("avx2"))) uint64_t load_only_avx2(const uint8_t *p, size_t n) {
    __m256i a = _mm256_setzero_si256(), b = a;
    size_t i = 0;
    for (; n - i >= 64; i += 64) {
        a = _mm256_or_si256(a, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i)));
        b = _mm256_or_si256(b, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 32)));
    }
    return static_cast<uint64_t>(_mm256_movemask_epi8(_mm256_or_si256(a, b))) | load_only_scalar(p + i, n - i);
}

__attribute__((target("avx512f,avx512bw"))) uint64_t load_only_avx512(const uint8_t *p, size_t n) {
    __m512i a = _mm512_setzero_si512(), b = a;
    size_t i = 0;
    for (; n - i >= 128; i += 128) {
        a = _mm512_or_si512(a, _mm512_loadu_si512(p + i));
        b = _mm512_or_si512(b, _mm512_loadu_si512(p + i + 64));
    }
    return _mm512_movepi8_mask(_mm512_or_si512(a, b)) | load_only_scalar(p + i, n - i);
}
#endif

using ValidateFn = int (*)(void *, const uint8_t *, size_t);

struct Row {
    std::string name;
    std::function<void()> run;
    std::vector<double> seconds;  // per call, one per round
};

// The family's validator of the same width, for comparison.
ValidateFn validator_of(const nt::Family &f) {
#if defined(__x86_64__)
    if (std::strcmp(f.name, "ssse3") == 0) return _tav_utf8vld_validate_ssse3;
    if (std::strcmp(f.name, "avx2") == 0) return _tav_utf8vld_validate_avx2;
    if (std::strcmp(f.name, "avx512") == 0) return _tav_utf8vld_validate_avx512;
#endif
    return _tav_utf8vld_validate_unrolled;
}

uint64_t (*load_only_of(const nt::Family &f))(const uint8_t *, size_t) {
#if defined(__x86_64__)
    if (std::strcmp(f.name, "ssse3") == 0) return load_only_sse2;
    if (std::strcmp(f.name, "avx2") == 0) return load_only_avx2;
    if (std::strcmp(f.name, "avx512") == 0) return load_only_avx512;
#endif
    return load_only_scalar;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 21;
    std::vector<std::string> files;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--rounds") == 0 && a + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++a]));
        } else {
            files.push_back(argv[a]);
        }
    }
#if defined(TAV_BENCH_CPYTHON)
    Py_Initialize();
#endif
    const std::vector<nt::Family> families = nt::runnable_families();
    std::printf("thread CPU time, median of %d rounds, GB/s of input (1e9 bytes/s)\n", rounds);
    for (const std::string &path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const uint8_t *d = text.data();
        const size_t n = text.size();
        tav_utf8_measure m;
        if (tav_utf8_measure_scalar(d, n, nullptr, &m) != 0) {
            std::printf("\n%s: not UTF-8, skipped\n", path.c_str());
            continue;
        }
        std::vector<uint32_t> buf(m.length + 1);
        void *rec = tav_utf8vld_new();
        std::vector<Row> rows;
        for (const nt::Family &f : families) {
            const std::string p = std::string(f.name) + " ";
            auto convert = [f, d, n, &buf, max = m.max_char, len = m.length] {
                if (max <= 0xFF) {
                    g_sink = f.latin1(d, n, nullptr, reinterpret_cast<uint8_t *>(buf.data()), len);
                } else if (max <= 0xFFFF) {
                    g_sink = f.ucs2(d, n, nullptr, reinterpret_cast<uint16_t *>(buf.data()), len);
                } else {
                    g_sink = f.ucs4(d, n, nullptr, buf.data(), len);
                }
            };
            const auto load_only = load_only_of(f);
            const ValidateFn validate = validator_of(f);
            rows.push_back({p + "load only", [=] { g_sink = load_only(d, n); }, {}});
            rows.push_back({p + "validate", [=] { tav_utf8vld_reset(rec), g_sink = validate(rec, d, n); }, {}});
            rows.push_back({p + "measure", [=] {
                                tav_utf8_measure x;
                                g_sink = f.measure(d, n, nullptr, &x);
                            }, {}});
            rows.push_back({p + "transcode", convert, {}});
            rows.push_back({p + "measure+transcode", [=] {
                                tav_utf8_measure x;
                                f.measure(d, n, nullptr, &x);
                                convert();
                            }, {}});
#if defined(TAV_BENCH_CPYTHON)
            rows.push_back({p + "str", [=] {
                                tav_utf8_measure x;
                                f.measure(d, n, nullptr, &x);
                                PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(x.length), x.max_char);
                                void *data = PyUnicode_DATA(s);
                                if (x.max_char <= 0xFF) {
                                    f.latin1(d, n, nullptr, static_cast<uint8_t *>(data), x.length);
                                } else if (x.max_char <= 0xFFFF) {
                                    f.ucs2(d, n, nullptr, static_cast<uint16_t *>(data), x.length);
                                } else {
                                    f.ucs4(d, n, nullptr, static_cast<uint32_t *>(data), x.length);
                                }
                                Py_DECREF(s);
                            }, {}});
#endif
        }
#if defined(TAV_BENCH_CPYTHON)
        rows.push_back({"CPython PyUnicode_DecodeUTF8", [=] {
                            PyObject *s = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(d),
                                                               static_cast<Py_ssize_t>(n), "strict");
                            Py_DECREF(s);
                        }, {}});
#endif
        // Calls per timing: about 2 ms of work at 5 GB/s.
        const int reps = static_cast<int>(std::max<size_t>(3, 10000000 / (n + 64)));
        for (int r = 0; r < rounds; ++r) {
            for (Row &row : rows) {
                row.run();  // warm
                const double t0 = thread_seconds();
                for (int q = 0; q < reps; ++q) row.run();
                row.seconds.push_back((thread_seconds() - t0) / reps);
            }
        }
        tav_utf8vld_free(rec);
        std::printf("\n%s: %zu bytes, %zu code points, kind U+%04X\n", path.c_str(), n, m.length, m.max_char);
#if defined(TAV_BENCH_CPYTHON)
        const double cpython = median(rows.back().seconds);
#endif
        for (const Row &row : rows) {
            const double s = median(row.seconds);
            std::printf("  %-34s %8.2f GB/s", row.name.c_str(), static_cast<double>(n) / s / 1e9);
#if defined(TAV_BENCH_CPYTHON)
            std::printf("  %6.2fx CPython", cpython / s);
#endif
            std::printf("\n");
        }
    }
    return 0;
}
