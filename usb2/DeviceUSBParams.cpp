// The parameter calls of CDeviceUSBBase: the map addresses and what each one does on the camera.
#include <algorithm>
#include <cstring>

#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "usb2/DeviceUSBBase.h"
#include "usb2/FeatureConversions.h"

namespace Kovon {

using namespace MapAddress;
using Lumora::GC_ERR_ERROR;
using Lumora::GC_ERR_INVALID_PARAMETER;

namespace {

constexpr int kOk = 0;
constexpr int kFailed = GC_ERR_ERROR;

int Status(bool ok) {
    return ok ? kOk : kFailed;
}

// Camera registers.
namespace Reg {
constexpr uint16_t kWidth = 0x434;
constexpr uint16_t kHeight = 0x436;
constexpr uint16_t kBinning = 0x43C;  // high byte horizontal code, low byte vertical code
constexpr uint16_t kPixelFormat = 0x43E;
constexpr uint16_t kAcquisitionStart = 0x452;
constexpr uint16_t kAcquisitionStop = 0x454;
constexpr uint16_t kAcquisitionBusy = 0x45A;
constexpr uint16_t kSoftwareTrigger = 0x460;
constexpr uint16_t kTriggerBusy = 0x46C;
constexpr uint16_t kTriggerDelay = 0x468;  // 32 bits
constexpr uint16_t kStrobeTime = 0x478;
constexpr uint16_t kStrobeDelay = 0x47A;
constexpr uint16_t kGain = 0x408;
constexpr uint16_t kExposure = 0x482;     // 32 bits
constexpr uint16_t kFramePeriod = 0x486;  // 32 bits
constexpr uint16_t kFrameRateMode = 0x48A;
constexpr uint16_t kGammaY0 = 0x4B0;       // + 2·i
constexpr uint16_t kRatioRed = 0x324;      // + 2·colour
constexpr uint16_t kRatioCopyRed = 0x346;  // + 2·colour
constexpr uint16_t kUserSetLoad = 0x4D2;
constexpr uint16_t kUserSetSave = 0x4D4;
}  // namespace Reg

// Map addresses carried one to one by a camera register.
enum class Plain : uint8_t {
    ReadWrite,
    ReadOnly,      // no SetParam side: 0, nothing stored
    WriteOnly,     // no GetParam side: 0, nothing copied
    SignExtended,  // GetParam caches the 16-bit value sign-extended
    CachedWhileOn  // GetParam reads the camera only while the cached value is 0
};

struct PlainRegister {
    uint64_t address;
    uint16_t reg;
    Plain kind;
};

constexpr PlainRegister kPlainRegisters[] = {
    {kDeviceUserID, 0x310, Plain::ReadWrite},
    {kWidth, Reg::kWidth, Plain::ReadWrite},
    {kHeight, Reg::kHeight, Plain::ReadWrite},
    {kOffsetX, 0x438, Plain::ReadWrite},
    {kOffsetY, 0x43A, Plain::ReadWrite},
    {kTestImageSelector, 0x442, Plain::ReadWrite},
    {kAcquisitionMode, 0x450, Plain::ReadWrite},
    {kAcquisitionStatusSelector, 0x458, Plain::ReadWrite},
    {kAcquisitionStatus, Reg::kAcquisitionBusy, Plain::ReadOnly},
    {kAcquisitionTriggerLossCount, 0x45E, Plain::ReadOnly},
    {kTriggerMode, 0x462, Plain::ReadWrite},
    {kTriggerSource, 0x464, Plain::ReadWrite},
    {kTriggerActivation, 0x466, Plain::ReadWrite},
    {kStrobeMode, 0x472, Plain::ReadWrite},
    {kStrobeSource, 0x474, Plain::ReadWrite},
    {kStrobeActivation, 0x476, Plain::ReadWrite},
    {kStrobeSoftware, 0x47C, Plain::WriteOnly},
    {kBlackLevelRaw, 0x40A, Plain::ReadWrite},
    {kExposureMode, 0x480, Plain::ReadWrite},
    {kExposureAuto, 0x550, Plain::CachedWhileOn},
    {kExposureAutoTarget, 0x552, Plain::ReadWrite},
    {kGammaMode, 0x490, Plain::ReadWrite},
    {kGammaS0 + 0x00, 0x4C0, Plain::ReadWrite},
    {kGammaS0 + 0x04, 0x4C2, Plain::ReadWrite},
    {kGammaS0 + 0x08, 0x4C4, Plain::ReadWrite},
    {kGammaS0 + 0x0C, 0x4C6, Plain::ReadWrite},
    {kGammaS0 + 0x10, 0x4C8, Plain::ReadWrite},
    {kGammaS0 + 0x14, 0x4CA, Plain::ReadWrite},
    {kGammaS0 + 0x18, 0x4CC, Plain::ReadWrite},
    {kGammaS0 + 0x1C, 0x4CE, Plain::ReadWrite},
    {kUserSetSelector, 0x30C, Plain::ReadWrite},
    {kUserSetDefaultSelector, 0x30A, Plain::ReadWrite},
    {kBalanceWhiteAuto, 0x320, Plain::ReadWrite},
    {kBalanceRatioSelector, 0x322, Plain::ReadWrite},
    {kStatisticsFrameCounter, 0x3E0, Plain::ReadOnly},
    {kStatisticsLatch, 0x3C6, Plain::WriteOnly},
    {kAwbControl, 0x3CC, Plain::WriteOnly},
    {kAcquisitionBusy, Reg::kAcquisitionBusy, Plain::ReadOnly},
    {kFixedParam0 + 0, 0x360, Plain::SignExtended},
    {kFixedParam0 + 1, 0x362, Plain::SignExtended},
    {kFixedParam0 + 2, 0x364, Plain::SignExtended},
    {kFixedParam0 + 3, 0x366, Plain::SignExtended},
    {kFixedParam0 + 4, 0x368, Plain::SignExtended},
    {kFixedParam0 + 5, 0x36A, Plain::SignExtended},
    {kFixedParam0 + 6, 0x36C, Plain::SignExtended},
    {kFixedParam0 + 7, 0x36E, Plain::SignExtended},
    {kFixedParam0 + 8, 0x370, Plain::SignExtended},
    {kFixedParam0 + 9, 0x372, Plain::SignExtended},
    {kFixedParam0 + 10, 0x374, Plain::SignExtended},
    {kFixedParam0 + 11, 0x376, Plain::SignExtended},
    {kFixedParam0 + 12, 0x378, Plain::SignExtended},
};

const PlainRegister* FindPlain(uint64_t address) {
    for (const PlainRegister& p : kPlainRegisters)
        if (p.address == address) return &p;
    return nullptr;
}

// Read-only 32-bit statistics: the register and the next one.
struct Statistic {
    uint64_t address;
    uint16_t reg;
};
constexpr Statistic kStatistics[] = {
    {kAeStatisticsSum, 0x3E2},  {kAeStatisticsCount, 0x3E6}, {kAwbStatisticsGreen, 0x3D0},
    {kAwbStatisticsRed, 0x3D4}, {kAwbStatisticsBlue, 0x3D8}, {kAwbStatisticsCount, 0x3DC},
};

const Statistic* FindStatistic(uint64_t address) {
    for (const Statistic& s : kStatistics)
        if (s.address == address) return &s;
    return nullptr;
}

// The ordinate knot of a gamma address, or -1.
int GammaOrdinate(uint64_t address) {
    if (address < kGammaY0 || address > kGammaY0 + 4 * (kGammaKnots - 1) || (address - kGammaY0) % 4 != 0)
        return -1;
    return static_cast<int>((address - kGammaY0) / 4);
}

// Slots that SetValue leaves alone: values the camera or the module computes.
bool CacheOnlyReadable(uint64_t address) {
    switch (address) {
        case kDeviceScanType:
        case kWidthMax:
        case kHeightMax:
        case kPayloadSize:
        case kAcquisitionFrameCount:
        case kAcquisitionStatus:
        case kAcquisitionTriggerLossCount:
        case kOverlapMode:
        case kAcquisitionFrameRateRaw:
        case kExposureTimeMax:
        case kAcquisitionFrameRateMax:
        case kAcquisitionBusy:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Helpers.

bool CDeviceUSBBase::ReadCamera16(uint16_t reg, uint16_t& value) {
    uint8_t bytes[2] = {};
    if (channel_->ReadRegister(bytes, reg, sizeof bytes) != kEzusbOk) return false;
    value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

bool CDeviceUSBBase::ReadCamera32(uint16_t reg, uint32_t& value) {
    uint8_t bytes[4] = {};
    if (channel_->ReadRegister(bytes, reg, sizeof bytes) != kEzusbOk) return false;
    value =
        uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
    return true;
}

bool CDeviceUSBBase::WriteCamera16(uint16_t reg, uint32_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return channel_->WriteRegister(bytes, reg, sizeof bytes) == kEzusbOk;
}

bool CDeviceUSBBase::WriteCamera32(uint16_t reg, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return channel_->WriteRegister(bytes, reg, sizeof bytes) == kEzusbOk;
}

void CDeviceUSBBase::StoreFromCaller(uint64_t address, const void* buffer, Lumora::u64& size) {
    uint32_t value = cache_.U32(address);
    CopyParamIn(&value, sizeof value, buffer, &size);
    cache_.SetU32(address, value);
}

void CDeviceUSBBase::CopySlotOut(uint64_t address, void* buffer, Lumora::u64& size) {
    const uint32_t value = cache_.U32(address);
    CopyParamBytes(buffer, &size, &value, sizeof value);
}

bool CDeviceUSBBase::WaitUntilIdle(uint16_t reg) {
    for (unsigned read = 0; read < kIdlePollReads; ++read) {
        uint16_t busy = 0;
        if (!ReadCamera16(reg, busy)) return false;
        if (busy == 0) return true;
        Pause(kIdlePollPauseMs);
    }
    return false;
}

float CDeviceUSBBase::FrameTime() const {
    return Usb2::FrameTime(rowTime_, sensorHeight_, cache_.U32(kHeight));
}

float CDeviceUSBBase::FrameRateLimit() const {
    const float cached = cache_.F32(kAcquisitionFrameRateMax);
    return cached > 0.0f ? cached : Usb2::PerSecond(FrameTime());
}

float CDeviceUSBBase::FramePeriod() const {
    switch (cache_.U32(kAcquisitionFrameRateMode)) {
        case 0:
            return Usb2::PerSecond(FrameRateLimit());
        case 1:
            return Usb2::PerSecond(cache_.F32(kAcquisitionFrameRate));
        default:
            return 0.0f;
    }
}

int CDeviceUSBBase::SelectedRatio() const {
    const uint32_t selector = cache_.U32(kBalanceRatioSelector);
    return selector <= 2 ? static_cast<int>(selector) : -1;
}

bool CDeviceUSBBase::CopyMapText(uint64_t address, void* buffer, Lumora::u64& size) const {
    const std::string* text = nullptr;
    switch (address) {
        case kDeviceVersion: text = &texts_.firmwareVersion; break;
        case kDeviceID: text = &texts_.deviceName; break;
        case kVersionText: text = &texts_.versionText; break;
        case kVendorName: text = &texts_.vendorName; break;
        case kModelName: text = &texts_.modelName; break;
        case kVendorInfo: text = &texts_.vendorInfo; break;
        case kSerialNumber: text = &texts_.serialNumber; break;
        case kInstanceName: text = &texts_.instanceName; break;
        default: return false;
    }
    CopyParamString(buffer, &size, *text);
    return true;
}

// ---------------------------------------------------------------------------------------------
// SetParam.

int CDeviceUSBBase::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (!channel_) return 0;
    return GuardedCall([&] { return SetParamOnCamera(id, buffer, size); });
}

int CDeviceUSBBase::SetParamOnCamera(uint64_t address, void* buffer, Lumora::u64& size) {
    if (const PlainRegister* plain = FindPlain(address)) {
        if (plain->kind == Plain::ReadOnly) return kOk;
        StoreFromCaller(address, buffer, size);
        return Status(WriteCamera16(plain->reg, cache_.U32(address)));
    }
    if (const int knot = GammaOrdinate(address); knot >= 0)
        return SetGammaOrdinate(static_cast<unsigned>(knot), buffer, size);

    const float c = pixelClock_;
    switch (address) {
        case kAcqEnabled:
            return StartOrStop(buffer, size);
        case kAcquisitionRestart:
            return Restart(buffer, size);
        case kTriggerSoftware:
            return TriggerSoftware(buffer, size);
        case kTriggerDelay:
            StoreFromCaller(address, buffer, size);
            return Status(
                WriteCamera32(Reg::kTriggerDelay, Usb2::TicksFromMicroseconds(c, cache_.F32(address))));
        case kStrobeTime:
        case kStrobeDelay:
            StoreFromCaller(address, buffer, size);
            return Status(WriteCamera16(address == kStrobeTime ? Reg::kStrobeTime : Reg::kStrobeDelay,
                                        Usb2::StrobeTicks(c, cache_.F32(address))));
        case kGainRaw:
            StoreFromCaller(address, buffer, size);
            return Status(WriteCamera16(Reg::kGain, Usb2::GainRegister(cache_.I32(address))));
        case kExposureTime:
            StoreFromCaller(address, buffer, size);
            return Status(WriteCamera32(Reg::kExposure, Usb2::TicksFromMicroseconds(c, cache_.F32(address))));
        case kAcquisitionFrameRate:
            StoreFromCaller(address, buffer, size);
            return Status(WriteCamera32(Reg::kFramePeriod, Usb2::FramePeriodTicks(c, cache_.F32(address))));
        case kExposureTimeMax:
        case kAcquisitionFrameRateMax:
            StoreFromCaller(address, buffer, size);  // computed limits: the camera has no register
            return kOk;
        case kBinningHorizontal:
        case kBinningVertical:
            return SetBinning(address, buffer, size);
        case kPixelFormat:
            StoreFromCaller(address, buffer, size);
            return Status(WriteCamera16(Reg::kPixelFormat, Usb2::PixelFormatCode(cache_.U32(address))));
        case kAcquisitionFrameRateMode:
            return SetFrameRateMode(buffer, size);
        case kBalanceRatioRed:
        case kBalanceRatioGreen:
        case kBalanceRatioBlue:
            return SetBalanceRatio(static_cast<unsigned>(address - kBalanceRatioRed), buffer, size);
        case kBalanceRatio: {
            const int colour = SelectedRatio();
            return colour < 0 ? kOk : SetBalanceRatio(static_cast<unsigned>(colour), buffer, size);
        }
        case kUserSetLoad: {
            StoreFromCaller(address, buffer, size);
            const bool written = WriteCamera16(Reg::kUserSetLoad, cache_.U32(address));
            Pause(kUserSetLoadPauseMs);
            return Status(written);
        }
        case kUserSetSave:
            StoreFromCaller(address, buffer, size);
            if (!WriteCamera16(Reg::kUserSetSave, cache_.U32(address))) return kFailed;
            Pause(kUserSetSavePauseMs);
            return kOk;
        default:
            // Texts, computed and read-only values, the description, and addresses outside the
            // map: nothing is stored.
            return kOk;
    }
}

int CDeviceUSBBase::StartOrStop(void* buffer, Lumora::u64& size) {
    // The cache takes the command only once the camera accepted it.
    uint32_t value = cache_.U32(kAcqEnabled);
    CopyParamIn(&value, sizeof value, buffer, &size);
    if (Usb2::Low16(value) != 0) {
        if (!WaitUntilIdle(Reg::kAcquisitionBusy)) return kFailed;
        const bool started = WriteCamera16(Reg::kAcquisitionStart, 1);
        Pause(kStartPauseMs);
        if (!started) return kFailed;
    } else if (!WriteCamera16(Reg::kAcquisitionStop, 1)) {
        return kFailed;
    }
    cache_.SetU32(kAcqEnabled, value);
    return kOk;
}

int CDeviceUSBBase::Restart(void* buffer, Lumora::u64& size) {
    uint32_t value = cache_.U32(kAcquisitionRestart);
    CopyParamIn(&value, sizeof value, buffer, &size);
    bool written;
    if (value != 0) {
        written = WriteCamera16(Reg::kAcquisitionStart, 1);  // no wait for idle: the stream restarts
        Pause(kRestartPauseMs);
    } else {
        written = WriteCamera16(Reg::kAcquisitionStop, 1);
    }
    if (!written) return kFailed;
    cache_.SetU32(kAcquisitionRestart, value);
    return kOk;
}

int CDeviceUSBBase::TriggerSoftware(void* buffer, Lumora::u64& size) {
    uint32_t value = cache_.U32(kTriggerSoftware);
    CopyParamIn(&value, sizeof value, buffer, &size);
    if (!WaitUntilIdle(Reg::kTriggerBusy)) return kFailed;
    cache_.SetU32(kTriggerSoftware, value);
    return Status(WriteCamera16(Reg::kSoftwareTrigger, value));
}

int CDeviceUSBBase::SetBinning(uint64_t address, void* buffer, Lumora::u64& size) {
    const bool horizontal = address == kBinningHorizontal;
    uint32_t factor = 0;
    CopyParamIn(&factor, sizeof factor, buffer, &size);
    const uint32_t code = factor - 1;
    cache_.SetU32(address, code);
    const uint32_t h = cache_.U32(kBinningHorizontal);
    const uint32_t v = cache_.U32(kBinningVertical);
    bool ok = WriteCamera16(Reg::kBinning, h * 256u + v);

    std::atomic<uint32_t>& state = horizontal ? horizontalBinning_ : verticalBinning_;
    if (code == state.load()) return Status(ok);
    const uint64_t limitAddress = horizontal ? kWidthMax : kHeightMax;
    const uint64_t sizeAddress = horizontal ? kWidth : kHeight;
    const uint16_t sizeRegister = horizontal ? Reg::kWidth : Reg::kHeight;
    if (code == 0) {
        cache_.SetU32(limitAddress, cache_.U32(limitAddress) * 2u);
        cache_.SetU32(sizeAddress, cache_.U32(sizeAddress) * 2u);
    } else if (code == 1) {
        cache_.SetU32(limitAddress, cache_.U32(limitAddress) / 2u);
        cache_.SetU32(sizeAddress, cache_.U32(sizeAddress) / 2u);
    } else {
        return Status(ok);  // a factor the camera does not have leaves the geometry alone
    }
    ok = WriteCamera16(sizeRegister, cache_.U32(sizeAddress)) && ok;
    state.store(code);
    return Status(ok);
}

int CDeviceUSBBase::SetFrameRateMode(void* buffer, Lumora::u64& size) {
    StoreFromCaller(kAcquisitionFrameRateMode, buffer, size);
    const uint32_t mode = cache_.U32(kAcquisitionFrameRateMode);
    const bool modeWritten = WriteCamera16(Reg::kFrameRateMode, mode);
    if (mode == 1) {
        const float limit = FrameRateLimit();
        if (limit > 0.0f && cache_.F32(kAcquisitionFrameRate) > limit)
            cache_.SetF32(kAcquisitionFrameRate, limit);
    }
    const bool periodWritten =
        WriteCamera32(Reg::kFramePeriod, Usb2::Low32(Usb2::TruncI64(FramePeriod() * pixelClock_)));
    return Status(modeWritten && periodWritten);
}

int CDeviceUSBBase::SetGammaOrdinate(unsigned knot, void* buffer, Lumora::u64& size) {
    const uint64_t address = kGammaY0 + 4 * knot;
    StoreFromCaller(address, buffer, size);
    if (!WriteCamera16(static_cast<uint16_t>(Reg::kGammaY0 + 2 * knot), cache_.U32(address))) return kFailed;
    auto slopeOf = [this](unsigned i) {
        const uint32_t x0 = i == 0 ? 0 : cache_.U32(kGammaX0 + 4 * (i - 1));
        const uint32_t y0 = i == 0 ? 0 : cache_.U32(kGammaY0 + 4 * (i - 1));
        return Usb2::GammaSlope(x0, y0, cache_.U32(kGammaX0 + 4 * i), cache_.U32(kGammaY0 + 4 * i));
    };
    auto writeSlope = [&](unsigned i) {
        const PlainRegister* slope = FindPlain(kGammaS0 + 4 * i);
        return WriteCamera16(slope->reg, slopeOf(i));
    };
    if (!writeSlope(knot)) return kFailed;
    if (knot + 1 < kGammaKnots && !writeSlope(knot + 1)) return kFailed;
    return kOk;
}

int CDeviceUSBBase::SetBalanceRatio(unsigned colour, void* buffer, Lumora::u64& size) {
    const uint64_t address = kBalanceRatioRed + colour;
    StoreFromCaller(address, buffer, size);
    const uint16_t value = Usb2::RatioRegister(cache_.F32(address));
    if (!WriteCamera16(static_cast<uint16_t>(Reg::kRatioRed + 2 * colour), value)) return kFailed;
    return Status(WriteCamera16(static_cast<uint16_t>(Reg::kRatioCopyRed + 2 * colour), value));
}

// ---------------------------------------------------------------------------------------------
// GetParam.

int CDeviceUSBBase::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (!channel_) return 0;
    return GuardedCall([&] { return GetParamFromCamera(id, buffer, size); });
}

int CDeviceUSBBase::GetParamFromCamera(uint64_t address, void* buffer, Lumora::u64& size) {
    if (const PlainRegister* plain = FindPlain(address)) {
        if (plain->kind == Plain::WriteOnly) return kOk;
        if (plain->kind == Plain::CachedWhileOn && cache_.U32(address) != 0) {
            CopySlotOut(address, buffer, size);
            return kOk;
        }
        uint16_t value = 0;
        if (!ReadCamera16(plain->reg, value)) return kOk;
        const uint32_t cached = plain->kind == Plain::SignExtended
                                    ? static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(value)))
                                    : value;
        cache_.SetU32(address, cached);
        CopySlotOut(address, buffer, size);
        return kOk;
    }
    if (const Statistic* statistic = FindStatistic(address)) {
        uint32_t value = 0;
        if (!ReadCamera32(statistic->reg, value)) return kOk;
        cache_.SetU32(address, value);
        CopySlotOut(address, buffer, size);
        return kOk;
    }
    // A 16-bit register read into the slot through a conversion; false when the read failed.
    auto read16Into = [&](uint16_t reg, uint64_t slot, auto convert) {
        uint16_t value = 0;
        if (!ReadCamera16(reg, value)) return false;
        convert(slot, value);
        CopySlotOut(slot, buffer, size);
        return true;
    };
    auto read32Into = [&](uint16_t reg, uint64_t slot, auto convert) {
        uint32_t value = 0;
        if (!ReadCamera32(reg, value)) return false;
        convert(slot, value);
        CopySlotOut(slot, buffer, size);
        return true;
    };
    auto asIs = [this](uint64_t slot, uint32_t value) { cache_.SetU32(slot, value); };
    if (const int knot = GammaOrdinate(address); knot >= 0) {
        read16Into(static_cast<uint16_t>(Reg::kGammaY0 + 2 * knot), address, asIs);
        return kOk;
    }

