// The library against the simulated camera over real loopback UDP: every operation, its
// statuses, time-outs, link loss, events, force-IP and streaming with resend.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

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

namespace {

// A camera at 127.0.0.<last>, opened under camera index `index`.
struct OpenCameraFixture {
    OpenCameraFixture(uint8_t last, uint8_t idx, const std::string& serial = "SN")
        : server(Identity(last, serial)), index(idx), connection(Connection(Loopback(last))) {
        ok = server.Start() && OpenCamera(index, &connection, 0, 0, 1) == St::Ok;
    }
    ~OpenCameraFixture() { CloseCamera(index); }
    Sim::GigECameraServer server;
    uint8_t index;
    ConnectionRecord connection;
    bool ok = false;
};

uint32_t Read(uint8_t index, uint32_t address) {
    uint32_t v = 0;
    EXPECT_EQ(ReadRegisters(index, address, 1, &v), St::Ok) << std::hex << address;
    return v;
}

}  // namespace

TEST(PelionDiscovery, FindsTheCameraAndFillsItsRecord) {
    Sim::GigECameraServer server(Identity(3, "DISC-3"));
    ASSERT_TRUE(server.Start());
    auto buffer = std::make_unique<DiscoveryBuffer>();
    ASSERT_EQ(Discover(buffer.get(), 0, 300, 0), St::Ok);
    const CameraRecord* rec = nullptr;
    for (uint32_t i = 0; i < buffer->count; ++i)
        if (std::strcmp(buffer->records[i].serial, "DISC-3") == 0) rec = &buffer->records[i];
    ASSERT_NE(rec, nullptr);
    EXPECT_LE(buffer->count, kMaxDiscoveredCameras);
    const uint8_t ip[4] = {127, 0, 0, 3};
    EXPECT_EQ(0, std::memcmp(rec->ip, ip, 4));
    EXPECT_STREQ(rec->model, "ZRA-GE500");
    EXPECT_STREQ(rec->manufacturer, "Tarvek");
    EXPECT_EQ(rec->mac[5], 3);
    EXPECT_EQ(rec->hostAddress, htonl(0x7F000001));
    EXPECT_EQ(rec->hostMask, htonl(0xFF000000));
    EXPECT_STREQ(rec->hostInterface, "lo");
    EXPECT_EQ(rec->accessCode, Access::Free);

    // Once a host controls it, an access check reports it as controlled.
    ConnectionRecord c = Connection(Loopback(3));
    ASSERT_EQ(OpenCamera(30, &c, 0, 0, 1), St::Ok);
    ASSERT_EQ(Discover(buffer.get(), 0, 300, 1), St::Ok);
    bool seen = false;
    for (uint32_t i = 0; i < buffer->count; ++i)
        if (std::strcmp(buffer->records[i].serial, "DISC-3") == 0) {
            seen = true;
            EXPECT_EQ(buffer->records[i].accessCode, Access::Controlled);
        }
    EXPECT_TRUE(seen);
    EXPECT_EQ(CloseCamera(30), St::Ok);
    EXPECT_EQ(Discover(nullptr, 0, 10, 0), St::Error);
    EXPECT_EQ(Discover(buffer.get(), 1, 10, 0), St::Error);
}

TEST(PelionControl, OpenTakesControlAndASecondHostIsRefused) {
    Sim::GigECameraServer server(Identity(4, "CTRL-4"));
    ASSERT_TRUE(server.Start());
    ConnectionRecord c = Connection(Loopback(4));
    ASSERT_EQ(OpenCamera(1, &c, 0, 0, 1), St::Ok);
    EXPECT_EQ(Read(1, Reg::ControlPrivilege), Reg::PrivilegeControl);
    EXPECT_EQ(OpenCamera(1, &c, 0, 0, 1), St::AlreadyOpen);
    EXPECT_EQ(OpenCamera(2, &c, 0, 0, 1), St::AccessRefused);  // another socket: another host
    EXPECT_EQ(CloseCamera(1), St::Ok);
    EXPECT_EQ(CloseCamera(1), St::Error);
    ASSERT_EQ(OpenCamera(2, &c, 0, 0, 1), St::Ok);  // released by the close
    EXPECT_EQ(CloseCamera(2), St::Ok);
    // Nobody answers at an address without a camera.
    ConnectionRecord nobody = Connection(Loopback(99));
    EXPECT_EQ(OpenCamera(3, &nobody, 0, 0, 1), St::Timeout);
    EXPECT_EQ(OpenCamera(3, nullptr, 0, 0, 1), St::Error);
}

