// SPDX-License-Identifier: MIT
// _tav_native, the module and its state (see module.h): the shared state's
// capsule, the type lookups, _force_routines(), and the module's life cycle.
// Compiled as part of _tav_native.cpp, which includes it last.
#include "module.h"

#include <new>  // placement new of the shared state

#include "args.h"
#include "capsule.h"
#include "decoder.h"
#include "masker.h"
#include "routines.h"
#include "validator.h"

namespace {

// --- the shared state -------------------------------------------------------------

constexpr const char SHARED_NAME[] = "_tav_native.Shared";

void shared_free(PyObject *capsule) {
    Shared *sh = static_cast<Shared *>(PyCapsule_GetPointer(capsule, SHARED_NAME));
    if (sh == nullptr) return;
    for (PyObject *&s : sh->status) Py_CLEAR(s);
    sh->~Shared();
    PyMem_Free(sh);
}

// A fresh shared state for this processor, in its capsule (a new reference).
PyObject *new_shared(Shared **out) {
    void *memory = PyMem_Calloc(1, sizeof(Shared));
    if (memory == nullptr) return PyErr_NoMemory();
    Shared *sh = new (memory) Shared{};
    PyObject *capsule = PyCapsule_New(sh, SHARED_NAME, shared_free);
    if (capsule == nullptr) {
        sh->~Shared();
        PyMem_Free(memory);
        return nullptr;
    }
    choose_routines(sh, cpu_features());
    *out = sh;
    return capsule;
}

void choose_routines(Shared *sh, unsigned features) {
    sh->has_sse41 = (features & TAV_CPU_SSE41) != 0;
    sh->vector_routine = best_vector_routine(features);
    sh->auto_mask = widest_mask(features);
    sh->auto_large = sh->auto_mask == MASK_AVX512 ? MASK_AVX2 : sh->auto_mask;
    sh->auto_large_from = sh->auto_mask == MASK_AVX512 ? AVX2_FROM : SIZE_MAX;
    sh->utf8_routine.store(UTF8_AUTO);
    sh->mask_routine.store(MASK_AUTO);
    sh->release_from.store(RELEASE_GIL_THRESHOLD);
}

Shared *shared_of_module(PyObject *module, PyObject **owner) {
    ModuleState *st = module_state(module);
    if (st == nullptr || st->shared == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "tav's native module is not initialized");
        return nullptr;
    }
    Py_INCREF(st->shared_owner);
    *owner = st->shared_owner;
    return st->shared;
}

Shared *shared_of_exact_type(PyTypeObject *type, PyObject **owner) {
    PyObject *module = PyType_GetModule(type);  // nullptr (error set) once the collector cleared the type
    return module == nullptr ? nullptr : shared_of_module(module, owner);
}

Shared *shared_of_type(PyTypeObject *type, PyObject **owner) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *module = PyType_GetModuleByDef(type, &module_def);
    return module == nullptr ? nullptr : shared_of_module(module, owner);
#else
    PyObject *mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_HasFeature(reinterpret_cast<PyTypeObject *>(base), Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject *module = reinterpret_cast<PyHeapTypeObject *>(base)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == &module_def) return shared_of_module(module, owner);
    }
    PyErr_Format(PyExc_TypeError, "%s is not a type of tav's native module", type->tp_name);
    return nullptr;
#endif
}

// --- the routine switch (tests and benchmarks only) ------------------------------------

PyObject *routines_dict(const Shared *sh) {
    return Py_BuildValue("{s:s,s:s,s:n}", "utf8", UTF8_NAMES[sh->utf8_routine.load()], "mask",
                         MASK_NAMES[sh->mask_routine.load()], "release_gil_from", sh->release_from.load());
}

int name_index(PyObject *value, const char *const *names, int n, const char *arg) {
    for (int i = 0; i < n; ++i) {
        if (names[i] != nullptr && PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, names[i]) == 0) {
            return i;
        }
    }
    PyErr_Format(PyExc_ValueError, "_force_routines(): unknown %s routine %R", arg, value);
    return -1;
}

