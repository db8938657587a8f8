#pragma once
// The stream channel of one camera: a receiver thread takes GVSP packets in bulk, places each
// payload at its offset in one of a few frame slots, asks the camera to resend missing packets and
// queues frames when they are complete or given up. WaitForFrame copies the oldest queued frame
// into the library-owned frame buffer, whose address stays the same for the life of the channel.
// Nothing is allocated per packet or per frame once the buffers are sized.
//
// Packets come from a memory-mapped packet ring where the process may open one (the kernel fills
// it as packets arrive; one wake-up takes a whole block of them; payloads stay in the ring until
// WaitForFrame copies them out, so each byte is copied once), otherwise from the UDP socket in
// batches (recvmmsg) whose payloads the kernel writes straight into the frame slot where the
// packets expected next belong; only packets that arrive out of turn are moved. The UDP socket
// stays bound in both cases: it holds the port. SetPacketRingAllowed(false) keeps channels opened
// afterwards to the UDP socket (tests and benchmarks measure both paths).
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "gige/pelion/GvspCodec.h"
#include "gige/pelion/PacketRing.h"
#include "gige/pelion/Records.h"
#include "gige/pelion/Status.h"
#include "gige/pelion/UdpSocket.h"

namespace Kovon::Pelion {

// Whether stream channels opened from now on may use the packet ring (default: yes, where the
// process may open one). Process-wide; for tests and benchmarks of the socket path.
void SetPacketRingAllowed(bool allowed);

struct StreamStatistics {
    uint64_t framesCompleted = 0;
    uint64_t framesIncomplete = 0;
    uint64_t framesDropped = 0;  // never delivered: lost whole or overrun in the queue
    uint64_t packetsReceived = 0;
    uint64_t packetsRejected = 0;  // malformed, foreign or out of bounds
    uint64_t resendRequests = 0;
    uint64_t packetsResent = 0;
};

class StreamReceiver {
public:
    using Clock = std::chrono::steady_clock;

    StreamReceiver();
    ~StreamReceiver();
    StreamReceiver(const StreamReceiver&) = delete;
    StreamReceiver& operator=(const StreamReceiver&) = delete;

    // Binds hostIp:port (port 0: any), sizes the socket buffer and starts the receiver thread.
    Status Open(uint32_t hostIp, uint16_t port, uint32_t cameraIp);
    void Close();
    bool IsOpen() const { return thread_.joinable(); }
    // True when packets come from the packet ring rather than the UDP socket.
    bool UsesPacketRing() const { return ring_.IsOpen(); }
    uint16_t Port() const { return port_; }

    // Frame slots of at least `bytes` each; payload packets carry `packetPayload` bytes.
    Status SetBufferSize(uint64_t bytes, uint32_t packetPayload);
    uint64_t BufferSize() const { return capacity_; }
    void* FrameBuffer() { return delivered_.empty() ? nullptr : delivered_.data(); }
    void SetSettings(const SettingsRecord& settings);
    // Forgets queued and partial frames (a new acquisition starts) and accepts new blocks again.
    void Reset();
    // After an acquisition stop: frames under way may complete, new blocks are ignored.
    void StopAccepting();

    Status WaitForFrame(FrameRecord& record, uint32_t timeoutMs);
    StreamStatistics Statistics() const;

private:
    static constexpr size_t kSlots = 8;
    static constexpr size_t kBatch = 64;
    static constexpr size_t kPacketBuffer = 9216;  // a jumbo frame

