#!/usr/bin/env bash
# Builds the Debian package and checks what it holds: its dependencies on the Qt 5
# libraries, the two programs, the desktop entry and the icon, and that the program runs.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-pkg"

bash "$root/scripts/deps.sh" dpkg-dev desktop-file-utils appstream
bash "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DRW47HN_BUILD_TESTS=OFF
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$build/rw47hn-upgrader_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd "$build" && cpack -G DEB >/dev/null)
[ -f "$deb" ] || { echo "package check failed: cpack did not write $deb" >&2; exit 1; }
echo "== $(basename "$deb")"
dpkg-deb --info "$deb"

fail() { echo "package check failed: $*" >&2; exit 1; }
depends="$(dpkg-deb --field "$deb" Depends)"
for library in libqt5core5a libqt5widgets5 libqt5serialport5; do
    grep -q "$library" <<<"$depends" || fail "no dependency on $library"
done

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for file in usr/bin/rw47hn-upgrader usr/bin/rw47hn-sim \
    usr/share/applications/rw47hn-upgrader.desktop \
    usr/share/metainfo/org.example.rw47hn_upgrader.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/rw47hn-upgrader.svg \
    usr/share/doc/rw47hn-upgrader/README.md; do
    [ -e "$unpacked/$file" ] || fail "missing $file"
done
desktop-file-validate "$unpacked/usr/share/applications/rw47hn-upgrader.desktop"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/org.example.rw47hn_upgrader.metainfo.xml"
env -u DISPLAY -u QT_QPA_PLATFORM "$unpacked/usr/bin/rw47hn-upgrader" --help |
    grep -q -- "--headless" || fail "rw47hn-upgrader --help does not run without a display"
"$unpacked/usr/bin/rw47hn-sim" --help | grep -q -- "--image" || fail "rw47hn-sim --help"
echo "package checks passed"
