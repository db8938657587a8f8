// kovon-soak: all three transports acquire from simulated cameras for a set time while faults are
// injected on a schedule and other host threads work the object tree; then the module must still
// list, open and stream every camera, and every frame a camera generated must be accounted for.
// Prints a report; exit code 0 only when nothing failed.
//
//   kovon-soak [--seconds N] [--session-seconds N] [--fault-ms N] [--seed N] [--module PATH]
//              [--gige-address A] [--gige-churn-address A] [--transports usb2,gige,u3v] [--verbose]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Churn.h"
#include "Runners.h"
#include "SoakHost.h"

#ifndef KOVON40_MODULE_PATH
#define KOVON40_MODULE_PATH "libkovon40.so"
#endif

// Present when LeakSanitizer is linked in: a leak check that the program can run and report itself.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace KovonSoak {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoModule = 3;
constexpr int kExitHung = 4;
// How long the threads may take to finish after the stop before the soak counts them as hung.
constexpr uint32_t kJoinGraceMs = 120000;

void Usage() {
    std::fprintf(stderr,
                 "usage: kovon-soak [--seconds N] [--session-seconds N] [--fault-ms N] [--seed N]\n"
                 "                  [--module PATH] [--gige-address A] [--gige-churn-address A]\n"
                 "                  [--transports usb2,gige,u3v] [--verbose]\n");
}

bool ParseNumber(const char* text, uint32_t& value) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || v > 86400000ul) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

struct Plugged {
    const SimApi& sim;
    std::vector<unsigned> usb2;
    std::vector<std::string> u3v;
    std::vector<KovonSimGigE*> gige;
    std::string error;

    explicit Plugged(const SimApi& s) : sim(s) {}
    ~Plugged() {
        for (unsigned i : usb2) sim.usb2Unplug(i);
        for (const std::string& serial : u3v) sim.u3vUnplug(serial.c_str());
        for (KovonSimGigE* c : gige) sim.gigeUnplug(c);
    }

    bool PlugAll(const Options& options) {
        const unsigned char serials[2][6] = {{0x48, 0x11, 0x05, 0x00, 0x00, 0x01}, {0x48, 0x51, 0x05, 0x00, 0x00, 0x02}};
        const unsigned instances[2] = {Cameras::kUsb2Streamed, Cameras::kUsb2Churn};
        for (int i = 0; i < 2; ++i) {
            const int rc = sim.usb2Plug(instances[i], serials[i], 0x1203, 0x0200);
            if (rc != 0) return Fail("USB 2.0 camera at instance " + std::to_string(instances[i]), rc);
            usb2.push_back(instances[i]);
        }
        sim.usb2SetFrameRate(Cameras::kUsb2Streamed, 50);
        for (const char* serial : {Cameras::kU3vStreamed, Cameras::kU3vChurn}) {
            KovonSimU3VOptions o;
            sim.u3vDefaultOptions(&o);
            o.serial = serial;
            o.model = Cameras::kU3vModel;
            o.width = Cameras::kU3vWidth;
            o.height = Cameras::kU3vHeight;
            const int rc = sim.u3vPlugWith(&o);
            if (rc != 0) return Fail(std::string("USB3 Vision camera ") + serial, rc);
            u3v.push_back(serial);
        }
        const std::pair<std::string, const char*> gigeCameras[2] = {
            {options.gigeAddress, Cameras::kGigEStreamed}, {options.gigeChurnAddress, Cameras::kGigEChurn}};
        for (const auto& g : gigeCameras) {
            KovonSimGigE* camera = nullptr;
            const int rc = sim.gigePlug(g.first.c_str(), Cameras::kGigEModel, g.second, nullptr, &camera);
            if (rc != 0 || camera == nullptr) return Fail("GigE Vision camera at " + g.first, rc);
            gige.push_back(camera);
        }
        return true;
    }

    bool Fail(const std::string& what, int rc) {
        error = "cannot plug the simulated " + what + " (status " + std::to_string(rc) + ")";
        return false;
    }
};

