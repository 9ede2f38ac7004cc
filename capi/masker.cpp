// SPDX-License-Identifier: MIT
// _tav_native, the XorMasker type and the one-shot masking functions (see
// masker.h). Compiled as part of _tav_native.cpp, which includes it.
#include "masker.h"

#include <cstring>  // memcpy

#include "args.h"
#include "guard.h"
#include "routines.h"

namespace {

const char *const KEY_ARG[] = {"key"};

PyObject *masker_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *owner;
    const Shared *sh = shared_of_type(type, &owner);
    if (sh == nullptr) return nullptr;
    PyObject *op = type->tp_alloc(type, 0);
    if (op == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    as_masker(op)->sh = sh;
    as_masker(op)->shared_owner = owner;
    return op;
}

int masker_init(PyObject *op, PyObject *args, PyObject *kwds) {
    Masker *self = as_masker(op);
    if (self->flags.load(std::memory_order_acquire) != 0) {  // before the key is parsed: nothing changes
        PyErr_Format(PyExc_RuntimeError, "tav.%s is already initialized", MASKER);
        return -1;
    }
    static const char *kwlist[] = {"key", nullptr};
    PyObject *key;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:XorMasker", const_cast<char **>(kwlist), &key)) return -1;
    uint8_t k[4];
    if (parse_key(key, k, TAV_KEY) < 0) return -1;
    if (!begin_init(self->flags, MASKER)) return -1;
    init_masker_record(&self->rec, k);
    self->flags.store(F_READY, std::memory_order_release);
    return 0;
}

// XorMasker(key): one allocation, no tp_new/tp_init round.
PyObject *masker_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *key;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 1 && kwnames == nullptr) {
        key = args[0];
    } else if (!parse_args("XorMasker", args, nargs, kwnames, KEY_ARG, 1, 1, &key)) {
        return nullptr;
    }
    uint8_t k[4];
    if (parse_key(key, k, TAV_KEY) < 0) return nullptr;
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(type);
    PyObject *owner;
    const Shared *sh = shared_of_exact_type(tp, &owner);
    if (sh == nullptr) return nullptr;
    PyObject *op = tp->tp_alloc(tp, 0);
    if (op == nullptr) {
        Py_DECREF(owner);
        return nullptr;
    }
    Masker *self = as_masker(op);
    self->sh = sh;
    self->shared_owner = owner;
    init_masker_record(&self->rec, k);
    self->flags.store(F_READY, std::memory_order_relaxed);  // not yet seen by any other thread
    return op;
}

void masker_dealloc(PyObject *op) {
    PyTypeObject *tp = Py_TYPE(op);
    if (as_masker(op)->weakrefs != nullptr) PyObject_ClearWeakRefs(op);
    PyObject *owner = as_masker(op)->shared_owner;
    tp->tp_free(op);
    Py_XDECREF(owner);
    Py_DECREF(tp);
}

PyObject *masker_mask(PyObject *op, PyObject *buffer) {
    Masker *self = as_masker(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, MASKER);
    const Shared *sh = self->sh;
    InPlace out;
    if (out.take(buffer, sh, "XorMasker.mask()") < 0) {
        leave(self->flags);
        return nullptr;
    }
    xormask_state *rec = &self->rec;
    unlocked_if_long(sh, out.size, [&] {
        run_mask(sh, rec, out.data, static_cast<size_t>(out.size));
        return 0;
    });
    leave(self->flags);
    out.release();
    Py_RETURN_NONE;
}

// New bytes holding `in` masked by rec from its phase on, written in one
// allocation: the copy goes straight into the result.
PyObject *masked_bytes(const Shared *sh, xormask_state *rec, const Input &in) {
    PyObject *out = PyBytes_FromStringAndSize(nullptr, in.size);
    if (out == nullptr) return nullptr;
    uint8_t *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
    unlocked_if_long(sh, in.size, [&] {
        run_copy(sh, rec, in.data, dst, static_cast<size_t>(in.size));
        return 0;
    });
    return out;
}

PyObject *masker_masked(PyObject *op, PyObject *data) {
    Masker *self = as_masker(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, MASKER);
    Input in;
    if (in.take(data, "XorMasker.masked()") < 0) {
        leave(self->flags);
        return nullptr;
    }
    PyObject *out = masked_bytes(self->sh, &self->rec, in);
    leave(self->flags);
    in.release();
    return out;
}

PyObject *masker_position(PyObject *op, void *) {
    Masker *self = as_masker(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, MASKER);
    const size_t p = self->rec.pointer;
    leave(self->flags);
    return PyLong_FromSize_t(p);
}

