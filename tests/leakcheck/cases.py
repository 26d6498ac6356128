"""Rows of the reference-leak check.

Each row calls corvane.vesk along one path (success, an exception returned,
raised or swallowed) against the stand-in for Blender's API. The check runs
every row many times on the debug interpreter and fails when the interpreter's
total reference count grows. A new function or failure path adds one row here.

A row is `@case("name")` on a function `run(vesk, env)`; `env` is a `LeakEnv`
(a scratch folder and helpers shared by the rows). A row must leave the module
and the stand-in as it found them, so that every round does the same work.
A row whose round costs several requests says `@case("name", cost=4)` and runs a
quarter of the rounds (a leak of one reference per round still shows 250 times).
"""

import contextlib

CASES = {}
COSTS = {}


def case(name, cost=1):
    def add(run):
        assert name not in CASES, f"duplicate leak-check row {name!r}"
        CASES[name] = run
        COSTS[name] = cost
        return run

    return add


@contextlib.contextmanager
def raises(*types):
    try:
        yield
    except types:
        pass
    else:
        raise AssertionError(f"expected one of {types}")


@case("RegisterException: built")
def _(vesk, env):
    error = vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])
    assert error.message


@case("RegisterException: too short (IndexError)")
def _(vesk, env):
    with raises(IndexError):
        vesk.RegisterException([1020, "md5"])


@case("RegisterException: wrong argument count (TypeError)")
def _(vesk, env):
    with raises(TypeError):
        vesk.RegisterException()


# ---- register, unregister, update checks -----------------------------------------

_web = None


def _server():
    """One loopback server for every round (started on first use)."""
    global _web
    if _web is None:
        import os
        import sys
        from pathlib import Path

        sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
        from faultserver import FaultServer

        _web = FaultServer()
        from env import empty_after_every_round

        empty_after_every_round(_web.requests)
        _web.put_json("/service.json", {"url": _web.url + "/addons", "manager_update": 0})
        _web.put_json("/addons/tellmora/index.json", [{"version": [1, 2, 0], "md5": "0" * 32}])
        _web.put_json("/pypi/corvane/json", {"info": {"version": "0.1.0"}})
        _web.put("/pypi/missing/json", "gone", status=404)
        os.environ["VESK_SERVICE_URL"] = _web.url
        os.environ["VESK_PACKAGE_INDEX_URL"] = _web.url
    return _web


@contextlib.contextmanager
def _registry(vesk, **swapped):
    """A host registry with one record, and module globals swapped for the row."""
    import bpy

    _server()
    saved = {name: vars(vesk).get(name) for name in swapped}
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": "tellmora", "version": "1.0"}])
    prefs.installed = {}
    vesk._vesk = prefs
    for name, value in swapped.items():
        setattr(vesk, name, value)
    try:
        yield prefs
    finally:
        for name, value in saved.items():
            if value is None:
                delattr(vesk, name)
            else:
                setattr(vesk, name, value)
        vesk._vesk = None
        bpy.utils.reset()


def _fake_loading():
    import sys
    import types

    import bpy

    module = types.ModuleType("tellmora.parts")
    module.register = lambda: None
    module.unregister = lambda: None
    module.Part = type("TELLMORA_OT_part", (bpy.types.Operator,), {})

    def import_module(name, url):
        sys.modules[module.__name__] = module
        return [module]

    return {"__import_module__": import_module, "__get_ordered_classes__": lambda modules: [module.Part]}


@case("register: loads, registers, records; unregister undoes it")
def _(vesk, env):
    with _registry(vesk, **_fake_loading()) as prefs:
        assert vesk.register(prefs.addons["tellmora"]) is None
        assert vesk.unregister("tellmora") is None


@case("register: a module name that is not plain text (the table matched by equality)")
def _(vesk, env):
    import sys

    loading = _fake_loading()
    load = loading["__import_module__"]

    def renaming(name, url):
        modules = load(name, url)
        modules[0].__name__ = ["tellmora.parts"]
        return modules

    with _registry(vesk, **dict(loading, __import_module__=renaming)) as prefs:
        try:
            assert vesk.register(prefs.addons["tellmora"]) is None
            assert vesk.unregister("tellmora") is None
        finally:
            module = sys.modules.pop("tellmora.parts")
            module.__name__ = "tellmora.parts"


@case("register: check_update only")
def _(vesk, env):
    with _registry(vesk, **_fake_loading()) as prefs:
        assert vesk.register(prefs.addons["tellmora"], "check_update") is None
        assert prefs.addons["tellmora"].tips == "Available update: 1.2.0"


@case("register: check_update skips a release for a newer Blender; none left: the tips say so", cost=4)
def _(vesk, env):
    web = _server()
    try:
        web.put_json("/addons/tellmora/index.json", [{"version": [2, 0], "md5": "0" * 32, "blender": [99, 0, 0]},
                                                     {"version": [1, 2, 0], "md5": "0" * 32, "blender": [2, 80]}])
        with _registry(vesk, **_fake_loading()) as prefs:
            vesk.register(prefs.addons["tellmora"], "check_update")
            assert prefs.addons["tellmora"].tips == "Available update: 1.2.0"
        web.put_json("/addons/tellmora/index.json", [{"version": [2, 0], "md5": "0" * 32, "blender": [99, 0, 0]}])
        with _registry(vesk, **_fake_loading()) as prefs:
            vesk.register(prefs.addons["tellmora"], "check_update")
            assert prefs.addons["tellmora"].tips == "tellmora 2.0 needs Blender 99.0 or later"
    finally:
        web.put_json("/addons/tellmora/index.json", [{"version": [1, 2, 0], "md5": "0" * 32}])


