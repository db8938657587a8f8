#pragma once
// The library's 16-bit statuses. 0 is success; 0x8xxx values are a camera's own GVCP status,
// passed through unchanged; 0xCxxx values are the library's.
#include <cstdint>

namespace Kovon::Pelion {

using Status = uint16_t;

namespace St {
constexpr Status Ok = 0x0000;
constexpr Status AlreadyOpen = 0x0002;       // the index already holds this camera: nothing done
constexpr Status InvalidAddress = 0x8003;    // camera: no register at that address
constexpr Status AccessDenied = 0x8006;      // camera: the access needs control privilege
constexpr Status Error = 0xC001;             // bad argument, unknown index, socket failure
constexpr Status Timeout = 0xC008;           // no answer within the time-out and its retries
constexpr Status NoEventChannel = 0xC00D;    // the camera has no message channel
constexpr Status FrameIncomplete = 0xC010;   // packets of the frame are missing after resend
constexpr Status InvalidSetting = 0xC020;    // a settings, time-out or mode value out of range
constexpr Status FrameDamaged = 0xC027;      // leader or trailer lost, or payload inconsistent
constexpr Status AccessRefused = 0xC02B;     // another host holds control of the camera
}  // namespace St

}  // namespace Kovon::Pelion
