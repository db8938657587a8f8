#!/usr/bin/env bash
# Builds and runs every test: a plain build, then an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the same tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)

echo "== plain build"
"$root/scripts/build.sh" "$root/build-test" -DKOVON_BUILD_BENCH=ON
(cd "$root/build-test" && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
"$root/scripts/build.sh" "$root/build-asan" -DKOVON_SANITIZE=address -DKOVON_BUILD_BENCH=OFF
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs")
