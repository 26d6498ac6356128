"""The local distribution server, on loopback with a port picked by the system."""

import hashlib
import http.client
import io
import json
import os
import socket
import threading
import time

import pytest

from corvane.publish import publish
from corvane.serve import serve

NAME = "tellmora"


@pytest.fixture
def published(tmp_path):
    src = tmp_path / "src" / NAME
    src.mkdir(parents=True)
    (src / "__init__.py").write_text("bl_info = {}\n")
    (src / "icon.png").write_bytes(b"\x89PNG")
    release = publish(src, "1.2.0", tmp_path / "dist")
    (tmp_path / "secret.txt").write_text("outside the distribution folder")
    return tmp_path / "dist", release


@pytest.fixture
def dist(published):
    return published[0]


@pytest.fixture
def log():
    return io.StringIO()


@pytest.fixture
def server(dist, log):
    running = serve(dist, "127.0.0.1", 0, stream=log)
    yield running
    running.shutdown()


def get(server, path, headers=None):
    """One request with the path sent exactly as given; returns (status, body)."""
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
    try:
        conn.request("GET", path, headers=headers or {})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


class TestFiles:
    def test_index_and_archive_served_intact(self, server, published):
        status, body = get(server, f"/{NAME}/index.json?x=1")
        assert status == 200
        assert json.loads(body) == [{"version": [1, 2, 0], "md5": published[1]["md5"]}]
        status, archive = get(server, f"/{NAME}/{published[1]['md5']}.zip")
        assert status == 200 and hashlib.md5(archive).hexdigest() == published[1]["md5"]

    @pytest.mark.parametrize("path", ["/missing.json", "/", f"/{NAME}", f"/{NAME}/",
                                      f"/{NAME}/.index.json.tmp"])
    def test_missing_folders_and_hidden_files_are_404(self, server, dist, path):
        (dist / NAME / ".index.json.tmp").write_text("half written")
        assert get(server, path) == (404, b"not found\n")


class TestTraversal:
    @pytest.mark.parametrize("path", [
        "/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt",
        f"/{NAME}/../../secret.txt", "/..%5csecret.txt", "/%00/../secret.txt",
        "//etc/passwd", "/%2Fetc%2Fpasswd", "http://127.0.0.1/../secret.txt",
    ])
    def test_paths_outside_are_refused(self, server, path):
        status, body = get(server, path)
        assert status in (400, 403, 404)
        assert b"outside the distribution folder" not in body and b"root:" not in body

    def test_symlink_leading_outside_refused(self, server, dist, tmp_path):
        os.symlink(tmp_path / "secret.txt", dist / "link.txt")
        status, body = get(server, "/link.txt")
        assert status == 403 and b"outside the distribution folder" not in body


class TestServiceDocument:
    def test_carries_its_own_address_and_the_files_flag(self, server, dist):
        (dist / "service.json").write_text('{"url": "https://elsewhere.invalid", '
                                           '"manager_update": 1}')
        status, body = get(server, "/service.json")
        assert status == 200
        assert json.loads(body) == {"url": f"http://127.0.0.1:{server.port}",
                                    "manager_update": 1}
        assert server.url == f"http://127.0.0.1:{server.port}"
        os.remove(dist / "service.json")
        assert json.loads(get(server, "/service.json")[1])["manager_update"] == 0
        (dist / "service.json").write_text('{"manager_update": 0}')
        with serve(dist, "127.0.0.1", 0, manager_update=1, stream=io.StringIO()) as other:
            assert json.loads(get(other, "/service.json")[1])["manager_update"] == 1

    @pytest.mark.parametrize("content", ["{broken", "[1]", '{"manager_update": "1"}'])
    def test_broken_file_is_an_error_not_a_default(self, server, dist, content):
        (dist / "service.json").write_text(content)
        assert get(server, "/service.json")[0] == 500


class TestRequestLog:
    def test_counts_concurrent_requests(self, server):
        def worker():
            for _ in range(10):
                get(server, f"/{NAME}/index.json")

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        get(server, "/nothing")
        assert server.request_count(f"/{NAME}/index.json") == 40
        assert server.request_count() == 41 and server.requests[-1] == "/nothing"

    def test_one_progress_line_per_request(self, server, log):
        size = len(get(server, f"/{NAME}/index.json")[1])
        get(server, "/missing")
        # The line is written once the response has gone out, so it may trail
        # the client's read by a moment.
        deadline = time.monotonic() + 5
        while len(log.getvalue().splitlines()) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert log.getvalue().splitlines() == [
            f"GET /{NAME}/index.json 200 {size} bytes", "GET /missing 404 10 bytes"]


def test_shutdown_frees_the_port(dist, log):
    running = serve(dist, "127.0.0.1", 0, stream=log)
    running.shutdown()
    running.shutdown()  # a second call is harmless
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", running.port), timeout=2).close()
