// Wire codecs of the USB3 Vision library: round trips and malformed input.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "u3v/tessa/ByteCursor.h"
#include "u3v/tessa/U3vWire.h"

using namespace Kovon::Tessa;
using namespace Kovon::Tessa::Wire;

namespace {

std::vector<uint8_t> Ack(uint16_t status, uint16_t cmd, uint16_t req, std::vector<uint8_t> scd) {
    std::vector<uint8_t> out(kControlHeaderSize + scd.size());
    size_t n = EncodeAck(out.data(), out.size(), status, cmd, req, scd.data(), uint16_t(scd.size()));
    EXPECT_EQ(n, out.size());
    return out;
}

// Copy of v with byte i replaced (bounds-checked, so a wrong index fails the test, not memory).
std::vector<uint8_t> With(std::vector<uint8_t> v, size_t i, uint8_t b) {
    if (i < v.size()) v.at(i) = b;
    else ADD_FAILURE() << "index " << i << " outside " << v.size();
    return v;
}

// Byte i of a decoded field, 0 when the field is absent.
uint8_t At(const uint8_t* p, size_t i) { return p != nullptr ? p[i] : 0; }

}  // namespace

TEST(TessaByteCursor, FailureIsStickyAndNothingIsReadPastTheEnd) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ByteReader r(data, sizeof data);
    EXPECT_EQ(r.U32(), 0x04030201u);
    EXPECT_EQ(r.U16(), 0u);  // only one byte left
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.U8(), 0u);  // stays failed although one byte would fit
    EXPECT_EQ(r.Bytes(1), nullptr);

    uint8_t out[6] = {0, 0, 0, 0, 0, 0xEE};
    ByteWriter w(out, 5);
    w.U32(0xAABBCCDD);
    w.U16(0x1122);
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(out[4], 0);     // the refused write left the range untouched
    EXPECT_EQ(out[5], 0xEE);  // and nothing beyond it
}

TEST(TessaWire, ReadAndWriteCommandsRoundTrip) {
    uint8_t buf[64];
    size_t n = EncodeReadMem(buf, sizeof buf, 7, 0x123456789AULL, 0x40);
    ASSERT_EQ(n, kControlHeaderSize + kReadMemCmdScdSize);
    EXPECT_EQ(std::memcmp(buf, "U3VC", 4), 0);
    Command cmd;
    ASSERT_EQ(DecodeCommand(buf, n, cmd), DecodeError::kOk);
    EXPECT_EQ(cmd.commandId, kReadMemCmd);
    EXPECT_EQ(cmd.requestId, 7);
    EXPECT_TRUE(cmd.flags & kFlagRequestAck);
    ReadMemRequest rq;
    ASSERT_EQ(DecodeReadMemRequest(cmd, rq), DecodeError::kOk);
    EXPECT_EQ(rq.address, 0x123456789AULL);
    EXPECT_EQ(rq.length, 0x40);
    WriteMemRequest wq;
    EXPECT_EQ(DecodeWriteMemRequest(cmd, wq), DecodeError::kUnexpected);

    const uint8_t data[3] = {9, 8, 7};
    n = EncodeWriteMem(buf, sizeof buf, 8, 0x184, data, 3);
    ASSERT_EQ(n, kControlHeaderSize + 8 + 3);
    ASSERT_EQ(DecodeCommand(buf, n, cmd), DecodeError::kOk);
    ASSERT_EQ(DecodeWriteMemRequest(cmd, wq), DecodeError::kOk);
    EXPECT_EQ(wq.address, 0x184u);
    ASSERT_EQ(wq.length, 3);
    EXPECT_TRUE(wq.data && std::memcmp(wq.data, data, 3) == 0);

    // Outputs too small are refused whole.
    EXPECT_EQ(EncodeReadMem(buf, kControlHeaderSize + 11, 1, 0, 4), 0u);
    EXPECT_EQ(EncodeWriteMem(buf, kControlHeaderSize + 8 + 2, 1, 0, data, 3), 0u);
    EXPECT_EQ(EncodeWriteMem(buf, sizeof buf, 1, 0, nullptr, 3), 0u);
}

