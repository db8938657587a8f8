// Stream reception from the simulated camera: pixel-exact frames in every format of the copy
// table, resend under injected loss, faulty frames, and hostile packets at the stream port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "PelionTestCamera.h"
#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/GvspCodec.h"
#include "gige/pelion/Pelion.h"
#include "gige/pelion/StreamReceiver.h"
#include "gige/pelion/UdpSocket.h"
#include "sim/gige/GigEFrameGenerator.h"

using namespace Kovon;
using namespace Kovon::Pelion;
using PelionTest::Connection;
using PelionTest::Identity;
using PelionTest::Loopback;

namespace {

struct StreamingCamera {
    StreamingCamera(uint8_t last, uint8_t idx) : server(Identity(last, "STREAM")), index(idx) {
        ConnectionRecord c = Connection(Loopback(last));
        ok = server.Start() && OpenCamera(index, &c, 0, 0, 1) == St::Ok &&
             OpenStreamChannel(index, c.hostAddress, 0, 0) == St::Ok;
    }
    ~StreamingCamera() {
        StopAcquisition(index);
        CloseStreamChannel(index);
        CloseCamera(index);
    }
    void Configure(uint32_t w, uint32_t h, uint32_t pixelFormat, uint32_t packetSize = 1500) {
        const uint32_t values[] = {w, h};
        ASSERT_EQ(WriteRegisters(index, Reg::Width, 2, values), St::Ok);
        ASSERT_EQ(WriteRegisters(index, Reg::PixelFormat, 1, &pixelFormat), St::Ok);
        ASSERT_EQ(WriteRegisters(index, Reg::StreamPacketSize0, 1, &packetSize), St::Ok);
        uint32_t payload = 0;
        ASSERT_EQ(ReadRegisters(index, Reg::PayloadSize, 1, &payload), St::Ok);
        expected.resize(payload);
        width = w, height = h, format = pixelFormat;
        packetsPerFrame = (payload + packetSize - 37) / (packetSize - 36);
    }
    // Checks a delivered frame byte for byte against what the camera generated for its block.
    ::testing::AssertionResult Matches(const FrameRecord& r, const void* buffer) {
        Sim::GigEFrameGenerator::Fill(format, width, height, static_cast<uint32_t>(r.blockId % 4), expected.data());
        if (r.payloadBytes != expected.size())
            return ::testing::AssertionFailure() << "payload " << r.payloadBytes << " of " << expected.size();
        if (std::memcmp(buffer, expected.data(), expected.size()) != 0)
            return ::testing::AssertionFailure() << "pixels differ in block " << r.blockId;
        return ::testing::AssertionSuccess();
    }
    Sim::GigECameraServer server;
    uint8_t index;
    bool ok = false;
    std::vector<uint8_t> expected;
    uint32_t width = 0, height = 0, format = 0, packetsPerFrame = 0;
};

}  // namespace

TEST(PelionStream, FramesOfEveryCopiedFormatArriveExactly) {
    StreamingCamera cam(14, 14);
    ASSERT_TRUE(cam.ok);
    const uint32_t formats[] = {
        Sim::PixelFormat::Mono8,        Sim::PixelFormat::Mono10,     Sim::PixelFormat::Mono12,
        Sim::PixelFormat::Mono10Packed, Sim::PixelFormat::Mono12Packed, Sim::PixelFormat::BayerBG8,
        Sim::PixelFormat::BayerBG12,    Sim::PixelFormat::BayerBG12Packed, Sim::PixelFormat::RGB8Packed,
        Sim::PixelFormat::BGR8Packed,   Sim::PixelFormat::YUV422Packed, Sim::PixelFormat::YUV422YUYVPacked,
        Sim::PixelFormat::Mono16};
    for (uint32_t pf : formats) {
        SCOPED_TRACE(::testing::Message() << std::hex << pf);
        cam.Configure(160, 120, pf, pf == Sim::PixelFormat::Mono8 ? 576 : 1500);
        ASSERT_EQ(StartAcquisition(14, 0), St::Ok);
        void* buffer = nullptr;
        ASSERT_EQ(GetFrameBuffer(14, 0, &buffer), St::Ok);
        ASSERT_NE(buffer, nullptr);
        uint64_t lastBlock = 0;
        for (int i = 0; i < 5; ++i) {
            FrameRecord r{};
            ASSERT_EQ(WaitForFrame(14, &r), St::Ok);
            EXPECT_TRUE(cam.Matches(r, buffer));
            EXPECT_EQ(r.packetCount, cam.packetsPerFrame);
            EXPECT_EQ(r.pixelFormat, pf);
            EXPECT_EQ(r.width, 160u);
            EXPECT_GT(r.blockId, lastBlock);
            lastBlock = r.blockId;
        }
        ASSERT_EQ(StopAcquisition(14), St::Ok);
    }
}

