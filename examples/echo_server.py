# SPDX-License-Identifier: MIT
"""A small WebSocket (RFC 6455) echo server on asyncio, built on tav.

Every text or binary message a client sends comes back as one unmasked frame.
The server shows where the two tav modules sit in a WebSocket stack:

* each frame's payload is read as it arrives, piece by piece, onto the end of
  the message's bytearray and unmasked there in place by the connection's one
  `tav.XorMasker`, given each frame's key by reset(key) and keeping its
  position in the key from one piece to the next; memory grows
  with the bytes received, never with the length a header declares, and an
  empty fragment costs nothing;
* a text message becomes a str as its pieces arrive: one `tav.Utf8Decoder` per
  connection decodes each piece of each fragment in turn, so a character may
  be split anywhere, and the first byte that cannot continue well-formed UTF-8
  fails the connection with 1007 as soon as it has arrived, without waiting
  for the rest of the frame or the final fragment. The close reason is
  CPython's (`invalid start byte`, `invalid continuation byte`, `unexpected
  end of data`) with the offset of the ill-formed sequence in the message.
  The str is what the application gets (Connection.reply); an answer that is
  the very str received goes out as the bytes it came in as, any other is
  encoded.

Protocol errors fail the connection with 1002, oversized messages with 1009;
a bad opening handshake gets an HTTP error. Each such connection is logged in
one line and closed; the server keeps serving the others. No extensions and no
subprotocols are negotiated.

Hostile clients meet three limits, each an option:

* --idle-timeout: a connection that has sent nothing, or taken none of its
  echoes, for that long gets a ping; if nothing moves for as long again, it is
  closed with 1001 (or torn down, if it does not even take the close frame);
* --max-connections: beyond it, an opening handshake gets HTTP 503, until
  connections have gone below it again;
* --max-buffered: the payload bytes the server holds for all its connections
  together, from the moment they are read until their echo has left for the
  network. At the bound, no connection reads more until bytes are released;
  a connection that waits there with part of a message for two idle timeouts
  is closed with 1013 (try again later), so that connections that each hold
  part of a message cannot wait for each other for ever. A message is at most
  the smaller of --max-message and --max-buffered.

    python examples/echo_server.py --host 127.0.0.1 --port 8765
"""
from __future__ import annotations

import argparse
import asyncio
import base64
import binascii
import functools
import hashlib
import logging
import struct
from typing import Callable, Optional, Sequence

import tav

log = logging.getLogger("echo_server")

WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
OP_CONT, OP_TEXT, OP_BINARY = 0x0, 0x1, 0x2
OP_CLOSE, OP_PING, OP_PONG = 0x8, 0x9, 0xA
DATA_OPCODES = (OP_CONT, OP_TEXT, OP_BINARY)
CONTROL_OPCODES = (OP_CLOSE, OP_PING, OP_PONG)
# Close codes a peer may send (RFC 6455 7.4 and the IANA registry), besides 3000-4999.
PEER_CLOSE_CODES = frozenset({1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014})

DEFAULT_MAX_MESSAGE = 16 * 2**20
PIECE = 64 * 1024  # at most this much payload is read, unmasked and checked in one step
DEFAULT_IDLE_TIMEOUT = 60.0
DEFAULT_MAX_CONNECTIONS = 1000
DEFAULT_MAX_BUFFERED = 64 * 2**20
HANDSHAKE_TIMEOUT = 10.0
CLOSE_TIMEOUT = 5.0  # how long a failed connection may take to close its side (at most the idle timeout)


class Budget:
    """Payload bytes held by all connections together, at most `limit`."""

    def __init__(self, limit: int) -> None:
        self.limit, self.held = limit, 0
        self.peak = 0  # the most ever held
        self.waits = 0  # how often a reader had to wait for room
        self.waiters: list[asyncio.Future[None]] = []

    def grant(self, n: int) -> bool:
        """Hold `n` more bytes if they fit under the limit; whether they did."""
        if self.held + n > self.limit:
            return False
        self.held += n
        if self.held > self.peak:
            self.peak = self.held
        return True

    async def take(self, n: int) -> None:
        """Hold `n` more bytes, once they fit under the limit."""
        self.waits += 1
        while not self.grant(n):
            waiter = asyncio.get_running_loop().create_future()
            self.waiters.append(waiter)
            try:
                await waiter
            finally:
                if waiter in self.waiters:
                    self.waiters.remove(waiter)

    def give(self, n: int) -> None:
        """Release `n` held bytes; every waiter tries again."""
        self.held -= n
        if self.waiters:
            waiters, self.waiters = self.waiters, []
            for waiter in waiters:
                if not waiter.done():
                    waiter.set_result(None)


