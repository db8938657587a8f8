// CDeviceUSBBase's parameter calls against simulated cameras: the plain registers, statistics,
// acquisition commands, converted values, binning, pixel format, payload, frame timing, gamma,
// balance ratios, user sets, the cache-only calls and the description block. Expectations are
// written from the map's definition, in the camera's own units.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/Resources.h"
#include "usb2/Models.h"
#include "usb2/Usb2DeviceFixture.h"

namespace {

using Kovon::CDeviceUSBBase;
using Kovon::UsbDeviceTexts;
using Kovon::Test::Pauses;
using Kovon::Test::Usb2DeviceTest;

constexpr int kError = -1001;
constexpr int kInvalid = -1009;
constexpr uint32_t kUntouched = 0xEEEEEEEE;

// ---------------------------------------------------------------------------------------------
// Plain registers.

enum class Side { RW, RO, WO, Signed, AutoCached };

struct PlainCase {
    uint64_t address;
    uint16_t reg;
    Side side;
};

const PlainCase kPlain[] = {
    {0x000, 0x310, Side::RW},     {0x108, 0x434, Side::RW},         {0x10C, 0x436, Side::RW},
    {0x110, 0x438, Side::RW},     {0x114, 0x43A, Side::RW},         {0x124, 0x442, Side::RW},
    {0x150, 0x450, Side::RW},     {0x15C, 0x458, Side::RW},         {0x160, 0x45A, Side::RO},
    {0x168, 0x45E, Side::RO},     {0x204, 0x462, Side::RW},         {0x208, 0x464, Side::RW},
    {0x20C, 0x466, Side::RW},     {0x254, 0x472, Side::RW},         {0x258, 0x474, Side::RW},
    {0x25C, 0x476, Side::RW},     {0x268, 0x47C, Side::WO},         {0x304, 0x40A, Side::RW},
    {0x308, 0x480, Side::RW},     {0x340, 0x550, Side::AutoCached}, {0x344, 0x552, Side::RW},
    {0x350, 0x490, Side::RW},     {0x3C0, 0x4C0, Side::RW},         {0x3DC, 0x4CE, Side::RW},
    {0x400, 0x30C, Side::RW},     {0x40C, 0x30A, Side::RW},         {0x4318, 0x320, Side::RW},
    {0x431C, 0x322, Side::RW},    {0x440, 0x3E0, Side::RO},         {0x444, 0x3C6, Side::WO},
    {0x4458, 0x3CC, Side::WO},    {0x80B, 0x360, Side::Signed},     {0x811, 0x36C, Side::Signed},
    {0x817, 0x378, Side::Signed}, {0x800, 0x45A, Side::RO},
};

TEST_F(Usb2DeviceTest, PlainRegistersCarryTheLow16BitsBothWays) {
    Open("RT-GA47E");
    for (const PlainCase& c : kPlain) {
        SCOPED_TRACE(testing::Message() << std::hex << "map 0x" << c.address << " register 0x" << c.reg);
        Poke(c.reg, 0x0042);
        const uint32_t cachedBefore = Cached(c.address);
        const int setStatus = Set(c.address, 0xABCD8001);
        EXPECT_EQ(setStatus, 0);
        if (c.side == Side::RO) {
            EXPECT_EQ(Peek(c.reg), 0x0042) << "a read-only address wrote the camera";
            EXPECT_EQ(Cached(c.address), cachedBefore) << "a read-only address stored the value";
        } else {
            EXPECT_EQ(Peek(c.reg), 0x8001);
            EXPECT_EQ(Cached(c.address), 0xABCD8001u) << "the cache keeps the whole value";
        }
        Poke(c.reg, 0x8002);
        int status = 0;
        const uint32_t read = Get(c.address, &status);
        EXPECT_EQ(status, 0);
        switch (c.side) {
            case Side::WO:
                EXPECT_EQ(read, kUntouched);
                break;
            case Side::Signed:
                EXPECT_EQ(read, 0xFFFF8002u);
                break;
            case Side::AutoCached:
                EXPECT_EQ(read, 0xABCD8001u) << "automatic exposure on: the cached value, no read";
                break;
            default:
                EXPECT_EQ(read, 0x8002u);
        }
    }
    // ExposureAuto reads the camera while the cache holds 0 (off).
    ASSERT_EQ(SetCache(0x340, 0), 0);
    Poke(0x550, 3);
    EXPECT_EQ(Get(0x340), 3u);
    Poke(0x550, 0);
    EXPECT_EQ(Get(0x340), 3u);
    // AcquisitionBusy and AcquisitionStatus share one slot.
    Poke(0x45A, 0);
    EXPECT_EQ(Get(0x800), 0u);
    EXPECT_EQ(Cached(0x160), 0u);
}

TEST_F(Usb2DeviceTest, StatisticsReadTwoRegistersAsOne) {
    Open("RT-KA47E");
    const std::pair<uint64_t, uint16_t> statistics[] = {{0x45C, 0x3E2},  {0x460, 0x3E6},  {0x4448, 0x3D0},
                                                        {0x444C, 0x3D4}, {0x4450, 0x3D8}, {0x4454, 0x3DC}};
    for (const auto& [address, reg] : statistics) {
        Poke32(reg, 0x12345678);
        EXPECT_EQ(Get(address), 0x12345678u) << std::hex << address;
        EXPECT_EQ(Set(address, 7), 0);
        EXPECT_EQ(Peek32(reg), 0x12345678u) << "statistics are read only";
    }
}

TEST_F(Usb2DeviceTest, SizesAreCheckedBeforeAnythingHappens) {
    Open("RT-GA47E");
    uint64_t wide = 640;
    Lumora::u64 size = sizeof wide;
    EXPECT_EQ(device->SetParam(0x108, &wide, size), kInvalid);
    EXPECT_EQ(Requests(), 0u);
    EXPECT_EQ(Cached(0x108), 0u);
    EXPECT_EQ(Set(0x108, 640), 0);
    EXPECT_EQ(Peek(0x434), 640);

    uint16_t small = 0;
    size = sizeof small;
    EXPECT_EQ(device->GetParam(0x108, &small, size), kInvalid);
    EXPECT_EQ(size, sizeof small);
    size = 0;
    EXPECT_EQ(device->GetParam(0x108, nullptr, size), 0);  // a size query
    EXPECT_EQ(size, 4u);
    size = sizeof wide;
    EXPECT_EQ(device->SetValue(0x108, &wide, size), kInvalid);
    EXPECT_EQ(Cached(0x108), 640u);
}

// ---------------------------------------------------------------------------------------------
// Acquisition commands.

TEST_F(Usb2DeviceTest, StartWaitsForIdleAndStopStopsAtOnce) {
    Open("RT-GA47E");
    ASSERT_EQ(KovonSimUsb2_SetAcquisitionBusyReads(kInstance, 3), KOVON_SIM_OK);
    EXPECT_EQ(Set(0x154, 1), 0);
    int acquiring = 0;
    KovonSimUsb2_IsAcquiring(kInstance, &acquiring);
    EXPECT_EQ(acquiring, 1);
    EXPECT_EQ(Cached(0x154), 1u);
    const unsigned poll = CDeviceUSBBase::kIdlePollPauseMs;
    EXPECT_EQ(Pauses(), (std::vector<unsigned>{poll, poll, poll, CDeviceUSBBase::kStartPauseMs}));

    EXPECT_EQ(Set(0x154, 0), 0);
    KovonSimUsb2_IsAcquiring(kInstance, &acquiring);
    EXPECT_EQ(acquiring, 0);
    EXPECT_EQ(Cached(0x154), 0u);
    EXPECT_EQ(Get(0x154), kUntouched);  // no GetParam side
}

TEST_F(Usb2DeviceTest, ACameraThatNeverTurnsIdleEndsTheStartWithAnError) {
    Open("RT-GA47E");
    ASSERT_EQ(KovonSimUsb2_SetAcquisitionBusyReads(kInstance, 0xFFFFFFFF), KOVON_SIM_OK);
    EXPECT_EQ(Set(0x154, 1), kError);
    EXPECT_EQ(Requests(), CDeviceUSBBase::kIdlePollReads);
    EXPECT_EQ(Cached(0x154), 0u);
    int acquiring = 1;
    KovonSimUsb2_IsAcquiring(kInstance, &acquiring);
    EXPECT_EQ(acquiring, 0);

    // A start the camera refuses leaves the cache as it was; so does a refused stop.
    ASSERT_EQ(KovonSimUsb2_SetAcquisitionBusyReads(kInstance, 0), KOVON_SIM_OK);
    FailRegister(0x452);
    EXPECT_EQ(Set(0x154, 1), kError);
    EXPECT_EQ(Cached(0x154), 0u);
    ASSERT_EQ(Set(0x154, 1), 0);
    FailRegister(0x454);
    EXPECT_EQ(Set(0x154, 0), kError);
    EXPECT_EQ(Cached(0x154), 1u);
}

TEST_F(Usb2DeviceTest, RawRestartDoesNotWaitAndAlwaysPauses) {
    Open("RT-GA47E");
    ASSERT_EQ(KovonSimUsb2_SetAcquisitionBusyReads(kInstance, 0xFFFFFFFF), KOVON_SIM_OK);
    EXPECT_EQ(Set(0x804, 1), 0);
    EXPECT_EQ(Requests(), 1u);  // the start itself, no poll
    EXPECT_EQ(Cached(0x804), 1u);
    FailRegister(0x452);
    EXPECT_EQ(Set(0x804, 2), kError);
    EXPECT_EQ(Cached(0x804), 1u);
    EXPECT_EQ(Pauses(),
              (std::vector<unsigned>{CDeviceUSBBase::kRestartPauseMs, CDeviceUSBBase::kRestartPauseMs}));
    EXPECT_EQ(Set(0x804, 0), 0);
    int acquiring = 1;
    KovonSimUsb2_IsAcquiring(kInstance, &acquiring);
    EXPECT_EQ(acquiring, 0);
}

TEST_F(Usb2DeviceTest, SoftwareTriggerWaitsForTheLastTriggerWithABound) {
    Open("RT-GC47E");
    ASSERT_EQ(KovonSimUsb2_SetTriggerBusyReads(kInstance, 2), KOVON_SIM_OK);
    EXPECT_EQ(Set(0x164, 1), 0);
    EXPECT_EQ(Peek(0x460), 1);
    EXPECT_EQ(Set(0x164, 1), 0);  // waits out the two busy reads of the first trigger
    EXPECT_EQ(Pauses().size(), 2u);

    ASSERT_EQ(KovonSimUsb2_SetTriggerBusyReads(kInstance, 0xFFFFFFFF), KOVON_SIM_OK);
    EXPECT_EQ(Set(0x164, 1), 0);
    Poke(0x460, 0);
    ASSERT_EQ(SetCache(0x164, 0), 0);
    EXPECT_EQ(Set(0x164, 1), kError);
    EXPECT_EQ(Peek(0x460), 0) << "triggered although the camera never turned idle";
    EXPECT_EQ(Cached(0x164), 0u);
}

// ---------------------------------------------------------------------------------------------
// Converted values (c = 40 MHz on "PQ-L582H").

TEST_F(Usb2DeviceTest, TimedValuesInClockTicks) {
    Open("PQ-L582H");
    EXPECT_EQ(SetF(0x30C, 1000.0f), 0);
    EXPECT_EQ(Peek(0x482), 0x9C40);
    EXPECT_EQ(Peek(0x484), 0);
    ASSERT_EQ(SetCacheF(0x30C, 1.0f), 0);
    EXPECT_EQ(GetF(0x30C), 1000.0f);
    EXPECT_EQ(CachedF(0x30C), 1000.0f);

    EXPECT_EQ(SetF(0x210, 3000.5f), 0);
    EXPECT_EQ(Peek32(0x468), 120020u);
    EXPECT_EQ(GetF(0x210), 3001.0f);  // 3000.5 rounds up on the way back

    EXPECT_EQ(SetF(0x260, 100.0f), 0);
    EXPECT_EQ(Peek(0x478), 250);
    Poke(0x478, 1);
    EXPECT_EQ(GetF(0x260), 1.0f);  // 0.4 + 0.6
    EXPECT_EQ(SetF(0x264, 100.0f), 0);
    EXPECT_EQ(Peek(0x47A), 250);
    Poke(0x47A, 1);
    EXPECT_EQ(GetF(0x264), 0.0f);  // 0.4 + 0.5

    EXPECT_EQ(SetF(0x348, 30.0f), 0);
    EXPECT_EQ(Peek32(0x486), 1333333u);
    EXPECT_FLOAT_EQ(GetF(0x348), 30.0f);
    EXPECT_EQ(SetF(0x348, 0.0f), 0);
    EXPECT_EQ(Peek32(0x486), 0xFFFFFFFFu);  // the slowest period rather than a division by 0
    Poke32(0x486, 0);
    EXPECT_EQ(GetF(0x348), 0.0f);
}

TEST_F(Usb2DeviceTest, GainSteps) {
    Open("PQ-L582H");
    EXPECT_EQ(Set(0x300, 100), 0);
    EXPECT_EQ(Peek(0x408), 945);
    Poke(0x408, 150);
    EXPECT_EQ(Get(0x300), 0u);
    Poke(0x408, 206);
    EXPECT_EQ(Get(0x300), 1u);
}

TEST_F(Usb2DeviceTest, PixelFormatCodes) {
    Open("RT-KA47E");
    EXPECT_EQ(Set(0x120, 0x02180015), 0);
    EXPECT_EQ(Peek(0x43E), 3);
    EXPECT_EQ(Set(0x120, 0x01100007), 0);  // not a camera format
    EXPECT_EQ(Peek(0x43E), 0);
    EXPECT_EQ(Cached(0x120), 0x01100007u);
    Poke(0x43E, 9);
    EXPECT_EQ(Get(0x120), 0x01100025u);
    Poke(0x43E, 7);
    EXPECT_EQ(Get(0x120), 0u);
}

TEST_F(Usb2DeviceTest, BinningHalvesAndRestoresTheWidth) {
    Open("RT-GA47E");
    ASSERT_EQ(Set(0x108, 1280), 0);
    ASSERT_EQ(SetCache(0x11C, 1), 0);  // vertical code 1
    EXPECT_EQ(Set(0x118, 2), 0);
    EXPECT_EQ(Peek(0x43C), 0x0101);
    EXPECT_EQ(Peek(0x434), 640);
    EXPECT_EQ(Cached(0x108), 640u);
    EXPECT_EQ(Cached(0x118), 1u);  // the cache keeps the code
    EXPECT_EQ(Get(0x118), 2u);     // the caller gets the factor
    EXPECT_EQ(Get(0x100), 640u);   // WidthMax follows the camera's code
    EXPECT_EQ(Set(0x118, 2), 0);   // already binned: the width stays
    EXPECT_EQ(Cached(0x108), 640u);

    EXPECT_EQ(Set(0x118, 1), 0);
    EXPECT_EQ(Peek(0x43C), 0x0001);
    EXPECT_EQ(Peek(0x434), 1280);
    EXPECT_EQ(Get(0x100), 1280u);

    // A factor the camera does not have is written, but leaves the geometry alone.
    EXPECT_EQ(Set(0x118, 3), 0);
    EXPECT_EQ(Peek(0x43C), 0x0201);
    EXPECT_EQ(Cached(0x108), 1280u);

    // Vertical: the low byte, the height.
    ASSERT_EQ(Set(0x118, 1), 0);
    ASSERT_EQ(SetCache(0x11C, 0), 0);
    ASSERT_EQ(Set(0x10C, 960), 0);
    EXPECT_EQ(Set(0x11C, 2), 0);
    EXPECT_EQ(Peek(0x43C), 0x0001);
    EXPECT_EQ(Peek(0x436), 480);
    EXPECT_EQ(Get(0x104), 480u);
    Poke(0x43C, 0x0101);
    EXPECT_EQ(Get(0x11C), 2u);

    // A refused binning write still changes the width, and says so.
    FailRegister(0x43C);
    EXPECT_EQ(Set(0x118, 2), kError);
    EXPECT_EQ(Peek(0x434), 640);
}

TEST_F(Usb2DeviceTest, PayloadSizeFromTheCache) {
    Open("RT-GA47E");
    ASSERT_EQ(SetCache(0x108, 640), 0);
    ASSERT_EQ(SetCache(0x118, 1), 0);  // SetValue stores the code itself
    ASSERT_EQ(SetCache(0x10C, 960), 0);
    ASSERT_EQ(SetCache(0x120, 0x01080001), 0);
    EXPECT_EQ(Get(0x12C), 1228800u);
    EXPECT_EQ(Requests(), 0u);
    ASSERT_EQ(SetCache(0x120, 0x01100005), 0);
    EXPECT_EQ(Get(0x12C), 2457600u);
    EXPECT_EQ(Cached(0x12C), 2457600u);
}

// ---------------------------------------------------------------------------------------------
// Frame timing (RT-GA47E: r = 40.72 µs, 960 rows, c = 39.3 MHz).

TEST_F(Usb2DeviceTest, ExposureLimitFollowsTriggerAndFrameRateMode) {
    Open("RT-GA47E");
    EXPECT_FLOAT_EQ(CachedF(0x31C), 39793.62f);  // the model's initial limit
    ASSERT_EQ(SetCache(0x10C, 480), 0);
    const float frameTime = 511.0f * 40.72f + 0.25f * 40.72f * 449.0f;
    EXPECT_FLOAT_EQ(GetF(0x31C), frameTime);
    EXPECT_EQ(Requests(), 0u);

    ASSERT_EQ(SetCache(0x34C, 1), 0);
    ASSERT_EQ(SetCacheF(0x348, 10.0f), 0);
    // The rate limit was never read: the frame time gives it, and 10 fps is below it.
    EXPECT_FLOAT_EQ(GetF(0x31C), 100000.0f);
    ASSERT_EQ(SetCacheF(0x348, 0.0f), 0);
    EXPECT_FLOAT_EQ(GetF(0x31C), frameTime);  // a rate of 0 limits nothing: the frame time does
    ASSERT_EQ(SetCacheF(0x348, 500.0f), 0);
    EXPECT_FLOAT_EQ(GetF(0x31C), frameTime);  // capped by the frame-rate limit

    ASSERT_EQ(SetCache(0x204, 1), 0);
    EXPECT_EQ(GetF(0x31C), 5000000.0f);
    EXPECT_EQ(SetF(0x31C, 7.0f), 0);  // the cache only
    EXPECT_EQ(CachedF(0x31C), 7.0f);
}

TEST_F(Usb2DeviceTest, ReadingTheFrameRateLimitProgramsTheFramePeriod) {
    Open("RT-GA47E");
    ASSERT_EQ(SetCache(0x10C, 480), 0);
    ASSERT_EQ(SetCacheF(0x348, 1000.0f), 0);
    const float frameTime = 511.0f * 40.72f + 0.25f * 40.72f * 449.0f;
    const float limit = 1000000.0f / frameTime;
    EXPECT_EQ(GetF(0x320), limit);
    EXPECT_EQ(CachedF(0x31C), frameTime);
    EXPECT_EQ(CachedF(0x348), limit) << "the rate is lowered to the limit";
    EXPECT_EQ(Peek32(0x486), static_cast<uint32_t>(1000000.0f / limit * 39.3f));  // mode 0: the limit

    ASSERT_EQ(SetCacheF(0x348, 2.0f), 0);
    EXPECT_EQ(Set(0x34C, 1), 0);  // mode 1: the rate's period
    EXPECT_EQ(Peek(0x48A), 1);
    EXPECT_EQ(Peek32(0x486), 19650000u);
    Poke(0x48A, 1);
    EXPECT_EQ(Get(0x34C), 1u);
    ASSERT_EQ(SetCache(0x34C, 2), 0);  // any other mode: period 0
    EXPECT_EQ(GetF(0x320), limit);
    EXPECT_EQ(Peek32(0x486), 0u);

    FailRegister(0x486);
    int status = 0;
    EXPECT_EQ(GetF(0x320, &status), limit);
    EXPECT_EQ(status, kError);
}

// ---------------------------------------------------------------------------------------------
// Gamma curve.

TEST_F(Usb2DeviceTest, GammaOrdinatesWriteTheirSlopes) {
    Open("PQ-L582H");
    for (unsigned i = 0; i < 8; ++i) {
        const uint32_t x[] = {127, 255, 511, 1023, 2047, 4094, 8190, 16383};
        EXPECT_EQ(Cached(0x360 + 4 * i), x[i]);
        EXPECT_EQ(Get(0x360 + 4 * i), x[i]);
    }
    EXPECT_EQ(Set(0x390, 100), 0);
    EXPECT_EQ(Peek(0x4B0), 100);
    EXPECT_EQ(Peek(0x4C0), 25);  // 100 / 127 × 32
    EXPECT_EQ(Peek(0x4C2), 0);   // Y1 = 0 < Y0: the falling segment is flat
    EXPECT_EQ(Set(0x394, 355), 0);
    EXPECT_EQ(Peek(0x4C2), 63);  // 255 / 128 × 32 = 63.75
    EXPECT_EQ(Peek(0x4C4), 0);
    Poke(0x4C4, 77);
    EXPECT_EQ(Set(0x3AC, 16383), 0);  // the last knot has no next slope
    EXPECT_EQ(Peek(0x4CE), 63);       // Y6 = 0: (16383 − 0) / 8193 × 32 = 63.99
    EXPECT_EQ(Peek(0x4C4), 77);
    Poke(0x4B2, 300);
    EXPECT_EQ(Get(0x394), 300u);
    EXPECT_EQ(Set(0x3C4, 7), 0);  // a slope written directly
    EXPECT_EQ(Peek(0x4C2), 7);
    EXPECT_EQ(Peek(0x4B2), 300);

    FailRegister(0x4C2);
    EXPECT_EQ(Set(0x390, 200), kError);
    EXPECT_EQ(Peek(0x4B0), 200);
    EXPECT_EQ(Peek(0x4C0), 50);
}

// ---------------------------------------------------------------------------------------------
// Balance ratios.

TEST_F(Usb2DeviceTest, BalanceRatiosByColourAndBySelector) {
    Open("RT-KA47E");
    for (uint64_t ratio : {0x805u, 0x806u, 0x807u}) EXPECT_EQ(CachedF(ratio), 1024.0f);
    struct Case {
        uint64_t address;
        uint32_t selector;
        uint16_t reg, copy;
    };
    const Case cases[] = {
        {0x805, 9, 0x324, 0x346},  {0x806, 9, 0x326, 0x348},  {0x807, 9, 0x328, 0x34A},
        {0x4320, 0, 0x324, 0x346}, {0x4320, 1, 0x326, 0x348}, {0x4320, 2, 0x328, 0x34A},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.address << " selector " << c.selector);
        ASSERT_EQ(SetCache(0x431C, c.selector), 0);
        EXPECT_EQ(SetF(c.address, 2047.6f), 0);
        EXPECT_EQ(Peek(c.reg), 2048);
        EXPECT_EQ(Peek(c.copy), 2048);
        Poke(c.reg, 900);
        EXPECT_EQ(GetF(c.address), 900.0f);
        EXPECT_EQ(CachedF(c.address), 900.0f);
    }
    // A selector beyond blue: nothing at all.
    ASSERT_EQ(SetCache(0x431C, 5), 0);
    const uint64_t before = Requests();
    EXPECT_EQ(SetF(0x4320, 1.0f), 0);
    EXPECT_EQ(Get(0x4320), kUntouched);
    EXPECT_EQ(Requests(), before);
    float ratio = 0;
    Lumora::u64 size = sizeof ratio;
    EXPECT_EQ(device->GetValue(0x4320, &ratio, size), 0);
    EXPECT_EQ(ratio, 0.0f);
    // SetValue through the selector lands in the colour's own slot.
    ASSERT_EQ(SetCache(0x431C, 2), 0);
    ASSERT_EQ(SetCacheF(0x4320, 2048.0f), 0);
    EXPECT_EQ(CachedF(0x807), 2048.0f);
    // The copy is written only after the ratio register took the value.
    FailRegister(0x328);
    EXPECT_EQ(SetF(0x807, 3000.0f), kError);
    EXPECT_EQ(Peek(0x34A), 2048);
}

