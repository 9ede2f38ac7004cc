"""One signature per public callable on every backend, and the same error for the same wrong call."""
from __future__ import annotations

import inspect
from typing import Any, Callable, Dict, Optional, Type

import pytest

import tav
import tav.compat

import backends

KEY = b"\x01\x02\x03\x04"

# The decided signature of every public callable, annotations left out:
# positional-only where per-call cost needs it, named as the peers name them
# in compat.
SIGNATURES: Dict[str, str] = {
    "Utf8Validator": "()",
    "Utf8Validator.validate": "(self, data, /)",
    "Utf8Validator.reset": "(self, /)",
    "Utf8Validator.close": "(self, /)",
    "XorMasker": "(key)",
    "XorMasker.mask": "(self, buffer, /)",
    "XorMasker.masked": "(self, data, /)",
    "XorMasker.reset": "(self, /, key=None)",
    "is_valid_utf8": "(data, /)",
    "mask": "(key, data)",
    "mask_in_place": "(key, buffer)",
    "unmask_and_validate": "(masker, validator, buffer, /)",
    "decode_utf8": "(data, errors='strict', *, mask=None)",
    "Utf8Decoder": "(errors='strict')",
    "Utf8Decoder.decode": "(self, /, input, final=False)",
    "Utf8Decoder.reset": "(self, /)",
    "Utf8Decoder.getstate": "(self, /)",
    "Utf8Decoder.setstate": "(self, /, state)",
    "apply_mask": "(data, mask)",
    "websocket_mask": "(mask, data)",
}


@pytest.fixture(params=backends.params())
def api(request: pytest.FixtureRequest) -> Any:
    return backends.BACKENDS[request.param]


def _bare(fn: Callable[..., object]) -> str:
    sig = inspect.signature(fn)
    params = [p.replace(annotation=inspect.Parameter.empty) for p in sig.parameters.values()]
    return str(sig.replace(parameters=params, return_annotation=inspect.Signature.empty))


def _lookup(api: Any, dotted: str) -> Callable[..., object]:
    obj = api
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj  # type: ignore[no-any-return]


def test_every_public_callable_has_its_decided_signature(api: Any) -> None:
    public = {name for name in tav.__all__ + tav.compat.__all__ if callable(getattr(tav, name, None) or getattr(tav.compat, name))}
    public -= {"Utf8Status", "get_include"}  # the same enum and function on every backend
    assert public <= {name.split(".")[0] for name in SIGNATURES}, "a public callable without a decided signature"
    found = {name: _bare(_lookup(api, name)) for name in SIGNATURES}
    assert found == SIGNATURES


class _objects(dict):  # type: ignore[type-arg]
    """A validator "v", a masker "m" and a decoder "d" of the backend, each made when first named."""

    def __init__(self, api: Any) -> None:
        super().__init__()
        self.api = api

    def __missing__(self, name: str) -> Any:
        make = {"v": self.api.Utf8Validator, "m": lambda: self.api.XorMasker(KEY), "d": self.api.Utf8Decoder}[name]
        self[name] = obj = make()
        return obj


