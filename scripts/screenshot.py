"""Takes docs/host-preferences.png: the host add-on's preferences in Debian's
Blender, under a virtual screen, while Tellmora is being installed from a local
server that holds the archive back."""

import functools
import subprocess
import sys
import tempfile
import threading
import time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import profile_setup as profile  # noqa: E402

from corvane import publish  # noqa: E402

OUTPUT = profile.REPO / "docs" / "host-preferences.png"
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
        publish.publish(str(profile.TELLMORA_SOURCE), "1.0.0", str(dist))
        profile.install_into_profile(home)
        server = ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(SlowArchives, directory=str(dist)))
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            url = f"http://127.0.0.1:{server.server_address[1]}"
            env = profile.blender_env(home, {"VESK_SERVICE_URL": url, "CORVANE_SCREENSHOT": str(OUTPUT)})
            script = Path(__file__).resolve().parent / "screenshot_in_blender.py"
            OUTPUT.parent.mkdir(exist_ok=True)
            # Preferences without the splash screen, so nothing covers the picture.
            subprocess.run([profile.BLENDER, "-b", "--factory-startup", "--python-expr",
                            "import bpy; bpy.context.preferences.view.show_splash = False; "
                            "bpy.ops.wm.save_userpref()"], capture_output=True, env=env, timeout=120, check=True)
            process = subprocess.run(
                ["xvfb-run", "-a", "-s", "-screen 0 1280x900x24", profile.BLENDER, *profile.blender_options(),
                 "--window-geometry", "0", "0", "1280", "900", "--python", str(script)],
                capture_output=True, text=True, env=env, timeout=300)
            if process.returncode != 0 or not OUTPUT.exists():
                print(process.stdout[-3000:], process.stderr[-3000:])
                return 1
        finally:
            server.shutdown()
    print(f"wrote {OUTPUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
