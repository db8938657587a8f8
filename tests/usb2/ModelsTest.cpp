// The sixteen model classes: their constants and descriptions, the "PQ-L582H" firmware rule, the
// 752-column models' own conversions and exposure limit, and the "-P" gain.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <typeinfo>

#include "platform/Resources.h"
#include "usb2/Models.h"
#include "usb2/Usb2DeviceFixture.h"

namespace {

using Kovon::Test::Usb2DeviceTest;

struct ModelCase {
    const char* model;
    const std::type_info& type;
    uint32_t width, height;
    float clock;  // 0: the exposure is carried in rows, not clock ticks
    float exposureTimeMax;
    int description;
};

const ModelCase kModels[] = {
    {"RT-GA47E", typeid(Kovon::CDeviceRTGA47E), 1280, 960, 39.3f, 39793.62f, 108},
    {"RT-GA46E", typeid(Kovon::CDeviceRTGA46E), 1280, 1024, 28.7f, 65450.598f, 107},
    {"RT-GB47E", typeid(Kovon::CDeviceRTGB47E), 1024, 768, 30.0f, 33207.184f, 114},
    {"RT-GC46E", typeid(Kovon::CDeviceRTGC46E), 1024, 768, 30.0f, 33207.184f, 111},
    {"RT-GC47E", typeid(Kovon::CDeviceRTGC47E), 640, 480, 27.898f, 14068.455f, 112},
    {"RT-GD48E", typeid(Kovon::CDeviceRTGD48E), 752, 480, 0.0f, 0.0f, 113},
    {"RT-GE45E", typeid(Kovon::CDeviceRTGE45E), 1024, 768, 30.0f, 33207.184f, 110},
    {"RT-KA47E", typeid(Kovon::CDeviceRTKA47E), 1280, 1024, 28.7f, 65450.598f, 116},
    {"RT-KA46E", typeid(Kovon::CDeviceRTKA46E), 1280, 1024, 28.7f, 65450.598f, 115},
    {"RT-KB47E", typeid(Kovon::CDeviceRTKB47E), 1280, 1024, 28.7f, 65450.598f, 121},
    {"RT-KC47E", typeid(Kovon::CDeviceRTKC47E), 1280, 1024, 28.7f, 65450.598f, 104},
    {"RT-KD48E", typeid(Kovon::CDeviceRTKD48E), 752, 480, 0.0f, 0.0f, 120},
    {"RT-KE45E", typeid(Kovon::CDeviceRTKE45E), 1280, 1024, 28.7f, 65450.598f, 118},
    {"PQ-L582H", typeid(Kovon::CDevicePQL582H), 1280, 960, 40.0f, 38371.332f, 106},
    {"RT-GA47E-P", typeid(Kovon::CDeviceRTGA47EP), 1280, 960, 40.0f, 38371.332f, 109},
    {"RT-KA47E-P", typeid(Kovon::CDeviceRTKA47EP), 1280, 960, 40.0f, 38371.332f, 117},
};

std::string HexLength(size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", n);
    return text;
}

TEST_F(Usb2DeviceTest, EveryModelHasItsConstantsAndDescription) {
    for (const ModelCase& m : kModels) {
        SCOPED_TRACE(m.model);
        Open(m.model);
        EXPECT_EQ(typeid(*device), m.type);
        EXPECT_EQ(Get(0x100), m.width);
        EXPECT_EQ(Get(0x104), m.height);
        EXPECT_EQ(CachedF(0x31C), m.exposureTimeMax);
        if (m.clock != 0.0f) {
            ASSERT_EQ(SetF(0x30C, 1000.0f), 0);
            EXPECT_EQ(Peek32(0x482), static_cast<uint32_t>(m.clock * 1000.0f));
        }
        const uint32_t narrowX[] = {7, 15, 31, 63, 127, 255, 511, 1023};
        const uint32_t wideX[] = {127, 255, 511, 1023, 2047, 4094, 8190, 16383};
        for (unsigned i = 0; i < 8; ++i)
            EXPECT_EQ(Cached(0x360 + 4 * i), m.width == 752 ? narrowX[i] : wideX[i]) << i;

        // The block is the resource's text followed by zeros, and the location gives its length.
        const Kovon::Platform::Resource resource = Kovon::Platform::FindResource("DEVREGS", m.description);
        ASSERT_TRUE(resource);
        const size_t block = Kovon::CDeviceUSBBase::DescriptionBlockSize(resource.size);
        std::vector<uint8_t> bytes(block + 8, 0xEE);
        Lumora::u64 size = bytes.size();
        ASSERT_EQ(device->GetParam(0x700, bytes.data(), size), 0);
        ASSERT_EQ(size, block);
        EXPECT_EQ(std::memcmp(bytes.data(), resource.data, resource.size), 0);
        for (size_t i = resource.size; i < block; ++i) ASSERT_EQ(bytes[i], 0) << i;
        char location[64] = {};
        size = sizeof location;
        ASSERT_EQ(device->GetInfo(8, location, size), 0);
        EXPECT_EQ(std::string(location), std::string("Local:") + m.model + ".xml;700;" + HexLength(block));
        device.reset();
        KovonSimUsb2_UnplugAll();
    }
}

TEST_F(Usb2DeviceTest, PQL582HDescriptionDependsOnTheWholeFirmwareText) {
    const std::pair<const char*, int> cases[] = {{"0.0.5.6", 105}, {"0.0.5.9", 106}, {"0.0.6.0", 0},
                                                 {"0.0.5.60", 0},  {"0.0.5", 0},     {"", 0}};
    for (const auto& [firmware, description] : cases) {
        SCOPED_TRACE(firmware);
        Open("PQ-L582H", firmware);
        size_t expected = 0;
        if (description != 0) {
            const Kovon::Platform::Resource resource = Kovon::Platform::FindResource("DEVREGS", description);
            ASSERT_TRUE(resource);
            expected = Kovon::CDeviceUSBBase::DescriptionBlockSize(resource.size);
        }
        Lumora::u64 size = 0;
        ASSERT_EQ(device->GetParam(0x700, nullptr, size), 0);
        EXPECT_EQ(size, expected);
        char location[64] = {};
        size = sizeof location;
        ASSERT_EQ(device->GetInfo(8, location, size), 0);
        EXPECT_EQ(std::string(location), "Local:PQ-L582H.xml;700;" + HexLength(expected));
        device.reset();
        KovonSimUsb2_UnplugAll();
    }
}

TEST_F(Usb2DeviceTest, ColourNarrowModelIsTheMonochromeOneWithAnotherDescription) {
    Open("RT-KD48E");
    EXPECT_NE(dynamic_cast<Kovon::CDeviceRTGD48E*>(device.get()), nullptr);
    Lumora::u64 size = 0;
    ASSERT_EQ(device->GetParam(0x700, nullptr, size), 0);
    EXPECT_EQ(size, Kovon::CDeviceUSBBase::DescriptionBlockSize(
                        Kovon::Platform::FindResource("DEVREGS", 120).size));
}

// ---------------------------------------------------------------------------------------------
// The 752-column models.

class NarrowModel : public Usb2DeviceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NarrowModel, RowTimeFollowsTheWidthAndTheTriggerMode) {
    Open(GetParam());
    Poke(0x482, 1);  // one row: GetParam(ExposureTime) gives the row time itself
    struct Case {
        uint32_t width;
        uint32_t triggerMode;
        float rowTime;
    };
    const Case cases[] = {
        {752, 0, 31.28f}, {736, 0, 30.69f}, {624, 0, 25.95f}, {576, 0, 25.95f},
        {576, 1, 31.28f}, {0, 0, 25.95f},  // 47 entries removed: held at the table's last entry
        {900, 0, 31.28f},                  // wider than WidthMax: the full-width entry
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SetCache(0x108, c.width), 0);
        ASSERT_EQ(SetCache(0x204, c.triggerMode), 0);
        EXPECT_EQ(GetF(0x30C), c.rowTime) << c.width << " columns, trigger mode " << c.triggerMode;
    }
}

