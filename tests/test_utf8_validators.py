"""Differential tests of the validator routines.

The table-driven routine, the unrolled routine and the dispatcher under every
implementation number must agree with each other and with two oracles (RFC
3629's byte ranges and CPython's one-shot strict decoder) on the result, the
offsets and the automaton state after every call, whichever routine ran the
calls before.
"""
from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Callable, NamedTuple, Optional, Sequence

import pytest

pytest.importorskip("_tav_utf8check", reason="the cffi modules are not built for this interpreter")
from hypothesis import given, settings
from hypothesis import strategies as st

from _tav_utf8check import ffi, lib
from support import first_rejected, rfc3629_status, seeded, utf8_routines, utf8_record

HERE = Path(__file__).resolve().parent

#: (result, current_index, total_index, state) after one call.
Outcome = tuple[int, int, int, int]


class Routine(NamedTuple):
    """One way of running a validation call on a record."""

    name: str
    impl: Optional[int]  # the number the dispatcher is called under; None for a direct routine
    fn: Callable[[object, bytes, int], int]

    def __call__(self, handle: object, data: bytes) -> int:
        if self.impl is not None:
            lib.tav_utf8vld_set_impl(handle, self.impl)
        return self.fn(handle, data, len(data))


ROUTINES: tuple[Routine, ...] = (
    Routine("table", None, utf8_routines._tav_utf8vld_validate_table),
    Routine("unrolled", None, utf8_routines._tav_utf8vld_validate_unrolled),
    *(Routine(f"impl={k}", k, lib.tav_utf8vld_validate) for k in (1, 2, 3, 4, -1)),
)
ROUTINE_IDS = [r.name for r in ROUTINES]


@pytest.fixture
def handle():
    """A fresh validator record, freed after the test."""
    h = lib.tav_utf8vld_new()
    assert h != ffi.NULL
    yield h
    lib.tav_utf8vld_free(h)


# --- oracle --------------------------------------------------------------------

# Lead byte -> (continuation bytes it needs, state right after it). The states
# are the record's shared numbering: 2 and 3 owe one or two plain
# continuation bytes, 4-8 are the restricted second bytes after E0, ED, F0,
# F1-F3 and F4.
def _lead(b: int) -> tuple[int, int]:
    if 0xC2 <= b <= 0xDF:
        return 1, 2
    if b == 0xE0:
        return 2, 4
    if b == 0xED:
        return 2, 5
    if 0xE1 <= b <= 0xEF:
        return 2, 3
    if b == 0xF0:
        return 3, 6
    if 0xF1 <= b <= 0xF3:
        return 3, 7
    if b == 0xF4:
        return 3, 8
    raise AssertionError(f"{b:02X} is no lead byte")


def tail_state(stream: bytes, end: int) -> int:
    """Automaton state after stream[:end], which must be a prefix of well-formed UTF-8."""
    k = 0  # continuation bytes at the end
    while k < end and 0x80 <= stream[end - 1 - k] <= 0xBF:
        k += 1
    if k == end:
        assert k == 0, "a well-formed prefix cannot start with a continuation byte"
        return 0
    lead = stream[end - 1 - k]
    if lead < 0x80:
        assert k == 0
        return 0
    need, after_lead = _lead(lead)
    owed = need - k
    assert owed >= 0
    if owed == 0:
        return 0
    if k == 0:
        return after_lead
    return 2 if owed == 1 else 3


def expected_calls(chunks: Sequence[bytes]) -> list[Outcome]:
    """What every routine must report after each chunk of a stream fed to a fresh record."""
    stream = b"".join(chunks)
    status, rejected_at = rfc3629_status(stream)
    assert first_rejected(stream) == rejected_at, "the two oracles disagree"
    out: list[Outcome] = []
    start = total = 0
    rejected = False
    for c in chunks:
        end = start + len(c)
        if rejected:  # sticky: no byte examined, indices advance by the length
            total += len(c)
            out.append((1, len(c), total, 1))
        elif rejected_at is not None and rejected_at < end:
            k = rejected_at - start
            total += k
            rejected = True
            out.append((-1, k, total, 1))
        else:
            s = tail_state(stream, end)
            total += len(c)
            out.append((0 if s == 0 else 1, len(c), total, s))
        start = end
    return out


