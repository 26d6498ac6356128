#!/usr/bin/env bash
# Builds corvane.vesk with GCC and with Debian's Clang for this machine's Python, with
# every warning (-Wall -Wextra -Wpedantic) an error.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lanes/debian/release.sh
release=$(native_release)
python=python$(release_python "$release")
if ! command -v clang++ >/dev/null; then
    echo "== installing clang"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang >/dev/null
fi
for compiler in g++ clang++; do
    echo "== warnings as errors: $compiler, $python"
    CXX=$compiler scripts/lanes/build_checked.sh "warnings-${compiler%%+*}" "/usr/bin/$python" -DVESK_WARNINGS_AS_ERRORS=ON
done
