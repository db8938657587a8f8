#pragma once
// The hand-over signals of a USB 2.0 stream: per frame slot a proceed, a frame and a free signal,
// and the stop signal. Each behaves as a manual-reset event (set stays set until reset); all of
// them are bits of one word under one lock.
//
// One word lets one wait cover several signals (a slot's frame or the stop) and lets a waiting
// host be woken when the time-out it waits with changes (Poke), without polling. A worker's
// "wait for this signal, then reset it" is one step (Take).
//
// Thread-safety: every operation may be called from any thread at any time.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Kovon::Usb2Image {

class CStreamSignals {
public:
    using Bits = std::uint32_t;
    using Clock = std::chrono::steady_clock;

    static constexpr Bits kStop = 1u;
    static constexpr Bits Proceed(int slot) { return 2u << (3 * slot); }
    static constexpr Bits Frame(int slot) { return 4u << (3 * slot); }
    static constexpr Bits Free(int slot) { return 8u << (3 * slot); }
    static constexpr Bits kAll = 0x7Fu;  // the stop and the three signals of both slots

    // Sets the signals and wakes every wait that covers one of them.
    void Set(Bits bits);
    void Reset(Bits bits);
    // The ones of 'bits' that are set.
    Bits Test(Bits bits) const;

    // Waits until one of 'signal' and 'stop' is set. Resets 'signal' and returns true when it
    // was set and 'stop' was not; returns false (and resets nothing) when 'stop' is set.
    bool Take(Bits signal, Bits stop);

    // Waits until one of 'bits' is set (returns the set ones), until 'deadline' (returns 0), or
    // until Poke is called after 'pokes' was read from Pokes() (returns 0, 'pokes' updated).
    Bits WaitUntil(Bits bits, Clock::time_point deadline, std::uint64_t& pokes);
    Bits WaitUntil(Bits bits, Clock::time_point deadline);
    // Wakes every WaitUntil without setting anything (the caller changed what it waits for).
    void Poke();
    std::uint64_t Pokes() const;

private:
    mutable std::mutex lock_;  // guards the three fields below
    std::condition_variable changed_;
    Bits bits_ = 0;
    std::uint64_t pokes_ = 0;
    unsigned waiters_ = 0;
};

static_assert(CStreamSignals::kAll ==
                  (CStreamSignals::kStop | CStreamSignals::Proceed(0) | CStreamSignals::Frame(0) |
                   CStreamSignals::Free(0) | CStreamSignals::Proceed(1) | CStreamSignals::Frame(1) |
                   CStreamSignals::Free(1)),
              "kAll covers every signal");

}  // namespace Kovon::Usb2Image
