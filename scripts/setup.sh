#!/usr/bin/env bash
# Installs what corvane needs on a Debian machine and builds it: Debian's Blender
# with the Python packages its interpreter needs, a virtual environment (.venv)
# with the build and test tools, and corvane itself, built from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

debian_packages=(blender python3-requests python3-pip xvfb python3.11-dbg python3.11-dev g++ binutils valgrind)
missing=()
for package in "${debian_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing Debian packages: ${missing[*]}"
    $sudo apt-get update -q
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

python=$(command -v python3.11 || command -v python3)
if [ ! -x .venv/bin/python ]; then
    echo "== creating .venv with $python"
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt 2>&1 | grep -v "^WARNING: Location" || true
echo "== building corvane"
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps . 2>&1 \
    | grep -v "^WARNING: Location" || true
.venv/bin/python -c "import importlib.metadata as m; print('== corvane', m.version('corvane'), 'installed in .venv')"
