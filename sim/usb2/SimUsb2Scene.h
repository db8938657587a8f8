#pragma once
// What a simulated USB 2.0 camera sees and sends: the raw frames of its frame generator and the
// statistics the camera publishes about each of them. Pure functions, no camera state.
//
// The scene is a lit test chart whose brightness follows exposure × gain:
//   level L (8-bit scale) = exposure ticks / 3930 × (1 + max(gain register − 199, 0) / 74.6),
//   so 10 ms at 39.3 MHz with no gain gives L = 100, and ten gain steps double it.
// Monochrome models: pixel (x, y) of frame phase k = L × (0.5 + ((x + y + 7k) mod 64) / 63),
//   a diagonal ramp whose mean over a period is L.
// Colour models (BayerBG: blue at the top left of every 2x2 cell, red at the bottom right):
//   every cell (cx, cy) has one grey value g = L × (0.5 + ((cx + cy + 7k) mod 32) / 31), seen
//   through the sensor's colour cast (red 0.8, green 1.0, blue 1.25) and the camera's balance
//   ratios (1024 = gain one): channel value = g × cast × ratio / 1024. A white balance is
//   therefore right when red / green = 1024 / 0.8 and blue / green = 1024 / 1.25.
// Values are rounded, then clipped to the format's full scale (255 for the 8-bit formats, 1023,
// 4095, 16383 for Mono10/12/14, whose values are L × pattern × 4, 16, 64). 16-bit pixels are
// little-endian words. BGR8Packed travels as 8-bit Bayer data (monochrome models send their ramp).
// Under horizontal binning the camera sends lines of twice the width register, each pixel at
// level L: the host adds the pairs.
// Newer firmware writes the marker 0xAA55 into the least significant bits of pixels 0 to 15
// (bit i in pixel i).
//
// Statistics of a frame: AeStatisticsSum = the sum of all pixels in 8-bit scale (16-bit pixels
// shifted right by 2, 4 or 6) and AeStatisticsCount = the number of pixels (both halved together
// while the sum would not fit 32 bits); AwbStatisticsRed / Blue = the sums of the red and blue
// pixels of all whole 2x2 cells, AwbStatisticsGreen = the sum of the means of each cell's two
// green pixels, AwbStatisticsCount = the number of cells (all in 8-bit scale).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Kovon::Sim {

struct SimUsb2FrameSettings {
    uint32_t width = 0;        // pixels per line as sent
    uint32_t height = 0;       // lines
    uint32_t pixelFormat = 0;  // GenICam value; 0 for a code the camera does not know
    bool colour = false;
    bool marker = false;
    uint32_t exposureTicks = 0;
    uint16_t gain = 0;
    std::array<uint16_t, 3> ratios{};  // red, green, blue

    bool operator==(const SimUsb2FrameSettings& o) const {
        return width == o.width && height == o.height && pixelFormat == o.pixelFormat && colour == o.colour &&
               marker == o.marker && exposureTicks == o.exposureTicks && gain == o.gain && ratios == o.ratios;
    }
    bool operator!=(const SimUsb2FrameSettings& o) const { return !(*this == o); }
};

struct SimUsb2Statistics {
    uint32_t aeSum = 0;
    uint32_t aeCount = 0;
    uint32_t awbGreen = 0;
    uint32_t awbRed = 0;
    uint32_t awbBlue = 0;
    uint32_t awbCount = 0;
};

struct SimUsb2Frame {
    std::shared_ptr<const std::vector<uint8_t>> bytes;  // null: the settings give no frame
    SimUsb2Statistics statistics;
};

// Frames follow one another in this many phases (the chart moves by 7 pixels per phase), so that
// a frame delivered twice or out of its place shows.
constexpr unsigned kSimUsb2FramePhases = 4;
// Larger frames are not generated.
constexpr uint64_t kSimUsb2MaxFrameBytes = 64ull << 20;

// Bytes one frame of these settings takes on the wire (0: none).
uint64_t SimUsb2FrameBytes(const SimUsb2FrameSettings& settings);
// The level L of the scene.
double SimUsb2SceneLevel(uint32_t exposureTicks, uint16_t gain);
// The frame of phase 'phase' (taken modulo kSimUsb2FramePhases) and its statistics.
SimUsb2Frame BuildSimUsb2Frame(const SimUsb2FrameSettings& settings, unsigned phase);

}  // namespace Kovon::Sim
