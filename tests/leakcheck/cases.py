"""Rows of the reference-leak check.

Each row calls corvane.vesk along one path (success, an exception returned,
raised or swallowed) against the stand-in for Blender's API. The check runs
every row many times on the debug interpreter and fails when the interpreter's
total reference count grows. A new function or failure path adds one row here.

A row is `@case("name")` on a function `run(vesk, env)`; `env` is a `LeakEnv`
(a scratch folder and helpers shared by the rows). A row must leave the module
and the stand-in as it found them, so that every round does the same work.
"""

import contextlib

CASES = {}


def case(name):
    def add(run):
        assert name not in CASES, f"duplicate leak-check row {name!r}"
        CASES[name] = run
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
        from webserver import WebServer

        _web = WebServer()
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


@case("register: check_update only")
def _(vesk, env):
    with _registry(vesk, **_fake_loading()) as prefs:
        assert vesk.register(prefs.addons["tellmora"], "check_update") is None
        assert prefs.addons["tellmora"].tips == "Available update: 1.2.0"


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

@case("operator: install, update, uninstall (register swapped), preferences, version")
def _(vesk, env):
    with _registry(vesk, **_fake_loading()) as prefs:
        vesk.operator("install")
        vesk.operator("update")
        vesk.operator("uninstall")
        vesk.operator("preferences")
        assert vesk.operator("version").startswith("Version: ")
        assert vesk.operator("no such action") is None


@case("operator: install failing with RegisterException, addon_enable error swallowed")
def _(vesk, env):
    import bpy

    def failing(name, url):
        raise vesk.RegisterException([1020, "md5", "Zip file has broken, please reinstall."])

    with _registry(vesk, **dict(_fake_loading(), __import_module__=failing)) as prefs:
        vesk.operator("install")
        assert prefs.addons[0].tips == "Zip file has broken, please reinstall."
    with _registry(vesk, **_fake_loading()) as prefs:
        bpy.ops.fail_on["preferences.addon_enable"] = RuntimeError("refused")
        try:
            vesk.operator("install")
        finally:
            bpy.ops.reset()


@case("operator: index out of range propagated")
def _(vesk, env):
    with _registry(vesk) as prefs:
        prefs.index = 3
        with raises(IndexError):
            vesk.operator("version")


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
