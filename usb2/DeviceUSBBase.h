#pragma once
// CDeviceUSBBase: the device object of a USB 2.0 camera. It carries the camera's eight
// identification texts, owns the camera's channel and the named mutex that keeps the camera to
// one opened object across processes, and keeps the device's one stream, "DS0".
//
// An object made by the interface's enumeration or as an info copy has no parents and never
// opens its channel; an opened object has both parents and opens its channel in OpenDriver.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "platform/NamedMutex.h"
#include "usb2/Ezusb.h"

namespace Kovon {

// The eight identification texts of a USB 2.0 camera, in the order the constructor takes them.
struct UsbDeviceTexts {
    std::string firmwareVersion;  // GetInfo 0, "a.b.c.d"
    std::string deviceName;       // GetInfo 1, model name + "_" + serial number
    std::string versionText;      // GetInfo 2
    std::string vendorName;       // GetInfo 3
    std::string modelName;        // GetInfo 4
    std::string vendorInfo;       // GetInfo 5
    std::string serialNumber;     // GetInfo 7, "SN_" + 11 hexadecimal digits
    std::string instanceName;     // GetInfo 10, the driver instance, "ZEDIVOXU-n"
};

extern const char* const kUsbVersionText;  // "4.7.0.0"
extern const char* const kUsbVendorName;   // "Tarvek Co., LTD"
extern const char* const kUsbVendorInfo;   // "TARVEK URL:" + the maker's web address

class KOVON_API CDeviceUSBBase : public Lumora::INewDevice {
public:
    // Map address at which the register description is read whole.
    static constexpr uint64_t kDescriptionAddress = 0x700;
    static constexpr uint16_t kAcquisitionStopRegister = 0x454;

    CDeviceUSBBase();
    // Stores the parents and the texts; makes a closed channel when the instance name is set.
    CDeviceUSBBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   const UsbDeviceTexts& texts);
    CDeviceUSBBase(const CDeviceUSBBase&) = delete;
    CDeviceUSBBase& operator=(const CDeviceUSBBase&) = delete;
    ~CDeviceUSBBase() override;

    // IDevice.
    int GetNumStreams(unsigned& count) override;
    int GetStreamName(unsigned index, char* buffer, Lumora::u64& size) override;
    int GetStream(unsigned index, Lumora::IStream*& out) override;
    int OpenStream(unsigned index, Lumora::IStream*& out) override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int SetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetValue(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetInfo(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int RegisterEventCallBack(Lumora::EventCallBack callback, void* context) override;
    unsigned Release() override;
    unsigned Share() override;
    // ILink: an opened stream unlinks itself.
    void ReleaseChild(void* child) override;

    // Slots after the host interface, in this order.
    virtual bool Create_Mutex();
    virtual bool Release_Mutex();
    virtual void UpdateStreamList();
    virtual Lumora::INewStream* CreateObjectForAddList(Lumora::INewStream* info);
    virtual Lumora::INewStream* CopyObjectForInfo(Lumora::INewStream* source);
    // Loads the model's register description; empty here, each model provides its own.
    virtual void LoadXML() {}

    // Takes the camera's named mutex (-1001 when another object or process holds the camera),
    // opens the channel and stops the camera. 1 when the channel is open, 0 when it is not.
    int OpenDriver();
    void CloseDriver();

    const UsbDeviceTexts& Texts() const { return texts_; }
    CEzusb* Channel() const { return channel_.get(); }
    Lumora::INewSystem* ParentSystem() const { return system_; }
    Lumora::INewInterface* ParentInterface() const { return interface_; }

protected:
    // Set by a model's LoadXML.
    std::vector<uint8_t> description_;

private:
    std::string StreamName(unsigned index);
    Lumora::INewStream* FindStream(const std::vector<Lumora::INewStream*>& list,
                                   const std::string& name) const;

    Lumora::INewSystem* system_ = nullptr;
    Lumora::INewInterface* interface_ = nullptr;
    bool streamListBuilt_ = false;
    std::vector<Lumora::INewStream*> streamList_;
    std::vector<Lumora::INewStream*> addList_;
    std::unique_ptr<CEzusb> channel_;
    Platform::NamedMutex mutex_;
    bool mutexAlreadyExisted_ = false;
    uint32_t deviceScanType_ = 0;
    UsbDeviceTexts texts_;
};

}  // namespace Kovon