@case("register: RegisterException returned")
def _(vesk, env):
    def failing(name, url):
        raise vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])

    with _registry(vesk, **dict(_fake_loading(), __import_module__=failing)) as prefs:
        assert vesk.register(prefs.addons["tellmora"]).args[0] == 1020


@case("register: invalid service document returned as RegisterException")
def _(vesk, env):
    web = _server()
    web.put("/service.json", "[]")
    try:
        with _registry(vesk, **_fake_loading()) as prefs:
            assert vesk.register(prefs.addons["tellmora"]).args[0] == 1021
    finally:
        web.put_json("/service.json", {"url": web.url + "/addons", "manager_update": 0})


@case("register: exception from a hook propagated")
def _(vesk, env):
    loading = _fake_loading()
    with _registry(vesk, **loading) as prefs:
        module = loading["__import_module__"]("tellmora", "")[0]
        module.register = lambda: 1 / 0
        with raises(ZeroDivisionError):
            vesk.register(prefs.addons["tellmora"])


@case("unregister: missing entry swallowed; unknown name raises KeyError")
def _(vesk, env):
    with _registry(vesk) as prefs:
        assert vesk.unregister("tellmora") is None
        with raises(KeyError):
            vesk.unregister("unknown")


@case("update_package: latest version / index error swallowed")
def _(vesk, env):
    _server()
    assert vesk.update_package("corvane") == "Is using the latest version."
    import contextlib as _contextlib
    import io

    with _contextlib.redirect_stdout(io.StringIO()):
        assert vesk.update_package("missing") == "ERROR, Check in blender console"


# ---- operator -------------------------------------------------------------------------

@case("online access off: register and operator('update') raise ConnectionError, update_package answers")
def _(vesk, env):
    import bpy

    with _registry(vesk, **_fake_loading()) as prefs:
        bpy.app.online_access = False
        try:
            with raises(ConnectionError):
                vesk.register(prefs.addons["tellmora"])
            with raises(ConnectionError):
                vesk.operator("update")
            assert vesk.update_package("corvane").startswith("Online access is disabled")
        finally:
            del bpy.app.online_access


@case("offline start: an installed add-on starts from its saved copy (online access off, server unreachable)", cost=2)
def _(vesk, env):
    import bpy

    with _service(address="http://127.0.0.1:9"), _registry(vesk, **_fake_loading()) as prefs:
        record = prefs.addons["tellmora"]
        record.status, record.data = True, "saved copy"
        assert vesk.register(record) is None and record.tips.startswith("Offline:")
        bpy.app.online_access = False
        try:
            assert vesk.register(record, "check_update") is None and record.data == "saved copy"
        finally:
            del bpy.app.online_access


@case("operator: install, update, uninstall (register swapped), preferences, version")
def _(vesk, env):
    with _registry(vesk, **_fake_loading()) as prefs:
        vesk.operator("install")
        vesk.operator("update")
        vesk.operator("uninstall")
        vesk.operator("preferences")
        assert vesk.operator("version").startswith("Version: ")
        assert vesk.operator("no such action") is None


@case("operator: install shows the add-on's bl_info name; a bl_info that is no literal leaves the title")
def _(vesk, env):
    import os

    with _registry(vesk, **_fake_loading()) as prefs:
        folder = os.path.join(vesk.get_addons_path(), "tellmora")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "__init__.py"), "w") as f:
            f.write("X = 1\nbl_info = {'name': 'Tellmora Pro', 'version': (1, 0)}\n")
        vesk.operator("install")
        assert prefs.addons[0].title == "Tellmora Pro"
        with open(os.path.join(folder, "__init__.py"), "w") as f:
            f.write("bl_info = dict(name='Computed')\n")
        vesk.operator("uninstall")
        prefs.addons[0].title = "Kept"
        vesk.operator("install")
        assert prefs.addons[0].title == "Kept"


def _install_blender_cannot_enable(vesk, error):
    """Install, with Blender's addon_enable raising `error`."""
    import bpy

    bpy.ops.fail_on["preferences.addon_enable"] = error
    try:
        vesk.operator("install")
    finally:
        bpy.ops.reset()


@case("operator: install failing with RegisterException, addon_enable error swallowed")
def _(vesk, env):
    def failing(name, url):
        raise vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])

    with _registry(vesk, **dict(_fake_loading(), __import_module__=failing)) as prefs:
        vesk.operator("install")
        assert prefs.addons[0].tips == "Zip file has broken, please reinstall."
    with _registry(vesk, **_fake_loading()) as prefs:
        _install_blender_cannot_enable(vesk, RuntimeError("refused"))


@case("operator: index out of range propagated")
def _(vesk, env):
    with _registry(vesk) as prefs:
        prefs.index = 3
        with raises(IndexError):
            vesk.operator("version")


@case("operator: check_update, and a newer release found", cost=4)
def _(vesk, env):
    with _registry(vesk, **_fake_loading()) as prefs:
        assert vesk.operator("check_update") is None
        assert prefs.addons[0].tips == "Available update: 1.2.0"


@case("operator: check_update, no newer release", cost=4)
def _(vesk, env):
    with _registry(vesk, **_fake_loading()) as prefs:
        prefs.addons[0].version = "1.10"
        vesk.operator("check_update")
        assert prefs.addons[0].tips == "No update"


