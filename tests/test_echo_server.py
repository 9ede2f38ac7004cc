"""The example echo server against real WebSocket clients: the websockets library
and a raw socket client that frames and masks its input itself (plain Python XOR)."""
from __future__ import annotations

import asyncio
import base64
import contextlib
import importlib.util
import logging
import os
import random
import socket
import struct
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Coroutine, Iterator, Optional

import pytest
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosedError


EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
_spec = importlib.util.spec_from_file_location("echo_server", EXAMPLES / "echo_server.py")
assert _spec is not None and _spec.loader is not None
echo_server = importlib.util.module_from_spec(_spec)
sys.modules["echo_server"] = echo_server
_spec.loader.exec_module(echo_server)

TIMEOUT = 10.0  # seconds for any single socket operation or awaited step
MAX_MESSAGE = 2 * 2**20  # the test server's limit: 1 MiB messages pass
OP_CONT, OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA
SIZES = [0, 1, 125, 126, 65535, 65536, 2**20]


# --- the server under test, in its own thread and event loop --------------------------------


class LogCollector(logging.Handler):
    """Keeps the server's log records; records name the peer address first."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []
        self.changed = threading.Condition()

    def emit(self, record: logging.LogRecord) -> None:
        with self.changed:
            self.records.append(record)
            self.changed.notify_all()

    def lines_for(self, peer: tuple[str, int], wait: bool = False) -> list[str]:
        """Messages logged about `peer`; with `wait`, wait until there is one."""

        def found() -> list[str]:
            return [r.getMessage() for r in self.records if r.args and tuple(r.args)[0] == peer]

        with self.changed:
            if wait:
                self.changed.wait_for(found, TIMEOUT)
            return found()


class ServerThread:
    def __init__(self, limits: "echo_server.Limits") -> None:
        self.limits = limits
        self.loop = asyncio.new_event_loop()
        self.started = threading.Event()
        self.port = 0
        self.thread = threading.Thread(target=self._run, name="echo-server", daemon=True)

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(echo_server.start("127.0.0.1", 0, self.limits))
        self.port = server.sockets[0].getsockname()[1]
        self.started.set()
        self.loop.run_forever()
        server.close()
        tasks = asyncio.all_tasks(self.loop)
        for t in tasks:
            t.cancel()
        self.loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
        self.loop.close()

    def stop(self) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(TIMEOUT)


@pytest.fixture(scope="module")
def server_log() -> Iterator[LogCollector]:
    collector = LogCollector()
    logger = logging.getLogger("echo_server")
    logger.addHandler(collector)
    yield collector
    logger.removeHandler(collector)


def serve_in_thread(max_message: int, **limits: Any) -> Iterator[int]:
    server = ServerThread(echo_server.Limits(max_message=max_message, **limits))
    server.thread.start()
    assert server.started.wait(TIMEOUT)
    yield server.port
    server.stop()
    assert not server.thread.is_alive()


@pytest.fixture(scope="module")
def port(server_log: LogCollector) -> Iterator[int]:
    yield from serve_in_thread(MAX_MESSAGE)


@pytest.fixture(scope="module")
def default_limit_port() -> Iterator[int]:
    """A server with the command line's default message limit."""
    yield from serve_in_thread(echo_server.DEFAULT_MAX_MESSAGE)


def run(coro: Coroutine[Any, Any, Any], timeout: float = 30.0) -> Any:
    return asyncio.run(asyncio.wait_for(coro, timeout))


# --- payloads --------------------------------------------------------------------------------

# Code point ranges by UTF-8 length; the 3-byte range skips the surrogates.
_RANGES = {1: [(0x20, 0x7E)], 2: [(0x80, 0x7FF)], 3: [(0x800, 0xD7FF), (0xE000, 0xFFFF)], 4: [(0x10000, 0x10FFFF)]}


def random_text(rng: random.Random, size: int) -> str:
    """Random text of exactly `size` UTF-8 bytes, mixing characters of all four lengths."""
    chars, n = [], 0
    while n < size:
        width = rng.randint(1, min(4, size - n))
        lo, hi = rng.choice(_RANGES[width])
        chars.append(chr(rng.randint(lo, hi)))
        n += width
    return "".join(chars)


def xor(data: bytes, key: bytes) -> bytes:
    """RFC 6455 masking in plain Python, independent of tav."""
    n = len(data)
    stream = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(data, "little") ^ int.from_bytes(stream, "little")).to_bytes(n, "little")


# --- a raw client that builds its own frames -------------------------------------------------


