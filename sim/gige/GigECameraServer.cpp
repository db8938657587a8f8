#include "sim/gige/GigECameraServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "gige/pelion/Bootstrap.h"
#include "gige/pelion/GvspCodec.h"
#include "sim/gige/GigEFrameGenerator.h"

namespace Kovon::Sim {

namespace Gvcp = Pelion::Gvcp;
namespace Gvsp = Pelion::Gvsp;
namespace DS = Pelion::Gvcp::DeviceStatus;
using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t kBatch = 64;
constexpr uint32_t kPatterns = 4;       // frames repeat their pattern every 4 block ids
constexpr size_t kRecentBlocks = 512;   // blocks whose packets can still be resent
constexpr uint32_t kWireOverhead = 28 + 38;  // IP + UDP headers, Ethernet framing and gap

bool IsLoopback(uint32_t ip) { return (ip >> 24) == 127; }
}  // namespace

GigECameraServer::GigECameraServer(GigECameraIdentity identity) : model_(std::move(identity)) {}

GigECameraServer::~GigECameraServer() { Stop(); }

uint64_t GigECameraServer::NowMs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

bool GigECameraServer::Start() {
    if (running_) return true;
    const uint32_t ip = model_.Ip();
    // Only a camera on a real interface shares its port with the wildcard socket that hears
    // broadcasts; on loopback the bind itself keeps one camera per address.
    if (!control_.Open(ip, Gvcp::kPort, !IsLoopback(ip))) return false;
    if (!IsLoopback(ip)) broadcast_.Open(0, Gvcp::kPort, true);
    if (!message_.Open(ip, 0)) {
        control_.Close();
        broadcast_.Close();
        return false;
    }
    running_ = true;
    controlThread_ = std::thread([this] { ControlLoop(); });
    streamThread_ = std::thread([this] { StreamLoop(); });
    return true;
}

void GigECameraServer::Stop() {
    running_ = false;
    wake_.notify_all();
    if (controlThread_.joinable()) controlThread_.join();
    if (streamThread_.joinable()) streamThread_.join();
    control_.Close();
    broadcast_.Close();
    message_.Close();
}

void GigECameraServer::SetPacketLoss(double fraction) {
    fraction = std::clamp(fraction, 0.0, 1.0);
    lossPpm_ = static_cast<uint32_t>(fraction * 1e6 + 0.5);
}

void GigECameraServer::SetLinkUp(bool up) { linkUp_ = up; }
void GigECameraServer::SetLinkSpeed(uint64_t bps) { linkBitsPerSecond_ = bps; }

void GigECameraServer::SetLongCommandDuration(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.SetLongCommandDurationMs(ms);
}

GigECameraCounters GigECameraServer::Counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

uint32_t GigECameraServer::Ip() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Ip();
}

GigEStreamConfig GigECameraServer::StreamConfig() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.Stream();
}

bool GigECameraServer::FireEvent(uint16_t eventId, const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    return SendEventLocked(eventId, data, size);
}

bool GigECameraServer::SendEventLocked(uint16_t eventId, const uint8_t* data, size_t size) {
    const uint16_t port = model_.MessagePort();
    const uint32_t dest = model_.MessageDestination();
    if (!linkUp_ || port == 0 || dest == 0 || size > Gvcp::kMaxEventData) return false;
    Gvcp::EventItem item;
    item.eventId = eventId;
    item.timestamp = NowMs() * 1'000'000;
    item.data = data;
    item.dataSize = static_cast<uint16_t>(size);
    eventReqId_ = eventReqId_ == 0xFFFF ? 1 : eventReqId_ + 1;
    uint8_t packet[Gvcp::kMaxPacket];
    size_t n = size > 0 ? Gvcp::EncodeEventDataCommand(packet, sizeof packet, eventReqId_, item, true)
                        : Gvcp::EncodeEventCommand(packet, sizeof packet, eventReqId_, &item, 1, true);
    if (n == 0 || message_.SendTo(packet, n, dest, port) != static_cast<ssize_t>(n)) return false;
    ++counters_.eventsSent;
    return true;
}

void GigECameraServer::SendAck(const uint8_t* packet, size_t size, uint32_t ip, uint16_t port) {
    if (size != 0 && linkUp_) control_.SendTo(packet, size, ip, port);
}

