#!/usr/bin/env bash
# Builds the program for Windows here on Linux, packages it and runs it under Wine:
#   scripts/check-windows.sh                 the whole check (the syntax pass when Qt for
#                                            Windows is not there)
#   scripts/check-windows.sh --syntax-only   only the syntax pass
#
# The whole check, with Qt for MinGW-w64 from ../shared/qt5-mingw/ (unpacked into
# build-windows/qt5-mingw):
# - configures with cmake/mingw-w64.cmake and builds the program and the portable tests
#   (build-windows/build), as a Windows release build;
# - makes the ZIP with `cpack -G ZIP` and unpacks it into a fresh folder;
# - in a Wine prefix of its own (64-bit, no display), runs from that folder: --version,
#   --help, the headless refusals (a missing image, a bad --timeout: status 2 and the line),
#   the window on the offscreen platform, closed with Ctrl+C, a whole upgrade through
#   rfc2217:// to ser2net in front of the simulator (the line `rfc2217://HOST:PORT: ok, N
#   bytes`), and, beside a copy of the unpacked folder, the portable tests, whose totals it
#   reads from their result files.
# What it cannot prove: Wine is not Windows (no FTDI driver, no real COM port), the compiler
# is MinGW's GCC and not MSVC, and Qt is 5.15, not Qt 6 as the forge workflow builds.
#
# The syntax pass: every source of the program and its libraries goes through MinGW-w64's
# g++ with -fsyntax-only against Debian's Qt 5 headers. It links and runs nothing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
qt_tarball="$root/../shared/qt5-mingw/qt5-mingw-5.15.8.tar.xz"
version="$(sed -n 's/^project(rw47hn-upgrader VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"

