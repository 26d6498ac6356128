"""Steps run inside Debian's Blender by the kill test (tests/blender_exe/test_kill_exe.py).

CORVANE_KILL_PHASE=churn: enable the host add-on, then update Tellmora again and
again (uninstall, download, unpack, load, register), saving Blender's preferences
after each, until the test kills the process.
CORVANE_KILL_PHASE=verify: Blender started again on the same user folders. The
start-up thread registers Tellmora when the saved record says it is installed;
otherwise the add-on is installed again. Reports what came back (blender_inside.report).
"""

import hashlib
import json
import os
import sys
import threading
import time

import addon_utils
import blender_inside
import bpy

HOST = "corvane_host"
ADDON = "tellmora"


def say(*words):
    print("KILL|", *words, flush=True)


def host_preferences():
    if not addon_utils.check(HOST)[1]:
        # Killed before the preferences were ever saved: the host is not enabled yet.
        bpy.utils.refresh_script_paths()
        addon_utils.modules_refresh()
        addon_utils.enable(HOST, default_set=True)
    prefs = bpy.context.preferences.addons[HOST].preferences
    prefs.index = list(prefs.addons.keys()).index(ADDON)
    return prefs


def settle(seconds=60.0):
    """Waits for the start-up threads that the host's init started."""
    deadline = time.monotonic() + seconds
    while any(t is not threading.main_thread() and t.is_alive() for t in threading.enumerate()):
        if time.monotonic() > deadline:
            raise SystemExit("start-up threads still running")
        time.sleep(0.01)


def churn():
    prefs = host_preferences()
    settle()
    from corvane import vesk

    bpy.ops.wm.save_userpref()
    say("ready")
    for cycle in range(int(os.environ.get("CORVANE_KILL_CYCLES", "20"))):
        vesk.operator("update")
        say("updated", cycle, prefs.addons[ADDON].tips)
        bpy.ops.wm.save_userpref()
        say("saved", cycle)


def sha256(data):
    return hashlib.sha256(data if isinstance(data, bytes) else data.encode()).hexdigest()


def verify():
    prefs = host_preferences()
    record = prefs.addons[ADDON]
    saved = {"status": bool(record.status), "data": len(record.data)}
    settle()
    from corvane import vesk

    report = {"saved": saved, "came_back": ADDON in vesk._vesk.installed}
    if not report["came_back"]:
        vesk.operator("install")
    entry = vesk._vesk.installed.get(ADDON, {"ordered_classes": []})
    folder = os.path.join(bpy.utils.script_path_user(), "addons", ADDON)
    files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    report.update(
        status=bool(record.status), tips=record.tips, version=record.version, data=sha256(record.data),
        classes=sorted(c.__name__ for c in entry["ordered_classes"] if c.is_registered),
        files=[f for f in files if f != "__pycache__"],
        startup_files={f: sha256(open(os.path.join(folder, f), "rb").read())
                       for f in ("__init__.py", "auto_load.py") if f in files},
    )
    bpy.ops.tellmora.tell()
    report["told"] = bpy.context.scene.tellmora.last_message
    blender_inside.report(**report)
    say("verified", json.dumps(report))


{"churn": churn, "verify": verify}[os.environ["CORVANE_KILL_PHASE"]]()
sys.stdout.flush()
