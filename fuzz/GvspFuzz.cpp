// One GVSP datagram as the stream channel receives it: the header (standard or extended ids),
// then the leader or trailer of an image block. Every view lies inside the datagram, ids obey the
// rules the receiver relies on (block id not 0, packet 0 is the leader, payload packets carry
// data), and a decoded leader or trailer encodes back to the same fields.
#include "FuzzInput.h"
#include "gige/pelion/GvspCodec.h"

using namespace Kovon::Pelion::Gvsp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto p = DecodePacket(data, size);
    if (!p) return 0;
    const size_t header = p->extendedId ? kExtendedHeaderSize : kHeaderSize;
    FUZZ_CHECK(p->dataSize + header == size && p->data == data + header);
    FUZZ_CHECK(p->blockId != 0);
    FUZZ_CHECK((p->format == Format::Leader) == (p->packetId == 0));
    FUZZ_CHECK(p->format != Format::Payload || p->dataSize > 0);
    FUZZ_CHECK(p->extendedId || (p->blockId <= 0xFFFF && p->packetId <= kMaxStandardPacketId));

    uint8_t again[kExtendedHeaderSize + kImageLeaderSize];
    if (auto l = DecodeLeader(*p)) {
        if (l->payloadType == kPayloadTypeImage) {
            size_t n = EncodeImageLeader(again, sizeof again, p->blockId, p->extendedId, *l);
            FUZZ_CHECK(n == header + kImageLeaderSize);
            auto p2 = DecodePacket(again, n);
            auto l2 = p2 ? DecodeLeader(*p2) : std::nullopt;
            FUZZ_CHECK(l2 && p2->blockId == p->blockId && l2->width == l->width && l2->height == l->height &&
                       l2->pixelFormat == l->pixelFormat && l2->timestamp == l->timestamp &&
                       l2->paddingX == l->paddingX && l2->paddingY == l->paddingY);
        }
    }
    if (auto t = DecodeTrailer(*p)) {
        FUZZ_CHECK(p->packetId != 0);
        if (t->payloadType == kPayloadTypeImage) {
            size_t n = EncodeImageTrailer(again, sizeof again, p->blockId, p->packetId, p->extendedId, t->height);
            FUZZ_CHECK(n == header + kImageTrailerSize);
            auto p2 = DecodePacket(again, n);
            auto t2 = p2 ? DecodeTrailer(*p2) : std::nullopt;
            FUZZ_CHECK(t2 && t2->height == t->height && p2->packetId == p->packetId);
        }
    }
    return 0;
}
