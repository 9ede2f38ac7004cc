// SPDX-License-Identifier: MIT
// _tav_native, decoding into str (see decoder.h): decode_utf8(), the
// Utf8Decoder type and _force_decode(). Compiled as part of _tav_native.cpp,
// which includes it.
//
// A str is built in two passes of the library's routines: the measure says
// whether the bytes are UTF-8, how many code points they hold and the bound
// on them (0x7F, 0xFF, 0xFFFF or 0x10FFFF), which is exactly the class
// PyUnicode_New needs for the canonical kind; the transcoder of that kind
// then writes the code units straight into the new object. Invalid input
// costs nothing more until it is found: the measure also gives CPython's
// start, end and reason, and only then is the UnicodeDecodeError built, or,
// for error handlers other than "strict", CPython's own decoder run over the
// same bytes.
//
// Buffers that another thread could rewrite (any export; a bytes object is
// immutable) are decoded holding the interpreter lock: a change between the
// measure and the transcoder would leave a str whose units break its kind.
// Free-threaded builds, where nothing holds them still, check the units
// written against the measure instead.
#include "decoder.h"

#include <algorithm>  // std::min
#include <cstring>    // memcpy, strlen, strcmp
#if defined(TAV_UTF8_X86_64)
#include <emmintrin.h>  // SSE2, baseline on x86-64
#endif

#include "args.h"
#include "guard.h"
#include "routines.h"

