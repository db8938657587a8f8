#pragma once
// A manual-reset event: once set it stays set, releasing every waiter, until Reset is called.
//
// Errors: none; no operation fails or throws (beyond std::system_error from the standard
// library's mutex, which only a broken system raises).
// Thread-safety: every operation may be called from any number of threads at once. The event
// must outlive every call in progress on it.
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Kovon::Platform {

class Event {
public:
    enum class WaitResult { Signalled, TimedOut };

    // Timeout value of Wait that never times out.
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

    explicit Event(bool initiallySet = false) : set_(initiallySet) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Sets the event and wakes every thread waiting on it.
    void Set();
    // Clears the event; later waits block until the next Set.
    void Reset();
    bool IsSet() const;

    // Returns Signalled as soon as the event is set (at once if it already is), or TimedOut
    // after 'timeoutMs' milliseconds of a monotonic clock. Wait(0) only tests the state;
    // kInfinite waits until Set.
    WaitResult Wait(std::uint32_t timeoutMs) const;

private:
    mutable std::mutex mutex_;  // guards set_
    mutable std::condition_variable changed_;
    bool set_;
};

}  // namespace Kovon::Platform
