#include "sim/usb2/SimUsb2Camera.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "usb2/FeatureConversions.h"
#include "usb2/driver/DriverSeam.h"
#include "usb2/driver/EzusbRecords.h"
#include "usb2/image/FirmwareText.h"

namespace Kovon::Sim {
namespace {

constexpr uint8_t kVendorDeviceToHost = 0xC0;
constexpr uint16_t kWriteFlag = 0x8000;

// Identifiers of the simulated camera's device descriptor.
constexpr uint16_t kSimVendorId = 0x04B4;
constexpr uint16_t kSimProductId = 0x1004;

// Power-on image settings: 640 x 480 Mono8 (code 0), 1 ms at 39.3 MHz, no gain, unit balance
// ratios. The white-balance constants put the scene's colour cast inside the white region and
// leave the balance ratios a wide band: blue 400 to 3000, red 400 to 3400.
constexpr uint16_t kPowerOnWidth = 640;
constexpr uint16_t kPowerOnHeight = 480;
constexpr uint32_t kPowerOnExposureTicks = 39300;  // one register wide, as on every model
constexpr uint16_t kUnitGain = 199;
constexpr uint16_t kUnitRatio = 1024;
constexpr uint16_t kRatioCopyRegister = 0x346;
constexpr int16_t kFixedParams[13] = {100, -60, -120, 60, 10, 240, 400, 1024, 3000, 400, 400, 400, 3000};

std::string FirmwareTextOf(uint16_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", v >> 12, (v >> 8) & 15u, (v >> 4) & 15u, v & 15u);
    return text;
}

}  // namespace

SimUsb2Camera::SimUsb2Camera(const SimUsb2Config& config) : config_(config), registers_(0x8000 / 2, 0) {
    for (size_t i = 0; i < 3; ++i) {
        registers_[IndexOf(static_cast<uint16_t>(kSerialRegister + 2 * i))] =
            static_cast<uint16_t>(config.serial[2 * i] | (config.serial[2 * i + 1] << 8));
    }
    registers_[IndexOf(kFirmwareRegister)] = config.firmware;
    registers_[IndexOf(kWidthRegister)] = kPowerOnWidth;
    registers_[IndexOf(kHeightRegister)] = kPowerOnHeight;
    Put32(kExposureRegister, kPowerOnExposureTicks);
    registers_[IndexOf(kGainRegister)] = kUnitGain;
    for (uint16_t c = 0; c < 3; ++c) {
        registers_[IndexOf(static_cast<uint16_t>(kRatioRegister + 2 * c))] = kUnitRatio;
        registers_[IndexOf(static_cast<uint16_t>(kRatioCopyRegister + 2 * c))] = kUnitRatio;
    }
    for (uint16_t i = 0; i < 13; ++i)
        registers_[IndexOf(static_cast<uint16_t>(kFixedParamRegister + 2 * i))] =
            static_cast<uint16_t>(kFixedParams[i]);
}

void SimUsb2Camera::Put32(uint16_t address, uint32_t value) {
    registers_[IndexOf(address)] = static_cast<uint16_t>(value & 0xFFFF);
    registers_[IndexOf(static_cast<uint16_t>(address + 2))] = static_cast<uint16_t>(value >> 16);
}

SimUsb2FrameSettings SimUsb2Camera::FrameSettings() const {
    SimUsb2FrameSettings s;
    const bool binned = (Peek(kBinningRegister) >> 8) == 1;
    s.width = uint32_t{Peek(kWidthRegister)} * (binned ? 2u : 1u);
    s.height = Peek(kHeightRegister);
    s.pixelFormat = Usb2::PixelFormatOfCode(Peek(kPixelFormatRegister));
    s.colour = config_.colour;
    s.marker = Usb2Image::FirmwareHasFrameMarker(FirmwareTextOf(config_.firmware));
    s.exposureTicks =
        Peek(kExposureRegister) | (uint32_t{Peek(static_cast<uint16_t>(kExposureRegister + 2))} << 16);
    s.gain = Peek(kGainRegister);
    for (uint16_t c = 0; c < 3; ++c) s.ratios[c] = Peek(static_cast<uint16_t>(kRatioRegister + 2 * c));
    return s;
}

void SimUsb2Camera::FrameSent(const SimUsb2Statistics& statistics) {
    uint16_t& counter = registers_[IndexOf(kFrameCounterRegister)];
    counter = static_cast<uint16_t>(counter + 1);
    liveStatistics_ = statistics;
    if (Peek(kStatisticsLatchRegister) == 0) PublishStatistics();
}

void SimUsb2Camera::PublishStatistics() {
    Put32(kAeSumRegister, liveStatistics_.aeSum);
    Put32(static_cast<uint16_t>(kAeSumRegister + 4), liveStatistics_.aeCount);
    Put32(kAwbGreenRegister, liveStatistics_.awbGreen);
    Put32(static_cast<uint16_t>(kAwbGreenRegister + 4), liveStatistics_.awbRed);
    Put32(static_cast<uint16_t>(kAwbGreenRegister + 8), liveStatistics_.awbBlue);
    Put32(static_cast<uint16_t>(kAwbGreenRegister + 12), liveStatistics_.awbCount);
}

void SimUsb2Camera::LineTrigger() {
    if (TriggerMode() && !ignoreTriggers_) ++pendingTriggers_;
}

uint32_t SimUsb2Camera::Open() {
    if (!connected_) return kDriverNotConnected;
    ++counters_.opens;
    return kDriverOk;
}

uint32_t SimUsb2Camera::GetDeviceDescriptor(uint8_t* out, size_t size, size_t& returned) {
    returned = 0;
    ++counters_.descriptorRequests;
    if (!connected_) return kDriverNotConnected;
    if (out == nullptr || size < kDeviceDescriptorSize) return kDriverInvalidParameter;
    const uint8_t descriptor[kDeviceDescriptorSize] = {
        18,
        1,  // bLength, bDescriptorType DEVICE
        static_cast<uint8_t>(config_.usbRelease & 0xFF),
        static_cast<uint8_t>(config_.usbRelease >> 8),
        0xFF,
        0xFF,
        0xFF,
        64,  // vendor-specific class, subclass, protocol; ep0 packet size
        static_cast<uint8_t>(kSimVendorId & 0xFF),
        static_cast<uint8_t>(kSimVendorId >> 8),
        static_cast<uint8_t>(kSimProductId & 0xFF),
        static_cast<uint8_t>(kSimProductId >> 8),
        static_cast<uint8_t>(config_.firmware & 0xFF),
        static_cast<uint8_t>(config_.firmware >> 8),
        0,
        0,
        0,  // no string descriptors
        1,  // one configuration
    };
    std::memcpy(out, descriptor, sizeof descriptor);
    returned = sizeof descriptor;
    return kDriverOk;
}

uint32_t SimUsb2Camera::ControlIn(const uint8_t* setup, size_t setupSize, uint8_t* data, size_t dataSize,
                                  size_t& returned) {
    returned = 0;
    ++counters_.registerRequests;
    if (!connected_) return kDriverNotConnected;
    if (setup == nullptr || setupSize != kSetupPacketSize) return kDriverInvalidParameter;
    const uint16_t length = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
    // Anything but the camera's register request is stalled, which the driver reports as 31.
    if (setup[0] != kVendorDeviceToHost || setup[1] != kCameraRegisterRequest ||
        length != kVendorAnswerSize || data == nullptr || dataSize < kVendorAnswerSize) {
        return kDriverGenFailure;
    }
    if (failRequests_ > 0) {
        --failRequests_;
        return kDriverGenFailure;
    }
    const uint16_t address = static_cast<uint16_t>((setup[2] << 8) | setup[3]);
    if (failRegisterRequests_ > 0 && (address & 0x7FFE) == failRegister_) {
        --failRegisterRequests_;
        return kDriverGenFailure;
    }
    const uint16_t word = static_cast<uint16_t>((setup[4] << 8) | setup[5]);
    const uint16_t value = (address & kWriteFlag) != 0 ? WriteRegister(address, word) : ReadRegister(address);

    uint16_t echo = address;
    if (wrongEcho_) {
        wrongEcho_ = false;
        echo = static_cast<uint16_t>((address & kWriteFlag) | ((address + 2) & 0x7FFF));
    }
    data[0] = static_cast<uint8_t>(echo >> 8);
    data[1] = static_cast<uint8_t>(echo & 0xFF);
    data[2] = static_cast<uint8_t>(value >> 8);
    data[3] = static_cast<uint8_t>(value & 0xFF);
    returned = kVendorAnswerSize;
    return kDriverOk;
}

uint32_t SimUsb2Camera::BeginBulkRead() {
    ++counters_.bulkReads;
    return connected_ ? kDriverOk : kDriverNotConnected;
}

uint16_t SimUsb2Camera::Peek(uint16_t address) const {
    return registers_[IndexOf(address)];
}

void SimUsb2Camera::Poke(uint16_t address, uint16_t value) {
    registers_[IndexOf(address)] = value;
}

uint16_t SimUsb2Camera::ReadRegister(uint16_t address) {
    const uint16_t reg = static_cast<uint16_t>(address & 0x7FFE);
    // The busy registers read 1 while a busy count runs, their stored value otherwise (0 unless
    // a test poked another).
    if (reg == kAcquisitionBusyRegister) {
        if (acquisitionBusyReads_ == 0) return registers_[IndexOf(reg)];
        if (acquisitionBusyReads_ != kBusyForever) --acquisitionBusyReads_;
        return 1;
    }
    if (reg == kTriggerBusyRegister) {
        if (triggerBusyLeft_ == 0) return registers_[IndexOf(reg)];
        if (triggerBusyLeft_ != kBusyForever) --triggerBusyLeft_;
        return 1;
    }
    return registers_[IndexOf(reg)];
}

uint16_t SimUsb2Camera::WriteRegister(uint16_t address, uint16_t value) {
    const uint16_t reg = static_cast<uint16_t>(address & 0x7FFE);
    switch (reg) {
        case kSerialRegister:
        case kSerialRegister + 2:
        case kSerialRegister + 4:
        case kFirmwareRegister:
        case kAcquisitionBusyRegister:
        case kTriggerBusyRegister:
            return registers_[IndexOf(reg)];  // read-only: acknowledged, not changed
        case kAcquisitionStartRegister:
            if (value != 0) {
                acquiring_ = true;
                ++acquisitionEpoch_;
                pendingTriggers_ = 0;
            }
            break;
        case kAcquisitionStopRegister:
            if (value != 0) acquiring_ = false;
            break;
        case kSoftwareTriggerRegister:
            if (value != 0) {
                ++softwareTriggers_;
                triggerBusyLeft_ = triggerBusyReads_;
                LineTrigger();
            }
            break;
        case kStatisticsLatchRegister:
            registers_[IndexOf(reg)] = value;
            if (value == 0) PublishStatistics();  // released: the registers catch up
            return value;
        default:
            break;
    }
    registers_[IndexOf(reg)] = value;
    return value;
}

}  // namespace Kovon::Sim