@case("operator: update_manager (latest version)", cost=4)
def _(vesk, env):
    with _registry(vesk) as prefs:
        vesk.operator("update_manager")
        assert prefs.addons[0].tips == "Is using the latest version."


@case("operator: uninstall, addon_remove error swallowed")
def _(vesk, env):
    import bpy

    with _registry(vesk) as prefs:
        prefs.installed["tellmora"] = {"unregister": [], "ordered_classes": []}
        bpy.ops.fail_on["preferences.addon_remove"] = RuntimeError("refused")
        try:
            vesk.operator("uninstall")
        finally:
            bpy.ops.reset()
        assert "tellmora" not in prefs.installed


@case("operator: install, register raising (propagated)", cost=4)
def _(vesk, env):
    loading = _fake_loading()
    loading["__get_ordered_classes__"] = lambda modules: 1 / 0
    with _registry(vesk, **loading):
        with raises(ZeroDivisionError):
            vesk.operator("install")


@case("operator: version without the distribution's metadata (PackageNotFoundError)")
def _(vesk, env):
    import importlib.metadata
    import sys

    with _registry(vesk):
        saved, sys.path[:] = list(sys.path), []
        try:
            with raises(importlib.metadata.PackageNotFoundError):
                vesk.operator("version")
        finally:
            sys.path[:] = saved


@contextlib.contextmanager
def _service(answer=None, address=None):
    """The service document answered (text, or an object as JSON), or another service address."""
    import json
    import os

    web = _server()
    if answer is not None:
        web.put("/service.json", answer if isinstance(answer, str) else json.dumps(answer))
    if address is not None:
        os.environ["VESK_SERVICE_URL"] = address
    try:
        yield web
    finally:
        web.put_json("/service.json", {"url": web.url + "/addons", "manager_update": 0})
        os.environ["VESK_SERVICE_URL"] = web.url


@case("register: service document not JSON, url not http, flag not an integer (RegisterException 1021)", cost=4)
def _(vesk, env):
    for answer in ("<html>", {"url": "ftp://x"}, {"manager_update": "1"}):
        with _service(answer), _registry(vesk, **_fake_loading()) as prefs:
            assert vesk.register(prefs.addons["tellmora"]).args[0] == 1021


@case("register: service unreachable (ConnectionError)")
def _(vesk, env):
    import requests

    with _service(address="http://127.0.0.1:9"), _registry(vesk, **_fake_loading()) as prefs:
        with raises(requests.exceptions.ConnectionError):
            vesk.register(prefs.addons["tellmora"])


@case("register: manager_update flag starts the manager update thread", cost=4)
def _(vesk, env):
    import threading

    web = _server()
    with _service({"url": web.url + "/addons", "manager_update": 1}), _registry(vesk, **_fake_loading()) as prefs:
        before = set(threading.enumerate())
        assert vesk.register(prefs.addons["tellmora"], "check_update") is None
        # Asked again while that update runs (most rounds): no second thread.
        assert vesk.register(prefs.addons["tellmora"], "check_update") is None
        for thread in set(threading.enumerate()) - before:
            if not thread.daemon:  # the manager update thread, not the server's request handlers
                thread.join(30)
        assert "/pypi/corvane/json" in web.requests


@case("register: update check fails: empty index (IndexError); a version not of numbers offered the release", cost=4)
def _(vesk, env):
    web = _server()
    try:
        web.put_json("/addons/tellmora/index.json", [])
        with _registry(vesk, **_fake_loading()) as prefs:
            with raises(IndexError):
                vesk.register(prefs.addons["tellmora"])
    finally:
        web.put_json("/addons/tellmora/index.json", [{"version": [1, 2, 0], "md5": "0" * 32}])
    with _registry(vesk, **_fake_loading()) as prefs:
        prefs.addons[0].version = "1.x"
        vesk.register(prefs.addons["tellmora"])
        assert prefs.addons[0].tips == "Available update: 1.2.0"


@case("register: register_class fails (propagated)", cost=4)
def _(vesk, env):
    import bpy

    with _registry(vesk, **_fake_loading()) as prefs:
        bpy.utils.fail_on["TELLMORA_OT_part"] = RuntimeError("refused")
        with raises(RuntimeError):
            vesk.register(prefs.addons["tellmora"])


@contextlib.contextmanager
def _drawing(refusals):
    """Blender's register_class refusing `refusals` times, as while its main thread draws."""
    import bpy

    register_class = bpy.utils.register_class
    left = [refusals]

    def refusing(cls):
        if left[0]:
            left[0] -= 1
            raise RuntimeError(f"register_class(...): can't run in readonly state '{cls.__name__}'")
        return register_class(cls)

    bpy.utils.register_class = refusing
    try:
        yield
    finally:
        bpy.utils.register_class = register_class


@case("register: register_class refused while Blender draws: waited for off the main thread, raised on it", cost=4)
def _(vesk, env):
    import threading

    with _registry(vesk, **_fake_loading()) as prefs, _drawing(2):
        worker = threading.Thread(target=vesk.register, args=(prefs.addons["tellmora"],))
        worker.start()
        worker.join(30)
        assert "tellmora" in prefs.installed
    with _registry(vesk, **_fake_loading()) as prefs, _drawing(1):
        with raises(RuntimeError):
            vesk.register(prefs.addons["tellmora"])


