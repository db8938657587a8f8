#pragma once
// The USB transport under the USB3 Vision library. A backend lists the USB3 Vision devices it can
// reach and opens them by path; an opened device does bulk transfers on the endpoints of its three
// USB3 Vision interfaces. Two backends exist: libusb for real cameras and the simulated one.
//
// Contract for every implementation:
// - All calls may come from any thread. Calls on different endpoints of one device may run at the
//   same time; calls on one endpoint are made by one thread at a time.
// - BulkIn/BulkOut wait at most timeoutMs; they return kCancelled when Cancel(endpoint) was
//   called while they waited, and kNoDevice once the device has gone. A BulkIn returns one
//   transfer: at most cap bytes, fewer when the device ends the transfer early (short transfer).
//   When the device sends more than cap bytes in one transfer the call returns kOverflow.
// - Removal notices go to the listener set on the backend, on a thread that is not the caller's.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Kovon::Tessa::Transport {

enum class UsbStatus {
    kOk = 0,
    kTimeout,
    kCancelled,
    kNoDevice,    // unplugged or closed
    kIo,          // any other transfer failure
    kOverflow,    // the device sent more than the buffer holds
    kNotFound,    // no device at that path
    kAccess,      // the device or interface cannot be opened or claimed
    kInvalidArg,
};

// The three USB3 Vision interfaces, by their interface protocol number.
enum class Channel : uint8_t { kControl = 0, kEvent = 1, kStream = 2 };

// What a backend learns of a device without opening its USB3 Vision channels.
struct UsbDeviceEntry {
    std::string path;        // unique among the backends; the backend recognises its own paths
    std::string instanceId;  // stable id of the camera; carried by removal notices
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t busNumber = 0;
    uint8_t deviceAddress = 0;
    uint8_t speed = 0;
    std::string manufacturer;
    std::string model;
    std::string family;
    std::string version;
    std::string serial;
    std::string guid;
    bool hasEvent = false;
    bool hasStream = false;
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;
    virtual const UsbDeviceEntry& Entry() const = 0;
    // Claims the interface of a channel (detaching a kernel driver when needed).
    virtual UsbStatus Claim(Channel channel) = 0;
    virtual void ReleaseClaim(Channel channel) = 0;
    virtual UsbStatus BulkOut(Channel channel, const uint8_t* data, size_t size, unsigned timeoutMs,
                              size_t* sent) = 0;
    virtual UsbStatus BulkIn(Channel channel, uint8_t* data, size_t cap, unsigned timeoutMs, size_t* got) = 0;
    // Wakes a BulkIn/BulkOut currently waiting on the channel with kCancelled.
    virtual void Cancel(Channel channel) = 0;
};

using RemovalListener = std::function<void(const std::string& instanceId)>;

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    virtual bool OwnsPath(const std::string& path) const = 0;
    virtual void Enumerate(std::vector<UsbDeviceEntry>& out) = 0;
    virtual UsbStatus Open(const std::string& path, std::unique_ptr<UsbDevice>* out) = 0;
};

}  // namespace Kovon::Tessa::Transport