TEST(PelionStream, ResendRecoversEveryFrameUnderOnePercentLoss) {
    StreamingCamera cam(15, 15);
    ASSERT_TRUE(cam.ok);
    cam.Configure(640, 480, Sim::PixelFormat::Mono8);
    EXPECT_EQ(cam.packetsPerFrame, 210u);  // 307200 bytes in 1464-byte packets
    cam.server.SetPacketLoss(0.01);
    ASSERT_EQ(StartAcquisition(15, 0), St::Ok);
    void* buffer = nullptr;
    ASSERT_EQ(GetFrameBuffer(15, 0, &buffer), St::Ok);
    int complete = 0, resent = 0;
    const int frames = 300;
    std::ostringstream failures;
    for (int i = 0; i < frames; ++i) {
        FrameRecord r{};
        Status st = WaitForFrame(15, &r);
        ASSERT_NE(st, St::Timeout);
        if (st == St::Ok && cam.Matches(r, buffer)) ++complete;
        else
            failures << " [block " << r.blockId << " status " << std::hex << st << std::dec << " missing "
                     << r.missingPackets << " of " << r.expectedPackets << "]";
        resent += static_cast<int>(r.resentPackets);
    }
    auto counters = cam.server.Counters();
    EXPECT_GT(counters.packetsDropped, 0u);
    EXPECT_GT(counters.resendRequests, 0u);
    EXPECT_GT(resent, 0);
    EXPECT_GE(complete * 1000, frames * 999) << complete << " of " << frames << failures.str();
}

TEST(PelionStream, FramesStayFaultyWithoutResend) {
    StreamingCamera cam(16, 16);
    ASSERT_TRUE(cam.ok);
    cam.Configure(320, 240, Sim::PixelFormat::Mono8);
    SettingsRecord s{};
    ASSERT_EQ(ReadSettings(16, &s), St::Ok);
    s.resendEnabled = 0;
    s.frameRetentionMs = 50;
    ASSERT_EQ(WriteSettings(16, &s), St::Ok);
    cam.server.SetPacketLoss(0.05);
    ASSERT_EQ(StartAcquisition(16, 0), St::Ok);
    int faulty = 0;
    for (int i = 0; i < 40; ++i) {
        FrameRecord r{};
        Status st = WaitForFrame(16, &r);
        ASSERT_NE(st, St::Timeout);
        if (st == St::FrameIncomplete || st == St::FrameDamaged) {
            ++faulty;
            EXPECT_EQ(r.status, st);
            if (st == St::FrameIncomplete) {
                EXPECT_GT(r.missingPackets, 0u);
            }
        }
    }
    EXPECT_GT(faulty, 0);
    EXPECT_EQ(cam.server.Counters().resendRequests, 0u);
}

TEST(PelionStream, WaitTimesOutWithoutFramesAndChecksItsArguments) {
    StreamingCamera cam(17, 17);
    ASSERT_TRUE(cam.ok);
    FrameRecord r{};
    EXPECT_EQ(WaitForFrame(17, &r), St::Error);  // no frame buffer yet
    ASSERT_EQ(SetFrameBufferSize(17, 1 << 20, 1464), St::Ok);
    SettingsRecord s{};
    ReadSettings(17, &s);
    s.frameWaitTimeoutMs = 50;
    WriteSettings(17, &s);
    EXPECT_EQ(WaitForFrame(17, &r), St::Timeout);
    EXPECT_EQ(WaitForFrame(17, nullptr), St::Error);
    EXPECT_EQ(SetFrameBufferSize(17, 0, 1464), St::Error);
    EXPECT_EQ(SetFrameBufferSize(17, 1 << 20, 0), St::Error);
    void* buffer = nullptr;
    EXPECT_EQ(GetFrameBuffer(17, 0, nullptr), St::Error);
    ASSERT_EQ(GetFrameBuffer(17, 0, &buffer), St::Ok);
    EXPECT_EQ(OpenStreamChannel(17, 0, 0, 0), St::Error);  // already open
    EXPECT_EQ(StartAcquisition(200, 0), St::Error);
}