@case("register: RegisterException, then unregister fails on the record lookup (KeyError)", cost=4)
def _(vesk, env):
    import bpy

    def failing(name, url):
        raise vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])

    _server().put_json("/addons/stray/index.json", [{"version": [1, 2, 0], "md5": "0" * 32}])
    with _registry(vesk, **dict(_fake_loading(), __import_module__=failing)) as prefs:
        stray = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": "stray"}]).addons[0]
        with raises(KeyError):
            vesk.register(stray)


@case("register: a name that cannot be a key (TypeError)")
def _(vesk, env):
    import types

    with _registry(vesk):
        with raises(TypeError):
            vesk.register(types.SimpleNamespace(name=["not", "hashable"]))


@case("unregister: a hook fails (swallowed), a hook raises SystemExit (propagated)")
def _(vesk, env):
    with _registry(vesk) as prefs:
        prefs.installed["tellmora"] = {"unregister": [lambda: 1 / 0], "ordered_classes": []}
        assert vesk.unregister("tellmora") is None
        prefs.installed["tellmora"] = {"unregister": [lambda: sys.exit(3)], "ordered_classes": []}
        with raises(SystemExit):
            vesk.unregister("tellmora")


class _ReadOnlyRecord:
    name = "fixed"

    def __setattr__(self, name, value):
        raise AttributeError(f"{name} is read-only")


@case("unregister: a field cannot be reset (propagated)")
def _(vesk, env):
    import types

    vesk._vesk = types.SimpleNamespace(addons={"fixed": _ReadOnlyRecord()}, installed={})
    try:
        with raises(AttributeError):
            vesk.unregister("fixed")
    finally:
        vesk._vesk = None


@contextlib.contextmanager
def _fake_pip(exit_code, installs=None, meanwhile=None):
    """pip answering `exit_code`, having installed the version `installs` (or nothing), after
    calling `meanwhile()` (another request while it runs)."""
    import importlib.metadata
    import types

    version = importlib.metadata.version

    def main(arguments):
        if meanwhile:
            meanwhile()
        if installs:
            importlib.metadata.version = lambda name: installs
        return exit_code

    sys.modules["pip"] = types.SimpleNamespace(main=main)
    try:
        yield
    finally:
        del sys.modules["pip"]
        importlib.metadata.version = version


@case("update_package: a newer release (pip run), pip failing, a version that is not numbers", cost=4)
def _(vesk, env):
    web = _server()
    with contextlib.redirect_stdout(io.StringIO()):
        web.put_json("/pypi/requests/json", {"info": {"version": "999.0"}})
        with _fake_pip(0, "999.0"):
            assert vesk.update_package("requests") == "Update to 999.0, need to restart Blender."
        web.put_json("/pypi/requests/json", {"info": {"version": "1.0rc1"}})
        with _fake_pip(0, "1.0rc1"):
            assert vesk.update_package("requests").startswith("Update to 1.0rc1")
        with _fake_pip(1):
            assert vesk.update_package("requests") == "ERROR, Check in blender console"


@case("update_package: pip installs nothing (the version read back); asked again while it runs", cost=4)
def _(vesk, env):
    web = _server()
    answers = []
    web.put_json("/pypi/requests/json", {"info": {"version": "999.0"}})
    with _fake_pip(0, meanwhile=lambda: answers.append(vesk.update_package("corvane"))):
        assert vesk.update_package("requests").startswith("Update to 999.0 failed: requests ")
    assert answers == ["An update of corvane is already under way."]


@case("operator: install that Blender cannot enable (undone): its error, or none")
def _(vesk, env):
    import addon_utils
    import bpy

    addon_utils.enabled.discard("tellmora")
    with _registry(vesk, **_fake_loading()) as prefs:
        _install_blender_cannot_enable(vesk, RuntimeError("Error: Traceback\nZeroDivisionError: division\n"))
        assert prefs.addons[0].tips == "Blender could not enable tellmora: ZeroDivisionError: division"
        assert "tellmora" not in prefs.installed
        enable = bpy.ops.preferences.addon_enable
        bpy.ops.preferences.addon_enable = lambda module: {"CANCELLED"}
        try:
            vesk.operator("install")
        finally:
            bpy.ops.preferences.addon_enable = enable
        assert prefs.addons[0].tips.endswith("Blender did not find it among its add-ons")


@case("operator: install off the main thread that Blender did not enable (left to the host)")
def _(vesk, env):
    import threading

    import addon_utils

    addon_utils.enabled.discard("tellmora")
    with _registry(vesk, **_fake_loading()) as prefs:
        addon_utils.fail = RuntimeError("refused while drawing")
        try:
            worker = threading.Thread(target=vesk.operator, args=("install",))
            worker.start()
            worker.join(30)
        finally:
            addon_utils.fail = None
        assert prefs.addons[0].tips == "INSTALLED"


# ---- __get_ordered_classes__ ------------------------------------------------------

_order_addons = {}


