"""The manager's self-update with the real pip, in a throwaway virtual environment.

The environment gets this build of corvane as a wheel; a package index on
loopback serves the JSON endpoint and a simple index holding a newer corvane.
Nothing leaves the machine.
"""

import base64
import hashlib
import importlib.metadata
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import harness
from faultserver import FaultServer

INSTALLED = importlib.metadata.version("corvane")
NEWER = "99.0.0"


def fake_wheel(folder, version, tag="py3-none-any"):
    """A pure-Python corvane wheel of `version` (enough for pip to install it)."""
    name = f"corvane-{version}-{tag}.whl"
    info = f"corvane-{version}.dist-info"
    files = {
        "corvane/__init__.py": b'"""corvane, newer."""\n',
        f"{info}/METADATA": f"Metadata-Version: 2.1\nName: corvane\nVersion: {version}\n".encode(),
        f"{info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = []
    for path, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    path = Path(folder) / name
    with zipfile.ZipFile(path, "w") as archive:
        for member, data in files.items():
            archive.writestr(member, data)
    return path


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A virtual environment with this build of corvane installed from a wheel."""
    root = tmp_path_factory.mktemp("selfupdate")
    wheels = root / "wheels"
    build = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
                            "-w", str(wheels), str(harness.REPO)], capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    environment = root / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(environment)], check=True)
    python = environment / "bin" / "python"
    install = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index", "--no-deps",
                              "--find-links", str(wheels), "corvane"], capture_output=True, text=True)
    assert install.returncode == 0, install.stderr
    # requests and its dependencies, borrowed from this environment through a path file.
    borrowed = root / "borrowed"
    borrowed.mkdir()
    # Its character-set detector is charset_normalizer, or chardet for requests before 2.26; Debian's
    # urllib3 before 2 imports six, a single file.
    detector = "charset_normalizer" if importlib.util.find_spec("charset_normalizer") else "chardet"
    six = ("six",) if importlib.util.find_spec("six") else ()
    for module in ("requests", "urllib3", "idna", "certifi", detector, *six):
        origin = Path(__import__(module).__file__)
        if origin.name != "__init__.py":
            shutil.copy(origin, borrowed)
            continue
        shutil.copytree(origin.parent, borrowed / module, ignore=shutil.ignore_patterns("__pycache__"))
    site = next((environment / "lib").glob("python3*/site-packages"))
    (site / "zz_borrowed.pth").write_text(f"{borrowed}\n{harness.STANDIN}\n")
    return python


@pytest.fixture
def index(tmp_path):
    server = FaultServer()
    wheel = fake_wheel(tmp_path, NEWER)
    server.put(f"/simple/corvane/{wheel.name}", wheel.read_bytes())
    server.put("/simple/corvane/", f'<html><body><a href="{wheel.name}">{wheel.name}</a></body></html>',
               content_type="text/html")
    yield server
    server.close()


def listing(index, wheel):
    index.put("/simple/corvane/", f'<html><body><a href="{wheel.name}">{wheel.name}</a></body></html>',
              content_type="text/html")
    index.put(f"/simple/corvane/{wheel.name}", wheel.read_bytes())


# Three Check Update presses while the service asks for the manager's update, then the
# Update Manager button while that update runs.
PRESSES = """
    import sys, threading, time
    import bpy
    import corvane.vesk as vesk
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": "tellmora", "title": "Tellmora"}])
    prefs.installed = {}
    vesk._vesk = prefs
    for press in range(3):
        vesk.operator("check_update")
    while "pip" not in sys.modules:  # the update has reached pip
        time.sleep(0.01)
    print("RESULT", vesk.update_package("corvane"))
    for thread in threading.enumerate():
        if thread is not threading.current_thread():
            thread.join()
    print("TIPS", prefs.addons[0].tips)
"""


def update(python, index, code=None):
    code = code or """
        import corvane.vesk as vesk
        print("RESULT", vesk.update_package("corvane"))
    """
    env = {"VESK_PACKAGE_INDEX_URL": index.url, "PIP_INDEX_URL": index.url + "/simple",
           "PIP_DISABLE_PIP_VERSION_CHECK": "1", "PYTHONPATH": "", "VESK_SERVICE_URL": index.url}
    run = subprocess.run([str(python), "-c", harness.textwrap.dedent(code)], capture_output=True, text=True,
                         env={**os.environ, **env}, timeout=300)
    result = [line for line in run.stdout.splitlines() if line.startswith("RESULT ")]
    assert run.returncode == 0 and result, run.stdout + run.stderr
    return result[0][len("RESULT "):], run


def installed_version(python):
    return subprocess.run([str(python), "-c", "import importlib.metadata as m; print(m.version('corvane'))"],
                          capture_output=True, text=True, env={**os.environ, "PYTHONPATH": ""}).stdout.strip()


def test_real_pip_self_update(venv, index):
    # The index names the version already installed: nothing to do.
    index.put("/pypi/corvane/json", json.dumps({"info": {"version": INSTALLED}}))
    assert update(venv, index)[0] == "Is using the latest version."
    assert not any(path.startswith("/simple") for path in index.requests)

    # An older release on the index is not installed over the newer one.
    index.put("/pypi/corvane/json", json.dumps({"info": {"version": "0.0.1"}}))
    assert update(venv, index)[0] == "Is using the latest version."
    assert installed_version(venv) == INSTALLED

    # The index names a release whose download fails: pip fails, and the user is told so.
    broken = "corvane-98.0.0-py3-none-any.whl"
    index.put("/pypi/corvane/json", json.dumps({"info": {"version": "98.0.0"}}))
    index.put("/simple/corvane/", f'<html><body><a href="{broken}">{broken}</a></body></html>',
              content_type="text/html")
    text, run = update(venv, index)
    assert text == "ERROR, Check in blender console"
    assert installed_version(venv) == INSTALLED

    # The newer release is for another Python only: Debian 12's pip says "Requirement already
    # satisfied" and ends well, having installed nothing; Debian 13's looks on and fails. Either
    # way the user must not read that the update happened.
    index.put("/pypi/corvane/json", json.dumps({"info": {"version": NEWER}}))
    listing(index, fake_wheel(venv.parent.parent, NEWER, "cp27-cp27mu-manylinux1_x86_64"))
    text, run = update(venv, index)
    assert text in (f"Update to {NEWER} failed: corvane {INSTALLED} stays installed.",
                    "ERROR, Check in blender console"), run.stdout + run.stderr
    assert installed_version(venv) == INSTALLED

    # A newer release: pip installs it, once however often it is asked meanwhile.
    listing(index, fake_wheel(venv.parent.parent, NEWER))
    index.put("/service.json", json.dumps({"url": index.url, "manager_update": 1}))
    index.put("/tellmora/index.json", json.dumps([{"version": [1, 0, 0], "md5": "0" * 32}]))
    index.requests.clear()
    text, run = update(venv, index, PRESSES)
    assert text == "An update of corvane is already under way.", run.stdout + run.stderr
    assert f"TIPS Update to {NEWER}, need to restart Blender." in run.stdout, run.stdout + run.stderr
    assert index.requests.count("/pypi/corvane/json") == 1 and index.requests.count("/simple/corvane/") == 1
    assert installed_version(venv) == NEWER
