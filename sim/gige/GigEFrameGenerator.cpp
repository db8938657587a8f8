#include "sim/gige/GigEFrameGenerator.h"

namespace Kovon::Sim {
namespace {

uint32_t Bits(uint32_t pf) { return (pf >> 16) & 0xFF; }

bool IsPacked(uint32_t pf) {
    return pf == PixelFormat::Mono10Packed || pf == PixelFormat::Mono12Packed ||
           (pf >= PixelFormat::BayerGR10Packed && pf <= PixelFormat::BayerBG12Packed);
}

// Significant bits of a monochrome or Bayer format.
uint32_t Depth(uint32_t pf) {
    switch (pf) {
        case PixelFormat::Mono10:
        case PixelFormat::Mono10Packed:
            return 10;
        case PixelFormat::Mono12:
        case PixelFormat::Mono12Packed:
            return 12;
        case PixelFormat::Mono16:
            return 16;
        default:
            break;
    }
    if (pf >= PixelFormat::BayerGR10 && pf <= PixelFormat::BayerBG12) return pf <= 0x0110000F ? 10 : 12;
    if (pf >= PixelFormat::BayerGR10Packed && pf <= PixelFormat::BayerBG12Packed) return pf <= 0x010C0029 ? 10 : 12;
    return 8;
}

uint32_t Value(uint32_t x, uint32_t y, uint32_t seed) { return x + 3 * y + 17 * seed; }

}  // namespace

bool GigEFrameGenerator::IsSupported(uint32_t pf) {
    using namespace PixelFormat;
    switch (pf) {
        case Mono8: case Mono10: case Mono10Packed: case Mono12: case Mono12Packed: case Mono16:
        case RGB8Packed: case BGR8Packed: case YUV422Packed: case YUV422YUYVPacked:
            return true;
        default:
            break;
    }
    return (pf >= BayerGR8 && pf <= BayerBG8) || (pf >= BayerGR10 && pf <= BayerBG12) ||
           (pf >= BayerGR10Packed && pf <= BayerBG12Packed);
}

uint64_t GigEFrameGenerator::PayloadSize(uint32_t pf, uint32_t width, uint32_t height) {
    if (!IsSupported(pf) || width == 0 || height == 0 || (IsPacked(pf) && width % 2 != 0)) return 0;
    return uint64_t{width} * height * Bits(pf) / 8;
}

void GigEFrameGenerator::Fill(uint32_t pf, uint32_t w, uint32_t h, uint32_t seed, uint8_t* out) {
    using namespace PixelFormat;
    if (PayloadSize(pf, w, h) == 0) return;
    if (pf == RGB8Packed || pf == BGR8Packed) {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x, out += 3) {
                uint8_t r = static_cast<uint8_t>(x + seed), g = static_cast<uint8_t>(y), b = static_cast<uint8_t>(17 * seed);
                out[0] = pf == RGB8Packed ? r : b;
                out[1] = g;
                out[2] = pf == RGB8Packed ? b : r;
            }
        return;
    }
    if (pf == YUV422Packed || pf == YUV422YUYVPacked) {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; x += 2, out += 4) {
                uint8_t y0 = static_cast<uint8_t>(Value(x, y, seed)), y1 = static_cast<uint8_t>(Value(x + 1, y, seed));
                uint8_t u = static_cast<uint8_t>(128 + seed), v = static_cast<uint8_t>(128 - seed);
                if (pf == YUV422Packed) {  // U Y0 V Y1
                    out[0] = u, out[1] = y0, out[2] = v, out[3] = y1;
                } else {  // Y0 U Y1 V
                    out[0] = y0, out[1] = u, out[2] = y1, out[3] = v;
                }
            }
        return;
    }
    const uint32_t depth = Depth(pf);
    const uint32_t mask = depth >= 32 ? 0xFFFFFFFFu : (1u << depth) - 1;
    if (IsPacked(pf)) {
        // Two pixels in three bytes: the high bits of each in bytes 0 and 2, the low bits in byte 1.
        const uint32_t low = depth - 8;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; x += 2, out += 3) {
                uint32_t p0 = Value(x, y, seed) & mask, p1 = Value(x + 1, y, seed) & mask;
                out[0] = static_cast<uint8_t>(p0 >> low);
                out[1] = static_cast<uint8_t>((p0 & ((1u << low) - 1)) | ((p1 & ((1u << low) - 1)) << 4));
                out[2] = static_cast<uint8_t>(p1 >> low);
            }
        return;
    }
    if (Bits(pf) == 8) {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) *out++ = static_cast<uint8_t>(Value(x, y, seed));
        return;
    }
    for (uint32_t y = 0; y < h; ++y)  // 16-bit containers, little-endian
        for (uint32_t x = 0; x < w; ++x, out += 2) {
            uint32_t v = Value(x, y, seed) & mask;
            out[0] = static_cast<uint8_t>(v);
            out[1] = static_cast<uint8_t>(v >> 8);
        }
}

}  // namespace Kovon::Sim
