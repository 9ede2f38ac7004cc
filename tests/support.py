"""Shared test helpers: native access to the built modules, oracles, guarded memory."""
from __future__ import annotations

import ctypes
import mmap
import platform
import random
import sys
from typing import Optional

import pytest

try:
    import _tav_bytemask
    import _tav_maskroutines
    import _tav_utf8check
    import _tav_utf8routines
except ImportError as e:
    # A build for an interpreter cffi does not serve (free-threaded 3.13)
    # leaves the cffi modules out; the native module serves alone there.
    HAVE_CFFI = False
    CFFI_MISSING = f"the cffi modules are not built for this interpreter: {e}"
else:
    HAVE_CFFI = True
    CFFI_MISSING = ""


def module_entry(module: str) -> str:
    """The symbol the interpreter calls to import an extension module: CPython's
    PyInit_<name>; PyPy loads cffi modules through _cffi_pypyinit_<name>."""
    return ("_cffi_pypyinit_" if sys.implementation.name == "pypy" else "PyInit_") + module


# The block validators and the SSE2 masker are built on x86-64 only, and the
# routines modules declare them there only: a test that calls one skips elsewhere.
X86_64 = platform.machine().lower() in ("x86_64", "amd64")
x86_64_only = pytest.mark.skipif(not X86_64, reason=f"x86-64 routine, not built on {platform.machine()}")

if HAVE_CFFI:
    UTF8_MODULE_FILE = _tav_utf8check.__file__
    MASK_MODULE_FILE = _tav_bytemask.__file__

    # The record layouts and every routine native callers reach, as the
    # routines modules bind them from the same library files.
    utf8_ffi, utf8_routines = _tav_utf8routines.ffi, _tav_utf8routines.lib
    mask_ffi, mask_routines = _tav_maskroutines.ffi, _tav_maskroutines.lib


def utf8_record(handle) -> tuple[int, int, int, int]:
    """(current_index, total_index, state, impl) of a validator record, from any ffi's handle."""
    rec = utf8_ffi.cast("utf8vld_state *", _addr(handle))
    return rec.current_index, rec.total_index, rec.state, rec.impl


def mask_record(handle) -> tuple[bytes, int, int]:
    """(key, pointer, impl) of a masker record, from any ffi's handle."""
    rec = mask_ffi.cast("xormask_state *", _addr(handle))
    return bytes(rec.mask), rec.pointer, rec.impl


def _addr(handle) -> int:
    # Handles from the bindings and from the routines modules are different
    # ffi objects; the address is what they share.
    for ffi in (_tav_utf8check.ffi, _tav_bytemask.ffi, utf8_ffi, mask_ffi):
        try:
            return int(ffi.cast("uintptr_t", handle))
        except TypeError:
            continue
    raise TypeError(f"not a cffi pointer: {handle!r}")


# --- oracles -----------------------------------------------------------------

def first_rejected(data: bytes) -> Optional[int]:
    """Offset of the first byte at which `data` stops being a prefix of UTF-8, or None.

    Uses CPython's one-shot strict decoder: "invalid start byte" reports the
    rejected byte as `start`, every other reason as `end` (the incremental
    decoder is not fail-fast on ED A0..BF and must not be used here)."""
    try:
        data.decode("utf-8")
        return None
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return None
        return e.start if e.reason == "invalid start byte" else e.end


def rfc3629_status(data: bytes) -> tuple[str, Optional[int]]:
    """('complete' | 'partial' | 'invalid', first rejected offset), from RFC 3629's byte ranges."""
    i, n = 0, len(data)
    while i < n:
        b = data[i]
        if b < 0x80:
            i += 1
            continue
        if 0xC2 <= b <= 0xDF:
            ranges = [(0x80, 0xBF)]
        elif b == 0xE0:
            ranges = [(0xA0, 0xBF), (0x80, 0xBF)]
        elif 0xE1 <= b <= 0xEC or 0xEE <= b <= 0xEF:
            ranges = [(0x80, 0xBF)] * 2
        elif b == 0xED:
            ranges = [(0x80, 0x9F), (0x80, 0xBF)]
        elif b == 0xF0:
            ranges = [(0x90, 0xBF), (0x80, 0xBF), (0x80, 0xBF)]
        elif 0xF1 <= b <= 0xF3:
            ranges = [(0x80, 0xBF)] * 3
        elif b == 0xF4:
            ranges = [(0x80, 0x8F), (0x80, 0xBF), (0x80, 0xBF)]
        else:
            return "invalid", i
        for k, (lo, hi) in enumerate(ranges, start=1):
            if i + k >= n:
                return "partial", None
            if not lo <= data[i + k] <= hi:
                return "invalid", i + k
        i += 1 + len(ranges)
    return "complete", None


def xor_model(data: bytes, key: bytes, start: int = 0) -> bytes:
    """Plain Python masking: byte i XOR key[(start + i) mod 4]."""
    return bytes(b ^ key[(start + i) % 4] for i, b in enumerate(data))


# --- memory ------------------------------------------------------------------

PAGE = mmap.PAGESIZE
_libc = ctypes.CDLL(None, use_errno=True)
_libc.mprotect.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)


class GuardedPage:
    """One read-write page between two inaccessible pages.

    A piece placed with `at_end(n)` ends at the last byte before the upper
    guard page; `at_start()` is the first byte after the lower one. Touching
    a guard page kills the process, so run sweeps in a child process."""

    def __init__(self) -> None:
        self._map = mmap.mmap(-1, 3 * PAGE)
        self.base = ctypes.addressof(ctypes.c_char.from_buffer(self._map)) + PAGE
        for addr in (self.base - PAGE, self.base + PAGE):
            if _libc.mprotect(addr, PAGE, 0) != 0:
                raise OSError(ctypes.get_errno(), "mprotect failed")

    def at_end(self, n: int) -> int:
        return self.base + PAGE - n

    def at_start(self) -> int:
        return self.base

    def write(self, addr: int, data: bytes) -> None:
        assert self.base <= addr and addr + len(data) <= self.base + PAGE
        ctypes.memmove(addr, data, len(data))

    def read(self, addr: int, n: int) -> bytes:
        assert self.base <= addr and addr + n <= self.base + PAGE
        return ctypes.string_at(addr, n)


class AlignedBuffer:
    """A buffer with guard bytes on both sides, placed at a chosen address residue mod 16."""

    GUARD = 64

    def __init__(self, data: bytes, residue: int, fill: int = 0xA5) -> None:
        size = len(data) + 2 * self.GUARD + 16
        self._raw = bytearray([fill]) * size
        raw_addr = ctypes.addressof((ctypes.c_char * size).from_buffer(self._raw))
        self.offset = self.GUARD + ((residue - (raw_addr + self.GUARD)) % 16)
        self.length = len(data)
        self._raw[self.offset:self.offset + len(data)] = data
        self.address = raw_addr + self.offset
        self.fill = fill

    def contents(self) -> bytes:
        return bytes(self._raw[self.offset:self.offset + self.length])

    def guards_intact(self) -> bool:
        before = self._raw[:self.offset]
        after = self._raw[self.offset + self.length:]
        return before.count(self.fill) == len(before) and after.count(self.fill) == len(after)


def seeded(seed: int) -> random.Random:
    return random.Random(seed)
