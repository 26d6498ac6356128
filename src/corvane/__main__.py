"""The maker's one command: python3 -m corvane COMMAND ...

    publish SOURCE [VERSION] --dist DIST   publish a release of the add-on SOURCE
                                           (a folder or a single .py file)
    serve DIST                             serve a distribution folder on loopback
    check DIST [--prune]                   verify a distribution folder before upload
    list DIST                              the add-ons, their releases and Blenders
    withdraw DIST NAME VERSION             take a release out of the index

``python3 -m corvane COMMAND --help`` says more about each. Only the standard
library is used, so this runs in Blender's own Python too.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import sys
import zipfile

from corvane import publish as publisher
from corvane import serve as server

_MD5 = re.compile(r"[0-9a-f]{32}")


def _numbers(value) -> bool:
    return isinstance(value, list) and bool(value) and all(type(v) is int and v >= 0 for v in value)


def _dotted(numbers) -> str:
    return ".".join(str(n) for n in numbers)


def _blender(numbers) -> str:
    """[3, 6, 0] as 3.6; [4, 2, 1] as 4.2.1."""
    shown = list(numbers[:2]) + [n for n in numbers[2:3] if n]
    return _dotted(shown)


def _addon_folders(dist: str):
    return sorted(entry.name for entry in os.scandir(dist)
                  if entry.is_dir() and not entry.name.startswith("."))


def _load_json(path: str):
    with open(path, "rb") as f:
        return json.loads(f.read().decode("utf-8"))


# -------------------------------------------------------------------- check


def _check_service(dist: str, problems: list) -> None:
    path = os.path.join(dist, "service.json")
    try:
        service = _load_json(path)
    except FileNotFoundError:
        problems.append(f"{path}: missing (the manager asks for it first)")
        return
    except (OSError, UnicodeDecodeError, ValueError) as e:
        problems.append(f"{path}: not a JSON document ({e})")
        return
    if not isinstance(service, dict):
        problems.append(f"{path}: not a JSON object")
        return
    url = service.get("url")
    if "url" in service and not (isinstance(url, str) and url.lower().startswith(("http://", "https://"))):
        problems.append(f"{path}: \"url\" {url!r} is not an http:// or https:// address")
    flag = service.get("manager_update", 0)
    if type(flag) is not int:
        problems.append(f"{path}: \"manager_update\" {flag!r} is not an integer")


def _check_archive(name: str, path: str, md5: str, problems: list) -> None:
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    if digest.hexdigest() != md5:
        problems.append(f"{path}: MD5 is {digest.hexdigest()}, the index says {md5}")
        return
    try:
        with zipfile.ZipFile(path) as archive:
            bundle = archive.read(f"{name}.data")
            members = archive.namelist()
    except KeyError:
        problems.append(f"{path}: holds no {name}.data")
        return
    except (zipfile.BadZipFile, OSError, EOFError) as e:
        problems.append(f"{path}: not a readable zip archive ({e})")
        return
    try:
        records = publisher.split_bundle(bundle)
    except (ValueError, UnicodeDecodeError) as e:
        problems.append(f"{path}: {name}.data is not a module bundle ({e})")
        return
    modules = [module for module, _ in records]
    if f"{name}.__init__" not in modules:
        problems.append(f"{path}: {name}.data has no {name}.__init__")
    if publisher.bundle_form(records) == "package":
        # The manager writes the add-on's __init__.py itself and serves the modules
        # from memory; a copy on disk would be imported instead.
        on_disk = sorted({"__init__.py"} & set(members)
                         | {m for m in members if m.endswith(".py") and _module_of(name, m) in modules})
        if on_disk:
            problems.append(f"{path}: holds {', '.join(on_disk)}, which {name}.data carries")
    elif modules and modules[0].endswith(publisher.FORM_RECORD):
        problems.append(f"{path}: {name}.data is of an unknown form {records[0][1].strip()}")


def _module_of(name: str, member: str) -> str:
    """The record name an archive member would have as a module: "sub/mod.py" -> NAME.sub.mod."""
    return ".".join([name] + member[:-3].split("/"))


def _check_index(dist: str, name: str, problems: list) -> set:
    """Checks one add-on's index and archives; returns the archive names it lists."""
    folder = os.path.join(dist, name)
    path = os.path.join(folder, "index.json")
    try:
        entries = _load_json(path)
    except FileNotFoundError:
        problems.append(f"{path}: missing")
        return set()
    except (OSError, UnicodeDecodeError, ValueError) as e:
        problems.append(f"{path}: not a JSON document ({e})")
        return set()
    if not isinstance(entries, list) or not entries:
        problems.append(f"{path}: not a non-empty array of releases")
        return set()
    listed, versions = set(), []
    for position, entry in enumerate(entries):
        where = f"{path}: release {position}"
        if not isinstance(entry, dict):
            problems.append(f"{where}: not an object")
            continue
        version, md5, blender = entry.get("version"), entry.get("md5"), entry.get("blender")
        if not _numbers(version):
            problems.append(f"{where}: \"version\" {version!r} is not a list of non-negative integers")
            continue
        where = f"{path}: {_dotted(version)}"
        if version in versions:
            problems.append(f"{where}: listed twice")
        versions.append(version)
        if "blender" in entry and not _numbers(blender):
            problems.append(f"{where}: \"blender\" {blender!r} is not a list of non-negative integers")
        if not (isinstance(md5, str) and _MD5.fullmatch(md5)):
            problems.append(f"{where}: \"md5\" {md5!r} is not 32 lower-case hexadecimal digits")
            continue
        listed.add(f"{md5}.zip")
        archive = os.path.join(folder, f"{md5}.zip")
        if not os.path.isfile(archive):
            problems.append(f"{where}: archive {archive} is missing")
            continue
        _check_archive(name, archive, md5, problems)
    if versions != sorted(versions, reverse=True):
        problems.append(f"{path}: releases are not newest first (the manager takes the first its Blender meets)")
    return listed


