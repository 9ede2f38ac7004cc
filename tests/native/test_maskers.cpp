// SPDX-License-Identifier: MIT
// Native tests of the masker library: the byte loop, the SSE2, AVX2 and
// AVX-512 routines (on x86-64, where the processor has them) or the NEON
// routines (on aarch64), the dispatcher (every implementation number it
// distinguishes) and the copy routines against the RFC 6455 model, over
// every length 0-300, offset in a 64-byte line and starting pointer 0-7 and
// just below 2**64; chunked streams that switch routines; empty pieces
// without a buffer; guard pages; life cycle and implementation numbers.
#include <climits>
#include <string>

#include "mask_model.h"

using namespace nt;

namespace {

// Stores the masker's number (set_impl where it keeps it, a direct write
// for 0 and 3), then masks.
size_t run(const Masker &m, void *h, uint8_t *d, size_t n) {
    if (m.sets_impl) {
        if (m.impl == 0 || m.impl >= 3) {
            mask_record(h)->impl = m.impl;
        } else if (tav_xormask_set_impl(h, m.impl) != m.impl) {
            std::abort();
        }
    }
    return m.fn(h, d, n);
}

std::vector<size_t> start_pointers() {
    std::vector<size_t> p;
    for (size_t k = 0; k < 8; ++k) p.push_back(k);
    for (size_t k = 1; k <= 8; ++k) p.push_back(SIZE_MAX - k + 1);  // the count wraps during the call
    return p;
}

// Masks one piece with one routine from a preset pointer and checks bytes,
// the canaries around the piece, the returned and stored pointer, key and impl.
void check_one(const Masker &m, const uint8_t key[4], size_t p0, const std::vector<uint8_t> &plain,
               const std::vector<uint8_t> &want, unsigned residue, size_t after) {
    const size_t n = plain.size();
    LinePiece piece(plain.data(), n, residue, after);
    void *h = tav_xormask_new(key);
    mask_record(h)->pointer = p0;
    const size_t ret = run(m, h, piece.data(), n);
    const int impl_after = mask_record(h)->impl;
    const bool bytes_ok = n == 0 || std::memcmp(piece.data(), want.data(), n) == 0;
    ++g_checks;
    if (!bytes_ok) {
        size_t i = 0;
        while (piece.data()[i] == want[i]) ++i;
        fail(__FILE__, __LINE__, "masked bytes", "%s: n %zu residue %u pointer %zu: first wrong byte %zu", m.name, n,
             residue, p0, i);
    }
    EXPECT_TRUE(piece.canaries_intact(), "%s: byte outside the piece written (n %zu residue %u)", m.name, n, residue);
    EXPECT_EQ(ret, p0 + n, "%s: returned pointer, n %zu residue %u pointer %zu", m.name, n, residue, p0);
    EXPECT_EQ(mask_record(h)->pointer, p0 + n, "%s: stored pointer", m.name);
    EXPECT_TRUE(std::memcmp(mask_record(h)->mask, key, 4) == 0, "%s: key changed", m.name);
    EXPECT_EQ(impl_after, m.sets_impl ? m.impl : 2, "%s: impl changed", m.name);
    tav_xormask_free(h);
}

// Copies one piece masked into another (or onto itself) and checks the
// destination, the untouched source, both pieces' canaries and the pointer.
void check_copy(const Copier &c, const uint8_t key[4], size_t p0, const std::vector<uint8_t> &plain,
                const std::vector<uint8_t> &want, unsigned src_residue, unsigned dst_residue, bool in_place,
                size_t after) {
    const size_t n = plain.size();
    const std::vector<uint8_t> junk(n, 0x3C);
    LinePiece src(plain.data(), n, src_residue, after);
    LinePiece dst(junk.data(), n, dst_residue, after);
    uint8_t *out = in_place ? src.data() : dst.data();
    void *h = tav_xormask_new(key);
    mask_record(h)->pointer = p0;
    const size_t ret = c.fn(h, src.data(), out, n);
    EXPECT_TRUE(n == 0 || std::memcmp(out, want.data(), n) == 0, "%s%s: n %zu src %u dst %u pointer %zu", c.name,
                in_place ? " in place" : "", n, src_residue, dst_residue, p0);
    if (!in_place)
        EXPECT_TRUE(n == 0 || std::memcmp(src.data(), plain.data(), n) == 0, "%s: source written, n %zu", c.name, n);
    EXPECT_TRUE(src.canaries_intact() && dst.canaries_intact(), "%s: byte outside the pieces written, n %zu src %u dst %u",
                c.name, n, src_residue, dst_residue);
    EXPECT_EQ(ret, p0 + n, "%s: returned pointer, n %zu pointer %zu", c.name, n, p0);
    EXPECT_EQ(mask_record(h)->pointer, p0 + n, "%s: stored pointer", c.name);
    EXPECT_TRUE(std::memcmp(mask_record(h)->mask, key, 4) == 0 && mask_record(h)->impl == 2, "%s: key or impl changed",
                c.name);
    tav_xormask_free(h);
}

void random_key(Rng &rng, uint8_t key[4]) {
    const unsigned kind = rng.below(8);
    for (int k = 0; k < 4; ++k) key[k] = kind == 0 ? 0 : kind == 1 ? 0xFF : rng.byte();
    if (kind == 2) key[rng.below(4)] = 0;
}

// ------------------------------------------------------------------ tests

void test_lifecycle_and_set_impl() {
    const uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
    void *h = tav_xormask_new(key);
    EXPECT_TRUE(h != nullptr, "new");
    EXPECT_TRUE(std::memcmp(mask_record(h)->mask, key, 4) == 0, "key copied");
    EXPECT_EQ(tav_xormask_pointer(h), 0, "fresh pointer");
    EXPECT_EQ(tav_xormask_get_impl(h), 2, "fresh impl");

    // RFC 6455 section 5.7: "Hello" with this key.
    uint8_t hello[] = {'H', 'e', 'l', 'l', 'o'};
    const uint8_t masked[] = {0x7F, 0x9F, 0x4D, 0x51, 0x58};
    EXPECT_EQ(tav_xormask_process(h, hello, 5), 5, "process result");
    EXPECT_TRUE(std::memcmp(hello, masked, 5) == 0, "RFC 6455 example");

    struct Step { int arg, ret; };
    const Step steps[] = {{0, 2}, {1, 1}, {3, 1}, {-1, -1}, {INT_MAX, -1}, {2, 2}, {7, 2}, {INT_MIN, INT_MIN}, {0, 2}, {-5, -5}};
    for (const Step &s : steps) {
        EXPECT_EQ(tav_xormask_set_impl(h, s.arg), s.ret, "set_impl(%d)", s.arg);
        EXPECT_EQ(tav_xormask_get_impl(h), s.ret, "get_impl after set_impl(%d)", s.arg);
        EXPECT_EQ(tav_xormask_pointer(h), 5, "set_impl(%d) touched the pointer", s.arg);
    }
    tav_xormask_reset(h);
    EXPECT_EQ(tav_xormask_pointer(h), 0, "reset pointer");
    EXPECT_EQ(tav_xormask_get_impl(h), -5, "reset keeps impl");
    EXPECT_TRUE(std::memcmp(mask_record(h)->mask, key, 4) == 0, "reset keeps key");
    tav_xormask_free(h);
    tav_xormask_free(nullptr);
}

// Every length 0-300 at every offset in a 64-byte line (the widest vector)
// from every start pointer; every other start ends the piece at the end of
// its allocation, the others before 64 canary bytes.
void test_sweep() {
    Rng rng(0x5EED1001);
    const size_t max_n = quick() ? 80 : 300;
    const std::vector<size_t> pointers = start_pointers();
    for (size_t n = 0; n <= max_n; ++n) {
        for (unsigned residue = 0; residue < 64; ++residue) {
            for (size_t k = 0; k < pointers.size(); ++k) {
                const size_t p0 = pointers[k];
                uint8_t key[4];
                random_key(rng, key);
                std::vector<uint8_t> plain(n);
                for (auto &b : plain) b = rng.byte();
                std::vector<uint8_t> want(plain);
                xor_model(key, p0, want.data(), n);
                for (const Masker &m : maskers()) check_one(m, key, p0, plain, want, residue, k % 2 ? 64 : 0);
            }
        }
    }
}

// The same for the copy routines, the source at a different offset each
// time (every pair of offsets mod 64 comes up as n runs), and in place.
void test_copy_sweep() {
    Rng rng(0x5EED1004);
    const size_t max_n = quick() ? 80 : 300;
    const std::vector<size_t> pointers = start_pointers();
    for (size_t n = 0; n <= max_n; ++n) {
        for (unsigned dst_residue = 0; dst_residue < 64; ++dst_residue) {
            const unsigned src_residue = (dst_residue * 37u + static_cast<unsigned>(n)) & 63u;
            for (size_t k = 0; k < pointers.size(); ++k) {
                const size_t p0 = pointers[k];
                uint8_t key[4];
                random_key(rng, key);
                std::vector<uint8_t> plain(n);
                for (auto &b : plain) b = rng.byte();
                std::vector<uint8_t> want(plain);
                xor_model(key, p0, want.data(), n);
                for (const Copier &c : copiers()) {
                    check_copy(c, key, p0, plain, want, src_residue, dst_residue, false, k % 2 ? 64 : 0);
                    check_copy(c, key, p0, plain, want, dst_residue, dst_residue, true, k % 2 ? 0 : 64);
                }
            }
        }
    }
}

void test_empty_without_buffer() {
    const uint8_t key[4] = {1, 2, 3, 4};
    for (size_t p0 : start_pointers()) {
        for (const Masker &m : maskers()) {
            void *h = tav_xormask_new(key);
            mask_record(h)->pointer = p0;
            EXPECT_EQ(run(m, h, nullptr, 0), p0, "%s length 0", m.name);
            EXPECT_EQ(mask_record(h)->pointer, p0, "%s length 0", m.name);
            tav_xormask_free(h);
        }
        for (const Copier &c : copiers()) {
            void *h = tav_xormask_new(key);
            mask_record(h)->pointer = p0;
            EXPECT_EQ(c.fn(h, nullptr, nullptr, 0), p0, "%s length 0", c.name);
            EXPECT_EQ(mask_record(h)->pointer, p0, "%s length 0", c.name);
            tav_xormask_free(h);
        }
    }
}

// A stream masked in random chunks, each by a random routine (in place or
// copying) from a fresh buffer at a random offset, equals the stream masked
// in one piece.
void test_chunked_streams() {
    Rng rng(0x5EED1002);
    const int streams = quick() ? 30 : 300;
    const std::vector<Masker> &ms = maskers();
    const std::vector<Copier> &cs = copiers();
    for (int t = 0; t < streams; ++t) {
        const size_t len = rng.below(5) == 0 ? rng.range(2000, 20000) : rng.range(0, 700);
        std::vector<uint8_t> plain(len);
        for (auto &b : plain) b = rng.byte();
        uint8_t key[4];
        random_key(rng, key);
        const size_t p0 = rng.below(3) == 0 ? SIZE_MAX - rng.below(64) : rng.below(64);
        std::vector<uint8_t> want(plain);
        xor_model(key, p0, want.data(), len);
        void *h = tav_xormask_new(key);
        mask_record(h)->pointer = p0;
        size_t pos = 0;
        while (pos < len) {
            const unsigned pick = rng.below(8);
            size_t n = pick < 4 ? rng.range(0, 20) : pick < 7 ? rng.range(16, 300) : rng.range(300, 5000);
            if (n > len - pos) n = len - pos;
            const unsigned which = rng.below(static_cast<unsigned>(ms.size() + cs.size()));
            LinePiece piece(plain.data() + pos, n, rng.below(64));
            size_t ret;
            const char *name;
            const uint8_t *out = piece.data();
            std::vector<uint8_t> copied(n + 1);
            if (which < ms.size()) {
                name = ms[which].name;
                ret = run(ms[which], h, piece.data(), n);
            } else {
                name = cs[which - ms.size()].name;
                ret = cs[which - ms.size()].fn(h, piece.data(), copied.data(), n);
                out = copied.data();
            }
            EXPECT_EQ(ret, p0 + pos + n, "%s stream %d at %zu", name, t, pos);
            EXPECT_TRUE(n == 0 || std::memcmp(out, want.data() + pos, n) == 0, "%s stream %d chunk at %zu n %zu", name,
                        t, pos, n);
            EXPECT_TRUE(piece.canaries_intact(), "%s stream %d: byte before the chunk written", name, t);
            pos += n;
        }
        tav_xormask_free(h);
    }
}

std::vector<size_t> guard_lengths(size_t page) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {page - 17, page - 1, page}) lengths.push_back(n);
    return lengths;
}