class Limits:
    """What one server allows its connections, and what they use of it now."""

    def __init__(
        self,
        *,
        max_message: int = DEFAULT_MAX_MESSAGE,
        idle_timeout: float = DEFAULT_IDLE_TIMEOUT,
        max_connections: int = DEFAULT_MAX_CONNECTIONS,
        max_buffered: int = DEFAULT_MAX_BUFFERED,
    ) -> None:
        if idle_timeout <= 0 or max_connections < 1 or max_buffered < 1 or max_message < 0:
            raise ValueError("the idle timeout, connection and buffer limits must be positive")
        # A message larger than the budget could never be held whole.
        self.max_message = min(max_message, max_buffered)
        self.idle_timeout = idle_timeout
        self.close_timeout = min(CLOSE_TIMEOUT, idle_timeout)
        self.max_connections = max_connections
        self.connections = 0  # open now, the handshake included
        self.budget = Budget(max_buffered)


class HandshakeError(Exception):
    """A request that cannot be upgraded: answered with `status` and closed."""

    def __init__(self, status: str, reason: str, extra: str = "") -> None:
        super().__init__(f"{status}: {reason}")
        self.status, self.reason, self.extra = status, reason, extra


class ProtocolFailure(Exception):
    """Fails the WebSocket connection with close `code`."""

    def __init__(self, code: int, reason: str) -> None:
        super().__init__(f"{code} {reason}")
        self.code, self.reason = code, reason


def accept_key(request: bytes) -> str:
    """The Sec-WebSocket-Accept value for an upgrade request; HandshakeError if it is not one."""
    try:
        lines = request.decode("ascii").split("\r\n")[:-2]  # the request ends with an empty line
    except UnicodeDecodeError:
        raise HandshakeError("400 Bad Request", "request head is not ASCII") from None
    parts = lines[0].split(" ")
    if len(parts) != 3 or parts[0] != "GET" or parts[2] != "HTTP/1.1":
        raise HandshakeError("400 Bad Request", "expected a GET request over HTTP/1.1")
    headers: dict[str, list[str]] = {}
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if not colon or not name or name != name.strip():
            raise HandshakeError("400 Bad Request", "malformed header line")
        headers.setdefault(name.lower(), []).append(value.strip())

    def tokens(name: str) -> set[str]:
        return {t.strip().lower() for v in headers.get(name, []) for t in v.split(",")}

    if "host" not in headers:
        raise HandshakeError("400 Bad Request", "no Host header")
    if "websocket" not in tokens("upgrade") or "upgrade" not in tokens("connection"):
        raise HandshakeError("400 Bad Request", "not a WebSocket upgrade")
    if headers.get("sec-websocket-version") != ["13"]:
        raise HandshakeError("426 Upgrade Required", "unsupported WebSocket version", "Sec-WebSocket-Version: 13\r\n")
    keys = headers.get("sec-websocket-key", [])
    try:
        if len(keys) != 1 or len(base64.b64decode(keys[0], validate=True)) != 16:
            raise ValueError
    except (ValueError, binascii.Error):
        raise HandshakeError("400 Bad Request", "Sec-WebSocket-Key is not 16 bytes in base64") from None
    return base64.b64encode(hashlib.sha1(keys[0].encode() + WS_GUID).digest()).decode()


def frame_header(opcode: int, length: int) -> bytes:
    """Header of a final, unmasked server frame carrying `length` payload bytes."""
    if length < 126:
        return struct.pack("!BB", 0x80 | opcode, length)
    if length < 1 << 16:
        return struct.pack("!BBH", 0x80 | opcode, 126, length)
    return struct.pack("!BBQ", 0x80 | opcode, 127, length)


