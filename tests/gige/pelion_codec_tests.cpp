// Codec tests: round trips of every packet kind, and malformed packets that must be rejected
// without reading outside the datagram.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gige/pelion/ByteCodec.h"
#include "gige/pelion/GvcpCodec.h"
#include "gige/pelion/GvspCodec.h"

using namespace Kovon::Pelion;

namespace {

// Decodes from an exactly sized heap copy, so that ASan sees any read past the datagram.
template <typename F>
auto DecodeExact(const std::vector<uint8_t>& bytes, F decode) {
    std::vector<uint8_t> copy(bytes);
    return decode(copy.data(), copy.size());
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

}  // namespace

TEST(ByteCodec, ReaderLatchesFailureAndNeverReadsPastTheEnd) {
    const uint8_t data[3] = {1, 2, 3};
    ByteReader r(data, sizeof data);
    EXPECT_EQ(r.U16(), 0x0102);
    EXPECT_EQ(r.U32(), 0u);  // only one byte left
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.U8(), 0);  // stays failed
    EXPECT_EQ(r.position(), 2u);
}

TEST(ByteCodec, WriterRefusesOverflowAndFixedTextKeepsANul) {
    uint8_t buf[6] = {};
    ByteWriter w(buf, sizeof buf);
    w.FixedText("abcdefgh", 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "abc");
    w.U32(1);  // 4 + 4 > 6
    EXPECT_FALSE(w.ok());
    char out[8];
    const uint8_t noNul[4] = {'w', 'x', 'y', 'z'};
    CopyFixedText(out, sizeof out, noNul, sizeof noNul);
    EXPECT_STREQ(out, "wxyz");
}

