// SPDX-License-Identifier: MIT
// _tav_native's C API (see capsule.h and tav/include/tav_capi.h). Compiled as
// part of _tav_native.cpp, which includes it.
//
// The table and the routine choice it reads are static: a caller keeps the
// table for the life of the process, past the module object and in every
// interpreter, so nothing it points at may go with a module. The choice is
// "auto" on this processor, made once (TAV_CPU_FEATURES_MASK applies, as for
// the module); _force_routines() does not reach it.
#include "capsule.h"

#include <cstddef>  // offsetof
#include <cstring>  // memcpy, strcmp

#include "../tav/include/tav_capi.h"
#include "routines.h"

namespace {

// The caller's records have the libraries' layouts; the entries copy them in
// and out instead of reading one type through the other.
static_assert(sizeof(tav_validator) == sizeof(utf8vld_state) &&
                  offsetof(tav_validator, current_index) == offsetof(utf8vld_state, current_index) &&
                  offsetof(tav_validator, total_index) == offsetof(utf8vld_state, total_index) &&
                  offsetof(tav_validator, state) == offsetof(utf8vld_state, state) &&
                  offsetof(tav_validator, reserved) == offsetof(utf8vld_state, impl),
              "tav_validator has the layout of utf8vld_state");
static_assert(sizeof(tav_masker) == sizeof(xormask_state) && offsetof(tav_masker, key) == offsetof(xormask_state, mask) &&
                  offsetof(tav_masker, position) == offsetof(xormask_state, pointer) &&
                  offsetof(tav_masker, reserved) == offsetof(xormask_state, impl),
              "tav_masker has the layout of xormask_state");

// --- the routines in force ----------------------------------------------------------

// The decoder's routines of one family: the measure and the three transcoders.
struct DecodeRoutines {
    int (*measure)(const uint8_t *, size_t, const uint8_t *, tav_utf8_measure *);
    size_t (*to_latin1)(const uint8_t *, size_t, const uint8_t *, uint8_t *, size_t);
    size_t (*to_ucs2)(const uint8_t *, size_t, const uint8_t *, uint16_t *, size_t);
    size_t (*to_ucs4)(const uint8_t *, size_t, const uint8_t *, uint32_t *, size_t);
};

struct CapiRoutines {
    Shared sh;  // as a module's, with every switch at "auto"; no status objects
    const DecodeRoutines *decode;
};

const DecodeRoutines DECODE_SCALAR = {tav_utf8_measure_scalar, tav_utf8_to_latin1_scalar, tav_utf8_to_ucs2_scalar,
                                      tav_utf8_to_ucs4_scalar};
#if defined(__x86_64__)
const DecodeRoutines DECODE_SSSE3 = {tav_utf8_measure_ssse3, tav_utf8_to_latin1_ssse3, tav_utf8_to_ucs2_ssse3,
                                     tav_utf8_to_ucs4_ssse3};
const DecodeRoutines DECODE_AVX2 = {tav_utf8_measure_avx2, tav_utf8_to_latin1_avx2, tav_utf8_to_ucs2_avx2,
                                    tav_utf8_to_ucs4_avx2};
const DecodeRoutines DECODE_AVX512 = {tav_utf8_measure_avx512, tav_utf8_to_latin1_avx512, tav_utf8_to_ucs2_avx512,
                                      tav_utf8_to_ucs4_avx512};
#endif

// The widest decoder family this processor runs.
const DecodeRoutines *decode_routines(unsigned features) {
#if defined(__x86_64__)
    constexpr unsigned avx512 = TAV_CPU_AVX512F | TAV_CPU_AVX512BW | TAV_CPU_AVX512VBMI2;
    if ((features & avx512) == avx512) return &DECODE_AVX512;
    if (features & TAV_CPU_AVX2) return &DECODE_AVX2;
    if (features & TAV_CPU_SSSE3) return &DECODE_SSSE3;
#endif
    (void)features;
    return &DECODE_SCALAR;
}

// Asked once, by the first module exec of the process (a thread-safe static).
const CapiRoutines &capi_routines() {
    static const CapiRoutines *const routines = [] {
        static CapiRoutines r{};
        const unsigned features = cpu_features();
        r.sh.has_sse41 = (features & TAV_CPU_SSE41) != 0;
        r.sh.vector_routine = best_vector_routine(features);
        r.sh.auto_mask = widest_mask(features);
        r.sh.utf8_routine.store(UTF8_AUTO);
        r.sh.mask_routine.store(MASK_AUTO);
        r.sh.release_from.store(RELEASE_GIL_THRESHOLD);
        r.decode = decode_routines(features);
        return &r;
    }();
    return *routines;
}

// --- validation and masking: no Python object, no interpreter lock ------------------

void capi_validator_init(tav_validator *v) {
    utf8vld_state rec;
    init_validator_record(&rec);
    std::memcpy(v, &rec, sizeof rec);
}

int capi_validate(tav_validator *v, const uint8_t *data, size_t length) {
    if (v->state == UTF8_REJECT) return TAV_STATUS_INVALID;  // sticky, as Utf8Validator: no byte is read
    utf8vld_state rec;
    std::memcpy(&rec, v, sizeof rec);
    // Exact: a rejection leaves the offsets the dispatcher alone leaves.
    const int result = run_validate(&capi_routines().sh, &rec, data, length, true);
    std::memcpy(v, &rec, sizeof rec);
    return result;
}

void capi_masker_init(tav_masker *m, const uint8_t key[4]) {
    xormask_state rec;
    init_masker_record(&rec, key);
    std::memcpy(m, &rec, sizeof rec);
}

size_t capi_mask(tav_masker *m, uint8_t *data, size_t length) {
    xormask_state rec;
    std::memcpy(&rec, m, sizeof rec);
    run_mask(&capi_routines().sh, &rec, data, length);
    std::memcpy(m, &rec, sizeof rec);
    return rec.pointer;
}

size_t capi_mask_copy(tav_masker *m, const uint8_t *src, uint8_t *dst, size_t length) {
    xormask_state rec;
    std::memcpy(&rec, m, sizeof rec);
    run_copy(&capi_routines().sh, &rec, src, dst, length);
    std::memcpy(m, &rec, sizeof rec);
    return rec.pointer;
}

// The copy routines also mask in place (src == dst), so one entry serves both.
void capi_mask_once(const uint8_t key[4], const uint8_t *src, uint8_t *dst, size_t length) {
    xormask_state rec;
    init_masker_record(&rec, key);
    run_copy(&capi_routines().sh, &rec, src, dst, length);
}

// --- decoding: with the interpreter lock ----------------------------------------------

// data unmasked with key into a new bytes object.
PyObject *unmasked_bytes(const uint8_t *data, size_t length, const uint8_t *key) {
    PyObject *raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (raw != nullptr) capi_mask_once(key, data, reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(raw)), length);
    return raw;
}

