#pragma once
// The frames that kovon-grab's simulated USB 2.0 cameras send: a simulated camera of that family
// has no image source of its own, so the program feeds its bulk pipe while acquisition runs.
//
// A monochrome camera sends a ramp, x + 3y + 7k for frame k, cut to the format's depth. A colour
// camera sends Bayer data with blue at the origin (blue, green on even rows; green, red on odd
// rows) and one value per colour: red 200, green 120, blue 60 + 10 (k mod 4). The first 16
// pixels carry the frame marker 0xAA55 in their least significant bits (pixel 0 bit 0 first),
// as the family's newer firmware writes it.
#include <cstdint>
#include <vector>

namespace KovonGrab {

struct Usb2RawFormat {
    uint32_t width = 0;  // pixels per line on the wire
    uint32_t height = 0;
    uint32_t bytesPerPixel = 1;  // 2: little-endian 16-bit words
    uint32_t depth = 8;          // significant bits: 8, 10, 12 or 14
};

constexpr uint16_t kUsb2FrameMarker = 0xAA55;
constexpr uint32_t kUsb2Red = 200;
constexpr uint32_t kUsb2Green = 120;
inline uint32_t Usb2Blue(uint64_t frame) {
    return 60 + 10 * static_cast<uint32_t>(frame % 4);
}

// Raw value of pixel (x, y) of frame `frame`, marker included.
uint32_t Usb2RawPixel(bool colour, const Usb2RawFormat& format, uint32_t x, uint32_t y, uint64_t frame);

// The whole raw frame as the camera sends it.
std::vector<uint8_t> Usb2RawFrame(bool colour, const Usb2RawFormat& format, uint64_t frame);

// The wire format for the camera's registers: width 0x434, height 0x436, binning codes 0x43C
// (high byte horizontal: 1 doubles the line), pixel-format code 0x43E. False when the registers
// give no frame.
bool Usb2RawFormatOf(uint16_t width, uint16_t height, uint16_t binning, uint16_t formatCode,
                     Usb2RawFormat& format);

}  // namespace KovonGrab
