"""Cut the fuzzers' seed inputs out of the shared corpus (fixed offsets, so reruns give the same files).

Usage: python fuzz/make_seeds.py CORPUS_DIR   (CORPUS_DIR holds lipsum/, wikipedia_mars/, vectors/)
"""
from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# (source file, [(offset, length), ...]); offsets fall anywhere, also inside
# a character, so some seeds begin or end mid-sequence.
UTF8_CUTS: list[tuple[str, list[tuple[int, int]]]] = [
    (f"lipsum/{name}-Lipsum.utf8.txt", [(1000, 700), (20001, 2500)])
    for name in ("Arabic", "Chinese", "Emoji", "Hebrew", "Hindi", "Japanese", "Korean", "Latin", "Russian")
] + [
    ("wikipedia_mars/french.utf8.txt", [(0, 1200), (100000, 3000), (300003, 4000)]),
    ("wikipedia_mars/russian.utf8.txt", [(0, 1500), (150000, 3000), (250001, 4000)]),
    # Kuhn's stress test: malformed sequences, overlongs, surrogates, boundaries.
    ("vectors/UTF-8-test.txt", [(k * 3806, 3806) for k in range(6)]),
]

MASK_CUTS: list[tuple[str, list[tuple[int, int]]]] = [
    ("lipsum/Latin-Lipsum.utf8.txt", [(5000, 300), (9000, 1024)]),
    ("lipsum/Emoji-Lipsum.utf8.txt", [(777, 2049)]),
    ("wikipedia_mars/french.utf8.txt", [(200000, 3000)]),
    ("wikipedia_mars/russian.utf8.txt", [(12345, 517), (50000, 4000)]),
    ("vectors/UTF-8-test.txt", [(0, 1500), (15000, 2500)]),
]


def cut(corpus: Path, cuts: list[tuple[str, list[tuple[int, int]]]], dest: Path) -> int:
    """Write each cut as its own file in dest; returns the bytes written."""
    dest.mkdir(parents=True, exist_ok=True)
    total = 0
    for rel, pieces in cuts:
        data = (corpus / rel).read_bytes()
        stem = Path(rel).name.split(".")[0].lower()
        for offset, length in pieces:
            piece = data[offset:offset + length]
            (dest / f"{stem}-{offset}-{len(piece)}").write_bytes(piece)
            total += len(piece)
    return total


def main(argv: list[str]) -> int:
    """Entry point: cut both seed sets and print their sizes."""
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    corpus = Path(argv[1])
    for name, cuts in (("utf8", UTF8_CUTS), ("mask", MASK_CUTS)):
        size = cut(corpus, cuts, HERE / "seeds" / name)
        print(f"fuzz/seeds/{name}: {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
