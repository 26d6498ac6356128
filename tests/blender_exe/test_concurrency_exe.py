"""init's start-up threads registering while the host thread acts, in Debian's Blender:
headless, and with its interface, event loop and drawing under a virtual screen.
CI runs a few rounds of each (CORVANE_BLENDER_CONCURRENCY_ROUNDS, CORVANE_BLENDER_INTERFACE_ROUNDS);
scripts/checks/concurrency.py runs as many as asked. Tellmora and two generated add-ons are
published and served on loopback (corvane.serve); the host add-on is examples/corvane_host."""

import os
import random
import shutil
from pathlib import Path

import pytest

import addon_package
import concurrency_rounds
import harness

ROUNDS = int(os.environ.get("CORVANE_BLENDER_CONCURRENCY_ROUNDS", "30"))
# Blender draws on a software renderer under xvfb: a round takes a few seconds.
INTERFACE_ROUNDS = int(os.environ.get("CORVANE_BLENDER_INTERFACE_ROUNDS", str(max(1, ROUNDS // 3))))
NAMES = ("tellmora", "stress_a", "stress_b")

SCRIPT = """
import concurrency_rounds
concurrency_rounds.run_in_blender({rounds}, {seed}, {dist!r}, {names!r}, report, interface={interface},
                                  join_timeout={join_timeout})
"""


def run_blender(temp, rounds, seed, interface, join_timeout=60):
    """Runs the rounds in Debian's Blender; returns the harness's run (report: outcomes, lines)."""
    from corvane import publish, serve

    temp = Path(temp)
    dist, home = temp / "dist", temp / ("interface" if interface else "headless")
    publish.publish(str(harness.session.TELLMORA_SOURCE), "1.0.0", str(dist))
    for name in NAMES[1:]:
        addon_package.publish_source(temp / "source", dist, concurrency_rounds.addon_sources(name), "1.0.0", name)
    harness.session.install_into_profile(home)
    with serve.serve(str(dist), port=0, stream=open(temp / "server.log", "a")) as server:
        return harness.run_blender(
            SCRIPT.format(rounds=rounds, seed=seed, dist=str(dist), names=NAMES, interface=interface,
                          join_timeout=join_timeout),
            home, env={"VESK_SERVICE_URL": server.url}, timeout=120 + 10 * rounds, check=False,
            interface=interface)


def run_rounds(tmp_path, interface, rounds):
    seed = int(os.environ.get("CORVANE_CONCURRENCY_SEED", random.randrange(1 << 30)))
    run = run_blender(tmp_path, rounds, seed, interface)
    assert run.process.returncode == 0 and "outcomes" in run.report, (
        f"seed {seed}: Blender exited with {run.process.returncode}:\n{run.output[-6000:]}")
    print("\n" + "\n".join(run.report["lines"]))  # the figures, for scripts/checks/concurrency.py (pytest -s)
    failed = [o for o in run.report["outcomes"] if o["problems"]]
    assert not failed, f"seed {seed}: " + "\n".join(run.report["lines"])
    assert len(run.report["outcomes"]) == rounds
    return run


def test_startup_threads_against_the_host_thread_headless(tmp_path):
    run_rounds(tmp_path, False, ROUNDS)


@pytest.mark.skipif(shutil.which("xvfb-run") is None, reason="xvfb-run is not installed")
def test_startup_threads_against_the_host_thread_with_the_interface(tmp_path):
    run = run_rounds(tmp_path, True, INTERFACE_ROUNDS)
    assert run.report["frames"] > 0, "Blender drew while the threads ran"
