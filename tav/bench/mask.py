"""Masking throughput of _tav_bytemask beside its peers, measured in one run.

Every row masks (or, for the copy, moves) a payload of the same size and
content in its own buffer; GB/s counts the bytes of the payload. The tav rows
call ``lib.tav_xormask_process`` with a cdata made once by
``ffi.from_buffer`` or, in the "per call" rows, made anew for every call
(``require_writable=True``, as a careful caller does). The peers are black boxes:

- ``websockets.speedups.apply_mask`` returns a new ``bytes`` object;
- aiohttp's mask helper (``websocket_mask``) masks a bytearray in place;
- "int XOR" is the pure-Python form wsproto uses: ``int.from_bytes`` of the
  payload XOR ``int.from_bytes`` of the repeated key, back through ``to_bytes``;
- numpy XORs a uint8 view in place with a key tiled to the payload's length
  (tiled once, outside the timing: the cheapest numpy form);
- "bytearray copy" (``dst[:] = src`` into a ready buffer) and "memset"
  (``ctypes.memset``) are not maskers but the memory-bandwidth references: an
  in-place masker reads and writes every byte, as the copy does, and cannot
  beat the bandwidth that memset's writes alone get at the same size.

The rows "sse2 (routine)", "avx2 (routine)" and "avx512 (routine)" call
``_tav_xormask_process_sse2``, ``_avx2`` and ``_avx512``, which the binding
does not declare, through ``_tav_maskroutines``, the module that binds them
from the same library file ("-" where this build lacks the routine or the
processor the feature). Their call returns the new pointer, which the
binding's does not, so the wide routines are compared with the SSE2 routine
called the same way, gross and net of the call: the net figures subtract the
routine's zero-length call (timed beside every size, the best time taken).
Below a few KiB the call dominates and the net figures are differences of
nearly equal times: read them from 4 KiB on.

A last table compares the masked copy routines (``_tav_xormask_copy_*``: read
the source, write it masked into a ready destination, one pass) with a copy
(``dst[:] = src``) followed by the in-place routine of the same width.

A table of the native module (``_tav_native``) masks through
``XorMasker.mask`` with each routine forced (``_force_routines``) beside the
automatic choice, from 16 B to 64 MiB, and gives their ratio at each size.

Run: ``python -m tav.bench.mask`` (``--quick`` for a short pass).
"""
from __future__ import annotations

import argparse
import ctypes
import importlib
import random
import statistics
import sys
import time
from types import ModuleType
from typing import Any, Callable, Optional, Sequence

from tav import _cpu
from tav.bench import gbps, interleaved_times, print_table

KEY = bytes([0x37, 0xFA, 0x21, 0x3D])
SIZES = (125, 1 << 10, 4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20, 64 << 20)
QUICK_SIZES = (125, 1 << 10, 4 << 10, 16 << 10, 64 << 10, 1 << 20)
SMALL_FRAMES = (16, 125)
COPY_SIZES = (16, 125, 1 << 10, 4 << 10, 16 << 10, 64 << 10, 256 << 10, 1 << 20)
QUICK_COPY_SIZES = (16, 1 << 10, 64 << 10)
AUTO_SIZES = (16, 125, 1 << 10, 4 << 10, 16 << 10, 48 << 10, 64 << 10, 256 << 10, 1 << 20, 1536 << 10, 2 << 20,
              4 << 20, 16 << 20, 64 << 20)
QUICK_AUTO_SIZES = (16, 1 << 10, 64 << 10, 1 << 20)

#: A case builder takes the payload size and returns the callable to time, or
#: None when the peer is not installed.
Builder = Callable[[int], Optional[Callable[[], object]]]

# Through importlib: the binding is generated and has no type stub.
_module = importlib.import_module("_tav_bytemask")
ffi = _module.ffi
lib = _module.lib

# The routines the binding leaves out, bound by the module built from the same
# library file.
_routines_module = importlib.import_module("_tav_maskroutines")
routines_ffi = _routines_module.ffi
so: Any = _routines_module.lib