def _order_addon(shape):
    """One add-on module per shape, made once so that every round does the same work."""
    if shape not in _order_addons:
        import types

        import bpy

        addon = types.ModuleType("leak_order_" + shape)
        leaf = type(bpy.types.PropertyGroup)("Leaf", (bpy.types.PropertyGroup,), {})
        user = type(bpy.types.Operator)("User", (bpy.types.Operator,), {"__annotations__": {
            "one": bpy.props.PointerProperty(type=leaf), "many": bpy.props.CollectionProperty(type=leaf),
            "name": bpy.props.StringProperty()}})
        main = type(bpy.types.Panel)("Main", (bpy.types.Panel,), {})
        sub = type(bpy.types.Panel)("Sub", (bpy.types.Panel,), {"bl_idname": "SUB", "bl_parent_id": "Main"})
        classes = [leaf, user, main, sub]
        if shape == "circular":
            leaf.__annotations__ = {"back": bpy.props.PointerProperty(type=user)}
        elif shape == "text annotation":
            classes.append(type(bpy.types.Operator)("Texted", (bpy.types.Operator,),
                                                    {"__annotations__": {"p": "Undefined"}}))
        for cls in classes:
            setattr(addon, cls.__name__, cls)
        addon.number = 1
        _order_addons[shape] = addon
    return _order_addons[shape]


@case("__get_ordered_classes__: ordered")
def _(vesk, env):
    assert len(vesk.__get_ordered_classes__([_order_addon("plain")])) == 4


@case("__get_ordered_classes__: circular dependency (ValueError)")
def _(vesk, env):
    with raises(ValueError):
        vesk.__get_ordered_classes__([_order_addon("circular")])


@case("__get_ordered_classes__: typing.get_type_hints fails (NameError)")
def _(vesk, env):
    with raises(NameError):
        vesk.__get_ordered_classes__([_order_addon("text annotation")])


@case("__get_ordered_classes__: a base type missing (AttributeError)")
def _(vesk, env):
    import bpy

    gizmo_group = bpy.types.GizmoGroup
    del bpy.types.GizmoGroup
    try:
        with raises(AttributeError):
            vesk.__get_ordered_classes__([_order_addon("plain")])
    finally:
        bpy.types.GizmoGroup = gizmo_group


# ---- start-up, shut-down and the add-ons directory ------------------------------------

import functools  # noqa: E402
import io  # noqa: E402
import shutil  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import zipfile  # noqa: E402
from pathlib import Path  # noqa: E402

from concurrency_rounds import runs_module_code  # noqa: E402

ADDON = "tellmora"


def _tests_on_path():
    tests = str(Path(__file__).resolve().parents[1])
    if tests not in sys.path:
        sys.path.append(tests)


def _host_prefs(vesk, env):
    """The host's preferences with one record, made once per env and reset for every round."""
    import bpy

    prefs = env.__dict__.get("leak_host_prefs")
    if prefs is None:
        prefs = env.leak_host_prefs = bpy.types.host_preferences(vesk.VESKAddonData)
    prefs.addons.items.clear()
    prefs.__dict__.pop("installed", None)
    return prefs


def _clear_standin_logs():
    import addon_utils
    import bpy

    for log in (bpy.utils.calls, bpy.ops.calls, addon_utils.calls, bpy.app.translations.calls):
        log.clear()


@contextlib.contextmanager
def _module_state(vesk, env, **swapped):
    """Puts the module globals `swapped` in place (a stand-in `register`, say) and afterwards
    restores them, the registry, the translations, sys.path, sys.modules and the user folder."""
    import bpy

    saved_path = list(sys.path)
    saved_modules = set(sys.modules)
    saved_vesk = vesk._vesk
    saved_globals = {name: vars(vesk).get(name, _missing) for name in swapped}
    bpy.utils.scripts_path = str(env.tmp / "scripts")
    vars(vesk).update(swapped)
    started = set(threading.enumerate())
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        for thread in set(threading.enumerate()) - started:
            if runs_module_code(thread):
                thread.join(30)
        for name, value in saved_globals.items():
            if value is _missing:
                vars(vesk).pop(name, None)
            else:
                vars(vesk)[name] = value
        vesk._vesk = saved_vesk
        sys.path[:] = saved_path
        for name in set(sys.modules) - saved_modules:
            del sys.modules[name]
        bpy.app.translations.tables.pop(vesk.__name__, None)
        bpy.app.translations.refuse = None
        bpy.ops.fail_on.clear()
        _clear_standin_logs()
        shutil.rmtree(env.tmp / "scripts", ignore_errors=True)


_missing = object()


def _ignore(*args):
    return None


def _installed_at_start(vesk, env):
    """The host's preferences with the add-on's record saved as installed."""
    prefs = _host_prefs(vesk, env)
    record = prefs.addons.add()
    record.name, record.status = ADDON, True
    return prefs


@case("init: adds the missing record, starts no thread")
def _(vesk, env):
    prefs = _host_prefs(vesk, env)
    with _module_state(vesk, env):
        assert vesk.init(prefs) is None
        assert len(prefs.addons) == 1


@case("init: starts a register thread for an installed record")
def _(vesk, env):
    prefs = _installed_at_start(vesk, env)
    with _module_state(vesk, env, register=_ignore):
        vesk.init(prefs)


@case("init: the host's own add-ons and server; a str for addons, a bad name, another scheme refused")
def _(vesk, env):
    prefs = _host_prefs(vesk, env)
    with _module_state(vesk, env):
        for keywords, error in (({"addons": ADDON}, TypeError), ({"addons": [ADDON, 7]}, TypeError),
                                ({"addons": ["no-name"]}, ValueError), ({"service_url": "ftp://x.invalid"}, ValueError)):
            with raises(error):
                vesk.init(prefs, **keywords)
        vesk.init(prefs, addons=iter([ADDON, "other"]), service_url="http://127.0.0.1:9")
        assert len(prefs.addons) == 2


