#!/usr/bin/env bash
# A whole upgrade without hardware: builds the tool, starts the simulated module on a
# pseudo-terminal, and opens the window with that port already typed in.
#   scripts/demo.sh            the demo, in a window, at the speed of a real 115200-baud line
#   scripts/demo.sh --smoke    headless check: a 16 KiB upgrade driven automatically
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
smoke=0
[ "${1:-}" = "--smoke" ] && smoke=1

bash "$root/scripts/build.sh" "$build"

work="${TMPDIR:-/tmp}/rw47hn-demo-$(id -u)"
mkdir -p "$work"
image="$work/demo.ufw"
port="$work/ttyRW47HN"
size=$((256 * 1024))
[ $smoke -eq 1 ] && size=$((16 * 1024))
head -c "$size" /dev/urandom >"$image"

# A link left by an earlier run would look like a started simulator.
rm -f "$port"
sim_args=(--image "$image" --link "$port" --pace)
[ $smoke -eq 0 ] && sim_args+=(--repeat)
"$build/sim/rw47hn-sim" "${sim_args[@]}" >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -e "$port" ] && break
    sleep 0.05
done
[ -e "$port" ] || { cat "$work/sim.log"; echo "the simulator did not start" >&2; exit 1; }

# The file dialog opens in the working directory: there it shows demo.ufw at once.
cd "$work"
if [ $smoke -eq 1 ]; then
    status=0
    QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" "$build/tests/demo_autopilot" \
        --port "$port" --image "$image" --timeout 60 2>"$work/autopilot.log" || status=$?
    [ $status -eq 0 ] && { wait "$sim" || status=$?; }
    trap - EXIT
    kill "$sim" 2>/dev/null || true
    cat "$work/sim.log"
    if [ $status -ne 0 ]; then
        echo "== the demo run failed ($status); the autopilot's errors:" >&2
        grep -v '^QStandardPaths' "$work/autopilot.log" | tail -n 40 >&2 || true
    fi
    exit "$status"
fi

cat <<EOT
The simulated module is listening on $port
(the port box already shows it; the image is $image).

  1. Press 打开串口 to open the port.
  2. Press ... and choose $image
  3. Press 升级 and watch the upgrade run at 115200 baud (about 25 s).

Closing the window stops the simulator. Its own log: $work/sim.log
EOT
"$build/app/rw47hn-upgrader" --port "$port" 2>/dev/null || true
