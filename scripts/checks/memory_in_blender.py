"""Runs inside Debian's Blender (scripts/checks/memory.py starts it): install, update and
uninstall Tellmora through the host add-on CORVANE_MEMORY_ROUNDS times in this one
process, measuring after every round (and once before the first) the resident
memory (/proc/self/statm) and sys.getallocatedblocks(), after gc.collect().

Then the baseline, in the same process: the same rounds without corvane, in plain
Python: Tellmora's start-up files written into the add-ons folder, its other
modules executed from its sources, its classes registered, its hooks run, Blender's
add-on list refreshed and the add-on enabled, its operator run; then everything
taken down and the add-on removed with Blender's operator; twice per round, as
install and update do. Blender keeps every property group class that was ever
registered, and its add-on operators keep a little per call, so both curves of
allocated blocks climb; the baseline shows by how much without corvane.

Reports the samples (blender_inside.report). A step that does not do
what it says raises, so Blender exits non-zero.
"""

import gc
import os
import resource
import sys
import time
import types

import addon_utils
import bpy
from blender_inside import HOST, enable_host, report

ADDON = "tellmora"
PAGE = resource.getpagesize()


def measure():
    gc.collect()
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * PAGE
    return {"rss": resident, "blocks": sys.getallocatedblocks(), "objects": len(gc.get_objects()),
            "modules": len(sys.modules)}


def check(condition, what):
    if not condition:
        raise SystemExit(f"memory round failed: {what}")


def classes_alive(name):
    return sum(1 for o in gc.get_objects() if issubclass(type(o), type) and o.__name__ == name)


SOURCE = os.environ.get("CORVANE_MEMORY_SOURCE", "")
BASELINE_MODULES = ("helper", "props", "ops", "panels")


def baseline_registration():
    """What one install amounts to in Blender, without corvane."""
    folder = os.path.join(bpy.utils.script_path_user(), "addons", ADDON)
    os.makedirs(folder, exist_ok=True)
    for start_up in ("__init__.py", "auto_load.py"):
        with open(os.path.join(SOURCE, start_up)) as source, open(os.path.join(folder, start_up), "w") as target:
            target.write(source.read())
    modules = []
    for short in BASELINE_MODULES:
        module = types.ModuleType(f"{ADDON}.{short}")
        module.__package__ = ADDON
        sys.modules[module.__name__] = module
        with open(os.path.join(SOURCE, short + ".py")) as source:
            exec(compile(source.read(), module.__name__, "exec"), module.__dict__)
        modules.append(module)
    classes = [modules[1].TELLMORA_PG_settings, modules[2].TELLMORA_OT_tell, modules[3].TELLMORA_PT_main,
               modules[3].TELLMORA_PT_details]
    for cls in classes:
        bpy.utils.register_class(cls)
    for module in modules:
        if hasattr(module, "register"):
            module.register()
        del sys.modules[module.__name__]
    addon_utils.modules_refresh()
    bpy.ops.preferences.addon_enable(module=ADDON)
    return modules, classes


def baseline_unregistration(modules, classes):
    for cls in reversed(classes):
        bpy.utils.unregister_class(cls)
    for module in modules:
        if hasattr(module, "unregister"):
            module.unregister()
    try:
        bpy.ops.preferences.addon_remove(module=ADDON)
    except Exception:
        pass  # as the manager does: without a window, the operator fails after removing the add-on


def baseline(rounds):
    samples = [measure()]
    for _ in range(rounds):
        loaded = baseline_registration()
        bpy.ops.tellmora.tell()
        baseline_unregistration(*loaded)
        baseline_unregistration(*baseline_registration())
        samples.append(measure())
    return samples


def main():
    rounds = int(os.environ["CORVANE_MEMORY_ROUNDS"])
    prefs = enable_host(ADDON)
    from corvane import vesk

    record = prefs.addons[ADDON]
    samples = [measure()]
    started = time.monotonic()
    for number in range(1, rounds + 1):
        vesk.operator("install")
        check(record.tips == "INSTALLED" and ADDON in vesk._vesk.installed, f"round {number}: installed")
        bpy.ops.tellmora.tell()
        vesk.operator("update")
        check(record.tips == "INSTALLED" and record.status, f"round {number}: updated")
        vesk.operator("uninstall")
        check(not record.status and ADDON not in vesk._vesk.installed, f"round {number}: uninstalled")
        samples.append(measure())
    seconds = time.monotonic() - started
    kept = classes_alive("TELLMORA_PG_settings")
    addon_utils.disable(HOST)
    for name in [n for n in sys.modules if n == ADDON or n.startswith(ADDON + ".")]:
        del sys.modules[name]  # the package Blender imported when enabling the add-on
    started = time.monotonic()
    base = baseline(rounds)
    report(samples=samples, seconds=seconds, classes_kept=kept, baseline=base,
           baseline_seconds=time.monotonic() - started,
           baseline_classes_kept=classes_alive("TELLMORA_PG_settings") - kept)


main()
