"""Validation throughput of _tav_utf8check beside CPython's decoders, measured in one run.

Every row validates the same corpus text, either in 4 KiB chunks (one call per
chunk, the record carried across) or as the whole file in one call:

- "table" and "unrolled": ``lib.tav_utf8vld_validate`` through the binding,
  with implementation number 4 and 2;
- "sse2" and "sse4": the native block validators ``_tav_utf8vld_validate_sse2``
  and ``_tav_utf8vld_validate_sse4``, which the binding does not expose, called
  through a cffi ABI-mode view of the module's own shared object ("-" when the
  symbol is missing, or SSE4.1 when the processor lacks it);
- "incremental": ``codecs.getincrementaldecoder('utf-8')`` fed the same chunks;
- "decode": ``bytes.decode('utf-8')`` of the whole file, the baseline of the
  ratio columns in both tables (decoding a 4 KiB chunk alone would fail on a
  character cut at its edge).

GB/s counts the bytes of the text. The rows are timed in turns, so a burst of
load elsewhere on the machine hits all of them alike, and each keeps its best
round. A last table gives the cost of one call on a 16-byte chunk.

Run: ``python -m tav.bench.utf8 [--corpus DIR] [--quick]``.
"""
from __future__ import annotations

import argparse
import codecs
import importlib
import sys
from pathlib import Path
from typing import Any, Callable, Optional, Sequence

import cffi

from tav.bench import find_corpus, gbps, interleaved_times, print_table

# Through importlib: the binding is generated at build time.
_module = importlib.import_module("_tav_utf8check")
ffi = _module.ffi
lib = _module.lib

CHUNK = 4096
TEXT_DIRS = ("ascii", "lipsum", "wikipedia_mars")

# ABI-mode view of the module file: the routines the binding leaves out.
_native_ffi = cffi.FFI()
_native_ffi.cdef(
    """
    void *tav_utf8vld_new(void);
    void tav_utf8vld_free(void *handle);
    void tav_utf8vld_reset(void *handle);
    int _tav_utf8vld_validate_table(void *handle, uint8_t *data, size_t length);
    int _tav_utf8vld_validate_sse2(void *handle, uint8_t *data, size_t length);
    int _tav_utf8vld_validate_sse4(void *handle, uint8_t *data, size_t length);
    """
)
_native: Any = _native_ffi.dlopen(_module.__file__)

#: A builder takes the chunks of one text and returns the callable to time
#: (one pass over the whole text, from a fresh stream) or None when the
#: routine is not available here.
Run = Callable[[], object]
Builder = Callable[[Sequence[bytes]], Optional[Run]]


def _cpu_has(flag: str) -> bool:
    try:
        text = Path("/proc/cpuinfo").read_text(encoding="ascii", errors="replace")
    except OSError:
        return False
    return any(line.startswith("flags") and flag in line.split() for line in text.splitlines())


def _binding(impl: int) -> Builder:
    def build(chunks: Sequence[bytes]) -> Run:
        handle = ffi.gc(lib.tav_utf8vld_new(), lib.tav_utf8vld_free)
        lib.tav_utf8vld_set_impl(handle, impl)
        return _stream_run(lib.tav_utf8vld_validate, lib.tav_utf8vld_reset, handle, chunks)

    return build


def _stream_run(validate: Callable[..., int], reset: Callable[..., None], handle: object,
                chunks: Sequence[bytes]) -> Run:
    """One timed run: the record reset, then every chunk validated in turn."""
    pieces = [(c, len(c)) for c in chunks]

    def run() -> int:
        reset(handle)
        result = 0
        for c, n in pieces:
            result = validate(handle, c, n)
        return result

    return run


def _native_routine(symbol: str) -> Optional[Callable[..., int]]:
    """The exported routine, or None when the module lacks it (or the processor its ISA)."""
    if symbol.endswith("_sse4") and not _cpu_has("sse4_1"):
        return None
    try:
        fn: Callable[..., int] = getattr(_native, symbol)
    except AttributeError:
        return None
    return fn


def _block(symbol: str) -> Builder:
    def build(chunks: Sequence[bytes]) -> Optional[Run]:
        fn = _native_routine(symbol)
        if fn is None:
            return None
        handle = _native_ffi.gc(_native.tav_utf8vld_new(), _native.tav_utf8vld_free)
        return _stream_run(fn, _native.tav_utf8vld_reset, handle, chunks)

    return build


def _incremental(chunks: Sequence[bytes]) -> Run:
    decoder = codecs.getincrementaldecoder("utf-8")()

    def run() -> int:
        decoder.reset()
        for c in chunks:
            decoder.decode(c)
        decoder.decode(b"", True)
        return 0

    return run


def _decode(chunks: Sequence[bytes]) -> Run:
    whole = b"".join(chunks)

    def run() -> int:
        whole.decode("utf-8")
        return 0

    return run


#: (column, builder); the last one is the ratio baseline.
CASES: tuple[tuple[str, Builder], ...] = (
    ("table", _binding(4)),
    ("unrolled", _binding(2)),
    ("sse2", _block("_tav_utf8vld_validate_sse2")),
    ("sse4", _block("_tav_utf8vld_validate_sse4")),
    ("incremental", _incremental),
    ("decode", _decode),
)
RATIO_COLUMNS = ("table", "unrolled", "sse2", "sse4", "incremental")


