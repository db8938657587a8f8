#pragma once
// The stream "DS0" of a USB 2.0 camera as far as listing and opening need it: it answers its name
// (GetParam 0), unlinks itself from its device when destroyed, and refuses acquisition with
// GC_ERR_NOT_IMPLEMENTED until the image path takes its place.
#include "Lumora/Lumora.h"

namespace Kovon {

class CStreamUSBPlaceholder final : public Lumora::INewStream {
public:
    static constexpr const char* kName = "DS0";

    CStreamUSBPlaceholder() = default;
    // An opened stream: 'device' is its parent's link, called with this stream when it ends.
    CStreamUSBPlaceholder(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                          Lumora::INewDevice* device);
    ~CStreamUSBPlaceholder() override;

    int Acquire(ACQ_START_FLAGS flags, Lumora::u64 count) override;
    int Freeze(ACQ_STOP_FLAGS flags) override;
    int GetImage(void* buffer, int32_t timeoutMs) override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    unsigned Release() override;
    unsigned Share() override;
    void ReleaseChild(void*) override {}

private:
    Lumora::INewSystem* system_ = nullptr;
    Lumora::INewInterface* interface_ = nullptr;
    Lumora::INewDevice* device_ = nullptr;
};

}  // namespace Kovon
