#pragma once
// GVSP, the GigE Vision stream protocol: leader, payload and trailer packets as pure functions.
// The standard header is 8 bytes (16-bit block id, 24-bit packet id); the extended-id header is
// 20 bytes (64-bit block id, 32-bit packet id). Decoders check every size and id before use.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace Kovon::Pelion::Gvsp {

constexpr size_t kHeaderSize = 8;
constexpr size_t kExtendedHeaderSize = 20;
// IP (20) + UDP (8) + GVSP header (8): what a packet of the packet-size register carries besides data.
constexpr uint32_t kPacketOverhead = 36;
constexpr uint32_t kIpUdpOverhead = 28;
constexpr size_t kImageLeaderSize = 36;
constexpr size_t kImageTrailerSize = 8;
constexpr uint16_t kPayloadTypeImage = 0x0001;
constexpr uint32_t kMaxStandardPacketId = 0xFFFFFF;

enum class Format : uint8_t { Leader = 1, Trailer = 2, Payload = 3 };

struct Packet {
    uint16_t status = 0;
    uint64_t blockId = 0;
    Format format = Format::Payload;
    uint32_t packetId = 0;
    bool extendedId = false;
    const uint8_t* data = nullptr;  // bytes after the header
    size_t dataSize = 0;
};

struct Leader {
    uint16_t payloadType = 0;
    uint64_t timestamp = 0;
    // Image payloads only.
    uint32_t pixelFormat = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t offsetX = 0;
    uint32_t offsetY = 0;
    uint16_t paddingX = 0;
    uint16_t paddingY = 0;
};

struct Trailer {
    uint16_t payloadType = 0;
    uint32_t height = 0;  // image payloads: lines actually sent
};

std::optional<Packet> DecodePacket(const uint8_t* data, size_t size);
std::optional<Leader> DecodeLeader(const Packet& packet);
std::optional<Trailer> DecodeTrailer(const Packet& packet);

// Writes a packet header; returns its size (8 or 20), 0 when it does not fit or an id overflows.
size_t EncodeHeader(uint8_t* out, size_t capacity, uint16_t status, uint64_t blockId, Format format,
                    uint32_t packetId, bool extendedId);
// Header plus image leader / trailer; returns the whole packet size, 0 on failure.
size_t EncodeImageLeader(uint8_t* out, size_t capacity, uint64_t blockId, bool extendedId, const Leader& leader);
size_t EncodeImageTrailer(uint8_t* out, size_t capacity, uint64_t blockId, uint32_t packetId, bool extendedId,
                          uint32_t height);

}  // namespace Kovon::Pelion::Gvsp
