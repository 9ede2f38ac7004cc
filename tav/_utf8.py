"""Incremental UTF-8 validation over the native validator record."""
from __future__ import annotations

import importlib
import threading
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Union

import cffi

import _tav_utf8check

from ._buffers import COPIES, RECORD_SIZE, U8_ARRAY, from_buffer, read_copies, readable, type_name, writable
from ._buffers import write_copies
from . import _cpu
from ._owner import MaskerOwner, RecordOwner
from ._status import Utf8Status

if TYPE_CHECKING:
    from _cffi_backend import _CDataBase as CData
    from typing_extensions import Buffer

__all__ = ["BLOCK_VALIDATOR_THRESHOLD", "Utf8Status", "Utf8Validator", "is_valid_utf8"]

ffi = _tav_utf8check.ffi
lib = _tav_utf8check.lib

#: Chunks shorter than this go to the unrolled routine through the
#: dispatcher, longer ones to the widest vector validator the processor runs
#: (AVX-512, AVX2, SSSE3; exact, like the dispatcher) or else to the SSE2
#: block validator, both bound in _tav_utf8routines. Measured while they were
#: reached through an ABI call, which costs ~0.14 us more per call than that
#: binding (ns per validate() call, unrolled / AVX-512,
#: ASCII and Cyrillic): 512 B 686 / 711 and 723 / 736, 1 KiB 836 / 728 and
#: 899 / 776, 4 KiB 1708 / 769 and 1983 / 928. The SSE2 block validator, which
#: also saves the record for a replay, pays only from 4 KiB (block / unrolled
#: speed: 2 KiB 1.28x ASCII but 0.88x non-ASCII; 4 KiB 1.92x and 0.98x).
VECTOR_THRESHOLD = 1024
SSE2_BLOCK_THRESHOLD = 4096

# The long-chunk routines are not in the validator's binding; the module
# _tav_utf8routines binds them, from the same library files. The record
# layout lets a rejected call be undone.
_abi = cffi.FFI()
_abi.cdef("typedef struct { size_t current_index; size_t total_index; int state; int impl; } utf8vld_state;")
_BlockValidator = Callable[["CData", Union[bytes, "CData"], int], int]

#: The long-chunk routines, widest first, with the processor features each needs.
LONG_ROUTINES = (
    ("avx512", ("avx512f", "avx512bw")),
    ("avx2", ("avx2",)),
    ("ssse3", ("ssse3",)),
    ("sse2", ("sse2",)),
)


def _long_routine(only: Optional[str] = None) -> tuple[str, Optional[_BlockValidator]]:
    """The widest long-chunk routine the processor runs (or the one named)."""
    try:
        so = importlib.import_module("_tav_utf8routines").lib
    except ImportError:
        return "none", None
    for name, needs in LONG_ROUTINES:
        if (only is None or name == only) and _cpu.has(*needs):
            fn = getattr(so, f"_tav_utf8vld_validate_{name}", None)
            if fn is not None:
                return name, fn
    return "none", None  # no such routine here: the unrolled routine serves all sizes


# The routine for long chunks. The vector routines (ssse3, avx2, avx512) have
# the dispatcher's exact effects; the SSE2 block validator locates a rejection
# only to its block, so its rejected chunks are replayed.
LONG_ROUTINE, _block_validate = _long_routine()
_long_exact = LONG_ROUTINE != "sse2"
#: Chunk size from which validate() takes the long-chunk routine.
BLOCK_VALIDATOR_THRESHOLD = VECTOR_THRESHOLD if _long_exact else SSE2_BLOCK_THRESHOLD
_long_chunk = BLOCK_VALIDATOR_THRESHOLD if _block_validate is not None else 1 << 64


def _force_long_routine(name: Optional[str]) -> None:
    """Tests only: take `name` (or the widest) for long chunks; ValueError if the processor lacks it."""
    global LONG_ROUTINE, _block_validate, _long_exact, _long_chunk
    routine, fn = _long_routine(name)
    if fn is None:
        raise ValueError(f"this processor does not run the {name} validator")
    LONG_ROUTINE, _block_validate, _long_exact = routine, fn, routine != "sse2"
    _long_chunk = VECTOR_THRESHOLD if _long_exact else SSE2_BLOCK_THRESHOLD

_UNROLLED = 2  # implementation number of the unrolled routine behind the dispatcher
_validate = lib.tav_utf8vld_validate
_total_index = lib.tav_utf8vld_get_total_index
_cast_record = _abi.cast
_RECORD = _abi.typeof("utf8vld_state *")


# Indexed by the native result -1, 0 or 1.
_BY_RESULT = (Utf8Status.COMPLETE, Utf8Status.INCOMPLETE, Utf8Status.INVALID)


