// SPDX-License-Identifier: MIT
// _tav_native, the guard word of an object: one call at a time holds an
// object, and a call that cannot take it is refused with the reason. Shared
// by the validator, masker and decoder types. Part of the one unit that
// _tav_native.cpp builds.
#ifndef TAV_CAPI_GUARD_H
#define TAV_CAPI_GUARD_H

#include <atomic>

namespace {

// READY: __init__ completed. BUSY: a call holds the object. CLOSED: close()
// ran. INIT: an __init__ is filling the record. A fresh (tp_alloc) object is 0.
enum : unsigned { F_READY = 1u, F_BUSY = 2u, F_CLOSED = 4u, F_INIT = 8u };

// Take the object for one call; false when it is not ready, busy or closed,
// with `seen` the word that said so: the refusal is worded from it, since a
// second read may find the object ready again (the other call has finished).
inline bool enter(std::atomic<unsigned> &f, unsigned &seen) {
#ifdef Py_GIL_DISABLED
    seen = F_READY;
    return f.compare_exchange_strong(seen, F_READY | F_BUSY, std::memory_order_acquire, std::memory_order_relaxed);
#else
    // Every access to the word is made holding the interpreter lock, whose
    // release and retake order them: plain loads and stores suffice (the
    // compare-exchange costs 2-5 ns per call more, measured in a GIL build).
    seen = f.load(std::memory_order_relaxed);
    if (seen != F_READY) return false;
    f.store(F_READY | F_BUSY, std::memory_order_relaxed);
    return true;
#endif
}

// Give the object back; a close() made meanwhile stays set.
inline void leave(std::atomic<unsigned> &f) {
#ifdef Py_GIL_DISABLED
    f.fetch_and(~F_BUSY, std::memory_order_release);
#else
    f.store(f.load(std::memory_order_relaxed) & ~F_BUSY, std::memory_order_relaxed);
#endif
}

inline void set_closed(std::atomic<unsigned> &f) {
#ifdef Py_GIL_DISABLED
    f.fetch_or(F_CLOSED, std::memory_order_acq_rel);
#else
    f.store(f.load(std::memory_order_relaxed) | F_CLOSED, std::memory_order_relaxed);
#endif
}

// The error for a call that could not take the object, from the word `enter`
// saw. Returns nullptr.
PyObject *refuse(unsigned seen, const char *cls) {
    if (!(seen & F_READY)) {
        PyErr_Format(PyExc_ValueError, "tav.%s is not initialized (its __init__ never ran or failed)", cls);
    } else if (seen & F_BUSY) {
        PyErr_Format(PyExc_RuntimeError, "concurrent use of one %s from several threads is not allowed", cls);
    } else {
        PyErr_Format(PyExc_ValueError, "%s is closed", cls);
    }
    return nullptr;
}

// Claim a fresh object for __init__: false (RuntimeError set) when it was
// initialized, or is being, already.
bool begin_init(std::atomic<unsigned> &f, const char *cls) {
    unsigned expected = 0;
    if (f.compare_exchange_strong(expected, F_INIT, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    PyErr_Format(PyExc_RuntimeError, "tav.%s is already initialized", cls);
    return false;
}

PyObject *refuse_copy(const char *cls) {
    PyErr_Format(PyExc_TypeError, "cannot copy a tav.%s: it owns a native record; make a new one", cls);
    return nullptr;
}

PyObject *refuse_pickle(const char *cls) {
    PyErr_Format(PyExc_TypeError, "cannot pickle a tav.%s: it owns a native record", cls);
    return nullptr;
}

// The repr of an object that a call could not take, from the word `enter` saw.
PyObject *refused_repr(unsigned seen, const char *cls) {
    if (!(seen & F_READY)) return PyUnicode_FromFormat("<%s not initialized>", cls);
    if (seen & F_CLOSED) return PyUnicode_FromFormat("<%s closed>", cls);
    return PyUnicode_FromFormat("<%s in use>", cls);
}

// The methods every object type answers alike, over its struct T (which has
// the guard word `flags`) and its class name.
template <typename T, const char *Cls>
struct Lifecycle {
    // Idempotent; an object never initialized has nothing to close, as a file that never opened.
    static PyObject *close(PyObject *op, PyObject *) {
        std::atomic<unsigned> &f = reinterpret_cast<T *>(op)->flags;
        if (f.load(std::memory_order_acquire) & F_READY) set_closed(f);
        Py_RETURN_NONE;
    }
    static PyObject *enter_with(PyObject *op, PyObject *) {
        std::atomic<unsigned> &f = reinterpret_cast<T *>(op)->flags;
        unsigned seen;
        if (!enter(f, seen)) return refuse(seen, Cls);
        leave(f);
        Py_INCREF(op);
        return op;
    }
    static PyObject *exit_with(PyObject *op, PyObject *const *, Py_ssize_t) { return close(op, nullptr); }
    // Serve __copy__ (no argument) and __deepcopy__ (one), __reduce__ and __reduce_ex__ alike.
    static PyObject *copy(PyObject *, PyObject *) { return refuse_copy(Cls); }
    static PyObject *reduce(PyObject *, PyObject *) { return refuse_pickle(Cls); }
};

}  // namespace

#endif  // TAV_CAPI_GUARD_H
