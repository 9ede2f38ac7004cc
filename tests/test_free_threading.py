"""Eight threads at once on tav's objects, as a free-threaded CPython runs them.

Without the GIL every call of these tests runs in parallel; with it, calls
of 64 KiB and more release it, so the tests mean something on every build:
- threads on objects of their own get exactly what one thread gets, the
  one-shot calls included (is_valid_utf8 reuses a record per thread);
- threads on one shared object: each call either runs whole or is refused
  with RuntimeError and changes nothing, so the object's count is exactly
  the bytes of the calls that ran."""
from __future__ import annotations

import functools
import os
import random
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path
from typing import Any, Callable, Dict, List

import pytest

import backends

ROOT = Path(__file__).resolve().parent.parent
THREADS = 8
KEY = bytes.fromhex("37fa213d")
BIG = 64 * 1024  # from here the native module runs without the GIL (RELEASE_GIL_THRESHOLD)
REFUSED = "concurrent use of one {} from several threads is not allowed"


@pytest.fixture(params=backends.params())
def api(request: pytest.FixtureRequest) -> Any:
    return backends.BACKENDS[request.param]


def run_threads(work: Callable[[int], None]) -> List[str]:
    """Runs work(0..7) in eight threads released together; returns what went wrong."""
    start = threading.Barrier(THREADS)
    failures: List[str] = []

    def body(i: int) -> None:
        try:
            start.wait()
            work(i)
        except BaseException as e:  # noqa: B036  reported below, not lost in the thread
            failures.append(f"thread {i}: {e!r}")

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


def xor(data: bytes, key: bytes) -> bytes:
    """Masking from key phase 0, as one big-integer XOR."""
    n = len(data)
    return (int.from_bytes(data, "little") ^ int.from_bytes((key * (n // 4 + 1))[:n], "little")).to_bytes(n, "little")


@functools.lru_cache(maxsize=None)
def texts(seed: int) -> List[bytes]:
    """Valid UTF-8 of 1 to 4-byte characters, below and above BIG."""
    rng = random.Random(seed)
    alphabet = "a~é߿ࠀ€中\uffff𐀀😀\U0010ffff"
    return ["".join(rng.choice(alphabet) for _ in range(n)).encode() for n in (5, 700, BIG // 3, BIG // 2 + 11)]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="not a free-threaded build")
def test_import_tav_leaves_the_gil_off() -> None:
    # A module that does not declare itself safe without the GIL turns it
    # back on at import; PYTHON_GIL, which would force it, is left out.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = "import sys, tav, tav.compat; print(tav.backend, sys._is_gil_enabled())"
    r = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split()[-1] == "False", r.stdout + r.stderr


def test_threads_on_their_own_objects_get_exact_results(api: Any) -> None:
    def work(i: int) -> None:
        rng = random.Random(i)
        corpus = texts(100 + i)
        for _ in range(12):
            data = rng.choice(corpus)
            bad = rng.randrange(len(data) + 1)
            # A lone 0xFF is rejected at its own offset, whatever precedes it.
            stream = data[:bad] + b"\xff" + data[bad:] if rng.random() < 0.5 else data
            expect_offset = bad if len(stream) > len(data) else None

            v = api.Utf8Validator()
            pos = 0
            while pos < len(stream):
                k = rng.choice([1, 3, 64, 4093, BIG, 3 * BIG])
                v.validate(stream[pos : pos + k])
                pos += k
            assert v.error_offset == expect_offset, (v.error_offset, expect_offset)
            assert api.is_valid_utf8(stream) is (expect_offset is None)

            payload = bytearray(stream)
            m = api.XorMasker(KEY)
            pos = 0
            while pos < len(payload):
                k = rng.choice([1, 5, 4096, BIG + 1])
                view = memoryview(payload)[pos : pos + k]
                m.mask(view)
                view.release()
                pos += k
            assert m.position == len(stream)
            assert bytes(payload) == xor(stream, KEY)
            assert api.mask(KEY, stream) == bytes(payload)

    assert run_threads(work) == []


def shared_object_work(
    call: Callable[[bytes], Any], name: str, sizes: List[bytes], counted: Dict[int, List[int]]
) -> Callable[[int], None]:
    """Each thread calls call(data) 5000 times; counted[i] gets the lengths of the calls that ran.

    Mostly the shortest input: a refusal decided while the holder is
    already leaving is the race to catch, and short calls leave often."""

    def work(i: int) -> None:
        rng = random.Random(1000 + i)
        done = counted.setdefault(i, [])
        for data in rng.choices(sizes, weights=[85, 10, 3, 2], k=5000):
            try:
                call(data)
            except RuntimeError as e:
                assert str(e) == REFUSED.format(name), str(e)
            else:
                done.append(len(data))

    return work


def test_one_shared_masker_runs_each_call_whole_or_refuses_it(api: Any) -> None:
    m = api.XorMasker(KEY)
    # Lengths that are multiples of 4, so each call starts at key phase 0
    # whatever order the calls run in.
    sizes = [bytes(range(256)) * (n // 256) + bytes(n % 256) for n in (4, 1024, BIG, 2 * BIG + 4)]
    wrong: List[str] = []

    def call(data: bytes) -> None:
        buf = bytearray(data)
        try:
            m.mask(buf)
        except RuntimeError:
            if buf != data:
                wrong.append(f"a refused call changed {len(data)} bytes")
            raise
        if buf != xor(data, KEY):
            wrong.append(f"a call of {len(data)} bytes masked wrongly")
        # A read while another thread masks: a value the count passed through, or a refusal.
        try:
            if m.position % 4:
                wrong.append(f"position {m.position} is between calls' ends")
        except RuntimeError as e:
            assert str(e) == REFUSED.format("XorMasker"), str(e)

    counted: Dict[int, List[int]] = {}
    assert run_threads(shared_object_work(call, "XorMasker", sizes, counted)) == []
    assert wrong == []
    assert m.position == sum(map(sum, counted.values()))


def test_one_shared_validator_runs_each_call_whole_or_refuses_it(api: Any) -> None:
    v = api.Utf8Validator()
    sizes = texts(7)  # each chunk whole characters: every call that runs ends COMPLETE
    wrong: List[str] = []

    def call(data: bytes) -> None:
        status = v.validate(data)
        if status is not api.Utf8Status.COMPLETE:
            wrong.append(f"{status!r} for {len(data)} valid bytes")
        try:
            v.bytes_validated
        except RuntimeError as e:
            assert str(e) == REFUSED.format("Utf8Validator"), str(e)
        repr(v)  # never refused: it says the object is in use instead

    counted: Dict[int, List[int]] = {}
    assert run_threads(shared_object_work(call, "Utf8Validator", sizes, counted)) == []
    assert wrong == []
    total = sum(map(sum, counted.values()))
    assert v.bytes_validated == total
    # The refused calls left no trace: the next fault is found at the exact offset.
    assert v.validate(b"\x80") is api.Utf8Status.INVALID and v.error_offset == total