def _new_record() -> CData:
    raw = lib.tav_utf8vld_new()
    if raw == ffi.NULL:
        raise MemoryError("cannot allocate a UTF-8 validator record")
    lib.tav_utf8vld_set_impl(raw, _UNROLLED)
    return raw


def _validate_long(handle: CData, record: Any, data: Union[bytes, CData], n: int) -> int:
    """Validate a long chunk with the block validator; on a rejection replay it for the exact offset.

    The block validator counts whole 16-byte units after a rejection, so the
    record fields are put back as they were and the dispatcher runs the same
    chunk again; the record then holds exactly what the dispatcher alone leaves."""
    assert _block_validate is not None
    if _long_exact:
        return _block_validate(handle, data, n)
    saved = record.current_index, record.total_index, record.state
    result = _block_validate(handle, data, n)
    if result < 0:
        record.current_index, record.total_index, record.state = saved
        result = _validate(handle, data, n)
    return result


class Utf8Validator(RecordOwner):
    """Fail-fast check that a byte stream fed in chunks is well-formed UTF-8 (RFC 3629).

    A character may be split anywhere between chunks. Once an invalid byte is
    seen, validate() answers INVALID until reset(), and error_offset gives the
    stream offset of that byte.

    Which routine serves a chunk: chunks shorter than BLOCK_VALIDATOR_THRESHOLD
    go through the dispatcher with the unrolled routine, whose per-call cost is
    lowest; longer ones go to the widest vector validator the processor runs
    (AVX-512, AVX2 or SSSE3, 16-64 bytes per step, with the dispatcher's exact
    results), or on a processor without SSSE3 to the SSE2 block validator,
    which locates a rejection only to its 16-byte block: a chunk it rejects is
    replayed through the dispatcher for the exact offset.

    On CPython buffers are never copied: bytes are handed to native code as
    they are, every other bytes-like object through a buffer export that pins
    its memory for the call. On PyPy, where an export pins nothing, every
    buffer but bytes is validated through private copies (tav._buffers). The
    interpreter lock is released while native code runs.

    Copying: refused (copy, deepcopy and pickle raise TypeError), since a copy
    would share the native record; make a new Utf8Validator.

    Sharing: one object serves one thread at a time. A call made while another
    thread is inside a method of the same object raises RuntimeError instead
    of corrupting the stream. close() from another thread during a call never
    frees the record under that call: the record goes when the call returns.
    Distinct objects may be used from distinct threads at once."""

    __slots__ = ("_record", "_error_offset")
    _ffi = ffi

    def __init__(self) -> None:
        handle = ffi.gc(_new_record(), lib.tav_utf8vld_free, RECORD_SIZE)
        super().__init__(handle)
        # The record's fields, for undoing a rejected block-validator call. It
        # owns nothing and is read only while a live handle is held.
        self._record: Any = _cast_record(_RECORD, handle)
        self._error_offset: Optional[int] = None

    def validate(self, data: Buffer, /) -> Utf8Status:
        """Feed the next chunk: any C-contiguous bytes-like object, of its whole size in bytes."""
        try:
            token = self._token
            token.pop()
        except AttributeError:
            raise self._uninitialized() from None
        except IndexError:
            raise self._concurrent() from None
        try:
            handle = self._handle
            if handle is None:
                raise self._closed()
            if self._error_offset is not None:
                return Utf8Status.INVALID
            buf: Union[bytes, CData, None]
            if type(data) is bytes:
                buf = data  # immutable and kept alive by this frame: read in place
            elif COPIES:
                buf = None
                result = _feed_copies(handle, self._record, data, "Utf8Validator.validate()")
            elif type(data) is bytearray:
                buf = from_buffer(U8_ARRAY, data)
            else:
                buf = readable(data, "Utf8Validator.validate()")
            if buf is not None:
                n = len(buf)
                result = _validate(handle, buf, n) if n < _long_chunk else _validate_long(handle, self._record, buf, n)
            if result < 0:
                self._error_offset = _total_index(handle)
            return _BY_RESULT[result]
        finally:
            token.append(True)

    def reset(self, /) -> None:
        """Forget the stream: ready for the next one, from offset 0."""
        handle = self._acquire()
        try:
            lib.tav_utf8vld_reset(handle)
            self._error_offset = None
        finally:
            self._token.append(True)

    @property
    def error_offset(self) -> Optional[int]:
        """Stream offset of the first invalid byte, or None while the stream is valid."""
        self._acquire()
        try:
            return self._error_offset
        finally:
            self._token.append(True)

    @property
    def bytes_validated(self) -> int:
        """Bytes taken since creation or reset(); once invalid, the bytes before the invalid one."""
        handle = self._acquire()
        try:
            if self._error_offset is not None:
                return self._error_offset
            return int(_total_index(handle))
        finally:
            self._token.append(True)

    def __repr__(self) -> str:
        return self._describe(f" error_offset={getattr(self, '_error_offset', None)!r}")


