#pragma once
// A USB3 Vision camera on the emulated bus: the simulated camera model of sim/u3v behind a
// SuperSpeed device with the standard's interface association, control interface (bulk IN 0x81,
// bulk OUT 0x01) and its device-info descriptor, event interface (bulk IN 0x82) and streaming
// interface (bulk IN 0x83). Transfers follow the bus's packet rules (1024-byte packets): a
// transfer longer than the host's buffer continues in the next one when the buffer is a whole
// number of packets, and overflows otherwise.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KovonSim/SimU3V.h"
#include "sim/u3v/SimU3vCamera.h"
#include "usbbench/EmulatedDevice.h"

namespace Kovon::UsbBench {

class U3vCamera final : public EmulatedDevice {
public:
    static constexpr uint8_t kControlIn = 0x81, kControlOut = 0x01, kEventIn = 0x82, kStreamIn = 0x83;
    static constexpr uint16_t kVendorId = 0x1209, kProductId = 0x5534;
    static constexpr size_t kPacketSize = 1024;

    // The options' texts are copied.
    explicit U3vCamera(const KovonSimU3VOptions& options);
    // The simulator's defaults (1280 x 1024 Mono8 ...) with this serial and model.
    static KovonSimU3VOptions DefaultOptions(const char* serial, const char* model);

    // Runs fn(SimU3vCamera&) under the camera's lock.
    template <typename Fn>
    auto WithCamera(Fn&& fn) {
        std::lock_guard<std::mutex> guard(lock_);
        struct Notify {
            std::condition_variable& cv;
            ~Notify() { cv.notify_all(); }
        } notify{changed_};
        return fn(*camera_);
    }
    void FireEvent(uint16_t eventId, const uint8_t* data, uint16_t length);
    // The stream paced as a link of this many bytes per second (0: as fast as it is read).
    void SetStreamRate(uint64_t bytesPerSecond);
    // The endpoint halts: IN transfers fail with a stall until the host clears the halt.
    void Stall(uint8_t endpoint);
    const std::string& Serial() const { return serial_; }

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
    struct Staged {
        std::vector<uint8_t> bytes;
        size_t at = 0;
        bool Empty() const { return at >= bytes.size(); }
    };
    // Takes the next transfer of the endpoint from the model; false when there is none now.
    bool NextTransfer(uint8_t endpoint, Staged& staged);  // under lock_
    void PowerUp();                                         // under lock_

    std::string serial_, model_;
    KovonSimU3VOptions options_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::unique_ptr<Sim::SimU3vCamera> camera_;
    std::deque<std::vector<uint8_t>> acks_, events_;
    std::map<uint8_t, Staged> staged_;
    std::map<uint8_t, bool> interrupted_;
    std::map<uint8_t, bool> halted_;
    bool gone_ = false;
    uint64_t streamRate_ = 0;
    std::chrono::steady_clock::time_point linkFree_{};
};

}  // namespace Kovon::UsbBench
