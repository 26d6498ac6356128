#!/usr/bin/env bash
# Regenerates docs/host-preferences.png from Blender's real interface under a virtual screen.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/lanes/setup.sh >&2
exec .venv/bin/python scripts/checks/screenshot.py "$@"
