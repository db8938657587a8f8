#include "platform/Clock.h"

#include <gtest/gtest.h>

namespace Kovon::Platform {
namespace {

TEST(Clock, SleepAdvancesBothClocksByAtLeastItsTime) {
    EXPECT_EQ(HighResFrequency(), 1000000000u);
    const auto tick = TickMs();
    const auto counter = HighResCounter();
    Sleep(25);
    EXPECT_GE(TickMs() - tick, 25u);
    EXPECT_GE(HighResCounter() - counter, 25u * HighResFrequency() / 1000u);
    Sleep(0);  // only yields
}

}  // namespace
}  // namespace Kovon::Platform
