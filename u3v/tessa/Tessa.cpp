// The U3V_ functions: handles, GenCP register access, the description file, events and the stream.
#include "u3v/tessa/Tessa.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "u3v/tessa/ByteCursor.h"
#include "u3v/tessa/CameraRegisters.h"
#include "u3v/tessa/U3vWire.h"
#include "u3v/tessa/transport/TransportRegistry.h"

namespace Kovon::Tessa {

using namespace Transport;
using Clock = std::chrono::steady_clock;

namespace {

// Limits on what a camera may announce, so that a faulty camera cannot make us allocate or loop
// without bound.
constexpr uint32_t kDefaultTransferLength = 1024;  // until the SBRM has been read
constexpr uint32_t kMaxTransferLength = 1u << 20;
constexpr uint32_t kMinCommandLength = Wire::kControlHeaderSize + Wire::kReadMemCmdScdSize;
constexpr uint32_t kMinAckLength = Wire::kControlHeaderSize + Wire::kWriteMemAckScdSize;
constexpr unsigned kDefaultResponseMs = 1000;
constexpr unsigned kMinResponseMs = 10;
constexpr unsigned kMaxResponseMs = 10000;
constexpr uint64_t kMaxManifestEntries = 64;
constexpr uint64_t kMaxFileSize = 64u << 20;
constexpr uint64_t kMaxPayloadSize = 1ull << 30;
constexpr uint32_t kMaxLeaderTrailer = 64u << 10;
constexpr uint32_t kDefaultStreamTransfer = 1u << 20;
constexpr uint32_t kMaxEventTransfer = 64u << 10;
constexpr int kMaxStaleAcks = 32;
constexpr uint32_t kEndless = 0xFFFFFFFF;

uint16_t FromUsb(UsbStatus s) {
    switch (s) {
        case UsbStatus::kOk: return Result::kOk;
        case UsbStatus::kTimeout: return Result::kMsgTimeout;
        case UsbStatus::kNoDevice: return Result::kDeviceLost;
        default: return Result::kTransferFailed;
    }
}

// A status the camera reported, as the library returns it. Only the camera's error classes
// (GenCP 0x8xxx, USB3 Vision 0xAxxx) pass through; any other non-zero value is not a status a
// camera may send, and passed on it could read as one of the library's own results (device lost,
// acquisition ended ...): the answer is treated as malformed instead.
uint16_t CameraStatus(uint16_t status, uint16_t malformed) {
    const uint16_t kind = status & 0xF000;
    return kind == 0x8000 || kind == 0xA000 ? status : malformed;
}

void CopyText(char* dst, size_t cap, const std::string& src) {
    const size_t n = std::min(cap - 1, src.size());
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// ---- handles ------------------------------------------------------------------------------

enum class Kind { kDevice, kControl, kEvent, kStream };

struct Handle {
    explicit Handle(Kind k) : kind(k) {}
    virtual ~Handle() = default;
    const Kind kind;
    int leases = 0;  // guarded by gHandleMutex
};

std::mutex gHandleMutex;
std::condition_variable gHandleCv;
std::unordered_map<const void*, Handle*> gHandles;

void Register(Handle* h) {
    std::lock_guard<std::mutex> lock(gHandleMutex);
    gHandles[h] = h;
}

// Keeps a handle alive while a call uses it; Retire waits until no lease is left.
template <typename T>
class Lease {
public:
    Lease(U3V_HANDLE raw, Kind kind) {
        std::lock_guard<std::mutex> lock(gHandleMutex);
        auto it = gHandles.find(raw);
        if (it == gHandles.end() || it->second->kind != kind) return;
        h_ = static_cast<T*>(it->second);
        ++h_->leases;
    }
    ~Lease() {
        if (h_ == nullptr) return;
        std::lock_guard<std::mutex> lock(gHandleMutex);
        if (--h_->leases == 0) gHandleCv.notify_all();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    T* get() const { return h_; }
    T* Take() {
        T* h = h_;
        h_ = nullptr;
        return h;
    }
    T* operator->() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    T* h_ = nullptr;
};

// Removes a handle from the table (later calls see 0xC01A), waits for the calls still using it
// and hands the object to the caller, taking over the caller's own lease.
template <typename T>
std::unique_ptr<T> Retire(Lease<T>& own) {
    T* h = own.Take();
    std::unique_lock<std::mutex> lock(gHandleMutex);
    gHandles.erase(h);
    --h->leases;
    gHandleCv.wait(lock, [&] { return h->leases == 0; });
    return std::unique_ptr<T>(h);
}

// Puts a retired handle back when its close is refused after all.
template <typename T>
void Restore(std::unique_ptr<T> h) {
    Register(h.release());
}

struct Control;
struct Event;
struct Stream;

struct Device : Handle {
    Device() : Handle(Kind::kDevice) {}
    std::unique_ptr<UsbDevice> usb;
    std::string path;
    std::mutex mutex;  // guards the child pointers
    Control* control = nullptr;
    Event* event = nullptr;
    Stream* stream = nullptr;
};

struct Control : Handle {
    Control() : Handle(Kind::kControl) {}
    Device* device = nullptr;
    std::mutex mutex;  // one transaction at a time; guards everything below
    uint16_t nextRequestId = 1;
    uint32_t maxCommand = kDefaultTransferLength;
    uint32_t maxAck = kDefaultTransferLength;
    unsigned responseMs = kDefaultResponseMs;
    uint64_t manifestAddress = 0;
    uint64_t sirmAddress = 0;
    uint64_t eirmAddress = 0;
    uint32_t streamChannels = 0;
    std::vector<uint8_t> commandBuffer;
    std::vector<uint8_t> ackBuffer;
    std::vector<uint8_t> xml;
    int users = 0;  // open event and stream channels that use this control channel

    UsbDevice& Usb() const { return *device->usb; }

    uint16_t AwaitAck(uint16_t requestId, uint16_t ackId, Wire::Acknowledge& ack) {
        auto deadline = Clock::now() + std::chrono::milliseconds(responseMs);
        for (int stale = 0; stale <= kMaxStaleAcks;) {
            const auto now = Clock::now();
            if (now >= deadline) return Result::kMsgTimeout;
            const unsigned wait = unsigned(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            size_t got = 0;
            UsbStatus st = Usb().BulkIn(Channel::kControl, ackBuffer.data(), ackBuffer.size(), wait, &got);
            if (st == UsbStatus::kTimeout || st == UsbStatus::kCancelled) continue;
            if (st != UsbStatus::kOk) return FromUsb(st);
            if (Wire::DecodeAcknowledge(ackBuffer.data(), got, ack) != Wire::DecodeError::kOk)
                return Result::kBadAcknowledge;
            if (ack.requestId != requestId) {  // answer to an earlier, abandoned command
                ++stale;
                continue;
            }
            if (ack.commandId == Wire::kPendingAck) {
                uint16_t more = 0;
                if (Wire::DecodePendingAck(ack, more) != Wire::DecodeError::kOk) return Result::kBadAcknowledge;
                deadline = Clock::now() + std::chrono::milliseconds(std::min<unsigned>(more, kMaxResponseMs));
                continue;
            }
            if (ack.commandId != ackId) return Result::kBadAcknowledge;
            return Result::kOk;
        }
        return Result::kBadAcknowledge;
    }

    uint16_t Send(size_t length) {
        if (length == 0) return Result::kInvalidParameter;
        size_t sent = 0;
        UsbStatus st = Usb().BulkOut(Channel::kControl, commandBuffer.data(), length, responseMs, &sent);
        if (st != UsbStatus::kOk) return FromUsb(st);
        return sent == length ? Result::kOk : Result::kTransferFailed;
    }

    uint16_t TakeRequestId() {
        uint16_t id = nextRequestId++;
        if (nextRequestId == 0) nextRequestId = 1;
        return id;
    }

    uint16_t ReadChunk(uint64_t address, uint16_t length, uint8_t* out) {
        const uint16_t id = TakeRequestId();
        uint16_t r = Send(Wire::EncodeReadMem(commandBuffer.data(), commandBuffer.size(), id, address, length));
        if (r != Result::kOk) return r;
        Wire::Acknowledge ack;
        if ((r = AwaitAck(id, Wire::kReadMemAck, ack)) != Result::kOk) return r;
        if (ack.status != Wire::Status::kSuccess) return CameraStatus(ack.status, Result::kBadAcknowledge);
        if (ack.scdLength != length || (length != 0 && ack.scd == nullptr)) return Result::kBadAcknowledge;
        if (length != 0) std::memcpy(out, ack.scd, length);
        return Result::kOk;
    }

    uint16_t WriteChunk(uint64_t address, uint16_t length, const uint8_t* data) {
        const uint16_t id = TakeRequestId();
        uint16_t r = Send(Wire::EncodeWriteMem(commandBuffer.data(), commandBuffer.size(), id, address, data, length));
        if (r != Result::kOk) return r;
        Wire::Acknowledge ack;
        if ((r = AwaitAck(id, Wire::kWriteMemAck, ack)) != Result::kOk) return r;
        uint16_t written = 0;
        if (Wire::DecodeWriteMemAck(ack, written) != Wire::DecodeError::kOk) return Result::kBadAcknowledge;
        if (ack.status != Wire::Status::kSuccess) return CameraStatus(ack.status, Result::kBadAcknowledge);
        return written == length ? Result::kOk : Result::kBadAcknowledge;
    }

    // Large accesses are split into what one command and one acknowledgement can carry.
    uint16_t Read(uint64_t address, size_t length, uint8_t* out) {
        const size_t chunk = maxAck - Wire::kControlHeaderSize;
        for (size_t done = 0; done < length;) {
            const size_t n = std::min(chunk, length - done);
            uint16_t r = ReadChunk(address + done, uint16_t(n), out + done);
            if (r != Result::kOk) return r;
            done += n;
        }
        return Result::kOk;
    }

    uint16_t Write(uint64_t address, size_t length, const uint8_t* data) {
        const size_t chunk = maxCommand - Wire::kControlHeaderSize - Wire::kWriteMemAddrSize;
        for (size_t done = 0; done < length;) {
            const size_t n = std::min(chunk, length - done);
            uint16_t r = WriteChunk(address + done, uint16_t(n), data + done);
            if (r != Result::kOk) return r;
            done += n;
        }
        return Result::kOk;
    }

    uint16_t ReadU32(uint64_t address, uint32_t& v) {
        uint8_t b[4];
        uint16_t r = Read(address, 4, b);
        if (r == Result::kOk) v = ByteReader(b, 4).U32();
        return r;
    }
    uint16_t ReadU64(uint64_t address, uint64_t& v) {
        uint8_t b[8];
        uint16_t r = Read(address, 8, b);
        if (r == Result::kOk) v = ByteReader(b, 8).U64();
        return r;
    }
    uint16_t WriteU32(uint64_t address, uint32_t v) {
        uint8_t b[4];
        ByteWriter(b, 4).U32(v);
        return Write(address, 4, b);
    }

    void SetTransferLengths(uint32_t command, uint32_t ack) {
        maxCommand = command;
        maxAck = ack;
        commandBuffer.assign(command, 0);
        ackBuffer.assign(ack, 0);
    }

    // Reads what the library needs from the ABRM and SBRM.
    uint16_t Bootstrap() {
        SetTransferLengths(kDefaultTransferLength, kDefaultTransferLength);
        uint32_t responseTime = 0;
        uint64_t sbrm = 0;
        uint16_t r = ReadU32(Wire::Abrm::kMaxDeviceResponseTime, responseTime);
        if (r == Result::kOk) r = ReadU64(Wire::Abrm::kSbrmAddress, sbrm);
        if (r == Result::kOk) r = ReadU64(Wire::Abrm::kManifestTableAddress, manifestAddress);
        if (r != Result::kOk) return r;
        responseMs = std::clamp<unsigned>(responseTime, kMinResponseMs, kMaxResponseMs);
        // Field by field: until the SBRM is known, every read must fit the smallest acknowledgement.
        uint32_t maxCmd = 0, maxAckLen = 0;
        if ((r = ReadU32(sbrm + Wire::Sbrm::kMaxCommandTransferLength, maxCmd)) != Result::kOk ||
            (r = ReadU32(sbrm + Wire::Sbrm::kMaxAckTransferLength, maxAckLen)) != Result::kOk ||
            (r = ReadU32(sbrm + Wire::Sbrm::kNumberOfStreamChannels, streamChannels)) != Result::kOk ||
            (r = ReadU64(sbrm + Wire::Sbrm::kSirmAddress, sirmAddress)) != Result::kOk ||
            (r = ReadU64(sbrm + Wire::Sbrm::kEirmAddress, eirmAddress)) != Result::kOk)
            return r;
        if (maxCmd < kMinCommandLength || maxAckLen < kMinAckLength || maxCmd > kMaxTransferLength ||
            maxAckLen > kMaxTransferLength)
            return Result::kBadRegisterMap;
        SetTransferLengths(maxCmd, maxAckLen);
        return Result::kOk;
    }
};

struct Event : Handle {
    Event() : Handle(Kind::kEvent) {}
    Device* device = nullptr;
    Control* control = nullptr;
    U3V_EVENT_CALLBACK callback = nullptr;
    void* context = nullptr;
    unsigned pollMs = 100;
    std::vector<uint8_t> buffer;
    std::atomic<bool> stop{false};
    std::thread thread;

    void Run() {
        UsbDevice& usb = *device->usb;
        while (!stop.load()) {
            size_t got = 0;
            UsbStatus st = usb.BulkIn(Channel::kEvent, buffer.data(), buffer.size(), pollMs, &got);
            if (st == UsbStatus::kNoDevice) return;
            if (st != UsbStatus::kOk) continue;
            // A malformed packet is dropped whole.
            Wire::DecodeEvents(buffer.data(), got, [&](const Wire::Event& e) {
                callback(e.eventId, e.timestamp, int(e.dataLength), const_cast<uint8_t*>(e.data), context);
            });
        }
    }
};

struct Stream : Handle {
    Stream() : Handle(Kind::kStream) {}
    Device* device = nullptr;
    Control* control = nullptr;

    std::mutex settingsMutex;  // guards the three settings
    uint32_t bufferCount = 8;
    uint32_t timeoutMs = 1000;
    uint32_t transferSize = 0;  // 0: the library's default

    std::mutex receiveMutex;  // held by GetImage, AcquisitionStart and AcquisitionStop
    std::atomic<bool> started{false};
    std::atomic<bool> stopRequested{false};
    uint32_t alignment = 1;
    uint32_t frameLimit = kEndless;
    uint64_t payloadSize = 0;
    uint64_t delivered = 0;
    uint64_t failed = 0;
    Wire::TransferLayout layout;
    std::vector<uint8_t> leader;
    std::vector<uint8_t> trailer;
    std::vector<uint8_t> bounce;  // the part of the last transfer that runs past the caller's buffer
    size_t pendingLeader = 0;    // bytes of a leader received while a frame was still expected

    UsbDevice& Usb() const { return *device->usb; }

    uint16_t StopCamera() {
        std::lock_guard<std::mutex> lock(control->mutex);
        uint16_t r = control->WriteU32(CameraRegister::kAcquisitionCommand, 0);
        uint16_t r2 = control->WriteU32(control->sirmAddress + Wire::Sirm::kControl, 0);
        return r != Result::kOk ? r : r2;
    }
};

// ---- discovery ----------------------------------------------------------------------------

std::mutex gDiscoveryMutex;
std::vector<UsbDeviceEntry> gDiscovered;
std::mutex gOpenMutex;
std::set<std::string> gOpenPaths;

// ---- stream reception ---------------------------------------------------------------------

struct Receive {
    UsbStatus status;
    size_t got;
};

Receive ReadTransfer(Stream& s, uint8_t* dst, size_t size, unsigned timeoutMs) {
    size_t got = 0;
    UsbStatus st = s.Usb().BulkIn(Channel::kStream, dst, size, timeoutMs, &got);
    return {st, got};
}

void FillInfo(U3V_FRAME_INFO* info, const Wire::Leader& l, const Wire::Trailer* t, uint64_t valid, uint32_t count) {
    if (info == nullptr) return;
    std::memset(info, 0, sizeof *info);
    info->blockId = l.blockId;
    info->timestamp = l.timestamp;
    info->pixelFormat = l.pixelFormat;
    info->sizeX = l.sizeX;
    info->sizeY = l.sizeY;
    info->payloadType = l.payloadType;
    info->paddingX = l.paddingX;
    info->offsetX = l.offsetX;
    info->offsetY = l.offsetY;
    info->validPayloadSize = valid;
    info->count = count;
    if (t != nullptr) {
        info->trailerStatus = t->status;
        info->validLines = t->sizeY;
    }
}

uint16_t EndedOr(Stream& s, uint16_t otherwise) {
    return s.stopRequested.load() ? Result::kAcquisitionEnded : otherwise;
}

// One frame: leader, payload straight into the caller's buffer, trailer. Runs under receiveMutex.
uint16_t ReceiveFrame(Stream& s, uint8_t* buffer, uint32_t timeoutMs, uint32_t streamTimeoutMs, U3V_FRAME_INFO* info) {
    // 1. The leader, skipping stray transfers of a frame whose leader was lost.
    Wire::Leader leader;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t got = s.pendingLeader;
        s.pendingLeader = 0;
        if (got == 0) {
            if (s.stopRequested.load()) return Result::kAcquisitionEnded;
            const auto now = Clock::now();
            const unsigned wait =
                now >= deadline ? 0 : unsigned(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
            Receive rc = ReadTransfer(s, s.leader.data(), s.leader.size(), wait);
            if (rc.status == UsbStatus::kTimeout) return Result::kTimeout;
            if (rc.status == UsbStatus::kCancelled) return EndedOr(s, Result::kTimeout);
            if (rc.status == UsbStatus::kNoDevice) return Result::kDeviceLost;
            if (rc.status == UsbStatus::kOverflow) continue;  // payload of a frame we joined late
            if (rc.status != UsbStatus::kOk) return Result::kTransferFailed;
            got = rc.got;
        }
        if (Wire::DecodeLeader(s.leader.data(), got, leader) == Wire::DecodeError::kOk) break;
        if (Clock::now() >= deadline) return Result::kTimeout;
    }

    // 2. The payload in the planned transfers; only the last may need the bounce buffer.
    uint64_t received = 0;
    bool haveTrailer = false;
    size_t trailerBytes = 0;
    const Wire::TransferLayout& L = s.layout;
    const uint64_t planned = uint64_t(L.transferCount) + (L.finalTransfer1 ? 1 : 0) + (L.finalTransfer2 ? 1 : 0);
    for (uint64_t i = 0; i < planned && !haveTrailer; ++i) {
        const uint32_t size = i < L.transferCount ? L.transferSize
                              : (i == L.transferCount && L.finalTransfer1) ? L.finalTransfer1
                                                                           : L.finalTransfer2;
        const bool fits = received + size <= s.payloadSize;
        uint8_t* dst = fits ? buffer + received : s.bounce.data();
        if (!fits && s.bounce.size() < size) s.bounce.resize(size);  // only when the layout changed
        dst = fits ? dst : s.bounce.data();
        Receive rc = ReadTransfer(s, dst, size, streamTimeoutMs);
        if (rc.status == UsbStatus::kNoDevice) return Result::kDeviceLost;
        if (rc.status == UsbStatus::kCancelled && s.stopRequested.load()) return Result::kAcquisitionEnded;
        if (rc.status == UsbStatus::kOverflow) {
            FillInfo(info, leader, nullptr, received, 1);
            return Result::kDataOverrun;
        }
        if (rc.status != UsbStatus::kOk) {
            FillInfo(info, leader, nullptr, received, 1);
            return Result::kIncompleteFrame;
        }
        if (rc.got < size) {
            // A short transfer ends the payload early: it is the trailer, the next frame's
            // leader, or the last bytes of a shorter payload.
            Wire::Trailer t;
            Wire::Leader next;
            if (rc.got <= s.trailer.size() && Wire::DecodeTrailer(dst, rc.got, t) == Wire::DecodeError::kOk) {
                std::memcpy(s.trailer.data(), dst, rc.got);
                trailerBytes = rc.got;
                haveTrailer = true;
                break;
            }
            if (rc.got <= s.leader.size() && Wire::DecodeLeader(dst, rc.got, next) == Wire::DecodeError::kOk) {
                std::memcpy(s.leader.data(), dst, rc.got);
                s.pendingLeader = rc.got;
                FillInfo(info, leader, nullptr, received, 1);
                return Result::kIncompleteFrame;
            }
        }
        if (!fits) {
            const uint64_t room = s.payloadSize - received;
            std::memcpy(buffer + received, s.bounce.data(), size_t(std::min<uint64_t>(room, rc.got)));
            received += std::min<uint64_t>(room, rc.got);
        } else {
            received += rc.got;
        }
        if (rc.got < size) break;
    }

    // 3. The trailer.
    if (!haveTrailer) {
        Receive rc = ReadTransfer(s, s.trailer.data(), s.trailer.size(), streamTimeoutMs);
        if (rc.status == UsbStatus::kNoDevice) return Result::kDeviceLost;
        if (rc.status == UsbStatus::kCancelled && s.stopRequested.load()) return Result::kAcquisitionEnded;
        if (rc.status == UsbStatus::kOverflow) {  // more payload than the stream interface announced
            FillInfo(info, leader, nullptr, received, 1);
            return Result::kDataOverrun;
        }
        if (rc.status != UsbStatus::kOk) {
            FillInfo(info, leader, nullptr, received, 1);
            return Result::kIncompleteFrame;
        }
        trailerBytes = rc.got;
    }
    Wire::Trailer t;
    if (Wire::DecodeTrailer(s.trailer.data(), trailerBytes, t) != Wire::DecodeError::kOk) {
        Wire::Leader next;
        if (trailerBytes <= s.leader.size() &&
            Wire::DecodeLeader(s.trailer.data(), trailerBytes, next) == Wire::DecodeError::kOk) {
            std::memcpy(s.leader.data(), s.trailer.data(), trailerBytes);
            s.pendingLeader = trailerBytes;
            FillInfo(info, leader, nullptr, received, 1);
            return Result::kIncompleteFrame;
        }
        FillInfo(info, leader, nullptr, received, 1);
        return Result::kDataOverrun;  // payload bytes where the trailer belongs
    }
    if (t.blockId != leader.blockId) {
        FillInfo(info, leader, &t, received, 1);
        return Result::kIncompleteFrame;
    }
    if (t.validPayloadSize > s.payloadSize) {
        FillInfo(info, leader, &t, received, 1);
        return Result::kDataOverrun;
    }
    if (t.status != Wire::Status::kSuccess) {
        FillInfo(info, leader, &t, std::min<uint64_t>(received, t.validPayloadSize), 1);
        return CameraStatus(t.status, Result::kIncompleteFrame);
    }
    if (t.validPayloadSize > received) {
        FillInfo(info, leader, &t, received, 1);
        return Result::kIncompleteFrame;
    }
    FillInfo(info, leader, &t, t.validPayloadSize, 0);
    return Result::kOk;
}

// ---- description file ---------------------------------------------------------------------

uint16_t Unzip(const std::vector<uint8_t>& zipped, std::vector<uint8_t>& out) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(zipped.data(), zipped.size(), 0, &error);
    if (src == nullptr) {
        zip_error_fini(&error);
        return Result::kBadFile;
    }
    zip_t* archive = zip_open_from_source(src, ZIP_RDONLY, &error);
    zip_error_fini(&error);
    if (archive == nullptr) {
        zip_source_free(src);
        return Result::kBadFile;
    }
    uint16_t result = Result::kBadFile;
    const zip_int64_t entries = zip_get_num_entries(archive, 0);
    zip_int64_t pick = entries > 0 ? 0 : -1;
    for (zip_int64_t i = 0; i < entries; ++i) {
        const char* name = zip_get_name(archive, zip_uint64_t(i), 0);
        const size_t len = name ? std::strlen(name) : 0;
        if (len >= 4 && strcasecmp(name + len - 4, ".xml") == 0) {
            pick = i;
            break;
        }
    }
    zip_stat_t st;
    zip_stat_init(&st);
    if (pick >= 0 && zip_stat_index(archive, zip_uint64_t(pick), 0, &st) == 0 && (st.valid & ZIP_STAT_SIZE)) {
        if (st.size > kMaxFileSize) {
            result = Result::kTooLarge;
        } else if (zip_file_t* f = zip_fopen_index(archive, zip_uint64_t(pick), 0)) {
            out.assign(size_t(st.size), 0);
            const zip_int64_t n = zip_fread(f, out.data(), st.size);
            if (n >= 0 && zip_uint64_t(n) == st.size) result = Result::kOk;
            zip_fclose(f);
        }
    }
    zip_discard(archive);
    if (result != Result::kOk) out.clear();
    return result;
}

}  // namespace

// ---- discovery ----------------------------------------------------------------------------

uint16_t U3V_DiscoveryDevices(uint16_t* count) {
    if (count == nullptr) return Result::kInvalidBuffer;
    std::vector<UsbDeviceEntry> found = Registry::Instance().Enumerate();
    if (found.size() > 0xFFFF) found.resize(0xFFFF);
    std::lock_guard<std::mutex> lock(gDiscoveryMutex);
    gDiscovered = std::move(found);
    *count = uint16_t(gDiscovered.size());
    return Result::kOk;
}

uint16_t U3V_GetDeviceInfo(uint16_t index, U3V_DISCOVERY_INFO* record) {
    if (record == nullptr) return Result::kInvalidBuffer;
    UsbDeviceEntry e;
    {
        std::lock_guard<std::mutex> lock(gDiscoveryMutex);
        if (index == 0 || index > gDiscovered.size()) return Result::kNoSuchDevice;
        e = gDiscovered[index - 1];
    }
    if (e.path.size() >= sizeof record->devicePath) return Result::kTooLarge;  // the path must survive whole
    std::memset(record, 0, sizeof *record);
    record->vendorId = e.vendorId;
    record->productId = e.productId;
    record->busNumber = e.busNumber;
    record->deviceAddress = e.deviceAddress;
    record->speed = e.speed;
    CopyText(record->devicePath, sizeof record->devicePath, e.path);
    CopyText(record->modelName, sizeof record->modelName, e.model);
    CopyText(record->deviceGuid, sizeof record->deviceGuid, e.guid);
    CopyText(record->serialNumber, sizeof record->serialNumber, e.serial);
    std::lock_guard<std::mutex> lock(gOpenMutex);
    record->accessCode = gOpenPaths.count(e.path) ? 1 : 0;
    return Result::kOk;
}

// ---- device -------------------------------------------------------------------------------

uint16_t U3V_OpenDevice(const char* devicePath, U3V_HANDLE* device, uint32_t reserved1, uint32_t reserved2,
                        U3V_DEVICE_INFORMATION* record) {
    if (device == nullptr || record == nullptr) return Result::kInvalidBuffer;
    if (devicePath == nullptr || reserved1 != 0 || reserved2 != 0) return Result::kInvalidParameter;
    const std::string path(devicePath);
    {
        std::lock_guard<std::mutex> lock(gOpenMutex);
        if (!gOpenPaths.insert(path).second) return Result::kBusy;
    }
    auto fail = [&](uint16_t r) {
        std::lock_guard<std::mutex> lock(gOpenMutex);
        gOpenPaths.erase(path);
        return r;
    };
    std::unique_ptr<UsbDevice> usb;
    UsbStatus st = Registry::Instance().Open(path, &usb);
    if (st == UsbStatus::kNotFound) return fail(Result::kNoSuchDevice);
    if (st != UsbStatus::kOk || !usb) return fail(Result::kOpenFailed);
    if (usb->Claim(Channel::kControl) != UsbStatus::kOk) return fail(Result::kClaimFailed);

    const UsbDeviceEntry& e = usb->Entry();
    std::memset(record, 0, sizeof *record);
    record->vendorId = e.vendorId;
    record->productId = e.productId;
    CopyText(record->deviceDescription, sizeof record->deviceDescription, "USB3 Vision camera");
    CopyText(record->manufacturer, sizeof record->manufacturer, e.manufacturer);
    CopyText(record->instanceId, sizeof record->instanceId, e.instanceId);
    CopyText(record->deviceGuid, sizeof record->deviceGuid, e.guid);
    CopyText(record->modelName, sizeof record->modelName, e.model);
    CopyText(record->serialNumber, sizeof record->serialNumber, e.serial);
    CopyText(record->devicePath, sizeof record->devicePath, e.path);
    CopyText(record->familyName, sizeof record->familyName, e.family);
    record->busNumber = e.busNumber;
    record->deviceAddress = e.deviceAddress;
    record->speed = e.speed;

    auto* d = new Device;
    d->usb = std::move(usb);
    d->path = path;
    Register(d);
    *device = d;
    return Result::kOk;
}

uint16_t U3V_CloseDevice(U3V_HANDLE device) {
    Lease<Device> lease(device, Kind::kDevice);
    if (!lease) return Result::kInvalidHandle;
    std::unique_ptr<Device> d = Retire(lease);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->control || d->event || d->stream) {
            Restore(std::move(d));
            return Result::kBusy;
        }
    }
    d->usb->ReleaseClaim(Channel::kControl);
    std::lock_guard<std::mutex> lock(gOpenMutex);
    gOpenPaths.erase(d->path);
    return Result::kOk;
}

// ---- control ------------------------------------------------------------------------------

uint16_t U3V_OpenControl(U3V_HANDLE device, U3V_HANDLE* control) {
    if (control == nullptr) return Result::kInvalidBuffer;
    Lease<Device> d(device, Kind::kDevice);
    if (!d) return Result::kInvalidHandle;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->control != nullptr) return Result::kBusy;
    auto c = std::make_unique<Control>();
    c->device = d.get();
    uint16_t r;
    {
        std::lock_guard<std::mutex> clock(c->mutex);
        r = c->Bootstrap();
    }
    if (r != Result::kOk) return r == Result::kBadRegisterMap || r == Result::kDeviceLost ? r : Result::kNotU3vDevice;
    d->control = c.get();
    Register(c.get());
    *control = c.release();
    return Result::kOk;
}

