"""Masking throughput of _tav_bytemask beside its peers, measured in one run.

Every row masks (or, for the copy, moves) the same buffer; GB/s counts the
bytes of the payload. The peers are black boxes:

- ``websockets.speedups.apply_mask`` returns a new ``bytes`` object;
- aiohttp's mask helper (``websocket_mask``) masks a bytearray in place;
- "int XOR" is the pure-Python form wsproto uses: ``int.from_bytes`` of the
  payload XOR ``int.from_bytes`` of the repeated key, back through ``to_bytes``;
- numpy XORs a uint8 view in place with a key tiled to the payload's length
  (tiled once, outside the timing: the cheapest numpy form);
- "bytearray copy" (``dst[:] = src`` into a ready buffer) is not a masker but
  the memory-bandwidth reference.

Run: ``python -m tav.bench.mask`` (``--quick`` for a short pass).
"""
from __future__ import annotations

import argparse
import importlib
import sys
from types import ModuleType
from typing import Callable, Optional, Sequence

from tav.bench import best_time, gbps, print_table

KEY = bytes([0x37, 0xFA, 0x21, 0x3D])
SIZES = (125, 1 << 10, 64 << 10, 1 << 20, 64 << 20)
QUICK_SIZES = (125, 1 << 10, 64 << 10, 1 << 20)
SMALL_FRAMES = (16, 125)

#: A case builder takes the payload size and returns the callable to time, or
#: None when the peer is not installed.
Builder = Callable[[int], Optional[Callable[[], object]]]

# Through importlib: the binding is generated and has no type stub.
_module = importlib.import_module("_tav_bytemask")
ffi = _module.ffi
lib = _module.lib


