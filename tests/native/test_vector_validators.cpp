// SPDX-License-Identifier: MIT
// Native tests of the vector validators (SSSE3, AVX2, AVX-512; NEON) against the
// table-driven routine, which is the reference: result, state and both
// indices after every call. Faults at every position of the first, a middle
// and the last block and at every block edge, for every length 0-300,
// address residue mod 64 and entry state; every input of 1-3 bytes in every
// state; windows of boundary bytes across block edges; the ends of long
// ASCII runs; corpus texts mutated and cut into chunks with the routine
// switched between chunks; guard pages.
// Built twice: test_vector_validators against the library as the module
// builds it, test_vector_probe against the library built with
// TAV_LOOKUP_PROBE, which also checks where the vector check hands over to
// the automaton: never on well-formed text, and at the unit that holds the
// rejected byte (a unit flagged late can still give exact results, through
// the bytes looked back at, so only the probe sees it).

#include <algorithm>
#include <ctime>
#include <string>

#include "vector_routines.h"

using namespace nt;

namespace {

struct ProbeRecord {
    int calls = 0;
    int flagged = 0;
    size_t unit = 0, from = 0;
};
ProbeRecord g_probe;

}  // namespace

#if defined(TAV_LOOKUP_PROBE)
extern "C" void tav_lookup_probe(int flagged, size_t unit, size_t from) {
    ++g_probe.calls;
    g_probe.flagged = flagged;
    g_probe.unit = unit;
    g_probe.from = from;
}
#endif

