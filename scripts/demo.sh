#!/usr/bin/env bash
# Shows corvane.vesk at work in Debian's Blender, headless, on temporary user folders.
# --blender 3.4 (Debian 12's), --blender 4.3 (Debian 13's) or --blender 2.83 (Debian 11's;
# also bookworm, trixie, bullseye, 12, 13, 11) picks the Blender; the default is this
# machine's own Debian's. Another release's Blender runs in a Debian root
# (scripts/lanes/debian_root.sh, made on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lanes/debian/release.sh
release=$(native_release)
arguments=()
while [ $# -gt 0 ]; do
    case "$1" in
        --blender) release=$(release_by_name "${2:?--blender needs 2.83, 3.4 or 4.3}"); shift 2 ;;
        --blender=*) release=$(release_by_name "${1#--blender=}"); shift ;;
        *) arguments+=("$1"); shift ;;
    esac
done
if [ "$release" != "$(native_release)" ]; then
    exec scripts/lanes/debian_root.sh "$release" run scripts/demo.sh "${arguments[@]}"
fi
scripts/lanes/setup.sh >&2
exec .venv/bin/python scripts/demo/demo.py "${arguments[@]}"
