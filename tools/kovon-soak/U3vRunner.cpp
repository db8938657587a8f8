// The USB3 Vision camera streams 640 x 480 Mono8 as fast as the host collects (the host takes at
// most one frame every 10 ms) while the soak makes it skip block ids, send frames with a failed
// trailer status, cut frames off before their trailer, answer commands late, and unplugs it; the
// camera is plugged in again half a second later and the next session opens it anew.
//
// Accounting. generated: every block the camera began and finished (simulator: sent + failed +
// cut off + skipped block ids). delivered: GetImage 0. faulty: stream parameter 12 (frames with a
// failure status). lost: stream parameters 6 (block-id gaps and cut-off frames) and 13 (frames
// that found no free buffer). In flight: frames the worker had queued when the host called Freeze
// (stream parameter 1, frames queued, less those the host collected); Freeze frees them. A frame
// the worker was still receiving at the Freeze or the removal has no trailer: the simulator does
// not count it, and the module neither. Faults stop two seconds before a session's end, so that a
// skipped block id is seen (by the frame after it) before the stop.
#include <exception>
#include <vector>

#include "Runners.h"

namespace KovonSoak {

namespace {

constexpr uint32_t kImageTimeoutMs = 300;
constexpr uint32_t kQuietEndMs = 2000;
constexpr uint32_t kCollectPauseMs = 10;
constexpr uint32_t kReplugPauseMs = 500;
// A removal is chosen at most once per session and not in its first seconds.
constexpr uint64_t kUnplugNotBeforeMs = 6000;

uint64_t Generated(const KovonSimU3VCounters& c) {
    return c.framesSent + c.framesFailed + c.framesIncomplete + c.framesDropped;
}

}  // namespace

void U3vRunner::Finish() {
    if (!plugged_) {
        KovonSimU3VOptions o;
        sim_.u3vDefaultOptions(&o);
        o.serial = Cameras::kU3vStreamed;
        o.model = Cameras::kU3vModel;
        o.width = Cameras::kU3vWidth;
        o.height = Cameras::kU3vHeight;
        plugged_ = sim_.u3vPlugWith(&o) == 0;
    }
}

bool U3vRunner::Session() {
    if (!plugged_) {
        KovonSimU3VOptions o;
        sim_.u3vDefaultOptions(&o);
        o.serial = Cameras::kU3vStreamed;
        o.model = Cameras::kU3vModel;
        o.width = Cameras::kU3vWidth;
        o.height = Cameras::kU3vHeight;
        const int rc = sim_.u3vPlugWith(&o);
        if (rc != 0) {
            ledger_.Problem("the camera could not be plugged in again: " + std::to_string(rc));
            return false;
        }
        plugged_ = true;
    }
    const std::string name = Cameras::kU3vStreamedName;
    if (!WaitListed(itf_, name, 0, 50, stop_)) {
        if (!stop_.load()) ledger_.Problem("the camera was not listed after it was plugged in");
        return false;
    }
    Lumora::IDevice* device = OpenListed(name);
    if (device == nullptr) return false;
    Lumora::IStream* stream = OpenStreamOrRelease(device);
    if (stream == nullptr) return false;
    int rc = 0;
    SetStreamValue<uint32_t>(stream, 2, kImageTimeoutMs);
    KovonSimU3VCounters before{};
    sim_.u3vGetCounters(Cameras::kU3vStreamed, &before);
    if ((rc = stream->Acquire(Lumora::IStream::ACQ_START_FLAGS_DEFAULT, ~0ull)) != 0) {
        ledger_.Note("Acquire refused, retried");
        Log("Acquire %d", rc);
        device->Release();
        return false;
    }
    const uint64_t payload = StreamValue<uint64_t>(stream, 4);
    if (payload != uint64_t{Cameras::kU3vWidth} * Cameras::kU3vHeight) {
        ledger_.Problem("payload size " + std::to_string(payload));
        device->Release();
        return false;
    }

    SessionCount s;
    std::vector<uint8_t> frame(payload);
    uint64_t corrupted = 0;
    auto take = [&](int32_t timeoutMs) -> bool {
        const int r = stream->GetImage(frame.data(), timeoutMs);
        Step();
        if (r != 0) return false;
        ++s.delivered;
        if (!Mono8Ramp(frame.data(), Cameras::kU3vWidth, Cameras::kU3vHeight)) ++corrupted;
        return true;
    };

    const auto start = Clock::now();
    const uint64_t sessionMs = uint64_t{options_.sessionSeconds} * 1000;
    uint64_t nextFaultMs = options_.faultEveryMs / 2 + Random(options_.faultEveryMs);
    bool unplugged = false;
    KovonSimU3VCounters after{};
    while (!stop_.load()) {
        const uint64_t now = MsSince(start);
        if (now >= sessionMs) break;
        if (now >= nextFaultMs && now + kQuietEndMs < sessionMs) {
            const char* serial = Cameras::kU3vStreamed;
            switch (Random(6)) {
                case 0: sim_.u3vInjectDropped(serial, 1 + Random(3)); ledger_.Fault("block ids skipped"); break;
                case 1: sim_.u3vInjectFailed(serial, 1 + Random(2)); ledger_.Fault("failed trailer status"); break;
                case 2: sim_.u3vInjectIncomplete(serial, 1); ledger_.Fault("frame cut off"); break;
                case 3: sim_.u3vInjectControlFaults(serial, 2, 1, 0); ledger_.Fault("late and stale acknowledgements"); break;
                default:
                    if (now >= kUnplugNotBeforeMs) {
                        unplugged = sim_.u3vUnplugCounted(serial, &after) == 0;
                        if (unplugged) ledger_.Fault("unplugged and plugged in again");
                    }
                    break;
            }
            nextFaultMs = now + options_.faultEveryMs / 2 + Random(options_.faultEveryMs);
            if (unplugged) break;
        }
        if (FrameReady(stream)) take(0);
        SleepUnless(stop_, kCollectPauseMs);
    }

    if (unplugged) {
        plugged_ = false;
        // Frames queued before the removal are still the host's to collect.
        while (take(0)) {
        }
    }
    stream->Freeze(Lumora::IStream::ACQ_STOP_FLAGS_DEFAULT);
    if (!unplugged) sim_.u3vGetCounters(Cameras::kU3vStreamed, &after);
    int st1 = 0, st6 = 0, st12 = 0, st13 = 0;
    const uint64_t queued = StreamValue<uint64_t>(stream, 1, &st1);
    const uint64_t lost = StreamValue<uint64_t>(stream, 6, &st6);
    const uint64_t failed = StreamValue<uint64_t>(stream, 12, &st12);
    const uint64_t noBuffer = StreamValue<uint64_t>(stream, 13, &st13);
    if (st1 != 0 || st6 != 0 || st12 != 0 || st13 != 0) ledger_.Problem("a frame counter of the stream was refused");
    device->Release();

    s.generated = Generated(after) - Generated(before);
    s.faulty = failed;
    s.lost = lost + noBuffer;
    if (queued >= s.delivered) {
        s.inFlight = queued - s.delivered;
    } else {
        ledger_.Problem("the host collected " + std::to_string(s.delivered) + " frames, the stream queued " +
                        std::to_string(queued));
    }
    if (noBuffer != 0) ledger_.Note("frames that found no free buffer", noBuffer);
    if (corrupted != 0) ledger_.Problem(std::to_string(corrupted) + " delivered frames with wrong pixels");
    ledger_.AddSession(s, unplugged ? "unplugged" : "stopped");
    Log("session %s: generated %llu delivered %llu faulty %llu lost %llu in flight %llu",
        unplugged ? "unplugged" : "stopped", static_cast<unsigned long long>(s.generated),
        static_cast<unsigned long long>(s.delivered), static_cast<unsigned long long>(s.faulty),
        static_cast<unsigned long long>(s.lost), static_cast<unsigned long long>(s.inFlight));
    if (unplugged) SleepUnless(stop_, kReplugPauseMs);
    return true;
}

}  // namespace KovonSoak
