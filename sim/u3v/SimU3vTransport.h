#pragma once
// Serves simulated USB3 Vision cameras to the USB3 Vision library as a USB backend: paths
// "sim:u3v:<serial>", instance ids "SIM\U3V\<serial>". The control endpoint answers commands from
// the camera model, the event endpoint carries fired events, the stream endpoint hands out the
// model's stream transfers as fast as they are read, or at the pace of a link of a set rate.
#include <memory>
#include <string>

#include "KovonSim/SimU3V.h"
#include "sim/u3v/SimU3vCamera.h"

namespace Kovon::Sim {

class SimU3vBus {
public:
    static SimU3vBus& Instance();

    int Plug(const KovonSimU3VOptions& options);
    // `last`, when given, receives the counters as they stood at the removal.
    int Unplug(const std::string& serial, KovonSimU3VCounters* last = nullptr);
    int UnplugAll();
    // Runs fn on the camera's model under the camera's lock; -1007 when no such camera.
    template <typename Fn>
    int WithCamera(const std::string& serial, Fn&& fn);
    int FireEvent(const std::string& serial, uint16_t eventId, const uint8_t* data, uint16_t length);
    // 0: unpaced.
    int SetStreamRate(const std::string& serial, uint64_t bytesPerSecond);

    struct Impl;

private:
    SimU3vBus();
    int Locked(const std::string& serial, void (*call)(SimU3vCamera&, void*), void* arg);
    std::shared_ptr<Impl> impl_;
};

template <typename Fn>
int SimU3vBus::WithCamera(const std::string& serial, Fn&& fn) {
    return Locked(serial, [](SimU3vCamera& c, void* f) { (*static_cast<Fn*>(f))(c); }, &fn);
}

}  // namespace Kovon::Sim