PyObject *fn_force_routines(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static const char *const names[] = {"utf8", "mask", "release_gil_from"};
    PyObject *a[3];
    if (nargs != 0) {
        PyErr_SetString(PyExc_TypeError, "_force_routines() takes keyword arguments only");
        return nullptr;
    }
    if (!parse_args("_force_routines", args, nargs, kwnames, names, 0, 3, a)) return nullptr;
    Shared *sh = module_state(module)->shared;
    int utf8 = sh->utf8_routine.load(), mask = sh->mask_routine.load();
    Py_ssize_t release_from = sh->release_from.load();
    if (a[0] != nullptr && a[0] != Py_None) {
        if ((utf8 = name_index(a[0], UTF8_NAMES, 8, "utf8")) < 0) return nullptr;
        if (!runs_utf8(sh, utf8)) {
            PyErr_Format(PyExc_ValueError, "_force_routines(): this processor does not run the %s validator",
                         UTF8_NAMES[utf8]);
            return nullptr;
        }
    }
    if (a[1] != nullptr && a[1] != Py_None) {
        if ((mask = name_index(a[1], MASK_NAMES, 7, "mask")) < 0) return nullptr;
        if (!runs_mask(sh, mask)) {
            PyErr_Format(PyExc_ValueError, "_force_routines(): this processor does not run the %s masking routine%s",
                         MASK_NAMES[mask], mask == MASK_SSE2 ? " (it needs SSE4.1)" : "");
            return nullptr;
        }
    }
    if (a[2] != nullptr && a[2] != Py_None) {
        release_from = PyLong_AsSsize_t(a[2]);
        if (release_from == -1 && PyErr_Occurred()) return nullptr;
        if (release_from < 0) release_from = RELEASE_GIL_THRESHOLD;
    }
    PyObject *previous = routines_dict(sh);
    if (previous == nullptr) return nullptr;
    sh->utf8_routine.store(utf8);
    sh->mask_routine.store(mask);
    sh->release_from.store(release_from);
    return previous;
}

// --- functions, each under the public name that tav or tav.compat gives it ------------

