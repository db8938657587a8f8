#include "system/InterfaceBase.h"

#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "system/TreeText.h"

namespace Kovon {

using Lumora::GC_ERR_INVALID_PARAMETER;
using Lumora::INewDevice;

CInterfaceBase::CInterfaceBase(Lumora::INewSystem* parent, std::string name, std::string type,
                               std::string description, std::string transportLayerType)
    : parent_(parent),
      name_(std::move(name)),
      type_(std::move(type)),
      description_(std::move(description)),
      transportLayerType_(std::move(transportLayerType)) {}

CInterfaceBase::~CInterfaceBase() {
    ReleaseChildren();
    if (parent_ != nullptr) parent_->ReleaseChild(static_cast<Lumora::IInterface*>(this));
}

void CInterfaceBase::DeleteDeviceList() {
    for (INewDevice* info : deviceList_) delete info;
    deviceList_.clear();
}

void CInterfaceBase::ReleaseChildren() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    DeleteDeviceList();
    while (!addList_.empty()) {
        INewDevice* first = addList_.front();
        first->Release();  // the device unlinks itself through ReleaseChild
        if (!addList_.empty() && addList_.front() == first) addList_.erase(addList_.begin());
    }
}

INewDevice* CInterfaceBase::FindDevice(const std::vector<INewDevice*>& list, const char* name, size_t capacity) {
    return FindByName(list, name, [capacity](INewDevice* device) { return DeviceInfoText(device, 1, capacity); });
}

int CInterfaceBase::GetNumDevices(unsigned& count, unsigned timeoutMs) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        UpdateDeviceList(timeoutMs);
        count = static_cast<unsigned>(deviceList_.size());
        return 0;
    });
}

int CInterfaceBase::GetDeviceName(unsigned index, char* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!deviceListBuilt_) UpdateDeviceList(1000);
        if (index >= deviceList_.size()) return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        return deviceList_[index]->GetInfo(1, buffer, size);
    });
}

int CInterfaceBase::GetDevice(const char* name, Lumora::IDevice*& out) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!deviceListBuilt_) UpdateDeviceList(1000);
        INewDevice* found = FindDevice(addList_, name);
        if (found == nullptr) found = FindDevice(deviceList_, name);
        INewDevice* copy = found != nullptr ? CopyObjectForInfo(found) : nullptr;
        out = copy;
        return copy != nullptr ? 0 : static_cast<int>(GC_ERR_INVALID_PARAMETER);
    });
}

int CInterfaceBase::OpenDevice(const char* name, Lumora::IDevice*& out) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!deviceListBuilt_) UpdateDeviceList(1000);
        if (FindDevice(addList_, name) != nullptr) {
            out = nullptr;
            return static_cast<int>(Lumora::GC_ERR_ERROR);
        }
        INewDevice* info = FindDevice(deviceList_, name);
        if (info == nullptr) {
            out = nullptr;
            return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        }
        INewDevice* opened = CreateObjectForAddList(info);
        if (opened == nullptr) return OpenFailureStatus();  // 'out' stays untouched
        addList_.push_back(opened);
        OnDeviceOpened(opened);
        out = opened;
        return 0;
    });
}

int CInterfaceBase::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        switch (id) {
            case 1: CopyParamString(buffer, &size, name_); return 0;
            case 2: CopyParamString(buffer, &size, type_); return 0;
            case 3: CopyParamString(buffer, &size, description_); return 0;
            case 5: CopyParamString(buffer, &size, transportLayerType_); return 0;
            default: return GetTransportParam(id, buffer, size);
        }
    });
}

int CInterfaceBase::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        return SetTransportParam(id, buffer, size);
    });
}

int CInterfaceBase::GetTransportParam(Lumora::u64, void*, Lumora::u64&) { return GC_ERR_INVALID_PARAMETER; }

int CInterfaceBase::SetTransportParam(Lumora::u64, void*, Lumora::u64&) { return Lumora::GC_ERR_ERROR; }

int CInterfaceBase::GetDeviceInfo(const char*, DevInfo&) { return 0; }

unsigned CInterfaceBase::Release() {
    delete this;  // the destructor releases the info list and every opened device
    return 0;
}

unsigned CInterfaceBase::Share() { return static_cast<unsigned>(Lumora::GC_ERR_ERROR); }

void CInterfaceBase::ReleaseChild(void* child) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto it = addList_.begin(); it != addList_.end(); ++it) {
        if (static_cast<void*>(static_cast<Lumora::IDevice*>(*it)) != child) continue;
        uint8_t cameraIndex = 0;
        Lumora::u64 size = 1;
        (*it)->GetInfo(11, &cameraIndex, size);
        addList_.erase(it);
        OnDeviceUnlinked(cameraIndex);
        return;
    }
}

}  // namespace Kovon
