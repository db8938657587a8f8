#include "sim/usb2/SimUsb2Driver.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "usb2/driver/EzusbRecords.h"

namespace Kovon::Sim {
namespace {

constexpr size_t kInitialRingSize = 16;

class SimUsb2Handle final : public IDriverHandle {
public:
    explicit SimUsb2Handle(std::shared_ptr<SimUsb2Instance> instance) : instance_(std::move(instance)) {}

    uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                       size_t& returned) override {
        return instance_->IoControl(code, in, inSize, out, outSize, returned);
    }

private:
    std::shared_ptr<SimUsb2Instance> instance_;
};

}  // namespace

SimUsb2Instance::SimUsb2Instance(const SimUsb2Config& config) : camera_(config), ring_(kInitialRingSize) {
    seenEpoch_ = camera_.AcquisitionEpoch();
    generator_ = std::thread([this] { GeneratorLoop(); });
}

SimUsb2Instance::~SimUsb2Instance() {
    StopGenerator();
}

void SimUsb2Instance::StopGenerator() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopGenerator_) return;
        stopGenerator_ = true;
    }
    changed_.notify_all();
    generator_.join();
}

DriverHandle SimUsb2Instance::Open(uint32_t& error) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        error = camera_.Open();
    }
    if (error != kDriverOk) return nullptr;
    return std::make_unique<SimUsb2Handle>(shared_from_this());
}

void SimUsb2Instance::PushTransfer(Transfer transfer) {
    if (count_ == ring_.size()) {
        std::vector<Transfer> larger(ring_.size() * 2);
        for (size_t i = 0; i < count_; ++i) larger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
        ring_ = std::move(larger);
        head_ = 0;
    }
    queuedBytes_ += transfer.end - transfer.begin;
    ring_[(head_ + count_) % ring_.size()] = std::move(transfer);
    ++count_;
}

void SimUsb2Instance::FlushPipe() {
    for (size_t i = 0; i < count_; ++i) ring_[(head_ + i) % ring_.size()] = Transfer{};
    head_ = 0;
    count_ = 0;
    queuedBytes_ = 0;
}

void SimUsb2Instance::PushBulk(const void* data, size_t size, bool endOfTransfer) {
    Transfer transfer;
    if (size > 0 && data != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        transfer.bytes = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + size);
        transfer.end = size;
    }
    transfer.endOfTransfer = endOfTransfer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        PushTransfer(std::move(transfer));
    }
    changed_.notify_all();
}

void SimUsb2Instance::SetConnected(bool connected) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        camera_.SetConnected(connected);
    }
    changed_.notify_all();
}

bool SimUsb2Instance::SetFrameRate(double framesPerSecond) {
    if (!std::isfinite(framesPerSecond) || framesPerSecond < 0.0) return false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        frameRate_ = framesPerSecond;
    }
    changed_.notify_all();
    return true;
}

void SimUsb2Instance::LoseBytes(uint64_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    loseBytes_ += count;
}

void SimUsb2Instance::StallPipe() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stalled_ = true;
    }
    changed_.notify_all();
}

SimUsb2StreamCounters SimUsb2Instance::StreamCounters() {
    std::lock_guard<std::mutex> guard(lock_);
    return streamCounters_;
}

SimUsb2Frame SimUsb2Instance::FrameOfPhase(unsigned phase) {
    std::unique_lock<std::mutex> lock(lock_);
    const SimUsb2FrameSettings settings = camera_.FrameSettings();
    const SimUsb2Frame* frame = ReadyFrame(lock, settings, phase % kSimUsb2FramePhases);
    return frame != nullptr ? *frame : SimUsb2Frame{};
}

const SimUsb2Frame* SimUsb2Instance::ReadyFrame(std::unique_lock<std::mutex>& lock,
                                                const SimUsb2FrameSettings& settings, unsigned phase) {
    if (builtFrames_[phase].bytes && builtSettings_[phase] == settings) return &builtFrames_[phase];
    if (SimUsb2FrameBytes(settings) == 0) return nullptr;
    lock.unlock();
    SimUsb2Frame frame = BuildSimUsb2Frame(settings, phase);
    lock.lock();
    builtFrames_[phase] = std::move(frame);
    builtSettings_[phase] = settings;
    return &builtFrames_[phase];
}

