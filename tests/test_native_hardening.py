"""_tav_native against a hostile caller: metaclasses that lie about a type's
name, a module freed by the collector while its objects are still in use,
buffers of object pointers, __buffer__ methods that raise, threads racing on
one object without the interpreter lock; and the names its signatures and
messages show."""
from __future__ import annotations

import array
import ctypes
import inspect
import platform
import struct
import subprocess
import sys
import sysconfig
import textwrap
import threading
from pathlib import Path
from typing import Any, Callable, Dict, List

import pytest

if sys.implementation.name != "cpython":
    pytest.skip("the native extension runs on CPython only (PyPy takes the cffi backend)", allow_module_level=True)
import _tav_native as _native

from support import xor_model
from tav import _cpu
from tav._status import Utf8Status

HERE = Path(__file__).resolve().parent
KEY = bytes.fromhex("37fa213d")


def _run_child(code: str) -> subprocess.CompletedProcess[str]:
    """Run code in a fresh interpreter with tests/ on its path; a crash shows as its return code."""
    return subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(code), str(HERE)],
                          capture_output=True, text=True, timeout=120)


# --- a type's name comes from the type, never from an attribute ---------------------------------

METACLASS_CHILD = """
    import sys
    sys.path.insert(0, sys.argv[1])
    import _tav_native as n

    KEY = b"abcd"
    for name in (12345, b"\\x00" * 4096, list(range(1000)), None):
        class Meta(type):
            __name__ = property(lambda cls, name=name: name)

        class Evil(metaclass=Meta):  # no buffer
            pass

        class EvilBytes(bytes, metaclass=Meta):  # a read-only buffer
            pass

        evil, frozen = Evil(), EvilBytes(b"abcdefgh")
        v, m = n.Utf8Validator(), n.XorMasker(KEY)
        calls = {
            "Evil": [lambda: v.validate(evil), lambda: n.is_valid_utf8(evil), lambda: m.masked(evil),
                     lambda: m.mask(evil), lambda: n.mask(KEY, evil), lambda: n.mask(evil, b"x"),
                     lambda: n.mask_in_place(KEY, evil), lambda: n.mask_in_place(evil, bytearray(4)),
                     lambda: n.XorMasker(evil), lambda: m.reset(evil), lambda: n.apply_mask(evil, KEY),
                     lambda: n.apply_mask(b"x", evil), lambda: n.websocket_mask(evil, bytearray(4)),
                     lambda: n.websocket_mask(KEY, evil), lambda: n.unmask_and_validate(evil, v, bytearray(4)),
                     lambda: n.unmask_and_validate(m, evil, bytearray(4)),
                     lambda: n.unmask_and_validate(m, v, evil)],
            "EvilBytes": [lambda: m.mask(frozen), lambda: n.mask_in_place(KEY, frozen),
                          lambda: n.websocket_mask(KEY, frozen), lambda: n.unmask_and_validate(m, v, frozen)],
        }
        for shown, group in calls.items():
            for call in group:
                try:
                    call()
                except TypeError as e:
                    message = str(e)
                    assert message.endswith(f"not {shown}") or f"the {shown} given is read-only" in message, message
                else:
                    raise AssertionError("no TypeError")
    print("named")
"""


def test_type_names_in_messages_come_from_the_type_whatever_its_metaclass_says() -> None:
    # A metaclass can make __name__ any object; formatting that as a str read
    # arbitrary memory (or crashed), so this runs in a child.
    proc = _run_child(METACLASS_CHILD)
    assert proc.returncode == 0 and proc.stdout.strip() == "named", proc.stderr[-3000:]


# --- the module freed by the collector while its objects are still in use ---------------------------

