"""Checks that run inside a real Blender, either one: the package index's bpy
in-process or Debian's Blender executable (imported there by the test script)."""

import os
import sys
from pathlib import Path

HOST_NAME = "corvane_test_host"

# A minimal host add-on: its preferences hold the records, as a maker's host does.
HOST_SOURCE = '''
bl_info = {"name": "corvane test host", "blender": (3, 0, 0), "category": "System"}
import bpy
from corvane import vesk


class HostPreferences(bpy.types.AddonPreferences):
    bl_idname = __name__
    addons: bpy.props.CollectionProperty(type=vesk.VESKAddonData)
    index: bpy.props.IntProperty()


def register():
    # The record's field declarations are text naming the module's globals.
    hints = vesk.VESKAddonData.__annotations__
    vesk.VESKAddonData.__annotations__ = {k: eval(v, vars(vesk)) if isinstance(v, str) else v
                                          for k, v in hints.items()}
    bpy.utils.register_class(vesk.VESKAddonData)
    bpy.utils.register_class(HostPreferences)


def unregister():
    bpy.utils.unregister_class(HostPreferences)
    bpy.utils.unregister_class(vesk.VESKAddonData)
'''


def install_host(scripts_dir):
    folder = Path(scripts_dir) / "addons" / HOST_NAME
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "__init__.py").write_text(HOST_SOURCE)


def enable_host():
    import addon_utils
    import bpy

    # The add-ons folder was made after start-up: let Blender put it on sys.path.
    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    module = addon_utils.enable(HOST_NAME, default_set=True)
    assert module is not None, "the test host add-on did not enable"
    return bpy.context.preferences.addons[HOST_NAME].preferences


def chinese_locale(version):
    """Simplified Chinese's locale key: Blender 4 renamed zh_CN to zh_HANS."""
    return "zh_HANS" if tuple(version) >= (4, 0) else "zh_CN"


def frame_facts():
    """What the module frame shows in this Blender, as plain values."""
    import bpy
    import corvane.vesk as vesk

    annotations = dict(vesk.VESKAddonData.__annotations__)
    prefs = enable_host()
    record = prefs.addons.add()
    facts = {
        "blender": list(bpy.app.version),
        "langs_keys": list(vesk.langs),
        "langs_rows": [[list(k), v] for k, v in next(iter(vesk.langs.values())).items()],
        "vesk_is_none": vesk._vesk is None,
        "props_are_blenders": vesk.StringProperty is bpy.props.StringProperty
        and vesk.BoolProperty is bpy.props.BoolProperty,
        "record_is_property_group": issubclass(vesk.VESKAddonData, bpy.types.PropertyGroup),
        "record_metaclass_is_blenders": type(vesk.VESKAddonData) is type(bpy.types.PropertyGroup),
        "annotation_texts": list(annotations.values()),
        "new_record": {f: getattr(record, f) for f in ("name", "title", "status", "update", "version", "data", "tips")},
        "records": len(prefs.addons),
        "index": prefs.index,
    }
    bpy.app.translations.register(vesk.__name__, vesk.langs)
    bpy.app.translations.unregister(vesk.__name__)
    facts["translations_accepted"] = True
    return facts


EXPECTED_ANNOTATIONS = [
    "StringProperty(name='Name')", "StringProperty(name='Title')", "BoolProperty(name='Install status')",
    "BoolProperty(name='Update Available')", "StringProperty(name='Version')", "StringProperty(name='Data')",
    "StringProperty(name='Tips')", "StringProperty(name='Compiled code')",
]


def assert_frame_facts(facts):
    assert facts["langs_keys"] == [chinese_locale(facts["blender"])]
    assert [row[0] for row in facts["langs_rows"]] == [
        ["Operator", "Check Update"], ["Operator", "Preferences"], ["*", "Tellmora"], ["*", "Tips"]]
    assert facts["langs_rows"][0][1] == "检查更新" and facts["langs_rows"][3][1] == "提示"
    assert facts["vesk_is_none"] and facts["props_are_blenders"]
    assert facts["record_is_property_group"] and facts["record_metaclass_is_blenders"]
    assert facts["annotation_texts"] == EXPECTED_ANNOTATIONS
    assert facts["new_record"] == {"name": "", "title": "", "status": False, "update": False,
                                   "version": "", "data": "", "tips": ""}
    assert facts["records"] == 1 and facts["index"] == 0
    assert facts["translations_accepted"]


def user_scripts():
    return os.environ["BLENDER_USER_SCRIPTS"]


# ---- start-up, shut-down, add-ons directory and package loading ----------------------

