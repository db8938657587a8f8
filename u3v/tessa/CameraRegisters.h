#pragma once
// Registers of the maker's USB3 Vision cameras outside the bootstrap maps. The library itself only
// uses the acquisition command; the module and the simulated camera use the others.
#include <cstdint>

namespace Kovon::Tessa::CameraRegister {
constexpr uint64_t kDeviceLevel = 0x10040;       // the module opens cameras whose value is at least 8
constexpr uint64_t kWidth = 0x50000;
constexpr uint64_t kHeight = 0x50004;
constexpr uint64_t kPixelFormat = 0x50008;
constexpr uint64_t kPayloadSize = 0x5000C;       // read-only, bytes per frame
constexpr uint64_t kAcquisitionCommand = 0x50010;  // write 1 to start, 0 to stop
constexpr uint64_t kAcquisitionMode = 0x50014;   // 1 continuous (the default)
constexpr uint64_t kDeviceText = 0x50030;        // 32 bytes, read-only
constexpr uint64_t kMaxTransferSize = 0x80010;   // largest payload transfer the camera sends
constexpr uint32_t kDeviceTextLength = 32;
}  // namespace Kovon::Tessa::CameraRegister
