#include "gige/pelion/StreamReceiver.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "gige/pelion/GvcpCodec.h"

namespace Kovon::Pelion {

namespace {

std::atomic<bool> gPacketRingAllowed{true};
constexpr int kSocketBuffer = 64 << 20;
constexpr uint64_t kRestartBlocks = 16;
constexpr int kGatherUs = 1000;  // at most this much later than the packets' arrival
constexpr size_t kRingBytes = 64 << 20;
constexpr int kPatienceMs = 30;
constexpr double kPatienceBacklog = 0.5;
constexpr double kMaxKept = 0.25;  // share of the ring that frames waiting for the caller may keep
constexpr int kWakeMs = 5;         // the receiver looks at its stop flag and time-outs at least this often

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

StreamReceiver::~StreamReceiver() {
    Close();
}

Status StreamReceiver::Open(uint32_t hostIp, uint16_t port, uint32_t cameraIp) {
    Close();
    if (!socket_.Open(hostIp, port) || !resendSocket_.Open(hostIp, 0)) {
        socket_.Close();
        return St::Error;
    }
    port_ = socket_.LocalPort();
    cameraIp_ = cameraIp;
    {
        // Frames of an earlier session that still point into its ring go before the ring is remapped.
        std::unique_lock<std::mutex> lock(mutex_);
        slotFreed_.wait(lock, [&] {
            return std::none_of(slots_.begin(), slots_.end(),
                                [](const Slot& s) { return s.state == SlotState::Delivering; });
        });
        bool dropped = false;
        for (Slot& s : slots_) {
            if (!s.inRing) continue;
            ReleaseRing(s);
            s.inRing = false;
            s.state = SlotState::Free;
            dropped = true;
        }
        if (dropped) queueCount_ = 0;
    }
    if (gPacketRingAllowed.load(std::memory_order_relaxed) && ring_.Open(cameraIp, hostIp, port_, kRingBytes)) {
        // The ring sees every packet first; the socket, which only holds the port, keeps none.
        sock_filter dropAll = BPF_STMT(BPF_RET | BPF_K, 0);
        sock_fprog program{1, &dropAll};
        if (::setsockopt(socket_.fd(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
            ring_.Close();
    }
    if (!ring_.IsOpen()) {
        socket_.SetReceiveBuffer(kSocketBuffer);
        timeval wake{0, kWakeMs * 1000};  // the receiver looks at its stop flag and time-outs this often
        ::setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    }
    packets_.assign(kBatch * kPacketBuffer, 0);
    for (size_t i = 0; i < kBatch; ++i) {
        msgs_[i].msg_hdr = {};
        msgs_[i].msg_hdr.msg_iov = &iov_[2 * i];
        msgs_[i].msg_hdr.msg_iovlen = 2;
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
    ring_.Close();
    port_ = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    frameReady_.notify_all();
}

Status StreamReceiver::SetBufferSize(uint64_t bytes, uint32_t packetPayload) {
    if (bytes == 0 || packetPayload == 0 || packetPayload > kPacketBuffer || bytes > (uint64_t{1} << 32))
        return St::Error;
    std::unique_lock<std::mutex> lock(mutex_);
    if (bytes <= capacity_ && packetPayload == packetPayload_) return St::Ok;
    // A slot being copied out by WaitForFrame, or written by the kernel in a receive, must not move.
    slotFreed_.wait(lock, [&] {
        return !receiving_ && std::none_of(slots_.begin(), slots_.end(),
                                           [](const Slot& s) { return s.state == SlotState::Delivering; });
    });
    const uint64_t size = std::max(bytes, capacity_);
    const uint64_t packets = (size + packetPayload - 1) / packetPayload;
    if (packets + 2 > Gvsp::kMaxStandardPacketId) return St::Error;
    try {
        for (Slot& s : slots_) {
            ReleaseRing(s);
            s.data.assign(size, 0);
            s.got.assign(packets + 2, 0);
            s.where.assign(packets + 2, nullptr);
            s.sizes.assign(packets + 2, 0);
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
    slotFreed_.notify_all();
    return St::Ok;
}

void StreamReceiver::SetSettings(const SettingsRecord& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = s;
}

void StreamReceiver::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& s : slots_) {
        if (s.state == SlotState::Delivering) continue;
        ReleaseRing(s);
        s.state = SlotState::Free;
    }
    queueCount_ = 0;
    // Packets of the previous acquisition may still arrive and must not count as new frames, so
    // the newest block id is kept; a camera that starts counting again from 1 is still accepted.
    restartPending_ = haveNewest_;
    accepting_ = true;
    patient_ = true;
    slotFreed_.notify_all();
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
        if (ring_.IsOpen()) {
            std::lock_guard<std::mutex> lock(mutex_);  // the receiver moves through the ring under it
            if (!ring_.Pending()) break;
        } else if (::ioctl(socket_.fd(), FIONREAD, &pending) != 0 || pending == 0) {
            break;
        }
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
        if (ring_.IsOpen()) {
            ReceiveFromRing(lastHousekeeping);
        } else {
            ReceiveFromSocket(lastHousekeeping);
        }
    }
}

void StreamReceiver::ReceiveFromRing(Clock::time_point& lastHousekeeping) {
    bool fresh;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fresh = ring_.Fresh();
    }
    // Sleeps until the kernel hands the next block over: one wake-up per block, also while the
    // frame being filled keeps the block handed over last.
    if (!fresh) ring_.Wait(kWakeMs);
    const auto now = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t finishedBefore = stats_.framesCompleted + stats_.framesIncomplete;
    // One block at a time, so that WaitForFrame gets the lock in between.
    ringBlock_ = ring_.CurrentBlock();
    const size_t n = ring_.ConsumeBlock([&](const uint8_t* packet, size_t size, bool checksumChecked) {
        // The ring sees packets before the UDP layer would have checked them.
        auto d = ParseUdpDatagram(packet, size);
        if (!d || d->sourceIp != cameraIp_ || d->destinationPort != port_ ||
            (!checksumChecked && !UdpChecksumValid(packet, size))) {
            ++stats_.packetsRejected;
            return;
        }
        Process(lock, d->payload, d->payloadSize, now);
    });
    if (ring_.Kept() > kMaxKept) EvacuateOldest();
    EndBatch(now, n == 0, lastHousekeeping, finishedBefore);
}

// Points each datagram of the next batch at its place: the GVSP header to heads_, the payload to
// the newest frame's slot at the offset of the packet expected there (those not yet received, in
// order), or to packets_ when nothing is expected.
void StreamReceiver::PredictPlaces() {
    Slot* s = nullptr;
    for (Slot& candidate : slots_)
        if (candidate.state == SlotState::Filling && !candidate.inRing && haveNewest_ &&
            candidate.blockId == newestBlock_)
            s = &candidate;
    // Leaders and trailers land in the payload place too: it must hold them.
    const bool predict = s != nullptr && packetPayload_ >= 64 && !extendedIds_;
    const uint32_t lastData =
        predict ? (s->lastDataId != 0 ? s->lastDataId : static_cast<uint32_t>(s->got.size() - 2)) : 0;
    uint32_t id = predict ? std::max<uint32_t>(s->nextExpected, 1) : 0;
    for (size_t i = 0; i < kBatch; ++i, ++id) {
        uint8_t* place = nullptr;
        if (predict && id <= lastData && s->got[id] == 0 && uint64_t{id} * packetPayload_ <= s->data.size())
            place = s->data.data() + uint64_t{id - 1} * packetPayload_;
        predicted_[i] = place;
        iov_[2 * i] = {heads_[i].data(), Gvsp::kHeaderSize};
        if (place != nullptr)
            iov_[2 * i + 1] = {place, packetPayload_};
        else
            iov_[2 * i + 1] = {packets_.data() + i * kPacketBuffer + Gvsp::kHeaderSize,
                               kPacketBuffer - Gvsp::kHeaderSize};
    }
}

void StreamReceiver::ReceiveFromSocket(Clock::time_point& lastHousekeeping) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        PredictPlaces();
        receiving_ = true;
    }
    // Blocks (up to the socket's receive time-out) for the first packet, then takes whatever
    // else is already queued, up to a batch, in the same call.
    for (size_t i = 0; i < kBatch; ++i) msgs_[i].msg_hdr.msg_namelen = sizeof sources_[i];
    int n = ::recvmmsg(socket_.fd(), msgs_.data(), kBatch, MSG_WAITFORONE, nullptr);
    auto now = Clock::now();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t finishedBefore = stats_.framesCompleted + stats_.framesIncomplete;
        // First every datagram that did not land where it belongs goes whole to packets_, before
        // any payload is put in its place: one of those places may hold such a datagram.
        std::array<bool, kBatch> placed{};
        for (int i = 0; i < n; ++i) {
            const size_t size = msgs_[i].msg_len;
            uint8_t* whole = packets_.data() + i * kPacketBuffer;
            const uint8_t* h = heads_[i].data();
            if (predicted_[i] != nullptr && size > Gvsp::kHeaderSize &&
                (msgs_[i].msg_hdr.msg_flags & MSG_TRUNC) == 0) {
                const uint32_t id = (uint32_t{h[5]} << 16) | (uint32_t{h[6]} << 8) | h[7];
                const uint8_t* expected = nullptr;
                for (const Slot& s : slots_)
                    if (s.state == SlotState::Filling && !s.inRing &&
                        s.blockId == ((uint32_t{h[2]} << 8) | h[3]) && id >= 1 && id < s.got.size())
                        expected = s.data.data() + uint64_t{id - 1} * packetPayload_;
                placed[i] = h[0] == 0 && h[1] == 0 && h[4] == static_cast<uint8_t>(Gvsp::Format::Payload) &&
                            expected == predicted_[i];
                if (!placed[i])
                    std::memcpy(
                        whole + Gvsp::kHeaderSize, predicted_[i],
                        std::min<size_t>(size, Gvsp::kHeaderSize + packetPayload_) - Gvsp::kHeaderSize);
            }
            std::memcpy(whole, h, Gvsp::kHeaderSize);
        }
        for (int i = 0; i < n; ++i) {
            const auto* from = reinterpret_cast<const sockaddr_in*>(&sources_[i]);
            if (from->sin_family != AF_INET || ntohl(from->sin_addr.s_addr) != cameraIp_) {
                ++stats_.packetsRejected;
                continue;
            }
            // A datagram longer than its place was cut: its payload did not fit a packet.
            const bool truncated = (msgs_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
            const size_t limit =
                Gvsp::kHeaderSize +
                (predicted_[i] != nullptr ? packetPayload_ : kPacketBuffer - Gvsp::kHeaderSize);
            const size_t size = std::min<size_t>(msgs_[i].msg_len, limit);
            // A payload already in its place is read from there, its header from packets_.
            Process(lock, packets_.data() + i * kPacketBuffer, size, now, truncated,
                    placed[i] ? predicted_[i] : nullptr);
        }
        receiving_ = false;
        slotFreed_.notify_all();
        EndBatch(now, n <= 0, lastHousekeeping, finishedBefore);
    }
    // A batch that did not fill means the socket is empty: the receiver is ahead of the camera.
    // Let packets gather for a moment (the socket buffer holds them) rather than being woken by
    // the first packet of every burst the camera sends; a wake-up costs more than a packet.
    if (n > 0 && static_cast<size_t>(n) < kBatch)
        std::this_thread::sleep_for(std::chrono::microseconds(kGatherUs));
}

// Under the lock, after a batch of packets (or none): time-outs, and a wake-up for waiting callers.
void StreamReceiver::EndBatch(Clock::time_point now, bool idle, Clock::time_point& lastHousekeeping,
                              uint64_t finishedBefore) {
    if (idle || now - lastHousekeeping >= std::chrono::milliseconds(2)) {
        Housekeeping(now);
        lastHousekeeping = now;
    }
    if (stats_.framesCompleted + stats_.framesIncomplete != finishedBefore) frameReady_.notify_all();
}

void StreamReceiver::ReleaseRing(Slot& s) {
    for (size_t b = 0; s.ringBlocks != 0; ++b, s.ringBlocks >>= 1)
        if ((s.ringBlocks & 1) != 0) ring_.Unreference(b);
}

// Frames waiting for the caller keep their ring blocks from the kernel; at a low packet rate a
// block holds little, so a caller that falls behind could leave the kernel without room. Then the
// oldest frames move out of the ring into their own slots (a second copy, only in that case).
void StreamReceiver::EvacuateOldest() {
    while (ring_.Kept() > kMaxKept / 2) {
        Slot* oldest = nullptr;
        for (Slot& s : slots_)
            if (s.inRing && s.ringBlocks != 0 &&
                (s.state == SlotState::Ready || s.state == SlotState::Filling) &&
                (oldest == nullptr || s.sequence < oldest->sequence))
                oldest = &s;
        if (oldest == nullptr) return;
        Evacuate(*oldest);
    }
}

void StreamReceiver::Evacuate(Slot& s) {
    for (size_t id = 1; id < s.got.size(); ++id)
        if (s.got[id] != 0 && s.where[id] != nullptr)
            std::memcpy(s.data.data() + (id - 1) * packetPayload_, s.where[id], s.sizes[id]);
    ReleaseRing(s);
    s.inRing = false;
}

void StreamReceiver::ResetSlot(Slot& s, uint64_t blockId, Clock::time_point now) {
    ReleaseRing(s);
    s.inRing = ring_.IsOpen();
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
    s.blocksSinceRequest = 0;
    s.requestMark = 0;
    s.tailRequested = false;
    s.lastActivity = s.lastRequest = now;
    s.result = St::Ok;
    s.sequence = ++sequence_;
}

StreamReceiver::Slot* StreamReceiver::SlotFor(std::unique_lock<std::mutex>& lock, uint64_t blockId,
                                              bool extendedId, Clock::time_point now) {
    for (Slot& s : slots_)
        if (s.state == SlotState::Filling && s.blockId == blockId) return &s;
    if (!accepting_) return nullptr;
    const bool restarted = restartPending_ && blockId <= kRestartBlocks;
    if (haveNewest_ && !restarted && !Newer(blockId, newestBlock_, extendedId))
        return nullptr;  // late packet
    restartPending_ = false;
    if (haveNewest_ && !restarted) {
        uint64_t gap = extendedId ? blockId - newestBlock_ : static_cast<uint16_t>(blockId - newestBlock_);
        if (gap > 1) stats_.framesDropped += gap - 1;
    }
    haveNewest_ = true;
    newestBlock_ = blockId;
    extendedIds_ = extendedId;

    Slot* slot = FreeSlot();
    if (slot != nullptr) {
        patient_ = true;
    } else if (queueCount_ != 0 && patient_ && std::none_of(slots_.begin(), slots_.end(), [](const Slot& s) {
                   return s.state == SlotState::Filling && s.rounds != 0;
               })) {
        slot = WaitForFreeSlot(lock);
        if (!accepting_) return nullptr;  // stopped meanwhile
        now = Clock::now();
    }
    if (slot == nullptr && queueCount_ != 0) {
        // The caller is behind: the oldest frame it has not collected goes, so that frames still
        // waiting for resent packets keep their slots.
        slot = &slots_[queue_[queueHead_]];
        queueHead_ = (queueHead_ + 1) % kSlots;
        --queueCount_;
        ++stats_.framesDropped;
    }
    if (slot == nullptr) {
        Slot* filling = Oldest(SlotState::Filling);
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
    const bool fromSocket = !ring_.IsOpen();
    for (Slot& s : slots_) {
        if (s.state != SlotState::Filling || &s == slot) continue;
        if (fromSocket || ring_.ReadCount() >= s.requestMark) ++s.blocksSinceRequest;
        if (settings_.resendEnabled == 0 ||
            (s.rounds >= maxRounds &&
             now - s.lastRequest > std::chrono::milliseconds(settings_.packetTimeoutMs)))
            Finish(s, s.leader && s.trailer && !s.damaged ? St::FrameIncomplete : St::FrameDamaged);
        else if (s.rounds == 0 || (s.rounds < maxRounds && s.blocksSinceRequest >= 2))
            RequestMissing(s, now);  // first round, or the camera has moved on since the last one
        else if (!s.tailRequested && s.lastDataId != 0 && s.nextExpected <= s.lastDataId + 1)
            RequestResend(s, s.nextExpected, s.lastDataId + 1, extendedIds_);  // its end is missing too
    }
    return slot;
}

// The free slot used last: its memory is the likeliest to be in the cache still.
StreamReceiver::Slot* StreamReceiver::FreeSlot() {
    Slot* newest = nullptr;
    for (Slot& s : slots_)
        if (s.state == SlotState::Free && (newest == nullptr || s.sequence > newest->sequence)) newest = &s;
    return newest;
}

StreamReceiver::Slot* StreamReceiver::Oldest(SlotState state) {
    Slot* oldest = nullptr;
    for (Slot& s : slots_)
        if (s.state == state && (oldest == nullptr || s.sequence < oldest->sequence)) oldest = &s;
    return oldest;
}

// Every slot holds a frame the caller has not collected yet. A caller that is only briefly held up
// (scheduling) should not lose frames for it: the packets wait in the kernel's buffer meanwhile.
// The wait ends early when half the ring is taken (counted in blocks: at a low rate each block
// holds one retire period's packets only). Not while frames wait for resent packets: those would
// queue behind the backlog, and the frames arriving meanwhile would take every slot. A caller
// that stays behind loses its oldest frames as before, without further waits, until it has
// caught up.
StreamReceiver::Slot* StreamReceiver::WaitForFreeSlot(std::unique_lock<std::mutex>& lock) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (running_ && accepting_) {
        slotFreed_.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(kWakeMs)));
        if (Slot* s = FreeSlot()) return s;
        if (queueCount_ == 0 || Clock::now() >= deadline) break;
        if (ring_.IsOpen() && ring_.Backlog() > kPatienceBacklog) break;  // the ring must not overflow
    }
    patient_ = false;
    return nullptr;
}

