// SPDX-License-Identifier: MIT
// _tav_native, the Utf8Validator type and is_valid_utf8() (see validator.h).
// Compiled as part of _tav_native.cpp, which includes it.
#include "validator.h"

#include "args.h"
#include "guard.h"
#include "routines.h"

namespace {

void validator_ready(Validator *self) {
    init_validator_record(&self->rec);
    self->error_offset = -1;
}

PyObject *validator_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *owner;
    const Shared *sh = shared_of_type(type, &owner);
    if (sh == nullptr) return nullptr;
    PyObject *op = type->tp_alloc(type, 0);
    if (op == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    as_validator(op)->sh = sh;
    as_validator(op)->shared_owner = owner;
    return op;
}

int validator_init(PyObject *op, PyObject *args, PyObject *kwds) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Utf8Validator() takes no arguments");
        return -1;
    }
    Validator *self = as_validator(op);
    if (!begin_init(self->flags, VALIDATOR)) return -1;
    validator_ready(self);
    self->flags.store(F_READY, std::memory_order_release);
    return 0;
}

// Utf8Validator(): one allocation, no tp_new/tp_init round.
PyObject *validator_vectorcall(PyObject *type, PyObject *const *, size_t nargsf, PyObject *kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Utf8Validator() takes no arguments");
        return nullptr;
    }
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    PyObject *owner;
    const Shared *sh = shared_of_exact_type(tp, &owner);
    if (sh == nullptr) return nullptr;
    PyObject *op = tp->tp_alloc(tp, 0);
    if (op == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    Validator *self = as_validator(op);
    self->sh = sh;
    self->shared_owner = owner;
    validator_ready(self);
    self->flags.store(F_READY, std::memory_order_relaxed);  // not yet seen by any other thread
    return op;
}

