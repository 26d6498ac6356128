#!/usr/bin/env bash
# Builds corvane.vesk into build/NAME for the interpreter PYTHON with extra CMake
# options (incrementally: the build folder is kept), and assembles
# build/NAME/site/corvane, the package as that interpreter imports it.
# Usage: scripts/lanes/build_checked.sh NAME PYTHON [CMAKE_OPTION...]
set -euo pipefail
cd "$(dirname "$0")/../.."
name=$1
python=$2
shift 2
build=build/$name
export PATH="$PWD/.venv/bin:$PATH"  # CMake and Ninja from the tools

cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Debug "$@" >/dev/null
cmake --build "$build" -j 2

site=$build/site
rm -rf "$site"
mkdir -p "$site/corvane"
cp -r src/corvane/. "$site/corvane/"
find "$site/corvane" -name __pycache__ -prune -exec rm -rf {} +
cp "$build"/vesk.*.so "$site/corvane/"
