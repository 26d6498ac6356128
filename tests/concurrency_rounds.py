"""Concurrency rounds: the start-up threads of `init` registering add-ons while the
host thread runs the manager's actions and `unregister_all`.

Shared by the stand-in test, Debian's Blender (headless, and with its interface
and event loop under a virtual screen) and scripts/checks/concurrency.py.

One round:
1. the host's records get a random state: each is marked installed or not, its
   bundle cached or not;
2. `init(prefs)` starts one registration thread per record marked installed;
3. the host thread runs 1 to 4 random actions on random records and
   `unregister_all` at a random place among them, with random pauses between;
4. every thread the round started is waited for, within a bound (a thread still
   running then is a deadlock, reported with its stack);
5. the end state is checked (`problems`), then settled: every add-on is
   uninstalled, and one is installed and uninstalled again to show that the
   manager still works (`recovered`).

What the end state must satisfy, whatever the interleaving (registrations of one
add-on take turns on a lock of that add-on; every other shared write is a single
operation):
- `installed` is a dict of whole entries: a record's name to a dict with exactly
  the keys "unregister" and "ordered_classes", in that order, each a list;
- every entry is whole in Blender too: its classes are all registered (the
  registration that stored it ran after the last `unregister` of that name) or
  none is (taken down since); a part registered is a torn entry;
- no module an add-on's registration loaded is left in `sys.modules`, unless a
  registration of that add-on ended in an exception in this round (the failure
  tables keep such modules where they are);
- the records hold values of their fields' types;
- afterwards, one install and one uninstall in a row work: "INSTALLED", a whole
  entry with every class registered and no module left in `sys.modules`, then
  every class of that entry taken down.

The exceptions the failure tables let through when an uninstall removes an add-on's
folder (Blender's addon_remove) under a registration of that add-on that is writing
into it, and the RuntimeError that stops a registration whose host was shut down
(`unregister_all`) under it, are counted, not failed: see `expected_error`. Every
other exception is a problem.

A round is a generator of pauses in seconds: the driver sleeps between steps
(`run_blocking`) or hands the pause to Blender's event loop (`run_from_timers`).
"""

import random
import sys
import threading
import time
import traceback
import zipfile
from pathlib import Path

ACTIONS = ("install", "install", "update", "uninstall", "uninstall", "check_update", "version", "preferences")
RECORD_FIELDS = {"name": str, "title": str, "status": bool, "update": bool, "version": str, "data": str,
                 "tips": str}
STARTUP_MODULES = ("__init__", "auto_load")


def addon_sources(name):
    """A small add-on for the rounds: a property group, an operator pointing at it and a
    panel with a child panel, spread over three modules that import each other; the
    first module's hooks hang the settings on the window manager."""
    prefix = name.upper()
    props = f'''import bpy


class {prefix}_PG_settings(bpy.types.PropertyGroup):
    flag: bpy.props.BoolProperty(name="Flag")


def register():
    bpy.types.WindowManager.{name}_settings = bpy.props.PointerProperty(type={prefix}_PG_settings)


def unregister():
    del bpy.types.WindowManager.{name}_settings
'''
    ops = f'''import bpy

from .props import {prefix}_PG_settings


class {prefix}_OT_run(bpy.types.Operator):
    bl_idname = "{name}.run"
    bl_label = "Run"

    options: bpy.props.PointerProperty(type={prefix}_PG_settings)

    def execute(self, context):
        return {{"FINISHED"}}
'''
    panels = f'''import bpy

from .ops import {prefix}_OT_run


class {prefix}_PT_main(bpy.types.Panel):
    bl_label = "{name}"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "{name}"

    def draw(self, context):
        self.layout.operator({prefix}_OT_run.bl_idname)


class {prefix}_PT_child(bpy.types.Panel):
    bl_label = "More"
    bl_parent_id = "{prefix}_PT_main"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"

    def draw(self, context):
        self.layout.label(text="{name}")
'''
    return {"props.py": props, "ops.py": ops, "panels.py": panels}


def addon_class_names(name):
    prefix = name.upper()
    return [f"{prefix}_PG_settings", f"{prefix}_OT_run", f"{prefix}_PT_main", f"{prefix}_PT_child"]


