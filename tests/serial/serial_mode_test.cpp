// Transceiver modes: for each board port and mode, the RTS changes, RS-485
// settings and GPIO writes, recorded in the order they reach the hardware.
#include "serial/gpio.h"
#include "serial/serial_mode.h"
#include "serial_fakes.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace
{

typedef std::vector<std::string> calls;

// Every line a board port may drive, exported as an input at 0.
const int BOARD_LINES[] = {194, 197, 212, 224, 229, 237, 238, 243, 250};

struct ModeTest : testing::Test {
    fake_sysfs sysfs;
    ioctl_recorder hw;
    void SetUp() override
    {
        for (int line : BOARD_LINES)
            sysfs.add_line(line);
        hw.sysfs = &sysfs;
        hw.install();
    }
    // Every line back to an input at 0, out of the record.
    void reset_lines()
    {
        for (int line : BOARD_LINES) {
            sysfs.write("gpio" + std::to_string(line) + "/direction", "in\n");
            sysfs.write("gpio" + std::to_string(line) + "/value", "0\n");
        }
        std::vector<std::string> ignored;
        sysfs.drain(ignored);
        hw.log.clear();
    }
};

// The RS-485 update as the recorder logs it: TERMINATE_BUS (0x20) is not a
// mode bit and rides along.
const std::string RS485_RS232 = "TIOCSRS485 flags=0x30";
const std::string RS485_RS422 = "TIOCSRS485 flags=0x37";
const std::string RS485_4W = "TIOCSRS485 flags=0x33";
const std::string RS485_2W = "TIOCSRS485 flags=0x23";

struct mode_case {
    const char *path;
    int mode;
    calls expected;
};

const mode_case MODE_CASES[] = {
    {"/dev/ttyS1", PORT_MODE_RS232, {"TIOCMBIS RTS", "238:out", "238=0"}},
    {"/dev/ttyS1", PORT_MODE_RS422, {"238:out", "238=1", "TIOCMBIC RTS", "237:out", "237=0"}},
    {"/dev/ttyS1", PORT_MODE_RS485_4W, {"238:out", "238=1", "TIOCMBIS RTS", "237:out", "237=0"}},
    {"/dev/ttyS1", PORT_MODE_RS485_2W, {"238:out", "238=1", "TIOCMBIS RTS", "237:out", "237=1"}},

    {"/dev/ttyQE0",
     PORT_MODE_RS232,
     {"TIOCGRS485", RS485_RS232, "194:out", "194=0", "224:out", "224=0"}},
    {"/dev/ttyQE0",
     PORT_MODE_RS422,
     {"TIOCGRS485", RS485_RS422, "194:out", "194=1", "224:out", "224=0"}},
    {"/dev/ttyQE0",
     PORT_MODE_RS485_4W,
     {"TIOCGRS485", RS485_4W, "194:out", "194=1", "224:out", "224=0"}},
    {"/dev/ttyQE0",
     PORT_MODE_RS485_2W,
     {"TIOCGRS485", RS485_2W, "194:out", "194=1", "224:out", "224=1"}},

    {"/dev/ttyQE1", PORT_MODE_RS232, {"TIOCGRS485", RS485_RS232}},
    {"/dev/ttyQE1", PORT_MODE_RS422, {"TIOCGRS485", RS485_RS422}},
    {"/dev/ttyQE1", PORT_MODE_RS485_4W, {"TIOCGRS485", RS485_4W}},
    {"/dev/ttyQE1", PORT_MODE_RS485_2W, {"TIOCGRS485", RS485_2W}},

    {"/dev/ttyQE2", PORT_MODE_RS232, {"TIOCGRS485", RS485_RS232}},
    {"/dev/ttyQE2", PORT_MODE_RS422, {"TIOCGRS485", RS485_RS422, "212:out", "212=0"}},
    {"/dev/ttyQE2", PORT_MODE_RS485_4W, {"TIOCGRS485", RS485_4W, "212:out", "212=0"}},
    {"/dev/ttyQE2", PORT_MODE_RS485_2W, {"TIOCGRS485", RS485_2W, "212:out", "212=1"}},

    {"/dev/ttyQE3", PORT_MODE_RS232, {"TIOCGRS485", RS485_RS232}},
    {"/dev/ttyQE3", PORT_MODE_RS422, {"TIOCGRS485", RS485_RS422, "250:out", "250=0"}},
    {"/dev/ttyQE3", PORT_MODE_RS485_4W, {"TIOCGRS485", RS485_4W, "250:out", "250=0"}},
    {"/dev/ttyQE3", PORT_MODE_RS485_2W, {"TIOCGRS485", RS485_2W, "250:out", "250=1"}},
};

TEST_F(ModeTest, EachBoardPortAndModeMakesItsStepsInOrder)
{
    for (const mode_case &c : MODE_CASES) {
        reset_lines();
        CaptureStdout();
        EXPECT_EQ(serial_set_mode(3, c.path, c.mode), 0);
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(hw.calls(), c.expected) << c.path << " mode " << c.mode;
    }
}

TEST_F(ModeTest, Rs485UpdateKeepsEveryFieldButTheFourModeBits)
{
    for (unsigned start : {0u, 0x17u}) {
        hw.rs485.flags = start | SER_RS485_TERMINATE_BUS;
        EXPECT_EQ(serial_set_mode(3, "/dev/ttyQE2", PORT_MODE_RS485_4W), 0);
        EXPECT_EQ(hw.rs485_written.flags, 0x33u) << "from " << start;
        EXPECT_EQ(hw.rs485_written.delay_rts_before_send, 7u);
        EXPECT_EQ(hw.rs485_written.delay_rts_after_send, 9u);
    }
}

TEST_F(ModeTest, PortsWithoutModeLinesOnlyComplainInRs485Modes)
{
    for (const char *path : {"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyS10", "/tmp/ttyBUS"}) {
        for (int mode = PORT_MODE_RS232; mode <= PORT_MODE_RS485_2W; mode++) {
            hw.log.clear();
            CaptureStdout();
            EXPECT_EQ(serial_set_mode(3, path, mode), 0);
            bool rs485 = mode == PORT_MODE_RS485_4W || mode == PORT_MODE_RS485_2W;
            EXPECT_EQ(GetCapturedStdout(), rs485 ? "tty not recognized\n" : "") << path << mode;
            EXPECT_EQ(hw.calls(), calls()) << path << " mode " << mode;
        }
    }
}

TEST_F(ModeTest, InvalidModeTouchesNothing)
{
    for (int mode : {4, -1, 100}) {
        CaptureStdout();
        EXPECT_EQ(serial_set_mode(3, "/dev/ttyS1", mode), -1);
        EXPECT_EQ(GetCapturedStdout(), "Invalid port mode\n");
    }
    EXPECT_EQ(hw.calls(), calls());
}

TEST_F(ModeTest, FailingRs485QueryWritesFromAZeroRecord)
{
    hw.fail_get_rs485 = true;
    CaptureStderr();
    EXPECT_EQ(serial_set_mode(3, "/dev/ttyQE3", PORT_MODE_RS485_2W), 0);
    EXPECT_EQ(GetCapturedStderr().rfind("ioctl: ", 0), 0u);
    EXPECT_EQ(hw.calls(), (calls{"TIOCGRS485", "TIOCSRS485 flags=0x3", "250:out", "250=1"}));
    struct serial_rs485 zero_but_flags;
    memset(&zero_but_flags, 0, sizeof zero_but_flags);
    zero_but_flags.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    EXPECT_EQ(memcmp(&hw.rs485_written, &zero_but_flags, sizeof zero_but_flags), 0);
}

TEST_F(ModeTest, FailingIoctlsAreReportedAndTheLinesStillDriven)
{
    hw.fail_set_rs485 = true;
    hw.fail_modem = true;
    CaptureStderr();
    EXPECT_EQ(serial_set_mode(3, "/dev/ttyQE0", PORT_MODE_RS422), 0);
    EXPECT_EQ(serial_set_mode(3, "/dev/ttyS1", PORT_MODE_RS485_4W), 0);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.rfind("ioctl: ", 0), 0u);
    EXPECT_NE(err.find("\nioctl: "), std::string::npos); // once for each failure
    EXPECT_EQ(hw.calls(), (calls{"TIOCGRS485", RS485_RS422, "194:out", "194=1", "224:out", "224=0",
                                 "238:out", "238=1", "TIOCMBIS RTS", "237:out", "237=0"}));
}

