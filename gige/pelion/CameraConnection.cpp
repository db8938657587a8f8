#include "gige/pelion/CameraConnection.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/GvcpCodec.h"
#include "gige/pelion/GvspCodec.h"

namespace Kovon::Pelion {

using Clock = std::chrono::steady_clock;

CameraConnection::CameraConnection(const ConnectionRecord& connection) : connection_(connection) {
    cameraIp_ = (uint32_t{connection.cameraIp[0]} << 24) | (uint32_t{connection.cameraIp[1]} << 16) |
                (uint32_t{connection.cameraIp[2]} << 8) | connection.cameraIp[3];
    hostIp_ = ntohl(connection.hostAddress);
    settings_.heartbeatTimeoutMs = 3000;
    settings_.packetTimeoutMs = 20;
    settings_.resendEnabled = 1;
    settings_.frameRetentionMs = 200;
    settings_.resendRounds = 3;
    settings_.frameWaitTimeoutMs = 1000;
}

CameraConnection::~CameraConnection() { Close(); }

bool CameraConnection::Reaches(const ConnectionRecord& c) const {
    return std::memcmp(c.cameraIp, connection_.cameraIp, 4) == 0;
}

Status CameraConnection::Open() {
    if (cameraIp_ == 0) return St::Error;
    if (!control_.Open(hostIp_, cameraIp_)) return St::Error;
    Status st = control_.WriteRegister(Reg::ControlPrivilege, Reg::PrivilegeControl);
    if (st == St::AccessDenied) st = St::AccessRefused;
    if (st != St::Ok) {
        control_.Close();
        return st;
    }
    uint32_t heartbeat = 0;
    if (control_.ReadRegister(Reg::HeartbeatTimeout, heartbeat) == St::Ok && heartbeat != 0) {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        settings_.heartbeatTimeoutMs = heartbeat;
    }
    stream_.SetSettings(settings_);
    open_ = true;
    stopping_ = false;
    heartbeat_ = std::thread([this] { HeartbeatLoop(); });
    return St::Ok;
}

void CameraConnection::Close() {
    if (!open_) return;
    CloseEventChannel();
    if (acquiring_) StopAcquisition();
    CloseStreamChannel();
    {
        std::lock_guard<std::mutex> lock(heartbeatMutex_);
        stopping_ = true;
    }
    heartbeatWake_.notify_all();
    if (heartbeat_.joinable()) heartbeat_.join();
    // Give control back; a camera that does not answer drops it by itself after its heartbeat time-out.
    control_.SetTimeouts(100, 0);
    control_.WriteRegister(Reg::ControlPrivilege, 0);
    control_.Close();
    open_ = false;
}

Status CameraConnection::ReadSettings(SettingsRecord& settings) const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    settings = settings_;
    return St::Ok;
}

Status CameraConnection::WriteSettings(const SettingsRecord& s) {
    if (s.heartbeatTimeoutMs < 100 || s.frameWaitTimeoutMs == 0 || s.resendEnabled > 1 || s.frameRetentionMs == 0)
        return St::InvalidSetting;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        settings_ = s;
    }
    stream_.SetSettings(s);
    heartbeatWake_.notify_all();
    return St::Ok;
}

Status CameraConnection::WriteTimeouts(uint32_t timeoutMs, uint8_t retries) {
    if (timeoutMs == 0 || timeoutMs > 60000 || retries > 20) return St::InvalidSetting;
    control_.SetTimeouts(timeoutMs, retries);
    return St::Ok;
}

// Bit 0 of the mode byte keeps the heartbeat running; other bits are reserved.
Status CameraConnection::WriteMode(uint8_t mode) {
    if ((mode & ~1u) != 0) return St::InvalidSetting;
    mode_ = mode;
    heartbeatWake_.notify_all();
    return St::Ok;
}

void CameraConnection::GetLinkState(uint8_t& state, uint8_t& missed) const {
    state = linkState_;
    missed = missed_;
}

