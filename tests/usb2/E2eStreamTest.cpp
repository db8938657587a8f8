// USB 2.0 cameras end to end, as a host sees them: the module loaded with dlopen, simulated
// cameras plugged in through its simulator API, the tree walked from GetSystem to the stream,
// features set by map address, acquisition started with AcquisitionStart, frames taken with
// GetImage and compared with what the camera's frame generator sent. Demosaiced frames are
// compared with OpenCV's own conversion of the sent Bayer data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "usb2/StreamHostRig.h"

namespace {

using namespace KovonTest::Usb2Stream;
using KovonTest::Usb2Stream::OpenedCamera;

constexpr unsigned kInstance = 7;
constexpr uint16_t kNewFirmware = 0x1203;  // "1.2.0.3": frame marker, exposure loop, camera colour statistics
constexpr uint16_t kOldFirmware = 0x0040;  // "0.0.4.0": no marker, white balance measured by the module
// Frames a test waits for before it calls a behaviour missing: at 100 frames/s, seconds.
constexpr int kPatience = 600;

CameraSpec Mono(uint16_t firmware, unsigned tag) {
    return {0x48, 0x11, firmware, tag, "RT-GA47E"};
}
CameraSpec Colour(uint16_t firmware, unsigned tag) {
    return {0x48, 0x51, firmware, tag, "RT-KA47E"};
}

uint32_t RawBytes(uint32_t format) {
    return format == kMono10 || format == kMono12 || format == kMono14 ? 2 : 1;
}
uint32_t FullScale(uint32_t format) {
    switch (format) {
        case kMono10:
            return 1023;
        case kMono12:
            return 4095;
        case kMono14:
            return 16383;
        default:
            return 255;
    }
}

// What the host must receive for a raw frame: a copy, pairs added with saturation, or OpenCV's
// demosaic of the BayerBG data (OpenCV's "RG" family: it names layouts by the second row). Empty
// when the module drops such frames (16-bit formats on a colour model).
std::vector<uint8_t> Expected(const std::vector<uint8_t>& raw, bool colourModel, uint32_t format,
                              bool binning, uint32_t wireWidth, uint32_t height) {
    const int w = static_cast<int>(wireWidth), h = static_cast<int>(height);
    auto demosaic = [&](int code, int channels) {
        cv::Mat src(h, w, CV_8UC1, const_cast<uint8_t*>(raw.data()));
        cv::Mat dst(h, w, channels == 1 ? CV_8UC1 : CV_8UC3);
        cv::cvtColor(src, dst, code);
        return std::vector<uint8_t>(dst.data, dst.data + dst.total() * dst.elemSize());
    };
    if (colourModel) {
        if (format == kMono8) return demosaic(cv::COLOR_BayerRG2GRAY, 1);
        if (format == kBGR8Packed) return demosaic(cv::COLOR_BayerRG2BGR, 3);
        if (format == kBayerBG8) return raw;
        return {};
    }
    if (format == kBGR8Packed) return demosaic(cv::COLOR_BayerRG2BGR, 3);
    if (!binning) return raw;
    const uint32_t bytes = RawBytes(format);
    const size_t pixels = raw.size() / bytes;
    std::vector<uint8_t> out(pixels / 2 * bytes);
    auto at = [&](size_t i) {
        return bytes == 2 ? uint32_t(raw[2 * i] | raw[2 * i + 1] << 8) : uint32_t(raw[i]);
    };
    for (size_t i = 0; i < pixels / 2; ++i) {
        const uint32_t v = std::min(at(2 * i) + at(2 * i + 1), FullScale(format));
        if (bytes == 2) {
            out[2 * i] = static_cast<uint8_t>(v);
            out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
        } else {
            out[i] = static_cast<uint8_t>(v);
        }
    }
    return out;
}

// The phase whose expected image equals 'got', or -1.
int MatchingPhase(const std::vector<std::vector<uint8_t>>& expected, const std::vector<uint8_t>& got) {
    for (size_t k = 0; k < expected.size(); ++k)
        if (!expected[k].empty() && std::equal(expected[k].begin(), expected[k].end(), got.begin()))
            return int(k);
    return -1;
}

// Means of the blue, green and red pixels of a BayerBG frame (blue at the top left of each cell).
struct BayerMeans {
    double blue = 0, green = 0, red = 0;
};
BayerMeans MeansOf(const std::vector<uint8_t>& bayer, uint32_t width, uint32_t height) {
    double sum[3] = {};
    double n[3] = {};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const int c = (y % 2 == 0 && x % 2 == 0) ? 0 : (y % 2 == 1 && x % 2 == 1) ? 2 : 1;
            sum[c] += bayer[size_t(y) * width + x];
            n[c] += 1;
        }
    return {sum[0] / n[0], sum[1] / n[1], sum[2] / n[2]};
}