void SimUsb2Instance::GeneratorLoop() {
    std::unique_lock<std::mutex> lock(lock_);
    unsigned phase = 0;
    uint64_t epoch = camera_.AcquisitionEpoch();
    Clock::time_point due = Clock::now();
    while (!stopGenerator_) {
        if (!camera_.Connected() || !camera_.Acquiring()) {
            changed_.wait(lock);
            continue;
        }
        if (camera_.AcquisitionEpoch() != epoch) {  // a fresh start: first phase, first frame now
            epoch = camera_.AcquisitionEpoch();
            phase = 0;
            due = Clock::now();
        }
        const bool triggered = camera_.TriggerMode();
        if (triggered && !camera_.TriggerPending()) {
            changed_.wait(lock);
            continue;
        }
        const bool paced = !triggered && frameRate_ > 0.0;
        if (paced && Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        const SimUsb2FrameSettings settings = camera_.FrameSettings();
        const SimUsb2Frame* frame = ReadyFrame(lock, settings, phase);
        if (stopGenerator_) break;
        if (frame == nullptr) {  // no image in these settings: wait for them to change
            changed_.wait(lock);
            continue;
        }
        // The lock was let go while the frame was built: start over if anything moved meanwhile.
        if (camera_.FrameSettings() != settings || !camera_.Acquiring() ||
            camera_.AcquisitionEpoch() != epoch)
            continue;
        const size_t frameBytes = frame->bytes->size();
        if (queuedBytes_ > frameBytes) {  // two frames queued: the camera's buffer is full
            if (!paced) {
                changed_.wait(lock);
                continue;
            }
            ++streamCounters_.framesDropped;
        } else {
            Transfer transfer{frame->bytes, 0, frameBytes, false};
            const uint64_t lost = std::min<uint64_t>(loseBytes_, frameBytes);
            loseBytes_ -= lost;
            streamCounters_.bytesLost += lost;
            transfer.begin = static_cast<size_t>(lost);
            if (transfer.begin < transfer.end) PushTransfer(std::move(transfer));
            camera_.FrameSent(frame->statistics);
            if (triggered) camera_.TakeTrigger();
            ++streamCounters_.framesSent;
            phase = (phase + 1) % kSimUsb2FramePhases;
            changed_.notify_all();
        }
        if (paced) {
            const auto period =
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / frameRate_));
            due += period;
            const Clock::time_point now = Clock::now();
            if (due + period < now) due = now;  // fell far behind (a stop, a slow build): no burst
        }
    }
}

bool SimUsb2Instance::IsPipeOne(const void* in, size_t inSize) {
    if (in == nullptr || inSize != sizeof(uint32_t)) return false;
    uint32_t pipe = 0;
    std::memcpy(&pipe, in, sizeof pipe);
    return pipe == kBulkInPipe;
}

uint32_t SimUsb2Instance::IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                                    size_t& returned) {
    returned = 0;
    switch (code) {
        case kGetDeviceDescriptorCode: {
            if (inSize != kDeviceDescriptorSize) return kDriverInvalidParameter;
            std::lock_guard<std::mutex> guard(lock_);
            return camera_.GetDeviceDescriptor(static_cast<uint8_t*>(out), outSize, returned);
        }
        case kVendorRequestCode: {
            VendorRequest request;
            if (!DecodeVendorRequest(in, inSize, request) || outSize > 0xFFFF) return kDriverInvalidParameter;
            const auto setup = SetupPacketOf(request, static_cast<uint16_t>(outSize));
            uint32_t status;
            {
                std::lock_guard<std::mutex> guard(lock_);
                status = camera_.ControlIn(setup.data(), setup.size(), static_cast<uint8_t*>(out), outSize,
                                           returned);
                if (camera_.AcquisitionEpoch() != seenEpoch_) {
                    seenEpoch_ = camera_.AcquisitionEpoch();
                    FlushPipe();
                }
            }
            changed_.notify_all();  // the generator follows every register change
            return status;
        }
        case kBulkReadCode:
            if (!IsPipeOne(in, inSize) || (out == nullptr && outSize != 0)) return kDriverInvalidParameter;
            return BulkRead(out, outSize, returned);
        case kAbortPipeCode: {
            if (!IsPipeOne(in, inSize)) return kDriverInvalidParameter;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (!camera_.Connected()) return kDriverNotConnected;
                ++abortGeneration_;
                stalled_ = false;  // the abort also clears a stalled pipe
            }
            changed_.notify_all();
            return kDriverOk;
        }
        default:
            return kDriverInvalidFunction;
    }
}

uint32_t SimUsb2Instance::BulkRead(void* out, size_t size, size_t& returned) {
    std::unique_lock<std::mutex> lock(lock_);
    const uint32_t status = camera_.BeginBulkRead();
    if (status != kDriverOk) return status;
    const uint64_t generation = abortGeneration_;
    auto* destination = static_cast<uint8_t*>(out);
    size_t got = 0;
    for (;;) {
        if (!camera_.Connected()) return kDriverNotConnected;
        if (abortGeneration_ != generation) return kDriverOperationAborted;
        if (stalled_) return kDriverGenFailure;
        bool transferEnded = false;
        bool consumed = false;
        while (got < size && count_ > 0) {
            Transfer& front = ring_[head_];
            const size_t take = std::min(size - got, front.end - front.begin);
            std::shared_ptr<const std::vector<uint8_t>> bytes = front.bytes;
            const size_t from = front.begin;
            front.begin += take;
            queuedBytes_ -= take;
            if (front.begin == front.end) {
                transferEnded = front.endOfTransfer;
                front = Transfer{};
                head_ = (head_ + 1) % ring_.size();
                --count_;
            }
            if (take > 0) {
                // The copy runs without the lock: register requests and the generator go on.
                lock.unlock();
                std::memcpy(destination + got, bytes->data() + from, take);
                lock.lock();
            }
            got += take;
            consumed = true;
            if (transferEnded) break;
        }
        if (consumed) changed_.notify_all();  // room for the generator
        if (got == size || transferEnded) {
            returned = got;
            return kDriverOk;
        }
        changed_.wait(lock);
    }
}

}  // namespace Kovon::Sim