def run_calls(handle: object, chunks: Sequence[bytes], routines: Sequence[Routine]) -> list[Outcome]:
    """Feed each chunk through its routine; check impl is left alone; return the outcomes."""
    out: list[Outcome] = []
    assert len(chunks) == len(routines)
    for c, r in zip(chunks, routines):
        impl_before = utf8_record(handle)[3]
        result = r(handle, c)
        cur, total, state, impl = utf8_record(handle)
        assert impl == (impl_before if r.impl is None else r.impl), f"{r.name} changed impl"
        out.append((result, cur, total, state))
    return out


def check_stream(handle: object, chunks: Sequence[bytes], routines: Sequence[Routine]) -> None:
    lib.tav_utf8vld_reset(handle)
    got = run_calls(handle, chunks, routines)
    want = expected_calls(chunks)
    assert got == want, (
        f"chunks {[c.hex() for c in chunks]} routines {[r.name for r in routines]}"
    )


# --- every entry state crossed with every byte -----------------------------------

# Real prefixes that leave a fresh record in each state, several per state
# where the state is reachable in more than one way.
ENTRY_PREFIXES: dict[int, tuple[bytes, ...]] = {
    0: (b"", b"A", b"\xc2\x80", b"\xef\xbf\xbf", b"\xf4\x8f\xbf\xbf"),
    1: (b"\x80", b"\xe0\x80", b"\xed\xa0"),
    2: (b"\xc2", b"\xdf", b"\xe1\x80", b"\xe0\xa0", b"\xed\x9f", b"\xf1\x80\x80", b"\xf4\x8f\xbf"),
    3: (b"\xe1", b"\xef", b"\xf1\x80", b"\xf0\x90", b"\xf4\x8f"),
    4: (b"\xe0",),
    5: (b"\xed",),
    6: (b"\xf0",),
    7: (b"\xf1", b"\xf3"),
    8: (b"\xf4",),
}
ENTRY_CASES = [(s, p) for s, ps in ENTRY_PREFIXES.items() for p in ps]


@pytest.mark.parametrize(("state", "prefix"), ENTRY_CASES, ids=[f"s{s}-{p.hex() or 'empty'}" for s, p in ENTRY_CASES])
def test_every_byte_from_every_entry_state(handle, state: int, prefix: bytes) -> None:
    """Each byte value, after a prefix ending in `state`: alone in the next call, and inside one call."""
    # The prefix itself lands in the state it is listed under, for every routine.
    for r in ROUTINES:
        lib.tav_utf8vld_reset(handle)
        r(handle, prefix)
        assert utf8_record(handle)[2] == state, r.name
    n = len(ROUTINES)
    for b in range(256):
        byte = bytes([b])
        split = [prefix, byte]
        want_split = expected_calls(split)
        joined = [prefix + byte + b"\xbf"]
        want_joined = expected_calls(joined)
        for i, r in enumerate(ROUTINES):
            # The prefix call goes through another routine each time, so over
            # the byte values every pair of routines hands a state over.
            before = ROUTINES[(i + b) % n]
            lib.tav_utf8vld_reset(handle)
            assert run_calls(handle, split, [before, r]) == want_split, (r.name, before.name, b)
            lib.tav_utf8vld_reset(handle)
            assert run_calls(handle, joined, [r]) == want_joined, (r.name, b)


# --- random streams, random chunks, routine switched between chunks --------------

