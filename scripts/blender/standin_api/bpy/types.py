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


class _Property:
    """One declared field of a property group instance: coerces and checks like Blender."""

    def __init__(self, declaration):
        function, self.keywords = declaration if isinstance(declaration, tuple) else (
            declaration.function, declaration.keywords)
        self.kind = function.__name__

    def default(self):
        if self.kind == "CollectionProperty":
            return bpy_prop_collection(self.keywords["type"])
        return self.keywords.get("default", {"StringProperty": "", "BoolProperty": False, "IntProperty": 0}
                                 .get(self.kind))

    def coerce(self, name, value):
        if self.kind == "StringProperty":
            if not isinstance(value, str):
                raise TypeError(f"bpy_struct: item.attr = val: {name} expected a string type, not "
                                f"{type(value).__name__}")
            return value
        if self.kind == "BoolProperty":
            if not isinstance(value, int):
                raise TypeError(f"bpy_struct: item.attr = val: {name} expected True/False or 0/1, not "
                                f"{type(value).__name__}")
            return bool(value)
        if self.kind == "IntProperty":
            return int(value)
        return value


def _declared_fields(cls):
    """The evaluated property declarations of a class (texts are evaluated in its module)."""
    import sys

    fields = {}
    for klass in reversed(cls.__mro__):
        for name, declaration in vars(klass).get("__annotations__", {}).items():
            if isinstance(declaration, str):
                declaration = eval(declaration, vars(sys.modules[klass.__module__]))
            fields[name] = _Property(declaration)
    return fields


def new_instance(cls):
    """An instance of a registered property group, with every field at its default."""
    instance = object.__new__(cls)
    fields = _declared_fields(cls)
    object.__setattr__(instance, "_fields", fields)
    for name, field in fields.items():
        object.__setattr__(instance, name, field.default())
    return instance


def _checked_setattr(self, name, value):
    fields = object.__getattribute__(self, "_fields") if "_fields" in self.__dict__ else {}
    if name in fields:
        value = fields[name].coerce(name, value)
    object.__setattr__(self, name, value)


bpy_struct.__setattr__ = _checked_setattr


class bpy_prop_collection:
    """A collection property: items keyed by their `name`, in insertion order."""

    def __init__(self, item_type):
        self.item_type = item_type
        self.items = []

    def add(self):
        item = new_instance(self.item_type)
        self.items.append(item)
        return item

    def keys(self):
        return [item.name for item in self.items]

    def __iter__(self):
        return iter(list(self.items))

    def __len__(self):
        return len(self.items)

    def __getitem__(self, key):
        if isinstance(key, str):
            for item in self.items:
                if item.name == key:
                    return item
            raise KeyError(f'bpy_prop_collection[key]: key "{key}" not found')
        if isinstance(key, int):
            if -len(self.items) <= key < len(self.items):
                return self.items[key]
            raise IndexError(f"bpy_prop_collection[index]: index {key} out of range, size {len(self.items)}")
        raise TypeError("bpy_prop_collection[key]: invalid key, must be a string or an int")


def host_preferences(record_type, records=()):
    """A host add-on's preferences: `addons` of `record_type` records and `index`.

    `records` are dicts of field values for records to create up front.
    """
    Preferences = type("HostPreferences", (AddonPreferences,), {
        "__module__": __name__,
        "__annotations__": {
            "addons": _props().CollectionProperty(type=record_type),
            "index": _props().IntProperty(),
        },
    })
    prefs = new_instance(Preferences)
    for values in records:
        record = prefs.addons.add()
        for name, value in values.items():
            setattr(record, name, value)
    return prefs


def _props():
    from . import props

    return props
