#pragma once
// GVCP, the GigE Vision control protocol: commands and acknowledgements as pure functions.
// Decoders take the bytes of one UDP datagram and return checked fields, or nothing when the
// packet is short, oversized or inconsistent. Encoders write into a caller buffer and return the
// packet size, 0 when it does not fit.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace Kovon::Pelion::Gvcp {

constexpr uint16_t kPort = 3956;
constexpr uint8_t kKey = 0x42;
constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxPayload = 540;  // keeps a control packet within 576 bytes of UDP payload
constexpr size_t kMaxPacket = kHeaderSize + kMaxPayload;
constexpr size_t kMaxMemoryBlock = 536;            // READMEM/WRITEMEM data: 540 less the address
constexpr size_t kMaxReadRegisters = kMaxPayload / 4;
constexpr size_t kMaxWriteRegisters = kMaxPayload / 8;
constexpr size_t kDiscoveryAckSize = 248;
constexpr size_t kForceIpSize = 56;
constexpr size_t kEventItemSize = 16;
constexpr size_t kMaxEventData = kMaxPayload - kEventItemSize;

namespace Flag {
constexpr uint8_t AckRequired = 0x01;
constexpr uint8_t BroadcastAck = 0x10;  // DISCOVERY / FORCEIP: the device may answer by broadcast
}  // namespace Flag

namespace Cmd {
constexpr uint16_t Discovery = 0x0002;
constexpr uint16_t DiscoveryAck = 0x0003;
constexpr uint16_t ForceIp = 0x0004;
constexpr uint16_t ForceIpAck = 0x0005;
constexpr uint16_t PacketResend = 0x0040;
constexpr uint16_t ReadReg = 0x0080;
constexpr uint16_t ReadRegAck = 0x0081;
constexpr uint16_t WriteReg = 0x0082;
constexpr uint16_t WriteRegAck = 0x0083;
constexpr uint16_t ReadMem = 0x0084;
constexpr uint16_t ReadMemAck = 0x0085;
constexpr uint16_t WriteMem = 0x0086;
constexpr uint16_t WriteMemAck = 0x0087;
constexpr uint16_t PendingAck = 0x0089;
constexpr uint16_t Event = 0x00C0;
constexpr uint16_t EventAck = 0x00C1;
constexpr uint16_t EventData = 0x00C2;
constexpr uint16_t EventDataAck = 0x00C3;
}  // namespace Cmd

// Status values a device puts into an acknowledgement.
namespace DeviceStatus {
constexpr uint16_t Success = 0x0000;
constexpr uint16_t NotImplemented = 0x8001;
constexpr uint16_t InvalidParameter = 0x8002;
constexpr uint16_t InvalidAddress = 0x8003;
constexpr uint16_t WriteProtect = 0x8004;
constexpr uint16_t BadAlignment = 0x8005;
constexpr uint16_t AccessDenied = 0x8006;
constexpr uint16_t Busy = 0x8007;
constexpr uint16_t PacketUnavailable = 0x800C;
constexpr uint16_t InvalidHeader = 0x800E;
constexpr uint16_t Error = 0x8FFF;
}  // namespace DeviceStatus

struct CommandPacket {
    uint8_t flags = 0;
    uint16_t command = 0;
    uint16_t reqId = 0;
    const uint8_t* payload = nullptr;
    uint16_t payloadSize = 0;
};

struct AckPacket {
    uint16_t status = 0;
    uint16_t answer = 0;
    uint16_t ackId = 0;
    const uint8_t* payload = nullptr;
    uint16_t payloadSize = 0;
};

struct DeviceInfo {
    uint16_t versionMajor = 1;
    uint16_t versionMinor = 2;
    uint32_t deviceMode = 0;
    uint8_t mac[6] = {};
    uint32_t ipConfigOptions = 0;
    uint32_t ipConfigCurrent = 0;
    uint32_t ip = 0;  // host order, first octet in the top byte
    uint32_t mask = 0;
    uint32_t gateway = 0;
    char manufacturer[33] = {};
    char model[33] = {};
    char version[33] = {};
    char manufacturerInfo[49] = {};
    char serial[17] = {};
    char userName[17] = {};
};

struct ForceIpCommand {
    uint8_t mac[6] = {};
    uint32_t ip = 0;  // host order
    uint32_t mask = 0;
    uint32_t gateway = 0;
};

struct RegisterWrite {
    uint32_t address = 0;
    uint32_t value = 0;
};

struct ReadMemCommand {
    uint32_t address = 0;
    uint16_t count = 0;
};

