"""A programmable HTTP server on loopback for tests: each path answers what the
test put there, and every request is logged."""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Route:
    def __init__(self, body=b"", status=200, content_type="application/octet-stream"):
        self.body = body
        self.status = status
        self.content_type = content_type


class WebServer:
    def __init__(self, port=0):
        self.routes = {}
        self.requests = []
        self._lock = threading.Lock()
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                with server._lock:
                    server.requests.append(self.path)
                    route = server.routes.get(self.path)
                if route is None:
                    route = Route(b"not found", 404, "text/plain")
                self.send_response(route.status)
                self.send_header("Content-Type", route.content_type)
                self.send_header("Content-Length", str(len(route.body)))
                self.end_headers()
                self.wfile.write(route.body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.httpd.daemon_threads = True  # no growing list of finished request threads
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def put(self, path, body, status=200, content_type="application/octet-stream"):
        if not isinstance(body, bytes):
            body = body.encode()
        self.routes[path] = Route(body, status, content_type)

    def put_json(self, path, value, status=200):
        self.put(path, json.dumps(value), status, "application/json")

    def count(self, path):
        with self._lock:
            return self.requests.count(path)

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