    enum class SlotState { Free, Filling, Ready, Delivering };
    struct Slot {
        SlotState state = SlotState::Free;
        uint64_t blockId = 0;
        std::vector<uint8_t> data;
        std::vector<uint8_t> got;  // one flag per packet id: 0 leader, 1..n payload, n+1 trailer
        // From the packet ring, payloads stay where the kernel put them until the frame is
        // delivered: where they are per packet id, and which ring blocks they keep.
        bool inRing = false;
        std::vector<const uint8_t*> where;
        std::vector<uint16_t> sizes;
        uint64_t ringBlocks = 0;
        bool leader = false, trailer = false, damaged = false;
        Gvsp::Leader leaderInfo;
        uint32_t lastDataId = 0;  // known from the leader's geometry or the trailer's id; 0: unknown
        uint32_t nextExpected = 0;
        uint32_t received = 0, resent = 0, requested = 0;
        uint64_t extent = 0;
        uint8_t rounds = 0;
        // Blocks the camera began after missing packets were last asked for: from the second on,
        // what is still missing was lost again. With the packet ring, only blocks that reached
        // the ring after the request count (requestMark), not a backlog queued before it.
        uint32_t blocksSinceRequest = 0;
        uint64_t requestMark = 0;
        bool tailRequested = false;  // the packets after the last one received have been asked for
        Clock::time_point lastActivity, lastRequest;
        Status result = St::Ok;
        uint64_t sequence = 0;
    };

    void Loop();
    void ReceiveFromRing(Clock::time_point& lastHousekeeping);
    void ReceiveFromSocket(Clock::time_point& lastHousekeeping);
    void EndBatch(Clock::time_point now, bool idle, Clock::time_point& lastHousekeeping,
                  uint64_t finishedBefore);
    // `oversized`: the datagram was cut to fit; `payloadAt`: where its payload already is.
    void Process(std::unique_lock<std::mutex>& lock, const uint8_t* data, size_t size, Clock::time_point now,
                 bool oversized = false, const uint8_t* payloadAt = nullptr);
    void PredictPlaces();
    void Housekeeping(Clock::time_point now);
    Slot* SlotFor(std::unique_lock<std::mutex>& lock, uint64_t blockId, bool extendedId,
                  Clock::time_point now);
    Slot* WaitForFreeSlot(std::unique_lock<std::mutex>& lock);
    Slot* Oldest(SlotState state);
    Slot* FreeSlot();
    void Finish(Slot& slot, Status result);
    void CheckComplete(Slot& slot);
    void RequestResend(Slot& slot, uint32_t first, uint32_t last, bool extendedId);
    void RequestMissing(Slot& slot, Clock::time_point now);
    void ResetSlot(Slot& slot, uint64_t blockId, Clock::time_point now);
    void ReleaseRing(Slot& slot);
    void Evacuate(Slot& slot);
    void EvacuateOldest();

    mutable std::mutex mutex_;  // guards slots, queue, settings and statistics
    std::condition_variable frameReady_;
    std::condition_variable slotFreed_;
    std::array<Slot, kSlots> slots_;
    std::array<size_t, kSlots> queue_{};
    size_t queueHead_ = 0, queueCount_ = 0;
    std::vector<uint8_t> delivered_;
    uint64_t capacity_ = 0;
    uint32_t packetPayload_ = 0;
    uint32_t maxPacketId_ = 0;
    SettingsRecord settings_{};
    StreamStatistics stats_;
    bool haveNewest_ = false;
    uint64_t newestBlock_ = 0;
    bool extendedIds_ = false;
    bool restartPending_ = false;
    bool accepting_ = true;  // after Reset: the camera may count its blocks from 1 again
    bool patient_ = true;    // a full queue makes the receiver wait for the caller (once per backlog)
    uint64_t sequence_ = 0;

    UdpSocket socket_;
    UdpSocket resendSocket_;
    PacketRing ring_;
    size_t ringBlock_ = 0;  // the ring block whose packets are being processed
    uint32_t cameraIp_ = 0;
    uint16_t port_ = 0;
    uint16_t resendReqId_ = 0;
    // Socket batches: each datagram's GVSP header lands in heads_, its payload where the packet
    // expected next would go in the newest frame's slot (predicted_), else in packets_ after room
    // for the header. A datagram that was not the one expected is moved to packets_ afterwards.
    std::vector<uint8_t> packets_;
    std::array<mmsghdr, kBatch> msgs_{};
    std::array<iovec, 2 * kBatch> iov_{};
    std::array<sockaddr_storage, kBatch> sources_{};
    std::array<std::array<uint8_t, Gvsp::kHeaderSize>, kBatch> heads_{};
    std::array<uint8_t*, kBatch> predicted_{};
    bool receiving_ = false;  // the kernel may be writing into a frame slot (predicted_)
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace Kovon::Pelion
