"""_tav_native's decoder: every routine family it can run, forced, against
CPython itself (bytes.decode and codecs' incremental decoder); the short
ASCII path of the automatic choice; the processor check; guard pages; and
the safety of Utf8Decoder objects (copies, half-built objects, threads,
error handlers that call back, leaks).

The behaviour every backend shares is in test_decode.py; its checks run
here again under each forced routine."""
from __future__ import annotations

import codecs
import copy
import gc
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import weakref
from pathlib import Path
from typing import Any, Iterator, List

import pytest

from support import seeded, xor_model

if sys.implementation.name != "cpython":
    pytest.skip("the native extension runs on CPython only (PyPy takes the cffi backend)", allow_module_level=True)
import _tav_native as _native

import backends
import test_decode as shared
from tav import _cpu
from test_decode import expect, outcome

HERE = Path(__file__).resolve().parent
KEY = bytes.fromhex("37fa213d")
NATIVE = backends.BACKENDS["native"]

# In order of width: a processor that runs one runs those before it.
FAMILIES = ["scalar", "neon"] if _cpu.AARCH64 else ["scalar", "ssse3", "avx2", "avx512"]
RUNNABLE = FAMILIES[: FAMILIES.index(_native.DECODE_ROUTINE) + 1]


@pytest.fixture(params=FAMILIES)
def routine(request: pytest.FixtureRequest) -> Iterator[str]:
    if request.param not in RUNNABLE:
        pytest.skip(f"this processor does not run the {request.param} decoder (tav_cpu_features)")
    previous = _native._force_decode(request.param)
    yield request.param
    _native._force_decode(previous)


@pytest.fixture(params=["held", "released"])
def lock(request: pytest.FixtureRequest) -> Iterator[str]:
    saved = _native._force_routines(release_gil_from=0 if request.param == "released" else -1)
    yield request.param
    _native._force_routines(**saved)


# --- every routine against CPython --------------------------------------------------------

def test_every_length_alignment_and_fault_at_block_edges(routine: str) -> None:
    shared.test_every_length_and_alignment_with_faults_at_block_edges(NATIVE)
    shared.test_every_one_and_two_byte_input(NATIVE)


def test_every_lead_and_second_byte_across_a_block_edge(routine: str) -> None:
    """Structured sequences where a vector block sees them, not only the scalar tail:
    straddling the 16-, 32- and 64-byte block edges of 2-byte text."""
    context = ("Ж" * 64).encode()
    for lead in range(0xC0, 0x100):
        for second in range(256):
            for third in (0x41, 0x80, 0xBF):
                seq = bytes([lead, second, third, 0x80])
                for at in (15, 31, 62):
                    data = context[:at] + seq + context[at:100]
                    assert outcome(lambda: _native.decode_utf8(data)) == expect(data), (at, seq)


def test_masked_input_across_the_drivers_chunks(routine: str, lock: str) -> None:
    """Masked payloads go through the routines in pieces of several KiB cut at
    character boundaries: characters and faults around those cuts, at every key phase."""
    text = ("Марс 火星 😀 é " * 2000).encode()[:20000]
    cases = [text, text[:8191], text[:8193], text[:16385] + b"\xe2\x82"]
    for at in (8190, 8191, 8192, 8193, 16383, 16384, 19000):
        for fault in shared.FAULTS:
            cases.append(text[:at] + fault + text[at + len(fault):])
    for data in cases:
        for phase in range(4):
            key = KEY[phase:] + KEY[:phase]
            masked = bytes(xor_model(data, key))
            assert outcome(lambda: _native.decode_utf8(masked, mask=key)) == expect(data), (len(data), phase)
    shared.test_mask_decodes_the_unmasked_payload_and_leaves_data_untouched(NATIVE)


def test_incremental_decoding_of_mutated_corpus_texts(routine: str, lock: str) -> None:
    rng = seeded(99)
    for text in shared._corpus():
        for _ in range(3):
            data = shared._mutated(text * 3, rng)
            shared.run_stream(NATIVE, list(shared._chunks(data, rng)) or [b""])
    for chunks, _ in shared.FAIL_FAST:
        shared.run_stream(NATIVE, [b"x" * 100 + chunks[0], *chunks[1:]])