def corpus_texts(root: Path) -> list[tuple[str, bytes]]:
    """(name relative to the corpus, bytes) of every text in the throughput folders."""
    texts = []
    for folder in TEXT_DIRS:
        for path in sorted((root / folder).glob("*.txt")):
            texts.append((f"{folder}/{path.name}", path.read_bytes()))
    return texts


def _per_call_rows(min_time: float, rounds: int) -> list[list[object]]:
    """ns for one call on a 16-byte chunk (Python loop included), ASCII and two-byte text."""
    ascii16, latin16 = b"0123456789abcdef", "\u00e9" * 8
    samples = (ascii16, latin16.encode())
    loop = range(1000)

    def binding(impl: int, data: bytes) -> Run:
        h = ffi.gc(lib.tav_utf8vld_new(), lib.tav_utf8vld_free)
        lib.tav_utf8vld_set_impl(h, impl)
        validate = lib.tav_utf8vld_validate

        def run() -> None:
            for _ in loop:
                validate(h, data, 16)

        return run

    def native(symbol: str, data: bytes) -> Optional[Run]:
        fn = _native_routine(symbol)
        if fn is None:
            return None
        h = _native_ffi.gc(_native.tav_utf8vld_new(), _native.tav_utf8vld_free)

        def run() -> None:
            for _ in loop:
                fn(h, data, 16)

        return run

    def incremental(data: bytes) -> Run:
        decode = codecs.getincrementaldecoder("utf-8")().decode

        def run() -> None:
            for _ in loop:
                decode(data)

        return run

    def decode(data: bytes) -> Run:
        def run() -> None:
            for _ in loop:
                data.decode("utf-8")

        return run

    def floor(data: bytes) -> Run:
        h = ffi.gc(lib.tav_utf8vld_new(), lib.tav_utf8vld_free)
        get_impl = lib.tav_utf8vld_get_impl

        def run() -> None:
            for _ in loop:
                get_impl(h)

        return run

    rows: tuple[tuple[str, Callable[[bytes], Optional[Run]]], ...] = (
        ("table (binding, impl 4)", lambda d: binding(4, d)),
        ("unrolled (binding, impl 2)", lambda d: binding(2, d)),
        ("table (ABI view)", lambda d: native("_tav_utf8vld_validate_table", d)),
        ("sse2 (ABI view)", lambda d: native("_tav_utf8vld_validate_sse2", d)),
        ("sse4 (ABI view)", lambda d: native("_tav_utf8vld_validate_sse4", d)),
        ("incremental decoder", incremental),
        ("bytes.decode", decode),
        ("binding floor: get_impl(h)", floor),
    )
    fns = [build(d) for _, build in rows for d in samples]
    times = interleaved_times(fns, min_time, rounds)
    out: list[list[object]] = []
    for i, (label, _) in enumerate(rows):
        pair = times[2 * i:2 * i + 2]
        out.append([label, *(None if t is None else t / len(loop) * 1e9 for t in pair)])
    return out


def _check(texts: Sequence[tuple[str, bytes]]) -> list[str]:
    """Every routine must accept every corpus text, in chunks and whole; the problems found."""
    problems = []
    for name, data in texts:
        for chunks in ([data[i:i + CHUNK] for i in range(0, len(data), CHUNK)], [data]):
            for label, build in CASES[:4]:
                run = build(chunks)
                if run is not None and run() != 0:
                    problems.append(f"{label} does not accept {name} in pieces of {len(chunks[0])}")
    return problems


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Print the throughput, ratio and per-call tables; returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m tav.bench.utf8", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--corpus", metavar="DIR", help="corpus folder (default: $TAV_CORPUS, else the short texts shipped with tav)")
    parser.add_argument("--quick", action="store_true", help="short timings, for a smoke run")
    args = parser.parse_args(list(argv) if argv is not None else None)
    try:
        root = find_corpus(args.corpus)
    except FileNotFoundError as e:
        print(e, file=sys.stderr)
        return 2
    texts = corpus_texts(root)
    if not texts:
        print(f"no texts under {root} ({', '.join(TEXT_DIRS)})", file=sys.stderr)
        return 2
    min_time, rounds = (0.003, 2) if args.quick else (0.02, 5)

    problems = _check(texts)
    for p in problems:
        print(f"ERROR: {p}", file=sys.stderr)

    print(f"corpus: {root}")
    names = [label for label, _ in CASES]
    for title, chunked in (("4 KiB chunks", True), ("whole file per call", False)):
        rows: list[list[object]] = []
        for name, data in texts:
            chunks = [data[i:i + CHUNK] for i in range(0, len(data), CHUNK)] if chunked else [data]
            times = interleaved_times([build(chunks) for _, build in CASES], min_time, rounds)
            rates = dict(zip(names, (None if t is None else gbps(len(data), t) for t in times)))
            ratios = [_ratio(rates[c], rates["decode"]) for c in RATIO_COLUMNS]
            rows.append([name, f"{len(data) / 1024:.0f}", *(rates[c] for c in names), *ratios])
        header = ["text", "KiB", *names, *(f"{c[:5]}/dec" for c in RATIO_COLUMNS)]
        print_table(f"UTF-8 validation, {title}: GB/s, then ratio to bytes.decode (above 1: faster)", header, rows)

    print_table("One call on a 16-byte chunk, ns (Python loop included; lower is better)",
                ["routine", "ASCII", "2-byte"], _per_call_rows(min_time, rounds))
    return 1 if problems else 0


def _ratio(rate: Optional[float], base: Optional[float]) -> Optional[float]:
    return None if rate is None or base is None else rate / base


if __name__ == "__main__":
    raise SystemExit(main())
