#!/usr/bin/env bash
# Fetches from the package index the wheels that Python VERSION's .venv installs
# offline (manylinux, x86_64), into $CORVANE_CACHE/wheels/cpXY, once for what is asked:
# the REQUIREMENTs given; else for 3.13 (Debian 13, whose own packages give the tools)
# the bpy module pinned for it in requirements-dev.txt and what it needs, and for 3.11
# all of requirements-dev.txt. In a Debian root pip may refuse the index's certificate
# (3.13's strict X.509 checks; a machine's own certificate authorities are not in a
# root, which Debian 11's and 12's pip meet too): the machine fetches for it.
# Usage: scripts/lanes/fetch_wheels.sh VERSION [REQUIREMENT...]
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lanes/debian/release.sh
version=${1:?usage: scripts/lanes/fetch_wheels.sh VERSION [REQUIREMENT...]}
shift
dir=$CORVANE_CACHE/wheels/cp${version/./}
if [ $# -gt 0 ]; then
    wanted=("$@")
else
    pin=$(sed -nE "s/^(bpy==[^ ;]+)[[:space:]]*;[[:space:]]*python_version[[:space:]]*==[[:space:]]*\"$version\".*/\1/p" \
        requirements-dev.txt)
    [ -n "$pin" ] || { echo "requirements-dev.txt pins no bpy for Python $version" >&2; exit 1; }
    wanted=("$pin")
    [ "$version" != 3.11 ] || wanted=(-r requirements-dev.txt)
fi
# What was asked for, with the requirements file it may name, as it stood when last fetched.
asked="${wanted[*]}
$(cat requirements-dev.txt)"
[ "$(cat "$dir/.fetched" 2>/dev/null)" != "$asked" ] || exit 0

python=python3
[ -x .venv/bin/python ] && python=.venv/bin/python
echo "== fetching ${wanted[*]} and what it needs for Python $version into $dir"
mkdir -p "$dir"
log=$(mktemp)
if ! "$python" -m pip download -q --disable-pip-version-check --python-version "$version" --only-binary=:all: \
    --platform manylinux_2_28_x86_64 --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 \
    -d "$dir" "${wanted[@]}" >"$log" 2>&1; then
    grep -v "^WARNING: Location" "$log" >&2 || true
    rm -f "$log"
    echo "could not fetch ${wanted[*]} for Python $version" >&2
    exit 1
fi
rm -f "$log"
printf '%s\n' "$asked" >"$dir/.fetched"
