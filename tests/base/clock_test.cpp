// The daemon's clock: 64-bit milliseconds, and sleeps that a stop flag ends.
#include "base/clock.h"
#include "base/settings.h"
#include "kit.h"

// Regression: tv_sec * 1000L overflowed the board's 32-bit long after 24.8 days of uptime.
TEST(Clock, MillisecondsKeepCountingPastTwentyFiveDaysOfUptime)
{
    EXPECT_EQ(timespec_ms({3000000, 999999999}), 3000000999LL);
    EXPECT_EQ(timespec_ms({2147483, 648000000}), 2147483648LL);
}

TEST(Clock, SleepRunsItsTimeOrEndsWhenTheDaemonOrItsOwnFlagIsRaised)
{
    stop_flag link;
    ASSERT_EQ(stop_flag_open(&running) | stop_flag_open(&link), 0);
    EXPECT_EQ(clock_sleep(20, &link), 0);
    for (stop_flag *f : {&link, &running}) {
        // Raised once the main thread sleeps: a sleep that missed it runs into the time-out.
        std::thread raiser([f] {
            std::string stat = "/proc/self/task/" + std::to_string(getpid()) + "/stat";
            wait_until([&] { return read_file(stat).find(") S ") != std::string::npos; }, 10000);
            stop_flag_raise(f);
        });
        EXPECT_EQ(clock_sleep(60000, &link), -1);
        raiser.join();
        stop_flag_close(f); // a raised flag's descriptor stays readable
        stop_flag_open(f);
    }
}
