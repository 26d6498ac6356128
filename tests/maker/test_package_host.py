"""The host packages for every platform the hosted workflow builds: only Linux x86_64
wheels are made here, so the other platforms' wheels are stand-ins with their names."""

import importlib.util
import platform
import sys
import zipfile

import pytest

import harness

sys.path.insert(0, str(harness.REPO / "scripts" / "packaging"))
import package_host  # noqa: E402

# The workflow's wheel names, and the machine each one is for as Python reports it there.
WHEELS = {
    "cp311-cp311-win_amd64": ("Windows", "AMD64"),
    "cp313-cp313-macosx_11_0_arm64": ("Darwin", "arm64"),
    "cp313-cp313-macosx_11_0_x86_64": ("Darwin", "x86_64"),
    "cp310-cp310-manylinux_2_27_aarch64.manylinux_2_28_aarch64": ("Linux", "aarch64"),
    "cp311-cp311-manylinux_2_24_x86_64.manylinux_2_28_x86_64": ("Linux", "x86_64"),
}


def fake_wheel(folder, tags, version="1.2.3"):
    path = folder / f"corvane-{version}-{tags}.whl"
    python = tags.split("-")[0][2:]
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("corvane/__init__.py", "")
        archive.writestr(f"corvane/vesk.{python}-{tags.split('-')[-1]}.so", tags)  # each build named for itself
        archive.writestr(f"corvane-{version}.dist-info/METADATA", f"Name: corvane\nVersion: {version}\n")
        archive.writestr(f"corvane-{version}.dist-info/WHEEL", f"Tag: {tags}\n")
        archive.writestr(f"corvane-{version}.dist-info/RECORD", "")
    return path


def bundled_module():
    found = importlib.util.spec_from_file_location("corvane_host.bundled", package_host.HOST / "bundled.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_every_platform_of_the_workflow_is_packed_and_found(tmp_path, monkeypatch):
    wheels = [fake_wheel(tmp_path, tags) for tags in WHEELS]
    package_host.main([str(tmp_path / "dist"), *map(str, wheels)])

    with zipfile.ZipFile(tmp_path / "dist" / "corvane_host-1.2.3.zip") as extension:
        names = extension.namelist()
        manifest = extension.read("blender_manifest.toml").decode()
    assert 'version = "1.2.3"' in manifest
    assert 'platforms = ["linux-arm64", "linux-x64", "macos-arm64", "macos-x64", "windows-x64"]' in manifest
    # Blender 4.2+ embeds 3.11 or newer: the cp310 wheel stays out of the extension.
    carried = sorted(n for n in names if n.startswith("wheels/"))
    assert carried == sorted(f"wheels/{w.name}" for w in wheels if "cp310" not in w.name)
    assert all(f'"./{name}"' in manifest for name in carried)
    assert "__init__.py" in names and "bundled.py" in names

    with zipfile.ZipFile(tmp_path / "dist" / "corvane_host-1.2.3-legacy.zip") as legacy:
        names = legacy.namelist()
    assert "corvane_host/__init__.py" in names and "corvane_host/blender_manifest.toml" not in names
    assert not [n for n in names if n.endswith(("/RECORD", "/WHEEL"))]

    # The host, running on each machine, picks the folder that was packed for it.
    bundled = bundled_module()
    for tags, (system, machine) in WHEELS.items():
        monkeypatch.setattr(platform, "system", lambda: system)
        monkeypatch.setattr(platform, "machine", lambda: machine)
        folder = f"corvane_host/lib/{bundled.platform_name()}"
        assert f"{folder}/corvane-1.2.3.dist-info/METADATA" in names, (tags, folder)
        assert [n for n in names if n.startswith(f"{folder}/corvane/vesk.")], (tags, folder)


def test_wheels_of_different_versions_or_unknown_platforms_are_refused(tmp_path):
    with pytest.raises(SystemExit, match="different versions"):
        package_host.main([str(tmp_path), str(fake_wheel(tmp_path, "cp311-cp311-win_amd64", "1.0.0")),
                           str(fake_wheel(tmp_path, "cp313-cp313-win_amd64", "1.0.1"))])
    with pytest.raises(ValueError, match="unknown platform"):
        package_host.wheel_tags("corvane-1.0.0-cp311-cp311-freebsd_14_amd64.whl")


def test_a_legacy_host_without_a_build_for_this_python_says_so(tmp_path, monkeypatch):
    bundled = bundled_module()
    own = tmp_path / "lib" / bundled.platform_name() / "corvane"
    own.mkdir(parents=True)
    (own / "vesk.cpython-20-x86_64-linux-gnu.so").write_bytes(b"")  # no interpreter's name
    (own / "vesk.cp20-win_amd64.pyd").write_bytes(b"")
    monkeypatch.setattr(bundled, "LIB", str(tmp_path / "lib"))
    monkeypatch.setattr(sys, "path", list(sys.path))
    with pytest.raises(ImportError, match=r"no corvane for Python 3\.\d+ on .* \(it has: 2\.0, 2\.0\)"):
        bundled.use_own_copy()
    assert str(own.parent) not in sys.path
