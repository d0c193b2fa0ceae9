#!/usr/bin/env bash
# Fuzzes the receive path with libFuzzer: scripts/fuzz.sh [SECONDS] (default 60).
# The corpus grows in build-fuzz/corpus; findings are written to build-fuzz/findings.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
seconds="${1:-60}"

bash "$root/scripts/deps.sh" clang libclang-rt-14-dev cmake make qtbase5-dev libqt5serialport5-dev qttools5-dev-tools
CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRW47HN_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_receive
mkdir -p "$build/corpus" "$build/findings"

export ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=64"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# libFuzzer's per-input leak check is off: Qt keeps caches across inputs. Leaks are still
# checked when the process ends.
set +e
"$build/tests/fuzz_receive" -max_total_time="$seconds" -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$build/findings/" "$build/corpus" "$root/tests/fuzz-corpus" 2>&1 |
    grep -vE '^#[0-9]+.*(NEW|REDUCE|pulse)|Uses: |Recommended dictionary'
status=${PIPESTATUS[0]}
set -e
echo "corpus: $(ls "$build/corpus" | wc -l) inputs"
exit "$status"
