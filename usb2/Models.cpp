#include "usb2/Models.h"

#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "usb2/FeatureConversions.h"

namespace Kovon {

using namespace MapAddress;

namespace {

using Constants = CDeviceUSBBase::SensorConstants;

// Sensor size, pixel clock (MHz), row time (µs per row) and the initial ExposureTimeMax (µs).
constexpr Constants kGA47E = {1280, 960, 39.3f, 40.72f, 39793.62f};
constexpr Constants kWide1024 = {1280, 1024, 28.7f, 62.3636f, 65450.598f};  // GA46E and the K models
constexpr Constants kXga = {1024, 768, 30.0f, 42.3291f, 33207.184f};        // GB47E, GC46E, GE45E
constexpr Constants kGC47E = {640, 480, 27.898f, 27.9552f, 14068.455f};
constexpr Constants kNarrow = {752, 480, 27.0f, 0.0f, 0.0f};              // row time from the row-time table
constexpr Constants kFortyMHz = {1280, 960, 40.0f, 39.025f, 38371.332f};  // PQ-L582H and the "-P" models

// The 752-column sensors have a 10-bit curve.
constexpr uint32_t kNarrowGammaAbscissas[kGammaKnots] = {7, 15, 31, 63, 127, 255, 511, 1023};

// Register descriptions ("DEVREGS" resources).
enum DescriptionId : uint32_t {
    kDescRTKC47E = 104,
    kDescPQL582H_056 = 105,
    kDescPQL582H_059 = 106,
    kDescRTGA46E = 107,
    kDescRTGA47E = 108,
    kDescRTGA47EP = 109,
    kDescRTGE45E = 110,
    kDescRTGC46E = 111,
    kDescRTGC47E = 112,
    kDescRTGD48E = 113,
    kDescRTGB47E = 114,
    kDescRTKA46E = 115,
    kDescRTKA47E = 116,
    kDescRTKA47EP = 117,
    kDescRTKE45E = 118,
    kDescRTKD48E = 120,
    kDescRTKB47E = 121,
};

namespace Reg {
constexpr uint16_t kWidth = 0x434;
constexpr uint16_t kHeight = 0x436;
constexpr uint16_t kOffsetX = 0x438;
constexpr uint16_t kOffsetY = 0x43A;
constexpr uint16_t kTriggerMode = 0x462;
constexpr uint16_t kTriggerDelay = 0x468;  // 32 bits
constexpr uint16_t kStrobeTime = 0x478;
constexpr uint16_t kStrobeDelay = 0x47A;
constexpr uint16_t kGain = 0x408;
constexpr uint16_t kBlackLevel = 0x40A;
constexpr uint16_t kExposure = 0x482;
constexpr uint16_t kExposureLimit = 0x558;
}  // namespace Reg

constexpr uint32_t kOffsetXShift = 1;
constexpr uint32_t kOffsetYShift = 4;

int Status(bool ok) {
    return ok ? 0 : static_cast<int>(Lumora::GC_ERR_ERROR);
}

}  // namespace

// Every model: the base constructor, then the model's description (opened objects only), then
// the constants.
#define KOVON_USB2_MODEL(Class, Base, constants, description)                        \
    Class::Class(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface, \
                 const UsbDeviceTexts& texts)                                        \
        : Base(system, parentInterface, texts) {                                     \
        if (system != nullptr) Class::LoadXML();                                     \
        SetSensorConstants(constants);                                               \
    }                                                                                \
    void Class::LoadXML() {                                                          \
        LoadDescriptionResource(description);                                        \
    }

KOVON_USB2_MODEL(CDeviceRTGA47E, CDeviceUSBBase, kGA47E, kDescRTGA47E)
KOVON_USB2_MODEL(CDeviceRTGA46E, CDeviceUSBBase, kWide1024, kDescRTGA46E)
KOVON_USB2_MODEL(CDeviceRTGB47E, CDeviceUSBBase, kXga, kDescRTGB47E)
KOVON_USB2_MODEL(CDeviceRTGC46E, CDeviceUSBBase, kXga, kDescRTGC46E)
KOVON_USB2_MODEL(CDeviceRTGC47E, CDeviceUSBBase, kGC47E, kDescRTGC47E)
KOVON_USB2_MODEL(CDeviceRTGE45E, CDeviceUSBBase, kXga, kDescRTGE45E)
KOVON_USB2_MODEL(CDeviceRTKA47E, CDeviceUSBBase, kWide1024, kDescRTKA47E)
KOVON_USB2_MODEL(CDeviceRTKA46E, CDeviceUSBBase, kWide1024, kDescRTKA46E)
KOVON_USB2_MODEL(CDeviceRTKB47E, CDeviceUSBBase, kWide1024, kDescRTKB47E)
KOVON_USB2_MODEL(CDeviceRTKC47E, CDeviceUSBBase, kWide1024, kDescRTKC47E)
KOVON_USB2_MODEL(CDeviceRTKE45E, CDeviceUSBBase, kWide1024, kDescRTKE45E)
KOVON_USB2_MODEL(CDeviceRTGA47EP, CDeviceUSBBase, kFortyMHz, kDescRTGA47EP)
KOVON_USB2_MODEL(CDeviceRTKA47EP, CDeviceUSBBase, kFortyMHz, kDescRTKA47EP)

#undef KOVON_USB2_MODEL

// "PQ-L582H": the firmware version picks the description; only two versions have one.
CDevicePQL582H::CDevicePQL582H(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) CDevicePQL582H::LoadXML();
    SetSensorConstants(kFortyMHz);
}