TEST_P(NarrowModel, ExposureLimitInRowsFollowsGeometryAndTrigger) {
    Open(GetParam());
    ASSERT_EQ(SetCache(0x10C, 480), 0);
    EXPECT_EQ(Set(0x108, 752), 0);
    EXPECT_EQ(Peek(0x434), 752);
    EXPECT_EQ(Peek(0x558), 532);
    auto* narrow = static_cast<Kovon::CDeviceRTGD48E*>(device.get());
    EXPECT_EQ(narrow->ExposureLimitRows(), 532u);
    EXPECT_EQ(GetF(0x31C), 31.28f * 532.0f);

    // An exposure above the limit is pulled under it on the camera; the cache keeps its value.
    ASSERT_EQ(SetCacheF(0x30C, 20000.0f), 0);
    Poke(0x482, 999);
    EXPECT_EQ(GetF(0x31C), 31.28f * 532.0f);
    EXPECT_EQ(Peek(0x482), 532);
    EXPECT_EQ(CachedF(0x30C), 20000.0f);

    EXPECT_EQ(Set(0x204, 1), 0);
    EXPECT_EQ(Peek(0x462), 1);
    EXPECT_EQ(Peek(0x558), 31970);
    EXPECT_EQ(GetF(0x31C), 31.28f * 31970.0f);

    // A failed limit write does not change the status of the width write.
    FailRegister(0x558);
    EXPECT_EQ(Set(0x10C, 240), 0);
    EXPECT_EQ(Peek(0x436), 240);
    // Height is handled too: back out of trigger mode, the new height gives a new limit.
    ASSERT_EQ(Set(0x204, 0), 0);
    EXPECT_EQ(Peek(0x558), 31970u / static_cast<uint32_t>(1000000.0f / (31.28f * 52.0f + 7507.0f) + 0.5f));
}

