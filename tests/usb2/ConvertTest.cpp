// Pixel conversion of the USB 2.0 image path: model colour types, firmware text rule, the choice of
// path per format, pass-through copies, binning restoration with saturation, and the checks that
// drop a frame without writing anything.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ImageFakeDevice.h"
#include "usb2/image/ColorType.h"
#include "usb2/image/FirmwareText.h"
#include "usb2/image/FrameConverter.h"
#include "usb2/image/ImageProcessor.h"
#include "usb2/image/PixelFormat.h"

namespace Kovon::Usb2Image {
namespace {

using Testing::FakeUsbDevice;

TEST(ColorTypeTest, ModelNamesAreComparedExactly) {
    const struct {
        std::string name;
        ColorType expected;
    } cases[] = {
        {"RT-GA47E", kColorTypeMono},     {"RT-GE45E", kColorTypeMono},
        {"RT-KA47E", kColorTypeColor},    {"RT-KE45E", kColorTypeColor},
        {"PQ-L582H", kColorTypeColor},    {"RT-GA47E-P", kColorTypeMono},
        {"RT-KA47E-P", kColorTypeColor},  {"rt-ga47e", kColorTypeUnknown},
        {"RT-GA47E ", kColorTypeUnknown}, {"RT-GA47", kColorTypeUnknown},
        {"", kColorTypeUnknown},          {std::string("RT-KA47E\0X", 10), kColorTypeUnknown},
    };
    for (const auto& c : cases) EXPECT_EQ(GetColorType(c.name), c.expected) << '"' << c.name << '"';
}

TEST(FirmwareTextTest, ComparesAsTextAgainstTheFirstMarkerVersion) {
    const struct {
        std::string text;
        bool marker;      // above 0.0.5.0
        bool statistics;  // 0.0.5.0 or above
    } cases[] = {
        {"0.0.5.0", false, true},
        {"0.0.5.1", true, true},
        {"1.0.0.0", true, true},
        {"0.0.10.0", false, false},  // text order: '1' < '5'
        {"0.0.4.9", false, false},
        {"0.0.5.0.1", true, true},  // equal over 7 bytes and longer
        {"0.0.5.00", true, true},
        {"0.0.5", false, true},  // a prefix counts as equal
        {std::string("0.0.5.1\0\0\0", 10), true, true},
        {std::string("0.0.5.0\0\0\0", 10), false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FirmwareHasFrameMarker(c.text), c.marker) << c.text;
        EXPECT_EQ(FirmwareHasColorStatistics(c.text), c.statistics) << c.text;
    }
}

TEST(PlanConversionTest, PathAndSizesPerModelAndFormat) {
    const struct {
        ColorType type;
        bool binning;
        std::uint32_t format;
        ConvertPath path;
        std::uint64_t source, destination;
    } cases[] = {
        {kColorTypeMono, false, kMono8, ConvertPath::kCopy, 1280 * 1024, 1280 * 1024},
        {kColorTypeMono, false, kMono12, ConvertPath::kCopy, 2621440, 2621440},
        {kColorTypeMono, false, kMono10, ConvertPath::kCopy, 2621440, 2621440},
        {kColorTypeMono, false, kMono14, ConvertPath::kCopy, 2621440, 2621440},
        {kColorTypeMono, false, kBayerBG8, ConvertPath::kCopy, 1310720, 1310720},
        {kColorTypeMono, false, kBGR8Packed, ConvertPath::kBayerToBGR, 1310720, 3932160},
        {kColorTypeMono, true, kMono8, ConvertPath::kBinning, 1310720, 655360},
        {kColorTypeMono, true, kMono14, ConvertPath::kBinning, 2621440, 1310720},
        {kColorTypeMono, true, kBayerBG8, ConvertPath::kNone, 0, 0},
        {kColorTypeMono, true, kBGR8Packed, ConvertPath::kNone, 0, 0},
        {kColorTypeMono, false, 0x01100007, ConvertPath::kNone, 0, 0},
        {kColorTypeColor, false, kMono8, ConvertPath::kBayerToGray, 1310720, 1310720},
        {kColorTypeColor, false, kBayerBG8, ConvertPath::kBayerCopy, 1310720, 1310720},
        {kColorTypeColor, false, kBGR8Packed, ConvertPath::kBayerToBGR, 1310720, 3932160},
        {kColorTypeColor, false, kMono12, ConvertPath::kNone, 0, 0},
        {kColorTypeUnknown, false, kMono8, ConvertPath::kNothing, 0, 0},
        {kColorTypeUnknown, true, 0x12345678, ConvertPath::kNothing, 0, 0},
    };
    for (const auto& c : cases) {
        const ConversionPlan plan = PlanConversion(c.type, c.binning, c.format, 1280, 1024);
        EXPECT_EQ(plan.path, c.path) << std::hex << c.format << " type " << std::dec << c.type;
        if (c.path == ConvertPath::kNone || c.path == ConvertPath::kNothing) continue;
        EXPECT_EQ(plan.sourceBytes, c.source) << std::hex << c.format;
        EXPECT_EQ(plan.destinationBytes, c.destination) << std::hex << c.format;
    }
    // Large geometries are sized in 64 bits.
    EXPECT_EQ(PlanConversion(kColorTypeColor, false, kBGR8Packed, 0xFFFFFFFF, 2).destinationBytes,
              0xFFFFFFFFull * 2 * 3);
}

// Little-endian 16-bit pixel buffer.
std::vector<std::uint8_t> Words(const std::vector<std::uint32_t>& values) {
    std::vector<std::uint8_t> bytes;
    for (const auto v : values) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    return bytes;
}

TEST(BinningTest, AddsNeighboursAndSaturatesAtFullScale) {
    const struct {
        std::uint32_t format;
        std::uint32_t a, b, expected;
    } cases[] = {
        {kMono8, 200, 100, 255},
        {kMono8, 20, 30, 50},
        {kMono8, 255, 255, 255},
        {kMono8, 0, 255, 255},
        {kMono8, 128, 127, 255},
        {kMono10, 600, 600, 1023},
        {kMono10, 500, 523, 1023},
        {kMono10, 500, 522, 1022},
        {kMono12, 3000, 2000, 4095},
        {kMono12, 2000, 2095, 4095},
        {kMono12, 1, 2, 3},
        {kMono14, 10000, 7000, 16383},
        {kMono14, 8000, 8000, 16000},
        // Bits above the format's range (a faulty camera) still give at most full scale.
        {kMono12, 0xFFFF, 0xFFFF, 4095},
        {kMono14, 0x8000, 0x0001, 16383},
    };
    for (const auto& c : cases) {
        const bool bytes = RawBytesPerPixel(c.format) == 1;
        // 40 pairs: the same pair in every position exercises the vector body and the scalar tail.
        std::vector<std::uint32_t> in;
        for (int i = 0; i < 40; ++i) {
            in.push_back(c.a);
            in.push_back(c.b);
        }
        std::vector<std::uint8_t> input = bytes ? std::vector<std::uint8_t>(in.begin(), in.end()) : Words(in);
        std::vector<std::uint8_t> output(input.size() / 2, 0xEE);
        ASSERT_TRUE(RestoreBinning(input.data(), output.data(), in.size(), c.format));
        for (int i = 0; i < 40; ++i) {
            const std::uint32_t got = bytes ? output[i] : output[2 * i] | (output[2 * i + 1] << 8);
            ASSERT_EQ(got, c.expected) << "format " << std::hex << c.format << std::dec << " pixel " << i;
        }
    }
}

TEST(BinningTest, MatchesPairwiseReferenceOnRandomFramesOfEveryLength) {
    std::mt19937 rng(7);
    for (const std::uint32_t format : {kMono8, kMono10, kMono12, kMono14}) {
        const std::uint32_t bpp = RawBytesPerPixel(format);
        const std::uint32_t fullScale = MonoFullScale(format);
        for (std::uint64_t pixels = 1; pixels <= 70; ++pixels) {
            std::vector<std::uint8_t> input(pixels * bpp);
            for (auto& b : input) b = static_cast<std::uint8_t>(rng());
            const std::uint64_t outPixels = (pixels + 1) / 2;
            // Exact size so that AddressSanitizer sees any write past the image.
            std::vector<std::uint8_t> output(outPixels * bpp);
            ASSERT_TRUE(RestoreBinning(input.data(), output.data(), pixels, format));
            auto at = [&](const std::vector<std::uint8_t>& v, std::uint64_t i) -> std::uint32_t {
                return bpp == 1 ? v[i] : v[2 * i] | (v[2 * i + 1] << 8);
            };
            for (std::uint64_t i = 0; i < outPixels; ++i) {
                // The last pixel of an odd count has no partner and stands alone.
                const std::uint32_t sum = at(input, 2 * i) + (2 * i + 1 < pixels ? at(input, 2 * i + 1) : 0);
                ASSERT_EQ(at(output, i), std::min(sum, fullScale))
                    << "format " << std::hex << format << std::dec << " pixels " << pixels << " i " << i;
            }
        }
    }
    std::uint8_t in[2] = {1, 2}, out[1] = {};
    EXPECT_FALSE(RestoreBinning(in, out, 2, kBayerBG8));
    EXPECT_FALSE(RestoreBinning(nullptr, out, 2, kMono8));
}

// A monochrome model with old firmware: no exposure loop, only the conversion.
class MonoConvertTest : public ::testing::Test {
protected:
    FakeUsbDevice device;
    CImageProcessor processor{device, "0.0.4.0", kColorTypeMono, nullptr};