namespace {

const Routine &kTable = kScalarRoutines[0];

const std::vector<Routine> &vectors() {
    static const std::vector<Routine> runs = runnable(kVectorRoutines);
    return runs;
}

std::string hex(const uint8_t *d, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < 80; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    if (n > 80) s += "...";
    return s;
}

void expect_same(const char *file, int line, const Rec &got, const Rec &want, const std::string &ctx) {
    ++g_checks;
    if (same(got, want)) return;
    fail(file, line, "record", "%s: got ret %d cur %zu total %zu state %d, table ret %d cur %zu total %zu state %d",
         ctx.c_str(), got.ret, got.cur, got.total, got.state, want.ret, want.cur, want.total, want.state);
}
#define EXPECT_SAME(got, want, ...) expect_same(__FILE__, __LINE__, (got), (want), (__VA_ARGS__))

// C0, C1 and F5-FF begin no character; the vector check sees them only
// through the byte after them.
bool impossible_lead(uint8_t b) { return b == 0xC0 || b == 0xC1 || b >= 0xF5; }

// The probe's view of one call whose reference outcome is `want`, on a
// piece d[0, n) whose first character boundary is at `start` (after the
// bytes that finish the carried character): nullptr when it is as it must
// be, else what is wrong. Only a probe build checks.
const char *probe_problem(int entry_state, const Rec &want, const uint8_t *d, size_t n, size_t start) {
#if defined(TAV_LOOKUP_PROBE)
    static char msg[160];
    // No hand-over on a rejected record, after a rejection while finishing
    // the carried character, or when the piece ends inside that character.
    const bool vector_part = entry_state != UTF8_REJECT && (want.ret == -1 ? want.cur >= start : n >= start);
    if (!vector_part) return g_probe.calls == 0 ? nullptr : "hand-over without a vector part";
    if (g_probe.calls != 1) return "not one hand-over in the call";
    if (want.ret != -1) {
        if (g_probe.flagged) {
            std::snprintf(msg, sizeof msg, "well-formed text flagged at unit %zu", g_probe.unit);
            return msg;
        }
        if (g_probe.from + 3 < n) {
            std::snprintf(msg, sizeof msg, "the automaton walks the last %zu bytes", n - g_probe.from);
            return msg;
        }
        return nullptr;
    }
    const size_t e = want.cur;
    if (g_probe.flagged) {
        // The unit holding the rejected byte, or the one after an impossible
        // lead that ends a unit; never a later one, never more than a group
        // (at most 128 bytes) before.
        const bool holds = g_probe.unit <= e && e < g_probe.unit + 128;
        const bool after_lead = g_probe.unit == e + 1 && impossible_lead(d[e]);
        if (!holds && !after_lead) {
            std::snprintf(msg, sizeof msg, "rejected at %zu, flagged unit %zu", e, g_probe.unit);
            return msg;
        }
    } else if (!(e + 1 == n && impossible_lead(d[e]))) {
        std::snprintf(msg, sizeof msg, "rejected at %zu of %zu with no unit flagged", e, n);
        return msg;
    }
    if (g_probe.from > e) {
        std::snprintf(msg, sizeof msg, "the automaton starts at %zu, after the rejected byte %zu", g_probe.from, e);
        return msg;
    }
    return nullptr;
#else
    (void)entry_state, (void)want, (void)d, (void)n, (void)start;
    return nullptr;
#endif
}

// A record that validated `pre` with the table-driven routine.
void *record_after(const std::vector<uint8_t> &pre) {
    void *h = tav_utf8vld_new();
    if (!pre.empty()) _tav_utf8vld_validate_table(h, pre.data(), pre.size());
    return h;
}

// The table's record after `pre` and then d[0, n).
Rec reference(const std::vector<uint8_t> &pre, const uint8_t *d, size_t n) {
    void *h = record_after(pre);
    const Rec r = run(kTable, h, d, n);
    tav_utf8vld_free(h);
    return r;
}

// Bytes that finish the character a record carries in state s (RFC 3629:
// the continuation bytes still missing), after which the vector routines
// are at a character boundary.
size_t boundary_offset(const std::vector<uint8_t> &pre) {
    static const size_t missing[9] = {0, 0, 1, 2, 2, 2, 3, 3, 3};
    void *h = record_after(pre);
    const int s = rec(h)->state;
    tav_utf8vld_free(h);
    return missing[s];
}

// Well-formed text: dense multi-byte characters, with ASCII runs now and
// then long enough to fill whole 64-byte blocks.
void push_text(Rng &rng, std::vector<uint8_t> &out, size_t n) {
    while (out.size() < n) {
        if (rng.below(24) == 0) {
            const unsigned run = rng.range(60, 140);
            for (unsigned k = 0; k < run; ++k) out.push_back(static_cast<uint8_t>(0x20 + rng.below(0x5F)));
        } else {
            push_char(rng, out);
        }
    }
}

// ------------------------------------------------------------------ documented cases

void test_documented_cases() {
    struct Case {
        const char *what;
        std::string entry, piece;  // entry: bytes the table runs first
        int ret;
        size_t cur, total;
        int state;
    };
    const std::string a64(64, 'a'), a100(100, 'a');
    const Case cases[] = {
        {"ED A0 rejects at A0", "", "\xED\xA0\x80", -1, 1, 1, 1},
        {"E0 80 rejects at 80", "", "\xE0\x80\x80", -1, 1, 1, 1},
        {"F4 90 rejects at 90", "", "\xF4\x90\x80\x80", -1, 1, 1, 1},
        {"C0 80 rejects at C0", "", "\xC0\x80", -1, 0, 0, 1},
        {"F5 41 rejects at F5", "", "\xF5\x41", -1, 0, 0, 1},
        {"after 100 ASCII, ED A0 in the second block", "", a100 + "\xED\xA0" + a64, -1, 101, 101, 1},
        {"after 63 ASCII, C0 ends the first 64 bytes", "", std::string(63, 'a') + "\xC0" + a64, -1, 63, 63, 1},
        {"a chunk that ends on C1", "", a100 + "\xC1", -1, 100, 100, 1},
        {"a chunk that ends on E0 A0: state 2", "", a100 + "\xE0\xA0", 1, 102, 102, 2},
        {"a chunk that ends on F0: state 6", "", a100 + "\xF0", 1, 101, 101, 6},
        {"E2 82 then AC and ASCII", "\xE2\x82", "\xAC" + a100, 0, 101, 103, 0},
        {"state 2 then 100 ASCII", "\xC3", a100, -1, 0, 1, 1},
        {"F4 then 8F BF BF", "\xF4", "\x8F\xBF\xBF" + a64, 0, 67, 68, 0},
        {"F4 then 90", "\xF4", "\x90" + a64, -1, 0, 1, 1},
        {"rejected record, 100 bytes", "ab\xFF", a100, 1, 100, 102, 1},
        {"rejected record, 0 bytes", "ab\xFF", "", 1, 0, 2, 1},
        {"length 0 in state 5", "\xED", "", 1, 0, 1, 5},
        {"length 0 in state 0", "", "", 0, 0, 0, 0},
        {"64 ASCII after a lead, 2 blocks of continuations", "", "\xF0\x9F\x98\x80" + a64 + "\x80", -1, 68, 68, 1},
    };
    for (const Routine &x : vectors()) {
        for (const Case &c : cases) {
            const std::vector<uint8_t> pre(c.entry.begin(), c.entry.end());
            Piece piece(reinterpret_cast<const uint8_t *>(c.piece.data()), c.piece.size(), 0, 64);
            void *h = record_after(pre);
            const Rec got = run(x, h, piece.data(), c.piece.size());
            tav_utf8vld_free(h);
            EXPECT_SAME(got, (Rec{c.ret, c.cur, c.total, c.state}), std::string(x.name) + ": " + c.what);
        }
    }
}

// ------------------------------------------------------------------ faults at block edges

// Offsets (within the piece) that get a fault for a routine of width w:
// every byte of the first, a middle and the last block, the last bytes,
// and two bytes either side of every block edge. Blocks start at the
// piece's first character boundary.
void fault_positions(size_t n, size_t start, size_t w, std::vector<size_t> &out) {
    if (start >= n) return;
    const size_t blocks = (n - start) / w;
    auto block = [&](size_t b) {
        for (size_t k = 0; k < w; ++k) out.push_back(start + b * w + k);
    };
    if (blocks > 0) {
        block(0);
        block(blocks / 2);
        block(blocks - 1);
    }
    for (size_t p = start + blocks * w; p < n; ++p) out.push_back(p);  // the partial block
    for (size_t b = 0; b <= blocks; ++b) {
        const size_t edge = start + b * w;
        for (size_t d = 0; d < 4; ++d) out.push_back(edge + d >= 2 ? edge + d - 2 : 0);
    }
}

// Writes a fault of one or two bytes at p (within n); returns its length.
size_t put_fault(uint8_t *d, size_t n, size_t p, Rng &rng) {
    static const uint8_t faults[][2] = {{0x80}, {0xBF}, {0xC0}, {0xC1}, {0xF5}, {0xFF}, {0x41}, {0xE2},
                                        {0xE0, 0x80}, {0xED, 0xA0}, {0xF0, 0x8F}, {0xF4, 0x90}, {0xC2, 0x41},
                                        {0xF0, 0x41}, {0xE2, 0x82}};
    static const size_t fault_len[] = {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2};
    const unsigned f = rng.below(15);
    const size_t len = std::min(fault_len[f], n - p);
    for (size_t k = 0; k < len; ++k) d[p + k] = faults[f][k];
    return len;
}

// Residues mod 64 that a sweep visits: all of them, or every k-th one in
// the sanitizer and memcheck runs (TAV_NATIVE_STRIDE=k), which are slow.
unsigned residue_stride() {
    const char *k = std::getenv("TAV_NATIVE_STRIDE");
    const unsigned v = k == nullptr ? 1 : static_cast<unsigned>(std::atoi(k));
    return quick() ? 9 : v == 0 ? 1 : v;
}

// Runs x on d[0, n) from the record `entry` and checks it against `want`.
void check_from(const Routine &x, void *h, const utf8vld_state &entry, const uint8_t *d, size_t n, size_t start,
                const Rec &want, const char *what, size_t n_, unsigned residue, int s) {
    *rec(h) = entry;
    g_probe = ProbeRecord{};
    const Rec got = snapshot(h, x.fn(h, d, n));
    if (!same(got, want)) {
        EXPECT_SAME(got, want, std::string(x.name) + " " + what + " n " + std::to_string(n_) + " residue " +
                                   std::to_string(residue) + " entry " + std::to_string(s) + " piece " + hex(d, n));
        return;
    }
    ++g_checks;
    if (const char *problem = probe_problem(entry.state, want, d, n, start)) {
        fail(__FILE__, __LINE__, "probe", "%s %s n %zu residue %u entry %d: %s; piece %s", x.name, what, n_, residue, s,
             problem, hex(d, n).c_str());
    }
}

void test_faults_at_block_edges() {
    const std::vector<Routine> &all = vectors();
    if (all.empty()) return;
    Rng rng(0x7EC70001);
    const size_t max_n = quick() ? 100 : 300;
    const unsigned stride = residue_stride();
    std::vector<size_t> positions;
    void *ref = tav_utf8vld_new(), *h = tav_utf8vld_new();
    for (size_t n = 0; n <= max_n; ++n) {
        for (unsigned residue = 0; residue < 64; residue += stride) {
            for (int s = 0; s <= 8; ++s) {
                const std::vector<uint8_t> pre = s == UTF8_REJECT ? std::vector<uint8_t>{'a', 0xFF}
                                                                   : prefix_for_state(s, rng);
                void *e = record_after(pre);
                const utf8vld_state entry = *rec(e);
                tav_utf8vld_free(e);
                std::vector<uint8_t> body;
                if (s != 0 && s != UTF8_REJECT) completion_for_state(s, rng, body);
                push_text(rng, body, n);
                body.resize(n);
                const size_t start = boundary_offset(pre);
                positions.clear();
                for (const Routine &x : all) fault_positions(n, start, vector_width(x), positions);
                std::sort(positions.begin(), positions.end());
                positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
                Piece piece(body.data(), n, residue, 64);
                uint8_t *d = piece.data();
                // The unchanged text first, then one fault at each position,
                // undone before the next.
                for (size_t f = 0; f <= positions.size(); ++f) {
                    size_t at = 0, len = 0;
                    if (f > 0) {
                        at = positions[f - 1];
                        if (at >= n) continue;
                        len = put_fault(d, n, at, rng);
                    }
                    *rec(ref) = entry;
                    const Rec want = snapshot(ref, _tav_utf8vld_validate_table(ref, d, n));
                    for (const Routine &x : all) check_from(x, h, entry, d, n, start, want, "fault", n, residue, s);
                    if (len != 0) std::memcpy(d + at, body.data() + at, len);
                }
                EXPECT_TRUE(piece.slack_intact(), "wrote before the piece");
            }
        }
    }
    tav_utf8vld_free(ref);
    tav_utf8vld_free(h);
}

// Runs of ASCII of every length to 1400 bytes (past five groups of the
// widest routine, where a run is tested four groups at a time, and the rest
// after its last full span at once, through a load that overlaps the bytes
// before it), with one change near the end: a fault, or a well-formed two-
// or three-byte character, at random positions in the last 800 bytes and at
// each of the last four.
void test_ascii_run_ends() {
    const std::vector<Routine> &all = vectors();
    if (all.empty()) return;
    Rng rng(0x7EC70005);
    const size_t step = quick() ? 13 : residue_stride() > 1 ? 3 : 1;
    void *ref = tav_utf8vld_new(), *h = tav_utf8vld_new();
    for (size_t n = 0; n <= 1400; n += step) {
        for (unsigned residue : {0u, 17u}) {
            for (int s : {0, 3}) {
                const std::vector<uint8_t> pre = prefix_for_state(s, rng);
                void *e = record_after(pre);
                const utf8vld_state entry = *rec(e);
                tav_utf8vld_free(e);
                std::vector<uint8_t> body;
                if (s != 0) completion_for_state(s, rng, body);
                while (body.size() < n) body.push_back(static_cast<uint8_t>(0x20 + rng.below(0x5F)));
                body.resize(n);
                const size_t start = boundary_offset(pre);
                Piece piece(body.data(), n, residue, 64);
                uint8_t *d = piece.data();
                std::vector<size_t> at;
                for (size_t k = 1; k <= 4 && k <= n; ++k) at.push_back(n - k);
                for (int k = 0; k < 8 && n > start; ++k) at.push_back(n - 1 - rng.below(std::min<size_t>(800, n - start)));
                for (size_t f = 0; f <= at.size(); ++f) {
                    size_t p = 0, len = 0;
                    if (f > 0) {
                        p = std::max(at[f - 1], start);
                        if (p >= n) continue;
                        if (f % 2 == 0) {
                            len = put_fault(d, n, p, rng);
                        } else {
                            static const uint8_t chars[][3] = {{0xC3, 0xA9}, {0xE2, 0x82, 0xAC}};
                            const size_t c = rng.below(2);
                            len = std::min(c + 2, n - p);  // cut short at the end: a character left open
                            std::memcpy(d + p, chars[c], len);
                        }
                    }
                    *rec(ref) = entry;
                    const Rec want = snapshot(ref, _tav_utf8vld_validate_table(ref, d, n));
                    for (const Routine &x : all) check_from(x, h, entry, d, n, start, want, "ascii run", n, residue, s);
                    if (len != 0) std::memcpy(d + p, body.data() + p, len);
                }
                EXPECT_TRUE(piece.slack_intact(), "wrote before the piece");
            }
        }
    }
    tav_utf8vld_free(ref);
    tav_utf8vld_free(h);
}

// ------------------------------------------------------------------ short inputs

// Every input of 1, 2 and 3 bytes in every entry state (3 bytes: in state 0
// and the states that finish a character within them, 2 bytes in all).
void test_exhaustive_short() {
    const std::vector<Routine> &all = vectors();
    if (all.empty()) return;
    Rng rng(0x7EC70002);
    const size_t max_len = quick() ? 2 : 3;
    for (int s = 0; s <= 8; ++s) {
        const std::vector<uint8_t> pre = s == UTF8_REJECT ? std::vector<uint8_t>{0xC0} : prefix_for_state(s, rng);
        void *ref = tav_utf8vld_new();
        std::vector<void *> hs;
        for (size_t i = 0; i < all.size(); ++i) hs.push_back(tav_utf8vld_new());
        for (size_t len = 1; len <= max_len; ++len) {
            std::vector<uint8_t> bytes(len);  // exactly len bytes on the heap: a read past them shows
            uint8_t *buf = bytes.data();
            const uint32_t count = 1u << (8 * len);
            for (uint32_t v = 0; v < count; ++v) {
                buf[0] = static_cast<uint8_t>(v);
                if (len > 1) buf[1] = static_cast<uint8_t>(v >> 8);
                if (len > 2) buf[2] = static_cast<uint8_t>(v >> 16);
                tav_utf8vld_reset(ref);
                _tav_utf8vld_validate_table(ref, pre.data(), pre.size());
                const Rec want = snapshot(ref, _tav_utf8vld_validate_table(ref, buf, len));
                for (size_t i = 0; i < all.size(); ++i) {
                    tav_utf8vld_reset(hs[i]);
                    _tav_utf8vld_validate_table(hs[i], pre.data(), pre.size());
                    const Rec got = snapshot(hs[i], all[i].fn(hs[i], buf, len));
                    if (!same(got, want)) {
                        EXPECT_SAME(got, want, std::string(all[i].name) + " entry " + std::to_string(s) + " input " +
                                                   hex(buf, len));
                    } else {
                        ++g_checks;
                    }
                }
            }
        }
        tav_utf8vld_free(ref);
        for (void *h : hs) tav_utf8vld_free(h);
    }
}

// Windows of four boundary bytes (every combination) across the first
// block edge of each routine and the first 64-byte edge, in ASCII and in
// three-byte text: an error in one block that only the next one shows.
void test_windows_across_edges() {
    const std::vector<Routine> &all = vectors();
    if (all.empty()) return;
    static const uint8_t alphabet[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                       0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    constexpr unsigned A = sizeof alphabet;
    const unsigned step = quick() ? 7 : residue_stride() > 1 ? 3 : 1;
    const size_t n = 2 * 64 + 5;
    std::vector<size_t> starts;
    for (const Routine &x : all) {
        for (size_t edge : {vector_width(x), size_t{64}}) {
            for (size_t at = edge - 3; at <= edge; ++at) starts.push_back(at);
        }
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    void *ref = tav_utf8vld_new(), *h = tav_utf8vld_new();
    const utf8vld_state fresh = *rec(ref);
    for (int background = 0; background < 2; ++background) {
        std::vector<uint8_t> text;
        while (text.size() < n) {
            if (background == 0) {
                text.push_back('a');
            } else {
                text.insert(text.end(), {0xE2, 0x82, 0xAC});  // U+20AC
            }
        }
        text.resize(n);
        for (size_t at : starts) {
            // The window starts at a character boundary of the text.
            const size_t p = background == 0 ? at : at - at % 3;
            Piece piece(text.data(), n, 0, 64);
            uint8_t *d = piece.data();
            for (unsigned v = 0; v < A * A * A * A; v += step) {
                d[p] = alphabet[v % A];
                d[p + 1] = alphabet[v / A % A];
                d[p + 2] = alphabet[v / (A * A) % A];
                d[p + 3] = alphabet[v / (A * A * A)];
                *rec(ref) = fresh;
                const Rec want = snapshot(ref, _tav_utf8vld_validate_table(ref, d, n));
                for (const Routine &x : all) check_from(x, h, fresh, d, n, 0, want, "window", p, 0, 0);
            }
        }
    }
    tav_utf8vld_free(ref);
    tav_utf8vld_free(h);
}

// ------------------------------------------------------------------ corpus streams

// Each text, as it is and with a few bytes changed, cut into chunks of
// mixed sizes, each chunk through a routine picked at random (a vector one,
// the table or the unrolled one) from a fresh buffer at a random residue:
// after every chunk the record equals the table's on the same chunks, and
// the stream's outcome is the RFC 3629 oracle's.
void test_corpus_streams() {
    const auto texts = corpus_texts();
    if (texts.empty()) {
        std::printf("skipped corpus streams: TAV_NATIVE_CORPUS names no corpus with texts\n");
        return;
    }
    std::vector<Routine> pick(vectors());
    pick.push_back(kScalarRoutines[0]);
    pick.push_back(kScalarRoutines[1]);
    Rng rng(0x7EC70003);
    static const uint8_t alphabet[] = {0x00, 0x41, 0x80, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xE0,
                                       0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (const auto &[name, text] : texts) {
        // About 4 MB of chunks per text, whatever its size.
        const int trials = quick() ? 2 : static_cast<int>(std::max<size_t>(6, (4u << 20) / (text.size() + 1)));
        for (int t = 0; t < trials; ++t) {
            std::vector<uint8_t> stream = text;
            const unsigned changes = t == 0 ? 0 : rng.below(3);
            for (unsigned c = 0; c < changes && !stream.empty(); ++c) {
                const size_t at = rng.next() % stream.size();
                stream[at] = rng.below(2) ? rng.byte() : alphabet[rng.below(sizeof alphabet)];
            }
            const ScanResult oracle = rfc3629_scan(stream.data(), stream.size());
            void *h = tav_utf8vld_new(), *ref = tav_utf8vld_new();
            size_t pos = 0;
            int last = 0;
            bool rejected = false;
            while (pos < stream.size()) {
                const unsigned kind = rng.below(8);
                size_t n = kind < 2 ? rng.range(0, 70) : kind < 6 ? rng.range(60, 5000) : rng.range(4096, 70000);
                n = std::min(n, stream.size() - pos);
                const Routine &x = pick[rng.below(static_cast<unsigned>(pick.size()))];
                const unsigned residue = rng.below(64);
                Piece piece(stream.data() + pos, n, residue, 64);
                const Rec want = run(kTable, ref, stream.data() + pos, n);
                const Rec got = run(x, h, piece.data(), n);
                if (!same(got, want)) {
                    EXPECT_SAME(got, want, std::string(x.name) + " " + name + " trial " + std::to_string(t) + " at " +
                                               std::to_string(pos) + " n " + std::to_string(n));
                    break;
                }
                ++g_checks;
                if (got.ret == -1) {
                    rejected = true;
                    EXPECT_TRUE(oracle.kind == Scan::Invalid && oracle.offset == pos + got.cur,
                                "%s: rejected at %zu, oracle says %zu", name.c_str(), pos + got.cur, oracle.offset);
                }
                last = got.ret;
                pos += n;
            }
            EXPECT_EQ(rejected, oracle.kind == Scan::Invalid, "%s trial %d: rejection", name.c_str(), t);
            if (!rejected) EXPECT_EQ(last, oracle.kind == Scan::Complete ? 0 : 1, "%s trial %d", name.c_str(), t);
            tav_utf8vld_free(h);
            tav_utf8vld_free(ref);
        }
    }
}

// ------------------------------------------------------------------ guard pages

// Pieces that end at an inaccessible page and pieces that start right after
// one, well formed (so every byte is read) or with a fault in the last or
// first byte, from every entry state: the routines read no byte outside.
void test_guard_pages() {
    for (const Routine &x : vectors()) {
        in_child(x.name, [&] {
            GuardedPage g;
            Rng rng(0x7EC70004);
            std::vector<size_t> lengths;
            for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
            for (size_t n : {g.page() - 65, g.page() - 64, g.page() - 1, g.page()}) lengths.push_back(n);
            for (size_t n : lengths) {
                for (int s = 0; s <= 8; ++s) {
                    const std::vector<uint8_t> pre = s == UTF8_REJECT ? std::vector<uint8_t>{0xFF}
                                                                       : prefix_for_state(s, rng);
                    std::vector<uint8_t> body;
                    if (s != 0 && s != UTF8_REJECT) completion_for_state(s, rng, body);
                    push_text(rng, body, n);
                    body.resize(n);
                    for (int fault = 0; fault < 3; ++fault) {
                        std::vector<uint8_t> bytes = body;
                        if (n != 0 && fault == 1) bytes[n - 1] = 0xC0;
                        if (n != 0 && fault == 2) bytes[0] = 0x80;
                        for (int where = 0; where < 2; ++where) {
                            uint8_t *d = where == 0 ? g.at_end(n) : g.at_start();
                            if (n != 0) std::memcpy(d, bytes.data(), n);
                            const Rec want = reference(pre, d, n);
                            void *h = record_after(pre);
                            const Rec got = run(x, h, d, n);
                            tav_utf8vld_free(h);
                            EXPECT_SAME(got, want, std::string(x.name) + (where == 0 ? " at page end" : " at page start") +
                                                       " n " + std::to_string(n) + " entry " + std::to_string(s));
                        }
                    }
                }
            }
        });
    }
}

}  // namespace

template <class F>
void timed(const char *name, F body) {
    const time_t t0 = std::time(nullptr);
    body();
    std::printf("   %s: %lld s\n", name, static_cast<long long>(std::time(nullptr) - t0));
}

int main() {
#if defined(__x86_64__) || defined(__aarch64__)
    timed("documented cases", test_documented_cases);
    timed("windows across edges", test_windows_across_edges);
    timed("faults at block edges", test_faults_at_block_edges);
    timed("ends of ASCII runs", test_ascii_run_ends);
    timed("exhaustive short inputs", test_exhaustive_short);
    timed("corpus streams", test_corpus_streams);
    if (!TAV_UNDER_VALGRIND()) timed("guard pages", test_guard_pages);  // memcheck checks every byte itself
    if (vectors().empty()) std::printf("skipped: this processor runs none of the vector validators\n");
#endif
#if defined(TAV_LOOKUP_PROBE)
    return summary("test_vector_probe");
#else
    return summary("test_vector_validators");
#endif
}