TEST(GvcpCodec, CommandRoundTrips) {
    uint8_t buf[Gvcp::kMaxPacket];

    size_t n = Gvcp::EncodeDiscoveryCommand(buf, sizeof buf, 7, true);
    ASSERT_EQ(n, 8u);
    auto cmd = Gvcp::DecodeCommand(buf, n);
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->command, Gvcp::Cmd::Discovery);
    EXPECT_EQ(cmd->reqId, 7);
    EXPECT_EQ(cmd->flags, Gvcp::Flag::AckRequired | Gvcp::Flag::BroadcastAck);

    const uint32_t addrs[3] = {0x0, 0xA004, 0x0D04};
    n = Gvcp::EncodeReadRegCommand(buf, sizeof buf, 9, addrs, 3);
    cmd = Gvcp::DecodeCommand(buf, n);
    ASSERT_TRUE(cmd);
    uint32_t got[4];
    size_t count = 0;
    ASSERT_TRUE(Gvcp::DecodeReadRegCommand(*cmd, got, 4, count));
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(got[1], 0xA004u);
    EXPECT_FALSE(Gvcp::DecodeReadRegCommand(*cmd, got, 2, count));  // more than the caller holds

    const Gvcp::RegisterWrite writes[2] = {{0x0A00, 2}, {0xA030, 1}};
    n = Gvcp::EncodeWriteRegCommand(buf, sizeof buf, 10, writes, 2);
    cmd = Gvcp::DecodeCommand(buf, n);
    Gvcp::RegisterWrite wgot[2];
    ASSERT_TRUE(cmd && Gvcp::DecodeWriteRegCommand(*cmd, wgot, 2, count));
    EXPECT_EQ(wgot[1].address, 0xA030u);
    EXPECT_EQ(wgot[1].value, 1u);

    n = Gvcp::EncodeReadMemCommand(buf, sizeof buf, 11, 0x10000, 512);
    cmd = Gvcp::DecodeCommand(buf, n);
    auto rm = cmd ? Gvcp::DecodeReadMemCommand(*cmd) : std::nullopt;
    ASSERT_TRUE(rm);
    EXPECT_EQ(rm->address, 0x10000u);
    EXPECT_EQ(rm->count, 512);

    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    n = Gvcp::EncodeWriteMemCommand(buf, sizeof buf, 12, 0x20000, data, 8);
    cmd = Gvcp::DecodeCommand(buf, n);
    auto wm = cmd ? Gvcp::DecodeWriteMemCommand(*cmd) : std::nullopt;
    ASSERT_TRUE(wm);
    EXPECT_EQ(wm->size, 8);
    EXPECT_EQ(0, std::memcmp(wm->data, data, 8));

    Gvcp::ForceIpCommand f;
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(f.mac, mac, 6);
    f.ip = 0x7F000015;
    f.mask = 0xFF000000;
    f.gateway = 0;
    n = Gvcp::EncodeForceIpCommand(buf, sizeof buf, 13, f);
    EXPECT_EQ(n, 8 + Gvcp::kForceIpSize);
    cmd = Gvcp::DecodeCommand(buf, n);
    auto fg = cmd ? Gvcp::DecodeForceIpCommand(*cmd) : std::nullopt;
    ASSERT_TRUE(fg);
    EXPECT_EQ(0, std::memcmp(fg->mac, mac, 6));
    EXPECT_EQ(fg->ip, 0x7F000015u);
    EXPECT_EQ(fg->mask, 0xFF000000u);

    for (bool extended : {false, true}) {
        Gvcp::PacketResendCommand pr{0, extended ? 0x1'0000'0001ull : 0x1234, 5, 9, extended};
        n = Gvcp::EncodePacketResendCommand(buf, sizeof buf, 14, pr);
        cmd = Gvcp::DecodeCommand(buf, n);
        auto pg = cmd ? Gvcp::DecodePacketResendCommand(*cmd) : std::nullopt;
        ASSERT_TRUE(pg) << extended;
        EXPECT_EQ(pg->blockId, pr.blockId);
        EXPECT_EQ(pg->firstPacketId, 5u);
        EXPECT_EQ(pg->lastPacketId, 9u);
        EXPECT_EQ(cmd->flags & Gvcp::Flag::AckRequired, 0);  // resend is never acknowledged
    }

    Gvcp::EventItem items[2] = {{0x9001, 0, 3, 0x1122334455667788ull, nullptr, 0}, {0x9002, 0, 4, 5, nullptr, 0}};
    n = Gvcp::EncodeEventCommand(buf, sizeof buf, 15, items, 2, true);
    cmd = Gvcp::DecodeCommand(buf, n);
    Gvcp::EventItem egot[4];
    ASSERT_TRUE(cmd && Gvcp::DecodeEventCommand(*cmd, egot, 4, count));
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(egot[0].timestamp, 0x1122334455667788ull);
    EXPECT_EQ(egot[1].eventId, 0x9002);

    const uint8_t evdata[5] = {9, 8, 7, 6, 5};
    Gvcp::EventItem withData{0x9003, 0, 0, 1, evdata, 5};
    n = Gvcp::EncodeEventDataCommand(buf, sizeof buf, 16, withData, false);
    cmd = Gvcp::DecodeCommand(buf, n);
    auto ed = cmd ? Gvcp::DecodeEventDataCommand(*cmd) : std::nullopt;
    ASSERT_TRUE(ed);
    EXPECT_EQ(ed->eventId, 0x9003);
    ASSERT_EQ(ed->dataSize, 8);  // padded to 32 bits on the wire
    EXPECT_EQ(0, std::memcmp(ed->data, evdata, 5));
}

