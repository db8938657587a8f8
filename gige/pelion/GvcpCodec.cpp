#include "gige/pelion/GvcpCodec.h"

#include <cstring>

#include "gige/pelion/ByteCodec.h"

namespace Kovon::Pelion::Gvcp {
namespace {

void WriteCommandHeader(ByteWriter& w, uint8_t flags, uint16_t command, size_t payloadSize, uint16_t reqId) {
    w.U8(kKey);
    w.U8(flags);
    w.U16(command);
    w.U16(static_cast<uint16_t>(payloadSize));
    w.U16(reqId);
}

size_t Finish(const ByteWriter& w) { return w.ok() ? w.size() : 0; }

bool PayloadFits(size_t payloadSize) { return payloadSize <= kMaxPayload && payloadSize % 4 == 0; }

// Addresses are 32-bit aligned on the wire.
bool Aligned(uint32_t address) { return address % 4 == 0; }

}  // namespace

std::optional<CommandPacket> DecodeCommand(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    CommandPacket p;
    uint8_t key = r.U8();
    p.flags = r.U8();
    p.command = r.U16();
    uint16_t length = r.U16();
    p.reqId = r.U16();
    if (!r.ok() || key != kKey || !PayloadFits(length)) return std::nullopt;
    p.payload = r.View(length);
    if (p.payload == nullptr) return std::nullopt;
    p.payloadSize = length;
    return p;
}

std::optional<AckPacket> DecodeAck(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    AckPacket p;
    p.status = r.U16();
    p.answer = r.U16();
    uint16_t length = r.U16();
    p.ackId = r.U16();
    if (!r.ok() || !PayloadFits(length)) return std::nullopt;
    // A command (key byte first) is not an acknowledgement; no status value starts with it.
    if ((p.status >> 8) == kKey) return std::nullopt;
    p.payload = r.View(length);
    if (p.payload == nullptr) return std::nullopt;
    p.payloadSize = length;
    return p;
}

bool DecodeReadRegCommand(const CommandPacket& cmd, uint32_t* addresses, size_t capacity, size_t& count) {
    count = 0;
    if (cmd.command != Cmd::ReadReg || cmd.payloadSize == 0) return false;
    size_t n = cmd.payloadSize / 4;
    if (n > capacity) return false;
    ByteReader r(cmd.payload, cmd.payloadSize);
    for (size_t i = 0; i < n; ++i) addresses[i] = r.U32();
    if (!r.ok()) return false;
    count = n;
    return true;
}

bool DecodeWriteRegCommand(const CommandPacket& cmd, RegisterWrite* writes, size_t capacity, size_t& count) {
    count = 0;
    if (cmd.command != Cmd::WriteReg || cmd.payloadSize == 0 || cmd.payloadSize % 8 != 0) return false;
    size_t n = cmd.payloadSize / 8;
    if (n > capacity) return false;
    ByteReader r(cmd.payload, cmd.payloadSize);
    for (size_t i = 0; i < n; ++i) {
        writes[i].address = r.U32();
        writes[i].value = r.U32();
    }
    if (!r.ok()) return false;
    count = n;
    return true;
}

std::optional<ReadMemCommand> DecodeReadMemCommand(const CommandPacket& cmd) {
    if (cmd.command != Cmd::ReadMem || cmd.payloadSize != 8) return std::nullopt;
    ByteReader r(cmd.payload, cmd.payloadSize);
    ReadMemCommand m;
    m.address = r.U32();
    r.U16();
    m.count = r.U16();
    if (!r.ok() || m.count == 0 || m.count > kMaxMemoryBlock || m.count % 4 != 0) return std::nullopt;
    return m;
}

std::optional<WriteMemCommand> DecodeWriteMemCommand(const CommandPacket& cmd) {
    if (cmd.command != Cmd::WriteMem || cmd.payloadSize <= 4) return std::nullopt;
    ByteReader r(cmd.payload, cmd.payloadSize);
    WriteMemCommand m;
    m.address = r.U32();
    m.size = static_cast<uint16_t>(r.remaining());
    m.data = r.View(m.size);
    if (!r.ok() || m.data == nullptr || m.size > kMaxMemoryBlock) return std::nullopt;
    return m;
}

std::optional<ForceIpCommand> DecodeForceIpCommand(const CommandPacket& cmd) {
    if (cmd.command != Cmd::ForceIp || cmd.payloadSize < kForceIpSize) return std::nullopt;
    ByteReader r(cmd.payload, cmd.payloadSize);
    ForceIpCommand f;
    r.Skip(2);
    r.Bytes(f.mac, 6);
    r.Skip(12);
    f.ip = r.U32();
    r.Skip(12);
    f.mask = r.U32();
    r.Skip(12);
    f.gateway = r.U32();
    if (!r.ok()) return std::nullopt;
    return f;
}

std::optional<PacketResendCommand> DecodePacketResendCommand(const CommandPacket& cmd) {
    if (cmd.command != Cmd::PacketResend) return std::nullopt;
    PacketResendCommand p;
    p.extendedId = (cmd.flags & 0x10) != 0;
    ByteReader r(cmd.payload, cmd.payloadSize);
    p.channel = r.U16();
    uint16_t shortBlock = r.U16();
    p.firstPacketId = r.U32();
    p.lastPacketId = r.U32();
    if (p.extendedId) {
        p.blockId = r.U64();
    } else {
        p.blockId = shortBlock;
        p.firstPacketId &= 0xFFFFFF;
        p.lastPacketId &= 0xFFFFFF;
    }
    if (!r.ok() || p.firstPacketId > p.lastPacketId) return std::nullopt;
    return p;
}

bool DecodeEventCommand(const CommandPacket& cmd, EventItem* items, size_t capacity, size_t& count) {
    count = 0;
    if (cmd.command != Cmd::Event || cmd.payloadSize == 0 || cmd.payloadSize % kEventItemSize != 0) return false;
    size_t n = cmd.payloadSize / kEventItemSize;
    if (n > capacity) return false;
    ByteReader r(cmd.payload, cmd.payloadSize);
    for (size_t i = 0; i < n; ++i) {
        r.U16();
        items[i].eventId = r.U16();
        items[i].channel = r.U16();
        items[i].blockId = r.U16();
        items[i].timestamp = r.U64();
        items[i].data = nullptr;
        items[i].dataSize = 0;
    }
    if (!r.ok()) return false;
    count = n;
    return true;
}

std::optional<EventItem> DecodeEventDataCommand(const CommandPacket& cmd) {
    if (cmd.command != Cmd::EventData || cmd.payloadSize < kEventItemSize) return std::nullopt;
    ByteReader r(cmd.payload, cmd.payloadSize);
    EventItem e;
    r.U16();
    e.eventId = r.U16();
    e.channel = r.U16();
    e.blockId = r.U16();
    e.timestamp = r.U64();
    e.dataSize = static_cast<uint16_t>(r.remaining());
    e.data = e.dataSize != 0 ? r.View(e.dataSize) : nullptr;
    if (!r.ok()) return std::nullopt;
    return e;
}

std::optional<DeviceInfo> DecodeDiscoveryAck(const AckPacket& ack) {
    if (ack.answer != Cmd::DiscoveryAck || ack.status != DeviceStatus::Success ||
        ack.payloadSize < kDiscoveryAckSize)
        return std::nullopt;
    ByteReader r(ack.payload, ack.payloadSize);
    DeviceInfo d;
    d.versionMajor = r.U16();
    d.versionMinor = r.U16();
    d.deviceMode = r.U32();
    r.Skip(2);
    r.Bytes(d.mac, 6);
    d.ipConfigOptions = r.U32();
    d.ipConfigCurrent = r.U32();
    r.Skip(12);
    d.ip = r.U32();
    r.Skip(12);
    d.mask = r.U32();
    r.Skip(12);
    d.gateway = r.U32();
    const uint8_t* texts = r.View(kDiscoveryAckSize - 72);
    if (!r.ok() || texts == nullptr) return std::nullopt;
    CopyFixedText(d.manufacturer, sizeof d.manufacturer, texts, 32);
    CopyFixedText(d.model, sizeof d.model, texts + 32, 32);
    CopyFixedText(d.version, sizeof d.version, texts + 64, 32);
    CopyFixedText(d.manufacturerInfo, sizeof d.manufacturerInfo, texts + 96, 48);
    CopyFixedText(d.serial, sizeof d.serial, texts + 144, 16);
    CopyFixedText(d.userName, sizeof d.userName, texts + 160, 16);
    return d;
}

bool DecodeReadRegAck(const AckPacket& ack, uint32_t* values, size_t count) {
    if (ack.answer != Cmd::ReadRegAck || ack.payloadSize != count * 4) return false;
    ByteReader r(ack.payload, ack.payloadSize);
    for (size_t i = 0; i < count; ++i) values[i] = r.U32();
    return r.ok();
}

std::optional<uint16_t> DecodeWriteAckIndex(const AckPacket& ack) {
    if ((ack.answer != Cmd::WriteRegAck && ack.answer != Cmd::WriteMemAck) || ack.payloadSize != 4)
        return std::nullopt;
    ByteReader r(ack.payload, ack.payloadSize);
    r.U16();
    uint16_t index = r.U16();
    if (!r.ok()) return std::nullopt;
    return index;
}

bool DecodeReadMemAck(const AckPacket& ack, uint32_t address, uint8_t* out, size_t count) {
    if (ack.answer != Cmd::ReadMemAck || ack.payloadSize != 4 + count) return false;
    ByteReader r(ack.payload, ack.payloadSize);
    if (r.U32() != address) return false;
    r.Bytes(out, count);
    return r.ok();
}

std::optional<uint16_t> DecodePendingAck(const AckPacket& ack) {
    if (ack.answer != Cmd::PendingAck || ack.payloadSize != 4) return std::nullopt;
    ByteReader r(ack.payload, ack.payloadSize);
    r.U16();
    uint16_t ms = r.U16();
    if (!r.ok()) return std::nullopt;
    return ms;
}

// --- encoding ---------------------------------------------------------------------------------

size_t EncodeDiscoveryCommand(uint8_t* out, size_t capacity, uint16_t reqId, bool broadcastAck) {
    ByteWriter w(out, capacity);
    uint8_t flags = Flag::AckRequired | (broadcastAck ? Flag::BroadcastAck : 0);
    WriteCommandHeader(w, flags, Cmd::Discovery, 0, reqId);
    return Finish(w);
}

size_t EncodeForceIpCommand(uint8_t* out, size_t capacity, uint16_t reqId, const ForceIpCommand& cmd) {
    ByteWriter w(out, capacity);
    WriteCommandHeader(w, Flag::AckRequired, Cmd::ForceIp, kForceIpSize, reqId);
    w.Zeros(2);
    w.Bytes(cmd.mac, 6);
    w.Zeros(12);
    w.U32(cmd.ip);
    w.Zeros(12);
    w.U32(cmd.mask);
    w.Zeros(12);
    w.U32(cmd.gateway);
    return Finish(w);
}

size_t EncodeReadRegCommand(uint8_t* out, size_t capacity, uint16_t reqId, const uint32_t* addresses,
                            size_t count) {
    if (count == 0 || count > kMaxReadRegisters) return 0;
    ByteWriter w(out, capacity);
    WriteCommandHeader(w, Flag::AckRequired, Cmd::ReadReg, count * 4, reqId);
    for (size_t i = 0; i < count; ++i) {
        if (!Aligned(addresses[i])) return 0;
        w.U32(addresses[i]);
    }
    return Finish(w);
}

size_t EncodeWriteRegCommand(uint8_t* out, size_t capacity, uint16_t reqId, const RegisterWrite* writes,
                             size_t count) {
    if (count == 0 || count > kMaxWriteRegisters) return 0;
    ByteWriter w(out, capacity);
    WriteCommandHeader(w, Flag::AckRequired, Cmd::WriteReg, count * 8, reqId);
    for (size_t i = 0; i < count; ++i) {
        if (!Aligned(writes[i].address)) return 0;
        w.U32(writes[i].address);
        w.U32(writes[i].value);
    }
    return Finish(w);
}

size_t EncodeReadMemCommand(uint8_t* out, size_t capacity, uint16_t reqId, uint32_t address, uint16_t count) {
    if (count == 0 || count > kMaxMemoryBlock || count % 4 != 0 || !Aligned(address)) return 0;
    ByteWriter w(out, capacity);
    WriteCommandHeader(w, Flag::AckRequired, Cmd::ReadMem, 8, reqId);
    w.U32(address);
    w.U16(0);
    w.U16(count);
    return Finish(w);
}

size_t EncodeWriteMemCommand(uint8_t* out, size_t capacity, uint16_t reqId, uint32_t address,
                             const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxMemoryBlock || size % 4 != 0 || !Aligned(address)) return 0;
    ByteWriter w(out, capacity);
    WriteCommandHeader(w, Flag::AckRequired, Cmd::WriteMem, 4 + size, reqId);
    w.U32(address);
    w.Bytes(data, size);
    return Finish(w);
}

