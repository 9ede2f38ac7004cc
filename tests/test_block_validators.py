"""The SSE2 and SSE4.1 block validators against the table-driven routine and
CPython's strict decoder: every length, address residue and entry state, guard
pages, the documented examples, long chunked streams and symbol visibility."""
from __future__ import annotations

import ctypes
import random
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any, Callable, Iterator, Optional

import pytest

pytest.importorskip("_tav_utf8check", reason="the cffi modules are not built for this interpreter")

import _tav_utf8check
from support import (
    UTF8_MODULE_FILE,
    X86_64,
    AlignedBuffer,
    first_rejected,
    seeded,
    utf8_routines,
    utf8_ffi,
    utf8_record,
)

if not X86_64:
    pytest.skip("the block validators are built on x86-64 only", allow_module_level=True)

ACCEPT, REJECT = 0, 1
STATES = range(9)  # 1 is UTF8_REJECT


def _has_sse41() -> bool:
    try:
        flags = Path("/proc/cpuinfo").read_text()
    except OSError:
        return False
    return "sse4_1" in flags.split()


HAS_SSE41 = _has_sse41()
needs_sse41 = pytest.mark.skipif(not HAS_SSE41, reason="processor without SSE4.1")

TABLE = utf8_routines._tav_utf8vld_validate_table
BLOCK_NAMES = ["sse2", pytest.param("sse4", marks=needs_sse41)]
BLOCK: dict[str, Callable[..., int]] = {
    "sse2": utf8_routines._tav_utf8vld_validate_sse2,
    "sse4": utf8_routines._tav_utf8vld_validate_sse4,
}
BLOCK_SET = {k: v for k, v in BLOCK.items() if k == "sse2" or HAS_SSE41}

# Lead bytes that leave the automaton in each state (several ways for some).
LEADS: dict[int, list[bytes]] = {
    0: [b"", b"A", b"\xc3\xa9"],
    2: [b"\xc2", b"\xe2\x82", b"\xf0\x9f\x98", b"\xe0\xa0", b"\xed\x9f"],
    3: [b"\xe2", b"\xef", b"\xf0\x90", b"\xf4\x8f"],
    4: [b"\xe0"],
    5: [b"\xed"],
    6: [b"\xf0"],
    7: [b"\xf1", b"\xf3"],
    8: [b"\xf4"],
    1: [b"\xff", b"AB\x80", b"\xe2\x41"],
}
# Byte ranges that complete a sequence from each state, one range per byte.
COMPLETE: dict[int, list[tuple[int, int]]] = {
    0: [],
    2: [(0x80, 0xBF)],
    3: [(0x80, 0xBF)] * 2,
    4: [(0xA0, 0xBF), (0x80, 0xBF)],
    5: [(0x80, 0x9F), (0x80, 0xBF)],
    6: [(0x90, 0xBF), (0x80, 0xBF), (0x80, 0xBF)],
    7: [(0x80, 0xBF)] * 3,
    8: [(0x80, 0x8F), (0x80, 0xBF), (0x80, 0xBF)],
}
CHARS = ["A", "z", "\x00", "\x7f", "\x80", "é", "߿", "ࠀ", "€", "\ud7ff", "\ue000", "\uffff",
         "\U00010000", "😀", "\U000fffff", "\U00100000", "\U0010ffff"]
BAD = [0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF, 0x41]


def ptr(address: int) -> Any:
    """A `uint8_t *` for a raw address."""
    return utf8_ffi.cast("uint8_t *", address)


def enter(handle: Any, state: int, rng: random.Random) -> None:
    """Reset the record and drive it into `state` with real bytes through the table routine."""
    utf8_routines.tav_utf8vld_reset(handle)
    lead = rng.choice(LEADS[state])
    buf = utf8_ffi.from_buffer(lead)
    TABLE(handle, buf, len(lead))
    assert utf8_record(handle)[2] == state


def units(residue: int, n: int) -> tuple[int, int]:
    """(head length, end of the last block) of a piece of n bytes at an address residue."""
    head = 0 if residue == 0 else min(n, 16 - residue)
    return head, head + (n - head) // 16 * 16