void StreamReceiver::Process(std::unique_lock<std::mutex>& lock, const uint8_t* data, size_t size,
                             Clock::time_point now, bool oversized, const uint8_t* payloadAt) {
    auto p = Gvsp::DecodePacket(data, size);
    if (!p || capacity_ == 0 || p->status != 0) {
        ++stats_.packetsRejected;
        return;
    }
    if (payloadAt != nullptr) p->data = payloadAt;
    Slot* s = SlotFor(lock, p->blockId, p->extendedId, now);
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
            if (oversized || p->dataSize > packetPayload_ || offset + p->dataSize > capacity_) {
                s->damaged = true;
                --stats_.packetsReceived;  // counted above, but it is a rejected packet
                ++stats_.packetsRejected;
                return;
            }
            if (s->inRing) {
                s->where[id] = p->data;
                s->sizes[id] = static_cast<uint16_t>(p->dataSize);
                const uint64_t bit = uint64_t{1} << ringBlock_;
                if ((s->ringBlocks & bit) == 0) {
                    s->ringBlocks |= bit;
                    ring_.Reference(ringBlock_);
                }
            } else if (s->data.data() + offset != p->data) {  // not received in place
                std::memcpy(s->data.data() + offset, p->data, p->dataSize);
            }
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
    if (p->format != Gvsp::Format::Payload) s->where[id] = nullptr;  // no payload of an earlier frame there
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
    if (result == St::Ok)
        ++stats_.framesCompleted;
    else
        ++stats_.framesIncomplete;
    if (queueCount_ == kSlots) {  // cannot happen with one slot per queued frame; keep it safe
        ReleaseRing(s);
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
    s.blocksSinceRequest = 0;
    s.requestMark = ring_.IsOpen() ? ring_.AfterNowMark() : 0;
    if (s.lastDataId != 0 && last > s.lastDataId) s.tailRequested = true;
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
    if (inRun)
        RequestResend(s, runStart, std::min<uint32_t>(last, static_cast<uint32_t>(s.got.size() - 1)),
                      extendedIds_);
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
    const uint64_t packetPayload = packetPayload_;
    lock.unlock();

    const uint64_t bytes = std::min<uint64_t>(s.extent, delivered_.size());
    if (s.inRing) {
        // Each payload was checked to fit the buffer when it arrived.
        for (size_t id = 1; id < s.got.size(); ++id)
            if (s.got[id] != 0 && s.where[id] != nullptr)
                std::memcpy(delivered_.data() + (id - 1) * packetPayload, s.where[id], s.sizes[id]);
    } else {
        std::memcpy(delivered_.data(), s.data.data(), bytes);
    }
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
    ReleaseRing(s);
    s.state = SlotState::Free;
    slotFreed_.notify_all();
    return result;
}

void SetPacketRingAllowed(bool allowed) { gPacketRingAllowed.store(allowed, std::memory_order_relaxed); }

}  // namespace Kovon::Pelion
