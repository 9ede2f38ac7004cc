"""Validation throughput of _tav_utf8check beside CPython's decoders, measured in one run.

Every row validates the same corpus text, in 4 KiB or 64 KiB chunks (one call
per chunk, the record carried across) or as the whole file in one call:

- "table" and "unrolled": ``lib.tav_utf8vld_validate`` through the binding,
  with implementation number 4 and 2;
- "sse2" and "sse4": the native block validators ``_tav_utf8vld_validate_sse2``
  and ``_tav_utf8vld_validate_sse4``, and "ssse3", "avx2", "avx512": the
  vector validators ``_tav_utf8vld_validate_ssse3``, ``_avx2`` and
  ``_avx512``, none of which the binding exposes, called through
  ``_tav_utf8routines``, the module that binds them from the same library
  files ("-" when this build lacks the routine, or the processor what it
  needs);
- "incremental": ``codecs.getincrementaldecoder('utf-8')`` fed the same chunks;
- "decode": ``bytes.decode('utf-8')`` of the whole file, the baseline of the
  ratio columns in every table (decoding a chunk alone would fail on a
  character cut at its edge).

GB/s counts the bytes of the text. The rows are timed in turns, so a burst of
load elsewhere on the machine hits all of them alike, and each keeps its best
round. A last table gives the cost of one call on a 16-byte chunk.

``--plot FILE`` also draws GB/s against the chunk size (64 B to 1 MiB and the
whole file) for every routine and peer, one panel per text, with matplotlib
(the ``bench`` extra).

Run: ``python -m tav.bench.utf8 [--corpus DIR] [--quick] [--plot FILE]``.
"""
from __future__ import annotations

import argparse
import codecs
import importlib
import sys
from pathlib import Path
from typing import Any, Callable, Optional, Sequence

from tav.bench import gbps, interleaved_times, load_corpus, print_table

# Through importlib: the binding is generated at build time.
_module = importlib.import_module("_tav_utf8check")
ffi = _module.ffi
lib = _module.lib

CHUNK = 4096
#: Chunk sizes of the tables: 4 KiB, 64 KiB, and None for the whole file.
TABLE_CHUNKS: tuple[Optional[int], ...] = (4096, 65536, None)
#: Chunk sizes of the plot.
PLOT_CHUNKS: tuple[Optional[int], ...] = (64, 256, 1024, 4096, 16384, 65536, 262144, 1 << 20, None)

# The routines the binding leaves out, bound by the module built from the same
# library files.
_routines_module = importlib.import_module("_tav_utf8routines")
_native_ffi = _routines_module.ffi
_native: Any = _routines_module.lib

#: tav_cpu_features() bits each routine needs (tav_utf8check.h).
_NEEDS = {"_sse4": 1 << 2, "_ssse3": 1 << 1, "_avx2": 1 << 3, "_avx512": (1 << 4) | (1 << 5)}

#: A builder takes the chunks of one text and returns the callable to time
#: (one pass over the whole text, from a fresh stream) or None when the
#: routine is not available here.
Run = Callable[[], object]
Builder = Callable[[Sequence[bytes]], Optional[Run]]


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
    """The routine, or None when this build lacks it (or the processor what it needs)."""
    try:
        fn: Callable[..., int] = getattr(_native, symbol)
        features = int(_native.tav_cpu_features())
    except AttributeError:
        return None
    for suffix, bits in _NEEDS.items():
        if symbol.endswith(suffix) and features & bits != bits:
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


def _safe_api(chunks: Sequence[bytes]) -> Run:
    """The safe API as an application calls it (tav.Utf8Validator, on the backend in use)."""
    import tav

    v = tav.Utf8Validator()
    validate, reset = v.validate, v.reset

    def run() -> int:
        reset()
        for c in chunks:
            validate(c)
        return 0

    return run


#: (column, builder); the last one is the ratio baseline.
CASES: tuple[tuple[str, Builder], ...] = (
    ("table", _binding(4)),
    ("unrolled", _binding(2)),
    ("sse2", _block("_tav_utf8vld_validate_sse2")),
    ("sse4", _block("_tav_utf8vld_validate_sse4")),
    ("ssse3", _block("_tav_utf8vld_validate_ssse3")),
    ("avx2", _block("_tav_utf8vld_validate_avx2")),
    ("avx512", _block("_tav_utf8vld_validate_avx512")),
    ("tav", _safe_api),
    ("incremental", _incremental),
    ("decode", _decode),
)
RATIO_COLUMNS = ("unrolled", "sse4", "ssse3", "avx2", "avx512", "tav", "incremental")
#: Routines that the correctness check runs before timing.
CHECKED = ("table", "unrolled", "sse2", "sse4", "ssse3", "avx2", "avx512")


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
        ("table (routines module)", lambda d: native("_tav_utf8vld_validate_table", d)),
        ("sse2 (routines module)", lambda d: native("_tav_utf8vld_validate_sse2", d)),
        ("sse4 (routines module)", lambda d: native("_tav_utf8vld_validate_sse4", d)),
        ("ssse3 (routines module)", lambda d: native("_tav_utf8vld_validate_ssse3", d)),
        ("avx2 (routines module)", lambda d: native("_tav_utf8vld_validate_avx2", d)),
        ("avx512 (routines module)", lambda d: native("_tav_utf8vld_validate_avx512", d)),
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
            for label, build in CASES:
                if label not in CHECKED:
                    continue
                run = build(chunks)
                if run is not None and run() != 0:
                    problems.append(f"{label} does not accept {name} in pieces of {len(chunks[0])}")
    return problems


