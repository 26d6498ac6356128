#!/usr/bin/env bash
# Builds corvane.vesk with GCC and with Clang for this machine's Python, with every
# warning (-Wall -Wextra -Wpedantic) an error. Debian 12's default Clang (14) lacks
# what <source_location> needs, so there it is Clang 16.
set -euo pipefail
cd "$(dirname "$0")/.."
case "$(cut -d. -f1 /etc/debian_version)" in
    12) clang_package=clang-16 clang=clang++-16 python=python3.11 ;;
    *) clang_package=clang clang=clang++ python=python3.13 ;;
esac
if ! command -v "$clang" >/dev/null; then
    echo "== installing $clang_package"
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$clang_package" >/dev/null
fi
for compiler in g++ "$clang"; do
    echo "== warnings as errors: $compiler, $python"
    CXX=$compiler scripts/build_checked.sh "warnings-${compiler%%+*}" "/usr/bin/$python" -DVESK_WARNINGS_AS_ERRORS=ON
done
