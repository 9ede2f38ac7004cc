# SPDX-License-Identifier: MIT
"""Load benchmark: the example echo server against the websockets library's own.

Starts the servers in subprocesses on 127.0.0.1 (tav's on each backend), then for each message size
opens N connections with the websockets client and pushes M messages of S bytes
through each (a sender and a receiver task per connection, every echo checked),
in alternating turns for the two servers, and prints the best turn of each side
by side, with the median CPU time each server process spent per message (read
from /proc, so it holds up better than the wall clock on a busy machine):

    python examples/ws_load.py --connections 8 --messages 1000 --size 16 4096 65536
    python examples/ws_load.py -n 4 -m 16 -s 1048576    # 1 MiB messages
    python examples/ws_load.py --backend native --also old_echo_server.py   # before and after a change

Every server gets the same client, with compression off, and run one Python
process each; the client is one more process, so on a small machine it shares
the cores with the server it measures and the figures are a floor for both.
Compare the ratios within one run, not the absolute figures across runs.
"""
from __future__ import annotations

import argparse
import asyncio
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Optional, Sequence, Union

from websockets.asyncio.client import ClientConnection, connect

from tav.bench import print_table

HERE = Path(__file__).resolve().parent

# The websockets library's echo server, as its documentation writes one.
REFERENCE_SERVER = """
import asyncio
from websockets.asyncio.server import serve

async def echo(ws):
    async for message in ws:
        await ws.send(message)

async def main():
    async with serve(echo, "127.0.0.1", 0, max_size=None, compression=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"listening on ws://127.0.0.1:{port}/", flush=True)
        await asyncio.get_running_loop().create_future()

asyncio.run(main())
"""


def start_server(argv: list[str], env: Optional[dict[str, str]] = None) -> tuple[subprocess.Popen[str], str]:
    """Start a server that prints "listening on <uri>" once it listens; (process, uri)."""
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True, env=None if env is None else {**os.environ, **env})
    assert proc.stdout is not None
    line = proc.stdout.readline()
    if not line.startswith("listening on "):
        proc.kill()
        raise RuntimeError(f"{argv[:3]} did not start: {line!r}")
    return proc, line.split()[-1]


Message = Union[str, bytes]


async def one_turn(uri: str, connections: int, messages: Sequence[Message]) -> float:
    """Seconds to echo `messages` over each of `connections` connections at once."""
    clients = [await connect(uri, max_size=None, compression=None, open_timeout=30) for _ in range(connections)]

    async def push(ws: ClientConnection) -> None:
        async def sender() -> None:
            for m in messages:
                await ws.send(m)

        task = asyncio.create_task(sender())
        for m in messages:
            if await ws.recv() != m:
                raise AssertionError(f"{uri}: echo differs")
        await task

    try:
        t0 = time.perf_counter()
        await asyncio.wait_for(asyncio.gather(*(push(ws) for ws in clients)), 600)
        return time.perf_counter() - t0
    finally:
        for ws in clients:
            await ws.close()


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of process `pid` so far (Linux /proc), or NaN where that cannot be read."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return float("nan")


def payload(kind: str, size: int, rng: random.Random) -> Message:
    if kind == "binary":
        return rng.randbytes(size)
    # Mostly ASCII with some 2- and 3-byte characters, `size` bytes long.
    chars, n = [], 0
    while n < size:
        c = rng.choice("abcdefghij klmnop\n" * 4 + "éü€ж") if size - n >= 3 else "x"
        chars.append(c)
        n += len(c.encode())
    return "".join(chars)


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--connections", "-n", type=int, default=8)
    parser.add_argument("--messages", "-m", type=int, default=1000, help="messages per connection")
    parser.add_argument("--size", "-s", type=int, nargs="+", default=[16, 4096, 65536], help="message sizes in bytes")
    parser.add_argument("--kind", choices=["binary", "text", "both"], default="both")
    parser.add_argument("--turns", type=int, default=3, help="turns per server and size; the best is shown")
    parser.add_argument(
        "--backend", nargs="+", choices=["native", "cffi"], default=["native", "cffi"],
        help="tav backends to run the echo server on, each in its own process",
    )
    parser.add_argument(
        "--also", nargs="+", default=[], metavar="SCRIPT",
        help="more echo servers that take echo_server.py's options (another version of it, say), on the first backend",
    )
    args = parser.parse_args(argv)
    kinds = ["binary", "text"] if args.kind == "both" else [args.kind]
    max_message = max(args.size) + 1

    servers = {}
    try:
        echo = [sys.executable, str(HERE / "echo_server.py"), "--port", "0", "--max-message", str(max_message)]
        for backend in args.backend:
            servers[f"tav echo_server ({backend})"] = start_server(echo, {"TAV_BACKEND": backend})
        for script in args.also:
            argv_ = [sys.executable, script, *echo[2:]]
            servers[f"{script} ({args.backend[0]})"] = start_server(argv_, {"TAV_BACKEND": args.backend[0]})
        servers["websockets"] = start_server([sys.executable, "-c", REFERENCE_SERVER])
        rows = []
        rng = random.Random(0)
        for kind in kinds:
            for size in args.size:
                messages = [payload(kind, size, rng) for _ in range(min(args.messages, 16))]
                messages = [messages[i % len(messages)] for i in range(args.messages)]
                best = {name: float("inf") for name in servers}
                cpu: dict[str, list[float]] = {name: [] for name in servers}
                for _ in range(args.turns):
                    for name, (proc, uri) in servers.items():
                        before = cpu_seconds(proc.pid)
                        best[name] = min(best[name], asyncio.run(one_turn(uri, args.connections, messages)))
                        cpu[name].append(cpu_seconds(proc.pid) - before)
                total = args.connections * args.messages
                # The server's own CPU time per message: what other processes do to the wall clock hardly touches it.
                per_msg = {name: statistics.median(c) / total * 1e6 for name, c in cpu.items()}
                for name, seconds in best.items():
                    rows.append([
                        kind, size, name, total / seconds, total * size / seconds / 1e6, best["websockets"] / seconds,
                        per_msg[name], per_msg["websockets"] / per_msg[name],
                    ])
        print_table(
            f"{args.connections} connections x {args.messages} messages, best of {args.turns} turns",
            ["kind", "size (B)", "server", "msgs/s", "MB/s", "speed vs websockets", "server CPU us/msg", "CPU vs websockets"],
            rows,
        )
    finally:
        for proc, _ in servers.values():
            proc.terminate()
            proc.wait(10)


if __name__ == "__main__":
    main()
