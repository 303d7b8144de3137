#!/bin/bash
# Remakes the README's screenshots: two instances in one process talk over
# loopback inside a private network namespace, drawn offscreen.
# Usage: scripts/make-screenshots.sh [build dir] [output dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
out="${2:-$root/docs/screenshots}"
cmake --build "$build" --target corvid_screenshots
exec unshare -n bash -c 'ip link set lo up && QT_QPA_PLATFORM=offscreen "$0" "$1"' \
    "$build/tools/corvid_screenshots" "$out"