namespace {

// --- the routine families ------------------------------------------------------------

struct Family {
    int (*measure)(const uint8_t *, size_t, const uint8_t *, tav_utf8_measure *);
    size_t (*latin1)(const uint8_t *, size_t, const uint8_t *, uint8_t *, size_t);
    size_t (*ucs2)(const uint8_t *, size_t, const uint8_t *, uint16_t *, size_t);
    size_t (*ucs4)(const uint8_t *, size_t, const uint8_t *, uint32_t *, size_t);
};

// Indexed by DecodeRoutine; "auto" is resolved before a lookup.
const Family FAMILIES[] = {
    {tav_utf8_measure_scalar, tav_utf8_to_latin1_scalar, tav_utf8_to_ucs2_scalar, tav_utf8_to_ucs4_scalar},
    {tav_utf8_measure_scalar, tav_utf8_to_latin1_scalar, tav_utf8_to_ucs2_scalar, tav_utf8_to_ucs4_scalar},
#if defined(TAV_UTF8_X86_64)
    {tav_utf8_measure_ssse3, tav_utf8_to_latin1_ssse3, tav_utf8_to_ucs2_ssse3, tav_utf8_to_ucs4_ssse3},
    {tav_utf8_measure_avx2, tav_utf8_to_latin1_avx2, tav_utf8_to_ucs2_avx2, tav_utf8_to_ucs4_avx2},
    {tav_utf8_measure_avx512, tav_utf8_to_latin1_avx512, tav_utf8_to_ucs2_avx512, tav_utf8_to_ucs4_avx512},
#elif defined(TAV_UTF8_AARCH64)
    {tav_utf8_measure_neon, tav_utf8_to_latin1_neon, tav_utf8_to_ucs2_neon, tav_utf8_to_ucs4_neon},
#endif
};
constexpr int FAMILY_COUNT = sizeof(FAMILIES) / sizeof(FAMILIES[0]);

// The widest family the processor runs, by the needs the library's header gives.
int widest_decode_family(unsigned features) {
#if defined(TAV_UTF8_X86_64)
    constexpr unsigned avx512 = TAV_CPU_AVX512F | TAV_CPU_AVX512BW | TAV_CPU_AVX512VBMI | TAV_CPU_AVX512VBMI2;
    if ((features & avx512) == avx512) return DECODE_AVX512;
    if (features & TAV_CPU_AVX2) return DECODE_AVX2;
    if (features & TAV_CPU_SSSE3) return DECODE_SSSE3;
#elif defined(TAV_UTF8_AARCH64)
    return DECODE_NEON;  // part of every aarch64 processor
#endif
    (void)features;
    return DECODE_SCALAR;
}

// The family in force; `automatic` when chosen by the processor rather than forced.
inline const Family &family_in_force(const Shared *sh, bool *automatic) {
    const int routine = sh->decode_routine.load(std::memory_order_relaxed);
    *automatic = routine == DECODE_AUTO;
    return FAMILIES[routine == DECODE_AUTO ? sh->decode_family : routine];
}

// f() with the interpreter lock released when `release`.
template <typename F>
inline auto unlocked_if(bool release, F f) {
    if (release) {
        PyThreadState *ts = PyEval_SaveThread();
        auto r = f();
        PyEval_RestoreThread(ts);
        return r;
    }
    return f();
}

// Whether src, of n bytes, is decoded with the lock released: long enough,
// and immutable (see the top of this file).
inline bool release_for(const Shared *sh, size_t n, bool immutable) {
    return immutable && static_cast<Py_ssize_t>(n) >= sh->release_from.load(std::memory_order_relaxed);
}

// --- building the str ------------------------------------------------------------------

constexpr uint32_t NO_FIRST = 0xFFFFFFFFu;

inline uint32_t bound_of(uint32_t c) { return c < 0x80u ? 0x7F : c < 0x100u ? 0xFF : c < 0x10000u ? 0xFFFF : 0x10FFFF; }

#ifdef Py_GIL_DISABLED
// Whether the units written keep the str canonical: the largest is in the
// class the measure gave.
template <class Unit>
bool units_fit(const Unit *d, size_t len, uint32_t max_char) {
    uint32_t top = 0;
    for (size_t i = 0; i < len; ++i) top = d[i] > top ? d[i] : top;
    return len == 0 || bound_of(top) == max_char;
}
#endif

// ASCII is its own code units: a copy, or the masking routine's masked copy,
// beats every transcoder; used when the routines are chosen automatically,
// so that a forced family runs its own (8 KiB of ASCII, `python -m
// tav.bench.decode`: 19.8 GB/s with the AVX-512 transcoder, 27.9 copied;
// masked, 11.0 and 17.8; bytes.decode 16.5).
size_t copy_ascii(const Shared *sh, const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst) {
    if (key == nullptr) {
        std::memcpy(dst, src, n);
    } else {
        xormask_state rec;
        init_masker_record(&rec, key);
        run_copy(sh, &rec, src, dst, n);
    }
    return n;
}

// The str of the valid src[0, n) measured as m, after the code point
// `first` unless NO_FIRST; nullptr with an error set on failure.
PyObject *build_str(const Shared *sh, const Family &f, bool automatic, const uint8_t *src, size_t n,
                    const uint8_t *key, const tav_utf8_measure &m, uint32_t first, bool release,
                    [[maybe_unused]] bool immutable) {
    const size_t o = first != NO_FIRST ? 1 : 0;
    const size_t len = m.length + o;
    uint32_t max_char = m.max_char;
    if (o != 0 && bound_of(first) > max_char) max_char = bound_of(first);
    PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(len), max_char);
    if (s == nullptr || len == 0) return s;
    void *data = PyUnicode_DATA(s);
    const int kind = PyUnicode_KIND(s);
    const size_t written = unlocked_if(release, [&]() -> size_t {
        if (automatic && max_char == 0x7F) return copy_ascii(sh, src, n, key, static_cast<uint8_t *>(data));  // o == 0 here
        if (kind == PyUnicode_1BYTE_KIND) {
            uint8_t *d = static_cast<uint8_t *>(data);
            if (o != 0) d[0] = static_cast<uint8_t>(first);
            return f.latin1(src, n, key, d + o, len - o);
        }
        if (kind == PyUnicode_2BYTE_KIND) {
            uint16_t *d = static_cast<uint16_t *>(data);
            if (o != 0) d[0] = static_cast<uint16_t>(first);
            return f.ucs2(src, n, key, d + o, len - o);
        }
        uint32_t *d = static_cast<uint32_t *>(data);
        if (o != 0) d[0] = first;
        return f.ucs4(src, n, key, d + o, len - o);
    });
    bool fits = written == len - o;
#ifdef Py_GIL_DISABLED
    if (fits && !immutable) {
        fits = kind == PyUnicode_1BYTE_KIND   ? units_fit(static_cast<const uint8_t *>(data), len, max_char)
               : kind == PyUnicode_2BYTE_KIND ? units_fit(static_cast<const uint16_t *>(data), len, max_char)
                                              : units_fit(static_cast<const uint32_t *>(data), len, max_char);
    }
#endif
    if (!fits) {  // only a buffer rewritten during the call gets here
        Py_DECREF(s);
        PyErr_SetString(PyExc_BufferError, "the buffer changed while it was being decoded");
        return nullptr;
    }
    // One character below U+0100 is CPython's cached one, as bytes.decode
    // returns it (from 3.13 those also hold their UTF-8 form, which
    // sys.getsizeof counts).
    if (len == 1 && kind == PyUnicode_1BYTE_KIND) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(s, 0);
        Py_DECREF(s);
        return PyUnicode_FromOrdinal(c);
    }
    return s;
}

// Short ASCII, the most common text message, skips the routines when they
// are chosen automatically: two calls through the family table cost more
// than the whole check and copy below (ns per decode_utf8() call on 3.11,
// AVX-512 routines / this path, bytes.decode 19 and 28: 16 B 28 / 16, 125 B
// 42 / 20; Cyrillic, which leaves at its first word, unchanged).
constexpr size_t SHORT_ASCII_UNTIL = 256;

// Whether the n bytes at src, fewer than SHORT_ASCII_UNTIL, are all ASCII;
// 8 bytes at a time, the last 8 overlapping, stopping at the first word
// that is not.
inline bool short_ascii(const uint8_t *src, size_t n) {
    constexpr uint64_t high = 0x8080808080808080ull;
    uint64_t w;
    if (n < 8) {
        unsigned acc = 0;
        for (size_t i = 0; i < n; ++i) acc |= src[i];
        return acc < 0x80u;
    }
    for (size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&w, src + i, 8);
        if (w & high) return false;
    }
    std::memcpy(&w, src + n - 8, 8);
    return (w & high) == 0;
}

size_t copy_ascii_prefix(const uint8_t *src, size_t n, uint8_t *dst);

