"""decode_utf8 and Utf8Decoder against CPython itself: bytes.decode and its incremental decoder.

Every case compares outcomes: the same str with the same sys.getsizeof (so
the same PEP 393 kind), or a UnicodeDecodeError with the same encoding,
object, start, end and reason. The incremental decoder must also fail fast:
it raises on the call that delivers the first byte that cannot continue
well-formed UTF-8."""
from __future__ import annotations

import array
import codecs
import sys
from pathlib import Path
from typing import Any, Callable, Iterator, List, Optional, Tuple

import pytest

from support import first_rejected, seeded, xor_model

import backends

CORPUS = Path(__file__).resolve().parent.parent / "tav" / "bench" / "corpus"
KEY = bytes.fromhex("37fa213d")


@pytest.fixture(params=backends.params())
def api(request: pytest.FixtureRequest) -> Any:
    return backends.BACKENDS[request.param]


Outcome = Tuple[Any, ...]


def outcome(run: Callable[[], str]) -> Outcome:
    """("str", text, size) or ("error", encoding, object, start, end, reason).

    The size tells the PEP 393 kind apart on CPython; PyPy gives no sizes."""
    try:
        text = run()
    except UnicodeDecodeError as e:
        return ("error", e.encoding, e.object, e.start, e.end, e.reason)
    assert type(text) is str
    return ("str", text, sys.getsizeof(text, None))


def expect(data: bytes, errors: str = "strict") -> Outcome:
    return outcome(lambda: data.decode("utf-8", errors))


def check_one_shot(api: Any, data: bytes) -> None:
    assert outcome(lambda: api.decode_utf8(data)) == expect(data), data


# --- one-shot: exhaustive small inputs, structured sequences, block edges ------------

def test_every_one_and_two_byte_input(api: Any) -> None:
    for a in range(256):
        check_one_shot(api, bytes([a]))
        for b in range(256):
            check_one_shot(api, bytes([a, b]))


# Later bytes chosen at the edges of the continuation ranges and beyond.
LATER = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xF4, 0xFF]


def test_structured_three_and_four_byte_inputs(api: Any) -> None:
    for lead in range(0xC0, 0x100):
        for second in range(256):
            for third in LATER:
                check_one_shot(api, bytes([lead, second, third]))
                if lead >= 0xF0:
                    for fourth in (0x41, 0x80, 0xC0):
                        check_one_shot(api, bytes([lead, second, third, fourth]))


CONTENT = {
    "ascii": "Mars is red. ",
    "latin-1": "Ãéïøÿ ",
    "2-byte": "Марс красный ",
    "3-byte": "火星は赤い€ ",
    "4-byte": "😀🪐🚀𝄞",
}

# Offsets around the edges of 16-, 32- and 64-byte blocks, and the ends.
EDGES = sorted({e + d for e in (0, 16, 32, 48, 64, 128, 192, 256) for d in (-2, -1, 0, 1)} - {-2, -1})

# Each fault, written over the bytes at an offset: a byte that never starts a
# character, a stray continuation, a lead cut off by ASCII, a surrogate, an
# overlong form, a code point above U+10FFFF.
FAULTS = [b"\xff", b"\x80", b"\xe2\x82A", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80"]


def _content(kind: str, n: int) -> bytes:
    text = CONTENT[kind] * (n // len(CONTENT[kind]) + 1)
    return text.encode()[:n]  # may end inside a character: "unexpected end of data"


def test_every_length_and_alignment_with_faults_at_block_edges(api: Any) -> None:
    backing = bytearray(512)
    for kind in CONTENT:
        for n in range(301):
            clean = _content(kind, n)
            cases = [clean] + [
                (clean[:at] + fault + clean[at + len(fault):])[:n]
                for at in EDGES if at < n for fault in FAULTS
            ]
            for i, data in enumerate(cases):
                at = (n + i) % 64  # every address residue comes up
                backing[at:at + len(data)] = data
                view = memoryview(backing)[at:at + len(data)]
                assert outcome(lambda: api.decode_utf8(view)) == expect(data), (kind, n, data)


# --- what decode_utf8 takes ----------------------------------------------------------

@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, lambda d: array.array("B", d),
                                  lambda d: memoryview(bytearray(d)).toreadonly()],
                         ids=["bytes", "bytearray", "memoryview", "array", "readonly"])
def test_any_contiguous_bytes_like_object_decodes_alike(api: Any, kind: Callable[[bytes], Any]) -> None:
    for data in [b"", "aé€😀".encode() * 9, b"ok\xed\xa0\x80", b"cut \xf0\x9f"]:
        assert outcome(lambda: api.decode_utf8(kind(data))) == expect(data)


