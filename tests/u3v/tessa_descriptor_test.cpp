// Recognition of USB3 Vision devices in raw configuration descriptors (libusb backend).
#include <gtest/gtest.h>

#include <vector>

#include "u3v/tessa/transport/LibusbBackend.h"
#include "u3v/tessa/transport/U3vDescriptor.h"

using namespace Kovon::Tessa::Transport;

namespace {

// The configuration descriptor of a SuperSpeed USB3 Vision camera as read from the device:
// interface association, control interface with its USB3 Vision device-info descriptor, event
// and streaming interfaces, each bulk endpoint followed by its SuperSpeed companion.
std::vector<uint8_t> Captured() {
    std::vector<uint8_t> d = {
        0x09, 0x02, 0x00, 0x00, 0x03, 0x01, 0x00, 0x80, 0x70,  // configuration, total patched below
        0x08, 0x0B, 0x00, 0x03, 0xEF, 0x05, 0x00, 0x05,        // interface association
        0x09, 0x04, 0x00, 0x00, 0x02, 0xEF, 0x05, 0x00, 0x05,  // control interface
        0x14, 0x24, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,  // device info: GenCP 1.0, U3V 1.0
        0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x04,              // string indices, speed
        0x07, 0x05, 0x81, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x00, 0x00, 0x00, 0x00,
        0x07, 0x05, 0x01, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x00, 0x00, 0x00, 0x00,
        0x09, 0x04, 0x01, 0x00, 0x01, 0xEF, 0x05, 0x01, 0x00,  // event interface
        0x07, 0x05, 0x82, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x00, 0x00, 0x00, 0x00,
        0x09, 0x04, 0x02, 0x00, 0x01, 0xEF, 0x05, 0x02, 0x00,  // streaming interface
        0x07, 0x05, 0x83, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x0F, 0x00, 0x00, 0x00,
    };
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

}  // namespace

TEST(TessaDescriptor, RecognisesTheThreeInterfacesAndTheDeviceInfo) {
    const std::vector<uint8_t> d = Captured();
    U3vConfiguration c;
    ASSERT_EQ(ParseU3vConfiguration(d.data(), d.size(), c), DescriptorResult::kU3vDevice);
    EXPECT_EQ(c.control.number, 0);
    EXPECT_EQ(c.control.bulkIn, 0x81);
    EXPECT_EQ(c.control.bulkOut, 0x01);
    EXPECT_TRUE(c.event.present);
    EXPECT_EQ(c.event.number, 1);
    EXPECT_EQ(c.event.bulkIn, 0x82);
    EXPECT_TRUE(c.stream.present);
    EXPECT_EQ(c.stream.bulkIn, 0x83);
    EXPECT_EQ(c.stream.maxPacketIn, 1024);
    ASSERT_TRUE(c.info.present);
    EXPECT_EQ(c.info.genCpVersion, 0x00010000u);
    EXPECT_EQ(c.info.u3vVersion, 0x00010000u);
    EXPECT_EQ(c.info.guidIndex, 6);
    EXPECT_EQ(c.info.modelNameIndex, 8);
    EXPECT_EQ(c.info.serialNumberIndex, 12);
    EXPECT_EQ(c.info.speedSupport, 4);
}

TEST(TessaDescriptor, RejectsOtherDevicesAndMalformedDescriptors) {
    const std::vector<uint8_t> good = Captured();
    U3vConfiguration c;
    struct Case {
        const char* name;
        size_t at;
        uint8_t value;
        DescriptorResult expected;
    };
    const Case cases[] = {
        {"other class", 22, 0x0E, DescriptorResult::kNotU3v},            // control interface class: video
        {"other subclass", 23, 0x01, DescriptorResult::kNotU3v},
        {"control without bulk out", 62, 0x03, DescriptorResult::kNotU3v},  // second endpoint: interrupt
        {"zero length descriptor", 9, 0x00, DescriptorResult::kMalformed},
        {"length past the end", 103, 0x40, DescriptorResult::kMalformed},
        {"not a configuration", 1, 0x01, DescriptorResult::kMalformed},
        {"total beyond data", 3, 0x10, DescriptorResult::kMalformed},
    };
    for (const Case& k : cases) {
        std::vector<uint8_t> d = good;
        ASSERT_LT(k.at, d.size()) << k.name;
        d[k.at] = k.value;
        EXPECT_EQ(ParseU3vConfiguration(d.data(), d.size(), c), k.expected) << k.name;
    }
    // An event interface without its bulk endpoint is dropped; the device stays usable.
    std::vector<uint8_t> d = good;
    d[84] = 0x03;
    ASSERT_EQ(ParseU3vConfiguration(d.data(), d.size(), c), DescriptorResult::kU3vDevice);
    EXPECT_FALSE(c.event.present);
    EXPECT_TRUE(c.stream.present);
    EXPECT_EQ(ParseU3vConfiguration(good.data(), 5, c), DescriptorResult::kMalformed);
    EXPECT_EQ(ParseU3vConfiguration(nullptr, 0, c), DescriptorResult::kMalformed);
}

TEST(TessaDescriptor, InstanceIdIsStableForACamera) {
    EXPECT_EQ(MakeLibusbInstanceId(0x2A9B, 0x0011, "A1234", "usb:2-1.4"), "USB\\VID_2A9B&PID_0011\\A1234");
    EXPECT_EQ(MakeLibusbInstanceId(0x2A9B, 0x0011, "", "usb:2-1.4"), "USB\\VID_2A9B&PID_0011\\usb:2-1.4");
}
