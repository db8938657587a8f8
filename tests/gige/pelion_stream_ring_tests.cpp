// The receiver's two packet sources: the IPv4/UDP parser and the in-kernel flow filter of the
// packet ring, and whole streams over the ring and over the UDP socket (frames exact, resend
// under loss, a caller that falls briefly behind loses nothing).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "PelionTestCamera.h"
#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/PacketRing.h"
#include "gige/pelion/StreamReceiver.h"
#include "gige/pelion/Pelion.h"
#include "gige/pelion/UdpSocket.h"
#include "sim/gige/GigEFrameGenerator.h"

using namespace Kovon;
using namespace Kovon::Pelion;
using PelionTest::Connection;
using PelionTest::Identity;
using PelionTest::Loopback;

namespace {

// An IPv4 header (20 bytes, no options) and a UDP header in front of `payload` bytes.
std::vector<uint8_t> Datagram(size_t payload) {
    const size_t total = 28 + payload;
    // clang-format off
    const uint8_t header[28] = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 1, 0x40, 0,  // DF set
                                64,   17, 0, 0, 127, 0, 0, 9, 127, 0, 0, 1,                  // from .9 to .1
                                0x12, 0x34, 0x56, 0x78, uint8_t((payload + 8) >> 8), uint8_t(payload + 8), 0, 0};
    // clang-format on
    std::vector<uint8_t> p(header, header + sizeof header);
    p.resize(total, 0xAB);
    return p;
}

}  // namespace

TEST(PelionStreamRing, ParsesUdpDatagramsAndRefusesMalformedOnes) {
    const auto good = Datagram(100);
    auto d = ParseUdpDatagram(good.data(), good.size());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->sourceIp, 0x7F000009u);
    EXPECT_EQ(d->destinationIp, 0x7F000001u);
    EXPECT_EQ(d->sourcePort, 0x1234);
    EXPECT_EQ(d->destinationPort, 0x5678);
    EXPECT_EQ(d->payload, good.data() + 28);
    EXPECT_EQ(d->payloadSize, 100u);

    // Trailing bytes past the IP total length (link padding) are not payload.
    auto padded = good;
    padded.resize(good.size() + 6, 0);
    ASSERT_TRUE(ParseUdpDatagram(padded.data(), padded.size()));
    EXPECT_EQ(ParseUdpDatagram(padded.data(), padded.size())->payloadSize, 100u);

    struct Case {
        const char* what;
        size_t offset;
        uint8_t value;
    };
    const Case cases[] = {
        {"IPv6 version", 0, 0x65},
        {"header length below 20", 0, 0x44},
        {"header past the packet", 0, 0x4F},
        {"total length past the packet", 2, 0xFF},
        {"more fragments", 6, 0x20},
        {"fragment offset", 7, 0x01},
        {"not UDP", 9, 6},
        {"UDP length past the IP payload", 24, 0xFF},
        {"UDP length below its header", 25, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto bad = good;
        bad[c.offset] = c.value;
        if (c.offset == 25) bad[24] = 0;
        EXPECT_FALSE(ParseUdpDatagram(bad.data(), bad.size()));
    }
    for (size_t size : {size_t{0}, size_t{19}, size_t{27}}) EXPECT_FALSE(ParseUdpDatagram(good.data(), size));
    EXPECT_FALSE(ParseUdpDatagram(nullptr, 100));
}

TEST(PelionStreamRing, ChecksUdpChecksums) {
    auto d = Datagram(1);
    d[28] = 'A';
    struct Case {
        uint16_t checksum;
        bool valid;
    };
    // 0x5825 worked out by hand for 127.0.0.9:0x1234 -> 127.0.0.1:0x5678, one byte 'A'.
    for (const Case& c : {Case{0x5825, true}, Case{0x5826, false}, Case{0x0000, true}, Case{0xA7DA, false}}) {
        SCOPED_TRACE(c.checksum);
        d[26] = uint8_t(c.checksum >> 8);
        d[27] = uint8_t(c.checksum);
        EXPECT_EQ(UdpChecksumValid(d.data(), d.size()), c.valid);
    }
    d[26] = 0x58, d[27] = 0x25;
    d[28] = 'B';  // a payload bit flipped in transit
    EXPECT_FALSE(UdpChecksumValid(d.data(), d.size()));
    EXPECT_FALSE(UdpChecksumValid(d.data(), 20));
}

