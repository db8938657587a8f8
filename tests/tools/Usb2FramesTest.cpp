// The frames kovon-grab feeds to its simulated USB 2.0 cameras: the wire layout the module reads
// (marker, 16-bit words low byte first, doubled lines under horizontal binning).
#include <gtest/gtest.h>

#include "Usb2Frames.h"

namespace {

using namespace KovonGrab;

TEST(Usb2FramesTest, FirstSixteenPixelsCarryTheMarkerInTheirLowestBits) {
    for (const bool colour : {false, true}) {
        for (const uint16_t code : {uint16_t{0}, uint16_t{5}}) {  // Mono8, Mono12
            SCOPED_TRACE(std::to_string(colour) + " " + std::to_string(code));
            Usb2RawFormat format;
            ASSERT_TRUE(Usb2RawFormatOf(64, 4, 0, code, format));
            for (uint64_t frame : {0u, 1u, 37u}) {
                const std::vector<uint8_t> bytes = Usb2RawFrame(colour, format, frame);
                ASSERT_EQ(bytes.size(), 64u * 4 * format.bytesPerPixel);
                unsigned marker = 0;
                for (unsigned i = 0; i < 16; ++i) marker |= (bytes[i * format.bytesPerPixel] & 1u) << i;
                EXPECT_EQ(marker, kUsb2FrameMarker);
            }
        }
    }
}

TEST(Usb2FramesTest, WireFormatFollowsTheCameraRegisters) {
    const struct {
        uint16_t width, height, binning, code;
        uint32_t wireWidth, bytesPerPixel, depth;
    } cases[] = {
        {1280, 960, 0x0000, 0, 1280, 1, 8},   // Mono8
        {640, 960, 0x0100, 0, 1280, 1, 8},    // binned horizontally: full lines on the wire
        {640, 480, 0x0001, 1, 640, 2, 10},    // vertical binning alone changes no line
        {1280, 1024, 0x0000, 5, 1280, 2, 12}, // Mono12
        {1280, 1024, 0x0000, 9, 1280, 2, 14}, // Mono14
        {1280, 1024, 0x0000, 3, 1280, 1, 8},  // BGR8Packed: Bayer bytes on the wire
    };
    for (const auto& c : cases) {
        Usb2RawFormat format;
        ASSERT_TRUE(Usb2RawFormatOf(c.width, c.height, c.binning, c.code, format));
        EXPECT_EQ(format.width, c.wireWidth);
        EXPECT_EQ(format.height, c.height);
        EXPECT_EQ(format.bytesPerPixel, c.bytesPerPixel);
        EXPECT_EQ(format.depth, c.depth);
    }
    Usb2RawFormat untouched;
    untouched.width = 7;
    EXPECT_FALSE(Usb2RawFormatOf(0, 960, 0, 0, untouched));
    EXPECT_FALSE(Usb2RawFormatOf(1280, 0, 0, 0, untouched));
    EXPECT_EQ(untouched.width, 7u);
}

TEST(Usb2FramesTest, SixteenBitPixelsGoLowByteFirstAndStayWithinTheirDepth) {
    Usb2RawFormat format;
    ASSERT_TRUE(Usb2RawFormatOf(1280, 2, 0, 1, format));  // Mono10
    const std::vector<uint8_t> bytes = Usb2RawFrame(false, format, 5);
    for (uint32_t i = 0; i < 2 * 1280; ++i) {
        const unsigned word = bytes[2 * i] | bytes[2 * i + 1] << 8;
        ASSERT_EQ(word, Usb2RawPixel(false, format, i % 1280, i / 1280, 5)) << i;
        ASSERT_LT(word, 1024u) << i;
    }
}

}  // namespace
