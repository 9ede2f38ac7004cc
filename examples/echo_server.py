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
* a text message is checked by one `tav.Utf8Validator` per connection, fed each
  piece of each fragment in turn, so a character may be split anywhere and the
  first invalid byte fails the connection with 1007 as soon as it has arrived,
  without waiting for the rest of the frame or the final fragment.

Protocol errors fail the connection with 1002, oversized messages with 1009;
a bad opening handshake gets an HTTP error. Each such connection is logged in
one line and closed; the server keeps serving the others. No extensions and no
subprotocols are negotiated.

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
HANDSHAKE_TIMEOUT = 10.0
CLOSE_TIMEOUT = 5.0  # how long a failed connection may take to close its side


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
    """One upgraded connection: reads frames, echoes messages, answers pings and close."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, max_message: int) -> None:
        self.reader, self.writer, self.max_message = reader, writer, max_message
        self.validator = tav.Utf8Validator()
        # One masker serves every frame: reset() gives it each frame's key.
        self.masker = tav.XorMasker(bytes(4))
        self.text_status = tav.Utf8Status.COMPLETE

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

    async def read_payload(self, length: int, into: bytearray, text: bool) -> None:
        """Read the masking key and `length` payload bytes, unmasked onto the end of `into`; text
        is checked on the way.

        `into` grows by what has arrived, piece by piece, never by what a header promises."""
        key = await self.reader.readexactly(4)
        if not length:
            return
        end = len(into) + length
        masker = self.masker
        masker.reset(key)  # the frame's key, from its first byte
        while len(into) < end:
            data = await self.reader.read(min(PIECE, end - len(into)))
            if not data:
                raise asyncio.IncompleteReadError(bytes(memoryview(into)[end - length :]), length)
            start = len(into)
            into += data
            # The view must go before `into` can grow again.
            with memoryview(into)[start:] as piece:
                masker.mask(piece)  # unmasked in place, continuing in the key where the last piece ended
                if text:
                    self.text_status = self.validator.validate(piece)
                    if self.text_status == tav.Utf8Status.INVALID:
                        raise ProtocolFailure(1007, f"invalid UTF-8 at byte {self.validator.error_offset} of the message")

    async def run(self) -> None:
        """Serve frames until the closing handshake; ProtocolFailure on any violation."""
        message_opcode: Optional[int] = None  # opcode of the message being assembled
        message = bytearray()  # its fragments, unmasked, one after the other
        while True:
            fin, opcode, length = await self.read_header()
            if opcode in CONTROL_OPCODES:  # allowed between the fragments of a message
                payload = bytearray()
                await self.read_payload(length, payload, text=False)
                if opcode == OP_PING:
                    self.send(OP_PONG, payload)
                elif opcode == OP_CLOSE:
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
                self.validator.reset()
                self.text_status = tav.Utf8Status.COMPLETE
            if len(message) + length > self.max_message:
                raise ProtocolFailure(1009, f"message over {self.max_message} bytes")
            await self.read_payload(length, message, text=message_opcode == OP_TEXT)
            if fin:
                if self.text_status != tav.Utf8Status.COMPLETE:
                    raise ProtocolFailure(1007, "text message ends inside a UTF-8 sequence")
                self.send(message_opcode, message)
                message_opcode, message = None, bytearray()  # the transport may still hold the last one
                await self.writer.drain()

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
        await linger(self.reader, self.writer)

    async def fail(self, failure: ProtocolFailure) -> None:
        """Send a close frame with the failure's code, then wait for the client to go."""
        self.send(OP_CLOSE, struct.pack("!H", failure.code) + failure.reason.encode()[:123])
        await linger(self.reader, self.writer)


async def linger(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    """Flush our last words and end our side, then discard input until the client closes.

    Closing with unread input would reset the connection, which can destroy the
    last frame or response before the client has read it."""
    await writer.drain()
    writer.write_eof()

    async def discard() -> None:
        while await reader.read(PIECE):
            pass

    try:
        await asyncio.wait_for(discard(), CLOSE_TIMEOUT)
    except asyncio.TimeoutError:
        pass


async def handle(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, max_message: int) -> None:
    """Serve one client connection from the opening handshake to the close; never raises."""
    peer = writer.get_extra_info("peername")
    conn: Optional[Connection] = None
    try:
        try:
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
            await linger(reader, writer)
            return
        writer.write(
            b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Accept: " + accept.encode() + b"\r\n\r\n"
        )
        conn = Connection(reader, writer, max_message)
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
        if conn is not None:
            conn.validator.close()
            conn.masker.close()
        writer.close()
        try:
            await writer.wait_closed()
        except OSError:
            pass


async def start(host: str = "127.0.0.1", port: int = 8765, *, max_message: int = DEFAULT_MAX_MESSAGE) -> asyncio.Server:
    """Start listening and return the server; with port 0, read the bound port from `server.sockets`."""
    return await asyncio.start_server(functools.partial(handle, max_message=max_message), host, port)


async def serve(
    host: str = "127.0.0.1",
    port: int = 8765,
    *,
    max_message: int = DEFAULT_MAX_MESSAGE,
    ready: Optional[Callable[[int], None]] = None,
) -> None:
    """Serve until cancelled; `ready` is called with the bound port once listening."""
    server = await start(host, port, max_message=max_message)
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
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s")

    def ready(port: int) -> None:
        print(f"listening on ws://{args.host}:{port}/", flush=True)

    try:
        asyncio.run(serve(args.host, args.port, max_message=args.max_message, ready=ready))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
