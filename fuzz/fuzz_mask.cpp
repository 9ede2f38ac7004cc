// SPDX-License-Identifier: MIT
// Differential fuzzer of the masker routines (libFuzzer). The key and a
// preset stream position (so every key phase, and positions about to wrap
// past 2**64) come from the input's tail, as do chunk lengths, routines (the
// in-place ones and the dispatcher, and the copy routines, each where the
// processor runs it), offsets in a 64-byte line and resets; each chunk is
// masked in a fresh buffer, or copied masked into another, and must equal
// the RFC 6455 model, with no byte outside the buffers written, the source
// of a copy unchanged and the position advanced by its length. Aborts on the
// first difference.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>

#include "mask_model.h"

using namespace nt;

namespace {

[[noreturn]] void die(const char *what, const char *name, size_t pos, size_t n, unsigned residue) {
    std::fprintf(stderr, "%s: %s chunk at %zu, n %zu, offset %u\n", what, name, pos, n, residue);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<Masker> &ms = maskers();
    const std::vector<Copier> &cs = copiers();
    const size_t count = ms.size() + cs.size();
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
        const uint8_t place = fdp.ConsumeIntegral<uint8_t>();
        const size_t want_n = chunks == 63 ? fdp.remaining_bytes()
                                           : fdp.ConsumeIntegralInRange<size_t>(0, fdp.remaining_bytes());
        const std::vector<uint8_t> plain = fdp.ConsumeBytes<uint8_t>(want_n);
        const size_t n = plain.size();
        const size_t which = ctl % count;
        const unsigned residue = place & 63u;
        const unsigned dst_residue = (place >> 2) & 63u;
        if (ctl >> 7 && fdp.ConsumeBool()) {  // start over at key byte 0
            tav_xormask_reset(h);
            pointer = 0;
        }
        std::vector<uint8_t> want(plain);
        xor_model(key, pointer, want.data(), n);
        // Bit 6 of place ends the buffers at their allocation's end (ASan
        // sees any access past them); otherwise canaries follow them.
        const size_t after = place & 0x40 ? 0 : 64;
        LinePiece piece(plain.data(), n, residue, after);
        size_t ret;
        const char *name;
        const int impl = which < ms.size() && ms[which].sets_impl ? ms[which].impl : mask_record(h)->impl;
        if (which < ms.size()) {
            const Masker &m = ms[which];
            name = m.name;
            mask_record(h)->impl = impl;
            ret = m.fn(h, piece.data(), n);
            if (n != 0 && std::memcmp(piece.data(), want.data(), n) != 0) die("masked bytes differ", name, pos, n, residue);
        } else {
            const Copier &c = cs[which - ms.size()];
            name = c.name;
            const bool in_place = ctl & 0x40;
            const std::vector<uint8_t> junk(n, 0x3C);
            LinePiece dst(junk.data(), n, dst_residue, after);
            uint8_t *out = in_place ? piece.data() : dst.data();
            ret = c.fn(h, piece.data(), out, n);
            if (n != 0 && std::memcmp(out, want.data(), n) != 0) die("copied bytes differ", name, pos, n, residue);
            if (!in_place && n != 0 && std::memcmp(piece.data(), plain.data(), n) != 0)
                die("source written", name, pos, n, residue);
            if (!dst.canaries_intact()) die("byte outside the destination written", name, pos, n, dst_residue);
        }
        if (!piece.canaries_intact()) die("byte outside the chunk written", name, pos, n, residue);
        if (ret != pointer + n || mask_record(h)->pointer != pointer + n) die("position differs", name, pos, n, residue);
        if (std::memcmp(mask_record(h)->mask, key, 4) != 0) die("key changed", name, pos, n, residue);
        if (mask_record(h)->impl != impl) die("impl changed", name, pos, n, residue);
        pointer += n;
        pos += n;
    }
    tav_xormask_free(h);
    return 0;
}