def upgrade_request(**headers: Optional[str]) -> bytes:
    """A valid opening handshake; keyword arguments replace (or with None remove) headers."""
    fields: dict[str, Optional[str]] = {
        "Host": "127.0.0.1",
        "Upgrade": "websocket",
        "Connection": "Upgrade",
        "Sec-WebSocket-Key": base64.b64encode(os.urandom(16)).decode(),
        "Sec-WebSocket-Version": "13",
    }
    fields.update({k.replace("_", "-"): v for k, v in headers.items()})
    lines = ["GET /chat HTTP/1.1"] + [f"{k}: {v}" for k, v in fields.items() if v is not None]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def build_frame(
    key: Optional[bytes], opcode: int, payload: bytes = b"", *, fin: bool = True, rsv: int = 0, length: Optional[int] = None
) -> bytes:
    """One client frame, masked with `key` unless it is None; `length` overrides the declared length."""
    n = len(payload) if length is None else length
    head = bytes([(0x80 if fin else 0) | rsv << 4 | opcode])
    mbit = 0x80 if key is not None else 0
    if n < 126:
        head += bytes([mbit | n])
    elif n < 1 << 16:
        head += bytes([mbit | 126]) + struct.pack("!H", n)
    else:
        head += bytes([mbit | 127]) + struct.pack("!Q", n)
    return head + payload if key is None else head + key + xor(payload, key)


class RawClient:
    def __init__(self, port: int, seed: int = 0) -> None:
        self.rng = random.Random(seed)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # frames go out as written
        self.peer = self.sock.getsockname()  # how the server names this connection
        self.buffer = b""

    def __enter__(self) -> "RawClient":
        return self

    def __exit__(self, *exc: object) -> None:
        self.sock.close()

    def read(self, n: int) -> bytes:
        while len(self.buffer) < n:
            data = self.sock.recv(65536)
            assert data, f"connection closed with {len(self.buffer)} of {n} bytes read"
            self.buffer += data
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def read_head(self) -> bytes:
        while b"\r\n\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            assert data, f"connection closed inside the response head {self.buffer!r}"
            self.buffer += data
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        return head

    def read_to_eof(self) -> bytes:
        out = self.buffer
        while data := self.sock.recv(65536):
            out += data
        self.buffer = b""
        return out

    def handshake(self) -> "RawClient":
        self.sock.sendall(upgrade_request())
        assert self.read_head().startswith(b"HTTP/1.1 101 ")
        return self

    def frame(
        self,
        opcode: int,
        payload: bytes = b"",
        *,
        fin: bool = True,
        rsv: int = 0,
        masked: bool = True,
        length: Optional[int] = None,
        send: bool = True,
    ) -> bytes:
        """Build (and send) one client frame; `length` overrides the declared payload length."""
        data = build_frame(self.rng.randbytes(4) if masked else None, opcode, payload, fin=fin, rsv=rsv, length=length)
        if send:
            self.sock.sendall(data)
        return data

    def recv_frame(self) -> tuple[bool, int, bytes]:
        b0, b1 = self.read(2)
        assert not b1 & 0x80, "server frames must not be masked"
        assert not b0 & 0x70, "no extension was negotiated"
        n = b1 & 0x7F
        if n == 126:
            (n,) = struct.unpack("!H", self.read(2))
            assert n >= 126, "length not in its shortest form"
        elif n == 127:
            (n,) = struct.unpack("!Q", self.read(8))
            assert n >= 1 << 16, "length not in its shortest form"
        return bool(b0 & 0x80), b0 & 0x0F, self.read(n)

    def recv_message(self) -> tuple[int, bytes]:
        fin, opcode, payload = self.recv_frame()
        assert fin and opcode in (OP_TEXT, OP_BINARY), (fin, opcode)
        return opcode, payload

    def expect_close(self) -> bytes:
        """Read the server's close frame, then the end of the connection; the close payload."""
        fin, opcode, payload = self.recv_frame()
        assert (fin, opcode) == (True, OP_CLOSE), (fin, opcode, payload)
        assert self.read_to_eof() == b"", "data after the close frame"
        return payload

    def expect_close_code(self) -> int:
        payload = self.expect_close()
        assert len(payload) >= 2
        return int.from_bytes(payload[:2], "big")

    def expect_failure(self) -> tuple[int, str]:
        """Code and reason of the server's close frame."""
        payload = self.expect_close()
        return int.from_bytes(payload[:2], "big"), payload[2:].decode()


# --- the websockets library's client ---------------------------------------------------------


def uri(port: int) -> str:
    return f"ws://127.0.0.1:{port}/"


@pytest.mark.parametrize("kind", ["text", "binary"])
def test_echo_every_length_form(port: int, kind: str) -> None:
    rng = random.Random(1)
    messages = [random_text(rng, n) if kind == "text" else rng.randbytes(n) for n in SIZES]

    async def main() -> None:
        async with connect(uri(port), max_size=None, open_timeout=TIMEOUT, close_timeout=TIMEOUT) as ws:
            for m in messages:
                await ws.send(m)
                echoed = await asyncio.wait_for(ws.recv(), TIMEOUT)
                assert type(echoed) is type(m) and echoed == m
        assert ws.close_code == 1000

    run(main())


def _mixed_messages(rng: random.Random, count: int) -> list[str | bytes]:
    sizes = [rng.choice([0, 1, 125, 126, 127, 1000, 65535, 65536, 70000]) for _ in range(count)]
    return [random_text(rng, n) if rng.random() < 0.5 else rng.randbytes(n) for n in sizes]


