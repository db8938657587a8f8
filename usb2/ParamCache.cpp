#include "usb2/ParamCache.h"

#include <algorithm>

namespace Kovon {
namespace {

using namespace MapAddress;

// Every address that owns a slot, in increasing order (binary search).
// clang-format off
constexpr uint64_t kSlotAddresses[] = {
    kDeviceUserID, kDeviceScanType,
    kWidthMax, kHeightMax, kWidth, kHeight, kOffsetX, kOffsetY, kBinningHorizontal, kBinningVertical,
    kPixelFormat, kTestImageSelector, kPayloadSize,
    kAcquisitionMode, kAcqEnabled, kAcquisitionFrameCount, kAcquisitionStatusSelector, kAcquisitionStatus,
    kTriggerSoftware, kAcquisitionTriggerLossCount,
    kTriggerMode, kTriggerSource, kTriggerActivation, kTriggerDelay,
    kStrobeMode, kStrobeSource, kStrobeActivation, kStrobeTime, kStrobeDelay, kStrobeSoftware,
    kGainRaw, kBlackLevelRaw, kExposureMode, kExposureTime, kOverlapMode, kAcquisitionFrameRateRaw,
    kExposureTimeMax, kAcquisitionFrameRateMax,
    kExposureAuto, kExposureAutoTarget, kAcquisitionFrameRate, kAcquisitionFrameRateMode, kGammaMode,
    0x360, 0x364, 0x368, 0x36C, 0x370, 0x374, 0x378, 0x37C,
    0x390, 0x394, 0x398, 0x39C, 0x3A0, 0x3A4, 0x3A8, 0x3AC,
    0x3C0, 0x3C4, 0x3C8, 0x3CC, 0x3D0, 0x3D4, 0x3D8, 0x3DC,
    kUserSetSelector, kUserSetLoad, kUserSetSave, kUserSetDefaultSelector,
    kStatisticsFrameCounter, kStatisticsLatch, kAeStatisticsSum, kAeStatisticsCount,
    kAcquisitionRestart, kBalanceRatioRed, kBalanceRatioGreen, kBalanceRatioBlue,
    0x80B, 0x80C, 0x80D, 0x80E, 0x80F, 0x810, 0x811, 0x812, 0x813, 0x814, 0x815, 0x816, 0x817,
    kBalanceWhiteAuto, kBalanceRatioSelector,
    kAwbStatisticsGreen, kAwbStatisticsRed, kAwbStatisticsBlue, kAwbStatisticsCount, kAwbControl,
};
// clang-format on
static_assert(sizeof kSlotAddresses / sizeof kSlotAddresses[0] == ParamCache::kSlotCount);

constexpr bool StrictlyIncreasing() {
    for (size_t i = 1; i < ParamCache::kSlotCount; ++i)
        if (kSlotAddresses[i - 1] >= kSlotAddresses[i]) return false;
    return true;
}
static_assert(StrictlyIncreasing(), "the slot addresses must be sorted for the binary search");

int IndexOf(uint64_t address) {
    if (address == kAcquisitionBusy) address = kAcquisitionStatus;
    const uint64_t* end = std::end(kSlotAddresses);
    const uint64_t* it = std::lower_bound(std::begin(kSlotAddresses), end, address);
    return it != end && *it == address ? static_cast<int>(it - std::begin(kSlotAddresses)) : -1;
}

}  // namespace

ParamCache::ParamCache() {
    for (auto& slot : slots_) slot.store(0, std::memory_order_relaxed);
}

std::atomic<uint32_t>* ParamCache::Slot(uint64_t address) {
    const int index = IndexOf(address);
    return index < 0 ? nullptr : &slots_[static_cast<size_t>(index)];
}

const std::atomic<uint32_t>* ParamCache::Slot(uint64_t address) const {
    const int index = IndexOf(address);
    return index < 0 ? nullptr : &slots_[static_cast<size_t>(index)];
}

float ParamCache::F32(uint64_t address) const {
    return Float(U32(address));
}

void ParamCache::SetF32(uint64_t address, float value) {
    SetU32(address, Bits(value));
}

}  // namespace Kovon