uint16_t U3V_CloseControl(U3V_HANDLE control) {
    Lease<Control> lease(control, Kind::kControl);
    if (!lease) return Result::kInvalidHandle;
    std::unique_ptr<Control> c = Retire(lease);
    std::lock_guard<std::mutex> lock(c->device->mutex);
    if (c->users != 0) {
        Restore(std::move(c));
        return Result::kBusy;
    }
    c->device->control = nullptr;
    return Result::kOk;
}

uint16_t U3V_ReadMem(U3V_HANDLE control, uint64_t address, uint16_t length, void* buffer) {
    Lease<Control> c(control, Kind::kControl);
    if (!c) return Result::kInvalidHandle;
    if (buffer == nullptr && length != 0) return Result::kInvalidBuffer;
    std::lock_guard<std::mutex> lock(c->mutex);
    return c->Read(address, length, static_cast<uint8_t*>(buffer));
}

uint16_t U3V_WriteMem(U3V_HANDLE control, uint64_t address, uint16_t length, const void* buffer) {
    Lease<Control> c(control, Kind::kControl);
    if (!c) return Result::kInvalidHandle;
    if (buffer == nullptr && length != 0) return Result::kInvalidBuffer;
    std::lock_guard<std::mutex> lock(c->mutex);
    return c->Write(address, length, static_cast<const uint8_t*>(buffer));
}

