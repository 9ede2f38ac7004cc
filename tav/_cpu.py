"""What the processor can run, asked once at import.

The answer comes from tav_cpu_features() of the validator library, bound in
_tav_utf8routines and built for baseline x86-64, so it runs on every
processor. The safe API picks a routine only when the processor has what it
needs, so no call through it can meet an illegal instruction.

TAV_CPU_FEATURES_MASK (an integer, e.g. 0 or 0x7) is ANDed with the answer:
tests use it to force each fallback. It can only take features away."""
from __future__ import annotations

import importlib
import os
import platform

__all__ = ["AARCH64", "FEATURES", "KNOWN", "X86_64", "has", "names"]

# The bits of tav_cpu_features(), as utf8check/tav_utf8check.h defines them.
BITS = {
    "sse2": 1 << 0,
    "ssse3": 1 << 1,
    "sse4.1": 1 << 2,
    "avx2": 1 << 3,
    "avx512f": 1 << 4,
    "avx512bw": 1 << 5,
    "avx512vl": 1 << 6,
    "avx512vbmi": 1 << 7,
    "avx512vbmi2": 1 << 8,
}

#: True on x86-64, where routines beyond the portable ones exist.
X86_64 = platform.machine().lower() in ("x86_64", "amd64")
#: True on aarch64, whose NEON routines need no feature: every such processor has NEON.
AARCH64 = platform.machine().lower() in ("aarch64", "arm64")


def _detect() -> tuple[int, bool]:
    try:
        features = int(importlib.import_module("_tav_utf8routines").lib.tav_cpu_features())
    except ImportError:
        # No query to be had (a build without the cffi modules): use only what
        # runs everywhere. The native module checks the processor itself.
        return 0, False
    mask = os.environ.get("TAV_CPU_FEATURES_MASK")
    if mask:
        features &= int(mask, 0)
    return features, True


#: The features the safe API may use, as tav_cpu_features() bits; KNOWN is
#: False where no query was to be had and FEATURES is 0 for that reason.
FEATURES, KNOWN = _detect()


def has(*names: str) -> bool:
    """True if the processor has every feature named (keys of BITS)."""
    return all(FEATURES & BITS[n] for n in names)


def names() -> list[str]:
    """The names of the features present, in BITS order."""
    return [n for n, bit in BITS.items() if FEATURES & bit]
