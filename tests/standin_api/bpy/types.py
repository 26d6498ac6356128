"""bpy.types: the base types add-on classes derive from."""

from . import utils


prepared = []  # (name, bases) of every class body prepared through the metaclass


class _StructMeta(type):
    @classmethod
    def __prepare__(metacls, name, bases, **keywords):
        prepared.append((name, bases))
        return super().__prepare__(name, bases, **keywords)

    @property
    def is_registered(cls):
        return cls in utils.registered


class bpy_struct(metaclass=_StructMeta):
    pass


_BASE_NAMES = (
    "Panel", "Operator", "PropertyGroup", "AddonPreferences", "Header", "Menu", "Node",
    "NodeSocket", "NodeTree", "UIList", "RenderEngine", "Gizmo", "GizmoGroup",
)

for _name in _BASE_NAMES:
    globals()[_name] = _StructMeta(_name, (bpy_struct,), {"__module__": __name__})


class WindowManager(bpy_struct):
    pass


def reset():
    # Types a test removed (a Blender without GizmoGroup, say) come back.
    for name in _BASE_NAMES:
        if name not in globals():
            globals()[name] = _StructMeta(name, (bpy_struct,), {"__module__": __name__})