# The add-on both Blenders load, as source files for the publisher: a relative import
# of an earlier sibling, non-ASCII text and a single 0x0B byte.
PACKAGE_INIT = "T = '\u00e9\u6f22 \x0b'\n"
PACKAGE_SOURCES = {
    "__init__.py": PACKAGE_INIT,
    "auto_load.py": "# start-up helper\n",
    "a.py": "VALUE = 1\n",
    "b.py": "from . import a\nVALUE = a.VALUE + 1\n",
}


def _started_threads(before):
    import threading

    return [t for t in threading.enumerate() if t not in before and t is not threading.current_thread()]


def lifecycle_facts(url):
    """init, get_addons_path, __import_module__ from `url` and unregister_all against the
    test host's real preferences, with the interface in Chinese. `register` and
    `unregister` arrive with their own issue; stand-ins take their place in the
    module's namespace here."""
    import sys
    import threading

    import bpy
    import corvane.vesk as vesk

    prefs = enable_host()
    prefs.addons.clear()
    view = bpy.context.preferences.view
    try:
        view.language = chinese_locale(bpy.app.version)
        view.use_translate_interface = True
    except TypeError:
        pass  # a Blender built without its locales
    translate = bpy.app.translations.pgettext_iface

    earlier = prefs.addons.add()
    earlier.name, earlier.title, earlier.status = "other", "Other", True
    registered = []
    saved = {name: vars(vesk).get(name) for name in ("register", "unregister")}
    vesk.register = lambda addon: registered.append(
        [addon.name, threading.current_thread() is not threading.main_thread()])
    vesk.unregister = lambda name: registered.append(["unregister", name])
    try:
        before = set(threading.enumerate())
        vesk.init(prefs)
        for thread in _started_threads(before):
            thread.join(30)
        facts = {
            # The package index's bpy is built without translations (no locales, and
            # bpy.app.translations.register accepts anything); Debian's Blenders with them.
            "international": bpy.app.build_options.international,
            "records": [[r.name, r.title, r.status] for r in prefs.addons],
            "registered": list(registered),
            "vesk_is_prefs": vesk._vesk is prefs and vesk._vesk.installed == {},
            "translated": translate("Tips"),
        }
        before = set(threading.enumerate())
        try:
            vesk.init(prefs)
            facts["second_init"] = "accepted"
        except ValueError as error:
            facts["second_init"] = str(error)
        for thread in _started_threads(before):
            thread.join(30)
        facts["registered_after_second_init"] = list(registered)

        addons_path = vesk.get_addons_path()
        facts["addons_path"] = addons_path == bpy.utils.script_path_user() + os.sep + "addons"
        facts["addons_on_sys_path"] = addons_path in sys.path

        record = prefs.addons["tellmora"]
        modules = vesk.__import_module__("tellmora", url)
        facts["loaded"] = [[m.__name__, getattr(m, "VALUE", None)] for m in modules]
        facts["record"] = {"version": record.version, "data": record.data}
        home = Path(addons_path) / "tellmora"
        facts["files"] = sorted(p.name for p in home.iterdir() if p.name != "__pycache__")
        facts["init_py"] = (home / "__init__.py").read_text(encoding="utf-8")
        facts["cached"] = [m.__name__ for m in vesk.__import_module__("tellmora", url)]
        for name in [n for n in sys.modules if n == "tellmora" or n.startswith("tellmora.")]:
            del sys.modules[name]

        del registered[:]
        prefs.installed = {"tellmora": {"unregister": [], "ordered_classes": []}, "other": {}}
        userpref = Path(os.environ["BLENDER_USER_CONFIG"]) / "userpref.blend"
        if userpref.exists():
            userpref.unlink()
        vesk.unregister_all()
        facts["unregistered"] = list(registered)
        facts["userpref_saved"] = userpref.exists()
        facts["translated_after"] = translate("Tips")
        return facts
    finally:
        for name, value in saved.items():
            if value is None:
                vars(vesk).pop(name, None)
            else:
                setattr(vesk, name, value)


SECOND_TRANSLATIONS = ("bpy.app.translations.register: translations message cache already contains some data for "
                       "addon 'corvane.vesk'")


