"""operator(action): the manager's actions on the selected record.

register, unregister and update_package are swapped for recorders through the
module's namespace; Blender's operators are the stand-in's.
"""

import importlib.metadata

import addon_utils
import bpy
import pytest

NAME = "tellmora"


@pytest.fixture
def prefs(vesk):
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": "other"}, {"name": NAME, "title": "Tellmora"}])
    prefs.index = 1
    prefs.installed = {}
    vesk._vesk = prefs
    return prefs


@pytest.fixture
def calls(vesk, prefs, monkeypatch):
    """Recorders for register/unregister/update_package; `calls.result` is what register returns."""

    class Calls(list):
        result = None
        register_error = None
        unregister_error = None

    log = Calls()

    def register(addon, action=None):
        log.append(("register", addon.name, action))
        if log.register_error is not None:
            raise log.register_error
        if action is None and log.result is None:
            prefs.installed[addon.name] = {"unregister": [], "ordered_classes": []}
        return log.result

    def unregister(name):
        log.append(("unregister", name))
        if log.unregister_error is not None:
            raise log.unregister_error

    monkeypatch.setattr(vesk, "register", register)
    monkeypatch.setattr(vesk, "unregister", unregister)
    monkeypatch.setattr(vesk, "update_package", lambda package: f"updated {package}")
    return log


def test_install_success(vesk, prefs, calls):
    assert vesk.operator("install") is None
    record = prefs.addons[NAME]
    assert calls == [("register", NAME, None)]
    assert (record.status, record.update, record.tips) == (True, False, "INSTALLED")
    assert addon_utils.calls == ["modules_refresh"]
    assert bpy.ops.calls == [("preferences.addon_enable", {"module": NAME})]


def test_install_failure_shows_the_message(vesk, prefs, calls):
    calls.result = vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])
    vesk.operator(action="install")
    record = prefs.addons[NAME]
    assert (record.status, record.tips) == (False, "Zip file has broken, please reinstall.")
    assert addon_utils.calls == [] and bpy.ops.calls == []


IMPORT_FAILED = RuntimeError("Error: Traceback (most recent call last):\n  File \"__init__.py\", line 3\n"
                             "ZeroDivisionError: division by zero\n\n")


@pytest.mark.parametrize("refusal, why", [
    (IMPORT_FAILED, "ZeroDivisionError: division by zero"),
    (None, "Blender did not find it among its add-ons"),  # cancelled without a word
])
def test_install_that_blender_cannot_enable_is_undone(vesk, prefs, calls, monkeypatch, refusal, why):
    if refusal is None:
        monkeypatch.setattr(bpy.ops.preferences, "addon_enable", lambda module: {"CANCELLED"})
    else:
        bpy.ops.fail_on["preferences.addon_enable"] = refusal
    record = prefs.addons[NAME]
    vesk.operator("install")
    assert calls == [("register", NAME, None), ("unregister", NAME)] and NAME not in prefs.installed
    assert record.tips == f"Blender could not enable Tellmora: {why}"

    # Blender has it enabled after all: the refusal does not count.
    addon_utils.enabled.add(NAME)
    bpy.ops.fail_on["preferences.addon_enable"] = RuntimeError("refused while drawing")
    vesk.operator("install")
    assert (record.status, record.tips) == (True, "INSTALLED") and NAME in prefs.installed


def test_install_off_the_main_thread_leaves_the_judgement_to_the_host(vesk, prefs, calls):
    import threading

    addon_utils.fail = RuntimeError("refused while drawing")
    worker = threading.Thread(target=vesk.operator, args=("install",))
    worker.start()
    worker.join()
    assert prefs.addons[NAME].tips == "INSTALLED" and NAME in prefs.installed and bpy.ops.calls == []

    bpy.ops.fail_on["preferences.addon_enable"] = KeyboardInterrupt()
    addon_utils.fail = None
    with pytest.raises(KeyboardInterrupt):
        vesk.operator("install")


def test_install_error_propagates_and_leaves_the_record(vesk, prefs, calls):
    calls.register_error = ConnectionError("no server")
    record = prefs.addons[NAME]
    record.tips = "before"
    with pytest.raises(ConnectionError):
        vesk.operator("install")
    assert (record.status, record.tips) == (False, "before")


def test_uninstall(vesk, prefs, calls):
    vesk.operator("uninstall")  # not installed: unregister only
    assert calls == [("unregister", NAME)] and bpy.ops.calls == []

    prefs.installed[NAME] = {}
    bpy.ops.fail_on["preferences.addon_remove"] = RuntimeError("not enabled")
    vesk.operator("uninstall")
    assert NAME not in prefs.installed
    assert bpy.ops.calls == [("preferences.addon_remove", {"module": NAME})]


def test_uninstall_error_keeps_the_entry(vesk, prefs, calls):
    prefs.installed[NAME] = {}
    calls.unregister_error = KeyError(NAME)
    with pytest.raises(KeyError):
        vesk.operator("uninstall")
    assert NAME in prefs.installed


def test_update_replaces_the_installed_release_only_once_the_new_one_is_fetched(vesk, prefs, calls):
    prefs.installed[NAME] = {}
    vesk.operator("update")
    assert calls == [("register", NAME, "update")]  # which fetches first, then takes the old one down
    assert bpy.ops.calls == [("preferences.addon_enable", {"module": NAME})]
    assert prefs.addons[NAME].tips == "INSTALLED"

    # The new release not fetched: the installed one stays as it is, and the tips say why.
    record = prefs.addons[NAME]
    record.status, record.version, record.data = True, "1.0.0", "bundle"
    calls.result = vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])
    vesk.operator("update")
    assert (record.status, record.version, record.data) == (True, "1.0.0", "bundle")
    assert record.tips == "Update failed: Zip file has broken, please reinstall."
    calls.register_error = ConnectionError("no server")
    with pytest.raises(ConnectionError):
        vesk.operator("update")
    assert record.tips == "Update failed: ConnectionError: no server" and record.status


def test_check_update_ignores_the_result(vesk, prefs, calls):
    calls.result = vesk.RegisterException([1, "t", "ignored"])
    assert vesk.operator("check_update") is None
    assert calls == [("register", NAME, "check_update")]
    assert prefs.addons[NAME].tips == ""


def test_update_manager_and_version(vesk, prefs, calls):
    assert vesk.operator("update_manager") is None
    assert prefs.addons[NAME].tips == "updated corvane"
    assert vesk.operator("version") == "Version: " + importlib.metadata.version("corvane")


def test_preferences_shows_the_addon_in_blenders_list(vesk, prefs, calls):
    order = []

    class Recorder:
        def __init__(self, label):
            object.__setattr__(self, "label", label)

        def __setattr__(self, name, value):
            order.append((self.label, name, value))

    bpy.context.preferences.view = Recorder("view")
    bpy.context.window_manager = Recorder("wm")
    try:
        assert vesk.operator("preferences") is None
    finally:
        bpy.context.window_manager = type(bpy.context.preferences)(addon_filter="", addon_search="")
    assert order == [("view", "show_addons_enabled_only", False), ("wm", "addon_filter", "All"),
                     ("wm", "addon_search", "Tellmora")]


def test_selected_record_is_looked_up_first(vesk, prefs, calls):
    assert vesk.operator("remove") is None and calls == []
    prefs.index = 5
    for action in ("version", "remove", "install"):
        with pytest.raises(IndexError):
            vesk.operator(action)
    assert calls == []
    with pytest.raises(TypeError):
        vesk.operator()
    with pytest.raises(TypeError):
        vesk.operator("install", "extra")
