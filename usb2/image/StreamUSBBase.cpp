#include "usb2/image/StreamUSBBase.h"

#include <chrono>
#include <cstring>

#include "system/ParamCall.h"
#include "system/ParamCopy.h"
#include "usb2/image/ColorType.h"
#include "usb2/image/FirmwareText.h"
#include "usb2/image/PixelFormat.h"

namespace Kovon {

using Lumora::GC_ERR_ERROR;
using Lumora::GC_ERR_NOT_AVAILABLE;
using Lumora::GC_ERR_TIMEOUT;
using Platform::Event;
using namespace Usb2Image;
using Signals = CStreamSignals;

namespace {

// Map addresses the stream reads and writes.
constexpr uint64_t kDeviceVersion = 0x004;
constexpr uint64_t kModelName = 0x084;
constexpr uint64_t kWidth = 0x108;
constexpr uint64_t kHeight = 0x10C;
constexpr uint64_t kBinningHorizontal = 0x118;
constexpr uint64_t kPixelFormat = 0x120;
constexpr uint64_t kAcqEnabled = 0x154;
constexpr uint64_t kTriggerMode = 0x204;
constexpr uint64_t kTriggerSource = 0x208;
constexpr uint64_t kInstanceName = 0x520;
constexpr uint64_t kAcquisitionRestart = 0x804;
// GetInfo id of the driver instance name.
constexpr uint64_t kInfoInstanceName = 10;

constexpr size_t kDeviceTextSize = 100;
constexpr size_t kInstanceTextSize = 256;
// How long the stop waits for the worker before it aborts the pipe again: a read that was about
// to start when the first abort went out is caught by the next one.
constexpr uint32_t kAbortRetryMs = 20;
// The worker's pause between two reads of the acquisition state.
constexpr uint32_t kEnablePollMs = 1;

}  // namespace

CStreamUSBBase::CStreamUSBBase() = default;

CStreamUSBBase::CStreamUSBBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               Lumora::INewDevice* device, CEzusb* deviceChannel)
    : system_(system), interface_(parentInterface), device_(device), deviceChannel_(deviceChannel) {
    if (device_ != nullptr) Construct(std::make_unique<CBayerLibrary>());
}

CStreamUSBBase::CStreamUSBBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                               Lumora::INewDevice* device, CEzusb* deviceChannel,
                               const std::vector<std::string>& bayerLibraries)
    : system_(system), interface_(parentInterface), device_(device), deviceChannel_(deviceChannel) {
    if (device_ != nullptr) Construct(std::make_unique<CBayerLibrary>(bayerLibraries));
}

void CStreamUSBBase::Construct(std::unique_ptr<CBayerLibrary> library) {
    SetDeviceParam(kAcquisitionRestart, 0);
    firmwareText_ = DeviceText(kDeviceVersion, false);
    colorType_ = GetColorType(DeviceText(kModelName, false));
    frameMarker_ = FirmwareHasFrameMarker(firmwareText_);
    paramAccess_ = std::make_unique<DeviceParamAccess<Lumora::IDevice>>(*device_);
    bayerLibrary_ = std::move(library);
    processor_ = std::make_unique<CImageProcessor>(*paramAccess_, firmwareText_, colorType_,
                                                   bayerLibrary_->Function());
}

CStreamUSBBase::~CStreamUSBBase() {
    // Also a worker that still waits for the acquisition start must not outlive the stream.
    if (thread_.joinable() || acquisitionEnabled_.load() != 0) Freeze(ACQ_STOP_FLAGS_DEFAULT);
    processor_.reset();
    bayerLibrary_.reset();
    if (device_ != nullptr) device_->ReleaseChild(static_cast<Lumora::IStream*>(this));
}

// ---- device access --------------------------------------------------------------------------

uint32_t CStreamUSBBase::DeviceValue(uint64_t address) {
    uint32_t value = 0;
    Lumora::u64 size = sizeof value;
    if (device_ == nullptr || device_->GetValue(address, &value, size) != 0 || size != sizeof value) return 0;
    return value;
}

int CStreamUSBBase::SetDeviceParam(uint64_t address, uint32_t value) {
    Lumora::u64 size = sizeof value;
    return device_ == nullptr ? static_cast<int>(GC_ERR_ERROR) : device_->SetParam(address, &value, size);
}

