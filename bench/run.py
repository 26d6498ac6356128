"""Install and start-up benchmark: corvane.vesk in Debian's Blender against the floor
(the required steps as a minimal Python script, with and without gc.collect) and
against the plain Python transcription of its pipeline, side by side in one run.

    scripts/checks/bench.sh                   # the whole table, 5 runs a figure (about 6 minutes, more under load)
    scripts/checks/bench.sh --quick           # 10 and 50 modules and the 50 MB file, 3 runs (about 2 minutes)
    scripts/checks/bench.sh --instructions    # the same in instructions counted by callgrind (7 minutes; 15 with 200 modules)
    scripts/checks/bench.sh --anatomy         # where the time goes: the floor's stages and the module's calls timed
    scripts/checks/bench.sh --anatomy --instructions   # where the instructions go, by function
    (scripts/checks/bench.sh runs .venv/bin/python bench/run.py; --cases 10,50,200,50MB picks add-ons)

Add-ons of 10, 50 and 200 generated modules (each with two property groups, an
operator and a panel under a shared root, so classes depend on each other across
modules) and one of 10 modules with a 50 MB file of random bytes, published by
corvane.publish and served by corvane.serve on loopback.

- install: a factory-fresh Blender enables the host add-on (examples/corvane_host),
  then `operator("install")` is timed from the call to its return;
- start-up: a second Blender on the saved profile, timed from the first to the last
  step of the start-up thread that registers the add-on from the cached bundle.

Each figure is the median over runs, each run a Blender of its own; the variants
take turns so that drift on the machine hits them alike. Times are wall-clock (the
user's wait); ratios are to the floor (below 1: faster than the floor). Peak memory
is the highest resident set during the timed step above the resident set before it.
The profiles and the distribution folders live in --work (by default a temporary
folder in /dev/shm), so that the disk's own delays do not blur the comparison.
"""

import argparse
import io
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path[:0] = [str(REPO / "scripts" / "blender"), str(BENCH)]

import addon_gen  # noqa: E402
import blender_session as session  # noqa: E402

IN_BLENDER = BENCH / "in_blender.py"
PROBE = BENCH / "startup_probe.py"
VARIANTS = ("floor", "floor_nogc", "module", "baseline")
SHOWN = {"floor": "floor", "floor_nogc": "floor without gc.collect", "module": "corvane.vesk",
         "baseline": "Python baseline"}


@dataclass(frozen=True)
class Case:
    label: str
    size: int
    extra_megabytes: int = 0

    @property
    def key(self):
        return f"m{self.size}x{self.extra_megabytes}"


CASES = (Case("10 modules", 10), Case("50 modules", 50), Case("200 modules", 200),
         Case("10 modules + 50 MB file", 10, 50))


def say(text=""):
    print(text, flush=True)


class BenchError(RuntimeError):
    pass


