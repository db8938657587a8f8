#include "gige/StreamGigEBase.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "gige/pelion/Pelion.h"
#include "gige/pelion/StreamReceiver.h"
#include "platform/Clock.h"
#include "system/ParamCall.h"
#include "system/ParamCopy.h"

namespace Kovon {
namespace {

using namespace Lumora;
namespace St = Pelion::St;

// Camera registers Acquire reads.
constexpr uint32_t kWidth = 0xA004;
constexpr uint32_t kHeight = 0xA008;
constexpr uint32_t kPixelFormat = 0xA018;
constexpr uint32_t kPayloadSize = 0xA024;
constexpr uint32_t kPacketSize = 0x0D04;

constexpr uint64_t kBufferMargin = 0x10000;
constexpr uint32_t kCloseSettleMs = 200;
// How long the worker waits for the host before it looks at its running flag again; Freeze
// wakes it at once, so this only bounds a missed wake-up.
constexpr uint32_t kReadyPollMs = 50;
constexpr uint32_t kUnsignalledPauseMs = 1;
// Bytes of the frame record cleared by Freeze.
constexpr size_t kFrameRecordClear = 56;

constexpr int32_t kFrameGood = 0;
constexpr int32_t kFrameUnknownFormat = -1;
constexpr int32_t kFrameNone = -2;
constexpr int32_t kFrameFaulty = -3;

// Link states of the library.
constexpr uint8_t kLinkGood = 0;
constexpr uint8_t kLinkSilent = 1;
constexpr uint8_t kLinkLost = 2;

}  // namespace

CStreamGigEBase::CStreamGigEBase() = default;

CStreamGigEBase::CStreamGigEBase(INewSystem* system, INewInterface* parentInterface, INewDevice* device,
                                 const Pelion::ConnectionRecord& connection, uint8_t cameraIndex)
    : system_(system), interface_(parentInterface), device_(device), connection_(connection), cameraIndex_(cameraIndex) {}

CStreamGigEBase::~CStreamGigEBase() {
    if (acquiring_) Freeze(ACQ_STOP_FLAGS_DEFAULT);
    StopWorker();
    if (streamOpen_) {
        streamOpen_ = false;
        if (Pelion::CloseStreamChannel(cameraIndex_) == St::Ok) Platform::Sleep(kCloseSettleMs);
    }
    if (device_ != nullptr) device_->ReleaseChild(static_cast<IStream*>(this));
}

bool CStreamGigEBase::OpenStream() {
    const uint16_t port = static_cast<uint16_t>(connection_.port & 0xFFFF);
    if (Pelion::OpenStreamChannel(cameraIndex_, connection_.hostAddress, port, 0) != St::Ok) return false;
    streamOpen_ = true;
    return true;
}

bool CStreamGigEBase::CloseStream() {
    if (!streamOpen_) return true;
    streamOpen_ = false;
    if (Pelion::CloseStreamChannel(cameraIndex_) != St::Ok) return false;
    Platform::Sleep(kCloseSettleMs);
    return true;
}

uint64_t CStreamGigEBase::CopySize(uint32_t pixelFormat, uint32_t width, uint32_t height) {
    const uint64_t w = width, h = height;
    switch (pixelFormat) {
        case 0x01080001:  // Mono8
        case 0x01080008: case 0x01080009: case 0x0108000A: case 0x0108000B:  // Bayer 8-bit
            return w * h;
        case 0x01100003:  // Mono10
        case 0x01100005:  // Mono12
        case 0x0210001F:  // YUV422Packed
        case 0x02100032:  // YUV422_YUYV_Packed
            return w * h * 2;
        case 0x010C0004:  // Mono10Packed
        case 0x010C0006:  // Mono12Packed
            return (w / 2) * h * 3;
        case 0x02180014:  // RGB8Packed
            return w * h * 3;
        default:
            break;
    }
    if (pixelFormat >= 0x0110000C && pixelFormat <= 0x01100013) return w * h * 2;        // Bayer 10/12-bit
    if (pixelFormat >= 0x010C0026 && pixelFormat <= 0x010C002D) return (w / 2) * h * 3;  // Bayer packed
    return 0;
}

int CStreamGigEBase::ReadCameraRegister(uint32_t address, uint32_t& value) {
    uint32_t wire = 0;
    u64 size = sizeof wire;
    const int status = device_->GetParam(address, &wire, size);
    if (status != 0 || size != sizeof wire) return status != 0 ? status : GC_ERR_ERROR;
    value = ntohl(wire);
    return 0;
}

int CStreamGigEBase::Acquire(ACQ_START_FLAGS, u64) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(acquireLock_);
        if (worker_.joinable()) return static_cast<int>(GC_ERR_ERROR);
        if (device_ == nullptr || !streamOpen_) return static_cast<int>(GC_ERR_ERROR);
        if (Pelion::StartAcquisition(cameraIndex_, 0) != St::Ok) return static_cast<int>(GC_ERR_ERROR);

