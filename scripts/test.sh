#!/usr/bin/env bash
# Runs every test in the five lanes: Debian 12 (Blender 3.4 executable, bpy 4.5; Python
# 3.11) and Debian 13 (Blender 4.3 executable, bpy 5.2; Python 3.13), each with its
# leak check and sanitizer run, and Debian 11 (Blender 2.83 executable; Python 3.9)
# (scripts/lanes/test_release.sh). This machine's own release runs here; the others in
# Debian roots (scripts/lanes/debian_root.sh, made on first use and kept in
# /var/cache/corvane). CORVANE_RELEASES picks releases ("bookworm", "trixie bullseye").
# Arguments go to the pytest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lanes/debian/release.sh
native=$(native_release)
releases=()
for release in ${CORVANE_RELEASES:-bookworm trixie bullseye}; do releases+=("$(release_by_name "$release")"); done
# This machine's release first.
ordered=()
for release in "${releases[@]}"; do [ "$release" != "$native" ] || ordered=("$release" "${ordered[@]}"); done
for release in "${releases[@]}"; do [ "$release" = "$native" ] || ordered+=("$release"); done

status=0
summary=()
for release in "${ordered[@]}"; do
    began=$SECONDS
    rc=0
    if [ "$release" = "$native" ]; then
        scripts/lanes/test_release.sh "$@" || rc=$?
        where="this machine"
    else
        scripts/lanes/debian_root.sh "$release" run scripts/lanes/test_release.sh "$@" || rc=$?
        where="Debian root"
    fi
    summary+=("$(printf 'Debian %-9s (%s) %5d s  %s' "$release" "$where" $((SECONDS - began)) \
        "$([ $rc -eq 0 ] && echo ok || echo FAILED)")")
    [ $rc -eq 0 ] || status=$rc
done
began=$SECONDS
rc=0
scripts/lanes/warnings.sh || rc=$?
summary+=("$(printf 'warnings as errors, GCC and Clang    %5d s  %s' $((SECONDS - began)) \
    "$([ $rc -eq 0 ] && echo ok || echo FAILED)")")
[ $rc -eq 0 ] || status=$rc
began=$SECONDS
rc=0
echo "== Windows x64 and macOS arm64, x86_64: zig's Clang against their system headers (scripts/lanes/cross_check.py)"
.venv/bin/python scripts/lanes/cross_check.py || rc=$?
summary+=("$(printf 'cross-compile: Windows x64, macOS arm64 and x86_64 %5d s  %s' $((SECONDS - began)) \
    "$([ $rc -eq 0 ] && echo ok || echo FAILED)")")
[ $rc -eq 0 ] || status=$rc
echo "== all lanes:"
printf '   %s\n' "${summary[@]}"
exit $status
