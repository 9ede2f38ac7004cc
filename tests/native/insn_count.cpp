// SPDX-License-Identifier: MIT
// Counting aid, not a test: one routine run REPS times over a text, for
// insn_count.sh, which counts the instructions qemu executes with REPS 1
// and 2; the difference is one call, the set-up and exit cancelling out.
//   insn_count ROUTINE REPS FILE
// ROUTINE: validate_neon, validate_unrolled (the portable routine below the
// vector one's threshold), mask_neon, mask_simple (the byte loop),
// measure_neon, measure_scalar, transcode_neon, transcode_scalar (the
// transcoder of the text's kind, as the measure gives it). aarch64 only.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tav_bytemask.h"
#include "tav_utf8check.h"

#if defined(__aarch64__)
volatile size_t g_sink;  // the calls' results are kept, never printed

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: insn_count ROUTINE REPS FILE\n");
        return 2;
    }
    const std::string routine = argv[1];
    const int reps = std::atoi(argv[2]);
    std::ifstream f(argv[3], std::ios::binary);
    std::vector<uint8_t> text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const uint8_t *src = text.data();
    const size_t n = text.size();
    tav_utf8_measure m;
    if (tav_utf8_measure_scalar(src, n, nullptr, &m) != 0) {
        std::fprintf(stderr, "%s is not UTF-8\n", argv[3]);
        return 2;
    }
    std::vector<uint32_t> out(m.length + 1);  // room for the widest units
    const bool neon = routine.compare(routine.size() - 5, 5, "_neon") == 0;
    size_t sink = 0;
    for (int r = 0; r < reps; ++r) {
        if (routine == "validate_neon" || routine == "validate_unrolled") {
            utf8vld_state st = {0, 0, UTF8_ACCEPT, 2};
            sink += neon ? _tav_utf8vld_validate_neon(&st, src, n) : _tav_utf8vld_validate_unrolled(&st, src, n);
        } else if (routine == "mask_neon" || routine == "mask_simple") {
            xormask_state st = {{0x37, 0xFA, 0x21, 0x3D}, 0, 2};
            uint8_t *p = text.data();
            sink += neon ? _tav_xormask_process_neon(&st, p, n) : _tav_xormask_process_simple(&st, p, n);
        } else if (routine == "measure_neon" || routine == "measure_scalar") {
            const int r1 = neon ? tav_utf8_measure_neon(src, n, nullptr, &m)
                                : tav_utf8_measure_scalar(src, n, nullptr, &m);
            sink += static_cast<size_t>(r1) + m.length;
        } else if (routine == "transcode_neon" || routine == "transcode_scalar") {
            if (m.max_char <= 0xFF) {
                auto *d = reinterpret_cast<uint8_t *>(out.data());
                sink += neon ? tav_utf8_to_latin1_neon(src, n, nullptr, d, m.length)
                             : tav_utf8_to_latin1_scalar(src, n, nullptr, d, m.length);
            } else if (m.max_char <= 0xFFFF) {
                auto *d = reinterpret_cast<uint16_t *>(out.data());
                sink += neon ? tav_utf8_to_ucs2_neon(src, n, nullptr, d, m.length)
                             : tav_utf8_to_ucs2_scalar(src, n, nullptr, d, m.length);
            } else {
                uint32_t *d = out.data();
                sink += neon ? tav_utf8_to_ucs4_neon(src, n, nullptr, d, m.length)
                             : tav_utf8_to_ucs4_scalar(src, n, nullptr, d, m.length);
            }
        } else {
            std::fprintf(stderr, "unknown routine %s\n", routine.c_str());
            return 2;
        }
    }
    g_sink = sink;
    return 0;
}
#else
int main() {
    std::fprintf(stderr, "insn_count counts the aarch64 routines: build it for aarch64\n");
    return 2;
}
#endif
