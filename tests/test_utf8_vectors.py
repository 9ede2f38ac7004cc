"""Published UTF-8 test vectors through both validators (table-driven and unrolled).

The files in tests/data are byte-exact copies; their provenance and licenses
are in tests/data/SOURCES.md and tests/data/README.md."""
from __future__ import annotations

import hashlib
import re
from pathlib import Path
from typing import Callable, NamedTuple, Optional

import pytest

pytest.importorskip("_tav_utf8check", reason="the cffi modules are not built for this interpreter")

from _tav_utf8check import lib
from support import first_rejected, rfc3629_status, utf8_routines, utf8_record

DATA = Path(__file__).resolve().parent / "data"


class Validator(NamedTuple):
    name: str
    run: Callable[[object, bytes], int]


def _dispatched(impl: int) -> Callable[[object, bytes], int]:
    def run(h: object, data: bytes) -> int:
        lib.tav_utf8vld_set_impl(h, impl)
        return lib.tav_utf8vld_validate(h, data, len(data))
    return run


VALIDATORS = (
    Validator("table", lambda h, d: utf8_routines._tav_utf8vld_validate_table(h, d, len(d))),
    Validator("unrolled", lambda h, d: utf8_routines._tav_utf8vld_validate_unrolled(h, d, len(d))),
    Validator("impl=4", _dispatched(4)),
    Validator("impl=2", _dispatched(2)),
)
IDS = [v.name for v in VALIDATORS]


@pytest.fixture
def handle():
    h = lib.tav_utf8vld_new()
    yield h
    lib.tav_utf8vld_free(h)


def rows(name: str) -> list[list[str]]:
    """The tab-separated rows of a data file, comment lines left out."""
    text = (DATA / name).read_text(encoding="utf-8")
    return [line.split("\t") for line in text.splitlines() if line and not line.startswith("#")]


def _opt(field: str) -> Optional[int]:
    return None if field == "-" else int(field)


def test_copies_match_the_listed_digests() -> None:
    """Every file SOURCES.md gives a size and sha256 for is present and unaltered."""
    listed = re.findall(r"^\| `([^`]+)` \|.*\| ([\d,]+) \| `([0-9a-f]{64})` \|$",
                        (DATA / "SOURCES.md").read_text(encoding="utf-8"), re.M)
    assert {name for name, _, _ in listed} == {"UTF-8-test.txt", "utf8tests.txt", "utf8tests.LICENSE.txt"}
    for name, size, digest in listed:
        blob = (DATA / name).read_bytes()
        assert len(blob) == int(size.replace(",", "")), name
        assert hashlib.sha256(blob).hexdigest() == digest, name


# --- Kuhn's stress test -------------------------------------------------------------

KUHN = (DATA / "UTF-8-test.txt").read_bytes()
KUHN_LINES = rows("UTF-8-test.lines.tsv")


def test_kuhn_line_table_describes_the_file() -> None:
    lines = KUHN.split(b"\n")
    assert lines[-1] == b"" and len(lines) - 1 == len(KUHN_LINES) == 300
    for (no, offset, length, _label, verdict, in_line, in_file), line in zip(KUHN_LINES, lines):
        assert KUHN[int(offset):int(offset) + int(length)] == line, no
        assert first_rejected(line) == _opt(in_line) == rfc3629_status(line)[1], no
        assert (verdict == "valid") == (in_line == "-") == (rfc3629_status(line)[0] == "complete"), no
        if in_line != "-":
            assert int(in_file) == int(offset) + int(in_line), no


@pytest.mark.parametrize("v", VALIDATORS, ids=IDS)
def test_kuhn_line_by_line(handle, v: Validator) -> None:
    for no, offset, length, _label, verdict, in_line, _in_file in KUHN_LINES:
        line = KUHN[int(offset):int(offset) + int(length)]
        lib.tav_utf8vld_reset(handle)
        result = v.run(handle, line)
        if verdict == "valid":
            assert (result, utf8_record(handle)[:3]) == (0, (len(line), len(line), 0)), no
        else:
            k = int(in_line)
            assert (result, utf8_record(handle)[:3]) == (-1, (k, k, 1)), no


