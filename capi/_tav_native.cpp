// SPDX-License-Identifier: MIT
// _tav_native: the safe API (Utf8Validator, XorMasker, the one-shot functions)
// as a CPython extension, made for the cost of one call per WebSocket frame.
//
// Layout. The library sources compile into this module unchanged, with their
// symbol macros predefined by tav_libs.h as extern "C" with hidden
// visibility: so each routine exists once in the tree, this module runs the
// lib layer's own automaton, states and offsets, and exports nothing but its
// init function. The validator's source is included into this unit, so its
// routines inline into the calls (2-4 ns per validate() at 125 B-1 KiB, as
// much as -flto gives); the masker's is compiled beside it (bytemask_lib.cpp),
// since both sources define an internal record(void *) that cannot share a
// unit, and its SSE routine, with its own target attribute, cannot be inlined
// into baseline code anyway.
//
// Records. Each object embeds the library's record type (from its public
// header) and initialises it as the library's new does, so creating an object
// allocates once, the Python object (XorMasker(key) 27 ns against 32-50 ns
// with the library's new and free), and closing one frees nothing: the record
// goes with the object's memory, which no running call can lose, since every
// call holds a reference to its object.
//
// Buffers: bytes are read in place; anything else goes through
// PyObject_GetBuffer with PyBUF_SIMPLE (read) or PyBUF_WRITABLE (write), which
// refuse non-contiguous and read-only buffers, and is released on every exit.
// The export pins the memory while the interpreter lock is released.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>  // PyMemberDef, T_PYSSIZET, READONLY

#include <atomic>   // per-object guard word, routine switches
#include <cstdlib>  // getenv, strtoul
#include <cstdint>  // uintptr_t
#include <cstring>  // memcpy
#include <new>      // placement new of the module state's atomics

#include "tav_libs.h"

// The validator library, in this unit so that its routines inline into the calls.
#include "_tav_utf8check.cpp"
#include "utf8_avx2.cpp"
#include "utf8_avx512.cpp"
#include "utf8_block.cpp"
#include "utf8_ssse3.cpp"

namespace {

// --- thresholds, measured with `python -m tav.bench.api` --------------------

// A chunk goes to the SSE2 block validator when at least this many of its
// bytes lie past its first 16-byte boundary (it then holds a whole aligned
// block), otherwise to the unrolled routine through the dispatcher. From
// `python -m tav.bench.api --only thresholds` (ns per validate() call, 3.11,
// unrolled / block validator): on bytes, which start at a boundary, 15 B
// ASCII 24.7 / 28.2, 16 B 25.3 / 20.7, Cyrillic 30.8 / 25.3, 64 B 44.2 / 23.8
// and 73.1 / 41.0, 1 KiB 292.9 / 63.7 and 774.3 / 379.8; on a view 7 bytes
// past a boundary, with no whole block, 24 B ASCII 33.4 / 44.9, and with
// one, 32 B 38.8 / 37.7, 64 B 49.6 / 39.9. Without an ABI call to pay, the
// block validator's only extra is the record saved for a replay.
constexpr Py_ssize_t BLOCK_VALIDATOR_THRESHOLD = 16;

// Buffers of at least this many bytes are processed with the interpreter lock
// released. Releasing and retaking it costs about 24 ns uncontended (same
// benchmark, lock released on every call vs kept, 16 B to 4 KiB); at 64 KiB
// that is 1% of an ASCII validate() (2118 ns) and 2% of a mask (1055 ns),
// at 16 KiB still 4% and 13%.
constexpr Py_ssize_t RELEASE_GIL_THRESHOLD = 64 * 1024;

// --- routine choice -----------------------------------------------------------

enum Utf8Routine : int {
    UTF8_AUTO = 0,
    UTF8_TABLE = 1,
    UTF8_UNROLLED = 2,
    UTF8_SSE2 = 3,
    UTF8_SSSE3 = 4,
    UTF8_AVX2 = 5,
    UTF8_AVX512 = 6,
};

// With a vector routine, chunks of at least this many bytes go to it, shorter
// ones to the unrolled routine. The vector routines have the table routine's
// exact effects, so nothing is replayed. Native timing of one chunk
// (tests/native/bench_vector_crossover.cpp, ASCII, Russian, Chinese and French
// text): the vector routine is ahead of the unrolled one from 4-8 B with
// AVX-512, 8-16 B with SSSE3 and 12-24 B with AVX2; at 16 B of Russian text
// 9.2 ns against 23.7 ns, at 4 KiB 192 ns against 4104 ns (AVX-512).
constexpr size_t VECTOR_FROM[] = {0, 0, 0, 0, /* SSSE3 */ 16, /* AVX2 */ 24, /* AVX-512 */ 8};
enum MaskRoutine : int { MASK_BYTES = 1, MASK_SSE2 = 2, MASK_AVX2 = 3, MASK_AVX512 = 4, MASK_AUTO = 5 };

// With AVX-512 (or else AVX2), "auto" masks buffers below WIDE_MASK_BELOW or
// from WIDE_MASK_FROM with it and the rest with SSE2. Native loop, GB/s, SSE2
// / AVX2 / AVX-512 in place: 4 KiB 79 / 139 / 186, 16 KiB 91 / 155 / 199,
// 48 KiB still 2.0x for AVX-512, but from 56 KiB to 8 MiB every width, memset
// included, runs at L2's 58-66 GB/s and AVX-512 is 2-8% behind SSE2 at
// 256 KiB-1 MiB; from 16 MiB it is 1.2-1.4x again (more misses in flight).
// Frames of random length 1-128 B: 8.5 / 6.1 / 3.3 ns.
constexpr size_t WIDE_MASK_BELOW = 48 * 1024;
constexpr size_t WIDE_MASK_FROM = 16 * 1024 * 1024;

// Per module object (one per interpreter): written at exec; the switches change
// only through _force_routines(), which tests and benchmarks use.
struct ModuleState {
    PyTypeObject *validator_type;
    PyTypeObject *masker_type;
    PyObject *status_type;  // tav._status.Utf8Status
    PyObject *status[3];    // its INVALID, COMPLETE, INCOMPLETE: indexed by a native result + 1
    bool has_sse41;
    int vector_routine;  // the best vector validator the processor runs, or 0
    int wide_mask;       // MASK_AVX512 or MASK_AVX2 where the processor runs one, else 0
    std::atomic<int> utf8_routine;
    std::atomic<int> mask_routine;
    std::atomic<Py_ssize_t> release_from;
};

extern PyModuleDef module_def;  // defined at the end; named earlier by the type lookups

template <typename F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline ModuleState *module_state(PyObject *module) { return static_cast<ModuleState *>(PyModule_GetState(module)); }

// The processor's features as the validator library reports them, less any
// that TAV_CPU_FEATURES_MASK takes away (tests force the fallbacks with it;
// it can only remove features, never add one).
unsigned cpu_features() {
    unsigned features = tav_cpu_features();
    if (const char *mask = std::getenv("TAV_CPU_FEATURES_MASK"); mask != nullptr && *mask != '\0') {
        features &= static_cast<unsigned>(std::strtoul(mask, nullptr, 0));
    }
    return features;
}

bool cpu_has_sse41() { return (cpu_features() & TAV_CPU_SSE41) != 0; }

int default_mask_routine(const ModuleState *st) { return st->has_sse41 || st->wide_mask ? MASK_AUTO : MASK_BYTES; }

// The widest masking routine this processor runs, or 0.
int best_wide_mask() {
#if defined(__x86_64__)
    const unsigned f = cpu_features();
    if ((f & TAV_CPU_AVX512F) && (f & TAV_CPU_AVX512BW)) return MASK_AVX512;
    if (f & TAV_CPU_AVX2) return MASK_AVX2;
#endif
    return 0;
}

// The widest vector validator this processor runs, or 0.
int best_vector_routine() {
#if defined(__x86_64__)
    const unsigned f = cpu_features();
    if ((f & TAV_CPU_AVX512F) && (f & TAV_CPU_AVX512BW)) return UTF8_AVX512;
    if (f & TAV_CPU_AVX2) return UTF8_AVX2;
    if (f & TAV_CPU_SSSE3) return UTF8_SSSE3;
#endif
    return 0;
}

#if defined(__x86_64__)
inline int run_vector(int routine, utf8vld_state *rec, const uint8_t *p, size_t n) {
    switch (routine) {
        case UTF8_AVX512: return _tav_utf8vld_validate_avx512(rec, p, n);
        case UTF8_AVX2: return _tav_utf8vld_validate_avx2(rec, p, n);
        default: return _tav_utf8vld_validate_ssse3(rec, p, n);
    }
}
#endif

// One chunk through the routine in force. With `exact`, a rejection leaves the
// record as the dispatcher alone leaves it: the block validator locates a
// rejection only to its 16-byte unit, so its rejected chunk is undone and
// replayed through the dispatcher.
int run_validate(const ModuleState *st, utf8vld_state *rec, const uint8_t *p, size_t n, [[maybe_unused]] bool exact) {
    const int routine = st->utf8_routine.load(std::memory_order_relaxed);
    if (routine == UTF8_TABLE) return _tav_utf8vld_validate_table(rec, p, n);
#if defined(__x86_64__)
    if (routine >= UTF8_SSSE3) return run_vector(routine, rec, p, n);
    if (routine == UTF8_AUTO && st->vector_routine != 0) {
        if (n >= VECTOR_FROM[st->vector_routine]) return run_vector(st->vector_routine, rec, p, n);
        return tav_utf8vld_validate(rec, p, n);
    }
    bool block = routine == UTF8_SSE2;
    if (routine == UTF8_AUTO) {
        const size_t head = (0 - reinterpret_cast<uintptr_t>(p)) & 15u;  // bytes before the first boundary
        block = n >= head + static_cast<size_t>(BLOCK_VALIDATOR_THRESHOLD);
    }
    if (block) {
        const utf8vld_state saved = *rec;
        const int r = _tav_utf8vld_validate_sse2(rec, p, n);
        if (r >= 0 || !exact) return r;
        *rec = saved;
    }
#endif
    return tav_utf8vld_validate(rec, p, n);
}

// The masking routine in force for n bytes.
inline int mask_routine_for(const ModuleState *st, size_t n) {
    const int routine = st->mask_routine.load(std::memory_order_relaxed);
    if (routine != MASK_AUTO) return routine;
    if (st->wide_mask && (n < WIDE_MASK_BELOW || n >= WIDE_MASK_FROM)) return st->wide_mask;
    return st->has_sse41 ? MASK_SSE2 : MASK_BYTES;
}

void run_mask(const ModuleState *st, xormask_state *rec, uint8_t *p, size_t n) {
    switch (mask_routine_for(st, n)) {
#if defined(__x86_64__)
        case MASK_AVX512: _tav_xormask_process_avx512(rec, p, n); return;
        case MASK_AVX2: _tav_xormask_process_avx2(rec, p, n); return;
        case MASK_SSE2: _tav_xormask_process_sse2(rec, p, n); return;
#endif
        default: _tav_xormask_process_simple(rec, p, n); return;
    }
}

// dst = src masked, in one pass (the masked copies read and write each byte once).
void run_copy(const ModuleState *st, xormask_state *rec, const uint8_t *src, uint8_t *dst, size_t n) {
    switch (mask_routine_for(st, n)) {
#if defined(__x86_64__)
        case MASK_AVX512: _tav_xormask_copy_avx512(rec, src, dst, n); return;
        case MASK_AVX2: _tav_xormask_copy_avx2(rec, src, dst, n); return;
        case MASK_SSE2: _tav_xormask_copy_sse2(rec, src, dst, n); return;
#endif
        default: _tav_xormask_copy_simple(rec, src, dst, n); return;
    }
}

// f() with the interpreter lock released when n is large enough for that to pay.
template <typename F>
inline auto unlocked_if_long(const ModuleState *st, Py_ssize_t n, F f) {
    if (n >= st->release_from.load(std::memory_order_relaxed)) {
        PyThreadState *ts = PyEval_SaveThread();
        auto r = f();
        PyEval_RestoreThread(ts);
        return r;
    }
    return f();
}

// Fresh records, field for field as tav_utf8vld_new (then set_impl(2): the
// dispatcher runs the unrolled routine) and tav_xormask_new leave them.
inline void init_validator_record(utf8vld_state *rec) {
    rec->current_index = 0;
    rec->total_index = 0;
    rec->state = UTF8_ACCEPT;
    rec->impl = 2;
}

inline void init_masker_record(xormask_state *rec, const uint8_t key[4]) {
    std::memcpy(rec->mask, key, 4);
    rec->pointer = 0;
    rec->impl = 2;
}

// --- errors ---------------------------------------------------------------------

// type(obj).__name__, as the Python backend's messages name it (a new reference).
PyObject *type_name(PyObject *obj) {
    PyObject *name = PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(obj)), "__name__");
    if (name == nullptr) {
        PyErr_Clear();
        name = PyUnicode_FromString(Py_TYPE(obj)->tp_name);
    }
    return name;
}

