"""The SSSE3, AVX2 and AVX-512 vector validators as native callers reach them:
exported but not bound, exact like the table-driven routine on the documented
cases, on corpus texts cut into chunks with the routine switched between
chunks, and against guard pages. The bulk of the differential sweeps is the
native harness (tests/native/test_vector_validators.cpp)."""
from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Callable

import pytest

pytest.importorskip("_tav_utf8check", reason="the cffi modules are not built for this interpreter")

import _tav_utf8check
from support import UTF8_MODULE_FILE, X86_64, first_rejected, seeded, utf8_routines, utf8_ffi, utf8_record
from tav.bench import corpus_texts, find_corpus

TAV_CPU_SSSE3, TAV_CPU_AVX2, TAV_CPU_AVX512F, TAV_CPU_AVX512BW = 1 << 1, 1 << 3, 1 << 4, 1 << 5
FEATURES = utf8_routines.tav_cpu_features()

#: name -> the tav_cpu_features() bits it needs.
NEEDS = {"ssse3": TAV_CPU_SSSE3, "avx2": TAV_CPU_AVX2, "avx512": TAV_CPU_AVX512F | TAV_CPU_AVX512BW}
RUNNABLE = [k for k, bits in NEEDS.items() if FEATURES & bits == bits]
VECTORS = [
    pytest.param(k, marks=pytest.mark.skipif(
        k not in RUNNABLE, reason=f"the processor lacks what {k} needs (tav_cpu_features() = {FEATURES:#x})"))
    for k in NEEDS
]
TABLE = utf8_routines._tav_utf8vld_validate_table


def routine(name: str) -> Callable[..., int]:
    fn: Callable[..., int] = getattr(utf8_routines, "_tav_utf8vld_validate_" + name)
    return fn


@pytest.mark.skipif(not X86_64, reason="the vector validators exist on x86-64 only")
def test_exported_but_not_bound() -> None:
    """_tav_utf8routines binds the routines; the binding's `lib` keeps its eight functions."""
    for name in NEEDS:
        assert getattr(utf8_routines, "_tav_utf8vld_validate_" + name)
        assert not hasattr(_tav_utf8check.lib, "_tav_utf8vld_validate_" + name)
    assert len(dir(_tav_utf8check.lib)) == 8


A64, A100 = b"a" * 64, b"a" * 100
#: (entry bytes run by the table first, piece, result, current_index, total_index, state)
CASES = [
    (b"", b"\xed\xa0\x80", -1, 1, 1, 1),               # ED A0 rejects at A0
    (b"", b"\xe0\x80\x80", -1, 1, 1, 1),               # E0 80 at 80
    (b"", b"\xf4\x90\x80\x80", -1, 1, 1, 1),           # F4 90 at 90
    (b"", b"\xc0\x80", -1, 0, 0, 1),                   # C0 80 at C0, flagged by the vector check at 80
    (b"", A100 + b"\xed\xa0" + A64, -1, 101, 101, 1),
    (b"", b"a" * 63 + b"\xc0" + A64, -1, 63, 63, 1),   # an impossible lead ending a 64-byte block
    (b"", A100 + b"\xc1", -1, 100, 100, 1),            # ... ending the chunk
    (b"", A100 + b"\xf0\x9f", 1, 102, 102, 3),         # the carried state of a chunk's last character
    (b"\xe2\x82", b"\xac" + A100, 0, 101, 103, 0),
    (b"\xc3", A100, -1, 0, 1, 1),                      # a carried character broken by ASCII
    (b"ab\xff", A100, 1, 100, 102, 1),                 # a record already rejected
    (b"\xed", b"", 1, 0, 1, 5),
]


@pytest.mark.parametrize("name", VECTORS)
@pytest.mark.parametrize("entry,piece,result,current,total,state", CASES)
def test_documented_cases(name: str, entry: bytes, piece: bytes, result: int, current: int, total: int,
                          state: int) -> None:
    h = utf8_routines.tav_utf8vld_new()
    try:
        TABLE(h, entry, len(entry))
        assert routine(name)(h, piece, len(piece)) == result
        assert utf8_record(h) == (current, total, state, 4)
    finally:
        utf8_routines.tav_utf8vld_free(h)