TEST_F(Usb2DeviceTest, UserSetsPauseAfterTheCommand) {
    Open("RT-GA47E");
    EXPECT_EQ(Set(0x404, 1), 0);
    EXPECT_EQ(Peek(0x4D2), 1);
    EXPECT_EQ(Set(0x408, 1), 0);
    EXPECT_EQ(Peek(0x4D4), 1);
    EXPECT_EQ(Pauses(), (std::vector<unsigned>{500, 4000}));
    Pauses().clear();
    FailRegister(0x4D2);
    EXPECT_EQ(Set(0x404, 1), kError);
    FailRegister(0x4D4);
    EXPECT_EQ(Set(0x408, 1), kError);
    EXPECT_EQ(Pauses(), (std::vector<unsigned>{500})) << "a failed save returns at once";
    EXPECT_EQ(Get(0x404), kUntouched);
    EXPECT_EQ(Get(0x408), kUntouched);
}

// ---------------------------------------------------------------------------------------------
// Cache-only calls, info copies and devices without a channel.

TEST_F(Usb2DeviceTest, CacheCallsNeverReachTheCamera) {
    Open("RT-GA47E");
    EXPECT_EQ(SetCacheF(0x30C, 500.0f), 0);
    EXPECT_EQ(CachedF(0x30C), 500.0f);
    EXPECT_EQ(Requests(), 0u);
    Poke32(0x482, 39300);
    EXPECT_EQ(GetF(0x30C), 1000.0f);
    EXPECT_EQ(CachedF(0x30C), 1000.0f);

    // Addresses the cache answers with nothing, refuses, or ignores.
    for (uint64_t quiet : {0x100u, 0x104u, 0x158u, 0x200u, 0x250u, 0x310u, 0x314u, 0x524u}) {
        uint32_t value = kUntouched;
        Lumora::u64 size = 3;
        EXPECT_EQ(device->GetValue(quiet, &value, size), 0) << std::hex << quiet;
        EXPECT_EQ(value, kUntouched);
        EXPECT_EQ(size, 3u);
    }
    for (uint64_t outside : {0x700u, 0x4321u, 0x109u, 0x1000u}) {
        uint32_t value = 0;
        Lumora::u64 size = sizeof value;
        EXPECT_EQ(device->GetValue(outside, &value, size), kInvalid) << std::hex << outside;
    }
    for (uint64_t computed : {0x0C4u, 0x12Cu, 0x160u, 0x168u, 0x31Cu, 0x320u, 0x800u, 0x4321u}) {
        const uint32_t before = computed == 0x4321u ? 0 : Cached(computed);
        EXPECT_EQ(SetCache(computed, 0x5A5A), 0) << std::hex << computed;
        if (computed != 0x4321u) {
            EXPECT_EQ(Cached(computed), before) << std::hex << computed;
        }
    }
    char text[16] = {};
    Lumora::u64 size = sizeof text;
    EXPECT_EQ(device->GetValue(0x044, text, size), 0);
    EXPECT_STREQ(text, "4.7.0.0");
    EXPECT_EQ(Requests(), 2u);  // only the GetParam above: two words
}

