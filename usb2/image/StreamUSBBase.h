#pragma once
// CStreamUSBBase: the one stream ("DS0") of a USB 2.0 camera.
//
// The stream reads whole raw frames from the camera's bulk pipe on a worker thread, alternately
// into two frame slots, on a channel of its own to the camera's driver instance. The host takes
// each frame with GetImage, which converts it into the host's buffer (ImageProcessor.h: exposure
// loop, binning restoration, Bayer conversion, white-balance loop) and frees the slot again, so
// that the camera's next frame is read while the host converts the previous one.
//
// Cameras with firmware above 0.0.5.0 write a 16-bit marker (0xAA55) into the least significant
// bits of the first 16 pixels of every frame. A frame that does not carry it shows that the byte
// stream lost its frame boundaries: the stream then stops the camera and its worker, reopens the
// pipe and starts both again (resynchronisation), and GetImage answers -3.
//
// The slot handshake, per slot: the worker waits for the slot's free signal, reads into the slot,
// sets its proceed signal when the read succeeded and its frame signal in any case; before it goes
// on to the other slot it waits for this slot's proceed signal. A failed read therefore holds the
// worker until GetImage has dealt with the failure (a stalled pipe, -2, is recovered by a pipe
// abort and a raw restart of the camera) or until Freeze. So the worker reads the next frame into
// one slot while the host converts the other, and a hand-over costs a wake-up only when one side
// has caught up with the other: the signals (StreamSignals.h) notify only waiting threads, and
// nothing polls once the camera streams.
//
// GetImage results: 0 a frame was delivered (or dropped by the conversion, then not counted);
// -1 the stream is stopped; -2 the frame's read failed; -3 the stream was resynchronised or its
// pipe restarted and nothing was delivered; -1011 no frame arrived within the image time-out;
// -1014 a colour conversion without the Bayer library (the frame is dropped).
//
// Threads: host operations may come from any host thread; GetImage, the wait of GetParam 3,
// Acquire and Freeze are serialised by the stream (Freeze first wakes a waiting GetImage). The
// worker is started by Acquire and by a resynchronisation and always stopped and joined by
// Freeze, by a resynchronisation or by the destructor, before any slot it uses is freed: a
// pending bulk read is cut short with a pipe abort, repeated until the worker has left.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Lumora/Lumora.h"
#include "platform/Event.h"
#include "usb2/Ezusb.h"
#include "usb2/image/ImageProcessor.h"
#include "usb2/image/StreamSignals.h"

namespace Kovon {

class KOVON_API CStreamUSBBase : public Lumora::INewStream {
public:
    static constexpr const char* kName = "DS0";
    static constexpr uint32_t kDefaultImageTimeoutMs = 5000;
    // Value of the thread state while the worker runs.
    static constexpr uint32_t kThreadRunning = 259;
    // The marker that newer firmware writes into the first 16 pixels.
    static constexpr uint32_t kFrameMarker = 0xAA55;
    // GetImage results of the stream's own.
    static constexpr int kImageStopped = -1;
    static constexpr int kImageFailed = -2;
    static constexpr int kImageRestarted = -3;

    // An info copy: a name and nothing else; it never touches a device.
    CStreamUSBBase();
    // An opened stream of 'device'. Stops the camera (raw stop), reads the firmware text and the
    // model name, the white-balance constants, and loads the Bayer library. 'deviceChannel' is the
    // device's own channel (kept for reference; the stream reads on a channel of its own).
    CStreamUSBBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   Lumora::INewDevice* device, CEzusb* deviceChannel);
    // The same, looking for the Bayer library only in the given files (none: no library).
    CStreamUSBBase(Lumora::INewSystem* system, Lumora::INewInterface* parentInterface,
                   Lumora::INewDevice* device, CEzusb* deviceChannel,
                   const std::vector<std::string>& bayerLibraries);
    CStreamUSBBase(const CStreamUSBBase&) = delete;
    CStreamUSBBase& operator=(const CStreamUSBBase&) = delete;
    ~CStreamUSBBase() override;

