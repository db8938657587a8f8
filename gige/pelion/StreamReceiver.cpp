#include "gige/pelion/StreamReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstring>

#include "gige/pelion/GvcpCodec.h"

namespace Kovon::Pelion {

namespace {
constexpr int kSocketBuffer = 64 << 20;
constexpr uint64_t kRestartBlocks = 16;
constexpr int kGatherUs = 250;

// True when block a comes after block b (16-bit ids wrap).
bool Newer(uint64_t a, uint64_t b, bool extendedId) {
    if (extendedId) return a > b;
    uint16_t d = static_cast<uint16_t>(a - b);
    return d != 0 && d < 0x8000;
}

uint64_t ImagePayload(const Gvsp::Leader& l) {
    const uint64_t bits = (l.pixelFormat >> 16) & 0xFF;
    const uint64_t line = uint64_t{l.width} * bits / 8 + l.paddingX;
    return line * l.height + l.paddingY;
}
}  // namespace

StreamReceiver::StreamReceiver() {
    settings_.packetTimeoutMs = 20;
    settings_.resendEnabled = 1;
    settings_.frameRetentionMs = 200;
    settings_.resendRounds = 3;
    settings_.frameWaitTimeoutMs = 1000;
}

StreamReceiver::~StreamReceiver() { Close(); }

Status StreamReceiver::Open(uint32_t hostIp, uint16_t port, uint32_t cameraIp) {
    Close();
    if (!socket_.Open(hostIp, port) || !resendSocket_.Open(hostIp, 0)) {
        socket_.Close();
        return St::Error;
    }
    socket_.SetReceiveBuffer(kSocketBuffer);
    timeval wake{0, 5000};  // the receiver looks at its stop flag and time-outs every 5 ms at least
    ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    port_ = socket_.LocalPort();
    cameraIp_ = cameraIp;
    packets_.assign(kBatch * kPacketBuffer, 0);
    for (size_t i = 0; i < kBatch; ++i) {
        iov_[i] = {packets_.data() + i * kPacketBuffer, kPacketBuffer};
        msgs_[i].msg_hdr = {};
        msgs_[i].msg_hdr.msg_iov = &iov_[i];
        msgs_[i].msg_hdr.msg_iovlen = 1;
        msgs_[i].msg_hdr.msg_name = &sources_[i];
        msgs_[i].msg_hdr.msg_namelen = sizeof sources_[i];
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_ = {};
        haveNewest_ = false;
    }
    running_ = true;
    thread_ = std::thread([this] { Loop(); });
    return St::Ok;
}

void StreamReceiver::Close() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    socket_.Close();
    resendSocket_.Close();
    port_ = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    frameReady_.notify_all();
}

Status StreamReceiver::SetBufferSize(uint64_t bytes, uint32_t packetPayload) {
    if (bytes == 0 || packetPayload == 0 || packetPayload > kPacketBuffer || bytes > (uint64_t{1} << 32))
        return St::Error;
    std::unique_lock<std::mutex> lock(mutex_);
    if (bytes <= capacity_ && packetPayload == packetPayload_) return St::Ok;
    // A slot being copied out by WaitForFrame must not move under it.
    slotFreed_.wait(lock, [&] {
        return std::none_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.state == SlotState::Delivering; });
    });
    const uint64_t size = std::max(bytes, capacity_);
    const uint64_t packets = (size + packetPayload - 1) / packetPayload;
    if (packets + 2 > Gvsp::kMaxStandardPacketId) return St::Error;
    try {
        for (Slot& s : slots_) {
            s.data.assign(size, 0);
            s.got.assign(packets + 2, 0);
            s.state = SlotState::Free;
        }
        // The delivered buffer keeps its address once it exists.
        if (delivered_.size() < size) delivered_.resize(size);
    } catch (const std::bad_alloc&) {
        return St::Error;
    }
    queueCount_ = 0;
    capacity_ = size;
    packetPayload_ = packetPayload;
    maxPacketId_ = static_cast<uint32_t>(packets + 1);
    return St::Ok;
}

void StreamReceiver::SetSettings(const SettingsRecord& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = s;
}

void StreamReceiver::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& s : slots_)
        if (s.state != SlotState::Delivering) s.state = SlotState::Free;
    queueCount_ = 0;
    // Packets of the previous acquisition may still arrive and must not count as new frames, so
    // the newest block id is kept; a camera that starts counting again from 1 is still accepted.
    restartPending_ = haveNewest_;
    accepting_ = true;
}

