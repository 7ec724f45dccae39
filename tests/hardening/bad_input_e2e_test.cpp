// Bad input to the running daemon: junk on the console port, overlong paths and
// serial arguments, options without their argument on the command line and in
// the configuration file. Each gets its message and the daemon serves on.
#include "../net/loopback.h"
#include "emulation.h"
#include "harness.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const int CONSOLE = 5550;

// The daemon still answers a fresh console client, then stops cleanly.
void expect_serving_then_clean_exit(daemon_proc &d)
{
    int fd = lo_connect(CONSOLE);
    std::string got;
    EXPECT_TRUE(lo_send(fd, "show bus mode\n"));
    EXPECT_TRUE(read_until(fd, got, "  Bus mode is ctrl\n"));
    close(fd);
    int status = daemon_stop(d);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(BadInputE2e, ConsoleTakesOversizeBinaryAndNulChunks)
{
    std::string bytes;
    for (int i = 0; i < 256; i++)
        bytes += static_cast<char>(i);
    const std::string cases[] = {
        std::string(16384, 'A') + "\n",     // 80 reads' worth in one line
        bytes + bytes,                      // every byte value, newlines included
        std::string(300, '\0'),             // nothing but NULs
        std::string("help\nx\0quit\n", 12), // the NUL ends the command text
        "\r\n\x1b[A\x7f\x03\x04\nhelp",     // terminal keys, an unterminated command
    };
    daemon_proc d;
    daemon_start(d, {"--ctrl"});
    for (const std::string &junk : cases) {
        int fd = lo_connect(CONSOLE);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(lo_send(fd, junk));
        shutdown(fd, SHUT_WR);
        std::string got;
        // Replies are text: a NUL read never comes back in an echo.
        EXPECT_FALSE(read_until(fd, got, std::string(1, '\0'), 5000));
        EXPECT_TRUE(lo_wait_eof(fd, 500)); // the client's end ends the session
        close(fd);
    }
    expect_serving_then_clean_exit(d);
}

TEST(BadInputE2e, OverlongAndMissingArgumentsAreReportedAndSkipped)
{
    const std::string path = "/tmp/" + std::string(300, 'p');
    std::string dir = temp_dir();
    std::ofstream(dir + "/bad.conf") << "serial\nstdin =\n"
                                     << "serial = /dev/ttyS0:" << std::string(1 << 20, '9') << "\n";
    struct {
        std::vector<std::string> args;
        std::vector<std::string> err, out; // texts each stream must hold
    } cases[] = {
        {{"--serial", "/dev/tty" + std::string(300, 'S'), "-c", path, "--pty=" + path, "--input",
          path, "-o", path, "--tcpclient"},
         {"Serial argument longer than 51 characters: /dev/ttySSS",
          "Unable to open/run configuration\n",
          vx_libc_text("option '--tcpclient' requires an argument",
                       "option requires an argument: tcpclient")},
         {"pth: " + path + "\n"}},
        {{"--serial", "/dev/ttyS0:" + std::string(300, '1'), "-c"},
         {"Serial argument longer than 51 characters",
          vx_libc_text("option requires an argument -- 'c'", "option requires an argument: c")},
         {}},
        {{"-c", dir + "/bad.conf"},
         {"1: Error: Unable to parse line\n2: Error: Unable to parse line\n",
          "Serial argument longer than 51 characters: /dev/ttyS0:999"},
         {}},
    };
    for (auto &c : cases) {
        c.args.insert(c.args.begin(), "--ctrl");
        daemon_proc d;
        daemon_start(d, c.args);
        for (const std::string &text : c.err)
            EXPECT_TRUE(wait_stderr(d, text)) << text << "\n" << daemon_stderr(d);
        for (const std::string &text : c.out)
            EXPECT_TRUE(wait_stdout(d, text)) << text;
        expect_serving_then_clean_exit(d);
    }
    (void)!system(("rm -rf " + dir).c_str());
}

} // namespace