BOUNDARY_BYTES = (0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                  0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFF)
BOUNDARY_CHARS = (0x00, 0x7F, 0x80, 0x7FF, 0x800, 0xFFF, 0x1000, 0xCFFF, 0xD000, 0xD7FF, 0xE000,
                  0xFFFD, 0xFFFF, 0x10000, 0x3FFFF, 0x40000, 0xFFFFF, 0x100000, 0x10FFFF)
CODE_RANGES = ((0x80, 0x7FF), (0x800, 0xD7FF), (0xE000, 0xFFFF), (0x10000, 0x10FFFF))


def random_stream(rng, n_tokens: int, p_error: float) -> bytes:
    """Mostly multi-byte text with ASCII runs; with probability p_error a token breaks it."""
    out = bytearray()
    for _ in range(n_tokens):
        if rng.random() < p_error:
            r = rng.random()
            if r < 0.4:  # a character cut short
                enc = chr(rng.randint(*rng.choice(CODE_RANGES))).encode()
                out += enc[: rng.randint(1, len(enc) - 1)]
            elif r < 0.6:  # a surrogate or a code point above U+10FFFF, written out
                cp = rng.choice((rng.randint(0xD800, 0xDFFF), rng.randint(0x110000, 0x13FFFF)))
                out += bytes([0xE0 | cp >> 12, 0x80 | (cp >> 6) & 0x3F, 0x80 | cp & 0x3F]) if cp < 0x10000 \
                    else bytes([0xF0 | cp >> 18, 0x80 | (cp >> 12) & 0x3F, 0x80 | (cp >> 6) & 0x3F, 0x80 | cp & 0x3F])
            elif r < 0.9:
                out.append(rng.choice(BOUNDARY_BYTES))
            else:
                out.append(rng.randrange(256))
            continue
        r = rng.random()
        if r < 0.25:
            out += bytes(rng.randrange(0x20, 0x7F) for _ in range(rng.choice((1, 3, 15, 16, 17, 40))))
        elif r < 0.4:
            out += chr(rng.choice(BOUNDARY_CHARS)).encode()
        else:
            out += chr(rng.randint(*rng.choice(CODE_RANGES))).encode()
    return bytes(out)


def random_chunks(rng, data: bytes) -> list[bytes]:
    """Cut `data` into pieces of 0 to 200 bytes, mostly short ones."""
    chunks, i = [], 0
    while i < len(data):
        r = rng.random()
        n = 0 if r < 0.05 else rng.randint(1, 4) if r < 0.5 else rng.randint(5, 32) if r < 0.85 else rng.randint(33, 200)
        chunks.append(data[i:i + n])
        i += n
    if rng.random() < 0.5:
        chunks.append(b"")
    return chunks


@pytest.mark.parametrize("seed", range(8))
def test_random_streams_in_random_chunks(handle, seed: int) -> None:
    rng = seeded(seed)
    for _ in range(40):
        data = random_stream(rng, rng.randint(1, 120), rng.choice((0.0, 0.005, 0.03, 0.2)))
        chunks = random_chunks(rng, data)
        check_stream(handle, chunks, [rng.choice(ROUTINES) for _ in chunks])


def test_long_ascii_runs_with_a_late_fault(handle) -> None:
    """Long ASCII runs (the unrolled routine's fast path) broken near a random far offset."""
    rng = seeded(100)
    for _ in range(30):
        body = bytearray(rng.randrange(0x80) for _ in range(rng.randint(1000, 5000)))
        pos = rng.randrange(len(body))
        body[pos:pos] = rng.choice((b"\xff", b"\xc2", b"\xe2\x82\x41", b"\xc3\xa9", b"\xf0\x9f\x98\x80", b"\x80"))
        data = bytes(body)
        chunks = random_chunks(rng, data) if rng.random() < 0.5 else [data]
        check_stream(handle, chunks, [rng.choice(ROUTINES) for _ in chunks])


_bytes = st.lists(st.sampled_from(BOUNDARY_BYTES) | st.integers(0, 255), max_size=48).map(bytes)


