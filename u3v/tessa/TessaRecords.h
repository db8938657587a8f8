#pragma once
// Records that the U3V_ functions fill for their callers. The byte offsets are part of the
// contract with the module's USB3 Vision classes and are checked at compile time.
#include <cstddef>
#include <cstdint>

namespace Kovon::Tessa {

// Filled by U3V_GetDeviceInfo; 480 bytes.
struct U3V_DISCOVERY_INFO {
    uint16_t vendorId;          // USB idVendor
    uint16_t productId;         // USB idProduct
    uint8_t busNumber;
    uint8_t deviceAddress;
    uint8_t speed;              // 1 low, 2 full, 3 high, 4 super, 5 super+ (0 unknown)
    uint8_t reserved0;
    char devicePath[77];        // handed to U3V_OpenDevice
    char modelName[128];
    char deviceGuid[128];       // the camera's GUID text
    char serialNumber[129];
    uint8_t accessCode;         // 0 free, 1 opened by this process, 2 opened elsewhere
    uint8_t reserved1[9];
};
static_assert(sizeof(U3V_DISCOVERY_INFO) == 480);
static_assert(offsetof(U3V_DISCOVERY_INFO, devicePath) == 8);
static_assert(offsetof(U3V_DISCOVERY_INFO, modelName) == 85);
static_assert(offsetof(U3V_DISCOVERY_INFO, deviceGuid) == 213);
static_assert(offsetof(U3V_DISCOVERY_INFO, serialNumber) == 341);
static_assert(offsetof(U3V_DISCOVERY_INFO, accessCode) == 470);

// Filled by U3V_OpenDevice; 2596 bytes. instanceId is stable for a camera across plug cycles and
// is what hot-plug notices carry.
struct U3V_DEVICE_INFORMATION {
    uint16_t vendorId;
    uint16_t productId;
    uint32_t controlInterface;  // interface number of the control interface
    char deviceDescription[260];
    char manufacturer[260];
    char instanceId[260];
    char deviceGuid[260];
    char modelName[260];
    char serialNumber[260];
    char devicePath[260];
    char familyName[260];
    uint32_t busNumber;
    uint32_t deviceAddress;
    uint32_t speed;
    uint8_t reserved[496];
};
static_assert(sizeof(U3V_DEVICE_INFORMATION) == 2596);
static_assert(offsetof(U3V_DEVICE_INFORMATION, instanceId) == 528);

// Filled by U3V_GetImage. count goes with result 0xC019: the number of frames lost in that
// incident (the damaged frame and any further broken frames skipped to find the next leader).
#pragma pack(push, 1)
struct U3V_FRAME_INFO {
    uint64_t blockId;
    uint64_t timestamp;
    uint32_t pixelFormat;
    uint32_t sizeX;
    uint32_t sizeY;
    uint16_t payloadType;
    uint16_t paddingX;
    uint16_t trailerStatus;
    uint32_t validLines;        // lines the trailer reports as sent
    uint32_t count;
    uint64_t validPayloadSize;  // bytes of the frame actually written into the caller's buffer
    uint32_t offsetX;
    uint32_t offsetY;
    uint8_t reserved[14];
};
#pragma pack(pop)
static_assert(sizeof(U3V_FRAME_INFO) == 72);
static_assert(offsetof(U3V_FRAME_INFO, blockId) == 0);
static_assert(offsetof(U3V_FRAME_INFO, count) == 38);

}  // namespace Kovon::Tessa
