#pragma once
// CInterfaceUSB: the interface of the USB 2.0 camera family. It finds cameras by probing the 64
// driver instances ZEDIVOXU-0 .. ZEDIVOXU-63, reads each camera's serial number and firmware
// version, recognises the model from the serial number and lists the camera under its device
// name (model name, "_", serial number). There is no hot-plug notice: every count probes again.
// Cameras on the USB bus are found by their vendor:product pair (LibusbDriver.h); the host adds
// pairs with SetParam(kUsbIdsParam, "vvvv:pppp[,vvvv:pppp...]").
#include <string>

#include "Lumora/Lumora.h"
#include "system/InterfaceBase.h"

namespace Kovon {

class CEzusb;
class CDeviceUSBBase;
struct UsbDeviceTexts;

class KOVON_API CInterfaceUSB : public CInterfaceBase {
public:
    static constexpr const char* kDefaultName = "Interface_USB";
    static constexpr const char* kDefaultType = "USB";
    static constexpr const char* kDefaultDescription = "Tarvek USB2.0 Camera";
    // The vendor:product pairs that mark USB devices as cameras of the family: SetParam takes the
    // host's pairs as a NUL-terminated text (size counting the NUL), replacing those it set
    // before, and refuses a malformed text with -1009; GetParam gives every candidate pair, the
    // compiled-in ones included, in the same form.
    static constexpr Lumora::u64 kUsbIdsParam = 0x10000001;

    CInterfaceUSB();
    CInterfaceUSB(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                  const std::string& description);
    ~CInterfaceUSB() override;

    // Probes all 64 instances and merges the result into the list: cameras that stayed keep
    // their order, new ones follow in instance order, vanished ones are dropped. Always 0.
    int UpdateDeviceList(unsigned timeoutMs) override;

    // "SN_" and 11 upper-case hexadecimal digits from the six bytes at 0x206. False, with the
    // size set to 0, when the size is below 16 or the read fails; the size is left alone on
    // success.
    static bool ReadSerialNum(CEzusb& channel, char* buffer, Lumora::u64& size);
    // "a.b.c.d" from the four nibbles of register 0x20C, most significant first. False, with the
    // size set to 0, when the size is below 8 or the read fails.
    static bool ReadFirmwareVersion(CEzusb& channel, char* buffer, Lumora::u64& size);
    // The upper-case hexadecimal digit of 0..15; '0' for anything else.
    static char GetASCII(unsigned value);

protected:
    int GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int SetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    Lumora::INewDevice* CreateObjectForAddList(Lumora::INewDevice* info) override;
    Lumora::INewDevice* CopyObjectForInfo(Lumora::INewDevice* source) override;

private:
    // A new device info object for the camera at the instance, or null.
    CDeviceUSBBase* UpdateDevice(const std::string& instanceName);
    static bool IsOpenDriver(const std::string& instanceName);
    static bool ReadTexts(Lumora::INewDevice* device, UsbDeviceTexts& texts);
};

}  // namespace Kovon
