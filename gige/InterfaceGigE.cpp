#include "gige/InterfaceGigE.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "gige/DeviceGigEBase.h"
#include "gige/DottedAddress.h"
#include "gige/GigEIdentity.h"
#include "gige/GigEStatus.h"
#include "gige/pelion/Pelion.h"
#include "platform/CameraIndexTable.h"
#include "platform/Resources.h"
#include "system/ParamCopy.h"
#include "system/TreeText.h"

namespace Kovon {
namespace {

using Lumora::GC_ERR_ACCESS_DENIED;
using Lumora::GC_ERR_ERROR;
using Lumora::GC_ERR_INVALID_PARAMETER;
using Lumora::INewDevice;

constexpr size_t kTextBufferSize = 512;
constexpr size_t kMergeTextSize = 256;
constexpr uint32_t kDescriptionResourceId = 104;

// Register ids of the interface's own map.
constexpr Lumora::u64 kDeviceSelector = 0x800;
constexpr Lumora::u64 kForceIpAddress = 0x810;
constexpr Lumora::u64 kForceIpMask = 0x820;
constexpr Lumora::u64 kForceIpGateway = 0x830;
constexpr Lumora::u64 kForceIp = 0x840;
constexpr Lumora::u64 kForceIsLock = 0x844;

void CopyBigEndian(void* buffer, Lumora::u64& size, uint32_t value) {
    const uint32_t wire = htonl(value);
    CopyParamBytes(buffer, &size, &wire, sizeof wire);
}

// Reads a fixed-size record of a device through GetInfo; false unless the whole record came back.
template <typename Record>
bool ReadRecord(INewDevice* device, Lumora::u64 id, Record& record) {
    Lumora::u64 size = sizeof record;
    return device->GetInfo(id, &record, size) == 0 && size == sizeof record;
}

struct InfoContent {
    GigEDeviceTexts texts;
    Pelion::ConnectionRecord connection{};
    Pelion::CameraRecord discovery{};
    int32_t accessValue = 0;
};

// Everything a device is built from, read from another device's information ids.
bool ReadInfoContent(INewDevice* device, InfoContent& content) {
    if (device == nullptr) return false;
    GigEDeviceTexts& t = content.texts;
    t.deviceVersion = DeviceInfoText(device, 0, kTextBufferSize);
    t.deviceName = DeviceInfoText(device, 1, kTextBufferSize);
    t.versionText = DeviceInfoText(device, 2, kTextBufferSize);
    t.vendorName = DeviceInfoText(device, 3, kTextBufferSize);
    t.modelName = DeviceInfoText(device, 4, kTextBufferSize);
    t.vendorInfo = DeviceInfoText(device, 5, kTextBufferSize);
    t.serialNumber = DeviceInfoText(device, 7, kTextBufferSize);
    return ReadRecord(device, 10, content.connection) && ReadRecord(device, 12, content.discovery) &&
           ReadRecord(device, 9, content.accessValue);
}

}  // namespace

CInterfaceGigE::CInterfaceGigE() : CInterfaceGigE(nullptr, kDefaultName, kDefaultType, kDefaultDescription) {}

CInterfaceGigE::CInterfaceGigE(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                               const std::string& description)
    : CInterfaceGigE(parent, name, type, description, Platform::CameraIndexTable::Shared()) {}

CInterfaceGigE::CInterfaceGigE(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                               const std::string& description, Platform::CameraIndexTable& indexTable)
    : CInterfaceBase(parent, name, type, description, kGigETransportLayerType),
      indexTable_(indexTable),
      lastOpenStatus_(GC_ERR_ERROR) {
    CInterfaceGigE::LoadXML();
}

CInterfaceGigE::~CInterfaceGigE() { ReleaseChildren(); }

void CInterfaceGigE::LoadXML() {
    const Platform::Resource resource = Platform::FindResource("INTERFACES", kDescriptionResourceId);
    if (!resource) return;
    // Room for the file and at least one NUL, in whole 32-bit words.
    const size_t allocated = (resource.size / 4 + 1) * 4;
    description_.assign(allocated, 0);
    std::memcpy(description_.data(), resource.data, resource.size);
    char location[64];
    std::snprintf(location, sizeof location, "Local:TLIntergaceRegs.xml;%llx;%zx",
                  static_cast<unsigned long long>(kDescriptionAddress), allocated);
    descriptionLocation_ = location;
}

int CInterfaceGigE::UpdateDeviceList(unsigned timeoutMs) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto buffer = std::make_unique<Pelion::DiscoveryBuffer>();
    std::memset(buffer.get(), 0, sizeof *buffer);
    std::vector<INewDevice*> fresh;
    if (Pelion::Discover(buffer.get(), 0, timeoutMs, 1) == Pelion::St::Ok) {
        const uint32_t count = std::min<uint32_t>(buffer->count, Pelion::kMaxDiscoveredCameras);
        for (uint32_t i = 0; i < count; ++i) {
            const Pelion::CameraRecord& record = buffer->records[i];
            fresh.push_back(new CDeviceGigEBase(nullptr, nullptr, IdentityFromRecord(record),
                                                ConnectionFromRecord(record), record, static_cast<uint8_t>(i),
                                                AccessValue(record.accessCode)));
        }
    }
    MergeDeviceList(std::move(fresh));
    UpdateForceIpLock();
    return 0;
}

