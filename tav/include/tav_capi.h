/* SPDX-License-Identifier: MIT */
/* tav's C API: incremental UTF-8 validation, WebSocket masking and decoding
 * for C, C++ and Cython extension modules, without a Python call.
 *
 * The native module _tav_native publishes a table of function pointers in
 * the capsule _tav_native._C_API. An extension fetches it once, at its own
 * module init, with tav_capi_import(), and keeps the pointer: the table is
 * static, so it stays valid for the life of the process.
 *
 *     static const tav_capi *tav;
 *     ...
 *     tav = tav_capi_import();           // in the module's init or exec
 *     if (tav == NULL) return NULL;      // ImportError set
 *
 *     tav_masker m;
 *     tav->masker_init(&m, key);
 *     tav->mask(&m, payload, n);         // in place, key phase carried on
 *
 * Build with the folder of this header on the include path:
 * tav.get_include(). The capsule exists on CPython only: on PyPy, and where
 * tav's native module cannot be imported, tav_capi_import() raises
 * ImportError with the reason.
 *
 * Each entry picks its routine the way tav's own calls do: the widest the
 * processor runs, checked once, so no entry meets an instruction the
 * processor lacks. The entries marked "no GIL" touch no Python object and
 * may run with the interpreter lock released (Cython: in a `with nogil`
 * block); each record is used by one thread at a time, as the caller
 * arranges. The entries have the exact results of tav's safe API, on
 * records the caller owns: nothing is allocated, nothing needs freeing. */
#ifndef TAV_CAPI_H
#define TAV_CAPI_H

#include <Python.h>
#include <stddef.h> /* size_t */
#include <stdint.h> /* uint8_t */

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the table this header declares. A later version only
 * appends entries, so a module with a higher version serves this header. */
#define TAV_CAPI_VERSION 1

/* The capsule's name, which is also where PyCapsule_Import finds it. */
#define TAV_CAPI_CAPSULE "_tav_native._C_API"

/* What validate() returns: the values of tav.Utf8Status. */
#define TAV_STATUS_INVALID (-1)   /* an invalid byte has been seen (sticky until validator_init) */
#define TAV_STATUS_COMPLETE 0     /* complete, well-formed UTF-8 so far */
#define TAV_STATUS_INCOMPLETE 1   /* well-formed so far, but inside a character */

/* A UTF-8 validator's state, carried from chunk to chunk. Set up with
 * validator_init(); the fields may be read at any time. */
typedef struct tav_validator {
    size_t current_index; /* after the last call: the offset of the rejected byte in its
                           * chunk if it returned TAV_STATUS_INVALID, else the chunk's length */
    size_t total_index;   /* bytes validated since init; once rejected, the offset of the
                           * rejected byte in the stream (tav.Utf8Validator.error_offset) */
    int state;            /* 0 at a character boundary, 1 rejected, else inside a character */
    int reserved;         /* set by validator_init; not to be changed */
} tav_validator;

/* A masker's state: the key and the stream position, whose value mod 4 is
 * the key phase. Set up with masker_init(); the fields may be read. */
typedef struct tav_masker {
    uint8_t key[4];  /* the key, as given */
    size_t position; /* bytes masked since init (tav.XorMasker.position) */
    int reserved;    /* set by masker_init; not to be changed */
} tav_masker;

typedef struct tav_capi {
    unsigned int version; /* TAV_CAPI_VERSION of the module, 1 or more */
    size_t size;          /* sizeof the module's table */

    /* Validation with carried state (tav.Utf8Validator). No GIL. */
    /* A fresh validator, or a used one reset. */
    void (*validator_init)(tav_validator *v);
    /* The next chunk of the stream: TAV_STATUS_* for everything validated so
     * far. Once the stream is invalid it stays so: later calls read no byte,
     * return TAV_STATUS_INVALID and leave the record as it is. */
    int (*validate)(tav_validator *v, const uint8_t *data, size_t length);

    /* Masking with carried key phase (tav.XorMasker), RFC 6455 section 5.3. No GIL. */
    /* A masker for the 4-byte key, at position 0. */
    void (*masker_init)(tav_masker *m, const uint8_t key[4]);
    /* Mask data[0, length) in place; returns the new position. */
    size_t (*mask)(tav_masker *m, uint8_t *data, size_t length);
    /* dst[i] = src[i] masked, for i < length, in one pass; src is only read,
     * and is dst or does not overlap it. Returns the new position. */
    size_t (*mask_copy)(tav_masker *m, const uint8_t *src, uint8_t *dst, size_t length);

    /* One-shot masking from key byte 0 (tav.mask, tav.mask_in_place): dst[i]
     * = src[i] masked, for i < length; src is dst (in place) or does not
     * overlap it. No GIL. */
    void (*mask_once)(const uint8_t key[4], const uint8_t *src, uint8_t *dst, size_t length);

    /* Decoding (tav.decode_utf8): data[0, length) decoded from UTF-8 into a
     * new str, unmasked on the way with the 4-byte `key` from key byte 0
     * unless key is NULL; data is only read. `errors` is NULL for "strict"
     * or a codec error handler's name, as bytes.decode takes it. Returns a
     * new reference, or NULL with the exception set: with "strict", the
     * UnicodeDecodeError that bytes.decode("utf-8") raises for the unmasked
     * bytes. Needs the GIL, which it holds throughout. */
    PyObject *(*decode)(const uint8_t *data, size_t length, const uint8_t *key, const char *errors);
} tav_capi;

/* The table, or NULL with ImportError set: on PyPy, where tav's native
 * module cannot be imported, or where the module's table is older than this
 * header. Call it with the GIL held, once, and keep the result. */
static inline const tav_capi *tav_capi_import(void) {
#if defined(PYPY_VERSION)
    PyErr_SetString(PyExc_ImportError,
                    "tav's C API is CPython-only: on PyPy tav runs its cffi backend, which has no capsule");
    return NULL;
#else
    /* The module first, so that a failure says why. */
    PyObject *module = PyImport_ImportModule("_tav_native");
    if (module == NULL) {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *cause = PyErr_GetRaisedException();
#else
        PyObject *type, *cause, *tb;
        PyErr_Fetch(&type, &cause, &tb);
        PyErr_NormalizeException(&type, &cause, &tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
#endif
        PyErr_Format(PyExc_ImportError, "tav's C API needs tav's native module _tav_native, which cannot be imported: %S",
                     cause);
        Py_XDECREF(cause);
        return NULL;
    }
    Py_DECREF(module);
    const tav_capi *api = (const tav_capi *)PyCapsule_Import(TAV_CAPI_CAPSULE, 0);
    if (api == NULL) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                        "tav's native module _tav_native has no C API capsule " TAV_CAPI_CAPSULE ": it is older than this header");
        return NULL;
    }
    if (api->version < TAV_CAPI_VERSION || api->size < sizeof(tav_capi)) {
        PyErr_Format(PyExc_ImportError, "tav's C API is version %u, older than the version %d this extension was built for",
                     api->version, TAV_CAPI_VERSION);
        return NULL;
    }
    return api;
#endif
}

#ifdef __cplusplus
}
#endif

#endif /* TAV_CAPI_H */
