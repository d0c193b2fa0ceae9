#!/usr/bin/env bash
# Takes the README's pictures: a finished demo upgrade in a real X server (Xvfb).
#   scripts/screenshot.sh [PNG] [SCALE] [OPTIONS]   SCALE 2 shows the window as on a high-DPI
#                                                   screen; OPTIONS go to tests/demo_autopilot:
#   scripts/screenshot.sh docs/window-en.png 1 --lang en
#   scripts/screenshot.sh docs/window-zh-question.png 1 --question
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
out="$(realpath -m "${1:-$root/docs/window.png}")"
scale="${2:-1}"
shift 2 || shift $#

bash "$root/scripts/deps.sh" xvfb xauth fonts-wqy-microhei
bash "$root/scripts/build.sh" "$build"

work="$(mktemp -d)"
sim=""
# The simulator has usually ended by itself: killing it may fail, the script has not.
trap '[ -n "$sim" ] && { kill "$sim" 2>/dev/null || true; }; rm -rf "$work"' EXIT
head -c $((256 * 1024)) /dev/urandom >"$work/demo.ufw"
"$build/sim/rw47hn-sim" --image "$work/demo.ufw" --link "$work/ttyRW47HN" --pace >"$work/sim.log" &
sim=$!
for _ in $(seq 100); do
    [ -e "$work/ttyRW47HN" ] && break
    sleep 0.05
done
[ -e "$work/ttyRW47HN" ] || { cat "$work/sim.log"; echo "the simulator did not start" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
screen="$((1280 * scale))x$((800 * scale))x24"
(cd "$work" && xvfb-run -a -s "-screen 0 $screen" env QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" \
    "$build/tests/demo_autopilot" --port "$work/ttyRW47HN" --image "$work/demo.ufw" \
    --screenshot "$out" --timeout 120 "$@" 2>/dev/null)
cat "$work/sim.log"
echo "saved $out"