// The str of n ASCII bytes; one character is CPython's cached one.
inline PyObject *ascii_str(const uint8_t *src, size_t n) {
    if (n == 1) return PyUnicode_FromOrdinal(src[0]);
    PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
    if (s == nullptr || n == 0) return s;
#ifdef Py_GIL_DISABLED
    // Another thread may rewrite an exported buffer at any time: copy only
    // what is checked as it is copied.
    if (copy_ascii_prefix(src, n, PyUnicode_1BYTE_DATA(s)) != n) {
        Py_DECREF(s);
        PyErr_SetString(PyExc_BufferError, "the buffer changed while it was being decoded");
        return nullptr;
    }
#else
    std::memcpy(PyUnicode_1BYTE_DATA(s), src, n);
#endif
    return s;
}

// Longer input that starts with ASCII is copied into an ASCII str as it is
// checked, one pass like CPython's own ASCII loop but 16 bytes at a time;
// at the first block that is not ASCII the copy is dropped, and only the
// rest is measured (`python -m tav.bench.decode`, 1 MiB of ASCII: 15.4
// GB/s measured then copied, 19.5 so, bytes.decode 16.1, a bare copy into
// a new object 19.6; 85 KiB: 25.1, 37.6, 20.8). Text that is not ASCII
// from its first 64 bytes never tries.

// Copies src[0, n) to dst up to the first 16-byte block (the first byte,
// in the last 15) that is not ASCII; returns the bytes copied, n for ASCII.
size_t copy_ascii_prefix(const uint8_t *src, size_t n, uint8_t *dst) {
    size_t i = 0;
#if defined(TAV_UTF8_X86_64)
    const auto load = [&](size_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + k)); };
    const auto store = [&](size_t k, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + k), v); };
    for (; n - i >= 64; i += 64) {
        const __m128i a = load(i), b = load(i + 16), c = load(i + 32), d = load(i + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
        store(i, a), store(i + 16, b), store(i + 32, c), store(i + 48, d);
    }
    for (; n - i >= 16; i += 16) {
        const __m128i a = load(i);
        if (_mm_movemask_epi8(a) != 0) return i;
        store(i, a);
    }
#else
    for (; n - i >= 8; i += 8) {
        uint64_t w;
        std::memcpy(&w, src + i, 8);
        if (w & 0x8080808080808080ull) return i;
        std::memcpy(dst + i, &w, 8);
    }
#endif
    for (; i < n; ++i) {
        if (src[i] >= 0x80u) return i;
        dst[i] = src[i];
    }
    return n;
}

// The measure of src[0, n) into m (0 valid, -1 not, CPython's positions),
// or, when the routines are chosen automatically and the input is ASCII,
// its str in *str at once; -2 with an error set when that str could not be
// made.
int measure_or_copy(const Family &f, bool automatic, const uint8_t *src, size_t n, bool release,
                    tav_utf8_measure *m, PyObject **str) {
    *str = nullptr;
    size_t prefix = 0;
    if (automatic && n >= SHORT_ASCII_UNTIL && short_ascii(src, 64)) {
        PyObject *s = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
        if (s == nullptr) return -2;
        uint8_t *dst = PyUnicode_1BYTE_DATA(s);
        prefix = unlocked_if(release, [&] { return copy_ascii_prefix(src, n, dst); });
        if (prefix == n) {
            *str = s;
            return 0;
        }
        Py_DECREF(s);
    }
    // The ASCII prefix ends at a character boundary: the rest measures alone.
    if (unlocked_if(release, [&] { return f.measure(src + prefix, n - prefix, nullptr, m); }) != 0) {
        m->start += prefix;
        m->end += prefix;
        return -1;
    }
    m->length += prefix;
    return 0;
}

// --- errors ------------------------------------------------------------------------------

const char *const REASONS[] = {nullptr, "invalid start byte", "invalid continuation byte", "unexpected end of data"};

// New bytes: a[0, na) then b[0, nb), the latter unmasked with key when given.
PyObject *joined(const uint8_t *a, size_t na, const uint8_t *b, size_t nb, const uint8_t *key) {
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(na + nb));
    if (out == nullptr) return nullptr;
    uint8_t *d = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
    if (na != 0) std::memcpy(d, a, na);
    if (key != nullptr) {
        tav_utf8::unmask_into(b, nb, key, 0, d + na);
    } else if (nb != 0) {
        std::memcpy(d + na, b, nb);
    }
    return out;
}

// Raises the UnicodeDecodeError bytes.decode raises for `object` (bytes).
PyObject *raise_decode_error(PyObject *object, size_t start, size_t end, int reason) {
    PyObject *exc = PyObject_CallFunction(PyExc_UnicodeDecodeError, "sOnns", "utf-8", object,
                                          static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end),
                                          REASONS[reason]);
    if (exc != nullptr) {
        PyErr_SetObject(PyExc_UnicodeDecodeError, exc);
        Py_DECREF(exc);
    }
    return nullptr;
}

