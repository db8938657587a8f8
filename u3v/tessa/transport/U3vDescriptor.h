#pragma once
// Recognises a USB3 Vision device in its raw configuration descriptor: the interfaces of class
// 0xEF, subclass 0x05 with protocol 0 (control), 1 (event) and 2 (streaming), their bulk
// endpoints, and the USB3 Vision device-info descriptor that follows the control interface.
#include <cstddef>
#include <cstdint>

namespace Kovon::Tessa::Transport {

constexpr uint8_t kU3vInterfaceClass = 0xEF;
constexpr uint8_t kU3vInterfaceSubclass = 0x05;
constexpr uint8_t kU3vProtocolControl = 0;
constexpr uint8_t kU3vProtocolEvent = 1;
constexpr uint8_t kU3vProtocolStream = 2;
constexpr uint8_t kU3vDescriptorType = 0x24;
constexpr uint8_t kU3vDeviceInfoSubtype = 0x01;
constexpr size_t kU3vDeviceInfoMinLength = 20;

struct U3vDeviceInfoDescriptor {
    bool present = false;
    uint32_t genCpVersion = 0;
    uint32_t u3vVersion = 0;
    uint8_t guidIndex = 0;
    uint8_t vendorNameIndex = 0;
    uint8_t modelNameIndex = 0;
    uint8_t familyNameIndex = 0;
    uint8_t deviceVersionIndex = 0;
    uint8_t manufacturerInfoIndex = 0;
    uint8_t serialNumberIndex = 0;
    uint8_t userDefinedNameIndex = 0;
    uint8_t speedSupport = 0;
};

struct U3vInterface {
    bool present = false;
    uint8_t number = 0;
    uint8_t bulkIn = 0;   // endpoint address with bit 7 set, 0 if none
    uint8_t bulkOut = 0;  // endpoint address, 0 if none
    uint16_t maxPacketIn = 0;
};

struct U3vConfiguration {
    U3vInterface control;
    U3vInterface event;
    U3vInterface stream;
    U3vDeviceInfoDescriptor info;
};

enum class DescriptorResult {
    kU3vDevice,     // a usable control interface (bulk in and out) was found
    kNotU3v,        // well formed, but no usable USB3 Vision control interface
    kMalformed,     // a descriptor length runs past the data or is below 2
};

// Parses a configuration descriptor with everything that follows it (wTotalLength bytes).
// Only alternate setting 0 of each interface is considered.
DescriptorResult ParseU3vConfiguration(const uint8_t* data, size_t size, U3vConfiguration& out);

}  // namespace Kovon::Tessa::Transport