class Connection:
    """One upgraded connection: reads frames, echoes messages, answers pings and close.

    A timer looks every idle timeout at what has moved since it last looked:
    bytes received, or the echoes waiting to be sent getting fewer."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, limits: Limits) -> None:
        self.reader, self.writer, self.limits = reader, writer, limits
        self.max_message = limits.max_message
        self.decoder = tav.Utf8Decoder()
        self.text: list[str] = []  # the text message so far
        self.text_fed = 0  # its bytes given to the decoder
        # One masker serves every frame: reset() gives it each frame's key.
        self.masker = tav.XorMasker(bytes(4))
        self.held = 0  # payload bytes this connection holds of the budget
        self.received = 0  # bytes read, for the idle timer
        self.waiting_for_budget = False
        self.expired: Optional[ProtocolFailure] = None  # why the idle timer ended the connection
        self.seen = (-1, 0)  # (received, bytes waiting to be sent) when the timer last looked
        self.pinged = False
        self.timer: Optional[asyncio.TimerHandle] = None
        self.unsent = 0  # of those held, bytes of echoes not yet known to have left the transport
        self.transport: Optional[asyncio.WriteTransport] = getattr(writer, "transport", None)

    def settle(self) -> int:
        """Give back the bytes of echoes that have left the transport; the bytes still waiting there.

        The transport's count includes frame headers, so a little more than
        the payload may stay held until the next look."""
        waiting = self.transport.get_write_buffer_size() if self.transport is not None else 0
        left = self.unsent - min(self.unsent, waiting)
        if left:
            self.unsent -= left
            self.give(left)
        return waiting

    def _tick(self, task: "asyncio.Task[None]") -> None:
        waiting = self.settle()
        moved = self.received != self.seen[0] or waiting < self.seen[1]
        self.seen = (self.received, waiting)
        if moved or (self.waiting_for_budget and not self.held):  # waiting for others is not idling
            self.pinged = False
        elif not self.pinged:
            self.send(OP_PING, b"")
            self.pinged = True
        else:
            self.timer = None
            if self.waiting_for_budget:
                self.expired = ProtocolFailure(1013, "server busy: no room for the rest of the message")
            else:
                self.expired = ProtocolFailure(1001, "idle: no answer to a ping")
            task.cancel()
            return
        self.timer = asyncio.get_running_loop().call_later(self.limits.idle_timeout, self._tick, task)

    async def wait_for_budget(self, n: int) -> None:
        """Hold `n` bytes of the server's budget once there is room."""
        self.waiting_for_budget = True
        try:
            await self.limits.budget.take(n)
        finally:
            self.waiting_for_budget = False

    def give(self, n: int) -> None:
        self.held -= n
        self.limits.budget.give(n)

    def send(self, opcode: int, payload: bytes | bytearray) -> None:
        """Queue one frame. The transport may keep `payload` until it is sent: never change it after."""
        header = frame_header(opcode, len(payload))
        if payload:
            self.writer.writelines([header, payload])
        else:
            # From Python 3.12 an empty chunk stays in the transport's buffer until
            # more data follows, and write_eof() waits for that buffer to empty.
            self.writer.write(header)

    async def read_header(self) -> tuple[bool, int, int]:
        """(fin, opcode, payload length) of the next frame, checked before its payload is read."""
        b0, b1 = await self.reader.readexactly(2)
        self.received += 2
        fin, opcode, length = bool(b0 & 0x80), b0 & 0x0F, b1 & 0x7F
        if b0 & 0x70:
            raise ProtocolFailure(1002, "reserved bits set")
        if opcode in CONTROL_OPCODES:
            if not fin:
                raise ProtocolFailure(1002, "fragmented control frame")
            if length > 125:
                raise ProtocolFailure(1002, "control frame over 125 bytes")
        elif opcode not in DATA_OPCODES:
            raise ProtocolFailure(1002, f"unknown opcode {opcode:#x}")
        if not b1 & 0x80:
            raise ProtocolFailure(1002, "client frame is not masked")
        if length == 126:
            (length,) = struct.unpack("!H", await self.reader.readexactly(2))
        elif length == 127:
            (length,) = struct.unpack("!Q", await self.reader.readexactly(8))
            if length >> 63:
                raise ProtocolFailure(1002, "64-bit length has its top bit set")
        return fin, opcode, length

    async def read_payload(self, length: int, into: bytearray, text: bool, budgeted: bool = True) -> None:
        """Read the masking key and `length` payload bytes, unmasked onto the end of `into`, with
        `text` also decoded onto self.text. The bytes read are held from the budget unless not
        `budgeted`.

        `into` grows by what has arrived, piece by piece, never by what a header promises."""
        key = await self.reader.readexactly(4)
        if not length:
            return
        remaining = length
        masker, budget = self.masker, self.limits.budget
        masker.reset(key)  # the frame's key, from its first byte
        while remaining:
            want = min(PIECE, remaining, budget.limit)
            if budgeted:
                if not budget.grant(want):  # no coroutine where there is room
                    await self.wait_for_budget(want)
                self.held += want
            data = await self.reader.read(want)
            if budgeted and len(data) < want:
                self.give(want - len(data))
            if not data:
                raise asyncio.IncompleteReadError(b"", remaining)
            self.received += len(data)
            remaining -= len(data)
            start = len(into)
            into += data
            # The view must go before `into` can change again.
            with memoryview(into)[start:] as piece:
                masker.mask(piece)  # unmasked in place, continuing in the key where the last piece ended
                if text:
                    self.decode(piece)

    def reply(self, message: str | bytearray) -> str | bytearray:
        """The application's answer to a text (str) or binary message: here, the message itself."""
        return message

    def decode(self, piece: memoryview | bytes, final: bool = False) -> None:
        """Decode the next piece of the text message; ProtocolFailure 1007 at the first ill-formed sequence."""
        try:
            self.text.append(self.decoder.decode(piece, final))
        except UnicodeDecodeError as e:
            # The error counts from the bytes the decoder still held; a call that raises keeps them.
            at = self.text_fed - len(self.decoder.getstate()[0]) + e.start
            raise ProtocolFailure(1007, f"{e.reason} at byte {at} of the message") from None
        self.text_fed += len(piece)

    async def run(self) -> None:
        """Serve frames until the closing handshake; ProtocolFailure on any violation, or on idling
        (see Limits)."""
        task = asyncio.current_task()
        assert task is not None
        self.timer = asyncio.get_running_loop().call_later(self.limits.idle_timeout, self._tick, task)
        try:
            await self._serve()
        except asyncio.CancelledError:
            if self.expired is None:
                raise
            if hasattr(task, "uncancel"):  # Python 3.11+: the cancel was ours, and is handled
                task.uncancel()
            raise self.expired from None
        finally:
            self.stop_timer()
            self.unsent = 0
            self.give(self.held)

    def stop_timer(self) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None

    async def _serve(self) -> None:
        message_opcode: Optional[int] = None  # opcode of the message being assembled
        message = bytearray()  # a binary message's fragments, unmasked, one after the other
        size = 0  # the message's payload bytes so far
        while True:
            fin, opcode, length = await self.read_header()
            if opcode in CONTROL_OPCODES:  # allowed between the fragments of a message
                payload = bytearray()  # at most 125 bytes, outside the budget
                await self.read_payload(length, payload, text=False, budgeted=False)
                if opcode == OP_PING:
                    self.send(OP_PONG, payload)
                elif opcode == OP_CLOSE:
                    self.stop_timer()  # the close takes its own time limit
                    await self.close_handshake(payload)
                    return
                await self.writer.drain()
                continue
            if opcode == OP_CONT:
                if message_opcode is None:
                    raise ProtocolFailure(1002, "continuation frame outside a fragmented message")
            elif message_opcode is not None:
                raise ProtocolFailure(1002, "new data frame inside a fragmented message")
            else:
                message_opcode = opcode
                if opcode == OP_TEXT:
                    self.decoder.reset()
                    self.text, self.text_fed = [], 0
            if size + length > self.max_message:
                raise ProtocolFailure(1009, f"message over {self.max_message} bytes")
            size += length
            await self.read_payload(length, message, text=message_opcode == OP_TEXT)
            if fin:
                received: str | bytearray = message
                if message_opcode == OP_TEXT:
                    self.decode(b"", final=True)
                    received, self.text = "".join(self.text), []
                answer = self.reply(received)
                # The message itself goes back as the bytes it came in as.
                echo = message if answer is received else answer.encode() if isinstance(answer, str) else answer
                self.send(OP_TEXT if isinstance(answer, str) else OP_BINARY, echo)
                self.unsent += size
                message_opcode, message, size = None, bytearray(), 0  # the transport may still hold the last one
                await self.writer.drain()
                self.settle()

    async def close_handshake(self, payload: bytearray) -> None:
        """Answer the client's close frame with its own code, then close the TCP connection."""
        if len(payload) == 1:
            raise ProtocolFailure(1002, "close frame with a 1-byte payload")
        if payload:
            code = int.from_bytes(payload[:2], "big")
            if code not in PEER_CLOSE_CODES and not 3000 <= code <= 4999:
                raise ProtocolFailure(1002, f"invalid close code {code}")
            if not tav.is_valid_utf8(payload[2:]):
                raise ProtocolFailure(1007, "close reason is not UTF-8")
        self.send(OP_CLOSE, payload[:2])
        await linger(self.reader, self.writer, self.limits.close_timeout)

    async def fail(self, failure: ProtocolFailure) -> None:
        """Send a close frame with the failure's code, then wait for the client to go."""
        self.send(OP_CLOSE, struct.pack("!H", failure.code) + failure.reason.encode()[:123])
        await linger(self.reader, self.writer, self.limits.close_timeout)