# Compiles every source as MinGW-w64's g++ sees it, against Debian's Qt 5 headers and the
# headers that uic makes from ui/*.ui. Qt defines Q_OS_WIN there, and the headers are
# MinGW-w64's Windows headers: a stray <unistd.h> or ::access fails, and every Q_OS_WIN
# branch is compiled at least once.
syntax_pass() {
    bash "$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix qtbase5-dev qtbase5-dev-tools \
        libqt5serialport5-dev
    local cxx=x86_64-w64-mingw32-g++-posix
    local qt=/usr/include/x86_64-linux-gnu/qt5
    # Global, not local: the trap runs after the function has returned.
    syntax_work="$(mktemp -d)"
    trap 'rm -rf "$syntax_work"' EXIT
    local work="$syntax_work"
    local form
    for form in "$root"/ui/*.ui; do
        /usr/lib/qt5/bin/uic "$form" -o "$work/ui_$(basename "$form" .ui).h"
    done

    shopt -s nullglob
    cd "$root"
    local dirs=(app core production widgets headless window station console protocol)
    local files=()
    local dir
    for dir in "${dirs[@]}"; do files+=("$dir"/*.cpp); done
    [ ${#files[@]} -gt 0 ] || { echo "no sources found in ${dirs[*]}" >&2; exit 1; }

    # Sources that include their moc output ("foo.moc", "moc_foo.cpp") get an empty one:
    # there is nothing for this pass to check in it.
    local name
    for name in $(grep -ho '^#include "\(moc_[^"]*\.cpp\|[^"]*\.moc\)"' "${files[@]}" | sed 's/.*"\(.*\)"/\1/' | sort -u); do
        : >"$work/$name"
    done

    # The definitions the real build sets: Qt's module macros, UNICODE as Qt 6 sets it for
    # Windows programs (the W variant of every Windows call), and the program's version.
    local flags=(-std=c++17 -fsyntax-only -Wall -Wextra
        -DUNICODE -D_UNICODE -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_NETWORK_LIB
        -DQT_SERIALPORT_LIB -DQT_SQL_LIB
        "-DRW47HN_VERSION=\"$version\""
        -isystem "$qt" -isystem "$qt/QtCore" -isystem "$qt/QtGui" -isystem "$qt/QtWidgets"
        -isystem "$qt/QtNetwork" -isystem "$qt/QtSerialPort" -isystem "$qt/QtSql"
        -I "$work")
    for dir in "${dirs[@]}"; do flags+=(-I "$dir"); done

    local failed=() file
    for file in "${files[@]}"; do
        "$cxx" "${flags[@]}" "$file" || failed+=("$file")
    done

    echo "Windows syntax check: ${#files[@]} files checked, ${#failed[@]} failed${failed:+: ${failed[*]}}"
    [ ${#failed[@]} -eq 0 ]
}

if [ "${1:-}" = "--syntax-only" ]; then
    syntax_pass
    exit
fi
if [ ! -f "$qt_tarball" ]; then
    echo "Windows check: no Qt for Windows at $qt_tarball:"
    echo "only the syntax pass runs; nothing is linked, packaged or run under Wine"
    syntax_pass
    exit
fi

# Everything but the failures goes to log files in the build folder: CI output stays short.
started=$SECONDS
# The build machine's lrelease compiles the English texts, and Debian's Qt translations give the
# ZIP Qt's own Chinese: neither is in Qt for MinGW-w64, and both files are the same everywhere.
bash "$root/scripts/deps.sh" g++-mingw-w64-x86-64-posix cmake make xz-utils wine64 \
    fonts-dejavu-core qttools5-dev-tools qttranslations5-l10n
out="$root/build-windows"
build="$out/build"
qt="$out/qt5-mingw"
mkdir -p "$out"
step() {
    printf '%-46s' "$1"
}
fail() {
    echo "FAILED: $*"
    exit 1
}
# Runs the rest of the line with its output in the named log; shows the log if it fails.
logged() {
    local log="$out/$1"
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 40 "$log"
        fail "$* (whole log: $log)"
    fi
}

step "Qt for MinGW-w64"
if [ ! -f "$qt/.unpacked" ] || [ "$qt_tarball" -nt "$qt/.unpacked" ]; then
    rm -rf "$qt"
    tar xJf "$qt_tarball" -C "$out"
    touch "$qt/.unpacked"
    echo "unpacked into build-windows/qt5-mingw"
else
    echo "build-windows/qt5-mingw"
fi

step "Configure and build for x86_64-w64-mingw32"
logged configure.log cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$qt" \
    -DCMAKE_BUILD_TYPE=Release
logged build.log cmake --build "$build" -j2
tests=(tst_frame tst_commandline tst_portidentity tst_elidedlabel tst_threadcheck)
for name in rw47hn-upgrader "${tests[@]}"; do
    [ -f "$(find "$build" -name "$name.exe" -print -quit)" ] || fail "$name.exe was not built"
done
echo "rw47hn-upgrader.exe and ${#tests[@]} tests linked"

step "ZIP (cpack -G ZIP)"
rm -f "$build"/*.zip
(cd "$build" && logged cpack.log cpack -G ZIP)
zip="$(ls "$build"/rw47hn-upgrader-*.zip)"
echo "$(basename "$zip"), $(du -k "$zip" | cut -f1) KiB"

work="$(mktemp -d)"
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
helpers=() # the simulator and ser2net of the upgrade step, ended with the check
cleanup() {
    for helper in "${helpers[@]}"; do kill "$helper" 2>/dev/null || true; done
    timeout 30 "$(dirname "$(readlink -f "$wine")")/wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A fresh folder, as a user unpacks it; everything runs from there.
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
app="$(echo "$work"/unpacked/rw47hn-upgrader-*)"
expected=(rw47hn-upgrader.exe README.md Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll Qt5Network.dll
    Qt5SerialPort.dll Qt5Sql.dll sqldrivers/qsqlite.dll sqldrivers/qsqlpsql.dll libpq.dll
    platforms/qwindows.dll platforms/qoffscreen.dll styles/qwindowsvistastyle.dll
    translations/qtbase_zh_CN.qm libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
for file in "${expected[@]}"; do
    [ -f "$app/$file" ] || fail "the ZIP has no $file"
done
echo "  $(cd "$app" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"

step "Wine prefix"
timeout 180 "$wine" wineboot -i >"$out/wineboot.log" 2>&1 || { cat "$out/wineboot.log"; fail "wineboot"; }
echo "ready, $("$wine" --version)"

# Wine leaves out the variables that start with QT_ (the Linux desktop's own); WINEQT_...
# reaches the Windows process as QT_...
export WINEQT_QPA_PLATFORM=offscreen
[ -d /usr/share/fonts/truetype/dejavu ] && export WINEQT_QPA_FONTDIR='Z:\usr\share\fonts\truetype\dejavu'

# Runs the program under Wine with a time limit; stdout, stderr and the status in $work/run.*.
run() {
    local status=0
    (cd "$app" && timeout 60 "$wine" ./rw47hn-upgrader.exe "$@" >"$work/run.out" 2>"$work/run.err") ||
        status=$?
    tr -d '\r' <"$work/run.out" >"$work/run.stdout"
    tr -d '\r' <"$work/run.err" >"$work/run.stderr"
    echo "$status" >"$work/run.status"
}
expect_status() {
    local got
    got="$(cat "$work/run.status")"
    [ "$got" = "$1" ] || { cat "$work/run.stdout" "$work/run.stderr"; fail "$2: status $got, not $1"; }
}

step "--version"
run --version
expect_status 0 --version
[ "$(cat "$work/run.stdout")" = "rw47hn-upgrader $version" ] || fail "--version printed: $(cat "$work/run.stdout")"
cat "$work/run.stdout"

step "--help"
run --help
expect_status 0 --help
if ! grep -q '^Usage: ' "$work/run.stdout" || ! grep -q -- '--headless' "$work/run.stdout"; then
    fail "--help printed no usage: $(cat "$work/run.stdout")"
fi
echo "$(wc -l <"$work/run.stdout") lines"

# A refusal: status 2, nothing on stdout, one line on stderr that names what was wrong.
refused() {
    local what="$1" needle="$2"
    shift 2
    step "Refused: $what"
    run "$@"
    expect_status 2 "$what"
    [ ! -s "$work/run.stdout" ] || fail "$what: printed on stdout: $(cat "$work/run.stdout")"
    if [ "$(wc -l <"$work/run.stderr")" -ne 1 ] ||
        ! grep -q "^rw47hn-upgrader: .*$needle" "$work/run.stderr"; then
        fail "$what: stderr is not the one line: $(cat "$work/run.stderr")"
    fi
    echo "status 2: $(cat "$work/run.stderr")"
}
refused "missing image" "missing\.ufw" --headless --image missing.ufw --port COM8
printf 'image' >"$app/image.ufw"
refused "bad --timeout" "--timeout" --headless --image image.ufw --port COM8 --timeout 0
rm "$app/image.ufw"

# The window on the offscreen platform: up once Wine has mapped the platform plugin (the
# QApplication exists), still up 3 s later, then ended as Ctrl+C in its console ends it: with
# status 130 when the window's handler hears it, as a headless run ends on it. Wine started
# without a console of its own does not always pass the Ctrl+C on as a console event and then
# ends the process itself, with 0: either is an orderly end. Any line on stderr (a plugin that
# did not load, a warning) fails it.
step "Window, offscreen"
(cd "$app" && exec timeout 60 "$wine" ./rw47hn-upgrader.exe >"$work/window.out" 2>"$work/window.err") &
window=$!
waited=0
until grep -qs "$app/platforms/qoffscreen.dll" /proc/[0-9]*/maps; do
    kill -0 "$window" 2>/dev/null || { cat "$work/window.err"; fail "the window ended by itself"; }
    [ "$waited" -lt 300 ] || { kill "$window"; fail "the platform plugin was not loaded in 30 s"; }
    sleep 0.1
    waited=$((waited + 1))
done
sleep 3
kill -0 "$window" 2>/dev/null || { cat "$work/window.err"; fail "the window ended by itself"; }
kill -INT "$window"
status=0
wait "$window" || status=$?
case "$status" in
0 | 130) ;;
*) cat "$work/window.err"; fail "the window ended with status $status after Ctrl+C" ;;
esac
[ ! -s "$work/window.err" ] || { cat "$work/window.err"; fail "the window wrote on stderr"; }
echo "offscreen plugin loaded after $((waited / 10)).$((waited % 10)) s, up 3 s more, closed by Ctrl+C"

