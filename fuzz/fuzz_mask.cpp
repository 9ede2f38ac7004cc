// SPDX-License-Identifier: MIT
// Differential fuzzer of the masker routines (libFuzzer). The key and a
// preset stream position (so every key phase, and positions about to wrap
// past 2**64) come from the input's tail, as do chunk lengths, routines,
// address residues and resets; each chunk is masked in a fresh buffer and
// must equal the RFC 6455 model, with no byte before it written and the
// position advanced by its length. Aborts on the first difference.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>

#include "mask_model.h"

using namespace nt;

namespace {

constexpr unsigned kCount = sizeof kMaskers / sizeof kMaskers[0];

[[noreturn]] void die(const char *what, const Masker &m, size_t pos, size_t n, unsigned residue) {
    std::fprintf(stderr, "%s: %s chunk at %zu, n %zu, residue %u\n", what, m.name, pos, n, residue);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    uint8_t key[4] = {0, 0, 0, 0};
    for (auto &k : key) k = fdp.ConsumeIntegral<uint8_t>();
    const uint8_t where = fdp.ConsumeIntegral<uint8_t>();
    size_t pointer = where & 0x80 ? SIZE_MAX - (where & 0x7F) : where;  // near 0 or about to wrap

    void *h = tav_xormask_new(key);
    mask_record(h)->pointer = pointer;
    size_t pos = 0;
    for (int chunks = 0; fdp.remaining_bytes() > 0; ++chunks) {
        const uint8_t ctl = fdp.ConsumeIntegral<uint8_t>();
        const size_t want_n = chunks == 63 ? fdp.remaining_bytes()
                                           : fdp.ConsumeIntegralInRange<size_t>(0, fdp.remaining_bytes());
        const std::vector<uint8_t> plain = fdp.ConsumeBytes<uint8_t>(want_n);
        const size_t n = plain.size();
        const Masker &m = kMaskers[ctl % kCount];
        const unsigned residue = (ctl >> 3) & 15u;
        if (ctl >> 7 && fdp.ConsumeBool()) {  // start over at key byte 0
            tav_xormask_reset(h);
            pointer = 0;
        }
        if (m.sets_impl) mask_record(h)->impl = m.impl;
        const int impl = mask_record(h)->impl;
        std::vector<uint8_t> want(plain);
        xor_model(key, pointer, want.data(), n);
        Piece piece(plain.data(), n, residue);
        const size_t ret = m.fn(h, piece.data(), n);
        if (n != 0 && std::memcmp(piece.data(), want.data(), n) != 0) die("masked bytes differ", m, pos, n, residue);
        if (!piece.slack_intact()) die("byte before the chunk written", m, pos, n, residue);
        if (ret != pointer + n || mask_record(h)->pointer != pointer + n) die("position differs", m, pos, n, residue);
        if (std::memcmp(mask_record(h)->mask, key, 4) != 0) die("key changed", m, pos, n, residue);
        if (mask_record(h)->impl != impl) die("impl changed", m, pos, n, residue);
        pointer += n;
        pos += n;
    }
    tav_xormask_free(h);
    return 0;
}
