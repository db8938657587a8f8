#pragma once
// The emulated USB bus: device models (EmulatedDevice.h) served to the real libusb through
// umockdev, which emulates sysfs, udev and the usbdevfs device nodes of the process. libusb
// enumerates the devices from the emulated sysfs, opens their nodes and sends its ioctls there;
// the bus answers them as the kernel's usbdevfs does: URBs submitted, filled by the model and
// reaped in completion order, cancelled (DISCARDURB), interfaces claimed by one file at a time,
// halts cleared, and a removal that fails the URBs in flight with -ESHUTDOWN and every later
// ioctl with ENODEV.
//
// The program must run under umockdev's preload library (`umockdev-wrapper PROGRAM`): only then
// does libusb see the emulated devices. Processes started from it with the same environment reach
// the same devices (their ioctls come to this process's handler).
//
// One bus per process, made at first use. Bulk IN transfers are filled on worker threads of the
// bus (one per endpoint that has transfers), so a model may block until it has data.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "usbbench/EmulatedDevice.h"

namespace Kovon::UsbBench {

// Whether umockdev's preload library is in the process, i.e. the bus can be used.
bool UnderUmockdev();

struct DeviceCounters {
    uint64_t controlRequests = 0;  // control transfers of any kind, standard ones included
    uint64_t vendorRequests = 0;   // those the model answered
    uint64_t bulkOut = 0;
    uint64_t bulkIn = 0;           // IN transfers submitted
    uint64_t discards = 0;
    uint64_t claims = 0;           // successful CLAIMINTERFACE
    uint64_t busyClaims = 0;       // refused because another file holds the interface
    uint64_t setInterfaces = 0;
    std::map<uint8_t, uint64_t> clearHalts;  // by endpoint address
    uint64_t opens = 0;            // files opened on the node (clients that connected)
    uint64_t urbsInFlight = 0;     // submitted and not yet reaped, now
};

class EmulatedBus {
public:
    static EmulatedBus& Instance();

    // Plugs a device on bus 1 at a port of its own (ports count from 1); it gets a new address.
    // Returns its id, or 0 when the device could not be added.
    int Plug(std::shared_ptr<EmulatedDevice> device);
    // The removal: URBs in flight end with -ESHUTDOWN, every later ioctl on its files gets
    // ENODEV, libusb sees the removal uevent and the device leaves sysfs.
    void Unplug(int id);
    // The same device, plugged in again at the same port under a new address.
    void Replug(int id);
    DeviceCounters Counters(int id);
    // The device node, "/dev/bus/usb/001/NNN"; empty for an unknown id.
    std::string Node(int id);
    // The device's sysfs directory, "/sys/devices/usb1/1-P".
    std::string SysfsPath(int id);
    uint8_t Address(int id);

    struct Impl;
    ~EmulatedBus();

private:
    EmulatedBus();
    std::unique_ptr<Impl> impl_;
};

// A standard descriptor helper for models: a string descriptor (UTF-16LE) of ASCII text.
std::vector<uint8_t> StringDescriptor(const std::string& text);

}  // namespace Kovon::UsbBench
