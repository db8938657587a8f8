#include "usb2/StreamPlaceholderUSB.h"

#include "system/ParamCall.h"
#include "system/ParamCopy.h"

namespace Kovon {

CStreamUSBPlaceholder::CStreamUSBPlaceholder(Lumora::INewSystem* system,
                                             Lumora::INewInterface* parentInterface,
                                             Lumora::INewDevice* device)
    : system_(system), interface_(parentInterface), device_(device) {}

CStreamUSBPlaceholder::~CStreamUSBPlaceholder() {
    if (device_ != nullptr) device_->ReleaseChild(static_cast<Lumora::IStream*>(this));
}

int CStreamUSBPlaceholder::Acquire(ACQ_START_FLAGS, Lumora::u64) {
    return Lumora::GC_ERR_NOT_IMPLEMENTED;
}

int CStreamUSBPlaceholder::Freeze(ACQ_STOP_FLAGS) {
    return Lumora::GC_ERR_NOT_IMPLEMENTED;
}

int CStreamUSBPlaceholder::GetImage(void*, int32_t) {
    return Lumora::GC_ERR_NOT_IMPLEMENTED;
}

int CStreamUSBPlaceholder::SetParam(Lumora::u64, void*, Lumora::u64&) {
    return Lumora::GC_ERR_NOT_IMPLEMENTED;
}

int CStreamUSBPlaceholder::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        if (id != 0) return static_cast<int>(Lumora::GC_ERR_NOT_IMPLEMENTED);
        CopyParamString(buffer, &size, kName);
        return 0;
    });
}

unsigned CStreamUSBPlaceholder::Release() {
    delete this;
    return 0;
}

unsigned CStreamUSBPlaceholder::Share() {
    return static_cast<unsigned>(Lumora::GC_ERR_ERROR);
}

}  // namespace Kovon
