"""_tav_native, the C-API backend: every routine it can run against the cffi
lib layer's table-driven and byte-loop routines and against independent
oracles; buffers and errors; the safety of its objects (copies, half-built
objects, threads, close during a call, pinned buffers, leaks)."""
from __future__ import annotations

import array
import copy
import ctypes
import gc
import mmap
import pickle
import subprocess
import sys
import textwrap
import threading
import weakref
from pathlib import Path
from typing import Any, Callable, Iterator, List, Optional

import pytest

from support import CFFI_MISSING, HAVE_CFFI, AlignedBuffer, first_rejected, rfc3629_status, seeded, xor_model

if sys.implementation.name != "cpython":
    pytest.skip("the native extension runs on CPython only (PyPy takes the cffi backend)", allow_module_level=True)
import _tav_native as _native

from tav import _cpu
from tav._status import Utf8Status

HERE = Path(__file__).resolve().parent
KEY = bytes.fromhex("37fa213d")
T = _native.BLOCK_VALIDATOR_THRESHOLD
def _x86_64() -> bool:
    import platform

    return platform.machine().lower() in ("x86_64", "amd64")


def _aarch64() -> bool:
    import platform

    return platform.machine().lower() in ("aarch64", "arm64")


# In order of width: a processor that runs one runs those before it.
VECTOR_ROUTINES = ["ssse3", "avx2", "avx512"] if _x86_64() else ["neon"] if _aarch64() else []
UTF8_ROUTINES = ["auto", "table", "unrolled"] + (["sse2"] if _x86_64() else []) + VECTOR_ROUTINES
RUNNABLE_VECTORS = VECTOR_ROUTINES[: VECTOR_ROUTINES.index(_native.VECTOR_ROUTINE) + 1] if _native.VECTOR_ROUTINE != "none" else []
MASK_ROUTINES = ["auto", "bytes"] + (["sse2", "avx2", "avx512"] if _x86_64() else ["neon"] if _aarch64() else [])
RUNNABLE_MASKS = {
    "auto": True, "bytes": True, "sse2": _native.HAS_SSE41,
    "avx2": _cpu.has("avx2"), "avx512": _cpu.has("avx512f", "avx512bw"), "neon": _aarch64(),
}
if not _cpu.KNOWN:  # no query without the cffi modules: what the automatic choice runs, the processor has
    _AUTO_MASKS = {name for name, _ in _native.MASK_AUTO}
    RUNNABLE_MASKS.update(avx2=bool(_AUTO_MASKS & {"avx2", "avx512"}), avx512="avx512" in _AUTO_MASKS)

# The lib layer through the cffi modules is a second reference where they are
# built; elsewhere (free-threaded 3.13) the oracles alone judge.
if HAVE_CFFI:
    import _tav_bytemask
    import _tav_utf8check

    ulib, uffi = _tav_utf8check.lib, _tav_utf8check.ffi
    mlib, mffi = _tav_bytemask.lib, _tav_bytemask.ffi
needs_cffi = pytest.mark.skipif(not HAVE_CFFI, reason=CFFI_MISSING)
STATUS_BY_RESULT = {-1: Utf8Status.INVALID, 0: Utf8Status.COMPLETE, 1: Utf8Status.INCOMPLETE}
STATUS_BY_ORACLE = {"invalid": Utf8Status.INVALID, "complete": Utf8Status.COMPLETE, "partial": Utf8Status.INCOMPLETE}


@pytest.fixture(params=UTF8_ROUTINES)
def utf8_routine(request: pytest.FixtureRequest) -> Iterator[str]:
    if request.param in VECTOR_ROUTINES and request.param not in RUNNABLE_VECTORS:
        pytest.skip(f"this processor does not run the {request.param} validator (tav_cpu_features)")
    saved = _native._force_routines(utf8=request.param)
    yield request.param
    _native._force_routines(**saved)


@pytest.fixture(params=MASK_ROUTINES)
def mask_routine(request: pytest.FixtureRequest) -> Iterator[str]:
    if not RUNNABLE_MASKS[request.param]:
        pytest.skip(f"this processor does not run the {request.param} masking routine (tav_cpu_features)")
    saved = _native._force_routines(mask=request.param)
    yield request.param
    _native._force_routines(**saved)


@pytest.fixture(params=["kept", "released"])
def lock(request: pytest.FixtureRequest) -> Iterator[str]:
    """Run a test with the interpreter lock kept for short buffers (the default) and released on every call."""
    saved = _native._force_routines(release_gil_from=0 if request.param == "released" else -1)
    yield request.param
    _native._force_routines(**saved)


class TableReference:
    """The lib layer's table-driven routine (impl 1) on its own record."""

    def __init__(self) -> None:
        self.handle = uffi.gc(ulib.tav_utf8vld_new(), ulib.tav_utf8vld_free)
        ulib.tav_utf8vld_set_impl(self.handle, 1)

    def feed(self, chunk: bytes) -> int:
        return int(ulib.tav_utf8vld_validate(self.handle, chunk, len(chunk)))

    def fields(self) -> tuple[int, int, int]:
        return (int(ulib.tav_utf8vld_get_current_index(self.handle)),
                int(ulib.tav_utf8vld_get_total_index(self.handle)), _state(self.handle))