# What each width needs, as bits of tav_cpu_features().
NEEDS = {"sse2": 0, "avx2": _cpu.BITS["avx2"], "avx512": _cpu.BITS["avx512f"] | _cpu.BITS["avx512bw"]}

CPU_FEATURES = _cpu.FEATURES


def _native(kind: str, width: str) -> Optional[Callable[..., int]]:
    """_tav_xormask_<kind>_<width> where this build has it and the processor runs it, else None."""
    if CPU_FEATURES & NEEDS[width] != NEEDS[width]:
        return None
    try:
        fn: Callable[..., int] = getattr(so, f"_tav_xormask_{kind}_{width}")
    except AttributeError:
        return None
    return fn


def _routines_handle() -> Any:
    return routines_ffi.gc(so.tav_xormask_new(KEY), so.tav_xormask_free)


def _buffer(n: int) -> bytearray:
    """n bytes of a fixed, non-repeating-looking pattern."""
    buf = bytearray((i * 7 + 3) & 0xFF for i in range(min(n, 4096))) * (n // 4096 + 1)
    del buf[n:]
    return buf


def _tav(impl: int, per_call_from_buffer: bool, offset: int = 0) -> Builder:
    def build(n: int) -> Callable[[], object]:
        handle = ffi.gc(lib.tav_xormask_new(KEY), lib.tav_xormask_free)
        lib.tav_xormask_set_impl(handle, impl)
        buf = _buffer(n + offset)
        process = lib.tav_xormask_process
        if per_call_from_buffer:
            from_buffer = ffi.from_buffer
            return lambda: process(handle, from_buffer(buf, require_writable=True), n)
        # The offset moves the data off the allocator's 16-byte alignment.
        cbuf = ffi.from_buffer(memoryview(buf)[offset:], require_writable=True)
        return lambda: process(handle, cbuf, n)

    return build


def _routine(width: str, zero_length: bool = False, offset: int = 0) -> Builder:
    """An in-place routine through _tav_maskroutines; with zero_length, the same call on no bytes."""

    def build(n: int) -> Optional[Callable[[], object]]:
        fn = _native("process", width)
        if fn is None:
            return None
        handle = _routines_handle()
        buf = _buffer(n + offset)
        cbuf = routines_ffi.from_buffer("uint8_t[]", memoryview(buf)[offset:], require_writable=True)
        length = 0 if zero_length else n
        return lambda: fn(handle, cbuf, length)

    return build


def _fused(width: str) -> Builder:
    def build(n: int) -> Optional[Callable[[], object]]:
        fn = _native("copy", width)
        if fn is None:
            return None
        handle = _routines_handle()
        src, dst = _buffer(n), bytearray(n)
        csrc, cdst = routines_ffi.from_buffer("uint8_t[]", src), routines_ffi.from_buffer("uint8_t[]", dst, require_writable=True)
        return lambda: fn(handle, csrc, cdst, n)

    return build


def _copy_then_mask(width: str) -> Builder:
    def build(n: int) -> Optional[Callable[[], object]]:
        fn = _native("process", width)
        if fn is None:
            return None
        handle = _routines_handle()
        src, dst = _buffer(n), bytearray(n)
        cdst = routines_ffi.from_buffer("uint8_t[]", dst, require_writable=True)

        def run() -> None:
            dst[:] = src
            fn(handle, cdst, n)

        return run

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


def _memset(n: int) -> Callable[[], object]:
    buf = _buffer(n)
    view = (ctypes.c_char * n).from_buffer(buf)  # keeps buf alive and unresizable
    memset = ctypes.memset
    return lambda: memset(view, 0x5A, n)


#: (label, builder, is a peer). tav rows first, then the peers, then the references.
CASES: tuple[tuple[str, Builder, bool], ...] = (
    ("tav impl 2, ready cdata", _tav(2, False), False),
    ("tav impl 2, ready cdata, address +1", _tav(2, False, 1), False),
    ("tav impl 2, from_buffer per call", _tav(2, True), False),
    ("tav impl 1, ready cdata", _tav(1, False), False),
    ("tav impl 1, from_buffer per call", _tav(1, True), False),
    ("sse2 (routine)", _routine("sse2"), False),
    ("avx2 (routine)", _routine("avx2"), False),
    ("avx512 (routine)", _routine("avx512"), False),
    ("avx512 (routine), address +1", _routine("avx512", offset=1), False),
    ("websockets apply_mask (new bytes)", _websockets, True),
    ("aiohttp websocket_mask (in place)", _aiohttp, True),
    ("int XOR, wsproto-style (new bytes)", _int_xor, True),
    ("numpy uint8 XOR, tiled key (in place)", _numpy, True),
    ("bytearray copy (reference)", _copy, False),
    ("memset (reference)", _memset, False),
)

#: The rows each ratio to the SSE2 routine divides by: the SSE2 routine through the
#: same kind of call (a routine's call returns the pointer, the binding's does not).
SSE2_ROW = "tav impl 2, ready cdata"
SSE2_ROUTINE_ROW = "sse2 (routine)"
WIDTHS = ("sse2", "avx2", "avx512")

#: The zero-length calls timed beside CASES at every size, for the net figures.
FLOORS: tuple[tuple[str, Builder], ...] = tuple((w, _routine(w, zero_length=True)) for w in WIDTHS)


def _size_label(n: int) -> str:
    if n >= 1 << 20 and n % (1 << 20) == 0:
        return f"{n >> 20} MiB"
    if n >= 1 << 10:
        return f"{n >> 10} KiB"
    return f"{n} B"


def _overhead_rows(min_time: float, rounds: int) -> list[list[object]]:
    """Where the time of a small call goes: the calls without work, then the work.

    Each row is timed through a lambda, as every row above is; the first row is
    that floor. ctypes can call the same function with the interpreter lock
    released (CFUNCTYPE) or held (PYFUNCTYPE): the difference is the cost of
    releasing and retaking the lock."""
    handle = ffi.gc(lib.tav_xormask_new(KEY), lib.tav_xormask_free)
    buf = _buffer(125)
    cbuf = ffi.from_buffer(buf, require_writable=True)
    process, pointer, from_buffer = lib.tav_xormask_process, lib.tav_xormask_pointer, ffi.from_buffer
    address = int(ffi.cast("uintptr_t", handle))
    # The binding's own function, by its address: no lookup in the module's file.
    entry = int(ffi.cast("uintptr_t", ffi.addressof(lib, "tav_xormask_pointer")))
    released = ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p)(entry)
    held = ctypes.PYFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p)(entry)
    steps: tuple[tuple[str, Callable[[], object]], ...] = (
        ("len(buf): a plain builtin call", lambda: len(buf)),
        ("ctypes tav_xormask_pointer, lock held", lambda: held(address)),
        ("ctypes tav_xormask_pointer, lock released", lambda: released(address)),
        ("cffi tav_xormask_pointer(h): 1 argument, lock released", lambda: pointer(handle)),
        ("cffi tav_xormask_process(h, cdata, 0): 3 arguments", lambda: process(handle, cbuf, 0)),
        ("cffi tav_xormask_process(h, cdata, 16)", lambda: process(handle, cbuf, 16)),
        ("cffi tav_xormask_process(h, cdata, 125)", lambda: process(handle, cbuf, 125)),
        ("ffi.from_buffer(buf)", lambda: from_buffer(buf)),
        ("ffi.from_buffer(buf, require_writable=True)", lambda: from_buffer(buf, require_writable=True)),
    )
    times = interleaved_times([fn for _, fn in steps], min_time, rounds)
    return [[label, None if t is None else t * 1e9] for (label, _), t in zip(steps, times)]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Print throughput, ratio and per-call tables; returns the exit status."""
    parser = argparse.ArgumentParser(prog="python -m tav.bench.mask", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short timings, no 64 MiB buffer")
    args = parser.parse_args(list(argv) if argv is not None else None)
    sizes = QUICK_SIZES if args.quick else SIZES
    # Many short rounds: on a shared machine each row then finds quiet moments.
    min_time, rounds = (0.01, 9) if args.quick else (0.01, 41)
    runs_here = [w for w in WIDTHS if _native("process", w) is not None]
    print(f"wide routines this processor runs: {', '.join(runs_here) or 'none'}")

    def measure(n: int, builders: Sequence[Builder]) -> list[Optional[float]]:
        # Big buffers: fewer rounds, each call already lasts milliseconds.
        return interleaved_times([build(n) for build in builders], min_time, rounds if n < 16 << 20 else 15)

    labels = [label for label, _, _ in CASES]
    times: dict[int, list[Optional[float]]] = {}
    floors: dict[int, dict[str, Optional[float]]] = {}
    for n in sizes:
        measured = measure(n, [build for _, build, _ in CASES] + [build for _, build in FLOORS])
        times[n] = measured[: len(CASES)]
        floors[n] = dict(zip(WIDTHS, measured[len(CASES):]))
    rates = {n: [None if t is None else gbps(n, t) for t in times[n]] for n in sizes}
    header = ["GB/s", *(_size_label(n) for n in sizes)]
    print_table("Masking throughput, GB/s (higher is better)", header,
                [[label, *(rates[n][i] for n in sizes)] for i, label in enumerate(labels)])

    fastest: dict[int, Optional[float]] = {}
    best_peer: list[object] = ["fastest peer"]
    for n in sizes:
        rated = [(r, label) for r, (label, _, is_peer) in zip(rates[n], CASES) if is_peer and r is not None]
        top = max(rated, default=None)
        fastest[n] = top[0] if top else None
        best_peer.append(top[1].split(" ")[0] if top else None)
    ratio_rows: list[list[object]] = [best_peer]
    for i, (label, _, is_peer) in enumerate(CASES):
        if not is_peer:
            ratio_rows.append([label, *(_ratio(rates[n][i], fastest[n]) for n in sizes)])
    print_table("Ratio to the fastest peer at each size (above 1: faster)", ["x", *header[1:]], ratio_rows)

    # Every row against the SSE2 routine: the routine rows against the SSE2
    # routine's own call, every other row against the binding's call.
    sse2, sse2_routine = labels.index(SSE2_ROW), labels.index(SSE2_ROUTINE_ROW)
    print_table("Ratio to the SSE2 routine called the same way (above 1: faster)", ["x", *header[1:]],
                [[label, *(_ratio(rates[n][i], rates[n][sse2_routine if "(routine)" in label else sse2]) for n in sizes)]
                 for i, label in enumerate(labels)])

    # Net of the call: each routine's time less its own zero-length call. The
    # call costs the same at every size, so its best time over all sizes serves
    # (a burst of load during one size's rounds would otherwise inflate it).
    floor = {w: min([t for f in floors.values() if (t := f[w]) is not None], default=None) for w in WIDTHS}
    net = {n: {w: _net(times[n][labels.index(f"{w} (routine)")], floor[w]) for w in WIDTHS} for n in sizes}
    print_table("Net of the call (routine): GB/s, then the ratio to the SSE2 routine", header,
                [[f"{w}, GB/s", *(_rate(n, net[n][w]) for n in sizes)] for w in WIDTHS]
                + [[f"{w} / sse2", *(_ratio(_inverse(net[n][w]), _inverse(net[n]["sse2"])) for n in sizes)]
                   for w in WIDTHS[1:]])
    print_table("Zero-length call (routine), ns, timed beside each size; the net figures take the best",
                ["ns", *header[1:], "best"],
                [[w, *(_ns(floors[n][w]) for n in sizes), _ns(floor[w])] for w in WIDTHS])

    _auto_table(QUICK_AUTO_SIZES if args.quick else AUTO_SIZES, 5 if args.quick else 31)
    _copy_tables(QUICK_COPY_SIZES if args.quick else COPY_SIZES, min_time, rounds)
    _fused_table([4 << 10, 64 << 10, 1 << 20] + ([] if args.quick else [64 << 20]), min_time, rounds)

    per_call = {n: measure(n, [build for _, build, _ in CASES]) for n in SMALL_FRAMES}
    print_table("Per call, ns (lower is better)", ["ns", *(f"{n} B" for n in SMALL_FRAMES)],
                [[label, *(_ns(per_call[n][i]) for n in SMALL_FRAMES)] for i, label in enumerate(labels)])

    print_table("Small-call breakdown, ns", ["call", "ns"], _overhead_rows(min_time, 2 * rounds))
    return 0


def _auto_table(sizes: Sequence[int], rounds: int) -> None:
    """The native module's automatic masking choice beside each routine forced, through XorMasker.mask().

    Each timed block forces its routine, masks the bytearray once untimed (so
    no routine inherits the cache state another left), and then masks it again
    for at least 2 calls and about 4 ms, so the switch costs nothing
    measurable and every row pays the same call path. The routines take turns
    within each round, in an order shuffled anew (seeded) for every round, and
    each figure is the median over the rounds of the block's thread CPU time. The last rows give the automatic choice against the best
    forced routine at each size (1.00: it is that routine, or as fast)."""
    try:
        import _tav_native as native
    except ImportError:
        print("\n_tav_native is not built: no automatic masking choice to time")
        return
    routines = ["auto", *(w for w in ("bytes", "sse2", "avx2", "avx512", "neon") if _forcible(native, w))]
    per_call: dict[int, list[float]] = {}
    for n in sizes:
        per_call[n] = _auto_row(native, routines, n, rounds)
    header = ["GB/s", *(_size_label(n) for n in sizes)]
    rows: list[list[object]] = [[r, *(gbps(n, per_call[n][i]) for n in sizes)] for i, r in enumerate(routines)]
    rows.append(["best forced", *(routines[1 + min(range(len(routines) - 1), key=lambda i: per_call[n][i + 1])]
                                  for n in sizes)])
    rows.append(["auto / best forced", *(min(per_call[n][1:]) / per_call[n][0] for n in sizes)])
    policy = ", ".join(f"{name} from {_size_label(start)}" for name, start in native.MASK_AUTO)
    print_table(f"XorMasker.mask(bytearray) on _tav_native: the automatic choice ({policy}) beside "
                "each routine forced, GB/s (medians of thread CPU time)", header, rows)


def _auto_row(native: Any, routines: Sequence[str], n: int, rounds: int) -> list[float]:
    """Median seconds per mask() call of n bytes for each routine, in the order given."""
    buf, masker = _buffer(n), native.XorMasker(KEY)
    mask, force = masker.mask, native._force_routines
    calls = max(2, (8 << 20) // n)  # about 4 ms at the speeds of L1 down to memory
    samples: list[list[float]] = [[] for _ in routines]
    order = list(range(len(routines)))
    shuffle = random.Random(n).shuffle
    previous = force()
    try:
        for _ in range(rounds):
            shuffle(order)
            for i in order:
                force(mask=routines[i])
                mask(buf)
                t0 = time.thread_time_ns()
                for _ in range(calls):
                    mask(buf)
                samples[i].append((time.thread_time_ns() - t0) / calls / 1e9)
    finally:
        force(**previous)
    return [statistics.median(s) for s in samples]


def _forcible(native: Any, routine: str) -> bool:
    """Whether this processor runs the native module's masking routine `routine`."""
    try:
        previous = native._force_routines(mask=routine)
    except ValueError:
        return False
    native._force_routines(**previous)
    return True


