#include "sim/usb2/SimUsb2Scene.h"

#include <algorithm>
#include <cmath>

#include "usb2/image/PixelFormat.h"

namespace Kovon::Sim {
namespace {

using namespace Usb2Image;

constexpr double kTicksPerLevel = 3930.0;
constexpr uint32_t kUnitGainRegister = 199;
constexpr double kGainStepsPerDoubling = 74.6;
constexpr double kCast[3] = {0.8, 1.0, 1.25};  // red, green, blue
constexpr uint32_t kMarker = 0xAA55;

// Shift from a pixel of the format to the 8-bit scale.
unsigned ShiftTo8(uint32_t format) {
    switch (format) {
        case kMono10:
            return 2;
        case kMono12:
            return 4;
        case kMono14:
            return 6;
        default:
            return 0;
    }
}

uint32_t Quantise(double value, unsigned shift, uint32_t fullScale) {
    const double scaled = std::round(value * static_cast<double>(1u << shift));
    if (scaled <= 0.0) return 0;
    return scaled >= fullScale ? fullScale : static_cast<uint32_t>(scaled);
}

}  // namespace

uint64_t SimUsb2FrameBytes(const SimUsb2FrameSettings& s) {
    const uint32_t bytesPerPixel = RawBytesPerPixel(s.pixelFormat);
    const uint64_t bytes = uint64_t{s.width} * s.height * bytesPerPixel;
    return bytes > kSimUsb2MaxFrameBytes ? 0 : bytes;
}

double SimUsb2SceneLevel(uint32_t exposureTicks, uint16_t gain) {
    const double gainFactor =
        1.0 + (gain > kUnitGainRegister ? (gain - kUnitGainRegister) / kGainStepsPerDoubling : 0.0);
    return exposureTicks / kTicksPerLevel * gainFactor;
}

SimUsb2Frame BuildSimUsb2Frame(const SimUsb2FrameSettings& s, unsigned phase) {
    SimUsb2Frame frame;
    const uint64_t bytes = SimUsb2FrameBytes(s);
    if (bytes == 0) return frame;
    const uint32_t bytesPerPixel = RawBytesPerPixel(s.pixelFormat);
    const bool wide = bytesPerPixel == 2;
    const unsigned shift = ShiftTo8(s.pixelFormat);
    const uint32_t fullScale = wide ? MonoFullScale(s.pixelFormat) : 255u;
    const double level = SimUsb2SceneLevel(s.exposureTicks, s.gain);
    const unsigned k = phase % kSimUsb2FramePhases;

    auto data = std::make_shared<std::vector<uint8_t>>(bytes);
    uint8_t* out = data->data();
    auto put = [&](uint64_t index, uint32_t value) {
        if (wide) {
            out[2 * index] = static_cast<uint8_t>(value & 0xFF);
            out[2 * index + 1] = static_cast<uint8_t>(value >> 8);
        } else {
            out[index] = static_cast<uint8_t>(value);
        }
    };
    auto get = [&](uint64_t index) -> uint32_t {
        return wide ? static_cast<uint32_t>(out[2 * index] | (out[2 * index + 1] << 8)) : out[index];
    };

    // Channel gains of the colour scene: cast × ratio / 1024.
    double channel[3];
    for (int c = 0; c < 3; ++c) channel[c] = kCast[c] * s.ratios[c] / 1024.0;

    for (uint32_t y = 0; y < s.height; ++y) {
        for (uint32_t x = 0; x < s.width; ++x) {
            double value;
            if (s.colour) {
                const uint32_t cell = (x / 2 + y / 2 + 7 * k) % 32;
                const double grey = level * (0.5 + cell / 31.0);
                const bool oddRow = (y & 1) != 0, oddColumn = (x & 1) != 0;
                const int c = !oddRow && !oddColumn ? 2 : (oddRow && oddColumn ? 0 : 1);
                value = grey * channel[c];
            } else {
                value = level * (0.5 + ((x + y + 7 * k) % 64) / 63.0);
            }
            put(uint64_t{y} * s.width + x, Quantise(value, shift, fullScale));
        }
    }
    const uint64_t pixels = uint64_t{s.width} * s.height;
    if (s.marker) {
        for (uint64_t i = 0; i < 16 && i < pixels; ++i) {
            const uint32_t bit = (kMarker >> i) & 1u;
            put(i, (get(i) & ~1u) | bit);
        }
    }

    // Statistics of what is sent.
    uint64_t sum = 0;
    for (uint64_t i = 0; i < pixels; ++i) sum += get(i) >> shift;
    uint64_t count = pixels;
    while (sum > 0xFFFFFFFFull) {
        sum >>= 1;
        count >>= 1;
    }
    frame.statistics.aeSum = static_cast<uint32_t>(sum);
    frame.statistics.aeCount = static_cast<uint32_t>(count);

    uint64_t red = 0, green = 0, blue = 0, cells = 0;
    for (uint32_t y = 0; y + 1 < s.height; y += 2) {
        for (uint32_t x = 0; x + 1 < s.width; x += 2) {
            const uint64_t top = uint64_t{y} * s.width + x, bottom = top + s.width;
            blue += get(top) >> shift;
            green += ((get(top + 1) >> shift) + (get(bottom) >> shift)) / 2;
            red += get(bottom + 1) >> shift;
            ++cells;
        }
    }
    while (std::max({red, green, blue}) > 0xFFFFFFFFull) {
        red >>= 1;
        green >>= 1;
        blue >>= 1;
        cells >>= 1;
    }
    frame.statistics.awbRed = static_cast<uint32_t>(red);
    frame.statistics.awbGreen = static_cast<uint32_t>(green);
    frame.statistics.awbBlue = static_cast<uint32_t>(blue);
    frame.statistics.awbCount = static_cast<uint32_t>(cells);
    frame.bytes = std::move(data);
    return frame;
}

}  // namespace Kovon::Sim