def check(dist, prune=False, removed=None) -> list[str]:
    """The problems of a distribution folder, one line each; empty when it is ready to
    upload. With `prune`, archives no index lists are removed first (their names are
    appended to `removed`)."""
    dist = os.fspath(dist)
    if not os.path.isdir(dist):
        return [f"{dist}: not a folder"]
    problems: list[str] = []
    _check_service(dist, problems)
    for entry in sorted(os.scandir(dist), key=lambda e: e.name):
        if entry.is_file() and entry.name != "service.json":
            problems.append(f"{entry.path}: unlisted file")
    for name in _addon_folders(dist):
        listed = _check_index(dist, name, problems)
        folder = os.path.join(dist, name)
        for entry in sorted(os.scandir(folder), key=lambda e: e.name):
            if entry.name == "index.json" or entry.name in listed:
                continue
            if prune and entry.is_file() and _MD5.fullmatch(entry.name[:-4] or "") and entry.name.endswith(".zip"):
                os.remove(entry.path)
                if removed is not None:
                    removed.append(entry.path)
                continue
            problems.append(f"{entry.path}: unlisted {'folder' if entry.is_dir() else 'file'}")
    return problems


# --------------------------------------------------------------------- list


def offered_range(entries: list, position: int) -> str:
    """Which Blenders are offered release `position`: the manager gives each Blender the
    first release (newest first) whose minimum it meets."""
    low = entries[position].get("blender") or [0]
    newer = [e.get("blender") or [0] for e in entries[:position]]
    covering = next((e for e in entries[:position] if (e.get("blender") or [0]) <= low), None)
    if covering is not None:
        return f"offered to no Blender while {_dotted(covering['version'])} is listed"
    below = min(newer, default=None)
    start = f"Blender {_blender(low)}" if low != [0] else "any Blender"
    if below is None:
        return f"{start} and later" if low != [0] else start
    return f"{start} up to before {_blender(below)}"


def list_dist(dist) -> list[str]:
    lines = []
    for name in _addon_folders(os.fspath(dist)):
        try:
            entries = publisher._read_index(os.path.join(dist, name, "index.json"))
        except publisher.PublishError as e:
            lines.append(f"{name}: {e}")
            continue
        lines.append(f"{name}: {len(entries)} release{'s' if len(entries) != 1 else ''}")
        for position, entry in enumerate(entries):
            lines.append(f"  {_dotted(entry['version']):<10} {offered_range(entries, position)}  "
                         f"({entry.get('md5')}.zip)")
    return lines


# ----------------------------------------------------------------- withdraw