void CDevicePQL582H::LoadXML() {
    const std::string& firmware = Texts().firmwareVersion;
    if (firmware == "0.0.5.6")
        LoadDescriptionResource(kDescPQL582H_056);
    else if (firmware == "0.0.5.9")
        LoadDescriptionResource(kDescPQL582H_059);
    else
        description_.clear();
}

// ---------------------------------------------------------------------------------------------
// The "-P" gain.

int CDeviceUSBBase::SetGainRawP(void* buffer, Lumora::u64& size) {
    StoreFromCaller(kGainRaw, buffer, size);
    return Status(WriteCamera16(Reg::kGain, Usb2::GainRegisterP(cache_.I32(kGainRaw))));
}

int CDeviceUSBBase::GetGainRawP(void* buffer, Lumora::u64& size) {
    uint16_t reg = 0;
    if (!ReadCamera16(Reg::kGain, reg)) return 0;
    cache_.SetU32(kGainRaw, Usb2::GainFromRegisterP(reg));
    CopySlotOut(kGainRaw, buffer, size);
    return 0;
}

int CDeviceRTGA47EP::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (id != kGainRaw || Channel() == nullptr) return CDeviceUSBBase::SetParam(id, buffer, size);
    return GuardedCall([&] { return SetGainRawP(buffer, size); });
}

int CDeviceRTGA47EP::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (id != kGainRaw || Channel() == nullptr) return CDeviceUSBBase::GetParam(id, buffer, size);
    return GuardedCall([&] { return GetGainRawP(buffer, size); });
}

int CDeviceRTKA47EP::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (id != kGainRaw || Channel() == nullptr) return CDeviceUSBBase::SetParam(id, buffer, size);
    return GuardedCall([&] { return SetGainRawP(buffer, size); });
}

int CDeviceRTKA47EP::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (id != kGainRaw || Channel() == nullptr) return CDeviceUSBBase::GetParam(id, buffer, size);
    return GuardedCall([&] { return GetGainRawP(buffer, size); });
}

// ---------------------------------------------------------------------------------------------
// The 752-column models.

CDeviceRTGD48E::CDeviceRTGD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase(system, parentInterface, texts) {
    if (system != nullptr) CDeviceRTGD48E::LoadXML();
    SetSensorConstants(kNarrow);
    SetGammaAbscissas(kNarrowGammaAbscissas);
}

void CDeviceRTGD48E::LoadXML() {
    LoadDescriptionResource(kDescRTGD48E);
}

// The monochrome constructor has loaded 113 already; the colour description replaces it.
CDeviceRTKD48E::CDeviceRTKD48E(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceRTGD48E(system, parentInterface, texts) {
    if (system != nullptr) CDeviceRTKD48E::LoadXML();
    SetSensorConstants(kNarrow);
    SetGammaAbscissas(kNarrowGammaAbscissas);
}

void CDeviceRTKD48E::LoadXML() {
    LoadDescriptionResource(kDescRTKD48E);
}

float CDeviceRTGD48E::RowTimeOfWidth() const {
    const int64_t removed =
        static_cast<int64_t>(Cache().U32(kWidthMax)) - static_cast<int64_t>(Cache().U32(kWidth));
    return Usb2::Narrow::RowTime(removed);
}

float CDeviceRTGD48E::GetRowTime() const {
    return Cache().U32(kTriggerMode) == 1 ? Usb2::Narrow::RowTime(0) : RowTimeOfWidth();
}

int CDeviceRTGD48E::ChangeExposureTimeMax() {
    if (Channel() == nullptr) return 0;
    const uint32_t limit = Cache().U32(kTriggerMode) == 1
                               ? Usb2::Narrow::kTriggerExposureLimitRows
                               : Usb2::Narrow::ExposureLimitRows(RowTimeOfWidth(), Cache().U32(kHeight));
    exposureLimitRows_.store(limit);
    return Status(WriteCamera16(Reg::kExposureLimit, limit));
}

int CDeviceRTGD48E::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    switch (id) {
        case kWidth:
        case kHeight:
        case kTriggerMode:
        case kOffsetX:
        case kOffsetY:
        case kTriggerDelay:
        case kStrobeTime:
        case kStrobeDelay:
        case kGainRaw:
        case kBlackLevelRaw:
        case kExposureTime:
        case kExposureTimeMax:
            if (Channel() == nullptr) return 0;
            return GuardedCall([&] { return SetParamNarrow(id, buffer, size); });
        default:
            return CDeviceUSBBase::SetParam(id, buffer, size);
    }
}

