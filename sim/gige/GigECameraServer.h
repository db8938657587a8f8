#pragma once
// The UDP adapter of the simulated GigE Vision camera: a GVCP server on <address>:3956 and a GVSP
// sender to the stream destination the host configured, both over the library's own codecs.
// One camera per address. The control thread answers commands and carries out their side
// effects; the stream thread sends frames and resent packets. Both are joined by Stop().
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "gige/pelion/GvcpCodec.h"
#include "gige/pelion/UdpSocket.h"
#include "sim/gige/GigECameraModel.h"

namespace Kovon::Sim {

struct GigECameraCounters {
    uint64_t commands = 0;         // control commands answered
    uint64_t framesSent = 0;
    uint64_t packetsSent = 0;      // stream packets sent, resent ones included
    uint64_t packetsDropped = 0;   // stream packets dropped by injected loss
    uint64_t resendRequests = 0;   // PACKETRESEND commands received
    uint64_t packetsResent = 0;
    uint64_t eventsSent = 0;
    uint64_t heartbeatExpiries = 0;
};

class GigECameraServer {
public:
    explicit GigECameraServer(GigECameraIdentity identity);
    ~GigECameraServer();
    GigECameraServer(const GigECameraServer&) = delete;
    GigECameraServer& operator=(const GigECameraServer&) = delete;

    // Binds <identity.ip>:3956 and starts the threads; false when the address is taken.
    bool Start();
    void Stop();

    // Fraction of stream packets (0 to 1) dropped before sending.
    void SetPacketLoss(double fraction);
    // A link that is down neither answers nor sends anything.
    void SetLinkUp(bool up);
    // Link speed that the stream sender keeps to, in bits per second; 0: no limit.
    void SetLinkSpeed(uint64_t bitsPerSecond);
    void SetLongCommandDuration(uint32_t ms);
    // Sends an event (with data when size > 0) on the message channel; false when no channel is
    // configured or the link is down.
    bool FireEvent(uint16_t eventId, const uint8_t* data, size_t size);
    GigECameraCounters Counters() const;
    uint32_t Ip() const;
    // Direct register access for the program that hosts the camera (as the controller would).
    GigEStreamConfig StreamConfig() const;

private:
    void ControlLoop();
    void StreamLoop();
    void HandleCommand(const uint8_t* data, size_t size, uint32_t ip, uint16_t port, bool broadcastSocket);
    void SendAck(const uint8_t* packet, size_t size, uint32_t ip, uint16_t port);
    void AfterCommand();
    bool SendEventLocked(uint16_t eventId, const uint8_t* data, size_t size);
    uint64_t NowMs() const;

    mutable std::mutex mutex_;  // guards model_, counters_, resend queue, sockets' identity
    GigECameraModel model_;
    GigECameraCounters counters_;
    Pelion::UdpSocket control_;
    Pelion::UdpSocket broadcast_;  // a non-loopback camera also hears broadcasts on the wildcard address
    Pelion::UdpSocket message_;
    std::deque<Pelion::Gvcp::PacketResendCommand> resends_;
    std::condition_variable wake_;
    uint16_t eventReqId_ = 0;

    std::atomic<bool> running_{false};
    std::atomic<bool> linkUp_{true};
    std::atomic<uint32_t> lossPpm_{0};
    std::atomic<uint64_t> linkBitsPerSecond_{1'000'000'000};
    std::thread controlThread_;
    std::thread streamThread_;
};

}  // namespace Kovon::Sim
