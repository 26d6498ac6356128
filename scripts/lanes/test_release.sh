#!/usr/bin/env bash
# The lanes of this machine's Debian release, with the checks on its interpreter:
# Debian's Blender executable (tests/blender_exe) in one pytest run with the stand-in
# suite and the maker's tools on the release's Python; the bpy module in-process
# (tests/bpy_module) in a second one, since one process holds one Blender; then the
# reference-leak check on the release's debug interpreter and the sanitizer run.
# scripts/test.sh runs it here and, for the other release, in a Debian root.
# Arguments go to the two pytest runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lanes/debian/release.sh
release=$(native_release)
python=$(release_python "$release")
scripts/lanes/setup.sh
bpy=$(.venv/bin/python -c 'import importlib.metadata as m; print(m.version("bpy"))' 2>/dev/null || echo "?")

status=0
summary=()
step() {  # step NAME COMMAND...: runs it, times it and keeps pytest's last line for the summary
    local name=$1 began=$SECONDS rc=0 out
    shift
    out=$(mktemp)
    echo "== Debian $release: $name"
    "$@" 2>&1 | tee "$out" || rc=$?
    local last
    last=$(grep -E '^(=+ )?[0-9]+ (passed|failed|error)|rows? (ok|failed)|[0-9]+ (passed|failed)' "$out" | tail -1 |
        sed -E 's/^=+ //; s/ =+$//' || true)
    rm -f "$out"
    summary+=("$(printf '%-58s %5d s  %-6s %s' "$name" $((SECONDS - began)) "$([ $rc -eq 0 ] && echo ok || echo FAILED)" "$last")")
    [ $rc -eq 0 ] || status=$rc
}

step "Blender $(release_blender "$release") executable lane + stand-in, maker (Python $python)" \
    .venv/bin/python -m pytest tests --ignore=tests/bpy_module -q -p no:cacheprovider "$@"
# Debian 11 (Blender 2.83, Python 3.9) has the executable lane only: no bpy module, and
# the leak and sanitizer checks of the module's shared code run on the other releases.
if release_has_bpy "$release"; then
    step "bpy $bpy module lane (Python $python)" .venv/bin/python -m pytest tests/bpy_module -q -p no:cacheprovider "$@"
    step "reference-leak check (python$python-dbg)" scripts/lanes/leakcheck.sh
    step "sanitizer run (Python $python)" scripts/lanes/sanitize.sh
fi
echo "== Debian $release ($(cat /etc/debian_version)) lanes:"
printf '   %s\n' "${summary[@]}"
exit $status
