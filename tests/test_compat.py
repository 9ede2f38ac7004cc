"""tav.compat as the peers' own tests use their helpers: websockets' ApplyMaskTests restated, aiohttp's contract."""
from __future__ import annotations

import itertools
from typing import Any, Callable

import pytest

from support import xor_model

import backends


@pytest.fixture(params=backends.params())
def api(request: pytest.FixtureRequest) -> Any:
    return backends.BACKENDS[request.param]


# (data, mask, masked): websockets' own table.
VALUES = [
    (b"", b"1234", b""),
    (b"aBcDe", b"\x00\x00\x00\x00", b"aBcDe"),
    (b"abcdABCD", b"1234", b"PPPPpppp"),
    (b"abcdABCD" * 10, b"1234", b"PPPPpppp" * 10),
]
TYPES = [bytes, bytearray, memoryview]


@pytest.mark.parametrize("data_type, mask_type", list(itertools.product(TYPES, repeat=2)))
def test_apply_mask_takes_bytes_bytearray_and_memoryview_in_both_places(
    api: Any, data_type: Callable[[bytes], Any], mask_type: Callable[[bytes], Any]
) -> None:
    for data, mask, masked in VALUES:
        result = api.apply_mask(data_type(data), mask_type(mask))
        assert type(result) is bytes and result == masked


@pytest.mark.parametrize("mask_type", [bytes, bytearray])
def test_apply_mask_copies_a_strided_memoryview_and_masks_the_copy(api: Any, mask_type: Callable[[bytes], Any]) -> None:
    assert api.apply_mask(memoryview(b"abcdefgh")[::-1], mask_type(b"1234")) == b"YUUQUQQU"
    for data, mask, _ in VALUES:
        for step in (2, 3, -1):
            view = memoryview(data)[::step]
            assert api.apply_mask(view, mask_type(mask)) == xor_model(data[::step], mask)


def test_apply_mask_copies_a_strided_2d_array_in_c_order(api: Any) -> None:
    np = pytest.importorskip("numpy")
    grid = np.arange(24, dtype=np.uint8).reshape(4, 6)[:, ::2]
    assert api.apply_mask(grid, b"1234") == xor_model(grid.tobytes(), b"1234")


@pytest.mark.parametrize("data, mask", [(None, None), (b"abcd", None), (None, b"abcd")])
def test_apply_mask_refuses_none_with_type_error(api: Any, data: Any, mask: Any) -> None:
    with pytest.raises(TypeError):
        api.apply_mask(data, mask)


@pytest.mark.parametrize("data, mask", [(b"", b""), (b"abcd", b"123"), (b"", b"aBcDe"), (b"12345678", b"12345678")])
def test_apply_mask_refuses_a_mask_of_other_than_4_bytes(api: Any, data: bytes, mask: bytes) -> None:
    with pytest.raises(ValueError, match="mask must contain 4 bytes"):
        api.apply_mask(data, mask)


def test_apply_mask_agrees_with_websockets_own_helper(api: Any) -> None:
    utils = pytest.importorskip("websockets.utils")
    for data, mask, _ in VALUES:
        for view in (data, memoryview(data)[::2], memoryview(data)[::-1]):
            assert api.apply_mask(view, mask) == utils.apply_mask(view, mask)


def test_websocket_mask_masks_a_bytearray_in_place_and_returns_none(api: Any) -> None:
    for data, mask, masked in VALUES:
        buf = bytearray(data)
        assert api.websocket_mask(mask, buf) is None
        assert buf == masked
    with pytest.raises(TypeError):
        api.websocket_mask(b"1234", b"read-only")
