#include "sim/u3v/SimU3vTransport.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "Lumora/Status.h"
#include "u3v/tessa/transport/TransportRegistry.h"

namespace Kovon::Sim {

using namespace Kovon::Tessa::Transport;

namespace {

constexpr const char* kPathPrefix = "sim:u3v:";

// One plugged camera: the model, its endpoints' queues and the plug state, under one lock.
struct SimDevice {
    explicit SimDevice(const KovonSimU3VOptions& o) : camera(o) {
        entry.path = kPathPrefix + std::string(o.serial);
        entry.instanceId = "SIM\\U3V\\" + std::string(o.serial);
        entry.vendorId = 0x1209;
        entry.productId = 0x5533;
        entry.speed = 4;
        entry.manufacturer = "Tarvek";
        entry.model = o.model;
        entry.family = "SimU3V";
        entry.version = "1.0.0";
        entry.serial = o.serial;
        entry.guid = "SIMU3V-" + std::string(o.serial);
        entry.hasEvent = true;
        entry.hasStream = true;
    }

    std::mutex mutex;
    std::condition_variable cv;
    SimU3vCamera camera;
    UsbDeviceEntry entry;
    bool plugged = true;
    bool opened = false;
    std::deque<std::vector<uint8_t>> acks;
    std::deque<std::vector<uint8_t>> events;
    uint64_t cancelGeneration[3] = {0, 0, 0};
    // Stream pacing: the link's rate (0: unpaced) and when it has carried its last transfer.
    uint64_t streamRate = 0;
    std::chrono::steady_clock::time_point linkFree{};
};

class SimUsbDevice final : public UsbDevice {
public:
    explicit SimUsbDevice(std::shared_ptr<SimDevice> d) : d_(std::move(d)) {}
    ~SimUsbDevice() override {
        std::lock_guard<std::mutex> lock(d_->mutex);
        d_->opened = false;
    }

    const UsbDeviceEntry& Entry() const override { return d_->entry; }

    UsbStatus Claim(Channel) override {
        std::lock_guard<std::mutex> lock(d_->mutex);
        return d_->plugged ? UsbStatus::kOk : UsbStatus::kNoDevice;
    }
    void ReleaseClaim(Channel) override {}

    UsbStatus BulkOut(Channel c, const uint8_t* data, size_t size, unsigned, size_t* sent) override {
        if (sent) *sent = 0;
        if (c != Channel::kControl || (size && data == nullptr)) return UsbStatus::kInvalidArg;
        std::lock_guard<std::mutex> lock(d_->mutex);
        if (!d_->plugged) return UsbStatus::kNoDevice;
        std::vector<std::vector<uint8_t>> acks;
        d_->camera.HandleCommand(data, size, acks);
        for (auto& a : acks) d_->acks.push_back(std::move(a));
        if (sent) *sent = size;
        d_->cv.notify_all();
        return UsbStatus::kOk;
    }

    UsbStatus BulkIn(Channel c, uint8_t* data, size_t cap, unsigned timeoutMs, size_t* got) override {
        if (got) *got = 0;
        if (cap && data == nullptr) return UsbStatus::kInvalidArg;
        std::unique_lock<std::mutex> lock(d_->mutex);
        const uint64_t generation = d_->cancelGeneration[size_t(c)];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (!d_->plugged) return UsbStatus::kNoDevice;
            if (d_->cancelGeneration[size_t(c)] != generation) return UsbStatus::kCancelled;
            if (c == Channel::kStream) {
                size_t n = 0;
                bool overflow = false;
                const auto taken = std::chrono::steady_clock::now();
                if (d_->camera.NextStreamTransfer(data, cap, &n, &overflow)) {
                    const UsbStatus paced = Pace(lock, generation, taken, n);
                    if (paced != UsbStatus::kOk) return paced;
                    if (got) *got = n;
                    return overflow ? UsbStatus::kOverflow : UsbStatus::kOk;
                }
            } else {
                auto& q = c == Channel::kControl ? d_->acks : d_->events;
                if (!q.empty()) {
                    std::vector<uint8_t> packet = std::move(q.front());
                    q.pop_front();
                    if (packet.size() > cap) return UsbStatus::kOverflow;
                    std::memcpy(data, packet.data(), packet.size());
                    if (got) *got = packet.size();
                    return UsbStatus::kOk;
                }
            }
            if (d_->cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                // One last look: the wake-up may have come with the deadline.
                if (!d_->plugged) return UsbStatus::kNoDevice;
                if (c == Channel::kStream ? !d_->camera.Streaming()
                                          : (c == Channel::kControl ? d_->acks : d_->events).empty())
                    return UsbStatus::kTimeout;
            }
        }
    }

    void Cancel(Channel c) override {
        std::lock_guard<std::mutex> lock(d_->mutex);
        ++d_->cancelGeneration[size_t(c)];
        d_->cv.notify_all();
    }

private:
    // With a paced stream, waits (the lock released) until the link has carried a transfer of n
    // bytes that was taken at 'taken'. The wait ends early on a cancel or an unplug.
    UsbStatus Pace(std::unique_lock<std::mutex>& lock, uint64_t generation, std::chrono::steady_clock::time_point taken,
                   size_t n) {
        if (d_->streamRate == 0) return UsbStatus::kOk;
        const auto carried = std::chrono::nanoseconds(uint64_t(double(n) * 1e9 / double(d_->streamRate)));
        const auto arrives = std::max(taken, d_->linkFree) + carried;
        d_->linkFree = arrives;
        while (std::chrono::steady_clock::now() < arrives) {
            if (!d_->plugged) return UsbStatus::kNoDevice;
            if (d_->cancelGeneration[size_t(Channel::kStream)] != generation) return UsbStatus::kCancelled;
            d_->cv.wait_until(lock, arrives);
        }
        return UsbStatus::kOk;
    }

