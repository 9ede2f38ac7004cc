// SPDX-License-Identifier: MIT
// _tav_native's C API for compiled callers: the table of tav/include/tav_capi.h,
// published as the capsule _tav_native._C_API. Part of the one unit that
// _tav_native.cpp builds.
#ifndef TAV_CAPI_CAPSULE_H
#define TAV_CAPI_CAPSULE_H

#include "module.h"

namespace {

// Adds the capsule to the module; -1 with an error set on failure.
int capsule_exec(PyObject *module);

}  // namespace

#endif  // TAV_CAPI_CAPSULE_H
