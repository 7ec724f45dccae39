// Serial port open and restore on a real pty: the terminal settings the port
// carries after serial_open and after serial_close, custom rates through the
// recorded serial-information ioctls, and the two saved-settings slots.
#include "pty_port.h"
#include "serial/serial_mode.h"
#include "serial/serial_port.h"
#include "serial_fakes.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace
{

typedef std::vector<std::string> calls;

// A cooked terminal as a program would leave it: echo, canonical input, CR/LF
// translation, 4800 baud, 7 bits with two stop bits.
struct termios cooked()
{
    struct termios t;
    memset(&t, 0, sizeof t);
    t.c_iflag = ICRNL | IXON | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    t.c_cflag = CS8 | CSTOPB | CREAD | HUPCL | B4800;
    t.c_cc[VMIN] = 1;
    t.c_cc[VINTR] = 3;
    t.c_cc[VEOF] = 4;
    cfsetispeed(&t, B4800);
    cfsetospeed(&t, B4800);
    return t;
}

bool same_settings(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

struct PortTest : testing::Test {
    ioctl_recorder hw;
    void SetUp() override { hw.install(); }
};

TEST(BaudToSpeed, ExactlyTheThirtyStandardRates)
{
    const struct {
        int baud;
        speed_t speed;
    } table[] = {{50, B50},           {75, B75},           {110, B110},         {134, B134},
                 {150, B150},         {200, B200},         {300, B300},         {600, B600},
                 {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
                 {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
                 {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
                 {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
                 {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                 {3500000, B3500000}, {4000000, B4000000}};
    for (const auto &r : table)
        EXPECT_EQ(baud_to_speed(r.baud), r.speed) << r.baud;
    for (int other : {0, -9600, 1, 135, 14400, 31250, 250000, 4000001})
        EXPECT_EQ(baud_to_speed(other), B0) << other;
}

TEST(FormatToCflag, EachPositionReadOnItsOwn)
{
    const struct {
        const char *format;
        tcflag_t cflag;
    } table[] = {
        {"8n1", CS8},
        {"7e2", CS7 | PARENB | CSTOPB},
        {"8o1", CS8 | PARENB | PARODD},
        {"5n1", CS5},
        {"6o2", CS6 | PARENB | PARODD | CSTOPB},
        {"8E1", CS8}, // upper case is not recognised
        {"xyz", CS8},
        {"9e2", CS8 | PARENB | CSTOPB},
        {"7", CS7}, // short texts stop where they end
        {"", CS8},
    };
    for (const auto &r : table)
        EXPECT_EQ(format_to_cflag(r.format), r.cflag) << r.format;
}

TEST_F(PortTest, StandardRateGivesRawSettingsWithoutSerialInformation)
{
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    bus.set_settings(cooked());
    int fd = serial_open(bus.link.c_str(), 19200, PORT_MODE_RS232, "8n1");
    ASSERT_GE(fd, 0);
    struct termios t = bus.settings();
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(CS8 | B19200 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    for (int i = 0; i < NCCS; i++)
        EXPECT_EQ(t.c_cc[i], i == VMIN ? 1 : 0) << "c_cc[" << i << "]";
    EXPECT_EQ(hw.calls(), calls()); // an unknown tty in RS-232: no ioctl at all

    // Raw: bytes pass both ways untouched, no echo, no CR/LF translation.
    ASSERT_TRUE(bus.send("AT\r\n"));
    char buf[16];
    EXPECT_EQ(read(fd, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "AT\r\n");
    EXPECT_EQ(write(fd, "ok\n", 3), 3);
    EXPECT_EQ(bus.receive(3), "ok\n");

    EXPECT_EQ(serial_close(fd), fd);
    EXPECT_TRUE(same_settings(bus.settings(), cooked()));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // closed
}

TEST_F(PortTest, StopBitsAndSpeedReachThePort)
{
    // A pty keeps the stop bits and speed it is given (it forces 8 bits and no
    // parity itself, so those are checked by the flag table above).
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    int fd = serial_open(bus.link.c_str(), 4000000, PORT_MODE_RS422, "8n2");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bus.settings().c_cflag,
              static_cast<tcflag_t>(CS8 | CSTOPB | B4000000 | CREAD | CLOCAL));
    serial_close(fd);
}

TEST_F(PortTest, PendingInputIsDiscardedAtOpen)
{
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    int early = open(bus.link.c_str(), O_RDWR | O_NOCTTY);
    struct termios raw = cooked();
    cfmakeraw(&raw);
    bus.set_settings(raw);
    ASSERT_TRUE(bus.send("stale"));
    usleep(50 * 1000); // let the line discipline take the bytes in before the flush
    int fd = serial_open(bus.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(bus.send("x"));
    char buf[16];
    EXPECT_EQ(read(fd, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 'x');
    serial_close(fd);
    close(early);
}

struct custom_case {
    int baud;
    std::string divisor;
    std::string warning;
};

TEST_F(PortTest, CustomRatesUseTheNearestDivisorAndWarnWhenItMisses)
{
    const custom_case cases[] = {
        {31250, "4", "Warning: Actual baudrate is 115200 / 4 = 28800.000000.\n"},
        {14400, "8", ""},
        {250000, "1", "Warning: Actual baudrate is 115200 / 1 = 115200.000000.\n"},
        {8, "14400", ""},
        {100000, "1", "Warning: Actual baudrate is 115200 / 1 = 115200.000000.\n"},
        {76800, "2", "Warning: Actual baudrate is 115200 / 2 = 57600.000000.\n"}, // 1.5 rounds up
    };
    for (const custom_case &c : cases) {
        pty_port bus;
        ASSERT_GE(bus.master, 0);
        hw.log.clear();
        hw.get_serial_calls = 0;
        hw.serial.flags = ASYNC_SPD_SHI | ASYNC_SKIP_TEST;
        CaptureStderr();
        int fd = serial_open(bus.link.c_str(), c.baud, PORT_MODE_RS232, "8n1");
        EXPECT_EQ(GetCapturedStderr(), c.warning) << c.baud;
        ASSERT_GE(fd, 0);
        EXPECT_EQ(hw.calls(),
                  (calls{"TIOCGSERIAL", "TIOCSSERIAL divisor=" + c.divisor + " flags=0x70",
                         "TIOCGSERIAL"}))
            << c.baud;
        EXPECT_EQ(bus.settings().c_cflag & CBAUD, static_cast<tcflag_t>(B38400)) << c.baud;
        serial_close(fd);
    }
}

TEST_F(PortTest, UncheckableCustomRateWarnsAndGoesOn)
{
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    hw.fail_get_serial_call = 2;
    CaptureStderr();
    int fd = serial_open(bus.link.c_str(), 31250, PORT_MODE_RS232, "8n1");
    EXPECT_EQ(GetCapturedStderr(), "Warning: Unable check baudrate.\n");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bus.settings().c_lflag, 0u);
    serial_close(fd);
}

TEST_F(PortTest, RefusedCustomRateClosesThePortAndFreesItsSlot)
{
    pty_port first, second, third;
    ASSERT_GE(third.master, 0);
    for (int failing_step : {1, 2}) {
        hw.fail_get_serial_call = failing_step == 1 ? 1 : 0;
        hw.fail_set_serial = failing_step == 2;
        hw.get_serial_calls = 0;
        first.set_settings(cooked());
        CaptureStderr();
        EXPECT_EQ(serial_open(first.link.c_str(), 31250, PORT_MODE_RS232, "8n1"), -1);
        EXPECT_EQ(GetCapturedStderr(), "");
        // Settings untouched.
        EXPECT_TRUE(same_settings(first.settings(), cooked()));
    }
    // Both slots are free again: two more ports are each restored at close.
    second.set_settings(cooked());
    third.set_settings(cooked());
    int a = serial_open(second.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    int b = serial_open(third.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    serial_close(b);
    serial_close(a);
    EXPECT_TRUE(same_settings(second.settings(), cooked()));
    EXPECT_TRUE(same_settings(third.settings(), cooked()));
}

TEST_F(PortTest, TwoSlotsRestoreTwoPortsAndAThirdPortIsNotRestored)
{
    pty_port p1, p2, p3;
    ASSERT_GE(p3.master, 0);
    struct termios t1 = cooked(), t2 = cooked(), t3 = cooked();
    cfsetospeed(&t2, B1200);
    t2.c_cflag = (t2.c_cflag & ~CBAUD) | B1200;
    t3.c_lflag &= ~ECHO;
    p1.set_settings(t1);
    p2.set_settings(t2);
    p3.set_settings(t3);
    int a = serial_open(p1.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    int b = serial_open(p2.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    int c = serial_open(p3.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    ASSERT_GE(c, 0);
    EXPECT_EQ(p3.settings().c_lflag, 0u); // opened and configured all the same
    serial_close(a);                      // closed out of order: each slot is its own
    serial_close(c);
    serial_close(b);
    EXPECT_TRUE(same_settings(p1.settings(), t1));
    EXPECT_TRUE(same_settings(p2.settings(), t2));
    EXPECT_EQ(p3.settings().c_lflag, 0u); // no slot: left raw

    // Slots were given back: the third port is restored once it has one.
    p3.set_settings(t3);
    c = serial_open(p3.link.c_str(), 9600, PORT_MODE_RS232, "8n1");
    serial_close(c);
    EXPECT_TRUE(same_settings(p3.settings(), t3));
}

TEST_F(PortTest, CloseOfAPortNoSlotHoldsOnlyCloses)
{
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    struct termios raw = cooked();
    cfmakeraw(&raw);
    bus.set_settings(raw);
    int fd = open(bus.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(serial_close(fd), fd);
    EXPECT_TRUE(same_settings(bus.settings(), raw));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST_F(PortTest, RefusedArgumentsOpenNothing)
{
    CaptureStderr();
    EXPECT_EQ(serial_open("", 9600, PORT_MODE_RS232, "8n1"), -1);
    EXPECT_EQ(serial_open("/nonexistent/ttyX", 0, PORT_MODE_RS232, "8n1"), -1);
    EXPECT_EQ(serial_open("/nonexistent/ttyX", -9600, PORT_MODE_RS232, "8n1"), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
    CaptureStderr();
    EXPECT_EQ(serial_open("/nonexistent/ttyX", 9600, PORT_MODE_RS232, "8n1"), -1);
    EXPECT_EQ(GetCapturedStderr(), "/nonexistent/ttyX: No such file or directory\n");
}

TEST_F(PortTest, NotATerminalIsReportedAtEachStepAndStillReturned)
{
    char dir[] = "/tmp/vexlond-port-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/ttyfile";
    close(open(path.c_str(), O_WRONLY | O_CREAT, 0644));
    CaptureStderr();
    int fd = serial_open(path.c_str(), 9600, PORT_MODE_RS232, "8n1");
    std::string err = GetCapturedStderr();
    EXPECT_GE(fd, 0);
    EXPECT_NE(err.find("tcgetattr: "), std::string::npos) << err;
    EXPECT_NE(err.find("tcsetattr: "), std::string::npos) << err;
    EXPECT_NE(err.find("tcflush: "), std::string::npos) << err;
    serial_close(fd);
    unlink(path.c_str());
    rmdir(dir);
}

TEST_F(PortTest, Rs485ModeOnAnUnknownTtyIsReportedAndTheOpenStands)
{
    pty_port bus;
    ASSERT_GE(bus.master, 0);
    testing::internal::CaptureStdout();
    int fd = serial_open(bus.link.c_str(), 9600, PORT_MODE_RS485_2W, "8n1");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "tty not recognized\n");
    ASSERT_GE(fd, 0);
    serial_close(fd);
}

} // namespace
