#include "u3v/tessa/U3vWire.h"

#include <cstring>
#include <limits>

#include "u3v/tessa/ByteCursor.h"

namespace Kovon::Tessa::Wire {

const char* ToString(DecodeError e) {
    switch (e) {
        case DecodeError::kOk: return "ok";
        case DecodeError::kShort: return "short";
        case DecodeError::kBadPrefix: return "bad prefix";
        case DecodeError::kInconsistent: return "inconsistent";
        case DecodeError::kOversized: return "oversized";
        case DecodeError::kUnexpected: return "unexpected";
    }
    return "?";
}

namespace {

size_t Finish(const ByteWriter& w) { return w.ok() ? w.position() : 0; }

void WriteHeader(ByteWriter& w, uint32_t prefix, uint16_t flagsOrStatus, uint16_t id, uint16_t length,
                 uint16_t requestId) {
    w.U32(prefix);
    w.U16(flagsOrStatus);
    w.U16(id);
    w.U16(length);
    w.U16(requestId);
}

// Reads the 12-byte header shared by commands and acknowledgements and checks that the length
// field accounts for exactly the bytes that follow.
DecodeError ReadHeader(const uint8_t* data, size_t size, uint32_t prefix, uint16_t& first, uint16_t& id,
                       uint16_t& requestId, const uint8_t*& scd, uint16_t& scdLength) {
    ByteReader r(data, size);
    uint32_t p = r.U32();
    first = r.U16();
    id = r.U16();
    uint16_t length = r.U16();
    requestId = r.U16();
    if (!r.ok()) return DecodeError::kShort;
    if (p != prefix) return DecodeError::kBadPrefix;
    if (length > r.remaining()) return DecodeError::kShort;
    if (length < r.remaining()) return DecodeError::kOversized;
    scd = length ? r.Bytes(length) : nullptr;
    scdLength = length;
    return DecodeError::kOk;
}

}  // namespace

size_t EncodeReadMem(uint8_t* out, size_t cap, uint16_t requestId, uint64_t address, uint16_t length) {
    ByteWriter w(out, cap);
    WriteHeader(w, kControlPrefix, kFlagRequestAck, kReadMemCmd, kReadMemCmdScdSize, requestId);
    w.U64(address);
    w.U16(0);
    w.U16(length);
    return Finish(w);
}

size_t EncodeWriteMem(uint8_t* out, size_t cap, uint16_t requestId, uint64_t address, const uint8_t* data,
                      uint16_t length) {
    if (length != 0 && data == nullptr) return 0;
    if (size_t(length) + kWriteMemAddrSize > std::numeric_limits<uint16_t>::max()) return 0;
    ByteWriter w(out, cap);
    WriteHeader(w, kControlPrefix, kFlagRequestAck, kWriteMemCmd, uint16_t(kWriteMemAddrSize + length),
                requestId);
    w.U64(address);
    w.Bytes(data, length);
    return Finish(w);
}

size_t EncodeAck(uint8_t* out, size_t cap, uint16_t status, uint16_t commandId, uint16_t requestId,
                 const uint8_t* scd, uint16_t scdLength) {
    if (scdLength != 0 && scd == nullptr) return 0;
    ByteWriter w(out, cap);
    WriteHeader(w, kControlPrefix, status, commandId, scdLength, requestId);
    w.Bytes(scd, scdLength);
    return Finish(w);
}

size_t EncodeWriteMemAck(uint8_t* out, size_t cap, uint16_t status, uint16_t requestId, uint16_t lengthWritten) {
    ByteWriter w(out, cap);
    WriteHeader(w, kControlPrefix, status, kWriteMemAck, kWriteMemAckScdSize, requestId);
    w.U16(0);
    w.U16(lengthWritten);
    return Finish(w);
}

size_t EncodePendingAck(uint8_t* out, size_t cap, uint16_t requestId, uint16_t timeoutMs) {
    ByteWriter w(out, cap);
    WriteHeader(w, kControlPrefix, Status::kSuccess, kPendingAck, kPendingAckScdSize, requestId);
    w.U16(0);
    w.U16(timeoutMs);
    return Finish(w);
}

DecodeError DecodeCommand(const uint8_t* data, size_t size, Command& out) {
    Command c;
    DecodeError e = ReadHeader(data, size, kControlPrefix, c.flags, c.commandId, c.requestId, c.scd, c.scdLength);
    if (e == DecodeError::kOk) out = c;
    return e;
}

DecodeError DecodeAcknowledge(const uint8_t* data, size_t size, Acknowledge& out) {
    Acknowledge a;
    DecodeError e = ReadHeader(data, size, kControlPrefix, a.status, a.commandId, a.requestId, a.scd, a.scdLength);
    if (e == DecodeError::kOk) out = a;
    return e;
}

DecodeError DecodeReadMemRequest(const Command& cmd, ReadMemRequest& out) {
    if (cmd.commandId != kReadMemCmd) return DecodeError::kUnexpected;
    if (cmd.scdLength < kReadMemCmdScdSize) return DecodeError::kShort;
    if (cmd.scdLength > kReadMemCmdScdSize) return DecodeError::kOversized;
    ByteReader r(cmd.scd, cmd.scdLength);
    ReadMemRequest q;
    q.address = r.U64();
    r.U16();
    q.length = r.U16();
    if (!r.ok()) return DecodeError::kShort;
    out = q;
    return DecodeError::kOk;
}

DecodeError DecodeWriteMemRequest(const Command& cmd, WriteMemRequest& out) {
    if (cmd.commandId != kWriteMemCmd) return DecodeError::kUnexpected;
    if (cmd.scdLength < kWriteMemAddrSize) return DecodeError::kShort;
    ByteReader r(cmd.scd, cmd.scdLength);
    WriteMemRequest q;
    q.address = r.U64();
    q.length = uint16_t(r.remaining());
    q.data = q.length ? r.Bytes(q.length) : nullptr;
    if (!r.ok()) return DecodeError::kShort;
    out = q;
    return DecodeError::kOk;
}

DecodeError DecodeWriteMemAck(const Acknowledge& ack, uint16_t& lengthWritten) {
    if (ack.commandId != kWriteMemAck) return DecodeError::kUnexpected;
    // A device that refuses a write may answer with an empty command-specific part.
    if (ack.scdLength == 0 && ack.status != Status::kSuccess) {
        lengthWritten = 0;
        return DecodeError::kOk;
    }
    if (ack.scdLength < kWriteMemAckScdSize) return DecodeError::kShort;
    if (ack.scdLength > kWriteMemAckScdSize) return DecodeError::kOversized;
    ByteReader r(ack.scd, ack.scdLength);
    r.U16();
    lengthWritten = r.U16();
    return DecodeError::kOk;
}

DecodeError DecodePendingAck(const Acknowledge& ack, uint16_t& timeoutMs) {
    if (ack.commandId != kPendingAck) return DecodeError::kUnexpected;
    if (ack.scdLength < kPendingAckScdSize) return DecodeError::kShort;
    if (ack.scdLength > kPendingAckScdSize) return DecodeError::kOversized;
    ByteReader r(ack.scd, ack.scdLength);
    r.U16();
    timeoutMs = r.U16();
    return DecodeError::kOk;
}

size_t EncodeEvent(uint8_t* out, size_t cap, uint16_t requestId, uint16_t eventId, uint64_t timestamp,
                   const uint8_t* data, uint16_t dataLength) {
    if (dataLength != 0 && data == nullptr) return 0;
    const size_t eventSize = kEventHeaderSize + size_t(dataLength);
    if (eventSize > std::numeric_limits<uint16_t>::max()) return 0;
    ByteWriter w(out, cap);
    WriteHeader(w, kEventPrefix, 0, kEventCmd, uint16_t(eventSize), requestId);
    w.U16(uint16_t(eventSize));
    w.U16(eventId);
    w.U64(timestamp);
    w.Bytes(data, dataLength);
    return Finish(w);
}

DecodeError CheckEvents(const uint8_t* data, size_t size, size_t* count) {
    uint16_t flags = 0, id = 0, requestId = 0, scdLength = 0;
    const uint8_t* scd = nullptr;
    DecodeError e = ReadHeader(data, size, kEventPrefix, flags, id, requestId, scd, scdLength);
    if (e != DecodeError::kOk) return e;
    if (id != kEventCmd) return DecodeError::kUnexpected;
    ByteReader r(scd, scdLength);
    size_t n = 0;
    while (r.remaining() > 0) {
        uint16_t eventSize = r.U16();
        if (!r.ok()) return DecodeError::kShort;
        if (eventSize < kEventHeaderSize) return DecodeError::kInconsistent;
        if (!r.Skip(eventSize - 2)) return DecodeError::kShort;
        ++n;
    }
    if (n == 0) return DecodeError::kShort;
    if (count) *count = n;
    return DecodeError::kOk;
}

DecodeError EventAt(const uint8_t* data, size_t size, size_t index, Event& out) {
    size_t count = 0;
    DecodeError e = CheckEvents(data, size, &count);
    if (e != DecodeError::kOk) return e;
    if (index >= count) return DecodeError::kUnexpected;
    ByteReader r(data + kControlHeaderSize, size - kControlHeaderSize);
    for (size_t i = 0;; ++i) {
        uint16_t eventSize = r.U16();
        if (i == index) {
            out.eventId = r.U16();
            out.timestamp = r.U64();
            out.dataLength = uint16_t(eventSize - kEventHeaderSize);
            out.data = out.dataLength ? r.Bytes(out.dataLength) : nullptr;
            return DecodeError::kOk;
        }
        r.Skip(eventSize - 2);
    }
}

size_t EncodeImageLeader(uint8_t* out, size_t cap, const Leader& l) {
    ByteWriter w(out, cap);
    w.U32(kLeaderPrefix);
    w.U16(0);
    w.U16(uint16_t(kImageLeaderSize));
    w.U64(l.blockId);
    w.U16(0);
    w.U16(l.payloadType ? l.payloadType : kPayloadImage);
    w.U64(l.timestamp);
    w.U32(l.pixelFormat);
    w.U32(l.sizeX);
    w.U32(l.sizeY);
    w.U32(l.offsetX);
    w.U32(l.offsetY);
    w.U16(l.paddingX);
    w.U16(0);
    return Finish(w);
}

size_t EncodeImageTrailer(uint8_t* out, size_t cap, const Trailer& t) {
    ByteWriter w(out, cap);
    w.U32(kTrailerPrefix);
    w.U16(0);
    w.U16(uint16_t(kImageTrailerSize));
    w.U64(t.blockId);
    w.U16(t.status);
    w.U16(0);
    w.U64(t.validPayloadSize);
    w.U32(t.sizeY);
    return Finish(w);
}

DecodeError DecodeLeader(const uint8_t* data, size_t size, Leader& out) {
    ByteReader r(data, size);
    uint32_t prefix = r.U32();
    if (!r.ok()) return DecodeError::kShort;
    if (prefix != kLeaderPrefix) return DecodeError::kBadPrefix;
    Leader l;
    r.U16();
    l.leaderSize = r.U16();
    l.blockId = r.U64();
    r.U16();
    l.payloadType = r.U16();
    if (!r.ok()) return DecodeError::kShort;
    if (l.leaderSize < kLeaderHeaderSize) return DecodeError::kInconsistent;
    if (l.leaderSize > size) return DecodeError::kShort;
    if (l.leaderSize < size) return DecodeError::kOversized;
    if (l.payloadType == kPayloadImage || l.payloadType == kPayloadImageExtChunk) {
        if (l.leaderSize < kImageLeaderSize) return DecodeError::kInconsistent;
        l.timestamp = r.U64();
        l.pixelFormat = r.U32();
        l.sizeX = r.U32();
        l.sizeY = r.U32();
        l.offsetX = r.U32();
        l.offsetY = r.U32();
        l.paddingX = r.U16();
        if (!r.ok()) return DecodeError::kShort;
    }
    out = l;
    return DecodeError::kOk;
}

DecodeError DecodeTrailer(const uint8_t* data, size_t size, Trailer& out) {
    ByteReader r(data, size);
    uint32_t prefix = r.U32();
    if (!r.ok()) return DecodeError::kShort;
    if (prefix != kTrailerPrefix) return DecodeError::kBadPrefix;
    Trailer t;
    r.U16();
    t.trailerSize = r.U16();
    t.blockId = r.U64();
    t.status = r.U16();
    r.U16();
    t.validPayloadSize = r.U64();
    if (!r.ok()) return DecodeError::kShort;
    if (t.trailerSize < kTrailerHeaderSize) return DecodeError::kInconsistent;
    if (t.trailerSize > size) return DecodeError::kShort;
    if (t.trailerSize < size) return DecodeError::kOversized;
    if (t.trailerSize >= kImageTrailerSize) t.sizeY = r.U32();
    out = t;
    return DecodeError::kOk;
}

size_t EncodeManifestEntry(uint8_t* out, size_t cap, const ManifestEntry& e) {
    ByteWriter w(out, cap);
    w.U32(e.fileVersion);
    w.U32(e.formatInfo);
    w.U64(e.address);
    w.U64(e.size);
    w.Bytes(e.sha1, sizeof e.sha1);
    w.Zeros(kManifestEntrySize - 44);
    return Finish(w);
}

DecodeError DecodeManifestEntry(const uint8_t* data, size_t size, ManifestEntry& out) {
    if (size < kManifestEntrySize) return DecodeError::kShort;
    ByteReader r(data, kManifestEntrySize);
    ManifestEntry e;
    e.fileVersion = r.U32();
    e.formatInfo = r.U32();
    e.address = r.U64();
    e.size = r.U64();
    for (uint8_t& b : e.sha1) b = r.U8();
    out = e;
    return DecodeError::kOk;
}

bool ComputeTransferLayout(uint64_t payloadSize, uint32_t transferSize, uint32_t alignment, TransferLayout& out) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) return false;
    const uint32_t size = transferSize & ~(alignment - 1);
    if (size == 0 || payloadSize == 0) return false;
    const uint64_t count = payloadSize / size;
    if (count > std::numeric_limits<uint32_t>::max()) return false;
    const uint64_t rest = payloadSize % size;  // < size, fits 32 bits
    TransferLayout l;
    l.transferSize = size;
    l.transferCount = uint32_t(count);
    l.finalTransfer1 = uint32_t(rest) & ~(alignment - 1);
    const uint32_t tail = uint32_t(rest) - l.finalTransfer1;
    l.finalTransfer2 = tail ? alignment : 0;
    out = l;
    return true;
}

}  // namespace Kovon::Tessa::Wire
