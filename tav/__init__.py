"""tav: incremental UTF-8 validation, decoding and WebSocket payload masking in native code.

    >>> import tav
    >>> v = tav.Utf8Validator()
    >>> v.validate(b"\\xe2\\x82"), v.validate(b"\\xac")
    (<Utf8Status.INCOMPLETE: 1>, <Utf8Status.COMPLETE: 0>)
    >>> tav.mask(b"\\x37\\xfa\\x21\\x3d", b"Hello")
    b'\\x7f\\x9fMQX'
"""

from typing import TYPE_CHECKING

from . import _backend
from ._include import get_include
from ._status import Utf8Status

# The pure-Python classes document and type the API; the native module
# implements the same names, types and errors.
if _backend.NAME == "cffi" or TYPE_CHECKING:
    from ._utf8 import BLOCK_VALIDATOR_THRESHOLD, Utf8Validator, is_valid_utf8, unmask_and_validate

    if _backend.MASKER == "python" and not TYPE_CHECKING:
        from ._pymask import XorMasker, mask, mask_in_place
    else:
        from ._mask import XorMasker, mask, mask_in_place
else:
    from _tav_native import (
        BLOCK_VALIDATOR_THRESHOLD,
        Utf8Validator,
        XorMasker,
        is_valid_utf8,
        mask,
        mask_in_place,
        unmask_and_validate,
    )

# Decoding into str: the native module's own, else CPython's decoder behind
# the same API.
if _backend.NAME == "cffi" or TYPE_CHECKING:
    from ._decode import Utf8Decoder, decode_utf8
else:
    from _tav_native import Utf8Decoder, decode_utf8

__version__ = "0.1.0"

#: The implementation serving this process: "native" (the CPython extension
#: module) or "cffi" (pure Python over the cffi modules: PyPy, or where the
#: extension is missing). Picked once, at import.
backend: str = _backend.NAME

__all__ = [
    "BLOCK_VALIDATOR_THRESHOLD",
    "Utf8Decoder",
    "Utf8Status",
    "Utf8Validator",
    "XorMasker",
    "backend",
    "decode_utf8",
    "get_include",
    "is_valid_utf8",
    "mask",
    "mask_in_place",
    "unmask_and_validate",
]
