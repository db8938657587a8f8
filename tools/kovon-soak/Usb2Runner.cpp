// The USB 2.0 camera (monochrome, firmware 1.2.0.3, which marks its frames) runs free at 50
// frames a second, 640 x 480 Mono8, while the soak takes bytes out of its frame stream (the frame
// boundaries slip: the module resynchronises), stalls its bulk pipe (the module aborts the pipe
// and restarts the camera) and fails bursts of its register requests with error 31: short ones,
// which the channel's five tries absorb, and long ones, which reach the caller.
//
// Accounting. generated: frames the camera put into its bulk pipe (simulator). delivered:
// GetImage 0. faulty: GetImage -2 (a bulk read failed). The module tells of the other frames only
// that it lost the stream's step: GetImage -3 after each resynchronisation or pipe restart, with
// no count; it then discards the bytes it had read out of step and the camera empties its pipe on
// the restart. So lost = generated - delivered - faulty, and each -3 must explain its share: a
// session with lost frames must have reported a -3, and no more frames may be lost per -3 than a
// resynchronisation can take: the two frame slots, the two frames the camera's pipe holds and the
// frame being cut (kMaxLostPerRestart). A session stops the camera first (AcquisitionStart 0),
// collects what is left in the pipe and the slots, and then freezes: nothing is in flight.
#include <exception>
#include <vector>

#include "Runners.h"

namespace KovonSoak {

namespace {

constexpr uint64_t kWidth = 0x108, kHeight = 0x10C, kPixelFormat = 0x120;
constexpr uint64_t kAcquisitionStart = 0x154;
constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kImageTimeoutMs = 300;
// A stopped camera sends what it began and falls silent; collecting after the stop ends long before.
constexpr uint32_t kDrainLimitMs = 10000;
constexpr uint32_t kQuietEndMs = 2000;
constexpr uint64_t kMaxLostPerRestart = 5;
constexpr unsigned kShortBurst = 3;  // below the channel's five tries
constexpr unsigned kLongBurst = 12;

int SetU32(Lumora::IDevice* device, Lumora::u64 address, uint32_t value) {
    Lumora::u64 size = sizeof value;
    return device->SetParam(address, &value, size);
}

}  // namespace

bool Usb2Runner::Session() {
    const unsigned instance = Cameras::kUsb2Streamed;
    const std::string name = Cameras::kUsb2StreamedName;
    if (!WaitListed(itf_, name, 0, 50, stop_)) {
        if (!stop_.load()) ledger_.Problem("the camera was not listed");
        return false;
    }
    Lumora::IDevice* device = OpenListed(name);
    if (device == nullptr) return false;
    Lumora::IStream* stream = OpenStreamOrRelease(device);
    if (stream == nullptr) return false;
    int rc = 0;
    SetStreamValue<uint32_t>(stream, 2, kImageTimeoutMs);
    if (SetU32(device, kWidth, 640) != 0 || SetU32(device, kHeight, 480) != 0 ||
        SetU32(device, kPixelFormat, kMono8) != 0) {
        // An error 31 burst of the previous session may still be running out.
        ledger_.Note("image settings refused, retried");
        device->Release();
        return false;
    }
    KovonSimUsb2Frames before{};
    sim_.usb2GetFrames(instance, &before);
    const int acquired = stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0);
    if (acquired != 0 || (rc = SetU32(device, kAcquisitionStart, 1)) != 0) {
        ledger_.Note("acquisition start refused, retried");
        Log("Acquire %d, AcquisitionStart %d", acquired, rc);
        stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
        device->Release();
        return false;
    }
    const uint64_t payload = StreamValue<uint64_t>(stream, 4);
    if (payload == 0 || payload > (64u << 20)) {
        ledger_.Problem("payload size " + std::to_string(payload));
        stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
        device->Release();
        return false;
    }

