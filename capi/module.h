// SPDX-License-Identifier: MIT
// _tav_native, the module and its state: the thresholds and routine names
// that the module reports, the part of the state its objects share, and the
// per-module state. Part of the one unit that _tav_native.cpp builds.
#ifndef TAV_CAPI_MODULE_H
#define TAV_CAPI_MODULE_H

#include <atomic>

namespace {

// --- thresholds, measured with `python -m tav.bench.api` --------------------

// Without a vector validator, a chunk goes to the SSE2 block validator when at
// least this many of its bytes lie past its first 16-byte boundary (it then
// holds a whole aligned block), otherwise to the unrolled routine through the
// dispatcher. From `python -m tav.bench.api --only thresholds` (ns per
// validate() call, 3.11, unrolled / block validator): on bytes, which start at
// a boundary, 15 B ASCII 24.7 / 28.2, 16 B 25.3 / 20.7, Cyrillic 30.8 / 25.3,
// 64 B 44.2 / 23.8 and 73.1 / 41.0, 1 KiB 292.9 / 63.7 and 774.3 / 379.8; on a
// view 7 bytes past a boundary, with no whole block, 24 B ASCII 33.4 / 44.9,
// and with one, 32 B 38.8 / 37.7, 64 B 49.6 / 39.9. Without an ABI call to
// pay, the block validator's only extra is the record saved for a replay.
constexpr Py_ssize_t BLOCK_VALIDATOR_THRESHOLD = 16;

// Buffers of at least this many bytes are processed with the interpreter lock
// released. Releasing and retaking it costs about 24 ns uncontended (same
// benchmark, lock released on every call vs kept, 16 B to 4 KiB); at 64 KiB
// that is 1% of an ASCII validate() (2118 ns) and 2% of a mask (1055 ns),
// at 16 KiB still 4% and 13%.
constexpr Py_ssize_t RELEASE_GIL_THRESHOLD = 64 * 1024;

// --- routines, by the names _force_routines() takes ----------------------------

enum Utf8Routine : int {
    UTF8_AUTO = 0,
    UTF8_TABLE = 1,
    UTF8_UNROLLED = 2,
    UTF8_SSE2 = 3,
    UTF8_SSSE3 = 4,
    UTF8_AVX2 = 5,
    UTF8_AVX512 = 6,
    UTF8_NEON = 7,
};
constexpr const char *UTF8_NAMES[] = {"auto", "table", "unrolled", "sse2", "ssse3", "avx2", "avx512", "neon"};

// With a vector routine, chunks of at least this many bytes go to it, shorter
// ones to the unrolled routine. The vector routines have the table routine's
// exact effects, so nothing is replayed. Native timing of one chunk
// (tests/native/bench_vector_crossover.cpp, ASCII, Russian, Chinese and French
// text): the vector routine is ahead of the unrolled one from 4-8 B with
// AVX-512, 8-16 B with SSSE3 and 12-24 B with AVX2; at 16 B of Russian text
// 9.2 ns against 23.7 ns, at 4 KiB 192 ns against 4104 ns (AVX-512). NEON
// (aarch64) takes SSSE3's figure, the same kernel on 16-byte registers, until
// it is timed on an aarch64 processor. The module reports the figure in force
// as VECTOR_FROM.
constexpr size_t VECTOR_FROM[] = {0, 0, 0, 0, /* SSSE3 */ 16, /* AVX2 */ 24, /* AVX-512 */ 8, /* NEON */ 16};

enum MaskRoutine : int { MASK_BYTES = 1, MASK_SSE2 = 2, MASK_AVX2 = 3, MASK_AVX512 = 4, MASK_AUTO = 5, MASK_NEON = 6 };
constexpr const char *MASK_NAMES[] = {nullptr, "bytes", "sse2", "avx2", "avx512", "auto", "neon"};

// --- state ------------------------------------------------------------------------

// What the module's objects read at every call: the statuses they return and
// the routine switches. It lives in a capsule of its own that the module state
// and every object hold, so an object still used after its module was freed
// (by a finalizer late in a collection, or in shutdown) finds it intact.
// Written at exec; the switches change only through _force_routines(), which
// tests and benchmarks use.
struct Shared {
    PyObject *status[3];  // Utf8Status.INVALID, COMPLETE, INCOMPLETE: indexed by a native result + 1
    bool has_sse41;
    int vector_routine;  // the best vector validator the processor runs, or 0
    int auto_mask;       // what "auto" masks with below auto_large_from: the widest routine the processor runs
    int auto_large;      // and from auto_large_from bytes
    size_t auto_large_from;
    std::atomic<int> utf8_routine;
    std::atomic<int> mask_routine;
    std::atomic<Py_ssize_t> release_from;
    // The decoder's (decoder.h): the widest family the processor runs, set
    // at exec, and _force_decode()'s switch (0, "auto", by default).
    int decode_family;
    std::atomic<int> decode_routine;
};

// Per module object (one per interpreter). The types go at the module's
// clear; `shared` stays until its last holder goes.
struct ModuleState {
    PyTypeObject *validator_type;
    PyTypeObject *masker_type;
    PyObject *status_type;  // tav._status.Utf8Status
    PyObject *shared_owner;  // the capsule that owns `shared`
    Shared *shared;
};

extern PyModuleDef module_def;  // defined in module.cpp; named earlier by the type lookups

// Fills sh with the routines "auto" runs on a processor with `features`, every
// switch at "auto": for each module's shared state and for the C API's.
void choose_routines(Shared *sh, unsigned features);

inline ModuleState *module_state(PyObject *module) { return static_cast<ModuleState *>(PyModule_GetState(module)); }

// The shared state of an exact type of this module, with a new reference to
// its owner; nullptr (error set) once the collector has cleared the type.
Shared *shared_of_exact_type(PyTypeObject *type, PyObject **owner);

// The same for one of this module's types or a subclass of one.
Shared *shared_of_type(PyTypeObject *type, PyObject **owner);

// Heap types, one set per module object, so that interpreters share nothing.
// A static type would save 3-4 ns per created object (its reference count and
// the state lookup; XorMasker(key) 26.8 vs 22.7 ns, measured) and nothing per
// call, at the price of that isolation.
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long TYPE_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long TYPE_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
#endif

template <typename F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

#endif  // TAV_CAPI_MODULE_H