def test_many_messages_pipelined_on_one_connection(port: int) -> None:
    messages = _mixed_messages(random.Random(2), 300)

    async def main() -> None:
        async with connect(uri(port), max_size=None, open_timeout=TIMEOUT, close_timeout=TIMEOUT) as ws:

            async def sender() -> None:
                for m in messages:
                    await ws.send(m)

            send_task = asyncio.create_task(sender())
            for m in messages:
                assert await asyncio.wait_for(ws.recv(), TIMEOUT) == m
            await send_task

    run(main())


def test_several_connections_at_once(port: int) -> None:
    rng = random.Random(3)
    per_client = [_mixed_messages(rng, 40) for _ in range(8)]

    async def client(messages: list[str | bytes]) -> int:
        async with connect(uri(port), max_size=None, open_timeout=TIMEOUT, close_timeout=TIMEOUT) as ws:
            for m in messages:
                await ws.send(m)
                assert await asyncio.wait_for(ws.recv(), TIMEOUT) == m
        return len(messages)

    async def main() -> None:
        assert await asyncio.gather(*(client(m) for m in per_client)) == [40] * 8

    run(main())


def test_client_fragments_ping_and_close_code(port: int) -> None:
    async def main() -> None:
        async with connect(uri(port), open_timeout=TIMEOUT, close_timeout=TIMEOUT) as ws:
            await ws.send(iter(["frag", "mented ", "tëxt €", "😀"]))
            assert await asyncio.wait_for(ws.recv(), TIMEOUT) == "fragmented tëxt €😀"
            await ws.send(iter([b"\x00\x01", b"", b"\xff" * 300]))
            assert await asyncio.wait_for(ws.recv(), TIMEOUT) == b"\x00\x01" + b"\xff" * 300
            pong = await ws.ping(b"are you there")
            await asyncio.wait_for(pong, TIMEOUT)
            await ws.close(4321, "done")
        assert ws.close_code == 4321  # the code the server sent back

    run(main())


def test_command_line_server_and_its_message_limit() -> None:
    proc = subprocess.Popen(
        [sys.executable, str(EXAMPLES / "echo_server.py"), "--host", "127.0.0.1", "--port", "0", "--max-message", "1000"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert proc.stdout is not None
        line = proc.stdout.readline()  # the server prints its address once it listens
        assert line.startswith("listening on ws://127.0.0.1:"), line + (proc.stderr.read() if proc.poll() is not None and proc.stderr else "")
        cli_port = int(line.rsplit(":", 1)[1].strip("/\n"))

        async def main() -> None:
            async with connect(uri(cli_port), open_timeout=TIMEOUT, close_timeout=TIMEOUT) as ws:
                await ws.send("x" * 1000)
                assert await asyncio.wait_for(ws.recv(), TIMEOUT) == "x" * 1000
                await ws.send(b"y" * 1001)
                with pytest.raises(ConnectionClosedError) as closed:
                    await asyncio.wait_for(ws.recv(), TIMEOUT)
            assert closed.value.rcvd is not None and closed.value.rcvd.code == 1009

        run(main())
    finally:
        proc.terminate()
        proc.communicate(timeout=TIMEOUT)


# --- fragmented text over a raw socket -------------------------------------------------------


def test_raw_echo_of_every_length_form(port: int) -> None:
    rng = random.Random(12)
    with RawClient(port, seed=12).handshake() as c:
        for n in SIZES:
            for opcode, payload in ((OP_BINARY, rng.randbytes(n)), (OP_TEXT, random_text(rng, n).encode())):
                c.frame(opcode, payload)
                assert c.recv_message() == (opcode, payload)


SAMPLE = "aé€😀z".encode()  # characters of 1, 2, 3, 4 and 1 bytes


def test_characters_split_anywhere_across_three_fragments(port: int) -> None:
    with RawClient(port, seed=4).handshake() as c:
        for i in range(len(SAMPLE) + 1):
            for j in range(i, len(SAMPLE) + 1):
                c.frame(OP_TEXT, SAMPLE[:i], fin=False)
                if (i + j) % 5 == 0:  # control frames may sit between fragments
                    c.frame(OP_PING, b"p%d" % i)
                    assert c.recv_frame() == (True, OP_PONG, b"p%d" % i)
                c.frame(OP_CONT, SAMPLE[i:j], fin=False)
                c.frame(OP_CONT, SAMPLE[j:])
                assert c.recv_message() == (OP_TEXT, SAMPLE)
        c.frame(OP_CLOSE, struct.pack("!H", 1000))
        assert c.expect_close() == struct.pack("!H", 1000)


def test_random_fragmentation_of_long_text(port: int) -> None:
    rng = random.Random(5)
    with RawClient(port, seed=5).handshake() as c:
        for _ in range(20):
            data = random_text(rng, rng.randint(1, 200_000)).encode()
            cuts = sorted(rng.sample(range(len(data) + 1), min(len(data) + 1, rng.randint(0, 12))))
            pieces = [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)])]
            for k, piece in enumerate(pieces):
                c.frame(OP_TEXT if k == 0 else OP_CONT, piece, fin=k == len(pieces) - 1)
            assert c.recv_message() == (OP_TEXT, data)