// The exception being raised, taken out of the thread state (a new reference).
PyObject *take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Rewrites the error of a refused read export as the Python backend words it:
// TypeError naming the type for things that are no buffer, the same type
// (BufferError, ValueError) with the reason for buffers that cannot be taken
// as one C-contiguous block. Other errors pass unchanged. Returns -1.
int explain_read_error(PyObject *obj, const char *what) {
    const bool not_a_buffer = !PyObject_CheckBuffer(obj) || PyErr_ExceptionMatches(PyExc_TypeError);
    const bool refused = PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_ValueError);
    if (!not_a_buffer && !refused) return -1;
    PyObject *exc = take_exception();
    PyObject *name = type_name(obj);
    if (exc != nullptr && name != nullptr) {
        if (not_a_buffer) {
            PyErr_Format(PyExc_TypeError, "%s takes a bytes-like object, not %U", what, name);
        } else {
            PyErr_Format(reinterpret_cast<PyObject *>(Py_TYPE(exc)), "%s cannot use the %U given as a C-contiguous buffer: %S",
                         what, name, exc);
        }
    }
    Py_XDECREF(name);
    Py_XDECREF(exc);
    return -1;
}

int get_readable(PyObject *obj, Py_buffer *view, const char *what) {
    if (PyObject_GetBuffer(obj, view, PyBUF_SIMPLE) == 0) return 0;
    return explain_read_error(obj, what);
}

int get_writable(PyObject *obj, Py_buffer *view, const char *what) {
    if (PyObject_GetBuffer(obj, view, PyBUF_WRITABLE) == 0) return 0;
    PyErr_Clear();
    // Tell read-only buffers apart from things that are no buffer at all.
    if (get_readable(obj, view, what) < 0) return -1;
    PyBuffer_Release(view);
    PyObject *name = type_name(obj);
    if (name != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s needs a writable buffer; the %U given is read-only", what, name);
        Py_DECREF(name);
    }
    return -1;
}

// Bytes to read: a bytes object in place, anything else through an export
// that `release` gives back.
struct Input {
    const uint8_t *data;
    Py_ssize_t size;
    Py_buffer view;
    bool exported;