def bundles_from_dist(dist, names):
    """The module bundle of each add-on's newest release in the distribution folder."""
    import json

    bundles = {}
    for name in names:
        folder = Path(dist) / name
        md5 = json.loads((folder / "index.json").read_text())[0]["md5"]
        with zipfile.ZipFile(folder / f"{md5}.zip") as zf:
            bundles[name] = zf.read(f"{name}.data").decode("utf-8").replace("\0", "/x00")
    return bundles


def expected_error(text):
    """Whether an exception (as "Type: message") is one the failure tables let through when
    an uninstall takes the add-on's folder away under its registration: a file missing, an
    archive gone in the middle of unpacking; or the one that stops a call whose host was shut
    down under it."""
    return text.startswith(("FileNotFoundError: ", "BadZipFile: ", "zipfile.BadZipFile: ",
                            "RuntimeError: The host add-on was disabled"))


def describe(error):
    return f"{type(error).__name__}: {error}"


class Host:
    """What the rounds need to know of the Blender they run in."""

    def __init__(self, vesk, prefs, names, bundles, registered_classes, remove_class=None, after_round=None,
                 remove_folders=None):
        self.vesk = vesk
        self.prefs = prefs
        self.names = list(names)
        self.bundles = bundles
        # name -> the add-on's classes Blender has registered now
        self.registered_classes = registered_classes
        self.remove_class = remove_class
        self.after_round = after_round  # empties logs that would keep every round's objects
        self.remove_folders = remove_folders  # takes Blender's user scripts folder away, for a fresh profile


class Outcome:
    def __init__(self, number, seed):
        self.number = number
        self.seed = seed
        self.steps = []  # what the host thread did, in order, and what the threads were given
        self.errors = []  # (where, add-on, "Type: message", traceback)
        self.problems = []
        self.orphans = []  # classes still registered after the settle, not the manager's any more
        self.recovered = None
        self.seconds = 0.0

    def summary(self):
        return {"round": self.number, "seed": self.seed, "steps": self.steps,
                "errors": [e[:3] for e in self.errors],
                "problems": self.problems, "orphans": self.orphans, "recovered": self.recovered,
                "seconds": round(self.seconds, 3)}


def _is_module_of(name, module_name):
    if not module_name.startswith(name + "."):
        return False
    return module_name[len(name) + 1:] not in STARTUP_MODULES