class Bench:
    def __init__(self, work, cases):
        self.work = Path(work)
        self.cases = cases
        self.servers = {}
        self.template = session.install_into_profile(self.work / "template")
        self.startup_templates = {}
        self.runs = 0

    # ---- set-up ------------------------------------------------------------------------

    def publish(self):
        from corvane import serve

        for case in self.cases:
            release = addon_gen.publish(self.work, case.key, case.size, case.extra_megabytes)
            server = serve.serve(str(self.work / case.key / "dist"), "127.0.0.1", 0, stream=io.StringIO())
            self.servers[case] = server
            say(f"  {case.label}: archive {os.path.getsize(release['archive']) / 1e3:,.0f} kB, "
                f"{len(release['modules'])} modules, served at {server.url}")

    def shutdown(self):
        for server in self.servers.values():
            server.shutdown()

    def fresh_home(self, source):
        self.runs += 1
        home = self.work / "runs" / f"{self.runs:04d}"
        shutil.copytree(source, home, symlinks=True)
        return home

    def prepare_startup(self, case):
        """A profile on which the generated add-on is installed and the preferences saved."""
        home = self.fresh_home(self.template)
        report = self.blender(home, "prepare", "module", case)
        self.check(report, "prepare", "module", case)
        (home / "scripts" / "startup").mkdir(exist_ok=True)
        shutil.copy(PROBE, home / "scripts" / "startup" / "corvane_bench_probe.py")
        for leftover in ("report.json",):
            (home / leftover).unlink(missing_ok=True)
        self.startup_templates[case] = home

    # ---- one Blender ---------------------------------------------------------------------

    def blender(self, home, phase, variant, case, wrapper=(), extra_env=None):
        path = [BENCH, *session.SHARED]
        run = session.run(IN_BLENDER, home, factory=phase != "startup", path=path, wrapper=wrapper, cwd=home,
                          timeout=900, env={
                              "CORVANE_BENCH_PHASE": phase, "CORVANE_BENCH_VARIANT": variant,
                              "CORVANE_BENCH_SIZE": str(case.size), "CORVANE_BENCH_PATH": os.pathsep.join(map(str, path)),
                              "VESK_SERVICE_URL": self.servers[case].url, **(extra_env or {})})
        if run.process.returncode != 0 or "error" in run.report:
            raise BenchError(f"{phase} {variant} {case.label}: Blender exited with {run.process.returncode}\n"
                             f"{run.report.get('error', '')}\n{run.output[-3000:]}")
        return run.report

    @staticmethod
    def check(report, phase, variant, case):
        what = f"{phase} {variant} {case.label}"
        if report.get("registered") != 3 * case.size:
            raise BenchError(f"{what}: {report.get('registered')} of {3 * case.size} classes registered")
        if phase != "startup" and not (report.get("status") and report.get("tips") == "INSTALLED"):
            raise BenchError(f"{what}: the record reads {report}")

    def measure(self, phase, variant, case, wrapper=(), extra_env=None):
        source = self.template if phase == "install" else self.startup_templates[case]
        home = self.fresh_home(source)
        try:
            report = self.blender(home, phase, variant, case, wrapper, extra_env)
            self.check(report, phase, variant, case)
            return report
        finally:
            shutil.rmtree(home, ignore_errors=True)

    def count(self, phase, variant, case, keep=False):
        """One run under callgrind, counting the instructions of the timed step only:
        the main thread's for an install, the start-up thread's for a start-up (Blender's
        main thread goes on starting up meanwhile)."""
        out = self.work / f"callgrind-{self.runs + 1:04d}.out"
        wrapper = ("valgrind", "--tool=callgrind", "--instr-atstart=no", "--separate-threads=yes",
                   f"--callgrind-out-file={out}")
        report = self.measure(phase, variant, case, wrapper, {"CORVANE_BENCH_CALLGRIND": "1"})
        threads = {}
        for path in out.parent.glob(out.name + "-*"):
            for line in path.read_text().splitlines():
                if line.startswith("totals:"):
                    threads[int(path.name.rsplit("-", 1)[1])] = (int(line.split()[1]), path)
        if phase == "install":
            report["instructions"], kept = threads[1]
        else:
            report["instructions"], kept = max(found for thread, found in threads.items() if thread != 1)
        for _, path in threads.values():
            if not (keep and path == kept):
                path.unlink()
        if keep:
            report["callgrind"] = kept
        return report


# ---- the table ------------------------------------------------------------------------


def median(reports, key):
    return statistics.median(report[key] for report in reports)


def table(results, cases, runs, key="wall"):
    """The figures as a markdown table: `key` "wall" (seconds) or "instructions"."""
    def shown(value):
        return f"{value * 1000:.0f} ms" if key == "wall" else f"{value / 1e6:.0f} M"

    # Under callgrind the resident set is mostly the tool's own: no memory column then.
    with_memory = key == "wall"
    lines = [
        "| step | add-on | floor | without gc.collect | corvane.vesk | Python baseline |"
        + (" peak RSS: floor / vesk / baseline |" if with_memory else ""),
        "|---|---|---:|---:|---:|---:|" + ("---:|" if with_memory else ""),
    ]
    for phase, step in (("install", "install"), ("startup", "start-up")):
        for case in cases:
            if (phase, case, "floor") not in results:
                continue
            figures = {variant: median(results[phase, case, variant], key) for variant in VARIANTS}
            peaks = {variant: median(results[phase, case, variant], "peak") / 1e6 for variant in VARIANTS}
            floor = figures["floor"]

            def ratio(variant, spread=False):
                # Each run's figure against the floor's of the same run (the variants of one
                # run follow each other closely, so the machine's drift between runs cancels).
                pairs = zip(results[phase, case, variant], results[phase, case, "floor"])
                ratios = [mine[key] / theirs[key] for mine, theirs in pairs]
                shown_spread = f" [{min(ratios):.2f}–{max(ratios):.2f}]" if spread and len(ratios) > 1 else ""
                return f"{statistics.median(ratios):.3f}x{shown_spread} ({shown(figures[variant])})"

            memory = f" {peaks['floor']:.1f} / {peaks['module']:.1f} / {peaks['baseline']:.1f} MB |"
            lines.append(
                f"| {step} | {case.label} | {shown(floor)} | {ratio('floor_nogc')} | {ratio('module', True)} "
                f"| {ratio('baseline', True)} |" + (memory if with_memory else ""))
    lines.append("")
    if key == "wall":
        lines.append(f"Medians of {runs} runs, each a Blender of its own; wall-clock times; a ratio is the median "
                     "of each run's time over the floor's time in the same run, [lowest–highest] of those.")
    else:
        lines.append("Instructions of the timed step counted by callgrind, one run each (the counts do not "
                     "depend on the machine's load); ratios to the floor.")
    return "\n".join(lines)


