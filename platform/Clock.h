#pragma once
// Clocks of the module: a millisecond tick and a high-resolution counter, both monotonic (they
// never jump with changes of the wall-clock time), and a sleep.
//
// Thread-safety: every function may be called from any thread at any time.
#include <cstdint>

namespace Kovon::Platform {

// Milliseconds since an arbitrary fixed point (the system's boot). Never decreases. Use the
// difference of two ticks to measure a duration.
std::uint64_t TickMs();

// A high-resolution counter and its rate: HighResCounter() / HighResFrequency() is a time in
// seconds since an arbitrary fixed point. Never decreases.
std::uint64_t HighResCounter();
std::uint64_t HighResFrequency();

// Suspends the calling thread for at least 'ms' milliseconds, also when signals interrupt the
// wait. Sleep(0) only offers the processor to other threads.
void Sleep(std::uint32_t ms);

}  // namespace Kovon::Platform
