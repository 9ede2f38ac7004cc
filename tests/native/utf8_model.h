// SPDX-License-Identifier: MIT
// The validator routines as a table of callables, and the record each one
// must leave after a call, derived from the RFC 3629 oracle.
#ifndef TAV_UTF8_MODEL_H
#define TAV_UTF8_MODEL_H

#include <climits>

#include "native_support.h"
#include "tav_utf8check.h"

namespace nt {

using ValidateFn = int (*)(void *, const uint8_t *, size_t);

enum class Kind { Scalar, Block };

struct Routine {
    const char *name;
    ValidateFn fn;
    Kind kind;
    bool sets_impl;  // a dispatcher run: store `impl` in the record first
    int impl;
    unsigned needs = 0;  // TAV_CPU_* bits the processor must have
};

// The dispatcher for every implementation number it distinguishes (2: the
// unrolled routine, anything else: the table), numbers stored by set_impl
// and numbers that only a direct write can put in the record.
inline const Routine kScalarRoutines[] = {
    {"table", _tav_utf8vld_validate_table, Kind::Scalar, false, 0},
    {"unrolled", _tav_utf8vld_validate_unrolled, Kind::Scalar, false, 0},
    {"dispatch impl 1", tav_utf8vld_validate, Kind::Scalar, true, 1},
    {"dispatch impl 2", tav_utf8vld_validate, Kind::Scalar, true, 2},
    {"dispatch impl 3", tav_utf8vld_validate, Kind::Scalar, true, 3},
    {"dispatch impl 4", tav_utf8vld_validate, Kind::Scalar, true, 4},
    {"dispatch impl -1", tav_utf8vld_validate, Kind::Scalar, true, -1},
    {"dispatch impl 0 in record", tav_utf8vld_validate, Kind::Scalar, true, 0},
    {"dispatch impl 5 in record", tav_utf8vld_validate, Kind::Scalar, true, 5},
    {"dispatch impl INT_MIN", tav_utf8vld_validate, Kind::Scalar, true, INT_MIN},
};

#ifdef TAV_WITH_BLOCK_ROUTINES
#if !defined(__x86_64__)
#error "the block validators exist only on x86-64"
#endif
inline const Routine kBlockRoutines[] = {
    {"sse2", _tav_utf8vld_validate_sse2, Kind::Block, false, 0},
    {"sse4", _tav_utf8vld_validate_sse4, Kind::Block, false, 0, TAV_CPU_SSE41},
};
#endif

// The routines of `from` that this processor can run; prints the others as
// skipped, with the reason.
template <size_t N>
std::vector<Routine> runnable(const Routine (&from)[N]) {
    const unsigned have = tav_cpu_features();
    std::vector<Routine> out;
    for (const Routine &r : from) {
        if ((r.needs & have) == r.needs) {
            out.push_back(r);
        } else {
            std::printf("skipped %s: the processor lacks a feature it needs (needs 0x%x, has 0x%x)\n", r.name,
                        r.needs, have);
        }
    }
    return out;
}

inline utf8vld_state *rec(void *h) { return static_cast<utf8vld_state *>(h); }

struct Rec {
    int ret;
    size_t cur;
    size_t total;
    int state;
};

inline Rec snapshot(void *h, int ret) { return {ret, rec(h)->current_index, rec(h)->total_index, rec(h)->state}; }

// Runs one routine on the record. Dispatcher runs first store their
// number: through set_impl where it keeps the number, by a direct write
// for 0 and 5, which set_impl never leaves in the record.
inline Rec run(const Routine &r, void *h, const uint8_t *d, size_t n, bool *impl_kept = nullptr) {
    if (r.sets_impl) {
        if (r.impl == 0 || r.impl >= 5) {
            rec(h)->impl = r.impl;
        } else if (tav_utf8vld_set_impl(h, r.impl) != r.impl) {
            std::fprintf(stderr, "set_impl(%d) did not keep the number\n", r.impl);
            std::abort();
        }
    }
    const int before = rec(h)->impl;
    const int ret = r.fn(h, d, n);
    if (impl_kept != nullptr) *impl_kept = rec(h)->impl == before;
    return snapshot(h, ret);
}

// Bytes consumed by a block routine whose piece starts at an address with
// the given residue mod 16, when the byte at offset i of n is rejected:
// one byte in the head or tail, the whole 16-byte block otherwise.
inline size_t units_through(size_t i, size_t n, unsigned residue) {
    const size_t head = residue == 0 ? 0 : (n < 16u - residue ? n : 16u - residue);
    if (i < head) return i + 1;
    const size_t blocks_end = head + (n - head) / 16 * 16;
    if (i < blocks_end) return head + (i - head) / 16 * 16 + 16;
    return i + 1;
}

// The record a routine must leave after validating stream[pos, pos + n),
// given what the record held before (the stream up to pos went through
// the same record).
inline Rec expected(Kind kind, const Rec &before, const uint8_t *stream, size_t pos, size_t n, unsigned residue) {
    if (before.state == UTF8_REJECT) {
        if (kind == Kind::Block) return {-1, 0, before.total, UTF8_REJECT};
        return {1, n, before.total + n, UTF8_REJECT};
    }
    const ScanResult r = rfc3629_scan(stream, pos + n);
    if (r.kind == Scan::Invalid) {
        const size_t i = r.offset - pos;  // the stream up to pos was not rejected
        const size_t cur = kind == Kind::Block ? units_through(i, n, residue) : i;
        return {-1, cur, before.total + cur, UTF8_REJECT};
    }
    return {r.state == 0 ? 0 : 1, n, before.total + n, r.state};
}

inline bool same(const Rec &a, const Rec &b) {
    return a.ret == b.ret && a.cur == b.cur && a.total == b.total && a.state == b.state;
}

}  // namespace nt

#endif  // TAV_UTF8_MODEL_H
