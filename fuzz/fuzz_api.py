"""Atheris fuzz target for the safe API: random call sequences checked against Python models.

Each input drives one Utf8Validator and one XorMasker through a sequence of
validate/reset/mask/masked/position calls on chunks of the input, in several
buffer kinds (bytes, bytearray, memoryview slices at varying offsets, so the
native code sees every address residue). The validator is checked against
CPython's one-shot strict decoder; the masker against a plain XOR model.

    python fuzz/fuzz_api.py -max_total_time=45 build/fuzz/corpus/fuzz_api fuzz/seeds/utf8
"""
from __future__ import annotations

import sys
from typing import Callable, Optional

import atheris

with atheris.instrument_imports():
    import tav


def first_rejected(data: bytes) -> Optional[int]:
    """Offset of the first byte at which data stops being a prefix of UTF-8, or None.

    CPython's one-shot strict decoder: "invalid start byte" reports the byte
    as start, every other rejection reason as end."""
    try:
        data.decode("utf-8")
        return None
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return None
        return e.start if e.reason == "invalid start byte" else e.end


def expected_status(stream: bytes) -> tuple[tav.Utf8Status, Optional[int]]:
    """The status and error offset that the stream so far must give."""
    bad = first_rejected(stream)
    if bad is not None:
        return tav.Utf8Status.INVALID, bad
    try:
        stream.decode("utf-8")
        return tav.Utf8Status.COMPLETE, None
    except UnicodeDecodeError:
        return tav.Utf8Status.INCOMPLETE, None


def xor_model(data: bytes, key: bytes, start: int) -> bytes:
    """Byte i XOR key[(start + i) mod 4], as RFC 6455 masks."""
    k = key[start % 4:] + key[:start % 4]
    reps = (len(data) + 3) // 4
    return (int.from_bytes(data, "little") ^ int.from_bytes((k * reps)[:len(data)], "little")).to_bytes(
        len(data), "little"
    )


def as_buffer(fdp: atheris.FuzzedDataProvider, chunk: bytes, writable: bool) -> tuple[object, Callable[[], bytes]]:
    """The chunk in a buffer kind chosen by the input, and a reader of its current contents."""
    kind = fdp.ConsumeIntInRange(0, 3 if not writable else 2)
    if kind == 0 and not writable:
        return chunk, lambda: chunk
    if kind <= 1:
        arr = bytearray(chunk)
        return arr, lambda: bytes(arr)
    # A slice of a larger bytearray: the data starts at an input-chosen offset.
    pad = fdp.ConsumeIntInRange(0, 31)
    backing = bytearray(pad) + bytearray(chunk) + bytearray(7)
    view = memoryview(backing)[pad:pad + len(chunk)]
    return view, lambda: bytes(view)


def TestOneInput(data: bytes) -> None:
    """One call sequence; raises AssertionError on any disagreement with the models."""
    fdp = atheris.FuzzedDataProvider(data)
    key = fdp.ConsumeBytes(4).ljust(4, b"\0")
    validator = tav.Utf8Validator()
    masker = tav.XorMasker(key)
    stream = b""
    position = 0
    for _ in range(fdp.ConsumeIntInRange(1, 24)):
        if fdp.remaining_bytes() == 0:
            break
        op = fdp.ConsumeIntInRange(0, 9)
        size = fdp.ConsumeIntInRange(0, 2048 if fdp.ConsumeBool() else 40)
        if op <= 3:
            chunk = fdp.ConsumeBytes(size)
            buf, _ = as_buffer(fdp, chunk, writable=False)
            status = validator.validate(buf)
            if first_rejected(stream) is None:
                stream += chunk
            want, offset = expected_status(stream)
            assert status == want, (status, want, stream)
            assert validator.error_offset == offset, (validator.error_offset, offset)
            done = offset if offset is not None else len(stream)
            assert validator.bytes_validated == done, (validator.bytes_validated, done)
        elif op == 4:
            validator.reset()
            stream = b""
            assert validator.error_offset is None and validator.bytes_validated == 0
        elif op <= 6:
            chunk = fdp.ConsumeBytes(size)
            buf, contents = as_buffer(fdp, chunk, writable=True)
            masker.mask(buf)
            assert contents() == xor_model(chunk, key, position), "mask() result"
            position += len(chunk)
            assert masker.position == position, (masker.position, position)
        elif op == 7:
            chunk = fdp.ConsumeBytes(size)
            buf, contents = as_buffer(fdp, chunk, writable=False)
            out = masker.masked(buf)
            assert out == xor_model(chunk, key, position), "masked() result"
            assert contents() == chunk, "masked() changed its input"
            position += len(chunk)
            assert masker.position == position
        elif op == 8:
            masker.reset()
            position = 0
            assert masker.position == 0
        else:
            chunk = fdp.ConsumeBytes(size)
            assert tav.is_valid_utf8(chunk) == (expected_status(chunk)[0] == tav.Utf8Status.COMPLETE)
            assert tav.mask(key, chunk) == xor_model(chunk, key, 0)
    validator.close()
    masker.close()


def main() -> None:
    """Hand the target to libFuzzer with the command-line options."""
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
