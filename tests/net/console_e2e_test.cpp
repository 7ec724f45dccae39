// The command console of the real daemon over TCP: replies, links, save, many
// clients, quit, and clients that vanish.
#include "harness.h"
#include "loopback.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const int CONSOLE = 5550;

// Sends `commands` on a new console connection and reads until `want` arrives.
std::string ask(const std::string &commands, const std::string &want)
{
    int fd = lo_connect(CONSOLE);
    std::string got;
    EXPECT_TRUE(lo_send(fd, commands));
    lo_read_until(fd, got, want);
    close(fd);
    return got;
}

void expect_clean_exit(daemon_proc &d)
{
    int status = daemon_stop(d);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ConsoleE2e, ListShowsBothLinksInOrderWithTheirPortsAsGiven)
{
    int port = 0;
    int lfd = lo_listen(&port);
    // Above 65535: the link reaches the low 16 bits and keeps the number.
    std::string up = "127.0.0.1:" + std::to_string(port + 65536);
    std::string down = "127.0.0.1:" + std::to_string(lo_free_port());
    daemon_proc d;
    daemon_start(d, {"--ctrl", "--tcpclient", up, "--tcpclient", down});
    int peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    std::string want =
        "  " + up + " connected\\\n  " + down + " connecting...\n  Bus mode is ctrl\n";
    std::string got;
    for (int i = 0; i < 30 && got != want; i++, usleep(50000))
        got = ask("list\nshow bus mode\n", "ctrl\n");
    EXPECT_EQ(got, want);
    close(peer);
    close(lfd);
    expect_clean_exit(d);
}

TEST(ConsoleE2e, SaveWritesTheLinkFileIntoConf)
{
    // The daemon writes a fixed path: run only where /conf can be made, and leave
    // it as it was found.
    const std::string file = "/conf/vexlond_tcpclient";
    struct stat st;
    bool made_dir = stat("/conf", &st) != 0 && mkdir("/conf", 0755) == 0;
    if (stat("/conf", &st) != 0) GTEST_SKIP() << "/conf cannot be created";
    bool had_file = access(file.c_str(), F_OK) == 0;
    std::string saved = read_file(file);
    daemon_proc d;
    daemon_start(d, {"--tcpclient", "300.1.1.1", "--tcpclient", "127.0.0.1:70000"});
    int fd = lo_connect(CONSOLE);
    lo_send(fd, "save\nexit\n");
    EXPECT_TRUE(lo_wait_eof(fd));
    close(fd);
    std::string written = read_file(file);
    if (had_file) {
        FILE *f = fopen(file.c_str(), "w");
        fputs(saved.c_str(), f);
        fclose(f);
    } else {
        unlink(file.c_str());
    }
    if (made_dir) rmdir("/conf");
    EXPECT_EQ(written, "tcpclient = 300.1.1.1:5010\ntcpclient = 127.0.0.1:70000\n");
    expect_clean_exit(d);
}

TEST(ConsoleE2e, ManyClientsAtOnceAreEachAnswered)
{
    daemon_proc d;
    daemon_start(d, {});
    std::vector<int> fds(30);
    for (int &fd : fds)
        fd = lo_connect(CONSOLE);
    for (int fd : fds)
        lo_send(fd, "list\n");
    for (int fd : fds) {
        std::string got;
        lo_read_until(fd, got, "\n");
        EXPECT_EQ(got, "  No tcp connections\n");
        close(fd);
    }
    EXPECT_TRUE(
        wait_until([&] { return count_of(daemon_stdout(d), "Command thread exited.\n") == 30; }));
    expect_clean_exit(d);
}

TEST(ConsoleE2e, QuitThenListInOneChunkAnswersTheListAndStopsTheDaemon)
{
    daemon_proc d;
    daemon_start(d, {});
    int fd = lo_connect(CONSOLE);
    lo_send(fd, "quit\nlist\n");
    std::string got;
    lo_read_until(fd, got, "\n");
    EXPECT_EQ(got, "  No tcp connections\n");
    EXPECT_TRUE(lo_wait_eof(fd));
    close(fd);
    int status = daemon_wait(d, 4000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ConsoleE2e, AClientVanishingMidReplyLeavesTheDaemonRunning)
{
    daemon_proc d;
    daemon_start(d, {});
    int fd = lo_connect(CONSOLE, 1024);
    // Help requests, never read back, until the daemon stops taking them: it is
    // then blocked in the middle of a chunk's replies when the connection is
    // reset under it, with more replies to send.
    std::string chunk;
    for (int i = 0; i < 40; i++)
        chunk += "help\n";
    int refused = 0;
    for (long end = lo_now_ms() + 10000; refused < 3 && lo_now_ms() < end;) {
        bool taken = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0;
        refused = taken ? 0 : refused + 1;
        if (!taken) usleep(100000);
    }
    EXPECT_EQ(refused, 3);
    lo_reset(fd);
    EXPECT_TRUE(wait_stdout(d, "Command thread exited.\n"));
    EXPECT_EQ(ask("show bus mode\n", "\n"), "  Bus mode is card\n");
    expect_clean_exit(d);
}

} // namespace
