"""Decoding UTF-8 into str: tav.decode_utf8 and tav.Utf8Decoder beside CPython's decoders, in one run.

Tables, every row against CPython on the same bytes:

- whole texts of the corpus: ``bytes.decode``, ``tav.decode_utf8`` as the
  safe API chooses, and (native backend) ``decode_utf8`` with each routine
  family forced ("-" where the processor lacks it); a Latin-1-only text is
  made from the French article, less its characters above U+00FF;
- 4 KiB and 64 KiB chunks through ``tav.Utf8Decoder`` against
  ``codecs.getincrementaldecoder("utf-8")``;
- short messages of 16 and 125 B, ns per call (Python loop included);
- masked payloads: ``decode_utf8(payload, mask=key)`` against
  ``tav.mask(key, payload).decode()``.

Timing: the contenders of a row run in turns, each for a calibrated loop, over
several rounds; each keeps the median of its rounds, in thread CPU time, so
that load elsewhere on a shared machine hits all of them alike.

``--plot FILE`` draws decode GB/s per text for ``bytes.decode`` and each
routine (matplotlib, the ``bench`` extra; without it the plot is skipped with
a message).

Run: ``python -m tav.bench.decode [--corpus DIR] [--quick] [--plot FILE]``.
"""
from __future__ import annotations

import argparse
import codecs
import importlib
import statistics
import sys
import time
from pathlib import Path
from typing import Any, Callable, List, Optional, Sequence, Tuple

import tav
from tav import _backend, _cpu
from tav.bench import load_corpus, print_table

#: The native decoder's routine families on this architecture, in order of width.
FAMILIES = ("scalar", "neon") if _cpu.AARCH64 else ("scalar", "ssse3", "avx2", "avx512")
KEY = bytes.fromhex("37fa213d")
SHORT = (16, 125)

Run = Callable[[], object]


class Contender:
    """A callable to time, and what must be set before each of its batches (the routine switch)."""

    def __init__(self, label: str, run: Optional[Run], before: Optional[Callable[[], object]] = None) -> None:
        self.label, self.run, self.before = label, run, before


def _native() -> Any:
    return importlib.import_module("_tav_native") if _backend.NAME == "native" else None


def _forced(family: str) -> Optional[Callable[[], object]]:
    """A setter of the native routine switch to `family`, or None where it cannot run."""
    native = _native()
    if native is None or family not in FAMILIES[: FAMILIES.index(native.DECODE_ROUTINE) + 1]:
        return None
    return lambda: native._force_decode(family)


def _auto() -> Optional[Callable[[], object]]:
    native = _native()
    return None if native is None else (lambda: native._force_decode("auto"))


def medians(contenders: Sequence[Contender], min_time: float, rounds: int) -> List[Optional[float]]:
    """Median seconds (thread CPU time) per run of each contender, the contenders taking turns."""
    loops: List[int] = []
    for c in contenders:
        number = 1
        while c.run is not None:
            if c.before is not None:
                c.before()
            t0 = time.thread_time()
            for _ in range(number):
                c.run()
            if time.thread_time() - t0 >= min_time or number >= 1 << 24:
                break
            number *= 2
        loops.append(number)
    samples: List[List[float]] = [[] for _ in contenders]
    for _ in range(rounds):
        for c, number, out in zip(contenders, loops, samples):
            if c.run is None:
                continue
            if c.before is not None:
                c.before()
            t0 = time.thread_time_ns()
            for _ in range(number):
                c.run()
            out.append((time.thread_time_ns() - t0) / 1e9 / number)
    restore = _auto()
    if restore is not None:
        restore()
    return [statistics.median(s) if s else None for s in samples]


def with_latin1(texts: List[Tuple[str, bytes]]) -> List[Tuple[str, bytes]]:
    """The corpus texts by their short names, plus a Latin-1-only text made from the French article."""
    out = [(Path(name).name.replace(".utf8.txt", "").replace(".txt", ""), data) for name, data in texts]
    french = dict(texts).get("wikipedia_mars/french.utf8.txt")
    if french is not None:
        text = french.decode("utf-8")
        out.append(("latin-1 (french)", "".join(c for c in text if ord(c) <= 0xFF).encode()))
    return out


def _ratio(t: Optional[float], base: Optional[float]) -> Optional[float]:
    """How many times faster than the base (above 1: faster)."""
    return None if t is None or base is None else base / t


def _gbps(n: int, t: Optional[float]) -> Optional[float]:
    return None if t is None else n / t / 1e9


# --- whole texts -------------------------------------------------------------------------------

