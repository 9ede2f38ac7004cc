"""_tav_bytemask: every masking route against the plain Python XOR, memory safety, binding behaviour."""
from __future__ import annotations

import ctypes
import os
import platform
import subprocess
import sys
import threading
from functools import lru_cache
from pathlib import Path
from typing import Any, Callable, Optional

import pytest

pytest.importorskip("_tav_bytemask", reason="the cffi modules are not built for this interpreter")

import _tav_bytemask
from support import (
    AlignedBuffer, MASK_MODULE_FILE, mask_ffi, mask_record, mask_routines, module_entry, seeded, utf8_routines,
    X86_64, x86_64_only, xor_model,
)

api = _tav_bytemask.lib
api_ffi = _tav_bytemask.ffi

TESTS = Path(__file__).resolve().parent
KEY = bytes.fromhex("8b1de356")  # four distinct bytes, none of them 00 or the guard fill A5
WRAP = 2**64
STARTS = (*range(8), WRAP - 3)  # every key phase twice, and a count about to wrap
LENGTHS = range(201)
MAX_LEN = max(LENGTHS)
PLAIN = bytes(seeded(20261210).randrange(256) for _ in range(MAX_LEN))


def _record(ffi: Any, handle: Any) -> Any:
    """The masker record behind a handle of either ffi, for reading and writing its fields."""
    return mask_ffi.cast("xormask_state *", int(ffi.cast("uintptr_t", handle)))


@lru_cache(maxsize=None)
def _model(n: int, phase: int) -> bytes:
    return xor_model(PLAIN[:n], KEY, phase)


def _api_data(addr: int, n: int) -> Any:
    # ffi.from_buffer over a ctypes view of the exact address under test.
    return api_ffi.from_buffer((ctypes.c_char * n).from_address(addr), require_writable=True)


class Route:
    """One way of masking: which record, which entry point, and what the entry returns."""

    def __init__(self, name: str, routines: bool, impl: int, call: Callable[[Any, int, int], Optional[int]]) -> None:
        self.name, self.routines, self.impl, self.call = name, routines, impl, call

    def new(self) -> tuple[Any, Any]:
        ffi, lib = (mask_ffi, mask_routines) if self.routines else (api_ffi, api)
        handle = lib.tav_xormask_new(KEY)
        rec = _record(ffi, handle)
        rec.impl = self.impl  # written directly: the setter refuses some of these numbers
        return handle, rec

    def free(self, handle: Any) -> None:
        (mask_routines if self.routines else api).tav_xormask_free(handle)

    def __repr__(self) -> str:
        return self.name


ROUTES = [
    # The binding declares process without a result; the library returns the new pointer.
    Route("lib impl 1", False, 1, lambda h, a, n: api.tav_xormask_process(h, _api_data(a, n), n)),
    Route("lib impl 2", False, 2, lambda h, a, n: api.tav_xormask_process(h, _api_data(a, n), n)),
    Route("lib impl -1", False, -1, lambda h, a, n: api.tav_xormask_process(h, _api_data(a, n), n)),
    Route("native dispatcher impl 1", True, 1,
          lambda h, a, n: mask_routines.tav_xormask_process(h, mask_ffi.cast("uint8_t *", a), n)),
    Route("native dispatcher impl 2", True, 2,
          lambda h, a, n: mask_routines.tav_xormask_process(h, mask_ffi.cast("uint8_t *", a), n)),
    Route("native dispatcher impl 7 (held by the record)", True, 7,
          lambda h, a, n: mask_routines.tav_xormask_process(h, mask_ffi.cast("uint8_t *", a), n)),
    # The routines themselves ignore impl: give each the number of the other one.
    Route("_tav_xormask_process_simple", True, 2,
          lambda h, a, n: mask_routines._tav_xormask_process_simple(h, mask_ffi.cast("uint8_t *", a), n)),
    pytest.param(Route("_tav_xormask_process_sse2", True, 1,
                       lambda h, a, n: mask_routines._tav_xormask_process_sse2(h, mask_ffi.cast("uint8_t *", a), n)),
                 marks=x86_64_only),
]


# --- every route against the model --------------------------------------------

