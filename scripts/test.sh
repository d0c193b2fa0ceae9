#!/usr/bin/env bash
# Builds and runs the whole test suite headless: scripts/test.sh [--qt6]
# --qt6 builds against Qt 6 in build-qt6/; the default is Qt 5 in build/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
args=()
if [ "${1:-}" = "--qt6" ]; then
    build="$root/build-qt6"
    args=(-DRW47HN_QT_MAJOR=6)
fi

bash "$root/scripts/build.sh" "$build" "${args[@]}"
# The results store's tests start a PostgreSQL server of their own from Debian's binaries,
# the device-server tests a real ser2net.
bash "$root/scripts/deps.sh" postgresql ser2net
cd "$build"
# The tests mostly wait on timers and the line (a tenth of their wall time is CPU), so eight
# times as many run as there are cores.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(( $(nproc) * 8 ))"
