"""How long Blender stops drawing while the host's Install runs, in Debian's Blender 3.4
with its real interface under a virtual screen (xvfb-run).

    .venv/bin/python bench/responsive.py                 # this checkout's host against main's, 3 runs each
    .venv/bin/python bench/responsive.py --before REV    # against the host add-on of another revision
    .venv/bin/python bench/responsive.py --runs 5 --size 50

Publishes the install benchmark's generated add-on (bench/addon_gen.py, 200 modules
by default), serves it on loopback and, in a factory-fresh Blender each run, shows
the host's preferences, runs a 10 ms `bpy.app.timers` tick on the main thread and
presses Install (bench/responsive_in_blender.py). The figure is the longest gap
between ticks from the press to the outcome; the "before" host is the one in
examples/corvane_host/ at revision --before (default main), run the same way.
"""

import argparse
import io
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path[:0] = [str(REPO / "scripts" / "blender"), str(BENCH)]

import addon_gen  # noqa: E402
import blender_session as session  # noqa: E402

HOST_FILE = "examples/corvane_host/__init__.py"
# Xvfb draws in software: a frame of a larger screen takes longer than the gaps measured.
SCREEN = "800x600"


def run_once(work, number, url, host_source):
    home = session.install_into_profile(work / f"run-{number:02d}")
    if host_source is not None:
        (home / "scripts" / "addons" / "corvane_host" / "__init__.py").write_text(host_source)
    run = session.run(BENCH / "responsive_in_blender.py", home, interface=True, screen=SCREEN, fill_screen=True,
                      env={"VESK_SERVICE_URL": url}, cwd=home, timeout=600)
    if run.process.returncode != 0 or not run.report:
        raise SystemExit(f"Blender exited with {run.process.returncode}:\n{run.output[-3000:]}")
    figures = run.report
    shutil.rmtree(home, ignore_errors=True)
    if figures["tips"] != "INSTALLED" or figures["enabled"] != [True, True]:
        raise SystemExit(f"the install did not end installed and enabled: {figures}")
    return figures


def summary(label, runs):
    gaps = [r["longest_gap"] * 1000 for r in runs]
    return (f"| {label} | {statistics.median(gaps):.0f} ms [{min(gaps):.0f}–{max(gaps):.0f}] "
            f"| {statistics.median(r['seconds'] for r in runs):.2f} s "
            f"| {statistics.median(r['ticks'] for r in runs):.0f} "
            f"| {statistics.median(r['frames'] for r in runs):.0f} "
            f"| {max(r['idle_gap'] for r in runs) * 1000:.0f} ms |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", default="main", help="git revision whose host add-on is the 'before' (default main)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=200, help="modules in the generated add-on (default 200)")
    arguments = parser.parse_args()
    if not shutil.which("xvfb-run"):
        raise SystemExit("xvfb-run is not installed (scripts/lanes/setup.sh installs it)")
    before = subprocess.run(["git", "show", f"{arguments.before}:{HOST_FILE}"], cwd=REPO, capture_output=True,
                            text=True, check=True).stdout
    from corvane import serve

    shm = Path("/dev/shm")
    work = Path(tempfile.mkdtemp(prefix="corvane-responsive-", dir=shm if shm.is_dir() else None))
    try:
        addon_gen.publish(work, "addon", arguments.size)
        with serve.serve(str(work / "addon" / "dist"), "127.0.0.1", 0, stream=io.StringIO()) as server:
            results = {"before": [], "after": []}
            for number in range(arguments.runs):
                # The two hosts take turns, so that the machine's drift hits them alike.
                for label, source in (("before", before), ("after", None)):
                    figures = run_once(work, len(results["before"]) + len(results["after"]), server.url, source)
                    results[label].append(figures)
                    print(f"  {label}: longest gap {figures['longest_gap'] * 1000:.0f} ms, "
                          f"install {figures['seconds']:.2f} s", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"\nInstall of {arguments.size} modules, {arguments.runs} runs each (median [lowest–highest]):\n")
    print("| host | longest gap between 10 ms ticks | install | ticks | preferences frames | idle gap (most) |")
    print("|---|---:|---:|---:|---:|---:|")
    print(summary(f"before ({arguments.before}: on the main thread)", results["before"]))
    print(summary("after (worker thread)", results["after"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
