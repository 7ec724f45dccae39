// Transceiver modes: for each board port and mode, the RTS changes, RS-485
// updates and GPIO writes, recorded in the order they reach the hardware.
#include "serial/gpio.h"
#include "serial/serial_mode.h"
#include "serial_fakes.h"

#include <cstring>
#include <gtest/gtest.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace
{

const int BOARD_LINES[] = {194, 197, 212, 224, 229, 237, 238, 243, 250};

struct ModeTest : testing::Test {
    fake_sysfs sysfs;
    ioctl_recorder hw;
    void SetUp() override { hw.sysfs = &sysfs; }
    // Runs one call on freshly exported input lines; returns its record.
    call_log run(const char *path, int mode, int expect_rc = 0)
    {
        for (int line : BOARD_LINES)
            sysfs.add_line(line);
        call_log ignored;
        sysfs.drain(ignored);
        hw.log.clear();
        EXPECT_EQ(serial_set_mode(3, path, mode), expect_rc) << path << " " << mode;
        return hw.calls();
    }
};

// RS-485 flags per mode, with TERMINATE_BUS (0x20), not a mode bit, kept.
const char *const FLAGS[] = {"TIOCSRS485 flags=0x30", "TIOCSRS485 flags=0x37",
                             "TIOCSRS485 flags=0x33", "TIOCSRS485 flags=0x23"};
const char G[] = "TIOCGRS485";

const struct {
    const char *path;
    call_log by_mode[4]; // RS-232, RS-422, RS-485 four-wire, two-wire
} SEQUENCES[] = {
    {"/dev/ttyS1",
     {{"TIOCMBIS RTS", "238:out", "238=0"},
      {"238:out", "238=1", "TIOCMBIC RTS", "237:out", "237=0"},
      {"238:out", "238=1", "TIOCMBIS RTS", "237:out", "237=0"},
      {"238:out", "238=1", "TIOCMBIS RTS", "237:out", "237=1"}}},
    {"/dev/ttyQE0",
     {{G, FLAGS[0], "194:out", "194=0", "224:out", "224=0"},
      {G, FLAGS[1], "194:out", "194=1", "224:out", "224=0"},
      {G, FLAGS[2], "194:out", "194=1", "224:out", "224=0"},
      {G, FLAGS[3], "194:out", "194=1", "224:out", "224=1"}}},
    {"/dev/ttyQE1", {{G, FLAGS[0]}, {G, FLAGS[1]}, {G, FLAGS[2]}, {G, FLAGS[3]}}},
    {"/dev/ttyQE2",
     {{G, FLAGS[0]},
      {G, FLAGS[1], "212:out", "212=0"},
      {G, FLAGS[2], "212:out", "212=0"},
      {G, FLAGS[3], "212:out", "212=1"}}},
    {"/dev/ttyQE3",
     {{G, FLAGS[0]},
      {G, FLAGS[1], "250:out", "250=0"},
      {G, FLAGS[2], "250:out", "250=0"},
      {G, FLAGS[3], "250:out", "250=1"}}},
    {"/dev/ttyS0", {}},
    {"/dev/ttyS10", {}}, // the whole path must be /dev/ttyS1
    {"/tmp/ttyUSB0", {}},
};

TEST_F(ModeTest, EachPortAndModeMakesItsStepsInOrder)
{
    for (const auto &port : SEQUENCES)
        for (int mode = 0; mode < 4; mode++) {
            CaptureStdout();
            EXPECT_EQ(run(port.path, mode), port.by_mode[mode]) << port.path << " mode " << mode;
            bool unknown = port.by_mode[0].empty() && mode >= PORT_MODE_RS485_4W;
            EXPECT_EQ(GetCapturedStdout(), unknown ? "tty not recognized\n" : "") << port.path;
        }
    EXPECT_EQ(hw.rs485_written.delay_rts_before_send, 7u); // only the flags change
}

TEST_F(ModeTest, InvalidModeTouchesNothing)
{
    CaptureStdout();
    EXPECT_EQ(run("/dev/ttyS1", 4, -1), call_log());
    EXPECT_EQ(run("/dev/ttyQE0", -1, -1), call_log());
    EXPECT_EQ(GetCapturedStdout(), "Invalid port mode\nInvalid port mode\n");
}

TEST_F(ModeTest, FailingIoctlsAreReportedAndTheRestStillDone)
{
    hw.fail_get_rs485 = true;
    hw.fail_modem = true;
    CaptureStderr();
    EXPECT_EQ(run("/dev/ttyQE3", PORT_MODE_RS485_2W),
              (call_log{G, "TIOCSRS485 flags=0x3", "250:out", "250=1"}));
    EXPECT_EQ(run("/dev/ttyS1", PORT_MODE_RS232), (call_log{"TIOCMBIS RTS", "238:out", "238=0"}));
    const std::string enotty =
        std::string("ioctl: ") + strerror(ENOTTY) + "\n"; // C library's wording
    EXPECT_EQ(GetCapturedStderr(), enotty + enotty);
    // The update after a failed query starts from zeros, not from what the
    // driver left half-written.
    struct serial_rs485 expected = {};
    expected.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    EXPECT_EQ(memcmp(&hw.rs485_written, &expected, sizeof expected), 0);
}

TEST_F(ModeTest, Helpers)
{
    serial_store_rts("/dev/ttyS1", 0);
    EXPECT_EQ(serial_stored_rts("/dev/ttyS10"), 0); // these compare 10 characters
    EXPECT_EQ(serial_stored_rts("/dev/ttyS0"), 1);
    call_log rs232 = run("/dev/ttyS1", PORT_MODE_RS232);
    serial_store_rts("/dev/ttyS1", 1);
    EXPECT_EQ(rs232, (call_log{"TIOCMBIC RTS", "238:out", "238=0"}));

    hw.log.clear();
    EXPECT_EQ(serial_set_dtr(3, 1), 0);
    EXPECT_EQ(serial_set_qe_rts(-1, "/dev/ttyQE0", 1), 0);
    EXPECT_EQ(serial_set_qe_rts(3, "/dev/ttyQE3", 0), 0);
    EXPECT_EQ(serial_set_qe_rts(3, "/dev/ttyQE1", 0), 0);
    EXPECT_EQ(serial_set_qe_rts(3, "/dev/ttyS1", 0), 0);
    EXPECT_EQ(serial_set_qe_rts(-1, "/dev/ttyS1", 0), -1);
    EXPECT_EQ(hw.calls(),
              (call_log{"TIOCMBIS DTR", "243:out", "243=1", "197:out", "197=0", "TIOCMBIC RTS"}));

    run("/dev/ttyS1", PORT_MODE_RS422);
    EXPECT_EQ(serial_get_mode("/dev/ttyS1"), PORT_MODE_RS485_4W); // RS-422 reads back so
    run("/dev/ttyQE0", PORT_MODE_RS485_2W);
    EXPECT_EQ(serial_get_mode("/dev/ttyQE0"), PORT_MODE_RS485_2W);
    run("/dev/ttyQE0", PORT_MODE_RS232);
    EXPECT_EQ(serial_get_mode("/dev/ttyQE0"), PORT_MODE_RS232);
    EXPECT_EQ(serial_get_mode("/dev/ttyQE1"), 4);
    EXPECT_EQ(serial_get_mode("/dev/ttyS0"), 4);
}

} // namespace
