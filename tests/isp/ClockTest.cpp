#include <gtest/gtest.h>

#include <chrono>

#include "Clock.h"

namespace {

unsigned long ClockMs() { return static_cast<unsigned long>(RealClock().NowMs()); }
void WaitMs(unsigned long ms) { RealClock().SleepMs(ms); }

TEST(RealClock, NeverGoesBackAndAdvances) {
    unsigned long previous = ClockMs();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
        const unsigned long now = ClockMs();
        ASSERT_GE(now, previous);
        previous = now;
    }
    const unsigned long start = ClockMs();
    WaitMs(20);
    EXPECT_GE(ClockMs() - start, 20ul);
}

TEST(RealClock, CountsFromProcessStart) {
    // The test runner has only just started: the clock is young, not an epoch count.
    EXPECT_LT(ClockMs(), 60ul * 60 * 1000);
}

TEST(RealClock, WaitWaitsAtLeastTheGivenTime) {
    const auto start = std::chrono::steady_clock::now();
    WaitMs(50);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    EXPECT_GE(took, 49);
    EXPECT_LT(took, 2000);
}

TEST(RealClock, WaitOfZeroReturnsAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    WaitMs(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST(ElapsedTime, ForwardClockIsDifference) {
    EXPECT_EQ(ElapsedMs(40, 100), 60ul);
    EXPECT_EQ(ElapsedMs(100, 100), 0ul);
}

TEST(ElapsedTime, BackwardsClockCountsDifferencePlusOne) {
    EXPECT_EQ(ElapsedMs(100, 40), 61ul);
    EXPECT_EQ(ElapsedMs(1, 0), 2ul);
}

}  // namespace
