#pragma once
// Host-side automatic exposure for USB 2.0 cameras whose firmware publishes exposure statistics.
//
// For every converted frame AE_Process decides whether a new measurement is due (more than 80 ms
// since the last decision and at least two statistics frames since the last step); AEC_Run then
// compares the camera's mean luminance with ExposureAutoTarget and moves ExposureTime half-way
// towards it, within [10 us, the longest exposure the frame timing allows]. Everything goes
// through the device's parameter map.
//
// One object per stream: its statistics sequence number is its own camera's, so two cameras
// acquiring at once do not take each other's frame numbers for their own.
// Thread-safety: none; the stream calls it from the one host thread that fetches frames.
#include <cstdint>

#include "usb2/image/MsClock.h"
#include "usb2/image/ParamAccess.h"

namespace Kovon::Usb2Image {

enum ExposureAutoMode : std::uint32_t {
    kExposureAutoOff = 0,
    kExposureAutoOnce = 1,
    kExposureAutoContinuous = 3
};

enum class AecResult : unsigned {
    kWritten = 0,    // a new exposure was written
    kUnchanged = 1,  // on target, nothing to change, or a single-shot run ended
    kNoPixels = 2,   // the camera counted no pixels (or the statistics could not be read)
};

class CAutoExposure {
public:
    static constexpr std::uint32_t kDecisionIntervalMs = 80;
    static constexpr float kLineTimeUs = 39.025f;
    static constexpr std::int64_t kFrameLines = 480;
    static constexpr float kMinExposureUs = 10.0f;

    CAutoExposure(IUsbParamAccess& device, MsClock clock);

    // Once per converted frame; frameHeight is the stream's image height.
    void AE_Process(std::uint32_t frameHeight);
    // One exposure step from the latched statistics.
    AecResult AEC_Run(std::uint32_t frameHeight);

    // Longest exposure for frame-rate mode Off: the frame time of 'height' rows.
    static float FrameTimeLimitUs(std::uint32_t height);

    std::uint8_t LastSequence() const { return lastAeSequence_; }
    std::uint16_t OnceCount() const { return aeOnceCount_; }

private:
    IUsbParamAccess& device_;
    MsClock clock_;
    std::uint32_t lastAeTime_;
    float aeFrameRate_ = 0.0f;
    std::uint16_t aeOnceCount_ = 0;
    std::uint8_t lastAeSequence_ = 0;
};

}  // namespace Kovon::Usb2Image