def _state(handle: Any) -> int:
    # The record's layout (tav_utf8check.h): two size_t, then int state.
    return int(uffi.cast("int *", uffi.cast("char *", handle) + 2 * uffi.sizeof("size_t"))[0])


def _reference_mask(key: bytes, data: bytes, start: int = 0) -> bytes:
    """The lib layer's byte loop (impl 1), from key phase `start`."""
    handle = mffi.gc(mlib.tav_xormask_new(key), mlib.tav_xormask_free)
    mlib.tav_xormask_set_impl(handle, 1)
    mlib.tav_xormask_process(handle, mffi.from_buffer(bytearray(start)), start)
    out = bytearray(data)
    mlib.tav_xormask_process(handle, mffi.from_buffer(out), len(out))
    return bytes(out)


def _at_residue(data: bytes, residue: int) -> memoryview:
    """A read-only view of `data` whose first byte sits at `residue` mod 16."""
    buf = AlignedBuffer(data, residue)
    return memoryview(buf._raw)[buf.offset:buf.offset + len(data)].toreadonly()


# --- validation: differential -----------------------------------------------------

FAULTS = [b"\xff", b"\x80", b"\xc0\xaf", b"\xe0\x80", b"\xed\xa0\x80", b"\xf4\x90", b"\xe2\x82A", b"\xf0\x9f\x98A", b"\xf5"]


def _streams() -> Iterator[bytes]:
    rng = seeded(21)
    alphabet = ["a", " ", "é", "ж", "€", "中", "😀", "\u07ff", "\uffff", "\U0010ffff"]
    mixed = "".join(rng.choice(alphabet) for _ in range(1500)).encode()
    ascii_run = b"x" * (3 * T + 1040)
    for base in (mixed, ascii_run, ascii_run + "Ж".encode() * 200):
        yield base
        for _ in range(4):
            at = rng.randrange(len(base))
            yield base[:at] + rng.choice(FAULTS) + base[at:]


def _chunk_sizes(n: int, rng: Any) -> List[int]:
    # Around the block validator's threshold and the 16-byte block edges.
    sizes = sorted({1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 256, 257, 1000, T + 1, T + 16} | {max(1, T - 1), T})
    cuts: List[int] = []
    while sum(cuts) < n:
        cuts.append(min(n - sum(cuts), rng.choice(sizes) if rng.random() < 0.8 else rng.randrange(1, 3 * T + 2000)))
    return cuts


def test_validator_matches_the_table_routine_and_the_oracle(utf8_routine: str, lock: str) -> None:
    rng = seeded(22)
    for data in _streams():
        expected_error = first_rejected(data)
        for _ in range(3):
            v, ref = _native.Utf8Validator(), TableReference() if HAVE_CFFI else None
            pos = 0
            for k in _chunk_sizes(len(data), rng):
                chunk = data[pos:pos + k]
                kind = rng.choice([bytes, bytearray, lambda c: _at_residue(c, rng.randrange(16))])
                status = v.validate(kind(chunk))
                prefix_error = first_rejected(data[:pos + k])
                if prefix_error is None:
                    want = "complete" if rfc3629_status(data[:pos + k])[0] == "complete" else "partial"
                    assert status is (Utf8Status.COMPLETE if want == "complete" else Utf8Status.INCOMPLETE)
                    assert v.error_offset is None and v.bytes_validated == pos + k
                else:
                    assert status is Utf8Status.INVALID
                    assert v.error_offset == v.bytes_validated == prefix_error == expected_error
                if ref is not None and ref.fields()[2] != 1:  # until the reference rejects, its record is the object's
                    assert STATUS_BY_RESULT[ref.feed(chunk)] is status
                    assert v._record()[:3] == ref.fields(), (utf8_routine, pos, k)
                pos += k
            assert tav_is_valid(data) is (rfc3629_status(data)[0] == "complete")


def tav_is_valid(data: bytes) -> bool:
    return _native.is_valid_utf8(data)


# Prefixes that leave the automaton in each state 0, 2-8.
STATE_PREFIXES = {0: b"", 2: b"\xc2", 3: b"\xe1", 4: b"\xe0", 5: b"\xed", 6: b"\xf0", 7: b"\xf1", 8: b"\xf4"}


