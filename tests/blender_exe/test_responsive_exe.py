"""Blender keeps drawing while the host's buttons wait on a server: Debian's Blender with its
interface under a virtual screen, a 10 ms tick on its main thread (blender_inside.TickMeter),
the host's preferences shown (the concurrency rounds' view) and the fault server answering."""

import json
import shutil
import textwrap
import time
from pathlib import Path

import pytest

import faultserver
import harness

pytestmark = pytest.mark.skipif(shutil.which("xvfb-run") is None, reason="xvfb-run is not installed")

# Blocking the main thread shows as a gap as long as the download; the goal is 0.15 s. The bound
# lies between, far from both, as a frame alone takes up to a second in software under load.
DOWNLOAD_SECONDS = 8.0
GAP_BOUND = 4.0

PRELUDE = """
import time
import bpy
from blender_inside import (TickMeter, busy, enable_host, guarded, press, quit_blender, reported,
                            show_addons_while_running)
prefs = enable_host()
show_addons_while_running()
meter = TickMeter()
frames = []
bpy.types.SpacePreferences.draw_handler_add(lambda: frames.append(time.monotonic()), (), "WINDOW", "POST_PIXEL")
record = prefs.addons["tellmora"]
"""


def serve_tellmora(tmp_path, server, zip_answer, source=harness.session.TELLMORA_SOURCE):
    """Tellmora 1.0.0 on the fault server: its service document and index answered, its
    archive as `zip_answer(body)`."""
    from corvane import publish

    release = publish.publish(str(source), "1.0.0", str(tmp_path / "dist"))
    server.put("/service.json", faultserver.json_answer(json.dumps({"url": server.url})))
    server.put("/tellmora/index.json", faultserver.json_answer(Path(release["index"]).read_text()))
    server.put(f"/tellmora/{release['md5']}.zip", zip_answer(Path(release["archive"]).read_bytes()))


def test_install_on_a_slow_server_leaves_blender_drawing(tmp_path):
    with faultserver.FaultServer() as server:
        serve_tellmora(tmp_path, server, lambda body: faultserver.trickle(body, 12, DOWNLOAD_SECONDS / 11))
        harness.session.install_into_profile(tmp_path)
        run = harness.run_blender(PRELUDE + textwrap.dedent("""
            def start():
                report(pressed=time.monotonic(), first=list(press("install")),
                       second=list(press("install")), uninstall=list(press("uninstall")))
                bpy.app.timers.register(guarded(wait), first_interval=0.01)

            def wait():
                if busy():
                    return 0.01
                import addon_utils
                pressed, done = reported()["pressed"], time.monotonic()
                report(gap=meter.longest_gap(pressed, done), seconds=done - pressed, tips=record.tips,
                       enabled=list(addon_utils.check("tellmora")))
                quit_blender()

            bpy.app.timers.register(guarded(start), first_interval=1.0)
        """), tmp_path, env={"VESK_SERVICE_URL": server.url}, make_scripts=False,
            interface=True)
    assert run["seconds"] >= DOWNLOAD_SECONDS * 0.9, "the server sent the archive slowly"
    assert run["gap"] < GAP_BOUND, f"Blender stopped drawing for {run['gap']:.2f} s of {run['seconds']:.2f} s"
    # One action at a time: a second press, and an Uninstall under it, are refused.
    assert run["first"] == ["RUNNING_MODAL"] and run["second"] == ["CANCELLED"] and run["uninstall"] == ["CANCELLED"]
    assert "Busy: Installing Tellmora…" in run.output
    # The add-on is enabled in Blender's list, on the main thread where Blender refused it.
    assert run["tips"] == "INSTALLED" and run["enabled"] == [True, True]
    assert "corvane: INFO: Tellmora: INSTALLED" in run.output


def test_silent_server_leaves_blender_drawing_and_quittable(tmp_path):
    with faultserver.FaultServer() as server:
        serve_tellmora(tmp_path, server, faultserver.whole)
        index = server.routes["/tellmora/index.json"][0]
        # Installed first (two index requests); the update's index request is never answered.
        server.put("/tellmora/index.json", index, index, faultserver.silent())
        harness.session.install_into_profile(tmp_path)
        run = harness.run_blender(PRELUDE + textwrap.dedent("""
            bpy.ops.corvane.action(action="install")  # a script's call: to its end, on this thread
            before = {"status": record.status, "version": record.version, "data": len(record.data)}

            def start():
                press("update")
                report(before=before, pressed=time.monotonic())
                bpy.app.timers.register(guarded(quit), first_interval=3.0)

            def quit():
                pressed = time.monotonic() - 3.0
                report(busy=busy(), gap=meter.longest_gap(pressed, time.monotonic()),
                       frames=sum(1 for t in frames if t > pressed), quit_at=time.time())
                quit_blender()

            bpy.app.timers.register(guarded(start), first_interval=1.0)
        """), tmp_path, env={"VESK_SERVICE_URL": server.url}, make_scripts=False,
            interface=True)
        ended = time.time()
        assert run["before"]["status"] and run["before"]["version"] == "1.0.0" and run["before"]["data"] > 0
        assert run["busy"], "the update still waits on the server"
        assert run["frames"] > 0 and run["gap"] < GAP_BOUND, f"{run['frames']} frames, gap {run['gap']:.2f} s"
        assert ended - run["quit_at"] < 15, "Blender ended promptly"
        if harness.blender_version() < (3, 0):
            return  # Blender 2.83 leaves the preferences unsaved at this quit: nothing to read back
        # The preferences Blender saved at quit hold the record as it was before the update.
        saved = harness.run_blender("""
            import bpy
            bpy.ops.wm.read_userpref()  # this Blender starts from factory settings
            record = bpy.context.preferences.addons["corvane_host"].preferences.addons["tellmora"]
            report(status=record.status, version=record.version, data=len(record.data))
        """, tmp_path, make_scripts=False)
    assert {key: saved[key] for key in ("status", "version", "data")} == run["before"]


