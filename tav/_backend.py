"""Which implementation of the safe API serves this process: picked once, at import.

- "native": the CPython extension module _tav_native, made for per-call cost.
- "cffi": the pure-Python API over the cffi modules _tav_utf8check and
  _tav_bytemask; the choice on PyPy, whose JIT compiles cffi calls while a
  C-API extension runs there through an emulation layer, and wherever the
  extension is missing.

TAV_BACKEND=native|cffi in the environment forces one (for tests and
comparisons); a forced backend that cannot be imported is an ImportError."""
from __future__ import annotations

import importlib
import os
import sys

__all__ = ["MASKER", "NAME"]

BACKENDS = ("native", "cffi")


def _pick() -> str:
    forced = os.environ.get("TAV_BACKEND", "")
    if forced:
        if forced not in BACKENDS:
            raise ImportError(f"TAV_BACKEND={forced!r}: the backends are {', '.join(BACKENDS)}")
        if forced == "native":
            importlib.import_module("_tav_native")  # an ImportError here says why
        return forced
    if sys.implementation.name != "cpython":
        return "cffi"
    try:
        importlib.import_module("_tav_native")
    except ImportError:
        return "cffi"
    return "native"


#: The backend in use, "native" or "cffi".
NAME = _pick()


def _masker() -> str:
    if NAME == "native":
        return "native"  # the native module checks the processor itself
    from . import _cpu

    return "python" if _cpu.X86_64 and not _cpu.has("sse4.1") else "cffi"


#: The masker in use: "native" (the native module's routines); for the cffi
#: backend "cffi", the masker module, which is built for SSE4.1 on x86-64 and
#: so is imported only where the processor has it, else "python", its
#: pure-Python twin.
MASKER = _masker()


_VECTOR_NAMES = {
    "avx512": "AVX-512 vector validator",
    "avx2": "AVX2 vector validator",
    "ssse3": "SSSE3 vector validator",
    "neon": "NEON vector validator",
}
_MASK_NAMES = {"avx512": "AVX-512", "avx2": "AVX2", "sse2": "SSE2", "neon": "NEON", "bytes": "byte loop"}


def _size(n: int) -> str:
    for unit, shift in (("MiB", 20), ("KiB", 10)):
        if n >= 1 << shift and n % (1 << shift) == 0:
            return f"{n >> shift} {unit}"
    return f"{n} B"


def routines() -> dict[str, str]:
    """The routines the safe API runs on this processor, for `tav --version` and the benchmarks."""
    from . import _cpu

    out = {"processor": " ".join(_cpu.names()) or "none used"}
    if NAME == "native":
        # The native module reports what "auto" runs here.
        native = importlib.import_module("_tav_native")
        chosen = native._force_routines()  # with no argument: what is in force, unchanged
        vector = native.VECTOR_ROUTINE
        out["validation"] = {
            "auto": (
                f"unrolled, {_VECTOR_NAMES[vector]} from {native.VECTOR_FROM} B"
                if vector != "none"
                else f"unrolled, SSE2 block validator from {native.BLOCK_VALIDATOR_THRESHOLD} B"
                if _cpu.X86_64
                else "unrolled"
            ),
        }.get(chosen["utf8"], chosen["utf8"])
        if chosen["mask"] == "auto":  # (routine, from size) pairs
            parts = [(_MASK_NAMES.get(name, name), start) for name, start in native.MASK_AUTO]
            out["masking"] = ", ".join(
                name if len(parts) == 1 else f"{name} from {_size(start)}" if start else f"{name} below {_size(parts[1][1])}"
                for name, start in parts
            )
        else:
            out["masking"] = _MASK_NAMES.get(chosen["mask"], chosen["mask"])
        decode = {"avx512": "AVX-512", "avx2": "AVX2", "ssse3": "SSSE3", "neon": "NEON", "scalar": "portable"}
        out["decoding"] = f"{decode.get(native.DECODE_ROUTINE, native.DECODE_ROUTINE)} routines"
    else:
        from . import _utf8

        long = _VECTOR_NAMES.get(_utf8.LONG_ROUTINE, "SSE2 block validator")
        out["validation"] = (
            f"unrolled, {long} from {_utf8.BLOCK_VALIDATOR_THRESHOLD} B" if _utf8.LONG_ROUTINE != "none" else "unrolled"
        )
        out["masking"] = {"cffi": "SSE2" if _cpu.X86_64 else "byte loop", "python": "pure Python"}[MASKER]
        out["decoding"] = "CPython's decoder"
    return out
