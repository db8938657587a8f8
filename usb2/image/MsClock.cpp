#include "usb2/image/MsClock.h"

#include <chrono>

namespace Kovon::Usb2Image {

std::uint32_t SteadyClockMs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace Kovon::Usb2Image