uint16_t U3V_ReadXml(U3V_HANDLE control, const void** data, uint32_t* size, uint32_t reserved) {
    if (data == nullptr || size == nullptr) return Result::kInvalidBuffer;
    if (reserved != 0) return Result::kInvalidParameter;
    Lease<Control> c(control, Kind::kControl);
    if (!c) return Result::kInvalidHandle;
    std::lock_guard<std::mutex> lock(c->mutex);
    if (c->manifestAddress == 0) return Result::kNoManifest;
    uint64_t count = 0;
    uint16_t r = c->ReadU64(c->manifestAddress, count);
    if (r != Result::kOk) return r;
    if (count == 0) return Result::kNoManifest;
    count = std::min(count, kMaxManifestEntries);
    Wire::ManifestEntry entry;
    bool found = false;
    for (uint64_t i = 0; i < count && !found; ++i) {
        uint8_t raw[Wire::kManifestEntrySize];
        if ((r = c->Read(c->manifestAddress + 8 + i * Wire::kManifestEntrySize, sizeof raw, raw)) != Result::kOk)
            return r;
        Wire::DecodeManifestEntry(raw, sizeof raw, entry);
        found = entry.FileType() == Wire::kManifestTypeDeviceXml;
    }
    if (!found) return Result::kNoManifest;
    if (entry.size == 0) return Result::kBadFile;
    if (entry.size > kMaxFileSize) return Result::kTooLarge;
    const uint32_t format = entry.FileFormat();
    if (format != Wire::kManifestFormatUncompressed && format != Wire::kManifestFormatZip) return Result::kBadFile;
    std::vector<uint8_t> file(size_t(entry.size));
    if ((r = c->Read(entry.address, file.size(), file.data())) != Result::kOk) return r;
    if (format == Wire::kManifestFormatZip) {
        std::vector<uint8_t> text;
        if ((r = Unzip(file, text)) != Result::kOk) return r;
        file.swap(text);
    }
    if (file.empty() || file.size() > kMaxFileSize) return Result::kBadFile;
    c->xml.swap(file);
    *data = c->xml.data();
    *size = uint32_t(c->xml.size());
    return Result::kOk;
}

