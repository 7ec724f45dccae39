// The pseudo-terminal endpoint, with this test as the program on the slave side.
#include "kit.h"

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>

TEST(Pty, ProgramOnTheLinkTalksRawAndNeitherNobodyNorAStoppedReaderStallsIt)
{
    std::string link = temp_dir() + "/bus0";
    close(open(link.c_str(), O_WRONLY | O_CREAT, 0644)); // replaced by the link
    daemon_proc d;
    daemon_start(d, {"--pty=" + link});
    EXPECT_NE(daemon_stdout(d).find("################\npth: " + link + "\n################\n"),
              std::string::npos);
    char target[PATH_MAX] = {0};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);
    // Far more than a pty holds, with nobody on the slave: with echo on it would
    // come back as commands, and the program that opens the slave later would
    // get it stale.
    channel_sub cmd(CMD_SUB, CMD_PUSH);
    channel_push res(RES_PUSH);
    const std::string line = std::string(60, 'r') + "\n";
    for (int i = 0; i < 1500; i++) res.send(line);
    EXPECT_TRUE(cmd.silent(500));
    int fd = open_raw(link); // as a controller program does
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read_text(fd, "", 300), "");
    ASSERT_EQ(write(fd, "status? 7\n", 10), 10);
    EXPECT_EQ(cmd.next(), "status? 7\n");
    res.send("OK 7\r\n\x01\n");
    EXPECT_EQ(read_text(fd, "OK 7\r\n\x01\n"), "OK 7\r\n\x01\n");
    EXPECT_TRUE(cmd.silent()); // raw: nothing echoed back as a command
    // The program stops reading: once the pty is full the bridge drops what does
    // not fit, and still serves the program's commands.
    for (int i = 0; i < 3000; i++) res.send(line);
    EXPECT_TRUE(wait_stderr(d, "inout_thread: pty not read, dropping messages\n"));
    for (int i = 0; i < 1500; i++) res.send(line);
    ASSERT_EQ(write(fd, "still here\n", 11), 11);
    EXPECT_EQ(cmd.next(), "still here\n");
    close(fd);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
    EXPECT_EQ(daemon_stderr(d).find("pollerr"), std::string::npos);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}
