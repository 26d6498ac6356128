"""The registration order in plain Python: the baseline the benchmark measures
corvane.vesk.__get_ordered_classes__ against.

A straightforward transcription of the same rules, closures and generators
included, with the same two amendments as the module: a dependency cycle raises
instead of looping, and a class without bl_idname is known by its class name.
"""

import inspect
import typing

import bpy


def get_ordered_classes(modules):
    def get_register_deps_dict(modules):
        my_classes = set(iter_my_classes(modules))
        my_classes_by_idname = {cls.__name__: cls for cls in my_classes if not hasattr(cls, "bl_idname")}
        my_classes_by_idname.update({cls.bl_idname: cls for cls in my_classes if hasattr(cls, "bl_idname")})
        deps_dict = {}
        for cls in my_classes:
            deps_dict[cls] = set(iter_my_register_deps(cls, my_classes, my_classes_by_idname))
        return deps_dict

    def iter_my_register_deps(cls, my_classes, my_classes_by_idname):
        yield from iter_my_deps_from_annotations(cls, my_classes)
        yield from iter_my_deps_from_parent_id(cls, my_classes_by_idname)

    def iter_my_deps_from_annotations(cls, my_classes):
        for value in typing.get_type_hints(cls, {}, {}).values():
            dependency = get_dependency_from_annotation(value)
            if dependency is not None and dependency in my_classes:
                yield dependency

    def get_dependency_from_annotation(value):
        if bpy.app.version >= (3, 2):
            if isinstance(value, bpy.props._PropertyDeferred):
                return value.keywords.get("type")
        else:
            if isinstance(value, tuple) and len(value) == 2:
                if value[0] == bpy.props.PointerProperty or value[0] == bpy.props.CollectionProperty:
                    return value[1]["type"]
        return None

    def iter_my_deps_from_parent_id(cls, my_classes_by_idname):
        if bpy.types.Panel in cls.__bases__:
            parent_idname = getattr(cls, "bl_parent_id", None)
            if parent_idname is not None:
                parent_cls = my_classes_by_idname.get(parent_idname)
                if parent_cls is not None:
                    yield parent_cls

    def iter_my_classes(modules):
        base_types = get_register_base_types()
        for cls in get_classes_in_modules(modules):
            if any(base in base_types for base in cls.__bases__):
                if not getattr(cls, "is_registered", False):
                    yield cls

    def get_classes_in_modules(modules):
        classes = set()
        for module in modules:
            for cls in iter_classes_in_module(module):
                classes.add(cls)
        return classes

    def iter_classes_in_module(module):
        for value in module.__dict__.values():
            if inspect.isclass(value):
                yield value

    def get_register_base_types():
        return set(getattr(bpy.types, name) for name in [
            "Panel", "Operator", "PropertyGroup", "AddonPreferences", "Header", "Menu", "Node",
            "NodeSocket", "NodeTree", "UIList", "RenderEngine", "Gizmo", "GizmoGroup",
        ])

    def toposort(deps_dict):
        sorted_list = []
        sorted_values = set()
        while len(deps_dict) > 0:
            unsorted = []
            for value, deps in deps_dict.items():
                if len(deps) == 0:
                    sorted_list.append(value)
                    sorted_values.add(value)
                else:
                    unsorted.append(value)
            if len(unsorted) == len(deps_dict):
                names = ", ".join(cls.__name__ for cls in unsorted)
                raise ValueError(f"cannot order classes for registration, circular dependency among: {names}")
            deps_dict = {value: deps_dict[value] - sorted_values for value in unsorted}
        return sorted_list

    return toposort(get_register_deps_dict(modules))
