"""The registration order of an add-on's classes, against the stand-in for Blender's API."""

import traceback
import types

import bpy
import pytest

# A self-reference is a cycle exactly when the function sees the dependency, so
# "raises the circular-dependency error" is how these tests observe a dependency
# whose position alone the set order would leave open.
CIRCULAR = "cannot order classes for registration, circular dependency among: "


def make(base, name, annotations=None, bases=None, **attributes):
    namespace = {"__module__": "addon", **attributes}
    if annotations is not None:
        namespace["__annotations__"] = dict(annotations)
    return type(base)(name, bases or (base,), namespace)


def module(*classes, **named):
    result = types.ModuleType("addon")
    for cls in classes:
        setattr(result, cls.__name__, cls)
    for name, value in named.items():
        setattr(result, name, value)
    return result


def cycle_names(raised):
    text = str(raised.value)
    assert text.startswith(CIRCULAR)
    return sorted(text[len(CIRCULAR):].split(", "))


def self_dependent(vesk, cls, annotation):
    """True when `annotation`, given to `cls` as a reference to itself, is seen as a dependency."""
    cls.__annotations__ = {"me": annotation(cls)}
    try:
        vesk.__get_ordered_classes__([module(cls)])
    except ValueError as error:
        assert str(error) == CIRCULAR + cls.__name__
        return True
    return False


# ---- selection ---------------------------------------------------------------------


def test_selection_by_direct_base_and_registration(vesk, monkeypatch):
    direct = [make(getattr(bpy.types, name), f"My{name}") for name in (
        "Panel", "Operator", "PropertyGroup", "AddonPreferences", "Header", "Menu", "Node", "NodeSocket",
        "NodeTree", "UIList", "RenderEngine", "Gizmo", "GizmoGroup")]
    operator = direct[1]

    class Mixin:
        pass

    class MixinOperator(Mixin, bpy.types.Operator):  # a base type beside a mixin: selected
        pass

    class OperatorMixin(bpy.types.Operator):
        pass

    class FromMixin(OperatorMixin):  # only an add-on class as direct base: not selected
        pass

    class SubOperator(operator):
        pass

    registered = make(bpy.types.PropertyGroup, "Registered")
    bpy.utils.registered.append(registered)
    first = module(*direct, Mixin, MixinOperator, SubOperator, FromMixin, registered,
                   number=3, function=len, instance=direct[0].__new__(direct[0]), module=types)
    # Imported into a second module, and under another name: still once.
    second = module(operator, OperatorMixin, alias=MixinOperator)

    result = vesk.__get_ordered_classes__(iter([first, second]))
    assert type(result) is list and len(result) == len(set(result))
    assert set(result) == {*direct, MixinOperator, OperatorMixin}

    assert vesk.__get_ordered_classes__([]) == []

    # The base types are Blender's at the moment of the call; no is_registered counts as unregistered.
    class Header:
        pass

    monkeypatch.setattr(bpy.types, "Header", Header)
    plain = type("Plain", (Header,), {})
    assert vesk.__get_ordered_classes__([module(plain, direct[4])]) == [plain]
    assert vesk.__get_ordered_classes__(modules=(module(Mixin, FromMixin, registered),)) == []


def test_is_registered_and_bl_idname_lookups(vesk):
    class Meta(type(bpy.types.Panel)):
        @property
        def bl_idname(cls):
            raise RuntimeError("bl_idname lookup fails")

    # A failing bl_idname counts as absent: the class is known by its name.
    odd_parent = Meta("OddParent", (bpy.types.Panel,), {})
    child = make(bpy.types.Panel, "Child", bl_idname="Child", bl_parent_id="OddParent")
    for _ in range(5):
        assert vesk.__get_ordered_classes__([module(child, odd_parent)]) == [odd_parent, child]

    class Dynamic(type(bpy.types.Panel)):
        def __getattr__(cls, name):  # attributes no MRO holds
            if name == "bl_idname":
                return "DYNAMIC"
            raise AttributeError(name)

    dynamic_parent = Dynamic("DynamicParent", (bpy.types.Panel,), {})
    dynamic_child = make(bpy.types.Panel, "DynamicChild", bl_parent_id="DYNAMIC")
    for _ in range(5):
        assert vesk.__get_ordered_classes__([module(dynamic_child, dynamic_parent)]) == [dynamic_parent, dynamic_child]

    class Failing(type(bpy.types.Panel)):
        @property
        def is_registered(cls):
            raise RuntimeError("is_registered lookup fails")

    with pytest.raises(RuntimeError, match="is_registered lookup fails"):
        vesk.__get_ordered_classes__([module(Failing("Bad", (bpy.types.Panel,), {}))])


# ---- annotations --------------------------------------------------------------------


