// GPIO through sysfs, on a temporary directory laid out like /sys/class/gpio:
// what is written where, what is left alone, and the messages of each failure.
#include "serial/gpio.h"
#include "serial_fakes.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace
{

// Plays the kernel's part in an export. The export file becomes a FIFO that is
// already full, so the export write waits until gpioN has been created, just
// as the kernel creates it before that write returns.
struct export_responder {
    std::string root;
    int gpio;
    int read_fd = -1;
    int notify_fd = -1;
    size_t filler = 0;   // bytes put in the FIFO beforehand
    std::string written; // what the export wrote
    std::thread thread;

    export_responder(const std::string &root_dir, int line) : root(root_dir), gpio(line)
    {
        std::string path = root + "/export";
        unlink(path.c_str());
        if (mkfifo(path.c_str(), 0600) != 0) return;
        read_fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int write_fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        fcntl(write_fd, F_SETPIPE_SZ, 4096);
        char junk[4096] = {};
        ssize_t w;
        while ((w = write(write_fd, junk, sizeof junk)) > 0)
            filler += static_cast<size_t>(w);
        while ((w = write(write_fd, junk, 1)) > 0)
            filler += static_cast<size_t>(w);
        close(write_fd);
        notify_fd = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(notify_fd, path.c_str(), IN_OPEN);
        thread = std::thread([this] { respond(); });
    }

    ~export_responder()
    {
        if (thread.joinable()) thread.join();
        if (read_fd >= 0) close(read_fd);
        if (notify_fd >= 0) close(notify_fd);
    }

    void respond()
    {
        struct pollfd opened = {notify_fd, POLLIN, 0};
        if (poll(&opened, 1, 5000) <= 0) return; // never exported: the test fails
        std::string dir = root + "/gpio" + std::to_string(gpio);
        mkdir(dir.c_str(), 0755);
        for (const char *f : {"/direction", "/value"}) {
            int fd = open((dir + f).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            (void)!write(fd, f[1] == 'd' ? "in\n" : "0\n", f[1] == 'd' ? 3 : 2);
            close(fd);
        }
        // Empty the FIFO: the export's bytes follow the filler, then its close
        // ends the stream.
        std::string all;
        char buf[4096];
        struct pollfd readable = {read_fd, POLLIN, 0};
        while (poll(&readable, 1, 5000) > 0) {
            ssize_t n = read(read_fd, buf, sizeof buf);
            if (n < 0 && errno == EAGAIN) continue;
            if (n <= 0) break;
            all.append(buf, static_cast<size_t>(n));
        }
        if (all.size() >= filler) written = all.substr(filler);
    }
};

TEST(Gpio, UnexportedLineIsExportedThenMadeAnOutputAndSet)
{
    fake_sysfs sysfs;
    int rc;
    {
        export_responder kernel(sysfs.root, 238);
        CaptureStdout();
        rc = gpio_set_output(238, 1);
        EXPECT_EQ(GetCapturedStdout(), "");
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sysfs.read("gpio238/direction").substr(0, 3), "out");
    EXPECT_EQ(sysfs.read("gpio238/value").substr(0, 1), "1");
}

TEST(Gpio, ExportWritesTheBareNumber)
{
    fake_sysfs sysfs;
    export_responder kernel(sysfs.root, 194);
    EXPECT_EQ(gpio_set_output(194, 0), 0);
    kernel.thread.join();
    EXPECT_EQ(kernel.written, "194");
}

TEST(Gpio, ExportThatCreatesNoLineFailsAfterOneRetry)
{
    fake_sysfs sysfs;
    CaptureStdout();
    EXPECT_EQ(gpio_set_output(238, 1), -1);
    EXPECT_EQ(GetCapturedStdout(), "Unable to set direction.\n");
    EXPECT_EQ(sysfs.read("export"), "238");
}

TEST(Gpio, WithoutGpioSysfsExportAndDirectionBothFail)
{
    gpio_set_root("/nonexistent/vexlond-gpio");
    CaptureStdout();
    EXPECT_EQ(gpio_set_output(238, 1), -1);
    EXPECT_EQ(gpio_get_input(237), -1);
    EXPECT_EQ(GetCapturedStdout(), "Unable to export gpio238\nUnable to set direction.\n"
                                   "Unable to export gpio237\nUnable to set direction.\n");
    EXPECT_EQ(gpio_export(12), -1);
    EXPECT_EQ(gpio_set_direction(12, 1), -1);
    gpio_set_root(nullptr);
}

TEST(Gpio, DirectionIsWrittenOnlyWhenItChanges)
{
    fake_sysfs sysfs;
    sysfs.add_line(238, "out\n", "0\n");
    sysfs.add_line(237, "in\n", "0\n");
    std::vector<std::string> log;
    EXPECT_EQ(gpio_set_output(238, 1), 0);
    EXPECT_EQ(gpio_set_output(237, 0), 0);
    EXPECT_EQ(gpio_set_direction(237, 1), 0); // already an output now
    EXPECT_EQ(gpio_set_direction(238, 0), 0);
    EXPECT_EQ(gpio_set_direction(238, 0), 0); // already an input now
    sysfs.drain(log);
    EXPECT_EQ(log, (std::vector<std::string>{"238=1", "237:out", "237=0", "238:in"}));
}

TEST(Gpio, EmptyDirectionIsLeftAloneAndTheValueStillWritten)
{
    fake_sysfs sysfs;
    sysfs.add_line(238, "", "");
    CaptureStdout();
    EXPECT_EQ(gpio_set_output(238, 1), 0);
    EXPECT_EQ(GetCapturedStdout(), "Unable to get direction.\n");
    EXPECT_EQ(sysfs.read("gpio238/direction"), "");
    EXPECT_EQ(sysfs.read("gpio238/value"), "1");
}

TEST(Gpio, MissingValueFileFailsTheSet)
{
    fake_sysfs sysfs;
    sysfs.add_line(238);
    unlink((sysfs.root + "/gpio238/value").c_str());
    CaptureStdout();
    EXPECT_EQ(gpio_set_output(238, 1), -1);
    EXPECT_EQ(gpio_get_input(238), -1);
    EXPECT_EQ(GetCapturedStdout(), "Unable to set gpio238.\nUnable to set gpio238.\n");
    EXPECT_EQ(gpio_write_value(238, 1), -1);
}

TEST(Gpio, ValueIsOneByte)
{
    fake_sysfs sysfs;
    sysfs.add_line(7, "out\n", "");
    EXPECT_EQ(gpio_write_value(7, 5), 0);
    EXPECT_EQ(sysfs.read("gpio7/value"), "1");
    EXPECT_EQ(gpio_write_value(7, 0), 0);
    EXPECT_EQ(sysfs.read("gpio7/value"), "0");
    EXPECT_EQ(gpio_write_value(7, -1), 0);
    EXPECT_EQ(sysfs.read("gpio7/value"), "1");
}

TEST(Gpio, ReadValueTakesTheFirstByte)
{
    fake_sysfs sysfs;
    sysfs.add_line(5);
    const struct {
        const char *content;
        int expected;
    } cases[] = {{"1\n", 1}, {"0\n", 0}, {"", -1}, {"x", 1}, {"01", 0}};
    for (const auto &c : cases) {
        sysfs.write("gpio5/value", c.content);
        EXPECT_EQ(gpio_read_value(5), c.expected) << '"' << c.content << '"';
        EXPECT_EQ(gpio_read(5), c.expected) << '"' << c.content << '"';
    }
    EXPECT_EQ(gpio_read_value(6), -1); // not exported
}

TEST(Gpio, GetInputTurnsAnOutputIntoAnInputAndReadsIt)
{
    fake_sysfs sysfs;
    sysfs.add_line(212, "out\n", "1\n");
    std::vector<std::string> log;
    EXPECT_EQ(gpio_get_input(212), 1);
    sysfs.drain(log);
    EXPECT_EQ(log, (std::vector<std::string>{"212:in"}));
    EXPECT_EQ(sysfs.read("gpio212/value"), "1\n"); // read, never written
}

} // namespace
