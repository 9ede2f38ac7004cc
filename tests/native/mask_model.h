// SPDX-License-Identifier: MIT
// The masking routines as a table of callables, shared by the native tests
// and the fuzzer.
#ifndef TAV_MASK_MODEL_H
#define TAV_MASK_MODEL_H

#include <climits>

#include "native_support.h"
#include "tav_bytemask.h"

namespace nt {

using ProcessFn = size_t (*)(void *, uint8_t *, size_t);

struct Masker {
    const char *name;
    ProcessFn fn;
    bool sets_impl;  // a dispatcher run: store `impl` in the record first
    int impl;
};

// Both routines called directly (the SSE2 one exists on x86-64 only), and
// the dispatcher for numbers set_impl keeps and for numbers only a direct
// write can put in the record (0, 3).
inline const Masker kMaskers[] = {
    {"simple", _tav_xormask_process_simple, false, 0},
#if defined(__x86_64__)
    {"sse2", _tav_xormask_process_sse2, false, 0},
#endif
    {"dispatch impl 2", tav_xormask_process, true, 2},
    {"dispatch impl 1", tav_xormask_process, true, 1},
    {"dispatch impl -1", tav_xormask_process, true, -1},
    {"dispatch impl INT_MIN", tav_xormask_process, true, INT_MIN},
    {"dispatch impl 0 in record", tav_xormask_process, true, 0},
    {"dispatch impl 3 in record", tav_xormask_process, true, 3},
};

inline xormask_state *mask_record(void *h) { return static_cast<xormask_state *>(h); }

// Names the routines this build leaves out, with the reason.
inline void print_skipped_maskers() {
#if !defined(__x86_64__)
    std::printf("skipped sse2: _tav_xormask_process_sse2 exists on x86-64 only\n");
#endif
}

}  // namespace nt

#endif  // TAV_MASK_MODEL_H
