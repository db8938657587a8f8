// The unit conversions between map values and camera registers, as tables: the worked examples,
// the single-precision and truncation behaviour, and the guarded divisions and casts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "usb2/DeviceUSBBase.h"
#include "usb2/FeatureConversions.h"

namespace {

using namespace Kovon::Usb2;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Truncation, OutOfRangeValuesHaveDefinedResults) {
    struct Case {
        float value;
        int64_t i64;
        uint32_t u32;
    };
    const Case cases[] = {
        {0.0f, 0, 0},
        {2.9f, 2, 2},
        {-2.9f, -2, 0},
        {-0.5f, 0, 0},
        {4294967295.0f, 4294967296, 0xFFFFFFFFu},  // the float is 2^32
        {1e30f, INT64_MAX, 0xFFFFFFFFu},
        {-1e30f, INT64_MIN, 0},
        {kInf, INT64_MAX, 0xFFFFFFFFu},
        {-kInf, INT64_MIN, 0},
        {kNaN, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TruncI64(c.value), c.i64) << c.value;
        EXPECT_EQ(TruncU32(c.value), c.u32) << c.value;
    }
    EXPECT_EQ(TruncI64(std::nan("")), 0);
    EXPECT_EQ(TruncI64(1e300), INT64_MAX);
}

TEST(TimedValues, MicrosecondsAndTicksAtThePixelClock) {
    struct Case {
        float c;
        float us;
        uint32_t ticks;
        float back;  // MicrosecondsFromTicks(c, ticks)
    };
    const Case cases[] = {
        {40.0f, 1000.0f, 40000, 1000.0f},
        {39.3f, 1000.0f, 39300, 1000.0f},
        {27.898f, 10.0f, 278, 10.0f},  // 278.98 truncated; 278 / 27.898 + 0.5 = 10.46
        {40.0f, 0.0f, 0, 0.0f},
        {0.0f, 1000.0f, 0, 0.0f},  // no clock: 0 ticks, and 0 µs back rather than a division by 0
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TicksFromMicroseconds(c.c, c.us), c.ticks) << c.c << " MHz, " << c.us << " us";
        EXPECT_EQ(MicrosecondsFromTicks(c.c, c.ticks), c.back) << c.c << " MHz, " << c.ticks << " ticks";
    }
    EXPECT_EQ(TicksFromMicroseconds(40.0f, -1.0f), 0xFFFFFFD8u);  // the low 32 bits of -40
    EXPECT_EQ(TicksFromMicroseconds(40.0f, kNaN), 0u);
    EXPECT_EQ(TicksFromMicroseconds(40.0f, kInf), 0xFFFFFFFFu);
}

TEST(TimedValues, StrobeTimesInTicksOfSixteenClocks) {
    // c = 40: one tick is 0.4 µs.
    EXPECT_EQ(StrobeTicks(40.0f, 100.0f), 250);
    EXPECT_EQ(StrobeTicks(40.0f, 100.3f), 250);
    EXPECT_EQ(StrobeMicroseconds(40.0f, 250, kStrobeTimeRounding), 100.0f);
    // 16 / 40 × 1 = 0.4: the strobe time rounds with 0.6 (→ 1), the delay with 0.5 (→ 0).
    EXPECT_EQ(StrobeMicroseconds(40.0f, 1, kStrobeTimeRounding), 1.0f);
    EXPECT_EQ(StrobeMicroseconds(40.0f, 1, kStrobeDelayRounding), 0.0f);
    EXPECT_EQ(StrobeMicroseconds(0.0f, 1, kStrobeDelayRounding), 0.0f);
}

TEST(Gain, StepsAndRegisterCodes) {
    struct Case {
        int32_t steps;
        uint16_t reg;
    };
    // Base ×7.46 + 199; the "-P" models ×5.71 + 150.
    for (const Case& c : {Case{0, 199}, Case{1, 206}, Case{100, 945}}) {
        EXPECT_EQ(GainRegister(c.steps), c.reg) << c.steps;
        EXPECT_EQ(GainFromRegister(c.reg), c.steps) << c.reg;
    }
    for (const Case& c : {Case{0, 150}, Case{1, 156}, Case{100, 721}}) {
        EXPECT_EQ(GainRegisterP(c.steps), c.reg) << c.steps;
        EXPECT_EQ(GainFromRegisterP(c.reg), c.steps) << c.reg;
    }
    // Registers below the offset read as 0 steps.
    EXPECT_EQ(GainFromRegister(150), 0);
    EXPECT_EQ(GainFromRegister(0), 0);
    EXPECT_EQ(GainFromRegisterP(0), 0);
}

