"""Compiled callers of tav's C API: a C extension and a Cython module built against tav.get_include().

Both (tests/capi_callers/) fetch the table with tav_capi_import() at import
and call every entry; their results and records are checked against the safe
API and CPython's decoder. On PyPy the capsule does not exist: the import
function must raise ImportError."""
from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import platform
import random
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from types import ModuleType
from typing import Any, List, Optional

import pytest

import tav

HERE = Path(__file__).resolve().parent
SOURCES = HERE / "capi_callers"
PYPY = sys.implementation.name == "pypy"
KEY = b"\x37\xfa\x21\x3d"


def _no_compiler() -> Optional[str]:
    try:
        import setuptools  # noqa: F401  (it drives the builds)
    except ImportError:
        return "setuptools is not installed"
    cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
    if shutil.which(cc) is None:
        return f"no C compiler ({cc})"
    if not (Path(sysconfig.get_paths()["include"]) / "Python.h").exists():
        return "no Python.h for this interpreter"
    return None


def _build(ext: Any, out: Path) -> Path:
    """Build one extension into `out` with setuptools; its file's path."""
    from setuptools import Distribution

    dist = Distribution({"name": ext.name, "ext_modules": [ext]})
    cmd: Any = dist.get_command_obj("build_ext")
    cmd.build_lib = str(out)
    cmd.build_temp = str(out / "temp")
    cmd.ensure_finalized()
    cmd.run()
    return Path(cmd.get_ext_fullpath(ext.name))


