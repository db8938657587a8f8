#include "usbbench/Usb2Camera.h"

#include <algorithm>
#include <cstring>

#include "usb2/driver/DriverSeam.h"
#include "usb2/driver/EzusbRecords.h"

namespace Kovon::UsbBench {
namespace {

InResult ResultOf(uint32_t error) {
    switch (error) {
        case kDriverOk: return InResult::kOk;
        case kDriverGenFailure: return InResult::kStall;
        case kDriverNotConnected: return InResult::kGone;
        case kDriverOperationAborted: return InResult::kCancelled;
        default: return InResult::kStall;
    }
}

}  // namespace

Usb2Camera::Usb2Camera(const Usb2CameraSpec& spec) : spec_(spec) { PowerUp(); }

Usb2Camera::~Usb2Camera() = default;

void Usb2Camera::PowerUp() {
    Powered fresh;
    fresh.sim = std::make_shared<Sim::SimUsb2Instance>(spec_.camera);
    uint32_t error = kDriverOk;
    fresh.handle = fresh.sim->Open(error);
    std::lock_guard<std::mutex> guard(lock_);
    powered_ = std::move(fresh);
}

Usb2Camera::Powered Usb2Camera::Current() {
    std::lock_guard<std::mutex> guard(lock_);
    return powered_;
}

std::shared_ptr<Sim::SimUsb2Instance> Usb2Camera::Sim() { return Current().sim; }

void Usb2Camera::SetSilent(bool silent) {
    std::lock_guard<std::mutex> guard(lock_);
    silent_ = silent;
}

std::vector<uint8_t> Usb2Camera::DeviceDescriptorOf(const Usb2CameraSpec& spec) {
    const uint16_t release = spec.camera.usbRelease;
    return {18,   1,    uint8_t(release & 0xFF), uint8_t(release >> 8), 0xFF, 0xFF, 0xFF, 64,
            uint8_t(spec.vendorId & 0xFF), uint8_t(spec.vendorId >> 8), uint8_t(spec.productId & 0xFF),
            uint8_t(spec.productId >> 8), 0x00, 0x01, 1, 2, 0, 1};
}

std::vector<uint8_t> Usb2Camera::ConfigurationOf() {
    return {
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration 1, 32 bytes
        0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00,  // interface 0, setting 0
        0x07, 0x05, 0x01, 0x02, 0x00, 0x02, 0x00,              // pipe 0: bulk OUT 0x01, 512
        0x07, 0x05, kImageEndpoint, 0x02, 0x00, 0x02, 0x00,    // pipe 1: bulk IN 0x82, 512
    };
}

DeviceDescription Usb2Camera::Describe() const {
    DeviceDescription d;
    d.device = spec_.deviceDescriptor.empty() ? DeviceDescriptorOf(spec_) : spec_.deviceDescriptor;
    d.configuration = spec_.configuration.empty() ? ConfigurationOf() : spec_.configuration;
    d.strings = {{1, "Tarvek"}, {2, "USB2.0 Camera"}};
    d.speedMbps = 480;
    return d;
}

void Usb2Camera::SetAnswerLength(size_t bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    answerLength_ = bytes;
}

ControlResult Usb2Camera::Control(const uint8_t (&setup)[8], std::vector<uint8_t>& data) {
    Powered p = Current();
    size_t answerLength = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (silent_) return ControlResult::kNoAnswer;
        answerLength = answerLength_;
    }
    if (setup[0] != 0xC0 || !p.handle) return ControlResult::kStall;
    // The camera model speaks the driver's record: rebuild it from the setup packet.
    VendorRequest request;
    request.request = setup[1];
    request.value = uint16_t(setup[2] | (setup[3] << 8));
    request.index = uint16_t(setup[4] | (setup[5] << 8));
    const auto record = EncodeVendorRequest(request);
    size_t returned = 0;
    const uint32_t error =
        p.handle->IoControl(kVendorRequestCode, record.data(), record.size(), data.data(), data.size(), returned);
    if (error != kDriverOk) return ControlResult::kStall;
    data.resize(answerLength != 0 ? std::min(answerLength, data.size()) : returned);
    return ControlResult::kOk;
}

void Usb2Camera::BulkOut(uint8_t, const uint8_t*, size_t) {}

InResult Usb2Camera::BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity, size_t& got) {
    got = 0;
    Powered p = Current();
    if (endpoint != kImageEndpoint || !p.handle) return InResult::kStall;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (interruptPending_) return InResult::kCancelled;
        inRead_ = true;
    }
    const uint32_t pipe = kBulkInPipe;
    const InResult r = ResultOf(p.handle->IoControl(kBulkReadCode, &pipe, sizeof pipe, data, capacity, got));
    {
        std::lock_guard<std::mutex> guard(lock_);
        inRead_ = false;
    }
    readEnded_.notify_all();
    return r;
}

void Usb2Camera::AbortPipe() {
    Powered p = Current();
    if (!p.handle) return;
    const uint32_t pipe = kBulkInPipe;
    size_t returned = 0;
    p.handle->IoControl(kAbortPipeCode, &pipe, sizeof pipe, nullptr, 0, returned);
}

void Usb2Camera::Interrupt(uint8_t endpoint) {
    if (endpoint != kImageEndpoint) return;
    std::unique_lock<std::mutex> guard(lock_);
    interruptPending_ = true;  // also for a read that has not begun yet
    if (!inRead_) return;
    // Aborted until the read has ended: an abort that came before the read began is lost.
    while (inRead_) {
        guard.unlock();
        AbortPipe();
        guard.lock();
        readEnded_.wait_for(guard, std::chrono::milliseconds(2), [&] { return !inRead_; });
    }
}

void Usb2Camera::ClearInterrupt(uint8_t) {
    std::lock_guard<std::mutex> guard(lock_);
    interruptPending_ = false;
}

// The simulated pipe leaves its stalled state when it is aborted.
void Usb2Camera::ClearHalt(uint8_t endpoint) {
    if (endpoint == kImageEndpoint) AbortPipe();
}

void Usb2Camera::Unplugged() {
    Powered p = Current();
    if (p.sim) p.sim->SetConnected(false);
}

void Usb2Camera::Replugged() {
    Powered old = Current();
    PowerUp();
    if (old.sim) old.sim->StopGenerator();
}

}  // namespace Kovon::UsbBench