# Records of is_valid_utf8, kept per thread: a record is taken out while in
# use, so even a signal handler that validates meanwhile gets its own.
_spare = threading.local()


def is_valid_utf8(data: Buffer, /) -> bool:
    """True if `data` (any C-contiguous bytes-like) is complete, well-formed UTF-8."""
    if COPIES and type(data) is not bytes:
        return _is_valid_copies(data)
    if type(data) is bytes:
        buf: Union[bytes, CData] = data
    elif type(data) is bytearray:
        buf = from_buffer(U8_ARRAY, data)
    else:
        buf = readable(data, "is_valid_utf8()")
    n = len(buf)
    try:
        spare: List[CData] = _spare.records
    except AttributeError:
        spare = _spare.records = []
    handle = spare.pop() if spare else ffi.gc(_new_record(), lib.tav_utf8vld_free, RECORD_SIZE)
    if n < _long_chunk or _block_validate is None:
        result = _validate(handle, buf, n)
    else:
        # No offset is wanted here, so the block validator's verdict stands alone.
        result = _block_validate(handle, buf, n)
    if result != 0:  # a record left at a character boundary needs no reset
        lib.tav_utf8vld_reset(handle)
    spare.append(handle)
    return result == 0


# The copying paths live apart: a closure in the callers would make every
# call pay for cells, copies or not.
def _feed_copies(handle: CData, record: Any, data: Buffer, what: str) -> int:
    return read_copies(data, lambda chunk, k: _feed(handle, record, chunk, k), what)


def _is_valid_copies(data: Buffer) -> bool:
    return _with_spare(lambda handle: read_copies(data, lambda chunk, k: _check(handle, chunk, k), "is_valid_utf8()"))


def _check(handle: CData, buf: Union[bytes, CData], n: int) -> int:
    if n < _long_chunk or _block_validate is None:
        return int(_validate(handle, buf, n))
    # No offset is wanted here, so the block validator's verdict stands alone.
    return _block_validate(handle, buf, n)


def _with_spare(run: Callable[[CData], int]) -> bool:
    """run(record) on this thread's spare record; True if it leaves the stream complete."""
    try:
        spare: List[CData] = _spare.records
    except AttributeError:
        spare = _spare.records = []
    handle = spare.pop() if spare else ffi.gc(_new_record(), lib.tav_utf8vld_free, RECORD_SIZE)
    try:
        result = run(handle)
    except BaseException:
        lib.tav_utf8vld_reset(handle)
        raise
    if result != 0:  # a record left at a character boundary needs no reset
        lib.tav_utf8vld_reset(handle)
    spare.append(handle)
    return result == 0


def _feed(handle: CData, record: Any, buf: Union[bytes, CData], n: int) -> int:
    if n < _long_chunk:
        return int(_validate(handle, buf, n))
    return _validate_long(handle, record, buf, n)


def unmask_and_validate(masker: MaskerOwner, validator: Utf8Validator, buffer: Buffer, /) -> Utf8Status:
    """Unmask the writable `buffer` in place with `masker`, then validate it with `validator`.

    The results are those of masker.mask(buffer) followed by
    validator.validate(buffer): the whole buffer is unmasked and the masker's
    position advances by its length, and the validator's status is returned;
    an invalid byte stops validation at its exact offset but not the
    unmasking. Both objects and the buffer are checked before any byte
    changes: an error leaves the buffer, the masker and the validator as
    they were. The native backend does both in one pass over memory; this
    backend makes the two native calls."""
    if not isinstance(masker, MaskerOwner) or not isinstance(validator, Utf8Validator):
        wrong = validator if isinstance(masker, MaskerOwner) else masker
        raise TypeError(
            f"unmask_and_validate() takes a tav.XorMasker and a tav.Utf8Validator, not {type_name(wrong)}"
        )
    what = "unmask_and_validate()"
    m_handle = masker._acquire()
    try:
        v_handle = validator._acquire()
        try:
            record = validator._record
            checking = validator._error_offset is None
            if COPIES:
                result = 0 if checking else -1

                def step(chunk: CData, k: int) -> int:
                    nonlocal result
                    masker._run(m_handle, chunk, k)
                    if result >= 0:
                        result = _feed(v_handle, record, chunk, k)
                    return result

                write_copies(buffer, step, what)
            else:
                buf = writable(buffer, what)
                n = len(buf)
                masker._run(m_handle, buf, n)
                result = _feed(v_handle, record, buf, n) if checking else -1
            if result < 0 and checking:
                validator._error_offset = _total_index(v_handle)
            return _BY_RESULT[result]
        finally:
            validator._token.append(True)
    finally:
        masker._token.append(True)
