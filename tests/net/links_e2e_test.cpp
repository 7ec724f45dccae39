// Outgoing links of the real daemon to loopback peers: bridging, reconnection,
// removal without leftovers, and an address that never converts.
#include "harness.h"
#include "loopback.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

std::string lo_peer(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

TEST(LinksE2e, ALinkBridgesBothWaysAndReconnectsAfterThePeerIsLost)
{
    int port = 0;
    int lfd = lo_listen(&port);
    daemon_proc d;
    daemon_start(d, {"--tcpclient", lo_peer(port)});
    int peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    channel_sub res(RES_SUB, RES_PUSH);
    lo_send(peer, "card answers\n");
    std::string m;
    ASSERT_TRUE(res.recv(m));
    EXPECT_EQ(m, "card answers\n");
    // The link's subscription to the command channel may still be settling:
    // the command is repeated until it arrives.
    channel_push cmd(CMD_PUSH);
    std::string got;
    for (int i = 0; i < 20 && got.find("do it\n") == std::string::npos; i++) {
        cmd.send("do it\n");
        lo_read_until(peer, got, "do it\n", 100);
    }
    EXPECT_NE(got.find("do it\n"), std::string::npos);
    // The attempt began while start-up still printed: its line may be split.
    EXPECT_NE(daemon_stdout(d).find("Connect to " + lo_peer(port) + "... "), std::string::npos);
    EXPECT_TRUE(wait_stdout(d, "success\n"));

    close(peer);
    close(lfd);
    EXPECT_TRUE(wait_stdout(d, "Connect to " + lo_peer(port) + "... failed\n"));
    lfd = lo_listen(&port);
    // Attempts come a second apart: the link is back within about two seconds.
    peer = lo_accept(lfd, 2500);
    EXPECT_GE(peer, 0);
    close(peer);
    close(lfd);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(LinksE2e, RemovingALinkWhileConnectingOrConnectedLeavesNoSocketOpen)
{
    daemon_proc d;
    daemon_start(d, {});
    int con = lo_connect(5550);
    ASSERT_TRUE(wait_stdout(d, "Connection from ip: "));
    usleep(300000);
    int base = fd_count(d.pid);
    auto fds_back = [&] { return wait_until([&] { return fd_count(d.pid) == base; }); };

    // A listener whose one-place queue is taken leaves the link's connect pending.
    int port = 0;
    int lfd = lo_listen(&port, 0);
    int filler = lo_connect(port);
    lo_send(con, "connect to " + lo_peer(port) + "\n");
    ASSERT_TRUE(wait_stdout(d, "Connect to " + lo_peer(port) + "... "));
    EXPECT_TRUE(wait_until([&] { return fd_count(d.pid) == base + 1; }));
    lo_send(con, "disconnect " + lo_peer(port) + "\n");
    ASSERT_TRUE(wait_stdout(d, "Connection found, end it.\n"));
    EXPECT_TRUE(fds_back()) << fd_count(d.pid) << " descriptors, " << base << " before";
    close(filler);
    close(lfd);

    port = 0;
    lfd = lo_listen(&port);
    lo_send(con, "connect to " + lo_peer(port) + "\n");
    int peer = lo_accept(lfd);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(wait_stdout(d, "Connect to " + lo_peer(port) + "... success\n"));
    EXPECT_GT(fd_count(d.pid), base);
    lo_send(con, "disconnect " + lo_peer(port) + "\n");
    EXPECT_TRUE(lo_wait_eof(peer));
    EXPECT_TRUE(fds_back()) << fd_count(d.pid) << " descriptors, " << base << " before";
    close(peer);
    close(lfd);
    close(con);
    EXPECT_EQ(WEXITSTATUS(daemon_stop(d)), 0);
}

TEST(LinksE2e, AnUnconvertibleAddressIsRetriedEverySecondUntilShutdown)
{
    daemon_proc d;
    daemon_start(d, {"--tcpclient", "300.1.1.1"});
    const std::string attempt = "Connect to 300.1.1.1:5010... ";
    ASSERT_TRUE(wait_stdout(d, attempt + attempt));
    size_t first = count_of(daemon_stdout(d), attempt);
    usleep(3000000);
    size_t later = count_of(daemon_stdout(d), attempt);
    EXPECT_GE(later - first, 2u);
    EXPECT_LE(later - first, 4u);
    int status = daemon_stop(d);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Each attempt ends in the conversion error, never in a connection attempt.
    std::string err = daemon_stderr(d);
    EXPECT_EQ(count_of(err, "inet_pton: Invalid argument\n"), count_of(err, "\n"));
    EXPECT_GE(count_of(err, "inet_pton: Invalid argument\n"), later);
    EXPECT_EQ(daemon_stdout(d).find("failed"), std::string::npos);
}

} // namespace
