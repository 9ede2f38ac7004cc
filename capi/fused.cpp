// SPDX-License-Identifier: MIT
// _tav_native, unmask_and_validate(): a masker and a validator over one
// buffer in one pass. Compiled as part of _tav_native.cpp, which includes it.
#include "args.h"
#include "guard.h"
#include "masker.h"
#include "routines.h"
#include "validator.h"

namespace {

// Block of the fused loop: unmasked, then validated while it is still in the
// first-level cache, so the payload comes from memory once instead of twice.
// `python -m tav.bench.mask` (mixed-script text, payload from memory, fused /
// two calls): 16 KiB blocks 1.22x at 64 KiB, 1.33x at 1 MiB, 1.82x at 64 MiB;
// 4 KiB blocks 1.15x, 1.21x, 1.95x.
constexpr size_t FUSED_BLOCK = 16 * 1024;

// unmask_and_validate(masker, validator, buffer): masker.mask(buffer), then
// validator.validate(buffer), in one pass over memory, with the same results:
// the whole buffer is unmasked, an invalid byte leaves the validator INVALID at
// its exact offset (validation stops there; unmasking does not). All or
// nothing: a refused call changes neither object nor the buffer.
PyObject *fn_unmask_and_validate(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "unmask_and_validate() takes 3 arguments (masker, validator, buffer), got %zd",
                     nargs);
        return nullptr;
    }
    const ModuleState *st = module_state(module);
    if (st->masker_type == nullptr || st->validator_type == nullptr) {  // the collector cleared the module
        PyErr_SetString(PyExc_RuntimeError, "unmask_and_validate(): its module has been cleared");
        return nullptr;
    }
    PyObject *m_obj = args[0], *v_obj = args[1];
    if (!PyObject_TypeCheck(m_obj, st->masker_type) || !PyObject_TypeCheck(v_obj, st->validator_type)) {
        PyErr_Format(PyExc_TypeError, "unmask_and_validate() takes a tav.XorMasker and a tav.Utf8Validator, not %s",
                     type_name(PyObject_TypeCheck(m_obj, st->masker_type) ? v_obj : m_obj));
        return nullptr;
    }
    const Shared *sh = st->shared;
    Masker *masker = as_masker(m_obj);
    Validator *validator = as_validator(v_obj);
    unsigned seen;
    if (!enter(masker->flags, seen)) return refuse(seen, MASKER);
    if (!enter(validator->flags, seen)) {
        leave(masker->flags);
        return refuse(seen, VALIDATOR);
    }
    InPlace buf;
    if (buf.take(args[2], sh, "unmask_and_validate()") < 0) {
        leave(validator->flags);
        leave(masker->flags);
        return nullptr;
    }
    xormask_state *mrec = &masker->rec;
    utf8vld_state *vrec = &validator->rec;
    const bool rejected_before = validator->error_offset >= 0;
    int result = unlocked_if_long(sh, buf.size, [&] {
        const size_t n = static_cast<size_t>(buf.size);
        const int routine = mask_routine_for(sh, n);  // the one mask(buffer) runs
        int r = rejected_before ? -1 : run_validate(sh, vrec, buf.data, 0, true);  // the status of an empty chunk
        bool checking = !rejected_before;
        for (size_t at = 0; at < n; at += FUSED_BLOCK) {
            const size_t k = n - at < FUSED_BLOCK ? n - at : FUSED_BLOCK;
            run_mask_with(routine, mrec, buf.data + at, k);
            if (checking) {
                r = run_validate(sh, vrec, buf.data + at, k, true);
                checking = r >= 0;
            }
        }
        return r;
    });
    if (result < 0 && !rejected_before) validator->error_offset = static_cast<Py_ssize_t>(vrec->total_index);
    buf.release();
    leave(validator->flags);
    leave(masker->flags);
    PyObject *status = sh->status[result + 1];
    Py_INCREF(status);
    return status;
}

}  // namespace
