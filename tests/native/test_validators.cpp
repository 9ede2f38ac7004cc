// SPDX-License-Identifier: MIT
// Native tests of the validator library: every routine against the RFC 3629
// oracle and so against each other, over every length 0-300, every address
// residue mod 16 and every entry state; empty pieces without a buffer;
// chunked streams that switch routines; guard pages; the record's life
// cycle and implementation numbers. Built twice: without the block routines
// (test_validators) and, on x86-64, with them and the vector validators
// (test_block_validators, which needs the x86-64 routines to link and skips
// each one the processor cannot run).
#include <string>

#include "utf8_model.h"
#ifdef TAV_WITH_BLOCK_ROUTINES
#include "vector_routines.h"
#endif

using namespace nt;

namespace {

#ifdef TAV_WITH_BLOCK_ROUTINES
// The block routines this processor runs; the others are printed as skipped.
const std::vector<Routine> &block_routines() {
    static const std::vector<Routine> runs = runnable(kBlockRoutines);
    return runs;
}

// The vector validators this processor runs: exact, like the scalar ones.
const std::vector<Routine> &vector_routines() {
    static const std::vector<Routine> runs = runnable(kVectorRoutines);
    return runs;
}
#endif

std::vector<Routine> routines() {
    std::vector<Routine> all(std::begin(kScalarRoutines), std::end(kScalarRoutines));
#ifdef TAV_WITH_BLOCK_ROUTINES
    all.insert(all.end(), block_routines().begin(), block_routines().end());
    all.insert(all.end(), vector_routines().begin(), vector_routines().end());
#endif
    return all;
}

void expect_rec(const char *file, int line, const Rec &actual, const Rec &want, const std::string &ctx) {
    ++g_checks;
    if (same(actual, want)) return;
    fail(file, line, "record", "%s: got ret %d cur %zu total %zu state %d, expected ret %d cur %zu total %zu state %d",
         ctx.c_str(), actual.ret, actual.cur, actual.total, actual.state, want.ret, want.cur, want.total, want.state);
}
#define EXPECT_REC(actual, want, ctx) expect_rec(__FILE__, __LINE__, (actual), (want), (ctx))

std::string hex(const uint8_t *d, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < 64; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    if (n > 64) s += "...";
    return s;
}

// Bytes that a fresh record rejects at their last byte.
std::vector<uint8_t> rejected_prefix(Rng &rng) {
    static const std::vector<uint8_t> faults[] = {{0xFF}, {0xC0}, {0x80}, {0xE0, 0x80}, {0xED, 0xA0}, {0xF4, 0x90}, {0xE2, 0x41}};
    std::vector<uint8_t> out;
    const unsigned ascii = rng.below(8);
    for (unsigned k = 0; k < ascii; ++k) out.push_back(static_cast<uint8_t>('a' + k));
    const auto &f = faults[rng.below(7)];
    out.insert(out.end(), f.begin(), f.end());
    return out;
}

unsigned residue_of(const uint8_t *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p) & 15u); }

// ------------------------------------------------------------------ life cycle