# First, second and third fragments; the second holds the first invalid byte.
INVALID_SECOND_FRAGMENT = {
    "byte ff": (b"abc", b"de\xfffg", b"hij"),
    "missing continuation": ("x€".encode()[:-1], b"A", b"bc"),
    "encoded surrogate split": (b"ab\xed", b"\xa0\x80", b"c"),
    "overlong split": (b"ab\xc0", b"\xaf", b"c"),
    "above U+10FFFF split": (b"\xf4", b"\x90\x80\x80", b"c"),
    "stray continuation": ("é".encode(), b"ok\x80", b"c"),
}


@pytest.mark.parametrize("fragments", INVALID_SECOND_FRAGMENT.values(), ids=INVALID_SECOND_FRAGMENT.keys())
def test_invalid_byte_in_second_fragment_fails_before_the_third(port: int, fragments: tuple[bytes, bytes, bytes]) -> None:
    first, second, third = fragments
    with RawClient(port, seed=6).handshake() as c:
        c.frame(OP_TEXT, "a first message ending in €".encode())  # offsets count from each message's start
        c.recv_message()
        c.frame(OP_TEXT, first, fin=False)
        c.frame(OP_CONT, second, fin=False)
        # The third fragment is never sent: the close must come without it.
        code, reason = c.expect_failure()
    with pytest.raises(UnicodeDecodeError) as cpython:
        (first + second + third).decode()
    # CPython's reason, and where the ill-formed sequence starts in the message.
    assert (code, reason) == (1007, f"{cpython.value.reason} at byte {cpython.value.start} of the message")


@pytest.mark.parametrize(
    "fragments", [["ok€".encode()[:-1]], [b"ab\xf0\x9f", b"\x98"], [b"x\xe2\x82", b""]], ids=["frame", "split", "empty last"]
)
def test_text_ending_inside_a_character_fails_with_cpythons_reason(port: int, fragments: list[bytes]) -> None:
    with RawClient(port, seed=6).handshake() as c:
        for i, fragment in enumerate(fragments):
            c.frame(OP_CONT if i else OP_TEXT, fragment, fin=i == len(fragments) - 1)
        got = c.expect_failure()
    with pytest.raises(UnicodeDecodeError) as cpython:
        b"".join(fragments).decode()
    assert got == (1007, f"unexpected end of data at byte {cpython.value.start} of the message")


def test_invalid_byte_fails_before_the_frame_is_complete(port: int) -> None:
    payload = bytearray(random_text(random.Random(7), 100_000).encode())
    payload[500] = 0xFF
    with RawClient(port, seed=7).handshake() as c:
        frame = c.frame(OP_TEXT, bytes(payload), send=False)
        c.sock.sendall(frame[:2000])  # header, key and the first bytes of the payload only
        assert c.expect_close_code() == 1007


# --- bad input over a raw socket -------------------------------------------------------------

Action = Callable[[RawClient], object]


def _close_with(code: int) -> Action:
    return lambda c: c.frame(OP_CLOSE, struct.pack("!H", code))


BAD_FRAMES: dict[str, tuple[Action, int]] = {
    "unmasked frame": (lambda c: c.frame(OP_TEXT, b"hi", masked=False), 1002),
    "RSV1 set": (lambda c: c.frame(OP_TEXT, b"hi", rsv=4), 1002),
    "RSV3 set": (lambda c: c.frame(OP_BINARY, b"hi", rsv=1), 1002),
    "opcode 0x3": (lambda c: c.frame(0x3, b"hi"), 1002),
    "opcode 0xB": (lambda c: c.frame(0xB, b""), 1002),
    "continuation without a message": (lambda c: c.frame(OP_CONT, b"x"), 1002),
    "text inside a fragmented message": (lambda c: (c.frame(OP_TEXT, b"a", fin=False), c.frame(OP_TEXT, b"b")), 1002),
    "binary inside fragmented text": (lambda c: (c.frame(OP_TEXT, b"a", fin=False), c.frame(OP_BINARY, b"b")), 1002),
    "fragmented ping": (lambda c: c.frame(OP_PING, b"p", fin=False), 1002),
    "ping of 126 bytes": (lambda c: c.frame(OP_PING, bytes(126)), 1002),
    "close of 126 bytes": (lambda c: c.frame(OP_CLOSE, struct.pack("!H", 1000) + bytes(124)), 1002),
    "close with a 1-byte payload": (lambda c: c.frame(OP_CLOSE, b"\x03"), 1002),
    **{f"close code {code}": (_close_with(code), 1002) for code in (0, 999, 1004, 1005, 1006, 1015, 2999, 5000, 65535)},
    "close reason not UTF-8": (lambda c: c.frame(OP_CLOSE, struct.pack("!H", 1000) + b"bye\xc3"), 1007),
    "64-bit length over the limit": (lambda c: c.frame(OP_BINARY, length=1 << 40), 1009),
    "64-bit length with the top bit": (lambda c: c.frame(OP_BINARY, length=1 << 63), 1002),
    "fragments adding up over the limit": (
        lambda c: (c.frame(OP_BINARY, bytes(MAX_MESSAGE - 10), fin=False), c.frame(OP_CONT, length=11)),
        1009,
    ),
    "text ending inside a character": (lambda c: c.frame(OP_TEXT, "ok€".encode()[:-1]), 1007),
    "fragmented text ending inside a character": (
        lambda c: (c.frame(OP_TEXT, b"\xf0\x9f", fin=False), c.frame(OP_CONT, b"\x98")),
        1007,
    ),
    "invalid text in one frame": (lambda c: c.frame(OP_TEXT, b"a\xc0\xafb"), 1007),
    "garbage after the handshake": (lambda c: c.sock.sendall(b"hello, garbage\r\n" * 4), 1002),
}


