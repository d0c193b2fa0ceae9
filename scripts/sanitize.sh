#!/usr/bin/env bash
# Builds with sanitizers and runs the whole test suite:
#   scripts/sanitize.sh           AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
#   scripts/sanitize.sh --thread  ThreadSanitizer (build-tsan/): the window serves the module
#                                 from a thread of its own
# Further arguments go to ctest, to run part of the suite: scripts/sanitize.sh -R tst_results
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
thread=
if [ "${1:-}" = "--thread" ]; then
    thread=1
    shift
fi
# The results store's tests start a PostgreSQL server of their own from Debian's binaries.
bash "$root/scripts/deps.sh" postgresql
# -O1 as the sanitizers advise, and line tables only: every report names its files and lines,
# and the build takes a good deal less time than with full debug information.
optimize=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")

if [ -n "$thread" ]; then
    build="$root/build-tsan"
    bash "$root/scripts/build.sh" "$build" -DRW47HN_SANITIZE_THREAD=ON "${optimize[@]}"
    cd "$build"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
    # Not the tests of the file dialog, nor those that start a window as a program of its own:
    # Qt reads folders and converts images on threads of its own and hands the results over
    # under Qt's locks, which ThreadSanitizer cannot see; every other build runs them.
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --label-exclude 'dialog|qt-threads' "$@"
    exit
fi

build="$root/build-asan"
bash "$root/scripts/build.sh" "$build" -DRW47HN_SANITIZE=ON "${optimize[@]}"
cd "$build"
# Full unwinding so that suppressions can tell Qt's own leaks from ours.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 "$@"
