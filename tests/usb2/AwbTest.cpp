// Automatic white balance: ratio clipping along the locus, the white-region test, the software
// route on raw Bayer frames and the camera-statistics route with its timing and frame numbers.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "ImageFakeDevice.h"
#include "usb2/image/AutoWhiteBalance.h"

namespace Kovon::Usb2Image {
namespace {

using Testing::FakeUsbDevice;
using Testing::ManualClock;

WhiteBalanceConstants Locus() {
    WhiteBalanceConstants k;
    k.blueKnots = {800, 1024, 1400};
    k.redKnots = {1300, 1024, 800};
    k.redBand = 300;
    return k;
}

TEST(GainClippingTest, HoldsRatiosToTheBandAlongTheLocus) {
    FakeUsbDevice device;
    CAutoWhiteBalance awb(device, false, [] { return 0u; });
    awb.SetConstants(Locus());
    const float s1 = (1024.0f - 1300.0f) / (1024.0f - 800.0f);
    const float s2 = (800.0f - 1024.0f) / (1400.0f - 1024.0f);
    const struct {
        float red, blue, expectedRed, expectedBlue;
    } cases[] = {
        {1000, 700, 1300, 800},
        {2000, 700, 1600, 800},
        {1450, 700, 1450, 800},
        {500, 1500, 800, 1400},
        {1200, 1500, 1100, 1400},
        {900, 1500, 900, 1400},
        {1000, 900, 1300 + 100 * s1, 900},
        {1500, 900, 1300 + 100 * s1 + 300, 900},
        {1250, 900, 1250, 900},
        {900, 1200, 1024 + 176 * s2, 1200},
        {2000, 1200, 1024 + 176 * s2 + 300, 1200},
        {1024, 1024, 1024, 1024},
        {5000, 1400, 1100, 1400},
        // Exactly on the first knot, neither segment applies and red is not clipped.
        {5000, 800, 5000, 800},
    };
    for (const auto& c : cases) {
        float red = c.red, blue = c.blue;
        awb.GainClipping(red, blue);
        EXPECT_FLOAT_EQ(red, c.expectedRed) << c.red << "," << c.blue;
        EXPECT_FLOAT_EQ(blue, c.expectedBlue) << c.red << "," << c.blue;
    }
}

TEST(GainClippingTest, CoincidentKnotsNeverDivideByZero) {
    FakeUsbDevice device;
    CAutoWhiteBalance awb(device, false, [] { return 0u; });
    WhiteBalanceConstants k;
    k.blueKnots = {1024, 1024, 1024};
    k.redKnots = {900, 1000, 1100};
    k.redBand = 100;
    awb.SetConstants(k);
    for (const float blue : {0.0f, 1023.0f, 1024.0f, 1025.0f, 9000.0f}) {
        float red = 2000.0f, b = blue;
        awb.GainClipping(red, b);
        EXPECT_TRUE(std::isfinite(red)) << blue;
        EXPECT_FLOAT_EQ(b, 1024.0f) << blue;
    }
}

TEST(WhiteRegionTest, ThreeBranches) {
    FakeUsbDevice device;
    CAutoWhiteBalance awb(device, false, [] { return 0u; });
    const struct {
        std::int32_t t, a, bv, c;  // threshold, lower edge, diagonal, upper edge
        std::int32_t x, y;
        bool white;
    } cases[] = {
        // Bv - A = -10 below T = 10: y <= T needs -10 < y <= C - A and A <= x <= C - y.
        {10, -30, -40, 30, 0, 0, true},
        {10, -30, -40, 30, -30, 5, true},
        {10, -30, -40, 30, -31, 5, false},
        {10, -30, -40, 30, 25, 5, true},
        {10, -30, -40, 30, 26, 5, false},
        {10, -30, -40, 30, 0, -10, false},
        {10, -30, -40, 30, 0, -9, true},
        // ... and y > T: y <= C - A = 60 and A <= x <= C - y.
        {10, -30, -40, 30, -30, 11, true},
        {10, -30, -40, 30, 19, 11, true},
        {10, -30, -40, 30, 20, 11, false},
        {10, -30, -40, 30, -30, 60, true},
        {10, -30, -40, 30, -30, 61, false},
        // Bv - A = 30 above T = -10: T < y <= 30 needs Bv - y <= x <= C - y.
        {-10, -20, 10, 40, 10, 0, true},
        {-10, -20, 10, 40, 9, 0, false},
        {-10, -20, 10, 40, 40, 0, true},
        {-10, -20, 10, 40, 41, 0, false},
        {-10, -20, 10, 40, -20, 30, true},
        {-10, -20, 10, 40, -21, 30, false},
        // ... y > 30: y <= C - A = 60 and A <= x <= C - y.
        {-10, -20, 10, 40, -20, 31, true},
        {-10, -20, 10, 40, -21, 31, false},
        {-10, -20, 10, 40, 9, 31, true},
        {-10, -20, 10, 40, 10, 31, false},
        {-10, -20, 10, 40, -20, 61, false},
        // ... y <= T: -10 < y fails the lower edge 30 < y.
        {-10, -20, 10, 40, 0, -10, false},
        // Extreme constants do not overflow.
        {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MAX, 0, 0, false},
    };
    for (const auto& c : cases) {
        WhiteBalanceConstants k;
        k.threshold = c.t;
        k.lowerEdge = c.a;
        k.diagonal = c.bv;
        k.upperEdge = c.c;
        awb.SetConstants(k);
        EXPECT_EQ(awb.IsAvailableColorVectorRange(c.x, c.y), c.white)
            << "T " << c.t << " A " << c.a << " Bv " << c.bv << " C " << c.c << " x " << c.x << " y " << c.y;
    }
}

TEST(WhiteRegionTest, LuminanceAndNeutralMean) {
    FakeUsbDevice device;
    CAutoWhiteBalance awb(device, false, [] { return 0u; });
    WhiteBalanceConstants k;
    k.minGreen = 20;
    k.maxGreen = 230;
    awb.SetConstants(k);
    EXPECT_FALSE(awb.IsAvailableLuminanceRange(19));
    EXPECT_TRUE(awb.IsAvailableLuminanceRange(20));
    EXPECT_TRUE(awb.IsAvailableLuminanceRange(230));
    EXPECT_FALSE(awb.IsAvailableLuminanceRange(231));
    EXPECT_TRUE(CAutoWhiteBalance::IsThisWhite(0.49f, -0.49f));
    EXPECT_FALSE(CAutoWhiteBalance::IsThisWhite(0.5f, 0.0f));
    EXPECT_FALSE(CAutoWhiteBalance::IsThisWhite(0.0f, -0.5f));
}

TEST(ReadFixedParamTest, ReadsThirteenSignedConstantsInOrder) {
    FakeUsbDevice device;
    const std::int32_t values[13] = {-16, -30, -40, 30, 10, 240, 800, 1024, 1400, 1300, 1024, 800, 300};
    for (std::uint64_t i = 0; i < 13; ++i) device.Camera(MapAddress::kFixedParam0 + i, values[i]);
    CAutoWhiteBalance awb(device, false, [] { return 0u; });
    awb.ReadFixedParam();
    const auto& k = awb.Constants();
    EXPECT_EQ(k.threshold, -16);
    EXPECT_EQ(k.lowerEdge, -30);
    EXPECT_EQ(k.diagonal, -40);
    EXPECT_EQ(k.upperEdge, 30);
    EXPECT_EQ(k.minGreen, 10);
    EXPECT_EQ(k.maxGreen, 240);
    EXPECT_EQ(k.blueKnots, (std::array<std::int32_t, 3>{800, 1024, 1400}));
    EXPECT_EQ(k.redKnots, (std::array<std::int32_t, 3>{1300, 1024, 800}));
    EXPECT_EQ(k.redBand, 300);
}

// A raw BayerBG frame whose sampled cells (in window order) get their colours from 'cell'; every
// other pixel is 0.
struct Cell {
    int b, g, r;
};
std::vector<std::uint8_t> SampledFrame(std::uint32_t w, std::uint32_t h,
                                       const std::function<Cell(int)>& cell) {
    std::vector<std::uint8_t> frame(std::size_t{w} * h, 0);
    const std::uint32_t r0 = 2 * (h / 16), c0 = w / 8;
    int index = 0;
    for (std::uint32_t r = r0; r < h - r0; r += 4) {
        for (std::uint32_t c = c0; c < w - c0; c += 8) {
            const Cell v = cell(index++);
            frame[r * w + c] = static_cast<std::uint8_t>(v.b);
            frame[r * w + c + 1] = static_cast<std::uint8_t>(v.g);
            frame[(r + 1) * w + c] = static_cast<std::uint8_t>(v.g);
            frame[(r + 1) * w + c + 1] = static_cast<std::uint8_t>(v.r);
        }
    }
    return frame;
}

// Permissive constants: every cell with green in [10, 250] and a small colour difference is white;
// the locus is wide enough that clipping does nothing.
WhiteBalanceConstants Permissive() {
    WhiteBalanceConstants k;
    k.threshold = 10;
    k.lowerEdge = -30;
    k.diagonal = -40;
    k.upperEdge = 30;
    k.minGreen = 10;
    k.maxGreen = 250;
    k.blueKnots = {0, 4000, 8000};
    k.redKnots = {0, 0, 0};
    k.redBand = 10000;
    return k;
}

class SoftwareRouteTest : public ::testing::Test {
protected:
    FakeUsbDevice device;
    CAutoWhiteBalance awb{device, false, [] { return 0u; }};