@pytest.mark.parametrize("route", ROUTES, ids=repr)
def test_every_length_alignment_and_start(route: Route) -> None:
    """Lengths 0..200 at all 16 address residues from 9 starting pointers: the model's bytes, the
    right pointer, nothing written outside the piece, key and impl left alone."""
    handle, rec = route.new()
    failures: list[str] = []
    try:
        for n in LENGTHS:
            for residue in range(16):
                buf = AlignedBuffer(PLAIN[:n], residue)
                for start in STARTS:
                    rec.pointer = start
                    result = route.call(handle, buf.address, n)
                    end = (start + n) % WRAP
                    got = buf.contents()
                    if got != _model(n, start % 4) or not buf.guards_intact() or rec.pointer != end:
                        failures.append(f"n={n} residue={residue} start={start}: pointer {rec.pointer}, "
                                        f"guards intact {buf.guards_intact()}, bytes {got.hex()}")
                    if result != (end if route.routines else None):
                        failures.append(f"n={n} residue={residue} start={start}: returned {result!r}")
                    ctypes.memmove(buf.address, PLAIN, n)
            if bytes(rec.mask) != KEY or rec.impl != route.impl:
                failures.append(f"n={n}: record changed to key {bytes(rec.mask).hex()}, impl {rec.impl}")
            if len(failures) > 5:
                break
    finally:
        route.free(handle)
    assert not failures, "\n".join(failures[:6])


@pytest.mark.parametrize("impl", [1, 2])
def test_pointer_wraps_without_disturbing_the_key_phase(impl: int) -> None:
    handle = api.tav_xormask_new(KEY)
    try:
        api.tav_xormask_set_impl(handle, impl)
        _record(api_ffi, handle).pointer = WRAP - 3
        data = bytearray(PLAIN[:10])
        api.tav_xormask_process(handle, api_ffi.from_buffer(data), 10)
        assert api.tav_xormask_pointer(handle) == 7
        assert bytes(data) == xor_model(PLAIN[:10], KEY, 1)  # 2**64 - 3 is key phase 1
    finally:
        api.tav_xormask_free(handle)


GUARD_CHILD = r"""
import ctypes, sys
sys.path.insert(0, sys.argv[1])
import _tav_bytemask
from support import GuardedPage, mask_routines, mask_ffi, seeded, xor_model

api, api_ffi = _tav_bytemask.lib, _tav_bytemask.ffi
KEY = bytes.fromhex("8b1de356")

def api_route(impl):
    def run(addr, n, start):
        h = api.tav_xormask_new(KEY)
        api.tav_xormask_set_impl(h, impl)
        mask_ffi.cast("xormask_state *", int(api_ffi.cast("uintptr_t", h))).pointer = start
        data = api_ffi.from_buffer((ctypes.c_char * n).from_address(addr), require_writable=True)
        api.tav_xormask_process(h, data, n)
        end = api.tav_xormask_pointer(h)
        api.tav_xormask_free(h)
        return end
    return run

def native_route(fn):
    def run(addr, n, start):
        h = mask_routines.tav_xormask_new(KEY)
        mask_ffi.cast("xormask_state *", h).pointer = start
        fn(h, mask_ffi.cast("uint8_t *", addr), n)
        end = mask_routines.tav_xormask_pointer(h)
        mask_routines.tav_xormask_free(h)
        return end
    return run

routes = {"lib impl 1": api_route(1), "lib impl 2": api_route(2),
          "simple": native_route(mask_routines._tav_xormask_process_simple),
          "sse2": native_route(mask_routines._tav_xormask_process_sse2)}
page = GuardedPage()
rng = seeded(7)
checked = 0
for n in range(201):
    plain = bytes(rng.randrange(256) for _ in range(n))
    start = n % 8
    want = xor_model(plain, KEY, start)
    # Ending at the last byte before the upper guard page, then starting right
    # after the lower one, shifted by each residue.
    for addr in [page.at_end(n)] + [page.at_start() + r for r in range(16)]:
        for name, run in routes.items():
            print(f"at {name}: n={n} offset={addr - page.base}")  # unbuffered: the last line names a fault
            page.write(addr, plain)
            end = run(addr, n, start)
            got = page.read(addr, n)
            if got != want or end != start + n:
                print(f"{name}: n={n} offset={addr - page.base}: pointer {end}, bytes {got.hex()}")
                sys.exit(1)
            checked += 1
print("checked", checked)
"""


