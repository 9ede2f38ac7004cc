// SPDX-License-Identifier: MIT
// Timing aid, not a test: the chunk size from which each vector validator
// beats the unrolled routine, natively (no binding in the way), for a
// dispatcher to pick its thresholds. Each text's first 64 KiB is validated
// as a stream of chunks of one size, the record carried across; the table
// prints ns per chunk for each routine, measured in turns, best of rounds.
//
//   g++ -std=c++17 -O3 -Iutf8check tests/native/bench_vector_crossover.cpp
//       utf8check/_tav_utf8check.cpp utf8check/utf8_block.cpp utf8check/utf8_ssse3.cpp
//       utf8check/utf8_avx2.cpp utf8check/utf8_avx512.cpp -o build/bench_crossover  (one command line)
//   build/bench_crossover TEXT...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tav_utf8check.h"

namespace {

using Fn = int (*)(void *, const uint8_t *, size_t);

struct Routine {
    const char *name;
    Fn fn;
    unsigned needs;
};

const Routine kRoutines[] = {
    {"unrolled", _tav_utf8vld_validate_unrolled, 0},
    {"sse4", _tav_utf8vld_validate_sse4, TAV_CPU_SSE41},
    {"ssse3", _tav_utf8vld_validate_ssse3, TAV_CPU_SSSE3},
    {"avx2", _tav_utf8vld_validate_avx2, TAV_CPU_AVX2},
    {"avx512", _tav_utf8vld_validate_avx512, TAV_CPU_AVX512F | TAV_CPU_AVX512BW},
};
constexpr size_t kRoutineCount = sizeof kRoutines / sizeof kRoutines[0];

// Seconds for one pass over `text` in chunks of `size`.
double pass(Fn fn, void *h, const std::vector<uint8_t> &text, size_t size) {
    const auto t0 = std::chrono::steady_clock::now();
    tav_utf8vld_reset(h);
    for (size_t p = 0; p < text.size(); p += size) fn(h, text.data() + p, std::min(size, text.size() - p));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char **argv) {
    const unsigned have = tav_cpu_features();
    const size_t sizes[] = {4, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 1024, 4096, 16384, 65536};
    for (int a = 1; a < argc; ++a) {
        std::ifstream f(argv[a], std::ios::binary);
        std::vector<uint8_t> text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        text.resize(std::min<size_t>(text.size(), 65536));
        while (!text.empty() && (text.back() & 0xC0) == 0x80) text.pop_back();  // end on a boundary
        if (!text.empty() && text.back() >= 0xC0) text.pop_back();
        std::printf("\n%s (%zu bytes): ns per chunk, best of 7 rounds\n%8s", argv[a], text.size(), "chunk");
        for (const Routine &r : kRoutines) std::printf(" %9s", r.name);
        std::printf("\n");
        size_t crossover[kRoutineCount] = {};
        for (size_t size : sizes) {
            double best[kRoutineCount];
            std::fill(best, best + kRoutineCount, 1e30);
            void *h = tav_utf8vld_new();
            const int reps = static_cast<int>(std::max<size_t>(3, 4000000 / text.size() / 40));
            for (int round = 0; round < 7; ++round) {
                for (size_t k = 0; k < kRoutineCount; ++k) {
                    if ((kRoutines[k].needs & have) != kRoutines[k].needs) continue;
                    double t = 0;
                    for (int q = 0; q < reps; ++q) t += pass(kRoutines[k].fn, h, text, size);
                    best[k] = std::min(best[k], t / reps);
                }
            }
            tav_utf8vld_free(h);
            const double chunks = static_cast<double>((text.size() + size - 1) / size);
            std::printf("%8zu", size);
            for (size_t k = 0; k < kRoutineCount; ++k) {
                if (best[k] >= 1e30) {
                    std::printf(" %9s", "-");
                    continue;
                }
                std::printf(" %9.1f", best[k] / chunks * 1e9);
                // The first size of a run of sizes where this routine beats the unrolled one.
                if (best[k] < best[0]) {
                    if (crossover[k] == 0) crossover[k] = size;
                } else {
                    crossover[k] = 0;
                }
            }
            std::printf("\n");
        }
        std::printf("%8s", "beats unrolled from");
        for (size_t k = 1; k < kRoutineCount; ++k) std::printf("  %s: %zu B", kRoutines[k].name, crossover[k]);
        std::printf("\n");
    }
    return 0;
}