def machine():
    cpu = "unknown processor"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}; {session.blender_version_line()}"


def run_table(bench, cases, runs, counting=False):
    """Every variant for every add-on, `runs` times, the variants taking turns; with
    `counting`, once each under callgrind."""
    measure = bench.count if counting else bench.measure
    results = {}
    startup_cases = [case for case in cases if not case.extra_megabytes]
    for phase, phase_cases in (("install", cases), ("startup", startup_cases)):
        say(f"\n== {phase}: {runs} runs of {len(VARIANTS)} variants for {len(phase_cases)} add-ons")
        if phase == "startup":
            for case in phase_cases:
                if case not in bench.startup_templates:
                    bench.prepare_startup(case)
        for run in range(runs):
            for case in phase_cases:
                order = VARIANTS[run % len(VARIANTS):] + VARIANTS[:run % len(VARIANTS)]
                for variant in order:
                    results.setdefault((phase, case, variant), []).append(measure(phase, variant, case))
            say(f"  run {run + 1}/{runs} done")
    return results


# ---- where the time goes ------------------------------------------------------------


def shares(seconds, total):
    parts = sorted(seconds.items(), key=lambda item: -item[1])
    return "\n".join(f"    {name:38} {spent * 1000:9.1f} ms  {spent / total:6.1%}" for name, spent in parts if spent)


def run_anatomy(bench, cases, runs, counting):
    """The floor's stages and the calls the module makes, timed (or, with `counting`,
    the instructions of the main functions under callgrind), for every add-on."""
    startup_cases = [case for case in cases if not case.extra_megabytes]
    for case in startup_cases:
        if case not in bench.startup_templates:
            bench.prepare_startup(case)
    for phase in ("install", "startup"):
        for case in cases if phase == "install" else startup_cases:
            if counting:
                say(f"\n== where the instructions go: {phase} of {case.label} (callgrind, one run each)")
                for variant in ("floor", "module"):
                    profile = bench.count(phase, variant, case, keep=True)
                    say(f"  {SHOWN[variant]}: {profile['instructions'] / 1e6:,.0f} M instructions in all")
                    say(shares(function_shares(profile["callgrind"]), profile["instructions"], "M"))
                continue
            say(f"\n== where the time goes: {phase} of {case.label} (medians of {runs} run{'s' * (runs != 1)})")
            for variant in ("floor_stages", "module_stages"):
                reports = [bench.measure(phase, variant, case) for _ in range(runs)]
                total = median(reports, "wall")
                stages = {name: statistics.median(r["stages"][name] for r in reports) for name in reports[0]["stages"]}
                if variant == "module_stages":
                    stages["the rest (the module's own code, Blender's API)"] = max(0.0, total - sum(stages.values()))
                say(f"  {SHOWN[variant.replace('_stages', '')]}: {total * 1000:.1f} ms in all")
                say(shares(stages, total))


def shares(amounts, total, unit="ms"):
    parts = sorted(amounts.items(), key=lambda item: -item[1])
    scale = 1000 if unit == "ms" else 1e-6
    return "\n".join(f"    {name:56} {amount * scale:9.1f} {unit}  {amount / total:6.1%}"
                     for name, amount in parts if amount)


# Functions of the interpreter and its libraries whose inclusive instructions show a
# required step; every function is counted with all it calls.
COUNTED_FUNCTIONS = {
    "gc.collect": ("gc_collect_main",),
    "compile": ("builtin_compile",),
    "exec": ("builtin_exec",),
    "__get_ordered_classes__ (typing.get_type_hints within)": ("py_get_ordered_classes",),
    "response bodies (requests: read and joined)": ("bytes_join",),
    "MD5 of the archive": ("EVP_DigestUpdate",),
    "unpacking (inflate and CRC)": ("zlib_Decompress_decompress", "binascii_crc32"),
}


