#pragma once
// The records that the USB 2.0 channel hands to the EZ-USB driver, and the USB control setup
// packet the driver makes of a vendor request. Pure codecs: bytes in, checked fields out.
#include <array>
#include <cstddef>
#include <cstdint>

namespace Kovon {

constexpr size_t kVendorRequestRecordSize = 10;
constexpr size_t kVendorAnswerSize = 4;
constexpr size_t kDeviceDescriptorSize = 18;
constexpr size_t kSetupPacketSize = 8;
constexpr uint32_t kBulkInPipe = 1;
constexpr uint8_t kCameraRegisterRequest = 0xB0;

// VendorRequestRecord: direction (1 = device to host), request type (2 = vendor), recipient
// (0 = device), reserved bits, request, one byte of padding, then value and index, little-endian.
struct VendorRequest {
    uint8_t direction = 1;
    uint8_t requestType = 2;
    uint8_t recipient = 0;
    uint8_t reservedBits = 0;
    uint8_t request = kCameraRegisterRequest;
    uint16_t value = 0;
    uint16_t index = 0;
};

constexpr uint16_t SwapBytes16(uint16_t v) {
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

std::array<uint8_t, kVendorRequestRecordSize> EncodeVendorRequest(const VendorRequest& request);
// False when the size is not that of the record.
bool DecodeVendorRequest(const void* bytes, size_t size, VendorRequest& out);

// The setup packet of the control transfer the driver performs for a record: bmRequestType from
// direction, type and recipient, bRequest, then wValue, wIndex and wLength little-endian.
std::array<uint8_t, kSetupPacketSize> SetupPacketOf(const VendorRequest& request, uint16_t length);

// The camera register request for one 16-bit word: the record carries the address and the data
// byte-swapped, so that both travel high byte first in the setup packet.
VendorRequest CameraRegisterRequest(uint16_t address, uint16_t data);

// bcdUSB of a standard device descriptor (bytes 2 and 3, little-endian); false when fewer than
// 18 bytes came back.
bool UsbReleaseOf(const void* descriptor, size_t size, uint16_t& release);

}  // namespace Kovon
