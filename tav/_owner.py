"""The life cycle shared by the objects that own one native record."""
from __future__ import annotations

from types import TracebackType
from typing import TYPE_CHECKING, Any, ClassVar, List, Optional, Type, TypeVar

if TYPE_CHECKING:
    from _cffi_backend import _CDataBase as CData

_Self = TypeVar("_Self", bound="RecordOwner")


class RecordOwner:
    """Owns one native record (an ffi.gc handle) used by one thread at a time.

    Whoever pops the single token may use the record; list.pop and
    list.append are atomic, and cheaper than a lock. A second thread finds
    the list empty and gets RuntimeError instead of a corrupted stream."""

    __slots__ = ("_token", "_handle", "__weakref__")

    #: The module's ffi, whose release() frees a gc handle at once.
    _ffi: ClassVar[Any]

    def __init__(self, handle: CData) -> None:
        self._token: List[bool] = [True]
        self._handle: Optional[CData] = handle

    @classmethod
    def _concurrent(cls) -> RuntimeError:
        return RuntimeError(f"concurrent use of one {cls.__name__} from several threads is not allowed")

    def _closed(self) -> ValueError:
        return ValueError(f"{type(self).__name__} is closed")

    def _acquire(self) -> CData:
        """Take the token and return the live handle; the caller puts the token back."""
        try:
            self._token.pop()
        except IndexError:
            raise self._concurrent() from None
        handle = self._handle
        if handle is None:
            self._token.append(True)
            raise self._closed()
        return handle

    def close(self) -> None:
        """Free the native record now. Idempotent; any later use raises ValueError."""
        handle, self._handle = self._handle, None
        if handle is None:
            return
        try:
            self._token.pop()
        except IndexError:
            # Another thread is inside a call and holds its own reference to
            # the handle: the record is freed when that call drops it.
            return
        try:
            self._ffi.release(handle)
        finally:
            self._token.append(True)

    def __enter__(self: _Self) -> _Self:
        self._acquire()
        self._token.append(True)
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

