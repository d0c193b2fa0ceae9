#!/usr/bin/env bash
# The English translation against the sources:
#   scripts/check-translations.sh            fails when translations/rw47hn-upgrader_en.ts is
#                                            stale (lupdate over the sources would change its
#                                            messages) or a source text has no English text
#   scripts/check-translations.sh --update   runs lupdate over the sources into the file, for a
#                                            translator to fill in what it marks unfinished
# Every folder of the program's sources is scanned, whichever of them exist.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
ts="$root/translations/rw47hn-upgrader_en.ts"
bash "$root/scripts/deps.sh" qttools5-dev-tools
lupdate=/usr/lib/qt5/bin/lupdate

cd "$root"
folders=()
for folder in app console core headless production protocol station ui widgets window; do
    [ -d "$folder" ] && folders+=("$folder")
done

# No line numbers in the file: it changes with the messages, not with every edit around them.
run_lupdate() {
    "$lupdate" -silent -locations none -no-obsolete -source-language zh_CN -target-language en \
        "${folders[@]}" -ts "$1"
}

if [ "${1:-}" = "--update" ]; then
    run_lupdate "$ts"
    echo "updated $ts"
    exit
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$ts" "$work/current.ts"
run_lupdate "$work/current.ts"
if ! diff -u "$ts" "$work/current.ts" >"$work/diff"; then
    cat "$work/diff"
    echo "FAILED: $ts is stale: run scripts/check-translations.sh --update and translate"
    exit 1
fi

sources=$(grep -c '<source>' "$ts")
# A message without English: marked unfinished by lupdate, or with an empty translation.
untranslated=$(grep -c -E '<translation( type="unfinished")?(/>|></translation>)|type="unfinished"' "$ts" || true)
if [ "$untranslated" -ne 0 ]; then
    grep -n -B2 -E 'type="unfinished"|<translation(/>|></translation>)' "$ts"
    echo "FAILED: $untranslated of $sources source texts have no English translation"
    exit 1
fi
echo "Translations: $sources source texts, all translated, $ts up to date"