void CameraConnection::HeartbeatLoop() {
    std::unique_lock<std::mutex> lock(heartbeatMutex_);
    while (!stopping_) {
        uint32_t timeoutMs;
        {
            std::lock_guard<std::mutex> s(settingsMutex_);
            timeoutMs = settings_.heartbeatTimeoutMs;
        }
        heartbeatWake_.wait_for(lock, std::chrono::milliseconds(std::max<uint32_t>(timeoutMs / 4, 50)));
        if (stopping_) break;
        if ((mode_ & 1) == 0) continue;
        lock.unlock();
        uint32_t ccp = 0;
        Status st = control_.ReadRegister(Reg::ControlPrivilege, ccp);
        if (st == St::Ok && ccp == 0) {
            // The camera dropped us (silent too long): take control again and set the channels back up.
            if (control_.WriteRegister(Reg::ControlPrivilege, Reg::PrivilegeControl) == St::Ok) {
                Restore();
                missed_ = 0;
                linkState_ = LinkState::Good;
            } else {
                linkState_ = LinkState::Lost;
            }
        } else if (st == St::Ok || st == St::AccessDenied) {
            missed_ = 0;
            linkState_ = st == St::Ok ? LinkState::Good : LinkState::Lost;
        } else {
            missed_ = static_cast<uint8_t>(std::min(255, missed_ + 1));
            auto silent = Clock::now() - control_.LastAnswer();
            linkState_ = silent > std::chrono::milliseconds(timeoutMs) ? LinkState::Lost : LinkState::Silent;
        }
        lock.lock();
    }
}

void CameraConnection::Restore() {
    if (eventsRunning_) {
        control_.WriteRegister(Reg::MessageDestination, hostIp_);
        control_.WriteRegister(Reg::MessagePort, eventSocket_.LocalPort());
    }
    if (stream_.IsOpen()) {
        control_.WriteRegister(Reg::StreamDestination0, hostIp_);
        control_.WriteRegister(Reg::StreamPort0, stream_.Port());
        if (acquiring_) control_.WriteRegister(Reg::AcquisitionStart, 1);
    }
}

void CameraConnection::SetEventHandler(EventHandler handler, void* context) {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler_ = handler;
    context_ = context;
}

Status CameraConnection::OpenEventChannel() {
    if (eventsRunning_) return St::Ok;
    uint32_t channels = 0;
    Status st = control_.ReadRegister(Reg::MessageChannels, channels);
    if (st != St::Ok) return st;
    if (channels == 0) return St::NoEventChannel;
    if (!eventSocket_.Open(hostIp_, 0)) return St::Error;
    st = control_.WriteRegister(Reg::MessageDestination, hostIp_);
    if (st == St::Ok) st = control_.WriteRegister(Reg::MessagePort, eventSocket_.LocalPort());
    if (st != St::Ok) {
        eventSocket_.Close();
        return st;
    }
    eventsRunning_ = true;
    eventThread_ = std::thread([this] { EventLoop(); });
    return St::Ok;
}

Status CameraConnection::CloseEventChannel() {
    if (!eventsRunning_) return St::Ok;
    eventsRunning_ = false;
    if (eventThread_.joinable()) eventThread_.join();
    Status st = control_.WriteRegister(Reg::MessagePort, 0);
    eventSocket_.Close();
    return st;
}

void CameraConnection::EventLoop() {
    uint8_t rx[Gvcp::kMaxPacket + 64];
    uint8_t ack[32];
    Gvcp::EventItem items[Gvcp::kMaxPayload / Gvcp::kEventItemSize];
    while (eventsRunning_) {
        uint32_t ip = 0;
        uint16_t port = 0;
        ssize_t n = eventSocket_.ReceiveFrom(rx, sizeof rx, ip, port, 50);
        if (n <= 0 || ip != cameraIp_) continue;
        auto cmd = Gvcp::DecodeCommand(rx, static_cast<size_t>(n));
        if (!cmd) continue;
        size_t count = 0;
        uint16_t answer = 0;
        if (cmd->command == Gvcp::Cmd::Event && Gvcp::DecodeEventCommand(*cmd, items, std::size(items), count)) {
            answer = Gvcp::Cmd::EventAck;
        } else if (auto e = cmd->command == Gvcp::Cmd::EventData ? Gvcp::DecodeEventDataCommand(*cmd) : std::nullopt) {
            items[0] = *e;
            count = 1;
            answer = Gvcp::Cmd::EventDataAck;
        } else {
            continue;
        }
        if (cmd->flags & Gvcp::Flag::AckRequired) {
            size_t size = Gvcp::EncodeAck(ack, sizeof ack, 0, answer, cmd->reqId, nullptr, 0);
            eventSocket_.SendTo(ack, size, ip, port);
        }
        EventHandler handler;
        void* context;
        {
            std::lock_guard<std::mutex> lock(handlerMutex_);
            handler = handler_;
            context = context_;
        }
        if (handler == nullptr) continue;
        for (size_t i = 0; i < count; ++i) {
            EventRecord r{};
            r.eventId = items[i].eventId;
            r.timestamp = items[i].timestamp;
            r.dataSize = items[i].dataSize;
            r.blockId = items[i].blockId;
            r.data = items[i].data;
            r.channel = items[i].channel;
            handler(0, &r, context);
        }
    }
}

