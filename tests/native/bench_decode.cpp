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
// median of the rounds. With --baseline LIB, the validators of an earlier
// build of the library (a shared object from git, see below) run beside
// this build's, each row with its ratio to the earlier one.
//
//   g++ -std=c++17 -O3 -Iutf8check -Itests/native tests/native/bench_decode.cpp
//       utf8check/_tav_utf8check.cpp utf8check/utf8_block.cpp utf8check/utf8_ssse3.cpp
//       utf8check/utf8_avx2.cpp utf8check/utf8_avx512.cpp utf8check/utf8_decode_scalar.cpp
//       utf8check/utf8_neon.cpp -ldl -o build/bench_decode       (one command line)
//   with CPython: add -DTAV_BENCH_CPYTHON $(python3.11-config --includes --ldflags --embed)
//   an earlier library: mkdir -p /tmp/base && git archive COMMIT utf8check | tar -x -C /tmp/base
//       && cd /tmp/base && g++ -std=c++17 -O3 -fPIC -shared -Iutf8check utf8check/*.cpp -o libbase.so
//   build/bench_decode [--rounds N] [--baseline LIB] [--latin1 TEXT] [--short SIZE,...] TEXT...
#if defined(TAV_BENCH_CPYTHON)
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#endif

#include <dlfcn.h>
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

// The read bound: every byte loaded and ORed, at each register width. Four
// accumulators and four loads a step, so neither the OR chain nor the loop
// bounds the loads; the last bytes by one overlapping (AVX-512: masked) load.
uint64_t load_only_scalar(const uint8_t *p, size_t n) {
    uint64_t acc = 0, w;
    size_t i = 0;
    for (; n - i >= 8; i += 8) std::memcpy(&w, p + i, 8), acc |= w;
    for (; i < n; ++i) acc |= p[i];
    return acc;
}

#if defined(__x86_64__)
__attribute__((target("sse2"))) uint64_t load_only_sse2(const uint8_t *p, size_t n) {
    if (n < 16) return load_only_scalar(p, n);
    const auto load = [p](size_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)); };
    __m128i a = load(n - 16), b = _mm_setzero_si128(), c = b, d = b;
    size_t i = 0;
    for (; n - i >= 64; i += 64) {
        a = _mm_or_si128(a, load(i)), b = _mm_or_si128(b, load(i + 16));
        c = _mm_or_si128(c, load(i + 32)), d = _mm_or_si128(d, load(i + 48));
    }
    for (; n - i >= 16; i += 16) a = _mm_or_si128(a, load(i));
    return static_cast<uint64_t>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))));
}

__attribute__((target("avx2"))) uint64_t load_only_avx2(const uint8_t *p, size_t n) {
    if (n < 32) return load_only_sse2(p, n);
    // Lambdas do not inherit the target: plain loads through a macro.
#define TAV_LOAD(i) _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + (i)))
    __m256i a = TAV_LOAD(n - 32), b = _mm256_setzero_si256(), c = b, d = b;
    size_t i = 0;
    for (; n - i >= 128; i += 128) {
        a = _mm256_or_si256(a, TAV_LOAD(i)), b = _mm256_or_si256(b, TAV_LOAD(i + 32));
        c = _mm256_or_si256(c, TAV_LOAD(i + 64)), d = _mm256_or_si256(d, TAV_LOAD(i + 96));
    }
    for (; n - i >= 32; i += 32) a = _mm256_or_si256(a, TAV_LOAD(i));
#undef TAV_LOAD
    return static_cast<uint64_t>(
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d)))));
}

__attribute__((target("avx512f,avx512bw"))) uint64_t load_only_avx512(const uint8_t *p, size_t n) {
    __m512i a = _mm512_setzero_si512(), b = a, c = a, d = a;
    size_t i = 0;
    for (; n - i >= 256; i += 256) {
        a = _mm512_or_si512(a, _mm512_loadu_si512(p + i)), b = _mm512_or_si512(b, _mm512_loadu_si512(p + i + 64));
        c = _mm512_or_si512(c, _mm512_loadu_si512(p + i + 128));
        d = _mm512_or_si512(d, _mm512_loadu_si512(p + i + 192));
    }
    for (; n - i >= 64; i += 64) a = _mm512_or_si512(a, _mm512_loadu_si512(p + i));
    if (i < n) b = _mm512_or_si512(b, _mm512_maskz_loadu_epi8((uint64_t{1} << (n - i)) - 1, p + i));
    return _mm512_movepi8_mask(_mm512_or_si512(_mm512_or_si512(a, b), _mm512_or_si512(c, d)));
}
#endif

using ValidateFn = int (*)(void *, const uint8_t *, size_t);

struct Row {
    std::string name;
    std::function<void()> run;
    std::vector<double> seconds;  // per call, one per round
    int versus = -1;              // the row this one is compared with
};

// The validators of an earlier build, by family name; empty without --baseline.
struct Baseline {
    void *lib = nullptr;
    ValidateFn of(const char *family) const {
        if (lib == nullptr) return nullptr;
        const std::string name = std::string("_tav_utf8vld_validate_") + family;
        return reinterpret_cast<ValidateFn>(dlsym(lib, name.c_str()));
    }
};
Baseline g_baseline;

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