@pytest.mark.parametrize("action,code", BAD_FRAMES.values(), ids=BAD_FRAMES.keys())
def test_bad_frames_fail_the_connection(port: int, server_log: LogCollector, action: Action, code: int) -> None:
    with RawClient(port, seed=8).handshake() as c:
        c.frame(OP_BINARY, b"before")
        assert c.recv_message() == (OP_BINARY, b"before")
        action(c)
        assert c.expect_close_code() == code
        assert len(server_log.lines_for(c.peer)) == 1  # logged before the close frame went out


def test_close_frame_survives_unread_input(port: int) -> None:
    # The client is still sending when the server fails the connection: input
    # the server never read must not turn its close frame into a lost reset.
    with RawClient(port, seed=13).handshake() as c:
        flood = c.frame(OP_TEXT, b"\xff", send=False) + c.frame(OP_BINARY, bytes(8 * 2**20), send=False)

        def send_flood() -> None:
            try:
                c.sock.sendall(flood)
            except OSError:
                pass

        sender = threading.Thread(target=send_flood)
        sender.start()
        assert c.expect_close_code() == 1007
        c.sock.shutdown(socket.SHUT_WR)
        sender.join(TIMEOUT)


@pytest.mark.parametrize(
    "payload,reply",
    [
        (b"", b""),
        (struct.pack("!H", 1000), struct.pack("!H", 1000)),
        (struct.pack("!H", 1001) + "bye €".encode(), struct.pack("!H", 1001)),
        (struct.pack("!H", 3000), struct.pack("!H", 3000)),
        (struct.pack("!H", 4999) + b"x" * 123, struct.pack("!H", 4999)),
    ],
)
def test_closing_handshake_echoes_the_code(port: int, payload: bytes, reply: bytes) -> None:
    with RawClient(port, seed=9).handshake() as c:
        c.frame(OP_CLOSE, payload)
        assert c.expect_close() == reply


class RecordingWriter:
    """Stands in for the StreamWriter: keeps every chunk handed to the transport."""

    def __init__(self) -> None:
        self.chunks: list[bytes] = []
        self.eof = False

    def write(self, data: bytes) -> None:
        self.chunks.append(bytes(data))

    def writelines(self, data: list[bytes]) -> None:
        self.chunks.extend(map(bytes, data))

    async def drain(self) -> None:
        pass

    def write_eof(self) -> None:
        self.eof = True


def test_no_empty_chunk_reaches_the_transport() -> None:
    # From Python 3.12 an empty chunk never leaves the transport's buffer, so the
    # end of output after it never comes: empty payloads must not be written.
    rng = random.Random(16)
    frames = [(OP_TEXT, True), (OP_BINARY, True), (OP_PING, True), (OP_TEXT, False), (OP_CONT, True), (OP_CLOSE, True)]
    writer = RecordingWriter()

    async def main() -> None:
        reader = asyncio.StreamReader()
        reader.feed_data(b"".join(build_frame(rng.randbytes(4), opcode, fin=fin) for opcode, fin in frames))
        reader.feed_eof()
        conn = echo_server.Connection(reader, writer, echo_server.Limits(max_message=MAX_MESSAGE))  # type: ignore[arg-type]
        try:
            await conn.run()
        finally:
            conn.masker.close()

    run(main())
    assert b"".join(writer.chunks) == bytes([0x81, 0, 0x82, 0, 0x8A, 0, 0x81, 0, 0x88, 0]) and writer.eof
    assert all(writer.chunks), writer.chunks


# --- memory grows with the bytes received, not with the lengths declared ---------------------


# Allowance for asyncio's own input buffering: each receive allocates 256 KiB
# before it is cut to size, and a stream reader holds up to twice its 64 KiB limit
# before it stops reading.
BUFFERING = 2 * 2**20


@contextlib.contextmanager
def traced_peak() -> Iterator[Callable[[], int]]:
    """Traces the allocations of the whole process, the server's thread too; yields a
    function that returns the peak of what is allocated since entry and not yet freed."""
    if sys.implementation.name != "cpython":
        pytest.skip("tracemalloc is CPython's; the server's code path is the same on PyPy")
    import tracemalloc

    tracemalloc.start()
    try:
        yield lambda: tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_stalled_frame_headers_allocate_nothing_of_their_declared_length(default_limit_port: int) -> None:
    declared = 8 * 2**20
    payload = random.Random(17).randbytes(declared)
    first = build_frame(b"\x01\x02\x03\x04", OP_BINARY, payload)
    clients = [RawClient(default_limit_port, seed=i).handshake() for i in range(8)]
    try:
        with traced_peak() as peak:
            clients[0].sock.sendall(first[:14])  # header and key only: 14 bytes that promise 8 MiB
            for i, c in enumerate(clients[1:]):
                c.frame(OP_TEXT if i % 2 else OP_BINARY, length=declared)
            # The server answers a later connection only after it has read the headers.
            with RawClient(default_limit_port, seed=8).handshake() as probe:
                probe.frame(OP_BINARY, b"probe")
                assert probe.recv_message() == (OP_BINARY, b"probe")
            growth = peak()
        assert growth < BUFFERING, f"{growth} bytes allocated for 8 stalled headers declaring {declared} bytes each"
        for c in clients:  # each is still inside its frame: no close frame, no end of input
            c.sock.settimeout(0)
            with pytest.raises(BlockingIOError):
                c.sock.recv(1)
            c.sock.settimeout(TIMEOUT)
        clients[0].sock.sendall(first[14:])
        assert clients[0].recv_message() == (OP_BINARY, payload)
    finally:
        for c in clients:
            c.sock.close()


