#include "sim/u3v/SimU3vCamera.h"

#include <algorithm>
#include <cstring>

#include "u3v/tessa/ByteCursor.h"
#include "u3v/tessa/CameraRegisters.h"
#include "u3v/tessa/U3vWire.h"

namespace Kovon::Sim {

namespace W = Kovon::Tessa::Wire;
namespace Reg = Kovon::Tessa::CameraRegister;

namespace {

constexpr uint64_t kCameraBlock = 0x50000;     // width ... device text, 0x60 bytes
constexpr uint64_t kUserName = W::Abrm::kUserDefinedName;

uint32_t BytesPerPixel(uint32_t pixelFormat) { return ((pixelFormat >> 16) & 0xFF) / 8; }

}  // namespace

SimU3vCamera::SimU3vCamera(const KovonSimU3VOptions& o) : options_(o), serial_(o.serial), model_(o.model) {
    options_.serial = serial_.c_str();
    options_.model = model_.c_str();
    description_ = SimU3vDescription(model_, o.descriptionSize);

    regions_.push_back({0, std::vector<uint8_t>(0x1000, 0)});
    regions_.push_back({Reg::kDeviceLevel, std::vector<uint8_t>(4, 0)});
    regions_.push_back({kCameraBlock, std::vector<uint8_t>(0x60, 0)});
    regions_.push_back({Reg::kMaxTransferSize, std::vector<uint8_t>(4, 0)});

    // ABRM
    auto text = [&](uint64_t at, const std::string& s) {
        std::memcpy(regions_[0].bytes.data() + at, s.data(), std::min<size_t>(s.size(), 63));
    };
    Put32(W::Abrm::kGenCpVersion, 0x00010000);
    text(W::Abrm::kManufacturerName, "Tarvek");
    text(W::Abrm::kModelName, model_);
    text(W::Abrm::kFamilyName, "SimU3V");
    text(W::Abrm::kDeviceVersion, "1.0.0");
    text(W::Abrm::kManufacturerInfo, "Simulated USB3 Vision camera");
    text(W::Abrm::kSerialNumber, serial_);
    text(W::Abrm::kUserDefinedName, "");
    Put32(W::Abrm::kMaxDeviceResponseTime, o.responseTimeMs);
    Put64(W::Abrm::kManifestTableAddress, kManifestAddress);
    Put64(W::Abrm::kSbrmAddress, kSbrmAddress);
    Put32(W::Abrm::kProtocolEndianness, 0xFFFFFFFF);
    // SBRM
    Put32(kSbrmAddress + W::Sbrm::kU3vVersion, 0x00010000);
    Put32(kSbrmAddress + W::Sbrm::kMaxCommandTransferLength, o.maxCommandLength);
    Put32(kSbrmAddress + W::Sbrm::kMaxAckTransferLength, o.maxAckLength);
    Put32(kSbrmAddress + W::Sbrm::kNumberOfStreamChannels, 1);
    Put64(kSbrmAddress + W::Sbrm::kSirmAddress, kSirmAddress);
    Put32(kSbrmAddress + W::Sbrm::kSirmLength, uint32_t(W::Sirm::kSize));
    Put64(kSbrmAddress + W::Sbrm::kEirmAddress, kEirmAddress);
    Put32(kSbrmAddress + W::Sbrm::kEirmLength, uint32_t(W::Eirm::kSize));
    Put32(kSbrmAddress + W::Sbrm::kCurrentSpeed, 4);
    // SIRM, EIRM
    Put32(kSirmAddress + W::Sirm::kInfo, o.alignmentShift << 24);
    Put32(kSirmAddress + W::Sirm::kRequiredLeaderSize, uint32_t(W::kImageLeaderSize));
    Put32(kSirmAddress + W::Sirm::kRequiredTrailerSize, uint32_t(W::kImageTrailerSize));
    Put32(kEirmAddress + W::Eirm::kMaxEventTransferLength, kMaxEventTransfer);

    // The description file, stored as is or zipped, and its manifest entry.
    std::vector<uint8_t> file(description_.begin(), description_.end());
    uint32_t format = W::kManifestFormatUncompressed;
    if (o.zipDescription) {
        std::vector<uint8_t> zipped;
        if (SimU3vZip("SimU3V.xml", description_, zipped)) {
            file.swap(zipped);
            format = W::kManifestFormatZip;
        }
    }
    regions_.push_back({kFileAddress, file});
    W::ManifestEntry entry;
    entry.fileVersion = 0x01000000;
    entry.formatInfo = W::ManifestEntry::MakeFormatInfo(W::kManifestTypeDeviceXml, format, 1, 1);
    entry.address = kFileAddress;
    entry.size = file.size();
    Put64(kManifestAddress, 1);
    W::EncodeManifestEntry(regions_[0].bytes.data() + kManifestAddress + 8, W::kManifestEntrySize, entry);

    // Camera registers.
    Put32(Reg::kDeviceLevel, o.deviceLevel);
    Put32(Reg::kWidth, o.width);
    Put32(Reg::kHeight, o.height);
    Put32(Reg::kPixelFormat, o.pixelFormat);
    Put32(Reg::kAcquisitionMode, 1);
    Put32(Reg::kMaxTransferSize, o.maxTransferSize);
    const std::string deviceText = "SimU3V firmware 1.0";
    if (Region* r = Find(Reg::kDeviceText, Reg::kDeviceTextLength))
        std::memcpy(r->bytes.data() + (Reg::kDeviceText - r->base), deviceText.data(), deviceText.size());
    UpdateGeometry();
}

SimU3vCamera::Region* SimU3vCamera::Find(uint64_t address, size_t length) {
    return const_cast<Region*>(static_cast<const SimU3vCamera*>(this)->Find(address, length));
}

const SimU3vCamera::Region* SimU3vCamera::Find(uint64_t address, size_t length) const {
    for (const Region& r : regions_)
        if (address >= r.base && address - r.base <= r.bytes.size() && length <= r.bytes.size() - (address - r.base))
            return &r;
    return nullptr;
}

bool SimU3vCamera::Writable(uint64_t address, size_t length) const {
    auto inside = [&](uint64_t lo, uint64_t hi) { return address >= lo && address + length <= hi; };
    const uint64_t sirmRw0 = kSirmAddress + W::Sirm::kControl;
    if (inside(kUserName, kUserName + 64)) return true;
    if (inside(sirmRw0, sirmRw0 + 4)) return true;
    if (inside(kSirmAddress + W::Sirm::kMaxLeaderSize, kSirmAddress + W::Sirm::kSize)) return true;
    if (inside(kEirmAddress + W::Eirm::kControl, kEirmAddress + W::Eirm::kControl + 4)) return true;
    if (inside(kEirmAddress + W::Eirm::kEventTestControl, kEirmAddress + W::Eirm::kSize)) return true;
    if (inside(Reg::kWidth, Reg::kPayloadSize)) return !Streaming();  // geometry is fixed while streaming
    if (inside(Reg::kAcquisitionCommand, Reg::kAcquisitionMode + 4)) return true;
    return false;
}

uint16_t SimU3vCamera::Read(uint64_t address, uint16_t length, uint8_t* out) const {
    const Region* r = Find(address, length);
    if (r == nullptr) return W::Status::kInvalidAddress;
    if (length != 0) std::memcpy(out, r->bytes.data() + (address - r->base), length);
    return W::Status::kSuccess;
}

uint16_t SimU3vCamera::Write(uint64_t address, const uint8_t* data, uint16_t length) {
    Region* r = Find(address, length);
    if (r == nullptr) return W::Status::kInvalidAddress;
    if (!Writable(address, length)) return W::Status::kAccessDenied;
    const bool wasStreaming = Streaming();
    if (length != 0) std::memcpy(r->bytes.data() + (address - r->base), data, length);
    if (address < Reg::kPayloadSize && address + length > Reg::kWidth) UpdateGeometry();
    if (!wasStreaming && Streaming()) {
        PrepareFrames();
        phase_ = Phase::kLeader;
    }
    return W::Status::kSuccess;
}

void SimU3vCamera::Put32(uint64_t address, uint32_t v) {
    Region* r = Find(address, 4);
    if (r) Kovon::Tessa::ByteWriter(r->bytes.data() + (address - r->base), 4).U32(v);
}
void SimU3vCamera::Put64(uint64_t address, uint64_t v) {
    Region* r = Find(address, 8);
    if (r) Kovon::Tessa::ByteWriter(r->bytes.data() + (address - r->base), 8).U64(v);
}
uint32_t SimU3vCamera::Get32(uint64_t address) const {
    const Region* r = Find(address, 4);
    return r ? Kovon::Tessa::ByteReader(r->bytes.data() + (address - r->base), 4).U32() : 0;
}

void SimU3vCamera::Poke(uint64_t address, uint32_t value) {
    Put32(address, value);
    if (address >= Reg::kWidth && address < Reg::kPayloadSize) UpdateGeometry();
}
uint32_t SimU3vCamera::Peek(uint64_t address) const { return Get32(address); }

void SimU3vCamera::UpdateGeometry() {
    const uint64_t payload =
        uint64_t(Get32(Reg::kWidth)) * Get32(Reg::kHeight) * std::max<uint32_t>(1, BytesPerPixel(Get32(Reg::kPixelFormat)));
    Put32(Reg::kPayloadSize, uint32_t(std::min<uint64_t>(payload, 0xFFFFFFFF)));
    Put64(kSirmAddress + W::Sirm::kRequiredPayloadSize, payload);
}

void SimU3vCamera::PrepareFrames() {
    const uint64_t payload = uint64_t(Get32(kSirmAddress + W::Sirm::kRequiredPayloadSize)) |
                             uint64_t(Get32(kSirmAddress + W::Sirm::kRequiredPayloadSize + 4)) << 32;
    if (payload == framesPayload_ && !frames_.empty()) return;
    const uint32_t width = std::max<uint32_t>(1, Get32(Reg::kWidth));
    const uint32_t bpp = std::max<uint32_t>(1, BytesPerPixel(Get32(Reg::kPixelFormat)));
    frames_.assign(kSimU3vFrameCount, std::vector<uint8_t>(size_t(payload)));
    for (uint32_t k = 0; k < kSimU3vFrameCount; ++k) {
        uint8_t* p = frames_[k].data();
        for (uint64_t i = 0; i < payload; ++i) {
            const uint64_t pixel = i / bpp;
            p[i] = SimU3vPixel(uint32_t(pixel % width), uint32_t(pixel / width), k);
        }
    }
    framesPayload_ = payload;
}

bool SimU3vCamera::Streaming() const {
    return (Get32(kSirmAddress + W::Sirm::kControl) & W::Sirm::kControlEnable) && Get32(Reg::kAcquisitionCommand) == 1;
}

bool SimU3vCamera::EventsEnabled() const {
    return Get32(kEirmAddress + W::Eirm::kControl) & W::Eirm::kControlEnable;
}

void SimU3vCamera::HandleCommand(const uint8_t* data, size_t size, std::vector<std::vector<uint8_t>>& acks) {
    W::Command cmd;
    if (W::DecodeCommand(data, size, cmd) != W::DecodeError::kOk) return;  // not a command: ignored
    ++counters_.commands;
    if (lostAcks_ > 0) {
        --lostAcks_;
        return;
    }
    const uint32_t maxAck = Get32(kSbrmAddress + W::Sbrm::kMaxAckTransferLength);
    auto ack = [&](auto&& encode) {
        std::vector<uint8_t> out(std::max<uint32_t>(maxAck, 64));
        size_t n = encode(out.data(), out.size());
        out.resize(n);
        acks.push_back(std::move(out));
    };
    if (staleAcks_ > 0) {
        --staleAcks_;
        ack([&](uint8_t* o, size_t c) { return W::EncodeWriteMemAck(o, c, 0, uint16_t(cmd.requestId - 1), 4); });
    }
    if (pendingAcks_ > 0) {
        --pendingAcks_;
        ack([&](uint8_t* o, size_t c) { return W::EncodePendingAck(o, c, cmd.requestId, 500); });
    }
    if (cmd.commandId == W::kReadMemCmd) {
        W::ReadMemRequest rq;
        if (W::DecodeReadMemRequest(cmd, rq) != W::DecodeError::kOk) {
            ack([&](uint8_t* o, size_t c) { return W::EncodeAck(o, c, W::Status::kInvalidHeader, W::kReadMemAck, cmd.requestId, nullptr, 0); });
            return;
        }
        if (size_t(rq.length) + W::kControlHeaderSize > maxAck) {
            ack([&](uint8_t* o, size_t c) { return W::EncodeAck(o, c, W::Status::kInvalidParameter, W::kReadMemAck, cmd.requestId, nullptr, 0); });
            return;
        }
        std::vector<uint8_t> bytes(rq.length);
        const uint16_t st = Read(rq.address, rq.length, bytes.data());
        ack([&](uint8_t* o, size_t c) {
            return W::EncodeAck(o, c, st, W::kReadMemAck, cmd.requestId, st ? nullptr : bytes.data(), st ? 0 : rq.length);
        });
    } else if (cmd.commandId == W::kWriteMemCmd) {
        W::WriteMemRequest rq;
        const uint32_t maxCmd = Get32(kSbrmAddress + W::Sbrm::kMaxCommandTransferLength);
        uint16_t st = W::DecodeWriteMemRequest(cmd, rq) != W::DecodeError::kOk ? W::Status::kInvalidHeader
                      : size > maxCmd                                        ? W::Status::kInvalidParameter
                                                                             : Write(rq.address, rq.data, rq.length);
        ack([&](uint8_t* o, size_t c) { return W::EncodeWriteMemAck(o, c, st, cmd.requestId, st ? 0 : rq.length); });
    } else {
        ack([&](uint8_t* o, size_t c) {
            return W::EncodeAck(o, c, W::Status::kNotImplemented, uint16_t(cmd.commandId + 1), cmd.requestId, nullptr, 0);
        });
    }
}

void SimU3vCamera::StartBlock() {
    if (dropPending_ > 0) {
        counters_.framesDropped += dropPending_;
        nextBlockId_ += dropPending_;
        dropPending_ = 0;
    }
    blockId_ = nextBlockId_++;
    offset_ = 0;
    transfer_ = 0;
    failing_ = failPending_ > 0;
    if (failing_) --failPending_;
    cutting_ = !failing_ && incompletePending_ > 0;
    if (cutting_) --incompletePending_;
    cutAt_ = framesPayload_ / 2;
    timestamp_ += 1000000;
}

bool SimU3vCamera::NextStreamTransfer(uint8_t* dst, size_t cap, size_t* got, bool* overflow) {
    *got = 0;
    *overflow = false;
    if (!Streaming()) return false;
    auto emit = [&](const uint8_t* src, size_t n) {
        if (n > cap) {
            *overflow = true;
            return;
        }
        if (n != 0) std::memcpy(dst, src, n);
        *got = n;
    };
    if (phase_ == Phase::kLeader) {
        StartBlock();
        W::Leader l;
        l.blockId = blockId_;
        l.timestamp = timestamp_;
        l.pixelFormat = Get32(Reg::kPixelFormat);
        l.sizeX = Get32(Reg::kWidth);
        l.sizeY = Get32(Reg::kHeight);
        uint8_t buf[W::kImageLeaderSize];
        W::EncodeImageLeader(buf, sizeof buf, l);
        emit(buf, sizeof buf);
        phase_ = framesPayload_ ? Phase::kPayload : Phase::kTrailer;
        return true;
    }
    if (phase_ == Phase::kPayload) {
        const uint32_t ts = Get32(kSirmAddress + W::Sirm::kPayloadTransferSize);
        const uint32_t count = Get32(kSirmAddress + W::Sirm::kPayloadTransferCount);
        const uint32_t final1 = Get32(kSirmAddress + W::Sirm::kPayloadFinalTransfer1Size);
        uint64_t n = transfer_ < count ? ts
                     : (transfer_ == count && final1) ? final1
                                                     : Get32(kSirmAddress + W::Sirm::kPayloadFinalTransfer2Size);
        const uint64_t left = framesPayload_ - offset_;
        n = n == 0 ? left : std::min(n, left);  // the last transfer carries only what is left
        ++transfer_;
        const std::vector<uint8_t>& frame = frames_[blockId_ % kSimU3vFrameCount];
        emit(frame.data() + offset_, size_t(n));
        offset_ += n;
        if (cutting_ && offset_ >= cutAt_) {
            ++counters_.framesIncomplete;
            phase_ = Phase::kLeader;  // the rest and the trailer are lost
        } else if (offset_ >= framesPayload_) {
            phase_ = Phase::kTrailer;
        }
        return true;
    }
    W::Trailer t;
    t.blockId = blockId_;
    t.status = failing_ ? W::Status::kDataOverrun : W::Status::kSuccess;
    t.validPayloadSize = framesPayload_;
    t.sizeY = Get32(Reg::kHeight);
    uint8_t buf[W::kImageTrailerSize];
    W::EncodeImageTrailer(buf, sizeof buf, t);
    emit(buf, sizeof buf);
    if (failing_) ++counters_.framesFailed;
    else ++counters_.framesSent;
    phase_ = Phase::kLeader;
    return true;
}

bool SimU3vCamera::MakeEvent(uint16_t eventId, const uint8_t* data, uint16_t length, std::vector<uint8_t>& packet) {
    if (!EventsEnabled() || size_t(length) + W::kControlHeaderSize + W::kEventHeaderSize > kMaxEventTransfer) {
        ++counters_.eventsDiscarded;
        return false;
    }
    packet.resize(W::kControlHeaderSize + W::kEventHeaderSize + length);
    W::EncodeEvent(packet.data(), packet.size(), eventRequestId_++, eventId, timestamp_, data, length);
    ++counters_.eventsSent;
    return true;
}

KovonSimU3VCounters SimU3vCamera::Counters() const {
    KovonSimU3VCounters c = counters_;
    c.nextBlockId = nextBlockId_;
    return c;
}

}  // namespace Kovon::Sim