void StreamReceiver::StopAccepting() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accepting_ = false;
    }
    // Let the receiver work off what is already queued in the socket, so that packets sent before
    // the stop cannot pass for the next acquisition's frames. Bounded: a camera that keeps sending
    // after its stop does not hold the caller.
    for (int i = 0; i < 200 && running_; ++i) {
        int pending = 0;
        if (::ioctl(socket_.fd(), FIONREAD, &pending) != 0 || pending == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

StreamStatistics StreamReceiver::Statistics() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

void StreamReceiver::Loop() {
    auto lastHousekeeping = Clock::now();
    while (running_) {
        // Blocks (up to the socket's receive time-out) for the first packet, then takes whatever
        // else is already queued, up to a batch, in the same call.
        for (size_t i = 0; i < kBatch; ++i) msgs_[i].msg_hdr.msg_namelen = sizeof sources_[i];
        int n = ::recvmmsg(socket_.fd(), msgs_.data(), kBatch, MSG_WAITFORONE, nullptr);
        auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const uint64_t finishedBefore = stats_.framesCompleted + stats_.framesIncomplete;
            for (int i = 0; i < n; ++i) {
                const auto* from = reinterpret_cast<const sockaddr_in*>(&sources_[i]);
                if (from->sin_family != AF_INET || ntohl(from->sin_addr.s_addr) != cameraIp_) {
                    ++stats_.packetsRejected;
                    continue;
                }
                Process(packets_.data() + i * kPacketBuffer, std::min<size_t>(msgs_[i].msg_len, kPacketBuffer), now);
            }
            if (n <= 0 || now - lastHousekeeping >= std::chrono::milliseconds(2)) {
                Housekeeping(now);
                lastHousekeeping = now;
            }
            if (stats_.framesCompleted + stats_.framesIncomplete != finishedBefore) frameReady_.notify_all();
        }
        // A short batch means the receiver is ahead of the camera: let packets gather for a moment
        // rather than paying a system call for every one or two (the socket buffer holds them).
        if (n > 0 && static_cast<size_t>(n) < kBatch / 4)
            std::this_thread::sleep_for(std::chrono::microseconds(kGatherUs));
    }
}

void StreamReceiver::ResetSlot(Slot& s, uint64_t blockId, Clock::time_point now) {
    s.state = SlotState::Filling;
    s.blockId = blockId;
    std::fill(s.got.begin(), s.got.end(), 0);
    s.leader = s.trailer = s.damaged = false;
    s.leaderInfo = {};
    s.lastDataId = 0;
    s.nextExpected = 0;
    s.received = s.resent = s.requested = 0;
    s.extent = 0;
    s.rounds = 0;
    s.lastActivity = s.lastRequest = now;
    s.result = St::Ok;
    s.sequence = ++sequence_;
}

StreamReceiver::Slot* StreamReceiver::SlotFor(uint64_t blockId, bool extendedId, Clock::time_point now) {
    for (Slot& s : slots_)
        if (s.state == SlotState::Filling && s.blockId == blockId) return &s;
    if (!accepting_) return nullptr;
    const bool restarted = restartPending_ && blockId <= kRestartBlocks;
    if (haveNewest_ && !restarted && !Newer(blockId, newestBlock_, extendedId)) return nullptr;  // late packet
    restartPending_ = false;
    if (haveNewest_ && !restarted) {
        uint64_t gap = extendedId ? blockId - newestBlock_ : static_cast<uint16_t>(blockId - newestBlock_);
        if (gap > 1) stats_.framesDropped += gap - 1;
    }
    haveNewest_ = true;
    newestBlock_ = blockId;
    extendedIds_ = extendedId;

    auto pick = [&](SlotState state) -> Slot* {
        Slot* oldest = nullptr;
        for (Slot& s : slots_)
            if (s.state == state && (oldest == nullptr || s.sequence < oldest->sequence)) oldest = &s;
        return oldest;
    };
    Slot* slot = pick(SlotState::Free);
    if (slot == nullptr && queueCount_ != 0) {
        // The caller is behind: the oldest frame it has not collected goes, so that frames still
        // waiting for resent packets keep their slots.
        slot = &slots_[queue_[queueHead_]];
        queueHead_ = (queueHead_ + 1) % kSlots;
        --queueCount_;
        ++stats_.framesDropped;
    }
    if (slot == nullptr) {
        Slot* filling = pick(SlotState::Filling);
        if (filling == nullptr) return nullptr;  // every slot is being copied out: cannot happen
        Finish(*filling, filling->leader && filling->trailer ? St::FrameIncomplete : St::FrameDamaged);
        // Finish queued it; it is the only queued frame, and it goes to make room.
        slot = &slots_[queue_[queueHead_]];
        queueHead_ = (queueHead_ + 1) % kSlots;
        --queueCount_;
        ++stats_.framesDropped;
    }
    ResetSlot(*slot, blockId, now);
    // A camera sends its blocks one after another: a new block means the older ones are over,
    // so whatever they still miss (their end, typically) is asked for now rather than later.
    // One that can no longer be helped (no resend, or its rounds used up) is given up at once.
    const uint8_t maxRounds = std::max<uint8_t>(settings_.resendRounds, 1);
    for (Slot& s : slots_) {
        if (s.state != SlotState::Filling || &s == slot) continue;
        if (settings_.resendEnabled == 0 ||
            (s.rounds >= maxRounds && now - s.lastRequest > std::chrono::milliseconds(settings_.packetTimeoutMs)))
            Finish(s, s.leader && s.trailer && !s.damaged ? St::FrameIncomplete : St::FrameDamaged);
        else if (s.rounds == 0)
            RequestMissing(s, now);
    }
    return slot;
}

void StreamReceiver::Process(const uint8_t* data, size_t size, Clock::time_point now) {
    auto p = Gvsp::DecodePacket(data, size);
    if (!p || capacity_ == 0 || p->status != 0) {
        ++stats_.packetsRejected;
        return;
    }
    Slot* s = SlotFor(p->blockId, p->extendedId, now);
    if (s == nullptr) {
        ++stats_.packetsRejected;
        return;
    }
    if (p->packetId >= s->got.size()) {  // cannot belong to a frame that fits the buffer
        s->damaged = true;
        ++stats_.packetsRejected;
        return;
    }
    ++stats_.packetsReceived;
    s->lastActivity = now;
    const uint32_t id = p->packetId;
    if (s->got[id] != 0) return;  // duplicate
    const bool wasRequested = s->requested != 0 && id < s->nextExpected;

    switch (p->format) {
        case Gvsp::Format::Leader: {
            auto l = Gvsp::DecodeLeader(*p);
            if (!l) {
                s->damaged = true;
                return;
            }
            s->leader = true;
            s->leaderInfo = *l;
            if (l->payloadType == Gvsp::kPayloadTypeImage) {
                uint64_t bytes = ImagePayload(*l);
                uint64_t packets = (bytes + packetPayload_ - 1) / packetPayload_;
                if (bytes > capacity_ || packets > maxPacketId_) {
                    s->damaged = true;
                } else if (s->lastDataId == 0) {
                    s->lastDataId = static_cast<uint32_t>(packets);
                }
            }
            break;
        }
        case Gvsp::Format::Payload: {
            const uint64_t offset = uint64_t{id - 1} * packetPayload_;
            if (p->dataSize > packetPayload_ || offset + p->dataSize > capacity_) {
                s->damaged = true;
                --stats_.packetsReceived;  // counted above, but it is a rejected packet
                ++stats_.packetsRejected;
                return;
            }
            std::memcpy(s->data.data() + offset, p->data, p->dataSize);
            ++s->received;
            s->extent = std::max(s->extent, offset + p->dataSize);
            break;
        }
        case Gvsp::Format::Trailer:
            if (!Gvsp::DecodeTrailer(*p)) {
                s->damaged = true;
                return;
            }
            s->trailer = true;
            s->lastDataId = id - 1;
            break;
    }
    s->got[id] = 1;
    if (wasRequested) {
        ++s->resent;
        ++stats_.packetsResent;
    }
    if (id > s->nextExpected) RequestResend(*s, s->nextExpected, id - 1, p->extendedId);
    s->nextExpected = std::max(s->nextExpected, id + 1);
    CheckComplete(*s);
}

void StreamReceiver::CheckComplete(Slot& s) {
    if (s.state != SlotState::Filling || !s.leader || !s.trailer) return;
    if (s.received < s.lastDataId) {
        // Without resend nothing more will come once the trailer is in.
        if (settings_.resendEnabled == 0) Finish(s, s.damaged ? St::FrameDamaged : St::FrameIncomplete);
        return;
    }
    Finish(s, s.damaged ? St::FrameDamaged : St::Ok);
}

void StreamReceiver::Finish(Slot& s, Status result) {
    s.result = result;
    if (result == St::Ok) ++stats_.framesCompleted;
    else ++stats_.framesIncomplete;
    if (queueCount_ == kSlots) {  // cannot happen with one slot per queued frame; keep it safe
        s.state = SlotState::Free;
        ++stats_.framesDropped;
        return;
    }
    s.state = SlotState::Ready;
    queue_[(queueHead_ + queueCount_) % kSlots] = static_cast<size_t>(&s - slots_.data());
    ++queueCount_;
}

void StreamReceiver::RequestResend(Slot& s, uint32_t first, uint32_t last, bool extendedId) {
    if (settings_.resendEnabled == 0 || first > last) return;
    Gvcp::PacketResendCommand cmd;
    cmd.blockId = s.blockId;
    cmd.firstPacketId = first;
    cmd.lastPacketId = last;
    cmd.extendedId = extendedId;
    uint8_t packet[64];
    resendReqId_ = resendReqId_ == 0xFFFF ? 1 : resendReqId_ + 1;
    size_t n = Gvcp::EncodePacketResendCommand(packet, sizeof packet, resendReqId_, cmd);
    if (n == 0) return;
    resendSocket_.SendTo(packet, n, cameraIp_, Gvcp::kPort);
    s.requested += last - first + 1;
    s.rounds = std::max<uint8_t>(s.rounds, 1);
    s.lastRequest = Clock::now();
    ++stats_.resendRequests;
}

void StreamReceiver::RequestMissing(Slot& s, Clock::time_point now) {
    const uint32_t last = s.lastDataId != 0 ? s.lastDataId + 1 : s.nextExpected;  // trailer id when known
    uint32_t runStart = 0;
    bool inRun = false;
    const uint8_t rounds = s.rounds;
    for (uint32_t id = 0; id <= last && id < s.got.size(); ++id) {
        bool missing = s.got[id] == 0 && !(id == last && s.lastDataId == 0);
        if (missing && !inRun) runStart = id, inRun = true;
        if (!missing && inRun) {
            RequestResend(s, runStart, id - 1, extendedIds_);
            inRun = false;
        }
    }
    if (inRun) RequestResend(s, runStart, std::min<uint32_t>(last, static_cast<uint32_t>(s.got.size() - 1)), extendedIds_);
    s.rounds = static_cast<uint8_t>(rounds + 1);
    s.lastRequest = now;
}

void StreamReceiver::Housekeeping(Clock::time_point now) {
    const auto retention = std::chrono::milliseconds(settings_.frameRetentionMs);
    const auto packetTimeout = std::chrono::milliseconds(settings_.packetTimeoutMs);
    for (Slot& s : slots_) {
        if (s.state != SlotState::Filling) continue;
        if (now - s.lastActivity > retention && now - s.lastRequest > retention) {
            Finish(s, s.leader && s.trailer && !s.damaged ? St::FrameIncomplete : St::FrameDamaged);
            continue;
        }
        // Missing packets after a quiet spell: ask again, a limited number of times.
        bool tailUnknown = !s.trailer;
        if (settings_.resendEnabled != 0 && s.rounds < std::max<uint8_t>(settings_.resendRounds, 1) &&
            now - s.lastRequest > packetTimeout && now - s.lastActivity > packetTimeout &&
            (s.received < s.lastDataId || !s.leader || tailUnknown)) {
            RequestMissing(s, now);
        }
    }
}

Status StreamReceiver::WaitForFrame(FrameRecord& record, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (delivered_.empty()) return St::Error;
    if (!frameReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return queueCount_ != 0; }))
        return St::Timeout;
    Slot& s = slots_[queue_[queueHead_]];
    queueHead_ = (queueHead_ + 1) % kSlots;
    --queueCount_;
    s.state = SlotState::Delivering;
    const uint64_t dropped = stats_.framesDropped;
    lock.unlock();

    const uint64_t bytes = std::min<uint64_t>(s.extent, delivered_.size());
    std::memcpy(delivered_.data(), s.data.data(), bytes);
    record = {};
    record.blockId = s.blockId;
    record.timestamp = s.leaderInfo.timestamp;
    record.pixelFormat = s.leaderInfo.pixelFormat;
    record.width = s.leaderInfo.width;
    record.height = s.leaderInfo.height;
    record.offsetX = s.leaderInfo.offsetX;
    record.offsetY = s.leaderInfo.offsetY;
    record.payloadBytes = static_cast<uint32_t>(bytes);
    record.packetCount = s.received;
    record.expectedPackets = s.lastDataId;
    record.missingPackets = s.lastDataId > s.received ? s.lastDataId - s.received : 0;
    record.resentPackets = s.resent;
    record.status = s.result;
    record.framesDropped = dropped;
    const Status result = s.result;

    lock.lock();
    s.state = SlotState::Free;
    slotFreed_.notify_all();
    return result;
}

}  // namespace Kovon::Pelion