TEST_F(ModeTest, FailingGpioLeavesTheResultAtZero)
{
    gpio_set_root("/nonexistent/vexlond-gpio");
    CaptureStdout();
    EXPECT_EQ(serial_set_mode(3, "/dev/ttyS1", PORT_MODE_RS485_2W), 0);
    EXPECT_EQ(GetCapturedStdout(), "Unable to export gpio238\nUnable to set direction.\n"
                                   "Unable to export gpio237\nUnable to set direction.\n");
    EXPECT_EQ(hw.calls(), (calls{"TIOCMBIS RTS"}));
}

TEST_F(ModeTest, StoredRtsLevelDecidesRs232OnTtyS1Only)
{
    EXPECT_EQ(serial_stored_rts("/dev/ttyS1"), 1);
    serial_store_rts("/dev/ttyS0", 0);
    EXPECT_EQ(serial_stored_rts("/dev/ttyS1"), 1);
    serial_store_rts("/dev/ttyS1", 0);
    EXPECT_EQ(serial_stored_rts("/dev/ttyS1"), 0);
    EXPECT_EQ(serial_stored_rts("/dev/ttyS10"), 0); // the first 10 characters decide
    EXPECT_EQ(serial_stored_rts("/dev/ttyS0"), 1);
    EXPECT_EQ(serial_set_mode(3, "/dev/ttyS1", PORT_MODE_RS232), 0);
    serial_store_rts("/dev/ttyS1", 1);
    EXPECT_EQ(hw.calls(), (calls{"TIOCMBIC RTS", "238:out", "238=0"}));
}

