#pragma once
#include <string>

#include "system/InterfaceBase.h"

namespace Kovon {

class KOVON_API CInterfaceGigE : public CInterfaceBase {
public:
    CInterfaceGigE(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                  const std::string& description);
    ~CInterfaceGigE() override;

    int UpdateDeviceList(unsigned timeoutMs) override;

protected:
    Lumora::INewDevice* CreateObjectForAddList(Lumora::INewDevice* info) override;
    Lumora::INewDevice* CopyObjectForInfo(Lumora::INewDevice* source) override;
    int GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
};

}  // namespace Kovon