    void SetUp() override {
        awb.SetConstants(Permissive());
        device.Cache(MapAddress::kBalanceRatioRed, 1024.0f);
        device.Cache(MapAddress::kBalanceRatioBlue, 1024.0f);
        device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteContinuous);
    }
};

TEST_F(SoftwareRouteTest, SamplingWindowOf640x480) {
    // Count the cells the window takes and check that it spans rows 60..416, columns 80..552.
    const auto frame = SampledFrame(640, 480, [](int) { return Cell{100, 100, 100}; });
    const auto census = awb.MeasureFrame(frame.data(), 640, 480);
    EXPECT_EQ(census.total, 5400u);
    EXPECT_EQ(census.white, 5400u);
    EXPECT_NE(frame[60 * 640 + 80], 0);
    EXPECT_NE(frame[416 * 640 + 552], 0);
    EXPECT_EQ(frame[420 * 640 + 552], 0);
    EXPECT_EQ(frame[416 * 640 + 560], 0);
}

TEST_F(SoftwareRouteTest, SmallFramesStayInsideTheirBytes) {
    // Exact-size frames: AddressSanitizer catches any cell that reaches past the last row or column.
    for (std::uint32_t w = 1; w <= 20; ++w) {
        for (std::uint32_t h = 1; h <= 20; ++h) {
            std::vector<std::uint8_t> frame(std::size_t{w} * h, 100);
            const auto census = awb.MeasureFrame(frame.data(), w, h);
            EXPECT_LE(census.total, w * h / 4 + 1);
            awb.AWBProcessing(frame.data(), w, h);
        }
    }
    EXPECT_EQ(awb.MeasureFrame(nullptr, 640, 480).total, 0u);
}

TEST_F(SoftwareRouteTest, MovesRatiosByTheTruncatedMeanDifference) {
    // Mean x (R - G) 1.7 and mean y (B - G) -2.3 over the white cells: red falls by 1, blue rises
    // by 2.
    const auto frame = SampledFrame(640, 480, [](int i) {
        return i % 10 < 7 ? Cell{100 - 2, 100, 100 + 2} : Cell{100 - 3, 100, 100 + 1};
    });
    awb.AWBProcessing(frame.data(), 640, 480);
    const auto red = device.WritesTo(MapAddress::kBalanceRatioRed);
    const auto blue = device.WritesTo(MapAddress::kBalanceRatioBlue);
    ASSERT_EQ(red.size(), 1u);
    ASSERT_EQ(blue.size(), 1u);
    EXPECT_FLOAT_EQ(red[0].Float(), 1023.0f);
    EXPECT_FLOAT_EQ(blue[0].Float(), 1026.0f);
    EXPECT_TRUE(red[0].toCamera);
    EXPECT_EQ(awb.Iterations(), 1u);
}

TEST_F(SoftwareRouteTest, ConvergedContinuousWritesNothingAndOnceSwitchesOff) {
    const auto frame = SampledFrame(640, 480, [](int) { return Cell{100, 100, 100}; });
    awb.AWBProcessing(frame.data(), 640, 480);
    EXPECT_TRUE(device.Writes().empty());
    EXPECT_EQ(awb.Iterations(), 1u);

    device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteOnce);
    awb.AWBProcessing(frame.data(), 640, 480);
    ASSERT_EQ(device.Writes().size(), 1u);
    EXPECT_EQ(device.Writes()[0].address, MapAddress::kBalanceWhiteAuto);
    EXPECT_EQ(device.Writes()[0].U32(), 0u);
    EXPECT_EQ(awb.Iterations(), 0u);
}

