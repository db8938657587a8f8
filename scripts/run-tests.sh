#!/usr/bin/env bash
# Builds and runs every test: a plain build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the same tests, a ThreadSanitizer build running the threaded tests, and a short
# libFuzzer run of every fuzz target (KOVON_CI_FUZZ_SECONDS per target, default 30).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)
stage() { echo "== $1 ($(date +%T))"; }

stage "plain build"
"$root/scripts/build.sh" "$root/build-test" -DKOVON_BUILD_BENCH=ON
(cd "$root/build-test" && ctest --output-on-failure -j "$jobs")

stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
"$root/scripts/build.sh" "$root/build-asan" -DKOVON_SANITIZE=address -DKOVON_BUILD_BENCH=OFF
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs")

# The tests that run threads: streams, events, hot-plug, concurrent opens and the locks under
# them, the simulators' servers, and the fuzz replays that start receivers and trees.
threaded='^(PelionStream|PelionEvents|PelionControl|PelionDiscovery|TessaEngine|TessaOpen|TessaDiscovery'
threaded+='|U3vHost|U3vDiscovery|Usb2Host|Usb2Cameras|EzusbThreads|EzusbTest|Event|NamedMutex'
threaded+='|CameraIndexTableTest|SystemHost|InterfaceTree|SimUsb2Adapter|SimGigEApi|GrabTest)\.'
threaded+='|^fuzz_replay_(gvsp_stream|params)$'
stage "ThreadSanitizer build (threaded tests)"
"$root/scripts/build.sh" "$root/build-tsan" -DKOVON_SANITIZE=thread -DKOVON_BUILD_BENCH=OFF
# halt_on_error: the first report ends the test process with a failure.
(cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" -R "$threaded")

stage "fuzzing"
"$root/scripts/fuzz.sh" "${KOVON_CI_FUZZ_SECONDS:-30}"
echo "== done in ${SECONDS}s"
