#!/usr/bin/env bash
# Builds the upgrader and starts it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/build.sh" "$root/build"
exec "$root/build/app/rw47hn-upgrader" "$@"
