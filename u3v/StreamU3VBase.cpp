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
            std::lock_guard<std::mutex> pool(poolLock_);
            FreePoolLocked();
            pool_.reserve(buffers);
            for (uint32_t i = 0; i < buffers; ++i) {
                auto record = std::make_unique<FrameRecord>();
                record->size = payload;
                record->buffer.reset(new uint8_t[payload]);
                record->index = static_cast<uint16_t>(i);
                pool_.push_back(std::move(record));
            }
            std::lock_guard<std::mutex> freeGuard(freeLock_);
            std::lock_guard<std::mutex> filledGuard(filledLock_);
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
        acquiring_.store(true);
        // The handshake is ready before the worker first looks at it.
        newImageEvent_.Reset();
        stopEvent_.Reset();
        readyEvent_.Set();
        try {
            thread_ = std::make_unique<std::thread>([this] { AcqThreadProc(); });
        } catch (...) {
            acquiring_.store(false);
            uint64_t delivered = 0, failed = 0;
            T::U3V_AcquisitionStop(streamHandle_, &delivered, &failed);
            started_ = false;
            return GC_ERR_ERROR;
        }
        return 0;
    });
}

void CStreamU3VBase::StopWorker() {
    acquiring_.store(false);
    stopEvent_.Set();
    newImageEvent_.Set();
    readyEvent_.Set();
    if (!thread_) return;
    // Stopping the library's acquisition wakes a worker waiting inside its receive; then the
    // worker is joined, so that nothing it uses is freed while it runs.
    uint64_t delivered = 0, failed = 0;
    if (streamHandle_ != nullptr) T::U3V_AcquisitionStop(streamHandle_, &delivered, &failed);
    if (thread_->joinable()) thread_->join();
    thread_.reset();
}

void CStreamU3VBase::FreePoolLocked() {
    {
        std::lock_guard<std::mutex> freeGuard(freeLock_);
        freeQueue_.Reset(0);
    }
    {
        std::lock_guard<std::mutex> filledGuard(filledLock_);
        filledQueue_.Reset(0);
    }
    pool_.clear();
}

void CStreamU3VBase::FreePool() {
    std::lock_guard<std::mutex> pool(poolLock_);
    FreePoolLocked();
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

void CStreamU3VBase::AcqThreadProc() {
    try {
        std::unique_ptr<uint8_t[]> scratch(new uint8_t[payloadSize_.load()]);
        while (FetchOneFrame(scratch.get())) {
        }
    } catch (...) {
        // The worker ends quietly; the host sees no more frames.
    }
}

void CStreamU3VBase::GiveBack(FrameRecord* record) {
    if (record == nullptr) return;
    std::lock_guard<std::mutex> guard(freeLock_);
    freeQueue_.PushFront(record);
}

bool CStreamU3VBase::FetchOneFrame(uint8_t* scratch) {
    if (!acquiring_.load() || framesRemaining_.load() == 0) return false;
    if (readyEvent_.Wait(std::max<uint32_t>(1, imageTimeout_.load())) !=
        Platform::Event::WaitResult::Signalled)
        return true;
    if (!acquiring_.load()) return false;
    // The host's request is taken now, before receiving: a request that the host makes while
    // this frame is on its way stays set, and the next frame is received while the host copies
    // this one. Whenever no frame results, the request is put back.
    readyEvent_.Reset();

    FrameRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> guard(freeLock_);
        record = freeQueue_.PopFront();
    }
    uint8_t* target = scratch;
    if (record == nullptr) {
        noBufferCount_.fetch_add(1);
    } else {
        record->mark = 0;
        target = record->buffer.get();
    }

    T::U3V_FRAME_INFO info;
    std::memset(&info, 0, sizeof info);
    const uint16_t r = T::U3V_GetImage(streamHandle_, target, kLibraryFrameWaitMs, &info);
    const uint64_t blockId = info.blockId;
    const uint32_t incidentCount = info.count;

    if (r == 0) {
        if (record == nullptr) {  // received into the scratch buffer: dropped
            readyEvent_.Set();
            return true;
        }
        frameCount_.fetch_add(1);
        nextBlockId_.store(blockId + 1);
        {
            std::lock_guard<std::mutex> guard(filledLock_);
            filledQueue_.PushBack(record);
        }
        frameReady_.notify_all();
        newImageEvent_.Set();
        BlockBookkeeping(blockId);
        return true;
    }
    GiveBack(record);
    readyEvent_.Set();
    switch (r) {
        case T::Result::kTimeout:
            return true;
        case T::Result::kIncompleteFrame:
            // The count says how many frames this one incident lost.
            incompleteTotal_.fetch_add(incidentCount);
            lostFrames_.fetch_add(incidentCount);
            BlockBookkeeping(blockId);
            return true;
        case Tessa::Wire::Status::kDataOverrun:
            failedFrameCount_.fetch_add(1);
            BlockBookkeeping(blockId);
            return true;
        default:
            if (EndsAcquisition(r)) return false;
            if (CarriesBlockId(r)) {
                // A frame whose trailer carries another failure status: it came, but faulty.
                failedFrameCount_.fetch_add(1);
                BlockBookkeeping(blockId);
            } else {
                stopEvent_.Wait(kFailurePauseMs);
            }
            return true;
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
    if (newImageEvent_.Wait(imageTimeout_.load()) == Platform::Event::WaitResult::Signalled) {
        std::lock_guard<std::mutex> guard(filledLock_);
        if (filledQueue_.Empty()) return false;
    }
    return true;
}

int CStreamU3VBase::GetImage(void* buffer, int32_t timeoutMs) {
    return GuardedCall([&]() -> int {
        newImageEvent_.Reset();
        readyEvent_.Set();  // the worker may receive the next frame
        {
            std::unique_lock<std::mutex> filled(filledLock_);
            if (filledQueue_.Empty() && timeoutMs > 0)
                frameReady_.wait_for(filled, std::chrono::milliseconds(timeoutMs),
                                     [this] { return !filledQueue_.Empty(); });
            if (filledQueue_.Empty()) return -1;
        }
        std::lock_guard<std::mutex> pool(poolLock_);
        FrameRecord* record = nullptr;
        {
            std::lock_guard<std::mutex> filled(filledLock_);
            record = filledQueue_.PopFront();
        }
        if (record == nullptr) return -1;  // the pool was freed meanwhile
        if (buffer != nullptr) std::memcpy(buffer, record->buffer.get(), record->size);
        // Back at the front: the worker reuses the buffer that was used last, which is still in
        // the processor's caches, rather than cycling through the whole pool.
        std::lock_guard<std::mutex> guard(freeLock_);
        freeQueue_.PushFront(record);
        return 0;
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