// The UnicodeDecodeError of bytes.decode("utf-8") for the rejected input, whose
// `object` is the unmasked bytes.
void set_decode_error(const uint8_t *data, size_t length, const uint8_t *key, const tav_utf8_measure &m) {
    static const char *const reasons[] = {nullptr, "invalid start byte", "invalid continuation byte",
                                          "unexpected end of data"};
    PyObject *raw = nullptr;
    if (key != nullptr) {
        if ((raw = unmasked_bytes(data, length, key)) == nullptr) return;
        data = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(raw));
    }
    PyObject *exc = PyUnicodeDecodeError_Create("utf-8", reinterpret_cast<const char *>(data),
                                                static_cast<Py_ssize_t>(length), static_cast<Py_ssize_t>(m.start),
                                                static_cast<Py_ssize_t>(m.end), reasons[m.reason]);
    Py_XDECREF(raw);
    if (exc == nullptr) return;
    PyErr_SetObject(PyExc_UnicodeDecodeError, exc);
    Py_DECREF(exc);
}

// Another error handler than "strict": CPython's decoder applies it, on the
// unmasked bytes.
PyObject *decode_with_handler(const uint8_t *data, size_t length, const uint8_t *key, const char *errors) {
    if (key == nullptr) {
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(length), errors);
    }
    PyObject *raw = unmasked_bytes(data, length, key);
    if (raw == nullptr) return nullptr;
    PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), errors);
    Py_DECREF(raw);
    return text;
}

// Measured first, for the str's length and kind, then transcoded into it.
PyObject *capi_decode(const uint8_t *data, size_t length, const uint8_t *key, const char *errors) {
    if (length > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    if (errors != nullptr && std::strcmp(errors, "strict") != 0) return decode_with_handler(data, length, key, errors);
    if (length == 0) return PyUnicode_New(0, 0);
    const DecodeRoutines *d = capi_routines().decode;
    tav_utf8_measure m;
    if (d->measure(data, length, key, &m) < 0) {
        set_decode_error(data, length, key, m);
        return nullptr;
    }
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(m.length), static_cast<Py_UCS4>(m.max_char));
    if (text == nullptr) return nullptr;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: d->to_latin1(data, length, key, PyUnicode_1BYTE_DATA(text), m.length); break;
        case PyUnicode_2BYTE_KIND: d->to_ucs2(data, length, key, PyUnicode_2BYTE_DATA(text), m.length); break;
        default: d->to_ucs4(data, length, key, PyUnicode_4BYTE_DATA(text), m.length); break;
    }
    return text;
}

// --- the capsule ----------------------------------------------------------------------

// Appended to, never reordered: TAV_CAPI_VERSION counts the additions.
const tav_capi CAPI_TABLE = {
    TAV_CAPI_VERSION, sizeof(tav_capi), capi_validator_init, capi_validate, capi_masker_init,
    capi_mask,        capi_mask_copy,   capi_mask_once,      capi_decode,
};

int capsule_exec(PyObject *module) {
    capi_routines();  // the processor asked now rather than in a caller's first call
    PyObject *capsule = PyCapsule_New(const_cast<tav_capi *>(&CAPI_TABLE), TAV_CAPI_CAPSULE, nullptr);
    if (capsule == nullptr) return -1;
    if (PyModule_AddObject(module, "_C_API", capsule) < 0) {
        Py_DECREF(capsule);
        return -1;
    }
    return 0;
}

}  // namespace
