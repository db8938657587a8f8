#include "usb2/image/MsClock.h"

#include "platform/Clock.h"

namespace Kovon::Usb2Image {

std::uint32_t SteadyClockMs() {
    return static_cast<std::uint32_t>(Platform::TickMs());
}

}  // namespace Kovon::Usb2Image
