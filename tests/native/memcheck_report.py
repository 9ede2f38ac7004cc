"""Summarise memcheck XML logs; fail when an error has a frame in one of the tav modules.

Usage: python tests/native/memcheck_report.py LOG.xml...

Errors whose stacks stay inside the interpreter, cffi's backend or the C
library (CPython's own uninitialised-value reports under memcheck, reads of
struct padding by test helpers) are counted and listed by kind, but only
errors with a frame in a `_tav_*` shared object fail the check.
"""
from __future__ import annotations

import re
import sys
import xml.etree.ElementTree as ET
from collections import Counter
from pathlib import Path

OURS = "_tav_"


def frames(error: ET.Element) -> list[tuple[str, str]]:
    """(function, object file) of every frame of every stack of one error."""
    out = []
    for frame in error.iter("frame"):
        fn = frame.findtext("fn") or "?"
        obj = frame.findtext("obj") or "?"
        out.append((fn, obj))
    return out


def errors_in(path: str) -> list[ET.Element]:
    """The complete <error> records of one log.

    Forked children of the tests leave their log unterminated when they end
    with os._exit, so records are cut out one by one instead of parsing the
    whole document."""
    text = Path(path).read_text(encoding="utf-8", errors="replace")
    return [ET.fromstring(m.group(0)) for m in re.finditer(r"<error>.*?</error>", text, re.S)]


def main(paths: list[str]) -> int:
    """Print the summary; return 1 when an error has a frame in our modules."""
    ours: list[str] = []
    others: Counter[str] = Counter()
    for path in paths:
        for error in errors_in(path):
            kind = error.findtext("kind") or "?"
            if kind.startswith("Leak_"):
                continue
            stack = frames(error)
            if any(OURS in Path(obj).name for _, obj in stack):
                what = error.findtext("what") or error.findtext("xwhat/text") or kind
                trace = "\n".join(f"    {fn}  ({Path(obj).name})" for fn, obj in stack[:12])
                ours.append(f"{kind}: {what}\n{trace}")
            else:
                top = stack[0][0] if stack else "?"
                others[f"{kind} in {top}"] += 1
    print(f"memcheck: {len(paths)} logs (the interpreter and its forked children)")
    if others:
        print(f"memcheck: {sum(others.values())} errors outside the tav modules (not ours), by kind:")
        for what, count in others.most_common(12):
            print(f"  {count:5d}  {what}")
    if ours:
        print(f"memcheck: {len(ours)} errors with a frame in the tav modules:")
        for text in ours:
            print(text)
        return 1
    print("memcheck: no error with a frame in the tav modules")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