@settings(max_examples=300, derandomize=True, deadline=None)
@given(data=_bytes, cuts=st.lists(st.integers(0, 48), max_size=6),
       picks=st.lists(st.integers(0, len(ROUTINES) - 1), min_size=7, max_size=7))
def test_any_bytes_any_cuts(data: bytes, cuts: list[int], picks: list[int]) -> None:
    bounds = sorted({0, len(data), *(min(c, len(data)) for c in cuts)})
    chunks = [data[a:b] for a, b in zip(bounds, bounds[1:])] or [data]
    h = lib.tav_utf8vld_new()
    try:
        check_stream(h, chunks, [ROUTINES[picks[i % len(picks)]] for i in range(len(chunks))])
    finally:
        lib.tav_utf8vld_free(h)


# --- edge cases as tables --------------------------------------------------------

# (bytes, offset of the rejected byte): the first byte that does not fit, not the lead.
REJECTIONS = [
    (b"\xe2\x82\x41", 2),
    (b"\x41\xe2\x82\x41", 3),
    (b"\xe0\x80", 1), (b"\xe0\x9f\xbf", 1), (b"\xe0\x80\x80", 1),
    (b"\xed\xa0", 1), (b"\xed\xa0\x80", 1), (b"\xed\xbf\xbf", 1),
    (b"\xf0\x80", 1), (b"\xf0\x8f\xbf\xbf", 1),
    (b"\xf4\x90", 1), (b"\xf4\x90\x80\x80", 1),
    (b"\xc0\x80", 0), (b"\xc1\xbf", 0),
    (b"\xf5\x80\x80\x80", 0), (b"\xf8\x88\x80\x80\x80", 0), (b"\xff", 0),
    (b"\x80", 0), (b"\xbf", 0),
    (b"\xc2\x41", 1), (b"\xc2\xc2", 1), (b"\xe1\x80\xc0", 2), (b"\xf1\x80\x80\x7f", 3),
    (b"\xc3\xa9\x80", 2),
]


@pytest.mark.parametrize("r", ROUTINES, ids=ROUTINE_IDS)
@pytest.mark.parametrize(("data", "offset"), REJECTIONS, ids=[d.hex() for d, _ in REJECTIONS])
def test_rejection_offsets(handle, r: Routine, data: bytes, offset: int) -> None:
    assert first_rejected(data) == offset == rfc3629_status(data)[1]
    assert r(handle, data) == -1
    assert utf8_record(handle)[:3] == (offset, offset, 1)
    # The same bytes after pieces of 10 and 5 valid bytes: the stream offset counts them.
    lib.tav_utf8vld_reset(handle)
    assert [r(handle, c) for c in (b"0123456789", b"h\xc3\xa9ll")] == [0, 0]
    assert r(handle, data) == -1
    assert utf8_record(handle)[:3] == (offset, 15 + offset, 1)


BOUNDARY_ACCEPTED = [b"\x00", b"\x7f", b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf",
                     b"\xee\x80\x80", b"\xef\xbf\xbf", b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf",
                     b"\xe2\x82\xac", b"\xef\xbf\xbe", b"\xed\x80\x80", b"\xf3\xbf\xbf\xbf"]


@pytest.mark.parametrize("r", ROUTINES, ids=ROUTINE_IDS)
def test_boundary_characters_accepted(handle, r: Routine) -> None:
    for ch in BOUNDARY_ACCEPTED:
        lib.tav_utf8vld_reset(handle)
        assert (r(handle, ch), utf8_record(handle)[:3]) == (0, (len(ch), len(ch), 0)), ch.hex()
        # One byte per call: 1 until the last byte, then 0.
        lib.tav_utf8vld_reset(handle)
        assert [r(handle, ch[i:i + 1]) for i in range(len(ch))] == [1] * (len(ch) - 1) + [0], ch.hex()
    lib.tav_utf8vld_reset(handle)
    whole = b"".join(BOUNDARY_ACCEPTED)
    assert (r(handle, whole), utf8_record(handle)[:3]) == (0, (len(whole), len(whole), 0))


