// Both USB transports through the real libusb on the emulated bench (tests/usbbench), each next to
// its reference on the same emulated camera, in one run:
//   - USB 2.0: bulk reads of 0x140000 bytes (one 1280 x 1024 Mono8 frame, the channel's largest
//     request) through the module's libusb backend (CEzusb::BulkRead) against plain synchronous
//     libusb bulk transfers of the same size from the same pipe;
//   - USB3 Vision: 1280 x 1024 Mono8 frames through the module's stream (GetImage) against the
//     USB3 Vision library alone (U3V_GetImage into the caller's buffer).
// Run under umockdev's preload library:
//   umockdev-wrapper build/bench/usb_emulated_bench --benchmark_repetitions=3
// It prints each pair's ratio (module / reference, throughput) after the benchmark output.
#include <benchmark/benchmark.h>
#include <libusb.h>
#include <time.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "system/System.h"
#include "u3v/tessa/Tessa.h"
#include "usb2/Ezusb.h"
#include "usb2/driver/LibusbDriver.h"
#include "usbbench/EmulatedBus.h"
#include "usbbench/U3vCamera.h"
#include "usbbench/Usb2Camera.h"

using namespace Kovon::UsbBench;

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024;
constexpr size_t kFrame = size_t(kWidth) * kHeight;  // 0x140000
constexpr uint16_t kAcquisitionStartRegister = 0x452;

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void SetCounters(benchmark::State& state, double cpuSeconds, uint64_t failures) {
    state.SetBytesProcessed(int64_t(state.iterations() * kFrame));
    state.SetItemsProcessed(state.iterations());
    state.counters["cpu_us_per_frame"] = cpuSeconds * 1e6 / double(state.iterations());
    state.counters["failed"] = double(failures);
}

// A USB 2.0 camera at 1280 x 1024 Mono8 sending as fast as it is read, plugged for one benchmark.
struct Usb2Rig {
    std::shared_ptr<Usb2Camera> camera;
    int id = 0;
    Usb2Rig() {
        Usb2CameraSpec spec;
        spec.camera.serial = {0x48, 0x11, 0x05, 0x00, 0x00, 0x09};
        spec.camera.firmware = 0x1203;
        camera = std::make_shared<Usb2Camera>(spec);
        camera->Sim()->WithCamera([](Kovon::Sim::SimUsb2Camera& c) {
            c.Poke(Kovon::Sim::SimUsb2Camera::kWidthRegister, kWidth);
            c.Poke(Kovon::Sim::SimUsb2Camera::kHeightRegister, kHeight);
        });
        camera->Sim()->SetFrameRate(0);
        id = EmulatedBus::Instance().Plug(camera);
    }
    ~Usb2Rig() { EmulatedBus::Instance().Unplug(id); }
};

void BM_Usb2PlainLibusb(benchmark::State& state) {
    Usb2Rig rig;
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    if (rig.id == 0 || libusb_init(&context) != 0 ||
        (handle = libusb_open_device_with_vid_pid(context, 0x1209, 0x4B32)) == nullptr ||
        libusb_claim_interface(handle, 0) != 0) {
        state.SkipWithError("open failed");
        if (context != nullptr) libusb_exit(context);
        return;
    }
    uint8_t answer[4];
    const uint16_t address = kAcquisitionStartRegister | 0x8000;
    libusb_control_transfer(handle, 0xC0, 0xB0, uint16_t((address >> 8) | (address << 8)), 0x0100, answer, 4, 1000);
    std::vector<uint8_t> frame(kFrame);
    uint64_t failures = 0;
    int got = 0;
    const double cpuBefore = ProcessCpuSeconds();
    for (auto _ : state) {
        failures += libusb_bulk_transfer(handle, Usb2Camera::kImageEndpoint, frame.data(), int(frame.size()), &got, 0) != 0 ||
                    size_t(got) != frame.size();
    }
    SetCounters(state, ProcessCpuSeconds() - cpuBefore, failures);
    libusb_close(handle);
    libusb_exit(context);
}
BENCHMARK(BM_Usb2PlainLibusb)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Usb2Backend(benchmark::State& state) {
    Usb2Rig rig;
    Kovon::SetHostUsb2Ids({{0x1209, 0x4B32}});
    Kovon::ProbeLibusbUsb2Cameras();
    Kovon::CEzusb channel;
    uint8_t start[2] = {1, 0};
    if (rig.id == 0 || !channel.Open("ZEDIVOXU-0") ||
        channel.WriteRegister(start, kAcquisitionStartRegister, sizeof start) != 0) {
        state.SkipWithError("open failed");
        return;
    }
    std::vector<uint8_t> frame(kFrame);
    uint64_t failures = 0;
    const double cpuBefore = ProcessCpuSeconds();
    for (auto _ : state) failures += channel.BulkRead(frame.data(), uint32_t(frame.size())) != 0;
    SetCounters(state, ProcessCpuSeconds() - cpuBefore, failures);
    channel.Close();
    Kovon::SetHostUsb2Ids({});
}
BENCHMARK(BM_Usb2Backend)->Unit(benchmark::kMicrosecond)->UseRealTime();

KovonSimU3VOptions U3vOptions(const char* serial) {
    KovonSimU3VOptions o = U3vCamera::DefaultOptions(serial, "TK-U3-130M");
    o.width = kWidth;
    o.height = kHeight;
    return o;
}

