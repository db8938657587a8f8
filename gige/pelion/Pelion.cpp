#include "gige/pelion/Pelion.h"

#include <array>
#include <memory>
#include <mutex>

#include "gige/pelion/CameraConnection.h"
#include "gige/pelion/Discovery.h"

namespace Kovon::Pelion {

namespace {

// The cameras by index. Operations hold a shared pointer while they run, so a concurrent
// CloseCamera frees a camera only when the last of them has finished.
class CameraTable {
public:
    std::shared_ptr<CameraConnection> Get(uint8_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return cameras_[index];
    }
    Status Open(uint8_t index, const ConnectionRecord& connection) {
        std::lock_guard<std::mutex> openLock(openMutex_);
        if (auto existing = Get(index)) return existing->Reaches(connection) ? St::AlreadyOpen : St::Error;
        auto camera = std::make_shared<CameraConnection>(connection);
        Status st = camera->Open();
        if (st != St::Ok) return st;
        std::lock_guard<std::mutex> lock(mutex_);
        cameras_[index] = std::move(camera);
        return St::Ok;
    }
    Status Close(uint8_t index) {
        std::shared_ptr<CameraConnection> camera;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            camera.swap(cameras_[index]);
        }
        if (!camera) return St::Error;
        camera->Close();
        return St::Ok;
    }

private:
    std::mutex openMutex_;  // one open at a time, so two opens of one index cannot race
    std::mutex mutex_;      // guards cameras_
    std::array<std::shared_ptr<CameraConnection>, 256> cameras_;
};

CameraTable& Table() {
    static CameraTable table;
    return table;
}

template <typename F>
Status WithCamera(uint8_t index, F f) {
    auto camera = Table().Get(index);
    if (!camera) return St::Error;
    return f(*camera);
}

}  // namespace

Status Discover(DiscoveryBuffer* buffer, uint32_t reserved, uint32_t timeoutMs, uint32_t mode) {
    if (buffer == nullptr || reserved != 0 || mode > 1) return St::Error;
    return DiscoverCameras(*buffer, timeoutMs, mode == 1);
}

Status OpenCamera(uint8_t index, const ConnectionRecord* connection, uint32_t, uint32_t, uint32_t) {
    if (connection == nullptr) return St::Error;
    return Table().Open(index, *connection);
}

Status CloseCamera(uint8_t index) { return Table().Close(index); }

Status ReadSettings(uint8_t index, SettingsRecord* settings) {
    if (settings == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.ReadSettings(*settings); });
}

Status WriteSettings(uint8_t index, const SettingsRecord* settings) {
    if (settings == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.WriteSettings(*settings); });
}

Status ReadTimeouts(uint8_t index, uint32_t* timeoutMs, uint8_t* retries) {
    if (timeoutMs == nullptr || retries == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) {
        c.ReadTimeouts(*timeoutMs, *retries);
        return St::Ok;
    });
}

Status WriteTimeouts(uint8_t index, uint32_t timeoutMs, uint8_t retries) {
    return WithCamera(index, [&](CameraConnection& c) { return c.WriteTimeouts(timeoutMs, retries); });
}

Status WriteMode(uint8_t index, uint8_t mode) {
    return WithCamera(index, [&](CameraConnection& c) { return c.WriteMode(mode); });
}

Status ReadMode(uint8_t index, uint8_t* mode) {
    if (mode == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) {
        *mode = c.Mode();
        return St::Ok;
    });
}

Status ReadRegisters(uint8_t index, uint32_t address, uint8_t count, uint32_t* values) {
    if (values == nullptr || count == 0) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.Control().ReadRegisters(address, count, values); });
}

Status WriteRegisters(uint8_t index, uint32_t address, uint8_t count, const uint32_t* values) {
    if (values == nullptr || count == 0) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.Control().WriteRegisters(address, count, values); });
}

Status ReadMemory(uint8_t index, uint32_t address, uint32_t length, uint8_t* bytes) {
    if (bytes == nullptr || length == 0) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.Control().ReadMemory(address, length, bytes); });
}

Status WriteMemory(uint8_t index, uint32_t address, uint32_t length, const uint8_t* bytes) {
    if (bytes == nullptr || length == 0) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.Control().WriteMemory(address, length, bytes); });
}

Status GetLinkState(uint8_t index, uint8_t* state, uint8_t* missed) {
    if (state == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) {
        uint8_t m = 0;
        c.GetLinkState(*state, m);
        if (missed != nullptr) *missed = m;
        return St::Ok;
    });
}

Status SetEventHandler(uint8_t index, EventHandler handler, void* context) {
    return WithCamera(index, [&](CameraConnection& c) {
        c.SetEventHandler(handler, context);
        return St::Ok;
    });
}

Status OpenEventChannel(uint8_t index) {
    return WithCamera(index, [&](CameraConnection& c) { return c.OpenEventChannel(); });
}

Status CloseEventChannel(uint8_t index) {
    return WithCamera(index, [&](CameraConnection& c) { return c.CloseEventChannel(); });
}

Status LongCommand(uint8_t index, uint16_t* result, uint32_t argument, uint32_t timeoutMs, uint32_t code) {
    if (result == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.LongCommand(*result, argument, timeoutMs, code); });
}

Status ForceIp(uint32_t address, uint32_t mask, uint32_t gateway, const uint8_t* mac) {
    return ForceCameraIp(address, mask, gateway, mac, 1000);
}

Status OpenStreamChannel(uint8_t index, uint32_t hostAddress, uint16_t port, uint32_t) {
    const uint32_t host = (hostAddress >> 24) | ((hostAddress >> 8) & 0xFF00) | ((hostAddress << 8) & 0xFF0000) |
                          (hostAddress << 24);  // network to host order
    return WithCamera(index, [&](CameraConnection& c) { return c.OpenStreamChannel(host, port); });
}

Status CloseStreamChannel(uint8_t index) {
    return WithCamera(index, [&](CameraConnection& c) { return c.CloseStreamChannel(); });
}

Status StartAcquisition(uint8_t index, uint32_t) {
    return WithCamera(index, [&](CameraConnection& c) { return c.StartAcquisition(); });
}

Status StopAcquisition(uint8_t index) {
    return WithCamera(index, [&](CameraConnection& c) { return c.StopAcquisition(); });
}

Status SetFrameBufferSize(uint8_t index, uint64_t bytes, uint32_t packetPayload) {
    return WithCamera(index, [&](CameraConnection& c) { return c.SetFrameBufferSize(bytes, packetPayload); });
}

Status GetFrameBuffer(uint8_t index, uint32_t, void** buffer) {
    if (buffer == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) {
        *buffer = c.FrameBuffer();
        return *buffer != nullptr ? St::Ok : St::Error;
    });
}

Status WaitForFrame(uint8_t index, FrameRecord* record) {
    if (record == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) { return c.WaitForFrame(*record); });
}

Status GetStreamStatistics(uint8_t index, StreamStatistics* statistics) {
    if (statistics == nullptr) return St::Error;
    return WithCamera(index, [&](CameraConnection& c) {
        *statistics = c.Statistics();
        return St::Ok;
    });
}

}  // namespace Kovon::Pelion
