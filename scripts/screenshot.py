"""Takes docs/host-preferences.png: the host add-on's preferences in Debian's
Blender, with Tellmora installed from a local server, under a virtual screen."""

import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import profile_setup as profile  # noqa: E402

from corvane import publish, serve  # noqa: E402

OUTPUT = profile.REPO / "docs" / "host-preferences.png"


def main():
    with tempfile.TemporaryDirectory(prefix="corvane-shot-") as temp:
        temp = Path(temp)
        dist, home = temp / "dist", temp / "profile"
        publish.publish(str(profile.TELLMORA_SOURCE), "1.0.0", str(dist))
        profile.install_into_profile(home)
        with serve.serve(str(dist), port=0, stream=open("/dev/null", "w")) as server:
            env = profile.blender_env(home, {"VESK_SERVICE_URL": server.url, "CORVANE_SCREENSHOT": str(OUTPUT),
                                             "CORVANE_DEMO_SOURCE": str(profile.TELLMORA_SOURCE),
                                             "CORVANE_DEMO_DIST": str(dist)})
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
            if not OUTPUT.exists():
                print(process.stdout[-3000:], process.stderr[-3000:])
                return 1
    print(f"wrote {OUTPUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
