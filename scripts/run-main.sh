#!/usr/bin/env bash
# Builds the module and runs the reference host on whatever cameras it finds, plugging simulated
# cameras when there are none.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" -DKOVON_BUILD_TESTS=OFF -DKOVON_BUILD_BENCH=OFF
"$root/build/tools/kovon-grab/kovon-grab" demo "$@"
