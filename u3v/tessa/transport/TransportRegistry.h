#pragma once
// The backends the USB3 Vision library searches, and the removal notices they raise. Backends
// add themselves; discovery lists the devices of all of them in the order they were added.
// Removal notices are queued and delivered to the subscribers on a notifier thread that runs
// while at least one subscriber exists.
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "u3v/tessa/transport/UsbTransport.h"

namespace Kovon::Tessa::Transport {

class Registry {
public:
    static Registry& Instance();

    void AddBackend(std::shared_ptr<UsbBackend> backend);
    void RemoveBackend(const UsbBackend* backend);

    std::vector<UsbDeviceEntry> Enumerate();
    UsbStatus Open(const std::string& path, std::unique_ptr<UsbDevice>* out);

    // Called by backends from any thread.
    void NotifyRemoval(const std::string& instanceId);

    // Returns a token for Unsubscribe. Unsubscribe returns once the listener runs no more; called
    // from inside a listener it only stops later deliveries.
    uint32_t Subscribe(RemovalListener listener);
    void Unsubscribe(uint32_t token);

    Registry() = default;
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

private:
    void NotifierLoop();
    void StopNotifier(std::unique_lock<std::mutex>& lifecycle);

    std::mutex backendsMutex_;
    std::vector<std::shared_ptr<UsbBackend>> backends_;

    std::mutex lifecycleMutex_;  // serialises start and stop of the notifier thread
    std::mutex noticeMutex_;     // guards everything below
    std::condition_variable noticeCv_;
    std::map<uint32_t, RemovalListener> listeners_;
    uint32_t nextToken_ = 1;
    uint32_t delivering_ = 0;
    std::deque<std::string> notices_;
    bool stop_ = false;
    std::thread notifier_;
};

}  // namespace Kovon::Tessa::Transport
