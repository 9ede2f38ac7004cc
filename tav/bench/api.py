"""Cost of the safe API beside the raw binding and its peers; the block-validator threshold; `tav check` on a large file.

    python -m tav.bench.api [--quick] [--corpus DIR]

Three tables:

1. Per-call cost in ns of Utf8Validator.validate and XorMasker.mask on 16-
   and 125-byte inputs of each kind, beside the raw binding call on the same
   input and the peers (bytes.decode, websockets' apply_mask, aiohttp's mask
   helper where importable). The ratio column is safe API / raw call.
2. Throughput of validate() per chunk size, 64 B to 64 KiB, through the
   unrolled routine and through the SSE2 block validator (each forced), on
   ASCII and non-ASCII text, and the crossover size the table suggests.
3. `tav check` on a ~64 MiB file made from the corpus texts, beside `isutf8`
   and `iconv -f UTF-8 -t UTF-8` (each skipped when absent), in GB/s.
"""
from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, List, Optional, Sequence, Tuple

import _tav_bytemask
import _tav_utf8check

import tav
from tav import _utf8, cli
from tav.bench import best_time, find_corpus, gbps, print_table

KEY = bytes.fromhex("37fa213d")
CHUNK_SIZES = [64 << k for k in range(11)]  # 64 B .. 64 KiB


def _ns(fn: Callable[[], object], min_time: float) -> float:
    return best_time(fn, min_time=min_time) * 1e9


def per_call_table(min_time: float) -> None:
    ulib, uffi = _tav_utf8check.lib, _tav_utf8check.ffi
    mlib = _tav_bytemask.lib
    u8 = uffi.typeof("uint8_t[]")
    handle = ulib.tav_utf8vld_new()
    ulib.tav_utf8vld_set_impl(handle, 2)
    mhandle = mlib.tav_xormask_new(KEY)
    validator = tav.Utf8Validator()
    masker = tav.XorMasker(KEY)
    peers = _mask_peers()

    rows: List[Tuple[object, ...]] = []
    for n in (16, 125):
        text = (b"The quick brown fox jumps over the lazy dog. " * 4)[:n]
        for kind, obj in (("bytes", text), ("bytearray", bytearray(text)), ("memoryview", memoryview(text))):
            if kind == "bytes":
                raw: Callable[[], object] = lambda: ulib.tav_utf8vld_validate(handle, text, n)
            else:
                raw = lambda o=obj: ulib.tav_utf8vld_validate(handle, uffi.from_buffer(u8, o), n)  # type: ignore[misc]
            t_raw = _ns(raw, min_time)
            t_api = _ns(lambda o=obj: validator.validate(o), min_time)  # type: ignore[misc]
            t_dec = _ns(lambda o=obj: str(o, "utf-8"), min_time)  # type: ignore[misc]
            rows.append((f"validate {kind}", n, t_api, t_raw, t_api / t_raw, "str(x, 'utf-8')", t_dec))
        for kind, buf in (("bytearray", bytearray(text)), ("memoryview", memoryview(bytearray(text)))):
            raw = lambda b=buf: mlib.tav_xormask_process(mhandle, uffi.from_buffer(u8, b, True), n)  # type: ignore[misc]
            t_raw = _ns(raw, min_time)
            t_api = _ns(lambda b=buf: masker.mask(b), min_time)  # type: ignore[misc]
            for peer, fn in peers:
                try:
                    fn(buf)
                    t_peer: Optional[float] = _ns(lambda: fn(buf), min_time)
                except TypeError:  # this peer does not take this kind
                    t_peer = None
                rows.append((f"mask {kind}", n, t_api, t_raw, t_api / t_raw, peer, t_peer))
            if not peers:
                rows.append((f"mask {kind}", n, t_api, t_raw, t_api / t_raw, None, None))
        t_masked = _ns(lambda: masker.masked(text), min_time)
        t_oneshot = _ns(lambda: tav.mask(KEY, text), min_time)
        t_valid = _ns(lambda: tav.is_valid_utf8(text), min_time)
        t_raw = _ns(lambda: ulib.tav_utf8vld_validate(handle, text, n), min_time)
        rows.append(("masked(bytes)", n, t_masked, None, None, "tav.mask(key, bytes)", t_oneshot))
        rows.append(("is_valid_utf8(bytes)", n, t_valid, t_raw, t_valid / t_raw, "bytes.decode", _ns(text.decode, min_time)))
    print_table(
        "Per-call cost, ns (best of 5); ratio = safe API / raw binding call on the same input",
        ["call", "bytes", "safe API", "raw call", "ratio", "peer", "peer ns"],
        rows,
    )
    ulib.tav_utf8vld_free(handle)
    mlib.tav_xormask_free(mhandle)


def _mask_peers() -> List[Tuple[str, Callable[[Any], object]]]:
    peers: List[Tuple[str, Callable[[Any], object]]] = []
    try:
        from websockets.speedups import apply_mask  # type: ignore[import-not-found,unused-ignore]

        peers.append(("websockets apply_mask (copy)", lambda b: apply_mask(b, KEY)))
    except ImportError:
        pass
    try:
        from aiohttp._websocket.helpers import websocket_mask  # type: ignore[import-not-found,unused-ignore]

        peers.append(("aiohttp websocket_mask", lambda b: websocket_mask(KEY, b)))
    except ImportError:
        pass
    return peers


