// Start-up, option errors, an executable configuration and shutdown of the real
// daemon.
#include "kit.h"

#include <fstream>
#include <regex>
#include <sys/stat.h>

namespace
{

TEST(Startup, HelpComesFirstAndOptionErrorsEndWithStatusOne)
{
    std::string out, err;
    EXPECT_EQ(daemon_run_to_exit({"--stdin", "nonsense", "-h"}, &out, &err), 1);
    EXPECT_EQ(err.rfind("Usage:\n  ", 0), 0u);
    EXPECT_NE(err.find(" [options]\nOptions:\n  -h\n  --help      Print this message.\n"),
              std::string::npos);
    // The options added to the daemon follow the last line of the usage.
    const std::string last = "Default: 5554\n  --pty[=<dev link>]  Create a pseudoterminal.\n"
                             "  --version   Print the version and exit.\n";
    EXPECT_NE(err.find(last), std::string::npos);
    EXPECT_EQ(out.rfind("Serial arguments:\n  --serial <device>:<baudrate>[:<mode>[:format]]\n"
                        "    Example1: --serial /dev/ttyS0:115200\n",
                        0),
              0u);
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
    EXPECT_EQ(daemon_run_to_exit({"--stdout", "both"}, &out, nullptr), 1);
    EXPECT_EQ(out, "Error: stdout arg \"both\" not supported\n");
}

TEST(Startup, WhatFailsOrIsUnknownIsSkippedAndSigintStopsInTime)
{
    daemon_proc d;
    daemon_start(d, {"--bogus", "--serial", "/dev/null:9600", "--pty"});
    // Unknown options are reported in each of the three passes.
    EXPECT_EQ(count_of(daemon_stderr(d), "unrecognized option"), 3u) << daemon_stderr(d);
    EXPECT_NE(daemon_stderr(d).find("Unknown device type.\n"), std::string::npos);
    long elapsed = 0;
    int status = daemon_stop(d, SIGINT, 5000, &elapsed);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The run loop's wake-up and the fixed one-second pause for connection threads.
    EXPECT_LT(elapsed, 3000);
    // No serial endpoint; the pty banner names the slave itself without a link.
    // (The pty bridge may report its first read, with nobody on the slave, or not.)
    std::string out = std::regex_replace(daemon_stdout(d), std::regex("i=0 .* length=-1\n"), "");
    EXPECT_TRUE(std::regex_match(out, std::regex("################\npty: /dev/pts/[0-9]+\n"
                                                 "################\nAccepting commands on port "
                                                 "5550\nExiting program...\n")))
        << daemon_stdout(d);
}

TEST(Startup, ExecutableConfigurationAppliesBeforeTheCommandLine)
{
    std::string dir = temp_dir(), path = dir + "/vexlond.pl";
    // The script records the signals blocked in each of its two runs: the second
    // one happens while the daemon blocks SIGINT and SIGTERM, which it must not
    // inherit. (Perl, because a shell clears its mask itself.) help and config
    // in the file change nothing; the command line has the last word.
    std::ofstream(path) << "#!/usr/bin/perl\nopen(S, '/proc/self/status');\nopen(R, '>>" + dir +
                               "/runs');\nprint R grep(/^SigBlk/, <S>);\n"
                               "print \"# ports\\n[channels]\\npublish_command_port = 6002\\n"
                               "pull_command_port = 6004\\nhelp\\nconfig = /elsewhere\\n\";\n";
    chmod(path.c_str(), 0755);
    daemon_proc d;
    daemon_start(d, {"-c", path, "-v", "-v", "--pull_command_port", "5554"});
    EXPECT_NE(
        daemon_stdout(d).find("Configuration file: " + path + "\nPorts: 5551 6002 5553 5554\n"),
        std::string::npos)
        << daemon_stdout(d);
    channel_sub cmd("tcp://127.0.0.1:6002", "tcp://127.0.0.1:5554");
    channel_push("tcp://127.0.0.1:5554").send("moved\n");
    EXPECT_EQ(cmd.next(), "moved\n");
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
    EXPECT_EQ(daemon_stderr(d), "");
    EXPECT_EQ(read_file(dir + "/runs"), "SigBlk:\t0000000000000000\nSigBlk:\t0000000000000000\n");
}

} // namespace
