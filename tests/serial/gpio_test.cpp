// GPIO through sysfs on a temporary directory laid out like /sys/class/gpio:
// what is written, what is left alone, and the message of each failure.
#include "serial/gpio.h"
#include "serial_fakes.h"

#include <gtest/gtest.h>
#include <unistd.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

TEST(Gpio, DirectionIsWrittenOnlyWhenItChangesAndValuesReadBack)
{
    fake_sysfs sysfs;
    sysfs.add_line(238, "out\n");
    sysfs.add_line(237, "in\n");
    CaptureStdout();
    EXPECT_EQ(gpio_set_output(238, 1), 0);
    EXPECT_EQ(gpio_set_output(237, 5), 0);
    EXPECT_EQ(gpio_get_input(238), 1);
    EXPECT_EQ(gpio_set_direction(238, 0), 0); // an input already
    EXPECT_EQ(GetCapturedStdout(), "");
    call_log log;
    sysfs.drain(log);
    EXPECT_EQ(log, (call_log{"238=1", "237:out", "237=1", "238:in"}));
    EXPECT_EQ(sysfs.read("gpio237/value"), "1\n"); // one byte written over "0\n"
    for (auto c : {std::make_pair("0\n", 0), {"", -1}, {"x", 1}}) {
        sysfs.write("gpio237/value", c.first);
        EXPECT_EQ(gpio_read_value(237), c.second) << '"' << c.first << '"';
    }
}

TEST(Gpio, MissingLinesFilesAndSysfsAreReported)
{
    fake_sysfs sysfs; // the export creates nothing here
    sysfs.add_line(238, "", "");
    sysfs.add_line(5);
    unlink((sysfs.root + "/gpio5/value").c_str());
    CaptureStdout();
    EXPECT_EQ(gpio_set_output(237, 1), -1);
    EXPECT_EQ(sysfs.read("export"), "237"); // the bare number, then the direction again
    // An empty direction is left alone and the value still written.
    EXPECT_EQ(gpio_set_output(238, 1), 0);
    EXPECT_EQ(sysfs.read("gpio238/direction") + sysfs.read("gpio238/value"), "1");
    EXPECT_EQ(gpio_set_output(5, 1), -1);
    EXPECT_EQ(gpio_get_input(5), -1);
    gpio_set_root("/nonexistent/gpio");
    EXPECT_EQ(gpio_get_input(237), -1);
    EXPECT_EQ(gpio_read(237), -1);
    EXPECT_EQ(GetCapturedStdout(), "Unable to set direction.\nUnable to get direction.\n"
                                   "Unable to set gpio5.\nUnable to set gpio5.\n"
                                   "Unable to export gpio237\nUnable to set direction.\n");
}

} // namespace
