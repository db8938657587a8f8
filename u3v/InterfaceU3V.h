#pragma once
// CInterfaceU3V: the interface of USB3 Vision cameras. Every count runs the library's discovery
// and merges the result into the device list (cameras that stayed keep their place, new ones
// follow in discovery order, vanished ones are dropped); cameras are opened as CDeviceU3VBase.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "system/InterfaceBase.h"
#include "u3v/DeviceU3VBase.h"
#include "u3v/tessa/TessaRecords.h"

namespace Kovon {

// One camera as discovery reports it.
struct U3vDiscoveredCamera {
    U3vDeviceTexts texts;
    int accessCode = 0;
};

// Builds the identity texts of the cameras 1 .. count from their discovery records, read through
// 'getInfo' (U3V_GetDeviceInfo). An index whose record cannot be read is skipped.
std::vector<U3vDiscoveredCamera> ListU3vCameras(
    uint16_t count, const std::function<uint16_t(uint16_t, Tessa::U3V_DISCOVERY_INFO*)>& getInfo);

class KOVON_API CInterfaceU3V : public CInterfaceBase {
public:
    static constexpr const char* kDefaultName = "Interface_U3V";
    static constexpr const char* kDefaultType = "U3V";
    static constexpr const char* kDefaultDescription = "Tarvek USB3Vision Camera";

    CInterfaceU3V();
    CInterfaceU3V(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                  const std::string& description);
    ~CInterfaceU3V() override;

    // Always 0; the time-out is not used.
    int UpdateDeviceList(unsigned timeoutMs) override;

protected:
    Lumora::INewDevice* CreateObjectForAddList(Lumora::INewDevice* info) override;
    Lumora::INewDevice* CopyObjectForInfo(Lumora::INewDevice* source) override;
    int OpenFailureStatus() const override { return lastOpenStatus_; }
    int GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;

private:
    static bool ReadTexts(Lumora::INewDevice* device, U3vDeviceTexts& texts, int& accessCode);

    // The status of the last camera open, reported by OpenDevice when the open failed.
    int lastOpenStatus_ = 0;
};

}  // namespace Kovon
