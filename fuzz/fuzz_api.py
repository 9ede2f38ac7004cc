"""Atheris fuzz target for the safe API: random call sequences checked against plain Python models.

Each input drives one Utf8Validator and one XorMasker, and the module-level
calls beside them, through a sequence of operations on chunks of the input:
every entry of the safe API (validate, reset, error_offset, bytes_validated,
is_valid_utf8, mask, masked, reset(key), position, tav.mask, mask_in_place,
unmask_and_validate, compat.apply_mask, compat.websocket_mask, and
decode_utf8 (error handlers, mask) / Utf8Decoder (failing fast) where tav
has them), with keys of wrong lengths now and then. Chunks come as bytes, bytearray or memoryview slices at
input-chosen offsets, so the native code sees every address residue. Models:
CPython's strict decoder for validity, offsets and text; a byte loop XOR for
masking.

libFuzzer's coverage signal comes from tav's Python modules and, when the
native module is a clang build with -fsanitize=fuzzer-no-link and libFuzzer is
preloaded, from the native code too: `bash fuzz/run.sh api SECONDS` builds and
runs it so. TAV_FUZZ_INSTRUMENT_ALL=1 instruments every Python module instead
(atheris.instrument_all), for comparison.
"""
from __future__ import annotations

import os
import sys
from typing import Any, Callable, Optional

import atheris

with atheris.instrument_imports():
    import tav
    import tav.compat

Status = tav.Utf8Status


def xor_model(data: bytes, key: bytes, start: int) -> bytes:
    """Byte i XOR key[(start + i) mod 4], as RFC 6455 masks, one byte at a time."""
    return bytes(b ^ key[(start + i) % 4] for i, b in enumerate(data))


def stream_model(stream: bytes) -> tuple[Status, Optional[int]]:
    """The status and error offset that a validator fed `stream` must give.

    The offset is that of the byte at which the stream stops being a prefix of
    UTF-8: CPython's `start` for "invalid start byte", its `end` otherwise."""
    try:
        stream.decode("utf-8")
        return Status.COMPLETE, None
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return Status.INCOMPLETE, None
        return Status.INVALID, e.start if e.reason == "invalid start byte" else e.end


class Call:
    """The input's choices for one call."""

    def __init__(self, fdp: atheris.FuzzedDataProvider) -> None:
        self.fdp = fdp

    def chunk(self) -> bytes:
        fdp = self.fdp
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4096 if fdp.ConsumeProbability() < 0.1 else 48))

    def key(self) -> bytes:
        """Mostly 4 bytes; now and then another length, which must be refused."""
        fdp = self.fdp
        n = 4 if fdp.ConsumeProbability() < 0.9 else fdp.ConsumeIntInRange(0, 6)
        return fdp.ConsumeBytes(n).ljust(n, b"\0")

    def buffer(self, chunk: bytes, writable: bool) -> tuple[Any, Callable[[], bytes]]:
        """`chunk` in an input-chosen buffer kind, and a reader of its current contents."""
        kind = self.fdp.ConsumeIntInRange(0 if not writable else 1, 3)
        if kind == 0:
            return chunk, lambda: chunk
        if kind == 1:
            arr = bytearray(chunk)
            return arr, lambda: bytes(arr)
        # A slice of a larger bytearray, or a memoryview of a bytes object, from an input-chosen offset.
        pad = self.fdp.ConsumeIntInRange(0, 63)
        backing = (bytearray if writable or kind == 2 else bytes)(pad) + chunk + bytes(7)
        view = memoryview(backing)[pad : pad + len(chunk)]
        return view, lambda: bytes(view)


def refused(call: Callable[[], object], key: bytes, before: Callable[[], bytes], contents: bytes) -> bool:
    """True if `key` is not 4 bytes, in which case `call` must raise ValueError and change nothing."""
    if len(key) == 4:
        return False
    try:
        call()
    except ValueError:
        assert before() == contents, "a refused call changed its buffer"
        return True
    raise AssertionError(f"a {len(key)}-byte key was accepted")


