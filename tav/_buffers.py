"""Turning Python buffers into memory the native routines may use, with errors that say what was wrong.

On CPython a buffer export pins the memory: a bytearray, array or mmap with
an export refuses to be resized, so native code reads and writes the
object's own memory with the interpreter lock released.

On PyPy nothing pins it: neither ffi.from_buffer nor a memoryview stops a
bytearray, array or mmap from being resized (and its memory moved or freed)
by another thread while a cffi call runs with the lock released. There,
every buffer but an immutable bytes goes through private copies: a chunk is
copied in under the lock, the native routine runs on the copy, and for
in-place work the chunk is copied back under the lock. The copies are made
by the object's own methods or through memoryviews, which on PyPy follow
the object's current size and check their bounds, never through a pointer
taken earlier: a resize during a call ends in BufferError, never in freed
memory. The price is PyPy's copying speed (about 2 GB/s each way on
PyPy 7.3), paid by every buffer but bytes."""
from __future__ import annotations

import importlib
import re
import sys
import threading
from typing import TYPE_CHECKING, Any, Callable, List, Tuple


if TYPE_CHECKING:
    from _cffi_backend import _CDataBase as CData
    from typing_extensions import Buffer

try:
    ffi: Any = importlib.import_module("_tav_utf8check").ffi
except ImportError:
    # Built without the cffi modules (free-threaded CPython 3.13): the native
    # backend serves, and only the pure-Python checks below are used.
    ffi = None

# Resolved once: a type string given to from_buffer is parsed on every call.
# cffi's ctypes are unique per process, so this one serves both modules.
U8_ARRAY: Any = ffi.typeof("uint8_t[]") if ffi is not None else None


def _no_cffi(*args: Any, **kwargs: Any) -> CData:
    raise ImportError("the cffi modules are not built for this interpreter")


from_buffer: Callable[..., CData] = ffi.from_buffer if ffi is not None else _no_cffi

#: Bytes behind one record (with malloc's header), told to the garbage
#: collector so that PyPy's, which does not count references, feels the
#: memory that dropped objects still hold.
RECORD_SIZE = 48

#: True where buffer exports do not pin memory and buffers go through copies.
COPIES = sys.implementation.name == "pypy"

# Item formats of plain data: numbers and chars, with an optional byte order
# and repeat counts. Anything else (object pointers 'O', 'P', unknown codes)
# would expose or corrupt pointers and is refused.
_PLAIN_FORMAT = re.compile(r"[@=<>!]?(?:[0-9]*[cbB?hHiIlLqQnNefd])+\Z")
_plain_formats = {"B"}


def type_name(obj: object) -> str:
    """The name of obj's type, read past any metaclass that redefines __name__."""
    name: str = type.__dict__["__name__"].__get__(type(obj))
    return name


def plain_format(fmt: str) -> bool:
    """True if items of the buffer format `fmt` are plain data (numbers, chars)."""
    if fmt in _plain_formats:
        return True
    if _PLAIN_FORMAT.match(fmt):
        _plain_formats.add(fmt)
        return True
    return False


def plain_view(data: Buffer, what: str) -> memoryview:
    """A byte-format view of `data`, checked: a buffer of plain data, C-contiguous.

    TypeError for what is no buffer and for items that are not plain data,
    BufferError for a buffer that is not C-contiguous."""
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"{what} takes a bytes-like object, not {type_name(data)}") from None
    fmt = view.format
    if fmt not in _plain_formats and not plain_format(fmt):
        view.release()
        raise TypeError(f"{what} takes a buffer of plain data, not items of format '{fmt}'")
    if not view.c_contiguous:
        view.release()
        raise BufferError(
            f"{what} cannot use the {type_name(data)} given as a C-contiguous buffer: "
            "memoryview: underlying buffer is not C-contiguous"
        )
    if fmt != "B" or view.ndim != 1:
        view = view.cast("B")
    return view


def readable(data: Buffer, what: str) -> CData:
    """A uint8_t[] view of `data` (no copy), holding its buffer export while it lives."""
    if type(data) is memoryview and data.format in _plain_formats and data.c_contiguous:
        return from_buffer(U8_ARRAY, data)  # the common case, without a second view
    return from_buffer(U8_ARRAY, plain_view(data, what))


def writable_view(data: Buffer, what: str) -> memoryview:
    """plain_view() of a writable buffer; TypeError naming a read-only one."""
    view = plain_view(data, what)
    if view.readonly:
        view.release()
        raise TypeError(f"{what} needs a writable buffer; the {type_name(data)} given is read-only")
    return view


