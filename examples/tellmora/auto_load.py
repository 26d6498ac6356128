"""Finds the add-on's modules on disk and registers their Blender classes in an
order that respects pointer properties and parent panels."""

import importlib
import inspect
import pkgutil
import typing
from pathlib import Path

import bpy

_modules = []
_classes = []


def init():
    global _modules, _classes
    package = __name__.rpartition(".")[0]
    names = [info.name for info in pkgutil.iter_modules([str(Path(__file__).parent)])
             if info.name not in ("auto_load",)]
    _modules = [importlib.import_module(f"{package}.{name}") for name in sorted(names)]
    _classes = _ordered(_blender_classes(_modules))


def register():
    for cls in _classes:
        bpy.utils.register_class(cls)
    for module in _modules:
        if hasattr(module, "register"):
            module.register()


def unregister():
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
    for module in _modules:
        if hasattr(module, "unregister"):
            module.unregister()


def _blender_classes(modules):
    bases = tuple(getattr(bpy.types, name) for name in ("Panel", "Operator", "PropertyGroup", "Menu", "UIList"))
    found = []
    for module in modules:
        for value in vars(module).values():
            if inspect.isclass(value) and any(base in bases for base in value.__bases__) and value not in found:
                found.append(value)
    return found


def _dependencies(cls, classes):
    by_idname = {getattr(c, "bl_idname", c.__name__): c for c in classes}
    for hint in typing.get_type_hints(cls, {}, {}).values():
        target = getattr(hint, "keywords", {}).get("type")
        if target in classes:
            yield target
    parent = by_idname.get(getattr(cls, "bl_parent_id", None))
    if parent is not None:
        yield parent


def _ordered(classes):
    ordered, pending = [], list(classes)
    while pending:
        ready = [c for c in pending if all(d in ordered for d in _dependencies(c, classes))]
        if not ready:
            raise RuntimeError(f"circular class dependencies: {[c.__name__ for c in pending]}")
        ordered += ready
        pending = [c for c in pending if c not in ready]
    return ordered
