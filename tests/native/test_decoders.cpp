// SPDX-License-Identifier: MIT
// Native tests of the decoder's routines (measure and the Latin-1, UCS-2 and
// UCS-4 transcoders) of every family the processor runs, against the plain
// reference decoder of decode_model.h: for valid input the same code points
// and kind, for invalid input the same reason, start and end. Transcoders
// write exactly the measured number of units into a buffer of exactly that
// size, and on invalid input stay within whatever size they are given.
// Every input of 1 and 2 bytes and structured ones of 3 and 4; every length
// 0-300 at every address residue for each kind of content, with a fault at
// every position; masked input across the chunk edges of the masked driver;
// the corpus texts; guard pages on both sides of the input and the output.

#include <algorithm>
#include <ctime>
#include <string>

#include "decode_model.h"

using namespace nt;

namespace {

const std::vector<Family> &families() {
    static const std::vector<Family> runs = runnable_families();
    return runs;
}

std::string hex(const uint8_t *d, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < 48; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    if (n > 48) s += "...";
    return s;
}

// An output buffer of exactly `units` code units, with a canary after it
// (AddressSanitizer also sees a write past the allocation's end when the
// canary is cut off: the tests use exact sizes where they can).
template <class Unit>
class Out {
public:
    explicit Out(size_t units) : units_(units), raw_(units + kTail) {
        for (size_t k = 0; k < kTail; ++k) raw_[units + k] = static_cast<Unit>(0xA5A5A5A5u);
    }
    Unit *data() { return raw_.data(); }
    bool tail_intact() const {
        for (size_t k = 0; k < kTail; ++k)
            if (raw_[units_ + k] != static_cast<Unit>(0xA5A5A5A5u)) return false;
        return true;
    }
    bool equals(const std::vector<uint32_t> &chars) const {
        for (size_t k = 0; k < chars.size(); ++k)
            if (raw_[k] != static_cast<Unit>(chars[k])) return false;
        return true;
    }

private:
    static constexpr size_t kTail = 64;
    size_t units_;
    std::vector<Unit> raw_;
};

const uint8_t kKey[4] = {0x37, 0xFA, 0x21, 0x3D};

// d[0, n) XOR the key from key byte 0, the frame a client sends.
std::vector<uint8_t> masked(const uint8_t *d, size_t n) {
    std::vector<uint8_t> m(d, d + n);
    xor_model(kKey, 0, m.data(), n);
    return m;
}

template <class Unit, class Fn>
void check_transcoder(const Family &f, const char *kind, Fn fn, const uint8_t *d, size_t n, const uint8_t *key,
                      const Decoded &want, const char *what) {
    Out<Unit> out(want.chars.size());
    const size_t got = fn(d, n, key, out.data(), want.chars.size());
    ++g_checks;
    if (got != want.chars.size() || !out.equals(want.chars) || !out.tail_intact()) {
        fail(__FILE__, __LINE__, kind, "%s %s%s: wrote %zu units (expected %zu), %s, tail %s; input %zu bytes %s",
             f.name, what, key ? " masked" : "", got, want.chars.size(),
             out.equals(want.chars) ? "same units" : "different units", out.tail_intact() ? "intact" : "OVERWRITTEN",
             n, hex(d, n).c_str());
    }
}

// Every transcoder on input that is not UTF-8 (or has code points too
// large for it), given room for `room` units: it writes no more.
template <class Unit, class Fn>
void check_bounded(const Family &f, const char *kind, Fn fn, const uint8_t *d, size_t n, const uint8_t *key,
                   size_t room, const char *what) {
    Out<Unit> out(room);
    const size_t got = fn(d, n, key, out.data(), room);
    ++g_checks;
    if (got > room || !out.tail_intact())
        fail(__FILE__, __LINE__, kind, "%s %s: %zu units into room for %zu, tail %s; input %s", f.name, what, got,
             room, out.tail_intact() ? "intact" : "OVERWRITTEN", hex(d, n).c_str());
}

// One input through one family: the measure, then each transcoder that
// the text's kind allows (or, for invalid text, each with little room).
// `key`: the input is masked with kKey.
void check(const Family &f, const uint8_t *d, size_t n, const uint8_t *key, const Decoded &want, const char *what) {
    tav_utf8_measure m;
    std::memset(&m, 0xCC, sizeof m);
    const int r = f.measure(d, n, key, &m);
    ++g_checks;
    if (want.reason != TAV_UTF8_VALID) {
        if (r != -1 || m.reason != want.reason || m.start != want.start || m.end != want.end) {
            fail(__FILE__, __LINE__, "measure", "%s %s%s: got %d reason %d [%zu, %zu), expected reason %d [%zu, %zu); "
                 "input %zu bytes %s", f.name, what, key ? " masked" : "", r, m.reason, m.start, m.end, want.reason,
                 want.start, want.end, n, hex(d, n).c_str());
        }
        for (size_t room : {n / 2, n}) {  // n: as if it were ASCII
            check_bounded<uint8_t>(f, "latin1", f.latin1, d, n, key, room, what);
            check_bounded<uint16_t>(f, "ucs2", f.ucs2, d, n, key, room, what);
            check_bounded<uint32_t>(f, "ucs4", f.ucs4, d, n, key, room, what);
        }
        return;
    }
    if (r != 0 || m.reason != TAV_UTF8_VALID || m.length != want.chars.size() || m.max_char != want.max_char) {
        fail(__FILE__, __LINE__, "measure", "%s %s%s: got %d reason %d length %zu max 0x%x, expected length %zu "
             "max 0x%x; input %zu bytes %s", f.name, what, key ? " masked" : "", r, m.reason, m.length, m.max_char,
             want.chars.size(), want.max_char, n, hex(d, n).c_str());
        return;
    }
    if (want.max_char <= 0xFF) check_transcoder<uint8_t>(f, "latin1", f.latin1, d, n, key, want, what);
    if (want.max_char <= 0xFFFF) check_transcoder<uint16_t>(f, "ucs2", f.ucs2, d, n, key, want, what);
    check_transcoder<uint32_t>(f, "ucs4", f.ucs4, d, n, key, want, what);
    // Text too wide for a transcoder still leaves it within its room.
    if (want.max_char > 0xFF) check_bounded<uint8_t>(f, "latin1", f.latin1, d, n, key, want.chars.size(), what);
    if (want.max_char > 0xFFFF) check_bounded<uint16_t>(f, "ucs2", f.ucs2, d, n, key, want.chars.size(), what);
}

void check_all(const uint8_t *d, size_t n, const char *what) {
    const Decoded want = reference_decode(d, n);
    for (const Family &f : families()) check(f, d, n, nullptr, want, what);
}

// ------------------------------------------------------------------ short inputs

// CPython's documented answers, and the ones the fail-fast design is about.
void test_documented_cases() {
    struct Case {
        std::string bytes;
        int reason;
        size_t start, end;
    };
    const std::string a70(70, 'a');
    const Case cases[] = {
        {"\x80", TAV_UTF8_INVALID_START, 0, 1},
        {"a\xC0\x80", TAV_UTF8_INVALID_START, 1, 2},
        {"\xF5\x80\x80\x80", TAV_UTF8_INVALID_START, 0, 1},
        {"\xE0\x80\x80", TAV_UTF8_INVALID_CONTINUATION, 0, 1},     // overlong
        {"\xED\xA0\x80", TAV_UTF8_INVALID_CONTINUATION, 0, 1},     // surrogate
        {"\xF4\x90\x80\x80", TAV_UTF8_INVALID_CONTINUATION, 0, 1}, // above U+10FFFF
        {"\xF0\x9F\x98\x41", TAV_UTF8_INVALID_CONTINUATION, 0, 3},
        {"\xE2\x82", TAV_UTF8_UNEXPECTED_END, 0, 2},
        {"\xF0\x9F\x98", TAV_UTF8_UNEXPECTED_END, 0, 3},
        {a70 + "\xC3", TAV_UTF8_UNEXPECTED_END, 70, 71},
        {a70 + "\xC3\xA9\xE2\x82\xAC\xC3\x28" + a70, TAV_UTF8_INVALID_CONTINUATION, 75, 76},
        {"", TAV_UTF8_VALID, 0, 0},
        {a70 + "\xC3\xA9" + a70, TAV_UTF8_VALID, 0, 0},
    };
    for (const Case &c : cases) {
        const auto *d = reinterpret_cast<const uint8_t *>(c.bytes.data());
        const Decoded want = reference_decode(d, c.bytes.size());
        // The reference itself, against the values CPython gives.
        EXPECT_TRUE(want.reason == c.reason && want.start == c.start && want.end == c.end, "reference on %s",
                    hex(d, c.bytes.size()).c_str());
        check_all(d, c.bytes.size(), "documented case");
    }
}

// Every input of 1 and 2 bytes; 3 and 4 bytes as every lead (80-FF) x
// every second byte x later bytes at the edges of each range.
void test_structured_short() {
    static const uint8_t later[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF4, 0xFF};
    uint8_t d[4];
    for (unsigned a = 0; a < 256; ++a) {
        d[0] = static_cast<uint8_t>(a);
        check_all(d, 1, "1 byte");
        for (unsigned b = 0; b < 256; ++b) {
            d[1] = static_cast<uint8_t>(b);
            check_all(d, 2, "2 bytes");
            if (a < 0x80) continue;
            for (uint8_t c : later) {
                d[2] = c;
                check_all(d, 3, "3 bytes");
                if (a < 0xE0 || quick()) continue;
                for (uint8_t e : {uint8_t{0x41}, uint8_t{0x80}, uint8_t{0xBF}, uint8_t{0xC2}}) {
                    d[3] = e;
                    check_all(d, 4, "4 bytes");
                }
            }
        }
    }
}

// ------------------------------------------------------------------ block sweeps

enum Content { kAscii, kLatin1, kTwo, kThree, kFour, kMixed, kContents };
const char *const kContentNames[] = {"ASCII", "Latin-1", "2-byte", "3-byte", "4-byte", "mixed"};

// One character of the content's kind (mixed: any, ASCII runs too).
void push_content(Content c, Rng &rng, std::vector<uint8_t> &out) {
    auto cont = [&] { return static_cast<uint8_t>(0x80 + rng.below(0x40)); };
    switch (c) {
    case kAscii: out.push_back(static_cast<uint8_t>(rng.below(0x80))); break;
    case kLatin1:
        if (rng.below(3) == 0) {
            out.push_back(static_cast<uint8_t>(0x20 + rng.below(0x5F)));
        } else {
            out.push_back(static_cast<uint8_t>(0xC2 + rng.below(2)));
            out.push_back(cont());
        }
        break;
    case kTwo: out.push_back(static_cast<uint8_t>(0xC4 + rng.below(0x1C))), out.push_back(cont()); break;
    case kThree: {
        // E0 A0-BF, E1-EC, ED 80-9F, EE-EF: the whole Basic Multilingual Plane but surrogates.
        const unsigned lead = 0xE0 + rng.below(16);
        out.push_back(static_cast<uint8_t>(lead));
        out.push_back(lead == 0xE0 ? static_cast<uint8_t>(0xA0 + rng.below(0x20))
                      : lead == 0xED ? static_cast<uint8_t>(0x80 + rng.below(0x20)) : cont());
        out.push_back(cont());
        break;
    }
    case kFour: {
        const unsigned lead = 0xF0 + rng.below(5);
        out.push_back(static_cast<uint8_t>(lead));
        out.push_back(lead == 0xF0 ? static_cast<uint8_t>(0x90 + rng.below(0x30))
                      : lead == 0xF4 ? static_cast<uint8_t>(0x80 + rng.below(0x10)) : cont());
        out.push_back(cont()), out.push_back(cont());
        break;
    }
    default: push_char(rng, out); break;
    }
}

// n bytes of the content, whole characters, ASCII where the last one does not fit.
std::vector<uint8_t> content_text(Content c, size_t n, Rng &rng) {
    std::vector<uint8_t> out;
    while (out.size() < n) {
        const size_t before = out.size();
        push_content(c, rng, out);
        if (out.size() > n) {
            out.resize(before);
            while (out.size() < n) out.push_back('a');
        }
    }
    return out;
}

// Writes a fault of one or two bytes at p (within n): bytes that start no
// character, a lead without its continuation, and each kind of pair that
// is ill formed only as a pair.
void put_fault(uint8_t *d, size_t n, size_t p, unsigned f) {
    static const uint8_t faults[][2] = {{0x80}, {0xC1}, {0xFF}, {0x41}, {0xE2}, {0xF0}, {0xE0, 0x80},
                                        {0xED, 0xA0}, {0xF0, 0x8F}, {0xF4, 0x90}, {0xC3, 0x41}, {0xC2, 0xC2}};
    static const size_t fault_len[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2};
    f %= 12;
    for (size_t k = 0; k < fault_len[f] && p + k < n; ++k) d[p + k] = faults[f][k];
}

// Residues mod 64 that a sweep visits: all, or every k-th one in the
// sanitizer and memcheck runs (TAV_NATIVE_STRIDE=k).
unsigned residue_stride() {
    const char *k = std::getenv("TAV_NATIVE_STRIDE");
    const unsigned v = k == nullptr ? 1 : static_cast<unsigned>(std::atoi(k));
    return quick() ? 9 : v == 0 ? 1 : v;
}

// Every length 0-300 at every address residue, for each content: the text
// as it is, then with a fault at every position (three fault kinds per
// position, at a residue that moves with it). The vector steps start at the
// input's first byte, so every position of every block and every block
// edge is among them. A few longer lengths reach the validator's loop over
// long ASCII runs (five groups of blocks and more), with one fault kind
// per position.
void test_lengths_and_faults() {
    Rng rng(0xDEC0DE01);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= (quick() ? 80 : 300); ++n) lengths.push_back(n);
    if (!quick()) lengths.insert(lengths.end(), {641, 700, 1100});
    const unsigned stride = residue_stride();
    for (int c = 0; c < kContents; ++c) {
        for (size_t n : lengths) {
            const std::vector<uint8_t> text = content_text(static_cast<Content>(c), n, rng);
            const Decoded want = reference_decode(text.data(), n);
            EXPECT_EQ(want.reason, TAV_UTF8_VALID, "%s text of %zu bytes", kContentNames[c], n);
            for (unsigned residue = 0; residue < 64; residue += stride) {
                Piece piece(text.data(), n, residue, 64);
                for (const Family &f : families()) check(f, piece.data(), n, nullptr, want, kContentNames[c]);
                EXPECT_TRUE(piece.slack_intact(), "wrote before the input");
            }
            for (size_t p = 0; p < n; ++p) {
                for (unsigned k = 0; k < (n <= 300 ? 3u : 1u); ++k) {
                    const unsigned residue = static_cast<unsigned>(p * 3 + k + n) % 64;
                    std::vector<uint8_t> bad = text;
                    put_fault(bad.data(), n, p, static_cast<unsigned>(p + 5 * k + n));
                    Piece piece(bad.data(), n, residue, 64);
                    const Decoded w = reference_decode(piece.data(), n);
                    for (const Family &f : families()) check(f, piece.data(), n, nullptr, w, kContentNames[c]);
                }
            }
        }
    }
}

