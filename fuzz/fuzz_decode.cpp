// SPDX-License-Identifier: MIT
// Differential fuzzer of the decoder's routines (libFuzzer). The input's
// first bytes choose a family (portable, SSSE3, AVX2, AVX-512, each where
// the processor has what it needs, and NEON on aarch64), a masking key or
// none, and an address residue; the rest is the text, copied to a fresh
// buffer at that residue (masked with the key if there is one). The measure must give the plain
// reference decoder's verdict: its code point count and kind, or CPython's
// reason, start and end. Each transcoder that the kind allows must write
// exactly the reference's code units into a buffer of exactly that many
// (ASan sees a write past it); on text they cannot take, they must stay
// within the room they are given. Aborts on the first difference.
#include <fuzzer/FuzzedDataProvider.h>

#include "decode_model.h"

// fuzz/run.sh compiles only the library's first unit, _tav_utf8check.cpp;
// the validator library's other units (utf8check/utf8check_build.py lists
// them) are compiled in here, instrumented like this target.
#include "utf8_avx2.cpp"
#include "utf8_avx512.cpp"
#include "utf8_block.cpp"
#include "utf8_decode_scalar.cpp"
#include "utf8_neon.cpp"
#include "utf8_ssse3.cpp"

using namespace nt;

namespace {

const std::vector<Family> kRunnable = runnable_families();

[[noreturn]] void die(const Family &f, const char *what, size_t n, bool masked) {
    std::fprintf(stderr, "%s: %s (input %zu bytes%s)\n", f.name, what, n, masked ? ", masked" : "");
    std::abort();
}

// A transcoder's output for valid text in a heap buffer of exactly the
// reference's length.
template <class Unit, class Fn>
void transcode_exact(const Family &f, Fn fn, const uint8_t *d, size_t n, const uint8_t *key, const Decoded &want) {
    const size_t len = want.chars.size();
    Unit *out = new Unit[len == 0 ? 1 : len];
    if (fn(d, n, key, out, len) != len) die(f, "transcoder wrote another number of units", n, key != nullptr);
    for (size_t k = 0; k < len; ++k)
        if (out[k] != static_cast<Unit>(want.chars[k])) die(f, "transcoder wrote other units", n, key != nullptr);
    delete[] out;
}

// A transcoder on text it cannot take, given `room` units: no more written.
template <class Unit, class Fn>
void transcode_bounded(const Family &f, Fn fn, const uint8_t *d, size_t n, const uint8_t *key, size_t room) {
    Unit *out = new Unit[room == 0 ? 1 : room];
    if (fn(d, n, key, out, room) > room) die(f, "transcoder went past its room", n, key != nullptr);
    delete[] out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const Family &f = kRunnable[fdp.ConsumeIntegral<uint8_t>() % kRunnable.size()];
    const uint8_t ctl = fdp.ConsumeIntegral<uint8_t>();
    const bool masked = ctl & 1;
    const unsigned residue = ctl >> 2 & 63u;
    uint8_t key[4];
    for (uint8_t &k : key) k = fdp.ConsumeIntegral<uint8_t>();
    const std::vector<uint8_t> text = fdp.ConsumeRemainingBytes<uint8_t>();
    const size_t n = text.size();
    const Decoded want = reference_decode(text.data(), n);

    std::vector<uint8_t> input = text;
    if (masked) xor_model(key, 0, input.data(), n);
    Piece piece(input.data(), n, residue, 64);
    const uint8_t *d = piece.data();
    const uint8_t *k = masked ? key : nullptr;

    tav_utf8_measure m;
    const int r = f.measure(d, n, k, &m);
    if (want.reason != TAV_UTF8_VALID) {
        if (r != -1 || m.reason != want.reason || m.start != want.start || m.end != want.end) {
            std::fprintf(stderr, "measure: reason %d [%zu, %zu), reference %d [%zu, %zu)\n", m.reason, m.start,
                         m.end, want.reason, want.start, want.end);
            die(f, "measure differs on invalid text", n, masked);
        }
        for (size_t room : {n / 3, n}) {
            transcode_bounded<uint8_t>(f, f.latin1, d, n, k, room);
            transcode_bounded<uint16_t>(f, f.ucs2, d, n, k, room);
            transcode_bounded<uint32_t>(f, f.ucs4, d, n, k, room);
        }
    } else {
        if (r != 0 || m.length != want.chars.size() || m.max_char != want.max_char)
            die(f, "measure differs on valid text", n, masked);
        if (want.max_char <= 0xFF) transcode_exact<uint8_t>(f, f.latin1, d, n, k, want);
        if (want.max_char <= 0xFFFF) transcode_exact<uint16_t>(f, f.ucs2, d, n, k, want);
        transcode_exact<uint32_t>(f, f.ucs4, d, n, k, want);
        if (want.max_char > 0xFF) transcode_bounded<uint8_t>(f, f.latin1, d, n, k, want.chars.size());
        if (want.max_char > 0xFFFF) transcode_bounded<uint16_t>(f, f.ucs2, d, n, k, want.chars.size());
    }
    if (!piece.slack_intact() || !std::equal(input.begin(), input.end(), d)) die(f, "input changed", n, masked);
    return 0;
}