TEST_F(SoftwareRouteTest, GivesUpAfter350FramesWithTooLittleWhite) {
    // Neutral white cells (so that Continuous would otherwise write nothing); the others too dark
    // for the luminance range.
    const struct {
        int whitePerHundred;
        std::uint32_t mode;
        bool switchedOff;
    } cases[] = {
        {19, kBalanceWhiteContinuous, true},
        {19, kBalanceWhiteOnce, true},
        {20, kBalanceWhiteContinuous, false},
    };
    for (const auto& c : cases) {
        FakeUsbDevice d;
        CAutoWhiteBalance a(d, false, [] { return 0u; });
        a.SetConstants(Permissive());
        d.Cache(MapAddress::kBalanceRatioRed, 1024.0f);
        d.Cache(MapAddress::kBalanceRatioBlue, 1024.0f);
        d.Cache(MapAddress::kBalanceWhiteAuto, c.mode);
        // With mostly dark cells a Once run gets no neutral mean to end on: give its white cells a
        // cast it keeps correcting, so that only the 350-frame rule can end it.
        const int cast = c.mode == kBalanceWhiteOnce ? 5 : 0;
        const auto frame = SampledFrame(640, 480, [&](int i) {
            return i % 100 < c.whitePerHundred ? Cell{100, 100, 100 + cast} : Cell{0, 0, 0};
        });
        for (int i = 0; i < 349; ++i) a.AWBProcessing(frame.data(), 640, 480);
        EXPECT_TRUE(d.WritesTo(MapAddress::kBalanceWhiteAuto).empty()) << c.whitePerHundred;
        a.AWBProcessing(frame.data(), 640, 480);
        EXPECT_EQ(d.WritesTo(MapAddress::kBalanceWhiteAuto).size(), c.switchedOff ? 1u : 0u)
            << c.whitePerHundred << " mode " << c.mode;
    }
}