// ------------------------------------------------------------------ masked input

// Masked input equals the unmasked text through every routine, with texts
// and faults placed across the masked driver's chunk edges (every 8 KiB of
// input, moved back to a character boundary).
void test_masked() {
    Rng rng(0xDEC0DE02);
    const size_t chunk = 8192;
    std::vector<size_t> lengths = {0, 1, 3, 4, 5, 63, 64, 65, 1000};
    for (size_t e = chunk - 5; e <= chunk + 5; ++e) lengths.push_back(e);
    if (!quick()) lengths.insert(lengths.end(), {2 * chunk - 2, 2 * chunk + 1, 3 * chunk + 7});
    for (int c = 0; c < kContents; ++c) {
        for (size_t n : lengths) {
            const std::vector<uint8_t> text = content_text(static_cast<Content>(c), n, rng);
            std::vector<size_t> faults = {n};  // n: none
            for (size_t p = chunk - 6; p <= chunk + 2 && p < n; ++p) faults.push_back(p);
            if (n > 0) faults.push_back(n - 1);
            for (size_t p : faults) {
                std::vector<uint8_t> plain = text;
                if (p < n) put_fault(plain.data(), n, p, static_cast<unsigned>(rng.below(12)));
                const Decoded want = reference_decode(plain.data(), n);
                const std::vector<uint8_t> m = masked(plain.data(), n);
                Piece piece(m.data(), n, static_cast<unsigned>(p % 64), 64);
                for (const Family &f : families()) check(f, piece.data(), n, kKey, want, kContentNames[c]);
                EXPECT_TRUE(std::equal(m.begin(), m.end(), piece.data()), "the masked input was changed");
            }
        }
    }
    // Input that ends inside a character right at a chunk's end, and a
    // character cut by the edge whose next byte is a new lead.
    for (size_t at = chunk - 4; at <= chunk + 1; ++at) {
        for (const std::string tail : {"\xE2\x82", "\xF0\x9F\x98", "\xE2\x82\xE2\x82\xAC", "\xF0\x9F\xC3\xA9"}) {
            std::vector<uint8_t> plain(at, 'a');
            plain.insert(plain.end(), tail.begin(), tail.end());
            plain.resize(std::max(plain.size(), chunk + 8), 'b');
            std::vector<uint8_t> cut(plain.begin(), plain.begin() + static_cast<long>(at + tail.size()));
            for (std::vector<uint8_t> *t : {&plain, &cut}) {
                const Decoded want = reference_decode(t->data(), t->size());
                const std::vector<uint8_t> m = masked(t->data(), t->size());
                for (const Family &f : families()) check(f, m.data(), m.size(), kKey, want, "chunk edge");
            }
        }
    }
}