def test_empty_continuation_frames_add_nothing(port: int) -> None:
    count = 100_000
    with RawClient(port, seed=18).handshake() as c:
        c.sock.settimeout(6 * TIMEOUT)  # traced, the server takes seconds over them on a busy machine
        empty = c.frame(OP_CONT, fin=False, send=False)
        stream = c.frame(OP_TEXT, b"first, ", fin=False, send=False) + empty * count + c.frame(OP_CONT, b"last", send=False)
        with traced_peak() as peak:
            c.sock.sendall(stream)
            assert c.recv_message() == (OP_TEXT, b"first, last")
            growth = peak()
    assert growth < BUFFERING, f"{growth} bytes allocated for a message of {count} empty fragments ({len(stream)} bytes sent)"


BAD_REQUESTS: dict[str, tuple[bytes, bytes]] = {
    "garbage head": (b"\x00\x01garbage\xfe\r\n\r\n", b"HTTP/1.1 400 "),
    "plain text line": (b"hello\r\n\r\n", b"HTTP/1.1 400 "),
    "empty head": (b"\r\n\r\n", b"HTTP/1.1 400 "),
    "head over the reader's limit": (b"GET / HTTP/1.1\r\nX: " + b"a" * 70000, b"HTTP/1.1 400 "),
    "POST": (upgrade_request().replace(b"GET", b"POST", 1), b"HTTP/1.1 400 "),
    "HTTP/1.0": (upgrade_request().replace(b"HTTP/1.1", b"HTTP/1.0", 1), b"HTTP/1.1 400 "),
    "no Host": (upgrade_request(Host=None), b"HTTP/1.1 400 "),
    "no Upgrade": (upgrade_request(Upgrade=None), b"HTTP/1.1 400 "),
    "Connection: keep-alive": (upgrade_request(Connection="keep-alive"), b"HTTP/1.1 400 "),
    "no key": (upgrade_request(Sec_WebSocket_Key=None), b"HTTP/1.1 400 "),
    "15-byte key": (upgrade_request(Sec_WebSocket_Key=base64.b64encode(bytes(15)).decode()), b"HTTP/1.1 400 "),
    "key not base64": (upgrade_request(Sec_WebSocket_Key="not base64 at all!!!!!!!"), b"HTTP/1.1 400 "),
    "version 8": (upgrade_request(Sec_WebSocket_Version="8"), b"HTTP/1.1 426 "),
}


@pytest.mark.parametrize("request_bytes,status", BAD_REQUESTS.values(), ids=BAD_REQUESTS.keys())
def test_bad_handshakes_get_an_http_error(port: int, server_log: LogCollector, request_bytes: bytes, status: bytes) -> None:
    with RawClient(port) as c:
        c.sock.sendall(request_bytes)
        head = c.read_head()
        assert head.startswith(status), head
        if status.startswith(b"HTTP/1.1 426"):
            assert b"\r\nSec-WebSocket-Version: 13" in head
        c.read_to_eof()  # the server closes the connection after its answer
        # One line for the refusal. The client's port may have served an earlier
        # test's connection, whose own line can arrive late: only this
        # connection's lines count.
        assert [line for line in server_log.lines_for(c.peer) if "connection lost" not in line] == [
            line for line in server_log.lines_for(c.peer) if "handshake refused" in line
        ]
        assert len([line for line in server_log.lines_for(c.peer) if "handshake refused" in line]) == 1


@pytest.mark.parametrize(
    "sent",
    [
        b"\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03",  # a TLS hello, no request head at all
        upgrade_request()[:-3],  # the head cut short
    ],
    ids=["TLS hello", "cut request head"],
)
def test_disconnect_during_handshake(port: int, server_log: LogCollector, sent: bytes) -> None:
    with RawClient(port) as c:
        c.sock.sendall(sent)
        c.sock.shutdown(socket.SHUT_WR)
        assert c.read_to_eof() == b""
        assert server_log.lines_for(c.peer, wait=True)


