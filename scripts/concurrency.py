"""Concurrency rounds on demand: init's start-up threads registering add-ons while the
host thread installs, updates, uninstalls and shuts down (tests/concurrency_rounds.py).

    .venv/bin/python scripts/concurrency.py [--rounds 200] [--seed N] [--standin] [--headless] [--interface]

--standin runs the rounds against the stand-in for Blender's API (a pytest run of
tests/with_standin/test_concurrency.py); --headless in Debian's Blender started
with -b; --interface in Debian's Blender with its window, event loop and drawing
on a virtual screen (xvfb-run), every step a bpy.app.timers call. Without a
choice, all three. Tellmora and two generated add-ons are published and served
on loopback (corvane.serve); the host add-on is examples/corvane_host. Prints
the figures of each run; exits non-zero when a round found a problem.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path[:0] = [str(HERE), str(REPO / "tests")]
import profile_setup  # noqa: E402

NAMES = ("tellmora", "stress_a", "stress_b")

SCRIPT = """
import concurrency_rounds
concurrency_rounds.run_in_blender({rounds}, {seed}, {dist!r}, {names!r}, report, interface={interface},
                                  join_timeout={join_timeout})
"""


def publish_all(dist, temp):
    import addon_package
    import concurrency_rounds
    from corvane import publish

    publish.publish(str(profile_setup.TELLMORA_SOURCE), "1.0.0", str(dist))
    for name in NAMES[1:]:
        addon_package.publish_source(Path(temp) / "source", dist, concurrency_rounds.addon_sources(name), "1.0.0",
                                     name)


def run_blender(temp, rounds, seed, interface, timeout=None, join_timeout=60):
    """Runs the rounds in Debian's Blender; returns the harness's run (report: outcomes, lines)."""
    import harness
    from corvane import serve

    temp = Path(temp)
    dist, home = temp / "dist", temp / ("interface" if interface else "headless")
    if not dist.exists():
        publish_all(dist, temp)
    profile_setup.install_into_profile(home)
    with serve.serve(str(dist), port=0, stream=open(temp / "server.log", "a")) as server:
        return harness.run_blender(
            SCRIPT.format(rounds=rounds, seed=seed, dist=str(dist), names=NAMES, interface=interface,
                          join_timeout=join_timeout),
            home, env={"VESK_SERVICE_URL": server.url}, timeout=timeout or 120 + 10 * rounds, check=False,
            interface=interface)


def show_blender(title, run):
    print(f"== {title}")
    for line in run.report.get("lines", []):
        print("  " + line)
    problems = [o for o in run.report.get("outcomes", []) if o["problems"]]
    if run.process.returncode != 0 or "outcomes" not in run.report:
        print(f"  Blender exited with {run.process.returncode}:\n{run.output[-5000:]}")
        return False
    for outcome in problems[:3]:
        print(json.dumps(outcome, indent=1)[:5000])
    return not problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None, help="first round's seed (default: a new one)")
    parser.add_argument("--standin", action="store_true")
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--interface", action="store_true")
    arguments = parser.parse_args()
    if not (arguments.standin or arguments.headless or arguments.interface):
        arguments.standin = arguments.headless = arguments.interface = True
    seed = arguments.seed if arguments.seed is not None else random.randrange(1 << 30)
    print(f"seed {seed}, {arguments.rounds} rounds per run", flush=True)
    ok = True
    if arguments.standin:
        print("== stand-in", flush=True)
        env = dict(os.environ, CORVANE_CONCURRENCY_ROUNDS=str(arguments.rounds), CORVANE_CONCURRENCY_SEED=str(seed))
        process = subprocess.run([sys.executable, "-m", "pytest", str(REPO / "tests/with_standin/test_concurrency.py"),
                                  "-q", "-s", "-p", "no:cacheprovider", "-k", "against_the_host"], env=env)
        ok = ok and process.returncode == 0
    with tempfile.TemporaryDirectory(prefix="corvane-concurrency-") as temp:
        if arguments.headless:
            ok = show_blender("Debian's Blender, headless", run_blender(temp, arguments.rounds, seed, False)) and ok
        if arguments.interface:
            ok = show_blender("Debian's Blender, interface under xvfb",
                              run_blender(temp, arguments.rounds, seed, True)) and ok
    print("no problems" if ok else "PROBLEMS FOUND")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
