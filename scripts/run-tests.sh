#!/usr/bin/env bash
# Builds and runs every test: a plain build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the same tests, a ThreadSanitizer build running the threaded tests, and a short
# libFuzzer run of every fuzz target (KOVON_CI_FUZZ_SECONDS per target, default 60, two targets
# at a time). The whole run is budgeted well under 30 minutes on 2 cores; the benchmarks are not
# built here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
jobs=$(nproc)
stage() { echo "== $1 (at ${SECONDS}s)"; }

stage "plain build"
"$root/scripts/build.sh" "$root/build-test" -DKOVON_BUILD_BENCH=OFF
(cd "$root/build-test" && ctest --output-on-failure -j "$jobs")

stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
# -O1 with line tables only: the sanitizers' usual level, and it compiles about three times faster
# than -O2 with full debug information under instrumentation; reports still name file and line.
asan_flags="-O1 -g1 -DNDEBUG"
"$root/scripts/build.sh" "$root/build-asan" -DKOVON_SANITIZE=address -DKOVON_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$asan_flags" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$asan_flags"
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs")

# The tests that run threads: streams, events, hot-plug, concurrent opens and the locks under
# them, the simulators' servers, and the fuzz replays that start receivers and trees. Only their
# programs are built.
threaded_programs=(platform_test pelion_engine_tests pelion_stream_tests sim_gige_tests sim_usb2_camera_test
  system_unit_tests system_host_tests tessa_engine_test u3v_module_unit_test u3v_host_test usb2_ezusb_test
  usb2_interface_test usb2_host_test concurrent_open_test kovon_fuzz_gvsp_stream kovon_fuzz_params
  kovon_fuzz_usb2_stream kovon_fuzz_u3v_engine usbbench_test usb2_module_test u3v_module_test usb2_libusb_driver_test)
threaded='^(PelionStream|PelionEvents|PelionControl|PelionDiscovery|SimGigEApi|TessaEngine|TessaOpen'
threaded+='|TessaDiscovery|U3vHost|U3vDiscovery|Usb2Host|Usb2Cameras|EzusbThreads|EzusbTest|Event|NamedMutex'
threaded+='|CameraIndexTableTest|SystemHost|InterfaceTree|SimUsb2Adapter|Transports/ConcurrentOpen|EmulatedBusTest'
threaded+='|Usb2Module|U3vOnBench|LibusbDriver)\.'
threaded+='|^fuzz_replay_(gvsp_stream|params|usb2_stream|u3v_engine)$'
stage "ThreadSanitizer build (threaded tests)"
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVON_SANITIZE=thread \
  -DKOVON_BUILD_BENCH=OFF -DKOVON_BUILD_TOOLS=OFF >/dev/null
cmake --build "$root/build-tsan" -j "$jobs" --target "${threaded_programs[@]}"
# halt_on_error: the first report ends the test process with a failure. The 1 Gbit/s resend test
# measures that every frame completes at full rate, which a receiver slowed down by the sanitizer
# cannot keep; resend itself runs under TSan in the slower packet-source tests.
(cd "$root/build-tsan" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "$jobs" -R "$threaded" -E 'ResendRecoversEveryFrameUnderOnePercentLoss$')

stage "fuzzing"
KOVON_FUZZ_JOBS=2 "$root/scripts/fuzz.sh" "${KOVON_CI_FUZZ_SECONDS:-60}"
echo "== done in ${SECONDS}s"