TEARDOWN_CHILD = """
    import gc, importlib.util, sys
    sys.path.insert(0, sys.argv[1])
    import _tav_native

    found = _tav_native.__spec__
    outcomes = []
    for holds_functions in [False] * 5 + [True] * 5:
        # A second module object, a subclass of its type, and an instance, in one
        # garbage cycle with a buffer whose release calls into the instance:
        # the collector frees the module first and releases the buffer after.
        # Holding the module's functions keeps the module, but not its types.
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)

        class Validator(module.Utf8Validator):
            pass

        class Masker(module.XorMasker):
            pass

        validator, masker = Validator(), Masker(b"abcd")

        class Exporter:
            # Slots, not a __dict__: the free-threaded collector clears a
            # dict in the cycle before the buffer's release runs.
            __slots__ = ("validate", "mask", "functions", "masker", "validator")

            def __buffer__(self, flags):
                return memoryview(bytearray(8))

            def __release_buffer__(self, view):
                calls = [lambda: self.validate(b"abc"), lambda: self.mask(bytearray(4))]
                if self.functions:
                    calls += [lambda: self.functions[0](self.masker, self.validator, bytearray(4)),
                              lambda: self.functions[1](b"abc")]
                for call in calls:
                    try:
                        outcomes.append(repr(call()))
                    except Exception as e:  # raising is fine; crashing is not
                        outcomes.append(type(e).__name__)

        exporter = Exporter()
        exporter.validate, exporter.mask = validator.validate, masker.mask
        exporter.functions = (module.unmask_and_validate, module.is_valid_utf8) if holds_functions else None
        exporter.masker, exporter.validator = masker, validator
        validator.view = memoryview(exporter)
        Validator.module = module
        module.cycle = Validator
        del module, Validator, Masker, validator, masker, exporter
        gc.collect()
    assert len(outcomes) == 30, outcomes
    print("collected", sorted(set(outcomes)))
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="a __release_buffer__ method (PEP 688, Python 3.12) is what "
                    "runs code after the collector has freed the module")
def test_objects_outlive_their_module_in_a_garbage_cycle() -> None:
    proc = _run_child(TEARDOWN_CHILD)
    assert proc.returncode == 0 and proc.stdout.startswith("collected"), proc.stderr[-3000:]


# --- buffers of plain data only ----------------------------------------------------------------------


def _ctypes_pointers() -> Any:
    return (ctypes.c_void_p * 4)(1, 2, 3, 4)


def _numpy_objects() -> Any:
    np = pytest.importorskip("numpy")
    return np.array([object(), "x", 3, None], dtype=object)


REFUSED: Dict[str, Callable[[], Any]] = {
    "numpy dtype=object": _numpy_objects,
    "ctypes c_void_p array": _ctypes_pointers,
    "memoryview cast to P": lambda: memoryview(bytearray(32)).cast("P"),
}

CALLS: Dict[str, Callable[[Any], object]] = {
    "validate": lambda b: _native.Utf8Validator().validate(b),
    "is_valid_utf8": _native.is_valid_utf8,
    "masked": lambda b: _native.XorMasker(KEY).masked(b),
    "XorMasker.mask": lambda b: _native.XorMasker(KEY).mask(b),
    "mask": lambda b: _native.mask(KEY, b),
    "mask_in_place": lambda b: _native.mask_in_place(KEY, b),
    "apply_mask": lambda b: _native.apply_mask(b, KEY),
    "websocket_mask": lambda b: _native.websocket_mask(KEY, b),
    "unmask_and_validate": lambda b: _native.unmask_and_validate(_native.XorMasker(KEY), _native.Utf8Validator(), b),
}


@pytest.mark.parametrize("make", REFUSED.values(), ids=REFUSED)
def test_buffers_of_object_pointers_are_refused_untouched(make: Callable[[], Any]) -> None:
    obj = make()
    before = bytes(memoryview(obj).cast("B"))
    for name, call in CALLS.items():
        with pytest.raises(TypeError, match=r"takes a buffer of plain data, not items of format '[<@=]?[OP]'$"):
            call(obj)
        assert bytes(memoryview(obj).cast("B")) == before, name


def _plain_buffers() -> List[Any]:
    text = bytes(range(0x20, 0x60))  # 64 ASCII bytes: valid UTF-8 in every item size
    out: List[Any] = [bytearray(text), array.array("B", text), array.array("I", text), array.array("d", text),
                      (ctypes.c_char * 64).from_buffer_copy(text), (ctypes.c_uint32 * 16).from_buffer_copy(text),
                      memoryview(bytearray(text)).cast("c"), memoryview(bytearray(text)).cast("q")]
    try:
        import numpy as np
    except ImportError:
        return out
    return out + [np.frombuffer(bytearray(text), dtype=np.uint8).copy(), np.frombuffer(text, dtype=">u4").copy(),
                  np.frombuffer(text, dtype=np.float16).copy()]


def test_buffers_of_plain_numbers_of_any_size_are_taken_as_their_bytes() -> None:
    for obj in _plain_buffers():
        text = bytes(memoryview(obj).cast("B"))
        assert _native.is_valid_utf8(obj) and _native.Utf8Validator().validate(obj) is Utf8Status.COMPLETE
        assert _native.mask(KEY, obj) == xor_model(text, KEY), type(obj)
        _native.mask_in_place(KEY, obj)
        assert bytes(memoryview(obj).cast("B")) == xor_model(text, KEY), type(obj)


@pytest.mark.parametrize("format, plain", [
    ("2B", True), ("<2i", True), ("B2h", True), ("=q", True), ("!h", True), ("@e", True), ("?", True),
    ("P", False), ("3s", False), ("xB", False),
])
def test_the_plain_data_rule_on_formats(format: str, plain: bool) -> None:
    # Item codes of plain numbers, each with a repeat count, after one byte-order prefix.
    testbuffer = pytest.importorskip("_testbuffer", reason="CPython's _testbuffer exports buffers of any struct format")
    items = struct.unpack(format, bytes(struct.calcsize(format)))
    obj = testbuffer.ndarray([items[0] if len(items) == 1 else items] * 2, shape=[2], format=format,
                             flags=testbuffer.ND_WRITABLE)
    size = memoryview(obj).nbytes
    if plain:
        assert _native.is_valid_utf8(obj)
        _native.mask_in_place(KEY, obj)
        assert obj.tobytes() == xor_model(bytes(size), KEY)
    else:
        for call in (_native.is_valid_utf8, lambda b: _native.mask_in_place(KEY, b)):
            with pytest.raises(TypeError, match=f"takes a buffer of plain data, not items of format '{format}'$"):
                call(obj)
        assert obj.tobytes() == bytes(size)


# --- a __buffer__ that raises: only a refusal reads as "read-only" --------------------------------


class _RaisesWhenWritable:
    """A PEP 688 exporter that gives a read-only view, and raises `error` when asked for a writable one."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __buffer__(self, flags: int) -> memoryview:
        if flags & inspect.BufferFlags.WRITABLE:
            raise self.error
        return memoryview(bytes(8))


