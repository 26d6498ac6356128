"""The demo's path, run as a test in either Blender: Tellmora published and served
on loopback, installed, checked, updated, then a second Blender on the same user
folders registers it again from the cached bundle, and it is uninstalled. With a
packaged host, the profile starts empty and Blender's own installer puts the host in."""

import functools
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import harness

sys.path.insert(0, str(harness.REPO / "scripts"))
import demo  # noqa: E402
import package_host  # noqa: E402
import profile_setup  # noqa: E402

from corvane import publish, serve  # noqa: E402


@functools.lru_cache(maxsize=None)
def packaged_host():
    """The two host packages (scripts/package_host.py) around a wheel of this checkout
    built for this interpreter (the lane's Blender's): {"extension": zip, "legacy": zip}."""
    out = Path(tempfile.mkdtemp(prefix="corvane-packages-"))
    # The build folder is the one scripts/setup.sh built the lane's corvane in: nothing is compiled again.
    build = subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
                            "-w", str(out / "wheel"), str(harness.REPO)], capture_output=True, text=True)
    assert build.returncode == 0, build.stdout + build.stderr
    package_host.main([str(out), *map(str, (out / "wheel").glob("corvane-*.whl"))])
    return {"extension": next(out.glob("corvane_host-*[0-9].zip")), "legacy": next(out.glob("corvane_host-*-legacy.zip"))}


# A second managed add-on for the host in the profile, whose bl_info name differs from the
# title its name gives ("Other").
OTHER = "other"
OTHER_INIT = 'bl_info = {"name": "Other Gadget", "version": (0, 3, 0), "blender": (2, 83, 0)}\n'


def run(module_python=None, package=None):
    """`package`: "extension" or "legacy", the host installed from that package. Without
    one, the host in the profile names two add-ons and the server in its own constants,
    and no VESK_SERVICE_URL is set."""
    temp = Path(tempfile.mkdtemp(prefix="corvane-e2e-"))
    dist, home = temp / "dist", temp / "profile"
    publish.publish(str(profile_setup.TELLMORA_SOURCE), "1.0.0", str(dist))
    next_source = demo.next_release_source(temp)
    results = {}
    with serve.serve(str(dist), port=0, stream=open(temp / "server.log", "w")) as server:
        if package:
            (home / "config").mkdir(parents=True)
            (home / "scripts").mkdir()
            settings = {"CORVANE_DEMO_PACKAGE": str(packaged_host()[package]), "VESK_SERVICE_URL": server.url,
                        "CORVANE_DEMO_HOST": "bl_ext.user_default.corvane_host" if package == "extension"
                        else "corvane_host"}
        else:
            other = temp / "source" / OTHER
            other.mkdir(parents=True)
            (other / "__init__.py").write_text(OTHER_INIT)
            publish.publish(str(other), None, str(dist))
            profile_setup.install_into_profile(home, ("tellmora", OTHER), server.url)
            settings = {"CORVANE_DEMO_OTHER": OTHER}
        for phase, factory in (("first", True), ("second", False)):
            report = temp / f"{phase}.json"
            process = demo.run_phase(home, phase, dist, next_source, factory=factory, module_python=module_python,
                                     extra_env={"CORVANE_DEMO_REPORT": str(report),
                                                # a self-update would ask this server, never the public index
                                                "VESK_PACKAGE_INDEX_URL": server.url, **settings})
            assert process.returncode == 0, (process.stdout + process.stderr)[-5000:]
            results[phase] = json.loads(report.read_text())
            results[phase + "_requests"] = server.requests
            server.clear_requests()
            if phase == "first":
                results["userpref_saved"] = (home / "config" / "userpref.blend").exists()
    results["addon_folder"] = sorted(p.name for p in (home / "scripts" / "addons").iterdir())
    results["home"] = str(home)
    results["package"] = package
    return results


def check(results):
    first, second = results["first"], results["second"]
    assert first["ok"] and second["ok"]
    state = {"name": "tellmora", "title": "Tellmora"}
    assert first["initial"] == {**state, "status": False, "update": False, "version": "", "tips": "", "data": 0}
    installed = first["installed"]
    assert (installed["status"], installed["update"], installed["version"], installed["tips"]) == (
        True, False, "1.0.0", "INSTALLED") and installed["data"] > 1000
    assert first["enabled_after_install"] == [True, True]
    assert first["files"] == ["__init__.py", "auto_load.py"]
    assert first["first_message"].startswith("The scene holds")
    checked = first["checked"]
    assert (checked["update"], checked["tips"], checked["version"]) == (True, "Available update: 1.1.0", "1.0.0")
    updated = first["updated"]
    assert (updated["status"], updated["update"], updated["version"], updated["tips"]) == (
        True, False, "1.1.0", "INSTALLED")
    assert first["version"].startswith("Version: 0.")
    archives = [p for p in results["first_requests"] if p.endswith(".zip") and p.startswith("/tellmora/")]
    assert len(archives) == 2 and archives[0] != archives[1]
    assert results["userpref_saved"]

    restarted = second["restarted"]
    assert (restarted["status"], restarted["version"], restarted["tips"]) == (True, "1.1.0", "No update")
    assert restarted["data"] == updated["data"]
    assert second["second_message"].startswith("The scene holds")
    assert not [p for p in results["second_requests"] if p.endswith(".zip")], "restart downloads no archive"
    assert second["uninstalled"] == {**state, "status": False, "update": False, "version": "", "tips": "",
                                     "data": 0}
    assert second["enabled_after_uninstall"][1] is False

    if not results["package"]:
        assert first["other"] == {"name": OTHER, "title": "Other Gadget", "status": True, "update": False,
                                  "version": "0.3.0", "tips": "INSTALLED"}
        assert first["other_before"]["title"] == "Other"
    if results["package"]:
        # corvane is the package's own copy, and nothing of the checkout is on sys.path.
        for session in (first, second):
            assert session["corvane_file"].startswith(results["home"] + "/"), session["corvane_file"]
            assert not [p for p in session["sys_path"] if p.startswith(str(harness.REPO))], session["sys_path"]
        assert "through Blender" in first["manager_update_note"] or "Install from Disk" in first["manager_update_note"]
        assert not [p for p in results["first_requests"] if p.startswith("/pypi/")], "pip is not started"
