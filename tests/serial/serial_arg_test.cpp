// The serial argument: fields, defaults and their order, the length limits,
// device dispatch, and the serial endpoint's bridge for each bus mode.
#include "core/settings.h"
#include "pty_port.h"
#include "serial/serial_arg.h"
#include "serial/serial_mode.h"
#include "serial/serial_port.h"
#include "serial_fakes.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace
{

struct arg_case {
    const char *arg;
    const char *device;
    int baud;
    int mode;
    const char *format;
};

const arg_case ARG_CASES[] = {
    {"/dev/ttyS1", "/dev/ttyS1", 19200, PORT_MODE_RS232, "8n1"},
    {"/dev/ttyS0:115200:RS422:8n1", "/dev/ttyS0", 115200, PORT_MODE_RS422, "8n1"},
    {"/dev/ttyQE0:rs485-4w:9600", "/dev/ttyQE0", 9600, PORT_MODE_RS485_4W, "8n1"},
    {"/dev/ttyQE0:9600:Rs485-2W", "/dev/ttyQE0", 9600, PORT_MODE_RS485_2W, "8n1"},
    {"/dev/ttyS1:9600:rs485-2w:rs232", "/dev/ttyS1", 9600, PORT_MODE_RS232, "8n1"},
    {"/dev/ttyS1:9600:7e2x", "/dev/ttyS1", 9600, PORT_MODE_RS232, "7e2"},
    {"/dev/ttyS1:5o1:8n2:4800:1200", "/dev/ttyS1", 1200, PORT_MODE_RS232, "8n2"},
    {"/dev/ttyS1:8N1", "/dev/ttyS1", 8, PORT_MODE_RS232, "8n1"},
    {"/dev/ttyS1:8n", "/dev/ttyS1", 8, PORT_MODE_RS232, "8n1"},
    {"/dev/ttyS1:fast", "/dev/ttyS1", 0, PORT_MODE_RS232, "8n1"},
    {"/dev/ttyS1:rs485", "/dev/ttyS1", 0, PORT_MODE_RS232, "8n1"}, // not a whole keyword
    {"/dev/ttyS1:9600:", "/dev/ttyS1", 0, PORT_MODE_RS232, "8n1"}, // an empty field is a rate
    {"/dev/ttyS1:-300", "/dev/ttyS1", -300, PORT_MODE_RS232, "8n1"},
    {"/dev/ttyS1:99999999999", "/dev/ttyS1", 2147483647, PORT_MODE_RS232, "8n1"},
    {"192.168.1.1:4001:115200", "192.168.1.1:4001", 115200, PORT_MODE_RS232, "8n1"},
    {"192.168.1.1", "192.168.1.1:", 19200, PORT_MODE_RS232, "8n1"},
    {"10.0.0.1:rs422", "10.0.0.1:rs422", 19200, PORT_MODE_RS232, "8n1"},
    {":9600", "", 9600, PORT_MODE_RS232, "8n1"},
    {"", "", 19200, PORT_MODE_RS232, "8n1"},
};

TEST(SerialArg, FieldsAfterTheDeviceInAnyOrderLastOneWins)
{
    for (const arg_case &c : ARG_CASES) {
        serial_arg_parsed p;
        ASSERT_EQ(serial_arg_parse(c.arg, &p), 0) << c.arg;
        EXPECT_STREQ(p.device, c.device) << c.arg;
        EXPECT_EQ(p.baud, c.baud) << c.arg;
        EXPECT_EQ(p.mode, c.mode) << c.arg;
        EXPECT_STREQ(p.format, c.format) << c.arg;
    }
}

TEST(SerialArg, LongArgumentsAndDevicesAreRefusedNotCut)
{
    serial_arg_parsed p;
    std::string dev49 = "/dev/tty" + std::string(41, 'x');
    ASSERT_EQ(dev49.size(), 49u);
    EXPECT_EQ(serial_arg_parse((dev49 + ":1").c_str(), &p), 0); // 51 characters
    EXPECT_EQ(std::string(p.device), dev49);
    EXPECT_EQ(p.baud, 1);

    CaptureStderr();
    EXPECT_EQ(serial_arg_parse((dev49 + ":12").c_str(), &p), -1); // 52
    EXPECT_EQ(serial_parse_open((dev49 + ":9600").c_str()), -1);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("Serial argument longer than 51 characters: " + dev49 + ":12\n", 0), 0u)
        << err;

    CaptureStderr();
    EXPECT_EQ(serial_arg_parse((dev49 + "y").c_str(), &p), -1); // device of 50
    std::string joined = "100.100.100.100:" + std::string(34, '4');
    EXPECT_EQ(serial_arg_parse(joined.c_str(), &p), -1); // address and port joined: 50
    err = GetCapturedStderr();
    EXPECT_NE(err.find("Serial device longer than 49 characters: " + dev49 + "y\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Serial device longer than 49 characters: 100.100.100.100:"),
              std::string::npos)
        << err;
}