def test_ascii_paths_leave_at_any_non_ascii_byte(lock: str) -> None:
    """The automatic choice copies ASCII itself (short input whole, longer input as it checks it);
    one non-ASCII character or fault anywhere sends the input, or the rest of it, to the routines."""
    assert _native._force_decode() == "auto"
    base = bytes(range(0x20, 0x7F)) * 50
    for n in [*range(0, 300), 511, 1000, 4109]:
        for at in range(n + 1) if n < 1100 else range(0, n + 1, 7):
            for char in (b"\xc3\xa9", b"\x80", "😀".encode()[:3]):
                data = base[:at] + char + base[at:n]
                assert outcome(lambda: _native.decode_utf8(data)) == expect(data), (n, at, char)
                shared.run_stream(NATIVE, [data, b""])
        plain = base[:n]
        assert outcome(lambda: _native.decode_utf8(plain)) == expect(plain)
        dec = _native.Utf8Decoder()
        assert outcome(lambda: dec.decode(plain)) == expect(plain) and dec.getstate() == (b"", 0)


# --- the processor check and the switch --------------------------------------------------------

# (TAV_CPU_FEATURES_MASK, the family "auto" must then run): SSE2 1, SSSE3 2,
# SSE4.1 4, AVX2 8, AVX-512 F 16, BW 32, VL 64, VBMI 128, VBMI2 256.
FEATURE_MASKS = [("0", "scalar"), ("0x3", "ssse3"), ("0xF", "avx2"), ("0xFF", "avx2"), ("0x17F", "avx2"),
                 ("0x1FF", "avx512")]
if _cpu.AARCH64:
    FEATURE_MASKS = [("0", "neon")]  # NEON is part of every aarch64 processor: no mask takes it away


@pytest.mark.parametrize("mask, family", FEATURE_MASKS, ids=[m for m, _ in FEATURE_MASKS])
def test_auto_runs_the_widest_family_the_processor_has(mask: str, family: str) -> None:
    if FAMILIES.index(family) > FAMILIES.index(_native.DECODE_ROUTINE):
        pytest.skip(f"this processor does not run the {family} decoder")
    code = textwrap.dedent("""
        import _tav_native as n
        text = ("Марс 😀 é abc" * 500).encode()
        assert n.decode_utf8(text) == text.decode() and n.Utf8Decoder().decode(text) == text.decode()
        try:
            n._force_decode("avx512")
        except ValueError:
            pass
        print(n.DECODE_ROUTINE, n._force_decode())
    """)
    env = dict(os.environ, TAV_CPU_FEATURES_MASK=mask)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    forced = "avx512" if family == "avx512" else "auto"  # forcing a family the processor lacks changes nothing
    assert proc.stdout.split() == [family, forced]


def test_force_decode_reports_and_restores() -> None:
    assert _native._force_decode() == "auto"
    assert _native._force_decode("scalar") == "auto"
    assert _native._force_decode(None) == "scalar"
    assert _native._force_decode("auto") == "scalar"
    for bad in ("avx9", 3, b"scalar"):
        with pytest.raises(ValueError, match="unknown"):
            _native._force_decode(bad)
    assert _native._force_decode() == "auto"


# --- guard pages --------------------------------------------------------------------------------

GUARD_CHILD = textwrap.dedent(
    """
    import ctypes, sys
    sys.path.insert(0, sys.argv[1])
    from support import GuardedPage, xor_model
    import _tav_native as n
    page = GuardedPage()
    key = bytes.fromhex("37fa213d")
    lengths = sorted(set(range(0, 140)) | {191, 192, 193, 255, 256, 257, 4095, 4096})
    fill = ("aé€😀" * 1000).encode()
    for family in ("scalar", "ssse3", "avx2", "avx512", "neon", "auto"):
        try:
            n._force_decode(family)
        except ValueError:
            continue  # not on this processor
        for size in lengths:
            for text in (fill[:size], b"a" * (size - 1) + b"\\xc3" if size else b""):
                want = text.decode(errors="replace")
                for addr in (page.at_end(size), page.at_start()):
                    for data, k in ((text, None), (xor_model(text, key), key)):
                        page.write(addr, data)
                        view = memoryview((ctypes.c_char * size).from_address(addr)).cast("B")
                        assert n.decode_utf8(view, "replace", mask=k) == want, (family, size)
                    page.write(addr, text)
                    d = n.Utf8Decoder("replace")
                    assert d.decode(view) + d.decode(b"", True) == want, (family, size)
    print("swept")
    """
)


