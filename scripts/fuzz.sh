#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a bounded time: scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Targets are the names in fuzz/CMakeLists.txt (gvcp, gvsp, ...); all of them when none is given.
# Each run starts from the committed seeds in fuzz/corpus/<target> plus what earlier runs found
# (build-fuzz/corpus/<target>); a finding is written to build-fuzz/findings/<target>-* and makes
# the script fail. Replay one with: build-fuzz/fuzz/kovon_fuzz_<target> <file>
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
build=${KOVON_FUZZ_BUILD:-$root/build-fuzz}
cxx=${KOVON_FUZZ_CXX:-clang++}
cc=${KOVON_FUZZ_CC:-clang}

echo "== fuzz build ($cxx) in $build"
CC=$cc CXX=$cxx cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVON_BUILD_FUZZ=ON \
  -DKOVON_BUILD_TESTS=OFF -DKOVON_BUILD_BENCH=OFF -DKOVON_BUILD_TOOLS=ON >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
  mapfile -t targets < <(sed -n 's/^ *kovon_fuzz_target(\([a-z0-9_]*\) .*/\1/p' "$root/fuzz/CMakeLists.txt")
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/kovon_fuzz_}"

mkdir -p "$build/findings"
# One target per core at a time (KOVON_FUZZ_JOBS to change it); each writes its own log.
run_one() {
  local t=$1 corpus=$build/corpus/$1 log=$build/findings/$1.log
  mkdir -p "$corpus"
  # -timeout: one input running longer than this is a finding (a hang); -rss_limit_mb likewise.
  if "$build/fuzz/kovon_fuzz_$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$t-" "$corpus" "$root/fuzz/corpus/$t" \
      >"$log" 2>&1; then
    echo "== $t: ${seconds}s, $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") inputs, no finding"
  else
    echo "== $t: FINDING, see $log"
    grep -E 'ERROR|fuzz check failed|runtime error|Test unit written' "$log" | head -5 | sed 's/^/   /'
    return 1
  fi
}
export -f run_one
export build root seconds
status=0
printf '%s\n' "${targets[@]}" | xargs -P "${KOVON_FUZZ_JOBS:-$(nproc)}" -I{} bash -c 'run_one {}' || status=1
if ((status)); then
  echo "fuzz: findings (logs and inputs in $build/findings)"
  exit 1
fi
echo "fuzz: no findings in ${#targets[@]} targets"
