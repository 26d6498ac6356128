"""Concurrency rounds on demand: init's start-up threads registering add-ons while the
host thread installs, updates, uninstalls and shuts down (tests/concurrency_rounds.py),
as many rounds as asked, through the rounds' own tests.

    .venv/bin/python scripts/checks/concurrency.py [--rounds 200] [--seed N] [--standin] [--headless] [--interface]

--standin runs the rounds against the stand-in for Blender's API
(tests/with_standin/test_concurrency.py); --headless in Debian's Blender started
with -b; --interface in Debian's Blender with its window, event loop and drawing
on a virtual screen (xvfb-run), every step a bpy.app.timers call
(tests/blender_exe/test_concurrency_exe.py). Without a choice, all three. Prints
the figures of each run; exits non-zero when a round found a problem.
"""

import argparse
import os
import random
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent.parent
RUNS = {"standin": ("stand-in", "tests/with_standin/test_concurrency.py", "against_the_host"),
        "headless": ("Debian's Blender, headless", "tests/blender_exe/test_concurrency_exe.py", "headless"),
        "interface": ("Debian's Blender, interface under xvfb", "tests/blender_exe/test_concurrency_exe.py",
                      "with_the_interface")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None, help="first round's seed (default: a new one)")
    for name in RUNS:
        parser.add_argument(f"--{name}", action="store_true")
    arguments = parser.parse_args()
    chosen = [name for name in RUNS if getattr(arguments, name)] or list(RUNS)
    seed = arguments.seed if arguments.seed is not None else random.randrange(1 << 30)
    print(f"seed {seed}, {arguments.rounds} rounds per run", flush=True)
    rounds = str(arguments.rounds)
    env = dict(os.environ, CORVANE_CONCURRENCY_SEED=str(seed), CORVANE_CONCURRENCY_ROUNDS=rounds,
               CORVANE_BLENDER_CONCURRENCY_ROUNDS=rounds, CORVANE_BLENDER_INTERFACE_ROUNDS=rounds)
    ok = True
    for name in chosen:
        title, tests, selection = RUNS[name]
        print(f"== {title}", flush=True)
        process = subprocess.run([sys.executable, "-m", "pytest", tests, "-q", "-s", "-p", "no:cacheprovider",
                                  "-k", selection], cwd=REPO, env=env)
        ok = ok and process.returncode == 0
    print("no problems" if ok else "PROBLEMS FOUND")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
