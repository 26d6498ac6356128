"""The demo's two Blender sessions, run inside Blender (the executable or the bpy module).

CORVANE_DEMO_PHASE=first: enable the host add-on, install Tellmora, use it, publish
1.1.0, check for the update, update, show the version, shut down (preferences saved).
CORVANE_DEMO_PHASE=offline: a new Blender on the same user folders, its server out of
reach (stopped, silent, or online access off): the start-up thread registers Tellmora
from the bundle cached in the preferences all the same; its operator runs; shut down.
CORVANE_DEMO_PHASE=second: a new Blender on the same user folders: the start-up
thread registers Tellmora again from the bundle cached in the preferences; uninstall.

The manager's actions are the host's buttons (bpy.ops.corvane.action).
CORVANE_DEMO_PACKAGE names a packaged host to install first with Blender's own
installer, as a user does: a legacy zip (Install from Disk) or, for the host module
CORVANE_DEMO_HOST=bl_ext.user_default.corvane_host, an extension.

Each step prints what it shows; a step that does not do what it says raises, so
Blender exits non-zero. CORVANE_REPORT, when set, receives the states as JSON (the session's report;
blender_inside is not imported: nothing of the checkout is on this sys.path).
"""

import json
import os
import sys
import time

import addon_utils
import bpy

HOST = os.environ.get("CORVANE_DEMO_HOST", "corvane_host")  # the host add-on's module
PACKAGE = os.environ.get("CORVANE_DEMO_PACKAGE")
ADDON = "tellmora"
OTHER = os.environ.get("CORVANE_DEMO_OTHER")  # a second add-on the host manages
FIELDS = ("name", "title", "status", "update", "version", "tips")
TELLMORA_CLASSES = ("TELLMORA_PG_settings", "TELLMORA_OT_tell", "TELLMORA_PT_main", "TELLMORA_PT_details")

report = {}


def say(text=""):
    print("DEMO| " + text, flush=True)


def step(title):
    say()
    say("== " + title)


def check(condition, what):
    if not condition:
        raise SystemExit(f"demo step failed: {what}")


def record(name=ADDON):
    prefs = bpy.context.preferences.addons[HOST].preferences
    return prefs.addons[name]


def state(label, name=ADDON):
    values = {field: getattr(record(name), field) for field in FIELDS}
    values["data"] = len(record(name).data)
    report[label] = values
    shown = ", ".join(f"{k}={v!r}" for k, v in values.items() if k != "data")
    say(f"record: {shown}, data={values['data']} characters cached")
    return values


_seen_classes = []


def registered_classes():
    """Tellmora's classes that Blender has registered, in the manager's registration order."""
    from corvane import vesk

    # The manager's registry is the host's preferences, which Blender frees when the host
    # is disabled: read it only while the host is enabled (bpy 5.2 crashes on a freed one).
    entry = vesk._vesk.installed.get(ADDON) if addon_utils.check(HOST)[1] else None
    if entry is not None:
        _seen_classes[:] = [c for c in entry["ordered_classes"] if c not in _seen_classes] + _seen_classes
    return [c.__name__ for c in _seen_classes if c.is_registered]


def addon_files():
    folder = os.path.join(bpy.utils.script_path_user(), "addons", ADDON)
    return sorted(f for f in os.listdir(folder) if f != "__pycache__") if os.path.isdir(folder) else []


def tell():
    bpy.ops.tellmora.tell()
    message = bpy.context.scene.tellmora.last_message
    say(f"bpy.ops.tellmora.tell() -> {message!r}")
    return message


def press(action):
    """The host's button for `action`."""
    result = bpy.ops.corvane.action(action=action)
    check(result == {"FINISHED"}, f"the {action} button finishes ({result})")


def install_package():
    """The packaged host installed with Blender's own installer, as a user installs it."""
    if HOST.startswith("bl_ext."):
        result = bpy.ops.extensions.package_install_files(filepath=PACKAGE, repo="user_default",
                                                          enable_on_install=True)
    else:
        result = bpy.ops.preferences.addon_install(filepath=PACKAGE)
    say(f"installed {os.path.basename(PACKAGE)}: {result}")
    check(result == {"FINISHED"}, "Blender installs the package")