TEST(GvcpCodec, AckRoundTrips) {
    uint8_t buf[Gvcp::kMaxPacket];
    Gvcp::DeviceInfo d;
    d.deviceMode = 0x80000001;
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 9};
    std::memcpy(d.mac, mac, 6);
    d.ip = 0x7F000005;
    d.mask = 0xFF000000;
    std::strcpy(d.manufacturer, "Maker");
    std::strcpy(d.model, "M-1");
    std::strcpy(d.serial, "0123456789ABCDEF");  // fills the 16-byte field: no NUL on the wire
    size_t n = Gvcp::EncodeDiscoveryAck(buf, sizeof buf, 0x55, d);
    ASSERT_EQ(n, 8 + Gvcp::kDiscoveryAckSize);
    auto ack = Gvcp::DecodeAck(buf, n);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->ackId, 0x55);
    auto dg = Gvcp::DecodeDiscoveryAck(*ack);
    ASSERT_TRUE(dg);
    EXPECT_EQ(dg->ip, 0x7F000005u);
    EXPECT_EQ(0, std::memcmp(dg->mac, mac, 6));
    EXPECT_STREQ(dg->model, "M-1");
    EXPECT_STREQ(dg->serial, "0123456789ABCDE");  // the last character makes room for the NUL

    const uint32_t values[2] = {0xDEADBEEF, 2};
    n = Gvcp::EncodeReadRegAck(buf, sizeof buf, 3, values, 2);
    ack = Gvcp::DecodeAck(buf, n);
    uint32_t vg[2];
    ASSERT_TRUE(ack && Gvcp::DecodeReadRegAck(*ack, vg, 2));
    EXPECT_EQ(vg[0], 0xDEADBEEFu);
    EXPECT_FALSE(Gvcp::DecodeReadRegAck(*ack, vg, 1));  // count must match exactly

    n = Gvcp::EncodeWriteAck(buf, sizeof buf, Gvcp::DeviceStatus::AccessDenied, Gvcp::Cmd::WriteRegAck, 4, 0);
    ack = Gvcp::DecodeAck(buf, n);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->status, Gvcp::DeviceStatus::AccessDenied);
    EXPECT_EQ(Gvcp::DecodeWriteAckIndex(*ack).value_or(99), 0);

    const uint8_t mem[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    n = Gvcp::EncodeReadMemAck(buf, sizeof buf, 5, 0x200, mem, 8);
    ack = Gvcp::DecodeAck(buf, n);
    uint8_t mg[8];
    ASSERT_TRUE(ack && Gvcp::DecodeReadMemAck(*ack, 0x200, mg, 8));
    EXPECT_EQ(0, std::memcmp(mg, mem, 8));
    EXPECT_FALSE(Gvcp::DecodeReadMemAck(*ack, 0x204, mg, 8));  // answer for another address

    n = Gvcp::EncodePendingAck(buf, sizeof buf, 6, 750);
    ack = Gvcp::DecodeAck(buf, n);
    ASSERT_TRUE(ack);
    EXPECT_EQ(Gvcp::DecodePendingAck(*ack).value_or(0), 750);
}

TEST(GvcpCodec, EncodersRefuseWhatTheWireCannotCarry) {
    uint8_t buf[Gvcp::kMaxPacket];
    uint32_t addrs[Gvcp::kMaxReadRegisters + 1] = {};
    EXPECT_EQ(Gvcp::EncodeReadRegCommand(buf, sizeof buf, 1, addrs, Gvcp::kMaxReadRegisters + 1), 0u);
    EXPECT_EQ(Gvcp::EncodeReadRegCommand(buf, sizeof buf, 1, addrs, 0), 0u);
    const uint32_t unaligned = 0x202;
    EXPECT_EQ(Gvcp::EncodeReadRegCommand(buf, sizeof buf, 1, &unaligned, 1), 0u);
    EXPECT_EQ(Gvcp::EncodeReadMemCommand(buf, sizeof buf, 1, 0, 540), 0u);  // over 536
    EXPECT_EQ(Gvcp::EncodeReadMemCommand(buf, sizeof buf, 1, 0, 6), 0u);    // not a multiple of 4
    EXPECT_EQ(Gvcp::EncodeDiscoveryCommand(buf, 4, 1, false), 0u);          // buffer too small
    uint8_t big[600] = {};
    EXPECT_EQ(Gvcp::EncodeWriteMemCommand(buf, sizeof buf, 1, 0, big, 540), 0u);
    Gvcp::PacketResendCommand pr{0, 0x10000, 0, 1, false};  // block id too wide for the short form
    EXPECT_EQ(Gvcp::EncodePacketResendCommand(buf, sizeof buf, 1, pr), 0u);
}

