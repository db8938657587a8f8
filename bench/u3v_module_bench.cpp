// Frames through the module's USB3 Vision stream (the host's GetImage) next to frames through the
// USB3 Vision library alone (U3V_GetImage straight into the caller's buffer), in the same run,
// from simulated cameras at 1280x1024 Mono8: once unpaced, once paced like a 5 Gbit/s USB3
// link (380 MB/s). For each setting it prints the module's overhead in frame rate (library rate
// / module rate, target <= 1.10) and in process CPU time per frame, and the allocations per frame
// once acquiring (target 0).
//
// The machine may be shared: run with --benchmark_repetitions=5
// --benchmark_enable_random_interleaving=true, and the medians are compared.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Lumora/Lumora.h"
#include "U3vBenchSetup.h"
#include "system/System.h"

using U3vBench::kPayload;

namespace {
constexpr int64_t kUnpaced = 0;
constexpr int64_t kUsb3LineRate = 380;  // MB/s, about what a 5 Gbit/s link carries

void SetCounters(benchmark::State& state, double cpuSeconds, uint64_t allocations, uint64_t failures) {
    const double frames = double(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations() * kPayload));
    state.counters["cpu_us_per_frame"] = cpuSeconds * 1e6 / frames;
    state.counters["allocs_per_frame"] = double(allocations) / frames;
    state.counters["failed"] = double(failures);
}
}  // namespace

static void BM_ModuleGetImage(benchmark::State& state) {
    const char* serial = "BENCHM";
    if (!U3vBench::PlugCamera(serial, uint64_t(state.range(0)) * 1000000)) {
        state.SkipWithError("plug failed");
        return;
    }
    Lumora::ISystem* system = new Kovon::CSystem;
    Lumora::IInterface* u3v = nullptr;
    Lumora::IDevice* device = nullptr;
    Lumora::IStream* stream = nullptr;
    unsigned count = 0;
    const std::string name = std::string(U3vBench::kModel) + "_SN_" + serial;
    if (system->OpenInterface("Interface_U3Vision", u3v) != 0 || u3v->GetNumDevices(count, 100) != 0 ||
        u3v->OpenDevice(name.c_str(), device) != 0 || device->OpenStream(0, stream) != 0 ||
        stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull) != 0) {
        state.SkipWithError("open failed");
        system->Release();
        KovonSimU3V_Unplug(serial);
        return;
    }
    std::vector<uint8_t> frame(kPayload);
    uint64_t failures = 0;
    stream->GetImage(frame.data(), 1000);  // the first frame prepares the simulator
    const uint64_t allocBefore = U3vBench::gAllocations.load();
    const double cpuBefore = U3vBench::ProcessCpuSeconds();
    for (auto _ : state) {
        failures += stream->GetImage(frame.data(), 1000) != 0;
        benchmark::DoNotOptimize(frame.data());
    }
    const double cpu = U3vBench::ProcessCpuSeconds() - cpuBefore;
    const uint64_t allocs = U3vBench::gAllocations.load() - allocBefore;
    uint64_t lost = 0;
    Lumora::u64 size = sizeof lost;
    stream->GetParam(6, &lost, size);
    SetCounters(state, cpu, allocs, failures);
    state.counters["lost"] = double(lost);
    stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    system->Release();
    KovonSimU3V_Unplug(serial);
}
BENCHMARK(BM_ModuleGetImage)->Arg(kUnpaced)->Arg(kUsb3LineRate)->Unit(benchmark::kMicrosecond)->UseRealTime();

static void BM_LibraryGetImage(benchmark::State& state) {
    const char* serial = "BENCHL";
    if (!U3vBench::PlugCamera(serial, uint64_t(state.range(0)) * 1000000)) {
        state.SkipWithError("plug failed");
        return;
    }
    U3vBench::LibraryStream library(serial);
    if (!library.Ok()) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<uint8_t> frame(kPayload);
    uint64_t failures = 0;
    library.GetImage(frame.data());
    const uint64_t allocBefore = U3vBench::gAllocations.load();
    const double cpuBefore = U3vBench::ProcessCpuSeconds();
    for (auto _ : state) {
        failures += !library.GetImage(frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    const double cpu = U3vBench::ProcessCpuSeconds() - cpuBefore;
    SetCounters(state, cpu, U3vBench::gAllocations.load() - allocBefore, failures);
}
BENCHMARK(BM_LibraryGetImage)
    ->Arg(kUnpaced)
    ->Arg(kUsb3LineRate)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

namespace {
// Collects frame rate and CPU time per frame of each benchmark and setting (the median when the
// runs are repeated) and prints the module's overhead for each setting.
class OverheadReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median) continue;
            Figures& f = figures_[{r.run_name.function_name, r.run_name.args}];
            if (f.median && !median) continue;  // a median, once there, stands for the runs
            auto rate = r.counters.find("items_per_second");
            auto cpu = r.counters.find("cpu_us_per_frame");
            if (rate == r.counters.end() || cpu == r.counters.end()) continue;
            f = {rate->second.value, cpu->second.value, median};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Print() const {
        for (const char* setting : {"0", "380"}) {
            auto module = figures_.find({"BM_ModuleGetImage", setting});
            auto library = figures_.find({"BM_LibraryGetImage", setting});
            if (module == figures_.end() || library == figures_.end() || module->second.rate <= 0) continue;
            const Figures& m = module->second;
            const Figures& l = library->second;
            std::printf(
                "%s: module %.1f frames/s, library alone %.1f frames/s: overhead %.3fx (target <= 1.10); "
                "CPU per frame module %.1f us, library alone %.1f us: %.3fx%s\n",
                std::string(setting) == "0" ? "unpaced" : "paced at 380 MB/s", m.rate, l.rate,
                l.rate / m.rate, m.cpuPerFrame, l.cpuPerFrame,
                l.cpuPerFrame > 0 ? m.cpuPerFrame / l.cpuPerFrame : 0.0,
                m.median && l.median ? " (medians)" : "");
        }
    }

private:
    struct Figures {
        double rate = 0;
        double cpuPerFrame = 0;
        bool median = false;
    };
    std::map<std::pair<std::string, std::string>, Figures> figures_;
};
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    OverheadReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Print();
    benchmark::Shutdown();
    return 0;
}
