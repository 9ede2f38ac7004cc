"""tav: incremental UTF-8 validation and WebSocket payload masking in native code.

    >>> import tav
    >>> v = tav.Utf8Validator()
    >>> v.validate(b"\\xe2\\x82"), v.validate(b"\\xac")
    (<Utf8Status.INCOMPLETE: 1>, <Utf8Status.COMPLETE: 0>)
    >>> tav.mask(b"\\x37\\xfa\\x21\\x3d", b"Hello")
    b'\\x7f\\x9fMQX'
"""

from ._mask import XorMasker, mask
from ._utf8 import BLOCK_VALIDATOR_THRESHOLD, Utf8Status, Utf8Validator, is_valid_utf8

__version__ = "0.1.0"

__all__ = [
    "BLOCK_VALIDATOR_THRESHOLD",
    "Utf8Status",
    "Utf8Validator",
    "XorMasker",
    "is_valid_utf8",
    "mask",
]