@case("init: a start-up registration that raises (reported straight to the descriptor; not once finalizing)")
def _(vesk, env):
    import os
    import types

    prefs = _installed_at_start(vesk, env)
    if "leak_null" not in env.__dict__:
        env.leak_null = open(os.devnull, "w")
        env.on_close(env.leak_null.close)
    for finalizing in (False, True):
        quiet = types.SimpleNamespace(is_finalizing=lambda: finalizing, stderr=env.leak_null)
        with _module_state(vesk, env, register=lambda addon: 1 / 0, sys=quiet):
            vesk.init(prefs)


@case("init: Blender refuses the translations (exception propagated)")
def _(vesk, env):
    import bpy

    with _module_state(vesk, env):
        bpy.app.translations.refuse = ValueError("refused")
        with raises(ValueError):
            vesk.init(_host_prefs(vesk, env))


@case("init: preferences without addons (AttributeError)")
def _(vesk, env):
    with _module_state(vesk, env):
        with raises(AttributeError):
            vesk.init(object.__new__(type("Bare", (), {})))


@case("unregister_all: saves, unregisters every name, removes the translations")
def _(vesk, env):
    prefs = _host_prefs(vesk, env)
    with _module_state(vesk, env, unregister=_ignore):
        vesk.init(prefs)
        prefs.installed.update({ADDON: {}, "other": {}})
        assert vesk.unregister_all() is None


@case("unregister_all: before init (AttributeError)")
def _(vesk, env):
    with _module_state(vesk, env):
        with raises(AttributeError):
            vesk.unregister_all()


@case("unregister_all: saving fails (exception propagated)")
def _(vesk, env):
    import bpy

    with _module_state(vesk, env):
        bpy.ops.fail_on["wm.save_userpref"] = RuntimeError("cannot save")
        with raises(RuntimeError):
            vesk.unregister_all()


@case("get_addons_path: creates both folders and extends sys.path")
def _(vesk, env):
    with _module_state(vesk, env):
        assert vesk.get_addons_path() == vesk.get_addons_path()


@case("get_addons_path: a file where a parent folder should be (NotADirectoryError)")
def _(vesk, env):
    import bpy

    with _module_state(vesk, env):
        (env.tmp / "a file").write_text("")
        bpy.utils.scripts_path = str(env.tmp / "a file" / "scripts")
        with raises(NotADirectoryError):
            vesk.get_addons_path()


class _LateFolderOs:
    """`os` as a thread sees it when another thread makes the folders right after it found
    them missing: exists() says no once per path, then makedirs() meets the folder."""

    def __init__(self):
        import os
        import types

        self.told = set()
        self.makedirs = os.makedirs
        self.path = types.SimpleNamespace(exists=self._exists, sep=os.sep, isdir=os.path.isdir)

    def _exists(self, path):
        import os

        if path in self.told:
            return os.path.exists(path)
        self.told.add(path)
        return False


@case("get_addons_path: folders another thread made meanwhile; a file in the folder's place (FileExistsError)")
def _(vesk, env):
    import bpy

    with _module_state(vesk, env, os=_LateFolderOs()):
        (env.tmp / "scripts" / "addons").mkdir(parents=True, exist_ok=True)
        vesk.get_addons_path()
        bpy.utils.scripts_path = str(env.tmp / "file")
        (env.tmp / "file").write_text("")
        with raises(FileExistsError):
            vesk.get_addons_path()


# ---- __import_module__ ---------------------------------------------------------------------

LEAK_MODULES = [("a", "VALUE = 1\n"), ("b", "from . import a\nVALUE = a.VALUE + 1\n"),
                ("c", "raise ValueError('printed and left out')\n")]


@functools.lru_cache(maxsize=None)
def _archives():
    """Archive bytes of the package rows, built once."""
    _tests_on_path()
    import zipfile

    import addon_package

    bundle = addon_package.bundle_text(addon_package.standard_records(*LEAK_MODULES))
    good = addon_package.package_archive(bundle, extra={"icons/logo.txt": "logo"})
    stored = io.BytesIO()
    with zipfile.ZipFile(stored, "w", zipfile.ZIP_STORED) as zf:
        zf.writestr(f"{ADDON}.data", bundle)
    torn = bytearray(stored.getvalue())
    torn[torn.index(b"VALUE = 1")] ^= 0x20  # breaks the member's CRC
    return {"bundle": bundle, "good": good, "torn": bytes(torn), "not zip": b"not a zip archive",
            "no data": addon_package.archive({"readme.txt": "x"})}


def _package_server(env):
    """corvane.serve on a free loopback port, serving env.tmp/"dist", started once per env.
    It runs in a process of its own: its work stays out of this interpreter's reference
    count, and it leaves no thread here to wait for."""
    import atexit
    import os
    import re
    import subprocess
    import time

    import corvane

    server = env.__dict__.get("leak_package_server")
    if server is None:
        dist = env.tmp / "dist"
        dist.mkdir()
        log_path = env.tmp / "serve.log"
        environment = dict(os.environ, PYTHONPATH=str(Path(corvane.__file__).resolve().parents[1]))
        with open(log_path, "w") as log:  # the progress lines go to a file: nothing here has to read them
            process = subprocess.Popen([sys.executable, "-m", "corvane.serve", str(dist), "--port", "0"],
                                       stdout=subprocess.DEVNULL, stderr=log, env=environment)
        deadline = time.monotonic() + 30
        while not (found := re.search(r" at (http://\S+) ", log_path.read_text())):
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"corvane.serve did not start: {log_path.read_text()}")
            time.sleep(0.02)
        server = env.leak_package_server = (process, found.group(1), dist)

        def stop():
            process.terminate()
            process.wait(10)

        (env.on_close if hasattr(env, "on_close") else atexit.register)(stop)
    return server


