// Automatic exposure: the exposure step against the latched statistics, its limits and modes, and
// the scheduling by time and statistics frame number.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "ImageFakeDevice.h"
#include "usb2/image/AutoExposure.h"

namespace Kovon::Usb2Image {
namespace {

using Testing::FakeUsbDevice;
using Testing::ManualClock;

struct Scene {
    std::uint32_t sum, count, target;
    float exposure;
    std::uint32_t mode;
    std::uint32_t rateMode = 0;
    float rate = 0.0f;  // the AcquisitionFrameRate AE_Process last read
};

void Prepare(FakeUsbDevice& device, const Scene& s) {
    device.Camera(MapAddress::kAeStatisticsSum, s.sum);
    device.Camera(MapAddress::kAeStatisticsCount, s.count);
    device.Camera(MapAddress::kExposureAutoTarget, s.target);
    device.Camera(MapAddress::kExposureTime, s.exposure);
    device.Camera(MapAddress::kAcquisitionFrameRateMode, s.rateMode);
    device.Cache(MapAddress::kExposureAuto, s.mode);
    device.Cache(MapAddress::kAcquisitionFrameRate, s.rate);
}

TEST(AecRunTest, StepsHalfWayWithinTheLimits) {
    const struct {
        const char* what;
        Scene scene;
        std::uint32_t height;
        AecResult result;
        std::optional<float> written;
    } cases[] = {
        {"too bright", {150, 1, 100, 10000.0f, 3}, 1024, AecResult::kWritten, 8000.0f},
        {"too dark, floored", {50, 1, 100, 10000.0f, 3}, 1024, AecResult::kWritten, 13333.0f},
        {"mean is sum over count", {1500000, 10000, 100, 10000.0f, 3}, 1024, AecResult::kWritten, 8000.0f},
        {"one off target still steps", {101, 1, 100, 5000.0f, 3}, 1024, AecResult::kWritten, 4975.0f},
        {"on target in Continuous", {100, 1, 100, 5000.0f, 3}, 1024, AecResult::kUnchanged, std::nullopt},
        {"no pixels counted", {100, 0, 100, 5000.0f, 3}, 1024, AecResult::kNoPixels, std::nullopt},
        {"frame-rate mode On at 30",
         {10, 1, 100, 30000.0f, 3, 1, 30.0f},
         480,
         AecResult::kWritten,
         33333.332f},
        {"frame-rate mode Off, 480 rows", {10, 1, 100, 30000.0f, 3}, 480, AecResult::kWritten, 19639.332f},
        {"frame-rate mode Off, 1024 rows", {10, 1, 100, 30000.0f, 3}, 1024, AecResult::kWritten, 35561.531f},
        {"unknown frame-rate mode: no upper limit",
         {10, 1, 100, 30000.0f, 3, 7},
         480,
         AecResult::kWritten,
         54545.0f},
        {"frame-rate On without a known rate: no upper limit",
         {10, 1, 100, 30000.0f, 3, 1, 0.0f},
         480,
         AecResult::kWritten,
         54545.0f},
        {"lower limit", {255, 1, 10, 15.0f, 3}, 480, AecResult::kWritten, 10.0f},
        {"target 0 goes to the lower limit", {50, 1, 0, 10000.0f, 3}, 480, AecResult::kWritten, 10.0f},
        {"already at the limit", {10, 1, 100, 19639.332f, 3}, 480, AecResult::kUnchanged, std::nullopt},
        {"no dead band in another mode", {100, 1, 100, 5000.0f, 2}, 480, AecResult::kUnchanged, std::nullopt},
        {"a NaN exposure is left alone",
         {150, 1, 100, std::numeric_limits<float>::quiet_NaN(), 3},
         480,
         AecResult::kUnchanged,
         std::nullopt},
    };
    for (const auto& c : cases) {
        FakeUsbDevice device;
        ManualClock clock;
        CAutoExposure ae(device, clock.Function());
        Prepare(device, c.scene);
        // Take the frame rate in as AE_Process does (statistics counter 2 steps on).
        device.Camera(MapAddress::kStatisticsFrameCounter, 2u);
        device.Camera(MapAddress::kAeStatisticsCount, 0u);
        clock.now += 81;
        ae.AE_Process(c.height);
        Prepare(device, c.scene);
        device.ClearWrites();

        EXPECT_EQ(ae.AEC_Run(c.height), c.result) << c.what;
        const auto writes = device.WritesTo(MapAddress::kExposureTime);
        if (c.written) {
            ASSERT_EQ(writes.size(), 1u) << c.what;
            EXPECT_TRUE(writes[0].toCamera);
            EXPECT_FLOAT_EQ(writes[0].Float(), *c.written) << c.what;
        } else {
            EXPECT_TRUE(writes.empty()) << c.what;
        }
        // The statistics are latched around their reads, whatever the outcome.
        const auto latch = device.WritesTo(MapAddress::kStatisticsLatch);
        ASSERT_EQ(latch.size(), 2u) << c.what;
        EXPECT_EQ(latch[0].U32(), 1u);
        EXPECT_EQ(latch[1].U32(), 0u);
        EXPECT_EQ(device.Writes().front().address, MapAddress::kStatisticsLatch);
    }
}

TEST(AecRunTest, FrameTimeLimit) {
    EXPECT_FLOAT_EQ(CAutoExposure::FrameTimeLimitUs(480), 19639.332f);
    EXPECT_FLOAT_EQ(CAutoExposure::FrameTimeLimitUs(1024), 35561.531f);
    // Taller than the nominal frame and the largest height: positive and finite.
    EXPECT_GT(CAutoExposure::FrameTimeLimitUs(0xFFFFFFFF), 0.0f);
}

TEST(AecRunTest, OnceEndsOnTargetWithoutTouchingTheExposure) {
    FakeUsbDevice device;
    ManualClock clock;
    CAutoExposure ae(device, clock.Function());
    Prepare(device, {100, 1, 100, 5000.0f, kExposureAutoOnce});
    EXPECT_EQ(ae.AEC_Run(480), AecResult::kUnchanged);
    EXPECT_TRUE(device.WritesTo(MapAddress::kExposureTime).empty());
    const auto mode = device.WritesTo(MapAddress::kExposureAuto);
    ASSERT_EQ(mode.size(), 1u);
    EXPECT_EQ(mode[0].U32(), 0u);
}

TEST(AecRunTest, OnceGivesUpAfterAboutOneSecondOfSteps) {
    FakeUsbDevice device;
    ManualClock clock;
    CAutoExposure ae(device, clock.Function());
    // A scene that never reaches its target, at 3 frames per second: steps while the count (0, 1,
    // 2, 3) is not above the rate, then the run ends.
    Prepare(device, {200, 1, 100, 5000.0f, kExposureAutoOnce, 1, 3.0f});
    std::uint32_t sequence = 0;
    int steps = 0;
    for (int i = 0; i < 10 && device.Cached(MapAddress::kExposureAuto) == kExposureAutoOnce; ++i) {
        clock.now += 100;
        sequence += 2;
        device.Camera(MapAddress::kStatisticsFrameCounter, sequence);
        device.Camera(MapAddress::kExposureTime, 5000.0f);
        ae.AE_Process(480);
        if (!device.WritesTo(MapAddress::kExposureTime).empty()) ++steps;
        device.ClearWrites();
    }
    EXPECT_EQ(steps, 4);
    EXPECT_EQ(device.Cached(MapAddress::kExposureAuto), kExposureAutoOff);
    EXPECT_EQ(ae.OnceCount(), 0u);
}

class AeScheduleTest : public ::testing::Test {
protected:
    FakeUsbDevice device;
    ManualClock clock;
    CAutoExposure ae{device, clock.Function()};

