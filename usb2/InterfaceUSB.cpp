#include "usb2/InterfaceUSB.h"

namespace Kovon {

CInterfaceUSB::CInterfaceUSB(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                             const std::string& description)
    : CInterfaceBase(parent, name, type, description, "Custom") {}

CInterfaceUSB::~CInterfaceUSB() { ReleaseChildren(); }

int CInterfaceUSB::UpdateDeviceList(unsigned /*timeoutMs*/) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    // Discovery arrives with the transport; until then the list is empty.
    DeleteDeviceList();
    deviceListBuilt_ = true;
    return 0;
}

Lumora::INewDevice* CInterfaceUSB::CreateObjectForAddList(Lumora::INewDevice*) { return nullptr; }

Lumora::INewDevice* CInterfaceUSB::CopyObjectForInfo(Lumora::INewDevice*) { return nullptr; }

}  // namespace Kovon