@x86_64_only  # the child runs the SSE2 routine too
def test_no_access_beyond_either_end_of_the_piece() -> None:
    """Pieces flush against PROT_NONE pages; a stray access kills the child, not pytest."""
    proc = subprocess.run([sys.executable, "-u", "-c", GUARD_CHILD, str(TESTS)],
                          capture_output=True, text=True, timeout=300)
    last = proc.stdout.splitlines()[-1:]
    assert proc.returncode == 0, f"child exited with {proc.returncode}, last line {last}: {proc.stderr}"
    assert last == [f"checked {len(LENGTHS) * 17 * 4}"]


# --- streams -------------------------------------------------------------------

@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_chunks_and_impl_switches_equal_one_call(seed: int) -> None:
    rng = seeded(seed)
    plain = bytes(rng.randrange(256) for _ in range(4000 + seed))
    whole = bytearray(plain)
    one = api.tav_xormask_new(KEY)
    chunked = api.tav_xormask_new(KEY)
    try:
        api.tav_xormask_process(one, api_ffi.from_buffer(whole), len(whole))
        buf = bytearray(plain)
        view = memoryview(buf)
        pos = 0
        while pos < len(buf):
            api.tav_xormask_set_impl(chunked, rng.choice([0, 1, 2, -1]))
            size = rng.choice([0, 0, rng.randrange(1, 20), rng.randrange(16, 100), rng.randrange(200, 700)])
            size = min(size, len(buf) - pos)
            api.tav_xormask_process(chunked, api_ffi.from_buffer(view[pos:pos + size], require_writable=True), size)
            pos += size
            assert api.tav_xormask_pointer(chunked) == pos
        assert bytes(buf) == bytes(whole) == xor_model(plain, KEY)
        assert api.tav_xormask_pointer(one) == len(plain)
    finally:
        api.tav_xormask_free(one)
        api.tav_xormask_free(chunked)


@pytest.mark.parametrize("impl", [1, 2])
def test_mask_reset_mask_restores(impl: int) -> None:
    plain = PLAIN[:123]
    buf = bytearray(plain)
    handle = api.tav_xormask_new(KEY)
    try:
        api.tav_xormask_set_impl(handle, impl)
        api.tav_xormask_process(handle, api_ffi.from_buffer(buf), len(buf))
        assert bytes(buf) == xor_model(plain, KEY)
        api.tav_xormask_reset(handle)
        assert mask_record(handle) == (KEY, 0, impl)
        api.tav_xormask_process(handle, api_ffi.from_buffer(buf), len(buf))
        assert bytes(buf) == plain
    finally:
        api.tav_xormask_free(handle)


def _mask_cases() -> list[Any]:
    rows = []
    for line in (TESTS / "data" / "mask_cases.tsv").read_text(encoding="ascii").splitlines():
        if line.startswith("#") or not line.strip():
            continue
        name, key, phase, plain, masked, phases, _note = line.split("\t")
        rows.append(pytest.param(bytes.fromhex(key), int(phase),
                                 [bytes.fromhex(c) for c in plain.split("|")],
                                 [bytes.fromhex(c) for c in masked.split("|")],
                                 [int(p) for p in phases.split("|")], id=name))
    return rows


@pytest.mark.parametrize("impl", [1, 2])
@pytest.mark.parametrize(("key", "phase", "plain", "masked", "phases"), _mask_cases())
def test_shared_vectors(key: bytes, phase: int, plain: list[bytes], masked: list[bytes],
                        phases: list[int], impl: int) -> None:
    handle = api.tav_xormask_new(key)
    try:
        api.tav_xormask_set_impl(handle, impl)
        api.tav_xormask_process(handle, bytes(phase), phase)  # a prefix reaches the start phase
        for chunk, want, want_phase in zip(plain, masked, phases):
            buf = bytearray(chunk)
            api.tav_xormask_process(handle, api_ffi.from_buffer(buf), len(buf))
            assert bytes(buf) == want
            assert api.tav_xormask_pointer(handle) % 4 == want_phase
        # Unmasking from the same start gives the plain bytes back.
        api.tav_xormask_reset(handle)
        api.tav_xormask_process(handle, bytes(phase), phase)
        back = bytearray(b"".join(masked))
        api.tav_xormask_process(handle, api_ffi.from_buffer(back), len(back))
        assert bytes(back) == b"".join(plain)
    finally:
        api.tav_xormask_free(handle)


# --- binding behaviour -----------------------------------------------------------

@pytest.fixture
def handle() -> Any:
    h = api.tav_xormask_new(bytes([1, 2, 3, 4]))
    yield h
    api.tav_xormask_free(h)