class Round:
    def __init__(self, host, number, seed, *, join_timeout=60.0, recover=True):
        self.host = host
        self.outcome = Outcome(number, seed)
        self.rng = random.Random(seed)
        self.join_timeout = join_timeout
        self.recover = recover
        self._thread_addons = {}

    # ---- the round ---------------------------------------------------------------

    def steps(self):
        started = time.monotonic()
        host, rng, outcome = self.host, self.rng, self.outcome
        vesk, prefs = host.vesk, host.prefs
        self._prepare_records()
        previous_hook = threading.excepthook
        threading.excepthook = self._thread_failed
        try:
            before = set(threading.enumerate())
            try:
                vesk.init(prefs)
            except Exception as error:
                outcome.problems.append(f"init raised {describe(error)}")
                return
            threads = [t for t in threading.enumerate() if t not in before and runs_module_code(t)]
            # A thread's target and arguments are gone once it ends: note whose registration it runs.
            self._thread_addons.update({t: getattr(getattr(t, "_args", (None,))[0], "name", None) for t in threads})
            outcome.steps.append(f"init: {len(threads)} threads")

            actions = [(rng.randrange(len(prefs.addons)), rng.choice(ACTIONS)) for _ in range(rng.randint(1, 4))]
            actions.insert(rng.randint(0, len(actions)), (None, "unregister_all"))
            for index, action in actions:
                yield self._pause()
                self._host_step(index, action)

            deadline = time.monotonic() + self.join_timeout
            while any(t.is_alive() for t in threads):
                if time.monotonic() > deadline:
                    outcome.problems.append("deadlock: threads still running after "
                                            f"{self.join_timeout:.0f}s:\n" + self._stacks(threads))
                    return
                yield 0.005
        finally:
            threading.excepthook = previous_hook
        self._check_end_state()
        yield 0
        self._settle()
        outcome.seconds = time.monotonic() - started

    def _pause(self):
        kind = self.rng.random()
        if kind < 0.3:
            return 0.0
        if kind < 0.7:
            return self.rng.uniform(0, 0.005)
        return self.rng.uniform(0.005, 0.05)

    def _prepare_records(self):
        rng, prefs = self.rng, self.host.prefs
        for name in self.host.names:
            if name not in prefs.addons.keys():
                record = prefs.addons.add()
                record.name, record.title = name, name.replace("_", " ").title()
        marked = []
        for record in prefs.addons:
            installed = rng.random() < 0.7
            record.status = installed
            record.data = self.host.bundles[record.name] if installed and rng.random() < 0.5 else ""
            record.version = "1.0.0" if record.data or rng.random() < 0.5 else ""
            record.tips = ""
            if installed:
                marked.append(record.name + (" (cached)" if record.data else ""))
        self.outcome.steps.append(f"marked installed: {marked}")
        if self.host.remove_folders is not None and rng.random() < 0.15:
            self.host.remove_folders()  # the start-up threads find the add-ons folder missing, all at once
            self.outcome.steps.append("user scripts folder removed")

    def _host_step(self, index, action):
        vesk, prefs = self.host.vesk, self.host.prefs
        if action == "unregister_all":
            self.outcome.steps.append("unregister_all")
            try:
                vesk.unregister_all()
            except Exception as error:
                self._failed("host unregister_all", None, error)
            return
        prefs.index = index
        name = prefs.addons[index].name
        self.outcome.steps.append(f"operator({action!r}) on {name}")
        try:
            vesk.operator(action)
        except Exception as error:
            self._failed(f"host operator({action!r})", name, error)

    def _failed(self, where, name, error):
        self.outcome.errors.append((where, name, describe(error), "".join(traceback.format_exception(error))))

    def _thread_failed(self, args):
        # None: a thread that ended before its add-on was noted; it counts against every add-on.
        self._failed(f"thread {args.thread.name if args.thread else '?'}", args.thread, args.exc_value)

    @staticmethod
    def _stacks(threads):
        frames = sys._current_frames()
        return "\n".join(f"{t.name}:\n" + "".join(traceback.format_stack(frames[t.ident]))
                         for t in threads if t.is_alive() and t.ident in frames)

    # ---- the checks ------------------------------------------------------------------

    def _failed_addons(self):
        failed = set()
        for index, (where, name, text, trace) in enumerate(self.outcome.errors):
            if isinstance(name, threading.Thread):
                name = self._thread_addons.get(name)
                self.outcome.errors[index] = (where, name, text, trace)
            failed.update(self.host.names if name is None else [name])
        return failed

    def _check_end_state(self):
        host, problems = self.host, self.outcome.problems
        failed = self._failed_addons()
        for where, name, text, trace in self.outcome.errors:
            if not expected_error(text):
                problems.append(f"unexpected exception in {where} ({name}): {text}\n{trace}")
        installed = getattr(host.prefs, "installed", None)
        if type(installed) is not dict:
            problems.append(f"installed is {type(installed).__name__}, not a dict")
            return
        names = set(host.prefs.addons.keys())
        for name, entry in list(installed.items()):
            if name not in names:
                problems.append(f"installed names {name!r}, which has no record")
            if type(entry) is not dict or list(entry) != ["unregister", "ordered_classes"]:
                problems.append(f"installed[{name!r}] is not a whole entry: {entry!r}")
                continue
            if type(entry["unregister"]) is not list or type(entry["ordered_classes"]) is not list:
                problems.append(f"installed[{name!r}] holds {type(entry['unregister']).__name__} and "
                                f"{type(entry['ordered_classes']).__name__}, not lists")
                continue
            if name in failed:
                continue
            registered = [cls.is_registered for cls in entry["ordered_classes"]]
            if any(registered) and not all(registered):
                torn = [cls.__name__ for cls, on in zip(entry["ordered_classes"], registered) if not on]
                problems.append(f"installed[{name!r}] is torn: {torn} not registered, the others are")
        for name in host.names:
            if name in failed:
                continue
            left = sorted(m for m in sys.modules if _is_module_of(name, m))
            if left:
                problems.append(f"{name}: modules left in sys.modules: {left}")
        for record in host.prefs.addons:
            for field, kind in RECORD_FIELDS.items():
                if type(getattr(record, field)) is not kind:
                    problems.append(f"record {record.name}: {field} is {getattr(record, field)!r}")

    # ---- settling ------------------------------------------------------------------------

    def _settle(self):
        host, outcome = self.host, self.outcome
        vesk, prefs = host.vesk, host.prefs
        for index in range(len(prefs.addons)):
            prefs.index = index
            try:
                vesk.operator("uninstall")
            except Exception as error:
                outcome.problems.append(f"settling: uninstall of {prefs.addons[index].name} raised "
                                        f"{describe(error)}")
        # A registration that failed keeps the modules it loaded (the failure tables say so).
        for name in host.names:
            for module in [m for m in sys.modules if _is_module_of(name, m)]:
                del sys.modules[module]
        if self.recover:
            outcome.recovered = self._recover(self.rng.choice(host.names))
        for name in host.names:
            for cls in host.registered_classes(name):
                outcome.orphans.append(cls.__name__)
                if host.remove_class is not None:
                    host.remove_class(cls)
        if host.after_round is not None:
            host.after_round()

    def _recover(self, name):
        """One install and one uninstall in a row, with nothing else running."""
        vesk, prefs, problems = self.host.vesk, self.host.prefs, self.outcome.problems
        prefs.index = list(prefs.addons.keys()).index(name)
        record = prefs.addons[prefs.index]
        try:
            vesk.operator("install")
        except Exception as error:
            problems.append(f"recovery: install of {name} raised {describe(error)}")
            return False
        entry = prefs.installed.get(name)
        if record.tips != "INSTALLED" or entry is None:
            problems.append(f"recovery: install of {name} ended with tips {record.tips!r}")
            return False
        classes = list(entry["ordered_classes"])
        ok = True
        if not classes or not all(cls.is_registered for cls in classes):
            problems.append(f"recovery: {name}'s classes not all registered: {[c.__name__ for c in classes]}")
            ok = False
        left = [m for m in sys.modules if _is_module_of(name, m)]
        if left:
            problems.append(f"recovery: {name}'s modules left in sys.modules: {left}")
            ok = False
        try:
            vesk.operator("uninstall")
        except Exception as error:
            problems.append(f"recovery: uninstall of {name} raised {describe(error)}")
            return False
        if any(cls.is_registered for cls in classes):
            problems.append(f"recovery: uninstall left {name}'s classes registered")
            ok = False
        if name in prefs.installed or record.status:
            problems.append(f"recovery: uninstall left {name} installed")
            ok = False
        return ok


