"""Shared test harness: fresh interpreters, the stand-in, and Debian's Blender.

Debian's Blender runs as a separate executable on its own Python, started by the
session layer (scripts/blender/blender_session.py); it gets a copy of the installed
corvane package on its sys.path and temporary user folders, and reports back
through the session's one report.
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

TESTS = Path(__file__).parent
REPO = TESTS.parent
sys.path.insert(0, str(REPO / "scripts" / "blender"))
import blender_session as session  # noqa: E402
STANDIN = REPO / "scripts" / "blender" / "standin_api"
BLENDER = session.BLENDER
corvane_site = session.corvane_site
blender_env = session.blender_env
blender_version = session.blender_version


def fresh_python(code, *, standin=True, env=None, timeout=120):
    """Runs `code` in a new interpreter (the stand-in first on its path when asked)."""
    environment = dict(os.environ)
    if standin:
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(STANDIN), environment.get("PYTHONPATH")]))
    environment.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=environment, timeout=timeout)


def run_blender(script, home, *, env=None, timeout=240, check=True, make_scripts=True, interface=False, online=True,
                factory=True):
    """Runs `script` in Debian's Blender, headless, with user folders under `home`, corvane
    and the tests' helpers on its path; with `interface`, with its window and event loop on
    a virtual screen (xvfb-run). Blender 4.2 and later start with online access on unless
    `online` is False. Without `factory`, Blender starts from the preferences saved in the
    profile, as a user's Blender does.

    The script sees `report(**values)` to hand JSON values back. With `check`,
    a non-zero exit fails the test with Blender's output.
    """
    home = Path(home)
    home.mkdir(parents=True, exist_ok=True)
    if make_scripts:
        (home / "scripts").mkdir(exist_ok=True)
    return session.run("from blender_inside import report\n" + textwrap.dedent(script), home, env=env,
                       timeout=timeout, check=check, interface=interface, online=True if online else None,
                       factory=factory, path=[corvane_site(), TESTS, *session.SHARED], cwd=home)