class Session:
    """One validator, one masker, and what the models say they hold."""

    def __init__(self, key: bytes) -> None:
        self.validator = tav.Utf8Validator()
        self.masker = tav.XorMasker(key)
        self.key = key
        self.stream = b""  # every byte given to the validator since its reset
        self.position = 0

    def fed(self, chunk: bytes, status: Status) -> None:
        """Check the validator after `chunk` was given to it and it answered `status`."""
        if stream_model(self.stream)[0] is not Status.INVALID:  # INVALID is sticky
            self.stream += chunk
        want, offset = stream_model(self.stream)
        v = self.validator
        assert status is want, (status, want)
        assert v.error_offset == offset, (v.error_offset, offset)
        done = offset if offset is not None else len(self.stream)
        assert v.bytes_validated == done, (v.bytes_validated, done)

    def masked_by_masker(self, chunk: bytes) -> bytes:
        out = xor_model(chunk, self.key, self.position)
        self.position += len(chunk)
        return out

    def step(self, op: int, call: Call) -> None:
        v, m = self.validator, self.masker
        if op == 0:
            chunk = call.chunk()
            buf, _ = call.buffer(chunk, writable=False)
            self.fed(chunk, v.validate(buf))
        elif op == 1:
            v.reset()
            self.stream = b""
            assert v.error_offset is None and v.bytes_validated == 0
        elif op == 2:
            chunk = call.chunk()
            buf, contents = call.buffer(chunk, writable=True)
            assert m.mask(buf) is None
            assert contents() == self.masked_by_masker(chunk), "XorMasker.mask"
        elif op == 3:
            chunk = call.chunk()
            buf, contents = call.buffer(chunk, writable=False)
            assert m.masked(buf) == self.masked_by_masker(chunk), "XorMasker.masked"
            assert contents() == chunk, "masked() changed its input"
        elif op == 4:
            if call.fdp.ConsumeBool():
                m.reset()
            else:
                key = call.key()
                if refused(lambda: m.reset(key), key, lambda: b"", b""):
                    assert m.position == self.position, "a refused reset(key) moved the masker"
                    return
                m.reset(key)
                self.key = key
            self.position = 0
        elif op == 5:
            chunk = call.chunk()
            buf, contents = call.buffer(chunk, writable=True)
            status = tav.unmask_and_validate(m, v, buf)
            plain = self.masked_by_masker(chunk)
            assert contents() == plain, "unmask_and_validate unmasking"
            self.fed(plain, status)
        elif op == 6:
            chunk = call.chunk()
            buf, _ = call.buffer(chunk, writable=False)
            assert tav.is_valid_utf8(buf) == (stream_model(chunk)[0] is Status.COMPLETE), "is_valid_utf8"
        elif op == 7:
            key, chunk = call.key(), call.chunk()
            buf, contents = call.buffer(chunk, writable=False)
            if not refused(lambda: tav.mask(key, buf), key, contents, chunk):
                assert tav.mask(key, buf) == xor_model(chunk, key, 0), "tav.mask"
                assert contents() == chunk, "tav.mask changed its input"
        elif op == 8:
            key, chunk = call.key(), call.chunk()
            buf, contents = call.buffer(chunk, writable=True)
            if not refused(lambda: tav.mask_in_place(key, buf), key, contents, chunk):
                assert tav.mask_in_place(key, buf) is None
                assert contents() == xor_model(chunk, key, 0), "tav.mask_in_place"
        elif op == 9:
            key, chunk = call.key(), call.chunk()
            buf, contents = call.buffer(chunk, writable=False)
            if not refused(lambda: tav.compat.apply_mask(buf, key), key, contents, chunk):
                assert tav.compat.apply_mask(buf, key) == xor_model(chunk, key, 0), "compat.apply_mask"
        elif op == 10:
            key, chunk = call.key(), call.chunk()
            buf, contents = call.buffer(chunk, writable=True)
            if not refused(lambda: tav.compat.websocket_mask(key, buf), key, contents, chunk):
                assert tav.compat.websocket_mask(key, buf) is None
                assert contents() == xor_model(chunk, key, 0), "compat.websocket_mask"
        elif op == 11:
            decode_one_shot(call)
        else:
            decode_incrementally(call)
        assert m.position == self.position, (m.position, self.position)

    def close(self) -> None:
        self.validator.close()
        self.masker.close()


