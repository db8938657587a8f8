// The pure pieces of the libusb driver backend: the vendor:product list text and the pipe layout
// of a configuration descriptor, fed literal bytes as a device sends them.
#include <gtest/gtest.h>

#include <vector>

#include "usb2/driver/PipeLayout.h"
#include "usb2/driver/UsbIdList.h"

namespace {

using Kovon::ParsePipeLayout;
using Kovon::PipeLayoutResult;
using Kovon::UsbPipe;

TEST(UsbIdList, ParsesAndFormats) {
    const auto ids = Kovon::ParseUsbIdList("04B4:8613,abcd:0001");
    ASSERT_TRUE(ids);
    ASSERT_EQ(ids->size(), 2u);
    EXPECT_EQ((*ids)[0].vendor, 0x04B4);
    EXPECT_EQ((*ids)[0].product, 0x8613);
    EXPECT_EQ(Kovon::FormatUsbIdList(*ids), "04b4:8613,abcd:0001");
    EXPECT_TRUE(Kovon::ParseUsbIdList("")->empty());
    for (const char* bad : {",", "04b4", "04b4:", "04b4:86133", "04b4:8613,,abcd:0001", " 04b4:8613", "04b4;8613"})
        EXPECT_FALSE(Kovon::ParseUsbIdList(bad)) << bad;
}

// Configuration 1 of a USB 2.0 camera: interface 0 alternate setting 0 with a bulk OUT endpoint
// 0x01 (pipe 0) and a bulk IN endpoint 0x82 of 512-byte packets (pipe 1), then alternate
// setting 1 with an isochronous endpoint that must not count.
const std::vector<uint8_t> kCamera = {
    0x09, 0x02, 0x30, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration, wTotalLength 48
    0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface 0, setting 0, 2 endpoints
    0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00,              // endpoint 0x01 bulk OUT, 512
    0x07, 0x05, 0x82, 0x02, 0x00, 0x02, 0x00,              // endpoint 0x82 bulk IN, 512
    0x09, 0x04, 0x00, 0x01, 0x01, 0xFF, 0x00, 0x00, 0x00,  // interface 0, setting 1, 1 endpoint
    0x07, 0x05, 0x86, 0x01, 0x00, 0x04, 0x01,              // endpoint 0x86 isochronous IN
};

TEST(PipeLayout, PipesAreTheEndpointsOfInterfaceZeroInOrder) {
    std::vector<UsbPipe> pipes;
    ASSERT_EQ(ParsePipeLayout(kCamera.data(), kCamera.size(), 0, pipes), PipeLayoutResult::kOk);
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[0].endpointAddress, 0x01);
    EXPECT_EQ(pipes[1].endpointAddress, 0x82);
    EXPECT_EQ(pipes[1].maxPacketSize, 512);
    EXPECT_TRUE(pipes[1].IsBulkIn());
    // In setting 1 the only endpoint is pipe 0: there is no image pipe.
    EXPECT_EQ(ParsePipeLayout(kCamera.data(), kCamera.size(), 1, pipes), PipeLayoutResult::kNoImagePipe);
    ASSERT_EQ(pipes.size(), 1u);
    EXPECT_EQ(pipes[0].endpointAddress, 0x86);
}

TEST(PipeLayout, DescriptorsThatLieAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        PipeLayoutResult result;
    };
    std::vector<uint8_t> outPipe1 = kCamera;
    outPipe1[25 + 2] = 0x02;  // pipe 1 becomes bulk OUT
    std::vector<uint8_t> interruptPipe1 = kCamera;
    interruptPipe1[25 + 3] = 0x03;
    std::vector<uint8_t> longer = kCamera;
    longer[2] = 0x40;  // wTotalLength beyond what was sent
    std::vector<uint8_t> overrun = kCamera;
    overrun[18] = 0x30;  // an endpoint descriptor running past the end
    std::vector<uint8_t> zeroLength = kCamera;
    zeroLength[18] = 0x00;
    std::vector<uint8_t> shortEndpoint = kCamera;
    shortEndpoint[18] = 0x04;
    std::vector<uint8_t> otherInterface = kCamera;
    otherInterface[11] = 0x01;
    otherInterface[34] = 0x01;
    const Case cases[] = {
        {"empty", {}, PipeLayoutResult::kMalformed},
        {"header only, cut", {0x09, 0x02, 0x09, 0x00}, PipeLayoutResult::kMalformed},
        {"not a configuration", {0x09, 0x04, 0x09, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32}, PipeLayoutResult::kMalformed},
        {"no interface", {0x09, 0x02, 0x09, 0x00, 0x00, 0x01, 0x00, 0x80, 0x32}, PipeLayoutResult::kNoInterface},
        {"pipe 1 bulk OUT", outPipe1, PipeLayoutResult::kImagePipeNotBulkIn},
        {"pipe 1 interrupt", interruptPipe1, PipeLayoutResult::kImagePipeNotBulkIn},
        {"total beyond the data", longer, PipeLayoutResult::kMalformed},
        {"descriptor past the end", overrun, PipeLayoutResult::kMalformed},
        {"zero length", zeroLength, PipeLayoutResult::kMalformed},
        {"short endpoint", shortEndpoint, PipeLayoutResult::kMalformed},
        {"interface 0 missing", otherInterface, PipeLayoutResult::kNoInterface},
    };
    for (const Case& c : cases) {
        std::vector<UsbPipe> pipes;
        EXPECT_EQ(ParsePipeLayout(c.bytes.data(), c.bytes.size(), 0, pipes), c.result) << c.what;
    }
}

}  // namespace
