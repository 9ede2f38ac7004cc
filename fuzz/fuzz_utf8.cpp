// SPDX-License-Identifier: MIT
// Differential fuzzer of the validator routines (libFuzzer). The input is cut
// into chunks at lengths read from its own tail; each chunk goes to a fresh
// buffer at an input-chosen address residue and through an input-chosen
// routine (table, unrolled, dispatcher with several numbers, and on x86-64
// SSE2, SSE4.1 and the SSSE3, AVX2 and AVX-512 vector validators, each where
// the processor has what it needs, on aarch64 the NEON vector validator),
// all on one record. Every call must leave
// exactly the record that a one-shot table run of the whole stream implies:
// the same decision and state, the exact rejected offset for the scalar and
// vector routines, the unit-counted one for the block routines. Aborts on the
// first difference.
#include <fuzzer/FuzzedDataProvider.h>

#include "utf8_model.h"
#include "vector_routines.h"

// fuzz/run.sh compiles only the library's first unit, _tav_utf8check.cpp;
// the validator library's other units (utf8check/utf8check_build.py lists
// them) are compiled in here, instrumented like this target.
#include "utf8_avx2.cpp"
#include "utf8_avx512.cpp"
#include "utf8_block.cpp"
#include "utf8_neon.cpp"
#include "utf8_ssse3.cpp"

using namespace nt;

namespace {

const Routine kAllRoutines[] = {
    {"table", _tav_utf8vld_validate_table, Kind::Scalar, false, 0},
    {"unrolled", _tav_utf8vld_validate_unrolled, Kind::Scalar, false, 0},
    {"dispatch impl 2", tav_utf8vld_validate, Kind::Scalar, true, 2},
    {"dispatch impl 4", tav_utf8vld_validate, Kind::Scalar, true, 4},
    {"dispatch impl -1", tav_utf8vld_validate, Kind::Scalar, true, -1},
    {"dispatch impl 0 in record", tav_utf8vld_validate, Kind::Scalar, true, 0},
#if defined(__x86_64__)
    {"sse2", _tav_utf8vld_validate_sse2, Kind::Block, false, 0},
    {"sse4", _tav_utf8vld_validate_sse4, Kind::Block, false, 0, TAV_CPU_SSE41},
    kVectorRoutines[0],
    kVectorRoutines[1],
    kVectorRoutines[2],
#elif defined(__aarch64__)
    kVectorRoutines[0],
#endif
};
// The routines this processor runs, chosen once.
const std::vector<Routine> kRoutines = runnable(kAllRoutines);
const unsigned kCount = static_cast<unsigned>(kRoutines.size());

struct Chunk {
    size_t pos, n;
    unsigned routine, residue;
};

[[noreturn]] void die(const char *what, const Chunk &c, const Rec &got, const Rec &want) {
    std::fprintf(stderr, "%s: %s at %zu, n %zu, residue %u: got ret %d cur %zu total %zu state %d, "
                         "expected ret %d cur %zu total %zu state %d\n",
                 what, kRoutines[c.routine].name, c.pos, c.n, c.residue, got.ret, got.cur, got.total, got.state,
                 want.ret, want.cur, want.total, want.state);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    std::vector<uint8_t> stream;
    std::vector<Chunk> plan;
    stream.reserve(size);
    while (fdp.remaining_bytes() > 0) {
        const uint8_t ctl = fdp.ConsumeIntegral<uint8_t>();
        const size_t n = plan.size() == 63 ? fdp.remaining_bytes()
                                           : fdp.ConsumeIntegralInRange<size_t>(0, fdp.remaining_bytes());
        const std::vector<uint8_t> bytes = fdp.ConsumeBytes<uint8_t>(n);
        // The residue mod 64: the vector routines' widest register.
        plan.push_back({stream.size(), bytes.size(), ctl % kCount, static_cast<unsigned>(ctl >> 2) & 63u});
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }

    // The one-shot table run, checked against the RFC 3629 oracle first.
    void *once = tav_utf8vld_new();
    const uint8_t *all = stream.empty() ? nullptr : stream.data();
    const Rec one = snapshot(once, _tav_utf8vld_validate_table(once, all, stream.size()));
    tav_utf8vld_free(once);
    const Rec oracle = expected(Kind::Scalar, Rec{0, 0, 0, UTF8_ACCEPT}, all, 0, stream.size(), 0);
    if (!same(one, oracle)) die("one-shot table run differs from RFC 3629", Chunk{0, stream.size(), 0, 0}, one, oracle);

    void *h = tav_utf8vld_new();
    Rec before = {0, 0, 0, UTF8_ACCEPT};
    bool rejected = false;
    for (const Chunk &c : plan) {
        const Routine &r = kRoutines[c.routine];
        Piece piece(stream.data() + c.pos, c.n, c.residue, 64);
        bool kept = false;
        const Rec got = run(r, h, piece.data(), c.n, &kept);
        const Rec want = expected(r.kind, before, all, c.pos, c.n, c.residue & 15u);
        if (!same(got, want)) die("chunk record differs", c, got, want);
        if (!kept) die("impl changed", c, got, want);
        if (got.ret == -1 && before.state != UTF8_REJECT) {
            // The rejecting call names the one-shot run's byte: exactly for
            // the scalar routines, through the end of its unit for blocks.
            const size_t at = c.pos + (r.kind == Kind::Scalar ? got.cur : got.cur - 1);
            if (one.ret != -1 || (r.kind == Kind::Scalar ? at != one.cur : at < one.cur || at > one.cur + 15))
                die("rejected byte differs from the one-shot run", c, got, one);
            rejected = true;
        }
        before = got;
    }
    if (rejected != (one.ret == -1) || before.state != one.state) die("final state differs", Chunk{}, before, one);
    tav_utf8vld_free(h);
    return 0;
}