    ConvertStatus Convert(const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out,
                          const FrameFormat& format) {
        return processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), format);
    }
};

TEST_F(MonoConvertTest, PassThroughFormatsDeliverTheRawBytes) {
    const std::vector<std::uint32_t> values = {0, 1, 255, 1023, 4095, 16383, 0x1234, 7, 8, 9, 10, 11};
    for (const std::uint32_t format : {kMono8, kBayerBG8, kMono10, kMono12, kMono14}) {
        const bool bytes = RawBytesPerPixel(format) == 1;
        std::vector<std::uint8_t> in =
            bytes ? std::vector<std::uint8_t>(values.begin(), values.end()) : Words(values);
        std::vector<std::uint8_t> out(in.size(), 0xEE);
        ASSERT_EQ(Convert(in, out, {4, 3, format, false}), ConvertStatus::kOk) << std::hex << format;
        EXPECT_EQ(out, in) << std::hex << format;
    }
}

TEST_F(MonoConvertTest, BinnedFrameHasTheTrueWidth) {
    // Transfer width 4 (image width 2), two rows.
    const std::vector<std::uint8_t> in = {200, 100, 20, 30, 1, 2, 250, 10};
    std::vector<std::uint8_t> out(4, 0xEE);
    ASSERT_EQ(Convert(in, out, {4, 2, kMono8, true}), ConvertStatus::kOk);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{255, 50, 3, 255}));

    const std::vector<std::uint8_t> in12 = Words({3000, 2000, 5, 6});
    std::vector<std::uint8_t> out12(4, 0xEE);
    ASSERT_EQ(Convert(in12, out12, {4, 1, kMono12, true}), ConvertStatus::kOk);
    EXPECT_EQ(out12, Words({4095, 11}));
}

