"""Buffers whose items are not plain data are refused by every entry that takes a buffer.

A numpy object array or a ctypes pointer array exports its object pointers
as a writable buffer: masking them in place crashed the process later."""
from __future__ import annotations

import array
import ctypes
import gc
import os
import sys
import sysconfig
import threading
import time
from typing import Any, Callable, Dict, List, Tuple

import pytest

from support import seeded, xor_model

import backends

KEY = bytes.fromhex("37fa213d")


@pytest.fixture(params=backends.params())
def api(request: pytest.FixtureRequest) -> Any:
    return backends.BACKENDS[request.param]


def _numpy(make: Callable[[Any], Any]) -> Callable[[], Any]:
    def build() -> Any:
        return make(pytest.importorskip("numpy"))

    return build


class _Pair(ctypes.Structure):
    _fields_ = [("a", ctypes.c_uint8), ("b", ctypes.c_uint8)]


def _py_objects() -> Any:
    try:
        return (ctypes.py_object * 2)("a", "b")
    except TypeError:  # PyPy's ctypes cannot hold a str there; null references are still references
        return (ctypes.py_object * 2)()


# Buffers of pointers, objects or records: never plain bytes.
NOT_PLAIN: Dict[str, Callable[[], Any]] = {
    "numpy object": _numpy(lambda np: np.array([object(), "text", None, 7], dtype=object)),
    "ctypes c_void_p": lambda: (ctypes.c_void_p * 4)(1, 2, 3, 4),
    "ctypes py_object": lambda: _py_objects(),
    "ctypes structure": lambda: (_Pair * 4)(),
    "numpy record": _numpy(lambda np: np.zeros(4, dtype=[("a", "u1"), ("b", "u1")])),
    "numpy complex": _numpy(lambda np: np.zeros(2, dtype=np.complex64)),
}

Entry = Callable[[Any], Tuple[Callable[[Any], object], Callable[[], bool]]]


def _validator(api: Any) -> Tuple[Callable[[Any], object], Callable[[], bool]]:
    v = api.Utf8Validator()
    return v.validate, lambda: v.bytes_validated == 0 and v.validate(b"ok") is api.Utf8Status.COMPLETE


def _masker(method: str) -> Entry:
    def make(api: Any) -> Tuple[Callable[[Any], object], Callable[[], bool]]:
        m = api.XorMasker(KEY)
        return getattr(m, method), lambda: m.position == 0

    return make


def _fused(api: Any) -> Tuple[Callable[[Any], object], Callable[[], bool]]:
    m, v = api.XorMasker(KEY), api.Utf8Validator()
    return lambda x: api.unmask_and_validate(m, v, x), lambda: m.position == 0 and v.bytes_validated == 0


def _decoder(api: Any) -> Tuple[Callable[[Any], object], Callable[[], bool]]:
    d = api.Utf8Decoder()
    return d.decode, lambda: d.getstate() == (b"", 0) and d.decode(b"ok") == "ok"


def _stateless(call: Callable[[Any, Any], object]) -> Entry:
    return lambda api: (lambda x: call(api, x), lambda: True)


HOLDS_REFERENCES = {"numpy object", "ctypes py_object"}

# Every entry that takes a buffer: (the call on fresh objects, a check that they are unchanged).
ENTRIES: Dict[str, Entry] = {
    "Utf8Validator.validate": _validator,
    "is_valid_utf8": _stateless(lambda api, x: api.is_valid_utf8(x)),
    "mask": _stateless(lambda api, x: api.mask(KEY, x)),
    "mask_in_place": _stateless(lambda api, x: api.mask_in_place(KEY, x)),
    "XorMasker.mask": _masker("mask"),
    "XorMasker.masked": _masker("masked"),
    "unmask_and_validate": _fused,
    "apply_mask": _stateless(lambda api, x: api.apply_mask(x, KEY)),
    "websocket_mask": _stateless(lambda api, x: api.websocket_mask(KEY, x)),
    "decode_utf8": _stateless(lambda api, x: api.decode_utf8(x)),
    "Utf8Decoder.decode": _decoder,
}


