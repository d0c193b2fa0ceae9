#!/usr/bin/env bash
# Compiles app/, console/ and protocol/ as a Windows compiler sees them, here on Linux:
#   scripts/check-windows.sh
# Every app/*.cpp, console/*.cpp and protocol/*.cpp goes through MinGW-w64's g++ with
# -fsyntax-only against Debian's Qt 5 headers and the header that uic makes from
# ui/mainwindow.ui. With that compiler Qt defines Q_OS_WIN, and the headers are MinGW-w64's
# Windows headers.
#
# What it proves: every file parses and type-checks with the Windows headers and not the
# POSIX ones, so a stray <unistd.h>, <poll.h> or ::access fails here, and every Q_OS_WIN
# branch (and every #ifdef _WIN32 one) is compiled at least once.
# What it cannot prove: it links nothing and runs nothing, so a missing Windows library or
# a wrong Windows call at run time shows only in the forge workflow's Windows build (MSVC,
# Qt 6); it uses Qt 5's headers, not Qt 6's; it is GCC, not MSVC, so MSVC-only errors and
# /W4 warnings do not show; moc is not run (Q_OBJECT is only a declaration to this pass).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

bash "$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix qtbase5-dev qtbase5-dev-tools \
    libqt5serialport5-dev
cxx=x86_64-w64-mingw32-g++-posix
qt=/usr/include/x86_64-linux-gnu/qt5
uic=/usr/lib/qt5/bin/uic

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$uic" "$root/ui/mainwindow.ui" -o "$work/ui_mainwindow.h"

shopt -s nullglob
cd "$root"
files=(app/*.cpp console/*.cpp protocol/*.cpp)
[ ${#files[@]} -gt 0 ] || { echo "no app/*.cpp, console/*.cpp or protocol/*.cpp found" >&2; exit 1; }

# Sources that include their moc output ("foo.moc", "moc_foo.cpp") get an empty one: there
# is nothing for this pass to check in it.
for name in $(grep -ho '^#include "\(moc_[^"]*\.cpp\|[^"]*\.moc\)"' "${files[@]}" | sed 's/.*"\(.*\)"/\1/' | sort -u); do
    : >"$work/$name"
done

version="$(sed -n 's/^project(rw47hn-upgrader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
# The definitions the real build sets: Qt's module macros, UNICODE as Qt 6 sets it for
# Windows programs (the W variant of every Windows call), and the program's version.
flags=(-std=c++17 -fsyntax-only -Wall -Wextra
    -DUNICODE -D_UNICODE -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_SERIALPORT_LIB
    "-DRW47HN_VERSION=\"$version\""
    -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets"
    -isystem "$qt/QtSerialPort"
    -I "$work" -I app -I console -I protocol)

failed=()
for file in "${files[@]}"; do
    "$cxx" "${flags[@]}" "$file" || failed+=("$file")
done

echo "Windows syntax check: ${#files[@]} files checked, ${#failed[@]} failed${failed:+: ${failed[*]}}"
[ ${#failed[@]} -eq 0 ]