size_t EncodePacketResendCommand(uint8_t* out, size_t capacity, uint16_t reqId,
                                 const PacketResendCommand& cmd) {
    if (cmd.firstPacketId > cmd.lastPacketId) return 0;
    ByteWriter w(out, capacity);
    if (cmd.extendedId) {
        WriteCommandHeader(w, 0x10, Cmd::PacketResend, 20, reqId);
        w.U16(cmd.channel);
        w.U16(0);
        w.U32(cmd.firstPacketId);
        w.U32(cmd.lastPacketId);
        w.U64(cmd.blockId);
    } else {
        if (cmd.blockId > 0xFFFF || cmd.lastPacketId > 0xFFFFFF) return 0;
        WriteCommandHeader(w, 0, Cmd::PacketResend, 12, reqId);
        w.U16(cmd.channel);
        w.U16(static_cast<uint16_t>(cmd.blockId));
        w.U32(cmd.firstPacketId);
        w.U32(cmd.lastPacketId);
    }
    return Finish(w);
}

size_t EncodeEventCommand(uint8_t* out, size_t capacity, uint16_t reqId, const EventItem* items, size_t count,
                          bool ackRequired) {
    if (count == 0 || count * kEventItemSize > kMaxPayload) return 0;
    ByteWriter w(out, capacity);
    WriteCommandHeader(w, ackRequired ? Flag::AckRequired : 0, Cmd::Event, count * kEventItemSize, reqId);
    for (size_t i = 0; i < count; ++i) {
        w.U16(0);
        w.U16(items[i].eventId);
        w.U16(items[i].channel);
        w.U16(items[i].blockId);
        w.U64(items[i].timestamp);
    }
    return Finish(w);
}