    // IStream. Acquire: -1001 on an info copy, while already acquiring, or when the geometry in
    // the device's map gives no frame (a width, height or pixel format that makes 0 bytes or more
    // than 4 GiB). Freeze: the status of clearing the device's acquisition state (0).
    int Acquire(ACQ_START_FLAGS flags, Lumora::u64 count) override;
    int Freeze(ACQ_STOP_FLAGS flags) override;
    int GetImage(void* buffer, int32_t timeoutMs) override;
    int SetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    int GetParam(Lumora::u64 id, void* buffer, Lumora::u64& size) override;
    unsigned Release() override;
    unsigned Share() override;
    void ReleaseChild(void*) override {}

    // The slot after the host interface: converts one raw frame of the current acquisition's
    // geometry into 'destination'. 0 delivered, 0xFFFFFFFF dropped (null buffer, unsupported
    // format, or no Bayer library for a colour path).
    virtual unsigned GetConvertImage(const void* source, void* destination, uint32_t width, uint32_t height,
                                     uint32_t pixelFormat);

    // The marker M of a raw frame of 'bytes' bytes: bit i is the least significant bit of pixel i
    // (bytes for the 8-bit formats, little-endian words for Mono10/12/14). Nothing (returns
    // false) for another pixel format or a frame shorter than 16 pixels.
    static bool FrameMarker(const uint8_t* frame, uint64_t bytes, uint32_t pixelFormat, uint32_t& marker);

    // What the last conversion of GetImage or GetConvertImage gave (tests, diagnostics).
    Usb2Image::ConvertStatus LastConvertStatus() const { return lastConvertStatus_; }

private:
    struct FrameSlot {
        std::unique_ptr<uint8_t[]> buffer;
        uint32_t size = 0;
        std::atomic<int> readStatus{0};
    };

    bool IsGetNewImage();
    static int BulkThreadProc(CStreamUSBBase* stream);
    unsigned RestoreImage();
    int GetImageLocked(void* buffer);

    // Setting every slot signal and the stop signal wakes each wait of the worker and the host.
    void WakeEverything();
    // The deadline of a wait for a frame that began at 'start', with the present image time-out.
    Usb2Image::CStreamSignals::Clock::time_point ImageDeadline(
        Usb2Image::CStreamSignals::Clock::time_point start) const;
    bool Stopped() const { return signals_.Test(Usb2Image::CStreamSignals::kStop) != 0; }
    // Starts the worker with the slots set up for the first read into slot 0.
    void StartThread();
    // Wakes the worker, cuts a pending read short with pipe aborts until it has left, joins it.
    void StopThread();
    bool Acquiring() const { return slots_[0].buffer != nullptr; }
    uint32_t DeviceValue(uint64_t address);
    int SetDeviceParam(uint64_t address, uint32_t value);
    std::string DeviceText(uint64_t address, bool cached);
    void Construct(std::unique_ptr<Usb2Image::CBayerLibrary> library);

    Lumora::INewSystem* system_ = nullptr;
    Lumora::INewInterface* interface_ = nullptr;
    Lumora::INewDevice* device_ = nullptr;
    CEzusb* deviceChannel_ = nullptr;
    CEzusb bulkChannel_;

    std::atomic<uint64_t> frameCount_{0};
    std::atomic<uint32_t> imageTimeout_{kDefaultImageTimeoutMs};

    std::mutex hostLock_;  // serialises Acquire, Freeze, GetImage and the wait of GetParam 3
    std::thread thread_;
    std::atomic<bool> workerAlive_{false};  // thread_ holds a worker (read without the lock)
    Usb2Image::CStreamSignals signals_;     // the slot signals and the stop signal
    Platform::Event threadEnded_;
    std::atomic<uint32_t> threadState_{0};
    std::atomic<uint32_t> acquisitionEnabled_{0};

    uint32_t triggerMode_ = 0;
    uint32_t triggerSource_ = 0;
    uint32_t pixelFormat_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::atomic<uint64_t> payloadSize_{0};
    uint32_t horizontalBinning_ = 0;

    int currentSlot_ = 0;
    FrameSlot slots_[2];

    std::string firmwareText_;
    Usb2Image::ColorType colorType_ = Usb2Image::kColorTypeUnknown;
    bool frameMarker_ = false;
    std::unique_ptr<Usb2Image::IUsbParamAccess> paramAccess_;
    std::unique_ptr<Usb2Image::CBayerLibrary> bayerLibrary_;
    std::unique_ptr<Usb2Image::CImageProcessor> processor_;
    Usb2Image::ConvertStatus lastConvertStatus_ = Usb2Image::ConvertStatus::kOk;
};

}  // namespace Kovon