// ------------------------------------------------------------------ corpus

// Each text whole, masked, cut at random places, and with a byte changed.
void test_corpus() {
    const auto texts = corpus_texts();
    if (texts.empty()) {
        std::printf("skipped corpus texts: TAV_NATIVE_CORPUS names no corpus with texts\n");
        return;
    }
    Rng rng(0xDEC0DE03);
    static const uint8_t alphabet[] = {0x80, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5};
    for (const auto &[name, text] : texts) {
        const size_t n = text.size();
        const Decoded want = reference_decode(text.data(), n);
        EXPECT_EQ(want.reason, TAV_UTF8_VALID, "%s is not UTF-8", name.c_str());
        for (const Family &f : families()) {
            check(f, text.data(), n, nullptr, want, name.c_str());
            const std::vector<uint8_t> m = masked(text.data(), n);
            check(f, m.data(), n, kKey, want, name.c_str());
        }
        const int trials = quick() ? 2 : 12;
        for (int t = 0; t < trials && n > 0; ++t) {
            std::vector<uint8_t> piece(text.begin() + static_cast<long>(rng.next() % n), text.end());
            piece.resize(rng.next() % (piece.size() + 1));
            if (t % 2 == 1 && !piece.empty()) piece[rng.next() % piece.size()] = alphabet[rng.below(sizeof alphabet)];
            check_all(piece.data(), piece.size(), name.c_str());
        }
    }
}

