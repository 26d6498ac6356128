"""Memory under repetition in Debian's Blender, short: 30 rounds of install, update and
uninstall in one process; after round 10 corvane's rounds grow no more than the same
registrations done in plain Python (scripts/checks/memory.py runs 200 and prints the curve)."""

import sys

import harness

sys.path.insert(0, str(harness.REPO / "scripts" / "checks"))
import memory  # noqa: E402


def test_memory_settles_under_repeated_install_update_uninstall(tmp_path):
    result = memory.run(30, tmp_path)
    resident, blocks = memory.growth(result["samples"], 10)
    base_resident, base_blocks = memory.growth(result["baseline"], 10)
    shown = "\n".join(memory.curve_lines(result["samples"], 5) + memory.summary_lines(result, 10))
    assert resident < 64 * 1024, shown
    # A module object, a class or a bundle kept per round would be hundreds or thousands of blocks.
    assert blocks < base_blocks + 60, shown
    samples, baseline = result["samples"], result["baseline"]
    assert (samples[-1]["objects"] - samples[10]["objects"]) <= (baseline[-1]["objects"] - baseline[10]["objects"]) + 20
    assert samples[-1]["modules"] == samples[1]["modules"], shown