TEST(PelionControl, RegistersAndMemory) {
    OpenCameraFixture cam(5, 5);
    ASSERT_TRUE(cam.ok);
    EXPECT_EQ(Read(5, Reg::Version), 0x00010002u);

    // The first URL names the description, which reads back from camera memory.
    char url[513] = {};
    ASSERT_EQ(ReadMemory(5, Reg::FirstUrl, 512, reinterpret_cast<uint8_t*>(url)), St::Ok);
    std::string text(url);
    ASSERT_EQ(text.rfind("Local:KovonSimGigE.xml;10000;", 0), 0u) << text;
    size_t length = std::stoul(text.substr(text.rfind(';') + 1), nullptr, 16);
    std::vector<uint8_t> xml(length);
    ASSERT_EQ(ReadMemory(5, 0x10000, static_cast<uint32_t>(length), xml.data()), St::Ok);
    EXPECT_EQ(std::string(xml.begin(), xml.begin() + 5), "<?xml");
    EXPECT_EQ(std::string(xml.end() - 23, xml.end()), "</RegisterDescription>\n");

    // Consecutive registers in one call, and a write the payload follows.
    const uint32_t geometry[2] = {320, 200};
    ASSERT_EQ(WriteRegisters(5, Reg::Width, 2, geometry), St::Ok);
    uint32_t wh[2] = {};
    ASSERT_EQ(ReadRegisters(5, Reg::Width, 2, wh), St::Ok);
    EXPECT_EQ(wh[0], 320u);
    EXPECT_EQ(wh[1], 200u);
    EXPECT_EQ(Read(5, Reg::PayloadSize), 320u * 200u);

    // The camera's own statuses come through.
    uint32_t v = 0;
    EXPECT_EQ(ReadRegisters(5, 0xB000, 1, &v), St::InvalidAddress);
    const uint32_t one = 1;
    EXPECT_EQ(WriteRegisters(5, Reg::PayloadSize, 1, &one), St::AccessDenied);
    EXPECT_EQ(WriteRegisters(5, Reg::FirstUrl, 1, &one), St::AccessDenied);

    // Memory: larger than one packet, unaligned, and odd lengths.
    std::vector<uint8_t> pattern(1000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(WriteMemory(5, Reg::UserMemory, 1000, pattern.data()), St::Ok);
    std::vector<uint8_t> back(1000);
    ASSERT_EQ(ReadMemory(5, Reg::UserMemory, 1000, back.data()), St::Ok);
    EXPECT_EQ(back, pattern);
    const uint8_t five[5] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    ASSERT_EQ(WriteMemory(5, Reg::UserMemory + 3, 5, five), St::Ok);
    uint8_t window[12] = {};
    ASSERT_EQ(ReadMemory(5, Reg::UserMemory + 1, 10, window), St::Ok);
    EXPECT_EQ(window[1], pattern[2]);  // untouched neighbour
    EXPECT_EQ(0, std::memcmp(window + 2, five, 5));
    EXPECT_EQ(window[7], pattern[8]);

    EXPECT_EQ(ReadRegisters(5, 0x202, 1, &v), St::Error);  // unaligned register
    EXPECT_EQ(ReadRegisters(5, Reg::Version, 0, &v), St::Error);
    EXPECT_EQ(ReadRegisters(200, Reg::Version, 1, &v), St::Error);  // no camera under that index
    EXPECT_EQ(ReadMemory(5, 0, 0, window), St::Error);
}

TEST(PelionControl, SettingsTimeoutsModeAndTheirChecks) {
    OpenCameraFixture cam(6, 6);
    ASSERT_TRUE(cam.ok);
    SettingsRecord s{};
    ASSERT_EQ(ReadSettings(6, &s), St::Ok);
    EXPECT_EQ(s.heartbeatTimeoutMs, 3000u);  // read from the camera at open
    s.frameWaitTimeoutMs = 1000;
    EXPECT_EQ(WriteSettings(6, &s), St::Ok);
    SettingsRecord bad = s;
    bad.frameWaitTimeoutMs = 0;
    EXPECT_EQ(WriteSettings(6, &bad), St::InvalidSetting);
    bad = s;
    bad.resendEnabled = 7;
    EXPECT_EQ(WriteSettings(6, &bad), St::InvalidSetting);
    EXPECT_EQ(WriteSettings(6, nullptr), St::Error);

    uint32_t t = 0;
    uint8_t r = 0;
    ASSERT_EQ(WriteTimeouts(6, 2000, 2), St::Ok);
    ASSERT_EQ(ReadTimeouts(6, &t, &r), St::Ok);
    EXPECT_EQ(t, 2000u);
    EXPECT_EQ(r, 2);
    EXPECT_EQ(WriteTimeouts(6, 0, 2), St::InvalidSetting);

    uint8_t mode = 0;
    ASSERT_EQ(ReadMode(6, &mode), St::Ok);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(WriteMode(6, 0), St::Ok);
    EXPECT_EQ(WriteMode(6, 2), St::InvalidSetting);
    ASSERT_EQ(ReadMode(6, &mode), St::Ok);
    EXPECT_EQ(mode, 0);
}

TEST(PelionControl, TimeoutAndLinkStateFollowTheLink) {
    OpenCameraFixture cam(7, 7);
    ASSERT_TRUE(cam.ok);
    ASSERT_EQ(WriteTimeouts(7, 50, 1), St::Ok);
    SettingsRecord s{};
    ReadSettings(7, &s);
    s.heartbeatTimeoutMs = 600;  // the library's view; the camera keeps its own 3000 ms
    ASSERT_EQ(WriteSettings(7, &s), St::Ok);
    uint8_t state = 9, missed = 0;
    ASSERT_EQ(GetLinkState(7, &state, &missed), St::Ok);
    EXPECT_EQ(state, 0);

    cam.server.SetLinkUp(false);
    uint32_t v = 0;
    EXPECT_EQ(ReadRegisters(7, Reg::Version, 1, &v), St::Timeout);
    EXPECT_TRUE(Eventually([&] {
        GetLinkState(7, &state, &missed);
        return state == 1;
    }));
    EXPECT_TRUE(Eventually([&] {
        GetLinkState(7, &state, &missed);
        return state == 2;
    }));
    EXPECT_GE(missed, 1);

    cam.server.SetLinkUp(true);
    EXPECT_TRUE(Eventually([&] {
        GetLinkState(7, &state, &missed);
        return state == 0;
    }));
    EXPECT_EQ(ReadRegisters(7, Reg::Version, 1, &v), St::Ok);
}

TEST(PelionControl, ControlIsTakenBackAfterTheCameraDroppedIt) {
    OpenCameraFixture cam(8, 8);
    ASSERT_TRUE(cam.ok);
    const uint32_t shortHeartbeat = 500;
    ASSERT_EQ(WriteRegisters(8, Reg::HeartbeatTimeout, 1, &shortHeartbeat), St::Ok);
    cam.server.SetLinkUp(false);
    ASSERT_TRUE(Eventually([&] { return cam.server.Counters().heartbeatExpiries == 1; }));
    cam.server.SetLinkUp(true);
    uint8_t state = 9;
    EXPECT_TRUE(Eventually([&] {
        GetLinkState(8, &state, nullptr);
        return state == 0 && Read(8, Reg::ControlPrivilege) == Reg::PrivilegeControl;
    }));
    const uint32_t w = 64;
    EXPECT_EQ(WriteRegisters(8, Reg::Width, 1, &w), St::Ok);  // a write needs control again
}

namespace {
struct EventLog {
    std::mutex mutex;
    std::vector<EventRecord> records;
    std::vector<std::vector<uint8_t>> data;
    static bool Handler(uint32_t, const EventRecord* e, void* context) {
        auto* log = static_cast<EventLog*>(context);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->records.push_back(*e);
        log->data.emplace_back(e->data, e->data + e->dataSize);
        return false;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return records.size();
    }
};
}  // namespace

TEST(PelionEvents, EventsReachTheHandlerWithTheirRecord) {
    OpenCameraFixture cam(9, 9);
    ASSERT_TRUE(cam.ok);
    EventLog log;
    EXPECT_FALSE(cam.server.FireEvent(0x9000, nullptr, 0));  // no channel yet
    ASSERT_EQ(SetEventHandler(9, &EventLog::Handler, &log), St::Ok);
    ASSERT_EQ(OpenEventChannel(9), St::Ok);
    const uint8_t payload[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(cam.server.FireEvent(0x9001, payload, sizeof payload));
    const uint32_t testEvent = 0x9002;
    ASSERT_EQ(WriteRegisters(9, Reg::TestEvent, 1, &testEvent), St::Ok);
    ASSERT_TRUE(Eventually([&] { return log.Count() == 2; }));
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        EXPECT_EQ(log.records[0].eventId, 0x9001);
        ASSERT_EQ(log.data[0].size(), 8u);  // carried padded to whole words
        EXPECT_EQ(0, std::memcmp(log.data[0].data(), payload, 6));
        EXPECT_NE(log.records[0].timestamp, 0u);
        EXPECT_EQ(log.records[1].eventId, 0x9002);
        EXPECT_EQ(log.records[1].dataSize, 0u);
    }
    ASSERT_EQ(CloseEventChannel(9), St::Ok);
    EXPECT_FALSE(cam.server.FireEvent(0x9003, nullptr, 0));
    EXPECT_EQ(log.Count(), 2u);
}

TEST(PelionControl, LongCommandWaitsThroughPendingAcks) {
    OpenCameraFixture cam(10, 10);
    ASSERT_TRUE(cam.ok);
    cam.server.SetLongCommandDuration(400);
    ASSERT_EQ(WriteTimeouts(10, 100, 0), St::Ok);  // far shorter than the command
    uint16_t result = 0;
    EXPECT_EQ(LongCommand(10, &result, 0, 20000, Reg::LongCommandSelfTest), St::Ok);
    EXPECT_EQ(result, 1);
    // A limit shorter than the command gives up.
    EXPECT_EQ(LongCommand(10, &result, 0, 150, Reg::LongCommandSelfTest), St::Timeout);
    ASSERT_EQ(WriteTimeouts(10, 1000, 1), St::Ok);
    EXPECT_EQ(LongCommand(10, &result, 0, 20000, 99), St::Ok + 0x8002);  // unknown code: the camera refuses
    EXPECT_EQ(LongCommand(10, nullptr, 0, 20000, 4), St::Error);
}

TEST(PelionDiscovery, ForceIpMovesTheCamera) {
    Sim::GigECameraServer server(Identity(11, "FORCE-11"));
    ASSERT_TRUE(server.Start());
    uint8_t mac[6];
    std::memcpy(mac, Identity(11, "").mac, 6);
    ASSERT_EQ(ForceIp(Loopback(12), 0xFF000000, 0, mac), St::Ok);
    EXPECT_EQ(server.Ip(), Loopback(12));
    auto buffer = std::make_unique<DiscoveryBuffer>();
    ASSERT_EQ(Discover(buffer.get(), 0, 300, 0), St::Ok);
    bool found = false;
    for (uint32_t i = 0; i < buffer->count; ++i)
        if (std::strcmp(buffer->records[i].serial, "FORCE-11") == 0) {
            found = true;
            EXPECT_EQ(buffer->records[i].ip[3], 12);
        }
    EXPECT_TRUE(found);
    // The camera answers at its new address.
    ConnectionRecord c = Connection(Loopback(12));
    ASSERT_EQ(OpenCamera(11, &c, 0, 0, 1), St::Ok);
    EXPECT_EQ(Read(11, Reg::CurrentIp), Loopback(12));
    CloseCamera(11);

    const uint8_t unknown[6] = {0x02, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ForceIp(Loopback(13), 0xFF000000, 0, unknown), St::Timeout);
    const uint8_t zero[6] = {};
    EXPECT_EQ(ForceIp(Loopback(13), 0xFF000000, 0, zero), St::Error);
}
