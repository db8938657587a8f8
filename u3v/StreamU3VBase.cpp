#include "u3v/StreamU3VBase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "u3v/DeviceU3VBase.h"
#include "u3v/U3vStatus.h"
#include "u3v/tessa/Tessa.h"

namespace Kovon {

using Lumora::GC_ERR_ACCESS_DENIED;
using Lumora::GC_ERR_ERROR;
using Lumora::GC_ERR_INVALID_PARAMETER;
namespace T = Kovon::Tessa;

namespace {

constexpr uint32_t kLibraryFrameWaitMs = 1000;
constexpr uint32_t kTransferGranule = 1024;
// Pause after a failed receive that returned at once, so that a broken link does not spin.
constexpr uint32_t kFailurePauseMs = 10;

uint32_t LittleEndian32(const unsigned char* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

uint64_t LittleEndian64(const unsigned char* b) {
    return uint64_t(LittleEndian32(b)) | uint64_t(LittleEndian32(b + 4)) << 32;
}

// Reads a 64-bit camera register; 0 when it cannot be read.
uint64_t Read64(void* control, uint64_t address) {
    unsigned char bytes[8] = {};
    return T::U3V_ReadMem(control, address, sizeof bytes, bytes) == 0 ? LittleEndian64(bytes) : 0;
}

// The payload size that the camera's stream interface announces (the bootstrap register map
// points to the stream registers); 0 when it cannot be read.
uint64_t StreamInterfacePayload(void* control) {
    constexpr uint64_t kSbrmPointer = 0x1D8, kSirmPointer = 0x20, kRequiredPayload = 0x08;
    const uint64_t sbrm = Read64(control, kSbrmPointer);
    const uint64_t sirm = sbrm != 0 ? Read64(control, sbrm + kSirmPointer) : 0;
    return sirm != 0 ? Read64(control, sirm + kRequiredPayload) : 0;
}

// Library results after which no frame will come until the stream is started again.
bool EndsAcquisition(uint16_t result) {
    return result == T::Result::kAcquisitionEnded || result == T::Result::kDeviceLost ||
           result == T::Result::kInvalidHandle || result == T::Result::kNotStarted;
}

// The library's own results (0xC0xx) other than the incomplete-frame report carry no frame and no
// block id; camera statuses (from a frame's trailer) do.
bool CarriesBlockId(uint16_t result) {
    return (result & 0xFF00) != 0xC000 || result == T::Result::kIncompleteFrame;
}

}  // namespace

// ---- frame queue ----------------------------------------------------------------------------

void CStreamU3VBase::FrameQueue::Reset(size_t capacity) {
    slots_.assign(capacity, nullptr);
    head_ = 0;
    count_ = 0;
}

void CStreamU3VBase::FrameQueue::PushBack(FrameRecord* record) {
    if (count_ == slots_.size()) throw std::logic_error("frame queue full");
    slots_[(head_ + count_) % slots_.size()] = record;
    ++count_;
}

void CStreamU3VBase::FrameQueue::PushFront(FrameRecord* record) {
    if (count_ == slots_.size()) throw std::logic_error("frame queue full");
    head_ = (head_ + slots_.size() - 1) % slots_.size();
    slots_[head_] = record;
    ++count_;
}

CStreamU3VBase::FrameRecord* CStreamU3VBase::FrameQueue::PopFront() {
    if (count_ == 0) return nullptr;
    FrameRecord* record = slots_[head_];
    slots_[head_] = nullptr;
    head_ = (head_ + 1) % slots_.size();
    --count_;
    return record;
}

// ---- lifetime -------------------------------------------------------------------------------

CStreamU3VBase::CStreamU3VBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               Lumora::INewDevice* device, void* deviceHandle, void* controlHandle)
    : system_(system),
      interface_(parentInterface),
      device_(device),
      deviceHandle_(deviceHandle),
      controlHandle_(controlHandle) {}

CStreamU3VBase::~CStreamU3VBase() {
    if (started_ || thread_) Freeze(ACQ_STOP_FLAGS_DEFAULT);
    if (streamOpen_) {
        streamOpen_ = false;
        if (T::U3V_CloseStream(streamHandle_) == 0) streamHandle_ = nullptr;
    }
    FreePool();
    if (device_ != nullptr) device_->ReleaseChild(static_cast<Lumora::IStream*>(this));
}

bool CStreamU3VBase::OpenStream() {
    if (device_ == nullptr || streamOpen_) return false;
    char field[CDeviceU3VBase::kIdentityFieldSize] = {};
    Lumora::u64 size = sizeof field;
    if (device_->GetParam(CDeviceU3VBase::kIdentityFieldId, field, size) != 0) return false;
    field[sizeof field - 1] = '\0';
    identityText_ = field;

    void* handle = nullptr;
    if (T::U3V_OpenStream(deviceHandle_, controlHandle_, &handle, libraryTimeout_.load()) != 0) return false;
    streamHandle_ = handle;
    // From here on a failure closes the library stream again, or the camera's stream channel
    // would stay taken until the device is closed.
    auto fail = [this] {
        if (T::U3V_CloseStream(streamHandle_) == 0) streamHandle_ = nullptr;
        return false;
    };
    unsigned char payload[4] = {};
    size = sizeof payload;
    if (device_->GetParam(CDeviceU3VBase::kPayloadSizeRegister, payload, size) != 0) return fail();
    const uint32_t payloadSize = LittleEndian32(payload);
    if (payloadSize == 0) return fail();  // nothing to size the frame buffers by
    payloadSize_.store(payloadSize);
    const uint32_t count = std::max<uint32_t>(1, CDeviceU3VBase::kBufferBudget / payloadSize);
    if (T::U3V_SetBufferCount(streamHandle_, count) != 0) return fail();
    bufferCount_.store(count);
    streamOpen_ = true;
    return true;
}

bool CStreamU3VBase::CloseStream() {
    if (!streamOpen_) return true;
    streamOpen_ = false;
    if (streamHandle_ == nullptr) return true;
    if (T::U3V_CloseStream(streamHandle_) != 0) return false;
    streamHandle_ = nullptr;
    return true;
}

unsigned CStreamU3VBase::Release() {
    delete this;
    return 0;
}

unsigned CStreamU3VBase::Share() {
    return static_cast<unsigned>(GC_ERR_ERROR);
}

// ---- acquisition ----------------------------------------------------------------------------

int CStreamU3VBase::Acquire(ACQ_START_FLAGS flags, Lumora::u64 count) {
    return GuardedCall([&]() -> int {
        std::lock_guard<std::recursive_mutex> guard(acquireLock_);
        if (thread_) return GC_ERR_ERROR;
        if (flags != 0) return GC_ERR_INVALID_PARAMETER;
        if (!streamOpen_ || device_ == nullptr) return GC_ERR_ERROR;

        unsigned char maxTransferBytes[4] = {};
        uint16_t r = T::U3V_ReadMem(controlHandle_, kMaxTransferSizeRegister, sizeof maxTransferBytes,
                                    maxTransferBytes);
        if (r != 0) return ReturnU3VError(r);
        const uint32_t maxTransfer = LittleEndian32(maxTransferBytes);

        // The device also sets this stream's buffer count from the payload size.
        unsigned char payloadBytes[4] = {};
        Lumora::u64 size = sizeof payloadBytes;
        const int status = device_->GetParam(CDeviceU3VBase::kPayloadSizeRegister, payloadBytes, size);
        if (status != 0) return status;
        const uint32_t payload = LittleEndian32(payloadBytes);
        if (payload == 0) return GC_ERR_INVALID_PARAMETER;
        payloadSize_.store(payload);
        // The library fills each buffer up to the stream interface's payload size: a camera that
        // announces more there than in its payload register would overrun the buffers.
        if (StreamInterfacePayload(controlHandle_) > payload) return GC_ERR_ERROR;

        // A payload smaller than one granule is sent in one transfer of its own size.
        uint32_t transfer = maxTransfer <= payload ? maxTransfer : payload - payload % kTransferGranule;
        if (transfer == 0) transfer = payload;
        if ((r = T::U3V_SetTransferSize(streamHandle_, transfer)) != 0) return ReturnU3VError(r);

        uint32_t buffers = 0;
        if ((r = T::U3V_GetBufferCount(streamHandle_, &buffers)) != 0) return ReturnU3VError(r);
        if (buffers == 0) return GC_ERR_ERROR;
        bufferCount_.store(buffers);

        {
            std::unique_lock<std::mutex> lock(handoffLock_);
            FreePoolLocked(lock);
            pool_.reserve(buffers);
            for (uint32_t i = 0; i < buffers; ++i) {
                auto record = std::make_unique<FrameRecord>();
                record->size = payload;
                record->buffer.reset(new uint8_t[payload]);
                record->index = static_cast<uint16_t>(i);
                pool_.push_back(std::move(record));
            }
            freeQueue_.Reset(buffers);
            filledQueue_.Reset(buffers);
            for (auto& record : pool_) freeQueue_.PushBack(record.get());
        }

        const uint32_t frames = count >= kEndless ? kEndless : static_cast<uint32_t>(count);
        framesRemaining_.store(frames);
        if ((r = T::U3V_AcquisitionStart(streamHandle_, frames)) != 0) return ReturnU3VError(r);

        started_ = true;
        lostFrames_.store(0);
        failedFrameCount_.store(0);
        incompleteTotal_.store(0);
        lastBlockId_ = 0;
        expectedBlockId_ = 0;
        haveBlockId_ = false;
        frameCount_.store(0);
        noBufferCount_.store(0);
        {
            // The first request is the acquisition's own: the worker receives the first frame
            // before the host asks for it.
            std::lock_guard<std::mutex> lock(handoffLock_);
            hostReady_ = true;
            newImage_ = false;
            receiveEnded_ = false;
            acquiring_.store(true);
        }
        try {
            // The worker's scratch buffer is allocated here, before the first frame: a host that
            // collects that frame itself may run before the worker does.
            std::unique_ptr<uint8_t[]> scratch(new uint8_t[payload]);
            thread_ = std::make_unique<std::thread>(
                [this, buffer = std::move(scratch)]() mutable { AcqThreadProc(std::move(buffer)); });
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(handoffLock_);
                acquiring_.store(false);
            }
            uint64_t delivered = 0, failed = 0;
            T::U3V_AcquisitionStop(streamHandle_, &delivered, &failed);
            started_ = false;
            return GC_ERR_ERROR;
        }
        return 0;
    });
}