def _load(name: str, path: Path) -> ModuleType:
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    found = importlib.util.spec_from_file_location(name, str(path), loader=loader)
    assert found is not None
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def c_caller(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The C extension's built file."""
    reason = _no_compiler()
    if reason:
        pytest.skip(reason)
    from setuptools import Extension

    out = tmp_path_factory.mktemp("capi_c")
    ext = Extension("capi_c", [str(SOURCES / "capi_c.c")], include_dirs=[tav.get_include()],
                    extra_compile_args=["-Wall", "-Wextra", "-Wno-unused-parameter", "-Werror"])
    return _build(ext, out)


@pytest.fixture(scope="module")
def cython_caller(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The Cython module's built file."""
    reason = _no_compiler()
    if reason:
        pytest.skip(reason)
    try:
        from Cython.Build import cythonize
    except ImportError:
        pytest.skip("Cython is not installed")
    from setuptools import Extension

    out = tmp_path_factory.mktemp("capi_cy")
    pyx = out / "capi_cy.pyx"
    shutil.copy(SOURCES / "capi_cy.pyx", pyx)
    ext = Extension("capi_cy", [str(pyx)], include_dirs=[tav.get_include()])
    (ext,) = cythonize([ext], include_path=[tav.get_include()], build_dir=str(out), quiet=True)
    return _build(ext, out)


@pytest.fixture(params=["c", "cython"])
def caller(request: pytest.FixtureRequest) -> ModuleType:
    if PYPY:
        pytest.skip("the C API is CPython-only (test_pypy_import_error covers PyPy)")
    path = request.getfixturevalue("c_caller" if request.param == "c" else "cython_caller")
    return _load(path.name.split(".")[0], path)


# --- the checks, also run in a child process with the portable routines -------------------

# Streams: well-formed text of every width, the same with an ill-formed byte
# inside, and text cut inside a character; long enough for every vector routine.
_TEXT = ("ascii text, " * 40 + "déjà vu " * 30 + "Русский текст " * 30 + "中文字符 " * 30 + "😀🎉 " * 30).encode()


def _streams() -> List[bytes]:
    rng = random.Random(18)
    bad = [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x28", b"\x80"]
    streams = [b"", _TEXT, _TEXT + "€".encode()[:2], _TEXT * 3]
    for _ in range(12):
        at = rng.randrange(len(_TEXT))
        streams.append(_TEXT[:at] + rng.choice(bad) + _TEXT[at:])
    return streams


def _chunkings(data: bytes, rng: random.Random) -> List[List[bytes]]:
    """Chunk lists for `data`: small pieces, large pieces, a mix (with empty chunks)."""
    out = []
    for sizes in ((0, 40), (100, 5000), (0, 5000)):
        chunks, pos = [], 0
        while pos < len(data):
            n = rng.randint(*sizes)
            chunks.append(data[pos:pos + n])
            pos += n
        out.append(chunks)
    return out


def _cpython_status(stream: bytes) -> int:
    try:
        stream.decode()
    except UnicodeDecodeError as e:
        return 1 if e.reason == "unexpected end of data" else -1
    return 0


def _compare_validation(mod: Any, chunks: List[Optional[bytes]]) -> List[Any]:
    """The caller's rows for `chunks` (None: validator_init) against the safe API's validators."""
    import _tav_native

    safe, native = tav.Utf8Validator(), _tav_native.Utf8Validator()
    rows = mod.validate_chunks(chunks)
    for chunk, (status, current, total, state) in zip(chunks, rows):
        if chunk is None:
            safe.reset()
            native.reset()
            assert status == 0
        else:
            assert status == safe.validate(chunk)
            native.validate(chunk)
        # The whole record as the native safe API leaves it, also untouched after a rejection.
        assert (current, total, state) == native._record()[:3]
        assert total == (safe.error_offset if status == -1 else safe.bytes_validated)
    return rows


def check_validation(mod: Any) -> None:
    rng = random.Random(5)
    for stream in _streams():
        for chunks in _chunkings(stream, rng):
            rows = _compare_validation(mod, chunks)
            assert (rows[-1][0] if rows else 0) == _cpython_status(stream)
    # validator_init after a rejection starts over.
    rows = _compare_validation(mod, [b"\xff", b"a", None, b"\xe2\x82", b"\xac"])
    assert [r[0] for r in rows] == [-1, -1, 0, 1, 0]


def check_masking(mod: Any) -> None:
    rng = random.Random(7)
    data = rng.randbytes(9000)
    for chunks in _chunkings(data, rng):
        for copy in (False, True):
            masked, positions = mod.mask_chunks(KEY, chunks, copy)
            safe = tav.XorMasker(KEY)
            expected = []
            for chunk in chunks:
                expected.append((safe.masked(chunk), safe.position))
            assert list(zip(map(bytes, masked), positions)) == expected
    for n in [*range(70), 4095, 4096, 9000]:
        for in_place in (False, True):
            assert bytes(mod.mask_once(KEY, data[:n], in_place)) == tav.mask(KEY, data[:n])


# (bytes, errors): ill-formed input of each reason, well-formed of each str
# kind, short ASCII and ASCII past the short path, long input with a fault
# near its end (for the vector routines).
DECODE_CASES = [
    (b"", None),
    (b"a", None),
    (b"plain ascii", None),
    (b"ascii " * 60, None),
    ("café".encode(), None),
    ("Русский".encode(), None),
    ("😀 astral".encode(), None),
    (_TEXT * 4, None),
    (b"ab\xffcd", None),  # invalid start byte
    (b"ab\xc3(", None),  # invalid continuation byte
    (b"ab\xed\xa0\x80", None),  # a surrogate: invalid continuation byte
    (b"ab\xe2\x82", None),  # unexpected end of data
    (_TEXT * 4 + b"\xf4\x90\x80\x80" + _TEXT, None),
    (b"ab\xffcd\xe2\x82", "replace"),
    (b"ab\xffcd", "surrogateescape"),
    (b"ab\xffcd", "strict"),
]


def _outcome(fn: Any, *args: Any, **kwargs: Any) -> Any:
    try:
        return fn(*args, **kwargs)
    except UnicodeDecodeError as e:
        return (type(e), e.encoding, e.object, e.start, e.end, e.reason)


def check_decoding(mod: Any) -> None:
    for data, errors in DECODE_CASES:
        for key in (None, KEY):
            wire = tav.mask(key, data) if key else data
            expected = _outcome(data.decode, "utf-8", errors or "strict")
            assert _outcome(mod.decode, wire, key, errors) == expected
            assert _outcome(tav.decode_utf8, wire, errors or "strict", mask=key) == expected


def test_validation(caller: ModuleType) -> None:
    check_validation(caller)


def test_masking(caller: ModuleType) -> None:
    check_masking(caller)


def test_decoding(caller: ModuleType) -> None:
    check_decoding(caller)


def test_table_version(caller: ModuleType) -> None:
    """The module's table is the one the caller was built for."""
    version, size, header_version, header_size = caller.api_version()
    assert (version, size) == (header_version, header_size)


@pytest.mark.skipif(PYPY, reason="the C API is CPython-only")
def test_table_runs_the_automatic_routines() -> None:
    """The entries run what the module runs on "auto": the same vector validator, masking policy and decoder family."""
    import _tav_native

    assert _tav_native._C_API_ROUTINES == (_tav_native.VECTOR_ROUTINE, _tav_native.MASK_AUTO, _tav_native.DECODE_ROUTINE)


@pytest.mark.skipif(PYPY, reason="the C API is CPython-only")
@pytest.mark.skipif(platform.machine().lower() not in ("x86_64", "amd64"),
                    reason="the portable routines differ from the chosen ones on x86-64 only")
def test_portable_routines(c_caller: Path) -> None:
    """With no processor feature (TAV_CPU_FEATURES_MASK=0) the table runs the portable routines, with the same results."""
    code = (
        "import sys; sys.path[:0] = [sys.argv[1], sys.argv[2]]\n"
        "import capi_c, test_capi_callers as t\n"
        "t.check_validation(capi_c); t.check_masking(capi_c); t.check_decoding(capi_c)\n"
    )
    env = dict(os.environ, TAV_CPU_FEATURES_MASK="0")
    subprocess.run([sys.executable, "-c", code, str(c_caller.parent), str(HERE)], env=env, check=True, timeout=300)


@pytest.mark.skipif(PYPY, reason="the C API is CPython-only (test_pypy_import_error covers PyPy)")
def test_import_error_without_native_module(c_caller: Path) -> None:
    """Where _tav_native cannot be imported, the caller's import fails with ImportError, not a crash."""
    code = "import sys; sys.modules['_tav_native'] = None; sys.path.insert(0, sys.argv[1]); import capi_c"
    run = subprocess.run([sys.executable, "-c", code, str(c_caller.parent)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 1
    assert "ImportError: tav's C API needs tav's native module _tav_native, which cannot be imported: import of _tav_native halted" in run.stderr


@pytest.mark.skipif(not PYPY, reason="PyPy only")
def test_pypy_import_error(c_caller: Path) -> None:
    """On PyPy get_include() serves a build, and tav_capi_import() raises ImportError with the reason."""
    with pytest.raises(ImportError, match="CPython-only"):
        _load("capi_c", c_caller)


def test_get_include() -> None:
    include = Path(tav.get_include())
    assert (include / "tav_capi.h").is_file() and (include / "tav_capi.pxd").is_file()
