import pytest

import addon_package
import blender_checks
import harness


def test_offline_registration_and_update_ask_nothing_and_keep_the_record(tmp_path):
    addon_package.publish_source(tmp_path / "source", tmp_path / "dist", {"a.py": "VALUE = 1\n"}, "1.2.0")
    server = addon_package.serve(tmp_path / "dist")
    try:
        # Started without --online-mode: the preference decides, as in a user's Blender.
        run = harness.run_blender(f"""
            import blender_checks
            blender_checks.install_host(blender_checks.user_scripts())
            report(facts=blender_checks.offline_facts({server.url!r}))
        """, tmp_path / "home", online=False, env={"VESK_SERVICE_URL": server.url,
                                                   "VESK_PACKAGE_INDEX_URL": server.url})
        if not run["facts"]["switch"]:
            pytest.skip("this Blender has no online-access switch (bpy.app.online_access)")
        blender_checks.assert_offline_facts(run["facts"], server.requests)
    finally:
        server.shutdown()