TEST_F(ModeTest, ModemLineHelpers)
{
    EXPECT_EQ(serial_set_rts(3, 1), 0);
    EXPECT_EQ(serial_set_rts(3, 0), 0);
    EXPECT_EQ(serial_set_dtr(3, 7), 0);
    EXPECT_EQ(serial_set_dtr(3, 0), 0);
    hw.fail_modem = true;
    CaptureStderr();
    EXPECT_EQ(serial_set_rts(3, 1), -1);
    EXPECT_EQ(GetCapturedStderr().rfind("ioctl: ", 0), 0u);
    EXPECT_EQ(hw.calls(), (calls{"TIOCMBIS RTS", "TIOCMBIC RTS", "TIOCMBIS DTR", "TIOCMBIC DTR",
                                 "TIOCMBIS RTS"}));
}

TEST_F(ModeTest, QeRtsDrivesItsGpioLine)
{
    EXPECT_EQ(serial_set_qe_rts(3, "/dev/ttyQE0", 1), 0);
    EXPECT_EQ(serial_set_qe_rts(-1, "/dev/ttyQE2", 1), 0);
    EXPECT_EQ(serial_set_qe_rts(3, "/dev/ttyQE3", 0), 0);
    EXPECT_EQ(serial_set_qe_rts(3, "/dev/ttyQE1", 1), 0); // no line: nothing
    EXPECT_EQ(serial_set_qe_rts(3, "/dev/ttyS1", 0), 0);
    EXPECT_EQ(serial_set_qe_rts(-1, "/dev/ttyS1", 0), -1);
    EXPECT_EQ(hw.calls(),
              (calls{"243:out", "243=1", "229:out", "229=1", "197:out", "197=0", "TIOCMBIC RTS"}));
}

TEST_F(ModeTest, ModeReadsBackFromTheLines)
{
    struct line_case {
        const char *path;
        int select_line, select, wires_line, wires, expected;
    };
    const line_case cases[] = {
        {"/dev/ttyS1", 238, 0, 237, 1, PORT_MODE_RS232},
        {"/dev/ttyS1", 238, 1, 237, 0, PORT_MODE_RS485_4W}, // RS-422 reads back as this
        {"/dev/ttyS1", 238, 1, 237, 1, PORT_MODE_RS485_2W},
        {"/dev/ttyQE0", 194, 0, 224, 1, PORT_MODE_RS232},
        {"/dev/ttyQE0", 194, 1, 224, 1, PORT_MODE_RS485_2W},
        {"/dev/ttyQE2", 238, 0, 212, 0, PORT_MODE_RS485_4W}, // no RS-232 side
        {"/dev/ttyQE3", 238, 0, 250, 1, PORT_MODE_RS485_2W},
    };
    for (const line_case &c : cases) {
        sysfs.write("gpio" + std::to_string(c.select_line) + "/value", c.select ? "1\n" : "0\n");
        sysfs.write("gpio" + std::to_string(c.wires_line) + "/value", c.wires ? "1\n" : "0\n");
        EXPECT_EQ(serial_get_mode(c.path), c.expected) << c.path << c.select << c.wires;
    }
    reset_lines();
    EXPECT_EQ(serial_get_mode("/dev/ttyQE1"), 4);
    EXPECT_EQ(serial_get_mode("/dev/ttyS0"), 4);
    EXPECT_EQ(hw.calls(), calls()); // reading changes nothing
}

TEST_F(ModeTest, SetModeThenGetModeRoundTrips)
{
    for (const char *path : {"/dev/ttyS1", "/dev/ttyQE0"})
        for (int mode : {PORT_MODE_RS232, PORT_MODE_RS485_4W, PORT_MODE_RS485_2W}) {
            serial_set_mode(3, path, mode);
            EXPECT_EQ(serial_get_mode(path), mode) << path;
        }
}

} // namespace