// The module after the soak: a fresh system lists every streamed camera, opens it and streams a
// few frames from it. Returns the failures.
std::vector<std::string> FinalCheck(const Module& module, const std::atomic<bool>& never) {
    std::vector<std::string> failures;
    Lumora::ISystem* system = module.NewSystem();
    if (system == nullptr) return {"GetSystem made no system"};
    struct Target {
        const char* itf;
        const char* name;
        unsigned discoveryMs;
        uint64_t start;  // USB 2.0: the map address that starts the camera
    };
    const Target targets[] = {{"Interface_USB", Cameras::kUsb2StreamedName, 0, 0x154},
                              {"Interface_GigEVision", Cameras::kGigEStreamedName, 300, 0},
                              {"Interface_U3Vision", Cameras::kU3vStreamedName, 0, 0}};
    for (const Target& t : targets) {
        Lumora::IInterface* itf = nullptr;
        if (system->OpenInterface(t.itf, itf) != 0 || itf == nullptr) {
            failures.push_back(std::string("OpenInterface(") + t.itf + ")");
            continue;
        }
        if (!WaitListed(itf, t.name, t.discoveryMs, 20, never)) {
            failures.push_back(std::string(t.name) + " not listed");
            continue;
        }
        Lumora::IDevice* device = nullptr;
        int rc = 0;
        for (int attempt = 0; attempt < 20; ++attempt) {
            // A GigE Vision camera whose last controller vanished frees itself after its heartbeat.
            if ((rc = itf->OpenDevice(t.name, device)) == 0) break;
            SleepUnless(never, 250);
        }
        Lumora::IStream* stream = nullptr;
        if (rc != 0 || device == nullptr || device->OpenStream(0, stream) != 0 || stream == nullptr) {
            failures.push_back(std::string(t.name) + " cannot be opened (" + std::to_string(rc) + ")");
            if (device != nullptr) device->Release();
            continue;
        }
        SetStreamValue<uint32_t>(stream, 2, 2000);
        if (t.start != 0) {
            // A USB 2.0 camera's stream takes its geometry from the device's settings.
            for (const auto& setting : {std::pair<uint64_t, uint32_t>{0x108, 640}, {0x10C, 480}, {0x120, 0x01080001}}) {
                uint32_t value = setting.second;
                Lumora::u64 size = sizeof value;
                device->SetParam(setting.first, &value, size);
            }
        }
        if (stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull) != 0) {
            failures.push_back(std::string(t.name) + ": Acquire refused");
            device->Release();
            continue;
        }
        if (t.start != 0) {
            uint32_t one = 1;
            Lumora::u64 size = sizeof one;
            device->SetParam(t.start, &one, size);
        }
        std::vector<uint8_t> frame(StreamValue<uint64_t>(stream, 4) * 3 + 64);
        int good = 0;
        for (int i = 0; i < 20 && good < 5; ++i)
            if (FrameReady(stream) && stream->GetImage(frame.data(), 1000) == 0) ++good;
        if (good < 5) failures.push_back(std::string(t.name) + ": " + std::to_string(good) + " of 5 frames");
        if (t.start != 0) {
            uint32_t zero = 0;
            Lumora::u64 size = sizeof zero;
            device->SetParam(t.start, &zero, size);
        }
        stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
        device->Release();
    }
    system->Release();
    return failures;
}

void PrintMap(const char* title, const std::map<std::string, uint64_t>& values) {
    for (const auto& v : values)
        std::printf("    %-58s %llu\n", (std::string(title) + v.first).c_str(),
                    static_cast<unsigned long long>(v.second));
}

