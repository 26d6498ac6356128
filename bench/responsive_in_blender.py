"""Blender's side of the responsiveness measurement (bench/responsive.py), also used by
tests/blender_exe/test_responsive_exe.py: in Blender's real interface, a 10 ms
`bpy.app.timers` tick on the main thread notes when it runs, while a host button's
action is pressed the way a click does (the operator invoked in the host's
preferences). The longest gap between ticks is how long Blender stopped drawing and
answering the user.

Run by bench/responsive.py with --python (CORVANE_RESPONSIVE_REPORT names the report);
imported by the tests for `TickMeter`, `press` and `busy`.
"""

import json
import os
import sys
import time

import bpy

HOST = "corvane_host"
TICK = 0.01


class TickMeter:
    """A 10 ms timer on the main thread that notes when it ran."""

    def __init__(self):
        self.ticks = []
        self.running = True
        bpy.app.timers.register(self._tick, first_interval=TICK)

    def _tick(self):
        self.ticks.append(time.monotonic())
        return TICK if self.running else None

    def longest_gap(self, start, end):
        """The longest time without a tick between `start` and `end` (monotonic seconds),
        counting the ticks on either side of the span."""
        inside = [t for t in self.ticks if start <= t <= end]
        before = [t for t in self.ticks if t < start][-1:]
        after = [t for t in self.ticks if t > end][:1]
        times = before + inside + after
        return max((b - a for a, b in zip(times, times[1:])), default=end - start)


def host_module():
    return sys.modules[HOST]


def busy():
    """Whether the host has an action under way (a host without workers never has)."""
    return getattr(host_module(), "_job", None) is not None


def preferences_area():
    for window in bpy.context.window_manager.windows:
        for area in window.screen.areas:
            if area.type == "PREFERENCES":
                return window, area
    raise RuntimeError("no preferences area is shown")


def press(action):
    """The host's button for `action`, as a click runs it: invoked in the preferences area."""
    window, area = preferences_area()
    region = next(r for r in area.regions if r.type == "WINDOW")
    if not hasattr(bpy.context, "temp_override"):  # Blender before 3.2
        override = {"window": window, "screen": window.screen, "area": area, "region": region}
        return bpy.ops.corvane.action(override, "INVOKE_DEFAULT", action=action)
    with bpy.context.temp_override(window=window, area=area, region=region):
        return bpy.ops.corvane.action("INVOKE_DEFAULT", action=action)


def enable_host():
    import addon_utils

    # The profile's folders were made after this Blender started: put them on sys.path.
    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    if addon_utils.enable(HOST, default_set=True) is None:
        raise RuntimeError("the host add-on did not enable")
    prefs = bpy.context.preferences.addons[HOST].preferences
    prefs.index = list(prefs.addons.keys()).index("tellmora")
    return prefs


def guarded(step):
    """A failing step ends Blender with an error instead of leaving it open."""

    def run():
        try:
            return step()
        except BaseException:
            import traceback

            traceback.print_exc()
            os._exit(1)

    return run


def measure_install():
    """Presses Install once the interface has drawn for a second, waits for the outcome and
    reports the figures; then quits."""
    import addon_utils

    sys.path.insert(0, os.environ["CORVANE_TESTS_DIR"])
    import concurrency_rounds

    prefs = enable_host()
    concurrency_rounds.show_addons_while_running()
    meter = TickMeter()
    frames = []
    bpy.types.SpacePreferences.draw_handler_add(lambda: frames.append(time.monotonic()), (), "WINDOW", "POST_PIXEL")
    state = {}

    def start():
        # After Blender has drawn the preferences a few times: the first frames are slow.
        if len(frames) < 3:
            preferences_area()[1].tag_redraw()
            return 0.1
        state["pressed"] = time.monotonic()
        press("install")  # returns at once, or, on a host without workers, when the action has ended
        bpy.app.timers.register(guarded(wait), first_interval=TICK)
        return None

    def wait():
        record = prefs.addons["tellmora"]
        if busy() or not record.tips:
            return TICK
        done = time.monotonic()
        meter.running = False
        pressed = state["pressed"]
        figures = {
            "longest_gap": meter.longest_gap(pressed, done),
            "idle_gap": meter.longest_gap(pressed - 0.5, pressed - 0.01),
            "seconds": done - pressed,
            "ticks": sum(1 for t in meter.ticks if pressed <= t <= done),
            "frames": sum(1 for t in frames if pressed <= t <= done),
            "tips": record.tips, "status": bool(record.status),
            "enabled": list(addon_utils.check("tellmora")),
        }
        with open(os.environ["CORVANE_RESPONSIVE_REPORT"], "w") as report:
            json.dump(figures, report)
        bpy.app.timers.register(lambda: bpy.ops.wm.quit_blender() and None, first_interval=0.1)
        return None

    bpy.app.timers.register(guarded(start), first_interval=1.0)


if __name__ == "__main__":
    bpy.app.timers.register(guarded(measure_install), first_interval=0.5)
