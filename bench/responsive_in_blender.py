"""Blender's side of the responsiveness measurement (bench/responsive.py): in Blender's real
interface, a 10 ms `bpy.app.timers` tick on the main thread notes when it runs, while a host
button's action is pressed the way a click does (the operator invoked in the host's
preferences). The longest gap between ticks is how long Blender stopped drawing and
answering the user.
"""

import time

import addon_utils
import bpy
from blender_inside import (TICK, TickMeter, busy, enable_host, guarded, preferences_area, press, quit_soon, report,
                            show_addons_while_running)


def measure_install():
    """Presses Install once the interface has drawn for a second, waits for the outcome and
    reports the figures; then quits."""
    prefs = enable_host()
    show_addons_while_running()
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
        report(longest_gap=meter.longest_gap(pressed, done), idle_gap=meter.longest_gap(pressed - 0.5, pressed - 0.01),
               seconds=done - pressed, ticks=sum(1 for t in meter.ticks if pressed <= t <= done),
               frames=sum(1 for t in frames if pressed <= t <= done), tips=record.tips, status=bool(record.status),
               enabled=list(addon_utils.check("tellmora")))
        quit_soon()
        return None

    bpy.app.timers.register(guarded(start), first_interval=1.0)


bpy.app.timers.register(guarded(measure_install), first_interval=0.5)
