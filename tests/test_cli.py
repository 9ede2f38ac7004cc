"""The `tav` command: verdicts, positions, exit codes and messages of `check`,
streamed masking, the benchmark runner, agreement with moreutils' isutf8, and
how the command ends on closed streams, broken pipes and Ctrl-C."""
from __future__ import annotations

import importlib
import importlib.metadata
import io
import os
import shutil
import select
import signal
import struct
import subprocess
import sys
import unicodedata
from pathlib import Path
from typing import Any, Iterator, List, Optional, Sequence

import pytest

import tav
import tav.bench.__main__ as bench_main
from tav.bench import find_corpus
from support import seeded, xor_model
from tav import cli

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
DATA = HERE / "data"
CLI = DATA / "cli"
KUHN = DATA / "UTF-8-test.txt"
KEY = "37fa213d"
# Children run the checkout's `tav` through `python -m tav`, i.e. main() without arguments.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])))


class _Stdin:
    """Stands in for sys.stdin: binary reads from `.buffer`."""

    def __init__(self, data: bytes) -> None:
        self.buffer = io.BytesIO(data)


class _Stdout:
    def __init__(self) -> None:
        self.buffer = io.BytesIO()


def run(args: List[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    rc = cli.main(args)
    out, err = capsys.readouterr()
    return rc, out, err


def expected_line(name: str, data: bytes) -> Optional[str]:
    """What `tav check` must print for `data`: where CPython's strict decoder says the
    ill-formed sequence starts, and why, with the line and column counted by hand."""
    try:
        data.decode("utf-8")
        return None
    except UnicodeDecodeError as e:
        start, reason = e.start, e.reason
    line = data.count(b"\n", 0, start) + 1
    column = start - (data.rfind(b"\n", 0, start) + 1) + 1
    return f"{name}: invalid UTF-8 at byte {start} (line {line}, column {column}): {reason}"


def fixtures() -> List[Path]:
    files = sorted(CLI.glob("*.txt"))
    if KUHN.exists():
        files.append(KUHN)
    return files


# --- check ---------------------------------------------------------------------

@pytest.mark.parametrize("chunk", [1, 2, 3, 7, 64, cli.CHUNK_SIZE])
def test_check_reports_the_first_ill_formed_sequence_with_line_and_column(
    chunk: int, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    # Small chunks put characters, newlines and the invalid byte across chunk edges.
    monkeypatch.setattr(cli, "CHUNK_SIZE", chunk)
    for path in fixtures():
        data = path.read_bytes()
        want = expected_line(str(path), data)
        rc, out, err = run(["check", str(path)], capsys)
        assert (rc, out, err) == ((1, want + "\n", "") if want else (0, "", "")), path
        # The same bytes from a pipe: lines are counted while streaming there.
        monkeypatch.setattr(sys, "stdin", _Stdin(data))
        rc, out, _ = run(["check", "-"], capsys)
        want = expected_line(cli.STDIN_NAME, data)
        assert (rc, out) == ((1, want + "\n") if want else (0, "")), path


# Ill-formed tails after a line of text: where CPython says each starts, not the byte where it went wrong.
ILL_FORMED = [
    b"\xed\xa0\x80 ",  # a surrogate: the sequence starts at ED, the rejected byte is A0
    b"\xf0\x90\x80(",  # rejected at its fourth byte, three back to the start
    b"\xe2\x82(",
    b"\xe0\x80\x80",  # overlong
    b"\xf4\x90\x80\x80",  # above U+10FFFF
    b"\xc3\xa9\x80",  # a stray continuation byte after a complete character starts nothing
    b"\xf0\x9f\x98\x80\xbf",
    b"\xff",
    b"\xf0\x9f\x98",  # ends inside a character
    b"\xc3",
]


@pytest.mark.parametrize("chunk", [1, 2, 3, 4, 5, 16])
def test_check_names_the_start_of_the_ill_formed_sequence_across_chunk_edges(
    chunk: int, tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(cli, "CHUNK_SIZE", chunk)
    path = tmp_path / "f.txt"
    for tail in ILL_FORMED:
        for lead in range(chunk + 1):  # the sequence at every position in a chunk
            data = b"ok\n\xe2\x82\xac" + b"x" * lead + tail
            path.write_bytes(data)
            want = expected_line(str(path), data)
            assert run(["check", str(path)], capsys) == (1, f"{want}\n", ""), data
            monkeypatch.setattr(sys, "stdin", _Stdin(data))
            assert run(["check"], capsys) == (1, f"{expected_line(cli.STDIN_NAME, data)}\n", ""), data
    # The case as a person meets it: ED A0 80 at byte 18 is named at 18, not at the valid byte 19.
    path.write_bytes(b"x" * 18 + b"\xed\xa0\x80 x")
    assert run(["check", str(path)], capsys)[1] == (
        f"{path}: invalid UTF-8 at byte 18 (line 1, column 19): invalid continuation byte\n"
    )


def test_check_of_the_kuhn_stress_test_names_its_first_rejected_byte(capsys: pytest.CaptureFixture[str]) -> None:
    if not KUHN.exists():
        pytest.skip("tests/data/UTF-8-test.txt not present")
    rc, out, _ = run(["check", str(KUHN)], capsys)
    # Line 75 holds the five-byte form F8 88 80 80 80 (section 2.1.5).
    assert (rc, out) == (1, f"{KUHN}: invalid UTF-8 at byte 4461 (line 75, column 38): invalid start byte\n")


def test_check_exit_codes_and_messages(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    good, bad, partial = CLI / "valid.txt", CLI / "invalid_line3.txt", CLI / "truncated.txt"
    missing = tmp_path / "missing.txt"
    bad_line = f"{bad}: invalid UTF-8 at byte 22 (line 3, column 7): invalid start byte"
    cases = [
        (["check", str(good), str(CLI / "empty.txt")], 0, [], []),
        (["check", str(good), str(bad)], 1, [bad_line], []),
        (["check", str(partial)], 1, [f"{partial}: invalid UTF-8 at byte 4 (line 2, column 1): unexpected end of data"], []),
        (["check", str(missing), str(good)], 2, [], [f"tav: {missing}: No such file or directory"]),
        (["check", str(tmp_path)], 2, [], [f"tav: {tmp_path}: Is a directory"]),
        (["check", str(bad), str(missing)], 2, [bad_line],
         [f"tav: {missing}: No such file or directory"]),
        (["check", "-q", str(bad), str(missing), str(good)], 2, [], []),
        (["check", "-q", str(bad)], 1, [], []),
        (["check", "-q", str(good)], 0, [], []),
    ]
    for args, rc, out, err in cases:
        got = run(args, capsys)
        assert got == (rc, "".join(f"{o}\n" for o in out), "".join(f"{e}\n" for e in err)), args


def test_check_reads_standard_input_without_arguments(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(sys, "stdin", _Stdin(b"ok\n\xe2\x82\xac\n"))
    assert run(["check"], capsys) == (0, "", "")
    monkeypatch.setattr(sys, "stdin", _Stdin(b"ok\n\xe2\x82("))
    want = f"{cli.STDIN_NAME}: invalid UTF-8 at byte 3 (line 2, column 1): invalid continuation byte\n"
    assert run(["check"], capsys) == (1, want, "")


def test_check_streams_random_large_inputs_like_the_oracle(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(cli, "CHUNK_SIZE", 4096)
    rng = seeded(21)
    lines = ["short", "é" * 40, "中文" * 300, "x" * 5000, ""]
    for k in range(8):
        text = "\n".join(rng.choice(lines) for _ in range(60)).encode()
        if k:
            at = rng.randrange(len(text))
            text = text[:at] + rng.choice([b"\xff", b"\xed\xb0", b"\xe2\x82", b"\xc1"]) + text[at:]
        path = tmp_path / f"f{k}.txt"
        path.write_bytes(text)
        want = expected_line(str(path), text)
        assert run(["check", str(path)], capsys) == ((1, want + "\n", "") if want else (0, "", ""))


class _Tty(io.StringIO):
    """A terminal that records what is drawn on it; its size is that of the terminal `fd`, if given."""

    def __init__(self, fd: int = -1) -> None:
        super().__init__()
        self.fd = fd

    def isatty(self) -> bool:
        return True

    def fileno(self) -> int:
        if self.fd < 0:
            raise io.UnsupportedOperation("fileno")
        return self.fd


@pytest.mark.parametrize("tty", [True, False])
def test_progress_bar_only_on_a_terminal_and_only_for_large_files(
    tty: bool, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("COLUMNS", "80")
    stderr = _Tty() if tty else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    monkeypatch.setattr(cli, "CHUNK_SIZE", 16)
    monkeypatch.setattr(cli, "PROGRESS_MIN_SIZE", 64)
    assert cli.main(["check", str(CLI / "valid.txt")]) == 0  # larger than 64 bytes
    shown = stderr.getvalue()
    if tty:
        assert "valid.txt [" in shown and "100%" in shown and shown.endswith("\r\x1b[K")
    else:
        assert shown == ""
    stderr.seek(0)
    stderr.truncate()
    assert cli.main(["check", "-q", str(CLI / "valid.txt")]) == 0
    assert cli.main(["check", str(CLI / "overlong.txt")]) == 1  # 3 bytes: below the size
    assert stderr.getvalue() == ""


def _columns_taken(text: str) -> int:
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


LONG_PATH = "/data/" + "d" * 95 + "/x.bin"  # 107 characters
WIDE_NAME = "目录/" * 30 + "大.txt"
BAD_NAME = "bad\nname\udcff.txt"  # a newline and an undecodable byte
# The finished bar for some names and terminal widths.
FINISHED = {
    ("a", 40): "a [" + "#" * 30 + "] 100%",
    (LONG_PATH, 200): LONG_PATH + " [" + "#" * 30 + "] 100%",
    (LONG_PATH, 80): "..." + LONG_PATH[-58:] + " [" + "#" * 10 + "] 100%",  # 79 columns
    (LONG_PATH, 20): "[" + "#" * 12 + "] 100%",
    (LONG_PATH, 12): "100%",
    (LONG_PATH, 4): "",
    (WIDE_NAME, 40): ".../目录/目录/大.txt [" + "#" * 10 + "] 100%",
    (BAD_NAME, 80): "bad?name?.txt [" + "#" * 30 + "] 100%",
}


def _columns_taken(text: str) -> int:
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


@pytest.mark.parametrize("columns", [1, 4, 5, 12, 17, 18, 20, 40, 80, 200])
@pytest.mark.parametrize("told_by", ["terminal", "COLUMNS"])
def test_progress_line_fits_the_terminal_width(columns: int, told_by: str, monkeypatch: pytest.MonkeyPatch) -> None:
    # Wider than the terminal, each redraw wraps and leaves a stale row behind.
    master = slave = -1
    if told_by == "terminal":
        # The terminal the bar is drawn on decides, not COLUMNS nor standard output's terminal.
        termios = pytest.importorskip("termios")
        fcntl = pytest.importorskip("fcntl")
        try:
            master, slave = os.openpty()
        except OSError as e:
            pytest.skip(f"no pseudo-terminal: {e}")
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        monkeypatch.setenv("COLUMNS", "1000")
    else:
        monkeypatch.setenv("COLUMNS", str(columns))
    try:
        for name in ("a", "valid.txt", LONG_PATH, WIDE_NAME, BAD_NAME):
            stream = _Tty(slave)
            bar = cli._Progress(name, 1000, stream)
            for done in range(0, 1001, 9):
                bar.update(done)
            bar.update(1000)
            drawn = [line.replace("\x1b[K", "") for line in stream.getvalue().split("\r")[1:]]
            assert len(drawn) == 101, name  # one redraw per percent
            for line in drawn:
                assert "\n" not in line and "\x1b" not in line, (name, line)
                assert _columns_taken(line) <= columns - 1, (name, columns, line)
            if columns >= 5:
                assert drawn[-1].endswith("100%"), (name, drawn[-1])
            if (name, columns) in FINISHED:
                assert drawn[-1] == FINISHED[name, columns]
    finally:
        if slave >= 0:
            os.close(slave)
            os.close(master)


# --- closed streams, broken pipes, Ctrl-C --------------------------------------

def _tav(args: Sequence[str], *, buffered: bool = True, **kwargs: Any) -> "subprocess.Popen[bytes]":
    """`python -m tav args`; `buffered`: standard output block-buffered on a pipe, as in a user's shell."""
    env = {k: v for k, v in CHILD_ENV.items() if k != "PYTHONUNBUFFERED"}
    if not buffered:
        env["PYTHONUNBUFFERED"] = "1"
    return subprocess.Popen([sys.executable, "-m", "tav", *args], env=env, **kwargs)


def _closing(*fds: int) -> Any:
    """A preexec_fn that starts the child with `fds` closed, so Python sets sys.stdin/stdout to None."""
    return lambda: [os.close(fd) for fd in fds]


def test_closed_or_full_standard_streams_give_one_line_and_exit_2(tmp_path: Path) -> None:
    good, bad = str(CLI / "valid.txt"), str(CLI / "invalid_line3.txt")
    src, dst = tmp_path / "in", tmp_path / "out"
    src.write_bytes(b"Hello")
    full = "/dev/full" if os.path.exists("/dev/full") else None
    cases: List[tuple[List[str], tuple[int, ...], Optional[str], int, str]] = [
        (["check"], (0,), None, 2, "tav: standard input is closed\n"),
        (["check", good, "-", bad], (0,), None, 2, "tav: standard input is closed\n"),
        (["check", "-q", "-"], (0,), None, 2, ""),
        (["check", bad], (1,), None, 2, "tav: standard output is closed\n"),
        (["check", bad, bad], (1,), None, 2, "tav: standard output is closed\n"),  # said once
        (["check", "-q", bad], (1,), None, 1, ""),  # nothing to print: the verdict stands
        (["check", good], (1,), None, 0, ""),
        (["mask", "--key", KEY], (0,), None, 2, "tav: standard input is closed\n"),
        (["mask", "--key", KEY, str(src)], (1,), None, 2, "tav: standard output is closed\n"),
        (["mask", "--key", KEY, str(src), str(dst)], (0, 1), None, 0, ""),
    ]
    if full:
        cases += [
            (["check", bad, bad], (), full, 2, "tav: standard output: No space left on device\n"),
            (["mask", "--key", KEY, str(src)], (), full, 2, "tav: standard output: No space left on device\n"),
            (["mask", "--key", KEY, str(src), full], (), None, 2, "tav: /dev/full: No space left on device\n"),
        ]
    for args, closed, stdout, rc, err in cases:
        with open(stdout or os.devnull, "wb") as out:
            child = _tav(args, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE, preexec_fn=_closing(*closed))
            _, got = child.communicate(timeout=60)
        assert (child.returncode, got.decode()) == (rc, err), (args, closed)
    assert dst.read_bytes() == xor_model(b"Hello", bytes.fromhex(KEY))


@pytest.mark.parametrize("buffered", [True, False])
def test_a_reader_that_went_away_ends_tav_by_sigpipe_without_a_traceback(buffered: bool, tmp_path: Path) -> None:
    # The state `| head -c0` leaves: a pipe whose read end is closed.
    bad = str(CLI / "invalid_line3.txt")
    big = tmp_path / "big"
    big.write_bytes(bytes(3 * cli.CHUNK_SIZE + 5))
    for args in (
        ["check", bad],  # buffered, the verdict fails at the final flush
        ["check"] + [bad] * 3000,  # ... or while printing
        ["mask", "--key", KEY, str(big)],
        ["--version"],  # argparse ends it by SystemExit
    ):
        r, w = os.pipe()
        os.close(r)
        try:
            child = _tav(args, buffered=buffered, stdin=subprocess.DEVNULL, stdout=w, stderr=subprocess.PIPE)
        finally:
            os.close(w)
        _, err = child.communicate(timeout=60)
        # The shell reports this as 141 = 128 + SIGPIPE.
        assert (child.returncode, err.decode()) == (-signal.SIGPIPE, ""), args[:2]


def test_ctrl_c_ends_tav_by_sigint_without_a_traceback(tmp_path: Path) -> None:
    missing, bad = tmp_path / "missing", CLI / "invalid_line3.txt"
    # The error line shows that the child is past start-up and on its way to block reading stdin.
    # A shell starts background jobs with SIGINT ignored, and a child inherits that: give it back
    # its default, as a terminal's foreground job has it.
    child = _tav(
        ["check", str(bad), str(missing), "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    assert child.stdout is not None and child.stderr is not None and child.stdin is not None
    try:
        ready, _, _ = select.select([child.stderr], [], [], 60)
        assert ready, "tav printed no error line within 60 s"
        first = child.stderr.readline().decode()
        assert first == f"tav: {missing}: No such file or directory\n"
        child.send_signal(signal.SIGINT)
        rc = child.wait(timeout=60)
        rest = child.stderr.read().decode()
        out = child.stdout.read().decode()
    finally:
        child.kill()
        child.wait()
        for pipe in (child.stdin, child.stdout, child.stderr):
            pipe.close()
    assert (rc, rest) == (-signal.SIGINT, "")  # 130 in the shell
    # What was found before is kept.
    assert out == f"{bad}: invalid UTF-8 at byte 22 (line 3, column 7): invalid start byte\n"


# --- agreement with isutf8 -----------------------------------------------------

def _agreement_files() -> Iterator[Path]:
    yield from fixtures()
    yield from sorted(p for p in DATA.glob("*") if p.is_file())
    # The bundled sample, or the full corpus that TAV_CORPUS names.
    yield from sorted(p for p in find_corpus().rglob("*") if p.is_file())


@pytest.mark.skipif(shutil.which("isutf8") is None, reason="isutf8 (Debian moreutils) not installed")
def test_verdicts_and_positions_agree_with_isutf8(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    # isutf8 prints "FILE: line L, char C, byte B: ..." (C counts characters); tav's column counts bytes.
    files = list(_agreement_files())
    for k, tail in enumerate(ILL_FORMED):
        files.append(tmp_path / f"ill{k}.txt")
        files[-1].write_bytes("é\n".encode() + tail)
    for path in files:
        theirs = subprocess.run(["isutf8", str(path)], capture_output=True, text=True)
        rc, out, _ = run(["check", str(path)], capsys)
        assert (rc, theirs.returncode) in ((0, 0), (1, 1)), path
        if rc:
            line, byte = out.split("(line ")[1].split(",")[0], out.split(" at byte ")[1].split(" ")[0]
            assert f": line {line}, " in theirs.stdout and f", byte {byte}: " in theirs.stdout, (out, theirs.stdout)


# --- mask ----------------------------------------------------------------------

@pytest.mark.parametrize("chunk", [3, 4, 4096])
def test_mask_streams_files_and_pipes_with_the_phase_carried(
    chunk: int, tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(cli, "CHUNK_SIZE", chunk)
    key = bytes.fromhex("37fa213d")
    data = seeded(31).randbytes(10_001)
    src, dst, back = tmp_path / "in", tmp_path / "out", tmp_path / "back"
    src.write_bytes(data)
    assert run(["mask", "--key", "37fa213d", str(src), str(dst)], capsys) == (0, "", "")
    assert dst.read_bytes() == xor_model(data, key)
    assert run(["mask", "--key", "37 fa 21 3d", str(dst), str(back)], capsys) == (0, "", "")
    assert back.read_bytes() == data
    for spelling in ("0x37fa213d", "0X37FA213D"):
        back.unlink()
        assert run(["mask", "--key", spelling, str(dst), str(back)], capsys) == (0, "", "")
        assert back.read_bytes() == data, spelling
    # Standard input to standard output, for a missing name and for -.
    for args in (["mask", "--key", "37fa213d"], ["mask", "--key", "37fa213d", "-", "-"]):
        out = _Stdout()
        monkeypatch.setattr(sys, "stdin", _Stdin(data))
        monkeypatch.setattr(sys, "stdout", out)
        assert cli.main(args) == 0
        assert out.buffer.getvalue() == xor_model(data, key)


def test_mask_errors_exit_2_with_a_message(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    src = tmp_path / "in"
    src.write_bytes(b"payload")
    cases = [
        (["--key", "37fa21", str(src)], "tav: bad key '37fa21': the key is 4 bytes (8 hex digits), got 3"),
        (["--key", "37fa213d00", str(src)], "got 5"),
        (["--key", "zzzzzzzz", str(src)], "tav: bad key 'zzzzzzzz': not hexadecimal"),
        (["--key", "0x37fa21", str(src)], "tav: bad key '0x37fa21': the key is 4 bytes (8 hex digits), got 3"),
        (["--key", "0x", str(src)], "got 0"),
        (["--key", "0x0x37fa213d", str(src)], "not hexadecimal"),
        (["--key", "x37fa213d", str(src)], "not hexadecimal"),
        (["--key", "37fa213d", str(tmp_path / "nope")], f"tav: {tmp_path / 'nope'}: No such file or directory"),
        (["--key", "37fa213d", str(src), str(tmp_path / "no" / "dir")], "No such file or directory"),
        (["--key", "37fa213d", str(src), str(src)], "is the input file"),
    ]
    for args, message in cases:
        rc, out, err = run(["mask", *args], capsys)
        assert (rc, out) == (2, ""), args
        assert message in err, (args, err)
    assert src.read_bytes() == b"payload"  # never truncated by the refused same-file run


def test_no_command_prints_the_help_and_version_prints_the_version(capsys: pytest.CaptureFixture[str]) -> None:
    rc, out, err = run([], capsys)
    assert (rc, err) == (2, "")
    assert out.startswith("usage: tav") and "--version" in out
    for command in ("check", "mask", "bench"):
        assert f"\n    {command} " in out, command
    for args in (["--version"], ["--version", "mask"]):  # it wins over an incomplete command line
        with pytest.raises(SystemExit) as exit:
            cli.main(args)
        assert exit.value.code == 0
        assert capsys.readouterr() == (cli.version_text() + "\n", ""), args
    assert cli.version_text().splitlines()[0] == f"tav {tav.__version__}"
    try:
        installed = importlib.metadata.version("tav")
    except importlib.metadata.PackageNotFoundError:
        installed = tav.__version__
    assert tav.__version__ == installed


def test_options_may_follow_file_names(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    good, bad = str(CLI / "valid.txt"), str(CLI / "invalid_line3.txt")
    for args in (["check", bad, "-q", good], ["check", bad, good, "--quiet"], ["check", "-q", bad, "--", good]):
        assert run(args, capsys) == (1, "", ""), args
    # After --, "-q" is a file name (here a missing one).
    rc, out, err = run(["check", bad, "--", "-q"], capsys)
    assert (rc, out.count("\n"), err) == (2, 1, "tav: -q: No such file or directory\n")
    src, dst = tmp_path / "in", tmp_path / "out"
    src.write_bytes(b"Hello")
    assert run(["mask", str(src), str(dst), "--key", KEY], capsys) == (0, "", "")
    assert dst.read_bytes() == bytes.fromhex("7f9f4d5158")


def test_usage_errors_exit_2(capsys: pytest.CaptureFixture[str]) -> None:
    for args in (["mask"], ["check", "--bogus"], ["frobnicate"]):
        try:
            rc = cli.main(args)
        except SystemExit as e:  # argparse's own exit
            rc = int(e.code or 0)
        assert rc == 2, args
        assert "usage: tav" in capsys.readouterr().err


# --- bench runner and entry points ---------------------------------------------

def test_bench_runner_reports_a_missing_suite_and_goes_on(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, tmp_path: Path
) -> None:
    (tmp_path / "tav_fake_suite.py").write_text(
        "def main(argv=None):\n    print('fake suite ran with', list(argv))\n    return 0\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(bench_main, "SUITES", ("tav.bench.no_such_suite", "tav_fake_suite"))
    rc, out, _ = run(["bench", "--quick"], capsys)
    assert rc == 0
    assert "tav.bench.no_such_suite: not available" in out
    assert "fake suite ran with ['--quick']" in out


def test_bench_help_shows_every_suites_options_and_runs_nothing(capsys: pytest.CaptureFixture[str]) -> None:
    available = []
    for suite in bench_main.SUITES:
        try:
            importlib.import_module(suite)
        except ImportError:
            continue
        available.append(suite)
    assert "tav.bench.decode" in available  # it needs the native module or cffi, one of which is always here
    for args in (["bench", "--help"], ["bench", "--quick", "-h"]):
        rc, out, _ = run(args, capsys)
        assert rc == 0, args
        for suite in bench_main.SUITES:
            if suite in available:
                assert f"usage: python -m {suite} " in out, (args, suite)
            else:  # the cffi modules are not built here: said so, and the next suite's help follows
                assert f"== {suite}: not available (" in out, (args, suite)
        if available == list(bench_main.SUITES):
            assert "--corpus DIR" in out and "--plot FILE" in out and "--only" in out
            assert out.endswith("print one part only\n")  # the last suite's help, and no table after it


def test_python_dash_m_tav_runs_the_command(tmp_path: Path) -> None:
    bad = CLI / "invalid_line3.txt"
    r = subprocess.run([sys.executable, "-m", "tav", "check", str(bad)], capture_output=True, text=True, env=CHILD_ENV)
    assert (r.returncode, r.stdout) == (1, f"{bad}: invalid UTF-8 at byte 22 (line 3, column 7): invalid start byte\n")
    r = subprocess.run(
        [sys.executable, "-m", "tav", "mask", "--key", "37fa213d"],
        input=b"Hello", capture_output=True, env=CHILD_ENV,
    )
    assert (r.returncode, r.stdout) == (0, bytes.fromhex("7f9f4d5158"))  # RFC 6455 section 5.7
