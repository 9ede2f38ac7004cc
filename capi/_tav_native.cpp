// SPDX-License-Identifier: MIT
// _tav_native: the safe API (Utf8Validator, XorMasker, the one-shot functions)
// as a CPython extension, made for the cost of one call per WebSocket frame.
//
// Layout. This file is the module's one unit: it includes the validator
// library and then the module's parts, each a concern of its own with its
// header:
//   module.h / module.cpp        the module and its state, _force_routines()
//   routines.h                   which library routine serves a call
//   args.h / args.cpp            arguments, buffers, and their errors
//   guard.h                      the guard word: one call at a time per object
//   validator.h / validator.cpp  Utf8Validator and is_valid_utf8()
//   masker.h / masker.cpp        XorMasker and the one-shot masking functions
//   fused.cpp                    unmask_and_validate()
//   decoder.h / decoder.cpp      decoding into str
//   capsule.h / capsule.cpp      the C API for compiled callers (_C_API)
// All of it lives in one anonymous namespace, so the module exports nothing
// but its init function.
//
// The library sources compile into this module unchanged, with their symbol
// macros predefined by tav_libs.h as extern "C" with hidden visibility: so
// each routine exists once in the tree and this module runs the lib layer's
// own automaton, states and offsets. The validator's source is included into
// this unit, so its routines inline into the calls (2-4 ns per validate() at
// 125 B-1 KiB, as much as -flto gives); the masker's is compiled beside it
// (bytemask_lib.cpp), since both sources define an internal record(void *)
// that cannot share a unit, and its SSE routine, with its own target
// attribute, cannot be inlined into baseline code anyway.
//
// Records. Each object embeds the library's record type (from its public
// header) and initialises it as the library's new does, so creating an object
// allocates once, the Python object (XorMasker(key) 27 ns against 32-50 ns
// with the library's new and free), and closing one frees nothing: the record
// goes with the object's memory, which no running call can lose, since every
// call holds a reference to its object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>  // PyMemberDef, T_PYSSIZET, READONLY

#include "tav_libs.h"

// The validator library, in this unit so that its routines inline into the calls.
#include "_tav_utf8check.cpp"
#include "utf8_avx2.cpp"
#include "utf8_avx512.cpp"
#include "utf8_block.cpp"
#include "utf8_neon.cpp"
#include "utf8_ssse3.cpp"
// The decoder's portable routines; its vector ones come with the families above.
#include "utf8_decode_scalar.cpp"

// The module's parts, each after the headers it uses.
#include "args.cpp"
#include "validator.cpp"
#include "masker.cpp"
#include "fused.cpp"
#include "decoder.cpp"
#include "capsule.cpp"
#include "module.cpp"