// The error handler's name for CPython's decoder, checked as bytes.decode
// checks it; nullptr with an error set.
const char *handler_name(PyObject *errors) {
    Py_ssize_t size;
    const char *name = PyUnicode_AsUTF8AndSize(errors, &size);
    if (name != nullptr && std::strlen(name) != static_cast<size_t>(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return name;
}

// An `errors` argument: strict, else a handler for CPython's decoder.
struct Errors {
    bool strict = true;
    const char *name = nullptr;

    int take(PyObject *obj, const char *fname) {
        if (obj == nullptr) return 0;
        if (!PyUnicode_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "%s argument 'errors' must be str, not %s", fname, type_name(obj));
            return -1;
        }
        if ((name = handler_name(obj)) == nullptr) return -1;
        strict = std::strcmp(name, "strict") == 0;
        return 0;
    }
};

// --- decode_utf8() ---------------------------------------------------------------------------

const char *const DECODE_ARGS[] = {"data", "errors", "mask"};

PyObject *fn_decode_utf8(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *data, *errors = nullptr, *mask = nullptr;
    if (nargs == 1 && kwnames == nullptr) {
        data = args[0];
    } else {
        if (nargs > 2) {
            PyErr_Format(PyExc_TypeError, "decode_utf8() takes at most 2 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        PyObject *a[3];
        if (!parse_args("decode_utf8", args, nargs, kwnames, DECODE_ARGS, 1, 3, a)) return nullptr;
        data = a[0];
        errors = a[1];
        mask = a[2] != Py_None ? a[2] : nullptr;
    }
    const Shared *sh = module_state(module)->shared;
    uint8_t k[4];
    const uint8_t *key = nullptr;
    if (mask != nullptr) {  // the key's errors first, as tav.mask gives them
        if (parse_key(mask, k, TAV_KEY) < 0) return nullptr;
        key = k;
    }
    Input in;
    if (in.take(data, "decode_utf8()") < 0) return nullptr;
    Errors how;
    if (how.take(errors, "decode_utf8()") < 0) {
        in.release();
        return nullptr;
    }
    const size_t n = static_cast<size_t>(in.size);
    bool automatic;
    const Family &f = family_in_force(sh, &automatic);
    const bool release = release_for(sh, n, !in.exported);
    tav_utf8_measure m;
    PyObject *out = nullptr;
    int measured;
    if (automatic && key == nullptr && n < SHORT_ASCII_UNTIL && short_ascii(in.data, n)) {
        out = ascii_str(in.data, n);
    } else if ((measured = key == nullptr ? measure_or_copy(f, automatic, in.data, n, release, &m, &out)
                                          : unlocked_if(release, [&] { return f.measure(in.data, n, key, &m); })) == 0) {
        if (out == nullptr) out = build_str(sh, f, automatic, in.data, n, key, m, NO_FIRST, release, !in.exported);
    } else if (measured == -2) {
        out = nullptr;
    } else {
        // The error's object is the payload as bytes: the argument itself when it is one.
        PyObject *object = key == nullptr && !in.exported ? (Py_INCREF(data), data) : joined(nullptr, 0, in.data, n, key);
        if (object == nullptr) {
            out = nullptr;
        } else if (how.strict) {
            out = raise_decode_error(object, m.start, m.end, m.reason);
        } else {
            out = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object), how.name);
        }
        Py_XDECREF(object);
    }
    in.release();
    return out;
}

// --- Utf8Decoder --------------------------------------------------------------------------------

// The errors argument of the constructor and the attribute: an exact str
// (a subclass instance is copied, so the object holds nothing that could
// hold it back), or nullptr for the default, "strict", which costs no
// object until the attribute is read.
PyObject *errors_value(PyObject *obj, const char *what) {
    if (obj == nullptr) return nullptr;
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %s", what, type_name(obj));
        return nullptr;
    }
    return PyUnicode_FromObject(obj);
}

void decoder_set_errors(Decoder *self, PyObject *errors) {  // steals errors, which may be nullptr
    Py_XSETREF(self->errors, errors);
    self->strict = errors == nullptr || PyUnicode_CompareWithASCIIString(errors, "strict") == 0;
}

void decoder_ready(Decoder *self, PyObject *errors) {  // steals errors
    decoder_set_errors(self, errors);
    self->npending = 0;
}

const char *const ERRORS_ARG[] = {"errors"};
constexpr const char ERRORS_WHAT[] = "Utf8Decoder() argument 'errors'";

PyObject *decoder_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *owner;
    const Shared *sh = shared_of_type(type, &owner);
    if (sh == nullptr) return nullptr;
    PyObject *op = type->tp_alloc(type, 0);
    if (op == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    as_decoder(op)->sh = sh;
    as_decoder(op)->shared_owner = owner;
    return op;
}

int decoder_init(PyObject *op, PyObject *args, PyObject *kwds) {
    Decoder *self = as_decoder(op);
    if (self->flags.load(std::memory_order_acquire) != 0) {  // before the arguments: nothing changes
        PyErr_Format(PyExc_RuntimeError, "tav.%s is already initialized", DECODER);
        return -1;
    }
    static const char *kwlist[] = {"errors", nullptr};
    PyObject *arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:Utf8Decoder", const_cast<char **>(kwlist), &arg)) return -1;
    PyObject *errors = errors_value(arg, ERRORS_WHAT);
    if (errors == nullptr && arg != nullptr) return -1;
    if (!begin_init(self->flags, DECODER)) {
        Py_XDECREF(errors);
        return -1;
    }
    decoder_ready(self, errors);
    self->flags.store(F_READY, std::memory_order_release);
    return 0;
}