# ---- drivers --------------------------------------------------------------------------

def run_blocking(round_):
    """Runs a round in this thread, sleeping through its pauses (the other threads run then)."""
    for pause in round_.steps():
        if pause:
            time.sleep(pause)
    return round_.outcome


def run_from_timers(rounds, done, before_step=None, guard=lambda function: function):
    """Runs the rounds from Blender's event loop: every step is one timer call, and the
    pause goes back to Blender, which draws and handles events meanwhile. `done(outcomes)`
    is called on the main thread at the end; `before_step()` before every step; `guard`
    wraps the timer function (to end Blender when a step fails)."""
    import bpy

    outcomes = []
    pending = iter(rounds)
    state = {"round": None, "steps": None}

    def tick():
        if before_step is not None:
            before_step()
        while True:
            if state["steps"] is None:
                state["round"] = next(pending, None)
                if state["round"] is None:
                    done(outcomes)
                    return None
                state["steps"] = state["round"].steps()
            try:
                pause = next(state["steps"])
            except StopIteration:
                outcomes.append(state["round"].outcome)
                state["steps"] = None
                continue
            # Blender's timers come back no sooner than its event loop turns.
            return max(pause, 0.0001)

    bpy.app.timers.register(guard(tick), first_interval=0.1)


# ---- inside Debian's Blender -------------------------------------------------------------

TELLMORA_CLASS_NAMES = ["TELLMORA_PG_settings", "TELLMORA_OT_tell", "TELLMORA_PT_main", "TELLMORA_PT_details"]