// ---- events -------------------------------------------------------------------------------

uint16_t U3V_OpenEvent(U3V_HANDLE device, U3V_HANDLE control, U3V_HANDLE* event, U3V_EVENT_CALLBACK callback,
                       uint32_t pollMs, void* context) {
    if (event == nullptr) return Result::kInvalidBuffer;
    if (callback == nullptr || pollMs == 0) return Result::kInvalidParameter;
    Lease<Device> d(device, Kind::kDevice);
    Lease<Control> c(control, Kind::kControl);
    if (!d || !c || c->device != d.get()) return Result::kInvalidHandle;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->event != nullptr) return Result::kBusy;
    if (!d->usb->Entry().hasEvent || c->eirmAddress == 0) return Result::kNoChannel;
    uint32_t maxTransfer = 0;
    uint16_t r;
    {
        std::lock_guard<std::mutex> clock(c->mutex);
        r = c->ReadU32(c->eirmAddress + Wire::Eirm::kMaxEventTransferLength, maxTransfer);
    }
    if (r != Result::kOk) return r;
    if (maxTransfer < Wire::kControlHeaderSize + Wire::kEventHeaderSize || maxTransfer > kMaxEventTransfer)
        return Result::kBadRegisterMap;
    if (d->usb->Claim(Channel::kEvent) != UsbStatus::kOk) return Result::kClaimFailed;
    {
        std::lock_guard<std::mutex> clock(c->mutex);
        r = c->WriteU32(c->eirmAddress + Wire::Eirm::kControl, Wire::Eirm::kControlEnable);
    }
    if (r != Result::kOk) {
        d->usb->ReleaseClaim(Channel::kEvent);
        return r;
    }
    auto e = std::make_unique<Event>();
    e->device = d.get();
    e->control = c.get();
    e->callback = callback;
    e->context = context;
    e->pollMs = pollMs;
    e->buffer.assign(maxTransfer, 0);
    Event* raw = e.get();
    e->thread = std::thread([raw] { raw->Run(); });
    d->event = raw;
    ++c->users;
    Register(raw);
    *event = e.release();
    return Result::kOk;
}

