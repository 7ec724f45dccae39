// Shared channel helpers: the millisecond clock the bridges pace their input by.
#include "base/clock.h"

#include <gtest/gtest.h>

namespace {

// Regression: the bridge computed tv_sec * 1000L in a long, which on the
// board's 32-bit target overflows once the machine has been up 24.8 days; an
// input paused at end of file just before the wrap stayed paused for 49.7 days.
TEST(Clock, MillisecondsKeepCountingPastTwentyFiveDaysOfUptime)
{
    struct timespec ts = {3000000, 999999999}; // 34.7 days since boot
    EXPECT_EQ(timespec_ms(ts), 3000000999LL);
    ts = {2147483, 648000000}; // the first millisecond past a 32-bit long
    EXPECT_EQ(timespec_ms(ts), 2147483648LL);
}

TEST(Clock, MonotonicMillisecondsAgreeWithTheClock)
{
    struct timespec before;
    clock_gettime(CLOCK_MONOTONIC, &before);
    long long ms = monotonic_ms();
    struct timespec after;
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(ms, timespec_ms(before));
    EXPECT_LE(ms, timespec_ms(after));
}

} // namespace
