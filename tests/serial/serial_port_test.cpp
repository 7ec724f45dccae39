// Serial port open and restore on a real pty: the settings the port carries
// after serial_open and after serial_close, custom rates through the recorded
// serial-information ioctls, and the two saved-settings slots.
#include "pty_port.h"
#include "serial/serial_mode.h"
#include "serial/serial_port.h"
#include "serial_fakes.h"

#include <gtest/gtest.h>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace
{

TEST(SerialPort, StandardRatesAndFormats)
{
    const std::pair<int, speed_t> rates[] = {{50, B50},         {134, B134},
                                             {1800, B1800},     {115200, B115200},
                                             {576000, B576000}, {4000000, B4000000}};
    for (const auto &r : rates)
        EXPECT_EQ(baud_to_speed(r.first), r.second) << r.first;
    for (int other : {0, -9600, 135, 14400, 31250, 4000001})
        EXPECT_EQ(baud_to_speed(other), B0);

    const std::pair<const char *, tcflag_t> formats[] = {{"8n1", CS8},
                                                         {"7e2", CS7 | PARENB | CSTOPB},
                                                         {"8o1", CS8 | PARENB | PARODD},
                                                         {"5n1", CS5},
                                                         {"6o2", CS6 | PARENB | PARODD | CSTOPB},
                                                         {"8E1", CS8},
                                                         {"xyz", CS8},
                                                         {"7", CS7}};
    for (const auto &f : formats)
        EXPECT_EQ(format_to_cflag(f.first), f.second) << f.first;
}

TEST(SerialPort, OpenMakesThePortRawAndCloseRestoresIt)
{
    ioctl_recorder hw;
    pty_port bus;
    ASSERT_FALSE(bus.link.empty());
    const struct termios cooked = cooked_settings();
    tcsetattr(bus.master, TCSANOW, &cooked);
    int fd = serial_open(bus.link.c_str(), 19200, PORT_MODE_RS232, "8n1");
    ASSERT_GE(fd, 0);
    struct termios t = bus.settings();
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS8 | B19200 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag | t.c_lflag, 0u);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    for (int i = 0; i < NCCS; i++)
        EXPECT_EQ(t.c_cc[i], i == VMIN ? 1 : 0) << "c_cc " << i;
    EXPECT_EQ(hw.calls(), call_log()); // no serial information for a standard rate
    // No echo and no CR/LF translation either way.
    ASSERT_EQ(write(bus.master, "AT\r\n", 4), 4);
    char buf[8];
    EXPECT_EQ(read(fd, buf, sizeof buf), 4);
    EXPECT_EQ(write(fd, "ok\n", 3), 3);
    EXPECT_EQ(bus.receive(3), "ok\n");

    EXPECT_EQ(serial_close(fd), fd);
    EXPECT_TRUE(same_settings(bus.settings(), cooked));
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
    const struct termios cooked = cooked_settings();
    for (pty_port *p : {&p1, &p2, &p3})
        tcsetattr(p->master, TCSANOW, &cooked);
    int a = serial_open(p1.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    int b = serial_open(p2.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    int c = serial_open(p3.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    ASSERT_GE(c, 0);
    EXPECT_EQ(p3.settings().c_lflag, 0u); // configured all the same
    serial_close(a);
    serial_close(c);
    serial_close(b);
    EXPECT_TRUE(same_settings(p1.settings(), cooked));
    EXPECT_TRUE(same_settings(p2.settings(), cooked));
    EXPECT_EQ(p3.settings().c_lflag, 0u); // it had no slot: nothing to restore
}

} // namespace