uint16_t U3V_CloseEvent(U3V_HANDLE event) {
    Lease<Event> lease(event, Kind::kEvent);
    if (!lease) return Result::kInvalidHandle;
    if (lease->thread.get_id() == std::this_thread::get_id()) return Result::kBusy;  // from inside the callback
    std::unique_ptr<Event> e = Retire(lease);
    e->stop = true;
    e->device->usb->Cancel(Channel::kEvent);
    if (e->thread.joinable()) e->thread.join();
    {
        std::lock_guard<std::mutex> clock(e->control->mutex);
        e->control->WriteU32(e->control->eirmAddress + Wire::Eirm::kControl, 0);  // best effort: may be unplugged
    }
    e->device->usb->ReleaseClaim(Channel::kEvent);
    std::lock_guard<std::mutex> lock(e->device->mutex);
    e->device->event = nullptr;
    --e->control->users;
    return Result::kOk;
}

// ---- stream -------------------------------------------------------------------------------

uint16_t U3V_OpenStream(U3V_HANDLE device, U3V_HANDLE control, U3V_HANDLE* stream, uint32_t timeoutMs) {
    if (stream == nullptr) return Result::kInvalidBuffer;
    Lease<Device> d(device, Kind::kDevice);
    Lease<Control> c(control, Kind::kControl);
    if (!d || !c || c->device != d.get()) return Result::kInvalidHandle;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->stream != nullptr) return Result::kBusy;
    if (!d->usb->Entry().hasStream || c->sirmAddress == 0 || c->streamChannels == 0) return Result::kNoChannel;
    uint32_t siInfo = 0;
    uint16_t r;
    {
        std::lock_guard<std::mutex> clock(c->mutex);
        r = c->ReadU32(c->sirmAddress + Wire::Sirm::kInfo, siInfo);
        if (r == Result::kOk) r = c->WriteU32(c->sirmAddress + Wire::Sirm::kControl, 0);
    }
    if (r != Result::kOk) return r;
    const uint32_t alignShift = siInfo >> 24;
    if (alignShift > 16) return Result::kBadRegisterMap;
    if (d->usb->Claim(Channel::kStream) != UsbStatus::kOk) return Result::kClaimFailed;
    auto s = std::make_unique<Stream>();
    s->device = d.get();
    s->control = c.get();
    s->timeoutMs = timeoutMs;
    s->alignment = 1u << alignShift;
    d->stream = s.get();
    ++c->users;
    Register(s.get());
    *stream = s.release();
    return Result::kOk;
}