TEST(SerialArg, DispatchRefusesSocketsAndNonTtys)
{
    const struct {
        const char *arg;
        const char *err;
    } cases[] = {
        {"192.168.1.1:4001:115200", "Connected to a socket not implemented.\n"},
        {"192.168.1.1", "Unknown device type.\n"},
        {"/dev/null:9600", "Unknown device type.\n"},
        {":9600", ""},
        {"", ""},
        {"/nonexistent/ttyS1:fast", ""}, // rate 0: refused before any open
        {"/nonexistent/ttyS1:9600", "/nonexistent/ttyS1: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        CaptureStderr();
        EXPECT_EQ(serial_parse_open(c.arg), -1) << c.arg;
        EXPECT_EQ(GetCapturedStderr(), c.err) << c.arg;
    }
    CaptureStderr();
    EXPECT_EQ(socket_not_implemented(), -1);
    EXPECT_EQ(serial_dispatch("10.1.1.1:80", 9600, PORT_MODE_RS232, "8n1"), -1);
    EXPECT_EQ(serial_dispatch_8n1("/dev/null", 9600, PORT_MODE_RS232), -1);
    EXPECT_EQ(GetCapturedStderr(), "Connected to a socket not implemented.\n"
                                   "Connected to a socket not implemented.\n"
                                   "Unknown device type.\n");
}

TEST(SerialArg, ParseOpenSetsThePortUpAsNamed)
{
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    int fd = serial_parse_open((bus.link + ":RS422:8n2:2400").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bus.settings().c_cflag, static_cast<tcflag_t>(CS8 | CSTOPB | B2400 | CREAD | CLOCAL));
    serial_close(fd);

    fd = serial_dispatch_8n1(bus.link.c_str(), 57600, PORT_MODE_RS232);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bus.settings().c_cflag, static_cast<tcflag_t>(CS8 | B57600 | CREAD | CLOCAL));
    serial_close(fd);
}

int open_from(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return serial_open_from_argv(static_cast<int>(args.size()), argv.data(), "--serial");
}

TEST(SerialArg, OpenFromArgvTakesTheLastOption)
{
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    std::string good = bus.link + ":9600";
    CaptureStderr();
    int fd = open_from({"prog", "--serial", "/dev/null:9600", "-v", "--serial", good});
    EXPECT_EQ(GetCapturedStderr(), "");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bus.settings().c_cflag & CBAUD, static_cast<tcflag_t>(B9600));
    serial_close(fd);

    CaptureStderr();
    EXPECT_EQ(open_from({"prog", "--serial", good, "--serial"}), -1);
    EXPECT_EQ(open_from({"prog", "-v"}), -1);
    EXPECT_EQ(open_from({"--serial", good}), -1); // the program name is not an option
    EXPECT_EQ(open_from({"prog", "--serial", "/dev/null:9600"}), -1);
    EXPECT_EQ(GetCapturedStderr(), "Missing argument\nUnknown device type.\n");
}

TEST(SerialArg, UsageText)
{
    CaptureStdout();
    serial_usage("--serial");
    EXPECT_EQ(GetCapturedStdout(), "Serial arguments:\n"
                                   "  --serial <device>:<baudrate>[:<mode>[:format]]\n"
                                   "    Example1: --serial /dev/ttyS0:115200\n"
                                   "    Example2: --serial 192.168.1.1:4001:115200\n"
                                   "    Example3: --serial /dev/ttyS0:115200:RS422:8n1\n"
                                   "    Example4: --serial /dev/ttyS0:115200:RS485-2w\n"
                                   "\n");
}

TEST(SerialEndpoint, BusModePicksTheChannelPair)
{
    settings_defaults();
    publish_response_port = 6551;
    publish_command_port = 6552;
    pull_response_port = 6553;
    pull_command_port = 6554;
    inout_cfg ctrl, card;
    serial_bridge_fill(&ctrl, 7, 1, 0);
    serial_bridge_fill(&card, 7, 0, 1);
    settings_defaults();

    EXPECT_EQ(ctrl.ifd, 7);
    EXPECT_EQ(ctrl.ofd, 7);
    EXPECT_STREQ(ctrl.push, "tcp://localhost:6553"); // bus into the response channel
    EXPECT_STREQ(ctrl.sub, "tcp://localhost:6552");  // command channel onto the bus
    EXPECT_EQ(ctrl.flags, static_cast<unsigned>(INOUT_LINES));
    EXPECT_EQ(ctrl.run, &running);

    EXPECT_STREQ(card.push, "tcp://localhost:6554"); // bus into the command channel
    EXPECT_STREQ(card.sub, "tcp://localhost:6551");  // response channel onto the bus
    EXPECT_EQ(card.flags, static_cast<unsigned>(INOUT_LINES | INOUT_DUMP));
}

TEST(SerialEndpoint, BusModeLineCommands)
{
    EXPECT_STREQ(serial_bus_mode_command(1), "echo \"0\" > /sys/class/gpio/gpio219/value");
    EXPECT_STREQ(serial_bus_mode_command(0), "echo \"1\" > /sys/class/gpio/gpio219/value");
}

} // namespace
