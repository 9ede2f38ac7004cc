"""WebSocket payload masking (RFC 6455 section 5.3) over the native masker record."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

import cffi

import _tav_bytemask

from ._buffers import COPIES, RECORD_SIZE, U8_ARRAY, copy_of, from_buffer, key_bytes as _key_bytes, writable
from ._buffers import write_copies
from ._owner import MaskerOwner

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["XorMasker", "mask", "mask_in_place"]

ffi = _tav_bytemask.ffi
lib = _tav_bytemask.lib
_process = lib.tav_xormask_process

# The record's layout, to give a masker a new key in place.
_abi = cffi.FFI()
_abi.cdef("typedef struct { uint8_t mask[4]; size_t pointer; int impl; } xormask_state;")
_RECORD = _abi.typeof("xormask_state *")


class XorMasker(MaskerOwner):
    """XOR a byte stream in place with a repeating 4-byte key; masking and unmasking are the same.

    The key phase carries across calls: masking a payload chunk by chunk gives
    the bytes that one call on the whole payload gives. `key` is any bytes-like
    object of exactly 4 bytes and is copied.

    Copying: refused (copy, deepcopy and pickle raise TypeError), since a copy
    would share the native record; make a new XorMasker with the same key.

    Sharing: one object serves one thread at a time. A call made while another
    thread is inside a method of the same object raises RuntimeError; close()
    from another thread during a call never frees the record under that
    call. Distinct objects may be used from distinct threads at once. The
    interpreter lock is released while native code runs; on PyPy buffers go
    through private copies for it (tav._buffers)."""

    __slots__ = ()
    _ffi = ffi

    def __init__(self, key: Buffer) -> None:
        raw = lib.tav_xormask_new(_key_bytes(key))
        if raw == ffi.NULL:
            raise MemoryError("cannot allocate a masker record")
        super().__init__(ffi.gc(raw, lib.tav_xormask_free, RECORD_SIZE))

    def mask(self, buffer: Buffer, /) -> None:
        """Mask a writable C-contiguous buffer in place (bytearray, writable memoryview, array, mmap, ...)."""
        try:
            token = self._token
            token.pop()
        except AttributeError:
            raise self._uninitialized() from None
        except IndexError:
            raise self._concurrent() from None
        try:
            handle = self._handle
            if handle is None:
                raise self._closed()
            if COPIES:
                write_copies(buffer, lambda chunk, k: _process(handle, chunk, k), "XorMasker.mask()")
            else:
                view = from_buffer(U8_ARRAY, buffer, True) if type(buffer) is bytearray else writable(buffer, "XorMasker.mask()")
                _process(handle, view, len(view))
        finally:
            token.append(True)

    def _run(self, handle: Any, buf: Any, n: int) -> None:
        _process(handle, buf, n)

    def masked(self, data: Buffer, /) -> bytes:
        """The masked copy of a C-contiguous bytes-like object, which stays untouched.

        Like mask(), it continues in the key where the last call ended and
        advances the position by len(data): two masked() calls mask their
        inputs as one stream. For a copy masked from key byte 0 with no
        state, use tav.mask(key, data)."""
        out = copy_of(data, "XorMasker.masked()")
        self.mask(out)
        return bytes(out)

    @property
    def position(self) -> int:
        """Bytes masked since creation or reset(); the key phase is position mod 4."""
        handle = self._acquire()
        try:
            return int(lib.tav_xormask_pointer(handle))
        finally:
            self._token.append(True)

    def reset(self, /, key: Optional[Buffer] = None) -> None:
        """Start again at key byte 0; given a 4-byte `key`, mask with it from now on.

        A new key goes into the same record: a stack that unmasks frame after
        frame keeps one XorMasker and resets it with each frame's key."""
        raw_key = None if key is None else _key_bytes(key)
        handle = self._acquire()
        try:
            if raw_key is not None:
                record: Any = _abi.cast(_RECORD, handle)
                _abi.memmove(record.mask, raw_key, 4)
            lib.tav_xormask_reset(handle)
        finally:
            self._token.append(True)

    def __repr__(self) -> str:
        handle = getattr(self, "_handle", None)
        return self._describe("" if handle is None else f" position={lib.tav_xormask_pointer(handle)}")


def _new_handle(key: Buffer) -> Any:
    raw_key = key if type(key) is bytes and len(key) == 4 else _key_bytes(key)
    handle = lib.tav_xormask_new(raw_key)
    if handle == ffi.NULL:
        raise MemoryError("cannot allocate a masker record")
    return handle


def mask_in_place(key: Buffer, buffer: Buffer) -> None:
    """Mask a writable C-contiguous buffer in place with the 4-byte `key`, from key byte 0.

    The stateless in-place form of mask(): one call per frame, no object."""
    raw_key = key if type(key) is bytes and len(key) == 4 else _key_bytes(key)
    if COPIES:
        view: Any = None
    else:
        view = from_buffer(U8_ARRAY, buffer, True) if type(buffer) is bytearray else writable(buffer, "mask_in_place()")
    handle = lib.tav_xormask_new(raw_key)
    if handle == ffi.NULL:
        raise MemoryError("cannot allocate a masker record")
    try:
        if view is None:
            write_copies(buffer, lambda chunk, k: _process(handle, chunk, k), "mask_in_place()")
        else:
            _process(handle, view, len(view))
    finally:
        lib.tav_xormask_free(handle)


def mask(key: Buffer, data: Buffer) -> bytes:
    """`data` masked with the 4-byte `key` from key byte 0, as new bytes; `data` stays untouched.

    Every call starts at key byte 0, as one WebSocket frame's payload does: it
    keeps no position between calls. To mask a payload that arrives in
    pieces, use one XorMasker, which carries the key phase from piece to piece."""
    handle = _new_handle(key)
    try:
        out = copy_of(data, "mask()")
        # A private copy: no other thread can resize it, on any interpreter.
        _process(handle, from_buffer(U8_ARRAY, out, True), len(out))
    finally:
        lib.tav_xormask_free(handle)
    return bytes(out)
