"""Shared test harness: fresh interpreters, the stand-in, and Debian's Blender.

Debian's Blender runs as a separate executable on its own Python; it gets a
copy of the installed corvane package on its sys.path and temporary user
folders, and reports back through a JSON file.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

TESTS = Path(__file__).parent
REPO = TESTS.parent
sys.path.insert(0, str(REPO / "scripts"))
import profile_setup  # noqa: E402
STANDIN = TESTS / "standin_api"
BLENDER = shutil.which("blender", path="/usr/bin:/usr/local/bin")


def installed_corvane():
    """The installed package folder and its dist-info (the build under test)."""
    import importlib.metadata

    dist = importlib.metadata.distribution("corvane")
    package = Path(dist.locate_file("corvane"))
    info = Path(dist._path)  # the .dist-info folder
    return package, info


_site = None


def corvane_site():
    """A folder holding only corvane and its metadata, for another interpreter's sys.path."""
    global _site
    if _site is None:
        site = Path(tempfile.mkdtemp(prefix="corvane-site-"))
        package, info = installed_corvane()
        shutil.copytree(package, site / "corvane", ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copytree(info, site / info.name)
        _site = site
    return _site


def fresh_python(code, *, standin=True, env=None, timeout=120):
    """Runs `code` in a new interpreter (the stand-in first on its path when asked)."""
    environment = dict(os.environ)
    if standin:
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(STANDIN), environment.get("PYTHONPATH")]))
    environment.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=environment, timeout=timeout)


PRELUDE = """\
import json as _json, os as _os, sys as _sys
_sys.path.insert(0, {site!r})
_sys.path.insert(1, {tests!r})
def report(**values):
    path = _os.environ["CORVANE_TEST_REPORT"]
    old = {{}}
    if _os.path.exists(path):
        with open(path) as f:
            old = _json.load(f)
    old.update(values)
    with open(path, "w") as f:
        _json.dump(old, f)
"""


class BlenderRun:
    def __init__(self, process, report):
        self.process = process
        self.report = report
        self.output = process.stdout + process.stderr

    def __getitem__(self, key):
        return self.report[key]


blender_env = profile_setup.blender_env


def blender_version():
    """The running lane's Blender executable's version, e.g. (3, 4, 1)."""
    return profile_setup.blender_version()


def run_blender(script, home, *, env=None, timeout=240, check=True, make_scripts=True, interface=False, online=True):
    """Runs `script` in Debian's Blender, headless, with user folders under `home`; with
    `interface`, with its window and event loop on a virtual screen (xvfb-run). Blender
    4.2 and later start with online access on unless `online` is False.

    The script sees `report(**values)` to hand JSON values back. With `check`,
    a non-zero exit fails the test with Blender's output.
    """
    home = Path(home)
    home.mkdir(parents=True, exist_ok=True)
    (home / "config").mkdir(exist_ok=True)
    if make_scripts:
        (home / "scripts").mkdir(exist_ok=True)
    script_file = home / "script.py"
    script_file.write_text(PRELUDE.format(site=str(corvane_site()), tests=str(TESTS)) + textwrap.dedent(script))
    report_file = home / "report.json"
    if report_file.exists():
        report_file.unlink()
    environment = blender_env(home, env)
    environment["CORVANE_TEST_REPORT"] = str(report_file)
    wrapper, slower = profile_setup.blender_wrapper()
    screen = ["xvfb-run", "-a", "-s", "-screen 0 1280x800x24"] if interface else []
    command = screen + wrapper + [BLENDER] + ([] if interface else ["-b"]) + [
        "--factory-startup", *profile_setup.blender_options(online), "--python-exit-code", "3",
        "--python", str(script_file)]
    process = subprocess.run(command, capture_output=True, text=True, env=environment, timeout=timeout * slower,
                             cwd=str(home))
    report = json.loads(report_file.read_text()) if report_file.exists() else {}
    run = BlenderRun(process, report)
    if check and process.returncode != 0:
        raise AssertionError(f"Blender exited with {process.returncode}:\n{run.output[-6000:]}")
    return run