def test_every_state_and_byte_split_or_whole(utf8_routine: str) -> None:
    for state, prefix in STATE_PREFIXES.items():
        for b in range(256):
            for tail in (b"", b"\x80\x80\x80a"):
                data = prefix + bytes([b]) + tail
                whole = _native.Utf8Validator()
                split = _native.Utf8Validator()
                status = whole.validate(data)
                if HAVE_CFFI:
                    assert status is STATUS_BY_RESULT[TableReference().feed(data)]
                assert status is STATUS_BY_ORACLE[rfc3629_status(data)[0]]
                split.validate(prefix)
                assert split._record()[2] == state
                split.validate(bytes([b]))
                split.validate(tail)
                assert whole.error_offset == split.error_offset == first_rejected(data), (state, b, tail)
                assert _native.is_valid_utf8(data) is (rfc3629_status(data)[0] == "complete")


@pytest.mark.parametrize("routine", ["auto", *(["sse2"] if _x86_64() else []), *RUNNABLE_VECTORS])
def test_errors_at_block_edges_give_the_exact_offset(routine: str) -> None:
    saved = _native._force_routines(utf8=routine)
    try:
        for n in sorted({max(1, T - 1), T, T + 1, T + 63, 255, 1000}):
            for fault in (b"\xff", b"\xe2\x82A", b"\xf0\x9f\x98\xc0"):
                for at in sorted({0, 1, 14, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 127, 128, 129,
                                  n // 2, n - 65, n - 64, n - 17, n - 16, n - 1, n}):
                    if at < 0:
                        continue
                    if at > n:
                        continue
                    data = b"a" * at + fault + "й".encode() * ((n - at) // 2)
                    for residue in (0, 1, 7, 15):
                        v = _native.Utf8Validator()
                        v.validate(b"ok")
                        assert v.validate(_at_residue(data, residue)) is Utf8Status.INVALID
                        assert v.error_offset == 2 + first_rejected(data), (n, fault, at, residue)
                        assert not _native.is_valid_utf8(_at_residue(data, residue))
    finally:
        _native._force_routines(**saved)


def test_rejection_is_sticky_and_reset_starts_over() -> None:
    v = _native.Utf8Validator()
    assert v.validate(b"ab\xe2\x82") is Utf8Status.INCOMPLETE
    assert v.validate(b"A") is Utf8Status.INVALID
    for later in (b"", b"ok", b"a" * (4 * T), "not a buffer"):  # nothing is read any more
        assert v.validate(later) is Utf8Status.INVALID
        assert v.error_offset == v.bytes_validated == 4
    v.reset()
    assert (v.error_offset, v.bytes_validated, v._record()) == (None, 0, (0, 0, 0, 2))
    assert v.validate(b"\xc3\xa9") is Utf8Status.COMPLETE


def test_statuses_are_the_members_of_utf8status() -> None:
    v = _native.Utf8Validator()
    assert [v.validate(b"\xe2"), v.validate(b"\x82\xac"), v.validate(b"\xff")] == [1, 0, -1]
    v.reset()
    assert v.validate(b"\xe2") is Utf8Status.INCOMPLETE and v.validate(b"\xff") is Utf8Status.INVALID
    assert _native.Utf8Status is Utf8Status


def test_one_shot_validation_carries_nothing_between_calls(utf8_routine: str) -> None:
    long = b"a" * (2 * T)
    for data, valid in [(b"\xe2", False), (b"\x82\xac", False), (b"\xe2\x82\xac", True), (long + b"\xf0\x9f", False),
                        (b"\x98\x80" + long, False), (long, True), (b"\xff", False), (b"", True), (long + b"\xc0", False)]:
        assert _native.is_valid_utf8(data) is valid, data[-4:]


# --- masking: differential ------------------------------------------------------------

# Around the 16-64-byte blocks, a page, and 48 KiB.
LENGTHS = sorted(set(range(0, 70)) | {k * 16 + d for k in (4, 8, 16, 64) for d in (-1, 0, 1)} | {4096 + 3}
                 | {48 * 1024 + d for d in (-1, 0, 1)})


def test_masking_matches_the_byte_loop_and_the_model(mask_routine: str, lock: str) -> None:
    rng = seeded(23)
    for n in LENGTHS:
        data = rng.randbytes(n)
        want = xor_model(data, KEY)
        assert not HAVE_CFFI or _reference_mask(KEY, data) == want
        residue = n % 16
        for start in range(4):
            buf = AlignedBuffer(data, residue)
            m = _native.XorMasker(KEY)
            m.masked(bytes(start))
            m.mask(memoryview(buf._raw)[buf.offset:buf.offset + n])
            assert buf.contents() == xor_model(data, KEY, start), (n, start)
            assert not HAVE_CFFI or buf.contents() == _reference_mask(KEY, data, start), (n, start)
            assert buf.guards_intact() and m.position == start + n
        buf = AlignedBuffer(data, (residue + 5) % 16)
        _native.mask_in_place(KEY, memoryview(buf._raw)[buf.offset:buf.offset + n])
        assert buf.contents() == want and buf.guards_intact()
        view = _at_residue(data, (residue + 9) % 16)
        assert _native.mask(KEY, view) == _native.apply_mask(view, KEY) == want
        ba = bytearray(data)
        _native.websocket_mask(KEY, ba)
        assert ba == want


def test_key_phase_carries_across_random_chunks(mask_routine: str) -> None:
    rng = seeded(24)
    data = rng.randbytes(5000)
    for _ in range(20):
        m = _native.XorMasker(KEY)
        out, pos = bytearray(data), 0
        view = memoryview(out)
        while pos < len(data):
            k = rng.choice([1, 3, 15, 16, 17, 63, 257, rng.randrange(1, 900)])
            if rng.random() < 0.5:
                m.mask(view[pos:pos + k])
            else:
                view[pos:pos + k] = m.masked(data[pos:pos + k])
            pos += k
        assert bytes(out) == xor_model(data, KEY) and m.position == len(data)


def test_reset_rewinds_and_takes_a_new_key() -> None:
    m = _native.XorMasker(KEY)
    m.masked(b"abc")
    m.reset()
    assert m._record() == (KEY, 0, 2) and m.masked(b"\x00" * 5) == xor_model(bytes(5), KEY)
    for new in (b"wxyz", bytearray(b"wxyz"), memoryview(b"..wxyz..")[2:6], memoryview(b"wwxxyyzz")[::2]):
        m.reset(new)
        assert m._record() == (b"wxyz", 0, 2)
    m.reset(key=None)
    assert m._record() == (b"wxyz", 0, 2)
    m.masked(b"ab")
    for bad, exc in ((b"abc", ValueError), ("abcd", TypeError)):
        with pytest.raises(exc, match="4 bytes"):
            m.reset(bad)
        assert m._record() == (b"wxyz", 2, 2)  # a refused key changes nothing


@needs_cffi
def test_fresh_records_are_the_librarys() -> None:
    lib_record = ulib.tav_utf8vld_new()
    ulib.tav_utf8vld_set_impl(lib_record, 2)
    want = (0, 0, _state(lib_record), ulib.tav_utf8vld_get_impl(lib_record))
    ulib.tav_utf8vld_free(lib_record)
    assert _native.Utf8Validator()._record() == want
    via_init = _native.Utf8Validator.__new__(_native.Utf8Validator)
    via_init.__init__()
    assert via_init._record() == want
    handle = mlib.tav_xormask_new(KEY)
    want_mask = (KEY, int(mlib.tav_xormask_pointer(handle)), int(mlib.tav_xormask_get_impl(handle)))
    mlib.tav_xormask_free(handle)
    m = _native.XorMasker.__new__(_native.XorMasker)
    m.__init__(key=KEY)
    for made in (_native.XorMasker(KEY), _native.XorMasker(key=bytearray(KEY)), m):
        assert made._record() == want_mask


# --- peers' conventions ---------------------------------------------------------------------


def test_apply_mask_behaves_as_websockets() -> None:
    speedups = pytest.importorskip("websockets.speedups")
    rng = seeded(25)
    for n in (0, 1, 5, 16, 125, 1000):
        data = rng.randbytes(n)
        # Strided views are copied and the copy masked, as websockets does.
        for d, k in ((data, KEY), (bytearray(data), bytearray(KEY)), (memoryview(data), memoryview(KEY)),
                     (memoryview(data)[::-1], KEY), (memoryview(bytearray(data))[1::3], memoryview(KEY))):
            assert _native.apply_mask(d, k) == speedups.apply_mask(d, k)
        assert _native.apply_mask(data=data, mask=KEY) == speedups.apply_mask(data=data, mask=KEY)
    for args in ((b"x", b"abc"), (b"x", b"abcde"), ("str", KEY), (b"x", "abcd"), (b"x", None)):
        with pytest.raises(Exception) as theirs:
            speedups.apply_mask(*args)
        with pytest.raises(theirs.type) as ours:
            _native.apply_mask(*args)
        if theirs.type is ValueError:
            assert str(ours.value) == str(theirs.value) == "mask must contain 4 bytes"
    assert _native.apply_mask(memoryview(b"abcdefgh")[::-1], b"1234") == b"YUUQUQQU"
    with pytest.raises(TypeError, match="not items of format 'P'"):
        _native.apply_mask(memoryview(bytearray(64)).cast("P")[::2], KEY)


def test_websocket_mask_behaves_as_aiohttp() -> None:
    helpers = pytest.importorskip("aiohttp._websocket.helpers")
    rng = seeded(26)
    for n in (0, 1, 5, 16, 125, 1000):
        data = rng.randbytes(n)
        theirs, ours = bytearray(data), bytearray(data)
        helpers.websocket_mask(KEY, theirs)
        assert _native.websocket_mask(KEY, ours) is None
        assert ours == theirs
    with pytest.raises(TypeError):  # aiohttp refuses bytes too: they cannot be masked in place
        helpers.websocket_mask(KEY, b"abcd")
    with pytest.raises(TypeError, match="read-only"):
        _native.websocket_mask(KEY, b"abcd")


# --- buffers and errors ------------------------------------------------------------------


def _readonly_mmap(tmp_path: Path) -> mmap.mmap:
    f = tmp_path / "ro"
    f.write_bytes(b"abcdefgh")
    with open(f, "rb") as fh:
        return mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ)


# Each factory binds a fresh object (where there is one) and returns the call to try.
READERS: dict[str, Callable[[], Callable[[Any], object]]] = {
    "validate": lambda: _native.Utf8Validator().validate,
    "is_valid_utf8": lambda: _native.is_valid_utf8,
    "masked": lambda: _native.XorMasker(KEY).masked,
    "mask()": lambda: lambda x: _native.mask(KEY, x),
    "apply_mask": lambda: lambda x: _native.apply_mask(x, KEY),
}
WRITERS: dict[str, Callable[[], Callable[[Any], object]]] = {
    "XorMasker.mask": lambda: _native.XorMasker(KEY).mask,
    "mask_in_place": lambda: lambda x: _native.mask_in_place(KEY, x),
    "websocket_mask": lambda: lambda x: _native.websocket_mask(KEY, x),
}


@pytest.mark.parametrize("make", [*READERS.values(), *WRITERS.values()], ids=[*READERS, *WRITERS])
def test_argument_errors_name_the_fault_and_leave_the_object_usable(make: Callable[[], Callable[[Any], object]]) -> None:
    call = make()
    for obj in ("abc", 5, None, [1, 2, 3], 1.5):
        with pytest.raises(TypeError, match=f"takes a bytes-like object, not {type(obj).__name__}$"):
            call(obj)
    strided = memoryview(bytearray(b"abcdefgh"))[::2]
    if make is READERS["apply_mask"]:  # copies it, as websockets does
        assert call(strided) == xor_model(b"aceg", KEY)
    else:
        with pytest.raises(BufferError, match="memoryview given as a C-contiguous buffer: .*contiguous"):
            call(strided)
    call(bytearray(b"abcd"))  # a refused call gave the object back


@pytest.mark.parametrize("make", WRITERS.values(), ids=WRITERS)
def test_writers_refuse_read_only_buffers_and_change_nothing(make: Callable[[], Callable[[Any], object]],
                                                             tmp_path: Path) -> None:
    call = make()
    for obj in (b"abcdefgh", memoryview(b"abcdefgh"), memoryview(bytearray(b"abcdefgh")).toreadonly(),
                _readonly_mmap(tmp_path)):
        before = bytes(obj)
        with pytest.raises(TypeError, match=f"needs a writable buffer; the {type(obj).__name__} given is read-only"):
            call(obj)
        assert bytes(obj) == before
    call(bytearray(b"abcd"))


def test_buffers_of_every_kind_count_their_whole_size_in_bytes() -> None:
    text = ("aé€😀" * 40).encode()
    for obj in (text, bytearray(text), memoryview(text), array.array("I", text), memoryview(text).cast("B", (10, 40))):
        assert _native.Utf8Validator().validate(obj) is Utf8Status.COMPLETE
        v = _native.Utf8Validator()
        v.validate(obj)
        assert v.bytes_validated == len(text) and _native.is_valid_utf8(obj)
        assert _native.mask(KEY, obj) == xor_model(text, KEY)
    writable = array.array("I", text)
    _native.mask_in_place(KEY, writable)
    assert writable.tobytes() == xor_model(text, KEY)


@pytest.mark.parametrize("key, error, message", [
    (b"", ValueError, "the key must be exactly 4 bytes, got 0"),
    (b"abc", ValueError, "the key must be exactly 4 bytes, got 3"),
    (bytes(16), ValueError, "the key must be exactly 4 bytes, got 16"),
    (array.array("H", [1, 2, 3]), ValueError, "the key must be exactly 4 bytes, got 6"),
    ("abcd", TypeError, "the key must be a bytes-like object of 4 bytes, not str"),
    (1234, TypeError, "the key must be a bytes-like object of 4 bytes, not int"),
    (None, TypeError, "the key must be a bytes-like object of 4 bytes, not NoneType"),
])
def test_bad_keys_are_refused_by_every_taker(key: object, error: type, message: str) -> None:
    ba = bytearray(b"payload")
    takers = [lambda: _native.XorMasker(key), lambda: _native.XorMasker(key=key), lambda: _native.mask(key, b"x"),
              lambda: _native.mask_in_place(key, ba), lambda: _native.websocket_mask(key, ba)]
    if key is not None:  # reset(None) keeps the key
        takers.append(lambda: _native.XorMasker(KEY).reset(key))
    for call in takers:
        with pytest.raises(error) as e:
            call()
        assert str(e.value) == message
    assert ba == b"payload"


def test_call_signatures() -> None:
    assert _native.mask(data=b"Hello", key=KEY) == bytes.fromhex("7f9f4d5158")  # RFC 6455 section 5.7
    ba = bytearray(b"Hello")
    _native.mask_in_place(buffer=ba, key=KEY)
    _native.websocket_mask(data=ba, mask=KEY)
    assert ba == b"Hello"
    for bad in (lambda: _native.mask(KEY), lambda: _native.mask(KEY, b"x", b"y"), lambda: _native.mask(KEY, key=KEY),
                lambda: _native.mask(KEY, dat=b"x"), lambda: _native.XorMasker(), lambda: _native.Utf8Validator(1),
                lambda: _native.Utf8Validator(x=1), lambda: _native.XorMasker(KEY, KEY)):
        with pytest.raises(TypeError):
            bad()


# --- guard pages ------------------------------------------------------------------------------

GUARD_CHILD = textwrap.dedent(
    """
    import ctypes, sys
    sys.path.insert(0, sys.argv[1])
    from support import GuardedPage, xor_model
    import _tav_native as _native
    page = GuardedPage()
    T = _native.BLOCK_VALIDATOR_THRESHOLD
    lengths = sorted(set(range(0, 48)) | {T - 1, T, T + 1, T + 15, T + 16, T + 17, 63, 64, 65, 127, 128, 129, 4096 - 16, 4096})
    key = bytes.fromhex("37fa213d")
    for routines in ({"utf8": "auto", "mask": "auto"}, {"utf8": "sse2", "mask": "sse2"}, {"utf8": "table", "mask": "bytes"},
                     {"utf8": "ssse3", "mask": "avx2"}, {"utf8": "avx2", "mask": "avx512"}, {"utf8": "avx512", "mask": "auto"}):
        try:
            _native._force_routines(**routines)
        except ValueError:
            continue  # not on this processor
        for n in lengths:
            text = b"a" * (n - 1) + b"\\xc3" if n else b""  # ends inside a character
            for addr in (page.at_end(n), page.at_start()):
                page.write(addr, text)
                view = memoryview((ctypes.c_char * n).from_address(addr)).cast("B")
                v = _native.Utf8Validator()
                assert v.validate(view) == (1 if n else 0) and v.bytes_validated == n, n
                assert _native.is_valid_utf8(view) is (n == 0), n
                m = _native.XorMasker(key)
                m.mask(view)
                assert page.read(addr, n) == xor_model(text, key), n
                assert _native.mask(key, view) == text and m.masked(view) == xor_model(xor_model(text, key), key, n)
                _native.mask_in_place(key, view)
                assert page.read(addr, n) == text, n
    print("swept")
    """
)


def test_no_byte_outside_the_buffer_is_touched() -> None:
    # Touching a guard page kills the child, which then never prints its last line.
    proc = subprocess.run([sys.executable, "-c", GUARD_CHILD, str(HERE)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.strip() == "swept", proc.stderr[-2000:]


# --- safety: copies, half-built objects, life cycle ---------------------------------------------

MAKERS = {"Utf8Validator": lambda: _native.Utf8Validator(), "XorMasker": lambda: _native.XorMasker(KEY)}


@pytest.mark.parametrize("name", MAKERS)
def test_copies_and_pickles_are_refused_naming_the_class(name: str) -> None:
    cls = getattr(_native, name)
    for obj in (MAKERS[name](), cls.__new__(cls)):
        for attempt, word in ((copy.copy, "copy"), (copy.deepcopy, "copy"), (pickle.dumps, "pickle")):
            with pytest.raises(TypeError) as e:
                attempt(obj)
            suffix = "; make a new one" if word == "copy" else ""
            assert str(e.value) == f"cannot {word} a tav.{name}: it owns a native record{suffix}"
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError, match=f"cannot pickle a tav.{name}"):
                pickle.dumps(obj, protocol)
        with pytest.raises(TypeError, match="cannot pickle"):
            obj.__reduce__()


def _uses(obj: Any) -> List[Callable[[], object]]:
    common = [obj.reset, obj.__enter__, obj._record]
    if isinstance(obj, _native.Utf8Validator):
        return common + [lambda: obj.validate(b"x"), lambda: obj.error_offset, lambda: obj.bytes_validated]
    return common + [lambda: obj.mask(bytearray(4)), lambda: obj.masked(b"x"), lambda: obj.position,
                     lambda: obj.reset(KEY)]


@pytest.mark.parametrize("name", MAKERS)
def test_half_built_objects_raise_and_die_cleanly(name: str) -> None:
    cls = getattr(_native, name)
    message = f"tav.{name} is not initialized (its __init__ never ran or failed)"
    never_ran = cls.__new__(cls)
    failed = cls.__new__(cls)
    with pytest.raises((TypeError, ValueError)):
        failed.__init__(b"abc") if name == "XorMasker" else failed.__init__(1)

    class Forgetful(cls):  # type: ignore[misc, valid-type]
        def __init__(self) -> None:  # never calls the base __init__
            pass

    for obj in (never_ran, failed, Forgetful()):
        for use in _uses(obj):
            with pytest.raises(ValueError) as e:
                use()
            assert str(e.value) == message
        assert "not initialized" in repr(obj)
        obj.close()  # nothing to close, as on the cffi backend
        obj.__exit__(None, None, None)
        with pytest.raises(ValueError, match="not initialized"):
            _uses(obj)[0]()  # and it is still not usable
    del never_ran, failed
    gc.collect()


@pytest.mark.parametrize("name", MAKERS)
def test_a_second_init_is_refused_and_changes_nothing(name: str) -> None:
    obj = MAKERS[name]()
    if name == "XorMasker":
        obj.masked(b"abc")
        args: tuple[object, ...] = (b"wxyz",)
    else:
        obj.validate(b"ab\xe2")
        args = ()
    before = obj._record()
    with pytest.raises(RuntimeError, match=f"^tav.{name} is already initialized$"):
        obj.__init__(*args)
    assert obj._record() == before
    obj.close()
    with pytest.raises(RuntimeError, match="already initialized"):  # a closed object cannot be revived
        obj.__init__(*args)


@pytest.mark.parametrize("name", MAKERS)
def test_use_after_close_raises_value_error(name: str) -> None:
    obj = MAKERS[name]()
    with obj as entered:
        assert entered is obj
    obj.close()  # idempotent
    for use in _uses(obj):
        with pytest.raises(ValueError, match=f"^{name} is closed$"):
            use()
    assert "closed" in repr(obj)


def test_subclasses_and_weak_references_work() -> None:
    class Masker(_native.XorMasker):  # type: ignore[misc]
        pass

    class Validator(_native.Utf8Validator):  # type: ignore[misc]
        def __init__(self, note: str) -> None:
            super().__init__()
            self.note = note

    m, v = Masker(KEY), Validator("x")
    assert m.masked(b"Hello") == bytes.fromhex("7f9f4d5158") and v.validate(b"\xff") is Utf8Status.INVALID
    refs = [weakref.ref(o) for o in (m, v, _native.XorMasker(KEY), _native.Utf8Validator())]
    del m, v
    gc.collect()
    assert [r() for r in refs] == [None] * 4


def test_no_leak_over_100000_created_and_dropped_objects() -> None:
    ba = bytearray(64)
    key = bytearray(KEY)

    def churn(n: int) -> None:
        for i in range(n):
            v = _native.Utf8Validator()
            v.validate(ba)
            m = _native.XorMasker(key)
            m.mask(ba)
            m.masked(ba)
            if i % 2:
                v.close()
                m.close()
            _native.is_valid_utf8(memoryview(ba))
            _native.mask(key, b"abcd")
            _native.mask_in_place(key, ba)
            for bad in (lambda: m.mask(b"ro"), lambda: _native.mask(b"abc", ba), lambda: _native.Utf8Validator().validate(1)):
                try:
                    bad()
                except (TypeError, ValueError):
                    pass

    churn(5000)
    gc.collect()
    before = sys.getallocatedblocks(), sys.getrefcount(ba), sys.getrefcount(key)
    churn(100_000)
    gc.collect()
    after = sys.getallocatedblocks(), sys.getrefcount(ba), sys.getrefcount(key)
    assert after[1:] == before[1:]  # every buffer export given back
    assert after[0] - before[0] < 1000, after[0] - before[0]  # a leak of one block per object would be 10^5
    ba.append(0)  # no export outstanding: the bytearray can be resized


# --- threads ------------------------------------------------------------------------------------

def _while_inside(obj: Any, call: Callable[[], object], then: Callable[[], object]) -> tuple[List[object], bool]:
    """Run call() in a thread and then() from this one once the thread holds obj; (results, then ran inside)."""
    results: List[object] = []
    worker = threading.Thread(target=lambda: results.append(call()))
    worker.start()
    while "in use" not in repr(obj) and worker.is_alive():
        pass
    inside = worker.is_alive()
    if inside:
        then()
    worker.join()
    return results, inside


def test_concurrent_use_of_one_object_is_refused() -> None:
    slow = ("é" * (24 << 20)).encode()  # non-ASCII: tens of milliseconds with the lock released
    for _ in range(5):
        v = _native.Utf8Validator()
        refused: List[str] = []

        def others() -> None:
            for use in (lambda: v.validate(b"x"), v.reset, lambda: v.bytes_validated, v.__enter__, v._record):
                try:
                    use()
                except RuntimeError as e:
                    refused.append(str(e))

        results, inside = _while_inside(v, lambda: v.validate(slow), others)
        if inside:
            break
    assert inside and refused == ["concurrent use of one Utf8Validator from several threads is not allowed"] * 5
    assert results == [Utf8Status.COMPLETE] and v.bytes_validated == len(slow)  # the refused calls changed nothing

    saved = _native._force_routines(mask="bytes")  # the byte loop: long enough to be caught inside
    try:
        for _ in range(5):
            m = _native.XorMasker(KEY)
            payload = bytearray(64 << 20)
            caught: List[str] = []

            def other_masker_calls() -> None:
                for use in (lambda: m.mask(bytearray(4)), lambda: m.position, lambda: m.reset(b"wxyz")):
                    try:
                        use()
                    except RuntimeError as e:
                        caught.append(str(e))
                try:
                    payload.append(0)  # the buffer stays exported while the lock is released
                except BufferError:
                    caught.append("pinned")

            _, inside = _while_inside(m, lambda: m.mask(payload), other_masker_calls)
            if inside:
                break
    finally:
        _native._force_routines(**saved)
    assert inside and caught == ["concurrent use of one XorMasker from several threads is not allowed"] * 3 + ["pinned"]
    assert m._record() == (KEY, 64 << 20, 2) and payload[:8] == KEY * 2


def test_close_during_a_call_in_another_thread_lets_the_call_finish() -> None:
    slow = ("é" * (24 << 20)).encode() + b"\xc0"
    for _ in range(5):
        v = _native.Utf8Validator()
        results, inside = _while_inside(v, lambda: v.validate(slow), v.close)
        if inside:
            break
    assert inside and results == [Utf8Status.INVALID]  # the call found the invalid byte after close() returned
    with pytest.raises(ValueError, match="closed"):
        v.validate(b"")

    saved = _native._force_routines(mask="bytes")
    try:
        for _ in range(5):
            m = _native.XorMasker(KEY)
            payload = bytearray(64 << 20)
            _, inside = _while_inside(m, lambda: m.mask(payload), m.close)
            if inside:
                break
    finally:
        _native._force_routines(**saved)
    assert inside and payload[-8:] == KEY * 2  # masked to the end
    with pytest.raises(ValueError, match="closed"):
        m.position


def test_distinct_objects_in_parallel_threads() -> None:
    texts = [("é€a" * 30000).encode(), b"z" * 100_000, ("中" * 20000).encode() + b"\xff" + b"q" * 30000]
    failures: List[str] = []

    def work(seed: int) -> None:
        try:
            checks(seeded(seed), seed)
        except Exception as e:  # reported below, not lost in the thread
            failures.append(repr(e))

    def checks(rng: Any, seed: int) -> None:
        for _ in range(20):
            data = rng.choice(texts)
            v = _native.Utf8Validator()
            pos = 0
            while pos < len(data):
                k = rng.choice([1, 7, T - 1, T + 3, 70_000])
                v.validate(data[pos:pos + k])
                pos += k
            if v.error_offset != first_rejected(data) or _native.is_valid_utf8(data) is (first_rejected(data) is not None):
                failures.append(f"validator {seed}")
            if _native.mask(KEY, data) != xor_model(data, KEY):
                failures.append(f"masker {seed}")

    saved = _native._force_routines(release_gil_from=0)  # every call runs without the lock
    try:
        threads = [threading.Thread(target=work, args=(s,)) for s in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        _native._force_routines(**saved)
    assert failures == []


# --- the module as built -------------------------------------------------------------------------


def test_the_module_exports_only_its_init_function() -> None:
    so = ctypes.CDLL(_native.__file__)
    assert hasattr(so, "PyInit__tav_native")
    for symbol in ("tav_utf8vld_new", "tav_utf8vld_validate", "_tav_utf8vld_validate_sse2", "tav_xormask_new",
                   "_tav_xormask_process_sse2", "_tav_xormask_process_simple"):
        assert not hasattr(so, symbol), symbol


def test_force_routines_reports_and_restores() -> None:
    before = _native._force_routines()
    assert before == {"utf8": "auto", "mask": "auto", "release_gil_from": _native.RELEASE_GIL_THRESHOLD}
    assert _native._force_routines(utf8="table", mask="bytes", release_gil_from=5) == before
    assert _native._force_routines(**before) == {"utf8": "table", "mask": "bytes", "release_gil_from": 5}
    assert _native._force_routines() == before
    for bad in ({"utf8": "avx9"}, {"mask": "fast"}, {"utf8": 3}):
        with pytest.raises(ValueError, match="unknown"):
            _native._force_routines(**bad)
    assert _native._force_routines() == before


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters (own GIL) need Python 3.12")
def test_an_isolated_subinterpreter_gets_its_own_module_state() -> None:
    interpreters = pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    import tav

    code = textwrap.dedent(f"""
        import sys, types
        pkg = types.ModuleType("tav")  # without tav/__init__, whose cffi modules refuse isolated interpreters
        pkg.__path__ = [{tav.__path__[0]!r}]
        sys.modules["tav"] = pkg
        import _tav_native as _native
        assert _native.Utf8Validator().validate(b"\\xe2\\x82\\xac") == 0
        assert _native.mask(b"abcd", bytes(4)) == b"abcd"
        _native._force_routines(utf8="table", mask="bytes")
    """)
    interp = interpreters.create("isolated") if sys.version_info >= (3, 13) else interpreters.create(isolated=True)
    try:
        assert interpreters.run_string(interp, code) is None  # None: the code raised nothing
    finally:
        interpreters.destroy(interp)
    assert _native._force_routines()["utf8"] == "auto"