def chunked(data: bytes, size: Optional[int]) -> list[bytes]:
    """`data` in pieces of `size` bytes (the last one shorter), or whole for None."""
    if size is None:
        return [data]
    return [data[i:i + size] for i in range(0, len(data), size)] or [data]


def rates(data: bytes, size: Optional[int], min_time: float, rounds: int) -> dict[str, Optional[float]]:
    """GB/s of every case on `data` cut into `size`-byte chunks, timed side by side."""
    chunks = chunked(data, size)
    times = interleaved_times([build(chunks) for _, build in CASES], min_time, rounds)
    return dict(zip((label for label, _ in CASES), (None if t is None else gbps(len(data), t) for t in times)))


def _label(size: Optional[int]) -> str:
    if size is None:
        return "whole file per call"
    return f"{size // 1024} KiB chunks" if size >= 1024 else f"{size} B chunks"


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Print the throughput, ratio and per-call tables; returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m tav.bench.utf8", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--corpus", metavar="DIR", help="corpus folder (default: $TAV_CORPUS, else the short texts shipped with tav)")
    parser.add_argument("--quick", action="store_true", help="short timings, for a smoke run")
    parser.add_argument("--plot", metavar="FILE", help="also draw GB/s against chunk size into FILE (needs matplotlib)")
    args = parser.parse_args(list(argv) if argv is not None else None)
    loaded = load_corpus(args.corpus)
    if loaded is None:
        return 2
    root, texts = loaded
    pyplot: Any = None
    if args.plot:
        try:
            # An optional peer of the benchmark, imported only when asked for.
            importlib.import_module("matplotlib").use("Agg")
            pyplot = importlib.import_module("matplotlib.pyplot")
        except ImportError:
            print("--plot needs matplotlib: pip install 'tav[bench]' or pip install matplotlib", file=sys.stderr)
            return 2
    min_time, rounds = (0.003, 2) if args.quick else (0.02, 5)

    problems = _check(texts)
    for p in problems:
        print(f"ERROR: {p}", file=sys.stderr)

    print(f"corpus: {root}")
    print(f"processor features (tav_cpu_features): {int(_native.tav_cpu_features()):#x}")
    from tav._backend import NAME, routines

    print(f"safe API (column tav): backend {NAME}; validation: {routines()['validation']}")
    names = [label for label, _ in CASES]
    for size in TABLE_CHUNKS:
        rows: list[list[object]] = []
        for name, data in texts:
            r = rates(data, size, min_time, rounds)
            ratios = [_ratio(r[c], r["decode"]) for c in RATIO_COLUMNS]
            rows.append([name, f"{len(data) / 1024:.0f}", *(r[c] for c in names), *ratios])
        header = ["text", "KiB", *names, *(f"{c[:6]}/dec" for c in RATIO_COLUMNS)]
        print_table(f"UTF-8 validation, {_label(size)}: GB/s, then ratio to bytes.decode of the whole file "
                    "(above 1: faster)", header, rows)

    print_table("One call on a 16-byte chunk, ns (Python loop included; lower is better)",
                ["routine", "ASCII", "2-byte"], _per_call_rows(min_time, rounds))
    if pyplot is not None:
        _plot(pyplot, texts, args.plot, min_time, rounds)
        print(f"\nplot written to {args.plot}")
    return 1 if problems else 0


def _plot(pyplot: Any, texts: Sequence[tuple[str, bytes]], path: str, min_time: float, rounds: int) -> None:
    """GB/s against chunk size, one panel per text, one line per routine and peer."""
    cols = 3
    rows = (len(texts) + cols - 1) // cols
    fig, axes = pyplot.subplots(rows, cols, figsize=(5 * cols, 3.6 * rows), squeeze=False)
    for ax, (name, data) in zip(axes.flat, texts):
        sizes = [s for s in PLOT_CHUNKS if s is None or s < len(data)]
        xs = [len(data) if s is None else s for s in sizes]
        per_size = [rates(data, s, min_time, rounds) for s in sizes]
        for label, _ in CASES:
            ys = [r[label] for r in per_size]
            if label == "decode":  # one call on the whole file: a level, not a curve
                ax.axhline(ys[-1] or 0, color="black", linestyle="--", linewidth=1, label="bytes.decode (whole)")
            elif any(y is not None for y in ys):
                ax.plot(xs, [float("nan") if y is None else y for y in ys], marker="o", markersize=3, label=label)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_title(f"{name} ({len(data) // 1024} KiB)", fontsize=9)
        ax.set_xlabel("chunk size, bytes (last point: whole file)", fontsize=8)
        ax.set_ylabel("GB/s", fontsize=8)
        ax.grid(True, which="both", linewidth=0.3)
    for ax in list(axes.flat)[len(texts):]:
        ax.set_visible(False)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), fontsize=8)
    fig.suptitle("UTF-8 validation throughput against chunk size (one run, side by side)")
    fig.tight_layout(rect=(0, 0.04, 1, 0.97))
    fig.savefig(path, dpi=110)


def _ratio(rate: Optional[float], base: Optional[float]) -> Optional[float]:
    return None if rate is None or base is None else rate / base


if __name__ == "__main__":
    raise SystemExit(main())
