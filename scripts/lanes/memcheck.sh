#!/usr/bin/env bash
# Memory errors in Debian's Blender: the real-Blender tests (tests/blender_exe: the module
# frame, start-up and shut-down, package loading, class order, the host's buttons, the
# demo's path end to end, the concurrency rounds headless and under a virtual screen,
# the memory rounds), each Blender started under valgrind's memcheck with the
# interpreter's suppressions (Debian's /usr/lib/valgrind/python3.supp) and
# PYTHONMALLOC=malloc, so that memcheck sees every Python object's own allocation.
# (The debug and sanitizer builds cannot load into Debian's Blender; this build can.)
# scripts/lanes/memcheck_report.py then fails the run on any error or definite leak whose
# stack passes through corvane's module; Blender's and the interpreter's own are counted.
# Valgrind's exit status is left alone: those other errors must not fail a test.
# Slow (Blender runs some 20 to 50 times slower): about 15 minutes on 2 cores; not part of
# scripts/test.sh (CI) for that reason.
# Arguments go to pytest, e.g. -k end_to_end.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ -x .venv/bin/python ] && command -v valgrind >/dev/null || scripts/lanes/setup.sh
out=$PWD/build/memcheck
rm -rf "$out"
mkdir -p "$out"

valgrind=(
    env PYTHONMALLOC=malloc
    valgrind --tool=memcheck --suppressions=/usr/lib/valgrind/python3.supp
    --num-callers=40 --error-limit=no --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
    --xml=yes "--xml-file=$out/memcheck.%p.xml" "--log-file=$out/memcheck.%p.log"
)
export CORVANE_BLENDER_WRAPPER="${valgrind[*]}"
export CORVANE_BLENDER_TIMEOUT_FACTOR=${CORVANE_BLENDER_TIMEOUT_FACTOR:-40}
export CORVANE_BLENDER_CONCURRENCY_ROUNDS=${CORVANE_BLENDER_CONCURRENCY_ROUNDS:-6}
# One round with the interface: software drawing under valgrind takes some ten minutes.
export CORVANE_BLENDER_INTERFACE_ROUNDS=${CORVANE_BLENDER_INTERFACE_ROUNDS:-1}

echo "== memcheck: tests/blender_exe with Blender under valgrind (output in build/memcheck)"
status=0
# The kill test starts its Blenders by itself (and kills them): it has nothing to show here.
.venv/bin/python -m pytest tests/blender_exe --ignore=tests/blender_exe/test_kill_exe.py -q -p no:cacheprovider \
    "$@" || status=$?
.venv/bin/python scripts/lanes/memcheck_report.py "$out" || status=$?
exit $status