    SessionCount s;
    uint64_t restarts = 0, unexpected = 0;
    bool stopped = false;
    // Room for the widest conversion (three bytes a pixel).
    std::vector<uint8_t> frame(payload * 3);
    auto collect = [&]() -> bool {
        if (!FrameReady(stream)) return false;
        const int r = stream->GetImage(frame.data(), 0);
        Step();
        switch (r) {
            case 0: ++s.delivered; return true;
            case -2: ++s.faulty; return true;
            case -3: ++restarts; return true;
            case -1: stopped = true; return false;
            default: ++unexpected; return true;
        }
    };

    const auto start = Clock::now();
    const uint64_t sessionMs = uint64_t{options_.sessionSeconds} * 1000;
    uint64_t nextFaultMs = options_.faultEveryMs / 2 + Random(options_.faultEveryMs);
    while (!stop_.load() && !stopped) {
        const uint64_t now = MsSince(start);
        if (now >= sessionMs) break;
        if (now >= nextFaultMs && now + kQuietEndMs < sessionMs) {
            switch (Random(4)) {
                case 0:
                    sim_.usb2LoseBytes(instance, 1 + Random(4000));
                    ledger_.Fault("bytes lost from the frame stream");
                    break;
                case 1:
                    sim_.usb2StallPipe(instance);
                    ledger_.Fault("bulk pipe stalled");
                    break;
                case 2:
                    sim_.usb2FailRequests(instance, kShortBurst);
                    ledger_.Fault("3 register requests failed (error 31)");
                    break;
                default:
                    sim_.usb2FailRequests(instance, kLongBurst);
                    ledger_.Fault("12 register requests failed (error 31)");
                    break;
            }
            nextFaultMs = now + options_.faultEveryMs / 2 + Random(options_.faultEveryMs);
        }
        collect();
    }
    if (stopped) ledger_.Problem("the stream reported itself stopped (-1) while acquiring");

    // Stop the camera, then take what is left in its pipe and the stream's slots.
    if (SetU32(device, kAcquisitionStart, 0) != 0) {
        // A long error burst can still be running out: try once more.
        SetU32(device, kAcquisitionStart, 0);
    }
    const auto drain = Clock::now();
    for (int idle = 0; idle < 3 && !stopped;) {
        idle = collect() ? 0 : idle + 1;
        if (MsSince(drain) > kDrainLimitMs) {
            ledger_.Problem("the camera did not stop sending");
            break;
        }
    }
    const uint64_t counted = StreamValue<uint64_t>(stream, 1);
    stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    KovonSimUsb2Frames after{};
    sim_.usb2GetFrames(instance, &after);
    device->Release();

    s.generated = after.sent - before.sent;
    const uint64_t accounted = s.delivered + s.faulty;
    s.lost = s.generated >= accounted ? s.generated - accounted : 0;
    if (counted != s.delivered)
        ledger_.Problem("frame count " + std::to_string(counted) + ", frames delivered " + std::to_string(s.delivered));
    if (s.lost != 0 && restarts == 0)
        ledger_.Problem(std::to_string(s.lost) + " frames lost without a resynchronisation or restart (-3)");
    if (s.lost > restarts * kMaxLostPerRestart)
        ledger_.Problem(std::to_string(s.lost) + " frames lost for " + std::to_string(restarts) +
                        " resynchronisations or restarts");
    if (unexpected != 0) ledger_.Problem(std::to_string(unexpected) + " GetImage results other than 0, -1, -2, -3");
    ledger_.Note("resynchronisations and pipe restarts reported (-3)", restarts);
    ledger_.Note("frames the camera dropped with its pipe full (never sent)", after.dropped - before.dropped);
    ledger_.AddSession(s, "stopped");
    Log("session: generated %llu delivered %llu faulty %llu lost %llu (-3: %llu)",
        static_cast<unsigned long long>(s.generated), static_cast<unsigned long long>(s.delivered),
        static_cast<unsigned long long>(s.faulty), static_cast<unsigned long long>(s.lost),
        static_cast<unsigned long long>(restarts));
    return true;
}

}  // namespace KovonSoak
