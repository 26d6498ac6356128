"""Imports corvane.vesk into Debian's Blender, headless, and prints what it holds."""

import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import harness  # noqa: E402

SCRIPT = """
import bpy, importlib.metadata
import corvane.vesk as vesk
print("corvane", importlib.metadata.version("corvane"), "in Blender", bpy.app.version_string)
print("registry _vesk:", vesk._vesk)
print("functions:", [n for n, v in vars(vesk).items() if callable(v) and getattr(v, "__module__", "") == "corvane.vesk"
                     and not isinstance(v, type)])
print("record fields:", list(vesk.VESKAddonData.__annotations__))
print("translations:", {k: len(v) for k, v in vesk.langs.items()})
print(vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."]).message)
"""


def main():
    with tempfile.TemporaryDirectory(prefix="corvane-demo-") as home:
        run = harness.run_blender(SCRIPT, home, check=False)
        lines = [line for line in run.process.stdout.splitlines() if not line.startswith(("Blender", "Read "))]
        print("\n".join(line for line in lines if line.strip()))
        if run.process.returncode != 0:
            print(run.process.stderr, file=sys.stderr)
        return run.process.returncode


if __name__ == "__main__":
    sys.exit(main())