std::string CStreamUSBBase::DeviceText(uint64_t address, bool cached) {
    char text[kInstanceTextSize] = {};
    Lumora::u64 size = cached ? kInstanceTextSize : kDeviceTextSize;
    const int status =
        cached ? device_->GetValue(address, text, size) : device_->GetParam(address, text, size);
    if (status != 0) return std::string();
    text[sizeof text - 1] = '\0';
    return std::string(text);
}

// ---- the worker -----------------------------------------------------------------------------

void CStreamUSBBase::WakeEverything() {
    signals_.Set(Signals::kAll);
}

Signals::Clock::time_point CStreamUSBBase::ImageDeadline(Signals::Clock::time_point start) const {
    return start + std::chrono::milliseconds(imageTimeout_.load());
}

void CStreamUSBBase::StartThread() {
    currentSlot_ = 0;
    // The worker reads slot 0 first; both slots are free.
    signals_.Reset(Signals::kAll);
    signals_.Set(Signals::Proceed(1) | Signals::Free(0) | Signals::Free(1));
    for (FrameSlot& slot : slots_) slot.readStatus.store(0);
    threadEnded_.Reset();
    threadState_.store(0);
    thread_ = std::thread(BulkThreadProc, this);
    workerAlive_.store(true);
}

void CStreamUSBBase::StopThread() {
    if (!thread_.joinable()) return;
    WakeEverything();
    // A bulk read waits for the camera: a triggered camera may never send, and a camera that the
    // host has already stopped sends nothing more. The abort ends the read; a read that began
    // just after an abort is ended by the next one.
    while (threadEnded_.Wait(0) != Event::WaitResult::Signalled) {
        bulkChannel_.AbortPipe();
        if (threadEnded_.Wait(kAbortRetryMs) == Event::WaitResult::Signalled) break;
    }
    thread_.join();
    workerAlive_.store(false);
    threadState_.store(0);
}

int CStreamUSBBase::BulkThreadProc(CStreamUSBBase* stream) {
    CStreamUSBBase& s = *stream;
    s.threadState_.store(kThreadRunning);
    Signals& signals = s.signals_;
    auto stopped = [&s] { return s.Stopped(); };
    // Before reading into slot n the worker waits for the other slot's proceed signal (its read
    // succeeded or was recovered) and for slot n's free signal (the host has taken its frame).
    auto readSlot = [&](int n, uint32_t length) {
        if (!signals.Take(Signals::Proceed(1 - n), Signals::kStop) ||
            !signals.Take(Signals::Free(n), Signals::kStop))
            return false;
        FrameSlot& slot = s.slots_[n];
        const int status = s.bulkChannel_.BulkRead(slot.buffer.get(), length);
        slot.readStatus.store(status);
        signals.Set(status == kEzusbOk ? Signals::Proceed(n) | Signals::Frame(n) : Signals::Frame(n));
        return !stopped();
    };

    while (!stopped()) {
        const uint32_t enabled = s.DeviceValue(kAcqEnabled);
        s.acquisitionEnabled_.store(enabled);
        if (enabled == 1) break;
        signals.WaitUntil(Signals::kStop, Signals::Clock::now() + std::chrono::milliseconds(kEnablePollMs));
    }
    const uint32_t length = s.slots_[1].size;
    int n = 0;
    while (readSlot(n, length)) n = 1 - n;
    s.threadState_.store(0);
    s.threadEnded_.Set();
    return 0;
}

// ---- host operations ------------------------------------------------------------------------

int CStreamUSBBase::Acquire(ACQ_START_FLAGS, Lumora::u64) {
    return GuardedCall([&] {
        std::lock_guard<std::mutex> guard(hostLock_);
        if (device_ == nullptr || thread_.joinable()) return static_cast<int>(GC_ERR_ERROR);
        frameCount_.store(0);
        width_ = height_ = pixelFormat_ = triggerMode_ = 0;
        payloadSize_.store(0);

        triggerMode_ = DeviceValue(kTriggerMode);
        triggerSource_ = DeviceValue(kTriggerSource);
        width_ = DeviceValue(kWidth);
        height_ = DeviceValue(kHeight);
        pixelFormat_ = DeviceValue(kPixelFormat);
        horizontalBinning_ = DeviceValue(kBinningHorizontal);
        if (horizontalBinning_ == 1) width_ *= 2;  // the camera sends lines of the full width

        const uint64_t bytesPerPixel = RawBytesPerPixel(pixelFormat_) == 2 ? 2 : 1;
        const uint64_t payload = uint64_t{width_} * height_ * bytesPerPixel;
        if (payload == 0 || payload > 0xFFFFFFFFu) return static_cast<int>(GC_ERR_ERROR);
        payloadSize_.store(payload);

        char name[kInstanceTextSize] = {};
        Lumora::u64 size = sizeof name;
        if (device_->GetInfo(kInfoInstanceName, name, size) == 0) {
            name[sizeof name - 1] = '\0';
            bulkChannel_.Open(name);  // a failed open shows as read status -4
        }

        for (FrameSlot& slot : slots_) {
            slot.buffer.reset(new uint8_t[payload]);
            slot.size = static_cast<uint32_t>(payload);
        }
        StartThread();
        return 0;
    });
}

