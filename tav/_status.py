"""The answer of Utf8Validator.validate(): what the bytes fed so far are."""
from __future__ import annotations

import enum
from typing import NoReturn

__all__ = ["Utf8Status"]


class Utf8Status(enum.IntEnum):
    """What the bytes fed so far are: INVALID, COMPLETE or INCOMPLETE.

    Compare a status with the members (``status is Utf8Status.COMPLETE``,
    ``status == Utf8Status.INVALID``); its integer value is the native result
    (-1, 0, 1). A status has no truth value: ``if v.validate(chunk):`` would
    read as "valid" while COMPLETE is 0, so bool() raises TypeError instead."""

    INVALID = -1  #: an invalid byte has been seen in this stream (sticky until reset())
    COMPLETE = 0  #: everything so far is complete, well-formed UTF-8
    INCOMPLETE = 1  #: well-formed so far, but the stream ends inside a character

    def __bool__(self) -> NoReturn:
        raise TypeError(
            "a Utf8Status has no truth value: compare it with Utf8Status.COMPLETE, "
            "or use tav.is_valid_utf8() for a yes/no answer"
        )

    # IntEnum prints as the bare number from Python 3.11 on and as the member
    # name before; one form everywhere.
    def __str__(self) -> str:
        return f"Utf8Status.{self.name}"

    def __format__(self, fmt: str) -> str:
        return format(str(self), fmt)

    def __repr__(self) -> str:
        return f"<Utf8Status.{self.name}: {self.value}>"
