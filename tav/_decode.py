"""UTF-8 into str, one-shot and incremental, with CPython's results and errors.

CPython's own decoder builds the str (on PyPy, whose str keeps UTF-8 as it
is, that is the fast way); what is added is the masking key and an
incremental decoder that fails fast."""
from __future__ import annotations

import codecs
import importlib
from typing import TYPE_CHECKING, Callable, Optional, Tuple

from . import _backend
from ._buffers import key_bytes, plain_view

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["Utf8Decoder", "decode_utf8"]


def _masker() -> Callable[[Buffer, Buffer], bytes]:
    if _backend.NAME == "native":
        fn: Callable[[Buffer, Buffer], bytes] = importlib.import_module("_tav_native").mask
    elif _backend.MASKER == "python":
        from ._pymask import mask as fn
    else:
        from ._mask import mask as fn
    return fn


_mask = _masker()
_utf_8_decode = codecs.utf_8_decode


def _as_bytes(data: Buffer, what: str) -> bytes:
    if type(data) is bytes:
        return data
    with plain_view(data, what) as view:
        return view.tobytes()


def decode_utf8(data: Buffer, errors: str = "strict", *, mask: Optional[Buffer] = None) -> str:
    """`data` (any C-contiguous bytes-like object) decoded from UTF-8: bytes(data).decode("utf-8", errors).

    The same str, and with errors="strict" the same UnicodeDecodeError
    (encoding, object, start, end, reason). Given `mask` (4 bytes, as
    tav.mask takes), decodes the payload unmasked with that key from key
    byte 0; `data` itself stays untouched."""
    if mask is not None:
        key_bytes(mask)  # the key's own errors, before anything is copied
        raw = _mask(mask, data if type(data) is bytes else _as_bytes(data, "decode_utf8()"))
    else:
        raw = _as_bytes(data, "decode_utf8()")
    return raw.decode("utf-8", errors)


# For each lead byte that starts a sequence, the range of the byte after it
# (Unicode table 3-7, RFC 3629); every later byte is 80..BF.
_SECOND = {
    **{lead: (0x80, 0xBF) for lead in range(0xC2, 0xE0)},  # C2..DF 80..BF -- 0080..07FF
    0xE0: (0xA0, 0xBF),  # E0 A0..BF -- 0800..0FFF, no overlong forms
    **{lead: (0x80, 0xBF) for lead in range(0xE1, 0xED)},
    0xED: (0x80, 0x9F),  # ED 80..9F -- D000..D7FF, no surrogates
    0xEE: (0x80, 0xBF),
    0xEF: (0x80, 0xBF),
    0xF0: (0x90, 0xBF),  # F0 90..BF -- 10000..3FFFF, no overlong forms
    0xF1: (0x80, 0xBF),
    0xF2: (0x80, 0xBF),
    0xF3: (0x80, 0xBF),
    0xF4: (0x80, 0x8F),  # F4 80..8F -- 100000..10FFFF, nothing above
}


def _can_continue(tail: bytes) -> bool:
    """True if `tail`, the start of one character, can still become well-formed UTF-8."""
    second = _SECOND.get(tail[0])
    if second is None:
        return False
    if len(tail) > 1 and not second[0] <= tail[1] <= second[1]:
        return False
    return all(0x80 <= b <= 0xBF for b in tail[2:])


def _errors_value(errors: object, what: str) -> str:
    """`errors` as the handler's name: a str, as the native decoder takes it."""
    if not isinstance(errors, str):
        raise TypeError(f"{what} must be str, not {type(errors).__name__}")
    return errors if type(errors) is str else str.__str__(errors)  # a subclass's methods never run later


class Utf8Decoder:
    """An incremental UTF-8 decoder with the interface of codecs.getincrementaldecoder("utf-8")().

    decode(input, final=False) returns the characters completed so far and
    keeps the bytes of an unfinished character for the next call; getstate()
    is (those bytes, 0). With errors="strict" it fails fast: the call that
    delivers the first byte that cannot continue well-formed UTF-8 raises,
    even where CPython's decoder would wait for more bytes (a chunk ending
    in ED A0, E0 80, F4 90, C0), with the UnicodeDecodeError that
    (pending + input).decode() raises. A call that raises changes no state."""

    __slots__ = ("_errors", "_pending")

    def __init__(self, errors: str = "strict") -> None:
        self._errors = _errors_value(errors, "Utf8Decoder() argument 'errors'")
        self._pending = b""

    @property
    def errors(self) -> str:
        """The error handler's name; assignable, as on codecs' decoders: the next call uses it."""
        return self._errors

    @errors.setter
    def errors(self, value: str) -> None:
        self._errors = _errors_value(value, "Utf8Decoder.errors")

    @errors.deleter
    def errors(self) -> None:
        raise AttributeError("cannot delete the errors attribute of a Utf8Decoder")

    def decode(self, /, input: Buffer, final: bool = False) -> str:
        """Decode the next chunk; with final=True the stream ends here (an unfinished character raises)."""
        data = input if type(input) is bytes else _as_bytes(input, "Utf8Decoder.decode()")
        whole = self._pending + data if self._pending else data
        out, used = _utf_8_decode(whole, self._errors, final)
        if used < len(whole) and not final and self._errors == "strict" and not _can_continue(whole[used:]):
            whole.decode("utf-8", "strict")  # raises: the tail cannot continue
        self._pending = whole[used:]
        return out

    def reset(self, /) -> None:
        """Forget the unfinished character, if any."""
        self._pending = b""

    def getstate(self, /) -> Tuple[bytes, int]:
        """(the bytes of the unfinished character, 0), as CPython's decoder gives."""
        return (self._pending, 0)

    def setstate(self, /, state: Tuple[bytes, int]) -> None:
        """Resume from a getstate() result."""
        pending = _as_bytes(state[0], "Utf8Decoder.setstate()")
        if len(pending) > 3:
            raise ValueError(
                f"Utf8Decoder.setstate() takes at most 3 pending bytes, the start of one character; got {len(pending)}"
            )
        self._pending = pending

    def __repr__(self) -> str:
        return f"<Utf8Decoder errors={self.errors!r} pending={self._pending!r}>"
