#!/usr/bin/env bash
# Fetches from the package index the wheels that Python VERSION's .venv installs
# offline (manylinux, x86_64), into $CORVANE_CACHE/wheels/cpXY, once: for 3.13 (Debian
# 13, whose own packages give the tools) the bpy module pinned for it in
# requirements-dev.txt and what it needs; for 3.11 all of requirements-dev.txt. In a
# Debian root pip may refuse the index's certificate (3.13's strict X.509 checks; a
# machine's own certificate authorities are not in a root); the machine fetches for it.
# Usage: scripts/fetch_wheels.sh VERSION
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian/release.sh
version=${1:?usage: scripts/fetch_wheels.sh VERSION}
dir=$CORVANE_CACHE/wheels/cp${version/./}
pin=$(sed -nE "s/^(bpy==[^ ;]+)[[:space:]]*;[[:space:]]*python_version[[:space:]]*==[[:space:]]*\"$version\".*/\1/p" \
    requirements-dev.txt)
[ -n "$pin" ] || { echo "requirements-dev.txt pins no bpy for Python $version" >&2; exit 1; }
wanted=("$pin")
[ "$version" != 3.11 ] || wanted=(-r requirements-dev.txt)
if compgen -G "$dir/${pin/==/-}-*.whl" >/dev/null && [ "$(cat "$dir/.fetched" 2>/dev/null)" = "${wanted[*]}
$(cat requirements-dev.txt)" ]; then
    exit 0
fi
python=python3
[ -x .venv/bin/python ] && python=.venv/bin/python
echo "== fetching $pin and its requirements for Python $version into $dir (bpy is some 400 MB)"
mkdir -p "$dir"
"$python" -m pip download -q --disable-pip-version-check --python-version "$version" --only-binary=:all: \
    --platform manylinux_2_28_x86_64 --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 \
    -d "$dir" "${wanted[@]}" 2>&1 | grep -v "^WARNING: Location" || true
compgen -G "$dir/${pin/==/-}-*.whl" >/dev/null || { echo "could not fetch $pin" >&2; exit 1; }
printf '%s\n%s\n' "${wanted[*]}" "$(cat requirements-dev.txt)" >"$dir/.fetched"