TEST(TessaWire, MalformedAcknowledgementsAreRejected) {
    const std::vector<uint8_t> good = Ack(0, kReadMemAck, 5, {1, 2, 3, 4});
    Acknowledge ack;
    ASSERT_EQ(DecodeAcknowledge(good.data(), good.size(), ack), DecodeError::kOk);
    EXPECT_EQ(ack.requestId, 5);
    ASSERT_EQ(ack.scdLength, 4);
    EXPECT_EQ(At(ack.scd, 3), 4);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        DecodeError expected;
    };
    std::vector<uint8_t> badPrefix = With(good, 3, 'X');
    std::vector<uint8_t> longer = good;
    longer.push_back(0);  // a byte beyond the length field
    std::vector<uint8_t> shorter(good.begin(), good.end() - 1);  // length field claims one more
    std::vector<uint8_t> lengthLie = With(good, 8, 0xFF);  // length 0x00FF with 4 bytes present
    const Case cases[] = {
        {"empty", {}, DecodeError::kShort},
        {"header cut", std::vector<uint8_t>(good.begin(), good.begin() + 11), DecodeError::kShort},
        {"bad prefix", badPrefix, DecodeError::kBadPrefix},
        {"trailing byte", longer, DecodeError::kOversized},
        {"scd cut", shorter, DecodeError::kShort},
        {"length beyond data", lengthLie, DecodeError::kShort},
    };
    for (const Case& c : cases) {
        Acknowledge out;
        out.requestId = 0xBEEF;
        EXPECT_EQ(DecodeAcknowledge(c.bytes.data(), c.bytes.size(), out), c.expected) << c.name;
        EXPECT_EQ(out.requestId, 0xBEEF) << c.name << ": output touched on failure";
    }
    EXPECT_EQ(DecodeAcknowledge(nullptr, 12, ack), DecodeError::kShort);
}

TEST(TessaWire, WriteAndPendingAcknowledgementFields) {
    uint8_t buf[32];
    size_t n = EncodeWriteMemAck(buf, sizeof buf, 0, 3, 64);
    Acknowledge ack;
    ASSERT_EQ(DecodeAcknowledge(buf, n, ack), DecodeError::kOk);
    uint16_t written = 0;
    ASSERT_EQ(DecodeWriteMemAck(ack, written), DecodeError::kOk);
    EXPECT_EQ(written, 64);
    uint16_t timeout = 0;
    EXPECT_EQ(DecodePendingAck(ack, timeout), DecodeError::kUnexpected);

    n = EncodePendingAck(buf, sizeof buf, 3, 750);
    ASSERT_EQ(DecodeAcknowledge(buf, n, ack), DecodeError::kOk);
    ASSERT_EQ(DecodePendingAck(ack, timeout), DecodeError::kOk);
    EXPECT_EQ(timeout, 750);

    // A refused write may come without its command-specific part; a malformed one is rejected.
    std::vector<uint8_t> refused = Ack(Status::kAccessDenied, kWriteMemAck, 1, {});
    ASSERT_EQ(DecodeAcknowledge(refused.data(), refused.size(), ack), DecodeError::kOk);
    EXPECT_EQ(DecodeWriteMemAck(ack, written), DecodeError::kOk);
    EXPECT_EQ(written, 0);
    std::vector<uint8_t> cut = Ack(0, kWriteMemAck, 1, {0, 0});
    ASSERT_EQ(DecodeAcknowledge(cut.data(), cut.size(), ack), DecodeError::kOk);
    EXPECT_EQ(DecodeWriteMemAck(ack, written), DecodeError::kShort);
    std::vector<uint8_t> big = Ack(0, kPendingAck, 1, {0, 0, 1, 0, 0});
    ASSERT_EQ(DecodeAcknowledge(big.data(), big.size(), ack), DecodeError::kOk);
    EXPECT_EQ(DecodePendingAck(ack, timeout), DecodeError::kOversized);
}