# A whole upgrade through a port on a device server: Wine's COM ports on a pty never deliver
# a received byte, but its sockets work. The simulator, built here for Linux, on a pty; ser2net
# in front of it on the loopback interface; the Windows build upgrades through rfc2217://.
step "Upgrade via rfc2217://"
bash "$root/scripts/deps.sh" ser2net
logged sim-configure.log cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
logged sim-build.log cmake --build "$root/build" --target rw47hn-sim -j2
head -c 65536 /dev/urandom >"$app/fw.ufw"
"$root/build/sim/rw47hn-sim" --image "$app/fw.ufw" --link "$work/ttyRW47HN" >"$work/sim.out" 2>&1 &
helpers+=($!)
port=$((20000 + RANDOM % 20000))
printf 'connection: &module\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n  options:\n    chardelay: false\n' \
    "$port" "$work/ttyRW47HN" >"$work/ser2net.yaml"
waited=0
until [ -e "$work/ttyRW47HN" ]; do
    [ "$waited" -lt 100 ] || fail "the simulator made no pty in 10 s: $(cat "$work/sim.out")"
    sleep 0.1
    waited=$((waited + 1))
done
ser2net -n -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >"$out/ser2net.log" 2>&1 &
helpers+=($!)
waited=0
until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    [ "$waited" -lt 100 ] || fail "ser2net does not listen on $port: $(cat "$out/ser2net.log")"
    sleep 0.1
    waited=$((waited + 1))
