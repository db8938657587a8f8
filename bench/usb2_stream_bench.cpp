// Frames per second delivered end to end by the USB 2.0 stream (the camera's bulk pipe, the
// stream's worker, GetImage converting into the host's buffer) from a simulated camera sending
// 1280 x 1024 Mono8, next to the simulator's own raw rate, in three settings:
//
//  - Unthrottled (paced_fps 0): the camera sends as fast as it is read. The raw rate is the same
//    camera read by a bare bulk-read loop on a channel of its own (one copy per frame, one
//    thread). The stream does two copies per frame (pipe to slot on its worker, slot to the
//    host's buffer on the host's thread) and two thread hand-overs, so this ratio shows the cost
//    of the pipeline itself. For scale, each iteration also runs a bare pipeline of the same
//    shape: a reader thread filling two alternate buffers, the calling thread copying them out,
//    a mutex and a condition variable between them and nothing else (pipeline_fps). On a machine
//    whose processors are busy with other work, every hand-over waits for the scheduler, and
//    that bounds any two-thread design whatever its code.
//  - Paced at 1000 frames/s (some 1.3 GB/s, far beyond what a USB 2.0 camera can send) and at a
//    USB 2.0 line rate (30 frames/s, some 39 MB/s: a real USB 2.0 bulk pipe carries about
//    40 MB/s): the camera runs free; the raw rate is the frames the simulator produced in the
//    stream's window (sent and dropped), the stream rate the frames the host received.
//
// Each iteration runs the bare read loop and then the stream, so that both see the same machine
// load. Counters:
//  raw_fps, stream_fps, ratio (stream / raw; target >= 0.9), pipeline_fps and pipeline_ratio
//  (stream / bare pipeline; unthrottled only);
//  cpu_us and raw_cpu_us: processor time of the whole process (every thread, the simulator's
//  included) per frame while the stream delivers and while the bare loop reads; module_cpu_us,
//  their difference: what the stream adds to reading the pipe (the second copy and the
//  hand-overs); host_cpu_us: processor time of the host's thread per frame (GetParam 3 and
//  GetImage);
//  switches and raw_switches: context switches of the process per frame (waits that slept);
//  allocs_per_frame: heap allocations in the whole process per delivered frame once acquiring
//  (target 0).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "AllocationCount.h"
#include "KovonSim/SimUsb2.h"
#include "usb2/Ezusb.h"
#include "usb2/InterfaceUSB.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kInstance = 9;
constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr uint32_t kMono8 = 0x01080001;

int SetU32(Lumora::IDevice* device, uint64_t address, uint32_t value) {
    Lumora::u64 size = sizeof value;
    return device->SetParam(address, &value, size);
}

double Seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A point in time, in processor time and in context switches.
struct Usage {
    Clock::time_point wall = Clock::now();
    double processCpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    double threadCpu = Seconds(CLOCK_THREAD_CPUTIME_ID);
    long switches = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_nvcsw + u.ru_nivcsw;
    }();
};

// What a measured stretch of frames cost, summed over the iterations.
struct Cost {
    double seconds = 0, processCpu = 0, threadCpu = 0;
    long switches = 0, frames = 0;
    void Add(const Usage& from, const Usage& to, long n) {
        seconds += std::chrono::duration<double>(to.wall - from.wall).count();
        processCpu += to.processCpu - from.processCpu;
        threadCpu += to.threadCpu - from.threadCpu;
        switches += to.switches - from.switches;
        frames += n;
    }
    double Fps() const { return seconds > 0 ? static_cast<double>(frames) / seconds : 0; }
    double PerFrame(double total) const { return frames > 0 ? total / static_cast<double>(frames) : 0; }
};

// The bare two-thread pipeline: a reader thread fills two alternate buffers from the pipe, the
// calling thread copies each into 'image', a mutex and a condition variable hand them over.
// Returns the number of failed reads.
long BarePipeline(Kovon::CEzusb& pipe, std::vector<uint8_t> (&slots)[2], std::vector<uint8_t>& image,
                  int frames) {
    std::mutex lock;
    std::condition_variable changed;
    int filled = 0, taken = 0;
    std::atomic<long> failures{0};
    std::thread reader([&] {
        for (int i = 0; i < frames; ++i) {
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return i - taken < 2; });
            }
            std::vector<uint8_t>& slot = slots[i % 2];
            failures += pipe.BulkRead(slot.data(), static_cast<uint32_t>(slot.size())) != 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                filled = i + 1;
            }
            changed.notify_all();
        }
    });
    for (int i = 0; i < frames; ++i) {
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return filled > i; });
        }
        std::memcpy(image.data(), slots[i % 2].data(), image.size());
        {
            std::lock_guard<std::mutex> guard(lock);
            taken = i + 1;
        }
        changed.notify_all();
    }
    reader.join();
    return failures.load();
}