// Their __module__ is that public module, so CPython's own messages for them
// ("tav.is_valid_utf8() takes no keyword arguments") name what a caller calls.
PyMethodDef tav_functions[] = {
    {"unmask_and_validate", as_cfunction(fn_unmask_and_validate), METH_FASTCALL,
     "unmask_and_validate(masker, validator, buffer, /)\n--\n\n"
     "Unmask the writable `buffer` in place with `masker`, then validate it with `validator`, in one pass.\n\n"
     "The results are those of masker.mask(buffer) followed by validator.validate(buffer): the whole\n"
     "buffer is unmasked and the masker's position advances by its length, and the validator's status\n"
     "is returned; an invalid byte stops validation at its exact offset but not the unmasking."},
    {"is_valid_utf8", fn_is_valid_utf8, METH_O,
     "is_valid_utf8(data, /)\n--\n\nTrue if `data` (any C-contiguous bytes-like object of plain data) is complete,\n"
     "well-formed UTF-8."},
    {"mask", as_cfunction(fn_mask), METH_FASTCALL | METH_KEYWORDS,
     "mask(key, data)\n--\n\n"
     "`data` masked with the 4-byte `key` from key byte 0, as new bytes; `data` stays untouched.\n\n"
     "One pass into the result: no intermediate buffer."},
    {"mask_in_place", as_cfunction(fn_mask_in_place), METH_FASTCALL | METH_KEYWORDS,
     "mask_in_place(key, buffer)\n--\n\n"
     "Mask a writable C-contiguous buffer in place with the 4-byte `key`, from key byte 0."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef compat_functions[] = {
    {"apply_mask", as_cfunction(fn_apply_mask), METH_FASTCALL | METH_KEYWORDS,
     "apply_mask(data, mask)\n--\n\n"
     "websockets' convention: `data` masked with the 4-byte `mask`, as new bytes\n"
     "(ValueError 'mask must contain 4 bytes' for a mask of another size)."},
    {"websocket_mask", as_cfunction(fn_websocket_mask), METH_FASTCALL | METH_KEYWORDS,
     "websocket_mask(mask, data)\n--\n\n"
     "aiohttp's convention: mask the writable buffer `data` in place with the 4-byte `mask`."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef private_functions[] = {
    {"_force_routines", as_cfunction(fn_force_routines), METH_FASTCALL | METH_KEYWORDS,
     "_force_routines(*, utf8=None, mask=None, release_gil_from=None)\n--\n\n"
     "For tests and benchmarks: force the validation routine ('auto', 'table',\n"
     "'unrolled', 'sse2', 'ssse3', 'avx2', 'avx512', 'neon'), the masking routine\n"
     "('auto', 'bytes', 'sse2', 'avx2', 'avx512', 'neon') and the size from which the interpreter lock\n"
     "is released (a negative size restores the default). None leaves a setting as\n"
     "it is. Returns the previous settings, which _force_routines(**previous) restores."},
    {nullptr, nullptr, 0, nullptr},
};

int add_functions(PyObject *module, PyMethodDef *defs, const char *public_module) {
    PyObject *name = PyUnicode_FromString(public_module);
    if (name == nullptr) return -1;
    int result = 0;
    for (PyMethodDef *def = defs; def->ml_name != nullptr && result == 0; ++def) {
        PyObject *fn = PyCFunction_NewEx(def, module, name);
        if (fn == nullptr || PyModule_AddObject(module, def->ml_name, fn) < 0) {
            Py_XDECREF(fn);
            result = -1;
        }
    }
    Py_DECREF(name);
    return result;
}

// --- module life cycle ----------------------------------------------------------------

int add_type(PyObject *module, PyType_Spec *type_def, vectorcallfunc vectorcall, PyTypeObject **slot) {
    PyObject *type = PyType_FromModuleAndSpec(module, type_def, nullptr);
    if (type == nullptr) return -1;
    *slot = reinterpret_cast<PyTypeObject *>(type);
    // Calls of the exact type go straight to vectorcall; subclasses, which do
    // not inherit it, take tp_new and tp_init.
    (*slot)->tp_vectorcall = vectorcall;
    Py_INCREF(type);
    if (PyModule_AddObject(module, type_def->name + sizeof("tav.") - 1, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

#if PY_VERSION_HEX < 0x030A0000
// Python 3.9 keeps a heap type's doc without its text signature, so that
// inspect.signature() finds none for the classes; a __signature__ made when
// first asked for (inspect is not imported before) gives the same answer as
// the text signature does from 3.10.
const char LAZY_SIGNATURE[] =
    "class LazySignature:\n"
    "    def __init__(self, names):\n"
    "        self.names = names\n"
    "    def __get__(self, obj, cls):\n"
    "        import inspect\n"
    "        kind = inspect.Parameter.POSITIONAL_OR_KEYWORD\n"
    "        return inspect.Signature([inspect.Parameter(name, kind) for name in self.names])\n";

int add_signatures(const ModuleState *st) {
    PyObject *globals = PyDict_New();
    if (globals == nullptr) return -1;
    int result = -1;
    PyObject *ran = nullptr, *lazy = nullptr, *none = nullptr, *key = nullptr;
    if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0 &&
        (ran = PyRun_String(LAZY_SIGNATURE, Py_file_input, globals, globals)) != nullptr &&
        (lazy = PyDict_GetItemString(globals, "LazySignature")) != nullptr &&
        (none = PyObject_CallFunction(lazy, "(())")) != nullptr && (key = PyObject_CallFunction(lazy, "((s))", "key")) != nullptr &&
        PyObject_SetAttrString(reinterpret_cast<PyObject *>(st->validator_type), "__signature__", none) == 0 &&
        PyObject_SetAttrString(reinterpret_cast<PyObject *>(st->masker_type), "__signature__", key) == 0) {
        result = 0;
    }
    Py_XDECREF(key);
    Py_XDECREF(none);
    Py_XDECREF(ran);
    Py_DECREF(globals);
    return result;
}
#endif

const char *routine_name(const char *const *names, int routine) { return routine != 0 ? names[routine] : "none"; }

int module_exec(PyObject *module) {
    ModuleState *st = module_state(module);
    st->shared_owner = new_shared(&st->shared);
    if (st->shared_owner == nullptr) return -1;
    const Shared *sh = st->shared;

    if (add_type(module, &validator_type_def, validator_vectorcall, &st->validator_type) < 0) return -1;
    if (add_type(module, &masker_type_def, masker_vectorcall, &st->masker_type) < 0) return -1;
#if PY_VERSION_HEX < 0x030A0000
    if (add_signatures(st) < 0) return -1;
#endif
    if (add_functions(module, tav_functions, "tav") < 0) return -1;
    if (add_functions(module, compat_functions, "tav.compat") < 0) return -1;
    if (add_functions(module, private_functions, "_tav_native") < 0) return -1;
    if (add_functions(module, decoder_functions, "tav") < 0 || decoder_exec(module, st) < 0) return -1;
    if (capsule_exec(module) < 0) return -1;

    // What "auto" runs here, for `tav --version` and the benchmarks.
    if (PyModule_AddIntConstant(module, "BLOCK_VALIDATOR_THRESHOLD", BLOCK_VALIDATOR_THRESHOLD) < 0) return -1;
    if (PyModule_AddIntConstant(module, "RELEASE_GIL_THRESHOLD", RELEASE_GIL_THRESHOLD) < 0) return -1;
    if (PyModule_AddObject(module, "HAS_SSE41", PyBool_FromLong(sh->has_sse41)) < 0) return -1;
    if (PyModule_AddStringConstant(module, "VECTOR_ROUTINE", routine_name(UTF8_NAMES, sh->vector_routine)) < 0) {
        return -1;
    }
    if (PyModule_AddIntConstant(module, "VECTOR_FROM", static_cast<long>(VECTOR_FROM[sh->vector_routine])) < 0) {
        return -1;
    }
    PyObject *policy = sh->auto_large == sh->auto_mask
                           ? Py_BuildValue("((sn))", MASK_NAMES[sh->auto_mask], Py_ssize_t{0})
                           : Py_BuildValue("((sn)(sn))", MASK_NAMES[sh->auto_mask], Py_ssize_t{0},
                                           MASK_NAMES[sh->auto_large], static_cast<Py_ssize_t>(sh->auto_large_from));
    if (policy == nullptr || PyModule_AddObject(module, "MASK_AUTO", policy) < 0) {
        Py_XDECREF(policy);
        return -1;
    }

    // Last: importing tav._status runs tav/__init__, which imports names from
    // this module when it is imported first; they are all in place by now.
    PyObject *status_module = PyImport_ImportModule("tav._status");
    if (status_module == nullptr) return -1;
    st->status_type = PyObject_GetAttrString(status_module, "Utf8Status");
    Py_DECREF(status_module);
    if (st->status_type == nullptr) return -1;
    static const char *const members[] = {"INVALID", "COMPLETE", "INCOMPLETE"};
    for (int i = 0; i < 3; ++i) {
        st->shared->status[i] = PyObject_GetAttrString(st->status_type, members[i]);
        if (st->shared->status[i] == nullptr) return -1;
    }
    Py_INCREF(st->status_type);
    if (PyModule_AddObject(module, "Utf8Status", st->status_type) < 0) {
        Py_DECREF(st->status_type);
        return -1;
    }
    return 0;
}

int module_traverse(PyObject *module, visitproc visit, void *arg) {
    ModuleState *st = module_state(module);
    Py_VISIT(st->validator_type);
    Py_VISIT(st->masker_type);
    Py_VISIT(st->status_type);
    return 0;
}

// Breaks the cycle between the module and its types. The shared state stays
// until the module's memory goes, and after that while any object holds it.
int module_clear(PyObject *module) {
    ModuleState *st = module_state(module);
    Py_CLEAR(st->validator_type);
    Py_CLEAR(st->masker_type);
    return 0;
}

void module_free(void *module) {
    module_clear(static_cast<PyObject *>(module));
    ModuleState *st = module_state(static_cast<PyObject *>(module));
    Py_CLEAR(st->status_type);
    st->shared = nullptr;
    Py_CLEAR(st->shared_owner);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // No state outside the module object: each interpreter gets its own types and switches.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // Correct without the interpreter lock: an object's guard word is taken by
    // compare-exchange (acquire) and given back with a release, so its record
    // is used by one thread at a time and a refused call touches nothing; the
    // one-shot functions keep their records on their own stack; buffers stay
    // exported for the whole call; the shared state is written at exec, and
    // its switches are atomics.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tav_native",
    "tav's safe API as a CPython extension: Utf8Validator, XorMasker, is_valid_utf8,\n"
    "mask, mask_in_place, and the peers' conventions apply_mask and websocket_mask.",
    sizeof(ModuleState),
    nullptr,  // functions: added at exec, under their public module names
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit__tav_native(void) { return PyModuleDef_Init(&module_def); }
