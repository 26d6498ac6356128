"""Where this host's corvane comes from, and how it is updated.

Three ways the host reaches Blender:
- the legacy zip (Blender 2.83 to 4.1, Install from Disk): corvane travels inside the
  host, in lib/<platform>/, built for each interpreter (Python picks the build named
  for it), so enabling the host needs no network and no terminal;
- the extension (Blender 4.2+): Blender installs the wheel the extension carries;
- a developer's profile: corvane installed into Blender's Python (the demo's way).

In the first two, corvane is part of the host's release: a newer corvane comes with a
newer release of the host, installed through Blender, not with pip into Blender's
Python, where the host's own copy would hide it.
"""

import importlib.machinery
import os
import platform
import re
import sys

LIB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib")
_MACHINES = {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64"}
_SYSTEMS = {"darwin": "macos"}


def platform_name():
    """This machine in the extension platforms' names: linux-x64, macos-arm64, windows-x64."""
    system = platform.system().lower()
    machine = platform.machine().lower()
    return f"{_SYSTEMS.get(system, system)}-{_MACHINES.get(machine, machine)}"


def _interpreter_of_build(name):  # vesk.cpython-311-....so or vesk.cp311-win_amd64.pyd: 3, 11
    return re.match(r"vesk\.(?:cpython-|cp)(\d)(\d+)", name)


def use_own_copy():
    """Puts the legacy zip's copy of corvane for this platform first on sys.path."""
    if not os.path.isdir(LIB):
        return
    own = os.path.join(LIB, platform_name())
    if not os.path.isdir(own):
        raise ImportError(f"this release of the host carries no corvane for {platform_name()} "
                          f"(it has: {', '.join(sorted(os.listdir(LIB)))})")
    builds = os.listdir(os.path.join(own, "corvane"))
    # The names this interpreter imports the module by (vesk.cpython-311-x86_64-linux-gnu.so, ...).
    if not {"vesk" + suffix for suffix in importlib.machinery.EXTENSION_SUFFIXES}.intersection(builds):
        carried = sorted(f"{found[1]}.{found[2]}" for found in map(_interpreter_of_build, builds) if found)
        raise ImportError(f"this release of the host carries no corvane for Python {sys.version_info[0]}."
                          f"{sys.version_info[1]} on {platform_name()} (it has: {', '.join(carried)})")
    if own not in sys.path:
        sys.path.insert(0, own)


def route_manager_updates(vesk):
    """In a packaged host, the manager's self-update (the Update Manager button, or a
    server's manager_update flag) answers with update_note() instead of running pip."""
    note = update_note()
    if note:
        vesk.update_package = lambda package: note
    return note


def update_note():
    """What to tell the user who asks the manager to update itself, when this form of
    the host updates through Blender instead; None when pip does it."""
    if __package__.startswith("bl_ext."):
        return ("corvane comes with this extension and updates with it: "
                "install the host's new release through Blender's extensions")
    if os.path.isdir(LIB):
        return ("corvane comes with this add-on and updates with it: "
                "install the host's new release with Install from Disk")
    return None
