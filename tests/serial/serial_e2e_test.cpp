// The daemon on a serial bus. A pty stands in for the port and the test holds
// its master side, the bus: lines from the bus arrive framed on the channel of
// the bus mode, the other channel is written to the bus, the trace shows both
// directions, and the port gets its settings back at shutdown.
#include "harness.h"
#include "pty_port.h"

#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string without_probes(std::string s)
{
    for (size_t at; (at = s.find("#probe\n")) != std::string::npos;)
        s.erase(at, 7);
    return s;
}

// Pushes probes into the channel the daemon writes to the bus until one comes
// out of the bus, so nothing pushed after this is lost to a subscription still
// being set up.
bool bus_live(const pty_port &bus, const char *push_endpoint)
{
    channel_push probe(push_endpoint);
    for (long end = now_ms() + 5000; now_ms() < end;) {
        probe.send("#probe\n");
        if (bus.receive(7, 50).find("#probe\n") != std::string::npos) {
            while (!bus.receive(1, 150).empty()) {
            }
            return true;
        }
    }
    return false;
}

TEST(SerialBus, CardAndControllerCarryTheBusOnTheirChannels)
{
    const struct {
        const char *mode, *banner, *from_bus_sub, *from_bus_probe, *to_bus_sub, *to_bus_push;
    } modes[] = {
        {"--card", "Setting p1025 as card on bus\n", CMD_SUB, CMD_PUSH, RES_SUB, RES_PUSH},
        {"--ctrl", "Setting p1025 as ctrl on bus\n", RES_SUB, RES_PUSH, CMD_SUB, CMD_PUSH},
    };
    for (const auto &m : modes) {
        pty_port bus;
        const struct termios cooked = cooked_settings();
        tcsetattr(bus.master, TCSANOW, &cooked);
        daemon_proc d;
        daemon_start(d, {m.mode, "--serial", bus.link + ":9600"});
        EXPECT_TRUE(wait_stdout(d, m.banner)) << m.mode;
        EXPECT_EQ(bus.settings().c_cflag, static_cast<tcflag_t>(CS8 | B9600 | CREAD | CLOCAL));

        channel_sub from_bus(m.from_bus_sub, m.from_bus_probe);
        channel_sub to_bus(m.to_bus_sub, m.to_bus_push);
        ASSERT_EQ(write(bus.master, "status 1\r\nsta", 13), 13);
        std::string msg;
        EXPECT_TRUE(from_bus.recv(msg) && msg == "status 1\r\n") << m.mode << msg;
        EXPECT_TRUE(from_bus.recv(msg) && msg == "sta") << m.mode << msg;
        ASSERT_EQ(write(bus.master, "tus 2\n", 6), 6);
        EXPECT_TRUE(from_bus.recv(msg) && msg == "tus 2\n") << m.mode << msg;

        EXPECT_TRUE(to_bus.silent()) << m.mode; // bus lines go into one channel only

        ASSERT_TRUE(bus_live(bus, m.to_bus_push)) << m.mode;
        channel_push(m.from_bus_probe).send("not for the bus\n");
        channel_push(m.to_bus_push).send("OK 1\n");
        // Read on until the bus has been quiet for 300 ms.
        EXPECT_EQ(without_probes(bus.receive(5) + bus.receive(100, 300)), "OK 1\n") << m.mode;

        EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
        EXPECT_TRUE(same_settings(bus.settings(), cooked)) << m.mode << ": port not restored";
    }
}

TEST(SerialBus, DumpShowsBusBytesGreenAndWrittenMessagesYellow)
{
    pty_port bus;
    daemon_proc d;
    daemon_start(d, {"--serial", bus.link + ":9600", "--serial_dump"});
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    ASSERT_TRUE(bus_live(bus, RES_PUSH));
    ASSERT_EQ(write(bus.master, "ping\n", 5), 5);
    std::string msg;
    ASSERT_TRUE(cmd.recv(msg));
    channel_push(RES_PUSH).send("pong\n");
    EXPECT_TRUE(wait_stdout(d, "\x1b[1;33;40mpong\n"));

    std::string out = daemon_stdout(d);
    const std::string prefix = "\x1b\\[1;39;40m(\\d+):\\d{3}:";
    EXPECT_TRUE(std::regex_search(out, std::regex(prefix + "\x1b\\[1;32;40mping\n"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(prefix + "\x1b\\[1;33;40mpong\n"))) << out;
    std::smatch first; // measured from zero: seconds since the epoch
    ASSERT_TRUE(std::regex_search(out, first, std::regex(prefix)));
    EXPECT_GT(std::stoll(first[1]), 1000000000LL);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(SerialBus, PortThatFailsLeavesTheDaemonRunningWithoutIt)
{
    pty_port bus; // a pty has no serial information for a custom divisor
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/null:9600", "Unknown device type.\n"},
        {bus.link + ":31250", ""},
        {"/dev/ttyS0:9600:" + std::string(40, '0'), "Serial argument longer than 51"},
    };
    for (const auto &c : cases) {
        daemon_proc d;
        daemon_start(d, {"--serial", c.first});
        channel_sub cmd(CMD_SUB, CMD_PUSH); // the channels work all the same
        EXPECT_EQ(daemon_stdout(d).find("Setting p1025"), std::string::npos) << c.first;
        EXPECT_NE(daemon_stderr(d).find(c.second), std::string::npos) << daemon_stderr(d);
        EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
    }
}

} // namespace
