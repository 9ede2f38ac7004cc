// SPDX-License-Identifier: MIT
// Native test of tav_cpu_features against the kernel's view of the
// processor: on Linux x86-64, every bit must match its name in the "flags"
// line of /proc/cpuinfo, where the kernel lists a register-state feature
// (AVX2, AVX-512) only once it saves that state. Elsewhere the answer is 0.
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "native_support.h"
#include "tav_utf8check.h"

using namespace nt;

namespace {

struct Bit {
    unsigned mask;
    const char *flag;  // its name in /proc/cpuinfo
};

const Bit kBits[] = {
    {TAV_CPU_SSE2, "sse2"},         {TAV_CPU_SSSE3, "ssse3"},       {TAV_CPU_SSE41, "sse4_1"},
    {TAV_CPU_AVX2, "avx2"},         {TAV_CPU_AVX512F, "avx512f"},   {TAV_CPU_AVX512BW, "avx512bw"},
    {TAV_CPU_AVX512VL, "avx512vl"}, {TAV_CPU_AVX512VBMI, "avx512vbmi"},
    {TAV_CPU_AVX512VBMI2, "avx512_vbmi2"},
};

#if defined(__x86_64__)
// The words of the first "flags" line; false when there is none.
bool cpuinfo_flags(std::set<std::string> &out) {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "flags") != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;) out.insert(w);
        return true;
    }
    return false;
}
#endif

void test_stable_and_known_bits() {
    const unsigned f = tav_cpu_features();
    EXPECT_EQ(tav_cpu_features(), f, "a second call differs");
    unsigned known = 0;
    for (const Bit &b : kBits) known |= b.mask;
    EXPECT_EQ(f & ~known, 0, "bits without a name: 0x%x", f);
    // The AVX-512 extensions are reported only with their foundation.
    if (f & (TAV_CPU_AVX512BW | TAV_CPU_AVX512VL | TAV_CPU_AVX512VBMI | TAV_CPU_AVX512VBMI2))
        EXPECT_TRUE(f & TAV_CPU_AVX512F, "AVX-512 extension without AVX512F: 0x%x", f);
}

void test_against_cpuinfo() {
    const unsigned f = tav_cpu_features();
#if defined(__x86_64__)
    std::set<std::string> flags;
    if (!cpuinfo_flags(flags)) {
        std::printf("skipped cpuinfo comparison: no flags line in /proc/cpuinfo\n");
        return;
    }
    // memcheck runs the program on a processor of its own, with fewer
    // features than the host: there the answer may only lack bits.
    const bool subset = TAV_UNDER_VALGRIND();
    for (const Bit &b : kBits) {
        const bool listed = flags.count(b.flag) != 0;
        const bool reported = (f & b.mask) != 0;
        if (subset) {
            EXPECT_TRUE(!reported || listed, "%s reported but not in /proc/cpuinfo", b.flag);
        } else {
            EXPECT_EQ(reported, listed, "%s: reported %d, /proc/cpuinfo %d", b.flag, reported, listed);
        }
        std::printf("  %-10s %s\n", b.flag, reported ? "yes" : "no");
    }
#else
    EXPECT_EQ(f, 0, "features reported on a processor other than x86-64");
#endif
}

}  // namespace

int main() {
    test_stable_and_known_bits();
    test_against_cpuinfo();
    return summary("test_cpu_features");
}