def blender_host(vesk, prefs, names, dist):
    """The rounds' view of a real Blender. Blender does not list registered property groups
    by name: the add-on's classes are found among the interpreter's objects."""
    import gc

    import bpy

    def class_names(name):
        return TELLMORA_CLASS_NAMES if name == "tellmora" else addon_class_names(name)

    def registered_classes(name):
        wanted = set(class_names(name))
        return [cls for cls in gc.get_objects()
                if issubclass(type(cls), type) and cls.__name__ in wanted and cls.is_registered]

    return Host(vesk, prefs, names, bundles_from_dist(dist, names), registered_classes,
                bpy.utils.unregister_class)


def runs_module_code(thread):
    """Whether `thread` runs one of the module's functions (a start-up registration, the manager's
    update); a finished thread has dropped its target."""
    return getattr(getattr(thread, "_target", None), "__module__", None) == "corvane.vesk"


def run_in_blender(rounds, seed, dist, names, report, interface=False, join_timeout=60.0, watchdog=900.0):
    """The rounds in the running Blender, on the host add-on corvane_host (enabled here).
    Headless, the main thread sleeps through the pauses; with `interface`, each step is
    a timer call and Blender draws between them. Hands `report(outcomes=..., lines=...)`
    the figures and ends Blender; a crash or a hang ends it with a non-zero status."""
    import faulthandler
    import os

    import bpy
    from blender_inside import enable_host, guarded, quit_soon, redraw_everything, show_addons_while_running

    # Under valgrind (scripts/lanes/memcheck.sh) everything is slower.
    slower = float(os.environ.get("CORVANE_BLENDER_TIMEOUT_FACTOR", "1"))
    join_timeout *= slower
    faulthandler.enable()  # a crash shows every thread's Python stack
    faulthandler.dump_traceback_later(watchdog * slower, exit=True)  # a hang ends the run with the stacks
    prefs = enable_host(select=None)
    from corvane import vesk

    vesk.unregister_all()  # the host's init registered the translations; every round's init does
    host = blender_host(vesk, prefs, names, dist)
    made = [Round(host, number, seed + number, join_timeout=join_timeout) for number in range(rounds)]

    frames = []

    def finish(outcomes):
        lines = report_lines(outcomes)
        if interface:
            lines.append(f"the 3D view drew {len(frames)} frames meanwhile")
        report(outcomes=[o.summary() for o in outcomes], lines=lines, frames=len(frames))
        for line in lines:
            print("ROUNDS| " + line, flush=True)
        faulthandler.cancel_dump_traceback_later()

    if not interface:
        finish([run_blocking(r) for r in made])
        return

    def done(outcomes):
        finish(outcomes)
        quit_soon()

    show_addons_while_running()
    bpy.types.SpaceView3D.draw_handler_add(lambda: frames.append(None), (), "WINDOW", "POST_PIXEL")
    run_from_timers(made, done, redraw_everything, guarded)


def report_lines(outcomes):
    """The figures of a run, for people."""
    rounds = len(outcomes)
    failed = [o for o in outcomes if o.problems]
    errors = [e for o in outcomes for e in o.errors]
    counts = {}
    for error in errors:
        key = error[2].split(":")[0] + (" (expected)" if expected_error(error[2]) else "")
        counts[key] = counts.get(key, 0) + 1
    threads = sum(int(s.split()[1]) for o in outcomes for s in o.steps if s.startswith("init: "))
    actions = sum(1 for o in outcomes for s in o.steps if s.startswith(("operator(", "unregister_all")))
    fresh = sum(1 for o in outcomes if "user scripts folder removed" in o.steps)
    lines = [f"{rounds} rounds, {threads} start-up threads, {actions} host actions, "
             f"{sum(o.seconds for o in outcomes):.1f}s" + (f", {fresh} on a fresh profile" if fresh else ""),
             f"rounds with problems: {len(failed)}",
             f"exceptions: {counts or 'none'}",
             f"recovered: {sum(1 for o in outcomes if o.recovered)} of "
             f"{sum(1 for o in outcomes if o.recovered is not None)}",
             f"classes left registered by a second registration over an installed add-on "
             f"(taken down by the driver): "
             f"{sum(len(o.orphans) for o in outcomes)} in {sum(1 for o in outcomes if o.orphans)} rounds"]
    for outcome in failed[:5]:
        lines.append(f"round {outcome.number} (seed {outcome.seed}): steps {outcome.steps}")
        lines.extend("  " + p for p in outcome.problems)
    return lines
