// Peers that go silent: a link to a peer that vanishes without closing, or that
// is frozen with its window shut, is given up and made again in bounded time.
#include "rig.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

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
    // The 5 s before the first probe, then the 1 s pause: well within 12 s.
    peer = lo_accept(lfd, 12000);
    EXPECT_GE(peer, 0);
    close(peer);
    close(lfd);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
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
    std::string block = std::string(4000, 'c') + "\n";
    bool again = false;
    for (long long end = now_ms() + 15000; !again && now_ms() < end;) {
        for (int i = 0; i < 500; i++) cmd.send(block);
        again = wait_until([&] { return count_of(daemon_stdout(d), "success\n") == 2; }, 500);
    }
    EXPECT_TRUE(again) << daemon_stdout(d);
    kill(frozen, SIGKILL);
    waitpid(frozen, nullptr, 0);
    close(lfd);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
}

} // namespace