TEST(FrameRate, PeriodTicksAndGuardedDivisions) {
    EXPECT_EQ(FramePeriodTicks(40.0f, 30.0f), 1333333u);
    EXPECT_EQ(FrameRateFromTicks(40.0f, 1333333), 1000000.0f / 1333333.0f * 40.0f);
    EXPECT_EQ(FramePeriodTicks(40.0f, 0.0f), 0xFFFFFFFFu);  // rate 0: the longest period
    EXPECT_EQ(FramePeriodTicks(40.0f, kNaN), 0u);
    EXPECT_EQ(FrameRateFromTicks(40.0f, 0), 0.0f);  // period register 0: no rate
    EXPECT_EQ(PerSecond(0.0f), 0.0f);
    EXPECT_EQ(PerSecond(-5.0f), 0.0f);
    EXPECT_EQ(PerSecond(kNaN), 0.0f);
    EXPECT_EQ(PerSecond(1000.0f), 1000.0f);
}

TEST(FrameRate, FrameTimeOfTheCachedHeight) {
    // (h + 31) × r + 0.25 × r × (H − h − 31), the last factor signed.
    EXPECT_FLOAT_EQ(FrameTime(40.72f, 960, 960), 991.0f * 40.72f + 0.25f * 40.72f * -31.0f);
    EXPECT_FLOAT_EQ(FrameTime(40.72f, 960, 480), 511.0f * 40.72f + 0.25f * 40.72f * 449.0f);
    EXPECT_FLOAT_EQ(FrameTime(40.72f, 960, 0), 31.0f * 40.72f + 0.25f * 40.72f * 929.0f);
    EXPECT_EQ(FrameTime(0.0f, 480, 480), 0.0f);
}

TEST(Gamma, SlopesOfTheSegments) {
    struct Case {
        uint32_t x0, y0, x1, y1, slope;
    };
    const Case cases[] = {
        {0, 0, 127, 127, 32},           {0, 0, 127, 100, 25},     // 100 / 127 × 32 = 25.2
        {127, 127, 255, 511, 96},                                 // 384 / 128 × 32
        {8190, 8190, 16383, 16383, 32}, {127, 500, 255, 400, 0},  // decreasing ordinates: flat
        {255, 0, 255, 100, 0},                                    // abscissas that do not increase: flat
        {300, 0, 255, 100, 0},          {0, 0, 1, 16383, 524256},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GammaSlope(c.x0, c.y0, c.x1, c.y1), c.slope)
            << c.x0 << "," << c.y0 << " → " << c.x1 << "," << c.y1;
}

TEST(BalanceRatio, RegisterRounding) {
    EXPECT_EQ(RatioRegister(1024.0f), 1024);
    EXPECT_EQ(RatioRegister(1024.5f), 1025);
    EXPECT_EQ(RatioRegister(2047.4f), 2047);
    EXPECT_EQ(RatioRegister(kNaN), 0);
}

TEST(PixelFormat, CodesBytesAndPayload) {
    struct Case {
        uint32_t format;
        uint16_t code;
        uint32_t bytes;
    };
    const Case cases[] = {
        {kMono8, 0, 1},      {kMono10, 1, 2}, {kBayerBG8, 2, 1},
        {kBGR8Packed, 3, 3}, {kMono12, 5, 2}, {kMono14, 9, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PixelFormatCode(c.format), c.code) << std::hex << c.format;
        EXPECT_EQ(PixelFormatOfCode(c.code), c.format) << c.code;
        EXPECT_EQ(BytesPerPixel(c.format), c.bytes) << std::hex << c.format;
    }
    EXPECT_EQ(PixelFormatCode(0x01100007), 0);  // unknown format: code 0
    EXPECT_EQ(PixelFormatOfCode(4), 0u);        // unknown code: format 0
    EXPECT_EQ(BytesPerPixel(0), 1u);

    EXPECT_EQ(PayloadSize(640, 1, 960, kMono8), 1228800u);
    EXPECT_EQ(PayloadSize(640, 0, 960, kMono8), 614400u);
    EXPECT_EQ(PayloadSize(1280, 0, 960, kBGR8Packed), 3686400u);
    EXPECT_EQ(PayloadSize(1280, 2, 1024, kMono12), 2621440u);      // only code 1 doubles
    EXPECT_EQ(PayloadSize(0x10000, 0, 0x10000, kBGR8Packed), 0u);  // unsigned 32-bit wrap
}

