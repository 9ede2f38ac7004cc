"""The safe API: buffers read and written in place, errors that name the fault,
sticky rejection with exact offsets across both validation paths, life cycle,
leaks and threads."""
from __future__ import annotations

import array
import copy
import ctypes
import functools
import gc
import mmap
import pickle
import subprocess
import sys
import threading
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

import tav
from support import CFFI_MISSING, HAVE_CFFI, first_rejected, rfc3629_status, seeded, xor_model

if HAVE_CFFI:
    from support import utf8_routines, utf8_record
    from tav import _utf8

import backends

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DATA = HERE / "data"
# sizes around the cffi backend's switch (the native one's are in test_native.py);
# where the cffi modules are not built, around the native one's
T = (_utf8 if HAVE_CFFI else tav).BLOCK_VALIDATOR_THRESHOLD
KEY = bytes.fromhex("37fa213d")


@pytest.fixture(autouse=True, params=backends.params())
def api(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> object:
    """Every test here runs once per backend: while it runs, this module's
    `tav` is that backend's namespace (see tests/backends.py)."""
    namespace = backends.BACKENDS[request.param]
    monkeypatch.setitem(globals(), "tav", namespace)
    return namespace


def _only_cffi(why: str) -> None:
    if tav is not backends.BACKENDS.get("cffi"):
        pytest.skip(f"{why}: a property of the cffi backend alone")


# --- buffers -------------------------------------------------------------------

def _numpy_2d(data: bytes) -> object:
    np = pytest.importorskip("numpy")
    return np.frombuffer(data, dtype=np.uint8).reshape(2, len(data) // 2).copy()


def _mmap_of(data: bytes) -> mmap.mmap:
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


READABLE_KINDS: dict[str, Callable[[bytes], object]] = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "readonly memoryview": lambda d: memoryview(bytearray(d)).toreadonly(),
    "array('B')": lambda d: array.array("B", d),
    "array('I')": lambda d: array.array("I", d),  # 4-byte items: the size in bytes counts
    "mmap": _mmap_of,
    "2-D memoryview": lambda d: memoryview(d).cast("B", (2, len(d) // 2)),
    "2-D numpy": _numpy_2d,
}


@pytest.mark.parametrize("kind", READABLE_KINDS)
@pytest.mark.parametrize("n", [16, T - 4, T + 4, 4 * T])
def test_validate_takes_every_contiguous_kind_whole(kind: str, n: int) -> None:
    text = ("aé€😀" * n).encode()[:n]
    text = text[: len(text) - (len(text) % 4)]  # array('I') needs whole items
    status = rfc3629_status(text)[0]
    obj = READABLE_KINDS[kind](text)
    v = tav.Utf8Validator()
    expected = tav.Utf8Status.COMPLETE if status == "complete" else tav.Utf8Status.INCOMPLETE
    assert v.validate(obj) is expected
    assert v.bytes_validated == len(text)
    assert tav.is_valid_utf8(obj) is (status == "complete")
    bad = READABLE_KINDS[kind](b"\xff" + text[1:])
    assert v.validate(bad) is tav.Utf8Status.INVALID
    assert v.error_offset == len(text)


@pytest.mark.parametrize("n", [5, T - 1, T, 3 * T + 7])
def test_validate_of_a_slice_sees_exactly_the_slice(n: int) -> None:
    # Invalid bytes sit right outside the slice on both sides: reading one of
    # them, or copying more than the slice, would be seen.
    for lead in range(16):  # every address residue of the slice start
        big = bytearray(b"\xff" * lead + b"a" * n + b"\xff" * 64)
        window = memoryview(big)[lead : lead + n]
        v = tav.Utf8Validator()
        assert v.validate(window) is tav.Utf8Status.COMPLETE
        assert v.bytes_validated == n
        assert tav.is_valid_utf8(window)
        assert tav.is_valid_utf8(memoryview(bytes(big))[lead : lead + n])


WRITABLE_KINDS: dict[str, Callable[[bytes], object]] = {
    "bytearray": bytearray,
    "memoryview": lambda d: memoryview(bytearray(d)),
    "array('B')": lambda d: array.array("B", d),
    "mmap": _mmap_of,
    "2-D numpy": _numpy_2d,
}


@pytest.mark.parametrize("kind", WRITABLE_KINDS)
def test_mask_rewrites_each_writable_kind_in_place(kind: str) -> None:
    rng = seeded(11)
    data = rng.randbytes(200)
    obj = WRITABLE_KINDS[kind](data)
    m = tav.XorMasker(KEY)
    m.mask(obj)
    assert bytes(obj) == xor_model(data, KEY)  # type: ignore[call-overload]
    assert m.position == 200


def test_mask_of_a_slice_changes_exactly_the_slice_and_carries_the_phase() -> None:
    rng = seeded(12)
    data = rng.randbytes(3000)
    buf = bytearray(data)
    view = memoryview(buf)
    m = tav.XorMasker(bytearray(KEY))
    cuts = sorted(rng.sample(range(100, 2900), 9)) + [2900]
    start = 100
    for end in cuts:
        m.mask(view[start:end])
        start = end
    assert buf[:100] == data[:100] and buf[2900:] == data[2900:]
    assert bytes(buf[100:2900]) == xor_model(data[100:2900], KEY)
    assert m.position == 2800
    m.reset()
    assert m.position == 0
    assert m.masked(data[:7]) == xor_model(data[:7], KEY)


def test_masked_and_mask_leave_their_input_untouched() -> None:
    data = bytes(range(256)) * 3
    for obj in (data, bytearray(data), memoryview(data)[1:], array.array("B", data)):
        before = bytes(obj)  # type: ignore[call-overload]
        m = tav.XorMasker(KEY)
        assert m.masked(obj) == xor_model(before, KEY)
        assert tav.mask(key=KEY, data=obj) == xor_model(before, KEY)
        assert bytes(obj) == before  # type: ignore[call-overload]


@pytest.mark.parametrize(
    "obj",
    [b"abcdefgh", memoryview(bytearray(8)).toreadonly(), memoryview(b"abcdefgh"), "read-only mmap"],
    ids=["bytes", "readonly-memoryview", "memoryview-of-bytes", "mmap-ACCESS_READ"],
)
def test_mask_refuses_read_only_buffers_and_changes_nothing(obj: object, tmp_path: Path) -> None:
    if obj == "read-only mmap":
        f = tmp_path / "ro"
        f.write_bytes(b"abcdefgh")
        with open(f, "rb") as fh:
            obj = mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ)
    before = bytes(obj)  # type: ignore[call-overload]
    m = tav.XorMasker(KEY)
    with pytest.raises(TypeError, match="read-only"):
        m.mask(obj)
    assert bytes(obj) == before  # type: ignore[call-overload]
    assert m.position == 0


NOT_BUFFERS = ["abc", 5, None, [1, 2, 3], 1.5]
NON_CONTIGUOUS = [memoryview(bytearray(b"abcdefgh"))[::2]]


@pytest.mark.parametrize(
    "call",
    [
        lambda x: tav.Utf8Validator().validate(x),
        tav.is_valid_utf8,
        lambda x: tav.XorMasker(KEY).mask(x),
        lambda x: tav.XorMasker(KEY).masked(x),
        lambda x: tav.mask(KEY, x),
    ],
    ids=["validate", "is_valid_utf8", "mask", "masked", "mask()"],
)
def test_argument_errors_name_the_fault(call: Callable[[object], object]) -> None:
    for obj in NOT_BUFFERS:
        with pytest.raises(TypeError, match=type(obj).__name__):
            call(obj)
    for obj in NON_CONTIGUOUS:
        with pytest.raises(BufferError, match="contiguous"):
            call(obj)
    try:
        import numpy as np
    except ImportError:
        return
    with pytest.raises((BufferError, ValueError), match="contiguous"):
        call(np.zeros((4, 4), dtype=np.uint8).T)


@pytest.mark.parametrize(
    "key, error",
    [
        (b"", ValueError), (b"abc", ValueError), (b"abcde", ValueError), (bytes(16), ValueError),
        ("abcd", TypeError), (1234, TypeError), (None, TypeError), ([1, 2, 3, 4], TypeError),
        (b"abcd", None), (bytearray(b"abcd"), None), (memoryview(b"xxabcdxx")[2:6], None),
        (array.array("H", [0x6261, 0x6463]), None),
    ],
)
def test_key_is_any_bytes_like_of_four_bytes(key: object, error: type | None) -> None:
    if error is not None:
        with pytest.raises(error, match="4 bytes"):
            tav.XorMasker(key)  # type: ignore[arg-type]
        return
    m = tav.XorMasker(key)  # type: ignore[arg-type]
    assert m.masked(b"\x00" * 6) == b"abcdab"


# --- validation: sticky rejection, exact offsets on both paths -----------------

def test_rejection_is_sticky_until_reset() -> None:
    v = tav.Utf8Validator()
    assert v.validate(b"ab\xe2\x82") is tav.Utf8Status.INCOMPLETE
    assert v.error_offset is None and v.bytes_validated == 4
    assert v.validate(b"A") is tav.Utf8Status.INVALID  # E2 82 41: the 41 is rejected
    assert v.error_offset == 4 and v.bytes_validated == 4
    for later in (b"", b"ok", b"a" * (2 * T)):
        assert v.validate(later) is tav.Utf8Status.INVALID
        assert v.error_offset == 4 and v.bytes_validated == 4
    v.reset()
    assert v.error_offset is None and v.bytes_validated == 0
    assert v.validate(b"\xc3\xa9") is tav.Utf8Status.COMPLETE
    assert v.bytes_validated == 2


@pytest.mark.parametrize("n", [0, 1, 3, 16, 125, 1024, 65536 + 5])
def test_every_stateless_masking_form_masks_from_key_byte_0(n: int) -> None:
    apply_mask, websocket_mask = tav.apply_mask, tav.websocket_mask
    data = bytes(seeded(n).randrange(256) for _ in range(n))
    expected = xor_model(data, KEY)
    assert tav.mask(KEY, data) == expected
    assert apply_mask(data, KEY) == expected  # websockets' order: data first
    for form in (lambda b: tav.mask_in_place(KEY, b), lambda b: websocket_mask(KEY, b)):
        buf = bytearray(data)
        assert form(buf) is None and buf == expected
        buf = bytearray(b"\xee" * 3 + data + b"\xee" * 3)  # a slice: nothing outside it changes
        form(memoryview(buf)[3 : 3 + n])
        assert buf == b"\xee" * 3 + expected + b"\xee" * 3


def test_stateless_masking_errors_name_the_fault() -> None:
    apply_mask, websocket_mask = tav.apply_mask, tav.websocket_mask
    frozen = b"abcd"
    for call in (lambda: tav.mask_in_place(KEY, frozen), lambda: websocket_mask(KEY, frozen)):
        with pytest.raises(TypeError, match="read-only"):
            call()
    assert frozen == b"abcd"
    with pytest.raises(ValueError, match="mask must contain 4 bytes"):  # websockets' message
        apply_mask(b"data", b"abc")
    for call in (lambda k: tav.mask_in_place(k, bytearray(4)), lambda k: websocket_mask(k, bytearray(4))):
        with pytest.raises(ValueError, match="4 bytes"):
            call(b"abcde")
        with pytest.raises(TypeError, match="str"):
            call("abcd")


def test_reset_with_a_new_key_masks_with_it_and_a_bad_key_changes_nothing() -> None:
    other = bytes.fromhex("01020304")
    m = tav.XorMasker(KEY)
    m.mask(bytearray(3))
    m.reset(other)
    assert m.position == 0 and m.masked(bytes(6)) == other + other[:2]
    for bad, error in ((b"abc", ValueError), ("abcd", TypeError)):
        with pytest.raises(error, match="4 bytes"):
            m.reset(bad)
    assert m.position == 6 and m.masked(bytes(2)) == other[2:]  # key and phase as they were
    m.reset()
    assert m.masked(bytes(4)) == other


def test_unmask_and_validate_does_what_the_two_calls_do() -> None:
    # Faults sit around the 16 KiB blocks of the native backend's fused loop.
    rng = seeded(31)
    text = ("a\u00e9\u20ac\U0001f600\u0439" * 12000).encode()
    block = 16 * 1024
    cases = [b"", text[:5], text[: 3 * block + 7]]
    for at in (0, 1, block - 1, block, block + 1, 2 * block + 3, len(text) - 1):
        for fault in (b"\xff", b"\xed\xa0", b"\xe2\x82A"):
            cases.append(text[:at] + fault + text[at + len(fault):])
    for data in cases:
        for start in (0, 3):
            pieces = sorted(rng.sample(range(len(data) + 1), min(3, len(data) + 1))) + [len(data)]
            fused_m, two_m = tav.XorMasker(KEY), tav.XorMasker(KEY)
            fused_v, two_v = tav.Utf8Validator(), tav.Utf8Validator()
            fused_m.masked(bytes(start)), two_m.masked(bytes(start))  # any key phase
            masked = xor_model(data, KEY, start)
            fused_buf, two_buf = bytearray(masked), bytearray(masked)
            view_f, view_t = memoryview(fused_buf), memoryview(two_buf)
            lo = 0
            for hi in pieces:
                got = tav.unmask_and_validate(fused_m, fused_v, view_f[lo:hi])
                two_m.mask(view_t[lo:hi])
                assert got is two_v.validate(view_t[lo:hi]), (len(data), lo, hi)
                lo = hi
            assert fused_buf == two_buf == data
            assert fused_m.position == two_m.position == start + len(data)
            assert (fused_v.error_offset, fused_v.bytes_validated) == (two_v.error_offset, two_v.bytes_validated)
            assert fused_v.error_offset == first_rejected(data)


def _closed(obj: object) -> object:
    obj.close()  # type: ignore[attr-defined]
    return obj


# (what is wrong, (masker, validator, buffer) maker, error, message): each is
# refused before any byte changes, with the same error on every backend.
REFUSED_FUSED_CALLS = [
    ("read-only buffer", lambda m, v: (m, v, b"\x7f\x9fMQX"), TypeError, "needs a writable buffer"),
    ("no buffer", lambda m, v: (m, v, 12), TypeError, "bytes-like object"),
    ("swapped", lambda m, v: (v, m, bytearray(b"\x7f\x9fMQX")), TypeError, "takes a tav.XorMasker and a tav.Utf8Validator"),
    ("two maskers", lambda m, v: (m, m, bytearray(b"\x7f\x9fMQX")), TypeError, "takes a tav.XorMasker and a tav.Utf8Validator"),
    ("closed validator", lambda m, v: (m, _closed(v), bytearray(b"\x7f\x9fMQX")), ValueError, "^Utf8Validator is closed$"),
    ("closed masker", lambda m, v: (_closed(m), v, bytearray(b"\x7f\x9fMQX")), ValueError, "^XorMasker is closed$"),
    (
        "uninitialized validator",
        lambda m, v: (m, type(v).__new__(type(v)), bytearray(b"\x7f\x9fMQX")),
        ValueError,
        r"^tav.Utf8Validator is not initialized \(its __init__ never ran or failed\)$",
    ),
    (
        "uninitialized masker",
        lambda m, v: (type(m).__new__(type(m)), v, bytearray(b"\x7f\x9fMQX")),
        ValueError,
        r"^tav.XorMasker is not initialized",
    ),
]


@pytest.mark.parametrize("fault, make, error, message", REFUSED_FUSED_CALLS, ids=[r[0] for r in REFUSED_FUSED_CALLS])
def test_unmask_and_validate_refuses_what_it_cannot_do_and_changes_nothing(
    fault: str, make: Callable[..., tuple[object, object, object]], error: type[Exception], message: str
) -> None:
    # It used to unmask first and look at the validator afterwards: a caller
    # that retried unmasked twice.
    m, v = tav.XorMasker(KEY), tav.Utf8Validator()
    args = make(m, v)
    before = bytes(args[2]) if isinstance(args[2], (bytes, bytearray)) else None
    with pytest.raises(error, match=message):
        tav.unmask_and_validate(*args)
    if before is not None:
        assert bytes(args[2]) == before  # type: ignore[call-overload]
    if "masker" not in fault:
        assert m.position == 0
    if "validator" not in fault:
        assert v.bytes_validated == 0 and v.error_offset is None
    buf = bytearray(b"\x7f\x9fMQX")
    if fault.startswith("closed") or fault.startswith("uninitialized"):
        return
    assert tav.unmask_and_validate(m, v, buf) is tav.Utf8Status.COMPLETE and buf == b"Hello"


def test_unmask_and_validate_with_a_busy_validator_changes_nothing() -> None:
    slow = ("é" * (24 << 20)).encode()  # tens of milliseconds in native code
    for attempt in range(5):
        m, v = tav.XorMasker(KEY), tav.Utf8Validator()
        buf = bytearray(b"\x7f\x9fMQX")
        refused: List[str] = []
        t = threading.Thread(target=v.validate, args=(slow,))
        t.start()
        while not tav.busy(v) and t.is_alive():  # wait until the worker holds the validator
            pass
        if t.is_alive():
            try:
                tav.unmask_and_validate(m, v, buf)
            except RuntimeError as e:
                refused.append(str(e))
        t.join()
        if refused:
            break
    assert refused == ["concurrent use of one Utf8Validator from several threads is not allowed"]
    assert buf == b"\x7f\x9fMQX" and m.position == 0


def test_a_status_has_no_truth_value_but_compares_and_prints_alike_everywhere() -> None:
    v = tav.Utf8Validator()
    statuses = [v.validate(b"\xe2"), v.validate(b"\x82\xac"), v.validate(b"\xff")]
    assert statuses == [tav.Utf8Status.INCOMPLETE, tav.Utf8Status.COMPLETE, tav.Utf8Status.INVALID]
    assert statuses == [1, 0, -1]  # the native results, for callers that compare numbers
    for status in statuses:
        with pytest.raises(TypeError, match="no truth value"):
            if status:  # reads as "valid", and would be true exactly when it is not
                pass
    assert [str(s) for s in statuses] == ["Utf8Status.INCOMPLETE", "Utf8Status.COMPLETE", "Utf8Status.INVALID"]
    assert f"{statuses[0]}|{statuses[2]:>20}" == "Utf8Status.INCOMPLETE|  Utf8Status.INVALID"
    assert repr(statuses[1]) == "<Utf8Status.COMPLETE: 0>"


def test_one_shot_calls_carry_nothing_from_one_call_to_the_next() -> None:
    # is_valid_utf8 reuses a record per thread: an unfinished or rejected
    # stream must not leak into the next call, on either path.
    long = b"a" * (2 * T)
    sequence = [
        (b"\xe2", False), (b"\x82\xac", False), (b"\xe2\x82\xac", True),
        (long + b"\xf0\x9f", False), (b"\x98\x80" + long, False), (long, True),
        (b"\xff", False), (b"", True), (long + b"\xc0", False), (b"a", True),
    ]
    for data, valid in sequence:
        assert tav.is_valid_utf8(data) is valid, data[-4:]
    key = bytearray(KEY)
    assert tav.mask(key, b"Hello") == bytes.fromhex("7f9f4d5158")  # RFC 6455 section 5.7
    key[0] ^= 0xFF  # the key is copied at each call
    assert tav.mask(KEY, b"Hello") == bytes.fromhex("7f9f4d5158")


def _texts() -> Iterator[tuple[str, bytes]]:
    rng = seeded(5)
    alphabet = ["a", " ", "\n", "é", "ж", "€", "中", "😀", "\u07ff", "\uffff", "\U0010ffff"]
    yield "mixed", "".join(rng.choice(alphabet) for _ in range(6000)).encode()
    yield "ascii", bytes(rng.choice(b"abc xyz\n") for _ in range(20000))
    yield "ascii-then-cjk", b"x" * 5000 + "中文".encode() * 800
    for name in ("utf8tests.txt", "UTF-8-test.txt"):
        path = DATA / name
        if path.exists():
            yield name, path.read_bytes()


FAULTS = [b"\xff", b"\x80", b"\xc0\xaf", b"\xe0\x80", b"\xed\xa0\x80", b"\xf4\x90", b"\xe2\x82A", b"\xf0\x9f\x98"]


def _cases() -> Iterator[tuple[str, bytes]]:
    rng = seeded(6)
    for name, text in _texts():
        yield name, text
        for k in range(6):
            at = rng.randrange(len(text))
            yield f"{name}+fault{k}@{at}", text[:at] + rng.choice(FAULTS) + text[at:]


def _chunkings(n: int, rng: object) -> Iterator[List[int]]:
    """Chunk lengths summing to n, with sizes on both sides of the threshold."""
    sizes = [1, 3, 15, 16, 17, T - 1, T, T + 1, 2 * T + 5, 5 * T]
    for _ in range(4):
        cuts: List[int] = []
        left = n
        while left > 0:
            k = min(left, rng.choice(sizes) if rng.random() < 0.7 else rng.randrange(1, 4 * T))  # type: ignore[attr-defined]
            cuts.append(k)
            left -= k
        yield cuts


def test_stream_status_and_offset_match_the_oracle_across_the_threshold() -> None:
    rng = seeded(7)
    for name, data in _cases():
        expected_error = first_rejected(data)
        for cuts in _chunkings(len(data), rng):
            v = tav.Utf8Validator()
            # the dispatcher alone, on its own record, where the cffi modules are built
            ref = utf8_routines.tav_utf8vld_new() if HAVE_CFFI else None
            if ref is not None:
                utf8_routines.tav_utf8vld_set_impl(ref, 2)
            pos = 0
            view = memoryview(data)  # slices give every address residue
            for k in cuts:
                status = v.validate(view[pos : pos + k])
                prefix_error = first_rejected(data[: pos + k])
                if prefix_error is not None:
                    assert status is tav.Utf8Status.INVALID, (name, cuts)
                    assert v.error_offset == prefix_error == expected_error, (name, cuts)
                    assert v.bytes_validated == prefix_error
                else:
                    prefix = rfc3629_status(data[: pos + k])[0]
                    want = tav.Utf8Status.COMPLETE if prefix == "complete" else tav.Utf8Status.INCOMPLETE
                    assert status is want, (name, cuts, pos)
                    assert v.error_offset is None and v.bytes_validated == pos + k
                if ref is not None and utf8_record(ref)[2] != 1:  # the dispatcher's record until it rejects
                    utf8_routines.tav_utf8vld_validate(ref, data[pos : pos + k], k)
                    assert tav.validator_record(v)[:3] == utf8_record(ref)[:3], (name, cuts, pos)
                pos += k
            if ref is not None:
                utf8_routines.tav_utf8vld_free(ref)
        assert tav.is_valid_utf8(data) is (rfc3629_status(data)[0] == "complete"), name


@pytest.mark.parametrize(
    "routine",
    [name for name, _ in _utf8.LONG_ROUTINES] if HAVE_CFFI else [pytest.param("", marks=pytest.mark.skip(reason=CFFI_MISSING))],
)
def test_long_chunks_take_the_long_chunk_routine(routine: str) -> None:
    _only_cffi("long chunks go to a vector or block validator through _tav_utf8routines")
    try:
        _utf8._force_long_routine(routine)
    except ValueError as e:
        pytest.skip(str(e))
    # A real check that the threshold routes: count the routine's calls.
    calls: List[int] = []
    real = _utf8._block_validate
    assert real is not None
    long = _utf8._long_chunk

    def counting(handle: object, data: object, n: int) -> int:
        calls.append(n)
        return real(handle, data, n)  # type: ignore[arg-type]

    _utf8._block_validate = counting  # type: ignore[assignment]
    try:
        v = tav.Utf8Validator()
        v.validate(b"a" * (long - 1))
        v.validate(b"a" * long)
        v.validate(b"a" * 5 + b"\xff" + b"a" * long)
        assert calls == [long, long + 6]
        assert v.error_offset == 2 * long - 1 + 5  # exact, by the routine itself or by a replay
    finally:
        _utf8._force_long_routine(None)


# --- life cycle ----------------------------------------------------------------

@pytest.mark.parametrize("make", [lambda: tav.Utf8Validator(), lambda: tav.XorMasker(KEY)], ids=["validator", "masker"])
def test_use_after_close_raises_value_error(make: Callable[[], object]) -> None:
    obj = make()
    with obj as entered:  # type: ignore[attr-defined]
        assert entered is obj
    obj.close()  # type: ignore[attr-defined]  # idempotent
    for use in _uses(obj):
        with pytest.raises(ValueError, match="closed"):
            use()
    assert "closed" in repr(obj)


def _uses(obj: object) -> List[Callable[[], object]]:
    """Every method and property of a validator or masker, called once."""
    uses: List[Callable[[], object]] = [lambda: obj.reset(), lambda: obj.__enter__()]  # type: ignore[attr-defined]
    if isinstance(obj, tav.Utf8Validator):
        uses += [lambda: obj.validate(b"x"), lambda: obj.error_offset, lambda: obj.bytes_validated]
    else:
        uses += [lambda: obj.mask(bytearray(4)), lambda: obj.masked(b"x"), lambda: obj.position]  # type: ignore[attr-defined]
    return uses


@pytest.mark.parametrize("make", [lambda: tav.Utf8Validator(), lambda: tav.XorMasker(KEY)], ids=["validator", "masker"])
@pytest.mark.parametrize(
    "duplicate, word",
    [(copy.copy, "copy"), (copy.deepcopy, "copy")]
    + [(functools.partial(pickle.dumps, protocol=p), "pickle") for p in range(pickle.HIGHEST_PROTOCOL + 1)],
)
def test_copy_deepcopy_and_pickle_are_refused_naming_the_class(
    make: Callable[[], object], duplicate: Callable[[object], object], word: str
) -> None:
    # A copy used to share the record: closing one freed it under the other.
    obj = make()
    name = type(obj).__name__
    with pytest.raises(TypeError, match=f"cannot {word} a tav.{name}"):
        duplicate(obj)
    if isinstance(obj, tav.Utf8Validator):
        assert obj.validate(b"\xe2\x82") is tav.Utf8Status.INCOMPLETE and obj.bytes_validated == 2
    else:
        assert obj.masked(b"\x00" * 5) == KEY + KEY[:1] and obj.position == 5


@pytest.mark.parametrize("name, args", [("Utf8Validator", ()), ("XorMasker", (KEY,))], ids=["validator", "masker"])
def test_half_built_objects_say_so_and_cannot_be_rebuilt(name: str, args: tuple[object, ...]) -> None:
    cls = getattr(tav, name)
    never = cls.__new__(cls)  # __init__ never ran
    failed = cls.__new__(cls)
    if cls is tav.XorMasker:
        with pytest.raises(ValueError, match="4 bytes"):
            failed.__init__(b"abc")  # __init__ failed
    for obj in (never, failed):
        for use in _uses(obj):
            with pytest.raises(ValueError, match=f"tav.{cls.__name__} is not initialized"):
                use()
        assert "not initialized" in repr(obj)
        obj.close()  # nothing to free
    live = cls(*args)
    with pytest.raises(RuntimeError, match="already initialized"):
        live.__init__(*args)
    for use in _uses(live):  # the first record is still in place and usable
        use()


def _malloc_in_use() -> int:
    """Bytes malloc has handed out and not got back (glibc), else the resident set size."""
    libc = ctypes.CDLL(None)
    if hasattr(libc, "mallinfo2"):
        class Mallinfo2(ctypes.Structure):
            _fields_ = [(f, ctypes.c_size_t) for f in
                        ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                         "uordblks", "fordblks", "keepcost")]
        libc.mallinfo2.restype = Mallinfo2
        return int(libc.mallinfo2().uordblks)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * mmap.PAGESIZE


def test_no_leak_over_100000_created_and_dropped_objects() -> None:
    def churn(n: int) -> None:
        for i in range(n):
            v = tav.Utf8Validator()
            v.validate(b"abc")
            m = tav.XorMasker(KEY)
            m.mask(bytearray(8))
            if i % 2:
                v.close()
                m.close()
            tav.is_valid_utf8(b"x")
            tav.mask(KEY, b"abcd")

    # Dropped objects are freed by the garbage collector, run before each
    # measure. A leak grows every round by 100,000 x (24 bytes + malloc's
    # header) for each record leaked; warming up (arenas, PyPy's JIT) grows
    # only the first rounds, so one round of the four must stay flat.
    churn(20_000)
    growths = []
    for _ in range(4):
        gc.collect()
        before = _malloc_in_use()
        churn(100_000)
        gc.collect()
        gc.collect()
        growths.append(_malloc_in_use() - before)
        if growths[-1] < 512 * 1024:
            break
    assert min(growths) < 512 * 1024, growths


def test_close_and_with_free_the_record_at_once() -> None:
    if not tav.records_per_pair:
        pytest.skip("records live inside the objects: close() only marks them closed, and they go with the object")
    # The same objects are kept alive twice over, closed or not: the
    # difference is the records, whatever the interpreter's own objects cost.
    def kept(n: int, close: bool) -> int:
        before = _malloc_in_use()
        keep = []
        for _ in range(n):
            v, m = tav.Utf8Validator(), tav.XorMasker(KEY)
            if close:
                with v:
                    v.validate(b"abc")
                m.close()
            keep.append((v, m))
        grown = _malloc_in_use() - before
        del keep
        return grown

    n = 20_000
    gc.disable()  # nothing may depend on a collection
    try:
        kept(n, True)  # warm up
        open_growth, closed_growth = kept(n, False), kept(n, True)
    finally:
        gc.enable()
    # A record of 24 bytes (plus malloc's header) per object when left open.
    assert open_growth - closed_growth > n * tav.records_per_pair * 24 * 0.9, (open_growth, closed_growth)


# --- threads -------------------------------------------------------------------

def test_threads_on_distinct_objects_do_not_interfere() -> None:
    rng = seeded(8)
    texts = [("é€a" * 3000).encode(), b"z" * 10_000, ("中" * 2000).encode() + b"\xff" + b"q" * 3000]
    failures: List[str] = []

    def work(seed: int) -> None:
        r = seeded(seed)
        try:
            for _ in range(30):
                data = r.choice(texts)
                v = tav.Utf8Validator()
                pos = 0
                while pos < len(data):
                    k = r.choice([1, 7, T - 1, T + 3, 3 * T])
                    v.validate(data[pos : pos + k])
                    pos += k
                if v.error_offset != first_rejected(data):
                    failures.append(f"validator {seed}")
                payload = bytearray(data)
                m = tav.XorMasker(KEY)
                m.mask(payload)
                if bytes(payload) != xor_model(data, KEY):
                    failures.append(f"masker {seed}")
        except Exception as e:  # reported below, not lost in the thread
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=(rng.randrange(1 << 30),)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_concurrent_use_of_one_object_is_refused_cleanly() -> None:
    slow = ("é" * (24 << 20)).encode()  # non-ASCII: tens of milliseconds in native code
    for attempt in range(5):
        v = tav.Utf8Validator()
        results: List[object] = []
        refused: List[str] = []
        t = threading.Thread(target=lambda: results.append(v.validate(slow)))
        t.start()
        while not tav.busy(v) and t.is_alive():  # wait until the worker holds the object
            pass
        if t.is_alive():
            for use in (lambda: v.validate(b"x"), v.reset, lambda: v.bytes_validated):
                try:
                    use()
                except RuntimeError as e:
                    refused.append(str(e))
        t.join()
        if refused:
            break
    assert refused and all("concurrent use of one Utf8Validator" in r for r in refused)
    assert results == [tav.Utf8Status.COMPLETE]
    assert v.bytes_validated == len(slow)  # the refused calls changed nothing
    assert v.validate(b"\xff") is tav.Utf8Status.INVALID and v.error_offset == len(slow)

    m = tav.XorMasker(KEY)
    if hasattr(m, "_token"):  # the cffi backend's token can be taken by hand
        m._token.pop()  # as if another thread were inside
        with pytest.raises(RuntimeError, match="concurrent use of one XorMasker"):
            m.mask(bytearray(4))
        m._token.append(True)
        assert m.position == 0


def test_close_during_a_call_in_another_thread_keeps_the_record_for_that_call() -> None:
    slow = ("é" * (24 << 20)).encode() + b"\xc0"
    for attempt in range(5):
        v = tav.Utf8Validator()
        results: List[object] = []
        t = threading.Thread(target=lambda: results.append(v.validate(slow)))
        t.start()
        while not tav.busy(v) and t.is_alive():
            pass
        closed_inside = t.is_alive()
        v.close()
        t.join()
        if closed_inside:
            break
    assert closed_inside
    # The call finished on its record and found the invalid byte after close() returned.
    assert results == [tav.Utf8Status.INVALID]
    with pytest.raises(ValueError, match="closed"):
        v.validate(b"")


# --- types ---------------------------------------------------------------------

@pytest.mark.skipif(sys.implementation.name == "pypy", reason="mypy does not run on PyPy (no PyPy build of its compiled runtime); the CPython runs type-check the same sources")
def test_mypy_strict_passes() -> None:
    _only_cffi("the sources are type-checked once")
    pytest.importorskip("mypy")
    # [tool.mypy] in pyproject.toml: strict, over tav and the two stub packages.
    r = subprocess.run([sys.executable, "-m", "mypy"], cwd=ROOT, capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
