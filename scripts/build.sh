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
bash "$root/scripts/deps.sh" cmake g++ make dpkg-dev "${qt[@]}"
# Debian's hardening flags (fortified functions, stack protector, read-only relocations,
# immediate binding), as a Debian package build sets them: the tests run what the package
# holds, and the package is made from this same build. Not under the sanitizers, which
# bring their own checks. Asked for in the source folder, whose path they name.
hardening=()
case " $* " in
*SANITIZE*) ;;
*)
    flags() { (cd "$root" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"); }
    # The optimisation and debug levels are the build type's.
    cxxflags=
    for flag in $(flags CPPFLAGS) $(flags CXXFLAGS); do
        case "$flag" in -O* | -g) ;; *) cxxflags+="${cxxflags:+ }$flag" ;; esac
    done
    hardening=(-DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)")
    ;;
esac
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${hardening[@]}" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