TEST_F(Usb2DeviceTest, InfoCopiesAnswerFromTheCacheAndFailOnTheCamera) {
    const Kovon::UsbModel& model = Kovon::Test::ModelNamed("RT-GA47E");
    std::unique_ptr<CDeviceUSBBase> copy(
        model.make(nullptr, nullptr, Kovon::Test::TextsFor(model, 6, "0.1.0.5")));
    device.reset(copy.release());
    EXPECT_EQ(Get(0x108), kUntouched);
    EXPECT_EQ(Set(0x108, 640), kError);
    EXPECT_EQ(Cached(0x108), 640u);
    ASSERT_EQ(SetCache(0x10C, 480), 0);
    EXPECT_EQ(Get(0x12C), 640u * 480u);
    char text[32] = {};
    Lumora::u64 size = sizeof text;
    EXPECT_EQ(device->GetParam(0x084, text, size), 0);
    EXPECT_STREQ(text, "RT-GA47E");
    size = sizeof text;
    EXPECT_EQ(device->GetInfo(8, text, size), 0);
    EXPECT_STREQ(text, "Local:RT-GA47E.xml;700;0");
    size = 99;
    EXPECT_EQ(device->GetParam(0x700, text, size), 0);
    EXPECT_EQ(size, 0u);

    // A device without a channel answers both camera calls with 0 and touches nothing.
    device.reset(new Kovon::CDeviceRTGA47E());
    EXPECT_EQ(Get(0x084), kUntouched);
    EXPECT_EQ(Set(0x108, 640), 0);
    EXPECT_EQ(Cached(0x108), 0u);
    EXPECT_EQ(SetCache(0x108, 320), 0);
    EXPECT_EQ(Cached(0x108), 320u);
}

