#pragma once
// The libusb-1.0 backend: real USB3 Vision cameras. Paths have the form "usb:<bus>-<port>[.<port>...]".
// Each opened device has its own libusb context with one event thread (asynchronous bulk
// transfers, hot-plug removal), stopped and joined when the device is closed.
#include <memory>
#include <string>

#include "u3v/tessa/transport/UsbTransport.h"

namespace Kovon::Tessa::Transport {

std::shared_ptr<UsbBackend> MakeLibusbBackend();

// "USB\VID_xxxx&PID_xxxx\<serial>" (or the port path when the camera reports no serial).
std::string MakeLibusbInstanceId(uint16_t vendorId, uint16_t productId, const std::string& serial,
                                 const std::string& path);

}  // namespace Kovon::Tessa::Transport