TEST(TessaWire, EventPacketsCarryOneOrMoreEvents) {
    uint8_t buf[64];
    const uint8_t data[2] = {0xAB, 0xCD};
    size_t n = EncodeEvent(buf, sizeof buf, 1, 0x9001, 0x1122334455667788ULL, data, 2);
    ASSERT_EQ(n, kControlHeaderSize + kEventHeaderSize + 2);
    EXPECT_EQ(std::memcmp(buf, "U3VE", 4), 0);
    std::vector<Event> seen;
    ASSERT_EQ(DecodeEvents(buf, n, [&](const Event& e) { seen.push_back(e); }), DecodeError::kOk);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].eventId, 0x9001);
    EXPECT_EQ(seen[0].timestamp, 0x1122334455667788ULL);
    ASSERT_EQ(seen[0].dataLength, 2);
    EXPECT_EQ(At(seen[0].data, 1), 0xCD);

    // Two events in one command, the second without data.
    std::vector<uint8_t> two(buf, buf + n);
    const uint8_t second[12] = {12, 0, 0x02, 0x90, 1, 0, 0, 0, 0, 0, 0, 0};
    two.insert(two.end(), second, second + 12);
    two[8] = uint8_t(kEventHeaderSize + 2 + 12);
    seen.clear();
    ASSERT_EQ(DecodeEvents(two.data(), two.size(), [&](const Event& e) { seen.push_back(e); }), DecodeError::kOk);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].eventId, 0x9002);
    EXPECT_EQ(seen[1].dataLength, 0);

    // An event whose size is below its own header, or runs past the packet, delivers nothing.
    std::vector<uint8_t> tiny = With(two, kControlHeaderSize + kEventHeaderSize + 2, 4);
    std::vector<uint8_t> past = With(two, kControlHeaderSize + kEventHeaderSize + 2, 13);
    std::vector<uint8_t> control(buf, buf + n);
    std::memcpy(control.data(), "U3VC", 4);
    std::vector<uint8_t> none(buf, buf + kControlHeaderSize);
    none[8] = 0;
    for (auto* bad : {&tiny, &past, &control, &none}) {
        size_t calls = 0;
        EXPECT_NE(DecodeEvents(bad->data(), bad->size(), [&](const Event&) { ++calls; }), DecodeError::kOk);
        EXPECT_EQ(calls, 0u);
    }
}

TEST(TessaWire, LeaderAndTrailerRoundTripAndRejectMalformed) {
    Leader l;
    l.blockId = 42;
    l.timestamp = 99;
    l.pixelFormat = 0x01080001;
    l.sizeX = 1280;
    l.sizeY = 1024;
    l.paddingX = 2;
    uint8_t lb[kImageLeaderSize];
    ASSERT_EQ(EncodeImageLeader(lb, sizeof lb, l), kImageLeaderSize);
    EXPECT_EQ(std::memcmp(lb, "U3VL", 4), 0);
    Leader d;
    ASSERT_EQ(DecodeLeader(lb, sizeof lb, d), DecodeError::kOk);
    EXPECT_EQ(d.blockId, 42u);
    EXPECT_EQ(d.payloadType, kPayloadImage);
    EXPECT_EQ(d.sizeX, 1280u);
    EXPECT_EQ(d.sizeY, 1024u);
    EXPECT_EQ(d.pixelFormat, 0x01080001u);
    EXPECT_EQ(d.paddingX, 2);

    Trailer t;
    t.blockId = 42;
    t.status = Status::kDataOverrun;
    t.validPayloadSize = 1310720;
    t.sizeY = 1024;
    uint8_t tb[kImageTrailerSize];
    ASSERT_EQ(EncodeImageTrailer(tb, sizeof tb, t), kImageTrailerSize);
    Trailer e;
    ASSERT_EQ(DecodeTrailer(tb, sizeof tb, e), DecodeError::kOk);
    EXPECT_EQ(e.blockId, 42u);
    EXPECT_EQ(e.status, Status::kDataOverrun);
    EXPECT_EQ(e.validPayloadSize, 1310720u);
    EXPECT_EQ(e.sizeY, 1024u);

    // Leaders: the size field must match the bytes received and cover an image's fields.
    std::vector<uint8_t> sizeTooSmall(lb, lb + sizeof lb);
    sizeTooSmall[6] = 19;
    std::vector<uint8_t> imageCut(lb, lb + sizeof lb);
    imageCut[6] = 40;
    imageCut.resize(40);
    std::vector<uint8_t> extra(lb, lb + sizeof lb);
    extra.push_back(0);
    EXPECT_EQ(DecodeLeader(lb, 3, d), DecodeError::kShort);
    EXPECT_EQ(DecodeLeader(lb, 30, d), DecodeError::kShort);
    EXPECT_EQ(DecodeLeader(tb, sizeof tb, d), DecodeError::kBadPrefix);
    EXPECT_EQ(DecodeLeader(sizeTooSmall.data(), sizeTooSmall.size(), d), DecodeError::kInconsistent);
    EXPECT_EQ(DecodeLeader(imageCut.data(), imageCut.size(), d), DecodeError::kInconsistent);
    EXPECT_EQ(DecodeLeader(extra.data(), extra.size(), d), DecodeError::kOversized);
    // A chunk payload needs no image fields.
    std::vector<uint8_t> chunk(lb, lb + kLeaderHeaderSize);
    chunk[6] = uint8_t(kLeaderHeaderSize);
    chunk[18] = 0x00;
    chunk[19] = 0x40;
    ASSERT_EQ(DecodeLeader(chunk.data(), chunk.size(), d), DecodeError::kOk);
    EXPECT_EQ(d.payloadType, kPayloadChunk);

    std::vector<uint8_t> tSmall(tb, tb + sizeof tb);
    tSmall[6] = 27;
    std::vector<uint8_t> tExtra(tb, tb + sizeof tb);
    tExtra.push_back(1);
    EXPECT_EQ(DecodeTrailer(tb, 27, e), DecodeError::kShort);
    EXPECT_EQ(DecodeTrailer(lb, sizeof lb, e), DecodeError::kBadPrefix);
    EXPECT_EQ(DecodeTrailer(tSmall.data(), tSmall.size(), e), DecodeError::kInconsistent);
    EXPECT_EQ(DecodeTrailer(tExtra.data(), tExtra.size(), e), DecodeError::kOversized);
    // A trailer without the image line count is accepted with sizeY 0.
    std::vector<uint8_t> plain(tb, tb + kTrailerHeaderSize);
    plain[6] = uint8_t(kTrailerHeaderSize);
    ASSERT_EQ(DecodeTrailer(plain.data(), plain.size(), e), DecodeError::kOk);
    EXPECT_EQ(e.sizeY, 0u);
}