// Each row's time per call over `text`, printed as GB/s, or as ns per call
// for short pieces.
void bench_text(const std::string &name, const std::vector<uint8_t> &text, int rounds,
                const std::vector<nt::Family> &families, bool per_call) {
    const uint8_t *d = text.data();
    const size_t n = text.size();
    tav_utf8_measure m;
    if (tav_utf8_measure_scalar(d, n, nullptr, &m) != 0) {
        std::printf("\n%s: not UTF-8, skipped\n", name.c_str());
        return;
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
        if (!per_call) rows.push_back({p + "load only", [=] { g_sink = load_only(d, n); }, {}});
        // The record is reset the same way for both builds: its layout has not changed.
        if (const ValidateFn earlier = g_baseline.of(f.name)) {
            rows.push_back({p + "validate, baseline", [=] { tav_utf8vld_reset(rec), g_sink = earlier(rec, d, n); }, {}});
        }
        rows.push_back({p + "validate", [=] { tav_utf8vld_reset(rec), g_sink = validate(rec, d, n); }, {}});
        if (g_baseline.of(f.name)) rows.back().versus = static_cast<int>(rows.size()) - 2;
        if (!per_call) {
            rows.push_back({p + "measure", [=] {
                                tav_utf8_measure x;
                                g_sink = f.measure(d, n, nullptr, &x);
                            }, {}});
            rows.push_back({p + "transcode", convert, {}});
        }
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
    std::printf("\n%s: %zu bytes, %zu code points, kind U+%04X\n", name.c_str(), n, m.length, m.max_char);
#if defined(TAV_BENCH_CPYTHON)
    const double cpython = median(rows.back().seconds);
#endif
    for (const Row &row : rows) {
        const double s = median(row.seconds);
        if (per_call) {
            std::printf("  %-34s %8.1f ns", row.name.c_str(), s * 1e9);
        } else {
            std::printf("  %-34s %8.2f GB/s", row.name.c_str(), static_cast<double>(n) / s / 1e9);
        }
#if defined(TAV_BENCH_CPYTHON)
        std::printf("  %6.2fx CPython", cpython / s);
#endif
        if (row.versus >= 0) std::printf("  %5.2fx baseline", median(rows[row.versus].seconds) / s);
        std::printf("\n");
    }
}

// The text's characters up to U+00FF, as UTF-8: a Latin-1 text from a
// mostly Latin one.
std::vector<uint8_t> latin1_only(const std::vector<uint8_t> &text) {
    const nt::Decoded dec = nt::reference_decode(text.data(), text.size());
    std::vector<uint8_t> out;
    for (uint32_t c : dec.chars) {
        if (c < 0x80) {
            out.push_back(static_cast<uint8_t>(c));
        } else if (c <= 0xFF) {
            out.push_back(static_cast<uint8_t>(0xC0 | c >> 6));
            out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The first `size` bytes of the text, cut back to a character boundary.
std::vector<uint8_t> head(const std::vector<uint8_t> &text, size_t size) {
    size_t k = std::min(size, text.size());
    while (k > 0 && k < text.size() && (text[k] & 0xC0) == 0x80) --k;
    return std::vector<uint8_t>(text.begin(), text.begin() + static_cast<long>(k));
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

// build/bench_decode [--rounds N] [--baseline LIB] [--latin1 TEXT] [--short SIZE,...] TEXT...
//   --baseline LIB  also the validators of LIB, an earlier build of the library
//   --latin1 TEXT  also a text of TEXT's characters up to U+00FF
//   --short SIZES  instead of whole texts, their first SIZE bytes, ns per call
int main(int argc, char **argv) {
    int rounds = 21;
    std::vector<std::string> files, latin1_sources;
    std::vector<size_t> sizes;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--rounds") == 0 && a + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++a]));
        } else if (std::strcmp(argv[a], "--baseline") == 0 && a + 1 < argc) {
            // Local binding: the earlier build's exports do not replace this build's.
            g_baseline.lib = dlopen(argv[++a], RTLD_NOW | RTLD_LOCAL);
            if (g_baseline.lib == nullptr) {
                std::fprintf(stderr, "%s\n", dlerror());
                return 2;
            }
        } else if (std::strcmp(argv[a], "--latin1") == 0 && a + 1 < argc) {
            latin1_sources.push_back(argv[++a]);
        } else if (std::strcmp(argv[a], "--short") == 0 && a + 1 < argc) {
            for (char *t = std::strtok(argv[++a], ","); t != nullptr; t = std::strtok(nullptr, ","))
                sizes.push_back(std::strtoul(t, nullptr, 10));
        } else {
            files.push_back(argv[a]);
        }
    }
#if defined(TAV_BENCH_CPYTHON)
    Py_Initialize();
#endif
    const std::vector<nt::Family> families = nt::runnable_families();
    std::printf("thread CPU time, median of %d rounds, %s\n", rounds,
                sizes.empty() ? "GB/s of input (1e9 bytes/s)" : "ns per call");
    for (const std::string &path : latin1_sources)
        bench_text(path + " (Latin-1 characters only)", latin1_only(read_file(path)), rounds, families, false);
    for (const std::string &path : files) {
        const std::vector<uint8_t> text = read_file(path);
        if (sizes.empty()) {
            bench_text(path, text, rounds, families, false);
            continue;
        }
        for (size_t size : sizes) bench_text(path + " first " + std::to_string(size) + " B", head(text, size),
                                             rounds, families, true);
    }
    return 0;
}
