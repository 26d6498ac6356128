"""Serve a distribution folder over HTTP: the local distribution server.

    python3 -m corvane serve DIST [--host 127.0.0.1] [--port 8731] [--manager-update N]

(``python3 -m corvane.serve`` takes the same arguments.)

Serves the files of DIST read-only (no directory listings, nothing outside
DIST, no hidden files) and answers ``/service.json`` with its own base
address, so the manager finds the add-ons on this server whatever address
the folder's own service.json names.  One progress line per request goes to
standard error.  A production distribution puts the same folder on any
static web host instead.

Only the standard library is used, so this runs in Blender's own Python too.
"""

from __future__ import annotations

import argparse
import json
import mimetypes
import os
import signal
import socketserver
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = ["DEFAULT_HOST", "DEFAULT_PORT", "DistServer", "serve", "main"]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8731

_WILDCARD_HOSTS = ("", "0.0.0.0")


class _Refused(Exception):
    """A request path that does not name a file inside the folder."""

    def __init__(self, code: int, text: str):
        super().__init__(text)
        self.code = code
        self.text = text


def _host_for_url(host: str) -> str:
    return DEFAULT_HOST if host in _WILDCARD_HOSTS else host


class _Handler(BaseHTTPRequestHandler):
    server_version = "corvane-serve"
    sys_version = ""
    timeout = 30  # an idle client does not hold a thread for ever

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    # The default per-request log is replaced by the progress line.
    def log_message(self, format, *args) -> None:  # noqa: A002
        pass

    def _answer(self, send_body: bool) -> None:
        server: DistServer = self.server  # type: ignore[assignment]
        server._record(self.path)
        try:
            path = self._file_path()
        except _Refused as refused:
            self._send_bytes(refused.code, refused.text.encode("utf-8") + b"\n",
                             "text/plain; charset=utf-8", send_body)
            return
        if path is None:
            self._send_service(send_body)
            return
        try:
            with open(path, "rb") as f:
                body = f.read()
        except OSError:
            self._send_bytes(404, b"not found\n", "text/plain; charset=utf-8", send_body)
            return
        kind = "application/json" if path.endswith(".json") else (
            mimetypes.guess_type(path)[0] or "application/octet-stream"
        )
        self._send_bytes(200, body, kind, send_body)

    def _file_path(self) -> str | None:
        """The file a request names inside the folder; None for /service.json."""
        raw = urllib.parse.urlsplit(self.path).path
        if not raw.startswith("/"):
            raise _Refused(400, "bad request path")
        try:
            decoded = urllib.parse.unquote(raw, errors="strict")
        except UnicodeDecodeError:
            raise _Refused(400, "bad request path") from None
        if decoded == "/service.json":
            return None
        if "\x00" in decoded or "\\" in decoded:
            raise _Refused(400, "bad request path")
        segments = [s for s in decoded.split("/") if s]
        if any(s == ".." for s in segments):
            raise _Refused(403, "refused: path leaves the distribution folder")
        if not segments or decoded.endswith("/"):
            raise _Refused(404, "not found")
        if any(s.startswith(".") or os.path.splitdrive(s)[0] or os.path.isabs(s)
               for s in segments):
            raise _Refused(404, "not found")
        root = self.server.root  # type: ignore[attr-defined]
        real = os.path.realpath(os.path.join(root, *segments))
        if os.path.commonpath([root, real]) != root:
            raise _Refused(403, "refused: path leaves the distribution folder")
        if not os.path.isfile(real):
            raise _Refused(404, "not found")
        return real

    def _send_service(self, send_body: bool) -> None:
        server: DistServer = self.server  # type: ignore[assignment]
        try:
            flag = server.manager_update_flag()
        except ValueError as e:
            self._send_bytes(500, f"{e}\n".encode("utf-8"), "text/plain; charset=utf-8",
                             send_body)
            return
        body = {"url": server.url, "manager_update": flag}
        self._send_bytes(200, (json.dumps(body) + "\n").encode("utf-8"), "application/json",
                         send_body)

    def _send_bytes(self, code: int, body: bytes, kind: str, send_body: bool) -> None:
        self.send_response(code)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-cache")
        self.end_headers()
        if send_body:
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                self._progress(code, len(body), " (client went away)")
                return
        self._progress(code, len(body))

    def _progress(self, code: int, size: int, note: str = "") -> None:
        self.server._progress(  # type: ignore[attr-defined]
            f"{self.command} {self.path} {code} {size} bytes{note}"
        )