TEST_F(SoftwareRouteTest, NonNumericRatiosAreLeftAlone) {
    device.Cache(MapAddress::kBalanceRatioRed, std::numeric_limits<float>::infinity());
    const auto frame = SampledFrame(640, 480, [](int) { return Cell{90, 100, 110}; });
    awb.AWBProcessing(frame.data(), 640, 480);
    EXPECT_TRUE(device.Writes().empty());
}

class CameraRouteTest : public ::testing::Test {
protected:
    FakeUsbDevice device;
    ManualClock clock;
    CAutoWhiteBalance awb{device, true, clock.Function()};

    void SetUp() override {
        device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteContinuous);
        for (auto a :
             {MapAddress::kBalanceRatioRed, MapAddress::kBalanceRatioGreen, MapAddress::kBalanceRatioBlue}) {
            device.Cache(a, 1024.0f);
        }
        awb.SetMinCount(640);
        Statistics(100, 100, 100, 1000);
    }
    void Statistics(std::uint32_t g, std::uint32_t r, std::uint32_t b, std::uint32_t n) {
        device.Camera(MapAddress::kAwbStatisticsGreen, g * n);
        device.Camera(MapAddress::kAwbStatisticsRed, r * n);
        device.Camera(MapAddress::kAwbStatisticsBlue, b * n);
        device.Camera(MapAddress::kAwbStatisticsCount, n);
    }
    bool Stepped(std::uint32_t counter) {
        device.Camera(MapAddress::kStatisticsFrameCounter, counter);
        device.ClearWrites();
        awb.AWB_Process();
        return !device.WritesTo(MapAddress::kStatisticsLatch).empty();
    }
};

