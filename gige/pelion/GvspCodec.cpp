#include "gige/pelion/GvspCodec.h"

#include "gige/pelion/ByteCodec.h"

namespace Kovon::Pelion::Gvsp {
namespace {
constexpr uint8_t kExtendedFlag = 0x80;
}

std::optional<Packet> DecodePacket(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    Packet p;
    p.status = r.U16();
    uint16_t blockOrFlags = r.U16();
    uint8_t formatByte = r.U8();
    uint32_t low24 = (static_cast<uint32_t>(r.U16()) << 8) | r.U8();
    if (!r.ok()) return std::nullopt;
    p.extendedId = (formatByte & kExtendedFlag) != 0;
    uint8_t format = formatByte & 0x0F;
    if (format < 1 || format > 3) return std::nullopt;
    p.format = static_cast<Format>(format);
    if (p.extendedId) {
        p.blockId = r.U64();
        p.packetId = r.U32();
        if (!r.ok()) return std::nullopt;
    } else {
        p.blockId = blockOrFlags;
        p.packetId = low24;
    }
    // Block id 0 is never used by a transmitter; packet 0 is always the leader.
    if (p.blockId == 0) return std::nullopt;
    if ((p.format == Format::Leader) != (p.packetId == 0)) return std::nullopt;
    p.dataSize = r.remaining();
    p.data = r.current();
    if (p.format == Format::Payload && p.dataSize == 0) return std::nullopt;
    return p;
}

std::optional<Leader> DecodeLeader(const Packet& packet) {
    if (packet.format != Format::Leader) return std::nullopt;
    ByteReader r(packet.data, packet.dataSize);
    Leader l;
    r.U16();
    l.payloadType = r.U16();
    l.timestamp = r.U64();
    if (!r.ok()) return std::nullopt;
    if (l.payloadType == kPayloadTypeImage) {
        l.pixelFormat = r.U32();
        l.width = r.U32();
        l.height = r.U32();
        l.offsetX = r.U32();
        l.offsetY = r.U32();
        l.paddingX = r.U16();
        l.paddingY = r.U16();
        if (!r.ok()) return std::nullopt;
    }
    return l;
}

std::optional<Trailer> DecodeTrailer(const Packet& packet) {
    if (packet.format != Format::Trailer) return std::nullopt;
    ByteReader r(packet.data, packet.dataSize);
    Trailer t;
    r.U16();
    t.payloadType = r.U16();
    if (!r.ok()) return std::nullopt;
    if (t.payloadType == kPayloadTypeImage) {
        t.height = r.U32();
        if (!r.ok()) return std::nullopt;
    }
    return t;
}

size_t EncodeHeader(uint8_t* out, size_t capacity, uint16_t status, uint64_t blockId, Format format,
                    uint32_t packetId, bool extendedId) {
    if (blockId == 0) return 0;
    ByteWriter w(out, capacity);
    w.U16(status);
    if (extendedId) {
        w.U16(0);
        w.U8(static_cast<uint8_t>(kExtendedFlag | static_cast<uint8_t>(format)));
        w.U8(0);
        w.U16(0);
        w.U64(blockId);
        w.U32(packetId);
    } else {
        if (blockId > 0xFFFF || packetId > kMaxStandardPacketId) return 0;
        w.U16(static_cast<uint16_t>(blockId));
        w.U8(static_cast<uint8_t>(format));
        w.U8(static_cast<uint8_t>(packetId >> 16));
        w.U16(static_cast<uint16_t>(packetId));
    }
    return w.ok() ? w.size() : 0;
}

size_t EncodeImageLeader(uint8_t* out, size_t capacity, uint64_t blockId, bool extendedId, const Leader& l) {
    size_t header = EncodeHeader(out, capacity, 0, blockId, Format::Leader, 0, extendedId);
    if (header == 0) return 0;
    ByteWriter w(out + header, capacity - header);
    w.U16(0);
    w.U16(kPayloadTypeImage);
    w.U64(l.timestamp);
    w.U32(l.pixelFormat);
    w.U32(l.width);
    w.U32(l.height);
    w.U32(l.offsetX);
    w.U32(l.offsetY);
    w.U16(l.paddingX);
    w.U16(l.paddingY);
    return w.ok() ? header + w.size() : 0;
}

size_t EncodeImageTrailer(uint8_t* out, size_t capacity, uint64_t blockId, uint32_t packetId, bool extendedId,
                          uint32_t height) {
    size_t header = EncodeHeader(out, capacity, 0, blockId, Format::Trailer, packetId, extendedId);
    if (header == 0 || packetId == 0) return 0;
    ByteWriter w(out + header, capacity - header);
    w.U16(0);
    w.U16(kPayloadTypeImage);
    w.U32(height);
    return w.ok() ? header + w.size() : 0;
}

}  // namespace Kovon::Pelion::Gvsp
