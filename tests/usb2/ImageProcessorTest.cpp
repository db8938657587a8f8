// The per-frame sequence of the image path: the exposure loop only for cameras with statistics,
// the white-balance loop on the colour paths with its firmware route, and no heap allocation per
// frame once the processor is built.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "ImageFakeDevice.h"
#include "usb2/image/ImageProcessor.h"
#include "usb2/image/PixelFormat.h"

// Counts this program's heap allocations while a test asks for it. The replacement pairs malloc
// with free throughout; GCC cannot see that across inlined calls and would warn.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> countAllocations{false};
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    if (countAllocations.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace Kovon::Usb2Image {
namespace {

using Testing::FakeUsbDevice;
using Testing::ManualClock;

void NoOpCvtColor(const void*, void*, int) {}

void PrepareStatistics(FakeUsbDevice& device) {
    device.Cache(MapAddress::kExposureAuto, kExposureAutoContinuous);
    device.Camera(MapAddress::kAeStatisticsSum, 150u);
    device.Camera(MapAddress::kAeStatisticsCount, 1u);
    device.Camera(MapAddress::kExposureAutoTarget, 100u);
    device.Camera(MapAddress::kExposureTime, 10000.0f);
    device.Camera(MapAddress::kAcquisitionFrameRateMode, 0u);
    device.Camera(MapAddress::kStatisticsFrameCounter, 10u);
}

TEST(ImageProcessorTest, ExposureLoopRunsOnlyAboveFirmware0050) {
    const struct {
        const char* firmware;
        bool exposure;
    } cases[] = {{"0.0.5.0", false}, {"0.0.5.1", true}, {"1.0.0.0", true}, {"0.0.10.0", false}};
    for (const auto& c : cases) {
        FakeUsbDevice device;
        ManualClock clock;
        PrepareStatistics(device);
        CImageProcessor processor(device, c.firmware, kColorTypeMono, nullptr, clock.Function());
        EXPECT_EQ(processor.HasFrameMarker(), c.exposure);
        std::vector<std::uint8_t> in(64, 1), out(64);
        clock.now += 100;
        // Also a frame that the conversion then drops: the loop works from camera statistics.
        processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {8, 8, 0x01100007, false});
        EXPECT_EQ(device.WritesTo(MapAddress::kExposureTime).size(), c.exposure ? 1u : 0u) << c.firmware;
    }
}

TEST(ImageProcessorTest, ExposureLoopUsesTheStreamHeight) {
    FakeUsbDevice device;
    ManualClock clock;
    PrepareStatistics(device);
    device.Camera(MapAddress::kAeStatisticsSum, 10u);  // far too dark: the limit decides
    device.Camera(MapAddress::kExposureTime, 30000.0f);
    CImageProcessor processor(device, "1.0.0.0", kColorTypeMono, nullptr, clock.Function());
    std::vector<std::uint8_t> in(8 * 480), out(8 * 480);
    clock.now += 100;
    ASSERT_EQ(
        processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {8, 480, kMono8, false}),
        ConvertStatus::kOk);
    EXPECT_FLOAT_EQ(device.WritesTo(MapAddress::kExposureTime).at(0).Float(), 19639.332f);
}

TEST(ImageProcessorTest, WhiteBalanceRunsOnColourPathsAndResetsWhenOff) {
    // Old firmware: the software route, which counts its frames.
    FakeUsbDevice device;
    device.Cache(MapAddress::kBalanceRatioRed, 1024.0f);
    device.Cache(MapAddress::kBalanceRatioBlue, 1024.0f);
    device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteContinuous);
    CImageProcessor processor(device, "0.0.4.0", kColorTypeColor, NoOpCvtColor);
    std::vector<std::uint8_t> in(64 * 64, 100), out(64 * 64 * 3);
    for (const std::uint32_t format : {kMono8, kBayerBG8, kBGR8Packed}) {
        ASSERT_EQ(
            processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {64, 64, format, false}),
            ConvertStatus::kOk);
    }
    EXPECT_EQ(processor.WhiteBalance().Iterations(), 3u);
    // An unsupported format on a colour model is refused before the white balance.
    EXPECT_EQ(
        processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {64, 64, kMono12, false}),
        ConvertStatus::kUnsupportedFormat);
    EXPECT_EQ(processor.WhiteBalance().Iterations(), 3u);
    device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteOff);
    ASSERT_EQ(
        processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {64, 64, kMono8, false}),
        ConvertStatus::kOk);
    EXPECT_EQ(processor.WhiteBalance().Iterations(), 0u);
}

