"""Benchmarks: figures measured side by side in one run, printed as tables.

Absolute times drift on shared machines; compare the ratios within one run."""
from __future__ import annotations

import os
import sys
import time
from pathlib import Path
from typing import Callable, Iterable, List, Optional, Sequence

#: The short texts shipped with tav, one per script (see its README.md).
SAMPLE_CORPUS = Path(__file__).resolve().parent / "corpus"


def find_corpus(explicit: Optional[str] = None) -> Path:
    """The corpus folder: the one given, else $TAV_CORPUS, else the bundled sample.

    A folder that is named but missing is an error (FileNotFoundError), so a
    typo never silently benchmarks the sample instead."""
    named = explicit or os.environ.get("TAV_CORPUS")
    if not named:
        return SAMPLE_CORPUS
    path = Path(named)
    if not path.is_dir():
        raise FileNotFoundError(f"corpus folder not found: {named}")
    return path.resolve()


#: The folders of the corpus that hold texts, as the validation benchmark reads them.
TEXT_DIRS = ("ascii", "lipsum", "wikipedia_mars")


def corpus_texts(root: Path) -> List[tuple[str, bytes]]:
    """(name relative to the corpus, bytes) of every text in the throughput folders."""
    texts = []
    for folder in TEXT_DIRS:
        for path in sorted((root / folder).glob("*.txt")):
            texts.append((f"{folder}/{path.name}", path.read_bytes()))
    return texts


def load_corpus(explicit: Optional[str]) -> Optional[tuple[Path, List[tuple[str, bytes]]]]:
    """The corpus find_corpus() names and its corpus_texts(); None, said on stderr, when there is none."""
    try:
        root = find_corpus(explicit)
    except FileNotFoundError as e:
        print(e, file=sys.stderr)
        return None
    texts = corpus_texts(root)
    if not texts:
        print(f"no texts under {root} ({', '.join(TEXT_DIRS)})", file=sys.stderr)
        return None
    return root, texts


def best_time(fn: Callable[[], object], *, min_time: float = 0.2, repeat: int = 5) -> float:
    """Best seconds per call of `fn` over `repeat` rounds of at least `min_time` each."""
    number = 1
    while True:  # calibrate the loop count
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= min_time / 4 or number >= 1 << 30:
            break
        number *= 4
    best = elapsed / number
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def interleaved_times(
    fns: Sequence[Optional[Callable[[], object]]], min_time: float, rounds: int
) -> List[Optional[float]]:
    """Best seconds per call of each function (None stays None).

    Each round runs every function once for its calibrated loop count, so
    the rows share whatever the machine is doing at the time and their
    ratios hold even when absolute times drift."""
    loops: List[int] = []
    for fn in fns:
        number = 1
        while fn is not None:
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            if time.perf_counter() - t0 >= min_time or number >= 1 << 30:
                break
            number *= 2
        loops.append(number)
    best: List[Optional[float]] = [None] * len(fns)
    for _ in range(rounds):
        for i, (fn, number) in enumerate(zip(fns, loops)):
            if fn is None:
                continue
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            t = (time.perf_counter() - t0) / number
            prev = best[i]
            best[i] = t if prev is None else min(prev, t)
    return best


def gbps(nbytes: int, seconds: float) -> float:
    return nbytes / seconds / 1e9


def print_table(title: str, header: Sequence[str], rows: Iterable[Sequence[object]]) -> None:
    """Print a plain aligned table; floats with two decimals."""
    cells = [[_fmt(c) for c in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in cells)) if cells else len(h) for i, h in enumerate(header)]
    print(f"\n{title}")
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(header, widths))))
    for r in cells:
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))))


def _fmt(c: object) -> str:
    if isinstance(c, float):
        return f"{c:.2f}"
    return "-" if c is None else str(c)