INewDevice* CInterfaceGigE::CreateObjectForAddList(INewDevice* info) {
    InfoContent content;
    if (!ReadInfoContent(info, content) || content.texts.vendorName != kGigEVendorName) return nullptr;
    const uint8_t index = indexTable_.Claim();
    if (index == 0) {
        // Every index of the machine is taken: the camera cannot be named to the library.
        lastOpenStatus_ = GC_ERR_ERROR;
        return nullptr;
    }
    auto device = std::make_unique<CDeviceGigEBase>(Parent(), this, content.texts, content.connection,
                                                    content.discovery, index, content.accessValue);
    const int status = device->OpenDriver();
    if (status != 0) {
        // Not linked yet: destroying it unlinks nothing.
        device.reset();
        indexTable_.Release(index);
        lastOpenStatus_ = status == CDeviceGigEBase::kOpenRefused ? GC_ERR_ACCESS_DENIED : GC_ERR_ERROR;
        return nullptr;
    }
    return device.release();
}

INewDevice* CInterfaceGigE::CopyObjectForInfo(INewDevice* source) {
    InfoContent content;
    if (!ReadInfoContent(source, content) || content.texts.vendorName.empty()) return nullptr;
    return new CDeviceGigEBase(nullptr, nullptr, content.texts, content.connection, content.discovery,
                               GetAvailableCameraIndex(), content.accessValue);
}

uint8_t CInterfaceGigE::GetAvailableCameraIndex() {
    const auto inUse = indexTable_.InUse();
    for (unsigned i = 1; i <= Platform::CameraIndexTable::kMaxIndex; ++i) {
        if (!inUse.test(i)) return static_cast<uint8_t>(i);
    }
    return 0;
}

void CInterfaceGigE::OnDeviceOpened(INewDevice*) {
    lastOpenStatus_ = GC_ERR_ERROR;
    UpdateForceIpLock();
}

void CInterfaceGigE::OnDeviceUnlinked(uint8_t cameraIndex) {
    UpdateForceIpLock();
    if (cameraIndex != 0) indexTable_.Release(cameraIndex);
}

void CInterfaceGigE::UpdateForceIpLock() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (deviceList_.empty() || deviceSelector_ >= deviceList_.size()) {
        forceIsLock_ = 1;
        return;
    }
    const std::string selected = DeviceInfoText(deviceList_[deviceSelector_], 1, kMergeTextSize);
    forceIsLock_ = FindDevice(addList_, selected.c_str(), kMergeTextSize) != nullptr ? 1 : 0;
}

