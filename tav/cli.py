"""The `tav` command: check files for well-formed UTF-8, mask streams, run the benchmarks."""
from __future__ import annotations

import argparse
import os
import stat
import sys
from typing import BinaryIO, List, Optional, Sequence, TextIO

from ._mask import XorMasker
from ._utf8 import Utf8Status, Utf8Validator

#: Bytes read per call; one buffer of this size is reused for a whole run.
CHUNK_SIZE = 1 << 20
#: Files larger than this show a progress bar when standard error is a terminal.
PROGRESS_MIN_SIZE = 32 << 20

STDIN_NAME = "(standard input)"


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line `argv` (default: sys.argv[1:]) and return the exit status."""
    parser = _parser()
    args, extra = parser.parse_known_args(argv)
    if extra and args.command != "bench":
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if args.command == "check":
        return _check(args.files or ["-"], quiet=args.quiet)
    if args.command == "mask":
        return _mask(args.key, args.input, args.output)
    if args.command == "bench":
        from .bench.__main__ import main as bench_main

        return bench_main((["--quick"] if args.quick else []) + extra)
    parser.print_usage(sys.stderr)
    return 2


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tav", description="Strict UTF-8 validation and WebSocket (RFC 6455) masking in native code."
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    check = sub.add_parser(
        "check",
        help="check that files are well-formed UTF-8",
        description=(
            "Check that each FILE is well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, "
            "nothing above U+10FFFF). Files are streamed in 1 MiB chunks. For each file that fails, "
            "one line names the first invalid byte: its offset from 0, and its line and column, both "
            "counted from 1, the column in bytes."
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
    mask.add_argument("--key", required=True, metavar="HEX", help="the key as 8 hex digits, e.g. 37fa213d")
    mask.add_argument("input", nargs="?", default="-", metavar="IN", help="input file; - or none: standard input")
    mask.add_argument("output", nargs="?", default="-", metavar="OUT", help="output file; - or none: standard output")

    bench = sub.add_parser("bench", help="run the benchmark suite and print its tables")
    bench.add_argument("--quick", action="store_true", help="short timings and small inputs")
    return parser


# --- check -------------------------------------------------------------------


def _check(files: List[str], *, quiet: bool) -> int:
    status = 0
    buf = bytearray(CHUNK_SIZE)
    for name in files:
        try:
            verdict = _check_one(name, buf, quiet=quiet)
        except OSError as e:
            if not quiet:
                print(f"tav: {name}: {e.strerror or e}", file=sys.stderr)
            status = 2
            continue
        if verdict is not None:
            if not quiet:
                print(verdict)
            status = max(status, 1)
    return status


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
    pipe, a terminal) cannot be, so its newlines are counted as it streams."""
    view = memoryview(buf)
    progress = _Progress(name, size) if size is not None and size > PROGRESS_MIN_SIZE and not quiet else None
    lines = _LineCounter()
    offset = 0
    status = Utf8Status.COMPLETE
    with Utf8Validator() as validator:
        while True:
            n = f.readinto(view)  # type: ignore[attr-defined]
            if not n:
                break
            status = validator.validate(view[:n])
            if status is Utf8Status.INVALID:
                error = validator.error_offset
                assert error is not None
                if rereadable:
                    lines = _count_lines_before(f, error, view)
                else:
                    lines.feed(buf, error - offset, offset)
                if progress:
                    progress.done()
                line, column = lines.position(error)
                return f"{name}: invalid UTF-8 at byte {error} (line {line}, column {column})"
            if not rereadable:
                lines.feed(buf, n, offset)
            offset += n
            if progress:
                progress.update(offset)
    if progress:
        progress.done()
    if status is Utf8Status.INCOMPLETE:
        return f"{name}: ends inside a UTF-8 character"
    return None


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
    """A one-line progress bar on standard error, drawn only when it is a terminal."""

    WIDTH = 30

    def __init__(self, name: str, size: int, stream: Optional[TextIO] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty()
        self.name = name
        self.size = size
        self.shown = -1

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        percent = min(100, done * 100 // self.size)
        if percent != self.shown:
            self.shown = percent
            filled = percent * self.WIDTH // 100
            bar = "#" * filled + "-" * (self.WIDTH - filled)
            self.stream.write(f"\r{self.name} [{bar}] {percent:3d}%")
            self.stream.flush()

    def done(self) -> None:
        if self.enabled and self.shown >= 0:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


# --- mask --------------------------------------------------------------------


def _mask(key_hex: str, input_name: str, output_name: str) -> int:
    try:
        key = bytes.fromhex(key_hex)
    except ValueError:
        print(f"tav: bad key {key_hex!r}: not hexadecimal", file=sys.stderr)
        return 2
    if len(key) != 4:
        print(f"tav: bad key {key_hex!r}: the key is 4 bytes (8 hex digits), got {len(key)}", file=sys.stderr)
        return 2
    if input_name != "-" and output_name != "-" and _same_file(input_name, output_name):
        print(f"tav: {output_name}: is the input file; writing it would destroy the input", file=sys.stderr)
        return 2
    try:
        src = _stdin() if input_name == "-" else open(input_name, "rb", buffering=0)
    except OSError as e:
        print(f"tav: {input_name}: {e.strerror or e}", file=sys.stderr)
        return 2
    try:
        try:
            dst = _stdout() if output_name == "-" else open(output_name, "wb")
        except OSError as e:
            print(f"tav: {output_name}: {e.strerror or e}", file=sys.stderr)
            return 2
        try:
            _mask_stream(XorMasker(key), src, dst)
        except BrokenPipeError:
            # The reader went away (e.g. `| head`); stop quietly.
            _silence_stdout()
            return 1
        except OSError as e:
            print(f"tav: {e.filename or input_name}: {e.strerror or e}", file=sys.stderr)
            return 2
        finally:
            if dst is not _stdout():
                dst.close()
    finally:
        if src is not _stdin():
            src.close()
    return 0


def _mask_stream(masker: XorMasker, src: BinaryIO, dst: BinaryIO) -> None:
    buf = bytearray(CHUNK_SIZE)
    view = memoryview(buf)
    with masker:
        while True:
            n = src.readinto(view)  # type: ignore[attr-defined]
            if not n:
                break
            chunk = view[:n]
            masker.mask(chunk)
            dst.write(chunk)
    dst.flush()


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _stdin() -> BinaryIO:
    return sys.stdin.buffer


def _stdout() -> BinaryIO:
    return sys.stdout.buffer


def _silence_stdout() -> None:
    # Python flushes stdout at exit; after a broken pipe that flush fails again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
