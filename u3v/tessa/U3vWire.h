#pragma once
// USB3 Vision wire formats: GenCP control commands and acknowledgements, event commands, stream
// leaders and trailers, the bootstrap register maps and the manifest table. Pure codecs: bytes
// in, checked fields out; nothing here does I/O. All multi-byte fields are little-endian.
#include <cstddef>
#include <cstdint>

namespace Kovon::Tessa::Wire {

constexpr uint32_t kControlPrefix = 0x43563355;  // "U3VC"
constexpr uint32_t kEventPrefix = 0x45563355;    // "U3VE"
constexpr uint32_t kLeaderPrefix = 0x4C563355;   // "U3VL"
constexpr uint32_t kTrailerPrefix = 0x54563355;  // "U3VT"

// GenCP command ids.
constexpr uint16_t kReadMemCmd = 0x0800;
constexpr uint16_t kReadMemAck = 0x0801;
constexpr uint16_t kWriteMemCmd = 0x0802;
constexpr uint16_t kWriteMemAck = 0x0803;
constexpr uint16_t kPendingAck = 0x0805;
constexpr uint16_t kEventCmd = 0x0C00;
constexpr uint16_t kEventAck = 0x0C01;

constexpr uint16_t kFlagRequestAck = 0x4000;
constexpr uint16_t kFlagResend = 0x8000;

// Prefix (4) + command-specific header: flags/status (2), command id (2), length (2), request id (2).
constexpr size_t kControlHeaderSize = 12;
constexpr size_t kReadMemCmdScdSize = 12;   // address (8), reserved (2), length (2)
constexpr size_t kWriteMemAddrSize = 8;     // address, followed by the data
constexpr size_t kWriteMemAckScdSize = 4;   // reserved (2), length written (2)
constexpr size_t kPendingAckScdSize = 4;    // reserved (2), time to completion in ms (2)
constexpr size_t kEventHeaderSize = 12;     // per event: size (2), id (2), timestamp (8)

// GenCP and USB3 Vision status codes carried by acknowledgements and trailers.
namespace Status {
constexpr uint16_t kSuccess = 0x0000;
constexpr uint16_t kNotImplemented = 0x8001;
constexpr uint16_t kInvalidParameter = 0x8002;
constexpr uint16_t kInvalidAddress = 0x8003;
constexpr uint16_t kWriteProtect = 0x8004;
constexpr uint16_t kBadAlignment = 0x8005;
constexpr uint16_t kAccessDenied = 0x8006;
constexpr uint16_t kBusy = 0x8007;
constexpr uint16_t kMsgTimeout = 0x800B;
constexpr uint16_t kInvalidHeader = 0x800E;
constexpr uint16_t kWrongConfig = 0x800F;
constexpr uint16_t kGenericError = 0x8FFF;
constexpr uint16_t kResendNotSupported = 0xA001;
constexpr uint16_t kStreamEndpointHalted = 0xA002;
constexpr uint16_t kPayloadSizeNotAligned = 0xA003;
constexpr uint16_t kSiRegistersInconsistent = 0xA004;
constexpr uint16_t kDataDiscarded = 0xA100;
constexpr uint16_t kDataOverrun = 0xA101;
}  // namespace Status

// Stream payload types.
constexpr uint16_t kPayloadImage = 0x0001;
constexpr uint16_t kPayloadChunk = 0x4000;
constexpr uint16_t kPayloadImageExtChunk = 0x4001;

enum class DecodeError {
    kOk = 0,
    kShort,         // fewer bytes than the fixed part or than a length field announces
    kBadPrefix,     // not the expected magic
    kInconsistent,  // a length or size field contradicts the bytes received or another field
    kOversized,     // more bytes than the structure or the caller's limit allows
    kUnexpected,    // well formed, but not the kind of packet asked for
};

const char* ToString(DecodeError e);

// ---- control channel ----------------------------------------------------------------------

struct Command {
    uint16_t flags = 0;
    uint16_t commandId = 0;
    uint16_t requestId = 0;
    const uint8_t* scd = nullptr;  // command-specific data, inside the decoded bytes
    uint16_t scdLength = 0;
};

struct Acknowledge {
    uint16_t status = 0;
    uint16_t commandId = 0;
    uint16_t requestId = 0;
    const uint8_t* scd = nullptr;
    uint16_t scdLength = 0;
};

// Encoders return the number of bytes written, or 0 when the output is too small or an argument
// does not fit the format.
size_t EncodeReadMem(uint8_t* out, size_t cap, uint16_t requestId, uint64_t address, uint16_t length);
size_t EncodeWriteMem(uint8_t* out, size_t cap, uint16_t requestId, uint64_t address,
                      const uint8_t* data, uint16_t length);
size_t EncodeAck(uint8_t* out, size_t cap, uint16_t status, uint16_t commandId, uint16_t requestId,
                 const uint8_t* scd, uint16_t scdLength);
size_t EncodeWriteMemAck(uint8_t* out, size_t cap, uint16_t status, uint16_t requestId,
                         uint16_t lengthWritten);
size_t EncodePendingAck(uint8_t* out, size_t cap, uint16_t requestId, uint16_t timeoutMs);

// A command or acknowledgement must be exactly header + its length field long.
DecodeError DecodeCommand(const uint8_t* data, size_t size, Command& out);
DecodeError DecodeAcknowledge(const uint8_t* data, size_t size, Acknowledge& out);

struct ReadMemRequest {
    uint64_t address = 0;
    uint16_t length = 0;
};
DecodeError DecodeReadMemRequest(const Command& cmd, ReadMemRequest& out);

struct WriteMemRequest {
    uint64_t address = 0;
    const uint8_t* data = nullptr;
    uint16_t length = 0;
};
DecodeError DecodeWriteMemRequest(const Command& cmd, WriteMemRequest& out);

// Field of a WRITEMEM acknowledgement and of a PENDING_ACK.
DecodeError DecodeWriteMemAck(const Acknowledge& ack, uint16_t& lengthWritten);
DecodeError DecodePendingAck(const Acknowledge& ack, uint16_t& timeoutMs);

// ---- event channel ------------------------------------------------------------------------

struct Event {
    uint16_t eventId = 0;
    uint64_t timestamp = 0;
    const uint8_t* data = nullptr;
    uint16_t dataLength = 0;
};

// One event command carrying one event.
size_t EncodeEvent(uint8_t* out, size_t cap, uint16_t requestId, uint16_t eventId, uint64_t timestamp,
                   const uint8_t* data, uint16_t dataLength);

// Decodes an event command and calls sink(event) for each event it carries. The whole packet is
// checked before the first call, so a malformed packet delivers nothing.
template <typename Sink>
DecodeError DecodeEvents(const uint8_t* data, size_t size, Sink&& sink);
DecodeError CheckEvents(const uint8_t* data, size_t size, size_t* count);
DecodeError EventAt(const uint8_t* data, size_t size, size_t index, Event& out);

template <typename Sink>
DecodeError DecodeEvents(const uint8_t* data, size_t size, Sink&& sink) {
    size_t count = 0;
    DecodeError e = CheckEvents(data, size, &count);
    if (e != DecodeError::kOk) return e;
    for (size_t i = 0; i < count; ++i) {
        Event ev;
        EventAt(data, size, i, ev);
        sink(ev);
    }
    return DecodeError::kOk;
}

// ---- stream channel -----------------------------------------------------------------------

constexpr size_t kLeaderHeaderSize = 20;      // prefix, reserved, size, block id, reserved, type
constexpr size_t kImageLeaderSize = 52;       // + timestamp, format, size x/y, offset x/y, padding x
constexpr size_t kTrailerHeaderSize = 28;     // prefix, reserved, size, block id, status, reserved, valid size
constexpr size_t kImageTrailerSize = 32;      // + size y

struct Leader {
    uint16_t leaderSize = 0;
    uint64_t blockId = 0;
    uint16_t payloadType = 0;
    // Image payloads only (zero otherwise).
    uint64_t timestamp = 0;
    uint32_t pixelFormat = 0;
    uint32_t sizeX = 0;
    uint32_t sizeY = 0;
    uint32_t offsetX = 0;
    uint32_t offsetY = 0;
    uint16_t paddingX = 0;
};

struct Trailer {
    uint16_t trailerSize = 0;
    uint64_t blockId = 0;
    uint16_t status = 0;
    uint64_t validPayloadSize = 0;
    uint32_t sizeY = 0;  // image payloads: lines actually sent
};

size_t EncodeImageLeader(uint8_t* out, size_t cap, const Leader& leader);
size_t EncodeImageTrailer(uint8_t* out, size_t cap, const Trailer& trailer);
DecodeError DecodeLeader(const uint8_t* data, size_t size, Leader& out);
DecodeError DecodeTrailer(const uint8_t* data, size_t size, Trailer& out);

// ---- bootstrap register maps --------------------------------------------------------------

namespace Abrm {
constexpr uint64_t kGenCpVersion = 0x0000;
constexpr uint64_t kManufacturerName = 0x0004;
constexpr uint64_t kModelName = 0x0044;
constexpr uint64_t kFamilyName = 0x0084;
constexpr uint64_t kDeviceVersion = 0x00C4;
constexpr uint64_t kManufacturerInfo = 0x0104;
constexpr uint64_t kSerialNumber = 0x0144;
constexpr uint64_t kUserDefinedName = 0x0184;
constexpr uint64_t kDeviceCapability = 0x01C4;
constexpr uint64_t kMaxDeviceResponseTime = 0x01CC;
constexpr uint64_t kManifestTableAddress = 0x01D0;
constexpr uint64_t kSbrmAddress = 0x01D8;
constexpr uint64_t kDeviceConfiguration = 0x01E0;
constexpr uint64_t kHeartbeatTimeout = 0x01E8;
constexpr uint64_t kMessageChannelId = 0x01EC;
constexpr uint64_t kTimestamp = 0x01F0;
constexpr uint64_t kTimestampLatch = 0x01F8;
constexpr uint64_t kTimestampIncrement = 0x01FC;
constexpr uint64_t kAccessPrivilege = 0x0204;
constexpr uint64_t kProtocolEndianness = 0x0208;
constexpr uint64_t kImplementationEndianness = 0x020C;
constexpr uint64_t kSize = 0x0210;
constexpr size_t kTextLength = 64;
}  // namespace Abrm

namespace Sbrm {
constexpr uint64_t kU3vVersion = 0x00;
constexpr uint64_t kU3vcpCapability = 0x04;
constexpr uint64_t kU3vcpConfiguration = 0x0C;
constexpr uint64_t kMaxCommandTransferLength = 0x14;
constexpr uint64_t kMaxAckTransferLength = 0x18;
constexpr uint64_t kNumberOfStreamChannels = 0x1C;
constexpr uint64_t kSirmAddress = 0x20;
constexpr uint64_t kSirmLength = 0x28;
constexpr uint64_t kEirmAddress = 0x2C;
constexpr uint64_t kEirmLength = 0x34;
constexpr uint64_t kIidc2Address = 0x38;
constexpr uint64_t kCurrentSpeed = 0x40;
constexpr uint64_t kSize = 0x44;
}  // namespace Sbrm

namespace Sirm {
constexpr uint64_t kInfo = 0x00;  // bits 24..31: log2 of the payload alignment
constexpr uint64_t kControl = 0x04;  // bit 0: stream enable
constexpr uint64_t kRequiredPayloadSize = 0x08;  // 64-bit
constexpr uint64_t kRequiredLeaderSize = 0x10;
constexpr uint64_t kRequiredTrailerSize = 0x14;
constexpr uint64_t kMaxLeaderSize = 0x18;
constexpr uint64_t kPayloadTransferSize = 0x1C;
constexpr uint64_t kPayloadTransferCount = 0x20;
constexpr uint64_t kPayloadFinalTransfer1Size = 0x24;
constexpr uint64_t kPayloadFinalTransfer2Size = 0x28;
constexpr uint64_t kMaxTrailerSize = 0x2C;
constexpr uint64_t kSize = 0x30;
constexpr uint32_t kControlEnable = 1;
}  // namespace Sirm

namespace Eirm {
constexpr uint64_t kControl = 0x00;  // bit 0: event enable
constexpr uint64_t kMaxEventTransferLength = 0x04;
constexpr uint64_t kEventTestControl = 0x08;
constexpr uint64_t kSize = 0x0C;
constexpr uint32_t kControlEnable = 1;
}  // namespace Eirm

// The manifest table: a 64-bit entry count followed by 64-byte entries.
constexpr size_t kManifestEntrySize = 64;
constexpr uint32_t kManifestFormatUncompressed = 0;
constexpr uint32_t kManifestFormatZip = 1;
constexpr uint32_t kManifestTypeDeviceXml = 0;

struct ManifestEntry {
    uint32_t fileVersion = 0;     // major (bits 24..31), minor (16..23), subminor (0..15)
    uint32_t formatInfo = 0;      // file type (bits 0..9), format (10..15), schema minor/major (16..31)
    uint64_t address = 0;
    uint64_t size = 0;
    uint8_t sha1[20] = {};

