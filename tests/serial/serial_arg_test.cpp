// The serial argument: fields and defaults, the length limits, device
// dispatch; the channel pair of each bus mode is checked end to end.
#include "kit.h"
#include "serial/serial_arg.h"
#include "serial/serial_mode.h"
#include "serial/serial_port.h"

#include <gtest/gtest.h>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(SerialArg, FieldsAfterTheDeviceInAnyOrderLastOneWins)
{
    const struct {
        const char *arg, *device;
        int baud, mode;
        const char *format;
    } cases[] = {
        {"/dev/ttyS1", "/dev/ttyS1", 19200, PORT_MODE_RS232, "8n1"},
        {"/dev/ttyS0:115200:RS422:8n1", "/dev/ttyS0", 115200, PORT_MODE_RS422, "8n1"},
        {"/dev/ttyQE0:rs485-4w:9600", "/dev/ttyQE0", 9600, PORT_MODE_RS485_4W, "8n1"},
        {"/dev/ttyS1:9600:rs485-2w:rs232", "/dev/ttyS1", 9600, PORT_MODE_RS232, "8n1"},
        {"/dev/ttyS1:Rs485-2W:5o1:7e2x:1200", "/dev/ttyS1", 1200, PORT_MODE_RS485_2W, "7e2"},
        {"/dev/ttyS1:8N1", "/dev/ttyS1", 8, PORT_MODE_RS232, "8n1"},
        {"/dev/ttyS1:fast", "/dev/ttyS1", 0, PORT_MODE_RS232, "8n1"},
        {"/dev/ttyS1:9600:", "/dev/ttyS1", 0, PORT_MODE_RS232, "8n1"}, // an empty field is a rate
        {"/dev/ttyS1:99999999999", "/dev/ttyS1", 2147483647, PORT_MODE_RS232, "8n1"},
        {"192.168.1.1:4001:115200", "192.168.1.1:4001", 115200, PORT_MODE_RS232, "8n1"},
        {"192.168.1.1", "192.168.1.1:", 19200, PORT_MODE_RS232, "8n1"},
        {":9600", "", 9600, PORT_MODE_RS232, "8n1"},
    };
    for (const auto &c : cases) {
        serial_arg_parsed p;
        ASSERT_EQ(serial_arg_parse(c.arg, &p), 0) << c.arg;
        EXPECT_STREQ(p.device, c.device) << c.arg;
        EXPECT_EQ(p.baud, c.baud) << c.arg;
        EXPECT_EQ(p.mode, c.mode) << c.arg;
        EXPECT_STREQ(p.format, c.format) << c.arg;
    }
}

TEST(SerialArg, DispatchRefusesTooLongArgumentsSocketsAndOtherDevices)
{
    const std::string dev49 = "/dev/tty" + std::string(41, 'x'),
                      ip50 = "1.2.3.4:" + std::string(42, '4');
    const std::pair<std::string, std::string> cases[] = {
        // Refused rather than cut, which could name another device or rate.
        {dev49 + ":12", "Serial argument longer than 51 characters: " + dev49 + ":12\n"},
        {dev49 + "y", "Serial device longer than 49 characters: " + dev49 + "y\n"},
        {ip50, "Serial device longer than 49 characters: " + ip50 + "\n"},
        {dev49 + ":1", dev49 + ": No such file or directory\n"}, // 51 characters fit
        {"192.168.1.1:4001:115200", "Connected to a socket not implemented.\n"},
        {"192.168.1.1", "Unknown device type.\n"},
        {"/dev/null:9600", "Unknown device type.\n"},
        {":9600", ""},
        {"/nonexistent/ttyS1:fast", ""}, // rate 0: refused before any open
    };
    for (const auto &c : cases) {
        CaptureStderr();
        EXPECT_EQ(serial_parse_open(c.first.c_str()), -1) << c.first;
        EXPECT_EQ(GetCapturedStderr(), c.second) << c.first;
    }
}

TEST(SerialArg, OpenFromArgvTakesTheArgumentAfterTheLastOption)
{
    pty_port bus;
    std::string good = bus.link + ":2400:8n2";
    auto open_from = [](std::vector<std::string> args) {
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(&a[0]);
        return serial_open_from_argv(static_cast<int>(argv.size()), argv.data(), "--serial");
    };
    int fd = open_from({"prog", "--serial", "/dev/null:9600", "-v", "--serial", good});
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bus.settings().c_cflag, static_cast<tcflag_t>(CS8 | CSTOPB | B2400 | CREAD | CLOCAL));
    serial_close(fd);
    CaptureStderr();
    EXPECT_EQ(open_from({"prog", "--serial", good, "--serial"}), -1);
    EXPECT_EQ(open_from({"--serial", good}), -1); // argv[0] is the program
    EXPECT_EQ(GetCapturedStderr(), "Missing argument\n");
}

} // namespace
