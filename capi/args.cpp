// SPDX-License-Identifier: MIT
// _tav_native, arguments and buffers (see args.h). Compiled as part of
// _tav_native.cpp, which includes it.
//
// Buffers: bytes are read in place; anything else goes through
// PyObject_GetBuffer with PyBUF_ND | PyBUF_FORMAT, and PyBUF_WRITABLE to write:
// that refuses non-contiguous (and read-only) buffers and tells what the items
// are (a memoryview of items wider than a byte gives its format only with its
// shape), and is released on every exit. Only plain data is taken: a
// buffer of object pointers (numpy's dtype=object, ctypes' c_void_p) is
// refused, since masking it would corrupt the objects and reading it would
// read addresses.
#include "args.h"

#include <cstring>  // memcpy, strchr, strrchr

namespace {

const char *type_name(PyObject *obj) {
    const char *name = Py_TYPE(obj)->tp_name;
    const char *dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
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

// Whether items of this struct-module format are plain data: no format (bytes)
// or item codes of cbB?hHiIlLqQnNefd only, after an optional byte-order
// prefix, each with an optional repeat count. Anything else, pointers ('P'),
// objects ('O'), structures, or what cannot be parsed, is not.
bool plain_format(const char *format) {
    if (format == nullptr || (format[0] == 'B' && format[1] == '\0')) return true;
    const char *p = format;
    if (*p != '\0' && std::strchr("@=<>!", *p) != nullptr) ++p;
    if (*p == '\0') return false;
    while (*p != '\0') {
        while (*p >= '0' && *p <= '9') ++p;
        if (*p == '\0' || std::strchr("cbB?hHiIlLqQnNefd", *p) == nullptr) return false;
        ++p;
    }
    return true;
}

// 0 for an export of plain data; otherwise releases it and raises TypeError.
int check_plain(Py_buffer *view, const char *what) {
    if (plain_format(view->format)) return 0;
    PyErr_Format(PyExc_TypeError, "%s takes a buffer of plain data, not items of format '%.100s'", what, view->format);
    PyBuffer_Release(view);
    return -1;
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
    if (exc == nullptr) return -1;
    if (not_a_buffer) {
        PyErr_Format(PyExc_TypeError, "%s takes a bytes-like object, not %s", what, type_name(obj));
    } else {
        PyErr_Format(reinterpret_cast<PyObject *>(Py_TYPE(exc)), "%s cannot use the %s given as a C-contiguous buffer: %S",
                     what, type_name(obj), exc);
    }
    Py_DECREF(exc);
    return -1;
}

int get_readable(PyObject *obj, Py_buffer *view, const char *what) {
    if (PyObject_GetBuffer(obj, view, PyBUF_ND | PyBUF_FORMAT) < 0) return explain_read_error(obj, what);
    return check_plain(view, what);
}

int get_any_layout(PyObject *obj, Py_buffer *view, const char *what) {
    if (PyObject_GetBuffer(obj, view, PyBUF_FULL_RO) < 0) return explain_read_error(obj, what);
    return check_plain(view, what);
}

int get_writable(PyObject *obj, Py_buffer *view, const char *what) {
    if (PyObject_GetBuffer(obj, view, PyBUF_ND | PyBUF_WRITABLE | PyBUF_FORMAT) == 0) return check_plain(view, what);
    // Only a refusal can mean read-only; anything else (MemoryError,
    // KeyboardInterrupt, OSError from a __buffer__ method) passes unchanged.
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return -1;
    }
    PyErr_Clear();
    // Tell read-only buffers apart from things that are no buffer at all.
    if (get_readable(obj, view, what) < 0) return -1;
    PyBuffer_Release(view);
    PyErr_Format(PyExc_TypeError, "%s needs a writable buffer; the %s given is read-only", what, type_name(obj));
    return -1;
}

int Input::take(PyObject *obj, const char *what) {
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

// An exact bytearray short enough that the lock stays held is written where
// it lies, without an export: while the lock is held and only native code
// runs, nothing can resize or free it (measured: the export is 5.5 ns of a
// 28.7 ns one-shot call at 16 B). Without the GIL another thread could resize
// it meanwhile, so free-threaded builds always export, as every other
// writable buffer is.
int InPlace::take(PyObject *obj, const Shared *sh, const char *what) {
#ifndef Py_GIL_DISABLED
    if (PyByteArray_CheckExact(obj) && PyByteArray_GET_SIZE(obj) < sh->release_from.load(std::memory_order_relaxed)) {
        data = reinterpret_cast<uint8_t *>(PyByteArray_AS_STRING(obj));
        size = PyByteArray_GET_SIZE(obj);
        exported = false;
        return 0;
    }
#else
    (void)sh;
#endif
    if (get_writable(obj, &view, what) < 0) return -1;
    data = static_cast<uint8_t *>(view.buf);
    size = view.len;
    exported = true;
    return 0;
}

int parse_key(PyObject *key, uint8_t out[4], const KeyWords &words) {
    if (PyBytes_CheckExact(key) && PyBytes_GET_SIZE(key) == 4) {
        std::memcpy(out, PyBytes_AS_STRING(key), 4);
        return 0;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(key, &view, PyBUF_FULL_RO) < 0) {
        if (!PyObject_CheckBuffer(key) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, words.not_bytes, type_name(key));
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

// The common positional call never reaches the name loop.
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

}  // namespace
