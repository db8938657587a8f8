#pragma once
// Host threads that work the object tree while the runners stream: info copies of interfaces,
// devices and streams taken and released, listings, and the cameras nobody streams opened (with a
// stream) and closed again, both through the runners' own system and through systems of their
// own that are made and released whole. Error 31 bursts hit the USB 2.0 camera they open.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "Runners.h"
#include "SoakHost.h"

namespace KovonSoak {

class Churn {
public:
    // `shared`: the system the runners use and its three opened interfaces (USB, GigE, U3V).
    Churn(const Module& module, Lumora::ISystem* shared, Lumora::IInterface* const interfaces[3],
          const std::atomic<bool>& stop, uint32_t seed);

    // Works on the shared system until the stop is set.
    void RunShared();
    // Makes, works and releases systems of its own until the stop is set.
    void RunOwnSystems();

    uint64_t Calls() const { return calls_.load(); }
    uint64_t Progress() const { return calls_.load(); }
    std::map<std::string, uint64_t> Counts() const;
    std::vector<std::string> Problems() const;

private:
    void InfoCopies(Lumora::ISystem* system, std::mt19937& random);
    void ListAndCopy(Lumora::IInterface* itf, unsigned discoveryMs);
    // Opens the camera, reads its identity, opens and reads its stream, and releases it.
    void OpenAndClose(Lumora::IInterface* itf, const char* name, bool releaseDevice);
    void Count(const std::string& what, uint64_t n = 1);
    void Problem(const std::string& text);
    int Call(int status) {
        calls_.fetch_add(1);
        return status;
    }

    const Module& module_;
    Lumora::ISystem* shared_;
    Lumora::IInterface* interfaces_[3];
    const std::atomic<bool>& stop_;
    uint32_t seed_;
    std::atomic<uint64_t> calls_{0};
    mutable std::mutex mutex_;
    std::map<std::string, uint64_t> counts_;
    std::vector<std::string> problems_;
};

}  // namespace KovonSoak
