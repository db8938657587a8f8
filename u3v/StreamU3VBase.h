#pragma once
// CStreamU3VBase: the one data stream "DS0" of a USB3 Vision camera. It opens the camera's stream
// channel in the library, keeps a pool of frame buffers, and runs one worker thread that receives
// frames from the library into buffers taken from the free queue and appends them to the filled
// queue; GetImage hands the oldest filled frame to the host by copy and gives its buffer back.
//
// The host asks for frames one at a time ("host ready"); the worker receives one frame per
// request and announces it ("new image"). A GetImage that finds a frame waiting leaves a request
// behind, so that the worker receives the next frame while the host copies this one. A GetImage
// that finds nothing queued and nothing being received receives the frame itself, straight into
// the host's buffer: a host that keeps up with the camera pays one copy per frame and no thread
// hand-over, as if it called the library itself. Only one receive runs at a time (the receiver
// role), so frames reach the host in the order they arrived and the block-id bookkeeping has one
// writer at a time. A request is never lost: a receive that yields no frame puts it back, and a
// GetImage that times out leaves its request for the worker. Lost frames are counted from gaps in
// the block ids and from the library's incomplete-frame reports.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lumora/Lumora.h"

namespace Kovon {

class KOVON_API CStreamU3VBase : public Lumora::INewStream {
public:
    static constexpr const char* kName = "DS0";
    static constexpr uint32_t kEndless = 0xFFFFFFFF;
    static constexpr uint64_t kMaxTransferSizeRegister = 0x80010;
    // Read-only counters of the last acquisition, 8 bytes each: frames that arrived with a failure
    // status in their trailer, and frames received while every pool buffer waited for the host
    // (dropped). With the delivered (id 1) and lost (id 6) frames they account for every block.
    static constexpr uint64_t kFailedFramesId = 12;
    static constexpr uint64_t kNoBufferFramesId = 13;

    CStreamU3VBase() = default;
    // An opened stream borrows the device's two library handles; an info copy has null parents.
    CStreamU3VBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   Lumora::INewDevice* device, void* deviceHandle, void* controlHandle);
    CStreamU3VBase(const CStreamU3VBase&) = delete;
    CStreamU3VBase& operator=(const CStreamU3VBase&) = delete;
    ~CStreamU3VBase() override;

    // IStream.
    int Acquire(ACQ_START_FLAGS flags, Lumora::u64 count) override;
    int Freeze(ACQ_STOP_FLAGS flags) override;
    // Copies the oldest received frame (payload size bytes) into 'buffer', or drops it when
    // 'buffer' is null; waits up to 'timeoutMs' for one (a negative time-out does not wait).
    // 0, or -1 when no frame came; after -1 the buffer may hold part of a frame that failed.
    int GetImage(void* buffer, int32_t timeoutMs) override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    unsigned Release() override;
    unsigned Share() override;
    void ReleaseChild(void*) override {}

    // Slots after the host interface, in this order.
    virtual bool OpenStream();
    virtual bool CloseStream();

    void* DeviceHandle() const { return deviceHandle_; }
    void* ControlHandle() const { return controlHandle_; }

private:
    struct FrameRecord {
        uint32_t size = 0;
        std::unique_ptr<uint8_t[]> buffer;
        uint16_t mark = 0;
        uint16_t index = 0;
    };

    // A queue of frame records in a ring sized once per acquisition, so that moving frames
    // between the queues never allocates.
    class FrameQueue {
    public:
        void Reset(size_t capacity);
        bool Empty() const { return count_ == 0; }
        size_t Size() const { return count_; }
        void PushBack(FrameRecord* record);
        void PushFront(FrameRecord* record);
        FrameRecord* PopFront();

    private:
        std::vector<FrameRecord*> slots_;
        size_t head_ = 0;
        size_t count_ = 0;
    };