def withdraw(dist, name: str, version) -> dict:
    """Takes release `version` of `name` out of its index; the archive stays (check
    --prune removes it). Returns the withdrawn entry and the release now offered first."""
    numbers = publisher.parse_version(version)
    path = os.path.join(os.fspath(dist), name, "index.json")
    if not os.path.isfile(path):
        raise publisher.PublishError(f"{path}: missing; {name} is not published in {dist}")
    entries = publisher._read_index(path)
    kept = [e for e in entries if e["version"] != numbers]
    if len(kept) == len(entries):
        raise publisher.PublishError(f"{path}: no release {_dotted(numbers)} (it has "
                                     f"{', '.join(_dotted(e['version']) for e in entries) or 'none'})")
    publisher._write_atomic(path, publisher._dump_index(kept))
    return {"withdrawn": next(e for e in entries if e["version"] == numbers), "first": kept[0] if kept else None}


# --------------------------------------------------------------------- main


def _run_check(args) -> int:
    removed: list[str] = []
    problems = check(args.dist, args.prune, removed)
    for path in removed:
        print(f"removed {path}")
    for problem in problems:
        print(problem)
    if problems:
        print(f"check: {len(problems)} problem{'s' if len(problems) != 1 else ''}", file=sys.stderr)
        return 1
    print(f"{args.dist}: ready to upload")
    return 0


def _run_list(args) -> int:
    if not os.path.isdir(args.dist):
        print(f"list: error: {args.dist}: not a folder", file=sys.stderr)
        return 2
    for line in list_dist(args.dist):
        print(line)
    return 0


def _run_withdraw(args) -> int:
    try:
        done = withdraw(args.dist, args.name, args.version)
    except (publisher.PublishError, OSError) as e:
        print(f"withdraw: error: {e}", file=sys.stderr)
        return 2
    gone = done["withdrawn"]
    first = done["first"]
    print(f"withdrew {args.name} {_dotted(gone['version'])}; its archive {gone['md5']}.zip stays until "
          f"`check --prune`")
    print(f"offered first now: {_dotted(first['version'])}" if first else
          f"{args.name} has no release left: users get an error until you publish one")
    return 0


def _folder_command(commands, name, run, **texts) -> argparse.ArgumentParser:
    """A command that works on a distribution folder, its first argument."""
    command = commands.add_parser(name, **texts)
    command.add_argument("dist", metavar="DIST", help="the distribution folder")
    command.set_defaults(run=run)
    return command


def parser() -> argparse.ArgumentParser:
    main_parser = argparse.ArgumentParser(prog="python3 -m corvane",
                                          description="The maker's tools for corvane's distribution folders.")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    publish_parser = commands.add_parser(
        "publish", help="publish a release of an add-on into a distribution folder",
        description="Publish an add-on release into a distribution folder. VERSION defaults to "
                    "bl_info[\"version\"]; bl_info[\"blender\"] becomes the oldest Blender it is offered to.")
    publisher.add_arguments(publish_parser)
    publish_parser.set_defaults(run=publisher.run)

    serve_parser = commands.add_parser(
        "serve", help="serve a distribution folder over HTTP",
        description="Serve a distribution folder on loopback for the add-on manager.")
    server.add_arguments(serve_parser)
    serve_parser.set_defaults(run=server.run)

    check_parser = _folder_command(
        commands, "check", _run_check, help="verify a distribution folder before upload",
        description="Verify a distribution folder: service.json, every index and its archives "
                    "(present, MD5, module bundle), nothing unlisted. One line per problem; "
                    "exit status 1 when there is any.")
    check_parser.add_argument("--prune", action="store_true", help="remove archives no index lists")

    _folder_command(
        commands, "list", _run_list, help="the add-ons, their releases and the Blenders each is offered to",
        description="List the add-ons of a distribution folder and their releases, newest first, "
                    "with the Blenders each release is offered to.")

    withdraw_parser = _folder_command(
        commands, "withdraw", _run_withdraw, help="take a release out of an add-on's index",
        description="Take a release out of an add-on's index: users are offered the previous one. "
                    "The archive stays until `check --prune`.")
    withdraw_parser.add_argument("name", metavar="NAME", help="the add-on")
    withdraw_parser.add_argument("version", metavar="VERSION", help="the release, e.g. 1.2.0")
    return main_parser


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