void CStreamU3VBase::StopWorker() {
    {
        std::lock_guard<std::mutex> lock(handoffLock_);
        acquiring_.store(false);
    }
    workerWake_.notify_all();
    hostWake_.notify_all();
    // Stopping the library's acquisition ends a receive in progress, the worker's or a host's;
    // then the worker is joined and a host's receive awaited, so that nothing they use is freed
    // or restarted under them.
    uint64_t delivered = 0, failed = 0;
    if (streamHandle_ != nullptr) T::U3V_AcquisitionStop(streamHandle_, &delivered, &failed);
    if (thread_) {
        if (thread_->joinable()) thread_->join();
        thread_.reset();
    }
    std::unique_lock<std::mutex> lock(handoffLock_);
    hostWake_.wait(lock, [this] { return receiver_ == Receiver::kNone; });
}

void CStreamU3VBase::FreePoolLocked(std::unique_lock<std::mutex>& lock) {
    hostWake_.wait(lock, [this] { return copiesInProgress_ == 0 && receiver_ != Receiver::kWorker; });
    freeQueue_.Reset(0);
    filledQueue_.Reset(0);
    pool_.clear();
}

void CStreamU3VBase::FreePool() {
    std::unique_lock<std::mutex> lock(handoffLock_);
    FreePoolLocked(lock);
}

