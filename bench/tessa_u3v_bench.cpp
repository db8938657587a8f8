// Frames through the USB3 Vision library from a simulated camera at 1280x1024 Mono8, next to a
// plain memcpy of the same pre-generated payloads, in the same run. Prints the throughput ratio
// (library / memcpy) and the allocations per received frame.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "KovonSim/SimU3V.h"
#include "sim/u3v/SimU3vCamera.h"
#include "u3v/tessa/Tessa.h"

using namespace Kovon::Tessa;

namespace {
std::atomic<uint64_t> gAllocations{0};
constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr size_t kPayload = size_t(kWidth) * kHeight;
}  // namespace

// Counts every allocation so that the benchmark can show that receiving a frame allocates nothing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

static void BM_TessaGetImage(benchmark::State& state) {
    KovonSimU3VOptions o;
    KovonSimU3V_DefaultOptions(&o);
    o.serial = "BENCH1";
    o.model = "TK-U3-130M";
    o.width = kWidth;
    o.height = kHeight;
    if (KovonSimU3V_PlugWith(&o) != 0) {
        state.SkipWithError("plug failed");
        return;
    }
    U3V_HANDLE dev = nullptr, ctl = nullptr, stream = nullptr;
    U3V_DEVICE_INFORMATION info;
    if (U3V_OpenDevice("sim:u3v:BENCH1", &dev, 0, 0, &info) || U3V_OpenControl(dev, &ctl) ||
        U3V_OpenStream(dev, ctl, &stream, 1000) || U3V_SetTransferSize(stream, uint32_t(kPayload)) ||
        U3V_AcquisitionStart(stream, 0xFFFFFFFF)) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<uint8_t> frame(kPayload);
    U3V_FRAME_INFO fi;
    uint64_t failures = 0;
    U3V_GetImage(stream, frame.data(), 1000, &fi);  // first frame prepares the simulator
    const uint64_t allocBefore = gAllocations.load();
    for (auto _ : state) {
        failures += U3V_GetImage(stream, frame.data(), 1000, &fi) != 0;
        benchmark::DoNotOptimize(frame.data());
    }
    const uint64_t allocs = gAllocations.load() - allocBefore;
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations() * kPayload));
    state.counters["allocs_per_frame"] = double(allocs) / double(state.iterations());
    state.counters["failed"] = double(failures);
    U3V_AcquisitionStop(stream, nullptr, nullptr);
    U3V_CloseStream(stream);
    U3V_CloseControl(ctl);
    U3V_CloseDevice(dev);
    KovonSimU3V_Unplug("BENCH1");
}
BENCHMARK(BM_TessaGetImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

static void BM_MemcpyPayload(benchmark::State& state) {
    // The same pre-generated frames that the simulator serves.
    std::vector<std::vector<uint8_t>> frames(Kovon::Sim::kSimU3vFrameCount, std::vector<uint8_t>(kPayload));
    for (uint32_t k = 0; k < frames.size(); ++k)
        for (size_t i = 0; i < kPayload; ++i) frames[k][i] = Kovon::Sim::SimU3vPixel(uint32_t(i % kWidth), uint32_t(i / kWidth), k);
    std::vector<uint8_t> frame(kPayload);
    uint64_t n = 0;
    for (auto _ : state) {
        std::memcpy(frame.data(), frames[n++ % frames.size()].data(), kPayload);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations() * kPayload));
}
BENCHMARK(BM_MemcpyPayload)->Unit(benchmark::kMicrosecond)->UseRealTime();

namespace {
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rate_[r.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Print() const {
        double lib = 0, copy = 0;
        for (auto& kv : rate_) {
            if (kv.first.find("BM_TessaGetImage") == 0) lib = kv.second;
            if (kv.first.find("BM_MemcpyPayload") == 0) copy = kv.second;
        }
        if (lib > 0 && copy > 0)
            std::printf("library %.0f MiB/s (%.1f frames/s), memcpy %.0f MiB/s: ratio %.2f (target >= 0.70)\n",
                        lib / 1048576.0, lib / double(kPayload), copy / 1048576.0, lib / copy);
    }

private:
    std::map<std::string, double> rate_;
};
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Print();
    benchmark::Shutdown();
    return 0;
}