def whole_contenders(data: bytes) -> List[Contender]:
    decode_utf8 = tav.decode_utf8
    rows = [
        Contender("bytes.decode", lambda: data.decode()),
        Contender("tav", lambda: decode_utf8(data), _auto()),
    ]
    native = _native()
    for family in FAMILIES:
        before = _forced(family)
        rows.append(Contender(family, None if before is None else (lambda: native.decode_utf8(data)), before))
    return rows


def whole_table(texts: Sequence[Tuple[str, bytes]], min_time: float, rounds: int) -> List[List[Any]]:
    """Per text: GB/s of each contender, then each one's ratio to bytes.decode."""
    out = []
    for name, data in texts:
        contenders = whole_contenders(data)
        times = medians(contenders, min_time, rounds)
        out.append([name, f"{len(data) / 1024:.0f}", *(_gbps(len(data), t) for t in times),
                    *(_ratio(t, times[0]) for t in times[1:])])
    return out


# --- chunks through the incremental decoders ------------------------------------------------------

def _stream(decoder: Any, chunks: Sequence[bytes]) -> Run:
    decode, reset = decoder.decode, decoder.reset

    def run() -> None:
        reset()
        for c in chunks:
            decode(c)
        decode(b"", True)

    return run


def chunk_table(texts: Sequence[Tuple[str, bytes]], size: int, min_time: float, rounds: int) -> List[List[Any]]:
    out = []
    for name, data in texts:
        chunks = [data[i:i + size] for i in range(0, len(data), size)]
        contenders = [
            Contender("codecs", _stream(codecs.getincrementaldecoder("utf-8")(), chunks)),
            Contender("tav.Utf8Decoder", _stream(tav.Utf8Decoder(), chunks), _auto()),
        ]
        times = medians(contenders, min_time, rounds)
        out.append([name, *(_gbps(len(data), t) for t in times), _ratio(times[1], times[0])])
    return out


# --- short messages ----------------------------------------------------------------------------------

LOOP = range(1000)


def _short_samples() -> List[Tuple[str, bytes]]:
    ascii_text = b"Mars is red; its sky is butterscotch. " * 8
    cyrillic = ("Марс красный, небо его цвета ириски. " * 8).encode()
    out = []
    for n in SHORT:
        out.append((f"ASCII {n} B", ascii_text[:n]))
        # n bytes, whole characters (an odd n ends with one ASCII byte)
        cut = cyrillic[:n]
        while True:
            try:
                cut.decode()
                break
            except UnicodeDecodeError:
                cut = cut[:-1]
        out.append((f"Cyrillic {n} B", (cut + b"!" * n)[:n]))
    return out


def short_contenders(data: bytes) -> List[Contender]:
    decode_utf8 = tav.decode_utf8
    ours, theirs = tav.Utf8Decoder(), codecs.getincrementaldecoder("utf-8")()

    def decode() -> None:
        for _ in LOOP:
            data.decode()

    def tav_decode() -> None:
        for _ in LOOP:
            decode_utf8(data)

    def method(dec: Any) -> Run:
        d = dec.decode

        def run() -> None:
            for _ in LOOP:
                d(data)

        return run

    return [Contender("bytes.decode", decode), Contender("tav.decode_utf8", tav_decode, _auto()),
            Contender("codecs incremental", method(theirs)), Contender("Utf8Decoder", method(ours), _auto())]


def short_table(min_time: float, rounds: int) -> List[List[Any]]:
    out = []
    for name, data in _short_samples():
        contenders = short_contenders(data)
        times = medians(contenders, min_time, rounds)
        ns = [None if t is None else t / len(LOOP) * 1e9 for t in times]
        out.append([name, *ns, None if ns[1] is None or ns[0] is None else ns[1] / ns[0],
                    None if ns[3] is None or ns[2] is None else ns[3] / ns[2]])
    return out


# --- masked payloads ----------------------------------------------------------------------------------

def masked_table(texts: Sequence[Tuple[str, bytes]], min_time: float, rounds: int) -> List[List[Any]]:
    out = []
    mask, decode_utf8 = tav.mask, tav.decode_utf8
    for name, data in texts:
        payload = mask(KEY, data)
        contenders = [Contender("mask, then decode", lambda: mask(KEY, payload).decode()),
                      Contender("decode_utf8(mask=)", lambda: decode_utf8(payload, mask=KEY), _auto())]
        times = medians(contenders, min_time, rounds)
        out.append([name, *(_gbps(len(data), t) for t in times), _ratio(times[1], times[0])])
    return out


# --- the run ----------------------------------------------------------------------------------------