WRITERS: Dict[str, Callable[[Any], object]] = {
    name: CALLS[name] for name in ("XorMasker.mask", "mask_in_place", "websocket_mask", "unmask_and_validate")
}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ methods (PEP 688) need Python 3.12")
@pytest.mark.parametrize("call", WRITERS.values(), ids=WRITERS)
def test_errors_of_a_writable_export_pass_unchanged(call: Callable[[Any], object]) -> None:
    for error in (MemoryError(), KeyboardInterrupt(), OSError(5, "device gone")):
        with pytest.raises(type(error)) as caught:
            call(_RaisesWhenWritable(error))
        assert caught.value is error
    with pytest.raises(TypeError, match="needs a writable buffer; the _RaisesWhenWritable given is read-only$"):
        call(_RaisesWhenWritable(BufferError("not writable")))


# --- free-threaded builds: a busy object is never called closed ---------------------------------------


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only a free-threaded build runs two calls on one object at once; with the interpreter "
                           "lock, a refusal and the check before it cannot be separated by another thread's call")
@pytest.mark.parametrize("name", ["XorMasker", "Utf8Validator"])
def test_a_busy_object_is_refused_as_busy_never_as_closed(name: str) -> None:
    obj = _native.XorMasker(KEY) if name == "XorMasker" else _native.Utf8Validator()
    payload = bytearray(64 << 10)
    call = obj.mask if name == "XorMasker" else obj.validate
    errors: List[str] = []

    def hammer() -> None:
        for _ in range(20000):
            try:
                call(payload)
            except RuntimeError as e:
                errors.append(f"RuntimeError: {e}")
            except Exception as e:  # the fault: a busy object taken for a closed one
                errors.append(f"{type(e).__name__}: {e}")

    threads = [threading.Thread(target=hammer) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) <= {f"RuntimeError: concurrent use of one {name} from several threads is not allowed"}


# --- the names a caller sees ------------------------------------------------------------------------------

P, PK = inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD
EMPTY = inspect.Parameter.empty

