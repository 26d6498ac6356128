#!/usr/bin/env bash
# Installs what corvane needs on a Debian 11, 12 or 13 machine and builds it: Debian's
# Blender with the Python packages its interpreter needs (scripts/lanes/debian/RELEASE.packages),
# a virtual environment (.venv) on the interpreter that Blender embeds, with the build
# and test tools and the bpy module, and corvane itself, built from this checkout.
# Debian 12: Python 3.11, tools and bpy 4.5 from the package index. Debian 13: Python
# 3.13, Debian's tools (the .venv sees the system's packages), bpy 5.2 from the wheels
# that scripts/lanes/fetch_wheels.sh keeps. Debian 11: Python 3.9, Debian's tools, no bpy module;
# scikit-build-core from the wheels that scripts/lanes/fetch_wheels.sh keeps.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lanes/debian/release.sh
release=$(native_release)
version=$(release_python "$release")

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing=()
for package in $(release_packages "$release"); do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing Debian packages: ${missing[*]}"
    $sudo apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

quiet() { grep -v "^WARNING: Location" || true; }
python=$(command -v "python$version")
if [ ! -x .venv/bin/python ] || [ "$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$version" ]; then
    rm -rf .venv
    if [ "$release" = bookworm ]; then
        echo "== creating .venv with $python"
        "$python" -m venv .venv
    else
        echo "== creating .venv with $python, on Debian's packages"
        "$python" -m venv --system-site-packages .venv
    fi
fi
wheels=$CORVANE_CACHE/wheels/cp${version/./}
if [ "$release" = bookworm ]; then
    # Wheels fetched for this machine by another (scripts/lanes/fetch_wheels.sh 3.11, e.g. in a
    # Debian root) where they are whole; else the package index.
    if ! { [ -f "$wheels/.fetched" ] && .venv/bin/python -m pip install -q --disable-pip-version-check --no-index \
               --find-links "$wheels" -r requirements-dev.txt 2>&1 | quiet; }; then
        .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt 2>&1 | quiet
    fi
elif [ "$release" = bullseye ]; then
    scripts/lanes/fetch_wheels.sh "$version" $(bullseye_wheels)
    .venv/bin/python -m pip install -q --disable-pip-version-check --no-index \
        --find-links "$wheels" $(bullseye_wheels) 2>&1 | quiet
else
    scripts/lanes/fetch_wheels.sh "$version"
    pin=$(grep -E "^bpy==.*python_version *== *\"$version\"" requirements-dev.txt | cut -d';' -f1)
    .venv/bin/python -m pip install -q --disable-pip-version-check --no-index \
        --find-links "$CORVANE_CACHE/wheels/cp${version/./}" "$pin" 2>&1 | quiet
fi
echo "== building corvane"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps . 2>&1 | quiet
.venv/bin/python -c "import importlib.metadata as m, sys
print('== corvane', m.version('corvane'), 'installed in .venv (Python %d.%d)' % sys.version_info[:2])"