void BM_U3vModule(benchmark::State& state) {
    auto camera = std::make_shared<U3vCamera>(U3vOptions("EMUBM"));
    const int id = EmulatedBus::Instance().Plug(camera);
    Lumora::ISystem* system = new Kovon::CSystem;
    Lumora::IInterface* u3v = nullptr;
    Lumora::IDevice* device = nullptr;
    Lumora::IStream* stream = nullptr;
    unsigned count = 0;
    if (id == 0 || system->OpenInterface("Interface_U3Vision", u3v) != 0 || u3v->GetNumDevices(count, 100) != 0 ||
        u3v->OpenDevice("TK-U3-130M_SN_EMUBM", device) != 0 || device->OpenStream(0, stream) != 0 ||
        stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull) != 0) {
        state.SkipWithError("open failed");
    } else {
        std::vector<uint8_t> frame(kFrame);
        uint64_t failures = 0;
        stream->GetImage(frame.data(), 5000);
        const double cpuBefore = ProcessCpuSeconds();
        for (auto _ : state) failures += stream->GetImage(frame.data(), 5000) != 0;
        SetCounters(state, ProcessCpuSeconds() - cpuBefore, failures);
        stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    }
    system->Release();
    EmulatedBus::Instance().Unplug(id);
}
BENCHMARK(BM_U3vModule)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_U3vLibrary(benchmark::State& state) {
    using namespace Kovon::Tessa;
    auto camera = std::make_shared<U3vCamera>(U3vOptions("EMUBL"));
    const int id = EmulatedBus::Instance().Plug(camera);
    const std::string sys = EmulatedBus::Instance().SysfsPath(id);
    const std::string path = "usb:" + sys.substr(sys.rfind('/') + 1);
    U3V_HANDLE device = nullptr, control = nullptr, stream = nullptr;
    U3V_DEVICE_INFORMATION info;
    uint32_t maxTransfer = 0;
    if (id == 0 || U3V_OpenDevice(path.c_str(), &device, 0, 0, &info) != 0 || U3V_OpenControl(device, &control) != 0 ||
        U3V_ReadMem(control, 0x80010, 4, &maxTransfer) != 0 || U3V_OpenStream(device, control, &stream, 1000) != 0 ||
        U3V_SetTransferSize(stream, std::min<uint32_t>(maxTransfer, uint32_t(kFrame))) != 0 ||
        U3V_AcquisitionStart(stream, 0xFFFFFFFF) != 0) {
        state.SkipWithError("open failed");
    } else {
        std::vector<uint8_t> frame(kFrame);
        U3V_FRAME_INFO frameInfo;
        uint64_t failures = 0;
        U3V_GetImage(stream, frame.data(), 5000, &frameInfo);
        const double cpuBefore = ProcessCpuSeconds();
        for (auto _ : state) failures += U3V_GetImage(stream, frame.data(), 5000, &frameInfo) != 0;
        SetCounters(state, ProcessCpuSeconds() - cpuBefore, failures);
        U3V_AcquisitionStop(stream, nullptr, nullptr);
    }
    if (stream != nullptr) U3V_CloseStream(stream);
    if (control != nullptr) U3V_CloseControl(control);
    if (device != nullptr) U3V_CloseDevice(device);
    EmulatedBus::Instance().Unplug(id);
}
BENCHMARK(BM_U3vLibrary)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Prints, for each pair, the module's throughput and CPU per frame over its reference's (the
// medians when the runs are repeated).
class PairReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median) continue;
            Figures& f = figures_[r.run_name.function_name];
            if (f.median && !median) continue;
            auto rate = r.counters.find("bytes_per_second");
            auto cpu = r.counters.find("cpu_us_per_frame");
            if (rate != r.counters.end() && cpu != r.counters.end()) f = {rate->second.value, cpu->second.value, median};
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Print() const {
        const char* pairs[][3] = {{"USB 2.0 bulk reads", "BM_Usb2Backend", "BM_Usb2PlainLibusb"},
                                  {"USB3 Vision frames", "BM_U3vModule", "BM_U3vLibrary"}};
        for (const auto& p : pairs) {
            auto m = figures_.find(p[1]);
            auto r = figures_.find(p[2]);
            if (m == figures_.end() || r == figures_.end() || r->second.rate <= 0 || r->second.cpu <= 0) continue;
            std::printf("%s: module %.0f MB/s, reference %.0f MB/s: %.2fx; CPU per frame %.0f us against %.0f us: "
                        "%.2fx%s\n",
                        p[0], m->second.rate / 1e6, r->second.rate / 1e6, m->second.rate / r->second.rate,
                        m->second.cpu, r->second.cpu, m->second.cpu / r->second.cpu,
                        m->second.median && r->second.median ? " (medians)" : "");
        }
    }

private:
    struct Figures {
        double rate = 0;
        double cpu = 0;
        bool median = false;
    };
    std::map<std::string, Figures> figures_;
};

}  // namespace

int main(int argc, char** argv) {
    if (!UnderUmockdev()) {
        std::fprintf(stderr, "run under umockdev-wrapper: the emulated cameras need its preload library\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    PairReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Print();
    benchmark::Shutdown();
    return 0;
}