@pytest.mark.parametrize("version", [(4, 5, 0), (3, 2, 0), (3, 1, 99), (2, 93, 0)])
def test_pointer_and_collection_annotations_in_either_style(vesk, version):
    bpy.app.version = version  # declarations below take the style of this version
    target = make(bpy.types.PropertyGroup, "Target")
    other = make(bpy.types.PropertyGroup, "Other")
    user = make(bpy.types.Operator, "User", {
        "one": bpy.props.PointerProperty(type=target),
        "many": bpy.props.CollectionProperty(type=other),
        "name": bpy.props.StringProperty(name="x"),
        "count": int,
    })
    for _ in range(5):
        result = vesk.__get_ordered_classes__([module(user, target, other)])
        assert result[-1] is user and set(result) == {user, target, other}

    for declare in (bpy.props.PointerProperty, bpy.props.CollectionProperty):
        assert self_dependent(vesk, make(bpy.types.PropertyGroup, "Self"), lambda cls: declare(type=cls))
    # No `type`, a type outside the add-on, a registered class: no dependency.
    if version >= (3, 2):
        assert not self_dependent(vesk, make(bpy.types.PropertyGroup, "Self"),
                                  lambda cls: bpy.props.PointerProperty())
    registered = make(bpy.types.PropertyGroup, "Registered")
    bpy.utils.registered.append(registered)
    lonely = make(bpy.types.Operator, "Lonely", {"p": bpy.props.PointerProperty(type=registered),
                                                 "q": bpy.props.PointerProperty(type=bpy.types.WindowManager)})
    assert vesk.__get_ordered_classes__([module(lonely, registered)]) == [lonely]


def test_version_switch_is_read_at_the_call(vesk):
    deferred = lambda cls: bpy.props._PropertyDeferred(bpy.props.PointerProperty, {"type": cls})  # noqa: E731
    pair = lambda cls: (bpy.props.PointerProperty, {"type": cls})  # noqa: E731
    pair_subclass = lambda cls: type("Pair", (tuple,), {})(pair(cls))  # noqa: E731
    triple = lambda cls: (bpy.props.PointerProperty, {"type": cls}, None)  # noqa: E731
    cases = {(3, 2): {deferred}, (3, 1, 9): {pair, pair_subclass}, (4, 0, 0): {deferred}, (2, 80): {pair, pair_subclass}}
    for version, seen in cases.items():
        bpy.app.version = version
        for annotation in (deferred, pair, pair_subclass, triple):
            found = self_dependent(vesk, make(bpy.types.PropertyGroup, "Self"), annotation)
            assert found == (annotation in seen), (version, annotation)


def test_annotation_failures_propagate(vesk):
    # A text annotation is evaluated in empty namespaces: builtins only.
    fine = make(bpy.types.Operator, "Fine", {"n": "int"})
    assert vesk.__get_ordered_classes__([module(fine)]) == [fine]
    undefined = make(bpy.types.Operator, "Undefined", {"p": "PointerProperty(type=Fine)"})
    with pytest.raises(NameError, match="PointerProperty") as raised:
        vesk.__get_ordered_classes__([module(fine, undefined)])
    entries = [(f.name, f.filename) for f in traceback.extract_tb(raised.value.__traceback__)]
    assert ("__get_ordered_classes__", "src/vesk/registration.cpp") in entries
    assert entries[-1][0] != "__get_ordered_classes__"  # the original frames stay below

    unhashable = make(bpy.types.Operator, "Unhashable", {"p": bpy.props.PointerProperty(type=[])})
    with pytest.raises(TypeError, match="unhashable"):
        vesk.__get_ordered_classes__([module(unhashable)])

    bpy.app.version = (3, 0, 0)
    without_type = make(bpy.types.Operator, "WithoutType", {"p": bpy.props.CollectionProperty(name="x")})
    with pytest.raises(KeyError, match="type"):
        vesk.__get_ordered_classes__([module(without_type)])


def test_type_hints_come_from_typing_global_with_fresh_namespaces(vesk, monkeypatch):
    calls = []

    def get_type_hints(cls, globalns, localns):
        calls.append((cls, globalns, localns))
        return {}

    monkeypatch.setattr(vesk, "typing", types.SimpleNamespace(get_type_hints=get_type_hints))
    first, second = make(bpy.types.Operator, "First"), make(bpy.types.Operator, "Second")
    vesk.__get_ordered_classes__([module(first, second)])
    assert {c[0] for c in calls} == {first, second}
    namespaces = [ns for c in calls for ns in c[1:]]
    assert all(ns == {} for ns in namespaces) and len({id(ns) for ns in namespaces}) == 4


# ---- parent panels ------------------------------------------------------------------


