// Stream reception from the simulated GigE Vision camera, our receiver against Aravis's in the
// same run. The camera runs in its own process (kovon-sim), so the process CPU time measured
// here is the receiving side's alone. Reported per run: frames/s, MiB/s, lost and incomplete
// frames, CPU time per delivered complete frame; with 1 % injected packet loss, the share of
// complete frames. Both receivers take packets from a packet ring when the process may open one
// (they do when run as root): the kernel then copies each packet into the ring while it handles
// the camera's send, on loopback in the camera process, so the camera's CPU time per frame is
// reported too (camera_cpu_us_per_frame). OurReceiverSocket and AravisReceiverSocket keep both
// receivers on their UDP sockets.
//
// CPU counted for a receiver: every thread of this process while its run lasts (the receiving
// thread, the caller that collects frames, the heartbeat), read from the process CPU clock; only
// one receiver is open at a time. caller_cpu_us_per_frame is the collecting thread's share.
//
// Cases: injected packet loss in percent, and the camera's link speed in Mbit/s (0: as fast as it
// can send, which depends on how much CPU the receiver leaves it on a small machine; a fixed speed
// gives both receivers the same packet rate). Each case runs as interleaved pairs, ours and
// Aravis's, repeated (--pairs=N, default 5; the first receiver of a pair alternates), and a table
// of the medians per receiver and case follows the benchmark output. UdpChecksum: the software
// check of a stream packet's UDP checksum, next to a plain word-by-word sum.
#include <arpa/inet.h>
#include <arv.h>
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/PacketRing.h"
#include "gige/pelion/Pelion.h"
#include "gige/pelion/StreamReceiver.h"

using namespace Kovon::Pelion;

extern char** environ;

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024, kMono8 = 0x01080001;
constexpr int kFrames = 1000;

double CpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A simulated camera in its own process at 127.0.0.<last>, whose CPU time can be read.
class SimProcess {
public:
    SimProcess(int last, double loss, int64_t speedMbps) : address("127.0.0." + std::to_string(last)) {
        std::vector<std::string> argv = {KOVON_SIM_PATH,
                                         "--speed",
                                         std::to_string(speedMbps * 1'000'000),
                                         "--loss",
                                         std::to_string(loss),
                                         address + ",ZRA-GE500,BENCH"};
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~SimProcess() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // User and system time of the camera process so far, in seconds.
    double CpuSeconds() const {
        std::ifstream f("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        std::getline(f, line);
        const size_t end = line.rfind(')');
        if (end == std::string::npos) return 0;
        std::istringstream rest(line.substr(end + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {  // fields 14 and 15: utime, stime
            if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    std::string address;

private:
    pid_t pid_ = -1;
};

struct Run {
    double seconds = 0, cpu = 0, cameraCpu = 0, callerCpu = 0;
    int complete = 0, incomplete = 0;
    uint64_t lost = 0;
};

// Every run's figures by receiver and case, for the table of medians.
struct Figures {
    double framesPerS, cpuUs, cameraCpuUs, completePct, lost;
};
std::map<std::string, std::map<std::pair<int64_t, int64_t>, std::vector<Figures>>> gRuns;

void Report(benchmark::State& state, const char* receiver, const Run& r) {
    const double frames = r.complete + r.incomplete;
    state.counters["frames_per_s"] = frames / r.seconds;
    state.counters["MiB_per_s"] = frames * kWidth * kHeight / (1024.0 * 1024.0) / r.seconds;
    state.counters["lost"] = static_cast<double>(r.lost);
    state.counters["incomplete"] = r.incomplete;
    state.counters["complete_pct"] = frames > 0 ? 100.0 * r.complete / frames : 0;
    state.counters["complete_of_sent_pct"] =
        frames > 0 ? 100.0 * r.complete / (frames + static_cast<double>(r.lost)) : 0;
    state.counters["cpu_us_per_frame"] = r.complete > 0 ? r.cpu * 1e6 / r.complete : 0;
    state.counters["camera_cpu_us_per_frame"] = r.complete > 0 ? r.cameraCpu * 1e6 / r.complete : 0;
    state.counters["caller_cpu_us_per_frame"] = r.complete > 0 ? r.callerCpu * 1e6 / r.complete : 0;
    gRuns[receiver][{state.range(0), state.range(1)}].push_back(
        {state.counters["frames_per_s"], state.counters["cpu_us_per_frame"],
         state.counters["camera_cpu_us_per_frame"], state.counters["complete_of_sent_pct"],
         static_cast<double>(r.lost)});
}

// Each run gets a camera at a fresh address, so that nothing of an earlier run reaches it.
int NextCameraAddress() {
    static int last = 40;
    return ++last;
}

void Ours(benchmark::State& state, bool socketOnly) {
    const double loss = static_cast<double>(state.range(0)) / 100.0;
    const int last = NextCameraAddress();
    SimProcess sim(last, loss, state.range(1));
    ConnectionRecord c{};
    c.cameraIp[0] = 127, c.cameraIp[3] = static_cast<uint8_t>(last);
    c.hostAddress = htonl(0x7F000001);
    if (OpenCamera(60, &c, 0, 0, 1) != St::Ok) {
        state.SkipWithError("cannot open the simulated camera");
        return;
    }
    const uint32_t geometry[2] = {kWidth, kHeight};
    WriteRegisters(60, Reg::Width, 2, geometry);
    WriteRegisters(60, Reg::PixelFormat, 1, &kMono8);
    Kovon::Pelion::SetPacketRingAllowed(!socketOnly);
    OpenStreamChannel(60, c.hostAddress, 0, 0);
    Kovon::Pelion::SetPacketRingAllowed(true);
    StartAcquisition(60, 0);
    SetFrameBufferSize(60, kWidth * kHeight + 0x10000, 1464);
    FrameRecord r{};
    for (int i = 0; i < 10; ++i) WaitForFrame(60, &r);  // let the stream settle
    uint64_t first = UINT64_MAX, lastBlock = 0;

    Run run;
    const double cpu0 = CpuSeconds(), camera0 = sim.CpuSeconds(),
                 caller0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        Status st = WaitForFrame(60, &r);
        if (st == St::Timeout) continue;
        if (st == St::Ok)
            ++run.complete;
        else
            ++run.incomplete;
        first = std::min(first, r.blockId);
        lastBlock = std::max(lastBlock, r.blockId);
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = CpuSeconds() - cpu0;
    run.callerCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - caller0;
    run.cameraCpu = sim.CpuSeconds() - camera0;
    StopAcquisition(60);
    CloseStreamChannel(60);
    CloseCamera(60);
    run.lost = lastBlock - first + 1 - static_cast<uint64_t>(run.complete + run.incomplete);
    Report(state, socketOnly ? "OurReceiverSocket" : "OurReceiver", run);
}

void Theirs(benchmark::State& state, bool socketOnly) {
    const double loss = static_cast<double>(state.range(0)) / 100.0;
    SimProcess sim(NextCameraAddress(), loss, state.range(1));
    GError* error = nullptr;
    ArvCamera* camera = arv_camera_new(sim.address.c_str(), &error);
    if (camera == nullptr) {
        state.SkipWithError("Aravis cannot open the simulated camera");
        return;
    }
    if (socketOnly) arv_camera_gv_set_stream_options(camera, ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
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
        if (ArvBuffer* b = arv_stream_timeout_pop_buffer(stream, 1'000'000))
            arv_stream_push_buffer(stream, b);
    }
    uint64_t first = UINT64_MAX, lastBlock = 0;

    Run run;
    const double cpu0 = CpuSeconds(), camera0 = sim.CpuSeconds(),
                 caller0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        ArvBuffer* b = arv_stream_timeout_pop_buffer(stream, 1'000'000);
        if (b == nullptr) continue;
        if (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS)
            ++run.complete;
        else
            ++run.incomplete;
        first = std::min<uint64_t>(first, arv_buffer_get_frame_id(b));
        lastBlock = std::max<uint64_t>(lastBlock, arv_buffer_get_frame_id(b));
        arv_stream_push_buffer(stream, b);
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpu = CpuSeconds() - cpu0;
    run.callerCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - caller0;
    run.cameraCpu = sim.CpuSeconds() - camera0;
    arv_camera_stop_acquisition(camera, nullptr);
    g_object_unref(stream);
    g_object_unref(camera);
    run.lost = lastBlock - first + 1 - static_cast<uint64_t>(run.complete + run.incomplete);
    Report(state, socketOnly ? "AravisReceiverSocket" : "AravisReceiver", run);
}

// Checking the UDP checksum of a full-size stream packet in software, as the packet ring does when
// neither the network card nor the local origin vouches for it, next to a plain sum over 16-bit
// words of the same datagram.
std::vector<uint8_t> StreamDatagram() {
    std::vector<uint8_t> p(28 + 8 + 1464, 0);
    const size_t total = p.size(), udp = total - 20;
    // clang-format off
    const uint8_t header[28] = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 1, 0x40, 0,  // IPv4, no options
                                64, 17, 0, 0, 127, 0, 0, 9, 127, 0, 0, 1,                    // UDP from .9 to .1
                                0x12, 0x34, 0x56, 0x78, uint8_t(udp >> 8), uint8_t(udp), 0, 0};
    // clang-format on
    std::memcpy(p.data(), header, sizeof header);
    for (size_t i = 28; i < total; ++i) p[i] = static_cast<uint8_t>(i * 7);
    return p;
}

void UdpChecksum(benchmark::State& state) {
    const auto p = StreamDatagram();
    for (auto _ : state) benchmark::DoNotOptimize(UdpChecksumValid(p.data(), p.size()));
}

void WordByWordSum(benchmark::State& state) {
    const auto p = StreamDatagram();
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.data());
        uint64_t sum = 0;
        for (size_t i = 20; i + 1 < p.size(); i += 2) sum += (uint32_t{p[i]} << 8) | p[i + 1];
        while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
        benchmark::DoNotOptimize(sum);
    }
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void PrintMedians() {
    std::printf("\nMedians over the runs of each receiver and case (loss %%, Mbit/s; 0: unlimited)\n");
    std::printf("%-22s %5s %6s %5s %9s %12s %12s %11s %6s\n", "receiver", "loss", "speed", "runs", "frames/s",
                "cpu_us/frame", "camera_us/fr", "complete_%", "lost");
    for (const auto& [receiver, cases] : gRuns) {
        for (const auto& [c, runs] : cases) {
            auto column = [&](double Figures::*f) {
                std::vector<double> v;
                for (const Figures& r : runs) v.push_back(r.*f);
                return Median(v);
            };
            std::printf("%-22s %5lld %6lld %5zu %9.1f %12.1f %12.1f %11.2f %6.0f\n", receiver.c_str(),
                        static_cast<long long>(c.first), static_cast<long long>(c.second), runs.size(),
                        column(&Figures::framesPerS), column(&Figures::cpuUs), column(&Figures::cameraCpuUs),
                        column(&Figures::completePct), column(&Figures::lost));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // --pairs=N: how often each case runs as a pair of ours and Aravis's (ring, then socket).
    int pairs = 5;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--pairs=", 8) == 0)
            pairs = std::max(1, std::atoi(argv[i] + 8));
        else
            args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    const std::vector<std::pair<int64_t, int64_t>> cases = {{0, 0}, {1, 0}, {0, 2000}, {1, 2000}};
    using Fn = void (*)(benchmark::State&);
    const std::pair<const char*, Fn> ours[] = {
        {"OurReceiver", [](benchmark::State& s) { Ours(s, false); }},
        {"OurReceiverSocket", [](benchmark::State& s) { Ours(s, true); }}};
    const std::pair<const char*, Fn> theirs[] = {
        {"AravisReceiver", [](benchmark::State& s) { Theirs(s, false); }},
        {"AravisReceiverSocket", [](benchmark::State& s) { Theirs(s, true); }}};
    benchmark::RegisterBenchmark("UdpChecksum/1472", UdpChecksum);
    benchmark::RegisterBenchmark("UdpChecksum/1472/reference_word_by_word", WordByWordSum);
    for (int pair = 0; pair < pairs; ++pair) {
        for (const auto& c : cases) {
            for (int path = 0; path < 2; ++path) {
                const auto& first = pair % 2 == 0 ? ours[path] : theirs[path];
                const auto& second = pair % 2 == 0 ? theirs[path] : ours[path];
                for (const auto& [name, fn] : {first, second})
                    benchmark::RegisterBenchmark(name, fn)
                        ->Args({c.first, c.second})
                        ->Iterations(kFrames)
                        ->UseRealTime()
                        ->Unit(benchmark::kMillisecond);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintMedians();
    return 0;
}