TEST_F(MonoConvertTest, RefusedFramesLeaveTheDestinationUntouched) {
    const std::vector<std::uint8_t> in(64, 1);
    const struct {
        FrameFormat format;
        std::size_t sourceBytes, destinationBytes;
        ConvertStatus expected;
    } cases[] = {
        {{4, 4, kBayerBG8, true}, 64, 64, ConvertStatus::kUnsupportedFormat},
        {{4, 4, 0x01100007, false}, 64, 64, ConvertStatus::kUnsupportedFormat},
        {{0, 4, kMono8, false}, 64, 64, ConvertStatus::kBadGeometry},
        {{4, 0, kMono8, false}, 64, 64, ConvertStatus::kBadGeometry},
        {{4, 4, kMono12, false}, 31, 64, ConvertStatus::kSourceTooSmall},
        {{4, 4, kMono12, false}, 32, 31, ConvertStatus::kDestinationTooSmall},
        {{8, 4, kMono8, true}, 32, 15, ConvertStatus::kDestinationTooSmall},
        {{8, 4, kMono14, true}, 63, 32, ConvertStatus::kSourceTooSmall},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> out(64, 0xEE);
        EXPECT_EQ(
            processor.GetConvertImage(in.data(), c.sourceBytes, out.data(), c.destinationBytes, c.format),
            c.expected)
            << c.format.width << "x" << c.format.height << " " << std::hex << c.format.pixelFormat;
        EXPECT_EQ(out, std::vector<std::uint8_t>(64, 0xEE));
        EXPECT_EQ(CImageProcessor::ToStreamResult(c.expected), 0xFFFFFFFFu);
    }
    std::vector<std::uint8_t> out(64);
    EXPECT_EQ(processor.GetConvertImage(nullptr, 64, out.data(), 64, {4, 4, kMono8, false}),
              ConvertStatus::kNullBuffer);
    EXPECT_EQ(processor.GetConvertImage(in.data(), 64, nullptr, 64, {4, 4, kMono8, false}),
              ConvertStatus::kNullBuffer);
}

TEST(UnknownModelConvertTest, WritesNothingButDeliversTheFrame) {
    FakeUsbDevice device;
    CImageProcessor processor(device, "1.0.0.0", kColorTypeUnknown, nullptr);
    const std::vector<std::uint8_t> in(16, 7);
    std::vector<std::uint8_t> out(16, 0xEE);
    const auto status =
        processor.GetConvertImage(in.data(), in.size(), out.data(), out.size(), {4, 4, kMono8, false});
    EXPECT_EQ(status, ConvertStatus::kNothingWritten);
    EXPECT_EQ(CImageProcessor::ToStreamResult(status), 0u);
    EXPECT_EQ(out, std::vector<std::uint8_t>(16, 0xEE));
}

}  // namespace
}  // namespace Kovon::Usb2Image
