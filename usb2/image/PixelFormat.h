#pragma once
// The six pixel formats of the USB 2.0 cameras, as GenICam pixel-format values (the values the
// device keeps at map address 0x120), and what each one costs in bytes on the wire and in the
// host's image.
#include <cstdint>

namespace Kovon::Usb2Image {

enum PixelFormat : std::uint32_t {
    kMono8 = 0x01080001,
    kMono10 = 0x01100003,
    kMono12 = 0x01100005,
    kMono14 = 0x01100025,
    kBayerBG8 = 0x0108000B,
    kBGR8Packed = 0x02180015,
};

// Bytes per pixel in the raw frame the camera sends: 2 for the 16-bit monochrome formats (one
// little-endian word), 1 for the others (BGR8Packed travels as Bayer data). 0 for a value that is
// not one of the six.
constexpr std::uint32_t RawBytesPerPixel(std::uint32_t format) {
    switch (format) {
        case kMono10:
        case kMono12:
        case kMono14:
            return 2;
        case kMono8:
        case kBayerBG8:
        case kBGR8Packed:
            return 1;
        default:
            return 0;
    }
}

// Bytes per pixel in the host's image: 3 for BGR8Packed, otherwise as on the wire.
constexpr std::uint32_t HostBytesPerPixel(std::uint32_t format) {
    return format == kBGR8Packed ? 3 : RawBytesPerPixel(format);
}

// Largest value a monochrome pixel can hold; binning saturates the sum of two pixels here.
// 0 for the formats that binning does not handle.
constexpr std::uint32_t MonoFullScale(std::uint32_t format) {
    switch (format) {
        case kMono8:
            return 255;
        case kMono10:
            return 1023;
        case kMono12:
            return 4095;
        case kMono14:
            return 16383;
        default:
            return 0;
    }
}

}  // namespace Kovon::Usb2Image