def _copy_tables(sizes: Sequence[int], min_time: float, rounds: int) -> None:
    """The masked copy against a copy and then the in-place routine, each width, same call path."""
    cases: list[tuple[str, Builder]] = []
    for w in WIDTHS:
        cases += [(f"copy, then {w} in place", _copy_then_mask(w)), (f"{w} masked copy", _fused(w))]
    cases.append(("bytearray copy alone (reference)", _copy))
    times = {n: interleaved_times([build(n) for _, build in cases], min_time, rounds) for n in sizes}
    header = [*(_size_label(n) for n in sizes)]
    print_table("Masked copy into a ready buffer, ns per call (lower is better)", ["ns", *header],
                [[label, *(_ns(times[n][i]) for n in sizes)] for i, (label, _) in enumerate(cases)])
    print_table("Masked copy: speed-up over the copy and then the in-place routine", ["x", *header],
                [[w, *(_ratio(_inverse(times[n][2 * k + 1]), _inverse(times[n][2 * k])) for n in sizes)]
                 for k, w in enumerate(WIDTHS)])


def _fused_table(sizes: Sequence[int], min_time: float, rounds: int) -> None:
    """A text frame unmasked and validated: tav.unmask_and_validate against mask() then validate().

    Each call takes the next of a ring of buffers 64 MiB or more in all, so its
    payload comes from memory, not from a cache that the previous call warmed.
    The key is zero, so a buffer holds the same valid text after every call
    and each call does all of its work."""
    try:
        import _tav_native as native
    except ImportError:
        print("\n_tav_native is not built: no fused unmask-and-validate to time")
        return
    text = ("Lorem ipsum \u0434\u043e\u043b\u043e\u0440 \u00e9t\u00e9 \u4e2d\u6587 \U0001f600 " * 4096).encode()

    def ring(n: int) -> list[bytearray]:
        data = (text * (n // len(text) + 1))[:n]
        while data and data[-1] & 0xC0 == 0x80 or (data and data[-1] >= 0xC0):
            data = data[:-1]  # end on a character boundary
        data = data + b"a" * (n - len(data))
        return [bytearray(data) for _ in range(max(2, (64 << 20) // n + 1))]

    def builders(n: int) -> list[Callable[[], object]]:
        buffers = ring(n)
        m, v = native.XorMasker(bytes(4)), native.Utf8Validator()
        state = {"i": 0}

        def fused() -> None:
            i = state["i"] = (state["i"] + 1) % len(buffers)
            v.reset()
            if native.unmask_and_validate(m, v, buffers[i]) is not native.Utf8Status.COMPLETE:
                raise AssertionError("the benchmark text is valid UTF-8")

        def two_calls() -> None:
            i = state["i"] = (state["i"] + 1) % len(buffers)
            v.reset()
            m.mask(buffers[i])
            if v.validate(buffers[i]) is not native.Utf8Status.COMPLETE:
                raise AssertionError("the benchmark text is valid UTF-8")

        return [fused, two_calls]

    rows = []
    for n in sizes:
        fused_t, two_t = interleaved_times(builders(n), min_time, rounds if n < 16 << 20 else 7)
        rows.append([_size_label(n), _rate(n, fused_t), _rate(n, two_t), _ratio(_inverse(fused_t), _inverse(two_t))])
    print_table("Unmask and validate a text frame, payload from memory: GB/s",
                ["frame", "unmask_and_validate", "mask() then validate()", "speed-up"], rows)


def _rate(n: int, t: Optional[float]) -> Optional[float]:
    return None if t is None else gbps(n, t)


def _net(t: Optional[float], floor: Optional[float]) -> Optional[float]:
    return None if t is None or floor is None or t <= floor else t - floor


def _inverse(t: Optional[float]) -> Optional[float]:
    return None if t is None else 1 / t


def _ratio(rate: Optional[float], fastest: Optional[float]) -> Optional[float]:
    return None if rate is None or fastest is None else rate / fastest


def _ns(seconds: Optional[float]) -> Optional[float]:
    return None if seconds is None else seconds * 1e9


if __name__ == "__main__":
    raise SystemExit(main())
