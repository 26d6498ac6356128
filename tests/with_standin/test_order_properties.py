"""Random dependency graphs: every class after its dependencies, every cycle reported, never a hang."""

import signal
import types
from contextlib import contextmanager

import bpy
import corvane.vesk as vesk
from hypothesis import given, settings
from hypothesis import strategies as st

import baseline_order

CIRCULAR = "cannot order classes for registration, circular dependency among: "
KINDS = ("PropertyGroup", "Operator", "Panel")


@contextmanager
def time_limit(seconds):
    def expired(signum, frame):
        raise TimeoutError("__get_ordered_classes__ did not return")

    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


@st.composite
def graphs(draw):
    size = draw(st.integers(1, 12))
    kinds = draw(st.lists(st.sampled_from(KINDS), min_size=size, max_size=size))
    named = draw(st.lists(st.booleans(), min_size=size, max_size=size))  # has an explicit bl_idname
    pairs = st.tuples(st.integers(0, size - 1), st.integers(0, size - 1), st.sampled_from(["pointer", "collection"]))
    edges = draw(st.lists(pairs, max_size=2 * size))
    parents = draw(st.lists(st.one_of(st.none(), st.integers(0, size - 1)), min_size=size, max_size=size))
    old_style = draw(st.booleans())
    return kinds, named, edges, parents, old_style


def build(kinds, named, edges, parents, old_style):
    """The classes of one add-on module, and for each the numbers of the classes it depends on."""
    bpy.app.version = (3, 1, 0) if old_style else (4, 5, 0)
    classes = []
    for index, kind in enumerate(kinds):
        namespace = {"__module__": "addon"}
        if named[index]:
            namespace["bl_idname"] = f"ADDON_ID_{index}"
        classes.append(type(getattr(bpy.types, kind))(f"C{index}", (getattr(bpy.types, kind),), namespace))
    deps = [set() for _ in kinds]
    for index, cls in enumerate(classes):
        declare = {"pointer": bpy.props.PointerProperty, "collection": bpy.props.CollectionProperty}
        cls.__annotations__ = {f"d{n}": declare[how](type=classes[target])
                               for n, (source, target, how) in enumerate(edges) if source == index}
        deps[index].update(target for source, target, _ in edges if source == index)
        parent = parents[index]
        if parent is not None and kinds[index] == "Panel":
            parent_cls = classes[parent]
            cls.bl_parent_id = getattr(parent_cls, "bl_idname", parent_cls.__name__)
            deps[index].add(parent)
    addon = types.ModuleType("addon")
    for cls in classes:
        setattr(addon, cls.__name__, cls)
    return classes, deps, addon


def left_over(deps):
    """The classes on a cycle or depending on one, through the transitive closure."""
    size = len(deps)
    reach = [set(d) for d in deps]
    for middle in range(size):
        for source in range(size):
            if middle in reach[source]:
                reach[source] |= reach[middle]
    on_cycle = {n for n in range(size) if n in reach[n]}
    return {n for n in range(size) if n in on_cycle or reach[n] & on_cycle}


@settings(max_examples=100, deadline=None)
@given(graphs())
def test_random_dependency_graphs(graph):
    bpy.reset()
    classes, deps, addon = build(*graph)
    stuck = left_over(deps)
    try:
        with time_limit(20):
            result = vesk.__get_ordered_classes__([addon])
    except ValueError as error:
        assert stuck, error
        text = str(error)
        assert text.startswith(CIRCULAR)
        assert sorted(text[len(CIRCULAR):].split(", ")) == sorted(f"C{n}" for n in stuck)
        return
    assert not stuck
    position = {cls: at for at, cls in enumerate(result)}
    assert sorted(position.values()) == list(range(len(classes))) and set(position) == set(classes)

    # Pass k holds exactly the classes whose longest chain of dependencies has k-1 links.
    level = {}

    def longest(n):
        if n not in level:
            level[n] = 1 + max((longest(d) for d in deps[n]), default=-1)
        return level[n]

    levels = [longest(int(cls.__name__[1:])) for cls in result]
    assert levels == sorted(levels)
    for n, cls in enumerate(classes):
        assert all(position[classes[d]] < position[cls] for d in deps[n])
    # The same set order as the plain transcription gives the very same list.
    assert result == baseline_order.get_ordered_classes([addon])