ERRORS = ("strict", "strict", "replace", "ignore", "surrogateescape")


def decode_one_shot(call: Call) -> None:
    """tav.decode_utf8, where tav has it, against bytes.decode (of the unmasked bytes, given a
    mask): the same str, or a UnicodeDecodeError with the same start, end and reason."""
    decode = getattr(tav, "decode_utf8", None)
    chunk = call.chunk()
    errors = ERRORS[call.fdp.ConsumeIntInRange(0, len(ERRORS) - 1)]
    key = call.key() if call.fdp.ConsumeBool() else None
    if decode is None:
        return
    buf, contents = call.buffer(chunk, writable=False)

    def outcome(fn: Callable[[], str]) -> object:
        try:
            return fn()
        except UnicodeDecodeError as e:
            return (e.start, e.end, e.reason)

    if key is not None and refused(lambda: decode(buf, errors, mask=key), key, contents, chunk):
        return
    plain = chunk if key is None else xor_model(chunk, key, 0)
    got = outcome(lambda: decode(buf, errors) if key is None else decode(buf, errors, mask=key))
    assert got == outcome(lambda: plain.decode("utf-8", errors)), ("decode_utf8", errors, key)
    assert contents() == chunk, "decode_utf8 changed its input"


def decode_incrementally(call: Call) -> None:
    """tav.Utf8Decoder, where tav has it, fed up to 4 chunks, against bytes.decode of them all:
    the same str; or, failing fast, a UnicodeDecodeError with CPython's reason from the very
    call that delivers the first byte that cannot continue (the last call at the end of data)."""
    decoder_type = getattr(tav, "Utf8Decoder", None)
    chunks = [call.chunk() for _ in range(call.fdp.ConsumeIntInRange(1, 4))]
    if decoder_type is None:
        return
    whole = b"".join(chunks)
    status, rejected = stream_model(whole)
    decoder = decoder_type()
    text = []
    for i, chunk in enumerate(chunks):
        last = i == len(chunks) - 1
        try:
            text.append(decoder.decode(chunk, last))
        except UnicodeDecodeError as e:
            delivered = sum(map(len, chunks[: i + 1]))
            if status is Status.INVALID:
                assert rejected is not None and delivered - len(chunk) <= rejected < delivered, ("late", i)
            else:
                assert status is Status.INCOMPLETE and last, ("Utf8Decoder raised on", status)
            try:
                whole.decode("utf-8")
            except UnicodeDecodeError as cpython:
                assert e.reason == cpython.reason, (e.reason, cpython.reason)
            return
    assert status is Status.COMPLETE and "".join(text) == whole.decode("utf-8"), ("Utf8Decoder", status)


OPS = 13


def TestOneInput(data: bytes) -> None:
    """One call sequence; AssertionError on any disagreement with the models."""
    fdp = atheris.FuzzedDataProvider(data)
    call = Call(fdp)
    key = fdp.ConsumeBytes(4).ljust(4, b"\0")
    session = Session(key)
    try:
        # At least one call, also for an empty input.
        while True:
            session.step(fdp.ConsumeIntInRange(0, OPS - 1), call)
            if fdp.remaining_bytes() == 0:
                break
    finally:
        session.close()


def main() -> None:
    """Hand the target to libFuzzer with the command-line options."""
    if os.environ.get("TAV_FUZZ_INSTRUMENT_ALL") == "1":
        atheris.instrument_all()
    native = sys.modules.get("_tav_native")
    print(f"fuzz_api: tav {tav.backend} backend, {getattr(native, '__file__', 'no native module')}", file=sys.stderr)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
