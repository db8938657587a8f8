#include "usb2/image/AutoWhiteBalance.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace Kovon::Usb2Image {
namespace {

// lo if lo > v, else hi if v > hi, else v.
float Clamp(float v, float lo, float hi) {
    if (lo > v) return lo;
    if (v > hi) return hi;
    return v;
}

// New ratio that corrects half of the relative error between a colour's mean and green's. A zero
// colour mean would make the factor infinite: the ratio then goes straight to the end of its range.
float CorrectedRatio(std::uint32_t green, std::uint32_t colour, float ratio) {
    if (colour == 0) return ratio > 0.0f ? CAutoWhiteBalance::kMaxRatio : CAutoWhiteBalance::kMinRatio;
    const float factor = (static_cast<float>(green) / static_cast<float>(colour) - 1.0f) * 0.5f + 1.0f;
    return factor * ratio;
}

}  // namespace

CAutoWhiteBalance::CAutoWhiteBalance(IUsbParamAccess& device, bool cameraStatistics, MsClock clock)
    : device_(device),
      cameraStatistics_(cameraStatistics),
      clock_(std::move(clock)),
      lastAwbTime_(clock_()) {}

void CAutoWhiteBalance::ReadFixedParam() {
    std::int32_t values[13] = {};
    for (std::uint64_t i = 0; i < 13; ++i) {
        if (const auto v = ReadU32(device_, MapAddress::kFixedParam0 + i))
            values[i] = static_cast<std::int32_t>(*v);
    }
    constants_.threshold = values[0];
    constants_.lowerEdge = values[1];
    constants_.diagonal = values[2];
    constants_.upperEdge = values[3];
    constants_.minGreen = values[4];
    constants_.maxGreen = values[5];
    constants_.blueKnots = {values[6], values[7], values[8]};
    constants_.redKnots = {values[9], values[10], values[11]};
    constants_.redBand = values[12];
}

bool CAutoWhiteBalance::IsAvailableLuminanceRange(std::uint8_t green) const {
    return constants_.minGreen <= green && green <= constants_.maxGreen;
}

bool CAutoWhiteBalance::IsAvailableColorVectorRange(std::int32_t x32, std::int32_t y32) const {
    // 64-bit so that no combination of camera constants can overflow.
    const std::int64_t x = x32, y = y32;
    const std::int64_t t = constants_.threshold, a = constants_.lowerEdge, bv = constants_.diagonal,
                       c = constants_.upperEdge;
    if (y <= t) return y > bv - a && y <= c - a && a <= x && x <= c - y;
    if (y <= bv - a) return bv - y <= x && x <= c - y;
    return y <= c - a && a <= x && x <= c - y;
}

bool CAutoWhiteBalance::IsThisWhite(float meanX, float meanY) {
    return -0.5f < meanX && meanX < 0.5f && -0.5f < meanY && meanY < 0.5f;
}

void CAutoWhiteBalance::GainClipping(float& red, float& blue) const {
    const float b0 = static_cast<float>(constants_.blueKnots[0]);
    const float b1 = static_cast<float>(constants_.blueKnots[1]);
    const float b2 = static_cast<float>(constants_.blueKnots[2]);
    const float r0 = static_cast<float>(constants_.redKnots[0]);
    const float r1 = static_cast<float>(constants_.redKnots[1]);
    const float r2 = static_cast<float>(constants_.redKnots[2]);
    const float w = static_cast<float>(constants_.redBand);
    if (blue < b0) {
        blue = b0;
        red = Clamp(red, r0, r0 + w);
    }
    // Each segment is entered only when its knots are strictly increasing, so its slope's divisor
    // is positive.
    if (b0 < blue && blue <= b1) {
        const float s = (r1 - r0) / (b1 - b0);
        const float lo = r0 - b0 * s + blue * s;
        red = Clamp(red, lo, lo + w);
    } else if (b1 < blue && blue <= b2) {
        const float s = (r2 - r1) / (b2 - b1);
        const float lo = r1 - b1 * s + blue * s;
        red = Clamp(red, lo, lo + w);
    }
    if (blue > b2) {
        blue = b2;
        red = Clamp(red, r2, r2 + w);
    }
}

CAutoWhiteBalance::Census CAutoWhiteBalance::MeasureFrame(const std::uint8_t* frame, std::uint32_t width,
                                                          std::uint32_t height) const {
    Census census;
    if (frame == nullptr) return census;
    const std::uint64_t w = width, h = height;
    // Leave out two sixteenths of the height at top and bottom and an eighth of the width on each
    // side; sample one 2x2 cell every 8 columns on every fourth row. A cell must lie wholly inside
    // the frame (small frames have no margin to protect the last row and column).
    const std::uint64_t r0 = 2 * (h / 16);
    const std::uint64_t c0 = w / 8;
    for (std::uint64_t r = r0; r + r0 < h && r + 1 < h; r += 4) {
        const std::uint8_t* top = frame + r * w;
        const std::uint8_t* bottom = top + w;
        for (std::uint64_t c = c0; c + c0 < w && c + 1 < w; c += 8) {
            ++census.total;
            const int blue = top[c];
            const int green = (top[c + 1] + bottom[c]) >> 1;
            const int red = bottom[c + 1];
            if (!IsAvailableLuminanceRange(static_cast<std::uint8_t>(green))) continue;
            const int x = red - green;
            const int y = blue - green;
            if (IsAvailableColorVectorRange(x, y)) {
                ++census.white;
                census.sumX += x;
                census.sumY += y;
            }
        }
    }
    return census;
}

