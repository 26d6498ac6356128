"""Helpers for scripts that run inside Blender (started by blender_session): the report,
steps that end Blender when they fail, enabling the host add-on, pressing its buttons as a
user's click does, quitting, and a tick meter on the main thread."""

import json
import os
import sys
import time

HOST = "corvane_host"
TICK = 0.01


def report(**values):
    """Adds `values` to the run's JSON report, which blender_session.run reads back."""
    path = os.environ["CORVANE_REPORT"]
    old = {}
    if os.path.exists(path):
        with open(path) as f:
            old = json.load(f)
    old.update(values)
    with open(path, "w") as f:
        json.dump(old, f)


def reported():
    """The report as written so far."""
    with open(os.environ["CORVANE_REPORT"]) as f:
        return json.load(f)


def guarded(step):
    """A failing step ends Blender with an error instead of leaving it open."""

    def run(*args):
        try:
            return step(*args)
        except BaseException:
            import traceback

            traceback.print_exc()
            os._exit(1)

    return run


def quit_blender():
    """Quits Blender from a timer step, whose context has no window: Blender 2.83 crashes
    quitting without one."""
    import bpy

    if bpy.app.version < (3, 0):
        bpy.ops.wm.quit_blender({"window": bpy.context.window_manager.windows[0]})
    else:
        bpy.ops.wm.quit_blender()


def quit_soon(after=0.1):
    """Quits Blender from a timer `after` seconds on, once the current step has returned."""
    import bpy

    bpy.app.timers.register(lambda: quit_blender() and None, first_interval=after)


def enable_host(select="tellmora"):
    """Enables the host add-on and returns its preferences, the record `select` selected."""
    import addon_utils
    import bpy

    # The profile's folders were made after this Blender started: put them on sys.path.
    bpy.utils.refresh_script_paths()
    addon_utils.modules_refresh()
    # corvane.vesk first, then the host: the install benchmark's peak resident set
    # (1.1 MB for 50 modules, 2.2 MB the other way round) depends on this order.
    import corvane.vesk  # noqa: F401
    if addon_utils.enable(HOST, default_set=True) is None:
        raise RuntimeError("the host add-on did not enable")
    prefs = bpy.context.preferences.addons[HOST].preferences
    if select is not None:
        prefs.index = list(prefs.addons.keys()).index(select)
    return prefs


def busy():
    """Whether the host has an action under way (a host without workers never has)."""
    return getattr(sys.modules[HOST], "_job", None) is not None


def preferences_area():
    import bpy

    for window in bpy.context.window_manager.windows:
        for area in window.screen.areas:
            if area.type == "PREFERENCES":
                return window, area
    raise RuntimeError("no preferences area is shown")


def press(action):
    """The host's button for `action`, as a click runs it: invoked in the preferences area."""
    import bpy

    window, area = preferences_area()
    region = next(r for r in area.regions if r.type == "WINDOW")
    if not hasattr(bpy.context, "temp_override"):  # Blender before 3.2
        override = {"window": window, "screen": window.screen, "area": area, "region": region}
        return bpy.ops.corvane.action(override, "INVOKE_DEFAULT", action=action)
    with bpy.context.temp_override(window=window, area=area, region=region):
        return bpy.ops.corvane.action("INVOKE_DEFAULT", action=action)


def show_addons_while_running():
    """The interface draws what the threads change: the 3D view's sidebar with the add-ons'
    panels, and the host's preferences with the records, in the add-on list."""
    import addon_utils
    import bpy

    screen = bpy.context.window_manager.windows[0].screen
    areas = sorted(screen.areas, key=lambda a: a.width * a.height, reverse=True)
    view = next((a for a in areas if a.type == "VIEW_3D"), areas[0])
    view.ui_type = "VIEW_3D"
    view.spaces.active.show_region_ui = True
    other = next(a for a in areas if a != view)
    other.ui_type = "PREFERENCES"
    bpy.context.preferences.active_section = "ADDONS"
    bpy.context.window_manager.addon_search = "Corvane"
    for module in addon_utils.modules():
        if module.__name__ == HOST:
            addon_utils.module_bl_info(module)["show_expanded"] = True


def redraw_everything():
    import bpy

    for window in bpy.context.window_manager.windows:
        for area in window.screen.areas:
            area.tag_redraw()


class TickMeter:
    """A 10 ms timer on the main thread that notes when it ran: the longest gap between its
    ticks is how long Blender stopped drawing and answering the user."""

    def __init__(self):
        import bpy

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