def _mutated_streams() -> list[tuple[str, bytes]]:
    """Every corpus text as it is and with a few random bytes changed."""
    rng = seeded(13)
    out = []
    for name, text in corpus_texts(find_corpus()):
        out.append((name, text))
        for k in range(3):
            data = bytearray(text)
            for _ in range(rng.randint(1, 2)):
                data[rng.randrange(len(data))] = rng.choice([rng.randrange(256), 0x80, 0xC0, 0xED, 0xF5])
            out.append((f"{name}~{k}", bytes(data)))
    return out


@pytest.mark.skipif(not RUNNABLE, reason="the processor runs none of the vector validators")
@pytest.mark.parametrize("name,stream", _mutated_streams(), ids=lambda v: v if isinstance(v, str) else "")
def test_corpus_streams_switching_routines(name: str, stream: bytes) -> None:
    """Chunk by chunk, each chunk through a vector routine, the table or the
    unrolled routine picked at random: after every chunk the record is the
    table's on the same chunks, and a rejection lands on CPython's offset."""
    rng = seeded(len(stream))
    data = utf8_ffi.from_buffer(stream)
    picks = [routine(k) for k in RUNNABLE] + [TABLE, utf8_routines._tav_utf8vld_validate_unrolled]
    h, t = utf8_routines.tav_utf8vld_new(), utf8_routines.tav_utf8vld_new()
    bad = first_rejected(stream)
    try:
        pos = 0
        while pos < len(stream):
            n = min(len(stream) - pos, rng.choice([rng.randint(0, 70), rng.randint(60, 3000), 65536]))
            got = rng.choice(picks)(h, data + pos, n)
            assert (got, utf8_record(h)) == (TABLE(t, data + pos, n), utf8_record(t)), (name, pos, n)
            if got == -1:
                assert bad == pos + utf8_record(h)[0]
                break
            pos += n
        else:
            assert bad is None
    finally:
        utf8_routines.tav_utf8vld_free(h)
        utf8_routines.tav_utf8vld_free(t)


GUARD_CHILD = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, {tests!r})
    from support import PAGE, GuardedPage, utf8_routines, utf8_ffi, utf8_record, seeded

    names = {names!r}
    table = utf8_routines._tav_utf8vld_validate_table
    page = GuardedPage()
    rng = seeded(7)
    chars = ["a", "\\u00e9", "\\u20ac", "\\U0001f600", "\\U0010ffff"]
    h = utf8_routines.tav_utf8vld_new()
    t = utf8_routines.tav_utf8vld_new()

    def run(name, addr, n, entry):
        for r in (h, t):
            utf8_routines.tav_utf8vld_reset(r)
            table(r, entry, len(entry))
        got = getattr(utf8_routines, name)(h, utf8_ffi.cast("uint8_t *", addr), n)
        want = table(t, utf8_ffi.cast("uint8_t *", addr), n)
        assert (got, utf8_record(h)) == (want, utf8_record(t)), (name, addr % 64, n, entry)

    for n in list(range(201)) + [PAGE - 64, PAGE]:
        text = "".join(rng.choice(chars) for _ in range(n)).encode()[:n]
        for data in (b"a" * n, text, (text[:-1] + b"\\xc0")[:n]):
            for entry in (b"", b"\\xe2\\x82"):
                body = (b"\\xac" + data)[:n] if entry else data
                end = page.at_end(n)
                page.write(end, body)
                for name in names:
                    run(name, end, n, entry)
                start = page.at_start() + n % 64
                if start + n <= page.at_start() + PAGE:
                    page.write(start, body)
                    for name in names:
                        run(name, start, n, entry)
    print("ok")
    """
)


@pytest.mark.skipif(not RUNNABLE, reason="the processor runs none of the vector validators")
def test_guard_pages() -> None:
    """Pieces flush against inaccessible pages (run in a child process, so a
    fault fails this test): no byte outside the piece is read, and the
    record is the table's."""
    code = GUARD_CHILD.format(tests=str(Path(__file__).resolve().parent),
                              names=["_tav_utf8vld_validate_" + k for k in RUNNABLE])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", (proc.returncode, proc.stderr[-2000:])