// Pieces flush against an inaccessible page above (ending at the page's
// end) and below (starting at the page's start, or up to 63 bytes into it).
void test_guard_pages() {
    for (const Masker &m : maskers()) {
        in_child(m.name, [&] {
            GuardedPage g;
            Rng rng(0x5EED1003);
            for (size_t n : guard_lengths(g.page())) {
                for (int where = 0; where < 65; ++where) {
                    if (where > 0 && where - 1 + n > g.page()) break;
                    uint8_t *d = where == 0 ? g.at_end(n) : g.at_start() + (where - 1);
                    std::vector<uint8_t> plain(n);
                    for (auto &b : plain) b = rng.byte();
                    if (n != 0) std::memcpy(d, plain.data(), n);
                    uint8_t key[4];
                    random_key(rng, key);
                    const size_t p0 = rng.below(8);
                    xor_model(key, p0, plain.data(), n);
                    void *h = tav_xormask_new(key);
                    mask_record(h)->pointer = p0;
                    EXPECT_EQ(run(m, h, d, n), p0 + n, "%s guard n %zu", m.name, n);
                    EXPECT_TRUE(n == 0 || std::memcmp(d, plain.data(), n) == 0, "%s guard n %zu at offset %td", m.name,
                                n, d - g.at_start());
                    tav_xormask_free(h);
                }
            }
        });
    }
}

