#include "platform/Clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

namespace Kovon::Platform {
namespace {

constexpr std::uint64_t kNsPerSecond = 1000000000u;

std::uint64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

std::uint64_t TickMs() { return MonotonicNs() / 1000000u; }

std::uint64_t HighResCounter() { return MonotonicNs(); }

std::uint64_t HighResFrequency() { return kNsPerSecond; }

void Sleep(std::uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    // An absolute deadline lets an interrupted sleep resume without drifting.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000u);
    deadline.tv_nsec += static_cast<long>(ms % 1000u) * 1000000L;
    if (deadline.tv_nsec >= static_cast<long>(kNsPerSecond)) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= static_cast<long>(kNsPerSecond);
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace Kovon::Platform
