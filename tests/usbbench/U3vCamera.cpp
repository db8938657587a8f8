#include "usbbench/U3vCamera.h"

#include <algorithm>
#include <cstring>

#include "u3v/tessa/U3vWire.h"

namespace Kovon::UsbBench {

U3vCamera::U3vCamera(const KovonSimU3VOptions& options)
    : serial_(options.serial ? options.serial : ""), model_(options.model ? options.model : ""), options_(options) {
    options_.serial = serial_.c_str();
    options_.model = model_.c_str();
    std::lock_guard<std::mutex> guard(lock_);
    PowerUp();
}

KovonSimU3VOptions U3vCamera::DefaultOptions(const char* serial, const char* model) {
    KovonSimU3VOptions o{};
    o.serial = serial;
    o.model = model;
    o.width = 1280;
    o.height = 1024;
    o.pixelFormat = 0x01080001;
    o.deviceLevel = 8;
    o.maxTransferSize = 0x200000;
    o.maxCommandLength = 1024;
    o.maxAckLength = 1024;
    o.responseTimeMs = 200;
    return o;
}

void U3vCamera::PowerUp() {
    camera_ = std::make_unique<Sim::SimU3vCamera>(options_);
    acks_.clear();
    events_.clear();
    staged_.clear();
    halted_.clear();
    linkFree_ = {};
}

DeviceDescription U3vCamera::Describe() const {
    auto endpoint = [](uint8_t address) {
        // Bulk, 1024-byte packets, then the SuperSpeed companion (bursts of 16).
        return std::vector<uint8_t>{7, 5, address, 0x02, 0x00, 0x04, 0, 6, 0x30, 15, 0, 0, 0};
    };
    auto interface = [](uint8_t number, uint8_t endpoints, uint8_t protocol) {
        return std::vector<uint8_t>{9, 4, number, 0, endpoints, 0xEF, 0x05, protocol, 0};
    };
    std::vector<uint8_t> c = {9, 2, 0, 0, 3, 1, 0, 0x80, 0x32};
    auto add = [&](const std::vector<uint8_t>& d) { c.insert(c.end(), d.begin(), d.end()); };
    add({8, 0x0B, 0, 3, 0xEF, 0x05, 0x00, 0});  // the interfaces 0 to 2 form one function
    add(interface(0, 2, 0));
    // Device info: GenCP 1.0, USB3 Vision 1.0, then the string indices: GUID 4, vendor 1, model 2,
    // family 5, version 6, manufacturer info 7, serial 3, user-defined name 8; SuperSpeed.
    add({20, 0x24, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 4, 1, 2, 5, 6, 7, 3, 8, 0x04});
    add(endpoint(kControlIn));
    add(endpoint(kControlOut));
    add(interface(1, 1, 1));
    add(endpoint(kEventIn));
    add(interface(2, 1, 2));
    add(endpoint(kStreamIn));
    c[2] = uint8_t(c.size());
    c[3] = uint8_t(c.size() >> 8);
    DeviceDescription d;
    d.device = {18, 1, 0x00, 0x03, 0xEF, 0x02, 0x01, 9,
                uint8_t(kVendorId & 0xFF), uint8_t(kVendorId >> 8), uint8_t(kProductId & 0xFF), uint8_t(kProductId >> 8),
                0x00, 0x01, 1, 2, 3, 1};
    d.configuration = std::move(c);
    d.strings = {{1, "Tarvek"},  {2, model_},   {3, serial_},          {4, "EMU-" + serial_},
                 {5, "EmuU3V"}, {6, "1.0.0"}, {7, "emulated camera"}, {8, ""}};
    d.speedMbps = 5000;
    return d;
}

ControlResult U3vCamera::Control(const uint8_t (&)[8], std::vector<uint8_t>&) { return ControlResult::kStall; }

void U3vCamera::BulkOut(uint8_t endpoint, const uint8_t* data, size_t size) {
    if (endpoint != kControlOut) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_) return;
    std::vector<std::vector<uint8_t>> acks;
    camera_->HandleCommand(data, size, acks);
    for (auto& a : acks) acks_.push_back(std::move(a));
    changed_.notify_all();
}

void U3vCamera::FireEvent(uint16_t eventId, const uint8_t* data, uint16_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<uint8_t> packet;
    if (!gone_ && camera_->MakeEvent(eventId, data, length, packet)) {
        events_.push_back(std::move(packet));
        changed_.notify_all();
    }
}

