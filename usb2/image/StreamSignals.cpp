#include "usb2/image/StreamSignals.h"

namespace Kovon::Usb2Image {

void CStreamSignals::Set(Bits bits) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(lock_);
        bits_ |= bits;
        wake = waiters_ != 0;
    }
    // Nobody waits in the common case: the other side finds the bit on its next look.
    if (wake) changed_.notify_all();
}

void CStreamSignals::Reset(Bits bits) {
    std::lock_guard<std::mutex> guard(lock_);
    bits_ &= ~bits;
}

CStreamSignals::Bits CStreamSignals::Test(Bits bits) const {
    std::lock_guard<std::mutex> guard(lock_);
    return bits_ & bits;
}

bool CStreamSignals::Take(Bits signal, Bits stop) {
    std::unique_lock<std::mutex> lock(lock_);
    if ((bits_ & (signal | stop)) == 0) {
        ++waiters_;
        changed_.wait(lock, [&] { return (bits_ & (signal | stop)) != 0; });
        --waiters_;
    }
    if ((bits_ & stop) != 0) return false;
    bits_ &= ~signal;
    return true;
}

CStreamSignals::Bits CStreamSignals::WaitUntil(Bits bits, Clock::time_point deadline, std::uint64_t& pokes) {
    std::unique_lock<std::mutex> lock(lock_);
    if ((bits_ & bits) == 0 && pokes_ == pokes) {
        ++waiters_;
        changed_.wait_until(lock, deadline, [&] { return (bits_ & bits) != 0 || pokes_ != pokes; });
        --waiters_;
    }
    pokes = pokes_;
    return bits_ & bits;
}

CStreamSignals::Bits CStreamSignals::WaitUntil(Bits bits, Clock::time_point deadline) {
    std::uint64_t pokes = Pokes();
    for (;;) {
        const Bits set = WaitUntil(bits, deadline, pokes);
        if (set != 0 || Clock::now() >= deadline) return set;
    }
}

void CStreamSignals::Poke() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++pokes_;
    }
    changed_.notify_all();
}

std::uint64_t CStreamSignals::Pokes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pokes_;
}

}  // namespace Kovon::Usb2Image
