"""Choosing the backend and the routines: once, at import, by what the processor has.

TAV_BACKEND forces a backend and TAV_CPU_FEATURES_MASK takes processor
features away, so each fallback is run here in a child interpreter and must
give what the full routines give."""
from __future__ import annotations

import importlib.util
import os
import platform
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
X86_64 = platform.machine().lower() in ("x86_64", "amd64")
# The free-threaded CPython 3.13 has no cffi, and the build leaves the cffi modules out there.
CFFI_MISSING = next((m for m in ("cffi", "_tav_utf8check", "_tav_bytemask") if importlib.util.find_spec(m) is None), None)

CHILD = textwrap.dedent(
    """
    import random, sys
    import tav, tav._backend
    from tav.cli import version_text
    rng = random.Random(5)
    key = bytes(rng.randrange(256) for _ in range(4))
    for n in (0, 1, 3, 4, 15, 16, 17, 63, 64, 65, 200, 4099, 70001):
        data = bytes(rng.randrange(256) for _ in range(n))
        want = bytes(b ^ key[i % 4] for i, b in enumerate(data))
        assert tav.mask(key, data) == want, n
        buf = bytearray(data)
        tav.mask_in_place(key, buf)
        assert buf == want, n
        m = tav.XorMasker(key)
        cut = rng.randrange(n + 1)
        assert m.masked(data[:cut]) + m.masked(data[cut:]) == want, n
        text = ("a\\u00e9\\u20ac\\U0001f600" * (n // 8)).encode()
        v = tav.Utf8Validator()
        assert v.validate(text + b"\\xed\\xa0\\x80") is tav.Utf8Status.INVALID, n
        assert v.error_offset == len(text) + 1, n  # ED A0: the A0 is the first byte no character can continue with
        assert tav.is_valid_utf8(text) and not tav.is_valid_utf8(text + text[:1] + b"\\xf4\\x90"), n
    print(tav.backend, tav._backend.MASKER, "_tav_bytemask" in sys.modules)
    print(version_text())
    """
)


def _child(**env: str) -> list[str]:
    full = {**os.environ, "PYTHONPATH": str(ROOT), **env}
    r = subprocess.run([sys.executable, "-c", CHILD], cwd=ROOT, env=full, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]
    return r.stdout.splitlines()


native = pytest.mark.skipif(sys.implementation.name != "cpython", reason="the native extension runs on CPython only")
cffi = pytest.mark.skipif(CFFI_MISSING is not None, reason=f"the cffi modules are not built here ({CFFI_MISSING} is missing)")


@pytest.mark.parametrize(
    "backend, features, first_line, routines",
    [
        pytest.param("native", "", "native native False", None, marks=native, id="native"),
        # NEON is part of every aarch64 processor, so no mask takes it away.
        pytest.param("native", "0", "native native False",
                     ("masking: byte loop", "decoding: portable routines") if X86_64
                     else ("masking: NEON", "decoding: NEON routines"), marks=native, id="native-no-features"),
        pytest.param("cffi", "", "cffi cffi True", None, marks=cffi, id="cffi"),
        # Off x86-64 the masker module needs no processor feature and stays.
        pytest.param("cffi", "0", "cffi python False" if X86_64 else "cffi cffi True",
                     ("masking: pure Python" if X86_64 else "masking: byte loop", "decoding: CPython's decoder"),
                     marks=cffi, id="cffi-no-features"),
    ],
)
def test_each_backend_and_fallback_gives_the_same_results(
    backend: str, features: str, first_line: str, routines: tuple[str, str] | None
) -> None:
    env = {"TAV_BACKEND": backend}
    if features:
        env["TAV_CPU_FEATURES_MASK"] = features  # a processor with nothing beyond baseline
    lines = _child(**env)
    assert lines[0] == first_line  # without SSE4.1 the SSE4.1-built masker module is never imported
    assert f"backend: {backend}" in lines
    if routines is not None:
        assert all(line in lines for line in routines) and "processor: none used" in lines


def test_an_unknown_backend_is_refused_by_name() -> None:
    full = {**os.environ, "PYTHONPATH": str(ROOT), "TAV_BACKEND": "fortran"}
    r = subprocess.run([sys.executable, "-c", "import tav"], cwd=ROOT, env=full, capture_output=True, text=True)
    assert r.returncode != 0 and "TAV_BACKEND='fortran'" in r.stderr and "native, cffi" in r.stderr