int CDeviceRTGD48E::SetParamNarrow(uint64_t address, void* buffer, Lumora::u64& size) {
    StoreFromCaller(address, buffer, size);
    const uint32_t value = Cache().U32(address);
    const float time = Cache().F32(address);
    switch (address) {
        case kWidth:
        case kHeight:
        case kTriggerMode: {
            // The limit follows the geometry and the trigger mode; its outcome is not the caller's.
            const uint16_t reg = address == kWidth    ? Reg::kWidth
                                 : address == kHeight ? Reg::kHeight
                                                      : Reg::kTriggerMode;
            const bool written = WriteCamera16(reg, value);
            ChangeExposureTimeMax();
            return Status(written);
        }
        case kOffsetX:
            return Status(WriteCamera16(Reg::kOffsetX, value + kOffsetXShift));
        case kOffsetY:
            return Status(WriteCamera16(Reg::kOffsetY, value + kOffsetYShift));
        case kTriggerDelay:
            return Status(WriteCamera32(Reg::kTriggerDelay, Usb2::Narrow::TriggerDelayTicks(time)));
        case kStrobeTime:
        case kStrobeDelay:
            return Status(WriteCamera16(address == kStrobeTime ? Reg::kStrobeTime : Reg::kStrobeDelay,
                                        Usb2::Narrow::StrobeTicks(time)));
        case kGainRaw:
            return Status(WriteCamera16(Reg::kGain, Usb2::Narrow::GainRegister(value)));
        case kBlackLevelRaw:
            return Status(
                WriteCamera16(Reg::kBlackLevel, Usb2::Narrow::BlackLevelRegister(Cache().I32(address))));
        case kExposureTime:
            return Status(WriteCamera16(Reg::kExposure, Usb2::Narrow::ExposureRows(time, GetRowTime())));
        default:  // ExposureTimeMax: the cache only
            return 0;
    }
}

int CDeviceRTGD48E::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    switch (id) {
        case kOffsetX:
        case kOffsetY:
        case kTriggerDelay:
        case kStrobeTime:
        case kStrobeDelay:
        case kGainRaw:
        case kBlackLevelRaw:
        case kExposureTime:
        case kExposureTimeMax:
            if (Channel() == nullptr) return 0;
            return GuardedCall([&] { return GetParamNarrow(id, buffer, size); });
        default:
            return CDeviceUSBBase::GetParam(id, buffer, size);
    }
}

int CDeviceRTGD48E::GetParamNarrow(uint64_t address, void* buffer, Lumora::u64& size) {
    if (address == kExposureTimeMax) return GetExposureLimit(buffer, size);
    ParamCache& cache = Cache();
    if (address == kTriggerDelay) {
        uint32_t ticks = 0;
        if (!ReadCamera32(Reg::kTriggerDelay, ticks)) return 0;
        cache.SetF32(address, Usb2::Narrow::TriggerDelayMicroseconds(ticks));
        CopySlotOut(address, buffer, size);
        return 0;
    }
    uint16_t reg = 0;
    switch (address) {
        case kOffsetX:
            if (!ReadCamera16(Reg::kOffsetX, reg)) return 0;
            cache.SetU32(address, uint32_t{reg} - kOffsetXShift);
            break;
        case kOffsetY:
            if (!ReadCamera16(Reg::kOffsetY, reg)) return 0;
            cache.SetU32(address, uint32_t{reg} - kOffsetYShift);
            break;
        case kStrobeTime:
        case kStrobeDelay:
            if (!ReadCamera16(address == kStrobeTime ? Reg::kStrobeTime : Reg::kStrobeDelay, reg)) return 0;
            cache.SetF32(address, Usb2::Narrow::StrobeMicroseconds(reg));
            break;
        case kGainRaw:
            if (!ReadCamera16(Reg::kGain, reg)) return 0;
            cache.SetU32(address, Usb2::Narrow::GainFromRegister(reg));
            break;
        case kBlackLevelRaw:
            if (!ReadCamera16(Reg::kBlackLevel, reg)) return 0;
            cache.SetU32(address, static_cast<uint32_t>(Usb2::Narrow::BlackLevelFromRegister(reg)));
            break;
        default:  // ExposureTime: rows times the row time, not rounded
            if (!ReadCamera16(Reg::kExposure, reg)) return 0;
            cache.SetF32(address, GetRowTime() * static_cast<float>(reg));
            break;
    }
    CopySlotOut(address, buffer, size);
    return 0;
}

int CDeviceRTGD48E::GetExposureLimit(void* buffer, Lumora::u64& size) {
    ChangeExposureTimeMax();
    uint16_t rows = 0;
    ReadCamera16(Reg::kExposureLimit, rows);  // a failed read leaves 0 rows
    const float rowTime = GetRowTime();
    const float limit = rowTime * static_cast<float>(rows);
    Cache().SetF32(kExposureTimeMax, limit);
    int status = 0;
    // Pull the camera's exposure under the new limit; the cached ExposureTime keeps its value.
    if (Cache().F32(kExposureTime) > limit &&
        !WriteCamera16(Reg::kExposure, Usb2::Narrow::ExposureRows(limit, rowTime)))
        status = Status(false);
    CopySlotOut(kExposureTimeMax, buffer, size);
    return status;
}

}  // namespace Kovon
