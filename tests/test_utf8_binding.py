"""The Python binding of _tav_utf8check: call forms, argument conversion, exports, threads."""
from __future__ import annotations

import shutil
import struct
import subprocess
import threading
from pathlib import Path
from typing import Callable

import pytest

pytest.importorskip("_tav_utf8check", reason="the cffi modules are not built for this interpreter")

from _tav_utf8check import ffi, lib
from support import UTF8_MODULE_FILE, module_entry, seeded, utf8_ffi, utf8_record

PUBLIC_FUNCTIONS = (
    "tav_utf8vld_free",
    "tav_utf8vld_get_current_index",
    "tav_utf8vld_get_impl",
    "tav_utf8vld_get_total_index",
    "tav_utf8vld_new",
    "tav_utf8vld_reset",
    "tav_utf8vld_set_impl",
    "tav_utf8vld_validate",
)

#: Native symbols of the table-driven and unrolled validators and their record
#: functions. The block validators' test adds its own two names.
SPINE_SYMBOLS = PUBLIC_FUNCTIONS + ("_tav_utf8vld_validate_table", "_tav_utf8vld_validate_unrolled")


@pytest.fixture
def handle():
    """A record inside a sequence (state 6 after F0), with non-zero indices and impl 2."""
    h = lib.tav_utf8vld_new()
    assert lib.tav_utf8vld_set_impl(h, 2) == 2
    assert lib.tav_utf8vld_validate(h, b"abc", 3) == 0
    assert lib.tav_utf8vld_validate(h, b"de\xf0", 3) == 1
    assert utf8_record(h) == (3, 6, 6, 2)
    yield h
    lib.tav_utf8vld_free(h)


def test_lib_exposes_exactly_the_public_functions() -> None:
    assert sorted(dir(lib)) == list(PUBLIC_FUNCTIONS)


def test_new_returns_a_void_pointer_and_free_reset_return_none() -> None:
    h = lib.tav_utf8vld_new()
    assert isinstance(h, ffi.CData) and ffi.typeof(h) is ffi.typeof("void *") and h != ffi.NULL
    assert utf8_record(h) == (0, 0, 0, 4)
    assert lib.tav_utf8vld_validate(h, b"\xe2\x82", 2) == 1
    assert lib.tav_utf8vld_reset(h) is None
    assert utf8_record(h) == (0, 0, 0, 4)
    assert lib.tav_utf8vld_free(h) is None
    assert lib.tav_utf8vld_free(ffi.NULL) is None


# (function, positional args (HANDLE is replaced by the record), keyword args, name the message must hold)
HANDLE = object()
BAD_CALLS = [
    ("tav_utf8vld_new", (HANDLE,), {}, "tav_utf8vld_new"),
    ("tav_utf8vld_new", (), {"x": 1}, None),
    ("tav_utf8vld_validate", (HANDLE, b"a"), {}, "tav_utf8vld_validate"),
    ("tav_utf8vld_validate", (HANDLE, b"a", 1, 1), {}, "tav_utf8vld_validate"),
    ("tav_utf8vld_validate", (HANDLE, b"a"), {"length": 1}, None),
    ("tav_utf8vld_validate", (), {"handle": HANDLE, "data": b"a", "length": 1}, None),
    ("tav_utf8vld_set_impl", (HANDLE,), {}, "tav_utf8vld_set_impl"),
    ("tav_utf8vld_set_impl", (HANDLE, 1, 1), {}, "tav_utf8vld_set_impl"),
    ("tav_utf8vld_set_impl", (HANDLE,), {"impl": 1}, None),
    ("tav_utf8vld_get_impl", (), {}, None),
    ("tav_utf8vld_get_impl", (HANDLE, HANDLE), {}, None),
    ("tav_utf8vld_get_impl", (), {"handle": HANDLE}, None),
    ("tav_utf8vld_reset", (), {}, None),
    ("tav_utf8vld_reset", (HANDLE, 0), {}, None),
    ("tav_utf8vld_get_total_index", (), {}, None),
    ("tav_utf8vld_get_current_index", (HANDLE, HANDLE), {}, None),
    ("tav_utf8vld_free", (), {}, None),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "named"), BAD_CALLS,
                         ids=[f"{n}-{len(a)}pos-{sorted(k)}" for n, a, k, _ in BAD_CALLS])
def test_wrong_call_forms_raise_type_error(handle, name: str, args: tuple, kwargs: dict, named) -> None:
    fix = lambda v: handle if v is HANDLE else v  # noqa: E731
    with pytest.raises(TypeError) as exc:
        getattr(lib, name)(*map(fix, args), **{k: fix(v) for k, v in kwargs.items()})
    if named:
        assert named in str(exc.value)
    assert utf8_record(handle) == (3, 6, 6, 2)


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**64, 1.0, "2", None])
def test_set_impl_unconvertible_number(handle, value) -> None:
    with pytest.raises(OverflowError if isinstance(value, int) else TypeError):
        lib.tav_utf8vld_set_impl(handle, value)
    assert utf8_record(handle) == (3, 6, 6, 2)


