// The simulated GigE Vision camera on its own: the device model's privilege and register rules,
// its description against the GenApi schema, and the exported C API.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "KovonSim/SimGigE.h"
#include "gige/pelion/Bootstrap.h"
#include "sim/gige/GigECameraModel.h"
#include "sim/gige/GigECameraXml.h"
#include "sim/gige/GigEFrameGenerator.h"

using namespace Kovon;
namespace Reg = Kovon::Pelion::Reg;
namespace DS = Kovon::Pelion::Gvcp::DeviceStatus;

TEST(SimGigEModel, ControlPrivilegeAndHeartbeatExpiry) {
    Sim::GigECameraModel m{Sim::GigECameraIdentity{}};
    const Sim::GigEPeer a{0x7F000001, 5000}, b{0x7F000001, 5001};
    uint32_t v = 0;
    EXPECT_EQ(m.WriteRegister(Reg::Width, 64, a, 0), DS::AccessDenied);  // writes need control
    EXPECT_EQ(m.ReadRegister(Reg::Width, v, a, 0), DS::Success);         // reads do not
    EXPECT_EQ(m.WriteRegister(Reg::ControlPrivilege, Reg::PrivilegeControl, a, 0), DS::Success);
    EXPECT_EQ(m.WriteRegister(Reg::ControlPrivilege, Reg::PrivilegeControl, b, 10), DS::AccessDenied);
    EXPECT_EQ(m.WriteRegister(Reg::Width, 64, b, 10), DS::AccessDenied);
    EXPECT_EQ(m.WriteRegister(Reg::Width, 64, a, 10), DS::Success);
    EXPECT_EQ(m.WriteRegister(Reg::StreamPort0, 4000, a, 20), DS::Success);
    EXPECT_EQ(m.WriteRegister(Reg::AcquisitionStart, 1, a, 20), DS::Success);
    EXPECT_TRUE(m.Stream().acquiring);
    EXPECT_FALSE(m.ExpireHeartbeat(3000));  // 2980 ms of silence: still within 3000
    EXPECT_TRUE(m.ExpireHeartbeat(3100));
    EXPECT_FALSE(m.HasController());
    EXPECT_FALSE(m.Stream().acquiring);  // losing the controller stops the stream
    EXPECT_EQ(m.Stream().port, 0);
    EXPECT_EQ(m.WriteRegister(Reg::ControlPrivilege, Reg::PrivilegeExclusive, b, 3200), DS::Success);
    EXPECT_EQ(m.ReadRegister(Reg::Width, v, a, 3200), DS::AccessDenied);  // exclusive: no reads either
}

TEST(SimGigEModel, RegisterRules) {
    Sim::GigECameraModel m{Sim::GigECameraIdentity{}};
    const Sim::GigEPeer a{0x7F000001, 5000};
    ASSERT_EQ(m.WriteRegister(Reg::ControlPrivilege, Reg::PrivilegeControl, a, 0), DS::Success);
    struct Case {
        uint32_t address, value;
        uint16_t status;
    };
    const Case cases[] = {
        {Reg::Width, 6, DS::InvalidParameter},          // under 8
        {Reg::Width, 642, DS::InvalidParameter},        // not a multiple of 4
        {Reg::Height, 0, DS::InvalidParameter},
        {Reg::PixelFormat, 0x01100025, DS::InvalidParameter},  // Mono14: not offered
        {Reg::StreamPacketSize0, 100, DS::InvalidParameter},
        {Reg::StreamPacketSize0, 9001, DS::InvalidParameter},
        {Reg::HeartbeatTimeout, 100, DS::InvalidParameter},
        {Reg::PayloadSize, 1, DS::AccessDenied},
        {Reg::Version, 1, DS::AccessDenied},
        {0xB000, 1, DS::InvalidAddress},
        {0xA002, 1, DS::BadAlignment},
        {Reg::Width, 1280, DS::Success},
        {Reg::PixelFormat, Sim::PixelFormat::Mono12Packed, DS::Success},
    };
    for (const auto& c : cases)
        EXPECT_EQ(m.WriteRegister(c.address, c.value, a, 0), c.status) << std::hex << c.address << " " << c.value;
    uint32_t payload = 0;
    m.ReadRegister(Reg::PayloadSize, payload, a, 0);
    EXPECT_EQ(payload, 1280u * 480u * 3 / 2);
    ASSERT_EQ(m.WriteRegister(Reg::AcquisitionStart, 1, a, 0), DS::Success);
    EXPECT_EQ(m.WriteRegister(Reg::Width, 640, a, 0), DS::Busy);  // no geometry change while streaming

    // The first URL points at the description in memory.
    char url[512];
    ASSERT_EQ(m.ReadMemory(Reg::FirstUrl, reinterpret_cast<uint8_t*>(url), 512, a, 0), DS::Success);
    const std::string xml = Sim::BuildGigECameraXml("ZRA-GE500");
    char want[128];
    std::snprintf(want, sizeof want, "Local:KovonSimGigE.xml;10000;%zx", xml.size());
    EXPECT_STREQ(url, want);
}

