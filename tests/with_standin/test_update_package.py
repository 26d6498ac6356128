"""update_package: the manager's self-update against a package index on loopback.

pip is swapped for a recorder here; tests/blender_exe/test_self_update.py runs the
real pip against a local package index.
"""

import importlib.metadata
import sys
import types

import pytest

from faultserver import FaultServer

INSTALLED = importlib.metadata.version("corvane")


@pytest.fixture
def index(monkeypatch):
    server = FaultServer()
    monkeypatch.setenv("VESK_PACKAGE_INDEX_URL", server.url + "/")
    yield server
    server.close()


@pytest.fixture
def pip(monkeypatch):
    """A recording pip that installs the index's release (`installs`, when set) or nothing."""
    fake = types.ModuleType("pip")
    fake.calls = []
    fake.result = 0
    fake.installs = None

    def main(arguments):
        fake.calls.append(arguments)
        if isinstance(fake.result, BaseException):
            raise fake.result
        if fake.installs:
            monkeypatch.setattr(importlib.metadata, "version", lambda name: fake.installs)
        return fake.result

    fake.main = main
    monkeypatch.setitem(sys.modules, "pip", fake)
    return fake


def publish(index, version, package="corvane"):
    index.put_json(f"/pypi/{package}/json", {"info": {"version": version}, "releases": {}})


def bump(version, step):
    numbers = [int(n) for n in version.split(".")]
    numbers[-1] += step
    return ".".join(map(str, numbers))


def test_same_version_runs_no_pip(vesk, index, pip):
    publish(index, INSTALLED)
    assert vesk.update_package("corvane") == "Is using the latest version."
    assert pip.calls == [] and index.requests == ["/pypi/corvane/json"]


def test_newer_release_is_installed_with_pip(vesk, index, pip):
    newer = bump(INSTALLED, 1)
    publish(index, newer)
    pip.installs = newer
    assert vesk.update_package(package="corvane") == f"Update to {newer}, need to restart Blender."
    assert pip.calls == [["install", "-U", "corvane"]]


def test_pip_installing_nothing_is_not_reported_as_an_update(vesk, index, pip):
    newer = bump(INSTALLED, 1)
    publish(index, newer)  # pip answers "Requirement already satisfied" and ends well
    assert vesk.update_package("corvane") == f"Update to {newer} failed: corvane {INSTALLED} stays installed."


@pytest.mark.parametrize("release", [bump(INSTALLED, -1) if INSTALLED.split(".")[-1] != "0" else "0.0.9",
                                     INSTALLED + ".0"])
def test_older_or_equal_release_is_not_installed(vesk, index, pip, release):
    publish(index, release)
    assert vesk.update_package("corvane") == "Is using the latest version."
    assert pip.calls == []


def test_numbers_not_texts_decide(vesk, index, pip, monkeypatch):
    import importlib.metadata as metadata

    monkeypatch.setattr(metadata, "version", lambda name: "1.9")
    publish(index, "1.10")
    pip.installs = "1.10.0"  # the same release
    assert vesk.update_package("corvane") == "Update to 1.10, need to restart Blender."
    monkeypatch.setattr(metadata, "version", lambda name: "1.9")
    publish(index, "1.9rc1")  # not plain numbers: any difference counts
    pip.installs = "1.9rc1"
    assert vesk.update_package("corvane") == "Update to 1.9rc1, need to restart Blender."


def test_failing_pip_is_not_reported_as_an_update(vesk, index, pip, capsys):
    publish(index, bump(INSTALLED, 1))
    pip.result = 1
    assert vesk.update_package("corvane") == "ERROR, Check in blender console"
    assert capsys.readouterr().out == "1\n"


@pytest.mark.parametrize("setup", ["404", "not json", "no info", "unknown package", "pip raises"])
def test_errors_are_printed_and_turned_into_the_console_text(vesk, index, pip, capsys, setup):
    package = "corvane"
    if setup == "404":
        index.put(f"/pypi/{package}/json", "missing", status=404)
    elif setup == "not json":
        index.put(f"/pypi/{package}/json", "<html>")
    elif setup == "no info":
        index.put_json(f"/pypi/{package}/json", {"releases": {}})
    elif setup == "unknown package":
        package = "corvane-not-installed"
        publish(index, "1.0", package)
    else:
        publish(index, bump(INSTALLED, 1))
        pip.result = RuntimeError("pip broke")
    assert vesk.update_package(package) == "ERROR, Check in blender console"
    printed = capsys.readouterr().out
    assert printed.strip(), "the error is printed on Blender's console"


def test_interrupts_are_not_swallowed(vesk, index, pip):
    publish(index, bump(INSTALLED, 1))
    pip.result = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        vesk.update_package("corvane")


def test_unreachable_index_gives_the_console_text(vesk, monkeypatch, capsys):
    monkeypatch.setenv("VESK_PACKAGE_INDEX_URL", "http://127.0.0.1:9")
    assert vesk.update_package("corvane") == "ERROR, Check in blender console"
