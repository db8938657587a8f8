#pragma once
#include <string>

#include "system/InterfaceBase.h"

namespace Kovon {

class KOVON_API CInterfaceUSB : public CInterfaceBase {
public:
    CInterfaceUSB(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                  const std::string& description);
    ~CInterfaceUSB() override;

    int UpdateDeviceList(unsigned timeoutMs) override;

protected:
    Lumora::INewDevice* CreateObjectForAddList(Lumora::INewDevice* info) override;
    Lumora::INewDevice* CopyObjectForInfo(Lumora::INewDevice* source) override;
};

}  // namespace Kovon