TEST_F(CameraRouteTest, CorrectsHalfOfEachColoursErrorAgainstGreen) {
    Statistics(100, 80, 125, 1000);
    ASSERT_TRUE(Stepped(4));
    // Red is truncated to a whole number, blue is not.
    EXPECT_FLOAT_EQ(device.Cached<float>(MapAddress::kBalanceRatioRed), 1152.0f);
    EXPECT_FLOAT_EQ(device.Cached<float>(MapAddress::kBalanceRatioBlue), 921.6f);
    // Order: latch, stored ratios, control on, the three ratios to the camera, control off.
    std::vector<std::uint64_t> order;
    for (const auto& w : device.Writes()) order.push_back(w.address);
    EXPECT_EQ(order,
              (std::vector<std::uint64_t>{
                  MapAddress::kStatisticsLatch, MapAddress::kStatisticsLatch, MapAddress::kAwbControl,
                  MapAddress::kBalanceRatioRed, MapAddress::kBalanceRatioBlue, MapAddress::kBalanceRatioRed,
                  MapAddress::kBalanceRatioGreen, MapAddress::kBalanceRatioBlue, MapAddress::kAwbControl}));
    EXPECT_FALSE(device.Writes()[3].toCamera);  // stored in the cache only
    EXPECT_TRUE(device.Writes()[5].toCamera);
    EXPECT_EQ(device.Writes().back().U32(), 0u);
}

TEST_F(CameraRouteTest, RatiosStayWithinTheirRangeAndZeroMeansDoNotDivide) {
    const struct {
        std::uint32_t g, r, b;
        float red, blue;
    } cases[] = {
        {200, 0, 100, 8191.0f, 1536.0f},  // no red at all: straight to the top
        {100, 200, 0, 768.0f, 8191.0f},
        {250, 1, 1, 8191.0f, 8191.0f},
        {1, 250, 250, 514.0f, 514.048f},
    };
    std::uint32_t counter = 0;
    for (const auto& c : cases) {
        for (auto a : {MapAddress::kBalanceRatioRed, MapAddress::kBalanceRatioBlue}) device.Cache(a, 1024.0f);
        Statistics(c.g, c.r, c.b, 1000);
        ASSERT_TRUE(Stepped(counter += 4));
        EXPECT_FLOAT_EQ(device.Cached<float>(MapAddress::kBalanceRatioRed), c.red) << c.g << "/" << c.r;
        EXPECT_FLOAT_EQ(device.Cached<float>(MapAddress::kBalanceRatioBlue), c.blue) << c.g << "/" << c.b;
    }
    // The lower end: a ratio far below range comes back up to 128.
    device.Cache(MapAddress::kBalanceRatioRed, 100.0f);
    Statistics(100, 200, 100, 1000);
    ASSERT_TRUE(Stepped(counter += 4));
    EXPECT_FLOAT_EQ(device.Cached<float>(MapAddress::kBalanceRatioRed), 128.0f);
}

