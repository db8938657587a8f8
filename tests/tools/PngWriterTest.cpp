// PNG files written from frames of each supported pixel format, read back with libpng: size, bit
// depth, colour type, significant bits and every sample.
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "PngReader.h"
#include "PngWriter.h"

namespace {

using namespace KovonGrab;

using KovonGrabTest::PngFile;
using KovonGrabTest::ReadPng;

class PngWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kovon-png-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

// Frame bytes: 8-bit samples count up; 16-bit samples are little-endian values with bits above
// the format's depth set, which the file must not carry.
std::vector<uint8_t> Frame(size_t bytes) {
    std::vector<uint8_t> frame(bytes);
    for (size_t i = 0; i < bytes; ++i) frame[i] = static_cast<uint8_t>(i * 7 + 3);
    return frame;
}

struct GreyCase {
    uint32_t format;
    int bitDepth;
    int significantBits;  // 0: no sBIT chunk expected
};

TEST_F(PngWriterTest, GreyFormatsKeepEverySample) {
    const GreyCase cases[] = {
        {PixelFormat::Mono8, 8, 0},    {PixelFormat::BayerBG8, 8, 0},    {PixelFormat::BayerGR8, 8, 0},
        {PixelFormat::Mono10, 16, 10}, {PixelFormat::Mono12, 16, 12},    {PixelFormat::Mono14, 16, 14},
        {PixelFormat::Mono16, 16, 0},  {PixelFormat::BayerBG12, 16, 12}, {PixelFormat::BayerGR10, 16, 10},
    };
    const uint32_t width = 7, height = 5;  // odd sizes: no row padding may creep in
    for (const GreyCase& c : cases) {
        SCOPED_TRACE(PixelFormatName(c.format));
        const size_t bytesPerSample = c.bitDepth / 8;
        const std::vector<uint8_t> frame = Frame(width * height * bytesPerSample);
        std::string error;
        const std::string path = Path(PixelFormatName(c.format) + ".png");
        ASSERT_TRUE(WritePng(path, width, height, c.format, frame.data(), frame.size(), error)) << error;
        const PngFile png = ReadPng(path);
        ASSERT_TRUE(png.ok);
        EXPECT_EQ(png.width, width);
        EXPECT_EQ(png.height, height);
        EXPECT_EQ(png.colorType, PNG_COLOR_TYPE_GRAY);
        EXPECT_EQ(png.bitDepth, c.bitDepth);
        EXPECT_EQ(png.significantBits, c.significantBits);
        ASSERT_EQ(png.pixels.size(), frame.size());
        const int depth = c.significantBits == 0 ? c.bitDepth : c.significantBits;
        for (size_t i = 0; i < width * height; ++i) {
            if (c.bitDepth == 8) {
                ASSERT_EQ(png.pixels[i], frame[i]) << "pixel " << i;
            } else {
                const unsigned stored = png.pixels[2 * i] << 8 | png.pixels[2 * i + 1];
                const unsigned sample = (frame[2 * i + 1] << 8 | frame[2 * i]) & ((1u << depth) - 1);
                ASSERT_EQ(stored >> (16 - depth), sample) << "pixel " << i;
                ASSERT_EQ(stored & ((1u << (16 - depth)) - 1), 0u) << "pixel " << i;
            }
        }
    }
}

TEST_F(PngWriterTest, ColourFormatsAreStoredRedGreenBlue) {
    const uint32_t width = 3, height = 2;
    const std::vector<uint8_t> frame = Frame(width * height * 3);
    for (const uint32_t format : {PixelFormat::RGB8Packed, PixelFormat::BGR8Packed}) {
        SCOPED_TRACE(PixelFormatName(format));
        std::string error;
        const std::string path = Path(PixelFormatName(format) + ".png");
        ASSERT_TRUE(WritePng(path, width, height, format, frame.data(), frame.size(), error)) << error;
        const PngFile png = ReadPng(path);
        ASSERT_TRUE(png.ok);
        EXPECT_EQ(png.colorType, PNG_COLOR_TYPE_RGB);
        EXPECT_EQ(png.bitDepth, 8);
        ASSERT_EQ(png.pixels.size(), frame.size());
        const bool bgr = format == PixelFormat::BGR8Packed;
        for (size_t p = 0; p < width * height; ++p) {
            EXPECT_EQ(png.pixels[3 * p], frame[3 * p + (bgr ? 2 : 0)]) << "red of pixel " << p;
            EXPECT_EQ(png.pixels[3 * p + 1], frame[3 * p + 1]) << "green of pixel " << p;
            EXPECT_EQ(png.pixels[3 * p + 2], frame[3 * p + (bgr ? 0 : 2)]) << "blue of pixel " << p;
        }
    }
}

TEST_F(PngWriterTest, RefusesWhatItCannotWriteAndLeavesNoFile) {
    const std::vector<uint8_t> frame(64 * 64 * 2);
    struct Case {
        const char* what;
        std::string path;
        uint32_t width, height, format;
        size_t size;
    } cases[] = {
        {"unsupported format (YUV422Packed)", Path("a.png"), 8, 8, 0x0210001F, frame.size()},
        {"packed frame one byte short", Path("g.png"), 8, 8, PixelFormat::Mono12Packed, 95},
        {"frame one byte short", Path("b.png"), 8, 8, PixelFormat::Mono8, 63},
        {"16-bit frame given 8-bit size", Path("c.png"), 8, 8, PixelFormat::Mono12, 64},
        {"no pixels", Path("d.png"), 0, 8, PixelFormat::Mono8, frame.size()},
        {"huge geometry for a small buffer", Path("e.png"), 0x7FFFFFFF, 0x7FFFFFFF, PixelFormat::RGB8Packed,
         frame.size()},
        {"folder that does not exist", Path("none/f.png"), 8, 8, PixelFormat::Mono8, frame.size()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_FALSE(WritePng(c.path, c.width, c.height, c.format, frame.data(), c.size, error));
        EXPECT_FALSE(error.empty());
        std::FILE* file = std::fopen(c.path.c_str(), "rb");
        EXPECT_EQ(file, nullptr);
        if (file != nullptr) std::fclose(file);
    }
}

// Two pixels in three bytes: the high bits of each in bytes 0 and 2, the low bits of the first in
// byte 1's low nibble and of the second in its high nibble; an odd pixel count ends in half a group.
TEST_F(PngWriterTest, PackedFormatsAreUnpackedTo16Bits) {
    const std::vector<uint8_t> frame = {0xAB, 0x21, 0xCD, 0x12, 0x03, 0xFF};
    const struct {
        uint32_t format;
        int significantBits;
        unsigned samples[3];
    } cases[] = {
        {PixelFormat::Mono12Packed, 12, {0xAB1, 0xCD2, 0x123}},
        {PixelFormat::Mono10Packed, 10, {0x2AD, 0x336, 0x04B}},
        {0x010C002D /* BayerBG12Packed */, 12, {0xAB1, 0xCD2, 0x123}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(PixelFormatName(c.format));
        std::string error;
        const std::string path = Path(PixelFormatName(c.format) + ".png");
        ASSERT_TRUE(WritePng(path, 3, 1, c.format, frame.data(), frame.size(), error)) << error;
        const PngFile png = ReadPng(path);
        ASSERT_TRUE(png.ok);
        EXPECT_EQ(png.bitDepth, 16);
        EXPECT_EQ(png.significantBits, c.significantBits);
        for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(png.Sample(x, 0) >> (16 - c.significantBits), c.samples[x]) << x;
    }
}

TEST(PixelFormatNameTest, NamesKnownFormatsAndShowsOthersInHex) {
    EXPECT_EQ(PixelFormatName(PixelFormat::Mono14), "Mono14");
    EXPECT_EQ(PixelFormatName(PixelFormat::BGR8Packed), "BGR8Packed");
    EXPECT_EQ(PixelFormatName(0x0210001F), "0x0210001F");
}

}  // namespace
