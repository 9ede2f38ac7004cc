// SPDX-License-Identifier: MIT
// _tav_native, decoding into str: decode_utf8() and the Utf8Decoder type,
// over the validator library's measure and transcoders. The module calls
// decoder_exec() at exec, after its own types are in place, and adds
// decoder_functions beside its own. Part of the one unit that
// _tav_native.cpp builds.
#ifndef TAV_CAPI_DECODER_H
#define TAV_CAPI_DECODER_H

#include <atomic>

#include "module.h"

namespace {

// The decoder's routine families, by the names _force_decode() takes, in
// order of width: a processor that runs one runs those before it.
#if defined(TAV_UTF8_AARCH64)
enum DecodeRoutine : int { DECODE_AUTO = 0, DECODE_SCALAR = 1, DECODE_NEON = 2 };
constexpr const char *DECODE_NAMES[] = {"auto", "scalar", "neon"};
#else
enum DecodeRoutine : int { DECODE_AUTO = 0, DECODE_SCALAR = 1, DECODE_SSSE3 = 2, DECODE_AVX2 = 3, DECODE_AVX512 = 4 };
constexpr const char *DECODE_NAMES[] = {"auto", "scalar", "ssse3", "avx2", "avx512"};
#endif

// An incremental decoder: the bytes of a character still open at the end of
// the last chunk stay in the object (at most 3), never a bytes object.
struct Decoder {
    PyObject_HEAD
    std::atomic<unsigned> flags;  // the guard word (guard.h)
    bool strict;                  // errors == "strict": the native path, failing fast
    uint8_t npending;
    uint8_t pending[3];
    PyObject *errors;        // an exact str, or nullptr for the default, "strict"
    const Shared *sh;        // owned through shared_owner
    PyObject *shared_owner;  // a strong reference, so sh outlives the module if need be
    PyObject *weakrefs;
};

constexpr const char DECODER[] = "Utf8Decoder";

inline Decoder *as_decoder(PyObject *op) { return reinterpret_cast<Decoder *>(op); }

// Module functions of this part, named as tav exports them.
extern PyMethodDef decoder_functions[];

// Adds this part's type, its private switch and constants to the module;
// -1 with an error set on failure.
int decoder_exec(PyObject *module, ModuleState *st);

}  // namespace

#endif  // TAV_CAPI_DECODER_H