def writable(data: Buffer, what: str) -> CData:
    """A writable uint8_t[] view of `data` (no copy); TypeError naming a read-only buffer."""
    if type(data) is bytearray:
        return from_buffer(U8_ARRAY, data, True)
    if type(data) is memoryview and not data.readonly and data.format in _plain_formats and data.c_contiguous:
        return from_buffer(U8_ARRAY, data, True)
    return from_buffer(U8_ARRAY, writable_view(data, what), True)


def copy_of(data: Buffer, what: str) -> bytearray:
    """A private copy of the bytes of `data`, taken under the interpreter lock."""
    if type(data) is bytes or type(data) is bytearray:
        return bytearray(data)
    with plain_view(data, what) as view:
        return bytearray(view)


def key_bytes(key: Buffer) -> bytes:
    """The 4 bytes of a masking key given as any bytes-like object; errors name the fault."""
    try:
        view = memoryview(key)
    except TypeError:
        raise TypeError(f"the key must be a bytes-like object of 4 bytes, not {type_name(key)}") from None
    with view:
        if view.nbytes != 4:
            raise ValueError(f"the key must be exactly 4 bytes, got {view.nbytes}")
        return view.tobytes()


# --- copies, where exports do not pin memory --------------------------------------

#: Bytes copied per step: the copy and the native routine's pass over it stay
#: in the second-level cache.
CHUNK = 1 << 16
#: Up to this size a bytearray is copied by its own methods, which cost less
#: there than a memoryview's.
SMALL = 4096

# Scratch chunks, kept per thread and taken out while in use, so that a
# signal handler that calls the API meanwhile takes its own.
_scratch = threading.local()
_new_scratch: Any = ffi.new_allocator(should_clear_after_alloc=False) if ffi is not None else None

#: step(chunk, n) runs a native routine on the first n bytes of a private chunk.
Step = Callable[[Any, int], int]


def _resized(what: str) -> BufferError:
    return BufferError(f"{what}: the buffer was resized by another thread during the call")


def _take_scratch() -> Tuple[List[Any], Any, memoryview]:
    try:
        spare: List[Any] = _scratch.chunks
    except AttributeError:
        spare = _scratch.chunks = []
    if spare:
        chunk, view = spare.pop()
    else:
        chunk = _new_scratch("uint8_t[]", CHUNK)
        view = memoryview(ffi.buffer(chunk))
    return spare, chunk, view


def read_copies(data: Buffer, step: Step, what: str) -> int:
    """step() over private copies of the bytes of `data`, CHUNK at a time; stops at a negative result.

    Returns the last result; an empty buffer gets one step on no bytes."""
    if type(data) is bytearray:
        snapshot = bytes(data)  # one copy, taken whole under the lock
        return step(snapshot, len(snapshot))
    view = plain_view(data, what)
    n = len(view)
    if n <= CHUNK:
        snapshot = view.tobytes()
        return step(snapshot, len(snapshot))
    spare, chunk, scratch = _take_scratch()
    try:
        result = 0
        for at in range(0, n, CHUNK):
            k = min(CHUNK, n - at)
            try:
                scratch[:k] = view[at : at + k]
            except (ValueError, IndexError):
                raise _resized(what) from None
            result = step(chunk, k)
            if result < 0:
                break
        return result
    finally:
        spare.append((chunk, scratch))


def write_copies(data: Buffer, step: Callable[[Any, int], object], what: str) -> None:
    """step() over private copies of the writable buffer `data`, each written back."""
    if type(data) is bytearray and len(data) <= SMALL:
        # bytearray's own copies are the cheapest for short buffers, and
        # each is one step under the lock.
        snapshot = bytes(data)
        n = len(snapshot)
        spare, chunk, scratch = _take_scratch()
        try:
            ffi.memmove(chunk, snapshot, n)  # both private
            step(chunk, n)
            if len(data) != n:
                raise _resized(what)
            data[:] = ffi.buffer(chunk, n)[:]
        finally:
            spare.append((chunk, scratch))
        return
    view = writable_view(data, what)
    n = len(view)
    spare, chunk, scratch = _take_scratch()
    try:
        for at in range(0, max(n, 1), CHUNK):
            k = min(CHUNK, n - at)
            try:
                scratch[:k] = view[at : at + k]
            except (ValueError, IndexError):
                raise _resized(what) from None
            step(chunk, k)
            try:
                view[at : at + k] = scratch[:k]
            except (ValueError, IndexError):
                raise _resized(what) from None
    finally:
        spare.append((chunk, scratch))
