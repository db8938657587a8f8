#pragma once
// The 16-bit results of the U3V_ functions: 0 on success, a GenCP or USB3 Vision status that the
// camera reported (0x8xxx, 0xAxxx), or one of the library's own results (0xCxxx) below.
#include <cstdint>

#include "u3v/tessa/U3vWire.h"

namespace Kovon::Tessa {

namespace Result {
constexpr uint16_t kOk = 0;
// Camera-reported statuses are passed through unchanged (Wire::Status).
constexpr uint16_t kNotImplemented = Wire::Status::kNotImplemented;
constexpr uint16_t kInvalidParameter = Wire::Status::kInvalidParameter;  // bad argument to a call
constexpr uint16_t kBusy = Wire::Status::kBusy;                          // channel already open / in use
constexpr uint16_t kMsgTimeout = Wire::Status::kMsgTimeout;              // no acknowledgement in time
constexpr uint16_t kDataOverrun = Wire::Status::kDataOverrun;            // frame larger than the payload buffer

constexpr uint16_t kNoSuchDevice = 0xC001;       // index or path not known (run discovery again)
constexpr uint16_t kOpenFailed = 0xC002;         // the USB device could not be opened
constexpr uint16_t kClaimFailed = 0xC003;        // a USB3 Vision interface could not be claimed
constexpr uint16_t kNotU3vDevice = 0xC004;       // bootstrap registers missing or implausible
constexpr uint16_t kBadAcknowledge = 0xC005;     // malformed or unmatched acknowledgement
constexpr uint16_t kTransferFailed = 0xC006;     // USB transfer error
constexpr uint16_t kBadRegisterMap = 0xC007;     // SBRM, SIRM or EIRM values out of range
constexpr uint16_t kNoManifest = 0xC010;         // no description file on the camera
constexpr uint16_t kBadFile = 0xC011;            // description file damaged or of an unknown format
constexpr uint16_t kTooLarge = 0xC012;           // a size beyond the library's limits
constexpr uint16_t kDeviceLost = 0xC013;         // the camera was unplugged
constexpr uint16_t kNoChannel = 0xC014;          // the camera has no event or stream interface
constexpr uint16_t kStreamSetupFailed = 0xC015;  // stream interface registers refused or inconsistent
constexpr uint16_t kNotStarted = 0xC016;         // no acquisition running
constexpr uint16_t kAcquisitionEnded = 0xC017;   // acquisition stopped or its frame count reached
constexpr uint16_t kTimeout = 0xC018;            // no frame within the time-out
constexpr uint16_t kIncompleteFrame = 0xC019;    // a frame arrived damaged; frame info tells how many
constexpr uint16_t kInvalidHandle = 0xC01A;      // a handle the library did not hand out, or closed
constexpr uint16_t kInvalidBuffer = 0xC01E;      // a required output pointer is null
}  // namespace Result

}  // namespace Kovon::Tessa
