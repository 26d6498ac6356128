"""init's start-up threads registering while the host thread acts, in Debian's Blender:
headless, and with its interface, event loop and drawing under a virtual screen.
CI runs a few rounds of each (CORVANE_BLENDER_CONCURRENCY_ROUNDS, CORVANE_BLENDER_INTERFACE_ROUNDS);
scripts/concurrency.py runs as many as asked."""

import os
import random
import shutil
import sys

import pytest

import harness

sys.path.insert(0, str(harness.REPO / "scripts"))
import concurrency  # noqa: E402

ROUNDS = int(os.environ.get("CORVANE_BLENDER_CONCURRENCY_ROUNDS", "30"))
# Blender draws on a software renderer under xvfb: a round takes a few seconds.
INTERFACE_ROUNDS = int(os.environ.get("CORVANE_BLENDER_INTERFACE_ROUNDS", str(max(1, ROUNDS // 3))))


def run_rounds(tmp_path, interface, rounds):
    seed = int(os.environ.get("CORVANE_CONCURRENCY_SEED", random.randrange(1 << 30)))
    run = concurrency.run_blender(tmp_path, rounds, seed, interface)
    assert run.process.returncode == 0 and "outcomes" in run.report, (
        f"seed {seed}: Blender exited with {run.process.returncode}:\n{run.output[-6000:]}")
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
