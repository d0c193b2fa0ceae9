#!/usr/bin/env bash
# Builds the Debian package and checks what it holds: its dependencies on the Qt 5
# libraries, the two programs, the desktop entry and the icon, the manual pages and the bash
# completion, that the program runs, and that lintian finds no error and no warning.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# Made from the build the test suite runs (scripts/test.sh): what is packaged is what was tested.
build="$root/build"

bash "$root/scripts/deps.sh" dpkg-dev desktop-file-utils appstream help2man lintian man-db
# Debian's hardening flags come from build.sh; cpack strips the programs.
bash "$root/scripts/build.sh" "$build" -DCMAKE_INSTALL_PREFIX=/usr -DRW47HN_MAN_PAGES=ON
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$build/rw47hn-upgrader_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd "$build" && cpack -G DEB >/dev/null)
[ -f "$deb" ] || { echo "package check failed: cpack did not write $deb" >&2; exit 1; }
echo "== $(basename "$deb")"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

fail() { echo "package check failed: $*" >&2; exit 1; }
depends="$(dpkg-deb --field "$deb" Depends)"
for library in libqt5core5a libqt5widgets5 libqt5serialport5; do
    grep -q "$library" <<<"$depends" || fail "no dependency on $library"
done
# Qt's own Chinese texts, for its dialogs and buttons.
dpkg-deb --field "$deb" Recommends | grep -q qttranslations5-l10n ||
    fail "does not recommend qttranslations5-l10n"

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
doc=usr/share/doc/rw47hn-upgrader
for file in usr/bin/rw47hn-upgrader usr/bin/rw47hn-sim \
    usr/share/applications/rw47hn-upgrader.desktop \
    usr/share/metainfo/org.example.rw47hn_upgrader.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/rw47hn-upgrader.svg \
    $doc/README.md $doc/copyright $doc/changelog.gz \
    usr/share/man/man1/rw47hn-upgrader.1.gz usr/share/man/man1/rw47hn-sim.1.gz \
    usr/share/bash-completion/completions/rw47hn-upgrader; do
    [ -e "$unpacked/$file" ] || fail "missing $file"
done
desktop-file-validate "$unpacked/usr/share/applications/rw47hn-upgrader.desktop"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/org.example.rw47hn_upgrader.metainfo.xml"
# Read whole before it is searched: grep -q would leave at the first match and the rest of
# the help would meet a closed pipe.
help="$(env -u DISPLAY -u QT_QPA_PLATFORM "$unpacked/usr/bin/rw47hn-upgrader" --help)" ||
    fail "rw47hn-upgrader --help does not run without a display"
grep -q -- "--headless" <<<"$help" || fail "rw47hn-upgrader --help does not name --headless"
"$unpacked/usr/bin/rw47hn-sim" --help | grep -q -- "--image" || fail "rw47hn-sim --help"

# The changelog's newest entry is this version; each manual page shows every option of
# its program's --help.
newest="$(zcat "$unpacked/$doc/changelog.gz" | sed -n '1s/^rw47hn-upgrader (\([^)]*\)).*/\1/p')"
[ "$newest" = "$version" ] || fail "the changelog's newest entry is ${newest:-missing}, not $version"
for program in rw47hn-upgrader rw47hn-sim; do
    page="$(LC_ALL=C MANWIDTH=200 man -l "$unpacked/usr/share/man/man1/$program.1.gz" 2>/dev/null)"
    for option in $(env -u DISPLAY "$unpacked/usr/bin/$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -q -- "$option" <<<"$page" || fail "the manual page of $program lacks $option"
    done
done

# The completion offers every long option of --help.
completion="$unpacked/usr/share/bash-completion/completions/rw47hn-upgrader"
bash -n "$completion" || fail "the bash completion does not parse"
for option in $(env -u DISPLAY "$unpacked/usr/bin/rw47hn-upgrader" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    [ "$option" = "--help-all" ] && continue
    grep -q -- "$option\b" "$completion" || fail "the bash completion lacks $option"
done

echo "== lintian"
status=0
report="$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1)" || status=$?
# Root is how CI runs; lintian only remarks on it.
grep -v '^running with root privileges is not recommended!$' <<<"$report" || true
[ $status -eq 0 ] || fail "lintian reports errors or warnings (status $status)"
echo "package checks passed"