double MeanOf(const std::vector<uint8_t>& frame) {
    double sum = 0;
    for (uint8_t v : frame) sum += v;
    return frame.empty() ? 0.0 : sum / double(frame.size());
}

class E2eStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.Complete()) << "the module does not export the whole simulator API";
        sim.UnplugAll();
    }
    void TearDown() override {
        camera.Close();
        sim.UnplugAll();
    }
    void Open(const CameraSpec& spec) {
        const std::string failed = camera.Open(sim, kInstance, spec);
        ASSERT_EQ(failed, "");
    }

    SimApi sim;
    OpenedCamera camera;
};

// ---- formats ----------------------------------------------------------------------------------

struct FormatCase {
    bool colour;
    uint32_t format;
    const char* name;
};

class E2eFormats : public E2eStream, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(E2eFormats, FramesCarryWhatTheCameraSent) {
    const FormatCase c = GetParam();
    const uint32_t width = 160, height = 120;
    Open(c.colour ? Colour(kNewFirmware, 1) : Mono(kNewFirmware, 1));
    EXPECT_EQ(camera.Description().rfind("<?xml", 0), 0u);
    ASSERT_TRUE(camera.Configure(width, height, c.format));
    ASSERT_EQ(camera.SetF32(Map::kExposureTime, 9000.0f), 0);

    std::vector<std::vector<uint8_t>> expected;
    for (const auto& raw : camera.Templates(sim)) {
        ASSERT_EQ(raw.size(), size_t(width) * height * RawBytes(c.format));
        expected.push_back(Expected(raw, c.colour, c.format, false, width, height));
    }
    ASSERT_EQ(expected.size(), size_t(KOVON_SIM_USB2_FRAME_PHASES));
    const bool dropped = expected[0].empty();
    const size_t imageBytes = dropped ? 16 : expected[0].size();

    ASSERT_TRUE(camera.Start());
    uint64_t payload = 0;
    Lumora::u64 size = sizeof payload;
    ASSERT_EQ(camera.Stream()->GetParam(4, &payload, size), 0);
    EXPECT_EQ(payload, uint64_t(width) * height * RawBytes(c.format));

    std::vector<uint8_t> image(imageBytes + 64, 0xEE);
    std::vector<int> phases;
    for (int i = 0; i < 6; ++i) {
        std::fill(image.begin(), image.end(), 0xEE);
        ASSERT_EQ(camera.NextFrame(image.data()), 0) << "frame " << i;
        if (dropped) {
            EXPECT_EQ(image[0], 0xEE) << "a frame the model cannot convert is dropped untouched";
            continue;
        }
        EXPECT_EQ(image[imageBytes], 0xEE) << "written past the image";
        const int phase = MatchingPhase(expected, image);
        EXPECT_GE(phase, 0) << "frame " << i << " is none of the frames the camera sent";
        phases.push_back(phase);
    }
    EXPECT_EQ(camera.FrameCount(), dropped ? 0u : 6u);
    if (!dropped) {
        EXPECT_EQ(phases[0], 0) << "the first frame after the start is the camera's first";
        for (size_t i = 1; i < phases.size(); ++i)
            EXPECT_NE(phases[i], phases[i - 1]) << "a frame delivered twice";
    }
    if (c.colour && c.format == kBGR8Packed) {
        // The colour cast survives the demosaic in the right channels: blue 1.25, red 0.8 of green.
        double mean[3] = {};
        for (size_t p = 0; p < size_t(width) * height; ++p)
            for (int ch = 0; ch < 3; ++ch) mean[ch] += image[3 * p + ch];
        EXPECT_NEAR(mean[0] / mean[1], 1.25, 0.03);
        EXPECT_NEAR(mean[2] / mean[1], 0.80, 0.03);
    }
    EXPECT_EQ(camera.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    SixFormats, E2eFormats,
    ::testing::Values(FormatCase{false, kMono8, "MonoMono8"}, FormatCase{false, kMono10, "MonoMono10"},
                      FormatCase{false, kMono12, "MonoMono12"}, FormatCase{false, kMono14, "MonoMono14"},
                      FormatCase{false, kBayerBG8, "MonoBayerBG8"},
                      FormatCase{false, kBGR8Packed, "MonoBGR8Packed"},
                      FormatCase{true, kMono8, "ColourMono8"}, FormatCase{true, kMono10, "ColourMono10"},
                      FormatCase{true, kMono12, "ColourMono12"}, FormatCase{true, kMono14, "ColourMono14"},
                      FormatCase{true, kBayerBG8, "ColourBayerBG8"},
                      FormatCase{true, kBGR8Packed, "ColourBGR8Packed"}),
    [](const ::testing::TestParamInfo<FormatCase>& param) { return std::string(param.param.name); });

// ---- binning ----------------------------------------------------------------------------------

class E2eBinning : public E2eStream, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(E2eBinning, PairsAreAddedWithSaturation) {
    const uint32_t format = GetParam();
    Open(Mono(kNewFirmware, 2));
    ASSERT_EQ(camera.SetU32(Map::kBinningHorizontal, 2), 0);
    ASSERT_TRUE(camera.Configure(80, 60, format));
    // Bright enough that many pairs exceed the full scale.
    ASSERT_EQ(camera.SetF32(Map::kExposureTime, 15000.0f), 0);

