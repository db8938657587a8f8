#include "usb2/InterfaceUSB.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "system/TreeText.h"
#include "usb2/DeviceUSBBase.h"
#include "usb2/Ezusb.h"
#include "usb2/ModelTable.h"
#include "system/ParamCopy.h"
#include "usb2/driver/InstanceNames.h"
#include "usb2/driver/LibusbDriver.h"
#include "usb2/driver/UsbIdList.h"

namespace Kovon {
namespace {

constexpr size_t kTextBufferSize = 512;
constexpr size_t kMergeTextSize = 256;
constexpr uint16_t kSerialRegister = 0x206;
constexpr uint16_t kFirmwareRegister = 0x20C;
constexpr Lumora::u64 kMinSerialSize = 16;
constexpr Lumora::u64 kMinFirmwareSize = 8;

// Copies 'text' into a caller buffer of 'size' bytes, cut if need be, always terminated.
void BoundedCopy(char* buffer, Lumora::u64 size, const std::string& text) {
    if (buffer == nullptr || size == 0) return;
    const size_t n = text.size() < size ? text.size() : static_cast<size_t>(size - 1);
    text.copy(buffer, n);
    buffer[n] = '\0';
}

}  // namespace

CInterfaceUSB::CInterfaceUSB() : CInterfaceUSB(nullptr, kDefaultName, kDefaultType, kDefaultDescription) {}

CInterfaceUSB::CInterfaceUSB(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                             const std::string& description)
    : CInterfaceBase(parent, name, type, description, "Custom") {}

CInterfaceUSB::~CInterfaceUSB() {
    ReleaseChildren();
}

char CInterfaceUSB::GetASCII(unsigned value) {
    if (value >= 1 && value <= 9) return static_cast<char>('0' + value);
    if (value >= 10 && value <= 15) return static_cast<char>('A' + (value - 10));
    return '0';
}

bool CInterfaceUSB::ReadSerialNum(CEzusb& channel, char* buffer, Lumora::u64& size) {
    if (buffer == nullptr || size < kMinSerialSize) {
        size = 0;
        return false;
    }
    uint8_t bytes[6] = {};
    if (channel.ReadRegister(bytes, kSerialRegister, sizeof bytes) != 0) {
        size = 0;
        return false;
    }
    std::string text = "SN_";
    for (size_t i = 0; i < sizeof bytes; ++i) {
        // The third byte contributes only its low digit: eleven digits in all.
        if (i != 2) text += GetASCII(bytes[i] >> 4);
        text += GetASCII(bytes[i] & 0x0F);
    }
    BoundedCopy(buffer, size, text);
    return true;
}

bool CInterfaceUSB::ReadFirmwareVersion(CEzusb& channel, char* buffer, Lumora::u64& size) {
    if (buffer == nullptr || size < kMinFirmwareSize) {
        size = 0;
        return false;
    }
    uint8_t bytes[2] = {};
    if (channel.ReadRegister(bytes, kFirmwareRegister, sizeof bytes) != 0) {
        size = 0;
        return false;
    }
    const unsigned v = static_cast<unsigned>(bytes[1] * 256 + bytes[0]);
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", v >> 12, (v >> 8) & 15, (v >> 4) & 15, v & 15);
    BoundedCopy(buffer, size, text);
    return true;
}

bool CInterfaceUSB::IsOpenDriver(const std::string& instanceName) {
    CEzusb probe;
    return probe.Open(instanceName.c_str());
}

bool CInterfaceUSB::ReadTexts(Lumora::INewDevice* device, UsbDeviceTexts& texts) {
    if (device == nullptr) return false;
    texts.firmwareVersion = DeviceInfoText(device, 0, kTextBufferSize);
    texts.deviceName = DeviceInfoText(device, 1, kTextBufferSize);
    texts.versionText = DeviceInfoText(device, 2, kTextBufferSize);
    texts.vendorName = DeviceInfoText(device, 3, kTextBufferSize);
    texts.modelName = DeviceInfoText(device, 4, kTextBufferSize);
    texts.vendorInfo = DeviceInfoText(device, 5, kTextBufferSize);
    texts.serialNumber = DeviceInfoText(device, 7, kTextBufferSize);
    texts.instanceName = DeviceInfoText(device, 10, kTextBufferSize);
    return true;
}

CDeviceUSBBase* CInterfaceUSB::UpdateDevice(const std::string& instanceName) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!IsOpenDriver(instanceName)) return nullptr;

    UsbDeviceTexts texts;
    Lumora::INewDevice* open = nullptr;
    for (Lumora::INewDevice* device : addList_) {
        if (DeviceInfoText(device, 10, kTextBufferSize) == instanceName) {
            open = device;
            break;
        }
    }
    if (open != nullptr) {
        // The camera is open here: its texts are known and its registers are left alone.
        ReadTexts(open, texts);
    } else {
        CEzusb channel;
        if (!channel.Open(instanceName.c_str())) return nullptr;
        char serial[kTextBufferSize] = {};
        char firmware[kTextBufferSize] = {};
        Lumora::u64 serialSize = sizeof serial;
        Lumora::u64 firmwareSize = sizeof firmware;
        if (!ReadSerialNum(channel, serial, serialSize)) return nullptr;
        if (!ReadFirmwareVersion(channel, firmware, firmwareSize)) return nullptr;
        const UsbModel* model = FindUsbModel(serial);
        if (model == nullptr) return nullptr;
        texts.firmwareVersion = firmware;
        texts.modelName = model->modelName;
        texts.serialNumber = serial;
        texts.deviceName = texts.modelName + "_" + texts.serialNumber;
        texts.versionText = kUsbVersionText;
        texts.vendorName = kUsbVendorName;
        texts.vendorInfo = kUsbVendorInfo;
        texts.instanceName = instanceName;
    }
    const UsbModel* model = FindUsbModel(texts.serialNumber);
    if (model == nullptr) return nullptr;
    return model->make(nullptr, nullptr, texts);
}

