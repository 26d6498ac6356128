import zipfile

import addon_package
import blender_checks


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