def test_set_impl_extremes_of_int() -> None:
    h = lib.tav_utf8vld_new()
    assert lib.tav_utf8vld_set_impl(h, 2**31 - 1) == 4  # above the highest: unchanged
    assert lib.tav_utf8vld_set_impl(h, -2**31) == -2**31  # negative: kept
    assert lib.tav_utf8vld_get_impl(h) == -2**31
    assert lib.tav_utf8vld_validate(h, b"\xf4\x8f\xbf\xbf", 4) == 0
    lib.tav_utf8vld_free(h)


# (data, length, exception)
BAD_VALIDATE_ARGS = [
    (b"\x9f", -1, OverflowError),
    (b"\x9f", 2**64, OverflowError),
    (b"\x9f", -2**63, OverflowError),
    (b"\x9f", 1.0, TypeError),
    (b"\x9f", "1", TypeError),
    ("\x9f", 1, TypeError),
    (bytearray(b"\x9f"), 1, TypeError),  # writable buffers go through ffi.from_buffer
    (memoryview(b"\x9f"), 1, TypeError),
    (None, 1, TypeError),
    (0, 1, TypeError),
    ([0x9F, 256], 2, OverflowError),
    ([0x9F, -1], 2, OverflowError),
    (["x"], 1, TypeError),
]


@pytest.mark.parametrize(("data", "length", "exc"), BAD_VALIDATE_ARGS,
                         ids=[f"{type(d).__name__}-{n!r}" for d, n, _ in BAD_VALIDATE_ARGS])
def test_validate_unconvertible_arguments_leave_the_record(handle, data, length, exc) -> None:
    with pytest.raises(exc):
        lib.tav_utf8vld_validate(handle, data, length)
    assert utf8_record(handle) == (3, 6, 6, 2)


def test_wrong_handle_type(handle) -> None:
    # bytes is missing on purpose: cffi converts it to a `void *` (see the report on handles).
    for bad in (None, 0, "handle", [0] * 24, bytearray(24)):
        with pytest.raises(TypeError):
            lib.tav_utf8vld_validate(bad, b"a", 1)
        with pytest.raises(TypeError):
            lib.tav_utf8vld_get_impl(bad)


def test_bytes_passes_as_a_handle_unchecked() -> None:
    """The lib layer trusts its handle: cffi converts a bytes object to `void *`
    without complaint, which is why the README warns and why the safe API
    never hands lib anything but its own records."""
    fake = bytes(24)  # large enough for the record, so this read stays inside it
    assert lib.tav_utf8vld_get_impl(fake) == 0


@pytest.mark.parametrize("impl", [4, 2])
def test_data_forms_the_binding_converts(impl: int) -> None:
    """bytes, from_buffer views and int lists/tuples (copied to a temporary array) all validate the same."""
    payload = b"ab\xf0\x9f\x98\x80\xed\x9f\xbf"
    forms: list[Callable[[bytes], object]] = [
        bytes, lambda b: ffi.from_buffer(bytearray(b)), lambda b: ffi.from_buffer(memoryview(b)),
        list, tuple, lambda b: ffi.new("uint8_t[]", b),
    ]
    for cut in range(len(payload) + 1):
        for make in forms:
            h = lib.tav_utf8vld_new()
            lib.tav_utf8vld_set_impl(h, impl)
            first, second = payload[:cut], payload[cut:]
            results = [lib.tav_utf8vld_validate(h, make(p), len(p)) for p in (first, second)]
            assert results[1] == 0 and results[0] == (0 if cut in (0, 1, 2, 6, 9) else 1)
            assert utf8_record(h) == (len(second), len(payload), 0, impl)
            # A rejected byte at the end of a list argument is seen too.
            assert lib.tav_utf8vld_validate(h, make(b"z\xc0"), 2) == -1
            assert utf8_record(h)[:3] == (1, len(payload) + 1, 1)
            lib.tav_utf8vld_free(h)


def test_results_are_python_ints_in_the_declared_ranges() -> None:
    """size_t results come back unsigned over the whole 64-bit range; int results signed."""
    h = lib.tav_utf8vld_new()
    rec = utf8_ffi.cast("utf8vld_state *", int(ffi.cast("uintptr_t", h)))
    rec.current_index = 2**64 - 1
    rec.total_index = 2**63
    assert lib.tav_utf8vld_get_current_index(h) == 2**64 - 1
    assert lib.tav_utf8vld_get_total_index(h) == 2**63
    # The running count wraps modulo 2**64, as size_t arithmetic does.
    rec.total_index = 2**64 - 2
    assert lib.tav_utf8vld_validate(h, b"abcde", 5) == 0
    assert lib.tav_utf8vld_get_total_index(h) == 3
    for v in (-1, -2**31):
        assert lib.tav_utf8vld_set_impl(h, v) == v and lib.tav_utf8vld_get_impl(h) == v
    result = lib.tav_utf8vld_validate(h, b"\xff", 1)
    assert type(result) is int and result == -1
    lib.tav_utf8vld_free(h)