// Utf8Decoder(errors): one allocation, no tp_new/tp_init round.
PyObject *decoder_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *arg = nullptr;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0 || kwnames != nullptr) {
        if (nargs > 1) {
            PyErr_Format(PyExc_TypeError, "Utf8Decoder() takes at most 1 argument (%zd given)", nargs);
            return nullptr;
        }
        if (!parse_args("Utf8Decoder", args, nargs, kwnames, ERRORS_ARG, 0, 1, &arg)) return nullptr;
    }
    PyObject *errors = errors_value(arg, ERRORS_WHAT);
    if (errors == nullptr && arg != nullptr) return nullptr;
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    PyObject *owner;
    const Shared *sh = shared_of_exact_type(tp, &owner);
    PyObject *op = sh == nullptr ? nullptr : tp->tp_alloc(tp, 0);
    if (op == nullptr) {
        if (sh != nullptr) Py_DECREF(owner);
        Py_XDECREF(errors);
        return nullptr;
    }
    Decoder *self = as_decoder(op);
    self->sh = sh;
    self->shared_owner = owner;
    decoder_ready(self, errors);
    self->flags.store(F_READY, std::memory_order_relaxed);  // not yet seen by any other thread
    return op;
}

void decoder_dealloc(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    Decoder *self = as_decoder(op);
    if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
    PyObject *owner = self->shared_owner;
    Py_CLEAR(self->errors);
    tp->tp_free(op);
    Py_XDECREF(owner);
    Py_DECREF(tp);
}

// The stream pending + input is ill-formed at [start, end) (or, with final,
// ends inside a character): strict raises what (pending + input).decode()
// raises; other handlers run CPython's decoder over the same bytes, as
// codecs' incremental decoder does, and keep what it leaves unconsumed.
PyObject *decoder_failed(Decoder *self, const Input &in, size_t start, size_t end, int reason, bool final) {
    PyObject *whole = joined(self->pending, self->npending, in.data, static_cast<size_t>(in.size), nullptr);
    if (whole == nullptr) return nullptr;
    PyObject *out = nullptr;
    if (self->strict) {
        raise_decode_error(whole, start, end, reason);
    } else if (const char *handler = handler_name(self->errors); handler != nullptr) {
        const Py_ssize_t size = PyBytes_GET_SIZE(whole);
        Py_ssize_t consumed = size;
        out = PyUnicode_DecodeUTF8Stateful(PyBytes_AS_STRING(whole), size, handler, final ? nullptr : &consumed);
        // CPython leaves at most the 3 bytes of an open character; more would
        // be a decoder this code does not know.
        if (out != nullptr && size - consumed > static_cast<Py_ssize_t>(sizeof self->pending)) {
            Py_CLEAR(out);
            PyErr_SetString(PyExc_RuntimeError, "Utf8Decoder: CPython's decoder left more than one character open");
        } else if (out != nullptr) {
            self->npending = static_cast<uint8_t>(size - consumed);
            std::memcpy(self->pending, PyBytes_AS_STRING(whole) + consumed, self->npending);
        }
    }
    Py_DECREF(whole);
    return out;
}

PyObject *decode_chunk(Decoder *self, const Input &in, bool final);

// A pending state that no call leaves (setstate() took it): the stream
// pending + input decoded as one chunk.
PyObject *decode_joined(Decoder *self, const Input &in, bool final) {
    PyObject *whole = joined(self->pending, self->npending, in.data, static_cast<size_t>(in.size), nullptr);
    if (whole == nullptr) return nullptr;
    uint8_t saved[sizeof self->pending];
    const uint8_t nsaved = self->npending;
    std::memcpy(saved, self->pending, nsaved);
    self->npending = 0;
    Input all;
    all.take(whole, "");  // bytes: in place, cannot fail
    PyObject *out = decode_chunk(self, all, final);
    if (out == nullptr && self->npending == 0) {  // raised: the state stays as it was
        self->npending = nsaved;
        std::memcpy(self->pending, saved, nsaved);
    }
    Py_DECREF(whole);
    return out;
}

