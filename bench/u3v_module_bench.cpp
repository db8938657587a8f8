// Frames through the module's USB3 Vision stream (the host's GetImage) next to frames through the
// USB3 Vision library alone (U3V_GetImage), in the same run, from simulated cameras at 1280x1024
// Mono8. Prints the module's overhead (library rate / module rate, target <= 1.10) and the
// allocations per frame once acquiring (target 0).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "KovonSim/SimU3V.h"
#include "Lumora/Lumora.h"
#include "system/System.h"
#include "u3v/tessa/Tessa.h"

namespace {
std::atomic<uint64_t> gAllocations{0};
constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr size_t kPayload = size_t(kWidth) * kHeight;

bool PlugCamera(const char* serial) {
    KovonSimU3VOptions o;
    KovonSimU3V_DefaultOptions(&o);
    o.serial = serial;
    o.model = "TK-U3-130M";
    o.width = kWidth;
    o.height = kHeight;
    return KovonSimU3V_PlugWith(&o) == 0;
}
}  // namespace

// Counts every allocation, so that the benchmark shows that a frame allocates nothing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

static void BM_ModuleGetImage(benchmark::State& state) {
    if (!PlugCamera("BENCHM")) {
        state.SkipWithError("plug failed");
        return;
    }
    Lumora::ISystem* system = new Kovon::CSystem;
    Lumora::IInterface* u3v = nullptr;
    Lumora::IDevice* device = nullptr;
    Lumora::IStream* stream = nullptr;
    unsigned count = 0;
    if (system->OpenInterface("Interface_U3Vision", u3v) != 0 || u3v->GetNumDevices(count, 100) != 0 ||
        u3v->OpenDevice("TK-U3-130M_SN_BENCHM", device) != 0 || device->OpenStream(0, stream) != 0 ||
        stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull) != 0) {
        state.SkipWithError("open failed");
        system->Release();
        KovonSimU3V_Unplug("BENCHM");
        return;
    }
    std::vector<uint8_t> frame(kPayload);
    uint64_t failures = 0;
    stream->GetImage(frame.data(), 1000);  // the first frame prepares the simulator
    const uint64_t allocBefore = gAllocations.load();
    for (auto _ : state) {
        failures += stream->GetImage(frame.data(), 1000) != 0;
        benchmark::DoNotOptimize(frame.data());
    }
    const uint64_t allocs = gAllocations.load() - allocBefore;
    uint64_t lost = 0;
    Lumora::u64 size = sizeof lost;
    stream->GetParam(6, &lost, size);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations() * kPayload));
    state.counters["allocs_per_frame"] = double(allocs) / double(state.iterations());
    state.counters["failed"] = double(failures);
    state.counters["lost"] = double(lost);
    stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    system->Release();
    KovonSimU3V_Unplug("BENCHM");
}
BENCHMARK(BM_ModuleGetImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

static void BM_LibraryGetImage(benchmark::State& state) {
    using namespace Kovon::Tessa;
    if (!PlugCamera("BENCHL")) {
        state.SkipWithError("plug failed");
        return;
    }
    U3V_HANDLE dev = nullptr, ctl = nullptr, stream = nullptr;
    U3V_DEVICE_INFORMATION info;
    // The same transfer size as the module chooses for this payload.
    if (U3V_OpenDevice("sim:u3v:BENCHL", &dev, 0, 0, &info) || U3V_OpenControl(dev, &ctl) ||
        U3V_OpenStream(dev, ctl, &stream, 1000) || U3V_SetTransferSize(stream, uint32_t(kPayload)) ||
        U3V_AcquisitionStart(stream, 0xFFFFFFFF)) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<uint8_t> frame(kPayload);
    U3V_FRAME_INFO fi;
    uint64_t failures = 0;
    U3V_GetImage(stream, frame.data(), 1000, &fi);
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
    KovonSimU3V_Unplug("BENCHL");
}
BENCHMARK(BM_LibraryGetImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

namespace {
class OverheadReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            auto it = r.counters.find("items_per_second");
            if (it != r.counters.end()) rate_[r.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Print() const {
        double module = 0, library = 0;
        for (auto& kv : rate_) {
            if (kv.first.find("BM_ModuleGetImage") == 0) module = kv.second;
            if (kv.first.find("BM_LibraryGetImage") == 0) library = kv.second;
        }
        if (module > 0 && library > 0)
            std::printf(
                "module %.1f frames/s, library alone %.1f frames/s: overhead %.3fx (target <= 1.10)\n",
                module, library, library / module);
    }

private:
    std::map<std::string, double> rate_;
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