int Main(int argc, char** argv) {
    Options options;
    std::string modulePath = KOVON40_MODULE_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--seconds" && hasValue) {
            if (!ParseNumber(argv[++i], options.seconds) || options.seconds == 0) return Usage(), kExitUsage;
        } else if (arg == "--session-seconds" && hasValue) {
            if (!ParseNumber(argv[++i], options.sessionSeconds) || options.sessionSeconds < 3)
                return Usage(), kExitUsage;
        } else if (arg == "--fault-ms" && hasValue) {
            if (!ParseNumber(argv[++i], options.faultEveryMs) || options.faultEveryMs < 100) return Usage(), kExitUsage;
        } else if (arg == "--seed" && hasValue) {
            if (!ParseNumber(argv[++i], options.seed)) return Usage(), kExitUsage;
        } else if (arg == "--module" && hasValue) {
            modulePath = argv[++i];
        } else if (arg == "--gige-address" && hasValue) {
            options.gigeAddress = argv[++i];
        } else if (arg == "--transports" && hasValue) {
            const std::string list = std::string(",") + argv[++i] + ",";
            const char* keys[3] = {",usb2,", ",gige,", ",u3v,"};
            for (int t = 0; t < 3; ++t) options.run[t] = list.find(keys[t]) != std::string::npos;
        } else if (arg == "--gige-churn-address" && hasValue) {
            options.gigeChurnAddress = argv[++i];
        } else {
            Usage();
            return kExitUsage;
        }
    }

    Module module(modulePath);
    if (!module.Ok()) {
        std::fprintf(stderr, "kovon-soak: %s\n", module.Error().c_str());
        return kExitNoModule;
    }
    std::vector<std::string> failures;
    std::atomic<bool> stop{false};
    std::atomic<bool> never{false};
    std::map<std::string, uint64_t> churnCounts;
    uint64_t churnCalls = 0;
    std::vector<std::unique_ptr<Runner>> runners;
    {
        Plugged plugged(module.Sim());
        if (!plugged.PlugAll(options)) {
            std::fprintf(stderr, "kovon-soak: %s\n", plugged.error.c_str());
            return kExitFailed;
        }
        Lumora::ISystem* system = module.NewSystem();
        if (system == nullptr) {
            std::fprintf(stderr, "kovon-soak: GetSystem made no system\n");
            return kExitFailed;
        }
        Lumora::IInterface* interfaces[3] = {};
        const char* names[3] = {"Interface_USB", "Interface_GigEVision", "Interface_U3Vision"};
        for (int i = 0; i < 3; ++i) {
            if (system->OpenInterface(names[i], interfaces[i]) != 0 || interfaces[i] == nullptr) {
                std::fprintf(stderr, "kovon-soak: OpenInterface(%s) failed\n", names[i]);
                system->Release();
                return kExitFailed;
            }
        }

        std::printf("kovon-soak: %u s, sessions of %u s, a fault about every %u ms per transport, seed %u\n",
                    options.seconds, options.sessionSeconds, options.faultEveryMs, options.seed);
        std::fflush(stdout);
        runners.push_back(std::make_unique<Usb2Runner>(module, interfaces[0], options, stop));
        runners.push_back(std::make_unique<GigERunner>(module, interfaces[1], options, stop, plugged.gige[0]));
        runners.push_back(std::make_unique<U3vRunner>(module, interfaces[2], options, stop));
        Churn churn(module, system, interfaces, stop, options.seed);

        std::vector<std::thread> threads;
        const char* threadNames[5] = {"USB2 runner", "GigE runner", "U3V runner", "tree calls (shared system)",
                                      "tree calls (own systems)"};
        std::atomic<bool> done[5] = {};
        for (size_t i = 0; i < runners.size(); ++i) {
            if (!options.run[i]) {
                done[i].store(true);
                continue;
            }
            threads.emplace_back([&, i] {
                runners[i]->Run();
                done[i].store(true);
            });
        }
        threads.emplace_back([&] {
            churn.RunShared();
            done[3].store(true);
        });
        threads.emplace_back([&] {
            churn.RunOwnSystems();
            done[4].store(true);
        });

        const auto start = Clock::now();
        uint64_t lastReport = 0;
        while (MsSince(start) < uint64_t{options.seconds} * 1000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const uint64_t seconds = MsSince(start) / 1000;
            if (seconds >= lastReport + 30) {
                lastReport = seconds;
                std::printf("  %llu s: frames delivered USB2 %llu, GigE %llu, U3V %llu; tree calls %llu\n",
                            static_cast<unsigned long long>(seconds),
                            static_cast<unsigned long long>(runners[0]->Result().Total().delivered),
                            static_cast<unsigned long long>(runners[1]->Result().Total().delivered),
                            static_cast<unsigned long long>(runners[2]->Result().Total().delivered),
                            static_cast<unsigned long long>(churn.Calls()));
                std::fflush(stdout);
            }
        }
        stop.store(true);
        // A thread that does not finish is a hang: report it and leave without waiting further.
        std::atomic<bool> joined{false};
        std::thread watchdog([&] {
            const auto since = Clock::now();
            while (!joined.load()) {
                if (MsSince(since) > kJoinGraceMs) {
                    for (int i = 0; i < 5; ++i)
                        if (!done[i].load())
                            std::printf("FAIL: %s did not finish within %u s of the stop (hang)\n", threadNames[i],
                                        kJoinGraceMs / 1000);
                    std::fflush(stdout);
                    std::_Exit(kExitHung);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        for (std::thread& t : threads) t.join();
        joined.store(true);
        watchdog.join();

        churnCounts = churn.Counts();
        churnCalls = churn.Calls();
        for (const std::string& p : churn.Problems()) failures.push_back("tree calls: " + p);
        system->Release();

        for (const std::string& f : FinalCheck(module, never)) failures.push_back("after the soak: " + f);
    }  // the simulated cameras are unplugged here

    // ---- report ----
    std::printf("\n== kovon-soak report: %u s, seed %u\n", options.seconds, options.seed);
    std::printf("  %-9s %8s %10s %10s %8s %8s %10s %11s\n", "transport", "sessions", "generated", "delivered",
                "faulty", "lost", "in flight", "difference");
    int64_t totalDifference = 0;
    for (size_t i = 0; i < runners.size(); ++i) {
        if (!options.run[i]) continue;
        const Ledger& l = runners[i]->Result();
        const SessionCount t = l.Total();
        totalDifference += t.Difference() < 0 ? -t.Difference() : t.Difference();
        std::printf("  %-9s %8llu %10llu %10llu %8llu %8llu %10llu %11lld\n", l.Transport().c_str(),
                    static_cast<unsigned long long>(l.Sessions()), static_cast<unsigned long long>(t.generated),
                    static_cast<unsigned long long>(t.delivered), static_cast<unsigned long long>(t.faulty),
                    static_cast<unsigned long long>(t.lost), static_cast<unsigned long long>(t.inFlight),
                    static_cast<long long>(t.Difference()));
        if (l.Sessions() == 0 || t.delivered == 0) failures.push_back(l.Transport() + ": no frame delivered");
        for (const std::string& p : l.Problems()) failures.push_back(l.Transport() + ": " + p);
    }
    std::printf("  faults injected:\n");
    for (const auto& r : runners) PrintMap((r->Result().Transport() + " ").c_str(), r->Result().Faults());
    std::printf("  observed:\n");
    for (const auto& r : runners) PrintMap((r->Result().Transport() + " ").c_str(), r->Result().Notes());
    std::printf("  concurrent tree calls: %llu\n", static_cast<unsigned long long>(churnCalls));
    PrintMap("", churnCounts);
    std::printf("  after the soak the module lists, opens and streams every camera: %s\n",
                std::any_of(failures.begin(), failures.end(),
                            [](const std::string& f) { return f.rfind("after the soak", 0) == 0; })
                    ? "no"
                    : "yes");
    std::printf("  crashes 0 (this report was reached)\n");
    if (__lsan_do_recoverable_leak_check != nullptr) {
        std::fflush(stdout);
        const int leaks = __lsan_do_recoverable_leak_check();
        std::printf("  leaks %s (LeakSanitizer)\n", leaks != 0 ? "FOUND (see above)" : "0");
        if (leaks != 0) failures.push_back("LeakSanitizer found leaks");
    } else {
        std::printf("  leaks not checked (a build without LeakSanitizer)\n");
    }
    if (totalDifference != 0 && failures.empty()) failures.push_back("frames not accounted for");
    for (const std::string& f : failures) std::printf("FAIL: %s\n", f.c_str());
    std::printf("%s\n", failures.empty() ? "PASS" : "FAIL");
    std::fflush(stdout);
    return failures.empty() ? 0 : kExitFailed;
}

}  // namespace
}  // namespace KovonSoak

int main(int argc, char** argv) { return KovonSoak::Main(argc, argv); }