int CStreamU3VBase::Freeze(ACQ_STOP_FLAGS) {
    return GuardedCall([&]() -> int {
        std::lock_guard<std::recursive_mutex> guard(acquireLock_);
        StopWorker();
        FreePool();
        uint64_t delivered = 0, failed = 0;
        if (streamHandle_ != nullptr) T::U3V_AcquisitionStop(streamHandle_, &delivered, &failed);
        started_ = false;
        return 0;
    });
}

void CStreamU3VBase::AcqThreadProc(std::unique_ptr<uint8_t[]> scratch) {
    try {
        while (FetchOneFrame(scratch.get())) {
        }
    } catch (...) {
        // The worker ends quietly; the host sees no more frames.
    }
}

bool CStreamU3VBase::CanReceive() const {
    return acquiring_.load() && !receiveEnded_ && framesRemaining_.load() != 0;
}

bool CStreamU3VBase::FetchOneFrame(uint8_t* scratch) {
    FrameRecord* record = nullptr;
    {
        std::unique_lock<std::mutex> lock(handoffLock_);
        if (!CanReceive()) return false;
        // Waits for a request that nobody serves yet; after imageTimeout the loop looks again.
        const bool asked = workerWake_.wait_for(
            lock, std::chrono::milliseconds(std::max<uint32_t>(1, imageTimeout_.load())),
            [this] { return !CanReceive() || (hostReady_ && receiver_ == Receiver::kNone); });
        if (!CanReceive()) return false;
        if (!asked) return true;
        hostReady_ = false;
        receiver_ = Receiver::kWorker;
        record = freeQueue_.PopFront();
    }
    uint8_t* target = scratch;
    if (record == nullptr) {
        noBufferCount_.fetch_add(1);
    } else {
        record->mark = 0;
        target = record->buffer.get();
    }

    const Outcome outcome = Receive(target, kLibraryFrameWaitMs, record != nullptr);

    std::unique_lock<std::mutex> lock(handoffLock_);
    if (outcome == Outcome::kFrame) {
        filledQueue_.PushBack(record);
        newImage_ = true;
    } else if (record != nullptr) {
        freeQueue_.PushFront(record);
    }
    if (outcome != Outcome::kFrame) hostReady_ = true;  // no frame: the request stands
    EndReceive(lock, outcome);
    if (outcome == Outcome::kEnded) return false;
    if (outcome == Outcome::kPause) {
        // A broken link that fails at once must not make the worker spin.
        lock.lock();
        workerWake_.wait_for(lock, std::chrono::milliseconds(kFailurePauseMs),
                             [this] { return !CanReceive(); });
    }
    return true;
}

