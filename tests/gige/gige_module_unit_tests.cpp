// The GigE Vision interface, device and stream in pieces: the status tables, the address and
// location texts, the identity built from a discovery record, the copy table, and the interface
// with a camera-index table of its own (so that exact indices can be checked whatever other
// processes hold) against simulated cameras on 127.0.0.5 to 127.0.0.7.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PelionTestCamera.h"
#include "gige/DescriptionLocation.h"
#include "gige/DeviceGigEBase.h"
#include "gige/DottedAddress.h"
#include "gige/GigEIdentity.h"
#include "gige/GigEStatus.h"
#include "gige/InterfaceGigE.h"
#include "gige/StreamGigEBase.h"
#include "platform/CameraIndexTable.h"
#include "sim/gige/GigECameraServer.h"
#include "sim/gige/GigECameraXml.h"

namespace {

using namespace Kovon;
using Lumora::IDevice;
using Lumora::u64;

TEST(GigEStatusMap, EachCallKindHasItsTable) {
    struct Case {
        GigECall call;
        Pelion::Status status;
        int expected;
    };
    const Case cases[] = {
        {GigECall::Register, 0x0000, 0},       {GigECall::Register, 0xC001, -1002},
        {GigECall::Register, 0x8003, -1015},   {GigECall::Register, 0x8006, -1005},
        {GigECall::Register, 0xC008, -1011},   {GigECall::Register, 0xC020, -1001},
        {GigECall::Memory, 0xC008, -1011},     {GigECall::Memory, 0x8003, -1001},
        {GigECall::Memory, 0xC001, -1002},     {GigECall::Setting, 0xC020, -1003},
        {GigECall::Setting, 0xC008, -1011},    {GigECall::Setting, 0x8006, -1001},
        {GigECall::SettingRead, 0xC001, -1002}, {GigECall::SettingRead, 0xC008, -1001},
        {GigECall::EventOpen, 0xC00D, -1003},  {GigECall::EventOpen, 0xC008, -1001},
        {GigECall::EventClose, 0xC00D, -1001}, {GigECall::LongCommand, 0xC008, -1001},
        {GigECall::ForceIp, 0xC008, -1011},    {GigECall::ForceIp, 0xC001, -1002},
        {GigECall::ForceIp, 0x8006, -1001},    {GigECall::ForceIp, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MapGigEStatus(c.call, c.status), c.expected)
            << "call " << static_cast<int>(c.call) << " status 0x" << std::hex << c.status;
}

TEST(DottedAddress, TokenizeAndParse) {
    std::vector<std::string> tokens;
    Tokenize("..10..0.1.", tokens, ".");
    EXPECT_EQ(tokens, (std::vector<std::string>{"10", "0", "1"}));
    tokens.clear();
    Tokenize("...", tokens, ".");
    EXPECT_TRUE(tokens.empty());

    struct Case {
        const char* text;
        bool valid;
        uint32_t value;
    };
    const Case cases[] = {
        {"192.168.1.10", true, 0xC0A8010A}, {"0.0.0.0", true, 0},          {"255.255.255.255", true, 0xFFFFFFFF},
        {"10..1.2.3", true, 0x0A010203},    {".1.2.3.4.", true, 0x01020304}, {"1.2.3.256", false, 0},
        {"1.2.3.300", false, 0},            {"1.2.3", false, 0},           {"1.2.3.4.5", false, 0},
        {"1.2.x.4", false, 0},              {"1.2.3.-4", false, 0},        {"", false, 0},
        {"1.2.3.0004", false, 0},           {" 1.2.3.4", false, 0},
    };
    for (const Case& c : cases) {
        const auto parsed = ParseDottedAddress(c.text);
        EXPECT_EQ(parsed.has_value(), c.valid) << c.text;
        if (parsed) {
            EXPECT_EQ(*parsed, c.value) << c.text;
        }
    }
    EXPECT_EQ(FormatDottedAddress(0xC0A8010A), "192.168.1.10");
}

TEST(DescriptionLocationText, ParsesTheLocalForm) {
    struct Case {
        const char* url;
        bool valid;
        uint64_t address;
        uint32_t length;
    };
    const Case cases[] = {
        {"Local:cam.xml;10000;1a2b", true, 0x10000, 0x1A2B},
        {"LOCAL:cam.xml;10000;1A2B", true, 0x10000, 0x1A2B},
        {"local:x;0;4", true, 0, 4},
        {"Local:x;10000;0", false, 0, 0},                  // nothing to read
        {"Local:x;10000", false, 0, 0},                    // no length
        {"Local:x;10000;", false, 0, 0},
        {"Local:x;1g000;10", false, 0, 0},                 // not hexadecimal
        {"Local:x;FFFFFFF0;20", false, 0, 0},              // runs past the address space
        {"Local:x;10000;1000001", false, 0, 0},            // larger than any description we fetch
        {"File:///x.xml", false, 0, 0},
        {"http://example.com/x.xml", false, 0, 0},
        {"Local", false, 0, 0},
    };
    for (const Case& c : cases) {
        const auto parsed = ParseDescriptionLocation(c.url);
        EXPECT_EQ(parsed.has_value(), c.valid) << c.url;
        if (parsed) {
            EXPECT_EQ(parsed->address, c.address) << c.url;
            EXPECT_EQ(parsed->length, c.length) << c.url;
        }
    }
}

Pelion::CameraRecord Record(const char* model, const char* serial) {
    Pelion::CameraRecord r{};
    const uint8_t ip[4] = {192, 168, 1, 10};
    std::memcpy(r.ip, ip, 4);
    std::strcpy(r.model, model);
    std::strcpy(r.deviceVersion, "V1.2");
    std::strcpy(r.serial, serial);
    std::strcpy(r.userName, "left");
    std::strcpy(r.hostInterface, "eth7");
    r.hostAddress = htonl(0xC0A80101);
    r.hostMask = htonl(0xFFFFFF00);
    const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0xC3, 0xD4, 0xE5};
    std::memcpy(r.mac, mac, 6);
    return r;
}

std::string Info(IDevice& device, u64 id) {
    char text[512] = {};
    u64 size = sizeof text;
    return device.GetInfo(id, text, size) == 0 ? std::string(text) : "<error>";
}

TEST(GigEIdentityTexts, BuiltFromTheDiscoveryRecord) {
    const auto a = IdentityFromRecord(Record("ZRA-GE500", "1"));
    const auto b = IdentityFromRecord(Record("ZRA-GE500", "2"));
    EXPECT_EQ(a.deviceName, "ZRA-GE500_SN_1");
    EXPECT_EQ(b.deviceName, "ZRA-GE500_SN_2");
    EXPECT_EQ(a.serialNumber, "SN_1");
    EXPECT_EQ(a.deviceVersion, "V1.2");
    EXPECT_EQ(a.vendorName, "Tarvek Co., LTD");

    // Fields filled to the brim end at their capacity.
    Pelion::CameraRecord full = Record("x", "y");
    std::memset(full.model, 'M', sizeof full.model);
    std::memset(full.serial, 'S', sizeof full.serial);
    std::memset(full.hostInterface, 'I', sizeof full.hostInterface);
    const auto texts = IdentityFromRecord(full);
    EXPECT_EQ(texts.modelName, std::string(32, 'M'));
    EXPECT_EQ(texts.serialNumber, "SN_" + std::string(16, 'S'));
    const auto connection = ConnectionFromRecord(full);
    EXPECT_EQ(std::string(connection.hostInterface), std::string(259, 'I'));

    const auto c = ConnectionFromRecord(Record("m", "s"));
    EXPECT_EQ(c.cameraIp[0], 192);
    EXPECT_EQ(c.cameraIp[3], 10);
    EXPECT_EQ(c.port, 0u);
    EXPECT_EQ(ntohl(c.hostAddress), 0xC0A80101u);
    EXPECT_STREQ(c.hostInterface, "eth7");

    const std::pair<uint8_t, int32_t> access[] = {{0, 1}, {1, 3}, {2, 1000}, {3, 0}, {255, 0}};
    for (const auto& [code, value] : access) EXPECT_EQ(AccessValue(code), value) << int(code);
}

TEST(GigEDeviceInfo, IdsOfAnInfoObject) {
    const auto record = Record("ZRA-GE500", "77");
    CDeviceGigEBase device(nullptr, nullptr, IdentityFromRecord(record), ConnectionFromRecord(record), record, 9, 3);
    EXPECT_EQ(Info(device, 14), "192.168.1.10");
    u64 size = 0;
    ASSERT_EQ(device.GetInfo(14, nullptr, size), 0);
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(Info(device, 15), "00:1A:2B:C3:D4:E5");
    EXPECT_EQ(Info(device, 16), "left");
    EXPECT_EQ(Info(device, 13), "GEV");
    EXPECT_EQ(Info(device, 8), "");  // nothing read yet
    uint8_t index = 0;
    size = 1;
    ASSERT_EQ(device.GetInfo(11, &index, size), 0);
    EXPECT_EQ(index, 9);
    uint32_t word = 7;
    size = 4;
    ASSERT_EQ(device.GetInfo(6, &word, size), 0);
    EXPECT_EQ(word, 0u);
    ASSERT_EQ(device.GetInfo(9, &word, size), 0);
    EXPECT_EQ(word, 3u);
    EXPECT_EQ(device.GetInfo(17, &word, size), -1003);
    char small[12];
    size = sizeof small;
    EXPECT_EQ(device.GetInfo(14, small, size), -1009);
    EXPECT_EQ(size, sizeof small);
    // Never opened: no camera is reached, whatever its index names.
    size = 4;
    EXPECT_EQ(device.GetParam(0xA004, &word, size), -1002);
    EXPECT_EQ(device.SetParam(0xA004, &word, size), -1002);
    EXPECT_EQ(device.SetParam(0x10000010, &word, size), -1009);  // no stream to forward to
}

TEST(GigEStreamCopyTable, BytesPerFormat) {
    struct Case {
        uint32_t format;
        uint64_t bytes;  // for 10 x 4 pixels
    };
    const Case cases[] = {
        {0x01080001, 40},  {0x01080008, 40},  {0x0108000B, 40},  {0x01100003, 80},  {0x01100005, 80},
        {0x0110000C, 80},  {0x01100013, 80},  {0x0210001F, 80},  {0x02100032, 80},  {0x010C0004, 60},
        {0x010C0006, 60},  {0x010C0026, 60},  {0x010C002D, 60},  {0x02180014, 120}, {0x01100007, 0},
        {0x02180015, 0},   {0x0108000C, 0},   {0x01100014, 0},   {0, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(CStreamGigEBase::CopySize(c.format, 10, 4), c.bytes) << std::hex << c.format;
    EXPECT_EQ(CStreamGigEBase::CopySize(0x010C0006, 11, 1), 15u);  // odd width: whole pairs only
    EXPECT_EQ(CStreamGigEBase::CopySize(0x02180014, 0xFFFFFFFF, 0xFFFFFFFF), 3 * 0xFFFFFFFEull * 0xFFFFFFFFull + 3 * 0xFFFFFFFFull);
}

TEST(GigEStreamInfoCopy, NeverStreams) {
    CStreamGigEBase stream;
    EXPECT_EQ(stream.Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0), -1001);
    EXPECT_TRUE(stream.CloseStream());  // closed: nothing to do
    uint32_t ready = 9;
    u64 size = 4;
    EXPECT_EQ(stream.GetParam(3, &ready, size), 0);  // no events: no waiting
    EXPECT_EQ(ready, 0u);
    size = 2;
    EXPECT_EQ(stream.GetParam(3, &ready, size), -1009);
    EXPECT_EQ(stream.GetImage(nullptr, 0), 0);  // the last status, counted
    uint8_t pixel = 0;
    EXPECT_EQ(stream.GetImage(&pixel, 0), -1);  // no format known
    uint64_t frames = 0;
    size = 8;
    EXPECT_EQ(stream.GetParam(1, &frames, size), 0);
    EXPECT_EQ(frames, 2u);
    EXPECT_EQ(stream.Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT), 0);
    EXPECT_EQ(stream.Share(), 0u);
}

// An interface with its own camera-index table, and simulated cameras for it.
class GigEInterfaceUnit : public ::testing::Test {
protected:
    void SetUp() override {
        char path[] = "/tmp/kovon-gige-index-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        close(fd);
        tablePath = path;
        table = std::make_unique<Platform::CameraIndexTable>(tablePath);
        gige = std::make_unique<CInterfaceGigE>(nullptr, "Interface_GigEVision", "GIGE", "Tarvek GigEVision Camera",
                                                *table);
    }
    void TearDown() override {
        gige.reset();
        cameras.clear();
        table.reset();
        unlink(tablePath.c_str());
    }
    void Plug(uint8_t last, const std::string& serial) {
        auto server = std::make_unique<Sim::GigECameraServer>(PelionTest::Identity(last, serial));
        ASSERT_TRUE(server->Start());
        cameras.push_back(std::move(server));
    }
    std::vector<std::string> Names() {
        unsigned count = 0;
        EXPECT_EQ(gige->GetNumDevices(count, 300), 0);
        std::vector<std::string> names;
        for (unsigned i = 0; i < count; ++i) {
            char name[256] = {};
            u64 size = sizeof name;
            gige->GetDeviceName(i, name, size);
            names.push_back(name);
        }
        return names;
    }
    bool Listed(const std::string& name) {
        for (int attempt = 0; attempt < 5; ++attempt)
            for (const std::string& n : Names())
                if (n == name) return true;
        return false;
    }
    uint8_t IndexOf(IDevice* device) {
        uint8_t index = 0;
        u64 size = 1;
        device->GetInfo(11, &index, size);
        return index;
    }