void test_lifecycle_and_set_impl() {
    void *h = tav_utf8vld_new();
    EXPECT_TRUE(h != nullptr, "new");
    EXPECT_EQ(tav_utf8vld_get_impl(h), 4, "fresh impl");
    EXPECT_EQ(tav_utf8vld_get_current_index(h), 0, "fresh current_index");
    EXPECT_EQ(tav_utf8vld_get_total_index(h), 0, "fresh total_index");
    EXPECT_EQ(rec(h)->state, UTF8_ACCEPT, "fresh state");

    // Leave the record inside a sequence with nonzero indices: set_impl
    // must not touch them.
    const uint8_t part[] = {'a', 'b', 0xE2, 0x82};
    EXPECT_EQ(tav_utf8vld_validate(h, part, sizeof part), 1, "partial");
    struct Step { int arg, ret; };
    const Step steps[] = {
        {0, 4}, {2, 2}, {5, 2}, {-1, -1}, {6, -1}, {1, 1}, {3, 3}, {INT_MAX, 3},
        {INT_MIN, INT_MIN}, {4, 4}, {0, 4}, {-7, -7}, {0, 4},
    };
    for (const Step &s : steps) {
        EXPECT_EQ(tav_utf8vld_set_impl(h, s.arg), s.ret, "set_impl(%d)", s.arg);
        EXPECT_EQ(tav_utf8vld_get_impl(h), s.ret, "get_impl after set_impl(%d)", s.arg);
        EXPECT_EQ(rec(h)->state, 2, "state after set_impl(%d)", s.arg);
        EXPECT_EQ(rec(h)->current_index, 4, "current_index after set_impl(%d)", s.arg);
        EXPECT_EQ(rec(h)->total_index, 4, "total_index after set_impl(%d)", s.arg);
    }

    // Getters read the record; reset clears all but impl.
    tav_utf8vld_set_impl(h, 2);
    const uint8_t bad[] = {0xAC, 'x', 0xFF};
    EXPECT_EQ(tav_utf8vld_validate(h, bad, sizeof bad), -1, "reject");
    EXPECT_EQ(tav_utf8vld_get_current_index(h), 2, "current_index getter");
    EXPECT_EQ(tav_utf8vld_get_total_index(h), 6, "total_index getter");
    tav_utf8vld_reset(h);
    EXPECT_EQ(rec(h)->current_index, 0, "reset current_index");
    EXPECT_EQ(rec(h)->total_index, 0, "reset total_index");
    EXPECT_EQ(rec(h)->state, UTF8_ACCEPT, "reset state");
    EXPECT_EQ(tav_utf8vld_get_impl(h), 2, "reset keeps impl");
    const uint8_t euro[] = {0xE2, 0x82, 0xAC};
    EXPECT_EQ(tav_utf8vld_validate(h, euro, sizeof euro), 0, "validates again after reset");
    tav_utf8vld_free(h);
    tav_utf8vld_free(nullptr);  // does nothing
}

// ------------------------------------------------------------------ sweep

// Every routine, every length 0-300, residue 0-15 and entry state 0-8. The
// entry state comes from a real prefix run by another routine (rotating
// through all of them), UTF8_REJECT from a rejected call.
void test_sweep() {
    const std::vector<Routine> all = routines();
    Rng rng(0x5EED0001);
    const size_t max_n = quick() ? 80 : 300;
    const int reps = quick() ? 1 : 2;
    size_t turn = 0;
    for (size_t n = 0; n <= max_n; ++n) {
        for (unsigned residue = 0; residue < 16; ++residue) {
            for (int s = 0; s <= 8; ++s) {
                for (int rep = 0; rep < reps; ++rep) {
                    std::vector<uint8_t> stream = s == UTF8_REJECT ? rejected_prefix(rng) : prefix_for_state(s, rng);
                    const size_t plen = stream.size();
                    const std::vector<uint8_t> body = random_piece(n, s == UTF8_REJECT ? 0 : s, rng);
                    stream.insert(stream.end(), body.begin(), body.end());
                    Piece pre(stream.data(), plen, rng.below(16));
                    Piece piece(stream.data() + plen, n, residue);
                    for (const Routine &x : all) {
                        const Routine &p = all[turn++ % all.size()];
                        void *h = tav_utf8vld_new();
                        const Rec fresh = {0, 0, 0, UTF8_ACCEPT};
                        const Rec e0 = expected(p.kind, fresh, stream.data(), 0, plen, residue_of(pre.data()));
                        const Rec a0 = run(p, h, pre.data(), plen);
                        EXPECT_REC(a0, e0, std::string("prefix by ") + p.name + " " + hex(stream.data(), plen));
                        EXPECT_EQ(a0.state, s, "prefix state (%s)", p.name);
                        bool kept = false;
                        const Rec e1 = expected(x.kind, a0, stream.data(), plen, n, residue);
                        const Rec a1 = run(x, h, piece.data(), n, &kept);
                        if (!same(a1, e1)) {
                            EXPECT_REC(a1, e1, std::string(x.name) + " after " + p.name + ", n " + std::to_string(n) +
                                                   ", residue " + std::to_string(residue) + ", entry " +
                                                   std::to_string(s) + ", piece " + hex(piece.data(), n));
                        } else {
                            ++g_checks;
                        }
                        EXPECT_TRUE(kept, "%s changed impl", x.name);
                        tav_utf8vld_free(h);
                    }
                }
            }
        }
    }
}

// Length 0 with a null data pointer: nothing is read, the state stays.
void test_empty_without_buffer() {
    Rng rng(0x5EED0002);
    for (const Routine &x : routines()) {
        for (int s = 0; s <= 8; ++s) {
            const std::vector<uint8_t> pre = s == UTF8_REJECT ? rejected_prefix(rng) : prefix_for_state(s, rng);
            void *h = tav_utf8vld_new();
            const Rec a0 = run(kScalarRoutines[0], h, pre.data(), pre.size());
            const Rec want = expected(x.kind, a0, pre.data(), pre.size(), 0, 0);
            const Rec a1 = run(x, h, nullptr, 0);
            EXPECT_REC(a1, want, std::string(x.name) + " length 0, entry " + std::to_string(s));
            tav_utf8vld_free(h);
        }
    }
}

