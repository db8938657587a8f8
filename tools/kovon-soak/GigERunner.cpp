// The GigE Vision camera streams 640 x 480 Mono8 at 50 frames a second over loopback while the
// soak drops a share of its stream packets for a while, or takes its link away: briefly (shorter
// than the heartbeat time-out: the stream goes on) or long enough that the camera gives up its
// controller and stops, after which the session ends and the camera is opened again.
//
// Accounting. generated: frames the camera sent (simulator). delivered: GetImage 0. faulty:
// GetImage -3 (incomplete or damaged frames, counted by the module's frame count, id 1). lost:
// frames the receiver gave up (stream parameter 9). A session stops the camera first (its
// AcquisitionStop register), then collects until the module has nothing more, and only then
// freezes: the receiver has finished every frame the camera began (the camera always finishes a
// frame it began; the receiver gives up a frame's missing packets within its retention time), so
// nothing is in flight at the Freeze.
#include <arpa/inet.h>

#include <exception>
#include <vector>

#include "Runners.h"

namespace KovonSoak {

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;
constexpr uint32_t kFramePeriodUs = 20000;  // 50 frames a second
constexpr uint32_t kFramePeriodRegister = 0xA01C;
constexpr uint32_t kAcquisitionStopRegister = 0xA034;
constexpr uint32_t kImageTimeoutMs = 300;
// A stopped camera sends what it began and falls silent; collecting after the stop ends long before.
constexpr uint32_t kDrainLimitMs = 10000;
constexpr int kStopAttempts = 20;
constexpr unsigned kDiscoveryMs = 300;
constexpr uint32_t kShortLinkLossMs = 1000;  // the camera's heartbeat time-out is 3000 ms
constexpr uint32_t kLongLinkLossMs = 4500;
constexpr uint32_t kLossSpellMs = 2000;
constexpr double kPacketLoss = 0.02;
// No fault starts this close to a session's end, so that its effect is over before the stop.
constexpr uint32_t kQuietEndMs = 2000;
// After the link came back: a session whose camera sends nothing for this long is over.
constexpr uint32_t kSilenceEndsSessionMs = 2000;

int SetRegister(Lumora::IDevice* device, Lumora::u64 address, uint32_t value) {
    uint32_t wire = htonl(value);
    Lumora::u64 size = sizeof wire;
    return device->SetParam(address, &wire, size);
}

}  // namespace