// ---------------------------------------------------------------------------------------------
// The description block.

class DescribedDevice : public CDeviceUSBBase {
public:
    DescribedDevice(const UsbDeviceTexts& texts, size_t length) : CDeviceUSBBase(nullptr, nullptr, texts) {
        std::string text(length, 'x');
        SetDescription(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
};

TEST_F(Usb2DeviceTest, TheLocationNamesExactlyTheBlockThatIsDelivered) {
    UsbDeviceTexts texts;
    texts.modelName = "RT-GA47E";
    texts.instanceName = "ZEDIVOXU-9";
    for (size_t length : {60733u, 60735u}) {
        DescribedDevice described(texts, length);
        char location[64] = {};
        Lumora::u64 size = sizeof location;
        ASSERT_EQ(described.GetInfo(8, location, size), 0);
        EXPECT_STREQ(location, "Local:RT-GA47E.xml;700;ed40");
        std::vector<char> block(60736, 'z');
        size = block.size() - 1;
        EXPECT_EQ(described.GetParam(0x700, block.data(), size), kInvalid);
        size = 0;
        EXPECT_EQ(described.GetParam(0x700, nullptr, size), 0);
        EXPECT_EQ(size, 60736u);
        EXPECT_EQ(described.GetParam(0x700, block.data(), size), 0);
        EXPECT_EQ(size, 60736u);
        EXPECT_EQ(block[length - 1], 'x');
        for (size_t i = length; i < block.size(); ++i) EXPECT_EQ(block[i], 0) << i;
    }
}

// ---------------------------------------------------------------------------------------------
// Concurrency: the stream's worker reads the cache while the host sets features.

TEST_F(Usb2DeviceTest, HostAndWorkerUseTheCacheTogether) {
    Open("RT-GA47E");
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop.load()) {
            uint32_t value = 0;
            Lumora::u64 size = sizeof value;
            device->GetValue(0x108, &value, size);
            size = sizeof value;
            device->GetParam(0x12C, &value, size);
        }
    });
    for (uint32_t width = 16; width <= 1280; width += 16) EXPECT_EQ(Set(0x108, width), 0);
    stop = true;
    worker.join();
    EXPECT_EQ(Cached(0x108), 1280u);
}

}  // namespace