@pytest.mark.parametrize("cut", [1, 2, 5, 9, 20], ids=lambda n: f"{n} bytes sent")
def test_truncated_frame_then_disconnect(port: int, server_log: LogCollector, cut: int) -> None:
    with RawClient(port, seed=10).handshake() as c:
        frame = c.frame(OP_TEXT, b"x" * 1000, send=False)  # 16-bit length: header 4 + key 4
        c.sock.sendall(frame[:cut])
        peer = c.peer
    assert len(server_log.lines_for(peer, wait=True)) == 1
    with RawClient(port, seed=11).handshake() as c:  # the server goes on serving
        c.frame(OP_TEXT, "still here €".encode())
        assert c.recv_message() == (OP_TEXT, "still here €".encode())


def _frames_stream(c: RawClient, rng: random.Random) -> bytes:
    """A few valid client frames: messages (some fragmented), pings, sometimes a close."""
    out = b""
    for _ in range(rng.randint(1, 5)):
        pick = rng.random()
        if pick < 0.15:
            out += c.frame(OP_PING, rng.randbytes(rng.randint(0, 125)), send=False)
        elif pick < 0.2:
            out += c.frame(OP_CLOSE, struct.pack("!H", 1000) + b"bye", send=False)
        else:
            opcode = rng.choice([OP_TEXT, OP_BINARY])
            data = random_text(rng, rng.randint(0, 300)).encode() if opcode == OP_TEXT else rng.randbytes(rng.randint(0, 300))
            cut = rng.randint(0, len(data))
            out += c.frame(opcode, data[:cut], fin=False, send=False) + c.frame(OP_CONT, data[cut:], send=False)
    return out


def _check_server_frames(data: bytes) -> None:
    """`data` is a sequence of whole, unmasked server frames, a close frame only at the end."""
    pos = 0
    while pos < len(data):
        assert len(data) - pos >= 2
        b0, b1 = data[pos], data[pos + 1]
        assert b0 & 0xF0 == 0x80 and b0 & 0x0F in (OP_TEXT, OP_BINARY, OP_CLOSE, OP_PONG) and not b1 & 0x80
        n, pos = b1, pos + 2
        if n == 126:
            (n,), pos = struct.unpack_from("!H", data, pos), pos + 2
        elif n == 127:
            (n,), pos = struct.unpack_from("!Q", data, pos), pos + 8
        pos += n
        assert pos <= len(data), "frame cut short"
        if b0 & 0x0F == OP_CLOSE:
            assert pos == len(data), "data after the close frame"


def test_random_corruption_never_breaks_the_server(port: int, server_log: LogCollector) -> None:
    rng = random.Random(14)
    for i in range(80):
        with RawClient(port, seed=i) as c:
            upgraded = i % 4 != 0
            if upgraded:
                c.handshake()
            data = bytearray(_frames_stream(c, rng) if upgraded else upgrade_request())
            for _ in range(rng.randint(1, 3)):  # flip bits, drop or cut
                k = rng.randrange(len(data))
                if rng.random() < 0.7:
                    data[k] ^= 1 << rng.randrange(8)
                elif rng.random() < 0.5:
                    del data[k]
                else:
                    del data[k:]
                    break
            c.sock.sendall(data)
            c.sock.shutdown(socket.SHUT_WR)
            reply = c.read_to_eof()
            if upgraded:
                _check_server_frames(reply)
            else:
                assert reply == b"" or reply.startswith((b"HTTP/1.1 101 ", b"HTTP/1.1 400 ", b"HTTP/1.1 426 ")), reply
    assert not [r.getMessage() for r in server_log.records if r.levelno >= logging.ERROR]
    with RawClient(port, seed=15).handshake() as c:
        c.frame(OP_BINARY, b"alive")
        assert c.recv_message() == (OP_BINARY, b"alive")


def test_accept_key_of_the_rfc_example() -> None:
    request = upgrade_request(Sec_WebSocket_Key="dGhlIHNhbXBsZSBub25jZQ==")
    assert echo_server.accept_key(request) == "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


# --- hostile clients: idling, too many connections, never reading ----------------------------


@contextlib.contextmanager
def limited_server(**limits: Any) -> Iterator[tuple[int, "echo_server.Limits"]]:
    """A server with the given limits, in its own thread; (port, its Limits) to watch what it holds."""
    server = ServerThread(echo_server.Limits(**limits))
    server.thread.start()
    assert server.started.wait(TIMEOUT)
    try:
        yield server.port, server.limits
    finally:
        server.stop()
    assert not server.thread.is_alive()


def wait_until(condition: Callable[[], bool], what: str) -> None:
    """Poll `condition` for at most TIMEOUT seconds."""
    for _ in range(int(TIMEOUT / 0.01)):
        if condition():
            return
        threading.Event().wait(0.01)
    raise AssertionError(f"not within {TIMEOUT} s: {what}")


async def served_meanwhile(port: int, rounds: int, pause: float) -> None:
    """A well-behaved client (it answers pings) that echoes a message every `pause` seconds."""
    async with connect(uri(port), open_timeout=TIMEOUT, close_timeout=TIMEOUT) as ws:
        for i in range(rounds):
            await asyncio.sleep(pause)
            await ws.send(f"message {i}")
            assert await asyncio.wait_for(ws.recv(), 3 * TIMEOUT) == f"message {i}"
    assert ws.close_code == 1000


