"""Blender's own add-ons, each renamed, published unchanged and installed through corvane,
against Blender enabling a plain copy of the same files in the same kind of profile: the
same classes and operators, the same after a restart with the server down, and nothing
left after Uninstall. All of them in Debian 12's Blender, ten in the other lanes."""

import shutil
import time
from pathlib import Path

import pytest

import addon_package
import harness

SYSTEM_ADDONS = [Path("/usr/share/blender/scripts/addons"), Path("/usr/share/blender/scripts/addons_core")]


def corpus():
    folder = next((f for f in SYSTEM_ADDONS if f.is_dir()), None)
    if folder is None:
        pytest.skip("this Blender ships no add-ons folder")
    entries = sorted(p for p in folder.iterdir()
                     if p.stem.isidentifier() and (p.suffix == ".py" or (p / "__init__.py").is_file()))
    if harness.blender_version()[:2] != (3, 4):
        entries = entries[::max(1, len(entries) // 10)][:10]
    return {f"cv_{p.stem}": p for p in entries}


def publish_unchanged(name, source, dist):
    """The add-on published as it is; a release number given only where its bl_info has none."""
    from corvane.publish import PublishError, publish

    try:
        publish(str(source), None, str(dist), name)
    except PublishError as error:
        if "version" not in str(error):
            return str(error)
        publish(str(source), "1.0.0", str(dist), name, force=True)
    return None


def run_stage(stage, home, script, timings, **options):
    started = time.monotonic()
    run = harness.run_blender(script, home, make_scripts=False, timeout=900, **options)
    timings[stage] = round(time.monotonic() - started, 1)
    return run["facts"]


def test_blender_s_own_add_ons_install_unchanged(tmp_path):
    names = corpus()
    timings = {}

    plain = tmp_path / "plain"
    addons = plain / "scripts" / "addons"
    addons.mkdir(parents=True)
    for name, source in names.items():
        if source.is_dir():
            shutil.copytree(source, addons / name, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy(source, addons / f"{name}.py")
    plain_first = run_stage("plain copies enabled", plain, f"""
        import blender_checks
        report(facts=blender_checks.corpus_first_start({list(names)!r}, through_corvane=False))
    """, timings)
    plain_again = run_stage("plain copies after a restart, removed", plain, f"""
        import blender_checks
        report(facts=blender_checks.corpus_restart({plain_first!r}, through_corvane=False))
    """, timings, factory=False)

    dist = tmp_path / "dist"
    refused = {name: error for name, source in names.items()
               if (error := publish_unchanged(name, source, dist)) is not None}
    home = tmp_path / "corvane"
    server = addon_package.serve(dist)
    try:
        harness.session.install_into_profile(home, managed_addons=[n for n in names if n not in refused],
                                                   service_url=server.url)
        (home / "scripts" / "addons" / "corvane_host").rename(home / "scripts" / "addons" / "cv_host")
        first = run_stage("installed through corvane", home, f"""
            import blender_checks
            report(facts=blender_checks.corpus_first_start({[n for n in names if n not in refused]!r},
                                                           through_corvane=True))
        """, timings)
    finally:
        server.shutdown()
    again = run_stage("after a restart with the server down, uninstalled", home, f"""
        import blender_checks
        report(facts=blender_checks.corpus_restart({first!r}, through_corvane=True))
    """, timings, factory=False)

    enabled = [name for name in names if plain_first[name]["enabled"]]
    differences = {}
    for name in enabled:
        if name in refused:
            differences[name] = f"refused by the publisher: {refused[name]}"
            continue
        expected = {key: plain_first[name][key] for key in ("enabled", "types", "operators")}
        got = {key: first[name][key] for key in expected}
        if first[name]["outcome"] != "INSTALLED" or got != expected:
            differences[name] = f"installed: {first[name]['outcome']!r} {got} instead of {expected}"
            continue
        restarted = {key: again[name]["restarted"][key] for key in ("enabled", "types")}
        if restarted != {key: plain_again[name]["restarted"][key] for key in ("enabled", "types")}:
            differences[name] = f"after a restart: {restarted} instead of {plain_again[name]['restarted']}"
            continue
        if again["tips"][name] != "Offline: running from the saved copy; updates were not checked.":
            differences[name] = f"after a restart the tips read {again['tips'][name]!r}"
            continue
        left = again[name]["removed"]
        nothing = {"enabled": False, "types": plain_again[name]["removed"]["types"], "modules": [], "finders": 0,
                   "files": False}
        if left != nothing:
            differences[name] = f"left after Uninstall: {left}"
    print(f"\n{len(names)} add-ons, {len(enabled)} enabled by Blender from a plain copy, "
          f"{len(enabled) - len(differences)} the same through corvane; publisher refused {len(refused)}; "
          f"seconds per stage: {timings}")
    for name in names:
        if not plain_first[name]["enabled"]:
            print(f"  {name}, not enabled from a plain copy: {plain_first[name]['outcome'][:160]}")
    assert not differences, "\n".join(f"{name}: {what}" for name, what in differences.items())
