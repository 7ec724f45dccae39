// Child processes on a pty: command splitting, the stream modes, and stopping
// children that ignore signals. (The signals a program starts with are checked
// end to end, with the daemon's executable configuration.)
#include "kit.h"
#include "proc/pty_child.h"

namespace {

using output = std::pair<std::string, int>; // what the master yielded, exit status

output run_on_pty(const std::string &command, const char *mode, const std::string &input = "")
{
    pty_child c;
    pty_spawn(&c, command.c_str(), mode);
    if (c.master < 0 || c.pid < 0) return {"not started", -1};
    (void)!write(c.master, input.data(), input.size());
    std::string out = read_text(c.master, "", 5000); // to the end of the program's output
    close(c.master);
    int st = 0;
    waitpid(c.pid, &st, 0);
    return {out, WIFEXITED(st) ? WEXITSTATUS(st) : -1};
}

TEST(PtySpawn, SplitsTheCommandLineAndFollowsTheModeLetters)
{
    // 'a' (raw): the output comes back without CR LF translation.
    EXPECT_EQ(run_on_pty("/usr/bin/printf [%s] a  b ", "aw").first, "[a][][b][]");
    std::string many = "/usr/bin/printf %s";
    for (size_t i = 0; i < 2 * RUN_MAX_WORDS; i++) many += " x";
    EXPECT_EQ(run_on_pty(many, "aw").first, std::string(2 * RUN_MAX_WORDS, 'x'));
    EXPECT_EQ(run_on_pty("printf x", "awe"), output("execv: No such file or directory\n", 1));

    EXPECT_EQ(run_on_pty("/bin/echo hi", "w").first, "hi\r\n");
    EXPECT_EQ(run_on_pty("/bin/ls /nonexistent-vx", "w").first, ""); // stderr on /dev/null
    EXPECT_NE(run_on_pty("/bin/ls /nonexistent-vx", "e").first.find("nonexistent-vx"),
              std::string::npos);
    EXPECT_EQ(run_on_pty("/bin/cat", "w"), output("", 0)); // stdin on /dev/null: EOF at once
    // Raw: bytes written to the master reach the program unchanged and unechoed.
    EXPECT_EQ(run_on_pty("/usr/bin/head -c 4", "arw", "a\rb\n").first, "a\rb\n");
    EXPECT_NE(run_on_pty("/usr/bin/head -c 4", "rw", "a\rb\n").first, "a\rb\n");
}

TEST(Stop, TerminateEscalatesPastIgnoredSignals)
{
    pty_child c;
    pty_spawn(&c, "/usr/bin/perl -e $SIG{TERM}=$SIG{INT}='IGNORE';$|=1;print('x');sleep", "w");
    ASSERT_EQ(read_text(c.master, "x"), "x"); // the child ignores both now
    pid_t pid = c.pid;
    std::string s = std::to_string(pid);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(terminate_process(pid), 1);
    EXPECT_EQ(kill_wait(getpid(), 12345), -1); // fails without signalling anybody
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: Couldn't terminate " + s + " without SIGKILL\nkill: Invalid argument\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: Unable to kill " + s + " with sig 15\nWarning: Unable to kill " + s +
                  " with sig 2\nPid " + s + " terminated with sig 9\n");
    close(c.master);
}

TEST(WriteAll, WritesWholeTextsCutsLongFormatsAndReportsFailure)
{
    FILE *tmp = tmpfile();
    EXPECT_EQ(fd_printf(fileno(tmp), "%s=%d\n", "port", 5010), 0);
    EXPECT_EQ(fd_printf(fileno(tmp), "%s", std::string(FD_PRINTF_SIZE, 'y').c_str()), 0);
    std::string back(2 * FD_PRINTF_SIZE, '\0');
    back.resize(static_cast<size_t>(pread(fileno(tmp), &back[0], back.size(), 0)));
    EXPECT_EQ(back, "port=5010\n" + std::string(FD_PRINTF_SIZE - 1, 'y'));
    fclose(tmp);
    EXPECT_EQ(write_all(-1, "x", 0), -1);
}

} // namespace
