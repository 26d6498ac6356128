#!/usr/bin/env bash
# The install and start-up benchmark in Debian's Blender (bench/run.py): corvane.vesk,
# built from this checkout, against the floor and the Python baseline. Arguments go
# to bench/run.py (--quick, --instructions, --anatomy, --cases, --runs, --json, --work).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/lanes/setup.sh
if [[ " $* " == *" --anatomy "* ]]; then
    # The profiles name the module's own functions only when it keeps its symbols.
    .venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        -C install.strip=false . 2>&1 | grep -v "^WARNING: Location" || true
fi
exec .venv/bin/python bench/run.py "$@"
