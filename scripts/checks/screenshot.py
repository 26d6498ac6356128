"""Takes docs/host-preferences.png: the host add-on's preferences in Debian's
Blender, under a virtual screen, while Tellmora is being installed from a local
server that holds the archive back."""

import functools
import sys
import tempfile
import threading
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "blender"))
import blender_session as session  # noqa: E402

from corvane import publish  # noqa: E402

OUTPUT = session.REPO / "docs" / "host-preferences.png"
ARCHIVE_DELAY = 30  # seconds: the picture is taken while the install waits for the archive


class SlowArchives(SimpleHTTPRequestHandler):
    """The distribution folder as a static web host serves it, archives late."""

    def do_GET(self):
        if self.path.endswith(".zip"):
            time.sleep(ARCHIVE_DELAY)
        super().do_GET()

    def log_message(self, *args):
        pass


def main():
    with tempfile.TemporaryDirectory(prefix="corvane-shot-") as temp:
        temp = Path(temp)
        dist, home = temp / "dist", temp / "profile"
        publish.publish(str(session.TELLMORA_SOURCE), "1.0.0", str(dist))
        session.install_into_profile(home)
        server = ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(SlowArchives, directory=str(dist)))
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            url = f"http://127.0.0.1:{server.server_address[1]}"
            env = {"VESK_SERVICE_URL": url, "CORVANE_SCREENSHOT": str(OUTPUT)}
            OUTPUT.parent.mkdir(exist_ok=True)
            # Preferences without the splash screen, so nothing covers the picture.
            session.run("import bpy; bpy.context.preferences.view.show_splash = False; bpy.ops.wm.save_userpref()",
                        home, online=None, path=(), timeout=120, check=True)
            run = session.run(Path(__file__).resolve().parent / "screenshot_in_blender.py", home, interface=True,
                              screen="1280x900", fill_screen=True, factory=False, env=env, timeout=300)
            if run.process.returncode != 0 or not OUTPUT.exists():
                print(run.process.stdout[-3000:], run.process.stderr[-3000:])
                return 1
        finally:
            server.shutdown()
    print(f"wrote {OUTPUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