def _serve(env, archive_key, md5=None, index=None):
    """Puts the package into the served folder; returns the base address."""
    import hashlib
    import json

    _, url, dist = _package_server(env)
    archive = _archives()[archive_key]
    digest = hashlib.md5(archive).hexdigest()
    folder = dist / ADDON
    folder.mkdir(exist_ok=True)
    (folder / f"{digest}.zip").write_bytes(archive)
    (folder / "index.json").write_text(index or json.dumps([{"version": [1, 0], "md5": md5 or digest}]))
    return url


def addon_package_bundle_text(records):
    _tests_on_path()
    import addon_package

    return addon_package.bundle_text(records)


def _record(vesk, env, data=""):
    prefs = _host_prefs(vesk, env)
    record = prefs.addons.add()
    record.name, record.data = ADDON, data
    vesk._vesk = prefs
    return record


def _home(env):
    return env.tmp / "scripts" / "addons" / ADDON


@case("__import_module__: download, verify, unpack and load (a module's error printed)")
def _(vesk, env):
    with _module_state(vesk, env):
        url = _serve(env, "good")
        _record(vesk, env)
        assert len(vesk.__import_module__(ADDON, url)) == 2


@case("__import_module__: the cached bundle, no request")
def _(vesk, env):
    with _module_state(vesk, env):
        _record(vesk, env, _archives()["bundle"])
        assert len(vesk.__import_module__(ADDON, "http://127.0.0.1:9")) == 2


@case("__import_module__: a waiting data file replaces the cache")
def _(vesk, env):
    with _module_state(vesk, env):
        _home(env).mkdir(parents=True)
        (_home(env) / f"{ADDON}.data").write_text(_archives()["bundle"] + "\x0b\x0btellmora.__init__\x0bN = '\0'\n")
        _record(vesk, env, "tellmora.old\x0bOLD = 1\n")
        assert len(vesk.__import_module__(ADDON, "http://127.0.0.1:9")) == 2


@case("__import_module__: a package-form bundle served by its finder, imported, taken down by unregister")
def _(vesk, env):
    import importlib

    with _module_state(vesk, env):
        _record(vesk, env, addon_package_bundle_text([
            ("__form__", '"package"\n'), ("__init__", 'bl_info = {"name": "T"}\nfrom . import a\n'),
            ("a", "from .sub import leaf\n"), ("sub.__init__", "\n"), ("sub.leaf", "VALUE = 1\n")]))
        assert vesk.__import_module__(ADDON, "http://127.0.0.1:9") == []
        assert importlib.import_module(ADDON).a.leaf.VALUE == 1
        vesk.unregister(ADDON)
        assert ADDON not in sys.modules


@case("__import_module__: digest mismatch (RegisterException)")
def _(vesk, env):
    with _module_state(vesk, env):
        url = _serve(env, "good", md5="0" * 32)
        _record(vesk, env)
        with raises(vesk.RegisterException):
            vesk.__import_module__(ADDON, url)


@case("__import_module__: no release this Blender runs (RegisterException 1030, no archive request)")
def _(vesk, env):
    import json

    with _module_state(vesk, env):
        url = _serve(env, "good", index=json.dumps([{"version": [1, 0], "md5": "0" * 32, "blender": [99, 0]}]))
        _record(vesk, env)
        with raises(vesk.RegisterException):
            vesk.__import_module__(ADDON, url)


class _FailingFile:
    def write(self, data):
        raise OSError("disk full")

    def close(self):
        raise ValueError("close failed too")


def _import_fails(error, data="", name=ADDON, prepare=lambda env: None, swapped=lambda env: {}, served=None):
    """A row: the import ends in `error`; from the saved record (nothing answers at the
    address), or with `served` (`_serve`'s arguments) from the package served."""

    def row(vesk, env):
        with _module_state(vesk, env, **swapped(env)):
            prepare(env)
            url = _serve(env, *served) if served else "http://127.0.0.1:9"
            _record(vesk, env, data)
            with raises(error):
                vesk.__import_module__(name, url)

    return row


def _data_file(env, content):
    _home(env).mkdir(parents=True)
    (_home(env) / f"{ADDON}.data").write_bytes(content)


for _title, _row in (
    ("index not JSON (exception propagated)", _import_fails(ValueError, served=("good", None, "<html>"))),
    ("index digest not text (TypeError, no archive request)",
     _import_fails(TypeError, served=("good", None, '[{"version": [1, 0], "md5": null}]'))),
    ("not a zip archive (BadZipFile)", _import_fails(zipfile.BadZipFile, served=("not zip",))),
    ("torn data member (CRC error, temporary file discarded)", _import_fails(zipfile.BadZipFile, served=("torn",))),
    ("archive without the data file (FileNotFoundError)", _import_fails(FileNotFoundError, served=("no data",))),
):
    case("__import_module__: " + _title)(_row)
del _title, _row


@case("__import_module__: unreachable server (ConnectionError)")
def _(vesk, env):
    import socket

    import requests

    closed = env.__dict__.get("leak_closed_port")
    if closed is None:  # one address for every round: the URL parser caches what it saw
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed = env.leak_closed_port = probe.getsockname()[1]
    with _module_state(vesk, env):
        _record(vesk, env)
        with raises(requests.exceptions.ConnectionError):
            vesk.__import_module__(ADDON, f"http://127.0.0.1:{closed}")


