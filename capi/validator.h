// SPDX-License-Identifier: MIT
// _tav_native, the Utf8Validator type and is_valid_utf8(). Part of the one
// unit that _tav_native.cpp builds.
#ifndef TAV_CAPI_VALIDATOR_H
#define TAV_CAPI_VALIDATOR_H

#include <atomic>

#include "module.h"

namespace {

// The library's record embedded in the object, initialised as its new does:
// creating a validator allocates once, the Python object, and closing one
// frees nothing, since the record goes with the object's memory.
struct Validator {
    PyObject_HEAD
    std::atomic<unsigned> flags;
    Py_ssize_t error_offset;  // stream offset of the first invalid byte; -1 while valid
    const Shared *sh;         // owned through shared_owner
    PyObject *shared_owner;   // a strong reference, so sh outlives the module if need be
    PyObject *weakrefs;
    utf8vld_state rec;
};

constexpr const char VALIDATOR[] = "Utf8Validator";

inline Validator *as_validator(PyObject *op) { return reinterpret_cast<Validator *>(op); }

extern PyType_Spec validator_type_def;
PyObject *validator_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames);
PyObject *fn_is_valid_utf8(PyObject *module, PyObject *data);

}  // namespace

#endif  // TAV_CAPI_VALIDATOR_H