    std::vector<std::vector<uint8_t>> expected;
    for (const auto& raw : camera.Templates(sim)) {
        ASSERT_EQ(raw.size(), size_t(160) * 60 * RawBytes(format))
            << "the camera sends lines of twice the width";
        expected.push_back(Expected(raw, false, format, true, 160, 60));
    }
    size_t saturated = 0;
    for (size_t i = 0; i < expected[0].size() / RawBytes(format); ++i) {
        const uint32_t v = RawBytes(format) == 2 ? uint32_t(expected[0][2 * i] | expected[0][2 * i + 1] << 8)
                                                 : expected[0][i];
        saturated += v == FullScale(format);
    }
    ASSERT_GT(saturated, 0u);
    ASSERT_LT(saturated, expected[0].size() / RawBytes(format));

    ASSERT_TRUE(camera.Start());
    std::vector<uint8_t> image(expected[0].size());
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(camera.NextFrame(image.data()), 0);
        EXPECT_GE(MatchingPhase(expected, image), 0) << "frame " << i;
    }
    EXPECT_EQ(camera.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, E2eBinning, ::testing::Values(kMono8, kMono12));

// ---- recovery ---------------------------------------------------------------------------------

// Takes frames until GetImage gives 'wanted', at most kPatience frames; true when it did.
bool FramesUntil(OpenedCamera& camera, std::vector<uint8_t>& image, int wanted, int& other) {
    other = 0;
    for (int i = 0; i < kPatience; ++i) {
        const int r = camera.NextFrame(image.data());
        if (r == wanted) return true;
        if (r != 0 && r != OpenedCamera::kNoFrame) ++other;
    }
    return false;
}

TEST_F(E2eStream, LostBytesResynchroniseTheStream) {
    Open(Mono(kNewFirmware, 3));
    ASSERT_TRUE(camera.Configure(160, 120, kMono8));
    const auto expected = camera.Templates(sim);
    ASSERT_TRUE(camera.Start());
    std::vector<uint8_t> image(160 * 120);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(camera.NextFrame(image.data()), 0);
        ASSERT_GE(MatchingPhase(expected, image), 0);
    }

    ASSERT_EQ(sim.LoseBytes(kInstance, 1001), KOVON_SIM_OK);
    int other = 0;
    ASSERT_TRUE(FramesUntil(camera, image, -3, other)) << "the stream never noticed the lost frame boundary";
    EXPECT_EQ(other, 0);
    const uint64_t before = camera.FrameCount();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(camera.NextFrame(image.data()), 0) << "frame " << i << " after the resynchronisation";
        EXPECT_GE(MatchingPhase(expected, image), 0) << "frame " << i << " after the resynchronisation";
    }
    EXPECT_EQ(camera.FrameCount(), before + 5);
    KovonSimUsb2Frames frames{};
    ASSERT_EQ(sim.GetFrames(kInstance, &frames), KOVON_SIM_OK);
    EXPECT_EQ(frames.lost, 1001u);
    EXPECT_EQ(camera.Stop(), 0);
}

