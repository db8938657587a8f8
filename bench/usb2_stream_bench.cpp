// Frames per second delivered end to end by the USB 2.0 stream (the camera's bulk pipe, the
// stream's worker, GetImage converting into the host's buffer) from a simulated camera sending
// 1280 x 1024 Mono8, next to the simulator's own raw rate, in two settings:
//
//  - Unthrottled: the camera sends as fast as it is read. The raw rate is the same camera read by
//    a bare bulk-read loop on a channel of its own (one copy per frame, nothing else); each
//    iteration is one round of the bare loop and one of the stream, so that both see the same
//    machine load. The stream does two copies per frame (pipe to slot on its worker, slot to the
//    host's buffer on the host's thread) and two thread hand-overs, so this ratio shows the cost
//    of the pipeline itself.
//  - Paced: the camera runs free at a fixed rate (1000 frames/s, some 1.3 GB/s, far beyond what
//    a USB 2.0 camera can send); the raw rate is the frames the simulator produced in the stream's
//    window (sent and dropped), the stream rate the frames the host received.
//
// Counters: raw_fps, stream_fps, ratio (stream / raw; target >= 0.9), and allocs_per_frame: heap
// allocations in the whole process (every thread: the stream's worker, the host thread, the
// simulator) per delivered frame once acquiring (target 0).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KovonSim/SimUsb2.h"
#include "usb2/Ezusb.h"
#include "usb2/InterfaceUSB.h"

// Allocation counting: the malloc family is interposed on glibc's own entry points, so that
// operator new and every library are seen.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
}
namespace {
std::atomic<long> allocationCount{0};
}
extern "C" {
void* malloc(std::size_t n) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t s) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, s);
}
void* realloc(void* p, std::size_t n) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, n);
}
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kInstance = 9;
constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr uint32_t kMono8 = 0x01080001;
constexpr int kFramesPerRound = 200;
constexpr int kWarmUpFrames = 8;

int SetU32(Lumora::IDevice* device, uint64_t address, uint32_t value) {
    Lumora::u64 size = sizeof value;
    return device->SetParam(address, &value, size);
}

void StreamAgainstRawPipe(benchmark::State& state) {
    const double pacedRate = static_cast<double>(state.range(0));  // 0: unthrottled
    KovonSimUsb2_UnplugAll();
    // An RT-GA46E (1280 x 1024 sensor) with newer firmware: the stream checks every frame's marker.
    const unsigned char serial[6] = {0x48, 0x12, 0x05, 0x00, 0x0B, 0x01};
    if (KovonSimUsb2_Plug(kInstance, serial, 0x1203, 0x0200) != KOVON_SIM_OK ||
        KovonSimUsb2_SetFrameRate(kInstance, pacedRate) != KOVON_SIM_OK) {
        state.SkipWithError("no simulated camera");
        return;
    }
    Kovon::CInterfaceUSB usb;
    unsigned count = 0;
    usb.GetNumDevices(count, 0);
    char name[64] = {};
    Lumora::u64 size = sizeof name;
    Lumora::IDevice* device = nullptr;
    Lumora::IStream* stream = nullptr;
    if (count != 1 || usb.GetDeviceName(0, name, size) != 0 || usb.OpenDevice(name, device) != 0 ||
        device->OpenStream(0, stream) != 0 || SetU32(device, 0x108, kWidth) != 0 ||
        SetU32(device, 0x10C, kHeight) != 0 || SetU32(device, 0x120, kMono8) != 0) {
        state.SkipWithError("camera not opened");
        return;
    }
    const size_t frameBytes = size_t{kWidth} * kHeight;
    std::vector<uint8_t> raw(frameBytes), image(frameBytes);
    Kovon::CEzusb pipe;
    pipe.Open("ZEDIVOXU-9");

    double rawSeconds = 0, streamSeconds = 0;
    long rawFrames = 0, streamFrames = 0, allocations = 0, failures = 0;
    for (auto _ : state) {
        if (pacedRate == 0) {
            // The simulator alone: a bare read loop on the camera's pipe.
            SetU32(device, 0x154, 1);
            for (int i = 0; i < kWarmUpFrames; ++i)
                pipe.BulkRead(raw.data(), static_cast<uint32_t>(frameBytes));
            auto start = Clock::now();
            for (int i = 0; i < kFramesPerRound; ++i)
                failures += pipe.BulkRead(raw.data(), static_cast<uint32_t>(frameBytes)) != 0;
            rawSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            rawFrames += kFramesPerRound;
            SetU32(device, 0x154, 0);
        }

        // The stream: the host waits for each frame and takes it into its buffer.
        stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0);
        SetU32(device, 0x154, 1);
        auto take = [&] {
            uint32_t ready = 0;
            Lumora::u64 readySize = sizeof ready;
            stream->GetParam(3, &ready, readySize);
            return ready == 1 && stream->GetImage(image.data(), 0) == 0;
        };
        for (int i = 0; i < kWarmUpFrames; ++i) take();
        KovonSimUsb2Frames before{}, after{};
        KovonSimUsb2_GetFrames(kInstance, &before);
        const long allocationsBefore = allocationCount.load();
        const auto streamStart = Clock::now();
        for (int i = 0; i < kFramesPerRound; ++i) failures += !take();
        const double seconds = std::chrono::duration<double>(Clock::now() - streamStart).count();
        streamSeconds += seconds;
        KovonSimUsb2_GetFrames(kInstance, &after);
        if (pacedRate > 0) {
            rawSeconds += seconds;
            rawFrames += static_cast<long>((after.sent + after.dropped) - (before.sent + before.dropped));
        }
        allocations += allocationCount.load() - allocationsBefore;
        streamFrames += kFramesPerRound;
        SetU32(device, 0x154, 0);
        stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    }
    if (failures != 0) state.SkipWithError("frames failed");
    const double rawFps = rawFrames / rawSeconds, streamFps = streamFrames / streamSeconds;
    state.counters["raw_fps"] = rawFps;
    state.counters["stream_fps"] = streamFps;
    state.counters["ratio"] = streamFps / rawFps;
    state.counters["allocs_per_frame"] = static_cast<double>(allocations) / static_cast<double>(streamFrames);
    state.counters["MiB_per_s"] = streamFps * static_cast<double>(frameBytes) / (1024.0 * 1024.0);
    device->Release();
    KovonSimUsb2_UnplugAll();
}

BENCHMARK(StreamAgainstRawPipe)
    ->ArgName("paced_fps")
    ->Arg(0)
    ->Arg(1000)
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