// Datagrams of every length class the summing loop treats apart (whole 8-byte steps, 2-byte rest,
// an odd last byte), up to jumbo size, with random bytes: the checksum a word-by-word sum gives is
// accepted, and any payload byte changed is caught.
TEST(PelionStreamRing, ChecksumAgreesWithAWordByWordSumAtEveryLength) {
    std::mt19937 random(7);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (size_t n : {1471, 1472, 1473, 8963, 8964}) lengths.push_back(n);
    for (size_t n : lengths) {
        SCOPED_TRACE(n);
        auto d = Datagram(n);
        for (size_t i = 28; i < d.size(); ++i) d[i] = static_cast<uint8_t>(random());
        d[26] = d[27] = 0;
        uint32_t sum = 0x7F00 + 0x0009 + 0x7F00 + 0x0001 + 17 + uint32_t(n + 8);
        for (size_t i = 20; i < d.size(); i += 2)
            sum += uint32_t(d[i]) << 8 | (i + 1 < d.size() ? d[i + 1] : 0);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        const uint16_t checksum = sum == 0xFFFF ? 0xFFFF : static_cast<uint16_t>(~sum);
        d[26] = uint8_t(checksum >> 8);
        d[27] = uint8_t(checksum);
        EXPECT_TRUE(UdpChecksumValid(d.data(), d.size()));
        if (n == 0) continue;
        d[28 + random() % n] ^= static_cast<uint8_t>(1 + random() % 255);
        EXPECT_FALSE(UdpChecksumValid(d.data(), d.size()));
    }
}

TEST(PelionStreamRing, TheRingKeepsOnlyTheCamerasFlow) {
    UdpSocket receiver;
    ASSERT_TRUE(receiver.Open(0x7F000001, 0));
    const uint16_t port = receiver.LocalPort();
    PacketRing ring;
    if (!ring.Open(Loopback(120), 0x7F000001, port, 4 << 20))
        GTEST_SKIP() << "packet sockets are not allowed here";

    UdpSocket camera, stranger;
    ASSERT_TRUE(camera.Open(Loopback(120), 0));
    ASSERT_TRUE(stranger.Open(Loopback(121), 0));
    const uint8_t wanted[] = {'c', 'a', 'm'};
    const uint8_t unwanted[] = {'x'};
    stranger.SendTo(unwanted, sizeof unwanted, 0x7F000001, port);              // wrong source
    camera.SendTo(unwanted, sizeof unwanted, 0x7F000001, uint16_t(port + 1));  // wrong port
    camera.SendTo(wanted, sizeof wanted, 0x7F000001, port);

    // The packet is kept where the kernel put it while referenced, its block out of the kernel's hands.
    std::vector<const uint8_t*> seen;
    size_t block = 0;
    ASSERT_TRUE(PelionTest::Eventually([&] {
        ring.Wait(10);
        block = ring.CurrentBlock();
        ring.ConsumeBlock([&](const uint8_t* p, size_t n, bool) {
            auto d = ParseUdpDatagram(p, n);
            ASSERT_TRUE(d);
            seen.push_back(d->payload);
            EXPECT_EQ(std::vector<uint8_t>(d->payload, d->payload + d->payloadSize),
                      std::vector<uint8_t>(wanted, wanted + sizeof wanted));
            ring.Reference(ring.CurrentBlock());
        });
        return !seen.empty();
    }));
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_FALSE(ring.Pending());
    // A kept block does not wake the reader again (poll() would report it ready at once, and the
    // reader would spin): only the next block handed over does. (The block read above may have
    // been handed over after the last Wait: that one wake-up may still be due.)
    ring.Wait(0);
    EXPECT_FALSE(ring.Wait(50));
    EXPECT_FALSE(ring.Fresh());
    camera.SendTo(wanted, sizeof wanted, 0x7F000001, port);
    ASSERT_TRUE(PelionTest::Eventually([&] { return ring.Wait(10) || ring.Fresh(); }));
    EXPECT_TRUE(ring.Fresh());
    EXPECT_EQ(ring.ConsumeBlock([](const uint8_t*, size_t, bool) {}), 1u);
    ring.Unreference(block);
    EXPECT_EQ(ring.Drops(), 0u);
}

