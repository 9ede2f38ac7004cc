// SPDX-License-Identifier: MIT
// _tav_native, decoding into str: the decoder type and the decode functions
// go here and in decoder.cpp. The module calls decoder_exec() at exec, after
// its own types are in place, and adds decoder_functions beside its own.
// Part of the one unit that _tav_native.cpp builds.
#ifndef TAV_CAPI_DECODER_H
#define TAV_CAPI_DECODER_H

#include "module.h"

namespace {

// Module functions of this part, named as tav exports them.
extern PyMethodDef decoder_functions[];

// Adds this part's types to the module; -1 with an error set on failure.
int decoder_exec(PyObject *module, ModuleState *st);

}  // namespace

#endif  // TAV_CAPI_DECODER_H
