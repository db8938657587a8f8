#pragma once
// The GigE Vision library: one function per operation, each keyed by the one-byte camera index
// the caller chose at OpenCamera, each returning a 16-bit status (Status.h). Safe to call from
// several threads; operations on one camera are serialised where the wire needs it.
#include <cstdint>

#include "gige/pelion/Records.h"
#include "gige/pelion/Status.h"

namespace Kovon::Pelion {

struct StreamStatistics;

// Finds up to 20 cameras (see Discovery.h for where it looks). `reserved` must be 0. With `mode`
// 1 the access code of each camera is read from it; with 0 it only reflects reachability.
Status Discover(DiscoveryBuffer* buffer, uint32_t reserved, uint32_t timeoutMs, uint32_t mode);

// Opens the camera of `connection` under `index` and takes control of it. 0: opened; AlreadyOpen (2):
// the index already holds this camera; AccessRefused: another host controls it.
Status OpenCamera(uint8_t index, const ConnectionRecord* connection, uint32_t reserved1, uint32_t reserved2,
                  uint32_t mode);
Status CloseCamera(uint8_t index);

Status ReadSettings(uint8_t index, SettingsRecord* settings);
Status WriteSettings(uint8_t index, const SettingsRecord* settings);
// Time to wait for one control answer, and how often a command is repeated without one.
Status ReadTimeouts(uint8_t index, uint32_t* timeoutMs, uint8_t* retries);
Status WriteTimeouts(uint8_t index, uint32_t timeoutMs, uint8_t retries);
// Mode byte: bit 0 keeps the heartbeat running (1 after open); the other bits must be 0.
Status WriteMode(uint8_t index, uint8_t mode);
Status ReadMode(uint8_t index, uint8_t* mode);

// `count` consecutive 32-bit registers from `address`, values in host order.
Status ReadRegisters(uint8_t index, uint32_t address, uint8_t count, uint32_t* values);
Status WriteRegisters(uint8_t index, uint32_t address, uint8_t count, const uint32_t* values);
Status ReadMemory(uint8_t index, uint32_t address, uint32_t length, uint8_t* bytes);
Status WriteMemory(uint8_t index, uint32_t address, uint32_t length, const uint8_t* bytes);

// state: 0 good, 1 camera silent for less than its heartbeat time-out, 2 link lost.
// missed: heartbeats in a row without an answer.
Status GetLinkState(uint8_t index, uint8_t* state, uint8_t* missed);

Status SetEventHandler(uint8_t index, EventHandler handler, void* context);
Status OpenEventChannel(uint8_t index);
Status CloseEventChannel(uint8_t index);

// Runs the camera's long command `code` with `argument`, waiting up to timeoutMs while the camera
// reports progress; `result` receives the camera's result word (self test, code 4: 1 = passed).
Status LongCommand(uint8_t index, uint16_t* result, uint32_t argument, uint32_t timeoutMs, uint32_t code);

// Gives the camera with `mac` a temporary address (host order, first octet high).
Status ForceIp(uint32_t address, uint32_t mask, uint32_t gateway, const uint8_t* mac);

// hostAddress: network order (0: the host address of the connection); port 0: any.
Status OpenStreamChannel(uint8_t index, uint32_t hostAddress, uint16_t port, uint32_t reserved);
Status CloseStreamChannel(uint8_t index);
Status StartAcquisition(uint8_t index, uint32_t reserved);
Status StopAcquisition(uint8_t index);
Status SetFrameBufferSize(uint8_t index, uint64_t bytes, uint32_t packetPayload);
// The library-owned buffer that holds the last frame WaitForFrame delivered.
Status GetFrameBuffer(uint8_t index, uint32_t reserved, void** buffer);
// Waits (settings offset 20) for the next frame: 0, Timeout, FrameIncomplete or FrameDamaged
// (the frame is delivered in both faulty cases, with its record).
Status WaitForFrame(uint8_t index, FrameRecord* record);
// The stream channel's frame and packet counts since it was opened (StreamReceiver.h).
Status GetStreamStatistics(uint8_t index, StreamStatistics* statistics);

}  // namespace Kovon::Pelion
