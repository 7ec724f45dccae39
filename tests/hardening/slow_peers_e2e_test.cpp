// A link whose peer vanishes without closing, or stops reading while its kernel
// still answers, is given up and made again in bounded time.
#include "kit.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

TEST(SlowPeers, ALinkToAPeerThatVanishesOrStopsReadingIsMadeAgain)
{
    int port = 0, lfd = lo_listen(&port);
    daemon_proc d;
    daemon_start(d, {"--tcpclient", "127.0.0.1:" + std::to_string(port)});
    int peer = lo_accept(lfd);
    auto links = [&](size_t n) { return count_of(daemon_stdout(d), "success\n") == n; };
    ASSERT_TRUE(wait_until([&] { return links(1); }));
    // Repair mode closes a socket without a FIN or a reset, as a peer whose power
    // went: the idle link hears nothing until its keepalive probe, answered by a
    // reset. 5 s before the first probe, then the 1 s pause: within 12 s.
    int one = 1;
    if (setsockopt(peer, IPPROTO_TCP, TCP_REPAIR, &one, sizeof one) != 0)
        GTEST_SKIP() << "closing without a FIN needs CAP_NET_ADMIN";
    close(peer);
    ASSERT_GE(peer = lo_accept(lfd, 12000), 0);
    ASSERT_TRUE(wait_until([&] { return links(2); }));
    // This peer never reads: its window fills and stays shut, so keepalive cannot
    // tell; the user timeout (8 s) ends the connection and the link is made again.
    // The commands go on meanwhile: the first may leave before the link subscribes.
    channel_push cmd(CMD_PUSH);
    bool again = false;
    for (long long end = now_ms() + 15000; !again && now_ms() < end;) {
        for (int i = 0; i < 500; i++) cmd.send(std::string(4000, 'c') + "\n");
        again = wait_until([&] { return links(3); }, 500);
    }
    EXPECT_TRUE(again) << daemon_stdout(d);
    close(peer);
    close(lfd);
    EXPECT_TRUE(exited_cleanly(daemon_stop(d)));
}