    int take(PyObject *obj, const char *what) {
        if (PyBytes_CheckExact(obj)) {
            data = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(obj));
            size = PyBytes_GET_SIZE(obj);
            exported = false;
            return 0;
        }
        if (get_readable(obj, &view, what) < 0) return -1;
        data = static_cast<const uint8_t *>(view.buf);
        size = view.len;
        exported = true;
        return 0;
    }
    void release() {
        if (exported) PyBuffer_Release(&view);
    }
};

// Bytes to rewrite in place. An exact bytearray short enough that the lock
// stays held is written where it lies, without an export: while the lock is
// held and only native code runs, nothing can resize or free it (measured:
// the export is 5.5 ns of a 28.7 ns one-shot call at 16 B). Without the GIL
// another thread could resize it meanwhile, so free-threaded builds always
// export, as every other writable buffer is.
struct InPlace {
    uint8_t *data;
    Py_ssize_t size;
    Py_buffer view;
    bool exported;

    int take(PyObject *obj, const ModuleState *mod, const char *what) {
#ifndef Py_GIL_DISABLED
        if (PyByteArray_CheckExact(obj) && PyByteArray_GET_SIZE(obj) < mod->release_from.load(std::memory_order_relaxed)) {
            data = reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(obj));
            size = PyByteArray_GET_SIZE(obj);
            exported = false;
            return 0;
        }
#else
        (void)mod;
#endif
        if (get_writable(obj, &view, what) < 0) return -1;
        data = static_cast<uint8_t *>(view.buf);
        size = view.len;
        exported = true;
        return 0;
    }
    void release() {
        if (exported) PyBuffer_Release(&view);
    }
};

// How a masking call words its key errors: tav's own, or websockets' for apply_mask.
struct KeyWords {
    const char *not_bytes;  // %U: the type's name
    const char *bad_size;   // %zd: the size given
};
constexpr KeyWords TAV_KEY = {"the key must be a bytes-like object of 4 bytes, not %U",
                              "the key must be exactly 4 bytes, got %zd"};
constexpr KeyWords WEBSOCKETS_MASK = {"mask must be a bytes-like object, not %U", "mask must contain 4 bytes"};

// The 4 key bytes of any bytes-like object, as memoryview(key).tobytes() gives them.
int parse_key(PyObject *key, uint8_t out[4], const KeyWords &words) {
    if (PyBytes_CheckExact(key) && PyBytes_GET_SIZE(key) == 4) {
        std::memcpy(out, PyBytes_AS_STRING(key), 4);
        return 0;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(key, &view, PyBUF_FULL_RO) < 0) {
        if (!PyObject_CheckBuffer(key) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyObject *name = type_name(key);
            if (name != nullptr) {
                PyErr_Format(PyExc_TypeError, words.not_bytes, name);
                Py_DECREF(name);
            }
        }
        return -1;
    }
    int result = 0;
    if (view.len != 4) {
        PyErr_Format(PyExc_ValueError, words.bad_size, view.len);
        result = -1;
    } else {
        result = PyBuffer_ToContiguous(out, &view, 4, 'C');
    }
    PyBuffer_Release(&view);
    return result;
}

// Arguments of a METH_FASTCALL | METH_KEYWORDS callable, positional or by
// name, into out[0..nmax-1] (nullptr where not given). The common positional
// call never reaches the name loop.
bool parse_args(const char *fname, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                const char *const *names, int nreq, int nmax, PyObject **out) {
    if (nargs > nmax) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %d argument%s (%zd given)", fname, nmax, nmax == 1 ? "" : "s",
                     nargs);
        return false;
    }
    for (int j = 0; j < nmax; ++j) out[j] = j < nargs ? args[j] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        int j = 0;
        while (j < nmax && PyUnicode_CompareWithASCIIString(name, names[j]) != 0) ++j;
        if (j == nmax) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, name);
            return false;
        }
        if (out[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[j]);
            return false;
        }
        out[j] = args[nargs + k];
    }
    for (int j = 0; j < nreq; ++j) {
        if (out[j] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", fname, names[j], j + 1);
            return false;
        }
    }
    return true;
}

// --- the guard word of an object ------------------------------------------------

// READY: __init__ completed. BUSY: a call holds the object. CLOSED: close()
// ran. INIT: an __init__ is filling the record. A fresh (tp_alloc) object is 0.
enum : unsigned { F_READY = 1u, F_BUSY = 2u, F_CLOSED = 4u, F_INIT = 8u };

// Take the object for one call; false when it is not ready, busy or closed.
inline bool enter(std::atomic<unsigned> &f) {
#ifdef Py_GIL_DISABLED
    unsigned expected = F_READY;
    return f.compare_exchange_strong(expected, F_READY | F_BUSY, std::memory_order_acquire, std::memory_order_relaxed);
#else
    // Every access to the word is made holding the interpreter lock, whose
    // release and retake order them: plain loads and stores suffice (the
    // compare-exchange costs 2-5 ns per call more, measured in a GIL build).
    if (f.load(std::memory_order_relaxed) != F_READY) return false;
    f.store(F_READY | F_BUSY, std::memory_order_relaxed);
    return true;
#endif
}

// Give the object back; a close() made meanwhile stays set.
inline void leave(std::atomic<unsigned> &f) {
#ifdef Py_GIL_DISABLED
    f.fetch_and(~F_BUSY, std::memory_order_release);
#else
    f.store(f.load(std::memory_order_relaxed) & ~F_BUSY, std::memory_order_relaxed);
#endif
}

inline void set_closed(std::atomic<unsigned> &f) {
#ifdef Py_GIL_DISABLED
    f.fetch_or(F_CLOSED, std::memory_order_acq_rel);
#else
    f.store(f.load(std::memory_order_relaxed) | F_CLOSED, std::memory_order_relaxed);
#endif
}

// The error for a call that could not take the object. Returns nullptr.
PyObject *refuse(const std::atomic<unsigned> &f, const char *cls) {
    const unsigned v = f.load(std::memory_order_acquire);
    if (!(v & F_READY)) {
        PyErr_Format(PyExc_ValueError, "tav.%s is not initialized (its __init__ never ran or failed)", cls);
    } else if (v & F_BUSY) {
        PyErr_Format(PyExc_RuntimeError, "concurrent use of one %s from several threads is not allowed", cls);
    } else {
        PyErr_Format(PyExc_ValueError, "%s is closed", cls);
    }
    return nullptr;
}

