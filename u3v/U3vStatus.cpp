#include "u3v/U3vStatus.h"

#include "Lumora/Status.h"

namespace Kovon {

int ReturnU3VError(uint16_t result) {
    using namespace Lumora;
    switch (result) {
        case 0x0000:
            return GC_ERR_SUCCESS;
        case 0x8001:
            return GC_ERR_NOT_IMPLEMENTED;
        case 0x8002:
            return GC_ERR_INVALID_PARAMETER;
        case 0x8003:
            return GC_ERR_INVALID_ADDRESS;
        case 0x8006:
            return GC_ERR_ACCESS_DENIED;
        case 0x8007:
            return GC_ERR_RESOURCE_IN_USE;
        case 0x800B:
            return GC_ERR_TIMEOUT;
        case 0x800E:
            return GC_ERR_INVALID_HANDLE;
        case 0x800F:
            return GC_ERR_NOT_INITIALIZED;
        case 0xA101:
            return GC_ERR_INVALID_VALUE;
        case 0xC001:
        case 0xC002:
        case 0xC003:
        case 0xC004:
        case 0xC005:
        case 0xC006:
        case 0xC007:
        case 0xC008:
        case 0xC011:
        case 0xC012:
        case 0xC015:
        case 0xC016:
            return GC_ERR_NOT_INITIALIZED;
        case 0xC010:
        case 0xC014:
        case 0xC017:
            return GC_ERR_NOT_AVAILABLE;
        case 0xC018:
            return GC_ERR_TIMEOUT;
        case 0xC01A:
            return GC_ERR_INVALID_HANDLE;
        case 0xC01E:
            return GC_ERR_INVALID_BUFFER;
        default:
            return GC_ERR_ERROR;
    }
}

}  // namespace Kovon