TEST(NarrowSensor, RowTimesByColumnsRemoved) {
    struct Case {
        int64_t removed;
        float rowTime;
    };
    const Case cases[] = {
        {0, 31.28f},       {15, 31.28f},      {16, 30.69f},
        {112, 27.14f},     {128, 25.95f},     {176, 25.95f},     // width 576: index 11
        {35 * 16, 25.95f}, {36 * 16, 25.95f}, {100000, 25.95f},  // beyond the table: its last entry
        {-16, 31.28f},                                           // width above WidthMax: the full-width entry
    };
    for (const Case& c : cases) EXPECT_EQ(Narrow::RowTime(c.removed), c.rowTime) << c.removed;
}

TEST(NarrowSensor, ExposureLimitInRows) {
    // F = 31.28 × 52 + trunc(31.28 × 480) = 16640.56, R = 60, 31970 / 60 = 532.
    EXPECT_EQ(Narrow::ExposureLimitRows(31.28f, 480), 532u);
    // F = 1349.4 + 1660 = 3009.4, R = 332, 31970 / 332 = 96.
    EXPECT_EQ(Narrow::ExposureLimitRows(25.95f, 64), 96u);
    // Frames longer than two seconds have R = 0: the trigger-mode limit instead of a division by 0.
    EXPECT_EQ(Narrow::ExposureLimitRows(31.28f, 70000), Narrow::kTriggerExposureLimitRows);
    EXPECT_EQ(Narrow::ExposureLimitRows(31.28f, 0xFFFFFFFFu), Narrow::kTriggerExposureLimitRows);
}

TEST(NarrowSensor, OwnUnits) {
    // Trigger delay in ticks of 37 ns.
    EXPECT_EQ(Narrow::TriggerDelayTicks(100.0f), 2702u);
    EXPECT_EQ(Narrow::TriggerDelayMicroseconds(2702), 100.0f);
    EXPECT_EQ(Narrow::TriggerDelayTicks(-1.0f), 0u);
    // Strobe in ticks of 592 ns.
    EXPECT_EQ(Narrow::StrobeTicks(100.0f), 168);
    EXPECT_EQ(Narrow::StrobeMicroseconds(168), 99.0f);  // 99.456 + 0.5
    // Gain: (value + 32) >> 1 capped at 64; back register × 2 − 32.
    struct Gain {
        uint32_t value;
        uint16_t reg;
    };
    for (const Gain& g : {Gain{0, 16}, Gain{1, 16}, Gain{2, 17}, Gain{96, 64}, Gain{100, 64}})
        EXPECT_EQ(Narrow::GainRegister(g.value), g.reg) << g.value;
    EXPECT_EQ(Narrow::GainFromRegister(64), 96u);
    EXPECT_EQ(Narrow::GainFromRegister(16), 0u);
    // Black level in double precision: trunc(v × 9.88 + 35.5); back trunc((r − 35) / 9.88 + 0.5).
    struct Black {
        int32_t value;
        uint16_t reg;
    };
    for (const Black& b : {Black{0, 35}, Black{1, 45}, Black{50, 529}, Black{100, 1023}}) {
        EXPECT_EQ(Narrow::BlackLevelRegister(b.value), b.reg) << b.value;
        EXPECT_EQ(Narrow::BlackLevelFromRegister(b.reg), b.value) << b.reg;
    }
    EXPECT_EQ(Narrow::BlackLevelFromRegister(0), -3);  // -35 / 9.88 + 0.5 = -3.04 → -3
    // Exposure in rows of the row time.
    EXPECT_EQ(Narrow::ExposureRows(1000.0f, 31.28f), 32);
    EXPECT_EQ(Narrow::ExposureRows(1000.0f, 0.0f), 0);
}

TEST(DescriptionBlock, SizeAlwaysLeavesATrailingZero) {
    struct Case {
        size_t text;
        size_t block;
    };
    for (const Case& c : {Case{60045, 60048}, Case{60044, 60048}, Case{60736, 60740}, Case{60733, 60736},
                          Case{1, 4}, Case{0, 4}})
        EXPECT_EQ(Kovon::CDeviceUSBBase::DescriptionBlockSize(c.text), c.block) << c.text;
}

}  // namespace
