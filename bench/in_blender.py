"""One measurement inside Debian's Blender, run by bench/run.py.

CORVANE_BENCH_PHASE:
  install  - a factory-fresh Blender enables the host add-on (corvane.vesk starts),
             then the variant installs the generated add-on, timed from the call to
             its return; the resident set's peak above its level before the call.
  prepare  - the same with the module, then Blender's preferences are saved: the
             profile a start-up run copies.
  startup  - a Blender started on a prepared profile: bench/startup_probe.py (in the
             profile's startup scripts) has put the variant in the place of the
             start-up thread's register and times it; this waits for it to finish.
"""

import gc
import os
import sys
import time
import traceback

import blender_side as side
import bpy
from blender_inside import enable_host


def record(prefs):
    return prefs.addons[side.NAME]


def verify(addon):
    side.report(registered=side.registered_classes(bpy), expected=3 * side.SIZE, status=bool(addon.status),
                tips=addon.tips, cached=len(addon.data))


def install(phase):
    prefs = enable_host(side.NAME)
    from corvane import vesk

    addon = record(prefs)
    run, stages = side.pipeline("install", vesk)
    gc.collect()
    before = side.rss()
    side.reset_peak()
    side.count_instructions(True)
    wall, cpu = time.perf_counter(), time.process_time()
    run(addon)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    side.count_instructions(False)
    side.report(wall=wall, cpu=cpu, peak=side.peak() - before, rss_before=before,
                stages=side.stage_seconds(stages))
    verify(addon)
    if phase == "prepare":
        bpy.ops.wm.save_userpref()


def startup():
    probe = sys.modules.get("corvane_bench_probe")
    if probe is None:
        raise SystemExit("the start-up probe was not loaded")
    if not probe.done.wait(600):
        raise SystemExit("the start-up registration did not finish")
    if probe.failure:
        raise SystemExit("the start-up registration failed:\n" + probe.failure)
    side.report(**probe.measured)
    prefs = bpy.context.preferences.addons[side.HOST].preferences
    verify(record(prefs))


def main():
    phase = os.environ["CORVANE_BENCH_PHASE"]
    try:
        startup() if phase == "startup" else install(phase)
    except BaseException:
        side.report(error=traceback.format_exc())
        raise
    finally:
        sys.stdout.flush()


main()