    // Who is receiving from the library now.
    enum class Receiver : uint8_t { kNone, kWorker, kHost };
    // What one receive came to.
    enum class Outcome : uint8_t {
        kFrame,    // a frame to deliver
        kNoFrame,  // nothing to deliver; try again
        kPause,    // a failure that returned at once; pause before trying again
        kEnded,    // no frame will come until the acquisition is started again
    };

    // The worker's loop; 'scratch' (payload size bytes) receives frames when no pool buffer is free.
    void AcqThreadProc(std::unique_ptr<uint8_t[]> scratch);
    bool IsGetNewImage();
    int GetConnectionStatus();
    // Receives one frame; false when the loop should end.
    bool FetchOneFrame(uint8_t* scratch);
    // One library receive into 'target' and its accounting; called by the holder of the receiver
    // role. Never throws.
    Outcome Receive(void* target, uint32_t timeoutMs, bool kept);
    // Counts one receive's result; called by the holder of the receiver role. 'kept' is false for
    // a frame received into the scratch buffer, which is dropped uncounted.
    Outcome Account(uint16_t result, const void* frameInfo, bool kept);
    // Ends a receive: frees the receiver role and wakes whoever waits for it.
    void EndReceive(std::unique_lock<std::mutex>& lock, Outcome outcome);
    bool CanReceive() const;  // with handoffLock_ held
    void BlockBookkeeping(uint64_t blockId);
    // Ends the worker and any receive of a host, and waits until both have left.
    void StopWorker();
    // Frees the pool once no host copies from it.
    void FreePool();
    void FreePoolLocked(std::unique_lock<std::mutex>& lock);

    // The tree's parent links; the stream itself only talks to its device.
    [[maybe_unused]] Lumora::INewSystem* system_ = nullptr;
    [[maybe_unused]] Lumora::INewInterface* interface_ = nullptr;
    Lumora::INewDevice* device_ = nullptr;
    void* deviceHandle_ = nullptr;
    void* controlHandle_ = nullptr;
    void* streamHandle_ = nullptr;
    bool streamOpen_ = false;
    std::string name_ = kName;
    std::atomic<uint32_t> imageTimeout_{1000};
    std::atomic<uint32_t> libraryTimeout_{1000};
    std::atomic<uint32_t> framesRemaining_{kEndless};
    std::atomic<bool> acquiring_{false};
    std::unique_ptr<std::thread> thread_;
    std::recursive_mutex acquireLock_;  // held by Acquire and Freeze
    // Guards the two queues, the pool, the request and announcement flags, the receiver role and
    // the copy count. Never held during a receive or a frame copy.
    std::mutex handoffLock_;
    std::condition_variable workerWake_;  // a request the worker may take, or the end of acquiring
    std::condition_variable hostWake_;    // a frame queued or announced, a receive ended, a copy ended
    bool hostReady_ = false;              // a host asked for a frame that nobody receives yet
    bool newImage_ = false;               // a frame was queued since the host last collected one
    bool receiveEnded_ = false;           // the library ended the acquisition
    Receiver receiver_ = Receiver::kNone;
    uint32_t copiesInProgress_ = 0;  // records a host copies from, outside both queues
    bool started_ = false;
    FrameQueue freeQueue_;
    FrameQueue filledQueue_;
    std::vector<std::unique_ptr<FrameRecord>> pool_;
    std::atomic<uint32_t> payloadSize_{0};
    std::atomic<uint32_t> acceptFaultyFrames_{0};
    std::atomic<uint64_t> nextBlockId_{0};
    std::atomic<uint64_t> noBufferCount_{0};
    std::atomic<uint64_t> lostFrames_{0};
    std::atomic<uint64_t> failedFrameCount_{0};
    std::atomic<uint64_t> incompleteTotal_{0};
    // Block id bookkeeping, kept by whoever holds the receiver role.
    uint64_t lastBlockId_ = 0;
    uint64_t expectedBlockId_ = 0;
    bool haveBlockId_ = false;
    std::atomic<uint64_t> frameCount_{0};
    std::atomic<uint32_t> bufferCount_{0};
    std::string identityText_;
};

}  // namespace Kovon