def test_new_record_defaults(handle: Any) -> None:
    assert api_ffi.typeof(handle) is api_ffi.typeof("void *")
    assert (api.tav_xormask_get_impl(handle), api.tav_xormask_pointer(handle)) == (2, 0)
    assert mask_record(handle) == (bytes([1, 2, 3, 4]), 0, 2)


def test_chunks_continue_the_key_and_return_none(handle: Any) -> None:
    first, second, empty = bytearray(5), bytearray(3), bytearray(b"xy")
    assert api.tav_xormask_process(handle, api_ffi.from_buffer(first), 5) is None
    assert (bytes(first), api.tav_xormask_pointer(handle)) == (bytes([1, 2, 3, 4, 1]), 5)
    assert api.tav_xormask_process(handle, api_ffi.from_buffer(second), 3) is None
    assert (bytes(second), api.tav_xormask_pointer(handle)) == (bytes([2, 3, 4]), 8)
    assert api.tav_xormask_process(handle, api_ffi.from_buffer(empty), 0) is None
    assert (bytes(empty), api.tav_xormask_pointer(handle)) == (b"xy", 8)
    api.tav_xormask_process(handle, api_ffi.NULL, 0)  # no byte is touched, so no buffer is needed
    assert api.tav_xormask_pointer(handle) == 8


def test_reset_after_seven_bytes_starts_at_key_byte_0(handle: Any) -> None:
    api.tav_xormask_set_impl(handle, 1)
    api.tav_xormask_process(handle, api_ffi.from_buffer(bytearray(7)), 7)
    api.tav_xormask_reset(handle)
    one = bytearray(1)
    api.tav_xormask_process(handle, api_ffi.from_buffer(one), 1)
    assert bytes(one) == b"\x01"
    assert mask_record(handle) == (bytes([1, 2, 3, 4]), 1, 1)


BAD_CALLS = [
    # (call, exception, text in the message)
    pytest.param(lambda h, b: api.tav_xormask_new(), TypeError, None, id="new without key"),
    pytest.param(lambda h, b: api.tav_xormask_process(h, b), TypeError, "tav_xormask_process", id="process 2 args"),
    pytest.param(lambda h, b: api.tav_xormask_process(h, b, 4, 0), TypeError, "tav_xormask_process",
                 id="process 4 args"),
    pytest.param(lambda h, b: api.tav_xormask_process(h, b, length=4), TypeError, None, id="process keyword"),
    pytest.param(lambda h, b: api.tav_xormask_process(h, b, -1), OverflowError, None, id="length -1"),
    pytest.param(lambda h, b: api.tav_xormask_process(h, b, 2**64), OverflowError, None, id="length 2**64"),
    pytest.param(lambda h, b: api.tav_xormask_process(h, bytearray(4), 4), TypeError, "uint8_t",
                 id="bytearray without from_buffer"),
    pytest.param(lambda h, b: api.tav_xormask_set_impl(h), TypeError, "tav_xormask_set_impl", id="set_impl 1 arg"),
    pytest.param(lambda h, b: api.tav_xormask_set_impl(h, 2**31), OverflowError, None, id="set_impl 2**31"),
    pytest.param(lambda h, b: api.tav_xormask_set_impl(h, -2**31 - 1), OverflowError, None, id="set_impl -2**31-1"),
]


@pytest.mark.parametrize(("call", "exc", "text"), BAD_CALLS)
def test_refused_calls_change_nothing(handle: Any, call: Callable[[Any, Any], Any], exc: type, text: Optional[str]) -> None:
    api.tav_xormask_set_impl(handle, 1)
    api.tav_xormask_process(handle, api_ffi.from_buffer(bytearray(3)), 3)
    data = bytearray(b"plain")
    with pytest.raises(exc, match=text):
        call(handle, api_ffi.from_buffer(data))
    assert bytes(data) == b"plain"
    assert mask_record(handle) == (bytes([1, 2, 3, 4]), 3, 1)


def test_set_impl_sequence(handle: Any) -> None:
    # (request, result, impl afterwards), applied in order to one record
    steps = [(1, 1, 1), (0, 2, 2), (3, 2, 2), (-1, -1, -1), (7, -1, -1), (1, 1, 1), (3, 1, 1),
             (2**31 - 1, 1, 1), (-2**31, -2**31, -2**31), (0, 2, 2), (2, 2, 2)]
    for request, result, after in steps:
        assert (api.tav_xormask_set_impl(handle, request), api.tav_xormask_get_impl(handle)) == (result, after), request
    assert mask_record(handle)[:2] == (bytes([1, 2, 3, 4]), 0)