uint16_t U3V_CloseStream(U3V_HANDLE stream) {
    Lease<Stream> lease(stream, Kind::kStream);
    if (!lease) return Result::kInvalidHandle;
    // Wake a receiver, then wait for every call on the handle to leave.
    lease->stopRequested = true;
    lease->device->usb->Cancel(Channel::kStream);
    std::unique_ptr<Stream> s = Retire(lease);
    if (s->started.load()) s->StopCamera();  // best effort: may be unplugged
    s->device->usb->ReleaseClaim(Channel::kStream);
    std::lock_guard<std::mutex> lock(s->device->mutex);
    s->device->stream = nullptr;
    --s->control->users;
    return Result::kOk;
}

uint16_t U3V_SetBufferCount(U3V_HANDLE stream, uint32_t count) {
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    if (count == 0) return Result::kInvalidParameter;
    std::lock_guard<std::mutex> lock(s->settingsMutex);
    s->bufferCount = count;
    return Result::kOk;
}

uint16_t U3V_GetBufferCount(U3V_HANDLE stream, uint32_t* count) {
    if (count == nullptr) return Result::kInvalidBuffer;
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    std::lock_guard<std::mutex> lock(s->settingsMutex);
    *count = s->bufferCount;
    return Result::kOk;
}

uint16_t U3V_SetStreamTimeout(U3V_HANDLE stream, uint32_t timeoutMs) {
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    std::lock_guard<std::mutex> lock(s->settingsMutex);
    s->timeoutMs = timeoutMs;
    return Result::kOk;
}