TEST_P(NarrowModel, OwnConversions) {
    Open(GetParam());
    struct IntCase {
        uint64_t address;
        uint32_t value;
        uint16_t reg;
        uint16_t regBack;
        uint32_t valueBack;
    };
    const IntCase ints[] = {
        {0x300, 100, 0x408, 64, 96}, {0x300, 0, 0x408, 16, 0}, {0x110, 0, 0x438, 1, 0},
        {0x110, 6, 0x438, 7, 6},     {0x114, 2, 0x43A, 4, 0},  {0x304, 50, 0x40A, 529, 50},
    };
    const uint16_t written[] = {64, 16, 1, 7, 6, 529};
    for (size_t i = 0; i < std::size(ints); ++i) {
        const IntCase& c = ints[i];
        SCOPED_TRACE(testing::Message() << std::hex << c.address << " = " << std::dec << c.value);
        EXPECT_EQ(Set(c.address, c.value), 0);
        EXPECT_EQ(Peek(c.reg), written[i]);
        Poke(c.reg, c.regBack);
        EXPECT_EQ(Get(c.address), c.valueBack);
    }
    Poke(0x438, 0);
    EXPECT_EQ(Get(0x110), 0xFFFFFFFFu);  // register − 1 in unsigned 32-bit arithmetic

    EXPECT_EQ(SetF(0x210, 100.0f), 0);
    EXPECT_EQ(Peek32(0x468), 2702u);
    EXPECT_EQ(GetF(0x210), 100.0f);
    EXPECT_EQ(SetF(0x260, 100.0f), 0);
    EXPECT_EQ(Peek(0x478), 168);
    EXPECT_EQ(GetF(0x260), 99.0f);
    EXPECT_EQ(SetF(0x264, 10.0f), 0);
    EXPECT_EQ(Peek(0x47A), 16);
    EXPECT_EQ(GetF(0x264), 9.0f);  // 9.472 + 0.5

    ASSERT_EQ(SetCache(0x108, 752), 0);
    EXPECT_EQ(SetF(0x30C, 1000.0f), 0);
    EXPECT_EQ(Peek(0x482), 32);  // 1000 / 31.28 + 0.5
    EXPECT_EQ(Peek(0x484), 0) << "the exposure is one register wide on these models";
    EXPECT_EQ(GetF(0x30C), 31.28f * 32.0f);
    EXPECT_EQ(SetF(0x31C, 5.0f), 0);  // the cache only
    EXPECT_EQ(CachedF(0x31C), 5.0f);
}

INSTANTIATE_TEST_SUITE_P(Both, NarrowModel, ::testing::Values("RT-GD48E", "RT-KD48E"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return std::string(p.param).substr(3, 2);
                         });

// ---------------------------------------------------------------------------------------------
// The "-P" gain.

class PModel : public Usb2DeviceTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(PModel, GainUsesItsOwnFactor) {
    Open(GetParam());
    EXPECT_EQ(Set(0x300, 100), 0);
    EXPECT_EQ(Peek(0x408), 721);
    EXPECT_EQ(Set(0x300, 0), 0);
    EXPECT_EQ(Peek(0x408), 150);
    Poke(0x408, 721);
    EXPECT_EQ(Get(0x300), 100u);
    Poke(0x408, 100);
    EXPECT_EQ(Get(0x300), 0u);
    FailRegister(0x408);
    EXPECT_EQ(Get(0x300), 0xEEEEEEEEu);
    ASSERT_EQ(SetCache(0x300, 42), 0);
    EXPECT_EQ(Cached(0x300), 42u);
    // Everything else is the base's: c = 40 MHz.
    EXPECT_EQ(SetF(0x30C, 1000.0f), 0);
    EXPECT_EQ(Peek32(0x482), 40000u);
}

INSTANTIATE_TEST_SUITE_P(Both, PModel, ::testing::Values("RT-GA47E-P", "RT-KA47E-P"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return std::string(p.param).substr(3, 2);
                         });

}  // namespace