TEST(GvcpCodec, MalformedPacketsAreRejected) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const std::vector<Case> commands = {
        {"empty", {}},
        {"short header", Bytes({0x42, 0x01, 0x00, 0x80, 0x00})},
        {"wrong key", Bytes({0x43, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0, 0, 0, 0})},
        {"length past the datagram", Bytes({0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x00, 0x01, 0, 0, 0, 0})},
        {"length not a multiple of 4", Bytes({0x42, 0x01, 0x00, 0x80, 0x00, 0x03, 0x00, 0x01, 0, 0, 0, 0})},
        {"length over 540", Bytes({0x42, 0x01, 0x00, 0x80, 0x02, 0x20, 0x00, 0x01})},
    };
    for (const auto& c : commands) EXPECT_FALSE(DecodeExact(c.bytes, Gvcp::DecodeCommand)) << c.what;

    const std::vector<Case> acks = {
        {"short", Bytes({0x00, 0x00, 0x00, 0x81})},
        {"length past the datagram", Bytes({0x00, 0x00, 0x00, 0x81, 0x00, 0x08, 0x00, 0x01, 1, 2, 3, 4})},
        {"a command, not an ack", Bytes({0x42, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x01})},
    };
    for (const auto& c : acks) EXPECT_FALSE(DecodeExact(c.bytes, Gvcp::DecodeAck)) << c.what;

    // Well-formed headers with inconsistent payloads.
    auto ackOf = [](std::vector<uint8_t> bytes) {
        static std::vector<uint8_t> keep;
        keep = std::move(bytes);
        return *Gvcp::DecodeAck(keep.data(), keep.size());
    };
    EXPECT_FALSE(Gvcp::DecodeDiscoveryAck(ackOf(Bytes({0, 0, 0, 3, 0, 4, 0, 1, 0, 1, 0, 2}))));  // 4 of 248
    EXPECT_FALSE(Gvcp::DecodePendingAck(ackOf(Bytes({0, 0, 0, 0x89, 0, 8, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0}))));
    EXPECT_FALSE(Gvcp::DecodeWriteAckIndex(ackOf(Bytes({0, 0, 0, 0x81, 0, 4, 0, 1, 0, 0, 0, 1}))));  // wrong answer

    auto cmdOf = [](std::vector<uint8_t> bytes) {
        static std::vector<uint8_t> keep;
        keep = std::move(bytes);
        return *Gvcp::DecodeCommand(keep.data(), keep.size());
    };
    // READMEM of 0 bytes, of 6 bytes, and of 540 bytes.
    EXPECT_FALSE(Gvcp::DecodeReadMemCommand(cmdOf(Bytes({0x42, 1, 0, 0x84, 0, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}))));
    EXPECT_FALSE(Gvcp::DecodeReadMemCommand(cmdOf(Bytes({0x42, 1, 0, 0x84, 0, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 6}))));
    EXPECT_FALSE(
        Gvcp::DecodeReadMemCommand(cmdOf(Bytes({0x42, 1, 0, 0x84, 0, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0x02, 0x1C}))));
    // WRITEMEM with an address and no data; WRITEREG with half a pair; FORCEIP too short.
    EXPECT_FALSE(Gvcp::DecodeWriteMemCommand(cmdOf(Bytes({0x42, 1, 0, 0x86, 0, 4, 0, 1, 0, 0, 0, 0}))));
    Gvcp::RegisterWrite w[4];
    size_t count = 99;
    EXPECT_FALSE(Gvcp::DecodeWriteRegCommand(cmdOf(Bytes({0x42, 1, 0, 0x82, 0, 4, 0, 1, 0, 0, 0, 0})), w, 4, count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(Gvcp::DecodeForceIpCommand(cmdOf(Bytes({0x42, 1, 0, 0x04, 0, 4, 0, 1, 0, 0, 0, 0}))));
    // PACKETRESEND with first > last.
    EXPECT_FALSE(Gvcp::DecodePacketResendCommand(
        cmdOf(Bytes({0x42, 0, 0, 0x40, 0, 12, 0, 1, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 5}))));
    // EVENT whose size is not a whole number of events.
    Gvcp::EventItem e[4];
    EXPECT_FALSE(Gvcp::DecodeEventCommand(cmdOf(Bytes({0x42, 1, 0, 0xC0, 0, 8, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0})), e,
                                          4, count));
}

TEST(GvspCodec, LeaderPayloadTrailerRoundTrip) {
    for (bool extended : {false, true}) {
        uint8_t buf[128];
        Gvsp::Leader l;
        l.timestamp = 0x0102030405060708ull;
        l.pixelFormat = 0x01080001;
        l.width = 640;
        l.height = 480;
        size_t n = Gvsp::EncodeImageLeader(buf, sizeof buf, 77, extended, l);
        ASSERT_EQ(n, (extended ? Gvsp::kExtendedHeaderSize : Gvsp::kHeaderSize) + Gvsp::kImageLeaderSize);
        auto p = Gvsp::DecodePacket(buf, n);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->extendedId, extended);
        EXPECT_EQ(p->blockId, 77u);
        auto lg = Gvsp::DecodeLeader(*p);
        ASSERT_TRUE(lg);
        EXPECT_EQ(lg->timestamp, l.timestamp);
        EXPECT_EQ(lg->width, 640u);
        EXPECT_EQ(lg->pixelFormat, 0x01080001u);

        n = Gvsp::EncodeHeader(buf, sizeof buf, 0, 77, Gvsp::Format::Payload, 0x123456, extended);
        buf[n] = 0xAB;
        p = Gvsp::DecodePacket(buf, n + 1);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->format, Gvsp::Format::Payload);
        EXPECT_EQ(p->packetId, 0x123456u);
        EXPECT_EQ(p->dataSize, 1u);
        EXPECT_EQ(p->data[0], 0xAB);

        n = Gvsp::EncodeImageTrailer(buf, sizeof buf, 77, 211, extended, 480);
        p = Gvsp::DecodePacket(buf, n);
        auto t = p ? Gvsp::DecodeTrailer(*p) : std::nullopt;
        ASSERT_TRUE(t);
        EXPECT_EQ(p->packetId, 211u);
        EXPECT_EQ(t->height, 480u);
    }
}