size_t EncodeEventDataCommand(uint8_t* out, size_t capacity, uint16_t reqId, const EventItem& item,
                              bool ackRequired) {
    size_t padded = (item.dataSize + 3u) & ~size_t{3};
    if (padded > kMaxEventData || (item.dataSize != 0 && item.data == nullptr)) return 0;
    ByteWriter w(out, capacity);
    WriteCommandHeader(w, ackRequired ? Flag::AckRequired : 0, Cmd::EventData, kEventItemSize + padded, reqId);
    w.U16(0);
    w.U16(item.eventId);
    w.U16(item.channel);
    w.U16(item.blockId);
    w.U64(item.timestamp);
    w.Bytes(item.data, item.dataSize);
    w.Zeros(padded - item.dataSize);
    return Finish(w);
}

size_t EncodeAck(uint8_t* out, size_t capacity, uint16_t status, uint16_t answer, uint16_t ackId,
                 const uint8_t* payload, size_t payloadSize) {
    if (!PayloadFits(payloadSize)) return 0;
    ByteWriter w(out, capacity);
    w.U16(status);
    w.U16(answer);
    w.U16(static_cast<uint16_t>(payloadSize));
    w.U16(ackId);
    w.Bytes(payload, payloadSize);
    return Finish(w);
}

size_t EncodeDiscoveryAck(uint8_t* out, size_t capacity, uint16_t ackId, const DeviceInfo& d) {
    ByteWriter w(out, capacity);
    w.U16(DeviceStatus::Success);
    w.U16(Cmd::DiscoveryAck);
    w.U16(kDiscoveryAckSize);
    w.U16(ackId);
    w.U16(d.versionMajor);
    w.U16(d.versionMinor);
    w.U32(d.deviceMode);
    w.Zeros(2);
    w.Bytes(d.mac, 6);
    w.U32(d.ipConfigOptions);
    w.U32(d.ipConfigCurrent);
    w.Zeros(12);
    w.U32(d.ip);
    w.Zeros(12);
    w.U32(d.mask);
    w.Zeros(12);
    w.U32(d.gateway);
    w.FixedText(d.manufacturer, 32);
    w.FixedText(d.model, 32);
    w.FixedText(d.version, 32);
    w.FixedText(d.manufacturerInfo, 48);
    w.FixedText(d.serial, 16);
    w.FixedText(d.userName, 16);
    return Finish(w);
}

