// vexlon-cat against the real daemon: a watcher that says it is ready sees
// exactly what a sender pushes, and a sender that nothing answers gives up.
#include "../net/loopback.h"
#include "harness.h"

#include <cstdlib>
#include <sys/stat.h>

namespace {

int exit_code(int status)
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VexlonCat, WatchSeesExactlyWhatSendPushesAndSendReportsNobodyListening)
{
    std::string top = temp_dir();
    struct removed {
        std::string dir;
        ~removed() { (void)!system(("rm -rf '" + dir + "'").c_str()); }
    } cleanup{top};
    // Each process writes its stdout.txt and stderr.txt in a directory of its own.
    auto start = [&](daemon_proc &p, const std::string &name, std::vector<std::string> args) {
        daemon_start_opts opts;
        opts.dir = top + "/" + name;
        mkdir(opts.dir.c_str(), 0755);
        if (name != "daemon") opts.program = VEXLON_CAT_BINARY;
        daemon_start(p, args, opts);
    };
    daemon_proc d, watch, send, lonely;
    start(d, "daemon", {});
    // A frozen daemon still completes TCP connections, but no ZeroMQ handshake:
    // the watcher must not claim to be ready before it is thawed.
    kill(d.pid, SIGSTOP);
    start(watch, "watch", {"watch", "command", "--count", "2"});
    EXPECT_FALSE(wait_stderr(watch, "watching", 300));
    kill(d.pid, SIGCONT);
    ASSERT_TRUE(wait_stderr(watch, "vexlon-cat: watching command on tcp://127.0.0.1:5552\n", 6000))
        << daemon_stderr(watch);
    start(send, "send", {"send", "command", "a", "b"});
    EXPECT_EQ(exit_code(daemon_wait(send, 6000)), 0) << daemon_stderr(send);
    EXPECT_EQ(exit_code(daemon_wait(watch, 3000)), 0) << daemon_stderr(watch);
    EXPECT_EQ(daemon_stdout(watch), "a\nb\n");

    std::string port = std::to_string(lo_free_port());
    start(lonely, "lonely", {"send", "response", "--port", port, "--timeout", "300", "x"});
    EXPECT_EQ(exit_code(daemon_wait(lonely, 3000)), 1);
    EXPECT_EQ(daemon_stderr(lonely), "vexlon-cat: tcp://127.0.0.1:" + port +
                                         ": nothing answers (no connection within 300 ms)\n");
    EXPECT_EQ(exit_code(daemon_stop(d)), 0);
}

} // namespace