bool CInterfaceGigE::SelectedRecord(Pelion::CameraRecord& record) {
    if (deviceSelector_ >= deviceList_.size()) return false;
    Lumora::u64 size = sizeof record;
    return deviceList_[deviceSelector_]->GetInfo(12, &record, size) == 0 && size == sizeof record;
}

int CInterfaceGigE::GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    switch (id) {
        case 4:
            CopyParamString(buffer, &size, descriptionLocation_);
            return 0;
        case 6:
            size = 0;  // id 6 carries nothing
            return 0;
        case kDeviceSelector:
            CopyBigEndian(buffer, size, deviceSelector_);
            return 0;
        case kForceIpAddress:
        case kForceIpMask: {
            Pelion::CameraRecord record{};
            if (!SelectedRecord(record)) return GC_ERR_INVALID_PARAMETER;
            const uint32_t hostAddress = ntohl(record.hostAddress);
            const uint32_t hostMask = ntohl(record.hostMask);
            // The proposal replaces the stored text: it is what the next force-IP sends.
            std::string& field = id == kForceIpAddress ? forceIpAddress_ : forceIpMask_;
            field = FormatDottedAddress(id == kForceIpAddress ? (hostAddress & (hostMask + 1)) : hostMask);
            CopyParamString(buffer, &size, field);
            return 0;
        }
        case kForceIpGateway:
            CopyParamString(buffer, &size, forceIpGateway_);
            return 0;
        case kForceIp:
            return GC_ERR_ACCESS_DENIED;
        case kForceIsLock:
            CopyBigEndian(buffer, size, forceIsLock_);
            return 0;
        case kDescriptionAddress:
            CopyParamBytes(buffer, &size, description_.data(), description_.size());
            return 0;
        default:
            return GC_ERR_INVALID_PARAMETER;
    }
}

int CInterfaceGigE::SetForceIpText(std::string& field, const void* buffer, Lumora::u64 size) {
    if (buffer == nullptr) return GC_ERR_INVALID_PARAMETER;
    // The text ends at its NUL or at the caller's size, whichever comes first.
    const char* text = static_cast<const char*>(buffer);
    const void* nul = std::memchr(text, '\0', static_cast<size_t>(size));
    const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text)
                                         : static_cast<size_t>(size);
    const std::string value(text, length);
    if (!ParseDottedAddress(value)) return GC_ERR_INVALID_PARAMETER;
    field = value;
    return 0;
}

int CInterfaceGigE::SetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    switch (id) {
        case 0:
            return GC_ERR_INVALID_PARAMETER;
        case 1: case 2: case 3: case 4: case 5: case 6:
            return GC_ERR_ACCESS_DENIED;
        case kDeviceSelector: {
            uint32_t wire = 0;
            CopyParamIn(&wire, sizeof wire, buffer, &size);
            const uint32_t value = ntohl(wire);
            if (value >= deviceList_.size()) return GC_ERR_INVALID_PARAMETER;
            deviceSelector_ = value;
            UpdateForceIpLock();
            return 0;
        }
        case kForceIpAddress: return SetForceIpText(forceIpAddress_, buffer, size);
        case kForceIpMask: return SetForceIpText(forceIpMask_, buffer, size);
        case kForceIpGateway: return SetForceIpText(forceIpGateway_, buffer, size);
        case kForceIp: return ForceIp();
        case kForceIsLock:
        case kDescriptionAddress:
            return GC_ERR_ACCESS_DENIED;
        default:
            return GC_ERR_INVALID_PARAMETER;
    }
}

int CInterfaceGigE::ForceIp() {
    Pelion::CameraRecord record{};
    if (!SelectedRecord(record)) return GC_ERR_INVALID_PARAMETER;
    const auto address = ParseDottedAddress(forceIpAddress_);
    const auto mask = ParseDottedAddress(forceIpMask_);
    const auto gateway = ParseDottedAddress(forceIpGateway_);
    if (!address || !mask || !gateway) return GC_ERR_INVALID_PARAMETER;
    return MapGigEStatus(GigECall::ForceIp, Pelion::ForceIp(*address, *mask, *gateway, record.mac));
}

}  // namespace Kovon
