#pragma once
// Host-side automatic white balance for the colour USB 2.0 models. It never changes pixels: it
// moves the camera's red and blue balance ratios (1024.0 = gain one) through the device's map.
//
// Two routes, fixed by the camera's firmware:
//  - firmware 0.0.5.0 and later measure colour sums themselves; AWB_Process reads them (at most
//    once per 50 ms and every fourth statistics frame) and corrects half of each colour's relative
//    error against green;
//  - older cameras are measured here on the raw BayerBG frame: 2x2 cells sampled on a sparse grid,
//    a white-region test on each cell's colour-difference vector, and the ratios moved by the mean
//    difference of the white cells, then clipped to a band along the camera's colour locus.
//
// One object per stream: its statistics sequence number is its own camera's, so two cameras
// acquiring at once do not take each other's frame numbers for their own.
// Thread-safety: none; the stream calls it from the one host thread that fetches frames.
#include <array>
#include <cstdint>

#include "usb2/image/MsClock.h"
#include "usb2/image/ParamAccess.h"

namespace Kovon::Usb2Image {

enum BalanceWhiteAutoMode : std::uint32_t {
    kBalanceWhiteOff = 0,
    kBalanceWhiteOnce = 1,
    kBalanceWhiteContinuous = 2
};

// The thirteen per-camera constants of the software route (FixedParam0..12).
struct WhiteBalanceConstants {
    std::int32_t threshold = 0;               // T: blue-difference threshold of the white region
    std::int32_t lowerEdge = 0;               // A
    std::int32_t diagonal = 0;                // Bv
    std::int32_t upperEdge = 0;               // C
    std::int32_t minGreen = 0;                // Lmin
    std::int32_t maxGreen = 0;                // Lmax
    std::array<std::int32_t, 3> blueKnots{};  // B0, B1, B2
    std::array<std::int32_t, 3> redKnots{};   // R0, R1, R2
    std::int32_t redBand = 0;                 // W
};

class CAutoWhiteBalance {
public:
    static constexpr std::uint32_t kStatisticsIntervalMs = 50;
    static constexpr std::uint32_t kMaxIterations = 350;
    static constexpr std::uint32_t kMinWhitePercent = 20;
    static constexpr float kMinRatio = 128.0f;
    static constexpr float kMaxRatio = 8191.0f;

    // cameraStatistics: the firmware measures colour sums itself (0.0.5.0 and later).
    CAutoWhiteBalance(IUsbParamAccess& device, bool cameraStatistics, MsClock clock);

    // Reads FixedParam0..12 from the camera (sign-extended 16-bit values). A failed read keeps 0.
    void ReadFixedParam();
    void SetConstants(const WhiteBalanceConstants& constants) { constants_ = constants; }
    const WhiteBalanceConstants& Constants() const { return constants_; }

    // Once per colour frame while BalanceWhiteAuto is not Off. 'frame' holds width x height bytes of
    // BayerBG data (the caller has checked the size).
    void AWBProcessing(const std::uint8_t* frame, std::uint32_t width, std::uint32_t height);
    // The camera-statistics route.
    void AWB_Process();

    bool IsAvailableLuminanceRange(std::uint8_t green) const;
    bool IsAvailableColorVectorRange(std::int32_t x, std::int32_t y) const;
    static bool IsThisWhite(float meanX, float meanY);
    // Keeps blue within [B0, B2] and red within a band of width W above the broken line through
    // (B0, R0), (B1, R1), (B2, R2).
    void GainClipping(float& red, float& blue) const;

    // The least pixel count camera statistics must have; the colour paths store the frame width.
    void SetMinCount(std::uint32_t count) { awbMinCount_ = count; }
    // Frames measured by the software route since white balance was last switched on.
    std::uint32_t Iterations() const { return awbIterations_; }
    void ResetIterations() { awbIterations_ = 0; }
    std::uint8_t LastSequence() const { return lastAwbSequence_; }

    // Cell census of the software route for one frame (exposed for tests).
    struct Census {
        std::uint32_t total = 0;
        std::uint32_t white = 0;
        std::int64_t sumX = 0;
        std::int64_t sumY = 0;
    };
    Census MeasureFrame(const std::uint8_t* frame, std::uint32_t width, std::uint32_t height) const;

private:
    void SoftwareRoute(const std::uint8_t* frame, std::uint32_t width, std::uint32_t height);

    IUsbParamAccess& device_;
    bool cameraStatistics_;
    MsClock clock_;
    WhiteBalanceConstants constants_;
    std::uint32_t awbMinCount_ = 0;
    std::uint32_t lastAwbTime_;
    std::uint32_t awbIterations_ = 0;
    std::uint8_t lastAwbSequence_ = 0;
};

}  // namespace Kovon::Usb2Image
