// The USB3 Vision library (tessa) as a whole, fed hostile transfers through its USB transport
// seam: a backend of its own ("fuzz:u3v:<serial>") wraps a simulated camera's USB device and lets
// the input alter what arrives on each endpoint: acknowledgements (control), events, leaders,
// payload transfers and trailers (stream) can be corrupted, cut, replaced, dropped, repeated (a
// stale answer) or turned into transfer errors. The engine's own sequences run on top: open,
// control channel, register reads and writes, the description file, the event channel, stream
// set-up, frames, stop and close.
//
// The input is four scripts: the host's calls, and one script per endpoint, so each endpoint's
// alterations do not depend on how the event thread and the host interleave.
//
// Checked beyond "no fault": results are the library's documented statuses; a delivered or
// damaged frame never reports more bytes than the payload buffer; the frames AcquisitionStop
// reports as delivered are the ones GetImage delivered; every channel closes.
//
// Bounded cost: the camera answers within 10 ms; an endpoint read waits at most 5 ms, and after
// 400 empty waits in one input the device counts as unplugged.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "KovonSim/SimU3V.h"
#include "u3v/tessa/CameraRegisters.h"
#include "u3v/tessa/Tessa.h"
#include "u3v/tessa/transport/TransportRegistry.h"

using namespace Kovon::Tessa;
using namespace Kovon::Tessa::Transport;

namespace {

constexpr const char* kSerial = "FZENGINE";
constexpr const char* kPrefix = "fuzz:u3v:";
constexpr unsigned kMaxWaitMs = 5;
constexpr int kEmptyWaitBudget = 400;

// One input's scripts and state, shared with the device the engine opens.
struct Session {
    KovonFuzz::Input* endpoint[3] = {};  // control, event, stream
    std::mutex endpointMutex[3];
    std::atomic<bool> alter[3] = {};
    std::atomic<int> emptyWaits{0};
};
Session* gSession = nullptr;

// KOVON_FUZZ_TRACE=1 lists what a replayed input did.
void Trace(const char* what, long long value) {
    static const bool trace = std::getenv("KOVON_FUZZ_TRACE") != nullptr;
    if (trace) std::fprintf(stderr, "%s: 0x%llx\n", what, value);
}

class FuzzDevice final : public UsbDevice {
public:
    explicit FuzzDevice(std::unique_ptr<UsbDevice> inner) : inner_(std::move(inner)) {}
    const UsbDeviceEntry& Entry() const override { return inner_->Entry(); }
    UsbStatus Claim(Channel c) override { return inner_->Claim(c); }
    void ReleaseClaim(Channel c) override { inner_->ReleaseClaim(c); }
    void Cancel(Channel c) override { inner_->Cancel(c); }

    UsbStatus BulkOut(Channel c, const uint8_t* data, size_t size, unsigned timeoutMs, size_t* sent) override {
        const int e = static_cast<int>(c);
        if (gSession != nullptr && gSession->alter[e].load()) {
            std::lock_guard<std::mutex> lock(gSession->endpointMutex[e]);
            KovonFuzz::Input* script = gSession->endpoint[e];
            if (script != nullptr && script->U8() % 32 == 31) {
                *sent = 0;
                return UsbStatus::kIo;
            }
        }
        return inner_->BulkOut(c, data, size, timeoutMs, sent);
    }

