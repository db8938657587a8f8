#pragma once
// One opened camera: its control conversation with control privilege kept by a heartbeat thread,
// its message channel thread delivering events to the handler, and its stream channel. The
// object owns and joins every thread it starts.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "gige/pelion/GvcpClient.h"
#include "gige/pelion/Records.h"
#include "gige/pelion/Status.h"
#include "gige/pelion/StreamReceiver.h"
#include "gige/pelion/UdpSocket.h"

namespace Kovon::Pelion {

namespace LinkState {
constexpr uint8_t Good = 0;
constexpr uint8_t Silent = 1;  // no answer for less than the heartbeat time-out
constexpr uint8_t Lost = 2;    // no answer for longer, or control lost
}  // namespace LinkState

class CameraConnection {
public:
    explicit CameraConnection(const ConnectionRecord& connection);
    ~CameraConnection();
    CameraConnection(const CameraConnection&) = delete;
    CameraConnection& operator=(const CameraConnection&) = delete;

    Status Open();
    void Close();
    bool Reaches(const ConnectionRecord& connection) const;

    Status ReadSettings(SettingsRecord& settings) const;
    Status WriteSettings(const SettingsRecord& settings);
    void ReadTimeouts(uint32_t& timeoutMs, uint8_t& retries) const { control_.GetTimeouts(timeoutMs, retries); }
    Status WriteTimeouts(uint32_t timeoutMs, uint8_t retries);
    Status WriteMode(uint8_t mode);
    uint8_t Mode() const { return mode_; }

    GvcpClient& Control() { return control_; }
    void GetLinkState(uint8_t& state, uint8_t& missed) const;

    void SetEventHandler(EventHandler handler, void* context);
    Status OpenEventChannel();
    Status CloseEventChannel();
    Status LongCommand(uint16_t& result, uint32_t argument, uint32_t timeoutMs, uint32_t code);

    Status OpenStreamChannel(uint32_t hostAddress, uint16_t port);
    Status CloseStreamChannel();
    Status StartAcquisition();
    Status StopAcquisition();
    Status SetFrameBufferSize(uint64_t bytes, uint32_t packetPayload);
    void* FrameBuffer() { return stream_.FrameBuffer(); }
    Status WaitForFrame(FrameRecord& record);
    StreamStatistics Statistics() const { return stream_.Statistics(); }

private:
    void HeartbeatLoop();
    void EventLoop();
    void Restore();

    ConnectionRecord connection_;
    uint32_t cameraIp_ = 0;
    uint32_t hostIp_ = 0;
    GvcpClient control_;
    mutable std::mutex settingsMutex_;  // guards settings_
    SettingsRecord settings_{};
    std::atomic<uint8_t> mode_{1};

    std::atomic<uint8_t> linkState_{LinkState::Good};
    std::atomic<uint8_t> missed_{0};
    std::mutex heartbeatMutex_;  // guards stopping_ for the heartbeat's wait
    std::condition_variable heartbeatWake_;
    bool stopping_ = false;
    std::thread heartbeat_;

    std::mutex handlerMutex_;  // guards handler_ and context_
    EventHandler handler_ = nullptr;
    void* context_ = nullptr;
    UdpSocket eventSocket_;
    std::atomic<bool> eventsRunning_{false};
    std::thread eventThread_;

    StreamReceiver stream_;
    std::atomic<bool> acquiring_{false};
    bool open_ = false;
};

}  // namespace Kovon::Pelion
