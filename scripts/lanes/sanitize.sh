#!/usr/bin/env bash
# Sanitizer run: builds corvane.vesk with AddressSanitizer and UndefinedBehaviorSanitizer
# (build/asan) and runs the stand-in tests and every leak-check row once against it.
# Any sanitizer report fails the run. Arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."
[ -x .venv/bin/python ] || scripts/lanes/setup.sh
python=$PWD/.venv/bin/python

echo "== sanitizer run: building with AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/lanes/build_checked.sh asan "$python" \
    "-DVESK_EXTRA_FLAGS=-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
site=$PWD/build/asan/site

# The interpreter itself is not instrumented: the runtime comes first by preloading,
# together with libstdc++ (a C++ exception otherwise aborts in __cxa_throw), and the
# interpreter's objects come from malloc so that the sanitizer sees their bounds.
# A report stops the process. pytest captures only Python's streams (--capture=sys),
# so that a report written to the file descriptor is not lost with the capture;
# a child interpreter's exit status is checked and its output shown by the test.
checked=(
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    PYTHONMALLOC=malloc
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1"
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}"
    CORVANE_PACKAGE_DIR="$site"  # the tests check that this build is the one imported
    CORVANE_CONCURRENCY_ROUNDS=40  # the concurrency rounds run slower here; the plain run does 200
)

status=0
env "${checked[@]}" "$python" -m pytest tests/with_standin -q -p no:cacheprovider --capture=sys "$@" || status=$?
env "${checked[@]}" "$python" tests/leakcheck/run.py --once --package "$site" || status=$?
exit $status