void CStreamU3VBase::EndReceive(std::unique_lock<std::mutex>& lock, Outcome outcome) {
    if (outcome == Outcome::kEnded) receiveEnded_ = true;
    receiver_ = Receiver::kNone;
    const bool workerAsked = hostReady_ || outcome == Outcome::kEnded;
    lock.unlock();
    // Without waiters these cost no system call.
    hostWake_.notify_all();
    if (workerAsked) workerWake_.notify_one();
}

CStreamU3VBase::Outcome CStreamU3VBase::Receive(void* target, uint32_t timeoutMs, bool kept) {
    try {
        T::U3V_FRAME_INFO info;
        std::memset(&info, 0, sizeof info);
        const uint16_t r = T::U3V_GetImage(streamHandle_, target, timeoutMs, &info);
        return Account(r, &info, kept);
    } catch (...) {
        // The receiver role must be given back whatever happens; no frame comes any more.
        return Outcome::kEnded;
    }
}

CStreamU3VBase::Outcome CStreamU3VBase::Account(uint16_t r, const void* frameInfo, bool kept) {
    const auto& info = *static_cast<const T::U3V_FRAME_INFO*>(frameInfo);
    const uint64_t blockId = info.blockId;
    switch (r) {
        case T::Result::kOk:
            if (!kept) return Outcome::kNoFrame;  // received into the scratch buffer: dropped
            frameCount_.fetch_add(1);
            nextBlockId_.store(blockId + 1);
            BlockBookkeeping(blockId);
            return Outcome::kFrame;
        case T::Result::kTimeout:
            return Outcome::kNoFrame;
        case T::Result::kIncompleteFrame:
            // The count says how many frames this one incident lost.
            incompleteTotal_.fetch_add(info.count);
            lostFrames_.fetch_add(info.count);
            BlockBookkeeping(blockId);
            return Outcome::kNoFrame;
        case Tessa::Wire::Status::kDataOverrun:
            failedFrameCount_.fetch_add(1);
            BlockBookkeeping(blockId);
            return Outcome::kNoFrame;
        default:
            if (EndsAcquisition(r)) return Outcome::kEnded;
            if (!CarriesBlockId(r)) return Outcome::kPause;
            // A frame whose trailer carries another failure status: it came, but faulty.
            failedFrameCount_.fetch_add(1);
            BlockBookkeeping(blockId);
            return Outcome::kNoFrame;
    }
}