void validator_dealloc(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    if (as_validator(op)->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
    PyObject *owner = as_validator(op)->shared_owner;
    tp->tp_free(op);
    Py_XDECREF(owner);
    Py_DECREF(tp);
}

PyObject *validator_validate(PyObject *op, PyObject *data) {
    Validator *self = as_validator(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, VALIDATOR);
    const Shared *sh = self->sh;
    int result = -1;
    if (self->error_offset < 0) {  // sticky once rejected: no byte is read
        Input in;
        if (in.take(data, "Utf8Validator.validate()") < 0) {
            leave(self->flags);
            return nullptr;
        }
        utf8vld_state *rec = &self->rec;
        result = unlocked_if_long(sh, in.size, [&] {
            return run_validate(sh, rec, in.data, static_cast<size_t>(in.size), true);
        });
        if (result < 0) self->error_offset = static_cast<Py_ssize_t>(rec->total_index);
        leave(self->flags);
        in.release();
    } else {
        leave(self->flags);
    }
    PyObject *status = sh->status[result + 1];
    Py_INCREF(status);
    return status;
}

PyObject *validator_reset(PyObject *op, PyObject *) {
    Validator *self = as_validator(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, VALIDATOR);
    validator_ready(self);
    leave(self->flags);
    Py_RETURN_NONE;
}

PyObject *validator_error_offset(PyObject *op, void *) {
    Validator *self = as_validator(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, VALIDATOR);
    const Py_ssize_t e = self->error_offset;
    leave(self->flags);
    if (e < 0) Py_RETURN_NONE;
    return PyLong_FromSsize_t(e);
}

PyObject *validator_bytes_validated(PyObject *op, void *) {
    Validator *self = as_validator(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, VALIDATOR);
    const size_t n = self->error_offset >= 0 ? static_cast<size_t>(self->error_offset) : self->rec.total_index;
    leave(self->flags);
    return PyLong_FromSize_t(n);
}

// (current_index, total_index, state, impl): the record, for tests.
PyObject *validator_record(PyObject *op, PyObject *) {
    Validator *self = as_validator(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, VALIDATOR);
    const utf8vld_state r = self->rec;
    leave(self->flags);
    return Py_BuildValue("(nnii)", static_cast<Py_ssize_t>(r.current_index), static_cast<Py_ssize_t>(r.total_index),
                         r.state, r.impl);
}

using ValidatorLifecycle = Lifecycle<Validator, VALIDATOR>;

PyObject *validator_repr(PyObject *op) {
    Validator *self = as_validator(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refused_repr(seen, VALIDATOR);
    const Py_ssize_t e = self->error_offset;
    leave(self->flags);
    if (e < 0) return PyUnicode_FromString("<Utf8Validator error_offset=None>");
    return PyUnicode_FromFormat("<Utf8Validator error_offset=%zd>", e);
}

// Methods take their argument by position (METH_O): accepting it by name too
// (METH_FASTCALL | METH_KEYWORDS) costs 2-5 ns per validate() call.
PyMethodDef validator_methods[] = {
    {"validate", validator_validate, METH_O,
     "validate($self, data, /)\n--\n\n"
     "Feed the next chunk: any C-contiguous bytes-like object of plain data, of its whole size in bytes.\n\n"
     "Returns Utf8Status.COMPLETE, INCOMPLETE (the chunk ends inside a character) or\n"
     "INVALID (sticky until reset())."},
    {"reset", validator_reset, METH_NOARGS, "reset($self, /)\n--\n\nForget the stream: ready for the next one, from offset 0."},
    {"close", ValidatorLifecycle::close, METH_NOARGS,
     "close($self, /)\n--\n\nClose the validator; idempotent, and any later use raises ValueError.\n\n"
     "A call running in another thread finishes first on the record, which goes with the object."},
    {"__enter__", ValidatorLifecycle::enter_with, METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(ValidatorLifecycle::exit_with), METH_FASTCALL, nullptr},
    {"__copy__", ValidatorLifecycle::copy, METH_NOARGS, "Refused: a copy would share the stream's record."},
    {"__deepcopy__", ValidatorLifecycle::copy, METH_O, "Refused: a copy would share the stream's record."},
    {"__reduce__", ValidatorLifecycle::reduce, METH_NOARGS, "Refused: a validator cannot be pickled."},
    {"__reduce_ex__", ValidatorLifecycle::reduce, METH_O, "Refused: a validator cannot be pickled."},
    {"_record", validator_record, METH_NOARGS, "(current_index, total_index, state, impl) of the record, for tests."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef validator_getset[] = {
    {"error_offset", validator_error_offset, nullptr,
     "Stream offset of the first invalid byte, or None while the stream is valid.", nullptr},
    {"bytes_validated", validator_bytes_validated, nullptr,
     "Bytes taken since creation or reset(); once invalid, the bytes before the invalid one.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef validator_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Validator, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char validator_doc[] =
    "Utf8Validator()\n--\n\n"
    "Fail-fast check that a byte stream fed in chunks is well-formed UTF-8 (RFC 3629).\n\n"
    "A character may be split anywhere between chunks. Once an invalid byte is\n"
    "seen, validate() answers INVALID until reset(), and error_offset gives the\n"
    "stream offset of that byte.\n\n"
    "Chunks of at least VECTOR_FROM bytes go to the widest vector validator the\n"
    "processor runs (VECTOR_ROUTINE), shorter ones to the unrolled routine; without\n"
    "a vector validator, chunks of at least BLOCK_VALIDATOR_THRESHOLD bytes go to the\n"
    "SSE2 block validator, whose rejected chunk is replayed for the exact offset.\n"
    "Buffers are never copied; the interpreter lock is released for chunks of at\n"
    "least RELEASE_GIL_THRESHOLD bytes.\n\n"
    "Sharing: one object serves one thread at a time; a call made while another\n"
    "thread is inside a method of the same object raises RuntimeError. close()\n"
    "from another thread during a call lets that call finish on its record.\n"
    "Copying and pickling are refused (TypeError).";

PyType_Slot validator_slots[] = {
    {Py_tp_doc, const_cast<char *>(validator_doc)},
    {Py_tp_new, reinterpret_cast<void *>(validator_new)},
    {Py_tp_init, reinterpret_cast<void *>(validator_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(validator_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(validator_repr)},
    {Py_tp_methods, validator_methods},
    {Py_tp_getset, validator_getset},
    {Py_tp_members, validator_members},
    {0, nullptr},
};

PyType_Spec validator_type_def = {"tav.Utf8Validator", sizeof(Validator), 0, TYPE_FLAGS, validator_slots};

PyObject *fn_is_valid_utf8(PyObject *module, PyObject *data) {
    const Shared *sh = module_state(module)->shared;
    Input in;
    if (in.take(data, "is_valid_utf8()") < 0) return nullptr;
    utf8vld_state rec;
    init_validator_record(&rec);
    // No offset is wanted: the block validator's verdict stands alone.
    const int result = unlocked_if_long(sh, in.size, [&] {
        return run_validate(sh, &rec, in.data, static_cast<size_t>(in.size), false);
    });
    in.release();
    return PyBool_FromLong(result == 0);
}

}  // namespace