    std::shared_ptr<SimDevice> d_;
};

}  // namespace

struct SimU3vBus::Impl final : UsbBackend {
    std::mutex mutex;  // guards the map; each device has its own lock
    std::map<std::string, std::shared_ptr<SimDevice>> devices;

    bool OwnsPath(const std::string& path) const override { return path.rfind(kPathPrefix, 0) == 0; }

    void Enumerate(std::vector<UsbDeviceEntry>& out) override {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& kv : devices) out.push_back(kv.second->entry);
    }

    UsbStatus Open(const std::string& path, std::unique_ptr<UsbDevice>* out) override {
        std::shared_ptr<SimDevice> d;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = devices.find(path.substr(std::string(kPathPrefix).size()));
            if (it == devices.end() || !OwnsPath(path)) return UsbStatus::kNotFound;
            d = it->second;
        }
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->plugged) return UsbStatus::kNotFound;
        if (d->opened) return UsbStatus::kAccess;
        d->opened = true;
        d->acks.clear();
        d->events.clear();
        *out = std::make_unique<SimUsbDevice>(d);
        return UsbStatus::kOk;
    }

    std::shared_ptr<SimDevice> Find(const std::string& serial) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = devices.find(serial);
        return it == devices.end() ? nullptr : it->second;
    }
};

SimU3vBus& SimU3vBus::Instance() {
    static SimU3vBus* bus = new SimU3vBus;  // registered with the library for the process's life
    return *bus;
}

SimU3vBus::SimU3vBus() : impl_(std::make_shared<Impl>()) { Registry::Instance().AddBackend(impl_); }

int SimU3vBus::Plug(const KovonSimU3VOptions& o) {
    auto valid = [](const char* s) { return s != nullptr && s[0] != '\0' && std::strlen(s) <= 60; };
    if (!valid(o.serial) || !valid(o.model) || o.width == 0 || o.height == 0 || o.maxCommandLength < 32 ||
        o.maxAckLength < 32 || o.maxCommandLength > 65535 || o.maxAckLength > 65535 || o.alignmentShift > 12 ||
        (o.pixelFormat != 0x01080001 && o.pixelFormat != 0x01100007) ||
        uint64_t(o.width) * o.height * ((o.pixelFormat >> 16 & 0xFF) / 8) > (256u << 20))
        return Lumora::GC_ERR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->devices.count(o.serial)) return Lumora::GC_ERR_RESOURCE_IN_USE;
    impl_->devices.emplace(o.serial, std::make_shared<SimDevice>(o));
    return Lumora::GC_ERR_SUCCESS;
}

int SimU3vBus::Unplug(const std::string& serial, KovonSimU3VCounters* last) {
    std::shared_ptr<SimDevice> d;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        auto it = impl_->devices.find(serial);
        if (it == impl_->devices.end()) return Lumora::GC_ERR_INVALID_ID;
        d = it->second;
        impl_->devices.erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->plugged = false;
        if (last != nullptr) *last = d->camera.Counters();
        d->cv.notify_all();
    }
    Registry::Instance().NotifyRemoval(d->entry.instanceId);
    return Lumora::GC_ERR_SUCCESS;
}

int SimU3vBus::UnplugAll() {
    std::vector<std::string> serials;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        for (auto& kv : impl_->devices) serials.push_back(kv.first);
    }
    for (auto& s : serials) Unplug(s);
    return Lumora::GC_ERR_SUCCESS;
}

int SimU3vBus::Locked(const std::string& serial, void (*call)(SimU3vCamera&, void*), void* arg) {
    std::shared_ptr<SimDevice> d = impl_->Find(serial);
    if (!d) return Lumora::GC_ERR_INVALID_ID;
    std::lock_guard<std::mutex> lock(d->mutex);
    call(d->camera, arg);
    d->cv.notify_all();  // the model may have started streaming
    return Lumora::GC_ERR_SUCCESS;
}

int SimU3vBus::SetStreamRate(const std::string& serial, uint64_t bytesPerSecond) {
    std::shared_ptr<SimDevice> d = impl_->Find(serial);
    if (!d) return Lumora::GC_ERR_INVALID_ID;
    std::lock_guard<std::mutex> lock(d->mutex);
    d->streamRate = bytesPerSecond;
    d->linkFree = {};
    return Lumora::GC_ERR_SUCCESS;
}

int SimU3vBus::FireEvent(const std::string& serial, uint16_t eventId, const uint8_t* data, uint16_t length) {
    std::shared_ptr<SimDevice> d = impl_->Find(serial);
    if (!d) return Lumora::GC_ERR_INVALID_ID;
    std::lock_guard<std::mutex> lock(d->mutex);
    std::vector<uint8_t> packet;
    if (d->camera.MakeEvent(eventId, data, length, packet)) {
        d->events.push_back(std::move(packet));
        d->cv.notify_all();
    }
    return Lumora::GC_ERR_SUCCESS;
}

}  // namespace Kovon::Sim