// Whole streams over each packet source.
class PelionStreamSource : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        SetPacketRingAllowed(!GetParam());
    }
    void TearDown() override { SetPacketRingAllowed(true); }
};

// Streams 640x480 Mono8 from a camera at 127.0.0.<last> on a link of `mbps` (slow enough for
// sanitizer builds); `loss` of its packets are dropped; the caller sleeps `stallMs` before every
// 50th frame. Counts complete, pixel-exact frames and the
// frames the receiver dropped while it ran.
struct StreamRun {
    int complete = 0, exact = 0;
    uint64_t dropped = 0;
    uint64_t resendRequests = 0;
};

StreamRun Stream(uint8_t last, double loss, int frames, int stallMs, uint64_t mbps) {
    StreamRun run;
    const uint8_t index = last;
    Sim::GigECameraServer server(Identity(last, "RING"));
    EXPECT_TRUE(server.Start());
    ConnectionRecord c = Connection(Loopback(last));
    EXPECT_EQ(OpenCamera(index, &c, 0, 0, 1), St::Ok);
    EXPECT_EQ(OpenStreamChannel(index, c.hostAddress, 0, 0), St::Ok);
    const uint32_t geometry[2] = {640, 480}, mono8 = Sim::PixelFormat::Mono8;
    EXPECT_EQ(WriteRegisters(index, Reg::Width, 2, geometry), St::Ok);
    EXPECT_EQ(WriteRegisters(index, Reg::PixelFormat, 1, &mono8), St::Ok);
    server.SetPacketLoss(loss);
    server.SetLinkSpeed(mbps * 1'000'000);
    EXPECT_EQ(StartAcquisition(index, 0), St::Ok);
    void* buffer = nullptr;
    EXPECT_EQ(GetFrameBuffer(index, 0, &buffer), St::Ok);

    std::vector<uint8_t> expected(640 * 480);
    uint64_t droppedBefore = 0;
    for (int i = 0; i < frames; ++i) {
        if (stallMs != 0 && i % 50 == 25) std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
        FrameRecord r{};
        Status st = WaitForFrame(index, &r);
        if (st == St::Timeout) {
            ADD_FAILURE() << "no frame";
            break;
        }
        if (i == 0) droppedBefore = r.framesDropped;
        run.dropped = r.framesDropped - droppedBefore;
        if (st != St::Ok) continue;
        ++run.complete;
        Sim::GigEFrameGenerator::Fill(mono8, 640, 480, static_cast<uint32_t>(r.blockId % 4), expected.data());
        if (r.payloadBytes == expected.size() && std::memcmp(buffer, expected.data(), expected.size()) == 0)
            ++run.exact;
    }
    run.resendRequests = server.Counters().resendRequests;
    StopAcquisition(index);
    CloseStreamChannel(index);
    CloseCamera(index);
    return run;
}

TEST_P(PelionStreamSource, ResendRecoversFramesUnderOnePercentLoss) {
    const int frames = 200;
    StreamRun run = Stream(GetParam() ? 122 : 123, 0.01, frames, 0, 300);  // about 8 ms a frame
    EXPECT_GT(run.resendRequests, 0u);
    EXPECT_GE(run.complete * 1000, frames * 999) << run.complete;
    EXPECT_EQ(run.exact, run.complete);
}

TEST_P(PelionStreamSource, ACallerHeldUpBrieflyLosesNoFrame) {
    // Held up for longer than the frame slots last (8 frames of about 25 ms): the receiver waits
    // for the caller rather than drop frames. At this rate the frames waiting span more ring blocks
    // than they may keep, so the oldest of them move out of the ring meanwhile.
    const int frames = 100;
    StreamRun run = Stream(GetParam() ? 124 : 125, 0, frames, 220, 100);
    EXPECT_EQ(run.dropped, 0u);
    EXPECT_EQ(run.complete, frames);
    EXPECT_EQ(run.exact, frames);
}

INSTANTIATE_TEST_SUITE_P(Sources, PelionStreamSource, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Socket" : "Ring"; });
