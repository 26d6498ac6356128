#!/usr/bin/env bash
# Fetches from the package index the wheels that Python VERSION's .venv installs
# offline: the bpy module pinned for it in requirements-dev.txt and what it needs
# (manylinux, x86_64), into $CORVANE_CACHE/wheels/cpXY, once. Debian 13's Python 3.13
# may refuse the index's certificate in a root (its strict X.509 checks); another
# interpreter fetches for it. With REQUIREMENTs, those instead of bpy (Debian 11's root
# trusts no certificate the machine adds, so its Python 3.9 is fetched for as well).
# Usage: scripts/fetch_wheels.sh VERSION [REQUIREMENT...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian/release.sh
version=${1:?usage: scripts/fetch_wheels.sh VERSION [REQUIREMENT...]}
shift
dir=$CORVANE_CACHE/wheels/cp${version/./}
wheels=()  # the file name starts that say a requirement is fetched
if [ $# -gt 0 ]; then
    pin=$*
    for requirement in "$@"; do wheels+=("$(echo "${requirement%%[<>=!~;]*}" | tr - _)-"); done
else
    pin=$(sed -nE "s/^(bpy==[^ ;]+)[[:space:]]*;[[:space:]]*python_version[[:space:]]*==[[:space:]]*\"$version\".*/\1/p" \
        requirements-dev.txt)
    [ -n "$pin" ] || { echo "requirements-dev.txt pins no bpy for Python $version" >&2; exit 1; }
    set -- "$pin"
    wheels=("${pin/==/-}-")
fi
fetched() { local wheel; for wheel in "${wheels[@]}"; do compgen -G "$dir/$wheel*.whl" >/dev/null || return 1; done; }
if fetched; then
    exit 0
fi
python=python3
[ -x .venv/bin/python ] && python=.venv/bin/python
echo "== fetching $pin and its requirements for Python $version into $dir"
mkdir -p "$dir"
"$python" -m pip download -q --disable-pip-version-check --python-version "$version" --only-binary=:all: \
    --platform manylinux_2_28_x86_64 --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 \
    -d "$dir" "$@" 2>&1 | grep -v "^WARNING: Location" || true
fetched || { echo "could not fetch $pin" >&2; exit 1; }