TEST_F(E2eStream, StalledPipeIsAbortedAndTheCameraRestarted) {
    Open(Mono(kNewFirmware, 4));
    ASSERT_TRUE(camera.Configure(160, 120, kMono12));
    const auto expected = camera.Templates(sim);
    ASSERT_TRUE(camera.Start());
    std::vector<uint8_t> image(160 * 120 * 2);
    ASSERT_EQ(camera.NextFrame(image.data()), 0);

    ASSERT_EQ(sim.StallPipe(kInstance), KOVON_SIM_OK);
    int other = 0;
    ASSERT_TRUE(FramesUntil(camera, image, -3, other)) << "the stalled pipe was never recovered";
    EXPECT_EQ(other, 0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(camera.NextFrame(image.data()), 0) << "frame " << i << " after the recovery";
        EXPECT_GE(MatchingPhase(expected, image), 0);
    }
    EXPECT_EQ(camera.Stop(), 0);
}

// ---- trigger ----------------------------------------------------------------------------------

TEST_F(E2eStream, TriggeredStreamSendsOneFramePerTriggerAndStopsWithoutOne) {
    Open(Mono(kNewFirmware, 5));
    ASSERT_TRUE(camera.Configure(64, 48, kMono8));
    ASSERT_EQ(camera.SetU32(Map::kTriggerMode, 1), 0);
    uint32_t timeout = 50;
    Lumora::u64 size = sizeof timeout;
    ASSERT_EQ(camera.Stream()->SetParam(2, &timeout, size), 0);
    ASSERT_TRUE(camera.Start());
    std::vector<uint8_t> image(64 * 48);

    EXPECT_EQ(camera.NextFrame(image.data()), OpenedCamera::kNoFrame) << "a frame without a trigger";
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(camera.SetU32(Map::kTriggerSoftware, 1), 0);
        timeout = 5000;
        ASSERT_EQ(camera.Stream()->SetParam(2, &timeout, size), 0);
        ASSERT_EQ(camera.NextFrame(image.data()), 0) << "trigger " << i;
    }
    timeout = 50;
    ASSERT_EQ(camera.Stream()->SetParam(2, &timeout, size), 0);
    EXPECT_EQ(camera.NextFrame(image.data()), OpenedCamera::kNoFrame);
    EXPECT_EQ(camera.FrameCount(), 3u);

    // A camera that never triggers: the read that waits for it is cut short by Freeze.
    ASSERT_EQ(sim.IgnoreTriggers(kInstance, 1), KOVON_SIM_OK);
    ASSERT_EQ(camera.SetU32(Map::kTriggerSoftware, 1), 0);
    EXPECT_EQ(camera.NextFrame(image.data()), OpenedCamera::kNoFrame);
    EXPECT_EQ(camera.Stream()->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    EXPECT_EQ(camera.Stream()->GetImage(image.data(), 0), -1) << "a frozen stream is stopped";
}

