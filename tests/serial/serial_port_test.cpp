// Serial port open and restore on a real pty: data formats, custom rates through
// the recorded serial-information ioctls, and the two saved-settings slots. The
// settings a port carries while the daemon has it, and after, are checked end to
// end.
#include "kit.h"
#include "serial/serial_mode.h"
#include "serial/serial_port.h"
#include "serial_fakes.h"

#include <gtest/gtest.h>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(SerialPort, FormatsGiveTheirControlFlags)
{
    const std::pair<const char *, tcflag_t> formats[] = {{"8n1", CS8},
                                                         {"7e2", CS7 | PARENB | CSTOPB},
                                                         {"8o1", CS8 | PARENB | PARODD},
                                                         {"5n1", CS5},
                                                         {"6o2", CS6 | PARENB | PARODD | CSTOPB},
                                                         {"8E1", CS8},
                                                         {"xyz", CS8},
                                                         {"7", CS7}};
    for (const auto &f : formats) EXPECT_EQ(format_to_cflag(f.first), f.second) << f.first;
}

TEST(SerialPort, CustomRatesTakeTheNearestDivisorAndWarnWhenItMisses)
{
    const struct {
        int baud;
        const char *divisor, *warning;
    } cases[] = {
        {31250, "4", "Warning: Actual baudrate is 115200 / 4 = 28800.000000.\n"},
        {14400, "8", ""},
        {250000, "1", "Warning: Actual baudrate is 115200 / 1 = 115200.000000.\n"},
        {76800, "2", "Warning: Actual baudrate is 115200 / 2 = 57600.000000.\n"}, // 1.5 rounds up
    };
    for (const auto &c : cases) {
        ioctl_recorder hw;
        pty_port bus;
        CaptureStderr();
        int fd = serial_open(bus.link.c_str(), c.baud, PORT_MODE_RS232, "8n1");
        EXPECT_EQ(GetCapturedStderr(), c.warning) << c.baud;
        // Speed bits replaced by ASYNC_SPD_CUST (0x30), ASYNC_SKIP_TEST (0x40) kept.
        std::string set = std::string("TIOCSSERIAL divisor=") + c.divisor + " flags=0x70";
        EXPECT_EQ(hw.calls(), (call_log{"TIOCGSERIAL", set, "TIOCGSERIAL"})) << c.baud;
        EXPECT_EQ(bus.settings().c_cflag & CBAUD, static_cast<tcflag_t>(B38400)) << c.baud;
        serial_close(fd);
    }
    ioctl_recorder hw;
    hw.fail_get_serial_call = 2;
    pty_port bus;
    CaptureStderr();
    serial_close(serial_open(bus.link.c_str(), 31250, PORT_MODE_RS232, "8n1"));
    EXPECT_EQ(GetCapturedStderr(), "Warning: Unable check baudrate.\n");
}

TEST(SerialPort, SlotsRestoreTwoPortsAndAFailedOpenGivesItsSlotBack)
{
    pty_port failing, p1, p2, p3;
    for (int step : {1, 2}) {
        ioctl_recorder hw;
        hw.fail_get_serial_call = step == 1;
        hw.fail_set_serial = step == 2;
        CaptureStderr();
        EXPECT_EQ(serial_open(failing.link.c_str(), 31250, PORT_MODE_RS232, "8n1"), -1);
        EXPECT_EQ(GetCapturedStderr(), "");
    }
    int a = serial_open(p1.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    int b = serial_open(p2.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    int c = serial_open(p3.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    ASSERT_GE(c, 0);
    EXPECT_EQ(p3.settings().c_lflag, 0u); // configured all the same
    serial_close(a);
    serial_close(c);
    serial_close(b);
    EXPECT_TRUE(p1.as_found());
    EXPECT_TRUE(p2.as_found());
    EXPECT_EQ(p3.settings().c_lflag, 0u); // it had no slot: nothing to restore
}

} // namespace