// Source and destination each on its own page between guard pages, each
// at the page's end or near its start, in every pairing.
void test_copy_guard_pages() {
    for (const Copier &c : copiers()) {
        in_child(c.name, [&] {
            GuardedPage gs, gd;
            Rng rng(0x5EED1005);
            for (size_t n : guard_lengths(gs.page())) {
                for (int pairing = 0; pairing < 4; ++pairing) {
                    // A source at the very start of its page with the destination
                    // at any offset in a line (pairing 2) puts the bytes before the
                    // source's line start on the guard page.
                    const size_t room = gs.page() - n + 1;
                    const size_t rs = pairing == 2 ? 0 : rng.below(64) % room, rd = rng.below(64) % room;
                    const uint8_t *src = pairing & 1 ? gs.at_end(n) : gs.at_start() + rs;
                    uint8_t *dst = pairing & 2 ? gd.at_end(n) : gd.at_start() + rd;
                    std::vector<uint8_t> plain(n);
                    for (auto &b : plain) b = rng.byte();
                    if (n != 0) std::memcpy(const_cast<uint8_t *>(src), plain.data(), n);
                    uint8_t key[4];
                    random_key(rng, key);
                    const size_t p0 = rng.below(8);
                    std::vector<uint8_t> want(plain);
                    xor_model(key, p0, want.data(), n);
                    void *h = tav_xormask_new(key);
                    mask_record(h)->pointer = p0;
                    EXPECT_EQ(c.fn(h, src, dst, n), p0 + n, "%s guard n %zu", c.name, n);
                    EXPECT_TRUE(n == 0 || std::memcmp(dst, want.data(), n) == 0, "%s guard n %zu pairing %d", c.name, n,
                                pairing);
                    tav_xormask_free(h);
                }
            }
        });
    }
}

}  // namespace

int main() {
    print_skipped_maskers();
    test_lifecycle_and_set_impl();
    test_empty_without_buffer();
    test_sweep();
    test_copy_sweep();
    test_chunked_streams();
    if (!TAV_UNDER_VALGRIND()) {
        test_guard_pages();
        test_copy_guard_pages();
    }
    return summary("test_maskers");
}
