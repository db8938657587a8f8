#pragma once
// How the exposure and white-balance loops reach a USB 2.0 camera: only through the device's
// parameter map, never through camera registers directly.
//
// The four operations have the shape of the device's own (map address, buffer, size):
//  - GetValue: the device's cached value, no camera traffic;
//  - GetParam: reads the camera, stores the converted value in the cache and copies it out;
//  - SetValue: stores into the cache only;
//  - SetParam: stores into the cache and writes the converted value to the camera.
// Each returns 0 or a negative status. The device is allowed to answer a failed camera read with
// 0 and copy nothing; the typed helpers below therefore pre-fill the buffer with the cached value,
// so that such a read leaves the previous cached value in use.
#include <cstdint>
#include <optional>

namespace Kovon::Usb2Image {

class IUsbParamAccess {
public:
    virtual ~IUsbParamAccess() = default;
    virtual int GetValue(std::uint64_t address, void* buffer, std::uint64_t& size) = 0;
    virtual int GetParam(std::uint64_t address, void* buffer, std::uint64_t& size) = 0;
    virtual int SetValue(std::uint64_t address, void* buffer, std::uint64_t& size) = 0;
    virtual int SetParam(std::uint64_t address, void* buffer, std::uint64_t& size) = 0;
};

// Forwards to any object with the device's four operations (the USB 2.0 device class), so that
// the loops can be handed the device itself.
template <class Device>
class DeviceParamAccess final : public IUsbParamAccess {
public:
    explicit DeviceParamAccess(Device& device) : device_(device) {}
    int GetValue(std::uint64_t a, void* b, std::uint64_t& s) override { return device_.GetValue(a, b, s); }
    int GetParam(std::uint64_t a, void* b, std::uint64_t& s) override { return device_.GetParam(a, b, s); }
    int SetValue(std::uint64_t a, void* b, std::uint64_t& s) override { return device_.SetValue(a, b, s); }
    int SetParam(std::uint64_t a, void* b, std::uint64_t& s) override { return device_.SetParam(a, b, s); }

private:
    Device& device_;
};

// Map addresses the image path uses.
namespace MapAddress {
constexpr std::uint64_t kDeviceVersion = 0x004;
constexpr std::uint64_t kExposureTime = 0x30C;
constexpr std::uint64_t kExposureAuto = 0x340;
constexpr std::uint64_t kExposureAutoTarget = 0x344;
constexpr std::uint64_t kAcquisitionFrameRate = 0x348;
constexpr std::uint64_t kAcquisitionFrameRateMode = 0x34C;
constexpr std::uint64_t kStatisticsFrameCounter = 0x440;
constexpr std::uint64_t kStatisticsLatch = 0x444;
constexpr std::uint64_t kAeStatisticsSum = 0x45C;
constexpr std::uint64_t kAeStatisticsCount = 0x460;
constexpr std::uint64_t kBalanceRatioRed = 0x805;
constexpr std::uint64_t kBalanceRatioGreen = 0x806;
constexpr std::uint64_t kBalanceRatioBlue = 0x807;
constexpr std::uint64_t kFixedParam0 = 0x80B;
constexpr std::uint64_t kBalanceWhiteAuto = 0x4318;
constexpr std::uint64_t kAwbStatisticsGreen = 0x4448;
constexpr std::uint64_t kAwbStatisticsRed = 0x444C;
constexpr std::uint64_t kAwbStatisticsBlue = 0x4450;
constexpr std::uint64_t kAwbStatisticsCount = 0x4454;
constexpr std::uint64_t kAwbControl = 0x4458;
}  // namespace MapAddress

// Typed 4-byte accesses. Reads give nothing when the device reports a failure or answers with a
// size other than 4; writes return the device's status.
std::optional<std::uint32_t> CachedU32(IUsbParamAccess& device, std::uint64_t address);
std::optional<float> CachedFloat(IUsbParamAccess& device, std::uint64_t address);
std::optional<std::uint32_t> ReadU32(IUsbParamAccess& device, std::uint64_t address);
std::optional<float> ReadFloat(IUsbParamAccess& device, std::uint64_t address);
int WriteU32(IUsbParamAccess& device, std::uint64_t address, std::uint32_t value);
int WriteFloat(IUsbParamAccess& device, std::uint64_t address, float value);
int StoreFloat(IUsbParamAccess& device, std::uint64_t address, float value);

}  // namespace Kovon::Usb2Image