int CInterfaceUSB::GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (id != kUsbIdsParam) return CInterfaceBase::GetTransportParam(id, buffer, size);
    CopyParamString(buffer, &size, FormatUsbIdList(EffectiveUsb2Ids()));
    return 0;
}

int CInterfaceUSB::SetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (id != kUsbIdsParam) return CInterfaceBase::SetTransportParam(id, buffer, size);
    // A whole text: its NUL is the last byte the size counts, and no NUL comes before it.
    const auto* text = static_cast<const char*>(buffer);
    if (text == nullptr || size == 0 || size > 64 * 1024 || text[size - 1] != '\0' ||
        std::memchr(text, '\0', static_cast<size_t>(size - 1)) != nullptr)
        return Lumora::GC_ERR_INVALID_PARAMETER;
    const auto ids = ParseUsbIdList(std::string(text, static_cast<size_t>(size - 1)));
    if (!ids) return Lumora::GC_ERR_INVALID_PARAMETER;
    SetHostUsb2Ids(*ids);
    return 0;
}

int CInterfaceUSB::UpdateDeviceList(unsigned /*timeoutMs*/) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    ProbeLibusbUsb2Cameras();
    std::vector<Lumora::INewDevice*> found;
    for (unsigned n = 0; n < kUsb2InstanceCount; ++n) {
        if (CDeviceUSBBase* device = UpdateDevice(Usb2InstanceName(n))) found.push_back(device);
    }
    // A camera stays when the same device name is found on the same instance.
    MergeDeviceList(std::move(found), [](Lumora::INewDevice* device) {
        return std::make_pair(DeviceInfoText(device, 1, kMergeTextSize), DeviceInfoText(device, 10, kMergeTextSize));
    });
    return 0;
}

Lumora::INewDevice* CInterfaceUSB::CreateObjectForAddList(Lumora::INewDevice* info) {
    UsbDeviceTexts texts;
    if (!ReadTexts(info, texts)) return nullptr;
    const UsbModel* model = FindUsbModel(texts.serialNumber);
    if (model == nullptr) return nullptr;
    std::unique_ptr<CDeviceUSBBase> opened(model->make(Parent(), this, texts));
    if (opened->OpenDriver() == Lumora::GC_ERR_ERROR) {
        // Held by another object or process. The object is not linked yet: unlinking it would
        // find nothing, so it is simply destroyed.
        return nullptr;
    }
    return opened.release();
}

Lumora::INewDevice* CInterfaceUSB::CopyObjectForInfo(Lumora::INewDevice* source) {
    UsbDeviceTexts texts;
    if (!ReadTexts(source, texts)) return nullptr;
    const UsbModel* model = FindUsbModel(texts.serialNumber);
    if (model == nullptr) return nullptr;
    return model->make(nullptr, nullptr, texts);
}

}  // namespace Kovon