def where_corvane_is():
    from corvane import vesk

    report["corvane_file"] = vesk.__file__
    # The bpy module's own interpreter (its prefix) may lie anywhere, the checkout included.
    report["sys_path"] = [p for p in sys.path if not p.startswith(sys.prefix)]
    say(f"corvane.vesk imported from {vesk.__file__}")


def select(name=ADDON):
    prefs = bpy.context.preferences.addons[HOST].preferences
    prefs.index = list(prefs.addons.keys()).index(name)
    return prefs


def first():
    if PACKAGE:
        step(f"Install the host from {os.path.basename(PACKAGE)} with Blender's installer")
        install_package()
    else:
        # The profile's folders were made after this Blender started: put them on sys.path.
        bpy.utils.refresh_script_paths()
    step("Enable the host add-on: corvane.vesk starts and creates the add-on records")
    addon_utils.modules_refresh()
    if not addon_utils.check(HOST)[1]:
        check(addon_utils.enable(HOST, default_set=True) is not None, "the host add-on enables")
    check(addon_utils.check(HOST)[1], "the host add-on is enabled")
    from corvane import vesk

    where_corvane_is()
    prefs = select()
    say(f"managed add-ons: {list(prefs.addons.keys())}")
    state("initial")
    check(not record().status, "Tellmora starts out not installed")

    step("Install Tellmora (the host's Install button)")
    press("install")
    values = state("installed")
    check(values["status"] and values["tips"] == "INSTALLED" and values["version"] == "1.0.0", "installed 1.0.0")
    classes = registered_classes()
    say(f"Tellmora's classes registered with Blender, in order: {classes}")
    check(sorted(classes) == sorted(TELLMORA_CLASSES), "every Tellmora class is registered")
    check(classes.index("TELLMORA_PG_settings") < classes.index("TELLMORA_OT_tell") and
          classes.index("TELLMORA_PT_main") < classes.index("TELLMORA_PT_details"), "dependencies come first")
    report["first_message"] = tell()
    check(report["first_message"].startswith("The scene holds"), "the operator runs")
    report["files"] = addon_files()
    say(f"files in the add-on folder: {report['files']}")
    check(report["files"] == ["__init__.py", "auto_load.py"], "only the start-up modules are on disk")
    enabled = addon_utils.check(ADDON)
    say(f"Blender's add-on list: Tellmora loaded={enabled[0]}, enabled={enabled[1]}")
    report["enabled_after_install"] = list(enabled)

    if OTHER:
        step(f"Install {OTHER} too: the host names it beside Tellmora, and the server, in its constants")
        select(OTHER)
        report["other_before"] = state("other_before", OTHER)
        press("install")
        values = state("other", OTHER)
        del values["data"]
        check(values["status"] and values["tips"] == "INSTALLED", f"{OTHER} is installed")
        check(values["title"] != report["other_before"]["title"], "the record shows the add-on's own name")
        select()

    step("The maker publishes Tellmora 1.1.0")
    from corvane import publish

    release = publish.publish(os.environ["CORVANE_DEMO_SOURCE"], "1.1.0", os.environ["CORVANE_DEMO_DIST"])
    version = ".".join(map(str, release["version"])) if isinstance(release["version"], list) else release["version"]
    say(f"published {release['name']} {version} as {os.path.basename(release['archive'])}")

    step("Check for an update (the Check Update button)")
    press("check_update")
    values = state("checked")
    check(values["update"] and values["tips"] == "Available update: 1.1.0", "the update is found")

    step("Update (the Update button): uninstall, then install the new release")
    press("update")
    values = state("updated")
    check(values["version"] == "1.1.0" and values["tips"] == "INSTALLED" and not values["update"], "updated")
    check(sorted(registered_classes()) == sorted(TELLMORA_CLASSES), "the classes are registered again")
    tell()

    step("The manager's version (the Version button)")
    press("version")
    report["version"] = vesk.operator("version")
    say(report["version"])
    check(report["version"].startswith("Version: "), "the version is reported")

    if PACKAGE:
        step("Update Manager: corvane came with the host, and updates with the host's releases")
        press("update_manager")
        note = record().tips
        say(f"the host says: {note}")
        report["manager_update_note"] = note
        check(note == sys.modules[HOST].bundled.update_note(), "the host says how it updates, and pip does not run")
        check(vesk.operator("version") == report["version"], "the manager's version stands")

    step("Shut down: the host add-on stops, Blender's preferences are saved")
    addon_utils.disable(HOST)
    check(not registered_classes(), "Tellmora's classes are unregistered at shut-down")
    say("preferences saved to " + bpy.utils.user_resource("CONFIG"))