    if (CopyMapText(address, buffer, size)) return kOk;

    const float c = pixelClock_;
    switch (address) {
        case kDeviceScanType:
        case kGammaX0 + 0x00:
        case kGammaX0 + 0x04:
        case kGammaX0 + 0x08:
        case kGammaX0 + 0x0C:
        case kGammaX0 + 0x10:
        case kGammaX0 + 0x14:
        case kGammaX0 + 0x18:
        case kGammaX0 + 0x1C:
            CopySlotOut(address, buffer, size);
            return kOk;
        case kDescription:
            if (description_.empty()) {
                size = 0;
                return kOk;
            }
            CopyParamBytes(buffer, &size, description_.data(), description_.size());
            return kOk;
        case kWidthMax:
        case kHeightMax:
            return GetSizeLimit(address, buffer, size);
        case kBinningHorizontal:
        case kBinningVertical: {
            uint16_t value = 0;
            if (!ReadCamera16(Reg::kBinning, value)) return kOk;
            const uint32_t code = address == kBinningHorizontal ? value >> 8 : value & 0xFFu;
            cache_.SetU32(address, code);
            const uint32_t factor = code + 1;  // the cache keeps the code, the caller gets the factor
            CopyParamBytes(buffer, &size, &factor, sizeof factor);
            return kOk;
        }
        case kPixelFormat:
            read16Into(Reg::kPixelFormat, address, [this](uint64_t slot, uint16_t code) {
                cache_.SetU32(slot, Usb2::PixelFormatOfCode(code));
            });
            return kOk;
        case kPayloadSize:
            cache_.SetU32(kPayloadSize, Usb2::PayloadSize(cache_.U32(kWidth), cache_.U32(kBinningHorizontal),
                                                          cache_.U32(kHeight), cache_.U32(kPixelFormat)));
            CopySlotOut(address, buffer, size);
            return kOk;
        case kTriggerDelay:
        case kExposureTime:
            read32Into(address == kTriggerDelay ? Reg::kTriggerDelay : Reg::kExposure, address,
                       [this, c](uint64_t slot, uint32_t ticks) {
                           cache_.SetF32(slot, Usb2::MicrosecondsFromTicks(c, ticks));
                       });
            return kOk;
        case kStrobeTime:
        case kStrobeDelay: {
            const bool time = address == kStrobeTime;
            read16Into(time ? Reg::kStrobeTime : Reg::kStrobeDelay, address,
                       [this, c, time](uint64_t slot, uint16_t ticks) {
                           cache_.SetF32(slot, Usb2::StrobeMicroseconds(c, ticks,
                                                                        time ? Usb2::kStrobeTimeRounding
                                                                             : Usb2::kStrobeDelayRounding));
                       });
            return kOk;
        }
        case kGainRaw:
            read16Into(Reg::kGain, address, [this](uint64_t slot, uint16_t reg) {
                cache_.SetU32(slot, Usb2::GainFromRegister(reg));
            });
            return kOk;
        case kAcquisitionFrameRate:
            read32Into(Reg::kFramePeriod, address, [this, c](uint64_t slot, uint32_t ticks) {
                cache_.SetF32(slot, Usb2::FrameRateFromTicks(c, ticks));
            });
            return kOk;
        case kAcquisitionFrameRateMode:
            read16Into(Reg::kFrameRateMode, address, asIs);
            return kOk;
        case kExposureTimeMax:
            return GetExposureTimeMax(buffer, size);
        case kAcquisitionFrameRateMax:
            return GetFrameRateMax(buffer, size);
        case kBalanceRatioRed:
        case kBalanceRatioGreen:
        case kBalanceRatioBlue:
        case kBalanceRatio: {
            const int colour =
                address == kBalanceRatio ? SelectedRatio() : static_cast<int>(address - kBalanceRatioRed);
            if (colour < 0) return kOk;
            read16Into(static_cast<uint16_t>(Reg::kRatioRed + 2 * colour),
                       kBalanceRatioRed + static_cast<unsigned>(colour),
                       [this](uint64_t slot, uint16_t reg) { cache_.SetF32(slot, static_cast<float>(reg)); });
            return kOk;
        }
        default:
            // Write-only commands, the no-op addresses and addresses outside the map.
            return kOk;
    }
}

int CDeviceUSBBase::GetSizeLimit(uint64_t address, void* buffer, Lumora::u64& size) {
    uint16_t value = 0;
    if (!ReadCamera16(Reg::kBinning, value)) return kOk;
    const bool horizontal = address == kWidthMax;
    const uint32_t code = horizontal ? value >> 8 : value & 0xFFu;
    cache_.SetU32(horizontal ? kBinningHorizontal : kBinningVertical, code);
    (horizontal ? horizontalBinning_ : verticalBinning_).store(code);
    const uint32_t sensor = horizontal ? sensorWidth_ : sensorHeight_;
    cache_.SetU32(address, code == 1 ? sensor / 2 : sensor);
    CopySlotOut(address, buffer, size);
    return kOk;
}

int CDeviceUSBBase::GetExposureTimeMax(void* buffer, Lumora::u64& size) {
    float limit = 0.0f;
    if (cache_.U32(kTriggerMode) == 1) {
        limit = 5000000.0f;
    } else if (cache_.U32(kAcquisitionFrameRateMode) == 1) {
        // A rate that is not above 0 sets no limit of its own: the frame time does.
        limit = Usb2::PerSecond(std::min(cache_.F32(kAcquisitionFrameRate), FrameRateLimit()));
        if (limit == 0.0f) limit = FrameTime();
    } else {
        limit = FrameTime();
    }
    cache_.SetF32(kExposureTimeMax, limit);
    CopySlotOut(kExposureTimeMax, buffer, size);
    return kOk;
}

int CDeviceUSBBase::GetFrameRateMax(void* buffer, Lumora::u64& size) {
    const float frameTime = FrameTime();
    cache_.SetF32(kExposureTimeMax, frameTime);
    const float limit = Usb2::PerSecond(frameTime);
    cache_.SetF32(kAcquisitionFrameRateMax, limit);
    if (cache_.F32(kAcquisitionFrameRate) > limit) cache_.SetF32(kAcquisitionFrameRate, limit);
    const bool written =
        WriteCamera32(Reg::kFramePeriod, Usb2::Low32(Usb2::TruncI64(FramePeriod() * pixelClock_)));
    CopySlotOut(kAcquisitionFrameRateMax, buffer, size);
    return Status(written);
}

// ---------------------------------------------------------------------------------------------
// SetValue and GetValue: the cache only.

int CDeviceUSBBase::SetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        if (id == kBalanceRatio) {
            const int colour = SelectedRatio();
            if (colour >= 0) StoreFromCaller(kBalanceRatioRed + static_cast<unsigned>(colour), buffer, size);
            return kOk;
        }
        // The binning addresses take the caller's number as the code itself.
        if (id != kAcquisitionBusy && cache_.Has(id) && !CacheOnlyReadable(id))
            StoreFromCaller(id, buffer, size);
        return kOk;
    });
}

int CDeviceUSBBase::GetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        if (CopyMapText(id, buffer, size)) return kOk;
        switch (id) {
            case kWidthMax:
            case kHeightMax:
            case kAcquisitionFrameCount:
            case kNoOp200:
            case kNoOp250:
            case kOverlapMode:
            case kAcquisitionFrameRateRaw:
            case kNoOp524:
                return kOk;
            case kBalanceRatio: {
                const int colour = SelectedRatio();
                if (colour >= 0) CopySlotOut(kBalanceRatioRed + static_cast<unsigned>(colour), buffer, size);
                return kOk;
            }
            default:
                if (!cache_.Has(id)) return static_cast<int>(GC_ERR_INVALID_PARAMETER);
                CopySlotOut(id, buffer, size);
                return kOk;
        }
    });
}

}  // namespace Kovon
