// Stream reception from the simulated GigE Vision camera, our receiver against Aravis's in the
// same run. The camera runs in its own process (kovon-sim), so the process CPU time measured
// here is the receiving side's alone. Reported per run: frames/s, MiB/s, lost and incomplete
// frames, CPU time per frame; with 1 % injected packet loss, the share of complete frames.
#include <arpa/inet.h>
#include <arv.h>
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gige/PelionPeerProcess.h"
#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/Pelion.h"

using namespace Kovon::Pelion;

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024, kMono8 = 0x01080001;
constexpr int kFrames = 1000;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A simulated camera in its own process at 127.0.0.<last>.
struct SimProcess {
    SimProcess(int last, double loss)
        : address("127.0.0." + std::to_string(last)),
          process({KOVON_SIM_PATH, "--speed", "0", "--loss", std::to_string(loss), address + ",ZRA-GE500,BENCH"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::string address;
    PelionTest::PeerProcess process;
};

void Report(benchmark::State& state, double seconds, double cpu, int complete, int incomplete, uint64_t lost) {
    const double frames = complete + incomplete;
    state.counters["frames_per_s"] = frames / seconds;
    state.counters["MiB_per_s"] = frames * kWidth * kHeight / (1024.0 * 1024.0) / seconds;
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["incomplete"] = incomplete;
    state.counters["complete_pct"] = frames > 0 ? 100.0 * complete / frames : 0;
    state.counters["cpu_us_per_frame"] = frames > 0 ? cpu * 1e6 / frames : 0;
}

void OurReceiver(benchmark::State& state) {
    const double loss = static_cast<double>(state.range(0)) / 100.0;
    SimProcess sim(loss > 0 ? 31 : 30, loss);
    ConnectionRecord c{};
    c.cameraIp[0] = 127, c.cameraIp[3] = static_cast<uint8_t>(loss > 0 ? 31 : 30);
    c.hostAddress = htonl(0x7F000001);
    if (OpenCamera(60, &c, 0, 0, 1) != St::Ok) {
        state.SkipWithError("cannot open the simulated camera");
        return;
    }
    const uint32_t geometry[2] = {kWidth, kHeight};
    WriteRegisters(60, Reg::Width, 2, geometry);
    WriteRegisters(60, Reg::PixelFormat, 1, &kMono8);
    OpenStreamChannel(60, c.hostAddress, 0, 0);
    StartAcquisition(60, 0);
    SetFrameBufferSize(60, kWidth * kHeight + 0x10000, 1464);
    FrameRecord r{};
    for (int i = 0; i < 10; ++i) WaitForFrame(60, &r);  // let the stream settle
    uint64_t first = UINT64_MAX, last = 0;

    int complete = 0, incomplete = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        Status st = WaitForFrame(60, &r);
        if (st == St::Timeout) continue;
        if (st == St::Ok) ++complete;
        else ++incomplete;
        first = std::min(first, r.blockId);
        last = std::max(last, r.blockId);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    StopAcquisition(60);
    CloseStreamChannel(60);
    CloseCamera(60);
    Report(state, seconds, cpu, complete, incomplete, last - first + 1 - (complete + incomplete));
}

void AravisReceiver(benchmark::State& state) {
    const double loss = static_cast<double>(state.range(0)) / 100.0;
    SimProcess sim(loss > 0 ? 33 : 32, loss);
    GError* error = nullptr;
    ArvCamera* camera = arv_camera_new(sim.address.c_str(), &error);
    if (camera == nullptr) {
        state.SkipWithError("Aravis cannot open the simulated camera");
        return;
    }
    arv_camera_set_integer(camera, "Width", kWidth, nullptr);
    arv_camera_set_integer(camera, "Height", kHeight, nullptr);
    arv_camera_set_string(camera, "PixelFormat", "Mono8", nullptr);
    const guint payload = arv_camera_get_payload(camera, nullptr);
    ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, nullptr);
    if (stream == nullptr) {
        g_object_unref(camera);
        state.SkipWithError("Aravis cannot create a stream");
        return;
    }
    for (int i = 0; i < 16; ++i) arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(camera, nullptr);
    for (int i = 0; i < 10; ++i) {
        if (ArvBuffer* b = arv_stream_timeout_pop_buffer(stream, 1'000'000)) arv_stream_push_buffer(stream, b);
    }
    uint64_t first = UINT64_MAX, last = 0;

    int complete = 0, incomplete = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        ArvBuffer* b = arv_stream_timeout_pop_buffer(stream, 1'000'000);
        if (b == nullptr) continue;
        if (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS) ++complete;
        else ++incomplete;
        first = std::min<uint64_t>(first, arv_buffer_get_frame_id(b));
        last = std::max<uint64_t>(last, arv_buffer_get_frame_id(b));
        arv_stream_push_buffer(stream, b);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    arv_camera_stop_acquisition(camera, nullptr);
    g_object_unref(stream);
    g_object_unref(camera);
    Report(state, seconds, cpu, complete, incomplete, last - first + 1 - (complete + incomplete));
}

}  // namespace

// Argument: injected packet loss in percent.
BENCHMARK(OurReceiver)->Arg(0)->Arg(1)->Iterations(kFrames)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AravisReceiver)->Arg(0)->Arg(1)->Iterations(kFrames)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
