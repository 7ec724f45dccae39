// vexlon-cat against the real daemon.
#include "kit.h"

TEST(VexlonCat, WatchSeesExactlyWhatSendPushesAndSendReportsNobodyListening)
{
    daemon_proc d, watch, send, lonely;
    daemon_start(d, {});
    daemon_start_opts cat;
    cat.binary = VEXLON_CAT_BINARY;
    cat.wait_ready = false;
    // A frozen daemon still completes TCP connections, but no ZeroMQ handshake:
    // the watcher must not claim to be ready before it is thawed.
    kill(d.pid, SIGSTOP);
    daemon_start(watch, {"watch", "command", "--count", "2"}, cat);
    EXPECT_FALSE(wait_stderr(watch, "watching", 300));
    kill(d.pid, SIGCONT);
    ASSERT_TRUE(wait_stderr(watch, "vexlon-cat: watching command on tcp://127.0.0.1:5552\n", 6000))
        << daemon_stderr(watch);
    daemon_start(send, {"send", "command", "a", "b"}, cat);
    EXPECT_TRUE(exited_cleanly(daemon_wait(send, 6000))) << daemon_stderr(send);
    EXPECT_TRUE(exited_cleanly(daemon_wait(watch, 3000))) << daemon_stderr(watch);
    EXPECT_EQ(daemon_stdout(watch), "a\nb\n");
    std::string port = std::to_string(lo_free_port());
    daemon_start(lonely, {"send", "response", "--port", port, "--timeout", "300", "x"}, cat);
    int status = daemon_wait(lonely, 3000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(daemon_stderr(lonely), "vexlon-cat: tcp://127.0.0.1:" + port +
                                         ": nothing answers (no connection within 300 ms)\n");
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
}