    UsbStatus BulkIn(Channel c, uint8_t* data, size_t cap, unsigned timeoutMs, size_t* got) override {
        *got = 0;
        const int e = static_cast<int>(c);
        if (gSession == nullptr || gSession->emptyWaits.load() >= kEmptyWaitBudget) return UsbStatus::kNoDevice;
        std::vector<uint8_t>& held = held_[e];
        if (!held.empty()) {  // the transfer a stale answer stood in for
            if (held.size() > cap) {
                held.clear();
                return UsbStatus::kOverflow;
            }
            std::memcpy(data, held.data(), held.size());
            *got = held.size();
            held.clear();
            return UsbStatus::kOk;
        }
        const UsbStatus st = inner_->BulkIn(c, data, cap, std::min(timeoutMs, kMaxWaitMs), got);
        if (st == UsbStatus::kTimeout) gSession->emptyWaits.fetch_add(1);
        if (st != UsbStatus::kOk || !gSession->alter[e].load()) return Keep(e, st, data, *got);

        std::lock_guard<std::mutex> lock(gSession->endpointMutex[e]);
        KovonFuzz::Input* script = gSession->endpoint[e];
        if (script == nullptr || script->empty()) return Keep(e, st, data, *got);
        const uint8_t op = script->U8();
        Trace(e == 0 ? "control answer altered" : e == 1 ? "event altered" : "stream transfer altered", op % 16);
        switch (op % 16) {
            case 8:  // one byte changed: the change, then the offset
                if (*got != 0) {
                    const auto flip = static_cast<uint8_t>(script->U8() | 1);
                    data[script->U16() % *got] ^= flip;
                }
                break;
            case 9:  // cut short
                *got = script->U16() % (*got + 1);
                break;
            case 10: {  // replaced by the input's bytes
                size_t length = 0;
                const uint8_t* bytes = script->Piece(cap, length);
                if (length != 0) std::memcpy(data, bytes, length);
                *got = length;
                break;
            }
            case 11:  // a 32-bit field (sizes, ids, statuses, counts) set to the input's value
                if (*got >= 4) {
                    const size_t at = (script->U16() % (*got / 4)) * 4;
                    const uint32_t v = script->U32();
                    std::memcpy(data + at, &v, 4);
                }
                break;
            case 12: *got = 0; return UsbStatus::kTimeout;  // the transfer is lost
            case 13: *got = 0; return UsbStatus::kIo;
            case 14: *got = 0; return UsbStatus::kOverflow;
            case 15: {  // the previous transfer again; this one comes next
                std::vector<uint8_t>& last = last_[e];
                if (last.empty() || last.size() > cap) break;
                held.assign(data, data + *got);
                std::memcpy(data, last.data(), last.size());
                *got = last.size();
                return UsbStatus::kOk;
            }
            default: break;  // as the camera sent it
        }
        return Keep(e, st, data, *got);
    }

private:
    UsbStatus Keep(int e, UsbStatus st, const uint8_t* data, size_t got) {
        if (st == UsbStatus::kOk) last_[e].assign(data, data + got);
        return st;
    }

    std::unique_ptr<UsbDevice> inner_;
    std::vector<uint8_t> held_[3];
    std::vector<uint8_t> last_[3];
};

class FuzzBackend final : public UsbBackend {
public:
    bool OwnsPath(const std::string& path) const override { return path.rfind(kPrefix, 0) == 0; }
    void Enumerate(std::vector<UsbDeviceEntry>&) override {}
    UsbStatus Open(const std::string& path, std::unique_ptr<UsbDevice>* out) override {
        std::unique_ptr<UsbDevice> inner;
        const UsbStatus st = Registry::Instance().Open("sim:u3v:" + path.substr(std::strlen(kPrefix)), &inner);
        if (st != UsbStatus::kOk) return st;
        *out = std::make_unique<FuzzDevice>(std::move(inner));
        return UsbStatus::kOk;
    }
};

bool OnEvent(uint16_t, uint64_t, int length, void* data, void*) {
    FUZZ_CHECK(length >= 0 && (length == 0 || data != nullptr));
    if (length > 0) {
        volatile uint8_t last = static_cast<uint8_t*>(data)[length - 1];  // the whole event is readable
        (void)last;
    }
    return true;
}

// The library's results: success, camera statuses (0x8xxx, 0xAxxx) and its own (0xC001-0xC01E).
bool IsResult(uint16_t r) { return r == 0 || (r & 0xF000) == 0x8000 || (r & 0xF000) == 0xA000 || (r >= 0xC001 && r <= 0xC01E); }

constexpr uint64_t kAddresses[] = {0x0, 0x4, 0x44, 0xC4, 0x144, 0x184, 0x1C4, 0x1D0, 0x1D8, 0x1E0, 0x10040,
                                   0x50000, 0x50004, 0x50008, 0x5000C, 0x50014, 0x50030, 0x80010};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool registered = [] {
        Registry::Instance().AddBackend(std::make_shared<FuzzBackend>());
        return true;
    }();
    (void)registered;

    KovonFuzz::Input whole(data, size);
    size_t lengths[4] = {};
    const uint8_t* parts[4] = {};
    for (int i = 0; i < 3; ++i) parts[i] = whole.Piece(4096, lengths[i]);
    parts[3] = whole.Rest(lengths[3]);
    KovonFuzz::Input host(parts[0], lengths[0]);
    KovonFuzz::Input control(parts[1], lengths[1]), event(parts[2], lengths[2]), stream(parts[3], lengths[3]);

    KovonSimU3VOptions options;
    KovonSimU3V_DefaultOptions(&options);
    options.serial = kSerial;
    options.model = "TK-U3-13M";
    options.width = host.U8() % 64 + 1;
    options.height = host.U8() % 32 + 1;
    options.pixelFormat = host.Bool() ? 0x01100007 : 0x01080001;
    options.alignmentShift = host.U8() % 4;
    options.zipDescription = host.Bool();
    options.maxTransferSize = host.Bool() ? 256 : 0x200000;
    options.responseTimeMs = 10;
    if (KovonSimU3V_PlugWith(&options) != 0) return 0;

    Session session;
    session.endpoint[0] = &control;
    session.endpoint[1] = &event;
    session.endpoint[2] = &stream;
    for (auto& a : session.alter) a = true;
    gSession = &session;

