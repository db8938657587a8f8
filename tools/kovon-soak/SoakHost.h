#pragma once
// kovon-soak reaches the module only as a host does: dlopen, GetSystem, the host interfaces, and
// the exported simulator functions resolved by name.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "KovonSim/SimGigE.h"
#include "KovonSim/SimU3V.h"
#include "KovonSim/SimUsb2.h"
#include "Lumora/Lumora.h"

namespace KovonSoak {

// The simulator functions the soak uses, each resolved from the module.
struct SimApi {
    decltype(&KovonSimUsb2_Plug) usb2Plug = nullptr;
    decltype(&KovonSimUsb2_Unplug) usb2Unplug = nullptr;
    decltype(&KovonSimUsb2_SetFrameRate) usb2SetFrameRate = nullptr;
    decltype(&KovonSimUsb2_GetFrames) usb2GetFrames = nullptr;
    decltype(&KovonSimUsb2_LoseBytes) usb2LoseBytes = nullptr;
    decltype(&KovonSimUsb2_StallPipe) usb2StallPipe = nullptr;
    decltype(&KovonSimUsb2_FailRequests) usb2FailRequests = nullptr;
    decltype(&KovonSimUsb2_IsAcquiring) usb2IsAcquiring = nullptr;

    decltype(&KovonSimU3V_DefaultOptions) u3vDefaultOptions = nullptr;
    decltype(&KovonSimU3V_PlugWith) u3vPlugWith = nullptr;
    decltype(&KovonSimU3V_Unplug) u3vUnplug = nullptr;
    decltype(&KovonSimU3V_UnplugCounted) u3vUnplugCounted = nullptr;
    decltype(&KovonSimU3V_InjectDroppedFrames) u3vInjectDropped = nullptr;
    decltype(&KovonSimU3V_InjectFailedFrames) u3vInjectFailed = nullptr;
    decltype(&KovonSimU3V_InjectIncompleteFrames) u3vInjectIncomplete = nullptr;
    decltype(&KovonSimU3V_InjectControlFaults) u3vInjectControlFaults = nullptr;
    decltype(&KovonSimU3V_GetCounters) u3vGetCounters = nullptr;

    decltype(&KovonSimGigE_Plug) gigePlug = nullptr;
    decltype(&KovonSimGigE_Unplug) gigeUnplug = nullptr;
    decltype(&KovonSimGigE_SetPacketLoss) gigeSetPacketLoss = nullptr;
    decltype(&KovonSimGigE_SetLink) gigeSetLink = nullptr;
    decltype(&KovonSimGigE_GetCounters) gigeGetCounters = nullptr;

    // The name of the first function the module does not export; empty when all are there.
    std::string missing;
};

class Module {
public:
    // Loads the module at `path`; Ok() tells whether it and every simulator function are there.
    explicit Module(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    bool Ok() const { return getSystem_ != nullptr && sim_.missing.empty(); }
    const std::string& Error() const { return error_; }
    // A new, independent system; null when the module cannot make one. The caller releases it.
    Lumora::ISystem* NewSystem() const;
    const SimApi& Sim() const { return sim_; }

private:
    void* handle_ = nullptr;
    int (*getSystem_)(Lumora::ISystem**) = nullptr;
    SimApi sim_;
    std::string error_;
};

using Clock = std::chrono::steady_clock;

inline uint64_t MsSince(Clock::time_point start) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Sleeps `ms` in short steps, returning early once `stop` is set.
void SleepUnless(const std::atomic<bool>& stop, uint32_t ms);

// Texts and values through the (id, buffer, size) calls.
std::string DeviceName(Lumora::IInterface* itf, unsigned index);
// Lists the interface's cameras (one discovery of `timeoutMs`); empty on failure.
std::vector<std::string> ListDevices(Lumora::IInterface* itf, unsigned timeoutMs);
// Lists until `name` is among the cameras, at most `attempts` times.
bool WaitListed(Lumora::IInterface* itf, const std::string& name, unsigned timeoutMs, int attempts,
                const std::atomic<bool>& stop);

template <typename T>
T StreamValue(Lumora::IStream* stream, Lumora::u64 id, int* status = nullptr) {
    T value{};
    Lumora::u64 size = sizeof value;
    const int rc = stream->GetParam(id, &value, size);
    if (status != nullptr) *status = rc;
    return value;
}

template <typename T>
int SetStreamValue(Lumora::IStream* stream, Lumora::u64 id, T value) {
    Lumora::u64 size = sizeof value;
    return stream->SetParam(id, &value, size);
}

// Waits for the stream's next outcome with parameter 3 (up to the stream's image time-out).
bool FrameReady(Lumora::IStream* stream);

}  // namespace KovonSoak
