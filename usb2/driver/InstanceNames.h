#pragma once
// Names of the EZ-USB driver instances that USB 2.0 cameras appear under: ZEDIVOXU-0 to
// ZEDIVOXU-63.
#include <string>

namespace Kovon {

constexpr const char* kUsb2InstancePrefix = "ZEDIVOXU";
constexpr unsigned kUsb2InstanceCount = 64;

inline std::string Usb2InstanceName(unsigned instance) {
    return std::string(kUsb2InstancePrefix) + "-" + std::to_string(instance);
}

}  // namespace Kovon