done
run --headless --image fw.ufw --port "rfc2217://127.0.0.1:$port" --timeout 30
expect_status 0 "the upgrade through rfc2217://"
line="$(grep "^rfc2217://127.0.0.1:$port: ok, 65536 bytes, " "$work/run.stdout")" ||
    { cat "$work/run.stdout" "$work/run.stderr" "$work/sim.out"; fail "no upgrade line"; }
echo "${line%, [0-9]* requests*}"

# The tests beside a copy of the unpacked folder, so that they load the ZIP's libraries;
# Qt's test library comes from Qt. Each writes its results to a file, read here.
mkdir "$work/tests"
cp -r "$app"/. "$work/tests/"
cp "$qt/bin/Qt5Test.dll" "$work/tests/"
passed=0
for name in "${tests[@]}"; do
    cp "$(find "$build" -name "$name.exe" -print -quit)" "$work/tests/"
    step "$name"
    status=0
    (cd "$work/tests" && timeout 120 "$wine" "./$name.exe" -o "$name.txt,txt" \
        >"$out/$name.console.log" 2>&1) || status=$?
    result="$work/tests/$name.txt"
    [ -f "$result" ] || fail "$name wrote no results (status $status)"
    tr -d '\r' <"$result" >"$out/$name.txt"
    totals="$(sed -n 's/^Totals: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped.*/\1 \2 \3/p' "$out/$name.txt")"
    [ -n "$totals" ] || { cat "$out/$name.txt"; fail "$name: no totals (status $status)"; }
    read -r npassed nfailed nskipped <<<"$totals"
    if [ "$status" -ne 0 ] || [ "$nfailed" -ne 0 ] || [ "$npassed" -eq 0 ]; then
        grep -A3 '^FAIL' "$out/$name.txt" || cat "$out/$name.txt"
        fail "$name: $npassed passed, $nfailed failed, status $status"
    fi
    passed=$((passed + npassed))
    echo "$npassed passed, $nfailed failed, $nskipped skipped"
done

echo "Windows check: linked, packaged ($(basename "$zip")), ran under Wine; tests: $passed passed" \
    "in ${#tests[@]} programs; $((SECONDS - started)) s"
