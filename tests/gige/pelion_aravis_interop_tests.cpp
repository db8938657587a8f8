// Interoperation with an independent GigE Vision implementation, both ways: our library against
// Aravis's fake camera, and Aravis's client against our simulated camera.
#include <arv.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PelionPeerProcess.h"
#include "PelionTestCamera.h"
#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/Pelion.h"
#include "sim/gige/GigEFrameGenerator.h"

using namespace Kovon;
using namespace Kovon::Pelion;
using PelionTest::Connection;
using PelionTest::Eventually;
using PelionTest::Identity;
using PelionTest::Loopback;

TEST(PelionAravisInterop, OurLibraryDrivesAravisFakeCamera) {
    PelionTest::PeerProcess fake({"arv-fake-gv-camera-0.8", "-i", "127.0.0.1"});
    ASSERT_TRUE(fake.started()) << "arv-fake-gv-camera-0.8 (package aravis-tools) is needed";

    // Discovery finds it on loopback once it listens.
    auto buffer = std::make_unique<DiscoveryBuffer>();
    const CameraRecord* rec = nullptr;
    ASSERT_TRUE(Eventually(
        [&] {
            if (Discover(buffer.get(), 0, 200, 0) != St::Ok) return false;
            for (uint32_t i = 0; i < buffer->count; ++i)
                if (buffer->records[i].ip[3] == 1) rec = &buffer->records[i];
            return rec != nullptr;
        },
        50));
    EXPECT_STRNE(rec->model, "");
    EXPECT_STRNE(rec->serial, "");

    ConnectionRecord c{};
    std::memcpy(c.cameraIp, rec->ip, 4);
    c.hostAddress = rec->hostAddress;
    c.hostMask = rec->hostMask;
    ASSERT_EQ(OpenCamera(40, &c, 0, 0, 1), St::Ok);

    // The first URL and the description it points to.
    char url[513] = {};
    ASSERT_EQ(ReadMemory(40, Reg::FirstUrl, 512, reinterpret_cast<uint8_t*>(url)), St::Ok);
    std::string text(url);
    ASSERT_EQ(text.rfind("Local:", 0), 0u) << text;
    size_t first = text.find(';'), second = text.find(';', first + 1);
    ASSERT_NE(second, std::string::npos);
    uint32_t address = static_cast<uint32_t>(std::stoul(text.substr(first + 1, second - first - 1), nullptr, 16));
    size_t length = std::stoul(text.substr(second + 1), nullptr, 16);
    ASSERT_GT(length, 0u);
    std::vector<uint8_t> description(length);
    ASSERT_EQ(ReadMemory(40, address, static_cast<uint32_t>(length), description.data()), St::Ok);
    std::string head(description.begin(), description.begin() + std::min<size_t>(length, 200));
    EXPECT_NE(head.find("<?xml"), std::string::npos) << head;

    // Registers: bootstrap reads, and a write the camera keeps.
    uint32_t values[2] = {};
    ASSERT_EQ(ReadRegisters(40, Reg::ControlPrivilege, 1, values), St::Ok);
    EXPECT_NE(values[0] & Reg::PrivilegeControl, 0u);
    const uint32_t heartbeat = 4000;
    ASSERT_EQ(WriteRegisters(40, Reg::HeartbeatTimeout, 1, &heartbeat), St::Ok);
    ASSERT_EQ(ReadRegisters(40, Reg::HeartbeatTimeout, 1, values), St::Ok);
    EXPECT_EQ(values[0], 4000u);
    uint8_t state = 9;
    ASSERT_EQ(GetLinkState(40, &state, nullptr), St::Ok);
    EXPECT_EQ(state, 0);

    // A second host does not get control while we hold it (this peer stays silent towards other
    // hosts rather than refusing them), and gets it once we let go.
    ASSERT_EQ(WriteTimeouts(40, 200, 0), St::Ok);
    Status other = OpenCamera(41, &c, 0, 0, 1);
    EXPECT_TRUE(other == St::AccessRefused || other == St::Timeout) << std::hex << other;
    EXPECT_EQ(CloseCamera(40), St::Ok);
    EXPECT_EQ(OpenCamera(41, &c, 0, 0, 1), St::Ok);
    EXPECT_EQ(CloseCamera(41), St::Ok);
}

TEST(PelionAravisInterop, AravisClientUsesOurSimulatedCamera) {
    Sim::GigECameraServer server(Identity(21, "ARV-21"));
    ASSERT_TRUE(server.Start());
    GError* error = nullptr;
    // Opening by address makes Aravis look the camera up with a control request of its own.
    ArvCamera* camera = arv_camera_new("127.0.0.21", &error);
    ASSERT_NE(camera, nullptr) << (error != nullptr ? error->message : "");

    EXPECT_STREQ(arv_camera_get_string(camera, "DeviceModelName", &error), "ZRA-GE500");
    EXPECT_STREQ(arv_camera_get_string(camera, "DeviceID", &error), "ARV-21");
    arv_camera_set_integer(camera, "Width", 320, &error);
    ASSERT_EQ(error, nullptr) << error->message;
    arv_camera_set_integer(camera, "Height", 240, &error);
    arv_camera_set_string(camera, "PixelFormat", "Mono8", &error);
    arv_camera_set_string(camera, "AcquisitionMode", "Continuous", &error);
    // 100 frames/s: a pace that a loaded test machine keeps up with, so only the protocol is tested.
    arv_camera_set_integer(camera, "AcquisitionFramePeriod", 10000, &error);
    ASSERT_EQ(error, nullptr) << error->message;
    EXPECT_EQ(arv_camera_get_integer(camera, "Width", &error), 320);
    const guint payload = arv_camera_get_payload(camera, &error);
    ASSERT_EQ(payload, 320u * 240u);

    ArvStream* stream = arv_camera_create_stream(camera, nullptr, nullptr, &error);
    ASSERT_NE(stream, nullptr) << (error != nullptr ? error->message : "");
    for (int i = 0; i < 8; ++i) arv_stream_push_buffer(stream, arv_buffer_new(payload, nullptr));
    arv_camera_start_acquisition(camera, &error);
    ASSERT_EQ(error, nullptr) << error->message;

    std::vector<uint8_t> expected(payload);
    int good = 0;
    for (int i = 0; i < 20; ++i) {
        ArvBuffer* b = arv_stream_timeout_pop_buffer(stream, 2'000'000);
        ASSERT_NE(b, nullptr) << "no frame from the simulated camera";
        if (arv_buffer_get_status(b) == ARV_BUFFER_STATUS_SUCCESS) {
            size_t size = 0;
            const void* data = arv_buffer_get_data(b, &size);
            Sim::GigEFrameGenerator::Fill(Sim::PixelFormat::Mono8, 320, 240,
                                          static_cast<uint32_t>(arv_buffer_get_frame_id(b) % 4), expected.data());
            if (size == payload && std::memcmp(data, expected.data(), payload) == 0) ++good;
        }
        arv_stream_push_buffer(stream, b);
    }
    arv_camera_stop_acquisition(camera, &error);
    EXPECT_GE(good, 18);
    g_object_unref(stream);
    g_object_unref(camera);
    EXPECT_GT(server.Counters().framesSent, 0u);
}