        {
            std::lock_guard<std::recursive_mutex> frame(frameLock_);
            width_ = height_ = pixelFormat_ = packetPayload_ = 0;
            payloadSize_ = 0;
            packetsPerFrame_ = 0;
            frameCount_ = 0;
            expectedPackets_ = 0;
            packetTotal_ = 0;
            lastFramePackets_ = 0;
        }
        acquiring_ = true;

        auto refuse = [this] {
            Pelion::StopAcquisition(cameraIndex_);
            acquiring_ = false;
            return static_cast<int>(GC_ERR_ERROR);
        };
        uint32_t width = 0, height = 0, pixelFormat = 0, payload = 0, packetSize = 0;
        if (ReadCameraRegister(kWidth, width) != 0 || ReadCameraRegister(kHeight, height) != 0 ||
            ReadCameraRegister(kPixelFormat, pixelFormat) != 0 || ReadCameraRegister(kPayloadSize, payload) != 0 ||
            ReadCameraRegister(kPacketSize, packetSize) != 0)
            return refuse();
        // A packet no larger than its headers carries no payload.
        if ((packetSize & 0xFFFF) <= kPacketOverhead || payload == 0) return refuse();
        const uint32_t packetPayload = (packetSize & 0xFFFF) - kPacketOverhead;

        const uint32_t bits = (pixelFormat >> 16) & 0xFF;
        const uint64_t bytesPerPixel = bits >= 9 && bits <= 15 ? 2 : (pixelFormat >> 19) & 0x1F;
        const uint64_t imageBytes = uint64_t{height} * bytesPerPixel * width;
        const uint64_t bufferBytes = std::max<uint64_t>(payload, imageBytes + kBufferMargin);
        if (Pelion::SetFrameBufferSize(cameraIndex_, bufferBytes, packetPayload) != St::Ok) return refuse();
        void* buffer = nullptr;
        if (Pelion::GetFrameBuffer(cameraIndex_, 0, &buffer) != St::Ok || buffer == nullptr) return refuse();

        {
            std::lock_guard<std::recursive_mutex> frame(frameLock_);
            width_ = width;
            height_ = height;
            pixelFormat_ = pixelFormat;
            payloadSize_ = payload;
            packetPayload_ = packetPayload;
            packetsPerFrame_ = (payload + packetPayload - 1) / packetPayload;
            imageBuffer_ = static_cast<const uint8_t*>(buffer);
            imageBufferBytes_ = bufferBytes;
        }

        newImageEvent_.Reset();
        readyEvent_.Reset();
        eventsLive_ = true;
        running_ = true;
        try {
            worker_ = std::thread([this] { AcqThreadProc(); });
        } catch (...) {
            running_ = false;
            eventsLive_ = false;
            refuse();
            throw;
        }
        readyEvent_.Set();  // the worker fetches the first frame at once
        return 0;
    });
}

void CStreamGigEBase::AcqThreadProc() {
    try {
        while (running_) {
            if (readyEvent_.Wait(kReadyPollMs) != Platform::Event::WaitResult::Signalled) continue;
            if (!running_) break;
            bool signal = true;
            {
                std::lock_guard<std::recursive_mutex> frame(frameLock_);
                const Pelion::Status status = Pelion::WaitForFrame(cameraIndex_, &frameRecord_);
                if (status == St::Ok) {
                    frameStatus_ = kFrameGood;
                } else if (status == St::Timeout) {
                    uint8_t state = 0, missed = 0;
                    Pelion::GetLinkState(cameraIndex_, &state, &missed);
                    signal = false;
                    if (state == kLinkGood) {
                        frameStatus_ = kFrameGood;
                    } else if (state == kLinkSilent) {
                        frameStatus_ = kFrameFaulty;
                    } else if (state == kLinkLost) {
                        frameStatus_ = kFrameNone;
                        signal = true;
                    }
                } else if (status == St::FrameIncomplete || status == St::FrameDamaged) {
                    frameStatus_ = acceptFaultyFrames_ != 0 ? kFrameGood : kFrameFaulty;
                } else {
                    frameStatus_ = kFrameNone;
                }
                if (signal) {
                    readyEvent_.Reset();
                    newImageEvent_.Set();
                }
            }
            // Without an outcome the worker waits again at once; a host blocked on frameLock_ in
            // GetImage gets its turn first (the lock is not fair).
            if (!signal) std::this_thread::sleep_for(std::chrono::milliseconds(kUnsignalledPauseMs));
        }
    } catch (...) {
        // The worker ends quietly; Freeze and the destructor still join it.
    }
}