def test_direct_native_entries() -> None:
    """ffi.addressof(lib, name) gives a native function pointer of the declared type that works."""
    validate = ffi.addressof(lib, "tav_utf8vld_validate")
    assert ffi.typeof(validate) is ffi.typeof("int(*)(void *, uint8_t *, size_t)")
    new, free = ffi.addressof(lib, "tav_utf8vld_new"), ffi.addressof(lib, "tav_utf8vld_free")
    h = new()
    assert validate(h, b"\xe2\x82\xac\xe2", 4) == 1
    assert utf8_record(h) == (4, 4, 3, 4)
    free(h)


# --- exported symbols ----------------------------------------------------------------

def dynamic_symbols(path: str) -> dict[str, tuple[int, int, int]]:
    """Defined symbols of an ELF64 little-endian shared object's .dynsym: name -> (bind, type, visibility)."""
    blob = Path(path).read_bytes()
    assert blob[:4] == b"\x7fELF" and blob[4] == 2 and blob[5] == 1, "not an ELF64 little-endian file"
    e_shoff, = struct.unpack_from("<Q", blob, 0x28)
    e_shentsize, e_shnum = struct.unpack_from("<HH", blob, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", blob, e_shoff + i * e_shentsize) for i in range(e_shnum)]
    out: dict[str, tuple[int, int, int]] = {}
    for sh_name, sh_type, _f, _a, sh_offset, sh_size, sh_link, _i, _al, sh_entsize in sections:
        if sh_type != 11:  # SHT_DYNSYM
            continue
        strtab_off = sections[sh_link][4]
        for off in range(sh_offset, sh_offset + sh_size, sh_entsize):
            st_name, st_info, st_other, st_shndx = struct.unpack_from("<IBBH", blob, off)
            if st_shndx == 0 or st_name == 0:  # undefined, or the null entry
                continue
            end = blob.index(b"\0", strtab_off + st_name)
            out[blob[strtab_off + st_name:end].decode()] = (st_info >> 4, st_info & 0xF, st_other & 0x3)
    return out


def test_spine_symbols_are_exported() -> None:
    syms = dynamic_symbols(UTF8_MODULE_FILE)
    entry = module_entry("_tav_utf8check")
    for name in SPINE_SYMBOLS + (entry,):
        assert name in syms, f"{name} is not exported"
        bind, kind, vis = syms[name]
        assert bind == 1 and kind == 2 and vis == 0, f"{name}: bind {bind} type {kind} visibility {vis}"
    # The table, cffi's wrappers and its tables stay private to the module.
    private = [n for n in syms if n != entry and ("UTF8VALIDATOR_DFA" in n or n.startswith("_cffi_"))]
    assert private == []


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_symbol_reader_agrees_with_nm() -> None:
    out = subprocess.run(["nm", "-D", "--defined-only", UTF8_MODULE_FILE], capture_output=True, text=True, check=True)
    from_nm = {line.split()[-1].split("@")[0] for line in out.stdout.splitlines() if line.strip()}
    assert from_nm == set(dynamic_symbols(UTF8_MODULE_FILE))


# --- threads -------------------------------------------------------------------------

def _big_inputs() -> list[bytes]:
    rng = seeded(7)
    text = "Mars \u2014 \u0645\u0631\u064a\u062e \u706b\u661f \U0001f680 plan\u00e8te rouge. ".encode()
    base = text * (3 * 2**20 // len(text))
    inputs = [base, b"x" * 2**22]
    for fault in (b"\xed\xa0\x80", b"\xc0", b"\xf4\x90\x80\x80"):
        pos = rng.randrange(len(base) // 2, len(base))
        while 0x80 <= base[pos] <= 0xBF:  # put the fault between characters
            pos += 1
        inputs.append(base[:pos] + fault + base[pos:])
    inputs.append(base + "\U0001f680".encode()[:3])  # ends inside a character
    return inputs


def _run(data: bytes, impl: int, chunk: int) -> list[tuple[int, int, int]]:
    h = lib.tav_utf8vld_new()
    lib.tav_utf8vld_set_impl(h, impl)
    out = []
    for i in range(0, len(data), chunk):
        r = lib.tav_utf8vld_validate(h, data[i:i + chunk], len(data[i:i + chunk]))
        out.append((r, lib.tav_utf8vld_get_current_index(h), lib.tav_utf8vld_get_total_index(h)))
    lib.tav_utf8vld_free(h)
    return out


def test_threads_with_their_own_records_match_one_thread() -> None:
    inputs = _big_inputs()
    jobs = [(d, impl, chunk) for d in inputs for impl, chunk in ((4, 1 << 20), (2, 1 << 20), (2, 777_777))]
    alone = [_run(*j) for j in jobs]
    # Sanity: every input has its outcome (valid, three faults, cut short).
    verdicts = [-1 if any(r == -1 for r, _, _ in run) else run[-1][0] for run in alone]
    assert verdicts == [v for v in (0, 0, -1, -1, -1, 1) for _ in range(3)]
    results: dict[int, list] = {}
    errors: list[BaseException] = []
    barrier = threading.Barrier(4)

    def worker(k: int) -> None:
        try:
            barrier.wait()
            for j in range(k, len(jobs), 4):
                results[j] = _run(*jobs[j])
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert [results[j] for j in range(len(jobs))] == alone