async def linger(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, timeout: float = CLOSE_TIMEOUT) -> None:
    """Flush our last words and end our side, then discard input until the client closes;
    all of it for at most `timeout` seconds.

    Closing with unread input would reset the connection, which can destroy the
    last frame or response before the client has read it."""

    async def flush_and_discard() -> None:
        await writer.drain()
        writer.write_eof()
        while await reader.read(PIECE):
            pass

    try:
        await asyncio.wait_for(flush_and_discard(), timeout)
    except asyncio.TimeoutError:
        pass


async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, limits: Limits) -> None:
    """Serve one client connection from the opening handshake to the close; never raises."""
    peer = writer.get_extra_info("peername")
    conn: Optional[Connection] = None
    limits.connections += 1
    try:
        try:
            if limits.connections > limits.max_connections:
                raise HandshakeError("503 Service Unavailable", "too many connections", "Retry-After: 1\r\n")
            try:
                request = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), HANDSHAKE_TIMEOUT)
            except asyncio.LimitOverrunError:
                raise HandshakeError("400 Bad Request", "request head too long") from None
            accept = accept_key(request)
        except (asyncio.IncompleteReadError, asyncio.TimeoutError):
            log.warning("%s: no complete request head, closing", peer)
            return
        except HandshakeError as e:
            log.warning("%s: handshake refused: %s", peer, e)
            body = e.reason.encode() + b"\n"
            writer.write(
                f"HTTP/1.1 {e.status}\r\nConnection: close\r\nContent-Type: text/plain\r\n"
                f"Content-Length: {len(body)}\r\n{e.extra}\r\n".encode() + body
            )
            await linger(reader, writer, limits.close_timeout)
            return
        writer.write(
            b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Accept: " + accept.encode() + b"\r\n\r\n"
        )
        conn = Connection(reader, writer, limits)
        try:
            await conn.run()
        except ProtocolFailure as failure:
            log.warning("%s: failing the connection: %s", peer, failure)
            await conn.fail(failure)
    except asyncio.IncompleteReadError:
        log.warning("%s: connection lost without a closing handshake", peer)
    except OSError as e:
        log.warning("%s: connection error: %s", peer, e)
    except Exception:  # a bug here must cost one connection, not the server
        log.exception("%s: unexpected error", peer)
    finally:
        limits.connections -= 1
        if conn is not None:
            conn.masker.close()
        if writer.transport.get_write_buffer_size():
            writer.transport.abort()  # a client that takes nothing would hold the socket open for ever
        writer.close()
        try:
            await writer.wait_closed()
        except OSError:
            pass


