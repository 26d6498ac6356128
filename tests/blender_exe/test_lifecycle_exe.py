import json
import shutil
import time
import zipfile
from pathlib import Path

import pytest

import addon_package
import blender_checks
import faultserver
import harness


def published(tmp_path):
    release = addon_package.publish_source(tmp_path / "source", tmp_path / "dist", blender_checks.PACKAGE_SOURCES,
                                           "1.2.0")
    with zipfile.ZipFile(release["archive"]) as zf:
        return zf.read("tellmora.data").decode()


def test_lifecycle_and_published_package_in_the_blender_executable(tmp_path):
    bundle = published(tmp_path)
    server = addon_package.serve(tmp_path / "dist")
    try:
        run = harness.run_blender(f"""
            import blender_checks
            blender_checks.install_host(blender_checks.user_scripts())
            report(facts=blender_checks.lifecycle_facts({server.url!r}))
        """, tmp_path / "home")
        assert run["facts"]["international"]  # Debian builds its Blenders with translations
        blender_checks.assert_lifecycle_facts(run["facts"], bundle, server.requests)
    finally:
        server.shutdown()


def test_fresh_profile_add_on_folder_reaches_sys_path(tmp_path):
    """Blender started without a user scripts folder has no add-ons folder on sys.path;
    an add-on package unpacked there must still find its siblings."""
    bundle = published(tmp_path)
    run = harness.run_blender(f"""
        import os, sys, types
        import bpy
        import corvane.vesk as vesk
        addons = bpy.utils.script_path_user() + os.sep + "addons"
        report(existed=os.path.exists(bpy.utils.script_path_user()), on_path_at_start=addons in sys.path)
        record = types.SimpleNamespace(name="tellmora", data={json.dumps(bundle)}, version="")
        vesk._vesk = types.SimpleNamespace(addons={{"tellmora": record}})
        modules = vesk.__import_module__("tellmora", "http://127.0.0.1:9")
        report(loaded=[[m.__name__, m.VALUE] for m in modules], on_path=sys.path.count(addons))
    """, tmp_path / "home", make_scripts=False)
    assert run["existed"] is False and run["on_path_at_start"] is False
    assert run["loaded"] == [["tellmora.a", 1], ["tellmora.b", 2]], run.output[-3000:]
    assert run["on_path"] == 1


@pytest.mark.parametrize("interface", [False, True], ids=["headless", "interface"])
def test_blender_quits_while_a_startup_registration_waits_on_a_silent_server(tmp_path, interface):
    if interface and shutil.which("xvfb-run") is None:
        pytest.skip("xvfb-run is not installed")
    bound = 15 * harness.session.blender_wrapper()[1]
    harness.session.install_into_profile(tmp_path / "home")
    with faultserver.FaultServer() as server:
        server.put("/service.json", faultserver.silent())
        run = harness.run_blender(f"""
            import blender_checks
            blender_checks.quit_while_a_registration_waits(report, {bound}, {interface})
        """, tmp_path / "home", env={"VESK_SERVICE_URL": server.url}, interface=interface)
        exited = time.time()
    assert server.requests == ["/service.json"]
    assert exited - run["leaving"] < bound, run.output[-3000:]


def test_blender_exits_cleanly_while_a_startup_registration_fails_or_runs(tmp_path):
    """Twenty exits in a row, each while a start-up thread reports its failed request, or
    while its request is still under way."""
    harness.session.install_into_profile(tmp_path / "home")
    with faultserver.FaultServer() as server:
        endings = {"refused": "http://127.0.0.1:9", "reset": server.url + "/reset", "cut": server.url + "/cut",
                   "under way": server.url + "/slow"}
        server.put("/reset/service.json", faultserver.refuse())
        server.put("/cut/service.json", faultserver.reset_mid_body(b'{"url": "http://127.0.0.1:9"}'))
        server.put("/slow/service.json", faultserver.trickle(b"{}" + b" " * 400, 100, 0.02, "application/json"))
        for run_number in range(20):
            ending = list(endings)[run_number % len(endings)]
            run = harness.run_blender(f"""
                import blender_checks
                blender_checks.quit_while_a_failed_registration_reports(report, wait={ending != "under way"})
            """, tmp_path / "home", env={"VESK_SERVICE_URL": endings[ending]}, check=False)
            context = f"exit {run_number} ({ending}): {run.process.returncode}\n{run.output[-3000:]}"
            assert run.process.returncode == 0, context
            if ending != "under way":
                assert "Exception in thread" in run.output, context  # the report is written, whole


@pytest.mark.parametrize("action, how", [("update", "untick"), ("update", "factory preferences"),
                                         ("start-up", "untick")])
def test_host_disabled_while_an_action_waits_on_a_slow_server(tmp_path, action, how):
    """The action stops at its next touch of the freed preferences, with RuntimeError; Blender
    goes on; the preferences saved hold the record from before; a later init brings it back."""
    if (action == "start-up" or how != "untick") and harness.blender_version() < (3, 0):
        pytest.skip("Blender 2.83 reads other preferences before it disables the host: its records are gone "
                    "when the host shuts down")
    from corvane import publish

    release = publish.publish(str(harness.session.TELLMORA_SOURCE), "1.0.0", str(tmp_path / "dist"))
    archive = Path(release["archive"]).read_bytes()
    harness.session.install_into_profile(tmp_path / "home")
    with faultserver.FaultServer() as server:
        service = json.dumps({"url": server.url})
        slow_service = [faultserver.trickle(service, 4, 1.5, "application/json")] if action == "start-up" else []
        server.put("/service.json", faultserver.json_answer(service), *slow_service)
        index = Path(release["index"]).read_text()
        # Slow from the start after the action on: the record the preferences saved is read before it writes.
        server.put("/tellmora/index.json", *[faultserver.json_answer(index)] * (4 if action == "update" else 2),
                   faultserver.trickle(index, 4, 1.5, "application/json"))
        server.put(f"/tellmora/{release['md5']}.zip", faultserver.whole(archive),
                   faultserver.trickle(archive, 4, 1.5))
        run = harness.run_blender(f"""
            import blender_checks
            blender_checks.disable_host_under_an_action(report, {action!r}, {how!r})
        """, tmp_path / "home", env={"VESK_SERVICE_URL": server.url})
    before = run["before"]
    assert before["status"] and before["version"] == "1.0.0" and before["data"] > 0, run.output[-3000:]
    stopped = ("RuntimeError: The host add-on was disabled while this action ran: the action stopped and changed "
               "nothing more.")
    if action == "update":
        assert run["ended"] == [stopped], run.output[-3000:]
    else:
        assert "Exception in thread" in run.output and stopped in run.output, run.output[-3000:]
    assert run["saved"] == before
    assert run["came_back"] and run["tips"] == "No update"