def assert_lifecycle_facts(facts, bundle, server_requests):
    second_init = SECOND_TRANSLATIONS if facts["international"] else "accepted"
    assert facts["translated"] == ("提示" if facts["international"] else "Tips")
    assert facts["records"] == [["other", "Other", True], ["tellmora", "Tellmora", False]]
    assert facts["registered"] == [["other", True]]
    assert facts["registered_after_second_init"] == [["other", True]] * (2 if second_init == "accepted" else 1)
    assert facts["vesk_is_prefs"]
    assert facts["second_init"] == second_init
    assert facts["addons_path"] and facts["addons_on_sys_path"]
    assert facts["loaded"] == [["tellmora.a", 1], ["tellmora.b", 2]]
    assert facts["record"] == {"version": "1.2.0", "data": bundle}
    assert facts["files"] == ["__init__.py", "auto_load.py"]
    assert facts["init_py"] == PACKAGE_INIT
    assert facts["cached"] == ["tellmora.a", "tellmora.b"]
    assert len(server_requests) == 2  # index and archive once; the second load used the cache
    assert facts["unregistered"] == [["unregister", "tellmora"], ["unregister", "other"]]
    assert facts["userpref_saved"]
    assert facts["translated_after"] == "Tips"


# ---- Blender's online-access switch (4.2 and later) ----------------------------------

OFFLINE_MARK = "/from-here-online-access-is-off"


def offline_facts(url):
    """Tellmora installed from `url` with online access on; then online access off: a
    registration (as at a start), a check, an update and a self-update check, each asked
    of the module once. The
    request for OFFLINE_MARK divides the server's log. Runs where the service address and
    the package index are `url` (VESK_SERVICE_URL, VESK_PACKAGE_INDEX_URL)."""
    import threading
    import urllib.error
    import urllib.request

    import bpy
    import corvane.vesk as vesk

    if not hasattr(bpy.app, "online_access"):
        return {"switch": False}
    system = bpy.context.preferences.system
    system.use_online_access = True
    facts = {"switch": True, "online_when_on": bpy.app.online_access}
    prefs = enable_host()
    prefs.addons.clear()
    before = set(threading.enumerate())
    vesk.init(prefs)
    for thread in _started_threads(before):
        thread.join(30)
    prefs.index = list(prefs.addons.keys()).index("tellmora")
    record = prefs.addons["tellmora"]
    try:
        vesk.operator("install")
        kept = lambda: {"status": record.status, "version": record.version, "data": len(record.data),
                        "installed": "tellmora" in vesk._vesk.installed}
        facts["installed"] = kept()
        try:
            urllib.request.urlopen(url + OFFLINE_MARK, timeout=10)
        except urllib.error.HTTPError:
            pass
        system.use_online_access = False
        facts["online_when_off"] = bpy.app.online_access
        # As at the next start: the add-on's classes are not registered yet.
        for cls in reversed(vesk._vesk.installed["tellmora"]["ordered_classes"]):
            bpy.utils.unregister_class(cls)
        for name, attempt in (("register", lambda: vesk.register(record)),
                              ("check_update", lambda: vesk.operator("check_update")),
                              ("update", lambda: vesk.operator("update"))):
            try:
                attempt()
                facts[name] = ["no error", record.tips]
            except Exception as error:  # noqa: BLE001 - any outcome is a fact for the test
                facts[name] = [type(error).__name__, str(error)]
        facts["update_package"] = vesk.update_package("corvane")
        facts["after"] = kept()
    finally:
        system.use_online_access = True
        if record.status:
            vesk.operator("uninstall")
    return facts


def assert_offline_facts(facts, server_requests):
    message = "Online access is disabled in Blender's preferences (System > Network)."
    assert facts["online_when_on"] is True and facts["online_when_off"] is False
    installed = facts["installed"]
    assert installed["status"] and installed["version"] == "1.2.0" and installed["data"] > 0 and installed["installed"]
    # The installed add-on starts from its saved copy; Update refuses before it uninstalls.
    assert facts["register"] == ["no error", "Offline: running from the saved copy; updates were not checked."]
    assert facts["check_update"] == ["no error", "Offline: could not check for updates."]
    assert facts["update"] == ["ConnectionError", message]
    assert facts["update_package"] == message
    assert facts["after"] == installed
    marked = server_requests.index(OFFLINE_MARK)
    assert any(p.endswith(".zip") for p in server_requests[:marked]), server_requests
    assert server_requests[marked + 1:] == [], "no request once online access is off"


# ---- quitting while a start-up registration waits ------------------------------------


