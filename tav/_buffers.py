"""Turning Python buffers into pointers for the native routines, with errors that say what was wrong."""
from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any

import _tav_utf8check

if TYPE_CHECKING:
    from _cffi_backend import _CDataBase as CData
    from typing_extensions import Buffer

ffi = _tav_utf8check.ffi

# Resolved once: a type string given to from_buffer is parsed on every call.
# cffi's ctypes are unique per process, so this one serves both modules.
U8_ARRAY = ffi.typeof("uint8_t[]")

#: Bytes behind one record (with malloc's header), told to the garbage
#: collector so that PyPy's, which does not count references, feels the
#: memory that dropped objects still hold.
RECORD_SIZE = 48

if sys.implementation.name == "pypy":
    # PyPy's from_buffer copies a non-contiguous buffer instead of refusing
    # it: masking would then change the copy and lose the result. Refuse
    # such buffers as CPython does, with the same BufferError.
    _ffi_from_buffer: Any = ffi.from_buffer

    def from_buffer(cdecl: Any, obj: Any, require_writable: bool = False) -> CData:
        if type(obj) is not bytearray and type(obj) is not bytes:
            with memoryview(obj) as view:
                if not view.c_contiguous:
                    raise BufferError("memoryview: underlying buffer is not C-contiguous")
        out: CData = _ffi_from_buffer(cdecl, obj, require_writable)
        return out

else:
    from_buffer = ffi.from_buffer  # type: ignore[assignment]


def readable(data: Buffer, what: str) -> CData:
    """A uint8_t[] view of `data` (no copy); its len() is the buffer's size in bytes.

    The view holds the buffer export until it is dropped, so the memory cannot
    move or be resized while native code reads it with the interpreter lock released."""
    try:
        return from_buffer(U8_ARRAY, data)
    except TypeError:
        raise TypeError(f"{what} takes a bytes-like object, not {type(data).__name__}") from None
    except (BufferError, ValueError) as e:
        raise type(e)(f"{what} cannot use the {type(data).__name__} given as a C-contiguous buffer: {e}") from None


def writable(data: Buffer, what: str) -> CData:
    """A writable uint8_t[] view of `data` (no copy); TypeError naming a read-only buffer."""
    try:
        return from_buffer(U8_ARRAY, data, True)
    except (TypeError, BufferError, ValueError):
        pass
    # Tell read-only buffers apart from things that are no buffer at all.
    view = readable(data, what)
    del view
    raise TypeError(f"{what} needs a writable buffer; the {type(data).__name__} given is read-only")


def key_bytes(key: Buffer) -> bytes:
    """The 4 bytes of a masking key given as any bytes-like object; errors name the fault."""
    try:
        view = memoryview(key)
    except TypeError:
        raise TypeError(f"the key must be a bytes-like object of 4 bytes, not {type(key).__name__}") from None
    with view:
        if view.nbytes != 4:
            raise ValueError(f"the key must be exactly 4 bytes, got {view.nbytes}")
        return view.tobytes()