@pytest.mark.parametrize("v", VALIDATORS, ids=IDS)
@pytest.mark.parametrize("piece", [None, 1, 7, 4096, "lines"], ids=str)
def test_kuhn_as_one_stream(handle, v: Validator, piece) -> None:
    """The whole file as one stream: first rejected byte at 4461 (line 75, the 5-byte F8 form)."""
    first = min(int(r[6]) for r in KUHN_LINES if r[6] != "-")
    assert first == 4461 == first_rejected(KUHN)
    if piece is None:
        chunks = [KUHN]
    elif piece == "lines":
        chunks = [line + b"\n" for line in KUHN.split(b"\n")[:-1]]
    else:
        chunks = [KUHN[i:i + piece] for i in range(0, len(KUHN), piece)]
    results, start = [], 0
    for c in chunks:
        results.append(v.run(handle, c))
        if results[-1] == -1:
            cur, total, state, _ = utf8_record(handle)
            assert (start + cur, total, state) == (4461, 4461, 1)
        start += len(c)
    assert results.count(-1) == 1
    k = results.index(-1)
    assert all(r in (0, 1) for r in results[:k]) and all(r == 1 for r in results[k + 1:])
    assert utf8_record(handle)[1] == 4461 + sum(len(c) for c in chunks[k + 1:])


# --- flenniken's test cases ---------------------------------------------------------

FLENNIKEN = rows("utf8tests.expectations.tsv")


def test_expectations_follow_the_source_file() -> None:
    """Each row's hex is the bytes of the same test line in utf8tests.txt, with the same label."""
    source: dict[str, tuple[str, bytes]] = {}
    for line in (DATA / "utf8tests.txt").read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = [f.strip() for f in line.split(":")]
        kind, data = fields[1], fields[2]
        raw = data.encode() if kind == "valid" else bytes.fromhex(data.replace(" ", ""))
        source[fields[0]] = (kind.split()[0], raw)
    assert len(FLENNIKEN) == len(source) == 222
    for ident, says, hexdata, _verdict, _off, _replace in FLENNIKEN:
        assert source[ident] == (says, bytes.fromhex(hexdata)), ident


@pytest.mark.parametrize("v", VALIDATORS, ids=IDS)
def test_flenniken_cases(handle, v: Validator) -> None:
    for ident, says, hexdata, verdict, off, _replace in FLENNIKEN:
        data = bytes.fromhex(hexdata)
        lib.tav_utf8vld_reset(handle)
        result = v.run(handle, data)
        cur, total, state, _ = utf8_record(handle)
        if verdict == "invalid":
            k = int(off)
            assert first_rejected(data) == k
            assert (result, cur, total, state) == (-1, k, k, 1), ident
        elif verdict == "incomplete":
            assert says == "invalid"  # the file counts a cut-short text as invalid
            assert (result, cur, total) == (1, len(data), len(data)) and 2 <= state <= 8, ident
        else:
            assert says == "valid" and verdict == "valid"
            assert (result, cur, total, state) == (0, len(data), len(data), 0), ident


# --- chunked streams ---------------------------------------------------------------

STREAMS = rows("stream_cases.tsv")


@pytest.mark.parametrize("switching", [False, True], ids=["fixed", "switching"])
@pytest.mark.parametrize("v", VALIDATORS, ids=IDS)
@pytest.mark.parametrize("case", STREAMS, ids=[r[0] for r in STREAMS])
def test_stream_cases(handle, v: Validator, switching: bool, case: list[str]) -> None:
    """Status after each chunk; with `switching`, every other chunk goes through the other routine."""
    name, chunks_hex, statuses, first, _note = case
    chunks = [bytes.fromhex(c) for c in chunks_hex.split("|")]
    statuses_ = statuses.split("|")
    assert len(chunks) == len(statuses_)
    other = VALIDATORS[IDS.index("unrolled" if v.name in ("table", "impl=4") else "table")]
    total = 0
    for i, (chunk, status) in enumerate(zip(chunks, statuses_)):
        run = other.run if switching and i % 2 else v.run
        result = run(handle, chunk)
        cur, total_now, state, _ = utf8_record(handle)
        if status.startswith("reject@"):
            k = int(status[len("reject@"):])
            assert (result, cur, state) == (-1, k, 1), (name, i)
            assert total_now == total + k == int(first), (name, i)
            total += k
            continue
        total += len(chunk)
        assert (cur, total_now) == (len(chunk), total), (name, i)
        want = {"complete": (0, 0), "after-reject": (1, 1)}.get(status)
        if want is not None:
            assert (result, state) == want, (name, i)
        else:
            assert status == "partial" and result == 1 and 2 <= state <= 8, (name, i)