def quit_while_a_registration_waits(report, bound, interface=False):
    """The host add-on (corvane_host, in the profile) enabled again on its record saved as
    installed, as at a start: its init's start-up thread asks the service (VESK_SERVICE_URL),
    which never answers. Once that thread waits for the answer, Blender is left: the
    script ends, or with the interface a timer step quits. A watchdog ends a Blender still
    running `bound` seconds later with every thread's stack, and a non-zero status."""
    import faulthandler
    import sys
    import threading
    import time

    import addon_utils
    import bpy
    from blender_inside import enable_host, quit_blender

    enable_host(select=None).addons["tellmora"].status = True
    addon_utils.disable("corvane_host")  # the preferences stay
    before = set(threading.enumerate())
    addon_utils.enable("corvane_host", default_set=True)
    deadline = time.monotonic() + 30

    def waiting(frame):  # http.client reading the answer's status line
        return frame is not None and (frame.f_code.co_name == "_read_status" or waiting(frame.f_back))

    while not any(waiting(sys._current_frames().get(t.ident)) for t in _started_threads(before)):
        assert time.monotonic() < deadline, "no start-up thread waits for the service's answer"
        time.sleep(0.01)

    def leave():
        faulthandler.dump_traceback_later(bound, exit=True)
        report(leaving=time.time())
        if interface:
            quit_blender()

    if interface:
        bpy.app.timers.register(leave, first_interval=0.1)
    else:
        leave()


def quit_while_a_failed_registration_reports(report, wait=True):
    """As at a start, the host add-on (corvane_host, in the profile) enabled again on its
    record saved as installed; its start-up thread's request fails (VESK_SERVICE_URL), and
    the script ends, so Blender exits, as soon as the thread reports the failure on standard
    error, or has ended. Standard error takes its time here, as a console or a pipe whose
    reader lags does: the exit comes while the report is being written. Without `wait`,
    Blender exits at once, while the request is under way."""
    import io
    import sys
    import threading
    import time

    import addon_utils
    import bpy

    writing = threading.Event()

    class Lagging(io.RawIOBase):
        def writable(self):
            return True

        def fileno(self):
            return 2

        def write(self, data):
            if threading.current_thread() is not threading.main_thread():
                writing.set()
                time.sleep(0.3)
            return os.write(2, data)

    sys.stderr = io.TextIOWrapper(io.BufferedWriter(Lagging()), line_buffering=True)
    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    addon_utils.enable("corvane_host", default_set=True)
    bpy.context.preferences.addons["corvane_host"].preferences.addons["tellmora"].status = True
    addon_utils.disable("corvane_host")  # the preferences stay
    before = set(threading.enumerate())
    addon_utils.enable("corvane_host", default_set=True)
    started = _started_threads(before) if wait else []
    deadline = time.monotonic() + 20
    while not writing.is_set() and any(t.is_alive() for t in started) and time.monotonic() < deadline:
        time.sleep(0.001)
    report(writing=writing.is_set())


# ---- the host disabled under an action ---------------------------------------------------


def disable_host_under_an_action(report, action, how):
    """Tellmora installed through the host (corvane_host, in the profile) and the preferences
    saved; then `action` ("update" on the host's worker, or "start-up": the saved preferences
    read again, the host's start-up registration running) until it waits on the server's slow answer;
    then the host is disabled (`how`: "untick", or "factory preferences" loaded). Reports
    the record before, how the waiting call ended, and, after the saved preferences are
    read again (the host enabled with them, a new init), the record and the registration."""
    import threading
    import time

    import addon_utils
    import bpy

    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    addon_utils.enable("corvane_host", default_set=True)
    prefs = bpy.context.preferences.addons["corvane_host"].preferences
    prefs.index = list(prefs.addons.keys()).index("tellmora")
    bpy.ops.corvane.action(action="install")
    record = prefs.addons["tellmora"]
    before = {"status": record.status, "version": record.version, "data": len(record.data), "tips": record.tips}
    report(before=before)
    bpy.ops.wm.save_userpref()

    endings = []  # a start-up thread reports its own end on standard error
    started = set(threading.enumerate())
    if action == "update":
        host = sys.modules["corvane_host"]
        job = host._start("update")
        workers = [job.thread]
    else:
        bpy.ops.wm.read_userpref()  # as at a start: the host enabled on the saved record, a new init
        workers = _started_threads(started)

    def reading_slowly(thread):  # inside requests, receiving a body the server trickles
        frame = sys._current_frames().get(thread.ident)
        while frame is not None and frame.f_code.co_name != "generate":
            frame = frame.f_back
        return frame is not None

    slower = float(os.environ.get("CORVANE_BLENDER_TIMEOUT_FACTOR", "1"))  # under valgrind, say
    deadline = time.monotonic() + 60 * slower
    while not all(reading_slowly(t) for t in workers) or (time.sleep(0.3) or
                                                          not all(reading_slowly(t) for t in workers)):
        assert time.monotonic() < deadline, "the action never waited on the server"
        time.sleep(0.05)
    if how == "untick":  # as the add-on list's checkbox does: Blender frees the host's preferences
        addon_utils.disable("corvane_host", default_set=True)
    else:
        bpy.ops.wm.read_factory_userpref()
    for thread in workers:
        thread.join(60 * slower)
    if action == "update":
        endings.append(f"{type(job.error).__name__}: {job.error}" if job.error else f"returned {job.result!r}")
    report(ended=endings)

    started = set(threading.enumerate())
    bpy.ops.wm.read_userpref()  # the saved preferences: the host enabled with them, a new init
    record = bpy.context.preferences.addons["corvane_host"].preferences.addons["tellmora"]
    report(saved={"status": record.status, "version": record.version, "data": len(record.data), "tips": record.tips})
    for thread in _started_threads(started):
        thread.join(60 * slower)
    from corvane import vesk

    report(came_back="tellmora" in vesk._vesk.installed, tips=record.tips)