uint16_t U3V_GetStreamTimeout(U3V_HANDLE stream, uint32_t* timeoutMs) {
    if (timeoutMs == nullptr) return Result::kInvalidBuffer;
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    std::lock_guard<std::mutex> lock(s->settingsMutex);
    *timeoutMs = s->timeoutMs;
    return Result::kOk;
}

uint16_t U3V_SetTransferSize(U3V_HANDLE stream, uint32_t bytes) {
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    if (bytes < s->alignment || bytes > (256u << 20)) return Result::kInvalidParameter;
    if (s->started.load()) return Result::kBusy;
    std::lock_guard<std::mutex> lock(s->settingsMutex);
    s->transferSize = bytes;
    return Result::kOk;
}

uint16_t U3V_AcquisitionStart(U3V_HANDLE stream, uint32_t frames) {
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    if (frames == 0) return Result::kInvalidParameter;
    std::lock_guard<std::mutex> rx(s->receiveMutex);
    if (s->started.load()) return Result::kBusy;
    uint32_t transfer;
    {
        std::lock_guard<std::mutex> lock(s->settingsMutex);
        transfer = s->transferSize;
    }
    Control& c = *s->control;
    std::lock_guard<std::mutex> clock(c.mutex);
    const uint64_t sirm = c.sirmAddress;
    uint8_t regs[Wire::Sirm::kSize];
    uint16_t r = c.Read(sirm, sizeof regs, regs);
    if (r != Result::kOk) return r;
    ByteReader rd(regs, sizeof regs);
    rd.Skip(Wire::Sirm::kRequiredPayloadSize);
    const uint64_t payload = rd.U64();
    const uint32_t leaderSize = rd.U32();
    const uint32_t trailerSize = rd.U32();
    if (payload == 0 || leaderSize < Wire::kLeaderHeaderSize || trailerSize < Wire::kTrailerHeaderSize ||
        leaderSize > kMaxLeaderTrailer || trailerSize > kMaxLeaderTrailer)
        return Result::kStreamSetupFailed;
    if (payload > kMaxPayloadSize) return Result::kTooLarge;
    if (transfer == 0) transfer = uint32_t(std::min<uint64_t>(kDefaultStreamTransfer, payload));
    transfer = std::max(transfer & ~(s->alignment - 1), s->alignment);
    Wire::TransferLayout layout;
    if (!Wire::ComputeTransferLayout(payload, transfer, s->alignment, layout)) return Result::kStreamSetupFailed;

    const struct {
        uint64_t offset;
        uint32_t value;
    } writes[] = {
        {Wire::Sirm::kMaxLeaderSize, leaderSize},
        {Wire::Sirm::kPayloadTransferSize, layout.transferSize},
        {Wire::Sirm::kPayloadTransferCount, layout.transferCount},
        {Wire::Sirm::kPayloadFinalTransfer1Size, layout.finalTransfer1},
        {Wire::Sirm::kPayloadFinalTransfer2Size, layout.finalTransfer2},
        {Wire::Sirm::kMaxTrailerSize, trailerSize},
        {Wire::Sirm::kControl, Wire::Sirm::kControlEnable},
    };
    for (const auto& w : writes)
        if ((r = c.WriteU32(sirm + w.offset, w.value)) != Result::kOk) return r;
    if ((r = c.WriteU32(CameraRegister::kAcquisitionCommand, 1)) != Result::kOk) {
        c.WriteU32(sirm + Wire::Sirm::kControl, 0);
        return r;
    }
    // Buffers are sized once here; frames reuse them.
    s->leader.assign(leaderSize, 0);
    // Room for a leader too: when a frame is cut short, the next frame's leader arrives where
    // its trailer was expected and must be recognised rather than overflow the read.
    s->trailer.assign(std::max(trailerSize, leaderSize), 0);
    s->bounce.assign(s->alignment, 0);
    s->layout = layout;
    s->payloadSize = payload;
    s->frameLimit = frames;
    s->delivered = 0;
    s->failed = 0;
    s->pendingLeader = 0;
    s->stopRequested = false;
    s->started = true;
    return Result::kOk;
}

