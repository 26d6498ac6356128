"""A Blender user profile with corvane and the host add-on in it, and the
environment to run Debian's Blender (or the bpy module) on it."""

import importlib.metadata
import os
import shutil
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
HOST_SOURCE = REPO / "examples" / "corvane_host"
TELLMORA_SOURCE = REPO / "examples" / "tellmora"
BLENDER = shutil.which("blender", path="/usr/bin:/usr/local/bin") or "blender"


def install_into_profile(home):
    """Puts corvane (with its metadata) into the profile's scripts/modules, which
    Blender adds to sys.path at start-up, and the host add-on into scripts/addons."""
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
    shutil.copytree(HOST_SOURCE, addons / HOST_SOURCE.name, ignore=shutil.ignore_patterns("__pycache__"),
                    dirs_exist_ok=True)
    return home


def blender_wrapper():
    """The command Debian's Blender is started under, if any (CORVANE_BLENDER_WRAPPER, e.g. a
    valgrind command line: scripts/memcheck.sh), and the factor its time-outs grow by then."""
    import shlex

    return (shlex.split(os.environ.get("CORVANE_BLENDER_WRAPPER", "")),
            float(os.environ.get("CORVANE_BLENDER_TIMEOUT_FACTOR", "1")))


def blender_env(home, extra=None):
    """Debian's Blender takes its Python home from the first python3.11 on PATH: /usr/bin first."""
    home = Path(home)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    env["PATH"] = "/usr/bin:/bin:" + env.get("PATH", "")
    env["BLENDER_USER_CONFIG"] = str(home / "config")
    env["BLENDER_USER_SCRIPTS"] = str(home / "scripts")
    env.update(extra or {})
    return env
