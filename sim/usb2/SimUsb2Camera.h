#pragma once
// The device model of a simulated USB 2.0 camera: its device descriptor, its 16-bit register
// file reached through vendor request 0xB0, the acquisition and trigger commands, fault
// injection and request counters. No I/O, no threads and no locks: the driver adapter
// (SimUsb2Driver.h) serialises every call.
//
// Wire semantics of the register request (a control IN transfer, request type 0xC0, request
// 0xB0, 4 data bytes): setup bytes 2 and 3 carry the register address high byte first, bit 15
// set for a write; setup bytes 4 and 5 carry the data word high byte first (zero for a read).
// The answer is address high, address low (an echo of what was sent, bit 15 included), data
// high, data low, where the data is the register's value after the request.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/usb2/SimUsb2Scene.h"

namespace Kovon::Sim {

struct SimUsb2Config {
    std::array<uint8_t, 6> serial{};  // serial bytes b0..b5 as the camera reports them
    uint16_t firmware = 0;            // register 0x20C
    uint16_t usbRelease = 0x0200;     // bcdUSB of the device descriptor
    bool colour = false;              // a Bayer sensor (the colour models)
};

struct SimUsb2Counters {
    uint64_t opens = 0;
    uint64_t descriptorRequests = 0;
    uint64_t registerRequests = 0;
    uint64_t bulkReads = 0;
};

class SimUsb2Camera {
public:
    static constexpr uint16_t kSerialRegister = 0x206;  // three words: 0x206, 0x208, 0x20A
    static constexpr uint16_t kFirmwareRegister = 0x20C;
    static constexpr uint16_t kAcquisitionStartRegister = 0x452;
    static constexpr uint16_t kAcquisitionStopRegister = 0x454;
    static constexpr uint16_t kAcquisitionBusyRegister = 0x45A;
    static constexpr uint16_t kSoftwareTriggerRegister = 0x460;
    static constexpr uint16_t kTriggerBusyRegister = 0x46C;
    static constexpr uint32_t kBusyForever = 0xFFFFFFFFu;
    // Image registers the frame generator follows.
    static constexpr uint16_t kWidthRegister = 0x434;
    static constexpr uint16_t kHeightRegister = 0x436;
    static constexpr uint16_t kBinningRegister = 0x43C;  // high byte: horizontal code (1: by two)
    static constexpr uint16_t kPixelFormatRegister = 0x43E;
    static constexpr uint16_t kGainRegister = 0x408;
    static constexpr uint16_t kExposureRegister = 0x482;  // 32 bits: 0x482 low, 0x484 high
    static constexpr uint16_t kTriggerModeRegister = 0x462;
    static constexpr uint16_t kRatioRegister = 0x324;       // red, green, blue at + 0, 2, 4
    static constexpr uint16_t kFixedParamRegister = 0x360;  // 13 signed words
    // Statistics the camera publishes about the frames it sends.
    static constexpr uint16_t kStatisticsLatchRegister = 0x3C6;
    static constexpr uint16_t kAwbGreenRegister = 0x3D0;  // 32 bits each: green, red, blue, count
    static constexpr uint16_t kFrameCounterRegister = 0x3E0;
    static constexpr uint16_t kAeSumRegister = 0x3E2;  // 32 bits each: sum, count

    explicit SimUsb2Camera(const SimUsb2Config& config);

    const SimUsb2Config& Config() const { return config_; }

    // Host-side requests; each returns a Windows error number (0 on success).
    uint32_t Open();
    uint32_t GetDeviceDescriptor(uint8_t* out, size_t size, size_t& returned);
    // One control IN transfer with the given 8-byte setup packet; the data stage goes to 'data'.
    uint32_t ControlIn(const uint8_t* setup, size_t setupSize, uint8_t* data, size_t dataSize,
                       size_t& returned);
    // Accounts for one bulk read; fails when the camera is disconnected.
    uint32_t BeginBulkRead();

    // The register file as the camera sees it (no side effects, no counting).
    uint16_t Peek(uint16_t address) const;
    void Poke(uint16_t address, uint16_t value);
    bool Acquiring() const { return acquiring_; }
    uint64_t SoftwareTriggers() const { return softwareTriggers_; }

    // The frame generator's view. An acquisition start (0x452) begins a new epoch: the camera
    // starts over from a frame boundary and drops what it had not sent.
    uint64_t AcquisitionEpoch() const { return acquisitionEpoch_; }
    bool TriggerMode() const { return Peek(kTriggerModeRegister) != 0; }
    // A trigger that arrived (software trigger in trigger mode, or the trigger line) and has not
    // produced its frame yet; taking it consumes it.
    bool TriggerPending() const { return pendingTriggers_ > 0; }
    void TakeTrigger() {
        if (pendingTriggers_ > 0) --pendingTriggers_;
    }
    // A pulse on the trigger line.
    void LineTrigger();
    // Fault: the camera ignores every trigger (it never sends in trigger mode).
    void IgnoreTriggers(bool ignore) { ignoreTriggers_ = ignore; }
    SimUsb2FrameSettings FrameSettings() const;
    // One frame went out: the frame counter advances, and the statistics registers take the
    // frame's values unless the host has latched them.
    void FrameSent(const SimUsb2Statistics& statistics);

    // Faults.
    void FailNextRequests(uint32_t count) { failRequests_ = count; }  // error 31
    // The next 'count' requests (reads or writes) of one register fail with error 31; other
    // registers answer as usual.
    void FailRegisterRequests(uint16_t address, uint32_t count) {
        failRegister_ = static_cast<uint16_t>(address & 0x7FFE);
        failRegisterRequests_ = count;
    }
    void SetConnected(bool connected) { connected_ = connected; }  // false: error 1167
    bool Connected() const { return connected_; }
    void WrongEchoOnNextRequest() { wrongEcho_ = true; }
    // 0x45A reads 1 for the next 'reads' reads (kBusyForever: never idle), then 0.
    void SetAcquisitionBusyReads(uint32_t reads) { acquisitionBusyReads_ = reads; }
    // After each software trigger, 0x46C reads 1 for this many reads, then 0.
    void SetTriggerBusyReads(uint32_t reads) { triggerBusyReads_ = reads; }

    const SimUsb2Counters& Counters() const { return counters_; }
    void ResetCounters() { counters_ = SimUsb2Counters{}; }

private:
    static size_t IndexOf(uint16_t address) { return (address & 0x7FFFu) >> 1; }
    uint16_t ReadRegister(uint16_t address);
    uint16_t WriteRegister(uint16_t address, uint16_t value);
    void Put32(uint16_t address, uint32_t value);
    void PublishStatistics();

    SimUsb2Config config_;
    std::vector<uint16_t> registers_;  // 16-bit registers at even byte addresses 0..0x7FFE
    bool acquiring_ = false;
    uint64_t softwareTriggers_ = 0;
    uint64_t acquisitionEpoch_ = 0;
    uint64_t pendingTriggers_ = 0;
    bool ignoreTriggers_ = false;
    SimUsb2Statistics liveStatistics_;

    bool connected_ = true;
    uint32_t failRequests_ = 0;
    uint16_t failRegister_ = 0;
    uint32_t failRegisterRequests_ = 0;
    bool wrongEcho_ = false;
    uint32_t acquisitionBusyReads_ = 0;
    uint32_t triggerBusyReads_ = 0;
    uint32_t triggerBusyLeft_ = 0;

    SimUsb2Counters counters_;
};

}  // namespace Kovon::Sim
