// The pseudo-terminal endpoint of the real daemon, with this test as the program
// on the slave side.
#include "harness.h"

#include <climits>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The text after `tag` in the banner; the slave (or its link) opened raw, as a
// controller program would.
int open_from_banner(const daemon_proc &d, const std::string &tag, std::string *name)
{
    std::string out = daemon_stdout(d);
    size_t at = out.find("################\n" + tag);
    if (at == std::string::npos) return -1;
    at += 17 + tag.size();
    *name = out.substr(at, out.find('\n', at) - at);
    int fd = open(name->c_str(), O_RDWR | O_NOCTTY);
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// What arrives on the slave within `ms`, without the channel's probe lines.
std::string read_slave(int fd, int ms)
{
    std::string got;
    char buf[4096];
    for (struct pollfd p = {fd, POLLIN, 0}; poll(&p, 1, ms) == 1;) {
        ssize_t r = read(fd, buf, sizeof buf);
        got.append(buf, r > 0 ? static_cast<size_t>(r) : 0);
    }
    for (size_t at; (at = got.find("#probe\n")) != std::string::npos;)
        got.erase(at, 7);
    return got;
}

TEST(Pty, ProgramInRawModeTalksThroughTheLinkAndTheLinkGoesAtShutdown)
{
    std::string link = temp_dir() + "/bus0", name;
    close(open(link.c_str(), O_WRONLY | O_CREAT, 0644)); // replaced by the link
    daemon_proc d;
    daemon_start(d, {"--pty=" + link});
    int fd = open_from_banner(d, "pth: ", &name);
    ASSERT_GE(fd, 0) << daemon_stdout(d);
    EXPECT_EQ(name, link);
    char target[PATH_MAX] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);

    channel_sub cmd(CMD_SUB, CMD_PUSH);
    ASSERT_EQ(write(fd, "status? 7\n", 10), 10);
    std::string m;
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "status? 7\n");
    channel_sub res(RES_SUB, RES_PUSH); // its probes also make the pty bridge's subscription live
    channel_push(RES_PUSH).send("OK 7\r\n\x01\n");
    EXPECT_EQ(read_slave(fd, 500), "OK 7\r\n\x01\n");
    EXPECT_TRUE(cmd.silent()); // raw: nothing echoed back as a command
    close(fd);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(Pty, NobodyOnTheSlaveOrAReaderThatStopsNeitherEchoesNorStalls)
{
    daemon_proc d;
    daemon_start(d, {"--pty"});
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    channel_push res(RES_PUSH);
    // Far more than a pty holds, with nobody to read it: with echo on it would come
    // back into the command channel, and a later program would get it stale.
    std::string line(60, 'r');
    for (int i = 0; i < 1500; i++)
        res.send(line + "\n");
    EXPECT_TRUE(cmd.silent(500));
    std::string name;
    int fd = open_from_banner(d, "pty: ", &name);
    ASSERT_EQ(name.rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(read_slave(fd, 300), "");

    // A program that stops reading: once the pty is full the bridge drops what does
    // not fit, and still serves the program's commands.
    for (int i = 0; i < 3000; i++)
        res.send(line + "\n");
    EXPECT_TRUE(wait_stderr(d, "inout_thread: pty not read, dropping messages\n"));
    for (int i = 0; i < 1500; i++)
        res.send(line + "\n");
    ASSERT_EQ(write(fd, "still here\n", 11), 11);
    std::string m;
    ASSERT_TRUE(cmd.recv(m));
    EXPECT_EQ(m, "still here\n");
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
    EXPECT_EQ(daemon_stderr(d).find("pollerr"), std::string::npos);
    close(fd);
}

} // namespace