def consumed_at_rejection(offset: int, residue: int, n: int) -> int:
    """What a block validator stores in current_index when the byte at `offset` is rejected."""
    head, end = units(residue, n)
    if head <= offset < end:
        return head + ((offset - head) // 16 + 1) * 16
    return offset + 1


def where(offset: int, residue: int, n: int) -> str:
    """Which unit of the piece holds the byte at `offset`."""
    head, end = units(residue, n)
    return "head" if offset < head else "block" if offset < end else "tail"


def random_text(rng: random.Random, state: int, n: int) -> bytes:
    """n bytes: mostly a completion of `state` and then mixed, mostly non-ASCII characters."""
    out = bytearray()
    if rng.random() < 0.85:
        out += bytes(rng.randint(lo, hi) for lo, hi in COMPLETE.get(state, []))
    while len(out) < n:
        if rng.random() < 0.25:
            out += b"A" * rng.randint(1, 40)  # ASCII runs, whole blocks included
        else:
            out += rng.choice(CHARS).encode("utf-8", "surrogatepass")
    return bytes(out[:n])


def inject(rng: random.Random, data: bytes, residue: int, part: str) -> bytes:
    """Replace one byte in the head, a block or the tail with a likely rejected value."""
    n = len(data)
    head, end = units(residue, n)
    lo, hi = {"head": (0, head), "block": (head, end), "tail": (end, n)}.get(part, (0, 0))
    if lo >= hi:
        return data
    b = bytearray(data)
    b[rng.randrange(lo, hi)] = rng.choice(BAD)
    return bytes(b)


@pytest.fixture()
def records() -> Iterator[list[Any]]:
    """Three fresh validator records, freed afterwards."""
    handles = [utf8_routines.tav_utf8vld_new() for _ in range(3)]
    yield handles
    for h in handles:
        utf8_routines.tav_utf8vld_free(h)


def check_piece(handles: list[Any], state: int, lead_seed: int, data: bytes, residue: int,
                seen: Optional[set[tuple[int, str]]] = None) -> None:
    """Run the table routine and both block routines on one piece from one entry state."""
    buf = AlignedBuffer(data, residue)
    n = len(data)
    outcomes = []
    for h, fn in zip(handles, [TABLE, *BLOCK_SET.values()]):
        enter(h, state, seeded(lead_seed))
        before = utf8_record(h)[1]
        r = fn(h, ptr(buf.address), n)
        outcomes.append((r, *utf8_record(h)[:3], before))
    assert buf.guards_intact() and buf.contents() == data
    t_r, t_cur, _, t_state, _ = outcomes[0]
    for r, cur, tot, st, before in outcomes[1:]:
        ctx = (state, residue, n, data.hex())
        if state == REJECT:
            assert (r, cur, tot, st) == (-1, 0, before, REJECT), ctx
            continue
        assert (r, st) == (t_r, t_state), ctx
        if t_r == -1:
            expect = consumed_at_rejection(t_cur, residue, n)
            assert (cur, tot) == (expect, before + expect), ctx
        else:
            assert (cur, tot) == (n, before + n), ctx
    if state != REJECT:
        # The table routine itself agrees with CPython's strict decoder.
        lead = seeded(lead_seed).choice(LEADS[state])
        bad = first_rejected(lead + data)
        assert (t_r == -1) == (bad is not None)
        if bad is not None:
            assert t_cur == bad - len(lead)
            if seen is not None:
                seen.add((state, where(t_cur, residue, n)))
    if len(outcomes) == 3:
        assert outcomes[1] == outcomes[2], "sse2 and sse4 leave different records"


def test_every_length_residue_and_entry_state(records: list[Any]) -> None:
    """Lengths 0-200 x residues 0-15 x entry states 0-8, random contents with faults."""
    rng = seeded(20261210)
    seen: set[tuple[int, str]] = set()
    parts = ["none", "head", "block", "tail"]
    for n in range(201):
        for residue in range(16):
            for state in STATES:
                data = random_text(rng, state, n)
                data = inject(rng, data, residue, rng.choice(parts))
                check_piece(records, state, rng.getrandbits(32), data, residue, seen)
    # The sweep really rejected in every part of a piece from every state.
    for state in STATES:
        if state != REJECT:
            for part in ("head", "block", "tail"):
                assert (state, part) in seen, (state, part)


# Suffixes after the byte under test: the set of states from which each is a
# complete sequence ({0}, {2}, {3,4}, {3,5}, {6,7}, {7,8}) differs for every
# state and for a rejection, so a wrong next state shows in some probe.
PROBES = [b"", b"\xbf", b"\xa0\x80", b"\x80\x9f", b"\x90\x80\xbf", b"\x80\x8f\x80"]
ONE_BYTE_LEAD = {0: b"A", 2: b"\xc2", 3: b"\xe1", 4: b"\xe0", 5: b"\xed", 6: b"\xf0", 7: b"\xf1", 8: b"\xf4"}


@pytest.mark.parametrize("name", BLOCK_NAMES)
def test_every_site_of_the_block_machine(name: str) -> None:
    """Every byte value at every block position in every state 0, 2-8, with probes after it.

    A piece is one aligned block and a 4-byte tail: the bytes before position k
    bring the automaton into the state (by the entry state for k = 0), then the
    byte, a probe and ASCII. Expected: CPython's strict decoder."""
    fn = BLOCK[name]
    cases: list[tuple[int, int, bytes]] = []  # (entry state, position k, piece)
    for k in range(16):
        for state in ONE_BYTE_LEAD:
            before = b"" if k == 0 else b"A" * (k - 1) + ONE_BYTE_LEAD[state]
            for x in range(256):
                for probe in PROBES:
                    piece = (before + bytes([x]) + probe + b"A" * 20)[:20]
                    cases.append((state if k == 0 else ACCEPT, k, piece))
    stride = 32
    buf = AlignedBuffer(b"".join(p + b"\x00" * (stride - len(p)) for _, _, p in cases), 0)
    h = utf8_routines.tav_utf8vld_new()
    rec = utf8_ffi.cast("utf8vld_state *", h)
    leads = {s: utf8_ffi.from_buffer(ONE_BYTE_LEAD[s]) for s in ONE_BYTE_LEAD}
    try:
        failures = []
        for i, (state, k, piece) in enumerate(cases):
            utf8_routines.tav_utf8vld_reset(h)
            lead = b""
            if state != ACCEPT:
                TABLE(h, leads[state], 1)
                lead = ONE_BYTE_LEAD[state]
            r = fn(h, ptr(buf.address + i * stride), 20)
            bad = first_rejected(lead + piece)
            if bad is None:
                expect = (0, 20, ACCEPT)
            else:
                expect = (-1, consumed_at_rejection(bad - len(lead), 0, 20), REJECT)
            if (r, rec.current_index, rec.state) != expect:
                failures.append((k, state, piece.hex(), (r, rec.current_index, rec.state), expect))
        assert not failures, failures[:5]
        assert buf.guards_intact()
    finally:
        utf8_routines.tav_utf8vld_free(h)


def ascii_with(n: int, at: Optional[int] = None, byte: int = 0x80) -> bytes:
    """n ASCII bytes, with `byte` at offset `at`."""
    b = bytearray(b"a" * n)
    if at is not None:
        b[at] = byte
    return bytes(b)


# (lead fed to the table routine first, address residue, piece,
#  expected result, state, current_index, total_index)
EXAMPLES = [
    (b"", 0, b"A" * 32, 0, ACCEPT, 32, 32),
    (b"", 3, ascii_with(40), 0, ACCEPT, 40, 40),
    (b"", 3, ascii_with(40, 12), -1, REJECT, 13, 13),   # last head byte
    (b"", 3, ascii_with(40, 13), -1, REJECT, 29, 29),   # first byte of the block
    (b"", 3, ascii_with(40, 30), -1, REJECT, 31, 31),   # in the tail
    (b"", 0, ascii_with(48, 20, 0xFF), -1, REJECT, 32, 32),
    (b"", 0, ascii_with(20, 17, 0xFF), -1, REJECT, 18, 18),
    (b"", 8, ascii_with(40, 3, 0xC0), -1, REJECT, 4, 4),
    (b"", 0, b"a" * 15 + b"\xe2\x82\xac", 0, ACCEPT, 18, 18),
    (b"", 0, b"a" * 14 + b"\xf0\x9f\x98\x80" + b"a" * 14, 0, ACCEPT, 32, 32),
    (b"", 0, b"a" * 15 + b"\xe2", 1, 3, 16, 16),
    (b"\xe2", 0, b"\x82\xac" + b"a" * 14, 0, ACCEPT, 16, 17),
    (b"\xc2", 0, b"a" * 16, -1, REJECT, 16, 17),        # no ASCII pass inside a sequence
    (b"aaaaaaa\xff", 0, b"abc", -1, REJECT, 0, 7),      # already rejected: nothing read
    (b"aaaaaaa\xff", 0, b"", -1, REJECT, 0, 7),
    (b"", 0, b"", 0, ACCEPT, 0, 0),
    (b"\xed", 0, b"", 1, 5, 0, 1),
    (b"", 9, b"abc", 0, ACCEPT, 3, 3),
    (b"", 0, b"a" * 15 + b"\xc2", 1, 2, 16, 16),         # byte 15 alone non-ASCII
    (b"", 0, b"a" * 15 + b"\xc2\x80", 0, ACCEPT, 17, 17),
    (b"a" * 15 + b"\xc2", 0, b"\x80", 0, ACCEPT, 1, 17),
]


@pytest.mark.parametrize("name", BLOCK_NAMES)
@pytest.mark.parametrize("lead,residue,data,result,state,current,total", EXAMPLES)
def test_examples(name: str, lead: bytes, residue: int, data: bytes, result: int, state: int,
                  current: int, total: int, records: list[Any]) -> None:
    """The documented cases, each from its entry record and address residue."""
    h = records[0]
    TABLE(h, utf8_ffi.from_buffer(lead), len(lead))
    buf = AlignedBuffer(data, residue)
    assert BLOCK[name](h, ptr(buf.address), len(data)) == result
    assert utf8_record(h) == (current, total, state, 4)
    assert buf.guards_intact()


GUARD_CHILD = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, {tests!r})
    from support import GuardedPage, utf8_routines, utf8_ffi, seeded

    names = {names!r}
    table = utf8_routines._tav_utf8vld_validate_table
    page = GuardedPage()
    rng = seeded(7)
    chars = ["a", "é", "€", "😀", "\\U0010ffff"]
    h = utf8_routines.tav_utf8vld_new()
    t = utf8_routines.tav_utf8vld_new()

    def run(name, addr, n):
        utf8_routines.tav_utf8vld_reset(h)
        utf8_routines.tav_utf8vld_reset(t)
        got = getattr(utf8_routines, name)(h, utf8_ffi.cast("uint8_t *", addr), n)
        want = table(t, utf8_ffi.cast("uint8_t *", addr), n)
        rh = utf8_ffi.cast("utf8vld_state *", h)
        rt = utf8_ffi.cast("utf8vld_state *", t)
        assert (got, rh.state) == (want, rt.state), (name, addr % 16, n)

    for n in range(201):
        text = "".join(rng.choice(chars) for _ in range(n)).encode()
        for data in (b"a" * n, text[:n]):
            end = page.at_end(n)
            page.write(end, data)
            for name in names:
                run(name, end, n)
            for shift in range(16):
                start = page.at_start() + shift
                page.write(start, data)
                for name in names:
                    run(name, start, n)

    # A rejected record reads nothing, even where nothing may be read.
    for name in names:
        utf8_routines.tav_utf8vld_reset(h)
        getattr(utf8_routines, name)(h, utf8_ffi.from_buffer(b"\\xff"), 1)
        guard = utf8_ffi.cast("uint8_t *", page.at_start() - 64)
        assert getattr(utf8_routines, name)(h, guard, 64) == -1
        assert getattr(utf8_routines, name)(h, utf8_ffi.NULL, 0) == -1
    utf8_routines.tav_utf8vld_reset(h)
    for name in names:
        assert getattr(utf8_routines, name)(h, utf8_ffi.NULL, 0) == 0
    print("ok")
    """
)


def test_guard_pages() -> None:
    """Pieces flush against inaccessible pages: no byte outside the piece is read.

    Ending at the upper guard page, a piece of n bytes starts at residue -n mod
    16, so its last block's prefetch names the guard page (a hint, no fault);
    starting after the lower one, it is shifted by each residue. A rejected
    record is handed a pointer into a guard page: it must read nothing."""
    code = GUARD_CHILD.format(tests=str(Path(__file__).resolve().parent), names=sorted(
        "_tav_utf8vld_validate_" + k for k in BLOCK_SET))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", (proc.returncode, proc.stderr[-2000:])


def _streams() -> list[tuple[str, bytes]]:
    """Corpus texts and random UTF-8, whole, cut inside a character, and with faults."""
    from tav.bench import find_corpus

    rng = seeded(99)
    out = []
    corpus = find_corpus()  # the bundled sample, or the full corpus that TAV_CORPUS names
    for rel in ("lipsum/Emoji-Lipsum.utf8.txt", "lipsum/Hindi-Lipsum.utf8.txt",
                "wikipedia_mars/french.utf8.txt", "lipsum/Latin-Lipsum.utf8.txt"):
        out.append((rel, (corpus / rel).read_bytes()[:40000]))
    random_utf8 = "".join(rng.choice(CHARS) for _ in range(12000)).encode("utf-8", "surrogatepass")
    out.append(("random", random_utf8))
    faulty = []
    for name, text in out:
        for fault in (b"\xff", b"\xed\xa0\x80", b"\xe2\x82A", b"\xc0\xaf", b"\xf4\x90\x80\x80"):
            at = rng.randrange(len(text))
            faulty.append((f"{name}+{fault.hex()}@{at}", text[:at] + fault + text[at:]))
    # Valid streams also cut inside a character at the end.
    return out + [(n + "-cut", t[:-1]) for n, t in out] + faulty


@pytest.mark.parametrize("name,stream", _streams(), ids=lambda v: v if isinstance(v, str) else "")
def test_chunked_stream_mixing_routines(name: str, stream: bytes) -> None:
    """Chunk by chunk, each chunk through a block routine or the dispatcher (impl 2 or 4):
    the stream's verdict, its final state and the offset of a rejection agree
    with one call of the table-driven routine and with CPython's decoder."""
    rng = seeded(len(stream))
    data = utf8_ffi.from_buffer(stream)
    base = int(utf8_ffi.cast("uintptr_t", data))
    h, t = utf8_routines.tav_utf8vld_new(), utf8_routines.tav_utf8vld_new()
    try:
        t_result = TABLE(t, data, len(stream))
        t_cur, _, t_state, _ = utf8_record(t)
        bad = first_rejected(stream)
        assert (t_result == -1) == (bad is not None) and (bad is None or bad == t_cur)
        routines = [*BLOCK_SET, "impl2", "impl4"]
        pos, result = 0, 0
        while pos < len(stream):
            n = min(len(stream) - pos, rng.choice([rng.randint(0, 40), rng.randint(16, 600), 4096]))
            kind = rng.choice(routines)
            if kind in BLOCK_SET:
                result = BLOCK_SET[kind](h, data + pos, n)
            else:
                utf8_routines.tav_utf8vld_set_impl(h, int(kind[-1]))
                result = utf8_routines.tav_utf8vld_validate(h, data + pos, n)
            cur, total, state, _ = utf8_record(h)
            if result == -1:
                assert bad is not None and pos <= bad < pos + n, (name, kind, pos, n)
                if kind in BLOCK_SET:
                    expect = consumed_at_rejection(bad - pos, (base + pos) % 16, n)
                else:
                    expect = bad - pos
                assert (cur, total, state) == (expect, pos + expect, REJECT), (name, kind)
                break
            assert (cur, total) == (n, pos + n)
            pos += n
        else:
            assert bad is None
            assert (result, state) == (t_result, t_state)
    finally:
        utf8_routines.tav_utf8vld_free(h)
        utf8_routines.tav_utf8vld_free(t)


def test_symbols_exported_but_not_bound() -> None:
    """Both routines resolve from the module's dynamic symbols; the binding keeps them out of `lib`."""
    so = ctypes.CDLL(UTF8_MODULE_FILE)
    for name in ("_tav_utf8vld_validate_sse2", "_tav_utf8vld_validate_sse4"):
        assert getattr(so, name)  # dlsym: the dynamic symbol table
        assert not hasattr(_tav_utf8check.lib, name)
        assert name not in dir(_tav_utf8check.lib)
