"""Per-call cost of the safe API on both backends beside the peers; thresholds; `tav check` on a large file.

    python -m tav.bench.api [--quick] [--corpus DIR]

1. Per-call cost in ns, by payload size (0 B to 1 MiB), of the native
   backend (_tav_native), the cffi backend (tav._utf8, tav._mask) and the
   peers where installed (aiohttp's mask helper, websockets' apply_mask,
   bytes.decode), beside an empty C call as the floor. Each call is timed in
   a compiled loop of direct calls on local names, as a stack's receive loop
   makes them; all rows of one size are timed interleaved, so their ratios
   hold while the machine's speed drifts. Then the goals, as ratios.
2. Where the native backend's thresholds come from: validate() throughput by
   chunk size through the unrolled routine and the SSE2 block validator
   (each forced), and the cost of releasing the interpreter lock per call.
3. `tav check` on a ~64 MiB file made from the corpus texts, beside `isutf8`
   and `iconv -f UTF-8 -t UTF-8` (each skipped when absent), in GB/s.
"""
from __future__ import annotations

import argparse
import importlib
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from tav import _mask as cffi_mask
from tav import _utf8 as cffi_utf8
from tav import cli
from tav.bench import find_corpus, gbps, interleaved_times, print_table

try:
    import _tav_native as _native
except ImportError:  # not built for this interpreter: the cffi rows stand alone
    _native = None  # type: ignore[assignment]

KEY = bytes.fromhex("37fa213d")
SIZES = (0, 16, 125, 1024, 65536, 1 << 20)
QUICK_SIZES = (0, 16, 125, 1024, 65536)
CHUNK_SIZES = [1, 8, 15, 16, 24, 32, 64, 128, 256, 512, 1024, 4096, 16384, 65536]
CYRILLIC = "Съешь же ещё этих мягких французских булок, да выпей чаю. ".encode()
ASCII = b"The quick brown fox jumps over the lazy dog; pack my box with five dozen jugs. "
MIXED = '{"user": "Алиса", "text": "привет, how are you? 👋", "id": 12345} '.encode()

#: A row: its label, and a builder that takes the payload size and returns the
#: statement to time with the names it uses, or None when a backend or peer is missing.
Case = Tuple[str, Optional[Tuple[str, Dict[str, Any]]]]