TEST_F(CameraRouteTest, EveryFourthStatisticsFrameAcrossTheWrap) {
    EXPECT_FALSE(Stepped(3));
    EXPECT_TRUE(Stepped(254));
    EXPECT_FALSE(Stepped(255));
    EXPECT_FALSE(Stepped(0x101));  // low byte 1: three frames on
    EXPECT_TRUE(Stepped(0x102));   // 254 -> 2: four frames on
    EXPECT_EQ(awb.LastSequence(), 2u);
}

TEST_F(CameraRouteTest, TooFewPixelsAreIgnored) {
    Statistics(100, 80, 125, 639);
    ASSERT_TRUE(Stepped(4));
    EXPECT_TRUE(device.WritesTo(MapAddress::kAwbControl).empty());
    EXPECT_FLOAT_EQ(device.Cached<float>(MapAddress::kBalanceRatioRed), 1024.0f);
    // A minimum of 0 must not let a count of 0 divide.
    awb.SetMinCount(0);
    Statistics(100, 80, 125, 0);
    ASSERT_TRUE(Stepped(8));
    EXPECT_TRUE(device.WritesTo(MapAddress::kAwbControl).empty());
}

TEST_F(CameraRouteTest, OnceEndsWhenBothColoursMatchGreen) {
    device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteOnce);
    Statistics(100, 101, 100, 1000);
    ASSERT_TRUE(Stepped(4));
    EXPECT_TRUE(device.WritesTo(MapAddress::kBalanceWhiteAuto).empty());
    Statistics(100, 100, 100, 1000);
    ASSERT_TRUE(Stepped(8));
    const auto off = device.WritesTo(MapAddress::kBalanceWhiteAuto);
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].U32(), 0u);
    EXPECT_EQ(awb.LastSequence(), 0u);
    // The first step moved red to 1018 (100/101 corrected by half); the last one still sent it.
    EXPECT_FLOAT_EQ(device.WritesTo(MapAddress::kBalanceRatioRed).at(0).Float(), 1018.0f);
}

TEST_F(CameraRouteTest, AtMostOnceIn50Ms) {
    std::vector<std::uint8_t> frame(16);
    std::uint32_t counter = 0;
    auto processed = [&](std::uint32_t advance) {
        clock.now += advance;
        device.Camera(MapAddress::kStatisticsFrameCounter, counter += 4);
        device.ClearWrites();
        awb.AWBProcessing(frame.data(), 4, 4);
        return !device.WritesTo(MapAddress::kStatisticsLatch).empty();
    };
    EXPECT_FALSE(processed(50));
    EXPECT_TRUE(processed(1));
    EXPECT_FALSE(processed(50));
    EXPECT_TRUE(processed(1));
}

TEST(CameraRouteClockTest, TwoCamerasKeepTheirOwnStatisticsFrameNumbers) {
    FakeUsbDevice a, b;
    CAutoWhiteBalance awbA(a, true, [] { return 0u; }), awbB(b, true, [] { return 0u; });
    int stepsA = 0, stepsB = 0;
    for (std::uint32_t frame = 4; frame < 40; frame += 4) {
        a.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteContinuous);
        b.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteContinuous);
        a.Camera(MapAddress::kStatisticsFrameCounter, frame);
        b.Camera(MapAddress::kStatisticsFrameCounter, frame + 2);
        a.ClearWrites();
        b.ClearWrites();
        awbA.AWB_Process();
        awbB.AWB_Process();
        stepsA += !a.WritesTo(MapAddress::kStatisticsLatch).empty();
        stepsB += !b.WritesTo(MapAddress::kStatisticsLatch).empty();
    }
    EXPECT_EQ(stepsA, 9);
    EXPECT_EQ(stepsB, 9);
}

}  // namespace
}  // namespace Kovon::Usb2Image
