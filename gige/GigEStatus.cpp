#include "gige/GigEStatus.h"

#include "Lumora/Status.h"

namespace Kovon {

namespace St = Pelion::St;
using namespace Lumora;

int MapGigEStatus(GigECall call, Pelion::Status status) {
    if (status == St::Ok) return GC_ERR_SUCCESS;
    if (status == St::Error) return GC_ERR_NOT_INITIALIZED;
    switch (call) {
        case GigECall::Register:
            if (status == St::InvalidAddress) return GC_ERR_INVALID_ADDRESS;
            if (status == St::AccessDenied) return GC_ERR_ACCESS_DENIED;
            if (status == St::Timeout) return GC_ERR_TIMEOUT;
            break;
        case GigECall::Memory:
        case GigECall::ForceIp:
            if (status == St::Timeout) return GC_ERR_TIMEOUT;
            break;
        case GigECall::Setting:
            if (status == St::Timeout) return GC_ERR_TIMEOUT;
            if (status == St::InvalidSetting) return GC_ERR_NOT_IMPLEMENTED;
            break;
        case GigECall::EventOpen:
            if (status == St::NoEventChannel) return GC_ERR_NOT_IMPLEMENTED;
            break;
        case GigECall::SettingRead:
        case GigECall::EventClose:
        case GigECall::LongCommand:
            break;
    }
    return GC_ERR_ERROR;
}

}  // namespace Kovon