PyObject *masker_reset(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Masker *self = as_masker(op);
    PyObject *key = nullptr;
    if ((nargs != 0 || kwnames != nullptr) && !parse_args("reset", args, nargs, kwnames, KEY_ARG, 0, 1, &key)) {
        return nullptr;
    }
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, MASKER);
    if (key != nullptr && key != Py_None) {
        uint8_t k[4];
        if (parse_key(key, k, TAV_KEY) < 0) {
            leave(self->flags);
            return nullptr;
        }
        std::memcpy(self->rec.mask, k, 4);
    }
    self->rec.pointer = 0;
    leave(self->flags);
    Py_RETURN_NONE;
}

// (key, pointer, impl): the record, for tests.
PyObject *masker_record(PyObject *op, PyObject *) {
    Masker *self = as_masker(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refuse(seen, MASKER);
    const xormask_state r = self->rec;
    leave(self->flags);
    return Py_BuildValue("(y#ni)", reinterpret_cast<const char *>(r.mask), static_cast<Py_ssize_t>(4),
                         static_cast<Py_ssize_t>(r.pointer), r.impl);
}

using MaskerLifecycle = Lifecycle<Masker, MASKER>;

// Shows the position, as the validator's repr shows its error offset.
PyObject *masker_repr(PyObject *op) {
    Masker *self = as_masker(op);
    unsigned seen;
    if (!enter(self->flags, seen)) return refused_repr(seen, MASKER);
    const size_t p = self->rec.pointer;
    leave(self->flags);
    return PyUnicode_FromFormat("<XorMasker position=%zu>", p);
}

PyMethodDef masker_methods[] = {
    {"mask", masker_mask, METH_O,
     "mask($self, buffer, /)\n--\n\n"
     "Mask a writable C-contiguous buffer of plain data in place (bytearray, writable\n"
     "memoryview, array, mmap, ...), continuing the key phase of the previous calls."},
    {"masked", masker_masked, METH_O,
     "masked($self, data, /)\n--\n\n"
     "The masked copy of a C-contiguous bytes-like object, which stays untouched.\n\n"
     "Advances the key phase like mask(); tav.mask() starts at key byte 0 instead."},
    {"reset", as_cfunction(masker_reset), METH_FASTCALL | METH_KEYWORDS,
     "reset($self, /, key=None)\n--\n\n"
     "Start again at key byte 0; given a key (4 bytes), take it instead of the\n"
     "current one, without any allocation."},
    {"close", MaskerLifecycle::close, METH_NOARGS,
     "close($self, /)\n--\n\nClose the masker; idempotent, and any later use raises ValueError.\n\n"
     "A call running in another thread finishes first on the record, which goes with the object."},
    {"__enter__", MaskerLifecycle::enter_with, METH_NOARGS, nullptr},
    {"__exit__", as_cfunction(MaskerLifecycle::exit_with), METH_FASTCALL, nullptr},
    {"__copy__", MaskerLifecycle::copy, METH_NOARGS, "Refused: a copy would share the stream's record."},
    {"__deepcopy__", MaskerLifecycle::copy, METH_O, "Refused: a copy would share the stream's record."},
    {"__reduce__", MaskerLifecycle::reduce, METH_NOARGS, "Refused: a masker cannot be pickled."},
    {"__reduce_ex__", MaskerLifecycle::reduce, METH_O, "Refused: a masker cannot be pickled."},
    {"_record", masker_record, METH_NOARGS, "(key, pointer, impl) of the record, for tests."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef masker_getset[] = {
    {"position", masker_position, nullptr, "Bytes masked since creation or reset(); the key phase is position mod 4.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef masker_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Masker, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char masker_doc[] =
    "XorMasker(key)\n--\n\n"
    "XOR a byte stream in place with a repeating 4-byte key; masking and unmasking are the same.\n\n"
    "The key phase carries across calls: masking a payload chunk by chunk gives\n"
    "the bytes that one call on the whole payload gives. `key` is any bytes-like\n"
    "object of exactly 4 bytes and is copied; reset(key) takes a new one.\n\n"
    "Masking runs the widest routine the processor runs, except where measured\n"
    "otherwise (MASK_AUTO: each routine with the size it starts from).\n\n"
    "Sharing: one object serves one thread at a time; a call made while another\n"
    "thread is inside a method of the same object raises RuntimeError. close()\n"
    "from another thread during a call lets that call finish on its record.\n"
    "Copying and pickling are refused (TypeError). The interpreter lock is\n"
    "released for buffers of at least RELEASE_GIL_THRESHOLD bytes.";

PyType_Slot masker_slots[] = {
    {Py_tp_doc, const_cast<char *>(masker_doc)},
    {Py_tp_new, reinterpret_cast<void *>(masker_new)},
    {Py_tp_init, reinterpret_cast<void *>(masker_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(masker_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(masker_repr)},
    {Py_tp_methods, masker_methods},
    {Py_tp_getset, masker_getset},
    {Py_tp_members, masker_members},
    {0, nullptr},
};

PyType_Spec masker_type_def = {"tav.XorMasker", sizeof(Masker), 0, TYPE_FLAGS, masker_slots};

// --- one-shot functions ------------------------------------------------------------

// mask(key, data) and apply_mask(data, mask): new bytes, from key byte 0.
PyObject *one_shot_masked(PyObject *module, PyObject *key, PyObject *data, const char *what, const KeyWords &words) {
    uint8_t k[4];
    if (parse_key(key, k, words) < 0) return nullptr;
    Input in;
    if (in.take(data, what) < 0) return nullptr;
    xormask_state rec;
    init_masker_record(&rec, k);
    PyObject *out = masked_bytes(module_state(module)->shared, &rec, in);
    in.release();
    return out;
}

// mask_in_place(key, buffer) and websocket_mask(mask, data), from key byte 0.
PyObject *one_shot_in_place(PyObject *module, PyObject *key, PyObject *buffer, const char *what) {
    uint8_t k[4];
    if (parse_key(key, k, TAV_KEY) < 0) return nullptr;
    const Shared *sh = module_state(module)->shared;
    InPlace out;
    if (out.take(buffer, sh, what) < 0) return nullptr;
    xormask_state rec;
    init_masker_record(&rec, k);
    unlocked_if_long(sh, out.size, [&] {
        run_mask(sh, &rec, out.data, static_cast<size_t>(out.size));
        return 0;
    });
    out.release();
    Py_RETURN_NONE;
}

const char *const KEY_DATA[] = {"key", "data"};
const char *const KEY_BUFFER[] = {"key", "buffer"};
const char *const DATA_MASK[] = {"data", "mask"};
const char *const MASK_DATA[] = {"mask", "data"};

PyObject *fn_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key, *data;
    if (!two_args("mask", KEY_DATA, args, nargs, kwnames, &key, &data)) return nullptr;
    return one_shot_masked(module, key, data, "mask()", TAV_KEY);
}

PyObject *fn_mask_in_place(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *key, *buffer;
    if (!two_args("mask_in_place", KEY_BUFFER, args, nargs, kwnames, &key, &buffer)) return nullptr;
    return one_shot_in_place(module, key, buffer, "mask_in_place()");
}

// websockets' apply_mask copies a buffer that is not C-contiguous (a strided
// memoryview) and masks the copy; so does this one, straight into the result.
PyObject *fn_apply_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *data, *mask;
    if (!two_args("apply_mask", DATA_MASK, args, nargs, kwnames, &data, &mask)) return nullptr;
    if (PyBytes_CheckExact(data)) return one_shot_masked(module, mask, data, "apply_mask()", WEBSOCKETS_MASK);
    uint8_t k[4];
    if (parse_key(mask, k, WEBSOCKETS_MASK) < 0) return nullptr;
    Py_buffer view;
    if (get_any_layout(data, &view, "apply_mask()") < 0) return nullptr;
    const Shared *sh = module_state(module)->shared;
    xormask_state rec;
    init_masker_record(&rec, k);
    PyObject *out;
    if (PyBuffer_IsContiguous(&view, 'C')) {
        Input in;
        in.data = static_cast<const uint8_t *>(view.buf);
        in.size = view.len;
        in.exported = false;
        out = masked_bytes(sh, &rec, in);
    } else if ((out = PyBytes_FromStringAndSize(nullptr, view.len)) != nullptr) {
        uint8_t *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(out));
        if (PyBuffer_ToContiguous(dst, &view, view.len, 'C') < 0) {
            Py_CLEAR(out);
        } else {
            unlocked_if_long(sh, view.len, [&] {
                run_mask(sh, &rec, dst, static_cast<size_t>(view.len));
                return 0;
            });
        }
    }
    PyBuffer_Release(&view);
    return out;
}

PyObject *fn_websocket_mask(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *mask, *data;
    if (!two_args("websocket_mask", MASK_DATA, args, nargs, kwnames, &mask, &data)) return nullptr;
    return one_shot_in_place(module, mask, data, "websocket_mask()");
}

}  // namespace