// Claim a fresh object for __init__: false (RuntimeError set) when it was
// initialized, or is being, already.
bool begin_init(std::atomic<unsigned> &f, const char *cls) {
    unsigned expected = 0;
    if (f.compare_exchange_strong(expected, F_INIT, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    PyErr_Format(PyExc_RuntimeError, "tav.%s is already initialized", cls);
    return false;
}

PyObject *refuse_copy(const char *cls) {
    PyErr_Format(PyExc_TypeError, "cannot copy a tav.%s: it owns a native record; make a new one", cls);
    return nullptr;
}

PyObject *refuse_pickle(const char *cls) {
    PyErr_Format(PyExc_TypeError, "cannot pickle a tav.%s: it owns a native record", cls);
    return nullptr;
}

// The module state of one of this module's types or of a subclass of one.
ModuleState *state_of_type(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *module = PyType_GetModuleByDef(type, &module_def);
    return module == nullptr ? nullptr : module_state(module);
#else
    PyObject *mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_HasFeature(reinterpret_cast<PyTypeObject *>(base), Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject *module = reinterpret_cast<PyHeapTypeObject *>(base)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == &module_def) return module_state(module);
    }
    PyErr_Format(PyExc_TypeError, "%s is not a type of _tav_native", type->tp_name);
    return nullptr;
#endif
}

// --- Utf8Validator -----------------------------------------------------------------

struct Validator {
    PyObject_HEAD
    std::atomic<unsigned> flags;
    Py_ssize_t error_offset;  // stream offset of the first invalid byte; -1 while valid
    ModuleState *mod;         // lives as long as the type, which this object holds
    PyObject *weakrefs;
    utf8vld_state rec;
};

constexpr const char VALIDATOR[] = "Utf8Validator";

inline Validator *as_validator(PyObject *op) { return reinterpret_cast<Validator *>(op); }

void validator_ready(Validator *self) {
    init_validator_record(&self->rec);
    self->error_offset = -1;
}

PyObject *validator_new(PyTypeObject *type, PyObject *, PyObject *) {
    ModuleState *mod = state_of_type(type);
    if (mod == nullptr) return nullptr;
    PyObject *op = type->tp_alloc(type, 0);
    if (op != nullptr) as_validator(op)->mod = mod;
    return op;
}

int validator_init(PyObject *op, PyObject *args, PyObject *kwds) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Utf8Validator() takes no arguments");
        return -1;
    }
    Validator *self = as_validator(op);
    if (!begin_init(self->flags, VALIDATOR)) return -1;
    validator_ready(self);
    self->flags.store(F_READY, std::memory_order_release);
    return 0;
}

// Utf8Validator(): one allocation, no tp_new/tp_init round.
PyObject *validator_vectorcall(PyObject *type, PyObject *const *, size_t nargsf, PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Utf8Validator() takes no arguments");
        return nullptr;
    }
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    PyObject *op = tp->tp_alloc(tp, 0);
    if (op == nullptr) return nullptr;
    Validator *self = as_validator(op);
    self->mod = static_cast<ModuleState *>(PyType_GetModuleState(tp));
    validator_ready(self);
    self->flags.store(F_READY, std::memory_order_relaxed);  // not yet seen by any other thread
    return op;
}

