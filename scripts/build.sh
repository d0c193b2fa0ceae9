#!/usr/bin/env bash
# Installs the build dependencies and builds out of source: scripts/build.sh [BUILD_DIR] [CMAKE_ARGS...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true

bash "$root/scripts/deps.sh" cmake g++ make qtbase5-dev libqt5serialport5-dev
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
