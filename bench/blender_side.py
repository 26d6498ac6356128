"""What the benchmark's Blender side shares: the variants it times, resident-set
readings, and the report back to the driver.

Variants: "module" (corvane.vesk's own pipeline), "floor" and "floor_nogc"
(bench/floor.py with and without the garbage collections), "baseline"
(bench/baseline_pipeline.py) and, for the anatomy, "floor_stages" and
"module_stages" (the floor and the module with their stages timed).
"""

import os

import addon_gen
from blender_inside import HOST, report  # noqa: F401 (the variants' report)

NAME = addon_gen.NAME
VARIANT = os.environ.get("CORVANE_BENCH_VARIANT", "module")
SIZE = int(os.environ.get("CORVANE_BENCH_SIZE", "0"))


def _status_kilobytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def rss():
    """The resident set now, in bytes."""
    return _status_kilobytes("VmRSS") * 1024


def peak():
    """The highest resident set since the last reset_peak(), in bytes."""
    return _status_kilobytes("VmHWM") * 1024


def reset_peak():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def count_instructions(on):
    """Under callgrind (--instr-atstart=no), switches the counting on or off: only the
    timed step is counted. Does nothing otherwise."""
    if os.environ.get("CORVANE_BENCH_CALLGRIND"):
        import subprocess

        subprocess.run(["callgrind_control", "--instr=" + ("on" if on else "off"), str(os.getpid())],
                       check=True, capture_output=True, timeout=300)


def registered_classes(bpy):
    """How many of the generated add-on's operators and panels Blender has registered,
    and how many settings groups the modules' hooks hung on the scene (Blender lists
    registered property groups nowhere else; each collection item group is registered
    before the group that holds it, or that one fails)."""
    scene = bpy.types.Scene.bl_rna.properties
    count = 0
    for _, class_name in addon_gen.class_order(SIZE):
        if "_PG_part_" in class_name:
            count += f"tellmora_part_{class_name[-4:]}" in scene
        elif "_PG_" not in class_name:
            count += hasattr(bpy.types, class_name)
    return count


def pipeline(kind, vesk):
    """The callable that does `kind` ("install": operator("install") on the selected
    record; "startup": register(addon) in the start-up thread) for this variant, and,
    for the anatomy variants, the object that holds the stage times. Only the
    variant's own code is imported: the rest would be more heap for gc.collect."""
    order = addon_gen.class_order(SIZE)
    if VARIANT in ("module", "module_stages"):
        stages = None
        if VARIANT == "module_stages":
            import stages as stage_timers

            stages = stage_timers.ModuleStages()
            stages.install(vesk)
        if kind == "install":
            return lambda addon: vesk.operator("install"), stages
        return vesk.register, stages
    if VARIANT in ("floor", "floor_nogc", "floor_stages"):
        import floor

        collect = VARIANT != "floor_nogc"
        run = floor.install if kind == "install" else floor.startup
        if VARIANT == "floor_stages":
            import stages as stage_timers

            clock = stage_timers.StageClock()

            def timed_run(addon):
                clock.restart()
                run(addon, order, collect, clock.mark)

            return timed_run, clock
        return lambda addon: run(addon, order, collect), None
    if VARIANT == "baseline":
        import baseline_pipeline

        def baseline(addon, *args):
            baseline_pipeline._vesk = vesk._vesk
            if kind == "install":
                return baseline_pipeline.operator("install")
            return baseline_pipeline.register(addon, *args)

        return baseline, None
    raise ValueError(f"unknown variant {VARIANT!r}")


def stage_seconds(stages):
    if stages is None:
        return None
    return dict(stages.seconds)