@pytest.mark.parametrize("r", ROUTINES, ids=ROUTINE_IDS)
def test_rejection_is_sticky(handle, r: Routine) -> None:
    """After the rejecting call, every routine returns 1, examines nothing and only counts."""
    for rejecter in ROUTINES:
        lib.tav_utf8vld_reset(handle)
        assert rejecter(handle, b"ab\xc0") == -1
        assert utf8_record(handle)[:3] == (2, 2, 1)
        assert r(handle, b"abc") == 1
        assert utf8_record(handle)[:3] == (3, 5, 1)
        assert r(handle, b"\xe2\x82\xac") == 1  # even a complete character does not revive it
        assert utf8_record(handle)[:3] == (3, 8, 1)
        assert r(handle, b"\xff\xff") == 1
        assert utf8_record(handle)[:3] == (2, 10, 1)
        assert r(handle, b"") == 1
        assert utf8_record(handle)[:3] == (0, 10, 1)


@pytest.mark.parametrize("r", ROUTINES, ids=ROUTINE_IDS)
@pytest.mark.parametrize(("state", "prefix"), [(s, ps[-1]) for s, ps in ENTRY_PREFIXES.items()],
                         ids=[f"s{s}" for s in ENTRY_PREFIXES])
def test_empty_chunk_keeps_state(handle, r: Routine, state: int, prefix: bytes) -> None:
    ROUTINES[0](handle, prefix)
    total = utf8_record(handle)[1]
    assert r(handle, b"") == (0 if state == 0 else 1)
    assert utf8_record(handle)[:3] == (0, total, state)


def test_new_record(handle) -> None:
    assert utf8_record(handle) == (0, 0, 0, 4)
    assert lib.tav_utf8vld_get_impl(handle) == 4
    assert lib.tav_utf8vld_get_current_index(handle) == lib.tav_utf8vld_get_total_index(handle) == 0


@pytest.mark.parametrize("impl", (1, 2, 3, 4, -1, -7))
def test_reset_keeps_impl(handle, impl: int) -> None:
    assert lib.tav_utf8vld_set_impl(handle, impl) == impl
    assert lib.tav_utf8vld_validate(handle, b"ab\xe2\x82\xff", 5) == -1
    lib.tav_utf8vld_reset(handle)
    assert utf8_record(handle) == (0, 0, 0, impl)
    assert lib.tav_utf8vld_validate(handle, b"\xe2\x82\xac", 3) == 0
    assert utf8_record(handle) == (3, 3, 0, impl)


# (argument, returned, impl afterwards), applied in order to one record.
SET_IMPL_SEQUENCE = [
    (0, 4, 4), (2, 2, 2), (5, 2, 2), (9, 2, 2), (2**31 - 1, 2, 2), (-1, -1, -1), (5, -1, -1),
    (0, 4, 4), (1, 1, 1), (3, 3, 3), (4, 4, 4), (-2**31, -2**31, -2**31), (100, -2**31, -2**31),
    (2, 2, 2),
]


def test_set_impl_sequence(handle) -> None:
    # Inside a sequence with non-zero indices: set_impl touches impl alone.
    assert lib.tav_utf8vld_validate(handle, b"ab\xf0\x9f", 4) == 1
    for arg, returned, stored in SET_IMPL_SEQUENCE:
        assert lib.tav_utf8vld_set_impl(handle, arg) == returned, arg
        assert lib.tav_utf8vld_get_impl(handle) == stored
        assert utf8_record(handle) == (4, 4, 3, stored)
    # The record still continues the sequence.
    assert lib.tav_utf8vld_validate(handle, b"\x98\x80", 2) == 0
    assert utf8_record(handle) == (2, 6, 0, 2)


