import bpy
import pytest

import addon_package
import blender_checks


@pytest.mark.skipif(not hasattr(bpy.app, "online_access"), reason="no online-access switch (bpy.app.online_access)")
def test_offline_registration_and_update_ask_nothing_and_keep_the_record(blender_home, tmp_path, monkeypatch):
    blender_checks.install_host(blender_home / "scripts")
    addon_package.publish_source(tmp_path / "source", tmp_path / "dist", {"a.py": "VALUE = 1\n"}, "1.2.0")
    server = addon_package.serve(tmp_path / "dist")
    monkeypatch.setenv("VESK_SERVICE_URL", server.url)
    monkeypatch.setenv("VESK_PACKAGE_INDEX_URL", server.url)
    try:
        blender_checks.assert_offline_facts(blender_checks.offline_facts(server.url), server.requests)
    finally:
        server.shutdown()
