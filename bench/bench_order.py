"""Registration order: corvane.vesk.__get_ordered_classes__ against its plain Python
transcription (bench/baseline_order.py), side by side in the same run.

    .venv/bin/python bench/bench_order.py              # here: Blender 4.x's bpy module (the stand-in if absent)
    .venv/bin/python bench/bench_order.py --blender    # also inside Debian's Blender 3.4
    .venv/bin/python bench/bench_order.py --standin    # against the stand-in for Blender's API

Generated add-ons of 10, 100, 1,000 and 5,000 classes in four shapes: flat
(no dependencies), chains (property groups pointing at the previous one, 100
long), fans (operators with eight pointer and collection properties each, into a
pool of property groups) and panel trees (four children a panel, top panels
without bl_idname). Every figure is the median of several runs of one call; the
ratio is baseline time over module time (above 1: the module is ahead). The last
columns show what both sides spend in the required calls they share:
`typing.get_type_hints` on every selected class and `inspect.isclass` on every
namespace value, timed alone over the same classes. With --cached-hints both
sides get `typing.get_type_hints` answered from a dict, which shows the work
that is left around that call.
"""

import argparse
import inspect
import statistics
import sys
import tempfile
import time
import types
import typing
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
SIZES = (10, 100, 1000, 5000)
SHAPES = ("flat", "chains", "fans", "panels")
CLASSES_PER_MODULE = 50


# ---- generated add-ons ------------------------------------------------------------------


