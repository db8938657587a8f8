#pragma once
// A camera of the USB 2.0 family on the emulated bus: the simulated camera of sim/usb2 (its
// register file answering vendor request 0xB0, its frame generator feeding the bulk pipe) behind
// a high-speed device whose interface 0 has bulk OUT 0x01 (pipe 0) and bulk IN 0x82 (pipe 1).
// The descriptors can be replaced to make a device that lies about itself.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/usb2/SimUsb2Driver.h"
#include "usbbench/EmulatedDevice.h"

namespace Kovon::UsbBench {

struct Usb2CameraSpec {
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x4B32;
    Sim::SimUsb2Config camera;  // serial bytes, firmware word, bcdUSB, colour sensor
    // When not empty, these replace the device's own descriptors.
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configuration;
};

class Usb2Camera final : public EmulatedDevice {
public:
    static constexpr uint8_t kImageEndpoint = 0x82;

    explicit Usb2Camera(const Usb2CameraSpec& spec);
    ~Usb2Camera() override;

    // The simulated camera now plugged (a replug powers up a new one): faults, frames, counters.
    std::shared_ptr<Sim::SimUsb2Instance> Sim();
    // While set, vendor requests are never answered (the host's control time-out ends them).
    void SetSilent(bool silent);
    // A camera that answers register requests with this many bytes instead of 4 (0: its own).
    void SetAnswerLength(size_t bytes);
    // The device's own descriptors for a spec (what Describe gives without replacements).
    static std::vector<uint8_t> DeviceDescriptorOf(const Usb2CameraSpec& spec);
    static std::vector<uint8_t> ConfigurationOf();

    DeviceDescription Describe() const override;
    ControlResult Control(const uint8_t (&setup)[8], std::vector<uint8_t>& data) override;
    void BulkOut(uint8_t endpoint, const uint8_t* data, size_t size) override;
    InResult BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity, size_t& got) override;
    void Interrupt(uint8_t endpoint) override;
    void ClearInterrupt(uint8_t endpoint) override;
    void ClearHalt(uint8_t endpoint) override;
    void Unplugged() override;
    void Replugged() override;

private:
    struct Powered {
        std::shared_ptr<Sim::SimUsb2Instance> sim;
        std::shared_ptr<IDriverHandle> handle;
    };
    Powered Current();
    void PowerUp();
    void AbortPipe();

    const Usb2CameraSpec spec_;
    std::mutex lock_;
    Powered powered_;
    bool silent_ = false;
    size_t answerLength_ = 0;
    // A discard may come just before the worker's read reaches the simulated pipe, where an
    // abort would be missed: it is kept until the read has really ended.
    std::condition_variable readEnded_;
    bool inRead_ = false;
    bool interruptPending_ = false;
};

}  // namespace Kovon::UsbBench
