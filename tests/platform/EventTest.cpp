#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace Kovon::Platform {
namespace {

using WaitResult = Event::WaitResult;

TEST(Event, StateFollowsSetAndReset) {
    Event event;
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);

    event.Set();
    EXPECT_TRUE(event.IsSet());
    // Manual reset: waits do not consume the signal.
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(Event::kInfinite), WaitResult::Signalled);
    EXPECT_TRUE(event.IsSet());

    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);

    EXPECT_EQ(Event(true).Wait(0), WaitResult::Signalled);
}

TEST(Event, TimedWaitLastsAtLeastItsTimeout) {
    Event event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.Wait(30), WaitResult::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Event, SetReleasesEveryWaitingThread) {
    Event event;
    Event allWaiting;
    std::atomic<int> started{0};
    std::atomic<int> signalled{0};
    constexpr int kWaiters = 6;
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            started.fetch_add(1);
            // Half wait forever, half with a long timeout: both must see the signal.
            const auto result = event.Wait(i % 2 == 0 ? Event::kInfinite : 600000u);
            if (result == WaitResult::Signalled) signalled.fetch_add(1);
        });
    }
    while (started.load() < kWaiters) std::this_thread::yield();
    event.Set();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(signalled.load(), kWaiters);
}

// The hand-off of the acquisition threads: two events passed back and forth by two threads.
TEST(Event, PingPongBetweenThreads) {
    Event ping;
    Event pong;
    constexpr int kRounds = 2000;
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            ASSERT_EQ(ping.Wait(Event::kInfinite), WaitResult::Signalled);
            ping.Reset();
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping.Set();
        ASSERT_EQ(pong.Wait(Event::kInfinite), WaitResult::Signalled);
        pong.Reset();
    }
    partner.join();
    EXPECT_FALSE(ping.IsSet());
}

}  // namespace
}  // namespace Kovon::Platform
