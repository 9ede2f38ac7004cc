"""The life cycle shared by the objects that own one native record."""
from __future__ import annotations

from types import TracebackType
from typing import TYPE_CHECKING, Any, ClassVar, List, NoReturn, Optional, Type, TypeVar

if TYPE_CHECKING:
    from _cffi_backend import _CDataBase as CData

_Self = TypeVar("_Self", bound="RecordOwner")


class RecordOwner:
    """Owns one native record (an ffi.gc handle) used by one thread at a time.

    Whoever pops the single token may use the record; list.pop and
    list.append are atomic (under the GIL, and by the list's own lock in
    free-threaded builds), and cheaper than a lock. A second thread finds the
    list empty and gets RuntimeError instead of a corrupted stream.

    Objects are neither copied nor pickled: a copy would share the record and
    free it under the original. An object whose __init__ never ran or failed
    has no token at all; every use of it says so."""

    __slots__ = ("_token", "_handle", "__weakref__")

    #: The module's ffi, whose release() frees a gc handle at once.
    _ffi: ClassVar[Any]

    def __init__(self, handle: CData) -> None:
        if getattr(self, "_token", None) is not None:
            self._ffi.release(handle)
            raise RuntimeError(f"tav.{type(self).__name__} is already initialized")
        self._handle: Optional[CData] = handle
        self._token: List[bool] = [True]

    @classmethod
    def _concurrent(cls) -> RuntimeError:
        return RuntimeError(f"concurrent use of one {cls.__name__} from several threads is not allowed")

    def _closed(self) -> ValueError:
        return ValueError(f"{type(self).__name__} is closed")

    def _uninitialized(self) -> ValueError:
        return ValueError(f"tav.{type(self).__name__} is not initialized (its __init__ never ran or failed)")

    def _take(self) -> List[bool]:
        """Pop the token and return its list; the caller appends the token back."""
        try:
            token = self._token
        except AttributeError:
            raise self._uninitialized() from None
        try:
            token.pop()
        except IndexError:
            raise self._concurrent() from None
        return token

    def _acquire(self) -> CData:
        """Take the token and return the live handle; the caller puts the token back."""
        token = self._take()
        handle = self._handle
        if handle is None:
            token.append(True)
            raise self._closed()
        return handle

    def close(self, /) -> None:
        """Free the native record now. Idempotent; any later use raises ValueError."""
        try:
            token = self._token
        except AttributeError:
            return  # never initialized: nothing to free
        handle, self._handle = self._handle, None
        if handle is None:
            return
        try:
            token.pop()
        except IndexError:
            # Another thread is inside a call and holds its own reference to
            # the handle: the record is freed when that call drops it.
            return
        try:
            self._ffi.release(handle)
        finally:
            token.append(True)

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

    def __copy__(self) -> NoReturn:
        raise TypeError(f"cannot copy a tav.{type(self).__name__}: it owns a native record; make a new one")

    def __deepcopy__(self, memo: object) -> NoReturn:
        self.__copy__()

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError(f"cannot pickle a tav.{type(self).__name__}: it owns a native record")

    def __reduce__(self) -> NoReturn:
        self.__reduce_ex__(None)

    def _describe(self, live: str) -> str:
        """repr() text for a live object, or what state keeps it from use."""
        name = type(self).__name__
        try:
            handle = self._handle
        except AttributeError:
            return f"<{name} not initialized>"
        return f"<{name} closed>" if handle is None else f"<{name}{live}>"


class MaskerOwner(RecordOwner):
    """A masker: both maskers (native record, pure Python) share this base,
    through which unmask_and_validate() knows and drives either."""

    __slots__ = ()

    def _run(self, handle: Any, buf: Any, n: int) -> None:
        """Mask the first n bytes of the private or pinned memory `buf` with the taken handle."""
        raise NotImplementedError
