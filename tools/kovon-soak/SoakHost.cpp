#include "SoakHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <thread>

namespace KovonSoak {

namespace {

template <typename Fn>
void Resolve(void* handle, const char* name, Fn& fn, std::string& missing) {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
    if (fn == nullptr && missing.empty()) missing = name;
}

}  // namespace

Module::Module(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        return;
    }
    getSystem_ = reinterpret_cast<int (*)(Lumora::ISystem**)>(dlsym(handle_, "GetSystem"));
    if (getSystem_ == nullptr) {
        error_ = path + " exports no GetSystem";
        return;
    }
    std::string& m = sim_.missing;
    Resolve(handle_, "KovonSimUsb2_Plug", sim_.usb2Plug, m);
    Resolve(handle_, "KovonSimUsb2_Unplug", sim_.usb2Unplug, m);
    Resolve(handle_, "KovonSimUsb2_SetFrameRate", sim_.usb2SetFrameRate, m);
    Resolve(handle_, "KovonSimUsb2_GetFrames", sim_.usb2GetFrames, m);
    Resolve(handle_, "KovonSimUsb2_LoseBytes", sim_.usb2LoseBytes, m);
    Resolve(handle_, "KovonSimUsb2_StallPipe", sim_.usb2StallPipe, m);
    Resolve(handle_, "KovonSimUsb2_FailRequests", sim_.usb2FailRequests, m);
    Resolve(handle_, "KovonSimUsb2_IsAcquiring", sim_.usb2IsAcquiring, m);
    Resolve(handle_, "KovonSimU3V_DefaultOptions", sim_.u3vDefaultOptions, m);
    Resolve(handle_, "KovonSimU3V_PlugWith", sim_.u3vPlugWith, m);
    Resolve(handle_, "KovonSimU3V_Unplug", sim_.u3vUnplug, m);
    Resolve(handle_, "KovonSimU3V_UnplugCounted", sim_.u3vUnplugCounted, m);
    Resolve(handle_, "KovonSimU3V_InjectDroppedFrames", sim_.u3vInjectDropped, m);
    Resolve(handle_, "KovonSimU3V_InjectFailedFrames", sim_.u3vInjectFailed, m);
    Resolve(handle_, "KovonSimU3V_InjectIncompleteFrames", sim_.u3vInjectIncomplete, m);
    Resolve(handle_, "KovonSimU3V_InjectControlFaults", sim_.u3vInjectControlFaults, m);
    Resolve(handle_, "KovonSimU3V_GetCounters", sim_.u3vGetCounters, m);
    Resolve(handle_, "KovonSimGigE_Plug", sim_.gigePlug, m);
    Resolve(handle_, "KovonSimGigE_Unplug", sim_.gigeUnplug, m);
    Resolve(handle_, "KovonSimGigE_SetPacketLoss", sim_.gigeSetPacketLoss, m);
    Resolve(handle_, "KovonSimGigE_SetLink", sim_.gigeSetLink, m);
    Resolve(handle_, "KovonSimGigE_GetCounters", sim_.gigeGetCounters, m);
    if (!m.empty()) error_ = path + " lacks the simulator function " + m;
}

Module::~Module() {
    // The module stays loaded: its process-wide state (library threads already joined, tables)
    // lives until exit, as it does in a host.
}

Lumora::ISystem* Module::NewSystem() const {
    Lumora::ISystem* system = nullptr;
    if (getSystem_ == nullptr || getSystem_(&system) != 0) return nullptr;
    return system;
}

void SleepUnless(const std::atomic<bool>& stop, uint32_t ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop.load() && Clock::now() < until) {
        const auto left = until - Clock::now();
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(20)));
    }
}

std::string DeviceName(Lumora::IInterface* itf, unsigned index) {
    char name[256] = {};
    Lumora::u64 size = sizeof name;
    if (itf->GetDeviceName(index, name, size) != 0) return {};
    name[sizeof name - 1] = '\0';
    return name;
}

std::vector<std::string> ListDevices(Lumora::IInterface* itf, unsigned timeoutMs) {
    std::vector<std::string> names;
    unsigned count = 0;
    if (itf->GetNumDevices(count, timeoutMs) != 0) return names;
    for (unsigned i = 0; i < count; ++i) {
        std::string name = DeviceName(itf, i);
        if (!name.empty()) names.push_back(std::move(name));
    }
    return names;
}

bool WaitListed(Lumora::IInterface* itf, const std::string& name, unsigned timeoutMs, int attempts,
                const std::atomic<bool>& stop) {
    for (int i = 0; i < attempts && !stop.load(); ++i) {
        const std::vector<std::string> names = ListDevices(itf, timeoutMs);
        if (std::find(names.begin(), names.end(), name) != names.end()) return true;
        SleepUnless(stop, 100);
    }
    return false;
}

bool FrameReady(Lumora::IStream* stream) {
    uint32_t ready = 0;
    Lumora::u64 size = sizeof ready;
    return stream->GetParam(3, &ready, size) == 0 && ready == 1;
}

}  // namespace KovonSoak