TEST(PelionStream, HostilePacketsAtTheStreamPortAreDropped) {
    StreamingCamera cam(18, 18);
    ASSERT_TRUE(cam.ok);
    cam.Configure(64, 32, Sim::PixelFormat::Mono8, 576);
    ASSERT_EQ(StartAcquisition(18, 0), St::Ok);
    FrameRecord r{};
    ASSERT_EQ(WaitForFrame(18, &r), St::Ok);
    const auto config = cam.server.StreamConfig();
    ASSERT_NE(config.port, 0);

    // From the camera's own address, so that only the contents decide.
    UdpSocket rogue;
    ASSERT_TRUE(rogue.Open(Loopback(18), 0));
    std::vector<std::vector<uint8_t>> packets;
    packets.push_back({0, 0, 0, 1});                                       // short header
    packets.push_back({0, 0, 0xFF, 0xF0, 3, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4});  // packet id far past the frame
    std::vector<uint8_t> oversized(2000, 0xEE);  // payload larger than a packet may carry
    Gvsp::EncodeHeader(oversized.data(), oversized.size(), 0, 0xFFF0, Gvsp::Format::Payload, 1, false);
    packets.push_back(oversized);
    std::vector<uint8_t> leader(8 + 36, 0);  // a leader whose geometry exceeds the buffer
    Gvsp::Leader l;
    l.pixelFormat = Sim::PixelFormat::Mono8;
    l.width = 60000;
    l.height = 60000;
    Gvsp::EncodeImageLeader(leader.data(), leader.size(), 0xFFF1, false, l);
    packets.push_back(leader);
    for (int round = 0; round < 20; ++round)
        for (const auto& p : packets) rogue.SendTo(p.data(), p.size(), 0x7F000001, config.port);

    void* buffer = nullptr;
    ASSERT_EQ(GetFrameBuffer(18, 0, &buffer), St::Ok);
    int good = 0;
    for (int i = 0; i < 20; ++i) {
        Status st = WaitForFrame(18, &r);
        ASSERT_NE(st, St::Timeout);
        if (st == St::Ok && cam.Matches(r, buffer)) ++good;
    }
    EXPECT_GE(good, 15);
}

// Every packet counts once: one that does not fit its frame is rejected, not also received.
TEST(PelionStream, PacketTooLargeForItsFrameCountsOnlyAsRejected) {
    constexpr uint32_t kHost = 0x7F000001, kCamera = 0x7F4D0002;  // 127.0.0.1, 127.77.0.2
    StreamReceiver receiver;
    ASSERT_EQ(receiver.Open(kHost, 0, kCamera), St::Ok);
    ASSERT_EQ(receiver.SetBufferSize(4096, 512), St::Ok);
    SettingsRecord settings{};
    settings.packetTimeoutMs = 20;
    settings.frameRetentionMs = 200;
    receiver.SetSettings(settings);  // no resend requests
    UdpSocket camera;
    ASSERT_TRUE(camera.Open(kCamera, 0));
    std::vector<uint8_t> oversized(8 + 600, 0xAB), fitting(8 + 512, 0xCD);
    ASSERT_EQ(Gvsp::EncodeHeader(oversized.data(), oversized.size(), 0, 1, Gvsp::Format::Payload, 1, false), 8u);
    ASSERT_EQ(Gvsp::EncodeHeader(fitting.data(), fitting.size(), 0, 1, Gvsp::Format::Payload, 2, false), 8u);
    camera.SendTo(oversized.data(), oversized.size(), kHost, receiver.Port());
    camera.SendTo(fitting.data(), fitting.size(), kHost, receiver.Port());

    StreamStatistics stats;
    for (int i = 0; i < 6000; ++i) {  // a bound only against a broken build
        stats = receiver.Statistics();
        if (stats.packetsReceived + stats.packetsRejected >= 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(stats.packetsRejected, 1u);
    EXPECT_EQ(stats.packetsReceived, 1u);
}
