#include "Cameras.h"

#include <cstdlib>

#include "ModuleHost.h"

namespace KovonGrab {

std::string TransportLabel(const std::string& transportType) {
    if (transportType == "GEV") return "GigE";
    if (transportType == "U3V") return "U3V";
    if (transportType == "Custom") return "USB2";
    return transportType.empty() ? "?" : transportType;
}

Cameras::~Cameras() {
    for (auto& entry : interfaces_) entry.second->Release();
}

Lumora::IInterface* Cameras::InterfaceOf(const std::string& name) {
    for (auto& entry : interfaces_)
        if (entry.first == name) return entry.second;
    return nullptr;
}

const std::vector<CameraEntry>& Cameras::Discover(unsigned timeoutMs) {
    cameras_.clear();
    unsigned interfaceCount = 0;
    if (system_->GetNumInterfaces(interfaceCount) != 0) return cameras_;
    for (unsigned i = 0; i < interfaceCount; ++i) {
        char name[256] = {};
        Lumora::u64 size = sizeof name;
        if (system_->GetInterfaceName(i, name, size) != 0) continue;
        name[sizeof name - 1] = '\0';
        Lumora::IInterface* iface = InterfaceOf(name);
        if (iface == nullptr) {
            if (system_->OpenInterface(name, iface) != 0 || iface == nullptr) continue;
            interfaces_.emplace_back(name, iface);
        }
        auto param = [iface](Lumora::u64 id, void* b, Lumora::u64& s) { return iface->GetParam(id, b, s); };
        const std::string transport = ReadText(param, 5);
        unsigned deviceCount = 0;
        if (iface->GetNumDevices(deviceCount, timeoutMs) != 0) continue;
        for (unsigned d = 0; d < deviceCount; ++d) {
            char deviceName[256] = {};
            Lumora::u64 deviceSize = sizeof deviceName;
            if (iface->GetDeviceName(d, deviceName, deviceSize) != 0) continue;
            deviceName[sizeof deviceName - 1] = '\0';
            CameraEntry camera;
            camera.number = static_cast<unsigned>(cameras_.size());
            camera.interfaceName = name;
            camera.transport = transport;
            camera.deviceName = deviceName;
            Lumora::IDevice* info = nullptr;
            if (iface->GetDevice(deviceName, info) == 0 && info != nullptr) {
                auto get = [info](Lumora::u64 id, void* b, Lumora::u64& s) {
                    return info->GetInfo(id, b, s);
                };
                camera.vendor = ReadText(get, 3);
                camera.model = ReadText(get, 4);
                camera.serial = ReadText(get, 7);
                camera.address = ReadText(get, transport == "GEV" ? 14 : 10);
                info->Release();
            }
            cameras_.push_back(camera);
        }
    }
    return cameras_;
}

const CameraEntry* Cameras::Find(const std::string& key) const {
    for (const CameraEntry& camera : cameras_)
        if (camera.deviceName == key) return &camera;
    for (const CameraEntry& camera : cameras_)
        if (!camera.serial.empty() && camera.serial == key) return &camera;
    if (!key.empty() && key.size() < 6 && key.find_first_not_of("0123456789") == std::string::npos) {
        const unsigned long number = std::strtoul(key.c_str(), nullptr, 10);
        if (number < cameras_.size()) return &cameras_[number];
    }
    return nullptr;
}

int Cameras::Open(const CameraEntry& camera, Lumora::IDevice*& device) {
    device = nullptr;
    Lumora::IInterface* iface = InterfaceOf(camera.interfaceName);
    if (iface == nullptr) return Lumora::GC_ERR_INVALID_PARAMETER;
    const int status = iface->OpenDevice(camera.deviceName.c_str(), device);
    if (status != 0) device = nullptr;
    return status;
}

bool Cameras::StillPresent(const CameraEntry& camera, unsigned timeoutMs) {
    Lumora::IInterface* iface = InterfaceOf(camera.interfaceName);
    unsigned count = 0;
    if (iface == nullptr || iface->GetNumDevices(count, timeoutMs) != 0) return false;
    for (unsigned d = 0; d < count; ++d) {
        char deviceName[256] = {};
        Lumora::u64 size = sizeof deviceName;
        if (iface->GetDeviceName(d, deviceName, size) != 0) continue;
        deviceName[sizeof deviceName - 1] = '\0';
        if (camera.deviceName == deviceName) return true;
    }
    return false;
}

}  // namespace KovonGrab
