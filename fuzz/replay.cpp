// SPDX-License-Identifier: MIT
// Runs a fuzz target without libFuzzer, for processors that have no
// libFuzzer runtime at hand and for replaying a corpus: every input file
// named (a folder stands for the files in it), then COUNT inputs mutated
// from them by a seeded generator. The target aborts on a finding.
//   replay [-n COUNT] [-s SEED] PATH...
#include <dirent.h>  // opendir, readdir

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "native_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

constexpr size_t kMaxLen = 8192;  // as fuzz/run.sh gives libFuzzer

bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return true;
}

void collect(const std::string &path, std::vector<std::vector<uint8_t>> &inputs) {
    if (DIR *d = opendir(path.c_str())) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::vector<uint8_t> bytes;
            if (read_file(path + "/" + e->d_name, bytes)) inputs.push_back(std::move(bytes));
        }
        closedir(d);
        return;
    }
    std::vector<uint8_t> bytes;
    if (!read_file(path, bytes)) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    inputs.push_back(std::move(bytes));
}

// A few edits of one input: byte flips, bytes from UTF-8's range edges,
// insertions, deletions, and a splice from another input.
std::vector<uint8_t> mutate(const std::vector<std::vector<uint8_t>> &inputs, nt::Rng &rng) {
    static const uint8_t edges[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                    0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xFF};
    std::vector<uint8_t> d = inputs[rng.below(static_cast<unsigned>(inputs.size()))];
    const unsigned edits = rng.range(1, 8);
    for (unsigned k = 0; k < edits; ++k) {
        const size_t at = d.empty() ? 0 : rng.below(static_cast<unsigned>(d.size()));
        switch (rng.below(6)) {
        case 0: if (!d.empty()) d[at] ^= static_cast<uint8_t>(1u << rng.below(8)); break;
        case 1: if (!d.empty()) d[at] = edges[rng.below(sizeof edges)]; break;
        case 2: d.insert(d.begin() + static_cast<long>(at), rng.byte()); break;
        case 3: if (!d.empty()) d.erase(d.begin() + static_cast<long>(at)); break;
        case 4: if (!d.empty()) d.resize(at); break;  // cut short
        default: {
            const std::vector<uint8_t> &o = inputs[rng.below(static_cast<unsigned>(inputs.size()))];
            if (o.empty()) break;
            const size_t from = rng.below(static_cast<unsigned>(o.size()));
            const size_t n = rng.below(static_cast<unsigned>(o.size() - from)) + 1;
            d.insert(d.begin() + static_cast<long>(at), o.begin() + static_cast<long>(from),
                     o.begin() + static_cast<long>(from + n));
        }
        }
    }
    if (d.size() > kMaxLen) d.resize(kMaxLen);
    return d;
}

}  // namespace

int main(int argc, char **argv) {
    unsigned long count = 0;
    uint64_t seed = 1;
    std::vector<std::vector<uint8_t>> inputs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
            count = std::strtoul(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "-s") == 0 && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            collect(argv[i], inputs);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s [-n COUNT] [-s SEED] PATH...\n", argv[0]);
        return 2;
    }
    for (const auto &in : inputs) LLVMFuzzerTestOneInput(in.data(), in.size());
    nt::Rng rng(seed);
    for (unsigned long k = 0; k < count; ++k) {
        const std::vector<uint8_t> d = mutate(inputs, rng);
        LLVMFuzzerTestOneInput(d.data(), d.size());
    }
    std::printf("%s: %zu inputs and %lu mutations, no finding\n", argv[0], inputs.size(), count);
    return 0;
}
