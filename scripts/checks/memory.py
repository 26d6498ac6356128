"""Memory under repetition in Debian's Blender: Tellmora installed, updated and
uninstalled through the host add-on ROUNDS times in one Blender process, from a
local server (corvane.serve on a free loopback port, VESK_SERVICE_URL set).

    .venv/bin/python scripts/checks/memory.py [--rounds 200] [--every 20] [--settled-after 20]

After every round (and once before the first) scripts/checks/memory_in_blender.py takes
the resident memory from /proc/self/statm and sys.getallocatedblocks(), after
gc.collect(). Prints the curve (every --every'th round) and the growth per round
after round --settled-after; exits non-zero when Blender fails a step.
"""

import argparse
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "blender"))
import blender_session as session  # noqa: E402

IN_BLENDER = HERE / "memory_in_blender.py"


def run(rounds, temp):
    """Runs the rounds; returns Blender's report (samples, baseline samples, seconds, classes kept) or raises."""
    from corvane import publish, serve

    temp = Path(temp)
    dist, home = temp / "dist", temp / "profile"
    publish.publish(str(session.TELLMORA_SOURCE), "1.0.0", str(dist))
    session.install_into_profile(home)
    with serve.serve(str(dist), port=0, stream=open(temp / "server.log", "w")) as server:
        run = session.run(IN_BLENDER, home, timeout=120 + 5 * rounds,
                          env={"VESK_SERVICE_URL": server.url, "CORVANE_MEMORY_ROUNDS": str(rounds),
                               "CORVANE_MEMORY_SOURCE": str(session.TELLMORA_SOURCE)})
    if run.process.returncode != 0 or not run.report:
        raise RuntimeError(f"Blender exited with {run.process.returncode}:\n{run.output[-5000:]}")
    return run.report


def growth(samples, settled_after):
    """Growth per round from round `settled_after` to the last: (resident bytes, blocks)."""
    first, last = samples[settled_after], samples[-1]
    rounds = len(samples) - 1 - settled_after
    return (last["rss"] - first["rss"]) / rounds, (last["blocks"] - first["blocks"]) / rounds


def curve_lines(samples, every):
    lines = ["round  resident MiB  allocated blocks  objects  sys.modules"]
    for number, sample in enumerate(samples):
        if number % every == 0 or number in (1, 2, 5, 10) or number == len(samples) - 1:
            lines.append(f"{number:5d}  {sample['rss'] / 2**20:12.1f}  {sample['blocks']:16d}  {sample['objects']:7d}  "
                         f"{sample['modules']:11d}")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--every", type=int, default=20)
    parser.add_argument("--settled-after", type=int, default=20)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="corvane-memory-") as temp:
        result = run(arguments.rounds, temp)
    version = session.blender_version_line()
    print(f"{arguments.rounds} rounds of install, update and uninstall in one Blender process ({version}), "
          f"{result['seconds']:.0f}s")
    for line in curve_lines(result["samples"], arguments.every):
        print("  " + line)
    print(f"baseline: the same registrations in plain Python, {result['baseline_seconds']:.0f}s")
    for line in curve_lines(result["baseline"], arguments.every):
        print("  " + line)
    for line in summary_lines(result, arguments.settled_after):
        print(line)
    return 0


def summary_lines(result, settled_after):
    resident, blocks = growth(result["samples"], settled_after)
    base_resident, base_blocks = growth(result["baseline"], settled_after)
    rounds = len(result["samples"]) - 1

    def objects(samples):
        return (samples[-1]["objects"] - samples[settled_after]["objects"]) / (len(samples) - 1 - settled_after)

    return [f"after round {settled_after}, per round: corvane {resident / 1024:+.1f} KiB resident, {blocks:+.1f} "
            f"allocated blocks, {objects(result['samples']):+.1f} objects; baseline {base_resident / 1024:+.1f} KiB, "
            f"{base_blocks:+.1f} blocks, {objects(result['baseline']):+.1f} objects",
            f"property group classes Blender still holds: {result['classes_kept']} after corvane's {rounds} rounds "
            f"({2 * rounds} registrations), {result['baseline_classes_kept']} after the baseline's"]


if __name__ == "__main__":
    sys.exit(main())
