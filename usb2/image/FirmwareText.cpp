#include "usb2/image/FirmwareText.h"

#include <algorithm>

namespace Kovon::Usb2Image {

int CompareFirmwareText(std::string_view firmware) {
    constexpr std::string_view kReference = "0.0.5.0";
    // A text read from a fixed-size buffer may carry its NUL and padding; the text ends there.
    firmware = firmware.substr(0, std::min(firmware.find('\0'), firmware.size()));
    const std::size_t n = std::min(firmware.size(), kReference.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto a = static_cast<unsigned char>(firmware[i]);
        const auto b = static_cast<unsigned char>(kReference[i]);
        if (a != b) return a < b ? -1 : 1;
    }
    return firmware.size() > kReference.size() ? 1 : 0;
}

}  // namespace Kovon::Usb2Image
