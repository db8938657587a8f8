#include "gige/pelion/GvcpClient.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace Kovon::Pelion {

bool GvcpClient::Open(uint32_t hostIp, uint32_t cameraIp) {
    std::lock_guard<std::mutex> lock(mutex_);
    hostIp_ = hostIp;
    cameraIp_ = cameraIp;
    return socket_.Open(hostIp, 0);
}

void GvcpClient::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    socket_.Close();
}

void GvcpClient::SetTimeouts(uint32_t timeoutMs, uint8_t retries) {
    timeoutMs_ = timeoutMs;
    retries_ = retries;
}

void GvcpClient::GetTimeouts(uint32_t& timeoutMs, uint8_t& retries) const {
    timeoutMs = timeoutMs_;
    retries = retries_;
}

Status GvcpClient::Exchange(uint8_t* cmd, size_t size, uint16_t answer, uint8_t* rx, size_t rxSize,
                            Gvcp::AckPacket& ack, uint32_t limitMs) {
    if (size < Gvcp::kHeaderSize) return St::Error;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!socket_.valid()) return St::Error;
    reqId_ = reqId_ == 0xFFFF ? 1 : reqId_ + 1;
    cmd[6] = static_cast<uint8_t>(reqId_ >> 8);
    cmd[7] = static_cast<uint8_t>(reqId_);
    const auto start = Clock::now();
    const uint32_t timeout = std::max<uint32_t>(timeoutMs_, 1);
    for (unsigned attempt = 0; attempt <= retries_; ++attempt) {
        if (socket_.SendTo(cmd, size, cameraIp_, Gvcp::kPort) != static_cast<ssize_t>(size)) return St::Error;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
        for (;;) {
            auto now = Clock::now();
            if (now >= deadline) break;
            int waitMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
            uint32_t ip = 0;
            uint16_t port = 0;
            ssize_t n = socket_.ReceiveFrom(rx, rxSize, ip, port, waitMs);
            if (n < 0) return St::Error;
            if (n == 0 || ip != cameraIp_) continue;
            auto a = Gvcp::DecodeAck(rx, static_cast<size_t>(n));
            if (!a || a->ackId != reqId_) continue;  // malformed, or a late answer to an earlier try
            lastAnswer_ = Clock::now().time_since_epoch().count();
            if (a->answer == Gvcp::Cmd::PendingAck) {
                auto ms = Gvcp::DecodePendingAck(*a);
                if (!ms) continue;
                deadline = Clock::now() + std::chrono::milliseconds(*ms + timeout);
                if (limitMs != 0) deadline = std::min(deadline, start + std::chrono::milliseconds(limitMs));
                continue;
            }
            if (a->answer != answer) continue;
            ack = *a;
            return a->status;  // 0 or the camera's own status
        }
        if (limitMs != 0 && Clock::now() >= start + std::chrono::milliseconds(limitMs)) break;
    }
    return St::Timeout;
}

Status GvcpClient::ReadRegisters(uint32_t address, size_t count, uint32_t* values) {
    if (count == 0 || values == nullptr || address % 4 != 0) return St::Error;
    uint8_t cmd[Gvcp::kMaxPacket], rx[Gvcp::kMaxPacket + 64];
    uint32_t addresses[Gvcp::kMaxReadRegisters];
    for (size_t done = 0; done < count;) {
        size_t n = std::min(count - done, Gvcp::kMaxReadRegisters);
        for (size_t i = 0; i < n; ++i) addresses[i] = address + static_cast<uint32_t>(4 * (done + i));
        size_t size = Gvcp::EncodeReadRegCommand(cmd, sizeof cmd, 0, addresses, n);
        Gvcp::AckPacket ack;
        Status st = Exchange(cmd, size, Gvcp::Cmd::ReadRegAck, rx, sizeof rx, ack);
        if (st != St::Ok) return st;
        if (!Gvcp::DecodeReadRegAck(ack, values + done, n)) return St::Error;
        done += n;
    }
    return St::Ok;
}

Status GvcpClient::WriteRegisters(uint32_t address, size_t count, const uint32_t* values) {
    if (count == 0 || values == nullptr || address % 4 != 0) return St::Error;
    uint8_t cmd[Gvcp::kMaxPacket], rx[Gvcp::kMaxPacket + 64];
    Gvcp::RegisterWrite writes[Gvcp::kMaxWriteRegisters];
    for (size_t done = 0; done < count;) {
        size_t n = std::min(count - done, Gvcp::kMaxWriteRegisters);
        for (size_t i = 0; i < n; ++i) writes[i] = {address + static_cast<uint32_t>(4 * (done + i)), values[done + i]};
        size_t size = Gvcp::EncodeWriteRegCommand(cmd, sizeof cmd, 0, writes, n);
        Gvcp::AckPacket ack;
        Status st = Exchange(cmd, size, Gvcp::Cmd::WriteRegAck, rx, sizeof rx, ack);
        if (st != St::Ok) return st;
        auto index = Gvcp::DecodeWriteAckIndex(ack);
        if (!index || *index != n) return St::Error;
        done += n;
    }
    return St::Ok;
}

