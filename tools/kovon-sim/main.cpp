// kovon-sim: runs simulated GigE Vision cameras until interrupted.
//   kovon-sim [--loss FRACTION] [--speed BITS_PER_SECOND] ADDRESS[,MODEL[,SERIAL]] ...
// Each camera answers GVCP on ADDRESS:3956 (for example 127.0.0.5) and streams to whatever
// destination its controlling host sets.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "KovonSim/SimGigE.h"

namespace {
volatile std::sig_atomic_t stop = 0;
void OnSignal(int) { stop = 1; }

int Usage() {
    std::fprintf(stderr, "usage: kovon-sim [--loss FRACTION] [--speed BITS_PER_SECOND] ADDRESS[,MODEL[,SERIAL]] ...\n");
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    double loss = 0;
    unsigned long long speed = 1000000000ull;
    std::vector<std::string> specs;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--loss" && i + 1 < argc) {
            loss = std::atof(argv[++i]);
        } else if (a == "--speed" && i + 1 < argc) {
            speed = std::strtoull(argv[++i], nullptr, 10);
        } else if (!a.empty() && a[0] != '-') {
            specs.push_back(a);
        } else {
            return Usage();
        }
    }
    if (specs.empty()) return Usage();
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    std::vector<KovonSimGigE*> cameras;
    for (const std::string& spec : specs) {
        std::string parts[3];
        size_t k = 0, start = 0;
        for (size_t pos; k < 2 && (pos = spec.find(',', start)) != std::string::npos; start = pos + 1) parts[k++] = spec.substr(start, pos - start);
        parts[k] = spec.substr(start);
        KovonSimGigE* cam = nullptr;
        int rc = KovonSimGigE_Plug(parts[0].c_str(), parts[1].empty() ? nullptr : parts[1].c_str(),
                                   parts[2].empty() ? nullptr : parts[2].c_str(), nullptr, &cam);
        if (rc != 0) {
            std::fprintf(stderr, "kovon-sim: cannot plug a camera at %s (%s)\n", parts[0].c_str(),
                         rc == -2 ? "address taken or not local" : "bad address");
            for (auto* c : cameras) KovonSimGigE_Unplug(c);
            return 1;
        }
        KovonSimGigE_SetPacketLoss(cam, loss);
        KovonSimGigE_SetLinkSpeed(cam, speed);
        cameras.push_back(cam);
        std::printf("camera at %s:3956\n", parts[0].c_str());
    }
    std::fflush(stdout);
    while (!stop) ::pause();
    for (auto* c : cameras) KovonSimGigE_Unplug(c);
    return 0;
}
