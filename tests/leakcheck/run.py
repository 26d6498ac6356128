"""The reference-leak check: every row of cases.py, in a loop, on the debug interpreter.

    python3.11-dbg tests/leakcheck/run.py --package build/debug/site
    python3.11 tests/leakcheck/run.py --once --package build/asan/site

Each row runs a warm-up, then `--rounds` rounds in `--blocks` equal blocks, with
the interpreter's total reference count taken (after gc.collect) before and after
every block. A row fails when the count grows by a tenth of the rounds or more,
or when it grows in every block (a slow, steady leak); a one-off growth, such as
a cache filled on first use, passes. A row that raises fails too. The count of
allocated memory blocks is shown for information. `--once` runs each row a
single time without counting, for interpreters without a reference total (the
sanitizer run). A row with a cost (cases.py) runs that fraction of the rounds. Prints "N passed, N failed" at the end; exit status 1 on a failure.
"""

import argparse
import array
import gc
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
TESTS = HERE.parent


class _NullOutput:
    """Takes what the module prints during the rounds, keeping nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--package", type=Path,
                        help="folder holding the corvane package to check (its module must be the one imported)")
    parser.add_argument("--rounds", type=int, default=1000, help="measured rounds per row (default 1000)")
    parser.add_argument("--blocks", type=int, default=4, help="blocks the rounds are counted in (default 4)")
    parser.add_argument("--warmup", type=int, default=100, help="rounds before counting (default 100)")
    parser.add_argument("--once", action="store_true", help="run each row once, without counting")
    parser.add_argument("-k", dest="select", default="", help="only rows whose name contains this text")
    arguments = parser.parse_args()
    if arguments.blocks < 2 or arguments.rounds < arguments.blocks:
        parser.error("need at least 2 blocks and one round per block")
    return arguments


def import_module(package):
    # The stand-in for Blender's API comes first, then the rows, the package under test, the shared test code.
    package_path = [str(package.resolve())] if package else []
    sys.path[:0] = [str(TESTS.parent / "scripts" / "blender" / "standin_api"), str(HERE)] + package_path + [str(TESTS)]
    import corvane.vesk as vesk

    if package and Path(vesk.__file__).resolve().parent != (package / "corvane").resolve():
        sys.exit(f"corvane.vesk came from {vesk.__file__}, not from {package}")
    return vesk


def settle(env):
    env.join_threads()
    sys._clear_type_cache()  # the method cache holds references to attribute names
    gc.collect()
    gc.collect()


def run_rounds(run, vesk, env, count):
    for _ in range(count):
        run(vesk, env)
        env.end_round()


def measure(run, vesk, env, arguments, cost):
    """Counts per block; returns (reference deltas, block deltas)."""
    blocks = arguments.blocks
    per_block = max(1, arguments.rounds // cost // blocks)
    # Preallocated, so that keeping the counts does not change them.
    references = array.array("q", bytes(8 * (blocks + 1)))
    allocated = array.array("q", bytes(8 * (blocks + 1)))
    # One loop for the warm-up and the blocks, so that every count is taken in the same state.
    for block in range(blocks + 1):
        run_rounds(run, vesk, env, per_block if block else max(1, arguments.warmup // cost))
        settle(env)
        references[block] = sys.gettotalrefcount()
        allocated[block] = sys.getallocatedblocks()
    return ([references[i] - references[i - 1] for i in range(1, blocks + 1)],
            [allocated[i] - allocated[i - 1] for i in range(1, blocks + 1)])


def leaks(deltas, rounds):
    return sum(deltas) >= rounds / 10 or all(delta > 0 for delta in deltas)


def check_row(name, run, vesk, arguments, out, cost=1):
    from env import LeakEnv  # after import_module: it needs the stand-in

    started = time.monotonic()
    saved_stdout, sys.stdout = sys.stdout, _NullOutput()
    try:
        env = LeakEnv(vesk)
        try:
            if arguments.once:
                run_rounds(run, vesk, env, 1)
            else:
                reference_deltas, block_deltas = measure(run, vesk, env, arguments, cost)
        finally:
            env.close()
    except Exception as error:
        sys.stdout = saved_stdout
        traceback.print_exc(file=out)
        print(f"FAIL  {name}: raised {type(error).__name__}: {error}", file=out, flush=True)
        return False
    finally:
        sys.stdout = saved_stdout
    seconds = time.monotonic() - started
    if arguments.once:
        print(f"ok    {name} ({seconds:.2f}s)", file=out, flush=True)
        return True
    rounds = max(1, arguments.rounds // cost // arguments.blocks) * arguments.blocks
    growth = f"{sum(reference_deltas) / rounds:+.3f} per round"
    details = (f"per block {reference_deltas}; allocated blocks {sum(block_deltas) / rounds:+.3f} per round; "
               f"{rounds} rounds, {seconds:.1f}s")
    if leaks(reference_deltas, rounds):
        print(f"FAIL  {name}: the total reference count grew {growth} ({details})", file=out, flush=True)
        return False
    print(f"ok    {name} (references {growth}, {details})", file=out, flush=True)
    return True


def main():
    arguments = parse_arguments()
    if not arguments.once and not hasattr(sys, "gettotalrefcount"):
        sys.exit("the leak check needs a debug interpreter (sys.gettotalrefcount); use --once elsewhere")
    vesk = import_module(arguments.package)
    import cases

    out = sys.stdout
    print(f"corvane.vesk: {vesk.__file__}", file=out, flush=True)
    rows = {name: run for name, run in cases.CASES.items() if arguments.select in name}
    if not rows:
        sys.exit(f"no leak-check row matches {arguments.select!r}")
    passed = failed = 0
    for name, run in rows.items():
        if check_row(name, run, vesk, arguments, out, cases.COSTS.get(name, 1)):
            passed += 1
        else:
            failed += 1
    print(f"{passed} passed, {failed} failed", file=out, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
