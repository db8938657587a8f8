#include "usb2/FeatureConversions.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Kovon::Usb2 {
namespace {

constexpr float kTwoTo63f = 9223372036854775808.0f;
constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr float kTwoTo32f = 4294967296.0f;

template <typename F>
int64_t TruncSaturated(F value, F limit) {
    if (std::isnan(value)) return 0;
    if (value >= limit) return std::numeric_limits<int64_t>::max();
    if (value < -limit) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);  // in range: conversion toward zero
}

}  // namespace

int64_t TruncI64(float value) {
    return TruncSaturated(value, kTwoTo63f);
}

int64_t TruncI64(double value) {
    return TruncSaturated(value, kTwoTo63);
}

uint32_t TruncU32(float value) {
    if (std::isnan(value) || value <= -1.0f) return 0;
    if (value >= kTwoTo32f) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(value);
}

uint32_t TicksFromMicroseconds(float c, float us) {
    return Low32(TruncI64(c * us));
}

float MicrosecondsFromTicks(float c, uint32_t ticks) {
    if (!(c != 0.0f)) return 0.0f;
    return static_cast<float>(TruncU32(static_cast<float>(ticks) / c + 0.5f));
}

uint16_t StrobeTicks(float c, float us) {
    return Low16(TruncI64(c * 0.0625f * us));
}

float StrobeMicroseconds(float c, uint16_t ticks, float rounding) {
    if (!(c != 0.0f)) return 0.0f;
    return static_cast<float>(TruncU32(16.0f / c * static_cast<float>(ticks) + rounding));
}

uint16_t GainRegister(int32_t value) {
    return Low16(TruncI64(static_cast<float>(value) * 7.46f + 0.5f) + 199);
}

uint16_t GainFromRegister(uint16_t reg) {
    const int above = std::max(static_cast<int>(reg) - 199, 0);
    return Low16(TruncI64(static_cast<float>(above) / 7.46f + 0.5f));
}

uint16_t GainRegisterP(int32_t value) {
    const uint16_t steps = Low16(TruncI64(static_cast<float>(value) * 5.71f + 0.5f));
    return static_cast<uint16_t>(steps + 150);
}

uint16_t GainFromRegisterP(uint16_t reg) {
    const int above = std::max(static_cast<int>(reg) - 150, 0);
    return Low16(TruncI64(static_cast<float>(above) / 5.71f + 0.5f));
}

uint32_t FramePeriodTicks(float c, float rate) {
    if (rate == 0.0f) return std::numeric_limits<uint32_t>::max();
    return Low32(TruncI64((1000000.0f / rate) * c));
}

float FrameRateFromTicks(float c, uint32_t ticks) {
    if (ticks == 0) return 0.0f;
    return 1000000.0f / static_cast<float>(ticks) * c;
}

float PerSecond(float value) {
    if (!(value > 0.0f)) return 0.0f;
    return 1000000.0f / value;
}

float FrameTime(float rowTime, uint32_t sensorHeight, uint32_t height) {
    const auto rest = static_cast<int32_t>(sensorHeight - height - 31u);
    return static_cast<float>(height + 31u) * rowTime + 0.25f * rowTime * static_cast<float>(rest);
}

uint32_t GammaSlope(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    const int64_t dx = static_cast<int64_t>(x1) - static_cast<int64_t>(x0);
    const int64_t dy = static_cast<int64_t>(y1) - static_cast<int64_t>(y0);
    if (dx <= 0 || dy < 0) return 0;
    return TruncU32(static_cast<float>(dy) / static_cast<float>(dx) * 32.0f);
}

uint16_t RatioRegister(float ratio) {
    return Low16(TruncI64(ratio + 0.5f));
}

namespace {
struct FormatCode {
    uint32_t format;
    uint16_t code;
};
constexpr FormatCode kFormatCodes[] = {
    {kMono8, 0}, {kMono10, 1}, {kBayerBG8, 2}, {kBGR8Packed, 3}, {kMono12, 5}, {kMono14, 9},
};
}  // namespace

uint16_t PixelFormatCode(uint32_t format) {
    for (const FormatCode& f : kFormatCodes)
        if (f.format == format) return f.code;
    return 0;
}

uint32_t PixelFormatOfCode(uint16_t code) {
    for (const FormatCode& f : kFormatCodes)
        if (f.code == code) return f.format;
    return 0;
}

uint32_t BytesPerPixel(uint32_t format) {
    switch (format) {
        case kMono10:
        case kMono12:
        case kMono14:
            return 2;
        case kBGR8Packed:
            return 3;
        default:
            return 1;
    }
}

uint32_t PayloadSize(uint32_t width, uint32_t horizontalCode, uint32_t height, uint32_t format) {
    const uint32_t columns = horizontalCode == 1 ? width * 2u : width;
    return columns * height * BytesPerPixel(format);
}

namespace Narrow {
namespace {
constexpr float kRowTimes[8] = {31.28f, 30.69f, 30.09f, 29.5f, 28.91f, 28.32f, 27.73f, 27.14f};
constexpr float kNarrowestRowTime = 25.95f;  // entries 8 to 35
}  // namespace

float RowTime(int64_t columnsRemoved) {
    if (columnsRemoved < 0) columnsRemoved = 0;
    const int64_t index = std::min<int64_t>(columnsRemoved >> 4, kRowTimeEntries - 1);
    return index < 8 ? kRowTimes[index] : kNarrowestRowTime;
}

uint32_t ExposureLimitRows(float rowTime, uint32_t height) {
    const float frame = rowTime * 52.0f + static_cast<float>(TruncU32(rowTime * static_cast<float>(height)));
    const uint32_t rate = frame > 0.0f ? TruncU32(1000000.0f / frame + 0.5f) : 0;
    return rate == 0 ? kTriggerExposureLimitRows : kTriggerExposureLimitRows / rate;
}

uint32_t TriggerDelayTicks(float us) {
    return TruncU32(us * 1000.0f) / 37u;
}

float TriggerDelayMicroseconds(uint32_t ticks) {
    return static_cast<float>(TruncU32(static_cast<float>(ticks) * 37.0f / 1000.0f + 0.5f));
}

uint16_t StrobeTicks(float us) {
    return Low16(TruncI64(us * 1000.0f / 592.0f));
}

float StrobeMicroseconds(uint16_t ticks) {
    return static_cast<float>(TruncU32(static_cast<float>(ticks) * 592.0f / 1000.0f + 0.5f));
}

uint16_t GainRegister(uint32_t value) {
    return static_cast<uint16_t>(std::min<uint32_t>((value + 32u) >> 1, 64u));
}

uint32_t GainFromRegister(uint16_t reg) {
    return static_cast<uint32_t>(reg) * 2u - 32u;
}

uint16_t BlackLevelRegister(int32_t value) {
    return Low16(TruncI64(static_cast<double>(value) * 9.88 + 0.5 + 35.0));
}

int32_t BlackLevelFromRegister(uint16_t reg) {
    const int above = static_cast<int>(reg) - 35;
    return static_cast<int32_t>(TruncI64(static_cast<double>(above) * 0.10121457489878542 + 0.5));
}

uint16_t ExposureRows(float us, float rowTime) {
    if (!(rowTime != 0.0f)) return 0;
    return Low16(TruncI64(us / rowTime + 0.5f));
}

}  // namespace Narrow
}  // namespace Kovon::Usb2
