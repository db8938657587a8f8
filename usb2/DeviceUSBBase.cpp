#include "usb2/DeviceUSBBase.h"

#include <cstdio>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Resources.h"
#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "system/TreeText.h"
#include "usb2/image/StreamUSBBase.h"

namespace Kovon {

using Lumora::GC_ERR_ERROR;
using Lumora::GC_ERR_INVALID_PARAMETER;
using Lumora::GC_ERR_NOT_IMPLEMENTED;
using Lumora::INewStream;

const char* const kUsbVersionText = "4.7.0.0";
const char* const kUsbVendorName = "Tarvek Co., LTD";
const char* const kUsbVendorInfo = "TARVEK URL:http://www.tarvek.com";

namespace {
constexpr const char* kTransportLayerType = "Custom";
constexpr uint32_t kOneConstant = 1;  // GetInfo 9
constexpr const char* kDescriptionType = "DEVREGS";

// Gamma knots: 4094 and 8190 rather than 4095 and 8191 are what the cameras expect.
constexpr uint32_t kDefaultGammaAbscissas[MapAddress::kGammaKnots] = {127,  255,  511,  1023,
                                                                      2047, 4094, 8190, 16383};
constexpr float kUnitBalanceRatio = 1024.0f;

void PlatformPause(unsigned milliseconds) {
    Platform::Sleep(milliseconds);
}

}  // namespace

CDeviceUSBBase::CDeviceUSBBase() : pause_(PlatformPause) {
    texts_.versionText = kUsbVersionText;
    texts_.vendorInfo = kUsbVendorInfo;
    SetGammaAbscissas(kDefaultGammaAbscissas);
    for (uint64_t ratio :
         {MapAddress::kBalanceRatioRed, MapAddress::kBalanceRatioGreen, MapAddress::kBalanceRatioBlue})
        cache_.SetF32(ratio, kUnitBalanceRatio);
}

CDeviceUSBBase::CDeviceUSBBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               const UsbDeviceTexts& texts)
    : CDeviceUSBBase() {
    system_ = system;
    interface_ = parentInterface;
    texts_ = texts;
    if (!texts_.instanceName.empty()) {
        channel_ = std::make_unique<CEzusb>();
        channel_->SetDeviceName(texts_.instanceName.c_str());
    }
}

CDeviceUSBBase::~CDeviceUSBBase() {
    ReleaseStreams();
    CloseDriver();
    if (interface_ != nullptr) interface_->ReleaseChild(static_cast<Lumora::IDevice*>(this));
    description_.clear();
    Release_Mutex();
}

bool CDeviceUSBBase::Create_Mutex() {
    return CreateNamedMutex(texts_.deviceName);
}

bool CDeviceUSBBase::Release_Mutex() {
    return CloseNamedMutex();
}

int CDeviceUSBBase::OpenDriver() {
    if (!ClaimCamera()) return GC_ERR_ERROR;
    if (!channel_) return 0;
    const bool opened = channel_->Reopen() || channel_->Reopen();
    if (!opened) return 0;
    const uint8_t stop[2] = {1, 0};
    channel_->WriteRegister(stop, kAcquisitionStopRegister, sizeof stop);
    return 1;
}

void CDeviceUSBBase::CloseDriver() {
    if (channel_) channel_->Close();
}

int CDeviceUSBBase::GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        switch (id) {
            case 0:
                CopyParamString(buffer, &size, texts_.firmwareVersion);
                return 0;
            case 1:
                CopyParamString(buffer, &size, texts_.deviceName);
                return 0;
            case 2:
                CopyParamString(buffer, &size, texts_.versionText);
                return 0;
            case 3:
                CopyParamString(buffer, &size, texts_.vendorName);
                return 0;
            case 4:
                CopyParamString(buffer, &size, texts_.modelName);
                return 0;
            case 5:
                CopyParamString(buffer, &size, texts_.vendorInfo);
                return 0;
            case 6: {
                const uint32_t scanType = cache_.U32(MapAddress::kDeviceScanType);
                CopyParamBytes(buffer, &size, &scanType, sizeof scanType);
                return 0;
            }
            case 7:
                CopyParamString(buffer, &size, texts_.serialNumber);
                return 0;
            case 8: {
                char location[512];
                std::snprintf(location, sizeof location, "Local:%s.xml;%llx;%llx", texts_.modelName.c_str(),
                              static_cast<unsigned long long>(kDescriptionAddress),
                              static_cast<unsigned long long>(description_.size()));
                CopyParamString(buffer, &size, location);
                return 0;
            }
            case 9:
                CopyParamBytes(buffer, &size, &kOneConstant, sizeof kOneConstant);
                return 0;
            case 10:
                CopyParamString(buffer, &size, texts_.instanceName);
                return 0;
            case 11:
                return 0;  // no camera index: nothing is touched
            case 13:
                CopyParamString(buffer, &size, kTransportLayerType);
                return 0;
            default:
                return static_cast<int>(GC_ERR_NOT_IMPLEMENTED);
        }
    });
}

void CDeviceUSBBase::SetPauseFunction(PauseFunction pause) {
    pause_ = pause != nullptr ? pause : PlatformPause;
}

void CDeviceUSBBase::SetSensorConstants(const SensorConstants& constants) {
    sensorWidth_ = constants.width;
    sensorHeight_ = constants.height;
    pixelClock_ = constants.pixelClock;
    rowTime_ = constants.rowTime;
    cache_.SetU32(MapAddress::kWidthMax, constants.width);
    cache_.SetU32(MapAddress::kHeightMax, constants.height);
    cache_.SetF32(MapAddress::kExposureTimeMax, constants.exposureTimeMax);
}

void CDeviceUSBBase::SetGammaAbscissas(const uint32_t (&abscissas)[MapAddress::kGammaKnots]) {
    for (unsigned i = 0; i < MapAddress::kGammaKnots; ++i)
        cache_.SetU32(MapAddress::kGammaX0 + 4 * i, abscissas[i]);
}

size_t CDeviceUSBBase::DescriptionBlockSize(size_t n) {
    return n % 4 != 0 ? n + (4 - n % 4) : n + 4;
}

void CDeviceUSBBase::SetDescription(const uint8_t* data, size_t size) {
    description_.assign(DescriptionBlockSize(size), 0);
    if (size != 0) std::memcpy(description_.data(), data, size);
}

void CDeviceUSBBase::LoadDescriptionResource(uint32_t id) {
    const Platform::Resource resource = Platform::FindResource(kDescriptionType, id);
    if (!resource) {
        description_.clear();
        return;
    }
    SetDescription(resource.data, resource.size);
}

int CDeviceUSBBase::RegisterEventCallBack(Lumora::EventCallBack, void*) {
    return 0;
}

// Streams.

void CDeviceUSBBase::UpdateStreamList() {
    MergeStream(std::make_unique<CStreamUSBBase>());
}

INewStream* CDeviceUSBBase::CreateObjectForAddList(INewStream* info) {
    if (info == nullptr || StreamText(info, 0) != CStreamUSBBase::kName) return nullptr;
    return new CStreamUSBBase(system_, interface_, this, channel_.get());
}

INewStream* CDeviceUSBBase::CopyObjectForInfo(INewStream* source) {
    if (source == nullptr || StreamText(source, 0) != CStreamUSBBase::kName) return nullptr;
    return new CStreamUSBBase();
}

}  // namespace Kovon