async def start(host: str = "127.0.0.1", port: int = 8765, limits: Optional[Limits] = None) -> asyncio.Server:
    """Start listening and return the server; with port 0, read the bound port from `server.sockets`.

    `limits` (default: Limits()) is the server's, and shows what its connections use of it."""
    return await asyncio.start_server(functools.partial(handle, limits=limits or Limits()), host, port)


async def serve(
    host: str = "127.0.0.1",
    port: int = 8765,
    limits: Optional[Limits] = None,
    *,
    ready: Optional[Callable[[int], None]] = None,
) -> None:
    """Serve until cancelled; `ready` is called with the bound port once listening."""
    server = await start(host, port, limits)
    bound = server.sockets[0].getsockname()[1]
    if ready is not None:
        ready(bound)
    async with server:
        await server.serve_forever()


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8765, help="0 picks a free port")
    parser.add_argument("--max-message", type=int, default=DEFAULT_MAX_MESSAGE, help="bytes; larger messages get 1009")
    parser.add_argument(
        "--idle-timeout", type=float, default=DEFAULT_IDLE_TIMEOUT, metavar="SECONDS",
        help="ping a connection where nothing moved for this long; close it with 1001 if nothing moves for as long again",
    )
    parser.add_argument(
        "--max-connections", type=int, default=DEFAULT_MAX_CONNECTIONS, metavar="N",
        help="answer further handshakes with HTTP 503 while N connections are open",
    )
    parser.add_argument(
        "--max-buffered", type=int, default=DEFAULT_MAX_BUFFERED, metavar="BYTES",
        help="payload bytes held for all connections together; at the bound, reading waits",
    )
    args = parser.parse_args(argv)
    try:
        limits = Limits(
            max_message=args.max_message,
            idle_timeout=args.idle_timeout,
            max_connections=args.max_connections,
            max_buffered=args.max_buffered,
        )
    except ValueError as e:
        parser.error(str(e))
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s")

    def ready(port: int) -> None:
        print(f"listening on ws://{args.host}:{port}/", flush=True)

    try:
        asyncio.run(serve(args.host, args.port, limits, ready=ready))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