Status CameraConnection::LongCommand(uint16_t& result, uint32_t argument, uint32_t timeoutMs, uint32_t code) {
    if (timeoutMs == 0) return St::Error;
    Status st = control_.WriteRegister(Reg::LongCommandArgument, argument);
    if (st == St::Ok) st = control_.WriteRegisterLong(Reg::LongCommandCode, code, timeoutMs);
    uint32_t value = 0;
    if (st == St::Ok) st = control_.ReadRegister(Reg::LongCommandResult, value);
    if (st == St::Ok) result = static_cast<uint16_t>(value);
    return st;
}

Status CameraConnection::OpenStreamChannel(uint32_t hostAddress, uint16_t port) {
    if (stream_.IsOpen()) return St::Error;
    uint32_t channels = 0;
    Status st = control_.ReadRegister(Reg::StreamChannels, channels);
    if (st != St::Ok) return st;
    if (channels == 0) return St::Error;
    const uint32_t host = hostAddress != 0 ? hostAddress : hostIp_;
    st = stream_.Open(host, port, cameraIp_);
    if (st != St::Ok) return st;
    st = control_.WriteRegister(Reg::StreamDestination0, host);
    if (st == St::Ok) st = control_.WriteRegister(Reg::StreamPort0, stream_.Port());
    if (st != St::Ok) stream_.Close();
    return st;
}

Status CameraConnection::CloseStreamChannel() {
    if (!stream_.IsOpen()) return St::Ok;
    Status st = control_.WriteRegister(Reg::StreamPort0, 0);
    stream_.Close();
    return st;
}

Status CameraConnection::StartAcquisition() {
    if (!stream_.IsOpen()) return St::Error;
    // Size the frame slots before the first packet arrives, from what the camera will send.
    uint32_t payload = 0, packetSize = 0;
    Status st = control_.ReadRegister(Reg::PayloadSize, payload);
    if (st == St::Ok) st = control_.ReadRegister(Reg::StreamPacketSize0, packetSize);
    if (st != St::Ok) return st;
    packetSize &= Reg::PacketSizeMask;
    if (packetSize <= Gvsp::kPacketOverhead || payload == 0) return St::Error;
    // Room for what a caller usually asks for afterwards (two bytes a pixel and a margin), so that
    // its SetFrameBufferSize does not move the buffers while frames arrive.
    st = stream_.SetBufferSize(uint64_t{payload} * 2 + 0x10000, packetSize - Gvsp::kPacketOverhead);
    if (st != St::Ok) return st;
    stream_.Reset();
    st = control_.WriteRegister(Reg::AcquisitionStart, 1);
    if (st == St::Ok) acquiring_ = true;
    return st;
}

Status CameraConnection::StopAcquisition() {
    acquiring_ = false;
    Status st = control_.WriteRegister(Reg::AcquisitionStop, 1);
    stream_.StopAccepting();
    return st;
}

Status CameraConnection::SetFrameBufferSize(uint64_t bytes, uint32_t packetPayload) {
    return stream_.SetBufferSize(bytes, packetPayload);
}

Status CameraConnection::WaitForFrame(FrameRecord& record) {
    uint32_t timeoutMs;
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        timeoutMs = settings_.frameWaitTimeoutMs;
    }
    return stream_.WaitForFrame(record, timeoutMs);
}

}  // namespace Kovon::Pelion
