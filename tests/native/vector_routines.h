// SPDX-License-Identifier: MIT
// The vector validators as routines of the native tests and the fuzzer:
// exact (Kind::Scalar) like the table-driven routine, each with the
// processor features it needs and its register width. SSSE3, AVX2 and
// AVX-512 on x86-64; NEON, which needs nothing, on aarch64.
#ifndef TAV_VECTOR_ROUTINES_H
#define TAV_VECTOR_ROUTINES_H

#include "utf8_model.h"

namespace nt {

#if defined(__x86_64__)
inline const Routine kVectorRoutines[] = {
    {"ssse3", _tav_utf8vld_validate_ssse3, Kind::Scalar, false, 0, TAV_CPU_SSSE3},
    {"avx2", _tav_utf8vld_validate_avx2, Kind::Scalar, false, 0, TAV_CPU_AVX2},
    {"avx512", _tav_utf8vld_validate_avx512, Kind::Scalar, false, 0, TAV_CPU_AVX512F | TAV_CPU_AVX512BW},
};

// Register width of a vector routine: its blocks start at multiples of it
// from the first character boundary of a piece.
inline size_t vector_width(const Routine &r) {
    if (r.fn == _tav_utf8vld_validate_ssse3) return 16;
    if (r.fn == _tav_utf8vld_validate_avx2) return 32;
    return 64;
}
#elif defined(__aarch64__)
inline const Routine kVectorRoutines[] = {
    {"neon", _tav_utf8vld_validate_neon, Kind::Scalar, false, 0, 0},
};

inline size_t vector_width(const Routine &) { return 16; }
#endif

}  // namespace nt

#endif  // TAV_VECTOR_ROUTINES_H
