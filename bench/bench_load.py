"""Loading an add-on's modules from the cached bundle: corvane.vesk.__import_module__
against baseline_load.import_module (the same steps in Python), side by side in one run.

    .venv/bin/python bench/bench_load.py [--repeats N]

For bundles of 10, 100 and 500 modules it prints the median time of a load by each
(processor time of this process, so that other work on the machine counts less),
then where a load's time goes (compile, exec, gc.collect and the rest), measured in
separate runs with those three timed through the module globals both read at use.
Runs against the stand-in for Blender's API (scripts/blender/standin_api), on a temporary profile.
"""

import argparse
import gc
import shutil
import statistics
import sys
import tempfile
import time
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "scripts" / "blender" / "standin_api"), str(HERE)]

import baseline_load  # noqa: E402
import bpy  # noqa: E402
import corvane.vesk as vesk  # noqa: E402

NAME = "tellmora"
SIZES = (10, 100, 500)

MODULE_SOURCE = '''"""Module {index} of a generated add-on."""
import math

import bpy

SCALE_{index} = {index} * 0.5
TABLE_{index} = {{key: key * {index} for key in range(16)}}


class Settings{index}(bpy.types.PropertyGroup):
    """Settings of part {index}."""

    factor = 1.5

    def scaled(self, value):
        return value * self.factor + SCALE_{index}


class Operator{index}(bpy.types.Operator):
    bl_idname = "tellmora.operator_{index}"
    bl_label = "Operator {index}"

    def execute(self, context):
        total = sum(math.sqrt(v) for v in TABLE_{index}.values())
        return {{"FINISHED"}} if total >= 0 else {{"CANCELLED"}}


def helper_{index}(items):
    return [Settings{index}().scaled(item) for item in items if item % 3]


def register():
    pass


def unregister():
    pass
'''


def bundle(size):
    records = [f"{NAME}.__init__\x0bbl_info = {{'name': 'Tellmora'}}\n", f"{NAME}.auto_load\x0b# start-up\n"]
    records += [f"{NAME}.part_{index:04d}\x0b" + MODULE_SOURCE.format(index=index) for index in range(size)]
    return "\x0b\x0b".join(records)


class Stages:
    """Times compile, exec and gc.collect by standing in for them in a module's namespace."""

    NAMES = ("compile", "exec", "gc.collect")

    def __init__(self):
        self.seconds = dict.fromkeys(self.NAMES, 0.0)

    def _timed(self, stage, function):
        seconds = self.seconds
        clock = time.process_time

        def timed(*args):
            started = clock()
            try:
                return function(*args)
            finally:
                seconds[stage] += clock() - started

        return timed

    def install(self, namespace):
        saved = {name: namespace.get(name) for name in ("compile", "exec", "gc")}
        namespace["compile"] = self._timed("compile", compile)
        namespace["exec"] = self._timed("exec", exec)
        namespace["gc"] = types.SimpleNamespace(collect=self._timed("gc.collect", gc.collect))
        return saved

    @staticmethod
    def remove(namespace, saved):
        for name, value in saved.items():
            if value is None:
                namespace.pop(name, None)
            else:
                namespace[name] = value


def loaders():
    return {
        "corvane.vesk": (vesk.__import_module__, vars(vesk)),
        "Python baseline": (baseline_load.import_module, vars(baseline_load)),
    }


def load_once(load, prefs, data):
    """One load from the cached bundle; the loaded modules are dropped afterwards."""
    prefs.addons[NAME].data = data
    gc.collect()
    started = time.process_time()
    modules = load(NAME, "http://127.0.0.1:9")  # the cache is used: nothing is requested
    seconds = time.process_time() - started
    for module in modules:
        del sys.modules[module.__name__]
    del bpy.types.prepared[:]  # the stand-in's log of class bodies would grow the heap load by load
    return seconds, len(modules)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=0, help="loads per size and side (default: by size)")
    arguments = parser.parse_args()

    profile = Path(tempfile.mkdtemp(prefix="corvane-bench-"))
    bpy.utils.scripts_path = str(profile / "scripts")
    prefs = bpy.types.host_preferences(vesk.VESKAddonData, [{"name": NAME}])
    vesk._vesk = baseline_load._vesk = prefs
    print(f"corvane.vesk: {vesk.__file__}")
    print(f"Python {sys.version.split()[0]}; processor time, median of the loads; "
          "each load runs gc.collect once per module\n")
    try:
        for size in SIZES:
            data = bundle(size)
            repeats = arguments.repeats or {10: 21, 100: 9, 500: 5}[size]
            times = {side: [] for side in loaders()}
            for repeat in range(repeats):  # interleaved, so that drift hits both sides alike
                order = list(loaders().items())
                for side, (load, _namespace) in order[::-1] if repeat % 2 else order:
                    seconds, loaded = load_once(load, prefs, data)
                    assert loaded == size, (side, loaded)
                    times[side].append(seconds)
            medians = {side: statistics.median(values) for side, values in times.items()}
            print(f"{size} modules ({len(data.encode()) / 1024:.0f} KiB bundle), {repeats} loads each:")
            for side, median in medians.items():
                print(f"  {side:16} {median * 1000:9.1f} ms   {median / size * 1e6:7.0f} us per module")
            print(f"  ratio (baseline / module): {medians['Python baseline'] / medians['corvane.vesk']:.2f}")

            print("  where the time goes (median of the timed loads):")
            for side, (load, namespace) in loaders().items():
                shares = {name: [] for name in (*Stages.NAMES, "rest")}
                for _ in range(max(3, repeats // 2)):
                    stages = Stages()
                    saved = stages.install(namespace)
                    try:
                        seconds, _ = load_once(load, prefs, data)
                    finally:
                        Stages.remove(namespace, saved)
                    for name, spent in stages.seconds.items():
                        shares[name].append(spent)
                    shares["rest"].append(seconds - sum(stages.seconds.values()))
                total = sum(statistics.median(values) for values in shares.values())
                parts = "  ".join(f"{name} {statistics.median(values) * 1000:7.1f} ms"
                                  f" ({statistics.median(values) / total:4.0%})" for name, values in shares.items())
                print(f"    {side:16} {parts}")
            print()
    finally:
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    main()
