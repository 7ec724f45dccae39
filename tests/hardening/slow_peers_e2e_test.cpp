// Peers that stop reading and peers that go silent: neither holds its bridge,
// another endpoint or shutdown, and a link to a silent peer is given up and made
// again in bounded time.
#include "kit.h"
#include "rig.h"

#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

TEST(SlowPeers, ReadersThatStopHoldNeitherTheirBridgeNorOthersNorShutdown)
{
    rig r;
    rig_start(r);
    ASSERT_EQ(rig_failures(r, "at start"), "");
    // The console client asks for help through a small window and never reads.
    int console = lo_connect(5550, 1024);
    std::string help;
    for (int i = 0; i < 40; i++)
        help += "help\n";
    for (int i = 0; i < 100; i++)
        send(console, help.data(), help.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    // Both channels flood, far past what the socket buffers of the server peer and
    // the link peer, the pty and the bus hold, and none of them reads.
    channel_push res(RES_PUSH), cmd(CMD_PUSH);
    std::string block(4000, 's');
    block += "\n";
    for (int i = 0; i < 4000; i++) {
        res.send(block);
        cmd.send(block);
    }
    // Each stalled endpoint still takes what its peer sends, a new server peer
    // gets the responses, a new console client its answers.
    EXPECT_EQ(rig_failures(r, "while stalled", true, false), "");
    int fresh = lo_connect(r.server_port);
    std::string got;
    for (int i = 0; i < 40 && !drain_until(fresh, got, "for the new peer\n", 50); i++)
        res.send("for the new peer\n");
    EXPECT_NE(got.find("for the new peer\n"), std::string::npos);
    EXPECT_TRUE(wait_stderr(r.d, "inout_thread: output not read, dropping messages\n"));
    EXPECT_TRUE(wait_stderr(r.d, "inout_thread: pty not read, dropping messages\n"));

    long elapsed = 0;
    int status = daemon_stop(r.d, SIGINT, 5000, &elapsed);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(elapsed, 2500);
    close(console);
    close(fresh);
}

TEST(SlowPeers, ALinkWhosePeerVanishesWithoutClosingIsMadeAgainWithinSeconds)
{
    int port = 0;
    int lfd = lo_listen(&port);
    daemon_proc d;
    daemon_start(d, {"--tcpclient", "127.0.0.1:" + std::to_string(port)});
    int peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(wait_stdout(d, "success\n"));
    // Repair mode lets a socket close without a FIN or a reset: the idle link
    // hears nothing, as from a peer whose power went. Only its keepalive probe,
    // answered by a reset, can tell.
    int one = 1;
    if (setsockopt(peer, IPPROTO_TCP, TCP_REPAIR, &one, sizeof one) != 0)
        GTEST_SKIP() << "closing without a FIN needs CAP_NET_ADMIN";
    close(peer);
    long start = now_ms();
    peer = lo_accept(lfd, 12000);
    EXPECT_GE(peer, 0);
    EXPECT_LT(now_ms() - start, 8000); // the 5 s before the first probe, then the 1 s pause
    close(peer);
    close(lfd);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(SlowPeers, ALinkToAFrozenPeerIsGivenUpOnceItsWindowStaysShut)
{
    int port = 0;
    int lfd = lo_listen(&port);
    // The peer takes the connection and is then stopped: its kernel still answers
    // (so keepalive cannot tell) but nobody reads, and the window fills.
    pid_t frozen = fork();
    if (frozen == 0) {
        if (lo_accept(lfd, 5000) >= 0) raise(SIGSTOP);
        _exit(0);
    }
    daemon_proc d;
    daemon_start(d, {"--tcpclient", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(wait_stdout(d, "success\n"));
    // The user timeout (8 s) ends the connection, the link makes a new one a second
    // later; the stopped peer's kernel completes it from the listen queue. The
    // commands go on meanwhile: the first may leave before the link subscribes.
    channel_push cmd(CMD_PUSH);
    std::string block(4000, 'c');
    block += "\n";
    bool again = false;
    for (long end = now_ms() + 15000; !again && now_ms() < end;) {
        for (int i = 0; i < 500; i++)
            cmd.send(block);
        again = wait_until([&] { return count_of(daemon_stdout(d), "success\n") == 2; }, 500);
    }
    EXPECT_TRUE(again) << daemon_stdout(d);
    kill(frozen, SIGKILL);
    waitpid(frozen, nullptr, 0);
    close(lfd);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

} // namespace
