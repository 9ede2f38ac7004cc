"""The masking helpers of other WebSocket stacks, under their own names and argument orders.

Adopting tav is one import:

    from tav.compat import apply_mask       # websockets: apply_mask(data, mask) -> bytes
    from tav.compat import websocket_mask   # aiohttp: websocket_mask(mask, data) -> None, in place

Both take the 4-byte mask and start at its first byte, as every frame does.
apply_mask raises ValueError("mask must contain 4 bytes") for a mask of
another length and copies a strided memoryview before masking it, as
websockets does; websocket_mask takes any writable buffer (aiohttp's takes
only a bytearray). tav's own names are tav.mask(key, data)
and tav.mask_in_place(key, buffer)."""
from __future__ import annotations

import struct
import sys
from typing import TYPE_CHECKING, Any, Callable, Tuple

from . import _backend
from ._buffers import plain_format

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["apply_mask", "websocket_mask"]


def aliases(
    mask_copy: Callable[[Buffer, Buffer], bytes], mask_in_place: Callable[[Buffer, Buffer], None]
) -> Tuple[Callable[[Buffer, Buffer], bytes], Callable[[Buffer, Buffer], None]]:
    """apply_mask and websocket_mask written over a backend's mask and mask_in_place."""

    def apply_mask(data: Buffer, mask: Buffer) -> bytes:
        """`data` XORed with the repeating 4-byte mask, as new bytes (websockets' signature).

        A buffer that is not C-contiguous (a strided memoryview) is masked
        from a contiguous copy, as websockets does."""
        with memoryview(mask) as view:
            if view.nbytes != 4:
                raise ValueError("mask must contain 4 bytes")
        if type(data) is not bytes and type(data) is not bytearray:
            data = _contiguous(data)
        return mask_copy(mask, data)

    def websocket_mask(mask: Buffer, data: Buffer) -> None:
        """XOR the writable buffer `data` in place with the 4-byte mask (aiohttp's signature)."""
        mask_in_place(mask, data)

    # Python's own argument errors name a function by its qualified name:
    # the public one, not "aliases.<locals>.apply_mask".
    for fn in (apply_mask, websocket_mask):
        fn.__qualname__ = fn.__name__
        fn.__module__ = __name__
    return apply_mask, websocket_mask


def _contiguous(data: Buffer) -> Buffer:
    """`data`, or a C-ordered copy of its bytes where it is a strided buffer of plain data."""
    try:
        view = memoryview(data)
    except TypeError:
        return data  # not a buffer: mask() says so
    with view:
        if view.c_contiguous or not plain_format(view.format):
            return data  # mask() takes it, or names the fault
        if view.ndim > 1 and sys.implementation.name == "pypy":
            return _rows_in_c_order(view, data)
        return view.tobytes()


def _rows_in_c_order(view: memoryview, data: Buffer) -> Buffer:
    """The items of a strided view of more than one dimension, packed in C order.

    PyPy's memoryview.tobytes() ignores the strides of such a view, while
    tolist() follows them; it lists items of one native format code only."""
    try:
        items: Any = view.tolist()
    except NotImplementedError:
        return data  # mask() refuses it as not C-contiguous
    for _ in range(view.ndim - 1):
        items = [item for row in items for item in row]
    return struct.pack(f"{view.format[:-1]}{len(items)}{view.format[-1]}", *items)


if _backend.NAME == "native" and not TYPE_CHECKING:
    from _tav_native import apply_mask, websocket_mask
else:
    from . import mask as _mask
    from . import mask_in_place as _mask_in_place

    apply_mask, websocket_mask = aliases(_mask, _mask_in_place)