TEST(GvspCodec, MalformedPacketsAreRejected) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const std::vector<Case> cases = {
        {"short header", Bytes({0, 0, 0, 1, 3, 0, 0})},
        {"block id 0", Bytes({0, 0, 0, 0, 3, 0, 0, 1, 0xAA})},
        {"unknown format", Bytes({0, 0, 0, 1, 7, 0, 0, 1, 0xAA})},
        {"leader with a packet id", Bytes({0, 0, 0, 1, 1, 0, 0, 1, 0xAA})},
        {"payload with packet id 0", Bytes({0, 0, 0, 1, 3, 0, 0, 0, 0xAA})},
        {"payload without data", Bytes({0, 0, 0, 1, 3, 0, 0, 1})},
        {"extended header cut short", Bytes({0, 0, 0, 0, 0x83, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})},
    };
    for (const auto& c : cases) EXPECT_FALSE(DecodeExact(c.bytes, Gvsp::DecodePacket)) << c.what;

    // A leader cut inside the image fields, and a trailer without its height.
    std::vector<uint8_t> leader = Bytes({0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 8});
    auto p = Gvsp::DecodePacket(leader.data(), leader.size());
    ASSERT_TRUE(p);
    EXPECT_FALSE(Gvsp::DecodeLeader(*p));
    std::vector<uint8_t> trailer = Bytes({0, 0, 0, 1, 2, 0, 0, 5, 0, 0, 0, 1});
    p = Gvsp::DecodePacket(trailer.data(), trailer.size());
    ASSERT_TRUE(p);
    EXPECT_FALSE(Gvsp::DecodeTrailer(*p));
}