def test_parent_panels(vesk):
    main = make(bpy.types.Panel, "XYZ_PT_main")  # no bl_idname: known by its class name
    sub = make(bpy.types.Panel, "Sub", bl_idname="XYZ_PT_sub", bl_parent_id="XYZ_PT_main")
    subsub = make(bpy.types.Panel, "SubSub", bl_parent_id="XYZ_PT_sub")
    orphan = make(bpy.types.Panel, "Orphan", bl_parent_id="NOT_IN_ADDON")
    for _ in range(10):
        result = vesk.__get_ordered_classes__([module(subsub, orphan, sub, main)])
        assert result.index(main) < result.index(sub) < result.index(subsub) and orphan in result

    # An explicit bl_idname wins over another class's name.
    named_like = make(bpy.types.Panel, "Shared")
    explicit = make(bpy.types.Panel, "Explicit", bl_idname="Shared", bl_parent_id="CHILD")
    child = make(bpy.types.Panel, "Child", bl_idname="CHILD", bl_parent_id="Shared")
    with pytest.raises(ValueError) as raised:
        vesk.__get_ordered_classes__([module(named_like, explicit, child)])
    assert cycle_names(raised) == ["Child", "Explicit"]

    # Only a class with Panel among its direct bases has a parent; a registered parent adds nothing.
    assert vesk.__get_ordered_classes__([module(make(bpy.types.Operator, "Op", bl_idname="X", bl_parent_id="X"))])
    registered = make(bpy.types.Panel, "Registered", bl_idname="REG")
    bpy.utils.registered.append(registered)
    under = make(bpy.types.Panel, "Under", bl_idname="REG_SUB", bl_parent_id="REG")
    assert vesk.__get_ordered_classes__([module(registered, under)]) == [under]

    with pytest.raises(TypeError, match="unhashable"):
        vesk.__get_ordered_classes__([module(make(bpy.types.Panel, "P", bl_parent_id=["list"]))])


# ---- the passes ---------------------------------------------------------------------


def test_chains_diamonds_and_passes(vesk):
    for _ in range(10):
        x = make(bpy.types.PropertyGroup, "X")
        y = make(bpy.types.PropertyGroup, "Y", {"x": bpy.props.PointerProperty(type=x)})
        z = make(bpy.types.Operator, "Z", {"y": bpy.props.CollectionProperty(type=y),
                                           "again": bpy.props.PointerProperty(type=y)})
        assert vesk.__get_ordered_classes__([module(z, y, x)]) == [x, y, z]

        top = make(bpy.types.PropertyGroup, "Top")
        left = make(bpy.types.PropertyGroup, "Left", {"t": bpy.props.PointerProperty(type=top)})
        right = make(bpy.types.Panel, "Right", {"t": bpy.props.PointerProperty(type=top)}, bl_idname="R")
        bottom = make(bpy.types.Panel, "Bottom", {"l": bpy.props.PointerProperty(type=left)}, bl_parent_id="R")
        free = [make(bpy.types.Operator, f"Free{i}") for i in range(6)]
        result = vesk.__get_ordered_classes__([module(bottom, right, left, top, *free)])
        # Pass 1: Top and the free classes; pass 2: Left and Right; pass 3: Bottom.
        assert set(result[:7]) == {top, *free} and set(result[7:9]) == {left, right} and result[9] is bottom


# ---- failures -----------------------------------------------------------------------


def test_cycles_of_several_shapes(vesk):
    selfish = make(bpy.types.Panel, "Selfish", bl_idname="SELF", bl_parent_id="SELF")
    a = make(bpy.types.PropertyGroup, "A")
    b = make(bpy.types.PropertyGroup, "B", {"a": bpy.props.PointerProperty(type=a)})
    a.__annotations__ = {"b": bpy.props.CollectionProperty(type=b)}
    p = make(bpy.types.Panel, "P", bl_parent_id="Q")
    q = make(bpy.types.Panel, "Q", {"r": bpy.props.PointerProperty(type=a)}, bl_parent_id="P")
    downstream = make(bpy.types.Operator, "Downstream", {"p": bpy.props.PointerProperty(type=selfish)})
    free = make(bpy.types.Operator, "Free")
    for modules, left in [([module(selfish)], ["Selfish"]),
                          ([module(a, b, free)], ["A", "B"]),
                          ([module(p, q, a, b)], ["A", "B", "P", "Q"]),
                          ([module(free, downstream, selfish)], ["Downstream", "Selfish"])]:
        with pytest.raises(ValueError) as raised:
            vesk.__get_ordered_classes__(modules)
        assert cycle_names(raised) == left
        assert not isinstance(raised.value, vesk.RegisterException)


def test_lookup_failures_propagate(vesk, monkeypatch):
    operator = make(bpy.types.Operator, "Op")
    monkeypatch.delattr(bpy.types, "GizmoGroup")
    with pytest.raises(AttributeError, match="GizmoGroup"):
        vesk.__get_ordered_classes__([module(operator)])
    monkeypatch.undo()

    with pytest.raises(TypeError):
        vesk.__get_ordered_classes__(3)
    with pytest.raises(TypeError):
        vesk.__get_ordered_classes__()

    addon = module(operator)

    class Growing:
        @property
        def __class__(self):  # consulted by isinstance(value, type)
            addon.grown = 1
            return Growing

    addon.growing = Growing()
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        vesk.__get_ordered_classes__([addon])

    seen = []
    monkeypatch.setattr(vesk, "inspect", types.SimpleNamespace(isclass=lambda v: seen.append(v) or False))
    assert vesk.__get_ordered_classes__([module(operator)]) == [] and operator in seen
