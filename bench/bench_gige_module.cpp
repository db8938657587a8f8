// Frames through the whole module (Acquire, then the host's wait and GetImage copy for each
// frame) next to the GigE Vision library alone doing the same work (wait for a frame, copy it
// into the caller's buffer), in the same run, from the same simulated camera at its highest rate
// (kovon-sim without a link-speed limit, in its own process, so the process CPU time measured
// here is the receiving side's alone). Reported: frames/s, CPU time per frame, faulty frames;
// each module run adds its overhead against the library run just before it: frame-rate ratio
// (library frames/s over module frames/s) and CPU ratio (module CPU per frame over library's).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gige/PelionPeerProcess.h"
#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/Pelion.h"
#include "support/ModuleLoader.h"

using namespace Kovon::Pelion;

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024, kMono8 = 0x01080001;
constexpr int kFrames = 1000;
constexpr int kCameraLast = 20;  // 127.0.0.20
constexpr uint8_t kLibraryIndex = 61;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct SimProcess {
    SimProcess()
        : address("127.0.0." + std::to_string(kCameraLast)),
          process({KOVON_SIM_PATH, "--speed", "0", address + ",ZRA-GE500,MODBENCH"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::string address;
    PelionTest::PeerProcess process;
};

struct Figures {
    double framesPerSecond = 0;
    double cpuPerFrameUs = 0;
};
Figures libraryFigures;

void Report(benchmark::State& state, double seconds, double cpu, int good, int faulty, Figures& out) {
    const double frames = good + faulty;
    out.framesPerSecond = frames / seconds;
    out.cpuPerFrameUs = frames > 0 ? cpu * 1e6 / frames : 0;
    state.counters["frames_per_s"] = out.framesPerSecond;
    state.counters["cpu_us_per_frame"] = out.cpuPerFrameUs;
    state.counters["faulty"] = faulty;
}

void LibraryAlone(benchmark::State& state) {
    SimProcess sim;
    ConnectionRecord c{};
    c.cameraIp[0] = 127, c.cameraIp[3] = kCameraLast;
    c.hostAddress = htonl(0x7F000001);
    c.hostMask = htonl(0xFF000000);
    if (OpenCamera(kLibraryIndex, &c, 0, 0, 1) != St::Ok) {
        state.SkipWithError("cannot open the simulated camera");
        return;
    }
    SettingsRecord settings{};
    ReadSettings(kLibraryIndex, &settings);
    settings.frameWaitTimeoutMs = 1000;  // as the module sets it
    WriteSettings(kLibraryIndex, &settings);
    const uint32_t geometry[2] = {kWidth, kHeight};
    WriteRegisters(kLibraryIndex, Reg::Width, 2, geometry);
    WriteRegisters(kLibraryIndex, Reg::PixelFormat, 1, &kMono8);
    OpenStreamChannel(kLibraryIndex, c.hostAddress, 0, 0);
    StartAcquisition(kLibraryIndex, 0);
    SetFrameBufferSize(kLibraryIndex, kWidth * kHeight + 0x10000, 1464);
    void* frameBuffer = nullptr;
    GetFrameBuffer(kLibraryIndex, 0, &frameBuffer);
    std::vector<uint8_t> image(kWidth * kHeight);
    FrameRecord r{};
    for (int i = 0; i < 10; ++i) WaitForFrame(kLibraryIndex, &r);  // let the stream settle

    int good = 0, faulty = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const Status st = WaitForFrame(kLibraryIndex, &r);
        if (st == St::Timeout) continue;
        if (st == St::Ok) {
            std::memcpy(image.data(), frameBuffer, image.size());
            ++good;
        } else {
            ++faulty;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    StopAcquisition(kLibraryIndex);
    CloseStreamChannel(kLibraryIndex);
    CloseCamera(kLibraryIndex);
    Report(state, seconds, cpu, good, faulty, libraryFigures);
}

int SetReg(Lumora::IDevice* device, Lumora::u64 id, uint32_t value) {
    uint32_t wire = htonl(value);
    Lumora::u64 size = sizeof wire;
    return device->SetParam(id, &wire, size);
}

void ThroughTheModule(benchmark::State& state) {
    SimProcess sim;
    Lumora::ISystem* system = KovonTest::ModuleLoader::Instance().NewSystem();
    Lumora::IInterface* gige = nullptr;
    Lumora::IDevice* device = nullptr;
    Lumora::IStream* stream = nullptr;
    system->OpenInterface("Interface_GigEVision", gige);
    for (int attempt = 0; attempt < 10 && device == nullptr; ++attempt) {
        unsigned count = 0;
        gige->GetNumDevices(count, 300);
        gige->OpenDevice("ZRA-GE500_SN_MODBENCH", device);
    }
    if (device == nullptr || SetReg(device, Reg::Width, kWidth) != 0 || SetReg(device, Reg::Height, kHeight) != 0 ||
        SetReg(device, Reg::PixelFormat, kMono8) != 0 || device->OpenStream(0, stream) != 0 ||
        stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0) != 0) {
        state.SkipWithError("cannot open and start the simulated camera through the module");
        system->Release();
        return;
    }
    std::vector<uint8_t> image(kWidth * kHeight);
    auto next = [&] {
        uint32_t ready = 0;
        Lumora::u64 size = sizeof ready;
        stream->GetParam(3, &ready, size);
        return ready == 1 ? stream->GetImage(image.data(), 0) : 1;
    };
    for (int i = 0; i < 10; ++i) next();  // let the stream settle

    int good = 0, faulty = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const int status = next();
        if (status == 0) ++good;
        else if (status == -3) ++faulty;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    system->Release();
    Figures module;
    Report(state, seconds, cpu, good, faulty, module);
    if (module.framesPerSecond > 0 && libraryFigures.framesPerSecond > 0) {
        state.counters["fps_overhead_x"] = libraryFigures.framesPerSecond / module.framesPerSecond;
        state.counters["cpu_overhead_x"] = module.cpuPerFrameUs / libraryFigures.cpuPerFrameUs;
    }
}

}  // namespace

// Rounds of a library run followed by a module run, interleaved so that both see the same load
// of a shared machine; each module run reports its overhead against the library run before it.
int main(int argc, char** argv) {
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        const std::string suffix = "/round:" + std::to_string(round);
        benchmark::RegisterBenchmark(("LibraryAlone" + suffix).c_str(), LibraryAlone)
            ->Iterations(kFrames)->UseRealTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("ThroughTheModule" + suffix).c_str(), ThroughTheModule)
            ->Iterations(kFrames)->UseRealTime()->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
