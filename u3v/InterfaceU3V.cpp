#include "u3v/InterfaceU3V.h"

#include <cstring>
#include <memory>

#include "system/TreeText.h"
#include "u3v/tessa/Tessa.h"

namespace Kovon {
namespace {

constexpr size_t kTextBufferSize = 512;
constexpr int kRefusedByDeviceLevel = -10003;

// A text field of a discovery record, bounded by the field even when it holds no NUL.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Access codes of discovery mapped to the values of information id 9; an unknown code maps to 0.
int MapAccessCode(uint8_t code) {
    switch (code) {
        case 0:
            return 1;
        case 1:
            return 3;
        case 2:
            return 1000;
        default:
            return 0;
    }
}

}  // namespace

std::vector<U3vDiscoveredCamera> ListU3vCameras(
    uint16_t count, const std::function<uint16_t(uint16_t, Tessa::U3V_DISCOVERY_INFO*)>& getInfo) {
    std::vector<U3vDiscoveredCamera> cameras;
    for (uint32_t index = 1; index <= count; ++index) {
        Tessa::U3V_DISCOVERY_INFO record;
        std::memset(&record, 0, sizeof record);
        // A record that cannot be read would only repeat another camera's name.
        if (getInfo(static_cast<uint16_t>(index), &record) != 0) continue;
        U3vDiscoveredCamera camera;
        U3vDeviceTexts& t = camera.texts;
        t.devicePath = FieldText(record.devicePath);
        t.modelName = FieldText(record.modelName);
        t.firstText = FieldText(record.deviceGuid);
        t.serialText = "SN_" + FieldText(record.serialNumber);
        t.deviceName = t.modelName + "_" + t.serialText;
        t.version = kU3vVersionText;
        t.vendorName = kU3vVendorName;
        t.vendorInfo = kU3vVendorInfo;
        camera.accessCode = MapAccessCode(record.accessCode);
        cameras.push_back(std::move(camera));
    }
    return cameras;
}

CInterfaceU3V::CInterfaceU3V() : CInterfaceU3V(nullptr, kDefaultName, kDefaultType, kDefaultDescription) {}

CInterfaceU3V::CInterfaceU3V(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                             const std::string& description)
    : CInterfaceBase(parent, name, type, description, "U3V") {}

CInterfaceU3V::~CInterfaceU3V() {
    ReleaseChildren();
}

int CInterfaceU3V::UpdateDeviceList(unsigned /*timeoutMs*/) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    uint16_t count = 0;
    std::vector<Lumora::INewDevice*> fresh;
    if (Tessa::U3V_DiscoveryDevices(&count) == 0) {
        for (const U3vDiscoveredCamera& camera : ListU3vCameras(count, &Tessa::U3V_GetDeviceInfo))
            fresh.push_back(new CDeviceU3VBase(nullptr, nullptr, camera.texts, camera.accessCode));
    }
    MergeDeviceList(std::move(fresh));
    return 0;
}

bool CInterfaceU3V::ReadTexts(Lumora::INewDevice* device, U3vDeviceTexts& texts, int& accessCode) {
    if (device == nullptr) return false;
    texts.devicePath = DeviceInfoText(device, 10, kTextBufferSize);
    texts.firstText = DeviceInfoText(device, 0, kTextBufferSize);
    texts.deviceName = DeviceInfoText(device, 1, kTextBufferSize);
    texts.version = DeviceInfoText(device, 2, kTextBufferSize);
    texts.vendorName = DeviceInfoText(device, 3, kTextBufferSize);
    texts.modelName = DeviceInfoText(device, 4, kTextBufferSize);
    texts.vendorInfo = DeviceInfoText(device, 5, kTextBufferSize);
    texts.serialText = DeviceInfoText(device, 7, kTextBufferSize);
    accessCode = 0;
    Lumora::u64 size = sizeof accessCode;
    device->GetInfo(9, &accessCode, size);
    return texts.vendorName == kU3vVendorName;
}

Lumora::INewDevice* CInterfaceU3V::CreateObjectForAddList(Lumora::INewDevice* info) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    // Every way out without a device reports a failure, never a stale success.
    lastOpenStatus_ = Lumora::GC_ERR_ERROR;
    U3vDeviceTexts texts;
    int accessCode = 0;
    if (!ReadTexts(info, texts, accessCode)) return nullptr;
    std::unique_ptr<CDeviceU3VBase> device(new CDeviceU3VBase(Parent(), this, texts, accessCode));
    const int status = device->OpenDriver();
    if (status != 0) {
        // Not linked yet: destroying it unlinks nothing.
        lastOpenStatus_ = status == kRefusedByDeviceLevel ? kRefusedByDeviceLevel : Lumora::GC_ERR_ERROR;
        return nullptr;
    }
    return device.release();
}

Lumora::INewDevice* CInterfaceU3V::CopyObjectForInfo(Lumora::INewDevice* source) {
    U3vDeviceTexts texts;
    int accessCode = 0;
    if (!ReadTexts(source, texts, accessCode)) return nullptr;
    return new CDeviceU3VBase(nullptr, nullptr, texts, accessCode);
}

int CInterfaceU3V::GetTransportParam(Lumora::u64, void*, Lumora::u64&) {
    // Ids outside the identity table are accepted and leave buffer and size untouched.
    return 0;
}

}  // namespace Kovon
