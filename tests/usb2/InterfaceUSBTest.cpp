// CInterfaceUSB and CDeviceUSBBase against simulated cameras: serial and firmware texts, the
// model table, list order across replugs, opening and the requests one enumeration costs.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "KovonSim/SimUsb2.h"
#include "system/TreeText.h"
#include "usb2/DeviceUSBBase.h"
#include "usb2/Ezusb.h"
#include "usb2/InterfaceUSB.h"
#include "usb2/ModelTable.h"

namespace {

using Kovon::CEzusb;
using Kovon::CInterfaceUSB;
using Serial = std::array<unsigned char, 6>;

// A serial whose text starts with the model's prefix: "SN_48115000001" style.
Serial SerialFor(const char* prefix, unsigned char tail) {
    const unsigned digits = static_cast<unsigned>(std::stoul(std::string(prefix + 3), nullptr, 16));
    return {static_cast<unsigned char>(digits >> 8),
            static_cast<unsigned char>(digits & 0xFF),
            0x05,
            0x00,
            0x00,
            tail};
}

class Usb2Cameras : public ::testing::Test {
protected:
    void SetUp() override { KovonSimUsb2_UnplugAll(); }
    void TearDown() override { KovonSimUsb2_UnplugAll(); }
    static void Plug(unsigned instance, const Serial& serial, unsigned short firmware = 0x1203,
                     unsigned short release = 0x0200) {
        ASSERT_EQ(KovonSimUsb2_Plug(instance, serial.data(), firmware, release), KOVON_SIM_OK);
    }
    std::vector<std::string> Names(CInterfaceUSB& interfaceUsb) {
        unsigned count = 0;
        EXPECT_EQ(interfaceUsb.GetNumDevices(count, 100), 0);
        std::vector<std::string> names;
        for (unsigned i = 0; i < count; ++i) {
            char name[256] = {};
            Lumora::u64 size = sizeof name;
            EXPECT_EQ(interfaceUsb.GetDeviceName(i, name, size), 0);
            names.emplace_back(name);
        }
        return names;
    }
    CInterfaceUSB usb;
};

TEST(InterfaceUSBText, GetASCII) {
    const std::pair<unsigned, char> table[] = {{0, '0'},  {1, '1'},  {9, '9'},   {10, 'A'},
                                               {15, 'F'}, {16, '0'}, {255, '0'}, {0xFFFFFFFF, '0'}};
    for (const auto& [value, digit] : table) EXPECT_EQ(CInterfaceUSB::GetASCII(value), digit) << value;
}

TEST_F(Usb2Cameras, SerialAndFirmwareTexts) {
    struct Case {
        Serial serial;
        unsigned short firmware;
        const char* serialText;
        const char* firmwareText;
    };
    const Case cases[] = {
        {{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, 0x1203, "SN_12346789ABC", "1.2.0.3"},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0x0000, "SN_00000000000", "0.0.0.0"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF, "SN_FFFFFFFFFFF", "15.15.15.15"},
        {{0x48, 0x11, 0xA5, 0x0F, 0xF0, 0x01}, 0x0059, "SN_481150FF001", "0.0.5.9"},
    };
    for (const Case& c : cases) {
        Plug(7, c.serial, c.firmware);
        CEzusb channel;
        ASSERT_TRUE(channel.Open("ZEDIVOXU-7"));
        char serial[16];
        Lumora::u64 serialSize = sizeof serial;
        ASSERT_TRUE(CInterfaceUSB::ReadSerialNum(channel, serial, serialSize));
        EXPECT_STREQ(serial, c.serialText);
        EXPECT_EQ(serialSize, 16u);
        char firmware[64];
        Lumora::u64 firmwareSize = sizeof firmware;
        ASSERT_TRUE(CInterfaceUSB::ReadFirmwareVersion(channel, firmware, firmwareSize));
        EXPECT_STREQ(firmware, c.firmwareText);
        KovonSimUsb2_Unplug(7);
    }
}

TEST_F(Usb2Cameras, SerialAndFirmwareReadFailures) {
    Plug(2, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
    CEzusb channel;
    ASSERT_TRUE(channel.Open("ZEDIVOXU-2"));
    char text[64];
    KovonSimUsb2Counters counters{};
    KovonSimUsb2_ResetCounters(2);
    struct Case {
        bool serial;
        Lumora::u64 size;
    };
    for (const Case& c : {Case{true, 15}, Case{true, 0}, Case{false, 7}}) {
        Lumora::u64 size = c.size;
        EXPECT_FALSE(c.serial ? CInterfaceUSB::ReadSerialNum(channel, text, size)
                              : CInterfaceUSB::ReadFirmwareVersion(channel, text, size));
        EXPECT_EQ(size, 0u);
    }
    KovonSimUsb2_GetCounters(2, &counters);
    EXPECT_EQ(counters.registerRequests, 0u);  // too small: the camera is not asked

    // Camera failures: the size is cleared as well.
    KovonSimUsb2_SetDisconnected(2, 1);
    Lumora::u64 size = sizeof text;
    EXPECT_FALSE(CInterfaceUSB::ReadSerialNum(channel, text, size));
    EXPECT_EQ(size, 0u);
    size = sizeof text;
    EXPECT_FALSE(CInterfaceUSB::ReadFirmwareVersion(channel, text, size));
    EXPECT_EQ(size, 0u);
}

TEST_F(Usb2Cameras, NoCameraListsNothing) {
    EXPECT_TRUE(Names(usb).empty());
    char name[64];
    Lumora::u64 size = sizeof name;
    EXPECT_EQ(usb.GetDeviceName(0, name, size), -1009);
    Lumora::IDevice* device = reinterpret_cast<Lumora::IDevice*>(&usb);
    EXPECT_EQ(usb.OpenDevice("RT-GA47E_SN_48115000001", device), -1009);
    EXPECT_EQ(device, nullptr);
}

TEST_F(Usb2Cameras, EveryModelOfTheTableIsListedWithItsClass) {
    const char* classes[] = {"CDeviceRTGA47E", "CDeviceRTGA46E", "CDeviceRTGB47E",  "CDeviceRTGC46E",
                             "CDeviceRTGC47E", "CDeviceRTGD48E", "CDeviceRTGE45E",  "CDeviceRTKA47E",
                             "CDeviceRTKA46E", "CDeviceRTKB47E", "CDeviceRTKC47E",  "CDeviceRTKD48E",
                             "CDeviceRTKE45E", "CDevicePQL582H", "CDeviceRTGA47EP", "CDeviceRTKA47EP"};
    for (unsigned i = 0; i < Kovon::kUsbModelCount; ++i)
        Plug(i, SerialFor(Kovon::kUsbModels[i].serialPrefix, 1));
    Plug(20, {0x49, 0x99, 0x05, 0, 0, 1});              // unknown prefix SN_4999
    Plug(21, SerialFor("SN_4811", 2), 0x1203, 0x0110);  // USB 1.1 descriptor
    Plug(22, SerialFor("SN_4811", 3), 0x1203, 0x0300);  // USB 3.0 descriptor
    const std::vector<std::string> names = Names(usb);
    ASSERT_EQ(names.size(), Kovon::kUsbModelCount);
    for (unsigned i = 0; i < Kovon::kUsbModelCount; ++i) {
        const Kovon::UsbModel& model = Kovon::kUsbModels[i];
        const std::string serial = std::string(model.serialPrefix) + "5000001";
        EXPECT_EQ(names[i], std::string(model.modelName) + "_" + serial);
        Lumora::IDevice* copy = nullptr;
        ASSERT_EQ(usb.GetDevice(names[i].c_str(), copy), 0);
        const std::string mangled = std::to_string(std::strlen(classes[i])) + classes[i] + "E";
        EXPECT_NE(std::string(typeid(*copy).name()).find(mangled), std::string::npos) << classes[i];
        EXPECT_EQ(Kovon::DeviceInfoText(copy, 4), model.modelName);
        EXPECT_EQ(Kovon::DeviceInfoText(copy, 7), serial);
        EXPECT_EQ(Kovon::DeviceInfoText(copy, 10), "ZEDIVOXU-" + std::to_string(i));
        copy->Release();
    }
}

TEST_F(Usb2Cameras, ListOrderFollowsPlugOrder) {
    const Serial a = SerialFor("SN_4811", 0xA), b = SerialFor("SN_4852", 0xB);
    const std::string nameA = "RT-GA47E_SN_4811500000A", nameB = "RT-KA46E_SN_4852500000B";
    Plug(3, a);
    EXPECT_EQ(Names(usb), (std::vector<std::string>{nameA}));
    Plug(1, b);  // a lower instance, but later: listed after A
    EXPECT_EQ(Names(usb), (std::vector<std::string>{nameA, nameB}));
    EXPECT_EQ(Names(usb), (std::vector<std::string>{nameA, nameB}));
    KovonSimUsb2_Unplug(3);
    EXPECT_EQ(Names(usb), (std::vector<std::string>{nameB}));
    Plug(3, a);  // replugged: behind the camera that stayed
    EXPECT_EQ(Names(usb), (std::vector<std::string>{nameB, nameA}));
    KovonSimUsb2_Unplug(1);
    KovonSimUsb2_Unplug(3);
    Plug(0, a);  // the same camera on another instance is a new entry
    Plug(5, b);
    EXPECT_EQ(Names(usb), (std::vector<std::string>{nameA, nameB}));
}

TEST_F(Usb2Cameras, OpeningIsExclusive) {
    Plug(4, SerialFor("SN_4811", 1));
    const char* name = "RT-GA47E_SN_48115000001";
    unsigned count = 0;
    ASSERT_EQ(usb.GetNumDevices(count, 0), 0);
    KovonSimUsb2_PokeRegister(4, 0x454, 0);

    Lumora::IDevice* first = nullptr;
    ASSERT_EQ(usb.OpenDevice(name, first), 0);
    ASSERT_NE(first, nullptr);
    unsigned short stop = 0;
    KovonSimUsb2_PeekRegister(4, 0x454, &stop);
    EXPECT_EQ(stop, 1);  // the camera starts idle

    Lumora::IDevice* second = first;
    EXPECT_EQ(usb.OpenDevice(name, second), -1001);
    EXPECT_EQ(second, nullptr);

    // A second interface (another object in the same process) finds the named mutex taken and
    // leaves its out pointer alone.
    CInterfaceUSB other;
    Lumora::IDevice* untouched = reinterpret_cast<Lumora::IDevice*>(&other);
    EXPECT_EQ(other.OpenDevice(name, untouched), -1001);
    EXPECT_EQ(untouched, reinterpret_cast<Lumora::IDevice*>(&other));

    // An info copy of an open camera carries the open object's texts and opens nothing.
    Lumora::IDevice* copy = nullptr;
    ASSERT_EQ(usb.GetDevice(name, copy), 0);
    EXPECT_NE(copy, first);
    EXPECT_EQ(Kovon::DeviceInfoText(copy, 1), name);
    EXPECT_EQ(Kovon::DeviceInfoText(copy, 0), "1.2.0.3");
    copy->Release();
    EXPECT_EQ(usb.OpenDevice(name, second), -1001);  // still open

    first->Release();
    ASSERT_EQ(other.OpenDevice(name, untouched), 0);
    untouched->Release();
    ASSERT_EQ(usb.OpenDevice(name, second), 0);
    // Releasing the interface releases its opened device (and frees the camera).
}

TEST_F(Usb2Cameras, EnumerationCostsExactlyTheDescribedRequests) {
    const unsigned cameras = 16, opened = 4;
    for (unsigned i = 0; i < cameras; ++i) Plug(i * 4, SerialFor("SN_4820", static_cast<unsigned char>(i)));
    const std::vector<std::string> names = Names(usb);
    ASSERT_EQ(names.size(), cameras);
    std::vector<Lumora::IDevice*> devices(opened);
    for (unsigned i = 0; i < opened; ++i) ASSERT_EQ(usb.OpenDevice(names[i].c_str(), devices[i]), 0);

    KovonSimUsb2_ResetTraffic();
    for (unsigned i = 0; i < cameras; ++i) KovonSimUsb2_ResetCounters(i * 4);
    unsigned count = 0;
    ASSERT_EQ(usb.GetNumDevices(count, 0), 0);
    EXPECT_EQ(count, cameras);

    KovonSimUsb2Traffic traffic{};
    KovonSimUsb2_GetTraffic(&traffic);
    const unsigned closed = cameras - opened;
    EXPECT_EQ(traffic.openAttempts, 64u + closed);
    EXPECT_EQ(traffic.opens, cameras + closed);
    EXPECT_EQ(traffic.descriptorRequests, cameras + closed);
    EXPECT_EQ(traffic.registerRequests, 4u * closed);  // three serial words and the firmware word
    EXPECT_EQ(traffic.bulkReads + traffic.aborts, 0u);
    for (unsigned i = 0; i < cameras; ++i) {
        KovonSimUsb2Counters c{};
        KovonSimUsb2_GetCounters(i * 4, &c);
        const bool isOpen = i < opened;
        EXPECT_EQ(c.opens, isOpen ? 1u : 2u) << i;
        EXPECT_EQ(c.descriptorRequests, isOpen ? 1u : 2u) << i;
        EXPECT_EQ(c.registerRequests, isOpen ? 0u : 4u) << i;
    }
    for (Lumora::IDevice* device : devices) device->Release();
}

TEST_F(Usb2Cameras, CamerasThatFailToAnswerAreSkipped) {
    Plug(0, SerialFor("SN_4811", 1));
    Plug(1, SerialFor("SN_4812", 2));
    Plug(2, SerialFor("SN_4820", 3));
    KovonSimUsb2_FailRequests(0, 1000);  // serial read fails after five attempts
    KovonSimUsb2_SetDisconnected(1, 1);  // does not open
    EXPECT_EQ(Names(usb), (std::vector<std::string>{"RT-GB47E_SN_48205000003"}));
}

TEST_F(Usb2Cameras, InterfaceParameters) {
    struct Case {
        Lumora::u64 id;
        int status;
        const char* text;
    };
    const Case cases[] = {{1, 0, "Interface_USB"}, {2, 0, "USB"},  {3, 0, "Tarvek USB2.0 Camera"},
                          {5, 0, "Custom"},        {4, -1009, ""}, {0, -1009, ""},
                          {6, -1009, ""}};
    for (const Case& c : cases) {
        char text[64] = {};
        Lumora::u64 size = sizeof text;
        EXPECT_EQ(usb.GetParam(c.id, text, size), c.status) << c.id;
        EXPECT_STREQ(text, c.text);
    }
    char small[4];
    Lumora::u64 size = sizeof small;
    EXPECT_EQ(usb.GetParam(1, small, size), -1009);
    EXPECT_EQ(usb.SetParam(1, small, size), -1001);
    EXPECT_EQ(usb.Share(), static_cast<unsigned>(-1001));
}

// The host's vendor:product pairs: a whole NUL-terminated text or nothing changes.
TEST_F(Usb2Cameras, UsbIdParameterTakesWholeTextsOnly) {
    auto set = [&](const std::string& text, Lumora::u64 size) {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        return usb.SetParam(CInterfaceUSB::kUsbIdsParam, buffer.data(), size);
    };
    auto get = [&] {
        char text[128] = {};
        Lumora::u64 size = sizeof text;
        EXPECT_EQ(usb.GetParam(CInterfaceUSB::kUsbIdsParam, text, size), 0);
        EXPECT_EQ(size, std::strlen(text) + 1);
        return std::string(text);
    };
    ASSERT_EQ(set("04B4:8613,1a2b:0001,04b4:8613", 30), 0);
    EXPECT_EQ(get(), "04b4:8613,1a2b:0001");
    // Malformed texts, and sizes that do not end on the text's NUL, change nothing.
    const std::pair<std::string, Lumora::u64> refused[] = {
        {"04b4:861", 9},   {"04b4-8613", 10}, {"04b4:8613,", 11}, {"04b4:8613 ", 11},
        {"x4b4:8613", 10}, {"04b4:8613", 9},  {"04b4:8613", 0},   {"04b4:8613", 11}};
    for (const auto& [text, size] : refused) EXPECT_EQ(set(text, size), -1009) << text << " / " << size;
    EXPECT_EQ(usb.SetParam(CInterfaceUSB::kUsbIdsParam, nullptr, *std::make_unique<Lumora::u64>(10)), -1009);
    EXPECT_EQ(get(), "04b4:8613,1a2b:0001");
    char small[8];
    Lumora::u64 size = sizeof small;
    EXPECT_EQ(usb.GetParam(CInterfaceUSB::kUsbIdsParam, small, size), -1009);
    // The empty text withdraws the host's pairs.
    ASSERT_EQ(set("", 1), 0);
    EXPECT_EQ(get(), "");
}

TEST_F(Usb2Cameras, DeviceInformationAndStream) {
    Plug(9, SerialFor("SN_4811", 1), 0x0105);
    const char* name = "RT-GA47E_SN_48115000001";
    Lumora::IDevice* device = nullptr;
    ASSERT_EQ(usb.OpenDevice(name, device), 0);

    struct Case {
        Lumora::u64 id;
        const char* text;
    };
    const Case texts[] = {{0, "0.1.0.5"},
                          {1, name},
                          {2, "4.7.0.0"},
                          {3, "Tarvek Co., LTD"},
                          {4, "RT-GA47E"},
                          {7, "SN_48115000001"},
                          {8, "Local:RT-GA47E.xml;700;0"},
                          {10, "ZEDIVOXU-9"},
                          {13, "Custom"}};
    for (const Case& c : texts) EXPECT_EQ(Kovon::DeviceInfoText(device, c.id), c.text) << c.id;
    EXPECT_EQ(Kovon::DeviceInfoText(device, 5).rfind("TARVEK URL:", 0), 0u);

    for (const std::pair<Lumora::u64, uint32_t>& number : {std::pair<Lumora::u64, uint32_t>{6, 0}, {9, 1}}) {
        uint32_t value = 0xEEEEEEEE;
        Lumora::u64 size = sizeof value;
        EXPECT_EQ(device->GetInfo(number.first, &value, size), 0);
        EXPECT_EQ(value, number.second);
        EXPECT_EQ(size, 4u);
    }
    uint64_t untouched = 0x1122334455667788;
    Lumora::u64 size = 1;
    EXPECT_EQ(device->GetInfo(11, &untouched, size), 0);
    EXPECT_EQ(untouched, 0x1122334455667788u);
    EXPECT_EQ(size, 1u);
    for (Lumora::u64 id : {12u, 14u, 100u}) EXPECT_EQ(device->GetInfo(id, &untouched, size), -1003) << id;
    char small[4];
    size = sizeof small;
    EXPECT_EQ(device->GetInfo(1, small, size), -1009);
    EXPECT_EQ(device->RegisterEventCallBack(nullptr, nullptr), 0);
    EXPECT_EQ(device->Share(), 0u);

    unsigned count = 0;
    ASSERT_EQ(device->GetNumStreams(count), 0);
    EXPECT_EQ(count, 1u);
    char stream[16] = {};
    size = sizeof stream;
    EXPECT_EQ(device->GetStreamName(0, stream, size), 0);
    EXPECT_STREQ(stream, "DS0");
    size = sizeof stream;
    EXPECT_EQ(device->GetStreamName(1, stream, size), -1009);
    Lumora::IStream* opened = nullptr;
    Lumora::IStream* again = nullptr;
    Lumora::IStream* missing = reinterpret_cast<Lumora::IStream*>(device);
    ASSERT_EQ(device->OpenStream(0, opened), 0);
    ASSERT_EQ(device->OpenStream(0, again), 0);  // an info copy of the open stream
    EXPECT_NE(again, opened);
    EXPECT_EQ(device->OpenStream(1, missing), -1009);
    EXPECT_EQ(missing, nullptr);
    again->Release();
    ASSERT_EQ(device->GetNumStreams(count), 0);
    EXPECT_EQ(count, 1u);
    device->Release();  // releases the opened stream with it
}

}  // namespace
