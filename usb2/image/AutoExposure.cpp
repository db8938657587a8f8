#include "usb2/image/AutoExposure.h"

#include <cmath>
#include <utility>

namespace Kovon::Usb2Image {

CAutoExposure::CAutoExposure(IUsbParamAccess& device, MsClock clock)
    : device_(device), clock_(std::move(clock)), lastAeTime_(clock_()) {}

void CAutoExposure::AE_Process(std::uint32_t frameHeight) {
    const std::uint32_t now = clock_();
    if (static_cast<std::uint32_t>(now - lastAeTime_) <= kDecisionIntervalMs) return;
    const auto mode = CachedU32(device_, MapAddress::kExposureAuto);
    if (mode && *mode != kExposureAutoOff) {
        if (const auto rate = CachedFloat(device_, MapAddress::kAcquisitionFrameRate)) aeFrameRate_ = *rate;
        if (const auto counter = ReadU32(device_, MapAddress::kStatisticsFrameCounter)) {
            const auto sequence = static_cast<std::uint8_t>(*counter);
            if (static_cast<std::uint8_t>(sequence - lastAeSequence_) >= 2) {
                lastAeSequence_ = sequence;
                AEC_Run(frameHeight);
            }
        }
    }
    lastAeTime_ = now;
}

float CAutoExposure::FrameTimeLimitUs(std::uint32_t height) {
    // Rows beyond the image (negative when the image is taller than the nominal frame) count a
    // quarter of a line each.
    const std::int64_t extraRows = kFrameLines - std::int64_t{height} - 31;
    return static_cast<float>(extraRows) * (kLineTimeUs * 0.25f) +
           static_cast<float>(std::int64_t{height} + 31) * kLineTimeUs;
}

AecResult CAutoExposure::AEC_Run(std::uint32_t frameHeight) {
    WriteU32(device_, MapAddress::kStatisticsLatch, 1);
    const auto sum = ReadU32(device_, MapAddress::kAeStatisticsSum);
    const auto count = ReadU32(device_, MapAddress::kAeStatisticsCount);
    WriteU32(device_, MapAddress::kStatisticsLatch, 0);
    if (!sum || !count || *count == 0) return AecResult::kNoPixels;

    const std::uint32_t mean = *sum / *count;
    const auto target = ReadU32(device_, MapAddress::kExposureAutoTarget);
    if (!target) return AecResult::kUnchanged;
    const std::int64_t diff = std::int64_t{mean} - std::int64_t{*target};
    const bool onTarget = diff < 1 && diff > -1;

    const std::uint32_t mode = CachedU32(device_, MapAddress::kExposureAuto).value_or(kExposureAutoOff);
    if (mode == kExposureAutoOnce) {
        if (!onTarget && !(static_cast<float>(aeOnceCount_) > aeFrameRate_)) {
            ++aeOnceCount_;
        } else {
            aeOnceCount_ = 0;
            WriteU32(device_, MapAddress::kExposureAuto, kExposureAutoOff);
            return AecResult::kUnchanged;
        }
    } else if (mode == kExposureAutoContinuous && onTarget) {
        return AecResult::kUnchanged;
    }

    const auto exposure = ReadFloat(device_, MapAddress::kExposureTime);
    if (!exposure || !std::isfinite(*exposure)) return AecResult::kUnchanged;
    const float current = *exposure;
    // Correct half of the relative error per step. A target of 0 makes the error infinite: the
    // exposure goes straight to its lower limit instead of through an infinite ratio.
    float next = kMinExposureUs;
    if (*target != 0) {
        const float ratio = (static_cast<float>(mean) / static_cast<float>(*target) - 1.0f) * 0.5f + 1.0f;
        next = std::floor(current / ratio);  // ratio >= 0.5: no division by zero
    }

    float limit = next;  // unknown frame-rate mode: no upper limit
    const std::uint32_t rateMode = ReadU32(device_, MapAddress::kAcquisitionFrameRateMode).value_or(~0u);
    if (rateMode == 0) {
        limit = FrameTimeLimitUs(frameHeight);
    } else if (rateMode == 1 && aeFrameRate_ > 0.0f && std::isfinite(aeFrameRate_)) {
        limit = 1000000.0f / aeFrameRate_;
    }
    if (!(next >= kMinExposureUs)) {
        next = kMinExposureUs;
    } else if (next > limit) {
        next = limit;
    }
    if (!std::isfinite(next)) return AecResult::kUnchanged;
    if (next == current) return AecResult::kUnchanged;
    WriteFloat(device_, MapAddress::kExposureTime, next);
    return AecResult::kWritten;
}

}  // namespace Kovon::Usb2Image