TEST_F(E2eStream, FreezeAfterTheHostStoppedAFreeRunningCamera) {
    Open(Mono(kNewFirmware, 6));
    ASSERT_TRUE(camera.Configure(64, 48, kMono8));
    ASSERT_TRUE(camera.Start());
    std::vector<uint8_t> image(64 * 48);
    ASSERT_EQ(camera.NextFrame(image.data()), 0);
    // AcquisitionStop first: the camera sends nothing more while the worker waits in a read.
    ASSERT_EQ(camera.SetU32(Map::kAcquisitionStart, 0), 0);
    EXPECT_EQ(camera.Stream()->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    // And the stream starts again.
    ASSERT_TRUE(camera.Start());
    ASSERT_EQ(camera.NextFrame(image.data()), 0);
    EXPECT_EQ(camera.FrameCount(), 1u);
}

// ---- exposure ---------------------------------------------------------------------------------

class E2eExposure : public E2eStream, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(E2eExposure, MeanReachesTheTarget) {
    const uint32_t mode = GetParam();  // 1 Once, 3 Continuous
    Open(Mono(kNewFirmware, 7));
    ASSERT_TRUE(camera.Configure(320, 240, kMono8));
    ASSERT_EQ(camera.SetF32(Map::kAcquisitionFrameRate, 30.0f), 0);
    ASSERT_EQ(camera.SetU32(Map::kExposureAutoTarget, 100), 0);
    ASSERT_EQ(camera.SetF32(Map::kExposureTime, 2000.0f), 0);
    ASSERT_EQ(camera.SetU32(Map::kExposureAuto, mode), 0);
    ASSERT_TRUE(camera.Start());

    std::vector<uint8_t> image(320 * 240);
    ASSERT_EQ(camera.NextFrame(image.data()), 0);
    EXPECT_LT(MeanOf(image), 30.0);
    bool reached = false;
    for (int i = 0; i < kPatience && !reached; ++i) {
        ASSERT_EQ(camera.NextFrame(image.data()), 0);
        if (mode == 1) {
            reached = camera.GetU32(Map::kExposureAuto) == 0;  // a single-shot run ends itself
        } else {
            reached = std::fabs(MeanOf(image) - 100.0) < 1.5;
        }
    }
    ASSERT_TRUE(reached);
    // Frames taken from now on show the new exposure.
    for (int i = 0; i < 6; ++i) ASSERT_EQ(camera.NextFrame(image.data()), 0);
    EXPECT_NEAR(MeanOf(image), 100.0, 2.0);
    EXPECT_NEAR(camera.GetF32(Map::kExposureTime), 10000.0f, 300.0f);
    if (mode == 3) {
        EXPECT_EQ(camera.GetU32(Map::kExposureAuto), 3u) << "Continuous runs until the host stops it";
    }
    EXPECT_EQ(camera.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(OnceAndContinuous, E2eExposure, ::testing::Values(1u, 3u));

// ---- white balance ----------------------------------------------------------------------------

class E2eWhiteBalance : public E2eStream, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(E2eWhiteBalance, OnceBalancesTheColourCast) {
    const uint16_t firmware = GetParam();
    Open(Colour(firmware, 8));
    ASSERT_TRUE(camera.Configure(320, 240, kBayerBG8));
    ASSERT_EQ(camera.SetF32(Map::kExposureTime, 13000.0f), 0);
    ASSERT_TRUE(camera.Start());
    std::vector<uint8_t> image(320 * 240);
    ASSERT_EQ(camera.NextFrame(image.data()), 0);
    const BayerMeans before = MeansOf(image, 320, 240);
    EXPECT_NEAR(before.red / before.green, 0.8, 0.03);
    EXPECT_NEAR(before.blue / before.green, 1.25, 0.03);

    ASSERT_EQ(camera.SetU32(Map::kBalanceWhiteAuto, 1), 0);
    bool ended = false;
    for (int i = 0; i < kPatience && !ended; ++i) {
        ASSERT_EQ(camera.NextFrame(image.data()), 0);
        ended = camera.GetU32(Map::kBalanceWhiteAuto) == 0;
    }
    ASSERT_TRUE(ended) << "the single-shot run never ended";
    for (int i = 0; i < 6; ++i) ASSERT_EQ(camera.NextFrame(image.data()), 0);
    const BayerMeans after = MeansOf(image, 320, 240);
    EXPECT_NEAR(after.red / after.green, 1.0, 0.02);
    EXPECT_NEAR(after.blue / after.green, 1.0, 0.02);
    EXPECT_NEAR(camera.GetF32(Map::kBalanceRatioRed) / 1024.0f, 1.25f, 0.03f);
    EXPECT_NEAR(camera.GetF32(Map::kBalanceRatioBlue) / 1024.0f, 0.8f, 0.03f);
    EXPECT_EQ(camera.Stop(), 0);
}

// New firmware: the camera's colour statistics; old firmware: the module measures the frames.
INSTANTIATE_TEST_SUITE_P(BothRoutes, E2eWhiteBalance, ::testing::Values(kNewFirmware, kOldFirmware),
                         [](const ::testing::TestParamInfo<uint16_t>& param) {
                             return std::string(param.param == kNewFirmware ? "CameraStatistics"
                                                                            : "SoftwareRoute");
                         });

}  // namespace
