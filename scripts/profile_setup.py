"""A Blender user profile with corvane and the host add-on in it, and the
environment to run Debian's Blender (or the bpy module) on it."""

import functools
import importlib.metadata
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
HOST_SOURCE = REPO / "examples" / "corvane_host"
TELLMORA_SOURCE = REPO / "examples" / "tellmora"
BLENDER = shutil.which("blender", path="/usr/bin:/usr/local/bin") or "blender"


def install_into_profile(home, managed_addons=None, service_url=None):
    """Puts corvane (with its metadata) into the profile's scripts/modules, which
    Blender adds to sys.path at start-up, and the host add-on into scripts/addons;
    `managed_addons` and `service_url`, when given, replace the host's two constants."""
    home = Path(home)
    modules = home / "scripts" / "modules"
    addons = home / "scripts" / "addons"
    modules.mkdir(parents=True, exist_ok=True)
    addons.mkdir(parents=True, exist_ok=True)
    (home / "config").mkdir(exist_ok=True)
    dist = importlib.metadata.distribution("corvane")
    package = Path(dist.locate_file("corvane"))
    shutil.copytree(package, modules / "corvane", ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True)
    shutil.copytree(Path(dist._path), modules / Path(dist._path).name, dirs_exist_ok=True)
    host = addons / HOST_SOURCE.name
    shutil.copytree(HOST_SOURCE, host, ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True)
    init = host / "__init__.py"
    text = init.read_text()
    for constant, value in (("MANAGED_ADDONS", managed_addons and tuple(managed_addons)), ("SERVICE_URL", service_url)):
        if value is not None:
            text, count = re.subn(rf"^{constant} = .*$", f"{constant} = {value!r}", text, count=1, flags=re.MULTILINE)
            assert count == 1, f"{init} has no {constant}"
    init.write_text(text)
    return home


def blender_wrapper():
    """The command Debian's Blender is started under, if any (CORVANE_BLENDER_WRAPPER, e.g. a
    valgrind command line: scripts/memcheck.sh), and the factor its time-outs grow by then."""
    import shlex

    return (shlex.split(os.environ.get("CORVANE_BLENDER_WRAPPER", "")),
            float(os.environ.get("CORVANE_BLENDER_TIMEOUT_FACTOR", "1")))


def blender_env(home, extra=None):
    """Debian's Blender takes its Python home from the first python3.x on PATH: /usr/bin first.
    Every user folder it knows (4.2 and later: extensions too), and its home, lies under `home`."""
    home = Path(home)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    env["PATH"] = "/usr/bin:/bin:" + env.get("PATH", "")
    env["BLENDER_USER_CONFIG"] = str(home / "config")
    env["BLENDER_USER_SCRIPTS"] = str(home / "scripts")
    env["BLENDER_USER_EXTENSIONS"] = str(home / "extensions")
    # Blender before 3.0 ignores BLENDER_USER_SCRIPTS while that folder does not exist yet
    # and takes the home folder's: that is under `home` too.
    env["HOME"] = str(home)
    env.update(extra or {})
    return env


@functools.lru_cache(maxsize=None)
def blender_version():
    """Debian's Blender's version, e.g. (3, 4, 1) or (4, 3, 2)."""
    with tempfile.TemporaryDirectory(prefix="corvane-version-") as home:
        output = subprocess.run([BLENDER, "--version"], capture_output=True, text=True, env=blender_env(home),
                                timeout=120).stdout
    found = re.search(r"^Blender (\d+)\.(\d+)\.(\d+)", output, re.MULTILINE)
    if not found:
        raise RuntimeError(f"{BLENDER} --version names no version:\n{output}")
    return tuple(map(int, found.groups()))


def blender_options(online=True):
    """Options for every run of Debian's Blender: from 4.2 on, add-ons stay off the network
    unless online access is on, and a factory profile has it off."""
    return ["--online-mode"] if online and blender_version() >= (4, 2) else []


def allow_online_access(bpy):
    """The same for the bpy module, which takes no command line: the preference, which
    bpy.app.online_access follows at once."""
    if hasattr(bpy.app, "online_access"):
        bpy.context.preferences.system.use_online_access = True