    std::string tablePath;
    std::unique_ptr<Platform::CameraIndexTable> table;
    std::unique_ptr<CInterfaceGigE> gige;
    std::vector<std::unique_ptr<Sim::GigECameraServer>> cameras;
};

TEST_F(GigEInterfaceUnit, IndicesOneTwoThenOneAgainAndAllTakenRefusesTheOpen) {
    Plug(5, "U5");
    Plug(6, "U6");
    ASSERT_TRUE(Listed("ZRA-GE500_SN_U5"));
    ASSERT_TRUE(Listed("ZRA-GE500_SN_U6"));
    IDevice* first = nullptr;
    IDevice* second = nullptr;
    ASSERT_EQ(gige->OpenDevice("ZRA-GE500_SN_U5", first), 0);
    ASSERT_EQ(gige->OpenDevice("ZRA-GE500_SN_U6", second), 0);
    EXPECT_EQ(IndexOf(first), 1);
    EXPECT_EQ(IndexOf(second), 2);
    first->Release();
    ASSERT_EQ(gige->OpenDevice("ZRA-GE500_SN_U5", first), 0);
    EXPECT_EQ(IndexOf(first), 1);

    // The description fetched at open is the camera's own file.
    const std::string expected = Sim::BuildGigECameraXml("ZRA-GE500");
    u64 size = 0;
    ASSERT_EQ(first->GetParam(0x10000, nullptr, size), 0);
    ASSERT_EQ(size, expected.size());
    std::string xml(size, '\0');
    ASSERT_EQ(first->GetParam(0x10000, xml.data(), size), 0);
    EXPECT_EQ(xml, expected);
    first->Release();
    second->Release();

    // Another holder takes every index: the open is refused and leaves nothing behind.
    Platform::CameraIndexTable other(tablePath);
    int taken = 0;
    while (other.Claim() != 0) ++taken;
    EXPECT_EQ(taken, 255);
    IDevice* refused = reinterpret_cast<IDevice*>(gige.get());
    EXPECT_EQ(gige->OpenDevice("ZRA-GE500_SN_U5", refused), -1001);
    EXPECT_EQ(refused, reinterpret_cast<IDevice*>(gige.get()));
    other.Release(200);
    ASSERT_EQ(gige->OpenDevice("ZRA-GE500_SN_U5", first), 0);
    EXPECT_EQ(IndexOf(first), 200);
    first->Release();
}

TEST_F(GigEInterfaceUnit, SelectorLeftPastTheEndTouchesNoDevice) {
    // An empty list: nothing is selected.
    char text[32];
    u64 size = sizeof text;
    EXPECT_EQ(gige->GetParam(0x810, text, size), -1009);
    uint32_t one = htonl(1);
    size = 4;
    EXPECT_EQ(gige->SetParam(0x840, &one, size), -1009);

    Plug(7, "U7");
    std::vector<std::string> names;
    ASSERT_TRUE(Listed("ZRA-GE500_SN_U7"));
    names = Names();
    ASSERT_FALSE(names.empty());
    uint32_t last = htonl(static_cast<uint32_t>(names.size() - 1));
    size = 4;
    ASSERT_EQ(gige->SetParam(0x800, &last, size), 0);
    size = sizeof text;
    EXPECT_EQ(gige->GetParam(0x820, text, size), 0);

    // The camera goes away: the list shrinks below the selector.
    cameras.clear();
    bool gone = false;
    for (int attempt = 0; attempt < 5 && !gone; ++attempt) {
        const auto now = Names();
        gone = now.size() <= ntohl(last);
    }
    ASSERT_TRUE(gone);
    for (u64 id : {0x810, 0x820}) {
        size = sizeof text;
        EXPECT_EQ(gige->GetParam(id, text, size), -1009) << id;
    }
    size = 4;
    EXPECT_EQ(gige->SetParam(0x840, &one, size), -1009);
    uint32_t lock = 0;
    size = 4;
    ASSERT_EQ(gige->GetParam(0x844, &lock, size), 0);
    EXPECT_EQ(ntohl(lock), 1u);  // nothing selected: force-IP stays locked
}

TEST(GigEInterfaceDescription, EmbeddedFileLocationAndPadding) {
    CInterfaceGigE gige;
    char location[128] = {};
    u64 size = sizeof location;
    ASSERT_EQ(gige.GetParam(4, location, size), 0);
    FILE* file = std::fopen(KOVON_INTERFACE_DESCRIPTION, "rb");
    ASSERT_NE(file, nullptr);
    std::fseek(file, 0, SEEK_END);
    const long fileSize = std::ftell(file);
    std::fclose(file);
    const size_t padded = (static_cast<size_t>(fileSize) / 4 + 1) * 4;  // a multiple of 4 strictly above
    char expected[128];
    std::snprintf(expected, sizeof expected, "Local:TLIntergaceRegs.xml;900;%zx", padded);
    EXPECT_STREQ(location, expected);
    size = 0;
    ASSERT_EQ(gige.GetParam(0x900, nullptr, size), 0);
    EXPECT_EQ(size, padded);
    char name[32];
    size = sizeof name;
    ASSERT_EQ(gige.GetParam(1, name, size), 0);
    EXPECT_STREQ(name, "Interface_GIGE");
    uint32_t lock = 0;
    size = 4;
    ASSERT_EQ(gige.GetParam(0x844, &lock, size), 0);
    EXPECT_EQ(ntohl(lock), 1u);
}

}  // namespace