def make_addon(bpy, shape, size):
    """The add-on's modules: `size` Blender classes spread over modules of 50, with the
    helper functions and constants a real module also holds."""
    props, bases = bpy.props, bpy.types
    classes = []

    def new(base, name, annotations, **attributes):
        namespace = {"__module__": "bench_addon", "__annotations__": annotations, **attributes}
        cls = type(base)(name, (base,), namespace)
        classes.append(cls)
        return cls

    if shape == "flat":
        kinds = (bases.PropertyGroup, bases.Operator, bases.Panel, bases.Menu)
        for n in range(size):
            new(kinds[n % 4], f"BENCH_flat_{n}", {"name_": props.StringProperty(name="n"),
                                                  "count": props.IntProperty(), "flag": props.BoolProperty()})
    elif shape == "chains":
        previous = None
        for n in range(size):
            annotations = {"value": props.IntProperty()}
            if n % 100:
                annotations["previous"] = props.PointerProperty(type=previous)
            previous = new(bases.PropertyGroup, f"BENCH_chain_{n}", annotations)
    elif shape == "fans":
        pool = [new(bases.PropertyGroup, f"BENCH_leaf_{n}", {"value": props.IntProperty()})
                for n in range(max(1, size // 10))]
        for n in range(size - len(pool)):
            annotations = {}
            for k in range(8):
                target = pool[(n * 8 + k) % len(pool)]
                declare = props.PointerProperty if k % 2 else props.CollectionProperty
                annotations[f"p{k}"] = declare(type=target)
            new(bases.Operator, f"BENCH_fan_{n}", annotations, bl_idname=f"bench.fan_{n}")
    elif shape == "panels":
        for n in range(size):
            attributes = {"bl_label": f"panel {n}"}
            if n % 5:  # most panels carry an explicit bl_idname; top-level ones may not
                attributes["bl_idname"] = f"BENCH_PT_{n}"
            if n >= 5:
                parent = (n - 5) // 4
                attributes["bl_parent_id"] = (f"BENCH_PT_{parent}" if parent % 5 else f"BENCH_PT_tree_{parent}")
            new(bases.Panel, f"BENCH_PT_tree_{n}", {"show": props.BoolProperty()}, **attributes)
    else:
        raise ValueError(shape)

    modules = []
    for start in range(0, len(classes), CLASSES_PER_MODULE):
        module = types.ModuleType(f"bench_addon.part{start // CLASSES_PER_MODULE}")
        module.bpy = bpy
        module.VERSION = (1, 0, start)
        module.helper = len
        for cls in classes[start:start + CLASSES_PER_MODULE]:
            setattr(module, cls.__name__, cls)
        modules.append(module)
    if len(modules) > 1:
        modules[-1].imported = classes[0]  # a class imported into a second module
    return modules


# ---- timing -------------------------------------------------------------------------


def per_call(function, argument, budget):
    """Seconds per call, timed over enough calls to fill about `budget` seconds."""
    start = time.perf_counter()
    function(argument)
    once = time.perf_counter() - start
    calls = max(1, int(budget / max(once, 1e-7)))
    start = time.perf_counter()
    for _ in range(calls):
        function(argument)
    return (time.perf_counter() - start) / calls


def shared_calls(modules, selected):
    def hints(_):
        for cls in selected:
            typing.get_type_hints(cls, {}, {})

    def isclass(_):
        for module in modules:
            for value in module.__dict__.values():
                inspect.isclass(value)

    return hints, isclass


class CachedHints:
    """Stands for the `typing` module: get_type_hints answered from a dict."""

    def __init__(self, classes):
        self.hints = {cls: typing.get_type_hints(cls, {}, {}) for cls in classes}

    def get_type_hints(self, cls, globalns, localns):
        return self.hints[cls]


def run(runs, budget, sizes, shapes, cached_hints=False):
    import bpy
    import corvane.vesk as vesk

    sys.path.insert(0, str(REPO / "scripts" / "blender"))
    import baseline_order

    where = f"Blender {bpy.app.version_string}" if hasattr(bpy.app, "version_string") else "the stand-in"
    print(f"__get_ordered_classes__ against the plain Python transcription, in {where} "
          f"(Python {sys.version.split()[0]}); median of {runs} runs, ms per call"
          + ("; get_type_hints answered from a cache" if cached_hints else ""))
    header = (f"{'shape':<8}{'classes':>8}{'baseline':>11}{'module':>10}{'ratio':>8}"
              f"{'get_type_hints':>16}{'isclass':>9}{'hints share':>13}")
    print(header)
    print("-" * len(header))
    for shape in shapes:
        for size in sizes:
            modules = make_addon(bpy, shape, size)
            expected = baseline_order.get_ordered_classes(modules)
            assert vesk.__get_ordered_classes__(modules) == expected, "the two disagree"
            assert len(expected) == size
            hints, isclass = shared_calls(modules, expected)
            if cached_hints:
                vesk.typing = baseline_order.typing = CachedHints(expected)
            samples = {"baseline": [], "module": [], "hints": [], "isclass": []}
            for _ in range(runs):  # interleaved, so drift hits both sides alike
                samples["baseline"].append(per_call(baseline_order.get_ordered_classes, modules, budget))
                samples["module"].append(per_call(vesk.__get_ordered_classes__, modules, budget))
                samples["hints"].append(per_call(hints, None, budget))
                samples["isclass"].append(per_call(isclass, None, budget))
            ms = {key: statistics.median(values) * 1e3 for key, values in samples.items()}
            print(f"{shape:<8}{size:>8}{ms['baseline']:>11.3f}{ms['module']:>10.3f}"
                  f"{ms['baseline'] / ms['module']:>7.2f}x{ms['hints']:>16.3f}{ms['isclass']:>9.3f}"
                  f"{ms['hints'] / ms['module']:>12.0%}", flush=True)
            vesk.typing = baseline_order.typing = typing


def in_debian_blender(arguments):
    sys.path.insert(0, str(REPO / "scripts" / "blender"))
    import blender_session as session

    if session.BLENDER is None:
        print("Debian's blender executable is not installed", file=sys.stderr)
        return 1
    script = f"""
        import bench_order
        bench_order.run(*{arguments!r})
    """
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as home:
        (Path(home) / "scripts").mkdir()
        result = session.run(script, home, path=[session.corvane_site(), BENCH, *session.SHARED], cwd=home,
                             timeout=600)
    lines = result.process.stdout.splitlines()
    start = next((i for i, line in enumerate(lines) if line.startswith("__get_ordered_classes__")), None)
    if result.process.returncode != 0 or start is None:
        print(result.output[-4000:], file=sys.stderr)
        return 1
    table = lines[start:start + 3] + [line for line in lines[start + 3:] if line.startswith(SHAPES)]
    print("\n".join(table))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--blender", action="store_true", help="also run inside Debian's Blender 3.4")
    parser.add_argument("--standin", action="store_true", help="use the stand-in for Blender's API here")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--budget", type=float, default=0.02, help="seconds of calls per timed sample")
    parser.add_argument("--sizes", type=int, nargs="*", default=list(SIZES))
    parser.add_argument("--shapes", nargs="*", default=list(SHAPES), choices=SHAPES)
    parser.add_argument("--cached-hints", action="store_true",
                        help="answer typing.get_type_hints from a cache on both sides")
    options = parser.parse_args()
    arguments = (options.runs, options.budget, options.sizes, options.shapes, options.cached_hints)

    if options.standin:
        sys.path.insert(0, str(REPO / "scripts" / "blender" / "standin_api"))
    run(*arguments)
    if options.blender:
        print()
        return in_debian_blender(arguments)
    return 0


if __name__ == "__main__":
    sys.exit(main())
