#include "sim/usb2/SimUsb2Driver.h"

#include <algorithm>
#include <cstring>

#include "usb2/driver/EzusbRecords.h"

namespace Kovon::Sim {
namespace {

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

SimUsb2Instance::SimUsb2Instance(const SimUsb2Config& config) : camera_(config) {}

DriverHandle SimUsb2Instance::Open(uint32_t& error) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        error = camera_.Open();
    }
    if (error != kDriverOk) return nullptr;
    return std::make_unique<SimUsb2Handle>(shared_from_this());
}

void SimUsb2Instance::PushBulk(const void* data, size_t size, bool endOfTransfer) {
    Transfer transfer;
    if (size > 0 && data != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        transfer.bytes.assign(bytes, bytes + size);
    }
    transfer.endOfTransfer = endOfTransfer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        pipe_.push_back(std::move(transfer));
    }
    pipeChanged_.notify_all();
}

void SimUsb2Instance::SetConnected(bool connected) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        camera_.SetConnected(connected);
    }
    pipeChanged_.notify_all();
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
            std::lock_guard<std::mutex> guard(lock_);
            return camera_.ControlIn(setup.data(), setup.size(), static_cast<uint8_t*>(out), outSize,
                                     returned);
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
            }
            pipeChanged_.notify_all();
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
        bool transferEnded = false;
        while (got < size && !pipe_.empty()) {
            Transfer& front = pipe_.front();
            const size_t take = std::min(size - got, front.bytes.size() - front.consumed);
            if (take > 0) std::memcpy(destination + got, front.bytes.data() + front.consumed, take);
            got += take;
            front.consumed += take;
            if (front.consumed == front.bytes.size()) {
                transferEnded = front.endOfTransfer;
                pipe_.pop_front();
                if (transferEnded) break;
            }
        }
        if (got == size || transferEnded) {
            returned = got;
            return kDriverOk;
        }
        pipeChanged_.wait(lock);
    }
}

}  // namespace Kovon::Sim