def in_child(check: Callable[[], None]) -> None:
    """Run `check` in a forked child: a backend that masked object pointers
    would crash later, which must fail this test, not end the test run."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report and leave without running any of pytest's teardown
        os.close(read)
        try:
            check()
            text = ""
        except BaseException as e:  # noqa: B036 - everything goes back to the parent
            text = f"{type(e).__name__}: {e}" or "failed"
        os.write(write, text.encode())
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        report = pipe.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status), f"the child died with signal {os.WTERMSIG(status)}"
    assert report == ""


@pytest.mark.parametrize("kind", NOT_PLAIN)
@pytest.mark.parametrize("name", ENTRIES)
def test_buffers_of_objects_are_refused_and_left_alone(api: Any, name: str, kind: str) -> None:
    x = NOT_PLAIN[kind]()
    with memoryview(x) as view:
        fmt, before = view.format, view.tobytes()
    call, intact = ENTRIES[name](api)

    def check() -> None:
        with pytest.raises(TypeError) as info:
            call(x)
        assert str(info.value).endswith(f" takes a buffer of plain data, not items of format '{fmt}'"), info.value
        with memoryview(x) as view:
            assert view.tobytes() == before, "pointers were changed"
        assert intact(), "the objects' state changed"
        del info
        gc.collect()

    if kind in HOLDS_REFERENCES:
        in_child(check)
    else:
        check()  # plain numbers in odd formats do not crash when masked


# Plain data of any item size, byte order and repeat count: used as its bytes.
PLAIN: Dict[str, Callable[[bytes], Any]] = {
    "array('b')": lambda d: array.array("b", d),
    "array('H')": lambda d: array.array("H", d),
    "array('q')": lambda d: array.array("q", d),
    "array('d')": lambda d: array.array("d", d),
    "ctypes c_char": lambda d: (ctypes.c_char * len(d)).from_buffer_copy(d),
    "ctypes c_uint8": lambda d: (ctypes.c_uint8 * len(d)).from_buffer_copy(d),
    "ctypes c_int32": lambda d: (ctypes.c_int32 * (len(d) // 4)).from_buffer_copy(d),
    "memoryview 'N'": lambda d: memoryview(bytearray(d)).cast("N"),
    "memoryview '?'": lambda d: memoryview(bytearray(d)).cast("?"),
    "numpy '>u2'": _numpy(lambda np: lambda d: np.frombuffer(bytearray(d), dtype=">u2")),
    "numpy float16": _numpy(lambda np: lambda d: np.frombuffer(bytearray(d), dtype=np.float16)),
    "numpy bool": _numpy(lambda np: lambda d: np.frombuffer(bytearray(d), dtype=np.bool_)),
}


@pytest.mark.parametrize("kind", PLAIN)
def test_buffers_of_plain_data_are_taken_as_their_bytes(api: Any, kind: str) -> None:
    make = PLAIN[kind]
    if kind.startswith("numpy"):
        make = make()  # type: ignore[call-arg]
    data = bytes([1, 0] * 8)  # valid UTF-8, and a valid bool array
    x = make(data)
    assert api.is_valid_utf8(x) and api.Utf8Validator().validate(x) is api.Utf8Status.COMPLETE
    assert api.decode_utf8(x) == data.decode()
    assert api.mask(KEY, x) == api.XorMasker(KEY).masked(x) == api.apply_mask(x, KEY) == xor_model(data, KEY)
    api.mask_in_place(KEY, x)
    with memoryview(x) as view:
        assert view.tobytes() == xor_model(data, KEY)
    m, v = api.XorMasker(KEY), api.Utf8Validator()
    assert api.unmask_and_validate(m, v, x) is api.Utf8Status.COMPLETE and m.position == len(data)
    with memoryview(x) as view:
        assert view.tobytes() == data


# --- buffers resized by another thread ---------------------------------------------

SIZES = [16, 4000, 70000, 1 << 20]  # one call, and several copied chunks on PyPy
TEXT = b"ab" * (1 << 19)


@pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14),
    reason="free-threaded 3.13's bytearray and array resize without a lock against a buffer export in another "
    "thread: bytes(b) and memoryview(b).tobytes() read bytes that were never in the buffer the same way",
)
def test_a_buffer_resized_by_another_thread_during_calls_stays_memory_safe(api: Any) -> None:
    """On PyPy an export does not stop a resize, and the native call runs with
    the lock released: the calls must never see freed memory (that corrupted
    the heap). A call may raise BufferError for a resize it met; on CPython the
    resize is refused instead. The buffers hold ASCII only, so any byte read
    from elsewhere shows as a wrong answer if it does not crash."""

    def stress() -> None:
        rng = seeded(99)
        # Both kinds that PyPy resizes in place; megabytes are unmapped when freed.
        reading, writing = bytearray(b"a" * 4000), array.array("B", b"a" * 4000)
        stop = threading.Event()

        def resize() -> None:
            while not stop.is_set():
                size = rng.choice(SIZES)
                try:
                    reading[:] = TEXT[:size]  # a new size moves the memory
                except BufferError:
                    pass  # CPython: refused while a call holds the export
                try:
                    del writing[:]
                    writing.frombytes(TEXT[:size])
                except BufferError:
                    pass
                time.sleep(0)

        m, v = api.XorMasker(KEY), api.Utf8Validator()
        reads: List[Callable[[Any], object]] = [
            lambda b: v.validate(b) is api.Utf8Status.COMPLETE,
            api.is_valid_utf8,
            lambda b: set(api.decode_utf8(b)) <= {"a", "b"},
            lambda b: set(api.Utf8Decoder().decode(b)) <= {"a", "b"},
            lambda b: set(api.mask(KEY, api.mask(KEY, b))) <= {0x61, 0x62},
            lambda b: set(m.masked(b)) <= set(xor_model(b"aaaabbbb", KEY)),  # a or b at any key phase
        ]
        writes: List[Callable[[Any], object]] = [
            lambda b: api.mask_in_place(KEY, b),
            m.mask,
            lambda b: api.unmask_and_validate(m, v, b),
            lambda b: api.websocket_mask(KEY, b),
        ]
        worker = threading.Thread(target=resize)
        worker.start()
        wrong: List[str] = []
        try:
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                m.reset()
                v.reset()
                for read in reads:
                    try:
                        if not read(reading):
                            wrong.append(f"{read} read bytes that were never in the buffer")
                    except BufferError:
                        pass
                for write in writes:
                    try:
                        write(writing)
                    except BufferError:
                        pass
        finally:
            stop.set()
            worker.join()
        gc.collect()
        bytes(1 << 20)  # touch the heap once more
        assert wrong == []

    in_child(stress)