def function_shares(out):
    """Instructions per step in one callgrind profile, and what the module's own code
    and the byte copies (memcpy, wherever called) execute themselves."""
    def annotate(*options):
        listing = subprocess.run(["callgrind_annotate", "--threshold=100", *options, str(out)],
                                 capture_output=True, text=True).stdout
        for line in listing.splitlines():
            parts = line.split(None, 2)
            # "1,234 (12.3%)  file:function [object]": an entry of its own, not an inlined part.
            if len(parts) == 3 and parts[0].replace(",", "").isdigit() and line.rstrip().endswith("]"):
                where = parts[2].rsplit(" [", 1)
                yield int(parts[0].replace(",", "")), where[0].rsplit(":", 1)[-1], where[1]

    found = {}
    for count, function, _ in annotate("--inclusive=yes"):
        name = function.split("(")[0].rsplit("::", 1)[-1].split(".lto_priv")[0]
        for step, names in COUNTED_FUNCTIONS.items():
            if name in names:
                found[step, name] = max(found.get((step, name), 0), count)
    amounts = {}
    for (step, _), count in found.items():
        amounts[step] = amounts.get(step, 0) + count
    amounts["byte copies (memcpy, all callers)"] = sum(
        count for count, function, _ in annotate() if function.startswith("__memcpy") or function.startswith("__memmove"))
    amounts["corvane.vesk's own code"] = sum(count for count, _, where in annotate() if "vesk.cpython" in where)
    out.unlink()
    return amounts


# ---- main -----------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10 and 50 modules and the 50 MB file, 3 runs")
    parser.add_argument("--runs", type=int, help="runs a figure (default 5, --quick 3)")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions under callgrind instead of timing (slow: default 10 and 50 "
                             "modules and the 50 MB file, one run each)")
    parser.add_argument("--anatomy", action="store_true",
                        help="where the time goes instead of the table (with --instructions: where the "
                             "instructions go, by function, under callgrind)")
    parser.add_argument("--cases", help="comma-separated sizes to run, e.g. 10,200,50MB")
    parser.add_argument("--json", type=Path, help="also write the raw figures here")
    parser.add_argument("--work", type=Path, help="folder for the profiles and distribution folders "
                                                  "(default: a temporary folder in /dev/shm, else in /tmp)")
    arguments = parser.parse_args()

    cases = CASES
    if arguments.quick or arguments.instructions:
        cases = tuple(case for case in CASES if case.size != 200)
    if arguments.cases:
        wanted = arguments.cases.split(",")
        cases = tuple(case for case in CASES
                      if (f"{case.extra_megabytes}MB" if case.extra_megabytes else str(case.size)) in wanted)
    runs = arguments.runs or (1 if arguments.instructions else 3 if arguments.quick or arguments.anatomy else 5)
    if not session.BLENDER:
        say("Debian's Blender is not installed (scripts/lanes/setup.sh installs it)")
        return 1

    started = time.monotonic()
    shm = Path("/dev/shm")
    base = arguments.work or (shm if shm.is_dir() and shutil.disk_usage(shm).free > 2e9 else None)
    work = Path(tempfile.mkdtemp(prefix="corvane-bench-", dir=base))
    say(f"corvane.vesk install and start-up benchmark; {machine()}")
    say(f"== publishing and serving the generated add-ons (work folder {work})")
    bench = Bench(work, cases)
    try:
        bench.publish()
        if arguments.anatomy:
            run_anatomy(bench, cases, runs, arguments.instructions)
        else:
            results = run_table(bench, cases, runs, arguments.instructions)
            say(f"\n{time.strftime('%Y-%m-%d')}, {machine()}\n")
            say(table(results, cases, runs, "instructions" if arguments.instructions else "wall"))
            if arguments.json:
                arguments.json.write_text(json.dumps(
                    {f"{phase} {case.label} {variant}": reports for (phase, case, variant), reports in results.items()},
                    indent=1))
    except BenchError as error:
        say(f"\nbenchmark failed: {error}")
        return 1
    finally:
        bench.shutdown()
        shutil.rmtree(work, ignore_errors=True)
    say(f"\n({time.monotonic() - started:.0f} s in all)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
