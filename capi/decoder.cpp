// SPDX-License-Identifier: MIT
// _tav_native, decoding into str (see decoder.h): nothing yet. Compiled as
// part of _tav_native.cpp, which includes it.
#include "decoder.h"

namespace {

PyMethodDef decoder_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

int decoder_exec(PyObject *, ModuleState *) { return 0; }

}  // namespace