TEST(ImageProcessorTest, CameraRouteNeedsAsManyPixelsAsTheFrameWidth) {
    // Firmware exactly 0.0.5.0: camera statistics for white balance, but no exposure loop.
    for (const std::uint32_t count : {63u, 64u}) {
        FakeUsbDevice device;
        ManualClock clock;
        device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteContinuous);
        device.Cache(MapAddress::kBalanceRatioRed, 1024.0f);
        device.Camera(MapAddress::kStatisticsFrameCounter, 4u);
        device.Camera(MapAddress::kAwbStatisticsGreen, 100 * count);
        device.Camera(MapAddress::kAwbStatisticsRed, 80 * count);
        device.Camera(MapAddress::kAwbStatisticsBlue, 100 * count);
        device.Camera(MapAddress::kAwbStatisticsCount, count);
        CImageProcessor processor(device, "0.0.5.0", kColorTypeColor, NoOpCvtColor, clock.Function());
        std::vector<std::uint8_t> in(64 * 8), out(64 * 8);
        clock.now += 51;
        ASSERT_EQ(processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(),
                                            {64, 8, kBayerBG8, false}),
                  ConvertStatus::kOk);
        EXPECT_EQ(device.WritesTo(MapAddress::kAwbControl).size(), count == 64 ? 2u : 0u) << count;
        EXPECT_EQ(processor.WhiteBalance().Iterations(), 0u);  // not the software route
        EXPECT_TRUE(device.WritesTo(MapAddress::kStatisticsLatch).size() == 2u);
    }
}

TEST(ImageProcessorTest, NoHeapAllocationPerFrame) {
    FakeUsbDevice device;
    ManualClock clock;
    PrepareStatistics(device);
    device.Cache(MapAddress::kBalanceWhiteAuto, kBalanceWhiteContinuous);
    device.Cache(MapAddress::kBalanceRatioRed, 1024.0f);
    device.Cache(MapAddress::kBalanceRatioGreen, 1024.0f);
    device.Cache(MapAddress::kBalanceRatioBlue, 1024.0f);
    for (auto a : {MapAddress::kStatisticsLatch, MapAddress::kAwbControl}) device.Cache(a, 0u);
    device.Camera(MapAddress::kAwbStatisticsGreen, 100000u);
    device.Camera(MapAddress::kAwbStatisticsRed, 80000u);
    device.Camera(MapAddress::kAwbStatisticsBlue, 125000u);
    device.Camera(MapAddress::kAwbStatisticsCount, 1000u);
    device.Reserve(100000);
    CImageProcessor mono(device, "1.0.0.0", kColorTypeMono, NoOpCvtColor, clock.Function());
    CImageProcessor colourNew(device, "1.0.0.0", kColorTypeColor, NoOpCvtColor, clock.Function());
    CImageProcessor colourOld(device, "0.0.4.0", kColorTypeColor, NoOpCvtColor, clock.Function());
    std::vector<std::uint8_t> in(2 * 64 * 64, 100), out(3 * 64 * 64);
    const struct {
        CImageProcessor* processor;
        FrameFormat format;
    } frames[] = {
        {&mono, {64, 64, kMono8, false}},
        {&mono, {64, 64, kMono12, false}},
        {&mono, {64, 64, kMono8, true}},
        {&mono, {64, 64, kMono14, true}},
        {&mono, {64, 64, kBGR8Packed, false}},
        {&colourNew, {64, 64, kBGR8Packed, false}},
        {&colourNew, {64, 64, kMono8, false}},
        {&colourOld, {64, 64, kBayerBG8, false}},
        {&colourOld, {64, 64, kBGR8Packed, false}},
    };
    allocations = 0;
    countAllocations = true;
    for (int i = 0; i < 20; ++i) {
        clock.now += 100;  // every loop is due on every round
        device.Camera(MapAddress::kStatisticsFrameCounter, static_cast<std::uint32_t>(8 * (i + 2)));
        for (const auto& f : frames) {
            f.processor->GetConvertImage(in.data(), in.size(), out.data(), out.size(), f.format);
        }
    }
    countAllocations = false;
    EXPECT_EQ(allocations.load(), 0);
    // The loops did run.
    EXPECT_FALSE(device.WritesTo(MapAddress::kExposureTime).empty());
    EXPECT_FALSE(device.WritesTo(MapAddress::kAwbControl).empty());
    EXPECT_GT(colourOld.WhiteBalance().Iterations(), 0u);
}

}  // namespace
}  // namespace Kovon::Usb2Image
