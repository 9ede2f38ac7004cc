// SPDX-License-Identifier: MIT
// The two libraries' headers as _tav_native compiles them: every library
// symbol hidden, so the module exports its init function and nothing else.
// Each unit of the module includes this before anything of the libraries.
#ifndef TAV_CAPI_LIBS_H
#define TAV_CAPI_LIBS_H

#if defined(_WIN32)
// A DLL exports only what is marked dllexport: plain extern "C" keeps them in.
#define TAV_UTF8_API extern "C"
#define TAV_MASK_API extern "C"
#else
#define TAV_UTF8_API extern "C" __attribute__((visibility("hidden")))
#define TAV_MASK_API extern "C" __attribute__((visibility("hidden")))
#endif

#include "tav_bytemask.h"
#include "tav_utf8check.h"

#endif  // TAV_CAPI_LIBS_H