int CStreamUSBBase::Freeze(ACQ_STOP_FLAGS) {
    // Wake a GetImage or a wait of GetParam 3 that another thread is in before taking the lock.
    if (workerAlive_.load()) WakeEverything();
    return GuardedCall([&] {
        std::lock_guard<std::mutex> guard(hostLock_);
        StopThread();
        for (FrameSlot& slot : slots_) {
            slot.buffer.reset();
            slot.size = 0;
            slot.readStatus.store(0);
        }
        signals_.Reset(Signals::kAll & ~Signals::kStop);
        currentSlot_ = 0;
        acquisitionEnabled_.store(0);
        int status = 0;
        if (device_ != nullptr) {
            uint32_t off = 0;
            Lumora::u64 size = sizeof off;
            status = device_->SetValue(kAcqEnabled, &off, size);
        }
        bulkChannel_.Close();
        return status;
    });
}

bool CStreamUSBBase::FrameMarker(const uint8_t* frame, uint64_t bytes, uint32_t pixelFormat,
                                 uint32_t& marker) {
    const uint32_t bytesPerPixel = RawBytesPerPixel(pixelFormat);
    if (frame == nullptr || bytesPerPixel == 0 || bytes < 16u * bytesPerPixel) return false;
    marker = 0;
    for (unsigned i = 0; i < 16; ++i) marker |= static_cast<uint32_t>(frame[i * bytesPerPixel] & 1u) << i;
    return true;
}

unsigned CStreamUSBBase::RestoreImage() {
    SetDeviceParam(kAcqEnabled, 0);
    StopThread();
    bulkChannel_.Close();
    const std::string instance = DeviceText(kInstanceName, true);
    bulkChannel_.Open(instance.c_str());
    StartThread();
    SetDeviceParam(kAcqEnabled, 1);
    return static_cast<unsigned>(kImageRestarted);
}

int CStreamUSBBase::GetImage(void* buffer, int32_t) {
    return GuardedCall([&] {
        std::lock_guard<std::mutex> guard(hostLock_);
        return GetImageLocked(buffer);
    });
}

int CStreamUSBBase::GetImageLocked(void* buffer) {
    if (!Acquiring() || Stopped()) return kImageStopped;
    const int s = currentSlot_;
    FrameSlot& slot = slots_[s];
    // Bounded: a camera that never sends must not hold the host here for ever.
    const Signals::Bits got =
        signals_.WaitUntil(Signals::Frame(s) | Signals::kStop, ImageDeadline(Signals::Clock::now()));
    if (got == 0) return static_cast<int>(GC_ERR_TIMEOUT);
    if ((got & Signals::kStop) != 0) return kImageStopped;
    signals_.Reset(Signals::Frame(s));

    const int readStatus = slot.readStatus.load();
    int outcome;
    if (readStatus == kEzusbOk) {
        // The marker is checked on the frame that has arrived, never on a slot being filled.
        if (frameMarker_) {
            uint32_t marker = 0;
            if (!FrameMarker(slot.buffer.get(), slot.size, pixelFormat_, marker) || marker != kFrameMarker)
                return static_cast<int>(RestoreImage());
        }
        const unsigned converted = GetConvertImage(slot.buffer.get(), buffer, width_, height_, pixelFormat_);
        if (converted != 0) {
            signals_.Set(Signals::Free(s));
            currentSlot_ = 1 - s;
            // Without the Bayer library a colour frame cannot be converted: say so rather than
            // hand back an untouched buffer as a delivered frame.
            return lastConvertStatus_ == ConvertStatus::kNoConverter ? static_cast<int>(GC_ERR_NOT_AVAILABLE)
                                                                     : 0;
        }
        outcome = 0;
    } else if (readStatus == kEzusbNotFunctioning) {
        // A stalled pipe: abort it and restart the camera without waiting for it to turn idle.
        outcome = kImageRestarted;
        if (bulkChannel_.AbortPipe() && SetDeviceParam(kAcquisitionRestart, 0) >= 0 &&
            SetDeviceParam(kAcquisitionRestart, 1) >= 0) {
            signals_.Set(Signals::Proceed(s));
            outcome = kImageFailed;
        }
    } else {
        outcome = readStatus;
    }
    signals_.Set(Signals::Free(s));
    currentSlot_ = 1 - s;
    if (outcome == 0) {
        frameCount_.fetch_add(1);
        return 0;
    }
    return outcome == kImageFailed ? kImageRestarted : kImageFailed;
}