// pending + input decoded: the characters completed, and the bytes of one
// still open kept as the new pending state. A call that raises changes
// nothing.
PyObject *decode_chunk(Decoder *self, const Input &in, bool final) {
    const uint8_t *p = in.data;
    const size_t n = static_cast<size_t>(in.size);
    const size_t np = self->npending;
    tav_utf8_measure m;
    // First the character that the pending bytes begin, completed from the input.
    uint32_t first = NO_FIRST;
    size_t used = 0;
    if (np != 0) {
        const size_t need = tav_utf8::char_length(self->pending[0]);
        if (need <= np) return decode_joined(self, in, final);
        uint8_t head[4];
        const size_t take = std::min(need - np, n);
        std::memcpy(head, self->pending, np);
        std::memcpy(head + np, p, take);
        if (tav_utf8::measure_scalar(head, np + take, &m) != 0) {
            if (m.reason == TAV_UTF8_UNEXPECTED_END && !final) {  // all the input went in, still open
                std::memcpy(self->pending, head, np + take);
                self->npending = static_cast<uint8_t>(np + take);
                return PyUnicode_New(0, 0);
            }
            return decoder_failed(self, in, m.start, m.end, m.reason, final);
        }
        tav_utf8::decode_scalar(head, 0, need, &first, 0, 1);
        used = take;
    }
    // Then the rest, less the bytes of a character still open at its end.
    const uint8_t *rest = p + used;
    const size_t rn = n - used, base = np + used;  // base: the offset of rest[0] in pending + input
    const size_t lead = tav_utf8::lead_before(rest, rn);
    const size_t tail = lead < rn && tav_utf8::char_length(rest[lead]) > rn - lead ? rn - lead : 0;
    const size_t body = rn - tail;
    const Shared *sh = self->sh;
    bool automatic;
    const Family &f = family_in_force(sh, &automatic);
    const bool release = release_for(sh, body, !in.exported);
    const bool ascii = automatic && first == NO_FIRST && body < SHORT_ASCII_UNTIL && short_ascii(rest, body);
    PyObject *copied = nullptr;  // the str of an ASCII body, already made
    const int measured = ascii ? 0 : measure_or_copy(f, automatic && first == NO_FIRST, rest, body, release, &m, &copied);
    if (measured == -2) return nullptr;
    if (measured != 0) {
        // Cut before a lead byte, a character open at the body's end cannot go on.
        if (m.reason == TAV_UTF8_UNEXPECTED_END && tail != 0) m.reason = TAV_UTF8_INVALID_CONTINUATION;
        return decoder_failed(self, in, base + m.start, base + m.end, m.reason, final);
    }
    if (tail != 0) {
        tav_utf8_measure mt;
        tav_utf8::measure_scalar(rest + body, tail, &mt);  // never valid: it ends inside its character
        if (mt.reason != TAV_UTF8_UNEXPECTED_END || final) {
            Py_XDECREF(copied);
            return decoder_failed(self, in, base + body + mt.start, base + body + mt.end, mt.reason, final);
        }
    }
    PyObject *out = ascii       ? ascii_str(rest, body)
                    : copied != nullptr ? copied
                                : build_str(sh, f, automatic, rest, body, nullptr, m, first, release, !in.exported);
    if (out != nullptr) {
        std::memcpy(self->pending, rest + body, tail);
        self->npending = static_cast<uint8_t>(tail);
    }
    return out;
}

const char *const DECODE_METHOD_ARGS[] = {"input", "final"};

PyObject *decoder_decode(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *input, *final_arg = nullptr;
    if (nargs == 1 && kwnames == nullptr) {
        input = args[0];
    } else {
        PyObject *a[2];
        if (!parse_args("Utf8Decoder.decode", args, nargs, kwnames, DECODE_METHOD_ARGS, 1, 2, a)) return nullptr;
        input = a[0];
        final_arg = a[1];
    }
    bool final = false;
    if (final_arg != nullptr) {  // an int, as codecs' decoders take it
        const long v = PyLong_AsLong(final_arg);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        final = v != 0;
    }
    Decoder *self = as_decoder(op);
    Input in;
    if (in.take(input, "Utf8Decoder.decode()") < 0) return nullptr;
    unsigned seen;
    if (!enter(self->flags, seen)) {
        in.release();
        return refuse(seen, DECODER);
    }
    // A handler's name is checked at every call, as codecs' decoder checks it.
    PyObject *out = self->strict || handler_name(self->errors) != nullptr ? decode_chunk(self, in, final) : nullptr;
    leave(self->flags);
    in.release();
    return out;
}

PyObject *decoder_reset(PyObject *op, PyObject *) {
    Decoder *self = as_decoder(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, DECODER);
    self->npending = 0;
    leave(self->flags);
    Py_RETURN_NONE;
}

PyObject *decoder_getstate(PyObject *op, PyObject *) {
    Decoder *self = as_decoder(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, DECODER);
    uint8_t pending[sizeof self->pending];
    const Py_ssize_t np = self->npending;
    std::memcpy(pending, self->pending, static_cast<size_t>(np));
    leave(self->flags);
    return Py_BuildValue("(y#i)", reinterpret_cast<const char *>(pending), np, 0);
}

const char *const STATE_ARG[] = {"state"};

PyObject *decoder_setstate(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *state;
    if (nargs == 1 && kwnames == nullptr) {
        state = args[0];
    } else if (!parse_args("Utf8Decoder.setstate", args, nargs, kwnames, STATE_ARG, 1, 1, &state)) {
        return nullptr;
    }
    // state[0], the pending bytes, as codecs' decoders read it; state[1] is ignored as there.
    PyObject *zero = PyLong_FromLong(0);
    PyObject *item = zero == nullptr ? nullptr : PyObject_GetItem(state, zero);
    Py_XDECREF(zero);
    if (item == nullptr) return nullptr;
    Decoder *self = as_decoder(op);
    uint8_t pending[sizeof self->pending];
    Input in;
    if (in.take(item, "Utf8Decoder.setstate()") < 0) {
        Py_DECREF(item);
        return nullptr;
    }
    const Py_ssize_t np = in.size;
    if (np <= static_cast<Py_ssize_t>(sizeof pending)) std::memcpy(pending, in.data, static_cast<size_t>(np));
    in.release();
    Py_DECREF(item);
    if (np > static_cast<Py_ssize_t>(sizeof pending)) {
        PyErr_Format(PyExc_ValueError,
                     "Utf8Decoder.setstate() takes at most %d pending bytes, the start of one character; got %zd",
                     static_cast<int>(sizeof pending), np);
        return nullptr;
    }
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, DECODER);
    std::memcpy(self->pending, pending, static_cast<size_t>(np));
    self->npending = static_cast<uint8_t>(np);
    leave(self->flags);
    Py_RETURN_NONE;
}

