import sys
import time
import zipfile

import addon_package
import blender_checks
import faultserver
import harness


def test_lifecycle_and_published_package_in_the_bpy_module(blender_home, tmp_path):
    blender_checks.install_host(blender_home / "scripts")
    release = addon_package.publish_source(tmp_path / "source", tmp_path / "dist", blender_checks.PACKAGE_SOURCES,
                                           "1.2.0")
    with zipfile.ZipFile(release["archive"]) as zf:
        bundle = zf.read("tellmora.data").decode()
    server = addon_package.serve(tmp_path / "dist")
    try:
        facts = blender_checks.lifecycle_facts(server.url)
        blender_checks.assert_lifecycle_facts(facts, bundle, server.requests)
    finally:
        server.shutdown()


def test_exits_while_a_startup_registration_waits_on_a_silent_server(tmp_path):
    # In an interpreter of its own: what is checked is that interpreter's exit.
    home = harness.session.install_into_profile(tmp_path / "home")
    with faultserver.FaultServer() as server:
        server.put("/service.json", faultserver.silent())
        run = harness.session.run("""
            import blender_checks
            blender_checks.quit_while_a_registration_waits(lambda leaving: print("LEFT", leaving), 15)
        """, home, module=sys.executable, path=[harness.TESTS, *harness.session.SHARED],
            env={"VESK_SERVICE_URL": server.url}, timeout=120)
        exited = time.time()
    output, process = run.output, run.process
    assert process.returncode == 0 and server.requests == ["/service.json"], output[-3000:]
    assert exited - float(output.split("LEFT ")[1].split()[0]) < 15, output[-3000:]
