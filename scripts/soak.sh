#!/usr/bin/env bash
# The fault soak: builds the module and kovon-soak with AddressSanitizer + UndefinedBehaviorSanitizer
# (LeakSanitizer on) in build-soak/ and runs it. Not part of CI.
#
#   scripts/soak.sh [SECONDS] [kovon-soak options...]     default 300 s; at most 600 s
#
# Ends with the soak's report and a summary line: crashes, leaks, and the exit status. Exit code 0
# only when the report says PASS, the program ended normally and LeakSanitizer found nothing.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
shift || true
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1 || seconds > 600)); then
  echo "usage: scripts/soak.sh [SECONDS (1-600)] [kovon-soak options...]" >&2
  exit 2
fi
build=${KOVON_SOAK_BUILD_DIR:-$root/build-soak}

echo "== building the module and kovon-soak with AddressSanitizer in $build"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVON_SANITIZE=address \
  -DKOVON_BUILD_BENCH=OFF -DKOVON_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null || exit 1
cmake --build "$build" -j "$(nproc)" --target kovon-soak || exit 1

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "== kovon-soak --seconds $seconds $*"
# The program runs its own leak check before it exits; the check at exit stays on as well.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$build/tools/kovon-soak/kovon-soak" --seconds "$seconds" "$@" 2> >(tee "$log" >&2)
status=$?
wait

crashes=0
if ((status > 128)) || grep -q "ERROR: AddressSanitizer\|runtime error:" "$log"; then crashes=1; fi
leaks=$(grep -c "ERROR: LeakSanitizer" "$log")
echo "== crashes $crashes, leak reports $leaks, exit status $status"
if ((status == 0 && crashes == 0 && leaks == 0)); then
  echo "== soak PASSED"
  exit 0
fi
echo "== soak FAILED"
exit 1
