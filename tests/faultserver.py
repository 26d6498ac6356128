"""The tests' HTTP server on loopback, on raw sockets: each path answers as the test
says, well (`put` a body, `put_json` a value) or as a well-behaved server never does:
a connection reset before any answer, a reset in the middle of the body, a body cut
short of its Content-Length, a body trickled out slowly, a request never answered.

Each path holds a queue of answers: a request takes the first one, and the last
one stays for every later request. Every request path is logged, in order.
"""

import json
import socket
import struct
import threading
import time
from http import HTTPStatus


class Answer:
    """What the server does with one request: `kind` is "whole", "refuse", "reset", "cut" or "silent"."""

    def __init__(self, kind, body=b"", status=200, content_type="application/octet-stream", at=None,
                 pieces=1, delay=0.0, length=None, headers=None):
        self.kind = kind
        self.length = length  # the Content-Length announced, when not the body's
        self.headers = headers or {}
        self.body = body if isinstance(body, bytes) else body.encode()
        self.status = status
        self.content_type = content_type
        self.at = len(self.body) // 2 if at is None else at  # where "reset" and "cut" stop
        self.pieces = pieces
        self.delay = delay

    def __repr__(self):
        return f"Answer({self.kind}, {self.status}, {len(self.body)} bytes)"


def whole(body, status=200, content_type="application/octet-stream"):
    return Answer("whole", body, status, content_type)


def json_answer(text, status=200):
    return Answer("whole", text, status, "application/json")


def refuse():
    """The connection is reset as soon as the request has arrived: no answer byte at all."""
    return Answer("refuse")


def silent():
    """The request is read and never answered; the connection stays open until the server closes."""
    return Answer("silent")


def reset_mid_body(body, at=None):
    """Headers announce the whole body; part of it is sent, then the connection is reset."""
    return Answer("reset", body, at=at)


def cut_body(body, at=None):
    """Headers announce the whole body; part of it is sent, then the connection closes cleanly."""
    return Answer("cut", body, at=at)


def trickle(body, pieces, delay, content_type="application/octet-stream"):
    """The whole body, sent in `pieces` parts with `delay` seconds between them."""
    return Answer("whole", body, 200, content_type, pieces=pieces, delay=delay)


def announcing(length, body=b"x" * 1024):
    """Headers announce `length` bytes; `body` is sent, then the connection closes."""
    return Answer("cut", body, at=len(body), length=length)


def redirect(location):
    return Answer("whole", b"", 302, "text/plain", headers={"Location": location})


def _reset(connection):
    # A zero linger time makes close() send RST instead of FIN.
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    connection.close()


class FaultServer:
    def __init__(self, tls=None, port=0):
        """`tls`: (certificate file, key file) to answer https instead of http."""
        self.routes = {}
        self._tls = None
        if tls is not None:
            import ssl

            self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._tls.load_cert_chain(*tls)
        self.requests = []
        # Numbers (from 1) of connections reset as soon as they are accepted, before the
        # request is read: the client cannot even finish sending it.
        self.reset_on_accept = set()
        self._accepted = 0
        self._lock = threading.Lock()
        self._listener = socket.create_server(("127.0.0.1", port))
        self._listener.settimeout(0.05)
        self.url = f"{'https' if tls else 'http'}://127.0.0.1:{self._listener.getsockname()[1]}"
        self._closed = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def put(self, path, *answers, status=200, content_type="application/octet-stream"):
        """The answers to requests of `path`, in turn: an `Answer`, or a body answered whole
        with `status` and `content_type`."""
        answers = [a if isinstance(a, Answer) else whole(a, status, content_type) for a in answers]
        with self._lock:
            self.routes[path] = answers

    def put_json(self, path, value, status=200):
        self.put(path, json_answer(json.dumps(value), status))

    def count(self, path):
        with self._lock:
            return self.requests.count(path)

    def close(self):
        self._closed.set()
        self._thread.join(5)
        self._listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _serve(self):
        while not self._closed.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._accepted += 1
            if self._accepted in self.reset_on_accept:
                _reset(connection)
                continue
            threading.Thread(target=self._answer, args=(connection,), daemon=True).start()

    def _next_answer(self, path):
        with self._lock:
            self.requests.append(path)
            queue = self.routes.get(path)
            if not queue:
                return whole(b"not found", 404, "text/plain")
            return queue.pop(0) if len(queue) > 1 else queue[0]

    def _answer(self, connection):
        try:
            connection.settimeout(10)
            if self._tls is not None:
                connection = self._tls.wrap_socket(connection, server_side=True)
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = connection.recv(4096)
                if not chunk:
                    connection.close()
                    return
                head += chunk
            path = head.split(b" ", 2)[1].decode("latin-1")
            answer = self._next_answer(path)
            if answer.kind == "refuse":
                _reset(connection)
                return
            if answer.kind == "silent":
                self._closed.wait()
                connection.close()
                return
            reason = HTTPStatus(answer.status).phrase
            extra = "".join(f"{name}: {value}\r\n" for name, value in answer.headers.items())
            length = len(answer.body) if answer.length is None else answer.length
            connection.sendall(
                f"HTTP/1.1 {answer.status} {reason}\r\nContent-Type: {answer.content_type}\r\n{extra}"
                f"Content-Length: {length}\r\nConnection: close\r\n\r\n".encode())
            body = answer.body if answer.kind == "whole" else answer.body[:answer.at]
            step = max(1, -(-len(body) // answer.pieces))
            for start in range(0, len(body), step):
                if start and answer.delay:
                    time.sleep(answer.delay)
                connection.sendall(body[start:start + step])
            if answer.kind == "reset":
                _reset(connection)
            else:
                connection.shutdown(socket.SHUT_WR)
                connection.close()
        except OSError:
            connection.close()