// ------------------------------------------------------------------ streams

// Long streams cut into random chunks, each validated by a random routine
// from a fresh buffer at a random residue, with an occasional reset.
void test_chunked_streams() {
    const std::vector<Routine> all = routines();
    Rng rng(0x5EED0003);
    const int streams = quick() ? 40 : 400;
    for (int t = 0; t < streams; ++t) {
        std::vector<uint8_t> stream;
        const size_t len = rng.below(6) == 0 ? rng.range(2000, 9000) : rng.range(0, 1500);
        while (stream.size() < len) push_char(rng, stream);
        stream.resize(len);
        if (len != 0 && rng.below(2) == 0) stream[rng.below(static_cast<unsigned>(len))] = rng.below(2) ? 0xFF : 0x80;
        void *h = tav_utf8vld_new();
        Rec before = {0, 0, 0, UTF8_ACCEPT};
        size_t origin = 0, pos = 0;
        while (pos < len) {
            if (rng.below(40) == 0) {  // new stream from here on
                tav_utf8vld_reset(h);
                before = {0, 0, 0, UTF8_ACCEPT};
                origin = pos;
            }
            const unsigned pick = rng.below(8);
            size_t n = pick < 4 ? rng.range(0, 20) : pick < 7 ? rng.range(16, 300) : rng.range(300, 3000);
            if (n > len - pos) n = len - pos;
            const Routine &x = all[rng.below(static_cast<unsigned>(all.size()))];
            const unsigned residue = rng.below(16);
            Piece piece(stream.data() + pos, n, residue);
            const Rec want = expected(x.kind, before, stream.data() + origin, pos - origin, n, residue);
            const Rec got = run(x, h, piece.data(), n);
            EXPECT_REC(got, want, std::string(x.name) + " stream " + std::to_string(t) + " at " + std::to_string(pos) +
                                      " n " + std::to_string(n) + " residue " + std::to_string(residue));
            EXPECT_EQ(tav_utf8vld_get_current_index(h), got.cur, "getter");
            EXPECT_EQ(tav_utf8vld_get_total_index(h), got.total, "getter");
            before = got;
            pos += n;
        }
        tav_utf8vld_free(h);
    }
}

// ------------------------------------------------------------------ guard pages

// Pieces that end at an inaccessible page (so every residue occurs) and
// pieces that start right after one; well-formed contents, so the routines
// read up to the last byte.
void test_guard_pages() {
    for (const Routine &x : routines()) {
        in_child(x.name, [&] {
            GuardedPage g;
            Rng rng(0x5EED0004);
            std::vector<size_t> lengths;
            for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
            for (size_t n : {g.page() - 17, g.page() - 1, g.page()}) lengths.push_back(n);
            for (size_t n : lengths) {
                for (int s : {0, 3, 4, 8}) {
                    std::vector<uint8_t> stream = prefix_for_state(s, rng);
                    const size_t plen = stream.size();
                    completion_for_state(s, rng, stream);
                    while (stream.size() < plen + n) push_char(rng, stream);
                    stream.resize(plen + n);
                    for (int where = 0; where < 2; ++where) {
                        uint8_t *d = where == 0 ? g.at_end(n) : g.at_start();
                        if (n != 0) std::memcpy(d, stream.data() + plen, n);
                        void *h = tav_utf8vld_new();
                        const Rec a0 = run(kScalarRoutines[0], h, stream.data(), plen);
                        const Rec want = expected(x.kind, a0, stream.data(), plen, n, residue_of(d));
                        const Rec got = run(x, h, d, n);
                        EXPECT_REC(got, want, std::string(x.name) + (where == 0 ? " at page end" : " at page start") +
                                                  " n " + std::to_string(n));
                        tav_utf8vld_free(h);
                    }
                }
            }
        });
    }
}

#ifdef TAV_WITH_BLOCK_ROUTINES
// ------------------------------------------------------------------ block routines

