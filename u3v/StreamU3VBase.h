#pragma once
// CStreamU3VBase: the one data stream "DS0" of a USB3 Vision camera. It opens the camera's stream
// channel in the library, keeps a pool of frame buffers, and runs one worker thread that receives
// frames from the library into buffers taken from the free queue and appends them to the filled
// queue; GetImage hands the oldest filled frame to the host by copy and gives its buffer back.
//
// The worker and the host meet through two manual-reset events: GetImage resets "new image" and
// sets "host ready"; the worker waits for "host ready", takes the request (resets it), receives
// a frame and sets "new image" (a receive that yields no frame puts the request back). So the
// worker stays at most one frame ahead of the host, receiving the next frame while the host
// copies the last, and no request of the host is ever lost. Lost frames are counted from gaps in the block
// ids and from the library's incomplete-frame reports.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lumora/Lumora.h"
#include "platform/Event.h"

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
    // 0, or -1 when no frame came.
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

    void AcqThreadProc();
    bool IsGetNewImage();
    int GetConnectionStatus();
    // Receives one frame; false when the loop should end.
    bool FetchOneFrame(uint8_t* scratch);
    void GiveBack(FrameRecord* record);
    void BlockBookkeeping(uint64_t blockId);
    // Ends the worker and waits until it has left its loop.
    void StopWorker();
    void FreePool();
    void FreePoolLocked();  // with poolLock_ held
    uint32_t CurrentImageTimeout() const { return imageTimeout_.load(); }

    Lumora::INewSystem* system_ = nullptr;
    Lumora::INewInterface* interface_ = nullptr;
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
    std::mutex freeLock_;               // guards freeQueue_
    std::mutex filledLock_;             // guards filledQueue_; frameReady_ waits with it
    std::condition_variable frameReady_;
    // Held by GetImage while it owns a record and by whoever frees the pool, so that the pool is
    // never freed under a copy in progress.
    std::mutex poolLock_;
    bool started_ = false;
    Platform::Event newImageEvent_;
    Platform::Event readyEvent_;
    Platform::Event stopEvent_;  // set when the worker must end; cuts its pauses short
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
    // Worker-only block id bookkeeping.
    uint64_t lastBlockId_ = 0;
    uint64_t expectedBlockId_ = 0;
    bool haveBlockId_ = false;
    std::atomic<uint64_t> frameCount_{0};
    std::atomic<uint32_t> bufferCount_{0};
    std::string identityText_;
};

}  // namespace Kovon
