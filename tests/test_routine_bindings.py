"""The cffi backend reaches the processor query and the long-chunk routines through bindings.

They come from the module _tav_utf8routines, not from a symbol looked up in a
module's file with dlopen, a route that Windows does not have."""
from __future__ import annotations

import os
import subprocess
import sys

import pytest

pytest.importorskip("_tav_utf8routines", reason="the cffi modules are not built for this interpreter")

from tav import _cpu, _utf8  # noqa: E402

# In the child, every dlopen fails, as a symbol lookup in an extension's file does on Windows.
CHILD = """
import cffi
def refuse(*args, **kwargs):
    raise OSError("no dlopen")
cffi.FFI.dlopen = refuse
from tav import _cpu, _utf8
print(_cpu.FEATURES, _utf8.LONG_ROUTINE)
"""


def test_routines_found_without_dlopen() -> None:
    run = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120, check=True)
    assert run.stdout.split() == [str(_cpu.FEATURES), _utf8.LONG_ROUTINE]
    if _cpu.X86_64 and "TAV_CPU_FEATURES_MASK" not in os.environ:
        assert _cpu.has("sse2") and _utf8.LONG_ROUTINE != "none"
