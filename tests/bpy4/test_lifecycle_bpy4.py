import addon_package
import blender_checks
from webserver import WebServer


def test_lifecycle_and_package_load_in_blender_4(blender_home):
    blender_checks.install_host(blender_home / "scripts")
    bundle = addon_package.bundle_text(blender_checks.PACKAGE_RECORDS)
    server = WebServer()
    try:
        addon_package.put_package(server, addon_package.package_archive(bundle), version=(1, 2, 0))
        facts = blender_checks.lifecycle_facts("zh_HANS", server.url)
        blender_checks.assert_lifecycle_facts(facts, bundle, server.requests, "accepted", "Tips")
    finally:
        server.close()
