// Start-up, option errors and shutdown of the real daemon.
#include "harness.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

// Shutdown takes the run loop's wake-up plus the fixed one-second pause for
// connection threads; "about 2 s" leaves room for a loaded machine.
const long SHUTDOWN_BOUND_MS = 3000;

TEST(Startup, PlainStartServesTheConsoleAndStopsOnSigint)
{
    daemon_proc d;
    daemon_start(d, {});
    EXPECT_EQ(daemon_stdout(d), "Accepting commands on port 5550\n");
    long elapsed = 0;
    int status = daemon_stop(d, SIGINT, 5000, &elapsed);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(elapsed, SHUTDOWN_BOUND_MS);
    EXPECT_EQ(daemon_stdout(d), "Accepting commands on port 5550\nExiting program...\n");
}

TEST(Startup, SigtermStopsLikeSigint)
{
    daemon_proc d;
    daemon_start(d, {"--stdin", "command", "--stdout", "response", "-i", "/nonexistent"});
    long elapsed = 0;
    int status = daemon_stop(d, SIGTERM, 5000, &elapsed);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(elapsed, SHUTDOWN_BOUND_MS);
}

TEST(Startup, HelpWinsOverAnInvalidOption)
{
    std::string out, err;
    EXPECT_EQ(daemon_run_to_exit({"--stdin", "nonsense", "-h"}, &out, &err), 1);
    EXPECT_EQ(err.rfind("Usage:\n  ", 0), 0u);
    EXPECT_NE(out.find("Serial arguments:"), std::string::npos);
    EXPECT_EQ(out.find("Accepting"), std::string::npos);
}

TEST(Startup, OptionErrorsEndWithStatusOne)
{
    std::string out;
    EXPECT_EQ(daemon_run_to_exit({"--stdout", "both"}, &out, nullptr), 1);
    EXPECT_EQ(out, "Error: stdout arg \"both\" not supported\n");
    EXPECT_EQ(daemon_run_to_exit({"--tcpclient", "myhost:6000"}, &out, nullptr), 1);
    EXPECT_EQ(out, "Error: Couldn't read ip and port.\n");
}

TEST(Startup, UnknownOptionIsReportedInEachPassAndSkipped)
{
    daemon_proc d;
    daemon_start(d, {"--bogus", "-v", "-v"});
    std::string out = daemon_stdout(d);
    EXPECT_NE(out.find("Configuration file: \nPorts: 5551 5552 5553 5554\n"), std::string::npos);
    std::string err = daemon_stderr(d);
    size_t count = 0;
    for (size_t pos = 0; (pos = err.find("unrecognized option", pos)) != std::string::npos; pos++)
        count++;
    EXPECT_EQ(count, 3u) << err;
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

} // namespace