def _payload(n: int) -> bytearray:
    return bytearray((i * 7 + 3) & 0xFF for i in range(min(n, 4096))) * (n // 4096 + 1)


def _buffer(n: int) -> bytearray:
    buf = _payload(n)
    del buf[n:]
    return buf


def _tav(impl: int, per_call_from_buffer: bool) -> Builder:
    def build(n: int) -> Callable[[], object]:
        handle = ffi.gc(lib.tav_xormask_new(KEY), lib.tav_xormask_free)
        lib.tav_xormask_set_impl(handle, impl)
        buf = _buffer(n)
        process = lib.tav_xormask_process
        if per_call_from_buffer:
            from_buffer = ffi.from_buffer
            return lambda: process(handle, from_buffer(buf, require_writable=True), n)
        cbuf = ffi.from_buffer(buf, require_writable=True)
        return lambda: process(handle, cbuf, n)

    return build


def _optional(name: str) -> Optional[ModuleType]:
    """A peer's module, or None when it is not installed (peers are the `bench` extra)."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def _websockets(n: int) -> Optional[Callable[[], object]]:
    speedups = _optional("websockets.speedups")
    if speedups is None:
        return None
    apply_mask = speedups.apply_mask
    data = bytes(_buffer(n))
    return lambda: apply_mask(data, KEY)


def _aiohttp_helper() -> Optional[Callable[[bytes, bytearray], None]]:
    # The helper moved between releases; take whichever this version has.
    for module, name in (
        ("aiohttp._websocket.helpers", "websocket_mask"),
        ("aiohttp.helpers", "_websocket_mask"),
        ("aiohttp.http_websocket", "_websocket_mask"),
    ):
        mod = _optional(module)
        fn: Optional[Callable[[bytes, bytearray], None]] = getattr(mod, name, None)
        if fn is not None:
            return fn
    return None


def _aiohttp(n: int) -> Optional[Callable[[], object]]:
    mask = _aiohttp_helper()
    if mask is None:
        return None
    buf = _buffer(n)
    return lambda: mask(KEY, buf)


def _int_xor(n: int) -> Callable[[], object]:
    data = bytes(_buffer(n))
    order = sys.byteorder

    def run() -> bytes:
        key = KEY * (n // 4) + KEY[: n % 4]
        return (int.from_bytes(data, order) ^ int.from_bytes(key, order)).to_bytes(n, order)

    return run


def _numpy(n: int) -> Optional[Callable[[], object]]:
    np = _optional("numpy")
    if np is None:
        return None
    buf = _buffer(n)
    view = np.frombuffer(buf, dtype=np.uint8)
    tiled = np.resize(np.frombuffer(KEY, dtype=np.uint8), n)
    return lambda: np.bitwise_xor(view, tiled, out=view)


def _copy(n: int) -> Callable[[], object]:
    src = _buffer(n)
    dst = bytearray(n)

    def run() -> None:
        dst[:] = src

    return run


#: (label, builder, is a peer). tav rows first, then the peers, then the reference.
CASES: tuple[tuple[str, Builder, bool], ...] = (
    ("tav impl 2, ready cdata", _tav(2, False), False),
    ("tav impl 2, from_buffer per call", _tav(2, True), False),
    ("tav impl 1, ready cdata", _tav(1, False), False),
    ("tav impl 1, from_buffer per call", _tav(1, True), False),
    ("websockets apply_mask (new bytes)", _websockets, True),
    ("aiohttp websocket_mask (in place)", _aiohttp, True),
    ("int XOR, wsproto-style (new bytes)", _int_xor, True),
    ("numpy uint8 XOR, tiled key (in place)", _numpy, True),
    ("bytearray copy (reference)", _copy, False),
)


def _size_label(n: int) -> str:
    if n >= 1 << 20:
        return f"{n >> 20} MiB"
    if n >= 1 << 10:
        return f"{n >> 10} KiB"
    return f"{n} B"


def _time(build: Builder, n: int, min_time: float, repeat: int) -> Optional[float]:
    fn = build(n)
    if fn is None:
        return None
    # Big buffers: fewer rounds, each call already lasts milliseconds.
    return best_time(fn, min_time=min_time, repeat=repeat if n < 16 << 20 else min(repeat, 3))


def _overhead_rows(min_time: float, repeat: int) -> list[list[object]]:
    """Where the time of a small call goes: cffi wrappers with no work, then the work."""
    handle = ffi.gc(lib.tav_xormask_new(KEY), lib.tav_xormask_free)
    buf = _buffer(16)
    cbuf = ffi.from_buffer(buf, require_writable=True)
    process, pointer, from_buffer = lib.tav_xormask_process, lib.tav_xormask_pointer, ffi.from_buffer
    steps: tuple[tuple[str, Callable[[], object]], ...] = (
        ("len(buf): a plain builtin call", lambda: len(buf)),
        ("tav_xormask_pointer(h): 1 argument, lock released", lambda: pointer(handle)),
        ("tav_xormask_process(h, cdata, 0): 3 arguments, no bytes", lambda: process(handle, cbuf, 0)),
        ("tav_xormask_process(h, cdata, 16)", lambda: process(handle, cbuf, 16)),
        ("ffi.from_buffer(buf, require_writable=True)", lambda: from_buffer(buf, require_writable=True)),
    )
    return [[label, best_time(fn, min_time=min_time, repeat=repeat) * 1e9] for label, fn in steps]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Print throughput, ratio and per-call tables; returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m tav.bench.mask", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short timings, no 64 MiB buffer")
    args = parser.parse_args(list(argv) if argv is not None else None)
    sizes = QUICK_SIZES if args.quick else SIZES
    min_time, repeat = (0.02, 3) if args.quick else (0.1, 5)

    seconds: dict[str, dict[int, Optional[float]]] = {}
    for label, build, _ in CASES:
        seconds[label] = {n: _time(build, n, min_time, repeat) for n in sizes}

    def rate(label: str, n: int) -> Optional[float]:
        t = seconds[label][n]
        return None if t is None else gbps(n, t)

    header = ["GB/s", *(_size_label(n) for n in sizes)]
    print_table("Masking throughput, GB/s (higher is better)", header,
                [[label, *(rate(label, n) for n in sizes)] for label, _, _ in CASES])

    peers = [label for label, _, is_peer in CASES if is_peer]
    fastest: dict[int, Optional[float]] = {}
    best_peer: list[object] = ["fastest peer"]
    for n in sizes:
        rated = [(rate(p, n), p) for p in peers if rate(p, n) is not None]
        top = max(rated, default=None)
        fastest[n] = top[0] if top else None
        best_peer.append(top[1].split(" ")[0] if top else None)
    ratio_rows: list[list[object]] = [best_peer]
    for label, _, is_peer in CASES:
        if is_peer:
            continue
        row: list[object] = [label]
        for n in sizes:
            r, f = rate(label, n), fastest[n]
            row.append(None if r is None or f is None else r / f)
        ratio_rows.append(row)
    print_table("Ratio to the fastest peer at each size (above 1: faster)", ["x", *header[1:]], ratio_rows)

    frame_rows: list[list[object]] = []
    for label, build, _ in CASES:
        times = [_time(build, n, min_time, repeat) for n in SMALL_FRAMES]
        frame_rows.append([label, *(None if t is None else t * 1e9 for t in times)])
    print_table("Per call, ns (lower is better)", ["ns", *(f"{n} B" for n in SMALL_FRAMES)], frame_rows)

    print_table("Small-call breakdown, ns", ["call", "ns"], _overhead_rows(min_time, repeat))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