def wait_for_startup_registration(vesk, seconds=60.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        registry = vesk._vesk
        if registry is not None and ADDON in getattr(registry, "installed", {}):
            return True
        time.sleep(0.05)
    return False


OFFLINE_TIPS = "Offline: running from the saved copy; updates were not checked."


def started_again(title, registers, where=False):
    """A Blender started on the same user folders: the host enabled from the saved
    preferences and its start-up thread's registration waited for."""
    from corvane import vesk

    step(title)
    if not addon_utils.check(HOST)[1]:
        # The bpy module does not read the user's preferences by itself.
        bpy.ops.wm.read_userpref()
    check(addon_utils.check(HOST)[1], "the host add-on is enabled from the saved preferences")
    if where:
        where_corvane_is()
    select()
    check(wait_for_startup_registration(vesk), registers)
    return vesk


def offline():
    started_again("Blender starts again, its server out of reach",
                  "the start-up thread registers Tellmora from its saved copy")
    values = state("offline")
    check(values["status"] and values["version"] == "1.1.0" and values["data"] > 0, "the record is kept whole")
    say(f"the host's panel shows under Tips: {values['tips']!r}")
    check(values["tips"] == OFFLINE_TIPS, "the user reads that the saved copy runs")
    check(sorted(registered_classes()) == sorted(TELLMORA_CLASSES), "every class is registered")
    report["offline_message"] = tell()
    report["offline_told_at"] = time.time()
    check(report["offline_message"].startswith("The scene holds"), "the operator runs")

    step("Shut down: the preferences are saved with the record as it is")
    if "CORVANE_DEMO_SAVE_ONLINE" in os.environ and not getattr(bpy.app, "online_access_override", True):
        # The bpy module (no command line to set it) takes online access from the saved
        # preferences: saved as the next start is to have it.
        bpy.context.preferences.system.use_online_access = os.environ["CORVANE_DEMO_SAVE_ONLINE"] == "1"
    addon_utils.disable(HOST)


def second():
    vesk = started_again("Blender starts again on the same user folders", "the start-up thread registers Tellmora",
                         where=True)
    values = state("restarted")
    check(values["status"] and values["version"] == "1.1.0" and values["data"] > 0, "Tellmora is back")
    classes = registered_classes()
    say(f"registered again from the cached bundle: {classes}")
    check(sorted(classes) == sorted(TELLMORA_CLASSES), "every class is back")
    report["second_message"] = tell()

    step("Uninstall (the Uninstall button)")
    press("uninstall")
    values = state("uninstalled")
    check(not values["status"] and values["version"] == "" and values["data"] == 0, "the record is reset")
    check(not registered_classes(), "the classes are gone")
    check(ADDON not in vesk._vesk.installed, "the manager forgot Tellmora")
    report["enabled_after_uninstall"] = list(addon_utils.check(ADDON))
    say(f"Blender's add-on list: Tellmora enabled={report['enabled_after_uninstall'][1]}")


def main():
    phase = os.environ["CORVANE_DEMO_PHASE"]
    try:
        {"first": first, "offline": offline, "second": second}[phase]()
        report["ok"] = True
    finally:
        if os.environ.get("CORVANE_REPORT"):
            with open(os.environ["CORVANE_REPORT"], "w") as out:
                json.dump(report, out)
        sys.stdout.flush()


main()
