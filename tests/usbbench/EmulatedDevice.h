#pragma once
// A USB device model served on the emulated bus (EmulatedBus.h): what the host reads about it
// (descriptors, strings, speed) and what it does with the transfers the host sends. The bus does
// the usbdevfs bookkeeping (URBs, reaping, cancellation, claims, unplugging); a model only
// answers requests and fills transfers.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Kovon::UsbBench {

struct DeviceDescription {
    std::vector<uint8_t> device;         // the 18-byte device descriptor
    std::vector<uint8_t> configuration;  // configuration 1 with everything that follows it
    std::map<uint8_t, std::string> strings;  // string descriptors by index (ASCII text)
    unsigned speedMbps = 480;            // sysfs "speed": 480 high speed, 5000 SuperSpeed
};

// The end of a bulk IN transfer, as the kernel reports it in the URB.
enum class InResult {
    kOk,         // complete or short: 'got' bytes
    kStall,      // the endpoint is halted (-EPIPE)
    kGone,       // the device went away (-ESHUTDOWN)
    kCancelled,  // Interrupt() ended the wait (-ENOENT)
    kOverflow,   // the device sent more than the URB held (-EOVERFLOW)
};

// What a control request gets back.
enum class ControlResult { kOk, kStall, kNoAnswer };

class EmulatedDevice {
public:
    virtual ~EmulatedDevice() = default;
    virtual DeviceDescription Describe() const = 0;
    // A request the bus does not answer itself (not GET_DESCRIPTOR, SET_CONFIGURATION ...).
    // 'data' holds the host's data stage for an OUT request; for an IN request the answer goes
    // there, at most wLength bytes. kNoAnswer leaves the transfer pending until the host gives up.
    virtual ControlResult Control(const uint8_t (&setup)[8], std::vector<uint8_t>& data) = 0;
    virtual void BulkOut(uint8_t endpoint, const uint8_t* data, size_t size) = 0;
    // Fills one IN transfer of 'capacity' bytes; may block until the device has data. Called on a
    // worker thread of the bus, one at a time per endpoint.
    virtual InResult BulkIn(uint8_t endpoint, uint8_t* data, size_t capacity, size_t& got) = 0;
    // Ends the BulkIn of the endpoint with kCancelled (the host discarded its transfer): the one
    // waiting, or the one about to begin. Stays in force until ClearInterrupt, which the bus calls
    // once that transfer has been finished.
    virtual void Interrupt(uint8_t endpoint) = 0;
    virtual void ClearInterrupt(uint8_t endpoint) = 0;
    // The host cleared a halt of the endpoint.
    virtual void ClearHalt(uint8_t endpoint) = 0;
    // Unplugged: every BulkIn returns kGone from now on, waits included.
    virtual void Unplugged() = 0;
    // Plugged in again after Unplugged: the device starts over as after power-up of its link.
    virtual void Replugged() = 0;
};

}  // namespace Kovon::UsbBench
