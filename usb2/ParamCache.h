#pragma once
// The parameter cache of a USB 2.0 device: one 32-bit slot per map address of the emulated
// register map, holding an integer or the bits of an IEEE single as the address's type says.
//
// The set of addresses is fixed, so the slots live in one array and never move. Each slot is an
// atomic word: the host's thread and the stream's worker read and write the cache at the same
// time, and while a multi-step sequence over several slots is not atomic as a whole, no single
// read ever sees a torn or half-written value.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Kovon {

namespace MapAddress {
// Identity and texts.
constexpr uint64_t kDeviceUserID = 0x000;
constexpr uint64_t kDeviceVersion = 0x004;  // text 1, firmware version
constexpr uint64_t kDeviceID = 0x024;       // text 2, device name
constexpr uint64_t kVersionText = 0x044;    // text 3
constexpr uint64_t kVendorName = 0x064;     // text 4
constexpr uint64_t kModelName = 0x084;      // text 5
constexpr uint64_t kVendorInfo = 0x0A4;     // text 6
constexpr uint64_t kDeviceScanType = 0x0C4;
// Image format.
constexpr uint64_t kWidthMax = 0x100;
constexpr uint64_t kHeightMax = 0x104;
constexpr uint64_t kWidth = 0x108;
constexpr uint64_t kHeight = 0x10C;
constexpr uint64_t kOffsetX = 0x110;
constexpr uint64_t kOffsetY = 0x114;
constexpr uint64_t kBinningHorizontal = 0x118;
constexpr uint64_t kBinningVertical = 0x11C;
constexpr uint64_t kPixelFormat = 0x120;
constexpr uint64_t kTestImageSelector = 0x124;
constexpr uint64_t kPayloadSize = 0x12C;
// Acquisition and trigger.
constexpr uint64_t kAcquisitionMode = 0x150;
constexpr uint64_t kAcqEnabled = 0x154;
constexpr uint64_t kAcquisitionFrameCount = 0x158;
constexpr uint64_t kAcquisitionStatusSelector = 0x15C;
constexpr uint64_t kAcquisitionStatus = 0x160;
constexpr uint64_t kTriggerSoftware = 0x164;
constexpr uint64_t kAcquisitionTriggerLossCount = 0x168;
constexpr uint64_t kNoOp200 = 0x200;
constexpr uint64_t kTriggerMode = 0x204;
constexpr uint64_t kTriggerSource = 0x208;
constexpr uint64_t kTriggerActivation = 0x20C;
constexpr uint64_t kTriggerDelay = 0x210;
// Strobe.
constexpr uint64_t kNoOp250 = 0x250;
constexpr uint64_t kStrobeMode = 0x254;
constexpr uint64_t kStrobeSource = 0x258;
constexpr uint64_t kStrobeActivation = 0x25C;
constexpr uint64_t kStrobeTime = 0x260;
constexpr uint64_t kStrobeDelay = 0x264;
constexpr uint64_t kStrobeSoftware = 0x268;
// Analog and timing.
constexpr uint64_t kGainRaw = 0x300;
constexpr uint64_t kBlackLevelRaw = 0x304;
constexpr uint64_t kExposureMode = 0x308;
constexpr uint64_t kExposureTime = 0x30C;
constexpr uint64_t kOverlapMode = 0x310;
constexpr uint64_t kAcquisitionFrameRateRaw = 0x314;
constexpr uint64_t kExposureTimeMax = 0x31C;
constexpr uint64_t kAcquisitionFrameRateMax = 0x320;
constexpr uint64_t kExposureAuto = 0x340;
constexpr uint64_t kExposureAutoTarget = 0x344;
constexpr uint64_t kAcquisitionFrameRate = 0x348;
constexpr uint64_t kAcquisitionFrameRateMode = 0x34C;
// Gamma: eight knots.
constexpr uint64_t kGammaMode = 0x350;
constexpr uint64_t kGammaX0 = 0x360;  // + 4·i, abscissas
constexpr uint64_t kGammaY0 = 0x390;  // + 4·i, ordinates
constexpr uint64_t kGammaS0 = 0x3C0;  // + 4·i, slopes
constexpr unsigned kGammaKnots = 8;
// User sets.
constexpr uint64_t kUserSetSelector = 0x400;
constexpr uint64_t kUserSetLoad = 0x404;
constexpr uint64_t kUserSetSave = 0x408;
constexpr uint64_t kUserSetDefaultSelector = 0x40C;
// Statistics of the automatic exposure.
constexpr uint64_t kStatisticsFrameCounter = 0x440;
constexpr uint64_t kStatisticsLatch = 0x444;
constexpr uint64_t kAeStatisticsSum = 0x45C;
constexpr uint64_t kAeStatisticsCount = 0x460;
// Further texts.
constexpr uint64_t kSerialNumber = 0x500;  // text 7
constexpr uint64_t kInstanceName = 0x520;  // text 8
constexpr uint64_t kNoOp524 = 0x524;
constexpr uint64_t kDescription = 0x700;
// Module-only addresses.
constexpr uint64_t kAcquisitionBusy = 0x800;  // shares the slot of AcquisitionStatus
constexpr uint64_t kAcquisitionRestart = 0x804;
constexpr uint64_t kBalanceRatioRed = 0x805;
constexpr uint64_t kBalanceRatioGreen = 0x806;
constexpr uint64_t kBalanceRatioBlue = 0x807;
constexpr uint64_t kFixedParam0 = 0x80B;  // + i, i = 0..12
constexpr unsigned kFixedParams = 13;
// White balance.
constexpr uint64_t kBalanceWhiteAuto = 0x4318;
constexpr uint64_t kBalanceRatioSelector = 0x431C;
constexpr uint64_t kBalanceRatio = 0x4320;  // the ratio chosen by the selector
constexpr uint64_t kAwbStatisticsGreen = 0x4448;
constexpr uint64_t kAwbStatisticsRed = 0x444C;
constexpr uint64_t kAwbStatisticsBlue = 0x4450;
constexpr uint64_t kAwbStatisticsCount = 0x4454;
constexpr uint64_t kAwbControl = 0x4458;
}  // namespace MapAddress

class ParamCache {
public:
    ParamCache();

    // The slot of a map address; the alias 0x800 resolves to AcquisitionStatus. Addresses
    // without a slot (texts, the description, 0x4320, addresses outside the map) give null.
    std::atomic<uint32_t>* Slot(uint64_t address);
    const std::atomic<uint32_t>* Slot(uint64_t address) const;
    bool Has(uint64_t address) const { return Slot(address) != nullptr; }

    // Reads and writes of a slot that must exist (an address of the table above).
    uint32_t U32(uint64_t address) const { return Slot(address)->load(std::memory_order_relaxed); }
    int32_t I32(uint64_t address) const { return static_cast<int32_t>(U32(address)); }
    float F32(uint64_t address) const;
    void SetU32(uint64_t address, uint32_t value) { Slot(address)->store(value, std::memory_order_relaxed); }
    void SetF32(uint64_t address, float value);

    static uint32_t Bits(float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        return bits;
    }
    static float Float(uint32_t bits) {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    static constexpr size_t kSlotCount = 99;

private:
    std::array<std::atomic<uint32_t>, kSlotCount> slots_;
};

}  // namespace Kovon
