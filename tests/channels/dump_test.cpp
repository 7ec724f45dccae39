// Traffic dump: the time prefix arithmetic. The colours and the bytes traced are
// checked end to end, on the serial bus.
#include "channels/dump.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string prefix(long now_s, long now_us, long last_s, long last_us)
{
    struct timeval now = {now_s, now_us}, last = {last_s, last_us};
    char buf[DUMP_PREFIX_SIZE];
    int n = dump_prefix(buf, now, last);
    return std::string(buf, static_cast<size_t>(n));
}

TEST(TrafficDump, PrefixShowsSecondsAndWholeMilliseconds)
{
    const std::string P = "\x1b[1;39;40m";
    EXPECT_EQ(prefix(101, 600000, 100, 100000), P + "1:500:");
    EXPECT_EQ(prefix(100, 107999, 100, 100000), P + "0:007:");
    // Borrow from the seconds when the microseconds run backwards.
    EXPECT_EQ(prefix(101, 100000, 100, 900000), P + "0:200:");
    // A clock set back shows negative seconds.
    EXPECT_EQ(prefix(100, 0, 103, 0), P + "-3:000:");
    // The first trace measures from zero: the seconds since the epoch.
    EXPECT_EQ(prefix(1700000000, 5000, 0, 0), P + "1700000000:005:");
}

} // namespace