@pytest.mark.parametrize("form", ["auto_load", "package"])
def test_install_that_blender_cannot_enable_is_undone(tmp_path, form):
    # Tellmora's __init__ fails at import (a dependency missing): Blender cannot enable it.
    # In the package form Blender's own enabling is the first to run it, on Blender's thread.
    source = tmp_path / "tellmora"
    shutil.copytree(harness.session.TELLMORA_SOURCE, source, ignore=shutil.ignore_patterns("__pycache__"))
    init = (source / "__init__.py").read_text()
    (source / "__init__.py").write_text(
        init.replace("\nfrom . import auto_load", "\nimport tellmora_dependency\nfrom . import auto_load", 1))
    if form == "package":
        (source / "auto_load.py").rename(source / "loading.py")
    with faultserver.FaultServer() as server:
        serve_tellmora(tmp_path, server, faultserver.whole, source)
        harness.session.install_into_profile(tmp_path)
        run = harness.run_blender(PRELUDE + textwrap.dedent("""
            import addon_utils
            from corvane import vesk

            def facts():
                return {"status": record.status, "tips": record.tips, "entry": "tellmora" in vesk._vesk.installed,
                        "classes": hasattr(bpy.types, "TELLMORA_PT_main"),
                        "enabled": list(addon_utils.check("tellmora"))}

            bpy.ops.corvane.action(action="install")  # a script's call: to its end, on this thread
            report(script=facts())

            def start():
                press("install")  # the button: on the worker, then on this thread
                bpy.app.timers.register(guarded(wait), first_interval=0.1)

            def wait():
                if busy():
                    return 0.1
                report(button=facts())
                quit_blender()

            bpy.app.timers.register(guarded(start), first_interval=1.0)
        """), tmp_path, env={"VESK_SERVICE_URL": server.url}, make_scripts=False, interface=True)
    # Blender 4.2 and later report the exception's text alone, before its type and text.
    why = "No module named 'tellmora_dependency'"
    why = why if harness.blender_version() >= (4, 2) else "ModuleNotFoundError: " + why
    undone = {"status": False, "entry": False, "classes": False, "enabled": [False, False],
              "tips": f"Blender could not enable Tellmora: {why}"}
    assert run["script"] == undone and run["button"] == undone, run.output[-3000:]
    assert f"corvane: ERROR: Tellmora: {undone['tips']}" in run.output


def test_closing_a_window_during_an_action_is_no_quit(tmp_path):
    with faultserver.FaultServer() as server:
        serve_tellmora(tmp_path, server, lambda body: faultserver.trickle(body, 5, 0.8))
        harness.session.install_into_profile(tmp_path)
        run = harness.run_blender(PRELUDE + textwrap.dedent("""
            manager = bpy.context.window_manager
            state = {}

            def in_window(window, operator):
                if hasattr(bpy.context, "temp_override"):
                    with bpy.context.temp_override(window=window, screen=window.screen):
                        return operator()
                return operator({"window": window, "screen": window.screen})

            def start():
                in_window(manager.windows[0], bpy.ops.wm.window_new_main)  # a second main window
                report(windows=len(manager.windows), pressed=list(press("install")))
                bpy.app.timers.register(guarded(close), first_interval=1.0)

            def close():
                in_window(manager.windows[0], bpy.ops.wm.window_close)  # the one the button is in
                report(windows_left=len(manager.windows))
                state["since"] = time.monotonic()
                bpy.app.timers.register(guarded(installed), first_interval=0.1)

            def installed():
                if busy() and time.monotonic() - state["since"] < 60:
                    return 0.1
                report(install=record.tips)
                press("check_update")  # a later action runs to its end too
                state["since"] = time.monotonic()
                bpy.app.timers.register(guarded(checked), first_interval=0.1)

            def checked():
                if busy() and time.monotonic() - state["since"] < 20:
                    return 0.1
                report(check=record.tips, busy=busy())
                quit_blender()

            bpy.app.timers.register(guarded(start), first_interval=1.0)
        """), tmp_path, env={"VESK_SERVICE_URL": server.url}, make_scripts=False, interface=True)
    assert run["windows"] == 2 and run["pressed"] == ["RUNNING_MODAL"] and run["windows_left"] == 1
    assert run["install"] == "INSTALLED" and run["check"] == "No update" and not run["busy"], run.output[-3000:]
    assert "Info: Tellmora: INSTALLED" in run.output  # reported by the watcher on the window left