TEST(TessaWire, ManifestEntryLayout) {
    ManifestEntry m;
    m.fileVersion = 0x01020003;
    m.formatInfo = ManifestEntry::MakeFormatInfo(kManifestTypeDeviceXml, kManifestFormatZip, 1, 1);
    m.address = 0x200000;
    m.size = 0x1234;
    m.sha1[19] = 0x5A;
    uint8_t buf[kManifestEntrySize + 1];
    buf[kManifestEntrySize] = 0xEE;
    ASSERT_EQ(EncodeManifestEntry(buf, kManifestEntrySize, m), kManifestEntrySize);
    EXPECT_EQ(buf[kManifestEntrySize], 0xEE);
    EXPECT_EQ(buf[8], 0x00);
    EXPECT_EQ(buf[10], 0x20);  // address at byte 8, little-endian
    ManifestEntry d;
    ASSERT_EQ(DecodeManifestEntry(buf, kManifestEntrySize, d), DecodeError::kOk);
    EXPECT_EQ(d.FileFormat(), kManifestFormatZip);
    EXPECT_EQ(d.FileType(), kManifestTypeDeviceXml);
    EXPECT_EQ(d.address, 0x200000u);
    EXPECT_EQ(d.size, 0x1234u);
    EXPECT_EQ(d.sha1[19], 0x5A);
    EXPECT_EQ(DecodeManifestEntry(buf, kManifestEntrySize - 1, d), DecodeError::kShort);
}

TEST(TessaWire, TransferLayoutCoversThePayload) {
    struct Case {
        uint64_t payload;
        uint32_t transfer, alignment;
        bool ok;
        uint32_t size, count, final1, final2;
    };
    const Case cases[] = {
        {1310720, 0x100000, 1, true, 0x100000, 1, 262144, 0},
        {0x12345, 0x12000, 1, true, 0x12000, 1, 0x345, 0},
        {0x12345, 0x12000, 512, true, 0x12000, 1, 0x200, 512},  // the rest rounded up
        {1000, 1024, 512, true, 1024, 0, 512, 512},
        {0x300000, 0x200000, 1024, true, 0x200000, 1, 0x100000, 0},
        {4096, 4096, 4096, true, 4096, 1, 0, 0},
        {4096, 1000, 1024, false, 0, 0, 0, 0},   // transfer size below the alignment
        {4096, 4096, 3, false, 0, 0, 0, 0},      // alignment not a power of two
        {0, 4096, 1, false, 0, 0, 0, 0},
        {1ULL << 44, 1, 1, false, 0, 0, 0, 0},   // more transfers than the register holds
    };
    for (const Case& c : cases) {
        TransferLayout l;
        ASSERT_EQ(ComputeTransferLayout(c.payload, c.transfer, c.alignment, l), c.ok) << c.payload;
        if (!c.ok) continue;
        EXPECT_EQ(l.transferSize, c.size);
        EXPECT_EQ(l.transferCount, c.count);
        EXPECT_EQ(l.finalTransfer1, c.final1);
        EXPECT_EQ(l.finalTransfer2, c.final2);
        const uint64_t covered = uint64_t(l.transferSize) * l.transferCount + l.finalTransfer1 + l.finalTransfer2;
        EXPECT_GE(covered, c.payload);
        EXPECT_LT(covered - c.payload, c.alignment);
    }
}
