#!/usr/bin/env bash
# Reference-leak check: builds corvane.vesk for Debian's debug interpreter of this
# machine's release (python3.11-dbg on Debian 12, python3.13-dbg on 13; build/debug)
# and runs every row of tests/leakcheck/cases.py in a loop there, failing when the interpreter's total reference count grows.
# Arguments go to tests/leakcheck/run.py, e.g. -k RegisterException or --rounds 5000.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lanes/debian/release.sh
debug_python=/usr/bin/python$(release_python "$(native_release)")-dbg
[ -x .venv/bin/python ] && [ -x "$debug_python" ] || scripts/lanes/setup.sh

echo "== reference-leak check: building for $debug_python"
scripts/lanes/build_checked.sh debug "$debug_python"
# A module built without Py_DEBUG keeps its reference counts out of the total, and
# the check would see the interpreter's side of every hand-over as a leak.
# 3.11 counts in _Py_RefTotal; 3.12 and later through _Py_INCREF_IncRefTotal.
if ! nm -D --undefined-only build/debug/vesk.*.so | grep -Ew '_Py_RefTotal|_Py_INCREF_IncRefTotal' >/dev/null; then
    echo "build/debug: the module was not compiled for the debug interpreter (no Py_DEBUG)" >&2
    exit 1
fi
# The debug interpreter sees no installed corvane: its metadata goes with the package
# (the module reports its own installed version).
version=$("$debug_python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
mkdir -p "build/debug/site/corvane-$version.dist-info"
printf 'Metadata-Version: 2.1\nName: corvane\nVersion: %s\n' "$version" >"build/debug/site/corvane-$version.dist-info/METADATA"
exec "$debug_python" tests/leakcheck/run.py --package build/debug/site "$@"