unsigned CStreamUSBBase::GetConvertImage(const void* source, void* destination, uint32_t width,
                                         uint32_t height, uint32_t pixelFormat) {
    if (!processor_) {
        lastConvertStatus_ = ConvertStatus::kNullBuffer;
        return CImageProcessor::ToStreamResult(lastConvertStatus_);
    }
    FrameFormat format;
    format.width = width;
    format.height = height;
    format.pixelFormat = pixelFormat;
    format.horizontalBinning = horizontalBinning_ != 0;
    // The raw frame is a slot of the current acquisition; the host's buffer must hold the
    // converted frame (its size is not passed, so the size the conversion needs is taken).
    lastConvertStatus_ = processor_->GetConvertImage(static_cast<const uint8_t*>(source), payloadSize_.load(),
                                                     static_cast<uint8_t*>(destination),
                                                     processor_->DestinationBytes(format), format);
    return CImageProcessor::ToStreamResult(lastConvertStatus_);
}

bool CStreamUSBBase::IsGetNewImage() {
    std::lock_guard<std::mutex> guard(hostLock_);
    if (!Acquiring()) return false;
    const Signals::Bits frame = Signals::Frame(currentSlot_);
    const auto start = Signals::Clock::now();
    uint64_t pokes = signals_.Pokes();
    if (Stopped()) return false;
    for (;;) {
        // SetParam 2 pokes the wait, so that a new time-out applies at once.
        const auto deadline = ImageDeadline(start);
        const Signals::Bits got = signals_.WaitUntil(frame | Signals::kStop, deadline, pokes);
        if (got != 0) return got == frame;
        if (Signals::Clock::now() >= deadline) return false;
    }
}

int CStreamUSBBase::SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        if (id != 2) return static_cast<int>(GC_ERR_ERROR);
        uint32_t timeout = imageTimeout_.load();
        CopyParamIn(&timeout, sizeof timeout, buffer, &size);
        imageTimeout_.store(timeout);
        signals_.Poke();
        return 0;
    });
}

int CStreamUSBBase::GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) {
    return GuardedCall([&] {
        switch (id) {
            case 0:
                CopyParamString(buffer, &size, kName);
                return 0;
            case 1: {
                const uint64_t count = frameCount_.load();
                CopyParamBytes(buffer, &size, &count, sizeof count);
                return 0;
            }
            case 2: {
                const uint32_t timeout = imageTimeout_.load();
                CopyParamBytes(buffer, &size, &timeout, sizeof timeout);
                return 0;
            }
            case 3: {
                uint32_t ready = 0;
                // A size query or a buffer too small is answered before the wait.
                if (buffer == nullptr) {
                    CopyParamBytes(buffer, &size, &ready, sizeof ready);
                    return 0;
                }
                if (size < sizeof ready) return static_cast<int>(Lumora::GC_ERR_INVALID_PARAMETER);
                ready = IsGetNewImage() ? 1 : 0;
                CopyParamBytes(buffer, &size, &ready, sizeof ready);
                return 0;
            }
            case 4: {
                const uint64_t payload = payloadSize_.load();
                CopyParamBytes(buffer, &size, &payload, sizeof payload);
                return 0;
            }
            default:
                return static_cast<int>(GC_ERR_ERROR);
        }
    });
}

unsigned CStreamUSBBase::Release() {
    delete this;
    return 0;
}

unsigned CStreamUSBBase::Share() {
    return static_cast<unsigned>(GC_ERR_ERROR);
}

}  // namespace Kovon
