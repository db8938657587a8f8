#include "u3v/tessa/transport/TransportRegistry.h"

#include <algorithm>

#include "u3v/tessa/transport/LibusbBackend.h"

namespace Kovon::Tessa::Transport {

namespace {
thread_local bool tOnNotifier = false;
}

Registry& Registry::Instance() {
    static Registry* registry = [] {
        auto* r = new Registry;  // lives for the process: backends and devices may outlive statics
        r->AddBackend(MakeLibusbBackend());
        return r;
    }();
    return *registry;
}

Registry::~Registry() {
    std::unique_lock<std::mutex> life(lifecycleMutex_);
    StopNotifier(life);
}

void Registry::AddBackend(std::shared_ptr<UsbBackend> backend) {
    if (!backend) return;
    std::lock_guard<std::mutex> lock(backendsMutex_);
    backends_.push_back(std::move(backend));
}

void Registry::RemoveBackend(const UsbBackend* backend) {
    std::lock_guard<std::mutex> lock(backendsMutex_);
    backends_.erase(std::remove_if(backends_.begin(), backends_.end(),
                                   [&](const std::shared_ptr<UsbBackend>& b) { return b.get() == backend; }),
                    backends_.end());
}

std::vector<UsbDeviceEntry> Registry::Enumerate() {
    std::vector<std::shared_ptr<UsbBackend>> backends;
    {
        std::lock_guard<std::mutex> lock(backendsMutex_);
        backends = backends_;
    }
    std::vector<UsbDeviceEntry> out;
    for (auto& b : backends) b->Enumerate(out);
    return out;
}

UsbStatus Registry::Open(const std::string& path, std::unique_ptr<UsbDevice>* out) {
    if (out == nullptr) return UsbStatus::kInvalidArg;
    std::vector<std::shared_ptr<UsbBackend>> backends;
    {
        std::lock_guard<std::mutex> lock(backendsMutex_);
        backends = backends_;
    }
    for (auto& b : backends)
        if (b->OwnsPath(path)) return b->Open(path, out);
    return UsbStatus::kNotFound;
}

void Registry::NotifyRemoval(const std::string& instanceId) {
    std::lock_guard<std::mutex> lock(noticeMutex_);
    if (listeners_.empty()) return;
    notices_.push_back(instanceId);
    noticeCv_.notify_all();
}

uint32_t Registry::Subscribe(RemovalListener listener) {
    if (!listener) return 0;
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    std::lock_guard<std::mutex> lock(noticeMutex_);
    uint32_t token = nextToken_++;
    if (nextToken_ == 0) nextToken_ = 1;
    listeners_.emplace(token, std::move(listener));
    if (!notifier_.joinable()) {
        stop_ = false;
        notifier_ = std::thread([this] { NotifierLoop(); });
    }
    return token;
}

void Registry::Unsubscribe(uint32_t token) {
    if (tOnNotifier) {
        // Inside a listener: the notifier holds no lock while it calls us, so just forget it.
        std::lock_guard<std::mutex> lock(noticeMutex_);
        listeners_.erase(token);
        return;
    }
    std::unique_lock<std::mutex> life(lifecycleMutex_);
    {
        std::unique_lock<std::mutex> lock(noticeMutex_);
        listeners_.erase(token);
        noticeCv_.wait(lock, [&] { return delivering_ != token; });
        if (!listeners_.empty()) return;
    }
    StopNotifier(life);
}

void Registry::StopNotifier(std::unique_lock<std::mutex>&) {
    {
        std::lock_guard<std::mutex> lock(noticeMutex_);
        stop_ = true;
        notices_.clear();
        noticeCv_.notify_all();
    }
    if (notifier_.joinable() && !tOnNotifier) notifier_.join();
}

void Registry::NotifierLoop() {
    tOnNotifier = true;
    std::unique_lock<std::mutex> lock(noticeMutex_);
    for (;;) {
        noticeCv_.wait(lock, [&] { return stop_ || !notices_.empty(); });
        if (stop_) return;
        std::string id = std::move(notices_.front());
        notices_.pop_front();
        std::vector<uint32_t> tokens;
        for (auto& kv : listeners_) tokens.push_back(kv.first);
        for (uint32_t t : tokens) {
            auto it = listeners_.find(t);
            if (it == listeners_.end() || stop_) continue;
            RemovalListener listener = it->second;
            delivering_ = t;
            lock.unlock();
            listener(id);
            lock.lock();
            delivering_ = 0;
            noticeCv_.notify_all();
        }
    }
}

}  // namespace Kovon::Tessa::Transport
