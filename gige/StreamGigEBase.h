#pragma once
// CStreamGigEBase: the one data stream ("DS0") of a GigE Vision camera. It opens the camera's
// stream channel in the library, starts and stops acquisition, and runs one worker thread that
// fetches frames from the library. The worker and the host take turns through two manual-reset
// events: GetImage resets "new image" and sets "ready"; the worker waits for "ready", fetches one
// frame outcome, then resets "ready" and sets "new image". There is no queue here: exactly one
// frame is in flight between two GetImage calls (the library queues what arrives meanwhile).
//
// Parameters: 0 name, 1 frames counted, 2 image time-out (ms), 3 wait for a new image (0/1),
// 4 payload size, 5 expected packets, 6 packets received, 7 packets per frame, 8 packets of the
// last frame, 4096 accept faulty frames. GetImage: 0 good frame copied, -1 unknown pixel format,
// -2 no frame (link lost), -3 faulty frame (not copied unless faulty frames are accepted).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "Lumora/Lumora.h"
#include "gige/pelion/Records.h"
#include "platform/Event.h"

namespace Kovon {

class KOVON_API CStreamGigEBase : public Lumora::INewStream {
public:
    static constexpr const char* kName = "DS0";
    static constexpr uint32_t kDefaultImageTimeoutMs = 5000;
    // Parameter id of the faulty-frame switch.
    static constexpr Lumora::u64 kAcceptFaultyFrames = 4096;
    // Parameter id of the frames lost since the stream channel opened (read only, 8 bytes).
    static constexpr Lumora::u64 kLostFrames = 9;
    // Bytes of IP, UDP and stream headers in each stream packet.
    static constexpr uint32_t kPacketOverhead = 36;

    CStreamGigEBase();
    CStreamGigEBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface, Lumora::INewDevice* device,
                    const Pelion::ConnectionRecord& connection, uint8_t cameraIndex);
    CStreamGigEBase(const CStreamGigEBase&) = delete;
    CStreamGigEBase& operator=(const CStreamGigEBase&) = delete;
    ~CStreamGigEBase() override;

    // IStream.
    int Acquire(ACQ_START_FLAGS flags, Lumora::u64 count) override;
    int Freeze(ACQ_STOP_FLAGS flags) override;
    int GetImage(void* buffer, int32_t timeoutMs) override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    unsigned Release() override;
    unsigned Share() override;
    void ReleaseChild(void* child) override;

    // Slots after the host interface.
    virtual bool OpenStream();
    virtual bool CloseStream();

    // Bytes GetImage copies for a frame of this format and size; 0 for a format it does not copy.
    static uint64_t CopySize(uint32_t pixelFormat, uint32_t width, uint32_t height);

private:
    void AcqThreadProc();
    bool IsGetNewImage();
    // Stops the worker and waits until it has left its loop.
    void StopWorker();
    int ReadCameraRegister(uint32_t address, uint32_t& value);

    Lumora::INewSystem* system_ = nullptr;
    Lumora::INewInterface* interface_ = nullptr;
    Lumora::INewDevice* device_ = nullptr;
    Pelion::ConnectionRecord connection_{};
    uint8_t cameraIndex_ = 0;
    Pelion::FrameRecord frameRecord_{};
    const uint8_t* imageBuffer_ = nullptr;
    uint64_t imageBufferBytes_ = 0;  // bytes of the library buffer this acquisition asked for
    bool streamOpen_ = false;
    std::string name_ = kName;

    // Counters and geometry. Written under frameLock_ (GetImage) or acquireLock_ (Acquire, which
    // runs while no worker exists); read by GetParam.
    std::atomic<uint64_t> frameCount_{0};
    std::atomic<uint32_t> imageTimeoutMs_{kDefaultImageTimeoutMs};
    std::atomic<uint32_t> acceptFaultyFrames_{0};
    std::atomic<uint64_t> payloadSize_{0};
    std::atomic<uint32_t> packetsPerFrame_{0};
    std::atomic<uint64_t> expectedPackets_{0};
    std::atomic<uint64_t> packetTotal_{0};
    std::atomic<uint32_t> lastFramePackets_{0};
    uint32_t pixelFormat_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t packetPayload_ = 0;

    std::atomic<bool> running_{false};
    std::thread worker_;
    // Held by the worker around each frame wait and by GetImage around its whole body.
    std::recursive_mutex frameLock_;
    // Held for the whole of Acquire and Freeze.
    std::recursive_mutex acquireLock_;
    std::atomic<bool> acquiring_{false};
    // The handshake events exist while an acquisition runs; outside it they count as absent.
    std::atomic<bool> eventsLive_{false};
    Platform::Event newImageEvent_;
    Platform::Event readyEvent_;
    int32_t frameStatus_ = 0;  // guarded by frameLock_
};

}  // namespace Kovon