def text(unit: bytes, n: int) -> bytes:
    """n bytes of `unit` repeated, cut at a character boundary and padded with ASCII to exactly n."""
    full = unit * (n // len(unit) + 2)
    cut = n
    while cut > 0 and full[cut] & 0xC0 == 0x80:  # full[cut] continues a character begun before n
        cut -= 1
    return full[:cut] + b"x" * (n - cut)


def loop(stmt: str, names: Dict[str, Any], k: int) -> Callable[[], object]:
    """A function running `stmt` k times on local names, compiled so that only the call is paid."""
    params = ", ".join(f"{name}={name}" for name in names)
    src = f"def run({params}, _range=range({k})):\n    for _ in _range:\n        {stmt}\n"
    namespace: Dict[str, Any] = dict(names)
    exec(src, namespace)
    run: Callable[[], object] = namespace["run"]
    return run


def _peer(module: str, name: str) -> Optional[Callable[..., object]]:
    """A peer's function as a black box, or None when its package is not installed."""
    try:
        fn: Callable[..., object] = getattr(importlib.import_module(module), name)
    except (ImportError, AttributeError):
        return None
    return fn


def _peers() -> Tuple[Optional[Callable[..., object]], Optional[Callable[..., object]], str]:
    apply_mask = _peer("websockets.speedups", "apply_mask")
    websocket_mask = _peer("aiohttp._websocket.helpers", "websocket_mask")
    label = "aiohttp websocket_mask"
    if websocket_mask is not None and "cython" not in getattr(websocket_mask, "__name__", ""):
        label += " (pure Python)"
    return apply_mask, websocket_mask, label


def mask_cases(n: int) -> List[Case]:
    nat = _native
    apply_mask, websocket_mask, aiohttp_label = _peers()
    ba, data, key = bytearray(text(ASCII, n)), text(ASCII, n), bytes(KEY)
    cases: List[Case] = [("empty C call len(b) (floor)", ("len(b)", {"b": b""}))]

    def row(label: str, stmt: str, available: object, **names: Any) -> None:
        cases.append((label, (stmt, dict(names, key=key, ba=ba, data=data)) if available is not None else None))

    row("in place, fresh key: native mask_in_place(key, ba)", "f(key, ba)", nat, f=nat and nat.mask_in_place)
    row("in place, fresh key: native websocket_mask(key, ba)", "f(key, ba)", nat, f=nat and nat.websocket_mask)
    row(f"in place, fresh key: {aiohttp_label}(key, ba)", "f(key, ba)", websocket_mask, f=websocket_mask)
    row("in place, fresh key: native m.reset(key); m.mask(ba)", "m.reset(key); m.mask(ba)", nat,
        m=nat and nat.XorMasker(KEY))
    row("in place, object per frame: native XorMasker(key).mask(ba)", "C(key).mask(ba)", nat, C=nat and nat.XorMasker)
    row("in place, object per frame: cffi XorMasker(key).mask(ba)", "C(key).mask(ba)", True, C=cffi_mask.XorMasker)
    row("in place, pre-built: native m.mask(ba)", "m.mask(ba)", nat, m=nat and nat.XorMasker(KEY))
    row("in place, pre-built: cffi m.mask(ba)", "m.mask(ba)", True, m=cffi_mask.XorMasker(KEY))
    row("new bytes, fresh key: native mask(key, data)", "f(key, data)", nat, f=nat and nat.mask)
    row("new bytes, fresh key: native apply_mask(data, key)", "f(data, key)", nat, f=nat and nat.apply_mask)
    row("new bytes, fresh key: websockets apply_mask(data, key)", "f(data, key)", apply_mask, f=apply_mask)
    row("new bytes, fresh key: cffi mask(key, data)", "f(key, data)", True, f=cffi_mask.mask)
    row("new bytes, pre-built: native m.masked(data)", "m.masked(data)", nat, m=nat and nat.XorMasker(KEY))
    row("new bytes, pre-built: cffi m.masked(data)", "m.masked(data)", True, m=cffi_mask.XorMasker(KEY))
    return cases


def utf8_cases(n: int) -> List[Case]:
    nat = _native
    cases: List[Case] = [("empty C call len(b) (floor)", ("len(b)", {"b": b""}))]
    for script, unit in (("ASCII", ASCII), ("Cyrillic", CYRILLIC)):
        data = text(unit, n)
        assert len(data) == n and len(data.decode()) <= n  # whole characters, exactly n bytes
        cases += [
            (f"{script}: bytes.decode()", ("data.decode()", {"data": data})),
            (f"{script}: native v.validate(data)", ("v.validate(data)", {"v": nat.Utf8Validator(), "data": data}) if nat else None),
            (f"{script}: cffi v.validate(data)", ("v.validate(data)", {"v": cffi_utf8.Utf8Validator(), "data": data})),
            (f"{script}: native is_valid_utf8(data)", ("f(data)", {"f": nat.is_valid_utf8, "data": data}) if nat else None),
            (f"{script}: cffi is_valid_utf8(data)", ("f(data)", {"f": cffi_utf8.is_valid_utf8, "data": data})),
        ]
    return cases


def creation_cases() -> List[Case]:
    nat = _native
    return [
        ("empty C call len(b) (floor)", ("len(b)", {"b": b""})),
        ("native Utf8Validator()", ("C()", {"C": nat.Utf8Validator}) if nat else None),
        ("cffi Utf8Validator()", ("C()", {"C": cffi_utf8.Utf8Validator})),
        ("native XorMasker(key)", ("C(key)", {"C": nat.XorMasker, "key": KEY}) if nat else None),
        ("cffi XorMasker(key)", ("C(key)", {"C": cffi_mask.XorMasker, "key": KEY})),
    ]


def _repeats(n: int) -> int:
    """Calls per compiled loop: many for small payloads, so the loop's own cost is spread thin."""
    return max(1, min(1000, (1 << 20) // (n + 256)))


def time_cases(cases: List[Case], n: int, min_time: float, rounds: int) -> List[Optional[float]]:
    """ns per call of each case, timed interleaved."""
    k = _repeats(n)
    fns = [loop(c[0], c[1], k) if c is not None else None for _, c in cases]
    times = interleaved_times(fns, min_time, rounds)
    return [t * 1e9 / k if t is not None else None for t in times]


def per_call_tables(sizes: Sequence[int], min_time: float, rounds: int) -> Dict[Tuple[str, int], float]:
    """Print the masking, validation and creation tables; return {(row label, size): ns}."""
    found: Dict[Tuple[str, int], float] = {}
    for title, build in (("Masking", mask_cases), ("Validation", utf8_cases)):
        labels = [label for label, _ in build(0)]
        columns = []
        for n in sizes:
            column = time_cases(build(n), n, min_time, rounds)
            columns.append(column)
            for label, t in zip(labels, column):
                if t is not None:
                    found[(label, n)] = t
        print_table(
            f"{title}: ns per call, by payload size in bytes (each size timed interleaved)",
            ["call"] + [str(n) for n in sizes],
            [[label] + [col[i] for col in columns] for i, label in enumerate(labels)],
        )
    creation = creation_cases()
    times = time_cases(creation, 0, min_time, rounds)
    for (label, _), t in zip(creation, times):
        if t is not None:
            found[(label, 0)] = t
    print_table("Creation: ns per object (created and dropped)", ["call", "ns"],
                [[label, t] for (label, _), t in zip(creation, times)])
    return found


def goals_table(t: Dict[Tuple[str, int], float], sizes: Sequence[int], min_time: float, rounds: int) -> None:
    """The goals as ratios of the figures just measured (None where a row is missing)."""
    rows: List[Tuple[object, ...]] = []
    pair_1mib: Optional[Tuple[float, float]] = None
    apply_mask = _peers()[0]
    if _native is not None and apply_mask is not None:
        data, k = text(ASCII, 1 << 20), 4
        times = interleaved_times([loop("f(key, d)", {"f": _native.mask, "key": KEY, "d": data}, k),
                                   loop("f(d, key)", {"f": apply_mask, "key": KEY, "d": data}, k)], min_time, rounds)
        if times[0] is not None and times[1] is not None:
            pair_1mib = (times[0] * 1e9 / k, times[1] * 1e9 / k)

    def ratio(goal: str, mine: str, peer: str, n: int, limit: str) -> None:
        a, b = t.get((mine, n)), t.get((peer, n))
        rows.append((goal, n, a, b, a / b if a is not None and b is not None else None, limit))

    aio = [label for label, _ in mask_cases(0) if "aiohttp" in label][0]
    for n in (16, 125):
        ratio("in place, fresh key / aiohttp", "in place, fresh key: native mask_in_place(key, ba)", aio, n, "<= 1.0")
    for n in (16, 125, 1024):
        ratio("new bytes / websockets apply_mask", "new bytes, fresh key: native mask(key, data)",
              "new bytes, fresh key: websockets apply_mask(data, key)", n, "<= 0.7")
    if 1 << 20 in sizes and pair_1mib is not None:
        # Timed as a pair of its own: at 1 MiB a row's time depends on whether
        # the allocator hands it fresh pages, which the rows before it decide.
        mine, theirs = pair_1mib
        rows.append(("new bytes / websockets apply_mask (time, as a pair)", 1 << 20, mine, theirs, mine / theirs, "<= 1.0"))
    for script in ("ASCII", "Cyrillic"):
        for n in (16, 125):
            ratio(f"validate / decode, {script}", f"{script}: native v.validate(data)", f"{script}: bytes.decode()", n, "<= 1.0")
            ratio(f"is_valid_utf8 / decode, {script}", f"{script}: native is_valid_utf8(data)", f"{script}: bytes.decode()", n,
                  "<= 1.0")
    for what in ("Utf8Validator()", "XorMasker(key)"):
        a = t.get((f"native {what}", 0))
        rows.append((f"creating {what}, ns", 0, a, None, None, "<= 150 ns"))
    for n in (65536, 1 << 20):
        if n not in sizes:
            continue
        ratio("large: pre-built mask, native / cffi", "in place, pre-built: native m.mask(ba)", "in place, pre-built: cffi m.mask(ba)",
              n, "<= 1.0")
        for script in ("ASCII", "Cyrillic"):
            ratio(f"large: validate {script}, native / cffi", f"{script}: native v.validate(data)", f"{script}: cffi v.validate(data)",
                  n, "<= 1.0")
    print_table("Goals: native time / peer time, from the tables above", ["goal", "bytes", "native ns", "peer ns", "ratio", "goal"], rows)


def threshold_table(min_time: float, rounds: int, sizes: Sequence[int]) -> None:
    """ns per validate() call through each routine, forced, on bytes (16-byte aligned) and on a view 7 bytes past a boundary."""
    if _native is None:
        print("\n_tav_native is not built: no native thresholds to show")
        return
    nat = _native
    rows: List[List[object]] = []
    for size in sizes:
        row: List[object] = [size]
        for unit in (ASCII, CYRILLIC, MIXED):
            data = text(unit, size)
            for residue in (0, 7):
                obj: object = data if residue == 0 else memoryview(bytearray(b"." * residue + data))[residue:]
                v = nat.Utf8Validator()
                k = _repeats(size)
                run = loop("v.validate(d)", {"v": v, "d": obj}, k)

                def forced(routine: str, run: Callable[[], object] = run) -> Callable[[], object]:
                    def timed() -> object:
                        saved = nat._force_routines(utf8=routine)
                        try:
                            return run()
                        finally:
                            nat._force_routines(**saved)

                    return timed

                unrolled, sse2 = interleaved_times([forced("unrolled"), forced("sse2")], min_time, rounds)
                assert unrolled is not None and sse2 is not None and v.error_offset is None
                row.append(f"{unrolled * 1e9 / k:.1f} / {sse2 * 1e9 / k:.1f}")
        rows.append(row)
    print_table(
        "Native validate(), ns per call: unrolled routine / SSE2 block validator (each forced), on bytes (@0) "
        f"and on a view 7 bytes past a 16-byte boundary (@7); BLOCK_VALIDATOR_THRESHOLD = {nat.BLOCK_VALIDATOR_THRESHOLD}",
        ["chunk B", "ASCII @0", "ASCII @7", "Cyrillic @0", "Cyrillic @7", "JSON mix @0", "JSON mix @7"],
        rows,
    )
    _cffi_threshold_table(min_time, rounds, [s for s in sizes if s >= 256])


def _cffi_threshold_table(min_time: float, rounds: int, sizes: Sequence[int]) -> None:
    if getattr(cffi_utf8, "_block_validate", None) is None or not hasattr(cffi_utf8, "_long_chunk"):
        return
    rows: List[Tuple[object, ...]] = []
    saved = cffi_utf8._long_chunk
    try:
        for size in sizes:
            row: List[object] = [size]
            for unit in (ASCII, CYRILLIC):
                chunk = text(unit, size)
                v = cffi_utf8.Utf8Validator()

                def forced(threshold: int) -> Callable[[], object]:
                    def timed() -> object:
                        cffi_utf8._long_chunk = threshold
                        return v.validate(chunk)

                    return timed

                unrolled, sse2 = interleaved_times([forced(1 << 64), forced(0)], min_time, rounds)
                assert unrolled is not None and sse2 is not None
                row += [gbps(size, unrolled), gbps(size, sse2), unrolled / sse2]
            rows.append(tuple(row))
    finally:
        cffi_utf8._long_chunk = saved
    print_table(
        "cffi validate() throughput by chunk size, GB/s: unrolled vs SSE2 block validator; "
        f"its BLOCK_VALIDATOR_THRESHOLD = {cffi_utf8.BLOCK_VALIDATOR_THRESHOLD}",
        ["chunk B", "ASCII unrl", "ASCII sse2", "speedup", "Cyr. unrl", "Cyr. sse2", "speedup"],
        rows,
    )


def release_table(min_time: float, rounds: int, sizes: Sequence[int]) -> None:
    """ns per call with the interpreter lock released on every call vs kept, native backend."""
    if _native is None:
        return
    nat = _native
    rows: List[Tuple[object, ...]] = []
    for n in sizes:
        ascii_data, cyr, ba = text(ASCII, n), text(CYRILLIC, n), bytearray(text(ASCII, n))
        v, m = nat.Utf8Validator(), nat.XorMasker(KEY)
        k = _repeats(n)
        row: List[object] = [n]
        for stmt, names in (("v.validate(d)", {"v": v, "d": ascii_data}), ("v.validate(d)", {"v": v, "d": cyr}),
                            ("m.mask(ba)", {"m": m, "ba": ba})):
            run = loop(stmt, names, k)

            def with_release(release_from: int, run: Callable[[], object] = run) -> Callable[[], object]:
                def timed() -> object:
                    saved = nat._force_routines(release_gil_from=release_from)
                    try:
                        return run()
                    finally:
                        nat._force_routines(**saved)

                return timed

            kept, released = interleaved_times([with_release(1 << 62), with_release(0)], min_time, rounds)
            assert kept is not None and released is not None
            row += [kept * 1e9 / k, released * 1e9 / k, (released - kept) * 1e9 / k]
        rows.append(tuple(row))
    print_table(
        f"Native: ns per call keeping the interpreter lock vs releasing it; RELEASE_GIL_THRESHOLD = {nat.RELEASE_GIL_THRESHOLD}",
        ["bytes", "ASCII kept", "released", "cost", "Cyr. kept", "released", "cost", "mask kept", "released", "cost"],
        rows,
    )


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
    """Print the tables; --quick shortens every timing, drops the 1 MiB column and makes the file 16 MiB."""
    parser = argparse.ArgumentParser(prog="python -m tav.bench.api", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short timings, no 1 MiB column, a 16 MiB file")
    parser.add_argument(
        "--corpus", help="folder of the benchmark texts (default: $TAV_CORPUS, else the short texts shipped with tav)"
    )
    parser.add_argument("--only", choices=["per-call", "thresholds", "check"], help="print one part only")
    args, _ = parser.parse_known_args(argv)
    # Many short rounds: on a loaded machine a short one often runs between two
    # preemptions, and the best of them filters out what other processes do.
    min_time, rounds = (0.001, 7) if args.quick else (0.002, 61)
    print(f"python {sys.version.split()[0]}; native backend: {'_tav_native' if _native is not None else 'not built'}")
    if args.only in (None, "per-call"):
        sizes = QUICK_SIZES if args.quick else SIZES
        goals_table(per_call_tables(sizes, min_time, rounds), sizes, min_time, rounds)
    if args.only in (None, "thresholds"):
        threshold_table(min_time, rounds, CHUNK_SIZES[:9] if args.quick else CHUNK_SIZES)
        release_table(min_time, rounds, (16, 1024, 16384, 65536) if args.quick else (16, 1024, 4096, 16384, 65536, 1 << 20))
    if args.only in (None, "check"):
        check_table(find_corpus(args.corpus), (16 if args.quick else 64) << 20, 3 if args.quick else 5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