Status GvcpClient::WriteRegisterLong(uint32_t address, uint32_t value, uint32_t limitMs) {
    uint8_t cmd[Gvcp::kMaxPacket], rx[Gvcp::kMaxPacket + 64];
    Gvcp::RegisterWrite w{address, value};
    size_t size = Gvcp::EncodeWriteRegCommand(cmd, sizeof cmd, 0, &w, 1);
    Gvcp::AckPacket ack;
    Status st = Exchange(cmd, size, Gvcp::Cmd::WriteRegAck, rx, sizeof rx, ack, limitMs);
    if (st != St::Ok) return st;
    auto index = Gvcp::DecodeWriteAckIndex(ack);
    return index && *index == 1 ? St::Ok : St::Error;
}

Status GvcpClient::ReadMemoryChunk(uint32_t address, uint16_t count, uint8_t* out) {
    uint8_t cmd[Gvcp::kMaxPacket], rx[Gvcp::kMaxPacket + 64];
    size_t size = Gvcp::EncodeReadMemCommand(cmd, sizeof cmd, 0, address, count);
    Gvcp::AckPacket ack;
    Status st = Exchange(cmd, size, Gvcp::Cmd::ReadMemAck, rx, sizeof rx, ack);
    if (st != St::Ok) return st;
    return Gvcp::DecodeReadMemAck(ack, address, out, count) ? St::Ok : St::Error;
}

Status GvcpClient::WriteMemoryChunk(uint32_t address, size_t count, const uint8_t* data) {
    uint8_t cmd[Gvcp::kMaxPacket], rx[Gvcp::kMaxPacket + 64];
    size_t size = Gvcp::EncodeWriteMemCommand(cmd, sizeof cmd, 0, address, data, count);
    Gvcp::AckPacket ack;
    Status st = Exchange(cmd, size, Gvcp::Cmd::WriteMemAck, rx, sizeof rx, ack);
    if (st != St::Ok) return st;
    auto index = Gvcp::DecodeWriteAckIndex(ack);
    return index && *index == count ? St::Ok : St::Error;
}

// Memory moves in 32-bit words on the wire: an unaligned start or length is widened to whole
// words and only the caller's bytes are copied out.
Status GvcpClient::ReadMemory(uint32_t address, size_t length, uint8_t* out) {
    if (length == 0 || out == nullptr || uint64_t{address} + length > 0x100000000ull) return St::Error;
    uint32_t first = address & ~3u;
    uint64_t end = (uint64_t{address} + length + 3) & ~uint64_t{3};
    uint8_t chunk[Gvcp::kMaxMemoryBlock];
    for (uint64_t a = first; a < end;) {
        uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(end - a, Gvcp::kMaxMemoryBlock));
        Status st = ReadMemoryChunk(static_cast<uint32_t>(a), n, chunk);
        if (st != St::Ok) return st;
        uint64_t from = std::max<uint64_t>(a, address), to = std::min<uint64_t>(a + n, uint64_t{address} + length);
        std::memcpy(out + (from - address), chunk + (from - a), static_cast<size_t>(to - from));
        a += n;
    }
    return St::Ok;
}

Status GvcpClient::WriteMemory(uint32_t address, size_t length, const uint8_t* data) {
    if (length == 0 || data == nullptr || uint64_t{address} + length > 0x100000000ull) return St::Error;
    if (address % 4 == 0 && length % 4 == 0) {
        for (size_t done = 0; done < length;) {
            size_t n = std::min(length - done, Gvcp::kMaxMemoryBlock);
            Status st = WriteMemoryChunk(address + static_cast<uint32_t>(done), n, data + done);
            if (st != St::Ok) return st;
            done += n;
        }
        return St::Ok;
    }
    // Partial words: read the covering words, merge the caller's bytes, write them back.
    uint32_t first = address & ~3u;
    size_t span = static_cast<size_t>(((uint64_t{address} + length + 3) & ~uint64_t{3}) - first);
    std::vector<uint8_t> words(span);
    Status st = ReadMemory(first, span, words.data());
    if (st != St::Ok) return st;
    std::memcpy(words.data() + (address - first), data, length);
    return WriteMemory(first, span, words.data());
}

}  // namespace Kovon::Pelion
