#!/usr/bin/env bash
# Runs every test: the stand-in, the maker's tools and Debian's Blender in one
# pytest run, then Blender 4.x (bpy imported in-process) in a second one, since
# one process holds one Blender; then the reference-leak check on the debug
# interpreter and the sanitizer run. Arguments go to the two pytest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
status=0
.venv/bin/python -m pytest tests --ignore=tests/bpy_module -q -p no:cacheprovider "$@" || status=$?
.venv/bin/python -m pytest tests/bpy_module -q -p no:cacheprovider "$@" || status=$?
scripts/leakcheck.sh || status=$?
scripts/sanitize.sh || status=$?
exit $status
