// SPDX-License-Identifier: MIT
// _tav_native, the XorMasker type and the one-shot masking functions (mask,
// mask_in_place, and the peers' apply_mask and websocket_mask). Part of the
// one unit that _tav_native.cpp builds.
#ifndef TAV_CAPI_MASKER_H
#define TAV_CAPI_MASKER_H

#include <atomic>

#include "module.h"

namespace {

// The library's record embedded in the object, as for the validator.
struct Masker {
    PyObject_HEAD
    std::atomic<unsigned> flags;
    const Shared *sh;        // owned through shared_owner
    PyObject *shared_owner;  // a strong reference, so sh outlives the module if need be
    PyObject *weakrefs;
    xormask_state rec;
};

constexpr const char MASKER[] = "XorMasker";

inline Masker *as_masker(PyObject *op) { return reinterpret_cast<Masker *>(op); }

extern PyType_Spec masker_type_def;
PyObject *masker_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames);
PyObject *fn_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *fn_mask_in_place(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *fn_apply_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *fn_websocket_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);

// unmask_and_validate(masker, validator, buffer, /), in fused.cpp.
PyObject *fn_unmask_and_validate(PyObject *module, PyObject *const *args, Py_ssize_t nargs);

}  // namespace

#endif  // TAV_CAPI_MASKER_H
