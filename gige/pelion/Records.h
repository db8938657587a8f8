#pragma once
// The records the library exchanges with its caller, at fixed byte offsets. Multi-byte fields
// are host order unless their comment says network order.
#include <cstddef>
#include <cstdint>

namespace Kovon::Pelion {

constexpr size_t kMaxDiscoveredCameras = 20;

// One discovered camera (428 bytes).
struct CameraRecord {
    uint8_t ip[4];                // 0: camera address, first octet first
    char manufacturer[32];        // 4
    char model[32];               // 36
    char deviceVersion[32];       // 68
    uint32_t hostAddress;         // 100: address of the host interface that heard it, network order
    uint32_t hostMask;            // 104: that interface's mask, network order
    uint8_t mac[6];               // 108
    uint8_t reserved0[2];         // 114
    uint32_t cameraMask;          // 116: the camera's own mask, network order
    uint32_t cameraGateway;       // 120: the camera's gateway, network order
    char hostInterface[260];      // 124: name of the host interface ("eth0", "lo")
    char serial[16];              // 384
    char userName[16];            // 400
    uint8_t accessCode;           // 416: 0 free, 1 controlled by another host, 2 not reachable
    uint8_t reserved1[11];        // 417
};
static_assert(sizeof(CameraRecord) == 428);
static_assert(offsetof(CameraRecord, model) == 36);
static_assert(offsetof(CameraRecord, deviceVersion) == 68);
static_assert(offsetof(CameraRecord, hostAddress) == 100);
static_assert(offsetof(CameraRecord, hostMask) == 104);
static_assert(offsetof(CameraRecord, mac) == 108);
static_assert(offsetof(CameraRecord, hostInterface) == 124);
static_assert(offsetof(CameraRecord, serial) == 384);
static_assert(offsetof(CameraRecord, userName) == 400);
static_assert(offsetof(CameraRecord, accessCode) == 416);

namespace Access {
constexpr uint8_t Free = 0;
constexpr uint8_t Controlled = 1;
constexpr uint8_t Unreachable = 2;
}  // namespace Access

// What discovery fills: a count and up to 20 camera records (8564 bytes).
struct DiscoveryBuffer {
    uint32_t count;
    CameraRecord records[kMaxDiscoveredCameras];
};
static_assert(sizeof(DiscoveryBuffer) == 8564);
static_assert(offsetof(DiscoveryBuffer, records) == 4);

// How to reach one camera (276 bytes).
struct ConnectionRecord {
    uint8_t cameraIp[4];     // 0: first octet first
    uint32_t port;           // 4: low 16 bits: local stream port (0 = any)
    uint32_t hostAddress;    // 8: network order
    uint32_t hostMask;       // 12: network order
    char hostInterface[260]; // 16
};
static_assert(sizeof(ConnectionRecord) == 276);
static_assert(offsetof(ConnectionRecord, hostAddress) == 8);
static_assert(offsetof(ConnectionRecord, hostInterface) == 16);

// Per-camera behaviour of the library (24 bytes).
struct SettingsRecord {
    uint32_t heartbeatTimeoutMs;  // 0: mirror of the camera's heartbeat time-out register
    uint32_t packetTimeoutMs;     // 4: wait for a missing stream packet before asking again
    uint8_t resendEnabled;        // 8: 1: missing stream packets are requested again
    uint8_t reserved0[3];
    uint32_t frameRetentionMs;    // 12: how long an incomplete frame waits for its packets
    uint8_t resendRounds;         // 16: how often one missing packet is requested at most
    uint8_t reserved1[3];
    uint32_t frameWaitTimeoutMs;  // 20: how long WaitForFrame waits
};
static_assert(sizeof(SettingsRecord) == 24);
static_assert(offsetof(SettingsRecord, resendEnabled) == 8);
static_assert(offsetof(SettingsRecord, frameRetentionMs) == 12);
static_assert(offsetof(SettingsRecord, resendRounds) == 16);
static_assert(offsetof(SettingsRecord, frameWaitTimeoutMs) == 20);

// One delivered frame (80 bytes).
struct FrameRecord {
    uint64_t blockId;          // 0
    uint64_t timestamp;        // 8: camera time stamp from the leader
    uint32_t pixelFormat;      // 16
    uint32_t width;            // 20
    uint32_t height;           // 24
    uint32_t offsetX;          // 28
    uint32_t offsetY;          // 32
    uint32_t payloadBytes;     // 36: payload bytes received
    uint32_t packetCount;      // 40: payload packets received
    uint32_t missingPackets;   // 44: payload packets still missing
    uint32_t resentPackets;    // 48: packets that arrived after a resend request
    uint32_t status;           // 52: the status WaitForFrame returned
    uint32_t expectedPackets;  // 56: payload packets the frame should have
    uint32_t reserved0;        // 60
    uint64_t framesDropped;    // 64: frames lost since the stream channel opened
    uint64_t reserved1;        // 72
};
static_assert(sizeof(FrameRecord) == 80);
static_assert(offsetof(FrameRecord, packetCount) == 40);

// One camera event as handed to the event handler. `data` points at the event's data (or is
// null) and is valid only during the handler call.
struct EventRecord {
    uint16_t eventId;        // 0
    uint16_t reserved0;      // 2
    uint32_t reserved1;      // 4
    uint64_t timestamp;      // 8
    uint32_t dataSize;       // 16
    uint32_t blockId;        // 20: block id the event refers to
    const uint8_t* data;     // 24
    uint16_t channel;        // 32: stream channel the event refers to
    uint16_t reserved2[3];   // 34
};
static_assert(sizeof(EventRecord) == 40);
static_assert(offsetof(EventRecord, dataSize) == 16);
static_assert(offsetof(EventRecord, blockId) == 20);
static_assert(offsetof(EventRecord, data) == 24);
static_assert(offsetof(EventRecord, channel) == 32);

// Called on the library's message-channel thread for every event. The first argument is 0.
using EventHandler = bool (*)(uint32_t unused, const EventRecord* event, void* context);

}  // namespace Kovon::Pelion