SIGNATURES: Dict[str, tuple[Any, List[tuple[str, Any, Any]]]] = {
    "Utf8Validator": (_native.Utf8Validator, []),
    "Utf8Validator.validate": (_native.Utf8Validator().validate, [("data", P, EMPTY)]),
    "Utf8Validator.reset": (_native.Utf8Validator().reset, []),
    "Utf8Validator.close": (_native.Utf8Validator().close, []),
    "is_valid_utf8": (_native.is_valid_utf8, [("data", P, EMPTY)]),
    "XorMasker": (_native.XorMasker, [("key", PK, EMPTY)]),
    "XorMasker.mask": (_native.XorMasker(KEY).mask, [("buffer", P, EMPTY)]),
    "XorMasker.masked": (_native.XorMasker(KEY).masked, [("data", P, EMPTY)]),
    "XorMasker.reset": (_native.XorMasker(KEY).reset, [("key", PK, None)]),
    "mask": (_native.mask, [("key", PK, EMPTY), ("data", PK, EMPTY)]),
    "mask_in_place": (_native.mask_in_place, [("key", PK, EMPTY), ("buffer", PK, EMPTY)]),
    "unmask_and_validate": (_native.unmask_and_validate,
                            [("masker", P, EMPTY), ("validator", P, EMPTY), ("buffer", P, EMPTY)]),
    "apply_mask": (_native.apply_mask, [("data", PK, EMPTY), ("mask", PK, EMPTY)]),
    "websocket_mask": (_native.websocket_mask, [("mask", PK, EMPTY), ("data", PK, EMPTY)]),
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_every_callable_shows_its_signature(name: str) -> None:
    fn, expected = SIGNATURES[name]
    params = inspect.signature(fn).parameters.values()
    assert [(p.name, p.kind, p.default) for p in params] == expected


WRONG_CALLS: Dict[str, tuple[Callable[[], object], str]] = {
    "is_valid_utf8 by name": (lambda: _native.is_valid_utf8(data=b""), "is_valid_utf8()"),
    "validate by name": (lambda: _native.Utf8Validator().validate(data=b""), "validate()"),
    "mask by name": (lambda: _native.XorMasker(KEY).mask(buffer=bytearray(1)), "mask()"),
    "masked by name": (lambda: _native.XorMasker(KEY).masked(data=b""), "masked()"),
    "unmask_and_validate, 2 arguments": (lambda: _native.unmask_and_validate(_native.XorMasker(KEY), bytearray(1)),
                                         "unmask_and_validate()"),
    "swapped objects": (lambda: _native.unmask_and_validate(_native.Utf8Validator(), _native.XorMasker(KEY),
                                                            bytearray(1)), "tav.XorMasker"),
    "mask, 1 argument": (lambda: _native.mask(KEY), "mask()"),
    "apply_mask, unknown name": (lambda: _native.apply_mask(data=b"", mask_=KEY), "apply_mask()"),
    "XorMasker, no key": (lambda: _native.XorMasker(), "XorMasker()"),
    "Utf8Validator, an argument": (lambda: _native.Utf8Validator(1), "Utf8Validator()"),
}


@pytest.mark.parametrize("name", WRONG_CALLS)
def test_messages_name_the_public_call(name: str) -> None:
    call, shown = WRONG_CALLS[name]
    with pytest.raises(TypeError) as e:
        call()
    assert shown in str(e.value) and "_tav_native" not in str(e.value)


def test_the_masker_repr_shows_its_position() -> None:
    m = _native.XorMasker(KEY)
    assert repr(m) == "<XorMasker position=0>"
    m.mask(bytearray(7))
    assert repr(m) == "<XorMasker position=7>"
    m.close()
    assert repr(m) == "<XorMasker closed>"


# --- what the module runs, as it reports it --------------------------------------------------------------


@pytest.mark.skipif(not _cpu.KNOWN, reason="no processor query to check the choice against: the cffi modules are not built")
def test_masking_starts_with_the_widest_routine_and_says_what_it_runs() -> None:
    widest = ("avx512" if _cpu.has("avx512f", "avx512bw") else "avx2" if _cpu.has("avx2")
              else "sse2" if _native.HAS_SSE41 else "neon" if platform.machine().lower() in ("aarch64", "arm64")
              else "bytes")
    policy = _native.MASK_AUTO
    assert policy[0] == (widest, 0) and [start for _, start in policy] == sorted({start for _, start in policy})
    from tav import _backend

    if _backend.NAME == "native":
        names = {"avx512": "AVX-512", "avx2": "AVX2", "sse2": "SSE2", "neon": "NEON", "bytes": "byte loop"}
        described = _backend.routines()["masking"]
        assert all(names[name] in described for name, _ in policy)
    # The automatic choice masks as every routine does, on each side of where it changes.
    for _, start in policy:
        for n in {max(0, start - 1), start, start + 5}:
            data = bytes(range(256)) * (n // 256 + 1)
            buf = bytearray(data[:n])
            _native.mask_in_place(KEY, buf)
            assert _native.mask(KEY, data[:n]) == buf == xor_model(data[:n], KEY)
