#include "u3v/InterfaceU3V.h"

namespace Kovon {

CInterfaceU3V::CInterfaceU3V(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                             const std::string& description)
    : CInterfaceBase(parent, name, type, description, "U3V") {}

CInterfaceU3V::~CInterfaceU3V() { ReleaseChildren(); }

int CInterfaceU3V::UpdateDeviceList(unsigned /*timeoutMs*/) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    // Discovery arrives with the transport; until then the list is empty.
    DeleteDeviceList();
    deviceListBuilt_ = true;
    return 0;
}

Lumora::INewDevice* CInterfaceU3V::CreateObjectForAddList(Lumora::INewDevice*) { return nullptr; }

Lumora::INewDevice* CInterfaceU3V::CopyObjectForInfo(Lumora::INewDevice*) { return nullptr; }

int CInterfaceU3V::GetTransportParam(Lumora::u64, void*, Lumora::u64&) {
    // Ids outside the identity table are accepted and leave buffer and size untouched.
    return 0;
}

}  // namespace Kovon