// Pieces whose division into head, blocks and tail is known by hand: checks
// the unit-counted index itself, independently of units_through().
void test_block_cases() {
    struct Case {
        const char *what;
        const char *entry;  // bytes run by the table first (may reject)
        unsigned residue;
        size_t n;           // ASCII bytes ...
        std::vector<std::pair<size_t, uint8_t>> put;  // ... with these replaced
        int ret;
        size_t cur;
        size_t total;
        int state;
    };
    const Case cases[] = {
        {"32 ASCII, aligned", "", 0, 32, {}, 0, 32, 32, 0},
        {"48 ASCII, FF at 20", "", 0, 48, {{20, 0xFF}}, -1, 32, 32, 1},
        {"20 ASCII, FF at 17 in the tail", "", 0, 20, {{17, 0xFF}}, -1, 18, 18, 1},
        {"40 ASCII at 8, C0 at 3 in the head", "", 8, 40, {{3, 0xC0}}, -1, 4, 4, 1},
        {"40 ASCII at 3, 80 at 12: last head byte", "", 3, 40, {{12, 0x80}}, -1, 13, 13, 1},
        {"40 ASCII at 3, 80 at 13: first block byte", "", 3, 40, {{13, 0x80}}, -1, 29, 29, 1},
        {"40 ASCII at 3, 80 at 28: last block byte", "", 3, 40, {{28, 0x80}}, -1, 29, 29, 1},
        {"40 ASCII at 3, 80 at 30 in the tail", "", 3, 40, {{30, 0x80}}, -1, 31, 31, 1},
        {"40 ASCII at 3", "", 3, 40, {}, 0, 40, 40, 0},
        {"15 ASCII + E2 82 AC: block ends in state 3", "", 0, 18, {{15, 0xE2}, {16, 0x82}, {17, 0xAC}}, 0, 18, 18, 0},
        {"F0 9F 98 80 across two blocks", "", 0, 32, {{14, 0xF0}, {15, 0x9F}, {16, 0x98}, {17, 0x80}}, 0, 32, 32, 0},
        {"15 ASCII + E2: one block", "", 0, 16, {{15, 0xE2}}, 1, 16, 16, 3},
        {"15 ASCII + C2: byte 15 alone non-ASCII", "", 0, 16, {{15, 0xC2}}, 1, 16, 16, 2},
        {"15 ASCII + C2 80", "", 0, 17, {{15, 0xC2}, {16, 0x80}}, 0, 17, 17, 0},
        {"block entered in state 3", "ab\xE2", 0, 16, {{0, 0x82}, {1, 0xAC}}, 0, 16, 19, 0},
        {"all-ASCII block entered in state 2", "\xC3", 0, 16, {}, -1, 16, 17, 1},
        {"all-ASCII block entered in state 8, rejected at byte 0", "\xF4", 0, 64, {}, -1, 16, 17, 1},
        {"rejected record, 3 bytes", "abcdefg\xFF", 0, 3, {}, -1, 0, 7, 1},
        {"rejected record, 0 bytes", "abcdefg\xFF", 0, 0, {}, -1, 0, 7, 1},
        {"length 0 in state 0", "", 0, 0, {}, 0, 0, 0, 0},
        {"length 0 in state 5", "\xED", 0, 0, {}, 1, 0, 1, 5},
        {"3 ASCII at 9", "", 9, 3, {}, 0, 3, 3, 0},
        {"ED A0 straddling head and block", "", 15, 17, {{0, 0xED}, {1, 0xA0}}, -1, 17, 17, 1},
    };
    for (const Routine &x : block_routines()) {
        for (const Case &c : cases) {
            std::vector<uint8_t> bytes(c.n, 'x');
            for (const auto &p : c.put) bytes[p.first] = p.second;
            Piece piece(bytes.data(), c.n, c.residue);
            void *h = tav_utf8vld_new();
            _tav_utf8vld_validate_table(h, reinterpret_cast<const uint8_t *>(c.entry), std::strlen(c.entry));
            const Rec got = run(x, h, piece.data(), c.n);
            EXPECT_REC(got, (Rec{c.ret, c.cur, c.total, c.state}), std::string(x.name) + ": " + c.what);
            tav_utf8vld_free(h);
        }
    }
}
#endif

}  // namespace

int main() {
    test_lifecycle_and_set_impl();
    test_empty_without_buffer();
#ifdef TAV_WITH_BLOCK_ROUTINES
    test_block_cases();
#endif
    test_sweep();
    test_chunked_streams();
    if (!TAV_UNDER_VALGRIND()) test_guard_pages();  // memcheck checks every byte itself
#ifdef TAV_WITH_BLOCK_ROUTINES
    return summary("test_block_validators");
#else
    return summary("test_validators");
#endif
}
