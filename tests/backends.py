"""The implementations of the safe API, as namespaces with the names `tav` exports.

test modules that exercise the safe API run once against each: the native
extension module (CPython), the pure-Python API over the cffi modules, and
that API with its pure-Python masker (what an x86-64 processor without
SSE4.1 gets)."""
from __future__ import annotations

import importlib
import sys
from types import SimpleNamespace
from typing import Any, Dict, List

import pytest

import tav
from support import CFFI_MISSING, HAVE_CFFI
from tav import _decode, compat

if HAVE_CFFI:
    from support import utf8_record
    from tav import _mask, _pymask, _utf8
else:
    _utf8 = None


def _namespace(utf8: Any, mask: Any) -> SimpleNamespace:
    apply_mask, websocket_mask = compat.aliases(mask.mask, mask.mask_in_place)
    return SimpleNamespace(
        Utf8Status=tav.Utf8Status,
        BLOCK_VALIDATOR_THRESHOLD=utf8.BLOCK_VALIDATOR_THRESHOLD,
        Utf8Validator=utf8.Utf8Validator,
        is_valid_utf8=utf8.is_valid_utf8,
        XorMasker=mask.XorMasker,
        mask=mask.mask,
        mask_in_place=mask.mask_in_place,
        unmask_and_validate=utf8.unmask_and_validate,
        decode_utf8=getattr(utf8, "decode_utf8", _decode.decode_utf8),
        Utf8Decoder=getattr(utf8, "Utf8Decoder", _decode.Utf8Decoder),
        apply_mask=getattr(mask, "apply_mask", apply_mask),
        websocket_mask=getattr(mask, "websocket_mask", websocket_mask),
        # malloc'd records behind a validator and a masker; the native module
        # keeps its records inside the objects
        records_per_pair=0 if utf8 is not _utf8 else 1 if mask is _pymask else 2,
        # True while another thread's call holds the object
        busy=(lambda obj: "in use" in repr(obj)) if utf8 is not _utf8 else (lambda obj: not obj._token),
        # (current_index, total_index, state, impl) of a validator's record
        validator_record=(lambda v: v._record()) if utf8 is not _utf8 else (lambda v: utf8_record(v._handle)),
    )


def _native() -> Any:
    try:
        return importlib.import_module("_tav_native")
    except ImportError as e:
        return e


CFFI_BACKENDS = ("cffi", "cffi-python-masker")
BACKENDS: Dict[str, Any] = {}
if HAVE_CFFI:
    BACKENDS["cffi"] = _namespace(_utf8, _mask)
    BACKENDS["cffi-python-masker"] = _namespace(_utf8, _pymask)
_native_module = _native()
if not isinstance(_native_module, ImportError):
    BACKENDS["native"] = _namespace(_native_module, _native_module)


def params() -> List[Any]:
    """pytest params, one per backend; one that cannot run here skips, with the reason."""
    out: List[Any] = [pytest.param(name, id=name) for name in BACKENDS]
    if not HAVE_CFFI:
        out += [pytest.param(name, id=name, marks=pytest.mark.skip(reason=CFFI_MISSING)) for name in CFFI_BACKENDS]
    if "native" not in BACKENDS:
        reason = (
            "the native extension runs on CPython only"
            if sys.implementation.name != "cpython"
            else f"_tav_native is not importable: {_native_module}"
        )
        out.append(pytest.param("native", id="native", marks=pytest.mark.skip(reason=reason)))
    return out
