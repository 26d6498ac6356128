"""Packs the host add-on (examples/corvane_host/) with corvane's wheels into the two
files Blender users install:

- corvane_host-VERSION.zip: a Blender 4.2+ extension; its manifest lists the wheels
  (one per interpreter from 3.11 on and platform; Blender installs the one for itself)
  and the platforms they cover;
- corvane_host-VERSION-legacy.zip: an add-on for Install from Disk in Blender 2.83 to
  4.1; corvane unpacked in corvane_host/lib/<platform>/, every interpreter's build side
  by side (each is named for its interpreter), so enabling it needs nothing else.

Plain zip files, the same bytes for the same inputs; no Blender needed (the hosted
workflow packs the wheels of every platform here), Blender 4.3 validates the extension
afterwards (scripts/packaging/package.sh).

Usage: package_host.py [--host DIR] DIST WHEEL...   (writes both zips into DIST)
A maker's renamed host: --host names its folder; the zips and the legacy add-on's
folder take their names from the manifest's id and the folder's name.
"""

import argparse
import re
import sys
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
HOST = REPO / "examples" / "corvane_host"  # the default; main() sets the one packed
MANIFEST = "blender_manifest.toml"
# A fixed time for every entry: the same inputs give the same zip.
STAMP = (2020, 1, 1, 0, 0, 0)

_SYSTEMS = {"manylinux": "linux", "musllinux": "linux", "linux": "linux", "macosx": "macos", "win": "windows"}
_MACHINES = {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64"}


def wheel_tags(wheel):
    """(version, python tag, [Blender platform names]) of a corvane wheel's file name."""
    name, version, python, _abi, platforms = Path(wheel).stem.split("-")
    if name != "corvane":
        raise ValueError(f"not a corvane wheel: {wheel}")
    found = []
    for tag in platforms.split("."):
        head, _, tail = tag.partition("_")
        system = next((blender for prefix, blender in _SYSTEMS.items()
                       if head == prefix or (head.startswith(prefix) and head[len(prefix):].isdigit())), None)
        if tail.endswith("universal2"):
            machines = ["x64", "arm64"]
        else:
            machines = [next((blender for machine, blender in _MACHINES.items()
                              if tail == machine or tail.endswith("_" + machine)), None)]
        if system is None or None in machines:
            raise ValueError(f"unknown platform tag {tag!r} in {wheel}")
        found += [f"{system}-{machine}" for machine in machines if f"{system}-{machine}" not in found]
    return version, python, found


def host_files():
    for path in sorted(HOST.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
            yield path.relative_to(HOST).as_posix(), path.read_bytes()


def write_zip(target, entries):
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, STAMP)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


def toml_list(values):
    return "[" + ", ".join(f'"{value}"' for value in values) + "]"


def manifest(version, wheels, platforms):
    """The source manifest with the release's version, wheels and platforms put in."""
    text = (HOST / MANIFEST).read_text()
    for key, value in (("version", f'"{version}"'), ("platforms", toml_list(platforms)),
                       ("wheels", toml_list(f"./wheels/{Path(w).name}" for w in wheels))):
        text, count = re.subn(rf"^{key} = .*$", f"{key} = {value}", text, count=1, flags=re.MULTILINE)
        if count != 1:
            raise ValueError(f"{HOST / MANIFEST} has no line '{key} = ...'")
    return text.encode()


def extension(version, wheels, platforms):
    # Blender 4.2 and later embed Python 3.11 or newer: older builds stay out.
    wheels = [w for w in wheels if int(wheel_tags(w)[1][len("cp"):][1:] or 0) >= 11]
    entries = [(name, manifest(version, wheels, platforms) if name == MANIFEST else data)
               for name, data in host_files()]
    entries += [(f"wheels/{Path(w).name}", Path(w).read_bytes()) for w in wheels]
    return entries


def manifest_id():
    found = re.search(r'^id = "([^"]+)"$', (HOST / MANIFEST).read_text(), re.MULTILINE)
    if not found:
        raise ValueError(f"{HOST / MANIFEST} has no id")
    return found.group(1)


def legacy(wheels):
    """The host in corvane_host/, each platform's corvane in corvane_host/lib/<platform>/:
    the wheels' files merged (the Python files are the same in each; the builds differ
    by name), with the metadata importlib.metadata reads for the version."""
    folder = HOST.name
    entries = {f"{folder}/{name}": data for name, data in host_files() if name != MANIFEST}
    for wheel in wheels:
        _version, _python, platforms = wheel_tags(wheel)
        with zipfile.ZipFile(wheel) as archive:
            for member in archive.namelist():
                if member.endswith(("/RECORD", "/WHEEL", "/")):
                    continue  # one wheel's record and tags could not describe the merged folder
                for platform in platforms:
                    name = f"{folder}/lib/{platform}/{member}"
                    data = archive.read(member)
                    if entries.setdefault(name, data) != data:
                        raise ValueError(f"{wheel}: {member} differs from another wheel's")
    return sorted(entries.items())


def main(argv=None):
    global HOST
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", type=Path, default=HOST, help="the host add-on's folder")
    parser.add_argument("dist", type=Path)
    parser.add_argument("wheels", nargs="+", type=Path)
    args = parser.parse_args(argv)
    HOST = args.host.resolve()
    name = manifest_id()
    tags = [wheel_tags(w) for w in args.wheels]
    versions = {version for version, _, _ in tags}
    if len(versions) != 1:
        raise SystemExit(f"the wheels are of different versions: {sorted(versions)}")
    version = versions.pop()
    platforms = sorted({p for _, _, found in tags for p in found})
    wheels = sorted(args.wheels, key=lambda w: w.name)
    args.dist.mkdir(parents=True, exist_ok=True)
    written = []
    for target, entries in ((args.dist / f"{name}-{version}.zip", extension(version, wheels, platforms)),
                            (args.dist / f"{name}-{version}-legacy.zip", legacy(wheels))):
        write_zip(target, entries)
        written.append(target)
    pythons = sorted({python for _, python, _ in tags})
    print(f"host packages for {', '.join(platforms)} ({', '.join(pythons)}):")
    for target in written:
        print(f"  {target} ({target.stat().st_size // 1024} KB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