    void SetUp() override { Prepare(device, {150, 1, 100, 10000.0f, kExposureAutoContinuous}); }
    bool Stepped(std::uint32_t advanceMs, std::uint32_t counter) {
        clock.now += advanceMs;
        device.Camera(MapAddress::kStatisticsFrameCounter, counter);
        device.ClearWrites();
        ae.AE_Process(480);
        return !device.WritesTo(MapAddress::kStatisticsLatch).empty();
    }
};

TEST_F(AeScheduleTest, AtMostOneDecisionPer80Ms) {
    EXPECT_FALSE(Stepped(80, 10));  // 80 ms since construction: not yet
    EXPECT_TRUE(Stepped(1, 10));    // 81 ms
    EXPECT_FALSE(Stepped(50, 20));  // within 80 ms of the last decision
    EXPECT_FALSE(Stepped(30, 20));  // 80 ms
    EXPECT_TRUE(Stepped(1, 20));
}

TEST_F(AeScheduleTest, NeedsTwoStatisticsFramesModulo256) {
    EXPECT_TRUE(Stepped(100, 255));
    EXPECT_EQ(ae.LastSequence(), 255u);
    EXPECT_FALSE(Stepped(100, 256));   // low byte 0: one frame on
    EXPECT_TRUE(Stepped(100, 0x301));  // low byte 1: 255 -> 1 is two frames
    EXPECT_FALSE(Stepped(100, 1));     // same frame
}

TEST_F(AeScheduleTest, OffMakesNoCameraTrafficButStillTakesTheTime) {
    device.Cache(MapAddress::kExposureAuto, kExposureAutoOff);
    const int reads = device.GetParamCalls();
    EXPECT_FALSE(Stepped(100, 10));
    EXPECT_EQ(device.GetParamCalls(), reads);
    device.Cache(MapAddress::kExposureAuto, kExposureAutoContinuous);
    EXPECT_FALSE(Stepped(80, 20));  // 80 ms after the Off decision
    EXPECT_TRUE(Stepped(1, 20));
}

TEST(AeClockTest, MillisecondCounterWrapsCleanly) {
    FakeUsbDevice device;
    Prepare(device, {150, 1, 100, 10000.0f, kExposureAutoContinuous});
    device.Camera(MapAddress::kStatisticsFrameCounter, 2u);
    ManualClock clock;
    clock.now = 0xFFFFFFF0u;
    CAutoExposure ae(device, clock.Function());
    clock.now = 0x40;  // 0x50 = 80 ms later across the wrap
    ae.AE_Process(480);
    EXPECT_TRUE(device.WritesTo(MapAddress::kStatisticsLatch).empty());
    clock.now = 0x41;
    ae.AE_Process(480);
    EXPECT_FALSE(device.WritesTo(MapAddress::kStatisticsLatch).empty());
}

TEST(AeClockTest, TwoCamerasKeepTheirOwnStatisticsFrameNumbers) {
    // Two cameras acquiring at once, their statistics counters one apart. With one frame number
    // shared by both, each camera's step would see the other's number and skip.
    FakeUsbDevice deviceA, deviceB;
    ManualClock clock;
    CAutoExposure aeA(deviceA, clock.Function()), aeB(deviceB, clock.Function());
    for (auto* d : {&deviceA, &deviceB}) Prepare(*d, {150, 1, 100, 10000.0f, kExposureAutoContinuous});
    int stepsA = 0, stepsB = 0;
    for (std::uint32_t frame = 2; frame < 20; frame += 2) {
        clock.now += 100;
        deviceA.Camera(MapAddress::kStatisticsFrameCounter, frame);
        deviceB.Camera(MapAddress::kStatisticsFrameCounter, frame + 1);
        deviceA.Camera(MapAddress::kExposureTime, 10000.0f);
        deviceB.Camera(MapAddress::kExposureTime, 10000.0f);
        deviceA.ClearWrites();
        deviceB.ClearWrites();
        aeA.AE_Process(480);
        aeB.AE_Process(480);
        stepsA += !deviceA.WritesTo(MapAddress::kExposureTime).empty();
        stepsB += !deviceB.WritesTo(MapAddress::kExposureTime).empty();
    }
    EXPECT_EQ(stepsA, 9);
    EXPECT_EQ(stepsB, 9);
}

TEST(AeFailureTest, AFailedStatisticsReadUsesThePreviousCachedValue) {
    FakeUsbDevice device;
    ManualClock clock;
    CAutoExposure ae(device, clock.Function());
    Prepare(device, {150, 1, 100, 10000.0f, kExposureAutoContinuous});
    device.Cache(MapAddress::kAeStatisticsCount, 3u);  // the last count the camera gave
    device.FailCameraRead(MapAddress::kAeStatisticsCount);
    ASSERT_EQ(ae.AEC_Run(1024), AecResult::kWritten);  // mean 150 / 3 = 50
    EXPECT_FLOAT_EQ(device.WritesTo(MapAddress::kExposureTime).at(0).Float(), 13333.0f);
}

}  // namespace
}  // namespace Kovon::Usb2Image
