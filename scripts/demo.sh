#!/usr/bin/env bash
# Shows corvane.vesk at work in Debian's Blender, headless, on temporary user folders.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
exec .venv/bin/python scripts/demo.py "$@"
