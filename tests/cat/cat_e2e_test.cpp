// vexlon-cat against the real daemon: a watcher that says it is ready sees
// exactly what a sender pushes, and a sender that nothing answers gives up.
#include "kit.h"

static int exit_code(int status)
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static void start_cat(daemon_proc &p, const std::vector<std::string> &args)
{
    daemon_start_opts opts;
    opts.binary = VEXLON_CAT_BINARY;
    opts.wait_ready = false;
    daemon_start(p, args, opts);
}

TEST(VexlonCat, WatchSeesExactlyWhatSendPushesAndSendReportsNobodyListening)
{
    daemon_proc d, watch, send, lonely;
    daemon_start(d, {});
    // A frozen daemon still completes TCP connections, but no ZeroMQ handshake:
    // the watcher must not claim to be ready before it is thawed.
    kill(d.pid, SIGSTOP);
    start_cat(watch, {"watch", "command", "--count", "2"});
    EXPECT_FALSE(wait_stderr(watch, "watching", 300));
    kill(d.pid, SIGCONT);
    ASSERT_TRUE(wait_stderr(watch, "vexlon-cat: watching command on tcp://127.0.0.1:5552\n", 6000))
        << daemon_stderr(watch);
    start_cat(send, {"send", "command", "a", "b"});
    EXPECT_EQ(exit_code(daemon_wait(send, 6000)), 0) << daemon_stderr(send);
    EXPECT_EQ(exit_code(daemon_wait(watch, 3000)), 0) << daemon_stderr(watch);
    EXPECT_EQ(daemon_stdout(watch), "a\nb\n");

    std::string port = std::to_string(lo_free_port());
    start_cat(lonely, {"send", "response", "--port", port, "--timeout", "300", "x"});
    EXPECT_EQ(exit_code(daemon_wait(lonely, 3000)), 1);
    EXPECT_EQ(daemon_stderr(lonely), "vexlon-cat: tcp://127.0.0.1:" + port +
                                         ": nothing answers (no connection within 300 ms)\n");
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
}