def test_key_is_copied_at_creation() -> None:
    key = bytearray(KEY)
    handle = api.tav_xormask_new(api_ffi.from_buffer(key))
    try:
        key[:] = b"\xff\xff\xff\xff"
        del key
        data = bytearray(PLAIN[:40])
        api.tav_xormask_process(handle, api_ffi.from_buffer(data), 40)
        assert bytes(data) == xor_model(PLAIN[:40], KEY)
    finally:
        api.tav_xormask_free(handle)


def test_data_argument_forms(handle: Any) -> None:
    # A list converts to a temporary array: its masked bytes are dropped, only the pointer moves.
    ints = [0, 0, 0, 0, 0]
    assert api.tav_xormask_process(handle, ints, 5) is None
    assert ints == [0, 0, 0, 0, 0] and api.tav_xormask_pointer(handle) == 5
    # The next bytes continue at key byte 1.
    after = bytearray(3)
    api.tav_xormask_process(handle, api_ffi.from_buffer(after), 3)
    assert bytes(after) == bytes([2, 3, 4])
    # A bytes object is passed by address: the lib layer rewrites it although it is immutable.
    frozen = bytes(bytearray(4))  # a fresh object, never a shared constant
    api.tav_xormask_process(handle, frozen, 4)
    assert frozen == bytes([1, 2, 3, 4])


def test_lib_exposes_exactly_the_public_functions() -> None:
    public = {"tav_xormask_free", "tav_xormask_get_impl", "tav_xormask_new", "tav_xormask_pointer",
              "tav_xormask_process", "tav_xormask_reset", "tav_xormask_set_impl"}
    assert set(dir(api)) == public


@x86_64_only  # the list names the SSE2 routine
def test_native_symbols_are_exported() -> None:
    so = ctypes.CDLL(MASK_MODULE_FILE)
    names = ["tav_xormask_new", "tav_xormask_free", "tav_xormask_reset", "tav_xormask_pointer",
             "tav_xormask_get_impl", "tav_xormask_set_impl", "tav_xormask_process",
             "_tav_xormask_process_simple", "_tav_xormask_process_sse2", module_entry("_tav_bytemask")]
    missing = [n for n in names if not hasattr(so, n)]
    assert not missing


# --- concurrency -----------------------------------------------------------------