bool CStreamGigEBase::IsGetNewImage() {
    if (!eventsLive_) return false;
    return newImageEvent_.Wait(imageTimeoutMs_) == Platform::Event::WaitResult::Signalled;
}

int CStreamGigEBase::GetImage(void* buffer, int32_t) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> frame(frameLock_);
        if (eventsLive_) {
            newImageEvent_.Reset();
            readyEvent_.Set();
        }
        const int32_t status = frameStatus_;
        if (status == kFrameNone) return static_cast<int>(kFrameNone);
        const uint64_t count = frameCount_ + 1;
        frameCount_ = count;
        expectedPackets_ = uint64_t{packetsPerFrame_} * count;
        lastFramePackets_ = frameRecord_.packetCount;
        packetTotal_ += frameRecord_.packetCount;
        if (status == kFrameFaulty) return static_cast<int>(kFrameFaulty);
        if (buffer == nullptr) return static_cast<int>(status);
        const uint64_t bytes = CopySize(pixelFormat_, width_, height_);
        if (bytes == 0 || imageBuffer_ == nullptr) return static_cast<int>(kFrameUnknownFormat);
        std::memcpy(buffer, imageBuffer_, static_cast<size_t>(std::min(bytes, imageBufferBytes_)));
        return static_cast<int>(status);
    });
}

void CStreamGigEBase::StopWorker() {
    running_ = false;
    if (!worker_.joinable()) return;
    newImageEvent_.Set();  // wakes a host waiting for an image
    readyEvent_.Set();     // wakes the worker
    worker_.join();        // the worker has left its loop: nothing touches the events or fields any more
    eventsLive_ = false;
    newImageEvent_.Reset();
    readyEvent_.Reset();
}

int CStreamGigEBase::Freeze(ACQ_STOP_FLAGS) {
    return GuardedCall([&] {
        std::lock_guard<std::recursive_mutex> guard(acquireLock_);
        StopWorker();
        if (device_ != nullptr) Pelion::StopAcquisition(cameraIndex_);
        acquiring_ = false;
        std::lock_guard<std::recursive_mutex> frame(frameLock_);
        std::memset(&frameRecord_, 0, kFrameRecordClear);
        return 0;
    });
}

int CStreamGigEBase::SetParam(u64 id, void* buffer, u64& size) {
    return GuardedCall([&] {
        switch (id) {
            case 0: case 1: case 3:
                return static_cast<int>(GC_ERR_ACCESS_DENIED);
            case 2: {
                uint32_t value = imageTimeoutMs_;
                CopyParamIn(&value, sizeof value, buffer, &size);
                imageTimeoutMs_ = value;
                return 0;
            }
            case kAcceptFaultyFrames: {
                uint32_t value = acceptFaultyFrames_;
                CopyParamIn(&value, sizeof value, buffer, &size);
                acceptFaultyFrames_ = value;
                return 0;
            }
            default:
                return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        }
    });
}

int CStreamGigEBase::GetParam(u64 id, void* buffer, u64& size) {
    return GuardedCall([&] {
        switch (id) {
            case 0: CopyParamString(buffer, &size, name_); return 0;
            case 1: {
                const uint64_t v = frameCount_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case 2: {
                const uint32_t v = imageTimeoutMs_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case 3: {
                // A size query or a refused size waits for nothing.
                if (buffer == nullptr) {
                    size = sizeof(uint32_t);
                    return 0;
                }
                if (size < sizeof(uint32_t)) return static_cast<int>(GC_ERR_INVALID_PARAMETER);
                const uint32_t v = IsGetNewImage() ? 1 : 0;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case 4: {
                const uint64_t v = payloadSize_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case 5: {
                const uint64_t v = expectedPackets_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case 6: {
                const uint64_t v = packetTotal_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case 7: {
                const uint32_t v = packetsPerFrame_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case 8: {
                const uint32_t v = lastFramePackets_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case kLostFrames: {
                // Frames the receiver gave up since the stream channel opened: lost whole, or
                // overrun in its queue. Faulty frames it delivered are counted by id 1 instead.
                uint64_t v = 0;
                Pelion::StreamStatistics statistics;
                if (device_ != nullptr && streamOpen_ &&
                    Pelion::GetStreamStatistics(cameraIndex_, &statistics) == St::Ok)
                    v = statistics.framesDropped;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            case kAcceptFaultyFrames: {
                const uint32_t v = acceptFaultyFrames_;
                CopyParamBytes(buffer, &size, &v, sizeof v);
                return 0;
            }
            default:
                return static_cast<int>(GC_ERR_INVALID_PARAMETER);
        }
    });
}

unsigned CStreamGigEBase::Release() {
    delete this;
    return 0;
}

unsigned CStreamGigEBase::Share() { return 0; }

void CStreamGigEBase::ReleaseChild(void*) {}

}  // namespace Kovon
