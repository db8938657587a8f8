#pragma once
// Test frames of the simulated GigE Vision camera: a deterministic pattern per pixel format, so
// that a receiver can check every byte it was sent.
#include <cstddef>
#include <cstdint>

namespace Kovon::Sim {

namespace PixelFormat {
constexpr uint32_t Mono8 = 0x01080001;
constexpr uint32_t Mono10 = 0x01100003;
constexpr uint32_t Mono10Packed = 0x010C0004;
constexpr uint32_t Mono12 = 0x01100005;
constexpr uint32_t Mono12Packed = 0x010C0006;
constexpr uint32_t Mono16 = 0x01100007;
constexpr uint32_t BayerGR8 = 0x01080008;
constexpr uint32_t BayerBG8 = 0x0108000B;
constexpr uint32_t BayerGR10 = 0x0110000C;
constexpr uint32_t BayerBG12 = 0x01100013;
constexpr uint32_t BayerGR10Packed = 0x010C0026;
constexpr uint32_t BayerBG12Packed = 0x010C002D;
constexpr uint32_t RGB8Packed = 0x02180014;
constexpr uint32_t BGR8Packed = 0x02180015;
constexpr uint32_t YUV422Packed = 0x0210001F;
constexpr uint32_t YUV422YUYVPacked = 0x02100032;
}  // namespace PixelFormat

class GigEFrameGenerator {
public:
    static bool IsSupported(uint32_t pixelFormat);
    // Bytes of one frame; 0 for an unsupported format or geometry.
    static uint64_t PayloadSize(uint32_t pixelFormat, uint32_t width, uint32_t height);
    // Fills `out` (PayloadSize bytes) with pattern `seed` of the format.
    static void Fill(uint32_t pixelFormat, uint32_t width, uint32_t height, uint32_t seed, uint8_t* out);
};

}  // namespace Kovon::Sim