# --- bytes that must not be read -------------------------------------------------

_CHILD = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, sys.argv[1])
    from support import GuardedPage, utf8_routines, utf8_ffi, utf8_record
    from _tav_utf8check import ffi, lib

    def routines():
        yield "table", None, utf8_routines._tav_utf8vld_validate_table
        yield "unrolled", None, utf8_routines._tav_utf8vld_validate_unrolled
        for k in (1, 2, 3, 4, -1):
            yield "impl=%d" % k, k, lib.tav_utf8vld_validate

    page = GuardedPage()
    out = []
    for name, impl, fn in routines():
        h = lib.tav_utf8vld_new()
        if impl is not None:
            lib.tav_utf8vld_set_impl(h, impl)
        for prefix in json.loads(sys.argv[2]):
            lib.tav_utf8vld_reset(h)
            utf8_routines._tav_utf8vld_validate_table(h, bytes.fromhex(prefix), len(prefix) // 2)
            # Length 0 with a null pointer, then any length on a rejected record.
            r0 = fn(h, ffi.NULL, 0)
            rec0 = utf8_record(h)[:3]
            r1 = fn(h, ffi.NULL, 4096) if rec0[2] == 1 else None
            out.append([name, "null", prefix, r0, rec0, r1, utf8_record(h)[:3]])
        for case in json.loads(sys.argv[3]):
            # The piece ends at the guard page; the length runs 64 bytes into it,
            # so reading past the rejected byte faults.
            data = bytes.fromhex(case)
            addr = page.at_end(len(data))
            page.write(addr, data)
            lib.tav_utf8vld_reset(h)
            r = fn(h, utf8_ffi.cast("uint8_t *", addr), len(data) + 64)
            out.append([name, "guard", case, r, utf8_record(h)[:3]])
            # A valid piece ending at the guard page, exact length.
            ok = b"a\\xc3\\xa9\\xe2\\x82\\xac\\xf0\\x9f\\x98\\x80"
            addr = page.at_end(len(ok))
            page.write(addr, ok)
            lib.tav_utf8vld_reset(h)
            out.append([name, "exact", ok.hex(), fn(h, utf8_ffi.cast("uint8_t *", addr), len(ok)),
                        utf8_record(h)[:3]])
        lib.tav_utf8vld_free(h)
    print(json.dumps(out))
    """
)

GUARD_CASES = [b"\xff", b"abc\xc0", b"\xe2\x82\x41", b"\xed\xa0", b"a" * 40 + b"\x80", b"\xf4\x90"]


def test_no_byte_read_beyond_what_decides() -> None:
    """Null data with length 0, rejected records, and pieces that end at an inaccessible page."""
    prefixes = [ps[-1].hex() for ps in ENTRY_PREFIXES.values()]
    proc = subprocess.run(
        [sys.executable, "-c", _CHILD, str(HERE), json.dumps(prefixes), json.dumps([c.hex() for c in GUARD_CASES])],
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, f"child died ({proc.returncode}): {proc.stderr[-2000:]}"
    rows = json.loads(proc.stdout)
    assert len(rows) == len(ROUTINES) * (len(prefixes) + 2 * len(GUARD_CASES))
    for row in rows:
        name, kind, data_hex = row[:3]
        data = bytes.fromhex(data_hex)
        if kind == "null":
            _, _, total, state = expected_calls([data])[0]
            r0, rec0, r1, rec1 = row[3:]
            assert (r0, rec0) == (0 if state == 0 else 1, [0, total, state]), (name, data_hex)
            if state == 1:
                assert (r1, rec1) == (1, [4096, total + 4096, 1]), (name, data_hex)
        else:
            off = first_rejected(data)
            want = (-1, [off, off, 1]) if kind == "guard" else (0, [len(data), len(data), 0])
            assert (row[3], row[4]) == want, (name, kind, data_hex)