    uint32_t FileType() const { return formatInfo & 0x3FF; }
    uint32_t FileFormat() const { return (formatInfo >> 10) & 0x3F; }
    static uint32_t MakeFormatInfo(uint32_t type, uint32_t format, uint8_t schemaMajor, uint8_t schemaMinor) {
        return (type & 0x3FF) | ((format & 0x3F) << 10) | (uint32_t(schemaMinor) << 16) |
               (uint32_t(schemaMajor) << 24);
    }
};

size_t EncodeManifestEntry(uint8_t* out, size_t cap, const ManifestEntry& entry);
DecodeError DecodeManifestEntry(const uint8_t* data, size_t size, ManifestEntry& out);

// Splits a payload into the transfers of the stream interface: count transfers of transferSize,
// then up to two final transfers. The first final transfer is the remainder rounded down to the
// alignment, the second the rest rounded up to it (so it may run past the payload's end).
struct TransferLayout {
    uint32_t transferSize = 0;
    uint32_t transferCount = 0;
    uint32_t finalTransfer1 = 0;
    uint32_t finalTransfer2 = 0;
};
bool ComputeTransferLayout(uint64_t payloadSize, uint32_t transferSize, uint32_t alignment,
                           TransferLayout& out);

}  // namespace Kovon::Tessa::Wire