void GigECameraServer::ControlLoop() {
    uint8_t buffer[2048];
    while (running_) {
        pollfd fds[2] = {{control_.fd(), POLLIN, 0}, {broadcast_.fd(), POLLIN, 0}};
        int count = broadcast_.valid() ? 2 : 1;
        ::poll(fds, count, 20);
        for (int i = 0; i < count; ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            Pelion::UdpSocket& s = i == 0 ? control_ : broadcast_;
            uint32_t ip = 0;
            uint16_t port = 0;
            ssize_t n = s.ReceiveFrom(buffer, sizeof buffer, ip, port, 0);
            if (n > 0 && linkUp_) HandleCommand(buffer, static_cast<size_t>(n), ip, port, i == 1);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (model_.ExpireHeartbeat(NowMs())) ++counters_.heartbeatExpiries;
    }
}

void GigECameraServer::AfterCommand() {
    for (uint16_t id : model_.TakeTestEvents()) SendEventLocked(id, nullptr, 0);
    if (model_.TakeTestPacketRequest()) {
        GigEStreamConfig c = model_.Stream();
        if (c.port != 0 && c.packetSize > Gvsp::kIpUdpOverhead) {
            std::vector<uint8_t> test(c.packetSize - Gvsp::kIpUdpOverhead, 0);
            message_.SendTo(test.data(), test.size(), c.destination, c.port);
        }
    }
}

void GigECameraServer::HandleCommand(const uint8_t* data, size_t size, uint32_t ip, uint16_t port,
                                     bool broadcastSocket) {
    auto cmd = Gvcp::DecodeCommand(data, size);
    if (!cmd) return;
    const bool ackRequired = (cmd->flags & Gvcp::Flag::AckRequired) != 0;
    const GigEPeer from{ip, port};
    uint8_t ack[Gvcp::kMaxPacket];
    size_t ackSize = 0;
    uint32_t pendingMs = 0;

    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t now = NowMs();
    ++counters_.commands;
    if (broadcastSocket && cmd->command != Gvcp::Cmd::Discovery && cmd->command != Gvcp::Cmd::ForceIp) return;

    switch (cmd->command) {
        case Gvcp::Cmd::Discovery:
            ackSize = Gvcp::EncodeDiscoveryAck(ack, sizeof ack, cmd->reqId, model_.DiscoveryInfo());
            break;
        case Gvcp::Cmd::ForceIp: {
            auto f = Gvcp::DecodeForceIpCommand(*cmd);
            if (!f || std::memcmp(f->mac, model_.Identity().mac, 6) != 0) return;  // not for us
            uint16_t status = DS::Success;
            if (f->ip != 0 && f->ip != model_.Ip()) {
                Pelion::UdpSocket moved, movedMessage;
                if (moved.Open(f->ip, Gvcp::kPort, !IsLoopback(f->ip)) && movedMessage.Open(f->ip, 0)) {
                    ackSize = Gvcp::EncodeAck(ack, sizeof ack, status, Gvcp::Cmd::ForceIpAck, cmd->reqId, nullptr, 0);
                    if (ackRequired) SendAck(ack, ackSize, ip, port);
                    model_.ApplyForceIp(*f);
                    control_ = std::move(moved);
                    message_ = std::move(movedMessage);
                    wake_.notify_all();
                    return;
                }
                status = DS::Error;
            }
            ackSize = Gvcp::EncodeAck(ack, sizeof ack, status, Gvcp::Cmd::ForceIpAck, cmd->reqId, nullptr, 0);
            break;
        }
        case Gvcp::Cmd::ReadReg: {
            uint32_t addresses[Gvcp::kMaxReadRegisters];
            uint32_t values[Gvcp::kMaxReadRegisters];
            size_t count = 0;
            if (!Gvcp::DecodeReadRegCommand(*cmd, addresses, Gvcp::kMaxReadRegisters, count)) {
                ackSize = Gvcp::EncodeAck(ack, sizeof ack, DS::InvalidHeader, Gvcp::Cmd::ReadRegAck, cmd->reqId, nullptr, 0);
                break;
            }
            uint16_t status = DS::Success;
            for (size_t i = 0; i < count && status == DS::Success; ++i)
                status = model_.ReadRegister(addresses[i], values[i], from, now);
            ackSize = status == DS::Success
                          ? Gvcp::EncodeReadRegAck(ack, sizeof ack, cmd->reqId, values, count)
                          : Gvcp::EncodeAck(ack, sizeof ack, status, Gvcp::Cmd::ReadRegAck, cmd->reqId, nullptr, 0);
            break;
        }
        case Gvcp::Cmd::WriteReg: {
            Gvcp::RegisterWrite writes[Gvcp::kMaxWriteRegisters];
            size_t count = 0;
            if (!Gvcp::DecodeWriteRegCommand(*cmd, writes, Gvcp::kMaxWriteRegisters, count)) {
                ackSize = Gvcp::EncodeWriteAck(ack, sizeof ack, DS::InvalidHeader, Gvcp::Cmd::WriteRegAck, cmd->reqId, 0);
                break;
            }
            uint16_t status = DS::Success;
            uint16_t done = 0;
            for (size_t i = 0; i < count; ++i) {
                status = model_.WriteRegister(writes[i].address, writes[i].value, from, now);
                if (status != DS::Success) break;
                ++done;
            }
            pendingMs = model_.TakeLongCommandDurationMs();
            ackSize = Gvcp::EncodeWriteAck(ack, sizeof ack, status, Gvcp::Cmd::WriteRegAck, cmd->reqId, done);
            break;
        }
        case Gvcp::Cmd::ReadMem: {
            auto m = Gvcp::DecodeReadMemCommand(*cmd);
            if (!m) {
                ackSize = Gvcp::EncodeAck(ack, sizeof ack, DS::InvalidHeader, Gvcp::Cmd::ReadMemAck, cmd->reqId, nullptr, 0);
                break;
            }
            uint8_t bytes[Gvcp::kMaxMemoryBlock];
            uint16_t status = model_.ReadMemory(m->address, bytes, m->count, from, now);
            ackSize = status == DS::Success
                          ? Gvcp::EncodeReadMemAck(ack, sizeof ack, cmd->reqId, m->address, bytes, m->count)
                          : Gvcp::EncodeAck(ack, sizeof ack, status, Gvcp::Cmd::ReadMemAck, cmd->reqId, nullptr, 0);
            break;
        }
        case Gvcp::Cmd::WriteMem: {
            auto m = Gvcp::DecodeWriteMemCommand(*cmd);
            uint16_t status = m ? model_.WriteMemory(m->address, m->data, m->size, from, now) : DS::InvalidHeader;
            pendingMs = model_.TakeLongCommandDurationMs();
            ackSize = Gvcp::EncodeWriteAck(ack, sizeof ack, status, Gvcp::Cmd::WriteMemAck, cmd->reqId,
                                           status == DS::Success ? m->size : 0);
            break;
        }
        case Gvcp::Cmd::PacketResend: {
            auto r = Gvcp::DecodePacketResendCommand(*cmd);
            ++counters_.resendRequests;
            if (r) {
                if (resends_.size() < 4096) resends_.push_back(*r);
                wake_.notify_all();
            }
            return;  // never acknowledged
        }
        default:
            ackSize = Gvcp::EncodeAck(ack, sizeof ack, DS::NotImplemented, cmd->command + 1, cmd->reqId, nullptr, 0);
            break;
    }
    AfterCommand();
    lock.unlock();
    if (!ackRequired) return;
    if (pendingMs > 0) {
        // A long command: tell the host how long it takes, then answer when it is done.
        uint8_t pending[16];
        size_t n = Gvcp::EncodePendingAck(pending, sizeof pending, cmd->reqId,
                                          static_cast<uint16_t>(std::min<uint32_t>(pendingMs, 0xFFFF)));
        SendAck(pending, n, ip, port);
        auto until = Clock::now() + std::chrono::milliseconds(pendingMs);
        while (running_ && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    SendAck(ack, ackSize, ip, port);
}

void GigECameraServer::StreamLoop() {
    Pelion::UdpSocket sock;
    uint32_t boundIp = 0;
    uint64_t framesGeneration = 0;
    std::vector<std::vector<uint8_t>> frames(kPatterns);
    std::deque<uint64_t> recent;  // block ids sent with the current frames
    std::mt19937 rng(0x5EED);
    std::uniform_int_distribution<uint32_t> ppm(0, 999'999);

    uint8_t headers[kBatch][64];
    iovec iov[kBatch][2];
    mmsghdr msgs[kBatch];
    size_t pending = 0;
    sockaddr_in dest{};
    auto nextSend = Clock::now();
    auto nextFrame = Clock::now();
    uint64_t sent = 0, dropped = 0;

    auto flush = [&]() {
        if (pending == 0) return;
        size_t done = 0;
        while (done < pending) {
            int r = ::sendmmsg(sock.fd(), msgs + done, static_cast<unsigned>(pending - done), 0);
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        pending = 0;
        const uint64_t bps = linkBitsPerSecond_;
        if (bps == 0) return;
        auto now = Clock::now();
        if (nextSend > now + std::chrono::microseconds(500)) std::this_thread::sleep_until(nextSend);
        else if (nextSend + std::chrono::milliseconds(20) < now) nextSend = now;  // do not burst to catch up
    };
    // Queues one packet: a header and optionally a pointer into frame data.
    auto queue = [&](size_t headerSize, const uint8_t* data, size_t dataSize) {
        if (lossPpm_ != 0 && ppm(rng) < lossPpm_) {
            ++dropped;
            return;
        }
        iov[pending][0] = {headers[pending], headerSize};
        iov[pending][1] = {const_cast<uint8_t*>(data), dataSize};
        msgs[pending].msg_hdr = {};
        msgs[pending].msg_hdr.msg_name = &dest;
        msgs[pending].msg_hdr.msg_namelen = sizeof dest;
        msgs[pending].msg_hdr.msg_iov = iov[pending];
        msgs[pending].msg_hdr.msg_iovlen = dataSize != 0 ? 2 : 1;
        ++pending;
        ++sent;
        const uint64_t bps = linkBitsPerSecond_;
        if (bps != 0)
            nextSend += std::chrono::nanoseconds((headerSize + dataSize + kWireOverhead) * 8'000'000'000ull / bps);
        if (pending == kBatch) flush();
    };
    // Sends packets first..last of a block.
    auto sendRange = [&](const GigEStreamConfig& c, uint64_t blockId, uint32_t first, uint32_t last) {
        const std::vector<uint8_t>& frame = frames[blockId % kPatterns];
        const uint32_t chunk = c.packetSize - Gvsp::kPacketOverhead;
        const uint32_t dataPackets = static_cast<uint32_t>((c.payloadSize + chunk - 1) / chunk);
        last = std::min(last, dataPackets + 1);
        for (uint32_t id = first; id <= last && running_; ++id) {
            uint8_t* h = headers[pending];
            if (id == 0) {
                Gvsp::Leader l;
                l.timestamp = NowMs() * 1'000'000;
                l.pixelFormat = c.pixelFormat;
                l.width = c.width;
                l.height = c.height;
                queue(Gvsp::EncodeImageLeader(h, 64, blockId, false, l), nullptr, 0);
            } else if (id == dataPackets + 1) {
                queue(Gvsp::EncodeImageTrailer(h, 64, blockId, id, false, c.height), nullptr, 0);
            } else {
                size_t offset = size_t{id - 1} * chunk;
                size_t n = std::min<size_t>(chunk, c.payloadSize - offset);
                queue(Gvsp::EncodeHeader(h, 64, 0, blockId, Gvsp::Format::Payload, id, false), frame.data() + offset, n);
            }
        }
    };

    while (running_) {
        GigEStreamConfig c;
        uint32_t ip;
        std::deque<Gvcp::PacketResendCommand> resends;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            c = model_.Stream();
            ip = model_.Ip();
            resends.swap(resends_);
            if (resends.empty() && (!c.acquiring || c.port == 0 || c.payloadSize == 0 || !linkUp_)) {
                counters_.packetsSent += sent;
                counters_.packetsDropped += dropped;
                sent = dropped = 0;
                wake_.wait_for(lock, std::chrono::milliseconds(10));
                continue;
            }
        }
        if (ip != boundIp) {
            sock.Open(ip, 0);
            int big = 4 << 20;
            ::setsockopt(sock.fd(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
            boundIp = ip;
        }
        if (c.generation != framesGeneration) {
            for (uint32_t s = 0; s < kPatterns; ++s) {
                frames[s].assign(c.payloadSize, 0);
                GigEFrameGenerator::Fill(c.pixelFormat, c.width, c.height, s, frames[s].data());
            }
            framesGeneration = c.generation;
            recent.clear();
        }
        dest = {};
        dest.sin_family = AF_INET;
        dest.sin_addr.s_addr = htonl(c.destination);
        dest.sin_port = htons(c.port);
        if (!linkUp_ || c.port == 0 || c.packetSize <= Gvsp::kPacketOverhead) continue;

        uint64_t resent = 0;
        for (const auto& r : resends) {
            if (std::find(recent.begin(), recent.end(), r.blockId) == recent.end()) continue;
            uint64_t before = sent + dropped;
            sendRange(c, r.blockId, r.firstPacketId, r.lastPacketId);
            resent += sent + dropped - before;
        }
        flush();
        if (resent != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            counters_.packetsResent += resent;
        }
        if (!c.acquiring) continue;
        if (c.framePeriodUs != 0 && Clock::now() < nextFrame) {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait_until(lock, nextFrame, [&] { return !running_ || !resends_.empty(); });
            continue;
        }

        uint64_t blockId;
        {
            // A stop or a new geometry since the snapshot: no frame of the old one starts.
            std::lock_guard<std::mutex> lock(mutex_);
            GigEStreamConfig now = model_.Stream();
            if (!now.acquiring || now.generation != c.generation) continue;
            blockId = model_.NextBlockId();
        }
        auto frameStart = Clock::now();
        sendRange(c, blockId, 0, 0xFFFFFF);
        flush();
        recent.push_back(blockId);
        if (recent.size() > kRecentBlocks) recent.pop_front();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++counters_.framesSent;
            counters_.packetsSent += sent;
            counters_.packetsDropped += dropped;
            sent = dropped = 0;
        }
        nextFrame = frameStart + std::chrono::microseconds(c.framePeriodUs);
    }
}

}  // namespace Kovon::Sim
