#pragma once
// Frames as PNG files (libpng): 8-bit grey for 8-bit mono and Bayer data (Bayer stays raw), 16-bit
// grey for the 10-, 12-, 14- and 16-bit formats, packed ones included (samples shifted to the top
// of the 16 bits, the original depth kept in the sBIT chunk), 8-bit colour for RGB8Packed and
// BGR8Packed.
#include <cstddef>
#include <cstdint>
#include <string>

namespace KovonGrab {

namespace PixelFormat {
constexpr uint32_t Mono8 = 0x01080001;
constexpr uint32_t Mono10 = 0x01100003;
constexpr uint32_t Mono12 = 0x01100005;
constexpr uint32_t Mono14 = 0x01100025;
constexpr uint32_t Mono16 = 0x01100007;
constexpr uint32_t Mono10Packed = 0x010C0004;
constexpr uint32_t Mono12Packed = 0x010C0006;
constexpr uint32_t BayerGR8 = 0x01080008;
constexpr uint32_t BayerBG8 = 0x0108000B;
constexpr uint32_t BayerGR10 = 0x0110000C;
constexpr uint32_t BayerBG10 = 0x0110000F;
constexpr uint32_t BayerGR12 = 0x01100010;
constexpr uint32_t BayerBG12 = 0x01100013;
constexpr uint32_t BayerGR16 = 0x0110002E;
constexpr uint32_t BayerBG16 = 0x01100031;
constexpr uint32_t RGB8Packed = 0x02180014;
constexpr uint32_t BGR8Packed = 0x02180015;
}  // namespace PixelFormat

// How frames of one pixel format are laid out in memory and stored in a PNG file.
struct PngLayout {
    int channels = 0;          // 1 grey, 3 colour
    int bitDepth = 0;          // 8 or 16 in the file
    int significantBits = 0;   // bits per sample in the frame: 8, 10, 12, 14 or 16
    bool bgr = false;          // blue first in the frame
    size_t bytesPerPixel = 0;  // in the frame; 0 for a packed format
    // Two pixels in three bytes, the pixels of the frame one after the other (GigE Vision
    // packing): byte 0 the high bits of the first, byte 2 those of the second, byte 1 the low bits
    // of the first in its low nibble and those of the second in its high nibble.
    bool packed = false;
};

// False when frames of the format cannot be stored.
bool PngLayoutFor(uint32_t pixelFormat, PngLayout& layout);
// Text of a pixel format for messages: its GenICam name when known, else hexadecimal.
std::string PixelFormatName(uint32_t pixelFormat);
// Bytes of a frame of width x height pixels in the layout.
uint64_t FrameBytes(const PngLayout& layout, uint32_t width, uint32_t height);

// Writes one frame (16-bit samples little-endian, rows without padding, packed formats as above). The frame must hold
// width x height pixels; false with the reason in `error` otherwise or when the file cannot be
// written.
bool WritePng(const std::string& path, uint32_t width, uint32_t height, uint32_t pixelFormat,
              const uint8_t* data, size_t size, std::string& error);

}  // namespace KovonGrab
