#pragma once
// Serves a simulated USB 2.0 camera as an EZ-USB driver instance behind the driver seam: decodes
// the control requests, hands vendor requests to the device model as setup packets and keeps the
// bulk-in pipe, on which reads block until data arrives, the pipe is aborted (from any handle)
// or the camera goes away.
//
// The bulk pipe is fed with PushBulk; each push is one transfer from the camera, ended by a short
// packet when 'endOfTransfer' is set (a read then completes early, as a USB bulk read does). A
// frame generator feeds it the same way.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/usb2/SimUsb2Camera.h"
#include "usb2/driver/DriverSeam.h"

namespace Kovon::Sim {

class SimUsb2Instance final : public IDriverInstance, public std::enable_shared_from_this<SimUsb2Instance> {
public:
    explicit SimUsb2Instance(const SimUsb2Config& config);

    DriverHandle Open(uint32_t& error) override;

    // Runs 'fn' on the device model under the instance lock.
    template <typename Fn>
    auto WithCamera(Fn&& fn) {
        std::lock_guard<std::mutex> guard(lock_);
        return fn(camera_);
    }

    void PushBulk(const void* data, size_t size, bool endOfTransfer = true);
    // The camera stops answering (error 1167) and every blocked read wakes; or comes back.
    void SetConnected(bool connected);

    // Used by the handles.
    uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                       size_t& returned);

private:
    struct Transfer {
        std::vector<uint8_t> bytes;
        size_t consumed = 0;
        bool endOfTransfer = true;
    };

    uint32_t BulkRead(void* out, size_t size, size_t& returned);
    static bool IsPipeOne(const void* in, size_t inSize);

    std::mutex lock_;
    std::condition_variable pipeChanged_;
    SimUsb2Camera camera_;
    std::deque<Transfer> pipe_;
    uint64_t abortGeneration_ = 0;
};

}  // namespace Kovon::Sim