class DistServer(ThreadingHTTPServer):
    """A running local distribution server; see serve()."""

    daemon_threads = True

    def __init__(self, dist, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT,
                 manager_update: int | None = None, stream=None):
        root = os.path.realpath(os.fspath(dist))
        if not os.path.isdir(root):
            raise NotADirectoryError(f"{dist}: not a folder")
        if manager_update is not None and (
            type(manager_update) is not int or manager_update not in (0, 1)
        ):
            raise ValueError(f"manager update flag {manager_update!r}: expected 0 or 1")
        self.root = root
        self.manager_update = manager_update
        self._stream = stream
        self._lock = threading.Lock()
        self._requests: list[str] = []
        self._thread: threading.Thread | None = None
        self._stopped = False
        super().__init__((host, port), _Handler)
        self.host = host
        self.port = self.server_address[1]

    def server_bind(self) -> None:
        # HTTPServer.server_bind looks the host name up (getfqdn), which can
        # stall on machines without working name resolution; it is not needed.
        socketserver.TCPServer.server_bind(self)
        self.server_name = self.server_address[0]
        self.server_port = self.server_address[1]

    # -- addresses

    @property
    def url(self) -> str:
        """The server's base address, e.g. http://127.0.0.1:8731.

        On a wildcard bind this names the loopback address.
        """
        return f"http://{_host_for_url(self.host)}:{self.port}"

    # -- service document

    def manager_update_flag(self) -> int:
        """The option if given, else the flag in DIST/service.json, else 0."""
        if self.manager_update is not None:
            return self.manager_update
        path = os.path.join(self.root, "service.json")
        try:
            with open(path, "rb") as f:
                service = json.loads(f.read().decode("utf-8"))
        except FileNotFoundError:
            return 0
        except (OSError, UnicodeDecodeError, ValueError) as e:
            raise ValueError(f"service.json is unreadable: {e}") from None
        if not isinstance(service, dict):
            raise ValueError("service.json is not a JSON object")
        flag = service.get("manager_update", 0)
        if type(flag) is not int:
            raise ValueError("service.json: manager_update is not an integer")
        return flag

    # -- request log

    def _record(self, path: str) -> None:
        with self._lock:
            self._requests.append(path)

    @property
    def requests(self) -> list[str]:
        """The request paths received so far, in order (a copy)."""
        with self._lock:
            return list(self._requests)

    def request_count(self, path: str | None = None) -> int:
        """How many requests arrived, for one path or in all."""
        with self._lock:
            if path is None:
                return len(self._requests)
            return self._requests.count(path)

    def clear_requests(self) -> None:
        with self._lock:
            self._requests.clear()

    def _progress(self, line: str) -> None:
        stream = self._stream if self._stream is not None else sys.stderr
        with self._lock:
            print(line, file=stream, flush=True)

    # -- running

    def start(self) -> "DistServer":
        # A short poll interval keeps shutdown() quick.
        self._thread = threading.Thread(
            target=self.serve_forever, kwargs={"poll_interval": 0.05},
            name=f"corvane-serve {self.url}", daemon=True,
        )
        self._thread.start()
        return self

    def shutdown(self) -> None:
        """Stop serving, close the socket and wait for the serving thread."""
        if self._stopped:
            return
        self._stopped = True
        if self._thread is not None:
            super().shutdown()
            self._thread.join()
        self.server_close()

    def __exit__(self, *exc) -> None:
        self.shutdown()


def serve(dist, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT,
          manager_update: int | None = None, *, stream=None) -> DistServer:
    """Start serving the folder dist in a daemon thread and return the server.

    Port 0 picks a free port (read it back from .port or .url). The server
    logs one line per request to stream (standard error by default) and
    keeps the request paths in .requests. Call .shutdown() to stop it; it is
    also a context manager.
    """
    return DistServer(dist, host, port, manager_update, stream).start()


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("dist", metavar="DIST", help="the distribution folder")
    parser.add_argument("--host", default=DEFAULT_HOST, help=f"address (default {DEFAULT_HOST})")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help=f"port, 0 for any free one (default {DEFAULT_PORT})")
    parser.add_argument("--manager-update", type=int, choices=(0, 1),
                        help="manager_update flag to announce (default: from DIST/service.json)")


def run(args) -> int:
    try:
        server = serve(args.dist, args.host, args.port, args.manager_update)
    except (OSError, ValueError) as e:
        print(f"serve: error: {e}", file=sys.stderr)
        return 2
    print(f"Serving {server.root} at {server.url} (Ctrl+C stops)", file=sys.stderr, flush=True)
    # A terminating script or service manager gets the same clean stop as Ctrl+C.
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(0))
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        server.shutdown()
    return 0


def main(argv=None) -> int:
    """`python3 -m corvane.serve`: the same as `python3 -m corvane serve`."""
    from corvane.__main__ import main as corvane_main

    return corvane_main(["serve", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
