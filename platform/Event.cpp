#include "platform/Event.h"

#include <chrono>

namespace Kovon::Platform {

void Event::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

Event::WaitResult Event::Wait(std::uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto isSet = [this] { return set_; };
    if (timeoutMs == kInfinite) {
        changed_.wait(lock, isSet);
        return WaitResult::Signalled;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return changed_.wait_until(lock, deadline, isSet) ? WaitResult::Signalled : WaitResult::TimedOut;
}

}  // namespace Kovon::Platform
