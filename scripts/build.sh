#!/usr/bin/env bash
# Installs the build dependencies and builds out of source: scripts/build.sh [BUILD_DIR] [CMAKE_ARGS...]
# With -DRW47HN_QT_MAJOR=6 among the arguments it builds against Qt 6 instead of Qt 5.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true

# With the Linguist tools (lrelease compiles the English texts) and Qt's own translations,
# which give Qt's dialogs and buttons their Chinese.
# The results store's SQLite and PostgreSQL drivers are plugins of packages of their own.
qt=(qtbase5-dev libqt5serialport5-dev qttools5-dev qttools5-dev-tools qttranslations5-l10n
    libqt5sql5-sqlite libqt5sql5-psql)
case " $* " in
*" -DRW47HN_QT_MAJOR=6 "*)
    qt=(qt6-base-dev qt6-serialport-dev qt6-tools-dev qt6-l10n-tools qt6-translations-l10n libgl-dev
        libqt6sql6-sqlite libqt6sql6-psql)
    ;;
esac
bash "$root/scripts/deps.sh" cmake g++ make "${qt[@]}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
