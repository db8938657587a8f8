#pragma once
// The host side of one GVCP control conversation: request ids, time-outs, retries and
// PENDING_ACK, over a socket bound to the host interface. Register and memory helpers split
// large transfers into packets the wire can carry. All calls are serialised by one lock.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "gige/pelion/GvcpCodec.h"
#include "gige/pelion/Status.h"
#include "gige/pelion/UdpSocket.h"

namespace Kovon::Pelion {

class GvcpClient {
public:
    using Clock = std::chrono::steady_clock;

    bool Open(uint32_t hostIp, uint32_t cameraIp);
    void Close();
    uint32_t CameraIp() const { return cameraIp_; }
    uint32_t HostIp() const { return hostIp_; }

    // Time to wait for one answer, and how many more times a command is sent when none comes.
    void SetTimeouts(uint32_t timeoutMs, uint8_t retries);
    void GetTimeouts(uint32_t& timeoutMs, uint8_t& retries) const;

    Status ReadRegisters(uint32_t address, size_t count, uint32_t* values);
    Status WriteRegisters(uint32_t address, size_t count, const uint32_t* values);
    Status ReadRegister(uint32_t address, uint32_t& value) { return ReadRegisters(address, 1, &value); }
    Status WriteRegister(uint32_t address, uint32_t value) { return WriteRegisters(address, 1, &value); }
    Status ReadMemory(uint32_t address, size_t length, uint8_t* out);
    Status WriteMemory(uint32_t address, size_t length, const uint8_t* data);
    // One register write that may take up to `limitMs` in all, announced by PENDING_ACKs.
    Status WriteRegisterLong(uint32_t address, uint32_t value, uint32_t limitMs);

    // When the camera last answered anything.
    Clock::time_point LastAnswer() const { return Clock::time_point(Clock::duration(lastAnswer_.load())); }

private:
    // Sends `cmd` (request id patched in) and waits for the acknowledgement `answer`. `rx` receives
    // the answer and must outlive the use of `ack`.
    Status Exchange(uint8_t* cmd, size_t size, uint16_t answer, uint8_t* rx, size_t rxSize, Gvcp::AckPacket& ack,
                    uint32_t limitMs = 0);
    Status ReadMemoryChunk(uint32_t address, uint16_t count, uint8_t* out);
    Status WriteMemoryChunk(uint32_t address, size_t count, const uint8_t* data);

    mutable std::mutex mutex_;  // one command in flight at a time
    UdpSocket socket_;
    uint32_t hostIp_ = 0;
    uint32_t cameraIp_ = 0;
    uint16_t reqId_ = 0;
    std::atomic<uint32_t> timeoutMs_{200};
    std::atomic<uint8_t> retries_{3};
    std::atomic<Clock::rep> lastAnswer_{0};
};

}  // namespace Kovon::Pelion