def test_errors_handlers_other_than_strict_give_what_bytes_decode_gives(api: Any) -> None:
    rng = seeded(17)
    inputs = [b"\xed\xa0\x80", b"a\xc0\xafb", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\xff\xfe", b"\xe2\x82A"]
    inputs += [_mutated(text, rng) for text in _corpus()]
    for errors in ("replace", "ignore", "surrogateescape", "backslashreplace", "surrogatepass"):
        for data in inputs:
            assert outcome(lambda: api.decode_utf8(data, errors)) == expect(data, errors), (errors, data)
            assert outcome(lambda: api.decode_utf8(data, errors=errors)) == expect(data, errors)


def test_mask_decodes_the_unmasked_payload_and_leaves_data_untouched(api: Any) -> None:
    rng = seeded(5)
    texts = [b"", b"a", b"Hello", "Марс😀".encode(), b"ok\xed\xa0\x80ok", b"cut\xe2\x82"]
    texts += [text[: rng.randrange(len(text))] for text in _corpus()]
    for plain in texts:
        for key in (KEY, bytearray(b"\x00\x00\x00\x00"), memoryview(b"\xff\x80\x01\x7f")):
            masked = bytearray(xor_model(plain, bytes(key)))
            before = bytes(masked)
            got = outcome(lambda: api.decode_utf8(masked, mask=key))
            assert got == expect(plain)  # an error's object is the unmasked payload
            assert masked == before
            assert outcome(lambda: api.decode_utf8(bytes(masked), "replace", mask=key)) == expect(plain, "replace")


# --- the incremental decoder ---------------------------------------------------------

def _corpus() -> List[bytes]:
    files = sorted(CORPUS.glob("*/*.txt"))
    assert files, f"no corpus texts under {CORPUS}"
    return [f.read_bytes() for f in files]


def _mutated(text: bytes, rng: Any) -> bytes:
    """`text` with up to three random bytes changed, inserted or dropped (or none)."""
    data = bytearray(text)
    for _ in range(rng.randrange(4)):
        at = rng.randrange(len(data))
        how = rng.randrange(3)
        if how == 0:
            data[at] = rng.randrange(256)
        elif how == 1:
            data.insert(at, rng.choice([0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF]))
        else:
            del data[at]
    return bytes(data)


def _chunks(data: bytes, rng: Any) -> Iterator[bytes]:
    at, top = 0, rng.choice([3, 17, 300, 5000])  # one byte a call: see the fail-fast sweep
    while at < len(data):
        k = rng.randint(1, top)
        yield data[at:at + k]
        at += k


def run_stream(api: Any, chunks: List[bytes], errors: str = "strict") -> None:
    """Feed `chunks` to tav's decoder and CPython's side by side, checking after every call.

    Until tav's decoder raises, both give the same text and state. With
    errors="strict" it raises exactly on the call holding the first byte at
    which the stream stops being a prefix of UTF-8 (or, with final=True, one
    that ends inside a character), and its error is (pending + chunk).decode()'s."""
    ours, theirs = api.Utf8Decoder(errors), codecs.getincrementaldecoder("utf-8")(errors)
    stream = b"".join(chunks)
    bad = first_rejected(stream) if errors == "strict" else None
    fed = 0
    for i, chunk in enumerate(chunks):
        final = i == len(chunks) - 1
        fed += len(chunk)
        pending = ours.getstate()[0]
        if bad is not None and fed > bad:
            assert outcome(lambda: ours.decode(chunk, final)) == outcome(lambda: (pending + chunk).decode("utf-8"))
            assert ours.getstate() == (pending, 0)  # a call that raises changes nothing
            return
        got = outcome(lambda: ours.decode(chunk, final))
        assert got == outcome(lambda: theirs.decode(chunk, final)), (i, chunk)
        if got[0] == "error":  # only final=True inside a character gets here
            assert final and got[-1] == "unexpected end of data"
            return
        assert ours.getstate() == theirs.getstate()
    assert bad is None


def test_corpus_texts_mutated_and_cut_into_random_chunks(api: Any) -> None:
    rng = seeded(2026)
    for text in _corpus():
        for _ in range(12):
            data = _mutated(text, rng)
            run_stream(api, list(_chunks(data, rng)) or [b""])
            run_stream(api, list(_chunks(data, rng)) or [b""], errors=rng.choice(["replace", "surrogateescape"]))


def test_fails_fast_on_every_short_sequence_fed_byte_by_byte(api: Any) -> None:
    """Every lead × every second byte × chosen third bytes, after some text, one byte per call."""
    for lead in [0x80, 0xBF, *range(0xC0, 0x100)]:
        for second in range(256):
            for third in (0x41, 0x80, 0xBF):
                data = b"ab" + bytes([lead, second, third]) + b"\x80\x80z"
                run_stream(api, [data[i:i + 1] for i in range(len(data))])


# Chunks ending where CPython's incremental decoder waits, or at the edge of a
# character; (chunks, the call that must raise or None).
FAIL_FAST = [
    ([b"ok\xed\xa0", b"\x80"], 0),  # a surrogate is known from its second byte
    ([b"ok\xe0\x80", b"\x80"], 0),  # overlong 3-byte form
    ([b"ok\xf0\x80", b"\x80\x80"], 0),  # overlong 4-byte form
    ([b"ok\xf4\x90", b"\x80\x80"], 0),  # above U+10FFFF
    ([b"ok\xc0"], 0),  # never a start byte
    ([b"ok\xed", b"\xa0"], 1),  # the bad byte in the next chunk
    ([b"ok\xed\x9f"], None),  # U+D7FF is still ahead
    ([b"\xf0", b"\x90", b"\x80", b"\x80"], None),
    ([b"\xe2\x82", b""], None),  # an empty chunk keeps the state
    ([b"\xe2\x82", b"A"], 1),
]


@pytest.mark.parametrize("chunks, raises_at", FAIL_FAST, ids=[repr(c) for c, _ in FAIL_FAST])
def test_raises_on_the_call_that_delivers_the_bad_byte(api: Any, chunks: List[bytes], raises_at: Optional[int]) -> None:
    dec = api.Utf8Decoder()
    for i, chunk in enumerate(chunks):
        pending = dec.getstate()[0]
        if i == raises_at:
            with pytest.raises(UnicodeDecodeError) as info:
                dec.decode(chunk)
            expected = outcome(lambda: (pending + chunk).decode("utf-8"))
            assert ("error", info.value.encoding, info.value.object, info.value.start, info.value.end,
                    info.value.reason) == expected
            return
        dec.decode(chunk)
    assert raises_at is None


def test_state_can_be_read_restored_and_reset(api: Any) -> None:
    dec = api.Utf8Decoder()
    assert dec.decode(b"x\xe2\x82") == "x"
    assert dec.getstate() == (b"\xe2\x82", 0)
    other = api.Utf8Decoder()
    other.setstate(dec.getstate())
    assert other.decode(b"\xac") == "€" and other.getstate() == (b"", 0)
    dec.reset()
    assert dec.getstate() == (b"", 0)
    with pytest.raises(UnicodeDecodeError):
        dec.decode(b"\xac")  # after reset() a stray continuation byte
    for final in (False, True):
        ours, theirs = api.Utf8Decoder(), codecs.getincrementaldecoder("utf-8")()
        ours.setstate((b"\xf0\x9f", 0))
        theirs.setstate((b"\xf0\x9f", 0))
        assert outcome(lambda: ours.decode(b"\x98", final)) == outcome(lambda: theirs.decode(b"\x98", final))
        assert ours.getstate() == theirs.getstate()  # unchanged where it raised (final=True)
        if not final:
            assert outcome(lambda: ours.decode(b"\x80", True)) == ("str", "😀", sys.getsizeof("😀", None))


def test_decode_takes_any_bytes_like_chunk_and_refuses_text(api: Any) -> None:
    dec = api.Utf8Decoder()
    assert dec.decode(memoryview(b"\xd0")) + dec.decode(bytearray(b"\x9c")) + dec.decode(array.array("B", b"!")) == "М!"
    with pytest.raises(TypeError):
        dec.decode("text")
    assert dec.getstate() == (b"", 0)


class _Name(str):
    def __eq__(self, other: object) -> bool:
        raise AssertionError("a subclass's method ran after the decoder took the name")

    __hash__ = str.__hash__


def test_errors_and_state_are_checked_alike_on_every_backend(api: Any) -> None:
    dec = api.Utf8Decoder()
    with pytest.raises(ValueError, match="at most 3 pending bytes"):
        dec.setstate((b"\xf0\x9f\x98\x80", 0))  # four bytes are a whole character, never pending
    assert dec.getstate() == (b"", 0)
    with pytest.raises(TypeError, match="must be str, not int"):
        dec.errors = 5  # type: ignore[assignment]
    with pytest.raises(AttributeError, match="cannot delete"):
        del dec.errors
    assert dec.errors == "strict"
    dec.errors = _Name("replace")
    assert type(dec.errors) is str and dec.decode(b"\xff", True) == "\ufffd"
    assert type(api.Utf8Decoder(_Name("ignore")).errors) is str