def test_no_byte_outside_the_input_is_read() -> None:
    # Touching a guard page kills the child, which then never prints its last line.
    proc = subprocess.run([sys.executable, "-c", GUARD_CHILD, str(HERE)], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and proc.stdout.strip() == "swept", proc.stderr[-2000:]


# --- Utf8Decoder: state, errors attribute, handlers --------------------------------------------

def test_setstate_takes_any_short_state_as_the_start_of_the_stream() -> None:
    """A state that no call leaves (a whole character, a bad byte) still decodes as pending + input."""
    for pending in (b"a", b"\xc3\xa9", b"\xff", b"\x80\x80", b"\xe2A", b"\xc0", b"\xf0\x80", b"\xed\xa0"):
        for chunk, final in ((b"", False), (b"", True), (b"xyz", False), (b"\x82\xacz", True), (b"\xbf", False)):
            dec = _native.Utf8Decoder()
            dec.setstate((pending, 0))
            want = outcome(lambda: (pending + chunk).decode())
            got = outcome(lambda: dec.decode(chunk, final))
            if want[0] == "error" and not (want[-1] == "unexpected end of data" and not final):
                assert got == want and dec.getstate() == (pending, 0), (pending, chunk)
            else:
                theirs = codecs.getincrementaldecoder("utf-8")()
                theirs.setstate((pending, 0))
                assert got == outcome(lambda: theirs.decode(chunk, final)), (pending, chunk)
                assert dec.getstate() == theirs.getstate()
    with pytest.raises(ValueError, match="at most 3 pending bytes"):
        _native.Utf8Decoder().setstate((b"abcd", 0))
    with pytest.raises(TypeError):
        _native.Utf8Decoder().setstate(("\xe2", 0))


def test_errors_attribute_switches_the_handler_as_codecs_does() -> None:
    ours, theirs = _native.Utf8Decoder(), codecs.getincrementaldecoder("utf-8")()
    assert ours.errors == "strict"
    stream = [b"ok\xe2\x82", b"\xac\xff", b"\xed\xa0", b"\x80\xc3", b"\xa9"]
    for i, chunk in enumerate(stream):
        ours.errors = theirs.errors = ["strict", "replace", "surrogatepass", "ignore", "strict"][i]
        assert outcome(lambda: ours.decode(chunk)) == outcome(lambda: theirs.decode(chunk)), i
        assert ours.getstate() == theirs.getstate()
    with pytest.raises(TypeError, match="must be str"):
        ours.errors = None
    with pytest.raises(AttributeError):
        del ours.errors

    class Name(str):
        pass

    ours.errors = Name("replace")
    assert type(ours.errors) is str and ours.decode(b"\xff", True) == "\ufffd"
    # A handler is looked up only when an error needs it; its name is checked at every call.
    assert _native.Utf8Decoder("nonexistent").decode(b"ok") == "ok" == _native.decode_utf8(b"ok", "nonexistent")
    with pytest.raises(LookupError):
        _native.Utf8Decoder("nonexistent").decode(b"\xff")
    with pytest.raises(LookupError):
        _native.decode_utf8(b"\xff", "nonexistent")
    for call in (lambda: _native.Utf8Decoder("re\0place").decode(b"ok"), lambda: _native.decode_utf8(b"ok", "re\0place"),
                 lambda: codecs.getincrementaldecoder("utf-8")("re\0place").decode(b"ok"), lambda: b"ok".decode("utf-8", "re\0place")):
        with pytest.raises(ValueError, match="embedded null"):
            call()


def test_an_error_handler_that_calls_back_into_its_decoder_is_refused() -> None:
    dec = _native.Utf8Decoder("tav-test-reentrant")
    seen: List[str] = []

    def handler(exc: UnicodeError) -> tuple[str, int]:
        try:
            dec.decode(b"x")
        except RuntimeError as e:
            seen.append(str(e))
        seen.append(repr(dec))
        return ("?", exc.end)  # type: ignore[attr-defined]

    codecs.register_error("tav-test-reentrant", handler)
    assert dec.decode(b"a\xffb\xe2\x82") == "a?b" and dec.getstate() == (b"\xe2\x82", 0)
    assert seen == ["concurrent use of one Utf8Decoder from several threads is not allowed", "<Utf8Decoder in use>"]
    assert _native.decode_utf8(b"a\xffb", "tav-test-reentrant") == "a?b"


# --- Utf8Decoder: the object's safety -----------------------------------------------------------

def test_copies_and_pickles_are_refused_and_half_built_objects_raise() -> None:
    for obj in (_native.Utf8Decoder(), _native.Utf8Decoder.__new__(_native.Utf8Decoder)):
        for attempt, word in ((copy.copy, "copy"), (copy.deepcopy, "copy"), (pickle.dumps, "pickle")):
            with pytest.raises(TypeError, match=f"^cannot {word} a tav.Utf8Decoder"):
                attempt(obj)

    class Forgetful(_native.Utf8Decoder):  # type: ignore[misc]
        def __init__(self) -> None:  # never calls the base __init__
            pass

    failed = _native.Utf8Decoder.__new__(_native.Utf8Decoder)
    with pytest.raises(TypeError):
        failed.__init__(1)
    for obj in (_native.Utf8Decoder.__new__(_native.Utf8Decoder), failed, Forgetful()):
        for use in (lambda: obj.decode(b"x"), obj.reset, obj.getstate, lambda: obj.setstate((b"", 0)),
                    lambda: obj.errors):
            with pytest.raises(ValueError, match=r"^tav.Utf8Decoder is not initialized \(its __init__ never ran or failed\)$"):
                use()
        with pytest.raises(ValueError, match="not initialized"):
            obj.errors = "replace"
        assert repr(obj) == "<Utf8Decoder not initialized>"
    dec = _native.Utf8Decoder("replace")
    dec.decode(b"\xe2")
    with pytest.raises(RuntimeError, match="^tav.Utf8Decoder is already initialized$"):
        dec.__init__("strict")
    assert dec.errors == "replace" and dec.getstate() == (b"\xe2", 0)


def test_subclasses_and_weak_references_work() -> None:
    class Decoder(_native.Utf8Decoder):  # type: ignore[misc]
        def __init__(self, note: str) -> None:
            super().__init__(errors="replace")
            self.note = note

    d = Decoder("x")
    assert d.decode(b"\xff\xc3", final=False) == "\ufffd" and d.getstate() == (b"\xc3", 0) and d.note == "x"
    assert repr(d) == "<Utf8Decoder errors='replace' pending=b'\\xc3'>"
    refs = [weakref.ref(d), weakref.ref(_native.Utf8Decoder())]
    del d
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_concurrent_use_of_one_decoder_is_refused() -> None:
    slow = ("é" * (24 << 20)).encode()  # bytes: decoded with the lock released
    saved = _native._force_decode("scalar")  # the slowest: long enough to be caught inside
    try:
        for _ in range(5):
            dec = _native.Utf8Decoder()
            results: List[object] = []
            worker = threading.Thread(target=lambda: results.append(len(dec.decode(slow))))
            worker.start()
            while "in use" not in repr(dec) and worker.is_alive():
                pass
            inside = worker.is_alive()
            refused: List[str] = []
            for use in (lambda: dec.decode(b"x"), dec.reset, dec.getstate, lambda: dec.setstate((b"", 0)),
                        lambda: dec.errors):
                try:
                    use()
                except RuntimeError as e:
                    refused.append(str(e))
            worker.join()
            if inside:
                break
    finally:
        _native._force_decode(saved)
    assert inside and refused == ["concurrent use of one Utf8Decoder from several threads is not allowed"] * 5
    assert results == [24 << 20] and dec.getstate() == (b"", 0)  # the refused calls changed nothing


def test_no_leak_over_many_calls_and_errors() -> None:
    ba = bytearray("aé€😀".encode() * 8)
    masked = bytearray(xor_model(bytes(ba), KEY))
    bad = bytearray(b"ok\xed\xa0\x80")

    def churn(n: int) -> None:
        for i in range(n):
            dec = _native.Utf8Decoder("replace" if i % 2 else "strict")
            dec.decode(ba[:5])
            dec.decode(memoryview(ba)[5:])
            _native.decode_utf8(masked, mask=KEY)
            _native.decode_utf8(bad, "replace")
            for fail in (lambda: _native.decode_utf8(bad), lambda: _native.Utf8Decoder().decode(bad),
                         lambda: _native.decode_utf8(bad, mask=b"abc")):
                try:
                    fail()
                except (UnicodeDecodeError, ValueError):
                    pass

    churn(2000)
    gc.collect()
    before = sys.getallocatedblocks(), sys.getrefcount(ba), sys.getrefcount(bad)
    churn(50_000)
    gc.collect()
    after = sys.getallocatedblocks(), sys.getrefcount(ba), sys.getrefcount(bad)
    assert after[1:] == before[1:]  # every buffer export given back
    assert after[0] - before[0] < 1000, after[0] - before[0]
    ba.append(0)  # no export outstanding


def test_exported_buffers_are_decoded_pinned_and_given_back() -> None:
    """Buffers other than bytes are read holding the lock (another thread could rewrite them), and exported."""
    saved = _native._force_routines(release_gil_from=0)
    try:
        data = bytearray("Марс".encode() * 1000)
        assert _native.decode_utf8(data) == data.decode() and _native.Utf8Decoder().decode(data) == data.decode()
        data.append(0)  # resizable again: no export outstanding
        with pytest.raises(TypeError, match="plain data"):
            _native.decode_utf8(memoryview(b"abcdefgh").cast("B").cast("P"))
    finally:
        _native._force_routines(**saved)
