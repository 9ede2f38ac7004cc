"""The `tav` command: check files for well-formed UTF-8, mask streams, run the benchmarks."""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import stat
import sys
import unicodedata
from typing import Any, BinaryIO, List, Optional, Sequence, TextIO, Union

from . import Utf8Status, Utf8Validator, XorMasker, __version__, backend

#: Bytes read per call; one buffer of this size is reused for a whole run.
CHUNK_SIZE = 1 << 20
#: Files larger than this show a progress bar when standard error is a terminal.
PROGRESS_MIN_SIZE = 32 << 20

STDIN_NAME = "(standard input)"


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line `argv` and return the exit status.

    Without `argv` this is the `tav` command itself, run on sys.argv[1:]: a
    reader that goes away (`| head`) or Ctrl-C then ends the process by
    SIGPIPE or SIGINT, as Unix tools end, with no traceback. Given `argv`,
    BrokenPipeError and KeyboardInterrupt reach the caller."""
    if argv is not None:
        return _run(argv)
    try:
        try:
            status = _run(sys.argv[1:])
        except SystemExit as e:  # argparse ends --help, --version and usage errors so
            status = e.code if isinstance(e.code, int) else 0 if e.code is None else 2
        return _flushed(status)
    except BrokenPipeError:
        _silence_stdout()
        return _die_of(signal.SIGPIPE)
    except KeyboardInterrupt:
        try:
            if sys.stdout is not None:
                sys.stdout.flush()  # keep the verdicts printed so far
        except (OSError, ValueError):
            pass
        return _die_of(signal.SIGINT)


def _flushed(status: int) -> int:
    """`status` once standard output is flushed, or 2 if it cannot be."""
    # Flushed here, not by the interpreter at exit, so that a failure is tav's to report.
    if sys.stdout is not None:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            _error(f"tav: standard output: {e.strerror or e}")
            _silence_stdout()
            return 2
    return status


def version_text() -> str:
    """What `tav --version` prints."""
    from ._backend import routines

    lines = [f"tav {__version__}", f"backend: {backend}"]
    lines += [f"{what}: {how}" for what, how in routines().items()]
    return "\n".join(lines)


def _run(argv: Sequence[str]) -> int:
    parser, commands = _parser()
    args, extra = parser.parse_known_args(argv)
    command = args.command
    if command in ("check", "mask"):
        # The command's words once more, intermixed, so that options may follow file
        # names as in other Unix tools; only options that exit can come before it.
        args = _intermixed(commands[command], list(argv)[list(argv).index(command) + 1 :])
    elif extra and command != "bench":
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if command == "check":
        return _check(args.files or ["-"], quiet=args.quiet)
    if command == "mask":
        return _mask(args.key, args.input, args.output)
    if command == "bench":
        from .bench.__main__ import main as bench_main

        return bench_main((["--quick"] if args.quick else []) + extra)
    # No command: nothing was done, so the status is a usage error's; the help goes where `tav | less` reads it.
    parser.print_help()
    return 2


def _intermixed(parser: argparse.ArgumentParser, words: List[str]) -> argparse.Namespace:
    """`words` parsed with options anywhere among the file names, and none after `--`."""
    if "--" not in words:
        return parser.parse_intermixed_args(words)
    # argparse's intermixed parse still takes options from after "--".
    end = words.index("--")
    args = parser.parse_intermixed_args(words[:end])
    if not hasattr(args, "files"):
        return parser.parse_args(words)  # `mask`: options before its two names, as before
    args.files += words[end + 1 :]
    return args


def _die_of(signum: signal.Signals) -> int:
    """End the process by `signum` with its default action, so that the shell sees 128 + signum.

    Returns that status where the signal cannot be raised (not the main thread)."""
    try:
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)
    except (OSError, ValueError):
        pass
    return 128 + signum


class _VersionAction(argparse.Action):
    """Prints version_text() as it is (argparse's own action reflows it) and exits 0."""

    def __init__(self, option_strings: Sequence[str], dest: str, help: Optional[str] = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Union[str, Sequence[Any], None],
        option_string: Optional[str] = None,
    ) -> None:
        print(version_text())
        parser.exit()


def _parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    parser = argparse.ArgumentParser(
        prog="tav", description="Strict UTF-8 validation and WebSocket (RFC 6455) masking in native code."
    )
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    check = sub.add_parser(
        "check",
        help="check that files are well-formed UTF-8",
        description=(
            "Check that each FILE is well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, "
            "nothing above U+10FFFF). Files are streamed in 1 MiB chunks. For each file that fails, "
            "one line names the first byte of the first ill-formed sequence (as Python, iconv and "
            "isutf8 do): its offset from 0, its line and column, both counted from 1, the column in "
            "bytes, and the reason in Python's words."
        ),
        epilog="Exit status: 0 all files valid, 1 some file is not valid UTF-8, 2 some file could not be read.",
    )
    check.add_argument("files", nargs="*", metavar="FILE", help="file to check; - or none: standard input")
    check.add_argument("-q", "--quiet", action="store_true", help="print nothing; only the exit status tells")

    mask = sub.add_parser(
        "mask",
        help="XOR a stream with a repeating 4-byte key",
        description=(
            "XOR IN with the repeating 4-byte KEY and write the result to OUT (RFC 6455 masking; "
            "the same command unmasks). The stream is processed in chunks, the key phase carried across them."
        ),
    )
    mask.add_argument(
        "--key", required=True, metavar="HEX", help="the key as 8 hex digits, e.g. 37fa213d or 0x37fa213d"
    )
    mask.add_argument("input", nargs="?", default="-", metavar="IN", help="input file; - or none: standard input")
    mask.add_argument("output", nargs="?", default="-", metavar="OUT", help="output file; - or none: standard output")

    # --help and every other option go on to the runner, which shows and takes each suite's.
    bench = sub.add_parser("bench", help="run the benchmark suite and print its tables", add_help=False)
    bench.add_argument("--quick", action="store_true", help="short timings and small inputs")
    return parser, {"check": check, "mask": mask}


# --- check -------------------------------------------------------------------


def _check(files: List[str], *, quiet: bool) -> int:
    status = 0
    unsaid: Optional[str] = None  # why verdicts cannot be printed, once that is known
    buf = bytearray(CHUNK_SIZE)
    for name in files:
        if name == "-" and sys.stdin is None:
            if not quiet:
                _error("tav: standard input is closed")
            status = 2
            continue
        try:
            verdict = _check_one(name, buf, quiet=quiet)
        except OSError as e:
            if not quiet:
                _error(f"tav: {name}: {e.strerror or e}")
            status = 2
            continue
        if verdict is None:
            continue
        status = max(status, 1)
        if not quiet and unsaid is None:
            unsaid = _say(verdict)
            if unsaid is not None:
                _error(f"tav: {unsaid}")
        if unsaid is not None:
            status = 2  # verdicts were lost: trouble, not a verdict
    return status


def _say(line: str) -> Optional[str]:
    """Print `line` on standard output; None, or why it cannot be printed."""
    if sys.stdout is None:
        return "standard output is closed"
    try:
        print(line)
    except BrokenPipeError:
        raise
    except OSError as e:
        _silence_stdout()
        return f"standard output: {e.strerror or e}"
    return None


def _check_one(name: str, buf: bytearray, *, quiet: bool) -> Optional[str]:
    """None if `name` is well-formed UTF-8, else the line that says where it is not."""
    if name == "-":
        return _check_stream(STDIN_NAME, _stdin(), buf, size=None, rereadable=False, quiet=quiet)
    with open(name, "rb", buffering=0) as f:
        st = os.fstat(f.fileno())
        regular = stat.S_ISREG(st.st_mode)
        return _check_stream(
            name, f, buf, size=st.st_size if regular else None, rereadable=regular, quiet=quiet
        )


def _check_stream(
    name: str, f: BinaryIO, buf: bytearray, *, size: Optional[int], rereadable: bool, quiet: bool
) -> Optional[str]:
    """Validate `f` chunk by chunk.

    Lines are counted only when the position of an invalid byte is wanted: a
    regular file is read a second time up to that byte; any other stream (a
    pipe, a terminal) cannot be, so its newlines are counted as it streams.
    The last 3 bytes of the stream so far are kept, enough to find where an
    ill-formed sequence started in an earlier chunk."""
    view = memoryview(buf)
    progress = _Progress(name, size) if size is not None and size > PROGRESS_MIN_SIZE and not quiet else None
    lines = _LineCounter()
    offset = 0
    tail = b""
    status = Utf8Status.COMPLETE
    try:
        with Utf8Validator() as validator:
            while True:
                n = f.readinto(view)  # type: ignore[attr-defined]
                if not n:
                    break
                status = validator.validate(view[:n])
                if status is Utf8Status.INVALID:
                    error = validator.error_offset
                    assert error is not None
                    before = (tail + bytes(view[max(0, error - offset - 3) : error - offset]))[-3:]
                    start, reason = _ill_formed(before, error, view[error - offset : error - offset + 1])
                    if rereadable:
                        lines = _count_lines_before(f, start, view)
                    else:
                        lines.feed(buf, max(0, start - offset), offset)
                    return _verdict(name, start, lines, reason)
                if not rereadable:
                    lines.feed(buf, n, offset)
                tail = (tail + bytes(view[max(0, n - 3) : n]))[-3:]
                offset += n
                if progress:
                    progress.update(offset)
    finally:
        if progress:
            progress.done()
    if status is Utf8Status.INCOMPLETE:
        start, reason = _ill_formed(tail, offset, b"")
        if rereadable:
            lines = _count_lines_before(f, start, view)
        return _verdict(name, start, lines, reason)
    return None


def _verdict(name: str, start: int, lines: "_LineCounter", reason: str) -> str:
    line, column = lines.position(start)
    return f"{name}: invalid UTF-8 at byte {start} (line {line}, column {column}): {reason}"


def _ill_formed(before: bytes, at: int, byte: Union[bytes, memoryview]) -> tuple[int, str]:
    """(offset of the first byte of the ill-formed sequence, CPython's reason) for a stream
    that is well-formed up to offset `at`, where `byte` (empty at the end) is rejected.

    `before` holds the up to 3 bytes before `at`. The sequence starts at the lead
    byte of a character still open there, else at `at` itself."""
    start = at
    for back in range(1, len(before) + 1):
        b = before[-back]
        if b & 0xC0 != 0x80:  # the last byte that is not a continuation byte
            if b >= 0xC0 and _SEQUENCE_LENGTH[b >> 4] > back:
                start = at - back
            break
    window = before[len(before) - (at - start) :] + bytes(byte)
    try:
        window.decode("utf-8")
    except UnicodeDecodeError as e:
        return start, e.reason
    raise AssertionError(f"{window!r} was rejected but decodes")


#: Bytes in a character, by the high nibble of its lead byte (C, D: 2; E: 3; F: 4).
_SEQUENCE_LENGTH = (1,) * 12 + (2, 2, 3, 4)


class _LineCounter:
    """Newlines seen so far and the stream offset just after the last one."""

    __slots__ = ("newlines", "line_start")

    def __init__(self) -> None:
        self.newlines = 0
        self.line_start = 0

    def feed(self, chunk: bytearray, n: int, offset: int) -> None:
        """Count the newlines of chunk[:n], which starts at stream offset `offset`."""
        k = chunk.count(b"\n", 0, n)
        if k:
            self.newlines += k
            self.line_start = offset + chunk.rfind(b"\n", 0, n) + 1

    def position(self, offset: int) -> tuple[int, int]:
        """(line, column in bytes), both from 1, of stream offset `offset` once all bytes before it are fed."""
        return self.newlines + 1, offset - self.line_start + 1


def _count_lines_before(f: BinaryIO, end: int, view: memoryview) -> _LineCounter:
    lines = _LineCounter()
    f.seek(0)
    offset = 0
    while offset < end:
        n = f.readinto(view[: min(len(view), end - offset)])  # type: ignore[attr-defined]
        if not n:
            break
        lines.feed(view.obj, n, offset)  # type: ignore[arg-type]
        offset += n
    return lines


class _Progress:
    """A one-line progress bar on standard error, drawn only when it is a terminal.

    The line is fitted to the terminal's width at each redraw, one column
    short of it, since writing the last column wraps on many terminals and
    every later redraw would then leave a stale row behind."""

    BAR = 30
    MIN_BAR = 10
    MIN_NAME = 8  # "..." and a few characters of the end of the name

    def __init__(self, name: str, size: int, stream: Optional[TextIO] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream is not None and self.stream.isatty()
        # Control characters and undecodable bytes in a file name would move the cursor.
        self.name = "".join(c if c.isprintable() else "?" for c in name)
        self.size = size
        self.shown = -1

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        percent = min(100, done * 100 // self.size)
        if percent != self.shown:
            self.shown = percent
            self.stream.write(f"\r{self.line(percent, _columns(self.stream))}\x1b[K")
            self.stream.flush()

    def line(self, percent: int, columns: int) -> str:
        """The bar for `percent` in at most columns - 1 columns: the percent first, then a
        bar of MIN_BAR to BAR cells, then as much of the name's end as still fits."""
        room = columns - 1
        tail = f"{percent:3d}%"
        if room < len(tail) + 3 + self.MIN_BAR:
            return tail if room >= len(tail) else ""
        name_width = _text_width(self.name)
        # name + " [" + bar + "] " + percent
        bar = min(self.BAR, max(self.MIN_BAR, room - name_width - 8))
        name_room = room - bar - 8
        if name_room < min(name_width, self.MIN_NAME):
            name = None
            bar = min(self.BAR, room - 7)
        else:
            name = _keep_end(self.name, name_room)
        filled = percent * bar // 100
        drawn = f"[{'#' * filled}{'-' * (bar - filled)}] {tail}"
        return drawn if name is None else f"{name} {drawn}"

    def done(self) -> None:
        if self.enabled and self.shown >= 0:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _columns(stream: TextIO) -> int:
    """Width of the terminal `stream` is on; COLUMNS or 80 when it does not say."""
    try:
        columns = os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, OSError, ValueError):
        columns = 0
    return columns or shutil.get_terminal_size().columns


def _char_width(c: str) -> int:
    if unicodedata.combining(c):
        return 0
    return 2 if unicodedata.east_asian_width(c) in "WF" else 1


def _text_width(text: str) -> int:
    """Terminal columns taken by printable `text`."""
    return sum(_char_width(c) for c in text)


def _keep_end(text: str, columns: int) -> str:
    """`text` if it fits in `columns`, else "..." and as much of its end as fits."""
    if _text_width(text) <= columns:
        return text
    room = columns - 3
    start = len(text)
    while start > 0 and _char_width(text[start - 1]) <= room:
        start -= 1
        room -= _char_width(text[start])
    return "..." + text[start:]


# --- mask --------------------------------------------------------------------


def _mask(key_hex: str, input_name: str, output_name: str) -> int:
    digits = key_hex.strip()
    if digits[:2] in ("0x", "0X"):
        digits = digits[2:]
    try:
        key = bytes.fromhex(digits)
    except ValueError:
        _error(f"tav: bad key {key_hex!r}: not hexadecimal")
        return 2
    if len(key) != 4:
        _error(f"tav: bad key {key_hex!r}: the key is 4 bytes (8 hex digits), got {len(key)}")
        return 2
    if input_name == "-" and sys.stdin is None:
        _error("tav: standard input is closed")
        return 2
    if output_name == "-" and sys.stdout is None:
        _error("tav: standard output is closed")
        return 2
    if input_name != "-" and output_name != "-" and _same_file(input_name, output_name):
        _error(f"tav: {output_name}: is the input file; writing it would destroy the input")
        return 2
    src_label = "standard input" if input_name == "-" else input_name
    dst_label = "standard output" if output_name == "-" else output_name
    try:
        src = _stdin() if input_name == "-" else open(input_name, "rb", buffering=0)
    except OSError as e:
        _error(f"tav: {input_name}: {e.strerror or e}")
        return 2
    try:
        try:
            dst = _stdout() if output_name == "-" else open(output_name, "wb")
        except OSError as e:
            _error(f"tav: {output_name}: {e.strerror or e}")
            return 2
        try:
            _mask_stream(XorMasker(key), src, dst, src_label, dst_label)
            if output_name != "-":
                try:
                    dst.close()
                except OSError as e:
                    e.filename = output_name
                    raise
        except BrokenPipeError:
            raise  # the reader went away (`| head`): main() ends as Unix tools do
        except OSError as e:
            _error(f"tav: {e.filename}: {e.strerror or e}")
            if output_name == "-" and e.filename == dst_label:
                _silence_stdout()  # reported once; the flush at the end must not fail again
            return 2
        finally:
            if output_name != "-" and not dst.closed:
                try:
                    dst.close()
                except OSError:
                    pass  # what is still buffered fails as the write that was reported did
    finally:
        if input_name != "-":
            src.close()
    return 0


def _mask_stream(masker: XorMasker, src: BinaryIO, dst: BinaryIO, src_name: str, dst_name: str) -> None:
    """Mask `src` into `dst`; an OSError leaves with the name of the side that failed as its filename."""
    buf = bytearray(CHUNK_SIZE)
    view = memoryview(buf)
    with masker:
        while True:
            try:
                n = src.readinto(view)  # type: ignore[attr-defined]
            except OSError as e:
                e.filename = src_name
                raise
            if not n:
                break
            chunk = view[:n]
            masker.mask(chunk)
            try:
                dst.write(chunk)
            except OSError as e:
                e.filename = dst_name
                raise
    try:
        dst.flush()
    except OSError as e:
        e.filename = dst_name
        raise


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _stdin() -> BinaryIO:
    return sys.stdin.buffer


def _stdout() -> BinaryIO:
    return sys.stdout.buffer


def _error(message: str) -> None:
    # With standard error closed, print() would write to standard output, into the data.
    if sys.stderr is not None:
        print(message, file=sys.stderr, flush=True)  # at once, also where stderr is block-buffered (PyPy)


def _silence_stdout() -> None:
    # Python flushes stdout at exit; after a failed write that flush fails again.
    if sys.stdout is None:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
