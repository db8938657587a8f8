#include "usb2/driver/EzusbRecords.h"

#include <cstring>

namespace Kovon {

std::array<uint8_t, kVendorRequestRecordSize> EncodeVendorRequest(const VendorRequest& request) {
    std::array<uint8_t, kVendorRequestRecordSize> bytes{};
    bytes[0] = request.direction;
    bytes[1] = request.requestType;
    bytes[2] = request.recipient;
    bytes[3] = request.reservedBits;
    bytes[4] = request.request;
    bytes[5] = 0;
    bytes[6] = static_cast<uint8_t>(request.value & 0xFF);
    bytes[7] = static_cast<uint8_t>(request.value >> 8);
    bytes[8] = static_cast<uint8_t>(request.index & 0xFF);
    bytes[9] = static_cast<uint8_t>(request.index >> 8);
    return bytes;
}

bool DecodeVendorRequest(const void* bytes, size_t size, VendorRequest& out) {
    if (bytes == nullptr || size != kVendorRequestRecordSize) return false;
    const auto* b = static_cast<const uint8_t*>(bytes);
    out.direction = b[0];
    out.requestType = b[1];
    out.recipient = b[2];
    out.reservedBits = b[3];
    out.request = b[4];
    out.value = static_cast<uint16_t>(b[6] | (b[7] << 8));
    out.index = static_cast<uint16_t>(b[8] | (b[9] << 8));
    return true;
}

std::array<uint8_t, kSetupPacketSize> SetupPacketOf(const VendorRequest& request, uint16_t length) {
    std::array<uint8_t, kSetupPacketSize> setup{};
    setup[0] = static_cast<uint8_t>(((request.direction & 1) << 7) | ((request.requestType & 3) << 5) |
                                    (request.recipient & 0x1F));
    setup[1] = request.request;
    setup[2] = static_cast<uint8_t>(request.value & 0xFF);
    setup[3] = static_cast<uint8_t>(request.value >> 8);
    setup[4] = static_cast<uint8_t>(request.index & 0xFF);
    setup[5] = static_cast<uint8_t>(request.index >> 8);
    setup[6] = static_cast<uint8_t>(length & 0xFF);
    setup[7] = static_cast<uint8_t>(length >> 8);
    return setup;
}

VendorRequest CameraRegisterRequest(uint16_t address, uint16_t data) {
    VendorRequest request;
    request.value = SwapBytes16(address);
    request.index = SwapBytes16(data);
    return request;
}

bool UsbReleaseOf(const void* descriptor, size_t size, uint16_t& release) {
    if (descriptor == nullptr || size < kDeviceDescriptorSize) return false;
    const auto* d = static_cast<const uint8_t*>(descriptor);
    release = static_cast<uint16_t>(d[2] | (d[3] << 8));
    return true;
}

}  // namespace Kovon