def processor() -> str:
    """The processor's model name where the system tells it, and the features tav uses."""
    model = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    from tav import _cpu

    return f"{model or 'unknown model'}; features: {' '.join(_cpu.names()) or 'none used'}"


def check(texts: Sequence[Tuple[str, bytes]]) -> List[str]:
    """Every contender must give bytes.decode's str on every text; the problems found."""
    problems = []
    for name, data in texts:
        want = data.decode()
        for c in whole_contenders(data):
            if c.run is None:
                continue
            if c.before is not None:
                c.before()
            if c.run() != want:
                problems.append(f"{c.label} does not decode {name} as bytes.decode does")
        if tav.decode_utf8(tav.mask(KEY, data), mask=KEY) != want:
            problems.append(f"decode_utf8(mask=) does not decode {name}")
    restore = _auto()
    if restore is not None:
        restore()
    return problems


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Print the tables (and draw the plot); returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m tav.bench.decode", description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--corpus", metavar="DIR", help="corpus folder (default: $TAV_CORPUS, else the short texts shipped with tav)")
    parser.add_argument("--quick", action="store_true", help="short timings, for a smoke run")
    parser.add_argument("--plot", metavar="FILE", help="also draw decode GB/s per text into FILE (needs matplotlib)")
    args = parser.parse_args(list(argv) if argv is not None else None)
    loaded = load_corpus(args.corpus)
    if loaded is None:
        return 2
    root, found = loaded
    texts = with_latin1(found)
    min_time, rounds = (0.002, 3) if args.quick else (0.02, 9)

    problems = check(texts)
    for p in problems:
        print(f"ERROR: {p}", file=sys.stderr)
    native = _native()
    print(f"corpus: {root}")
    print(f"processor: {processor()}")
    print(f"Python {sys.version.split()[0]}; backend {_backend.NAME}; decoder routine of tav (auto): "
          f"{native.DECODE_ROUTINE if native is not None else 'CPython decoder'}")
    print(f"timing: medians of {rounds} interleaved rounds, thread CPU time")

    whole = whole_table(texts, min_time, rounds)
    labels = ["bytes.decode", "tav", *FAMILIES]
    print_table("Whole texts: GB/s, then speed-up over bytes.decode (above 1: faster)",
                ["text", "KiB", *labels, *(f"{c}/dec" for c in labels[1:])], whole)
    for size in (4096, 65536):
        print_table(f"Utf8Decoder in {size // 1024} KiB chunks: GB/s, then speed-up over codecs' incremental decoder",
                    ["text", "codecs", "tav", "tav/codecs"], chunk_table(texts, size, min_time, rounds))
    print_table("Short messages: ns per call (Python loop included; lower is better), then time ratios",
                ["message", "bytes.decode", "decode_utf8", "codecs incr.", "Utf8Decoder", "utf8/dec", "Utf8D/codecs"],
                short_table(min_time, rounds))
    print_table("Masked payloads: GB/s, then speed-up of one pass over tav.mask followed by decode",
                ["text", "mask+decode", "decode_utf8(mask=)", "speed-up"], masked_table(texts, min_time, rounds))
    if args.plot:
        try:
            importlib.import_module("matplotlib").use("Agg")
            pyplot = importlib.import_module("matplotlib.pyplot")
        except ImportError:
            print("\n--plot skipped: it needs matplotlib (pip install 'tav[bench]' or pip install matplotlib)")
        else:
            plot(pyplot, whole, labels, args.plot)
            print(f"\nplot written to {args.plot}")
    return 1 if problems else 0


def plot(pyplot: Any, whole: Sequence[Sequence[Any]], labels: Sequence[str], path: str) -> None:
    """Grouped bars: GB/s per text for bytes.decode, the safe API's choice and each routine."""
    fig, ax = pyplot.subplots(figsize=(max(8.0, 1.1 * len(whole)), 4.5))
    width = 0.8 / len(labels)
    for j, label in enumerate(labels):
        ys = [row[2 + j] for row in whole]
        xs = [i + (j - (len(labels) - 1) / 2) * width for i in range(len(whole))]
        ax.bar(xs, [0.0 if y is None else y for y in ys], width, label=label)
    ax.set_xticks(range(len(whole)))
    ax.set_xticklabels([row[0] for row in whole], rotation=30, ha="right", fontsize=8)
    ax.set_ylabel("GB/s of UTF-8 decoded into str")
    ax.set_title("Decoding whole texts into str (one run, side by side)")
    ax.legend(fontsize=8)
    ax.grid(True, axis="y", linewidth=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    raise SystemExit(main())
