#include "usb2/driver/DriverSeam.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace Kovon {
namespace {

struct Traffic {
    std::atomic<uint64_t> openAttempts{0};
    std::atomic<uint64_t> opens{0};
    std::atomic<uint64_t> descriptorRequests{0};
    std::atomic<uint64_t> vendorRequests{0};
    std::atomic<uint64_t> bulkReads{0};
    std::atomic<uint64_t> aborts{0};
};

Traffic& TrafficCounters() {
    static Traffic traffic;
    return traffic;
}

struct Registry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<IDriverInstance>> instances;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// Counts the requests of one handle on their way to the backend's handle.
class CountingHandle final : public IDriverHandle {
public:
    explicit CountingHandle(DriverHandle inner) : inner_(std::move(inner)) {}

    uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                       size_t& returned) override {
        Traffic& traffic = TrafficCounters();
        switch (code) {
            case kGetDeviceDescriptorCode:
                ++traffic.descriptorRequests;
                break;
            case kVendorRequestCode:
                ++traffic.vendorRequests;
                break;
            case kBulkReadCode:
                ++traffic.bulkReads;
                break;
            case kAbortPipeCode:
                ++traffic.aborts;
                break;
            default:
                break;
        }
        return inner_->IoControl(code, in, inSize, out, outSize, returned);
    }

private:
    DriverHandle inner_;
};

}  // namespace

DriverHandle OpenDriverPath(const char* path, uint32_t& error) {
    ++TrafficCounters().openAttempts;
    error = kDriverFileNotFound;
    if (path == nullptr) return nullptr;
    const size_t prefixLength = std::strlen(kDevicePathPrefix);
    if (std::strncmp(path, kDevicePathPrefix, prefixLength) != 0) return nullptr;
    std::shared_ptr<IDriverInstance> instance = DriverRegistry::Find(path + prefixLength);
    if (!instance) return nullptr;
    DriverHandle handle = instance->Open(error);
    if (!handle) {
        if (error == kDriverOk) error = kDriverFileNotFound;
        return nullptr;
    }
    error = kDriverOk;
    ++TrafficCounters().opens;
    return std::make_unique<CountingHandle>(std::move(handle));
}

void DriverRegistry::Register(const std::string& instanceName, std::shared_ptr<IDriverInstance> instance) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.instances[instanceName] = std::move(instance);
}

bool DriverRegistry::RegisterIfFree(const std::string& instanceName, std::shared_ptr<IDriverInstance> instance) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.instances.emplace(instanceName, std::move(instance)).second;
}

void DriverRegistry::Unregister(const std::string& instanceName) {
    UnregisterIf(instanceName, nullptr);
}

void DriverRegistry::UnregisterIf(const std::string& instanceName, const IDriverInstance* instance) {
    Registry& registry = TheRegistry();
    std::shared_ptr<IDriverInstance> removed;  // destroyed outside the lock
    std::lock_guard<std::mutex> guard(registry.lock);
    auto it = registry.instances.find(instanceName);
    if (it == registry.instances.end() || (instance != nullptr && it->second.get() != instance)) return;
    removed = std::move(it->second);
    registry.instances.erase(it);
}

std::shared_ptr<IDriverInstance> DriverRegistry::Find(const std::string& instanceName) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto it = registry.instances.find(instanceName);
    return it == registry.instances.end() ? nullptr : it->second;
}

DriverTraffic GetDriverTraffic() {
    const Traffic& traffic = TrafficCounters();
    DriverTraffic out;
    out.openAttempts = traffic.openAttempts.load();
    out.opens = traffic.opens.load();
    out.descriptorRequests = traffic.descriptorRequests.load();
    out.vendorRequests = traffic.vendorRequests.load();
    out.bulkReads = traffic.bulkReads.load();
    out.aborts = traffic.aborts.load();
    return out;
}

void ResetDriverTraffic() {
    Traffic& traffic = TrafficCounters();
    traffic.openAttempts = 0;
    traffic.opens = 0;
    traffic.descriptorRequests = 0;
    traffic.vendorRequests = 0;
    traffic.bulkReads = 0;
    traffic.aborts = 0;
}

}  // namespace Kovon