void U3vCamera::SetStreamRate(uint64_t bytesPerSecond) {
    std::lock_guard<std::mutex> guard(lock_);
    streamRate_ = bytesPerSecond;
    linkFree_ = {};
}

void U3vCamera::Stall(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    halted_[endpoint] = true;
    changed_.notify_all();
}

bool U3vCamera::NextTransfer(uint8_t endpoint, Staged& staged) {
    staged.at = 0;
    if (endpoint == kStreamIn) {
        // Room for the largest transfer the stream interface was set up for.
        uint32_t largest = 64 * 1024;
        namespace Sirm = Tessa::Wire::Sirm;
        for (uint64_t offset : {Sirm::kPayloadTransferSize, Sirm::kPayloadFinalTransfer1Size,
                                Sirm::kPayloadFinalTransfer2Size, Sirm::kMaxLeaderSize, Sirm::kMaxTrailerSize})
            largest = std::max(largest, camera_->Peek(Sim::SimU3vCamera::kSirmAddress + offset));
        staged.bytes.resize(largest);
        size_t n = 0;
        bool overflow = false;
        if (!camera_->NextStreamTransfer(staged.bytes.data(), staged.bytes.size(), &n, &overflow) || overflow) {
            staged.bytes.clear();
            return false;
        }
        staged.bytes.resize(n);
        return true;
    }
    auto& q = endpoint == kControlIn ? acks_ : events_;
    if (q.empty()) return false;
    staged.bytes = std::move(q.front());
    q.pop_front();
    return true;
}

InResult U3vCamera::BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity, size_t& got) {
    got = 0;
    if (endpoint != kControlIn && endpoint != kEventIn && endpoint != kStreamIn) return InResult::kStall;
    std::unique_lock<std::mutex> guard(lock_);
    Staged& staged = staged_[endpoint];
    for (;;) {
        if (gone_) return InResult::kGone;
        if (interrupted_[endpoint]) return InResult::kCancelled;
        if (halted_[endpoint]) return InResult::kStall;
        if (!staged.Empty()) break;
        const auto taken = std::chrono::steady_clock::now();
        if (NextTransfer(endpoint, staged)) {
            if (endpoint == kStreamIn && streamRate_ != 0) {
                const auto carried =
                    std::chrono::nanoseconds(uint64_t(double(staged.bytes.size()) * 1e9 / double(streamRate_)));
                linkFree_ = std::max(taken, linkFree_) + carried;
                const auto arrives = linkFree_;
                while (std::chrono::steady_clock::now() < arrives && !gone_ && !interrupted_[endpoint])
                    changed_.wait_until(guard, arrives);
                continue;  // look again: a removal or an interrupt may have come meanwhile
            }
            break;
        }
        changed_.wait(guard);
    }
    const size_t remaining = staged.bytes.size() - staged.at;
    if (remaining <= capacity || capacity % kPacketSize == 0) {
        // Whole, or as many whole packets as fit: the rest follows in the next transfer.
        got = std::min(remaining, capacity);
        std::memcpy(data, staged.bytes.data() + staged.at, got);
        staged.at += got;
        return InResult::kOk;
    }
    // A packet that does not fit the host's buffer: babble. What fit is delivered, the packet
    // that overflowed is lost.
    const size_t whole = capacity / kPacketSize * kPacketSize;
    got = capacity;
    std::memcpy(data, staged.bytes.data() + staged.at, got);
    staged.at = std::min(staged.bytes.size(), staged.at + whole + kPacketSize);
    return InResult::kOverflow;
}

void U3vCamera::Interrupt(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    interrupted_[endpoint] = true;
    changed_.notify_all();
}

void U3vCamera::ClearInterrupt(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    interrupted_[endpoint] = false;
}

void U3vCamera::ClearHalt(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    halted_[endpoint] = false;
    changed_.notify_all();
}

void U3vCamera::Unplugged() {
    std::lock_guard<std::mutex> guard(lock_);
    gone_ = true;
    changed_.notify_all();
}

void U3vCamera::Replugged() {
    std::lock_guard<std::mutex> guard(lock_);
    gone_ = false;
    PowerUp();
    changed_.notify_all();
}

}  // namespace Kovon::UsbBench