uint16_t U3V_GetImage(U3V_HANDLE stream, void* buffer, uint32_t timeoutMs, U3V_FRAME_INFO* info) {
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    if (buffer == nullptr) return Result::kInvalidBuffer;
    if (info != nullptr) std::memset(info, 0, sizeof *info);
    std::lock_guard<std::mutex> rx(s->receiveMutex);
    if (!s->started.load()) return s->stopRequested.load() ? Result::kAcquisitionEnded : Result::kNotStarted;
    if (s->frameLimit != kEndless && s->delivered + s->failed >= s->frameLimit) return Result::kAcquisitionEnded;
    uint32_t streamTimeout;
    {
        std::lock_guard<std::mutex> lock(s->settingsMutex);
        streamTimeout = s->timeoutMs;
    }
    const uint16_t r = ReceiveFrame(*s.get(), static_cast<uint8_t*>(buffer), timeoutMs, streamTimeout, info);
    switch (r) {
        case Result::kOk: ++s->delivered; break;
        case Result::kTimeout:
        case Result::kAcquisitionEnded:
        case Result::kDeviceLost:
        case Result::kTransferFailed: return r;
        default: ++s->failed; break;
    }
    if (s->frameLimit != kEndless && s->delivered + s->failed >= s->frameLimit) s->StopCamera();
    return r;
}

uint16_t U3V_AcquisitionStop(U3V_HANDLE stream, uint64_t* delivered, uint64_t* failed) {
    Lease<Stream> s(stream, Kind::kStream);
    if (!s) return Result::kInvalidHandle;
    s->stopRequested = true;
    s->device->usb->Cancel(Channel::kStream);
    std::lock_guard<std::mutex> rx(s->receiveMutex);
    uint16_t r = Result::kOk;
    if (s->started.load()) r = s->StopCamera();
    s->started = false;
    s->pendingLeader = 0;
    if (delivered) *delivered = s->delivered;
    if (failed) *failed = s->failed;
    return r == Result::kDeviceLost ? Result::kOk : r;
}

// ---- removal notices ----------------------------------------------------------------------

uint16_t TessaRegisterRemoval(U3V_REMOVAL_CALLBACK callback, void* context, uint32_t* token) {
    if (callback == nullptr) return Result::kInvalidParameter;
    if (token == nullptr) return Result::kInvalidBuffer;
    *token = Registry::Instance().Subscribe([callback, context](const std::string& id) { callback(id.c_str(), context); });
    return Result::kOk;
}

uint16_t TessaUnregisterRemoval(uint32_t token) {
    if (token == 0) return Result::kInvalidParameter;
    Registry::Instance().Unsubscribe(token);
    return Result::kOk;
}

}  // namespace Kovon::Tessa
