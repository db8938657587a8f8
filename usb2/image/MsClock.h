#pragma once
// The millisecond clock of the exposure and white-balance loops. Their timing rules (at most one
// exposure decision per 80 ms, one camera colour-statistics step per 50 ms) compare 32-bit
// millisecond readings in unsigned arithmetic, so a reading that wraps past 2^32 still gives the
// right difference. Tests inject a clock they move by hand.
#include <cstdint>
#include <functional>

namespace Kovon::Usb2Image {

using MsClock = std::function<std::uint32_t()>;

// Monotonic milliseconds (low 32 bits); never follows changes of the wall-clock time.
std::uint32_t SteadyClockMs();

}  // namespace Kovon::Usb2Image