PyObject *decoder_get_errors(PyObject *op, void *) {
    Decoder *self = as_decoder(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, DECODER);
    PyObject *errors = self->errors;
    Py_XINCREF(errors);
    leave(self->flags);
    return errors != nullptr ? errors : PyUnicode_InternFromString("strict");
}

// Assignable, as the errors attribute of codecs' decoders: the next call uses it.
int decoder_set_errors_attr(PyObject *op, PyObject *value, void *) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete the errors attribute of a Utf8Decoder");
        return -1;
    }
    PyObject *errors = errors_value(value, "Utf8Decoder.errors");
    if (errors == nullptr) return -1;  // never nullptr for a value given
    Decoder *self = as_decoder(op);
    unsigned seen;
    if (!enter(self->flags, seen)) {
        Py_DECREF(errors);
        refuse(seen, DECODER);
        return -1;
    }
    // The old value goes after the object is given back: its release can run no code, but stays out of the guard.
    PyObject *old = self->errors;
    self->errors = nullptr;
    decoder_set_errors(self, errors);
    leave(self->flags);
    Py_XDECREF(old);
    return 0;
}

using DecoderLifecycle = Lifecycle<Decoder, DECODER>;

PyObject *decoder_repr(PyObject *op) {
    Decoder *self = as_decoder(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refused_repr(seen, DECODER);
    PyObject *errors = self->errors;
    Py_XINCREF(errors);
    PyObject *pending = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(self->pending), self->npending);
    leave(self->flags);
    PyObject *out = nullptr;
    if (pending != nullptr && errors != nullptr) {
        out = PyUnicode_FromFormat("<Utf8Decoder errors=%R pending=%R>", errors, pending);
    } else if (pending != nullptr) {
        out = PyUnicode_FromFormat("<Utf8Decoder errors='strict' pending=%R>", pending);
    }
    Py_XDECREF(errors);
    Py_XDECREF(pending);
    return out;
}

