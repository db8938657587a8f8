#pragma once
// What the three transport interfaces share: their identity texts, the recursive lock over their
// device lists and parameters, and the rules by which devices are listed, handed out as info
// copies, opened, unlinked and released. A transport supplies discovery (UpdateDeviceList), the
// making of devices from info objects, and its own parameters.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "system/TreeText.h"

namespace Kovon {

class KOVON_API CInterfaceBase : public Lumora::INewInterface {
public:
    CInterfaceBase(Lumora::INewSystem* parent, std::string name, std::string type, std::string description,
                   std::string transportLayerType);
    CInterfaceBase(const CInterfaceBase&) = delete;
    CInterfaceBase& operator=(const CInterfaceBase&) = delete;
    ~CInterfaceBase() override;

    int GetNumDevices(unsigned& count, unsigned timeoutMs) override;
    int GetDeviceName(unsigned index, char* buffer, Lumora::u64& size) override;
    int GetDevice(const char* name, Lumora::IDevice*& out) override;
    int OpenDevice(const char* name, Lumora::IDevice*& out) override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetDeviceInfo(const char* name, DevInfo& info) override;
    unsigned Release() override;
    unsigned Share() override;
    void ReleaseChild(void* child) override;

    // The first slot after the host interface: loads the interface's register description where
    // the transport has one.
    virtual void LoadXML() {}

    Lumora::INewSystem* Parent() const { return parent_; }
    const std::string& Name() const { return name_; }

protected:
    // Makes an opened device from an info object (ancestor pointers set, camera opened), or
    // nullptr when the open fails; OpenFailureStatus then says what OpenDevice returns.
    virtual Lumora::INewDevice* CreateObjectForAddList(Lumora::INewDevice* info) = 0;
    // Makes a parentless info copy of a device, or nullptr.
    virtual Lumora::INewDevice* CopyObjectForInfo(Lumora::INewDevice* source) = 0;
    virtual int OpenFailureStatus() const { return Lumora::GC_ERR_ERROR; }
    // Called under the lock when an opened device unlinks, with the camera index it reported.
    virtual void OnDeviceUnlinked(uint8_t /*cameraIndex*/) {}
    // Called under the lock after a successful open.
    virtual void OnDeviceOpened(Lumora::INewDevice* /*device*/) {}
    // Parameters beyond the shared identity ids 1, 2, 3 and 5. By default an unknown Get id is
    // refused with GC_ERR_INVALID_PARAMETER and every Set with GC_ERR_ERROR.
    virtual int GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size);
    virtual int SetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size);

    // Every operation runs under this lock; it is recursive because devices unlink themselves
    // through ReleaseChild while the interface releases them.
    std::recursive_mutex lock_;
    bool deviceListBuilt_ = false;
    std::vector<Lumora::INewDevice*> deviceList_;
    std::vector<Lumora::INewDevice*> addList_;

    // Device lookups compare the device name (information id 1) as a whole string.
    static Lumora::INewDevice* FindDevice(const std::vector<Lumora::INewDevice*>& list, const char* name,
                                          size_t capacity = 512);
    void DeleteDeviceList();
    // UpdateDeviceList's merge of what discovery found into the info list: a listed device whose
    // key 'fresh' holds again keeps its place and takes the fresh info object, the other fresh
    // ones follow in discovery order, and listed devices not found again are deleted. Each key
    // is read once. The list counts as built. By default the key is the device name.
    template <typename KeyOf>
    void MergeDeviceList(std::vector<Lumora::INewDevice*> fresh, KeyOf keyOf);
    void MergeDeviceList(std::vector<Lumora::INewDevice*> fresh) { MergeDeviceList(std::move(fresh), &MergeName); }
    // The device name, read into a 256-byte buffer.
    static std::string MergeName(Lumora::INewDevice* device) { return DeviceInfoText(device, 1, 256); }
    // Deletes the info list and releases every opened device. Each concrete interface calls it
    // from its own destructor, so that the unlink hooks of that class still run; the base
    // destructor calls it again, when there is nothing left to do.
    void ReleaseChildren();

private:

    Lumora::INewSystem* parent_;
    std::string name_;
    std::string type_;
    std::string description_;
    std::string transportLayerType_;
};

template <typename KeyOf>
void CInterfaceBase::MergeDeviceList(std::vector<Lumora::INewDevice*> fresh, KeyOf keyOf) {
    std::vector<Lumora::INewDevice*> old;
    old.swap(deviceList_);
    std::vector<decltype(keyOf(nullptr))> freshKeys;
    for (Lumora::INewDevice* device : fresh) freshKeys.push_back(keyOf(device));
    for (auto o = old.begin(); o != old.end();) {
        const auto key = keyOf(*o);
        size_t partner = 0;
        while (partner < fresh.size() && freshKeys[partner] != key) ++partner;
        if (partner == fresh.size()) {
            ++o;
            continue;
        }
        deviceList_.push_back(fresh[partner]);
        fresh.erase(fresh.begin() + static_cast<std::ptrdiff_t>(partner));
        freshKeys.erase(freshKeys.begin() + static_cast<std::ptrdiff_t>(partner));
        delete *o;
        o = old.erase(o);
    }
    deviceList_.insert(deviceList_.end(), fresh.begin(), fresh.end());
    for (Lumora::INewDevice* gone : old) delete gone;
    deviceListBuilt_ = true;
}

}  // namespace Kovon
