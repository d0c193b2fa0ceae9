#!/usr/bin/env bash
# Takes the README's picture of the station window: 16 positions mid-run at 1366x768 in a real
# X server (Xvfb), each module a simulator. Two end early (their lines paced at 460800 baud),
# two end in errors (a silent module, a dropped line), eight are being upgraded, and four wait
# for a module that has not been plugged in.
#   scripts/screenshot-station.sh [PNG]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
out="$(realpath -m "${1:-$root/docs/station.png}")"

bash "$root/scripts/deps.sh" xvfb xauth fonts-wqy-microhei
bash "$root/scripts/build.sh" "$build"

work="$(mktemp -d /tmp/station.XXXX)"
sims=()
cleanup() {
    for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
head -c $((256 * 1024)) /dev/urandom >"$work/fw.ufw"
ports=()
for i in $(seq 16); do
    ports+=(--port "$work/ttyUSB$i")
    [ "$i" -gt 12 ] && continue # no module yet: the position waits for its port
    extra=()
    case $i in
    1) extra=(--pace-baud 460800) ;;
    3) extra=(--pace-baud 345600) ;;
    5) extra=(--silent) ;;
    7) extra=(--drop-after 40) ;;
    esac
    "$build/sim/rw47hn-sim" --image "$work/fw.ufw" --link "$work/ttyUSB$i" --pace "${extra[@]}" \
        >"$work/sim$i.log" &
    sims+=($!)
done
for i in $(seq 12); do
    for _ in $(seq 100); do
        [ -e "$work/ttyUSB$i" ] && break
        sleep 0.05
    done
    [ -e "$work/ttyUSB$i" ] || { echo "simulator $i did not start" >&2; exit 1; }
done
mkdir -p "$(dirname "$out")"
(cd "$work" && xvfb-run -a -s "-screen 0 1366x768x24" env QT_QPA_PLATFORM=xcb \
    "$build/tests/station_autopilot" "${ports[@]}" --image "$work/fw.ufw" \
    --json-lines "$work/results.jsonl" --timeout 5 --after 14 --screenshot "$out" 2>/dev/null)
echo "saved $out"