struct WriteMemCommand {
    uint32_t address = 0;
    const uint8_t* data = nullptr;
    uint16_t size = 0;
};

struct PacketResendCommand {
    uint16_t channel = 0;
    uint64_t blockId = 0;
    uint32_t firstPacketId = 0;
    uint32_t lastPacketId = 0;
    bool extendedId = false;
};

struct EventItem {
    uint16_t eventId = 0;
    uint16_t channel = 0;
    uint16_t blockId = 0;
    uint64_t timestamp = 0;
    const uint8_t* data = nullptr;  // EVENTDATA only
    uint16_t dataSize = 0;
};

// --- decoding -------------------------------------------------------------------------------
std::optional<CommandPacket> DecodeCommand(const uint8_t* data, size_t size);
std::optional<AckPacket> DecodeAck(const uint8_t* data, size_t size);

// Command payloads (the device side). Counts are written through `count`; false = malformed.
bool DecodeReadRegCommand(const CommandPacket& cmd, uint32_t* addresses, size_t capacity, size_t& count);
bool DecodeWriteRegCommand(const CommandPacket& cmd, RegisterWrite* writes, size_t capacity, size_t& count);
std::optional<ReadMemCommand> DecodeReadMemCommand(const CommandPacket& cmd);
std::optional<WriteMemCommand> DecodeWriteMemCommand(const CommandPacket& cmd);
std::optional<ForceIpCommand> DecodeForceIpCommand(const CommandPacket& cmd);
std::optional<PacketResendCommand> DecodePacketResendCommand(const CommandPacket& cmd);
bool DecodeEventCommand(const CommandPacket& cmd, EventItem* items, size_t capacity, size_t& count);
std::optional<EventItem> DecodeEventDataCommand(const CommandPacket& cmd);

// Acknowledgement payloads (the host side).
std::optional<DeviceInfo> DecodeDiscoveryAck(const AckPacket& ack);
bool DecodeReadRegAck(const AckPacket& ack, uint32_t* values, size_t count);
std::optional<uint16_t> DecodeWriteAckIndex(const AckPacket& ack);  // WRITEREG / WRITEMEM
bool DecodeReadMemAck(const AckPacket& ack, uint32_t address, uint8_t* out, size_t count);
std::optional<uint16_t> DecodePendingAck(const AckPacket& ack);  // milliseconds to completion

// --- encoding -------------------------------------------------------------------------------
size_t EncodeDiscoveryCommand(uint8_t* out, size_t capacity, uint16_t reqId, bool broadcastAck);
size_t EncodeForceIpCommand(uint8_t* out, size_t capacity, uint16_t reqId, const ForceIpCommand& cmd);
size_t EncodeReadRegCommand(uint8_t* out, size_t capacity, uint16_t reqId, const uint32_t* addresses,
                            size_t count);
size_t EncodeWriteRegCommand(uint8_t* out, size_t capacity, uint16_t reqId, const RegisterWrite* writes,
                             size_t count);
size_t EncodeReadMemCommand(uint8_t* out, size_t capacity, uint16_t reqId, uint32_t address, uint16_t count);
size_t EncodeWriteMemCommand(uint8_t* out, size_t capacity, uint16_t reqId, uint32_t address,
                             const uint8_t* data, size_t size);
size_t EncodePacketResendCommand(uint8_t* out, size_t capacity, uint16_t reqId,
                                 const PacketResendCommand& cmd);
size_t EncodeEventCommand(uint8_t* out, size_t capacity, uint16_t reqId, const EventItem* items, size_t count,
                          bool ackRequired);
size_t EncodeEventDataCommand(uint8_t* out, size_t capacity, uint16_t reqId, const EventItem& item,
                              bool ackRequired);

size_t EncodeAck(uint8_t* out, size_t capacity, uint16_t status, uint16_t answer, uint16_t ackId,
                 const uint8_t* payload, size_t payloadSize);
size_t EncodeDiscoveryAck(uint8_t* out, size_t capacity, uint16_t ackId, const DeviceInfo& info);
size_t EncodeReadRegAck(uint8_t* out, size_t capacity, uint16_t ackId, const uint32_t* values, size_t count);
size_t EncodeWriteAck(uint8_t* out, size_t capacity, uint16_t status, uint16_t answer, uint16_t ackId,
                      uint16_t index);
size_t EncodeReadMemAck(uint8_t* out, size_t capacity, uint16_t ackId, uint32_t address, const uint8_t* data,
                        size_t size);
size_t EncodePendingAck(uint8_t* out, size_t capacity, uint16_t ackId, uint16_t milliseconds);

}  // namespace Kovon::Pelion::Gvcp
