// Frames through the USB3 Vision library from a simulated camera at 1280x1024 Mono8, next to a
// plain memcpy of the same pre-generated payloads, in the same run. Prints the throughput ratio
// (library / memcpy) and the allocations per received frame.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "U3vBenchSetup.h"
#include "sim/u3v/SimU3vCamera.h"

using U3vBench::kPayload;
using U3vBench::kWidth;

static void BM_TessaGetImage(benchmark::State& state) {
    if (!U3vBench::PlugCamera("BENCH1")) {
        state.SkipWithError("plug failed");
        return;
    }
    U3vBench::LibraryStream library("BENCH1");
    if (!library.Ok()) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<uint8_t> frame(kPayload);
    uint64_t failures = 0;
    library.GetImage(frame.data());  // first frame prepares the simulator
    const uint64_t allocBefore = U3vBench::gAllocations.load();
    for (auto _ : state) {
        failures += !library.GetImage(frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    const uint64_t allocs = U3vBench::gAllocations.load() - allocBefore;
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations() * kPayload));
    state.counters["allocs_per_frame"] = double(allocs) / double(state.iterations());
    state.counters["failed"] = double(failures);
}
BENCHMARK(BM_TessaGetImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

static void BM_MemcpyPayload(benchmark::State& state) {
    // The same pre-generated frames that the simulator serves.
    std::vector<std::vector<uint8_t>> frames(Kovon::Sim::kSimU3vFrameCount, std::vector<uint8_t>(kPayload));
    for (uint32_t k = 0; k < frames.size(); ++k)
        for (size_t i = 0; i < kPayload; ++i)
            frames[k][i] = Kovon::Sim::SimU3vPixel(uint32_t(i % kWidth), uint32_t(i / kWidth), k);
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
            std::printf(
                "library %.0f MiB/s (%.1f frames/s), memcpy %.0f MiB/s: ratio %.2f (target >= 0.70)\n",
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
