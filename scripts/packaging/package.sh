#!/usr/bin/env bash
# Writes what a maker ships into dist/:
#   corvane-VERSION-cpXY-cpXY-manylinux_*_x86_64.whl  one per interpreter, checked and tagged
#                                                     by auditwheel (manylinux_2_28 or older)
#   corvane-VERSION.tar.gz                            the sdist; checked: pip builds it
#   corvane_host-VERSION.zip                          the host as a Blender 4.2+ extension,
#                                                     validated by Blender 4.3
#   corvane_host-VERSION-legacy.zip                   the host for Blender 2.83 to 4.1 (bl_info's
#                                                     oldest: Debian's 2.83; official builds from 2.93)
#
# The wheels are built on this Debian 12 machine (glibc 2.36, GCC 12: nothing newer than
# manylinux_2_28 needs to be referenced) against each interpreter's own headers:
# Debian's python3.11-dev, and for the interpreters Debian 12 lacks, pyenv's builds.
#
# Usage: scripts/packaging/package.sh [--host DIR] [--wheels DIR] [--no-validate] [PYTHON...]
#   PYTHON...     the interpreters to build for (default: every one of 3.9, 3.10, 3.11 and
#                 3.13 that requires-python admits and this machine has)
#   --host DIR    the host add-on to pack (default examples/corvane_host; the zips are
#                 named by its manifest's id)
#   --wheels DIR  other platforms' corvane wheels (the hosted workflow's) to carry in the
#                 host packages beside this machine's
#   --no-validate skip Blender 4.3's validation (it runs in the Debian 13 root)
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lanes/debian/release.sh

extra=""
host=examples/corvane_host
validate=1
pythons=()
while [ $# -gt 0 ]; do
    case "$1" in
        --wheels) extra=$(realpath "$2"); shift 2 ;;
        --host) host=$(realpath "$2"); shift 2 ;;
        --no-validate) validate=0; shift ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) pythons+=("$1"); shift ;;
    esac
done

[ "$(native_release)" = bookworm ] || {
    echo "scripts/packaging/package.sh builds on Debian 12 (its glibc and GCC keep the wheels at manylinux_2_28 or older)" >&2
    exit 1
}
[ -x .venv/bin/auditwheel ] && [ -x .venv/bin/pyproject-build ] || scripts/lanes/setup.sh

find_python() {  # VERSION: Debian's interpreter, else pyenv's newest of that version
    local candidate
    for candidate in "/usr/bin/python$1" $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/"python$1" 2>/dev/null |
            sort -V -r); do
        [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    return 1
}
if [ ${#pythons[@]} -eq 0 ]; then
    for version in 3.9 3.10 3.11 3.13; do
        .venv/bin/python - "$version" <<'EOF' || continue
import sys, tomllib
from packaging.specifiers import SpecifierSet
with open("pyproject.toml", "rb") as f:
    wanted = SpecifierSet(tomllib.load(f)["project"]["requires-python"])
sys.exit(0 if wanted.contains(sys.argv[1] + ".0") else 1)
EOF
        if python=$(find_python "$version"); then
            pythons+=("$python")
        else
            echo "== no Python $version here: no cp${version/./} wheel" >&2
        fi
    done
fi
[ ${#pythons[@]} -gt 0 ] || { echo "no interpreter to build for" >&2; exit 1; }

version=$(.venv/bin/python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
mkdir -p dist build/package
id=$(sed -nE 's/^id = "([^"]+)"$/\1/p' "$host/blender_manifest.toml")
rm -f dist/corvane-"$version"* dist/"$id-$version"*

for python in "${pythons[@]}"; do
    tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    raw=build/package/raw-$tag
    rm -rf "$raw"
    echo "== building the $tag wheel with $python ($("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])'))"
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" \
        --config-settings build-dir="build/package/$tag" . 2>&1 | grep -v "^WARNING: Location" || true
    compgen -G "$raw/corvane-*.whl" >/dev/null || { echo "the $tag build failed" >&2; exit 1; }
    # Fails when the build needs anything newer than manylinux_2_28; tags it with every
    # policy it meets.
    if ! out=$(PATH=$PWD/.venv/bin:$PATH auditwheel repair --plat manylinux_2_28_x86_64 -w dist "$raw"/corvane-*.whl 2>&1)
    then
        echo "$out" >&2
        exit 1
    fi
done
for wheel in dist/corvane-"$version"-*.whl; do
    echo "== auditwheel show $(basename "$wheel"):"
    .venv/bin/auditwheel show "$wheel" 2>/dev/null | tr '\n' ' ' | grep -oE 'consistent with the following platform tag: "[^"]+"' |
        sed 's/^/   /'
done

echo "== the sdist"
.venv/bin/pyproject-build -q --sdist --no-isolation --outdir dist . >/dev/null 2>&1
sdist=dist/corvane-$version.tar.gz
check=build/package/sdist-check
rm -rf "$check"
"${pythons[0]}" -m venv "$check"
"$check/bin/python" -m pip install -q --disable-pip-version-check "$sdist" 2>&1 | grep -v "^WARNING: Location" || true
# Imported beside the stand-in for Blender's API, outside the checkout.
(cd /tmp && PYTHONPATH=$OLDPWD/scripts/blender/standin_api "$OLDPWD/$check/bin/python" -c "
import importlib.metadata, corvane.vesk as vesk
assert vesk.__file__.startswith('$OLDPWD/$check/'), vesk.__file__
print('   pip built it:', 'corvane', importlib.metadata.version('corvane'), 'from', vesk.__file__.split('site-packages/')[1])")

echo "== the host packages"
wheels=(dist/corvane-"$version"-*.whl)
# Other platforms' wheels; Linux x86_64 is this machine's own.
[ -z "$extra" ] || wheels+=($(ls "$extra"/corvane-"$version"-*.whl | grep -v -E 'linux[^-]*_x86_64\.whl$' || true))
.venv/bin/python scripts/packaging/package_host.py --host "$host" dist "${wheels[@]}"

if [ $validate = 1 ]; then
    echo "== Blender 4.3 validates the extension (Debian 13 root)"
    CORVANE_ROOT_COPY=corvane-package scripts/lanes/debian_root.sh trixie run sh -c 'home=$(mktemp -d); export PATH=/usr/bin:$PATH BLENDER_USER_CONFIG=$home/config
        BLENDER_USER_SCRIPTS=$home/scripts BLENDER_USER_EXTENSIONS=$home/extensions
        blender --version | head -1; blender --command extension validate "$1"; rc=$?; rm -rf "$home"; exit $rc' \
        sh "dist/$id-$version.zip"
fi
echo "== dist/:"
ls -l dist/corvane-"$version"* dist/"$id-$version"* | awk '{printf "   %8d  %s\n", $5, $9}'