# (call, exception): the same wrong call raises the same exception type on
# every backend, and its message names no private module or helper.
WRONG_CALLS = [
    # keywords where the parameter is positional-only
    ("o['v'].validate(data=b'')", TypeError),
    ("api.is_valid_utf8(data=b'')", TypeError),
    ("o['m'].mask(buffer=bytearray(4))", TypeError),
    ("o['m'].masked(data=b'')", TypeError),
    ("api.unmask_and_validate(masker=o['m'], validator=o['v'], buffer=bytearray(4))", TypeError),
    # missing and extra arguments
    ("api.Utf8Validator(b'')", TypeError),
    ("api.XorMasker()", TypeError),
    ("o['v'].validate()", TypeError),
    ("o['v'].reset(b'')", TypeError),
    ("o['v'].close(b'')", TypeError),
    ("o['m'].mask()", TypeError),
    ("api.is_valid_utf8()", TypeError),
    ("api.mask(KEY)", TypeError),
    ("api.mask_in_place(KEY)", TypeError),
    ("api.unmask_and_validate(o['m'], o['v'])", TypeError),
    ("api.unmask_and_validate(o['m'], o['v'], bytearray(4), None)", TypeError),
    ("api.apply_mask(b'')", TypeError),
    ("api.websocket_mask(KEY)", TypeError),
    ("api.decode_utf8()", TypeError),
    ("api.decode_utf8(b'', 'strict', KEY)", TypeError),  # mask is keyword-only
    ("o['d'].decode()", TypeError),
    ("o['d'].setstate()", TypeError),
    # swapped objects
    ("api.unmask_and_validate(o['v'], o['m'], bytearray(4))", TypeError),
    ("api.unmask_and_validate(o['m'], o['m'], bytearray(4))", TypeError),
    ("api.unmask_and_validate(o['m'], o['v'], o['v'])", TypeError),
    ("api.mask(b'abcdef', KEY)", ValueError),  # data where the key goes
    ("api.websocket_mask(bytearray(8), KEY)", ValueError),  # aiohttp's order is (mask, data)
    # wrong types and sizes
    ("o['v'].validate('text')", TypeError),
    ("o['v'].validate(None)", TypeError),
    ("api.is_valid_utf8(7)", TypeError),
    ("api.XorMasker(1234)", TypeError),
    ("api.XorMasker(b'123')", ValueError),
    ("o['m'].reset(b'12345')", ValueError),
    ("o['m'].reset('abcd')", TypeError),
    ("o['m'].mask(b'read-only')", TypeError),
    ("api.mask(KEY, None)", TypeError),
    ("api.mask_in_place(KEY, b'read-only')", TypeError),
    ("api.unmask_and_validate(o['m'], o['v'], b'read-only')", TypeError),
    ("api.apply_mask(None, None)", TypeError),
    ("api.apply_mask(b'abcd', None)", TypeError),
    ("api.apply_mask(b'abcd', b'123')", ValueError),
    ("api.websocket_mask(KEY, b'read-only')", TypeError),
    ("api.decode_utf8('text')", TypeError),
    ("api.decode_utf8(b'', mask=b'123')", ValueError),
    ("api.decode_utf8(b'', errors=1)", TypeError),
    ("o['d'].decode('text')", TypeError),
    ("api.Utf8Decoder(errors=1)", TypeError),
]


@pytest.mark.parametrize("call, error", WRONG_CALLS, ids=[c for c, _ in WRONG_CALLS])
def test_a_wrong_call_raises_the_same_error_everywhere(api: Any, call: str, error: Type[BaseException]) -> None:
    o = _objects(api)
    with pytest.raises(error) as info:
        eval(call, {"api": api, "o": o, "KEY": KEY})
    message = str(info.value)
    for private in ("_tav", "tav._", "<locals>", "aliases"):
        assert private not in message, message


# Every parameter that is not positional-only is accepted by its name.
KEYWORD_CALLS = [
    ("api.XorMasker(key=KEY).position", 0),
    ("api.mask(key=KEY, data=b'ab')", b"``"),
    ("api.apply_mask(data=b'ab', mask=KEY)", b"``"),
    ("o['m'].reset(key=KEY)", None),
    ("api.decode_utf8(b'\\xc3\\xa9', errors='strict', mask=None)", "\xe9"),
    ("api.Utf8Decoder(errors='replace').decode(input=b'\\xff', final=True)", "\ufffd"),
]


@pytest.mark.parametrize("call, result", KEYWORD_CALLS, ids=[c for c, _ in KEYWORD_CALLS])
def test_named_parameters_are_taken_by_name(api: Any, call: str, result: Optional[object]) -> None:
    assert eval(call, {"api": api, "o": _objects(api), "KEY": KEY}) == result


@pytest.mark.parametrize("fn", ["mask_in_place", "websocket_mask"])
def test_in_place_forms_take_their_buffer_by_name(api: Any, fn: str) -> None:
    buf = bytearray(b"ab")
    names = {"mask_in_place": ("key", "buffer"), "websocket_mask": ("mask", "data")}[fn]
    assert getattr(api, fn)(**{names[0]: KEY, names[1]: buf}) is None
    assert buf == b"``"
