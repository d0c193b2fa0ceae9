#!/usr/bin/env bash
# Builds and runs the whole test suite headless.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"

bash "$root/scripts/build.sh" "$build"
cd "$build"
# The tests mostly wait on timers and the line, so twice as many run as there are cores.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(( $(nproc) * 2 ))"
