// Traffic dump: time prefix arithmetic and the bytes written to descriptor 1.
#include "channels/dump.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

std::string prefix(long now_s, long now_us, long last_s, long last_us)
{
    struct timeval now = {now_s, now_us}, last = {last_s, last_us};
    char buf[DUMP_PREFIX_SIZE];
    int n = dump_prefix(buf, now, last);
    return std::string(buf, static_cast<size_t>(n));
}

const std::string P = "\x1b[1;39;40m";

TEST(TrafficDump, PrefixShowsSecondsAndWholeMilliseconds)
{
    EXPECT_EQ(prefix(101, 600000, 100, 100000), P + "1:500:");
    EXPECT_EQ(prefix(100, 107999, 100, 100000), P + "0:007:");
    // Borrow from the seconds when the microseconds run backwards.
    EXPECT_EQ(prefix(101, 100000, 100, 900000), P + "0:200:");
    // A clock set back shows negative seconds.
    EXPECT_EQ(prefix(100, 0, 103, 0), P + "-3:000:");
    // The first trace measures from zero: the seconds since the epoch.
    EXPECT_EQ(prefix(1700000000, 5000, 0, 0), P + "1700000000:005:");
}

// Captures what traffic_dump writes to descriptor 1.
std::string capture_dump(int slot, int direction, const std::string &data)
{
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    fflush(stdout);
    int saved = dup(1);
    dup2(p[1], 1);
    traffic_dump(slot, direction, data.data(), data.size());
    dup2(saved, 1);
    close(saved);
    close(p[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    return out;
}

TEST(TrafficDump, ColoursByDirectionAndAddsNothingAfterTheData)
{
    std::string read_trace = capture_dump(3, 0, "ping\r\n");
    ASSERT_EQ(read_trace.compare(0, P.size(), P), 0);
    EXPECT_NE(read_trace.find(":\x1b[1;32;40mping\r\n"), std::string::npos);
    EXPECT_EQ(read_trace.substr(read_trace.size() - 6), "ping\r\n");

    std::string write_trace = capture_dump(3, 1, "pong");
    // The second trace on the slot measures from the first: well under a second.
    EXPECT_EQ(write_trace.compare(0, P.size() + 2, P + "0:"), 0) << write_trace;
    EXPECT_NE(write_trace.find(":\x1b[1;33;40mpong"), std::string::npos);
    EXPECT_EQ(write_trace.substr(write_trace.size() - 4), "pong");
}

TEST(TrafficDump, SlotOutsideTheTableWritesNothing)
{
    EXPECT_EQ(capture_dump(DUMP_SLOTS, 0, "x"), "");
    EXPECT_EQ(capture_dump(-1, 0, "x"), "");
}

} // namespace
