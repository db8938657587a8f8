#pragma once
// Serves a simulated USB 2.0 camera as an EZ-USB driver instance behind the driver seam: decodes
// the control requests, hands vendor requests to the device model as setup packets and keeps the
// bulk-in pipe, on which reads block until data arrives, the pipe is aborted (from any handle)
// or the camera goes away.
//
// The bulk pipe is fed in two ways:
//  - PushBulk: one transfer from the camera, ended by a short packet when 'endOfTransfer' is set
//    (a read then completes early, as a USB bulk read does);
//  - the frame generator, a thread owned by the instance: while the camera acquires it sends the
//    frames of SimUsb2Scene.h back to back as one continuous byte stream (no short packets, as a
//    camera whose frames are whole numbers of packets), free-running at the configured rate or
//    one frame per trigger in trigger mode. It keeps at most two frames queued: when the host
//    falls behind, a free-running camera drops frames (counted), an unthrottled one waits. An
//    acquisition start drops what was queued, so that the camera starts on a frame boundary.
//    The thread is stopped and joined on unplug (StopGenerator) and on destruction.
//
// Faults: LoseBytes (the first bytes of the next frame never arrive: every later read is out of
// step with the frames), StallPipe (bulk reads fail with error 31 until the pipe is aborted),
// and the camera model's IgnoreTriggers.
//
// Frames are generated once per phase and setting and queued by reference, so that in the steady
// state the simulator neither allocates nor copies beyond the read itself.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/usb2/SimUsb2Camera.h"
#include "sim/usb2/SimUsb2Scene.h"
#include "usb2/driver/DriverSeam.h"

namespace Kovon::Sim {

struct SimUsb2StreamCounters {
    uint64_t framesSent = 0;
    uint64_t framesDropped = 0;  // free-running frames the host was too slow for
    uint64_t bytesLost = 0;      // by LoseBytes
};

class SimUsb2Instance final : public IDriverInstance, public std::enable_shared_from_this<SimUsb2Instance> {
public:
    static constexpr double kDefaultFrameRate = 100.0;

    explicit SimUsb2Instance(const SimUsb2Config& config);
    ~SimUsb2Instance() override;
    SimUsb2Instance(const SimUsb2Instance&) = delete;
    SimUsb2Instance& operator=(const SimUsb2Instance&) = delete;

    DriverHandle Open(uint32_t& error) override;

    // Runs 'fn' on the device model under the instance lock; the generator sees the result.
    template <typename Fn>
    auto WithCamera(Fn&& fn) {
        std::lock_guard<std::mutex> guard(lock_);
        struct Notify {
            std::condition_variable& cv;
            ~Notify() { cv.notify_all(); }
        } notify{changed_};
        return fn(camera_);
    }

    void PushBulk(const void* data, size_t size, bool endOfTransfer = true);
    // The camera stops answering (error 1167) and every blocked read wakes; or comes back.
    void SetConnected(bool connected);

    // Free-running frames per second; 0 sends as fast as the host reads. False for a negative or
    // non-finite rate.
    bool SetFrameRate(double framesPerSecond);
    void LoseBytes(uint64_t count);
    void StallPipe();
    SimUsb2StreamCounters StreamCounters();
    // The frame the generator sends in 'phase' with the camera's present settings.
    SimUsb2Frame FrameOfPhase(unsigned phase);
    // Stops and joins the generator; it does not start again.
    void StopGenerator();

    // Used by the handles.
    uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                       size_t& returned);

private:
    struct Transfer {
        std::shared_ptr<const std::vector<uint8_t>> bytes;
        size_t begin = 0;  // next byte to deliver
        size_t end = 0;
        bool endOfTransfer = true;
    };
    using Clock = std::chrono::steady_clock;

    uint32_t BulkRead(void* out, size_t size, size_t& returned);
    static bool IsPipeOne(const void* in, size_t inSize);
    void PushTransfer(Transfer transfer);  // under lock_
    void FlushPipe();                      // under lock_
    void GeneratorLoop();
    // The frame of the phase for the settings, built outside the lock when it is stale.
    const SimUsb2Frame* ReadyFrame(std::unique_lock<std::mutex>& lock, const SimUsb2FrameSettings& settings,
                                   unsigned phase);

    std::mutex lock_;
    std::condition_variable changed_;  // pipe, camera state or generator settings changed
    SimUsb2Camera camera_;
    // The pipe: a ring of transfers that grows only when PushBulk overfills it.
    std::vector<Transfer> ring_;
    size_t head_ = 0;
    size_t count_ = 0;
    uint64_t queuedBytes_ = 0;
    uint64_t abortGeneration_ = 0;
    bool stalled_ = false;

    // Generator state, under lock_.
    double frameRate_ = kDefaultFrameRate;
    uint64_t loseBytes_ = 0;
    uint64_t seenEpoch_ = 0;
    SimUsb2StreamCounters streamCounters_;
    SimUsb2FrameSettings builtSettings_[kSimUsb2FramePhases];
    SimUsb2Frame builtFrames_[kSimUsb2FramePhases];
    bool stopGenerator_ = false;
    std::thread generator_;
};

}  // namespace Kovon::Sim
