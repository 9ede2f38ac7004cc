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
from typing import Callable, Optional

import pytest

import _tav_utf8check
from support import (
    UTF8_MODULE_FILE,
    AlignedBuffer,
    first_rejected,
    seeded,
    utf8_abi,
    utf8_ffi,
    utf8_record,
)

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

TABLE = utf8_abi._tav_utf8vld_validate_table
BLOCK_NAMES = ["sse2", pytest.param("sse4", marks=needs_sse41)]
BLOCK: dict[str, Callable] = {
    "sse2": utf8_abi._tav_utf8vld_validate_sse2,
    "sse4": utf8_abi._tav_utf8vld_validate_sse4,
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


def ptr(address: int):
    return utf8_ffi.cast("uint8_t *", address)


def enter(handle, state: int, rng: random.Random) -> None:
    """Reset the record and drive it into `state` with real bytes through the table routine."""
    utf8_abi.tav_utf8vld_reset(handle)
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
def records():
    handles = [utf8_abi.tav_utf8vld_new() for _ in range(3)]
    yield handles
    for h in handles:
        utf8_abi.tav_utf8vld_free(h)


def check_piece(handles, state: int, lead_seed: int, data: bytes, residue: int,
                seen: Optional[set] = None) -> None:
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
    (t_r, t_cur, t_tot, t_state, t_before) = outcomes[0]
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


def test_every_length_residue_and_entry_state(records) -> None:
    """Lengths 0-200 x residues 0-15 x entry states 0-8, random contents with faults."""
    rng = seeded(20261210)
    seen: set = set()
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
