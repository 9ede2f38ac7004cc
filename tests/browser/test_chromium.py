"""The example echo server against a real browser: Chromium, headless, runs
tests/browser/echo_page.html, which echoes text and binary messages of every
length form and closes with its own code. Skipped where Chromium is absent."""
from __future__ import annotations

import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any, Iterator

import pytest

HERE = Path(__file__).resolve().parent
ECHO_SERVER = HERE.parents[1] / "examples" / "echo_server.py"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
TIMEOUT = 60.0  # a cold browser start on a busy machine takes a few seconds

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")


class PageServer(http.server.ThreadingHTTPServer):
    """Serves the page and receives its verdict."""

    def __init__(self) -> None:
        super().__init__(("127.0.0.1", 0), PageHandler)
        self.verdict: dict[str, Any] = {}
        self.done = threading.Event()


class PageHandler(http.server.BaseHTTPRequestHandler):
    server: PageServer

    def do_GET(self) -> None:
        body = (HERE / "echo_page.html").read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self) -> None:
        data = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(204)
        self.end_headers()
        if not self.server.done.is_set():
            self.server.verdict = json.loads(data)
            self.server.done.set()

    def log_message(self, format: str, *args: Any) -> None:
        pass


@pytest.fixture
def echo_uri() -> Iterator[str]:
    proc = subprocess.Popen(
        [sys.executable, str(ECHO_SERVER), "--host", "127.0.0.1", "--port", "0"],
        stdout=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout is not None
    line = proc.stdout.readline()
    assert line.startswith("listening on "), line
    yield line.split()[-1]
    proc.terminate()
    proc.wait(10)


def test_chromium_echoes_through_the_server(echo_uri: str) -> None:
    assert CHROMIUM is not None
    pages = PageServer()
    threading.Thread(target=pages.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{pages.server_address[1]}/echo_page.html?ws={echo_uri}"
    with tempfile.TemporaryDirectory() as profile:
        browser = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions",
             f"--user-data-dir={profile}", url],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,  # its own process group, ended as one below
        )
        try:
            finished = pages.done.wait(TIMEOUT)
        finally:
            os.killpg(browser.pid, signal.SIGTERM)
            browser.wait(TIMEOUT)
            pages.shutdown()
            pages.server_close()
    assert finished, "the page sent no verdict"
    verdict = pages.verdict
    assert verdict["failures"] == [] and verdict["received"] == verdict["expected"] == 14, verdict
    assert verdict["closeCode"] == 4000 and verdict["ok"], verdict