    const std::string path = std::string(kPrefix) + kSerial;
    U3V_HANDLE device = nullptr, ctl = nullptr, evt = nullptr, str = nullptr;
    U3V_DEVICE_INFORMATION record{};
    uint16_t r = U3V_OpenDevice(path.c_str(), &device, 0, 0, &record);
    FUZZ_CHECK(IsResult(r));
    Trace("open device", r);
    if (r == 0) r = U3V_OpenControl(device, &ctl);
    Trace("open control", r);
    FUZZ_CHECK(IsResult(r));
    for (int op = 0; r == 0 && op < 8 && !host.empty(); ++op) {
        uint8_t bytes[64] = {};
        const uint64_t address = kAddresses[host.U8() % std::size(kAddresses)];
        switch (host.U8() % 5) {
            case 0: {
                const uint16_t read = U3V_ReadMem(ctl, address, static_cast<uint16_t>(host.U8() % 65), bytes);
                Trace("read", read);
                FUZZ_CHECK(IsResult(read));
                break;
            }
            case 1: {
                const uint32_t value = host.U32();
                FUZZ_CHECK(IsResult(U3V_WriteMem(ctl, address, 4, &value)));
                break;
            }
            case 2: {
                const void* xml = nullptr;
                uint32_t xmlSize = 0;
                const uint16_t x = U3V_ReadXml(ctl, &xml, &xmlSize, 0);
                FUZZ_CHECK(IsResult(x));
                if (x == 0 && xmlSize != 0) {
                    FUZZ_CHECK(xml != nullptr);
                    volatile uint8_t last = static_cast<const uint8_t*>(xml)[xmlSize - 1];  // all of it readable
                    (void)last;
                }
                break;
            }
            case 3:
                if (evt == nullptr) {
                    FUZZ_CHECK(IsResult(U3V_OpenEvent(device, ctl, &evt, OnEvent, 2, nullptr)));
                } else {
                    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
                    KovonSimU3V_FireEvent(kSerial, host.U16(), payload, static_cast<uint16_t>(host.U8() % 9));
                }
                break;
            case 4:
                if (evt != nullptr) FUZZ_CHECK(U3V_CloseEvent(evt) == 0), evt = nullptr;
                break;
        }
    }

    // The stream: the host sizes its buffer by the payload the camera announces, so that read and
    // the stream's own set-up see true answers; from the start on, the stream endpoint is altered.
    uint8_t payloadBytes[4] = {};
    session.alter[0] = false;
    if (r == 0 && U3V_ReadMem(ctl, Kovon::Tessa::CameraRegister::kPayloadSize, 4, payloadBytes) == 0) {
        const uint32_t payload = uint32_t{payloadBytes[0]} | uint32_t{payloadBytes[1]} << 8 |
                                 uint32_t{payloadBytes[2]} << 16 | uint32_t{payloadBytes[3]} << 24;
        const uint16_t opened = U3V_OpenStream(device, ctl, &str, 10);
        Trace("open stream", opened);
        FUZZ_CHECK(IsResult(opened));
        if (opened == 0 && payload != 0 && payload <= (1u << 20)) {
            if (host.Bool()) U3V_SetTransferSize(str, host.U16());
            if (host.Bool()) U3V_SetBufferCount(str, host.U8() % 8);
            const uint32_t frames = host.U8() % 4 + 1;
            const uint16_t started = U3V_AcquisitionStart(str, frames);
            Trace("start", started);
            FUZZ_CHECK(IsResult(started));
            if (started == 0) {
                std::vector<uint8_t> image(payload);
                uint64_t ok = 0;
                for (int i = 0; i < 6; ++i) {
                    U3V_FRAME_INFO info{};
                    const uint16_t g = U3V_GetImage(str, image.data(), 20, &info);
                    Trace("image", g);
                    FUZZ_CHECK(IsResult(g));
                    if (g == 0) ++ok;
                    if (g == 0 || g == Result::kIncompleteFrame) FUZZ_CHECK(info.validPayloadSize <= payload);
                    if (g == Result::kAcquisitionEnded || g == Result::kDeviceLost) break;
                }
                uint64_t delivered = 0, failed = 0;
                FUZZ_CHECK(IsResult(U3V_AcquisitionStop(str, &delivered, &failed)));
                FUZZ_CHECK(delivered == ok);
            }
        }
    }
    if (str != nullptr) FUZZ_CHECK(U3V_CloseStream(str) == 0);
    if (evt != nullptr) FUZZ_CHECK(U3V_CloseEvent(evt) == 0);
    if (ctl != nullptr) FUZZ_CHECK(U3V_CloseControl(ctl) == 0);
    if (device != nullptr) FUZZ_CHECK(U3V_CloseDevice(device) == 0);
    gSession = nullptr;
    KovonSimU3V_UnplugAll();
    return 0;
}