# ---- Blender's own add-ons, published unchanged ----------------------------------------

# The maker's host (examples/corvane_host) under a name that Blender's start-up pass, which
# goes by name, reaches after some of the add-ons it manages and before the others.
CORPUS_HOST = "cv_host"
OFFLINE_TIPS = "Offline: running from the saved copy; updates were not checked."


def _registered():
    """Blender's registered types, and its operators as `module.name`."""
    import bpy

    return set(dir(bpy.types)), {f"{m}.{o}" for m in dir(bpy.ops) for o in dir(getattr(bpy.ops, m))}


def _corpus_state(name, own_types):
    """What of the add-on is there now: enabled in Blender, its types, its modules, its
    import finders, its files."""
    import addon_utils
    import bpy

    addons = Path(user_scripts()) / "addons"
    return {"enabled": all(addon_utils.check(name)),
            "types": sorted(set(own_types) & set(dir(bpy.types))),
            "modules": sorted(m for m in sys.modules if m == name or m.startswith(name + ".")),
            "finders": sum(getattr(f, "name", None) == name for f in sys.meta_path),
            "files": (addons / name).exists() or (addons / f"{name}.py").exists()}


def _corpus_host():
    import addon_utils
    import bpy

    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    if not all(addon_utils.check(CORPUS_HOST)):
        assert addon_utils.enable(CORPUS_HOST, default_set=True), "the host add-on did not enable"
    return bpy.context.preferences.addons[CORPUS_HOST].preferences


def corpus_first_start(names, through_corvane):
    """Each add-on in turn: a plain copy enabled by Blender, or installed through corvane.
    What each registered, as Blender's type and operator lists show it; the preferences saved."""
    import addon_utils
    import bpy

    prefs = _corpus_host() if through_corvane else None
    if not through_corvane:
        bpy.utils.refresh_script_paths()
        addon_utils.modules_refresh()
    facts = {}
    for name in names:
        types, operators = _registered()
        errors = []
        if through_corvane:
            from corvane import vesk

            prefs.index = prefs.addons.find(name)
            vesk.operator("install")
            outcome = prefs.addons[name].tips
        else:
            addon_utils.enable(name, default_set=True, handle_error=errors.append)
            outcome = f"{type(errors[-1]).__name__}: {errors[-1]}" if errors else "enabled"
        now_types, now_operators = _registered()
        facts[name] = {"outcome": outcome, "enabled": all(addon_utils.check(name)),
                       "types": sorted(now_types - types), "operators": sorted(now_operators - operators)}
    bpy.ops.wm.save_userpref()
    return facts


def corpus_restart(first, through_corvane):
    """After a restart (through corvane: with the server down), each add-on's state; then
    each removed (Uninstall, or Blender's own removal of a plain copy) and what is left."""
    import time

    import bpy

    facts = {}
    if through_corvane:
        from corvane import vesk

        prefs = bpy.context.preferences.addons[CORPUS_HOST].preferences
        # The start-up threads end offline; the add-ons were enabled by Blender before that.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and any(
                prefs.addons[name].tips != OFFLINE_TIPS for name in first if prefs.addons[name].status):
            time.sleep(0.1)
        facts["tips"] = {name: prefs.addons[name].tips for name in first}
    for name, earlier in first.items():
        facts[name] = {"restarted": _corpus_state(name, earlier["types"])}
    for name, earlier in first.items():
        if through_corvane:
            prefs.index = prefs.addons.find(name)
            vesk.operator("uninstall")
        else:
            try:
                bpy.ops.preferences.addon_remove(module=name)
            except RuntimeError:
                pass  # Blender's removal reports, headless, that no area is there to redraw
        facts[name]["removed"] = _corpus_state(name, earlier["types"])
    return facts
