// SPDX-License-Identifier: MIT
// _tav_native's C API (see capsule.h and tav/include/tav_capi.h). Compiled as
// part of _tav_native.cpp, which includes it.
//
// The table and the routine choice it reads are static: a caller keeps the
// table for the life of the process, past the module object and in every
// interpreter, so nothing it points at may go with a module. The choice is
// "auto" on this processor, made once (TAV_CPU_FEATURES_MASK applies, as for
// the module); _force_routines() and _force_decode() do not reach it. The
// decoding entry runs decoder.cpp's steps, which the unit includes before
// this file.
#include "capsule.h"

#include <cstddef>  // offsetof
#include <cstring>  // memcpy, strcmp

#include "../tav/include/tav_capi.h"
#include "decoder.h"
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

// Asked once, by the first module exec of the process (a thread-safe static):
// a module's shared state with every switch at "auto", and no status objects.
const Shared &capi_routines() {
    static const Shared *const routines = [] {
        static Shared sh{};
        const unsigned features = cpu_features();
        choose_routines(&sh, features);  // as for every module object
        sh.decode_family = widest_decode_family(features);  // as decoder_exec() sets it
        sh.decode_routine.store(DECODE_AUTO);
        return &sh;
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
    const int result = run_validate(&capi_routines(), &rec, data, length, true);
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
    run_mask(&capi_routines(), &rec, data, length);
    std::memcpy(m, &rec, sizeof rec);
    return rec.pointer;
}

size_t capi_mask_copy(tav_masker *m, const uint8_t *src, uint8_t *dst, size_t length) {
    xormask_state rec;
    std::memcpy(&rec, m, sizeof rec);
    run_copy(&capi_routines(), &rec, src, dst, length);
    std::memcpy(m, &rec, sizeof rec);
    return rec.pointer;
}

// The copy routines also mask in place (src == dst), so one entry serves both.
void capi_mask_once(const uint8_t key[4], const uint8_t *src, uint8_t *dst, size_t length) {
    xormask_state rec;
    init_masker_record(&rec, key);
    run_copy(&capi_routines(), &rec, src, dst, length);
}

// --- decoding: with the interpreter lock ----------------------------------------------

// decode_utf8()'s steps (decoder.cpp), on a pointer and a length. The caller's
// buffer may be one that another thread could rewrite, so the lock is held
// and, on free-threaded builds, the units are checked against the measure.
PyObject *capi_decode(const uint8_t *data, size_t length, const uint8_t *key, const char *errors) {
    if (length > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    const Shared *sh = &capi_routines();
    bool automatic;
    const Family &f = family_in_force(sh, &automatic);
    if (automatic && key == nullptr && length < SHORT_ASCII_UNTIL && short_ascii(data, length)) {
        return ascii_str(data, length);
    }
    tav_utf8_measure m;
    if (f.measure(data, length, key, &m) == 0) {
        return build_str(sh, f, automatic, data, length, key, m, NO_FIRST, false, false);
    }
    // The error's object, and the input of another error handler, is the
    // payload unmasked, as bytes.
    PyObject *object = joined(nullptr, 0, data, length, key);
    if (object == nullptr) return nullptr;
    PyObject *out = errors == nullptr || std::strcmp(errors, "strict") == 0
                        ? raise_decode_error(object, m.start, m.end, m.reason)
                        : PyUnicode_DecodeUTF8(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object), errors);
    Py_DECREF(object);
    return out;
}

// --- the capsule ----------------------------------------------------------------------

// Appended to, never reordered: TAV_CAPI_VERSION counts the additions.
const tav_capi CAPI_TABLE = {
    TAV_CAPI_VERSION, sizeof(tav_capi), capi_validator_init, capi_validate, capi_masker_init,
    capi_mask,        capi_mask_copy,   capi_mask_once,      capi_decode,
};

// (vector validator, masking policy, decoder family) of the table, in the
// forms of the module's VECTOR_ROUTINE, MASK_AUTO and DECODE_ROUTINE, which
// tests compare them with.
PyObject *capi_routine_names(const Shared *sh) {
    const char *vector = sh->vector_routine != 0 ? UTF8_NAMES[sh->vector_routine] : "none";
    const char *decode = DECODE_NAMES[sh->decode_family];
    if (sh->auto_large == sh->auto_mask) {
        return Py_BuildValue("(s((sn))s)", vector, MASK_NAMES[sh->auto_mask], Py_ssize_t{0}, decode);
    }
    return Py_BuildValue("(s((sn)(sn))s)", vector, MASK_NAMES[sh->auto_mask], Py_ssize_t{0}, MASK_NAMES[sh->auto_large],
                         static_cast<Py_ssize_t>(sh->auto_large_from), decode);
}

int capsule_exec(PyObject *module) {
    PyObject *names = capi_routine_names(&capi_routines());  // the processor asked now, not in a caller's first call
    if (names == nullptr || PyModule_AddObject(module, "_C_API_ROUTINES", names) < 0) {
        Py_XDECREF(names);
        return -1;
    }
    PyObject *capsule = PyCapsule_New(const_cast<tav_capi *>(&CAPI_TABLE), TAV_CAPI_CAPSULE, nullptr);
    if (capsule == nullptr) return -1;
    if (PyModule_AddObject(module, "_C_API", capsule) < 0) {
        Py_DECREF(capsule);
        return -1;
    }
    return 0;
}

}  // namespace