PyMethodDef decoder_methods[] = {
    {"decode", as_cfunction(decoder_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, /, input, final=False)\n--\n\n"
     "Decode the next chunk (any C-contiguous bytes-like object of plain data): the characters\n"
     "completed so far. The bytes of a character still open stay for the next call; with\n"
     "final=True the stream ends here, and a character still open raises."},
    {"reset", decoder_reset, METH_NOARGS, "reset($self, /)\n--\n\nForget the open character, if any."},
    {"getstate", decoder_getstate, METH_NOARGS,
     "getstate($self, /)\n--\n\n(the bytes of the open character, 0), as codecs' UTF-8 decoder gives."},
    {"setstate", as_cfunction(decoder_setstate), METH_FASTCALL | METH_KEYWORDS,
     "setstate($self, /, state)\n--\n\nResume from a getstate() result."},
    {"__copy__", DecoderLifecycle::copy, METH_NOARGS, "Refused: a copy would share the stream."},
    {"__deepcopy__", DecoderLifecycle::copy, METH_O, "Refused: a copy would share the stream."},
    {"__reduce__", DecoderLifecycle::reduce, METH_NOARGS, "Refused: a decoder cannot be pickled."},
    {"__reduce_ex__", DecoderLifecycle::reduce, METH_O, "Refused: a decoder cannot be pickled."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"errors", decoder_get_errors, decoder_set_errors_attr,
     "The error handler: 'strict' fails fast; any other is CPython's, run as codecs' decoder runs it.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef decoder_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Decoder, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char decoder_doc[] =
    "Utf8Decoder(errors='strict')\n--\n\n"
    "An incremental UTF-8 decoder with the interface of codecs.getincrementaldecoder(\"utf-8\")().\n\n"
    "decode(input, final=False) returns the characters completed so far and keeps the\n"
    "bytes of an unfinished character (at most 3) for the next call; getstate() is\n"
    "(those bytes, 0). With errors='strict' it fails fast: the call that delivers the\n"
    "first byte that cannot continue well-formed UTF-8 raises, even where CPython's\n"
    "decoder would wait for more bytes (a chunk ending in ED A0, E0 80, F4 90, C0),\n"
    "with the UnicodeDecodeError that (pending + input).decode() raises. A call that\n"
    "raises changes no state. Other error handlers give what codecs' decoder gives.\n\n"
    "Sharing: one object serves one thread at a time; a call made while another\n"
    "thread is inside a method of the same object raises RuntimeError.\n"
    "Copying and pickling are refused (TypeError).";

PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char *>(decoder_doc)},
    {Py_tp_new, reinterpret_cast<void *>(decoder_new)},
    {Py_tp_init, reinterpret_cast<void *>(decoder_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(decoder_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(decoder_repr)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {Py_tp_members, decoder_members},
    {0, nullptr},
};

PyType_Spec decoder_type_def = {"tav.Utf8Decoder", sizeof(Decoder), 0, TYPE_FLAGS, decoder_slots};

// --- the routine switch (tests and benchmarks only) ---------------------------------------------

PyObject *fn_force_decode(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "_force_decode() takes at most 1 argument (%zd given)", nargs);
        return nullptr;
    }
    Shared *sh = module_state(module)->shared;
    const int previous = sh->decode_routine.load();
    if (nargs == 1 && args[0] != Py_None) {
        int routine = -1;
        for (int i = 0; i < FAMILY_COUNT && routine < 0; ++i) {
            if (PyUnicode_Check(args[0]) && PyUnicode_CompareWithASCIIString(args[0], DECODE_NAMES[i]) == 0) routine = i;
        }
        if (routine < 0) {
            PyErr_Format(PyExc_ValueError, "_force_decode(): unknown routine %R", args[0]);
            return nullptr;
        }
        if (routine > sh->decode_family) {
            PyErr_Format(PyExc_ValueError, "_force_decode(): this processor does not run the %s decoder",
                         DECODE_NAMES[routine]);
            return nullptr;
        }
        sh->decode_routine.store(routine);
    }
    return PyUnicode_FromString(DECODE_NAMES[previous]);
}

PyMethodDef decoder_private_functions[] = {
    {"_force_decode", as_cfunction(fn_force_decode), METH_FASTCALL,
     "_force_decode(routine=None, /)\n--\n\n"
     "For tests and benchmarks: force the decoder's routine family ('auto', 'scalar',\n"
     "'ssse3', 'avx2', 'avx512' on x86-64, 'neon' on aarch64); None leaves it as it is.\n"
     "Returns the previous name."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// --- in the module ------------------------------------------------------------------------------

namespace {

PyMethodDef decoder_functions[] = {
    {"decode_utf8", as_cfunction(fn_decode_utf8), METH_FASTCALL | METH_KEYWORDS,
     "decode_utf8(data, errors='strict', *, mask=None)\n--\n\n"
     "`data` (any C-contiguous bytes-like object of plain data) decoded from UTF-8:\n"
     "bytes(data).decode('utf-8', errors), the same str in the same kind.\n\n"
     "With errors='strict' invalid input raises the UnicodeDecodeError bytes.decode raises\n"
     "(encoding, object, start, end, reason). Given `mask` (4 bytes, as tav.mask takes), decodes\n"
     "the payload unmasked with that key from key byte 0, in one pass; `data` stays untouched."},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX < 0x030A0000
// Python 3.9 keeps a heap type's doc without its text signature: the class
// gets a __signature__, made when first asked for (as module.cpp does for
// the others), with the default the text signature gives from 3.10.
const char DECODER_SIGNATURE[] =
    "class DecoderSignature:\n"
    "    def __get__(self, obj, cls):\n"
    "        import inspect\n"
    "        kind = inspect.Parameter.POSITIONAL_OR_KEYWORD\n"
    "        return inspect.Signature([inspect.Parameter('errors', kind, default='strict')])\n"
    "signature = DecoderSignature()\n";

int add_decoder_signature(PyObject *type) {
    PyObject *globals = PyDict_New();
    if (globals == nullptr) return -1;
    int result = -1;
    PyObject *ran = nullptr, *signature;
    if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0 &&
        (ran = PyRun_String(DECODER_SIGNATURE, Py_file_input, globals, globals)) != nullptr &&
        (signature = PyDict_GetItemString(globals, "signature")) != nullptr &&
        PyObject_SetAttrString(type, "__signature__", signature) == 0) {
        result = 0;
    }
    Py_XDECREF(ran);
    Py_DECREF(globals);
    return result;
}
#endif

int decoder_exec(PyObject *module, ModuleState *st) {
    st->shared->decode_family = widest_decode_family(cpu_features());
    PyObject *type = PyType_FromModuleAndSpec(module, &decoder_type_def, nullptr);
    if (type == nullptr) return -1;
    // Calls of the exact type go straight to vectorcall; subclasses take tp_new and tp_init.
    reinterpret_cast<PyTypeObject *>(type)->tp_vectorcall = decoder_vectorcall;
#if PY_VERSION_HEX < 0x030A0000
    if (add_decoder_signature(type) < 0) {
        Py_DECREF(type);
        return -1;
    }
#endif
    if (PyModule_AddObject(module, DECODER, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    PyObject *name = PyUnicode_FromString("_tav_native");
    if (name == nullptr) return -1;
    PyObject *fn = PyCFunction_NewEx(decoder_private_functions, module, name);
    Py_DECREF(name);
    if (fn == nullptr || PyModule_AddObject(module, decoder_private_functions[0].ml_name, fn) < 0) {
        Py_XDECREF(fn);
        return -1;
    }
    // What "auto" decodes with here, for `tav --version` and the benchmarks.
    return PyModule_AddStringConstant(module, "DECODE_ROUTINE", DECODE_NAMES[st->shared->decode_family]);
}

}  // namespace