void CAutoWhiteBalance::AWBProcessing(const std::uint8_t* frame, std::uint32_t width, std::uint32_t height) {
    if (cameraStatistics_) {
        const std::uint32_t now = clock_();
        if (static_cast<std::uint32_t>(now - lastAwbTime_) > kStatisticsIntervalMs) {
            AWB_Process();
            lastAwbTime_ = now;
        }
        return;
    }
    SoftwareRoute(frame, width, height);
}

void CAutoWhiteBalance::SoftwareRoute(const std::uint8_t* frame, std::uint32_t width, std::uint32_t height) {
    const auto mode = CachedU32(device_, MapAddress::kBalanceWhiteAuto);
    const auto red = CachedFloat(device_, MapAddress::kBalanceRatioRed);
    const auto blue = CachedFloat(device_, MapAddress::kBalanceRatioBlue);
    // Ratios that are not numbers cannot be corrected (nor sent to the camera): leave them be.
    if (!mode || !red || !blue || !std::isfinite(*red) || !std::isfinite(*blue)) return;

    const Census census = MeasureFrame(frame, width, height);
    ++awbIterations_;
    const std::uint32_t whitePercent =
        census.total == 0 ? 0
                          : static_cast<std::uint32_t>(static_cast<float>(census.white) /
                                                       static_cast<float>(census.total) * 100.0f);
    if (whitePercent < kMinWhitePercent && awbIterations_ >= kMaxIterations) {
        // Too little white in the scene to balance on.
        WriteU32(device_, MapAddress::kBalanceWhiteAuto, kBalanceWhiteOff);
        return;
    }

    const float n = static_cast<float>(std::max<std::uint32_t>(census.white, 1));
    const float meanX = static_cast<float>(census.sumX) / n;
    const float meanY = static_cast<float>(census.sumY) / n;
    if (IsThisWhite(meanX, meanY)) {
        if (*mode == kBalanceWhiteContinuous) return;
        awbIterations_ = 0;
        WriteU32(device_, MapAddress::kBalanceWhiteAuto, kBalanceWhiteOff);
        return;
    }

    float newRed = *red - std::trunc(meanX);
    float newBlue = *blue - std::trunc(meanY);
    GainClipping(newRed, newBlue);
    if (newRed != *red) WriteFloat(device_, MapAddress::kBalanceRatioRed, newRed);
    if (newBlue != *blue) WriteFloat(device_, MapAddress::kBalanceRatioBlue, newBlue);
    if (*mode == kBalanceWhiteOnce && awbIterations_ >= kMaxIterations) {
        WriteU32(device_, MapAddress::kBalanceWhiteAuto, kBalanceWhiteOff);
    }
}

void CAutoWhiteBalance::AWB_Process() {
    const auto mode = CachedU32(device_, MapAddress::kBalanceWhiteAuto);
    if (!mode || *mode == kBalanceWhiteOff) return;

    const auto counter = ReadU32(device_, MapAddress::kStatisticsFrameCounter);
    if (!counter) return;
    std::uint32_t sequence = *counter & 0xFF;
    if (sequence < lastAwbSequence_) sequence += 256;
    if (sequence - lastAwbSequence_ < 4) return;
    lastAwbSequence_ = static_cast<std::uint8_t>(sequence);

    WriteU32(device_, MapAddress::kStatisticsLatch, 1);
    const auto greenSum = ReadU32(device_, MapAddress::kAwbStatisticsGreen);
    const auto redSum = ReadU32(device_, MapAddress::kAwbStatisticsRed);
    const auto blueSum = ReadU32(device_, MapAddress::kAwbStatisticsBlue);
    const auto count = ReadU32(device_, MapAddress::kAwbStatisticsCount);
    WriteU32(device_, MapAddress::kStatisticsLatch, 0);
    if (!greenSum || !redSum || !blueSum || !count) return;
    if (*count == 0 || *count < awbMinCount_) return;

    const std::uint32_t g = (*greenSum / *count) & 0xFFFF;
    const std::uint32_t r = (*redSum / *count) & 0xFFFF;
    const std::uint32_t b = (*blueSum / *count) & 0xFFFF;

    WriteU32(device_, MapAddress::kAwbControl, 1);
    const bool redDone = r == g;
    if (!redDone) {
        const auto ratio = CachedFloat(device_, MapAddress::kBalanceRatioRed);
        if (ratio && std::isfinite(*ratio)) {
            StoreFloat(device_, MapAddress::kBalanceRatioRed,
                       Clamp(std::trunc(CorrectedRatio(g, r, *ratio)), kMinRatio, kMaxRatio));
        }
    }
    const bool blueDone = b == g;
    if (!blueDone) {
        const auto ratio = CachedFloat(device_, MapAddress::kBalanceRatioBlue);
        if (ratio && std::isfinite(*ratio)) {
            StoreFloat(device_, MapAddress::kBalanceRatioBlue,
                       Clamp(CorrectedRatio(g, b, *ratio), kMinRatio, kMaxRatio));
        }
    }
    // Send all three ratios to the camera (the device converts and writes each one).
    for (const std::uint64_t address :
         {MapAddress::kBalanceRatioRed, MapAddress::kBalanceRatioGreen, MapAddress::kBalanceRatioBlue}) {
        const auto ratio = CachedFloat(device_, address);
        if (ratio && std::isfinite(*ratio)) WriteFloat(device_, address, *ratio);
    }
    WriteU32(device_, MapAddress::kAwbControl, 0);

    if (redDone && blueDone && *mode == kBalanceWhiteOnce) {
        WriteU32(device_, MapAddress::kBalanceWhiteAuto, kBalanceWhiteOff);
        lastAwbSequence_ = 0;
    }
}

}  // namespace Kovon::Usb2Image
