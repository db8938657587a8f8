#pragma once
// The simulated GigE Vision camera as a pure device model: bootstrap and camera registers,
// memory with the register description, control privilege with heartbeat expiry, stream and
// message channel settings, acquisition state. No I/O and no clock of its own: callers pass the
// requester and the time in milliseconds.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "gige/pelion/GvcpCodec.h"

namespace Kovon::Sim {

struct GigECameraIdentity {
    std::string model = "ZRA-GE500";
    std::string serial = "SIM0001";
    std::string manufacturer = "Tarvek";
    std::string version = "1.0.0";
    std::string manufacturerInfo = "Simulated GigE Vision camera";
    std::string userName;
    uint8_t mac[6] = {0x02, 0x4B, 0x56, 0x00, 0x00, 0x01};
    uint32_t ip = 0x7F000002;  // host order
    uint32_t mask = 0xFF000000;
    uint32_t gateway = 0;
};

struct GigEPeer {
    uint32_t ip = 0;  // host order
    uint16_t port = 0;
    bool operator==(const GigEPeer& o) const { return ip == o.ip && port == o.port; }
    bool operator!=(const GigEPeer& o) const { return !(*this == o); }
};

// What the stream sender needs, copied out under the adapter's lock.
struct GigEStreamConfig {
    bool acquiring = false;
    uint32_t destination = 0;  // host order
    uint16_t port = 0;
    uint32_t packetSize = 1500;
    uint32_t packetDelay = 0;
    uint32_t width = 0, height = 0, pixelFormat = 0;
    uint64_t payloadSize = 0;
    uint32_t framePeriodUs = 0;
    uint64_t generation = 0;  // changes whenever anything above changes
};

class GigECameraModel {
public:
    explicit GigECameraModel(GigECameraIdentity identity);

    // Control access from `from` at time `nowMs`. Each returns a GVCP device status.
    uint16_t ReadRegister(uint32_t address, uint32_t& value, const GigEPeer& from, uint64_t nowMs);
    uint16_t WriteRegister(uint32_t address, uint32_t value, const GigEPeer& from, uint64_t nowMs);
    uint16_t ReadMemory(uint32_t address, uint8_t* out, size_t size, const GigEPeer& from, uint64_t nowMs);
    uint16_t WriteMemory(uint32_t address, const uint8_t* data, size_t size, const GigEPeer& from, uint64_t nowMs);

    // Releases control when the controller has been silent longer than the heartbeat time-out.
    // Returns true when it did.
    bool ExpireHeartbeat(uint64_t nowMs);
    bool HasController() const { return controllerValid_; }

    Pelion::Gvcp::DeviceInfo DiscoveryInfo() const;
    // FORCEIP: true when the MAC is ours and the new address was taken.
    bool ApplyForceIp(const Pelion::Gvcp::ForceIpCommand& cmd);
    uint32_t Ip() const { return identity_.ip; }
    const GigECameraIdentity& Identity() const { return identity_; }

    GigEStreamConfig Stream() const;
    uint32_t MessageDestination() const { return Reg32(0x0B10); }
    uint16_t MessagePort() const { return static_cast<uint16_t>(Reg32(0x0B00)); }

    // Side effects the adapter carries out after a command.
    bool TakeTestPacketRequest();
    std::vector<uint16_t> TakeTestEvents();
    uint32_t TakeLongCommandDurationMs();
    void SetLongCommandDurationMs(uint32_t ms) { longCommandMs_ = ms; }

    // Acquisition driven from outside (a controller lost, a link dropped).
    void StopAcquisition();
    uint64_t NextBlockId();

private:
    bool IsController(const GigEPeer& p) const { return controllerValid_ && controller_ == p; }
    void Touch(const GigEPeer& from, uint64_t nowMs);
    void ReleaseControl();
    uint16_t WriteBootstrap(uint32_t address, uint32_t value);
    uint16_t WriteCamera(uint32_t address, uint32_t value);
    bool ReadCamera(uint32_t address, uint32_t& value) const;
    uint32_t Reg32(uint32_t address) const;
    void SetReg32(uint32_t address, uint32_t value);
    void SetText(uint32_t address, size_t field, const std::string& text);
    void UpdateUrl();

    GigECameraIdentity identity_;
    std::vector<uint8_t> bootstrap_;
    std::string xml_;
    std::vector<uint8_t> userMemory_;

    bool controllerValid_ = false;
    GigEPeer controller_;
    uint64_t lastHeartbeatMs_ = 0;

    uint32_t openMarker_ = 1;
    uint32_t width_ = 640, height_ = 480, pixelFormat_ = 0x01080001;
    uint32_t framePeriodUs_ = 0;
    uint32_t acquisitionMode_ = 0;
    bool acquiring_ = false;
    uint32_t longArgument_ = 0, longResult_ = 0;
    uint32_t longCommandMs_ = 300;
    uint32_t pendingLongMs_ = 0;
    bool testPacket_ = false;
    std::vector<uint16_t> testEvents_;
    uint64_t generation_ = 1;
    uint64_t blockId_ = 0;
};

}  // namespace Kovon::Sim
