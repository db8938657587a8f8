#pragma once
// A GenICam port for the Aravis GenApi engine whose reads and writes go to a camera of the module:
// every register or memory access of the engine becomes the device's GetParam or SetParam with the
// address as id. The bytes pass unchanged, so the description's own byte order applies.
#include <arv.h>

#include <cstdint>

#include "Lumora/Lumora.h"

namespace KovonGrab {

class ModulePort {
public:
    explicit ModulePort(Lumora::IDevice* device);
    ~ModulePort();
    ModulePort(const ModulePort&) = delete;
    ModulePort& operator=(const ModulePort&) = delete;

    ArvDevice* Device() const { return device_; }
    // Status of the last access that failed (0 when none has failed since the last Reset).
    int LastFailure() const { return lastFailure_; }
    void ResetFailure() { lastFailure_ = 0; }

    // Access by the engine; false with a GError when the module refuses it.
    bool Transfer(uint64_t address, uint32_t size, void* buffer, bool write, GError** error);

private:
    int Access(uint64_t address, uint32_t size, void* buffer, bool write);
    int AccessInPieces(uint64_t address, uint32_t size, void* buffer, bool write);

    Lumora::IDevice* camera_;
    ArvDevice* device_ = nullptr;
    int lastFailure_ = 0;
};

}  // namespace KovonGrab
