#include "usb2/Ezusb.h"

#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "usb2/driver/EzusbRecords.h"

namespace Kovon {
namespace {

constexpr uint16_t kWriteFlag = 0x8000;

void SleepMilliseconds(unsigned milliseconds) {
    Platform::Sleep(milliseconds);
}

}  // namespace

int EzusbStatusOfDriverError(uint32_t error) {
    switch (error) {
        case kDriverOk:
            return kEzusbOk;
        case kDriverGenFailure:
            return kEzusbNotFunctioning;
        case kDriverNotConnected:
            return kEzusbNotConnected;
        default:
            return kEzusbFailed;
    }
}

CEzusb::CEzusb() : CEzusb(SleepMilliseconds) {}

CEzusb::CEzusb(SleepFunction sleep) : sleep_(sleep != nullptr ? sleep : SleepMilliseconds) {
    std::memset(deviceName_, 0, sizeof deviceName_);
}

CEzusb::~CEzusb() = default;

CEzusb::SharedHandle CEzusb::CurrentHandle() const {
    std::lock_guard<std::mutex> guard(handleLock_);
    return handle_;
}

void CEzusb::SetHandle(SharedHandle handle) {
    SharedHandle old;  // the previous handle closes outside the lock
    std::lock_guard<std::mutex> guard(handleLock_);
    old = std::move(handle_);
    handle_ = std::move(handle);
}

void CEzusb::Close() {
    SetHandle(nullptr);
}

bool CEzusb::IsOpen() const {
    return CurrentHandle() != nullptr;
}

CEzusb::SharedHandle CEzusb::OpenPath(uint32_t& error) const {
    std::string path = kDevicePathPrefix;
    path += deviceName_;
    return SharedHandle(OpenDriverPath(path.c_str(), error));
}

bool CEzusb::SetDeviceName(const char* name) {
    std::memset(deviceName_, 0, sizeof deviceName_);
    if (name == nullptr || std::strlen(name) > kMaxNameLength) return false;
    std::memcpy(deviceName_, name, std::strlen(name));
    return true;
}

bool CEzusb::Open(const char* name) {
    if (!SetDeviceName(name)) {
        SetHandle(nullptr);
        return false;
    }
    if (!Reopen()) return false;
    return GetUsbVersion() == 1;
}

bool CEzusb::Reopen() {
    uint32_t error = kDriverOk;
    SharedHandle handle = deviceName_[0] != '\0' ? OpenPath(error) : nullptr;
    const bool opened = handle != nullptr;
    SetHandle(std::move(handle));
    return opened;
}

int CEzusb::GetUsbVersion() {
    SharedHandle handle = CurrentHandle();
    if (!handle) return 0;
    uint8_t descriptor[kDeviceDescriptorSize] = {};
    size_t returned = 0;
    if (handle->IoControl(kGetDeviceDescriptorCode, descriptor, sizeof descriptor, descriptor,
                          sizeof descriptor, returned) != kDriverOk) {
        return 0;
    }
    uint16_t release = 0;
    if (returned < sizeof descriptor || !UsbReleaseOf(descriptor, returned, release)) return 0;
    return release == 0x0200 ? 1 : 2;
}

int CEzusb::WordRequest(const SharedHandle& handle, uint16_t address, uint16_t data, uint8_t (&answer)[4]) {
    const auto record = EncodeVendorRequest(CameraRegisterRequest(address, data));
    size_t returned = 0;
    uint32_t error;
    {
        std::lock_guard<std::mutex> guard(requestLock_);
        error = handle->IoControl(kVendorRequestCode, record.data(), record.size(), answer, sizeof answer,
                                  returned);
    }
    if (error != kDriverOk) return EzusbStatusOfDriverError(error);
    return returned == sizeof answer ? kEzusbOk : kEzusbFailed;
}

int CEzusb::ReadOnce(uint8_t* buffer, uint16_t address, int count) {
    uint16_t wordAddress = address;
    for (int offset = 0; offset < count; offset += 2) {
        SharedHandle handle = CurrentHandle();
        if (!handle) return kEzusbNoHandle;
        uint8_t answer[4] = {};
        const int status = WordRequest(handle, wordAddress, 0, answer);
        if (status != kEzusbOk) return status;
        buffer[offset] = answer[3];
        buffer[offset + 1] = answer[2];
        if (static_cast<uint16_t>(answer[0] * 256 + answer[1]) != wordAddress) return kEzusbOk;
        wordAddress = static_cast<uint16_t>(wordAddress + 2);
    }
    return kEzusbOk;
}

int CEzusb::WriteOnce(const uint8_t* buffer, uint16_t address, int count) {
    uint16_t wordAddress = static_cast<uint16_t>(address + kWriteFlag);
    for (int offset = 0; offset < count; offset += 2) {
        SharedHandle handle = CurrentHandle();
        if (!handle) return kEzusbNoHandle;
        const uint16_t data = static_cast<uint16_t>(buffer[offset] | (buffer[offset + 1] << 8));
        uint8_t answer[4] = {};
        const int status = WordRequest(handle, wordAddress, data, answer);
        if (status != kEzusbOk) return status;
        if (static_cast<uint16_t>(answer[0] * 256 + answer[1]) != wordAddress) return kEzusbFailed;
        wordAddress = static_cast<uint16_t>(wordAddress + 2);
    }
    return kEzusbOk;
}

// Odd counts are refused: the last word would fall half outside the caller's buffer.
int CEzusb::ReadRegister(void* buffer, uint16_t address, int count) {
    if (buffer == nullptr || count <= 0 || count % 2 != 0) return kEzusbFailed;
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        const int status = ReadOnce(static_cast<uint8_t*>(buffer), address, count);
        if (status != kEzusbNotFunctioning) return status == kEzusbOk ? kEzusbOk : kEzusbFailed;
        sleep_(kRetryPauseMs);
    }
    return kEzusbFailed;
}

int CEzusb::WriteRegister(const void* buffer, uint16_t address, int count) {
    if (buffer == nullptr || count <= 0 || count % 2 != 0) return kEzusbFailed;
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        const int status = WriteOnce(static_cast<const uint8_t*>(buffer), address, count);
        if (status != kEzusbNotFunctioning) return status;
        sleep_(kRetryPauseMs);
    }
    return kEzusbNotFunctioning;
}

int CEzusb::BulkRead(void* buffer, uint32_t length) {
    SharedHandle handle = CurrentHandle();
    if (!handle) return kEzusbNoHandle;
    if (buffer == nullptr && length != 0) return kEzusbFailed;
    const uint32_t pipe = kBulkInPipe;
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    do {
        const uint32_t piece = length - done > kMaxBulkRequest ? kMaxBulkRequest : length - done;
        size_t returned = 0;
        const uint32_t error = handle->IoControl(kBulkReadCode, &pipe, sizeof pipe,
                                                 bytes == nullptr ? nullptr : bytes + done, piece, returned);
        if (error != kDriverOk) return EzusbStatusOfDriverError(error);
        done += piece;
    } while (done < length);
    return kEzusbOk;
}

bool CEzusb::AbortPipe() {
    if (deviceName_[0] == '\0') return false;
    uint32_t error = kDriverOk;
    SharedHandle second = OpenPath(error);
    if (!second) return false;
    const uint32_t pipe = kBulkInPipe;
    size_t returned = 0;
    return second->IoControl(kAbortPipeCode, &pipe, sizeof pipe, nullptr, 0, returned) == kDriverOk;
}

}  // namespace Kovon
