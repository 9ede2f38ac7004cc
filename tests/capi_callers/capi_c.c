/* SPDX-License-Identifier: MIT */
/* A C extension that calls every entry of tav's C API, for tests/test_capi_callers.py.
 * Each function takes Python values, drives the entries and returns what they left. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h> /* memset */

#include "tav_capi.h"

static const tav_capi *tav;

static int key_of(PyObject *key, const uint8_t **out) {
    if (key == Py_None) {
        *out = NULL;
        return 0;
    }
    if (!PyBytes_Check(key) || PyBytes_GET_SIZE(key) != 4) {
        PyErr_SetString(PyExc_ValueError, "key must be 4 bytes or None");
        return -1;
    }
    *out = (const uint8_t *)PyBytes_AS_STRING(key);
    return 0;
}

static PyObject *api_version(PyObject *self, PyObject *args) {
    return Py_BuildValue("(Inin)", tav->version, (Py_ssize_t)tav->size, TAV_CAPI_VERSION, (Py_ssize_t)sizeof(tav_capi));
}

/* chunks: a list of bytes, or None to re-init the validator. Returns
 * [(status, current_index, total_index, state)] per chunk; the chunks are
 * validated without the GIL. */
static PyObject *validate_chunks(PyObject *self, PyObject *chunks) {
    tav_validator v;
    tav->validator_init(&v);
    PyObject *out = PyList_New(0);
    for (Py_ssize_t i = 0; out != NULL && i < PyList_GET_SIZE(chunks); ++i) {
        PyObject *chunk = PyList_GET_ITEM(chunks, i), *row;
        int status = 0;
        if (chunk == Py_None) {
            tav->validator_init(&v);
        } else {
            const uint8_t *p = (const uint8_t *)PyBytes_AS_STRING(chunk);
            size_t n = (size_t)PyBytes_GET_SIZE(chunk);
            Py_BEGIN_ALLOW_THREADS
            status = tav->validate(&v, p, n);
            Py_END_ALLOW_THREADS
        }
        row = Py_BuildValue("(innI)", status, (Py_ssize_t)v.current_index, (Py_ssize_t)v.total_index, v.state);
        if (row == NULL || PyList_Append(out, row) < 0) Py_CLEAR(out);
        Py_XDECREF(row);
    }
    return out;
}

/* mask_chunks(key, chunks, copy): each chunk masked in turn with one masker,
 * in place in a fresh bytes or as a masked copy. Returns (masked chunks, positions). */
static PyObject *mask_chunks(PyObject *self, PyObject *args) {
    PyObject *key, *chunks;
    int copy;
    const uint8_t *k;
    if (!PyArg_ParseTuple(args, "SO!p", &key, &PyList_Type, &chunks, &copy) || key_of(key, &k) < 0) return NULL;
    tav_masker m;
    tav->masker_init(&m, k);
    PyObject *masked = PyList_New(0), *positions = PyList_New(0);
    for (Py_ssize_t i = 0; masked != NULL && positions != NULL && i < PyList_GET_SIZE(chunks); ++i) {
        PyObject *chunk = PyList_GET_ITEM(chunks, i);
        Py_ssize_t n = PyBytes_GET_SIZE(chunk);
        /* A bytearray: a fresh bytes of length 0 or 1 is a shared singleton. */
        PyObject *dst = PyByteArray_FromStringAndSize(PyBytes_AS_STRING(chunk), n);
        if (dst == NULL) break;
        size_t position;
        if (copy) {
            memset(PyByteArray_AS_STRING(dst), 0, (size_t)n);
            position = tav->mask_copy(&m, (const uint8_t *)PyBytes_AS_STRING(chunk), (uint8_t *)PyByteArray_AS_STRING(dst), (size_t)n);
        } else {
            position = tav->mask(&m, (uint8_t *)PyByteArray_AS_STRING(dst), (size_t)n);
        }
        PyObject *pos = PyLong_FromSize_t(position);
        if (pos == NULL || position != m.position || PyList_Append(masked, dst) < 0 || PyList_Append(positions, pos) < 0) {
            if (pos != NULL && position != m.position) PyErr_SetString(PyExc_AssertionError, "returned position != record");
            Py_CLEAR(masked);
        }
        Py_DECREF(dst);
        Py_XDECREF(pos);
    }
    if (masked == NULL || positions == NULL) {
        Py_XDECREF(masked);
        Py_XDECREF(positions);
        return NULL;
    }
    return Py_BuildValue("(NN)", masked, positions);
}

/* mask_once(key, data, in_place): data masked from key byte 0, in place in a bytearray or copied. */
static PyObject *mask_once(PyObject *self, PyObject *args) {
    PyObject *key, *data;
    int in_place;
    const uint8_t *k;
    if (!PyArg_ParseTuple(args, "SSp", &key, &data, &in_place) || key_of(key, &k) < 0) return NULL;
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    PyObject *dst = PyByteArray_FromStringAndSize(PyBytes_AS_STRING(data), n);
    if (dst == NULL) return NULL;
    if (!in_place) memset(PyByteArray_AS_STRING(dst), 0, (size_t)n);
    const uint8_t *src = (const uint8_t *)(in_place ? PyByteArray_AS_STRING(dst) : PyBytes_AS_STRING(data));
    tav->mask_once(k, src, (uint8_t *)PyByteArray_AS_STRING(dst), (size_t)n);
    return dst;
}

/* decode(data, key, errors): key None for plain data, errors None for strict. */
static PyObject *decode(PyObject *self, PyObject *args) {
    PyObject *data, *key;
    const char *errors;
    const uint8_t *k;
    if (!PyArg_ParseTuple(args, "SOz", &data, &key, &errors) || key_of(key, &k) < 0) return NULL;
    return tav->decode((const uint8_t *)PyBytes_AS_STRING(data), (size_t)PyBytes_GET_SIZE(data), k, errors);
}

static PyMethodDef methods[] = {
    {"api_version", api_version, METH_NOARGS, NULL},
    {"validate_chunks", validate_chunks, METH_O, NULL},
    {"mask_chunks", mask_chunks, METH_VARARGS, NULL},
    {"mask_once", mask_once, METH_VARARGS, NULL},
    {"decode", decode, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

/* As a compiled reader does: the table once, at import; no tav, no module. */
static int exec_module(PyObject *module) {
    (void)module;
    tav = tav_capi_import();
    return tav == NULL ? -1 : 0;
}

static PyModuleDef_Slot slots[] = {
    {Py_mod_exec, (void *)exec_module},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "capi_c", NULL, 0, methods, slots, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_capi_c(void) { return PyModuleDef_Init(&module); }