bool GigERunner::Session() {
    const std::string name = Cameras::kGigEStreamedName;
    if (!WaitListed(itf_, name, kDiscoveryMs, 30, stop_)) {
        if (!stop_.load()) ledger_.Problem("the camera was not listed again");
        return false;
    }
    // The camera may still hold the previous controller until its heartbeat runs out: refused.
    Lumora::IDevice* device = OpenListed(name);
    if (device == nullptr) return false;
    int rc = 0;
    Lumora::IStream* stream = nullptr;
    if (SetRegister(device, kFramePeriodRegister, kFramePeriodUs) != 0 || device->OpenStream(0, stream) != 0 ||
        stream == nullptr) {
        ledger_.Note("camera set-up failed, retried");
        device->Release();
        return false;
    }
    SetStreamValue<uint32_t>(stream, 2, kImageTimeoutMs);
    KovonSimGigECounters before{};
    sim_.gigeGetCounters(camera_, &before);
    if ((rc = stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, 0)) != 0) {
        ledger_.Note("Acquire refused, retried");
        Log("Acquire %d", rc);
        device->Release();
        return false;
    }

    SessionCount s;
    std::vector<uint8_t> frame(kWidth * kHeight + 64);
    uint64_t corrupted = 0, unexpected = 0;
    auto collect = [&]() -> bool {
        if (!FrameReady(stream)) return false;
        const int r = stream->GetImage(frame.data(), 0);
        Step();
        if (r == 0) {
            ++s.delivered;
            if (!Mono8Ramp(frame.data(), kWidth, kHeight)) ++corrupted;
        } else if (r == -3) {
            ++s.faulty;
        } else if (r == -2) {
            ledger_.Note("link loss reported by GetImage (-2)");
        } else {
            ++unexpected;
        }
        return r == 0 || r == -3;
    };

    const auto start = Clock::now();
    const uint64_t sessionMs = uint64_t{options_.sessionSeconds} * 1000;
    uint64_t nextFaultMs = options_.faultEveryMs / 2 + Random(options_.faultEveryMs);
    enum class Undo { None, Loss, Link } undo = Undo::None;
    uint64_t undoAtMs = 0;
    bool longLoss = false;
    uint64_t lastFrameMs = 0;
    std::string how = "stopped";
    while (!stop_.load()) {
        const uint64_t now = MsSince(start);
        if (undo == Undo::None && now >= sessionMs) break;
        if (undo == Undo::None && now >= nextFaultMs && now + kQuietEndMs + kLongLinkLossMs < sessionMs) {
            const uint32_t pick = Random(5);
            if (pick <= 1) {
                sim_.gigeSetPacketLoss(camera_, kPacketLoss);
                ledger_.Fault("packet loss 2 % for 2 s");
                undo = Undo::Loss;
                undoAtMs = now + kLossSpellMs;
            } else {
                longLoss = pick == 4;
                sim_.gigeSetLink(camera_, 0);
                ledger_.Fault(longLoss ? "link lost 4.5 s" : "link lost 1 s");
                undo = Undo::Link;
                undoAtMs = now + (longLoss ? kLongLinkLossMs : kShortLinkLossMs);
            }
            Log("fault %u at %llu ms", pick, static_cast<unsigned long long>(now));
        }
        if (undo != Undo::None && now >= undoAtMs) {
            if (undo == Undo::Loss) sim_.gigeSetPacketLoss(camera_, 0.0);
            if (undo == Undo::Link) sim_.gigeSetLink(camera_, 1);
            undo = Undo::None;
            lastFrameMs = now;
            nextFaultMs = now + options_.faultEveryMs / 2 + Random(options_.faultEveryMs);
        }
        if (collect()) lastFrameMs = MsSince(start);
        if (longLoss && undo == Undo::None && MsSince(start) - lastFrameMs > kSilenceEndsSessionMs) {
            how = "camera dropped its controller";
            break;
        }
    }
    if (undo == Undo::Loss) sim_.gigeSetPacketLoss(camera_, 0.0);
    if (undo == Undo::Link) sim_.gigeSetLink(camera_, 1);

    // Stop the camera, then take whatever the module still has.
    // Right after the link came back the control channel may still refuse a write: try again,
    // collecting meanwhile.
    bool stopped = false;
    for (int attempt = 0; attempt < kStopAttempts && !stopped; ++attempt) {
        stopped = SetRegister(device, kAcquisitionStopRegister, 1) == 0;
        if (!stopped) collect();
    }
    if (!stopped) ledger_.Note("AcquisitionStop refused, the camera stopped by Freeze");
    const auto drain = Clock::now();
    for (int idle = 0; idle < 3;) {
        idle = collect() ? 0 : idle + 1;
        if (MsSince(drain) > kDrainLimitMs) {
            ledger_.Problem("the camera did not stop sending");
            break;
        }
    }
    int status = 0;
    s.lost = StreamValue<uint64_t>(stream, 9, &status);
    if (status != 0) ledger_.Problem("stream parameter 9 (lost frames) refused: " + std::to_string(status));
    const uint64_t counted = StreamValue<uint64_t>(stream, 1);
    if (counted != s.delivered + s.faulty + unexpected)
        ledger_.Problem("frame count " + std::to_string(counted) + " differs from the frames collected " +
                        std::to_string(s.delivered + s.faulty + unexpected));
    stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    KovonSimGigECounters after{};
    sim_.gigeGetCounters(camera_, &after);
    s.generated = after.framesSent - before.framesSent;
    device->Release();  // releases the stream too

    if (corrupted != 0) ledger_.Problem(std::to_string(corrupted) + " delivered frames with wrong pixels");
    if (unexpected != 0) ledger_.Problem(std::to_string(unexpected) + " GetImage results other than 0, -2, -3");
    ledger_.Note("packets resent by the camera", after.packetsResent - before.packetsResent);
    ledger_.AddSession(s, how);
    Log("session %s after %llu ms: generated %llu delivered %llu faulty %llu lost %llu", how.c_str(),
        static_cast<unsigned long long>(MsSince(start)),
        static_cast<unsigned long long>(s.generated), static_cast<unsigned long long>(s.delivered),
        static_cast<unsigned long long>(s.faulty), static_cast<unsigned long long>(s.lost));
    return true;
}

}  // namespace KovonSoak