def test_idle_connections_get_a_ping_then_1001_while_an_answering_one_is_served(server_log: LogCollector) -> None:
    idle = 0.3
    with limited_server(idle_timeout=idle) as (port, limits):
        silent = RawClient(port, seed=1).handshake()
        stalled = RawClient(port, seed=2).handshake()
        stalled.sock.sendall(stalled.frame(OP_BINARY, b"x" * 100, send=False)[:20])  # inside the payload
        # Never reads: its echo of 8 MiB cannot all go into the socket buffers, so nothing moves.
        deaf = RawClient(port, seed=3)
        deaf.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        deaf.handshake()
        deaf.frame(OP_BINARY, bytes(8 * 2**20))

        def expect_ping_then_1001(c: RawClient) -> None:
            assert c.recv_frame() == (True, OP_PING, b"")
            assert c.expect_failure() == (1001, "idle: no answer to a ping")

        async def main() -> None:
            await asyncio.gather(
                served_meanwhile(port, rounds=4, pause=2 * idle),  # idle longer than the timeout, each time
                asyncio.to_thread(expect_ping_then_1001, silent),
                asyncio.to_thread(expect_ping_then_1001, stalled),
            )

        run(main())
        want = f"{deaf.peer}: failing the connection: 1001 idle: no answer to a ping"
        assert server_log.lines_for(deaf.peer, wait=True) == [want]
        for c in (silent, stalled, deaf):
            c.sock.close()
        wait_until(lambda: limits.connections == 0 and limits.budget.held == 0, "every connection gone, nothing held")


def handshake_status(port: int) -> bytes:
    """The status line a new connection's opening handshake gets."""
    with RawClient(port) as c:
        c.sock.sendall(upgrade_request())
        return c.read_head().split(b"\r\n")[0]


def test_handshakes_beyond_max_connections_get_503_until_one_closes() -> None:
    with limited_server(max_connections=3) as (port, limits):
        silent = RawClient(port, seed=1).handshake()
        mute = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)  # never even sends its request
        with RawClient(port, seed=2).handshake() as good:
            wait_until(lambda: limits.connections == 3, "three connections counted")
            for _ in range(20):  # a flood of further handshakes
                assert handshake_status(port) == b"HTTP/1.1 503 Service Unavailable"
            good.frame(OP_TEXT, b"still served")
            assert good.recv_message() == (OP_TEXT, b"still served")
            silent.sock.close()
            # Accepted again once the server has seen it go (bounded: wait_until's limit).
            wait_until(lambda: limits.connections < 3, "the closed connection uncounted")
            assert handshake_status(port) == b"HTTP/1.1 101 Switching Protocols"
        mute.close()
        wait_until(lambda: limits.connections == 0, "every connection gone")


def test_max_buffered_holds_back_readers_that_never_read_and_serves_the_others(server_log: LogCollector) -> None:
    limit, piece = 128 * 1024, 64 * 1024
    with limited_server(max_buffered=limit, idle_timeout=0.5) as (port, limits):
        frame = build_frame(b"\x01\x02\x03\x04", OP_BINARY, bytes(piece))
        hostile = []
        for i in range(4):
            c = RawClient(port, seed=i)
            c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            hostile.append(c.handshake())

        def push(c: RawClient) -> None:
            """Send echo-worthy messages and never read, until the server stops reading too (bounded)."""
            c.sock.settimeout(1.0)
            try:
                for _ in range(256):  # 16 MiB: more than the socket buffers on both sides take
                    c.sock.sendall(frame)
            except (socket.timeout, OSError):
                pass

        async def good() -> None:
            await asyncio.to_thread(wait_until, lambda: limits.budget.waits > 0, "the bound reached")
            await served_meanwhile(port, 3, 0.1)

        async def main() -> None:
            await asyncio.gather(*(asyncio.to_thread(push, c) for c in hostile), good())

        run(main(), timeout=120)
        assert limits.budget.peak <= limit
        for c in hostile:
            c.sock.close()
        wait_until(lambda: limits.connections == 0 and limits.budget.held == 0, "every connection gone, nothing held")


def test_reads_waiting_for_bytes_never_hold_the_whole_budget() -> None:
    # Each stalled frame header makes the server wait in a read, holding room for the piece it
    # asked for; with room for every connection's piece, the last connection is served at once.
    piece = 64 * 1024
    with limited_server(max_buffered=4 * piece, max_connections=5, idle_timeout=60) as (port, limits):
        stalled = [RawClient(port, seed=i).handshake() for i in range(4)]
        for c in stalled:
            c.frame(OP_BINARY, length=piece)  # the header and key only: the payload never comes
        wait_until(lambda: limits.budget.held > 3 * limits.piece, "every stalled read holding its room")

        async def served_at_once() -> None:
            async with connect(uri(port), open_timeout=TIMEOUT, close_timeout=TIMEOUT) as ws:
                await ws.send(b"x" * 1000)
                assert await asyncio.wait_for(ws.recv(), 5) == b"x" * 1000  # far below the idle timeout

        run(served_at_once())
        for c in stalled:
            c.sock.close()
        wait_until(lambda: limits.connections == 0 and limits.budget.held == 0, "every connection gone, nothing held")
