"""Install and start-up of an add-on published as it is (the package form) against Blender
enabling a plain copy of the same files, side by side in one run, in Debian's Blender.

    .venv/bin/python bench/package_form.py                      # a small add-on and the largest, 5 runs each
    .venv/bin/python bench/package_form.py --runs 3 --addons io_mesh_stl

The add-ons are Blender's own (its add-ons folder), renamed cv_<name>:
object_print3d_utils (44 kB of Python in 4 modules) and rigify (1.7 MB in 150).

- install: in a fresh profile, Blender enabling the plain copy (`addon_utils.enable`, its
  first import compiling it, as at a user's first enabling) against corvane's
  `operator("install")` (index and archive from corvane.serve on loopback, unpacked,
  served, enabled by Blender), each timed from the call to its return;
- start-up: Blender started on the saved profile with the add-on enabled: the add-on's
  own start, Blender enabling it (from its cached bytecode, for the plain copy; served from
  the bundle and the code kept in the preferences, for corvane, plus corvane's init, which
  serves it), timed by a start-up module of the profile;
- manager: what the host add-on costs at that start beyond init (importing corvane and
  what it imports), the same for every add-on it manages;
- process: the whole start, from the process's start to its first script.

Each figure is the median over runs, each run a Blender of its own; plain copy and
corvane take turns, so that drift on the machine hits both alike.
"""

import argparse
import io
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(REPO / "scripts" / "blender")]

import blender_session as session  # noqa: E402

SYSTEM_ADDONS = Path("/usr/share/blender/scripts/addons")

FIRST_START = """
import time
import addon_utils, bpy
from blender_inside import report
name, through_corvane = {name!r}, {through_corvane!r}
bpy.utils.refresh_script_paths()
addon_utils.modules_refresh()
if through_corvane:
    addon_utils.enable("corvane_host", default_set=True)
    from corvane import vesk
    prefs = bpy.context.preferences.addons["corvane_host"].preferences
    prefs.index = prefs.addons.find(name)
    started = time.perf_counter()
    vesk.operator("install")
    seconds = time.perf_counter() - started
    outcome = prefs.addons[name].tips
else:
    started = time.perf_counter()
    module = addon_utils.enable(name, default_set=True)
    seconds = time.perf_counter() - started
    outcome = "INSTALLED" if module else "not enabled"
assert all(addon_utils.check(name)), outcome
bpy.ops.wm.save_userpref()
report(seconds=seconds, outcome=outcome)
"""

# A start-up module of the profile: Blender loads it before it enables the add-ons, so it
# times each enabling, and corvane's init (which serves a package-form add-on's cached
# bundle) apart from the host's import of corvane.
PROBE = """
import time, addon_utils
TIMES = {}
_enable = addon_utils.enable
def enable(name, *args, **keywords):
    started, cpu = time.perf_counter(), time.thread_time()
    try:
        return _enable(name, *args, **keywords)
    finally:
        TIMES[name] = TIMES.get(name, 0) + time.perf_counter() - started
        TIMES["cpu " + name] = TIMES.get("cpu " + name, 0) + time.thread_time() - cpu
addon_utils.enable = enable
try:
    from corvane import vesk
except ImportError:
    vesk = None
if vesk is not None:
    _init = vesk.init
    def init(*args, **keywords):
        started, cpu = time.perf_counter(), time.thread_time()
        try:
            return _init(*args, **keywords)
        finally:
            TIMES["init"] = time.perf_counter() - started
            TIMES["cpu init"] = time.thread_time() - cpu
    vesk.init = init
def register():
    pass
def unregister():
    pass
"""

# Run first thing once Blender has started; the start-up is over by then.
READY = """
import os, addon_utils, corvane_bench_probe
from blender_inside import report
report(enabled=all(addon_utils.check(os.environ["BENCH_ADDON"])), times=corvane_bench_probe.TIMES)
"""


def blender(home, script, factory, extra_env):
    started = time.perf_counter()
    run = session.run(script, home, factory=factory, env=extra_env, timeout=600)
    seconds = time.perf_counter() - started
    if run.process.returncode != 0 or not run.report:
        raise SystemExit(f"Blender failed ({run.process.returncode}):\n{run.output[-3000:]}")
    return seconds, {**run.report, "output": run.output}


def one_run(addon, work, through_corvane, server_url):
    name = f"cv_{addon}"
    home = Path(tempfile.mkdtemp(prefix="profile-", dir=work))
    if through_corvane:
        session.install_into_profile(home, managed_addons=[name], service_url=server_url)
    else:
        source = SYSTEM_ADDONS / addon
        addons = home / "scripts" / "addons"
        addons.mkdir(parents=True)
        if source.is_dir():
            shutil.copytree(source, addons / name, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy(source.with_suffix(".py"), addons / f"{name}.py")
        (home / "config").mkdir()
    _, installed = blender(home, FIRST_START.format(name=name, through_corvane=through_corvane), True, {})
    startup = home / "scripts" / "startup"
    startup.mkdir(parents=True, exist_ok=True)
    (startup / "corvane_bench_probe.py").write_text(PROBE)
    process, ready = blender(home, READY, False, {"BENCH_ADDON": name})
    if not ready["enabled"]:
        raise SystemExit(f"{name} was not enabled at start-up:\n{ready['output'][-3000:]}")
    shutil.rmtree(home, ignore_errors=True)
    times = ready["times"]
    # The add-on's start: Blender enabling it, and for corvane serving it from the preferences.
    own = times[name] + times.get("init", 0)
    manager = times.get("corvane_host", 0) - times.get("init", 0)
    return {"install": installed["seconds"], "start-up": own, "manager": manager, "process": process}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--addons", default="object_print3d_utils,rigify")
    args = parser.parse_args(argv)
    from corvane.publish import publish
    from corvane.serve import serve

    work = Path(tempfile.mkdtemp(prefix="bench-package-form-", dir="/dev/shm" if Path("/dev/shm").is_dir() else None))
    dist = work / "dist"
    addons = args.addons.split(",")
    for addon in addons:
        source = SYSTEM_ADDONS / addon
        # Some of them name no version in bl_info: 1.0.0 then.
        publish(str(source if source.is_dir() else source.with_suffix(".py")), "1.0.0", str(dist), f"cv_{addon}",
                force=True)
    server = serve(str(dist), "127.0.0.1", 0, stream=io.StringIO())
    try:
        columns = ("install", "start-up", "manager", "process")
        print(f"{'add-on':22} {'':11}" + "".join(f"{c:>10}" for c in columns) + "   (seconds)")
        for addon in addons:
            figures = {False: {c: [] for c in columns}, True: {c: [] for c in columns}}
            for _ in range(args.runs):
                for through_corvane in (False, True):
                    for column, value in one_run(addon, work, through_corvane, server.url).items():
                        figures[through_corvane][column].append(value)
            medians = {k: {c: statistics.median(v) for c, v in lists.items()} for k, lists in figures.items()}
            for through_corvane, label in ((False, "plain copy"), (True, "corvane")):
                print(f"{addon:22} {label:11}" + "".join(f"{medians[through_corvane][c]:10.3f}" for c in columns))
            print(f"{'':22} {'ratio':11}" + "".join(
                f"{medians[True][c] / medians[False][c]:10.2f}" if medians[False][c] else f"{'':10}"
                for c in columns))
    finally:
        server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