TEST(SimGigEModel, PayloadSizesFollowTheFormat) {
    using namespace Sim::PixelFormat;
    struct Case {
        uint32_t format;
        uint64_t bytes;  // for 640 x 480
    };
    const Case cases[] = {{Mono8, 307200},        {Mono10, 614400},     {Mono12Packed, 460800}, {Mono16, 614400},
                          {BayerBG8, 307200},     {BayerGR10Packed, 460800}, {RGB8Packed, 921600}, {BGR8Packed, 921600},
                          {YUV422Packed, 614400}, {0x01100025, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(Sim::GigEFrameGenerator::PayloadSize(c.format, 640, 480), c.bytes) << std::hex << c.format;
    // Mono12Packed: two pixels in three bytes, high bits first.
    uint8_t out[3];
    Sim::GigEFrameGenerator::Fill(Mono12Packed, 2, 1, 0, out);  // pixels 0 and 1
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], 0x10);
    EXPECT_EQ(out[2], 0x00);
}

TEST(SimGigEDescription, ValidatesAgainstTheGenApiSchema) {
    namespace fs = std::filesystem;
    const fs::path schema = fs::path(KOVON_GENAPI_SCHEMA_DIR) / "GenApiSchema_Version_1_1.xsd";
    ASSERT_TRUE(fs::exists(schema)) << "GenApi schema not found: " << schema;
    ASSERT_EQ(std::system("xmllint --version > /dev/null 2>&1"), 0) << "xmllint (libxml2-utils) is missing";
    fs::path file = fs::temp_directory_path() / ("kovon-sim-gige-" + std::to_string(::getpid()) + ".xml");
    {
        std::ofstream(file) << Sim::BuildGigECameraXml("ZRA-GE500 (test)");
    }
    std::string cmd = "xmllint --noout --schema '" + schema.string() + "' '" + file.string() + "' 2>&1";
    int rc = std::system(cmd.c_str());
    fs::remove(file);
    EXPECT_EQ(rc, 0) << cmd;
}

TEST(SimGigEApi, PlugUnplugAndArguments) {
    KovonSimGigE* cam = nullptr;
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 0x19};
    ASSERT_EQ(KovonSimGigE_Plug("127.0.0.19", "M1", "S1", mac, &cam), 0);
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(KovonSimGigE_GetAddress(cam), 0x7F000013u);
    KovonSimGigE* twin = nullptr;
    EXPECT_EQ(KovonSimGigE_Plug("127.0.0.19", "M1", "S2", nullptr, &twin), -2);  // one camera per address
    EXPECT_EQ(twin, nullptr);
    EXPECT_EQ(KovonSimGigE_Plug("127.0.0.300", nullptr, nullptr, nullptr, &twin), -1);
    EXPECT_EQ(KovonSimGigE_Plug(nullptr, nullptr, nullptr, nullptr, &twin), -1);
    EXPECT_EQ(KovonSimGigE_SetPacketLoss(cam, 1.5), -1);
    EXPECT_EQ(KovonSimGigE_SetPacketLoss(cam, 0.01), 0);
    EXPECT_EQ(KovonSimGigE_SetLink(cam, 0), 0);
    EXPECT_EQ(KovonSimGigE_FireEvent(cam, 1, nullptr, 0), -3);  // no message channel
    EXPECT_EQ(KovonSimGigE_FireEvent(cam, 1, nullptr, 4), -1);
    KovonSimGigECounters counters{};
    EXPECT_EQ(KovonSimGigE_GetCounters(cam, &counters), 0);
    EXPECT_EQ(counters.framesSent, 0u);
    EXPECT_EQ(KovonSimGigE_GetCounters(nullptr, &counters), -1);
    EXPECT_EQ(KovonSimGigE_Unplug(cam), 0);
    EXPECT_EQ(KovonSimGigE_Unplug(nullptr), -1);
    // The address is free again.
    ASSERT_EQ(KovonSimGigE_Plug("127.0.0.19", nullptr, nullptr, nullptr, &cam), 0);
    EXPECT_EQ(KovonSimGigE_Unplug(cam), 0);
}
