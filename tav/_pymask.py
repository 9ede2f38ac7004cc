"""Masking in pure Python, for an x86-64 processor without SSE4.1.

The masker module is built for SSE4.1 as a whole, so on such a processor it
is never imported; this twin of tav._mask serves instead, with the same
classes, results and errors, and no native record. It XORs whole buffers as
big integers, which CPython and PyPy do word by word."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

from ._buffers import copy_of, ffi, writable_view
from ._buffers import key_bytes as _key_bytes
from ._owner import MaskerOwner

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["XorMasker", "mask", "mask_in_place"]


class _State:
    """What a native masker record holds: the key and the bytes masked so far."""

    __slots__ = ("key", "position")

    def __init__(self, key: bytes) -> None:
        self.key = key
        self.position = 0


class _NoRecord:
    """Stands in for the ffi whose release() frees a record: there is none."""

    @staticmethod
    def release(state: object) -> None:
        pass


def _xor(view: memoryview, key: bytes, phase: int) -> None:
    """XOR the writable byte view in place with `key` starting at key byte `phase`."""
    # One read of the bytes: on PyPy the view follows another thread's resize,
    # so its length read apart from its bytes may not match them.
    data = view.tobytes()
    n = len(data)
    if n:
        turned = key[phase:] + key[:phase]
        stream = (turned * (n // 4 + 1))[:n]
        masked = (int.from_bytes(data, "little") ^ int.from_bytes(stream, "little")).to_bytes(n, "little")
        try:
            view[:] = masked
        except ValueError:  # PyPy: another thread resized the buffer meanwhile
            raise BufferError("the buffer was resized by another thread during the call") from None


def _writable_view(buffer: Buffer, what: str) -> memoryview:
    # A memoryview, not a pointer: it pins the memory on CPython and follows
    # resizes with checked bounds on PyPy.
    return memoryview(buffer) if type(buffer) is bytearray else writable_view(buffer, what)


class XorMasker(MaskerOwner):
    """XOR a byte stream in place with a repeating 4-byte key; see tav.XorMasker."""

    __slots__ = ()
    _ffi = _NoRecord

    def __init__(self, key: Buffer) -> None:
        super().__init__(_State(_key_bytes(key)))  # type: ignore[arg-type]

    def mask(self, buffer: Buffer, /) -> None:
        """Mask a writable C-contiguous buffer in place, continuing in the key."""
        state: Any = self._acquire()
        try:
            with _writable_view(buffer, "XorMasker.mask()") as view:
                _xor(view, state.key, state.position & 3)
                state.position += len(view)
        finally:
            self._token.append(True)

    def _run(self, handle: Any, buf: Any, n: int) -> None:
        _xor(memoryview(ffi.buffer(buf, n)), handle.key, handle.position & 3)
        handle.position += n

    def masked(self, data: Buffer, /) -> bytes:
        """The masked copy of a C-contiguous bytes-like object; advances the position."""
        out = copy_of(data, "XorMasker.masked()")
        self.mask(out)
        return bytes(out)

    @property
    def position(self) -> int:
        """Bytes masked since creation or reset(); the key phase is position mod 4."""
        state: Any = self._acquire()
        try:
            return int(state.position)
        finally:
            self._token.append(True)

    def reset(self, /, key: Optional[Buffer] = None) -> None:
        """Start again at key byte 0; given a 4-byte `key`, mask with it from now on."""
        raw_key = None if key is None else _key_bytes(key)
        state: Any = self._acquire()
        try:
            if raw_key is not None:
                state.key = raw_key
            state.position = 0
        finally:
            self._token.append(True)

    def __repr__(self) -> str:
        state: Any = getattr(self, "_handle", None)
        return self._describe("" if state is None else f" position={state.position}")


def mask_in_place(key: Buffer, buffer: Buffer) -> None:
    """Mask a writable C-contiguous buffer in place with the 4-byte `key`, from key byte 0."""
    raw_key = _key_bytes(key)
    with _writable_view(buffer, "mask_in_place()") as view:
        _xor(view, raw_key, 0)


def mask(key: Buffer, data: Buffer) -> bytes:
    """`data` masked with the 4-byte `key` from key byte 0, as new bytes; `data` stays untouched."""
    raw_key = _key_bytes(key)
    out = copy_of(data, "mask()")
    _xor(memoryview(out), raw_key, 0)
    return bytes(out)