void CStreamU3VBase::BlockBookkeeping(uint64_t blockId) {
    lastBlockId_ = blockId;
    uint32_t gap = 0;
    // The first frame of an acquisition sets where the block ids stand. Only a step forward
    // counts as lost frames; a step back (the camera restarted its count) just resynchronises.
    if (haveBlockId_ && blockId > expectedBlockId_) {
        gap = static_cast<uint32_t>(std::min<uint64_t>(blockId - expectedBlockId_, 0xFFFFFFFEu));
        lostFrames_.fetch_add(gap);
    }
    haveBlockId_ = true;
    expectedBlockId_ = blockId + 1;
    const uint32_t remaining = framesRemaining_.load();
    if (remaining != kEndless) {
        const uint64_t used = uint64_t(gap) + 1;
        framesRemaining_.store(used >= remaining ? 0 : static_cast<uint32_t>(remaining - used));
    }
}

bool CStreamU3VBase::IsGetNewImage() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(imageTimeout_.load());
    std::unique_lock<std::mutex> lock(handoffLock_);
    // An announcement whose frame was already collected says nothing.
    if (filledQueue_.Empty()) newImage_ = false;
    while (!newImage_ && filledQueue_.Empty()) {
        // Unless a frame is on its way to the queue, ask the worker for one, or the wait could
        // only end by time-out (a host that receives a frame itself takes the request along).
        if (!hostReady_ && receiver_ != Receiver::kWorker && CanReceive()) {
            hostReady_ = true;
            workerWake_.notify_one();
        }
        if (hostWake_.wait_until(lock, deadline) == std::cv_status::timeout) return true;
    }
    return !filledQueue_.Empty();  // announced, but another thread may have collected it
}

int CStreamU3VBase::GetImage(void* buffer, int32_t timeoutMs) {
    return GuardedCall([&]() -> int {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
        std::unique_lock<std::mutex> lock(handoffLock_);
        newImage_ = false;
        // A frame that was already waiting leaves this call's request to the worker, which
        // receives the next frame while this one is copied. A call that has to wait is served by
        // the frame it waits for.
        const bool readAhead = !filledQueue_.Empty();
        for (;;) {
            if (FrameRecord* record = filledQueue_.PopFront()) {
                ++copiesInProgress_;
                if (readAhead) hostReady_ = true;
                lock.unlock();
                if (readAhead) workerWake_.notify_one();
                if (buffer != nullptr) std::memcpy(buffer, record->buffer.get(), record->size);
                lock.lock();
                // Back at the front: the worker reuses the buffer that was used last, which is
                // still in the processor's caches, rather than cycling through the whole pool.
                freeQueue_.PushFront(record);
                const bool last = --copiesInProgress_ == 0;
                lock.unlock();
                if (last) hostWake_.notify_all();  // a Freeze may wait for the copies to end
                return 0;
            }
            // Stopped, not started, or ended by its count or by the library: nothing can come
            // until the next Acquire.
            if (receiver_ == Receiver::kNone && !CanReceive()) return -1;
            auto now = std::chrono::steady_clock::now();
            if (timeoutMs <= 0 || now >= deadline) {
                // The request stands: the worker receives the next frame for a later call.
                if (!hostReady_) {
                    hostReady_ = true;
                    workerWake_.notify_one();
                }
                return -1;
            }
            if (buffer != nullptr && receiver_ == Receiver::kNone && CanReceive()) {
                // Nothing queued and nothing on its way: receive straight into the host's buffer.
                hostReady_ = false;
                receiver_ = Receiver::kHost;
                lock.unlock();
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
                const Outcome outcome = Receive(buffer, uint32_t(std::max<int64_t>(1, left)), true);
                lock.lock();
                EndReceive(lock, outcome);
                if (outcome == Outcome::kFrame) return 0;
                lock.lock();
                if (outcome == Outcome::kPause)
                    hostWake_.wait_for(lock, std::chrono::milliseconds(kFailurePauseMs),
                                       [this] { return !filledQueue_.Empty(); });
                continue;
            }
            if (buffer == nullptr && !hostReady_ && receiver_ != Receiver::kWorker && CanReceive()) {
                // A frame to drop comes through the pool.
                hostReady_ = true;
                workerWake_.notify_one();
            }
            hostWake_.wait_until(lock, deadline);
        }
    });
}