def threshold_table(min_time: float, sizes: Sequence[int]) -> Optional[int]:
    """Print validate() throughput per chunk size on both paths; return the picked threshold."""
    if _utf8._block_validate is None:
        print("\nthe block validator is missing from this build: no threshold to pick")
        return None
    texts = {
        "ASCII": b"Lorem ipsum dolor sit amet, consectetur adipiscing elit. ",
        "non-ASCII": "Марс — четвёртая планета. 火星は太陽系の惑星。 ".encode(),
    }
    saved = _utf8._long_chunk
    rows: List[Tuple[object, ...]] = []
    try:
        for size in sizes:
            row: List[object] = [size]
            for name, unit in texts.items():
                chunk = _whole_characters(unit * (size // len(unit) + 1), size)
                v = tav.Utf8Validator()
                _utf8._long_chunk = 1 << 64
                t_unrolled = best_time(lambda: v.validate(chunk), min_time=min_time)
                _utf8._long_chunk = 0
                t_sse2 = best_time(lambda: v.validate(chunk), min_time=min_time)
                assert v.error_offset is None
                row += [gbps(len(chunk), t_unrolled), gbps(len(chunk), t_sse2), t_unrolled / t_sse2]
            rows.append(tuple(row))
    finally:
        _utf8._long_chunk = saved
    print_table(
        "validate() throughput by chunk size, GB/s: unrolled routine vs SSE2 block validator (with its record save)",
        ["chunk B", "ASCII unrl", "ASCII sse2", "speedup", "non-ASCII unrl", "non-ASCII sse2", "speedup"],
        rows,
    )
    # The smallest size at which, and at twice which, the block validator is
    # faster on ASCII and costs at most 5% on other text: WebSocket text is
    # mostly ASCII, where the block validator gains several times over.
    picked = None
    for i in range(len(rows) - 1):
        if all(r[3] >= 1.0 and r[6] >= 0.95 for r in rows[i : i + 2]):  # type: ignore[operator]
            picked = sizes[i]
            break
    print(f"crossover picked: {picked} B; BLOCK_VALIDATOR_THRESHOLD in force: {tav.BLOCK_VALIDATOR_THRESHOLD} B")
    return picked


def _whole_characters(data: bytes, size: int) -> bytes:
    """The longest prefix of data no longer than size that ends at a character boundary."""
    cut = size
    while cut > 0 and (data[cut] & 0xC0) == 0x80:
        cut -= 1
    return data[:cut]


def check_table(corpus: Optional[Path], size: int, repeat: int) -> None:
    texts = []
    if corpus is not None:
        texts = [p.read_bytes() for p in sorted(corpus.glob("*/*.txt")) if "vectors" not in p.parts]
    if not texts:
        texts = [("Mixed text: ascii, accents é à, Кириллица, 中文, emoji 😀.\n" * 2000).encode()]
    with tempfile.TemporaryDirectory() as tmp:
        files = {
            "corpus mix": _build(Path(tmp) / "mix.txt", texts, size),
            "ASCII": _build(Path(tmp) / "ascii.txt", [t for t in texts if t.isascii()] or [b"ascii only\n" * 1000], size),
        }
        rows: List[Tuple[object, ...]] = []
        for label, path in files.items():
            n = path.stat().st_size
            tav_inproc = _best(lambda: cli.main(["check", "-q", str(path)]), repeat)
            tools: List[Tuple[str, List[str]]] = [("tav check (python -m tav)", [sys.executable, "-m", "tav", "check", "-q", str(path)])]
            if shutil.which("isutf8"):
                tools.append(("isutf8", ["isutf8", "-q", str(path)]))
            if shutil.which("iconv"):
                tools.append(("iconv -f UTF-8 -t UTF-8", ["iconv", "-f", "UTF-8", "-t", "UTF-8", str(path)]))
            rows.append((label, "tav check (in process)", n >> 20, gbps(n, tav_inproc)))
            for name, cmd in tools:
                t = _best(lambda: subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True), repeat)
                rows.append((label, name, n >> 20, gbps(n, t)))
    print_table("Whole-file validation, GB/s (best of %d; the file is in the page cache)" % repeat,
                ["file", "tool", "MiB", "GB/s"], rows)


def _build(path: Path, texts: Sequence[bytes], size: int) -> Path:
    with open(path, "wb") as f:
        written = 0
        while written < size:
            for t in texts:
                f.write(t)
                written += len(t)
    return path


def _best(fn: Callable[[], object], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Print the three tables; --quick shortens every timing and the file to 16 MiB."""
    parser = argparse.ArgumentParser(prog="python -m tav.bench.api", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short timings, a 16 MiB file")
    parser.add_argument("--corpus", help="folder of the benchmark texts (default: ../shared/corpus)")
    args, _ = parser.parse_known_args(argv)
    min_time = 0.02 if args.quick else 0.2
    per_call_table(min_time)
    threshold_table(min_time, CHUNK_SIZES)
    check_table(find_corpus(args.corpus), (16 if args.quick else 64) << 20, 3 if args.quick else 5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