// ------------------------------------------------------------------ guard pages

// Input that ends at an inaccessible page or starts right after one, and
// output that ends at one, exactly as long as the text's units: no routine
// touches a byte outside either. Each family in a child, so a fault fails
// the check instead of ending the program.
void test_guard_pages() {
    for (const Family &f : families()) {
        in_child(f.name, [&] {
            GuardedPage in, out;
            Rng rng(0xDEC0DE04);
            std::vector<size_t> lengths;
            for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
            for (size_t n : {in.page() - 65, in.page() - 1, in.page()}) lengths.push_back(n);
            for (size_t n : lengths) {
                for (int c = 0; c < kContents; ++c) {
                    std::vector<uint8_t> text = content_text(static_cast<Content>(c), n, rng);
                    for (int fault = 0; fault < 2; ++fault) {
                        if (fault == 1 && n != 0) put_fault(text.data(), n, n - 1 - rng.below(3) % n, rng.below(12));
                        const Decoded want = reference_decode(text.data(), n);
                        for (int where = 0; where < 2; ++where) {
                            uint8_t *d = where == 0 ? in.at_end(n) : in.at_start();
                            if (n != 0) std::memcpy(d, text.data(), n);
                            tav_utf8_measure m;
                            const int r = f.measure(d, n, nullptr, &m);
                            EXPECT_EQ(r, want.reason == TAV_UTF8_VALID ? 0 : -1, "%s measure n %zu", f.name, n);
                            // The output's last unit against the upper guard.
                            const size_t units = want.chars.size();
                            const size_t cap = want.reason == TAV_UTF8_VALID ? units : n / 2;
                            if (cap * 4 > out.page()) continue;
                            f.latin1(d, n, nullptr, out.at_end(cap), cap);
                            f.ucs2(d, n, nullptr, reinterpret_cast<uint16_t *>(out.at_end(2 * cap)), cap);
                            const size_t got = f.ucs4(d, n, nullptr, reinterpret_cast<uint32_t *>(out.at_end(4 * cap)), cap);
                            if (want.reason == TAV_UTF8_VALID) {
                                EXPECT_EQ(got, units, "%s ucs4 n %zu", f.name, n);
                                EXPECT_TRUE(std::equal(want.chars.begin(), want.chars.end(),
                                                       reinterpret_cast<uint32_t *>(out.at_end(4 * cap))),
                                            "%s ucs4 n %zu at the page end", f.name, n);
                            }
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
    for (const Family &f : families()) std::printf("decoder family %s\n", f.name);
    timed("documented cases", test_documented_cases);
    timed("structured short inputs", test_structured_short);
    timed("lengths and faults", test_lengths_and_faults);
    timed("masked input", test_masked);
    timed("corpus texts", test_corpus);
    if (!TAV_UNDER_VALGRIND()) timed("guard pages", test_guard_pages);  // memcheck checks every byte itself
    return summary("test_decoders");
}