def test_distinct_records_in_parallel_threads() -> None:
    """Four threads, four records and keys, 4 MiB each in uneven chunks, three passes."""
    rng = seeded(11)
    pattern = bytes(rng.randrange(256) for _ in range(4096))
    size, passes = 4 << 20, 3
    keys = [bytes(rng.randrange(256) for _ in range(4)) for _ in range(4)]
    buffers = [bytearray(pattern * (size // len(pattern))) for _ in keys]
    chunkings = [[rng.randrange(1, 1 << 20) for _ in range(40)] for _ in keys]
    barrier = threading.Barrier(len(keys))
    errors: list[BaseException] = []

    def work(i: int) -> None:
        try:
            handle = api.tav_xormask_new(keys[i])
            view = memoryview(buffers[i])
            barrier.wait()
            for _ in range(passes):
                pos, sizes = 0, iter(chunkings[i])
                while pos < size:
                    n = min(next(sizes, size), size - pos)
                    api.tav_xormask_process(handle, api_ffi.from_buffer(view[pos:pos + n], require_writable=True), n)
                    pos += n
            assert api.tav_xormask_pointer(handle) == passes * size
            api.tav_xormask_free(handle)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(keys))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for key, buf in zip(keys, buffers):
        # An odd number of passes leaves the data masked once; 4096 is a multiple of 4.
        assert buf == xor_model(pattern, key) * (size // len(pattern))


# --- the wider routines and the copying routines -----------------------------------
#
# Called by name through _tav_maskroutines: they sit behind no implementation
# number. Each runs only where the processor has what it needs (the validator
# library's tav_cpu_features says), and is skipped with the reason elsewhere.

CPU_AVX2, CPU_AVX512F, CPU_AVX512BW = 1 << 3, 1 << 4, 1 << 5  # bits of tav_cpu_features()
CPU = int(utf8_routines.tav_cpu_features())

# (symbol, tav_cpu_features bits it needs, their names, the processors whose builds have it)
WIDE = [
    ("_tav_xormask_process_avx2", CPU_AVX2, "AVX2", "x86-64"),
    ("_tav_xormask_process_avx512", CPU_AVX512F | CPU_AVX512BW, "AVX-512F and AVX-512BW", "x86-64"),
    ("_tav_xormask_process_neon", 0, "", "aarch64"),
]
COPIES = [
    ("_tav_xormask_copy_simple", 0, "", "every processor"),
    ("_tav_xormask_copy_sse2", 0, "", "x86-64"),
    ("_tav_xormask_copy_avx2", CPU_AVX2, "AVX2", "x86-64"),
    ("_tav_xormask_copy_avx512", CPU_AVX512F | CPU_AVX512BW, "AVX-512F and AVX-512BW", "x86-64"),
    ("_tav_xormask_copy_neon", 0, "", "aarch64"),
]


def _skip_reason(symbol: str, bits: int, names: str, where: str) -> Optional[str]:
    # test_wide_and_copy_symbols_are_exported_and_bound checks that this build binds what it should.
    if not hasattr(mask_routines, symbol):
        return f"{symbol} is not in this build ({where} only)"
    if CPU & bits != bits:
        return f"the processor lacks {names}"
    return None


def _params(table: list[tuple[str, int, str, str]]) -> list[Any]:
    out = []
    for symbol, *needs in table:
        reason = _skip_reason(symbol, *needs)
        out.append(pytest.param(symbol, id=symbol, marks=[pytest.mark.skipif(reason is not None, reason=reason or "")]))
    return out


def _runnable(table: list[tuple[str, int, str, str]]) -> list[str]:
    return [symbol for symbol, *needs in table if _skip_reason(symbol, *needs) is None]


# memcheck preloads its own library into the interpreter it runs; there the
# sweeps stop at 80 bytes (past every head and tail of every width), as the
# native harness's do under memcheck.
UNDER_MEMCHECK = "vgpreload" in os.environ.get("LD_PRELOAD", "")
WIDE_LENGTHS = range(81 if UNDER_MEMCHECK else 301)
GUARD_LENGTHS = range(301)  # the guard-page child runs outside memcheck
WIDE_PLAIN = bytes(seeded(20261211).randrange(256) for _ in range(300))


@lru_cache(maxsize=None)
def _wide_model(n: int, phase: int) -> bytes:
    return xor_model(WIDE_PLAIN[:n], KEY, phase)


class LineBuffer:
    """n bytes at a chosen offset in a 64-byte line, between 64 guard bytes on each side."""

    GUARD, FILL = 64, 0xA5

    def __init__(self, data: bytes, residue: int) -> None:
        size = len(data) + 2 * self.GUARD + 64
        self._raw = bytearray([self.FILL]) * size
        raw_addr = ctypes.addressof((ctypes.c_char * size).from_buffer(self._raw))
        self.offset = self.GUARD + ((residue - (raw_addr + self.GUARD)) % 64)
        self.length = len(data)
        self._raw[self.offset:self.offset + len(data)] = data
        self.address = raw_addr + self.offset

    def contents(self) -> bytes:
        return bytes(self._raw[self.offset:self.offset + self.length])

    def refill(self, data: bytes) -> None:
        self._raw[self.offset:self.offset + self.length] = data

    def guards_intact(self) -> bool:
        before, after = self._raw[:self.offset], self._raw[self.offset + self.length:]
        return before.count(self.FILL) == len(before) and after.count(self.FILL) == len(after)


@pytest.mark.parametrize("symbol", _params(WIDE))
def test_wide_routine_every_length_line_offset_and_start(symbol: str) -> None:
    """Lengths 0..300 at all 64 offsets in a line from 9 starting pointers: the model's bytes, the
    new pointer stored and returned, nothing written outside the piece, key and impl left alone."""
    fn = getattr(mask_routines, symbol)
    handle = mask_routines.tav_xormask_new(KEY)
    rec = _record(mask_ffi, handle)
    rec.impl = 1  # the routine ignores impl
    failures: list[str] = []
    try:
        for n in WIDE_LENGTHS:
            for residue in range(64):
                buf = LineBuffer(WIDE_PLAIN[:n], residue)
                data = mask_ffi.cast("uint8_t *", buf.address)
                for start in STARTS:
                    rec.pointer = start
                    result = fn(handle, data, n)
                    end = (start + n) % WRAP
                    if buf.contents() != _wide_model(n, start % 4) or not buf.guards_intact() \
                            or rec.pointer != end or result != end:
                        failures.append(f"n={n} residue={residue} start={start}: pointer {rec.pointer}, "
                                        f"returned {result}, guards intact {buf.guards_intact()}")
                    buf.refill(WIDE_PLAIN[:n])
            if bytes(rec.mask) != KEY or rec.impl != 1:
                failures.append(f"n={n}: record changed to key {bytes(rec.mask).hex()}, impl {rec.impl}")
            if len(failures) > 5:
                break
    finally:
        mask_routines.tav_xormask_free(handle)
    assert not failures, "\n".join(failures[:6])


COPY_STARTS = (0, 1, 2, 3, WRAP - 3)


@pytest.mark.parametrize("symbol", _params(COPIES))
def test_copy_routine_every_length_line_offset_and_start(symbol: str) -> None:
    """The masked copy of lengths 0..300 from every key phase and a count about to wrap, the
    destination at all 64 offsets in a line and the source at another (every pair of offsets comes
    up as the length runs), and onto itself: the model's bytes, the source untouched, nothing
    written outside either piece, the new pointer."""
    fn = getattr(mask_routines, symbol)
    handle = mask_routines.tav_xormask_new(KEY)
    rec = _record(mask_ffi, handle)
    failures: list[str] = []
    try:
        for n in WIDE_LENGTHS:
            plain = WIDE_PLAIN[:n]
            for residue in range(64):
                src = LineBuffer(plain, (residue * 37 + n) % 64)
                dst = LineBuffer(bytes(n), residue)
                both = LineBuffer(plain, residue)
                for start in COPY_STARTS:
                    want, end = _wide_model(n, start % 4), (start + n) % WRAP
                    # Onto itself from one start per offset, cycling through the phases.
                    pairs = ((src, dst, dst), (both, both, both)) if start == residue % 4 else ((src, dst, dst),)
                    for s, d, out in pairs:
                        rec.pointer = start
                        result = fn(handle, mask_ffi.cast("uint8_t *", s.address), mask_ffi.cast("uint8_t *", d.address), n)
                        ok = out.contents() == want and src.contents() == plain and rec.pointer == end == result
                        if not (ok and s.guards_intact() and d.guards_intact()):
                            failures.append(f"n={n} dst residue={residue} start={start} in place={s is d}: "
                                            f"pointer {rec.pointer}, returned {result}")
                        out.refill(bytes(n) if out is dst else plain)
            if len(failures) > 5:
                break
    finally:
        mask_routines.tav_xormask_free(handle)
    assert not failures, "\n".join(failures[:6])


WIDE_GUARD_CHILD = r"""
import sys
sys.path.insert(0, sys.argv[1])
from support import GuardedPage, mask_routines, mask_ffi, seeded, xor_model

KEY = bytes.fromhex("8b1de356")
in_place, copies = sys.argv[2].split(","), sys.argv[3].split(",")
src_page, dst_page = GuardedPage(), GuardedPage()
rng = seeded(8)
checked = 0

def run(name, fn, args, n, start):
    h = mask_routines.tav_xormask_new(KEY)
    mask_ffi.cast("xormask_state *", h).pointer = start
    print(f"at {name}: n={n}")  # unbuffered: the last line names a fault
    ret = fn(h, *[mask_ffi.cast("uint8_t *", a) for a in args], n)
    mask_routines.tav_xormask_free(h)
    return ret

for n in range(301):
    plain = bytes(rng.randrange(256) for _ in range(n))
    start = n % 8
    want = xor_model(plain, KEY, start)
    # Flush against the upper guard page, and right after the lower one at
    # every offset in the first line.
    places = [src_page.at_end(n)] + [src_page.at_start() + r for r in range(64)]
    for name in filter(None, in_place):
        fn = getattr(mask_routines, name)
        for addr in places:
            src_page.write(addr, plain)
            end = run(name, fn, [addr], n, start)
            if src_page.read(addr, n) != want or end != start + n:
                print(f"{name}: n={n} offset={addr - src_page.base}: pointer {end}")
                sys.exit(1)
            checked += 1
    # Source and destination each against a guard page: the source at the very
    # start of its page with the destination anywhere in a line puts the bytes
    # before the source's line on the guard page.
    pairs = [(src_page.at_end(n), dst_page.at_end(n)), (src_page.at_start(), dst_page.at_end(n)),
             (src_page.at_end(n), dst_page.at_start() + n % 64), (src_page.at_start(), dst_page.at_start() + n % 61)]
    for name in filter(None, copies):
        fn = getattr(mask_routines, name)
        for s, d in pairs:
            src_page.write(s, plain)
            end = run(name, fn, [s, d], n, start)
            if dst_page.read(d, n) != want or src_page.read(s, n) != plain or end != start + n:
                print(f"{name}: n={n} src={s - src_page.base} dst={d - dst_page.base}: pointer {end}")
                sys.exit(1)
            checked += 1
print("checked", checked)
"""


def test_wide_and_copy_routines_touch_nothing_beyond_the_pieces() -> None:
    """The runnable wide and copy routines with pieces flush against PROT_NONE pages, in a child."""
    in_place, copies = _runnable(WIDE), _runnable(COPIES)
    proc = subprocess.run([sys.executable, "-u", "-c", WIDE_GUARD_CHILD, str(TESTS), ",".join(in_place), ",".join(copies)],
                          capture_output=True, text=True, timeout=300)
    last = proc.stdout.splitlines()[-1:]
    assert proc.returncode == 0, f"child exited with {proc.returncode}, last line {last}: {proc.stderr}"
    assert last == [f"checked {len(GUARD_LENGTHS) * (65 * len(in_place) + 4 * len(copies))}"]


@pytest.mark.parametrize("seed", [4, 5, 6])
def test_random_chunks_switching_every_routine_equal_one_call(seed: int) -> None:
    """One stream in random chunks, each masked by a random routine (the binding's dispatcher, any
    runnable in-place routine, any copy routine into a fresh buffer) at a random offset."""
    rng = seeded(seed)
    plain = bytes(rng.randrange(256) for _ in range(6000 + seed))
    want = xor_model(plain, KEY, WRAP - 2)  # the count wraps past 2**64 in the first chunk
    in_place = ["_tav_xormask_process_simple", *(["_tav_xormask_process_sse2"] if X86_64 else []), *_runnable(WIDE)]
    copies = _runnable(COPIES)
    handle = mask_routines.tav_xormask_new(KEY)
    _record(mask_ffi, handle).pointer = WRAP - 2
    out = bytearray()
    try:
        pos = 0
        while pos < len(plain):
            size = min(rng.choice([0, rng.randrange(1, 20), rng.randrange(16, 300), rng.randrange(300, 3000)]),
                       len(plain) - pos)
            chunk = LineBuffer(plain[pos:pos + size], rng.randrange(64))
            kind = rng.randrange(3)
            if kind == 0:
                mask_routines.tav_xormask_set_impl(handle, rng.choice([1, 2]))
                mask_routines.tav_xormask_process(handle, mask_ffi.cast("uint8_t *", chunk.address), size)
                out += chunk.contents()
            elif kind == 1:
                getattr(mask_routines, rng.choice(in_place))(handle, mask_ffi.cast("uint8_t *", chunk.address), size)
                out += chunk.contents()
            else:
                dst = LineBuffer(bytes(size), rng.randrange(64))
                getattr(mask_routines, rng.choice(copies))(handle, mask_ffi.cast("uint8_t *", chunk.address),
                                                      mask_ffi.cast("uint8_t *", dst.address), size)
                assert chunk.contents() == plain[pos:pos + size] and dst.guards_intact()
                out += dst.contents()
            assert chunk.guards_intact()
            pos += size
            assert mask_routines.tav_xormask_pointer(handle) == (WRAP - 2 + pos) % WRAP
        assert bytes(out) == want
    finally:
        mask_routines.tav_xormask_free(handle)


def test_wide_and_copy_symbols_are_exported_and_bound_but_not_in_lib() -> None:
    so = ctypes.CDLL(MASK_MODULE_FILE)
    names = ["_tav_xormask_copy_simple"]
    machine = platform.machine().lower()
    if machine in ("x86_64", "amd64"):
        names += ["_tav_xormask_process_avx2", "_tav_xormask_process_avx512", "_tav_xormask_copy_sse2",
                  "_tav_xormask_copy_avx2", "_tav_xormask_copy_avx512"]
    elif machine in ("aarch64", "arm64"):
        names += ["_tav_xormask_process_neon", "_tav_xormask_copy_neon"]
    assert [n for n in names if not hasattr(so, n)] == []
    assert [n for n in names if not hasattr(mask_routines, n)] == []
    assert not any(n.startswith("_") for n in dir(api))