@case("__import_module__: index without md5 (KeyError)", cost=4)
def _(vesk, env):
    with _module_state(vesk, env):
        url = _serve(env, "good", index='[{"version": [1, 0]}]')
        record = _record(vesk, env)
        with raises(KeyError):
            vesk.__import_module__(ADDON, url)
        assert record.version == "1.0"


for _title, _row in (
    ("the add-on folder cannot be made (FileNotFoundError)",
     _import_fails(FileNotFoundError, "tellmora.a\x0bA = 1\n",
                   swapped=lambda env: {"get_addons_path": lambda: str(env.tmp / "missing" / "addons")})),
    ("no record of that name (KeyError)", _import_fails(KeyError, name="unknown")),
    ("data file not UTF-8 (UnicodeDecodeError)",
     _import_fails(UnicodeDecodeError, "cached", prepare=lambda env: _data_file(env, b"tellmora.a\x0b\xff"))),
    ("a record without separator (ValueError)",
     _import_fails(ValueError, "tellmora.a\x0bA = 1\n\x0b\x0btellmora.no_separator")),
    ("a source that does not compile (SyntaxError)", _import_fails(SyntaxError, "tellmora.a\x0bdef (:\n")),
    ("a module raises SystemExit (propagated)", _import_fails(SystemExit, "tellmora.a\x0braise SystemExit(3)\n")),
    ("a start-up module cannot be written (IsADirectoryError)",
     _import_fails(IsADirectoryError, "tellmora.__init__\x0bI = 1\n",
                   prepare=lambda env: (_home(env) / "__init__.py").mkdir(parents=True))),
    ("writing and then closing fail (close's error, with the first as context)",
     _import_fails(ValueError, "tellmora.__init__\x0bI = 1\n",
                   swapped=lambda env: {"open": lambda *args, **keywords: _FailingFile()})),
):
    case("__import_module__: " + _title)(_row)
del _title, _row


# ---- the host shut down under an action, updates, leftovers, bounds ---------------------

@case("register: the host shut down under it (RuntimeError, what it registered undone)")
def _(vesk, env):
    loading = _fake_loading()
    with _registry(vesk, **loading) as prefs:
        module = loading["__import_module__"]("tellmora", "")[0]
        module.register = lambda: vesk.unregister_all()
        with raises(RuntimeError):
            vesk.operator("install")
        assert prefs.installed == {}


def _oversized():
    """An archive whose member states 1.25 GiB unpacked, and its digest."""
    import hashlib

    _tests_on_path()
    import addon_package

    data = addon_package.oversized_member(addon_package.package_archive(_archives()["bundle"], extra={"big.bin": "x"}),
                                          "big.bin", 5 << 28)
    return data, hashlib.md5(data).hexdigest()


@case("__import_module__: a folder where the data file goes (removed, downloaded again); the version beside it")
def _(vesk, env):
    with _module_state(vesk, env):
        url = _serve(env, "good")
        (_home(env) / f"{ADDON}.data").mkdir(parents=True)
        record = _record(vesk, env)
        assert len(vesk.__import_module__(ADDON, url)) == 2 and record.version == "1.0"


@case("__import_module__: index 404, unpacked size over the bound (RegisterException)", cost=4)
def _(vesk, env):
    import json

    with _module_state(vesk, env):
        _, url, dist = _package_server(env)
        _record(vesk, env)
        with raises(vesk.RegisterException):
            vesk.__import_module__("tellmora", url + "/nothing-here")
        archive, digest = _oversized()
        (dist / ADDON).mkdir(exist_ok=True)
        (dist / ADDON / f"{digest}.zip").write_bytes(archive)
        (dist / ADDON / "index.json").write_text(json.dumps([{"version": [1, 0], "md5": digest}]))
        with raises(vesk.RegisterException):
            vesk.__import_module__(ADDON, url)


@case("operator: update fetched first and put in place, then failing (digest, unreachable), uninstall", cost=4)
def _(vesk, env):
    import requests

    with _module_state(vesk, env):
        url = _serve(env, "good")
        with _service({"url": url}):
            _record(vesk, env)
            prefs = vesk._vesk
            prefs.installed = {}
            vesk.operator("update")
            assert prefs.addons[0].tips == "INSTALLED"
            _serve(env, "good", md5="0" * 32)
            vesk.operator("update")
            assert prefs.addons[0].tips.startswith("Update failed: ")
        with _service(address="http://127.0.0.1:9"):
            with raises(requests.exceptions.ConnectionError):
                vesk.operator("update")
        vesk.operator("uninstall")
        assert not _home(env).exists()


@case("register: an installed add-on's index answers 404; an installed record without a version", cost=4)
def _(vesk, env):
    web = _server()
    with _registry(vesk, **_fake_loading()) as prefs:
        record = prefs.addons["tellmora"]
        record.status = True
        record.version = ""
        assert vesk.register(record, "check_update") is None and record.update
        web.put("/addons/tellmora/index.json", "gone", status=404)
        try:
            assert vesk.register(record, "check_update") is None and record.tips.endswith("(HTTP 404).")
        finally:
            web.put_json("/addons/tellmora/index.json", [{"version": [1, 2, 0], "md5": "0" * 32}])