int CStreamU3VBase::GetConnectionStatus() {
    if (device_ == nullptr) return 1;
    uint32_t connected = 0;
    Lumora::u64 size = sizeof connected;
    if (device_->GetParam(CDeviceU3VBase::kConnectedId, &connected, size) != 0 || connected == 0) return 1;
    return 0;
}

// ---- parameters -----------------------------------------------------------------------------

int CStreamU3VBase::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&]() -> int {
        switch (id) {
            case 0:
                CopyParamString(buffer, &size, name_);
                return 0;
            case 1: {
                const uint64_t value = frameCount_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case 2: {
                const uint32_t value = imageTimeout_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case 3: {
                // Checked before waiting, so that a bad buffer does not cost a wait.
                if (buffer != nullptr && size < 4) throw std::invalid_argument("Invalid Buffer Size");
                const uint32_t value = buffer == nullptr ? 0 : (IsGetNewImage() ? 1 : 0);
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case 4: {
                const uint64_t value = payloadSize_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case 5: {
                const uint64_t value = nextBlockId_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case 6:
            case 11: {
                const uint64_t value = lostFrames_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case kFailedFramesId: {
                const uint64_t value = failedFrameCount_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case kNoBufferFramesId: {
                const uint64_t value = noBufferCount_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case 4096: {
                const uint32_t value = acceptFaultyFrames_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return 0;
            }
            case 4100: {
                uint32_t value = 0;
                const uint16_t r = T::U3V_GetStreamTimeout(streamHandle_, &value);
                if (r == 0) libraryTimeout_.store(value);
                value = libraryTimeout_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return ReturnU3VError(r);
            }
            case 4104: {
                uint32_t value = 0;
                const uint16_t r = T::U3V_GetBufferCount(streamHandle_, &value);
                if (r == 0) bufferCount_.store(value);
                value = bufferCount_.load();
                CopyParamBytes(buffer, &size, &value, sizeof value);
                return ReturnU3VError(r);
            }
            default:
                return GC_ERR_INVALID_PARAMETER;
        }
    });
}

int CStreamU3VBase::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&]() -> int {
        switch (id) {
            case 0:
            case 1:
            case 3:
                return GC_ERR_ACCESS_DENIED;
            case 2:
            case 4096:
            case 4100:
            case 4104: {
                std::atomic<uint32_t>& field = id == 2      ? imageTimeout_
                                               : id == 4096 ? acceptFaultyFrames_
                                               : id == 4100 ? libraryTimeout_
                                                            : bufferCount_;
                uint32_t value = field.load();
                CopyParamIn(&value, sizeof value, buffer, &size);
                field.store(value);
                if (id == 4100) return ReturnU3VError(T::U3V_SetStreamTimeout(streamHandle_, value));
                if (id == 4104) return ReturnU3VError(T::U3V_SetBufferCount(streamHandle_, value));
                return 0;
            }
            default:
                return GC_ERR_INVALID_PARAMETER;
        }
    });
}

}  // namespace Kovon
