"""Copied into a start-up profile's scripts/startup folder by bench/run.py: Blender
loads it before it enables the add-ons, so it can put the benchmark's variant in the
place of corvane.vesk's `register`, which `init` starts the start-up thread with (the
module reads the name from its namespace at the moment of use). The thread's work is
timed from its first step to its last."""

import os
import sys
import threading
import time
import traceback

done = threading.Event()
measured = {}
failure = None


def _install():
    scripts = os.environ["BLENDER_USER_SCRIPTS"]
    # Blender puts the user's modules folder on sys.path only after the startup scripts.
    for folder in (os.path.join(scripts, "modules"), *os.environ["CORVANE_BENCH_PATH"].split(os.pathsep)):
        if folder not in sys.path:
            sys.path.insert(0, folder)
    import blender_side as side
    from corvane import vesk

    run, stages = side.pipeline("startup", vesk)

    def timed_register(addon, *args):
        global failure
        before = side.rss()
        side.reset_peak()
        side.count_instructions(True)
        wall, cpu = time.perf_counter(), time.thread_time()
        try:
            result = run(addon, *args)
            if result is not None:
                failure = f"register returned {result!r}"
            return result
        except BaseException:
            failure = traceback.format_exc()
            raise
        finally:
            wall, cpu = time.perf_counter() - wall, time.thread_time() - cpu
            side.count_instructions(False)
            measured.update(wall=wall, cpu=cpu, peak=side.peak() - before, rss_before=before,
                            stages=side.stage_seconds(stages))
            done.set()

    vesk.register = timed_register


def register():
    pass


def unregister():
    pass


_install()