void StreamAgainstRawPipe(benchmark::State& state) {
    const double pacedRate = static_cast<double>(state.range(0));  // 0: unthrottled
    const int framesPerRound = static_cast<int>(state.range(1));
    // The warm-up lets the simulator build the frames of every phase once, and takes the frames
    // that the camera sends while the device still pauses after the acquisition start.
    const int warmUpFrames = pacedRate > 0 && pacedRate < 100 ? KOVON_SIM_USB2_FRAME_PHASES : 8;
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
    std::vector<uint8_t> pipelineSlots[2] = {std::vector<uint8_t>(frameBytes),
                                             std::vector<uint8_t>(frameBytes)};
    Kovon::CEzusb pipe;
    pipe.Open("ZEDIVOXU-9");

    Cost bare, pipeline, streaming;
    double producedSeconds = 0;
    long produced = 0, allocations = 0, failures = 0;
    for (auto _ : state) {
        // The simulator alone: a bare read loop on the camera's pipe; unthrottled, also the bare
        // two-thread pipeline.
        SetU32(device, 0x154, 1);
        for (int i = 0; i < warmUpFrames; ++i) pipe.BulkRead(raw.data(), static_cast<uint32_t>(frameBytes));
        Usage start;
        for (int i = 0; i < framesPerRound; ++i)
            failures += pipe.BulkRead(raw.data(), static_cast<uint32_t>(frameBytes)) != 0;
        bare.Add(start, Usage(), framesPerRound);
        if (pacedRate == 0) {
            start = Usage();
            failures += BarePipeline(pipe, pipelineSlots, image, framesPerRound);
            pipeline.Add(start, Usage(), framesPerRound);
        }
        SetU32(device, 0x154, 0);

        // The stream: the host waits for each frame and takes it into its buffer.
        stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0);
        SetU32(device, 0x154, 1);
        auto take = [&] {
            uint32_t ready = 0;
            Lumora::u64 readySize = sizeof ready;
            stream->GetParam(3, &ready, readySize);
            return ready == 1 && stream->GetImage(image.data(), 0) == 0;
        };
        for (int i = 0; i < warmUpFrames; ++i) take();
        KovonSimUsb2Frames before{}, after{};
        KovonSimUsb2_GetFrames(kInstance, &before);
        const long allocationsBefore = KovonBench::AllocationCount();
        start = Usage();
        for (int i = 0; i < framesPerRound; ++i) failures += !take();
        const Usage end;
        streaming.Add(start, end, framesPerRound);
        KovonSimUsb2_GetFrames(kInstance, &after);
        allocations += KovonBench::AllocationCount() - allocationsBefore;
        if (pacedRate > 0) {
            producedSeconds += std::chrono::duration<double>(end.wall - start.wall).count();
            produced += static_cast<long>((after.sent + after.dropped) - (before.sent + before.dropped));
        }
        SetU32(device, 0x154, 0);
        stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    }
    if (failures != 0) state.SkipWithError("frames failed");
    const double rawFps = pacedRate > 0 ? static_cast<double>(produced) / producedSeconds : bare.Fps();
    const double streamFps = streaming.Fps();
    state.counters["raw_fps"] = rawFps;
    state.counters["stream_fps"] = streamFps;
    state.counters["ratio"] = streamFps / rawFps;
    if (pacedRate == 0) {
        state.counters["pipeline_fps"] = pipeline.Fps();
        state.counters["pipeline_ratio"] = streamFps / pipeline.Fps();
    }
    const double cpuUs = streaming.PerFrame(streaming.processCpu) * 1e6;
    const double rawCpuUs = bare.PerFrame(bare.processCpu) * 1e6;
    state.counters["cpu_us"] = cpuUs;
    state.counters["raw_cpu_us"] = rawCpuUs;
    state.counters["module_cpu_us"] = cpuUs - rawCpuUs;
    state.counters["host_cpu_us"] = streaming.PerFrame(streaming.threadCpu) * 1e6;
    state.counters["switches"] = streaming.PerFrame(static_cast<double>(streaming.switches));
    state.counters["raw_switches"] = bare.PerFrame(static_cast<double>(bare.switches));
    state.counters["allocs_per_frame"] = streaming.PerFrame(static_cast<double>(allocations));
    device->Release();
    KovonSimUsb2_UnplugAll();
}

// Unthrottled and at 1000 frames/s: 200 frames per iteration. At the USB 2.0 line rate a frame
// takes 33 ms: a short run.
BENCHMARK(StreamAgainstRawPipe)
    ->ArgNames({"paced_fps", "frames"})
    ->Args({0, 200})
    ->Args({1000, 200})
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(StreamAgainstRawPipe)
    ->ArgNames({"paced_fps", "frames"})
    ->Args({30, 12})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