void validator_dealloc(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    if (as_validator(op)->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyObject *validator_validate(PyObject *op, PyObject *data) {
    Validator *self = as_validator(op);
    if (!enter(self->flags)) return refuse(self->flags, VALIDATOR);
    const ModuleState *mod = self->mod;
    int result = -1;
    if (self->error_offset < 0) {  // sticky once rejected: no byte is read
        Input in;
        if (in.take(data, "Utf8Validator.validate()") < 0) {
            leave(self->flags);
            return nullptr;
        }
        utf8vld_state *rec = &self->rec;
        result = unlocked_if_long(mod, in.size, [&] {
            return run_validate(mod, rec, in.data, static_cast<size_t>(in.size), true);
        });
        if (result < 0) self->error_offset = static_cast<Py_ssize_t>(rec->total_index);
        leave(self->flags);
        in.release();
    } else {
        leave(self->flags);
    }
    PyObject *status = mod->status[result + 1];
    Py_INCREF(status);
    return status;
}

PyObject *validator_reset(PyObject *op, PyObject *) {
    Validator *self = as_validator(op);
    if (!enter(self->flags)) return refuse(self->flags, VALIDATOR);
    validator_ready(self);
    leave(self->flags);
    Py_RETURN_NONE;
}

PyObject *validator_error_offset(PyObject *op, void *) {
    Validator *self = as_validator(op);
    if (!enter(self->flags)) return refuse(self->flags, VALIDATOR);
    const Py_ssize_t e = self->error_offset;
    leave(self->flags);
    if (e < 0) Py_RETURN_NONE;
    return PyLong_FromSsize_t(e);
}

PyObject *validator_bytes_validated(PyObject *op, void *) {
    Validator *self = as_validator(op);
    if (!enter(self->flags)) return refuse(self->flags, VALIDATOR);
    const size_t n = self->error_offset >= 0 ? static_cast<size_t>(self->error_offset) : self->rec.total_index;
    leave(self->flags);
    return PyLong_FromSize_t(n);
}

// (current_index, total_index, state, impl): the record, for tests.
PyObject *validator_record(PyObject *op, PyObject *) {
    Validator *self = as_validator(op);
    if (!enter(self->flags)) return refuse(self->flags, VALIDATOR);
    const utf8vld_state r = self->rec;
    leave(self->flags);
    return Py_BuildValue("(nnii)", static_cast<Py_ssize_t>(r.current_index), static_cast<Py_ssize_t>(r.total_index),
                         r.state, r.impl);
}

PyObject *validator_close(PyObject *op, PyObject *) {
    Validator *self = as_validator(op);
    // Never initialized: nothing to close, as for a file that never opened.
    if (!(self->flags.load(std::memory_order_acquire) & F_READY)) Py_RETURN_NONE;
    set_closed(self->flags);
    Py_RETURN_NONE;
}

PyObject *validator_enter(PyObject *op, PyObject *) {
    Validator *self = as_validator(op);
    if (!enter(self->flags)) return refuse(self->flags, VALIDATOR);
    leave(self->flags);
    Py_INCREF(op);
    return op;
}

PyObject *validator_exit(PyObject *op, PyObject *const *, Py_ssize_t) { return validator_close(op, nullptr); }

PyObject *validator_copy(PyObject *, PyObject *) { return refuse_copy(VALIDATOR); }
PyObject *validator_deepcopy(PyObject *, PyObject *) { return refuse_copy(VALIDATOR); }
PyObject *validator_reduce(PyObject *, PyObject *) { return refuse_pickle(VALIDATOR); }
PyObject *validator_reduce_ex(PyObject *, PyObject *) { return refuse_pickle(VALIDATOR); }

PyObject *validator_repr(PyObject *op) {
    Validator *self = as_validator(op);
    const unsigned f = self->flags.load(std::memory_order_acquire);
    if (!(f & F_READY)) return PyUnicode_FromString("<Utf8Validator not initialized>");
    if (f & F_CLOSED) return PyUnicode_FromString("<Utf8Validator closed>");
    if (!enter(self->flags)) return PyUnicode_FromString("<Utf8Validator in use>");
    const Py_ssize_t e = self->error_offset;
    leave(self->flags);
    if (e < 0) return PyUnicode_FromString("<Utf8Validator error_offset=None>");
    return PyUnicode_FromFormat("<Utf8Validator error_offset=%zd>", e);
}

// Methods take their argument by position (METH_O): accepting it by name too
// (METH_FASTCALL | METH_KEYWORDS) costs 2-5 ns per validate() call.
PyMethodDef validator_methods[] = {
    {"validate", validator_validate, METH_O,
     "validate($self, data, /)\n--\n\n"
     "Feed the next chunk: any C-contiguous bytes-like object, of its whole size in bytes.\n\n"
     "Returns Utf8Status.COMPLETE, INCOMPLETE (the chunk ends inside a character) or\n"
     "INVALID (sticky until reset())."},
    {"reset", validator_reset, METH_NOARGS, "reset($self, /)\n--\n\nForget the stream: ready for the next one, from offset 0."},
    {"close", validator_close, METH_NOARGS,
     "close($self, /)\n--\n\nClose the validator; idempotent, and any later use raises ValueError.\n\n"
     "A call running in another thread finishes first on the record, which goes with the object."},
    {"__enter__", validator_enter, METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(validator_exit), METH_FASTCALL, nullptr},
    {"__copy__", validator_copy, METH_NOARGS, "Refused: a copy would share the stream's record."},
    {"__deepcopy__", validator_deepcopy, METH_O, "Refused: a copy would share the stream's record."},
    {"__reduce__", validator_reduce, METH_NOARGS, "Refused: a validator cannot be pickled."},
    {"__reduce_ex__", validator_reduce_ex, METH_O, "Refused: a validator cannot be pickled."},
    {"_record", validator_record, METH_NOARGS, "(current_index, total_index, state, impl) of the record, for tests."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef validator_getset[] = {
    {"error_offset", validator_error_offset, nullptr,
     "Stream offset of the first invalid byte, or None while the stream is valid.", nullptr},
    {"bytes_validated", validator_bytes_validated, nullptr,
     "Bytes taken since creation or reset(); once invalid, the bytes before the invalid one.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef validator_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Validator, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char validator_doc[] =
    "Utf8Validator()\n--\n\n"
    "Fail-fast check that a byte stream fed in chunks is well-formed UTF-8 (RFC 3629).\n\n"
    "A character may be split anywhere between chunks. Once an invalid byte is\n"
    "seen, validate() answers INVALID until reset(), and error_offset gives the\n"
    "stream offset of that byte.\n\n"
    "Short chunks go through the dispatcher to the unrolled routine; chunks of at\n"
    "least BLOCK_VALIDATOR_THRESHOLD bytes to the SSE2 block validator, whose\n"
    "rejected chunk is replayed through the dispatcher for the exact offset.\n"
    "Buffers are never copied; the interpreter lock is released for chunks of at\n"
    "least RELEASE_GIL_THRESHOLD bytes.\n\n"
    "Sharing: one object serves one thread at a time; a call made while another\n"
    "thread is inside a method of the same object raises RuntimeError. close()\n"
    "from another thread during a call lets that call finish on its record.\n"
    "Copying and pickling are refused (TypeError).";

PyType_Slot validator_slots[] = {
    {Py_tp_doc, const_cast<char *>(validator_doc)},
    {Py_tp_new, reinterpret_cast<void *>(validator_new)},
    {Py_tp_init, reinterpret_cast<void *>(validator_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(validator_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(validator_repr)},
    {Py_tp_methods, validator_methods},
    {Py_tp_getset, validator_getset},
    {Py_tp_members, validator_members},
    {0, nullptr},
};

// --- XorMasker -------------------------------------------------------------------

struct Masker {
    PyObject_HEAD
    std::atomic<unsigned> flags;
    ModuleState *mod;
    PyObject *weakrefs;
    xormask_state rec;
};

constexpr const char MASKER[] = "XorMasker";
const char *const KEY_ARG[] = {"key"};

inline Masker *as_masker(PyObject *op) { return reinterpret_cast<Masker *>(op); }

PyObject *masker_new(PyTypeObject *type, PyObject *, PyObject *) {
    ModuleState *mod = state_of_type(type);
    if (mod == nullptr) return nullptr;
    PyObject *op = type->tp_alloc(type, 0);
    if (op != nullptr) as_masker(op)->mod = mod;
    return op;
}

int masker_init(PyObject *op, PyObject *args, PyObject *kwds) {
    Masker *self = as_masker(op);
    if (self->flags.load(std::memory_order_acquire) != 0) {  // before the key is parsed: nothing changes
        PyErr_Format(PyExc_RuntimeError, "tav.%s is already initialized", MASKER);
        return -1;
    }
    static const char *kwlist[] = {"key", nullptr};
    PyObject *key;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:XorMasker", const_cast<char **>(kwlist), &key)) return -1;
    uint8_t k[4];
    if (parse_key(key, k, TAV_KEY) < 0) return -1;
    if (!begin_init(self->flags, MASKER)) return -1;
    init_masker_record(&self->rec, k);
    self->flags.store(F_READY, std::memory_order_release);
    return 0;
}

// XorMasker(key): one allocation, no tp_new/tp_init round.
PyObject *masker_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *key;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 1 && kwnames == nullptr) {
        key = args[0];
    } else if (!parse_args("XorMasker", args, nargs, kwnames, KEY_ARG, 1, 1, &key)) {
        return nullptr;
    }
    uint8_t k[4];
    if (parse_key(key, k, TAV_KEY) < 0) return nullptr;
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    PyObject *op = tp->tp_alloc(tp, 0);
    if (op == nullptr) return nullptr;
    Masker *self = as_masker(op);
    self->mod = static_cast<ModuleState *>(PyType_GetModuleState(tp));
    init_masker_record(&self->rec, k);
    self->flags.store(F_READY, std::memory_order_relaxed);  // not yet seen by any other thread
    return op;
}

void masker_dealloc(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    if (as_masker(op)->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
    tp->tp_free(op);
    Py_DECREF(tp);
}

PyObject *masker_mask(PyObject *op, PyObject *buffer) {
    Masker *self = as_masker(op);
    if (!enter(self->flags)) return refuse(self->flags, MASKER);
    const ModuleState *mod = self->mod;
    InPlace out;
    if (out.take(buffer, mod, "XorMasker.mask()") < 0) {
        leave(self->flags);
        return nullptr;
    }
    xormask_state *rec = &self->rec;
    unlocked_if_long(mod, out.size, [&] {
        run_mask(mod, rec, out.data, static_cast<size_t>(out.size));
        return 0;
    });
    leave(self->flags);
    out.release();
    Py_RETURN_NONE;
}

// New bytes holding `in` masked by rec from its phase on, written in one
// allocation: the copy goes straight into the result.
PyObject *masked_bytes(const ModuleState *mod, xormask_state *rec, const Input &in) {
    PyObject *out = PyBytes_FromStringAndSize(nullptr, in.size);
    if (out == nullptr) return nullptr;
    uint8_t *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
    unlocked_if_long(mod, in.size, [&] {
        run_copy(mod, rec, in.data, dst, static_cast<size_t>(in.size));
        return 0;
    });
    return out;
}

PyObject *masker_masked(PyObject *op, PyObject *data) {
    Masker *self = as_masker(op);
    if (!enter(self->flags)) return refuse(self->flags, MASKER);
    Input in;
    if (in.take(data, "XorMasker.masked()") < 0) {
        leave(self->flags);
        return nullptr;
    }
    PyObject *out = masked_bytes(self->mod, &self->rec, in);
    leave(self->flags);
    in.release();
    return out;
}

PyObject *masker_position(PyObject *op, void *) {
    Masker *self = as_masker(op);
    if (!enter(self->flags)) return refuse(self->flags, MASKER);
    const size_t p = self->rec.pointer;
    leave(self->flags);
    return PyLong_FromSize_t(p);
}

PyObject *masker_reset(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Masker *self = as_masker(op);
    PyObject *key = nullptr;
    if ((nargs != 0 || kwnames != nullptr) && !parse_args("reset", args, nargs, kwnames, KEY_ARG, 0, 1, &key)) {
        return nullptr;
    }
    if (!enter(self->flags)) return refuse(self->flags, MASKER);
    if (key != nullptr && key != Py_None) {
        uint8_t k[4];
        if (parse_key(key, k, TAV_KEY) < 0) {
            leave(self->flags);
            return nullptr;
        }
        std::memcpy(self->rec.mask, k, 4);
    }
    self->rec.pointer = 0;
    leave(self->flags);
    Py_RETURN_NONE;
}

// (key, pointer, impl): the record, for tests.
PyObject *masker_record(PyObject *op, PyObject *) {
    Masker *self = as_masker(op);
    if (!enter(self->flags)) return refuse(self->flags, MASKER);
    const xormask_state r = self->rec;
    leave(self->flags);
    return Py_BuildValue("(y#ni)", reinterpret_cast<const char *>(r.mask), static_cast<Py_ssize_t>(4),
                         static_cast<Py_ssize_t>(r.pointer), r.impl);
}

PyObject *masker_close(PyObject *op, PyObject *) {
    Masker *self = as_masker(op);
    // Never initialized: nothing to close, as for a file that never opened.
    if (!(self->flags.load(std::memory_order_acquire) & F_READY)) Py_RETURN_NONE;
    set_closed(self->flags);
    Py_RETURN_NONE;
}

PyObject *masker_enter(PyObject *op, PyObject *) {
    Masker *self = as_masker(op);
    if (!enter(self->flags)) return refuse(self->flags, MASKER);
    leave(self->flags);
    Py_INCREF(op);
    return op;
}

PyObject *masker_exit(PyObject *op, PyObject *const *, Py_ssize_t) { return masker_close(op, nullptr); }

PyObject *masker_copy(PyObject *, PyObject *) { return refuse_copy(MASKER); }
PyObject *masker_deepcopy(PyObject *, PyObject *) { return refuse_copy(MASKER); }
PyObject *masker_reduce(PyObject *, PyObject *) { return refuse_pickle(MASKER); }
PyObject *masker_reduce_ex(PyObject *, PyObject *) { return refuse_pickle(MASKER); }

PyObject *masker_repr(PyObject *op) {
    const unsigned f = as_masker(op)->flags.load(std::memory_order_acquire);
    if (!(f & F_READY)) return PyUnicode_FromString("<XorMasker not initialized>");
    if (f & F_CLOSED) return PyUnicode_FromString("<XorMasker closed>");
    return PyUnicode_FromString(f & F_BUSY ? "<XorMasker in use>" : "<XorMasker>");
}

PyMethodDef masker_methods[] = {
    {"mask", masker_mask, METH_O,
     "mask($self, buffer, /)\n--\n\n"
     "Mask a writable C-contiguous buffer in place (bytearray, writable memoryview,\n"
     "array, mmap, ...), continuing the key phase of the previous calls."},
    {"masked", masker_masked, METH_O,
     "masked($self, data, /)\n--\n\n"
     "The masked copy of a C-contiguous bytes-like object, which stays untouched.\n\n"
     "Advances the key phase like mask(); tav.mask() starts at key byte 0 instead."},
    {"reset", as_cfunction(masker_reset), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, /, key=None)\n--\n\n"
     "Start again at key byte 0; given a key (4 bytes), take it instead of the\n"
     "current one, without any allocation."},
    {"close", masker_close, METH_NOARGS,
     "close($self, /)\n--\n\nClose the masker; idempotent, and any later use raises ValueError.\n\n"
     "A call running in another thread finishes first on the record, which goes with the object."},
    {"__enter__", masker_enter, METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(masker_exit), METH_FASTCALL, nullptr},
    {"__copy__", masker_copy, METH_NOARGS, "Refused: a copy would share the stream's record."},
    {"__deepcopy__", masker_deepcopy, METH_O, "Refused: a copy would share the stream's record."},
    {"__reduce__", masker_reduce, METH_NOARGS, "Refused: a masker cannot be pickled."},
    {"__reduce_ex__", masker_reduce_ex, METH_O, "Refused: a masker cannot be pickled."},
    {"_record", masker_record, METH_NOARGS, "(key, pointer, impl) of the record, for tests."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef masker_getset[] = {
    {"position", masker_position, nullptr, "Bytes masked since creation or reset(); the key phase is position mod 4.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef masker_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Masker, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char masker_doc[] =
    "XorMasker(key)\n--\n\n"
    "XOR a byte stream in place with a repeating 4-byte key; masking and unmasking are the same.\n\n"
    "The key phase carries across calls: masking a payload chunk by chunk gives\n"
    "the bytes that one call on the whole payload gives. `key` is any bytes-like\n"
    "object of exactly 4 bytes and is copied; reset(key) takes a new one.\n\n"
    "Sharing: one object serves one thread at a time; a call made while another\n"
    "thread is inside a method of the same object raises RuntimeError. close()\n"
    "from another thread during a call lets that call finish on its record.\n"
    "Copying and pickling are refused (TypeError). The interpreter lock is\n"
    "released for buffers of at least RELEASE_GIL_THRESHOLD bytes.";

PyType_Slot masker_slots[] = {
    {Py_tp_doc, const_cast<char *>(masker_doc)},
    {Py_tp_new, reinterpret_cast<void *>(masker_new)},
    {Py_tp_init, reinterpret_cast<void *>(masker_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(masker_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(masker_repr)},
    {Py_tp_methods, masker_methods},
    {Py_tp_getset, masker_getset},
    {Py_tp_members, masker_members},
    {0, nullptr},
};

// Heap types, one set per module object, so that interpreters share nothing.
// A static type would save 3-4 ns per created object (its reference count and
// the state lookup; XorMasker(key) 26.8 vs 22.7 ns, measured) and nothing per
// call, at the price of that isolation.
#if PY_VERSION_HEX >= 0x030A0000
constexpr unsigned long TYPE_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long TYPE_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
#endif

PyType_Spec validator_type_def = {"tav.Utf8Validator", sizeof(Validator), 0, TYPE_FLAGS, validator_slots};
PyType_Spec masker_type_def = {"tav.XorMasker", sizeof(Masker), 0, TYPE_FLAGS, masker_slots};

// --- module functions --------------------------------------------------------------

PyObject *fn_is_valid_utf8(PyObject *module, PyObject *data) {
    const ModuleState *mod = module_state(module);
    Input in;
    if (in.take(data, "is_valid_utf8()") < 0) return nullptr;
    utf8vld_state rec;
    init_validator_record(&rec);
    // No offset is wanted: the block validator's verdict stands alone.
    const int result = unlocked_if_long(mod, in.size, [&] {
        return run_validate(mod, &rec, in.data, static_cast<size_t>(in.size), false);
    });
    in.release();
    return PyBool_FromLong(result == 0);
}

// mask(key, data) and apply_mask(data, mask): new bytes, from key byte 0.
PyObject *one_shot_masked(PyObject *module, PyObject *key, PyObject *data, const char *what, const KeyWords &words) {
    uint8_t k[4];
    if (parse_key(key, k, words) < 0) return nullptr;
    Input in;
    if (in.take(data, what) < 0) return nullptr;
    xormask_state rec;
    init_masker_record(&rec, k);
    PyObject *out = masked_bytes(module_state(module), &rec, in);
    in.release();
    return out;
}

// mask_in_place(key, buffer) and websocket_mask(mask, data), from key byte 0.
PyObject *one_shot_in_place(PyObject *module, PyObject *key, PyObject *buffer, const char *what) {
    uint8_t k[4];
    if (parse_key(key, k, TAV_KEY) < 0) return nullptr;
    const ModuleState *mod = module_state(module);
    InPlace out;
    if (out.take(buffer, mod, what) < 0) return nullptr;
    xormask_state rec;
    init_masker_record(&rec, k);
    unlocked_if_long(mod, out.size, [&] {
        run_mask(mod, &rec, out.data, static_cast<size_t>(out.size));
        return 0;
    });
    out.release();
    Py_RETURN_NONE;
}

// Two arguments, positional (the per-frame call) or by name.
bool two_args(const char *fname, const char *const names[2], PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames, PyObject **a, PyObject **b) {
    if (nargs == 2 && kwnames == nullptr) {
        *a = args[0];
        *b = args[1];
        return true;
    }
    PyObject *out[2];
    if (!parse_args(fname, args, nargs, kwnames, names, 2, 2, out)) return false;
    *a = out[0];
    *b = out[1];
    return true;
}

const char *const KEY_DATA[] = {"key", "data"};
const char *const KEY_BUFFER[] = {"key", "buffer"};
const char *const DATA_MASK[] = {"data", "mask"};
const char *const MASK_DATA[] = {"mask", "data"};

PyObject *fn_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key, *data;
    if (!two_args("mask", KEY_DATA, args, nargs, kwnames, &key, &data)) return nullptr;
    return one_shot_masked(module, key, data, "mask()", TAV_KEY);
}

PyObject *fn_mask_in_place(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key, *buffer;
    if (!two_args("mask_in_place", KEY_BUFFER, args, nargs, kwnames, &key, &buffer)) return nullptr;
    return one_shot_in_place(module, key, buffer, "mask_in_place()");
}

PyObject *fn_apply_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *data, *mask;
    if (!two_args("apply_mask", DATA_MASK, args, nargs, kwnames, &data, &mask)) return nullptr;
    return one_shot_masked(module, mask, data, "apply_mask()", WEBSOCKETS_MASK);
}

PyObject *fn_websocket_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *mask, *data;
    if (!two_args("websocket_mask", MASK_DATA, args, nargs, kwnames, &mask, &data)) return nullptr;
    return one_shot_in_place(module, mask, data, "websocket_mask()");
}

// --- unmask and validate in one pass ----------------------------------------------

// Block of the fused loop: unmasked, then validated while it is still in the
// first-level cache, so the payload comes from memory once instead of twice.
// `python -m tav.bench.mask` (mixed-script text, payload from memory, fused /
// two calls): 16 KiB blocks 1.22x at 64 KiB, 1.33x at 1 MiB, 1.82x at 64 MiB;
// 4 KiB blocks 1.15x, 1.21x, 1.95x.
constexpr size_t FUSED_BLOCK = 16 * 1024;

// unmask_and_validate(masker, validator, buffer): masker.mask(buffer), then
// validator.validate(buffer), in one pass over memory, with the same results:
// the whole buffer is unmasked, an invalid byte leaves the validator INVALID at
// its exact offset (validation stops there; unmasking does not).
PyObject *fn_unmask_and_validate(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "unmask_and_validate() takes 3 arguments (masker, validator, buffer), got %zd",
                     nargs);
        return nullptr;
    }
    const ModuleState *mod = module_state(module);
    PyObject *m_obj = args[0], *v_obj = args[1];
    if (!PyObject_TypeCheck(m_obj, mod->masker_type) || !PyObject_TypeCheck(v_obj, mod->validator_type)) {
        PyObject *name = type_name(PyObject_TypeCheck(m_obj, mod->masker_type) ? v_obj : m_obj);
        if (name != nullptr) {
            PyErr_Format(PyExc_TypeError, "unmask_and_validate() takes a tav.XorMasker and a tav.Utf8Validator, not %U",
                         name);
            Py_DECREF(name);
        }
        return nullptr;
    }
    Masker *masker = as_masker(m_obj);
    Validator *validator = as_validator(v_obj);
    if (!enter(masker->flags)) return refuse(masker->flags, MASKER);
    if (!enter(validator->flags)) {
        leave(masker->flags);
        return refuse(validator->flags, VALIDATOR);
    }
    InPlace buf;
    if (buf.take(args[2], mod, "unmask_and_validate()") < 0) {
        leave(validator->flags);
        leave(masker->flags);
        return nullptr;
    }
    xormask_state *mrec = &masker->rec;
    utf8vld_state *vrec = &validator->rec;
    const bool rejected_before = validator->error_offset >= 0;
    int result = unlocked_if_long(mod, buf.size, [&] {
        const size_t n = static_cast<size_t>(buf.size);
        int r = rejected_before ? -1 : run_validate(mod, vrec, buf.data, 0, true);  // the status of an empty chunk
        bool checking = !rejected_before;
        for (size_t at = 0; at < n; at += FUSED_BLOCK) {
            const size_t k = n - at < FUSED_BLOCK ? n - at : FUSED_BLOCK;
            run_mask(mod, mrec, buf.data + at, k);
            if (checking) {
                r = run_validate(mod, vrec, buf.data + at, k, true);
                checking = r >= 0;
            }
        }
        return r;
    });
    if (result < 0 && !rejected_before) validator->error_offset = static_cast<Py_ssize_t>(vrec->total_index);
    buf.release();
    leave(validator->flags);
    leave(masker->flags);
    PyObject *status = mod->status[result + 1];
    Py_INCREF(status);
    return status;
}

// --- the routine switch (tests and benchmarks only) ------------------------------------

const char *const UTF8_NAMES[] = {"auto", "table", "unrolled", "sse2", "ssse3", "avx2", "avx512"};
const char *const MASK_NAMES[] = {nullptr, "bytes", "sse2", "avx2", "avx512", "auto"};

PyObject *routines_dict(const ModuleState *mod) {
    return Py_BuildValue("{s:s,s:s,s:n}", "utf8", UTF8_NAMES[mod->utf8_routine.load()], "mask",
                         MASK_NAMES[mod->mask_routine.load()], "release_gil_from", mod->release_from.load());
}

int name_index(PyObject *value, const char *const *names, int n, const char *arg) {
    for (int i = 0; i < n; ++i) {
        if (names[i] != nullptr && PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, names[i]) == 0) {
            return i;
        }
    }
    PyErr_Format(PyExc_ValueError, "_force_routines(): unknown %s routine %R", arg, value);
    return -1;
}

PyObject *fn_force_routines(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"utf8", "mask", "release_gil_from"};
    PyObject *a[3];
    if (nargs != 0) {
        PyErr_SetString(PyExc_TypeError, "_force_routines() takes keyword arguments only");
        return nullptr;
    }
    if (!parse_args("_force_routines", args, nargs, kwnames, names, 0, 3, a)) return nullptr;
    ModuleState *mod = module_state(module);
    int utf8 = mod->utf8_routine.load(), mask = mod->mask_routine.load();
    Py_ssize_t release_from = mod->release_from.load();
    if (a[0] != nullptr && a[0] != Py_None) {
        if ((utf8 = name_index(a[0], UTF8_NAMES, 7, "utf8")) < 0) return nullptr;
#if !defined(__x86_64__)
        if (utf8 >= UTF8_SSE2) {
            PyErr_SetString(PyExc_ValueError, "_force_routines(): no x86-64 validator on this processor");
            return nullptr;
        }
#endif
        if (utf8 >= UTF8_SSSE3 && utf8 > mod->vector_routine) {
            PyErr_Format(PyExc_ValueError, "_force_routines(): this processor does not run the %s validator",
                         UTF8_NAMES[utf8]);
            return nullptr;
        }
    }
    if (a[1] != nullptr && a[1] != Py_None) {
        if (PyUnicode_Check(a[1]) && PyUnicode_CompareWithASCIIString(a[1], "auto") == 0) {
            mask = default_mask_routine(mod);
        } else if ((mask = name_index(a[1], MASK_NAMES, 5, "mask")) < 0) {
            return nullptr;
        } else if ((mask == MASK_AVX2 || mask == MASK_AVX512) && mask > mod->wide_mask) {
            PyErr_Format(PyExc_ValueError, "_force_routines(): this processor does not run the %s masking routine",
                         MASK_NAMES[mask]);
            return nullptr;
        } else if (mask == MASK_SSE2 && !mod->has_sse41) {
            PyErr_SetString(PyExc_ValueError, "_force_routines(): the SSE2 masking routine needs SSE4.1, which this processor lacks");
            return nullptr;
        }
    }
    if (a[2] != nullptr && a[2] != Py_None) {
        release_from = PyLong_AsSsize_t(a[2]);
        if (release_from == -1 && PyErr_Occurred()) return nullptr;
        if (release_from < 0) release_from = RELEASE_GIL_THRESHOLD;
    }
    PyObject *previous = routines_dict(mod);
    if (previous == nullptr) return nullptr;
    mod->utf8_routine.store(utf8);
    mod->mask_routine.store(mask);
    mod->release_from.store(release_from);
    return previous;
}

PyMethodDef module_methods[] = {
    {"unmask_and_validate", as_cfunction(fn_unmask_and_validate), METH_FASTCALL,
     "unmask_and_validate(masker, validator, buffer, /)\n--\n\n"
     "Unmask the writable `buffer` in place with `masker`, then validate it with `validator`, in one pass.\n\n"
     "The results are those of masker.mask(buffer) followed by validator.validate(buffer): the whole\n"
     "buffer is unmasked and the masker's position advances by its length, and the validator's status\n"
     "is returned; an invalid byte stops validation at its exact offset but not the unmasking."},
    {"is_valid_utf8", fn_is_valid_utf8, METH_O,
     "is_valid_utf8(data, /)\n--\n\nTrue if `data` (any C-contiguous bytes-like) is complete, well-formed UTF-8."},
    {"mask", as_cfunction(fn_mask), METH_FASTCALL | METH_KEYWORDS,
     "mask(key, data)\n--\n\n"
     "`data` masked with the 4-byte `key` from key byte 0, as new bytes; `data` stays untouched.\n\n"
     "One pass into the result: no intermediate buffer."},
    {"mask_in_place", as_cfunction(fn_mask_in_place), METH_FASTCALL | METH_KEYWORDS,
     "mask_in_place(key, buffer)\n--\n\n"
     "Mask a writable C-contiguous buffer in place with the 4-byte `key`, from key byte 0."},
    {"apply_mask", as_cfunction(fn_apply_mask), METH_FASTCALL | METH_KEYWORDS,
     "apply_mask(data, mask)\n--\n\n"
     "websockets' convention: `data` masked with the 4-byte `mask`, as new bytes\n"
     "(ValueError 'mask must contain 4 bytes' for a mask of another size)."},
    {"websocket_mask", as_cfunction(fn_websocket_mask), METH_FASTCALL | METH_KEYWORDS,
     "websocket_mask(mask, data)\n--\n\n"
     "aiohttp's convention: mask the writable buffer `data` in place with the 4-byte `mask`."},
    {"_force_routines", as_cfunction(fn_force_routines), METH_FASTCALL | METH_KEYWORDS,
     "_force_routines(*, utf8=None, mask=None, release_gil_from=None)\n--\n\n"
     "For tests and benchmarks: force the validation routine ('auto', 'table',\n"
     "'unrolled', 'sse2'), the masking routine ('auto', 'bytes', 'sse2') and the\n"
     "size from which the interpreter lock is released (a negative size restores\n"
     "the default). None leaves a setting as it is. Returns the previous settings,\n"
     "which _force_routines(**previous) restores."},
    {nullptr, nullptr, 0, nullptr},
};

// --- module life cycle ----------------------------------------------------------------

int add_type(PyObject *module, PyType_Spec *type_def, vectorcallfunc vectorcall, PyTypeObject **slot) {
    PyObject *type = PyType_FromModuleAndSpec(module, type_def, nullptr);
    if (type == nullptr) return -1;
    *slot = reinterpret_cast<PyTypeObject *>(type);
    // Calls of the exact type go straight to vectorcall; subclasses, which do
    // not inherit it, take tp_new and tp_init.
    (*slot)->tp_vectorcall = vectorcall;
    Py_INCREF(type);
    if (PyModule_AddObject(module, type_def->name + sizeof("tav.") - 1, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

int module_exec(PyObject *module) {
    ModuleState *mod = module_state(module);
    new (&mod->utf8_routine) std::atomic<int>(UTF8_AUTO);
    new (&mod->mask_routine) std::atomic<int>(MASK_BYTES);
    new (&mod->release_from) std::atomic<Py_ssize_t>(RELEASE_GIL_THRESHOLD);
    mod->has_sse41 = cpu_has_sse41();
    mod->vector_routine = best_vector_routine();
    mod->wide_mask = best_wide_mask();
    mod->mask_routine.store(default_mask_routine(mod));

    if (add_type(module, &validator_type_def, validator_vectorcall, &mod->validator_type) < 0) return -1;
    if (add_type(module, &masker_type_def, masker_vectorcall, &mod->masker_type) < 0) return -1;
    if (PyModule_AddIntConstant(module, "BLOCK_VALIDATOR_THRESHOLD", BLOCK_VALIDATOR_THRESHOLD) < 0) return -1;
    if (PyModule_AddIntConstant(module, "RELEASE_GIL_THRESHOLD", RELEASE_GIL_THRESHOLD) < 0) return -1;
    if (PyModule_AddObject(module, "HAS_SSE41", PyBool_FromLong(mod->has_sse41)) < 0) return -1;
    if (PyModule_AddStringConstant(module, "VECTOR_ROUTINE",
                                   mod->vector_routine ? UTF8_NAMES[mod->vector_routine] : "none") < 0) {
        return -1;
    }

    // Last: importing tav._status runs tav/__init__, which imports names from
    // this module when it is imported first; they are all in place by now.
    PyObject *status_module = PyImport_ImportModule("tav._status");
    if (status_module == nullptr) return -1;
    mod->status_type = PyObject_GetAttrString(status_module, "Utf8Status");
    Py_DECREF(status_module);
    if (mod->status_type == nullptr) return -1;
    static const char *const members[] = {"INVALID", "COMPLETE", "INCOMPLETE"};
    for (int i = 0; i < 3; ++i) {
        mod->status[i] = PyObject_GetAttrString(mod->status_type, members[i]);
        if (mod->status[i] == nullptr) return -1;
    }
    Py_INCREF(mod->status_type);
    if (PyModule_AddObject(module, "Utf8Status", mod->status_type) < 0) {
        Py_DECREF(mod->status_type);
        return -1;
    }
    return 0;
}

int module_traverse(PyObject *module, visitproc visit, void *arg) {
    ModuleState *mod = module_state(module);
    Py_VISIT(mod->validator_type);
    Py_VISIT(mod->masker_type);
    Py_VISIT(mod->status_type);
    for (PyObject *s : mod->status) Py_VISIT(s);
    return 0;
}

// Breaks the cycle between the module and its types. The statuses stay until
// the module's memory goes, which is after every type and object: an object
// still used by a finalizer late in shutdown returns them.
int module_clear(PyObject *module) {
    ModuleState *mod = module_state(module);
    Py_CLEAR(mod->validator_type);
    Py_CLEAR(mod->masker_type);
    return 0;
}

void module_free(void *module) {
    module_clear(static_cast<PyObject *>(module));
    ModuleState *mod = module_state(static_cast<PyObject *>(module));
    Py_CLEAR(mod->status_type);
    for (PyObject *&s : mod->status) Py_CLEAR(s);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // No state outside the module object: each interpreter gets its own types and switches.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // Correct without the interpreter lock: an object's guard word is taken by
    // compare-exchange (acquire) and given back with a release, so its record
    // is used by one thread at a time and a refused call touches nothing; the
    // one-shot functions keep their records on their own stack; buffers stay
    // exported for the whole call; the module state is written at exec, and
    // its switches are atomics.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tav_native",
    "tav's safe API as a CPython extension: Utf8Validator, XorMasker, is_valid_utf8,\n"
    "mask, mask_in_place, and the peers' conventions apply_mask and websocket_mask.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__tav_native(void) { return PyModuleDef_Init(&module_def); }
