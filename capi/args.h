// SPDX-License-Identifier: MIT
// _tav_native, arguments and buffers: the bytes a call reads or rewrites, the
// masking key, arguments given by name, and the errors that name what was
// wrong with them. Part of the one unit that _tav_native.cpp builds.
#ifndef TAV_CAPI_ARGS_H
#define TAV_CAPI_ARGS_H

#include <cstdint>

#include "module.h"

namespace {

// The short name of obj's type: its tp_name after the last dot, as
// type(obj).__name__ gives it for an ordinary class. Read from the type
// itself, never from an attribute, which a metaclass could make anything.
const char *type_name(PyObject *obj);

// A read export of plain data in any layout, strided ones too; on failure -1,
// with the error worded as for the other takers.
int get_any_layout(PyObject *obj, Py_buffer *view, const char *what);

// Bytes to read: a bytes object in place, anything else through an export
// that `release` gives back. The export pins the memory while the
// interpreter lock is released.
struct Input {
    const uint8_t *data;
    Py_ssize_t size;
    Py_buffer view;
    bool exported;

    int take(PyObject *obj, const char *what);
    void release() {
        if (exported) PyBuffer_Release(&view);
    }
};

// Bytes to rewrite in place: a writable export, or an exact bytearray short
// enough that the lock stays held, where it lies.
struct InPlace {
    uint8_t *data;
    Py_ssize_t size;
    Py_buffer view;
    bool exported;

    int take(PyObject *obj, const Shared *sh, const char *what);
    void release() {
        if (exported) PyBuffer_Release(&view);
    }
};

// How a masking call words its key errors: tav's own, or websockets' for apply_mask.
struct KeyWords {
    const char *not_bytes;  // %s: the type's name
    const char *bad_size;   // %zd: the size given
};
constexpr KeyWords TAV_KEY = {"the key must be a bytes-like object of 4 bytes, not %s",
                              "the key must be exactly 4 bytes, got %zd"};
constexpr KeyWords WEBSOCKETS_MASK = {"mask must be a bytes-like object, not %s", "mask must contain 4 bytes"};

// The 4 key bytes of any bytes-like object, as memoryview(key).tobytes() gives them.
int parse_key(PyObject *key, uint8_t out[4], const KeyWords &words);

// Arguments of a METH_FASTCALL | METH_KEYWORDS callable, positional or by
// name, into out[0..nmax-1] (nullptr where not given).
bool parse_args(const char *fname, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                const char *const *names, int nreq, int nmax, PyObject **out);

// Two arguments, positional (the per-frame call) or by name.
bool two_args(const char *fname, const char *const names[2], PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames, PyObject **a, PyObject **b);

}  // namespace

#endif  // TAV_CAPI_ARGS_H
