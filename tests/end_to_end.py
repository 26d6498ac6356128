"""The demo's path, run as a test in either Blender: Tellmora published and served
on loopback, installed, checked, updated, then a second Blender on the same user
folders registers it again from the cached bundle, and it is uninstalled. With a
packaged host, the profile starts empty and Blender's own installer puts the host in.
With offline starts, Blenders in between start with the server out of reach, and
Tellmora runs from its saved copy all the same."""

import contextlib
import functools
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import faultserver
import harness

sys.path[:0] = [str(harness.REPO / "scripts" / "demo"), str(harness.REPO / "scripts" / "packaging")]
import demo  # noqa: E402
import package_host  # noqa: E402

from corvane import publish, serve  # noqa: E402


@functools.lru_cache(maxsize=None)
def packaged_host():
    """The two host packages (scripts/packaging/package_host.py) around a wheel of this checkout
    built for this interpreter (the lane's Blender's): {"extension": zip, "legacy": zip}."""
    out = Path(tempfile.mkdtemp(prefix="corvane-packages-"))
    # The build folder is the one scripts/lanes/setup.sh built the lane's corvane in: nothing is compiled again.
    build = subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
                            "-w", str(out / "wheel"), str(harness.REPO)], capture_output=True, text=True)
    assert build.returncode == 0, build.stdout + build.stderr
    package_host.main([str(out), *map(str, (out / "wheel").glob("corvane-*.whl"))])
    return {"extension": next(out.glob("corvane_host-*[0-9].zip")), "legacy": next(out.glob("corvane_host-*-legacy.zip"))}


# A second managed add-on for the host in the profile, whose bl_info name differs from the
# title its name gives ("Other").
OTHER = "other"
OTHER_INIT = ('bl_info = {"name": "Other Gadget", "version": (0, 3, 0), "blender": (2, 83, 0)}\n\n\n'
              'def register():\n    pass\n\n\ndef unregister():\n    pass\n')


# The ways a start finds the server out of reach; "online access off" in Blender 4.2 and later.
OFFLINE_STARTS = ("nothing listening", "silent", "online access off")


@contextlib.contextmanager
def out_of_reach(how, server):
    """(service address, the requests it saw) for a start that finds the server out of reach."""
    if how == "silent":  # accepts the connection, reads the request, never answers
        with faultserver.FaultServer() as silent:
            silent.put("/service.json", faultserver.silent())
            yield silent.url, silent.requests
    elif how == "nothing listening":
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed = f"http://127.0.0.1:{probe.getsockname()[1]}"
        yield closed, []
    else:  # Blender's switch: the live server, which must see nothing
        server.clear_requests()
        seen = []
        yield server.url, seen
        seen.extend(server.requests)


def run(module_python=None, package=None, offline_starts=()):
    """`package`: "extension" or "legacy", the host installed from that package. Without
    one, the host in the profile names two add-ons and the server in its own constants,
    and no VESK_SERVICE_URL is set. `offline_starts`: between the two phases, a start per
    item of OFFLINE_STARTS."""
    temp = Path(tempfile.mkdtemp(prefix="corvane-e2e-"))
    dist, home = temp / "dist", temp / "profile"
    publish.publish(str(harness.session.TELLMORA_SOURCE), "1.0.0", str(dist))
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
            harness.session.install_into_profile(home, ("tellmora", OTHER), server.url)
            settings = {"CORVANE_DEMO_OTHER": OTHER}
        for phase, factory in (("first", True), ("second", False)):
            run = demo.run_phase(home, phase, dist, next_source, factory=factory, module_python=module_python,
                                 # a self-update would ask this server, never the public index
                                 extra_env={"VESK_PACKAGE_INDEX_URL": server.url, **settings})
            assert run.process.returncode == 0, run.output[-5000:]
            results[phase] = run.report
            results[phase + "_requests"] = server.requests
            server.clear_requests()
            if phase == "first":
                results["userpref_saved"] = (home / "config" / "userpref.blend").exists()
                starts = [how for how in offline_starts
                          if how != "online access off" or has_online_switch(module_python)]
                for how, following in zip(starts, starts[1:] + [None]):
                    results.setdefault("offline", {})[how] = start_offline(
                        how, following, server, home, dist, next_source, module_python, settings)
    results["addon_folder"] = sorted(p.name for p in (home / "scripts" / "addons").iterdir())
    results["home"] = str(home)
    results["package"] = package
    return results


def has_online_switch(module_python):
    if module_python is None:
        return harness.blender_version() >= (4, 2)
    import bpy  # the bpy lane runs in that interpreter

    return hasattr(bpy.app, "online_access")


def start_offline(how, following, server, home, dist, next_source, module_python, settings):
    """One start with the server out of reach. The bpy module reads online access from the
    saved preferences, so the start before the one with it off saves it off."""
    save_online = "0" if following == "online access off" else "1"
    with out_of_reach(how, server) as (address, requests):
        launched = time.time()
        run = demo.run_phase(home, "offline", dist, next_source, factory=False, module_python=module_python,
                             online=how != "online access off",
                             extra_env={**settings, "VESK_SERVICE_URL": address, "CORVANE_DEMO_SAVE_ONLINE": save_online,
                                        "VESK_PACKAGE_INDEX_URL": address})
    assert run.process.returncode == 0, (how, run.output[-5000:])
    result = dict(run.report)
    result["operator_after"] = result["offline_told_at"] - launched
    result["requests"] = list(requests)
    return result


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

    for how, offline in results.get("offline", {}).items():
        # Started from the saved copy, the record whole, the operator within 15 s of the start.
        assert offline["ok"] and offline["offline_message"].startswith("The scene holds"), how
        assert {**offline["offline"], "tips": "INSTALLED"} == updated, (how, offline["offline"])
        # (under valgrind, scripts/lanes/memcheck.sh, Blender's own time grows by its factor)
        assert offline["operator_after"] < 15 * harness.session.blender_wrapper()[1], (how, offline["operator_after"])
        # The silent server saw each installed add-on's service request; the others nothing.
        assert set(offline["requests"]) == ({"/service.json"} if how == "silent" else set()), (how, offline["requests"])

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
