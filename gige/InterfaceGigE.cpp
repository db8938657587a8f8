#include "gige/InterfaceGigE.h"

namespace Kovon {

CInterfaceGigE::CInterfaceGigE(Lumora::INewSystem* parent, const std::string& name, const std::string& type,
                             const std::string& description)
    : CInterfaceBase(parent, name, type, description, "GEV") {}

CInterfaceGigE::~CInterfaceGigE() { ReleaseChildren(); }

int CInterfaceGigE::UpdateDeviceList(unsigned /*timeoutMs*/) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    // Discovery arrives with the transport; until then the list is empty.
    DeleteDeviceList();
    deviceListBuilt_ = true;
    return 0;
}

Lumora::INewDevice* CInterfaceGigE::CreateObjectForAddList(Lumora::INewDevice*) { return nullptr; }

Lumora::INewDevice* CInterfaceGigE::CopyObjectForInfo(Lumora::INewDevice*) { return nullptr; }

int CInterfaceGigE::GetTransportParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    if (id == 6) {
        size = 0;  // id 6 carries nothing
        return 0;
    }
    return CInterfaceBase::GetTransportParam(id, buffer, size);
}

}  // namespace Kovon
