// The daemon on a serial bus: a pty stands in for the port, the test holds the bus.
#include "kit.h"

#include <regex>

// Pushes probes into the channel written to the bus until one comes out of it.
static bool bus_live(const pty_port &bus, const char *push_endpoint)
{
    channel_push probe(push_endpoint);
    std::string got;
    for (int i = 0; i < 100 && !read_until(bus.master, got, "#probe\n", 50); i++)
        probe.send("#probe\n");
    return got.find("#probe\n") != std::string::npos;
}

TEST(SerialBus, CardAndControllerCarryTheBusAndThePortComesBackAndIsRestored)
{
    const struct {
        const char *mode, *from_bus_sub, *from_bus_probe, *to_bus_sub, *to_bus_push;
    } modes[] = {{"card", CMD_SUB, CMD_PUSH, RES_SUB, RES_PUSH},
                 {"ctrl", RES_SUB, RES_PUSH, CMD_SUB, CMD_PUSH}};
    for (const auto &m : modes) {
        pty_port bus;
        const std::string arg = bus.link + ":9600";
        daemon_proc d;
        daemon_start(d, {std::string("--") + m.mode, "--serial", arg, "--serial_dump"});
        EXPECT_TRUE(wait_stdout(d, std::string("Setting p1025 as ") + m.mode + " on bus\n"));
        // Raw: no echo, no CR/LF translation either way, a byte is a read.
        struct termios t = bus.settings();
        EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS8 | B9600 | CREAD | CLOCAL));
        EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
        EXPECT_EQ(t.c_oflag | t.c_lflag, 0u);
        for (int i = 0; i < NCCS; i++) EXPECT_EQ(t.c_cc[i], i == VMIN ? 1 : 0) << "c_cc " << i;
        channel_sub from_bus(m.from_bus_sub, m.from_bus_probe);
        channel_sub to_bus(m.to_bus_sub, m.to_bus_push);
        ASSERT_EQ(write(bus.master, "status 1\r\nsta", 13), 13);
        EXPECT_EQ(from_bus.next(), "status 1\r\n") << m.mode;
        EXPECT_EQ(from_bus.next(), "sta") << m.mode;
        ASSERT_EQ(write(bus.master, "tus 2\n", 6), 6);
        EXPECT_EQ(from_bus.next(), "tus 2\n") << m.mode;
        EXPECT_TRUE(to_bus.silent()) << m.mode; // bus lines go into one channel only
        ASSERT_TRUE(bus_live(bus, m.to_bus_push)) << m.mode;
        channel_push(m.from_bus_probe).send("not for the bus\n");
        channel_push(m.to_bus_push).send("OK 1\n");
        std::string got = read_text(bus.master, "OK 1\n") + read_text(bus.master, "", 300);
        EXPECT_EQ(without_probes(got), "OK 1\n") << m.mode;
        EXPECT_EQ(from_bus.next(), "not for the bus\n");
        if (m.mode == std::string("card")) { // the same trace in either mode
            // Bus bytes green, written yellow; times from the epoch, then from the last.
            const std::string out = daemon_stdout(d), prefix = "\x1b\\[1;39;40m(\\d+):\\d{3}:";
            std::smatch first;
            ASSERT_TRUE(std::regex_search(out, first, std::regex(prefix)));
            EXPECT_GT(std::stoll(first[1]), 1000000000LL);
            EXPECT_TRUE(std::regex_search(out, std::regex(prefix + "\x1b\\[1;32;40mtus 2\n")));
            EXPECT_TRUE(
                std::regex_search(out, first, std::regex(prefix + "\x1b\\[1;33;40mOK 1\n$")))
                << out;
            EXPECT_LT(std::stoll(first[1]), 100);
        }
        for (size_t round = 1; round <= 2; round++) {
            // A new device under the same name: failure and return said once each.
            ASSERT_TRUE(bus.replace());
            ASSERT_TRUE(wait_until([&] {
                return count_of(daemon_stdout(d), "Serial port " + arg + " is back\n") == round;
            })) << daemon_stderr(d);
            EXPECT_EQ(count_of(daemon_stderr(d), "Serial port " + arg + " failed"), round);
            ASSERT_EQ(write(bus.master, "again\n", 6), 6);
            EXPECT_EQ(from_bus.next(), "again\n");
            EXPECT_TRUE(bus_live(bus, m.to_bus_push));
        }
        EXPECT_NE(stats_value(console_stats(), "serial", "msgs_in"), -1);
        EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
        EXPECT_TRUE(bus.as_found()) << m.mode << ": the port that came back is not restored";
    }
}