size_t EncodeReadRegAck(uint8_t* out, size_t capacity, uint16_t ackId, const uint32_t* values, size_t count) {
    if (count > kMaxReadRegisters) return 0;
    ByteWriter w(out, capacity);
    w.U16(DeviceStatus::Success);
    w.U16(Cmd::ReadRegAck);
    w.U16(static_cast<uint16_t>(count * 4));
    w.U16(ackId);
    for (size_t i = 0; i < count; ++i) w.U32(values[i]);
    return Finish(w);
}

size_t EncodeWriteAck(uint8_t* out, size_t capacity, uint16_t status, uint16_t answer, uint16_t ackId,
                      uint16_t index) {
    ByteWriter w(out, capacity);
    w.U16(status);
    w.U16(answer);
    w.U16(4);
    w.U16(ackId);
    w.U16(0);
    w.U16(index);
    return Finish(w);
}

size_t EncodeReadMemAck(uint8_t* out, size_t capacity, uint16_t ackId, uint32_t address, const uint8_t* data,
                        size_t size) {
    if (size > kMaxMemoryBlock || size % 4 != 0) return 0;
    ByteWriter w(out, capacity);
    w.U16(DeviceStatus::Success);
    w.U16(Cmd::ReadMemAck);
    w.U16(static_cast<uint16_t>(4 + size));
    w.U16(ackId);
    w.U32(address);
    w.Bytes(data, size);
    return Finish(w);
}

size_t EncodePendingAck(uint8_t* out, size_t capacity, uint16_t ackId, uint16_t milliseconds) {
    ByteWriter w(out, capacity);
    w.U16(DeviceStatus::Success);
    w.U16(Cmd::PendingAck);
    w.U16(4);
    w.U16(ackId);
    w.U16(0);
    w.U16(milliseconds);
    return Finish(w);
}

}  // namespace Kovon::Pelion::Gvcp
