#include "Usb2Frames.h"

#include <cstddef>

namespace KovonGrab {

uint32_t Usb2RawPixel(bool colour, const Usb2RawFormat& format, uint32_t x, uint32_t y, uint64_t frame) {
    const uint32_t mask = (1u << format.depth) - 1u;
    uint32_t value;
    if (colour) {
        const bool evenRow = y % 2 == 0, evenColumn = x % 2 == 0;
        value = evenRow && evenColumn ? Usb2Blue(frame) : !evenRow && !evenColumn ? kUsb2Red : kUsb2Green;
    } else {
        value = static_cast<uint32_t>(x + 3ull * y + 7 * frame) & mask;
    }
    if (y == 0 && x < 16) value = (value & ~1u) | ((kUsb2FrameMarker >> x) & 1u);
    return value;
}

std::vector<uint8_t> Usb2RawFrame(bool colour, const Usb2RawFormat& format, uint64_t frame) {
    std::vector<uint8_t> bytes(static_cast<size_t>(format.width) * format.height * format.bytesPerPixel);
    uint8_t* out = bytes.data();
    for (uint32_t y = 0; y < format.height; ++y)
        for (uint32_t x = 0; x < format.width; ++x) {
            const uint32_t value = Usb2RawPixel(colour, format, x, y, frame);
            *out++ = static_cast<uint8_t>(value);
            if (format.bytesPerPixel == 2) *out++ = static_cast<uint8_t>(value >> 8);
        }
    return bytes;
}

bool Usb2RawFormatOf(uint16_t width, uint16_t height, uint16_t binning, uint16_t formatCode,
                     Usb2RawFormat& format) {
    if (width == 0 || height == 0) return false;
    Usb2RawFormat f;
    f.width = (binning >> 8) == 1 ? 2u * width : width;
    f.height = height;
    switch (formatCode) {
        case 1:  // Mono10
            f.bytesPerPixel = 2, f.depth = 10;
            break;
        case 5:  // Mono12
            f.bytesPerPixel = 2, f.depth = 12;
            break;
        case 9:  // Mono14
            f.bytesPerPixel = 2, f.depth = 14;
            break;
        default:  // Mono8, BayerBG8, BGR8Packed: one byte per pixel on the wire
            break;
    }
    format = f;
    return true;
}

}  // namespace KovonGrab
