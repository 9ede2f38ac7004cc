"""Routines behind no implementation number are reached through bindings, never
through a symbol looked up in a module's file with dlopen, a route that Windows
does not have: the cffi backend's processor query and long-chunk validators
(_tav_utf8routines), and the tests' and benchmarks' named routines and record
layouts (_tav_utf8routines, _tav_maskroutines)."""
from __future__ import annotations

import ast
import importlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("_tav_utf8routines", reason="the cffi modules are not built for this interpreter")
pytest.importorskip("_tav_maskroutines", reason="the cffi modules are not built for this interpreter")

from tav import _cpu, _utf8  # noqa: E402

TESTS = Path(__file__).resolve().parent

# In the child, every dlopen of a file fails, as a symbol lookup in an
# extension's file does on Windows. ctypes may still open the C library
# (name None), which the tests' guard pages take mprotect from.
REFUSE = """
import ctypes, sys
import cffi

def refuse(*args, **kwargs):
    raise OSError("no dlopen")

cffi.FFI.dlopen = refuse
_dlopen = ctypes._dlopen
ctypes._dlopen = lambda name, *args: _dlopen(name, *args) if name is None else refuse()
sys.path.insert(0, {tests!r})
"""

USE = """
import json
from tav import _cpu, _utf8
import support
from tav.bench import mask, utf8

out = {"features": _cpu.FEATURES, "long_routine": _utf8.LONG_ROUTINE}

# The record layouts and named routines of tests/support.py.
h = support.utf8_routines.tav_utf8vld_new()
support.utf8_routines._tav_utf8vld_validate_table(h, b"ab\\xc3", 3)
out["utf8_record"] = support.utf8_record(h)
support.utf8_routines.tav_utf8vld_free(h)
m = support.mask_routines.tav_xormask_new(b"\\x01\\x02\\x03\\x04")
data = bytearray(b"\\x10" * 7)
support.mask_routines._tav_xormask_process_simple(m, support.mask_ffi.from_buffer(data), 7)
out["mask_record"] = [support.mask_record(m)[0].hex(), *support.mask_record(m)[1:]]
out["masked"] = data.hex()
support.mask_routines.tav_xormask_free(m)

# Every tav row of the benchmarks, built and run once, and the small-call rows.
runs = [build(64) for label, build, is_peer in mask.CASES if not is_peer]
runs += [build(64) for width, build in mask.FLOORS]
runs += [utf8._block("_tav_utf8vld_validate_" + name)([b"ab\\xc3", b"\\xa9"]) for name in
         ("table", "sse2", "sse4", "ssse3", "avx2", "avx512")]
out["benchmark_rows"] = [None if run is None else (run(), 1)[1] for run in runs]
out["overhead_rows"] = len([t for label, t in mask._overhead_rows(1e-4, 1) if t is not None])
print(json.dumps(out))
"""


def _child(refuse: bool) -> dict[str, object]:
    code = (REFUSE.format(tests=str(TESTS)) if refuse else f"import sys; sys.path.insert(0, {str(TESTS)!r})") + USE
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    out: dict[str, object] = json.loads(run.stdout)
    return out


def test_routines_found_without_dlopen() -> None:
    """The safe API, tests/support.py and the benchmarks work alike with dlopen refused."""
    refused = _child(refuse=True)
    assert refused == _child(refuse=False)
    assert [refused["features"], refused["long_routine"]] == [_cpu.FEATURES, _utf8.LONG_ROUTINE]
    assert refused["utf8_record"] == [3, 3, 2, refused["utf8_record"][3]]  # type: ignore[index]
    assert refused["mask_record"] == ["01020304", 7, 2]
    assert refused["masked"] == "11121314111213"
    assert refused["overhead_rows"] == 9
    rows = refused["benchmark_rows"]
    assert isinstance(rows, list) and None not in rows[:5]  # the binding's rows run everywhere
    if _cpu.X86_64:
        assert rows[5] is not None  # the SSE2 routine's
        if "TAV_CPU_FEATURES_MASK" not in os.environ:
            assert _cpu.has("sse2") and _utf8.LONG_ROUTINE != "none"


@pytest.mark.parametrize("module", ["_tav_utf8routines", "_tav_maskroutines"])
def test_stub_declares_what_the_module_binds(module: str) -> None:
    """The stub's `lib` is this build's, plus the routines of the other processor family only."""
    stub = ast.parse((TESTS.parent / f"{module}-stubs" / "__init__.pyi").read_text(encoding="utf-8"))
    lib = next(node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "_Lib")
    declared = {node.name for node in lib.body if isinstance(node, ast.FunctionDef)}
    bound = set(dir(importlib.import_module(module).lib))
    assert bound <= declared
    assert all(name.endswith(("_sse2", "_sse4", "_ssse3", "_avx2", "_avx512", "_neon")) for name in declared - bound)
