// SPDX-License-Identifier: MIT
// Timing aid, not a test: the masking routines against an earlier version
// of themselves, built from git as a scratch library with its symbols
// renamed old_*: both in one program, interleaved, thread CPU time, the
// median ratio over rounds.
// Prints earlier time / current time (above 1: the current routine is
// faster) per routine and size, for data at the given offset from a 64-byte
// line. x86-64 with AVX-512. Against the hand-written routines the kernel
// replaced (from the masker library's directory's parent):
//   git show 4f093ad~1:bytemask/_tav_bytemask.cpp |
//     sed -e 's/\b_tav_xormask_/old_xormask_/g' -e 's/\btav_xormask_/oldtav_xormask_/g' > /tmp/old_mask.cpp
//   F="-std=c++17 -O3 -fno-exceptions -fno-rtti -msse4.1 -falign-functions=64"
//   g++ $F -Ibytemask -c /tmp/old_mask.cpp -o /tmp/old.o
//   g++ $F -Ibytemask -c bytemask/_tav_bytemask.cpp -o /tmp/new.o
//   g++ -std=c++17 -O2 -Ibytemask tests/native/bench_maskers.cpp /tmp/old.o /tmp/new.o -o /tmp/bench_maskers
//   /tmp/bench_maskers 0; /tmp/bench_maskers 3
// Both libraries start their functions on 64-byte lines: without that, the
// placement of identical code alone moves small-piece ratios by up to 1.35x.
// Built against a second renamed copy of the same source instead, it gives
// the noise floor (identical code).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "tav_bytemask.h"

extern "C" {
size_t old_xormask_process_sse2(void *, uint8_t *, size_t);
size_t old_xormask_process_avx2(void *, uint8_t *, size_t);
size_t old_xormask_process_avx512(void *, uint8_t *, size_t);
size_t old_xormask_copy_sse2(void *, const uint8_t *, uint8_t *, size_t);
size_t old_xormask_copy_avx2(void *, const uint8_t *, uint8_t *, size_t);
size_t old_xormask_copy_avx512(void *, const uint8_t *, uint8_t *, size_t);
}

using P = size_t (*)(void *, uint8_t *, size_t);
using C = size_t (*)(void *, const uint8_t *, uint8_t *, size_t);
struct Pair { const char *name; P po, pn; C co, cn; };

static double now() { timespec t; clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t); return t.tv_sec * 1e9 + t.tv_nsec; }

int main(int argc, char **argv) {
    const size_t offset = argc > 1 ? strtoul(argv[1], nullptr, 0) : 0;
    const Pair pairs[] = {
        {"process sse2", old_xormask_process_sse2, _tav_xormask_process_sse2, nullptr, nullptr},
        {"process avx2", old_xormask_process_avx2, _tav_xormask_process_avx2, nullptr, nullptr},
        {"process avx512", old_xormask_process_avx512, _tav_xormask_process_avx512, nullptr, nullptr},
        {"copy sse2", nullptr, nullptr, old_xormask_copy_sse2, _tav_xormask_copy_sse2},
        {"copy avx2", nullptr, nullptr, old_xormask_copy_avx2, _tav_xormask_copy_avx2},
        {"copy avx512", nullptr, nullptr, old_xormask_copy_avx512, _tav_xormask_copy_avx512},
    };
    const size_t sizes[] = {16, 24, 32, 48, 64, 100, 128, 256, 512, 1024, 1500, 4096, 16384, 65536,
                            262144, 1 << 20, 4 << 20, 16 << 20, 64 << 20};
    const uint8_t key[4] = {0x8b, 0x1d, 0xe3, 0x56};
    void *h = tav_xormask_new(key);
    uint8_t *a = static_cast<uint8_t *>(aligned_alloc(64, (64 << 20) + 128));
    uint8_t *b = static_cast<uint8_t *>(aligned_alloc(64, (64 << 20) + 128));
    memset(a, 0x41, (64 << 20) + 128);
    memset(b, 0x42, (64 << 20) + 128);
    std::printf("offset %zu; ratio = today's time / kernel's time (>1: kernel faster); median of rounds\n", offset);
    std::printf("%10s", "size");
    for (const Pair &p : pairs) std::printf(" %15s", p.name);
    std::printf("\n");
    for (size_t n : sizes) {
        const int rounds = n >= (16u << 20) ? 11 : 41;
        const size_t reps = std::max<size_t>(1, (size_t{1} << 23) / (n + 32));  // about 8 MiB per sample
        std::printf("%10zu", n);
        for (const Pair &p : pairs) {
            std::vector<double> ratio;
            for (int r = 0; r < rounds; ++r) {
                double t[2];
                for (int k = 0; k < 2; ++k) {
                    const bool use_new = (k + r) & 1;  // alternate which goes first
                    const double t0 = now();
                    for (size_t i = 0; i < reps; ++i) {
                        if (p.po) (use_new ? p.pn : p.po)(h, a + offset, n);
                        else (use_new ? p.cn : p.co)(h, a + offset, b + offset, n);
                    }
                    t[use_new] = now() - t0;
                }
                ratio.push_back(t[0] / t[1]);
            }
            std::sort(ratio.begin(), ratio.end());
            std::printf(" %15.3f", ratio[ratio.size() / 2]);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
